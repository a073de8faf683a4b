#!/usr/bin/env python3
"""The live view of kivhost run in a real terminal: tmux runs it, capture-pane reads the screen.

Usage: test_kivhost_live.py --examples DIR -- KIVHOST
The event feed and the counters must appear and grow; Ctrl-C (send-keys) must end the run with
the summary and exit status 0. Without tmux the test is skipped (exit 77) and says so.
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


def tmux(*args):
    return subprocess.run(["tmux", *args], capture_output=True, text=True, timeout=10)


def screen(session):
    return tmux("capture-pane", "-p", "-t", session).stdout


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


def main():
    options, kivhost = split_arguments(sys.argv[1:], ["--examples"])
    if shutil.which("tmux") is None:
        print("SKIPPED: tmux is not installed (scripts/install-deps.sh installs it)")
        return SKIPPED
    session = f"kivhost-live-{os.getpid()}"
    with tempfile.TemporaryDirectory() as workdir:
        command = " ".join([*kivhost, "run", "--rate", "5", "--workdir", workdir, "--tags",
                            os.path.join(os.path.abspath(options["--examples"]), "vxs100-line.tags")])
        shell = f"{command}; echo EXIT=$?; sleep 60"
        started = tmux("new-session", "-d", "-s", session, "-x", "132", "-y", "50", shell)
        check(started.returncode == 0, f"tmux starts: {started.stderr}")
        try:
            first = wait_for_screen(session, lambda text: events_counted(text)[1] >= 3)
            frames, events = events_counted(first)
            check(events >= 3 and frames >= events, f"counters on the screen:\n{first}")
            check(re.search(r"-- Events\n.*L1 event \d+ ", first) is not None,
                  f"the event feed in words:\n{first}")
            check("-- Tags changed" in first and "L1_PENUM" in first, f"tags changed:\n{first}")
            check("in  " in first and "out " in first and "<LF>" in first, f"frames:\n{first}")
            later = wait_for_screen(session, lambda text: events_counted(text)[1] > events)
            check(events_counted(later)[1] > events, f"redrawn in place with more events:\n{later}")
            check(later.count("-- Events") == 1, "the view is drawn once, not scrolled")
            tmux("send-keys", "-t", session, "C-c")
            last = wait_for_screen(session, lambda text: "EXIT=" in text)
            check("Summary:" in last and "interrupted" in last and "EXIT=0" in last,
                  f"Ctrl-C ends with the summary and exit 0:\n{last}")
            check(re.search(r"\n  1 +pts/\d+ +\d+ +\d+ +\d+", last) is not None,
                  f"the summary's line row:\n{last}")
        finally:
            tmux("kill-session", "-t", session)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
