"""Rows `addon` and `addon-big`: `addon_setup -silent` beside `unzip -q` + `cp -r`.

addon: packages made by `zip -r` of N files of 1-19 KiB (mean 10 KiB) under styles/, sound/ and gfx/,
N = 5000 and 20 000 (--quick: 200 and 800), installed on a tmpfs of its own and on a fresh ext4 image
mounted through a loop device. Both sides work on the same file system: the package lies on it, the
installer's temporary folder (TMPDIR) and the client folder are on it, and so are the peer's unzip
folder and target. Every repetition starts with fresh folders; on ext4 the file system is mounted
again before each run, so that both sides read the package cold and start with nothing dirty, and the
peer ends with `sync -f` (the installer makes its files durable itself) before it removes its unzip
folder as the installer removes its extraction folder.

addon-big: one entry of 200 MiB (--quick: 8 MiB) on the tmpfs; time and the installer's peak RSS.
"""
import os
import random
import shutil
import subprocess

import benchlib

SEED = 20260417
# Bump when the generated data changes, so that a cached data set is made again.
DATA_VERSION = 1
TOPS = ('styles', 'sound', 'gfx')
EXTS = {'styles': 'qss', 'sound': 'wav', 'gfx': 'png'}
FILES_PER_FOLDER = 50


def _text_block(rng):
    words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 9)))
             for _ in range(400)]
    return (' '.join(rng.choice(words) for _ in range(20000))).encode()


def _content(rng, block, size):
    """Half random bytes, half text: about as compressible as a typical add-on."""
    noise = size // 2
    data = rng.randbytes(noise)
    rest = size - noise
    start = rng.randrange(0, len(block) - rest) if rest < len(block) else 0
    text = block[start:start + rest]
    while len(text) < rest:
        text += block[:rest - len(text)]
    return data + text


def _write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)


def _package_ini(root, name):
    _write(os.path.join(root, 'package.ini'),
           ('name=%s\ntype=Sound Pack\nauthor=bench\nversion=1.0\nplatforms=linux_amd64\n' % name).encode())


def _package(ctx, kind, number, fill):
    """The package `kind`-`number`, made once (same seed, same bytes) and cached under the build tree:
    package.ini, and whatever fill(src, rng, block) writes below src; zipped with `zip -r`."""
    folder = ctx.workdir('addon-data/%s-%d-v%d' % (kind, number, DATA_VERSION), fresh=False)
    archive = os.path.join(folder, 'Addon.zip')
    if os.path.exists(archive):
        return archive
    benchlib.which('zip')
    rng = random.Random(SEED + number)
    block = _text_block(rng)
    src = os.path.join(folder, 'src')
    shutil.rmtree(src, ignore_errors=True)
    _package_ini(src, kind.capitalize())
    fill(src, rng, block)
    ctx.run(['zip', '-q', '-r', archive + '.part', 'package.ini'] + [t for t in TOPS if os.path.isdir(os.path.join(src, t))],
            pin=None, cwd=src)
    os.rename(archive + '.part', archive)
    shutil.rmtree(src)
    return archive


def make_many(ctx, files):
    """A package of `files` small files in nested folders."""
    def fill(src, rng, block):
        for i in range(files):
            top = TOPS[i % len(TOPS)]
            n = i // len(TOPS)
            rel = '%s/set%03d/part%d/item%05d.%s' % (top, n // (FILES_PER_FOLDER * 4), (n // FILES_PER_FOLDER) % 4,
                                                     i, EXTS[top])
            _write(os.path.join(src, rel), _content(rng, block, rng.randint(1024, 19 * 1024)))
    return _package(ctx, 'many', files, fill)


def make_big(ctx, size):
    """A package of one entry of `size` bytes."""
    def fill(src, rng, block):
        path = os.path.join(src, 'sound', 'big', 'track.wav')
        os.makedirs(os.path.dirname(path))
        with open(path, 'wb') as f:
            left = size
            while left:
                n = min(left, 4 << 20)
                f.write(_content(rng, block, n))
                left -= n
    return _package(ctx, 'big', size, fill)


class FileSystem:
    """A tmpfs or a fresh ext4 loop image mounted below the work folder; unmounted by close()."""

    def __init__(self, ctx, kind, size_mb):
        self.ctx = ctx
        self.kind = kind
        base = ctx.workdir('addon-fs-' + kind)
        self.mount = os.path.join(base, 'mnt')
        self.image = os.path.join(base, 'fs.img')
        os.makedirs(self.mount)
        if kind == 'tmpfs':
            self.options = ['-t', 'tmpfs', '-o', 'size=%dm' % size_mb, 'tmpfs']
        else:
            benchlib.which('mkfs.ext4')
            with open(self.image, 'wb') as f:
                f.truncate(size_mb << 20)
            # Inode tables and journal are written now, not by a kernel thread during the runs.
            ctx.run(['mkfs.ext4', '-q', '-F', '-E', 'lazy_itable_init=0,lazy_journal_init=0', self.image],
                    pin=None)
            self.options = ['-o', 'loop', self.image]
        self.mounted = False
        self._mount()

    def _mount(self):
        self.ctx.run(['mount'] + self.options + [self.mount], pin=None)
        self.mounted = True

    def _umount(self):
        if self.mounted:
            self.ctx.run(['umount', self.mount], pin=None)
            self.mounted = False

    def cold(self):
        """On disk: mounts the image again, which writes everything back and empties its caches."""
        if self.kind == 'ext4':
            self._umount()
            self._mount()

    def path(self, *parts):
        return os.path.join(self.mount, *parts)

    def close(self):
        try:
            self._umount()
        finally:
            if os.path.exists(self.image):
                os.remove(self.image)


