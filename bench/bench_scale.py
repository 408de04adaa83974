"""Network scale: a month of second values for 20 station points (about 52 M
samples) fetched in one piece, exported as a partitioned dataset in spans of
days, and filtered on a Dask cluster.

Measured in one run, on a sample database built here (its build time is
printed too; target: under a minute):

1. `DataFetcher.fetch_data` of the month in one piece (the baseline): time and
   peak resident memory of a fresh child process.
2. `DataFetcher.export_dataset` of the month and of its first half, each in a
   fresh child process: time, peak resident memory, samples per second.
   Targets: peak at most 1 GiB, the month's peak within 1.25x of the half
   month's (memory flat in the length of the range), at least 10 M samples/s.
   Before timing, the exported rows are checked equal to the one-piece fetch
   (every series: its times and values, bit for bit).
3. `refine.filter_dataset` of the month's dataset on a LocalCluster of 2
   worker processes: time, peak resident memory of each worker, samples per
   second (target at least 15 M samples/s), against the in-memory filter of
   every whole series in this process (`refine.filter_with_fast_mad`). The
   filtered values are checked equal, bit for bit, before timing.

Peak memory is the kernel's peak resident set (VmHWM) of the whole process:
interpreter, libraries and data.

    python bench/bench_scale.py            # the full sizes
    python bench/bench_scale.py --quick    # 5 points over 6 days
"""

import argparse
import gc
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow.parquet as pq

from kelvane import refine, sandbox
from kelvane.fetching import DataFetcher

WORK = Path(os.environ.get("KELVANE_BENCH_DIR", "/tmp/kelvane-bench")) / "scale"
REQUEST = dict(method_name="静水位", station_name="全部", data_type="秒钟值", base_type="预处理库")
PEAK_TARGET = 2**30
FLAT_TARGET = 1.25
EXPORT_TARGET = 10e6
FILTER_TARGET = 15e6


def sizes(quick):
    """(points, days, first day of the month, its last day, last day of its first half)."""
    if quick:
        return 5, 6, "20260101", "20260106", "20260103"
    return 20, 30, "20260101", "20260131", "20260115"


