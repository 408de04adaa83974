"""Metadata lookups and the observation fetch on a small hand-made QZDATA
database: every branch of the lookups, the cache fallback, and the fetch's
normalisation, interval choice, decompression and empty-day expansion,
compared with the plain-pandas reference."""

import gzip
import logging

import numpy as np
import pandas as pd
import pytest

import qzdb
from kelvane import fetching
from kelvane.fetching import DataFetcher, MetadataFetcher, MetaStash, QueryBuilder
from reference.fetch_reference import reference_fetch

DAY_A, DAY_B, DAY_C = qzdb.day("20200101"), qzdb.day("20200102"), qzdb.day("20200103")

DICTIONARY = {
    "QZ_DICT_METHODS": (
        "METHODID TEXT, METHODNAME TEXT",
        [("321", "直流单装置地电阻率"), ("412", "水位"), ("213", "倾斜"), ("417", "气氡"), ("422", "水.温")],
    ),
    "QZ_DICT_STATIONS": (
        "STATIONID TEXT, STATIONNAME TEXT, LONGITUDE REAL, LATITUDE REAL",
        [("370082", "泰安", 117.1, 36.2), ("37005", "郯城马陵山", 118.3, 34.6), ("12001", "蓟县", 117.4, 40.0)],
    ),
    "QZ_DICT_STATIONPOINTS": (
        "STATIONID TEXT, POINTID TEXT, POINTNAME TEXT",
        [("370082", "1", "一号"), ("37005", "1", "井1"), ("37005", "2", "井2")],
    ),
    "QZ_DICT_ITEMS": (
        "ITEMID TEXT, ITEMNAME TEXT, UNIT TEXT",
        [("3211", "地电阻率NS", "Ωm"), ("3212", "地电阻率EW", "Ωm"), ("4121", "水位", "m"),
         ("4122", "水位'辅'", "m"), ("4171", "气氡", "Bq/L"), ("2131", "倾斜NS", "ms")],
    ),
    "QZ_DICT_STATIONITEMS": (
        "STATIONID TEXT, ITEMID TEXT",
        [("370082", "3211"), ("370082", "3212"), ("37005", "4121"), ("37005", "4122"),
         ("37005", "4171"), ("12001", "2131"), ("12001", None)],
    ),
}

HOURS = [10.0 + 0.25 * h for h in range(24)]
MINUTES_A = [1.0 + k / 1000 for k in range(1440)]
SECONDS = [0.5 * (k % 7) for k in range(86400)]


def tables():
    hourly = [("370082", "1", "3211", d, qzdb.packed(HOURS), 60.0) for d in (DAY_A, DAY_B, DAY_C)]
    hourly += [("370082", "1", "3212", DAY_A, qzdb.packed([7.5] * 24), 60.0),
               ("370082", "1", "3212", DAY_B, "NULLALL", 60.0)]
    minute = [("37005", "1", "4121", DAY_B, qzdb.packed(MINUTES_A), 1.0),
              ("37005", "1", "4121", DAY_A, "NULLALL", 1.0),
              ("37005", "2", "4122", DAY_A, "1 NULL  3 x NULLALL", 1.0)]
    return {
        "QZ_321_DYU_60": (True, False, hourly),
        "QZ_321_DYU_60B": (True, False, hourly[:1]),  # the same day held twice
        "QZ_412_DYU_01": (True, False, minute),
        "QZ_412_DYU_01_DEV_X": (True, False, [("37005", "1", "4121", DAY_A, "-777 -777", 1.0)]),
        "QZ_417_DYU_01": (True, False, [("37005", "1", "4171", DAY_A, "5", 1.0)]),
        "QZ_412_DYS_02Z": (False, True, [("37005", "1", "4121", DAY_A, qzdb.packed(SECONDS), None),
                                         ("37005", "1", "4121", DAY_B, "NULLALL", None),
                                         ("37005", "1", "4121", DAY_C, None, None)]),
        "QZ_412_DYS_60Z": (False, True, [("37005", "1", "4121", DAY_A, "1 2", None)]),
        "QZ_412_DYU_90": (True, False, [("37005", "1", "4121", DAY_A, "NULLALL", 1.0)]),
        "QZ_213_DYU_90": (True, False, [("12001", "1", "2131", DAY_A, "NULLALL", 90.0),
                                        ("12001", "1", "2131", DAY_B, "3.5", None)]),
        "QZ_213_DYU_60": (False, False, [("12001", "1", "2131", DAY_A, "NULLALL", None)]),
        "QZ_213_DYS_01": (True, False, [("12001", "1", "2131", DAY_A, "NULLALL", 0.0)]),
        "QZ_412_CP_90_AVG": (True, False, [("37005", "1", "4121", DAY_A, "4.5", 90.0)]),
        "QZ_412_CP_90_XYZ": (True, False, [("37005", "1", "4121", DAY_A, "9", 90.0)]),
    }


