"""Requests of any length: the fetch a span of days at a time (iter_fetch) and
the partitioned VELD dataset (export_dataset) with its manifest, resuming
after a kill or with a later end date, argument checks, and the read-back by
pyarrow, DuckDB, Polars and Dask with the ids as text."""

import json
import os
import random
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest
import sqlalchemy as sa

import qzdb
from conftest import _package_path_env
from kelvane import fetching, sandbox
from kelvane.fetching import DataFetcher

# Daily and hourly rows through December into January; minute rows over the
# last five days and second rows over the last three, so that every rate
# crosses the turn of a month and of a year.
START, END = "20251201", "20260102"


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    path = tmp_path_factory.mktemp("sample") / "sample.sqlite"
    sandbox.build(str(path), start=START, end=END, seed=11, stations=["37005", "12001", "370082"],
                  minute_days=5, second_days=3, raw_days=None)
    return str(path)


@pytest.fixture
def conn(sample):
    c = sandbox.connect(sample, alias="dataset sample")
    yield c
    c.close()


def concat(tables):
    tables = list(tables)
    assert tables, "iter_fetch gave no table"
    return pd.concat(tables) if len(tables) > 1 else tables[0]


def sorted_rows(df):
    """A time-series table as rows in a fixed order, the index as a column."""
    flat = df.reset_index()
    return flat.sort_values(["STATIONID", "POINTID", "ITEMID", "STARTDATE"], kind="stable").reset_index(drop=True)


# --- iter_fetch ------------------------------------------------------------------

REQUESTS = [
    # rate, library, gzip, first day, last day
    ("日均值", "预处理库", False, "20251120", END),   # starts before the rows: empty spans
    ("日均值", "产品库", False, "20251225", "20260102"),
    ("小时值", "预处理库", False, "20251227", "20260102"),
    ("小时值", "原始库", False, "20251230", "20260101"),
    ("分钟值", "预处理库", False, "20251226", END),   # minute rows from 20251229 only
    ("分钟值", "原始库", True, "20251229", "20260101"),
    ("分钟值", "产品库", False, "20251231", "20260102"),
    ("秒钟值", "预处理库", False, "20251230", END),
    ("秒钟值", "原始库", True, "20251231", "20260101"),
]


@pytest.mark.parametrize("rate, library, gz, first, last", REQUESTS)
@pytest.mark.parametrize("chunk_days", [1, 7])
def test_chunks_concatenate_to_the_one_shot_fetch(conn, rate, library, gz, first, last, chunk_days):
    whole = DataFetcher.fetch_data(conn, first, last, "全部", "全部", rate, library, gzip_flag=gz)
    chunks = DataFetcher.iter_fetch(conn, first, last, "全部", "全部", rate, library, gzip_flag=gz,
                                    chunk_days=chunk_days)
    spans = chunks.spans
    days = pd.Timestamp(last) - pd.Timestamp(first)
    assert len(spans) == days.days // chunk_days + 1
    tables = list(chunks)
    assert len(whole) > 0 and all(len(t) for t in tables)
    # each table holds the samples of its own span only
    for table in tables:
        day_first, day_last = table.index.min().normalize(), table.index.max().normalize()
        assert any(pd.Timestamp(a) <= day_first and day_last <= pd.Timestamp(b) for a, b in spans)
    pd.testing.assert_frame_equal(concat(tables), whole, check_exact=True)


def test_default_chunk_follows_the_sample_rate(conn):
    # at most 86,400 samples per series: a day of second values, 60 days of
    # minute values, 3600 days of hourly values
    def spans(rate, first, last):
        return DataFetcher.iter_fetch(conn, first, last, "全部", "全部", rate, "预处理库").spans

    assert spans("秒钟值", "20251230", "20260102") == [
        ("20251230", "20251230"), ("20251231", "20251231"), ("20260101", "20260101"), ("20260102", "20260102")]
    assert spans("分钟值", "20250101", "20250401") == [("20250101", "20250301"), ("20250302", "20250401")]
    hourly = spans("小时值", "20000101", "20251231")
    assert [pd.Timestamp(b) - pd.Timestamp(a) for a, b in hourly] == [pd.Timedelta(days=3599)] * 2 + [
        pd.Timestamp("20251231") - pd.Timestamp(hourly[2][0])]
    assert hourly[0][0] == "20000101" and hourly[-1][1] == "20251231"
    assert len(spans("日均值", "19000101", "20251231")) == 1


