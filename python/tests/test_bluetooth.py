# Bricks by Bluetooth name: listing and name resolution against a real
# private D-Bus daemon, with BlueZ's interface played by python-dbusmock's
# bluez5 template. The library finds that bus as any client would, through
# DBUS_SYSTEM_BUS_ADDRESS; the tool is run the same way.
import contextlib
import os
import signal
import socket
import subprocess
import time

import dbus
import pytest
from dbusmock import DBusTestCase

import vostrel

TOOL = os.environ.get("VOSTREL_TOOL")
NXT = "00:16:53:0A:1B:2C"
NXT2 = "00:16:53:0A:1B:2D"
PHONE = "11:22:33:44:55:66"


def kernel_has_bluetooth():
    try:
        socket.socket(31, socket.SOCK_STREAM, 3).close()
        return True
    except OSError:
        return False


@contextlib.contextmanager
def system_bus(address=None):
    """A private system bus for the block (or `address` alone, for a bus
    that is not there); the daemon is stopped and the environment put back
    however the block ends."""
    old = os.environ.get("DBUS_SYSTEM_BUS_ADDRESS")
    pid = None
    try:
        if address is None:
            DBusTestCase.start_system_bus()
            pid = DBusTestCase.system_bus_pid
        else:
            os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = address
        yield
    finally:
        if pid is not None:
            DBusTestCase.stop_dbus(pid)
        if old is None:
            os.environ.pop("DBUS_SYSTEM_BUS_ADDRESS", None)
        else:
            os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = old


@pytest.fixture
def bluez():
    """BlueZ with one powered adapter and nothing else yet."""
    with system_bus():
        server, obj = DBusTestCase.spawn_server_template("bluez5", {}, stdout=subprocess.DEVNULL)
        try:
            mock = dbus.Interface(obj, "org.bluez.Mock")
            mock.AddAdapter("hci0", "this-computer")
            yield mock
        finally:
            server.terminate()
            server.wait()


def add(mock, address, name, paired=True):
    mock.AddDevice("hci0", address, name)
    if paired:
        mock.PairDevice("hci0", address, dbus.UInt32(0x804))


def tool(*args):
    if not TOOL:
        pytest.skip("VOSTREL_TOOL names no vostrel tool")
    p = subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=30)
    return p.returncode, p.stdout, p.stderr


