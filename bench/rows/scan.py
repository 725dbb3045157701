"""Row `scan`: the application scanner's process scan beside `ps` and `pgrep`, and its CPU share.

With N extra idle processes of the user (bench_process_farm; 2000, --quick 200):
- ours: one `findRunningApps` against the shipped apps.ini (runwatcher_scan_bench, the scan alone,
  median of 3 scans after an untimed one, in a process that stays up as the plug-in does); the peers:
  a whole run of `ps -e -o comm=` and of `pgrep -c .`. Goal <= 0.5x.
- CPU share: the plug-in loaded in vxm_fakeclient with broadcasting on, scanning every 3000 ms; the
  process's CPU time (every thread's /proc/PID/task/TID/schedstat, nanoseconds) over each 3000 ms window, as a share of one
  core. Goal < 1 %.
"""
import os
import statistics
import subprocess
import time

import benchlib

PROCESSES = 2000
QUICK_PROCESSES = 200
WINDOW_S = 3.0


class ProcessFarm:
    """N idle processes that live exactly as long as the `with` block."""

    def __init__(self, ctx, count):
        self.ctx = ctx
        self.count = count
        self.sp = None

    def __enter__(self):
        self.sp = self.ctx.spawn([self.ctx.bin('bench', 'bench_process_farm'), str(self.count)], pin='helper',
                                 stdin=subprocess.PIPE)
        line = self.sp.proc.stdout.readline().decode().split()
        if line != ['ready', str(self.count)]:
            self._stop()
            raise benchlib.RowError('bench_process_farm did not start %d processes: %s%s' % (
                self.count, ' '.join(line), self.sp.proc.stderr.read().decode(errors='replace')))
        return self

    def _stop(self):
        # Closing its input makes the farm kill and reap its children; the process group is killed
        # as well, should the farm not end by itself.
        try:
            self.sp.proc.stdin.close()
            self.sp.wait(timeout=60)
        except Exception:
            pass
        finally:
            self.sp.kill()

    def __exit__(self, *exc):
        self._stop()
        return False


def user_processes():
    uid = os.getuid()
    n = 0
    for name in os.listdir('/proc'):
        if name.isdigit():
            try:
                n += os.stat('/proc/' + name).st_uid == uid
            except OSError:
                pass
    return n


def cpu_ns(pid):
    """CPU time of every thread of the process so far (the scanner has a thread of its own)."""
    total = 0
    for tid in os.listdir('/proc/%d/task' % pid):
        try:
            with open('/proc/%d/task/%s/schedstat' % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total


def scan_times(ctx):
    catalogue_folder = ctx.src()
    driver = ctx.bin('bench', 'runwatcher_scan_bench')

    def ours():
        res = ctx.run([driver, catalogue_folder, '3'])
        times = [float(line.split()[1]) for line in res.stdout.splitlines() if line.startswith('scan ')]
        if not times:
            raise benchlib.RowError('runwatcher_scan_bench printed no scan: %s' % res.stdout)
        return statistics.median(times) / 1000.0

    ps, pgrep = benchlib.which('ps'), benchlib.which('pgrep')
    flip = [False]

    def peers():
        # Both peers, in turns first, so that neither always runs on a warmer table.
        flip[0] = not flip[0]
        order = [('ps', [ps, '-e', '-o', 'comm=']), ('pgrep', [pgrep, '-c', '.'])]
        if not flip[0]:
            order.reverse()
        return {name: ctx.run(cmd).wall for name, cmd in order}

    a, b = ctx.interleave(ours, peers)
    yield benchlib.Figure('scan', 'findRunningApps vs ps', 's', a, [x['ps'] for x in b], 'ps -e -o comm=',
                          benchlib.RatioAtMost(0.5))
    yield benchlib.Figure('scan', 'findRunningApps vs pgrep', 's', a, [x['pgrep'] for x in b], 'pgrep -c .',
                          benchlib.RatioAtMost(0.5))


def cpu_share(ctx, windows):
    client = ctx.workdir('scan-client')
    plugins = os.path.join(client, 'plugins', 'runwatcher_plugin')
    config = os.path.join(client, 'config')
    os.makedirs(plugins)
    os.makedirs(config)
    with open(ctx.src('runwatcher_plugin', 'apps.ini'), 'rb') as src, \
            open(os.path.join(plugins, 'apps.ini'), 'wb') as dst:
        dst.write(src.read())
    with open(os.path.join(config, 'runwatcher.ini'), 'w') as f:
        f.write('[Runwatcher]\nEnabled=true\n')

    sp = ctx.spawn([ctx.bin('testing', 'fakehost', 'vxm_fakeclient'), '--plugin',
                    ctx.bin('runwatcher_plugin', 'runwatcher_plugin.so'), client],
                   env={'QT_QPA_PLATFORM': 'offscreen'}, stdin=subprocess.PIPE)
    samples = []
    try:
        while True:
            line = sp.proc.stdout.readline().decode()
            if not line:
                raise benchlib.RowError('vxm_fakeclient ended before it was ready: %s' %
                                        sp.proc.stderr.read().decode(errors='replace'))
            if line.startswith('fakeclient: ready'):
                break
        # The first window starts after loading, so that only the scanning is measured.
        time.sleep(WINDOW_S / 2)
        last, t_last = cpu_ns(sp.pid), time.monotonic()
        for _ in range(windows):
            time.sleep(WINDOW_S)
            now, t_now = cpu_ns(sp.pid), time.monotonic()
            samples.append(100.0 * (now - last) / 1e9 / (t_now - t_last))
            last, t_last = now, t_now
        sp.proc.stdin.write(b'shutdown\n')
        sp.proc.stdin.close()
        res = sp.wait(timeout=60)
        if res.rc != 0:
            raise benchlib.RowError('vxm_fakeclient ended with %s: %s' % (res.rc, res.stderr[-2000:]))
    finally:
        sp.kill()
    yield benchlib.Figure('scan', 'CPU share at 3000 ms', '% core', samples, goal=benchlib.AtMost(1, '%'),
                          note='the plug-in in vxm_fakeclient, per 3000 ms window')


def scan(ctx):
    count = QUICK_PROCESSES if ctx.quick else PROCESSES
    with ProcessFarm(ctx, count):
        ctx.note('scan: %d extra idle processes, %d processes of the user in /proc' % (count, user_processes()))
        figures = list(scan_times(ctx))
        figures += list(cpu_share(ctx, 3 if ctx.quick else 10))
    return figures


ROWS = {'scan': scan}
