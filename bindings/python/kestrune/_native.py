"""The library's exports declared for ctypes with the header's exact types, the loading of the
library on first use, and the checks of what the binding itself puts together.

After every call but KSRN_GetLastError, the calling thread's last error is read at once, on the
same thread (ctypes runs `errcheck` right after the foreign call returns), and a non-zero one is
raised as KestruneError. Strings go in as NUL-terminated UTF-16 on every platform: ctypes'
c_wchar_p would be UTF-32 on Linux.

`import kestrune` loads nothing: the first use of an export (`_native.KSRN_Init`, ...) loads the
library and declares them all.
"""

import ctypes
import os
import re
import sys
import threading
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

from ._constants import NAMES
from ._errors import KestruneError, KestruneTimeoutError  # noqa: F401 (their 1.1 home)

if sys.platform == "win32":
    LIBRARY_NAMES = ("Kestrune.dll",)
else:
    # The SONAME first: it names the interface version these declarations are written for.
    LIBRARY_NAMES = ("libkestrune.so.1", "libkestrune.so")
ENVIRONMENT_VARIABLE = "KESTRUNE_LIBRARY"

_I32 = ctypes.c_int32
_U32 = ctypes.c_uint32
_TEXT = ctypes.POINTER(ctypes.c_uint16)  # KSRN_CHAR*: char16_t, or wchar_t on Windows
_BYTES = ctypes.POINTER(ctypes.c_uint8)  # const uint8_t* and uint8_t*
I32_MIN, I32_MAX = -2**31, 2**31 - 1

# name: (result, arguments), as include/kestrune.h declares them.
DECLARATIONS: Dict[str, Tuple[Any, Tuple[Any, ...]]] = {
    "KSRN_GetLastError": (_U32, ()),
    "KSRN_GetAbiVersion": (_I32, ()),
    "KSRN_Init": (_I32, (_I32,)),
    "KSRN_Shutdown": (_I32, ()),
    "KSRN_SetThrottleMs": (_I32, (_I32,)),
    "KSRN_Request": (_I32, (_TEXT, _TEXT, _TEXT, _BYTES, _I32, _I32)),
    "KSRN_Get": (_I32, (_TEXT, _I32)),
    "KSRN_IsReady": (_I32, (_I32,)),
    "KSRN_Succeeded": (_I32, (_I32,)),
    "KSRN_GetStatusCode": (_I32, (_I32,)),
    "KSRN_GetRequestError": (_U32, (_I32,)),
    "KSRN_GetBodySize": (_I32, (_I32,)),
    "KSRN_CopyBody": (_I32, (_I32, _BYTES, _I32)),
    "KSRN_GetHeadersSize": (_I32, (_I32,)),
    "KSRN_CopyHeaders": (_I32, (_I32, _BYTES, _I32)),
    "KSRN_Cancel": (_I32, (_I32,)),
    "KSRN_Free": (_I32, (_I32,)),
    "KSRN_CancelAll": (_I32, ()),
    "KSRN_GetPendingCount": (_I32, ()),
    # 1.1: resolved only when the loaded library has them, so a 1.0 library serves the rest.
    "KSRN_GetDelivery": (_I32, (_I32,)),
    "KSRN_GetTimingUs": (_I32, (_I32, _I32)),
    "KSRN_CopyRemoteAddress": (_I32, (_I32, _TEXT, _I32)),
    # 1.2, resolved the same way.
    "KSRN_AllowMethod": (_I32, (_TEXT,)),
    "KSRN_SetHostBudget": (_I32, (_TEXT, _I32, _I32)),
    "KSRN_RequestWeighted": (_I32, (_TEXT, _TEXT, _TEXT, _BYTES, _I32, _I32, _I32)),
    "KSRN_GetHostHoldMs": (_I32, (_TEXT,)),
    "KSRN_GetHostUnitsLeft": (_I32, (_TEXT,)),
    "KSRN_ShareBudgets": (_I32, (_TEXT,)),
    "KSRN_SetKeepAliveMs": (_I32, (_I32,)),
    "KSRN_GetConnectionReused": (_I32, (_I32,)),
    "KSRN_WaitForCompletion": (_I32, (_I32, _I32)),
}
SINCE_1_1 = frozenset({"KSRN_GetDelivery", "KSRN_GetTimingUs", "KSRN_CopyRemoteAddress"})
SINCE_1_2 = frozenset({"KSRN_AllowMethod", "KSRN_SetHostBudget", "KSRN_RequestWeighted",
                       "KSRN_GetHostHoldMs", "KSRN_GetHostUnitsLeft", "KSRN_ShareBudgets",
                       "KSRN_SetKeepAliveMs", "KSRN_GetConnectionReused",
                       "KSRN_WaitForCompletion"})

