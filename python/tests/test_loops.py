# The blocking loop from Python: the GIL released while it waits, posting
# and stopping from other threads, Ctrl-C.
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import vostrel


class TestDefaultLoop:
    def test_run_for_returns_after_its_time(self, loop):
        t0 = time.monotonic()
        loop.run_for(0.12)
        assert 0.11 <= time.monotonic() - t0 < 1.0
        # A time past the clock's range runs until stopped rather than not at all.
        threading.Timer(0.2, loop.stop).start()
        t0 = time.monotonic()
        loop.run_for(1e10)
        assert time.monotonic() - t0 >= 0.19

    def test_other_threads_run_while_it_waits(self, loop):
        # A thread notes the longest pause between two of its steps. Held
        # by the waiting loop, the GIL would pause it for the whole wait.
        longest = 0.0
        started = threading.Event()
        done = threading.Event()

        def spin():
            nonlocal longest
            last = time.monotonic()
            started.set()
            while not done.is_set():
                now = time.monotonic()
                longest = max(longest, now - last)
                last = now

        worker = threading.Thread(target=spin)
        worker.start()
        started.wait()
        try:
            loop.run_for(0.6)
        finally:
            done.set()
            worker.join()
        # Held, the pause would be the whole 0.6 s; the margin is for a
        # loaded machine's scheduling.
        assert longest < 0.3

    def test_post_and_stop_from_another_thread(self, loop):
        ran = []

        def other():
            loop.post(lambda: ran.append(threading.get_ident()))
            loop.post(lambda: ran.append("second"))
            loop.post(loop.stop)

        threading.Thread(target=other).start()
        t0 = time.monotonic()
        loop.run()
        assert time.monotonic() - t0 < 2
        assert ran == [threading.get_ident(), "second"]

    def test_stop_before_run_returns_at_once(self, loop):
        loop.stop()
        t0 = time.monotonic()
        loop.run()
        assert time.monotonic() - t0 < 0.5

    def test_failing_posted_callable_is_reported(self, loop):
        from conftest import unraisable

        def broken():
            raise LookupError("posted")

        loop.post(broken)
        loop.post(loop.stop)
        with unraisable() as reports:
            loop.run()
        assert [type(r.exc_value) for r in reports] == [LookupError]

    def test_run_inside_its_own_callback_is_refused(self, loop):
        errors = []

        def nested():
            try:
                loop.run_for(0.01)
            except ValueError as e:
                errors.append(e)
            loop.stop()

        loop.post(nested)
        loop.run()
        assert len(errors) == 1

    def test_post_takes_only_callables(self, loop):
        with pytest.raises(TypeError):
            loop.post(42)

    @pytest.mark.parametrize("where", ["main thread", "other thread"])
    def test_an_idle_run_sleeps(self, loop, where):
        # Nothing to do for half a second: one wake-up at the end, not the
        # ten of waiting in slices for signals.
        counted = []

        def run():
            before = loop.wakeups
            loop.run_for(0.5)
            counted.append(loop.wakeups - before)

        if where == "main thread":
            run()
        else:
            worker = threading.Thread(target=run)
            worker.start()
            worker.join()
        assert counted[0] <= 3

    def test_signal_handlers_run_while_it_sleeps(self, loop):
        # A handler that does not raise runs during the run (here it stops
        # the loop); the program's own wake-up descriptor is back afterwards
        # and has received the signal's number.
        read_end, write_end = os.pipe2(os.O_NONBLOCK)
        old_handler = signal.signal(signal.SIGUSR1, lambda *_: loop.stop())
        old_fd = signal.set_wakeup_fd(write_end)
        sender = threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGUSR1))
        rescue = threading.Timer(5.0, loop.stop)
        try:
            sender.start()
            rescue.start()
            t0 = time.monotonic()
            loop.run()
            elapsed = time.monotonic() - t0
        finally:
            sender.cancel()
            rescue.cancel()
            mine = signal.set_wakeup_fd(old_fd)
            signal.signal(signal.SIGUSR1, old_handler)
        try:
            assert mine == write_end
            assert os.read(read_end, 64) == bytes([signal.SIGUSR1])
            assert elapsed < 2.0  # well before the rescue
        finally:
            os.close(read_end)
            os.close(write_end)


def test_ctrl_c_ends_a_blocking_run_promptly():
    # 'ready' comes from inside run(), where the signal is watched: a
    # signal sent after it lands inside the try block. Python's own SIGINT
    # handler is installed also where the test runs with SIGINT ignored (a
    # background job), which the child would inherit.
    program = (
        "import signal, sys, vostrel\n"
        "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
        "loop = vostrel.DefaultLoop()\n"
        "loop.post(lambda: print('ready', flush=True))\n"
        "try:\n"
        "    loop.run()\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted', flush=True)\n"
        "    sys.exit(3)\n"
    )
    env = dict(os.environ)
    proc = subprocess.Popen([sys.executable, "-c", program], stdout=subprocess.PIPE, text=True, env=env)
    try:
        assert proc.stdout.readline().strip() == "ready"
        t0 = time.monotonic()
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=5) == 3
        assert time.monotonic() - t0 < 2.0  # well under the 5 s wait
        assert proc.stdout.read().strip() == "interrupted"
    finally:
        proc.kill()
        proc.wait()


def test_exit_while_a_daemon_thread_runs_a_busy_loop():
    # The interpreter exits while the loop's thread keeps taking the GIL for
    # posted callables and a handler, and another waits on a simulated
    # brick: the process ends normally.
    program = (
        "import threading, vostrel, vostrel.sim\n"
        "brick = vostrel.sim.Brick(ping_every=0, echo_boxes=[], send_texts=[(1, 'x')], send_every=0.001)\n"
        "device = brick.device\n"
        "busy = threading.Event()\n"
        "def serve():\n"
        "    loop = vostrel.DefaultLoop()\n"
        "    nxt = vostrel.Vostrel(loop, ports={0: device})\n"
        "    nxt.on_new_mail(lambda box: (nxt.ReadText(box), busy.set()))\n"
        "    nxt.ConnectNXT(0, 9600)\n"
        "    def again():\n"
        "        loop.post(again)\n"
        "    again()\n"
        "    loop.run()\n"
        "def wait():\n"
        "    other = vostrel.sim.Brick(ping_every=0.001)\n"
        "    while True:\n"
        "        other.wait_until(lambda status: False, 0.002)\n"
        "threading.Thread(target=serve, daemon=True).start()\n"
        "threading.Thread(target=wait, daemon=True).start()\n"
        "assert busy.wait(5)\n"
    )
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=30)
        assert done.returncode == 0, done.stderr
