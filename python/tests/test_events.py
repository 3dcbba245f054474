# Handlers: callables and subclass methods, re-entry into the control, and
# exceptions that are reported and never stop the loop.
import pytest

import vostrel
from conftest import run_until, unraisable


class Echo(vostrel.Vostrel):
    """A subclass answering every text from its own NewMail."""

    def __init__(self, loop, ports):
        super().__init__(loop, ports)
        self.got = []

    def NewMail(self, mailbox):
        text = self.ReadText(mailbox)
        self.got.append(text)
        self.SendText(mailbox + 1, b"re:" + text.rstrip(b"\x00"))


def test_subclass_method_re_enters_the_control(loop, brick):
    nxt = Echo(loop, {0: brick.device})
    assert nxt.ConnectNXT(0, 9600) == 0
    brick.send_text(2, "ping")
    run_until(loop, lambda: brick.stored(3))
    assert nxt.got == [b"ping\x00"]
    assert brick.stored(3) == [b"re:ping\x00"]


def test_handler_may_disconnect_from_inside_new_mail(nxt, brick, loop):
    results = []
    nxt.on_new_mail(lambda box: results.append(nxt.DisconnectNXT()))
    brick.send_text(1, "bye")
    run_until(loop, lambda: results)
    assert results == [0] and nxt.Connection is False
    assert nxt.ConnectNXT(0, 9600) == 0  # and the link comes back


def test_failing_handler_is_reported_and_the_loop_goes_on(nxt, brick, loop):
    got = []

    def broken(box):
        raise RuntimeError(f"broken for {box}")

    nxt.on_new_mail(broken)
    nxt.on_new_mail(got.append)  # runs although the first one failed
    brick.send_text(1, "a")
    brick.send_text(2, "b")
    with unraisable() as reports:
        run_until(loop, lambda: len(got) == 2)
    assert got == [1, 2]
    assert [str(r.exc_value) for r in reports] == ["broken for 1", "broken for 2"]
    assert reports[0].object is broken and reports[0].exc_traceback is not None


def test_failing_subclass_method_is_reported(loop, brick):
    class Broken(vostrel.Vostrel):
        def NewMail(self, mailbox):
            raise ValueError("bad")

    nxt = Broken(loop, {0: brick.device})
    assert nxt.ConnectNXT(0, 9600) == 0
    brick.send_text(1, "x")
    brick.send_text(1, "y")
    with unraisable() as reports:
        run_until(loop, lambda: len(reports) == 2)
    assert isinstance(reports[0].exc_value, ValueError) and reports[0].object is nxt
    assert nxt.ReadText(1) == b"y\x00"


def test_keyboard_interrupt_in_a_handler_ends_run(nxt, brick, loop):
    def interrupt(box):
        raise KeyboardInterrupt

    nxt.on_new_mail(interrupt)
    brick.send_text(1, "x")
    with pytest.raises(KeyboardInterrupt):
        loop.run_for(2)
    # The loop stays usable.
    nxt.remove_handler(interrupt)
    loop.run_for(0.01)


def test_remove_handler(nxt):
    def handler(box):
        pass

    nxt.on_no_ping(handler)
    nxt.remove_handler(handler)
    with pytest.raises(ValueError):
        nxt.remove_handler(handler)
    # What cannot be called is refused at once, not at every later event.
    for register in (nxt.on_new_mail, nxt.on_no_ping):
        with pytest.raises(TypeError, match="callable"):
            register(5)
