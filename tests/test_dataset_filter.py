"""The Hampel filter over a dataset as Dask tasks (refine.filter_dataset):
every series equal, bit for bit, to the in-memory filter of the whole series,
on a LocalCluster of two worker processes; series cut into many files with
stretches of missing samples longer than a file; each task one file and its
halos; argument checks; the package without Dask."""

import json
import sys
import textwrap
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from kelvane import refine, sandbox
from kelvane.fetching import DataFetcher

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None)
    c = distributed.Client(cluster)
    yield c
    c.close()
    cluster.close()


def read_series(root):
    """{(station, point, item): values} of a dataset, files in period order."""
    listed = json.loads((Path(root) / "_manifest.json").read_text(encoding="utf-8"))
    out = {}
    for label in sorted(listed["periods"]):
        for entry in listed["periods"][label]["files"]:
            table = pq.read_table(Path(root) / entry["path"], columns=["STATIONID", "POINTID", "ITEMID", "OBSVALUE"])
            frame = table.to_pandas()
            for key, rows in frame.groupby(["STATIONID", "POINTID", "ITEMID"], sort=False):
                out.setdefault(key, []).append(rows["OBSVALUE"].to_numpy())
    return {key: np.concatenate(parts) for key, parts in out.items()}


def assert_filtered(source_series, filtered, window, threshold):
    assert filtered.keys() == source_series.keys()
    for key, values in source_series.items():
        want = refine.filter_with_fast_mad(pd.Series(values), window, threshold).to_numpy()
        got = filtered[key]
        assert got.dtype == want.dtype, key
        # bit for bit, NaN where NaN
        assert np.array_equal(got.view(f"u{got.itemsize}"), want.view(f"u{want.itemsize}")), key


# --- a fetched dataset ------------------------------------------------------------------


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    """Second values over the turn of a year (two monthly files per series) and
    the whole fetch."""
    folder = tmp_path_factory.mktemp("filter")
    path = folder / "sample.sqlite"
    sandbox.build(str(path), start="20251225", end="20260101", seed=4, stations=["12001", "32007"],
                  minute_days=0, second_days=2, raw_days=0, libraries=["DYU"], rates=["02", "90"])
    conn = sandbox.connect(str(path), alias="filter sample")
    try:
        request = ("全部", "全部", "秒钟值", "预处理库")
        whole = DataFetcher.fetch_data(conn, "20251231", "20260101", *request)
        DataFetcher.export_dataset(conn, str(folder / "ds"), "20251231", "20260101", *request)
    finally:
        conn.close()
    return whole, folder / "ds"


def test_filtered_dataset_equals_the_in_memory_filter(client, exported, tmp_path):
    whole, src = exported
    dst = tmp_path / "clean"
    summary = refine.filter_dataset(str(src), str(dst), client=client)
    source = json.loads((src / "_manifest.json").read_text(encoding="utf-8"))
    result = json.loads((dst / "_manifest.json").read_text(encoding="utf-8"))
    # the same layout, the same rows
    paths = lambda m: sorted(e["path"] for p in m["periods"].values() for e in p["files"])  # noqa: E731
    assert paths(result) == paths(source) and len(paths(source)) == 8
    assert sorted(p.relative_to(dst).as_posix() for p in dst.rglob("*.parquet")) == paths(source)
    assert summary["files"] == 8 and summary["rows"] == len(whole)
    assert result["filter"] == {"function": "filter_with_fast_mad", "window_size": 15, "threshold_factor": 5.0}
    assert result["request"] == source["request"]
    # every series as the whole series filtered in memory
    series = {key: rows["OBSVALUE"].to_numpy() for key, rows in whole.groupby(["STATIONID", "POINTID", "ITEMID"])}
    filtered = read_series(dst)
    assert_filtered(series, filtered, 15, 5.0)
    assert sum((filtered[k] != series[k]).sum() for k in series) > 100  # spikes were replaced
    # the other columns and the file metadata kept, the filter named
    some = paths(source)[0]
    before, after = pq.read_table(src / some), pq.read_table(dst / some)
    assert after.drop_columns(["OBSVALUE"]).equals(before.drop_columns(["OBSVALUE"]))
    meta = after.schema.metadata
    assert meta[b"station_info"] == before.schema.metadata[b"station_info"]
    assert json.loads(meta[b"filter"])["window_size"] == 15


