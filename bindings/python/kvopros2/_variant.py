"""Python values to and from the VARIANT, date-times to and from FILETIME.

A value becomes the VARIANT kind the library takes for it: None VT_EMPTY,
bool VT_BOOL, int VT_I4 (VT_UI4 from 2**31 to 2**32 - 1), float VT_R8, str
VT_BSTR, datetime VT_DATE, and a list or tuple of one of these a
one-dimensional array (ints and floats together: VT_R8). Anything else has
no kind the library takes and raises TypeError (OverflowError for an int out
of range) before the library is called.
"""

import ctypes
import struct
import sys
from datetime import date, datetime, timedelta

from . import constants as k
from ._native import FileTime, SafeArray, Variant

_FILETIME_EPOCH = datetime(1601, 1, 1)
_OLE_EPOCH = datetime(1899, 12, 30)
_DAY = 86400.0

# struct formats of the kinds' 8-byte values and array elements.
_FORMATS = {
    k.VT_I1: "b",
    k.VT_UI1: "B",
    k.VT_I2: "h",
    k.VT_UI2: "H",
    k.VT_I4: "i",
    k.VT_UI4: "I",
    k.VT_INT: "i",
    k.VT_UINT: "I",
    k.VT_ERROR: "i",
    k.VT_I8: "q",
    k.VT_UI8: "Q",
    k.VT_R4: "f",
    k.VT_R8: "d",
    k.VT_DATE: "d",
    k.VT_BOOL: "h",
    k.VT_BSTR: "P",
}


def local_naive(moment):
    """A datetime as the host's local wall time: an aware one converted to
    the local zone, a naive one taken as local already."""
    if moment.tzinfo is not None:
        moment = moment.astimezone().replace(tzinfo=None)
    return moment


def to_filetime(moment):
    ticks = (local_naive(moment) - _FILETIME_EPOCH) // timedelta(microseconds=1) * 10
    if ticks < 0:
        raise ValueError("a FILETIME cannot hold a time before 1601: %r" % (moment,))
    return FileTime(ticks & 0xFFFFFFFF, ticks >> 32)


