#!/usr/bin/env python3
"""A small HTTP CONNECT proxy for Kestrune's hermetic test bench (Python standard library only).

    proxy.py [--tunnel ADDR PORT] [--refuse ADDR PORT] [--auth ADDR PORT] [--ready-file PATH]

Every listener takes one `CONNECT host:port HTTP/1.1` request per connection and answers by its
role:

  --tunnel  200, then relays bytes both ways until either side closes. The target name is
            resolved here (inside the bench: its hosts file) and must give a loopback address,
            otherwise 403: the proxy never reaches out of the machine.
  --refuse  403 Forbidden for every request.
  --auth    407 with `Proxy-Authenticate: Basic realm="bench"`, unless the request carries
            `Proxy-Authorization: Basic` with the credentials bench:secret; it then tunnels.

Anything other than CONNECT gets 405. The ready file is written once every listener accepts
connections.
"""

import argparse
import asyncio
import base64
import ipaddress
import os
import socket
import sys

CREDENTIALS = "Basic " + base64.b64encode(b"bench:secret").decode()
IDLE_TIMEOUT_S = 60


def answer(status, reason, extra=""):
    return (f"HTTP/1.1 {status} {reason}\r\n{extra}Content-Length: 0\r\n"
            "Connection: close\r\n\r\n").encode()


async def read_head(reader):
    head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), IDLE_TIMEOUT_S)
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return lines[0].split(" "), headers


async def loopback_address(host, port):
    infos = await asyncio.get_running_loop().getaddrinfo(host, port, type=socket.SOCK_STREAM)
    for family, _, _, _, address in infos:
        if ipaddress.ip_address(address[0]).is_loopback:
            return address[0]
    return None


async def relay(reader, writer):
    try:
        while data := await asyncio.wait_for(reader.read(65536), IDLE_TIMEOUT_S):
            writer.write(data)
            await writer.drain()
        writer.write_eof()
    except (OSError, asyncio.TimeoutError):
        pass


async def tunnel(target, reader, writer):
    host, _, port = target.rpartition(":")
    address = await loopback_address(host, int(port)) if host and port.isdigit() else None
    if address is None:
        writer.write(answer(403, "Forbidden"))
        return
    try:
        server_reader, server_writer = await asyncio.open_connection(address, int(port))
    except OSError:
        writer.write(answer(502, "Bad Gateway"))
        return
    writer.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
    await asyncio.gather(relay(reader, server_writer), relay(server_reader, writer))
    server_writer.close()


def handler(role):
    async def handle(reader, writer):
        try:
            request_line, headers = await read_head(reader)
            if len(request_line) != 3 or request_line[0] != "CONNECT":
                writer.write(answer(405, "Method Not Allowed"))
            elif role == "refuse":
                writer.write(answer(403, "Forbidden"))
            elif role == "auth" and headers.get("proxy-authorization") != CREDENTIALS:
                writer.write(answer(407, "Proxy Authentication Required",
                                    'Proxy-Authenticate: Basic realm="bench"\r\n'))
            else:
                await tunnel(request_line[1], reader, writer)
            await writer.drain()
        except (OSError, EOFError, ValueError, asyncio.IncompleteReadError,
                asyncio.LimitOverrunError, asyncio.TimeoutError):
            pass
        finally:
            writer.close()
    return handle


async def main(args):
    servers = []
    for role in ("tunnel", "refuse", "auth"):
        for address, port in getattr(args, role) or []:
            servers.append(await asyncio.start_server(handler(role), address, int(port),
                                                      reuse_address=True))
    if args.ready_file:
        partial = args.ready_file + ".partial"
        with open(partial, "w") as ready:
            ready.write("ready\n")
        os.replace(partial, args.ready_file)
    await asyncio.gather(*(server.serve_forever() for server in servers))


def parse_args(argv):
    parser = argparse.ArgumentParser(description="CONNECT proxy for the test bench.")
    for role in ("tunnel", "refuse", "auth"):
        parser.add_argument(f"--{role}", nargs=2, action="append", metavar=("ADDR", "PORT"))
    parser.add_argument("--ready-file", help="written once every listener accepts connections")
    return parser.parse_args(argv)


if __name__ == "__main__":
    try:
        asyncio.run(main(parse_args(sys.argv[1:])))
    except KeyboardInterrupt:
        pass
