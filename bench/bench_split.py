"""Observation-string splitting: kelvane.cleaning.split_lines against the
plain-pandas reference of the same steps, on generated (seeded) daily tables
laid out as the data fetch returns them.

    python bench/bench_split.py [--runs N] [--reference-runs N] [--case NAME]

For every case: median wall time and median CPU time of each side (on a
shared machine the CPU time is the one-core figure), the ratios, samples per
second of the native kernel, and the peak memory each side adds while it runs (peak
resident set from /proc, measured in a fresh process per side, so that
allocations of numpy, pyarrow and Python alike are counted).
"""

import argparse
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "src"))
sys.path.insert(0, str(ROOT / "tests"))

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

# name: (points, days, interval in seconds)
CASES = {
    "minute": (20, 31, 60),
    "second": (2, 3, 1),
    "hourly": (200, 365, 3600),
}
TARGETS = "targets: >= 50x faster on minute and second, <= 1/3 of the peak memory, >= 15 M samples/s on second"


def build_table(points, days, interval, seed=7):
    """Daily rows of `points` measuring points over `days` days: values with
    four decimals on a slow random walk, about 1% NULL words, a few missing
    days marked by all-NULL strings, sorted as the fetch sorts them."""
    rng = np.random.default_rng(seed)
    per_day = 86400 // interval
    rows = []
    starts = pd.date_range("2020-01-01", periods=days, freq="D").as_unit("us")
    for p in range(points):
        level = rng.uniform(5, 50)
        for d in range(days):
            walk = level + np.cumsum(rng.normal(0, 0.002, per_day))
            level = walk[-1]
            words = np.char.mod("%.4f", walk).astype(object)
            words[rng.random(per_day) < 0.01] = "NULL"
            if rng.random() < 0.01:
                words[:] = "NULL"
            rows.append(("%05d" % (11000 + p // 4), str(p % 4 + 1), "4112", starts[d], " ".join(words)))
    df = pd.DataFrame(rows, columns=["STATIONID", "POINTID", "ITEMID", "STARTDATE", "OBSVALUE"])
    for col in ("STATIONID", "POINTID", "ITEMID", "OBSVALUE"):
        df[col] = df[col].astype(str)
    df["SAMPLERATE"] = {1: 2.0, 60: 1.0, 3600: 60.0}[interval]
    return df.sort_values(by=["ITEMID", "STATIONID", "POINTID", "STARTDATE"])


def implementations():
    from kelvane import cleaning
    from reference.split_reference import split_lines_reference

    return {"kernel": cleaning.split_lines, "reference": split_lines_reference}


def timed(fn, df, interval, runs):
    """Median wall time and median CPU time of `runs` calls."""
    wall, cpu = [], []
    fn(df, interval)  # warm-up, not counted
    for _ in range(runs):
        w0, c0 = time.perf_counter(), time.process_time()
        out = fn(df, interval)
        cpu.append(time.process_time() - c0)
        wall.append(time.perf_counter() - w0)
        samples = len(out)
        del out
    return statistics.median(wall), statistics.median(cpu), samples


def _status_kb(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1])
    raise RuntimeError(field)


def peak_child(case, side):
    """Runs one side once in this process and prints the peak memory it added."""
    points, days, interval = CASES[case]
    df = build_table(points, days, interval)
    fn = implementations()[side]
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # reset the peak resident set to the current one
    before = _status_kb("VmRSS:")
    out = fn(df, interval)
    peak = _status_kb("VmHWM:")
    print(max(peak - before, 0) * 1024, len(out))


def peak_memory(case, side):
    res = subprocess.run([sys.executable, __file__, "--peak-of", case, side],
                         capture_output=True, text=True, check=True, env=dict(os.environ))
    return int(res.stdout.split()[0])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=7, help="runs of the kernel per case")
    ap.add_argument("--reference-runs", type=int, default=3, help="runs of the reference per case")
    ap.add_argument("--case", choices=sorted(CASES), action="append")
    ap.add_argument("--no-memory", action="store_true")
    ap.add_argument("--peak-of", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.peak_of:
        peak_child(*args.peak_of)
        return

    impl = implementations()
    print(TARGETS)
    for case in args.case or list(CASES):
        points, days, interval = CASES[case]
        df = build_table(points, days, interval)
        k_wall, k_cpu, samples = timed(impl["kernel"], df, interval, args.runs)
        r_wall, r_cpu, r_samples = timed(impl["reference"], df, interval, args.reference_runs)
        assert samples == r_samples
        line = (f"{case:7s} {points} points x {days} days, {samples:,} samples:\n"
                f"  wall: kernel {k_wall * 1e3:.1f} ms, reference {r_wall * 1e3:.0f} ms, "
                f"speed-up {r_wall / k_wall:.0f}x, kernel {samples / k_wall / 1e6:.1f} M samples/s\n"
                f"  cpu:  kernel {k_cpu * 1e3:.1f} ms, reference {r_cpu * 1e3:.0f} ms, "
                f"speed-up {r_cpu / k_cpu:.0f}x, kernel {samples / k_cpu / 1e6:.1f} M samples/s")
        if not args.no_memory:
            k_mem, r_mem = peak_memory(case, "kernel"), peak_memory(case, "reference")
            line += (f"\n  peak memory: kernel {k_mem / 2**20:.0f} MiB, reference {r_mem / 2**20:.0f} MiB"
                     f" (ratio {k_mem / r_mem:.3f})")
        print(line, flush=True)


if __name__ == "__main__":
    main()
