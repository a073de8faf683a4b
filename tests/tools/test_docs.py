"""The documentation check: the documents say what the programs do.

- Every command line shown in a shell block of the README, docs/ and the folder READMEs whose
  first word is kivhost or vxs-sim runs with the built programs (exit status 0, or 1 for the
  subcommands whose answer is a verdict), unless its comment says "needs hardware". A run is
  cut to a few seconds (--duration), since only whether it runs is checked here.
- Every relative link resolves: the file exists, and a "#anchor" names one of its headings.
- The --json record tables of docs/kivhost.md and docs/vxs-sim.md list exactly the members
  that a run prints.
- Every log line of the driver (each err() call with a literal text in src/) is listed in
  docs/reference.md.
- The README stays a front door: at most README_LINES lines.

Every command runs in a scratch folder of its own, with HOME there too, so that nothing is
written anywhere else; the folder holds a link to the tree's examples/.

    python3 test_docs.py --source TREE --bin BUILD/bin
"""
import argparse
import glob
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

failures = []
HARDWARE = "needs hardware"
VERDICT_COMMANDS = {"parse", "check", "dialog", "call"}  # exit 1 is an answer, not a failure
RUN_SECONDS = "3"
README_LINES = 220


def fail(message):
    failures.append(message)


def documents(source):
    names = ["README.md", "sim/README.md", "tests/README.md", "tools/kivhost/README.md"] + sorted(
        os.path.relpath(p, source) for p in glob.glob(os.path.join(source, "docs", "*.md")))
    return [n for n in names if os.path.exists(os.path.join(source, n))]


def slug(heading):
    """The anchor a Markdown heading gets (GitHub's rule)."""
    text = re.sub(r"[`*_]", "", heading.strip().lower())
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    text = re.sub(r"```.*?```", "", text, flags=re.S)
    return {slug(m.group(1)) for m in re.finditer(r"^#+\s+(.*)$", text, re.M)}


def check_links(source, name, text):
    base = os.path.dirname(os.path.join(source, name))
    prose = re.sub(r"```.*?```", "", text, flags=re.S)
    for target in re.findall(r"\]\(([^)\s]+)\)", prose):
        if re.match(r"[a-z]+:", target):
            continue
        path, _, anchor = target.partition("#")
        full = os.path.normpath(os.path.join(base, path)) if path else os.path.join(source, name)
        if not os.path.exists(full):
            fail(f"{name}: the link '{target}' names no file")
        elif anchor and full.endswith(".md") and anchor not in anchors(full):
            fail(f"{name}: the link '{target}' names no heading of {path or name}")


def shell_lines(text):
    """(line number, command line) of every line in a sh block, continuations joined."""
    lines = text.split("\n")
    inside = False
    pending, start = "", 0
    for number, line in enumerate(lines, 1):
        if line.startswith("```"):
            inside = line.strip() == "```sh" and not inside
            continue
        if not inside:
            continue
        if pending:
            pending += " " + line.strip()
        else:
            pending, start = line.strip(), number
        if pending.endswith("\\"):
            pending = pending[:-1]
            continue
        yield start, pending
        pending = ""


def command_of(line):
    """The argument list of a kivhost or vxs-sim line (None for other lines), whether it needs
    hardware, and the file its output is redirected to."""
    try:
        words = shlex.split(line, comments=True)
    except ValueError:
        return None, False, None
    if not words or words[0] not in ("kivhost", "vxs-sim"):
        return None, False, None
    comment = line.partition(" #")[2]
    redirect = None
    if ">" in words:
        at = words.index(">")
        redirect = words[at + 1] if at + 1 < len(words) else None
        words = words[:at]
    return words, HARDWARE in comment, redirect


def shortened(words):
    """A kivhost run cut to a few seconds."""
    if words[0] != "kivhost" or "run" not in words:
        return words
    out = list(words)
    if "--duration" in out:
        out[out.index("--duration") + 1] = RUN_SECONDS
    else:
        out += ["--duration", RUN_SECONDS]
    return out


def scratch(source):
    folder = tempfile.mkdtemp(prefix="kiv-docs-")
    os.symlink(os.path.join(source, "examples"), os.path.join(folder, "examples"))
    return folder


def environment(bin_dir, home):
    env = dict(os.environ)
    env["PATH"] = bin_dir + os.pathsep + env.get("PATH", "")
    env["HOME"] = home
    env.pop("XDG_STATE_HOME", None)
    return env


