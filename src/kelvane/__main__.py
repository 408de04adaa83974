"""Command line of kelvane: the demo on the sample database, and fetch, plot,
export and cache refresh against a configured database.

    kelvane demo [--out DIR]
    kelvane fetch --db ALIAS --start YYYYMMDD --end YYYYMMDD --method M
                  --station S --rate R --library L [--item I] [--point P]
                  [--gzip] -o FILE
    kelvane plot FILE [--groupby item|station] [--catalogue KAT] [--db ALIAS]
                 [drawing options: see kelvane plot --help]
    kelvane availability SRC [--db ALIAS] [--freq D] [-o TABLE] [--figure]
    kelvane availability --db ALIAS --start ... (the options of fetch) [...]
    kelvane refresh-metastash --db ALIAS
    kelvane export-dataset --db ALIAS --start YYYYMMDD --end YYYYMMDD --method M
                  --station S --rate R --library L --out DIR [--item I]
                  [--point P] [--gzip] [--chunk-days N]
    kelvane filter-dataset SRC DST [--window N] [--threshold K]
                  [--scheduler ADDRESS]

The library logs to its log file; on the command line a failure ends with one
line on standard error and a non-zero exit status.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime as _dt
import logging
import os
import re
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

    def bar(self, label: str, total: int | None, unit: str):
        """A progress bar (tqdm) on the terminal; a silent one otherwise."""
        from tqdm import tqdm

        try:
            size = os.get_terminal_size(self.stream.fileno())
        except (OSError, ValueError, AttributeError):
            size = os.terminal_size((0, 0))
        # a terminal that reports no size (some consoles, ptys) gets 80 x 24,
        # where tqdm would draw nothing
        return tqdm(desc=label, total=total, unit=unit, file=self.stream, disable=not self.enabled,
                    ncols=size.columns or 80, nrows=size.lines or 24)

    @contextlib.contextmanager
    def counting(self, label: str, total: int | None, logger_name: str, marker: str):
        """Advance a bar whenever the named logger writes a record containing
        `marker` (one saved figure, one read table...)."""
        if not self.enabled:
            yield
            return
        with self.bar(label, total, "file") as bar:
            handler = _MarkerHandler(marker, bar.update)
            logger = logging.getLogger(logger_name)
            logger.addHandler(handler)
            try:
                yield
            finally:
                logger.removeHandler(handler)


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
    unless --verbose, and warnings and errors are recorded for the messages.
    Python warnings of the libraries go to the log too, so that standard
    error holds only the command line's own lines."""
    from kelvane import logsetup  # configures the log file on first import

    logging.captureWarnings(True)
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


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a whole number of at least 1: {text!r}")
    return value


def _quake_rule(text: str):
    km, sep, mag = text.partition(":")
    try:
        rule = (float(km), float(mag))
    except ValueError:
        rule = None
    if not sep or rule is None:
        raise argparse.ArgumentTypeError(f"not KM:MAG: {text!r}")
    return rule


def open_database(spec: str, recorder: _Recorder):
    """`sandbox` or `sandbox:PATH` opens the sample database; anything else is
    an alias of default.conf."""
    if is_sample(spec):
        from kelvane import sandbox

        path = spec.partition(":")[2] or None
        if path is not None and not Path(path).is_file():
            raise UserError(f"no sample database at {path}")
        return sandbox.connect(path, alias="sandbox")
    import configparser

    from kelvane import fetching

    try:
        conn = fetching.conn_to_Oracle(spec)
    except (configparser.Error, UnicodeError) as exc:
        raise UserError(configuration_problem(exc)) from None
    if conn is None:
        raise UserError(f"cannot connect to database {spec!r}: " + recorder.last("unknown error"))
    return conn


def is_sample(spec: str) -> bool:
    return spec == "sandbox" or spec.startswith("sandbox:")


CONFIG_FILES = ("default.conf", os.path.join("~", ".kelv", "default.conf"))


