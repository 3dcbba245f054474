# The control's members as Python sees them: results, status texts, value
# conversions and errors, without a brick where none is needed.
import pytest

import vostrel
import vostrel.sim


@pytest.fixture
def idle():
    return vostrel.Vostrel(vostrel.DefaultLoop(), ports={0: "/nonexistent/tty"})


class TestNewControl:
    def test_defaults_and_untouched_mailboxes(self, idle):
        assert idle.Connection is False
        assert idle.ErrorMessage == ""
        assert idle.PingNXT is True
        assert [idle.ReadText(m) for m in range(10)] == [b"-1"] * 10
        # Taken once: the slot is empty afterwards.
        assert idle.ReadText(0) == b""
        assert idle.ReadText(10) == b"Error!"
        assert idle.ReadText(-3) == b""  # |-3| = 3, taken above

    def test_failed_connect(self, idle):
        assert idle.ConnectNXT(0, 9600) == 1
        assert idle.ErrorMessage == "Connection error"
        assert idle.Connection is False
        assert idle.ConnectNXT(-1, 9600) == 1  # a number that names no device

    def test_disconnect_without_connect(self, idle):
        assert idle.DisconnectNXT() == 0
        assert idle.ErrorMessage == "No errores"


class TestArguments:
    def test_refused_sends_keep_the_status_texts(self, idle):
        assert idle.SendValue(-1, 5) == 1
        assert idle.ErrorMessage == "Error parameters for send"
        assert idle.SendText(1, b"x" * 59) == 1
        assert idle.ErrorMessage == "Error parameters for send"
        # Within range but the port is closed: the write fails.
        assert idle.SendText(1, "hi") == 1

    def test_overflow_and_type_mismatch(self, idle):
        with pytest.raises(vostrel.Overflow) as e:
            idle.ReadText(-32768)
        assert e.value.number == 6 and isinstance(e.value, OverflowError)
        with pytest.raises(vostrel.Overflow):
            idle.SendValue(1, 2**31)
        with pytest.raises(vostrel.Overflow):
            idle.SendText(40000, b"x")
        with pytest.raises(vostrel.TypeMismatch) as e:
            idle.SendValue(1.5, 1)
        assert e.value.number == 13 and isinstance(e.value, TypeError)
        with pytest.raises(vostrel.TypeMismatch):
            idle.SendText(1, 17)
        # A refused argument sets no status.
        assert idle.ErrorMessage == ""

    def test_text_without_one_byte_code_is_refused(self, idle):
        with pytest.raises(vostrel.TypeMismatch, match="U\\+20AC at position 2"):
            idle.SendText(1, "ab\u20ac")
        assert idle.ErrorMessage == ""

    def test_booleans_keep_other_values_visible(self, idle):
        idle.PingNXT = 1
        assert idle.PingNXT == 1 and idle.PingNXT is not True
        idle.Connection = True
        assert idle.Connection is True
        idle.Connection = 0
        assert idle.Connection is False
        with pytest.raises(vostrel.Overflow):
            idle.PingNXT = 40000
        idle.ErrorMessage = "caf\xe9"
        assert idle.ErrorMessage == "caf\xe9"

    def test_watchdog_interval(self, idle):
        assert idle.watchdog_interval == 10.0
        idle.watchdog_interval = 0.05
        assert idle.watchdog_interval == 0.05
        with pytest.raises(vostrel.Error) as e:
            idle.watchdog_interval = 0
        assert e.value.number == 380

    def test_loop_must_be_a_vostrel_loop(self):
        with pytest.raises(TypeError):
            vostrel.Vostrel(object())
        with pytest.raises(TypeError):
            vostrel.Vostrel(vostrel.DefaultLoop(), ports=["/dev/null"])

    def test_port_path_with_a_nul_is_refused(self):
        # The system would read it only up to the NUL: another device.
        for path in ("/dev/null\0junk", b"/dev/null\0"):
            with pytest.raises(ValueError, match="port 3.*NUL"):
                vostrel.Vostrel(vostrel.DefaultLoop(), ports={3: path})


@pytest.mark.parametrize(
    "cls, use",
    [
        (vostrel.Vostrel, lambda o: o.ConnectNXT(0, 9600)),
        (vostrel.Vostrel, lambda o: o.loop),
        (vostrel._vostrel.Control, lambda o: o.SendText(1, "x")),
        (vostrel.DefaultLoop, lambda o: o.run_for(0.01)),
        (vostrel.DefaultLoop, lambda o: vostrel.Vostrel(o)),
        (vostrel.AsyncioLoop, lambda o: o.asyncio_loop),
        (vostrel.sim.Brick, lambda o: o.device),
        (vostrel.sim.BrickStatus, lambda o: o.stored(1)),
        (vostrel.BluetoothDevice, lambda o: o.name),
        (vostrel.BluetoothDevice, repr),
    ],
    ids=["Vostrel", "Vostrel.loop", "Control", "DefaultLoop", "DefaultLoop-as-loop", "AsyncioLoop", "Brick",
         "BrickStatus", "BluetoothDevice", "BluetoothDevice-repr"],
)
def test_an_object_made_by_new_alone_is_refused(cls, use):
    with pytest.raises(TypeError, match="__new__ alone"):
        use(cls.__new__(cls))


def test_help_is_readable():
    text = vostrel.Vostrel.SendText.__doc__ + vostrel.Vostrel.__doc__
    assert "Latin-1" in text and "on_new_mail" in text
    assert "seconds" in vostrel.DefaultLoop.run_for.__doc__
