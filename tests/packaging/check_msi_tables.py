#!/usr/bin/env python3
"""Checks the MSI's tables against what the package must do, without Windows or Wine.

usage: check_msi_tables.py FILE.msi
wixl can exit 0 and leave a table empty (a ServiceInstall without Id), so an empty or missing
table fails here. Prints one line per problem; exit status 1 when there is any.
"""
import os
import re
import subprocess
import sys
import tempfile

SERVICE = "Tavik Zyl Control Service"
# The kernel driver service the library registers: the package removes it at uninstall.
DRIVER_SERVICE = "qvzyl64"
FILES = {"VokZylControl.exe", "Qvzyl.Dll", "zylclient.exe", "zylclient.dll",
         # the client library's development files
         "zylclient.h", "libzylclient.dll.a", "libzylclient.a", "zylclient.pc",
         "ZylClientConfig.cmake", "ZylClientConfigVersion.cmake", "ZylClientTargets.cmake",
         "ZylClientTargets-release.cmake"}
# The programs among them: each carries the product's VERSIONINFO.
VERSIONED = {name for name in FILES if name.lower().endswith((".exe", ".dll"))}
SERVICE_OWN_PROCESS = 0x10
AUTO_START = 2
ERROR_NORMAL = 1
# ServiceControl events: start at install, stop at install (upgrades), stop and delete at
# uninstall.
START_INSTALL, STOP_INSTALL, STOP_UNINSTALL, DELETE_UNINSTALL = 0x1, 0x2, 0x20, 0x80
COMPONENT_64BIT = 0x100


def table(msi, name):
    """Rows of a table as dicts (msiinfo export: column names, types, key line, then rows)."""
    out = subprocess.run(["msiinfo", "export", msi, name], capture_output=True, text=True)
    lines = out.stdout.replace("\r", "").split("\n")
    if out.returncode != 0 or len(lines) < 3:
        return []
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def version_info(path):
    """The VERSIONINFO strings of a PE file: {"CompanyName": "Tavik", ...}."""
    data = open(path, "rb").read()
    info = {}
    for key in ("CompanyName", "FileVersion", "ProductVersion", "ProductName",
                "FileDescription"):
        # A String block: the key in UTF-16, padding, then the value up to its terminator.
        found = re.search(re.escape(key.encode("utf-16-le")) + rb"\0\0(?:\0\0)?((?:[^\0]\0)+)\0\0",
                          data)
        if found:
            info[key] = found.group(1).decode("utf-16-le")
    return info


def check_files(msi, version, problems):
    """The packed files carry the product's VERSIONINFO."""
    checked = set()
    with tempfile.TemporaryDirectory() as folder:
        extracted = subprocess.run(["msiextract", "-C", folder, msi], capture_output=True)
        if extracted.returncode != 0:
            problems.append(f"msiextract failed: {extracted.stderr.decode(errors='replace')}")
        for root, _, names in os.walk(folder):
            for name in names:
                if not name.lower().endswith((".exe", ".dll")):
                    continue  # headers, libraries to link and build files carry no version
                checked.add(name)
                info = version_info(os.path.join(root, name))
                for key, wanted in (("CompanyName", "Tavik"), ("FileVersion", version),
                                    ("ProductVersion", version)):
                    if info.get(key) != wanted:
                        problems.append(f"{name}: {key} is {info.get(key)!r}, expected {wanted!r}")
                for key in ("ProductName", "FileDescription"):
                    if not info.get(key):
                        problems.append(f"{name}: no {key}")
        if checked == VERSIONED:
            check_imports(sorted(os.path.join(root, name) for root, _, names in os.walk(folder)
                                 for name in names if name in VERSIONED), problems)
    if checked != VERSIONED:
        problems.append(f"programs checked for their version: {sorted(checked)}, "
                        f"expected {sorted(VERSIONED)}")


def check_imports(programs, problems):
    """The shipped programs import only KnownDLLs and API sets (tests/shipped_imports.sh)."""
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "shipped_imports.sh")
    result = subprocess.run(["sh", script, "x86_64-w64-mingw32-objdump", *programs],
                            capture_output=True, text=True)
    if result.returncode != 0:
        for line in (result.stdout + result.stderr).splitlines():
            problems.append(f"imports: {line}")