def test_lookups_once_and_one_statement_per_span(conn, monkeypatch):
    statements = []
    sa.event.listen(conn, "before_cursor_execute", lambda c, cur, s, *a: statements.append(s))
    lookups = {"get_table_names": 0, "get_method_ids": 0, "get_station_ids": 0, "get_item_ids": 0}
    real = fetching.MetadataFetcher

    class Counting:
        def __getattr__(self, name):
            attr = getattr(real, name)
            if name not in lookups:
                return attr

            def counted(*args, **kwargs):
                lookups[name] += 1
                return attr(*args, **kwargs)

            return counted

    monkeypatch.setattr(fetching, "MetadataFetcher", Counting())
    tables = list(DataFetcher.iter_fetch(conn, "20251228", END, "静水位", "郯城", "小时值", "预处理库",
                                         item_name="静水位", chunk_days=2))
    assert lookups == {"get_table_names": 1, "get_method_ids": 1, "get_station_ids": 1, "get_item_ids": 1}
    data = [s for s in statements if s.startswith("SELECT") and "STARTDATE >=" in s]
    assert len(data) == 3 and len(tables) == 3
    assert "TO_DATE('20251228', 'yyyymmdd')" in data[0] and "TO_DATE('20251229', 'yyyymmdd')+1" in data[0]


def test_no_rows_and_unservable_requests(conn, caplog):
    # a range without rows: the request's empty table, once, as fetch_data gives it
    empty = list(DataFetcher.iter_fetch(conn, "20000101", "20000110", "全部", "全部", "日均值", "预处理库",
                                        chunk_days=3))
    assert len(empty) == 1
    pd.testing.assert_frame_equal(empty[0], DataFetcher.fetch_data(conn, "20000101", "20000110", "全部", "全部",
                                                                   "日均值", "预处理库"))
    # an unknown rate: logged as by fetch_data, and nothing to iterate
    with caplog.at_level("ERROR", logger="fetching"):
        assert list(DataFetcher.iter_fetch(conn, START, END, "全部", "全部", "年值", "预处理库")) == []
    assert "未选择数据类型!" in [r.getMessage() for r in caplog.records]


@pytest.mark.parametrize("kwargs, error, match", [
    (dict(start_date="20260105", end_date="20260101"), ValueError, "before start_date"),
    (dict(chunk_days=0), ValueError, "at least 1"),
    (dict(chunk_days=-3), ValueError, "at least 1"),
    (dict(chunk_days=1.5), TypeError, "whole number"),
    (dict(chunk_days=True), TypeError, "whole number"),
    (dict(start_date="not a day"), ValueError, "start_date is not a date"),
])
def test_iter_fetch_refuses_bad_arguments(conn, kwargs, error, match):
    call = dict(start_date=START, end_date=END, method_name="全部", station_name="全部", data_type="日均值",
                base_type="预处理库")
    call.update(kwargs)
    with pytest.raises(error, match=match):
        DataFetcher.iter_fetch(conn, **call)


# --- export_dataset -----------------------------------------------------------------

SECONDS = dict(method_name="全部", station_name="全部", data_type="秒钟值", base_type="预处理库")


def export(conn, root, first="20251231", last=END, **kwargs):
    return DataFetcher.export_dataset(conn, str(root), first, last, **{**SECONDS, **kwargs})


def parquet_files(root):
    return sorted(p.relative_to(root).as_posix() for p in Path(root).rglob("*.parquet"))


def manifest(root):
    return json.loads((Path(root) / "_manifest.json").read_text(encoding="utf-8"))


def read_dataset(root):
    """The dataset's rows through pandas, one file after another."""
    frames = [pd.read_parquet(Path(root) / f) for f in parquet_files(root)]
    return pd.concat(frames) if frames else None


