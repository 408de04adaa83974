"""Data availability at network scale.

1. `refine.completeness` of a dataset holding a month of second values for 20
   station points (about 52 M samples, the sample database and dataset of
   bench_scale.py), per day, in a fresh child process: time, samples per
   second (target at least 50 M samples/s) and peak resident memory (target:
   bounded, at most 1 GiB, well under the size of the decoded columns).
   Compared in the same run with two plain computations of the same numbers:
   pandas and Polars, each reading the dataset a file at a time; all three
   are checked equal before timing. Wall and processor seconds are printed:
   the machine is shared, and the processor seconds of a single-threaded
   step are what it takes on a quiet machine.
2. `TSPlotter.plot_availability` of 1,000 series x 365 days (target under
   10 s), the figures saved as PNG.

Peak memory is the kernel's peak resident set (VmHWM) of the whole child
process: interpreter, libraries and data.

    python bench/bench_availability.py            # the full sizes
    python bench/bench_availability.py --quick    # 5 points over 6 days
"""

import argparse
import gc
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow.parquet as pq

from kelvane import refine, sandbox
from kelvane.fetching import DataFetcher

WORK = Path(os.environ.get("KELVANE_BENCH_DIR", "/tmp/kelvane-bench")) / "availability"
REQUEST = dict(method_name="静水位", station_name="全部", data_type="秒钟值", base_type="预处理库")
RATE_TARGET = 50e6
PEAK_TARGET = 2**30
FIGURE_TARGET = 10.0
KEYS = ["STATIONID", "POINTID", "ITEMID"]
DAY = 86400


def sizes(quick):
    """(points, days, first day, last day): bench_scale.py's month."""
    if quick:
        return 5, 6, "20260101", "20260106"
    return 20, 30, "20260101", "20260131"


