"""The package as a whole: its module list, its type stubs and docstrings."""

import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import kelvane

ROOT = Path(__file__).resolve().parents[1]


def test_the_package_holds_every_module_the_build_declares():
    # The build's list is the one list of modules; the package finds what
    # was built. A declared module that is missing would escape every sweep.
    text = (ROOT / "CMakeLists.txt").read_text()
    declared = re.search(r"set\(KELVANE_MODULES ([^)]*)\)", text).group(1).split()
    assert sorted(declared) == sorted(kelvane._MODULES)
    assert kelvane.__all__ == list(kelvane._MODULES)
    for name in declared:
        assert getattr(kelvane, name).__name__ == f"kelvane.{name}"


def test_the_version_is_written_once():
    text = (ROOT / "pyproject.toml").read_text()
    assert not re.search(r"^version\s*=", text, re.M)
    assert re.fullmatch(r"\d+\.\d+\.\d+", kelvane.__version__)


def test_every_compiled_module_matches_its_stub(tmp_path):
    pytest.importorskip("mypy")
    config = tmp_path / "mypy.ini"
    # pandas, pyarrow and matplotlib ship no stubs of their own
    config.write_text("[mypy]\nignore_missing_imports = True\n")
    for name in kelvane._MODULES:
        assert (ROOT / "src" / "kelvane" / f"{name}.pyi").is_file(), name
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config),
         "--allowlist", str(ROOT / "tests" / "stubtest-allowlist.txt"),
         *(f"kelvane.{name}" for name in kelvane._MODULES)],
        capture_output=True, text=True, cwd=tmp_path, timeout=600,
        env={**os.environ, "PYTHONPATH": str(Path(kelvane.__file__).parents[1])},
    )
    assert result.returncode == 0, result.stdout + result.stderr


def _compiled_callables():
    for name in kelvane._MODULES:
        module = getattr(kelvane, name)
        for attr, value in vars(module).items():
            if inspect.isbuiltin(value) and value.__module__ == module.__name__:
                yield f"{name}.{attr}", value
            elif inspect.isclass(value) and value.__module__ == module.__name__:
                for method, func in vars(value).items():
                    if callable(func) and not method.startswith("_pybind11"):
                        yield f"{name}.{attr}.{method}", func


def test_docstrings_carry_no_generated_signature_line():
    found = dict(_compiled_callables())
    assert "cleaning.split_lines" in found and "sandbox.build" in found
    generated = {
        qualname: func.__doc__.splitlines()[0]
        for qualname, func in found.items()
        if func.__doc__ and re.match(rf"{re.escape(qualname.rsplit('.', 1)[-1])}\(", func.__doc__)
    }
    assert generated == {}
