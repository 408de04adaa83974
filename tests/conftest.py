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


def _package_path_env(home, env_extra=None):
    """Environment for a child interpreter that imports the same kelvane as
    this test run, with its own home folder."""
    import kelvane

    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTEST")}
    env["HOME"] = str(home)
    package_parent = str(Path(kelvane.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (package_parent, os.environ.get("PYTHONPATH", "")) if p
    )
    env.update(env_extra or {})
    return env


@pytest.fixture
def run_python():
    """Run Python code in a fresh interpreter: run_python(code, home, cwd=None,
    env_extra=None, args=()) -> CompletedProcess (text mode)."""
    import subprocess
    import sys
    import textwrap

    def run(code, home, cwd=None, env_extra=None, args=(), timeout=300):
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code), *args],
            cwd=cwd or home,
            env=_package_path_env(home, env_extra),
            capture_output=True,
            text=True,
            timeout=timeout,
            stdin=subprocess.DEVNULL,
        )

    return run
