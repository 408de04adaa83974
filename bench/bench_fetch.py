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
from reference.split_reference import split_lines_reference  # noqa: E402

CACHE = Path(os.environ.get("KELVANE_BENCH_DIR", "/tmp/kelvane-bench"))


def build(name, **kwargs):
    CACHE.mkdir(parents=True, exist_ok=True)
    path = CACHE / f"{name}.sqlite"
    stamp = CACHE / f"{name}.json"
    # rebuilt when the arguments or the generator itself changed
    generator = Path(sandbox.__file__).stat()
    key = dict(kwargs, _generator=[generator.st_size, generator.st_mtime_ns])
    if not (path.exists() and stamp.exists() and json.loads(stamp.read_text()) == key):
        if path.exists():
            path.unlink()
        sandbox.build(str(path), **kwargs)
        stamp.write_text(json.dumps(key))
    return path


def cases(quick):
    """(label, database arguments, request, first day, last day) per request."""
    minute_days = 10 if quick else 31
    second_days = 1 if quick else 3
    end = pd.Timestamp("20260331")
    first = lambda days: (end - pd.Timedelta(days=days - 1)).strftime("%Y%m%d")  # noqa: E731
    common = dict(start="20260101", end=end.strftime("%Y%m%d"), seed=7, stations=[], raw_days=0)
    minute_db = dict(common, extra_stations=20, minute_days=minute_days, second_days=0,
                     libraries=["DYU"], rates=["01"])
    second_db = dict(common, extra_stations=5, minute_days=0, second_days=second_days,
                     libraries=["DYS"], rates=["02"])
    return [
        (f"minute values, 20 station points, {minute_days} days (preprocessed, text)", "minutes", minute_db,
         dict(method_name="静水位", station_name="全部", data_type="分钟值", base_type="预处理库"),
         first(minute_days), end.strftime("%Y%m%d")),
        (f"second values, 5 station points, {second_days} days (raw, gzip)", "seconds", second_db,
         dict(method_name="静水位", station_name="全部", data_type="秒钟值", base_type="原始库"),
         first(second_days), end.strftime("%Y%m%d")),
    ]


def data_statement(conn, request, start, end):
    mf = fetching.MetadataFetcher
    config = fetching.SampleRateType.get_config(request["data_type"])
    names = mf.get_table_names(conn, mf.get_method_ids(conn, request["method_name"]),
                               fetching.DatabaseType.get_id(request["base_type"]), config["id"])
    stations = None if request["station_name"] == "全部" else mf.get_station_ids(conn, request["station_name"])
    return fetching.QueryBuilder.build_data_query(names, start, end, stations), config["rate"]


def runners(conn, request, start, end):
    """The library's fetch end to end, and the plain-pandas pipeline on the
    statement the same request produces (its lookups are not timed)."""
    gzip_flag = request["base_type"] == "原始库"
    sql, rate = data_statement(conn, request, start, end)

    def native():
        return fetching.DataFetcher.fetch_data(conn, start, end, gzip_flag=gzip_flag, **request)

    def baseline():
        return reference_fetch(conn, sql, rate, split_lines_reference, gzip_flag=gzip_flag)

    return {"native": native, "baseline": baseline}


def peak_child(db_path, request, start, end, which):
    """Runs one pipeline once in a fresh process; returns its peak memory above
    the resident memory just before the call, in bytes."""
    conn = sandbox.connect(str(db_path), alias="bench")
    run = runners(conn, request, start, end)[which]
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
        print(peak_child(Path(spec["db"]), spec["request"], spec["start"], spec["end"], spec["which"]))
        return

    for label, name, db_args, request, start, end in cases(args.quick):
        path = build(name, **db_args)
        conn = sandbox.connect(str(path), alias="bench")
        fns = runners(conn, request, start, end)
        mine, theirs = fns["native"](), fns["baseline"]()
        pd.testing.assert_frame_equal(mine, theirs)  # the same table, or the timing means nothing
        samples, points = len(mine), mine.groupby(["STATIONID", "POINTID"]).ngroups
        del mine, theirs
        runs = max(1, args.runs if name == "minutes" else (args.runs + 1) // 2)
        times = {}
        for which in ("native", "baseline"):
            spent = []
            for _ in range(runs):
                gc.collect()
                t0 = time.perf_counter()
                fns[which]()
                spent.append(time.perf_counter() - t0)
            times[which] = statistics.median(spent)
        conn.close()
        peaks = {}
        for which in ("native", "baseline"):
            spec = json.dumps(dict(db=str(path), request=request, start=start, end=end, which=which))
            out = subprocess.run([sys.executable, __file__, "--child", spec], check=True, capture_output=True,
                                 text=True, env=os.environ)
            peaks[which] = int(out.stdout.strip().splitlines()[-1])
        print(f"{label}: {samples} samples at {points} station points, {start}..{end}, median of {runs}")
        print(f"  time  native {times['native']:.3f} s  baseline {times['baseline']:.3f} s  "
              f"speed-up {times['baseline'] / times['native']:.1f}x (target >= 5x)")
        print(f"  peak  native {peaks['native'] / 2**20:.0f} MiB  baseline {peaks['baseline'] / 2**20:.0f} MiB  "
              f"ratio {peaks['native'] / peaks['baseline']:.2f} (target <= 0.5)", flush=True)


if __name__ == "__main__":
    main()