def count_files(root):
    return sum(len(files) for _, _, files in os.walk(root))


class Sides:
    """Runs ours and the peer on one file system with one package, each in fresh folders."""

    def __init__(self, ctx, fs, archive, expected_files):
        self.ctx = ctx
        self.fs = fs
        self.expected = expected_files
        self.binary = ctx.bin('addon_setup', 'addon_setup')
        if not os.path.exists(self.binary):
            raise benchlib.RowError('%s is not built' % self.binary)
        benchlib.which('unzip')
        self.package = fs.path('pkg', 'Addon.zip')
        os.makedirs(os.path.dirname(self.package), exist_ok=True)
        shutil.copyfile(archive, self.package)
        self.run_no = 0

    def _fresh(self, name):
        self.run_no += 1
        path = self.fs.path('%s-%d' % (name, self.run_no))
        os.makedirs(path)
        return path

    def _clean(self, *paths):
        for p in paths:
            shutil.rmtree(p, ignore_errors=True)

    def _check(self, folder, who):
        got = sum(count_files(os.path.join(folder, t)) for t in TOPS)
        if got != self.expected:
            raise benchlib.RowError('%s installed %d files, not %d' % (who, got, self.expected))

    def _run(self, argv, env=None):
        return self.ctx.run(argv, pin='sut', env=env)

    def ours(self):
        client = self._fresh('client')
        work = self._fresh('ours-work')
        for sub in ('home', 'tmp', 'run'):
            os.makedirs(os.path.join(work, sub), mode=0o700)
        shutil.copy2(self.binary, os.path.join(client, 'addon_setup'))
        with open(os.path.join(client, 'vxmclient_linux_amd64'), 'w') as f:
            f.write('client')
        self.fs.cold()
        res = self._run([os.path.join(client, 'addon_setup'), '-silent', self.package],
                        env={'HOME': os.path.join(work, 'home'), 'TMPDIR': os.path.join(work, 'tmp'),
                             'XDG_RUNTIME_DIR': os.path.join(work, 'run'), 'QT_QPA_PLATFORM': 'offscreen'})
        self._check(client, 'addon_setup')
        self._clean(client, work)
        return res

    def peer(self):
        target = self._fresh('target')
        unz = self.fs.path('unzip-%d' % self.run_no)
        self.fs.cold()
        # Only the content folders the package has (addon-big has sound/ alone).
        script = ('unzip -q "$1" -d "$2" && for t in styles sound gfx; do '
                  '[ ! -d "$2/$t" ] || cp -r "$2/$t" "$3"/ || exit 1; done && sync -f "$3" && rm -rf "$2"')
        res = self._run(['sh', '-c', script, 'peer', self.package, unz, target])
        self._check(target, 'unzip + cp')
        self._clean(target, unz)
        return res


def _figures(row, label, ours, peer, goal, rss_goal=None):
    figs = [benchlib.Figure(row, '%s time' % label, 's', [r.wall for r in ours], [r.wall for r in peer],
                            'unzip+cp', goal)]
    if rss_goal is not None:
        figs.append(benchlib.Figure(row, '%s peak RSS' % label, 'MB', [r.maxrss_mb for r in ours],
                                    [r.maxrss_mb for r in peer], 'unzip+cp', rss_goal))
    return figs


def addon(ctx):
    sizes = (200, 800) if ctx.quick else (5000, 20000)
    archives = {n: make_many(ctx, n) for n in sizes}
    # Room for the package, the extraction and the installed copy of the larger size (10 KiB a file on
    # average, rounded up to whole blocks), with a margin.
    fs_mb = 256 if ctx.quick else 1536
    figures = []
    for kind in ('tmpfs', 'ext4'):
        per_entry = {}
        for n in sizes:
            fs = FileSystem(ctx, kind, fs_mb)
            try:
                sides = Sides(ctx, fs, archives[n], n)
                ours, peer = ctx.interleave(sides.ours, sides.peer)
            finally:
                fs.close()
            label = '%s %d entries' % (kind, n)
            figures += _figures('addon', label, ours, peer, benchlib.RatioAtMost(1.5),
                                benchlib.Info() if kind == 'tmpfs' else None)
            per_entry[n] = [r.wall / n * 1e6 for r in ours]
        small, large = sizes
        figures.append(benchlib.Figure('addon', '%s time per entry, %d vs %d' % (kind, large, small), 'us',
                                       per_entry[large], per_entry[small], 'ours@%d' % small,
                                       benchlib.RatioAtMost(1.25)))
    return figures


def addon_big(ctx):
    size = (8 if ctx.quick else 200) << 20
    archive = make_big(ctx, size)
    fs = FileSystem(ctx, 'tmpfs', (size >> 20) * 4 + 64)
    try:
        sides = Sides(ctx, fs, archive, 1)
        ours, peer = ctx.interleave(sides.ours, sides.peer)
    finally:
        fs.close()
    label = 'tmpfs %d MiB entry' % (size >> 20)
    figs = _figures('addon-big', label, ours, peer, benchlib.RatioAtMost(1.2), benchlib.AtMost(64, 'MB'))
    return figs


ROWS = {'addon': addon, 'addon-big': addon_big}
