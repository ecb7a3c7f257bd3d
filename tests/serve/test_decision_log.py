"""The decision log: what was answered is on disk, once, and survives kill -9."""
import json
import random
import signal
import threading
import time

from serve_util import example_request, payment_source, upload, verdane, wait_for


def verify(*paths):
    r = verdane("log", "verify", *map(str, paths))
    return r.returncode, r.stdout.decode()


def compact(kind):
    return json.dumps(json.loads(example_request(kind)))


def read_lines(path):
    with open(path, "rb") as f:
        return [json.loads(line) for line in f.read().splitlines()]


def test_eval_and_batch_lines(start, tmp_path):
    log = tmp_path / "decisions.log"
    s = start("--decision-log", str(log))
    _, up = upload(s, payment_source())
    tid = up["template_id"]
    st, ok = s.json("PUT", "/v1/names/payment", json.dumps({"template_id": tid}))
    assert st in (200, 201)
    st, passed = s.json("POST", f"/v1/templates/{tid}/eval", example_request("pass"))
    assert st == 200 and passed["decision"] == "pass"
    st, failed = s.json("POST", "/v1/names/payment/eval", example_request("fail"))
    assert st == 200 and failed["decision"] == "fail"
    body = compact("pass") + "\nnot json\n" + compact("fail") + "\n"
    st, _, data = s.request("POST", f"/v1/templates/{tid}/batch", body, "application/x-ndjson")
    batch = [json.loads(x) for x in data.decode().splitlines()]
    assert "decision_id" in batch[0] and "decision_id" not in batch[1] and "decision_id" in batch[2]
    lines = read_lines(log)
    assert [x["decision_id"] for x in lines] == [
        passed["decision_id"], failed["decision_id"], batch[0]["decision_id"],
        batch[2]["decision_id"]]
    first, second = lines[0], lines[1]
    assert list(first) == ["time", "decision_id", "template_id", "name", "decision", "outcomes",
                           "intent", "evidence"]
    assert first["name"] is None and second["name"] == "payment"
    assert first["outcomes"] == [] and first["intent"] == json.loads(example_request("pass"))["intent"]
    # The outcomes are eval --format json's.
    assert second["outcomes"] == failed["outcomes"]
    assert verify(log) == (0, "4 lines, 0 problems\n")
    # Without the log, answers carry no id (eval --batch's lines stay as they are).
    plain = start(store=s.store)
    st, answer = plain.json("POST", f"/v1/templates/{tid}/eval", example_request("pass"))
    assert "decision_id" not in answer


def test_omit_inputs_and_metrics(start, tmp_path):
    log = tmp_path / "d.log"
    s = start("--decision-log", str(log), "--decision-log-omit-inputs")
    tid = upload(s, payment_source())[1]["template_id"]
    for _ in range(3):
        assert s.json("POST", f"/v1/templates/{tid}/eval", example_request("fail"))[0] == 200
    for line in read_lines(log):
        assert "intent" not in line and "evidence" not in line and line["outcomes"]
    _, _, metrics = s.request("GET", "/metrics")
    assert b"verdane_decision_log_lines_total 3\n" in metrics
    assert verify(log)[0] == 0


def eval_loop(server, tid, ids, stop, count):
    """Decides over one connection until told to stop or the server is gone."""
    conn = server.conn(timeout=5)
    body = example_request("fail" if count % 2 else "pass")
    for _ in range(count):
        if stop.is_set():
            break
        try:
            conn.request("POST", f"/v1/templates/{tid}/eval", body=body.encode(),
                         headers={"Content-Type": "application/json"})
            r = conn.getresponse()
            data = r.read()
        except OSError:
            break
        except Exception:  # http.client's errors for a connection cut off
            break
        if r.status == 200:
            ids.append(json.loads(data)["decision_id"])
    conn.close()


def load(server, tid, threads, count, stop):
    ids = [[] for _ in range(threads)]
    workers = [threading.Thread(target=eval_loop, args=(server, tid, ids[i], stop, count + i))
               for i in range(threads)]
    for w in workers:
        w.start()
    return workers, ids


def test_kill_9_loses_no_answered_decision(start, tmp_path):
    log = tmp_path / "d.log"
    s = start("--decision-log", str(log), "--threads", "2")
    tid = upload(s, payment_source())[1]["template_id"]
    s.stop()
    rng = random.Random(23)
    acknowledged = []
    kills = 0
    deadline = time.time() + 40
    while kills < 25 and time.time() < deadline:
        s = start("--decision-log", str(log), "--threads", "2", store=tmp_path / "store")
        stop = threading.Event()
        workers, ids = load(s, tid, 4, 100_000, stop)
        time.sleep(rng.uniform(0.02, 0.25))
        s.proc.send_signal(signal.SIGKILL)
        s.proc.wait()
        kills += 1
        stop.set()
        for w in workers:
            w.join()
        for i in ids:
            acknowledged.extend(i)
    assert kills >= 20
    # A last start repairs what the last kill left.
    start("--decision-log", str(log), store=tmp_path / "store").stop()
    code, report = verify(log)
    assert code == 0, report
    logged = [line["decision_id"] for line in read_lines(log)]
    counts = {}
    for i in logged:
        counts[i] = counts.get(i, 0) + 1
    lost = [i for i in acknowledged if counts.get(i) != 1]
    print(f"\nkills {kills}, acknowledged {len(acknowledged)}, lines {len(logged)}, "
          f"lost {len(lost)}")
    assert len(acknowledged) > 0 and not lost


