# The simulated brick's options and queries as Python passes them: texts
# one byte per character like every other text, any iterable where a
# collection is taken, and mailboxes the brick really has.
import pytest

import vostrel
import vostrel.sim
from conftest import run_until


class TestPingText:
    def test_latin1_one_byte_per_character(self, loop):
        with vostrel.sim.Brick(ping_every=0.02, ping_text="?caf\xe9", echo_boxes=[]) as brick:
            nxt = vostrel.Vostrel(loop, ports={0: brick.device})
            assert nxt.ConnectNXT(0, 9600) == 0
            run_until(loop, lambda: brick.status().ping_answers >= 1)
            # The host's answer, byte for byte: '?' turned into '!'.
            assert brick.stored(0)[0] == b"!caf\xe9\x00"
            assert brick.status().wrong_answers == 0

    @pytest.mark.parametrize(
        "text, error, match",
        [
            ("?\u20ac", vostrel.TypeMismatch, "U\\+20AC at position 1"),
            ("hello", ValueError, "begins with '\\?'"),
            ("", ValueError, "begins with"),
            ("?" + "x" * 58, ValueError, "58 bytes"),
        ],
    )
    def test_refused(self, text, error, match):
        with pytest.raises(error, match=match):
            vostrel.sim.Brick(ping_text=text)


class TestCollections:
    def test_any_iterable(self, loop):
        boxes = (b for b in (2, 3))  # a generator: read once
        texts = iter([(4, "four")])
        numbers = {(5, 7)}
        with vostrel.sim.Brick(ping_every=0, echo_boxes=boxes, send_texts=texts, send_numbers=numbers,
                               send_every=0.3, send_count=1) as brick:
            # The brick's one round goes out send_every after it starts, and bytes sent
            # before the line is opened are not the host's: leave the host time to open.
            nxt = vostrel.Vostrel(loop, ports={0: brick.device})
            got = {}
            nxt.on_new_mail(lambda box: got.setdefault(box, nxt.ReadText(box)))
            assert nxt.ConnectNXT(0, 9600) == 0
            nxt.SendText(2, "a")
            nxt.SendText(3, "b")
            run_until(loop, lambda: len(got) == 4, timeout=5.0)
            assert got == {2: b"got a\x00", 3: b"got b\x00", 4: b"four\x00", 5: b"\x07\x00\x00\x00\x00"}

    @pytest.mark.parametrize(
        "options, error",
        [
            ({"echo_boxes": 1}, TypeError),
            ({"echo_boxes": "12"}, TypeError),
            ({"echo_boxes": [1.0]}, TypeError),
            ({"echo_boxes": [10]}, ValueError),
            ({"send_texts": [(1, "a", "b")]}, ValueError),
            ({"send_texts": ["ab"]}, TypeError),
            ({"send_numbers": [(1, 2**31)]}, ValueError),
        ],
    )
    def test_refused(self, options, error):
        with pytest.raises(error):
            vostrel.sim.Brick(**options)


class TestMailboxes:
    def test_stored_covers_the_bricks_twenty_mailboxes_only(self, brick):
        status = brick.status()
        for query in (brick.stored, status.stored, brick.inbox):
            assert query(0) == [] and query(19) == []
            for outside in (20, 42, -1):
                with pytest.raises(ValueError, match="0 to 19"):
                    query(outside)


def test_closed_by_its_own_wait_until_predicate():
    brick = vostrel.sim.Brick(ping_every=0, echo_boxes=[])
    with pytest.raises(ValueError, match="closed"):
        brick.wait_until(lambda status: brick.close(), timeout=1)
