#!/usr/bin/env python3
"""kivhost run --mqtt against brokers that do not take MQTT 5: aedes (a Node broker of MQTT 3.1.1
only, run by tests/tools/node/aedes_broker.mjs) and a fake broker of this test's own that answers
every CONNECT as a table says (a refusal in either version's form, or a close without answer).

Usage: test_kivhost_mqtt311.py --examples DIR --node-modules DIR -- KIVHOST

Exit 77 (skipped) with a message when node, aedes (scripts/install-test-node.sh installs it into
the --node-modules folder) or paho-mqtt are missing; under CI (CI set) a missing aedes fails.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading

from kivhost_testlib import check, finish, split_arguments
# The MQTT test's broker clients and gateway (it needs paho-mqtt, or exits 77 with a message).
from test_kivhost_mqtt import BOUND, Client, Gateway, free_port, wait_for

SKIP = 77
FALLBACK = "this line uses MQTT 3.1.1 from now on"
REFUSED_5 = "the broker refused the connection: Unsupported Protocol Version"
NOT_AUTHORISED_311 = "the broker refused the connection: Connection Refused: not authorised"


class Aedes:
    """aedes on 127.0.0.1; 'refuse' refuses every client, 'refuse-subscribe' every subscription.
    Every refused CONNECT is counted."""

    def __init__(self, node_modules, mode=""):
        self.port = free_port()
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "node",
                              "aedes_broker.mjs")
        self.process = subprocess.Popen(["node", script, node_modules, str(self.port), mode],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True)
        self.lines = []
        threading.Thread(target=self._read, daemon=True).start()
        wait_for(lambda: "listening" in self.lines, f"aedes listens: {self.lines}")

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line.strip())

    def refusals(self):
        return sum(1 for line in list(self.lines) if line.startswith("refused"))

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=BOUND)


class FakeBroker:
    """Answers each CONNECT by its protocol level (4: 3.1.1, 5: MQTT 5) as 'answers' says: a
    CONNACK code in that version's form, or None to close the connection unanswered; an MQTT 5
    connection it accepts (0) it ends at once with a DISCONNECT "Server shutting down". Counts
    the CONNECTs of each level."""

    def __init__(self, answers):
        self.answers = answers
        self.connects = {4: 0, 5: 0}
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                connection, _ = self.server.accept()
            except OSError:
                return
            with connection:
                connection.settimeout(BOUND)
                try:
                    self._answer(connection)
                except OSError:
                    pass

    def _answer(self, connection):
        head = connection.recv(64)  # the fixed header, the protocol name and its level
        if len(head) < 9 or head[0] != 0x10:
            return
        at = 1
        while head[at] & 0x80:  # the remaining length's bytes
            at += 1
        level = head[at + 1 + 2 + 4]  # after the length: the name's length (2) and "MQTT" (4)
        self.connects[level] = self.connects.get(level, 0) + 1
        code = self.answers.get(level)
        if code is not None:
            # MQTT 5's CONNACK carries its properties' length (none) after the reason code.
            connection.sendall(bytes([0x20, 3, 0, code, 0]) if level == 5
                               else bytes([0x20, 2, 0, code]))
            if code == 0 and level == 5:
                connection.sendall(bytes([0xE0, 2, 0x8B, 0]))
            connection.shutdown(socket.SHUT_WR)
            while connection.recv(4096):  # until the client closes the connection
                pass

    def stop(self):
        self.server.close()


def status_reason(gateway):
    """The line's connection as the status command shows it."""
    before = len(gateway.of_type("result"))
    gateway.command("status")
    wait_for(lambda: len(gateway.of_type("result")) > before, "the status answer")
    answer = gateway.of_type("result")[-1] if gateway.of_type("result") else {}
    return ((answer.get("mqtt") or [{}])[0].get("reason")) or ""


def fallbacks(gateway):
    return [line for line in list(gateway.errors) if FALLBACK in line]


