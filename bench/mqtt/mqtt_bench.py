#!/usr/bin/env python3
"""The MQTT gateway end to end: simulator -> driver -> gateway -> mosquitto -> subscriber.

    python3 bench/mqtt/mqtt_bench.py build/linux/bin/kivhost [--lines 1,16] [--rate 20]
                                     [--seconds 10] [--sim build/linux/bin/vxs-sim]
                                     [--print all|events|log]

For each number of lines: kivhost run --driver built-in --lines N --rate R on simulated lines,
publishing to a mosquitto broker of its own (a scratch folder, 127.0.0.1, a free port); a paho
subscriber counts the events. Prints the driver's events a second (the run's summary), the
events a second that reached the subscriber and their share, the latency from the gateway
taking an event to the subscriber receiving it (median and 99th percentile), kivhost's CPU time
per event with the gateway and for the same run without it, and its largest resident size.

With --sim each line's simulator is a vxs-sim process of its own and kivhost runs on their
pseudo-terminals (--port A,B,...): the script has them send badge events at --rate, and
kivhost's CPU is read from /proc over the events alone (user and system, from the first
event sent to the last one received or a 5 s wait), so it is the driver's and the gateway's
and nothing else's. Besides the gateway's latency it prints the latency from the event's
command to the simulator until the subscriber has it, and the events lost on the way.
--print is kivhost run's: all (the default) has every record printed as JSON, log what the
example service prints.
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


# kivhost run's --print, when the benchmark is asked for one (a kivhost that has no such option
# runs without it).
PRINT = []


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
                              str(seconds), "--receiver-start", "100"] + PRINT,
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
                              f"mqtt://127.0.0.1:{port}", "--site", "bench"] + PRINT,
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


def start_simulators(sim, lines, folder):
    """One vxs-sim --pty per line: (process, the pseudo-terminal it names)."""
    simulators = []
    for line in range(1, lines + 1):
        transcript = os.path.join(folder, f"sim-{line}.txt")
        with open(transcript, "w") as out:
            process = subprocess.Popen([sim, "--pty", "--controllers", "0,1", "--ack-delay", "0"],
                                       stdin=subprocess.PIPE, stdout=out,
                                       stderr=subprocess.DEVNULL, text=True)
        device = ""
        for _ in range(500):
            with open(transcript) as text:
                first = text.readline()
            if first.endswith("\n"):
                device = first.strip()
                break
            time.sleep(0.01)
        if not device:
            sys.exit(f"{sim} named no line")
        simulators.append((process, device))
    return simulators


def process_cpu(pid):
    """User and system seconds of a running process."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / ticks, int(fields[12]) / ticks


def feed(simulators, rate, seconds, injected):
    """Badge events, 'rate' a second on every line: the badge number is the event's count."""
    start = time.monotonic() + 0.1
    for number in range(1, int(rate * seconds) + 1):
        delay = start + (number - 1) / rate - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        for line, (process, _) in enumerate(simulators, 1):
            injected[(line, number)] = time.time()
            process.stdin.write(f"event {number % 2} 0 badge={number:X}\n")
            process.stdin.flush()