def main(msi):
    problems = []
    tables = {name: table(msi, name) for name in
              ("ServiceInstall", "ServiceControl", "File", "Component", "Directory",
               "InstallExecuteSequence", "Property", "Upgrade", "LaunchCondition", "RemoveFile")}
    for name, rows in tables.items():
        if not rows:
            problems.append(f"table {name} is empty or missing")
    if problems:
        return problems

    components = {row["Component"]: row for row in tables["Component"]}
    files = {row["FileName"].split("|")[-1]: row for row in tables["File"]}
    if set(files) != FILES:
        problems.append(f"files {sorted(files)}, expected {sorted(FILES)}")
    directories = {row["Directory"]: row for row in tables["Directory"]}
    for name, row in files.items():
        component = components.get(row["Component_"])
        if component is None:
            problems.append(f"{name}: no component {row['Component_']}")
            continue
        if not int(component["Attributes"]) & COMPONENT_64BIT:
            problems.append(f"{name}: component {component['Component']} is not 64-bit")
        path, directory = [], component["Directory_"]
        while directory in directories and directory != "TARGETDIR":
            path.append(directories[directory]["DefaultDir"].split("|")[-1])
            directory = directories[directory]["Directory_Parent"]
        # In Tavik\VokZyl under the 64-bit Program Files, or in a folder below it.
        if path[::-1][:3] not in (["ProgramFiles64Folder", "Tavik", "VokZyl"],
                                  [".", "Tavik", "VokZyl"]):
            problems.append(f"{name}: installs into {'/'.join(reversed(path))}")
    # The company folder above the product's goes at uninstall (InstallMode 2) when empty.
    service_folder = components.get(files.get("VokZylControl.exe", {}).get("Component_"), {})
    company = directories.get(service_folder.get("Directory_"), {}).get("Directory_Parent")
    if not any(r["DirProperty"] == company and not r["FileName"] and int(r["InstallMode"]) & 2
               for r in tables["RemoveFile"]):
        problems.append(f"the folder {company} is not removed at uninstall")
    if directories.get("ProgramFiles64Folder", {}).get("Directory_Parent") != "TARGETDIR":
        problems.append("no ProgramFiles64Folder under TARGETDIR")

    services = [r for r in tables["ServiceInstall"] if r["Name"] == SERVICE]
    if len(services) != 1:
        problems.append(f"ServiceInstall: {len(services)} rows for '{SERVICE}'")
    for row in services:
        if int(row["ServiceType"]) != SERVICE_OWN_PROCESS:
            problems.append(f"service type {row['ServiceType']}, expected 16 (own process)")
        if int(row["StartType"]) != AUTO_START:
            problems.append(f"start type {row['StartType']}, expected 2 (automatic)")
        if int(row["ErrorControl"]) != ERROR_NORMAL:
            problems.append(f"error control {row['ErrorControl']}, expected 1 (normal)")
        if row["StartName"] not in ("LocalSystem", ""):
            problems.append(f"service account {row['StartName']}, expected LocalSystem")
        if not row["Description"]:
            problems.append("the service has no description")
        keyed = files.get("VokZylControl.exe", {}).get("Component_")
        if row["Component_"] != keyed:
            problems.append("the service is not installed with VokZylControl.exe's component")

    controls = [r for r in tables["ServiceControl"] if r["Name"] == SERVICE]
    if len(controls) != 1:
        problems.append(f"ServiceControl: {len(controls)} rows for '{SERVICE}'")
    for row in controls:
        wanted = START_INSTALL | STOP_INSTALL | STOP_UNINSTALL | DELETE_UNINSTALL
        if int(row["Event"]) & wanted != wanted:
            problems.append(f"service control events 0x{int(row['Event']):X} lack 0x{wanted:X}")

    drivers = [r for r in tables["ServiceControl"] if r["Name"] == DRIVER_SERVICE]
    if len(drivers) != 1:
        problems.append(f"ServiceControl: {len(drivers)} rows for '{DRIVER_SERVICE}'")
    for row in drivers:
        events = int(row["Event"])
        if events & (STOP_UNINSTALL | DELETE_UNINSTALL) != STOP_UNINSTALL | DELETE_UNINSTALL:
            problems.append(f"{DRIVER_SERVICE} is not stopped and deleted at uninstall "
                            f"(events 0x{events:X})")
        if events & START_INSTALL:
            problems.append(f"{DRIVER_SERVICE} is started by the package (events 0x{events:X})")

    # A public property (upper case only) could be set on the command line and move the folder
    # the LocalSystem service and the kernel driver are loaded from.
    service_directory = service_folder.get("Directory_", "")
    if not service_directory or service_directory.upper() == service_directory:
        problems.append(f"the service's folder {service_directory!r} is a public property")

    sequence = {r["Action"]: int(r["Sequence"]) for r in tables["InstallExecuteSequence"]}
    for action in ("InstallFiles", "InstallServices", "StartServices", "StopServices",
                   "DeleteServices", "RemoveFiles", "RemoveExistingProducts",
                   "FindRelatedProducts"):
        if action not in sequence:
            problems.append(f"InstallExecuteSequence lacks {action}")
    if all(a in sequence for a in ("StopServices", "DeleteServices", "RemoveFiles",
                                   "InstallFiles", "InstallServices", "StartServices")) and \
            not (sequence["StopServices"] < sequence["DeleteServices"] <
                             sequence["RemoveFiles"] < sequence["InstallFiles"] <
                             sequence["InstallServices"] < sequence["StartServices"]):
        problems.append("service and file actions out of order")

    properties = {r["Property"]: r["Value"] for r in tables["Property"]}
    upgrade_code = properties.get("UpgradeCode")
    upgrades = [r for r in tables["Upgrade"] if r["UpgradeCode"] == upgrade_code]
    # MajorUpgrade: one row finds older versions to remove, one detects newer ones to refuse.
    if len(upgrades) < 2:
        problems.append(f"Upgrade: {len(upgrades)} rows for the package's UpgradeCode")
    if not any("WIX_DOWNGRADE_DETECTED" in r["Condition"] for r in tables["LaunchCondition"]):
        problems.append("no launch condition refuses a downgrade")
    check_files(msi, properties.get("ProductVersion"), problems)
    summary = subprocess.run(["msiinfo", "suminfo", msi], capture_output=True, text=True).stdout
    if "x64;" not in summary:
        problems.append("not an x64 package (summary information template)")
    return problems


if __name__ == "__main__":
    found = main(sys.argv[1])
    for problem in found:
        print(f"MSI check: {problem}")
    if not found:
        print(f"MSI check: {sys.argv[1]} holds the service, its files and the folder")
    sys.exit(1 if found else 0)
