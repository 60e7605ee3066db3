#!/usr/bin/env python3
"""Checks the installer's tables, read with msiinfo export, against the rules
Windows Installer's validation applies (as far as tables show them) and the
package's own promises.

  msi-tables-check.py PACKAGE.msi VERSION [--signed]
      prints one line per rule, exit status 0 when all hold
  msi-tables-check.py PACKAGE.msi VERSION --mutations
      breaks a copy of the package one rule at a time and expects exactly
      that rule to be reported: the checks must catch what they are for
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

# Folders under a user's profile (and the menu folders, which the validation
# rules count as per-user whatever ALLUSERS says).
PROFILE_FOLDERS = {"AppDataFolder", "DesktopFolder", "FavoritesFolder", "LocalAppDataFolder", "MyPicturesFolder",
                   "NetHoodFolder", "PersonalFolder", "PrintHoodFolder", "ProgramMenuFolder", "RecentFolder",
                   "SendToFolder", "StartMenuFolder", "StartupFolder", "TemplateFolder"}
# Public properties a Directory key must not reuse (the installer would set the
# folder from them): those of Windows Installer's reference that are no folder.
RESERVED_PROPERTIES = {"ACTION", "ADDDEFAULT", "ADDLOCAL", "ADDSOURCE", "ALLUSERS", "ARPCOMMENTS", "ARPCONTACT",
                       "ARPNOMODIFY", "ARPNOREMOVE", "ARPNOREPAIR", "COMPANYNAME", "INSTALLLEVEL", "LIMITUI",
                       "MSIINSTALLPERUSER", "PATCH", "PRIMARYFOLDER", "REBOOT", "REINSTALL", "REINSTALLMODE",
                       "REMOVE", "ROOTDRIVE", "TRANSFORMS", "USERNAME", "Installed", "Privileged", "ProductCode",
                       "ProductLanguage", "ProductName", "ProductVersion", "Manufacturer", "UpgradeCode",
                       "VersionNT", "VersionNT64", "WindowsBuild", "SourceDir", "OriginalDatabase"}
SHORT = re.compile(r"^[A-Za-z0-9!#$%&'()\-@^_`{}~]{1,8}(\.[A-Za-z0-9!#$%&'()\-@^_`{}~]{1,3})?$")
WIN64, PERMANENT, NEVER_OVERWRITE, REGISTRY_KEY_PATH = 0x100, 0x10, 0x80, 0x4
SITE_COMPONENTS = {"cmp_ETICHETTA_TXT"}
PROGRAMS = {"file_controllo_colli_exe", "file_colli_admin_exe"}
# File rights in an access mask: what lets a user change or replace a file.
WRITE_BITS = 0x2 | 0x4 | 0x10 | 0x100 | 0x10000 | 0x40000 | 0x80000 | 0x10000000 | 0x40000000
SDDL_RIGHTS = {"FA": 0x1F01FF, "FR": 0x120089, "FW": 0x120116, "FX": 0x1200A0, "GA": 0x10000000,
               "GR": 0x80000000, "GW": 0x40000000, "GX": 0x20000000, "SD": 0x10000, "WD": 0x40000,
               "WO": 0x80000, "RC": 0x20000}


def export(msi, name):
    done = subprocess.run(["msiinfo", "export", msi, name], capture_output=True)
    if done.returncode != 0:
        return []
    lines = done.stdout.decode("utf-8").replace("\r", "").split("\n")
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def summary(msi):
    text = subprocess.run(["msiinfo", "suminfo", msi], capture_output=True, text=True, check=True).stdout
    return dict(line.split(": ", 1) for line in text.splitlines() if ": " in line)


def aces(sddl):
    """{trustee: (flags, mask)} of the allow entries, and whether the DACL is protected."""
    dacl = sddl.split("D:", 1)[1] if "D:" in sddl else ""
    found = {}
    for kind, flags, rights, trustee in re.findall(r"\((A|D);([A-Z]*);([^;]*);;;([^)]*)\)", dacl):
        if kind != "A":
            continue
        if rights.startswith("0x"):
            mask = int(rights, 16)
        else:
            mask = 0
            for i in range(0, len(rights), 2):
                mask |= SDDL_RIGHTS.get(rights[i:i + 2], 0)
        found[trustee] = (flags, found.get(trustee, ("", 0))[1] | mask)
    return found, dacl.startswith("P") or dacl.startswith("AIP") or dacl.startswith("PAI")


def check(msi, version, signed):
    """[(rule, problem or None)]"""
    results = []

    def rule(name, problems):
        results.append((name, "; ".join(problems[:4]) + (" ..." if len(problems) > 4 else "") if problems else None))

    directories = {row["Directory"]: row for row in export(msi, "Directory")}
    components = {row["Component"]: row for row in export(msi, "Component")}
    files = export(msi, "File")
    shortcuts = export(msi, "Shortcut")
    registry = {row["Registry"]: row for row in export(msi, "Registry")}
    properties = {row["Property"]: row["Value"] for row in export(msi, "Property")}

    def in_profile(directory):
        while directory:
            if directory in PROFILE_FOLDERS:
                return True
            directory = directories.get(directory, {}).get("Directory_Parent", "")
        return False

    # ICE03: every name a valid short name or "SHORT|long", short names unique in a folder.
    problems, seen = [], {}
    names = [(row["Directory_Parent"], row["DefaultDir"], "folder " + row["Directory"]) for row in directories.values()
             if row["DefaultDir"] not in (".", "SourceDir")]
    names += [(components.get(row["Component_"], {}).get("Directory_", "?"), row["FileName"], "file " + row["File"])
              for row in files]
    names += [(row["Directory_"], row["Name"], "shortcut " + row["Shortcut"]) for row in shortcuts]
    for folder, field, what in names:
        short = field.split("|", 1)[0]
        if not SHORT.match(short):
            problems.append(f"{what}: no short name in '{field}'")
        elif seen.setdefault((folder, short.upper()), what) != what:
            problems.append(f"{what}: short name {short} also used by {seen[(folder, short.upper())]}")
    rule("ICE03 short names", problems)

    rule("64-bit components", [f"{name} ({row['Attributes']})" for name, row in components.items()
                               if not int(row["Attributes"]) & WIN64])

    # ICE38 / ICE43: a component in a user's profile, or one with a
    # non-advertised shortcut, has an HKCU registry value as its key path.
    problems = []
    shortcut_components = {row["Component_"] for row in shortcuts if row["Target"].startswith("[")}
    for name, row in components.items():
        if not (in_profile(row["Directory_"]) or name in shortcut_components):
            continue
        key = registry.get(row["KeyPath"]) if int(row["Attributes"]) & REGISTRY_KEY_PATH else None
        if not key or key["Root"] != "1":
            problems.append(f"{name}: key path {row['KeyPath'] or 'its folder'} is no HKCU value")
    rule("ICE38/ICE43 per-user key paths", problems)

    # ICE57: per-user data (HKCU values, profile folders) and a per-machine key path never share a component.
    problems = []
    for name, row in components.items():
        per_user = in_profile(row["Directory_"]) or any(
            r["Component_"] == name and r["Root"] == "1" for r in registry.values())
        key_per_user = bool(int(row["Attributes"]) & REGISTRY_KEY_PATH and
                            registry.get(row["KeyPath"], {}).get("Root") == "1")
        if per_user and not key_per_user:
            problems.append(f"{name}: per-user data with a per-machine key path")
        machine_files = [f["File"] for f in files if f["Component_"] == name and not in_profile(row["Directory_"])]
        if key_per_user and machine_files:
            problems.append(f"{name}: per-machine files {machine_files[0]} with a per-user key path")
    rule("ICE57 per-user and per-machine data apart", problems)

    # ICE64: a folder of the package's own in a user's profile is removed (RemoveFile, on uninstall).
    removed = {row["DirProperty"] for row in export(msi, "RemoveFile") if not row["FileName"] and
               int(row["InstallMode"]) & 2}
    rule("ICE64 profile folders removed",
         [f"{name} not in RemoveFile" for name, row in directories.items()
          if name not in PROFILE_FOLDERS and row["Directory_Parent"] and in_profile(name) and name not in removed])

    rule("ICE99 folder keys no public property",
         [f"folder {name}" for name in directories if name in RESERVED_PROPERTIES and name != "SourceDir"])

    info = summary(msi)
    template = info.get("Template", "")
    rule("template x64 and the product's language",
         [] if template == f"x64;{properties.get('ProductLanguage')}" and template.endswith(";1040")
         else [f"template '{template}', product language {properties.get('ProductLanguage')}"])

    problems = []
    versions = {row["File"]: row["Version"] for row in files}
    for program in sorted(PROGRAMS):
        if versions.get(program) != version:
            problems.append(f"{program}: version '{versions.get(program)}'")
    hashed = {row["File_"] for row in export(msi, "MsiFileHash")}
    problems += [f"{name}: versioned and hashed" for name, v in versions.items() if v and name in hashed]
    rule("file versions", problems)

    rule("site files kept (attributes combined)",
         [f"{name} ({components.get(name, {}).get('Attributes')})" for name in sorted(SITE_COMPONENTS)
          if int(components.get(name, {}).get("Attributes", 0)) & (WIN64 | PERMANENT | NEVER_OVERWRITE) !=
          WIN64 | PERMANENT | NEVER_OVERWRITE])

    # The rights: the program folder SYSTEM and Administrators full control,
    # Users read and run, nothing from C:\; the data folder writable by Users.
    problems = []
    locks = {row["LockObject"]: row for row in export(msi, "MsiLockPermissionsEx") if row["Table"] == "CreateFolder"}
    created = {row["Directory_"] for row in export(msi, "CreateFolder")}
    for folder, users_write in (("INSTALLDIR", False), ("DATADIR", True)):
        lock = locks.get(folder)
        if not lock:
            problems.append(f"{folder}: no MsiLockPermissionsEx row")
            continue
        if folder not in created:
            problems.append(f"{folder}: locked but never in CreateFolder")
        entries, protected = aces(lock["SDDL"])
        if not protected:
            problems.append(f"{folder}: takes its parent's rights")
        for admin in ("SY", "BA"):
            if entries.get(admin, ("", 0))[1] & 0x1F01FF != 0x1F01FF or "OI" not in entries.get(admin, ("",))[0]:
                problems.append(f"{folder}: {admin} without full control")
        users = entries.get("BU", ("", 0))
        if users[1] & 0x1200A9 != 0x1200A9 or "CI" not in users[0]:
            problems.append(f"{folder}: Users cannot read and run")
        if users_write != bool(users[1] & WRITE_BITS):
            problems.append(f"{folder}: Users {'cannot' if users_write else 'can'} write")
        for other in ("WD", "AU", "IU", "S-1-1-0", "S-1-5-11"):
            if other in entries and entries[other][1] & WRITE_BITS:
                problems.append(f"{folder}: {other} can write")
    rule("folder rights (MsiLockPermissionsEx)", problems)

    problems = []
    conditions = [row["Condition"] for row in export(msi, "LaunchCondition")]
    if not any(re.search(r"COLLI_WINDOWS_BUILD\s*>=\s*17763", c) for c in conditions):
        problems.append("no launch condition on Windows 10 1809 (build 17763)")
    locator = [row for row in export(msi, "RegLocator") if row["Name"] == "CurrentBuildNumber"]
    if not any(row["Property"] == "COLLI_WINDOWS_BUILD" for row in export(msi, "AppSearch")) or not locator:
        problems.append("COLLI_WINDOWS_BUILD is not read from the registry")
    elif not int(locator[0]["Type"]) & 0x10:
        problems.append("the build number is read from the 32-bit registry view")
    rule("launch condition Windows 10 1809", problems)

    problems = []
    if properties.get("ProductVersion") != version:
        problems.append(f"ProductVersion {properties.get('ProductVersion')}")
    if not any(row["VersionMax"] == version and int(row["Attributes"]) & 0x200 and not row["VersionMin"]
               for row in export(msi, "Upgrade")):
        problems.append("no upgrade of every version up to this one, this one's other builds included")
    rule("version and upgrade", problems)

    if signed:
        # The stream's name starts with a control character (0x05), as the summary's does.
        streams = subprocess.run(["msiinfo", "streams", msi], capture_output=True, text=True).stdout.split()
        signed_streams = [name for name in streams if name.lstrip("\x05") == "DigitalSignature"]
        rule("signed", [] if signed_streams else ["no DigitalSignature stream"])
    return results


# Breaks of the package: (the rules each must trip, SQL run on a copy, or a summary change).
MUTATIONS = [
    ("ICE03 short names", "UPDATE `File` SET `FileName` = 'controllo-colli.exe' WHERE `File` = 'file_controllo_colli_exe'"),
    ("ICE03 short names", "UPDATE `File` SET `FileName` = 'QT6WID~1.DLL|schema.sql' WHERE `File` = 'file_schema_sql'"),
    ("64-bit components", "UPDATE `Component` SET `Attributes` = 0 WHERE `Component` = 'cmp_Qt6Core_dll'"),
    # the last round's menu entry: an HKLM key path beside a per-user shortcut
    ({"ICE38/ICE43 per-user key paths", "ICE57 per-user and per-machine data apart"},
     "UPDATE `Registry` SET `Root` = 2 WHERE `Component_` = 'cmp_menu'"),
    ("ICE57 per-user and per-machine data apart", "INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, "
     "`Value`, `Component_`) VALUES ('reg_user', 1, 'Software\\Controllo colli', 'X', '#1', 'cmp_schema_sql')"),
    ("ICE64 profile folders removed", "DELETE FROM `RemoveFile` WHERE `DirProperty` = 'MenuFolder'"),
    ("ICE99 folder keys no public property", "INSERT INTO `Directory` (`Directory`, `Directory_Parent`, `DefaultDir`) "
     "VALUES ('REINSTALL', 'INSTALLDIR', 'extra')"),
    ("template x64 and the product's language", "summary x64;1033"),
    ("file versions", "UPDATE `File` SET `Version` = '' WHERE `File` = 'file_colli_admin_exe'"),
    ("site files kept (attributes combined)",
     "UPDATE `Component` SET `Attributes` = 272 WHERE `Component` = 'cmp_ETICHETTA_TXT'"),
    # the last round's bits, written over the 64-bit one
    ({"site files kept (attributes combined)", "64-bit components"},
     "UPDATE `Component` SET `Attributes` = 144 WHERE `Component` = 'cmp_ETICHETTA_TXT'"),
    ("folder rights (MsiLockPermissionsEx)", "DROP TABLE `MsiLockPermissionsEx`"),
    ("folder rights (MsiLockPermissionsEx)", "UPDATE `MsiLockPermissionsEx` SET `SDDL` = "
     "'D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)' WHERE `LockObject` = 'INSTALLDIR'"),
    ("folder rights (MsiLockPermissionsEx)", "UPDATE `MsiLockPermissionsEx` SET `SDDL` = "
     "'D:AI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)' WHERE `LockObject` = 'INSTALLDIR'"),
    ("launch condition Windows 10 1809", "DELETE FROM `LaunchCondition` WHERE `Description` <> ''"
     " AND `Condition` <> 'NOT WIX_DOWNGRADE_DETECTED'"),
    ("version and upgrade", "UPDATE `Property` SET `Value` = '9.9.9.9' WHERE `Property` = 'ProductVersion'"),
]


def mutations(msi, version):
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        for number, (name, change) in enumerate(MUTATIONS, 1):
            copy = os.path.join(folder, f"broken-{number}.msi")
            shutil.copyfile(msi, copy)
            if change.startswith("summary "):
                info = summary(copy)
                command = ["msibuild", copy, "-s", info.get("Subject", ""), info.get("Author", ""),
                           change.split(" ", 1)[1], info.get("Revision number (UUID)", "")]
            else:
                command = ["msibuild", copy, "-q", change]
            subprocess.run(command, check=True, capture_output=True)
            reported = {rule for rule, problem in check(copy, version, False) if problem}
            expected = name if isinstance(name, set) else {name}
            if reported != expected:
                failures += 1
                print(f"FAILED: break {number} ({change[:60]}...) reported {sorted(reported) or 'nothing'}, "
                      f"not {sorted(expected)}")
            else:
                print(f"ok: break {number} caught by {sorted(expected)}")
    return failures


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    msi, version, flags = sys.argv[1], sys.argv[2], sys.argv[3:]
    if "--mutations" in flags:
        failures = mutations(msi, version)
        print(f"msi tables: {len(MUTATIONS) - failures} of {len(MUTATIONS)} breaks caught")
        sys.exit(1 if failures else 0)
    failed = 0
    for name, problem in check(msi, version, "--signed" in flags):
        print(f"{'FAILED' if problem else 'ok'}: {name}{': ' + problem if problem else ''}")
        failed += bool(problem)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
