"""Bad-input sweep over the whole public API.

Every public function and method of every kelvane module is called with wrong
types, wrong shapes, empty tables, missing columns, huge and negative numbers,
NaN and None in each parameter position, one position at a time, the other
arguments holding sound values. Each call must end in a result or an ordinary
Python exception; a crash (segfault, abort), a hang, a SystemError (a native
function returning without a result or with an error set) or an exception
outside the Exception hierarchy is a fault.

The calls run in a child interpreter so that a crash is reported with the
offending call named instead of taking the test run down. After a crash the
child is started again behind the offending call, so one run lists every
crashing call.

Public names are found by introspection: a name that has no entry in SWEEP
fails the coverage test, so a new function cannot slip past the sweep.

Run by hand: python tests/test_bad_input_sweep.py --child [--only NAME]
"""

import datetime as dt
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import kelvane

THIS_FILE = Path(__file__).resolve()

MODULES = kelvane._MODULES

# Wall-clock limits: one call may take this long before it counts as a hang,
# and the whole sweep (all restarts together) this long.
CALL_LIMIT_S = 60.0
SWEEP_LIMIT_S = 900.0


# --------------------------------------------------------------------------
# Sound values ("good") that every parameter gets while another one is
# swept. They are factories: every call gets fresh objects, since some
# functions change their input in place.


def _pd():
    import pandas as pd

    return pd


def _np():
    import numpy as np

    return np


def daily_rows():
    """Unsplit daily rows as the fetcher reads them."""
    pd = _pd()
    return pd.DataFrame(
        {
            "STARTDATE": pd.to_datetime(["2020-01-02", "2020-01-01"]),
            "STATIONID": ["12001", "12001"],
            "POINTID": ["1", "1"],
            "ITEMID": ["4112", "4112"],
            "SAMPLERATE": ["01", "01"],
            "OBSVALUE": [" 1.5 NULL 2 ", "3  -4e2 inf"],
        }
    )


