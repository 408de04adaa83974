"""The sample database: the system's own statements run on it unchanged and
give sensible rows; its content is deterministic; the catalogue file has the
documented fixed columns."""

import gzip
import math
import os
import re
import sqlite3
from datetime import datetime, timedelta

import numpy as np
import pandas as pd
import pytest
import sqlalchemy
from geopy.distance import geodesic
from hypothesis import given, settings
from hypothesis import strategies as st

from kelvane import sandbox

START, END = "20200101", "20200331"
MINUTE_DAYS, SECOND_DAYS = 3, 2

DATA_TEMPLATE = (
    "SELECT * FROM QZDATA.{table} WHERE STARTDATE >= TO_DATE('{start}', 'yyyymmdd') "
    "AND STARTDATE < TO_DATE('{end}', 'yyyymmdd')+1"
)
TABLES_SQL = (
    "SELECT TABLE_NAME FROM ALL_TABLES WHERE TABLE_NAME LIKE '%' || :base_type_id || '%' "
    "AND TABLE_NAME LIKE '%' || :sample_rate_id || '%' AND TABLE_NAME LIKE '%' || :methodid || '%'"
)
DICTIONARY_SQL = {
    "methods": "SELECT METHODID, METHODNAME FROM QZDATA.QZ_DICT_METHODS",
    "stations": "SELECT STATIONID, STATIONNAME, LONGITUDE, LATITUDE FROM QZDATA.QZ_DICT_STATIONS",
    "points": "SELECT STATIONID, POINTID, POINTNAME FROM QZDATA.QZ_DICT_STATIONPOINTS",
    "items": "SELECT ITEMID, ITEMNAME, UNIT FROM QZDATA.QZ_DICT_ITEMS",
    "stationitems": "SELECT STATIONID, ITEMID FROM QZDATA.QZ_DICT_STATIONITEMS",
}
TOKENS = {"02": 86400, "01": 1440, "60": 24, "90": 1}


@pytest.fixture(scope="session")
def small_db(tmp_path_factory):
    path = tmp_path_factory.mktemp("sandbox") / "small.sqlite"
    sandbox.build(path, start=START, end=END, seed=7, minute_days=MINUTE_DAYS, second_days=SECOND_DAYS,
                  raw_days=None)
    return str(path)


@pytest.fixture(scope="session")
def conn(small_db):
    c = sandbox.connect(small_db, alias="small sample")
    yield c
    c.close()


def sql(conn, text, **params):
    return pd.read_sql(text, con=conn, params=params or None)


def data_rows(conn, table, start=START, end=END, extra=""):
    return sql(conn, DATA_TEMPLATE.format(table=table, start=start, end=end) + extra)


def table_names(conn, base, rate, method):
    return sql(conn, TABLES_SQL, base_type_id=base, sample_rate_id=rate, methodid=method)["TABLE_NAME"].tolist()


def numeric_tokens(text):
    return [float(t) for t in text.split(" ") if t != "NULL"]


# ---- connection ----------------------------------------------------------------------


def test_connection_carries_alias_and_is_read_only(conn, small_db):
    assert isinstance(conn, sqlalchemy.engine.Connection)
    assert conn.info["kelvane_db_alias"] == "small sample"
    with pytest.raises(sqlalchemy.exc.OperationalError, match="readonly"):
        conn.exec_driver_sql("DELETE FROM QZDATA.QZ_DICT_ITEMS")
    assert sandbox.connect(small_db).info["kelvane_db_alias"] == "sandbox"


def test_connect_rejects_missing_file_and_bad_alias(tmp_path, small_db):
    missing = tmp_path / "nothing.sqlite"
    with pytest.raises(FileNotFoundError):
        sandbox.connect(missing)
    assert not missing.exists()
    with pytest.raises(TypeError):
        sandbox.connect(small_db, alias=3)


def test_connect_without_path_builds_default_once(monkeypatch, tmp_path):
    # Substitute the builder so the default file is a small one.
    real_build = sandbox.build
    calls = []

    def small_build(path):
        calls.append(path)
        return real_build(path, start="20240101", end="20240110", minute_days=1, second_days=0,
                          libraries=["DYU"])

    monkeypatch.setattr(sandbox, "build", small_build)
    expected = os.path.join(os.path.expanduser("~"), ".kelv", "sandbox", "sample.sqlite")
    assert sandbox.default_path() == expected
    c = sandbox.connect()
    assert calls == [expected] and os.path.isfile(expected)
    assert len(sql(c, DICTIONARY_SQL["stations"])) > 0
    c.close()
    sandbox.connect().close()
    assert calls == [expected]  # the existing file is opened, not rebuilt


