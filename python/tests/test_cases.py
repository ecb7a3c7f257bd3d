"""Side by side with the binary: every compile, print and eval run of the
end-to-end cases (tests/e2e/cases/*.case), done once by the verdane binary
and once through the package, must give the same exit status, stdout and
stderr. Inputs go to the package three ways: as JSON str, as bytes, and as
the dict json.loads makes of them. Runs about things the package does not
do (reading files, command-line usage) are left to the binary's own tests."""

import json
import math
from pathlib import Path

import pytest

import verdane
from helpers import REPO, error_line, eval_like_binary, load_like_binary, run_binary

CASES = sorted((REPO / "tests" / "e2e" / "cases").glob("*.case"))


def parse_case(path: Path):
    """The case's sections as (kind, argument, body lines as bytes)."""
    sections = []
    lines = path.read_bytes().split(b"\n")
    if lines[-1] == b"":
        lines.pop()  # the text after the final line feed
    for line in lines:
        if line.startswith(b"=== "):
            head = line[4:].decode()
            kind, _, arg = head.partition(" ")
            sections.append((kind, arg, []))
        elif sections:
            sections[-1][2].append(line)
    return sections


def write_files(sections, folder: Path):
    for kind, arg, lines in sections:
        if kind in ("file", "file-noeol", "hexfile"):
            (folder / arg).parent.mkdir(parents=True, exist_ok=True)
        if kind == "file":
            (folder / arg).write_bytes(b"".join(line + b"\n" for line in lines))
        elif kind == "file-noeol":
            (folder / arg).write_bytes(b"\n".join(lines))
        elif kind == "hexfile":
            (folder / arg).write_bytes(bytes.fromhex(b"".join(lines).decode()))


def run_args(lines):
    """The arguments of a run section, or None for runs of special kinds."""
    args = []
    for line in lines:
        text = line.decode("utf-8", "surrogateescape")
        if text.startswith("hex:"):
            text = bytes.fromhex(text[4:]).decode("utf-8", "surrogateescape")
        args.append(text)
    return args


FLAGS = {"explain"}


def options(args):
    """Positionals, --name value options (also --name=value) and flags."""
    positional, named = [], {}
    i = 0
    while i < len(args):
        arg = args[i]
        if arg[2:] in FLAGS:
            named[arg[2:]] = True
        elif arg.startswith("--"):
            name, eq, value = arg[2:].partition("=")
            if not eq:
                i += 1
                value = args[i] if i < len(args) else None
            named[name] = value
        else:
            positional.append(arg)
        i += 1
    return positional, named


def read_text(path: Path):
    """The file as text, or None where the binary could not read it."""
    try:
        return path.read_bytes().decode("utf-8")
    except (OSError, UnicodeDecodeError):
        return None


def loads_like_verdane(text: str):
    """json.loads, or None where it reads the text otherwise than verdane:
    non-finite numbers (verdane reads them as non-integers) and lone
    surrogate escapes (which verdane rejects)."""
    finite = True

    def parse_float(s):
        nonlocal finite
        value = float(s)
        finite = finite and math.isfinite(value)
        return value

    try:
        value = json.loads(text, parse_float=parse_float)
    except ValueError:
        return None
    try:
        json.dumps(value, ensure_ascii=False).encode()
    except UnicodeEncodeError:
        return None
    return value if finite else None


def package_runs(args, folder: Path):
    """What the package gives for one run, each way it can take the inputs;
    [] for runs it does not cover."""
    positional, named = options(args)
    known = ("out", "evidence", "intent", "check-hash", "explain", "format")
    if not positional or any(n not in known for n in named):
        return []
    command, files = positional[0], positional[1:]
    if len(files) != 1 or any(v is None for v in named.values()):
        return []
    source = folder / files[0]
    if not source.is_file():
        return []
    data = source.read_bytes()
    if command == "compile":
        if read_text(source) is None:
            return []
        try:
            tmpl = verdane.compile(data)
        except verdane.Error as e:
            return [((1, "", error_line(e)), None)]
        # The run also writes the bytecode; the check below compares it.
        return [((0, f"policy_template_id={tmpl.id}\n", ""), tmpl.bytecode)]
    if command == "print":
        try:
            return [((0, verdane.decode(data).render(), ""), None)]
        except verdane.Error as e:
            return [(((1, "", error_line(e))), None)]
    if command != "eval" or "evidence" not in named:
        return []
    tmpl = load_like_binary(data, named.get("check-hash"))
    if not isinstance(tmpl, verdane.Template):
        return [(tmpl, None)]  # before the documents are read
    intent = read_text(folder / named["intent"]) if "intent" in named else "{}"
    evidence = read_text(folder / named["evidence"])
    if intent is None or evidence is None:
        return []
    explain = named.get("explain", False)
    fmt = named.get("format", "line")
    if fmt not in ("line", "json"):
        return []
    runs = [
        eval_like_binary(tmpl, intent, evidence, explain, fmt),
        eval_like_binary(tmpl, intent.encode(), evidence.encode(), explain, fmt),
    ]
    as_dicts = loads_like_verdane(intent), loads_like_verdane(evidence)
    if all(isinstance(d, dict) for d in as_dicts):
        runs.append(eval_like_binary(tmpl, *as_dicts, explain, fmt))
    return [(run, None) for run in runs]


COMPARED = {}


@pytest.mark.parametrize("case", CASES, ids=[c.stem for c in CASES])
def test_package_does_what_the_binary_does(case, tmp_path):
    sections = parse_case(case)
    write_files(sections, tmp_path)
    compared = 0
    for kind, arg, lines in sections:
        if kind != "run" or arg:
            continue
        args = run_args(lines)
        # Before the binary runs: compile may overwrite its own output file.
        package = package_runs(args, tmp_path)
        binary = run_binary(args, tmp_path)
        if binary[0] == 2 or binary[2].startswith("failed to "):
            continue  # usage and file errors: the command line's own
        for run, bytecode in package:
            assert run == binary, f"{case.name}: {args}"
            if bytecode is not None:
                _, named = options(args)
                out = tmp_path / (named.get("out") or "out.bin")
                assert out.read_bytes() == bytecode, f"{case.name}: {args}"
            compared += 1
    COMPARED[case.stem] = compared


def test_the_comparison_covers_the_cases():
    """Guards the comparison itself: most runs must have been compared."""
    if len(COMPARED) != len(CASES):
        pytest.skip("runs only after every case")
    assert sum(COMPARED.values()) >= 200
