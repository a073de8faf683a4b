#!/usr/bin/env python3
"""The live view of kivhost run in a real terminal: tmux runs it, capture-pane reads the screen.

Usage: test_kivhost_live.py --examples DIR -- KIVHOST
On a terminal of 80 columns: the event feed and the counters appear and grow; Ctrl-C ends the
run with a summary that fits the 80 columns, and exit status 0. Then, on a quiet line: the
prompt and its hint at 80x24, what is typed shown before Enter, an event sent by a command and
its tag shown with 'show', 'help', a refusal and 'status' shown whole, the state of a gateway
whose broker is down, a name beyond ASCII typed, edited, written and shown, and 'quit'
typed. Without tmux the test is skipped (exit 77).
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from kivhost_testlib import check, finish, split_arguments

SKIPPED = 77
BOUND = 30  # seconds for what the screen should show
COLUMNS = 80


def tmux(session, *args):
    # -u: the terminal passes UTF-8 whatever the test's locale says. -L: a server of the
    # session's own, so that a session never meets a server that is still ending another's.
    return subprocess.run(["tmux", "-u", "-L", session, *args], capture_output=True, text=True,
                          encoding="utf-8", timeout=10)


def screen(session):
    """The screen's rows without trailing blanks; a row wrapped by the terminal comes joined."""
    text = tmux(session, "capture-pane", "-p", "-J", "-t", session).stdout
    return "\n".join(row.rstrip() for row in text.splitlines())


def wait_for_screen(session, condition):
    """The screen once 'condition' holds for it, or the last one seen after BOUND seconds."""
    deadline = time.monotonic() + BOUND
    text = ""
    while time.monotonic() < deadline:
        text = screen(session)
        if condition(text):
            return text
        time.sleep(0.2)
    return text


def events_counted(text):
    match = re.search(r"frames in (\d+) out (\d+)\s+events (\d+)", text)
    return (int(match[1]), int(match[3])) if match else (0, 0)


def start(session, kivhost, workdir, examples, rate, rows=40, extra=()):
    command = " ".join([*kivhost, "run", "--rate", rate, "--workdir", workdir, "--tags",
                        os.path.join(examples, "vxs100-line.tags"), *extra])
    shell = f"{command}; echo EXIT=$?; sleep 60"
    started = tmux(session, "new-session", "-d", "-s", session, "-x", str(COLUMNS), "-y", str(rows), shell)
    return check(started.returncode == 0, f"tmux starts: {started.stderr}")


def test_feed(kivhost, workdir, examples):
    session = f"kivhost-live-{os.getpid()}"
    if not start(session, kivhost, workdir, examples, "5"):
        return
    try:
        first = wait_for_screen(session, lambda text: events_counted(text)[1] >= 3)
        frames, events = events_counted(first)
        # A phase ends at its first missing screen: the next waits would only add up to the
        # test's time-out and hide what was seen.
        if not check(events >= 3 and frames >= events, f"counters on the screen:\n{first}"):
            return
        check(re.search(r"-- Events\n.*L1 event \d+ ", first) is not None,
              f"the event feed in words:\n{first}")
        check("-- Tags changed" in first and "L1_PENUM" in first, f"tags changed:\n{first}")
        check("in  " in first and "out " in first and "<LF>" in first, f"frames:\n{first}")
        later = wait_for_screen(session, lambda text: events_counted(text)[1] > events)
        if not check(events_counted(later)[1] > events,
                     f"redrawn in place with more events:\n{later}"):
            return
        check(later.count("-- Events") == 1, "the view is drawn once, not scrolled")
        tmux(session, "send-keys", "-t", session, "C-c")
        last = wait_for_screen(session, lambda text: "EXIT=" in text)
        check("Summary:" in last and "interrupted" in last and "EXIT=0" in last,
              f"Ctrl-C ends with the summary and exit 0:\n{last}")
        # capture-pane -J joins wrapped rows: a row longer than the terminal would show here.
        summary = last[last.find("Summary:"):].splitlines()
        check(all(len(row) <= COLUMNS for row in summary), f"the summary fits {COLUMNS} columns:\n{last}")
        check(any(re.fullmatch(r"  1 +pts/\d+( +\d+){7}", row) for row in summary),
              f"the summary's line row, unbroken:\n{last}")
    finally:
        tmux(session, "kill-server")


def type_command(session, command, condition):
    """Types a command and Enter; the screen once 'condition' holds."""
    tmux(session, "send-keys", "-t", session, "-l", command)
    tmux(session, "send-keys", "-t", session, "Enter")
    return wait_for_screen(session, condition)