def run_commands(source, bin_dir, name, text):
    counted = 0
    for number, line in shell_lines(text):
        words, hardware, redirect = command_of(line)
        if words is None or hardware:
            continue
        counted += 1
        folder = scratch(source)
        try:
            out_path = os.path.join(folder, redirect) if redirect else os.devnull
            with open(out_path, "wb") as out, tempfile.TemporaryFile() as err:
                proc = subprocess.run(shortened(words), cwd=folder, stdout=out, stderr=err,
                                      stdin=subprocess.DEVNULL, timeout=120,
                                      env=environment(bin_dir, folder))
                err.seek(0)
                error = err.read().decode("utf-8", "replace").strip()
            sub = next((w for w in words[1:] if not w.startswith("-")), "")
            allowed = {0, 1} if sub in VERDICT_COMMANDS else {0}
            if proc.returncode not in allowed:
                fail(f"{name}:{number}: '{line}' exited with {proc.returncode}: {error[-400:]}")
        except subprocess.TimeoutExpired:
            fail(f"{name}:{number}: '{line}' did not end within 120 s")
        finally:
            shutil.rmtree(folder, ignore_errors=True)
    return counted


def documented_members(text, header):
    """{record type: set of members} from the table whose header row begins with 'header'."""
    tables = {}
    rows = text.split("\n")
    for i, row in enumerate(rows):
        if not row.startswith(header):
            continue
        for body in rows[i + 2:]:
            if not body.startswith("|"):
                break
            cells = body.split("|")
            kind = cells[1].strip().strip("`")
            tables[kind] = set(re.findall(r"`([^`]+)`", cells[2]))
    return tables


def printed_members(records, kind_of):
    """{record type: set of members}, nested objects as 'type.member' and lists of objects as
    'type.member[]'."""
    found = {}
    for record in records:
        kind = kind_of(record)
        found.setdefault(kind, set()).update(record)
        for key, value in record.items():
            if isinstance(value, dict):
                found.setdefault(f"{kind}.{key}", set()).update(value)
            elif isinstance(value, list) and value and isinstance(value[0], dict):
                for item in value:
                    found.setdefault(f"{kind}.{key}[]", set()).update(item)
    return found


def compare(document, documented, printed):
    if not documented:
        fail(f"{document}: no --json record table found")
    for kind in sorted(set(documented) | set(printed)):
        said, seen = documented.get(kind), printed.get(kind)
        if said is None:
            fail(f"{document}: the records '{kind}' ({sorted(seen)}) are not in the table")
        elif seen is None:
            fail(f"{document}: the table lists '{kind}', which the run did not print")
        elif said != seen:
            fail(f"{document}: '{kind}' lists {sorted(said - seen)} that the run did not print "
                 f"and misses {sorted(seen - said)}")


# A run that prints every kind of record: a refused tag, events, a read, a refused write, a
# download with its progress, a script line. The read and the write that the driver refuses say
# so (expect=1): a script stops at a command that fails.
KIVHOST_SCRIPT = """expect-log "Start of Unsolicited Thread" 10000
read L1_PENUM expect=1
write L1_PTZN1 9 expect=1
write L1_PTIME "14:30"
read L1_PTIME
write L1_0FSPARS 1
expect-log "DownLoadFromFile() done" 10000
event 0 0 1
wait L1_PENUM 0 5000
show L1_PENUM
status
sleep 1500
quit
"""
DOWNLOAD_FILE = "CONTENT OF SETUP PARAMETERS.\r\n;S M,1;0000\r\n;S V,Y;0000\r\n"


