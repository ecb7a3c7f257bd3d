"""The session on the Python page (docs/python.md) is real: it runs as written."""

import doctest
import os
import re

from helpers import REPO


def test_the_python_page_session_runs_as_shown():
    section = (REPO / "docs" / "python.md").read_text()
    session = re.search(r"```pycon\n(.*?)```", section, re.S).group(1)
    test = doctest.DocTestParser().get_doctest(session, {}, "python", "docs/python.md", 0)
    runner = doctest.DocTestRunner(optionflags=doctest.REPORT_NDIFF)
    cwd = os.getcwd()
    os.chdir(REPO)
    try:
        runner.run(test)
    finally:
        os.chdir(cwd)
    failed, attempted = runner.summarize(verbose=False)
    assert failed == 0 and attempted > 10  # the differences are in the captured output
