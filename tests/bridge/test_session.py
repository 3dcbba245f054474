# A session both ways, mail bursts, and the end on a signal.
import json
import signal
import struct

import pytest

from conftest import PREFIX, wait_for


def frame(inbox, text):
    """A brick program's MESSAGEWRITE to the PC, framed."""
    telegram = bytes([0x80, 0x09, inbox, len(text) + 1]) + text + b"\0"
    return struct.pack("<H", len(telegram)) + telegram


def start(bricks, bridges, clients, broker, names=("A",), **brick_options):
    made = [bricks(**brick_options) for _ in names]
    bridge = bridges(broker.url, list(zip(names, (b.device for b in made))))
    sub = clients(broker, subscribe=[f"{PREFIX}/#"])
    for n in names:
        sub.until(f"{PREFIX}/{n}/state", b"online")
    return made, bridge, sub


def test_a_session_both_ways(broker, bricks, bridges, clients):
    (brick,), bridge, sub = start(bricks, bridges, clients, broker)
    sub.until(f"{PREFIX}/bridge/state", b"online")

    brick.send_text(1, "hello")
    assert sub.next(topic=f"{PREFIX}/A/mailbox/1")[1] == b"hello"

    sub.publish(f"{PREFIX}/A/mailbox/2/set", b"hi there")
    sub.publish(f"{PREFIX}/A/mailbox/3/value/set", b"1234")
    wait_for(lambda: brick.stored(2) and brick.stored(3), what="both sends stored")
    assert brick.stored(2) == [b"hi there\0"]
    assert brick.stored(3) == [struct.pack("<i", 1234) + b"\0"]
    assert bridge.proc.poll() is None
    assert bridge.stop() == 0


def test_five_mails_in_one_read_are_five_messages_in_order(broker, bricks, bridges, clients):
    (brick,), _, sub = start(bricks, bridges, clients, broker)
    brick.send_garbage(b"".join(frame(4, f"m{i}".encode()) for i in range(5)))
    got = [sub.next(topic=f"{PREFIX}/A/mailbox/4")[1] for _ in range(5)]
    assert got == [b"m0", b"m1", b"m2", b"m3", b"m4"]


def test_mail_bytes_pass_unchanged(broker, bricks, bridges, clients):
    (brick,), _, sub = start(bricks, bridges, clients, broker)
    brick.send_text(0, b"\xe9t\xe9 \x01\x7f")
    brick.send_text(9, b"x" * 58)
    assert sub.next(topic=f"{PREFIX}/A/mailbox/0")[1] == b"\xe9t\xe9 \x01\x7f"
    assert sub.next(topic=f"{PREFIX}/A/mailbox/9")[1] == b"x" * 58


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_ends_it_with_the_states_published(broker, bricks, bridges, clients, sig):
    (brick,), bridge, sub = start(bricks, bridges, clients, broker, names=("A",))
    assert bridge.stop(sig) == 0
    sub.until(f"{PREFIX}/A/state", b"offline")
    sub.until(f"{PREFIX}/bridge/state", b"offline")
    # Retained: a client that comes later is told too.
    late = clients(broker, subscribe=[f"{PREFIX}/A/state/reason", f"{PREFIX}/A/state"])
    seen = {late.next()[0:2] for _ in range(2)}
    assert seen == {(f"{PREFIX}/A/state", b"offline"),
                    (f"{PREFIX}/A/state/reason", b"the bridge stopped")}


def test_the_last_will_says_offline_when_the_bridge_vanishes(broker, bricks, bridges, clients):
    (_,), bridge, sub = start(bricks, bridges, clients, broker)
    sub.until(f"{PREFIX}/bridge/state", b"online")
    bridge.proc.kill()
    bridge.proc.wait()
    sub.until(f"{PREFIX}/bridge/state", b"offline", timeout=10)


MALFORMED = [
    # (topic suffix, payload, reason fragment)
    ("mailbox/1/set", b"x" * 59, "59 bytes"),
    ("mailbox/1/set", b"a\0b", "NUL"),
    ("mailbox/1/value/set", b"12a", "not a whole number"),
    ("mailbox/1/value/set", b"", "not a whole number"),
    ("mailbox/1/value/set", b"2147483648", "not a whole number"),
    ("mailbox/1/value/set", b"\xff\xfe", "not a whole number"),
    ("mailbox/10/set", b"hi", "no mailbox 10"),
    ("mailbox/x/value/set", b"1", "no mailbox x"),
]


def test_malformed_sends_are_refused_on_the_error_topic(broker, bricks, bridges, clients):
    (brick,), bridge, sub = start(bricks, bridges, clients, broker)
    for suffix, payload, reason in MALFORMED:
        topic = f"{PREFIX}/A/{suffix}"
        sub.publish(topic, payload)
        error = json.loads(sub.next(topic=f"{PREFIX}/A/error")[1])
        assert error["topic"] == topic
        assert reason in error["reason"], (payload, error)
        assert error["payload"] == payload.decode("latin-1")
        assert error["bytes"] == len(payload)
    # A huge payload is echoed cut short, with its length.
    sub.publish(f"{PREFIX}/A/mailbox/1/set", b"\x80" * 100000)
    error = json.loads(sub.next(topic=f"{PREFIX}/A/error")[1])
    assert error["bytes"] == 100000 and error["payload"] == "\x80" * 256
    # A brick this bridge does not have.
    sub.publish(f"{PREFIX}/Z/mailbox/1/set", b"hi")
    error = json.loads(sub.next(topic=f"{PREFIX}/bridge/error")[1])
    assert "no brick named Z" in error["reason"]
    # None reached the brick; the fine edge cases did, byte for byte.
    assert all(not brick.stored(i) for i in range(10))
    sub.publish(f"{PREFIX}/A/mailbox/1/set", b"")
    sub.publish(f"{PREFIX}/A/mailbox/1/set", b"\xe9\xff" * 29)
    sub.publish(f"{PREFIX}/A/mailbox/2/value/set", b" -5\n")
    wait_for(lambda: len(brick.stored(1)) == 2 and brick.stored(2), what="the fine sends")
    assert brick.stored(1) == [b"\0", b"\xe9\xff" * 29 + b"\0"]
    assert len(brick.stored(2)) == 1
    assert bridge.proc.poll() is None


def test_a_full_line_refuses_sends_on_the_error_topic(broker, bricks, bridges, clients):
    (brick,), bridge, sub = start(bricks, bridges, clients, broker)
    brick.stop_reading(True)
    for i in range(800):
        sub.c.publish(f"{PREFIX}/A/mailbox/1/set", b"y" * 58, 1)
    error = json.loads(sub.next(topic=f"{PREFIX}/A/error", timeout=15)[1])
    assert "not taking bytes" in error["reason"], error
    assert error["payload"] == "y" * 58
    brick.stop_reading(False)
    assert bridge.proc.poll() is None
