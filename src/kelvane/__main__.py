"""Command line of kelvane: the demo on the sample database, and fetch, plot,
export and cache refresh against a configured database.

    kelvane demo [--out DIR]
    kelvane fetch --db ALIAS --start YYYYMMDD --end YYYYMMDD --method M
                  --station S --rate R --library L [--item I] [--point P]
                  [--gzip] -o FILE
    kelvane plot FILE [--groupby item|station] [--catalogue KAT] [--db ALIAS]
    kelvane refresh-metastash --db ALIAS

The library logs to its log file; on the command line a failure ends with one
line on standard error and a non-zero exit status.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime as _dt
import logging
import os
import sys
import time
from pathlib import Path

PROG = "kelvane"
RATE_NAMES = "秒钟值, 分钟值, 小时值, 日均值 (or 秒值, 分值, 整点值, 日值)"
LIBRARY_NAMES = "原始库, 预处理库, 产品库"


class UserError(Exception):
    """A failure the user can act on: reported as one line, exit status 1."""


# -- terminal output ------------------------------------------------------------


class Progress:
    """Step lines and progress bars on a terminal; silent otherwise."""

    def __init__(self, quiet: bool, stream=None):
        self.stream = stream or sys.stderr
        self.enabled = not quiet and self.stream.isatty()

    def step(self, text: str) -> None:
        if self.enabled:
            self.stream.write(f"{text}\n")
            self.stream.flush()

    @contextlib.contextmanager
    def counting(self, label: str, total: int | None, logger_name: str, marker: str):
        """Advance a bar whenever the named logger writes a record containing
        `marker` (one saved figure, one read table...)."""
        if not self.enabled:
            yield
            return
        bar = _Bar(self.stream, label, total)
        handler = _MarkerHandler(marker, bar.advance)
        logger = logging.getLogger(logger_name)
        logger.addHandler(handler)
        try:
            yield
        finally:
            logger.removeHandler(handler)
            bar.close()


class _Bar:
    def __init__(self, stream, label, total):
        self.stream, self.label, self.total, self.done = stream, label, total, 0
        self._draw()

    def _draw(self):
        if self.total:
            width = 30
            filled = int(width * min(self.done, self.total) / self.total)
            text = f"\r{self.label} [{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total}"
        else:
            text = f"\r{self.label} {self.done}"
        self.stream.write(text)
        self.stream.flush()

    def advance(self):
        self.done += 1
        self._draw()

    def close(self):
        self.stream.write("\n")
        self.stream.flush()


class _MarkerHandler(logging.Handler):
    def __init__(self, marker, callback):
        super().__init__(logging.INFO)
        self.marker, self.callback = marker, callback

    def emit(self, record):
        if self.marker in record.getMessage():
            self.callback()


class _Recorder(logging.Handler):
    """Keeps the library's warnings and errors, so that a None result can be
    explained in the one error line."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.messages: list[str] = []

    def emit(self, record):
        self.messages.append(record.getMessage())

    def last(self, default: str) -> str:
        return self.messages[-1] if self.messages else default


def _configure_logging(verbose: bool) -> _Recorder:
    """The library keeps writing its log file; its console handler is removed
    unless --verbose, and warnings and errors are recorded for the messages."""
    from kelvane import logsetup  # configures the log file on first import

    root = logging.getLogger()
    if not verbose:
        for handler in list(root.handlers):
            if type(handler) is logging.StreamHandler and getattr(handler, "stream", None) in (
                sys.stderr,
                sys.__stderr__,
            ):
                root.removeHandler(handler)
    recorder = _Recorder()
    for name in ("fetching", "plotting", "cleaning"):
        logging.getLogger(name).addHandler(recorder)
    del logsetup
    return recorder


# -- shared steps -------------------------------------------------------------------


def _day(text: str) -> str:
    try:
        _dt.datetime.strptime(text, "%Y%m%d")
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a date in the form YYYYMMDD: {text!r}") from None
    return text


def open_database(spec: str, recorder: _Recorder):
    """`sandbox` or `sandbox:PATH` opens the sample database; anything else is
    an alias of default.conf."""
    if spec == "sandbox" or spec.startswith("sandbox:"):
        from kelvane import sandbox

        path = spec.partition(":")[2] or None
        if path is not None and not Path(path).is_file():
            raise UserError(f"no sample database at {path}")
        return sandbox.connect(path, alias="sandbox")
    from kelvane import fetching

    conn = fetching.conn_to_Oracle(spec)
    if conn is None:
        raise UserError(f"cannot connect to database {spec!r}: " + recorder.last("unknown error"))
    return conn


