#!/usr/bin/env python3
"""kivhost run as a service, without systemd: what it tells the service manager over a notify
socket of the test's own (READY=1, STATUS=..., WATCHDOG=1 at half of WATCHDOG_USEC, STOPPING=1),
and its Prometheus metrics on a simulated line, fetched with curl, moving with an event and
checked by promtool.

Usage: test_kivhost_service.py --examples DIR -- KIVHOST

Exit 77 (skipped) after every other check when promtool (Debian's prometheus) is missing;
scripts/install-deps.sh installs it.
"""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

from kivhost_testlib import BOUND, check, failures, split_arguments, wait_for

SKIP = 77
WATCHDOG_USEC = 1000000


class NotifySocket:
    """The service manager's end: every datagram with the time it came."""

    def __init__(self, folder, name="notify"):
        self.path = os.path.join(folder, name)
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.socket.bind(self.path)
        self.socket.settimeout(0.2)
        self.messages = []  # (monotonic time, text)
        self.lock = threading.Lock()
        self.open = True
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while self.open:
            try:
                data = self.socket.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                self.messages.append((time.monotonic(), data.decode("utf-8", "replace")))

    def states(self, name):
        """(time, value) of every NAME=value said, in order."""
        with self.lock:
            return [(t, line[len(name) + 1:]) for t, text in self.messages
                    for line in text.split("\n") if line.startswith(name + "=")]

    def close(self):
        self.open = False
        self.socket.close()


class Run:
    """kivhost run on a simulated line, under the notify socket, with --metrics on any port."""

    def __init__(self, kivhost, examples, folder, notify, *extra):
        env = dict(os.environ, NOTIFY_SOCKET=notify.path, WATCHDOG_USEC=str(WATCHDOG_USEC))
        # WATCHDOG_PID names the process that is watched: the shell's, which kivhost replaces.
        self.process = subprocess.Popen(
            ["sh", "-c", 'WATCHDOG_PID=$$ exec "$@"', "sh"] + kivhost +
            ["--driver", "built-in", "--json", "run", "--workdir", folder, "--receiver-start",
             "100", "--rate", "0", "--tags", os.path.join(examples, "vxs100-line.tags"), *extra],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            env=env)
        self.errors = []
        threading.Thread(target=self._drain, args=(self.process.stdout, None), daemon=True).start()
        threading.Thread(target=self._drain, args=(self.process.stderr, self.errors),
                         daemon=True).start()

    @staticmethod
    def _drain(stream, into):
        for line in stream:
            if into is not None:
                into.append(line.rstrip("\n"))

    def metrics_url(self):
        for line in list(self.errors):
            found = re.search(r"metrics on (http://\S+/metrics)", line)
            if found:
                return found.group(1)
        return None

    def command(self, text):
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()


def scrape(url):
    proc = subprocess.run(["curl", "-sf", "--max-time", "5", url], capture_output=True, text=True)
    return proc.stdout if proc.returncode == 0 else ""


def sample(text, name):
    """The value of the sample 'name{labels}' in the text, or None."""
    found = re.search("^" + re.escape(name) + r" (\S+)$", text, re.MULTILINE)
    return float(found.group(1)) if found else None


def test_notify(notify, run):
    """READY=1 with the line in its status, pings at half the interval, STOPPING=1 at the end."""
    wait_for(lambda: notify.states("READY"), "READY=1")
    statuses = [value for _, value in notify.states("STATUS")]
    check(statuses and re.match(r"line 1 on pts/\d+ running$", statuses[0]),
          f"the first status names the line: {statuses}")
    ready_at = notify.states("READY")[0][0] if notify.states("READY") else 0
    wait_for(lambda: len([t for t, _ in notify.states("WATCHDOG") if t >= ready_at]) >= 4,
             "four watchdog pings")
    times = [t for t, _ in notify.states("WATCHDOG")]
    gaps = [b - a for a, b in zip(times, times[1:])]
    half = WATCHDOG_USEC / 2e6
    check(gaps and all(0.8 * half <= gap < 2 * half for gap in gaps),
          f"pings at half the watchdog interval ({half} s): gaps {gaps}")


