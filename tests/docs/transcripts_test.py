#!/usr/bin/python3
"""The transcript runner on small pages: one that matches, one whose output is wrong, and its
regeneration. Usage: transcripts_test.py BIN_DIR (the folder holding the built verdane)."""

import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

RUNNER = Path(__file__).resolve().parent / "transcripts.py"
BIN_DIR = sys.argv.pop(1) if len(sys.argv) > 1 else "build"

POLICY = "name t\nevidence {\n  n: int\n}\nrequires {\n  evidence.n > 0\n}\n"

# Declared files are copied, files written by a command stay for the next block,
# `$?` is the previous command's status, stderr follows stdout, norun blocks are skipped,
# and every link leads to a page and a heading that exist.
PASSING = """# A page

Links to [a page](other.md), [its heading](other.md#the-other-page) and [a heading](#text-between-blocks).
<!-- transcript-files: files/t.policy files/e.json -->

```console
$ verdane compile t.policy
policy_template_id=BxpYwhoSUQXttzKPjNhdEcAakPcJXqdA8XybwEjAhBvR
```

## Text between blocks

```console
$ verdane eval out.bin --evidence e.json
decision=fail
constraint[0] failed: (evidence.n > 0) (constraint evaluated to False)
$ echo $?
1
$ echo out; echo err >&2; echo more
out
more
err
```

```console norun
$ verdane something that is not run
anything
```
"""

WRONG = PASSING.replace("decision=fail\n", "decision=pass\n").replace("$ echo $?\n1", "$ echo $?\n0")


def write(root, name, text):
    path = root / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return path


class Runner(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = Path(self.tmp.name)
        write(self.root, "files/t.policy", POLICY)
        write(self.root, "files/e.json", '{"n": 0}\n')
        write(self.root, "other.md", "# The other page\n")

    def tearDown(self):
        self.tmp.cleanup()

    def run_pages(self, *pages, regen=False):
        env = dict(os.environ)
        env.pop("VERDANE_REGEN", None)
        if regen:
            env["VERDANE_REGEN"] = "1"
        r = subprocess.run(["/usr/bin/python3", str(RUNNER), "--bin-dir", BIN_DIR,
                            "--root", str(self.root), *map(str, pages)],
                           env=env, capture_output=True, text=True, timeout=120)
        return r.returncode, r.stdout

    def test_a_matching_page_passes(self):
        page = write(self.root, "ok.md", PASSING)
        status, out = self.run_pages(page)
        self.assertEqual(status, 0, out)
        self.assertIn("1 pages, 4 commands run, 1 blocks not run, 0 failed", out)
        self.assertEqual(page.read_text(), PASSING)

    def test_a_wrong_output_fails_with_its_place_and_difference(self):
        page = write(self.root, "wrong.md", WRONG)
        status, out = self.run_pages(page)
        self.assertEqual(status, 1)
        self.assertIn("FAIL wrong.md:14: $ verdane eval out.bin --evidence e.json\n", out)
        self.assertIn("  -decision=pass\n  +decision=fail\n", out)
        self.assertIn("FAIL wrong.md:17: $ echo $?\n", out)
        self.assertIn("2 failed", out)
        self.assertEqual(page.read_text(), WRONG)

    def test_regeneration_rewrites_the_outputs_only(self):
        page = write(self.root, "wrong.md", WRONG.replace("out\nmore\nerr\n", "stale\n"))
        status, out = self.run_pages(page, regen=True)
        self.assertEqual(status, 0, out)
        self.assertIn("rewrote wrong.md", out)
        self.assertEqual(page.read_text(), PASSING)
        self.assertEqual(self.run_pages(page)[0], 0)

    def test_pages_that_cannot_be_run_are_failures(self):
        cases = {
            "output before the block's first command": "```console\nstray\n$ true\n```\n",
            "unknown console block option": "```console nope\n```\n",
            "is not closed": "```console\n$ true\n",
            "missing.txt does not exist": "<!-- transcript-files: missing.txt -->\n```console\n$ true\n```\n",
            "does not end with a line feed": "```console\n$ printf x\n```\n",
            "cannot be shown in a block": "```console\n$ echo '$ x'\n```\n",
            "(gone.md) leads nowhere": "[a](gone.md)\n",
            "(bad.md#nowhere) leads nowhere": "[b](bad.md#nowhere)\n",
        }
        for problem, text in cases.items():
            with self.subTest(problem):
                status, out = self.run_pages(write(self.root, "bad.md", text))
                self.assertEqual(status, 1)
                self.assertIn(problem, out)


if __name__ == "__main__":
    unittest.main()
