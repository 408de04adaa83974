"""default.conf reading, Thick-mode initialisation and the connection."""

import logging
import os
from pathlib import Path
from types import SimpleNamespace

import pytest

from kelvane import fetching
from kelvane.fetching import DatabaseConnector, conn_to_Oracle

SECTION = """[{name}]
HOST = {host}
PORT = 1521
USERNAME = reader
PASSWORD = {password}
TNSNAME = QZ
"""


class FakeDriver:
    def __init__(self, fail=None):
        self.calls = []
        self.fail = fail

    def init_oracle_client(self, **kwargs):
        self.calls.append(kwargs)
        if self.fail:
            raise RuntimeError(self.fail)


class FakeEngine:
    def __init__(self, url, fail=None):
        self.url = url
        self.fail = fail

    def connect(self):
        if self.fail:
            raise ConnectionError(self.fail)
        return SimpleNamespace(info={}, engine=self)


@pytest.fixture
def fake_db(monkeypatch):
    """A fake driver and engine factory in the module namespace."""
    driver = FakeDriver()
    engines = []

    def create_engine(url, echo=True):
        assert echo is False
        engine = FakeEngine(url)
        engines.append(engine)
        return engine

    monkeypatch.setattr(fetching, "oracledb", driver)
    monkeypatch.setattr(fetching, "create_engine", create_engine)
    monkeypatch.setattr(fetching, "_ORACLE_THICK_MODE_READY", False)
    return SimpleNamespace(driver=driver, engines=engines)


def write_conf(path, text):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")


def home_conf():
    return Path(os.path.expanduser("~")) / ".kelv" / "default.conf"


def error_messages(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno >= logging.ERROR]


def test_home_file_wins_and_alias_is_tagged(fake_db):
    write_conf("default.conf", SECTION.format(name="A", host="cwd-host", password="p"))
    write_conf(home_conf(), SECTION.format(name="A", host="home-host", password="p"))
    conn = conn_to_Oracle("A")
    assert conn.info == {"kelvane_db_alias": "A"}
    url = fake_db.engines[0].url
    assert url.render_as_string(hide_password=False) == "oracle+oracledb://reader:p@home-host:1521/QZ"


def test_option_names_ignore_case_but_sections_do_not(fake_db, caplog):
    write_conf("default.conf", "[A]\nhost = h\nport = 1\nusername = u\npassword = p\ntnsname = t\n")
    assert conn_to_Oracle(db="A") is not None
    with caplog.at_level(logging.ERROR, logger="fetching"):
        assert DatabaseConnector.connect_to_oracle("a") is None
    assert error_messages(caplog) == ["数据库配置文件缺失或不完整，请检查default.conf"]


def test_no_configuration_at_all(fake_db, caplog):
    with caplog.at_level(logging.ERROR, logger="fetching"):
        assert conn_to_Oracle("A") is None
    assert error_messages(caplog) == ["数据库配置文件缺失或不完整，请检查default.conf"]
    assert fake_db.driver.calls == [] and fake_db.engines == []


def test_missing_key_is_a_connection_error(fake_db, caplog):
    write_conf("default.conf", "[A]\nHOST = h\nPORT = 1\nUSERNAME = u\nPASSWORD = p\n")
    with caplog.at_level(logging.ERROR, logger="fetching"):
        assert conn_to_Oracle("A") is None
    (msg,) = error_messages(caplog)
    assert msg.startswith("数据库连接错误: ") and "tnsname" in msg
    assert fake_db.engines == [] and fake_db.driver.calls == []


def test_thick_mode_once_with_exact_keywords(fake_db):
    write_conf("default.conf", SECTION.format(name="A", host="h", password="p")
               + "ORACLE_CLIENT_LIB_DIR =  /opt/ic  \nORACLE_CONFIG_DIR = \n"
               + SECTION.format(name="B", host="h2", password="p")
               + "ORACLE_CLIENT_LIB_DIR = /other\nORACLE_CONFIG_DIR = /net\n")
    assert conn_to_Oracle("A") is not None
    assert conn_to_Oracle("B") is not None
    assert fake_db.driver.calls == [{"lib_dir": "/opt/ic"}]
    assert fetching._ORACLE_THICK_MODE_READY is True


