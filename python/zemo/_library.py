"""The C library libzemo, loaded through ctypes with every call it exports declared.

The library is found as the system's loader finds it, by its soname libzemo.so.1; the
environment variable ZEMO_LIBRARY names another file to load instead (a build tree's, say).
No error handler is installed: a failing call returns its status, and zemo_last_error gives
the reason.
"""

import ctypes
import os

# Statuses of the calls.
OK = 0
FAILURE = -1
TIMEOUT = -2

# Flag of zemo_write: the last byte written ends the message.
END = 1

# Bits of the reason of zemo_read_message: why a read stopped.
REASON_COUNT = 1
REASON_TERMCHAR = 2
REASON_END = 4

# The soname, which the loader looks up in its search path and cache.
SONAME = "libzemo.so.1"

# An open interface: a pointer, passed back unexamined.
Handle = ctypes.c_void_p

_handle = Handle
_status = ctypes.c_int
_int32 = ctypes.c_int32
_uint64_p = ctypes.POINTER(ctypes.c_uint64)

# Every call used, as (name, result type, argument types).
_CALLS = (
    ("zemo_open", _handle, [ctypes.c_char_p]),
    ("zemo_set_timeout", _status, [_handle, _int32]),
    ("zemo_write", _status, [_handle, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_int, _uint64_p]),
    (
        "zemo_read_message",
        _status,
        [_handle, ctypes.c_void_p, ctypes.c_uint64, _uint64_p, ctypes.POINTER(ctypes.c_int)],
    ),
    ("zemo_read_stb", _status, [_handle, ctypes.POINTER(ctypes.c_uint8)]),
    ("zemo_trigger", _status, [_handle]),
    ("zemo_lock", _status, [_handle, _int32]),
    ("zemo_unlock", _status, [_handle]),
    ("zemo_remote", _status, [_handle]),
    ("zemo_local", _status, [_handle]),
    ("zemo_wait_srq", _status, [_handle, _int32, ctypes.POINTER(ctypes.c_uint8)]),
    ("zemo_clear", _status, [_handle]),
    ("zemo_close", _status, [_handle]),
    ("zemo_last_error", ctypes.c_char_p, []),
    ("zemo_version", ctypes.c_char_p, []),
)


def load() -> ctypes.CDLL:
    """Loads libzemo, or the file ZEMO_LIBRARY names, and declares its calls.

    Raises ImportError naming the file when it cannot be loaded or lacks one of the calls.
    """
    path = os.environ.get("ZEMO_LIBRARY") or SONAME
    try:
        library = ctypes.CDLL(path)
        for name, result, arguments in _CALLS:
            function = getattr(library, name)
            function.restype = result
            function.argtypes = arguments
    except (OSError, AttributeError) as error:
        raise ImportError(f"zemo: cannot use the library {path}: {error}") from error
    return library
