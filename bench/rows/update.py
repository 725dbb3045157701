"""update-full and update-noop: a whole unattended update from three nginx mirrors, beside what a
user would script instead.

The release (fixed seed): 2000 files of 1-20 KB in nested folders and five 40 MB files that the
description lists gzip-compressed (hex text, so they shrink to about half), made with
tools/make_release.py and served by three nginx (nginx_serve.py) on the helper cores.

update-full: an installation that holds none of the release's files (only `update`, mirrors.ini,
update.ini with streams=6 and the start script). Ours: `update --nouser` from its start to the start
script's marker, which includes the 2000 ms before the unattended start and the 1000 ms before the
client starts; "less timers" takes those 3000 ms off. The peer: curl fetches the description and its
signature, openssl verifies it, curl --parallel --parallel-max 6 fetches every file spread over the
three mirrors, md5sum -c checks the downloads, gunzip unpacks the five big files into place and cp
copies the others. The download phase of both sides is read from the mirrors' access logs in the same
way: from the start of the first request for a release file to the end of the last response (the
description and its signature are not counted).

Both sides write on a fresh ext4 loop image (with its journal, as a user's disk has): the build
tree's own file system may be one without a journal, where every file made soon after thousands
were deleted (as each repetition does) costs a scan of the recently deleted inodes, which would
dominate both sides.

update-noop: the installation already equals the release. Ours: `update --nouser` until it has
started the client with nothing downloaded, less the 3000 ms of its timers; the peer: md5sum -c over
the installed files.

update-wan: update-full with 10 ms of one-way delay between both sides and the mirrors, as a user's
network has: netem on loopback where the kernel has it (the bench runs in a network namespace of its
own), else bench/delay_relay.py in front of each mirror. Ours holds one transfer per mirror, so its
peer at equal parallelism is the pipeline with curl --parallel-max 3 (the goal); the pipeline with 6
is shown beside it.
"""
import contextlib
import glob
import gzip
import os
import random
import shutil
import subprocess
import time

import benchlib
from benchlib import AtMost, Figure, Info, RatioAtMost, RowError

VERSION = 4711
CLIENT_TYPE = 'client_linux_amd64'
TIMERS_S = 3.0            # 2000 ms before the unattended start + 1000 ms before the client starts
MIRRORS = 3
STREAMS = 6
DELAY_MS = 10


def sizes(ctx):
    if ctx.quick:
        return {'small': 200, 'big': 2, 'big_mb': 2}
    return {'small': 2000, 'big': 5, 'big_mb': 40}


# ---------------------------------------------------------------------------------------------------
# The data set: a release tree, the mirror folder made from it, and the lists of the peer.

