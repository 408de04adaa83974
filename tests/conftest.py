"""Shared test setup: a non-interactive matplotlib backend, a private home
folder for the whole run and a private working folder for every test."""

import os
import tempfile
from pathlib import Path

import pytest

os.environ["MPLBACKEND"] = "Agg"

# The package writes its log and metadata cache under the home folder; keep a
# test run away from the real one. Set before any kelvane module is imported.
_RUN_HOME = Path(tempfile.mkdtemp(prefix="kelvane-home-"))
os.environ["HOME"] = str(_RUN_HOME)

TESTS_DIR = Path(__file__).resolve().parent


@pytest.fixture(autouse=True)
def _isolated_folders(tmp_path, monkeypatch):
    """Each test gets its own home folder and runs in its own working folder."""
    home = tmp_path / "home"
    work = tmp_path / "work"
    home.mkdir()
    work.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.chdir(work)
    yield
    import sys

    if "matplotlib.pyplot" in sys.modules:
        sys.modules["matplotlib.pyplot"].close("all")


@pytest.fixture
def run_home():
    """The home folder that was current when the package was first imported."""
    return _RUN_HOME
