#!/usr/bin/env python3
"""A TCP proxy that holds every chunk it carries for a while in each direction: a slow link (a VPN
to a branch office) on a machine whose kernel has no traffic shaping.

    delay_proxy.py LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_MS [--count FILE]

Each connection gets two pumps, one a direction. A pump's reader stamps each chunk as it arrives
and queues it; its writer sends each chunk once DELAY_MS have passed since its stamp, so that the
round trip grows by twice DELAY_MS while the bandwidth stays the machine's.

With --count, FILE gets three numbers since the start: the bytes carried to the server, those
carried from it, and the client's turns, how often it sent again after the server had sent (a
round trip it waited for, unless it sent ahead of the answer). They are written whenever a
connection ends and when the proxy is stopped (SIGTERM or SIGINT). A stopped proxy first lets the
connections still open end, for a few seconds at most: a client that has just exited may have
bytes of its last exchange still queued here, and the count read after the stop holds them.

LISTEN_PORT 0 takes a free port. Once listening, the proxy prints its port on standard output:
whoever started it waits for that line rather than probing the port, since a probe would be a
connection to the server too.
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
        self.lock = threading.Condition()
        self.up = 0
        self.down = 0
        self.turns = 0
        self.open = 0
        self.heard = {}  # connection -> whether the server sent last

    def add(self, upstream, n):
        with self.lock:
            if upstream:
                self.up += n
            else:
                self.down += n

    def arrived(self, connection, upstream):
        with self.lock:
            if upstream and self.heard.get(connection, True):
                self.turns += 1
            self.heard[connection] = not upstream

    def opened(self):
        with self.lock:
            self.open += 1

    def closed(self, connection):
        with self.lock:
            self.heard.pop(connection, None)
            self.open -= 1
            self.lock.notify_all()

    def drain(self, timeout):
        with self.lock:
            self.lock.wait_for(lambda: self.open == 0, timeout)

    def save(self):
        if not self.path:
            return
        with self.lock:
            text = f"{self.up} {self.down} {self.turns}\n"
        with open(self.path, "w", encoding="ascii") as out:
            out.write(text)


def pump(source, sink, delay, counter, upstream, connection):
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
                counter.arrived(connection, upstream)
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
        counter.closed(client)
        return
    for s in (client, server):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    writers = [pump(client, server, delay, counter, True, client),
               pump(server, client, delay, counter, False, client)]
    for writer in writers:
        writer.join()
    client.close()
    server.close()
    counter.closed(client)
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
        counter.drain(5)
        counter.save()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.listen_port))
    listener.listen(16)
    print(listener.getsockname()[1], flush=True)
    target = (args.target_host, args.target_port)
    while True:
        client, _ = listener.accept()
        counter.opened()
        threading.Thread(target=serve, args=(client, target, args.delay_ms / 1000, counter),
                         daemon=True).start()


if __name__ == "__main__":
    main()
