"""kvopros2: the client library of the Kavrel monitoring server, for Python hosts.

    import kvopros2
    with kvopros2.Client("127.0.0.1", 3000, log_file="kvopros2.log") as client:
        client.register_channel("Boiler.T", kvopros2.TYPE_FLOAT8, unit="C")
        client.register_value("Boiler.T", 71.5)
        control = client.receive_control()

The methods are the library's exports (c_CreateOpros ... c_GetStatistics)
and return what they returned; get_last_result() tells why the calling
thread's last call answered as it did. The process-wide settings are
module functions: set_option() and set_log_callback(), which hands every
line of the library's log to a Python function:

    kvopros2.set_log_callback(lambda level, line: print(line))
 Texts (addresses, comments, units...) are
encoded in Windows-1251; a character it lacks raises UnicodeEncodeError.
Values are converted as _variant tells; times are local wall times (a
timezone-aware datetime is converted to the local zone first).
"""

import atexit
import collections
import ctypes
import threading
from datetime import datetime

from . import _native as native_module
from ._variant import VariantArgument, from_filetime, from_variant, to_filetime
from .constants import *  # noqa: F401,F403 (the module's constants are the header's)

__version__ = "%d.%d.%d" % (VERSION_MAJOR, VERSION_MINOR, VERSION_PATCH)  # noqa: F405

# A control command taken from the server: the channel's address (empty when
# the server named it by number), its number (0 when named by address), the
# control's time, quality and value.
Control = collections.namedtuple("Control", "addr number time quality value")

_ADDRESS_ROOM = 1024
_client_lock = threading.Lock()
_client_open = None  # the open Client

_log_lock = threading.Lock()  # orders set_log_callback calls made outside a handler
_log_handler = None  # where the library's lines go, or None
_log_thread = threading.local()  # marks the library's thread while it runs the handler


def _deliver(context, level, line):
    handler = _log_handler
    if handler is None:
        return
    _log_thread.inside = True
    try:
        handler(level, line.decode("cp1251", errors="replace"))
    finally:
        _log_thread.inside = False


# The one function the library is ever given as its log callback. It lives as
# long as the module, so the library never holds a pointer to freed code
# however often handlers change; an exception a handler raises is reported
# as unraisable (sys.unraisablehook) and the library goes on.
_log_trampoline = native_module.LogCallback(_deliver)
_no_log_callback = native_module.LogCallback()  # the null pointer


def _inside_log_handler():
    return getattr(_log_thread, "inside", False)


def set_log_callback(handler):
    """From now on every line the library writes goes to handler(level,
    line) as well (level a LOG_ constant, line the text as the log file has
    it); None removes it. Process-wide and kept for later clients. The
    handler runs on the library's worker thread, one line at a time; inside
    it only is_server_connected(), statistics(), get_last_result() and
    set_log_callback() work. Once this returns, the previous handler is never
    called again (a call in progress is waited for), except when called from
    inside a handler: then the change holds from the next line. It must not
    be called while holding a lock the handler waits for. Always True."""
    global _log_handler
    if handler is not None and not callable(handler):
        raise TypeError("the log callback must be callable or None, not %r" % (handler,))
    lib = native_module.native()
    function = _log_trampoline if handler is not None else _no_log_callback
    if _inside_log_handler():
        # The library cannot wait for the call this thread is in, and must
        # not wait for a thread that waits for it: no lock here.
        _log_handler = handler
        return bool(lib.c_SetLogCallback(function, None))
    with _log_lock:
        _log_handler = handler
        return bool(lib.c_SetLogCallback(function, None))


def set_option(option, value):
    """Sets one of the OPTION_ options (process-wide, kept for later
    clients). False, changing nothing, for an unknown option or a value out
    of its range (get_last_result() tells which)."""
    if not isinstance(option, int) or not -(2**31) <= option < 2**31:
        raise OverflowError("option must be a 32-bit int, not %r" % (option,))
    if not isinstance(value, int) or not -(2**63) <= value < 2**63:
        raise OverflowError("value must be a 64-bit int, not %r" % (value,))
    return bool(native_module.native().c_SetOption(option, value))


def get_last_result():
    """Why the calling thread's last call of the library answered as it did:
    a RESULT_ constant (RESULT_OK before any)."""
    return native_module.native().c_GetLastResult()


def get_version():
    """The running library's version, MAJOR * 10000 + MINOR * 100 + PATCH
    (this module was written for VERSION_MAJOR, VERSION_MINOR, VERSION_PATCH)."""
    return native_module.native().c_GetVersion()


def _text(value, name):
    """A text argument as Windows-1251 bytes; None is an empty text."""
    if value is None:
        return None
    if isinstance(value, bytes):
        data = value
    elif isinstance(value, str):
        data = value.encode("cp1251")
    else:
        raise TypeError("%s must be a str, not %s" % (name, type(value).__name__))
    if b"\0" in data:
        raise ValueError("%s holds a NUL character" % name)
    return data


def _word(value, name):
    if not isinstance(value, int) or not 0 <= value <= 0xFFFF:
        raise OverflowError("%s must be an int from 0 to 65535, not %r" % (name, value))
    return value


def _int32(value, name):
    if not isinstance(value, int) or not -(2**31) <= value < 2**31:
        raise OverflowError("%s must be a 32-bit int, not %r" % (name, value))
    return value


def _snake(name):
    return "".join("_" + c.lower() if c.isupper() else c for c in name)


