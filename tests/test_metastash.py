"""The local metadata cache: paths and namespaces, the cache policy, the
write that never leaves half a file, and the fallback when the database
fails."""

import os
import sqlite3
import threading
from pathlib import Path

import pandas as pd
import pytest
import sqlalchemy as sa

from kelvane.metastash import MetaStash

DICTIONARY = {
    "QZ_DICT_METHODS": ("METHODID TEXT, METHODNAME TEXT", [("321", "地电阻率"), ("412", "水位")]),
    "QZ_DICT_STATIONS": (
        "STATIONID TEXT, STATIONNAME TEXT, LONGITUDE REAL, LATITUDE REAL",
        [("370082", "泰安台", 117.1, 36.2), ("37005", "郯城马陵山", 118.3, 34.6)],
    ),
    "QZ_DICT_STATIONPOINTS": ("STATIONID TEXT, POINTID TEXT, POINTNAME TEXT", [("370082", "1", "一号")]),
    "QZ_DICT_ITEMS": ("ITEMID TEXT, ITEMNAME TEXT, UNIT TEXT", [("3211", "地电阻率NS", "Ωm")]),
    "QZ_DICT_STATIONITEMS": ("STATIONID TEXT, ITEMID TEXT", [("370082", "3211"), ("37005", "4121")]),
}


def make_dictionary_db(path):
    with sqlite3.connect(path) as raw:
        for table, (columns, rows) in DICTIONARY.items():
            raw.execute(f"CREATE TABLE {table} ({columns})")
            marks = ",".join("?" * len(rows[0]))
            raw.executemany(f"INSERT INTO {table} VALUES ({marks})", rows)
    raw.close()


class CountingConnection:
    """A SQLAlchemy connection on a QZDATA schema that counts its statements."""

    def __init__(self, db_path, alias="A B"):
        engine = sa.create_engine("sqlite://")

        @sa.event.listens_for(engine, "connect")
        def attach(dbapi_conn, _record):
            dbapi_conn.execute("ATTACH DATABASE ? AS QZDATA", (str(db_path),))

        self.statements = []

        @sa.event.listens_for(engine, "before_cursor_execute")
        def count(conn, cursor, statement, *args):
            if statement.startswith("SELECT"):
                self.statements.append(statement)

        self.engine = engine
        self.conn = engine.connect()
        self.conn.info["kelvane_db_alias"] = alias
        self.conn._kelvane_db_alias = alias  # as conn_to_Oracle leaves it


@pytest.fixture
def db(tmp_path):
    path = tmp_path / "dict.db"
    make_dictionary_db(path)
    counting = CountingConnection(path)
    yield counting
    counting.conn.close()
    counting.engine.dispose()


def test_namespaces_and_paths(tmp_path):
    assert MetaStash.safe_namespace("  a/b c  ") == "a_b_c"
    assert MetaStash.safe_namespace("郯城") == "_"
    assert MetaStash.safe_namespace("a!!b??c") == "a_b_c"
    assert MetaStash.safe_namespace("   ") is None
    assert MetaStash.safe_namespace(None) is None
    assert MetaStash.safe_namespace("db-1.x") == "db-1.x"

    home = Path(os.path.expanduser("~"))
    assert MetaStash.default_cache_dir() == str(home / ".kelv" / "metastash")
    assert MetaStash.cache_path("stations", namespace="A B") == str(
        home / ".kelv" / "metastash" / "A_B" / "stations.parquet"
    )
    # an empty cache_dir is falsy: the default root is used
    assert MetaStash.resolve_cache_dir("", "x") == str(home / ".kelv" / "metastash" / "x")
    # a relative root is made absolute against the working folder
    assert MetaStash.resolve_cache_dir("rel", None) == str(Path.cwd() / "rel")
    assert not (Path.cwd() / "rel").exists()
    assert MetaStash.ensure_cache_dir("rel", "n") == str(Path.cwd() / "rel" / "n")
    assert (Path.cwd() / "rel" / "n").is_dir()

    with pytest.raises(KeyError) as err:
        MetaStash.cache_path("foo")
    assert err.value.args[0] == "Unsupported metadata table: foo"
    for bad in (lambda: MetaStash.cache_path(3), lambda: MetaStash.safe_namespace(5),
                lambda: MetaStash.resolve_cache_dir(Path("x")), lambda: MetaStash.get_table(None)):
        with pytest.raises(TypeError):
            bad()
    assert list(MetaStash.TABLE_SPECS) == ["methods", "stations", "points", "items", "stationitems"]
    assert list(MetaStash.TABLE_SPECS["items"]) == ["filename", "sql"]