def test_metrics(run):
    """The counts move with an event from the simulator; the output passes promtool."""
    wait_for(lambda: run.metrics_url(), f"the metrics' address on standard error: {run.errors}")
    url = run.metrics_url()
    if url is None:
        return None
    check(url.startswith("http://127.0.0.1:"), f"a port alone listens on loopback: {url}")
    events = 'kivhost_events_total{line="1"}'
    before = scrape(url)
    check(sample(before, 'kivhost_line_up{line="1"}') == 1.0, f"line 1 is up: {before[:400]}")
    check(sample(before, events) == 0.0, f"no event before the first: {before[:400]}")
    run.command('expect-log "Start of Unsolicited Thread" 10000')
    run.command("event 10 1")
    wait_for(lambda: sample(scrape(url), events) == 1.0, "the event counted")
    after = scrape(url)
    last = sample(after, 'kivhost_last_event_timestamp_seconds{line="1"}') or 0
    check(abs(last - time.time()) < 60, f"the last event's time is now: {last}")
    received = 'kivhost_frames_total{line="1",direction="in"}'
    check((sample(after, received) or 0) > (sample(before, received) or 0),
          "the event's frame was counted")
    for family in ("kivhost_frames_total", "kivhost_answer_timeouts_total",
                   "kivhost_command_retries_total"):
        check(f"# TYPE {family} counter" in after, f"{family} is a counter")
    return after


def test_refused_addresses(kivhost, examples, folder, url):
    """A port already taken, and an address that is none (from --config), are usage errors that
    say why."""
    taken = url.split("//")[1].split("/")[0] if url else "127.0.0.1:1"
    config = os.path.join(folder, "service.conf")
    with open(config, "w", encoding="utf-8") as f:
        f.write("# a service's settings\nmetrics = nine\n")
    for option, reason in ((["--metrics", taken], "cannot listen on"),
                           (["--config", config], "service.conf:2: --metrics 'nine': the port")):
        proc = subprocess.run(kivhost + ["--driver", "built-in", "run", "--workdir", folder,
                                         "--tags", os.path.join(examples, "vxs100-line.tags"),
                                         "--duration", "5", *option],
                              capture_output=True, text=True, timeout=BOUND,
                              stdin=subprocess.DEVNULL)
        check(proc.returncode == 2 and reason in proc.stderr,
              f"{option}: exit {proc.returncode}, {proc.stderr[-300:]}")


def test_gateway_without_broker(kivhost, examples, folder):
    """With --mqtt to a port where no broker listens: ready once the connection was tried, the
    status says why it is not made, the metrics say it is down."""
    notify = NotifySocket(folder, "notify-mqtt")
    run = Run(kivhost, examples, folder, notify, "--mqtt", "mqtt://127.0.0.1:1", "--site", "t",
              "--mqtt-flush", "0", "--metrics", "127.0.0.1:0")
    try:
        wait_for(lambda: notify.states("READY") or run.process.poll() is not None,
                 "READY=1 with a broker that is not there")
        if any("built without the MQTT gateway" in line for line in run.errors):
            print("this kivhost has no MQTT gateway: its readiness is not checked")
            return
        statuses = [value for _, value in notify.states("STATUS")]
        check(statuses and re.search(r"; MQTT not connected: cannot connect to 127\.0\.0\.1:1: ",
                                     statuses[0]), f"the status says why: {statuses}")
        wait_for(lambda: run.metrics_url(), "the metrics' address")
        text = scrape(run.metrics_url()) if run.metrics_url() else ""
        check(sample(text, 'kivhost_mqtt_connected{line="1"}') == 0.0,
              f"the metrics say the broker is not connected: {text[-600:]}")
        run.command("quit")
        code = run.process.wait(timeout=BOUND)
        check(code == 0, f"the run stopped with exit {code}: {run.errors[-5:]}")
    finally:
        if run.process.poll() is None:
            run.process.kill()
            run.process.wait()
        notify.close()


def main():
    options, kivhost = split_arguments(sys.argv[1:], ["--examples"])
    promtool = shutil.which("promtool")
    with tempfile.TemporaryDirectory() as folder:
        notify = NotifySocket(folder)
        run = Run(kivhost, options["--examples"], folder, notify, "--metrics", "127.0.0.1:0")
        try:
            test_notify(notify, run)
            text = test_metrics(run)
            if text and promtool:
                proc = subprocess.run([promtool, "check", "metrics"], input=text,
                                      capture_output=True, text=True)
                check(proc.returncode == 0 and not proc.stdout.strip() and
                      not proc.stderr.strip(),
                      f"promtool check metrics: {proc.returncode} {proc.stdout} {proc.stderr}")
            test_refused_addresses(kivhost, options["--examples"], folder, run.metrics_url())
            run.command("quit")
            code = run.process.wait(timeout=BOUND)
            check(code == 0, f"the run stopped with exit {code}: {run.errors[-5:]}")
            check(notify.states("STOPPING"), "STOPPING=1 when the run stops")
        finally:
            if run.process.poll() is None:
                run.process.kill()
                run.process.wait()
            notify.close()
        test_gateway_without_broker(kivhost, options["--examples"], folder)
    print(f"{len(failures)} failures")
    if failures:
        return 1
    if not promtool:
        print("SKIP: promtool is not installed (Debian: prometheus; scripts/install-deps.sh); "
              "every other check passed")
        return SKIP
    return 0


if __name__ == "__main__":
    sys.exit(main())
