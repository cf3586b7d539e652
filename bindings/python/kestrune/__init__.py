"""Kestrune for Python: asynchronous HTTPS to the REST interfaces of a fixed set of
cryptocurrency exchanges, through the Kestrune library's exports (ctypes, standard library only).

    with kestrune.Client() as client:
        with client.get("https://api.binance.com/api/v3/time") as response:
            print(response.wait(15).status_code, response.json())

The library is loaded on first use, not on import: the one named by KESTRUNE_LIBRARY, else the
copy a wheel put beside this package, else the one the system loader finds (libkestrune.so.1,
libkestrune.so, Kestrune.dll). The error codes are module constants (kestrune.ERROR_WINHTTP_TIMEOUT,
...), taken from the library's header when the package is built.
"""

from . import _native
from ._constants import *  # noqa: F401,F403 (ABI_VERSION, the ERROR_ codes, NAMES)
from ._constants import NAMES
from ._constants import VERSION as __version__
from ._errors import (ClientClosedError, HTTPStatusError, KestruneConnectionError,
                      KestruneError, KestruneTimeoutError, PolicyError, RequestCancelledError,
                      RequestTimeoutError, TLSError, WaitTimeoutError)
from ._headers import Headers
from ._process import ProcessWide, process_wide
from ._request import Request
from ._response import Delivery, Mark, Response, parse_retry_after
from .client import BodyLike, Client, HeadersLike, ParamsLike


def abi_version() -> int:
    """The interface version of the loaded library (loading it if needed)."""
    return int(_native.KSRN_GetAbiVersion())


def library_path() -> str:
    """Where the library was loaded from (loading it if needed)."""
    return _native.library_path()


__all__ = [
    "abi_version", "library_path", "NAMES", "__version__",
    "Client", "Request", "Response", "Headers", "Delivery", "Mark", "parse_retry_after",
    "ProcessWide", "process_wide", "BodyLike", "HeadersLike", "ParamsLike",
    "KestruneError", "PolicyError", "ClientClosedError", "KestruneConnectionError", "TLSError",
    "RequestTimeoutError", "KestruneTimeoutError", "WaitTimeoutError", "RequestCancelledError",
    "HTTPStatusError",
] + sorted(name for name in NAMES.values()) + ["ABI_VERSION", "VERSION"]
