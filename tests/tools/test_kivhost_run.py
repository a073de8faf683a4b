#!/usr/bin/env python3
"""kivhost run as a commissioning script and CI use it.

Usage: test_kivhost_run.py --examples DIR [--sim VXS_SIM --wineprefix PREFIX] -- KIVHOST [ARGS...]

Natively: scripts against the embedded simulator with --json, --trace and --sim-transcript (the
driver built in, its poll brought near), a timed run, and --lines 4. With --wineprefix: the
Windows kivhost runs a script over a Wine COM port onto a pseudo-terminal where the Linux
vxs-sim plays the controllers (the helpers of tests/simulated_line/run_with_sim.py).
"""
import fcntl
import grp
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

from kivhost_testlib import check, failures, finish, run, split_arguments

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "simulated_line"))
import run_with_sim  # noqa: E402  (the simulator and COM port helpers)

TRACE_LINE = re.compile(r"^(\d+\.\d{6}) (out|in) (\d+) (.*)$")
TOKEN = re.compile(r"<LF>|<CR>|<[0-9A-F]{2}>|[^<]")
DOWNLOAD_LINES = 12  # frame lines of the download file written below


def records_of(out):
    """Every line of the output as JSON; a line that is not fails the test."""
    records = []
    for line in out.splitlines():
        try:
            records.append(json.loads(line))
        except json.JSONDecodeError:
            failures.append(f"not a JSON record: {line[:120]!r}")
    for record in records:
        check(isinstance(record.get("t"), (int, float)) and isinstance(record.get("type"), str),
              f"a record without time stamp or type: {record}")
    return records


def of_type(records, kind):
    return [r for r in records if r.get("type") == kind]


def trace_bytes(text):
    """The bytes of a trace frame ("<LF>", "<CR>", "<XX>" escapes)."""
    out = bytearray()
    for token in TOKEN.findall(text):
        if token == "<LF>":
            out += b"\n"
        elif token == "<CR>":
            out += b"\r"
        elif len(token) == 4:
            out.append(int(token[1:3], 16))
        else:
            out += token.encode("latin-1")
    return bytes(out)


def read_trace(path):
    frames = []
    with open(path, encoding="latin-1") as trace:
        lines = trace.read().splitlines()
    check(lines and lines[0].startswith("# kivhost trace"), f"trace header: {lines[:1]}")
    for line in lines[1:]:
        match = TRACE_LINE.match(line)
        check(match is not None, f"trace line not in the format: {line!r}")
        if match:
            frames.append((float(match[1]), match[2], int(match[3]), trace_bytes(match[4])))
    check(all(a[0] <= b[0] for a, b in zip(frames, frames[1:])), "trace times in order")
    return frames


def check_trace_against_transcript(frames, transcript_path):
    """The frames the driver sent are those the simulator received, in order; those it received
    are those the simulator sent, byte for byte."""
    with open(transcript_path, encoding="utf-8") as transcript:
        entries = [json.loads(line) for line in transcript if line.strip()]
    line_bytes = lambda e: bytes.fromhex(e["hex"])  # noqa: E731
    received = [line_bytes(e) for e in entries if e["dir"] == "rx"]
    sent = [line_bytes(e) for e in entries if e["dir"] == "tx"]
    out = [f[3] for f in frames if f[1] == "out"]
    into = [f[3] for f in frames if f[1] == "in"]
    check(out == received, f"trace out != simulator rx:\n{out}\n{received}")
    # A frame that arrives just before the driver sends a command is dropped with the stale
    # input; the simulator sends it again. So the driver sees the simulator's frames in order,
    # and each one it missed comes again later.
    # Matched from the end, so that of two copies the one sent again is the one seen.
    seen = len(into)
    for index in range(len(sent) - 1, -1, -1):
        if seen > 0 and into[seen - 1] == sent[index]:
            seen -= 1
        else:
            check(sent[index] in sent[index + 1:], f"frame {sent[index]!r} never reached the driver")
    check(seen == 0, f"trace in is not what the simulator sent:\n{into}\n{sent}")
    check(len(out) > 20 and len(into) > 20, f"trace holds the run: {len(out)} out, {len(into)} in")


SCRIPT = """\
expect-log "Start of Unsolicited Thread" 10000
event 10 1
wait L1_PENUM 10 5000
# the poll brought near by --poll-delay: controller 1's status report reaches its tags
wait L1_1PAI2 341 10000
write L1_0FSTAT 1
write L1_PKCOD "00004711"
write L1_PDATE "31/12/27"
write L1_PBINM "Ada Lovelace"
write L1_0FADDK 1
event 0 0 1
wait L1_PBNAM "Ada Lovelace" 5000
write L1_0FSPARS 1
wait L1_0FSPARS 0 20000
write L1_INPUT "refused" expect=1
read L1_PKCOD
wait L1_PENUM 99 300
write L1_0FSTAT 1
"""