# ---- dictionary and metadata statements ------------------------------------------------


def test_dictionary_tables(conn):
    t = {key: sql(conn, text) for key, text in DICTIONARY_SQL.items()}
    assert list(t["stations"].columns) == ["STATIONID", "STATIONNAME", "LONGITUDE", "LATITUDE"]
    for key, df in t.items():
        assert len(df) > 0, key
    # ids are text, as the fetched ids are
    assert all(isinstance(v, str) for v in t["stations"]["STATIONID"])
    assert all(isinstance(v, str) for v in t["items"]["ITEMID"])
    st = t["stations"].set_index("STATIONID")
    assert st["LONGITUDE"].between(73, 136).all() and st["LATITUDE"].between(18, 54).all()
    assert "370082" in st.index
    assert st["STATIONNAME"].str.contains("郯城").sum() == 1
    methods = dict(zip(t["methods"]["METHODID"], t["methods"]["METHODNAME"]))
    assert methods["321"] == "直流单装置地电阻率"
    assert {m[0] for m in methods} == {"2", "3", "4"}
    # every item belongs to a known method; station items and points are consistent
    assert set(t["items"]["ITEMID"].str[:3]) <= set(methods)
    si = t["stationitems"]
    assert {"3211", "3212"} <= set(si.loc[si["STATIONID"] == "370082", "ITEMID"])
    assert set(si["ITEMID"]) <= set(t["items"]["ITEMID"])
    assert set(si["STATIONID"]) == set(st.index) == set(t["points"]["STATIONID"])
    assert not si.duplicated().any()


def test_method_statements(conn):
    domain = sql(conn, "SELECT SUBSTR(ITEMID, 1, 3) AS methodid FROM QZDATA.QZ_DICT_STATIONITEMS "
                       "WHERE SUBSTR(ITEMID, 1, 1) = '4'")
    assert set(domain["methodid"]) == {"411", "412", "417", "421"}
    every = sql(conn, "SELECT SUBSTR(ITEMID, 1, 3) AS methodid FROM QZDATA.QZ_DICT_STATIONITEMS")
    assert {"212", "241", "312", "321", "331"} <= set(every["methodid"])
    by_name = sql(conn, "SELECT METHODID AS methodid FROM QZDATA.QZ_DICT_METHODS "
                        "WHERE METHODNAME LIKE '%' || :methodname || '%'", methodname="水位")
    assert sorted(by_name["methodid"]) == ["411", "412"]


def test_station_and_item_statements(conn):
    st = sql(conn, "SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS WHERE STATIONNAME LIKE '%' || :stationname || '%'",
             stationname="郯城")
    assert st["STATIONID"].tolist() == ["37005"]
    items = sql(conn, "SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMNAME LIKE '%' || :itemname || '%'",
                itemname="地电阻率")
    assert sorted(items["ITEMID"]) == ["3211", "3212"]
    listed = sql(conn, "SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMNAME IN ('静水位','水温')")
    assert sorted(listed["ITEMID"]) == ["4112", "4211"]


def test_like_is_case_sensitive_and_underscore_is_a_wildcard(conn):
    assert table_names(conn, "DYU", "60", "321") == ["QZ_321_DEV_DYU_60", "QZ_321_DYU_60"]
    assert table_names(conn, "dyu", "60", "321") == []
    hits = sql(conn, "SELECT TABLE_NAME FROM ALL_TABLES WHERE TABLE_NAME LIKE 'QZ_321_DYU_6_'")
    assert hits["TABLE_NAME"].tolist() == ["QZ_321_DYU_60"]


def test_all_tables_lists_every_library_and_rate(conn):
    names = set(sql(conn, "SELECT TABLE_NAME FROM ALL_TABLES")["TABLE_NAME"])
    assert {"QZ_DICT_METHODS", "QZ_DICT_STATIONS", "QZ_DICT_STATIONPOINTS", "QZ_DICT_ITEMS",
            "QZ_DICT_STATIONITEMS"} <= names
    for lib in ("DYS", "DYU", "CP"):
        for rate in TOKENS:
            if lib == "CP" and rate == "02":
                continue
            assert any(lib in n and n.endswith("_" + rate) for n in names), (lib, rate)
    # product tables are told apart by AVG / INS; a third product exists that neither selects
    cp = sql(conn, TABLES_SQL + " AND (TABLE_NAME LIKE '%' || :kw1 || '%' OR TABLE_NAME LIKE '%' || :kw2 || '%')",
             base_type_id="CP", sample_rate_id="90", methodid="321", kw1="AVG", kw2="INS")
    assert cp["TABLE_NAME"].tolist() == ["QZ_321_CP_AVG_90"]
    assert "QZ_321_CP_STD_90" in names
    # a rate code never occurs by accident in another part of a data-table name
    for name in names:
        parts = name.split("_")
        if parts[0] == "QZ" and parts[-1] in TOKENS and "DICT" not in parts:
            others = "_".join(parts[:-1])
            assert not any(code in others for code in TOKENS), name


