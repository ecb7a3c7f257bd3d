"""Tokens, TLS, read-only stores and reloads, names switched under load,
crashes during uploads, and graceful shutdown."""
import json
import os
import shutil
import signal
import ssl
import subprocess
import threading
import time

from serve_util import Server, example_request, payment_source, upload, verdane, wait_for


def versioned(limit):
    return f"name sw\nintent {{ amount: int }}\nevidence {{ ok: bool }}\nrequires {{ intent.amount <= {limit} }}\n"


def test_tokens(start, tmp_path):
    (tmp_path / "readers").write_text("reader-token\n\nsecond\n")
    (tmp_path / "admins").write_text("admin-token\n")
    s = start("--token-file", str(tmp_path / "readers"), "--admin-token-file", str(tmp_path / "admins"))
    st, headers, _ = s.request("GET", "/v1/templates")
    assert st == 401 and headers["WWW-Authenticate"] == "Bearer"
    assert s.request("GET", "/v1/templates", token="wrong")[0] == 401
    assert s.request("GET", "/v1/templates", token="reader-token")[0] == 200
    assert s.request("GET", "/v1/templates", token="second")[0] == 200
    assert s.request("GET", "/v1/templates", token="admin-token")[0] == 200
    assert upload(s, payment_source(), token="reader-token")[0] == 403
    assert upload(s, payment_source())[0] == 401
    st, body = upload(s, payment_source(), token="admin-token")
    assert st == 201
    path = f"/v1/templates/{body['template_id']}/eval"
    assert s.json("POST", path, example_request("pass"), token="reader-token")[0] == 200
    assert s.json("POST", path, example_request("pass"))[0] == 401
    # Health and metrics stay open for probes and scrapers.
    assert s.request("GET", "/health")[0] == 200
    # With tokens, any address may be listened on.
    r = Server(tmp_path / "store", "--token-file", str(tmp_path / "readers"))
    r.stop()


def test_tls(start, tmp_path):
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", str(key), "-out", str(cert)], check=True, capture_output=True)
    s = start("--tls-cert", str(cert), "--tls-key", str(key))
    assert s.url.startswith("https://127.0.0.1:")
    ctx = ssl.create_default_context(cafile=str(cert))
    st, body = upload(s, payment_source(), context=ctx)
    assert st == 201
    assert s.json("POST", f"/v1/templates/{body['template_id']}/eval", example_request("pass"),
                  context=ctx)[1]["decision"] == "pass"
    old = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    old.load_verify_locations(str(cert))
    old.maximum_version = ssl.TLSVersion.TLSv1_1  # noqa: the point of the check
    try:
        s.request("GET", "/health", context=old)
        assert False, "TLS 1.1 was accepted"
    except (ssl.SSLError, ConnectionResetError, OSError):
        pass
    r = verdane("serve", "--store", str(tmp_path), "--tls-cert", str(key), "--tls-key", str(key))
    assert r.returncode == 1 and "certificate" in r.stderr.decode()


def test_read_only_and_reload(start, tmp_path):
    # The store is filled by something else: here, the command line.
    store = tmp_path / "ro"
    store.mkdir()
    (tmp_path / "v1.policy").write_text(versioned(100))
    tid = verdane("compile", "v1.policy", "--out", "v1.bin", cwd=tmp_path, check=True).stdout.decode().split("=")[1].strip()
    shutil.copy(tmp_path / "v1.bin", store / f"{tid}.bin")
    s = start("--read-only", store=store)
    assert upload(s, payment_source())[0] == 403
    assert s.request("DELETE", f"/v1/templates/{tid}")[0] == 403
    assert s.json("PUT", "/v1/names/sw", json.dumps({"template_id": tid}))[0] == 403
    assert s.json("GET", "/health")[1]["templates"] == 1

    (store / "names.txt").write_text(f"sw {tid}\n")
    s.signal(signal.SIGHUP)
    assert wait_for(lambda: s.json("GET", "/v1/names")[1]["names"] == [{"name": "sw", "template_id": tid}])
    # A broken file: the reload fails, the old set keeps serving.
    (store / ("1" * 44 + ".bin")).write_bytes(b"garbage")
    s.signal(signal.SIGHUP)
    assert wait_for(lambda: b"verdane_store_reload_failures_total 1" in s.request("GET", "/metrics")[2])
    assert s.json("POST", "/v1/names/sw/eval", '{"intent": {"amount": 5}, "evidence": {"ok": true}}')[1]["decision"] == "pass"
    assert b"verdane_store_reloads_total 1" in s.request("GET", "/metrics")[2]
    s.stop()
    err = s.stderr()
    assert "store reload failed" in err and "1" * 44 + ".bin" in err