def test_export_layout_files_and_metadata(conn, tmp_path):
    root = tmp_path / "ds"
    summary = export(conn, root, chunk_days=1)
    whole = DataFetcher.fetch_data(conn, "20251231", END, **SECONDS)
    files = parquet_files(root)
    # one file per station, item and month
    expected = sorted(
        f"station={s}/item={i}/period={m}/{m}_{s}_{i}.parquet"
        for (s, i), g in whole.groupby(["STATIONID", "ITEMID"])
        for m in sorted(set(g.index.strftime("%Y-%m"))))
    assert files == expected and len({f.split("/period=")[1][:7] for f in files}) == 2
    listed = manifest(root)
    assert listed["request"]["sample_rate"] == "02" and listed["period"] == "month"
    assert listed["periods"]["2025-12"]["first_day"] == "20251231"
    assert listed["periods"]["2026-01"]["last_day"] == END
    entries = [e for p in listed["periods"].values() for e in p["files"]]
    assert sorted(e["path"] for e in entries) == files
    assert summary["files"] == len(files) and summary["rows"] == len(whole) == sum(e["rows"] for e in entries)
    assert summary["bytes"] == sum((root / f).stat().st_size for f in files)
    assert summary["dataset"] == {"files": len(files), "rows": len(whole), "bytes": summary["bytes"]}
    # the same rows, types and index as the fetch
    pd.testing.assert_frame_equal(sorted_rows(read_dataset(root)), sorted_rows(whole), check_exact=True)
    # each file: VELD metadata of its own station and item
    for f in files:
        meta = pq.read_schema(root / f).metadata
        assert meta[b"format_name"] == b"VELD" and json.loads(meta[b"sampling_rate"]) == 1
        table = pq.read_table(root / f, columns=["STATIONID", "ITEMID"])
        station, item = set(table["STATIONID"].to_pylist()), set(table["ITEMID"].to_pylist())
        assert [r["STATIONID"] for r in json.loads(meta[b"station_info"])] == list(station)
        assert [r["ITEMID"] for r in json.loads(meta[b"item_info"])] == list(item)
    # nothing else in the folder: no temporary left over
    assert sorted(p.name for p in root.iterdir()) == ["_manifest.json"] + sorted(
        f"station={s}" for s in set(whole["STATIONID"]))
    assert not [p for p in root.rglob("*") if p.name.startswith(".")]


def test_export_again_writes_nothing(conn, tmp_path):
    root = tmp_path / "ds"
    export(conn, root, "20251231", "20260101")
    before = {f: (root / f).stat().st_mtime_ns for f in parquet_files(root)}
    summary = export(conn, root, "20251231", "20260101")
    assert summary["files"] == 0 and summary["rows"] == 0 and summary["periods_complete"] == 2
    assert {f: (root / f).stat().st_mtime_ns for f in parquet_files(root)} == before
    # a range inside what is there: nothing either
    assert export(conn, root, "20260101", "20260101")["files"] == 0


def test_later_end_date_rewrites_only_the_growing_period(conn, tmp_path):
    root = tmp_path / "ds"
    export(conn, root, "20251231", "20260101", chunk_days=1)
    december = [f for f in parquet_files(root) if "period=2025-12" in f]
    january = [f for f in parquet_files(root) if "period=2026-01" in f]
    stamps = {f: (root / f).stat().st_mtime_ns for f in december + january}
    summary = export(conn, root, "20251231", END, chunk_days=1)
    assert summary["periods_written"] == 1 and summary["periods_complete"] == 1
    assert all((root / f).stat().st_mtime_ns == stamps[f] for f in december)
    assert all((root / f).stat().st_mtime_ns != stamps[f] for f in january)
    assert manifest(root)["periods"]["2026-01"] == manifest(root)["periods"]["2026-01"] | {
        "first_day": "20260101", "last_day": END}
    # the whole January rewritten: the same rows as an export of the full range
    fresh = tmp_path / "fresh"
    export(conn, fresh, "20251231", END)
    assert parquet_files(fresh) == parquet_files(root)
    pd.testing.assert_frame_equal(sorted_rows(read_dataset(root)), sorted_rows(read_dataset(fresh)))
    # an earlier start date: December grows at its front
    summary = export(conn, root, "20251230", END)
    assert summary["periods_written"] == 1 and manifest(root)["periods"]["2025-12"]["first_day"] == "20251230"


