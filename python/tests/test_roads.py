# The two roads through a real pseudo-terminal: a message out to the
# simulated brick, a message in from it; keep-alive queries, silence and
# hang-up.
import vostrel
import vostrel.sim
from conftest import run_until


class TestRoadOut:
    def test_text_and_number_reach_the_brick(self, nxt, brick):
        assert nxt.SendText(3, "hello") == 0
        assert nxt.ErrorMessage == "No errores"
        assert nxt.SendText(-4, b"\x00\xffraw") == 0  # mailbox -4 goes to 4; bytes as they are
        assert nxt.SendValue(2, -70000) == 0
        assert brick.wait_until(lambda s: s.stored(2), timeout=2)
        assert brick.stored(3) == [b"hello\x00"]
        assert brick.stored(4) == [b"\x00\xffraw\x00"]
        assert brick.stored(2)[0][:4] == (70000).to_bytes(4, "little")
        # ConnectNXT's beep.
        assert brick.tones == [(1000, 500)]


class TestRoadIn:
    def test_text_arrives_as_new_mail(self, nxt, brick, loop):
        got = []
        nxt.on_new_mail(lambda box: got.append((box, nxt.ReadText(box))))
        brick.send_text(1, "world")
        brick.send_text(7, b"\xe9t\xe9", pieces=3, gap=0.005)  # split over three writes
        run_until(loop, lambda: len(got) == 2)
        assert got == [(1, b"world\x00"), (7, b"\xe9t\xe9\x00")]
        assert nxt.ReadText(1) == b""

    def test_number_from_the_brick_is_stored_as_its_bytes(self, nxt, brick, loop):
        got = []
        nxt.on_new_mail(lambda box: got.append(nxt.ReadText(box)))
        brick.send_number(5, 258)
        run_until(loop, lambda: got)
        assert got == [b"\x02\x01\x00\x00\x00"]


def test_keep_alive_queries_are_answered_without_python():
    with vostrel.sim.Brick(ping_every=0.02, echo_boxes=[]) as brick:
        loop = vostrel.DefaultLoop()
        nxt = vostrel.Vostrel(loop, ports={0: brick.device})
        seen = []
        nxt.on_new_mail(seen.append)
        assert nxt.ConnectNXT(0, 9600) == 0
        run_until(loop, lambda: brick.status().ping_answers >= 3)
        assert brick.status().wrong_answers == 0
        assert seen == []  # queries are answered, not delivered as mail


def test_silence_raises_no_ping_and_sets_ping_error(nxt, brick, loop):
    pings = []
    nxt.on_no_ping(lambda: pings.append(nxt.ErrorMessage))
    nxt.watchdog_interval = 0.03
    brick.go_silent(1.0)
    run_until(loop, lambda: len(pings) >= 2)
    # The handler runs before the status text is set.
    assert pings[0] == "No errores"
    assert nxt.ErrorMessage == "Ping error"
    nxt.PingNXT = False
    count = len(pings)
    loop.run_for(0.1)
    assert len(pings) == count


def test_hang_up_is_survived_and_reported_by_the_watchdog(nxt, brick, loop):
    pings = []
    nxt.on_no_ping(lambda: pings.append(1))
    nxt.watchdog_interval = 0.03
    brick.hang_up()
    run_until(loop, lambda: pings)
    assert nxt.SendText(1, "anyone?") == 1
    assert nxt.DisconnectNXT() == 0
    assert nxt.Connection is False
