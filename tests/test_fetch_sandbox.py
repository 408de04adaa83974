"""The fetch on the sample database, statements run as written: every library
and rate against the plain-pandas pipeline, joined tables, compressed tables,
the SAMPLERATE oddities, empty days, filters, the cache fallback and the
presets."""

import datetime as dt
import gzip
import logging

import numpy as np
import pandas as pd
import pytest
import sqlalchemy as sa

from kelvane import fetching, sandbox
from reference.fetch_reference import reference_fetch
from reference.split_reference import split_lines_reference

TODAY = dt.date.today()
START = (TODAY - dt.timedelta(days=40)).strftime("%Y%m%d")


def stamp(days_ago):
    return (TODAY - dt.timedelta(days=days_ago)).strftime("%Y%m%d")


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    path = tmp_path_factory.mktemp("sample") / "sample.sqlite"
    sandbox.build(str(path), start=START, minute_days=2, second_days=1, raw_days=None)
    return str(path)


@pytest.fixture
def conn(sample):
    c = sandbox.connect(sample, alias="sample db")
    yield c
    c.close()


def fetch(conn, *args, **kwargs):
    return fetching.DataFetcher.fetch_data(conn, *args, **kwargs)


def statement(conn, method, data_type, base_type, start, end):
    mf = fetching.MetadataFetcher
    config = fetching.SampleRateType.get_config(data_type)
    names = mf.get_table_names(conn, mf.get_method_ids(conn, method), fetching.DatabaseType.get_id(base_type),
                               config["id"])
    return fetching.QueryBuilder.build_data_query(names, start, end), config["rate"]


def raw_rows(conn, sql):
    return pd.read_sql(sql, con=conn)


REQUESTS = [
    # method, rate, library, days back
    ("全部", "日均值", "预处理库", 10), ("全部", "日均值", "原始库", 10), ("全部", "日均值", "产品库", 10),
    ("全部", "小时值", "预处理库", 3), ("全部", "小时值", "原始库", 3), ("全部", "小时值", "产品库", 3),
    ("全部", "分钟值", "预处理库", 1), ("全部", "分钟值", "原始库", 1), ("全部", "分钟值", "产品库", 1),
    ("水管倾斜", "秒钟值", "预处理库", 0), ("磁通门磁力仪", "秒钟值", "原始库", 0),
]


@pytest.mark.parametrize("method, rate, library, back", REQUESTS)
def test_every_library_and_rate_matches_reference(conn, method, rate, library, back):
    start, end = stamp(back), stamp(0)
    gz = library == "原始库"
    got = fetch(conn, start, end, method, "全部", rate, library, gzip_flag=gz)
    sql, configured = statement(conn, method, rate, library, start, end)
    want = reference_fetch(conn, sql, configured, split_lines_reference, gzip_flag=gz)
    assert len(got) > 0 and got["OBSVALUE"].notna().any()
    pd.testing.assert_frame_equal(got, want)
    assert got.index.name == "STARTDATE" and got.index.is_monotonic_increasing
    assert got.columns[-1] == "OBSVALUE" and got["OBSVALUE"].dtype == np.float32


def test_product_seconds_and_empty_ranges(conn, caplog):
    with caplog.at_level(logging.DEBUG, logger="fetching"):
        assert fetch(conn, stamp(1), stamp(0), "全部", "全部", "秒钟值", "产品库") is None
        empty = fetch(conn, "20000101", "20000105", "地电阻率", "全部", "小时值", "预处理库")
    assert empty.empty and list(empty.columns) == ["STATIONID", "POINTID", "ITEMID", "STARTDATE", "SAMPLERATE",
                                                   "OBSVALUE"]
    messages = [r.getMessage() for r in caplog.records]
    assert "未找到匹配的表名!" in messages and "查询结果为空!" in messages


def test_joined_tables_and_dev_tables(conn):
    seen = []
    sa.event.listen(conn, "before_cursor_execute", lambda c, cur, s, *a: seen.append(s))
    daily = fetch(conn, START, stamp(0), "水位", "全部", "日均值", "预处理库")
    # static (411) and dynamic (412) water level come from two tables in one statement
    assert set(daily["ITEMID"]) == {"4112", "4121"}
    data_statements = [s for s in seen if s.startswith("SELECT") and "STARTDATE >=" in s]
    assert len(data_statements) == 1 and data_statements[0].count("UNION ALL") == 1
    minute = fetch(conn, stamp(1), stamp(0), "静水位", "全部", "分钟值", "预处理库")
    hourly = fetch(conn, START, stamp(0), "电阻率", "全部", "小时值", "预处理库")
    assert not any("_DEV_" in s for s in seen if "STARTDATE >=" in s)
    for table in (daily, minute, hourly):
        assert len(table) and not (table["OBSVALUE"] < -90000).any()