def test_progress_counts_chunks(conn, tmp_path):
    seen = []
    export(conn, tmp_path / "ds", "20251231", END, chunk_days=1, progress=lambda done, total: seen.append((done, total)))
    assert seen == [(1, 3), (2, 3), (3, 3)]
    seen.clear()
    export(conn, tmp_path / "ds", "20251231", END, progress=lambda done, total: seen.append((done, total)))
    assert seen == [(0, 0)]


def test_bad_arguments_write_nothing(conn, tmp_path):
    a_file = tmp_path / "file"
    a_file.write_text("keep")
    with pytest.raises(NotADirectoryError, match="not a folder"):
        export(conn, a_file)
    assert a_file.read_text() == "keep"
    root = tmp_path / "ds"
    for kwargs, error, match in [
        (dict(first=END, last="20251231"), ValueError, "before start_date"),
        (dict(chunk_days=0), ValueError, "at least 1"),
        (dict(chunk_days=-1), ValueError, "at least 1"),
        (dict(chunk_days="2"), TypeError, "whole number"),
        (dict(progress="bar"), TypeError, "callable"),
    ]:
        with pytest.raises(error, match=match):
            export(conn, root, **kwargs)
        assert not root.exists()
    # a folder with other files
    other = tmp_path / "other"
    other.mkdir()
    (other / "notes.txt").write_text("mine")
    with pytest.raises(ValueError, match="no dataset manifest"):
        export(conn, other)
    assert sorted(p.name for p in other.iterdir()) == ["notes.txt"]
    # a request that cannot be served writes nothing either
    assert DataFetcher.export_dataset(conn, str(root), START, END, "全部", "全部", "年值", "预处理库") is None
    assert not root.exists()


def test_another_request_into_the_same_folder_is_refused(conn, tmp_path):
    root = tmp_path / "ds"
    export(conn, root, "20260101", "20260101")
    before = parquet_files(root), (root / "_manifest.json").read_bytes()
    with pytest.raises(ValueError, match="another request .*station_name '全部' there, '郯城' here"):
        export(conn, root, "20260101", END, station_name="郯城")
    with pytest.raises(ValueError, match="sample_rate '02' there, '01' here"):
        export(conn, root, "20260101", END, data_type="分钟值")
    assert (parquet_files(root), (root / "_manifest.json").read_bytes()) == before
    (root / "_manifest.json").write_text("{not json")
    with pytest.raises(ValueError, match="is not a dataset manifest"):
        export(conn, root, "20260101", "20260101")


# A child that exports the three days of second values a day at a time.
EXPORT_CHILD = """
    import sys
    from kelvane import sandbox
    from kelvane.fetching import DataFetcher
    conn = sandbox.connect(sys.argv[1], alias="dataset sample")
    print("connected", flush=True)
    DataFetcher.export_dataset(conn, sys.argv[2], "20251231", "20260102", "全部", "全部", "秒钟值", "预处理库",
                               chunk_days=1)
"""


def test_killed_exports_resume_to_the_same_dataset(sample, conn, tmp_path):
    reference = tmp_path / "reference"
    started = time.perf_counter()
    export(conn, reference, chunk_days=1)
    duration = time.perf_counter() - started
    root = tmp_path / "killed"
    rng = random.Random(5)
    env = _package_path_env(tmp_path / "home")
    kills = 0
    for attempt in range(4):
        child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(EXPORT_CHILD), sample, str(root)],
                                 env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        assert child.stdout.readline().strip() == "connected"
        time.sleep(rng.uniform(0.05, 0.9) * duration)
        if child.poll() is None:
            child.send_signal(signal.SIGKILL)
            kills += 1
        child.wait()
        # at every moment: each listed file whole, and each file under a
        # dataset name a whole Parquet file
        for f in parquet_files(root):
            pq.read_metadata(root / f)
        if (root / "_manifest.json").exists():
            for period in manifest(root)["periods"].values():
                for entry in period["files"]:
                    assert pq.read_metadata(root / entry["path"]).num_rows == entry["rows"]
    assert kills >= 2
    export(conn, root, chunk_days=1)
    assert parquet_files(root) == parquet_files(reference)
    assert manifest(root)["periods"].keys() == manifest(reference)["periods"].keys()
    pd.testing.assert_frame_equal(sorted_rows(read_dataset(root)), sorted_rows(read_dataset(reference)),
                                  check_exact=True)


