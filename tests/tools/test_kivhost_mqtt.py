#!/usr/bin/env python3
"""kivhost run --mqtt against a real mosquitto broker on 127.0.0.1, started by this test in a
folder of its own with a password file and an ACL (a gateway user, a writer, a read-only user,
anonymous refused), and the embedded simulator.

Usage: test_kivhost_mqtt.py --examples DIR -- KIVHOST

Exit 77 (skipped) with a message when mosquitto, its tools, openssl or paho-mqtt (Debian's
python3-paho-mqtt) are missing; scripts/install-deps.sh installs them.
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
try:
    import paho.mqtt.client as mqtt
    from paho.mqtt.packettypes import PacketTypes
    from paho.mqtt.properties import Properties
except ImportError:
    # Debian's python3-paho-mqtt is in the system's Python, which may not be the first python3.
    if os.path.exists("/usr/bin/python3") and os.environ.get("KIV_MQTT_REEXEC") != "1":
        os.environ["KIV_MQTT_REEXEC"] = "1"
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    print("SKIP: paho-mqtt is not installed (Debian: python3-paho-mqtt; scripts/install-deps.sh)")
    sys.exit(SKIP)

from kivhost_testlib import BOUND, check, failures, finish, split_arguments, wait_for  # noqa: E402

USERS = {"gateway": "gw-secret", "writer": "wr-secret", "reader": "rd-secret"}
ACL = """\
user gateway
topic readwrite vxs/#
topic readwrite homeassistant/#
user writer
topic read vxs/#
topic write vxs/+/+/write/#
topic read homeassistant/#
topic write homeassistant/status
user reader
topic read vxs/#
topic read homeassistant/#
"""


def tool(name):
    for folder in os.environ.get("PATH", "").split(os.pathsep) + ["/usr/sbin", "/usr/local/sbin"]:
        path = os.path.join(folder, name)
        if os.access(path, os.X_OK):
            return path
    return None


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def openssl(folder, *args):
    subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)


def make_ca(folder, name):
    openssl(folder, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
            "-subj", f"/CN={name}", "-keyout", f"{name}.key", "-out", f"{name}.pem")
    return os.path.join(folder, f"{name}.pem")


def make_server_cert(folder, ca):
    openssl(folder, "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
            "-keyout", "server.key", "-out", "server.csr")
    with open(os.path.join(folder, "san.ext"), "w") as ext:
        ext.write("subjectAltName=IP:127.0.0.1\n")
    openssl(folder, "x509", "-req", "-in", "server.csr", "-CA", f"{ca}.pem", "-CAkey",
            f"{ca}.key", "-CAcreateserial", "-days", "2", "-extfile", "san.ext",
            "-out", "server.pem")


class Broker:
    """mosquitto on 127.0.0.1: a plain listener and a TLS one, persistence in its folder."""

    def __init__(self, folder):
        self.folder = folder
        self.port = free_port()
        self.tls_port = free_port()
        passwords = os.path.join(folder, "passwd")
        open(passwords, "w").close()
        for user, password in USERS.items():
            subprocess.run([tool("mosquitto_passwd"), "-b", passwords, user, password], check=True)
        with open(os.path.join(folder, "acl"), "w") as acl:
            acl.write(ACL)
        with open(os.path.join(folder, "mosquitto.conf"), "w") as conf:
            # Started as root, mosquitto would change to its own user, who cannot read this folder.
            conf.write("user root\n" if os.geteuid() == 0 else "")
            conf.write(f"""\