def test_aedes_auto(kivhost, examples, folder, broker):
    """Auto against a 3.1.1 broker: one fallback line, then events, retained tags, writes with
    their transaction on .../result, and "offline" by the last will once kivhost is killed."""
    base = "vxs/v311/1/"
    watcher = Client(broker, None, [base + "#"], v5=False)
    gateway = Gateway(kivhost, examples, folder, broker, "v311", "--rate", "0", "--mqtt-writes")
    wait_for(lambda: (watcher.last(base + "state") or {}).get("state") == "online",
             f"online over 3.1.1: {gateway.errors}")
    said = fallbacks(gateway)
    check(len(said) == 1 and f"127.0.0.1:{broker.port} refused MQTT 5 (Unsupported Protocol "
          "Version)" in said[0], f"one fallback line naming the broker: {gateway.errors}")
    check(gateway.said("over MQTT 3.1.1"), f"the connection names its version: {gateway.errors}")

    gateway.command('expect-log "Start of Unsolicited Thread" 10000')
    gateway.command("event 10 1")
    wait_for(lambda: any(e.get("code") == 10 for e in watcher.payloads(base + "event")),
             "the event on MQTT 3.1.1")
    # Two writes, each answered on .../result with its transaction; a result, published where
    # the gateway's own subscription (without no-local) might see it, is never a request.
    result_topic = base + "write/L1_PBIN2/result"
    for number, name in enumerate(["Lovelace", "Hopper"]):
        watcher.publish(base + "write/L1_PBIN2",
                        f'{{"value": "{name}", "transaction": "t-{number}"}}')
        wait_for(lambda n=number: len(watcher.payloads(result_topic)) > n, f"the result of {name}")
    results = watcher.payloads(result_topic)
    check([(r.get("transaction"), r.get("ok"), r.get("value")) for r in results] ==
          [("t-0", True, "Lovelace"), ("t-1", True, "Hopper")],
          f"each result carries its transaction: {results}")
    writes = [r.get("command") for r in gateway.of_type("result")
              if r.get("command", "").startswith("mqtt:")]
    check(writes == ["mqtt: write L1_PBIN2 Lovelace", "mqtt: write L1_PBIN2 Hopper"],
          f"the requests alone were written, never a result: {writes}")

    late = Client(broker, None, [base + "tag/#"], v5=False)
    wait_for(lambda: (late.last(base + "tag/L1_PBIN2") or {}).get("value") == "Hopper",
             "a late subscriber gets the retained tag")
    late.close()
    gateway.process.send_signal(signal.SIGKILL)
    gateway.process.wait(timeout=BOUND)
    wait_for(lambda: (watcher.last(base + "state") or {}).get("state") == "offline",
             "the broker publishes the killed gateway's offline state (its last will)")
    watcher.close()


def test_refusals(kivhost, examples, folder, node_modules):
    """Each broker's answer in the gateway's words, in the log and in status: who said it, in
    which version's list, and whether the line went over to 3.1.1."""
    refuse_all = {5: 0x87, 4: 5}  # not authorised, in each version's form
    config = os.path.join(folder, "v311.conf")
    with open(config, "w") as conf:
        conf.write("# a service's settings\nmqtt-protocol = 3.1.1\n")
    cases = [
        # (name, broker, --mqtt-protocol or --config, the reason shown, falls back)
        ("kicked", FakeBroker({5: 0}), "5",
         "the broker closed the connection: Server shutting down", False),
        ("v5-only", Aedes(node_modules), "5", REFUSED_5 + " (the broker may speak MQTT 3.1.1 "
         "only: --mqtt-protocol auto or 3.1.1)", False),
        ("refuse5", FakeBroker(refuse_all), "5",
         "the broker refused the connection: Not authorized", False),
        ("refuse311", FakeBroker(refuse_all), config, NOT_AUTHORISED_311, False),
        ("v5form", FakeBroker({5: 0x84, 4: 5}), "auto", NOT_AUTHORISED_311,
         "refused MQTT 5 (Unsupported Protocol Version)"),
        ("silent5", FakeBroker({5: None, 4: 5}), "auto", NOT_AUTHORISED_311,
         "closed an MQTT 5 connection without answering and answers MQTT 3.1.1"),
        ("silent", FakeBroker({5: None, 4: None}), "auto",
         "the broker closed the connection without answering", False),
        ("aedesrefuse", Aedes(node_modules, "refuse"), "auto", NOT_AUTHORISED_311,
         "refused MQTT 5 (Unsupported Protocol Version)"),
    ]
    # Never connected, a gateway would wait its flush bound at the stop for what is queued.
    gateways = {name: Gateway(kivhost, examples, folder, broker, name, "--rate", "0",
                              "--mqtt-flush", "0",
                              "--config" if protocol == config else "--mqtt-protocol", protocol)
                for name, broker, protocol, _, _ in cases}
    for name, broker, protocol, reason, fallback in cases:
        gateway = gateways[name]
        where = f"127.0.0.1:{broker.port}"
        shown = (f"the connection to {where} was lost ({reason})" if name == "kicked"
                 else f"cannot connect to {where}: {reason}; trying again")
        wait_for(lambda g=gateway, s=shown: g.said(s), f"{name}: the log says {shown!r}: "
                 f"{gateway.errors}")
        check(reason in status_reason(gateway), f"{name}: status shows {status_reason(gateway)!r}")
        said = fallbacks(gateway)
        check(len(said) == (1 if fallback else 0) and (not fallback or fallback in said[0]),
              f"{name}: the fallback line {fallback!r}: {said}")
        check(not gateway.said("Granted QoS"), f"{name}: no library code read as the broker's")
    # A close without answer is tried again with 3.1.1 and, unanswered too, with 5 again; a
    # broker refused in the version asked for is asked again (no fallback).
    brokers = {name: broker for name, broker, _, _, _ in cases}
    silent = brokers["silent"]
    wait_for(lambda: silent.connects[5] >= 2 and silent.connects[4] >= 1,
             f"the silent broker is asked in both versions and again: {silent.connects}")
    wait_for(lambda: brokers["v5-only"].refusals() >= 2, "the MQTT 5 gateway keeps trying")
    check(brokers["refuse5"].connects[4] == 0 and brokers["refuse311"].connects[5] == 0,
          "5 and 3.1.1 never ask for the other version")
    for name, broker, _, _, _ in cases:
        gateways[name].quit()
        broker.stop()


