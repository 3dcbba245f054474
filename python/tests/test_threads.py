# A control and a simulated brick belong to the thread that made them:
# other threads are refused with a pointer to loop.post, and a control
# whose last reference goes while its loop may be inside it is destroyed
# later on the loop's thread.
import asyncio
import errno
import fcntl
import os
import threading

import pytest

import vostrel
import vostrel.sim
from conftest import run_until


def on_thread(fn):
    """Runs fn() on a new thread; returns what it returned or raised."""
    out = {}

    def body():
        try:
            out["value"] = fn()
        except BaseException as e:  # noqa: BLE001 - handed to the test
            out["error"] = e

    worker = threading.Thread(target=body)
    worker.start()
    worker.join()
    return out


def device_is_held(path):
    """Whether some open file holds the device's lock (the control's, while
    its port is open)."""
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as e:
        return e.errno == errno.EBUSY  # exclusive mode refuses others than root
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return False
    except BlockingIOError:
        return True
    finally:
        os.close(fd)


class TestOtherThreadsAreRefused:
    @pytest.mark.parametrize(
        "call",
        [
            lambda nxt: nxt.SendText(1, "hi"),
            lambda nxt: nxt.ConnectNXT(0, 9600),
            lambda nxt: nxt.DisconnectNXT(),
            lambda nxt: nxt.ReadText(1),
            lambda nxt: nxt.ErrorMessage,
            lambda nxt: setattr(nxt, "PingNXT", False),
            lambda nxt: nxt.properties_to_dict(),
        ],
        ids=["SendText", "ConnectNXT", "DisconnectNXT", "ReadText", "ErrorMessage", "PingNXT=", "to_dict"],
    )
    def test_members_of_a_control(self, nxt, brick, call):
        out = on_thread(lambda: call(nxt))
        assert isinstance(out.get("error"), RuntimeError), out
        assert "loop.post(callable)" in str(out["error"])
        # Nothing happened to it: still connected, and its own thread uses it.
        assert nxt.Connection is True
        assert nxt.SendText(2, "still mine") == 0
        assert brick.wait_until(lambda s: s.stored(2), timeout=2)

    def test_run_and_new_controls_stay_on_the_controls_thread(self, nxt, loop):
        out = on_thread(lambda: loop.run_for(0.01))
        assert isinstance(out.get("error"), RuntimeError) and "run it there" in str(out["error"])
        out = on_thread(lambda: vostrel.Vostrel(loop))
        assert isinstance(out.get("error"), RuntimeError), out
        # A loop without controls runs anywhere; then it is that thread's.
        idle = vostrel.DefaultLoop()
        assert on_thread(lambda: idle.run_for(0.01)) == {"value": None}

        def run_and_make():
            made = []
            idle.post(lambda: made.append(vostrel.Vostrel(idle)))
            idle.post(idle.stop)
            idle.run()
            return made

        assert len(on_thread(run_and_make)["value"]) == 1

    def test_a_control_while_its_loop_runs_on_another_thread(self):
        loop = vostrel.DefaultLoop()
        started = threading.Event()
        loop.post(started.set)
        worker = threading.Thread(target=loop.run)
        worker.start()
        try:
            started.wait(2)
            with pytest.raises(RuntimeError, match="runs on another thread"):
                vostrel.Vostrel(loop)
            with pytest.raises(RuntimeError, match="already running on thread"):
                loop.run_for(0.01)
        finally:
            loop.stop()
            worker.join()

    def test_on_asyncio(self, brick):
        async def main():
            nxt = vostrel.Vostrel(vostrel.AsyncioLoop(), ports={0: brick.device})
            assert nxt.ConnectNXT(0, 9600) == 0
            out = on_thread(lambda: nxt.SendText(1, "x"))
            assert isinstance(out.get("error"), RuntimeError)
            assert "call_soon_threadsafe" in str(out["error"])
            # Made on another thread for the asyncio loop running here.
            running = asyncio.get_running_loop()
            out = on_thread(lambda: vostrel.Vostrel(vostrel.AsyncioLoop(running)))
            assert isinstance(out.get("error"), RuntimeError), out
            nxt.DisconnectNXT()

        asyncio.run(asyncio.wait_for(main(), 10))

    def test_members_of_a_brick(self, brick):
        for call in (brick.close, lambda: brick.send_text(1, "x"), lambda: brick.stored(1), lambda: brick.device):
            out = on_thread(call)
            assert isinstance(out.get("error"), RuntimeError) and "thread" in str(out["error"]), out
        # close() from another thread while this one is in wait_until.
        closing = []

        def close():
            try:
                brick.close()
            except RuntimeError as e:
                closing.append(e)

        worker = threading.Thread(target=close)

        def predicate(status):
            if not worker.is_alive() and not closing:
                worker.start()
            return False

        assert brick.wait_until(predicate, timeout=0.2) is False
        worker.join()
        assert len(closing) == 1
        brick.send_text(1, "still open")
        assert brick.status().hung_up is False


