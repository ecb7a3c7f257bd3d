"""Running the verdane binary, and doing what it does through the package."""

import datetime
import json
import os
import subprocess
from pathlib import Path
from typing import Optional, Tuple

import verdane

REPO = Path(__file__).resolve().parents[2]
BINARY = Path(os.environ.get("VERDANE_BINARY") or REPO / "build" / "verdane")

# (exit status, stdout, stderr) of one run.
Run = Tuple[int, str, str]


def run_binary(args, cwd) -> Run:
    done = subprocess.run([str(BINARY), *args], cwd=cwd, capture_output=True, check=False)
    return (
        done.returncode,
        done.stdout.decode("utf-8", "surrogateescape"),
        done.stderr.decode("utf-8", "surrogateescape"),
    )


def error_line(error: Exception) -> str:
    """An exception as the binary's one line on stderr."""
    return str(error).replace("\n", "\\n").replace("\r", "\\r") + "\n"


def decision_run(decision: verdane.Decision, fmt: str = "line") -> Run:
    out = decision.to_json() + "\n" if fmt == "json" else decision.report()
    return (0 if decision else 1, out, "")


def load_like_binary(bytecode: bytes, check_hash: Optional[str] = None):
    """The first steps of `verdane eval` through the package: decoding and
    checking the id. The template, or the failed run."""
    try:
        tmpl = verdane.decode(bytecode)
        if check_hash is not None:
            expected = verdane.parse_id(check_hash)
            if expected != verdane.parse_id(tmpl.id):
                return (1, "", f"bytecode hash mismatch: expected {check_hash}, got {tmpl.id}\n")
        return tmpl
    except verdane.IdError as e:
        return (1, "", f"invalid --check-hash: {e}\n")
    except verdane.Error as e:
        return (1, "", error_line(e))


def eval_like_binary(tmpl: verdane.Template, intent, evidence, explain=False, fmt="line") -> Run:
    """The rest of `verdane eval`, from the documents' contents on."""
    try:
        return decision_run(tmpl.evaluate(intent, evidence, explain=explain), fmt)
    except verdane.Error as e:
        return (1, "", error_line(e))


def reference_json(value) -> str:
    """The JSON document a Python value stands for, written independently of
    the package: sets as arrays sorted by their elements' JSON texts, dates as
    "YYYY-MM-DD" strings."""

    def default(v):
        if isinstance(v, (set, frozenset)):
            return [json.loads(t) for t in sorted(reference_json(e) for e in v)]
        if isinstance(v, datetime.date) and not isinstance(v, datetime.datetime):
            return f"{v.year:04d}-{v.month:02d}-{v.day:02d}"
        raise TypeError(type(v).__name__)

    return json.dumps(
        value, default=default, ensure_ascii=False, allow_nan=False, separators=(",", ":")
    )
