"""Client: a host's own set of requests over the process's one engine, as a context manager.
Every behaviour is the library's; this calls the exports and raises what they report."""

from __future__ import annotations

import gc
import json as json_module
import math
import re
import threading
import time
import warnings
import weakref
from typing import Any, Iterable, Mapping, NamedTuple, Optional, Tuple, Union
from urllib.parse import urlencode, urlsplit

from . import _native as native
from . import _waiting
from ._constants import ABI_VERSION, NAMES
from ._errors import KestruneError, PolicyError, RequestTimeoutError
from ._process import process_wide, required_text
from ._request import Request, seconds
from ._response import Response
# Their 1.1 home, still exported from it.
from ._response import Delivery as Delivery, Mark as Mark, parse_retry_after as parse_retry_after

BodyLike = Union[bytes, bytearray, memoryview]
HeadersLike = Union[str, Mapping[str, str], Iterable[Tuple[str, str]], None]
ParamsLike = Union[str, Mapping[str, Any], Iterable[Tuple[str, Any]], None]

BASE_METHODS = frozenset({"GET", "HEAD", "POST"})
EXTRA_METHODS = frozenset({"DELETE", "PUT", "PATCH"})
DEFAULT_TIMEOUT_MS = 10000  # what the library gives timeout_ms 0
MIN_TIMEOUT_MS = 250
# The headers the library sets itself and refuses from a host, named in the refusal.
LIBRARY_HEADERS = frozenset({"host", "connection", "content-length", "proxy-connection",
                             "transfer-encoding", "proxy-authorization"})

# A process has one engine: the clients open at once share it, and the last one out stops it.
_engine_lock = threading.Lock()
_open_clients = 0


def _method_names(methods: Any) -> Tuple[str, ...]:
    """allow_methods, checked before any call: a bare str would be taken letter by letter."""
    if methods is None or isinstance(methods, (str, bytes)):
        raise TypeError('allow_methods must be an iterable of str, such as ("DELETE",)')
    try:
        names = tuple(methods)
    except TypeError:
        raise TypeError('allow_methods must be an iterable of str, such as ("DELETE",)') from None
    for name in names:
        required_text(name, "allow_methods")
    return names


def _with_params(url: str, params: ParamsLike) -> str:
    if params is None:
        return url
    query = params if isinstance(params, str) else urlencode(
        list(params.items() if isinstance(params, Mapping) else params), doseq=True)
    base, hash_mark, fragment = url.partition("#")
    joined = f"{base}{'&' if '?' in base else '?'}{query}" if query else base
    return joined + hash_mark + fragment


def _refusal(url: str, method: str, headers: Optional[str]) -> Tuple[str, str]:
    """Which rule refused a submission with 5, checked in the library's order: URL, method,
    headers. The host is asked of the library, which alone holds the allowlist."""
    parts = urlsplit(url)
    if parts.scheme.lower() != "https":
        return "scheme", f"scheme {parts.scheme!r} refused: HTTPS only"
    try:
        port = parts.port
    except ValueError:
        port = None
    if port not in (None, 443):
        return "port", f"port {port} refused: 443 only"
    if "@" in parts.netloc:
        return "userinfo", "a user name or password in the URL refused"
    if native.has_export("KSRN_GetHostHoldMs"):
        _, code = native.quietly("KSRN_GetHostHoldMs", native.utf16(parts.hostname or ""))
        if code == native.NAMES_TO_CODES["ERROR_ACCESS_DENIED"]:
            return "host", f"host {parts.hostname!r} is not allowlisted"
    if method.upper() not in BASE_METHODS | process_wide.allowed_methods:
        hint = (f" until Client(allow_methods=({method.upper()!r},)) allows it"
                if method.upper() in EXTRA_METHODS else "")
        return "method", f"method {method!r} is not allowed{hint}"
    names = [line.partition(":")[0].strip() for line in (headers or "").split("\r\n")]
    refused = [name for name in names if name.lower() in LIBRARY_HEADERS]
    return "header", (f"header {refused[0]!r} refused: the library sets it itself" if refused
                      else "a header or the host refused by policy")


class _Submission(NamedTuple):
    url: str
    method: str
    headers: Optional[str]
    body: Optional[bytes]
    timeout_ms: int
    weight: int


def _process_wide_alias(name: str) -> Any:
    def alias(self: Client, *arguments: Any) -> Any:
        warnings.warn(f"Client.{name}() acts on the whole process: use "
                      f"kestrune.process_wide.{name}()", DeprecationWarning, stacklevel=2)
        return getattr(process_wide, name)(*arguments)
    alias.__name__ = name
    alias.__doc__ = f"Deprecated: kestrune.process_wide.{name}(), which it calls."
    return alias


