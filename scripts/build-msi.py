#!/usr/bin/env python3
"""Builds the Windows installer from the folder the zip is made of.

  build-msi.py STAGE VERSION OUTPUT.msi

Per machine, into C:\\Colli\\ (INSTALLDIR=... on msiexec's command line moves
it), with a Start-menu entry and its entry in Settings' app list. A later
version replaces an earlier one (same UpgradeCode); the same version has the
same ProductCode, so installing it again is not a second product. What a site makes its own
survives upgrades and removal: ETICHETTA.TXT is installed only when absent and
never removed; dati.ini and the database are never part of the package.
"""
import os
import subprocess
import sys
import uuid
from xml.sax.saxutils import quoteattr

# Never change: Windows finds the installed versions by it.
UPGRADE_CODE = "A0C21537-4005-4F2B-BF44-EBB2F87A5FE7"
# Component identities derive from the installed path, so they stay the same
# from one version to the next, as Windows Installer requires.
COMPONENT_NAMESPACE = uuid.UUID("5993c8ce-57d8-41ec-badc-e55da2ccee9f")
# The site's own copy, once there, is the one that counts.
SITE_FILES = {"ETICHETTA.TXT"}


def guid(name):
    return str(uuid.uuid5(COMPONENT_NAMESPACE, name)).upper()


def ident(prefix, name):
    return prefix + "_" + "".join(c if c.isalnum() else "_" for c in name)


def directory_xml(stage, relative, depth):
    pad = "  " * depth
    lines = []
    folder = os.path.join(stage, relative)
    for entry in sorted(os.listdir(folder)):
        path = os.path.join(relative, entry) if relative else entry
        full = os.path.join(stage, path)
        if os.path.isdir(full):
            lines.append(f"{pad}<Directory Id={quoteattr(ident('dir', path))} Name={quoteattr(entry)}>")
            lines += directory_xml(stage, path, depth + 1)
            lines.append(f"{pad}</Directory>")
            continue
        lines.append(f"{pad}<Component Id={quoteattr(ident('cmp', path))} Guid={quoteattr(guid(path))}>")
        # wixl takes sources relative to the .wxs, which sits beside the stage
        source = os.path.join(os.path.basename(stage), path)
        lines.append(f"{pad}  <File Id={quoteattr(ident('file', path))} Name={quoteattr(entry)}"
                     f" Source={quoteattr(source)} KeyPath=\"yes\"/>")
        lines.append(f"{pad}</Component>")
    return lines


def component_refs(stage):
    refs = []
    for root, _, files in os.walk(stage):
        for name in sorted(files):
            path = os.path.relpath(os.path.join(root, name), stage)
            refs.append(f'      <ComponentRef Id={quoteattr(ident("cmp", path))}/>')
    return refs


def wxs(stage, version):
    files = "\n".join(directory_xml(stage, "", 5))
    refs = "\n".join(component_refs(stage))
    return f"""<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{guid("product " + version)}" Name="Controllo colli" Language="1040" Codepage="1252" Version="{version}"
           Manufacturer="Controllo colli" UpgradeCode="{UPGRADE_CODE}">
    <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine"
             Description="Controllo colli {version}" Manufacturer="Controllo colli" Languages="1040"
             SummaryCodepage="1252"/>
    <Media Id="1" Cabinet="colli.cab" EmbedCab="yes"/>
    <MajorUpgrade DowngradeErrorMessage="Una versione piu' recente di Controllo colli e' gia' installata."/>
    <!-- C:\\Colli\\ rather than Program Files: the station writes its database,
         dati.ini and label template beside itself, and a folder made at the
         root of C: lets every signed-in user change what is in it. -->
    <Property Id="ROOTDRIVE" Value="C:\\"/>
    <Property Id="ARPNOMODIFY" Value="1"/>
    <Property Id="ARPNOREPAIR" Value="1"/>
    <Property Id="ARPCOMMENTS" Value="Verifica EAN dei colli e ristampa delle etichette"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="INSTALLDIR" Name="Colli">
{files}
      </Directory>
      <Directory Id="ProgramMenuFolder">
        <Directory Id="MenuFolder" Name="Controllo colli">
          <Component Id="cmp_menu" Guid="{guid('start menu')}">
            <Shortcut Id="menu_station" Name="Controllo colli" Description="Verifica EAN e ristampa etichette"
                      Target="[INSTALLDIR]controllo-colli.exe" WorkingDirectory="INSTALLDIR"/>
            <RemoveFolder Id="menu_folder" On="uninstall"/>
            <RegistryValue Root="HKLM" Key="Software\\Controllo colli" Name="MenuEntry" Type="integer" Value="1"
                           KeyPath="yes"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Station" Title="Controllo colli" Level="1">
{refs}
      <ComponentRef Id="cmp_menu"/>
    </Feature>
  </Product>
</Wix>
"""


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: build-msi.py STAGE VERSION OUTPUT.msi")
    stage, version, output = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3]
    source = os.path.join(os.path.dirname(stage), "controllo-colli.wxs")
    with open(source, "w", encoding="utf-8") as out:
        out.write(wxs(stage, version))
    subprocess.run(["wixl", "-a", "x64", "-o", output, source], check=True)
    # wixl knows neither NeverOverwrite nor Permanent: set their bits
    # (0x80 and 0x10) in the Component table itself.
    for path in sorted(SITE_FILES):
        subprocess.run(["msibuild", output, "-q",
                        f"UPDATE `Component` SET `Attributes` = 144 WHERE `Component` = '{ident('cmp', path)}'"],
                       check=True)

if __name__ == "__main__":
    main()