# --- series cut into many small files ------------------------------------------------


def write_dataset(root, blocks, dtype):
    """A dataset in the exported layout whose series are the given blocks:
    blocks[(station, point, item)] is a list of value arrays, one per period
    (None: the series has no rows in that period). Rows of the points of one
    file are interleaved."""
    root = Path(root)
    periods = {}
    files = {}
    for (station, point, item), parts in blocks.items():
        for k, part in enumerate(parts):
            if part is None:
                continue
            files.setdefault((station, item, k), []).append((point, np.asarray(part, dtype=dtype)))
    for (station, item, k), members in sorted(files.items()):
        label = f"2001-{k + 1:02d}"
        frames = []
        for point, values in members:
            times = pd.Timestamp(f"{label}-01") + pd.to_timedelta(np.arange(len(values)) * 2 + len(frames), "s")
            frames.append(pd.DataFrame({"STATIONID": station, "POINTID": point, "ITEMID": item, "OBSVALUE": values},
                                       index=pd.DatetimeIndex(times, name="STARTDATE")))
        table = pd.concat(frames).sort_index(kind="stable")
        relative = f"station={station}/item={item}/period={label}/{label}_{station}_{item}.parquet"
        (root / relative).parent.mkdir(parents=True, exist_ok=True)
        pq.write_table(pa.Table.from_pandas(table), root / relative)
        entry = {"path": relative, "station": station, "item": item, "rows": len(table),
                 "bytes": (root / relative).stat().st_size}
        periods.setdefault(label, {"first_day": f"{label.replace('-', '')}01", "last_day": f"{label.replace('-', '')}28",
                                   "files": []})["files"].append(entry)
    manifest = {"format": "kelvane dataset", "version": 1, "request": {"method_name": "test"}, "period": "month",
                "sampling_rate": 1, "periods": periods}
    (root / "_manifest.json").write_text(json.dumps(manifest), encoding="utf-8")