def check_request_words(rate: str, library: str) -> int:
    """The sample interval of a rate name; unknown names are a user error."""
    from kelvane.fetching import DatabaseType, SampleRateType

    config = SampleRateType.get_config(rate)
    if config is None:
        raise UserError(f"unknown sample rate {rate!r}; known: {RATE_NAMES}")
    if DatabaseType.get_id(library) is None:
        raise UserError(f"unknown library {library!r}; known: {LIBRARY_NAMES}")
    return int(config["rate"])


def fetch_table(conn, args, recorder: _Recorder):
    from kelvane import fetching

    try:
        df = fetching.fetching_data(
            conn, args.start, args.end, args.method, args.station, args.rate, args.library,
            itemname=args.item, gzip_flag=args.gzip, pointid=args.point,
        )
    except RuntimeError as exc:  # neither the database nor the metadata cache
        raise UserError(str(exc)) from None
    if df is None:
        raise UserError("no data: " + recorder.last("the request matched no table"))
    if df.empty:
        raise UserError(
            f"no data for {args.method} at {args.station} from {args.start} to {args.end}")
    return df


def _writable_target(path: Path) -> Path:
    parent = path.parent if str(path.parent) else Path(".")
    if not parent.is_dir():
        raise UserError(f"cannot write {path}: folder {parent} does not exist")
    if not os.access(parent, os.W_OK):
        raise UserError(f"cannot write {path}: folder {parent} is not writable")
    return path


def output_kind(path: Path) -> str:
    suffix = path.suffix.lower()
    kinds = {".parquet": "parquet", ".veld": "parquet", ".feather": "feather",
             ".arrow": "feather", ".csv": "csv"}
    if suffix not in kinds:
        raise UserError(f"unknown output type {suffix or '(none)'}: use .parquet, .feather or .csv")
    return kinds[suffix]


def write_table(conn, df, path: Path, sampling_rate: int, recorder: _Recorder) -> None:
    """VELD Parquet or Feather with the station and item records, or CSV."""
    from kelvane import export, fetching

    kind = output_kind(path)
    try:
        if kind == "csv":
            tmp = path.with_name(f".{path.name}.tmp")
            try:
                df.to_csv(tmp)
                os.replace(tmp, path)
            finally:
                tmp.unlink(missing_ok=True)
            return
        if kind == "parquet":
            fetching.DataFetcher.export_veld(conn, df, str(path), sampling_rate)
        else:
            metadata = _veld_metadata(conn, df, sampling_rate)
            export.export_to_feather(df, str(path), metadata)
    except OSError as exc:
        raise UserError(f"cannot write {path}: {exc.strerror or exc}") from None
    if not path.exists():
        raise UserError(f"nothing written to {path}: " + recorder.last("the export failed"))


def _veld_metadata(conn, df, sampling_rate: int) -> dict:
    """The context the Parquet bridge stores, for the Feather container."""
    import json

    from kelvane import fetching

    table = fetching.DataFetcher.to_veld(conn, df, sampling_rate)
    if table is None:
        return {}
    meta = table.schema.metadata or {}
    keys = ("station_info", "item_info", "sampling_rate", "export_time")
    return {k: json.loads(meta[k.encode()]) for k in keys if k.encode() in meta}


def read_table(path: Path):
    """A table written by `kelvane fetch` (or any VELD file) as a time-series
    table indexed by STARTDATE."""
    import pandas as pd

    if not path.is_file():
        raise UserError(f"no such file: {path}")
    kind = output_kind(path)
    try:
        if kind == "parquet":
            df = pd.read_parquet(path)
        elif kind == "feather":
            df = pd.read_feather(path)
        else:
            df = pd.read_csv(path, dtype={"STATIONID": str, "POINTID": str, "ITEMID": str})
            df["STARTDATE"] = pd.to_datetime(df["STARTDATE"])
    except (OSError, ValueError) as exc:
        raise UserError(f"cannot read {path}: {exc}") from None
    if "STARTDATE" in df.columns:
        df = df.set_index("STARTDATE")
    missing = [c for c in ("STATIONID", "POINTID", "ITEMID", "OBSVALUE") if c not in df.columns]
    if missing:
        raise UserError(f"{path} is not a time-series table: no column {', '.join(missing)}")
    for column in ("STATIONID", "POINTID", "ITEMID"):
        df[column] = df[column].astype(str)
    return df


def filter_spikes(df, window: int = 15, threshold: float = 5.0):
    """The Hampel filter applied to every station, point and item series."""
    import pandas as pd

    from kelvane import refine

    parts = []
    for _, series in df.groupby(["STATIONID", "POINTID", "ITEMID"], sort=False):
        parts.append(refine.filter_with_fast_mad(series, window, threshold))
    return pd.concat(parts) if parts else df