def status(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def reset_peak():
    gc.collect()
    Path("/proc/self/clear_refs").write_text("5")  # restart the peak counter


def series_digests(frames):
    """{(station, point, item): [rows, sha1 of times and values]} over tables
    given in series order (rows of a series in time order)."""
    hashes, counts = {}, {}
    for frame in frames:
        flat = frame.reset_index()
        for key, rows in flat.groupby(["STATIONID", "POINTID", "ITEMID"], sort=False):
            h = hashes.setdefault(key, hashlib.sha1())
            h.update(rows["STARTDATE"].to_numpy().astype("datetime64[ns]").view("i8").tobytes())
            h.update(rows["OBSVALUE"].to_numpy(dtype="float32", na_value=np.nan).tobytes())
            counts[key] = counts.get(key, 0) + len(rows)
    return {"|".join(k): [counts[k], h.hexdigest()] for k, h in hashes.items()}


def dataset_files(root):
    """The files of a dataset in period order, as its manifest lists them."""
    listed = json.loads((Path(root) / "_manifest.json").read_text(encoding="utf-8"))
    return [Path(root) / entry["path"] for label in sorted(listed["periods"])
            for entry in listed["periods"][label]["files"]]


def child(spec):
    """One measured call in this fresh process: time, peak, rows (and the
    digests of the fetched rows)."""
    conn = sandbox.connect(spec["db"], alias="bench scale")
    # the modules the call loads, loaded before the counter restarts
    DataFetcher.fetch_data(conn, spec["first"], spec["first"], **REQUEST)
    reset_peak()
    base = status("VmRSS")
    t0 = time.perf_counter()
    if spec["what"] == "fetch":
        df = DataFetcher.fetch_data(conn, spec["first"], spec["last"], **REQUEST)
        rows = len(df)
    else:
        summary = DataFetcher.export_dataset(conn, spec["root"], spec["first"], spec["last"], **REQUEST)
        rows = summary["rows"]
    seconds = time.perf_counter() - t0
    out = dict(seconds=seconds, peak=status("VmHWM"), base=base, rows=rows)
    if spec["what"] == "fetch":
        out["digests"] = series_digests([df])
    conn.close()
    return out


def run_child(**spec):
    done = subprocess.run([sys.executable, __file__, "--child", json.dumps(spec)], check=True,
                          capture_output=True, text=True, env=os.environ)
    return json.loads(done.stdout.strip().splitlines()[-1])


def worker_peaks(client):
    return sorted(client.run(status, "VmHWM").values())


def read_series(root):
    """{(station, point, item): OBSVALUE} of a dataset, files in period order."""
    parts = {}
    for path in dataset_files(root):
        frame = pq.read_table(path, columns=["STATIONID", "POINTID", "ITEMID", "OBSVALUE"]).to_pandas()
        for key, rows in frame.groupby(["STATIONID", "POINTID", "ITEMID"], sort=False):
            parts.setdefault(key, []).append(rows["OBSVALUE"].to_numpy())
    return {key: np.concatenate(values) for key, values in parts.items()}


def mib(n):
    return f"{n / 2**20:.0f} MiB"


def verdict(ok):
    return "met" if ok else "NOT MET"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--runs", type=int, default=3, help="timed runs of each step (median)")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        print(json.dumps(child(json.loads(args.child))))
        return

    points, days, first, last, half = sizes(args.quick)
    shutil.rmtree(WORK, ignore_errors=True)
    WORK.mkdir(parents=True)
    db = WORK / "seconds.sqlite"
    print(f"machine load (1, 5, 15 min): {' '.join(f'{x:.2f}' for x in os.getloadavg())}")

    t0 = time.perf_counter()
    sandbox.build(str(db), start=first, end=last, seed=7, stations=[], extra_stations=points, minute_days=0,
                  second_days=days, raw_days=0, libraries=["DYU"], rates=["02"])
    built = time.perf_counter() - t0
    print(f"sample database: second values for {points} points x 2 methods over {days} days "
          f"built in {built:.1f} s (target < 60 s: {verdict(built < 60)})", flush=True)

    # 1. the one-piece fetch (the baseline), its rows as digests
    fetched = [run_child(what="fetch", db=str(db), first=first, last=last) for _ in range(args.runs)]
    samples = fetched[0]["rows"]
    fetch_time = statistics.median(r["seconds"] for r in fetched)
    fetch_peak = max(r["peak"] for r in fetched)
    print(f"one-piece fetch_data, {first}..{last}: {samples} samples, {len(fetched[0]['digests'])} series, "
          f"median {fetch_time:.2f} s ({samples / fetch_time / 1e6:.1f} M samples/s), peak RSS {mib(fetch_peak)}",
          flush=True)

    # 2. the exports, checked equal to the fetch first
    root = WORK / "month"
    check = run_child(what="export", db=str(db), root=str(root), first=first, last=last)
    got = series_digests(pq.read_table(p).to_pandas() for p in dataset_files(root))
    assert check["rows"] == samples and got == fetched[0]["digests"], "the dataset differs from the fetch"
    exports = {}
    for label, end in (("month", last), ("half month", half)):
        results = []
        for k in range(args.runs):
            target = WORK / f"export-{k}"
            shutil.rmtree(target, ignore_errors=True)
            results.append(run_child(what="export", db=str(db), root=str(target), first=first, last=end))
            shutil.rmtree(target)
        exports[label] = dict(seconds=statistics.median(r["seconds"] for r in results),
                              peak=max(r["peak"] for r in results), rows=results[0]["rows"])
    for label, r in exports.items():
        rate = r["rows"] / r["seconds"]
        print(f"export_dataset, {label}: {r['rows']} samples, median {r['seconds']:.2f} s, "
              f"{rate / 1e6:.1f} M samples/s (target >= {EXPORT_TARGET / 1e6:.0f}: "
              f"{verdict(rate >= EXPORT_TARGET)}), peak RSS {mib(r['peak'])} "
              f"(target <= {mib(PEAK_TARGET)}: {verdict(r['peak'] <= PEAK_TARGET)})")
    flat = exports["month"]["peak"] / exports["half month"]["peak"]
    print(f"  peak month / half month {flat:.2f} (target <= {FLAT_TARGET}: {verdict(flat <= FLAT_TARGET)}); "
          f"one-piece fetch / export of the month: time {fetch_time / exports['month']['seconds']:.2f}x, "
          f"peak {fetch_peak / exports['month']['peak']:.1f}x", flush=True)

    # 3. the Dask filter against the in-memory filter of every whole series
    import distributed

    source = read_series(root)
    t0 = time.perf_counter()
    wanted = {key: refine.filter_with_fast_mad(pd.Series(values)).to_numpy() for key, values in source.items()}
    memory_time = time.perf_counter() - t0
    del source
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        refine.filter_dataset(str(root), str(WORK / "filtered-check"), client=client)
        got = read_series(WORK / "filtered-check")
        assert got.keys() == wanted.keys() and all(
            np.array_equal(got[k].view("u4"), wanted[k].view("u4")) for k in wanted), "filtered values differ"
        del got, wanted
        times, peaks = [], []
        for k in range(args.runs):
            client.run(reset_peak)
            t0 = time.perf_counter()
            refine.filter_dataset(str(root), str(WORK / f"filtered-{k}"), client=client)
            times.append(time.perf_counter() - t0)
            peaks.append(worker_peaks(client))
            shutil.rmtree(WORK / f"filtered-{k}")
    filter_time = statistics.median(times)
    rate = samples / filter_time
    per_worker = [max(p[i] for p in peaks) for i in range(2)]
    print(f"filter_dataset on a LocalCluster of 2 worker processes: {samples} samples in "
          f"{len(dataset_files(root))} files, median {filter_time:.2f} s, {rate / 1e6:.1f} M samples/s "
          f"(target >= {FILTER_TARGET / 1e6:.0f}: {verdict(rate >= FILTER_TARGET)}), peak RSS per worker "
          f"{' and '.join(mib(p) for p in per_worker)}; in-memory filter of every whole series in this "
          f"process {memory_time:.2f} s ({memory_time / filter_time:.2f}x the cluster's time)")
    shutil.rmtree(WORK)


if __name__ == "__main__":
    main()
