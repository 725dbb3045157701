"""telnet-rr and telnet-fanout: the telnet plug-in in the stand-in client (vxm_fakeclient --quiet)
against redis-server and the harness's own servers, all driven by bench/telnet_loadgen.

telnet-rr: closed loops of one request per connection at 1, 10, 50 and 200 connections. Ours answers
`whoami` (a data line and its error line), redis-server answers inline PING, and the harness's minimal
epoll server (the floor) answers each line with two lines in one write.

telnet-rr-2cores: the same closed loops at 1, 50 and 200 connections with the plug-in's host and
redis-server held to the same two cores (each in its turn) and the load generator on the others, so
that the ten poll threads cannot spread over more cores than redis's one; besides requests/s and the
latencies, the CPU time the server spent per request (its user and system time over the run, divided
by the requests it answered at the measured rate).

telnet-fanout: 200 connections registered for one notification; the stand-in injects one event, and
the time runs from the start of the injecting call (which the stand-in reports on the monotonic
clock, so that its own event loop does not count) until the last reading connection holds the line;
the peer is the harness sending the same line with 200 send() calls, timed the same way. The two take
turns event by event in one run of the generator, so that both meet the same machine, and both run on
one and the same core: spread over several, the figures of either side varied by a factor of two from
run to run with where the scheduler put the sending thread. Both again
with one connection that never reads (its buffers filled first); the time the injecting call takes
is reported too.
"""
import os
import select
import socket
import statistics
import time

import benchlib

PORT = 25639          # the plug-in's fixed port (bench/run runs in a network namespace of its own)
REDIS_PORT = 6379
FLOOR_PORT = 25640
SENDLOOP_PORT = 25641

CONNECTIONS = [1, 10, 50, 200]
EVENT = 'notifytalkstatuschange'
EVENT_LINE = 'notifytalkstatuschange schandlerid=1 status=1 isreceivedwhisper=0 clid=2'


class Lines:
    """Reads the standard output of a spawned process line by line, with a deadline."""

    def __init__(self, spawned):
        self.spawned = spawned
        self.fd = spawned.proc.stdout.fileno()
        self.buffer = b''

    def expect(self, prefix, count=1, timeout=30):
        found = []
        deadline = time.monotonic() + timeout
        while len(found) < count:
            while b'\n' in self.buffer and len(found) < count:
                line, self.buffer = self.buffer.split(b'\n', 1)
                text = line.decode(errors='replace')
                if text.startswith(prefix):
                    found.append(text)
            if len(found) >= count:
                break
            left = deadline - time.monotonic()
            if left <= 0:
                raise benchlib.RowError('%s: no "%s" line within %s s' % (self.spawned.proc.args, prefix, timeout))
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                chunk = os.read(self.fd, 65536)
                if not chunk:
                    res = self.spawned.wait(5)
                    raise benchlib.RowError('%s ended early (%s): %s' % (self.spawned.proc.args, res.rc,
                                                                         res.stderr[-1000:]))
                self.buffer += chunk
        return found


class Server:
    """A server process on the measured cores, with a control input (a FIFO kept open here)."""

    def __init__(self, ctx, name, argv, ready_prefix=None, port=None, pin='sut'):
        self.ctx = ctx
        folder = ctx.workdir('telnet-' + name)
        self.fifo = os.path.join(folder, 'control')
        os.mkfifo(self.fifo)
        # Opened for reading and writing, so that the open neither blocks nor ever sees an end of input.
        self.control = os.open(self.fifo, os.O_RDWR)
        self.proc = ctx.spawn(argv, pin=pin, cwd=folder, stdin=self.control)
        self.out = Lines(self.proc)
        if ready_prefix:
            self.out.expect(ready_prefix)
        if port:
            wait_port(port, self.proc)

    def say(self, line):
        os.write(self.control, (line + '\n').encode())

    def stop(self, farewell=None):
        """Ends the server: with the farewell line on its control input (waiting up to 15 s), else
        or then by SIGKILL."""
        try:
            if farewell:
                self.say(farewell)
                try:
                    self.proc.wait(15)
                    return
                except benchlib.RowError:
                    pass
            self.proc.kill()
            self.proc.wait(5)
        except benchlib.RowError:
            pass
        finally:
            os.close(self.control)


