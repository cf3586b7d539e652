"""The Python binding against the built library, inside the bench (KESTRUNE_LIBRARY names the
library, PYTHONPATH the pip-installed package): its declarations, its marshalling both ways, the
errors it raises, its ways to cancel and the asyncio form."""

import asyncio
import contextlib
import ctypes
import re
import threading
import time
import unittest
from pathlib import Path

import kestrune
from kestrune import _native

HEADER = Path(__file__).resolve().parents[3] / "include" / "kestrune.h"
CTYPES = {
    "int32_t": ctypes.c_int32,
    "uint32_t": ctypes.c_uint32,
    "const KSRN_CHAR*": ctypes.POINTER(ctypes.c_uint16),
    "const uint8_t*": ctypes.POINTER(ctypes.c_uint8),
    "uint8_t*": ctypes.POINTER(ctypes.c_uint8),
}
SLOW = "https://api.huobi.pro/delay-headers/5000"
HOSTS = ["api.binance.com", "api.bybit.com", "www.okx.com", "api.kraken.com", "api.coinbase.com"]


class DeclarationTest(unittest.TestCase):
    def test_every_export_is_declared_with_the_header_types(self):
        prototypes = re.findall(r"^KSRN_API (\w+) (KSRN_\w+)\(([^)]*)\);",
                                HEADER.read_text(encoding="utf-8"), re.M)
        self.assertEqual(len(prototypes), 19)
        for result, name, parameters in prototypes:
            with self.subTest(name):
                arguments = [] if parameters == "void" else [
                    CTYPES[" ".join(parameter.split()[:-1])] for parameter in parameters.split(",")]
                function = getattr(_native, name)
                self.assertIs(function.restype, CTYPES[result])
                self.assertEqual(list(function.argtypes), arguments)


class ClientTest(unittest.TestCase):
    def setUp(self):
        self.client = kestrune.Client().__enter__()
        self.addCleanup(self.client.__exit__, None, None, None)

    def test_round_trip_through_every_call(self):
        self.assertEqual(kestrune.abi_version(), kestrune.ABI_VERSION)
        self.client.set_throttle_ms(0)
        with self.client.request("https://api.binance.com/echo", "post",
                                 {"X-Probe": "one", "X-Other": "two"}, b"\0body\xff") as request:
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

        cases = [
            (lambda: self.client.request("https://example.com/"), 5, "KSRN_Request"),
            (lambda: self.client.set_throttle_ms(60001), 87, "KSRN_SetThrottleMs"),
            (timed_out, 12002, "KSRN_GetRequestError"),
            (lambda: status_of(freed=False), 996, "KSRN_GetStatusCode"),
            (lambda: status_of(freed=True), 1168, "KSRN_GetStatusCode"),
        ]
        for action, code, call in cases:
            with self.subTest(code=code), self.assertRaises(kestrune.KestruneError) as raised:
                action()
            self.assertEqual((raised.exception.code, raised.exception.name, raised.exception.call),
                             (code, kestrune.NAMES[code], call))

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
        self.assertEqual(set(ticks), {threads})


if __name__ == "__main__":
    unittest.main()
