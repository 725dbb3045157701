#!/usr/bin/env python3
"""A TCP relay that holds every byte for a fixed time in each direction, as a network with that
one-way delay would: the stand-in for netem where the kernel has none.

    delay_relay.py DELAY_MS TARGET_PORT...

For each target port on 127.0.0.1 it listens on a free loopback port and prints "PORT <target>
<listening port>", then "READY". It ends when its standard input closes.

A byte read at time t is written on at t + DELAY_MS, in order, while reading goes on, so the delay
costs latency and not bandwidth (up to MAX_HELD bytes held per direction of a connection). A new
connection's first bytes also wait for the round trip of the handshake that netem would delay:
they go on no earlier than three delays after the connection was accepted.

Each direction of a connection has a thread that reads and one that writes, and the writer sleeps
until each chunk is due, as netem's timers release each packet at its own time. (An event loop
would wake on a millisecond grid: every byte would be up to a millisecond late, and chunks of
different connections due within the same millisecond would leave together, so that a client gets
the answers of all its mirrors at once where a network would spread them out.)
"""
import os
import queue
import socket
import sys
import threading
import time

CHUNK = 256 * 1024
MAX_HELD = 16 * 1024 * 1024


class Connection:
    """A client's connection and the relay's own to the target, closed together."""

    def __init__(self, client, upstream):
        self.socks = [client, upstream]
        self.lock = threading.Lock()
        self.open_pipes = 2

    def abort(self):
        for s in self.socks:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def pipe_done(self):
        with self.lock:
            self.open_pipes -= 1
            if self.open_pipes:
                return
        for s in self.socks:
            s.close()


class Pipe:
    """One direction of a connection: reads, stamps each chunk with its due time, writes it then."""

    def __init__(self, conn, src, dst, delay, not_before):
        self.conn, self.src, self.dst = conn, src, dst
        self.delay = delay
        self.not_before = not_before
        self.queue = queue.Queue(maxsize=MAX_HELD // CHUNK)

    def start(self):
        threading.Thread(target=self.read, daemon=True).start()
        threading.Thread(target=self.write, daemon=True).start()

    def read(self):
        try:
            while True:
                data = self.src.recv(CHUNK)
                due = max(time.monotonic() + self.delay, self.not_before)
                self.queue.put((due, data))
                if not data:
                    return
        except OSError:
            self.queue.put((time.monotonic(), b''))

    def write(self):
        try:
            while True:
                due, data = self.queue.get()
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                if not data:
                    self.dst.shutdown(socket.SHUT_WR)
                    return
                self.dst.sendall(data)
        except OSError:
            self.conn.abort()
        finally:
            self.conn.pipe_done()


def nodelay(sock):
    # Each chunk leaves when it is due, as netem releases each packet: no waiting for an ACK.
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def relay(client, target, delay):
    accepted = time.monotonic()
    try:
        upstream = nodelay(socket.create_connection(('127.0.0.1', target)))
    except OSError:
        client.close()
        return
    nodelay(client)
    conn = Connection(client, upstream)
    Pipe(conn, client, upstream, delay, accepted + 3 * delay).start()
    Pipe(conn, upstream, client, delay, accepted).start()


def serve(listener, target, delay):
    while True:
        client, _ = listener.accept()
        relay(client, target, delay)


def main():
    delay = int(sys.argv[1]) / 1000.0
    for target in (int(p) for p in sys.argv[2:]):
        listener = socket.create_server(('127.0.0.1', 0))
        print('PORT %d %d' % (target, listener.getsockname()[1]), flush=True)
        threading.Thread(target=serve, args=(listener, target, delay), daemon=True).start()
    print('READY', flush=True)
    # The bench holds our standard input; its end ends the relay.
    sys.stdin.buffer.read()
    os._exit(0)


if __name__ == '__main__':
    main()
