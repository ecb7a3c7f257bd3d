#!/usr/bin/python3
"""Runs the console transcripts of README.md and docs/*.md and compares them byte for byte.

A block opened with ```console holds commands (lines starting with "$ ") each
followed by its output: stdout, then stderr, up to the next command or the end
of the block. Every command runs with bash in one temporary folder per page,
with the built verdane first on PATH, in page order; files a command writes
stay for the page's later commands. `$?` holds the previous command's exit
status, so `$ echo $?` shows it. A block opened with ```console norun is not
run. A page names the repository files its transcripts need on one line
`<!-- transcript-files: examples/a.policy examples/b.json -->`; they are copied
into the folder under their base names.

VERDANE_REGEN=1 rewrites every output from what the commands print now.
Links to other pages and to headings must lead somewhere, too.
"""

import argparse
import difflib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

FENCE_RUN = "```console"
FENCE_NORUN = "```console norun"
FILES = re.compile(r"^<!-- transcript-files:(.*)-->$")
LINK = re.compile(r"\]\(([^)\s:#]+\.md)?(?:#([^)\s]+))?\)")
TIMEOUT_SECONDS = 120


class PageError(Exception):
    pass


class Command:
    def __init__(self, line_no, text):
        self.line_no = line_no  # 1-based line of the "$ " line
        self.text = text
        self.output = []  # expected output lines, without line feeds


def parse(lines):
    """The commands of the page's run blocks, its declared files, and the count of norun blocks."""
    commands, files, norun = [], None, 0
    block = None  # None outside a block, "run" or "norun" inside one
    for i, line in enumerate(lines, 1):
        if block is None:
            m = FILES.match(line)
            if m:
                if files is not None:
                    raise PageError(f"line {i}: a second transcript-files line")
                files = m.group(1).split()
            elif line == FENCE_NORUN:
                norun += 1
                block = "norun"
            elif line == FENCE_RUN:
                block, first = "run", len(commands)
            elif line.startswith(FENCE_RUN):
                raise PageError(f"line {i}: unknown console block option: {line!r}")
        elif line == "```":
            block = None
        elif block == "norun":
            continue
        elif line.startswith("$ "):
            commands.append(Command(i, line[2:]))
        elif len(commands) == first:
            raise PageError(f"line {i}: output before the block's first command")
        else:
            commands[-1].output.append(line)
    if block is not None:
        raise PageError("a console block is not closed")
    return commands, files or [], norun


def anchors(text):
    """The anchors of a page's headings, made as the repository host makes them."""
    found = set()
    for line in text.split("\n"):
        if line.startswith("#"):
            title = line.lstrip("#").strip().lower()
            found.add(re.sub(r"[^a-z0-9 _-]", "", title).replace(" ", "-"))
    return found


def broken_links(page, text):
    """Links to pages that do not exist or to headings they do not have."""
    broken = []
    for target, anchor in LINK.findall(text):
        path = (page.parent / target) if target else page
        if not path.is_file():
            broken.append(target)
        elif anchor and anchor not in anchors(path.read_text()):
            broken.append(f"{target}#{anchor}")
    return broken


def run(command, folder, bin_dir, status):
    env = {
        "PATH": f"{bin_dir}:/usr/local/bin:/usr/bin:/bin",
        "HOME": str(folder),
        "LC_ALL": "C",
        "TZ": "UTC",
    }
    script = f"(exit {status})\n{command.text}\n"
    try:
        r = subprocess.run(["bash", "-c", script], cwd=folder, env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=TIMEOUT_SECONDS)
    except subprocess.TimeoutExpired:
        raise PageError(f"line {command.line_no}: still running after {TIMEOUT_SECONDS} s")
    return r.returncode, (r.stdout + r.stderr).decode("utf-8", "backslashreplace")


def shown(output):
    """The output as block lines, or the reason it cannot be shown in a block."""
    if output and not output.endswith("\n"):
        return None, "the output does not end with a line feed"
    lines = output.split("\n")[:-1]
    for line in lines:
        if line.startswith("$ ") or line.startswith("```"):
            return None, f"an output line cannot be shown in a block: {line!r}"
    return lines, None


def shown_path(page, root):
    return page.relative_to(root) if page.is_relative_to(root) else page


def check_page(page, root, bin_dir, regen, log):
    """Runs one page; returns (commands run, norun blocks, failures)."""
    text = page.read_text()
    lines = text.split("\n")
    commands, files, norun = parse(lines)
    broken = broken_links(page, text)
    for link in broken:
        log(f"FAIL {shown_path(page, root)}: the link ({link}) leads nowhere")
    failures = len(broken)
    if not commands:
        return 0, norun, failures
    replaced = {}  # line number of a command -> its new output lines
    with tempfile.TemporaryDirectory(prefix="verdane-docs-") as tmp:
        folder = Path(tmp)
        for name in files:
            source = root / name
            target = folder / source.name
            if not source.is_file():
                raise PageError(f"transcript file {name} does not exist")
            if target.exists():
                raise PageError(f"two transcript files are named {source.name}")
            shutil.copyfile(source, target)
        status = 0
        for c in commands:
            status, output = run(c, folder, bin_dir, status)
            got, problem = shown(output)
            where = f"{shown_path(page, root)}:{c.line_no}: $ {c.text}"
            if problem:
                log(f"FAIL {where}\n  {problem}")
                failures += 1
            elif regen:
                replaced[c.line_no] = got
            elif got != c.output:
                diff = difflib.unified_diff(c.output, got, "shown", "printed", lineterm="")
                log(f"FAIL {where}\n" + "\n".join("  " + d for d in diff))
                failures += 1
    if regen:
        for c in reversed(commands):  # from the end, so earlier line numbers stay valid
            if c.line_no in replaced:
                lines[c.line_no:c.line_no + len(c.output)] = replaced[c.line_no]
        new_text = "\n".join(lines)
        if new_text != text:
            page.write_text(new_text)
            log(f"rewrote {shown_path(page, root)}")
    return len(commands), norun, failures


def main():
    here = Path(__file__).resolve().parent
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bin-dir", default="build", help="folder holding the built verdane")
    parser.add_argument("--root", default=str(here.parent.parent), help="the repository")
    parser.add_argument("pages", nargs="*", help="pages to run (default: README.md, docs/*.md)")
    args = parser.parse_args()
    root = Path(args.root).resolve()
    bin_dir = Path(args.bin_dir).resolve()
    if not (bin_dir / "verdane").is_file():
        sys.exit(f"no verdane in {bin_dir}")
    pages = [Path(p).resolve() for p in args.pages] or \
        [root / "README.md"] + sorted((root / "docs").glob("*.md"))
    regen = bool(os.environ.get("VERDANE_REGEN"))
    start = time.monotonic()
    total = norun_total = failures = 0
    for page in pages:
        try:
            ran, norun, failed = check_page(page, root, bin_dir, regen, print)
        except PageError as e:
            print(f"FAIL {shown_path(page, root)}: {e}")
            ran, norun, failed = 0, 0, 1
        total, norun_total, failures = total + ran, norun_total + norun, failures + failed
    print(f"{len(pages)} pages, {total} commands run, {norun_total} blocks not run, "
          f"{failures} failed, {time.monotonic() - start:.1f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