def random_blocks(rng, window):
    """A few series in blocks of every length around the window, with long
    stretches of missing samples, infinities and spikes."""
    blocks = {}
    for s in range(3):
        count = rng.integers(3, 9)
        lengths = [int(rng.choice([0, 1, 2, window // 2, window - 1, window, window + 1, 3 * window, 200]))
                   for _ in range(count)]
        values = rng.normal(10, 1, sum(lengths))
        values[rng.random(values.size) < 0.03] += 50                      # spikes
        for _ in range(rng.integers(0, 4)):                               # missing stretches
            start = rng.integers(0, max(1, values.size))
            values[start:start + rng.integers(1, 4 * window + 2)] = np.nan
        if values.size and rng.random() < 0.3:
            values[: rng.integers(1, values.size + 1)] = np.nan           # a missing start
        values[rng.random(values.size) < 0.01] = np.inf
        parts, at = [], 0
        for n in lengths:
            parts.append(values[at:at + n] if n else None)
            at += n
        blocks[("30001", str(s % 2 + 1), f"41{s // 2}2")] = parts
    return blocks


@pytest.mark.parametrize("window, dtype", [(15, "float32"), (4, "float64"), (1, "float32"), (31, "float64")])
def test_series_over_many_small_files(client, tmp_path, window, dtype):
    rng = np.random.default_rng(window)
    for case in range(3):
        src, dst = tmp_path / f"src{case}", tmp_path / f"dst{case}"
        blocks = random_blocks(rng, window)
        write_dataset(src, blocks, dtype)
        refine.filter_dataset(src, dst, window_size=window, threshold_factor=3.0, client=client)
        series = {key: np.concatenate([p for p in parts if p is not None]).astype(dtype)
                  for key, parts in blocks.items() if any(p is not None for p in parts)}
        assert_filtered(series, read_series(dst), window, 3.0)


def test_a_gap_longer_than_several_files_is_filled_from_before_it(client, tmp_path):
    # the samples after the gap take the local values of the last complete
    # window before it, three files back; the series' start takes its first
    # window's values, one file on
    base = np.linspace(1.0, 2.0, 30)
    blocks = {("30001", "1", "4112"): [np.full(5, np.nan), base, np.full(20, np.nan), np.full(20, np.nan),
                                       np.array([1.5, 80.0, np.nan, 1.6, 1.5])]}
    write_dataset(tmp_path / "src", blocks, "float64")
    refine.filter_dataset(tmp_path / "src", tmp_path / "dst", window_size=5, client=client)
    got = read_series(tmp_path / "dst")[("30001", "1", "4112")]
    want = refine.filter_with_fast_mad(pd.Series(np.concatenate(blocks[("30001", "1", "4112")])), 5).to_numpy()
    np.testing.assert_array_equal(got, want)
    assert got[-4] != 80.0  # the spike after the gap is replaced


def test_each_task_holds_one_file_and_its_halos(tmp_path, monkeypatch):
    blocks = {("30001", "1", "4112"): [np.arange(100.0), np.arange(100.0), np.arange(100.0)],
              ("30001", "2", "4112"): [np.arange(3.0), None, np.arange(100.0)]}
    write_dataset(tmp_path / "src", blocks, "float64")
    calls = []
    real = refine._filter_dataset_file

    def recording(source, target, plans, **kwargs):
        calls.append((source, {point: (len(before), len(after)) for point, (before, after, _) in plans.items()}))
        return real(source, target, plans, **kwargs)

    monkeypatch.setattr(refine, "_filter_dataset_file", recording)
    with distributed.Client(processes=False, dashboard_address=":0") as local:
        refine.filter_dataset(tmp_path / "src", tmp_path / "dst", window_size=7, client=local)
    assert len(calls) == 3
    halos = dict((Path(source).name, plans) for source, plans in calls)
    assert halos["2001-01_30001_4112.parquet"] == {"1": (0, 7), "2": (0, 7)}
    assert halos["2001-02_30001_4112.parquet"] == {"1": (7, 7)}
    assert halos["2001-03_30001_4112.parquet"] == {"1": (7, 0), "2": (3, 0)}


def test_bad_arguments_write_nothing(client, exported, tmp_path):
    _, src = exported
    tmp_path = tmp_path / "checks"
    tmp_path.mkdir()
    a_file = tmp_path / "file"
    a_file.write_text("keep")
    with pytest.raises(NotADirectoryError):
        refine.filter_dataset(src, a_file, client=client)
    with pytest.raises(ValueError, match="another folder than src"):
        refine.filter_dataset(src, src, client=client)
    hand = tmp_path / "hand"
    write_dataset(hand, {("30001", "1", "4112"): [np.arange(20.0)]}, "float64")
    exported_before = sorted(p.relative_to(src).as_posix() for p in src.rglob("*"))
    with pytest.raises(ValueError, match="holds an exported dataset"):
        refine.filter_dataset(hand, src, client=client)
    assert sorted(p.relative_to(src).as_posix() for p in src.rglob("*")) == exported_before
    with pytest.raises(ValueError, match="no dataset manifest"):
        refine.filter_dataset(tmp_path, tmp_path / "out", client=client)
    with pytest.raises(FileNotFoundError):
        refine.filter_dataset(tmp_path / "missing", tmp_path / "out", client=client)
    for window in (0, -2):
        with pytest.raises(ValueError, match="window_size"):
            refine.filter_dataset(src, tmp_path / "out", window_size=window, client=client)
    with pytest.raises(TypeError):
        refine.filter_dataset(src, tmp_path / "out", threshold_factor="5", client=client)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["file", "hand"] and a_file.read_text() == "keep"


def test_without_a_client_a_local_one_is_started_and_closed(exported, tmp_path, run_python):
    _, src = exported
    out = run_python(f"""
        import distributed
        from kelvane import refine
        summary = refine.filter_dataset({str(src)!r}, {str(tmp_path / 'dst')!r})
        try:
            distributed.default_client()
            print("left a client")
        except ValueError:
            print("files", summary["files"])
        """, tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["files", "8"]


def test_the_package_works_without_dask(exported, tmp_path, run_python):
    _, src = exported
    out = run_python(f"""
        import sys
        for name in ("dask", "distributed"):
            sys.modules[name] = None
        import pandas as pd
        from kelvane import fetching, refine, tsdraw
        print(refine.filter_with_fast_mad(pd.Series([1.0, 9.0, 1.0]), 3).tolist())
        try:
            refine.filter_dataset({str(src)!r}, {str(tmp_path / 'dst')!r})
        except ImportError as exc:
            print(exc)
        """, tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["[1.0, 1.0, 1.0]", 'filter_dataset runs on Dask: pip install "kelvane[dask]"']
    assert not (tmp_path / "dst").exists()
