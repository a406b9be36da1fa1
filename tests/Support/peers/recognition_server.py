#!/usr/bin/env python3
"""A scripted recognition server for tests.

usage: recognition_server.py SCRIPT.json LOG.jsonl

Every connection runs the script's steps in order; a script {"connections": [S1, S2, ...]}
gives the first connection S1, the second S2, and every later one the last. A step may hold:
  "wait":  "start" | "stop" | "binary:N" (N binary messages received) | "text:N" | "close"
  "sleep": seconds
  "send":  an object (sent as JSON text) or a string (sent as is)
  "send_binary": hex bytes
  "close": [code, reason]   a normal close handshake
  "drop":  true             the TCP connection ends without a close frame
Everything received is logged as one JSON object per line, with the connection's number; a
connect also carries its monotonic "time" in seconds.
The bound port is printed on stdout as "PORT <n>".
"""
import asyncio
import json
import sys
import time

import websockets

script = json.load(open(sys.argv[1]))
log_file = open(sys.argv[2], "a", buffering=1)
connections = 0


def log(entry):
    log_file.write(json.dumps(entry) + "\n")


async def handler(websocket, path):
    global connections
    connections += 1
    number = connections
    log({"connection": number, "type": "connect", "path": path, "time": time.monotonic()})
    steps = script
    if isinstance(script, dict):
        steps = script["connections"][min(number, len(script["connections"])) - 1]
    counts = {"start": 0, "stop": 0, "binary": 0, "text": 0, "close": 0}
    changed = asyncio.Condition()

    async def reader():
        try:
            async for message in websocket:
                if isinstance(message, bytes):
                    counts["binary"] += 1
                    log({"connection": number, "type": "binary", "hex": message.hex()})
                else:
                    counts["text"] += 1
                    log({"connection": number, "type": "text", "data": message})
                    try:
                        decoded = json.loads(message)
                    except ValueError:
                        decoded = None
                    if isinstance(decoded, dict) and decoded.get("decoding") in ("start", "stop"):
                        counts[decoded["decoding"]] += 1
                async with changed:
                    changed.notify_all()
        except websockets.ConnectionClosed:
            pass
        finally:
            counts["close"] += 1
            log({"connection": number, "type": "closed", "code": websocket.close_code,
                 "reason": websocket.close_reason})
            async with changed:
                changed.notify_all()

    def reached(what):
        name, _, count = what.partition(":")
        return counts[name] >= (int(count) if count else 1)

    reading = asyncio.ensure_future(reader())
    try:
        for step in steps:
            if "wait" in step:
                async with changed:
                    await changed.wait_for(lambda: reached(step["wait"]))
            if "sleep" in step:
                await asyncio.sleep(step["sleep"])
            if "send" in step:
                payload = step["send"]
                await websocket.send(payload if isinstance(payload, str) else json.dumps(payload))
            if "send_binary" in step:
                await websocket.send(bytes.fromhex(step["send_binary"]))
            if "close" in step:
                code, reason = step["close"]
                await websocket.close(code, reason)
            if step.get("drop"):
                websocket.transport.close()
    except websockets.ConnectionClosed:
        pass
    await reading


async def main():
    async with websockets.serve(handler, "127.0.0.1", 0, max_size=None) as server:
        port = server.sockets[0].getsockname()[1]
        print("PORT", port, flush=True)
        await asyncio.Future()


asyncio.run(main())
