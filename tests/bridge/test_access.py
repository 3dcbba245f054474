# Access is the broker's: the example users and access list, and browsers
# through Mosquitto's WebSockets listener.
import os
import subprocess
import time

import pytest

from conftest import HERE, Broker, wait_for

DOCS = os.path.join(HERE, "..", "..", "docs", "mosquitto")


@pytest.fixture
def guarded(tmp_path):
    """mosquitto with the example's access list and three users."""
    passwd = tmp_path / "vostrel.passwd"
    for i, user in enumerate(["vostrel-bridge", "teacher", "dashboard"]):
        subprocess.run(["mosquitto_passwd", "-b"] + (["-c"] if i == 0 else []) +
                       [str(passwd), user, f"{user}-secret"], check=True)
    os.chmod(passwd, 0o600)
    extra = ["allow_anonymous false",
             f"password_file {passwd}", f"acl_file {os.path.join(DOCS, 'vostrel.acl')}"]
    broker = Broker(str(tmp_path), extra, websockets=True)
    # The example's own lines, but its listeners on free loopback ports.
    conf = open(os.path.join(DOCS, "vostrel.conf")).read()
    assert "acl_file /etc/mosquitto/vostrel.acl" in conf and "protocol websockets" in conf
    broker.start()
    yield broker
    broker.stop()


def test_a_reader_cannot_send_a_sender_can(guarded, bricks, bridges, clients, tmp_path):
    brick = bricks()
    secret = tmp_path / "bridge-password"
    secret.write_text("vostrel-bridge-secret\n")
    bridge = bridges(guarded.url, [("A", brick.device)], "--username", "vostrel-bridge",
                     "--password-file", str(secret), prefix="vostrel")
    bridge.wait_log("broker: connected")
    dashboard = clients(guarded, user="dashboard", password="dashboard-secret",
                        subscribe=["vostrel/#"])
    teacher = clients(guarded, user="teacher", password="teacher-secret")
    dashboard.until("vostrel/A/state", b"online")

    dashboard.publish("vostrel/A/mailbox/1/set", b"from the dashboard")
    dashboard.publish("vostrel/A/mailbox/1/value/set", b"66")
    teacher.publish("vostrel/A/mailbox/1/set", b"from the teacher")
    wait_for(lambda: brick.stored(1), what="the teacher's send")
    time.sleep(0.3)
    assert brick.stored(1) == [b"from the teacher\0"]
    # The reader does read the brick's mail.
    brick.send_text(2, "for everyone")
    dashboard.until("vostrel/A/mailbox/2", b"for everyone")
    # The reader's publish did not even reach the bridge: no refusal either.
    assert not any("refused" in line for line in bridge.log())
    assert bridge.stop() == 0


def test_a_wrong_password_is_the_brokers_refusal_retried(guarded, bricks, bridges, tmp_path):
    brick = bricks()
    env = dict(os.environ, VOSTREL_MQTT_PASSWORD="wrong")
    bridge = bridges(guarded.url, [("A", brick.device)], "--username", "vostrel-bridge", env=env)
    bridge.wait_log(r"broker: the broker refused the connection: .*; trying again in 1 s")
    bridge.wait_log("A: online")
    assert bridge.stop() == 0


def test_a_browser_reaches_the_brick_over_websockets(guarded, bricks, bridges, clients, tmp_path):
    brick = bricks()
    secret = tmp_path / "bridge-password"
    secret.write_text("vostrel-bridge-secret")
    bridge = bridges(guarded.url, [("A", brick.device)], "--username", "vostrel-bridge",
                     "--password-file", str(secret), prefix="vostrel")
    page = clients(guarded, user="teacher", password="teacher-secret", transport="websockets",
                   port=guarded.ws_port, subscribe=["vostrel/A/#"])
    page.until("vostrel/A/state", b"online")
    page.publish("vostrel/A/mailbox/3/set", b"from a page")
    wait_for(lambda: brick.stored(3) == [b"from a page\0"], what="the page's send")
    brick.send_text(3, "to the page")
    page.until("vostrel/A/mailbox/3", b"to the page")
    assert bridge.stop() == 0