allow_anonymous false
password_file {passwords}
acl_file {folder}/acl
persistence true
persistence_location {folder}/
log_dest file {folder}/broker.log
listener {self.port} 127.0.0.1
listener {self.tls_port} 127.0.0.1
cafile {folder}/ca.pem
certfile {folder}/server.pem
keyfile {folder}/server.key
""")
        self.process = None
        self.start()

    def start(self):
        self.process = subprocess.Popen([tool("mosquitto"), "-c", f"{self.folder}/mosquitto.conf"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return True
            except OSError:
                return False
        wait_for(listening, "the broker listens")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=BOUND)


class Client:
    """A paho client that keeps every message it receives."""

    def __init__(self, broker, user, topics=(), client_id="", v5=True, clean=True):
        self.messages = []
        self.lock = threading.Lock()
        self.result = None
        if v5:
            self.client = mqtt.Client(client_id=client_id, protocol=mqtt.MQTTv5)
        else:
            self.client = mqtt.Client(client_id=client_id, clean_session=clean,
                                      protocol=mqtt.MQTTv311)
        if user:
            self.client.username_pw_set(user, USERS[user])
        self.client.reconnect_delay_set(0.2, 1)
        self.topics = topics
        self.client.on_connect = self._connected
        self.client.on_message = self._received
        if v5:
            self.client.connect("127.0.0.1", broker.port, clean_start=clean)
        else:
            self.client.connect("127.0.0.1", broker.port)
        self.client.loop_start()

    def _connected(self, client, userdata, flags, rc, properties=None):
        self.result = rc
        for topic in self.topics:
            client.subscribe(topic, qos=1)

    def _received(self, client, userdata, message):
        with self.lock:
            self.messages.append(message)

    def wait_connected(self):
        return wait_for(lambda: self.result is not None, "the client's connection answered")

    def payloads(self, topic):
        with self.lock:
            found = [m for m in self.messages if m.topic == topic]
        out = []
        for message in found:
            try:
                out.append(json.loads(message.payload))
            except ValueError:
                failures.append(f"{topic}: not JSON: {message.payload[:100]!r}")
        return out

    def last(self, topic):
        payloads = self.payloads(topic)
        return payloads[-1] if payloads else None

    def publish(self, topic, payload, response=None, correlation=None):
        properties = None
        if response is not None:
            properties = Properties(PacketTypes.PUBLISH)
            properties.ResponseTopic = response
            properties.CorrelationData = correlation
        info = self.client.publish(topic, payload, qos=1, properties=properties)
        info.wait_for_publish(BOUND)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


class Gateway:
    """kivhost run --mqtt with the embedded simulator; commands on its standard input."""

    def __init__(self, kivhost, examples, folder, broker, site, *extra, url=None, tags=None):
        self.folder = os.path.join(folder, site)
        os.makedirs(self.folder, exist_ok=True)
        with open(os.path.join(self.folder, "pw"), "w") as pw:
            pw.write(USERS["gateway"] + "\n")
        self.records, self.errors = [], []
        self.process = subprocess.Popen(
            kivhost + ["--driver", "built-in", "--json", "run", "--workdir", self.folder,
                       "--receiver-start", "100", "--tags",
                       tags or os.path.join(examples, "vxs100-line.tags"),
                       "--mqtt", url or f"mqtt://127.0.0.1:{broker.port}", "--site", site,
                       "--mqtt-user", "gateway", "--mqtt-password-file",
                       os.path.join(self.folder, "pw"), *extra],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        threading.Thread(target=self._read, args=(self.process.stdout, True), daemon=True).start()
        threading.Thread(target=self._read, args=(self.process.stderr, False), daemon=True).start()

    def _read(self, stream, json_lines):
        for line in stream:
            if json_lines:
                try:
                    self.records.append(json.loads(line))
                except ValueError:
                    failures.append(f"not a JSON record: {line[:120]!r}")
            else:
                self.errors.append(line.rstrip("\n"))

    def command(self, text):
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()

    def of_type(self, kind):
        return [r for r in list(self.records) if r.get("type") == kind]

    def said(self, text):
        return any(text in line for line in list(self.errors))

    def quit(self):
        self.command("quit")
        code = self.process.wait(timeout=BOUND)
        check(code == 0, f"the gateway stopped with exit {code}: {self.errors[-5:]}")
        return code


def event_key(event):
    return (event.get("code"), event.get("unit"), event.get("time" if "seq" not in event
                                                         else "controllerTime"))


def test_lines_writes_and_late_subscriber(kivhost, examples, folder, broker):
    """Events, retained tags and state arrive; MQTT writes add a badge whose next event names
    its holder; a read-only user's write is dropped by the broker; 3.1.1 gets its result on the
    fallback topic; a subscriber that comes late gets every retained tag."""
    base = "vxs/demo/1/"
    watcher = Client(broker, "writer", ["vxs/demo/#"])
    gateway = Gateway(kivhost, examples, folder, broker, "demo", "--rate", "0", "--mqtt-writes",
                      "--sim-transcript", os.path.join(folder, "demo.jsonl"))
    wait_for(lambda: (watcher.last(base + "state") or {}).get("state") == "online",
             "state online")
    # The gateway may connect before the line's cold start: the state is published again with
    # the line's port once the line has started.
    wait_for(lambda: (watcher.last(base + "state") or {}).get("port"), "the state with its port")
    state = watcher.last(base + "state") or {}
    check(state.get("port", "").startswith("pts/") and state.get("simulated") is True,
          f"the state names the line's port: {state}")
    wait_for(lambda: gateway.said("connected to 127.0.0.1"), "the gateway says it connected")

    gateway.command('expect-log "Start of Unsolicited Thread" 10000')
    gateway.command("event 10 1")
    wait_for(lambda: any(e.get("code") == 10 for e in watcher.payloads(base + "event")),
             "event 10 on MQTT")

    # A response topic that cannot be published to (a wildcard) costs that answer only: the
    # writes after it are answered on the same connection.
    watcher.publish(base + "write/L1_PBIN2", "x", response="vxs/demo/replies/+", correlation=b"x")
    # The badge added through MQTT writes, each answered on the response topic; the name in
    # UTF-8 goes to the line's code page and comes back in the badge's event as it was sent.
    writes = [("L1_PKCOD", "00004711"), ("L1_PDATE", "31/12/27"), ("L1_PBINM", "José Müller"),
              ("L1_0FADDK", json.dumps({"value": 1}))]
    for number, (tag, value) in enumerate(writes):
        watcher.publish(base + "write/" + tag, value, response="vxs/demo/replies/watcher",
                        correlation=f"w{number}".encode())
    wait_for(lambda: len(watcher.payloads("vxs/demo/replies/watcher")) == len(writes),
             f"a result for every write: {gateway.errors} {gateway.of_type('result')}")
    with watcher.lock:
        replies = [(m.properties.CorrelationData, json.loads(m.payload))
                   for m in watcher.messages if m.topic == "vxs/demo/replies/watcher"]
    check(sorted(c for c, _ in replies) == [f"w{n}".encode() for n in range(len(writes))],
          f"each result carries its request's correlation data: {[c for c, _ in replies]}")
    for correlation, reply in replies:
        check(reply.get("ok") is True and reply.get("result") == 0 and
              isinstance(reply.get("log"), list), f"write {correlation}: {reply}")
    check(gateway.said("cannot be sent"), f"the unsendable answer is said: {gateway.errors}")
    # A name the code page cannot carry is refused with why, before the driver sees it.
    watcher.publish(base + "write/L1_PBIN2", "Łukasz", response="vxs/demo/replies/name",
                    correlation=b"n")
    wait_for(lambda: watcher.payloads("vxs/demo/replies/name"), "the refused name's result")
    refused = watcher.last("vxs/demo/replies/name") or {}
    check(refused.get("ok") is False and refused.get("result") is None and
          refused.get("error") == "'Ł' cannot be written in Windows-1252",
          f"the refused name: {refused}")
    # A write to a tag the line lacks: refused with the value it was given.
    watcher.publish(base + "write/L1_NOPE", "7", response="vxs/demo/replies/nope", correlation=b"u")
    wait_for(lambda: watcher.payloads("vxs/demo/replies/nope"), "the unknown tag's result")
    unknown = watcher.last("vxs/demo/replies/nope") or {}
    check(unknown.get("ok") is False and unknown.get("value") == "7" and
          "has no tag 'L1_NOPE'" in (unknown.get("error") or ""), f"the unknown tag: {unknown}")
    # Hostile writes: a NUL byte that would cut the value after its check, a number that is not
    # exact, a response topic that would make the result a request of another tag.
    hostile = [("L1_0FSTAT", b"1\x00;>0S Q;FFFF", "vxs/demo/replies/h1", "whole number"),
               ("L1_0FSTAT", '{"value": 1.0000000001}', "vxs/demo/replies/h2", "whole number"),
               ("L1_PBIN2", "x", base + "write/L1_0FSTAT", "lies under the gateway's own topics")]
    for tag, payload, response, reason in hostile:
        watcher.publish(base + "write/" + tag, payload, response=response, correlation=b"h")
        answer_topic = response if "replies" in response else base + f"write/{tag}/result"
        wait_for(lambda t=answer_topic: watcher.payloads(t), f"the answer to {payload!r}")
        answer = watcher.last(answer_topic) or {}
        check(answer.get("ok") is False and reason in (answer.get("error") or ""),
              f"hostile write {payload!r} to {tag}: {answer}")
    queries = [f for f in gateway.of_type("frame") if f.get("dir") == "out" and "S Q" in f.get("text", "")]
    check(not watcher.payloads(base + "write/L1_0FSTAT/result") and not queries,
          f"no status query went out for the hostile writes: {queries}")
    gateway.command("event 0 0 1")
    wait_for(lambda: any(e.get("holder") == "José Müller"
                         for e in watcher.payloads(base + "event")),
             f"the badge's next event names its holder: {watcher.payloads(base + 'event')}")
    badge = next((e for e in watcher.payloads(base + "event") if e.get("holder") == "José Müller"),
                 {})
    check(badge.get("badge") == "1" and badge.get("key") == "0" and badge.get("controller") == 0
          and badge.get("unitKind") == "door" and badge.get("badgeCode") == "0000004711",
          f"the badge event in fields: {badge}")

    # A read-only user's write goes nowhere: the broker drops it. The writer's next write is the
    # barrier: once its result is back, the refused one would have been handled before it.
    reader = Client(broker, "reader")
    reader.wait_connected()
    reader.publish(base + "write/L1_PBIN2", "Mallory", response="vxs/demo/replies/reader",
                   correlation=b"r")
    reader.close()
    legacy = Client(broker, "writer", [base + "write/L1_PBIN2/result"], v5=False)
    legacy.wait_connected()
    if wait_for(lambda: legacy.client.is_connected(), "3.1.1 client connected"):
        # MQTT 3.1.1 has no response topic: the result comes on .../write/TAG/result.
        # Its "transaction" comes back with the result, to match the two.
        legacy.publish(base + "write/L1_PBIN2",
                       json.dumps({"value": "Lovelace", "transaction": "t-7"}))
        wait_for(lambda: legacy.payloads(base + "write/L1_PBIN2/result"),
                 "the 3.1.1 write's result on the fallback topic")
        result = legacy.last(base + "write/L1_PBIN2/result") or {}
        check(result.get("transaction") == "t-7" and result.get("ok") is True,
              f"the 3.1.1 write's result carries its transaction: {result}")
    legacy.close()
    results = [r for r in gateway.of_type("result") if r.get("command", "").startswith("mqtt:")]
    check(not any("Mallory" in r.get("command", "") for r in results),
          f"the read-only user's write never reached the gateway: {results}")
    check(any("L1_PBIN2 Lovelace" in r.get("command", "") for r in results),
          f"the 3.1.1 write reached the line: {results}")

    # A subscriber that comes late gets the newest value of every tag the driver stored.
    expected = {}
    for record in gateway.of_type("tag"):
        expected[record["name"]] = record["value"]
    late = Client(broker, "reader", [base + "tag/#"])

    def complete():
        return all(late.last(base + "tag/" + name) is not None for name in expected)
    wait_for(complete, f"the late subscriber has every retained tag ({len(expected)})")
    for name in ("L1_PENUM", "L1_PBNAM"):
        got = (late.last(base + "tag/" + name) or {}).get("value")
        check(got == expected.get(name), f"retained {name}: {got!r}, the driver stored "
                                         f"{expected.get(name)!r}")
    check(isinstance((late.last(base + "tag/L1_PENUM") or {}).get("value"), int),
          "a number tag's value is a number")
    late.close()

    gateway.quit()
    check(watcher.last(base + "state").get("state") == "offline",
          f"a clean stop leaves the state offline: {watcher.last(base + 'state')}")
    # Every event frame the simulator sent is an event on MQTT; the add-key record went out.
    with open(os.path.join(folder, "demo.jsonl"), encoding="utf-8") as transcript:
        entries = [json.loads(line) for line in transcript if line.strip()]
    sent = {e["hex"] for e in entries if e["dir"] == "tx" and e["hex"].startswith("0a3b56")}
    published = {e.get("frameHex") for e in watcher.payloads(base + "event")}
    check(sent and sent == published, f"the events are the simulator's: {sent} {published}")
    check(any("0000004711".encode().hex() in e["hex"] for e in entries if e["dir"] == "rx"),
          "the add-key record written through MQTT reached the line")
    watcher.close()


def test_broker_restart(kivhost, examples, folder, broker):
    """The broker stops for 10 s while events flow: none is lost, the state comes back online."""
    base = "vxs/restart/1/"
    counter = Client(broker, "reader", [base + "event"], client_id="restart-counter", v5=False,
                     clean=False)
    states = Client(broker, "reader", [base + "state", "vxs/tiny/1/state"])
    gateway = Gateway(kivhost, examples, folder, broker, "restart", "--rate", "20")
    # A queue of 5 cannot hold the outage's events: the overflow is counted, said and published.
    tiny = Gateway(kivhost, examples, folder, broker, "tiny", "--rate", "20", "--mqtt-queue", "5")
    wait_for(lambda: len(counter.payloads(base + "event")) >= 20, "events before the stop")
    broker.stop()
    time.sleep(10)  # the outage itself: events go on meanwhile and wait in the gateway's queue
    queued = len(gateway.of_type("event"))
    broker.start()
    wait_for(lambda: (states.last(base + "state") or {}).get("connects") == 2,
             "the gateway reconnected and says online again")
    check(gateway.said("was lost"), f"the gateway said the connection was lost: {gateway.errors}")
    wait_for(lambda: (states.last("vxs/tiny/1/state") or {}).get("queue", {}).get("dropped", 0) > 0,
             "the overflow is published in the state")
    check(tiny.said("events were dropped"), f"the overflow is said: {tiny.errors}")
    tiny.quit()
    gateway.quit()
    count = len(gateway.of_type("event"))
    check(count > queued > 20, f"events flowed during the outage: {queued}, {count}")

    def all_seen():
        return {e.get("seq") for e in counter.payloads(base + "event")} >= set(range(1, count + 1))
    wait_for(all_seen, f"every one of the {count} events reached the subscriber")
    seen = {e.get("seq") for e in counter.payloads(base + "event")}
    lost = sorted(set(range(1, count + 1)) - seen)
    check(not lost and seen == set(range(1, count + 1)), f"no event lost: {lost[:10]}")
    counter.close()
    states.close()


def test_three_sites_kill_and_refused_writes(kivhost, examples, folder, broker):
    """Three gateways on one broker (south with two lines): each line's events arrive, nothing
    mixed; writes refused without --mqtt-writes; a gateway killed leaves its state offline by
    the broker's will."""
    sites = ["north", "south", "east"]
    lines = [("north", 1), ("south", 1), ("south", 2), ("east", 1)]
    watcher = Client(broker, "writer", ["vxs/+/+/event", "vxs/+/+/state", "vxs/+/replies/#",
                                        "vxs/south/2/tag/L1_PENUM"])
    config = os.path.join(folder, "south.conf")
    with open(config, "w") as conf:
        conf.write("# a service's settings\nmqtt-queue = 20000\nmqtt-writes = false\nlines = 2\n")
    gateways = {site: Gateway(kivhost, examples, folder, broker, site, "--rate", "10",
                              "--seed", str(n + 3), *(["--config", config] if site == "south"
                                                      else []))
                for n, site in enumerate(sites)}
    for site, line in lines:
        wait_for(lambda s=site, n=line: len(watcher.payloads(f"vxs/{s}/{n}/event")) >= 10,
                 f"events of {site} line {line}")
    watcher.publish("vxs/north/1/write/L1_0FSTAT", "1", response="vxs/north/replies/watcher",
                    correlation=b"n")
    wait_for(lambda: watcher.last("vxs/north/replies/watcher"), "the refused write's answer")
    refusal = watcher.last("vxs/north/replies/watcher") or {}
    check(refusal.get("ok") is False and "--mqtt-writes" in (refusal.get("error") or ""),
          f"writes not allowed: the gateway refuses and says so: {refusal}")
    check(gateways["north"].said("refused"), "the gateway logs the refused write")
    capacity = (watcher.last("vxs/south/1/state") or {}).get("queue", {}).get("capacity")
    check(capacity == 20000, f"--config sets the queue: {capacity}")
    check(watcher.last("vxs/south/2/tag/L1_PENUM") is not None,
          "line 2's tags are published under its line, without the host's \"2:\"")

    gateways["east"].process.send_signal(signal.SIGKILL)
    gateways["east"].process.wait(timeout=BOUND)
    wait_for(lambda: (watcher.last("vxs/east/1/state") or {}).get("state") == "offline",
             "the broker publishes the killed gateway's offline state")
    for site in ("north", "south"):
        gateways[site].quit()
    for site, line in lines:
        own = [event_key(e) for e in gateways[site].of_type("event") if e.get("line") == line]
        got = [event_key(e) for e in watcher.payloads(f"vxs/{site}/{line}/event")]
        seqs = [e.get("seq") for e in watcher.payloads(f"vxs/{site}/{line}/event")]
        check(seqs == list(range(1, len(seqs) + 1)), f"{site} {line}: sequence {seqs[:20]}")
        common = min(len(got), len(own))
        check(got[:common] == own[:common] and (site == "east" or got == own),
              f"{site} line {line}: the line's own events, in order, nothing mixed")
    watcher.close()


