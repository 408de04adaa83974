"""Plotting benchmark: seconds per figure and memory over many figures.

Two layouts, each drawn N times (default 50) from the sample database:
  * plot_by_items: one item at 7 station points, 31 days of minute values
    (one figure of 7 subplots per call);
  * plot_by_stations: 3 items of one station point, 31 days of minute values
    (one figure of 3 subplots per call).
Every subplot carries the earthquakes of a generated catalogue near its
station (a second axis of epicentral distance, one label per event). Each is
compared with a baseline that draws the same figure with plain
pandas/matplotlib calls (subplots, line, title, unit label, ticks, mean and
±2σ lines, earthquake markers and labels beside them, savefig at 300 dpi,
close). Every run happens in its own
interpreter so that peak memory (ru_maxrss) belongs to that run alone.

    python bench/bench_plot.py [--figures 50] [--quick]
"""

import argparse
import datetime as dt
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

DAYS = 31
QUAKE_FILTERS = [(300, 3.0)]


def rss_mb():
    with open("/proc/self/statm") as fh:
        pages = int(fh.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") / 2**20


def build_sample(folder):
    from kelvane import sandbox

    end = dt.date.today()
    start = end - dt.timedelta(days=DAYS - 1)
    path = sandbox.build(os.path.join(folder, "bench.sqlite"), start=start.strftime("%Y%m%d"),
                         end=end.strftime("%Y%m%d"), seed=11, extra_stations=6,
                         minute_days=DAYS, second_days=0, raw_days=0, libraries=("DYU",),
                         rates=("01",))
    sandbox.write_catalogue(os.path.join(folder, "bench_kat.txt"), start=start.strftime("%Y%m%d"),
                            end=end.strftime("%Y%m%d"), seed=11, count=150, extra_stations=6)
    return path, start.strftime("%Y%m%d"), end.strftime("%Y%m%d")


def catalogue_path(db):
    return os.path.join(os.path.dirname(db), "bench_kat.txt")


def nearby_events(kat, stations, station, first, last):
    """The earthquakes a subplot of the station shows (as the plotter selects them)."""
    from kelvane import KAT

    row = stations[stations["STATIONID"] == station].iloc[0]
    events = kat[(kat.index >= first) & (kat.index <= last)]
    if events.empty:
        return events
    marked = KAT.filtered_kats(events, station=(row["LATITUDE"], row["LONGITUDE"]),
                               filters=QUAKE_FILTERS)
    return marked[marked["flag"] == 1]


def load_series(db, start, end, layout):
    """The table a layout draws, fetched through the library."""
    import logging

    import pandas as pd

    from kelvane import fetching, sandbox

    logging.getLogger().setLevel(logging.WARNING)
    conn = sandbox.connect(db)
    if layout == "items":
        ts = fetching.fetching_data(conn, start, end, "静水位", "全部", "分钟值", "预处理库")
        ts = ts[ts["ITEMID"] == "4112"]
        keep = ts[["STATIONID", "POINTID"]].drop_duplicates().iloc[:7]
        pairs = pd.MultiIndex.from_frame(ts[["STATIONID", "POINTID"]])
        ts = ts[pairs.isin(pd.MultiIndex.from_frame(keep))]
        assert len(keep) == 7, f"expected 7 station points, got {len(keep)}"
    else:
        ts = fetching.fetching_data(conn, start, end, "磁通门磁力仪", "全部", "分钟值", "预处理库")
        first = ts[["STATIONID", "POINTID"]].drop_duplicates().iloc[0]
        ts = ts[(ts["STATIONID"] == first["STATIONID"]) & (ts["POINTID"] == first["POINTID"])]
        items = sorted(ts["ITEMID"].unique())[:3]
        ts = ts[ts["ITEMID"].isin(items)]
        assert len(items) == 3, f"expected 3 items, got {items}"
    return conn, ts


def baseline_figure(ts, keys, key_columns, stations, items, name, quakes):
    """The same figure drawn with plain pandas and matplotlib calls."""
    import matplotlib.pyplot as plt
    import numpy as np

    grouped = ts.groupby(key_columns)
    fig, ax = plt.subplots(nrows=len(keys), ncols=1, figsize=(10, 1.5 * len(keys)), sharex=True)
    plt.subplots_adjust(hspace=0.5)
    ax = np.atleast_1d(ax)
    for i, key in enumerate(keys):
        s = grouped.get_group(key)["OBSVALUE"]
        base = (s.max() + s.min()) / 2
        s = s - base
        s.plot(ax=ax[i], x_compat=True)
        station = key[key_columns.index("STATIONID")]
        item = key[key_columns.index("ITEMID")]
        srow = stations[stations["STATIONID"] == station].iloc[0]
        irow = items[items["ITEMID"] == item].iloc[0]
        ax[i].set_title(f"{srow.iloc[1]}/{key[key_columns.index('POINTID')]}/{irow.iloc[1]}"
                        f"/base={round(base, 1)}", fontsize=11)
        ax[i].set_ylabel(str(irow.iloc[2]))
        ax[i].set_yticks([s.min(), 0, s.max()])
        mean, std = s.mean(), s.std()
        ax[i].axhline(mean, color="r", linestyle="--", alpha=0.7)
        ax[i].axhline(mean + 2 * std, color="gray", linestyle=":", alpha=0.5)
        ax[i].axhline(mean - 2 * std, color="gray", linestyle=":", alpha=0.5)
        ax[i].set_xlabel("")
        events = quakes[key]
        if not events.empty:
            twin = ax[i].twinx()
            twin.scatter(events.index, events["distance"], color="red", alpha=0.7,
                         s=events["size"], label="地震")
            twin.set_ylabel("震中距(km)")
            twin.set_ylim(max(0, events["distance"].min() - 50), events["distance"].max() + 50)
            for when, row in events.iterrows():
                twin.annotate(row["text"], (when, row["distance"]), xytext=(5, 5),
                              textcoords="offset points", color="red", fontsize=8)
    os.makedirs("figures", exist_ok=True)
    fig.savefig(f"./figures/{name}.png", dpi=300, bbox_inches="tight")
    plt.close(fig)


def worker(db, start, end, layout, which, figures):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from kelvane.tsdraw import TSPlotter

    os.chdir(tempfile.mkdtemp(prefix="bench-plot-"))
    conn, ts = load_series(db, start, end, layout)
    plotter = TSPlotter(conn, metadata_dir=os.path.join(os.getcwd(), "meta"))
    if layout == "items":
        key_columns = ["ITEMID", "STATIONID", "POINTID"]
        keys = list(ts[key_columns].drop_duplicates().itertuples(index=False, name=None))
    else:
        key_columns = ["STATIONID", "POINTID", "ITEMID"]
        keys = sorted(ts[key_columns].drop_duplicates().itertuples(index=False, name=None))
    from kelvane import KAT

    kat = KAT.read_KAT(catalogue_path(db))
    grouped = ts.groupby(key_columns)
    quakes = {}
    for key in keys:
        times = grouped.get_group(key).index
        quakes[key] = nearby_events(kat, plotter.stations_table,
                                    key[key_columns.index("STATIONID")], times.min(), times.max())
    rss_start = rss_mb()
    times, rss = [], []
    for n in range(figures):
        t0 = time.perf_counter()
        if which == "ours":
            kwargs = dict(show_mean=True, show_std=True, fig_label=f"_{n}",
                          kat_dir=catalogue_path(db), kat_filters=QUAKE_FILTERS)
            if layout == "items":
                plotter.plot_by_items(ts, **kwargs)
            else:
                plotter.plot_by_stations(ts, **kwargs)
        else:
            baseline_figure(ts, keys, key_columns, plotter.stations_table, plotter.items_table,
                            f"base_{n}", quakes)
        times.append(time.perf_counter() - t0)
        rss.append(rss_mb())
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({
        "events": sum(len(q) for q in quakes.values()),
        "median_s": statistics.median(times), "mean_s": statistics.fmean(times),
        "rows": len(ts), "subplots": len(keys), "rss_start_mb": rss_start,
        "rss_after_first_mb": rss[0], "rss_end_mb": rss[-1], "peak_mb": peak,
        "open_figures": len(plt.get_fignums()), "files": len(os.listdir("figures")),
    }))