# ---- data statements -----------------------------------------------------------------------


def test_data_query_covers_both_days_and_types_dates(conn):
    df = data_rows(conn, "QZ_321_DYU_60", "20200110", "20200112",
                   " AND (STATIONID=370082) AND (ITEMID='3211' OR ITEMID='3212') AND (POINTID='1')")
    assert df["STARTDATE"].dtype.kind == "M"
    days = sorted(set(df["STARTDATE"]))
    assert days[0] >= pd.Timestamp("2020-01-10") and days[-1] <= pd.Timestamp("2020-01-12")
    assert (df["STARTDATE"] == df["STARTDATE"].dt.normalize()).all()
    assert set(df["ITEMID"]) <= {"3211", "3212"} and set(df["STATIONID"]) == {"370082"}
    # one row per item and day (some days may be missing from the record)
    assert not df.duplicated(["ITEMID", "STARTDATE"]).any() and len(df) >= 4
    for text in df["OBSVALUE"]:
        if text != "NULLALL":
            assert len(text.split(" ")) == 24
            values = numeric_tokens(text)
            assert values and all(0 <= v < 200 for v in values)


def test_to_date_arithmetic(conn):
    r = sql(conn, "SELECT TO_DATE('20200131', 'yyyymmdd')+1 - TO_DATE('20200201', 'yyyymmdd') AS d, "
                  "TO_DATE('2020-03-01 12:00:00', 'yyyy-mm-dd hh24:mi:ss') - TO_DATE('20200229', 'yyyymmdd') AS h")
    assert r["d"].iloc[0] == 0 and r["h"].iloc[0] == 1.5
    # the day after the end day is excluded, the end day included
    df = data_rows(conn, "QZ_411_DYU_90", "20200131", "20200131")
    assert set(df["STARTDATE"]) == {pd.Timestamp("2020-01-31")}
    assert sql(conn, "SELECT TO_DATE(20200201, 'yyyymmdd') - TO_DATE('20200131', 'yyyymmdd') AS d")["d"].iloc[0] == 1
    # a date that does not exist fails the statement, with the error read_sql
    # raises for a failed statement (its DatabaseError on pandas 3, SQLAlchemy's
    # on pandas 2)
    with pytest.raises(Exception, match="no such table") as failed:
        sql(conn, "SELECT * FROM NO_SUCH_TABLE")
    with pytest.raises(type(failed.value), match="user-defined function raised exception"):
        sql(conn, "SELECT TO_DATE('20200230', 'yyyymmdd') AS d")
    with pytest.raises(type(failed.value), match="user-defined function raised exception"):
        sql(conn, "SELECT TO_DATE('2020', 'yyyymmdd') AS d")


def test_julian_day_conversions():
    jd = sandbox._to_date("19700101", "yyyymmdd")
    assert jd == 2440587.5
    assert sandbox._to_date("20200229", "YYYYMMDD") - sandbox._to_date("20200228", "yyyymmdd") == 1
    assert sandbox._to_date(None, "yyyymmdd") is None
    assert sandbox._julian_to_datetime(repr(jd).encode()) == datetime(1970, 1, 1)
    t = sandbox._to_date("2021-06-30 23:59:59", "yyyy-mm-dd hh24:mi:ss")
    assert sandbox._julian_to_datetime(repr(t).encode()) == datetime(2021, 6, 30, 23, 59, 59)
    # a value rounded to 15 digits (as SQLite writes it) still gives the second
    assert sandbox._julian_to_datetime(f"{t:.15g}".encode()) == datetime(2021, 6, 30, 23, 59, 59)
    with pytest.raises(ValueError):
        sandbox._julian_to_datetime(b"abc")


@settings(max_examples=400, deadline=None)
@given(st.datetimes(min_value=datetime(1900, 1, 1), max_value=datetime(2200, 12, 31)).map(
    lambda d: d.replace(microsecond=0)))