def tool_started(*args):
    if not TOOL:
        pytest.skip("VOSTREL_TOOL names no vostrel tool")
    return subprocess.Popen([TOOL, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def connect_error(port_text):
    nxt = vostrel.Vostrel(vostrel.DefaultLoop(), ports={5: port_text})
    assert nxt.ConnectNXT(5, 9600) == 1
    assert nxt.ErrorMessage == "Connection error"
    return str(nxt.last_error.description)


def test_bricks_and_ports_list_what_bluez_knows_with_the_argument_that_opens_each(bluez):
    add(bluez, NXT, "NXT")
    add(bluez, PHONE, "Phone", paired=False)
    found = vostrel.bricks()
    assert [(b.name, b.address, b.paired, b.port) for b in found] == [
        ("NXT", NXT, True, "NXT"),
        ("Phone", PHONE, False, PHONE),
    ]
    rc, out, _ = tool("ports")
    assert rc == 0
    assert f"NXT  {NXT}  paired  use -p NXT\n" in out
    assert f"Phone  {PHONE}  not paired  use -p {PHONE} once paired (bluetoothctl pair {PHONE})" in out

    # A second brick of the same name: each is named by its address, and
    # the name alone is refused with what was found.
    add(bluez, NXT2, "NXT")
    assert [b.port for b in vostrel.bricks() if b.name == "NXT"] == [NXT, NXT2]
    rc, _, err = tool("send", "-p", "NXT", "-m", "1", "-t", "hello")
    assert rc == 1
    assert f'Connection error: 2 paired devices are named "NXT": {NXT} {NXT2}' in err
    assert f"{NXT} {NXT2}" in connect_error("NXT")


def test_a_brick_that_cannot_be_reached_says_what_to_do(bluez):
    add(bluez, NXT, "NXT", paired=False)
    for why in (connect_error("NXT"), tool("send", "-p", NXT, "-m", "1", "-t", "x")[2]):
        assert f"not paired with this computer: pair it once with `bluetoothctl pair {NXT}`" in why
    assert 'no paired Bluetooth device is named "Phone"; BlueZ knows: "NXT"' in connect_error("Phone")

    bluez.PairDevice("hci0", NXT, dbus.UInt32(0x804))
    adapter = dbus.SystemBus().get_object("org.bluez", "/org/bluez/hci0")
    dbus.Interface(adapter, "org.freedesktop.DBus.Mock").UpdateProperties(
        "org.bluez.Adapter1", {"Powered": False}
    )
    assert "the Bluetooth adapter hci0 is off: turn it on with `bluetoothctl power on`" in connect_error("NXT")


@pytest.mark.skipif(kernel_has_bluetooth(), reason="this kernel has Bluetooth")
def test_a_name_resolves_and_this_kernel_then_refuses_at_once(bluez):
    add(bluez, NXT, "NXT")
    expected = f'cannot reach the brick "NXT" ({NXT}): this system has no Bluetooth support'
    assert expected in connect_error("NXT")
    rc, _, err = tool("send", "-p", "NXT", "-m", "1", "-t", "hello")
    assert rc == 1
    assert err.startswith("Connection error: " + expected), err


def test_without_bluez_ports_still_lists_and_says_why_in_one_line():
    with system_bus():  # a bus, but no BlueZ on it
        rc, out, _ = tool("ports")
        assert rc == 0
        assert out.endswith("Bluetooth devices not listed: BlueZ is not running (no org.bluez on the system D-Bus)\n")
        with pytest.raises(vostrel.Error, match="BlueZ is not running"):
            vostrel.bricks()
    with system_bus("unix:path=/nonexistent/bus"):
        assert "no system D-Bus to ask BlueZ" in tool("ports")[1]
        assert "name it by its Bluetooth address instead" in connect_error("NXT")


@contextlib.contextmanager
def wedged_bus():
    """A real system bus whose daemon is stopped: it accepts connections
    (the kernel queues them) and never answers."""
    with system_bus():
        pid = DBusTestCase.system_bus_pid
        os.kill(pid, signal.SIGSTOP)
        try:
            yield
        finally:
            os.kill(pid, signal.SIGCONT)


def test_a_wedged_bus_costs_one_bounded_look_up_and_an_interrupt_ends_it():
    bound = "the system D-Bus did not answer within 2 s"
    with wedged_bus():
        started = time.monotonic()
        rc, out, _ = tool("ports")
        assert rc == 0 and out.endswith(f"Bluetooth devices not listed: {bound}\n")
        assert f"{bound}; name it by its Bluetooth address instead" in connect_error("NXT")
        with pytest.raises(vostrel.Error, match=bound):
            vostrel.bricks()
        # Three look-ups, each well within the 90 s of sd-bus's handshake.
        assert time.monotonic() - started < 20

        for sig, command in ((signal.SIGINT, ("send", "-m", "1", "-t", "x")), (signal.SIGTERM, ("listen",))):
            p = tool_started(command[0], "-p", "NXT", *command[1:])
            time.sleep(0.5)
            p.send_signal(sig)
            _, err = p.communicate(timeout=30)
            assert p.returncode == 1, err
            assert 'interrupted while asking BlueZ for the brick "NXT"' in err
            assert "did not answer" not in err


def shell_reads(word):
    """What a POSIX shell makes of `word` typed as one argument."""
    return subprocess.run(["sh", "-c", "printf %s " + word], capture_output=True, text=True, check=True).stdout


def test_names_from_the_air_are_shown_escaped_and_suggested_as_typed_into_a_shell(bluez):
    names = {
        "00:16:53:00:00:01": "\x1b[2J\x1b[31mNXT",
        "00:16:53:00:00:02": "My NXT",
        "00:16:53:00:00:03": "~",
        "00:16:53:00:00:04": " ",
        "00:16:53:00:00:05": "it's $HOME",
        "00:16:53:00:00:06": "NXT\nforged  00:16:53:00:00:09  paired  use -p forged",
    }
    for address, name in names.items():
        add(bluez, address, name)
    # Entries no connect can use: no Address, one that is not a string, one
    # that is not an address.
    manager = dbus.Interface(bluez.proxy_object, "org.freedesktop.DBus.Mock")
    for i, address in enumerate([None, dbus.UInt32(7), "not an address"]):
        props = {"Name": "NoAddr", "Alias": "NoAddr", "Paired": True,
                 "Adapter": dbus.ObjectPath("/org/bluez/hci0")}
        if address is not None:
            props["Address"] = address
        manager.AddObject(f"/org/bluez/hci0/dev_bad{i}", "org.bluez.Device1", props, [])

    rc, out, _ = tool("ports")
    assert rc == 0
    assert "\x1b" not in out and not any(line.startswith("forged") for line in out.splitlines())
    assert "NoAddr" not in out
    suggested = {}
    for line in out.splitlines():
        for address in names:
            if f"  {address}  " in line:
                suggested[address] = shell_reads(line.rsplit("  use -p ", 1)[1])
    assert suggested == {
        "00:16:53:00:00:01": "00:16:53:00:00:01",
        "00:16:53:00:00:02": "My NXT",
        "00:16:53:00:00:03": "~",
        "00:16:53:00:00:04": " ",
        "00:16:53:00:00:05": "it's $HOME",
        "00:16:53:00:00:06": "00:16:53:00:00:06",
    }
    assert "\\x1b[2J\\x1b[31mNXT  00:16:53:00:00:01  paired" in out
    assert "NoAddr" not in [b.name for b in vostrel.bricks()]
    assert 'no paired Bluetooth device is named "NoAddr"' in tool("send", "-p", "NoAddr", "-m", "1", "-t", "x")[2]
