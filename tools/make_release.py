#!/usr/bin/env python3
"""Release tool: turns a target tree and a delete list into a signed mirror folder.

    make_release.py --tree DIR --version V --out MIRROR --key PEM [--client-type T] [--group G]
                    [--gzip PATTERN ...] [--delete-list FILE] [--changelog FILE]

writes MIRROR/V/<group>/<path> for every file of the tree (gzip-compressed as <path>.gz for files
that match a --gzip pattern, listed with five parts), MIRROR/V/<client type>.ini with the MD5 sums
and sizes, its detached signature <client type>.ini.sig (RSA-PSS, SHA-1, salt length 8) and
MIRROR/V/changelog_client.txt. The delete list names installed paths to remove, one a line.
PEM is the private half of the key that `update` embeds (docs/releasing.md).
"""
import argparse
import fnmatch
import gzip
import hashlib
import os
import shutil
import subprocess
import sys


def ini_escape(text):
    """Escapes a group name or key the way Qt's INI reader expects it ('/' becomes '\\')."""
    out = []
    for ch in text:
        if ch == '/':
            out.append('\\')
        elif ch.isascii() and (ch.isalnum() or ch in '_-.'):
            out.append(ch)
        elif ord(ch) <= 0xFF:
            out.append('%%%02X' % ord(ch))
        else:
            out.append('%%U%04X' % ord(ch))
    return ''.join(out)


def ini_value(text):
    """Quotes a value that holds characters Qt's INI reader would otherwise interpret."""
    if any(c in text for c in ',;"=\\') or text != text.strip():
        return '"' + text.replace('\\', '\\\\').replace('"', '\\"') + '"'
    return text


def md5_of(path):
    h = hashlib.md5()
    with open(path, 'rb') as f:
        for block in iter(lambda: f.read(65536), b''):
            h.update(block)
    return h.hexdigest()


def sign(path, key):
    subprocess.run(['openssl', 'dgst', '-sha1', '-sigopt', 'rsa_padding_mode:pss',
                    '-sigopt', 'rsa_pss_saltlen:8', '-sign', key, '-out', path + '.sig', path],
                   check=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--tree', required=True)
    ap.add_argument('--version', required=True, type=int)
    ap.add_argument('--out', required=True)
    ap.add_argument('--client-type', default='client_linux_amd64')
    ap.add_argument('--group', default='client')
    ap.add_argument('--gzip', action='append', default=[])
    ap.add_argument('--delete-list')
    ap.add_argument('--changelog')
    ap.add_argument('--key', required=True, help='private key (PEM) whose public half update embeds')
    args = ap.parse_args()
    # A mistyped tree would otherwise give a signed release of nothing.
    if not os.path.isdir(args.tree) or not any(files for _, _, files in os.walk(args.tree)):
        ap.error('--tree %s: no such folder, or no file in it' % args.tree)
    if args.version < 1:
        ap.error('--version must be above 0 (update takes 0 for "no version given")')
    if not os.path.isfile(args.key):
        ap.error('--key %s: no such file' % args.key)

    deletes = []
    if args.delete_list:
        with open(args.delete_list, encoding='utf-8') as dl:
            deletes = [l.strip() for l in dl if l.strip()]
    # update skips such an entry: deleting what the release installs would undo it.
    installs = set()
    for base, _, files in os.walk(args.tree):
        for name in files:
            rel = os.path.relpath(os.path.join(base, name), args.tree).replace(os.sep, '/')
            installs.update('/'.join(rel.split('/')[:n]) for n in range(1, rel.count('/') + 2))
    for d in deletes:
        if d in installs:
            ap.error('--delete-list names %s, which the release installs' % d)

    root = os.path.join(args.out, str(args.version))
    group_dir = os.path.join(root, args.group)
    os.makedirs(group_dir, exist_ok=True)
    lines = []
    for base, dirs, files in os.walk(args.tree):
        dirs.sort()
        for name in sorted(files):
            src = os.path.join(base, name)
            rel = os.path.relpath(src, args.tree).replace(os.sep, '/')
            md5, size = md5_of(src), os.path.getsize(src)
            if any(fnmatch.fnmatch(rel, p) for p in args.gzip):
                key = rel + '.gz'
                dst = os.path.join(group_dir, key)
                os.makedirs(os.path.dirname(dst), exist_ok=True)
                with open(src, 'rb') as fin, gzip.open(dst, 'wb') as fout:
                    shutil.copyfileobj(fin, fout)
                value = '%s::%d::%s::%d::%s' % (md5_of(dst), os.path.getsize(dst), md5, size, rel)
            else:
                key = rel
                dst = os.path.join(group_dir, key)
                os.makedirs(os.path.dirname(dst), exist_ok=True)
                shutil.copyfile(src, dst)
                value = '%s::%d' % (md5, size)
            lines.append('%s=%s' % (ini_escape(key), ini_value(value)))

    with open(os.path.join(root, args.client_type + '.ini'), 'w', encoding='utf-8') as ini:
        ini.write('[%s]\n' % ini_escape(args.group))
        ini.write(''.join(line + '\n' for line in lines))
        if deletes:
            ini.write('\n[delete]\n')
            ini.write(''.join('%s=1\n' % ini_escape(d) for d in deletes))
    sign(os.path.join(root, args.client_type + '.ini'), args.key)

    changelog = os.path.join(root, 'changelog_client.txt')
    if args.changelog:
        shutil.copyfile(args.changelog, changelog)
    else:
        with open(changelog, 'w', encoding='utf-8') as f:
            f.write('Version %d\n' % args.version)
    return 0


if __name__ == '__main__':
    sys.exit(main())