class TestDroppedControls:
    def test_dropped_on_another_thread_while_the_loop_is_inside(self, brick, loop):
        held = [vostrel.Vostrel(loop, ports={0: brick.device})]
        assert held[0].ConnectNXT(0, 9600) == 0
        seen = []

        def inside_the_loop():
            # On the loop's thread, inside one of its callbacks: another
            # thread drops the last reference meanwhile.
            worker = threading.Thread(target=held.clear)
            worker.start()
            worker.join()
            seen.append(device_is_held(brick.device))  # not destroyed there
            loop.stop()

        loop.post(inside_the_loop)
        loop.run()
        assert seen == [True]
        # The loop's thread destroyed it after that callback: the port is free.
        again = vostrel.Vostrel(loop, ports={0: brick.device})
        assert again.ConnectNXT(0, 9600) == 0, again.ErrorMessage

    def test_dropped_on_another_thread_while_asyncio_is_inside(self, brick):
        async def main():
            held = [vostrel.Vostrel(vostrel.AsyncioLoop(), ports={0: brick.device})]
            assert held[0].ConnectNXT(0, 9600) == 0
            worker = threading.Thread(target=held.clear)
            worker.start()
            worker.join()  # blocks the asyncio loop: it is inside this task
            assert device_is_held(brick.device)
            for _ in range(100):
                await asyncio.sleep(0.001)
                if not device_is_held(brick.device):
                    break
            again = vostrel.Vostrel(vostrel.AsyncioLoop(), ports={0: brick.device})
            assert again.ConnectNXT(0, 9600) == 0, again.ErrorMessage

        asyncio.run(asyncio.wait_for(main(), 10))

    def test_dropped_by_its_own_handler(self, brick, loop):
        held = [vostrel.Vostrel(loop, ports={0: brick.device})]
        seen = []
        held[0].on_new_mail(lambda box: (seen.append(box), held.clear()))
        assert held[0].ConnectNXT(0, 9600) == 0
        # Two texts in one write: the first one's handler drops the last
        # reference while the control still has the second to store.
        brick.send_garbage(message(1, b"a") + message(2, b"b"))
        run_until(loop, lambda: not held and not device_is_held(brick.device))
        assert seen == [1]  # the second found no Python object to tell
        again = vostrel.Vostrel(loop, ports={0: brick.device})
        assert again.ConnectNXT(0, 9600) == 0, again.ErrorMessage

    def test_dropped_while_the_loop_is_idle_goes_at_once(self, brick, loop):
        held = [vostrel.Vostrel(loop, ports={0: brick.device})]
        assert held[0].ConnectNXT(0, 9600) == 0
        assert on_thread(held.clear) == {"value": None}
        assert not device_is_held(brick.device)


def message(mailbox, text):
    """A text as a brick's program writes it: framed MESSAGEWRITE."""
    telegram = bytes([0x80, 0x09, mailbox, len(text) + 1]) + text + b"\x00"
    return len(telegram).to_bytes(2, "little") + telegram