def test_date_conversions_agree_with_the_calendar(moment):
    day = moment.replace(hour=0, minute=0, second=0)
    jd = sandbox._to_date(moment.strftime("%Y%m%d"), "yyyymmdd")
    assert jd == pd.Timestamp(day).to_julian_date()
    assert sandbox._julian_to_datetime(f"{jd:.15g}".encode()) == day
    full = sandbox._to_date(moment.strftime("%Y-%m-%d %H:%M:%S"), "yyyy-mm-dd hh24:mi:ss")
    assert abs(full - pd.Timestamp(moment).to_julian_date()) < 1e-8
    assert sandbox._julian_to_datetime(f"{full:.15g}".encode()) == moment
    assert sandbox._to_date(moment.strftime("%Y%m%d"), "yyyymmdd") + 1 == sandbox._to_date(
        (day + timedelta(days=1)).strftime("%Y%m%d"), "yyyymmdd")


@pytest.mark.parametrize("text", ["20210229", "20211301", "20210100", "202101011", "2021-01-01", "2021O101", ""])
def test_to_date_rejects_what_is_not_a_date_of_the_format(text):
    with pytest.raises(ValueError):
        sandbox._to_date(text, "yyyymmdd")


def test_union_of_tables_and_rate_columns(conn):
    union = " UNION ALL ".join(DATA_TEMPLATE.format(table=t, start="20200301", end="20200302")
                               for t in ("QZ_411_DYU_90", "QZ_412_DYU_90"))
    df = sql(conn, union)
    assert set(df["ITEMID"]) == {"4112", "4121"} and "SAMPLERATE" in df
    assert set(df["SAMPLERATE"]) == {90}
    assert "SAMPLERATE" not in data_rows(conn, "QZ_411_DYS_90", "20200301", "20200302")
    cp = data_rows(conn, "QZ_411_CP_AVG_60", "20200301", "20200302")
    assert cp["SAMPLERATE"].dtype == np.float64 and set(cp["SAMPLERATE"]) == {60.0}
    # known oddities: a mislabelled rate, an unset code and an empty column
    assert set(data_rows(conn, "QZ_421_DYU_60", "20200301", "20200302")["SAMPLERATE"]) == {1}
    assert set(data_rows(conn, "QZ_212_DYU_60", "20200301", "20200302")["SAMPLERATE"]) == {0}
    assert data_rows(conn, "QZ_241_DYU_90", "20200301", "20200302")["SAMPLERATE"].isna().all()


def test_every_rate_has_full_days(conn):
    end = pd.Timestamp(END)
    for table, rate in (("QZ_312_DYU_02", "02"), ("QZ_312_DYU_01", "01"), ("QZ_212_CP_INS_01", "01"),
                        ("QZ_411_DYU_60", "60"), ("QZ_411_CP_AVG_90", "90")):
        df = data_rows(conn, table, start="20200101", end=END)
        assert len(df) > 0, table
        if rate == "02":
            assert df["STARTDATE"].min() > end - pd.Timedelta(days=SECOND_DAYS)
        if rate == "01":
            assert df["STARTDATE"].min() > end - pd.Timedelta(days=MINUTE_DAYS)
        for text in df["OBSVALUE"]:
            if text != "NULLALL":
                assert len(text.split(" ")) == TOKENS[rate], table


def data_table_names(conn):
    names = sql(conn, "SELECT TABLE_NAME FROM ALL_TABLES")["TABLE_NAME"]
    return [n for n in names if n.split("_")[-1] in TOKENS and "_DEV_" not in n]


def test_nullall_days_null_values_and_null_tokens_occur(conn):
    for name in data_table_names(conn):
        values = sql(conn, f"SELECT OBSVALUE FROM QZDATA.{name}")["OBSVALUE"]
        if "_DYS_01" in name or "_DYS_02" in name:
            assert values.isna().sum() >= 1, name
            texts = [gzip.decompress(v).decode() for v in values.dropna()]
        else:
            assert not values.isna().any(), name
            texts = values.tolist()
        assert texts.count("NULLALL") >= 1, name
    # lone NULL samples and gaps inside days with valid samples
    whole = sql(conn, "SELECT OBSVALUE FROM QZDATA.QZ_411_DYU_60 UNION ALL SELECT OBSVALUE FROM QZDATA.QZ_321_DYU_60 "
                      "UNION ALL SELECT OBSVALUE FROM QZDATA.QZ_312_DYU_60")["OBSVALUE"]
    with_null = whole[whole.str.contains("NULL") & (whole != "NULLALL")]
    assert len(with_null) >= 1 and with_null.map(lambda t: len(numeric_tokens(t)) > 0).all()