def test_script(kivhost, examples, workdir):
    with open(os.path.join(workdir, "zezDSetup01.dat"), "wb") as setup:
        setup.write(b"CONTENT OF SETUP PARAMETERS.\r\n")
        for n in range(DOWNLOAD_LINES):
            setup.write(f";T {n % 8},08:00:00,17:00:00,MTWTF--;\r\n".encode())
    with open(os.path.join(workdir, "test.run"), "w") as script:
        script.write(SCRIPT)
    code, out, err = run(kivhost, "--driver", "built-in", "--json", "run", "--workdir", ".",
                         "--rate", "0", "--poll-delay", "1500", "--receiver-start", "100",
                         "--tags", os.path.join(examples, "vxs100-line.tags"),
                         "--script", "test.run", "--trace", "run.trace", "--pcap", "run.pcap",
                         "--sim-transcript", "sim.jsonl", cwd=workdir)
    check(code == 1, f"a failed wait ends the script with exit 1, not {code}; {err!r}")
    check("test.run:17: wait L1_PENUM 99 300: timed out" in err, f"the reason on stderr: {err!r}")
    records = records_of(out)
    starts = of_type(records, "start")
    check(len(starts) == 1 and starts[0].get("result") == 0 and starts[0].get("refused") == [],
          f"one line started, no tag refused: {starts}")
    results = {r.get("scriptLine"): r for r in of_type(records, "result")}
    check(sorted(results) == [1, 2, 3] + list(range(5, 18)),
          f"every command up to the failed wait ran, none after it: {sorted(results)}")
    for line in (1, 2, 3, 5, 6, 10, 11, 12, 13, 14):
        check(results.get(line, {}).get("ok") is True, f"script line {line}: {results.get(line)}")
    check(results[6].get("result") == 0 and results[10].get("result") == 0, "FSTAT and FADDK: 0")
    refused = results[15]
    check(refused.get("ok") is True and refused.get("result") == 1 and
          "(as expected)" in refused.get("detail", "") and
          "write operation is not available, GAS INPUT" in refused.get("reason", ""),
          f"a refusal the script expects, with its reason: {refused}")
    check(results[16].get("value") == "0000004711", f"read of the staged badge code: {results[16]}")
    check(results[17].get("ok") is False and "timed out after 300 ms" in results[17].get("detail", ""),
          f"failed wait: {results[17]}")

    events = of_type(records, "event")
    door = [e for e in events if e.get("code") == 10]
    check(door and door[0]["unit"] == 1 and door[0]["unitKind"] == "door" and door[0]["key"] is None,
          f"door event in words: {door[:1]}")
    badge = [e for e in events if e.get("code") == 0]
    check(badge and badge[-1]["key"] == "0" and badge[-1]["holder"] == "Ada Lovelace",
          f"the added badge is known by name: {badge[-1:]}")
    tags = {(r["name"], json.dumps(r["value"])) for r in of_type(records, "tag")}
    for name, value in (("L1_PENUM", 10.0), ("L1_PSDOR01", 1.0), ("L1_1PMODE", 1.0),
                        ("L1_1PAI2", 341.0), ("L1_0PKEYS", 0.0), ("L1_0FSPARS", 0.0)):
        check((name, json.dumps(value)) in tags, f"tag change {name} = {value}")

    progress = of_type(records, "progress")
    check(len(progress) >= 3, f"progress records of the download: {progress}")
    check(all(p["total"] == DOWNLOAD_LINES for p in progress), "progress: lines in the file")
    check([p["sent"] for p in progress] == sorted(p["sent"] for p in progress), "progress grows")
    check(progress and progress[-1]["done"] and progress[-1]["sent"] == DOWNLOAD_LINES and
          progress[-1]["failed"] == 0, f"download done: {progress[-1:]}")

    logs = [r["text"] for r in of_type(records, "log")]
    check("RIRODI: QorRmClient() succeeded!!!" in logs and "RIRODI: End of Unsolicited Thread" in logs,
          "clean stop: the shut-down signal, then close")
    summary = records[-1] if records else {}
    check(summary.get("type") == "summary" and summary.get("exit") == 1 and
          "timed out" in summary.get("reason", ""), f"summary last: {summary}")
    line = (summary.get("lines") or [{}])[0]
    frames = of_type(records, "frame")
    check(line.get("framesIn") == sum(f["dir"] == "in" for f in frames) and
          line.get("framesOut") == sum(f["dir"] == "out" for f in frames) and
          line.get("events") == len(events), f"summary counts what was shown: {line}")
    check(summary.get("threadsLeft") == 0, f"no thread left: {summary.get('threadsLeft')}")
    # A store of the value a tag holds already is no change; the counts follow the records.
    held, wrong = {}, []
    for record in of_type(records, "tag"):
        before = held.get(record["name"], "" if isinstance(record["value"], str) else 0.0)
        if record.get("changed") != (record["value"] != before):
            wrong.append(record)
        held[record["name"]] = record["value"]
    tag_records = of_type(records, "tag")
    changes = sum(1 for r in tag_records if r.get("changed"))
    check(not wrong and 0 < changes < len(tag_records), f"changes told from stores: {wrong[:3]}")
    check(line.get("tagStores") == len(tag_records) and line.get("tagChanges") == changes,
          f"the summary counts changes and stores: {line}")
    frames = read_trace(os.path.join(workdir, "run.trace"))
    check_trace_against_transcript(frames, os.path.join(workdir, "sim.jsonl"))
    check(read_pcap(os.path.join(workdir, "run.pcap")) == [(f[1], f[2], f[3]) for f in frames],
          "the pcap file holds the frames of the trace, each with its line")