def test_infer_namespace():
    class Conn:
        pass

    c = Conn()
    assert MetaStash.infer_namespace(None) is None
    assert MetaStash.infer_namespace(c) is None
    c._kelvane_db_alias = "X"
    assert MetaStash.infer_namespace(c) == "X"
    c.info = {"other": 1}
    assert MetaStash.infer_namespace(c) == "X"

    class Info(dict):
        pass

    c.info = Info(kelvane_db_alias="my db")
    assert MetaStash.infer_namespace(c) == "my_db"
    c.info = [("kelvane_db_alias", "no")]  # not a mapping: the attribute answers
    assert MetaStash.infer_namespace(c) == "X"

    class Closed:
        _kelvane_db_alias = "gone db"

        @property
        def info(self):
            raise RuntimeError("This Connection is closed")

    assert MetaStash.infer_namespace(Closed()) == "gone_db"


def test_normalize_columns_leaves_input_alone():
    df = pd.DataFrame({"stationid": ["1"], "Name": ["a"]}).rename_axis("stationid")
    out = MetaStash.normalize_columns(df)
    assert list(out.columns) == ["STATIONID", "NAME"] and out.index.name == "STATIONID"
    assert list(df.columns) == ["stationid", "Name"] and df.index.name == "stationid"
    assert MetaStash.normalize_columns(pd.DataFrame({"a": [1]})).index.name is None


def test_refresh_and_cache_policy(db, tmp_path):
    root = str(tmp_path / "cache")
    tables = MetaStash.refresh_cache(db.conn, cache_dir=root)
    assert list(tables) == ["methods", "stations", "points", "items", "stationitems"]
    assert len(db.statements) == 5
    for key, spec in MetaStash.TABLE_SPECS.items():
        path = Path(root) / "A_B" / spec["filename"]
        assert path.is_file()
        pd.testing.assert_frame_equal(pd.read_parquet(path), tables[key])
    # nothing but the five cache files remains in the folder
    assert sorted(os.listdir(Path(root) / "A_B")) == sorted(
        s["filename"] for s in MetaStash.TABLE_SPECS.values()
    )
    stations = tables["stations"]
    assert list(stations.columns) == ["STATIONID", "STATIONNAME", "LONGITUDE", "LATITUDE"]
    assert stations["STATIONNAME"].tolist() == ["泰安台", "郯城马陵山"]

    # an existing file answers without a query; refresh=True re-queries
    before = len(db.statements)
    items = MetaStash.get_table("items", db.conn, cache_dir=root)
    assert len(db.statements) == before
    assert items["ITEMID"].tolist() == ["3211"]
    with sqlite3.connect(tmp_path / "dict.db") as raw:
        raw.execute("INSERT INTO QZ_DICT_ITEMS VALUES ('3212', '地电阻率EW', 'Ωm')")
    raw.close()
    assert MetaStash.get_table("items", db.conn, cache_dir=root)["ITEMID"].tolist() == ["3211"]
    fresh = MetaStash.get_table("items", db.conn, cache_dir=root, refresh=True)
    assert fresh["ITEMID"].tolist() == ["3211", "3212"]
    assert len(db.statements) == before + 1
    assert MetaStash.load_table("items", root, "A B")["ITEMID"].tolist() == ["3211", "3212"]

    # a missing file with a connection is fetched and written
    os.remove(Path(root) / "A_B" / "points.parquet")
    MetaStash.get_table("points", db.conn, cache_dir=root)
    assert (Path(root) / "A_B" / "points.parquet").is_file()

    # a failed database read falls back to the file without a word
    db.conn.close()
    triple = MetaStash.get_timeseries_info(db.conn, cache_dir=root, refresh=True)
    assert [len(t) for t in triple] == [2, 1, 2]
    assert list(triple[1].columns) == ["STATIONID", "POINTID", "POINTNAME"]