def make_tree(root, n_small, n_big, big_mb):
    rnd = random.Random(1917)
    files = []
    for i in range(n_small):
        # 100 folders two or three levels deep, about 20 files each.
        folder = 'data/s%02d/t%d' % (i % 20, (i // 20) % 5)
        if i % 3 == 0:
            folder += '/u%d' % (i % 4)
        rel = '%s/f%04d.dat' % (folder, i)
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(rnd.randbytes(rnd.randint(1024, 20480)))
        files.append(rel)
    os.makedirs(os.path.join(root, 'big'), exist_ok=True)
    for i in range(n_big):
        rel = 'big/big%d.bin' % i
        with open(os.path.join(root, rel), 'wb') as f:
            for _ in range(big_mb):
                f.write(rnd.randbytes(512 * 1024).hex().encode())   # 1 MB of hex text
        files.append(rel)
    return files


def dataset(ctx):
    """Makes (once per size) the release tree, the mirror folder and the peer's lists."""
    s = sizes(ctx)
    d = ctx.workdir('update-data-%d-%d-%d' % (s['small'], s['big'], s['big_mb']), fresh=False)
    stamp = os.path.join(d, 'ready')
    if os.path.exists(stamp):
        return d
    for sub in ('tree', 'mirror'):
        shutil.rmtree(os.path.join(d, sub), ignore_errors=True)
    tree = os.path.join(d, 'tree')
    files = make_tree(tree, s['small'], s['big'], s['big_mb'])
    subprocess.run(['python3', ctx.src('tools', 'make_release.py'), '--tree', tree,
                    '--version', str(VERSION), '--out', os.path.join(d, 'mirror'), '--gzip', 'big/*',
                    '--key', ctx.src('testing', 'updateserver', 'keys', 'test_private.pem')],
                   check=True, stdout=subprocess.DEVNULL)
    # The public half of the test key in PEM, for openssl.
    subprocess.run(['openssl', 'rsa', '-in', ctx.src('testing', 'updateserver', 'keys', 'test_private.pem'),
                    '-pubout', '-out', os.path.join(d, 'test_public.pem')],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # What the peer needs to know of the description: the remote names and MD5 sums of the downloads
    # and the MD5 sums of the installed files.
    group = os.path.join(d, 'mirror', str(VERSION), 'client')
    downloads, installed = [], []
    for rel in files:
        remote = rel + '.gz' if rel.startswith('big/') else rel
        downloads.append((remote, md5(os.path.join(group, remote))))
        installed.append((rel, md5(os.path.join(tree, rel))))
    with open(os.path.join(d, 'downloads.md5'), 'w') as f:
        f.write(''.join('%s  %s\n' % (m, r) for r, m in downloads))
    with open(os.path.join(d, 'installed.md5'), 'w') as f:
        f.write(''.join('%s  %s\n' % (m, r) for r, m in installed))
    with open(os.path.join(d, 'remote.txt'), 'w') as f:
        f.write(''.join(r + '\n' for r, _ in downloads))
    open(stamp, 'w').close()
    return d


def md5(path):
    import hashlib
    h = hashlib.md5()
    with open(path, 'rb') as f:
        for block in iter(lambda: f.read(1 << 20), b''):
            h.update(block)
    return h.hexdigest()


# ---------------------------------------------------------------------------------------------------
# The file system the two sides write on

class Disk:
    """A fresh ext4 image mounted through a loop device below the work folder."""

    def __init__(self, ctx, name, size_mb):
        benchlib.which('mkfs.ext4')
        self.ctx = ctx
        base = ctx.workdir(name)
        self.image = os.path.join(base, 'fs.img')
        self.mount = os.path.join(base, 'mnt')
        os.makedirs(self.mount)
        with open(self.image, 'wb') as f:
            f.truncate(size_mb << 20)
        ctx.run(['mkfs.ext4', '-q', '-F', '-E', 'lazy_itable_init=0,lazy_journal_init=0', self.image], pin=None)
        ctx.run(['mount', '-o', 'loop', self.image, self.mount], pin=None)

    def path(self, *parts):
        return os.path.join(self.mount, *parts)

    def close(self):
        try:
            self.ctx.run(['umount', self.mount], pin=None)
        finally:
            os.remove(self.image)


# ---------------------------------------------------------------------------------------------------
# Mirrors

class Mirrors:
    def __init__(self, ctx, root):
        self.ctx = ctx
        self.procs, self.ports, self.logs = [], [], []
        base = ctx.workdir('update-mirrors')
        try:
            for i in range(MIRRORS):
                tmp = os.path.join(base, 'm%d' % i)
                os.makedirs(tmp)
                p = ctx.spawn(['python3', ctx.src('testing', 'updateserver', 'nginx_serve.py'), root],
                              pin='helper', env={'TMPDIR': tmp}, stdin=subprocess.PIPE)
                self.procs.append(p)
                line = p.proc.stdout.readline().decode()
                if not line.startswith('PORT '):
                    raise RowError('nginx mirror %d did not come up: %s' % (i, line))
                self.ports.append(int(line.split()[1]))
                logs = glob.glob(os.path.join(tmp, 'nginx.*', 'access.log'))
                if len(logs) != 1:
                    raise RowError('no access log of mirror %d' % i)
                self.logs.append(logs[0])
        except Exception:
            self.stop()
            raise

    def urls(self):
        return ['http://127.0.0.1:%d' % p for p in self.ports]

    def clear_logs(self):
        for log in self.logs:
            open(log, 'w').close()

    def span(self, prefix):
        """Seconds from the start of the first logged request whose path starts with prefix to the
        end of the last one, and the number of such requests, over all mirrors."""
        first, last, n = None, None, 0
        for log in self.logs:
            with open(log) as f:
                for line in f:
                    fields = line.split()
                    if len(fields) < 9 or not fields[6].startswith(prefix):
                        continue
                    end, took = float(fields[-2]), float(fields[-1])
                    first = end - took if first is None else min(first, end - took)
                    last = end if last is None else max(last, end)
                    n += 1
        return (last - first if n else 0.0), n

    def stop(self):
        for p in self.procs:
            try:
                p.proc.stdin.close()
            except OSError:
                pass
        for p in self.procs:
            try:
                p.wait(timeout=20)
            except RowError:
                pass
        self.procs = []


# ---------------------------------------------------------------------------------------------------
# The two sides

def write_installation(ctx, folder, mirror_urls, with_release_of=None):
    if os.path.exists(folder):
        shutil.rmtree(folder)
    if with_release_of:
        shutil.copytree(with_release_of, folder)
    else:
        os.makedirs(folder)
    shutil.copy2(ctx.bin('updater', 'program', 'update'), os.path.join(folder, 'update'))
    with open(os.path.join(folder, 'mirrors.ini'), 'w') as f:
        f.write('[mirrors]\nsize=%d\n' % len(mirror_urls))
        f.write(''.join('%d\\mirror=mirror%d\n' % (i + 1, i + 1) for i in range(len(mirror_urls))))
        f.write(''.join('[mirror%d]\nurl=%s\n' % (i + 1, u) for i, u in enumerate(mirror_urls)))
    with open(os.path.join(folder, 'update.ini'), 'w') as f:
        f.write('[update]\nstreams=%d\n' % STREAMS)
    script = os.path.join(folder, 'vxmclient_runscript.sh')
    with open(script, 'w') as f:
        f.write('#!/bin/sh\necho started > "$(dirname "$0")/client-started"\n')
    os.chmod(script, 0o755)


def run_update(ctx, work, install):
    """Runs `update --nouser` in install; returns (seconds to the marker, peak RSS in MB)."""
    env = {}
    for name in ('home', 'tmp', 'run'):
        path = os.path.join(work, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path, mode=0o700)
    env = {'HOME': os.path.join(work, 'home'), 'TMPDIR': os.path.join(work, 'tmp'),
           'XDG_RUNTIME_DIR': os.path.join(work, 'run'), 'QT_QPA_PLATFORM': 'offscreen',
           'VXM_UPDATE_NO_DIALOGS': '1'}
    marker = os.path.join(install, 'client-started')
    p = ctx.spawn([os.path.join(install, 'update'), '--nouser', CLIENT_TYPE, str(VERSION), '#', ''],
                  env=env, cwd=work, rss=True)
    deadline = p.start + 600
    while not os.path.exists(marker):
        # The start script runs detached: its marker may come just after update has ended.
        if os.waitid(os.P_PID, p.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT):
            deadline = min(deadline, time.monotonic() + 10)
        if time.monotonic() > deadline:
            p.kill()
            res = p.wait(timeout=60)
            raise RowError('update did not start the client (exit %s): %s' % (res.rc, res.stderr[-2000:]))
        time.sleep(0.002)
    took = time.monotonic() - p.start
    res = p.wait(timeout=60)
    if res.rc != 0:
        raise RowError('update exited with %d: %s' % (res.rc, res.stderr[-2000:]))
    return took, res.maxrss_mb


def peer_script(ctx, data, work, urls, parallel=STREAMS):
    """The pipeline a user would write: curl, openssl, md5sum -c, gunzip, cp."""
    remote = [l.strip() for l in open(os.path.join(data, 'remote.txt')) if l.strip()]
    base = '/%d/client/' % VERSION
    with open(os.path.join(work, 'description.cfg'), 'w') as f:
        for name in (CLIENT_TYPE + '.ini', CLIENT_TYPE + '.ini.sig'):
            f.write('url = "%s/%d/%s"\noutput = "tmp/%s"\n' % (urls[0], VERSION, name, name))
    with open(os.path.join(work, 'files.cfg'), 'w') as f:
        for i, r in enumerate(remote):
            f.write('url = "%s%s%s"\noutput = "tmp/%s"\n' % (urls[i % len(urls)], base, r, r))
    bigs = [r[:-3] for r in remote if r.endswith('.gz')]
    script = os.path.join(work, 'pipeline.sh')
    with open(script, 'w') as f:
        f.write('set -e\ncd "%s"\nmkdir -p tmp install/big\n' % work)
        f.write('curl -sS --fail --parallel --parallel-max %d -K description.cfg\n' % parallel)
        f.write('openssl dgst -sha1 -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:8 -verify "%s" '
                '-signature tmp/%s.ini.sig tmp/%s.ini >/dev/null\n' %
                (os.path.join(data, 'test_public.pem'), CLIENT_TYPE, CLIENT_TYPE))
        f.write('curl -sS --fail --parallel --parallel-max %d --create-dirs -K files.cfg\n' % parallel)
        f.write('(cd tmp && md5sum -c --quiet "%s")\n' % os.path.join(data, 'downloads.md5'))
        for b in bigs:
            f.write('gunzip -c tmp/%s.gz > install/%s\n' % (b, b))
        f.write('cp -r tmp/data install/\n')
    return script


# ---------------------------------------------------------------------------------------------------
# Rows

PREFIX = '/%d/client/' % VERSION


@contextlib.contextmanager
def mirrored_disk(ctx, name, megabytes):
    """The data set, a fresh ext4 image of that size mounted for the row's files, and the mirrors."""
    data = dataset(ctx)
    disk = Disk(ctx, name, megabytes)
    try:
        mirrors = Mirrors(ctx, os.path.join(data, 'mirror'))
        try:
            yield data, disk.mount, mirrors
        finally:
            mirrors.stop()
    finally:
        disk.close()


def release_file_count(data):
    return len(open(os.path.join(data, 'remote.txt')).read().split())


def ours_full_update(ctx, data, work, urls, mirrors):
    """`update --nouser` into an empty installation below work, checked against the release;
    returns (seconds to the client's start, download span, peak RSS in MB)."""
    install = os.path.join(work, 'client')
    write_installation(ctx, install, urls)
    mirrors.clear_logs()
    took, rss = run_update(ctx, work, install)
    span, n = mirrors.span(PREFIX)
    expected = release_file_count(data)
    if n != expected:
        raise RowError('update made %d file requests, not %d' % (n, expected))
    check = ctx.run(['md5sum', '-c', '--quiet', os.path.join(data, 'installed.md5')], cwd=install,
                    pin=None, check=False)
    if check.rc != 0:
        raise RowError('the installation differs from the release:\n' + check.stdout[-1000:])
    return took, span, rss


def peer_pipeline(ctx, data, script, mirrors):
    """Runs a pipeline of peer_script afresh; returns (seconds, download span, peak RSS in MB)."""
    for sub in ('tmp', 'install'):
        shutil.rmtree(os.path.join(os.path.dirname(script), sub), ignore_errors=True)
    mirrors.clear_logs()
    res = ctx.run(['sh', script])
    span, n = mirrors.span(PREFIX)
    expected = release_file_count(data)
    if n != expected:
        raise RowError('curl made %d file requests, not %d' % (n, expected))
    return res.wall, span, res.maxrss_mb


def update_full(ctx):
    benchlib.which('curl')
    benchlib.which('nginx')
    with mirrored_disk(ctx, 'update-full', 512 if ctx.quick else 2048) as (data, work, mirrors):
        ours_dir = os.path.join(work, 'ours')
        os.makedirs(ours_dir)
        peer_dir = os.path.join(work, 'peer')
        os.makedirs(peer_dir)
        script = peer_script(ctx, data, peer_dir, mirrors.urls())
        a, b = ctx.interleave(lambda: ours_full_update(ctx, data, ours_dir, mirrors.urls(), mirrors),
                              lambda: peer_pipeline(ctx, data, script, mirrors))
    label = 'pipeline'
    note = '%d files, %d mirrors, streams %d' % (release_file_count(data), MIRRORS, STREAMS)
    return [
        Figure('update-full', 'total', 's', [x[0] for x in a], [x[0] for x in b], label, Info('timers included'),
               note),
        Figure('update-full', 'total less timers', 's', [x[0] - TIMERS_S for x in a], [x[0] for x in b], label,
               RatioAtMost(1.25)),
        Figure('update-full', 'download phase', 's', [x[1] for x in a], [x[1] for x in b], 'curl',
               RatioAtMost(1.5)),
        Figure('update-full', 'peak RSS', 'MB', [x[2] for x in a], [x[2] for x in b], label, AtMost(100, 'MB')),
    ]


@contextlib.contextmanager
def delayed(ctx, mirrors):
    """The mirrors' addresses behind DELAY_MS of one-way delay; yields (urls, how it is made)."""
    netem = ['tc', 'qdisc', 'add', 'dev', 'lo', 'root', 'netem', 'delay', '%dms' % DELAY_MS]
    if ctx.run(netem, pin=None, check=False).rc == 0:
        try:
            yield mirrors.urls(), 'netem'
        finally:
            ctx.run(['tc', 'qdisc', 'del', 'dev', 'lo', 'root'], pin=None, check=False)
        return
    relay = ctx.spawn(['python3', ctx.src('bench', 'delay_relay.py'), str(DELAY_MS)] +
                      [str(p) for p in mirrors.ports], pin='helper', stdin=subprocess.PIPE)
    try:
        ports = {}
        for line in iter(relay.proc.stdout.readline, b''):
            fields = line.decode().split()
            if fields[:1] == ['READY']:
                break
            ports[int(fields[1])] = int(fields[2])
        if len(ports) != len(mirrors.ports):
            raise RowError('the delay relay did not come up')
        yield ['http://127.0.0.1:%d' % ports[p] for p in mirrors.ports], 'relay'
    finally:
        relay.proc.stdin.close()
        relay.wait(timeout=20)


def update_wan(ctx):
    benchlib.which('curl')
    benchlib.which('nginx')
    with mirrored_disk(ctx, 'update-wan', 512 if ctx.quick else 2048) as (data, work, mirrors), \
            delayed(ctx, mirrors) as (urls, how):
        ours_dir = os.path.join(work, 'ours')
        os.makedirs(ours_dir)
        scripts = []
        for parallel in (MIRRORS, STREAMS):
            peer_dir = os.path.join(work, 'peer%d' % parallel)
            os.makedirs(peer_dir)
            scripts.append(peer_script(ctx, data, peer_dir, urls, parallel))
        a, b = ctx.interleave(lambda: ours_full_update(ctx, data, ours_dir, urls, mirrors),
                              lambda: [peer_pipeline(ctx, data, script, mirrors) for script in scripts])
    note = '%d files, %d ms one-way delay (%s)' % (release_file_count(data), DELAY_MS, how)
    ctx.note('update-wan: ' + note)
    ours = [x[1] for x in a]
    return [
        Figure('update-wan', 'download phase', 's', ours, [x[0][1] for x in b], 'curl -p%d' % MIRRORS,
               RatioAtMost(1.0), note),
        Figure('update-wan', 'download phase', 's', ours, [x[1][1] for x in b], 'curl -p%d' % STREAMS,
               Info('no goal')),
        Figure('update-wan', 'total less timers', 's', [x[0] - TIMERS_S for x in a], [x[0][0] for x in b],
               'pipeline -p%d' % MIRRORS, Info()),
    ]


def update_noop(ctx):
    benchlib.which('nginx')
    with mirrored_disk(ctx, 'update-noop', 512 if ctx.quick else 1024) as (data, work, mirrors):
        install = os.path.join(work, 'client')
        write_installation(ctx, install, mirrors.urls(), with_release_of=os.path.join(data, 'tree'))
        listing = os.path.join(data, 'installed.md5')

        def ours():
            marker = os.path.join(install, 'client-started')
            if os.path.exists(marker):
                os.remove(marker)
            mirrors.clear_logs()
            took, _ = run_update(ctx, work, install)
            _, n = mirrors.span(PREFIX)
            if n:
                raise RowError('update downloaded %d files from an installation that is up to date' % n)
            return took - TIMERS_S

        def peer():
            return ctx.run(['md5sum', '-c', '--quiet', listing], cwd=install).wall

        a, b = ctx.interleave(ours, peer)
    return [Figure('update-noop', 'total less timers', 's', a, b, 'md5sum -c', RatioAtMost(1.2))]


ROWS = {'update-full': update_full, 'update-noop': update_noop, 'update-wan': update_wan}
