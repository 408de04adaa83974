"""Catalogue reading and filtering: the native reader against the plain
Python reader on generated 500,000-line catalogues (the sample database's
catalogue, and one with damaged fields, short and blank lines); against the
tools an analyst would pick instead (a Polars pipeline on two threads and
pandas.read_fwf with the column specs) on the sample catalogue in UTF-8 and
in GBK; and filtered_kats on 10,000 events against the plain-pandas filter.

    PYTHONPATH=src python bench/bench_kat.py [--lines N] [--events N] [--repeat K]

Every pair is timed alternately in the same run, after checking that both
give the same table; the figures are medians.
"""

import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("POLARS_MAX_THREADS", "2")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

try:
    import polars as pl  # noqa: E402
except ImportError:  # the Polars comparison is left out
    pl = None

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


COLSPECS = [(0, 14), (15, 21), (21, 27), (28, 32), (39, 1000)]
TIME_FORMAT = "%Y%m%d%H%M%S"


def read_polars(path, encoding):
    """Lines read by Polars (UTF-8 from the file; other encodings decoded by
    Python first), fixed columns cut with str.slice, stripped and cast, in
    one lazy query."""
    if encoding == "utf-8":
        lines = pl.scan_csv(path, has_header=False, separator="\x1f", quote_char=None, schema={"line": pl.String})
    else:
        lines = pl.LazyFrame({"line": Path(path).read_bytes().decode(encoding).splitlines()})
    line = pl.col("line")

    def number(start, end):
        return line.str.slice(start, end - start).str.strip_chars().cast(pl.Float64, strict=False)

    name = line.str.slice(39).str.strip_chars()
    time_text = line.str.slice(0, 14).str.strip_chars()
    return lines.filter(line.str.strip_chars() != "").select(
        ind=time_text.str.to_datetime(TIME_FORMAT, time_unit="us", strict=False, cache=False),
        lon=number(21, 27),
        lat=number(15, 21),
        magnitude=number(28, 32),
        name=pl.when(name != "").then(name),
    ).collect()


def polars_as_pandas(table, like):
    """The Polars table as read_KAT's table, for the equality check."""
    df = table.to_pandas()
    df["ind"] = df["ind"].astype(like.index.dtype)
    df["name"] = df["name"].astype(like["name"].dtype)
    return df.set_index("ind")


def read_fwf(path, encoding):
    """pandas.read_fwf with the column specs, then the time conversion."""
    df = pd.read_fwf(path, colspecs=COLSPECS, header=None, names=["ind", "lat", "lon", "magnitude", "name"],
                     dtype={"ind": str, "name": str}, encoding=encoding)
    df["ind"] = pd.to_datetime(df["ind"], format=TIME_FORMAT, errors="coerce")
    return df.set_index("ind")[["lon", "lat", "magnitude", "name"]]


def alternate(fns, repeat):
    """Median wall time of each function, run in turns."""
    times = [[] for _ in fns]
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            t0 = time.perf_counter()
            fn()
            times[k].append(time.perf_counter() - t0)
    return [statistics.median(t) for t in times]


def compare_with_peers(path, repeat):
    for encoding in ("utf-8", "gbk"):
        target = path if encoding == "utf-8" else path.with_suffix(".gbk.txt")
        if encoding != "utf-8":
            target.write_bytes(path.read_text(encoding="utf-8").encode(encoding))
        native = KAT.read_KAT(target, encoding=encoding)
        fwf = read_fwf(target, encoding)
        pd.testing.assert_frame_equal(fwf.astype({"name": native["name"].dtype}), native, check_exact=True,
                                      check_index_type=False)
        assert (fwf.index == native.index).all()
        fns = [lambda: KAT.read_KAT(target, encoding=encoding), lambda: read_fwf(target, encoding)]
        if pl is not None:
            pd.testing.assert_frame_equal(polars_as_pandas(read_polars(target, encoding), native), native,
                                          check_exact=True)
            fns.append(lambda: read_polars(target, encoding))
        medians = alternate(fns, repeat)
        print(f"read_KAT against the peers, {encoding} ({target.stat().st_size / 1e6:.1f} MB, "
              f"{len(native)} rows, medians of {repeat}):")
        print(f"  read_KAT          {medians[0] * 1000:9.1f} ms")
        print(f"  pandas.read_fwf   {medians[1] * 1000:9.1f} ms   ratio {medians[1] / medians[0]:6.1f}x (target >= 20x)")
        if pl is not None:
            print(f"  Polars pipeline   {medians[2] * 1000:9.1f} ms   ratio {medians[2] / medians[0]:6.1f}x"
                  + (" (target >= 2x)" if encoding == "utf-8" else ""))


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
        print(f"load average at the start: {os.getloadavg()[0]:.2f}")
        compare_with_peers(sample, max(args.repeat, 7))
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
