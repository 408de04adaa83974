"""refine.completeness: samples expected and present per series and period and
the longest missing run, against the plain-pandas grid reference on generated
series and on the sample database (NULLALL days, missing days, NULL samples),
the same numbers from a table and from its dataset, and bad input."""

import json
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from kelvane import refine, sandbox
from kelvane.fetching import DataFetcher
from reference.completeness_reference import KEYS, completeness_reference

COLUMNS = KEYS + ["period", "expected", "present", "completeness", "longest_gap_seconds"]


def table(frames):
    df = pd.concat(frames)
    df.index.name = "STARTDATE"
    return df


def series(station, point, item, times, values, rate=None):
    df = pd.DataFrame({"STATIONID": station, "POINTID": point, "ITEMID": item,
                       "OBSVALUE": np.asarray(values, dtype="float32")},
                      index=pd.DatetimeIndex(times, name="STARTDATE"))
    if rate is not None:
        df.insert(3, "SAMPLERATE", rate)
    return df


def generated(seed, days=6):
    """Series whose interval changes between days, with NaN runs, dropped
    samples, dropped days and days of a single sample."""
    rng = np.random.default_rng(seed)
    frames = []
    start = pd.Timestamp("2024-02-26")
    for s in range(3):
        for p in ("1", "2"):
            parts = []
            for d in range(days):
                day = start + pd.Timedelta(days=d)
                if rng.random() < 0.15:
                    continue  # a day without any row
                dt = int(rng.choice([600, 1800, 3600, 7200, 86400]))
                times = day + pd.to_timedelta(np.arange(DAY // dt) * dt, unit="s")
                values = rng.normal(size=len(times))
                values[rng.random(len(times)) < 0.1] = np.nan
                if len(times) > 4 and rng.random() < 0.5:
                    a = int(rng.integers(0, len(times) - 3))
                    values[a:a + int(rng.integers(1, 4))] = np.nan
                keep = rng.random(len(times)) > 0.1
                keep[0] = keep[0] or rng.random() < 0.5
                parts.append(series(f"S{s}", p, "4112", times[keep], values[keep]))
            if parts:
                frames.append(pd.concat(parts))
    return table(frames)


DAY = 86400


def check_equal(got, want):
    assert list(got.columns) == COLUMNS
    got = got.sort_values(KEYS + ["period"]).reset_index(drop=True)
    want = want.sort_values(KEYS + ["period"]).reset_index(drop=True)
    pd.testing.assert_frame_equal(got, want, check_dtype=False, check_exact=False,
                                  check_index_type=False)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("freq", ["D", "W", "MS", "3D"])
def test_generated_series_match_the_pandas_grid(seed, freq):
    df = generated(seed)
    check_equal(refine.completeness(df, freq), completeness_reference(df, freq))


def test_interval_changes_between_days():
    day1 = pd.date_range("2024-01-01", periods=1440, freq="min")
    day2 = pd.date_range("2024-01-02", periods=24, freq="h")
    values1 = np.ones(1440)
    values1[-30:] = np.nan          # the last half hour of the minute day
    values2 = np.ones(24)
    values2[:2] = np.nan            # the first two hours of the hourly day
    df = table([series("1", "1", "4112", day1, values1), series("1", "1", "4112", day2, values2)])
    daily = refine.completeness(df, "D")
    assert daily["expected"].tolist() == [1440, 24]
    assert daily["present"].tolist() == [1410, 22]
    assert daily["longest_gap_seconds"].tolist() == [1800, 7200]
    whole = refine.completeness(df, "MS")
    assert whole["expected"].tolist() == [1464]
    assert whole["longest_gap_seconds"].tolist() == [1800 + 7200]   # one run across midnight
    check_equal(daily, completeness_reference(df, "D"))


def test_single_sample_days_take_the_recorded_rate_or_the_nearest_step():
    times = [pd.Timestamp("2024-01-01 08:00"), pd.Timestamp("2024-01-03 00:00"),
             pd.Timestamp("2024-01-03 01:00"), pd.Timestamp("2024-01-05 00:00")]
    df = table([series("1", "1", "4112", times, [1, 2, 3, 4])])
    got = refine.completeness(df, "D")
    # days 1 and 5 show no step: the hourly step of day 3 (nearest); days 2
    # and 4 have no row: the interval of the day before them
    assert got["expected"].tolist() == [24, 24, 24, 24, 24]
    assert got["present"].tolist() == [1, 0, 2, 0, 1]
    with_rate = df.assign(SAMPLERATE=90.0)
    assert refine.completeness(with_rate, "D")["expected"].tolist() == [1, 1, 24, 24, 1]
    assert refine.completeness(with_rate.iloc[::-1], "D")["expected"].tolist() == [1, 1, 24, 24, 1]
    check_equal(refine.completeness(with_rate, "D"), completeness_reference(with_rate, "D"))


def test_unsorted_rows_duplicates_and_other_time_units():
    df = generated(3)
    shuffled = df.sample(frac=1.0, random_state=1)
    want = refine.completeness(df, "D")
    check_equal(refine.completeness(shuffled, "D"), want)
    # a sample repeated (two tables holding the same day) counts once
    doubled = pd.concat([df, df.iloc[::7]])
    check_equal(refine.completeness(doubled, "D"), want)
    seconds = df.copy()
    seconds.index = seconds.index.as_unit("s")
    check_equal(refine.completeness(seconds, "D"), want)
    column = df.reset_index()
    check_equal(refine.completeness(column, "D"), want)


def test_empty_table_gives_an_empty_result():
    empty = generated(0).iloc[:0]
    got = refine.completeness(empty, "MS")
    assert list(got.columns) == COLUMNS and got.empty


@pytest.mark.parametrize("freq, match", [("X", "unknown freq"), ("h", "shorter than a day"),
                                         ("90min", "shorter than a day")])
def test_bad_freq(freq, match):
    with pytest.raises(ValueError, match=match):
        refine.completeness(generated(0), freq)


def test_bad_tables():
    df = generated(0)
    with pytest.raises(ValueError, match="missing: STARTDATE"):
        refine.completeness(df.reset_index(drop=True))
    with pytest.raises(ValueError, match="missing: POINTID"):
        refine.completeness(df.drop(columns="POINTID"))
    nat = df.copy()
    nat.index = nat.index.where(np.arange(len(nat)) != 3, pd.NaT)
    with pytest.raises(ValueError, match="NaT"):
        refine.completeness(nat)
    words = df.reset_index().assign(STARTDATE="not a time")
    with pytest.raises(ValueError, match="STARTDATE"):
        refine.completeness(words)
    with pytest.raises(ValueError, match="not numeric"):
        refine.completeness(df.assign(OBSVALUE="x"))
    with pytest.raises(TypeError):
        refine.completeness(42)


def test_paths_that_are_not_datasets(tmp_path):
    with pytest.raises(FileNotFoundError):
        refine.completeness(str(tmp_path / "nothing"))
    with pytest.raises(ValueError, match="no dataset manifest"):
        refine.completeness(tmp_path)
    veld = tmp_path / "t.parquet"
    generated(0).to_parquet(veld)
    with pytest.raises(ValueError, match="not a dataset folder"):
        refine.completeness(veld)


# --- the sample database -----------------------------------------------------------

START, END = "20251201", "20251231"


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    path = tmp_path_factory.mktemp("sample") / "sample.sqlite"
    sandbox.build(str(path), start=START, end=END, seed=7, stations=["37005", "12001", "370082"],
                  minute_days=4, second_days=0, raw_days=None)
    return str(path)


@pytest.fixture
def conn(sample):
    c = sandbox.connect(sample, alias="completeness sample")
    yield c
    c.close()


def raw_rows(conn, tables):
    """The daily rows of the data tables as stored: one per series and day."""
    frames = [pd.read_sql(f"SELECT STATIONID, POINTID, ITEMID, STARTDATE, OBSVALUE FROM QZDATA.{t}", conn)
              for t in tables]
    raw = pd.concat(frames, ignore_index=True)
    for k in KEYS:
        raw[k] = raw[k].astype(str)
    raw["day"] = pd.to_datetime(raw["STARTDATE"]).dt.normalize()
    return raw


def tables_of(conn, method, rate):
    from kelvane.fetching import DatabaseType, MetadataFetcher, SampleRateType

    ids = MetadataFetcher.get_method_ids(conn, method)
    names = MetadataFetcher.get_table_names(conn, ids, DatabaseType.get_id("预处理库"),
                                            SampleRateType.get_config(rate)["id"])
    return list(names["table_name"])


def drop_days(path, tables, days):
    """Deletes the rows of the first series of every table on the given days
    (STARTDATE is stored as a Julian day number)."""
    import sqlite3

    with sqlite3.connect(path) as db:
        for name in tables:
            s, p, i = db.execute(f"SELECT STATIONID, POINTID, ITEMID FROM {name} LIMIT 1").fetchone()
            for day in days:
                jd = (day - pd.Timestamp("1970-01-01")).days + 2440587.5
                db.execute(f"DELETE FROM {name} WHERE STATIONID = ? AND POINTID = ? AND ITEMID = ? "
                           "AND STARTDATE >= ? AND STARTDATE < ?", (s, p, i, jd, jd + 1))


@pytest.mark.parametrize("rate, per_day", [("小时值", 24), ("分钟值", 1440)])
def test_sample_fetch_counts_nullall_days_missing_days_and_null_samples(sample, tmp_path, rate, per_day):
    import shutil

    copy = tmp_path / "sample.sqlite"
    shutil.copy(sample, copy)
    conn = sandbox.connect(str(copy), alias="completeness sample")
    request = (START, END, "全部", "全部", rate, "预处理库")
    whole = DataFetcher.fetch_data(conn, *request)
    inner = pd.date_range(whole.index.min().normalize(), whole.index.max().normalize())[1:-1]
    tables = tables_of(conn, "全部", rate)
    conn.close()
    drop_days(copy, tables, [inner[0], inner[-1]])
    conn = sandbox.connect(str(copy), alias="completeness sample")
    df = DataFetcher.fetch_data(conn, *request)
    got = refine.completeness(df, "D")
    check_equal(got, completeness_reference(df, "D"))

    # the same counts straight from the stored daily texts
    raw = raw_rows(conn, tables_of(conn, "全部", rate))
    text = raw["OBSVALUE"].astype(str)
    raw["present"] = np.where(text == "NULLALL", 0,
                              text.str.split().map(lambda words: sum(w != "NULL" for w in words)))
    stored = raw.groupby(KEYS + ["day"])["present"].sum()
    by_day = got.set_index(KEYS + ["period"])
    assert (by_day["expected"] == per_day).all()
    days = pd.date_range(got["period"].min(), got["period"].max())
    nullall = missing = 0
    for key, g in raw.groupby(KEYS):
        for day in days:
            row = by_day.loc[(*key, day)]
            if (*key, day) in stored.index:
                assert row["present"] == stored.loc[(*key, day)]
                nullall += bool((text[(raw[KEYS] == list(key)).all(axis=1) & (raw["day"] == day)]
                                 == "NULLALL").any())
            else:
                assert row["present"] == 0 and row["longest_gap_seconds"] == DAY
                missing += 1
    # the sample holds each kind of fault
    assert nullall > 0 and missing > 0
    assert ((got["present"] > 0) & (got["present"] < per_day)).any()
    conn.close()


@pytest.mark.parametrize("rate", ["小时值", "分钟值", "日均值"])
def test_a_table_and_its_dataset_give_the_same_numbers(conn, tmp_path, rate):
    df = DataFetcher.fetch_data(conn, START, END, "全部", "全部", rate, "预处理库")
    first, last = df.index.min(), df.index.max()
    root = tmp_path / "ds"
    DataFetcher.export_dataset(conn, str(root), f"{first:%Y%m%d}", f"{last:%Y%m%d}", "全部", "全部",
                               rate, "预处理库")
    for freq in ("D", "MS"):
        check_equal(refine.completeness(str(root), freq), refine.completeness(df, freq))


def test_dataset_days_outside_the_fetched_periods_do_not_count(conn, tmp_path):
    root = tmp_path / "ds"
    DataFetcher.export_dataset(conn, str(root), "20251201", "20251231", "全部", "全部", "分钟值",
                               "预处理库")
    got = refine.completeness(root, "D")
    manifest = json.loads((root / "_manifest.json").read_text(encoding="utf-8"))
    (period,) = manifest["periods"].values()
    # every day the manifest says was fetched, also those without any row
    assert got["period"].min() == pd.Timestamp(period["first_day"])
    assert got["period"].max() == pd.Timestamp(period["last_day"])
    assert got.groupby("period").size().nunique() == 1


def test_dataset_on_a_dask_client(conn, tmp_path):
    distributed = pytest.importorskip("distributed")
    root = tmp_path / "ds"
    DataFetcher.export_dataset(conn, str(root), START, END, "全部", "全部", "小时值", "预处理库")
    with distributed.Client(processes=False, dashboard_address=":0") as client:
        on_client = refine.completeness(str(root), "W", client=client)
    check_equal(on_client, refine.completeness(str(root), "W"))


def test_dataset_file_out_of_time_order_is_refused(conn, tmp_path):
    import pyarrow.parquet as pq

    root = tmp_path / "ds"
    DataFetcher.export_dataset(conn, str(root), START, END, "全部", "全部", "小时值", "预处理库")
    manifest = json.loads((root / "_manifest.json").read_text(encoding="utf-8"))
    entry = next(iter(manifest["periods"].values()))["files"][0]
    path = root / entry["path"]
    t = pq.read_table(path)
    pq.write_table(t.take(np.arange(t.num_rows)[::-1].copy()), path)
    with pytest.raises(ValueError, match="out of time order"):
        refine.completeness(root)
