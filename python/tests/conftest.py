# Shared fixtures: a simulated brick on a pseudo-terminal and a control
# connected to it on a blocking loop.
import contextlib
import sys

import pytest

import vostrel
import vostrel.sim


@pytest.fixture
def brick():
    # No keep-alive queries and no echo unless a test asks: what arrives is
    # what the test sent.
    with vostrel.sim.Brick(ping_every=0, echo_boxes=[]) as b:
        yield b


@pytest.fixture
def loop():
    return vostrel.DefaultLoop()


@pytest.fixture
def nxt(loop, brick):
    control = vostrel.Vostrel(loop, ports={0: brick.device})
    assert control.ConnectNXT(0, 9600) == 0, control.ErrorMessage
    yield control
    control.DisconnectNXT()


def run_until(loop, condition, timeout=2.0, step=0.01):
    """Runs the loop until condition() holds; fails after `timeout` seconds."""
    import time

    end = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > end:
            pytest.fail("condition not reached in time")
        loop.run_for(step)


@contextlib.contextmanager
def unraisable():
    """Collects the reports that reach sys.unraisablehook inside the block
    (set in the test's body: pytest sets its own hook around each test)."""
    seen = []
    saved = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        yield seen
    finally:
        sys.unraisablehook = saved
