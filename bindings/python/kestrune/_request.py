"""One submitted request held in the library: its wait, its results and its freeing."""

from __future__ import annotations

import asyncio
import math
import sys
import warnings
import weakref
from pathlib import Path
from typing import Any, Callable, Dict, Generator, Optional, Tuple

from . import _native as native
from . import _waiting
from ._constants import NAMES
from ._errors import KestruneError, WaitTimeoutError
from ._headers import Headers
from ._response import Delivery, Mark, Response, ResponseConventions

# Codes a cleanup meets when the engine (6) or the id (1168) is already gone: nothing left to do.
_GONE = frozenset({6, 1168})
_PACKAGE = str(Path(__file__).parent)  # as the code objects name their files


def _submission_site() -> Tuple[str, int]:
    """The host's line that submitted the request: the first frame outside this package."""
    frame: Any = sys._getframe(1)
    while frame is not None and frame.f_code.co_filename.startswith(_PACKAGE):
        frame = frame.f_back
    return (frame.f_code.co_filename, frame.f_lineno) if frame is not None else ("<unknown>", 0)


def _free_abandoned(request_id: int, site: Tuple[str, int]) -> None:
    # Collection happens wherever the collector runs: the warning names the submitting line.
    warnings.warn_explicit(f"kestrune request {request_id} was not closed; freed when collected",
                           ResourceWarning, site[0], site[1])
    native.quietly("KSRN_Free", request_id)
    _waiting.places.free()


