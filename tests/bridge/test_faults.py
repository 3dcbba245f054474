# The broker away and back, the bounded queue, bricks that hang up or go
# silent.
import json
import time

from conftest import PREFIX, wait_for

KEEPER = "vostrel-test-keeper"


def keeper(clients, broker):
    """A subscriber whose session the broker keeps (also across its restart,
    through its persistence file), so nothing published while it is away is
    missed."""
    return clients(broker, client_id=KEEPER, clean_session=False,
                   subscribe=[f"{PREFIX}/A/mailbox/#", f"{PREFIX}/A/dropped"])


def mails(sub, n, timeout=15):
    out = []
    while len(out) < n:
        topic, payload, _ = sub.next(timeout=timeout)
        if topic.endswith("/set"):
            continue
        out.append((topic.rsplit("/", 1)[-1] if "mailbox" in topic else "dropped", payload))
    return out


def test_broker_restart_mid_session(broker, bricks, bridges, clients):
    brick = bricks(ping_every=0.3)
    bridge = bridges(broker.url, [("A", brick.device)])
    sub = keeper(clients, broker)
    bridge.wait_log("broker: connected")
    brick.send_text(1, "before")
    assert mails(sub, 1) == [("1", b"before")]

    broker.stop()
    bridge.wait_log("trying again")
    answers = brick.status().ping_answers
    for i in range(3):
        brick.send_text(1, f"while {i}")
    # The brick is still served: its keep-alive queries are answered.
    wait_for(lambda: brick.status().ping_answers >= answers + 2, what="keep-alive answers")
    broker.start()
    # At least once: "before" may come again (its acknowledgement may have
    # been lost with the broker), but what came meanwhile comes in order.
    got = [m for m in mails(sub, 3) if m != ("1", b"before")]
    while len(got) < 3:
        got += [m for m in mails(sub, 1) if m != ("1", b"before")]
    assert got == [("1", b"while 0"), ("1", b"while 1"), ("1", b"while 2")]
    # Subscribed again: sends reach the brick.
    sender = clients(broker)
    sender.publish(f"{PREFIX}/A/mailbox/5/set", b"after")
    wait_for(lambda: brick.stored(5) == [b"after\0"], timeout=5, what="send after the restart")
    assert bridge.stop() == 0


def test_broker_absent_at_start(broker, bricks, bridges, clients):
    keeper(clients, broker).close()
    broker.stop()
    brick = bricks()
    bridge = bridges(broker.url, [("A", brick.device)])
    bridge.wait_log(r"broker: .*refused.*trying again in 1 s")
    brick.send_text(2, "early")
    bridge.wait_log("A: online")
    broker.start()
    sub = keeper(clients, broker)
    assert mails(sub, 1) == [("2", b"early")]
    state = clients(broker, subscribe=[f"{PREFIX}/A/state"])
    state.until(f"{PREFIX}/A/state", b"online")
    assert bridge.stop() == 0


def test_the_queue_keeps_the_newest_and_says_how_many_it_dropped(broker, bricks, bridges,
                                                                   clients):
    keeper(clients, broker).close()
    broker.stop()
    brick = bricks()
    bridge = bridges(broker.url, [("A", brick.device)], "--queue", "3")
    bridge.wait_log("A: online")
    for i in range(5):
        brick.send_text(7, f"m{i}")
    time.sleep(0.5)  # all five reached the bridge
    broker.start()
    sub = keeper(clients, broker)
    assert mails(sub, 4) == [("dropped", b"2"), ("7", b"m2"), ("7", b"m3"), ("7", b"m4")]
    bridge.wait_log("A: 2 mails dropped")
    assert bridge.stop() == 0


def test_a_brick_hanging_up_is_offline_at_once_while_another_goes_on(broker, bricks, bridges,
                                                                      clients):
    a, b = bricks(), bricks()
    bridge = bridges(broker.url, [("A", a.device), ("B", b.device)], "--reconnect")
    sub = clients(broker, subscribe=[f"{PREFIX}/#"])
    sub.until(f"{PREFIX}/A/state", b"online")
    sub.until(f"{PREFIX}/B/state", b"online")
    started = time.monotonic()
    a.hang_up()
    sub.until(f"{PREFIX}/A/state", b"offline", timeout=2)
    assert time.monotonic() - started < 2  # not the 10 s of the watchdog
    reasons = [sub.next(topic=f"{PREFIX}/A/state/reason")[1] for _ in range(2)]
    assert reasons == [b"", b"the line hung up"]
    # Retried with a back-off; the device is gone, so it stays offline.
    bridge.wait_log(r"A: trying again in 1\.0 s")
    bridge.wait_log(r"A: trying again in 2\.0 s", timeout=5)
    # The other brick goes on, both ways.
    b.send_text(1, "still here")
    sub.until(f"{PREFIX}/B/mailbox/1", b"still here")
    sub.publish(f"{PREFIX}/B/mailbox/1/set", b"ok")
    wait_for(lambda: b.stored(1) == [b"ok\0"], what="send to the other brick")
    # A send to the brick that is gone is refused, with why.
    sub.publish(f"{PREFIX}/A/mailbox/1/set", b"lost?")
    error = json.loads(sub.next(topic=f"{PREFIX}/A/error")[1])
    assert "not connected" in error["reason"] and error["payload"] == "lost?"
    assert bridge.stop() == 0


def test_a_silent_brick_is_no_answer_then_online_again(broker, bricks, bridges, clients):
    brick = bricks(ping_every=0.1)
    bridge = bridges(broker.url, [("A", brick.device)], "--watchdog-ms", "400")
    sub = clients(broker, subscribe=[f"{PREFIX}/A/state"])
    sub.until(f"{PREFIX}/A/state", b"online")
    brick.go_silent(1.5)
    sub.until(f"{PREFIX}/A/state", b"no answer", timeout=3)
    sub.until(f"{PREFIX}/A/state", b"online", timeout=5)
    assert bridge.stop() == 0


def test_a_brick_absent_at_start_is_offline_and_retried(broker, bricks, bridges, clients, tmp_path):
    missing = str(tmp_path / "no-such-device")
    brick = bricks()
    bridge = bridges(broker.url, [("A", missing), ("B", brick.device)], "--reconnect")
    sub = clients(broker, subscribe=[f"{PREFIX}/+/state", f"{PREFIX}/+/state/reason"])
    sub.until(f"{PREFIX}/A/state", b"offline")
    sub.until(f"{PREFIX}/B/state", b"online")
    bridge.wait_log(r"A: trying again in 1\.0 s")
    assert bridge.stop() == 0