class _Library:
    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.handle: Optional[ctypes.CDLL] = None
        self.path: Optional[str] = None
        self.raw: Dict[str, Callable[..., int]] = {}


_loaded = _Library()


def _places() -> Iterator[Tuple[str, Optional[str], str]]:
    """(place, path to load or None, why it was skipped), in the order tried: KESTRUNE_LIBRARY,
    which a host sets to choose a library over the one a wheel put beside the package, that copy,
    then the system loader."""
    chosen = os.environ.get(ENVIRONMENT_VARIABLE)
    yield (f"{ENVIRONMENT_VARIABLE} ({chosen!r})" if chosen else ENVIRONMENT_VARIABLE,
           chosen or None, "not set")
    beside = Path(__file__).resolve().parent
    for name in LIBRARY_NAMES:
        path = beside / name
        yield f"beside the package ({path})", str(path) if path.is_file() else None, "no file"
    for name in LIBRARY_NAMES:
        yield f"the system loader ({name})", name, ""


def _open() -> Tuple[ctypes.CDLL, str]:
    tried: List[str] = []
    for place, path, skipped in _places():
        if path is None:
            tried.append(f"{place}: {skipped}")
            continue
        try:
            return ctypes.CDLL(path), path
        except OSError as error:
            tried.append(f"{place}: {error}")
    raise OSError("cannot load the Kestrune library; tried " + "; ".join(tried) +
                  ". Install the wheel for this platform, or name the library in "
                  f"{ENVIRONMENT_VARIABLE}")


def _load() -> None:
    with _loaded.lock:
        if _loaded.handle is not None:
            return
        handle, path = _open()
        exports = {}
        for name, (result, arguments) in DECLARATIONS.items():
            try:
                checked, raw = handle[name], handle[name]  # [] gives a fresh pointer each time
            except AttributeError:
                if name not in SINCE_1_1 | SINCE_1_2:
                    raise OSError(f"{path} is not a Kestrune library: it lacks {name}") from None
                exports[name] = _missing(name, path, "1.2" if name in SINCE_1_2 else "1.1")
                continue
            for function in (checked, raw):
                function.restype = result
                function.argtypes = arguments
            if name != "KSRN_GetLastError":
                checked.errcheck = _raise_last_error
            exports[name] = checked
            _loaded.raw[name] = raw
        globals().update(exports)
        _loaded.path = path
        _loaded.handle = handle


def _missing(name: str, path: str, version: str) -> Callable[..., int]:
    def missing(*arguments: Any) -> int:
        raise NotImplementedError(f"{name} needs Kestrune {version} or later; {path} does not "
                                  "export it")
    missing.__name__ = name
    return missing


def __getattr__(name: str) -> Any:  # the first use of an export loads the library
    if name in DECLARATIONS:
        _load()
        return globals()[name]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def library_path() -> str:
    """The path or name the library was loaded from (loading it if needed)."""
    _load()
    assert _loaded.path is not None
    return _loaded.path


def has_export(name: str) -> bool:
    """Whether the loaded library exports `name` (the 1.1 and 1.2 additions may be missing)."""
    _load()
    return name in _loaded.raw


def quietly(name: str, *arguments: Any) -> Tuple[int, int]:
    """Calls an export without raising: (result, last error). For cleanup, which must not turn
    an engine or id already gone into an error, nor replace an exception on its way out."""
    _load()
    result = _loaded.raw[name](*arguments)
    return result, _loaded.raw["KSRN_GetLastError"]()


