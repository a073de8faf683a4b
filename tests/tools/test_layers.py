#!/usr/bin/env python3
"""The driver's folders, and kivhost's rooms, include one way only.

For each folder of the driver (or room of kivhost), a probe is compiled with exactly the flags
the build uses for that folder's own sources (from compile_commands.json): including a header
of every folder below must compile, including a header of any folder above must not. So an
include that points upwards fails to build, and the test shows it. For kivhost also: the
driver's own folders are out of its sight, but for the frame helpers of its commands room.

Usage: test_layers.py BUILD_DIR [driver|kivhost]
"""
import json
import os
import shlex
import subprocess
import sys
import tempfile

TREE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
# The folders from the bottom up, and where they are.
TREES = {
    "driver": (["platform", "instance", "link", "tags", "receive", "write", "lifecycle", "host"],
               "src"),
    "kivhost": (["base", "system", "mqtt", "host", "view", "service", "run", "cli",
                 "commands"],
                os.path.join("tools", "kivhost")),
}
# The driver's headers that kivhost's rooms must not see, and the rooms that may (the frame
# helpers of 'kivhost frame').
DRIVER_PRIVATE = {
    "link/frame_format.h": {"commands"},
    "instance/driver_instance.h": {"commands"},
    "tags/address_grammar.h": set(),
    "receive/badge_database.h": set(),
    "lifecycle/startup_threads.h": set(),
    "host/kiv_table.h": set(),
}


def layers(folders, source_root):
    """Each folder that holds code, with one of its headers."""
    found = []
    for folder in folders:
        path = os.path.join(source_root, folder)
        headers = sorted(f for f in os.listdir(path) if f.endswith(".h")) if os.path.isdir(path) else []
        if headers:
            found.append((folder, f"{folder}/{headers[0]}"))
        else:
            print(f"--    {folder:9} holds no code yet")
    return found


def command_for(entries, root, folder):
    """The compile command of one source of ROOT/FOLDER, as a list of arguments."""
    marker = os.sep + os.path.join(root, folder) + os.sep
    # A folder built as unity files has those in the build tree, in its target's folder.
    unity = os.sep + root + os.sep + "CMakeFiles" + os.sep
    unity_target = "_" + folder + ".dir" + os.sep + "Unity" + os.sep
    for entry in entries:
        mine = marker in entry["file"] or (unity in entry["file"] and unity_target in entry["file"])
        if mine and os.sep + "win32" + os.sep not in entry["file"]:
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


def probe(failures, entries, root, folder, header, expected):
    """Whether including HEADER from ROOT/FOLDER compiles as expected; a failure if not."""
    found = command_for(entries, root, folder)
    if found is None:
        failures.append(f"no compile command for a source of {root}/{folder}")
        return
    arguments, directory, source = found
    actual = compiles(arguments, directory, source, f'#include "{header}"\n')
    verdict = "ok" if actual == expected else "WRONG"
    print(f"{verdict:5} {folder:9} includes {header:28} "
          f"{'compiles' if actual else 'does not compile'}")
    if actual != expected:
        failures.append(f"{root}/{folder} including {header}: "
                        f"{'compiles' if actual else 'does not compile'}")


def main():
    if len(sys.argv) not in (2, 3) or (len(sys.argv) == 3 and sys.argv[2] not in TREES):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    tree = sys.argv[2] if len(sys.argv) == 3 else "driver"
    folders, root = TREES[tree]
    with open(os.path.join(sys.argv[1], "compile_commands.json")) as db:
        entries = json.load(db)
    failures = []
    found = layers(folders, os.path.join(TREE, root))
    for index, (folder, _) in enumerate(found):
        for other_index, (_, header) in enumerate(found):
            if other_index != index:
                probe(failures, entries, root, folder, header, other_index < index)
        if tree == "kivhost":
            for header, allowed in DRIVER_PRIVATE.items():
                probe(failures, entries, root, folder, header, folder in allowed)
    for failure in failures:
        print("FAIL:", failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