def status(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def dataset_files(root):
    listed = json.loads((Path(root) / "_manifest.json").read_text(encoding="utf-8"))
    return [(Path(root) / e["path"], e["station"], e["item"]) for label in sorted(listed["periods"])
            for e in listed["periods"][label]["files"]]


def day_numbers(expected, present, first, last, widest, step):
    """expected, present and longest gap (seconds) of a day from its smallest
    step, its valid samples (count, first and last offset, widest step
    between them), all in seconds."""
    dt = np.maximum(step, 1)
    slots = np.maximum(DAY // dt, 1)
    got = np.minimum(present, slots)
    lead = np.minimum(first // dt, slots - 1) * dt
    trail = (slots - 1 - np.minimum(last // dt, slots - 1)) * dt
    inner = np.maximum((widest + dt // 2) // dt - 1, 0) * dt
    gap = np.where(got == 0, slots * dt, np.maximum(np.maximum(lead, trail), inner))
    return slots, got, gap


def with_absent_days(days, root):
    """Every series on every day the manifest says was fetched: days without a
    row are wholly missing at the dataset's interval."""
    listed = json.loads((Path(root) / "_manifest.json").read_text(encoding="utf-8"))
    spans = [pd.date_range(p["first_day"], p["last_day"]) for p in listed["periods"].values()]
    numbers = np.unique(np.concatenate([s.to_numpy().astype("datetime64[D]").astype("int64") for s in spans]))
    grid = days[KEYS].drop_duplicates().merge(pd.DataFrame({"day": numbers}), how="cross")
    out = grid.merge(days, on=KEYS + ["day"], how="left")
    rate = int(listed["sampling_rate"])
    absent = out["expected"].isna()
    out.loc[absent, "expected"] = DAY // rate
    out.loc[absent, "present"] = 0
    out.loc[absent, "longest_gap_seconds"] = DAY
    return out.astype({"expected": "int64", "present": "int64", "longest_gap_seconds": "int64"})


def pandas_days(root):
    """The per-day numbers in plain pandas, a file at a time."""
    parts = []
    for path, station, item in dataset_files(root):
        df = pq.read_table(path, columns=["POINTID", "STARTDATE", "OBSVALUE"]).to_pandas(ignore_metadata=True)
        t = df["STARTDATE"].to_numpy().astype("datetime64[s]").astype("int64")
        df = pd.DataFrame({"POINTID": df["POINTID"].astype(str).to_numpy(), "day": t // DAY, "t": t,
                           "valid": df["OBSVALUE"].notna().to_numpy()})
        keys = ["POINTID", "day"]
        df["step"] = df.groupby(keys)["t"].diff()
        days = df.groupby(keys).agg(step=("step", "min"), day_start=("day", "first"))
        ok = df[df["valid"]].copy()
        ok["gap"] = ok.groupby(keys)["t"].diff()
        valid = ok.groupby(keys).agg(present=("t", "size"), first=("t", "min"), last=("t", "max"),
                                     widest=("gap", "max"))
        days = days.join(valid).fillna({"present": 0, "first": 0, "last": 0, "widest": 0, "step": DAY})
        start = days["day_start"].to_numpy() * DAY
        slots, got, gap = day_numbers(None, days["present"].to_numpy("int64"),
                                      days["first"].to_numpy("int64") - start,
                                      days["last"].to_numpy("int64") - start,
                                      days["widest"].to_numpy("int64"), days["step"].to_numpy("int64"))
        out = days.reset_index()[["POINTID", "day"]]
        out.insert(0, "STATIONID", station)
        out.insert(2, "ITEMID", item)
        out["expected"], out["present"], out["longest_gap_seconds"] = slots, got, gap
        parts.append(out)
    return with_absent_days(pd.concat(parts, ignore_index=True), root)


def polars_days(root):
    """The per-day numbers in Polars, a file at a time (scanning the whole
    dataset at once holds every sample: about 10 GiB here)."""
    import polars as pl

    t = pl.col("STARTDATE").dt.epoch("s")
    valid = pl.col("OBSVALUE").is_not_null() & pl.col("OBSVALUE").is_not_nan()
    parts = []
    for path, station, item in dataset_files(root):
        frame = (pl.scan_parquet(str(path))
                 .select(pl.col("POINTID").cast(pl.String), t.alias("t"), valid.alias("valid"))
                 .with_columns((pl.col("t") // DAY).alias("day"))
                 .group_by(["POINTID", "day"])
                 .agg(pl.col("t").sort().diff().min().alias("step"),
                      pl.col("valid").sum().alias("present"),
                      pl.col("t").filter(pl.col("valid")).min().alias("first"),
                      pl.col("t").filter(pl.col("valid")).max().alias("last"),
                      pl.col("t").filter(pl.col("valid")).sort().diff().max().alias("widest"))
                 .collect())
        frame = frame.with_columns(pl.col("step").fill_null(DAY), pl.col("first").fill_null(0),
                                   pl.col("last").fill_null(0), pl.col("widest").fill_null(0))
        start = frame["day"].to_numpy() * DAY
        slots, got, gap = day_numbers(None, frame["present"].to_numpy().astype("int64"),
                                      frame["first"].to_numpy() - start, frame["last"].to_numpy() - start,
                                      frame["widest"].to_numpy(), frame["step"].to_numpy())
        out = frame.select(["POINTID", "day"]).to_pandas()
        out.insert(0, "STATIONID", station)
        out.insert(2, "ITEMID", item)
        out["expected"], out["present"], out["longest_gap_seconds"] = slots, got, gap
        parts.append(out)
    return with_absent_days(pd.concat(parts, ignore_index=True), root)


def kelvane_days(root):
    got = refine.completeness(str(root), "D")
    got["day"] = got["period"].to_numpy().astype("datetime64[D]").astype("int64")
    return got[KEYS + ["day", "expected", "present", "longest_gap_seconds"]]


def same(a, b):
    order = KEYS + ["day"]
    a = a.sort_values(order).reset_index(drop=True).astype({"expected": "int64", "present": "int64",
                                                            "longest_gap_seconds": "int64"})
    b = b.sort_values(order).reset_index(drop=True).astype({"expected": "int64", "present": "int64",
                                                            "longest_gap_seconds": "int64"})
    pd.testing.assert_frame_equal(a, b, check_dtype=False)


METHODS = {"kelvane": kelvane_days, "pandas": pandas_days, "polars": polars_days}


def child(spec):
    import kelvane.refine  # noqa: F401  loaded before the counter restarts
    gc.collect()
    Path("/proc/self/clear_refs").write_text("5")
    t0, c0 = time.perf_counter(), time.process_time()
    rows = len(METHODS[spec["method"]](spec["root"]))
    return dict(seconds=time.perf_counter() - t0, cpu=time.process_time() - c0, peak=status("VmHWM"),
                rows=rows)


def run_child(**spec):
    done = subprocess.run([sys.executable, __file__, "--child", json.dumps(spec)], check=True,
                          capture_output=True, text=True, env=os.environ)
    return json.loads(done.stdout.strip().splitlines()[-1])


def mib(n):
    return f"{n / 2**20:.0f} MiB"


def verdict(ok):
    return "met" if ok else "NOT MET"


def network(series=1000, days=365, seed=1):
    rng = np.random.default_rng(seed)
    keys = pd.DataFrame([(f"{s // 10:05d}", str(s % 2 + 1), f"{4100 + s % 5}") for s in range(series)],
                        columns=KEYS).drop_duplicates()
    table = keys.merge(pd.DataFrame({"period": pd.date_range("2025-01-01", periods=days)}), how="cross")
    table["expected"] = 86400
    table["present"] = (86400 * rng.beta(5, 1, len(table))).astype("int64")
    table["completeness"] = table["present"] / table["expected"]
    table["longest_gap_seconds"] = 0
    return table


def bench_figure(runs):
    from kelvane.tsdraw import TSPlotter

    db = WORK / "figure.sqlite"
    sandbox.build(str(db), start="20250101", end="20250103", seed=1)
    conn = sandbox.connect(str(db), alias="bench availability")
    plotter = TSPlotter(conn, metadata_dir=str(WORK / "meta"))
    table = network()
    series = len(table.groupby(KEYS))
    times, cpu = [], []
    previous = Path.cwd()
    for _ in range(runs):
        folder = Path(tempfile.mkdtemp(dir=WORK))
        os.chdir(folder)
        try:
            t0, c0 = time.perf_counter(), time.process_time()
            plotter.plot_availability(table)
            times.append(time.perf_counter() - t0)
            cpu.append(time.process_time() - c0)
            pages = len(list((folder / "figures").glob("availability_*.png")))
        finally:
            os.chdir(previous)
            shutil.rmtree(folder)
    conn.close()
    t = statistics.median(times)
    c = statistics.median(cpu)
    print(f"plot_availability: {series} series x 365 days in {pages} pages, median {t:.2f} s, "
          f"{c:.2f} s of processor time (target < {FIGURE_TARGET:.0f} s: wall {verdict(t < FIGURE_TARGET)}, "
          f"processor {verdict(c < FIGURE_TARGET)}); machine load {os.getloadavg()[0]:.2f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--runs", type=int, default=3, help="timed runs of each step (median)")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        print(json.dumps(child(json.loads(args.child))))
        return

    points, days, first, last = sizes(args.quick)
    shutil.rmtree(WORK, ignore_errors=True)
    WORK.mkdir(parents=True)
    print(f"machine load (1, 5, 15 min): {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    db = WORK / "seconds.sqlite"
    sandbox.build(str(db), start=first, end=last, seed=7, stations=[], extra_stations=points, minute_days=0,
                  second_days=days, raw_days=0, libraries=["DYU"], rates=["02"])
    conn = sandbox.connect(str(db), alias="bench availability")
    root = WORK / "month"
    summary = DataFetcher.export_dataset(conn, str(root), first, last, **REQUEST)
    conn.close()
    samples = summary["rows"]
    decoded = samples * (8 + 4)
    print(f"dataset: second values for {points} points over {days} days, {samples} samples in "
          f"{summary['files']} files ({decoded / 2**20:.0f} MiB of decoded times and values)", flush=True)

    # equal results first
    want = kelvane_days(root)
    for name in ("pandas", "polars"):
        same(METHODS[name](root), want)
    incomplete = int((want["present"] < want["expected"]).sum())
    absent = int((want["present"] == 0).sum())
    print(f"the three computations agree on {len(want)} series-days ({incomplete} of them incomplete, "
          f"{absent} without any sample)",
          flush=True)

    results = {}
    for name in METHODS:
        runs = [run_child(method=name, root=str(root)) for _ in range(args.runs)]
        results[name] = dict(seconds=statistics.median(r["seconds"] for r in runs),
                             cpu=statistics.median(r["cpu"] for r in runs),
                             peak=max(r["peak"] for r in runs))
    print(f"machine load (1 min): {os.getloadavg()[0]:.2f}")
    k = results["kelvane"]
    rate = samples / k["seconds"]
    print(f"refine.completeness per day: median {k['seconds']:.2f} s ({k['cpu']:.2f} s of processor time "
          f"on {os.cpu_count()} threads), {rate / 1e6:.1f} M samples/s "
          f"(target >= {RATE_TARGET / 1e6:.0f}: {verdict(rate >= RATE_TARGET)}), peak RSS {mib(k['peak'])} "
          f"(target <= {mib(PEAK_TARGET)}: {verdict(k['peak'] <= PEAK_TARGET)})")
    for name in ("pandas", "polars"):
        r = results[name]
        print(f"  {name}: median {r['seconds']:.2f} s ({r['cpu']:.2f} s of processor time, "
              f"{samples / r['seconds'] / 1e6:.1f} M samples/s), "
              f"peak RSS {mib(r['peak'])}; kelvane is {r['seconds'] / k['seconds']:.1f}x faster, "
              f"peak {r['peak'] / k['peak']:.2f}x kelvane's", flush=True)

    bench_figure(args.runs)
    shutil.rmtree(WORK)


if __name__ == "__main__":
    main()