@pytest.fixture(scope="module")
def db_path(tmp_path_factory):
    path = tmp_path_factory.mktemp("qz") / "qz.db"
    qzdb.create(path, DICTIONARY, tables())
    return path


@pytest.fixture
def conn(db_path):
    c = qzdb.connect(db_path)
    yield c
    c.close()


def statements(conn):
    seen = []
    import sqlalchemy as sa

    @sa.event.listens_for(conn, "before_cursor_execute")
    def keep(_c, _cursor, statement, *args):
        if statement.startswith("SELECT"):
            seen.append(statement)

    return seen


def fetch(conn, *args, **kwargs):
    return DataFetcher.fetch_data(conn, *args, **kwargs)


def request_sql(conn, method, data_type, base_type, start, end, station="全部", item="全部", point=""):
    """The data statement of a request, built by the lookups and the builder."""
    config = fetching.SampleRateType.get_config(data_type)
    names = MetadataFetcher.get_table_names(
        conn, MetadataFetcher.get_method_ids(conn, method), fetching.DatabaseType.get_id(base_type), config["id"]
    )
    stations = None if station == "全部" else MetadataFetcher.get_station_ids(conn, station)
    items = None if item == "全部" else MetadataFetcher.get_item_ids(conn, item)
    return QueryBuilder.build_data_query(names, start, end, stations, items, point), config["rate"]


# --- metadata lookups ---------------------------------------------------------


def test_method_lookups(conn):
    ids = lambda name: MetadataFetcher.get_method_ids(conn, name)["methodid"].tolist()  # noqa: E731
    assert ids("流体") == ["412"]  # 417 is never offered
    assert ids("电磁") == ["321"]
    assert sorted(ids("全部")) == ["213", "321", "412"]
    assert ids("水") == ["412", "422"]
    assert ids("电阻率") == ["321"]
    assert ids("无此方法") == []


def test_station_and_item_lookups(conn):
    assert MetadataFetcher.get_station_ids(conn, "全部") is None
    assert MetadataFetcher.get_item_ids(conn, "全部") is None
    st = MetadataFetcher.get_station_ids(conn, "郯城")
    assert list(st.columns) == ["stationid"] and st["stationid"].tolist() == ["37005"]
    assert MetadataFetcher.get_station_ids(conn, "")["stationid"].tolist() == ["370082", "37005", "12001"]
    assert MetadataFetcher.get_item_ids(conn, "地电阻率")["itemid"].tolist() == ["3211", "3212"]
    # a list matches exactly; a quote inside a name is doubled in the statement
    assert MetadataFetcher.get_item_ids(conn, ["水位", "地电阻率EW"])["itemid"].tolist() == ["3212", "4121"]
    assert MetadataFetcher.get_item_ids(conn, ["水位'辅'"])["itemid"].tolist() == ["4122"]
    with pytest.raises(TypeError):
        MetadataFetcher.get_item_ids(conn, ("水位",))


