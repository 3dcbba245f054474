# The three persisted properties through a dict and the bag's text file.
import os

import pytest

import vostrel


@pytest.fixture
def control():
    return vostrel.Vostrel(vostrel.DefaultLoop())


class TestDict:
    def test_round_trip_keeps_raw_booleans(self, control):
        control.Connection = 5
        control.ErrorMessage = "Comm error"
        control.PingNXT = False
        saved = control.properties_to_dict()
        assert saved == {"Connection": 5, "ErrorMessage": "Comm error", "PingNXT": False}
        other = vostrel.Vostrel(vostrel.DefaultLoop())
        other.properties_from_dict(saved)
        assert other.properties_to_dict() == saved

    def test_missing_keys_take_defaults(self, control):
        control.PingNXT = False
        control.properties_from_dict({"ErrorMessage": b"x"})
        assert control.properties_to_dict() == {"Connection": False, "ErrorMessage": "x", "PingNXT": True}

    def test_bad_entries_are_refused(self, control):
        with pytest.raises(ValueError, match="Pingnxt"):
            control.properties_from_dict({"Pingnxt": True})
        with pytest.raises(vostrel.TypeMismatch):
            control.properties_from_dict({"PingNXT": "maybe"})
        with pytest.raises(vostrel.TypeMismatch):
            control.properties_from_dict({"PingNXT": 1.5})

    def test_a_value_that_does_not_convert_restores_nothing(self, control):
        control.PingNXT = False
        before = control.properties_to_dict()
        with pytest.raises(vostrel.TypeMismatch, match="PingNXT: .*'maybe'"):
            control.properties_from_dict({"Connection": True, "ErrorMessage": "x", "PingNXT": "maybe"})
        assert control.properties_to_dict() == before


class TestFile:
    def test_round_trip(self, control, tmp_path):
        control.Connection = True
        control.ErrorMessage = 'a "quoted" caf\xe9'
        path = tmp_path / "nxt.properties"
        control.save_properties(path)
        assert 'ErrorMessage = String "a \\"quoted\\" caf\\xE9"' in path.read_text()
        other = vostrel.Vostrel(vostrel.DefaultLoop())
        other.load_properties(path)
        assert other.properties_to_dict() == control.properties_to_dict()

    def test_malformed_file_restores_nothing(self, control, tmp_path):
        path = tmp_path / "bad"
        path.write_text("PingNXT = Boolean 0\nConnection = Nonsense\n")
        with pytest.raises(vostrel.Error) as e:
            control.load_properties(path)
        assert e.value.number == 321 and "2" in e.value.description
        assert control.PingNXT is True
        with pytest.raises(FileNotFoundError):
            control.load_properties(tmp_path / "missing")
        path.write_text('Connection = Boolean -1\nPingNXT = String "maybe"\n')
        with pytest.raises(vostrel.TypeMismatch, match="PingNXT"):
            control.load_properties(path)
        assert control.Connection is False

    def test_endless_file_is_cut_short(self, control, tmp_path):
        path = tmp_path / "huge"
        with open(path, "wb") as f:
            f.truncate(vostrel.PROPERTY_FILE_LIMIT + 1)
        with pytest.raises(vostrel.Error, match="longer than") as e:
            control.load_properties(path)
        assert e.value.number == 321

    def test_what_is_not_a_regular_file_is_refused_without_waiting(self, control, tmp_path):
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        for path, kind in ((fifo, "a FIFO"), ("/dev/zero", "a device"), (tmp_path, "a directory")):
            with pytest.raises(OSError, match=f"not a regular file \\({kind}\\): '{path}'"):
                control.load_properties(path)
        assert control.PingNXT is True
