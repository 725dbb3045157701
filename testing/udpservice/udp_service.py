#!/usr/bin/env python3
"""Stand-in of the update server's two UDP services: the version service and the banner service.

    udp_service.py [--host H] [--version-port P] [--banner-port P]
                   [--versions TEXT] [--news TEXT | --news-file FILE] [--banner TEXT]
                   [--mode MODE] [--ignore N] [--ignore-news N]

The version service answers the request "3\\0" with TEXT (Latin-1; items "<version>#<name>" joined
by ",", one per channel) and "*\\0" with the news (UTF-8). The banner service answers the two bytes
0x01 0x01 with "<image url>,<click url>". Ports of 0 are chosen by the system.

Once both sockets are bound the first line on standard output is "READY <version port> <banner port>";
then each request that arrives is reported as "REQUEST <kind> <host>:<port>" (kind: version, news,
banner, unknown) before it is answered, so that a test can count them. The service ends when its
standard input closes (the test that started it went away) or on SIGTERM.

MODE picks how it answers:
    normal      as above
    silent      never answers
    foreign     answers from another address (127.0.0.2), as a third party would
    foreign-first  sends a false answer ("666#forged", "forged news") from 127.0.0.2 first, then
                the true answer
--ignore N leaves the first N requests (of any kind) unanswered; --ignore-news N the first N news
requests.
"""
import argparse
import os
import select
import socket
import sys


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--host', default='127.0.0.1')
    ap.add_argument('--version-port', type=int, default=17384)
    ap.add_argument('--banner-port', type=int, default=2009)
    ap.add_argument('--versions', default='')
    ap.add_argument('--news', default='')
    ap.add_argument('--news-file')
    ap.add_argument('--banner', default='')
    ap.add_argument('--mode', default='normal', choices=['normal', 'silent', 'foreign', 'foreign-first'])
    ap.add_argument('--ignore', type=int, default=0)
    ap.add_argument('--ignore-news', type=int, default=0)
    args = ap.parse_args()

    news = args.news.encode('utf-8')
    if args.news_file:
        with open(args.news_file, 'rb') as f:
            news = f.read()
    versions = args.versions.encode('latin-1')

    version_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    version_sock.bind((args.host, args.version_port))
    banner_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    banner_sock.bind((args.host, args.banner_port))
    foreign_sock = None
    if args.mode in ('foreign', 'foreign-first'):
        foreign_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        foreign_sock.bind(('127.0.0.2', 0))

    print('READY %d %d' % (version_sock.getsockname()[1], banner_sock.getsockname()[1]), flush=True)

    ignored = 0
    ignored_news = 0
    stdin = sys.stdin.fileno()
    watched = [version_sock, banner_sock, stdin]
    while True:
        ready, _, _ = select.select(watched, [], [])
        if stdin in ready:
            if not os.read(stdin, 4096):
                return
            continue
        for sock in ready:
            if sock is stdin:
                continue
            data, peer = sock.recvfrom(65536)
            if sock is banner_sock:
                kind = 'banner' if data == b'\x01\x01' else 'unknown'
                answer = args.banner.encode('latin-1')
            elif data == b'3\x00':
                kind, answer = 'version', versions
            elif data == b'*\x00':
                kind, answer = 'news', news
            else:
                kind, answer = 'unknown', None
            print('REQUEST %s %s:%d' % (kind, peer[0], peer[1]), flush=True)
            if answer is None or args.mode == 'silent':
                continue
            if ignored < args.ignore:
                ignored += 1
                continue
            if kind == 'news' and ignored_news < args.ignore_news:
                ignored_news += 1
                continue
            if args.mode == 'foreign':
                foreign_sock.sendto(answer, peer)
                continue
            if args.mode == 'foreign-first':
                forged = {'version': b'666#forged', 'news': b'forged news'}.get(kind, b'forged,forged')
                foreign_sock.sendto(forged, peer)
            sock.sendto(answer, peer)


if __name__ == '__main__':
    try:
        main()
    except KeyboardInterrupt:
        pass
