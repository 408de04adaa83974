"""Hampel filter benchmark: kelvane.refine.filter_with_fast_mad against the
exact peers an expert would write or pick, on one year of minute values
(525,600) and on a long series (10 M values), float32 and float64.

    PYTHONPATH=src:tests python bench/bench_hampel.py [--repeats 7] [--long 10000000]
        [--others] [--full-reference]

Peers (pip install ".[bench]"; a missing one is skipped):
  * numba network: a sorting network run across 256 windows at once
    (Batcher's odd-even merge sort of the window, then of its absolute
    deviations), for the windows up to 64;
  * numba sorted window: one sorted buffer, an exchange per step, the MAD by a
    binary search over the two runs of deviations around the median;
  * bottleneck median + MAD: move_median, then bottleneck's median of the
    absolute deviations of each window (sliding_window_view, in blocks);
  * bottleneck move_median alone (the median only, no MAD, no filter).
Every peer's result is checked equal to kelvane's (bottleneck's medians to
pandas' rolling median) before any timing. The contenders are then timed in
turns, once each per round; the figures are medians over the rounds, and each
ratio is the median over the rounds of peer time / kelvane time in the same
round, so that a busy machine slows both sides of a ratio alike.

kelvane runs as a user gets it (two threads for long series) and forced onto
one thread; both are printed. --others adds the plain-pandas reference
(rolling median + rolling apply of fast_mad, timed on a slice and
extrapolated unless --full-reference) and the Hampel filters on PyPI.
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

N = 525_600  # one year of minute values
WINDOW = 15
THRESHOLD = 5.0
SCALE = 1.4826
WINDOWS = (15, 61, 301)


def make_series(n=N, seed=20240101, dtype="float32"):
    """A water-level-like minute series: daily tide, drift, noise, spikes
    (0.1 %) and gaps (short NaN runs and whole missing hours)."""
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
    for start in rng.integers(0, n - 60, max(1, 300 * n // N)):
        values[start : start + rng.integers(1, 60)] = np.nan
    index = pd.date_range("2023-01-01", periods=n, freq="min", name="STARTDATE")
    return pd.Series(values.astype(dtype), index=index, name="OBSVALUE")


def timed(fn, repeats):
    """Median wall time and median CPU time of this process (all its threads)
    over several runs."""
    walls, cpus = [], []
    for _ in range(repeats):
        wall, cpu = time.perf_counter(), time.process_time()
        fn()
        cpus.append(time.process_time() - cpu)
        walls.append(time.perf_counter() - wall)
    return statistics.median(walls), statistics.median(cpus)


# --- the exact peers -------------------------------------------------------------


def batcher_pairs(n):
    """Comparators of Batcher's odd-even merge sort for n inputs; the inputs
    are padded to a power of two with +inf, and the comparators that touch
    the padding (which never move it) are left out."""
    p2 = 1 << max(0, (n - 1).bit_length())
    pairs = []
    p = 1
    while p < p2:
        k = p
        while k >= 1:
            for j in range(k % p, p2 - k, 2 * k):
                for i in range(min(k, p2 - j - k)):
                    a, b = i + j, i + j + k
                    if a // (2 * p) == b // (2 * p) and b < n:
                        pairs.append((a, b))
            k //= 2
        p *= 2
    return np.array(pairs, dtype=np.int64).reshape(-1, 2)


try:
    import numba

    njit = numba.njit(cache=True)
except ImportError:  # the numba peers are skipped
    numba = None

    def njit(fn):
        return fn


@njit
def fill_filter(x, med, mad, factor, out):
    # fill the local values forward, then backward; replace strictly beyond
    n = x.shape[0]
    first = -1
    for i in range(n):
        if not np.isnan(med[i]):
            first = i
            break
    if first < 0:
        out[:] = x
        return
    m = med[first]
    s = mad[first]
    for i in range(n):
        if not np.isnan(med[i]):
            m = med[i]
            s = mad[i]
        if abs(np.float64(x[i]) - m) > factor * (s * SCALE):
            out[i] = m
        else:
            out[i] = x[i]

@njit
def network_median_mad(x, w, pairs, lanes, med, mad):
    n = x.shape[0]
    before = w // 2
    after = (w - 1) // 2
    h = w // 2
    buf = np.empty((w, lanes))
    dev = np.empty((w, lanes))
    bad = np.empty(lanes, dtype=np.bool_)
    med[:] = np.nan
    mad[:] = np.nan
    last = n - after
    for i0 in range(before, last, lanes):
        cnt = min(lanes, last - i0)
        bad[:cnt] = False
        for k in range(w):
            for j in range(cnt):
                v = np.float64(x[i0 + j - before + k])
                if not np.isfinite(v):
                    bad[j] = True
                    v = 0.0
                buf[k, j] = v
        for p in range(pairs.shape[0]):
            a = pairs[p, 0]
            b = pairs[p, 1]
            for j in range(cnt):
                u = buf[a, j]
                v = buf[b, j]
                buf[a, j] = min(u, v)
                buf[b, j] = max(u, v)
        for k in range(w):
            for j in range(cnt):
                m = buf[h, j] if w & 1 else (buf[h - 1, j] + buf[h, j]) / 2
                dev[k, j] = abs(buf[k, j] - m)
        for p in range(pairs.shape[0]):
            a = pairs[p, 0]
            b = pairs[p, 1]
            for j in range(cnt):
                u = dev[a, j]
                v = dev[b, j]
                dev[a, j] = min(u, v)
                dev[b, j] = max(u, v)
        for j in range(cnt):
            if not bad[j]:
                if w & 1:
                    med[i0 + j] = buf[h, j]
                    mad[i0 + j] = dev[h, j]
                else:
                    med[i0 + j] = (buf[h - 1, j] + buf[h, j]) / 2
                    mad[i0 + j] = (dev[h - 1, j] + dev[h, j]) / 2

@njit
def sorted_window_median_mad(x, w, med, mad):
    n = x.shape[0]
    before = w // 2
    after = (w - 1) // 2
    h = w // 2
    k = h + 1 if w & 1 else h
    s = np.empty(w + 1)
    size = 0
    med[:] = np.nan
    mad[:] = np.nan
    if n < w:
        return
    for j in range(w - 1):
        v = np.float64(x[j])
        if np.isfinite(v):
            p = size
            while p > 0 and s[p - 1] > v:
                s[p] = s[p - 1]
                p -= 1
            s[p] = v
            size += 1
    for i in range(before, n - after):
        v = np.float64(x[i + after])
        v_ok = np.isfinite(v)
        o = np.float64(x[i - before - 1]) if i > before else np.nan
        o_ok = np.isfinite(o)
        if v_ok and o_ok:
            p = np.searchsorted(s[:size], o)
            if v > o:
                while p + 1 < size and s[p + 1] < v:
                    s[p] = s[p + 1]
                    p += 1
            else:
                while p > 0 and s[p - 1] > v:
                    s[p] = s[p - 1]
                    p -= 1
            s[p] = v
        elif o_ok:
            p = np.searchsorted(s[:size], o)
            for q in range(p, size - 1):
                s[q] = s[q + 1]
            size -= 1
        elif v_ok:
            p = size
            while p > 0 and s[p - 1] > v:
                s[p] = s[p - 1]
                p -= 1
            s[p] = v
            size += 1
        if size < w:
            continue
        m = s[h] if w & 1 else (s[h - 1] + s[h]) / 2
        c = np.searchsorted(s[:w], m)  # values below the median
        nl = c
        nr = w - c
        lo = k - nr if k > nr else 0
        hi = min(nl, k)
        while lo < hi:  # how many of the k smallest deviations lie left
            mid = (lo + hi) // 2
            if m - s[c - 1 - mid] < s[c + k - mid - 1] - m:
                lo = mid + 1
            else:
                hi = mid
        left = lo
        right = k - lo
        if left == 0:
            kth = s[c + right - 1] - m
        elif right == 0:
            kth = m - s[c - left]
        else:
            kth = max(m - s[c - left], s[c + right - 1] - m)
        if w & 1:
            d = kth
        else:
            if left == nl:
                nxt = s[c + right] - m
            elif right == nr:
                nxt = m - s[c - 1 - left]
            else:
                nxt = min(m - s[c - 1 - left], s[c + right] - m)
            d = (kth + nxt) / 2
        med[i] = m
        mad[i] = d


def numba_hampel(kernel):
    def hampel(x, w, *args):
        med = np.empty(len(x))
        mad = np.empty(len(x))
        kernel(x, w, *args, med, mad)
        out = np.empty_like(x)
        fill_filter(x, med, mad, THRESHOLD, out)
        return out

    return hampel


def numba_peers():
    """The numba kernels (compiled on first use), or None without numba."""
    if numba is None:
        return None
    network = numba_hampel(network_median_mad)
    return {
        "network": lambda x, w: network(x, w, batcher_pairs(w), 256),
        "sorted window": numba_hampel(sorted_window_median_mad),
    }


def bottleneck_peers():
    try:
        import bottleneck as bn
    except ImportError:
        return None
    from numpy.lib.stride_tricks import sliding_window_view

    def centred_median(x, w):
        # move_median's windows end at each sample; shift them to be centred
        med = np.full(len(x), np.nan)
        if len(x) >= w:
            med[: len(x) - (w - 1) // 2] = bn.move_median(x, w)[w // 2 :]
        return med

    def median_mad(x, w, block=1 << 14):
        values = x.astype(np.float64)
        med = centred_median(values, w)
        mad = np.full(len(x), np.nan)
        windows = sliding_window_view(values, w)  # row r: the window of sample r + w // 2
        for r0 in range(0, len(windows), block):
            rows = windows[r0 : r0 + block]
            centre = med[r0 + w // 2 : r0 + w // 2 + len(rows), None]
            mad[r0 + w // 2 : r0 + w // 2 + len(rows)] = bn.median(np.abs(rows - centre), axis=1)
        # the pandas fills and a masked assignment, as a pandas user would
        local_median = pd.Series(med).ffill().bfill().to_numpy()
        local_scale = pd.Series(mad).ffill().bfill().to_numpy() * SCALE
        out = x.copy()
        mask = np.abs(values - local_median) > THRESHOLD * local_scale
        out[mask] = local_median[mask].astype(x.dtype)
        return out

    return {"move_median": lambda x, w: bn.move_median(x, w), "median + MAD": median_mad,
            "centred_median": centred_median}


# --- timing in turns -------------------------------------------------------------


def rounds(contenders, repeats):
    """Times each (name, fn) once per round, in turns. Returns {name: [seconds]}."""
    times = {name: [] for name, _ in contenders}
    for _ in range(repeats):
        for name, fn in contenders:
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
    return times


def ratio(times, peer, ours):
    return statistics.median(p / o for p, o in zip(times[peer], times[ours]))


def compare(series, w, peers, repeats, slow_peers=True):
    """Checks every peer against kelvane, times them in turns, prints the rows.
    Returns {peer: (median seconds, ratio to kelvane auto, ratio to one thread)}."""
    x = series.to_numpy()
    expected = refine.filter_with_fast_mad(series, w).to_numpy()
    contenders = [
        ("kelvane", lambda: refine.filter_with_fast_mad(series, w)),
        ("kelvane 1 thread", lambda: one_thread(series, w)),
    ]
    assert np.array_equal(one_thread(series, w).to_numpy(), expected, equal_nan=True)
    nb_peers, bn_peers = peers
    exact = []
    if nb_peers and w <= 64:
        exact.append(("numba network", lambda: nb_peers["network"](x, w)))
    if nb_peers:
        exact.append(("numba sorted window", lambda: nb_peers["sorted window"](x, w)))
    if bn_peers and slow_peers:
        exact.append(("bottleneck median + MAD", lambda: bn_peers["median + MAD"](x, w)))
    for name, fn in exact:
        got = fn()
        assert np.array_equal(got, expected, equal_nan=True), f"{name} differs from kelvane"
    contenders += exact
    if bn_peers:
        want = series.rolling(w, center=True).median().to_numpy()
        got = bn_peers["centred_median"](x.astype(np.float64), w)
        assert np.array_equal(got, want, equal_nan=True), "move_median differs from pandas"
        contenders.append(("bottleneck move_median only", lambda: bn_peers["move_median"](x, w)))
    times = rounds(contenders, repeats)
    result = {}
    for name, _ in contenders:
        med = statistics.median(times[name])
        if name.startswith("kelvane"):
            print(f"    {name:30s} {med * 1e3:9.2f} ms  {len(x) / med / 1e6:7.1f} M samples/s")
            continue
        r_auto, r_one = ratio(times, name, "kelvane"), ratio(times, name, "kelvane 1 thread")
        result[name] = (med, r_auto, r_one)
        print(f"    {name:30s} {med * 1e3:9.2f} ms  {r_auto:6.1f}x kelvane  {r_one:6.1f}x kelvane 1 thread")
    return result


def one_thread(series, w):
    refine._set_filter_kernel("automatic", "never")
    try:
        return refine.filter_with_fast_mad(series, w)
    finally:
        refine._set_filter_kernel("automatic", "automatic")


def targets(results):
    """The targets, from the ratios measured above."""
    print("\ntargets (ratio = peer time / kelvane time, median over rounds; auto / one thread):")
    for (label, dtype, w), res in results.items():
        if w == 15:
            for peer, goal in (("numba network", 2.0), ("bottleneck move_median only", 1.0)):
                if peer in res:
                    _, ra, r1 = res[peer]
                    ok = "met" if ra >= goal else "NOT met"
                    print(f"  {label:8s} {dtype:7s} w={w:<3d} vs {peer:28s} {ra:5.1f}x / {r1:5.1f}x "
                          f"(target > {goal:g}x: {ok})")
        else:
            exact = {k: v for k, v in res.items() if k != "bottleneck move_median only"}
            if exact:
                best = min(exact, key=lambda k: exact[k][0])
                _, ra, r1 = exact[best]
                ok = "met" if ra >= 1.5 else "NOT met"
                print(f"  {label:8s} {dtype:7s} w={w:<3d} vs best exact peer ({best}) {ra:5.1f}x / {r1:5.1f}x "
                      f"(target >= 1.5x: {ok})")


# --- the older comparison: pandas reference and PyPI filters ------------------------


def pypi_peers():
    """(name, function of a float32 Series, note) for each installed PyPI peer."""
    found = []
    try:
        import hampel

        found.append(("hampel (Cython)",
                      lambda s: hampel.hampel(s.to_numpy(dtype="float32"), WINDOW, THRESHOLD),
                      "filter, window 15"))
    except ImportError:
        print("hampel not installed: skipped")
    try:
        from tsod import HampelDetector

        detector = HampelDetector(window_size=WINDOW // 2, threshold=THRESHOLD)
        found.append(("tsod (numba)", lambda s: detector.detect(s.to_frame()), "detection only, window 14"))
    except ImportError:
        print("tsod not installed: skipped")
    try:
        from hampel_filter import hampel as hf

        found.append(("hampel-filter (numba)",
                      lambda s: hf(s.to_numpy(dtype="float64"), WINDOW // 2, THRESHOLD),
                      "detection only, window 14"))
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


def others(series, args):
    from reference import refine_reference as ref

    check = series if args.full_reference else series.iloc[: args.slice]
    pd.testing.assert_series_equal(
        refine.filter_with_fast_mad(check), ref.filter_with_fast_mad(check), check_exact=True
    )
    native_wall, native_cpu = timed(lambda: refine.filter_with_fast_mad(series), args.repeats)
    rows = []
    wall, cpu, how = measure_slow(
        ref.filter_with_fast_mad, series, 1 if args.full_reference else 3,
        len(series) if args.full_reference else args.slice,
        budget=float("inf") if args.full_reference else 10.0,
    )
    rows.append(("pandas reference (rolling apply)", wall, cpu, how or "measured"))
    for name, fn, note in pypi_peers():
        wall, cpu, how = measure_slow(fn, series, max(3, args.repeats // 2), args.slice)
        rows.append((name, wall, cpu, f"{note}; {how}" if how else note))
    print(f"\nkelvane {native_wall * 1e3:.2f} ms wall, {native_cpu * 1e3:.2f} ms CPU (float32, window 15)")
    print(f"{'implementation':34s} {'wall':>10s} {'cpu':>10s} {'x kelvane (CPU)':>16s}  note")
    for name, wall, cpu, note in rows:
        print(f"{name:34s} {wall * 1e3:8.1f}ms {cpu * 1e3:8.1f}ms {cpu / native_cpu:16.1f}  {note}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=7, help="rounds on the year of minutes")
    parser.add_argument("--long", type=int, default=10_000_000, help="length of the long series (0: none)")
    parser.add_argument("--long-repeats", type=int, default=3)
    parser.add_argument("--others", action="store_true",
                        help="also the pandas reference and the Hampel filters on PyPI")
    parser.add_argument("--slice", type=int, default=20_000,
                        help="samples used to time a baseline that would take minutes")
    parser.add_argument("--full-reference", action="store_true")
    args = parser.parse_args()

    nb_peers = numba_peers()
    if nb_peers is None:
        print("numba not installed: its kernels are skipped")
    bn_peers = bottleneck_peers()
    if bn_peers is None:
        print("bottleneck not installed: its peers are skipped")
    peers = (nb_peers, bn_peers)
    if nb_peers:  # compile before timing
        small = make_series(3000)
        for dtype in ("float32", "float64"):
            x = small.astype(dtype).to_numpy()
            nb_peers["network"](x, 15)
            nb_peers["sorted window"](x, 15)

    results = {}
    sizes = [("year", N, args.repeats)]
    if args.long:
        sizes.append(("long", args.long, args.long_repeats))
    for label, n, repeats in sizes:
        base = make_series(n)
        print(f"\n{label}: {n:,} minute samples, {int(base.isna().sum()):,} missing, threshold {THRESHOLD}; "
              f"medians of {repeats} rounds")
        for dtype in ("float32", "float64"):
            series = base.astype(dtype)
            for w in WINDOWS:
                print(f"  {dtype}, window {w}")
                # bottleneck's median + MAD takes seconds per million samples and
                # window 301: timed on the year only (it is never the best peer)
                results[(label, dtype, w)] = compare(series, w, peers, repeats, slow_peers=label == "year")
    targets(results)
    if args.others:
        others(make_series(), args)


if __name__ == "__main__":
    main()