def read_pcap(path):
    """The (direction, line, frame) of each packet of a pcap file of link type 147."""
    with open(path, "rb") as pcap:
        data = pcap.read()
    magic, major, minor, _, _, _, link = struct.unpack_from("<IHHiIII", data)
    check((magic, major, minor, link) == (0xA1B2C3D4, 2, 4, 147), f"pcap header {magic:x} {link}")
    packets, at = [], 24
    while at + 16 <= len(data):
        _, _, length, _ = struct.unpack_from("<IIII", data, at)
        body = data[at + 16:at + 16 + length]
        packets.append(("out" if body[0] == 0 else "in", body[1], body[2:]))
        at += 16 + length
    return packets


def test_timed_and_usage(kivhost, examples, workdir):
    tags = os.path.join(examples, "vxs100-line.tags")
    code, out, err = run(kivhost, "--json", "run", "--workdir", ".", "--rate", "20",
                         "--duration", "3", "--tags", tags, cwd=workdir)
    records = records_of(out)
    summary = records[-1] if records else {}
    check(code == 0 and summary.get("reason") == "the duration passed", f"timed run: {code} {err!r}")
    check((summary.get("lines") or [{}])[0].get("events", 0) >= 5, f"demo events: {summary}")
    code, out, _ = run(kivhost, "run", "--workdir", ".", "--rate", "0", "--duration", "1",
                       "--tags", tags, cwd=workdir)
    check(code == 0 and "Summary:" in out and "frames in" in out, f"plain summary: {out[-300:]!r}")
    for args, message in ((["--baud", "115200"], "not a rate"), (["--parity", "odd2"], "--parity"),
                          (["--poll-delay", "10"], "built-in"), (["--script", "nothing.run"], "cannot open"),
                          (["--lines", "2", "--port", "ttyS0"], "--lines"), (["--tags", "none.tags"], "cannot open"),
                          (["--charset", "utf-8"], "unknown code page 'utf-8'")):
        code, _, err = run(kivhost, "run", "--tags", tags, *args, cwd=workdir)
        check(code == 2 and message in err, f"run {args}: exit {code}, {err!r}")
    # An output file that cannot be written is said, not passed over.
    code, _, err = run(kivhost, "run", "--workdir", ".", "--rate", "20", "--duration", "2",
                       "--tags", tags, "--trace", "/dev/full", cwd=workdir)
    check("writing the trace '/dev/full' failed: No space left on device" in err,
          f"a trace on a full disk: {code} {err!r}")
    with open(os.path.join(workdir, "bad.run"), "w") as script:
        script.write("write L1_PENUM\nfly away\nevent 10\n")
    code, _, err = run(kivhost, "run", "--tags", tags, "--script", "bad.run", cwd=workdir)
    check(code == 2 and "bad.run:1: usage: write TAG VALUE" in err and "bad.run:2: unknown command"
          in err and "bad.run:3: event needs" in err, f"script checked first: {code} {err!r}")


def test_from_anywhere(kivhost, workdir):
    """Without --tags and --workdir, from an empty folder: the tag file installed or built with
    kivhost, the driver's files in the user's own folder; files named on the command line stay
    where they were named."""
    here = os.path.join(workdir, "anywhere")
    state = os.path.join(workdir, "state")
    os.makedirs(here)
    code, out, err = run(kivhost, "--json", "run", "--rate", "5", "--duration", "3",
                         "--sim-transcript", "sim.jsonl", cwd=here, env={"XDG_STATE_HOME": state})
    records = records_of(out)
    starts = of_type(records, "start")
    files = os.path.join(state, "vududidi")
    check(code == 0 and len(starts) == 1 and starts[0].get("result") == 0 and
          starts[0].get("refused") == [], f"run from anywhere: exit {code}, {starts}; {err!r}")
    check(starts and starts[0].get("workdir") == files and files in starts[0].get("text", ""),
          f"the working folder named at the start: {starts}")
    check(os.path.isfile(os.path.join(files, "zezEvents01.dat")), "the event log in the user's folder")
    check(sorted(os.listdir(here)) == ["sim.jsonl"], f"only the named file here: {os.listdir(here)}")
    code, _, err = run(kivhost, "run", "--duration", "1", cwd=here,
                       env={"XDG_STATE_HOME": "", "HOME": ""})
    check(code == 2 and "--workdir" in err, f"no folder to work in: exit {code}, {err!r}")