def configuration_problem(exc: Exception) -> str:
    """What is wrong with a default.conf that cannot be parsed: the file, the
    line number and the kind of fault. The line itself is never quoted, since
    it may hold a password."""
    import configparser
    import locale

    head = "cannot read the database configuration: "
    if isinstance(exc, UnicodeError):
        encoding = locale.getpreferredencoding(False)
        for name in CONFIG_FILES:
            path = Path(os.path.expanduser(name))
            try:
                path.read_text(encoding=encoding)
            except UnicodeError:
                return f"{head}{path} is not {encoding} text (save it as UTF-8)"
            except OSError:
                continue
        return f"{head}a default.conf is not {encoding} text (save it as UTF-8)"
    source = getattr(exc, "source", None) or "default.conf"
    lineno = getattr(exc, "lineno", None)
    if lineno is None and getattr(exc, "errors", None):
        lineno = exc.errors[0][0]
    where = f"{source}, line {lineno}" if lineno else str(source)
    if isinstance(exc, configparser.MissingSectionHeaderError):
        try:
            bom = Path(source).read_bytes().startswith(b"\xef\xbb\xbf")
        except OSError:
            bom = False
        if bom:
            return f"{head}{source} starts with a byte-order mark (save it as UTF-8 without BOM)"
        return f"{head}{where}: a line before the first [section] header"
    if isinstance(exc, configparser.DuplicateSectionError):
        return f"{head}{where}: section [{exc.section}] appears twice"
    if isinstance(exc, configparser.DuplicateOptionError):
        return f"{head}{where}: key {exc.option} appears twice in section [{exc.section}]"
    if isinstance(exc, configparser.ParsingError):
        return f"{head}{where}: not a [section] header or a KEY = value line"
    return f"{head}{where}: {type(exc).__name__}"


def check_request_words(rate: str, library: str) -> int:
    """The sample interval of a rate name; unknown names are a user error."""
    from kelvane.fetching import DatabaseType, SampleRateType

    config = SampleRateType.get_config(rate)
    if config is None:
        raise UserError(f"unknown sample rate {rate!r}; known: {RATE_NAMES}")
    if DatabaseType.get_id(library) is None:
        raise UserError(f"unknown library {library!r}; known: {LIBRARY_NAMES}")
    return int(config["rate"])


def check_words(conn, args) -> None:
    """A station or item word that matches nothing is named, rather than
    letting the request fail in the database."""
    from kelvane.fetching import MetadataFetcher

    for word, lookup, what in ((args.station, MetadataFetcher.get_station_ids, "station"),
                               (args.item, MetadataFetcher.get_item_ids, "item")):
        if word == "全部":
            continue
        try:
            ids = lookup(conn, word)
        except RuntimeError as exc:  # neither the database nor the metadata cache
            raise UserError(str(exc)) from None
        if ids is None or len(ids) == 0:
            raise UserError(f"the {what} word {word!r} matched no {what}")


def fetch_table(conn, args, recorder: _Recorder):
    from kelvane import fetching

    check_words(conn, args)
    try:
        df = fetching.fetching_data(
            conn, args.start, args.end, args.method, args.station, args.rate, args.library,
            itemname=args.item, gzip_flag=args.gzip, pointid=args.point,
        )
    except RuntimeError as exc:  # neither the database nor the metadata cache
        raise UserError(str(exc)) from None
    except Exception as exc:
        if not is_database_error(exc):
            raise
        first = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise UserError(f"the database could not run the request: {first}") from None
    if df is None:
        raise UserError("no data: " + recorder.last("the request matched no table"))
    if df.empty:
        message = f"no data for {args.method} at {args.station} from {args.start} to {args.end}"
        if is_sample(args.db):
            held = sample_span(conn, args)
            if held and (held[1] < args.start or held[0] > args.end):
                message += (f": the sample database holds {args.rate} rows from {held[0]} "
                            f"to {held[1]} only")
        raise UserError(message)
    return df


def is_database_error(exc: Exception) -> bool:
    """An error of the database driver or of pandas reading SQL."""
    import pandas as pd
    from sqlalchemy.exc import SQLAlchemyError

    return isinstance(exc, (pd.errors.DatabaseError, SQLAlchemyError))


def sample_span(conn, args):
    """First and last day (YYYYMMDD) of the rows the sample database holds for
    the request's method, library and rate, or None."""
    import pandas as pd

    from kelvane.fetching import DatabaseType, MetadataFetcher, SampleRateType

    methods = MetadataFetcher.get_method_ids(conn, args.method)
    if methods is None or methods.empty:
        return None
    tables = MetadataFetcher.get_table_names(conn, methods, DatabaseType.get_id(args.library),
                                             SampleRateType.get_config(args.rate)["id"])
    days = []
    for name in ([] if tables is None else tables["table_name"]):
        if not re.fullmatch(r"[A-Za-z0-9_]+", str(name)):
            continue
        for order in ("ASC", "DESC"):
            row = pd.read_sql(f"SELECT STARTDATE FROM QZDATA.{name} ORDER BY STARTDATE {order} "
                              "LIMIT 1", conn)
            if len(row):
                days.append(pd.Timestamp(row.iloc[0, 0]))
    if not days:
        return None
    return f"{min(days):%Y%m%d}", f"{max(days):%Y%m%d}"


