#!/usr/bin/env python3
"""Builds the Windows installer from the folder the zip is made of.

  build-msi.py STAGE VERSION OUTPUT.msi

VERSION is MAJOR.MINOR.PATCH.BUILD. Per machine, into C:\\Colli\\
(INSTALLDIR=... on msiexec's command line moves it), with a Start-menu entry
and its entry in Settings' app list. Each version is a product of its own
(ProductCode from the whole version) of one family (UpgradeCode): a later
version, or a later build of the same MAJOR.MINOR.PATCH, replaces the one
installed. What a site makes its own survives upgrades and removal:
ETICHETTA.TXT is installed only when absent and never removed; dati.ini and
the database are never part of the package.

wixl writes most tables; what it cannot express (short names, file versions,
combined component bits, an inclusive upgrade bound, the folders' rights, the
summary's language) is set in the package afterwards with msibuild.
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import uuid
from xml.sax.saxutils import quoteattr

# Never change: Windows finds the installed versions by it.
UPGRADE_CODE = "A0C21537-4005-4F2B-BF44-EBB2F87A5FE7"
# Component identities derive from the installed path, so they stay the same
# from one version to the next, as Windows Installer requires.
COMPONENT_NAMESPACE = uuid.UUID("5993c8ce-57d8-41ec-badc-e55da2ccee9f")
# The site's own copy, once there, is the one that counts.
SITE_FILES = {"ETICHETTA.TXT"}
LANGUAGE = 1040

# Component attribute bits.
PERMANENT = 0x10
NEVER_OVERWRITE = 0x80
WIN64 = 0x100
# Upgrade attribute bit: the upper bound is part of the range, so another
# build of the same MAJOR.MINOR.PATCH (Windows Installer compares no fourth
# field) is replaced too.
VERSION_MAX_INCLUSIVE = 0x200

# Rights, in SDDL. Protected (P): nothing comes down from C:\ or ProgramData.
# Program folder: SYSTEM and Administrators full control, Users read and run;
# what is made inside later (dati.ini, the label template) inherits the same.
PROGRAM_RIGHTS = "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
# Journal and parcel copy: every user of the workstation writes the same files
# (modify: SQLite makes and removes its -wal and -shm files beside them).
DATA_RIGHTS = "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)"

# Windows 10 1809 is build 17763. Windows Installer's VersionNT and
# WindowsBuild do not tell Windows 10 releases apart: the build number is read
# from the registry.
MINIMUM_BUILD = 17763
REFUSED_SYSTEM = ("Controllo colli richiede Windows 10 versione 1809 o successiva, oppure Windows 11 "
                  "(64 bit).")


def guid(name):
    return str(uuid.uuid5(COMPONENT_NAMESPACE, name)).upper()


def ident(prefix, name):
    return prefix + "_" + "".join(c if c.isalnum() else "_" for c in name)


# --- short names ---------------------------------------------------------------
SHORT_ALLOWED = re.compile(r"^[A-Za-z0-9!#$%&'()\-@^_`{}~]+$")


def is_short(name):
    base, dot, ext = name.partition(".")
    return (0 < len(base) <= 8 and len(ext) <= 3 and "." not in ext and SHORT_ALLOWED.match(base) is not None
            and (not ext or SHORT_ALLOWED.match(ext) is not None))


class ShortNames:
    """8.3 names, unique within each folder, as Windows would make them."""

    def __init__(self):
        self.taken = {}

    def name(self, folder, long_name):
        taken = self.taken.setdefault(folder, set())
        if is_short(long_name) and long_name.upper() not in taken:
            taken.add(long_name.upper())
            return long_name
        stem, _, ext = long_name.rpartition(".") if "." in long_name else (long_name, "", "")
        clean = lambda s: "".join(c for c in s.upper() if SHORT_ALLOWED.match(c))
        stem, ext = clean(stem) or "X", clean(ext)[:3]
        for n in range(1, 100000):
            tail = f"~{n}"
            candidate = stem[:8 - len(tail)] + tail + ("." + ext if ext else "")
            if candidate not in taken:
                taken.add(candidate)
                return candidate
        raise RuntimeError("no short name for " + long_name)

    def field(self, folder, long_name):
        """The Filename field: SHORT|long, or the name alone when it is short already."""
        short = self.name(folder, long_name)
        return short if short == long_name else f"{short}|{long_name}"


# --- versions of PE files ---------------------------------------------------------
def pe_version(path):
    """(version "a.b.c.d", language) from a PE file's version resource, or None."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"MZ":
        return None
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    ms, ls = struct.unpack_from("<II", data, at + 8)
    version = f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    language = 0
    key = "Translation".encode("utf-16-le") + b"\0\0"
    found = data.find(key, at)
    if found >= 0:
        value = (found + len(key) + 3) & ~3
        language = struct.unpack_from("<H", data, value)[0]
    return version, language


