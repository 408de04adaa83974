"""End-to-end fetch against the plain-pandas pipeline (read_sql plus the
reference split), on sample databases built with a fixed seed.

Two requests: a month of minute values for 20 station points, and three days
of second values. For each, the median wall time of several runs of both
pipelines in this process, their ratio, and the peak memory each needs above
the memory in use before the call (measured in a fresh child process per
pipeline, from the kernel's peak resident-set counter).

    python bench/bench_fetch.py            # the full sizes
    python bench/bench_fetch.py --quick    # smaller, for a quick look
"""

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import pandas as pd  # noqa: E402

from kelvane import fetching, sandbox  # noqa: E402
from reference.fetch_reference import reference_fetch  # noqa: E402
from reference.split_reference import split_lines as reference_split  # noqa: E402

CACHE = Path(os.environ.get("KELVANE_BENCH_DIR", "/tmp/kelvane-bench"))


def build(name, **kwargs):
    CACHE.mkdir(parents=True, exist_ok=True)
    path = CACHE / f"{name}.sqlite"
    stamp = CACHE / f"{name}.json"
    if not (path.exists() and stamp.exists() and json.loads(stamp.read_text()) == kwargs):
        if path.exists():
            path.unlink()
        sandbox.build(str(path), **kwargs)
        stamp.write_text(json.dumps(kwargs))
    return path


def cases(quick):
    """(label, database arguments, request) for each benchmarked request."""
    minute_days = 10 if quick else 30
    second_days = 1 if quick else 3
    end = "20240331"
    minute_db = dict(start="20240101", end=end, seed=7, extra_stations=20, minute_days=minute_days,
                     second_days=0, raw_days=0, libraries=["DYU"], rates=["01"])
    second_db = dict(start="20240101", end=end, seed=7, extra_stations=0, minute_days=0,
                     second_days=second_days, raw_days=0, libraries=["DYU"], rates=["02"])
    minute_req = dict(method_name="水位", station_name="全部", data_type="分钟值", base_type="预处理库")
    second_req = dict(method_name="全部", station_name="全部", data_type="秒钟值", base_type="预处理库")
    return [
        (f"minute values, {minute_days} days", minute_db, minute_req),
        (f"second values, {second_days} days", second_db, second_req),
    ]


def data_statement(conn, request, start, end):
    mf = fetching.MetadataFetcher
    config = fetching.SampleRateType.get_config(request["data_type"])
    names = mf.get_table_names(conn, mf.get_method_ids(conn, request["method_name"]),
                               fetching.DatabaseType.get_id(request["base_type"]), config["id"])
    stations = None if request["station_name"] == "全部" else mf.get_station_ids(conn, request["station_name"])
    return fetching.QueryBuilder.build_data_query(names, start, end, stations), config["rate"]


def runners(conn, request, start, end, gzip_flag):
    sql, rate = data_statement(conn, request, start, end)

    def native():
        return fetching.DataFetcher.fetch_data(conn, start, end, gzip_flag=gzip_flag, **request)

    def baseline():
        return reference_fetch(conn, sql, rate, reference_split, gzip_flag=gzip_flag)

    return {"native": native, "baseline": baseline}


def window(conn, days):
    last = pd.read_sql("SELECT MAX(STARTDATE) AS D FROM (" + data_probe(conn) + ")", con=conn)["D"].iloc[0]
    last = pd.Timestamp(last)
    return (last - pd.Timedelta(days=days - 1)).strftime("%Y%m%d"), last.strftime("%Y%m%d")


def data_probe(conn):
    names = pd.read_sql("SELECT TABLE_NAME FROM ALL_TABLES WHERE TABLE_NAME LIKE '%DYU%'", con=conn)
    names = [n for n in names["TABLE_NAME"] if "_DEV_" not in n and "DLG" not in n]
    return " UNION ALL ".join(f"SELECT STARTDATE FROM QZDATA.{n}" for n in names)


def peak_child(db_path, request, days, which, gzip_flag):
    """Runs one pipeline once in a fresh process; returns its peak memory above
    the resident memory just before the call, in bytes."""
    conn = sandbox.connect(str(db_path), alias="bench")
    start, end = window(conn, days)
    run = runners(conn, request, start, end, gzip_flag)[which]
    gc.collect()
    Path("/proc/self/clear_refs").write_text("5")  # restart the peak counter
    before = rss("VmRSS")
    result = run()
    peak = rss("VmHWM")
    del result
    return peak - before


def rss(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.child:
        spec = json.loads(args.child)
        print(peak_child(Path(spec["db"]), spec["request"], spec["days"], spec["which"], spec["gzip"]))
        return

    for label, db_args, request in cases(args.quick):
        days = db_args["minute_days"] or db_args["second_days"]
        path = build(label.split(",")[0].replace(" ", "_"), **db_args)
        conn = sandbox.connect(str(path), alias="bench")
        start, end = window(conn, days)
        fns = runners(conn, request, start, end, gzip_flag=True)
        mine, theirs = fns["native"](), fns["baseline"]()
        pd.testing.assert_frame_equal(mine, theirs)  # the same table, or the timing means nothing
        samples, points = len(mine), mine.groupby(["STATIONID", "POINTID"]).ngroups
        del mine, theirs
        times = {}
        for which in ("native", "baseline"):
            runs = []
            for _ in range(args.runs):
                gc.collect()
                t0 = time.perf_counter()
                fns[which]()
                runs.append(time.perf_counter() - t0)
            times[which] = statistics.median(runs)
        conn.close()
        peaks = {}
        for which in ("native", "baseline"):
            spec = json.dumps(dict(db=str(path), request=request, days=days, which=which, gzip=True))
            out = subprocess.run([sys.executable, __file__, "--child", spec], check=True, capture_output=True,
                                 text=True, env=os.environ)
            peaks[which] = int(out.stdout.strip().splitlines()[-1])
        print(f"{label}: {samples} samples, {points} station points, {start}..{end}")
        print(f"  time   native {times['native']:.3f} s   baseline {times['baseline']:.3f} s   "
              f"speed-up {times['baseline'] / times['native']:.1f}x (target >= 5x)")
        print(f"  peak   native {peaks['native'] / 2**20:.0f} MiB   baseline {peaks['baseline'] / 2**20:.0f} MiB   "
              f"ratio {peaks['native'] / peaks['baseline']:.2f} (target <= 0.5)")


if __name__ == "__main__":
    main()