@contextlib.contextmanager
def working_folder(path: Path):
    previous = Path.cwd()
    os.chdir(path)
    try:
        yield
    finally:
        os.chdir(previous)


def draw(plotter, df, groupby: str, progress: Progress, label: str, **kwargs):
    """Draws through TSPlotter.plot and returns the figure files written."""
    figures = Path("figures")
    before = set(figures.glob("*")) if figures.is_dir() else set()
    with progress.counting(label, None, "plotting", "has been saved"):
        plotter.plot(df, groupby=groupby, **kwargs)
    after = set(figures.glob("*")) if figures.is_dir() else set()
    return sorted(after - before)


# -- commands -------------------------------------------------------------------------


def cmd_fetch(args, progress: Progress, recorder: _Recorder) -> int:
    target = _writable_target(Path(args.output))
    output_kind(target)
    rate_seconds = check_request_words(args.rate, args.library)
    progress.step(f"connecting to {args.db}")
    conn = open_database(args.db, recorder)
    try:
        progress.step(f"fetching {args.method} {args.rate} from {args.start} to {args.end}")
        df = fetch_table(conn, args, recorder)
        write_table(conn, df, target, rate_seconds, recorder)
    finally:
        conn.close()
    progress.step(f"{len(df)} samples written to {target}")
    return 0


def cmd_plot(args, progress: Progress, recorder: _Recorder) -> int:
    from kelvane import tsdraw

    df = read_table(Path(args.file))
    if args.catalogue and not Path(args.catalogue).is_file():
        raise UserError(f"no such catalogue file: {args.catalogue}")
    conn = open_database(args.db, recorder) if args.db else None
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    kwargs = dict(prefix=args.prefix, show_mean=args.show_mean, show_std=args.show_std,
                  figure_format=args.format)
    if args.catalogue:
        kwargs["kat_dir"] = str(Path(args.catalogue).resolve())
    try:
        try:
            plotter = tsdraw.TSPlotter(conn=conn, metadata_dir=args.metadata_dir)
        except RuntimeError as exc:
            raise UserError(f"{exc} (run `kelvane refresh-metastash --db ALIAS` first, "
                            "or pass --db)") from None
        with working_folder(out):
            files = draw(plotter, df, args.groupby, progress, "drawing", **kwargs)
    finally:
        if conn is not None:
            conn.close()
    if not files:
        raise UserError("no figure drawn: " + recorder.last("nothing to plot in " + args.file))
    for f in files:
        print(out / f)
    return 0


def cmd_refresh(args, progress: Progress, recorder: _Recorder) -> int:
    from kelvane import fetching

    conn = open_database(args.db, recorder)
    try:
        progress.step(f"reading the dictionary tables of {args.db}")
        try:
            tables = fetching.refresh_metastash(conn, cache_dir=args.metadata_dir)
        except Exception as exc:  # a failed read of the database
            raise UserError(f"cannot refresh the metadata cache: {exc}") from None
    finally:
        conn.close()
    for key, table in tables.items():
        print(f"{key}: {len(table)} rows")
    return 0