# --- the WiX source -----------------------------------------------------------------
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
        lines.append(f"{pad}<Component Id={quoteattr(ident('cmp', path))} Guid={quoteattr(guid(path))} Win64=\"yes\">")
        # wixl takes sources relative to the .wxs, which sits beside the stage
        source = os.path.join(os.path.basename(stage), path)
        lines.append(f"{pad}  <File Id={quoteattr(ident('file', path))} Name={quoteattr(entry)}"
                     f" Source={quoteattr(source)} KeyPath=\"yes\"/>")
        lines.append(f"{pad}</Component>")
    return lines


def stage_files(stage):
    found = []
    for root, _, files in os.walk(stage):
        for name in sorted(files):
            found.append(os.path.relpath(os.path.join(root, name), stage))
    return sorted(found)


def wxs(stage, version):
    files = "\n".join(directory_xml(stage, "", 5))
    refs = "\n".join(f'      <ComponentRef Id={quoteattr(ident("cmp", p))}/>' for p in stage_files(stage))
    return f"""<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{guid("product " + version)}" Name="Controllo colli" Language="{LANGUAGE}" Codepage="1252" Version="{version}"
           Manufacturer="Controllo colli" UpgradeCode="{UPGRADE_CODE}">
    <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine"
             Description="Controllo colli {version}" Manufacturer="Controllo colli" Languages="{LANGUAGE}"
             SummaryCodepage="1252"/>
    <Media Id="1" Cabinet="colli.cab" EmbedCab="yes"/>
    <MajorUpgrade DowngradeErrorMessage="Una versione piu' recente di Controllo colli e' gia' installata."/>
    <Property Id="COLLI_WINDOWS_BUILD">
      <RegistrySearch Id="windows_build" Root="HKLM" Key="SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"
                      Name="CurrentBuildNumber" Type="raw" Win64="yes"/>
    </Property>
    <Condition Message="{REFUSED_SYSTEM}">Installed OR COLLI_WINDOWS_BUILD &gt;= {MINIMUM_BUILD}</Condition>
    <!-- C:\\Colli\\ rather than Program Files, where sites expect it; its
         rights are the package's own (MsiLockPermissionsEx), not C:\\'s. -->
    <Property Id="ROOTDRIVE" Value="C:\\"/>
    <Property Id="ARPNOMODIFY" Value="1"/>
    <Property Id="ARPNOREPAIR" Value="1"/>
    <Property Id="ARPCOMMENTS" Value="Verifica EAN dei colli e ristampa delle etichette"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="INSTALLDIR" Name="Colli">
        <Component Id="cmp_program_folder" Guid="{guid('program folder')}" Win64="yes">
          <CreateFolder/>
        </Component>
{files}
      </Directory>
      <Directory Id="CommonAppDataFolder">
        <Directory Id="DATADIR" Name="Controllo colli">
          <Component Id="cmp_data_folder" Guid="{guid('data folder')}" Win64="yes">
            <CreateFolder/>
          </Component>
        </Directory>
      </Directory>
      <Directory Id="ProgramMenuFolder">
        <Directory Id="MenuFolder" Name="Controllo colli">
          <Component Id="cmp_menu" Guid="{guid('start menu')}" Win64="yes">
            <Shortcut Id="menu_station" Name="Controllo colli" Description="Verifica EAN e ristampa etichette"
                      Target="[INSTALLDIR]controllo-colli.exe" WorkingDirectory="INSTALLDIR"/>
            <RemoveFolder Id="menu_folder" On="uninstall"/>
            <RegistryValue Root="HKCU" Key="Software\\Controllo colli" Name="MenuEntry" Type="integer" Value="1"
                           KeyPath="yes"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Station" Title="Controllo colli" Level="1">
      <ComponentRef Id="cmp_program_folder"/>
      <ComponentRef Id="cmp_data_folder"/>
{refs}
      <ComponentRef Id="cmp_menu"/>
    </Feature>
  </Product>
</Wix>
"""


# --- table edits after wixl ------------------------------------------------------------
def table(msi, name):
    """Rows of one table as dicts, read with msiinfo export."""
    text = subprocess.run(["msiinfo", "export", msi, name], check=True, capture_output=True).stdout
    lines = text.decode("utf-8").replace("\r", "").split("\n")
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def sql_text(value):
    if "'" in value:
        raise ValueError("a quote in " + value)
    return f"'{value}'"


def query(msi, *statements):
    for statement in statements:
        subprocess.run(["msibuild", msi, "-q", statement], check=True)


def set_short_names(msi):
    names = ShortNames()
    edits = []
    for row in table(msi, "Directory"):
        default = row["DefaultDir"]
        if default in (".", "SourceDir") or "|" in default or ":" in default:
            continue
        field = names.field(row["Directory_Parent"], default)
        if field != default:
            edits.append(f"UPDATE `Directory` SET `DefaultDir` = {sql_text(field)} "
                         f"WHERE `Directory` = {sql_text(row['Directory'])}")
    folder_of = {row["Component"]: row["Directory_"] for row in table(msi, "Component")}
    for row in table(msi, "File"):
        field = names.field(folder_of[row["Component_"]], row["FileName"])
        if field != row["FileName"]:
            edits.append(f"UPDATE `File` SET `FileName` = {sql_text(field)} WHERE `File` = {sql_text(row['File'])}")
    for row in table(msi, "Shortcut"):
        field = names.field(row["Directory_"], row["Name"])
        if field != row["Name"]:
            edits.append(f"UPDATE `Shortcut` SET `Name` = {sql_text(field)} "
                         f"WHERE `Shortcut` = {sql_text(row['Shortcut'])}")
    query(msi, *edits)