def test_torn_last_line_is_cut(start, tmp_path):
    log = tmp_path / "d.log"
    s = start("--decision-log", str(log))
    tid = upload(s, payment_source())[1]["template_id"]
    assert s.json("POST", f"/v1/templates/{tid}/eval", example_request("pass"))[0] == 200
    s.stop()
    whole = log.read_bytes()
    log.write_bytes(whole + b'{"time":"2026-')
    s = start("--decision-log", str(log), store=s.store)
    s.stop()
    assert s.stderr() == (f"decision log `{log}`: removed an incomplete last line of 14 bytes "
                          "(an interrupted write)\n")
    assert log.read_bytes() == whole


def test_disk_full_stops_deciding_until_writing_works(start, tmp_path, monkeypatch):
    log, fault = tmp_path / "d.log", tmp_path / "full"
    monkeypatch.setenv("VERDANE_DECISION_LOG_FAULT", str(fault))
    s = start("--decision-log", str(log))
    tid = upload(s, payment_source())[1]["template_id"]
    path = f"/v1/templates/{tid}/eval"
    assert s.json("POST", path, example_request("pass"))[0] == 200
    fault.touch()
    for _ in range(5):
        status, headers, _ = s.request("POST", path, example_request("pass"), "application/json")
        assert status == 503 and headers["Retry-After"] == "1"
    status, health = s.json("GET", "/health")
    assert status == 503 and health["status"] == "unavailable"
    assert len(read_lines(log)) == 1
    fault.unlink()
    assert wait_for(lambda: s.json("POST", path, example_request("pass"))[0] == 200)
    assert s.json("GET", "/health")[0] == 200
    s.stop()
    assert s.stderr() == (
        f"decision log `{log}`: writing failed: No space left on device; deciding stops until it "
        f"can be written\ndecision log `{log}`: writing works again, deciding resumes\n")
    assert verify(log)[0] == 0 and len(read_lines(log)) == 2


def test_rotation_under_load_and_sighup(start, tmp_path):
    log = tmp_path / "d.log"
    s = start("--decision-log", str(log), "--decision-log-max-bytes", "20000",
              "--decision-log-keep", "1000")
    tid = upload(s, payment_source())[1]["template_id"]
    workers, ids = load(s, tid, 4, 150, threading.Event())
    for w in workers:
        w.join()
    acknowledged = sorted(i for part in ids for i in part)
    files = sorted(tmp_path.glob("d.log*"))
    assert len(files) > 3
    assert all(f.stat().st_size <= 20000 + 4 * 2000 for f in files)
    assert verify(*files)[0] == 0
    assert sorted(line["decision_id"] for f in files for line in read_lines(f)) == acknowledged
    # SIGHUP: the file was moved away, the log goes on in a new one.
    log.rename(tmp_path / "moved")
    s.signal(signal.SIGHUP)
    time.sleep(0.3)  # the signal is handled by the server's io loop
    _, answer = s.json("POST", f"/v1/templates/{tid}/eval", example_request("pass"))
    assert [line["decision_id"] for line in read_lines(log)] == [answer["decision_id"]]


def test_full_queue_refuses_undecided(start, tmp_path):
    log = tmp_path / "d.log"
    s = start("--decision-log", str(log), "--decision-log-queue", "1", "--decision-log-wait", "0")
    tid = upload(s, payment_source())[1]["template_id"]
    refused = []

    def client():
        conn = s.conn()
        for _ in range(150):
            status, headers, data = s.request("POST", f"/v1/templates/{tid}/eval",
                                              example_request("pass"), "application/json",
                                              conn=conn)
            if status == 503:
                assert headers["Retry-After"] == "1"
                refused.append(json.loads(data)["error"])
            else:
                assert status == 200
        conn.close()

    workers = [threading.Thread(target=client) for _ in range(8)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert set(refused) <= {"the decision log is full"}
    # Refused requests were not decided: the log holds exactly the others.
    assert len(read_lines(log)) == 8 * 150 - len(refused)
    _, _, metrics = s.request("GET", "/metrics")
    assert f"verdane_decision_log_full_total {len(refused)}\n".encode() in metrics


def test_verify_finds_each_problem(tmp_path):
    good = {"time": "2026-12-09T16:34:15.000002Z", "decision_id": "a-1", "template_id": "t",
            "name": None, "decision": "pass", "outcomes": []}

    def line(**change):
        return json.dumps({**good, **change}) + "\n"

    cases = [
        (line(), None),
        (line(decision_id="a-2", time="2026-12-09T16:34:15.000001Z"), "time goes backwards"),
        (line(decision_id="a-1", time="2026-12-09T16:34:16.000000Z"), "decision_id `a-1` seen before"),
        ("{not json\n", "not well-formed JSON"),
        (line(decision_id="a-3", time="2026-12-09 16:34:16Z"), "`time` is not an RFC 3339"),
        (line(decision_id="a-4", decision="maybe"), "`decision` is not"),
        (line(decision_id="a-5", input_error="x"), "not exactly one of"),
        ('{"time": "2026-', "incomplete last line"),
    ]
    log = tmp_path / "d.log"
    log.write_text("".join(text for text, _ in cases))
    code, out = verify(log)
    expected = [f"{log}:{i + 1}: {why}" for i, (_, why) in enumerate(cases) if why]
    got = out.splitlines()
    assert code == 1 and got[-1] == f"{len(cases)} lines, {len(expected)} problems"
    assert [g[:len(e)] for g, e in zip(got, expected)] == expected
