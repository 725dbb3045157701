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
"""
import asyncio
import os
import sys
import time

CHUNK = 256 * 1024
MAX_HELD = 16 * 1024 * 1024


class Pipe:
    """One direction of a connection: reads, stamps each chunk with its due time, writes it then."""

    def __init__(self, reader, writer, delay, not_before):
        self.reader = reader
        self.writer = writer
        self.delay = delay
        self.not_before = not_before
        self.queue = asyncio.Queue(maxsize=MAX_HELD // CHUNK)

    async def read(self):
        try:
            while True:
                data = await self.reader.read(CHUNK)
                due = max(time.monotonic() + self.delay, self.not_before)
                await self.queue.put((due, data))
                if not data:
                    return
        except (ConnectionError, OSError):
            await self.queue.put((time.monotonic(), b''))

    async def write(self):
        try:
            while True:
                due, data = await self.queue.get()
                wait = due - time.monotonic()
                if wait > 0:
                    await asyncio.sleep(wait)
                if not data:
                    if self.writer.can_write_eof():
                        self.writer.write_eof()
                    return
                self.writer.write(data)
                await self.writer.drain()
        except (ConnectionError, OSError):
            pass


async def relay(client_reader, client_writer, target, delay):
    accepted = time.monotonic()
    writers = [client_writer]
    try:
        up_reader, up_writer = await asyncio.open_connection('127.0.0.1', target)
        writers.append(up_writer)
        pipes = [Pipe(client_reader, up_writer, delay, accepted + 3 * delay),
                 Pipe(up_reader, client_writer, delay, accepted)]
        await asyncio.gather(*[p.read() for p in pipes], *[p.write() for p in pipes])
    except (ConnectionError, OSError):
        pass
    finally:
        for w in writers:
            w.close()


async def main():
    delay = int(sys.argv[1]) / 1000.0
    for target in (int(p) for p in sys.argv[2:]):
        server = await asyncio.start_server(lambda r, w, t=target: relay(r, w, t, delay), '127.0.0.1', 0)
        print('PORT %d %d' % (target, server.sockets[0].getsockname()[1]), flush=True)
    print('READY', flush=True)
    loop = asyncio.get_running_loop()
    # The bench holds our standard input; its end ends the relay.
    await loop.run_in_executor(None, sys.stdin.buffer.read)
    os._exit(0)


if __name__ == '__main__':
    asyncio.run(main())
