"""Every eval run of the end-to-end cases, decided through the service, gives
exactly the object `eval --format json` prints, plus "template_id"."""
import glob
import json
import os

from serve_util import ROOT, verdane

CASES = sorted(glob.glob(os.path.join(ROOT, "tests", "e2e", "cases", "*.case")))


def sections(text):
    out, current = [], None
    for line in text.split("\n"):
        if line.startswith("=== "):
            kind, _, arg = line[4:].partition(" ")
            current = [kind, arg, []]
            out.append(current)
        elif current is not None:
            current[2].append(line)
    for s in out:  # the body's last line feed belongs to the separator
        if s[2] and s[2][-1] == "":
            s[2].pop()
    return out


def eval_args(args):
    """(bytecode, intent, evidence, explain) of a plain eval run, else None."""
    if not args or args[0] != "eval":
        return None
    positional, opts, explain, i = None, {}, False, 1
    while i < len(args):
        a = args[i]
        if a == "--explain":
            explain = True
        elif a.startswith("--") and "=" in a:
            k, v = a.split("=", 1)
            opts[k] = v
        elif a in ("--intent", "--evidence", "--check-hash", "--format", "--jobs", "--batch"):
            if i + 1 >= len(args):
                return None
            opts[a] = args[i + 1]
            i += 1
        elif a.startswith("-") or a.startswith("hex:") or positional is not None:
            return None
        else:
            positional = a
        i += 1
    if positional is None or "--evidence" not in opts or "--batch" in opts:
        return None
    return positional, opts.get("--intent"), opts["--evidence"], explain


def collect(tmp_path):
    """Runs every case's runs in order; yields the decisions of its eval runs."""
    found = []
    for n, case in enumerate(CASES):
        d = tmp_path / f"case{n}"
        d.mkdir()
        with open(case, encoding="utf-8", errors="surrogateescape") as f:
            secs = sections(f.read())
        for kind, arg, lines in secs:
            if kind in ("file", "file-noeol"):
                p = d / arg
                p.parent.mkdir(parents=True, exist_ok=True)
                text = "\n".join(lines) + ("\n" if kind == "file" else "")
                p.write_bytes(text.encode("utf-8", errors="surrogateescape"))
            elif kind == "hexfile":
                p = d / arg
                p.parent.mkdir(parents=True, exist_ok=True)
                p.write_bytes(bytes.fromhex("".join("".join(lines).split())))
            elif kind == "run" and not arg:
                if lines and lines[0] in ("compile",):
                    verdane(*lines, cwd=d)
                parsed = eval_args(lines)
                if parsed is None:
                    continue
                bc, intent, evidence, explain = parsed
                try:
                    bytecode = (d / bc).read_bytes()
                    etext = (d / evidence).read_bytes()
                    itext = (d / intent).read_bytes() if intent else None
                except OSError:
                    continue
                cmd = ["eval", bc, "--evidence", evidence, "--format", "json"]
                if intent:
                    cmd += ["--intent", intent]
                if explain:
                    cmd.append("--explain")
                r = verdane(*cmd, cwd=d)
                out = r.stdout.decode("utf-8", errors="replace")
                if r.returncode not in (0, 1) or not out.startswith("{"):
                    continue
                body = b"{" + (b'"intent":' + itext + b"," if itext is not None else b"") + \
                    b'"evidence":' + etext + b"}"
                found.append((os.path.basename(case), bytecode, body, explain, out.rstrip("\n")))
    return found


def test_every_eval_case_decides_the_same(start, tmp_path):
    runs = collect(tmp_path)
    assert len(runs) >= 40, "too few eval runs found in the cases"
    server = start()
    conn = server.conn()
    ids = {}
    for case, bytecode, body, explain, expected in runs:
        if bytecode not in ids:
            status, _, data = server.request("POST", "/v1/templates", bytecode,
                                             "application/octet-stream", conn=conn)
            if status not in (200, 201):
                ids[bytecode] = None
                continue
            ids[bytecode] = json.loads(data)["template_id"]
        tid = ids[bytecode]
        if tid is None:
            continue
        path = f"/v1/templates/{tid}/eval" + ("?explain=true" if explain else "")
        status, _, data = server.request("POST", path, body, "application/json", conn=conn)
        assert status == 200, (case, body, data)
        want = expected[:-1] + ',"template_id":"' + tid + '"}'
        assert data.decode() == want, case
