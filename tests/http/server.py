#!/usr/bin/env python3
"""A small HTTP server for the HTTP tests, on 127.0.0.1 only.

server.py start DIR  starts the server in the background, writes its port to
                     DIR/port once it listens, and returns.
server.py stop DIR   asks it to stop.
The server also stops by itself after 600 seconds, or 120 seconds without a
request, so a test run that dies leaves nothing behind.
"""
import http.server
import os
import subprocess
import sys
import threading
import time
import urllib.request

LIFETIME = 600
IDLE = 120
BIG = b"abcdefghi\n" * 1000000  # 10 MB


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, body, headers=(), raw_headers=()):
        self.server.last = time.time()
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        for line in raw_headers:
            self._headers_buffer.append(line.encode("latin-1") + b"\r\n")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def body(self):
        n = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(n) if n else b""

    def do_GET(self):
        p = self.path
        if p == "/text":
            self.reply(200, b"hello\r\nworld\rend", [("Content-Type", "text/plain")])
        elif p == "/headers":
            text = "".join("%s: %s\n" % (k, v) for k, v in self.headers.items())
            self.reply(200, text.encode())
        elif p.startswith("/status/"):
            code = int(p[8:])
            self.reply(code, ("status %d" % code).encode(), [("X-Status", str(code))])
        elif p == "/dup":
            self.reply(200, b"dup", [("X-Dup", "one"), ("X-Dup", "two")])
        elif p == "/odd-headers":
            self.reply(200, b"odd", raw_headers=["X-Empty:", "X-Tight:value", "X-Next: after"])
        elif p == "/redirect":
            self.reply(302, b"", [("Location", "/text"), ("X-First", "yes")])
        elif p == "/binary":
            self.reply(200, bytes(range(256)), [("Content-Type", "application/octet-stream")])
        elif p == "/big":
            self.reply(200, BIG)
        elif p == "/utf8":
            self.reply(200, "caf\u00e9 \u20ac".encode())
        elif p.startswith("/count/"):
            # Answers how many times this path was asked for.
            self.server.counts[p] = self.server.counts.get(p, 0) + 1
            self.reply(200, str(self.server.counts[p]).encode(), [("Content-Type", "text/plain")])
        elif p == "/script":
            self.reply(200, b"Qel [Title: \"remote\"]\n1 + 2\n", [("Content-Type", "text/plain")])
        elif p == "/hang":
            # Accepts and never answers (the client's time-out ends it).
            time.sleep(20)
        elif p == "/drip":
            # Headers, then a byte now and then: slower than any transfer
            # a client should wait for.
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            for _ in range(40):
                self.wfile.write(b"x")
                self.wfile.flush()
                time.sleep(0.5)
        elif p == "/short":
            # Promises 100 bytes, sends 10 and closes.
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            self.wfile.write(b"0123456789")
            self.wfile.flush()
            self.close_connection = True
        elif p == "/loop":
            self.reply(302, b"", [("Location", "/loop")])
        elif p == "/latin1":
            self.reply(200, b"ok", raw_headers=["X-Name: caf\u00e9", "X-Utf8: caf\u00c3\u00a9"])
        elif p.startswith("/fresh/"):
            # 375 headers whose names no earlier answer had.
            n = p[7:]
            self.reply(200, b"fresh", [("X-F%s-%d" % (n, k), "v") for k in range(375)])
        elif p == "/quit":
            self.reply(200, b"bye")
            threading.Thread(target=self.server.shutdown).start()
        else:
            self.reply(404, b"not found")

    def do_HEAD(self):
        self.do_GET()

    def echo(self):
        data = self.body()
        ctype = self.headers.get("Content-Type") or ""
        self.reply(200, self.command.encode() + b" " + ctype.encode() + b"\n" + data)

    def do_POST(self):
        if self.path == "/size":
            self.reply(200, str(len(self.body())).encode())
        else:
            self.echo()

    do_PUT = echo
    do_DELETE = echo
    do_PATCH = echo


def serve(directory):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.counts = {}
    server.last = time.time()
    started = time.time()

    def watchdog():
        while True:
            time.sleep(1)
            now = time.time()
            if now - started > LIFETIME or now - server.last > IDLE:
                server.shutdown()
                return

    threading.Thread(target=watchdog, daemon=True).start()
    tmp = os.path.join(directory, "port.tmp")
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(tmp, os.path.join(directory, "port"))
    server.serve_forever()
    server.server_close()


def main():
    command, directory = sys.argv[1], os.path.abspath(sys.argv[2])
    port_file = os.path.join(directory, "port")
    if command == "serve":
        serve(directory)
    elif command == "start":
        os.makedirs(directory, exist_ok=True)
        if os.path.exists(port_file):
            os.remove(port_file)
        subprocess.Popen([sys.executable, "-u", __file__, "serve", directory],
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, start_new_session=True)
        for _ in range(200):
            if os.path.exists(port_file):
                return 0
            time.sleep(0.05)
        print("the test server did not start", file=sys.stderr)
        return 1
    elif command == "stop":
        try:
            with open(port_file) as f:
                port = f.read().strip()
            urllib.request.urlopen("http://127.0.0.1:%s/quit" % port, timeout=5).read()
        except (OSError, ValueError):
            pass
        return 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