class Client:
    """The process's one client of the library. Creating it starts the
    library's worker, which connects and logs in on its own; leaving the
    with-block (or close()) stops it. Only one may be open at a time.
    log_callback, when given, is set with set_log_callback() before the
    client starts and removed once it has stopped."""

    def __init__(
        self,
        host,
        port,
        timeout=10,
        login="CFG",
        password="",
        set_clock=False,
        debug=False,
        log_file=None,
        log_callback=None,
    ):
        global _client_open
        # Creating or closing waits for the worker, which may be running a
        # log handler that would wait for this very lock.
        if _inside_log_handler():
            raise RuntimeError("a kvopros2.Client cannot be created inside the log callback")
        arguments = (
            _text(host, "host"),
            _int32(port, "port"),
            _int32(timeout, "timeout"),
            _text(login, "login"),
            _text(password, "password"),
            1 if set_clock else 0,
            1 if debug else 0,
            _text(log_file, "log_file"),
        )
        self._native = native_module.native()
        with _client_lock:
            # The library keeps one client per process and would hand this
            # one the running client's settings.
            if _client_open is not None:
                raise RuntimeError("a kvopros2.Client is already open in this process")
            self._log_callback = log_callback
            if log_callback is not None:
                set_log_callback(log_callback)
            if not self._native.c_CreateOpros(*arguments):
                why = self._native.c_GetLastResult()
                self._forget_log_callback()
                if why == RESULT_NO_RESOURCES:  # noqa: F405
                    raise MemoryError("the library could not create its client")
                raise RuntimeError("the library refused to create its client (result %d)" % why)
            self._open = True
            _client_open = self

    def close(self):
        """Stops the worker (it logs off first) and frees the client; what
        c_DestroyOpros returned. Closing again does nothing and gives False."""
        global _client_open
        if _inside_log_handler():
            return False  # the library refuses it there; the lock might never come
        with _client_lock:
            if not self._open:
                return False
            self._open = False
            _client_open = None
            destroyed = bool(self._native.c_DestroyOpros())
            self._forget_log_callback()
            return destroyed

    def _forget_log_callback(self):
        # Only the handler this client set: one set since stays.
        if self._log_callback is not None and _log_handler is self._log_callback:
            set_log_callback(None)
        self._log_callback = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _lib(self):
        if not self._open:
            raise RuntimeError("the kvopros2.Client is closed")
        return self._native

    def is_server_connected(self):
        return self._lib().c_IsServerConnected() == 1

    def register_channel(
        self,
        addr,
        type,
        write_enable=False,
        save_value=False,
        comments="",
        prefix="",
        unit="",
        format="",
        description="",
        signification=0,
        enum_texts=(),
    ):
        """Declares a channel; enum_texts are its state names (a sequence,
        or one text with the names separated by tabs)."""
        if not isinstance(enum_texts, (str, bytes)):
            enum_texts = "\t".join(enum_texts)
        return bool(
            self._lib().c_RegisterChannel(
                _text(addr, "addr"),
                _word(type, "type"),
                1 if write_enable else 0,
                1 if save_value else 0,
                _text(comments, "comments"),
                _text(prefix, "prefix"),
                _text(unit, "unit"),
                _text(format, "format"),
                _text(description, "description"),
                _word(signification, "signification"),
                _text(enum_texts, "enum_texts"),
            )
        )

    def register_attribute(self, addr, attr_id, type, value):
        lib = self._lib()
        addr, attr_id, type = _text(addr, "addr"), _word(attr_id, "attr_id"), _word(type, "type")
        with VariantArgument(lib, value) as argument:
            return bool(lib.c_RegisterAttribute(addr, attr_id, type, argument.variant))

    def register_value(self, addr, value, time=None, quality=0):
        """Hands over a value stamped with time (a datetime; now when
        None). False also when nothing changed."""
        lib = self._lib()
        stamp = to_filetime(datetime.now() if time is None else time)
        addr, quality = _text(addr, "addr"), _word(quality, "quality")
        with VariantArgument(lib, value) as argument:
            return bool(
                lib.c_RegisterValueByID(addr, ctypes.byref(stamp), quality, argument.variant)
            )

    def receive_control(self):
        """The oldest control the server sent, or None when none waits."""
        lib = self._lib()
        addr = ctypes.create_string_buffer(_ADDRESS_ROOM)
        number = ctypes.c_uint32()
        stamp = native_module.FileTime()
        quality = ctypes.c_uint16()
        variant = native_module.Variant()
        if not lib.c_ReceiveControl(
            addr,
            _ADDRESS_ROOM,
            ctypes.byref(number),
            ctypes.byref(stamp),
            ctypes.byref(quality),
            ctypes.byref(variant),
        ):
            return None
        try:
            value = from_variant(lib, variant)
        finally:
            lib.kv_VariantClear(ctypes.byref(variant))
        return Control(
            addr.value.decode("cp1251", errors="replace"),
            number.value,
            from_filetime(stamp),
            quality.value,
            value,
        )

    def statistics(self):
        """The client's counters as a dict (keys: the fields of
        kv_statistics in snake case, with version), or None when the
        library gave none."""
        lib = self._lib()
        stats = native_module.Statistics()
        stats.size = ctypes.sizeof(stats)
        if not lib.c_GetStatistics(ctypes.byref(stats)):
            return None
        result = {"version": stats.version}
        for name in native_module.STATISTICS_FIELDS:
            result[_snake(name)] = getattr(stats, name)
        return result


@atexit.register
def _close_at_exit():
    # A client left open logs off and stops its worker before the process
    # ends, instead of being cut off mid-step.
    client = _client_open
    if client is not None:
        client.close()
    # No line may reach Python once the interpreter is going.
    if _log_handler is not None:
        set_log_callback(None)
