"""VELD export speed: a month of minute values for 20 station points.

Writes the same table as VELD Parquet (export_veld), VELD Feather
(export_to_feather) and with plain DataFrame.to_parquet, several times each,
and prints the median time, rows per second, file size and the ratio of each
VELD writer to to_parquet. The VELD Parquet path should stay within 1.2x of
to_parquet.

    PYTHONPATH=src python bench/bench_export.py [--runs N]
"""

import argparse
import logging
import os
import statistics
import tempfile
import time

import numpy as np
import pandas as pd

from kelvane import export

LIMIT = 1.2


def month_of_minutes(points=20, days=31, seed=20200101):
    """A split time-series table: one row per point and minute, float32 values
    with a few missing samples, indexed by STARTDATE."""
    rng = np.random.default_rng(seed)
    per_point = days * 1440
    times = pd.date_range("2020-01-01", periods=per_point, freq="min")
    stations = [f"{37000 + k // 2:05d}" for k in range(points)]
    pointids = [str(1 + k % 2) for k in range(points)]
    items = ["4112" if k % 3 else "3211" for k in range(points)]
    walk = rng.normal(0, 0.01, size=(points, per_point)).cumsum(axis=1)
    values = (walk + rng.uniform(5, 50, size=(points, 1))).astype("float32")
    values[rng.random(values.shape) < 0.002] = np.nan
    frame = pd.DataFrame(
        {
            "STATIONID": np.repeat(stations, per_point),
            "POINTID": np.repeat(pointids, per_point),
            "ITEMID": np.repeat(items, per_point),
            "SAMPLERATE": np.int64(60),
            "OBSVALUE": values.ravel(),
        },
        index=pd.DatetimeIndex(np.tile(times.to_numpy(), points), name="STARTDATE"),
    )
    return frame


def metadata():
    return {
        "station_info": [{"STATIONID": f"{37000 + k}", "STATIONNAME": "郯城"} for k in range(10)],
        "item_info": [{"ITEMID": "4112", "ITEMNAME": "静水位", "UNIT": "m"}],
        "sampling_rate": 60,
        "export_time": "2020-02-01T00:00:00",
    }


def timed_once(write, path):
    if os.path.exists(path):
        os.remove(path)
    start = time.perf_counter()
    write(path)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    # the writers' one info line per file would only clutter the table below
    export.logger.setLevel(logging.WARNING)
    df = month_of_minutes()
    meta = metadata()
    rows = len(df)
    print(f"table: {rows:,} rows, {df.shape[1]} columns + STARTDATE index; median of {args.runs} runs")

    with tempfile.TemporaryDirectory() as folder:
        cases = [
            ("DataFrame.to_parquet", lambda p: df.to_parquet(p)),
            ("export_veld (Parquet)", lambda p: export.export_veld(df, p, meta)),
            ("export_to_feather", lambda p: export.export_to_feather(df, p, meta)),
        ]
        # warm up the libraries once so the first case is not charged for it
        export.to_veld(df.head(10), meta)
        df.head(10).to_parquet(os.path.join(folder, "warm.parquet"))
        paths = {name: os.path.join(folder, name.split()[0] + ".out") for name, _ in cases}
        times = {name: [] for name, _ in cases}
        for _ in range(args.runs):  # interleaved, so drift hits every writer alike
            for name, write in cases:
                times[name].append(timed_once(write, paths[name]))
        results = {
            name: (statistics.median(times[name]), os.path.getsize(paths[name])) for name, _ in cases
        }

    base_time = results["DataFrame.to_parquet"][0]
    print(f"{'writer':24} {'median s':>9} {'rows/s':>12} {'size MB':>9} {'ratio':>7}")
    for name, (seconds, size) in results.items():
        print(f"{name:24} {seconds:9.3f} {rows / seconds:12,.0f} {size / 1e6:9.2f} {seconds / base_time:7.2f}")
    ratio = results["export_veld (Parquet)"][0] / base_time
    verdict = "within" if ratio <= LIMIT else "OVER"
    print(f"export_veld / to_parquet = {ratio:.2f} ({verdict} the {LIMIT}x limit)")


if __name__ == "__main__":
    main()