def from_filetime(filetime):
    ticks = (filetime.high << 32) | filetime.low
    return _FILETIME_EPOCH + timedelta(microseconds=ticks // 10)


def to_ole_date(moment):
    """An OLE date: days since 1899-12-30, the time of day as a fraction
    that is added to the day count even below 0 (-1.25 is 1899-12-29 06:00)."""
    moment = local_naive(moment)
    days = (moment.date() - _OLE_EPOCH.date()).days
    clock = moment - datetime.combine(moment.date(), datetime.min.time())
    fraction = clock / timedelta(days=1)
    return days + fraction if days >= 0 else days - fraction


def from_ole_date(value):
    days = int(value)  # towards zero, as the day part of an OLE date
    milliseconds = round(abs(value - days) * _DAY * 1000)
    return _OLE_EPOCH + timedelta(days=days, milliseconds=milliseconds)


def _scalar_kind(value):
    if value is None:
        return k.VT_EMPTY
    if isinstance(value, bool):
        return k.VT_BOOL
    if isinstance(value, int):
        if -(2**31) <= value < 2**31:
            return k.VT_I4
        if 0 <= value < 2**32:
            return k.VT_UI4
        raise OverflowError("%d does not fit 32 bits, the widest integer the library takes" % value)
    if isinstance(value, float):
        return k.VT_R8
    if isinstance(value, str):
        return k.VT_BSTR
    if isinstance(value, date):
        return k.VT_DATE
    raise TypeError("a %s has no VARIANT kind the library takes" % type(value).__name__)


def _element_kind(values):
    kinds = {_scalar_kind(v) for v in values}
    if not kinds:
        return k.VT_I4  # an empty array: its element kind does not matter
    if kinds <= {k.VT_I4, k.VT_UI4}:
        return k.VT_I4 if kinds == {k.VT_I4} else _unsigned_kind(values)
    if kinds <= {k.VT_I4, k.VT_UI4, k.VT_R8}:
        return k.VT_R8
    if len(kinds) == 1 and k.VT_EMPTY not in kinds:
        return kinds.pop()
    raise TypeError("an array holds values of one kind, not %s" % sorted(kinds))


def _unsigned_kind(values):
    if min(values) < 0:
        raise OverflowError(
            "an array of integers from %d to %d fits no 32-bit kind" % (min(values), max(values))
        )
    return k.VT_UI4


def _packed(kind, value):
    """The bytes of one value of a kind other than VT_BSTR."""
    if kind == k.VT_BOOL:
        value = -1 if value else 0
    elif kind == k.VT_DATE:
        if not isinstance(value, datetime):
            value = datetime.combine(value, datetime.min.time())
        value = to_ole_date(value)
    return struct.pack("=" + _FORMATS[kind], value)


class VariantArgument:
    """A VARIANT made from a Python value for one call; close() frees what
    it allocated (the library never frees what the host passes)."""

    def __init__(self, native, value):
        self._native = native
        self.variant = Variant()
        try:
            if isinstance(value, (list, tuple)):
                self._array(value)
            else:
                kind = _scalar_kind(value)
                self.variant.vt = kind
                if kind != k.VT_EMPTY:
                    self.variant.data = self._word(kind, value)
        except BaseException:
            self.close()
            raise

    def _bstr(self, text):
        units = text.encode("utf-16-le")
        bstr = self._native.kv_SysAllocStringLen(units, len(units) // 2)
        if not bstr:
            raise MemoryError("no memory for a BSTR of %d characters" % len(text))
        return bstr

    def _word(self, kind, value):
        """The 8 bytes of a scalar as an integer (a new BSTR for a text)."""
        if kind == k.VT_BSTR:
            return self._bstr(value)
        return int.from_bytes(_packed(kind, value).ljust(8, b"\0"), sys.byteorder)

    def _array(self, values):
        kind = _element_kind(values)
        n = self._native
        array = n.kv_SafeArrayCreateVector(kind, 0, len(values))
        if not array:
            raise MemoryError("no memory for an array of %d elements" % len(values))
        # From here the variant owns the array, and the array the BSTRs put in it.
        self.variant.vt = k.VT_ARRAY | kind
        self.variant.data = ctypes.cast(array, ctypes.c_void_p).value
        size = array.contents.element_size
        data = ctypes.c_void_p()
        n.kv_SafeArrayAccessData(array, ctypes.byref(data))
        try:
            for i, v in enumerate(values):
                payload = self._word(kind, v).to_bytes(8, sys.byteorder)[:size]
                ctypes.memmove(data.value + i * size, payload, size)
        finally:
            n.kv_SafeArrayUnaccessData(array)

    def close(self):
        self._native.kv_VariantClear(ctypes.byref(self.variant))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _bstr_text(native, bstr):
    if not bstr:
        return ""
    length = native.kv_SysStringLen(bstr)
    return ctypes.string_at(bstr, 2 * length).decode("utf-16-le", errors="replace")


def _decode(native, kind, raw):
    if kind == k.VT_BSTR:
        return _bstr_text(native, struct.unpack("P", raw[: ctypes.sizeof(ctypes.c_void_p)])[0])
    fmt = _FORMATS.get(kind)
    if fmt is None:
        return None  # VT_EMPTY, VT_NULL, and kinds the library does not make
    value = struct.unpack("=" + fmt, raw[: struct.calcsize(fmt)])[0]
    if kind == k.VT_BOOL:
        return value != 0
    if kind == k.VT_DATE:
        return from_ole_date(value)
    return value


def from_variant(native, variant):
    """The Python value of a VARIANT (which stays the caller's to clear)."""
    kind = variant.vt & 0x0FFF
    if not variant.vt & k.VT_ARRAY:
        return _decode(native, kind, variant.data.to_bytes(8, sys.byteorder))
    if variant.vt & k.VT_BYREF or not variant.data:
        return None
    array = ctypes.cast(ctypes.c_void_p(variant.data), ctypes.POINTER(SafeArray))
    count = array.contents.bounds[0].count
    size = array.contents.element_size
    data = ctypes.c_void_p()
    if native.kv_SafeArrayAccessData(array, ctypes.byref(data)) != k.S_OK:
        return None
    try:
        raw = ctypes.string_at(data.value, count * size) if count else b""
        return [_decode(native, kind, raw[i * size : (i + 1) * size]) for i in range(count)]
    finally:
        native.kv_SafeArrayUnaccessData(array)
