#!/usr/bin/env python3
"""Runs the simulated-line test program against the line simulator.

Usage: run_with_sim.py --sim VXS_SIM [--wineprefix DIR] -- PROGRAM [ARGS...]

Starts `VXS_SIM --pty --json`, takes the slave of its pseudo-terminal from the first line of
its output and runs PROGRAM with `--port NAME` added: NAME is the slave relative to /dev
("pts/3") natively; with --wineprefix it is a Wine COM port made for the run, a link
DIR/dosdevices/comN -> the slave (N from 20 up, so that the "\\\\.\\" prefix of COM10 and above
is used too).

The program asks for simulator commands by printing request lines (`@vxs-sim COMMAND`) on its
standard output. Each is passed to the simulator, followed by an `echo` of a marker, whose
line on the simulator's standard error shows that the command before it was taken; the program
then reads `ok`, or `error` and the simulator's reason, on its standard input. Every other line of the
program, and the simulator's transcript, is printed here.

Two requests are the wrapper's own, for a line whose device goes away and comes back under the
same name: `unplug` ends the simulator (its pseudo-terminal closes: the driver's line fails), and
`plug` starts a new one and points the COM port's link at it. They need the Wine COM link as the
stable name; natively (the program opens pts/N, which a new terminal does not get back) both are
refused.

Under Wine the program's output pipe may be held open by a wineserver that the program started
and that outlives it by seconds: the output is read line by line while the program runs, and
no longer than a moment after it ended.
"""
import argparse
import json
import os
import queue
import subprocess
import sys
import threading
import time

REQUEST_MARK = "@vxs-sim "
# What the simulator echoes once it has taken a command.
TAKEN = "@vxs-sim-took-it@"
# Bounds: the simulator's first line, a command (its own waits last up to a few seconds), the
# whole program, and what follows the program's end.
START_BOUND = 10
COMMAND_BOUND = 20
PROGRAM_BOUND = 240
DRAIN_BOUND = 1.0
FIRST_COM_PORT = 20
LAST_COM_PORT = 99

EOF_MARK = object()


def pump(stream, lines):
    """Feeds the lines of a byte stream into a queue, then EOF_MARK."""
    try:
        for raw in iter(stream.readline, b""):
            lines.put(raw.decode("utf-8", "replace").rstrip("\r\n"))
    except (OSError, ValueError):
        pass
    lines.put(EOF_MARK)


def start_pump(stream):
    lines = queue.Queue()
    threading.Thread(target=pump, args=(stream, lines), daemon=True).start()
    return lines


def say(text):
    print(text, flush=True)


def describe_entry(line):
    """One transcript entry of the simulator, shortened for the log."""
    try:
        entry = json.loads(line)
        controller = entry.get("controller")
        where = "-" if controller is None else str(controller)
        return (f"sim {entry.get('t', 0):8.3f} {entry.get('dir')} {where} {entry.get('kind')} "
                f"{entry.get('text', '')} {entry.get('detail', '')}").rstrip()
    except (ValueError, TypeError, AttributeError):
        return "sim " + line


