"""The Python binding against the built library, inside the bench (KESTRUNE_LIBRARY names the
library, PYTHONPATH the pip-installed package): its declarations, its marshalling both ways, the
errors it raises, its ways to cancel and the asyncio form."""

import asyncio
import contextlib
import ctypes
import gc
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import warnings
from datetime import timedelta
from unittest import mock
from pathlib import Path

import kestrune
from kestrune import _native

ROOT = Path(__file__).resolve().parents[3]
HEADER = ROOT / "include" / "kestrune.h"
CTYPES = {
    "int32_t": ctypes.c_int32,
    "uint32_t": ctypes.c_uint32,
    "const KSRN_CHAR*": ctypes.POINTER(ctypes.c_uint16),
    "const uint8_t*": ctypes.POINTER(ctypes.c_uint8),
    "uint8_t*": ctypes.POINTER(ctypes.c_uint8),
    "KSRN_CHAR*": ctypes.POINTER(ctypes.c_uint16),
}
SLOW = "https://api.huobi.pro/delay-headers/5000"
OK = "https://api.binance.com/status/200"
ECHO = "https://api.binance.com/echo"
BUDGETED = "api.kucoin.com"
WIDE = kestrune.process_wide
HOSTS = ["api.binance.com", "api.bybit.com", "www.okx.com", "api.kraken.com", "api.coinbase.com"]


class DeclarationTest(unittest.TestCase):
    def test_every_export_and_constant_is_declared_as_the_header_says(self):
        text = HEADER.read_text(encoding="utf-8")
        prototypes = re.findall(r"^KSRN_API (\w+) (KSRN_\w+)\(([^)]*)\);", text, re.M)
        declared = _native.DECLARATIONS
        # What the binding declares beyond the header can only be a later export it resolves
        # when present, so this holds before and after the header gains them.
        self.assertLessEqual(set(declared) - {name for _, name, _ in prototypes},
                             _native.SINCE_1_1 | _native.SINCE_1_2)
        for result, name, parameters in prototypes:
            with self.subTest(name):
                arguments = [] if parameters == "void" else [
                    CTYPES[" ".join(parameter.split()[:-1])] for parameter in parameters.split(",")]
                self.assertIs(declared[name][0], CTYPES[result])
                self.assertEqual(list(declared[name][1]), arguments)
        for prefix, enum in (("DELIVERY", kestrune.Delivery), ("MARK", kestrune.Mark)):
            macros = dict(re.findall(rf"^#define KSRN_{prefix}_(\w+) (\d+)", text, re.M))
            if macros:
                self.assertEqual({name: int(value) for name, value in macros.items()},
                                 {member.name: member.value for member in enum})

    def test_the_package_imports_without_a_library_and_loads_one_on_first_use(self):
        source = str(Path(__file__).resolve().parents[3] / "bindings" / "python")
        program = ("import kestrune\nprint(kestrune.ERROR_WINHTTP_TIMEOUT)\n"
                   "try:\n    print(kestrune.abi_version())\nexcept OSError as error:\n"
                   "    print(error)\n")
        with tempfile.TemporaryDirectory() as folder:
            shutil.copy(os.environ["KESTRUNE_LIBRARY"], Path(folder) / "libkestrune.so")
            shutil.copytree(Path(kestrune.__file__).parent, Path(folder) / "kestrune")
            (Path(folder) / "kestrune" / "libkestrune.so.1").write_bytes(b"not a library")
            cases = [  # (KESTRUNE_LIBRARY, LD_LIBRARY_PATH, output), the package from its source
                ("", folder, r"\A12002\n1\n\Z"),  # the system loader, the development name
                (os.environ["KESTRUNE_LIBRARY"], "", r"\A12002\n1\n\Z"),  # over the one beside
                ("/nowhere.so", "", r"\A12002\ncannot load.*KESTRUNE_LIBRARY \('/nowhere.so'\): "
                 r"/nowhere.so.*beside the package.*the system loader"),
            ]
            for library, search_path, output in cases:
                with self.subTest(library=library):
                    environment = dict(os.environ, KESTRUNE_LIBRARY=library,
                                       LD_LIBRARY_PATH=search_path,
                                       PYTHONPATH=source if search_path or not library else folder)
                    run = subprocess.run([sys.executable, "-c", program], env=environment,
                                         capture_output=True, text=True, timeout=60)
                    self.assertRegex(run.stdout, output, run.stderr)

    def test_the_package_documents_and_exports_what_it_is(self):
        readme = (ROOT / "bindings" / "python" / "README.md").read_text(encoding="utf-8")
        self.assertEqual(set(re.findall(r"kestrune-(\d[\d.]*\d)", readme)), {kestrune.__version__})
        self.assertNotIn("|---|---|\n| | |", readme)  # one header row per table
        self.assertEqual([name for name in kestrune.__all__ if not hasattr(kestrune, name)], [])