def test_table_names(conn):
    names = lambda ids, base, rate: (  # noqa: E731
        MetadataFetcher.get_table_names(conn, pd.DataFrame({"methodid": ids}), base, rate)
    )
    got = names(["412"], "DYU", "01")
    assert list(got.columns) == ["table_name"] and got["table_name"].tolist() == ["QZ_412_DYU_01"]
    assert names(["321", "321"], "DYU", "60")["table_name"].tolist() == ["QZ_321_DYU_60", "QZ_321_DYU_60B"] * 2
    assert names(["412"], "CP", "90")["table_name"].tolist() == ["QZ_412_CP_90_AVG"]
    assert names([], "DYU", "01") is None
    assert names(["999"], "DYU", "01").empty
    with pytest.raises(KeyError):
        MetadataFetcher.get_table_names(conn, pd.DataFrame({"x": ["412"]}), "DYU", "01")


def test_lookups_fall_back_to_cache(db_path, tmp_path, caplog):
    root = str(tmp_path / "cache")
    c = qzdb.connect(db_path, alias="fallback db")
    fetching.refresh_metastash(c, cache_dir=root)
    c.close()  # every statement fails from now on
    with caplog.at_level(logging.DEBUG):
        assert MetadataFetcher.get_method_ids(c, "流体", root)["methodid"].tolist() == ["412"]
        assert sorted(MetadataFetcher.get_method_ids(c, "全部", root)["methodid"]) == ["213", "321", "412"]
        assert MetadataFetcher.get_method_ids(c, "电阻率", root)["methodid"].tolist() == ["321"]
        # the cached names are matched as a pattern: the dot matches any character
        assert MetadataFetcher.get_method_ids(c, "水.", root)["methodid"].tolist() == ["412", "422"]
        assert MetadataFetcher.get_station_ids(c, "郯城", root)["stationid"].tolist() == ["37005"]
        assert MetadataFetcher.get_item_ids(c, "地电阻率", root)["itemid"].tolist() == ["3211", "3212"]
        assert MetadataFetcher.get_item_ids(c, ["水位", "气氡"], root)["itemid"].tolist() == ["4121", "4171"]
        stations, points, items = fetching.timeseries_info(c, cache_dir=root)
    assert caplog.records == []
    assert len(stations) == 3 and len(points) == 3 and len(items) == 6
    # the data tables have no fallback
    with pytest.raises(Exception):
        DataFetcher.fetch_data(c, "20200101", "20200102", "水位", "全部", "分钟值", "预处理库")


def test_missing_values_in_the_cache_never_match(tmp_path):
    """A missing item id or name in the cached tables is no match, never the
    word that writing it as text gives ("None", "nan") or a piece of it."""
    root = str(tmp_path / "cache")
    tables = {
        "methods": pd.DataFrame({"METHODID": ["412", None], "METHODNAME": ["水位", None]}),
        "stations": pd.DataFrame({"STATIONID": ["37005", "1", "2"], "STATIONNAME": ["郯城", None, np.nan],
                                  "LONGITUDE": [1.0, 2.0, 3.0], "LATITUDE": [1.0, 2.0, 3.0]}),
        "items": pd.DataFrame({"ITEMID": ["4121", "9", "8"], "ITEMNAME": ["水位", None, np.nan], "UNIT": ["m", "m", "m"]}),
        "stationitems": pd.DataFrame({"STATIONID": ["37005", "1", "2"], "ITEMID": ["4121", None, np.nan]}),
    }
    for name, table in tables.items():
        MetaStash.save_table(name, table, cache_dir=root)
    for word in ("None", "Non", "on", "nan", "na"):
        assert MetadataFetcher.get_station_ids(None, word, root).empty
        assert MetadataFetcher.get_item_ids(None, word, root).empty
        assert MetadataFetcher.get_method_ids(None, word, root).empty
    assert MetadataFetcher.get_method_ids(None, "全部", root)["methodid"].tolist() == ["412"]
    assert MetadataFetcher.get_method_ids(None, "流体", root)["methodid"].tolist() == ["412"]


