"""Plain-pandas completeness of a time-series table: every day of every
series laid out as its grid of slots, a slot present when a sample with a
value falls in it, runs of missing slots measured along the grid."""

import numpy as np
import pandas as pd

DAY = 86400
RATE_SECONDS = {1: 60, 2: 1, 60: 3600, 90: 86400}
KEYS = ["STATIONID", "POINTID", "ITEMID"]


def day_intervals(g):
    """{day: interval in seconds} of the days a series has samples on."""
    shown, hinted = {}, {}
    for day, rows in g.groupby(g.index.normalize()):
        times = rows.index.unique().sort_values()
        if len(times) >= 2:
            shown[day] = max(1, int(times.to_series().diff().min().total_seconds()))
        elif "SAMPLERATE" in rows and pd.notna(pd.to_numeric(rows["SAMPLERATE"].iloc[0], errors="coerce")):
            hinted[day] = RATE_SECONDS.get(int(float(rows["SAMPLERATE"].iloc[0])), 0)
        else:
            hinted[day] = 0
    out = dict(shown)
    for day, hint in hinted.items():
        if hint:
            out[day] = hint
            continue
        before = [d for d in shown if d < day]
        after = [d for d in shown if d > day]
        if before and (not after or day - max(before) <= min(after) - day):
            out[day] = shown[max(before)]
        elif after:
            out[day] = shown[min(after)]
        else:
            out[day] = DAY
    return out


def completeness_reference(df, freq="D", days=None):
    """The completeness table of `df` over the days it spans (or the given
    DatetimeIndex of days)."""
    if days is None:
        days = pd.date_range(df.index.min().normalize(), df.index.max().normalize(), freq="D")
    period_of = pd.Series(np.arange(len(days)), index=days).resample(freq).min()
    labels = period_of.index
    code = np.searchsorted(period_of.to_numpy(), np.arange(len(days)), side="right") - 1
    rows = []
    for key, g in df.groupby(KEYS, sort=True):
        g = g.sort_index(kind="stable")
        intervals = day_intervals(g)
        recorded = sorted(intervals)
        valid = g[g["OBSVALUE"].notna()]
        per_period = {}
        carried = intervals[recorded[0]]
        for k, day in enumerate(days):
            if day in intervals:
                carried = intervals[day]
            dt = carried
            slots = max(1, DAY // dt)
            offsets = ((valid.index[valid.index.normalize() == day] - day).total_seconds() // dt).astype(int)
            present = np.zeros(slots, dtype=bool)
            present[np.minimum(offsets, slots - 1)] = True
            per_period.setdefault(code[k], []).append((dt, present))
        for c, label in enumerate(labels):
            expected = got = longest = run = 0
            for dt, present in per_period.get(c, []):
                expected += len(present)
                got += int(present.sum())
                for p in present:
                    run = 0 if p else run + dt
                    longest = max(longest, run)
            rows.append((*key, label, expected, got, got / expected, longest))
    return pd.DataFrame(rows, columns=KEYS + ["period", "expected", "present", "completeness",
                                              "longest_gap_seconds"])
