#!/usr/bin/python3
"""Makes hci0 look like an NXT (name "NXT", class toy/robot, PIN pairing
only) and pairs hci1 with it, PIN 1234 on both sides, as a user does once
with bluetoothctl. Prints NXT=<address> and HOST=<address>; exit status 0
once both sides say they are paired."""
import subprocess
import sys
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BLUEZ, A1, D1 = "org.bluez", "org.bluez.Adapter1", "org.bluez.Device1"
PIN = "1234"


def pump(pred, seconds):
    """Runs the bus's main loop (the agent answers from it) until pred()."""
    ctx, end = GLib.MainContext.default(), time.monotonic() + seconds
    while time.monotonic() < end:
        while ctx.pending():
            ctx.iteration(False)
        value = pred()
        if value:
            return value
        time.sleep(0.02)
    return pred()


class Agent(dbus.service.Object):
    """Answers the PIN requests of both sides."""

    @dbus.service.method("org.bluez.Agent1", in_signature="o", out_signature="s")
    def RequestPinCode(self, device):
        print("agent: PIN asked for", device, flush=True)
        return PIN

    @dbus.service.method("org.bluez.Agent1", in_signature="os", out_signature="")
    def AuthorizeService(self, device, uuid):
        pass

    @dbus.service.method("org.bluez.Agent1", in_signature="", out_signature="")
    def Cancel(self):
        pass

    @dbus.service.method("org.bluez.Agent1", in_signature="", out_signature="")
    def Release(self):
        pass


def run(*cmd):
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=20)
    return (p.stdout + p.stderr).strip()


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()

    def objects():
        om = dbus.Interface(bus.get_object(BLUEZ, "/"), "org.freedesktop.DBus.ObjectManager")
        return om.GetManagedObjects()

    def props(path):
        return dbus.Interface(bus.get_object(BLUEZ, path), "org.freedesktop.DBus.Properties")

    adapters = pump(lambda: sorted(str(p) for p, i in objects().items() if A1 in i and
                                   len([1 for i2 in objects().values() if A1 in i2]) >= 2), 30)
    if not adapters:
        print("BlueZ shows fewer than two adapters")
        return 1
    brick, host = adapters[0], adapters[1]
    for a in (brick, host):
        props(a).Set(A1, "Powered", dbus.Boolean(True))
    pump(lambda: all(props(a).Get(A1, "Powered") for a in (brick, host)), 20)
    brick_addr = str(props(brick).Get(A1, "Address"))
    host_addr = str(props(host).Get(A1, "Address"))
    # The name before Simple Pairing goes off: bluetoothd announces it in
    # data the kernel stops refreshing then.
    props(brick).Set(A1, "Alias", dbus.String("NXT"))
    props(host).Set(A1, "Alias", dbus.String("computer"))
    print(run("btmgmt", "--index", "0", "ssp", "off"))
    print(run("btmgmt", "--index", "0", "class", "8", "4"))
    # btvirt's controller keeps Simple Pairing on whatever the kernel was
    # told, and then every link hangs: write mode 0 to it and read it back.
    run("hcitool", "-i", "hci0", "cmd", "0x03", "0x0056", "0x00")
    mode = run("hcitool", "-i", "hci0", "cmd", "0x03", "0x0055").split()
    if not mode or mode[-1] != "00":
        print("the brick's controller still does Simple Pairing:", mode)
        return 1
    props(brick).Set(A1, "Pairable", dbus.Boolean(True))
    props(brick).Set(A1, "DiscoverableTimeout", dbus.UInt32(0))
    props(brick).Set(A1, "Discoverable", dbus.Boolean(True))

    agent = Agent(bus, "/vostrel/agent")
    manager = dbus.Interface(bus.get_object(BLUEZ, "/org/bluez"), "org.bluez.AgentManager1")
    manager.RegisterAgent("/vostrel/agent", "KeyboardDisplay")
    manager.RequestDefaultAgent("/vostrel/agent")

    adapter = dbus.Interface(bus.get_object(BLUEZ, host), A1)
    adapter.StartDiscovery()
    device = host + "/dev_" + brick_addr.replace(":", "_")

    def seen():
        d = objects().get(dbus.ObjectPath(device), {}).get(D1)
        return d is not None and str(d.get("Name", "")) == "NXT"
    if not pump(seen, 45):
        print("the computer did not find \"NXT\"")
        return 1
    adapter.StopDiscovery()
    done = {}
    dbus.Interface(bus.get_object(BLUEZ, device), D1).Pair(
        reply_handler=lambda: done.setdefault("ok", True),
        error_handler=lambda e: done.setdefault("error", str(e)), timeout=60)
    pump(lambda: done, 65)
    if not done.get("ok"):
        print("pairing failed:", done.get("error", "no answer"))
        return 1
    if not bool(props(device).Get(D1, "Paired")):
        print("BlueZ does not say the brick is paired")
        return 1
    print("NXT=%s" % brick_addr)
    print("HOST=%s" % host_addr)
    del agent
    return 0


if __name__ == "__main__":
    sys.exit(main())
