#!/usr/bin/env python3
"""The MQTT gateway end to end: simulator -> driver -> gateway -> mosquitto -> subscriber.

    python3 bench/mqtt/mqtt_bench.py build/linux/bin/kivhost [--lines 1,16] [--rate 20]
                                     [--seconds 10]

For each number of lines: kivhost run --driver built-in --lines N --rate R on simulated lines,
publishing to a mosquitto broker of its own (a scratch folder, 127.0.0.1, a free port); a paho
subscriber counts the events. Prints the driver's events a second (the run's summary), the
events a second that reached the subscriber and their share, the latency from the gateway
taking an event to the subscriber receiving it (median and 99th percentile), kivhost's CPU time
per event with the gateway and for the same run without it, and its largest resident size.
Numbers, not pass or fail.
"""
import argparse
import json
import os
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from datetime import datetime

try:
    import paho.mqtt.client as mqtt
except ImportError:
    if os.path.exists("/usr/bin/python3") and os.environ.get("KIV_MQTT_REEXEC") != "1":
        os.environ["KIV_MQTT_REEXEC"] = "1"
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    sys.exit("paho-mqtt is missing (Debian: python3-paho-mqtt)")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def broker(folder):
    port = free_port()
    with open(os.path.join(folder, "mosquitto.conf"), "w") as conf:
        conf.write(("user root\n" if os.geteuid() == 0 else "") +
                   f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                   "max_queued_messages 0\n")
    mosquitto = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
    process = subprocess.Popen([mosquitto, "-c", os.path.join(folder, "mosquitto.conf")],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return process, port
        except OSError:
            time.sleep(0.05)
    sys.exit("mosquitto did not start")


def baseline_cpu(kivhost, lines, rate, seconds):
    """kivhost's CPU time per event for the same run without the gateway."""
    folder = tempfile.mkdtemp(prefix="kiv-mqtt-bench-")
    try:
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        run = subprocess.run([kivhost, "--driver", "built-in", "--json", "run", "--workdir", folder,
                              "--lines", str(lines), "--rate", str(rate), "--duration",
                              str(seconds), "--receiver-start", "100"],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                             check=False)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    summary = json.loads(run.stdout.strip().splitlines()[-1])
    events = sum(line["events"] for line in summary["lines"])
    cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    return 1e6 * cpu / max(events, 1)


def measure(kivhost, lines, rate, seconds):
    folder = tempfile.mkdtemp(prefix="kiv-mqtt-bench-")
    process, port = broker(folder)
    latencies, lock = [], threading.Lock()

    def received(client, userdata, message):
        now = time.time()
        event = json.loads(message.payload)
        sent = datetime.fromisoformat(event["time"].replace("Z", "+00:00")).timestamp()
        with lock:
            latencies.append(now - sent)

    subscriber = mqtt.Client(protocol=mqtt.MQTTv5)
    subscriber.on_message = received
    subscriber.on_connect = lambda c, u, f, rc, p=None: c.subscribe("vxs/bench/+/event", qos=1)
    subscriber.connect("127.0.0.1", port)
    subscriber.loop_start()
    try:
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        run = subprocess.run([kivhost, "--driver", "built-in", "--json", "run", "--workdir", folder,
                              "--lines", str(lines), "--rate", str(rate), "--duration",
                              str(seconds), "--receiver-start", "100", "--mqtt",
                              f"mqtt://127.0.0.1:{port}", "--site", "bench"],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                             check=False)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        summary = json.loads(run.stdout.strip().splitlines()[-1])
        events = sum(line["events"] for line in summary["lines"])
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with lock:
                if len(latencies) >= events:
                    break
            time.sleep(0.05)
    finally:
        subscriber.loop_stop()
        process.terminate()
        process.wait()
        shutil.rmtree(folder, ignore_errors=True)
    cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    with lock:
        got = sorted(latencies)
    ms = [value * 1000 for value in got]
    print(f"{lines:2d} lines at {rate}/s each for {seconds} s: driver {events / seconds:8.1f} "
          f"events/s, subscriber {len(got) / seconds:8.1f} events/s "
          f"({100 * len(got) / max(events, 1):5.1f} %), latency median "
          f"{statistics.median(ms) if ms else float('nan'):6.2f} ms, p99 "
          f"{ms[int(len(ms) * 0.99) - 1] if ms else float('nan'):6.2f} ms, kivhost CPU "
          f"{1e6 * cpu / max(events, 1):7.1f} us/event (without the gateway "
          f"{baseline_cpu(kivhost, lines, rate, seconds):7.1f}), max RSS "
          f"{after.ru_maxrss / 1024:6.1f} MB")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kivhost")
    parser.add_argument("--lines", default="1,16")
    parser.add_argument("--rate", type=float, default=20)
    parser.add_argument("--seconds", type=int, default=10)
    options = parser.parse_args()
    for lines in [int(n) for n in options.lines.split(",")]:
        measure(os.path.abspath(options.kivhost), lines, options.rate, options.seconds)


if __name__ == "__main__":
    main()
