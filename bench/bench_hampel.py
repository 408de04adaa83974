"""Hampel filter benchmark: kelvane.refine.filter_with_fast_mad against the
plain-pandas reference (rolling median + rolling apply of fast_mad) and the
Hampel filters on PyPI, on one year of minute values with spikes and gaps.

    PYTHONPATH=src:tests python bench/bench_hampel.py [--repeats 7] [--full-reference]

The peers are optional (pip install ".[bench]"); a missing one is skipped.
Each timing is the median of several runs; ratios are peer time / native time.
The reference takes minutes on the whole year, so by default it is timed on
a slice and extrapolated linearly (its cost is the same for every window);
--full-reference runs it on the whole series.
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "src"), str(ROOT / "tests")]

from kelvane import refine  # noqa: E402
from reference import refine_reference as ref  # noqa: E402

N = 525_600  # one year of minute values
WINDOW = 15
THRESHOLD = 5.0


def make_series(n=N, seed=20240101):
    """A water-level-like float32 minute series: daily tide, drift, noise,
    spikes (0.1 %) and gaps (short NaN runs and whole missing hours)."""
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    values = (
        50.0
        + 0.8 * np.sin(2 * np.pi * t / 1440.0)
        + np.cumsum(rng.normal(0, 0.002, n))
        + rng.normal(0, 0.05, n)
    )
    spikes = rng.random(n) < 0.001
    values[spikes] += rng.choice([-1.0, 1.0], spikes.sum()) * rng.uniform(2, 20, spikes.sum())
    for start in rng.integers(0, n - 60, 300):
        values[start : start + rng.integers(1, 60)] = np.nan
    index = pd.date_range("2023-01-01", periods=n, freq="min", name="STARTDATE")
    return pd.Series(values.astype("float32"), index=index, name="OBSVALUE")


def timed(fn, repeats):
    """Median wall time and median CPU time of this process (all its threads)
    over several runs. CPU time keeps the figures honest on a busy machine."""
    walls, cpus = [], []
    for _ in range(repeats):
        wall, cpu = time.perf_counter(), time.process_time()
        fn()
        cpus.append(time.process_time() - cpu)
        walls.append(time.perf_counter() - wall)
    return statistics.median(walls), statistics.median(cpus)


def peers():
    """(name, function of a float32 Series, note) for each installed peer."""
    found = []
    try:
        import hampel

        found.append(
            (
                "hampel (Cython)",
                lambda s: hampel.hampel(s.to_numpy(dtype="float32"), WINDOW, THRESHOLD),
                "filter, window 15",
            )
        )
    except ImportError:
        print("hampel not installed: skipped")
    try:
        from tsod import HampelDetector

        detector = HampelDetector(window_size=WINDOW // 2, threshold=THRESHOLD)
        found.append(
            ("tsod (numba)", lambda s: detector.detect(s.to_frame()), "detection only, window 14")
        )
    except ImportError:
        print("tsod not installed: skipped")
    try:
        from hampel_filter import hampel as hf

        found.append(
            (
                "hampel-filter (numba)",
                lambda s: hf(s.to_numpy(dtype="float64"), WINDOW // 2, THRESHOLD),
                "detection only, window 14",
            )
        )
        found.append(
            (
                "hampel-filter (numba, parallel)",
                lambda s: hf(s.to_numpy(dtype="float64"), WINDOW // 2, THRESHOLD, parallel=True),
                "detection only, all cores",
            )
        )
    except ImportError:
        print("hampel-filter not installed: skipped")
    return found


def measure_slow(fn, series, repeats, slice_size, budget=10.0):
    """Time fn on the whole series, or on a slice and extrapolate linearly
    when the whole would take longer than budget seconds per run."""
    part = series.iloc[:slice_size]
    fn(part.iloc[:2000])  # warm up (numba compiles here)
    wall, cpu = timed(lambda: fn(part), 1)
    scale = len(series) / len(part)
    if wall * scale <= budget:
        return (*timed(lambda: fn(series), repeats), "")
    wall, cpu = timed(lambda: fn(part), repeats)
    return wall * scale, cpu * scale, f"extrapolated from {len(part):,} samples"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--slice", type=int, default=20_000,
                        help="samples used to time a baseline that would take minutes")
    parser.add_argument("--full-reference", action="store_true")
    args = parser.parse_args()

    series = make_series()
    print(f"series: {len(series):,} float32 minute samples, {int(series.isna().sum()):,} missing; "
          f"window {WINDOW}, threshold {THRESHOLD}; median of {args.repeats} runs")

    # The native filter gives the reference's result (checked on the timed slice).
    check = series if args.full_reference else series.iloc[: args.slice]
    pd.testing.assert_series_equal(
        refine.filter_with_fast_mad(check), ref.filter_with_fast_mad(check), check_exact=True
    )

    refine.filter_with_fast_mad(series.iloc[:1000])
    frame = series.to_frame().assign(STATIONID="51001", POINTID="2", ITEMID="4112")
    rows = [
        ("kelvane native (Series)", *timed(lambda: refine.filter_with_fast_mad(series), args.repeats),
         "filter, window 15"),
        ("kelvane native (DataFrame)", *timed(lambda: refine.filter_with_fast_mad(frame), args.repeats),
         "filter + copy of the whole table"),
    ]
    reference_repeats = 1 if args.full_reference else 3
    wall, cpu, how = measure_slow(
        ref.filter_with_fast_mad, series, reference_repeats,
        len(series) if args.full_reference else args.slice, budget=float("inf") if args.full_reference else 10.0,
    )
    rows.append(("pandas reference (rolling apply)", wall, cpu, how or "measured"))
    for name, fn, note in peers():
        wall, cpu, how = measure_slow(fn, series, max(3, args.repeats // 2), args.slice)
        rows.append((name, wall, cpu, f"{note}; {how}" if how else note))

    native_wall, native_cpu = rows[0][1], rows[0][2]
    print(f"{'implementation':34s} {'wall':>10s} {'cpu':>10s} {'M samples/s':>12s} {'x native':>9s}  note")
    for name, wall, cpu, note in rows:
        print(f"{name:34s} {wall * 1e3:8.1f}ms {cpu * 1e3:8.1f}ms {len(series) / cpu / 1e6:12.2f} "
              f"{cpu / native_cpu:9.1f}  {note}")
    print("(samples/s and ratios from CPU time; a parallel peer's CPU time adds up its threads)")
    print()
    print(f"native throughput: {len(series) / native_cpu / 1e6:.1f} M samples/s of CPU time on one core "
          f"({len(series) / native_wall / 1e6:.1f} M/s wall) (target >= 10)")
    print(f"native vs pandas reference: {rows[2][2] / native_cpu:,.0f}x faster (target >= 200)")
    best_peer = min(rows[3:], key=lambda row: row[2], default=None)
    if best_peer:
        print(f"fastest peer, {best_peer[0]}: {best_peer[2] / native_cpu:.1f}x slower than native by CPU time, "
              f"{best_peer[1] / native_wall:.1f}x by wall time (target > 1)")


if __name__ == "__main__":
    main()