def outcome(call):
    """What a call gives: ("value", list) or ("raises", exception type)."""
    try:
        return "value", call().iloc[:, 0].tolist()
    except Exception as e:  # noqa: BLE001 - the type is the outcome
        return "raises", type(e)


def test_words_with_a_lone_surrogate(db_path, tmp_path):
    # Such a word has no UTF-8 form, so the database cannot be asked and the
    # name lookups take their cache path: there the pandas text steps decide
    # (Arrow-backed text refuses the word with UnicodeEncodeError, object text
    # matches nothing). The point id, written into the data statement, is
    # refused as the other text arguments are.
    bad = "\ud800"
    root = str(tmp_path / "cache")
    c = qzdb.connect(db_path, alias="surrogates")
    fetching.refresh_metastash(c, cache_dir=root)
    cached = {key: MetaStash.get_table(key, conn=c, cache_dir=root) for key in ("methods", "stations", "items")}

    def containing(key, column, id_column, word):
        table = cached[key]
        return table[table[column].astype("str").str.contains(word, na=False)][[id_column]]

    items = cached["items"]
    cases = [
        (lambda: MetadataFetcher.get_method_ids(c, "水" + bad, root),
         lambda: containing("methods", "METHODNAME", "METHODID", "水" + bad)),
        (lambda: MetadataFetcher.get_station_ids(c, bad, root),
         lambda: containing("stations", "STATIONNAME", "STATIONID", bad)),
        (lambda: MetadataFetcher.get_item_ids(c, bad, root),
         lambda: containing("items", "ITEMNAME", "ITEMID", bad)),
        (lambda: MetadataFetcher.get_item_ids(c, ["水位", bad, "倾斜NS"], root),
         lambda: items[items["ITEMNAME"].isin(["水位", bad, "倾斜NS"])][["ITEMID"]]),
    ]
    for lookup, cache_steps in cases:
        expected = outcome(cache_steps)
        assert expected in [("value", []), ("value", ["4121", "2131"]), ("raises", UnicodeEncodeError)]
        assert outcome(lookup) == expected
    names = pd.DataFrame({"table_name": ["QZ_412_DYU_01"]})
    with pytest.raises(UnicodeEncodeError):
        QueryBuilder.build_data_query(names, "20200101", "20200102", point_id=bad)
    with pytest.raises(UnicodeEncodeError):
        fetch(c, "20200101", "20200102", "水位", "全部", "分钟值", "预处理库", point_id="1" + bad)
    c.close()
    # without database and cache the fallback fails as it documents
    with pytest.raises(FileNotFoundError):
        MetadataFetcher.get_item_ids(c, [bad], str(tmp_path / "no cache"))


def test_no_database_and_no_cache(tmp_path, db_path):
    root = str(tmp_path / "nothing")
    with pytest.raises(RuntimeError) as err:
        fetching.timeseries_info(None, cache_dir=root)
    assert str(err.value) == "未找到本地元数据缓存，请先联网执行 refresh_metastash()。缓存目录: " + root
    assert isinstance(err.value.__cause__, FileNotFoundError)
    c = qzdb.connect(db_path, alias="gone")
    c.close()
    with pytest.raises(RuntimeError, match="缓存目录: .*gone$"):
        MetadataFetcher.get_timeseries_info(c, cache_dir=root)
    with pytest.raises(FileNotFoundError):
        MetadataFetcher.get_station_ids(c, "郯城", root)


# --- the fetch ------------------------------------------------------------------


