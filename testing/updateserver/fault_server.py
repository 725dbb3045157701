#!/usr/bin/env python3
"""A small HTTP server that serves a folder and misbehaves on request.

    fault_server.py ROOT [--tls CERT KEY]

Listens on a free loopback port (with --tls: HTTPS with that certificate and key) and prints
"PORT <n>" as its first line;
it ends when its standard input closes (the test that started it went away). The first segment of a
request path picks the behaviour, the rest names the file below ROOT; a mirror URL therefore looks
like http://127.0.0.1:<n>/<mode>:

    ok            the file, with Content-Length
    404 401 301   that status (401 asks for Basic authentication, 301 points elsewhere)
    nolength      the file without Content-Length, ended by closing the connection
    stallN        N bytes of the file, then silence until the client goes away (smaller files whole)
    cutN          the whole file's Content-Length, N bytes of it, then the connection is closed
    trickleN      the file one byte every N milliseconds
    slowN         the file in 4 blocks, N milliseconds apart (to make transfers overlap)
    extraN        the file followed by N bytes more (no Content-Length)
    endless       the file followed by zeros for ever (no Content-Length)
    corrupt       the file with its first byte changed
    floodheaders  "200 OK" and then header lines without end, as fast as the client takes them
    longheader    "200 OK" and then one header line without end

A request in the form a proxy gets (an absolute URL) is answered 407: the server then stands in for
a proxy that wants a password.

GET /_stats answers {"requests": r, "active": a, "max_active": m}; GET /_reset clears the counts.
Transfers of files are counted while their body is being sent (exactly so for slowN).
"""
import http.server
import json
import os
import re
import select
import socket
import socketserver
import ssl
import sys
import threading
import time

ROOT = os.path.abspath(sys.argv[1])
TLS = sys.argv[3:5] if len(sys.argv) >= 5 and sys.argv[2] == '--tls' else None
lock = threading.Lock()
stats = {'requests': 0, 'active': 0, 'max_active': 0}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, fmt, *args):
        pass

    def reply_json(self, obj):
        body = json.dumps(obj).encode()
        self.send_response(200)
        self.send_header('Content-Type', 'application/json')
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def plain(self, code, extra=()):
        body = b'fault server says %d\n' % code
        self.send_response(code)
        for k, v in extra:
            self.send_header(k, v)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def client_gone(self, timeout):
        readable, _, _ = select.select([self.connection], [], [], timeout)
        if not readable:
            return False
        try:
            return self.connection.recv(1, 0) == b''
        except OSError:
            return True

    def do_GET(self):
        if self.path == '/_stats':
            with lock:
                return self.reply_json(dict(stats))
        if self.path == '/_reset':
            with lock:
                # Transfers still winding down keep counting as active.
                stats.update(requests=0, max_active=stats['active'])
            return self.reply_json({})
        if self.path.startswith('http://'):
            return self.plain(407, [('Proxy-Authenticate', 'Basic realm="proxy"')])
        parts = self.path.lstrip('/').split('/', 1)
        mode = parts[0]
        rel = parts[1] if len(parts) > 1 else ''
        path = os.path.normpath(os.path.join(ROOT, rel))
        with lock:
            stats['requests'] += 1
        if mode in ('404', '401', '301'):
            code = int(mode)
            extra = {401: [('WWW-Authenticate', 'Basic realm="mirror"')],
                     301: [('Location', '/ok/' + rel)]}.get(code, [])
            return self.plain(code, extra)
        if not path.startswith(ROOT + os.sep) or not os.path.isfile(path):
            return self.plain(404)
        with open(path, 'rb') as f:
            data = f.read()
        with lock:
            stats['active'] += 1
            stats['max_active'] = max(stats['max_active'], stats['active'])
        self.counted = True
        try:
            self.send_body(mode, data)
        except (BrokenPipeError, ConnectionResetError):
            pass
        finally:
            self.transfer_over()

    def transfer_over(self):
        """Ends the count of this transfer; called before its last bytes leave, so that a client
        that has the whole body can never see its transfer still counted."""
        if getattr(self, 'counted', False):
            self.counted = False
            with lock:
                stats['active'] -= 1

    def send_body(self, mode, data):
        number = re.match(r'^([a-z]+)(\d*)$', mode)
        name, n = (number.group(1), int(number.group(2) or 0)) if number else (mode, 0)
        length = len(data)
        if name == 'corrupt' and data:
            data = bytes([data[0] ^ 0xFF]) + data[1:]
        if name in ('floodheaders', 'longheader'):
            self.wfile.write(b'HTTP/1.1 200 OK\r\n')
            chunk = (b'X-Flood: ' + b'y' * 100 + b'\r\n') * 64 if name == 'floodheaders' else b'z' * 8192
            if name == 'longheader':
                self.wfile.write(b'X-Long: ')
            while True:
                self.wfile.write(chunk)
        unbounded = name in ('nolength', 'extra', 'endless')
        self.send_response(200)
        self.send_header('Content-Type', 'application/octet-stream')
        if unbounded:
            self.send_header('Connection', 'close')
            self.close_connection = True
        else:
            self.send_header('Content-Length', str(length))
        self.end_headers()
        if name in ('ok', 'corrupt', 'nolength'):
            self.wfile.write(data)
        elif name == 'stall' and n >= length:
            self.wfile.write(data)
        elif name == 'stall':
            self.wfile.write(data[:n])
            self.wfile.flush()
            while not self.client_gone(0.2):
                pass
        elif name == 'cut':
            self.wfile.write(data[:n])
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
        elif name == 'trickle':
            for i in range(length):
                self.wfile.write(data[i:i + 1])
                self.wfile.flush()
                if self.client_gone(n / 1000.0):
                    return
        elif name == 'slow':
            step = max(1, (length + 3) // 4)
            blocks = [data[i:i + step] for i in range(0, length, step)] or [b'']
            for block in blocks[:-1]:
                self.wfile.write(block)
                self.wfile.flush()
                time.sleep(n / 1000.0)
            self.transfer_over()
            self.wfile.write(blocks[-1])
        elif name == 'extra':
            self.wfile.write(data + b'\0' * n)
        elif name == 'endless':
            self.wfile.write(data)
            while True:
                self.wfile.write(b'\0' * 4096)
        else:
            self.wfile.write(data)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def exit_with_parent():
    """The test that started this server holds our standard input; its end ends the server."""
    try:
        while sys.stdin.buffer.read(4096):
            pass
    except OSError:
        pass
    os._exit(0)


def main():
    server = Server(('127.0.0.1', 0), Handler)
    if TLS:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*TLS)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print('PORT %d' % server.server_address[1], flush=True)
    threading.Thread(target=exit_with_parent, daemon=True).start()
    server.serve_forever()


if __name__ == '__main__':
    main()
