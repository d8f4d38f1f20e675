#!/usr/bin/env python3
"""kelvorov.exe imports the platform by name from the platform's libraries.

Reads the import table of a Windows build's kelvorov.exe with objdump -p and
fails on a DLL it must not import from, on a function imported from the
wrong DLL or missing, and on a platform DLL beside it whose export table is
not its contract.

Usage: imports.py OBJDUMP KELVOROV_EXE
"""
import os
import re
import subprocess
import sys

# What the program imports, DLL by DLL; names of DLLs compare without case.
IMPORTS = {
    "ovw.dll": {"_OVwInit", "OVwDone", "OVwGetMapInfo", "OVwAddCallback", "OVwAddActionCallback",
                "OVwListObjectsOnMap", "OVwDbFieldNameToFieldId", "OVwDbGetFieldValue",
                "OVwDbObjectIdToHostname", "OVwGetSymbolsByObject", "OVwSetSymbolStatusSource",
                "OVwSetSymbolBehavior", "OVwGetSymbolInfo", "OVwSetStatusOnSymbol", "OVwSetSymbolLabel",
                "OVwAckUserSubmapCreate", "OVwError", "OVwErrorMsg"},
    "ovsnmp.dll": {"OVsnmpWEventOpen", "OVsnmpFreePdu", "OVsnmpClose", "OVsnmpErrString", "OVsnmpErrno"},
    "ov.dll": {"OVuint64ToStr"},
    "wsock32.dll": {"inet_ntoa", "gethostbyname"},
    "user32.dll": {"GetMessageA", "TranslateMessage", "DispatchMessageA"},
}
# The C runtime (msvcrt, or the universal one's API sets) and KERNEL32: any
# function, but none of the names above.
RUNTIME = re.compile(r"kernel32\.dll|msvcrt\.dll|api-ms-win-crt-[a-z0-9-]+\.dll")
PLATFORM_DLLS = ("ovw.dll", "ovsnmp.dll", "ov.dll")


def dump(objdump, path):
    return subprocess.run([objdump, "-p", path], check=True, capture_output=True, text=True).stdout


def imports(text):
    """{dll name (lower case): set of imported names} of an objdump -p text."""
    table = {}
    current = None
    for line in text.splitlines():
        found = re.match(r"\s*DLL Name: (\S+)", line)
        if found:
            current = table.setdefault(found.group(1).lower(), set())
            continue
        entry = re.match(r"\s*[0-9a-f]+\s+[0-9]+\s+(\S+)\s*$", line)
        if current is not None and entry:
            current.add(entry.group(1))
        elif current is not None and not line.strip():
            current = None
    return table


def exports(text):
    """The names of a DLL's export table in an objdump -p text."""
    names = set()
    inside = False
    for line in text.splitlines():
        if "[Ordinal/Name Pointer] Table" in line:
            inside = True
        elif inside and not line.strip():
            break
        elif inside:
            entry = re.match(r"\s*\[\s*[0-9]+\]\s+(\S+)", line)
            if entry:
                names.add(entry.group(1))
    return names


def check(objdump, exe):
    failures = []
    table = imports(dump(objdump, exe))
    if not table:
        return ["%s: no import table read" % exe]
    every_name = set().union(*IMPORTS.values())
    for dll, names in sorted(table.items()):
        if dll in IMPORTS:
            continue
        if not RUNTIME.fullmatch(dll):
            failures.append("imports from %s: %s" % (dll, ", ".join(sorted(names))))
        elif names & every_name:
            failures.append("imports %s from %s" % (", ".join(sorted(names & every_name)), dll))
    for dll, expected in IMPORTS.items():
        got = table.get(dll, set())
        if got - expected:
            failures.append("imports %s from %s" % (", ".join(sorted(got - expected)), dll))
        if expected - got:
            failures.append("does not import %s from %s" % (", ".join(sorted(expected - got)), dll))

    folder = os.path.dirname(exe)
    for dll in PLATFORM_DLLS:
        path = os.path.join(folder, dll)
        if not os.path.exists(path):
            failures.append("no %s beside %s" % (dll, exe))
            continue
        got = exports(dump(objdump, path))
        if got != IMPORTS[dll]:
            failures.append("%s exports %s; its contract is %s" % (dll, sorted(got), sorted(IMPORTS[dll])))
    return failures


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[-1])
        return 2
    failures = check(sys.argv[1], os.path.abspath(sys.argv[2]))
    for failure in failures:
        print("FAIL %s: %s" % (sys.argv[2], failure))
    if failures:
        return 1
    print("passed: %s" % sys.argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main())
