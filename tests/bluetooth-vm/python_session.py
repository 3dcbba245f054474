#!/usr/bin/python3
"""The Python module against the simulated brick over the VM's Bluetooth:
the brick by name from BlueZ, a control on ports={5: "NXT"}, texts both
ways with their round trip timed, then the brick's side killed (pid in
argv[1]) mid-session: the hang-up's reason in last_error, then NoPing.
Prints one figure line; exit status 1 on any wrong result."""
import os
import signal
import statistics
import sys
import time

import vostrel

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


def main():
    sim_pid = int(sys.argv[1])
    found = [b for b in vostrel.bricks() if b.name == "NXT"]
    check(len(found) == 1 and found[0].paired and found[0].port == "NXT",
          "vostrel.bricks() lists the paired brick NXT with port 'NXT': %r" %
          [(b.name, b.address, b.paired, b.port) for b in found])

    loop = vostrel.DefaultLoop()
    nxt = vostrel.Vostrel(loop, ports={5: "NXT"})
    nxt.watchdog_interval = 3
    mails, nopings = [], []
    nxt.on_new_mail(lambda box: mails.append((box, nxt.ReadText(box), time.monotonic())))
    nxt.on_no_ping(lambda: nopings.append(time.monotonic()))

    def run_until(pred, seconds):
        end = time.monotonic() + seconds
        while not pred() and time.monotonic() < end:
            loop.run_for(0.02)
        return pred()

    if not check(nxt.ConnectNXT(5, 9600) == 0, "ConnectNXT(5) on ports={5: 'NXT'}: %s, %r" %
                 (nxt.ErrorMessage, nxt.last_error)):
        return
    rtts = []
    for i in range(20):
        text = "py-%d" % i
        sent = time.monotonic()
        if nxt.SendText(1, text) != 0:
            check(False, "SendText(1, %r): %s" % (text, nxt.last_error))
            return
        want = ("got " + text).encode() + b"\0"
        if not run_until(lambda: any(m[0] == 1 and m[1] == want for m in mails), 10):
            check(False, "the brick's answer %r to %r" % (want, text))
            return
        rtts.append((next(m[2] for m in mails if m[1] == want) - sent) * 1000)
    check(True, "20 texts out, 20 answers \"got ...\" back")
    check(run_until(lambda: any(m[0] == 3 and m[1] == b"from-brick\0" for m in mails), 10),
          "a text the brick's program sent on its own (mailbox 3)")
    check(nxt.SendValue(2, 1234) == 0, "SendValue(2, 1234)")
    check(nxt.last_error is None, "last_error is None while the link is fine")

    os.kill(sim_pid, signal.SIGKILL)
    killed = time.monotonic()
    run_until(lambda: nxt.last_error is not None, 10)
    known = time.monotonic()
    e = nxt.last_error
    check(e is not None and "closed the link" in e.description and
          "Connection reset by peer" in e.description,
          "last_error once the brick's side was killed: %r" % (e and e.description))
    check(run_until(lambda: nopings, 10), "NoPing after the hang-up")
    check(nxt.SendText(1, "after") != 0, "SendText after the hang-up fails")
    check(nxt.DisconnectNXT() == 0, "DisconnectNXT after the hang-up")
    print("FIGURE python: text round trip over RFCOMM, 20 texts: median %.1f ms, max %.1f ms; "
          "the hang-up's reason known %.0f ms after the kill" %
          (statistics.median(rtts), max(rtts), (known - killed) * 1000), flush=True)


main()
sys.exit(1 if failures else 0)
