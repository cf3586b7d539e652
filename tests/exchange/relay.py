#!/usr/bin/env python3
"""A TCP relay that adds network latency on loopback, for benchmarks in the hermetic bench.

    relay.py --listen ADDR PORT --to ADDR PORT --rtt-ms MS [--ready-file PATH]

Every connection accepted on --listen is relayed to --to. Bytes take MS/2 to cross in each
direction, and the first bytes of a connection towards --to wait one more MS: on loopback the
client's connect completes at once, where a real TCP handshake costs a round trip before the
client can send. So a request on a fresh connection with TLS 1.3 costs about 3 round trips
(connect, handshake, exchange) and one on a kept connection 1. An end of stream or a reset on
one side reaches the other side after MS/2 as well. Standard library only; tests/sandbox/run
starts it with --relay-rtt.
"""

import argparse
import asyncio
import logging
import os
import socket
import struct
import sys

PIECE_BYTES = 64 * 1024


async def pump(reader, writer, delay_s, first_delay_s=0.0):
    """Copies reader to writer, each piece sent delay_s after it arrived, in order."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def receive():
        extra = first_delay_s
        while True:
            try:
                data = await reader.read(PIECE_BYTES)
            except OSError:
                data = None  # a reset: passed on as one
            await queue.put((loop.time() + delay_s + extra, data))
            extra = 0.0
            if not data:
                return

    async def send():
        while True:
            due, data = await queue.get()
            await asyncio.sleep(max(0.0, due - loop.time()))
            if data is None:
                sock = writer.get_extra_info("socket")
                if sock is not None and sock.fileno() >= 0:
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                writer.transport.abort()
                return
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    receiving = asyncio.ensure_future(receive())
    try:
        await send()
    finally:
        receiving.cancel()


async def relay(client_reader, client_writer, target, rtt_s):
    try:
        server_reader, server_writer = await asyncio.open_connection(*target)
    except OSError:
        client_writer.transport.abort()
        return
    try:
        await asyncio.gather(
            pump(client_reader, server_writer, rtt_s / 2, first_delay_s=rtt_s),
            pump(server_reader, client_writer, rtt_s / 2))
    except OSError:
        pass
    finally:
        for writer in (client_writer, server_writer):
            writer.close()


async def main(args):
    logging.getLogger("asyncio").setLevel(logging.ERROR)
    target = (args.to[0], int(args.to[1]))
    rtt_s = args.rtt_ms / 1000
    server = await asyncio.start_server(
        lambda reader, writer: relay(reader, writer, target, rtt_s), args.listen[0],
        int(args.listen[1]), reuse_address=True, backlog=1024)
    if args.ready_file:
        partial = args.ready_file + ".partial"
        with open(partial, "w") as ready:
            ready.write("ready\n")
        os.replace(partial, args.ready_file)
    await server.serve_forever()


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Latency relay for the test bench.")
    parser.add_argument("--listen", nargs=2, required=True, metavar=("ADDR", "PORT"))
    parser.add_argument("--to", nargs=2, required=True, metavar=("ADDR", "PORT"))
    parser.add_argument("--rtt-ms", type=int, required=True, help="round trip time added")
    parser.add_argument("--ready-file", help="written once the relay accepts connections")
    return parser.parse_args(argv)


if __name__ == "__main__":
    try:
        asyncio.run(main(parse_args(sys.argv[1:])))
    except KeyboardInterrupt:
        pass
