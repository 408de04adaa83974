"""Catalogue reading and filtering: the native reader against the plain
Python reader on generated 500,000-line catalogues (the sample database's
catalogue, and one with damaged fields, short and blank lines), and
filtered_kats on 10,000 events against the plain-pandas filter.

    PYTHONPATH=src python bench/bench_kat.py [--lines N] [--events N] [--repeat K]
"""

import argparse
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from kelvane import KAT, sandbox  # noqa: E402
from reference.kat_filter_reference import filtered_kats_reference  # noqa: E402
from reference.kat_reference import read_kat_reference  # noqa: E402

PLACES = ["四川汶川", "云南大理", "新疆和田", "甘肃岷县", "河北唐山", "西藏那曲", "青海玛多", "台湾花莲海域"]


def generate_catalogue(path, lines, seed=20080512):
    """Seeded catalogue text in the network's fixed columns: mostly valid
    events, some without a name, some blank lines and damaged fields."""
    rng = np.random.default_rng(seed)
    start = pd.Timestamp("1970-01-01").value // 10**9
    seconds = rng.integers(start - 86400 * 365 * 5, start + 86400 * 365 * 55, lines)
    times = pd.to_datetime(seconds, unit="s").strftime("%Y%m%d%H%M%S")
    lat = rng.uniform(18, 50, lines)
    lon = rng.uniform(73, 135, lines)
    mag = rng.uniform(0.5, 8.0, lines)
    place = rng.integers(0, len(PLACES), lines)
    kind = rng.random(lines)
    out = []
    for i in range(lines):
        name = "" if kind[i] < 0.05 else f"{PLACES[place[i]]}{i % 97}"
        line = f"{times[i]} {lat[i]:6.2f}{lon[i]:6.2f} {mag[i]:4.1f}       {name}"
        if kind[i] > 0.998:
            line = line[:20]  # cut short
        elif kind[i] > 0.996:
            line = "2008131" + line[7:]  # invalid month
        out.append(line)
        if kind[i] > 0.999:
            out.append("")
    Path(path).write_text("\n".join(out) + "\n", encoding="utf-8")


def median_time(fn, repeat):
    times, result = [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), result


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--lines", type=int, default=500_000)
    ap.add_argument("--events", type=int, default=10_000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        sample = Path(tmp) / "sandbox.txt"
        sandbox.write_catalogue(sample, start="19600101", end="20201231", seed=7, count=args.lines)
        damaged = Path(tmp) / "damaged.txt"
        generate_catalogue(damaged, args.lines)
        for label, path in (("sample-database catalogue", sample), ("damaged catalogue", damaged)):
            native_s, native = median_time(lambda: KAT.read_KAT(path), args.repeat)
            ref_s, ref = median_time(lambda: read_kat_reference(path), max(1, args.repeat // 2))
            pd.testing.assert_frame_equal(native, ref, check_exact=True)
            print(f"read_KAT, {label}, {len(native)} rows ({path.stat().st_size / 1e6:.1f} MB):")
            print(f"  native    {native_s * 1000:9.1f} ms")
            print(f"  reference {ref_s * 1000:9.1f} ms")
            print(f"  ratio     {ref_s / native_s:9.1f}x (target >= 10x)")

        native = KAT.read_KAT(sample)
        native = native[native.index > "1970-01-01"]
        events = native.iloc[: args.events].copy()
        fn_s, result = median_time(lambda: KAT.filtered_kats(events.copy()), max(1, args.repeat // 2))
        fr_s, expected = median_time(lambda: filtered_kats_reference(events.copy()), 1)
        pd.testing.assert_frame_equal(result, expected, check_exact=True)
        unique = len(events[["lat", "lon"]].drop_duplicates())
        print(f"filtered_kats, {len(events)} events, {unique} distinct epicentres, "
              f"{int(result['flag'].sum())} flagged:")
        print(f"  native    {fn_s * 1000:9.1f} ms ({fn_s / len(events) * 1e6:.1f} us per event)")
        print(f"  reference {fr_s * 1000:9.1f} ms")
        print(f"  ratio     {fr_s / fn_s:9.1f}x")


if __name__ == "__main__":
    main()