def test_names_switched_while_deciding(start):
    s = start("--threads", "2")
    a = upload(s, versioned(100))[1]["template_id"]
    b = upload(s, versioned(10))[1]["template_id"]
    expected = {a: "pass", b: "fail"}
    assert s.json("PUT", "/v1/names/sw", json.dumps({"template_id": a}))[0] == 201
    stop, bad, seen = threading.Event(), [], set()

    def client():
        conn = s.conn()
        n = 0
        while not stop.is_set() and n < 2000:
            st, _, data = s.request("POST", "/v1/names/sw/eval", '{"intent": {"amount": 50}, "evidence": {"ok": true}}',
                                    "application/json", conn=conn)
            answer = json.loads(data)
            seen.add(answer.get("template_id"))
            if st != 200 or expected.get(answer.get("template_id")) != answer["decision"]:
                bad.append(answer)
            n += 1

    threads = [threading.Thread(target=client) for _ in range(6)]
    for t in threads:
        t.start()
    for i in range(40):
        assert s.json("PUT", "/v1/names/sw", json.dumps({"template_id": b if i % 2 == 0 else a}))[0] == 200
        time.sleep(0.005)
    stop.set()
    for t in threads:
        t.join()
    assert not bad and seen == {a, b}


def test_kill9_during_uploads(tmp_path):
    store = tmp_path / "store"
    store.mkdir()
    s = Server(store)
    acked, names = [], {}
    done = threading.Event()

    def uploader():
        conn = s.conn()
        for i in range(100000):
            try:
                st, _, data = s.request("POST", "/v1/templates", versioned(i), "text/plain", conn=conn)
                if st != 201:
                    return
                acked.append(json.loads(data)["template_id"])
                st, _, _ = s.request("PUT", "/v1/names/sw", json.dumps({"template_id": acked[-1]}),
                                     "application/json", conn=conn)
                if st in (200, 201):
                    names["sw"] = acked[-1]
            except (OSError, ConnectionError, json.JSONDecodeError, http_errors()):
                return
        done.set()

    t = threading.Thread(target=uploader)
    t.start()
    assert wait_for(lambda: len(acked) >= 20, 30)
    s.proc.kill()
    s.proc.wait()
    t.join()
    again = Server(store)
    try:
        listed = {x["template_id"] for x in again.json("GET", "/v1/templates")[1]["templates"]}
        assert set(acked) <= listed
        assert again.json("GET", "/v1/names/sw")[1]["template_id"] in (names["sw"], *acked[-2:])
    finally:
        again.stop()


def http_errors():
    import http.client
    return http.client.HTTPException


def test_graceful_shutdown_finishes_requests_in_flight(start):
    s = start("--grace", "5")
    tid = upload(s, payment_source())[1]["template_id"]
    line = json.dumps(json.loads(example_request("pass"))).encode() + b"\n"
    # A batch in flight: half its body sent, then SIGTERM, then the rest.
    import socket
    c = socket.create_connection((s.host, s.port), timeout=10)
    c.sendall(f"POST /v1/templates/{tid}/batch HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-ndjson\r\n"
              f"Content-Length: {len(line) * 2}\r\n\r\n".encode() + line)
    time.sleep(0.2)
    idle = s.conn()
    assert s.request("GET", "/health", conn=idle)[0] == 200
    s.signal(signal.SIGTERM)
    time.sleep(0.2)
    c.sendall(line)
    got = b""
    while True:
        chunk = c.recv(65536)
        if not chunk:
            break
        got += chunk
    assert got.startswith(b"HTTP/1.1 200") and b'{"line":2,"decision":"pass"}' in got and got.endswith(b"0\r\n\r\n")
    assert s.proc.wait(10) == 0
