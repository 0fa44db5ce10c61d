"""The library's exports as ctypes functions, with the C types they take.

Every export of kvopros2.h is declared in EXPORTS (the c_ functions, cdecl)
or OLE_HELPERS (what makes and frees BSTRs, VARIANTs and safe arrays: the
library's kv_ functions on Linux, the same functions of oleaut32 on Windows,
where they are stdcall and named without the kv_ prefix). Adding an export
is one line in one of the tables.
"""

import ctypes
import os
import struct
import sys
import threading
from ctypes import (
    POINTER,
    c_char_p,
    c_int,
    c_int32,
    c_int64,
    c_ubyte,
    c_uint16,
    c_uint32,
    c_uint64,
    c_void_p,
)

WINDOWS = sys.platform == "win32"
LIBRARY_NAME = "kvopros2.dll" if WINDOWS else "libkvopros2.so"


class Variant(ctypes.Structure):
    """The 16-byte VARIANT: its kind, three reserved words and 8 bytes of
    value. The value is held as an integer: a C compiler passes the union of
    integers, doubles and pointers in integer registers, and ctypes passes a
    structure with one integer field the same way (it does not pass unions
    by value)."""

    _fields_ = [
        ("vt", c_uint16),
        ("reserved1", c_uint16),
        ("reserved2", c_uint16),
        ("reserved3", c_uint16),
        ("data", c_uint64),
    ]


class FileTime(ctypes.Structure):
    """100-ns units since 1601-01-01, low half first."""

    _fields_ = [("low", c_uint32), ("high", c_uint32)]


class SafeArrayBound(ctypes.Structure):
    _fields_ = [("count", c_uint32), ("lower_bound", c_int32)]


class SafeArray(ctypes.Structure):
    _fields_ = [
        ("dims", c_uint16),
        ("features", c_uint16),
        ("element_size", c_uint32),
        ("locks", c_uint32),
        ("data", c_void_p),
        ("bounds", SafeArrayBound * 1),
    ]


# The fields of kv_statistics after its size and version, in order.
STATISTICS_FIELDS = (
    "connectedSince",
    "logins",
    "dropsClosedByServer",
    "dropsReset",
    "dropsWriteTimeout",
    "dropsLinkTest",
    "dropsProtocolError",
    "dropsLoginRefused",
    "bytesSent",
    "bytesReceived",
    "recordsSent",
    "recordsReceived",
    "valuesCoalesced",
    "channelsRegistered",
    "channelsActive",
    "channelsWaiting",
    "controlsReceived",
    "controlsWaiting",
    "controlsRefused",
    "lastError",
    "lastErrorTime",
    # Version 2:
    "serverIndex",
    "serverSwitches",
    # Version 3, the value history:
    "historyValues",
    "historyBytes",
    "historyDroppedBound",
    "historyDroppedAge",
    "historySent",
)


class Statistics(ctypes.Structure):
    _fields_ = [("size", c_uint32), ("version", c_uint32)] + [
        (name, c_uint64) for name in STATISTICS_FIELDS
    ]


# The log callback: context, level, line (Windows-1251 bytes). cdecl, like
# the exports, on every platform.
LogCallback = ctypes.CFUNCTYPE(None, c_void_p, c_int, c_char_p)

assert ctypes.sizeof(Variant) == 16 and ctypes.sizeof(Statistics) == 8 + 8 * len(STATISTICS_FIELDS)

# name: (result, arguments)
EXPORTS = {
    "c_CreateOpros": (
        c_ubyte,
        [c_char_p, c_int, c_int, c_char_p, c_char_p, c_ubyte, c_ubyte, c_char_p],
    ),
    "c_DestroyOpros": (c_ubyte, []),
    "c_IsServerConnected": (c_int, []),
    "c_RegisterChannel": (
        c_ubyte,
        [c_char_p, c_uint16, c_ubyte, c_ubyte] + [c_char_p] * 5 + [c_uint16, c_char_p],
    ),
    "c_RegisterValueByID": (c_ubyte, [c_char_p, POINTER(FileTime), c_uint16, Variant]),
    "c_RegisterAttribute": (c_ubyte, [c_char_p, c_uint16, c_uint16, Variant]),
    "c_ReceiveControl": (
        c_ubyte,
        [
            c_void_p,
            c_int,
            POINTER(c_uint32),
            POINTER(FileTime),
            POINTER(c_uint16),
            POINTER(Variant),
        ],
    ),
    "c_GetStatistics": (c_ubyte, [POINTER(Statistics)]),
    "c_SetOption": (c_ubyte, [c_int, c_int64]),
    "c_SetLogCallback": (c_ubyte, [LogCallback, c_void_p]),
    "c_GetLastResult": (c_int, []),
    "c_GetVersion": (c_int, []),
}