def test_thick_mode_without_directories(fake_db):
    write_conf("default.conf", SECTION.format(name="A", host="h", password="p"))
    conn_to_Oracle("A")
    assert fake_db.driver.calls == [{}]


def test_thick_mode_both_directories(fake_db):
    import configparser

    config = configparser.ConfigParser()
    config.read_string("[A]\nORACLE_CLIENT_LIB_DIR=/l\nORACLE_CONFIG_DIR=/c\n")
    assert DatabaseConnector._init_oracle_thick_mode(config, "A") is None
    assert fake_db.driver.calls == [{"lib_dir": "/l", "config_dir": "/c"}]


def test_failed_thick_mode_is_retried(fake_db, monkeypatch, caplog):
    failing = FakeDriver(fail="DPI-1047: Cannot locate a 64-bit Oracle Client library")
    monkeypatch.setattr(fetching, "oracledb", failing)
    write_conf("default.conf", SECTION.format(name="A", host="h", password="p"))
    with caplog.at_level(logging.ERROR, logger="fetching"):
        assert conn_to_Oracle("A") is None
        assert conn_to_Oracle("A") is None
    assert len(failing.calls) == 2
    assert fetching._ORACLE_THICK_MODE_READY is False
    assert error_messages(caplog)[0] == "数据库连接错误: DPI-1047: Cannot locate a 64-bit Oracle Client library"


def test_missing_driver(fake_db, monkeypatch, caplog):
    monkeypatch.setattr(fetching, "oracledb", None)
    write_conf("default.conf", SECTION.format(name="A", host="h", password="p"))
    with caplog.at_level(logging.ERROR, logger="fetching"):
        assert conn_to_Oracle("A") is None
    assert error_messages(caplog) == ["数据库连接错误: oracledb is not installed"]
    import configparser

    with pytest.raises(ImportError, match="oracledb is not installed"):
        DatabaseConnector._init_oracle_thick_mode(configparser.ConfigParser(), "A")


def test_connect_failure_is_logged(fake_db, monkeypatch, caplog):
    monkeypatch.setattr(fetching, "create_engine",
                        lambda url, echo: FakeEngine(url, fail="ORA-12541: TNS:no listener"))
    write_conf("default.conf", SECTION.format(name="A", host="h", password="p"))
    with caplog.at_level(logging.ERROR, logger="fetching"):
        assert conn_to_Oracle("A") is None
    assert error_messages(caplog) == ["数据库连接错误: ORA-12541: TNS:no listener"]


def test_password_with_url_characters_is_escaped(fake_db):
    write_conf("default.conf", SECTION.format(name="A", host="db.example", password="p@ss:w/rd%%1"))
    conn_to_Oracle("A")
    url = fake_db.engines[0].url
    assert url.password == "p@ss:w/rd%1"
    assert url.host == "db.example" and url.port == 1521 and url.database == "QZ"
    assert url.username == "reader" and url.drivername == "oracle+oracledb"


def test_bad_interpolation_is_a_connection_error(fake_db, caplog):
    write_conf("default.conf", SECTION.format(name="A", host="h", password="50%off"))
    with caplog.at_level(logging.ERROR, logger="fetching"):
        assert conn_to_Oracle("A") is None
    assert error_messages(caplog)[0].startswith("数据库连接错误: ")


# Passwords the configuration parser cannot interpolate, each with the pieces
# of it that its error text would quote.
BAD_PASSWORDS = {
    "missing-key": ("S3cr%(zz)s-pw", ["S3cr", "zz", "-pw"]),
    "lone-percent": ("50%off-Kx9", ["off-Kx9"]),
    "bad-reference": ("Kx9%(", ["Kx9"]),
    "self-reference": ("Kx9%(password)s", ["Kx9"]),
    "quote-inside": ("it's%Kx9", ["Kx9"]),
}