def _raise_last_error(result: Any, function: Any, arguments: Any) -> Any:
    code = _loaded.raw["KSRN_GetLastError"]()
    if code:
        raise KestruneError.from_code(code, function.__name__)
    return result


def int32(value: Any, argument: str) -> int:
    """An int the exports take as int32_t; anything ctypes would wrap around is refused."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{argument} must be an int, not {type(value).__name__}")
    if not I32_MIN <= value <= I32_MAX:
        raise ValueError(f"{argument}={value} is outside the 32-bit range the library takes")
    return value


def utf16(value: Optional[str], argument: str = "string", required: bool = False) -> Any:
    """A str as the NUL-terminated UTF-16 the exports take; None stays a null pointer unless the
    argument is `required`."""
    if value is None and not required:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{argument} must be a str, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{argument} holds a NUL, where the library would end it")
    data = value.encode("utf-16-le", "surrogatepass") + b"\0\0"
    return (ctypes.c_uint16 * (len(data) // 2)).from_buffer_copy(data)


# RFC 9110 token: what a header name may be made of. A value may hold anything but CR, LF and NUL,
# which would end it (or the line) early and let the rest pass as another header.
_TOKEN = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+\Z")
_LINE_BREAKERS = re.compile(r"[\r\n\0]")


def header_block(headers: Any) -> Optional[str]:
    """The header block the export takes: a str passes as it is (the library checks it as one
    block); a mapping or (name, value) pairs are checked pair by pair, since once joined the
    library cannot tell a pair from a smuggled line."""
    if headers is None or isinstance(headers, str):
        return headers
    if isinstance(headers, (bytes, bytearray)):
        raise TypeError("headers must be a str, a mapping or (name, value) pairs, not bytes")
    try:
        pairs = list(headers.items() if hasattr(headers, "items") else headers)
        if any(isinstance(pair, str) for pair in pairs):  # "ab" would unpack as a pair
            raise TypeError
        pairs = [(name, value) for name, value in pairs]
    except (TypeError, ValueError):
        raise TypeError("headers must be a str, a mapping or (name, value) pairs") from None
    lines = []
    for name, value in pairs:
        if not isinstance(name, str) or not isinstance(value, str):
            raise TypeError(f"header {name!r}: names and values must be str")
        if not _TOKEN.match(name):
            raise ValueError(f"header name {name!r} is not a token "
                             "(letters, digits and !#$%&'*+-.^_`|~)")
        if _LINE_BREAKERS.search(value):
            raise ValueError(f"header {name!r}: the value holds CR, LF or NUL")
        lines.append(f"{name}: {value}")
    return "\r\n".join(lines)


def body_bytes(body: Any) -> Optional[bytes]:
    """A bytes-like body as bytes; None stays none. An int is refused (bytes(5) is five zeros)."""
    if body is None:
        return None
    try:
        return memoryview(body).tobytes()
    except TypeError:
        raise TypeError(f"body must be bytes-like, not {type(body).__name__}") from None


def bytes_buffer(value: Optional[bytes]) -> Any:
    """Bytes as a uint8_t buffer; None stays a null pointer."""
    return None if value is None else (ctypes.c_uint8 * len(value)).from_buffer_copy(value)


def copy_out(size_name: str, copy_name: str, request_id: int) -> bytes:
    """A result the library hands out by size query and copy (body, header block)."""
    size = int(globals()[size_name](request_id))
    buffer = (ctypes.c_uint8 * size)()
    globals()[copy_name](request_id, buffer, size)
    return bytes(buffer)


def copy_text(name: str, request_id: int) -> str:
    """A string the library hands out in UTF-16 units, its NUL included (the remote address)."""
    length, code = quietly(name, request_id, None, 0)
    if code not in (0, NAMES_TO_CODES["ERROR_INSUFFICIENT_BUFFER"]):
        raise KestruneError.from_code(code, name)
    buffer = (ctypes.c_uint16 * length)()
    globals()[name](request_id, buffer, length)
    return bytes(buffer).decode("utf-16-le", "surrogatepass").rstrip("\0")


NAMES_TO_CODES = {name: code for code, name in NAMES.items()}
