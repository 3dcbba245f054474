# Ten thousand mails through a Python handler leave no references and no
# memory behind.
import gc
import sys
import tracemalloc

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
