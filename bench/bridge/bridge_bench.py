#!/usr/bin/env python3
"""A mail's trip through `vostrel bridge` and a local Mosquitto, next to
the same trip through a control in this process, on simulated bricks:

  brick -> host       the brick's program sends a text; the time until an
                      MQTT subscriber has it / until this process's
                      control raised NewMail;
  host -> brick       an MQTT client publishes a text / this process's
                      control calls SendText; the time until the brick
                      stored it;
  16 bricks           every brick of one bridge sends at once: each mail's
                      time to the subscriber;
  idle                the bridge's CPU time over a quiet stretch, 16 bricks
                      connected, as a share of one core.

    /usr/bin/python3 bench/bridge/bridge_bench.py [--trips N] [--bricks B] [--idle-seconds S]

Run from the repository's root after building the default preset (the
tool and the Python module); VOSTREL_BUILD names another build tree.
Exits 1 when a mail is lost, 2 on a bad argument.
"""

import argparse
import os
import pathlib
import queue
import socket
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("VOSTREL_BUILD", ROOT / "build" / "default"))
sys.path.insert(0, str(BUILD / "python"))

import paho.mqtt.client as mqtt  # noqa: E402

import vostrel  # noqa: E402
import vostrel.sim  # noqa: E402

TOOL = BUILD / "vostrel"
TIMEOUT = 5.0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def percentiles(samples):
    s = sorted(samples)
    pick = lambda q: s[min(len(s) - 1, int(q * len(s)))] * 1e6  # noqa: E731
    return pick(0.5), pick(0.99), s[-1] * 1e6


def cpu_seconds(pid):
    """CPU time of all the process's threads, to the nanosecond."""
    tasks = pathlib.Path(f"/proc/{pid}/task")
    return sum(int((t / "schedstat").read_text().split()[0]) for t in tasks.iterdir()) / 1e9


class Lost(Exception):
    pass


