# A control inside an asyncio program: served by the running loop's
# add_reader and call_at, with the async conveniences.
import asyncio
import os
import weakref

import pytest

import vostrel
import vostrel.sim


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 10))


@pytest.fixture
def echo_brick():
    with vostrel.sim.Brick(ping_every=0.02, echo_boxes=[1]) as b:
        yield b


def test_next_mail_and_keep_alive_on_asyncio(echo_brick):
    async def main():
        threads = len(os.listdir("/proc/self/task"))
        nxt = vostrel.Vostrel(vostrel.AsyncioLoop(), ports={0: echo_brick.device})
        assert nxt.ConnectNXT(0, 9600) == 0
        assert nxt.SendText(1, "hi") == 0
        reply = await nxt.next_mail(1, timeout=2)
        await asyncio.sleep(0.1)  # keep-alive queries answered meanwhile
        assert len(os.listdir("/proc/self/task")) == threads  # served by asyncio's own thread
        nxt.DisconnectNXT()
        return reply

    assert run(main()) == b"got hi\x00"
    assert echo_brick.status().ping_answers >= 2


def test_next_mail_times_out(brick):
    async def main():
        nxt = vostrel.Vostrel(vostrel.AsyncioLoop(), ports={0: brick.device})
        assert nxt.ConnectNXT(0, 9600) == 0
        with pytest.raises(asyncio.TimeoutError):
            await nxt.next_mail(4, timeout=0.05)
        # The waiting helper is gone again.
        assert nxt._new_mail_handlers == [] and nxt._takers == []

    run(main())


def test_mails_iterator_keeps_every_text(brick):
    async def main():
        nxt = vostrel.Vostrel(vostrel.AsyncioLoop(), ports={0: brick.device})
        assert nxt.ConnectNXT(0, 9600) == 0
        got = []
        async with nxt.mails() as mails:
            for i in range(5):
                brick.send_text(i % 2, f"t{i}")  # twice to the same mailbox before anyone reads
            async for box, text in mails:
                got.append((box, text))
                if len(got) == 5:
                    break
        assert nxt._new_mail_handlers == [] and nxt._takers == []
        return got

    assert run(main()) == [(i % 2, f"t{i}\x00".encode()) for i in range(5)]


def test_watchdog_and_handler_failures_on_asyncio(brick):
    from conftest import unraisable

    async def main():
        nxt = vostrel.Vostrel(vostrel.AsyncioLoop(), ports={0: brick.device})
        nxt.watchdog_interval = 0.02
        pinged = asyncio.Event()

        def broken():
            raise RuntimeError("no ping")

        nxt.on_no_ping(broken)
        nxt.on_no_ping(pinged.set)
        assert nxt.ConnectNXT(0, 9600) == 0
        brick.go_silent(1)
        with unraisable() as reports:
            await asyncio.wait_for(pinged.wait(), 2)
        assert nxt.ErrorMessage == "Ping error"
        assert str(reports[0].exc_value) == "no ping"
        nxt.DisconnectNXT()

    run(main())


def test_a_connect_the_closed_loop_refuses_holds_nothing(brick):
    closed = asyncio.new_event_loop()
    closed.close()
    refused = vostrel.Vostrel(vostrel.AsyncioLoop(closed), ports={0: brick.device})
    assert refused.ConnectNXT(0, 9600) == 1

    async def another_control():
        nxt = vostrel.Vostrel(vostrel.AsyncioLoop(), ports={0: brick.device})
        assert nxt.ConnectNXT(0, 9600) == 0, nxt.last_error  # the device was let go
        nxt.DisconnectNXT()

    run(another_control())


def test_asyncio_loop_needs_a_running_loop():
    with pytest.raises(RuntimeError):
        vostrel.AsyncioLoop()
    with pytest.raises(TypeError):
        vostrel.AsyncioLoop(object())