def test_tls(kivhost, examples, folder, broker):
    """mqtts with the test CA connects; with another CA the gateway refuses and says why."""
    watcher = Client(broker, "reader", ["vxs/secure/1/state"])
    good = Gateway(kivhost, examples, folder, broker, "secure", "--rate", "0", "--mqtt-ca",
                   os.path.join(folder, "ca.pem"), url=f"mqtts://127.0.0.1:{broker.tls_port}")
    wait_for(lambda: (watcher.last("vxs/secure/1/state") or {}).get("state") == "online",
             "online over TLS")
    good.quit()
    bad = Gateway(kivhost, examples, folder, broker, "wrongca", "--rate", "0", "--mqtt-ca",
                  os.path.join(folder, "other.pem"), url=f"mqtts://127.0.0.1:{broker.tls_port}")
    wait_for(lambda: bad.said("certificate verify failed") and bad.said("--mqtt-ca"),
             f"the wrong CA refused with a clear message: {bad.errors}", bound=10)
    bad.quit()
    watcher.close()


def test_homeassistant(kivhost, examples, folder, broker):
    """--homeassistant: the discovery configurations are retained, published again when Home
    Assistant says it is online, and a second run without controller 1's tags removes its
    entities."""
    node = "homeassistant/+/kivhost_ha_1/"
    power1 = "homeassistant/binary_sensor/kivhost_ha_1/c1_PSPWR/config"
    door3 = "homeassistant/binary_sensor/kivhost_ha_1/c1_PSDOR03/config"
    power0 = "homeassistant/binary_sensor/kivhost_ha_1/c0_PSPWR/config"
    events = "homeassistant/event/kivhost_ha_1/events/config"
    watcher = Client(broker, "writer", [node + "+/config"])

    def seen(topic, empty=False):
        with watcher.lock:
            return sum(1 for m in watcher.messages
                       if m.topic == topic and (len(m.payload) == 0) == empty)

    def retained(count):
        """{topic: payload} of the retained configurations, as a client that comes now sees them
        (once it has 'count' of them)."""
        late = Client(broker, "reader", [node + "+/config"])

        def found():
            with late.lock:
                return {m.topic: json.loads(m.payload) for m in late.messages
                        if m.retain and m.payload}
        wait_for(lambda: len(found()) >= count, f"{count} retained configurations")
        late.close()
        return found()

    first = Gateway(kivhost, examples, folder, broker, "ha", "--rate", "0", "--homeassistant")
    wait_for(lambda: seen(power1) and seen(events), "the first run's configurations")
    configs = retained(16 + 4 * 8 + 2)
    check(power1 in configs and door3 in configs and len(configs) == 16 + 4 * 8 + 2,
          f"every configuration retained: {len(configs)}")
    power = configs.get(power1, {})
    check(power.get("state_topic") == "vxs/ha/1/tag/L1_1PSPWR" and
          power.get("availability_topic") == "vxs/ha/1/state" and
          power.get("device", {}).get("via_device") == "kivhost_ha_1",
          f"a controller's power: {power}")
    event_types = configs.get(events, {}).get("event_types", [])
    check("badge" in event_types and "other" in event_types, f"the event types: {event_types}")
    # Home Assistant started again: every configuration comes again.
    before = seen(power1)
    watcher.publish("homeassistant/status", "online")
    wait_for(lambda: seen(power1) > before, "the configurations again after homeassistant/status")
    first.quit()

    # The second run's tag file has no tag of controller 1 (its status tags, doors 02 and 03).
    with open(os.path.join(examples, "vxs100-line.tags"), encoding="utf-8") as f:
        kept = [line for line in f if not line.split()[1:2] or
                not (line.split()[1].startswith("1P") or line.split()[1] in ("PSDOR02", "PSDOR03"))]
    tags = os.path.join(folder, "without-controller-1.tags")
    with open(tags, "w", encoding="utf-8") as f:
        f.writelines(kept)
    second = Gateway(kivhost, examples, folder, broker, "ha", "--rate", "0", "--homeassistant",
                     tags=tags)
    wait_for(lambda: seen(power1, empty=True) and seen(door3, empty=True),
             "controller 1's configurations removed")
    configs = retained(16 + 4 * 8 + 2 - 6)
    check(power0 in configs and not any("/c1_" in topic for topic in configs),
          f"controller 0 stays, controller 1 is gone: {sorted(configs)[:5]}...")
    second.quit()
    watcher.close()