def seconds(value: Any, argument: str) -> float:
    """A duration in seconds: an int or float, finite."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{argument} must be a number of seconds, not {type(value).__name__}")
    if not math.isfinite(value):
        raise ValueError(f"{argument}={value} is not a finite number of seconds")
    return float(value)


class Request(ResponseConventions):
    """One submitted request, freed (KSRN_Free) when its `with` block ends, on close(), when its
    Client closes, or, with a ResourceWarning naming the line that submitted it, when it is
    collected unclosed: an abandoned request would otherwise hold one of the library's 32 places
    for good. Its results raise KestruneError 996 before it is ready, 1168 once it is freed, and
    its own error when it failed."""

    def __init__(self, request_id: int, url: str = "",
                 on_close: Optional[Callable[[Request], None]] = None) -> None:
        self.id = request_id
        self.url = url
        self._on_close = on_close
        self._finalizer = weakref.finalize(self, _free_abandoned, request_id, _submission_site())
        self._finalizer.atexit = False  # at exit the engine stops anyway

    def __enter__(self) -> Request:
        return self

    def __exit__(self, kind: Any, error: Any, trace: Any) -> None:
        self._close(raising=error is None)

    def close(self) -> None:
        """Frees the request; again, or after the client exited, nothing."""
        self._close(raising=True)

    def _close(self, raising: bool) -> None:
        if self._finalizer.detach() is None:
            return
        _, code = native.quietly("KSRN_Free", self.id)
        _waiting.places.free()
        if self._on_close is not None:
            self._on_close(self)
        if code and code not in _GONE and raising:
            raise KestruneError.from_code(code, "KSRN_Free")

    @property
    def closed(self) -> bool:
        return not self._finalizer.alive

    def _live(self, call: str) -> int:
        """The id, or the library's 1168 for it, saying why, once the binding freed it."""
        if not self._finalizer.alive:
            raise KestruneError.from_code(1168, call, detail="the request is closed")
        return self.id

    def __repr__(self) -> str:
        if not self._finalizer.alive:
            return f"<kestrune.Request {self.id} closed>"
        ready, code = native.quietly("KSRN_IsReady", self.id)
        if code:
            return f"<kestrune.Request {self.id} {NAMES.get(code, code)}>"
        if not ready:
            return f"<kestrune.Request {self.id} pending>"
        status, _ = native.quietly("KSRN_GetStatusCode", self.id)
        outcome, _ = native.quietly("KSRN_GetRequestError", self.id)
        return (f"<kestrune.Request {self.id} status {status}" +
                (f", {NAMES.get(outcome, outcome)}>" if outcome else ">"))

    @property
    def ready(self) -> bool:
        """True once the outcome is published, whatever it is."""
        return bool(native.KSRN_IsReady(self._live("KSRN_IsReady")))

    @property
    def succeeded(self) -> bool:
        """True for a status 200 to 299 whose whole body arrived."""
        return bool(native.KSRN_Succeeded(self.id))

    @property
    def error(self) -> Optional[KestruneError]:
        """The outcome as a KestruneError (RequestTimeoutError, RequestCancelledError, ...) with
        the `status` and `body` that arrived, or None when the response was read to its end,
        whatever its status."""
        code = int(native.KSRN_GetRequestError(self._live("KSRN_GetRequestError")))
        if not code:
            return None
        reached = (not native.has_export("KSRN_GetDelivery")
                   or self.delivery != Delivery.NOT_SENT)
        error = KestruneError.from_code(code, "KSRN_GetRequestError", reached)
        error.status = native.quietly("KSRN_GetStatusCode", self.id)[0]
        try:
            error.body = native.copy_out("KSRN_GetBodySize", "KSRN_CopyBody", self.id)
        except KestruneError:
            pass
        return error

    def _raise_if_failed(self) -> None:
        error = self.error
        if error is not None:
            raise error

    @property
    def status(self) -> int:
        """The HTTP status; a request that failed raises its error instead."""
        status = int(native.KSRN_GetStatusCode(self._live("KSRN_GetStatusCode")))
        self._raise_if_failed()
        return status

    @property
    def body(self) -> bytes:
        """The body; a request that failed raises its error (which holds what arrived)."""
        body = native.copy_out("KSRN_GetBodySize", "KSRN_CopyBody",
                               self._live("KSRN_GetBodySize"))
        self._raise_if_failed()
        return body

    @property
    def headers(self) -> Headers:
        """The response's header lines (the status line is `status`)."""
        block = native.copy_out("KSRN_GetHeadersSize", "KSRN_CopyHeaders",
                               self._live("KSRN_GetHeadersSize"))
        self._raise_if_failed()
        return Headers.parse(block)

    @property
    def delivery(self) -> Delivery:
        """How far the request got (needs Kestrune 1.1)."""
        return Delivery(native.KSRN_GetDelivery(self.id))

    @property
    def timings(self) -> Dict[Mark, float]:
        """Seconds from the library's registration of the request to each moment the transfer
        reached; moments not reached are absent (needs Kestrune 1.1)."""
        reached = {}
        for mark in Mark:
            microseconds = int(native.KSRN_GetTimingUs(self.id, mark))
            if microseconds >= 0:
                reached[mark] = microseconds / 1e6
        return reached

    @property
    def remote_address(self) -> str:
        """The address the request was sent to, "" when no connection was made (needs Kestrune
        1.1)."""
        return native.copy_text("KSRN_CopyRemoteAddress", self.id)

    @property
    def reused(self) -> bool:
        """Whether it went out on a connection an earlier request had used (see
        process_wide.set_keep_alive_ms; needs Kestrune 1.2)."""
        return bool(native.KSRN_GetConnectionReused(self.id))

    def cancel(self) -> None:
        """Cancels the request: a queued one ends at once with 995, a running one soon after."""
        native.KSRN_Cancel(self._live("KSRN_Cancel"))

    def wait(self, timeout: Optional[float] = None) -> Request:
        """Blocks until the request is ready and returns it, or raises its error. Raises
        WaitTimeoutError when `timeout` seconds pass first; the request goes on."""
        limit = None if timeout is None else max(0.0, seconds(timeout, "timeout"))
        if not _waiting.wait_ready(self._live("KSRN_IsReady"), limit):
            raise WaitTimeoutError(996, NAMES[996], "wait", True,
                                   f"request {self.id} not ready after {timeout} s")
        self._raise_if_failed()
        return self

    def __await__(self) -> Generator[Any, None, Request]:
        """`await request`: wait() without a time limit, on the event loop. Cancelling the
        awaiting task cancels the request too, and always ends the task with CancelledError."""
        return self._wait_async().__await__()

    async def _wait_async(self) -> Request:
        try:
            await _waiting.wait_ready_async(self._live("KSRN_IsReady"))
        except asyncio.CancelledError:
            native.quietly("KSRN_Cancel", self.id)  # the request may be closed already
            raise
        self._raise_if_failed()
        return self

    def response(self, timeout: Optional[float] = None) -> Response:
        """Waits for the request as wait() does, then copies the answer out, to keep after the
        request is freed."""
        self.wait(timeout)
        wire = {name: native.has_export(name)
                for name in ("KSRN_GetDelivery", "KSRN_GetConnectionReused")}
        return Response(self.url, self.status, self.headers, self.body,
                        self.timings if wire["KSRN_GetDelivery"] else {},
                        self.delivery if wire["KSRN_GetDelivery"] else None,
                        self.remote_address if wire["KSRN_GetDelivery"] else None,
                        self.reused if wire["KSRN_GetConnectionReused"] else None)