def _writable_target(path: Path) -> Path:
    """Checked before a long fetch: the folder exists and takes a new file. An
    existing FIFO or device is written into as it is."""
    if path.is_dir():
        raise UserError(f"cannot write {path}: it is a folder")
    if path.exists() and not path.is_file():
        return path
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
    """VELD Parquet or Feather with the station and item records and the
    database alias, or CSV; the file appears only once it is complete."""
    from kelvane import export, fetching

    kind = output_kind(path)
    try:
        if kind == "csv":
            export._write_atomically(str(path), lambda where: df.to_csv(where))
            return
        table = fetching.DataFetcher.to_veld(conn, df, sampling_rate)
        if table is None:
            raise UserError(f"nothing written to {path}: " + recorder.last("the export failed"))
        table = with_alias(table, database_alias(conn))
        if kind == "parquet":
            import pyarrow.parquet as pq

            export._write_atomically(str(path), lambda where: pq.write_table(table, where))
        else:
            import pyarrow.feather as feather

            export._write_atomically(str(path), lambda where: feather.write_feather(table, where))
    except OSError as exc:
        raise UserError(f"cannot write {path}: {exc.strerror or exc}") from None


ALIAS_KEY = b"kelvane_db_alias"


def database_alias(conn):
    info = getattr(conn, "info", None)
    alias = info.get("kelvane_db_alias") if isinstance(info, dict) else None
    return alias or getattr(conn, "_kelvane_db_alias", None)


def with_alias(table, alias):
    """The VELD table with the database alias as one more JSON entry, so that
    `kelvane plot` finds the metadata cache of that database."""
    import json

    if not alias:
        return table
    meta = dict(table.schema.metadata or {})
    meta[ALIAS_KEY] = json.dumps(alias).encode()
    return table.replace_schema_metadata(meta)


def alias_of_file(path: Path):
    """The database alias a VELD file written by `kelvane fetch` names, or None."""
    import json

    import pyarrow as pa
    import pyarrow.parquet as pq

    kind = output_kind(path)
    try:
        if kind == "parquet":
            meta = pq.read_schema(path).metadata
        elif kind == "feather":
            with pa.memory_map(str(path)) as source:
                meta = pa.ipc.open_file(source).schema.metadata
        else:
            return None
        value = json.loads(meta[ALIAS_KEY]) if meta and ALIAS_KEY in meta else None
    except (OSError, ValueError):
        return None
    return value if isinstance(value, str) and value else None


def load_frame(path: Path, what: str = "", **csv_options):
    """The table of a Parquet, Feather or CSV file (by its extension); a
    missing or unreadable file is a user error."""
    import pandas as pd

    if not path.is_file():
        raise UserError(f"no such {what}file: {path}")
    kind = output_kind(path)
    try:
        if kind == "parquet":
            return pd.read_parquet(path)
        if kind == "feather":
            return pd.read_feather(path)
        return pd.read_csv(path, **csv_options)
    except (OSError, ValueError) as exc:
        raise UserError(f"cannot read {path}: {one_line(exc)}") from None


def read_table(path: Path):
    """A table written by `kelvane fetch` (or any VELD file) as a time-series
    table indexed by STARTDATE."""
    import pandas as pd

    df = load_frame(path, dtype={"STATIONID": str, "POINTID": str, "ITEMID": str})
    if output_kind(path) == "csv" and "STARTDATE" in df.columns:
        try:
            df["STARTDATE"] = pd.to_datetime(df["STARTDATE"])
        except (ValueError, TypeError) as exc:
            raise UserError(f"cannot read {path}: {one_line(exc)}") from None
    if "STARTDATE" in df.columns:
        df = df.set_index("STARTDATE")
    missing = [c for c in ("STATIONID", "POINTID", "ITEMID", "OBSVALUE") if c not in df.columns]
    if df.index.name != "STARTDATE":
        missing.insert(0, "STARTDATE")
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


_SAVED = re.compile(r"^Figure (.+) has been saved to current folder\.$")


class _SavedFigures(logging.Handler):
    """File names of the figures the plotter reports as saved."""

    def __init__(self):
        super().__init__(logging.INFO)
        self.names: list[str] = []

    def emit(self, record):
        match = _SAVED.match(record.getMessage())
        if match:
            self.names.append(match.group(1))


def draw(plotter, df, groupby: str, progress: Progress, label: str, **kwargs):
    """Draws through TSPlotter.plot and returns the figure files it saved
    (also those that replaced a file of an earlier run)."""
    saved = _SavedFigures()
    logger = logging.getLogger("plotting")
    logger.addHandler(saved)
    try:
        with progress.counting(label, None, "plotting", "has been saved"):
            plotter.plot(df, groupby=groupby, **kwargs)
    finally:
        logger.removeHandler(saved)
    return [Path("figures") / name for name in dict.fromkeys(saved.names)]


# -- commands -------------------------------------------------------------------------


