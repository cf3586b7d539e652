"""Waiting without polling: for a request to finish, on the library's completion count
(KSRN_WaitForCompletion, which ctypes calls with the GIL released), and, in asyncio, for one of
the library's 32 places to be freed."""

import asyncio
import threading
import time
from typing import Callable, Dict, List, Optional, Tuple

from . import _native as native
from ._errors import KestruneError

# The longest one foreign wait lasts: a blocked thread gets back to Python this often, so that
# Ctrl-C and a finished process are noticed; a completion wakes it at once.
WAKE_MS = 1000
# With a library older than 1.2, which has no completion count, the count is emulated by a sleep.
LEGACY_STEP_S = 0.005


def changed_count(seen: int, timeout_ms: int) -> int:
    """The completion count once it differs from `seen`, or after timeout_ms."""
    if native.has_export("KSRN_WaitForCompletion"):
        return int(native.KSRN_WaitForCompletion(seen, timeout_ms))
    time.sleep(min(timeout_ms / 1000, LEGACY_STEP_S))
    return seen + 1 if seen else 1


def wait_ready(request_id: int, timeout: Optional[float]) -> bool:
    """Blocks until the request is ready (True) or `timeout` seconds passed (False)."""
    deadline = None if timeout is None else time.monotonic() + timeout
    seen = changed_count(0, 0)  # read before each check: a later completion changes it
    while not native.KSRN_IsReady(request_id):
        wait_ms = WAKE_MS
        if deadline is not None:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            wait_ms = min(wait_ms, int(left * 1000) + 1)
        seen = changed_count(seen, wait_ms)
    return True


class _Watcher:
    """One thread for every asyncio wait of the process: it waits on the completion count and
    wakes the waits whose request is ready; it runs only while some wait is registered."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.waits: Dict[int, Tuple[int, Callable[[], None]]] = {}
        self.next_token = 0
        self.thread: Optional[threading.Thread] = None

    def watch(self, request_id: int, wake: Callable[[], None]) -> int:
        with self.lock:
            self.next_token += 1
            token = self.next_token
            self.waits[token] = (request_id, wake)
            if self.thread is None:
                self.thread = threading.Thread(target=self._run, name="kestrune-waiter",
                                               daemon=True)
                self.thread.start()
        # Checked after registering: a request that finished before the thread looked is woken
        # here, one that finishes later changes the count the thread waits on.
        self._wake_finished([(token, request_id, wake)])
        return token

    def unwatch(self, token: int) -> None:
        with self.lock:
            self.waits.pop(token, None)

    def _wake_finished(self, waits: List[Tuple[int, int, Callable[[], None]]]) -> None:
        for token, request_id, wake in waits:
            ready, code = native.quietly("KSRN_IsReady", request_id)
            if ready or code:  # an error (freed, engine gone) is read by the woken wait
                self.unwatch(token)
                wake()

    def _run(self) -> None:
        seen = 0
        while True:
            try:
                seen = changed_count(seen, WAKE_MS)
                stopped = False
            except KestruneError:  # the engine stopped: every wait reads why
                stopped = True
            # Taken after the count: a wait registered later checks its request itself, and a
            # completion after that changes the count this thread waits on next.
            with self.lock:
                if not self.waits:
                    self.thread = None
                    return
                waits = [(token, rid, wake) for token, (rid, wake) in self.waits.items()]
            if stopped:
                for token, _, wake in waits:
                    self.unwatch(token)
                    wake()
            else:
                self._wake_finished(waits)


_watcher = _Watcher()


def _resolve(future: "asyncio.Future[None]") -> None:
    if not future.done():
        future.set_result(None)


def _wake_in(loop: asyncio.AbstractEventLoop, future: "asyncio.Future[None]") -> Callable[[], None]:
    def wake() -> None:
        try:
            loop.call_soon_threadsafe(_resolve, future)
        except RuntimeError:  # the loop closed meanwhile: nobody waits any more
            pass
    return wake


async def wait_ready_async(request_id: int) -> None:
    """Returns once the request is ready (or can no longer become so), without blocking the
    event loop."""
    loop = asyncio.get_running_loop()
    future = loop.create_future()
    token = _watcher.watch(request_id, _wake_in(loop, future))
    try:
        await future
    finally:
        _watcher.unwatch(token)


class _Places:
    """Asyncio submissions waiting for one of the library's 32 places: the binding frees every
    request it holds (close, a client's close, collection), so it knows when one comes free."""

    def __init__(self) -> None:
        # Reentrant: a collection under the lock may run the finalizer of an unclosed request,
        # which frees it here.
        self.lock = threading.RLock()
        self.freed = 0  # how many frees so far: a free between a refusal and the wait counts
        self.waits: List[Callable[[], None]] = []

    def free(self) -> None:
        with self.lock:
            self.freed += 1
            waits, self.waits = self.waits, []
        for wake in waits:
            wake()

    async def wait(self, freed: int, timeout: float) -> None:
        """Returns after a free since `freed` was read, or after `timeout` seconds."""
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        wake = _wake_in(loop, future)
        with self.lock:
            self.waits.append(wake)
            if self.freed != freed:  # checked after the append, which may itself free one
                return
        try:
            await asyncio.wait_for(future, max(timeout, 0))
        except asyncio.TimeoutError:
            pass


places = _Places()