def run_apart(kivhost, sim, lines, rate, seconds, gateway):
    """kivhost on the lines of simulator processes; its CPU (user, system) over the events, the
    events sent, and the subscriber's (latency from the command, latency from the gateway)."""
    folder = tempfile.mkdtemp(prefix="kiv-mqtt-bench-")
    simulators = start_simulators(sim, lines, folder)
    broker_process, received, subscriber = None, [], None
    injected, lock = {}, threading.Lock()
    command = [kivhost, "--driver", "built-in", "--json", "run", "--workdir", folder, "--port",
               ",".join(device for _, device in simulators), "--duration", str(seconds + 12),
               "--receiver-start", "100"] + PRINT
    if gateway:
        broker_process, port = broker(folder)
        command += ["--mqtt", f"mqtt://127.0.0.1:{port}", "--site", "bench"]

        def on_message(client, userdata, message):
            now = time.time()
            event = json.loads(message.payload)
            line = int(message.topic.split("/")[2])
            sent = datetime.fromisoformat(event["time"].replace("Z", "+00:00")).timestamp()
            with lock:
                received.append((line, int(event["badge"], 16), now, now - sent))

        subscriber = mqtt.Client(protocol=mqtt.MQTTv5)
        subscriber.on_message = on_message
        subscriber.on_connect = lambda c, u, f, rc, p=None: c.subscribe("vxs/bench/+/event", qos=1)
        subscriber.connect("127.0.0.1", port)
        subscriber.loop_start()
    with open(os.path.join(folder, "run.jsonl"), "w") as out:
        process = subprocess.Popen(command, stdout=out, stderr=subprocess.DEVNULL)
    try:
        time.sleep(4)  # the cold starts, the receivers' start, the event-format commands
        before = process_cpu(process.pid)
        feed(simulators, rate, seconds, injected)
        deadline = time.monotonic() + 5
        while gateway and time.monotonic() < deadline:
            with lock:
                if len(received) >= len(injected):
                    break
            time.sleep(0.05)
        if not gateway:
            time.sleep(1)
        after = process_cpu(process.pid)
    finally:
        process.terminate()
        process.wait()
        if subscriber:
            subscriber.loop_stop()
        if broker_process:
            broker_process.terminate()
            broker_process.wait()
        for simulator, _ in simulators:
            simulator.stdin.close()
            simulator.wait()
        shutil.rmtree(folder, ignore_errors=True)
    cpu = (after[0] - before[0], after[1] - before[1])
    with lock:
        first = {}
        for line, number, now, gate in received:  # an event sent again counts once
            if (line, number) in injected and (line, number) not in first:
                first[(line, number)] = (now - injected[(line, number)], gate)
        latencies = list(first.values())
    return cpu, len(injected), latencies


def percentile(values, share):
    values = sorted(values)
    return values[max(int(len(values) * share + 0.5) - 1, 0)] * 1000 if values else float("nan")


def measure_apart(kivhost, sim, lines, rate, seconds):
    cpu, sent, latencies = run_apart(kivhost, sim, lines, rate, seconds, True)
    alone, alone_sent, _ = run_apart(kivhost, sim, lines, rate, seconds, False)
    whole = [value for value, _ in latencies]
    gate = [value for _, value in latencies]
    print(f"{lines:2d} lines at {rate}/s each for {seconds} s, simulators apart: kivhost CPU "
          f"{1e6 * sum(cpu) / max(sent, 1):6.1f} us/event (user {1e6 * cpu[0] / max(sent, 1):.1f}"
          f" + system {1e6 * cpu[1] / max(sent, 1):.1f}; without the gateway "
          f"{1e6 * sum(alone) / max(alone_sent, 1):.1f}), {sent - len(latencies)} of {sent} lost, "
          f"command to subscriber median {percentile(whole, 0.5):.2f} ms p99 "
          f"{percentile(whole, 0.99):.2f} ms, gateway to subscriber median "
          f"{percentile(gate, 0.5):.2f} ms p99 {percentile(gate, 0.99):.2f} ms")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kivhost")
    parser.add_argument("--lines", default="1,16")
    parser.add_argument("--rate", type=float, default=20)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--sim", help="vxs-sim: each line's simulator a process of its own")
    parser.add_argument("--print", default="all", choices=["all", "events", "log"],
                        help="what kivhost prints of its records (--json): all, as before, or as "
                             "the example service (log)")
    options = parser.parse_args()
    if options.print != "all":
        PRINT.extend(["--print", options.print])
    for lines in [int(n) for n in options.lines.split(",")]:
        if options.sim:
            measure_apart(os.path.abspath(options.kivhost), os.path.abspath(options.sim), lines,
                          options.rate, options.seconds)
        else:
            measure(os.path.abspath(options.kivhost), lines, options.rate, options.seconds)


if __name__ == "__main__":
    main()