def cmd_fetch(args, progress: Progress, recorder: _Recorder) -> int:
    if args.start > args.end:
        raise UserError(f"--start {args.start} is after --end {args.end}: the range holds no day")
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
    from kelvane.metastash import MetaStash

    station_layout = args.groupby == "station"
    if not station_layout and (args.daily_median or args.rainfall):
        raise UserError("--daily-median and --rainfall go with --groupby station")
    if args.catalogue_filter and not args.catalogue:
        raise UserError("--catalogue-filter needs --catalogue")
    kwargs = dict(prefix=args.prefix, fig_label=args.fig_label, show_mean=args.show_mean,
                  show_std=args.show_std, std_multiplier=args.std_multiplier,
                  reindex=args.reindex, show_legend=not args.no_key,
                  figure_format=figure_format(args.format),
                  start_time=time_bound(args.start_time, "--start-time"),
                  end_time=time_bound(args.end_time, "--end-time"))
    if (kwargs["start_time"] is not None and kwargs["end_time"] is not None
            and kwargs["start_time"] > kwargs["end_time"]):
        raise UserError(f"--start-time {args.start_time} is after --end-time {args.end_time}")
    path = Path(args.file)
    df = read_table(path)
    if station_layout:
        kwargs["daily_mean_values"] = args.daily_median
        kwargs["rainfall"] = read_rainfall(Path(args.rainfall)) if args.rainfall else None
    catalogue_fault = None
    if args.catalogue:
        catalogue_fault = catalogue_problem(Path(args.catalogue))
        if catalogue_fault is None:
            kwargs["kat_dir"] = str(Path(args.catalogue).resolve())
            kwargs["kat_filters"] = args.catalogue_filter or None
    out = make_folder(Path(args.out))

    conn = open_database(args.db, recorder) if args.db else None
    metadata_dir, alias = args.metadata_dir, None
    if conn is None:
        # the cache of the database the table came from
        alias = alias_of_file(path)
        if alias:
            metadata_dir = MetaStash.resolve_cache_dir(args.metadata_dir, alias)
    try:
        try:
            plotter = tsdraw.TSPlotter(conn=conn, metadata_dir=metadata_dir)
        except RuntimeError as exc:
            ask = f"--db {alias}" if alias else "--db ALIAS"
            raise UserError(f"{exc} (run `kelvane refresh-metastash {ask}` first, "
                            "or pass --db)") from None
        with working_folder(out):
            files = draw(plotter, df, args.groupby, progress, "drawing", **kwargs)
    finally:
        if conn is not None:
            conn.close()
    for f in files:
        print(out / f)
    if catalogue_fault:
        drawn = "the figures were drawn" if files else "no figure was drawn"
        raise UserError(f"{catalogue_fault}; {drawn} without earthquakes")
    if not files:
        raise UserError("no figure drawn: " + recorder.last("nothing to plot in " + args.file))
    return 0


def figure_format(text: str) -> str:
    from matplotlib.backend_bases import FigureCanvasBase

    known = FigureCanvasBase.get_supported_filetypes()
    if text.lower() not in known:
        raise UserError(f"unknown figure format {text!r}; known: {', '.join(sorted(known))}")
    return text


def time_bound(text, option: str):
    import pandas as pd

    if text is None:
        return None
    try:
        value = pd.Timestamp(text)
    except (ValueError, TypeError):
        value = None
    if value is None or value is pd.NaT:
        raise UserError(f"{option}: not a time: {text!r} (use YYYYMMDD or YYYY-MM-DD HH:MM)")
    return value


def read_rainfall(path: Path):
    """A rainfall table for the station layout: OBSVALUE indexed by time, from
    Parquet, Feather or CSV (times in STARTDATE or the first column)."""
    import pandas as pd

    table = load_frame(path, "rainfall ")
    if "STARTDATE" in table.columns:
        table = table.set_index("STARTDATE")
    elif output_kind(path) == "csv" and len(table.columns):
        table = table.set_index(table.columns[0])
    if "OBSVALUE" not in table.columns:
        raise UserError(f"{path} is not a rainfall table: no column OBSVALUE")
    try:
        table.index = pd.to_datetime(table.index)
    except (ValueError, TypeError) as exc:
        raise UserError(f"cannot read rainfall {path}: its times: {one_line(exc)}") from None
    return table


def catalogue_problem(path: Path):
    """Why the catalogue cannot serve the overlay, or None when it can."""
    if not path.is_file():
        raise UserError(f"no such catalogue file: {path}")
    from kelvane import KAT

    try:
        events = KAT.read_KAT(str(path))
    except UnicodeError as exc:
        return f"cannot read catalogue {path}: it is not {exc.encoding} text"
    except Exception as exc:  # whatever the reader rejects, reported as such
        return f"cannot read catalogue {path}: {one_line(exc)}"
    if not events.index.notna().any():
        return f"cannot read catalogue {path}: no line in the catalogue format"
    return None


def one_line(exc: Exception) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