def test_silent_broker(kivhost, folder):
    """A broker whose machine takes no connection (its listener's queue is full, so the system
    drops the gateway's SYN) holds neither the other lines nor the stop: the run ends within
    its flush bound."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    filler = socket.create_connection(listener.getsockname())
    port = listener.getsockname()[1]
    try:
        proc = subprocess.run(kivhost + ["run", "--workdir", folder, "--lines", "3", "--duration",
                                         "2", "--mqtt", f"mqtt://127.0.0.1:{port}", "--site",
                                         "silent", "--mqtt-flush", "1"],
                              capture_output=True, text=True, timeout=BOUND,
                              stdin=subprocess.DEVNULL)
        stopped = all(f"line {line}: stopped with" in proc.stderr for line in (1, 2, 3))
        check(proc.returncode == 0 and stopped,
              f"a silent broker: exit {proc.returncode}, {proc.stderr[-300:]!r}")
    except subprocess.TimeoutExpired:
        check(False, f"a silent broker held the run beyond {BOUND} s")
    finally:
        filler.close()
        listener.close()


def test_usage(kivhost, folder, broker):
    """Wrong settings stop before anything starts, exit 2, naming the cause; anonymous is
    refused by the broker."""
    cases = [
        (["--mqtt", "http://127.0.0.1:1", "--site", "x"], "mqtt:// or mqtts://"),
        (["--mqtt", "mqtt://user:pw@127.0.0.1", "--site", "x"], "--mqtt-password-file"),
        (["--mqtt", "mqtt://127.0.0.1:99999", "--site", "x"], "1 to 65535"),
        (["--mqtt", "mqtt://127.0.0.1:1"], "--site"),
        (["--site", "x", "--mqtt-writes"], "with --mqtt URL"),
        (["--homeassistant"], "with --mqtt URL"),
        (["--mqtt", "mqtt://127.0.0.1:1", "--site", "x", "--homeassistant", "ha/+"],
         "discovery prefix"),
        (["--mqtt", "mqtt://127.0.0.1:1", "--site", "a/b"], "--site"),
        (["--mqtt", "mqtt://127.0.0.1:1", "--site", "x", "--mqtt-password-file",
          os.path.join(folder, "missing")], "password file"),
    ]
    for args, cause in cases:
        proc = subprocess.run(kivhost + ["run", "--workdir", folder, "--duration", "2", *args],
                              capture_output=True,
                              text=True, timeout=BOUND, stdin=subprocess.DEVNULL)
        check(proc.returncode == 2 and cause in proc.stderr,
              f"{args}: exit {proc.returncode}, {proc.stderr.strip()[-200:]!r}")
    # Paths are read from the folder the command was started in, whatever --workdir says; a
    # configuration file's wrong option is named by its FILE:LINE.
    os.makedirs(os.path.join(folder, "elsewhere"), exist_ok=True)
    with open(os.path.join(folder, "relative-pw"), "w") as pw:
        pw.write("secret\n")
    with open(os.path.join(folder, "bad.conf"), "w") as conf:
        conf.write("# a service's settings\nsite = x\nmqtt-queue = many\n")
    started_here = [
        (["--mqtt", "mqtt://127.0.0.1:1", "--site", "x", "--mqtt-password-file", "relative-pw"],
         0, None),
        (["--mqtt", "mqtt://127.0.0.1:1", "--site", "x", "--mqtt-password-file", "nowhere"],
         2, f"cannot read the password file '{os.path.join(folder, 'nowhere')}': No such file"),
        (["--mqtt", "mqtt://127.0.0.1:1", "--config", "bad.conf"], 2, "bad.conf:3: --mqtt-queue"),
    ]
    for args, status, text in started_here:
        proc = subprocess.run(kivhost + ["run", "--workdir", "elsewhere", "--duration", "1", *args],
                              capture_output=True, text=True, timeout=BOUND, cwd=folder,
                              stdin=subprocess.DEVNULL)
        check(proc.returncode == status and (text is None or text in proc.stderr) and
              (status != 0 or "password file" not in proc.stderr),
              f"{args} from the start folder: exit {proc.returncode}, {proc.stderr.strip()[-300:]!r}")
    anonymous = Client(broker, None)
    anonymous.wait_connected()
    check(anonymous.result is not None and anonymous.result != 0,
          f"the broker refuses anonymous clients: {anonymous.result}")
    anonymous.close()


def main():
    options, kivhost = split_arguments(sys.argv[1:], ["--examples"])
    missing = [name for name in ("mosquitto", "mosquitto_passwd", "openssl") if not tool(name)]
    if missing:
        print(f"SKIP: {', '.join(missing)} not installed (Debian: mosquitto, openssl; "
              "scripts/install-deps.sh installs them)")
        return SKIP
    folder = tempfile.mkdtemp(prefix="kiv-mqtt-")
    broker = None
    try:
        make_ca(folder, "ca")
        make_server_cert(folder, "ca")
        make_ca(folder, "other")
        broker = Broker(folder)
        test_tls(kivhost, options["--examples"], folder, broker)
        test_homeassistant(kivhost, options["--examples"], folder, broker)
        test_usage(kivhost, folder, broker)
        test_silent_broker(kivhost, folder)
        test_lines_writes_and_late_subscriber(kivhost, options["--examples"], folder, broker)
        test_three_sites_kill_and_refused_writes(kivhost, options["--examples"], folder, broker)
        test_broker_restart(kivhost, options["--examples"], folder, broker)
    finally:
        if broker and broker.process.poll() is None:
            broker.stop()
        shutil.rmtree(folder, ignore_errors=True)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