def run_worker(args, layout, which):
    out = subprocess.run([sys.executable, __file__, "--worker", layout, which, "--db", args.db,
                          "--start", args.start, "--end", args.end,
                          "--figures", str(args.figures)],
                         capture_output=True, text=True, check=False)
    if out.returncode != 0:
        sys.exit(f"{layout}/{which} failed:\n{out.stderr[-3000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--figures", type=int, default=50)
    ap.add_argument("--quick", action="store_true", help="5 figures per run")
    ap.add_argument("--worker", nargs=2)
    ap.add_argument("--db")
    ap.add_argument("--start")
    ap.add_argument("--end")
    args = ap.parse_args()
    if args.quick:
        args.figures = 5
    if args.worker:
        worker(args.db, args.start, args.end, args.worker[0], args.worker[1], args.figures)
        return
    with tempfile.TemporaryDirectory() as folder:
        args.db, args.start, args.end = build_sample(folder)
        print(f"{args.figures} figures per run, 300 dpi, {DAYS} days of minute values")
        for layout, label in (("items", "plot_by_items (7 station points)"),
                              ("stations", "plot_by_stations (3 items of one point)")):
            ours = run_worker(args, layout, "ours")
            base = run_worker(args, layout, "baseline")
            print(f"\n{label}: {ours['rows']} rows, {ours['subplots']} subplots per figure, "
                  f"{ours['events']} earthquakes per figure")
            for name, r in (("kelvane", ours), ("baseline", base)):
                print(f"  {name:9s} {r['median_s']:.3f} s/figure (median; mean {r['mean_s']:.3f}),"
                      f" peak RSS {r['peak_mb']:.0f} MB, RSS after figure 1 "
                      f"{r['rss_after_first_mb']:.0f} MB -> after figure {args.figures} "
                      f"{r['rss_end_mb']:.0f} MB, open figures {r['open_figures']}, "
                      f"files {r['files']}")
            print(f"  ratio kelvane/baseline: {ours['median_s'] / base['median_s']:.2f} (time), "
                  f"{ours['peak_mb'] / base['peak_mb']:.2f} (peak memory)")


if __name__ == "__main__":
    main()
