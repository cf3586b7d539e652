"""Client and Request: the library's lifecycle and one request's life as context managers. Every
behaviour is the library's; these call the exports and raise what they report."""

import asyncio
import email.parser
import http.client
import time

from . import _native as native
from ._header import ABI_VERSION
from ._native import KestruneError

# Polls start fast, for answers that are already there, and back off to a pace that costs
# nothing while a transfer takes seconds.
FIRST_POLL_S = 0.001
LAST_POLL_S = 0.05


def _poll_delays():
    delay = FIRST_POLL_S
    while True:
        yield delay
        delay = min(delay * 2, LAST_POLL_S)


class Client:
    """The library initialised while the `with` block runs: KSRN_Init on enter, KSRN_Shutdown on
    exit, which cancels and drops every request still held. A process has one engine, so clients
    share it: a nested client keeps the running engine, and the first to exit stops it."""

    def __enter__(self):
        native.KSRN_Init(ABI_VERSION)
        return self

    def __exit__(self, *exception):
        native.KSRN_Shutdown()

    def request(self, url, method="GET", headers=None, body=None, timeout_ms=0):
        """Submits a request and returns it at once, as a Request to use in a `with` block.

        headers: a mapping or (name, value) pairs, sent as `name: value` lines; body: bytes,
        with POST only; timeout_ms: the whole request's budget, 0 for the library's 10 s.
        A refusal raises KestruneError (5 for a URL off the allowlist, 1816 with 32 held, ...).
        """
        block = None
        if headers is not None:
            pairs = headers.items() if hasattr(headers, "items") else headers
            block = "\r\n".join(f"{name}: {value}" for name, value in pairs)
        body = None if body is None else bytes(body)
        request_id = native.KSRN_Request(native.utf16(url), native.utf16(method),
                                         native.utf16(block), native.bytes_buffer(body),
                                         len(body or b""), timeout_ms)
        return Request(request_id)

    def set_throttle_ms(self, throttle_ms):
        """At least `throttle_ms` (0 to 60000) between the starts of any two transfers."""
        native.KSRN_SetThrottleMs(throttle_ms)

    @property
    def pending(self):
        """Requests not finished yet."""
        return native.KSRN_GetPendingCount()

    def cancel_all(self):
        """Cancels every unfinished request; returns how many."""
        return native.KSRN_CancelAll()


class Request:
    """One submitted request, freed (KSRN_Free) when its `with` block ends or on close(). Its
    results raise KestruneError 996 before it is ready, and 1168 once it is freed."""

    def __init__(self, request_id):
        self.id = request_id
        self._held = True

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    def close(self):
        if self._held:
            self._held = False
            native.KSRN_Free(self.id)

    @property
    def ready(self):
        """True once the outcome is published, whatever it is."""
        return bool(native.KSRN_IsReady(self.id))

    @property
    def succeeded(self):
        """True for a status 200 to 299 whose whole body arrived."""
        return bool(native.KSRN_Succeeded(self.id))

    @property
    def status(self):
        """The HTTP status, 0 when none arrived."""
        return native.KSRN_GetStatusCode(self.id)

    @property
    def error(self):
        """The outcome as a KestruneError (12002 out of time, 995 cancelled, ...), or None when
        the response was read to its end, whatever its status."""
        code = native.KSRN_GetRequestError(self.id)
        return KestruneError.from_code(code, "KSRN_GetRequestError") if code else None

    @property
    def body(self):
        return native.copy_out(native.KSRN_GetBodySize, native.KSRN_CopyBody, self.id)

    @property
    def headers(self):
        """The response's header lines as an http.client.HTTPMessage: in order, every value of a
        name (get_all), names looked up case-blind. The status line is `status`."""
        block = native.copy_out(native.KSRN_GetHeadersSize, native.KSRN_CopyHeaders, self.id)
        lines = block.decode("utf-8").partition("\r\n")[2]
        return email.parser.Parser(_class=http.client.HTTPMessage).parsestr(lines, True)

    def cancel(self):
        """Cancels the request: a queued one ends at once with 995, a running one soon after."""
        native.KSRN_Cancel(self.id)

    def wait(self, timeout=None):
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

    def __await__(self):
        """`await request`: wait() without a time limit, polling with asyncio.sleep, so any
        number of requests wait on the event loop's thread. Cancelling the awaiting task cancels
        the request too."""
        return self._wait_async().__await__()

    async def _wait_async(self):
        try:
            for delay in _poll_delays():
                if self.ready:
                    return self._outcome()
                await asyncio.sleep(delay)
        except asyncio.CancelledError:
            self.cancel()
            raise

    def _outcome(self):
        error = self.error
        if error is not None:
            raise error
        return self