def test_sample_rate_oddities(conn, caplog):
    # hourly water temperature rows labelled with the minute code: split per minute
    temp = fetch(conn, stamp(2), stamp(2), "水温", "郯城", "小时值", "预处理库")
    day = temp[temp["ITEMID"] == "4211"]
    assert len(day) == 24 and (day.index.to_series().diff().dropna() == pd.Timedelta(minutes=1)).all()
    # the unset code 0: a warning and hourly steps
    with caplog.at_level(logging.WARNING, logger="fetching"):
        tilt = fetch(conn, stamp(2), stamp(2), "水管倾斜", "全部", "小时值", "预处理库")
    assert "无法识别数据库中的采样率ID: 00, 采用请求配置值" in [r.getMessage() for r in caplog.records]
    per_item = tilt[tilt["ITEMID"] == "2121"]
    assert len(per_item) == 24 and (per_item.index.to_series().diff().dropna() == pd.Timedelta(hours=1)).all()
    # an empty SAMPLERATE: the requested daily interval, not split
    strain = fetch(conn, stamp(5), stamp(0), "四分量钻孔应变", "全部", "日均值", "预处理库")
    assert strain["SAMPLERATE"].isna().all() and len(strain) == 2 * 6
    # no SAMPLERATE column in the raw library; a day stored without a value
    # (decompressed to the empty text) is one NaN sample
    raw = fetch(conn, stamp(0), stamp(0), "水管倾斜", "全部", "秒钟值", "原始库", gzip_flag=True)
    days = fetch(conn, stamp(0), stamp(0), "水管倾斜", "全部", "秒钟值", "原始库", gzip_flag=True,
                 my_split_lines=False)
    assert "SAMPLERATE" not in raw.columns
    assert len(raw) == sum(86400 if text else 1 for text in days["OBSVALUE"])


def test_null_days_and_missing_blobs(conn):
    day = raw_rows(conn, "SELECT STATIONID, ITEMID, STARTDATE FROM QZDATA.QZ_411_DYU_60 WHERE OBSVALUE = 'NULLALL'")
    station, item, start = day.iloc[0]
    got = fetch(conn, start, start, "静水位", "全部", "小时值", "预处理库")
    hours = got[(got["STATIONID"] == station) & (got["ITEMID"] == item)]
    assert len(hours) == 24 and hours["OBSVALUE"].isna().all()
    unsplit = fetch(conn, start, start, "静水位", "全部", "小时值", "预处理库", my_split_lines=False)
    marked = unsplit[(unsplit["STATIONID"] == station) & (unsplit["ITEMID"] == item)]["OBSVALUE"].item()
    assert marked == " ".join(["NULL"] * 24)

    # a NULL blob in a compressed table becomes one missing sample at its start
    blob = raw_rows(conn, "SELECT STATIONID, ITEMID, STARTDATE FROM QZDATA.QZ_312_DYS_01 WHERE OBSVALUE IS NULL")
    station, item, start = blob.iloc[0]
    got = fetch(conn, start, start, "磁通门磁力仪", "全部", "分钟值", "原始库", gzip_flag=True)
    series = got[(got["STATIONID"] == station) & (got["ITEMID"] == item)]
    assert len(series) == 1 and series.index[0] == start and np.isnan(series["OBSVALUE"].iloc[0])


def test_compressed_strings(conn):
    rows = raw_rows(conn, f"SELECT * FROM QZDATA.QZ_411_DYS_01 WHERE STARTDATE >= TO_DATE('{stamp(0)}', 'yyyymmdd')")
    packed = fetch(conn, stamp(0), stamp(0), "静水位", "全部", "分钟值", "原始库", my_split_lines=False)
    assert isinstance(packed["OBSVALUE"].iloc[0], bytes)
    text = fetch(conn, stamp(0), stamp(0), "静水位", "全部", "分钟值", "原始库", gzip_flag=True,
                 my_split_lines=False)
    by_station = dict(zip(rows["STATIONID"], rows["OBSVALUE"]))
    for station, value in zip(text["STATIONID"], text["OBSVALUE"]):
        assert value == gzip.decompress(by_station[station]).decode("utf-8")
    with pytest.raises(TypeError):  # bytes cannot be split
        fetch(conn, stamp(0), stamp(0), "静水位", "全部", "分钟值", "原始库")


def test_filters(conn):
    hourly = dict(start_date=stamp(2), end_date=stamp(1), method_name="全部", data_type="小时值",
                  base_type="预处理库")
    by_station = fetching.DataFetcher.fetch_data(conn, station_name="泰安", **hourly)
    assert set(by_station["STATIONID"]) == {"370082"}
    assert set(by_station["ITEMID"]) == {"3211", "3212", "3215", "3216", "3311", "3312"}
    one_item = fetching.DataFetcher.fetch_data(conn, station_name="全部", item_name="NS向地电阻率", **hourly)
    assert set(one_item["ITEMID"]) == {"3211"}
    two = fetching.DataFetcher.fetch_data(conn, station_name="全部", item_name=["NS向地电阻率", "EW向地电场"],
                                          **hourly)
    assert set(two["ITEMID"]) == {"3211", "3312"}
    point = fetching.DataFetcher.fetch_data(conn, station_name="泰安", point_id="2", **hourly)
    assert set(point["POINTID"]) == {"2"} and set(point["ITEMID"]) == {"3311", "3312"}
    assert len(point) == 2 * 2 * 24