def test_missing_cache_errors(db, tmp_path):
    root = str(tmp_path / "empty")
    expected = str(Path(root) / "items.parquet")
    with pytest.raises(FileNotFoundError) as err:
        MetaStash.get_table("items", cache_dir=root)
    assert err.value.args == (expected,)
    db.conn.close()
    with pytest.raises(FileNotFoundError) as err:
        MetaStash.get_table("items", db.conn, cache_dir=root)
    assert err.value.args == (str(Path(root) / "A_B" / "items.parquet"),)
    # a closed connection's info is out of reach; without the attribute the
    # namespace is unknown and the root is searched
    del db.conn._kelvane_db_alias
    with pytest.raises(FileNotFoundError) as err:
        MetaStash.get_table("items", db.conn, cache_dir=root)
    assert err.value.args == (expected,)
    # without connection and namespace the root itself is searched
    with pytest.raises(FileNotFoundError) as err:
        MetaStash.get_timeseries_info(cache_dir=root)
    assert err.value.args == (str(Path(root) / "stations.parquet"),)


def test_bad_keys_fail_before_database(db, tmp_path):
    with pytest.raises(KeyError) as err:
        MetaStash.fetch_and_cache_table(db.conn, "nope", cache_dir=str(tmp_path))
    assert err.value.args == ("nope",)
    with pytest.raises(KeyError):
        MetaStash.refresh_cache(db.conn, cache_dir=str(tmp_path), tables=["items", "nope"])
    assert db.statements == []
    with pytest.raises(KeyError) as err:
        MetaStash.get_table("nope", db.conn, cache_dir=str(tmp_path))
    assert err.value.args[0] == "Unsupported metadata table: nope"


def test_refresh_subset_and_explicit_namespace(db, tmp_path):
    out = MetaStash.refresh_cache(db.conn, cache_dir=str(tmp_path), tables=("items",), namespace="other")
    assert list(out) == ["items"]
    assert (tmp_path / "other" / "items.parquet").is_file()
    assert not (tmp_path / "A_B").exists()


def test_failed_write_keeps_old_file(db, tmp_path, monkeypatch):
    root = str(tmp_path)
    MetaStash.refresh_cache(db.conn, cache_dir=root, tables=["stations"])
    path = Path(root) / "A_B" / "stations.parquet"
    good = path.read_bytes()

    def broken_write(self, target, *args, **kwargs):
        Path(target).write_bytes(b"PAR1 half")  # a writer dying half-way
        raise OSError("disk full")

    monkeypatch.setattr(pd.DataFrame, "to_parquet", broken_write)
    with pytest.raises(OSError, match="disk full"):
        MetaStash.fetch_and_cache_table(db.conn, "stations", cache_dir=root)
    monkeypatch.undo()
    assert path.read_bytes() == good
    assert os.listdir(path.parent) == ["stations.parquet"]


def test_concurrent_reader_sees_whole_files(tmp_path):
    big = pd.DataFrame({"STATIONID": [str(i) for i in range(20000)], "STATIONNAME": ["站" * 30] * 20000,
                        "LONGITUDE": 1.0, "LATITUDE": 2.0})
    root = str(tmp_path)
    MetaStash.save_table("stations", big, root, "n")
    errors, stop = [], threading.Event()

    def reader():
        while not stop.is_set():
            try:
                assert len(MetaStash.load_table("stations", root, "n")) == 20000
            except Exception as exc:  # noqa: BLE001 - any failure is the finding
                errors.append(exc)
                return

    t = threading.Thread(target=reader)
    t.start()
    try:
        for _ in range(15):
            MetaStash.save_table("stations", big, root, "n")
    finally:
        stop.set()
        t.join()
    assert errors == []