def test_lines(kivhost, examples, workdir):
    script = ['expect-log "Start of Unsolicited Thread" 10000']
    for line in range(1, 5):
        script += [f"event {9 + line} {line} line={line}", f"wait {line}:L1_PENUM {9 + line} 10000"]
    script.append("quit")
    # Saved as on Windows (a byte-order mark, CR LF): it runs as the same script with LF.
    with open(os.path.join(workdir, "lines.run"), "w", encoding="utf-8-sig", newline="\r\n") as file:
        file.write("\n".join(script) + "\n")
    # No demo events (--rate 0): on a loaded machine a line's demo events came right after the
    # script's event and changed "PENUM" again before the script's wait for that line began.
    code, out, err = run(kivhost, "--driver", "built-in", "--json", "run", "--workdir", ".", "--lines", "4",
                         "--rate", "0", "--receiver-start", "100", "--script", "lines.run",
                         "--tags", os.path.join(examples, "vxs100-line.tags"), cwd=workdir)
    records = records_of(out)
    summary = records[-1] if records else {}
    check(code == 0 and summary.get("reason") == "quit", f"--lines 4: exit {code}, {err!r}")
    lines = summary.get("lines") or []
    check([l.get("line") for l in lines] == [1, 2, 3, 4] and
          len({l.get("port") for l in lines}) == 4 and
          [l.get("instance") for l in lines] == [1, 2, 3, 4], f"four lines: {lines}")
    for entry in lines:
        events = [e for e in of_type(records, "event") if e.get("line") == entry.get("line")]
        check(entry.get("events", 0) >= 1 and entry.get("events") == len(events) and
              entry.get("framesIn", 0) >= entry.get("events", 0), f"line counted: {entry}")
    check(summary.get("threadsLeft") == 0, f"no thread left: {summary.get('threadsLeft')}")


WINE_SCRIPT = """\
expect-log "Start of Unsolicited Thread" 30000
wait L1_PENUM 10 30000
write L1_0FSTAT 1
quit
"""


def test_wine(kivhost, examples, workdir, sim_path, prefix):
    shutil.copy(os.path.join(examples, "vxs100-line.tags"), os.path.join(workdir, "line.tags"))
    with open(os.path.join(workdir, "wine.run"), "w", encoding="utf-8-sig", newline="\r\n") as script:
        script.write(WINE_SCRIPT)  # as an editor on Windows saves it
    simulator = run_with_sim.Simulator([sim_path])
    port, link = run_with_sim.make_com_port(prefix, simulator.path)
    try:
        # Wine names the COM ports of its prefix when it starts (COM1 onto /dev/ttyS0); a link
        # made afterwards, as the one above, opens but is not among the system's names.
        code, out, _ = run(kivhost, "--json", "ports")
        listed = {p.get("port"): p for p in json.loads(out).get("ports", [])} if code == 0 else {}
        check(listed.get("COM1", {}).get("description", "").startswith("\\Device\\Serial"),
              f"kivhost.exe ports lists Wine's COM1 with its device: {listed}")
        proc = subprocess.Popen(list(kivhost) + ["--json", "run", "--workdir", ".", "--port", port,
                                                 "--tags", "line.tags",
                                                 "--script", "wine.run"],
                                cwd=workdir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
        output = run_with_sim.start_pump(proc.stdout)
        lines, sent, deadline, ended = [], False, time.monotonic() + 180, None
        while time.monotonic() < deadline:
            if ended is None and proc.poll() is not None:
                ended = time.monotonic()
            if ended is not None and time.monotonic() - ended > 1.0:
                break
            try:
                line = output.get(timeout=0.1)
            except run_with_sim.queue.Empty:
                continue
            if line is run_with_sim.EOF_MARK:
                break
            lines.append(line)
            if not sent and "Start of Unsolicited Thread" in line:
                problem = simulator.run("event 0 10 unit=2")
                check(problem == "", f"the simulator takes the event: {problem}")
                sent = True
        if proc.poll() is None:
            proc.kill()
        code = proc.wait()
    finally:
        os.unlink(link)
        simulator.stop()
    records = records_of("\n".join(l for l in lines if l.startswith("{")))
    check(code == 0, f"kivhost.exe run over {port}: exit {code}; {lines[-5:]}")
    check(sent, "the driver's receiver started")
    events = of_type(records, "event")
    check(any(e.get("code") == 10 and e.get("unit") == 1 for e in events), f"the event: {events}")
    results = [r for r in of_type(records, "result") if r.get("command") == "write L1_0FSTAT 1"]
    check(results and results[0].get("ok") and results[0].get("result") == 0, f"the write: {results}")
    summary = records[-1] if records else {}
    check(summary.get("type") == "summary" and summary.get("reason") == "quit", f"summary: {summary}")
    # The Windows driver found kivhost.exe's monitoring sink: frames and events come from it.
    line = (summary.get("lines") or [{}])[0]
    check(line.get("framesIn", 0) >= 2 and line.get("framesOut", 0) >= 2 and line.get("events") == 1,
          f"counters from the monitoring records: {line}")


def port_check_cases():
    """Each cause of a line that does not open, made real: (name, port, extra args, run as
    another user, the cause, words of the reason), each alive while the caller checks it."""
    missing = "/dev/ttyUSB9"
    while os.path.exists(missing):
        missing += "9"
    yield ("missing", missing, [], False, "not-found", f"the device {missing} does not exist")
    master, slave = os.openpty()
    try:
        name = os.ttyname(slave)
        yield ("settings", name, ["--data-bits", "6", "--stop-bits", "1.5"], False, "settings",
               "one and a half stop bits need 5 data bits")
        fcntl.flock(slave, fcntl.LOCK_EX | fcntl.LOCK_NB)
        yield ("in use", name, [], False, "in-use", f"held by process {os.getpid()}")
        fcntl.flock(slave, fcntl.LOCK_UN)
        if os.geteuid() == 0 and shutil.which("setpriv"):
            # The device readable by its group only, the user not in it.
            os.chown(name, 0, grp.getgrnam("dialout").gr_gid)
            os.chmod(name, 0o660)
            yield ("permission", name, [], True, "permission", "the group dialout grants access")
        elif os.geteuid() != 0:
            os.chmod(name, 0o000)
            yield ("permission", name, [], False, "permission", "permission denied")
        else:
            print("SKIP: the permission case needs setpriv to run as another user")
    finally:
        os.close(slave)
        os.close(master)


def crc16(data):
    """CRC-16/XMODEM, the frames' checksum."""
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021 if crc & 0x8000 else crc << 1) & 0xFFFF
    return crc


