"""Client and Request: the library's lifecycle and one request's life as context managers. Every
behaviour is the library's; these call the exports and raise what they report."""

from __future__ import annotations

import asyncio
import email.parser
import email.utils
import enum
import http.client
import re
import threading
import time
import warnings
import weakref
from typing import Any, Dict, Generator, Iterable, Iterator, Mapping, Optional, Tuple, Union

from . import _native as native
from ._constants import ABI_VERSION
from ._native import KestruneError

# Polls start fast, for answers that are already there, and back off to a pace that costs
# nothing while a transfer takes seconds.
FIRST_POLL_S = 0.001
LAST_POLL_S = 0.05

# Codes a cleanup meets when the engine (6) or the id (1168) is already gone: nothing left to do.
_GONE = frozenset({6, 1168})

Headers = Union[str, Mapping[str, str], Iterable[Tuple[str, str]], None]


class Delivery(enum.IntEnum):
    """How far a request got, as the library knows it (KSRN_GetDelivery)."""
    NOT_SENT = 0  # no byte of it was written: safe to send again
    UNKNOWN = 1  # it may have reached the server
    ANSWERED = 2  # a response arrived


class Mark(enum.IntEnum):
    """The moments of a transfer the library stamps (KSRN_GetTimingUs)."""
    STARTED = 1
    RESOLVED = 2
    CONNECTED = 3
    SECURED = 4
    SENT = 5
    FIRST_BYTE = 6
    DONE = 7


# The answers that may carry a Retry-After worth following.
RETRY_AFTER_STATUSES = frozenset({418, 429, 503})


def parse_retry_after(value: Optional[str], now: Optional[float] = None) -> Optional[float]:
    """Seconds to wait from a Retry-After value: delta-seconds, or an HTTP-date (0 once past);
    None when absent or malformed."""
    if value is None:
        return None
    value = value.strip()
    if re.fullmatch(r"[0-9]+", value):
        return float(value)
    try:
        when = email.utils.parsedate_to_datetime(value)
    except (TypeError, ValueError, IndexError):
        return None
    if when is None or when.tzinfo is None:  # an HTTP-date is always GMT
        return None
    return max(0.0, when.timestamp() - (time.time() if now is None else now))


def _poll_delays() -> Iterator[float]:
    delay = FIRST_POLL_S
    while True:
        yield delay
        delay = min(delay * 2, LAST_POLL_S)


# A process has one engine: the clients open at once share it, and the last one out stops it.
_engine_lock = threading.Lock()
_open_clients = 0


def _required_text(value: Any, argument: str) -> Any:
    """A method, host or table name as the export takes it; None would reach the library as
    NULL."""
    if value is None:
        raise TypeError(f"{argument} must be a str, not None")
    return native.utf16(value, argument)


def _method_names(methods: Any) -> Tuple[str, ...]:
    """allow_methods, checked before any call: a bare str would be taken letter by letter."""
    if methods is None or isinstance(methods, (str, bytes)):
        raise TypeError('allow_methods must be an iterable of str, such as ("DELETE",)')
    try:
        names = tuple(methods)
    except TypeError:
        raise TypeError('allow_methods must be an iterable of str, such as ("DELETE",)') from None
    for name in names:
        _required_text(name, "allow_methods")
    return names


def _submitting(method: str) -> Any:
    def submit(self: Client, url: str, headers: Headers = None, body: Optional[Any] = None,
               timeout_ms: int = 0, weight: int = 1) -> Request:
        return self.request(url, method, headers, body, timeout_ms, weight)
    submit.__name__ = method.lower()
    submit.__doc__ = (f"request() with {method}, which allow_methods or allow_method() must have "
                      "allowed (else KestruneError 5).")
    return submit