# --- read back by the tools people use ---------------------------------------------

DICTIONARY = {
    "QZ_DICT_METHODS": ("METHODID TEXT, METHODNAME TEXT", [("412", "水位")]),
    "QZ_DICT_STATIONS": ("STATIONID TEXT, STATIONNAME TEXT, LONGITUDE REAL, LATITUDE REAL",
                         [("37005", "郯城", 118.3, 34.6), ("01234", "零站", 117.0, 36.0)]),
    "QZ_DICT_STATIONPOINTS": ("STATIONID TEXT, POINTID TEXT, POINTNAME TEXT",
                              [("37005", "01", "井1"), ("37005", "02", "井2"), ("01234", "01", "井")]),
    "QZ_DICT_ITEMS": ("ITEMID TEXT, ITEMNAME TEXT, UNIT TEXT", [("4121", "水位", "m"), ("4122", "水位辅", "m")]),
    "QZ_DICT_STATIONITEMS": ("STATIONID TEXT, ITEMID TEXT",
                             [("37005", "4121"), ("37005", "4122"), ("01234", "4121")]),
}


@pytest.fixture(scope="module")
def text_ids(tmp_path_factory):
    """A minute table whose ids read as numbers: points 01 and 02, station
    01234, over the turn of a year; and its dataset."""
    rng = np.random.default_rng(3)
    rows = []
    for n, day in enumerate(pd.date_range("20251230", "20260102")):
        for station, point, item in (("37005", "01", "4121"), ("37005", "02", "4121"), ("37005", "01", "4122"),
                                     ("01234", "01", "4121")):
            values = list(np.round(rng.normal(10, 1, 1440), 4))
            values[n * 7] = None
            rows.append((station, point, item, day.to_pydatetime(), qzdb.packed(values), 1.0))
    folder = tmp_path_factory.mktemp("ids")
    qzdb.create(folder / "qz.db", DICTIONARY, {"QZ_412_DYU_01": (True, False, rows)})
    conn = qzdb.connect(folder / "qz.db", alias="ids")
    try:
        whole = DataFetcher.fetch_data(conn, "20251230", "20260102", "水位", "全部", "分钟值", "预处理库")
        DataFetcher.export_dataset(conn, str(folder / "ds"), "20251230", "20260102", "水位", "全部", "分钟值",
                                   "预处理库", chunk_days=2)
    finally:
        conn.close()
    return whole, folder / "ds"


def same_rows(got, whole):
    """got (STARTDATE a column, perhaps partition columns too) holds exactly
    the fetched rows, ids as the same texts."""
    want = sorted_rows(whole)
    got = got[list(want.columns)]
    got = got.sort_values(["STATIONID", "POINTID", "ITEMID", "STARTDATE"], kind="stable").reset_index(drop=True)
    for column in ("STATIONID", "POINTID", "ITEMID"):
        assert pd.api.types.is_string_dtype(got[column]), (column, got[column].dtype)
        assert got[column].tolist() == want[column].tolist()
    assert (got["STARTDATE"].to_numpy() == want["STARTDATE"].to_numpy()).all()
    np.testing.assert_array_equal(got["OBSVALUE"].to_numpy(dtype="float32", na_value=np.nan),
                                  want["OBSVALUE"].to_numpy())
    assert got["SAMPLERATE"].tolist() == want["SAMPLERATE"].tolist()


def test_year_files_and_text_ids_in_the_layout(text_ids):
    whole, root = text_ids
    assert set(whole["POINTID"]) == {"01", "02"} and "01234" in set(whole["STATIONID"])
    assert parquet_files(root) == [
        "station=01234/item=4121/period=2025/2025_01234_4121.parquet",
        "station=01234/item=4121/period=2026/2026_01234_4121.parquet",
        "station=37005/item=4121/period=2025/2025_37005_4121.parquet",
        "station=37005/item=4121/period=2026/2026_37005_4121.parquet",
        "station=37005/item=4122/period=2025/2025_37005_4122.parquet",
        "station=37005/item=4122/period=2026/2026_37005_4122.parquet",
    ]


