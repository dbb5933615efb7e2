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
    trickle=MS     send the first 64 KiB of the body at once, then one byte at a time, MS
                   milliseconds apart (a server that slows down)
    stall=N        stop sending once N body bytes are out and hold the connection (a silent peer)
    lie=N          announce N more bytes than are sent (N may be negative), then close; a range
                   that starts beyond the real end is answered 206 with nothing after the head
    norange=1      ignore Range and answer 200 with the whole file
    hangup=1       reset the connection without any answer (a failed send)
    delay=MS       wait MS milliseconds before answering (a slow server)
    chunked=1      answer with Transfer-Encoding: chunked, in chunks of chunk=N bytes (4096);
                   stall=N then holds the connection inside the chunked body
    cookie=LINE    add "Set-Cookie: LINE" (may be repeated)
    header=LINE    add the header line LINE, "Name: value" (may be repeated)
    location=URL   add "Location: URL"; without status the answer is a 302
    padto=N        with location: URL followed by as many "a" as make the Location N bytes
                   long (a request line cannot carry the longest)
    secureonly=1   answer 426 to a request that came over a plain connection (with --tls)
    close=1        answer "Connection: close" and close the connection afterwards
    length=TEXT    announce "Content-Length: TEXT" as it is (with status or echo), then close
    auth=USER:PW   answer 401 (WWW-Authenticate: Basic realm="test") unless the request
                   carries those Basic credentials
    echo=1         answer the echo below instead of a file
    loop=N         the first N requests for this path answer 302 with "Location:" the request's
                   own URL (http://<Host header><path and query>), later ones the echo
    issue=PATH     a 302 to http://<Host>PATH with the query parameter ticket=<SERVICE_TICKET>
                   added, the way a CAS server hands a service ticket back
    bounce=PATH&times=N
                   the first N requests for this path answer 302 to http://<Host>PATH with
                   bounce=<this path>&times=N, so two paths send a client back and forth
                   (A to B to A); later ones the echo
    interim=N      before a raw answer, send N interim heads "HTTP/1.1 102 Processing"; "endless"
                   sends them until the client goes away (at most 100000, 30 s)
    keep=1         after a raw answer keep the connection for the next request (else it closes)
    gzip=1         send a text or echo answer gzip-compressed, with "Content-Encoding: gzip"
Each request is appended to the request log as one line: "VERB /path?query range=<header or ->".

Raw answers: a path /raw/NAME answers the exact bytes of the file NAME of the root (hostile
heads, chunk framing, a body cut short), nothing added, then closes the connection.

Each request head is also appended to the head log (the request log's name + ".heads", written
only with a request log) as "=== N\r\n" (N the connection id), the request line and each header
line as received, and an empty line. A request line in absolute form (a proxy's) is served like
the path it names; status=407 gives a proxy's "Proxy-Authenticate" challenge.

Every answer carries "X-Connection-Id: N", N counting the server's connections from 1, so a
test sees whether a client reused its connection.

Verbs: GET and HEAD serve files; any other verb (POST, PUT, PATCH, DELETE, OPTIONS, LINK, ...)
and any path under /echo answer the echo: a text/plain body holding
    "CONNECTION <id>\r\n", the request line and CRLF, each request header as "Name: value\r\n",
    "\r\n", "CHUNKS <sizes of the chunks received, the closing 0 included, or ->\r\n",
    "BODY <length>\r\n", "\r\n", then the request body as received (decoded when chunked).
Request bodies (Content-Length or chunked) are read whatever the verb, up to 64 MiB.

The CAS check: a path ending in /api/authenticated/user/me answers 200 with
    {"id":7,"username":"<user>","email":"<email>"} (application/json)
and "Set-Cookie: CASTGC=<value>; Path=<the path before api/>". The path segments before
"api/" may say otherwise, each as name=value: status=CODE, user=NAME, email=ADDRESS,
castgc=VALUE (castgc=none: no cookie), json=TEXT (the body as given, percent-decoded).

With --tls, connections that open with a TLS handshake are served over TLS with a fresh
self-signed certificate for 127.0.0.1 (made with the openssl command); plain connections (the
lifeline) still work on the same port.

Lifetime: the test opens GET /__lifeline and keeps that connection; when it closes (the test
ended, or its process died) the server exits. Without a lifeline within 30 s it exits as well,
so that no server outlives the test that started it.
"""

import argparse
import base64
import gzip
import io
import json
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
MAX_REQUEST_BODY = 64 * 1024 * 1024
SERVICE_TICKET = "ST-1-issuedservicesecret"
LIFELINE_GRACE_SECONDS = 30


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VarometTestHttp/1.0"

    def log_message(self, format, *args):  # quiet: the request log says what matters
        pass

    def setup(self):
        super().setup()
        self.connection_id = self.server.next_connection_id()
        self.added = {}  # the repeatable knobs of the current request

    def end_headers(self):
        self.send_header("X-Connection-Id", str(self.connection_id))
        for line in self.added.get("cookie", []):
            self.send_header("Set-Cookie", line)
        for line in self.added.get("header", []):
            name, _, value = line.partition(":")
            self.send_header(name.strip(), value.strip())
        super().end_headers()

    def do_GET(self):
        self.serve("GET")

    def do_HEAD(self):
        self.serve("HEAD")

    def __getattr__(self, name):
        # Every other verb is echoed: do_POST, do_PUT, do_PATCH, do_DELETE, do_LINK, ...
        if name.startswith("do_") and name[3:].isalpha() and name[3:].isupper():
            return lambda: self.serve(name[3:])
        raise AttributeError(name)

    def serve(self, verb):
        url = urllib.parse.urlsplit(self.path)
        if verb == "GET" and url.path == "/__lifeline":
            self.server.lifeline_seen.set()
            self.hold_lifeline()
            return
        self.added = {}
        body, chunks = self.read_body()
        if body is None:
            self.close_connection = True
            self.answer_text(400, "bad request body\n")
            return
        self.record(verb)
        knobs = dict(urllib.parse.parse_qsl(url.query))
        if url.path.startswith("/raw/"):
            self.answer_raw(url.path[len("/raw/"):], knobs)
            return
        self.added = {name: values for name, values in urllib.parse.parse_qs(url.query).items()
                      if name in ("cookie", "header")}
        if knobs.get("secureonly") == "1" and not isinstance(self.connection, ssl.SSLSocket):
            self.answer_text(426, "TLS required\n", knobs, verb)
            return
        if knobs.get("close") == "1":
            self.close_connection = True
            self.added.setdefault("header", []).append("Connection: close")
        if "delay" in knobs:
            time.sleep(int(knobs["delay"]) / 1000.0)
        if knobs.get("hangup") == "1":
            self.reset()
            return
        if "auth" in knobs:
            expected = "Basic " + base64.b64encode(knobs["auth"].encode()).decode()
            if self.headers.get("Authorization") != expected:
                self.added.setdefault("header", []).append('WWW-Authenticate: Basic realm="test"')
                self.answer_text(401, "authentication asked for\n", knobs, verb)
                return
        if url.path.endswith("/api/authenticated/user/me"):
            self.answer_cas(url.path[:-len("api/authenticated/user/me")])
            return
        if "loop" in knobs or "bounce" in knobs:
            self.answer_cycle(url, knobs, body, chunks, verb)
            return
        if "issue" in knobs:
            target = knobs["issue"]
            knobs["location"] = "http://%s%s%sticket=%s" % (self.headers.get("Host", ""), target,
                                                            "&" if "?" in target else "?", SERVICE_TICKET)
        if "location" in knobs:
            if "padto" in knobs:
                knobs["location"] += "a" * (int(knobs["padto"]) - len(knobs["location"]))
            self.added.setdefault("header", []).append("Location: " + knobs["location"])
            if "status" not in knobs:
                knobs["status"] = "302"
        if "status" in knobs:
            status = int(knobs["status"])
            if status == 401 and "auth" not in knobs:
                self.added.setdefault("header", []).append('WWW-Authenticate: Basic realm="test"')
            self.answer_text(status, "status asked for\n", knobs, verb)
            return
        if verb not in ("GET", "HEAD") or url.path == "/echo" or url.path.startswith("/echo/") \
                or knobs.get("echo") == "1":
            self.answer_echo(body, chunks, knobs, verb)
            return
        relative = urllib.parse.unquote(url.path).lstrip("/")
        path = os.path.realpath(os.path.join(self.server.root, relative))
        if not path.startswith(self.server.root + os.sep) or not os.path.isfile(path):
            self.answer_text(404, "no such file\n", knobs, verb)
            return
        self.send_file(path, knobs, verb)

    def record(self, verb):
        line = "%s %s range=%s\n" % (verb, self.path, self.headers.get("Range", "-"))
        if self.server.request_log:
            head = "=== %d\r\n%s\r\n" % (self.connection_id, self.requestline)
            head += "".join("%s: %s\r\n" % (name, value) for name, value in self.headers.items()) + "\r\n"
            with self.server.log_lock, open(self.server.request_log + ".heads", "ab") as log:
                log.write(head.encode("latin-1", "replace"))
            with self.server.log_lock, open(self.server.request_log, "a") as log:
                log.write(line)

    def read_body(self):
        """The request body and the sizes of its chunks (None when not chunked); (None, None)
        for a body that is malformed or above the limit."""
        encoding = self.headers.get("Transfer-Encoding", "")
        if "chunked" in encoding.lower():
            body, chunks = bytearray(), []
            while True:
                line = self.rfile.readline(1024)
                try:
                    size = int(line.split(b";")[0].strip(), 16)
                except ValueError:
                    return None, None
                if size < 0 or len(body) + size > MAX_REQUEST_BODY:
                    return None, None
                chunks.append(size)
                if size == 0:
                    while self.rfile.readline(1024).strip():  # trailers up to the empty line
                        pass
                    return bytes(body), chunks
                body += self.rfile.read(size)
                if self.rfile.readline(1024) != b"\r\n":
                    return None, None
        length = self.headers.get("Content-Length")
        if length is None:
            return b"", None
        if not length.strip().isdigit() or int(length) > MAX_REQUEST_BODY:
            return None, None
        return self.rfile.read(int(length)), None

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

    def answer_raw(self, name, knobs):
        """The exact bytes of a file of the root, after the interim heads asked for."""
        path = os.path.realpath(os.path.join(self.server.root, urllib.parse.unquote(name)))
        if not path.startswith(self.server.root + os.sep) or not os.path.isfile(path):
            self.close_connection = True
            self.answer_text(404, "no such file\n")
            return
        interim = knobs.get("interim", "0")
        count = 100000 if interim == "endless" else int(interim)
        deadline = time.monotonic() + 30
        try:
            for _ in range(count):
                if time.monotonic() > deadline:
                    break
                self.wfile.write(b"HTTP/1.1 102 Processing\r\n\r\n")
                self.wfile.flush()
            with open(path, "rb") as source:
                self.wfile.write(source.read())
            self.wfile.flush()
        except OSError:
            pass  # the client gave up: what it was sent is what the test is about
        self.close_connection = knobs.get("keep") != "1"

    def answer_text(self, code, text, knobs=None, verb="GET"):
        self.answer_body(code, "text/plain", text.encode(), knobs or {}, verb)

    def answer_body(self, code, content_type, body, knobs, verb):
        """A whole body, with Content-Length (as given by the length knob) or chunked."""
        self.send_response(code)
        if knobs.get("gzip") == "1":
            body = gzip.compress(body)
            self.send_header("Content-Encoding", "gzip")
        if code == 407:
            self.send_header("Proxy-Authenticate", 'Basic realm="test"')
        self.send_header("Content-Type", content_type)
        if knobs.get("chunked") == "1":
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            if verb != "HEAD":
                self.send_chunks(io.BytesIO(body), len(body), knobs)
            return
        if code in (204, 304):  # no body, and nothing announced
            self.end_headers()
            return
        if "length" in knobs:
            self.close_connection = True
        self.send_header("Content-Length", knobs.get("length", str(len(body))))
        self.end_headers()
        if verb != "HEAD":
            self.wfile.write(body)

    def answer_echo(self, body, chunks, knobs, verb):
        lines = ["CONNECTION %d" % self.connection_id, self.requestline]
        lines += ["%s: %s" % (name, value) for name, value in self.headers.items()]
        lines += ["", "CHUNKS " + (" ".join(str(size) for size in chunks) if chunks is not None else "-"),
                  "BODY %d" % len(body), "", ""]
        self.answer_body(200, "text/plain", "\r\n".join(lines).encode("latin-1") + body, knobs, verb)

    def answer_cycle(self, url, knobs, body, chunks, verb):
        seen = self.server.count_path(url.path)
        limit = int(knobs.get("loop") or knobs.get("times") or "1000000")
        if seen > limit:
            self.answer_echo(body, chunks, knobs, verb)
            return
        host = "http://" + self.headers.get("Host", "")
        if "loop" in knobs:
            target = host + self.path
        else:
            target = "%s%s?bounce=%s&times=%d" % (host, knobs["bounce"], urllib.parse.quote(url.path), limit)
        self.added.setdefault("header", []).append("Location: " + target)
        self.answer_text(302, "redirected\n", knobs, verb)

    def answer_cas(self, prefix):
        options = {"status": "200", "user": "jdoe", "email": "jdoe@example.test", "castgc": "TGT-1-varomet-test"}
        for segment in prefix.split("/"):
            name, equal, value = segment.partition("=")
            if equal and name in ("status", "user", "email", "castgc", "json"):
                options[name] = urllib.parse.unquote(value)
        body = options.get("json") or json.dumps({"id": 7, "username": options["user"], "email": options["email"]},
                                                 separators=(",", ":"))
        if options["castgc"] != "none":
            self.added.setdefault("cookie", []).append("CASTGC=%s; Path=%s" % (options["castgc"], prefix))
        self.answer_body(int(options["status"]), "application/json", body.encode(), {}, "GET")

    def send_chunks(self, source, count, knobs):
        """count bytes of source as chunks of chunk=N bytes and the closing chunk; with stall=N
        the connection is held once N bytes are out."""
        size = max(1, int(knobs.get("chunk", "4096")))
        stall = int(knobs.get("stall", "-1"))
        sent = 0
        while sent < count:
            if 0 <= stall <= sent:
                self.wfile.flush()
                time.sleep(60)  # the lifeline's end takes the server down first
                return
            block = source.read(min(size, count - sent, stall - sent if stall >= 0 else size))
            if not block:
                break
            self.wfile.write(b"%x\r\n%s\r\n" % (len(block), block))
            self.wfile.flush()
            sent += len(block)
        if 0 <= stall <= sent:
            self.wfile.flush()
            time.sleep(60)
            return
        self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def send_file(self, path, knobs, verb="GET"):
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
        if knobs.get("chunked") == "1":
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            if verb != "HEAD":
                with open(path, "rb") as source:
                    source.seek(start)
                    self.send_chunks(source, count, knobs)
            return
        self.send_header("Content-Length", str(max(count + lie, 0)))
        self.end_headers()
        if verb == "HEAD":
            return

        limit = count
        if "drop" in knobs and start < int(knobs["drop"]):
            limit = min(limit, int(knobs["drop"]) - start)
        if "dropevery" in knobs:
            limit = min(limit, int(knobs["dropevery"]))
        if lie < 0:
            limit = min(limit, count + lie)
        rate = float(knobs.get("rate", "0")) * 1024
        trickle = int(knobs.get("trickle", "0")) / 1000.0
        with open(path, "rb") as source:
            source.seek(start)
            stall = int(knobs.get("stall", "-1"))
            if limit == count and rate == 0 and lie == 0 and stall < 0 and not trickle:
                self.wfile.flush()
                self.connection.sendfile(source, start, count)
                return
            sent = 0
            began = time.monotonic()
            while sent < limit:
                if 0 <= stall <= sent:
                    time.sleep(60)  # the lifeline's end takes the server down first
                    return
                slow = trickle and sent >= CHUNK
                block = source.read(1 if slow else min(CHUNK, limit - sent, stall - sent if stall >= 0 else CHUNK))
                if not block:
                    break
                self.wfile.write(block)
                self.wfile.flush()
                sent += len(block)
                if slow:
                    time.sleep(trickle)
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
        self.connections = 0
        self.connections_lock = threading.Lock()
        self.path_counts = {}

    def count_path(self, path):
        """How many requests for the path (query left out) have come, this one included."""
        with self.connections_lock:
            self.path_counts[path] = self.path_counts.get(path, 0) + 1
            return self.path_counts[path]

    def next_connection_id(self):
        with self.connections_lock:
            self.connections += 1
            return self.connections

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