def make_folder(path: Path) -> Path:
    if path.exists() and not path.is_dir():
        raise UserError(f"{path} exists and is not a folder")
    try:
        path.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise UserError(f"cannot make folder {path}: {exc.strerror or exc}") from None
    return path


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


REQUEST_OPTIONS = ("start", "end", "method", "station", "rate", "library")


def is_dataset_folder(path: Path) -> bool:
    return path.is_dir() and (path / "_manifest.json").is_file()


def check_freq(freq: str) -> None:
    """An unknown period alias is refused before anything is read."""
    import pandas as pd

    from kelvane import refine

    probe = pd.DataFrame({c: pd.Series([], dtype=object) for c in ("STATIONID", "POINTID", "ITEMID")})
    probe["OBSVALUE"] = pd.Series([], dtype="float32")
    probe.index = pd.DatetimeIndex([], name="STARTDATE")
    try:
        refine.completeness(probe, freq)
    except (ValueError, TypeError) as exc:
        raise UserError(one_line(exc)) from None


def availability_target(text: str | None):
    if text is None:
        return None
    path = _writable_target(Path(text))
    if path.suffix.lower() not in (".csv", ".parquet"):
        raise UserError(f"unknown output type {path.suffix or '(none)'}: use .csv or .parquet")
    return path


def cmd_availability(args, progress: Progress, recorder: _Recorder) -> int:
    import json

    from kelvane import export, refine, tsdraw
    from kelvane.metastash import MetaStash

    given = [f"--{name}" for name in REQUEST_OPTIONS if getattr(args, name) is not None]
    if args.src is not None and given:
        raise UserError(f"give either SRC or a request ({', '.join(given)}), not both")
    if args.src is None:
        absent = [f"--{name}" for name in REQUEST_OPTIONS if getattr(args, name) is None]
        if absent or not args.db:
            need = (["--db"] if not args.db else []) + absent
            raise UserError("give SRC (a VELD file or a dataset folder) or a request; "
                            f"the request lacks {', '.join(need)}")
        if args.start > args.end:
            raise UserError(f"--start {args.start} is after --end {args.end}: the range holds no day")
    check_freq(args.freq)
    target = availability_target(args.output)
    drawing_format = figure_format(args.format) if args.figure else None

    source = Path(args.src) if args.src is not None else None
    if source is not None and not source.exists():
        raise UserError(f"no such file or dataset folder: {source}")
    if source is not None and source.is_dir() and not is_dataset_folder(source):
        raise UserError(f"{source} is not a dataset folder: it holds no _manifest.json")
    if source is not None and source.is_file():
        try:
            output_kind(source)
        except UserError:
            raise UserError(f"{source} is neither a VELD file (.parquet, .veld, .feather, .arrow, "
                            ".csv) nor a dataset folder") from None

    conn = None
    if args.db:
        if args.src is None:
            check_request_words(args.rate, args.library)
        conn = open_database(args.db, recorder)
    try:
        # the metadata of the figure's labels, checked before any work
        plotter = None
        if args.figure:
            metadata_dir = args.metadata_dir
            if conn is None and source is not None:
                if source.is_dir():
                    try:
                        manifest = json.loads((source / "_manifest.json").read_text(encoding="utf-8"))
                        alias = manifest["request"]["database"]
                    except (OSError, ValueError, KeyError, TypeError):
                        alias = None
                else:
                    alias = alias_of_file(source)
                if isinstance(alias, str) and alias:
                    metadata_dir = MetaStash.resolve_cache_dir(args.metadata_dir, alias)
            try:
                plotter = tsdraw.TSPlotter(conn=conn, metadata_dir=metadata_dir)
            except RuntimeError as exc:
                raise UserError(f"{exc} (run `kelvane refresh-metastash --db ALIAS` first, "
                                "or pass --db)") from None

        if source is None:
            progress.step(f"fetching {args.method} {args.rate} from {args.start} to {args.end}")
            data = fetch_table(conn, args, recorder)
        elif source.is_dir():
            data = str(source)
        else:
            data = read_table(source)
        progress.step(f"counting the samples of every series per {args.freq}")
        try:
            table = refine.completeness(data, args.freq)
        except (ValueError, TypeError) as exc:
            raise UserError(f"cannot count the samples of {args.src or 'the request'}: "
                            f"{one_line(exc)}") from None
    finally:
        if conn is not None and plotter is None:
            conn.close()

    try:
        if target is not None:
            try:
                if target.suffix.lower() == ".csv":
                    export._write_atomically(str(target), lambda where: table.to_csv(where, index=False))
                else:
                    export._write_atomically(str(target), lambda where: table.to_parquet(where, index=False))
            except OSError as exc:
                raise UserError(f"cannot write {target}: {exc.strerror or exc}") from None
            progress.step(f"{len(table)} rows written to {target}")
        else:
            sys.stdout.write(table.to_csv(index=False))
        if plotter is not None and len(table):
            saved = _SavedFigures()
            logger = logging.getLogger("plotting")
            logger.addHandler(saved)
            try:
                plotter.plot_availability(table, figure_format=drawing_format)
            finally:
                logger.removeHandler(saved)
            for name in dict.fromkeys(saved.names):
                print(Path("figures") / name, file=sys.stderr if target is None else sys.stdout)
    finally:
        if conn is not None and plotter is not None:
            conn.close()
    return 0


