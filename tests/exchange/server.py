#!/usr/bin/env python3
"""The simulated exchange of Kestrune's hermetic test bench.

An HTTPS server (HTTP/1.1 over TLS 1.2 or 1.3, Python standard library only) whose behaviour is
chosen by the request path. tests/sandbox/run starts it inside the bench; it can also be run by
hand:

    server.py --listen ADDR PORT CERT KEY [--listen ...]
              [--listen-tls VERSION ADDR PORT CERT KEY ...] [--ready-file PATH]

Every --listen serves the same paths with its own certificate, which is how the bench builds its
deliberately bad hosts; a --listen-tls listener speaks only TLS VERSION (1.1, 1.2 or 1.3), which
is how it builds servers of an old or only the newest protocol. The ready file is written once every listener accepts connections.

Each connection carries one exchange unless the request asks for more with /keep/ (below):
every other response has `Connection: close` and the server closes the connection after it (TLS
close_notify, then FIN), so no client can reuse it.

Paths (the query string is ignored unless stated; {n} sizes are decimal byte counts up to 1 GiB,
{ms} delays are decimal milliseconds up to 600000; a value out of range gives 400):

  /status/{code}          status {code} (100-599) with body `status {code}`; 1xx, 204 and 304
                          have no body and no Content-Type or Content-Length.
  /bytes/{n}              200, n pattern bytes (below). `?chunked=1`: chunked transfer encoding
                          (chunks of at most 16 KiB) instead of Content-Length.
  /gzip/{n}, /deflate/{n} the n pattern bytes; when Accept-Encoding lists gzip (resp. deflate)
                          with a non-zero q, compressed with `Content-Encoding: gzip` (resp.
                          `deflate`, the zlib format), otherwise plain without Content-Encoding.
  /delay-headers/{ms}     waits ms, then 200 with body `late`.
  /slow-body/{n}/{chunk}/{ms}
                          headers (Content-Length n) at once, then the n pattern bytes in pieces
                          of chunk bytes (chunk >= 1) with ms between pieces (none before the
                          first).
  /headers/large/{n}      200, body `ok`, and filler headers so that the response head (status
                          line through the final blank line, inclusive) is exactly n bytes, for
                          200 <= n <= 8 MiB. The head is the status line, Content-Type,
                          Content-Length, the fillers, `Connection: close` (under /keep, what
                          /keep/ puts there) and the blank line.
                          Filler lines are `X-Fill-NNNN: xxx...` CRLF, numbered from 0001; their
                          count is the fewest that keeps every line (CRLF included) at most 1024
                          bytes, and their lengths differ by at most one byte (longer first).
  /headers/utf8           200, body `ok`, header `X-Greeting: Grüße €` in UTF-8 on the wire.
  /redirect/{code}        status {code} (300-399 but 304), `Location: /bytes/10`, body `moved`.
  /reset-mid-body/{n}     Content-Length 2n (n >= 1), sends n pattern bytes, waits until the
                          client's TCP stack has acknowledged them, then resets the connection
                          (SO_LINGER 0, close).
  /close-early/{n}        Content-Length 2n (n >= 1), sends n pattern bytes, then closes cleanly.
  /arrival                200, body = how many /arrival requests this server had read when this
                          one was read, this one included (decimal): the order of arrival.
  /retry-after/{code}/{s} status {code} (200-599) with body `status {code}` and `Retry-After: {s}`;
  /retry-after/{code}/date/{s}  the same with Retry-After as the HTTP-date {s} seconds from now.
  /limited/{key}/{n}/{ms} an exchange's rate limit, counted per key (letters and digits) in fixed
                          windows of ms: within a window the first n arrivals get 200 `ok`, the
                          next n get 429 with `Retry-After` (the seconds left of the window,
                          rounded up), any later one 418.
  /limited-stats/{key}/{ms}
                          200, body = the most arrivals at /limited/{key}/... within any interval
                          of ms so far (a sliding window over their arrival times), decimal.
  /echo                   any method: 200, application/octet-stream, body = the exact request
                          bytes received (request line, header lines, blank line, body as framed
                          on the wire, whether by Content-Length or chunked).
  /seen/{key}             200, body = how many requests were counted under key (letters and
                          digits) so far, decimal: arrivals at /limited/{key}/... and requests
                          dropped by /keep/drop-next/{key}/....

Kept connections: a prefix in front of any path (/reset-mid-body, /close-early and the faults
below end their connection as always). Each response under /keep carries
`X-Connection: {serial}`, the number of its connection in the order this server accepted them
(from 1), so that a test can tell reuse from the server's side.

  /keep/{path}            {path} as usual, without `Connection: close`; then the server reads the
                          next request on the same connection (until it stays silent for 60 s),
                          which decides for itself whether the connection goes on.
  /keep/close/{path}      {path} with `Connection: close` (and X-Connection): the server asks the
                          client not to reuse the connection and closes it after the response.
  /keep/drop-next/{key}/{path}
                          as /keep/{path}, but the next request that arrives on this connection
                          is read whole, counted under key (see /seen) and not answered: the
                          connection closes cleanly instead, as a server's idle time-out racing
                          a client's request does, which is the moment a client would resend.

Faults: broken responses for the fault suite. Unless stated, the connection then ends with a
clean close (TLS close_notify, then FIN).

  /fault/reset/{point}, /fault/close/{point}
                          ends the connection at {point}, once what was sent before it has been
                          acknowledged: `reset` with a TCP reset, `close` with a FIN and no TLS
                          close_notify. Points: `start` (nothing sent), `status-line` (`HTTP/1.1
                          2`), `head` (status line and half a header line), `body` (500 of the
                          1000 bytes its Content-Length announces), `chunked` (a chunk of 1000
                          bytes announced, 500 sent).
  /fault/chunked/bad-size chunked body whose size line is `zz`.
  /fault/chunked/no-last-chunk
                          chunked body of one 10-byte chunk, without the final chunk.
  /fault/gzip/invalid     `Content-Encoding: gzip` whatever was asked, a gzip header followed by
                          a deflate block of a reserved type.
  /fault/gzip/bomb        `Content-Encoding: gzip` whatever was asked, 5 KiB on the wire that
                          inflate to 5 MiB of zero bytes.
  /fault/head/endless     a status line, then `X-Endless: ` and `x` bytes without any CR or LF
                          until the client leaves (at most 16 MiB).
  /fault/head/nul         a header line with a NUL byte in its value (`X-Nul: a<NUL>b`).
  /fault/head/bare-lf     the whole head with bare LF line ends.
  /fault/head/obs-fold    a header value folded onto a continuation line (obs-fold).
  /fault/status/not-http  `hello, this is not HTTP` CR LF CR LF instead of a status line.
  /fault/continue/{n}     n `100 Continue` interim responses (n <= 10000), then 200 `ok`.
  /fault/switch           an unsolicited `101 Switching Protocols` (Upgrade: websocket), then
                          bytes that are not HTTP.
  /fault/tls/{stall,close}
                          200 `armed`, and the next TLS handshake (within 60 s) whose SNI names
                          the host of this request gets the fault: `stall` sends nothing back to
                          its ClientHello (until the client leaves or 60 s pass), `close` ends
                          the connection right after the handshake, before reading the request.
                          A handshake cannot see a path, so a test asks for the fault first.
  anything else           404 with body `not found`.

Pattern bytes: byte i of a body is (i * 7 + 3) % 251, that is
bytes((i * 7 + 3) % 251 for i in range(n)).

Every method is served alike; HEAD gets the head GET would get (delays before the head
included) and no body. Unless stated above, responses carry Content-Type (text/plain for text
bodies, application/octet-stream for pattern bytes and /echo) and Content-Length. Responses are
always HTTP/1.1.

Requests: the head may be at most 256 KiB and the body (Content-Length, or chunked: at most
2 MiB of data and 4 MiB on the wire) at most 2 MiB, otherwise 400. A malformed request line,
header line, Content-Length or chunk framing, or a transfer coding other than chunked, gets 400
too. `Expect: 100-continue` is answered with `100 Continue` before the body is read. A client
that stays silent for 60 s, disconnects or breaks TLS only ends its own connection.

Adding a behaviour: write an async handler taking (exchange, match), add it to ROUTES with its
path pattern, and describe it in the list above and in tests/sandbox/README.md.
"""

