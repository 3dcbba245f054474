# A control inside an asyncio program: served by the running loop's
# add_reader and call_at, with the async conveniences.
import asyncio
import os

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
        # The waiting handler is gone again.
        assert nxt._new_mail_handlers == []

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
        assert nxt._new_mail_handlers == []
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


def test_asyncio_loop_needs_a_running_loop():
    with pytest.raises(RuntimeError):
        vostrel.AsyncioLoop()
    with pytest.raises(TypeError):
        vostrel.AsyncioLoop(object())
