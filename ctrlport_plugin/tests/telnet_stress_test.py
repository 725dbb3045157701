#!/usr/bin/env python3
"""The plug-in in the stand-in client program under load, over the fixed port of a network
namespace of its own:
  - the client limit: 201 clients answer, the 202nd gets 515 and the end of the stream;
  - 2000 connect/command/quit cycles at full speed, every one admitted; afterwards the client
    process has as many descriptors and threads as before;
  - 50 connections that never read while notifications flow: the readers are served, the stalled
    connections are closed once their send queue is full;
  - a line of 1 MiB: 1538, then the end of the stream;
  - a command cut at every byte, with telnet commands and a CR NUL line end, and a telnet Synch;
  - a peer that sends its commands and ends its sending side gets every reply;
  - a peer that reads its replies slowly but steadily for longer than 10 s after quit gets every
    byte and the final line;
  - 500 connections that send 400 help and quit and never read: the client's sockets stay
    within 201 clients and 210 closing connections, and its memory grows by at most the given bound
    (64 MiB of queues and what the allocator keeps; 0: not checked);
  - a notification of 4 MB to 200 connections that read at full speed, then one of 8 MB to 20:
    every connection gets the whole line (the queues share it);
  - shutdown while 100 connections keep forwarding commands: the client ends within 5 s (the
    given bound; sanitizer builds run several times slower) and every connection ends with 1026 or
    with the end of its stream.
Every wait has a deadline; nothing sleeps to synchronise.

  telnet_stress_test.py <vxm_fakeclient> <ctrlport_plugin.so> <help folder> [<shutdown bound in s>
                        [<memory bound in MiB>]]
"""
import asyncio
import collections
import os
import shutil
import socket
import sys
import time
import zlib

PORT = 25639
DEADLINE = 20.0
GREETING = (b"VXM Client\n\rWelcome to the Voxmere 3 CtrlPort interface, type \"help\" for a list of commands "
            b"and \"help <command>\" for information on a specific command.\n\r")
SELECTED = b"selected schandlerid=1\n\r"
WHOAMI_REPLY = b"clid=1 cid=1\n\rerror id=0 msg=ok\n\r"
OK = b"error id=0 msg=ok\n\r"


class Failure(Exception):
    pass


def check(condition, text):
    if not condition:
        raise Failure(text)