class ClientTest(unittest.TestCase):
    def setUp(self):
        self.client = kestrune.Client().__enter__()
        self.addCleanup(self.client.__exit__, None, None, None)

    def test_round_trip_through_every_call(self):
        self.assertEqual(kestrune.abi_version(), kestrune.ABI_VERSION)
        WIDE.set_throttle_ms(0)
        # The three forms of headers; a str block passes as the export takes it.
        for headers, body in [({"X-Probe": "one", "X-Other": "two"}, b"\0body\xff"),
                              ([("X-Probe", "one"), ("X-Other", "two")], bytearray(b"\0body\xff")),
                              ("X-Probe: one\r\nX-Other: two", memoryview(b"\0body\xff"))]:
            with self.subTest(headers=headers), self.client.request(
                    "https://api.binance.com/echo", "post", headers, body) as request:
                self.assertIs(request.wait(30), request)
                self.assertEqual((request.ready, request.status, request.succeeded, request.error),
                                 (True, 200, True, None))
                self.assertRegex(request.body, rb"\APOST /echo HTTP/1\.1\r\n(.+\r\n)*"
                                 rb"X-Probe: one\r\nX-Other: two\r\n(.+\r\n)*\r\n\0body\xff\Z")
        with self.client.request("https://api.bybit.com/headers/utf8") as request:
            headers = request.wait(30).headers
            self.assertEqual(headers.keys(),
                             ["Content-Type", "Content-Length", "X-Greeting", "Connection"])
            self.assertEqual(headers["x-GREETING"], "Grüße €")
        with kestrune.Request(_native.KSRN_Get(_native.utf16(f"https://{HOSTS[3]}/status/204"),
                                               0)) as request:
            self.assertEqual((request.wait(30).status, request.body), (204, b""))
        with self.assertRaises(ValueError):
            self.client.request("https://api.binance.com/\0ignored")

    def test_each_reported_code_is_raised_with_its_name_and_call(self):
        def timed_out():
            with self.client.request(SLOW, timeout_ms=250) as request:
                request.wait(30)

        def status_of(freed):
            with self.client.request(SLOW) as request:
                if freed:
                    request.close()
                return request.status

        cases = [  # (action, code, call, transient, may have reached the server)
            (lambda: self.client.request("https://example.com/"), 5, "KSRN_Request", False, False),
            (lambda: WIDE.set_throttle_ms(60001), 87, "KSRN_SetThrottleMs", False, True),
            (lambda: WIDE.allow_method("OPTIONS"), 87, "KSRN_AllowMethod", False, True),
            (lambda: WIDE.set_host_budget("example.com", 5, 1000), 5, "KSRN_SetHostBudget",
             False, True),
            (lambda: WIDE.host_hold_seconds("api kucoin"), 123, "KSRN_GetHostHoldMs", False,
             True),
            (lambda: WIDE.host_units_left("example.com"), 5, "KSRN_GetHostUnitsLeft", False,
             True),
            (lambda: WIDE.share_budgets("a/b"), 87, "KSRN_ShareBudgets", False, True),
            (timed_out, 12002, "KSRN_GetRequestError", True, True),
            (lambda: status_of(freed=False), 996, "KSRN_GetStatusCode", False, True),
            (lambda: status_of(freed=True), 1168, "KSRN_GetStatusCode", False, True),
        ]
        for action, code, call, transient, reached in cases:
            with self.subTest(code=code), self.assertRaises(kestrune.KestruneError) as raised:
                action()
            error = raised.exception
            self.assertEqual((error.code, error.name, error.call, error.transient,
                              error.may_have_reached_server, isinstance(error, TimeoutError)),
                             (code, kestrune.NAMES[code], call, transient, reached, code == 12002))

    def test_what_the_binding_joins_or_narrows_is_refused_before_any_call(self):
        url = "https://api.binance.com/echo"
        cases = [  # (call, exception, words of its message)
            (lambda: self.client.request(url, headers={"X-A": "1\r\nAuthorization: Bearer x"}),
             ValueError, "CR, LF or NUL"),
            (lambda: self.client.request(url, headers={"X-A": "1\nX-B: 2"}), ValueError, "LF"),
            (lambda: self.client.request(url, headers=[("X-A", "a\0b")]), ValueError, "NUL"),
            (lambda: self.client.request(url, headers={"X:A": "1"}), ValueError, "token"),
            (lambda: self.client.request(url, headers={"X A": "1"}), ValueError, "token"),
            (lambda: self.client.request(url, headers={"": "1"}), ValueError, "token"),
            (lambda: self.client.request(url, headers={"X-N": 5}), TypeError, "str"),
            (lambda: self.client.request(url, headers=["XY"]), TypeError, "pairs"),
            (lambda: self.client.request(url, timeout_ms=2**32 + 1000), ValueError, "timeout_ms"),
            (lambda: self.client.request(url, timeout_ms=-2**31 - 1), ValueError, "timeout_ms"),
            (lambda: self.client.request(url, timeout_ms=1000.0), TypeError, "timeout_ms"),
            (lambda: self.client.get(url, timeout=-1), ValueError, "250 to 120000"),
            (lambda: WIDE.set_throttle_ms(2**32 + 1500), ValueError, "throttle_ms"),
            (lambda: self.client.request(url, "POST", body=5), TypeError, "body"),
            (lambda: self.client.request(url, "POST", body="text"), TypeError, "body"),
            (lambda: self.client.request(url, method=b"GET"), TypeError, "method"),
            (lambda: WIDE.allow_method(None), TypeError, "method"),
            (lambda: WIDE.allow_method("PUT\0"), ValueError, "method"),
            (lambda: kestrune.Client(allow_methods="DELETE"), TypeError, "allow_methods"),
            (lambda: kestrune.Client(allow_methods=None), TypeError, "allow_methods"),
            (lambda: kestrune.Client(allow_methods=[b"PUT"]), TypeError, "allow_methods"),
            (lambda: self.client.request(url, weight=2**31), ValueError, "weight"),
            (lambda: self.client.delete(url, weight=True), TypeError, "weight"),
            (lambda: WIDE.set_host_budget(None, 5, 1000), TypeError, "host"),
            (lambda: WIDE.set_host_budget(BUDGETED + "\0", 5, 1000), ValueError, "host"),
            (lambda: WIDE.set_host_budget(BUDGETED, True, 1000), TypeError, "units"),
            (lambda: WIDE.set_host_budget(BUDGETED, 5, 2**31), ValueError, "period_ms"),
            (lambda: WIDE.host_hold_seconds(None), TypeError, "host"),
            (lambda: WIDE.host_units_left(BUDGETED.encode()), TypeError, "host"),
            (lambda: WIDE.share_budgets(None), TypeError, "name"),
            (lambda: WIDE.share_budgets("desk\0"), ValueError, "name"),
            (lambda: self.client.request(url + "\0/evil"), ValueError, "url"),
        ]
        for call, exception, words in cases:
            with self.subTest(words), self.assertRaisesRegex(exception, words):
                call()
        self.assertEqual(self.client.pending, 0)
        self.assertIsNone(WIDE.host_units_left(BUDGETED))

    def test_a_budget_refuses_heavier_requests_and_holds_its_host_after_retry_after(self):
        WIDE.set_host_budget(BUDGETED.upper(), 10, 60000)
        self.assertEqual(WIDE.host_units_left(BUDGETED), 10)
        with self.assertRaises(kestrune.KestruneError) as raised:
            self.client.request(f"https://{BUDGETED}/bytes/1", weight=11)
        with self.client.request(f"https://{BUDGETED}/retry-after/429/5", weight=3) as request:
            self.assertEqual(request.wait(30).status, 429)
        self.assertTrue(1 < WIDE.host_hold_seconds(BUDGETED) <= 5)
        self.assertEqual(WIDE.host_units_left(BUDGETED), 0)
        with self.client.request(f"https://{BUDGETED}/bytes/1", timeout_ms=1000) as request:
            with self.assertRaises(kestrune.KestruneError) as held:
                request.wait(30)
        cases = [(raised.exception, 87, "KSRN_RequestWeighted", False),  # never sent, both
                 (held.exception, 1237, "KSRN_GetRequestError", True)]
        for error, code, call, transient in cases:
            self.assertEqual((error.code, error.name, error.call, error.transient,
                              error.may_have_reached_server),
                             (code, kestrune.NAMES[code], call, transient, False))
        WIDE.set_host_budget(BUDGETED, 0, 0)  # removes the budget and the hold
        self.assertEqual((WIDE.host_units_left(BUDGETED),
                          WIDE.host_hold_seconds(BUDGETED)), (None, 0.0))

    def test_allowed_methods_reach_the_server(self):
        with kestrune.Client(allow_methods=("delete",)) as client:  # the engine of self.client
            with self.assertRaises(kestrune.KestruneError) as raised:
                client.patch(ECHO)
            self.assertEqual(raised.exception.code, 5)
            WIDE.allow_method("Patch")
            for submit, body, sent in [(client.delete, None, b"DELETE"),
                                       (client.patch, b"{}", b"PATCH")]:
                with self.subTest(sent), submit(ECHO, body=body) as request:
                    self.assertRegex(request.wait(30).body, sent + rb" /echo HTTP/1\.1\r\n"
                                     rb"(.+\r\n)*\r\n" + re.escape(body or b"") + rb"\Z")

    def test_abandoned_requests_are_freed_when_collected(self):
        with self.assertWarns(ResourceWarning) as warned:
            for _ in range(40):  # more than the 32 the library holds
                self.client.request("https://api.binance.com/status/200")
            gc.collect()
        self.assertEqual(warned.filename, __file__)  # the line that submitted it
        with self.client.request("https://api.binance.com/status/200") as request:
            self.assertEqual(request.wait(30).status, 200)

    def test_cleanup_after_the_engine_or_id_is_gone_is_quiet(self):
        def second_client_exits():
            with kestrune.Client():
                pass
            with self.client.request("https://api.binance.com/status/200") as request:
                return request.wait(30).status

        def close_after_the_client_exited():
            request = self.client.request(SLOW)
            self.client.__exit__(None, None, None)
            request.close()

        def error_in_the_block_after_the_client_exited():
            with self.assertRaises(LookupError), self.client.request(SLOW):
                self.client.__exit__(None, None, None)
                raise LookupError

        async def cancel_after_close():
            request = self.client.request(SLOW)
            task = asyncio.ensure_future(request._wait_async())
            await asyncio.sleep(0.05)
            request.close()
            task.cancel()
            with self.assertRaises(asyncio.CancelledError):
                await task

        self.client.__exit__(None, None, None)  # each case opens the only client
        cases = [second_client_exits, close_after_the_client_exited,
                 error_in_the_block_after_the_client_exited,
                 lambda: asyncio.run(cancel_after_close())]
        for case in cases:
            with self.subTest(getattr(case, "__name__", "cancel after close")):
                self.client = kestrune.Client().__enter__()
                case()
                self.client.__exit__(None, None, None)

    def test_delivery_timings_and_remote_address(self):
        for name in sorted(_native.SINCE_1_1):
            if not _native.has_export(name):
                self.skipTest(f"{_native.library_path()} predates 1.1: no {name}")
        cases = [  # (url, timeout_ms, delivery, code, connected)
            ("https://api.binance.com/status/200", 0, kestrune.Delivery.ANSWERED, 0, True),
            ("https://api.bithumb.com/status/200", 0, kestrune.Delivery.NOT_SENT, 12029, False),
            (SLOW, 250, kestrune.Delivery.UNKNOWN, 12002, True),
        ]
        for url, timeout_ms, delivery, code, connected in cases:
            with self.subTest(url), self.client.request(url, timeout_ms=timeout_ms) as request:
                with contextlib.suppress(kestrune.KestruneError):
                    request.wait(30)
                error = request.error
                self.assertEqual((request.delivery, error.code if error else 0,
                                  error.may_have_reached_server if error else True),
                                 (delivery, code, delivery != kestrune.Delivery.NOT_SENT))
                timings = request.timings
                self.assertLessEqual({kestrune.Mark.STARTED, kestrune.Mark.DONE}, set(timings))
                self.assertEqual(kestrune.Mark.FIRST_BYTE in timings, code == 0)
                self.assertEqual(list(timings.values()), sorted(timings.values()))
                self.assertEqual(bool(request.remote_address), connected)

    def test_retry_after_in_both_forms(self):
        now = 1445412480.0  # Wed, 21 Oct 2015 07:28:00 GMT
        cases = [("120", 120.0), (" 7 ", 7.0), ("Wed, 21 Oct 2015 07:28:30 GMT", 30.0),
                 ("Wed, 21 Oct 2015 07:27:00 GMT", 0.0), ("1.5", None), ("soon", None),
                 ("-3", None), ("", None), (None, None)]
        for value, seconds in cases:
            with self.subTest(value):
                self.assertEqual(kestrune.parse_retry_after(value, now), seconds)
        # Only the answers that ask for patience; the date has whole seconds.
        answers = [("429/120", 120), ("418/7", 7), ("503/date/60", 60), ("200/5", None)]
        for path, seconds in answers:
            with self.subTest(path), self.client.request(
                    f"https://api.binance.com/retry-after/{path}") as request:
                retry_after = request.wait(30).retry_after
                if seconds is None:
                    self.assertIsNone(retry_after)
                else:
                    self.assertAlmostEqual(retry_after, seconds, delta=3)

    def test_every_way_to_cancel_ends_the_request_with_995(self):
        async def abandon(request):
            with self.assertRaises(asyncio.TimeoutError):
                await asyncio.wait_for(request, 0.1)

        cases = {
            "cancel()": lambda request: request.cancel(),
            "cancel_all()": lambda request: self.assertEqual(self.client.cancel_all(), 1),
            "a cancelled await": lambda request: asyncio.run(abandon(request)),
        }
        for way, cancel in cases.items():
            with self.subTest(way), self.client.request(SLOW) as request:
                with self.assertRaises(TimeoutError):
                    request.wait(0.05)
                self.assertEqual(self.client.pending, 1)
                cancel(request)
                with self.assertRaises(kestrune.KestruneError) as raised:
                    request.wait(30)
                self.assertEqual(raised.exception.code, kestrune.ERROR_OPERATION_ABORTED)

    def test_twenty_awaits_share_the_event_loop_thread(self):
        async def run():
            threads = threading.active_count()
            ticks = []

            async def tick():  # runs only while the awaits yield to the loop
                while True:
                    ticks.append(threading.active_count())
                    await asyncio.sleep(0.01)

            ticker = asyncio.ensure_future(tick())
            with contextlib.ExitStack() as held:
                requests = [held.enter_context(self.client.request(
                    f"https://{HOSTS[i % len(HOSTS)]}/delay-headers/200")) for i in range(20)]
                done = await asyncio.gather(*requests)
                ticker.cancel()
                return threads, ticks, [(request.status, request.body) for request in done]

        started = time.monotonic()
        threads, ticks, results = asyncio.run(run())
        self.assertEqual(results, [(200, b"late")] * 20)
        self.assertGreater(len(ticks), (time.monotonic() - started) / 0.01 / 10)
        self.assertLessEqual(set(ticks), {threads, threads + 1})  # and the one waiter thread

    def test_what_hosts_met_with_1_1_is_fixed(self):
        def places_held_in_cycles():  # collected once 32 are held, as the .NET binding does
            gc.disable()
            self.addCleanup(gc.enable)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", ResourceWarning)
                for _ in range(33):
                    request = self.client.request(OK)
                    request.cycle = request
                del request
            with self.client.request(OK) as request:
                return request.wait(30).status

        async def forty_gathered():  # more than 32: the fetches wait for places
            urls = [f"https://{HOSTS[i % len(HOSTS)]}/delay-headers/100" for i in range(40)]
            return [response.status_code for response in
                    await asyncio.gather(*(self.client.fetch(url) for url in urls))]

        async def awaited(request):
            return await request

        def waits_never_sleep():  # they block on the completion count instead of polling
            def slept(*_):
                raise AssertionError("a wait slept")
            with mock.patch.object(time, "sleep", slept), \
                    mock.patch.object(asyncio, "sleep", slept), \
                    self.client.request(OK) as first, self.client.request(OK) as second:
                return first.wait(30).status, asyncio.run(awaited(second)).status

        def failed_reads():  # over 4 MiB: a failure, not a 200 with a cut-off body
            with self.client.request("https://api.binance.com/bytes/4194305") as request:
                with contextlib.suppress(kestrune.KestruneError):
                    request.wait(30)
                errors = []
                for read in (lambda: request.status, lambda: request.content):
                    with self.assertRaises(kestrune.KestruneError) as raised:
                        read()
                    errors.append((raised.exception.code, raised.exception.status,
                                   0 < len(raised.exception.body) <= 4 << 20))
                return errors

        def folded():
            with self.client.get("https://api.binance.com/fault/head/obs-fold") as request:
                return request.wait(30).headers["x-FOLDED"], request.headers.get_all("X-Folded")

        cases = [
            (places_held_in_cycles, 200),
            (lambda: asyncio.run(forty_gathered()), [200] * 40),
            (waits_never_sleep, (200, 200)),
            (failed_reads, [(223, 200, True)] * 2),
            (folded, ("a b", ["a b"])),
        ]
        for action, expected in cases:
            with self.subTest(getattr(action, "__name__", "gathered")):
                self.assertEqual(action(), expected)

    def test_each_failure_raises_its_kind_saying_what_was_wrong(self):
        def cancelled():
            request = self.client.get(SLOW)
            request.cancel()
            request.wait(30)

        closed = kestrune.Client().__enter__()
        closed.close()
        cases = [  # (action, exception class, rule or words of its message)
            (lambda: self.client.request("http://api.binance.com/"), kestrune.PolicyError,
             "scheme"),
            (lambda: self.client.get("https://api.binance.com:8443/"), kestrune.PolicyError,
             "port"),
            (lambda: self.client.get("https://example.com/"), kestrune.PolicyError, "host"),
            (lambda: self.client.delete(ECHO), kestrune.PolicyError, "method"),
            (lambda: self.client.get(ECHO, {"HOST": "x"}), kestrune.PolicyError, "header"),
            (lambda: closed.request(ECHO), kestrune.ClientClosedError, "client is closed"),
            (lambda: WIDE.set_keep_alive_ms(-1), kestrune.KestruneError, "87"),
            (lambda: self.client.request(None), TypeError, "url must be a str"),
            (lambda: self.client.get(SLOW).wait(0.05), kestrune.WaitTimeoutError, "not ready"),
            (lambda: self.client.get(SLOW, timeout=0.25).wait(30), kestrune.RequestTimeoutError,
             "12002"),
            (lambda: self.client.get("https://api.bithumb.com/").wait(30),
             kestrune.KestruneConnectionError, "12029"),
            (lambda: self.client.get("https://api.toobit.com/").wait(30), kestrune.TLSError,
             "121"),
            (cancelled, kestrune.RequestCancelledError, "995"),
        ]
        for action, kind, words in cases:
            with self.subTest(words), self.assertRaises(Exception) as raised:
                action()
            self.assertIs(type(raised.exception), kind)
            self.assertIn(words, getattr(raised.exception, "rule", None) or str(raised.exception))
        self.assertIs(kestrune.KestruneTimeoutError, kestrune.RequestTimeoutError)
        self.assertEqual(self.client.cancel_all(), 0)  # the client's own, all finished

    def test_clients_are_independent_and_the_process_settings_apart(self):
        other = kestrune.Client().__enter__()
        theirs, mine = other.get(SLOW), self.client.get(SLOW)
        self.assertEqual((other.pending, self.client.pending), (1, 1))
        other.close()
        self.assertEqual((theirs.closed, mine.closed, mine.ready), (True, False, False))
        with self.assertRaises(kestrune.KestruneError) as freed:
            _native.KSRN_IsReady(theirs.id)
        self.assertEqual(freed.exception.code, kestrune.ERROR_NOT_FOUND)
        with self.assertWarns(DeprecationWarning) as warned:
            self.client.set_throttle_ms(0)
        self.assertEqual(warned.filename, __file__)

    def test_response_conventions(self):
        with kestrune.Client(keep_alive_ms=5000) as client:
            with client.post(ECHO, params={"a": 1, "b": "x y"}, json={"k": [1, 2]}) as echo:
                self.assertRegex(echo.wait(30).content,
                                 rb'\APOST /echo\?a=1&b=x\+y HTTP/1\.1\r\n(.+\r\n)*'
                                 rb'Content-Type: application/json\r\n(.+\r\n)*\r\n'
                                 rb'\{"k":\[1,2\]\}\Z')
                self.assertEqual((echo.status_code, echo.ok), (200, True))
                self.assertGreater(echo.elapsed, timedelta(0))
            with client.get("https://api.bybit.com/arrival") as arrival:
                self.assertIsInstance(arrival.wait(30).json(), int)
            with client.get("https://api.bybit.com/status/404") as missing:
                self.assertEqual((missing.wait(30).ok, missing.text), (False, "status 404"))
                with self.assertRaises(kestrune.HTTPStatusError) as raised:
                    missing.raise_for_status()
                self.assertEqual(raised.exception.status, 404)
            # The second rides the first's connection unless the server asked to close it.
            kept = "https://api.bybit.com/keep/status/200"
            closes = asyncio.run(client.fetch(kept)).headers.get("Connection") == "close"
            self.assertEqual(asyncio.run(client.fetch(kept)).reused, not closes)


if __name__ == "__main__":
    unittest.main()
