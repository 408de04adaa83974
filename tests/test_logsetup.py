"""Logging configuration: run in fresh interpreters, since it happens once per
process at the first import."""

import re
from pathlib import Path

import pytest


def log_path(home):
    return Path(home) / ".local" / "share" / "kelvane" / "logs" / "app.log"


def test_import_creates_log_dir_and_file(tmp_path, run_python):
    r = run_python(
        """
        import kelvane.logsetup as ls
        print(ls.log_dir)
        print(ls.log_file)
        print(ls.plotting_logger.name, ls.fetching_logger.name, ls.cleaning_logger.name)
        import logging
        print(ls.fetching_logger.level == logging.INFO, ls.fetching_logger.propagate,
              ls.fetching_logger.handlers)
        """,
        tmp_path,
    )
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert Path(lines[0]) == tmp_path / ".local/share/kelvane/logs"
    assert Path(lines[1]) == log_path(tmp_path)
    assert lines[2] == "plotting fetching cleaning"
    assert lines[3] == "True True []"
    assert log_path(tmp_path).is_file()


def test_records_go_to_file_and_stderr_in_one_layout(tmp_path, run_python):
    r = run_python(
        """
        from kelvane.logsetup import fetching_logger, plotting_logger, cleaning_logger
        fetching_logger.debug("hidden debug")
        fetching_logger.info("数据 info line")
        plotting_logger.warning("plot warning")
        cleaning_logger.error("clean error")
        """,
        tmp_path,
    )
    assert r.returncode == 0, r.stderr
    file_lines = log_path(tmp_path).read_text().splitlines()
    err_lines = r.stderr.splitlines()
    assert file_lines == err_lines
    assert len(file_lines) == 3
    assert not any("hidden debug" in line for line in file_lines)
    stamp = r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - "
    expected = [
        "fetching - INFO - 数据 info line",
        "plotting - WARNING - plot warning",
        "cleaning - ERROR - clean error",
    ]
    for line, tail in zip(file_lines, expected):
        assert re.match(stamp + re.escape(tail) + "$", line), line


def test_second_process_appends(tmp_path, run_python):
    code = """
        import sys
        from kelvane.logsetup import fetching_logger
        fetching_logger.info(sys.argv[-1] if len(sys.argv) > 1 else "run")
        """
    first = run_python(code.replace('"run"', '"first run"'), tmp_path)
    second = run_python(code.replace('"run"', '"second run"'), tmp_path)
    assert first.returncode == 0 and second.returncode == 0
    text = log_path(tmp_path).read_text()
    assert text.index("first run") < text.index("second run")


def test_host_configuration_is_respected(tmp_path, run_python):
    r = run_python(
        """
        import logging, sys
        logging.basicConfig(stream=sys.stdout, format="HOST %(name)s %(message)s")
        from kelvane.logsetup import fetching_logger
        fetching_logger.info("through host")
        """,
        tmp_path,
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "HOST fetching through host"
    assert log_path(tmp_path).parent.is_dir()
    assert not log_path(tmp_path).exists()


def test_importing_any_logging_module_configures(tmp_path, run_python):
    r = run_python("import kelvane.fetching", tmp_path)
    assert r.returncode == 0, r.stderr
    assert log_path(tmp_path).is_file()


def test_new_log_file_is_private_and_an_existing_one_keeps_its_mode(tmp_path, run_python):
    code = """
        import os
        os.umask(0o022)
        from kelvane.logsetup import fetching_logger
        fetching_logger.warning("user reader on host db.example")
        """
    r = run_python(code, tmp_path)
    assert r.returncode == 0, r.stderr
    assert log_path(tmp_path).stat().st_mode & 0o777 == 0o600
    assert "db.example" in log_path(tmp_path).read_text()
    log_path(tmp_path).chmod(0o640)
    assert run_python(code, tmp_path).returncode == 0
    assert log_path(tmp_path).stat().st_mode & 0o777 == 0o640
    assert log_path(tmp_path).read_text().count("db.example") == 2


# The log folder blocked by a file, and app.log taken by a folder.
BLOCKED = [
    (lambda home: (home / ".local").write_text("a file where a folder is needed"), "NotADirectoryError"),
    (lambda home: log_path(home).mkdir(parents=True), "IsADirectoryError"),
]


@pytest.mark.parametrize("block, error", BLOCKED, ids=["dot-local-is-a-file", "app-log-is-a-folder"])
@pytest.mark.parametrize("module", ["logsetup", "fetching", "export", "tsdraw"])
def test_the_os_error_of_the_log_file_leaves_the_import_as_itself(tmp_path, run_python, block, error, module):
    block(tmp_path)
    r = run_python(
        f"""
        import sys
        try:
            import kelvane.{module}
        except OSError as e:
            print(type(e).__name__, e.__cause__ is None, "kelvane.{module}" in sys.modules)
        """,
        tmp_path,
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == [error, "True", "False"]


@pytest.mark.parametrize(
    "environ, expected",
    [
        ({}, "HOME/AppData/Local/kelvane/logs"),
        ({"LOCALAPPDATA": "C:/Users/x/AppData/Local"}, "C:/Users/x/AppData/Local/kelvane/logs"),
        ({"LOCALAPPDATA": ""}, "kelvane/logs"),
    ],
)
def test_windows_directory_choice(environ, expected):
    from kelvane import logsetup

    home = Path("/home/someone")
    got = logsetup._choose_log_dir("nt", environ, home)
    assert Path(got) == Path(expected.replace("HOME", str(home)))


def test_posix_directory_choice_ignores_localappdata():
    from kelvane import logsetup

    got = logsetup._choose_log_dir("posix", {"LOCALAPPDATA": "/x"}, Path("/h"))
    assert Path(got) == Path("/h/.local/share/kelvane/logs")
