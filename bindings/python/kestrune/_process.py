"""The settings of the process's one engine, shared by every Client: the throttle, kept
connections, budgets and the methods beyond GET, HEAD and POST. They need an open Client (the
first one starts the engine) and last until the last one closes."""

import contextlib
from typing import Iterator, Optional, Set

from . import _native as native
from ._errors import ClientClosedError, KestruneError


def required_text(value: object, argument: str) -> object:
    """A method, host or table name as the export takes it; None would reach the library as
    NULL."""
    if value is None:
        raise TypeError(f"{argument} must be a str, not None")
    return native.utf16(value, argument)  # type: ignore[arg-type]


@contextlib.contextmanager
def _engine_needed() -> Iterator[None]:
    try:
        yield
    except ClientClosedError as error:
        error.detail = "no kestrune.Client is open (the first one starts the engine)"
        raise


class ProcessWide:
    """kestrune.process_wide: what every Client of the process shares, so setting it anywhere
    affects them all."""

    def __init__(self) -> None:
        self.allowed_methods: Set[str] = set()  # what allow_method() added, until the engine stops

    def set_throttle_ms(self, throttle_ms: int) -> None:
        """At least `throttle_ms` (0 to 60000) between the starts of any two transfers."""
        with _engine_needed():
            native.KSRN_SetThrottleMs(native.int32(throttle_ms, "throttle_ms"))

    def set_keep_alive_ms(self, idle_ms: int) -> None:
        """Keeps a connection whose exchange ended cleanly open for up to `idle_ms` (1 to 300000)
        for the next request to its host, which then costs one round trip; 0 closes each after
        its request, as after every engine start. Warm a host with a cheap request before the one
        that counts. A request other than GET or HEAD is never sent twice: when a kept connection
        breaks under it, it fails with may_have_reached_server True (needs Kestrune 1.2)."""
        with _engine_needed():
            native.KSRN_SetKeepAliveMs(native.int32(idle_ms, "idle_ms"))

    def allow_method(self, method: str) -> None:
        """Has the library accept `method` ("DELETE", "PUT" or "PATCH", in any case) besides
        GET, HEAD and POST until the engine stops (needs Kestrune 1.2); it goes out upper-cased.
        Any other name raises KestruneError 87."""
        with _engine_needed():
            native.KSRN_AllowMethod(required_text(method, "method"))
        self.allowed_methods.add(method.upper())

    def set_host_budget(self, host: str, units: int, period_ms: int) -> None:
        """Promises that in any interval of `period_ms` (1 to 3600000) the requests started to
        `host`, an allowlisted host name in any case, weigh at most `units` (1 to 1000000)
        together; 0 units removes the budget and any hold. A request whose units cannot come
        before its deadline ends with KestruneError 1237, transient and never sent. Budgets last
        until the engine stops (needs Kestrune 1.2)."""
        with _engine_needed():
            native.KSRN_SetHostBudget(required_text(host, "host"), native.int32(units, "units"),
                                      native.int32(period_ms, "period_ms"))

    def host_hold_seconds(self, host: str) -> float:
        """Seconds left before a request to `host` may start again, after a 429, 418 or 503 held
        the budgeted host (Retry-After, or one period without it); 0.0 when not held (needs
        Kestrune 1.2)."""
        with _engine_needed():
            return int(native.KSRN_GetHostHoldMs(required_text(host, "host"))) / 1000

    def host_units_left(self, host: str) -> Optional[int]:
        """The units a request to `host` could take now (0 while held), None when the host has
        no budget (needs Kestrune 1.2)."""
        try:
            with _engine_needed():
                return int(native.KSRN_GetHostUnitsLeft(required_text(host, "host")))
        except KestruneError as error:
            if error.code == native.NAMES_TO_CODES["ERROR_NOT_FOUND"]:
                return None
            raise

    def share_budgets(self, name: str) -> None:
        """Shares the budgets and holds with every process of this user on this machine that
        shares the same `name` (1 to 64 of A-Za-z0-9._-, else KestruneError 87), so that their
        starts together stay within each budget (needs Kestrune 1.2)."""
        with _engine_needed():
            native.KSRN_ShareBudgets(required_text(name, "name"))

    @property
    def pending(self) -> int:
        """Unfinished requests of every client."""
        with _engine_needed():
            return int(native.KSRN_GetPendingCount())

    def cancel_all(self) -> int:
        """Cancels the unfinished requests of every client; returns how many."""
        with _engine_needed():
            return int(native.KSRN_CancelAll())

    def __repr__(self) -> str:
        return "<kestrune.process_wide>"


process_wide = ProcessWide()
