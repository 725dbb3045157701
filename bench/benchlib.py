"""Shared parts of bench/run: timing a command, running ours and the peer interleaved, the figures
and their goals, the table and the raw TSV.

A row is a function `row(ctx)` in a module of bench/rows/ that returns a list of `Figure`s (or
yields them). It measures with `ctx.run()` / `ctx.spawn()` and pairs ours with the peer through
`ctx.interleave()`, so that both sides see the same machine at the same time.
"""
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time


GNU_TIME = '/usr/bin/time'


class RowError(Exception):
    """A row could not run (a missing tool, a program that failed, a data set that could not be made)."""


# ---------------------------------------------------------------------------------------------------
# Goals. A goal judges one figure; `text` is what the table shows.

class Goal:
    text = ''

    def met(self, fig):
        return None


class RatioAtMost(Goal):
    """ours / peer <= limit (times, memory: lower is better)."""

    def __init__(self, limit):
        self.limit = limit
        self.text = '<= %gx' % limit

    def met(self, fig):
        r = fig.ratio()
        return None if r is None else r <= self.limit


class RatioAtLeast(Goal):
    """ours / peer >= limit (throughputs: higher is better)."""

    def __init__(self, limit):
        self.limit = limit
        self.text = '>= %gx' % limit

    def met(self, fig):
        r = fig.ratio()
        return None if r is None else r >= self.limit


class AtMost(Goal):
    """ours (median) <= an absolute limit in the figure's unit."""

    def __init__(self, limit, unit=''):
        self.limit = limit
        self.text = '<= %g%s' % (limit, (' ' + unit) if unit else '')

    def met(self, fig):
        return None if not fig.ours else statistics.median(fig.ours) <= self.limit


class Info(Goal):
    def __init__(self, text=''):
        self.text = text


# ---------------------------------------------------------------------------------------------------

class Figure:
    """One line of the table: samples of ours and, where there is one, of the peer."""

    def __init__(self, row, metric, unit, ours, peer=None, peer_name='', goal=None, note=''):
        self.row = row
        self.metric = metric
        self.unit = unit
        self.ours = list(ours)
        self.peer = list(peer) if peer is not None else None
        self.peer_name = peer_name
        self.goal = goal or Info()
        self.note = note

    def ratio(self):
        if not self.ours or not self.peer:
            return None
        p = statistics.median(self.peer)
        if p == 0:
            return None
        return statistics.median(self.ours) / p

    def met(self):
        return self.goal.met(self)


def _num(v):
    if isinstance(v, int):
        return str(v)
    if v == 0:
        return '0'
    a = abs(v)
    if a >= 1000:
        return '%.0f' % v
    if a >= 100:
        return '%.1f' % v
    if a >= 10:
        return '%.2f' % v
    if a >= 0.01:
        return '%.3f' % v
    return '%.3g' % v


def summary(samples):
    if not samples:
        return '-'
    med = _num(statistics.median(samples))
    if len(samples) == 1:
        return med
    return '%s [%s-%s]' % (med, _num(min(samples)), _num(max(samples)))


# ---------------------------------------------------------------------------------------------------

class Result:
    """What one finished process cost."""

    def __init__(self, wall, rc, rusage, stdout, stderr):
        self.wall = wall                      # seconds
        self.rc = rc
        self.user = rusage.ru_utime if rusage else 0.0
        self.sys = rusage.ru_stime if rusage else 0.0
        self.cpu = self.user + self.sys       # seconds of CPU, the process and its waited children
        self.maxrss_mb = (rusage.ru_maxrss / 1024.0) if rusage else 0.0   # largest single process
        self.stdout = stdout
        self.stderr = stderr


