import pytest

from helpers import BINARY, REPO


@pytest.fixture(scope="session", autouse=True)
def verdane_binary():
    """The tests compare the package with the binary; it must be built."""
    if not BINARY.is_file():
        pytest.exit(f"no verdane binary at {BINARY}: build {REPO} or set VERDANE_BINARY", 2)
    return BINARY
