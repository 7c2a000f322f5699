#!/usr/bin/env python3
"""Clients of the service's network server for bench/network.sh, on 127.0.0.1:

    network_clients.py fsd PORT SECONDS
        polls GET VAR ups ups.status every 10 ms (connecting again until the
        server is there) and prints the Unix time of the first reply with
        FSD in it, or nothing after SECONDS
    network_clients.py poll PORT CLIENTS INTERVAL_MS SECONDS
        CLIENTS connections, each asking GET VAR ups ups.status every
        INTERVAL_MS for SECONDS, their requests spread over the interval;
        prints "sent N answered N wrong N
        median_ms X p99_ms X max_ms X"
    network_clients.py cycles PORT COUNT
        COUNT times in a row: connect, LIST VAR ups, its whole reply, close;
        prints "cycles N failed N seconds X"
    network_clients.py control SECONDS
        a trivial server of its own (every line answered with one
        VAR ups ups.status "OL"), polled as by poll with 64 clients every
        100 ms: the share of the figures that is this machine's and the
        clients' own
"""
import asyncio
import socket
import sys
import time

REQUEST = b"GET VAR ups ups.status\n"
LOOK_S = 0.01


def fsd(port, seconds):
    deadline = time.monotonic() + seconds
    client = None
    while time.monotonic() < deadline:
        try:
            if client is None:
                client = socket.create_connection(("127.0.0.1", port), timeout=5)
                reader = client.makefile("rb")
            client.sendall(REQUEST)
            reply = reader.readline()
            if not reply:
                raise ConnectionError("closed")
            if b"FSD" in reply:
                print(f"{time.time():.3f}")
                return 0
        except OSError:
            client = None
        time.sleep(LOOK_S)
    return 1


async def poller(port, interval_s, start_at, until, times, counts):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    next_at = start_at
    await asyncio.sleep(max(0, next_at - time.monotonic()))
    while next_at < until:
        started = time.monotonic()
        writer.write(REQUEST)
        counts["sent"] += 1
        reply = await asyncio.wait_for(reader.readline(), 5)
        times.append(time.monotonic() - started)
        if reply.startswith(b"VAR ups ups.status "):
            counts["answered"] += 1
        else:
            counts["wrong"] += 1
        next_at += interval_s
        await asyncio.sleep(max(0, next_at - time.monotonic()))
    writer.close()


async def poll(port, clients, interval_ms, seconds):
    times, counts = [], {"sent": 0, "answered": 0, "wrong": 0}
    interval_s = interval_ms / 1000
    first = time.monotonic() + 1
    until = first + seconds
    # Spread over the interval, as clients that know nothing of each other are.
    results = await asyncio.gather(
        *(poller(port, interval_s, first + i * interval_s / clients, until, times, counts) for i in range(clients)),
        return_exceptions=True)
    errors = [r for r in results if isinstance(r, Exception)]
    times.sort()
    ms = lambda q: times[min(len(times) - 1, int(q * len(times)))] * 1000 if times else float("nan")
    print(f"sent {counts['sent']} answered {counts['answered']} wrong {counts['wrong']} clients_failed {len(errors)} "
          f"median_ms {ms(0.5):.2f} p99_ms {ms(0.99):.2f} max_ms {times[-1] * 1000 if times else float('nan'):.2f}")
    return 0


def cycles(port, count):
    failed = 0
    started = time.monotonic()
    for _ in range(count):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as client:
                client.sendall(b"LIST VAR ups\n")
                data = b""
                while b"END LIST VAR ups\n" not in data and b"ERR " not in data:
                    chunk = client.recv(65536)
                    if not chunk:
                        break
                    data += chunk
                failed += b"END LIST VAR ups\n" not in data
        except OSError:
            failed += 1
    print(f"cycles {count} failed {failed} seconds {time.monotonic() - started:.1f}")
    return 0


async def control(seconds):
    async def answer(reader, writer):
        while await reader.readline():
            writer.write(b'VAR ups ups.status "OL"\n')
        writer.close()

    server = await asyncio.start_server(answer, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    async with server:
        return await poll(port, 64, 100, seconds)


def main():
    if sys.argv[1] == "control":
        return asyncio.run(control(float(sys.argv[2])))
    what, port = sys.argv[1], int(sys.argv[2])
    if what == "fsd":
        return fsd(port, float(sys.argv[3]))
    if what == "poll":
        return asyncio.run(poll(port, int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])))
    if what == "cycles":
        return cycles(port, int(sys.argv[3]))
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
