"""Servers on 127.0.0.1 for the remote-file tests: nginx (HTTP and HTTPS with a throwaway CA),
a fault-injecting proxy in front of it, an S3 endpoint (moto), and a recorder of requests."""

import contextlib
import http.client
import http.server
import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
import urllib.request

import pytest


def unavailable(what):
    """Servers are required under CI; elsewhere their tests skip."""
    if os.environ.get("CI"):
        pytest.fail(f"{what} is required under CI")
    pytest.skip(f"{what} not available")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, seconds=10.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), 0.2):
            return True
        time.sleep(0.05)
    return False


def stop(proc):
    proc.terminate()
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def make_ca(folder):
    """A throwaway CA and a certificate for 127.0.0.1 signed by it: (ca.pem, cert, key)."""
    if shutil.which("openssl") is None:
        unavailable("openssl")
    run = lambda *a: subprocess.run(["openssl", *a], cwd=folder, check=True, capture_output=True)
    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=tavlo test CA",
        "-keyout", "ca.key", "-out", "ca.pem")
    run("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", "srv.key",
        "-out", "srv.csr")
    (folder / "ext.cnf").write_text("subjectAltName=IP:127.0.0.1\n")
    run("x509", "-req", "-in", "srv.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
        "-days", "2", "-extfile", "ext.cnf", "-out", "srv.pem")
    return folder / "ca.pem", folder / "srv.pem", folder / "srv.key"


@contextlib.contextmanager
def nginx(root, folder):
    """nginx serving `root` on 127.0.0.1 over HTTP and HTTPS: yields (http base, https base, CA)."""
    binary = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx")
                                        else None)
    if binary is None:
        unavailable("nginx")
    ca, cert, key = make_ca(folder)
    port, tls_port = free_port(), free_port()
    user = "user root;" if os.geteuid() == 0 else ""
    temp = " ".join(f"{k}_temp_path {folder}/{k};" for k in
                    ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    (folder / "nginx.conf").write_text(f"""
daemon off; {user} worker_processes 1; pid {folder}/nginx.pid; error_log {folder}/error.log;
events {{ worker_connections 256; }}
http {{
  access_log off; {temp}
  keepalive_requests 100000;
  server {{ listen 127.0.0.1:{port}; root {root}; }}
  server {{ listen 127.0.0.1:{tls_port} ssl; root {root};
           ssl_certificate {cert}; ssl_certificate_key {key}; }}
}}
""")
    proc = subprocess.Popen([binary, "-c", str(folder / "nginx.conf"), "-p", str(folder)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        if not (wait_for_port(port, proc) and wait_for_port(tls_port, proc)):
            unavailable("nginx (it did not start: %s)" % proc.stderr.read1(2000).decode())
        yield f"http://127.0.0.1:{port}", f"https://127.0.0.1:{tls_port}", str(ca)
    finally:
        stop(proc)


class FaultProxy(http.server.ThreadingHTTPServer):
    """Forwards GETs to an upstream server, spoiling the next `count` responses as `mode` says:
    "drop" (connection closed, no answer), "503", "ignore_range" (the whole object, 200),
    "short" (half the body), "changed" (412 to If-Match, as for an object replaced)."""

    daemon_threads = True

    def __init__(self, upstream_port):
        super().__init__(("127.0.0.1", 0), FaultHandler)
        self.upstream_port = upstream_port
        self.mode, self.count, self.requests = None, 0, 0
        self.lock = threading.Lock()

    def handle_error(self, request, client_address):
        pass  # clients that hang up on a spoiled response are part of the test

    def fault(self):
        with self.lock:
            self.requests += 1
            if self.mode is None or self.count == 0:
                return None
            self.count -= 1
            return self.mode

    def spoil(self, mode, count=10**9):
        with self.lock:
            self.mode, self.count = mode, count


class FaultHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, headers, body):
        self.send_response(status)
        for k, v in headers:
            if k.lower() not in ("content-length", "connection", "transfer-encoding"):
                self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path.startswith("/__spoil/"):
            _, _, mode, count = self.path.split("/")
            self.server.spoil(None if mode == "none" else mode, int(count))
            self.reply(200, [], b"")
            return
        fault = self.server.fault()
        if fault == "drop":
            self.close_connection = True
            return
        if fault == "503":
            self.reply(503, [], b"busy")
            return
        if fault == "changed" and "If-Match" in self.headers:
            self.reply(412, [], b"")
            return
        headers = {k: v for k, v in self.headers.items() if k.lower() in ("range", "if-match")}
        if fault == "ignore_range":
            headers.pop("Range", None)
        conn = http.client.HTTPConnection("127.0.0.1", self.server.upstream_port, timeout=10)
        try:
            conn.request("GET", self.path, headers=headers)
            resp = conn.getresponse()
            body = resp.read()
            out = resp.getheaders()
        finally:
            conn.close()
        if fault == "short":
            body = body[: len(body) // 2]
        self.reply(resp.status, out, body)


class Served:
    """A server of this file run in a process of its own (tavlo holds the interpreter's lock while
    it opens a file, so a server thread of the test's own process could not answer it)."""

    def __init__(self, kind, *args):
        self.proc = subprocess.Popen([sys.executable, __file__, kind, *map(str, args)],
                                     stdout=subprocess.PIPE, text=True)
        self.port = int(self.proc.stdout.readline())
        self.url = f"http://127.0.0.1:{self.port}"

    def get(self, path):
        with urllib.request.urlopen(self.url + path, timeout=10) as r:
            return r.read()

    def spoil(self, mode, count=10**9):
        self.get(f"/__spoil/{mode}/{count}")

    def last(self):
        return json.loads(self.get("/__last"))


@contextlib.contextmanager
def serving(kind, *args):
    served = Served(kind, *args)
    try:
        yield served
    finally:
        stop(served.proc)


class Recorder(http.server.ThreadingHTTPServer):
    """Answers every request 403 and keeps the headers of the last one."""

    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), RecordingHandler)
        self.last = None


class RecordingHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        if self.path == "/__last":
            body = json.dumps(self.server.last).encode()
            self.send_response(200)
        else:
            self.server.last = (self.path, {k.lower(): v for k, v in self.headers.items()})
            body = b""
            self.send_response(403)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


@contextlib.contextmanager
def moto_s3():
    """moto's S3 in server mode on 127.0.0.1: yields its endpoint URL."""
    try:
        import boto3  # noqa: F401
        import moto.server  # noqa: F401
    except ImportError:
        unavailable("moto[server] and boto3")
    port = free_port()
    proc = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p",
                             str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not wait_for_port(port, proc, 30):
            unavailable("moto server (it did not start)")
        yield f"http://127.0.0.1:{port}"
    finally:
        stop(proc)


if __name__ == "__main__":
    server = FaultProxy(int(sys.argv[2])) if sys.argv[1] == "proxy" else Recorder()
    print(server.server_address[1], flush=True)
    server.serve_forever()