import argparse
import asyncio
import email.utils
import fcntl
import http
import logging
import os
import re
import socket
import ssl
import struct
import sys
import termios
import time
import traceback
import warnings
import zlib
from urllib.parse import parse_qs, urlsplit

MAX_HEAD_BYTES = 256 * 1024
MAX_BODY_BYTES = 2 * 1024 * 1024
MAX_CHUNKED_WIRE_BYTES = 4 * 1024 * 1024
MAX_LINE_BYTES = 8 * 1024
MAX_SIZE_BYTES = 1 << 30
MAX_LARGE_HEAD_BYTES = 8 * 1024 * 1024
MIN_LARGE_HEAD_BYTES = 200
MAX_FILLER_LINE_BYTES = 1024
MAX_DELAY_MS = 600_000
IDLE_TIMEOUT_S = 60
PIECE_BYTES = 64 * 1024
CHUNK_BYTES = 16 * 1024
FLUSH_TIMEOUT_S = 5
DISCARD_TIMEOUT_S = 5
DISCARD_IDLE_S = 0.2

PERIOD = bytes((i * 7 + 3) % 251 for i in range(251))
BLOCK = PERIOD * (PIECE_BYTES // len(PERIOD) + 2)


def pattern(offset, size):
    """The pattern bytes at [offset, offset + size) of a body."""
    parts = []
    while size > 0:
        take = min(size, PIECE_BYTES)
        start = offset % len(PERIOD)
        parts.append(BLOCK[start:start + take])
        offset += take
        size -= take
    return b"".join(parts)


def pattern_pieces(n, piece=PIECE_BYTES):
    offset = 0
    while offset < n:
        take = min(piece, n - offset)
        yield pattern(offset, take)
        offset += take


def compressed(n, wbits):
    compressor = zlib.compressobj(6, zlib.DEFLATED, wbits)
    parts = [compressor.compress(piece) for piece in pattern_pieces(n)]
    parts.append(compressor.flush())
    return b"".join(parts)


class BadRequest(Exception):
    """The request cannot be served; answered with 400."""


class ClientGone(Exception):
    """The client closed, reset or stalled; nothing more can be sent."""


class Request:
    def __init__(self, method, target, headers, raw):
        self.method = method
        self.target = target
        self.headers = headers  # [(lower-case name, value)] in wire order
        self.raw = raw

    def values(self, name):
        return [value for key, value in self.headers if key == name]

    @property
    def path(self):
        if self.target.startswith("/"):
            return self.target.partition("?")[0]
        return urlsplit(self.target).path

    @property
    def query(self):
        if self.target.startswith("/"):
            return parse_qs(self.target.partition("?")[2])
        return parse_qs(urlsplit(self.target).query)


class RequestReader:
    """Reads the requests of a connection one at a time, keeping their exact bytes."""

    def __init__(self, reader, writer):
        self.reader = reader
        self.writer = writer
        self.buf = bytearray()

    async def _more(self):
        try:
            data = await asyncio.wait_for(self.reader.read(PIECE_BYTES), IDLE_TIMEOUT_S)
        except asyncio.TimeoutError:
            raise ClientGone() from None
        if not data:
            raise ClientGone()
        self.buf += data

    async def _need(self, end):
        while len(self.buf) < end:
            await self._more()

    async def _line(self, start, limit):
        """End of the CRLF-terminated line starting at start (index after the CRLF)."""
        searched = start
        while True:
            index = self.buf.find(b"\r\n", max(start, searched - 1))
            if index >= 0:
                if index - start > limit:
                    raise BadRequest("line too long")
                return index + 2
            if len(self.buf) - start > limit:
                raise BadRequest("line too long")
            searched = len(self.buf)
            await self._more()

    async def read(self):
        """The request, or None when the client leaves before sending anything."""
        searched = 0
        while True:
            index = self.buf.find(b"\r\n\r\n", max(0, searched - 3))
            if index >= 0:
                head_end = index + 4
                break
            if len(self.buf) > MAX_HEAD_BYTES:
                raise BadRequest("head too large")
            searched = len(self.buf)
            try:
                await self._more()
            except ClientGone:
                if not self.buf:
                    return None
                raise
        if head_end > MAX_HEAD_BYTES:
            raise BadRequest("head too large")

        method, target, headers = parse_head(bytes(self.buf[:head_end - 4]))
        chunked, length = body_framing(headers)
        if (chunked or length) and len(self.buf) == head_end and any(
                value.lower() == "100-continue" for key, value in headers if key == "expect"):
            self.writer.write(b"HTTP/1.1 100 Continue\r\n\r\n")
            await self.writer.drain()
        if chunked:
            body_end = await self._chunked_end(head_end)
        else:
            body_end = head_end + length
            await self._need(body_end)
        raw = bytes(self.buf[:body_end])
        del self.buf[:body_end]  # what follows belongs to the next request
        return Request(method, target, headers, raw)

    async def _chunked_end(self, start):
        position = start
        data_bytes = 0
        while True:
            line_end = await self._line(position, MAX_LINE_BYTES)
            size_text = bytes(self.buf[position:line_end - 2]).partition(b";")[0].strip()
            if not re.fullmatch(rb"[0-9A-Fa-f]{1,8}", size_text):
                raise BadRequest("bad chunk size")
            size = int(size_text, 16)
            data_bytes += size
            if data_bytes > MAX_BODY_BYTES:
                raise BadRequest("body too large")
            position = line_end
            if size == 0:
                break
            await self._need(position + size + 2)
            if self.buf[position + size:position + size + 2] != b"\r\n":
                raise BadRequest("bad chunk end")
            position += size + 2
            if position - start > MAX_CHUNKED_WIRE_BYTES:
                raise BadRequest("body too large")
        while True:  # trailer fields, then the blank line
            line_end = await self._line(position, MAX_LINE_BYTES)
            blank = line_end - position == 2
            position = line_end
            if position - start > MAX_CHUNKED_WIRE_BYTES:
                raise BadRequest("body too large")
            if blank:
                return position


def parse_head(head):
    lines = head.split(b"\r\n")
    parts = lines[0].split(b" ")
    if len(parts) != 3 or not parts[0] or not parts[1] or not parts[2].startswith(b"HTTP/1."):
        raise BadRequest("bad request line")
    method = parts[0].decode("latin-1")
    target = parts[1].decode("latin-1")
    headers = []
    for line in lines[1:]:
        name, colon, value = line.partition(b":")
        if not colon or not name or name != name.strip() or line[:1] in (b" ", b"\t"):
            raise BadRequest("bad header line")
        headers.append((name.decode("latin-1").lower(), value.strip(b" \t").decode("latin-1")))
    return method, target, headers


def body_framing(headers):
    """(chunked, content length) of the request body."""
    codings = [c.strip().lower() for key, value in headers if key == "transfer-encoding"
               for c in value.split(",") if c.strip()]
    if codings:
        if codings[-1] != "chunked":
            raise BadRequest("unknown transfer coding")
        return True, 0
    lengths = {v.strip() for key, value in headers if key == "content-length"
               for v in value.split(",")}
    if not lengths:
        return False, 0
    if len(lengths) != 1 or not re.fullmatch(r"[0-9]{1,12}", next(iter(lengths))):
        raise BadRequest("bad content length")
    length = int(next(iter(lengths)))
    if length > MAX_BODY_BYTES:
        raise BadRequest("body too large")
    return False, length


def response_head(status, headers, close=True):
    try:
        reason = http.HTTPStatus(status).phrase
    except ValueError:
        reason = "Unknown"
    lines = [f"HTTP/1.1 {status} {reason}".encode("ascii")]
    for name, value in headers:
        lines.append(name.encode("ascii") + b": " +
                     (value if isinstance(value, bytes) else str(value).encode("latin-1")))
    if close:
        lines.append(b"Connection: close")
    return b"\r\n".join(lines) + b"\r\n\r\n"


def number(text, low, high):
    if len(text) > 12 or not low <= int(text) <= high:
        raise BadRequest("value out of range")
    return int(text)


def size_param(text, low=0):
    return number(text, low, MAX_SIZE_BYTES)


def delay_s_param(text):
    return number(text, 0, MAX_DELAY_MS) / 1000


def accepts(request, coding):
    for value in request.values("accept-encoding"):
        for item in value.split(","):
            token, *params = item.split(";")
            if token.strip().lower() != coding:
                continue
            quality = 1.0
            for param in params:
                key, _, text = param.partition("=")
                if key.strip().lower() == "q":
                    try:
                        quality = float(text)
                    except ValueError:
                        quality = 0.0
            if quality > 0:
                return True
    return False


class Exchange:
    """One connection's response side."""

    def __init__(self, reader, writer, serial):
        self.reader = reader
        self.writer = writer
        self.serial = serial
        self.request = None
        self.aborted = False
        self.tagged = False  # under /keep: responses name their connection
        self.keep = False  # the connection goes on after this response
        self.drop_key = None  # the next request is counted under this key and not answered

    @property
    def head_only(self):
        return self.request is not None and self.request.method == "HEAD"

    async def write(self, data):
        if not data:
            return
        if self.writer.transport.is_closing():
            raise ClientGone()
        self.writer.write(data)
        await self.writer.drain()
        # drain() does not yield while the buffers have room, and a dead connection's buffers
        # always have room: yielding lets the news of a lost connection arrive.
        await asyncio.sleep(0)

    def head(self, status, headers):
        tag = [("X-Connection", self.serial)] if self.tagged else []
        return response_head(status, [*headers, *tag], close=not self.keep)

    async def send_head(self, status, headers):
        await self.write(self.head(status, headers))

    async def send_body(self, data):
        if not self.head_only:
            await self.write(data)

    async def simple(self, status, body, content_type="text/plain", extra=()):
        await self.send_head(status, [("Content-Type", content_type),
                                      ("Content-Length", len(body)), *extra])
        await self.send_body(body)

    async def pause(self, seconds):
        """Sleeps, ending early with ClientGone when the client leaves meanwhile."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + seconds
        while (left := deadline - loop.time()) > 0:
            try:
                data = await asyncio.wait_for(self.reader.read(PIECE_BYTES), left)
            except asyncio.TimeoutError:
                return
            if not data:
                raise ClientGone()

    async def discard_input(self):
        """Reads what the client still sends (until it pauses or 5 s pass) before closing.

        Closing a socket with unread input makes the kernel reset the connection, and the reset
        can destroy the response before the client reads it.
        """
        loop = asyncio.get_running_loop()
        deadline = loop.time() + DISCARD_TIMEOUT_S
        while (left := deadline - loop.time()) > 0:
            try:
                if not await asyncio.wait_for(self.reader.read(PIECE_BYTES),
                                              min(left, DISCARD_IDLE_S)):
                    return
            except (asyncio.TimeoutError, OSError):
                return

    async def flush_to_peer(self):
        """Waits until the client's TCP stack has acknowledged everything written so far."""
        # A reset discards what is still queued, so the bytes must have left every buffer: the
        # TLS transport's, the TCP transport's behind it (private in asyncio, hence getattr)
        # and the kernel's send queue (TIOCOUTQ counts unacknowledged bytes).
        await self.writer.drain()
        transport = self.writer.transport
        inner = getattr(getattr(transport, "_ssl_protocol", None), "_transport", None)
        sock = self.writer.get_extra_info("socket")
        loop = asyncio.get_running_loop()
        deadline = loop.time() + FLUSH_TIMEOUT_S
        while loop.time() < deadline:
            if sock is None or sock.fileno() < 0:  # the client left: the socket is closed
                raise ClientGone()
            unsent = transport.get_write_buffer_size()
            if inner is not None:
                unsent += inner.get_write_buffer_size()
            unacked = struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ,
                                                     b"\0\0\0\0"))[0]
            if unsent == 0 and unacked == 0:
                return
            await asyncio.sleep(0.005)

    async def reset(self):
        sock = self.writer.get_extra_info("socket")
        if sock is None or sock.fileno() < 0:
            raise ClientGone()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.aborted = True
        self.writer.transport.abort()


