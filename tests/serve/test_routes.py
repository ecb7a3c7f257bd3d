"""Every route and error status, over a real loopback connection."""
import json
import os

from serve_util import EXAMPLES, example_request, payment_source, upload, verdane

PAYMENT_ID = None


def test_routes_and_statuses(start, tmp_path):
    s = start("--max-body", "4096")
    src = payment_source()
    status, body = upload(s, src)
    assert status == 201 and body["name"] == "payment"
    tid = body["template_id"]
    assert upload(s, src) == (200, body)

    # What the command line gives for the same template.
    (tmp_path / "p.policy").write_text(src)
    out = verdane("compile", "p.policy", "--out", "p.bin", cwd=tmp_path, check=True)
    assert out.stdout.decode() == f"policy_template_id={tid}\n"
    printed = verdane("print", "p.bin", cwd=tmp_path, check=True).stdout
    assert s.request("GET", f"/v1/templates/{tid}")[2] == printed
    st, headers, data = s.request("GET", f"/v1/templates/{tid}/bytecode")
    assert st == 200 and data == (tmp_path / "p.bin").read_bytes()
    assert headers["Content-Type"] == "application/octet-stream"
    assert s.json("POST", "/v1/templates", data, ctype="application/octet-stream") == (200, body)

    # Compile and bytecode errors are the command line's lines.
    bad = "name x\nintent { a: int }\nrequires { intent.b > 1 }\n"
    (tmp_path / "bad.policy").write_text(bad)
    line = verdane("compile", "bad.policy", cwd=tmp_path).stderr.decode().rstrip("\n")
    assert upload(s, bad) == (400, {"error": line})
    (tmp_path / "bad.bin").write_bytes(b"\x01\x02")
    line = verdane("print", "bad.bin", cwd=tmp_path).stderr.decode().rstrip("\n")
    assert s.json("POST", "/v1/templates", b"\x01\x02", ctype="application/octet-stream") == \
        (400, {"error": line})

    assert s.json("GET", "/v1/templates") == (200, {"templates": [{"template_id": tid, "name": "payment"}]})
    assert s.json("PUT", "/v1/names/payment", json.dumps({"template_id": tid})) == \
        (201, {"name": "payment", "template_id": tid})
    assert s.json("PUT", "/v1/names/payment", json.dumps({"template_id": tid}))[0] == 200
    assert s.json("GET", "/v1/names") == (200, {"names": [{"name": "payment", "template_id": tid}]})
    assert s.json("GET", "/v1/names/payment") == (200, {"name": "payment", "template_id": tid})
    # A name must be the template's own.
    assert s.json("PUT", "/v1/names/other", json.dumps({"template_id": tid}))[0] == 409

    for path in (f"/v1/templates/{tid}/eval", "/v1/names/payment/eval"):
        assert s.json("POST", path, example_request("pass")) == \
            (200, {"decision": "pass", "template_id": tid})
        st, answer = s.json("POST", path, example_request("fail"))
        assert st == 200 and answer["decision"] == "fail" and "explanation" not in answer["outcomes"][0]
        st, answer = s.json("POST", path + "?explain=true", example_request("fail"))
        assert st == 200 and answer["outcomes"][0]["explanation"]
    # An input error is an answer; a malformed request is 400.
    st, answer = s.json("POST", "/v1/names/payment/eval", '{"evidence": {}}')
    assert st == 200 and "input_error" in answer
    assert s.json("POST", "/v1/names/payment/eval", '{"evidence": ')[0] == 400
    assert s.json("POST", "/v1/names/payment/eval", '[1]') == (400, {"error": "a request must be a JSON object"})
    assert s.json("POST", "/v1/names/payment/eval?verbose=1", example_request("pass"))[0] == 400

    # Batch: exactly eval --batch's lines.
    want = verdane("eval", "p.bin", "--batch", os.path.join(EXAMPLES, "requests.jsonl"), cwd=tmp_path).stdout
    with open(os.path.join(EXAMPLES, "requests.jsonl"), "rb") as f:
        lines = f.read()
    for path in (f"/v1/templates/{tid}/batch", "/v1/names/payment/batch"):
        st, headers, data = s.request("POST", path, lines, "application/x-ndjson")
        assert st == 200 and data == want and headers["Transfer-Encoding"] == "chunked"
    # A line longer than the limit ends the stream with a line saying so.
    st, _, data = s.request("POST", "/v1/names/payment/batch", lines + b"x" * 5000 + b"\n", "application/x-ndjson")
    assert st == 200 and data.startswith(want) and b"line longer than 4096 bytes" in data

    # Errors.
    unknown = "1" * 44
    cases = [
        ("GET", "/nope", None, None, 404),
        ("GET", "/v1/templates/" + unknown, None, None, 404),
        ("GET", "/v1/templates/not-an-id!", None, None, 404),
        ("POST", "/v1/names/nobody/eval", "{}", "application/json", 404),
        ("DELETE", "/v1/names/nobody", None, None, 404),
        ("PUT", "/v1/names/payment", json.dumps({"template_id": unknown}), "application/json", 404),
        ("PUT", "/v1/names/payment", "{}", "application/json", 400),
        ("PUT", "/v1/names/payment", "{}", "text/plain", 415),
        ("POST", "/v1/templates", src, "application/json", 415),
        ("POST", f"/v1/templates/{tid}/eval", example_request("pass"), "text/plain", 415),
        ("POST", f"/v1/templates/{tid}/batch", "", "image/png", 415),
        ("POST", f"/v1/templates/{tid}/eval", "{" + " " * 5000 + "}", "application/json", 413),
        ("DELETE", f"/v1/templates/{tid}", None, None, 409),
    ]
    for method, path, data, ctype, want_status in cases:
        st, headers, answer = s.request(method, path, data, ctype)
        assert st == want_status, (method, path, answer)
        assert set(json.loads(answer)) == {"error"}, (method, path)
        assert headers["Content-Type"] == "application/json"
    for method, path, allow in [("DELETE", "/v1/templates", "GET, POST"), ("GET", f"/v1/templates/{tid}/eval", "POST"),
                                ("POST", "/health", "GET"), ("PATCH", "/v1/names/payment", "GET, PUT, DELETE")]:
        st, headers, _ = s.request(method, path)
        assert st == 405 and headers["Allow"] == allow

    assert s.request("DELETE", "/v1/names/payment")[0] == 204
    assert s.request("DELETE", f"/v1/templates/{tid}")[0] == 204
    assert s.json("GET", "/health") == (200, {"status": "ok", "templates": 0})
    st, headers, text = s.request("GET", "/metrics")
    text = text.decode()
    assert st == 200 and headers["Content-Type"].startswith("text/plain")
    for needle in ('verdane_requests_total{route="eval",status="200"} 7',
                   'verdane_decisions_total{result="pass"}', 'verdane_decisions_total{result="input_error"}',
                   "verdane_request_duration_seconds_bucket{le=\"+Inf\"}", "verdane_open_connections ",
                   "verdane_store_reloads_total 0", "verdane_store_reload_failures_total 0",
                   'verdane_requests_total{route="name_get",status="200"} 1', 'verdane_requests_total{route="eval",status="415"} 1'):
        assert needle in text, needle
    assert s.stop() == 0


