#!/usr/bin/env python3
"""Keep-alive echo, text echo through a NewMail handler, and mails a second
through it: a Python control (on DefaultLoop and on AsyncioLoop) beside a
C++ one, against the same far end (handler_bench, built with the project).

    /usr/bin/python3 bench/python/python_bench.py [round-trips]   (default 5000)

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


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    if not FAR_END.exists():
        raise SystemExit(f"{FAR_END} is missing: build the default preset first")
    print(subprocess.run([str(FAR_END), str(n)], capture_output=True, text=True, check=True).stdout, end="")
    print(f"Python host ({sys.executable}), DefaultLoop:")
    print(on_default_loop(n), end="")
    print("Python host, AsyncioLoop:")
    print(on_asyncio(n), end="")


if __name__ == "__main__":
    main()
