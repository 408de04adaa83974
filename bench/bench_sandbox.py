"""Building sample databases.

1. The default sample (2009-01-01 to today, every library and rate): median
   build time of several runs and file size, against the targets of 30 s and
   200 MB.
2. Second values for benchmarks (8 series with second sampling, several days,
   raw and preprocessed libraries, the raw rows gzip-compressed): the native
   generator behind `sandbox.build` against a NumPy baseline doing the same
   work per sample (tides, seasonal and daily terms, noise, formatting to the
   packed text, gzip for the raw rows, insert into SQLite), in this process.
   Prints both medians, the ratio and the peak memory of each (measured in a
   fresh child process from its peak resident set, VmHWM).

    python bench/bench_sandbox.py            # full sizes
    python bench/bench_sandbox.py --quick    # fewer runs and days
"""

import argparse
import gzip
import os
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from kelvane import sandbox

TARGET_SECONDS = 30.0
TARGET_BYTES = 200 * 2**20
SECOND_SERIES = 8  # points with second sampling in the built-in stations


def timed(fn, runs):
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def native_seconds(path, days):
    sandbox.build(path, start="20240101", end="20240131", seed=7, minute_days=0, second_days=days,
                  raw_days=0, libraries=["DYS", "DYU"], rates=["02"])


def numpy_seconds(path, days):
    """The same amount of work with NumPy: one row per series and day."""
    if os.path.exists(path):
        os.remove(path)
    con = sqlite3.connect(path, isolation_level=None)
    con.execute("PRAGMA journal_mode=OFF")
    con.execute("PRAGMA synchronous=OFF")
    con.execute("BEGIN")
    rng = np.random.default_rng(7)
    periods = np.array([12.4206012, 12.0, 12.65834751, 23.93447213, 25.81933871]) * 3600.0
    weights = np.array([1.0, 0.465, 0.19, 0.58, 0.41])
    t_day = np.arange(86400, dtype=np.float64)
    for lib in ("DYS", "DYU"):
        con.execute(f"CREATE TABLE T_{lib} (STATIONID TEXT, POINTID TEXT, ITEMID TEXT, STARTDATE REAL, OBSVALUE)")
        rows = []
        for s in range(SECOND_SERIES):
            phases = rng.uniform(0, 2 * np.pi, 5)
            for d in range(days):
                t = (19723 + d) * 86400.0 + t_day
                v = 30000.0 + 20.0 * np.sin(2 * np.pi * t / 31556952.0)
                v += 25.0 * np.sin(2 * np.pi * (t % 86400) / 86400.0)
                v += (weights[:, None] * np.cos(2 * np.pi / periods[:, None] * t + phases[:, None])).sum(axis=0)
                v += rng.normal(0, 0.08, t.size)
                text = " ".join(np.char.mod("%.2f", v).tolist())
                value = gzip.compress(text.encode(), compresslevel=6, mtime=0) if lib == "DYS" else text
                rows.append((str(s), "1", "3122", 2440587.5 + t[0] / 86400.0, value))
        con.executemany(f"INSERT INTO T_{lib} VALUES (?,?,?,?,?)", rows)
    con.execute("COMMIT")
    con.close()


def hwm_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def peak_mb(which, path, days):
    """Peak resident memory above the start, in a fresh child process."""
    # VmHWM belongs to the process image, so it starts afresh in the child
    # (ru_maxrss would carry the parent's peak across exec).
    code = (
        "import sys\n"
        f"sys.path.insert(0, {str(Path(__file__).resolve().parent)!r})\n"
        "import bench_sandbox as b\n"
        "import pandas, sqlalchemy\n"  # libraries loaded by either side count as start-up
        "base = b.hwm_kb()\n"
        f"b.{which}({path!r}, {days})\n"
        "print((b.hwm_kb() - base) / 1024)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    runs = 1 if args.quick else 3
    days = 1 if args.quick else 3
    with tempfile.TemporaryDirectory(prefix="kelvane-bench-") as tmp:
        default = os.path.join(tmp, "default.sqlite")
        t = timed(lambda: sandbox.build(default), runs)
        size = os.path.getsize(default)
        print(f"default sample: {t:.2f} s (median of {runs}), {size / 2**20:.1f} MB; "
              f"target 30 s / 200 MB: time ratio {TARGET_SECONDS / t:.2f}x, size ratio {TARGET_BYTES / size:.2f}x")
        os.remove(default)

        native = os.path.join(tmp, "native.sqlite")
        baseline = os.path.join(tmp, "numpy.sqlite")
        tn = timed(lambda: native_seconds(native, days), runs)
        tb = timed(lambda: numpy_seconds(baseline, days), runs)
        samples = 2 * SECOND_SERIES * days * 86400
        print(f"second values, {SECOND_SERIES} series x {days} days x 2 libraries ({samples / 1e6:.1f} M samples):")
        print(f"  native build  {tn:.2f} s ({samples / tn / 1e6:.1f} M samples/s)")
        print(f"  numpy build   {tb:.2f} s ({samples / tb / 1e6:.1f} M samples/s)")
        print(f"  ratio {tb / tn:.2f}x")
        mn = peak_mb("native_seconds", native, days)
        mb = peak_mb("numpy_seconds", baseline, days)
        print(f"  peak memory above start: native {mn:.0f} MB, numpy {mb:.0f} MB, ratio {mb / max(mn, 1e-9):.2f}x")


if __name__ == "__main__":
    main()