class Client:
    """The library initialised while the `with` block runs: KSRN_Init on enter, then
    KSRN_AllowMethod for each of `allow_methods` ("DELETE", "PUT", "PATCH"); on exit of the last
    open client, KSRN_Shutdown, which cancels and drops every request still held. Open clients
    share the process's engine, and so the methods any of them allowed and the host budgets."""

    def __init__(self, allow_methods: Iterable[str] = ()) -> None:
        self._open = False
        self._allow_methods = _method_names(allow_methods)

    def __enter__(self) -> Client:
        global _open_clients
        with _engine_lock:
            if self._open:
                return self
            native.KSRN_Init(ABI_VERSION)  # a repeated init keeps the running engine
            self._open = True
            _open_clients += 1
        try:
            for method in self._allow_methods:
                self.allow_method(method)
        except BaseException:
            self._leave(raising=False)
            raise
        return self

    def __exit__(self, kind: Any, error: Any, trace: Any) -> None:
        self._leave(raising=error is None)

    def close(self) -> None:
        """What leaving the `with` block does; again, nothing."""
        self._leave(raising=True)

    def _leave(self, raising: bool) -> None:
        global _open_clients
        with _engine_lock:
            if not self._open:
                return
            self._open = False
            _open_clients -= 1
            if _open_clients:
                return
            _, code = native.quietly("KSRN_Shutdown")
        if code and raising:
            raise KestruneError.from_code(code, "KSRN_Shutdown")

    def __repr__(self) -> str:
        return f"<kestrune.Client {'open' if self._open else 'closed'}>"

    def request(self, url: str, method: str = "GET", headers: Headers = None,
                body: Optional[Any] = None, timeout_ms: int = 0, weight: int = 1) -> Request:
        """Submits a request and returns it at once, as a Request to use in a `with` block.

        headers: a mapping or (name, value) pairs, each name a token and no value with CR, LF or
        NUL, or a str block of `Name: value` lines joined by CR LF, passed as it is; body:
        bytes-like, not with GET or HEAD; timeout_ms: the whole request's budget, 0 for the
        library's 10 s, else 250 to 120000; weight: the units of its host's budget it takes (see
        set_host_budget), 1 to 1000000 and at most that budget; any other than 1 needs Kestrune
        1.2. A refusal raises KestruneError (5 for a URL off the allowlist or a method not
        allowed, 1816 with 32 held, ...); what the binding refuses itself raises TypeError or
        ValueError before any call.
        """
        arguments = (native.utf16(url, "url"), native.utf16(method, "method"),
                     native.utf16(native.header_block(headers), "headers"))
        data = native.body_bytes(body)
        sent = (native.bytes_buffer(data), len(data or b""), native.int32(timeout_ms, "timeout_ms"))
        if native.int32(weight, "weight") == 1:  # as KSRN_Request weighs, with any 1.x library
            return Request(native.KSRN_Request(*arguments, *sent))
        return Request(native.KSRN_RequestWeighted(*arguments, *sent, weight))

    delete = _submitting("DELETE")
    put = _submitting("PUT")
    patch = _submitting("PATCH")

    def allow_method(self, method: str) -> None:
        """Has the library accept `method` ("DELETE", "PUT" or "PATCH", in any case) besides
        GET, HEAD and POST until the engine stops (needs Kestrune 1.2); it goes out upper-cased.
        Any other name raises KestruneError 87."""
        native.KSRN_AllowMethod(_required_text(method, "method"))

    def set_host_budget(self, host: str, units: int, period_ms: int) -> None:
        """Promises that in any interval of `period_ms` (1 to 3600000) the requests started to
        `host`, an allowlisted host name in any case, weigh at most `units` (1 to 1000000)
        together; 0 units removes the budget and any hold. A request whose units cannot come
        before its deadline ends with KestruneError 1237, transient and never sent. Budgets last
        until the engine stops (needs Kestrune 1.2)."""
        native.KSRN_SetHostBudget(_required_text(host, "host"), native.int32(units, "units"),
                                  native.int32(period_ms, "period_ms"))

    def host_hold_seconds(self, host: str) -> float:
        """Seconds left before a request to `host` may start again, after a 429, 418 or 503 held
        the budgeted host (Retry-After, or one period without it); 0.0 when not held (needs
        Kestrune 1.2)."""
        return native.KSRN_GetHostHoldMs(_required_text(host, "host")) / 1000

    def host_units_left(self, host: str) -> Optional[int]:
        """The units a request to `host` could take now (0 while held), None when the host has
        no budget (needs Kestrune 1.2)."""
        try:
            return native.KSRN_GetHostUnitsLeft(_required_text(host, "host"))
        except KestruneError as error:
            if error.code == native.NAMES_TO_CODES["ERROR_NOT_FOUND"]:
                return None
            raise

    def share_budgets(self, name: str) -> None:
        """Shares the budgets and holds with every process of this user on this machine that
        shares the same `name` (1 to 64 of A-Za-z0-9._-, else KestruneError 87), so that their
        starts together stay within each budget (needs Kestrune 1.2)."""
        native.KSRN_ShareBudgets(_required_text(name, "name"))

    def set_throttle_ms(self, throttle_ms: int) -> None:
        """At least `throttle_ms` (0 to 60000) between the starts of any two transfers."""
        native.KSRN_SetThrottleMs(native.int32(throttle_ms, "throttle_ms"))

    @property
    def pending(self) -> int:
        """Requests not finished yet."""
        return native.KSRN_GetPendingCount()

    def cancel_all(self) -> int:
        """Cancels every unfinished request; returns how many."""
        return native.KSRN_CancelAll()


def _free_abandoned(request_id: int) -> None:
    warnings.warn(f"kestrune request {request_id} was not closed; freed when collected",
                  ResourceWarning, stacklevel=2)
    native.quietly("KSRN_Free", request_id)


