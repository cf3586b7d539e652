"""What a finished request answers, with the conventions Python hosts expect of a response
(status_code, content, text, json(), ok, raise_for_status(), elapsed), for a request still held
(Request) and for the copy fetch() returns after freeing it (Response)."""

from __future__ import annotations

import datetime
import email.message
import email.utils
import enum
import json as json_module
import re
import time
from typing import Any, Dict, Optional

from ._errors import HTTPStatusError
from ._headers import Headers


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


class ResponseConventions:
    """Read from `status`, `body`, `headers` and `timings`, which the two kinds provide."""

    url: str

    @property
    def status(self) -> int:
        raise NotImplementedError

    @property
    def body(self) -> bytes:
        raise NotImplementedError

    @property
    def headers(self) -> Headers:
        raise NotImplementedError

    @property
    def timings(self) -> Dict[Mark, float]:
        raise NotImplementedError

    @property
    def status_code(self) -> int:
        """The HTTP status."""
        return self.status

    @property
    def content(self) -> bytes:
        """The body."""
        return self.body

    @property
    def text(self) -> str:
        """The body decoded by the charset of its Content-Type, else UTF-8; bytes that do not
        decode read as U+FFFD."""
        message = email.message.Message()
        message["Content-Type"] = self.headers.get("Content-Type", "text/plain")
        charset = message.get_content_charset() or "utf-8"
        try:
            return self.body.decode(charset, "replace")
        except LookupError:  # a charset Python does not know
            return self.body.decode("utf-8", "replace")

    def json(self, **options: Any) -> Any:
        """The body parsed as JSON (json.loads, which takes `options`)."""
        return json_module.loads(self.body, **options)

    @property
    def ok(self) -> bool:
        """False for a status of 400 or more, which raise_for_status() raises."""
        return self.status < 400

    def raise_for_status(self) -> None:
        """Raises HTTPStatusError (with `status` and `body`) for a status of 400 or more."""
        status = self.status
        if status >= 400:
            error = HTTPStatusError(0, None, "raise_for_status", True, f"{status} from {self.url}")
            error.status, error.body = status, self.body
            raise error

    @property
    def elapsed(self) -> datetime.timedelta:
        """From the submission to the outcome (Mark.DONE; needs Kestrune 1.1)."""
        return datetime.timedelta(seconds=self.timings[Mark.DONE])

    @property
    def retry_after(self) -> Optional[float]:
        """Seconds a 429, 418 or 503 answer asks to wait (Retry-After as seconds or a date);
        None for other answers or without the header. The binding never retries by itself."""
        if self.status not in RETRY_AFTER_STATUSES:
            return None
        return parse_retry_after(self.headers.get("Retry-After"))


class Response(ResponseConventions):
    """A successful request's answer, copied out before the request was freed (Client.fetch):
    it holds none of the library's places."""

    def __init__(self, url: str, status: int, headers: Headers, body: bytes,
                 timings: Dict[Mark, float], delivery: Optional[Delivery],
                 remote_address: Optional[str], reused: Optional[bool]) -> None:
        self.url = url
        self._status, self._headers, self._body, self._timings = status, headers, body, timings
        self.delivery = delivery  # None with a library older than the fact
        self.remote_address = remote_address
        self.reused = reused

    @property
    def status(self) -> int:
        return self._status

    @property
    def body(self) -> bytes:
        return self._body

    @property
    def headers(self) -> Headers:
        return self._headers

    @property
    def timings(self) -> Dict[Mark, float]:
        return dict(self._timings)

    def __repr__(self) -> str:
        return f"<kestrune.Response {self._status} from {self.url}>"
