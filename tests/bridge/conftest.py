# The bridge's world for its tests: a real mosquitto on a free loopback
# port with its own configuration, simulated bricks on pseudo-terminals
# (vostrel.sim), `vostrel bridge` as a process, and real MQTT clients
# (python3-paho-mqtt).
import os
import re
import signal
import socket
import subprocess
import threading
import time

import paho.mqtt.client as mqtt
import pytest

import vostrel.sim

TOOL = os.environ.get("VOSTREL_TOOL", "vostrel")
HERE = os.path.dirname(os.path.abspath(__file__))
PREFIX = "t"


def free_ports(n):
    """n different free loopback ports (held together while they are found,
    so no two are the same)."""
    held = [socket.socket() for _ in range(n)]
    try:
        for s in held:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in held]
    finally:
        for s in held:
            s.close()


def wait_for(condition, timeout=5.0, what="condition"):
    end = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > end:
            pytest.fail(f"{what} not reached within {timeout} s")
        time.sleep(0.01)


class Broker:
    """mosquitto with the given configuration lines, on its own port."""

    def __init__(self, workdir, extra=(), websockets=False, listener=()):
        self.port, self.ws_port = free_ports(2)
        self.websockets = websockets
        self.conf = os.path.join(workdir, f"mosquitto-{self.port}.conf")
        # Run as root, mosquitto would become the user mosquitto, who cannot
        # read the test's folder.
        lines = ["user root", "per_listener_settings false", "set_tcp_nodelay true",
                 "persistence true", f"persistence_location {workdir}/",
                 f"persistence_file broker-{self.port}.db"]
        lines += list(extra)
        if not any(l.startswith("allow_anonymous") for l in extra):
            lines.append("allow_anonymous true")
        lines.append(f"listener {self.port} 127.0.0.1")
        lines += list(listener)
        if websockets:
            lines += [f"listener {self.ws_port} 127.0.0.1", "protocol websockets"]
        with open(self.conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.log = os.path.join(workdir, f"mosquitto-{self.port}.log")
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=open(self.log, "a"),
                                     stderr=subprocess.STDOUT)

        ports = [self.port] + ([self.ws_port] if self.websockets else [])

        def up():
            assert self.proc.poll() is None, open(self.log).read()
            try:
                for port in ports:
                    socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                return True
            except OSError:
                return False

        wait_for(up, what="mosquitto listening")
        return self

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        self.proc = None

    @property
    def url(self):
        return f"mqtt://127.0.0.1:{self.port}"


class Client:
    """A paho client that keeps every message it receives. Each topic is
    read in order with its own cursor (and all of them with one more), so
    waiting for one topic skips nothing of another."""

    def __init__(self, broker, user=None, password=None, transport="tcp", client_id="",
                 clean_session=True, subscribe=(), port=None):
        self.history = []
        self.cursor = {}
        self.cond = threading.Condition()
        self.subscribed = threading.Event()
        self.c = mqtt.Client(client_id=client_id, clean_session=clean_session,
                             transport=transport)
        if user:
            self.c.username_pw_set(user, password)
        self.c.on_message = self._message
        self.c.on_subscribe = lambda *a: self.subscribed.set()
        self.topics = list(subscribe)
        self.c.on_connect = self._connected
        self.connected = threading.Event()
        self.c.connect("127.0.0.1", port or broker.port, 30)
        self.c.loop_start()
        assert self.connected.wait(5), "client did not connect"
        if self.topics:
            assert self.subscribed.wait(5), "client did not subscribe"

    def _connected(self, c, u, flags, rc):
        assert rc == 0, mqtt.connack_string(rc)
        for t in self.topics:
            c.subscribe(t, 1)
        self.connected.set()

    def _message(self, c, u, m):
        with self.cond:
            self.history.append((m.topic, m.payload, m.retain))
            self.cond.notify_all()

    def publish(self, topic, payload, qos=1):
        info = self.c.publish(topic, payload, qos)
        info.wait_for_publish(5)
        return info

    def next(self, timeout=5.0, topic=None):
        """The next message on `topic` (any topic when None)."""
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                i = self.cursor.get(topic, 0)
                while i < len(self.history) and topic is not None and self.history[i][0] != topic:
                    i += 1
                self.cursor[topic] = i
                if i < len(self.history):
                    self.cursor[topic] = i + 1
                    return self.history[i]
                left = end - time.monotonic()
                if left <= 0:
                    pytest.fail(f"no message{' on ' + topic if topic else ''} within {timeout} s"
                                f" (had: {self.history[-8:]})")
                self.cond.wait(left)

    def until(self, topic, payload, timeout=5.0):
        """Reads `topic` until it carries `payload`."""
        end = time.monotonic() + timeout
        while True:
            t, p, _ = self.next(max(0.01, end - time.monotonic()), topic)
            if p == payload:
                return

    def close(self):
        self.c.loop_stop()
        self.c.disconnect()


class Bridge:
    """`vostrel bridge` as a process; its log lines are collected."""

    def __init__(self, broker_url, bricks, *extra, env=None, prefix=PREFIX):
        args = [TOOL, "bridge", "--broker", broker_url, "--prefix", prefix]
        for name, device in bricks:
            args += ["-p", f"{name}={device}"]
        args += list(extra)
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        self.lines = []
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stderr:
            with self.lock:
                self.lines.append(raw.decode(errors="replace").rstrip("\n"))

    def log(self):
        with self.lock:
            return list(self.lines)

    def wait_log(self, pattern, timeout=5.0):
        rx = re.compile(pattern)
        wait_for(lambda: any(rx.search(l) for l in self.log()), timeout,
                 f"log line /{pattern}/ (log: {self.log()})")

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            code = self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise
        self.reader.join(5)
        return code


@pytest.fixture
def broker(tmp_path):
    b = Broker(str(tmp_path)).start()
    yield b
    b.stop()


@pytest.fixture
def bricks():
    made = []

    def make(**options):
        options.setdefault("ping_every", 0)
        options.setdefault("echo_boxes", [])
        b = vostrel.sim.Brick(**options)
        made.append(b)
        return b

    yield make
    for b in made:
        b.close()


@pytest.fixture
def bridges():
    made = []

    def make(*args, **kwargs):
        b = Bridge(*args, **kwargs)
        made.append(b)
        return b

    yield make
    for b in made:
        if b.proc.poll() is None:
            b.proc.kill()
            b.proc.wait()


@pytest.fixture
def clients():
    made = []

    def make(*args, **kwargs):
        c = Client(*args, **kwargs)
        made.append(c)
        return c

    yield make
    for c in made:
        c.close()
