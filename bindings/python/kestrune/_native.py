"""The library's 19 exports declared for ctypes with the header's exact types, and the loading of
the library.

After every call but KSRN_GetLastError, the calling thread's last error is read at once, on the
same thread (ctypes runs `errcheck` right after the foreign call returns), and a non-zero one is
raised as KestruneError. Strings go in as NUL-terminated UTF-16 on every platform: ctypes'
c_wchar_p would be UTF-32 on Linux.
"""

import ctypes
import os
import sys
from pathlib import Path

from ._header import NAMES

# The name the system loader knows the library by; on Linux the SONAME, which names the
# interface version these declarations are written for.
LIBRARY_NAME = "Kestrune.dll" if sys.platform == "win32" else "libkestrune.so.1"


class KestruneError(Exception):
    """A code the library reported: `code`, its Win32 `name` as the header lists it (None for a
    code the header does not list, such as another WinHTTP code on Windows), and `call`, the
    export that reported it."""

    def __init__(self, code, name, call):
        super().__init__(code, name, call)
        self.code = code
        self.name = name
        self.call = call

    @classmethod
    def from_code(cls, code, call):
        return cls(code, NAMES.get(code), call)

    def __str__(self):
        return f"{self.call}: {self.code} {self.name or '(not in the header)'}"


def _load():
    """The library named by KESTRUNE_LIBRARY, else the one beside this package, else the one the
    system loader finds. The variable comes first so that a host or a test can always choose."""
    path = os.environ.get("KESTRUNE_LIBRARY")
    if not path:
        beside = Path(__file__).resolve().parent / LIBRARY_NAME
        path = str(beside) if beside.is_file() else LIBRARY_NAME
    try:
        return ctypes.CDLL(path)
    except OSError as error:
        raise OSError(f"cannot load the Kestrune library {path!r} ({error}); put it beside the "
                      "kestrune package or name it in KESTRUNE_LIBRARY") from error


_library = _load()
_I32 = ctypes.c_int32
_U32 = ctypes.c_uint32
_TEXT = ctypes.POINTER(ctypes.c_uint16)  # const KSRN_CHAR*: char16_t, or wchar_t on Windows
_BYTES = ctypes.POINTER(ctypes.c_uint8)  # const uint8_t* and uint8_t*


def _declare(name, result, *arguments):
    function = getattr(_library, name)
    function.restype = result
    function.argtypes = arguments
    if name != "KSRN_GetLastError":
        function.errcheck = _raise_last_error
    return function


def _raise_last_error(result, function, arguments):
    code = KSRN_GetLastError()
    if code:
        raise KestruneError.from_code(code, function.__name__)
    return result


KSRN_GetLastError = _declare("KSRN_GetLastError", _U32)
KSRN_GetAbiVersion = _declare("KSRN_GetAbiVersion", _I32)
KSRN_Init = _declare("KSRN_Init", _I32, _I32)
KSRN_Shutdown = _declare("KSRN_Shutdown", _I32)
KSRN_SetThrottleMs = _declare("KSRN_SetThrottleMs", _I32, _I32)
KSRN_Request = _declare("KSRN_Request", _I32, _TEXT, _TEXT, _TEXT, _BYTES, _I32, _I32)
KSRN_Get = _declare("KSRN_Get", _I32, _TEXT, _I32)
KSRN_IsReady = _declare("KSRN_IsReady", _I32, _I32)
KSRN_Succeeded = _declare("KSRN_Succeeded", _I32, _I32)
KSRN_GetStatusCode = _declare("KSRN_GetStatusCode", _I32, _I32)
KSRN_GetRequestError = _declare("KSRN_GetRequestError", _U32, _I32)
KSRN_GetBodySize = _declare("KSRN_GetBodySize", _I32, _I32)
KSRN_CopyBody = _declare("KSRN_CopyBody", _I32, _I32, _BYTES, _I32)
KSRN_GetHeadersSize = _declare("KSRN_GetHeadersSize", _I32, _I32)
KSRN_CopyHeaders = _declare("KSRN_CopyHeaders", _I32, _I32, _BYTES, _I32)
KSRN_Cancel = _declare("KSRN_Cancel", _I32, _I32)
KSRN_Free = _declare("KSRN_Free", _I32, _I32)
KSRN_CancelAll = _declare("KSRN_CancelAll", _I32)
KSRN_GetPendingCount = _declare("KSRN_GetPendingCount", _I32)


def utf16(value):
    """A str as the NUL-terminated UTF-16 the exports take; None stays a null pointer."""
    if value is None:
        return None
    if "\0" in value:
        raise ValueError("the library would end the string at its NUL")
    data = value.encode("utf-16-le") + b"\0\0"
    return (ctypes.c_uint16 * (len(data) // 2)).from_buffer_copy(data)


def bytes_buffer(value):
    """Bytes as a uint8_t buffer; None stays a null pointer."""
    return None if value is None else (ctypes.c_uint8 * len(value)).from_buffer_copy(value)


def copy_out(size_of, copy, request_id):
    """A result the library hands out by size query and copy (body, header block)."""
    size = size_of(request_id)
    buffer = (ctypes.c_uint8 * size)()
    copy(request_id, buffer, size)
    return bytes(buffer)