async def status_route(ex, m):
    code = number(m[1], 100, 599)
    if code < 200 or code in (204, 304):
        await ex.send_head(code, [])
    else:
        await ex.simple(code, f"status {code}".encode())


async def retry_after_route(ex, m):
    code, seconds = number(m[1], 200, 599), number(m[3], 0, 86400)
    value = email.utils.formatdate(time.time() + seconds, usegmt=True) if m[2] else str(seconds)
    await ex.simple(code, f"status {code}".encode(), extra=[("Retry-After", value)])


async def send_pattern(ex, n, chunked=False):
    if not chunked:
        await ex.send_head(200, [("Content-Type", "application/octet-stream"),
                                 ("Content-Length", n)])
        for piece in pattern_pieces(n):
            await ex.send_body(piece)
        return
    await ex.send_head(200, [("Content-Type", "application/octet-stream"),
                             ("Transfer-Encoding", "chunked")])
    for piece in pattern_pieces(n, CHUNK_BYTES):
        await ex.send_body(b"%x\r\n%b\r\n" % (len(piece), piece))
    await ex.send_body(b"0\r\n\r\n")


async def bytes_route(ex, m):
    await send_pattern(ex, size_param(m[1]), ex.request.query.get("chunked", [""])[-1] == "1")


async def encoded_route(ex, m):
    coding, n = m[1], size_param(m[2])
    if not accepts(ex.request, coding):
        await send_pattern(ex, n)
        return
    # zlib releases the GIL: a large body does not stall the other connections meanwhile.
    body = await asyncio.to_thread(compressed, n, 31 if coding == "gzip" else 15)
    await ex.simple(200, body, "application/octet-stream", [("Content-Encoding", coding)])