def check_kivhost_json(source, bin_dir, text):
    folder = scratch(source)
    try:
        with open(os.path.join(source, "examples", "vxs100-line.tags"), encoding="utf-8") as f:
            tags = f.read() + "\nL1_BAD  PLOCK17  analog\n"
        with open(os.path.join(folder, "line.tags"), "w", encoding="utf-8") as f:
            f.write(tags)
        with open(os.path.join(folder, "check.run"), "w", encoding="utf-8") as f:
            f.write(KIVHOST_SCRIPT)
        work = os.path.join(folder, "work")
        os.mkdir(work)
        with open(os.path.join(work, "zezDSetup01.dat"), "wb") as f:
            f.write(DOWNLOAD_FILE.encode())
        proc = subprocess.run(
            ["kivhost", "--json", "run", "--tags", "line.tags", "--script", "check.run",
             "--workdir", work, "--rate", "2", "--duration", "30"],
            cwd=folder, capture_output=True, timeout=120, env=environment(bin_dir, folder))
        records = [json.loads(line) for line in proc.stdout.decode().splitlines() if line]
        if proc.returncode != 0:
            fail(f"kivhost --json run for the record check exited with {proc.returncode}: "
                 f"{proc.stderr.decode()[-400:]}")
        compare("docs/kivhost.md", documented_members(text, "| type | members |"),
                printed_members(records, lambda r: r["type"]))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def check_commissioning_script(source, bin_dir, text):
    """commissioning.md's script on the simulated line, as the document says to try it."""
    section = text[text.index("## A commissioning script"):]
    script = [b for b in re.findall(r"```[a-z]*\n(.*?)```", section, re.S) if b.startswith("# 1.")]
    if not script:
        fail("docs/commissioning.md: no script found under 'A commissioning script'")
        return
    lines = script[0].splitlines()
    waits = [n for n, line in enumerate(lines) if line.startswith("wait L1_PBNAM")]
    lines.insert(waits[-1] if waits else len(lines), "event 0 0 1")
    folder = scratch(source)
    try:
        with open(os.path.join(folder, "commission.run"), "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        proc = subprocess.run(
            ["kivhost", "--driver", "built-in", "run", "--plain", "--poll-delay", "2000",
             "--tags", os.path.join(source, "examples", "vxs100-line.tags"),
             "--script", "commission.run", "--workdir", "work"],
            cwd=folder, capture_output=True, timeout=180, env=environment(bin_dir, folder))
        if proc.returncode != 0:
            fail(f"docs/commissioning.md: the script on the simulated line exited with "
                 f"{proc.returncode}: {proc.stderr.decode()[-400:]}")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def check_sim_json(bin_dir, text):
    commands = "event 0 0\nnoise 4\nfault silent on 1\nwait 300\nquit\n"
    with tempfile.TemporaryDirectory(prefix="kiv-docs-") as folder:
        proc = subprocess.run(["vxs-sim", "--pty", "--json", "--controllers", "0,1"], cwd=folder,
                              input=commands.encode(), capture_output=True, timeout=60,
                              env=environment(bin_dir, folder))
    lines = proc.stdout.decode().splitlines()[1:]  # the first is the line's path
    records = [json.loads(line) for line in lines if line]
    if proc.returncode != 0 or not records:
        fail(f"vxs-sim --json exited with {proc.returncode} and {len(records)} records")
    compare("docs/vxs-sim.md", documented_members(text, "| record | members |"),
            printed_members(records, lambda r: "transcript"))


def check_log_lines(source, reference):
    call = re.compile(r'\berr\(\s*[^,]+?,\s*((?:"(?:[^"\\]|\\.)*"\s*)+)')
    for path in sorted(glob.glob(os.path.join(source, "src", "**", "*.cpp"), recursive=True)):
        with open(path, encoding="utf-8") as f:
            code = f.read()
        for match in call.finditer(code):
            text = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', match.group(1)))
            text = text.replace('\\"', '"')
            if text.startswith("%"):
                continue  # composed lines, described in words
            if text.replace("|", "\\|") not in reference:
                fail(f"docs/reference.md: the log line \"{text}\" "
                     f"({os.path.relpath(path, source)}) is not listed")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--bin", required=True)
    args = parser.parse_args()
    source, bin_dir = os.path.abspath(args.source), os.path.abspath(args.bin)
    commands = 0
    for name in documents(source):
        with open(os.path.join(source, name), encoding="utf-8") as f:
            text = f.read()
        check_links(source, name, text)
        commands += run_commands(source, bin_dir, name, text)
    read = lambda name: open(os.path.join(source, name), encoding="utf-8").read()
    if read("README.md").count("\n") > README_LINES:
        fail(f"README.md is longer than {README_LINES} lines: move the details to docs/")
    check_kivhost_json(source, bin_dir, read("docs/kivhost.md"))
    check_sim_json(bin_dir, read("docs/vxs-sim.md"))
    check_commissioning_script(source, bin_dir, read("docs/commissioning.md"))
    check_log_lines(source, read("docs/reference.md"))
    print(f"{commands} command lines run")
    for message in failures:
        print("FAIL:", message)
    if commands == 0:
        print("FAIL: no command line found")
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