def checksum_wrong(frame):
    """Whether a frame LF ";...;" XXXX CR carries a checksum that does not match."""
    match = re.fullmatch(rb"\n(;.*;)([0-9A-Fa-f]{4})\r", frame, re.S)
    return match is not None and int(match[2], 16) != crc16(match[1])


# A script's exit status: each kind of failing step, each expected-result form. A tag the tag
# file lacks is found before the line opens (no start record).
SCRIPT_EXITS = [
    # The write's own reason alone, though the driver's threads log as it starts.
    ("write L1_INPUT x\nquit\n", 1,
     "e.run:1: write L1_INPUT x: result 1: RIRODI: write operation is not available, GAS INPUT\n"),
    # A text the driver refuses without a log line: kivhost says what the tag takes.
    ('write L1_PDATE "1/1/27"\n', 1, "result 1: PDATE takes a date DD/MM/YY"),
    ("write L1_INPUT x expect=1\nquit\n", 0, None),
    ('write L1_PKCOD "00000001" expect=1\nquit\n', 1, "result 0 (expected result 1)"),
    ("write L1_PENUM 70000\nquit\n", 1, "a whole number from 0 to 65535"),
    ("read L1_PKCOD expect=0\nquit\n", 0, None),
    ("quit\nwrite L1_NOPE 1\n", 2, "e.run:2: no tag 'L1_NOPE' in "),
    ("show 2:L1_PENUM\n", 2, "e.run:1: no tag '2:L1_PENUM'"),
    ("write L1_INPUT x expect=maybe\n", 2, "e.run:1: 'expect=maybe': expect= takes"),
    # A number exactly as written; an escape sequence in a script is shown, not obeyed.
    ('write L1_PENUM "+5"\n', 1, "is a whole number from 0 to 65535"),
    ('write L1_PENUM " 5"\n', 1, "is a whole number from 0 to 65535"),
    ("\x1b[2J\n", 2, "\\x1B[2J"),
    ('write L1_PBINM "Łukasz"\nquit\n', 1, "e.run:1: write L1_PBINM \"Łukasz\": 'Ł' cannot be "
     "written in Windows-1252"),
]


def test_script_exits(kivhost, examples, workdir):
    for script, status, text in SCRIPT_EXITS:
        with open(os.path.join(workdir, "e.run"), "w", encoding="utf-8") as file:
            file.write(script)
        code, out, err = run(kivhost, "--driver", "built-in", "--json", "run", "--workdir", ".",
                             "--rate", "0", "--receiver-start", "100", "--script", "e.run",
                             "--tags", os.path.join(examples, "vxs100-line.tags"), cwd=workdir)
        check(code == status and (text is None or text in err),
              f"script {script!r}: exit {code}, not {status}; {err!r}")
        if status == 2:
            check(not of_type(records_of(out), "start"), f"{script!r}: the line was not opened")


def run_records(kivhost, examples, workdir, script, *args):
    with open(os.path.join(workdir, "counters.run"), "w", encoding="utf-8") as file:
        file.write(script)
    code, out, err = run(kivhost, "--driver", "built-in", "--json", "run", "--workdir", ".",
                         "--rate", "0", "--receiver-start", "100", "--script", "counters.run",
                         "--tags", os.path.join(examples, "vxs100-line.tags"), *args, cwd=workdir)
    records = records_of(out)
    summary = records[-1] if records else {}
    check(code == 0 and summary.get("reason") == "quit", f"counters run {args}: exit {code}, {err!r}")
    return records, (summary.get("lines") or [{}])[0]


def test_counters(kivhost, examples, workdir):
    """The counters come from the driver's monitoring records: four controllers silent in the
    poll are four time-outs, each of its controller; frames with a wrong checksum are counted as
    illegal exactly as often as the simulator sent them."""
    records, line = run_records(kivhost, examples, workdir,
                                'expect-log "controler 7 not answer" 30000\nstatus\nquit\n',
                                "--controllers", "0-3", "--poll-delay", "300")
    by_controller = {c.get("controller"): c for c in line.get("controllers", [])}
    check(line.get("timeouts") == 4 and
          [by_controller.get(c, {}).get("timeouts") for c in range(8)] == [0] * 4 + [1] * 4,
          f"four silent controllers, four time-outs: {line}")
    check(all(by_controller.get(c, {}).get("statusReports", 0) >= 1 for c in range(4)) and
          all(by_controller.get(c, {}).get("statusReports") == 0 for c in range(4, 8)),
          f"status reports of the controllers that answer: {line}")
    status = [r for r in of_type(records, "result") if r.get("command") == "status"]
    check(status and status[0].get("lines", [{}])[0].get("heard") == [0, 1, 2, 3] and
          "controllers heard 0,1,2,3" in status[0].get("detail", ""),
          f"status names the controllers heard: {status}")
    silent = [r.get("controller") for r in of_type(records, "monitor") if r.get("kind") == "silent in the poll"]
    check(silent == [4, 5, 6, 7], f"the silent controllers' records: {silent}")

    script = ('expect-log "Start of Unsolicited Thread" 10000\nsim fault badcrc on 0 count=3\n'
              "event 10 1\nevent 9 0\nwait L1_PENUM 9 15000\nquit\n")
    records, line = run_records(kivhost, examples, workdir, script, "--sim-transcript", "crc.jsonl")
    with open(os.path.join(workdir, "crc.jsonl"), encoding="utf-8") as transcript:
        sent = [bytes.fromhex(e["hex"]) for e in map(json.loads, transcript) if e["dir"] == "tx"]
    wrong = sum(1 for frame in sent if checksum_wrong(frame))
    check(wrong >= 3 and line.get("illegalFrames") == wrong,
          f"illegal frames {line.get('illegalFrames')}, the simulator sent {wrong} with a wrong checksum")
    check(line.get("events") == 2 and len(of_type(records, "event")) == 2, f"two events published: {line}")