class Direct(vostrel.Vostrel):
    """This process's own control: NewMail stops the loop."""

    got = None

    def NewMail(self, mailbox):
        self.got = (time.perf_counter(), self.ReadText(mailbox))
        self.bench_loop.stop()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--trips", type=int, default=2000, help="trips each way and path (default 2000)")
    ap.add_argument("--bricks", type=int, default=16, help="bricks on the bridge (default 16)")
    ap.add_argument("--idle-seconds", type=float, default=20.0, help="the quiet stretch (default 20)")
    a = ap.parse_args()
    if a.trips < 1 or a.bricks < 1 or a.idle_seconds <= 0:
        ap.error("--trips and --bricks must be 1 or more, --idle-seconds above 0")

    work = tempfile.mkdtemp(prefix="bridge-bench-")
    port = free_port()
    conf = pathlib.Path(work, "mosquitto.conf")
    # As docs/mosquitto/vostrel.conf: without it the broker holds small
    # messages back for the receiver's delayed acknowledgement (40 ms).
    conf.write_text(f"set_tcp_nodelay true\nlistener {port} 127.0.0.1\nallow_anonymous true\n")
    broker = subprocess.Popen(["mosquitto", "-c", str(conf)], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    bricks = [vostrel.sim.Brick(ping_every=0, echo_boxes=[]) for _ in range(a.bricks)]
    direct_brick = vostrel.sim.Brick(ping_every=0, echo_boxes=[])
    bridge = None
    try:
        time.sleep(0.3)
        args = [str(TOOL), "bridge", "--broker", f"mqtt://127.0.0.1:{port}", "--prefix", "bench"]
        for i, b in enumerate(bricks):
            args += ["-p", f"b{i}={b.device}"]
        bridge = subprocess.Popen(args, stderr=subprocess.DEVNULL)

        got = queue.Queue()
        sub = mqtt.Client()
        sub.on_message = lambda c, u, m: got.put((time.perf_counter(), m.topic, m.payload))
        online = queue.Queue()
        sub.message_callback_add("bench/+/state", lambda c, u, m: online.put(m.payload))
        sub.connect("127.0.0.1", port)
        # paho leaves Nagle's algorithm on: its small publishes would wait
        # for the broker's delayed acknowledgement.
        sub.socket().setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sub.subscribe([("bench/+/mailbox/+", 1), ("bench/+/state", 1)])
        sub.loop_start()
        ready = 0
        end = time.monotonic() + 10
        while ready < a.bricks:
            if online.get(timeout=max(0.01, end - time.monotonic())) == b"online":
                ready += 1

        loop = vostrel.DefaultLoop()
        host = Direct(loop, ports={0: direct_brick.device})
        host.bench_loop = loop
        if host.ConnectNXT(0, 9600) != 0:
            raise SystemExit("direct control: " + host.ErrorMessage)

        def via_broker_in(i):
            text = f"in {i}".encode()
            t0 = time.perf_counter()
            bricks[0].send_text(1, text)
            while True:
                t1, topic, payload = got.get(timeout=TIMEOUT)
                if topic == "bench/b0/mailbox/1" and payload == text:
                    return t1 - t0

        def direct_in(i):
            text = f"in {i}".encode()
            host.got = None
            t0 = time.perf_counter()
            direct_brick.send_text(1, text)
            deadline = time.perf_counter() + TIMEOUT
            while host.got is None and time.perf_counter() < deadline:
                loop.run_for(TIMEOUT)
            if host.got is None or host.got[1].rstrip(b"\0") != text:
                raise Lost(f"direct mail {i}")
            return host.got[0] - t0

        def stored(brick, box, count):
            if not brick.wait_until(lambda s: len(s.stored(box)) >= count, TIMEOUT):
                raise Lost(f"send {count} to the brick")
            return time.perf_counter()

        def via_broker_out(i):
            t0 = time.perf_counter()
            sub.publish("bench/b0/mailbox/2/set", f"out {i}", qos=1)
            return stored(bricks[0], 2, i + 1) - t0

        def direct_out(i):
            t0 = time.perf_counter()
            host.SendText(2, f"out {i}")
            loop.run_for(0)
            return stored(direct_brick, 2, i + 1) - t0

        results = {k: [] for k in ("bin", "din", "bout", "dout")}
        for i in range(a.trips):  # the paths take turns, so load hits both alike
            results["bin"].append(via_broker_in(i))
            results["din"].append(direct_in(i))
            results["bout"].append(via_broker_out(i))
            results["dout"].append(direct_out(i))

        fan = []
        rounds = max(1, a.trips // 20)
        for r in range(rounds):
            t0 = time.perf_counter()
            for i, b in enumerate(bricks):
                b.send_text(3, f"r{r}")
            seen = 0
            while seen < a.bricks:
                t1, topic, payload = got.get(timeout=TIMEOUT)
                if topic.endswith("/mailbox/3"):
                    fan.append(t1 - t0)
                    seen += 1

        print(f"bridge through a local Mosquitto against a control in this process, {a.trips} trips each")
        print(f"{'path':40} {'p50 us':>9} {'p99 us':>9} {'max us':>9}")
        rows = [("brick -> subscriber, via the broker", "bin"), ("brick -> host, direct", "din"),
                ("publisher -> brick, via the broker", "bout"), ("host -> brick, direct", "dout")]
        for name, key in rows:
            p50, p99, mx = percentiles(results[key])
            print(f"{name:40} {p50:9.0f} {p99:9.0f} {mx:9.0f}")
        for way, b, d in (("in", "bin", "din"), ("out", "bout", "dout")):
            ratio = percentiles(results[b])[0] / percentiles(results[d])[0]
            print(f"p50 via the broker / direct, {way}: {ratio:.2f} (target: within 2)")
        p50, p99, mx = percentiles(fan)
        print(f"{a.bricks} bricks sending at once, {rounds} rounds: each mail to the subscriber "
              f"p50 {p50:.0f} us, p99 {p99:.0f} us, max {mx:.0f} us")

        host.DisconnectNXT()
        time.sleep(1.0)
        before, t0 = cpu_seconds(bridge.pid), time.monotonic()
        time.sleep(a.idle_seconds)
        used, span = cpu_seconds(bridge.pid) - before, time.monotonic() - t0
        print(f"idle bridge with {a.bricks} bricks: {used * 1000:.0f} ms CPU in {span:.0f} s = "
              f"{100 * used / span:.3f}% of a core (target: under 0.1%)")
        sub.loop_stop()
        return 0
    except (Lost, queue.Empty) as e:
        print(f"lost: {e or 'a mail did not arrive'}", file=sys.stderr)
        return 1
    finally:
        if bridge:
            bridge.terminate()
            bridge.wait(10)
        broker.terminate()
        broker.wait(10)
        for b in bricks + [direct_brick]:
            b.close()


if __name__ == "__main__":
    sys.exit(main())