def test_spikes_and_bad_readings_occur(conn):
    # resistivity at 370082 carries a few known bad readings below 8
    res = data_rows(conn, "QZ_321_DYU_60", extra=" AND (STATIONID=370082) AND (ITEMID='3211' OR ITEMID='3212')")
    values = np.array([v for t in res["OBSVALUE"] if t != "NULLALL" for v in numeric_tokens(t)])
    assert (values < 8).sum() >= 1 and np.median(values) > 15
    # spikes stand out of the minute record of the tilt meters by many scaled MADs
    df = data_rows(conn, "QZ_212_DYS_01", start="20200101", end=END)
    texts = [gzip.decompress(v).decode() for v in df["OBSVALUE"].dropna()]
    worst = 0.0
    for text in texts:
        if text == "NULLALL":
            continue
        x = pd.Series([np.nan if t == "NULL" else float(t) for t in text.split(" ")])
        med = x.rolling(31, center=True).median()
        mad = (x - med).abs().rolling(31, center=True).median() * 1.4826
        worst = max(worst, ((x - med).abs() / mad).max())
    assert worst > 20


def test_water_level_shows_tides(conn):
    # minute water level of the Tancheng well: semi-diurnal tide of a few centimetres
    df = data_rows(conn, "QZ_411_DYU_01", start="20200329", end=END,
                   extra=" AND (STATIONID=37005) AND (ITEMID='4112')")
    df = df[df["OBSVALUE"] != "NULLALL"]
    assert len(df) >= 1
    tokens = df["OBSVALUE"].iloc[0].split(" ")
    v = pd.Series([np.nan if t == "NULL" else float(t) for t in tokens]).interpolate().bfill().to_numpy()
    v = v - np.polyval(np.polyfit(np.arange(v.size), v, 1), np.arange(v.size))
    spectrum = np.abs(np.fft.rfft(v))
    freqs = np.fft.rfftfreq(v.size, d=1 / 1440)  # cycles per day
    band = spectrum[(freqs > 1.5) & (freqs < 2.5)].max()
    high = spectrum[freqs > 20].mean()
    assert band > 20 * high
    assert 0.002 < np.ptp(v) < 0.5


def test_gzip_rows_decompress_to_packed_text(conn):
    for table, rate in (("QZ_312_DYS_02", "02"), ("QZ_411_DYS_01", "01")):
        df = data_rows(conn, table, start="20200101", end=END)
        assert len(df) > 0
        for value in df["OBSVALUE"]:
            if value is None:
                continue
            assert isinstance(value, bytes)
            text = gzip.decompress(value).decode("utf-8")
            if text != "NULLALL":
                tokens = text.split(" ")
                assert len(tokens) == TOKENS[rate]
                assert all(t == "NULL" or re.fullmatch(r"-?\d+\.\d+", t) for t in tokens)
    raw = sql(conn, "SELECT OBSVALUE FROM QZDATA.QZ_411_DYS_01 UNION ALL SELECT OBSVALUE FROM QZDATA.QZ_312_DYS_01 "
                    "UNION ALL SELECT OBSVALUE FROM QZDATA.QZ_212_DYS_01 UNION ALL "
                    "SELECT OBSVALUE FROM QZDATA.QZ_421_DYS_01")
    assert raw["OBSVALUE"].map(lambda v: isinstance(v, bytes)).sum() > 0


def test_event_log_statement_with_bind_in_every_branch(conn):
    dlg = sql(conn, "SELECT TABLE_NAME FROM ALL_TABLES WHERE TABLE_NAME LIKE '%' || :base_type_id || '%' "
                    "AND TABLE_NAME LIKE '%' || :method_id || '%'", base_type_id="DLG", method_id="321")
    assert dlg["TABLE_NAME"].tolist() == ["QZ_321_DEV_DLG", "QZ_321_DLG"]
    branch = ("SELECT * FROM QZDATA.{t} WHERE STARTDATE >= TO_DATE('{s}', 'yyyymmdd') "
              "AND STARTDATE < TO_DATE('{e}', 'yyyymmdd')+1 AND EVTID IN (:evt_id)")
    text = " UNION ALL ".join(branch.format(t=t, s="20200330", e=END) for t in ("QZ_321_DLG", "QZ_411_DLG"))
    df = sql(conn, text, evt_id="313")
    assert len(df) > 0 and set(df["EVTID"]) == {"313"}
    assert df["STARTDATE"].dtype.kind == "M" and (df["ENDDATE"] > df["STARTDATE"]).all()
    assert df["STARTDATE"].min() >= pd.Timestamp("2020-03-30")
    assert df["STARTDATE"].max() < pd.Timestamp(END) + pd.Timedelta(days=1)
    assert (df["STARTDATE"] != df["STARTDATE"].dt.normalize()).any()  # events carry a time of day
    assert set(df["STATIONID"]) >= {"370082"}