OLE_HELPERS = {
    "kv_SysAllocString": (c_void_p, [c_void_p]),
    "kv_SysAllocStringLen": (c_void_p, [c_void_p, c_uint32]),
    "kv_SysFreeString": (None, [c_void_p]),
    "kv_SysStringLen": (c_uint32, [c_void_p]),
    "kv_VariantInit": (None, [POINTER(Variant)]),
    "kv_VariantClear": (c_int32, [POINTER(Variant)]),
    "kv_VariantCopy": (c_int32, [POINTER(Variant), POINTER(Variant)]),
    "kv_SafeArrayCreateVector": (POINTER(SafeArray), [c_uint16, c_int32, c_uint32]),
    "kv_SafeArrayDestroy": (c_int32, [POINTER(SafeArray)]),
    "kv_SafeArrayAccessData": (c_int32, [POINTER(SafeArray), POINTER(c_void_p)]),
    "kv_SafeArrayUnaccessData": (c_int32, [POINTER(SafeArray)]),
    "kv_SafeArrayGetElement": (c_int32, [POINTER(SafeArray), POINTER(c_int32), c_void_p]),
    "kv_SafeArrayPutElement": (c_int32, [POINTER(SafeArray), POINTER(c_int32), c_void_p]),
}


def library_path():
    """Where the library is looked for: KVOPROS2_LIBRARY, next to this
    package, else its bare name for the system's search."""
    named = os.environ.get("KVOPROS2_LIBRARY")
    if named:
        return named
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), LIBRARY_NAME)
    return beside if os.path.isfile(beside) else LIBRARY_NAME


def machine_bits(head):
    """32 or 64 for the start of a PE or ELF file, None for anything else."""
    if head[:4] == b"\x7fELF" and len(head) > 4:
        return {1: 32, 2: 64}.get(head[4])
    if head[:2] == b"MZ" and len(head) >= 0x40:
        offset = struct.unpack_from("<I", head, 0x3C)[0]
        if head[offset : offset + 4] == b"PE\0\0" and len(head) >= offset + 6:
            machine = struct.unpack_from("<H", head, offset + 4)[0]
            return {0x014C: 32, 0x8664: 64}.get(machine)
    return None


def check_machine(path, python_bits):
    """Raises OSError with a clear text when the library at path is built
    for another word size than this Python's."""
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
    except OSError:
        return  # not a file here: the system's search finds it, or says why not
    bits = machine_bits(head)
    if bits is not None and bits != python_bits:
        raise OSError(
            "%s is a %d-bit library and this Python is %d-bit: it can load it only in a "
            "%d-bit Python%s"
            % (path, bits, python_bits, bits, " (the kvopros2 DLL is 32-bit)" if WINDOWS else "")
        )


class Native:
    """The loaded library: one attribute per export, under its C name."""

    def __init__(self, path):
        python_bits = ctypes.sizeof(c_void_p) * 8
        check_machine(path, python_bits)
        try:
            self.library = ctypes.CDLL(path)
        except OSError as error:
            if WINDOWS and python_bits == 64 and getattr(error, "winerror", None) == 193:
                raise OSError(
                    "%s cannot be loaded by this 64-bit Python: the kvopros2 DLL is 32-bit, "
                    "use a 32-bit Python" % path
                ) from error
            raise
        self.path = path
        for name, (result, arguments) in EXPORTS.items():
            # The 32-bit DLL names its cdecl exports with a leading underscore.
            self._bind(self.library, ("_" + name) if WINDOWS else name, name, result, arguments)
        ole = ctypes.WinDLL("oleaut32") if WINDOWS else self.library
        for name, (result, arguments) in OLE_HELPERS.items():
            self._bind(ole, name[3:] if WINDOWS else name, name, result, arguments)

    def _bind(self, library, exported, name, result, arguments):
        function = getattr(library, exported)
        function.restype = result
        function.argtypes = arguments
        setattr(self, name, function)


_native = None
_lock = threading.Lock()


def native():
    """The library, loaded at the first call."""
    global _native
    with _lock:
        if _native is None:
            _native = Native(library_path())
        return _native