class Spawned:
    """A process started by ctx.spawn(); wait() gives its Result (wall time from spawn)."""

    def __init__(self, proc, start, capture, rss_file=None):
        self.proc = proc
        self.start = start
        self.capture = capture
        self.rss_file = rss_file

    @property
    def pid(self):
        return self.proc.pid

    def wait(self, timeout=None):
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            pid, status, rusage = os.wait4(self.proc.pid, os.WNOHANG if deadline else 0)
            if pid:
                break
            if time.monotonic() > deadline:
                self.kill()
                pid, status, rusage = os.wait4(self.proc.pid, 0)
                raise RowError('%s: no end within %s s' % (self.proc.args, timeout))
            time.sleep(0.005)
        wall = time.monotonic() - self.start
        self.proc.returncode = os.waitstatus_to_exitcode(status)
        out = err = ''
        if self.capture:
            out = self.proc.stdout.read().decode(errors='replace') if self.proc.stdout else ''
            err = self.proc.stderr.read().decode(errors='replace') if self.proc.stderr else ''
        res = Result(wall, self.proc.returncode, rusage, out, err)
        if self.rss_file:
            # GNU time's figure of the program alone (see Context._argv).
            try:
                with open(self.rss_file) as f:
                    res.maxrss_mb = int(f.read().split()[-1]) / 1024.0
                os.unlink(self.rss_file)
            except (OSError, ValueError, IndexError):
                pass
        return res

    def kill(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


class Context:
    def __init__(self, root, build, quick, reps, verbose):
        self.root = root                      # the source tree
        self.build = build                    # the Release build folder of the benchmarks
        self.quick = quick
        self.reps = reps
        self.verbose = verbose
        self.work = os.path.join(build, 'bench-work')
        n = os.cpu_count() or 1
        # The programs measured (ours and the peer alike) run on the lower half of the cores; load
        # generators, mirrors and other helpers on the upper half.
        if n >= 2:
            half = n // 2
            self.cpus = '0-%d' % (half - 1) if half > 1 else '0'
            self.helper_cpus = '%d-%d' % (half, n - 1) if n - half > 1 else str(half)
            self.ncpus = half
            # One core of the measured half, for rows whose figure should not depend on where the
            # scheduler puts a single busy thread.
            self.one_cpu = str(half - 1)
        else:
            self.cpus = self.helper_cpus = self.one_cpu = None
            self.ncpus = 1
        self.notes = []
        self._rss_no = 0

    # -- paths
    def bin(self, *parts):
        return os.path.join(self.build, *parts)

    def src(self, *parts):
        return os.path.join(self.root, *parts)

    def workdir(self, name, fresh=True):
        d = os.path.join(self.work, name)
        if fresh and os.path.exists(d):
            shutil.rmtree(d)
        os.makedirs(d, exist_ok=True)
        return d

    def log(self, text):
        if self.verbose:
            print('   ' + text, file=sys.stderr, flush=True)

    def note(self, text):
        """A line printed under the table (the harness's own CPU share, a skipped size...)."""
        self.notes.append(text)

    # -- processes
    def _argv(self, cmd, pin, rss):
        """The command as run: pinned, and with rss under GNU time, whose peak RSS is the program's
        own; a process forked by this script starts with the script's resident size, which the
        kernel's figure for it would include. Returns (argv, file GNU time writes to or None)."""
        if isinstance(cmd, str):
            cmd = ['sh', '-c', cmd]
        cpus = {'sut': self.cpus, 'helper': self.helper_cpus}.get(pin, pin) if pin else None
        if cpus:
            cmd = ['taskset', '-c', cpus] + list(cmd)
        rss_file = None
        if rss and os.path.exists(GNU_TIME):
            self._rss_no += 1
            os.makedirs(self.work, exist_ok=True)
            rss_file = os.path.join(self.work, '.rss.%d' % self._rss_no)
            cmd = [GNU_TIME, '-q', '-f', '%M', '-o', rss_file] + list(cmd)
        return cmd, rss_file

    def spawn(self, cmd, pin='sut', env=None, cwd=None, capture=True, stdin=subprocess.DEVNULL, rss=False):
        """Starts cmd (a list, or a shell text) in a process group of its own. With rss, the
        Result's peak RSS is the program's own, but .pid is then GNU time's, not the program's."""
        full_env = dict(os.environ)
        if env:
            full_env.update(env)
        argv, rss_file = self._argv(cmd, pin, rss)
        self.log('$ ' + ' '.join(argv))
        start = time.monotonic()
        proc = subprocess.Popen(argv, env=full_env, cwd=cwd, stdin=stdin,
                                stdout=subprocess.PIPE if capture else subprocess.DEVNULL,
                                stderr=subprocess.PIPE if capture else subprocess.DEVNULL,
                                start_new_session=True)
        return Spawned(proc, start, capture, rss_file)

    def run(self, cmd, pin='sut', env=None, cwd=None, timeout=600, check=True):
        """Runs cmd to its end; returns its Result (wall time, CPU, peak RSS of its largest process).
        Output is kept in temporary files so that a chatty program never blocks on a full pipe."""
        full_env = dict(os.environ)
        if env:
            full_env.update(env)
        argv, rss_file = self._argv(cmd, pin, True)
        self.log('$ ' + ' '.join(argv))
        os.makedirs(self.work, exist_ok=True)
        with open(os.path.join(self.work, '.out'), 'w+b') as out, \
                open(os.path.join(self.work, '.err'), 'w+b') as err:
            start = time.monotonic()
            proc = subprocess.Popen(argv, env=full_env, cwd=cwd, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=err, start_new_session=True)
            sp = Spawned(proc, start, False, rss_file)
            res = sp.wait(timeout)
            out.seek(0)
            err.seek(0)
            res.stdout = out.read().decode(errors='replace')
            res.stderr = err.read().decode(errors='replace')
        if check and res.rc != 0:
            raise RowError('%s exited with %s:\n%s%s' % (' '.join(argv), res.rc, res.stdout[-2000:],
                                                       res.stderr[-2000:]))
        return res

    # -- pairing
    def interleave(self, ours, peer, reps=None):
        """Calls ours() and peer() reps times, alternating which goes first; returns the two lists
        of what they returned."""
        reps = reps or self.reps
        a, b = [], []
        for i in range(reps):
            if i % 2 == 0:
                a.append(ours())
                b.append(peer())
            else:
                b.append(peer())
                a.append(ours())
        return a, b

    def repeat(self, fn, reps=None):
        return [fn() for _ in range(reps or self.reps)]


def drop_caches():
    """Writes back dirty pages and empties the page cache (root only), so that a run on a disk
    starts cold for both sides."""
    os.sync()
    try:
        with open('/proc/sys/vm/drop_caches', 'w') as f:
            f.write('3\n')
    except OSError:
        pass


def which(tool):
    path = shutil.which(tool)
    if not path:
        raise RowError('%s is not installed' % tool)
    return path


# ---------------------------------------------------------------------------------------------------

def print_table(figures, out=sys.stdout):
    head = ['row', 'metric', 'ours', 'peer', 'ratio', 'goal', 'met']
    lines = []
    for f in figures:
        r = f.ratio()
        m = f.met()
        lines.append([f.row, '%s (%s)' % (f.metric, f.unit) if f.unit else f.metric,
                      summary(f.ours),
                      ('%s: %s' % (f.peer_name, summary(f.peer))) if f.peer is not None else '-',
                      ('%.2fx' % r) if r is not None else '-',
                      f.goal.text or '-',
                      '-' if m is None else ('yes' if m else 'NO')])
    widths = [max(len(str(x[i])) for x in lines + [head]) for i in range(len(head))]
    fmt = '  '.join('%%-%ds' % w for w in widths)
    print(fmt % tuple(head), file=out)
    print(fmt % tuple('-' * w for w in widths), file=out)
    for line in lines:
        print(fmt % tuple(line), file=out)


def write_tsv(figures, path):
    with open(path, 'w') as f:
        f.write('row\tmetric\tunit\tside\tname\trep\tvalue\tgoal\n')
        for fig in figures:
            for i, v in enumerate(fig.ours):
                f.write('%s\t%s\t%s\tours\tours\t%d\t%r\t%s\n' % (fig.row, fig.metric, fig.unit, i, v,
                                                                fig.goal.text))
            for i, v in enumerate(fig.peer or []):
                f.write('%s\t%s\t%s\tpeer\t%s\t%d\t%r\t%s\n' % (fig.row, fig.metric, fig.unit,
                                                              fig.peer_name, i, v, fig.goal.text))