def test_typing(kivhost, workdir, examples):
    """At 80x24, with a gateway whose broker is down (nothing listens on port 1)."""
    session = f"kivhost-type-{os.getpid()}"
    if not start(session, kivhost, workdir, examples, "0", rows=24,
                 extra=("--mqtt", "mqtt://127.0.0.1:1", "--site", "live")):
        return
    try:
        first = wait_for_screen(session, lambda text: re.search(r"^>$", text, re.M) is not None)
        if not check("'help' lists them" in first and re.search(r"^>$", first, re.M),
                     f"the prompt and its hint:\n{first}"):
            return
        tmux(session, "send-keys", "-t", session, "-l", "event 10 1")
        typed = wait_for_screen(session, lambda text: "> event 10 1" in text)
        if not check("> event 10 1" in typed, f"what is typed shows before Enter:\n{typed}"):
            return
        tmux(session, "send-keys", "-t", session, "Enter")
        stored = wait_for_screen(session, lambda text: re.search(r"L1_PENUM +10\b", text) is not None)
        if not check(re.search(r"L1_PENUM +10\b", stored) is not None,
                     f"the event's tag:\n{stored}"):
            return
        # Two rows for the frames at 24 rows: the newest of each way.
        each_way = r"-- Frames \(last each way\)\nin  [^\n]*\nout "
        framed = wait_for_screen(session, lambda text: re.search(each_way, text) is not None)
        check(re.search(each_way, framed) is not None, f"the newest frame of each way:\n{framed}")
        tmux(session, "send-keys", "-t", session, "-l", "show L1_PENUM")
        tmux(session, "send-keys", "-t", session, "Enter")
        shown = wait_for_screen(session, lambda text: "L1_PENUM = 10, changed at" in text)
        if not check("> show L1_PENUM: ok, L1_PENUM = 10, changed at" in shown, f"show:\n{shown}"):
            return
        check("MQTT L1 NOT CONNECTED" in shown and "Connection refused" in shown,
              f"the gateway's state in the view:\n{shown}")
        helped = type_command(session, "help", lambda text: "quit (Ctrl-C)" in text)
        if not check("> help: ok" in helped and "show TAG" in helped and "quit (Ctrl-C)" in helped,
                     f"help, whole at 80x24:\n{helped}"):
            return
        refused = type_command(session, "write L1_0FADDK 1", lambda text: "GAS 0FADDK" in text)
        check("add key needs a badge code, PKCOD is not staged, GAS 0FADDK" in
              re.sub(r"\s+", " ", refused), f"a whole refusal:\n{refused}")
        status = type_command(session, "status", lambda text: "> status: ok" in text and "trying again" in text)
        check("controllers heard" in status and "last event:" in status and
              "MQTT L1 NOT CONNECTED" in status, f"status, whole at 80x24:\n{status}")
        # A name beyond ASCII: typed, edited (Backspace takes a whole character), written in
        # the line's code page and shown back as typed.
        tmux(session, "send-keys", "-t", session, "-l", 'write L1_PBINM "Zoë Ünal"ë')
        tmux(session, "send-keys", "-t", session, "BSpace")
        typed = wait_for_screen(session, lambda text: re.search(r'^> write L1_PBINM "Zoë Ünal"$',
                                                                  text, re.M) is not None)
        if not check(re.search(r'^> write L1_PBINM "Zoë Ünal"$', typed, re.M),
                     f"the name as typed:\n{typed}"):
            return
        tmux(session, "send-keys", "-t", session, "Enter")
        tmux(session, "send-keys", "-t", session, "-l", "show L1_PBINM")
        tmux(session, "send-keys", "-t", session, "Enter")
        shown = wait_for_screen(session, lambda text: "show L1_PBINM:" in text)
        if not check("> show L1_PBINM: ok, L1_PBINM = Zoë Ünal," in shown, f"the name:\n{shown}"):
            return
        tmux(session, "send-keys", "-t", session, "-l", "quit")
        tmux(session, "send-keys", "-t", session, "Enter")
        last = wait_for_screen(session, lambda text: "EXIT=" in text)
        check("exit status 0: quit" in last and "EXIT=0" in last, f"quit typed:\n{last}")
        check("messages still queued for the broker; waiting up to 5 s" in last.replace("\n", ""),
              f"the stop says what it waits for:\n{last}")
    finally:
        tmux(session, "kill-server")


def main():
    options, kivhost = split_arguments(sys.argv[1:], ["--examples"])
    if shutil.which("tmux") is None:
        print("SKIPPED: tmux is not installed (scripts/install-deps.sh installs it)")
        return SKIPPED
    examples = os.path.abspath(options["--examples"])
    with tempfile.TemporaryDirectory() as workdir:
        test_feed(kivhost, workdir, examples)
        test_typing(kivhost, workdir, examples)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