LABELS = ["01234", "37005"]


def test_pyarrow_dataset_reads_it_back(text_ids):
    import pyarrow as pa
    import pyarrow.dataset as ds

    whole, root = text_ids
    table = ds.dataset(root, format="parquet", partitioning="hive").to_table()
    same_rows(table.to_pandas().reset_index(), whole)
    # the partition labels as text too (the README's line)
    labels = pa.schema([("station", pa.string()), ("item", pa.string()), ("period", pa.string())])
    table = ds.dataset(root, format="parquet", partitioning=ds.partitioning(labels, flavor="hive")).to_table()
    same_rows(table.to_pandas().reset_index(), whole)
    assert sorted(set(table.column("station").to_pylist())) == LABELS


def test_duckdb_reads_it_back(text_ids):
    import duckdb

    whole, root = text_ids
    got = duckdb.sql(f"SELECT * FROM read_parquet('{root}/**/*.parquet', hive_partitioning = true)").df()
    same_rows(got, whole)
    labelled = duckdb.sql(f"SELECT * FROM read_parquet('{root}/**/*.parquet', hive_partitioning = true, "
                          "hive_types_autocast = false)").df()
    same_rows(labelled, whole)
    assert sorted(set(labelled["station"])) == LABELS


def test_polars_reads_it_back(text_ids):
    pl = pytest.importorskip("polars")
    whole, root = text_ids
    same_rows(pl.scan_parquet(f"{root}/**/*.parquet", hive_partitioning=True).collect().to_pandas(), whole)
    labels = {"station": pl.String, "item": pl.String, "period": pl.String}
    labelled = pl.scan_parquet(f"{root}/**/*.parquet", hive_schema=labels).collect().to_pandas()
    same_rows(labelled, whole)
    assert sorted(set(labelled["station"])) == LABELS


def test_dask_reads_it_back(text_ids):
    dd = pytest.importorskip("dask.dataframe")
    whole, root = text_ids
    same_rows(dd.read_parquet(str(root)).compute().reset_index(), whole)
    import pyarrow as pa

    labels = pa.schema([("station", pa.string()), ("item", pa.string()), ("period", pa.string())])
    labelled = dd.read_parquet(str(root), dataset={"partitioning": {"flavor": "hive", "schema": labels}})
    labelled = labelled.compute().reset_index()
    same_rows(labelled, whole)
    assert sorted(set(labelled["station"])) == LABELS


def test_rows_without_a_station_id(tmp_path):
    # pandas 3 keeps a missing id missing through astype(str): such rows have
    # no folder, and the export says so instead of dropping them; pandas 2
    # makes the text "None" of it, a station like any other
    rows = [(station, "01", "4121", pd.Timestamp("20260101").to_pydatetime(), qzdb.packed([1.0] * 1440), 1.0)
            for station in ("37005", None)]
    qzdb.create(tmp_path / "qz.db", DICTIONARY, {"QZ_412_DYU_01": (True, False, rows)})
    conn = qzdb.connect(tmp_path / "qz.db", alias="missing ids")
    root = tmp_path / "ds"
    try:
        fetched = DataFetcher.fetch_data(conn, "20260101", "20260101", "水位", "全部", "分钟值", "预处理库")
        request = (conn, str(root), "20260101", "20260101", "水位", "全部", "分钟值", "预处理库")
        if fetched["STATIONID"].isna().any():
            with pytest.raises(ValueError, match="without a station or item id"):
                DataFetcher.export_dataset(*request)
            assert parquet_files(root) == [] and manifest(root)["periods"] == {}
        else:
            summary = DataFetcher.export_dataset(*request)
            assert summary["rows"] == len(fetched) == 2880
            assert "station=None/item=4121/period=2026/2026_None_4121.parquet" in parquet_files(root)
    finally:
        conn.close()
