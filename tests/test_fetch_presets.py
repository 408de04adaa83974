"""The module-level functions: the older argument names and the three preset
requests, on a small database whose rows lie around today."""

import datetime as dt

import numpy as np
import pandas as pd
import pytest

import qzdb
from kelvane import fetching

TODAY = dt.datetime.combine(dt.date.today(), dt.time())


def ago(days):
    return TODAY - dt.timedelta(days=days)


DICTIONARY = {
    "QZ_DICT_METHODS": ("METHODID TEXT, METHODNAME TEXT", [("321", "直流单装置地电阻率"), ("412", "水位")]),
    "QZ_DICT_STATIONS": (
        "STATIONID TEXT, STATIONNAME TEXT, LONGITUDE REAL, LATITUDE REAL",
        [("370082", "泰安", 117.1, 36.2), ("370083", "莒县", 118.8, 35.6), ("37005", "郯城马陵山", 118.3, 34.6),
         ("37006", "临沂", 118.3, 35.1)],
    ),
    "QZ_DICT_STATIONPOINTS": ("STATIONID TEXT, POINTID TEXT, POINTNAME TEXT", []),
    "QZ_DICT_ITEMS": ("ITEMID TEXT, ITEMNAME TEXT, UNIT TEXT",
                      [("3211", "地电阻率NS", "Ωm"), ("3212", "地电阻率EW", "Ωm"), ("3213", "地电阻率NE", "Ωm"),
                       ("4121", "水位", "m")]),
    "QZ_DICT_STATIONITEMS": ("STATIONID TEXT, ITEMID TEXT",
                             [("370082", "3211"), ("370083", "3212"), ("37005", "4121")]),
}

LOW = [7.9, 8.0, 12.0] + [20.0] * 21


def tables():
    hourly = [
        (station, "1", item, ago(3), qzdb.packed(LOW), 60.0)
        for station in ("370082", "370083")
        for item in ("3211", "3212", "3213")
    ]
    daily = [("37005", "37005h1", "4121", ago(d), str(100.0 + d), 90.0) for d in (10, 9, 5, 4)]
    daily.append(("37006", "1", "4121", ago(9), "55", 90.0))  # another station: filtered out
    minute = [("370082", "1", "4121", ago(d), qzdb.packed([float(d)] * 1440), 1.0) for d in (0, 7, 8)]
    return {
        "QZ_321_DYU_60": (True, False, hourly),
        "QZ_412_DYU_90": (True, False, daily),
        "QZ_412_DYU_01": (True, False, minute),
    }


@pytest.fixture(scope="module")
def db_path(tmp_path_factory):
    path = tmp_path_factory.mktemp("presets") / "presets.db"
    qzdb.create(path, DICTIONARY, tables())
    return path


@pytest.fixture
def conn(db_path):
    c = qzdb.connect(db_path)
    yield c
    c.close()


def test_fetching_data_forwards_old_names(conn, monkeypatch):
    got = []

    def spy(*args, **kwargs):
        got.append((args, kwargs))
        return "result"

    monkeypatch.setattr(fetching.DataFetcher, "fetch_data", staticmethod(spy))
    out = fetching.fetching_data(conn, "a", "b", "m", "s", "分钟值", "预处理库", itemname="i", gzip_flag=True,
                                 my_split_lines=False, pointid="3")
    assert out == "result"
    assert got == [((conn, "a", "b", "m", "s", "分钟值", "预处理库"),
                    dict(item_name="i", gzip_flag=True, my_split_lines=False, point_id="3"))]


def test_daily_preset_asks_for_the_last_days(conn, monkeypatch):
    calls = []
    real = fetching.fetching_data

    def spy(*args, **kwargs):
        calls.append((args[1:], kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(fetching, "fetching_data", spy)
    week = fetching.load_Oracle_data_daily(conn, 7, "预处理库", "水位", "分钟值")
    stamp = lambda d: d.strftime("%Y%m%d")  # noqa: E731
    assert calls[0] == ((stamp(ago(7)), stamp(TODAY), "水位", "全部", "分钟值", "预处理库"), {"gzip_flag": False})
    assert sorted(set(week.index.normalize())) == [ago(7), TODAY]
    assert week["OBSVALUE"].dtype == np.float32 and len(week) == 2 * 1440
    today_only = fetching.load_Oracle_data_daily(conn, 0, "预处理库", "水位", "分钟值")
    assert calls[-1][0][0] == calls[-1][0][1] == stamp(TODAY)
    assert set(today_only["OBSVALUE"]) == {0.0}
    half = fetching.load_Oracle_data_daily(conn, 7.5, "预处理库", "水位", "分钟值")
    assert calls[-1][0][0] == stamp(dt.datetime.now() - dt.timedelta(days=7.5))
    assert len(half) >= len(week)


def test_resistivity_preset_blanks_low_readings(conn, monkeypatch):
    df = fetching.load_Oracle_data_resistivity_year(conn)
    first_hour = df.loc[ago(3)]
    blank = first_hour[first_hour["OBSVALUE"].isna()]
    assert list(zip(blank["STATIONID"], blank["ITEMID"])) == [("370082", "3211"), ("370082", "3212")]
    # the same reading at another item or station stays, and exactly 8 stays
    assert len(first_hour) == 6
    second_hour = df.loc[ago(3) + dt.timedelta(hours=1)]
    assert second_hour["OBSVALUE"].tolist() == [8.0] * 6
    assert df["OBSVALUE"].isna().sum() == 2
    # the start date is honoured
    assert fetching.load_Oracle_data_resistivity_year(conn, date_0=TODAY.strftime("%Y%m%d")).empty
    monkeypatch.setattr(fetching, "fetching_data", lambda *a, **k: None)
    with pytest.raises(TypeError):  # no table to touch up
        fetching.load_Oracle_data_resistivity_year(conn)


def test_water_preset_fills_gaps_backwards(conn):
    df = fetching.load_Oracle_data_water_year(conn)
    assert list(df.index) == [ago(d) for d in range(10, 3, -1)]
    # the gap of three days takes the values of the next existing day
    assert df["OBSVALUE"].tolist() == [110.0, 109.0, 105.0, 105.0, 105.0, 105.0, 104.0]
    assert df["OBSVALUE"].dtype == np.float32
    assert set(df["POINTID"]) == {"37005H1"} and set(df["STATIONID"]) == {"37005"}


def test_metadata_functions(conn, tmp_path):
    root = str(tmp_path / "meta")
    refreshed = fetching.refresh_metastash(conn, cache_dir=root, tables=["items", "stations"])
    assert list(refreshed) == ["items", "stations"]
    stations, points, items = fetching.timeseries_info(conn, cache_dir=root)
    assert stations["STATIONID"].tolist() == ["370082", "370083", "37005", "37006"]
    assert points.empty and len(items) == 4
