"""Kestrune for Python: asynchronous HTTPS to the REST interfaces of a fixed set of
cryptocurrency exchanges, through the Kestrune library's exports (ctypes, standard library only).

    with kestrune.Client() as client:
        with client.request("https://api.binance.com/api/v3/time") as request:
            print(request.wait(15).status, request.body)

The library is loaded on first use, not on import: the copy a wheel put beside this package,
else the one named by KESTRUNE_LIBRARY, else the one the system loader finds (libkestrune.so.1,
libkestrune.so, Kestrune.dll). The error codes are module constants (kestrune.ERROR_WINHTTP_TIMEOUT,
...), taken from the library's header when the package is built.
"""

from . import _native
from ._constants import *  # noqa: F401,F403 (ABI_VERSION, the ERROR_ codes, NAMES)
from ._constants import VERSION as __version__
from ._native import KestruneError, KestruneTimeoutError
from .client import Client, Delivery, Mark, Request, parse_retry_after


def abi_version() -> int:
    """The interface version of the loaded library (loading it if needed)."""
    return _native.KSRN_GetAbiVersion()


def library_path() -> str:
    """Where the library was loaded from (loading it if needed)."""
    return _native.library_path()
