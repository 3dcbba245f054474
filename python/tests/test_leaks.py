# Ten thousand mails through a Python handler, on either loop, leave no
# references and no memory behind; a dropped control is freed.
import gc
import sys
import tracemalloc
import weakref

import vostrel
from conftest import run_until


def test_no_reference_or_memory_leak_over_10000_mails(nxt, brick, loop):
    count = 0

    def handler(box):
        nonlocal count
        count += 1
        nxt.ReadText(box)

    nxt.on_new_mail(handler)

    def deliver(n):
        target = count + n
        for i in range(n):
            brick.send_text(i % 10, b"mail %d" % i)
            if i % 200 == 199:  # let the line drain before the brick queues more
                run_until(loop, lambda: count >= target - n + i + 1)
        run_until(loop, lambda: count >= target, timeout=10)

    deliver(1000)  # warm-up: caches, free lists
    gc.collect()
    refs = (sys.getrefcount(nxt), sys.getrefcount(handler), sys.getrefcount(loop))
    objects = len(gc.get_objects())
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    deliver(10_000)
    gc.collect()
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert count == 11_000
    assert (sys.getrefcount(nxt), sys.getrefcount(handler), sys.getrefcount(loop)) == refs
    assert len(gc.get_objects()) - objects < 50
    # One leaked object per mail would be 10,000 blocks of tens of bytes.
    assert after - before < 64 * 1024


def test_no_leak_over_10000_mails_on_asyncio(brick):
    import asyncio

    async def main():
        loop = vostrel.AsyncioLoop()
        nxt = vostrel.Vostrel(loop, ports={0: brick.device})
        handled = 0

        def handler(box):
            nonlocal handled
            handled += 1

        nxt.on_new_mail(handler)
        assert nxt.ConnectNXT(0, 9600) == 0
        async with nxt.mails() as mails:

            async def deliver(n):
                for start in range(0, n, 200):  # let the line drain before the brick queues more
                    for i in range(start, start + 200):
                        brick.send_text(i % 10, b"mail %d" % i)
                    for i in range(start, start + 200):
                        # No wait_for per mail: its cancelled timers linger in asyncio's heap.
                        assert await anext(mails) == (i % 10, b"mail %d\x00" % i)

            await deliver(1000)  # warm-up: caches, free lists
            gc.collect()
            refs = (sys.getrefcount(nxt), sys.getrefcount(handler), sys.getrefcount(loop),
                    sys.getrefcount(mails))
            objects = len(gc.get_objects())
            tracemalloc.start()
            before = tracemalloc.get_traced_memory()[0]
            await deliver(10_000)
            gc.collect()
            after = tracemalloc.get_traced_memory()[0]
            tracemalloc.stop()
            assert handled == 11_000
            assert (sys.getrefcount(nxt), sys.getrefcount(handler), sys.getrefcount(loop),
                    sys.getrefcount(mails)) == refs
            assert len(gc.get_objects()) - objects < 50
            assert after - before < 64 * 1024
        nxt.DisconnectNXT()

    asyncio.run(asyncio.wait_for(main(), 60))


def test_a_dropped_control_whose_handler_holds_it_is_freed(brick, loop):
    nxt = vostrel.Vostrel(loop, ports={0: brick.device})
    nxt.on_no_ping(nxt.DisconnectNXT)  # a cycle: the control holds its own bound method
    assert nxt.ConnectNXT(0, 9600) == 0
    gone = weakref.ref(nxt)
    del nxt
    other = vostrel.Vostrel(loop, ports={0: brick.device})
    assert other.ConnectNXT(0, 9600) == 1  # the port is still held
    gc.collect()
    assert gone() is None
    assert other.ConnectNXT(0, 9600) == 0, other.ErrorMessage
