#!/usr/bin/env python3
"""The driver's folders include one way only.

For each folder of the driver, a probe is compiled with exactly the flags the build uses for
that folder's own sources (from compile_commands.json): including a header of every folder
below must compile, including a header of any folder above must not. So an include that points
upwards fails to build, and the test shows it.

Usage: test_layers.py BUILD_DIR
"""
import json
import os
import shlex
import subprocess
import sys
import tempfile

# The folders from the bottom up.
FOLDERS = ["platform", "instance", "link", "tags", "receive", "write", "lifecycle", "host"]
SOURCE_ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src")


def layers():
    """Each folder that holds code, with one of its headers."""
    found = []
    for folder in FOLDERS:
        path = os.path.join(SOURCE_ROOT, folder)
        headers = sorted(f for f in os.listdir(path) if f.endswith(".h")) if os.path.isdir(path) else []
        if headers:
            found.append((folder, f"{folder}/{headers[0]}"))
        else:
            print(f"--    {folder:9} holds no code yet")
    return found


def command_for(entries, folder):
    """The compile command of one source of src/FOLDER, as a list of arguments."""
    marker = os.sep + os.path.join("src", folder) + os.sep
    for entry in entries:
        if marker in entry["file"] and os.sep + "win32" + os.sep not in entry["file"]:
            if "arguments" in entry:
                return entry["arguments"], entry["directory"], entry["file"]
            return shlex.split(entry["command"]), entry["directory"], entry["file"]
    return None


def compiles(arguments, directory, source, probe_text):
    with tempfile.TemporaryDirectory() as scratch:
        probe = os.path.join(scratch, "probe.cpp")
        with open(probe, "w") as out:
            out.write(probe_text)
        args = []
        skip = False
        for arg in arguments:
            if skip:
                skip = False
                continue
            if arg in ("-o", "-MF", "-MT", "-MQ"):
                skip = True
                continue
            if arg in ("-c", "-MD", "-MMD"):
                continue
            args.append(probe if os.path.abspath(os.path.join(directory, arg)) == source else arg)
        args.append("-fsyntax-only")
        result = subprocess.run(args, cwd=directory, capture_output=True, text=True)
        return result.returncode == 0


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(os.path.join(sys.argv[1], "compile_commands.json")) as db:
        entries = json.load(db)
    failures = []
    LAYERS = layers()
    for index, (folder, _) in enumerate(LAYERS):
        found = command_for(entries, folder)
        if found is None:
            failures.append(f"no compile command for a source of src/{folder}")
            continue
        arguments, directory, source = found
        for other_index, (other, header) in enumerate(LAYERS):
            if other_index == index:
                continue
            expected = other_index < index
            actual = compiles(arguments, directory, source, f'#include "{header}"\n')
            verdict = "ok" if actual == expected else "WRONG"
            print(f"{verdict:5} {folder:9} includes {header:28} "
                  f"{'compiles' if actual else 'does not compile'}")
            if actual != expected:
                failures.append(f"src/{folder} including {header}: "
                                f"{'compiles' if actual else 'does not compile'}")
    for failure in failures:
        print("FAIL:", failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