@pytest.mark.parametrize("password, pieces", BAD_PASSWORDS.values(), ids=BAD_PASSWORDS.keys())
def test_messages_never_show_the_password(fake_db, caplog, password, pieces):
    write_conf("default.conf", SECTION.format(name="A", host="h", password=password))
    with caplog.at_level(logging.DEBUG, logger="fetching"):
        assert conn_to_Oracle("A") is None
    (msg,) = error_messages(caplog)
    assert msg.startswith("数据库连接错误: ") and "'***'" in msg
    assert not any(piece in msg for piece in pieces), msg
    assert fake_db.engines == []


def test_a_password_reached_through_another_option_stays_hidden(fake_db, caplog, monkeypatch):
    # HOST takes the password's value: its interpolation error quotes it
    write_conf("default.conf", SECTION.format(name="A", host="%(password)s", password="Kx9%(zz)s"))
    with caplog.at_level(logging.DEBUG, logger="fetching"):
        assert conn_to_Oracle("A") is None
    (msg,) = error_messages(caplog)
    assert "option 'host' in section 'A'" in msg and "Kx9" not in msg and "zz" not in msg
    # a failure after the values were read: the driver's text quotes the password
    monkeypatch.setattr(fetching, "create_engine", lambda url, echo: FakeEngine(
        url, fail=f"login refused for {url.username}/{url.password} ({url.password!r})"))
    write_conf("default.conf", SECTION.format(name="A", host="h", password="Kx9%%pw"))
    caplog.clear()
    with caplog.at_level(logging.DEBUG, logger="fetching"):
        assert conn_to_Oracle("A") is None
    assert error_messages(caplog) == ["数据库连接错误: login refused for reader/*** ('***')"]


def test_password_reaches_neither_the_log_file_nor_standard_error(tmp_path, run_python):
    home = tmp_path / "h"
    write_conf(home / ".kelv" / "default.conf", SECTION.format(name="A", host="h", password="S3cr%(zz)s-pw"))
    r = run_python("from kelvane import fetching; print(fetching.conn_to_Oracle('A'))", home)
    assert r.returncode == 0, r.stderr
    log_file = home / ".local" / "share" / "kelvane" / "logs" / "app.log"
    for text in (r.stderr, log_file.read_text(encoding="utf-8")):
        assert "数据库连接错误: " in text and "'***'" in text
        assert "S3cr" not in text and "zz" not in text


def test_unparsable_file_propagates(fake_db):
    import configparser

    write_conf("default.conf", "HOST = no section header\n")
    with pytest.raises(configparser.MissingSectionHeaderError):
        conn_to_Oracle("A")


def test_signatures_and_docstrings():
    assert conn_to_Oracle.__doc__ == "连接到Oracle数据库"
    assert DatabaseConnector.connect_to_oracle.__doc__ == "连接到Oracle数据库"
    assert DatabaseConnector.__doc__ == "数据库连接管理类"
    assert DatabaseConnector._init_oracle_thick_mode.__doc__ == (
        "Initialize python-oracledb in Thick mode for legacy Oracle compatibility.")
    with pytest.raises(TypeError):
        conn_to_Oracle()
    with pytest.raises(TypeError):
        conn_to_Oracle("A", "B")


def test_real_engine_without_driver_reports_error(monkeypatch, caplog):
    """With the real create_engine and no Oracle driver installed the failure is logged."""
    monkeypatch.setattr(fetching, "oracledb", FakeDriver())
    monkeypatch.setattr(fetching, "_ORACLE_THICK_MODE_READY", False)
    write_conf("default.conf", SECTION.format(name="A", host="127.0.0.1", password="p"))
    try:
        import oracledb  # noqa: F401
    except ImportError:
        with caplog.at_level(logging.ERROR, logger="fetching"):
            assert conn_to_Oracle("A") is None
        assert error_messages(caplog)[0].startswith("数据库连接错误: ")
    else:
        pytest.skip("a real Oracle driver is installed")
