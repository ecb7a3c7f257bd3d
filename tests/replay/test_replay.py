"""`verdane replay` as a process: decision logs decided again under another template.

The logs here are written the way the service writes its lines (the members
in the same order, the decision as `eval --format json` has it), from
`eval --batch` answers; one test replays a log a real service session wrote.
What replay must report is computed here from the old answers alone."""
import json
import os
import random
import subprocess
import sys

import pytest

VERDANE = os.environ.get("VERDANE_BINARY", "build/verdane")
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(ROOT, "examples")
TEMPLATE_ID = "9e5VwHmPaCEb9J9LYiffU744Snn8hUarJ8KQAEhTQozX"  # examples/payment.policy
KINDS = ["pass -> fail", "fail -> pass", "fail -> fail, other constraints", "input_error changed"]

with open(os.path.join(EXAMPLES, "payment.policy")) as f:
    PAYMENT = f.read()
# The five constraints as written, one per line of the requires block.
REQUIRES = PAYMENT[PAYMENT.index("requires {"):]


def run(*args, check=None):
    p = subprocess.run([VERDANE, *map(str, args)], capture_output=True, text=True, timeout=120)
    if check is not None:
        assert p.returncode == check, (p.returncode, p.stdout, p.stderr)
    return p


def compile_source(tmp_path, name, source):
    (tmp_path / f"{name}.policy").write_text(source)
    out = tmp_path / f"{name}.bin"
    run("compile", tmp_path / f"{name}.policy", "--out", out, check=0)
    return out


def negated(k):
    """payment.policy with its constraint k (0 to 3) negated."""
    lines = PAYMENT.split("\n")
    at = [i for i, l in enumerate(lines) if l.startswith("  ") and not l.startswith("  #")
          and lines.index("requires {") < i][k]
    body = lines[at].strip().rstrip(";")
    lines[at] = f"  not ({body});"
    return "\n".join(lines)


def random_requests(rng, n):
    out = []
    for _ in range(n):
        intent = {"amount": rng.choice([rng.randint(-5, 2000), rng.randint(1, 300)]),
                  "currency": rng.choice(["EUR", "CHF", "USD", "JPY"]),
                  "payee": rng.choice(["ACME Corp", "Globex", "Shady Ltd", "Caf\u00e9 \"Z\""]),
                  "execute_on": "20%02d-%02d-%02d" % (rng.choice([23, 24, 25]), rng.randint(1, 12),
                                                      rng.randint(1, 28))}
        if rng.random() < 0.4:
            intent["daily_limit"] = rng.randint(0, 3000)
        evidence = {"balance": rng.randint(0, 3000), "fee": rng.randint(0, 20),
                    "blocked_payees": ["Shady Ltd"], "cutoff": "2024-12-31"}
        r = rng.random()
        if r < 0.05:
            intent["amount"] = str(intent["amount"])  # an input error
        elif r < 0.08:
            evidence["fee"] = -9223372036854775807  # the balance check errors (overflow)
        elif r < 0.1:
            del intent["payee"]
        out.append({"intent": intent, "evidence": evidence})
    return out


def decide(bytecode, requests, tmp_path):
    """The answers of `eval --batch`, in order."""
    path = tmp_path / "requests.jsonl"
    path.write_text("".join(json.dumps(r) + "\n" for r in requests))
    p = run("eval", bytecode, "--batch", path)
    answers = [json.loads(l) for l in p.stdout.splitlines()]
    assert len(answers) == len(requests)
    for a in answers:
        del a["line"]
    return answers


