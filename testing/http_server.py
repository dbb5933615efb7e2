#!/usr/bin/env python3
"""Serves the files of one folder over HTTP/1.1 on a free 127.0.0.1 port, for the download tests.

    http_server.py --root DIR [--port-file FILE] [--request-log FILE] [--no-lifeline] [--tls]

The port is printed on stdout once the server listens, and written to the port file (complete
when it appears: it is renamed into place). Answers carry Content-Length and honour
"Range: bytes=N-" / "bytes=N-M" with 206 (416 beyond the end).

Misbehaviour is asked for in the query string of each request (several may be combined):
    status=CODE    answer CODE (404, 407, 500, ...) with a short text body instead of the file
    drop=N         cut the connection once the body reaches byte offset N of the file; a range
                   that starts at or after N is served whole, so a resume gets the rest
    dropevery=N    cut every answer after N body bytes, resumes included
    rate=KIB       send at most KIB KiB per second
    stall=N        stop sending once N body bytes are out and hold the connection (a silent peer)
    lie=N          announce N more bytes than are sent (N may be negative), then close; a range
                   that starts beyond the real end is answered 206 with nothing after the head
    norange=1      ignore Range and answer 200 with the whole file
    hangup=1       reset the connection without any answer (a failed send)
Each request is appended to the request log as one line: "GET /path?query range=<header or ->".

With --tls, connections that open with a TLS handshake are served over TLS with a fresh
self-signed certificate for 127.0.0.1 (made with the openssl command); plain connections (the
lifeline) still work on the same port.

Lifetime: the test opens GET /__lifeline and keeps that connection; when it closes (the test
ended, or its process died) the server exits. Without a lifeline within 30 s it exits as well,
so that no server outlives the test that started it.
"""

import argparse
import os
import shutil
import socket
import ssl
import struct
import subprocess
import tempfile
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CHUNK = 65536
LIFELINE_GRACE_SECONDS = 30


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VarometTestHttp/1.0"

    def log_message(self, format, *args):  # quiet: the request log says what matters
        pass

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path == "/__lifeline":
            self.server.lifeline_seen.set()
            self.hold_lifeline()
            return
        self.record(url)
        knobs = dict(urllib.parse.parse_qsl(url.query))
        if knobs.get("hangup") == "1":
            self.reset()
            return
        if "status" in knobs:
            self.answer_text(int(knobs["status"]), "status asked for\n")
            return
        relative = urllib.parse.unquote(url.path).lstrip("/")
        path = os.path.realpath(os.path.join(self.server.root, relative))
        if not path.startswith(self.server.root + os.sep) or not os.path.isfile(path):
            self.answer_text(404, "no such file\n")
            return
        self.send_file(path, knobs)

    def record(self, url):
        line = "GET %s range=%s\n" % (self.path, self.headers.get("Range", "-"))
        if self.server.request_log:
            with self.server.log_lock, open(self.server.request_log, "a") as log:
                log.write(line)

    def hold_lifeline(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        self.wfile.flush()
        try:
            while self.connection.recv(4096):
                pass
        except OSError:
            pass
        os._exit(0)

    def answer_text(self, code, text):
        body = text.encode()
        self.send_response(code)
        if code == 407:
            self.send_header("Proxy-Authenticate", 'Basic realm="test"')
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def send_file(self, path, knobs):
        size = os.path.getsize(path)
        lie = int(knobs.get("lie", "0"))
        start, end = 0, size - 1
        ranged = False
        header = self.headers.get("Range")
        if header and knobs.get("norange") != "1":
            parsed = parse_range(header)
            if parsed is None:
                self.answer_text(400, "bad range\n")
                return
            start, last = parsed
            if start >= size:
                if lie > 0:
                    # Still lying: a partial answer that never comes.
                    self.send_response(206)
                    self.send_header("Content-Range", "bytes %d-%d/%d" % (start, size + lie - 1, size + lie))
                    self.send_header("Content-Length", str(size + lie - start))
                    self.end_headers()
                    self.cut()
                    return
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % size)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            end = min(last, size - 1) if last is not None else size - 1
            ranged = True
        count = end - start + 1
        self.send_response(206 if ranged else 200)
        self.send_header("Content-Type", "application/octet-stream")
        if ranged:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size + max(lie, 0)))
        self.send_header("Content-Length", str(max(count + lie, 0)))
        self.end_headers()

        limit = count
        if "drop" in knobs and start < int(knobs["drop"]):
            limit = min(limit, int(knobs["drop"]) - start)
        if "dropevery" in knobs:
            limit = min(limit, int(knobs["dropevery"]))
        if lie < 0:
            limit = min(limit, count + lie)
        rate = float(knobs.get("rate", "0")) * 1024
        with open(path, "rb") as source:
            source.seek(start)
            stall = int(knobs.get("stall", "-1"))
            if limit == count and rate == 0 and lie == 0 and stall < 0:
                self.wfile.flush()
                self.connection.sendfile(source, start, count)
                return
            sent = 0
            began = time.monotonic()
            while sent < limit:
                if 0 <= stall <= sent:
                    time.sleep(60)  # the lifeline's end takes the server down first
                    return
                block = source.read(min(CHUNK, limit - sent, stall - sent if stall >= 0 else CHUNK))
                if not block:
                    break
                self.wfile.write(block)
                self.wfile.flush()
                sent += len(block)
                if rate:
                    delay = began + sent / rate - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
        if limit < count or lie != 0:
            self.cut()

    def cut(self):
        """Ends the connection at once, as a lost network would."""
        self.close_connection = True
        try:
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


    def reset(self):
        """Ends the connection with a reset, as a peer that refuses the request would."""
        self.close_connection = True
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            return
        with self.server.log_lock:
            self.server.resets.add(self.connection)
        time.sleep(0.2)  # the client is then waiting for the answer


