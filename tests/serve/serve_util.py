"""Starting verdane-serve on a free loopback port and talking to it."""
import http.client
import json
import os
import signal
import socket
import ssl
import subprocess
import time

VERDANE = os.environ.get("VERDANE_BINARY", "build/verdane")
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(ROOT, "examples")


class Server:
    def __init__(self, store, *args, check=True):
        self.store = str(store)
        self.args = list(args)
        self.proc = subprocess.Popen(
            [VERDANE, "serve", "--store", self.store, "--listen", "127.0.0.1:0", *self.args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("listening on "):
            err = self.proc.stderr.read().decode()
            self.proc.wait(10)
            raise RuntimeError(f"did not start: {line!r} {err!r}")
        self.url = line.split()[-1]
        self.tls = self.url.startswith("https://")
        hostport = self.url.split("//")[1]
        self.host, port = hostport.rsplit(":", 1)
        self.port = int(port)

    def conn(self, timeout=10, context=None):
        if self.tls:
            return http.client.HTTPSConnection(self.host, self.port, timeout=timeout, context=context)
        return http.client.HTTPConnection(self.host, self.port, timeout=timeout)

    def request(self, method, path, body=None, ctype=None, token=None, conn=None, context=None):
        c = conn or self.conn(context=context)
        headers = {}
        if ctype:
            headers["Content-Type"] = ctype
        if token:
            headers["Authorization"] = "Bearer " + token
        if isinstance(body, str):
            body = body.encode()
        c.request(method, path, body=body, headers=headers)
        r = c.getresponse()
        data = r.read()
        if conn is None:
            c.close()
        return r.status, dict(r.getheaders()), data

    def json(self, method, path, body=None, ctype="application/json", **kw):
        status, headers, data = self.request(method, path, body, ctype, **kw)
        return status, json.loads(data) if data else None

    def raw(self, payload, timeout=5):
        """Sends raw bytes, returns what arrives until the server closes or the timeout."""
        s = socket.create_connection((self.host, self.port), timeout=timeout)
        try:
            s.sendall(payload)
            got = b""
            while True:
                try:
                    chunk = s.recv(65536)
                except (socket.timeout, ConnectionResetError):
                    break
                if not chunk:
                    break
                got += chunk
            return got
        finally:
            s.close()

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode

    def stderr(self):
        return self.proc.stderr.read().decode()


def verdane(*args, cwd=None, check=False):
    return subprocess.run([VERDANE, *args], cwd=cwd, capture_output=True, check=check)


def upload(server, source, **kw):
    return server.json("POST", "/v1/templates", source, ctype="text/plain", **kw)


def example_request(kind):
    with open(os.path.join(EXAMPLES, f"intent_{kind}.json")) as f:
        intent = f.read()
    with open(os.path.join(EXAMPLES, "evidence.json")) as f:
        evidence = f.read()
    return '{"intent":' + intent + ',"evidence":' + evidence + "}"


def payment_source():
    with open(os.path.join(EXAMPLES, "payment.policy")) as f:
        return f.read()


def wait_for(predicate, seconds=10):
    end = time.time() + seconds
    while time.time() < end:
        if predicate():
            return True
        time.sleep(0.02)
    return False