class Client:
    """The library initialised while the `with` block runs (KSRN_Init on enter). Its requests are
    its own: closing it cancels and frees them, and no other client's. Open clients share the
    process's engine, and so what is set in kestrune.process_wide, which `allow_methods`
    (KSRN_AllowMethod: "DELETE", "PUT", "PATCH") and `keep_alive_ms` (KSRN_SetKeepAliveMs) set
    too. The last client to close calls KSRN_Shutdown, which forgets those settings."""

    def __init__(self, allow_methods: Iterable[str] = (),
                 keep_alive_ms: Optional[int] = None) -> None:
        self._open = False
        self._closed = False
        self._allow_methods = _method_names(allow_methods)
        self._keep_alive_ms = (None if keep_alive_ms is None
                               else native.int32(keep_alive_ms, "keep_alive_ms"))
        self._requests: weakref.WeakSet[Request] = weakref.WeakSet()

    def __enter__(self) -> Client:
        global _open_clients
        with _engine_lock:
            if self._open:
                return self
            if self._closed:
                raise self._closed_error("__enter__")
            native.KSRN_Init(ABI_VERSION)  # a repeated init keeps the running engine
            self._open = True
            _open_clients += 1
        try:
            for method in self._allow_methods:
                process_wide.allow_method(method)
            if self._keep_alive_ms is not None:
                process_wide.set_keep_alive_ms(self._keep_alive_ms)
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
        for request in list(self._requests):
            request._close(raising=False)  # a free cancels an unfinished request first
        with _engine_lock:
            if not self._open:
                return
            self._open, self._closed = False, True
            _open_clients -= 1
            if _open_clients:
                return
            process_wide.allowed_methods.clear()
            _, code = native.quietly("KSRN_Shutdown")
        if code and raising:
            raise KestruneError.from_code(code, "KSRN_Shutdown")

    def _closed_error(self, call: str) -> KestruneError:
        error = KestruneError.from_code(6, call, False)
        error.detail = "the client is closed" if self._closed else (
            "the client is not open: use it in a with block")
        return error

    def __repr__(self) -> str:
        return f"<kestrune.Client {'open' if self._open else 'closed'}>"

    def _prepare(self, url: str, method: str, headers: HeadersLike, body: Optional[BodyLike],
                 timeout_ms: int, weight: int, params: ParamsLike, json: Any,
                 timeout: Optional[float]) -> _Submission:
        if not isinstance(url, str):
            raise TypeError(f"url must be a str, not {type(url).__name__}")
        data = native.body_bytes(body)
        block = native.header_block(headers)
        if json is not None:
            if data is not None:
                raise TypeError("give body or json, not both")
            data = json_module.dumps(json, separators=(",", ":"), ensure_ascii=False).encode()
            if not re.search(r"(?im)^content-type[ \t]*:", block or ""):
                block = (block + "\r\n" if block else "") + "Content-Type: application/json"
        if timeout is not None:
            if timeout_ms:
                raise TypeError("give timeout (seconds) or timeout_ms, not both")
            timeout_ms = math.ceil(seconds(timeout, "timeout") * 1000)
        if isinstance(timeout_ms, int) and timeout_ms != 0 and not 250 <= timeout_ms <= 120000:
            raise ValueError(f"timeout_ms={timeout_ms}: the time-out must be 250 to 120000 ms "
                             "(timeout 0.25 to 120 s), or 0 for the library's 10 s")
        return _Submission(_with_params(url, params), method, block, data,
                           native.int32(timeout_ms, "timeout_ms"), native.int32(weight, "weight"))

    def _submit(self, submission: _Submission, collect: bool = True) -> Request:
        if not self._open:
            raise self._closed_error("request")
        url, method, headers, data, timeout_ms, weight = submission
        arguments = (native.utf16(url, "url"), native.utf16(method, "method", required=True),
                     native.utf16(headers, "headers"), native.bytes_buffer(data), len(data or b""),
                     timeout_ms)
        for attempt in (1, 2):
            try:
                if weight == 1:  # as KSRN_Request weighs, with any 1.x library
                    request_id = native.KSRN_Request(*arguments)
                else:
                    request_id = native.KSRN_RequestWeighted(*arguments, weight)
                break
            except PolicyError as error:
                error.rule, error.detail = _refusal(url, method, headers)
                raise
            except KestruneError as error:
                # 32 held: unclosed requests in reference cycles hold places until a collection
                # frees them; one collection, then the library's answer stands.
                if (error.code != native.NAMES_TO_CODES["ERROR_NOT_ENOUGH_QUOTA"] or attempt == 2
                        or not collect):
                    raise
                gc.collect()
        request = Request(int(request_id), url, self._requests.discard)
        self._requests.add(request)
        return request

    def request(self, url: str, method: str = "GET", headers: HeadersLike = None,
                body: Optional[BodyLike] = None, timeout_ms: int = 0, weight: int = 1, *,
                params: ParamsLike = None, json: Any = None,
                timeout: Optional[float] = None) -> Request:
        """Submits a request and returns it at once, as a Request to use in a `with` block.

        headers: a mapping or (name, value) pairs, each name a token and no value with CR, LF or
        NUL, or a str block of `Name: value` lines joined by CR LF, passed as it is; body:
        bytes-like, not with GET or HEAD; json: any value json.dumps takes, sent as the body
        with Content-Type application/json (unless headers name one); params: a mapping, pairs
        or a str, added to the URL's query; timeout_ms: the whole request's budget, 0 for the
        library's 10 s, else 250 to 120000, or timeout in seconds; weight: the units of its
        host's budget it takes (see process_wide.set_host_budget), 1 to 1000000. A refusal
        raises its KestruneError (PolicyError with the rule that refused, ClientClosedError,
        ...); with 32 held, one garbage collection frees any unclosed request before 1816 is
        raised. What the binding refuses itself raises TypeError or ValueError before any call.
        """
        return self._submit(self._prepare(url, method, headers, body, timeout_ms, weight, params,
                                          json, timeout))

    def get(self, url: str, headers: HeadersLike = None, body: Optional[BodyLike] = None,
            timeout_ms: int = 0, weight: int = 1, *, params: ParamsLike = None, json: Any = None,
            timeout: Optional[float] = None) -> Request:
        """request() with GET."""
        return self.request(url, "GET", headers, body, timeout_ms, weight, params=params,
                            json=json, timeout=timeout)

    def post(self, url: str, headers: HeadersLike = None, body: Optional[BodyLike] = None,
             timeout_ms: int = 0, weight: int = 1, *, params: ParamsLike = None, json: Any = None,
             timeout: Optional[float] = None) -> Request:
        """request() with POST."""
        return self.request(url, "POST", headers, body, timeout_ms, weight, params=params,
                            json=json, timeout=timeout)

    def delete(self, url: str, headers: HeadersLike = None, body: Optional[BodyLike] = None,
               timeout_ms: int = 0, weight: int = 1, *, params: ParamsLike = None,
               json: Any = None, timeout: Optional[float] = None) -> Request:
        """request() with DELETE, which Client(allow_methods=("DELETE",)) must have allowed
        (else PolicyError, rule "method")."""
        return self.request(url, "DELETE", headers, body, timeout_ms, weight, params=params,
                            json=json, timeout=timeout)

    def put(self, url: str, headers: HeadersLike = None, body: Optional[BodyLike] = None,
            timeout_ms: int = 0, weight: int = 1, *, params: ParamsLike = None, json: Any = None,
            timeout: Optional[float] = None) -> Request:
        """request() with PUT, once allowed as DELETE is."""
        return self.request(url, "PUT", headers, body, timeout_ms, weight, params=params,
                            json=json, timeout=timeout)

    def patch(self, url: str, headers: HeadersLike = None, body: Optional[BodyLike] = None,
              timeout_ms: int = 0, weight: int = 1, *, params: ParamsLike = None,
              json: Any = None, timeout: Optional[float] = None) -> Request:
        """request() with PATCH, once allowed as DELETE is."""
        return self.request(url, "PATCH", headers, body, timeout_ms, weight, params=params,
                            json=json, timeout=timeout)

    async def fetch(self, url: str, method: str = "GET", headers: HeadersLike = None,
                    body: Optional[BodyLike] = None, timeout_ms: int = 0, weight: int = 1, *,
                    params: ParamsLike = None, json: Any = None,
                    timeout: Optional[float] = None) -> Response:
        """request() awaited on the event loop, then freed: returns the answer as a Response, or
        raises the request's error. With 32 requests held it waits for a place to come free
        instead of failing, within the request's own time-out (RequestTimeoutError after it),
        so any number of fetches can be gathered at once."""
        submission = self._prepare(url, method, headers, body, timeout_ms, weight, params, json,
                                   timeout)
        deadline = time.monotonic() + (submission.timeout_ms or DEFAULT_TIMEOUT_MS) / 1000
        collect = True  # once per fetch; then it waits for a close to free a place
        while True:
            freed = _waiting.places.freed
            try:
                request = self._submit(submission, collect)
                break
            except KestruneError as error:
                if error.code != native.NAMES_TO_CODES["ERROR_NOT_ENOUGH_QUOTA"]:
                    raise
                left_ms = int((deadline - time.monotonic()) * 1000)
                if left_ms < MIN_TIMEOUT_MS:
                    raise RequestTimeoutError(12002, NAMES[12002], error.call, False,
                                              "no place came free in time") from error
                submission, collect = submission._replace(timeout_ms=left_ms), False
                await _waiting.places.wait(freed, left_ms / 1000)
        with request:
            await request
            return request.response()

    @property
    def pending(self) -> int:
        """This client's requests not finished yet."""
        return sum(not native.quietly("KSRN_IsReady", request.id)[0]
                   for request in list(self._requests))

    def cancel_all(self) -> int:
        """Cancels this client's unfinished requests; returns how many."""
        unfinished = [request for request in list(self._requests)
                      if not native.quietly("KSRN_IsReady", request.id)[0]]
        for request in unfinished:
            native.quietly("KSRN_Cancel", request.id)
        return len(unfinished)

    allow_method = _process_wide_alias("allow_method")
    set_host_budget = _process_wide_alias("set_host_budget")
    host_hold_seconds = _process_wide_alias("host_hold_seconds")
    host_units_left = _process_wide_alias("host_units_left")
    share_budgets = _process_wide_alias("share_budgets")
    set_throttle_ms = _process_wide_alias("set_throttle_ms")
