#!/usr/bin/python3
"""Independent WebSocket peer for the client's interop tests.

Prints "PORT <n>" on stdout once listening on 127.0.0.1. Paths:
  /echo            echoes every message with its type
  /close           sends "hello", then closes with 4001 "server says bye"
  /ping            pings with b"are you there", sends "pong:<hex payload>" once answered
  anything else    echoes
"""
import argparse
import asyncio
import ssl
import sys

import websockets


async def handler(ws, path):
    if path == "/close":
        await ws.send("hello")
        await ws.close(code=4001, reason="server says bye")
        return
    if path == "/ping":
        waiter = await ws.ping(b"are you there")
        await asyncio.wait_for(waiter, 10)
        await ws.send("pong:" + b"are you there".hex())
    try:
        async for message in ws:
            await ws.send(message)
    except websockets.ConnectionClosed:
        pass


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()
    context = None
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
    async with websockets.serve(handler, "127.0.0.1", 0, ssl=context, max_size=None,
                                subprotocols=["chat", "superchat"],
                                select_subprotocol=select) as server:
        port = server.sockets[0].getsockname()[1]
        print(f"PORT {port}", flush=True)
        await asyncio.Future()


def select(client_protocols, server_protocols):
    # Prefer the server's order, so a test can tell which side chose.
    for name in server_protocols:
        if name in client_protocols:
            return name
    return None


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
