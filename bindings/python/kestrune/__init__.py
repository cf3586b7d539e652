"""Kestrune for Python: asynchronous HTTPS to the REST interfaces of a fixed set of
cryptocurrency exchanges, through the Kestrune library's 19 exports (ctypes, standard library
only).

    with kestrune.Client() as client:
        with client.request("https://api.binance.com/api/v3/time") as request:
            print(request.wait(15).status, request.body)

The library is the one named by KESTRUNE_LIBRARY, else the one beside this package, else the one
the system loader finds (libkestrune.so.1, Kestrune.dll). The error codes are module constants
(kestrune.ERROR_WINHTTP_TIMEOUT, ...), taken from the library's header when the package is built.
"""

from . import _native
from ._header import *  # noqa: F401,F403 (ABI_VERSION, the ERROR_ codes, NAMES)
from ._header import VERSION as __version__
from ._native import KestruneError
from .client import Client, Request


def abi_version():
    """The interface version of the loaded library."""
    return _native.KSRN_GetAbiVersion()