@contextlib.contextmanager
def metadata_cache_root(folder: Path):
    """The library's default metadata cache root is `folder` meanwhile, so
    that the lookups of a fetch write their cache there."""
    from kelvane.metastash import MetaStash

    original = MetaStash.__dict__["default_cache_dir"]
    MetaStash.default_cache_dir = classmethod(lambda cls: str(folder))
    try:
        yield
    finally:
        MetaStash.default_cache_dir = original


def cmd_demo(args, progress: Progress, recorder: _Recorder) -> int:
    import pandas as pd

    from kelvane import fetching, sandbox, tsdraw

    started = time.perf_counter()
    out = Path(args.out) if args.out else Path(f"kelvane-demo-{_dt.datetime.now():%Y%m%d-%H%M%S}")
    out = make_folder(out).resolve()
    end = pd.Timestamp.now().normalize()
    start = end - pd.Timedelta(days=30)
    s, e = f"{start:%Y%m%d}", f"{end:%Y%m%d}"

    progress.step(f"building the sample database in {out}")
    db_path = out / "sample.sqlite"
    sandbox.build(str(db_path), start=f"{end - pd.Timedelta(days=400):%Y%m%d}", end=e)
    catalogue = out / "catalogue.txt"
    sandbox.write_catalogue(str(catalogue), start=f"{start - pd.Timedelta(days=30):%Y%m%d}", end=e)

    conn = sandbox.connect(str(db_path), alias="sandbox")
    metadata_dir = out / "metastash"
    written = []
    try:
        with metadata_cache_root(metadata_dir):
            progress.step("fetching a month of minute water level and of hourly resistivity")
            fetching.refresh_metastash(conn, cache_dir=str(metadata_dir))
            water = fetching.fetching_data(conn, s, e, "水位", "全部", "分钟值", "预处理库")
            resist = fetching.fetching_data(conn, s, e, "直流单装置地电阻率", "全部", "小时值",
                                            "预处理库")
            if water is None or water.empty or resist is None or resist.empty:
                raise UserError("the sample database returned no data: "
                                + recorder.last("empty fetch"))

            progress.step("filtering spikes")
            water = filter_spikes(water)
            resist = filter_spikes(resist)

            progress.step("exporting VELD files")
            for name, df, rate in (("water_level_minute", water, 60),
                                   ("resistivity_hourly", resist, 3600)):
                path = out / f"{name}.parquet"
                write_table(conn, df, path, rate, recorder)
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
    print(f"  metadata cache    {metadata_dir.name}/")
    print(f"  water level       {len(water)} minute samples, "
          f"{water.groupby(['STATIONID', 'POINTID', 'ITEMID']).ngroups} series")
    print(f"  resistivity       {len(resist)} hourly samples, "
          f"{resist.groupby(['STATIONID', 'POINTID', 'ITEMID']).ngroups} series")
    for path in written:
        print(f"  {path.relative_to(out)}")
    return 0


def _dataset_folder(path: Path, what: str) -> Path:
    if path.exists() and not path.is_dir():
        raise UserError(f"{what} {path} exists and is not a folder")
    return path


def cmd_export_dataset(args, progress: Progress, recorder: _Recorder) -> int:
    from kelvane.fetching import DataFetcher

    if args.start > args.end:
        raise UserError(f"--start {args.start} is after --end {args.end}: the range holds no day")
    out = _dataset_folder(Path(args.out), "--out")
    check_request_words(args.rate, args.library)
    progress.step(f"connecting to {args.db}")
    conn = open_database(args.db, recorder)
    try:
        check_words(conn, args)
        with progress.bar(f"{args.method} {args.rate}", None, "chunk") as bar:
            def advance(done, total):
                bar.total = total
                bar.update(done - bar.n)

            try:
                summary = DataFetcher.export_dataset(
                    conn, str(out), args.start, args.end, args.method, args.station, args.rate,
                    args.library, item_name=args.item, gzip_flag=args.gzip, point_id=args.point,
                    chunk_days=args.chunk_days, progress=advance)
            except (ValueError, TypeError) as exc:  # a folder holding another dataset, ...
                raise UserError(one_line(exc)) from None
            except RuntimeError as exc:  # neither the database nor the metadata cache
                raise UserError(str(exc)) from None
            except Exception as exc:
                if not is_database_error(exc):
                    raise
                raise UserError(f"the database could not run the request: {one_line(exc)}") from None
    finally:
        conn.close()
    if summary is None:
        raise UserError("no data: " + recorder.last("the request matched no table"))
    whole = summary["dataset"]
    print(f"{summary['files']} files, {summary['rows']} rows, {summary['bytes']} bytes written to {out} "
          f"({summary['periods_complete']} periods were complete already)")
    print(f"the dataset holds {whole['files']} files, {whole['rows']} rows, {whole['bytes']} bytes")
    return 0


