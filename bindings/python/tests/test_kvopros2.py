"""The Python binding against the library (KVOPROS2_LIBRARY or the system's),
without a server: value conversions both ways, what is refused before the
library is called, the client's life, options and the log callback."""

import ctypes
import socket
import struct
import time
from datetime import datetime, timedelta, timezone

import pytest

import kvopros2 as kv
from kvopros2 import _native, _variant


@pytest.fixture(scope="module")
def native():
    return _native.native()


@pytest.fixture
def port():
    # A port nobody listens on: the worker keeps trying; nothing is sent.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def client(port):
    with kv.Client("127.0.0.1", port) as c:
        yield c


def wait_for(condition, seconds=10):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)
    return condition()


STAMP = datetime(2024, 1, 2, 3, 4, 5, 678000)


@pytest.mark.parametrize(
    "value, kind",
    [
        (None, kv.VT_EMPTY),
        (True, kv.VT_BOOL),
        (-5, kv.VT_I4),
        (2**31, kv.VT_UI4),
        (1.5, kv.VT_R8),
        ("Тест\0x", kv.VT_BSTR),
        (datetime(2024, 5, 6, 7, 8, 9, 10000), kv.VT_DATE),
        (datetime(1899, 12, 29, 6), kv.VT_DATE),
        ([1, -2, 3], kv.VT_ARRAY | kv.VT_I4),
        ([1, 2**32 - 1], kv.VT_ARRAY | kv.VT_UI4),
        ((1, 2.5), kv.VT_ARRAY | kv.VT_R8),
        (["Стоп", ""], kv.VT_ARRAY | kv.VT_BSTR),
        ([True, False], kv.VT_ARRAY | kv.VT_BOOL),
        ([], kv.VT_ARRAY | kv.VT_I4),
    ],
)
def test_values_round_trip_through_the_variant(native, value, kind):
    with _variant.VariantArgument(native, value) as argument:
        assert argument.variant.vt == kind
        # A deep copy by the library, read back as a control's value is.
        copy = _native.Variant()
        assert native.kv_VariantCopy(ctypes.byref(copy), ctypes.byref(argument.variant)) == kv.S_OK
    try:
        back = _variant.from_variant(native, copy)
    finally:
        native.kv_VariantClear(ctypes.byref(copy))
    assert back == (list(value) if isinstance(value, tuple) else value)


@pytest.mark.parametrize(
    "value, error",
    [
        (2**32, OverflowError),
        (-(2**31) - 1, OverflowError),
        ([-1, 2**31], OverflowError),
        (object(), TypeError),
        ({"a": 1}, TypeError),
        ([1, "a"], TypeError),
        ([True, 1], TypeError),
        ([[1]], TypeError),
        ([None], TypeError),
    ],
)
def test_values_without_a_variant_kind_are_refused(native, value, error):
    with pytest.raises(error):
        _variant.VariantArgument(native, value)


def test_filetimes_are_the_local_wall_time():
    stamp = _variant.to_filetime(datetime(2024, 1, 1))
    assert (stamp.high, stamp.low) == (0x01DA3C45, 0x7689C000)
    assert _variant.from_filetime(_variant.to_filetime(STAMP)) == STAMP
    aware = datetime(2024, 1, 1, tzinfo=timezone.utc)
    local = aware.astimezone().replace(tzinfo=None)
    assert _variant.from_filetime(_variant.to_filetime(aware)) == local
    with pytest.raises(ValueError):
        _variant.to_filetime(datetime(1600, 12, 31))


def test_ole_dates_count_the_time_of_day_away_from_zero():
    assert _variant.to_ole_date(datetime(1899, 12, 29, 6)) == -1.25
    assert _variant.to_ole_date(datetime(1900, 1, 1, 18)) == 2.75
    assert _variant.from_ole_date(-1.25) == datetime(1899, 12, 29, 6)