def test_cache_fallback_when_the_database_fails(sample, tmp_path):
    c = sandbox.connect(sample, alias="sample db")
    mf = fetching.MetadataFetcher
    online = (mf.get_method_ids(c, "流体"), mf.get_station_ids(c, "郯城"), mf.get_item_ids(c, "水位"),
              mf.get_item_ids(c, ["水温", "降雨量"]))
    fetching.refresh_metastash(c)
    c.close()
    offline = (mf.get_method_ids(c, "流体"), mf.get_station_ids(c, "郯城"), mf.get_item_ids(c, "水位"),
               mf.get_item_ids(c, ["水温", "降雨量"]))
    for a, b in zip(online, offline):
        assert a.iloc[:, 0].tolist() == b.iloc[:, 0].tolist()
    assert sorted(offline[0]["methodid"]) == ["411", "412", "421"]
    stations, points, items = fetching.timeseries_info(c)
    assert len(stations) == 6 and "37005" in set(stations["STATIONID"])
    # the data tables have no cache: the database error reaches the caller as
    # read_sql raises it (its DatabaseError on pandas 3, SQLAlchemy's on pandas 2)
    with pytest.raises(Exception, match="closed") as direct:
        pd.read_sql("SELECT 1", con=c)
    with pytest.raises(type(direct.value), match="closed"):
        fetch(c, stamp(1), stamp(0), "水位", "全部", "分钟值", "预处理库")
    # neither database nor cache
    with pytest.raises(RuntimeError, match="未找到本地元数据缓存"):
        fetching.timeseries_info(c, cache_dir=str(tmp_path / "none"))


def test_presets(conn):
    week = fetching.load_Oracle_data_daily(conn, 7, "预处理库", "水位", "日均值")
    assert set(week["ITEMID"]) == {"4112", "4121"}
    assert week.index.min() == pd.Timestamp(stamp(7)) and week.index.max() == pd.Timestamp(stamp(0))

    plain = fetching.fetching_data(conn, "20090101", stamp(0), "直流单装置地电阻率", "全部", "小时值", "预处理库")
    res = fetching.load_Oracle_data_resistivity_year(conn)
    bad = (plain["STATIONID"] == "370082") & plain["ITEMID"].isin(["3211", "3212"]) & (plain["OBSVALUE"] < 8)
    assert bad.sum() > 0  # the sample carries a few bad readings
    assert res["OBSVALUE"][bad.to_numpy()].isna().all()
    pd.testing.assert_series_equal(res["OBSVALUE"][~bad.to_numpy()], plain["OBSVALUE"][~bad.to_numpy()])

    water = fetching.load_Oracle_data_water_year(conn)
    assert set(water["STATIONID"]) == {"37005"} and water["OBSVALUE"].dtype == np.float32
    assert (water.index.to_series().diff().dropna() == pd.Timedelta(days=1)).all()
    assert water["OBSVALUE"].notna().all()


def test_a_fetch_sends_only_the_lookups_and_the_data_read(conn):
    mf = fetching.MetadataFetcher
    method_ids = mf.get_method_ids(conn, "水")["methodid"].tolist()
    assert len(method_ids) > 1
    for library, per_table in (("预处理库", "TABLE_NAME LIKE '%' || :methodid || '%'"),
                               ("产品库", ":kw1 || '%' OR TABLE_NAME LIKE '%' || :kw2")):
        seen = []

        def keep(_conn, _cursor, statement, *_):
            seen.append(statement)

        sa.event.listen(conn, "before_cursor_execute", keep)
        try:
            got = fetch(conn, stamp(1), stamp(0), "水", "郯城", "分钟值", library, item_name=["静水位", "水温"])
        finally:
            sa.event.remove(conn, "before_cursor_execute", keep)
        assert got is not None
        # methods by name, one table search per method id, stations, items, the data read: nothing else
        texts = [" ".join(s.split()) for s in seen]
        assert len(texts) == 1 + len(method_ids) + 3, texts
        assert texts[0].startswith("SELECT METHODID AS methodid FROM QZDATA.QZ_DICT_METHODS WHERE METHODNAME")
        assert all(t.startswith("SELECT TABLE_NAME FROM ALL_TABLES") and per_table in t
                   for t in texts[1:1 + len(method_ids)])
        assert texts[-3].startswith("SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS WHERE STATIONNAME LIKE")
        assert texts[-2] == "SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMNAME IN ('静水位','水温')"
        assert texts[-1].startswith("SELECT * FROM QZDATA.") and "STARTDATE >= TO_DATE(" in texts[-1]