def test_dev_tables_hold_wrong_data(conn):
    names = sql(conn, "SELECT TABLE_NAME FROM ALL_TABLES WHERE TABLE_NAME LIKE '%\\_DEV\\_%' ESCAPE '\\'")
    names = names["TABLE_NAME"].tolist()
    assert {"QZ_321_DEV_DYU_60", "QZ_411_DEV_DYU_90", "QZ_411_DEV_DYU_01", "QZ_312_DEV_DYS_02",
            "QZ_321_DEV_DLG"} == set(names)
    assert set(data_rows(conn, "QZ_411_DEV_DYU_90")["OBSVALUE"]) == {"-99999"}
    for v in data_rows(conn, "QZ_312_DEV_DYS_02")["OBSVALUE"]:
        assert set(gzip.decompress(v).decode().split(" ")) == {"-99999"}
    assert sql(conn, "SELECT EVTDESC FROM QZDATA.QZ_321_DEV_DLG")["EVTDESC"].str.startswith("DEV").all()
    # the same layout as the real tables, so joining them in would not fail but corrupt
    real = data_rows(conn, "QZ_321_DYU_60", "20200301", "20200301")
    dev = data_rows(conn, "QZ_321_DEV_DYU_60", "20200301", "20200301")
    assert list(real.columns) == list(dev.columns) and len(dev) > 0


# ---- content and arguments ---------------------------------------------------------------------


def table_contents(path):
    with sqlite3.connect(path) as con:
        names = [r[0] for r in con.execute("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name")]
        return {n: con.execute(f"SELECT * FROM {n} ORDER BY rowid").fetchall() for n in names}


def test_same_seed_same_content_other_seed_other_values(tmp_path):
    kw = dict(start="20230101", end="20230115", minute_days=2, second_days=1, rates=["02", "01", "90"])
    a = table_contents(sandbox.build(tmp_path / "a.sqlite", seed=3, **kw))
    b = table_contents(sandbox.build(tmp_path / "b.sqlite", seed=3, **kw))
    c = table_contents(sandbox.build(tmp_path / "c.sqlite", seed=4, **kw))
    assert a == b
    assert a.keys() == c.keys()
    assert a["QZ_DICT_STATIONS"] == c["QZ_DICT_STATIONS"]
    assert a["QZ_312_DYU_01"] != c["QZ_312_DYU_01"]
    # a day's samples do not depend on the range built around it (the first
    # day of a table is marked NULLALL for its first series)
    d = table_contents(sandbox.build(tmp_path / "d.sqlite", seed=3, start="20230110", end="20230115",
                                     minute_days=2, second_days=1, rates=["90"]))
    later = pd.Timestamp("2023-01-11").to_julian_date()
    tail = [r for r in d["QZ_411_DYU_90"] if r[3] >= later]
    assert len(tail) >= 5 and [r for r in a["QZ_411_DYU_90"] if r[3] >= later] == tail


def test_size_parameters(tmp_path):
    path = sandbox.build(tmp_path / "s.sqlite", start="20240101", end="20240105", stations=["370082"],
                         extra_stations=3, minute_days=2, second_days=0, libraries=["DYU"], rates=["01", "90"])
    c = sandbox.connect(path)
    stations = sql(c, DICTIONARY_SQL["stations"])
    assert len(stations) == 4 and stations["STATIONID"].is_unique
    names = set(sql(c, "SELECT TABLE_NAME FROM ALL_TABLES")["TABLE_NAME"])
    assert not any("_02" in n or "_60" in n or "DYS" in n or "CP" in n for n in names)
    wells = data_rows(c, "QZ_411_DYU_01", "20240101", "20240105")
    assert set(wells["STATIONID"]) == set(stations["STATIONID"]) - {"370082"}
    assert wells["STARTDATE"].min() >= pd.Timestamp("2024-01-04")
    c.close()


def test_no_stations_gives_an_empty_dictionary(tmp_path):
    c = sandbox.connect(sandbox.build(tmp_path / "e.sqlite", start="20240101", end="20240102", stations=[]))
    assert sql(c, DICTIONARY_SQL["stations"]).empty and sql(c, DICTIONARY_SQL["stationitems"]).empty
    assert len(sql(c, DICTIONARY_SQL["methods"])) > 0
    assert data_table_names(c) == []
    c.close()