def cmd_demo(args, progress: Progress, recorder: _Recorder) -> int:
    import pandas as pd

    from kelvane import fetching, sandbox, tsdraw

    started = time.perf_counter()
    out = Path(args.out) if args.out else Path(f"kelvane-demo-{_dt.datetime.now():%Y%m%d-%H%M%S}")
    out.mkdir(parents=True, exist_ok=True)
    out = out.resolve()
    end = pd.Timestamp.now().normalize()
    start = end - pd.Timedelta(days=30)
    s, e = f"{start:%Y%m%d}", f"{end:%Y%m%d}"

    progress.step(f"building the sample database in {out}")
    db_path = out / "sample.sqlite"
    sandbox.build(str(db_path), start=f"{end - pd.Timedelta(days=400):%Y%m%d}", end=e)
    catalogue = out / "catalogue.txt"
    sandbox.write_catalogue(str(catalogue), start=f"{start - pd.Timedelta(days=30):%Y%m%d}", end=e)

    conn = sandbox.connect(str(db_path), alias="sandbox")
    written = []
    try:
        progress.step("fetching a month of minute water level and of hourly resistivity")
        metadata_dir = out / "metastash"
        fetching.refresh_metastash(conn, cache_dir=str(metadata_dir))
        water = fetching.fetching_data(conn, s, e, "水位", "全部", "分钟值", "预处理库")
        resist = fetching.fetching_data(conn, s, e, "直流单装置地电阻率", "全部", "小时值", "预处理库")
        if water is None or water.empty or resist is None or resist.empty:
            raise UserError("the sample database returned no data: " + recorder.last("empty fetch"))

        progress.step("filtering spikes")
        water = filter_spikes(water)
        resist = filter_spikes(resist)

        progress.step("exporting VELD files")
        for name, df, rate in (("water_level_minute", water, 60), ("resistivity_hourly", resist, 3600)):
            path = out / f"{name}.parquet"
            fetching.DataFetcher.export_veld(conn, df, str(path), rate)
            written.append(path)

        plotter = tsdraw.TSPlotter(conn=conn, metadata_dir=str(metadata_dir))
        common = dict(kat_dir=str(catalogue), show_mean=True, show_std=True)
        with working_folder(out):
            figures = draw(plotter, water, "item", progress, "water level by item",
                           prefix="water_", **common)
            figures += draw(plotter, resist, "station", progress, "resistivity by station",
                            prefix="resistivity_", **common)
        written += [out / f for f in figures]
    finally:
        conn.close()

    elapsed = time.perf_counter() - started
    print(f"kelvane demo finished in {elapsed:.1f} s, files in {out}:")
    print(f"  sample database   {db_path.name}")
    print(f"  catalogue         {catalogue.name}")
    print(f"  water level       {len(water)} minute samples, "
          f"{water.groupby(['STATIONID', 'POINTID', 'ITEMID']).ngroups} series")
    print(f"  resistivity       {len(resist)} hourly samples, "
          f"{resist.groupby(['STATIONID', 'POINTID', 'ITEMID']).ngroups} series")
    for path in written:
        print(f"  {path.relative_to(out)}")
    return 0


# -- argument parsing -------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Earthquake-precursor observation time series.")
    parser.add_argument("--quiet", action="store_true", help="no progress output")
    parser.add_argument("--verbose", action="store_true", help="also show the library's log lines")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    demo = sub.add_parser("demo", help="the whole job on a freshly built sample database")
    demo.add_argument("--out", help="folder for everything the demo writes (default: a new folder here)")
    demo.set_defaults(run=cmd_demo)

    fetch = sub.add_parser("fetch", help="fetch series and write VELD Parquet, Feather or CSV")
    fetch.add_argument("--db", required=True,
                       help="alias in default.conf, or sandbox[:PATH] for the sample database")
    fetch.add_argument("--start", required=True, type=_day, help="first day, YYYYMMDD")
    fetch.add_argument("--end", required=True, type=_day, help="last day (included), YYYYMMDD")
    fetch.add_argument("--method", required=True, help="observation method, e.g. 水位")
    fetch.add_argument("--station", required=True, help="station name or part of it; 全部 for all")
    fetch.add_argument("--rate", required=True, help=f"sample rate: {RATE_NAMES}")
    fetch.add_argument("--library", required=True, help=f"library: {LIBRARY_NAMES}")
    fetch.add_argument("--item", default="全部", help="item name; 全部 (default) for all")
    fetch.add_argument("--point", default="", help="measuring point code (default: all)")
    fetch.add_argument("--gzip", action="store_true", help="the strings are gzip-compressed")
    fetch.add_argument("-o", "--output", required=True, help="FILE.parquet, FILE.feather or FILE.csv")
    fetch.set_defaults(run=cmd_fetch)

    plot = sub.add_parser("plot", help="draw a table written by fetch")
    plot.add_argument("file")
    plot.add_argument("--groupby", choices=("item", "station"), default="item")
    plot.add_argument("--catalogue", help="earthquake catalogue to overlay")
    plot.add_argument("--db", help="database for the metadata (default: the local cache only)")
    plot.add_argument("--metadata-dir", help="metadata cache root (default ~/.kelv/metastash)")
    plot.add_argument("--out", default=".", help="folder that receives figures/ (default: here)")
    plot.add_argument("--prefix", default="", help="start of every figure file name")
    plot.add_argument("--format", default="png", help="figure file format (default png)")
    plot.add_argument("--show-mean", action="store_true", help="draw the mean line")
    plot.add_argument("--show-std", action="store_true", help="draw the ±2σ lines")
    plot.set_defaults(run=cmd_plot)

    refresh = sub.add_parser("refresh-metastash", help="re-read the dictionary tables into the cache")
    refresh.add_argument("--db", required=True, help="alias in default.conf, or sandbox[:PATH]")
    refresh.add_argument("--metadata-dir", help="metadata cache root (default ~/.kelv/metastash)")
    refresh.set_defaults(run=cmd_refresh)
    return parser


def main(argv=None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    progress = Progress(args.quiet)
    try:
        recorder = _configure_logging(args.verbose)
        return args.run(args, progress, recorder)
    except UserError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