def cmd_filter_dataset(args, progress: Progress, recorder: _Recorder) -> int:
    from kelvane import refine

    src, dst = Path(args.src), _dataset_folder(Path(args.dst), "DST")
    if not (src / "_manifest.json").is_file():
        raise UserError(f"{src} is not a dataset written by `kelvane export-dataset` (no _manifest.json)")
    try:
        import distributed
    except ImportError:
        raise UserError('filter-dataset runs on Dask: pip install "kelvane[dask]"') from None
    client = None
    if args.scheduler:
        progress.step(f"connecting to the Dask scheduler at {args.scheduler}")
        try:
            client = distributed.Client(args.scheduler, timeout="10s")
        except (OSError, TimeoutError, ValueError) as exc:
            raise UserError(f"cannot reach the Dask scheduler at {args.scheduler}: {one_line(exc)}") from None
    try:
        progress.step(f"filtering {src} into {dst}")
        try:
            summary = refine.filter_dataset(str(src), str(dst), window_size=args.window,
                                            threshold_factor=args.threshold, client=client)
        except (ValueError, TypeError) as exc:
            raise UserError(one_line(exc)) from None
    finally:
        if client is not None:
            client.close()
    print(f"{summary['files']} files, {summary['rows']} rows, {summary['bytes']} bytes written to {dst}")
    return 0


# -- argument parsing -------------------------------------------------------------------