class FakeClient:
    """vxm_fakeclient with the plug-in loaded, driven through its control lines."""

    def __init__(self, program, plugin, help_folder):
        self.folder = os.path.join(os.environ.get("TMPDIR", "/tmp"), "stress-client")
        shutil.rmtree(self.folder, ignore_errors=True)
        plugins = os.path.join(self.folder, "plugins")
        os.makedirs(os.path.join(plugins, "ctrlport_plugin"))
        shutil.copy(plugin, plugins)
        for name in os.listdir(help_folder):
            shutil.copy(os.path.join(help_folder, name), os.path.join(plugins, "ctrlport_plugin"))
        self.program = program
        self.plugin = os.path.join(plugins, os.path.basename(plugin))
        self.lines = asyncio.Queue()
        self.output = []
        self.marks = 0

    async def start(self):
        self.process = await asyncio.create_subprocess_exec(
            self.program, "--plugin", self.plugin, "--id", "stress", "--quiet", self.folder,
            stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.STDOUT)
        self.reader = asyncio.ensure_future(self._read())
        await self.expect(lambda line: line.startswith("fakeclient: ready"), "ready")

    async def _read(self):
        while True:
            line = await self.process.stdout.readline()
            if not line:
                await self.lines.put(None)
                return
            text = line.decode(errors="replace").rstrip("\n")
            self.output.append(text)
            await self.lines.put(text)

    async def expect(self, predicate, what, timeout=DEADLINE):
        async def wait():
            while True:
                line = await self.lines.get()
                check(line is not None, "the stand-in client ended while waiting for " + what)
                if predicate(line):
                    return line
        try:
            return await asyncio.wait_for(wait(), timeout)
        except asyncio.TimeoutError:
            raise Failure("no " + what + " from the stand-in client")

    async def control(self, *lines):
        """Sends control lines and waits until the client thread has handled them."""
        self.marks += 1
        mark = "mark %d" % self.marks
        self.process.stdin.write(("\n".join(lines + ("echo " + mark,)) + "\n").encode())
        await self.process.stdin.drain()
        await self.expect(lambda line: line == mark, mark)

    def descriptors(self):
        return len(os.listdir("/proc/%d/fd" % self.process.pid))

    def sockets(self):
        count = 0
        for fd in os.listdir("/proc/%d/fd" % self.process.pid):
            try:
                count += os.readlink("/proc/%d/fd/%s" % (self.process.pid, fd)).startswith("socket:")
            except OSError:
                pass  # closed meanwhile
        return count

    def threads(self):
        return len(os.listdir("/proc/%d/task" % self.process.pid))

    def memory(self):
        """Resident memory in MiB."""
        with open("/proc/%d/status" % self.process.pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
        return 0.0


async def until(condition, what, timeout=DEADLINE):
    """Polls a condition that no event announces (the client's descriptor count) with a deadline;
    `what` (a text, or a function giving one) tells what failed."""
    end = time.monotonic() + timeout
    while not condition():
        check(time.monotonic() < end, what() if callable(what) else what)
        await asyncio.sleep(0.01)


class Peer:
    """A telnet connection. Unless it is a stalled one, a task reads everything that arrives into
    `data`, or, with `count_lines`, counts the complete lines by their text instead of keeping them."""

    @classmethod
    async def open(cls, receive_buffer=None):
        peer = cls()
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if receive_buffer:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        sock.setblocking(False)
        await asyncio.get_running_loop().sock_connect(sock, ("127.0.0.1", PORT))
        peer.sock = sock
        peer.data = bytearray()
        peer.counts = None
        peer.sunk = None
        peer.ended = False
        peer.changed = asyncio.Event()
        peer.start_reading()
        return peer

    def start_reading(self):
        self.pump = asyncio.ensure_future(self._pump())

    def stop_reading(self):
        self.pump.cancel()
        self.pump = None

    def count_lines(self):
        """From now on complete lines are counted by their text, not kept."""
        self.counts = collections.Counter()

    def sink(self):
        """From now on the bytes are counted and checksummed, not kept (`sunk`: count, CRC-32)."""
        self.sunk = [0, 0]

    async def _pump(self):
        loop = asyncio.get_running_loop()
        while True:
            try:
                block = await loop.sock_recv(self.sock, 65536)
            except (ConnectionResetError, OSError):
                block = b""
            if not block:
                self.ended = True
                self.changed.set()
                return
            if self.sunk is not None:
                self.sunk[0] += len(block)
                self.sunk[1] = zlib.crc32(block, self.sunk[1])
                self.changed.set()
                continue
            self.data += block
            if self.counts is not None:
                end = self.data.rfind(b"\n\r")
                if end >= 0:
                    self.counts.update(bytes(self.data[:end]).split(b"\n\r"))
                    del self.data[:end + 2]
            self.changed.set()

    async def wait(self, predicate, what, timeout=DEADLINE, ended_ok=False):
        async def loop():
            while not predicate():
                check(ended_ok or not self.ended, "the stream ended before %s: %r" % (what, bytes(self.data[-300:])))
                if self.ended:
                    return
                self.changed.clear()
                await self.changed.wait()
        try:
            await asyncio.wait_for(loop(), timeout)
        except asyncio.TimeoutError:
            raise Failure("no %s within %.0f s: %r" % (what, timeout, bytes(self.data[-300:])))

    async def read_until(self, text, timeout=DEADLINE, start=0):
        """Waits until the received bytes hold `text` after `start`; returns where it ends."""
        await self.wait(lambda: self.data.find(text, start) >= 0, repr(text), timeout)
        return self.data.find(text, start) + len(text)

    async def read_to_end(self, timeout=DEADLINE):
        if not self.pump:
            self.start_reading()
        await self.wait(lambda: self.ended, "the end of the stream", timeout, ended_ok=True)

    async def send(self, data):
        await asyncio.get_running_loop().sock_sendall(self.sock, data)

    async def admitted(self):
        await self.read_until(SELECTED)
        check(self.data == GREETING + SELECTED, "unexpected start: %r" % bytes(self.data))
        del self.data[:]

    def close(self):
        if self.pump:
            self.stop_reading()
        # The loop must forget the descriptor before its number can be taken again.
        loop = asyncio.get_running_loop()
        loop.remove_reader(self.sock.fileno())
        loop.remove_writer(self.sock.fileno())
        self.sock.close()


async def client_limit(client):
    descriptors = client.descriptors()
    peers = []
    for _ in range(201):
        peer = await Peer.open()
        await peer.admitted()
        peers.append(peer)
    refused = await Peer.open()
    await refused.read_to_end()
    check(refused.data == GREETING + b"error id=515 msg=too\\smany\\sclients",
          "the 202nd client got %r" % refused.data)
    await asyncio.gather(*(peer.send(b"whoami\n") for peer in peers))
    await asyncio.gather(*(peer.read_until(WHOAMI_REPLY) for peer in peers))
    for peer in peers:
        peer.close()
    await until(lambda: client.descriptors() == descriptors, "the 201 connections were not closed")
    print("client limit: 201 answered, the 202nd was refused with 515")


async def cycles(client, count=2000, parallel=32):
    descriptors = client.descriptors()
    threads = client.threads()
    done = 0

    async def worker():
        nonlocal done
        while done < count:
            done += 1
            peer = await Peer.open()
            await peer.read_until(SELECTED)
            check(peer.data == GREETING + SELECTED, "cycle %d was not admitted: %r" % (done, peer.data))
            await peer.send(b"whoami\nquit\n")
            await peer.read_to_end()
            check(peer.data == GREETING + SELECTED + WHOAMI_REPLY + b"error id=0 msg=ok",
                  "cycle %d got %r" % (done, peer.data))
            peer.close()

    start = time.monotonic()
    await asyncio.gather(*(worker() for _ in range(parallel)))
    seconds = time.monotonic() - start
    await until(lambda: client.descriptors() == descriptors,
                lambda: "descriptors: %d before, %d after" % (descriptors, client.descriptors()))
    check(client.threads() == threads, "threads: %d before, %d after" % (threads, client.threads()))
    print("cycles: %d connect/whoami/quit in %.1f s, all admitted; %d descriptors, %d threads as before"
          % (count, seconds, descriptors, threads))


async def stalled_readers(client, stalled_count=50, reader_count=20):
    # Small system send buffers in this network namespace (and only there), so that the plug-in's
    # send queue, not the system, holds what a stalled connection has not taken.
    if os.environ.get("VXM_IN_NETNS") == "1":
        try:
            with open("/proc/sys/net/ipv4/tcp_wmem", "w") as f:
                f.write("4096 16384 262144")
        except OSError:
            pass
    descriptors = client.descriptors()
    register = b"clientnotifyregister schandlerid=0 event=any\n"
    stalled = []
    readers = []
    for n in range(stalled_count + reader_count):
        peer = await Peer.open(receive_buffer=4096 if n < stalled_count else None)
        await peer.admitted()
        await peer.send(register)
        await peer.read_until(OK)
        if n < stalled_count:
            peer.stop_reading()
            stalled.append(peer)
        else:
            peer.count_lines()
            readers.append(peer)
    await until(lambda: client.descriptors() == descriptors + stalled_count + reader_count, "connections")

    text = "notifytextmessage schandlerid=1 targetmode=1 msg=" + "x" * 60000 + " invokerid=2"
    line = text.encode()
    event = "event ctrlport 1 " + text.replace(" schandlerid=1", "")
    reply = b"clid=1 cid=1"
    stop = False

    async def commands(peer):
        # Round trips while the notifications flow.
        while not stop:
            answered = peer.counts[reply]
            await peer.send(b"whoami\n")
            await peer.wait(lambda: peer.counts[reply] > answered, "an answer to whoami")

    tasks = [asyncio.ensure_future(commands(peer)) for peer in readers[:5]]
    sent = 0
    try:
        # 4 MiB of queue and the system's buffers fill within 100 lines of 60 kB; 300 is the limit.
        while client.descriptors() > descriptors + reader_count:
            check(sent < 300, "stalled connections still open after %d notifications: %d descriptors"
                  % (sent, client.descriptors() - descriptors))
            await client.control(*([event] * 10))
            sent += 10
            for task in tasks:
                if task.done():
                    task.result()
        for peer in readers:
            await peer.wait(lambda: peer.counts[line] == sent, "every notification")
        answers = sum(peer.counts[reply] for peer in readers)
    finally:
        stop = True
        await asyncio.gather(*tasks, return_exceptions=True)
    for peer in stalled:
        peer.count_lines()
        await peer.read_to_end()
        check(peer.counts[line] < sent, "a stalled connection received everything")
    for peer in readers:
        check(peer.counts[line] == sent and not peer.ended, "a reader lost notifications")
        peer.close()
    print("stalled: %d connections closed at the queue cap after %d notifications (%.1f MB); %d readers got "
          "all of them, and %d answers to whoami meanwhile" % (stalled_count, sent, sent * len(line) / 1e6,
                                                                reader_count, answers))


async def long_line(client):
    peer = await Peer.open()
    await peer.admitted()

    async def write():
        try:
            await peer.send(b"a" * (1 << 20) + b"\n")
        except (ConnectionResetError, BrokenPipeError):
            pass
    writer = asyncio.ensure_future(write())
    await peer.read_to_end()
    await writer
    check(peer.data == b"error id=1538 msg=invalid\\sparameter", "a 1 MiB line got %r" % peer.data[:300])
    print("long line: 1538 and the end of the stream")


async def shared_lines(client):
    descriptors = client.descriptors()
    peers = []
    for _ in range(200):
        peer = await Peer.open()
        await peer.admitted()
        await peer.send(b"clientnotifyregister schandlerid=0 event=notifytextmessage\n")
        await peer.read_until(OK)
        peers.append(peer)
    for size, count in ((4000000, 200), (8000000, 20)):
        for peer in peers[count:]:
            peer.close()
        peers = peers[:count]
        await until(lambda: client.descriptors() == descriptors + count, "connections")
        text = "notifytextmessage schandlerid=1 targetmode=1 msg=" + "x" * size + " invokerid=2"
        line = text.encode() + b"\n\r"
        for peer in peers:
            peer.sink()
        await client.control("event ctrlport 1 " + text.replace(" schandlerid=1", ""))
        for peer in peers:
            await peer.wait(lambda: peer.sunk[0] >= len(line), "a line of %d bytes" % len(line), ended_ok=True)
            check(peer.sunk == [len(line), zlib.crc32(line)] and not peer.ended,
                  "a connection got %d bytes of a shared line of %d" % (peer.sunk[0], len(line)))
        print("shared line: %d connections got all %d bytes" % (count, len(line)))
    for peer in peers:
        peer.close()


async def split_commands(client):
    # IAC WILL ECHO, the command, CR NUL (the end of line of a telnet client in character mode).
    command = b"\xff\xfb\x01whoami\r\x00"
    peer = await Peer.open()
    await peer.admitted()
    for cut in range(1, len(command)):
        start = len(peer.data)
        await peer.send(command[:cut])
        await peer.send(command[cut:])
        end = await peer.read_until(WHOAMI_REPLY, start=start)
        check(end == len(peer.data) and peer.data[start:] == WHOAMI_REPLY,
              "cut at %d: %r" % (cut, peer.data[start:]))
    start = len(peer.data)
    for byte in command:
        await peer.send(bytes([byte]))
    await peer.read_until(WHOAMI_REPLY, start=start)
    check(peer.data[start:] == WHOAMI_REPLY, "byte by byte: %r" % peer.data[start:])
    # telnet's Synch: its IAC goes as urgent data, its Data Mark in band.
    start = len(peer.data)
    peer.sock.send(b"\xff", socket.MSG_OOB)
    await peer.send(b"\xf2whoami\n")
    await peer.read_until(WHOAMI_REPLY, start=start)
    check(peer.data[start:] == WHOAMI_REPLY, "after a Synch: %r" % peer.data[start:])
    peer.close()
    print("split: %d cuts, byte by byte and after a Synch, each answered once" % (len(command) - 1))


async def help_reply():
    """What a help command answers."""
    peer = await Peer.open()
    await peer.admitted()
    await peer.send(b"help\n")
    await peer.read_until(OK)
    reply = bytes(peer.data)
    peer.close()
    return reply


async def half_close(client, reply, count=1000):
    # The replies wait in the plug-in's queue when the end of the input arrives.
    peer = await Peer.open(receive_buffer=4096)
    await peer.admitted()
    peer.stop_reading()
    await peer.send(b"help\n" * count)
    peer.sock.shutdown(socket.SHUT_WR)
    await peer.read_to_end()
    check(peer.data == reply * count, "half-closed after %d help: %d of %d bytes, ending %r"
          % (count, len(peer.data), len(reply) * count, bytes(peer.data[-100:])))
    peer.close()
    print("half-close: all %d replies (%.1f MB) after the end of the input" % (count, len(peer.data) / 1e6))


async def slow_reader(client, reply, count=1900, seconds=12.0):
    peer = await Peer.open(receive_buffer=4096)
    await peer.admitted()
    peer.stop_reading()
    await peer.send(b"help\n" * count + b"quit\n")
    expected = reply * count + b"error id=0 msg=ok"
    # Steadily, a slice every 10 ms, so that taking everything lasts about `seconds`.
    loop = asyncio.get_running_loop()
    slice_size = max(1, int(len(expected) / (seconds * 100)))
    start = time.monotonic()
    while True:
        try:
            block = await asyncio.wait_for(loop.sock_recv(peer.sock, slice_size), DEADLINE)
        except (ConnectionResetError, OSError):
            block = b""
        if not block:
            break
        peer.data += block
        await asyncio.sleep(0.01)
    took = time.monotonic() - start
    check(peer.data == expected, "a slow reader after quit: %d of %d bytes in %.1f s, ending %r"
          % (len(peer.data), len(expected), took, bytes(peer.data[-100:])))
    peer.close()
    print("slow reader: %.1f MB and the final line in %.1f s" % (len(peer.data) / 1e6, took))


async def closing_flood(client, memory_bound, count=500, helps=400):
    sockets = client.sockets()
    memory = client.memory()
    peak = {"sockets": sockets, "memory": memory}

    def settled():
        peak["sockets"] = max(peak["sockets"], client.sockets())
        peak["memory"] = max(peak["memory"], client.memory())
        # No client is open any more: each has quit, or was refused.
        return client.sockets() <= sockets + 210

    peers = []
    for _ in range(count):
        peer = await Peer.open(receive_buffer=4096)
        peer.stop_reading()
        await peer.send(b"help\n" * helps + b"quit\n")
        peers.append(peer)
        settled()
    # The client handles what the admitted connections sent before their peers go (slowly with the
    # sanitizers).
    await until(settled, lambda: "%d sockets after the flood, %d before" % (client.sockets(), sockets),
                timeout=3 * DEADLINE)
    for peer in peers:
        peer.close()
    await until(lambda: client.sockets() == sockets,
                lambda: "sockets: %d before, %d after" % (sockets, client.sockets()), timeout=3 * DEADLINE)
    # 201 clients and 10 pollers with at most 21 closing connections each.
    check(peak["sockets"] <= sockets + 201 + 210,
          "sockets: %d before, at most %d during the flood" % (sockets, peak["sockets"]))
    check(memory_bound == 0 or peak["memory"] - memory <= memory_bound,
          "memory: %.0f MiB before, at most %.0f MiB during the flood" % (memory, peak["memory"]))
    print("closing flood: %d connections of %d help and quit; at most %d sockets (%d before), %.0f MiB "
          "(%.0f before)" % (count, helps, peak["sockets"], sockets, peak["memory"], memory))


async def busy_shutdown(client, bound, count=100):
    peers = []
    for _ in range(count):
        peer = await Peer.open()
        await peer.admitted()
        await peer.send(b"clientnotifyregister schandlerid=0 event=any\n")
        await peer.read_until(OK)
        peer.count_lines()
        peers.append(peer)
    answered = b"error id=0 msg=ok"
    stop = False

    async def busy(peer, burst=50, outstanding=150):
        # Forwarded commands without pause, many always waiting for their answers: the stand-in
        # client is answering all the time, and the shutdown line must still get its turn.
        sent = 0
        try:
            while not stop:
                await peer.send(b"clientgetids cluid=x\n" * burst)
                sent += burst
                await peer.wait(lambda: peer.counts[answered] >= sent - outstanding, "answers", ended_ok=True)
                if peer.ended:
                    return
        except (ConnectionResetError, BrokenPipeError):
            pass

    tasks = [asyncio.ensure_future(busy(peer)) for peer in peers]
    # The answers are flowing.
    await peers[0].wait(lambda: peers[0].counts[answered] >= 20, "answers")

    start = time.monotonic()
    client.process.stdin.write(b"shutdown\n")
    await client.process.stdin.drain()
    try:
        code = await asyncio.wait_for(client.process.wait(), bound)
    except asyncio.TimeoutError:
        raise Failure("the stand-in client did not end within %g s of shutdown" % bound)
    seconds = time.monotonic() - start
    await asyncio.gather(*(peer.read_to_end() for peer in peers))
    stop = True
    await asyncio.gather(*tasks)
    await asyncio.wait_for(client.reader, DEADLINE)
    check(code == 0, "the stand-in client ended with %d: %s" % (code, "\n".join(client.output[-20:])))
    final = b"error id=1026 msg=shutting\\sdown"
    shutting_down = 0
    for peer in peers:
        # After the last complete line: 1026, nothing, or a line that the close cut short.
        at = peer.data.rfind(b"\n\r")
        tail = bytes(peer.data[at + 2:] if at >= 0 else peer.data)
        check(tail == final or final.startswith(tail) or OK.startswith(tail),
              "a connection ended with %r" % tail[-200:])
        shutting_down += tail == final
    print("shutdown: the client ended after %.2f s; %d connections got 1026, %d the end of the stream"
          % (seconds, shutting_down, count - shutting_down))


async def main(program, plugin, help_folder, bound="5", memory_bound="160"):
    client = FakeClient(program, plugin, help_folder)
    await client.start()
    try:
        await client_limit(client)
        await cycles(client)
        await stalled_readers(client)
        await long_line(client)
        await split_commands(client)
        reply = await help_reply()
        await half_close(client, reply)
        await slow_reader(client, reply)
        await closing_flood(client, float(memory_bound))
        await shared_lines(client)
        await busy_shutdown(client, float(bound))
    finally:
        if client.process.returncode is None:
            client.process.kill()
            await client.process.wait()


if __name__ == "__main__":
    if len(sys.argv) not in (4, 5, 6):
        sys.exit(__doc__)
    try:
        asyncio.run(main(*sys.argv[1:]))
    except Failure as failure:
        print("FAIL:", failure)
        sys.exit(1)