def log_line(i, answer, request, template_id=TEMPLATE_ID, inputs=True, prefix="18f2c3a9b1d2e7c41"):
    line = {"time": "2026-12-09T16:%02d:%02d.%06dZ" % (i // 3600 % 60, i // 60 % 60, i % 1000000),
            "decision_id": f"{prefix}-{i + 1}", "template_id": template_id, "name": "payment"}
    line.update(answer)
    if answer["decision"] == "pass":
        line["outcomes"] = []
    if inputs:
        line["intent"] = request["intent"]
        line["evidence"] = request["evidence"]
    return json.dumps(line, separators=(",", ":"), ensure_ascii=False) + "\n"


def write_log(path, answers, requests, **kw):
    path.write_text("".join(log_line(i, a, r, **kw) for i, (a, r) in enumerate(zip(answers, requests))))
    return path


def summary(p):
    lines = p.stdout.splitlines()
    counts = {}
    examples = {k: [] for k in KINDS}
    for l in lines:
        if l.startswith("example "):
            kind, rest = l[len("example "):].split(": decision_id=")
            examples[kind].append(rest)
        else:
            words, n = l.rsplit(" ", 1) if not l.startswith("not replayable") else (
                "not replayable", l.split()[2])
            counts[words] = int(n)
    return counts, examples, lines


def expected_kind(old, k, negated_expression):
    """What replay must say for an old answer when constraint k is negated."""
    if "input_error" in old:
        return None
    outs = {(o["expression"], o["outcome"]) for o in old.get("outcomes", [])}
    mine = [o for o in old.get("outcomes", []) if o["index"] == k]
    new = {x for x in outs if not mine or x != (mine[0]["expression"], mine[0]["outcome"])}
    if not mine:
        new.add((negated_expression, "failed"))
    elif mine[0]["outcome"] == "errored":
        new.add((negated_expression, "errored"))
    was_pass, now_pass = not outs, not new
    if was_pass and not now_pass:
        return "pass -> fail"
    if not was_pass and now_pass:
        return "fail -> pass"
    return None if outs == new else "fail -> fail, other constraints"


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("corpus")
    rng = random.Random(27)
    requests = random_requests(rng, 400)
    v1 = compile_source(tmp, "payment", PAYMENT)
    answers = decide(v1, requests, tmp)
    log = write_log(tmp / "decisions.log", answers, requests)
    return tmp, requests, answers, v1, log


def test_the_template_that_wrote_the_log_changes_nothing(corpus, tmp_path):
    tmp, requests, answers, v1, log = corpus
    for jobs in ("1", "2"):
        p = run("replay", log, "--template", v1, "--jobs", jobs, "--changes", tmp_path / "c.jsonl",
                check=0)
        assert p.stdout == (
            "lines 400\nreplayed 400\n"
            "not replayable 0 (inputs omitted 0, other template 0, incomplete last line 0, bad line 0)\n"
            "unchanged 400\npass -> fail 0\nfail -> pass 0\nfail -> fail, other constraints 0\n"
            "input_error changed 0\n")
        assert p.stderr == ""
        assert (tmp_path / "c.jsonl").read_text() == ""
    # Moving every constraint down one place changes no answer: constraints
    # are matched by their text.
    moved = compile_source(tmp_path, "moved", PAYMENT.replace("requires {", "requires {\n  1 == 1;"))
    p = run("replay", log, "--template", moved, check=0)
    assert "unchanged 400\n" in p.stdout


@pytest.mark.parametrize("k", [0, 1, 2, 3])
def test_a_negated_constraint_flips_exactly_the_expected_decisions(corpus, tmp_path, k):
    tmp, requests, answers, v1, log = corpus
    v2 = compile_source(tmp_path, "negated", negated(k))
    new_answers = decide(v2, requests, tmp_path)
    # The negated constraint's canonical text, from the new template's answers.
    negated_expression = next(o["expression"] for a in new_answers for o in a.get("outcomes", [])
                              if o["index"] == k)
    assert negated_expression.startswith("(not ")
    expected = [expected_kind(a, k, negated_expression) for a in answers]
    changes = tmp_path / "changes.jsonl"
    p = run("replay", log, "--template", v2, "--changes", changes)
    counts, examples, _ = summary(p)
    assert p.returncode == (1 if any(expected) else 0)
    for kind in KINDS:
        ids = [f"18f2c3a9b1d2e7c41-{i + 1}" for i, e in enumerate(expected) if e == kind]
        assert counts[kind] == len(ids), kind
        assert examples[kind] == ids[:10], kind
    assert counts["unchanged"] == expected.count(None)
    assert counts["pass -> fail"] + counts["fail -> pass"] > 0
    # Each changed decision once, in log order, with both answers as eval gives them.
    got = [json.loads(l) for l in changes.read_text().splitlines()]
    want = [i for i, e in enumerate(expected) if e]
    assert [c["decision_id"] for c in got] == [f"18f2c3a9b1d2e7c41-{i + 1}" for i in want]
    for c, i in zip(got, want):
        assert c["old"] == answers[i] and c["new"] == new_answers[i]
        assert list(c) == ["decision_id", "time", "old", "new"]
        assert c["time"] == json.loads(log_line(i, answers[i], requests[i]))["time"]


def test_rotated_files_are_read_in_the_order_given(corpus, tmp_path):
    tmp, requests, answers, v1, log = corpus
    v2 = compile_source(tmp_path, "negated", negated(1))
    whole = run("replay", log, "--template", v2, "--format", "json")
    lines = log.read_text().splitlines(keepends=True)
    parts = [tmp_path / "decisions.log.2", tmp_path / "decisions.log.1", tmp_path / "decisions.log"]
    for path, chunk in zip(parts, (lines[:150], lines[150:151], lines[151:])):
        path.write_text("".join(chunk))
    split = run("replay", *parts, "--template", v2, "--format", "json")
    assert (split.returncode, split.stdout) == (whole.returncode, whole.stdout)
    assert json.loads(split.stdout)["lines"] == 400
    # Another order gives the examples in that order.
    backwards = json.loads(run("replay", *parts[::-1], "--template", v2, "--format", "json").stdout)
    forwards = json.loads(split.stdout)
    assert backwards["fail_to_fail_other_constraints"] == forwards["fail_to_fail_other_constraints"]
    assert backwards["examples"] != forwards["examples"]
    # A bad line is named by its own file and its line in that file.
    parts[1].write_text(lines[150].replace('"decision"', '"decisoin"'))
    p = run("replay", *parts, "--template", v2, check=1)
    assert p.stderr == f"{parts[1]}:1: `decision` is not \"pass\" or \"fail\"\n"
    assert p.stdout == ""


def test_an_incomplete_last_line_is_not_replayed(corpus, tmp_path):
    tmp, requests, answers, v1, log = corpus
    lines = log.read_text().splitlines(keepends=True)
    a, b = tmp_path / "decisions.log.1", tmp_path / "decisions.log"
    a.write_text("".join(lines[:10]) + lines[10][:-40])  # a write cut short
    b.write_text("".join(lines[11:20]) + lines[20][:-1])  # the line feed missing
    p = run("replay", a, b, "--template", v1, check=0)
    counts, _, out = summary(p)
    assert out[2] == ("not replayable 2 (inputs omitted 0, other template 0, "
                      "incomplete last line 2, bad line 0)")
    assert (counts["lines"], counts["replayed"], counts["unchanged"]) == (21, 19, 19)
    assert p.stderr == ""


def test_lines_of_another_template_and_without_inputs(corpus, tmp_path):
    tmp, requests, answers, v1, log = corpus
    other = "5h6ijyE5LCpeNWnTHbKzP5DMH7Ppeq9UVmGr2DBmsJea"
    mixed = tmp_path / "mixed.log"
    mixed.write_text("".join(
        log_line(i, a, r, template_id=other if i % 4 == 1 else TEMPLATE_ID, inputs=i % 4 != 3)
        for i, (a, r) in enumerate(zip(answers, requests))))
    # Without --only every line with inputs is decided by the new template.
    p = run("replay", mixed, "--template", v1, check=0)
    assert p.stdout.splitlines()[1:4] == [
        "replayed 300",
        "not replayable 100 (inputs omitted 100, other template 0, incomplete last line 0, bad line 0)",
        "unchanged 300"]
    p = run("replay", mixed, "--template", v1, "--only", TEMPLATE_ID, "--format", "json", check=0)
    s = json.loads(p.stdout)
    assert (s["replayed"], s["not_replayable"]) == (200, 200)
    assert s["not_replayable_reasons"] == {"inputs_omitted": 100, "other_template": 100,
                                           "incomplete_last_line": 0, "bad_line": 0}
    p = run("replay", mixed, "--template", v1, "--only", other, check=0)
    assert "replayed 100\n" in p.stdout


def test_a_bad_line_stops_the_run_unless_skipped(corpus, tmp_path):
    tmp, requests, answers, v1, log = corpus
    lines = log.read_text().splitlines(keepends=True)
    bad = tmp_path / "bad.log"
    bad.write_text("".join(lines[:5]) + "{\"time\": oops\n" + "".join(lines[5:9]) + "[1]\n" +
                   lines[9].replace('"2026-', '"26-'))
    v2 = compile_source(tmp_path, "negated", negated(1))
    changes = tmp_path / "changes.jsonl"
    p = run("replay", bad, "--template", v2, "--changes", changes, check=1)
    assert (p.stdout, p.stderr) == ("", f"{bad}:6: not well-formed JSON\n")
    # What was found before the bad line is written.
    assert all(json.loads(l)["decision_id"] in {f"18f2c3a9b1d2e7c41-{i}" for i in range(1, 6)}
               for l in changes.read_text().splitlines())
    p = run("replay", bad, "--template", v1, "--skip-bad-lines", check=0)
    assert p.stderr == (f"{bad}:6: not well-formed JSON (skipped)\n"
                        f"{bad}:11: not a JSON object (skipped)\n"
                        f"{bad}:12: `time` is not an RFC 3339 UTC time with microseconds (skipped)\n")
    assert p.stdout.splitlines()[:3] == [
        "lines 12", "replayed 9",
        "not replayable 3 (inputs omitted 0, other template 0, incomplete last line 0, bad line 3)"]


@pytest.mark.parametrize("text, problem", [
    ('{"time":"2026-12-09T16:34:15.123456Z","decision_id":"a-1","template_id":"x","name":null,'
     '"decision":"pass","outcomes":[],"intent":{}}', "`intent` without `evidence`"),
    ('{"time":"2026-12-09T16:34:15.123456Z","decision_id":"a-1","template_id":"x","name":null,'
     '"decision":"fail","outcomes":[{"index":0}]}',
     "`outcomes` holds an entry without `index`, `outcome` and `expression`"),
    ('{"time":"2026-12-09T16:34:15.123456Z","decision_id":"a-1","template_id":"x","name":null,'
     '"decision":"fail","outcomes":[],"input_error":"x"}',
     "not exactly one of `outcomes` and `input_error`"),
    ('{"time":"2026-12-09T16:34:15.123456Z","decision_id":"a-1","template_id":"x","name":null,'
     '"decision":"pass","outcomes":[],"intent":{"amount":},"evidence":{}}',
     "`intent` or `evidence` is not JSON: expected a JSON value"),
    ('{"time":"2026-12-09T16:34:15.123456Z","decision_id":"a-1","template_id":"x","name":null,'
     '"decision":"pass","outcomes":[]} x', "not well-formed JSON"),
    ('{"time":"2026-12-09T16:34:15.123456Z","decision_id":"a-\xff","template_id":"x",'
     '"name":null,"decision":"pass","outcomes":[]}', "not well-formed JSON"),
    ("", "not well-formed JSON"),
])
def test_the_problem_of_a_bad_line(corpus, tmp_path, text, problem):
    tmp, requests, answers, v1, log = corpus
    bad = tmp_path / "bad.log"
    bad.write_bytes(text.encode("utf-8", "surrogateescape").replace(b"\xc3\xbf", b"\xff") + b"\n")
    p = run("replay", bad, "--template", v1, check=1)
    assert p.stderr == f"{bad}:1: {problem}\n"


def test_jobs_give_the_same_output(corpus, tmp_path):
    tmp, requests, answers, v1, log = corpus
    # Enough lines for many pieces of the file in flight at once.
    big = tmp_path / "big.log"
    text = log.read_text()
    big.write_text(text * 8 + "not json\n" + text)
    v2 = compile_source(tmp_path, "negated", negated(0))
    runs = []
    for jobs in ("1", "2", "3"):
        for extra in ([], ["--skip-bad-lines"]):
            changes = tmp_path / f"changes{jobs}{len(extra)}.jsonl"
            p = run("replay", big, "--template", v2, "--jobs", jobs, "--changes", changes, *extra)
            runs.append((len(extra), p.returncode, p.stdout, p.stderr, changes.read_text()))
    for r in runs[2:]:
        assert r == runs[r[0]]
    assert runs[0][3] == f"{big}:3201: not well-formed JSON\n"
    assert runs[1][2].startswith("lines 3601\n")


@pytest.mark.parametrize("args, message", [
    ([], "at least one decision log is required"),
    (["x.log"], "the argument '--template' is required"),
    (["x.log", "--template", "t.bin", "--jobs", "0"], "invalid value '0' for '--jobs': expected 1 to 256"),
    (["x.log", "--template", "t.bin", "--only", "nope!"], "invalid value 'nope!' for '--only'"),
    (["x.log", "--template", "t.bin", "--format", "yaml"], "invalid value 'yaml' for '--format'"),
    (["x.log", "--template", "t.bin", "--bogus"], "unexpected argument '--bogus'"),
    (["x.log", "--template"], "a value is required for '--template' but none was supplied"),
])
def test_usage_errors(args, message):
    p = run("replay", *args, check=2)
    assert p.stderr.startswith("error: " + message)
    assert "Usage: verdane replay <LOG>... --template <NEW_BYTECODE>" in p.stderr


def test_help_and_unreadable_files(tmp_path, corpus):
    tmp, requests, answers, v1, log = corpus
    assert run("replay", "--help", check=0).stdout.startswith("Decide the requests of decision logs")
    p = run("replay", tmp_path / "missing.log", "--template", v1, check=1)
    assert p.stderr == f"failed to read decision log `{tmp_path}/missing.log`: No such file or directory (os error 2)\n"
    p = run("replay", log, "--template", tmp_path / "missing.bin", check=1)
    assert p.stderr.startswith("failed to read bytecode")


@pytest.mark.skipif(not os.environ.get("VERDANE_SERVE"), reason="verdane-serve not built")
def test_a_log_the_service_wrote(tmp_path):
    sys.path.insert(0, os.path.join(ROOT, "tests", "serve"))
    from serve_util import Server
    store = tmp_path / "store"
    store.mkdir()
    log = tmp_path / "decisions.log"
    server = Server(store, "--decision-log", str(log), "--decision-log-sync", "none")
    try:
        status, body = server.json("POST", "/v1/templates", PAYMENT, ctype="text/plain")
        assert status == 201, body
        assert server.json("PUT", "/v1/names/payment", json.dumps({"template_id": TEMPLATE_ID}))[0] == 201
        evidence = open(os.path.join(EXAMPLES, "evidence.json")).read()
        intent = open(os.path.join(EXAMPLES, "intent_fail.json")).read()
        bodies = [
            f'{{"intent": {intent}, "evidence": {evidence}}}',
            f'{{"evidence": {evidence}}}',  # no intent: the empty one
            f'{{"intent": null, "evidence": {evidence}}}',
            f'{{"intent": 5, "evidence": {evidence}}}',
            f'{{"intent": {{"amount": 1.50}}, "evidence": {evidence}}}',
            f'{{"intent": {{"amount": 1}}, "evidence": {evidence}, "intent": {intent}}}',  # twice
        ]
        for b in bodies:
            assert server.json("POST", "/v1/names/payment/eval", b)[0] == 200
        assert server.json("POST", f"/v1/templates/{TEMPLATE_ID}/eval?explain=true", bodies[0])[0] == 200
    finally:
        server.stop()
    v1 = compile_source(tmp_path, "payment", PAYMENT)
    p = run("replay", log, "--template", v1, check=0)
    assert "lines 7\nreplayed 7\n" in p.stdout and "unchanged 7\n" in p.stdout
    # The request without an intent is logged with the empty one it stands for.
    assert json.loads(log.read_text().splitlines()[1])["intent"] == {}
    # Every line the service wrote passes the log's own check.
    assert run("log", "verify", log, check=0).stdout == "7 lines, 0 problems\n"


def test_a_log_written_otherwise_reads_the_same(corpus, tmp_path):
    """Lines as any JSON writer may write them: spaced out, members in another
    order, non-ASCII text escaped, an explanation, unknown members."""
    tmp, requests, answers, v1, log = corpus
    v2 = compile_source(tmp_path, "negated", negated(2))
    other = tmp_path / "other.log"
    with open(other, "w") as f:
        for line in log.read_text().splitlines():
            d = json.loads(line)
            for o in d.get("outcomes", []):
                o["explanation"] = [["intent.payee", "\"x\""]]
            d["note"] = {"a": [1, {"b": "}"}]}
            f.write(json.dumps(dict(reversed(list(d.items()))), ensure_ascii=True) + "\n")
    outputs = []
    for path in (log, other):
        changes = tmp_path / "changes.jsonl"
        p = run("replay", path, "--template", v2, "--changes", changes, "--jobs", "2")
        outputs.append((p.returncode, p.stdout, p.stderr, changes.read_text()))
    assert outputs[0] == outputs[1]
    assert outputs[0][0] == 1


def test_a_summary_that_cannot_be_written_is_an_error(corpus):
    tmp, requests, answers, v1, log = corpus
    with open("/dev/full", "w") as full:
        p = subprocess.run([VERDANE, "replay", str(log), "--template", str(v1)], stdout=full,
                           stderr=subprocess.PIPE, text=True, timeout=60)
    assert p.returncode == 1
    assert p.stderr.startswith("failed to write stdout: ")


def test_a_log_that_cannot_be_read_ends_the_run_the_same_whatever_the_jobs(tmp_path):
    """What the logs before it gave (notes, changes) is still reported."""
    rng = random.Random(31)
    requests = random_requests(rng, 40)
    v1 = compile_source(tmp_path, "v1", PAYMENT)
    v2 = compile_source(tmp_path, "v2", negated(0))
    log = write_log(tmp_path / "a.log", decide(v1, requests, tmp_path), requests)
    with open(log, "a") as f:
        f.write("not a log line\n")
    unreadable = tmp_path / "folder.log"
    unreadable.mkdir()
    seen = []
    for jobs in (1, 2, 4):
        changes = tmp_path / f"changes{jobs}.jsonl"
        p = run("replay", log, unreadable, "--template", v2, "--skip-bad-lines", "--jobs", jobs,
                "--changes", changes)
        seen.append((p.returncode, p.stdout, p.stderr, changes.read_text()))
    code, _, err, changed = seen[0]
    assert code != 0 and "a.log:41:" in err and "failed to read decision log" in err
    assert changed
    assert seen[1:] == [seen[0]] * 2
