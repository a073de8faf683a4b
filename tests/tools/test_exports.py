#!/usr/bin/env python3
"""The driver library exports KivMain and nothing else, depends only on what a host has, and
ships without debug sections (they sit in the .debug file beside it, which it names).

Usage: test_exports.py linux LIBRARY
       test_exports.py windows DLL OBJDUMP FORMAT
Linux: the dynamic symbol table defines only KivMain, and the host calls (err among them) are
bound to the host library's symbol version. Windows: a DLL of the FORMAT objdump names (pei-i386
for the shipped 32-bit driver, pei-x86-64 for the 64-bit test build) whose export table holds
exactly KivMain and whose imports are QORPRO.DLL and Windows' own DLLs, no runtime DLLs.
"""
import os
import re
import subprocess
import sys

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def output(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def section_names(objdump, library):
    return re.findall(r"^\s*\d+\s+(\S+)\s", output(objdump, "-h", library), re.M)


def check_debug_split(objdump, library):
    sections = section_names(objdump, library)
    check(sections, f"objdump lists the sections of {library}")
    debug = [name for name in sections if name.startswith((".debug", ".zdebug"))]
    check(not debug, f"no debug sections in the shipped library: {debug}")
    check(".gnu_debuglink" in sections, f"the library names its .debug file: {sections}")
    check(os.path.isfile(library + ".debug"), f"{library}.debug beside the library")


def test_linux(library):
    defined = [line.split()[-1] for line in output("nm", "-D", "--defined-only", library).splitlines()
               if line.strip()]
    check(defined == ["KivMain"], f"defined dynamic symbols: {defined}")
    undefined = output("nm", "-D", "--undefined-only", library)
    check(re.search(r"\berr@QORPRO_1\.0\b", undefined) is not None,
          "err is bound to the host library's version")
    check(re.search(r"\bQorMkClient@QORPRO_1\.0\b", undefined) is not None or "QorMkClient" not in undefined,
          "host calls are bound to the host library's version")
    check_debug_split("objdump", library)


def test_windows(dll, objdump, pe_format):
    dump = output(objdump, "-p", dll)
    check("file format " + pe_format in output(objdump, "-f", dll), "a " + pe_format + " file")
    check("(DLL)" in dump or "DLL" in output(objdump, "-f", dll), "a DLL")
    table = dump.split("[Ordinal/Name Pointer] Table", 1)
    exports = re.findall(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", table[1], re.M) if len(table) == 2 else []
    check(exports == ["KivMain"], f"exports: {exports}")
    imports = sorted(set(re.findall(r"DLL Name: (\S+)", dump)), key=str.upper)
    allowed = {"QORPRO.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "USER32.DLL"}
    check("QORPRO.DLL" in imports, f"imports QORPRO.DLL: {imports}")
    check(all(name.upper() in allowed for name in imports), f"imports only Windows and QORPRO.DLL: {imports}")
    check_debug_split(objdump, dll)


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "linux":
        test_linux(sys.argv[2])
    elif len(sys.argv) >= 5 and sys.argv[1] == "windows":
        test_windows(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        print(__doc__)
        return 2
    for failure in failures:
        print("FAIL:", failure)
    print(f"{0 if failures else 1} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
