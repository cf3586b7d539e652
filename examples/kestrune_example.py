#!/usr/bin/env python3
"""A Python host of Kestrune: warms a host's kept connection, submits requests to several
exchanges at once, awaits them all on one asyncio loop and prints what came back; a second round
shows the throttle, a time-out and a cancel.

usage: kestrune_example.py [--live]
  By default the requests use paths of the simulated exchange of the project's test bench, so
  run it inside the bench (scripts/demo --python does). --live asks the real exchanges.
"""

import asyncio
import contextlib
import sys
import time
from urllib.parse import urlsplit

import kestrune

# (url, timeout_ms, cancelled right after submission)
SIMULATED_AT_ONCE = [
    ("https://api.binance.com/bytes/2048", 0, False),
    ("https://api.bybit.com/headers/utf8", 0, False),
    ("https://www.okx.com/status/404", 0, False),
    ("https://api.kraken.com/gzip/4096", 0, False),
    ("https://api.coinbase.com/delay-headers/400", 0, False),
    ("https://api.huobi.pro/delay-headers/5000", 1000, False),
]
SIMULATED_THROTTLED = [
    ("https://api.binance.com/bytes/64", 0, False),
    ("https://api.bybit.com/bytes/64", 0, False),
    ("https://api.gateio.ws/bytes/64", 0, False),
    ("https://api.mexc.com/bytes/64", 250, False),
    ("https://api.bitget.com/bytes/64", 0, True),
]
LIVE_AT_ONCE = [
    ("https://api.binance.com/api/v3/time", 0, False),
    ("https://api.bybit.com/v5/market/time", 0, False),
    ("https://www.okx.com/api/v5/public/time", 0, False),
    ("https://api.kraken.com/0/public/Time", 0, False),
    ("https://api.coinbase.com/v2/time", 0, False),
]
LIVE_THROTTLED = [
    ("https://api.binance.com/api/v3/ping", 0, False),
    ("https://api.kraken.com/0/public/Time", 0, False),
    ("https://api.mexc.com/api/v3/time", 250, False),
    ("https://api.bitget.com/api/v2/public/time", 0, True),
]


async def timed(request):
    """Awaits a request; returns its error (None when an answer arrived, which holds the status
    and the body of a failed one) and the milliseconds."""
    start = time.monotonic()
    try:
        await request
        error = None
    except kestrune.KestruneError as failure:
        error = failure
    return error, (time.monotonic() - start) * 1000


# Wide enough for the longest code and name the header lists.
ERROR_WIDTH = max(len(f"{code} {name}") for code, name in kestrune.NAMES.items())


async def run_round(client, title, jobs):
    with contextlib.ExitStack() as held:
        requests = []
        for url, timeout_ms, cancel in jobs:
            request = held.enter_context(client.request(url, timeout_ms=timeout_ms))
            if cancel:
                request.cancel()
            requests.append(request)
        outcomes = await asyncio.gather(*(timed(request) for request in requests))
        print(f"\n{title}")
        print(f"{'id':>4}  {'host':<20} {'status':>6}  {'error':<{ERROR_WIDTH}} {'bytes':>8} "
              f"{'ms':>6}  body")
        for (url, _, _), request, (error, ms) in zip(jobs, requests, outcomes):
            # A failed request's results raise its error, which keeps what arrived.
            status, body = (error.status, error.body) if error else (request.status_code,
                                                                     request.content)
            preview = "".join(chr(b) if 0x20 <= b < 0x7F else "." for b in body[:40])
            code = f"{error.code} {error.name}" if error else "0 ERROR_SUCCESS"
            print(f"{request.id:>4}  {urlsplit(url).hostname:<20} {status:>6}  "
                  f"{code:<{ERROR_WIDTH}} {len(body):>8} {ms:>6.0f}  {preview}")


async def warm(client, url):
    """A cheap request keeps its connection open (keep_alive_ms), so the next request to the same
    host costs one round trip."""
    for attempt in ("cold", "warm"):
        response = await client.fetch(url)
        print(f"{attempt}: {urlsplit(url).hostname} {response.status_code} in "
              f"{response.elapsed.total_seconds() * 1000:.0f} ms, connection reused: "
              f"{response.reused}")


async def main(live):
    # keep_alive_ms is process-wide: every client of the process keeps connections.
    with kestrune.Client(keep_alive_ms=30000) as client:
        print(f"Kestrune {kestrune.__version__} (interface {kestrune.abi_version()}) from Python, "
              f"against {'the real exchanges' if live else 'the simulated exchange of the bench'}")
        await warm(client, LIVE_AT_ONCE[0][0] if live else "https://api.binance.com/status/200")
        await run_round(client, "Several exchanges at once:",
                        LIVE_AT_ONCE if live else SIMULATED_AT_ONCE)
        kestrune.process_wide.set_throttle_ms(500)
        await run_round(client, "Throttle of 500 ms between starts, a 250 ms budget that runs out "
                        "while waiting, and a cancel:",
                        LIVE_THROTTLED if live else SIMULATED_THROTTLED)


if __name__ == "__main__":
    asyncio.run(main("--live" in sys.argv[1:]))