def set_component_bits(msi, wanted):
    edits = []
    for row in table(msi, "Component"):
        bits = int(row["Attributes"]) | WIN64 | wanted.get(row["Component"], 0)
        if bits != int(row["Attributes"]):
            edits.append(f"UPDATE `Component` SET `Attributes` = {bits} "
                         f"WHERE `Component` = {sql_text(row['Component'])}")
    query(msi, *edits)


def set_file_versions(msi, stage):
    """Versioned files carry their version and language, and no hash."""
    by_id = {ident("file", path): path for path in stage_files(stage)}
    edits = []
    for row in table(msi, "File"):
        found = pe_version(os.path.join(stage, by_id[row["File"]]))
        if not found:
            continue
        version, language = found
        edits.append(f"UPDATE `File` SET `Version` = {sql_text(version)}, `Language` = {sql_text(str(language))} "
                     f"WHERE `File` = {sql_text(row['File'])}")
        edits.append(f"DELETE FROM `MsiFileHash` WHERE `File_` = {sql_text(row['File'])}")
    query(msi, *edits)


def set_upgrade_range(msi):
    edits = []
    for row in table(msi, "Upgrade"):
        if row["VersionMax"] and not int(row["Attributes"]) & VERSION_MAX_INCLUSIVE:
            edits.append(f"DELETE FROM `Upgrade` WHERE `UpgradeCode` = {sql_text(row['UpgradeCode'])} "
                         f"AND `VersionMax` = {sql_text(row['VersionMax'])} AND `Attributes` = {int(row['Attributes'])}")
            edits.append("INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) "
                         f"VALUES ({sql_text(row['UpgradeCode'])}, {sql_text(row['VersionMax'])}, "
                         f"{int(row['Attributes']) | VERSION_MAX_INCLUSIVE}, {sql_text(row['ActionProperty'])})")
    query(msi, *edits)


def add_lock_permissions(msi):
    # wixl has no PermissionEx: the table goes in as an .idt (tab-separated,
    # CR LF lines; the second line gives the column types, the third the keys).
    rows = [("lock_program_folder", "INSTALLDIR", "CreateFolder", PROGRAM_RIGHTS),
            ("lock_data_folder", "DATADIR", "CreateFolder", DATA_RIGHTS)]
    lines = ["MsiLockPermissionsEx\tLockObject\tTable\tSDDL\tCondition",
             "s72\ts72\ts32\tl0\tS255",
             "MsiLockPermissionsEx\tMsiLockPermissionsEx"]
    lines += ["\t".join(row) + "\t" for row in rows]
    with tempfile.TemporaryDirectory() as folder:
        idt = os.path.join(folder, "MsiLockPermissionsEx.idt")
        with open(idt, "w", encoding="ascii", newline="") as out:
            out.write("\r\n".join(lines) + "\r\n")
        subprocess.run(["msibuild", msi, "-i", idt], check=True)


def set_summary(msi, version):
    # The template's language is the product's; the package code stays wixl's.
    revision = None
    info = subprocess.run(["msiinfo", "suminfo", msi], check=True, capture_output=True, text=True).stdout
    for line in info.splitlines():
        if line.startswith("Revision number (UUID):"):
            revision = line.split(":", 1)[1].strip()
    if not revision:
        raise RuntimeError("no package code in " + msi)
    subprocess.run(["msibuild", msi, "-s", f"Controllo colli {version}", "Controllo colli", f"x64;{LANGUAGE}",
                    revision], check=True)


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: build-msi.py STAGE VERSION OUTPUT.msi")
    stage, version, output = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3]
    if not re.fullmatch(r"\d{1,3}\.\d{1,3}\.\d{1,5}\.\d{1,5}", version):
        sys.exit("build-msi.py: the version is MAJOR.MINOR.PATCH.BUILD, not " + version)
    source = os.path.join(os.path.dirname(stage), "controllo-colli.wxs")
    with open(source, "w", encoding="utf-8") as out:
        out.write(wxs(stage, version))
    if os.path.exists(output):
        os.remove(output)
    subprocess.run(["wixl", "-a", "x64", "-o", output, source], check=True)
    set_short_names(output)
    site = {ident("cmp", path): PERMANENT | NEVER_OVERWRITE for path in SITE_FILES}
    site["cmp_data_folder"] = PERMANENT  # the journal's folder outlives the program
    set_component_bits(output, site)
    set_file_versions(output, stage)
    set_upgrade_range(output)
    add_lock_permissions(output)
    set_summary(output, version)


if __name__ == "__main__":
    main()
