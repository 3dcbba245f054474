# mqtts:// with a private certificate authority (--cafile).
import os
import subprocess
import time

import pytest

from conftest import Broker, free_ports


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


@pytest.fixture
def tls_broker(tmp_path):
    d = str(tmp_path)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=vostrel test CA", cwd=d)
    openssl("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1",
            cwd=d)
    (tmp_path / "san.ext").write_text("subjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "san.ext", cwd=d)
    os.chmod(tmp_path / "server.key", 0o644)
    broker = Broker(d, listener=[f"certfile {d}/server.pem", f"keyfile {d}/server.key"])
    broker.ca = f"{d}/ca.pem"
    broker.start()
    yield broker
    broker.stop()


def test_mqtts_with_a_private_ca(tls_broker, bricks, bridges):
    brick = bricks()
    url = f"mqtts://127.0.0.1:{tls_broker.port}"
    bridge = bridges(url, [("A", brick.device)], "--cafile", tls_broker.ca)
    bridge.wait_log("broker: connected to 127.0.0.1")
    assert bridge.stop() == 0
    # Without the CA the broker's certificate is not trusted: no connection.
    stranger = bridges(url, [("A", brick.device)])
    stranger.wait_log(r"broker: .*trying again in 1 s")
    assert not any("connected" in line for line in stranger.log())
    assert stranger.stop() == 0


def test_a_refused_tls_connection_is_retried_without_spinning(tls_broker, bricks, bridges):
    brick = bricks()
    (nobody,) = free_ports(1)
    bridge = bridges(f"mqtts://127.0.0.1:{nobody}", [("A", brick.device)], "--cafile",
                     tls_broker.ca)
    bridge.wait_log(r"broker: .*trying again in 1 s")
    # Waiting for the next try, the failed socket does not keep it busy.
    before = cpu_seconds(bridge.proc.pid)
    time.sleep(2)
    assert cpu_seconds(bridge.proc.pid) - before < 0.2
    bridge.wait_log(r"broker: .*trying again in 2 s")
    assert bridge.stop() == 0
