#!/usr/bin/env python3
"""Keep-alive echo, text echo through a NewMail handler, and mails a second
through it: a Python control (on DefaultLoop and on AsyncioLoop) beside a
C++ one, against the same far end (handler_bench, built with the project).

    /usr/bin/python3 bench/python/python_bench.py [round-trips]   (default 5000)
    /usr/bin/python3 bench/python/python_bench.py --stalled

Then, and alone with --stalled: controls on simulated bricks querying every
100 ms, one of whose far ends has stopped reading: how long SendText into
that one takes to return, how late the loop gets, and whether the healthy
ones' queries were all answered.

Run from the repository's root after building the default preset; it finds
the module in build/default/python and the far end in
build/default/bench/python unless VOSTREL_BUILD names another build tree.
"""

import asyncio
import os
import pathlib
import subprocess
import sys
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("VOSTREL_BUILD", ROOT / "build" / "default"))
sys.path.insert(0, str(BUILD / "python"))

import vostrel  # noqa: E402

FAR_END = BUILD / "bench" / "python" / "handler_bench"


class Host(vostrel.Vostrel):
    """The host's part, as handler_bench's C++ sink does it."""

    count = 0

    def NewMail(self, mailbox):
        if mailbox == 1:
            self.SendText(2, self.ReadText(1).rstrip(b"\x00"))
        elif mailbox == 3:
            self.ReadText(3)
            self.count += 1
        elif mailbox == 4:
            self.ReadText(4)
            self.SendText(5, str(self.count))
            self.count = 0


def start_far_end(n):
    far = subprocess.Popen([str(FAR_END), "far-end", str(n)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           text=True)
    line = far.stdout.readline()
    if not line.startswith("device: "):
        raise SystemExit(f"far end: {line!r}")
    return far, line.split(" ", 1)[1].strip()


def on_default_loop(n):
    far, device = start_far_end(n)
    loop = vostrel.DefaultLoop()
    nxt = Host(loop, ports={0: device})
    if nxt.ConnectNXT(0, 9600) != 0:
        raise SystemExit(nxt.ErrorMessage)
    lines = []

    def read_figures():
        lines.extend(far.stdout)
        loop.stop()

    reader = threading.Thread(target=read_figures)
    reader.start()
    far.stdin.write("go\n")
    far.stdin.flush()
    loop.run()
    reader.join()
    nxt.DisconnectNXT()
    far.wait()
    return "".join(lines)


def on_asyncio(n):
    async def main():
        far = await asyncio.create_subprocess_exec(str(FAR_END), "far-end", str(n), stdin=subprocess.PIPE,
                                                   stdout=subprocess.PIPE)
        device = (await far.stdout.readline()).decode().split(" ", 1)[1].strip()
        nxt = Host(vostrel.AsyncioLoop(), ports={0: device})
        if nxt.ConnectNXT(0, 9600) != 0:
            raise SystemExit(nxt.ErrorMessage)
        far.stdin.write(b"go\n")
        figures = (await far.stdout.read()).decode()
        await far.wait()
        nxt.DisconnectNXT()
        return figures

    return asyncio.run(main())


def _percentile(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


STALLED_CONTROLS = 4  # one stalled, the others healthy
STALLED_SECONDS = 3.0


def _stalled_setup(loop):
    """Bricks querying every 100 ms and their controls; the first brick stops
    reading once connected, and its control's line and queue are filled."""
    bricks = [vostrel.sim.Brick(ping_every=0.1) for _ in range(STALLED_CONTROLS)]
    nxts = []
    for i, brick in enumerate(bricks):
        nxt = vostrel.Vostrel(loop, ports={i: brick.device})
        if nxt.ConnectNXT(i, 9600) != 0:
            raise SystemExit(nxt.ErrorMessage)
        nxts.append(nxt)
    bricks[0].stop_reading()
    while nxts[0].SendText(1, "s" * 58) == 0:
        pass
    return bricks, nxts


def _send_into_stalled(nxt, times):
    t0 = time.perf_counter()
    nxt.SendText(1, "s" * 58)
    times.append((time.perf_counter() - t0) * 1000)


def _stalled_report(name, bricks, nxts, sends, worst_ms, worst_what):
    healthy = [b.status() for b in bricks[1:]]
    unanswered = sum(s.pings_sent - s.ping_answers for s in healthy)
    for nxt in nxts:
        nxt.DisconnectNXT()
    for brick in bricks:
        brick.close()
    return (f"Python host, {name}, {STALLED_CONTROLS} controls, one far end not reading "
            f"(its brick querying every 100 ms), {STALLED_SECONDS:.0f} s:\n"
            f"  SendText into the stalled control: {len(sends)} calls, returned in "
            f"p50 {_percentile(sends, 0.5):.3f} ms, p99 {_percentile(sends, 0.99):.3f} ms, "
            f"max {max(sends):.3f} ms\n"
            f"  {worst_what}: at most {worst_ms:.1f} ms\n"
            f"  the healthy controls' keep-alive queries: {sum(s.pings_sent for s in healthy)} sent, "
            f"{unanswered} unanswered\n")


def stalled_on_default_loop():
    loop = vostrel.DefaultLoop()
    bricks, nxts = _stalled_setup(loop)
    sends, worst = [], 0.0
    end = time.perf_counter() + STALLED_SECONDS
    while time.perf_counter() < end:
        t0 = time.perf_counter()
        loop.run_for(0.01)
        worst = max(worst, (time.perf_counter() - t0) * 1000)
        _send_into_stalled(nxts[0], sends)
    loop.run_for(0.2)  # the last echoes
    return _stalled_report("DefaultLoop", bricks, nxts, sends, worst, "run_for(0.01) took")


def stalled_on_asyncio():
    async def main():
        bricks, nxts = _stalled_setup(vostrel.AsyncioLoop())
        sends, worst = [], 0.0
        end = time.perf_counter() + STALLED_SECONDS
        while time.perf_counter() < end:
            t0 = time.perf_counter()
            await asyncio.sleep(0.01)
            worst = max(worst, (time.perf_counter() - t0 - 0.01) * 1000)
            _send_into_stalled(nxts[0], sends)
        await asyncio.sleep(0.2)
        return _stalled_report("AsyncioLoop", bricks, nxts, sends, worst,
                               "an asyncio sleep(0.01) woke late")

    return asyncio.run(main())


def main():
    if sys.argv[1:] == ["--stalled"]:
        print(stalled_on_default_loop(), end="")
        print(stalled_on_asyncio(), end="")
        return
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    if not FAR_END.exists():
        raise SystemExit(f"{FAR_END} is missing: build the default preset first")
    print(subprocess.run([str(FAR_END), str(n)], capture_output=True, text=True, check=True).stdout, end="")
    print(f"Python host ({sys.executable}), DefaultLoop:")
    print(on_default_loop(n), end="")
    print("Python host, AsyncioLoop:")
    print(on_asyncio(n), end="")
    print(stalled_on_default_loop(), end="")
    print(stalled_on_asyncio(), end="")


if __name__ == "__main__":
    main()