def test_bad_arguments(tmp_path):
    (tmp_path / "out").mkdir()
    p = tmp_path / "out" / "x.sqlite"
    with pytest.raises(ValueError, match="before start"):
        sandbox.build(p, start="20200102", end="20200101")
    with pytest.raises(ValueError, match="unknown sample station"):
        sandbox.build(p, start="20200101", end="20200101", stations=["99999"])
    with pytest.raises(ValueError, match="rate"):
        sandbox.build(p, start="20200101", end="20200101", rates=["03"])
    with pytest.raises(ValueError):
        sandbox.build(p, start="not a date", end="20200101")
    with pytest.raises(ValueError):
        sandbox.build(p, start="20200101", end="20200101", minute_days=-1)
    with pytest.raises(TypeError):
        sandbox.build(p, seed="1")
    assert os.listdir(tmp_path / "out") == []


# ---- long conditions -----------------------------------------------------------------------------


def test_station_words_matching_thousands_of_stations(tmp_path):
    from kelvane import fetching

    path = sandbox.build(tmp_path / "wells.sqlite", start="20240101", end="20240102", stations=["37005"],
                         extra_stations=5000, minute_days=0, second_days=0, raw_days=0, libraries=["DYU"],
                         rates=["90"])
    c = sandbox.connect(path)
    stations = sql(c, DICTIONARY_SQL["stations"])
    request = ("20240101", "20240102", "静水位")
    everything = fetching.fetching_data(c, *request, "全部", "日均值", "预处理库")
    logs = fetching.fetching_dialog(c, *request, "全部")
    for word in ("井", "1"):
        ids = stations.loc[stations["STATIONNAME"].str.contains(word), "STATIONID"]
        assert len(ids) >= 1000
        got = fetching.fetching_data(c, *request, word, "日均值", "预处理库")
        pd.testing.assert_frame_equal(got, everything[everything["STATIONID"].isin(ids)])
        got_logs = fetching.fetching_dialog(c, *request, word)
        pd.testing.assert_frame_equal(got_logs.reset_index(drop=True),
                                      logs[logs["stationid"].isin(ids)].reset_index(drop=True))
    c.close()


CHAINS = [
    "SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS WHERE ({})",
    "SELECT ITEMID FROM QZDATA.QZ_DICT_STATIONITEMS WHERE ITEMID LIKE '4%' AND ({}) ORDER BY ITEMID",
    "SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS WHERE STATIONID='x' OR ({}) OR STATIONID = '(s=1 OR s=2)'",
    "SELECT count(*) AS n, ({}) AS hit FROM QZDATA.QZ_DICT_STATIONS GROUP BY hit",
]


@pytest.mark.parametrize("template", CHAINS)
def test_or_chains_select_what_sqlite_selects_for_them(conn, small_db, template):
    # chains short enough for SQLite to parse: the sample connection gives the
    # rows a plain connection gives, whatever shape the ids are written in
    ids = sql(conn, DICTIONARY_SQL["stations"])["STATIONID"].tolist()
    items = sql(conn, DICTIONARY_SQL["items"])["ITEMID"].tolist()
    plain = sqlite3.connect(f"file:{small_db}?mode=ro", uri=True)
    plain.execute(f"ATTACH DATABASE 'file:{small_db}?mode=ro' AS QZDATA")
    column = "ITEMID" if "ITEMID LIKE" in template else "STATIONID"
    values = items if column == "ITEMID" else ids
    literals = [v if v.isdigit() and i % 2 else f"'{v}'" for i, v in enumerate(values)]
    literals += ["'O''Neil'", "-5", "+7.25", "'a OR b'", "999999"] * 3
    for terms in (literals[:2], literals[::-1], (literals * 60)[:990]):
        chain = f" or\n  {column} = ".join([""] + terms)[len(" or\n  "):]
        statement = template.format(chain)
        expected = sorted(plain.execute(statement).fetchall())
        got = sorted(map(tuple, conn.exec_driver_sql(statement).fetchall()))
        assert got == expected
    assert len(expected) > 0
    plain.close()


def test_or_chains_longer_than_sqlite_parses(conn):
    ids = sql(conn, DICTIONARY_SQL["stations"])["STATIONID"].tolist()
    many = ids + [str(100000 + k) for k in range(5000)]
    chain = " OR ".join(f"STATIONID={v}" for v in many)
    got = sql(conn, f"SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS WHERE ({chain}) ORDER BY STATIONID")
    assert got["STATIONID"].tolist() == sorted(ids)
    # a chain inside a quoted text is text, and two columns are no chain
    mixed = " OR ".join(f"STATIONID={v} OR LONGITUDE={k}" for k, v in enumerate(many))
    with pytest.raises(Exception, match="Expression tree is too large"):
        sql(conn, f"SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS WHERE ({mixed})")
    quoted = sql(conn, f"SELECT '({chain})' AS t")["t"].iloc[0]
    assert quoted == f"({chain})"


# ---- the default sample ------------------------------------------------------------------------


