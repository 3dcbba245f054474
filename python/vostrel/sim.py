"""The simulated brick, for testing a program without one.

    import vostrel, vostrel.sim

    with vostrel.sim.Brick(ping_every=1.0, echo_boxes=[1]) as brick:
        loop = vostrel.DefaultLoop()
        nxt = vostrel.Vostrel(loop, ports={0: brick.device})
        nxt.ConnectNXT(0, 9600)
        nxt.SendText(1, "hi")            # the brick answers b"got hi" in mailbox 1
        loop.run_for(0.5)
        print(brick.stored(1), brick.tones)

Its options are those of ``vostrel sim`` (times in seconds).
"""

from ._vostrel import sim as _native

Brick = _native.Brick
BrickStatus = _native.BrickStatus

__all__ = ["Brick", "BrickStatus"]
