"""End-to-end fetch against what a user could pick instead, on sample
databases built with a fixed seed.

Against read_sql plus a Polars split (the peer): two requests, the sample
database's default month of minute water level and about a million minute
samples (the same request on a sample with 20 extra wells). The peer runs the
lookups and the data statement with pandas.read_sql, expands the empty-day
marker, sorts and splits the packed strings with Polars' string functions,
casts to float32, builds the timestamps and hands over the same pandas table.
Both sides are checked equal, then timed in turns (median of the runs and of
the per-turn ratios), and the statements each sends are counted.

Against the plain-pandas pipeline (read_sql plus the reference split): a
month of minute values for 20 station points and three days of second
values; the median wall time of several runs of both, their ratio, and the
peak memory each needs above the memory in use before the call (measured in
a fresh child process per pipeline, from the kernel's peak resident-set
counter).

    python bench/bench_fetch.py            # the full sizes
    python bench/bench_fetch.py --quick    # smaller, for a quick look
    python bench/bench_fetch.py --only polars   # or: pandas
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
import polars as pl  # noqa: E402
import sqlalchemy as sa  # noqa: E402

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


# --- the peer: read_sql plus a Polars split -------------------------------------------

METHODS_BY_NAME = ("SELECT METHODID AS methodid FROM QZDATA.QZ_DICT_METHODS "
                   "WHERE METHODNAME LIKE '%' || :methodname || '%'")
TABLES = ("SELECT TABLE_NAME FROM ALL_TABLES WHERE TABLE_NAME LIKE '%' || :base_type_id || '%' "
          "AND TABLE_NAME LIKE '%' || :sample_rate_id || '%' AND TABLE_NAME LIKE '%' || :methodid || '%'")
DATA = ("SELECT * FROM QZDATA.{table} WHERE STARTDATE >= TO_DATE('{start}', 'yyyymmdd') "
        "AND STARTDATE < TO_DATE('{end}', 'yyyymmdd')+1")
KEYS = ["ITEMID", "STATIONID", "POINTID", "STARTDATE"]


def peer_cases(quick):
    """(label, database name, database arguments, request, first day, last day, target)."""
    end = "20260131"
    days = 10 if quick else 31
    first = (pd.Timestamp(end) - pd.Timedelta(days=days - 1)).strftime("%Y%m%d")
    # the arguments of fetching_data after the dates, in order
    request = dict(method_name="水位", station_name="全部", data_type="分钟值", base_type="预处理库")
    default_db = dict(end=end, seed=0)  # the sample database as built by default
    wells_db = dict(end=end, seed=0, extra_stations=20, raw_days=0, libraries=["DYU"], rates=["01"])
    return [
        (f"default sample, minute water level, {days} days", "default", default_db, request, first, end, 3),
        (f"sample with 20 extra wells, minute water level, {days} days", "wells", wells_db, request, first, end, 5),
    ]


def peer_fetch(conn, request, start, end, seconds):
    """The request the way a pandas and Polars user would write it."""
    methods = pd.read_sql(METHODS_BY_NAME, con=conn, params={"methodname": request["method_name"]})
    method_ids = [m for m in dict.fromkeys(methods.iloc[:, 0].astype(str)) if m != "417"]
    config = fetching.SampleRateType.get_config(request["data_type"])
    base = fetching.DatabaseType.get_id(request["base_type"])
    tables = []
    for method_id in method_ids:
        found = pd.read_sql(TABLES, con=conn, params=dict(base_type_id=base, sample_rate_id=config["id"],
                                                           methodid=method_id))
        tables += [t for t in found.iloc[:, 0] if "_DEV_" not in t]
    sql = " UNION ALL ".join(DATA.format(table=t, start=start, end=end) for t in tables)
    daily = pd.read_sql(sql, con=conn)
    daily.columns = daily.columns.str.upper()

    null_day = " ".join(["NULL"] * (86400 // seconds))
    rows = pl.from_pandas(daily).with_columns(pl.col(c).cast(pl.String) for c in KEYS[:3])
    rows = rows.sort(KEYS, maintain_order=True)
    tokens = rows.with_columns(
        pl.col("OBSVALUE").str.replace_all("NULLALL", null_day, literal=True).str.strip_chars().str.split(" "))
    tokens = tokens.with_columns(k=pl.int_ranges(0, pl.col("OBSVALUE").list.len())).explode(["OBSVALUE", "k"])
    samples = tokens.with_columns(
        STARTDATE=pl.col("STARTDATE") + pl.duration(seconds=pl.col("k") * seconds),
        OBSVALUE=pl.col("OBSVALUE").cast(pl.Float64, strict=False).cast(pl.Float32),
    ).sort("STARTDATE", maintain_order=True)
    others = [c for c in daily.columns if c not in ("STARTDATE", "OBSVALUE")]
    table = samples.select(["STARTDATE", *others, "OBSVALUE"]).to_pandas()
    table["STARTDATE"] = table["STARTDATE"].astype(daily["STARTDATE"].dtype)  # the unit pandas read
    return table.set_index("STARTDATE")


def statements_of(conn, run):
    seen = []

    def keep(_conn, _cursor, statement, *_):
        seen.append(statement)

    sa.event.listen(conn, "before_cursor_execute", keep)
    try:
        run()
    finally:
        sa.event.remove(conn, "before_cursor_execute", keep)
    return seen


def peer_section(args):
    print("== against read_sql plus a Polars split ==")
    for label, name, db_args, request, start, end, target in peer_cases(args.quick):
        path = build(name, **db_args)
        conn = sandbox.connect(str(path), alias="bench")
        seconds = fetching.SampleRateType.get_config(request["data_type"])["rate"]
        fns = {
            "native": lambda: fetching.fetching_data(conn, start, end, *request.values()),
            "peer": lambda: peer_fetch(conn, request, start, end, seconds),
        }
        mine, theirs = fns["native"](), fns["peer"]()
        pd.testing.assert_frame_equal(mine, theirs)  # the same table, or the timing means nothing
        samples, points = len(mine), mine.groupby(["STATIONID", "POINTID"]).ngroups
        del mine, theirs
        sent = {which: statements_of(conn, fn) for which, fn in fns.items()}
        spent = {"native": [], "peer": []}
        for _ in range(args.runs):
            for which in ("native", "peer"):  # in turns, so that both meet the same load
                gc.collect()
                t0 = time.perf_counter()
                fns[which]()
                spent[which].append(time.perf_counter() - t0)
        conn.close()
        native, peer = statistics.median(spent["native"]), statistics.median(spent["peer"])
        turns = statistics.median(p / n for n, p in zip(spent["native"], spent["peer"]))
        print(f"{label}: {samples} samples at {points} station points, {start}..{end}, {args.runs} turns")
        print(f"  time  native {native * 1e3:.1f} ms  read_sql+Polars {peer * 1e3:.1f} ms  "
              f"speed-up {peer / native:.1f}x (median of turns {turns:.1f}x; target >= {target}x)")
        data = sum(1 for s in sent["native"] if "STARTDATE >=" in s)
        print(f"  statements  native {len(sent['native'])} ({len(sent['native']) - data} lookups, {data} data read)"
              f"  read_sql+Polars {len(sent['peer'])}", flush=True)


def pandas_section(args):
    print("== against the plain-pandas pipeline ==")
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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--runs", type=int, default=15, help="turns against the peer (the pandas pipeline: a third)")
    ap.add_argument("--only", choices=["polars", "pandas"])
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.child:
        spec = json.loads(args.child)
        print(peak_child(Path(spec["db"]), spec["request"], spec["start"], spec["end"], spec["which"]))
        return
    if args.only != "pandas":
        peer_section(args)
    if args.only != "polars":
        pandas_section(argparse.Namespace(quick=args.quick, runs=max(1, args.runs // 3)))


if __name__ == "__main__":
    main()