def test_default_sample_serves_the_daily_requests(tmp_path):
    """The default sample covers 2009 to today: hourly resistivity at 370082,
    daily water level at Tancheng, recent minute and second values."""
    path = tmp_path / "default.sqlite"
    sandbox.build(path)
    assert os.path.getsize(path) < 200 * 2**20
    c = sandbox.connect(path)
    today = datetime.now().strftime("%Y%m%d")
    week_ago = (datetime.now() - timedelta(days=7)).strftime("%Y%m%d")
    res = data_rows(c, "QZ_321_DYU_60", "20090101", today, " AND (STATIONID=370082)")
    assert {"3211", "3212"} <= set(res["ITEMID"])
    assert res["STARTDATE"].min() < pd.Timestamp("2009-01-10")
    assert res["STARTDATE"].max() >= pd.Timestamp(today) - pd.Timedelta(days=3)
    water = data_rows(c, "QZ_411_DYU_90", "20090101", today, " AND (STATIONID=37005)")
    assert len(water) > 300 * 15
    for rate in ("01", "02"):
        recent = set()
        for t in table_names(c, "DYU", rate, ""):
            if "_DEV_" not in t:
                recent |= set(data_rows(c, t, week_ago, today)["STATIONID"])
        assert recent, rate
    minute_water = data_rows(c, "QZ_411_DYU_01", week_ago, today)
    assert {"37005", "13024"} <= set(minute_water["STATIONID"])
    c.close()


# ---- catalogue -----------------------------------------------------------------------------------


def parse_line(line):
    def number(s):
        try:
            return float(s.strip())
        except ValueError:
            return math.nan

    return (datetime.strptime(line[0:14].strip(), "%Y%m%d%H%M%S"), number(line[15:21]), number(line[21:27]),
            number(line[28:32]), line[39:].strip())


def test_catalogue_lines_parse_at_the_fixed_columns(tmp_path, conn):
    path = sandbox.write_catalogue(tmp_path / "kat.txt", start="20100101", end="20201231", seed=5, count=300)
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    assert len(lines) == 300
    events = [parse_line(line) for line in lines]
    for line, (t, lat, lon, mag, name) in zip(lines, events):
        assert line[14] == " " and line[27] == " " and line[32] == " " and line[38] == " "
        assert datetime(2010, 1, 1) <= t < datetime(2021, 1, 1)
        assert 15 < lat < 55 and 70 < lon < 140 and 1.5 <= mag <= 8.5
        assert name and re.search("[\u4e00-\u9fff]", name)
    times = [e[0] for e in events]
    assert times == sorted(times)
    mags = np.array([e[3] for e in events])
    assert (mags < 3).sum() > (mags >= 4).sum() > 0  # many small events, a few larger ones
    stations = sql(conn, DICTIONARY_SQL["stations"])
    far = 0
    for _, s in stations.iterrows():
        d = np.array([geodesic((s.LATITUDE, s.LONGITUDE), (e[1], e[2])).km for e in events])
        assert ((d < 300) & (mags >= 3.0)).any(), s.STATIONID
        far += (d > 1000).sum()
    assert far > 0
    again = sandbox.write_catalogue(tmp_path / "kat2.txt", start="20100101", end="20201231", seed=5, count=300)
    assert open(again, encoding="utf-8").read() == "\n".join(lines) + "\n"


def test_catalogue_has_recent_events(tmp_path):
    path = sandbox.write_catalogue(tmp_path / "kat.txt", count=50, stations=["370082", "37005"])
    events = [parse_line(line) for line in open(path, encoding="utf-8").read().splitlines()]
    assert any(t >= datetime.now() - timedelta(days=31) for t, *_ in events)
    assert len(events) == 50


def test_catalogue_reads_with_the_catalogue_reader(tmp_path, conn):
    from kelvane import KAT

    path = sandbox.write_catalogue(tmp_path / "kat.txt", start="20150101", end="20201231", count=120)
    kat = KAT.read_KAT(path)
    lines = open(path, encoding="utf-8").read().splitlines()
    assert len(kat) == 120 and not kat.index.isna().any()
    first = parse_line(lines[0])
    assert kat.index[0] == pd.Timestamp(first[0])
    assert (kat["lat"].iloc[0], kat["lon"].iloc[0], kat["magnitude"].iloc[0], kat["name"].iloc[0]) == first[1:]
    st = sql(conn, DICTIONARY_SQL["stations"]).set_index("STATIONID").loc["37005"]
    near = KAT.filtered_kats(kat, station=(st.LATITUDE, st.LONGITUDE))
    assert near["flag"].sum() >= 1 and (near["flag"] == 0).sum() >= 1
