"""The exceptions of the binding, one class per kind of failure under KestruneError, so a host
catches what it can act on (a time-out, a broken connection, a refusal by policy) without reading
codes. Each also derives from the built-in class a Python host already catches for that kind
(TimeoutError, ConnectionError, PermissionError)."""

from typing import Dict, Optional, Type

from ._constants import NAMES

# Codes after which the same request may well succeed later: the network or the server failed on
# the way, or a limit of the moment (32 held, the result budget, a host's budget units) was reached.
TRANSIENT_CODES = frozenset({8, 30, 1237, 1816, 12002, 12004, 12007, 12017, 12029, 12030, 12152})
SUBMISSIONS = frozenset({"KSRN_Request", "KSRN_Get", "KSRN_RequestWeighted"})


class KestruneError(Exception):
    """A code the library reported: `code`, its Win32 `name` as the header lists it (None for a
    code the header does not list, such as another WinHTTP code on Windows), `call`, the export
    that reported it, `transient` (the same request may succeed if tried again) and
    `may_have_reached_server` (False only when the library knows no byte of the request was
    written: a refused submission, or a request it never sent). For a request that failed after
    a response began, `status` and `body` hold what arrived (else 0 and b"")."""

    code: int
    name: Optional[str]
    call: str
    transient: bool
    may_have_reached_server: bool
    status: int
    body: bytes

    def __init__(self, code: int, name: Optional[str], call: str,
                 may_have_reached_server: bool = True, detail: str = "") -> None:
        super().__init__(code, name, call)
        self.args = (code, name, call)
        self.code = code
        self.name = name
        self.call = call
        self.transient = code in TRANSIENT_CODES
        self.may_have_reached_server = may_have_reached_server
        self.detail = detail
        self.status = 0
        self.body = b""

    @classmethod
    def from_code(cls, code: int, call: str, may_have_reached_server: Optional[bool] = None,
                  detail: str = "") -> "KestruneError":
        """The exception of the kind `code` belongs to."""
        if may_have_reached_server is None:
            may_have_reached_server = call not in SUBMISSIONS
        kind = _KINDS.get(code, KestruneError)
        if code == 5 and call not in SUBMISSIONS:
            kind = KestruneError  # a host name refused by a budget call: not a request's policy
        return kind(code, NAMES.get(code), call, may_have_reached_server, detail)

    def __str__(self) -> str:
        text = f"{self.call}: {self.code} {self.name or '(not in the header)'}"
        return f"{text}: {self.detail}" if self.detail else text

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.code}, {self.name!r}, {self.call!r})"


class PolicyError(KestruneError, PermissionError):
    """5: the library refused the request by policy; `rule` says which: "scheme" (HTTPS only),
    "port" (443 only), "userinfo" (no user or password in the URL), "host" (not allowlisted),
    "method" (not allowed) or "header" (one the library sets itself)."""

    rule: str = ""

    def __str__(self) -> str:
        return KestruneError.__str__(self)


class ClientClosedError(KestruneError, RuntimeError):
    """6: the Client is closed (or no Client is open for a process-wide setting)."""


class KestruneConnectionError(KestruneError, ConnectionError):
    """The connection could not be made, broke, or carried no usable answer."""

    def __str__(self) -> str:
        return KestruneError.__str__(self)


class TLSError(KestruneConnectionError):
    """The TLS handshake or the server's certificate failed."""


class RequestTimeoutError(KestruneError, TimeoutError):
    """12002: the request itself ran out of time (its `timeout_ms`)."""

    def __str__(self) -> str:
        return KestruneError.__str__(self)


class WaitTimeoutError(KestruneError, TimeoutError):
    """996: wait(timeout) gave up before the request finished; the request goes on."""

    def __str__(self) -> str:
        return KestruneError.__str__(self)


class RequestCancelledError(KestruneError):
    """995: the request was cancelled, or the library stopped under it."""


class HTTPStatusError(KestruneError):
    """raise_for_status(): an answer with a status of 400 or more arrived (`status`, `body`)."""


# The name of release 1.1 for the request's own time-out.
KestruneTimeoutError = RequestTimeoutError

_KINDS: Dict[int, Type[KestruneError]] = {
    5: PolicyError, 6: ClientClosedError, 995: RequestCancelledError, 12002: RequestTimeoutError,
    **{code: KestruneConnectionError for code in (30, 12004, 12007, 12017, 12029, 12030, 12152)},
    # 12037, 12038, 12045: certificate expired, for another name, from an unknown authority.
    **{code: TLSError for code in (12037, 12038, 12045, 12157, 12175)},
}
