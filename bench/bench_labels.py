"""Earthquake label placement: kelvane's own against adjustText.

The same figures (one item at two station points, a month of hourly values,
10 or 20 earthquakes a month around each station) are drawn through
TSPlotter twice: once as kelvane places the labels, once with the labels
handed to adjustText.adjust_text instead, just before the figure is saved.
Prints the seconds per figure (median of the runs), the seconds adjust_text
itself takes, and the faults found in what was drawn, measured in display
coordinates (a label over another label or over a marker, outside its
subplot, or beside another event's marker rather than its own).

    python bench/bench_labels.py [--runs 3]
"""

import argparse
import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import matplotlib  # noqa: E402

matplotlib.use("Agg")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import drawn  # noqa: E402  (the tests' measures of a drawn figure)
from kelvane import KAT, fetching  # noqa: E402
from kelvane.tsdraw import TSPlotter  # noqa: E402

STATIONS = pd.DataFrame({"STATIONID": ["37001", "37002"], "STATIONNAME": ["泰安", "郯城"],
                         "LONGITUDE": [117.1, 118.3], "LATITUDE": [36.2, 34.6]})
ITEMS = pd.DataFrame({"ITEMID": ["4112"], "ITEMNAME": ["水位"], "UNIT": ["m"]})
MONTH = pd.date_range("2020-01-01", periods=30 * 24, freq="h", name="STARTDATE")


def series():
    rng = np.random.default_rng(1)
    parts = [pd.DataFrame({"STATIONID": s, "POINTID": "1", "ITEMID": "4112", "SAMPLERATE": "60",
                           "OBSVALUE": (100 + np.cumsum(rng.normal(size=len(MONTH))))
                           .astype("float32")}, index=MONTH)
             for s in ("37001", "37002")]
    return pd.concat(parts)


def catalogue(count, seed):
    """`count` earthquakes during MONTH within about 100 km of each station."""
    rng = np.random.default_rng(seed)
    parts = []
    for _, station in STATIONS.iterrows():
        times = MONTH[0] + pd.to_timedelta(np.sort(rng.uniform(0, 29.9, count)), unit="D")
        parts.append(pd.DataFrame(
            {"lon": (station["LONGITUDE"] + rng.uniform(-0.9, 0.9, count)).round(2),
             "lat": (station["LATITUDE"] + rng.uniform(-0.7, 0.7, count)).round(2),
             "magnitude": rng.uniform(3.0, 5.8, count).round(1), "name": ["山东泰安"] * count},
            index=pd.DatetimeIndex(times, name="ind")))
    return pd.concat(parts).sort_index()


class AdjustTextPlacement:
    """Replaces kelvane's labels by labels placed with adjust_text, before saving."""

    def __init__(self, save):
        from adjustText import adjust_text

        self.adjust_text = adjust_text
        self.save = save
        self.seconds = []

    def __call__(self, plotter, fig, filename, format="png", dpi=300):
        spent = 0.0
        for ax, overlay in drawn.subplots(fig):
            if overlay is None:
                continue
            (points,) = overlay.collections
            xy = np.asarray(points.get_offsets())
            labels = []
            for old in drawn.labels(overlay):
                new = overlay.annotate(old.get_text(), old.xy, xytext=old.xy, textcoords="data",
                                       color="red", fontsize=8)
                new.earthquake_magnitude = old.earthquake_magnitude
                labels.append(new)
                old.remove()
            t0 = time.perf_counter()
            self.adjust_text(labels, x=xy[:, 0], y=xy[:, 1], ax=overlay,
                             arrowprops=dict(arrowstyle="-", color="red", lw=0.5))
            spent += time.perf_counter() - t0
        self.seconds.append(spent)
        return self.save(plotter, fig, filename, format, dpi)


KINDS = {"covers a marker": "over a marker", "overlaps the key": "over the key",
         "overlaps '": "over a label", "leaves the subplot": "outside",
         "nearer another marker": "beside another marker", "crosses": "line across"}


def fault_kinds(faults):
    counts = {}
    for fault in faults:
        kind = next((v for k, v in KINDS.items() if k in fault), "other")
        counts[kind] = counts.get(kind, 0) + 1
    return counts


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    os.chdir(tempfile.mkdtemp(prefix="bench-labels-"))
    fetching.timeseries_info = lambda *a, **k: (STATIONS.copy(), None, ITEMS.copy())
    plotter = TSPlotter()
    ts = series()
    own_save = TSPlotter._save_figure
    print(f"one figure of 2 subplots, {len(MONTH)} hourly values each, 300 dpi; "
          f"median of {args.runs} runs")
    for count in (10, 20):
        table = catalogue(count, seed=count)
        KAT.read_KAT = lambda *a, **k: table.copy()
        results = {}
        for name in ("kelvane", "adjustText"):
            adjust = AdjustTextPlacement(own_save) if name == "adjustText" else None
            if adjust:
                TSPlotter._save_figure = lambda self, fig, filename, format="png", dpi=300: \
                    adjust(self, fig, filename, format, dpi)
            times, faults, shown = [], [], []
            try:
                for _ in range(args.runs):
                    t0 = time.perf_counter()
                    fig, _axes = plotter.plot(ts, kat_dir="generated", kat_filters=[(110, 0.0)],
                                              show_mean=True, show_std=True)
                    times.append(time.perf_counter() - t0)
                    faults.append(fault_kinds(drawn.label_faults(fig)))
                    shown.append(sum(t.get_visible() and bool(t.get_text())
                                     for _ax, ov in drawn.subplots(fig) if ov is not None
                                     for t in drawn.labels(ov)))
            finally:
                TSPlotter._save_figure = own_save
            events = sum(len(drawn.labels(ov)) for _ax, ov in drawn.subplots(fig) if ov)
            results[name] = statistics.median(times)
            extra = (f", adjust_text itself {statistics.median(adjust.seconds):.2f} s"
                     if adjust else "")
            print(f"  {events:3d} events (about {count} a subplot) {name:10s} "
                  f"{statistics.median(times):.2f} s/figure{extra}; labels shown {shown[-1]}, "
                  f"rule faults {faults[-1] or 'none'}")
        print(f"  ratio adjustText/kelvane: {results['adjustText'] / results['kelvane']:.2f} (time)")


if __name__ == "__main__":
    main()