def _add_request_options(parser, required=True, note=""):
    """The options of a request, as fetch takes them; `note` opens each help text."""
    parser.add_argument("--start", required=required, type=_day, help=f"{note}first day, YYYYMMDD")
    parser.add_argument("--end", required=required, type=_day, help=f"{note}last day (included), YYYYMMDD")
    parser.add_argument("--method", required=required, help=f"{note}observation method, e.g. 水位")
    parser.add_argument("--station", required=required,
                        help=f"{note}station name or part of it; 全部 for all")
    parser.add_argument("--rate", required=required, help=f"{note}sample rate: {RATE_NAMES}")
    parser.add_argument("--library", required=required, help=f"{note}library: {LIBRARY_NAMES}")
    parser.add_argument("--item", default="全部", help=f"{note}item name; 全部 (default) for all")
    parser.add_argument("--point", default="", help=f"{note}measuring point code (default: all)")
    parser.add_argument("--gzip", action="store_true", help=f"{note}the strings are gzip-compressed")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Earthquake-precursor observation time series.")
    parser.add_argument("--quiet", action="store_true", help="no progress output")
    parser.add_argument("--verbose", action="store_true", help="also show the library's log lines")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    demo = sub.add_parser("demo", help="the whole job on a freshly built sample database")
    demo.add_argument("--out", help="folder for everything the demo writes, its metadata cache "
                                    "included (default: a new folder here)")
    demo.set_defaults(run=cmd_demo)

    fetch = sub.add_parser("fetch", help="fetch series and write VELD Parquet, Feather or CSV")
    fetch.add_argument("--db", required=True,
                       help="alias in default.conf, or sandbox[:PATH] for the sample database")
    _add_request_options(fetch)
    fetch.add_argument("-o", "--output", required=True, help="FILE.parquet, FILE.feather or FILE.csv")
    fetch.set_defaults(run=cmd_fetch)

    plot = sub.add_parser("plot", help="draw a table written by fetch")
    plot.add_argument("file", help="table to draw, as written by `kelvane fetch` (.parquet, .veld, "
                                   ".feather, .arrow or .csv); required")
    plot.add_argument("--groupby", choices=("item", "station"), default="item",
                      help="item: one figure per item, a subplot per station point; station: one "
                           "figure per station point, a subplot per item (default: item)")
    plot.add_argument("--catalogue", help="earthquake catalogue to overlay (default: none)")
    plot.add_argument("--catalogue-filter", action="append", type=_quake_rule, metavar="KM:MAG",
                      help="mark the earthquakes closer than KM with magnitude MAG or more; "
                           "repeat for more rules (default: 300:3.0)")
    plot.add_argument("--db", help="database for the metadata (default: the local cache of the "
                                   "database the file names, else the cache root)")
    plot.add_argument("--metadata-dir", help="metadata cache root (default ~/.kelv/metastash)")
    plot.add_argument("--out", default=".", help="folder that receives figures/ (default: here)")
    plot.add_argument("--prefix", default="", help="start of every figure file name")
    plot.add_argument("--fig-label", default="", help="text inserted into every figure file name")
    plot.add_argument("--format", default="png", help="figure file format (default png)")
    plot.add_argument("--show-mean", action="store_true", help="draw the mean line")
    plot.add_argument("--show-std", action="store_true", help="draw the ±kσ lines")
    plot.add_argument("--std-multiplier", type=float, default=2.0, metavar="K",
                      help="k of the ±kσ lines (default 2)")
    plot.add_argument("--no-key", action="store_true",
                      help="no key naming the statistics lines and earthquakes on each subplot")
    plot.add_argument("--start-time", help="draw from this time on (YYYYMMDD or YYYY-MM-DD HH:MM)")
    plot.add_argument("--end-time", help="draw up to this time (included)")
    plot.add_argument("--reindex", action="store_true",
                      help="put every series on a regular time grid, so gaps show")
    plot.add_argument("--daily-median", action="store_true",
                      help="draw one value per day, the daily median (--groupby station)")
    plot.add_argument("--rainfall", metavar="FILE",
                      help="rainfall table (OBSVALUE by time; .parquet, .feather or .csv) drawn "
                           "as bars under every figure (--groupby station)")
    plot.set_defaults(run=cmd_plot)

    export = sub.add_parser("export-dataset",
                            help="fetch a request of any length into a partitioned VELD Parquet dataset; "
                                 "run again to resume or to add later days")
    export.add_argument("--db", required=True,
                        help="alias in default.conf, or sandbox[:PATH] for the sample database")
    _add_request_options(export)
    export.add_argument("--out", required=True, help="folder of the dataset (new, or one this command wrote)")
    export.add_argument("--chunk-days", type=_positive, metavar="N",
                        help="days read per statement (default: from the rate, at most 86,400 samples "
                             "per series)")
    export.set_defaults(run=cmd_export_dataset)

    filt = sub.add_parser("filter-dataset",
                          help="the Hampel filter over every series of a dataset, on Dask")
    filt.add_argument("src", help="dataset written by export-dataset")
    filt.add_argument("dst", help="folder of the filtered dataset (same layout)")
    filt.add_argument("--window", type=_positive, default=15, metavar="N",
                      help="rolling window in samples (default 15)")
    filt.add_argument("--threshold", type=float, default=5.0, metavar="K",
                      help="replace samples further than K scaled MADs from the median (default 5)")
    filt.add_argument("--scheduler", metavar="ADDRESS",
                      help="address of a dask.distributed scheduler, e.g. tcp://10.0.0.5:8786 "
                           "(default: a cluster on this machine)")
    filt.set_defaults(run=cmd_filter_dataset)

    avail = sub.add_parser(
        "availability", help="completeness of every series per period, as a table and a figure")
    avail.add_argument("src", nargs="?",
                       help="VELD file (.parquet, .veld, .feather, .arrow or .csv) or dataset "
                            "folder; leave out and give a request (the options of fetch) instead")
    avail.add_argument("--db", help="alias in default.conf, or sandbox[:PATH]: the database of a "
                                    "request, and of the figure's labels")
    avail.add_argument("--freq", default="D",
                       help="period: a pandas alias of whole days or longer, e.g. D, W, MS, QS, YS "
                            "(default D)")
    avail.add_argument("-o", "--output",
                       help="TABLE.csv or TABLE.parquet (default: CSV on standard output)")
    avail.add_argument("--figure", action="store_true",
                       help="also draw the availability figure under ./figures/")
    avail.add_argument("--format", default="png", help="figure file format (default png)")
    avail.add_argument("--metadata-dir", help="metadata cache root (default ~/.kelv/metastash)")
    _add_request_options(avail, required=False, note="request: ")
    avail.set_defaults(run=cmd_availability)

    refresh = sub.add_parser("refresh-metastash", help="re-read the dictionary tables into the cache")
    refresh.add_argument("--db", required=True, help="alias in default.conf, or sandbox[:PATH]")
    refresh.add_argument("--metadata-dir", help="metadata cache root (default ~/.kelv/metastash)")
    refresh.set_defaults(run=cmd_refresh)
    return parser


def report(text: str) -> None:
    """The one error line on standard error."""
    print(f"{PROG}: error: " + " ".join(text.split("\n")), file=sys.stderr)


def main(argv=None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    progress = Progress(args.quiet)
    try:
        recorder = _configure_logging(args.verbose)
        return args.run(args, progress, recorder)
    except UserError as exc:
        report(str(exc))
        return 1
    except OSError as exc:  # a folder or file the system refused
        where = f": {exc.filename}" if exc.filename else ""
        report(f"{exc.strerror or exc}{where}")
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