async def delay_headers_route(ex, m):
    await ex.pause(delay_s_param(m[1]))
    await ex.simple(200, b"late")


ARRIVALS = [0]


async def arrival_route(ex, m):
    ARRIVALS[0] += 1
    await ex.simple(200, str(ARRIVALS[0]).encode())


LIMITED = {}  # key -> arrival times (monotonic seconds)


async def limited_route(ex, m):
    n, window_s = number(m[2], 1, 1_000_000), number(m[3], 1, MAX_DELAY_MS) / 1000
    now = time.monotonic()
    arrivals = LIMITED.setdefault(m[1], [])
    arrivals.append(now)
    start = now - now % window_s
    count = sum(1 for t in arrivals if t >= start)
    if count <= n:
        await ex.simple(200, b"ok")
    elif count <= 2 * n:
        retry = max(1, int(-(-(start + window_s - now) // 1)))
        await ex.simple(429, b"too many requests", extra=[("Retry-After", str(retry))])
    else:
        await ex.simple(418, b"banned")


async def seen_route(ex, m):
    await ex.simple(200, str(len(LIMITED.get(m[1], []))).encode())


async def limited_stats_route(ex, m):
    window_s = number(m[2], 1, MAX_DELAY_MS) / 1000
    arrivals = sorted(LIMITED.get(m[1], []))
    most, first = 0, 0
    for last, t in enumerate(arrivals):
        while arrivals[first] <= t - window_s:
            first += 1
        most = max(most, last - first + 1)
    await ex.simple(200, str(most).encode())


async def slow_body_route(ex, m):
    n, chunk, delay_s = size_param(m[1]), size_param(m[2], 1), delay_s_param(m[3])
    await ex.send_head(200, [("Content-Type", "application/octet-stream"),
                             ("Content-Length", n)])
    if ex.head_only:
        return
    for index, piece in enumerate(pattern_pieces(n, chunk)):
        if index:
            await ex.pause(delay_s)
        await ex.send_body(piece)


def filler_lines(count_bytes):
    """Filler header lines totalling exactly count_bytes (0 or at least 16)."""
    if count_bytes == 0:
        return []
    count = -(-count_bytes // MAX_FILLER_LINE_BYTES)
    base, longer = divmod(count_bytes, count)
    lines = []
    for index in range(count):
        size = base + (1 if index < longer else 0)
        name = f"X-Fill-{index + 1:04d}: "
        lines.append((name[:-2], b"x" * (size - len(name) - 2)))
    return lines


async def large_headers_route(ex, m):
    n = number(m[1], MIN_LARGE_HEAD_BYTES, MAX_LARGE_HEAD_BYTES)
    fixed = [("Content-Type", "text/plain"), ("Content-Length", 2)]
    fillers = filler_lines(n - len(ex.head(200, fixed)))
    await ex.send_head(200, fixed + fillers)
    await ex.send_body(b"ok")


async def utf8_header_route(ex, m):
    await ex.simple(200, b"ok", extra=[("X-Greeting", "Grüße €".encode("utf-8"))])


async def redirect_route(ex, m):
    code = number(m[1], 300, 399)
    if code == 304:  # not a redirect, and it may not carry a body
        raise BadRequest("304 is not a redirect")
    await ex.simple(code, b"moved", extra=[("Location", "/bytes/10")])


async def reset_mid_body_route(ex, m):
    n = size_param(m[1], 1)
    await ex.send_head(200, [("Content-Type", "application/octet-stream"),
                             ("Content-Length", 2 * n)])
    if ex.head_only:
        return
    for piece in pattern_pieces(n):
        await ex.send_body(piece)
    await ex.flush_to_peer()
    await ex.reset()


async def close_early_route(ex, m):
    n = size_param(m[1], 1)
    await ex.send_head(200, [("Content-Type", "application/octet-stream"),
                             ("Content-Length", 2 * n)])
    for piece in pattern_pieces(n):
        await ex.send_body(piece)


async def echo_route(ex, m):
    await ex.simple(200, ex.request.raw, "application/octet-stream")


# Faults. Their heads are written raw: most are not what response_head would make.
FAULT_HEADS = {
    "start": b"",
    "status-line": b"HTTP/1.1 2",
    "head": b"HTTP/1.1 200 OK\r\nContent-Type: text/pl",
    "body": b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nConnection: close\r\n\r\n",
    "chunked": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n3e8\r\n",
}
OK_TAIL = b"Content-Type: text/plain\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"
CHUNKED_HEAD = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
GZIP_HEAD = b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
RAW_FAULTS = {
    "chunked/bad-size": CHUNKED_HEAD + b"zz\r\nabc\r\n0\r\n\r\n",
    "chunked/no-last-chunk": CHUNKED_HEAD + b"a\r\n0123456789\r\n",
    # BFINAL set, BTYPE 11: a block type deflate reserves.
    "gzip/invalid": GZIP_HEAD % 26 + b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03" + b"\xff" * 16,
    "head/nul": b"HTTP/1.1 200 OK\r\nX-Nul: a\x00b\r\n" + OK_TAIL,
    "head/bare-lf": b"HTTP/1.1 200 OK\n" + OK_TAIL.replace(b"\r\n", b"\n"),
    "head/obs-fold": b"HTTP/1.1 200 OK\r\nX-Folded: a\r\n  b\r\n" + OK_TAIL,
    "status/not-http": b"hello, this is not HTTP\r\n\r\n",
    "switch": b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
              b"Connection: Upgrade\r\n\r\n\x81\x05hello, not HTTP",
}
ENDLESS_BYTES = 16 * 1024 * 1024
MAX_CONTINUES = 10_000
TLS_ARM_S = 60
# host name -> (fault, monotonic time armed) for the next handshake naming that host.
tls_faults = {}


async def fault_end_route(ex, m):
    how, point = m[1], m[2]
    if point not in FAULT_HEADS:
        raise BadRequest("unknown point")
    await ex.write(FAULT_HEADS[point])
    if point in ("body", "chunked"):
        await ex.write(pattern(0, 500))
    await ex.flush_to_peer()
    if how == "reset":
        await ex.reset()
        return
    sock = ex.writer.get_extra_info("socket")
    sock.shutdown(socket.SHUT_WR)  # a FIN under the TLS stream, which never sees a close_notify
    ex.aborted = True
    ex.writer.transport.abort()


async def raw_fault_route(ex, m):
    if m[1] not in RAW_FAULTS:
        raise BadRequest("unknown fault")
    await ex.write(RAW_FAULTS[m[1]])


def gzip_bomb():
    if not hasattr(gzip_bomb, "body"):
        gzip_bomb.body = compressed_zeros(5 * 1024 * 1024)
    return gzip_bomb.body


def compressed_zeros(n):
    compressor = zlib.compressobj(9, zlib.DEFLATED, 31)
    return compressor.compress(bytes(n)) + compressor.flush()


async def gzip_bomb_route(ex, m):
    body = gzip_bomb()
    await ex.write(GZIP_HEAD % len(body) + body)


async def endless_head_route(ex, m):
    await ex.write(b"HTTP/1.1 200 OK\r\nX-Endless: ")
    for _ in range(ENDLESS_BYTES // PIECE_BYTES):
        await ex.write(b"x" * PIECE_BYTES)


async def continue_route(ex, m):
    n = number(m[1], 0, MAX_CONTINUES)
    await ex.write(b"HTTP/1.1 100 Continue\r\n\r\n" * n + b"HTTP/1.1 200 OK\r\n" + OK_TAIL)


async def tls_fault_route(ex, m):
    host = (ex.request.values("host") or [""])[-1].split(":")[0].lower()
    tls_faults[host] = (m[1], asyncio.get_running_loop().time())
    await ex.simple(200, b"armed")


class FaultySSLObject(ssl.SSLObject):
    """A server-side TLS connection that can carry a fault armed for its SNI."""

    fault = None

    @classmethod
    def _create(cls, incoming, outgoing, *args, **kwargs):
        self = super()._create(incoming, outgoing, *args, **kwargs)
        self.outgoing = outgoing
        return self

    def do_handshake(self):
        if self.fault != "stall":
            try:
                super().do_handshake()  # the SNI callback runs in here and may set the fault
            except ssl.SSLWantReadError:
                if self.fault != "stall":
                    raise
        if self.fault == "stall":
            self.outgoing.read()  # the answer to the ClientHello never leaves
            raise ssl.SSLWantReadError()


def take_tls_fault(ssl_object, server_name, context):
    armed = tls_faults.pop((server_name or "").lower(), None)
    if armed and asyncio.get_running_loop().time() - armed[1] <= TLS_ARM_S:
        ssl_object.fault = armed[0]


ROUTES = [
    (re.compile(r"/status/([0-9]+)"), status_route),
    (re.compile(r"/bytes/([0-9]+)"), bytes_route),
    (re.compile(r"/(gzip|deflate)/([0-9]+)"), encoded_route),
    (re.compile(r"/delay-headers/([0-9]+)"), delay_headers_route),
    (re.compile(r"/slow-body/([0-9]+)/([0-9]+)/([0-9]+)"), slow_body_route),
    (re.compile(r"/headers/large/([0-9]+)"), large_headers_route),
    (re.compile(r"/headers/utf8"), utf8_header_route),
    (re.compile(r"/redirect/([0-9]+)"), redirect_route),
    (re.compile(r"/reset-mid-body/([0-9]+)"), reset_mid_body_route),
    (re.compile(r"/close-early/([0-9]+)"), close_early_route),
    (re.compile(r"/echo"), echo_route),
    (re.compile(r"/limited/([A-Za-z0-9]+)/([0-9]+)/([0-9]+)"), limited_route),
    (re.compile(r"/limited-stats/([A-Za-z0-9]+)/([0-9]+)"), limited_stats_route),
    (re.compile(r"/seen/([A-Za-z0-9]+)"), seen_route),
    (re.compile(r"/arrival"), arrival_route),
    (re.compile(r"/retry-after/([0-9]+)/(date/)?([0-9]+)"), retry_after_route),
    (re.compile(r"/fault/(reset|close)/([a-z-]+)"), fault_end_route),
    (re.compile(r"/fault/gzip/bomb"), gzip_bomb_route),
    (re.compile(r"/fault/head/endless"), endless_head_route),
    (re.compile(r"/fault/continue/([0-9]+)"), continue_route),
    (re.compile(r"/fault/tls/(stall|close)"), tls_fault_route),
    (re.compile(r"/fault/([a-z/-]+)"), raw_fault_route),
]


# Paths whose handlers end the connection themselves (or leave it unusable): never kept.
ENDS_CONNECTION = {reset_mid_body_route, close_early_route, fault_end_route, raw_fault_route,
                   gzip_bomb_route, endless_head_route, continue_route}
KEEP_PREFIX = re.compile(r"/keep(/close|/drop-next/([A-Za-z0-9]+))?(/.*)")


async def serve_one(ex):
    path = ex.request.path
    kept = KEEP_PREFIX.fullmatch(path)
    ex.tagged = ex.keep = False
    if kept:
        ex.tagged, ex.keep, path = True, kept[1] != "/close", kept[3]
    for route, handler in ROUTES:
        match = route.fullmatch(path)
        if match:
            ex.keep = ex.keep and handler not in ENDS_CONNECTION
            try:
                await handler(ex, match)
            except BadRequest:
                await ex.simple(400, b"bad request")
            break
    else:
        await ex.simple(404, b"not found")
    if ex.keep and kept[2]:
        ex.drop_key = kept[2]


async def serve(ex):
    reader = RequestReader(ex.reader, ex.writer)
    while True:
        try:
            ex.request = await reader.read()
        except BadRequest:
            ex.keep = False
            await ex.simple(400, b"bad request")
            await ex.discard_input()
            return
        if ex.request is None:
            return
        if ex.drop_key is not None:
            LIMITED.setdefault(ex.drop_key, []).append(time.monotonic())
            return
        await serve_one(ex)
        if not ex.keep:
            return


CONNECTIONS = [0]


async def handle_connection(reader, writer):
    CONNECTIONS[0] += 1
    ex = Exchange(reader, writer, CONNECTIONS[0])
    try:
        if getattr(writer.get_extra_info("ssl_object"), "fault", None) == "close":
            return
        await serve(ex)
    except (ClientGone, OSError, EOFError):  # a misbehaving client only ends its own connection
        pass
    except Exception:  # a fault of this server: the bench shows its log
        traceback.print_exc()
    finally:
        if not ex.aborted:
            try:
                writer.close()
                await asyncio.wait_for(writer.wait_closed(), 10)
            except Exception:
                pass


TLS_VERSIONS = {"1.1": ssl.TLSVersion.TLSv1_1, "1.2": ssl.TLSVersion.TLSv1_2,
                "1.3": ssl.TLSVersion.TLSv1_3}


def tls_context(cert, key, only=None, resumption=True):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    if not resumption:
        # No session tickets: a TLS 1.3 connection, which every client here makes, cannot resume.
        context.num_tickets = 0
        context.options |= ssl.OP_NO_TICKET
    if only:
        with warnings.catch_warnings():  # TLS 1.1 is deprecated: serving it is the point
            warnings.simplefilter("ignore", DeprecationWarning)
            context.minimum_version = context.maximum_version = TLS_VERSIONS[only]
        if only == "1.1":
            # OpenSSL 3 offers no cipher at all for TLS 1.1 above security level 0.
            context.set_ciphers("DEFAULT:@SECLEVEL=0")
    context.load_cert_chain(cert, key)
    context.set_alpn_protocols(["http/1.1"])
    context.sslobject_class = FaultySSLObject
    context.sni_callback = take_tls_fault
    return context


def ignore_connection_errors(loop, context):
    # Failed handshakes (the bad hosts' whole purpose) and vanished clients are routine here.
    error = context.get("exception")
    if isinstance(error, (OSError, ssl.SSLError, EOFError, asyncio.TimeoutError)):
        return
    loop.default_exception_handler(context)


async def main(args):
    # asyncio warns about every write to a connection that has just gone; here that is routine.
    logging.getLogger("asyncio").setLevel(logging.ERROR)
    loop = asyncio.get_running_loop()
    loop.set_exception_handler(ignore_connection_errors)
    servers = []
    listeners = [(None, *listen) for listen in args.listen] + (args.listen_tls or [])
    for only, address, port, cert, key in listeners:
        servers.append(await asyncio.start_server(
            handle_connection, address, int(port), ssl=tls_context(cert, key, only, args.resumption),
            reuse_address=True, backlog=1024, ssl_handshake_timeout=IDLE_TIMEOUT_S,
            ssl_shutdown_timeout=5))
    if args.ready_file:
        partial = args.ready_file + ".partial"
        with open(partial, "w") as ready:
            ready.write("ready\n")
        os.replace(partial, args.ready_file)
    await asyncio.gather(*(server.serve_forever() for server in servers))


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Simulated exchange for the test bench.")
    parser.add_argument("--listen", nargs=4, action="append", required=True,
                        metavar=("ADDR", "PORT", "CERT", "KEY"),
                        help="serve HTTPS on ADDR:PORT with this certificate chain and key")
    parser.add_argument("--listen-tls", nargs=5, action="append",
                        metavar=("VERSION", "ADDR", "PORT", "CERT", "KEY"),
                        help="as --listen, with TLS VERSION (1.1, 1.2 or 1.3) and no other")
    parser.add_argument("--ready-file", help="written once every listener accepts connections")
    parser.add_argument("--no-resumption", dest="resumption", action="store_false",
                        help="resume no TLS session: every connection is a full handshake")
    return parser.parse_args(argv)


if __name__ == "__main__":
    try:
        asyncio.run(main(parse_args(sys.argv[1:])))
    except KeyboardInterrupt:
        pass