def series_table(n=48, items=("4112",), stations=("37005",)):
    """A split time-series table: one minute per row, a spike, a gap."""
    pd, np = _pd(), _np()
    frames = []
    for s in stations:
        for it in items:
            idx = pd.date_range("2020-01-01", periods=n, freq="min", name="STARTDATE")
            values = (10.0 + np.sin(np.arange(n) / 5.0)).astype("float32")
            values[n // 2] = 100.0
            values[3] = np.nan
            frames.append(
                pd.DataFrame(
                    {
                        "STATIONID": s,
                        "POINTID": "1",
                        "ITEMID": it,
                        "SAMPLERATE": "01",
                        "OBSVALUE": values,
                    },
                    index=idx,
                )
            )
    return pd.concat(frames)


def obs_series():
    return series_table()["OBSVALUE"].astype("float64")


def catalogue_table():
    pd = _pd()
    return pd.DataFrame(
        {
            "lon": [103.4, 116.0, float("nan")],
            "lat": [31.0, 40.0, 35.0],
            "magnitude": [8.0, 3.5, 4.0],
            "name": ["四川汶川", "北京", float("nan")],
        },
        index=pd.DatetimeIndex(
            ["2008-05-12 14:28:04", "2020-01-01 00:30:00", "NaT"], name="ind"
        ),
    )


CATALOGUE_LINES = (
    "20080512142804  31.00103.40  8.0       四川汶川\n"
    "20200101003000  40.00116.00  3.5       北京\n"
    "\n"
    "20201301000000  xx.xx116.00  \n"
)


def catalogue_file():
    path = Path("sweep_catalogue.txt")
    path.write_text(CATALOGUE_LINES, encoding="utf-8")
    return str(path)


def table_names():
    return _pd().DataFrame({"table_name": ["QZ_DYU_01_4112", "QZ_DYU_01_4113"]})


def id_table(column, values=("12001",)):
    return _pd().DataFrame({column: list(values)})


def metadata_tables():
    pd = _pd()
    return {
        "stations": pd.DataFrame({"STATIONID": ["12001"], "STATIONNAME": ["郯城"]}),
        "items": pd.DataFrame({"ITEMID": ["4112"], "ITEMNAME": ["水位"]}),
    }


_CONN = []


def connection():
    """A SQLAlchemy connection carrying the alias, as conn_to_Oracle gives one.

    The sample database when the package has it (small, built once per
    sweep), else a tiny hand-made QZDATA database."""
    if _CONN:
        return _CONN[0]
    conn = None
    try:
        from kelvane import sandbox
    except ImportError:
        sandbox = None
    if sandbox is not None and hasattr(sandbox, "connect"):
        conn = _sandbox_connection(sandbox)
    if conn is None:
        conn = _qzdb_connection()
    _CONN.append(conn)
    return conn


# A sample database small enough to build in a second or two: daily and
# hourly rows of two days, no minute or second rows.
SANDBOX_SMALL = dict(start="20200101", end="20200102", minute_days=0, second_days=0,
                     raw_days=None, rates=("90", "60"))


def _sandbox_connection(sandbox):
    path = Path(os.environ["HOME"]) / "sweep-sample.db"
    try:
        if not path.exists():
            sandbox.build(str(path), **SANDBOX_SMALL)
        return sandbox.connect(str(path), alias="sweep")
    except Exception as exc:  # a sandbox that cannot be built is swept itself
        print(f"sweep: sample database unavailable ({exc!r})", file=sys.stderr)
        return None


def _qzdb_connection():
    import qzdb

    path = Path(os.environ["HOME"]) / "sweep-qz.db"
    if not path.exists():
        day_a, day_b = qzdb.day("20200101"), qzdb.day("20200102")
        dictionary = {
            "QZ_DICT_METHODS": ("METHODID TEXT, METHODNAME TEXT", [("412", "水位"), ("321", "直流单装置地电阻率")]),
            "QZ_DICT_STATIONS": (
                "STATIONID TEXT, STATIONNAME TEXT, LONGITUDE REAL, LATITUDE REAL",
                [("37005", "郯城马陵山", 118.3, 34.6), ("370082", "泰安", 117.1, 36.2)],
            ),
            "QZ_DICT_STATIONPOINTS": (
                "STATIONID TEXT, POINTID TEXT, POINTNAME TEXT", [("37005", "1", "井1")]
            ),
            "QZ_DICT_ITEMS": (
                "ITEMID TEXT, ITEMNAME TEXT, UNIT TEXT",
                [("4121", "水位", "m"), ("3211", "地电阻率NS", "Ωm")],
            ),
            "QZ_DICT_STATIONITEMS": ("STATIONID TEXT, ITEMID TEXT", [("37005", "4121"), ("370082", "3211")]),
        }
        tables = {
            "QZ_412_DYU_90": (True, False, [("37005", "1", "4121", day_a, "4.5", 90.0),
                                            ("37005", "1", "4121", day_b, "NULLALL", 90.0)]),
            "QZ_412_DYU_60": (True, False, [("37005", "1", "4121", day_a, qzdb.packed(range(24)), 60.0)]),
            "QZ_321_DYU_60": (False, True, [("370082", "1", "3211", day_a, "1 NULL 3", None)]),
            "QZ_412_DLG_90": (True, False, []),
        }
        qzdb.create(path, dictionary, tables)
    return qzdb.connect(path, alias="sweep")


def _sandbox_file():
    connection()
    return str(Path(os.environ["HOME"]) / "sweep-sample.db")


def closed_connection():
    import sqlalchemy

    conn = sqlalchemy.create_engine("sqlite://").connect()
    conn.info["kelvane_db_alias"] = "closed"
    conn.close()
    return conn


# --------------------------------------------------------------------------
# Bad values. Each is (label, factory). GENERIC goes into every position; the
# pools by kind add what is wrong in a subtler way for that kind of parameter.


class _Weird:
    """An object whose every operation fails."""

    def __getattr__(self, name):
        raise RuntimeError(f"no {name}")

    def __len__(self):
        raise RuntimeError("no len")

    def __iter__(self):
        raise RuntimeError("no iter")

    def __str__(self):
        raise RuntimeError("no str")

    __repr__ = __str__

    def __float__(self):
        raise RuntimeError("no float")

    def __index__(self):
        raise RuntimeError("no index")


def _generator_failing():
    yield "stations"
    raise RuntimeError("iteration failed")


GENERIC = [
    ("None", lambda: None),
    ("nan", lambda: float("nan")),
    ("-1", lambda: -1),
    ("0", lambda: 0),
    ("2**64", lambda: 2**64),
    ("True", lambda: True),
    ("''", lambda: ""),
    ("'x'", lambda: "x"),
    ("bytes", lambda: b"\x00\xff"),
    ("[]", lambda: []),
    ("{}", lambda: {}),
    ("object()", lambda: object()),
    ("failing object", lambda: _Weird()),
    ("empty DataFrame", lambda: _pd().DataFrame()),
    ("2-D array", lambda: _np().zeros((2, 2))),
]


# The values of the shortest sweep: the absent value, a float where anything
# else is expected, an integer beyond every C++ type, and an object that
# fails whatever is asked of it.
TINY = ("None", "nan", "2**64", "failing object")


def _number_pool():
    np = _np()
    return [
        ("1.5", lambda: 1.5),
        ("inf", lambda: float("inf")),
        ("-2**63", lambda: -(2**63)),
        ("10**30", lambda: 10**30),
        ("-1e308", lambda: -1e308),
        ("-0.0", lambda: -0.0),
        ("denormal", lambda: 5e-324),
        ("1e308", lambda: 1e308),
        ("-inf", lambda: float("-inf")),
        ("float32 nan", lambda: np.float32("nan")),
        ("int64 min", lambda: np.int64(-(2**63))),
        ("2**31", lambda: 2**31),
        ("-2**31-1", lambda: -(2**31) - 1),
        ("2**63", lambda: 2**63),
        ("'60'", lambda: "60"),
        ("array [1, 2]", lambda: np.array([1, 2])),
        ("complex", lambda: 1j),
        ("Decimal nan", lambda: __import__("decimal").Decimal("nan")),
    ]


def _text_pool():
    return [
        ("NUL", lambda: "\x00"),
        ("全部", lambda: "全部"),
        ("long text", lambda: "a" * 100_000),
        ("blank", lambda: " "),
        ("NULL", lambda: "NULL"),
        ("format text", lambda: "%s%n{0}{}"),
        ("quote text", lambda: "x'; DROP TABLE t; --"),
        ("lone surrogate", lambda: "\ud800"),
        ("int", lambda: 123),
        ("float", lambda: 1.5),
        ("list of texts", lambda: ["水位", None, 1]),
    ]


def _date_pool():
    pd = _pd()
    return [
        ("month 13", lambda: "20201301"),
        ("9999 year", lambda: "99999999"),
        ("zeros", lambda: "00000000"),
        ("seven digits", lambda: "2020010"),
        ("ISO text", lambda: "2020-01-01"),
        ("Timestamp", lambda: pd.Timestamp("2020-01-01")),
        ("date", lambda: dt.date(2020, 1, 1)),
        ("far future", lambda: "29991231"),
        ("int date", lambda: 20200101),
        ("NaT", lambda: pd.NaT),
        ("inf", lambda: float("inf")),
    ]


def _path_pool():
    def binary_file():
        p = Path("sweep_binary.bin")
        p.write_bytes(bytes(range(256)) * 16)
        return str(p)

    def latin1_file():
        p = Path("sweep_latin1.txt")
        p.write_bytes("20080512142804  31.00103.40  8.0       caf\xe9\n".encode("latin-1"))
        return str(p)

    return [
        ("NUL in path", lambda: "a\x00b"),
        ("missing folder", lambda: "no/such/folder/file.txt"),
        ("folder", lambda: "."),
        ("binary file", binary_file),
        ("latin-1 file", latin1_file),
        ("Path", lambda: Path("sweep_path_object.out")),
        ("very long name", lambda: "n" * 5000),
        ("bytes path", lambda: b"sweep_bytes.out"),
    ]


def _table_pool(good):
    """Broken variants of a sound table."""
    pd, np = _pd(), _np()
    out = [
        ("0 rows", lambda: good().iloc[0:0]),
        ("Series", lambda: good().iloc[:, -1]),
        ("dict", lambda: good().to_dict()),
        ("numpy 2-D of object", lambda: good().to_numpy()),
        ("duplicate columns", lambda: pd.concat([good(), good()], axis=1)),
        (
            "MultiIndex columns",
            lambda: good().set_axis(
                pd.MultiIndex.from_tuples([(c, c) for c in good().columns]), axis=1
            ),
        ),
        ("reversed columns", lambda: good()[list(good().columns)[::-1]]),
        ("duplicated index", lambda: good().set_axis([0] * len(good()), axis=0)),
        ("integer index", lambda: good().reset_index(drop=True)),
        (
            "MultiIndex rows",
            lambda: good().set_axis(
                pd.MultiIndex.from_arrays([range(len(good())), range(len(good()))]), axis=0
            ),
        ),
        ("1000 empty rows", lambda: good().iloc[0:0].reindex(range(1_000))),
    ]
    for col in list(good().columns):
        out.append((f"without {col}", lambda c=col: good().drop(columns=[c])))
        out.append((f"{col} all None", lambda c=col: good().assign(**{c: None})))
        out.append((f"{col} all NaN", lambda c=col: good().assign(**{c: np.nan})))
        out.append((f"{col} ints", lambda c=col: good().assign(**{c: -(2**62)})))
        out.append((f"{col} bytes", lambda c=col: good().assign(**{c: b"\xff\x00"})))
        out.append(
            (
                f"{col} lists",
                lambda c=col: good().assign(**{c: [[1, 2]] * len(good())}),
            )
        )
        out.append(
            (
                f"{col} arrow text",
                lambda c=col: good().assign(
                    **{c: pd.array(["1 2", None] * (len(good()) // 2) + ["x"] * (len(good()) % 2),
                                   dtype="string[pyarrow]")}
                ),
            )
        )
        out.append(
            (
                f"{col} categorical",
                lambda c=col: good().assign(**{c: good()[c].astype("category")}),
            )
        )
    return out


def _series_pool():
    pd, np = _pd(), _np()
    return [
        ("empty Series", lambda: pd.Series([], dtype="float64")),
        ("object Series", lambda: pd.Series([1.0, None, "x", object()])),
        ("bool Series", lambda: pd.Series([True, False] * 10)),
        ("int64 extremes", lambda: pd.Series([-(2**63), 2**63 - 1] * 10)),
        (
            "nan/inf/denormal",
            lambda: pd.Series([np.nan, np.inf, -np.inf, 5e-324, -0.0, 1e308] * 5),
        ),
        ("all NaN", lambda: pd.Series([np.nan] * 40)),
        ("complex Series", lambda: pd.Series([1j, 2j] * 10)),
        ("datetime Series", lambda: pd.Series(pd.date_range("2020", periods=20))),
        ("float16 Series", lambda: pd.Series(np.ones(20, dtype="float16"))),
        ("nullable Float64", lambda: pd.Series([1.0, None] * 10, dtype="Float64")),
        ("list", lambda: [1.0, 2.0, float("nan")]),
        ("two-column table", lambda: pd.DataFrame({"a": [1.0], "OBSVALUE": ["x"]})),
        ("length 1", lambda: pd.Series([1.0])),
        ("Series of text", lambda: pd.Series(["a", None])),
    ]


def _array_pool():
    np = _np()

    def readonly():
        a = np.arange(20, dtype="float64")
        a.setflags(write=False)
        return a

    return [
        ("empty array", lambda: np.array([], dtype="float64")),
        ("0-d array", lambda: np.array(3.0)),
        ("3-D array", lambda: np.zeros((2, 2, 2))),
        ("object array", lambda: np.array([1.0, None, "x"], dtype=object)),
        ("text array", lambda: np.array(["1", "2"])),
        ("bool array", lambda: np.array([True, False])),
        ("int8 array", lambda: np.array([-128, 127], dtype="int8")),
        ("big-endian", lambda: np.arange(9, dtype=">f8")),
        ("strided view", lambda: np.arange(40, dtype="float64")[::3]),
        ("read-only", readonly),
        ("nan/inf/denormal", lambda: np.array([np.nan, np.inf, -np.inf, 5e-324, 0.0])),
        ("all NaN", lambda: np.full(15, np.nan)),
        ("float16", lambda: np.ones(15, dtype="float16")),
        ("complex", lambda: np.ones(15, dtype="complex128")),
        ("datetime64", lambda: np.arange(5).astype("datetime64[s]")),
        ("list", lambda: [1.0, float("nan"), 3.0]),
    ]


def _conn_pool():
    import sqlite3

    return [
        ("closed connection", closed_connection),
        ("sqlite3 connection", lambda: sqlite3.connect(":memory:")),
        ("SQLite URL text", lambda: "sqlite://"),
        ("engine", lambda: __import__("sqlalchemy").create_engine("sqlite://")),
    ]


def _mapping_pool():
    def deep():
        d = {}
        cur = d
        for _ in range(100_000):
            cur["k"] = {}
            cur = cur["k"]
        return d

    def cyclic():
        d = {"a": 1}
        d["self"] = d
        return d

    return [
        ("non-JSON value", lambda: {"a": object()}),
        ("int key", lambda: {1: 2}),
        ("nan value", lambda: {"a": float("nan")}),
        ("deep nesting", deep),
        ("cyclic", cyclic),
        ("list", lambda: [("a", 1)]),
        ("huge int", lambda: {"a": 10**400}),
        ("surrogate key", lambda: {"\ud800": 1}),
    ]


def _pairs_pool():
    return [
        ("one pair", lambda: (300, 3.0)),
        ("short tuple", lambda: (1,)),
        ("triple", lambda: (1, 2, 3)),
        ("text pair", lambda: [("a", "b")]),
        ("None pair", lambda: [[None, None]]),
        ("nan pair", lambda: (float("nan"), float("nan"))),
        ("out of range", lambda: (91.0, 181.0)),
        ("extremes", lambda: [(1e308, -1e308)]),
        ("nested", lambda: [[[1, 2]]]),
        ("generator", lambda: ((d, m) for d, m in [(100, 2)])),
    ]


def _bool_pool():
    np = _np()
    return [
        ("numpy bool", lambda: np.bool_(True)),
        ("2", lambda: 2),
        ("'False'", lambda: "False"),
        ("array of bools", lambda: np.array([True, False])),
    ]


def _iterable_pool():
    return [
        ("unknown key", lambda: ["no_such_table"]),
        ("text (iterable of letters)", lambda: "stations"),
        ("None inside", lambda: [None]),
        ("Series of text", lambda: _pd().Series(["stations", None])),
        ("failing generator", _generator_failing),
        ("numbers", lambda: [1, 2]),
    ]


def _timedelta_pool():
    pd, np = _pd(), _np()
    return [
        ("zero", lambda: pd.Timedelta(0)),
        ("negative", lambda: pd.Timedelta(seconds=-60)),
        ("NaT timedelta", lambda: pd.NaT),
        ("huge", lambda: dt.timedelta(days=999_999_999)),
        ("fraction", lambda: pd.Timedelta(microseconds=1)),
        ("numpy timedelta", lambda: np.timedelta64(60, "s")),
        ("float seconds", lambda: 60.0),
    ]


def _figure_pool():
    return [
        ("closed figure", _closed_figure),
        ("axes instead", lambda: _axes()),
    ]


def _figure():
    import matplotlib.pyplot as plt

    fig, _ = plt.subplots(figsize=(2, 1))
    return fig


def _closed_figure():
    import matplotlib.pyplot as plt

    fig = _figure()
    plt.close(fig)
    return fig


def _axes():
    import matplotlib.pyplot as plt

    _, ax = plt.subplots(figsize=(2, 1))
    return ax


POOLS = {
    "number": _number_pool,
    "text": _text_pool,
    "date": lambda: _date_pool() + _text_pool()[:4],
    "path": _path_pool,
    "series": _series_pool,
    "array": lambda: _array_pool() + _series_pool()[:3],
    "conn": _conn_pool,
    "mapping": _mapping_pool,
    "pairs": _pairs_pool,
    "bool": _bool_pool,
    "iterable": _iterable_pool,
    "timedelta": _timedelta_pool,
    "figure": _figure_pool,
    "any": list,
}


# --------------------------------------------------------------------------
# The sweep entries: one per public name, "module.Name" or
# "module.Class.method". P(name, good, kind) describes one parameter;
# `good` is a factory of a sound value; `kind` picks the extra bad values
# (a "table" kind takes broken variants of its own good table).


class P:
    def __init__(self, name, good, kind="any", kwonly=False, skip=()):
        self.name = name
        self.skip = skip  # labels of bad values not to pass here, each with its reason
        self.good = good
        self.kind = kind
        self.kwonly = kwonly


class Entry:
    """How to call one public name.

    params: the parameters in order; varkw: the function takes **kwargs;
    instance: factory of the object a method is called on; namespace: the
    name is a class of static methods (its constructor is swept with a few
    arguments only); quick: sweep with GENERIC values only (costly calls)."""

    def __init__(self, params=(), varkw=False, instance=None, namespace=False,
                 quick=False, tiny=False, baseline_raises=False, skip=()):
        self.params = list(params)
        self.tiny = tiny  # only TINY values: every accepted call draws a figure
        self.skip = skip  # calls of the fixed set not to make, each with its reason
        self.varkw = varkw
        self.instance = instance
        self.namespace = namespace
        self.quick = quick
        self.baseline_raises = baseline_raises


NS = Entry(namespace=True)
CACHE = P("cache_dir", lambda: "sweep-cache", "path")
NAMESPACE = P("namespace", lambda: "sweep", "text")
CONN = P("conn", connection, "conn")
TABLE_KEY = P("table_name", lambda: "stations", "text")


# A data request's words after the connection (fetch_data, iter_fetch,
# export_dataset).
REQUEST = [
            P("start_date", lambda: "20200101", "date"),
            P("end_date", lambda: "20200102", "date"),
            P("method_name", lambda: "水位", "text"),
            P("station_name", lambda: "全部", "text"),
            P("data_type", lambda: "日均值", "text"),
            P("base_type", lambda: "预处理库", "text"),
            P("item_name", lambda: "全部", "text"),
            P("gzip_flag", lambda: False, "bool"),
]
POINT = P("point_id", lambda: "", "text")


_PLOTTER = []


def _plotter():
    """One plotter for all method calls (building one reads the metadata)."""
    if not _PLOTTER:
        from kelvane import tsdraw

        _PLOTTER.append(tsdraw.TSPlotter(connection(), metadata_dir="sweep-cache"))
    return _PLOTTER[0]


def _completeness_table():
    from kelvane import refine

    return refine.completeness(series_table(n=6))


def _metastash_table():
    pd = _pd()
    return pd.DataFrame({"stationid": ["12001"], "stationname": ["郯城"]})


SWEEP = {
    # metastash: class methods of MetaStash
    "metastash.MetaStash": NS,
    "metastash.MetaStash.default_cache_dir": Entry(),
    "metastash.MetaStash.safe_namespace": Entry([NAMESPACE]),
    "metastash.MetaStash.infer_namespace": Entry([CONN]),
    "metastash.MetaStash.resolve_cache_dir": Entry([CACHE, NAMESPACE]),
    "metastash.MetaStash.cache_path": Entry([TABLE_KEY, CACHE, NAMESPACE]),
    "metastash.MetaStash.ensure_cache_dir": Entry([CACHE, NAMESPACE]),
    "metastash.MetaStash.normalize_columns": Entry([P("df", _metastash_table, "table")]),
    "metastash.MetaStash.save_table": Entry(
        [TABLE_KEY, P("df", _metastash_table, "table"), CACHE, NAMESPACE]
    ),
    "metastash.MetaStash.load_table": Entry([TABLE_KEY, CACHE, NAMESPACE], baseline_raises=True),
    "metastash.MetaStash.fetch_and_cache_table": Entry(
        [CONN, TABLE_KEY, CACHE, NAMESPACE], baseline_raises=True
    ),
    "metastash.MetaStash.refresh_cache": Entry(
        [CONN, CACHE, P("tables", lambda: ["stations"], "iterable"), NAMESPACE],
        baseline_raises=True,
    ),
    "metastash.MetaStash.get_table": Entry(
        [TABLE_KEY, CONN, CACHE, P("refresh", lambda: False, "bool"), NAMESPACE],
        baseline_raises=True,
    ),
    "metastash.MetaStash.get_timeseries_info": Entry(
        [CONN, CACHE, P("refresh", lambda: False, "bool"), NAMESPACE], baseline_raises=True
    ),
    # fetching
    "fetching.conn_to_Oracle": Entry([P("db", lambda: "NO_SUCH_ALIAS", "text")]),
    "fetching.DatabaseConnector": NS,
    "fetching.DatabaseConnector.connect_to_oracle": Entry([P("db", lambda: "NO_SUCH_ALIAS", "text")]),
    "fetching.DatabaseType": NS,
    "fetching.DatabaseType.get_id": Entry([P("db_type", lambda: "预处理库", "text")]),
    "fetching.SampleRateType": NS,
    "fetching.SampleRateType.get_config": Entry([P("rate_type", lambda: "分钟值", "text")]),
    "fetching.SampleRateType.get_rate_by_id": Entry([P("rate_id", lambda: "01", "text")]),
    "fetching.QueryBuilder": NS,
    "fetching.QueryBuilder.build_data_query": Entry(
        [
            P("table_names", table_names, "table"),
            P("start_date", lambda: "20200101", "date"),
            P("end_date", lambda: "20200131", "date"),
            P("station_ids", lambda: id_table("stationid"), "table"),
            P("item_ids", lambda: id_table("itemid", ["4112"]), "table"),
            P("point_id", lambda: "1", "text"),
        ]
    ),
    "fetching.QueryBuilder.build_dialog_query": Entry(
        [
            P("table_names", table_names, "table"),
            P("start_date", lambda: "20200101", "date"),
            P("end_date", lambda: "20200131", "date"),
            P("log_type", lambda: "313", "text"),
            P("station_ids", lambda: id_table("stationid"), "table"),
            P("item_ids", lambda: id_table("itemid", ["4112"]), "table"),
        ]
    ),
    "fetching.MetadataFetcher": NS,
    "fetching.MetadataFetcher.get_timeseries_info": Entry(
        [CONN, CACHE, P("refresh_cache", lambda: False, "bool")], baseline_raises=True
    ),
    "fetching.MetadataFetcher.get_method_ids": Entry(
        [CONN, P("method_name", lambda: "全部", "text"), CACHE], baseline_raises=True
    ),
    "fetching.MetadataFetcher.get_station_ids": Entry(
        [CONN, P("station_name", lambda: "郯城", "text"), CACHE], baseline_raises=True
    ),
    "fetching.MetadataFetcher.get_item_ids": Entry(
        [CONN, P("item_name", lambda: ["水位"], "text"), CACHE], baseline_raises=True
    ),
    "fetching.MetadataFetcher.get_table_names": Entry(
        [
            CONN,
            P("method_ids", lambda: id_table("methodid", ["412"]), "table"),
            P("base_type_id", lambda: "DYU", "text"),
            P("sample_rate_id", lambda: "90", "text"),
        ]
    ),
    "fetching.DataFetcher": NS,
    "fetching.DataFetcher.fetch_data": Entry(
        [
            CONN,
            *REQUEST,
            P("my_split_lines", lambda: True, "bool"),
            POINT,
        ],
        baseline_raises=True,
    ),
    "fetching.DataFetcher.fetch_dialog": Entry(
        [
            CONN,
            P("start_date", lambda: "20200101", "date"),
            P("end_date", lambda: "20200102", "date"),
            P("method_name", lambda: "全部", "text"),
            P("station_name", lambda: "全部", "text"),
            P("item_name", lambda: "全部", "text"),
            P("log_type", lambda: "313", "text"),
        ],
        baseline_raises=True,
    ),
    "fetching.DataFetcher.to_veld": Entry(
        [CONN, P("df", series_table, "table"), P("sampling_rate", lambda: 60, "number")],
        quick=True,
    ),
    "fetching.DataFetcher.export_veld": Entry(
        [
            CONN,
            P("df", series_table, "table"),
            P("file_path", lambda: "sweep.veld", "path"),
            P("sampling_rate", lambda: 60, "number"),
        ],
        quick=True,
    ),
    "fetching.DataFetcher.iter_fetch": Entry(
        [
            CONN,
            *REQUEST,
            POINT,
            P("chunk_days", lambda: 1, "number"),
        ],
        baseline_raises=True,
    ),
    "fetching.DataFetcher.export_dataset": Entry(
        [
            CONN,
            P("root", lambda: "sweep-dataset", "path"),
            *REQUEST,
            POINT,
            # the rate's own span: a date swept far back stays a few statements
            P("chunk_days", lambda: None, "number"),
            P("progress", lambda: None, kwonly=True),
        ],
        baseline_raises=True,
        quick=True,
    ),
    "fetching.timeseries_info": Entry(
        [CONN, CACHE, P("refresh_cache", lambda: False, "bool")], baseline_raises=True, quick=True
    ),
    "fetching.refresh_metastash": Entry(
        [CONN, CACHE, P("tables", lambda: ["stations"], "iterable")], baseline_raises=True
    ),
    "fetching.load_Oracle_data_daily": Entry(
        [
            CONN,
            P("period", lambda: 2, "number"),
            P("is_preprocessed", lambda: True, "bool"),
            P("item", lambda: "水位", "text"),
            P("datatype", lambda: "日均值", "text"),
            P("gzip_flag", lambda: False, "bool"),
        ],
        baseline_raises=True,
    ),
    "fetching.load_Oracle_data_resistivity_year": Entry(
        [CONN, P("date_0", lambda: "20200101", "date")], baseline_raises=True, quick=True
    ),
    "fetching.load_Oracle_data_water_year": Entry([CONN], baseline_raises=True),
    "fetching.fetching_data": Entry(
        [
            CONN,
            P("startdate", lambda: "20200101", "date"),
            P("enddate", lambda: "20200102", "date"),
            P("methodname", lambda: "水位", "text"),
            P("stationname", lambda: "全部", "text"),
            P("data_type", lambda: "日均值", "text"),
            P("base_type", lambda: "预处理库", "text"),
            P("itemname", lambda: "全部", "text"),
            P("gzip_flag", lambda: False, "bool"),
            P("my_split_lines", lambda: True, "bool"),
            P("pointid", lambda: "", "text"),
        ],
        baseline_raises=True,
        quick=True,
    ),
    "fetching.fetching_dialog": Entry(
        [
            CONN,
            P("startdate", lambda: "20200101", "date"),
            P("enddate", lambda: "20200102", "date"),
            P("methodname", lambda: "全部", "text"),
            P("stationname", lambda: "全部", "text"),
            P("itemname", lambda: "全部", "text"),
            P("log_type", lambda: "313", "text"),
        ],
        baseline_raises=True,
        quick=True,
    ),
    "fetching.to_veld": Entry(
        [CONN, P("df", series_table, "table"), P("sampling_rate", lambda: 60, "number")],
        quick=True,
    ),
    "fetching.export_veld": Entry(
        [
            CONN,
            P("df", series_table, "table"),
            P("file_path", lambda: "sweep.veld", "path"),
            P("sampling_rate", lambda: 60, "number"),
        ],
        quick=True,
    ),
    # cleaning
    "cleaning.split_lines": Entry(
        [P("df", daily_rows, "table"), P("sample_by_seconds", lambda: 60, "number")]
    ),
    # export
    "export.to_veld": Entry(
        [P("df", series_table, "table"), P("metadata", lambda: {"station": "12001"}, "mapping")]
    ),
    "export.export_veld": Entry(
        [
            P("df", series_table, "table"),
            P("file_path", lambda: "sweep.parquet", "path"),
            P("metadata", lambda: {"station": "12001"}, "mapping"),
        ]
    ),
    "export.export_to_feather": Entry(
        [
            P("df", series_table, "table"),
            P("file_path", lambda: "sweep.feather", "path"),
            P("metadata", lambda: {"station": "12001"}, "mapping"),
        ]
    ),
    # refine
    "refine.create_normalized_dates": Entry(
        [P("df", series_table, "table"), P("reference_year", lambda: 2024, "number")]
    ),
    "refine.resample_timeseries_data": Entry(
        [
            # resampling wants STARTDATE as a column, not the index
            P("df", lambda: series_table().reset_index(), "table"),
            P("freq", lambda: "h", "text"),
            P("agg_method", lambda: "median", "text"),
        ]
    ),
    "refine.fast_mad": Entry([P("x", lambda: _np().array([1.0, 2.0, 4.0, 8.0]), "array")]),
    "refine.filter_with_fast_mad": Entry(
        [
            P("df", series_table, "table"),
            P("window_size", lambda: 5, "number"),
            P("threshold_factor", lambda: 3.0, "number"),
        ]
    ),
    "refine.completeness": Entry(
        [
            P("data", series_table, "table"),
            P("freq", lambda: "D", "text"),
            P("client", lambda: None, "any"),
        ]
    ),
    # a dataset that is not there: the arguments are checked before any
    # cluster is reached
    "refine.filter_dataset": Entry(
        [
            P("src", lambda: "sweep-no-dataset", "path"),
            P("dst", lambda: "sweep-filtered", "path"),
            P("window_size", lambda: 5, "number"),
            P("threshold_factor", lambda: 3.0, "number"),
            P("client", lambda: None),
        ],
        baseline_raises=True,
        quick=True,
    ),
    # KAT
    "KAT.read_KAT": Entry(
        [P("kat_dir", catalogue_file, "path"), P("encoding", lambda: "utf-8", "text", kwonly=True)]
    ),
    "KAT.filtered_kats": Entry(
        [
            P("df", catalogue_table, "table"),
            P("station", lambda: (40.47, 115.94), "pairs"),
            P("filters", lambda: [(300, 3.0), (1000, 6.0)], "pairs"),
            P("default_magnitude", lambda: 3.0, "number"),
            P("default_distance", lambda: 300, "number"),
        ]
    ),
    # drawkit
    "drawkit.create_figures_folder": Entry(),
    "drawkit.calculate_stats": Entry(
        [
            P("df", series_table, "table"),
            P("column", lambda: "OBSVALUE", "text"),
            P("multiplier", lambda: 2.0, "number"),
        ]
    ),
    "drawkit.get_freq_str": Entry([P("timedelta", lambda: dt.timedelta(minutes=1), "timedelta")]),
    "drawkit.reindex_df_by_interval": Entry([P("df", series_table, "table")]),
    # sandbox. Sizes and date ranges stay small: a far end date or a huge
    # count builds a big database, which is slow but not wrong.
    "sandbox.build": Entry(
        [
            P("path", lambda: "sweep-build.db", "path"),
            P("start", lambda: "20200101", "text"),
            P("end", lambda: "20200102", "text"),
            P("seed", lambda: 0, "number"),
            P("stations", lambda: ["37005"], "iterable", kwonly=True),
            P("extra_stations", lambda: 0, "number", kwonly=True),
            P("minute_days", lambda: 0, "number", kwonly=True),
            P("second_days", lambda: 0, "number", kwonly=True),
            P("raw_days", lambda: None, "number", kwonly=True),
            P("libraries", lambda: ("DYU",), "iterable", kwonly=True),
            P("rates", lambda: ("90",), "iterable", kwonly=True),
        ],
        quick=True,
    ),
    "sandbox.default_path": Entry(),
    "sandbox.connect": Entry(
        [
            # None opens the default sample, building all of it first.
            P("path", lambda: _sandbox_file(), "path", skip=("None",)),
            P("alias", lambda: "sweep", "text"),
        ],
        skip=("no arguments",),
    ),
    "sandbox.write_catalogue": Entry(
        [
            P("path", lambda: "sweep-written.kat", "path"),
            P("start", lambda: "20200101", "text"),
            P("end", lambda: "20200201", "text"),
            P("seed", lambda: 0, "number"),
            P("count", lambda: 5, "number"),
            P("stations", lambda: ["37005"], "iterable", kwonly=True),
            P("extra_stations", lambda: 0, "number", kwonly=True),
        ],
        quick=True,
    ),
    # tsdraw
    "tsdraw.TSPlotter": Entry(
        [
            CONN,
            P("mean_color", lambda: "r", "text"),
            P("std_color", lambda: "gray", "text"),
            P("mean_linestyle", lambda: "--", "text"),
            P("std_linestyle", lambda: ":", "text"),
            P("mean_alpha", lambda: 0.7, "number"),
            P("std_alpha", lambda: 0.5, "number"),
            P("mean_linewidth", lambda: 1.0, "number"),
            P("std_linewidth", lambda: 1.0, "number"),
            P("metadata_dir", lambda: "sweep-cache", "path"),
            P("refresh_metadata", lambda: False, "bool"),
        ],
        quick=True,
    ),
    "tsdraw.TSPlotter.set_stats_style": Entry(
        [], varkw=True, instance=_plotter
    ),
    "tsdraw.TSPlotter.plot_by_items": Entry(
        [
            P("ts", lambda: series_table(n=6), "table"),
            P("prefix", lambda: "sweep", "text"),
            P("set_zero", lambda: True, "bool"),
            P("fig_label", lambda: "", "text"),
            P("number_of_subplots", lambda: 2, "number"),
            P("invert_y", lambda: False, "bool"),
            P("reindex", lambda: False, "bool"),
            P("fig_height", lambda: 1.0, "number"),
            P("plot_type", lambda: "line", "text"),
            P("plot_types", lambda: None, "iterable"),
            P("show_mean", lambda: True, "bool"),
            P("show_std", lambda: True, "bool"),
            P("std_multiplier", lambda: 2.0, "number"),
            P("annotations", lambda: None, "iterable"),
            P("figure_format", lambda: "svg", "text"),
            P("kat_dir", lambda: None, "path"),
            P("kat_filters", lambda: None, "pairs"),
            P("start_time", lambda: None, "date"),
            P("end_time", lambda: None, "date"),
            P("xlabel", lambda: "", "text"),
        ],
        varkw=True,
        instance=_plotter,
        tiny=True,
        baseline_raises=True,
    ),
    "tsdraw.TSPlotter.plot_by_stations": Entry(
        [
            P("ts", lambda: series_table(n=6), "table"),
            P("prefix", lambda: "sweep", "text"),
            P("set_zero", lambda: True, "bool"),
            P("fig_label", lambda: "", "text"),
            P("daily_mean_values", lambda: False, "bool"),
            P("invert_y", lambda: False, "bool"),
            P("figure_format", lambda: "svg", "text"),
            P("reindex", lambda: False, "bool"),
            P("fig_height", lambda: 1.0, "number"),
            P("rainfall", lambda: None, "table"),
            P("plot_type", lambda: "line", "text"),
            P("plot_types", lambda: None, "iterable"),
            P("show_mean", lambda: False, "bool"),
            P("show_std", lambda: False, "bool"),
            P("std_multiplier", lambda: 2.0, "number"),
            P("annotations", lambda: None, "iterable"),
            P("kat_dir", lambda: None, "path"),
            P("kat_filters", lambda: None, "pairs"),
            P("start_time", lambda: None, "date"),
            P("end_time", lambda: None, "date"),
            P("xlabel", lambda: "", "text"),
        ],
        varkw=True,
        instance=_plotter,
        tiny=True,
        baseline_raises=True,
    ),
    "tsdraw.TSPlotter.plot_availability": Entry(
        [
            P("table", _completeness_table, "table"),
            P("prefix", lambda: "sweep", "text"),
            P("fig_label", lambda: "", "text"),
            P("rows_per_figure", lambda: 5, "number"),
            P("figure_format", lambda: "png", "text"),
            P("cmap", lambda: "viridis", "text"),
        ],
        instance=_plotter,
        tiny=True,
    ),
    "tsdraw.TSPlotter.plot": Entry(
        [
            P("ts", lambda: series_table(n=6), "table"),
            P("groupby", lambda: "item", "text"),
            P("prefix", lambda: "sweep", "text"),
            P("fig_label", lambda: "", "text"),
            P("xlabel", lambda: "", "text"),
        ],
        varkw=True,
        instance=_plotter,
        tiny=True,
        baseline_raises=True,
    ),
}


# --------------------------------------------------------------------------
# Discovery of the public names.


def _own(obj, module_name):
    return getattr(obj, "__module__", None) == module_name


def public_names(module):
    """'module.Name' and 'module.Class.method' for every public callable that
    the module defines itself (imported helpers such as pd or create_engine
    are not its own)."""
    import inspect

    short = module.__name__.rsplit(".", 1)[-1]
    names = []
    for name in dir(module):
        if name.startswith("_"):
            continue
        obj = getattr(module, name)
        if inspect.ismodule(obj) or not callable(obj) or not _own(obj, module.__name__):
            continue
        names.append(f"{short}.{name}")
        if inspect.isclass(obj):
            for attr in dir(obj):
                if attr.startswith("_"):
                    continue
                if callable(getattr(obj, attr, None)) and not inspect.isclass(getattr(obj, attr)):
                    names.append(f"{short}.{name}.{attr}")
    return names


def import_modules():
    import importlib

    found = {}
    for short in MODULES:
        try:
            found[short] = importlib.import_module(f"kelvane.{short}")
        except ModuleNotFoundError as exc:
            if exc.name != f"kelvane.{short}":
                raise
    return found


def resolve(qualname, modules):
    parts = qualname.split(".")
    obj = modules.get(parts[0])
    for p in parts[1:]:
        if obj is None:
            return None
        obj = getattr(obj, p, None)
    return obj


# --------------------------------------------------------------------------
# The cases: (qualname, description, thunk). A thunk builds its arguments
# (fresh objects) and makes the call.


def cases(modules, only=None):
    if only == "selftest":
        return _selftest_cases()
    out = []
    for qualname, entry in SWEEP.items():
        if only and qualname != only and not qualname.startswith(only + "."):
            continue
        target = resolve(qualname, modules)
        if target is None:
            continue
        out.extend(_entry_cases(qualname, entry))
    return out


def _callee(qualname, entry):
    def get():
        modules = import_modules()
        obj = resolve(qualname, modules)
        if entry.instance is not None:
            return getattr(entry.instance(), qualname.rsplit(".", 1)[-1])
        return obj

    return get


def _entry_cases(qualname, entry):
    get = _callee(qualname, entry)
    out = []

    def add(desc, make_args, must_return=False):
        if desc in entry.skip:
            return

        def thunk():
            args, kwargs = make_args()
            return get()(*args, **kwargs)

        out.append((qualname, desc, thunk, must_return))

    if entry.namespace:
        add("()", lambda: ((), {}))
        add("(None)", lambda: ((None,), {}))
        add("(1, 'x', kw=[])", lambda: ((1, "x"), {"kw": []}))
        return out

    params = entry.params
    n_positional = sum(1 for p in params if not p.kwonly)

    def goods():
        return [p.good() for p in params]

    def call(values, by_keyword=False):
        """(args, kwargs) for values in parameter order; keyword-only
        parameters always go by keyword."""
        cut = 0 if by_keyword else n_positional
        return values[:cut], {p.name: v for p, v in zip(params[cut:], values[cut:])}

    # The sound call, by position and by keyword (the names are part of the
    # interface).
    add("sound arguments by position", lambda: call(goods()), not entry.baseline_raises)
    add("sound arguments by keyword", lambda: call(goods(), True), not entry.baseline_raises)
    # Wrong argument counts and names.
    add("one argument too many", lambda: (goods()[:n_positional] + [None], {}))
    if not entry.varkw:
        add("unknown keyword", lambda: (goods()[:n_positional], {"no_such_argument": 1}))
    else:
        add("unknown keyword None", lambda: (goods()[:n_positional], {"no_such_argument": None}))
        add("keyword NaN", lambda: (goods()[:n_positional], {"alpha": float("nan")}))
    if params:
        add("no arguments", lambda: ((), {}))
    if n_positional:
        add("first argument twice", lambda: (goods()[:n_positional], {params[0].name: params[0].good()}))

    for i, p in enumerate(params):
        pool = [v for v in GENERIC if v[0] in TINY] if entry.tiny else list(GENERIC)
        if not (entry.quick or entry.tiny):
            if p.kind == "table":
                pool += _table_pool(p.good) if p.good() is not None else []
            else:
                pool += POOLS[p.kind]()
        for label, make in pool:
            if label in p.skip:
                continue

            def make_args(i=i, make=make):
                values = goods()
                values[i] = make()
                return call(values)

            add(f"{p.name}={label}", make_args)
            # The same value by keyword reaches the same code through a
            # different door in the bindings.
            if label in ("None", "2**64") and not p.kwonly:
                def make_kwargs(i=i, make=make):
                    values = goods()
                    values[i] = make()
                    return call(values, True)

                add(f"{p.name}={label} by keyword", make_kwargs)
    return out


# --------------------------------------------------------------------------
# The child: runs cases[start:], writing the index and name of each call to
# the progress file before making it.


def _touch_result(result):
    """Look at a result the way a notebook would: its shape, its text."""
    import pandas as pd

    if isinstance(result, (pd.DataFrame, pd.Series)):
        _ = result.shape
        repr(result.head(3))
    elif isinstance(result, tuple):
        for r in result[:4]:
            _touch_result(r)
    else:
        try:
            text = repr(result)
        except Exception:
            return
        _ = len(text)


def _closed_standard_streams():
    """Standard streams (fds 0-2) that a call closed; each is opened again on
    /dev/null so the sweep goes on."""
    closed = []
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            closed.append(fd)
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
    return closed


def run_child(start, progress_path, report_path, only=None):
    import gc
    import resource
    import warnings

    # Keep a huge allocation from taking the machine: it becomes MemoryError.
    limit = 6 * 1024**3
    try:
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    except (ValueError, OSError):
        pass
    warnings.simplefilter("ignore")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    modules = import_modules()
    all_cases = cases(modules, only)
    counts = {}
    faults = []
    slowest = []
    per_name = {}
    with open(progress_path, "a", encoding="utf-8") as progress:
        progress.write(f"total {len(all_cases)}\n")
        progress.flush()
        for index in range(start, len(all_cases)):
            qualname, desc, thunk, must_return = all_cases[index]
            progress.write(f"call {index} {qualname}({desc})\n")
            progress.flush()
            began = time.monotonic()
            outcome = "result"
            try:
                result = thunk()
                _touch_result(result)
                del result
            except Exception as exc:
                outcome = type(exc).__name__
                if isinstance(exc, SystemError):
                    faults.append(f"{qualname}({desc}): SystemError: {exc}")
                elif must_return:
                    faults.append(
                        f"{qualname}({desc}) raised {outcome}: {exc!s:.300}"
                        " (the sweep entry's sound arguments no longer fit the interface?)"
                    )
            except BaseException as exc:  # noqa: B036 - that is the fault
                faults.append(f"{qualname}({desc}): {type(exc).__name__} escaped: {exc!s:.300}")
                outcome = type(exc).__name__
            took = time.monotonic() - began
            for fd in _closed_standard_streams():
                faults.append(f"{qualname}({desc}): closed the process's file descriptor {fd}")
            slowest.append((took, f"{qualname}({desc})"))
            per_name[qualname] = per_name.get(qualname, 0.0) + took
            if took > CALL_LIMIT_S:
                faults.append(f"{qualname}({desc}): took {took:.1f} s")
            key = qualname.split(".")[0]
            counts.setdefault(key, {}).setdefault(outcome, 0)
            counts[key][outcome] += 1
            if index % 50 == 0:
                plt.close("all")
                gc.collect()
        progress.write("done\n")
        progress.flush()
    plt.close("all")
    gc.collect()
    with open(report_path, "w", encoding="utf-8") as f:
        json.dump({"counts": counts, "faults": faults,
                   "slowest": sorted(slowest, reverse=True)[:15],
                   "time_by_name": sorted(((round(t, 2), n) for n, t in per_name.items()),
                                          reverse=True)}, f)


# --------------------------------------------------------------------------
# The parent: runs the child, restarts it behind each crash, and collects.


def run_sweep(tmp, env, only=None, limit_s=SWEEP_LIMIT_S, max_crashes=20):
    """Returns (calls, counts, faults)."""
    start = 0
    crashes = []
    faults = []
    counts = {}
    total = None
    deadline = time.monotonic() + limit_s
    run = 0
    while True:
        run += 1
        progress = Path(tmp) / f"progress-{run}.txt"
        report = Path(tmp) / f"report-{run}.json"
        work = Path(tmp) / f"work-{run}"
        work.mkdir()
        cmd = [sys.executable, str(THIS_FILE), "--child", "--start", str(start),
               "--progress", str(progress), "--report", str(report)]
        if only:
            cmd += ["--only", only]
        timed_out = False
        try:
            proc = subprocess.run(cmd, cwd=work, env=env, capture_output=True, text=True,
                                  timeout=max(1.0, deadline - time.monotonic()),
                                  stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired as exc:
            timed_out = True
            proc = exc
        lines = progress.read_text(encoding="utf-8").splitlines() if progress.exists() else []
        for line in lines:
            if line.startswith("total "):
                total = int(line.split()[1])
        last = next((ln for ln in reversed(lines) if ln.startswith("call ")), None)
        if report.exists() and not timed_out and proc.returncode == 0:
            data = json.loads(report.read_text(encoding="utf-8"))
            faults.extend(data["faults"])
            for mod, outcomes in data["counts"].items():
                for k, v in outcomes.items():
                    counts.setdefault(mod, {}).setdefault(k, 0)
                    counts[mod][k] += v
            break
        stderr = (proc.stderr or "") if isinstance(proc.stderr, str) else ""
        if timed_out:
            crashes.append(f"hang or sweep time limit ({limit_s:.0f} s) in: {last}")
            break
        if last is None:
            raise AssertionError(
                f"the sweep child failed before its first call (exit {proc.returncode}):\n"
                f"{stderr[-3000:]}"
            )
        index = int(last.split()[1])
        crashes.append(
            f"crash (exit {proc.returncode}) in {last.split(' ', 2)[2]}\n"
            + "\n".join("    " + ln for ln in stderr.strip().splitlines()[-12:])
        )
        if len(crashes) >= max_crashes:
            break
        start = index + 1
    return total, counts, crashes + faults


def child_env(home):
    import kelvane

    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTEST")}
    env["HOME"] = str(home)
    env["MPLBACKEND"] = "Agg"
    env["PYTHONFAULTHANDLER"] = "1"
    package_parent = str(Path(kelvane.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (package_parent, os.environ.get("PYTHONPATH", "")) if p
    )
    return env


# --------------------------------------------------------------------------
# The tests.


def test_every_public_name_has_a_sweep_entry():
    modules = import_modules()
    assert "fetching" in modules and "logsetup" in modules
    missing = [n for m in modules.values() for n in public_names(m) if n not in SWEEP]
    assert not missing, (
        "public names without an entry in SWEEP of tests/test_bad_input_sweep.py "
        f"(add one with the parameters and sound values): {missing}"
    )
    # Entries whose parameters are known must give every parameter a sound
    # value that the pool of its kind knows.
    for qualname, entry in SWEEP.items():
        for p in entry.params:
            assert p.kind == "table" or p.kind in POOLS, (qualname, p.name, p.kind)


def test_sweep_discovers_class_methods_and_skips_imports():
    modules = import_modules()
    names = public_names(modules["fetching"])
    assert "fetching.conn_to_Oracle" in names
    assert "fetching.QueryBuilder.build_data_query" in names
    assert not [n for n in names if n.split(".")[1] in ("pd", "create_engine", "text", "logger")]


def test_sweep_reports_a_crashing_call_by_name(tmp_path):
    """The harness itself: a call that kills the interpreter is reported with
    its name, and the sweep goes on behind it."""
    env = child_env(tmp_path)
    total, counts, faults = run_sweep(tmp_path, env, only="selftest", limit_s=60)
    assert total == 4
    crash = [f for f in faults if f.startswith("crash")]
    assert len(crash) == 2, faults
    assert "selftest.segfault(null read)" in crash[0]
    assert "selftest.abort(abort)" in crash[1]
    assert any("selftest.escape" in f and "KeyboardInterrupt escaped" in f for f in faults), faults
    # The call behind the crashes still ran.
    assert counts["selftest"].get("ValueError") == 1


def test_bad_input_sweep_never_crashes(tmp_path):
    (tmp_path / "home").mkdir(exist_ok=True)
    env = child_env(tmp_path / "home")
    total, counts, faults = run_sweep(tmp_path, env)
    assert total and total > 100, total
    ran = sum(v for outcomes in counts.values() for v in outcomes.values())
    summary = ", ".join(f"{m}: {sum(o.values())} calls" for m, o in sorted(counts.items()))
    assert not faults, f"{len(faults)} fault(s) in {ran} calls ({summary}):\n" + "\n".join(faults)
    assert ran == total, (ran, total)


# --------------------------------------------------------------------------
# Calls that only the harness test uses: they fail in each of the ways the
# sweep must notice.


def _selftest_cases():
    import ctypes

    def segfault():
        ctypes.string_at(0)

    def escape():
        raise KeyboardInterrupt("stands for any exception outside Exception")

    def value_error():
        raise ValueError("an ordinary exception is a fine outcome")

    calls = [("segfault", "null read", segfault), ("abort", "abort", os.abort),
             ("escape", "BaseException", escape), ("value_error", "raise", value_error)]
    return [(f"selftest.{name}", desc, fn, False) for name, desc, fn in calls]


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser()
    parser.add_argument("--child", action="store_true")
    parser.add_argument("--start", type=int, default=0)
    parser.add_argument("--progress", default="sweep-progress.txt")
    parser.add_argument("--report", default="sweep-report.json")
    parser.add_argument("--only")
    a = parser.parse_args()
    if a.child:
        run_child(a.start, a.progress, a.report, a.only)
        report = json.loads(Path(a.report).read_text(encoding="utf-8"))
        print(json.dumps(report, ensure_ascii=False, indent=1))