def test_unsplit_rows_match_reference(conn):
    for method, rate_name, base, gz in [("电阻率", "小时值", "预处理库", False), ("水位", "分钟值", "预处理库", False),
                                        ("流体", "秒钟值", "原始库", True), ("倾斜", "日均值", "预处理库", False),
                                        ("水位", "日均值", "产品库", False)]:
        got = fetch(conn, "20200101", "20200103", method, "全部", rate_name, base, gzip_flag=gz, my_split_lines=False)
        sql, rate = request_sql(conn, method, rate_name, base, "20200101", "20200103")
        want = reference_fetch(conn, sql, rate, split=None, gzip_flag=gz, my_split_lines=False)
        pd.testing.assert_frame_equal(got, want)
        assert not got.empty


def test_hourly_rows(conn):
    got = fetch(conn, "20200101", "20200102", "电阻率", "全部", "小时值", "预处理库", my_split_lines=False)
    assert list(got.columns) == ["STATIONID", "POINTID", "ITEMID", "STARTDATE", "OBSVALUE", "SAMPLERATE"]
    # the first day of item 3211 comes from two tables; both rows stay
    keys = list(zip(got["ITEMID"], got["STARTDATE"].dt.strftime("%d")))
    assert keys == [("3211", "01"), ("3211", "01"), ("3211", "02"), ("3212", "01"), ("3212", "02")]
    assert got["OBSVALUE"].iloc[-1] == " ".join(["NULL"] * 24)
    assert all(pd.api.types.is_string_dtype(got[c]) for c in ("STATIONID", "POINTID", "ITEMID"))


def test_empty_day_marker_and_dev_tables(conn):
    seen = statements(conn)
    got = fetch(conn, "20200101", "20200102", "水位", "全部", "分钟值", "预处理库", my_split_lines=False)
    assert not any("_DEV_" in s and "STARTDATE" in s for s in seen)
    assert "-777" not in " ".join(got["OBSVALUE"])
    day_a = got[(got["POINTID"] == "1") & (got["STARTDATE"] == DAY_A)]["OBSVALUE"].item()
    assert day_a == " ".join(["NULL"] * 1440)
    # the marker is replaced inside a longer text as well
    inner = got[got["POINTID"] == "2"]["OBSVALUE"].item()
    assert inner == "1 NULL  3 x " + " ".join(["NULL"] * 1440)
    assert got["POINTID"].tolist() == ["1", "1", "2"]  # sorted by item, station, point, day


def test_compressed_tables(conn):
    got = fetch(conn, "20200101", "20200103", "水位", "全部", "秒钟值", "原始库", gzip_flag=True, my_split_lines=False)
    assert "SAMPLERATE" not in got.columns
    assert got["OBSVALUE"].tolist() == [qzdb.packed(SECONDS), " ".join(["NULL"] * 86400), ""]
    raw = fetch(conn, "20200101", "20200103", "水位", "全部", "秒钟值", "原始库", my_split_lines=False)
    assert gzip.decompress(raw["OBSVALUE"].iloc[0]) == qzdb.packed(SECONDS).encode()
    assert raw["OBSVALUE"].iloc[2] is None
    # hourly values are never inflated, whatever the flag says
    hourly = fetch(conn, "20200101", "20200101", "水位", "全部", "小时值", "原始库", gzip_flag=True, my_split_lines=False)
    assert gzip.decompress(hourly["OBSVALUE"].iloc[0]) == b"1 2"


def test_sample_rate_column(conn, caplog):
    # the database wins over the request: SAMPLERATE 1 on a daily table means minutes
    got = fetch(conn, "20200101", "20200101", "水位", "全部", "日均值", "预处理库", my_split_lines=False)
    assert got["OBSVALUE"].item() == " ".join(["NULL"] * 1440)
    got = fetch(conn, "20200101", "20200102", "倾斜", "全部", "日均值", "预处理库", my_split_lines=False)
    assert got["OBSVALUE"].tolist() == ["NULL", "3.5"]
    # no SAMPLERATE column: the requested interval
    got = fetch(conn, "20200101", "20200101", "倾斜", "全部", "小时值", "预处理库", my_split_lines=False)
    assert got["OBSVALUE"].item() == " ".join(["NULL"] * 24)
    # an unknown code: a warning and the requested interval
    with caplog.at_level(logging.WARNING, logger="fetching"):
        got = fetch(conn, "20200101", "20200101", "倾斜", "全部", "分钟值", "原始库", my_split_lines=False)
    assert got["OBSVALUE"].item() == " ".join(["NULL"] * 1440)
    assert [r.getMessage() for r in caplog.records] == ["无法识别数据库中的采样率ID: 00, 采用请求配置值"]


