#!/usr/bin/env python3
"""A TCP relay on 127.0.0.1 to a local port, standing for a network that drops once: it forwards
every connection both ways and resets the first one, on both sides at once, once its client has
sent CUT_AFTER bytes.

usage: dropping_relay.py TARGET_PORT CUT_AFTER
Prints "PORT <n>" once listening, "CONNECT <k>" for each connection and "CUT <k>" for the cut.
"""
import select
import socket
import struct
import sys
import threading

target, cut_after = int(sys.argv[1]), int(sys.argv[2])


def say(line):
    print(line, flush=True)


def reset(end):
    end.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    end.close()


def relay(client, number):
    try:
        server = socket.create_connection(("127.0.0.1", target))
    except OSError:
        return reset(client)
    from_client = 0
    ended = set()  # the ends that have sent their last byte
    while len(ended) < 2:
        ready, _, _ = select.select([e for e in (client, server) if e not in ended], [], [])
        for end in ready:
            other = server if end is client else client
            data = end.recv(65536)
            if not data:
                ended.add(end)
                other.shutdown(socket.SHUT_WR)  # an orderly end is passed on as one
                continue
            other.sendall(data)
            from_client += len(data) if end is client else 0
        if number == 1 and from_client >= cut_after:
            say(f"CUT {number}")
            break
    reset(client)
    reset(server)


listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(16)
say(f"PORT {listener.getsockname()[1]}")
connections = 0
while True:
    accepted, _ = listener.accept()
    connections += 1
    say(f"CONNECT {connections}")
    threading.Thread(target=relay, args=(accepted, connections), daemon=True).start()