def test_subscription_refused(kivhost, examples, folder, node_modules):
    """A refused subscription (3.1.1's SUBACK failure) is said: no write request can arrive."""
    broker = Aedes(node_modules, "refuse-subscribe")
    gateway = Gateway(kivhost, examples, folder, broker, "nosub", "--rate", "0",
                      "--mqtt-protocol", "3.1.1")
    wait_for(lambda: gateway.said("the broker refused the subscription to vxs/nosub/1/write/+: "
                                  "failure (0x80); no write request reaches this line"),
             f"the refused subscription is said: {gateway.errors}")
    gateway.quit()
    broker.stop()


def test_usage(kivhost, folder):
    """A version that is not one of the three stops the run before it starts, naming the option,
    on the command line and in a configuration file."""
    config = os.path.join(folder, "bad.conf")
    with open(config, "w") as conf:
        conf.write("mqtt-protocol = 4\n")
    for args, cause in [(["--mqtt-protocol", "3"], "--mqtt-protocol"),
                        (["--config", config], "bad.conf:1: --mqtt-protocol")]:
        proc = subprocess.run(kivhost + ["run", "--workdir", folder, "--duration", "1", "--mqtt",
                                         "mqtt://127.0.0.1:1", "--site", "x", *args],
                              capture_output=True, text=True, timeout=BOUND,
                              stdin=subprocess.DEVNULL)
        check(proc.returncode == 2 and cause in proc.stderr,
              f"{args}: exit {proc.returncode}, {proc.stderr.strip()[-200:]!r}")


def main():
    options, kivhost = split_arguments(sys.argv[1:], ["--examples", "--node-modules"])
    node_modules = options["--node-modules"]
    missing = None
    if not shutil.which("node"):
        missing = "node (Node.js 20 or later) is not installed"
    elif not os.path.exists(os.path.join(node_modules, "aedes", "package.json")):
        missing = (f"aedes is not installed in {node_modules} (scripts/install-test-node.sh "
                   "installs it)")
    if missing:
        print(("FAIL: " if os.environ.get("CI") else "SKIP: ") + missing)
        return 1 if os.environ.get("CI") else SKIP
    folder = tempfile.mkdtemp(prefix="kiv-mqtt311-")
    broker = Aedes(node_modules)
    try:
        test_usage(kivhost, folder)
        test_aedes_auto(kivhost, options["--examples"], folder, broker)
        test_refusals(kivhost, options["--examples"], folder, node_modules)
        test_subscription_refused(kivhost, options["--examples"], folder, node_modules)
    finally:
        broker.stop()
        shutil.rmtree(folder, ignore_errors=True)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