def test_filters(conn):
    kw = dict(my_split_lines=False)
    got = fetch(conn, "20200101", "20200102", "水位", "郯城", "分钟值", "预处理库", **kw)
    assert set(got["STATIONID"]) == {"37005"} and len(got) == 3
    got = fetch(conn, "20200101", "20200102", "水位", "全部", "分钟值", "预处理库", item_name="水位'辅'", **kw)
    assert got["ITEMID"].tolist() == ["4122"]
    got = fetch(conn, "20200101", "20200102", "水位", "全部", "分钟值", "预处理库", point_id="1", **kw)
    assert got["POINTID"].tolist() == ["1", "1"]
    got = fetch(conn, "20200101", "20200103", "电阻率", "泰安", "小时值", "预处理库", item_name=["地电阻率EW"], **kw)
    assert got["ITEMID"].tolist() == ["3212", "3212"]
    # the start day and the end day are both included
    got = fetch(conn, "20200102", "20200102", "电阻率", "全部", "小时值", "预处理库", **kw)
    assert set(got["STARTDATE"]) == {DAY_B}


def test_requests_that_cannot_be_served(conn, caplog, monkeypatch):
    calls = []
    original = MetadataFetcher.get_method_ids

    def spy(*args, **kwargs):
        calls.append(args[1])
        return original(*args, **kwargs)

    monkeypatch.setattr(MetadataFetcher, "get_method_ids", staticmethod(spy))
    with caplog.at_level(logging.DEBUG, logger="fetching"):
        assert fetch(conn, "20200101", "20200102", "水位", "全部", "周值", "预处理库") is None
        assert calls == ["水位"]  # the method look-up runs before the request is checked
        assert fetch(conn, "20200101", "20200102", "水位", "全部", "分钟值", "某库") is None
        assert fetch(conn, "20200101", "20200102", "无此方法", "全部", "分钟值", "预处理库") is None
        empty = fetch(conn, "20210101", "20210102", "水位", "全部", "分钟值", "预处理库")
    messages = [(r.levelname, r.getMessage()) for r in caplog.records]
    assert ("ERROR", "未选择数据类型!") in messages
    assert ("ERROR", "未选择数据库类型!") in messages
    assert ("DEBUG", "未找到匹配的表名!") in messages
    assert ("DEBUG", "查询结果为空!") in messages
    assert empty.empty and list(empty.columns) == ["STATIONID", "POINTID", "ITEMID", "STARTDATE", "OBSVALUE", "SAMPLERATE"]
    # an empty station table makes an invalid statement; the database error propagates
    monkeypatch.setattr(MetadataFetcher, "get_station_ids", staticmethod(lambda c, n: pd.DataFrame({"stationid": []})))
    with pytest.raises(Exception):
        fetch(conn, "20200101", "20200102", "水位", "无此台", "分钟值", "预处理库")


def test_bad_compressed_data(conn):
    with pytest.raises(Exception):  # text where gzip bytes are expected
        fetch(conn, "20200101", "20200102", "水位", "全部", "分钟值", "预处理库", gzip_flag=True)


def test_normalize_dataframe_columns_in_place():
    a = pd.DataFrame({"stationid": ["1"], "Obs": [1.0]}).rename_axis("startdate")
    b = pd.DataFrame({"x": [1]})
    assert MetadataFetcher._normalize_dataframe_columns(iter([a, b])) is None
    assert list(a.columns) == ["STATIONID", "OBS"] and a.index.name == "STARTDATE"
    assert list(b.columns) == ["X"] and b.index.name is None