def test_port_diagnosis(kivhost, examples, workdir):
    """A line that cannot be used is named with its cause at once, by port-check and by run
    (exit 2, before the cold start: no 5 s wait after a failed start)."""
    tags = os.path.join(examples, "vxs100-line.tags")
    as_nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    for name, port, extra, other_user, cause, words in port_check_cases():
        prefix = as_nobody if other_user else []
        code, out, err = run(prefix + list(kivhost), "--json", "port-check", port, *extra, cwd="/")
        answer = json.loads(out) if out.strip().startswith("{") else {}
        check(code == 2 and answer.get("ok") is False and answer.get("cause") == cause and
              words in answer.get("reason", ""), f"port-check {name}: exit {code}, {answer} {err!r}")
        began = time.monotonic()
        code, out, err = run(prefix + list(kivhost), "run", "--port", port, *extra, "--tags", tags,
                             "--workdir", workdir, cwd="/")
        took = time.monotonic() - began
        check(code == 2 and words in err and "cold start" not in out, f"run {name}: exit {code}, {err!r}")
        check(took < 2.5, f"run {name}: ends at once, not after {took:.1f} s")
    master, slave = os.openpty()
    try:
        code, out, _ = run(kivhost, "port-check", os.ttyname(slave), "--baud", "19200")
        check(code == 0 and f"{os.ttyname(slave)}: opens with 19200 baud" in out, f"port-check: {code} {out!r}")
        # A stable name too long for the host's 12 characters names the device it links to.
        stable = os.path.join(workdir, "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0")
        os.symlink(os.ttyname(slave), stable)
        code, out, err = run(kivhost, "port-check", stable)
        check(code == 0 and f"{stable} ({os.ttyname(slave)}): opens with" in out,
              f"port-check of a stable name shows both: {code} {out!r} {err!r}")
        os.unlink(stable)
    finally:
        os.close(slave)
        os.close(master)


def make_sysroot(root):
    """A machine's sysfs and /dev in miniature: a USB adapter with its by-id name, a UART the
    kernel found, a UART slot with nothing in it, and a virtual terminal."""
    def write(path, text=""):
        os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
        with open(os.path.join(root, path), "w") as f:
            f.write(text)

    def link(path, target):
        os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
        os.symlink(target, os.path.join(root, path))

    usb = "sys/devices/pci0000:00/usb1/1-2"
    for name, value in (("idVendor", "0403"), ("idProduct", "6001"), ("manufacturer", "FTDI"),
                        ("product", "FT232R USB UART"), ("serial", "A50285BI")):
        write(f"{usb}/{name}", value + "\n")
    write(f"{usb}/1-2:1.0/ttyUSB0/uevent")
    write("sys/devices/platform/serial8250/tty/ttyS10/uevent")
    write("sys/devices/pnp0/00:00/tty/ttyS2/uevent")
    # name, its device (from sys/), the UART type (0: nothing found in the slot)
    for name, device, kind in (("ttyUSB0", f"{usb}/1-2:1.0/ttyUSB0", None),
                               ("ttyS2", "sys/devices/pnp0/00:00/tty/ttyS2", "4"),
                               ("ttyS10", "sys/devices/platform/serial8250/tty/ttyS10", "0"),
                               ("tty1", None, None)):
        os.makedirs(os.path.join(root, "sys/class/tty", name))
        if device:
            link(f"sys/class/tty/{name}/device", "../../../" + device[len("sys/"):])
        if kind:
            write(f"sys/class/tty/{name}/type", kind + "\n")
        write(f"dev/{name}")
    link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB0")