def test_start_errors(tmp_path):
    store = tmp_path / "store"
    store.mkdir()
    (store / "names.txt").write_text("payment 11111111111111111111111111111111\n")
    r = verdane("serve", "--store", str(store), "--listen", "127.0.0.1:0")
    assert r.returncode == 1 and r.stderr.decode().count("\n") == 1 and "names.txt" in r.stderr.decode()
    (store / "names.txt").unlink()
    (store / "3tAGJTRsMVvQ3qRu2uNXgTkAcqXJG1hVjBoH8Ku5ZGpT.bin").write_bytes(b"\x01")
    r = verdane("serve", "--store", str(store), "--listen", "127.0.0.1:0")
    assert r.returncode == 1 and "3tAGJTRsMVvQ3qRu2uNXgTkAcqXJG1hVjBoH8Ku5ZGpT.bin" in r.stderr.decode()
    assert verdane("serve", "--listen", "127.0.0.1:0").returncode == 2
    assert verdane("serve", "--store", str(store), "--threads", "0").returncode == 2
    # Without a token file only loopback is allowed.
    r = verdane("serve", "--store", str(tmp_path), "--listen", "0.0.0.0:0")
    assert r.returncode == 2 and "loopback" in r.stderr.decode()


def test_batch_streams_in_bounded_memory(start):
    s = start()
    tid = upload(s, payment_source())[1]["template_id"]
    line = json.dumps(json.loads(example_request("pass"))).encode() + b"\n"
    count = 30_000_000 // len(line)

    def body():
        piece = line * 1000
        for _ in range(count // 1000):
            yield piece

    conn = s.conn(timeout=60)
    conn.request("POST", f"/v1/templates/{tid}/batch", body=body(),
                 headers={"Content-Type": "application/x-ndjson", "Transfer-Encoding": "chunked"},
                 encode_chunked=True)
    r = conn.getresponse()
    lines = 0
    while True:
        chunk = r.read(1 << 16)
        if not chunk:
            break
        lines += chunk.count(b"\n")
    assert r.status == 200 and lines == count // 1000 * 1000
    if os.environ.get("VERDANE_SANITIZED"):
        return  # sanitizer shadow memory makes a peak-memory bound meaningless
    with open(f"/proc/{s.proc.pid}/status") as f:
        peak_kib = int(next(l for l in f if l.startswith("VmHWM")).split()[1])
    assert peak_kib < 48 * 1024, f"peak RSS {peak_kib} KiB for a 30 MB batch"
