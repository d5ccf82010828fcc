#!/usr/bin/env python3
"""A TCP proxy that holds every chunk it carries for a while in each direction: a slow link (a VPN
to a branch office) on a machine whose kernel has no traffic shaping.

    delay_proxy.py LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_MS [--count FILE]

Each connection gets two pumps, one a direction. A pump's reader stamps each chunk as it arrives
and queues it; its writer sends each chunk once DELAY_MS have passed since its stamp, so that the
round trip grows by twice DELAY_MS while the bandwidth stays the machine's. With --count, the bytes
carried in each direction since the start are written to FILE (two numbers, to the server and from
it) whenever a connection ends and when the proxy is stopped (SIGTERM or SIGINT).
"""

import argparse
import collections
import signal
import socket
import sys
import threading
import time

CHUNK = 256 * 1024


class Counter:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.up = 0
        self.down = 0

    def add(self, upstream, n):
        with self.lock:
            if upstream:
                self.up += n
            else:
                self.down += n

    def save(self):
        if not self.path:
            return
        with self.lock:
            text = f"{self.up} {self.down}\n"
        with open(self.path, "w", encoding="ascii") as out:
            out.write(text)


def pump(source, sink, delay, counter, upstream):
    """Carries what `source` sends to `sink`, each chunk `delay` seconds late."""
    queue = collections.deque()
    ready = threading.Condition()
    ended = [False]

    def read():
        try:
            while True:
                data = source.recv(CHUNK)
                if not data:
                    break
                with ready:
                    queue.append((time.monotonic() + delay, data))
                    ready.notify()
        except OSError:
            pass
        with ready:
            ended[0] = True
            ready.notify()

    def write():
        try:
            while True:
                with ready:
                    while not queue and not ended[0]:
                        ready.wait()
                    if not queue:
                        break
                    due, data = queue.popleft()
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                sink.sendall(data)
                counter.add(upstream, len(data))
        except OSError:
            pass
        try:
            sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    reader = threading.Thread(target=read, daemon=True)
    writer = threading.Thread(target=write, daemon=True)
    reader.start()
    writer.start()
    return writer


def serve(client, target, delay, counter):
    try:
        server = socket.create_connection(target)
    except OSError:
        client.close()
        return
    for s in (client, server):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    writers = [pump(client, server, delay, counter, True),
               pump(server, client, delay, counter, False)]
    for writer in writers:
        writer.join()
    client.close()
    server.close()
    counter.save()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("listen_port", type=int)
    parser.add_argument("target_host")
    parser.add_argument("target_port", type=int)
    parser.add_argument("delay_ms", type=float)
    parser.add_argument("--count", default="")
    args = parser.parse_args()

    counter = Counter(args.count)
    counter.save()

    def stop(*_):
        counter.save()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.listen_port))
    listener.listen(16)
    target = (args.target_host, args.target_port)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=serve, args=(client, target, args.delay_ms / 1000, counter),
                         daemon=True).start()


if __name__ == "__main__":
    main()