def parse_range(header):
    """"bytes=N-" or "bytes=N-M" as (N, M or None); None for anything else."""
    if not header.startswith("bytes="):
        return None
    first, _, last = header[len("bytes="):].partition("-")
    try:
        return int(first), (int(last) if last.strip() else None)
    except ValueError:
        return None


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = False
    tls = None  # an SSLContext when --tls

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.resets = set()

    def shutdown_request(self, request):
        # An orderly shutdown would send its end of stream before the close's reset.
        with self.log_lock:
            reset = request in self.resets
            self.resets.discard(request)
        if reset:
            self.close_request(request)
        else:
            super().shutdown_request(request)

    def finish_request(self, request, client_address):
        if self.tls is not None:
            try:
                request.settimeout(10)
                first = request.recv(1, socket.MSG_PEEK)
                request.settimeout(None)
                if first == b"\x16":  # a TLS handshake record
                    with self.tls.wrap_socket(request, server_side=True) as secure:
                        super().finish_request(secure, client_address)
                    return
            except (OSError, ssl.SSLError):
                return  # the client refused the certificate, or went away
        super().finish_request(request, client_address)


def self_signed_context():
    folder = tempfile.mkdtemp(prefix="varomet-tls-")
    try:
        cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=DNS:127.0.0.1,IP:127.0.0.1"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        return context
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--port-file")
    parser.add_argument("--request-log")
    parser.add_argument("--no-lifeline", action="store_true")
    parser.add_argument("--tls", action="store_true")
    options = parser.parse_args()

    server = Server(("127.0.0.1", 0), Handler)
    if options.tls:
        server.tls = self_signed_context()
    server.root = os.path.realpath(options.root)
    server.request_log = options.request_log
    server.log_lock = threading.Lock()
    server.lifeline_seen = threading.Event()
    port = server.server_address[1]

    if not options.no_lifeline:
        def watch():
            if not server.lifeline_seen.wait(LIFELINE_GRACE_SECONDS):
                os._exit(3)
        threading.Thread(target=watch, daemon=True).start()

    if options.port_file:
        partial = options.port_file + ".part"
        with open(partial, "w") as out:
            out.write("%d %d\n" % (port, os.getpid()))
        os.replace(partial, options.port_file)
    print(port, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