class TestHelpers:
    def test_an_iterator_left_by_break_is_released(self, brick):
        async def main():
            nxt = vostrel.Vostrel(vostrel.AsyncioLoop(), ports={0: brick.device})
            arrived = asyncio.Event()
            nxt.on_new_mail(lambda box: arrived.set())
            assert nxt.ConnectNXT(0, 9600) == 0
            brick.send_text(1, "first")
            mails = nxt.mails()
            gone = weakref.ref(mails)
            async for box, text in mails:  # as the README's example, no aclose
                assert (box, text) == (1, b"first\x00")
                break
            del mails
            assert gone() is None and nxt._takers == []
            # Later texts stay in the control's slots for the program.
            arrived.clear()
            brick.send_text(2, "later")
            await asyncio.wait_for(arrived.wait(), 2)
            assert nxt.ReadText(2) == b"later\x00"

        run(main())

    def test_aclose_ends_the_tasks_waiting_for_a_mail(self, brick):
        async def main():
            nxt = vostrel.Vostrel(vostrel.AsyncioLoop(), ports={0: brick.device})
            mails = nxt.mails()

            async def consume():
                return [m async for m in mails]

            waiting = [asyncio.create_task(consume()) for _ in range(2)]
            await asyncio.sleep(0.01)
            assert not any(t.done() for t in waiting)
            await mails.aclose()
            assert await asyncio.wait_for(asyncio.gather(*waiting), 1) == [[], []]
            assert nxt._takers == []
            with pytest.raises(StopAsyncIteration):
                await mails.__anext__()

        run(main())

    def test_they_need_a_control_on_the_running_asyncio_loop(self, brick):
        blocking = vostrel.Vostrel(vostrel.DefaultLoop(), ports={0: brick.device})

        async def main():
            with pytest.raises(RuntimeError, match="AsyncioLoop"):
                await blocking.next_mail(1, timeout=0.5)
            with pytest.raises(RuntimeError, match="AsyncioLoop"):
                blocking.mails()
            nxt = vostrel.Vostrel(vostrel.AsyncioLoop(), ports={0: brick.device})
            for mailbox in (10, None):  # no text ever comes to 10; None is no mailbox
                with pytest.raises(ValueError):
                    await nxt.next_mail(mailbox, timeout=0.5)
            with pytest.raises(ValueError):
                nxt.mails(-1)
            return nxt

        nxt = run(main())

        async def other_loop():
            with pytest.raises(RuntimeError, match="another asyncio loop"):
                await nxt.next_mail(1, timeout=0.5)

        run(other_loop())

    def test_one_read_is_shared_by_every_helper_before_the_handlers(self, brick):
        async def main():
            nxt = vostrel.Vostrel(vostrel.AsyncioLoop(), ports={0: brick.device})
            handled = []
            nxt.on_new_mail(lambda box: handled.append((box, nxt.ReadText(box))))
            assert nxt.ConnectNXT(0, 9600) == 0
            async with nxt.mails(1) as mails, nxt.mails() as every:
                waiting = [asyncio.create_task(nxt.next_mail(1, timeout=2)) for _ in range(2)]
                await asyncio.sleep(0.01)
                brick.send_text(1, "x")
                assert await asyncio.gather(*waiting) == [b"x\x00", b"x\x00"]
                assert await anext(mails) == (1, b"x\x00")
                assert await anext(every) == (1, b"x\x00")
                # The handler ran after them and found the slot taken.
                assert handled == [(1, b"")]
                # A mailbox only `every` wants: its text is taken too.
                brick.send_text(2, "y")
                assert await asyncio.wait_for(anext(every), 2) == (2, b"y\x00")
                assert handled[-1] == (2, b"")
            # No helper left: the text stays for the handlers.
            brick.send_text(3, "z")
            while len(handled) < 3:
                await asyncio.sleep(0.005)
            assert handled[-1] == (3, b"z\x00")

        run(main())