def test_ports(kivhost, workdir):
    """kivhost ports: the adapter with its maker, product, ids and stable name; the UART the
    kernel found; neither an empty UART slot nor a virtual terminal."""
    root = os.path.join(workdir, "sysroot")
    make_sysroot(root)
    code, out, err = run(kivhost, "--json", "ports", env={"KIVHOST_SYSROOT": root})
    ports = json.loads(out).get("ports") if code == 0 else None
    expected = [
        {"port": "/dev/ttyS2", "byId": None, "kind": "built-in", "vendorId": None,
         "productId": None, "serial": None},
        {"port": "/dev/ttyUSB0", "byId": "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
         "kind": "usb", "description": "FTDI FT232R USB UART", "vendorId": "0403", "productId": "6001",
         "serial": "A50285BI"},
    ]
    got = [{k: v for k, v in p.items() if k != "description" or p["kind"] == "usb"} for p in ports or []]
    check(got == expected, f"ports --json: {ports} {err!r}")
    code, out, _ = run(kivhost, "ports", env={"KIVHOST_SYSROOT": root})
    check(code == 0 and "FTDI FT232R USB UART (0403:6001, serial A50285BI)" in out and
          "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0" in out and "ttyS10" not in out, f"ports: {out!r}")
    code, out, _ = run(kivhost, "ports", env={"KIVHOST_SYSROOT": os.path.join(workdir, "nothing")})
    check(code == 0 and out == "no serial ports found\n", f"ports on a machine without any: {out!r}")


def test_scan(kivhost, workdir):
    """kivhost scan: on a simulated line with controllers 0, 3 and 5 exactly those answer, with
    the fields of their reports; on a silent line none does, within the driver's attempts."""
    code, out, err = run(kivhost, "--json", "scan", "--controllers", "0,3,5", "--workdir", workdir)
    answer = json.loads(out) if code == 0 else {}
    controllers = answer.get("controllers", [])
    check([c.get("controller") for c in controllers] == list(range(8)) and
          [c["controller"] for c in controllers if c.get("answers")] == [0, 3, 5],
          f"scan: 0, 3 and 5 answer: exit {code}, {controllers} {err!r}")
    for entry in controllers:
        if entry.get("answers"):
            status = entry.get("status") or {}
            check(status.get("text") == f"VXS-100 C{entry['controller']}" and status.get("mode") == 1
                  and status.get("version") == "1.00" and status.get("tamper") == 0,
                  f"scan: the status of controller {entry['controller']}: {status}")
        else:
            check(entry.get("status") is None and entry.get("result") == 2 and
                  "time-out" in entry.get("detail", ""), f"scan: a silent controller: {entry}")
    master, slave = os.openpty()
    silent = os.ttyname(slave)
    try:
        began = time.monotonic()
        code, out, err = run(kivhost, "scan", "--port", silent, "--ask", "2,6",
                             "--workdir", workdir)
        took = time.monotonic() - began
    finally:
        os.close(slave)
        os.close(master)
    check(code == 1 and out.splitlines()[-1:] == [f"{silent}: 0 of 2 controllers answer at 9600 baud"],
          f"scan of a silent line: exit {code}, {out!r} {err!r}")
    check(took < 30, f"scan of a silent line ends within the attempts, not after {took:.0f} s")