class Request:
    """One submitted request, freed (KSRN_Free) when its `with` block ends, on close(), or, with
    a ResourceWarning, when it is collected unclosed: an abandoned request would otherwise hold
    one of the library's 32 places for good. Its results raise KestruneError 996 before it is
    ready, and 1168 once it is freed."""

    def __init__(self, request_id: int) -> None:
        self.id = request_id
        self._finalizer = weakref.finalize(self, _free_abandoned, request_id)
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
        if code and code not in _GONE and raising:
            raise KestruneError.from_code(code, "KSRN_Free")

    def __repr__(self) -> str:
        if not self._finalizer.alive:
            return f"<kestrune.Request {self.id} closed>"
        ready, code = native.quietly("KSRN_IsReady", self.id)
        if code:
            return f"<kestrune.Request {self.id} {native.NAMES.get(code, code)}>"
        if not ready:
            return f"<kestrune.Request {self.id} pending>"
        status, _ = native.quietly("KSRN_GetStatusCode", self.id)
        outcome, _ = native.quietly("KSRN_GetRequestError", self.id)
        return (f"<kestrune.Request {self.id} status {status}" +
                (f", {native.NAMES.get(outcome, outcome)}>" if outcome else ">"))

    @property
    def ready(self) -> bool:
        """True once the outcome is published, whatever it is."""
        return bool(native.KSRN_IsReady(self.id))

    @property
    def succeeded(self) -> bool:
        """True for a status 200 to 299 whose whole body arrived."""
        return bool(native.KSRN_Succeeded(self.id))

    @property
    def status(self) -> int:
        """The HTTP status, 0 when none arrived."""
        return native.KSRN_GetStatusCode(self.id)

    @property
    def error(self) -> Optional[KestruneError]:
        """The outcome as a KestruneError (12002 out of time, a KestruneTimeoutError; 995
        cancelled, ...), or None when the response was read to its end, whatever its status."""
        code = native.KSRN_GetRequestError(self.id)
        if not code:
            return None
        reached = (not native.has_export("KSRN_GetDelivery")
                   or self.delivery != Delivery.NOT_SENT)
        return KestruneError.from_code(code, "KSRN_GetRequestError", reached)

    @property
    def body(self) -> bytes:
        return native.copy_out(native.KSRN_GetBodySize, native.KSRN_CopyBody, self.id)

    @property
    def headers(self) -> http.client.HTTPMessage:
        """The response's header lines as an http.client.HTTPMessage: in order, every value of a
        name (get_all), names looked up case-blind. The status line is `status`."""
        block = native.copy_out(native.KSRN_GetHeadersSize, native.KSRN_CopyHeaders, self.id)
        lines = block.decode("utf-8").partition("\r\n")[2]
        return email.parser.Parser(_class=http.client.HTTPMessage).parsestr(lines, True)

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
            microseconds = native.KSRN_GetTimingUs(self.id, mark)
            if microseconds >= 0:
                reached[mark] = microseconds / 1e6
        return reached

    @property
    def remote_address(self) -> str:
        """The address the request was sent to, "" when no connection was made (needs Kestrune
        1.1)."""
        return native.copy_text("KSRN_CopyRemoteAddress", self.id)

    @property
    def retry_after(self) -> Optional[float]:
        """Seconds a 429, 418 or 503 answer asks to wait (Retry-After as seconds or a date);
        None for other answers or without the header. The binding never retries by itself."""
        if self.status not in RETRY_AFTER_STATUSES:
            return None
        return parse_retry_after(self.headers.get("Retry-After"))

    def cancel(self) -> None:
        """Cancels the request: a queued one ends at once with 995, a running one soon after."""
        native.KSRN_Cancel(self.id)

    def wait(self, timeout: Optional[float] = None) -> Request:
        """Polls until the request is ready and returns it, or raises its error. Raises
        TimeoutError when `timeout` seconds pass first; the request goes on."""
        deadline = None if timeout is None else time.monotonic() + timeout
        for delay in _poll_delays():
            if self.ready:
                return self._outcome()
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"request {self.id} not ready after {timeout} s")
                delay = min(delay, left)
            time.sleep(delay)
        raise AssertionError("unreachable")

    def __await__(self) -> Generator[Any, None, Request]:
        """`await request`: wait() without a time limit, polling with asyncio.sleep, so any
        number of requests wait on the event loop's thread. Cancelling the awaiting task cancels
        the request too, and always ends the task with CancelledError."""
        return self._wait_async().__await__()

    async def _wait_async(self) -> Request:
        try:
            for delay in _poll_delays():
                if self.ready:
                    return self._outcome()
                await asyncio.sleep(delay)
        except asyncio.CancelledError:
            native.quietly("KSRN_Cancel", self.id)  # the request may be closed already
            raise
        raise AssertionError("unreachable")

    def _outcome(self) -> Request:
        error = self.error
        if error is not None:
            raise error
        return self
