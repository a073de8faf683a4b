#!/usr/bin/env python3
"""The Wireshark dissector of kivhost's pcap files (tools/wireshark/vududidi.lua), run by tshark
on the pcap of a kivhost run: every record decoded, its direction, line, kind and controller as
the text trace of the same run has them, and the frames the simulator sent with a wrong checksum
flagged, no others.

Usage: test_dissector.py --examples DIR --dissector FILE -- KIVHOST
Without tshark the test is skipped (exit 77) and says so.
"""
import os
import shutil
import subprocess
import sys
import tempfile

from kivhost_testlib import check, finish, run, split_arguments
from test_kivhost_run import checksum_wrong, read_trace

SKIPPED = 77
SCRIPT = """\
expect-log "Start of Unsolicited Thread" 10000
sim fault badcrc on 0 count=2
event 10 1
wait L1_PENUM 10 15000
event 0 0 1
wait L1_PENUM 0 15000
write L1_1FSTAT 1
wait L1_1PMODE 1 5000
quit
"""
FIELDS = ["vxs.dir", "vxs.line", "vxs.kind", "vxs.controller", "vxs.checksum.ok", "vxs.event.name"]


def expected_kind(direction, frame):
    """The kind and controller of a frame, read from its bytes."""
    if frame == b"\nA\r":
        return "acknowledgement", ""
    text = frame[2:]
    if direction == "out":
        return "command", chr(text[1]) if text[:1] == b">" else "0"
    if text[:1] == b"V":
        return "event", ""
    if text[:3] == b"S T":
        return "status report", ""
    return None, ""


def main():
    options, kivhost = split_arguments(sys.argv[1:], ["--examples", "--dissector"])
    if shutil.which("tshark") is None:
        print("SKIPPED: tshark is not installed (scripts/install-deps.sh installs it)")
        return SKIPPED
    with tempfile.TemporaryDirectory() as workdir:
        with open(os.path.join(workdir, "s.run"), "w") as script:
            script.write(SCRIPT)
        code, _, err = run(kivhost, "--driver", "built-in", "--json", "run", "--workdir", ".",
                           "--rate", "0", "--receiver-start", "100", "--script", "s.run",
                           "--tags", os.path.join(os.path.abspath(options["--examples"]), "vxs100-line.tags"),
                           "--trace", "t.trace", "--pcap", "t.pcap", cwd=workdir)
        check(code == 0, f"the run: exit {code}, {err!r}")
        frames = read_trace(os.path.join(workdir, "t.trace"))
        command = ["tshark", "-n", "-X", f"lua_script:{os.path.abspath(options['--dissector'])}",
                   "-r", os.path.join(workdir, "t.pcap"), "-T", "fields", "-E", "separator=/t"]
        for field in FIELDS:
            command += ["-e", field]
        decoded = subprocess.run(command, capture_output=True, text=True, timeout=120,
                                 env={**os.environ, "HOME": workdir})
        rows = [line.split("\t") for line in decoded.stdout.splitlines()]
        check(decoded.returncode == 0 and len(rows) == len(frames) and len(rows) > 10,
              f"tshark decodes every record: {len(rows)} of {len(frames)}; {decoded.stderr[-400:]!r}")
        wrong = 0
        for row, (_, direction, line, frame) in zip(rows, frames):
            kind, controller = expected_kind(direction, frame)
            check(row[0] == direction and row[1] == str(line), f"direction and line: {row} {frame!r}")
            if kind is not None:
                check(row[2] == kind and row[3] == controller, f"kind and controller: {row} {frame!r}")
            if frame != b"\nA\r":
                bad = checksum_wrong(frame)
                wrong += bad
                check(row[4] == ("0" if bad else "1"), f"checksum verdict: {row} {frame!r}")
        check(wrong == 2, f"the two frames with a wrong checksum: {wrong}")
        check(any(row[2] == "status report" for row in rows), "the status report of FSTAT")
        check(any(row[5] == "door state 1" for row in rows), f"an event in words: {rows[:6]}")
    return finish()


if __name__ == "__main__":
    sys.exit(main())