def start_sim(sim, *args):
    """vxs-sim on a pseudo-terminal of its own: the process and the slave's path."""
    proc = subprocess.Popen([sim, "--pty", *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    return proc, proc.stdout.readline().strip()


def stop_sim(proc):
    proc.stdin.close()
    proc.wait(timeout=10)


def test_scan_rates(kivhost, workdir, sim):
    """scan --baud auto finds controllers at a rate that is not the first tried, stops there and
    scans at it; on a silent line it ends within its bound, every rate tried that fits."""
    proc, line = start_sim(sim, "--baud", "38400", "--controllers", "0,3")
    try:
        code, out, err = run(kivhost, "--json", "scan", "--port", line, "--baud", "auto",
                             "--ask", "0,3", "--workdir", workdir)
    finally:
        stop_sim(proc)
    answer = json.loads(out) if out.startswith("{") else {}
    tried = [(r["baud"], r["acknowledged"]) for r in answer.get("rates") or [] if r["tried"]]
    check(code == 0 and answer.get("baud") == 38400 and tried[:2] == [(9600, []), (19200, [])] and
          tried[-1] == (38400, [0, 3]) and all(not heard for _, heard in tried[:-1]),
          f"scan --baud auto: found at 38400 after the common rates: {code} {tried} {err!r}")
    check([c["controller"] for c in answer.get("controllers", []) if c.get("answers")] == [0, 3],
          f"scan --baud auto: the driver's scan at the rate found: {answer.get('controllers')}")
    master, slave = os.openpty()
    try:
        began = time.monotonic()
        code, out, err = run(kivhost, "scan", "--port", os.ttyname(slave), "--baud", "auto",
                             "--workdir", workdir)
        took = time.monotonic() - began
    finally:
        os.close(slave)
        os.close(master)
    check(code == 1 and "no controller acknowledged at any rate tried" in out and
          "not tried: " in out, f"scan --baud auto on a silent line: {code} {out!r} {err!r}")
    check(took < 30 + 5, f"scan --baud auto on a silent line: within its 30 s, not {took:.0f} s")


def test_rate_refused(kivhost, examples, workdir, sim):
    """A rate the system does not take is refused before any line opens, with the rates it
    takes, by each subcommand that takes --baud and by the simulator."""
    tags = os.path.join(examples, "vxs100-line.tags")
    for command in ([*kivhost, "run", "--tags", tags], [*kivhost, "scan"],
                    [*kivhost, "port-check", "/dev/ttyS0"], [sim, "--pty"]):
        began = time.monotonic()
        code, _, err = run(command, "--baud", "12345", cwd=workdir)
        check(code == 2 and "12345" in err and "1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600"
              in err and time.monotonic() - began < 2.5, f"{command[-2:]} --baud 12345: {code} {err!r}")


REAL_LINES_SCRIPT = """\
expect-log "Start of Unsolicited Thread" 10000
wait 1:L1_PENUM 10 8000
wait 2:L1_PENUM 11 8000
quit
"""


def test_real_lines(kivhost, examples, workdir, sim):
    """--port A,B runs one line on each port, numbered in their order; an empty name is refused."""
    with open(os.path.join(workdir, "real-lines.run"), "w") as script:
        script.write(REAL_LINES_SCRIPT)
    sims = [start_sim(sim, "--controllers", "0") for _ in range(2)]
    try:
        for (proc, _), code in zip(sims, ("10", "11")):
            proc.stdin.write(f"event 0 {code}\n")
            proc.stdin.flush()
        code, out, err = run(kivhost, "--driver", "built-in", "--json", "run", "--workdir", ".",
                             "--port", ",".join(line for _, line in sims), "--receiver-start", "100",
                             "--script", "real-lines.run",
                             "--tags", os.path.join(examples, "vxs100-line.tags"), cwd=workdir)
    finally:
        for proc, _ in sims:
            stop_sim(proc)
    records = records_of(out)
    summary = records[-1] if records else {}
    lines = summary.get("lines") or []
    ports = [line for _, line in sims]
    check(code == 0 and summary.get("reason") == "quit", f"--port A,B: exit {code}, {err!r}")
    check([l.get("line") for l in lines] == [1, 2] and [l.get("port") for l in lines] == ports and
          all(l.get("events", 0) >= 1 for l in lines), f"a line on each port, in order: {lines}")
    code, _, err = run(kivhost, "run", "--port", "ttyS0,", "--tags",
                       os.path.join(examples, "vxs100-line.tags"), cwd=workdir)
    check(code == 2 and "is empty" in err, f"--port with an empty name: exit {code}, {err!r}")


NAMES_SCRIPT = """\
expect-log "Start of Unsolicited Thread" 10000
write L1_PKCOD "00004711"
write L1_PDATE "31/12/27"
write L1_PBINM "José Müller"
write L1_0FADDK 1
event 0 0 1
wait L1_PBNAM "José Müller" 5000
show L1_PBINM
quit
"""


def test_names(kivhost, examples, workdir):
    """A holder's name typed in UTF-8 reaches the badge database in Windows-1252, one byte a
    letter, and the badge's next event and 'show' give it back as it was typed."""
    records, _ = run_records(kivhost, examples, workdir, NAMES_SCRIPT)
    badge = [e for e in of_type(records, "event") if e.get("code") == 0]
    check(badge and badge[-1].get("holder") == "José Müller", f"the holder's name: {badge[-1:]}")
    shown = [r for r in of_type(records, "result") if r.get("command") == "show L1_PBINM"]
    check(shown and shown[0].get("value") == "José Müller", f"show: {shown}")
    with open(os.path.join(workdir, "zezSetupDB01.dat"), "rb") as database:
        check(b" @ Jos\xe9 M\xfcller @ " in database.read(), "the name in the badge database")


def native_tests(kivhost, examples, workdir, sim):
    """The native checks by name; the longest (the scans wait for the driver's time-outs) are
    run as tests of their own so that CTest runs them side by side."""
    return {
        "port_diagnosis": lambda: test_port_diagnosis(kivhost, examples, workdir),
        "ports": lambda: test_ports(kivhost, workdir),
        "scan": lambda: test_scan(kivhost, workdir),
        "scan_rates": lambda: test_scan_rates(kivhost, workdir, sim),
        "rate_refused": lambda: test_rate_refused(kivhost, examples, workdir, sim),
        "counters": lambda: test_counters(kivhost, examples, workdir),
        "script": lambda: test_script(kivhost, examples, workdir),
        "script_exits": lambda: test_script_exits(kivhost, examples, workdir),
        "names": lambda: test_names(kivhost, examples, workdir),
        "timed_and_usage": lambda: test_timed_and_usage(kivhost, examples, workdir),
        "from_anywhere": lambda: test_from_anywhere(kivhost, workdir),
        "lines": lambda: test_lines(kivhost, examples, workdir),
        "real_lines": lambda: test_real_lines(kivhost, examples, workdir, sim),
    }


def main():
    options, kivhost = split_arguments(sys.argv[1:],
                                       ["--examples", "--sim", "--wineprefix", "--only", "--skip"])
    examples = os.path.abspath(options["--examples"])
    only = set(filter(None, options["--only"].split(",")))
    skip = set(filter(None, options["--skip"].split(",")))
    with tempfile.TemporaryDirectory() as workdir:
        if options["--wineprefix"]:
            test_wine(kivhost, examples, workdir, options["--sim"], options["--wineprefix"])
            return finish()
        tests = native_tests(kivhost, examples, workdir, options["--sim"])
        unknown = (only | skip) - tests.keys()
        if unknown:
            raise SystemExit(f"no such part: {', '.join(sorted(unknown))}")
        for name, test in tests.items():
            if (not only or name in only) and name not in skip:
                test()
    return finish()


if __name__ == "__main__":
    sys.exit(main())
