import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

import pytest  # noqa: E402

from serve_util import Server  # noqa: E402


@pytest.fixture
def start(tmp_path):
    """start(*args, store=None) runs a server; every one is stopped after the test."""
    servers = []

    def _start(*args, store=None):
        if store is None:
            store = tmp_path / "store"
            store.mkdir(exist_ok=True)
        s = Server(store, *args)
        servers.append(s)
        return s

    yield _start
    for s in servers:
        s.stop()
