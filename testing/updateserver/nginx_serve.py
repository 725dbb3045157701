#!/usr/bin/env python3
"""Serves a folder with nginx on a free loopback port, with a configuration of its own.

    nginx_serve.py ROOT

Writes its configuration, logs and pid below a fresh folder in $TMPDIR, prints "PORT <n>" once
nginx answers, and stops nginx when it is terminated or its standard input closes. The access log
is nginx's combined format followed by the time the response ended ($msec) and the time it took
($request_time), so that the span of a run's transfers can be read from it; the readiness probe
(PROBE) is not logged. Every path is quoted in the configuration, so that ROOT and $TMPDIR may hold
blanks and any letters.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request


PROBE = '/nginx-serve-ready'


def quoted(path):
    """path as a string of nginx's configuration language."""
    if '$' in path:
        raise SystemExit('nginx_serve.py: a "$" in %s would be read as a variable' % path)
    return '"%s"' % path.replace('\\', '\\\\').replace('"', '\\"')


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def main():
    root = os.path.abspath(sys.argv[1])
    prefix = tempfile.mkdtemp(prefix='nginx.')
    nginx = shutil.which('nginx') or '/usr/sbin/nginx'
    for attempt in range(20):
        port = free_port()
        conf = os.path.join(prefix, 'nginx.conf')
        with open(conf, 'w') as f:
            f.write('''
%(user)s
worker_processes 1;
pid %(pid)s;
error_log %(error)s;
daemon off;
events { worker_connections 64; }
http {
    log_format timed '$remote_addr - $remote_user [$time_local] "$request" $status $body_bytes_sent '
                     '"$http_referer" "$http_user_agent" $msec $request_time';
    map $uri $logged { %(probe)s 0; default 1; }
    access_log %(access)s timed if=$logged;
    client_body_temp_path %(body)s;
    proxy_temp_path %(proxy)s;
    fastcgi_temp_path %(fastcgi)s;
    uwsgi_temp_path %(uwsgi)s;
    scgi_temp_path %(scgi)s;
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:%(port)d;
        root %(root)s;
    }
}
''' % dict({name: quoted(os.path.join(prefix, file)) for name, file in
             (('pid', 'nginx.pid'), ('error', 'error.log'), ('access', 'access.log'), ('body', 'body'),
              ('proxy', 'proxy'), ('fastcgi', 'fastcgi'), ('uwsgi', 'uwsgi'), ('scgi', 'scgi'))},
            port=port, root=quoted(root), probe=quoted(PROBE),
            user='user root;' if os.geteuid() == 0 else ''))
        proc = subprocess.Popen([nginx, '-p', prefix, '-c', conf, '-e', os.path.join(prefix, 'error.log')],
                                stdin=subprocess.DEVNULL)
        deadline = time.time() + 10
        up = False
        while time.time() < deadline and proc.poll() is None:
            try:
                urllib.request.urlopen('http://127.0.0.1:%d%s' % (port, PROBE), timeout=1)
                up = True
            except urllib.error.HTTPError:
                up = True
            except OSError:
                time.sleep(0.05)
            if up:
                break
        if up:
            break
        if proc.poll() is None:
            proc.terminate()
            proc.wait()
    else:
        sys.stderr.write(open(os.path.join(prefix, 'error.log')).read())
        return 1

    def stop(*_):
        if proc.poll() is None:
            proc.send_signal(signal.SIGQUIT)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
        shutil.rmtree(prefix, ignore_errors=True)
        os._exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print('PORT %d' % port, flush=True)
    try:
        while sys.stdin.read(4096):
            pass
    except OSError:
        pass
    stop()


if __name__ == '__main__':
    sys.exit(main())
