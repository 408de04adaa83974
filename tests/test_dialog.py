"""The event-log fetch and the VELD bridge of the fetcher, on the sample
database."""

import datetime as dt
import json
import logging
import shutil
import sqlite3
import time

import pandas as pd
import pyarrow.parquet as pq
import pytest
import sqlalchemy as sa

from kelvane import fetching, sandbox
from kelvane.fetching import DataFetcher

TODAY = dt.date.today()
START = (TODAY - dt.timedelta(days=150)).strftime("%Y%m%d")
END = TODAY.strftime("%Y%m%d")
NOT_FOUND = "未找到匹配的表名!"
EXPORTED = "数据已自动关联元数据并导出至: "
EXPORT_FAILED = "导出失败：无法生成 VELD Table"


@pytest.fixture(scope="module")
def db_file(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sample")
    return sandbox.build(
        str(folder / "sample.sqlite"), start=START, minute_days=0, second_days=0,
        raw_days=0, libraries=("DYU",), rates=("90",),
    )


def open_copy(db_file, folder, edit=None):
    """A connection to a private copy of the sample database, after running
    the statements in `edit` on it."""
    path = folder / "copy.sqlite"
    shutil.copyfile(db_file, path)
    if edit:
        raw = sqlite3.connect(path)
        for statement in edit:
            raw.execute(statement)
        raw.commit()
        raw.close()
    return sandbox.connect(str(path))


@pytest.fixture
def conn(db_file, tmp_path):
    connection = open_copy(db_file, tmp_path)
    yield connection
    connection.close()


@pytest.fixture
def statements(conn):
    """Every statement the connection runs, in order."""
    seen = []

    def record(connection, cursor, statement, parameters, context, executemany):
        seen.append(statement)

    sa.event.listen(conn.engine, "before_cursor_execute", record)
    yield seen
    sa.event.remove(conn.engine, "before_cursor_execute", record)


def raw_rows(conn, table, evt_id, start=START, end=END):
    """The rows of one event-log table in the date range, read on their own."""
    sql = (
        f"SELECT * FROM QZDATA.{table} WHERE STARTDATE >= TO_DATE('{start}', 'yyyymmdd') "
        f"AND STARTDATE < TO_DATE('{end}', 'yyyymmdd')+1 AND EVTID = '{evt_id}'"
    )
    return pd.read_sql(sql, conn)


def log_tables(conn, method_code):
    names = pd.read_sql(
        f"SELECT TABLE_NAME FROM ALL_TABLES WHERE TABLE_NAME LIKE '%DLG%' "
        f"AND TABLE_NAME LIKE '%{method_code}%'", conn)["TABLE_NAME"].tolist()
    return [n for n in names if "_DEV_" not in n]


def messages(caplog, level):
    return [r.getMessage() for r in caplog.records if r.levelname == level and r.name == "fetching"]


# --- the event-log fetch ----------------------------------------------------


@pytest.mark.parametrize("log_type", ["313", "301"])
def test_rows_of_every_event_log_table_in_database_order(conn, log_type):
    got = DataFetcher.fetch_dialog(conn, START, END, "水位", log_type=log_type)
    codes = fetching.MetadataFetcher.get_method_ids(conn, "水位")["methodid"].tolist()
    assert codes == ["411", "412"]
    parts = [raw_rows(conn, t, log_type) for code in codes for t in log_tables(conn, code)]
    expected = pd.concat(parts, ignore_index=True)
    expected.columns = [c.lower() for c in expected.columns]
    assert list(got.columns) == ["stationid", "pointid", "itemid", "startdate", "enddate", "evtid", "evtdesc"]
    assert len(got) > 2 and set(got["evtid"]) == {log_type}
    pd.testing.assert_frame_equal(got.reset_index(drop=True), expected)
    assert pd.api.types.is_datetime64_any_dtype(got["startdate"])


def test_station_and_item_names_narrow_the_rows(conn):
    everything = DataFetcher.fetch_dialog(conn, START, END, "全部")
    by_station = DataFetcher.fetch_dialog(conn, START, END, station_name="郯城")
    by_item = DataFetcher.fetch_dialog(conn, START, END, "全部", "全部", "静水位", "313")
    assert set(everything["stationid"]) > {"37005"}
    assert set(by_station["stationid"]) == {"37005"}
    assert set(by_item["itemid"]) == {"4112"}
    pd.testing.assert_frame_equal(
        by_station.reset_index(drop=True),
        everything[everything["stationid"] == "37005"].reset_index(drop=True))


def test_development_tables_are_never_read(conn, statements):
    got = DataFetcher.fetch_dialog(conn, START, END, "直流单装置地电阻率")
    assert len(got) > 0 and not got["evtdesc"].str.contains("DEV").any()
    reads = [s for s in statements if s.startswith("SELECT") and "EVTID" in s]
    assert len(reads) == 1 and "QZ_321_DLG" in reads[0] and "_DEV_" not in reads[0]


def test_a_method_with_only_development_tables_finds_nothing(db_file, tmp_path, caplog):
    conn = open_copy(db_file, tmp_path, ["DROP TABLE QZ_321_DLG"])
    try:
        assert DataFetcher.fetch_dialog(conn, START, END, "直流单装置地电阻率") is None
        assert DataFetcher.fetch_dialog(conn, START, END, "没有这种方法") is None
    finally:
        conn.close()
    assert messages(caplog, "WARNING") == [NOT_FOUND, NOT_FOUND]


def test_a_table_listed_by_two_method_codes_is_read_twice(conn, monkeypatch):
    once = DataFetcher.fetch_dialog(conn, START, END, "静水位")
    monkeypatch.setattr(
        fetching.MetadataFetcher, "get_method_ids",
        staticmethod(lambda conn, name: pd.DataFrame({"methodid": ["411", "411"]})))
    twice = DataFetcher.fetch_dialog(conn, START, END, "静水位")
    assert len(once) > 0
    pd.testing.assert_frame_equal(twice, pd.concat([once, once], ignore_index=True))


def test_no_statement_gives_an_error_and_none(conn, monkeypatch, caplog):
    monkeypatch.setattr(fetching.QueryBuilder, "build_dialog_query", staticmethod(lambda *args: ""))
    assert DataFetcher.fetch_dialog(conn, START, END) is None
    assert messages(caplog, "ERROR") == ["未生成SQL查询!"]


def test_fetching_dialog_keeps_the_dates_of_loading(conn, monkeypatch):
    calls = []
    monkeypatch.setattr(DataFetcher, "fetch_dialog", staticmethod(lambda *args: calls.append(args) or "rows"))
    assert fetching.fetching_dialog(conn) == "rows"
    time.sleep(0.01)
    assert fetching.fetching_dialog(conn, methodname="水位") == "rows"
    assert fetching.fetching_dialog(conn, "a", "b", "m", "s", "i", "301") == "rows"
    (c1, start1, end1, *rest1), (c2, start2, end2, *rest2), third = calls
    assert c1 is conn and rest1 == ["全部", "全部", "全部", "313"]
    assert rest2 == ["水位", "全部", "全部", "313"]
    assert isinstance(start1, dt.datetime) and isinstance(end1, dt.datetime)
    assert end1 - start1 == dt.timedelta(days=1)
    assert (start2, end2) == (start1, end1) and end1 < dt.datetime.now()
    assert third == (conn, "a", "b", "m", "s", "i", "301")


def test_fetching_dialog_with_its_defaults_reads_yesterday_and_today(conn):
    got = fetching.fetching_dialog(conn)
    # the sample database logs an interference on the last two days of every series
    assert len(got) > 0 and set(got["evtid"]) == {"313"}
    days = got["startdate"].dt.normalize()
    yesterday = pd.Timestamp(TODAY - dt.timedelta(days=1))
    assert days.min() >= yesterday and days.max() <= pd.Timestamp(TODAY)


# --- the VELD bridge --------------------------------------------------------


def daily_rows(conn, method):
    """Fetched daily rows of a method at every station, one row per day."""
    return DataFetcher.fetch_data(conn, START, END, method, "全部", "日均值", "预处理库",
                                  my_split_lines=False)


@pytest.fixture
def water(conn):
    return daily_rows(conn, "水位")


def dictionary(conn, table, column, ids):
    frame = pd.read_sql(f"SELECT * FROM QZDATA.{table}", conn)
    return frame[frame[column].isin(list(ids))].to_dict(orient="records")


def check_bridge_metadata(meta, conn_for_reference, df, rate, before, after):
    assert list(meta)[1:] == [b"format_name", b"format_version", b"station_info", b"item_info",
                              b"sampling_rate", b"export_time"]
    stations = json.loads(meta[b"station_info"])
    items = json.loads(meta[b"item_info"])
    assert stations == dictionary(conn_for_reference, "QZ_DICT_STATIONS", "STATIONID", set(df["STATIONID"]))
    assert items == dictionary(conn_for_reference, "QZ_DICT_ITEMS", "ITEMID", set(df["ITEMID"]))
    assert json.loads(meta[b"sampling_rate"]) == rate
    stamp = dt.datetime.fromisoformat(json.loads(meta[b"export_time"]))
    assert before <= stamp <= after and stamp.tzinfo is None


def test_to_veld_gathers_the_records_of_the_ids_present(conn, water):
    assert {"37005", "13024"} <= set(water["STATIONID"])
    before = dt.datetime.now()
    table = DataFetcher.to_veld(conn, water, 86400)
    after = dt.datetime.now()
    assert table.num_rows == len(water)
    check_bridge_metadata(table.schema.metadata, conn, water, 86400, before, after)
    assert table.column_names[: len(water.columns)] == list(water.columns)


def test_unknown_stations_give_an_empty_record_list(conn):
    df = pd.DataFrame({"STATIONID": ["99999"], "ITEMID": ["4112"], "OBSVALUE": [1.0]})
    meta = DataFetcher.to_veld(conn, df, 60).schema.metadata
    assert json.loads(meta[b"station_info"]) == []
    assert [r["ITEMID"] for r in json.loads(meta[b"item_info"])] == ["4112"]


def test_an_empty_table_gives_none_and_writes_nothing(conn, water, tmp_path, caplog):
    assert DataFetcher.to_veld(conn, None, 60) is None
    assert DataFetcher.to_veld(conn, water.iloc[:0], 60) is None
    assert caplog.records == []
    target = tmp_path / "empty.parquet"
    assert DataFetcher.export_veld(conn, water.iloc[:0], target, 60) is None
    assert not target.exists()
    assert messages(caplog, "ERROR") == [EXPORT_FAILED]


def test_export_veld_writes_the_table_with_its_records(conn, water, tmp_path, caplog):
    target = tmp_path / "water.parquet"
    before = dt.datetime.now()
    assert DataFetcher.export_veld(conn, water, target, 86400) is None
    after = dt.datetime.now()
    check_bridge_metadata(pq.read_table(target).schema.metadata, conn, water, 86400, before, after)
    back = pd.read_parquet(target)
    pd.testing.assert_frame_equal(back, water, check_index_type=False)
    assert messages(caplog, "INFO") == [EXPORTED + str(target)]


def test_the_records_come_from_the_cache_when_the_database_is_gone(db_file, tmp_path, statements, conn):
    water = daily_rows(conn, "静水位")
    fetching.refresh_metastash(conn)
    raw = sqlite3.connect(tmp_path / "copy.sqlite")
    for table in ("METHODS", "STATIONS", "STATIONPOINTS", "ITEMS", "STATIONITEMS"):
        raw.execute(f"DROP TABLE QZ_DICT_{table}")
    raw.commit()
    raw.close()
    statements.clear()

    reference = sandbox.connect(db_file)
    try:
        target = tmp_path / "offline.parquet"
        before = dt.datetime.now()
        DataFetcher.export_veld(conn, water, target, 86400)
        after = dt.datetime.now()
        check_bridge_metadata(pq.read_table(target).schema.metadata, reference, water, 86400, before, after)
    finally:
        reference.close()
    assert not any("QZ_DICT" in s for s in statements)


def test_a_conversion_failure_is_reported_twice_and_writes_nothing(conn, tmp_path, caplog):
    df = pd.DataFrame({"STATIONID": ["37005", "37005"], "ITEMID": ["4112", "4112"], "OBSVALUE": [1.0, "x"]})
    target = tmp_path / "bad.parquet"
    assert DataFetcher.export_veld(conn, df, target, 60) is None
    errors = messages(caplog, "ERROR")
    assert len(errors) == 2 and errors[0].startswith("转换 Arrow Table 失败: ") and errors[1] == EXPORT_FAILED
    assert not target.exists()


def test_a_failed_write_keeps_the_earlier_file(conn, water, tmp_path, monkeypatch):
    target = tmp_path / "water.parquet"
    DataFetcher.export_veld(conn, water, target, 86400)
    before = target.read_bytes()

    def half_write(table, where, *args, **kwargs):
        with open(where, "wb") as f:
            f.write(b"PAR1")
        raise OSError("disk full")

    monkeypatch.setattr(pq, "write_table", half_write)
    with pytest.raises(OSError, match="disk full"):
        DataFetcher.export_veld(conn, water, target, 86400)
    with pytest.raises(OSError):
        DataFetcher.export_veld(conn, water, tmp_path / "missing" / "x.parquet", 86400)
    assert target.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir() if p.is_file()) == ["copy.sqlite", "water.parquet"]