def wait_port(port, proc, timeout=15):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.proc.poll() is not None:
            raise benchlib.RowError('%s ended before it listened on %d' % (proc.proc.args, port))
        try:
            socket.create_connection(('127.0.0.1', port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.02)
    raise benchlib.RowError('nothing listens on port %d' % port)


def plugin_file(ctx):
    path = ctx.bin('ctrlport_plugin', 'ctrlport_plugin.so')
    if not os.path.exists(path):
        raise benchlib.RowError('%s is not built' % path)
    return path


def start_ours(ctx, pin='sut'):
    client = ctx.workdir('telnet-client')
    return Server(ctx, 'ours', [ctx.bin('testing', 'fakehost', 'vxm_fakeclient'), '--plugin', plugin_file(ctx),
                                '--quiet', client], ready_prefix='fakeclient: ready', pin=pin)


def loadgen(ctx, mode, options):
    argv = [ctx.bin('bench', 'telnet_loadgen'), mode]
    for key, value in options.items():
        argv += ['--' + key, str(value)]
    res = ctx.run(argv, pin='helper', timeout=300)
    values = {}
    for line in res.stdout.splitlines():
        key, _, value = line.partition(' ')
        values[key] = value
    return values


def cpu_seconds(pid):
    """User and system time of a process, all its threads, in seconds."""
    with open('/proc/%d/stat' % pid) as stat:
        fields = stat.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / float(os.sysconf('SC_CLK_TCK'))


def rotate(sides, rep):
    k = rep % len(sides)
    return sides[k:] + sides[:k]


# What each server of the request/response rows is asked, and the text that ends its answer.
RR_SIDES = {
    'ours': dict(port=PORT, request='whoami\\n', done='error id=', hello='selected schandlerid='),
    'redis': dict(port=REDIS_PORT, request='PING\\r\\n', done='+PONG'),
    'floor': dict(port=FLOOR_PORT, request='whoami\\n', done='error id='),
}


def rr(ctx):
    benchlib.which('redis-server')
    seconds = 0.5 if ctx.quick else 2.0
    warmup = 0.2 if ctx.quick else 0.5
    helper_threads = max(1, ctx.ncpus)
    sides = dict(RR_SIDES)
    servers = []
    try:
        servers.append(start_ours(ctx))
        servers.append(Server(ctx, 'redis', ['redis-server', '--save', '', '--appendonly', 'no', '--port',
                                             str(REDIS_PORT), '--bind', '127.0.0.1'], port=REDIS_PORT))
        servers.append(Server(ctx, 'floor', [ctx.bin('bench', 'telnet_loadgen'), 'floor', '--port', str(FLOOR_PORT)],
                              ready_prefix='ready'))
        cpu_notes = []
        for n in CONNECTIONS:
            got = {side: [] for side in sides}
            threads = min(n, helper_threads)
            for rep in range(ctx.reps):
                for side in rotate(list(sides), rep):
                    got[side].append(loadgen(ctx, 'rr', dict(sides[side], conns=n, seconds=seconds, warmup=warmup,
                                                             threads=threads)))

            def series(side, key):
                return [float(v[key]) for v in got[side]]

            label = '%d conn%s' % (n, '' if n == 1 else 's')
            yield benchlib.Figure('telnet-rr', 'requests/s, ' + label, '1/s', series('ours', 'rps'),
                                  series('redis', 'rps'), 'redis',
                                  benchlib.RatioAtLeast(2.0) if n == 50 else benchlib.Info())
            yield benchlib.Figure('telnet-rr', 'p50, ' + label, 'us', series('ours', 'p50_us'),
                                  series('redis', 'p50_us'), 'redis',
                                  benchlib.RatioAtMost(1.2) if n == 1 else benchlib.Info())
            yield benchlib.Figure('telnet-rr', 'p99, ' + label, 'us', series('ours', 'p99_us'),
                                  series('redis', 'p99_us'), 'redis',
                                  benchlib.RatioAtMost(1.5) if n in (50, 200) else benchlib.Info())
            yield benchlib.Figure('telnet-rr', 'requests/s, ' + label, '1/s', series('ours', 'rps'),
                                  series('floor', 'rps'), 'floor')
            if n == 1:
                yield benchlib.Figure('telnet-rr', 'p50, ' + label, 'us', series('ours', 'p50_us'),
                                      series('floor', 'p50_us'), 'floor')
            cpu = max(float(v['cpu_cores']) for side in got for v in got[side])
            cpu_notes.append('%d: %.2f of %d' % (n, cpu, threads))
        ctx.note('telnet-rr: the load generator used at most (connections: cores busy of its threads) ' +
                 ', '.join(cpu_notes))
    finally:
        for server in servers:
            server.stop('shutdown' if server is servers[0] else None)


def rr_2cores(ctx):
    benchlib.which('redis-server')
    if (os.cpu_count() or 1) < 3:
        raise benchlib.RowError('needs three cores: two for the servers, one for the load generator')
    cores = '0,1'
    helpers = '2-%d' % (os.cpu_count() - 1) if os.cpu_count() > 3 else '2'
    seconds = 0.5 if ctx.quick else 2.0
    warmup = 0.2 if ctx.quick else 0.5
    sides = {side: RR_SIDES[side] for side in ('ours', 'redis')}
    servers = {}
    try:
        servers['ours'] = start_ours(ctx, pin=cores)
        servers['redis'] = Server(ctx, 'redis', ['redis-server', '--save', '', '--appendonly', 'no', '--port',
                                                 str(REDIS_PORT), '--bind', '127.0.0.1'], port=REDIS_PORT, pin=cores)
        for n in (1, 50, 200):
            got = {side: [] for side in sides}
            cpu = {side: [] for side in sides}
            for rep in range(ctx.reps):
                for side in rotate(list(sides), rep):
                    pid = servers[side].proc.proc.pid
                    before = cpu_seconds(pid)
                    argv = [ctx.bin('bench', 'telnet_loadgen'), 'rr']
                    options = dict(sides[side], conns=n, seconds=seconds, warmup=warmup, threads=min(n, 2))
                    for key, value in options.items():
                        argv += ['--' + key, str(value)]
                    res = ctx.run(argv, pin=helpers, timeout=300)
                    spent = cpu_seconds(pid) - before
                    values = dict(line.partition(' ')[::2] for line in res.stdout.splitlines())
                    got[side].append(values)
                    answered = float(values['rps']) * (seconds + warmup)
                    cpu[side].append(spent / max(1.0, answered) * 1e6)

            def series(side, key):
                return [float(v[key]) for v in got[side]]

            label = '%d conn%s' % (n, '' if n == 1 else 's')
            goal = n in (50, 200)
            yield benchlib.Figure('telnet-rr-2cores', 'requests/s, ' + label, '1/s', series('ours', 'rps'),
                                  series('redis', 'rps'), 'redis',
                                  benchlib.RatioAtLeast(0.9) if goal else benchlib.Info())
            yield benchlib.Figure('telnet-rr-2cores', 'p99, ' + label, 'us', series('ours', 'p99_us'),
                                  series('redis', 'p99_us'), 'redis',
                                  benchlib.RatioAtMost(2.0) if goal else benchlib.Info())
            yield benchlib.Figure('telnet-rr-2cores', 'CPU per request, ' + label, 'us', cpu['ours'], cpu['redis'],
                                  'redis', benchlib.RatioAtMost(1.3))
        ctx.note('telnet-rr-2cores: both servers on cores %s in turn, the load generator on %s' % (cores, helpers))
    finally:
        for side, server in servers.items():
            server.stop('shutdown' if side == 'ours' else None)


def fanout(ctx):
    conns = 200
    warm = 300 if ctx.quick else 1000
    events = 5 if ctx.quick else 60
    ours = peer = None
    try:
        pin = ctx.one_cpu or 'sut'
        ours = start_ours(ctx, pin)
        peer = Server(ctx, 'sendloop', [ctx.bin('bench', 'telnet_loadgen'), 'sendloop', '--port', str(SENDLOOP_PORT)],
                      ready_prefix='ready', pin=pin)
        sides = {
            # The plug-in, its connections registered for the event, which the stand-in injects.
            'ours': (ours, {'port': PORT, 'control': ours.fifo, 'hello': 'selected schandlerid=',
                            'setup': 'clientnotifyregister schandlerid=1 event=%s\\n' % EVENT,
                            'setup-done': 'error id=', 'warm': 'event talkstatus 1 1 0 2',
                            'inject': 'time event talkstatus 1 1 0 2'}),
            'peer': (peer, {'port': SENDLOOP_PORT, 'control': peer.fifo, 'warm': 'send ' + EVENT_LINE,
                            'inject': 'time send ' + EVENT_LINE}),
        }
        results = {}
        cpu = 0.0
        for stalled in (0, 1):
            receipt = {'ours': [], 'peer': []}
            call = {'ours': [], 'peer': []}
            for rep in range(ctx.reps):
                # Both servers in one run, taking turns event by event; which one opens alternates.
                order = rotate(['ours', 'peer'], rep)
                options = {'conns': conns, 'stalled': stalled, 'warm-events': warm, 'events': events, 'event': EVENT}
                for prefix, side in zip(('a-', 'b-'), order):
                    options.update({prefix + key: value for key, value in sides[side][1].items()})
                values = loadgen(ctx, 'fanout', options)
                cpu = max(cpu, float(values['cpu_cores']))
                for prefix, side in zip(('a-', 'b-'), order):
                    # "time: <microseconds of the call> at <its start in ns>", one per event.
                    times = [t.split() for t in sides[side][0].out.expect('time:', events)]
                    receipts = [int(r) for r in values[prefix + 'receipts_ns'].split(',')]
                    receipt[side].append(statistics.median(
                        (r - int(t[3])) / 1000.0 for r, t in zip(receipts, times)))
                    call[side].append(statistics.median(float(t[1]) for t in times))
            results[stalled] = (receipt, call)
        plain, stall = results[0], results[1]
        yield benchlib.Figure('telnet-fanout', 'last receipt, %d conns' % conns, 'us', plain[0]['ours'],
                              plain[0]['peer'], 'send loop', benchlib.RatioAtMost(1.2))
        yield benchlib.Figure('telnet-fanout', 'last receipt, 1 of them stalled', 'us', stall[0]['ours'],
                              stall[0]['peer'], 'send loop', benchlib.RatioAtMost(1.2))
        yield benchlib.Figure('telnet-fanout', 'injecting call', 'us', plain[1]['ours'], plain[1]['peer'],
                              'send loop')
        yield benchlib.Figure('telnet-fanout', 'injecting call, 1 stalled', 'us', stall[1]['ours'],
                              plain[1]['ours'], 'ours, none stalled', benchlib.RatioAtMost(1.2))
        ctx.note('telnet-fanout: the load generator used at most %.2f of a core; each figure is the median of '
                 '%d events, the two servers taking turns on core %s, after %d to fill the stalled reader'
                 % (cpu, events, pin, warm))
    finally:
        if ours:
            ours.stop('shutdown')
        if peer:
            peer.stop()


ROWS = {'telnet-rr': rr, 'telnet-rr-2cores': rr_2cores, 'telnet-fanout': fanout}