def test_the_client_returns_what_the_library_returned(client):
    assert client.register_channel("T.A", kv.TYPE_INT4, comments="Коммент", enum_texts=["x"])
    assert client.register_value("T.A", 5, STAMP)
    assert not client.register_value("T.A", 5, STAMP)  # nothing changed
    assert not client.register_value("T.Missing", 5, STAMP)
    assert kv.get_last_result() == kv.RESULT_UNKNOWN_CHANNEL
    assert client.register_attribute("T.A", kv.ATTR_HI_LIMIT, kv.TYPE_INT4, 9)
    assert not client.register_attribute("T.A", kv.ATTR_HI_LIMIT, kv.TYPE_INT4, 10)  # replaced
    assert not client.is_server_connected()
    assert client.receive_control() is None
    stats = client.statistics()
    assert stats["version"] == kv.STATISTICS_VERSION
    assert stats["channels_registered"] == 1 and stats["logins"] == 0
    assert len(stats) == 29 and stats["drops_closed_by_server"] == 0 and "last_error_time" in stats


def test_options_out_of_range_are_refused_with_their_reason():
    assert not kv.set_option(kv.OPTION_LOG_FILES, 0)
    assert kv.get_last_result() == kv.RESULT_OUT_OF_RANGE
    assert not kv.set_option(99, 1)
    assert kv.get_last_result() == kv.RESULT_UNKNOWN_OPTION
    assert kv.set_option(kv.OPTION_LOG_FILES, 5)
    assert kv.get_last_result() == kv.RESULT_OK
    with pytest.raises(OverflowError):
        kv.set_option(kv.OPTION_LOG_MAX_BYTES, 2**63)


def test_log_lines_reach_the_callback_until_the_client_has_stopped(port):
    lines = []
    with kv.Client("127.0.0.1", port, log_callback=lambda *line: lines.append(line)):
        assert wait_for(lambda: lines)
    level, text = lines[0]
    assert level == kv.LOG_INFO and "Начало работы" in text
    seen = len(lines)
    with kv.Client("127.0.0.1", port):
        pass
    assert len(lines) == seen


def test_a_callback_may_remove_itself(port):
    lines = []

    def once(level, line):
        lines.append(line)
        kv.set_log_callback(None)  # from inside: no lock, no wait

    kv.set_log_callback(once)
    with kv.Client("127.0.0.1", port):
        assert wait_for(lambda: lines)
    assert len(lines) == 1


def test_arguments_the_c_types_cannot_hold_are_refused(client):
    with pytest.raises(UnicodeEncodeError):
        client.register_channel("T.中", kv.TYPE_INT4)
    with pytest.raises(ValueError):
        client.register_channel("T.\0B", kv.TYPE_INT4)
    with pytest.raises(OverflowError):
        client.register_value("T.A", 1, STAMP, quality=0x10000)
    with pytest.raises(OverflowError):
        client.register_channel("T.B", -1)


def test_one_client_at_a_time_and_none_after_close(client):
    with pytest.raises(RuntimeError):
        kv.Client("127.0.0.1", 1)
    assert client.close()
    assert not client.close()
    with pytest.raises(RuntimeError):
        client.is_server_connected()


def _pe(machine):
    head = bytearray(0x48)
    head[:2] = b"MZ"
    struct.pack_into("<I", head, 0x3C, 0x40)
    head[0x40:0x46] = b"PE\0\0" + struct.pack("<H", machine)
    return bytes(head)


def test_a_library_of_the_other_word_size_is_named_clearly(tmp_path):
    dll = tmp_path / "kvopros2.dll"
    dll.write_bytes(_pe(0x014C))
    with pytest.raises(OSError, match="32-bit library and this Python is 64-bit"):
        _native.check_machine(str(dll), 64)
    _native.check_machine(str(dll), 32)
    assert _native.machine_bits(_pe(0x8664)) == 64
    assert _native.machine_bits(b"\x7fELF\x02") == 64


def test_the_running_library_is_the_version_the_module_names():
    assert kv.get_version() == kv.VERSION_MAJOR * 10000 + kv.VERSION_MINOR * 100 + kv.VERSION_PATCH