class Simulator:
    def __init__(self, command):
        self.proc = subprocess.Popen(command + ["--pty", "--json"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.transcript = start_pump(self.proc.stdout)
        self.errors = start_pump(self.proc.stderr)
        self.path = None
        try:
            first = self.transcript.get(timeout=START_BOUND)
        except queue.Empty:
            first = EOF_MARK
        if first is EOF_MARK or not first.startswith("/"):
            raise RuntimeError(f"vxs-sim did not name its line (got {first!r})")
        self.path = first

    def print_transcript(self):
        while True:
            try:
                line = self.transcript.get_nowait()
            except queue.Empty:
                return
            if line is not EOF_MARK:
                say(describe_entry(line))

    def run(self, command):
        """Runs one command; '' when the simulator took it, else the reason."""
        try:
            self.proc.stdin.write((command + "\necho " + TAKEN + "\n").encode())
            self.proc.stdin.flush()
        except OSError as error:
            return f"vxs-sim does not read its commands any more ({error})"
        problems = []
        deadline = time.monotonic() + COMMAND_BOUND
        while True:
            try:
                line = self.errors.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                return f"vxs-sim did not take the command within {COMMAND_BOUND} s"
            if line is EOF_MARK:
                return "vxs-sim ended"
            if line.startswith(TAKEN):
                return "; ".join(problems)
            if line.startswith("vxs-sim:"):
                problems.append(line)

    def stop(self):
        try:
            self.proc.stdin.write(b"quit\n")
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.print_transcript()
        return self.proc.returncode


UNPLUGGED_MARK = "/nonexistent/vxs-unplugged-"


def link_is_abandoned(link):
    """Whether a dangling COM link may be taken: not while the wrapper that unplugged it runs."""
    try:
        target = os.readlink(link)
    except OSError:
        return False
    if not target.startswith(UNPLUGGED_MARK):
        return True
    try:
        os.kill(int(target[len(UNPLUGGED_MARK):]), 0)
    except (ValueError, ProcessLookupError):
        return True
    except PermissionError:
        return False
    return False


def point_link(link, target):
    """Points a link elsewhere in one step."""
    fresh = link + ".new"
    os.symlink(target, fresh)
    os.replace(fresh, link)


def make_com_port(prefix, slave):
    """A Wine COM port onto the slave: the name and the link made for it."""
    devices = os.path.join(prefix, "dosdevices")
    if not os.path.isdir(devices):
        raise RuntimeError(f"{devices} is missing: the Wine prefix is not made")
    for number in range(FIRST_COM_PORT, LAST_COM_PORT + 1):
        link = os.path.join(devices, f"com{number}")
        # A link left behind by a run that was killed points at a terminal that is gone, or is
        # the unplugged mark of a wrapper that is gone.
        if os.path.islink(link) and not os.path.exists(link) and link_is_abandoned(link):
            try:
                os.unlink(link)
            except FileNotFoundError:
                pass
        try:
            os.symlink(slave, link)
        except FileExistsError:
            continue
        return f"COM{number}", link
    raise RuntimeError(f"no free COM port from COM{FIRST_COM_PORT} to COM{LAST_COM_PORT}")


class Line:
    """The simulator behind the program's port, which the wrapper may end and start again."""

    def __init__(self, sim_command, link):
        self.sim_command = sim_command
        self.link = link  # the COM port's link under Wine; None natively
        self.simulator = Simulator(sim_command)

    def run(self, request):
        """Runs one request; '' when it was done, else the reason."""
        if request in ("unplug", "plug") and self.link is None:
            return "unplug and plug need a COM port's link (Wine); natively the name is pts/N"
        if request == "unplug":
            if self.simulator is None:
                return "the line is unplugged already"
            # The name goes first, as udev removes an adapter's name: the old terminal's number
            # is given to the next one made, which the program must not open and hold.
            point_link(self.link, f"{UNPLUGGED_MARK}{os.getpid()}")
            self.simulator.stop()
            self.simulator = None
            return ""
        if request == "plug":
            if self.simulator is not None:
                return "the line is plugged in already"
            self.simulator = Simulator(self.sim_command)
            point_link(self.link, self.simulator.path)
            return ""
        if self.simulator is None:
            return "the line is unplugged"
        return self.simulator.run(request)

    def print_transcript(self):
        if self.simulator is not None:
            self.simulator.print_transcript()


def run_program(command, simulator):
    """Runs the program, serving its requests; its exit status and whether GoogleTest passed."""
    proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    output = start_pump(proc.stdout)
    passed = False
    deadline = time.monotonic() + PROGRAM_BOUND
    ended_at = None
    while True:
        simulator.print_transcript()
        now = time.monotonic()
        if ended_at is None and proc.poll() is not None:
            ended_at = now
        if ended_at is not None and now - ended_at > DRAIN_BOUND:
            break
        if now > deadline:
            say(f"run_with_sim: the program ran longer than {PROGRAM_BOUND} s; ended")
            proc.kill()
            proc.wait()
            return -1, False
        try:
            line = output.get(timeout=0.1)
        except queue.Empty:
            continue
        if line is EOF_MARK:
            if proc.poll() is None:
                proc.wait(timeout=PROGRAM_BOUND)
            break
        mark = line.find(REQUEST_MARK)
        if mark < 0:
            if line:
                say(line)
            passed = passed or line.startswith("[  PASSED  ]")
            continue
        request = line[mark + len(REQUEST_MARK):]
        problem = simulator.run(request)
        simulator.print_transcript()
        say(f"> {request}" + (f"  [refused: {problem}]" if problem else ""))
        answer = "ok" if not problem else "error " + problem
        try:
            proc.stdin.write((answer + "\n").encode())
            proc.stdin.flush()
        except OSError:
            pass  # the program has ended; its status tells
    return proc.wait(), passed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", required=True, help="the vxs-sim command")
    parser.add_argument("--wineprefix", help="run under Wine: make a COM port in this prefix")
    parser.add_argument("program", nargs="+", help="the simulated-line test program and its arguments")
    args = parser.parse_args()

    if not os.access(args.sim, os.X_OK):
        say(f"run_with_sim: no simulator at {args.sim}: build the Linux tree first")
        return 1
    line = Line([args.sim], None)
    link = None
    try:
        if args.wineprefix:
            port, link = make_com_port(args.wineprefix, line.simulator.path)
            line.link = link
        else:
            port = os.path.relpath(line.simulator.path, "/dev")
        say(f"run_with_sim: vxs-sim on {line.simulator.path}, the driver opens {port}")
        status, passed = run_program(args.program + ["--port", port], line)
    finally:
        if link:
            os.unlink(link)
        sim_status = line.simulator.stop() if line.simulator is not None else 0
    if sim_status not in (0, 1):
        say(f"run_with_sim: vxs-sim ended with status {sim_status}")
        return 1
    if status != 0 or not passed:
        say(f"run_with_sim: the simulated-line tests failed (exit status {status})")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
