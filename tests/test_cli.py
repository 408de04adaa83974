"""The command line, run as a user runs it: `python -m kelvane ...` in a child
process against the sample database."""

import json
import os
import re
import stat
import sys
import threading
from pathlib import Path

import pandas as pd
import pyarrow.feather as feather
import pyarrow.parquet as pq
import pytest

from kelvane import sandbox


@pytest.fixture(scope="module")
def sample_db(tmp_path_factory):
    """A small sample database shared by the tests of this module."""
    folder = tmp_path_factory.mktemp("cli-db")
    path = folder / "sample.sqlite"
    end = pd.Timestamp.now().normalize()
    sandbox.build(str(path), start=f"{end - pd.Timedelta(days=60):%Y%m%d}", end=f"{end:%Y%m%d}",
                  minute_days=5, second_days=1)
    return path


def window(days=3):
    end = pd.Timestamp.now().normalize()
    return f"{end - pd.Timedelta(days=days - 1):%Y%m%d}", f"{end:%Y%m%d}"


def kelvane(run_python, home, cwd, *args):
    return run_python("import sys, kelvane.__main__ as m; sys.exit(m.main(sys.argv[1:]))",
                      home, cwd=cwd, args=args)


def child_env(home):
    """Environment of a child interpreter running the kelvane under test."""
    import kelvane

    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTEST")}
    env["HOME"] = str(home)
    parent = str(Path(kelvane.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (parent, env.get("PYTHONPATH", "")) if p)
    return env


def fetch_args(db, out, **over):
    start, end = window()
    args = {"--db": f"sandbox:{db}", "--start": start, "--end": end, "--method": "水位",
            "--station": "全部", "--rate": "分钟值", "--library": "预处理库", "-o": str(out)}
    args.update(over)
    flat = ["fetch"]
    for k, v in args.items():
        if v is not None:
            flat += [k, v]
    return flat


def one_error_line(result):
    assert result.returncode != 0
    lines = [line for line in result.stderr.splitlines() if line.strip()]
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("kelvane: error: ")
    assert "Traceback" not in result.stderr
    return lines[0]


def test_fetch_writes_veld_parquet(run_python, tmp_path, sample_db):
    out = tmp_path / "water.parquet"
    r = kelvane(run_python, tmp_path, tmp_path, *fetch_args(sample_db, out))
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""  # no terminal: no progress output, no log lines
    table = pq.read_table(out)
    meta = table.schema.metadata
    assert meta[b"format_name"] == b"VELD"
    assert json.loads(meta[b"sampling_rate"]) == 60
    stations = {rec["STATIONID"] for rec in json.loads(meta[b"station_info"])}
    df = table.to_pandas()
    assert set(df["STATIONID"]) == stations
    assert df["OBSVALUE"].dtype == "float32"
    assert df.index.name == "STARTDATE" or "STARTDATE" in df.columns
    times = df.index if df.index.name == "STARTDATE" else df["STARTDATE"]
    start, end = window()
    assert times.min() >= pd.Timestamp(start)
    assert times.max() < pd.Timestamp(end) + pd.Timedelta(days=1)
    assert (times.to_series().diff().dropna() >= pd.Timedelta(0)).all()


MAGIC = {".parquet": b"PAR1", ".veld": b"PAR1", ".feather": b"ARROW1", ".arrow": b"ARROW1"}


@pytest.mark.parametrize("suffix", [".feather", ".arrow", ".veld", ".csv"])
def test_fetch_other_containers_round_trip(run_python, tmp_path, sample_db, suffix):
    parquet = tmp_path / "a.parquet"
    other = tmp_path / f"a{suffix}"
    assert kelvane(run_python, tmp_path, tmp_path, *fetch_args(sample_db, parquet)).returncode == 0
    r = kelvane(run_python, tmp_path, tmp_path, *fetch_args(sample_db, other))
    assert r.returncode == 0, r.stderr
    ref = pd.read_parquet(parquet)
    if suffix == ".csv":
        got = pd.read_csv(other, dtype={"STATIONID": str, "POINTID": str, "ITEMID": str})
        assert len(got) == len(ref)
        assert got["OBSVALUE"].astype("float32").equals(ref["OBSVALUE"].reset_index(drop=True))
        return
    content = other.read_bytes()
    assert content.startswith(MAGIC[suffix]) and content.endswith(MAGIC[suffix])
    if MAGIC[suffix] == b"PAR1":
        table = pq.read_table(other)
    else:
        table = feather.read_table(other)
    meta = table.schema.metadata
    assert b"station_info" in meta and json.loads(meta[b"kelvane_db_alias"]) == "sandbox"
    assert table.num_rows == len(ref)
    import kelvane.__main__ as cli

    assert cli.alias_of_file(other) == "sandbox"  # what plot reads to find the cache


def test_fetch_into_a_fifo_streams_it_and_keeps_the_fifo(run_python, tmp_path, sample_db):
    fifo = tmp_path / "out.csv"
    os.mkfifo(fifo)
    got = []

    def drain():
        with open(fifo, "rb") as f:
            got.append(f.read())

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    r = kelvane(run_python, tmp_path, tmp_path, *fetch_args(sample_db, fifo))
    reader.join(timeout=60)
    assert r.returncode == 0, r.stderr
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert got and got[0].startswith(b"STARTDATE,") and got[0].count(b"\n") > 100


SLOW_CSV = """
import sys, time
import pandas as pd
import kelvane.__main__ as m

plain = pd.DataFrame.to_csv

def slow_to_csv(self, where=None, *args, **kwargs):
    # the CSV text written a slice at a time, so that two runs overlap
    text = plain(self, None, *args, **kwargs)
    with open(where, "w", newline="") as f:
        for at in range(0, len(text), len(text) // 20 + 1):
            f.write(text[at:at + len(text) // 20 + 1])
            f.flush()
            time.sleep(0.03)

pd.DataFrame.to_csv = slow_to_csv
sys.exit(m.main(sys.argv[1:]))
"""


def test_two_fetches_into_one_file_at_once_leave_one_whole_file(tmp_path, sample_db):
    """Both succeed and the file is one complete write, never a mix."""
    import subprocess

    out = tmp_path / "out.csv"
    env = child_env(tmp_path)
    runs = [subprocess.Popen([sys.executable, "-c", SLOW_CSV, *fetch_args(sample_db, out)],
                             cwd=tmp_path, env=env, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
            for _ in range(2)]
    errors = [p.communicate(timeout=300)[1] for p in runs]
    assert [p.returncode for p in runs] == [0, 0], errors
    single = tmp_path / "single.csv"
    r = subprocess.run([sys.executable, "-c", SLOW_CSV, *fetch_args(sample_db, single)],
                       cwd=tmp_path, env=env, capture_output=True, timeout=300)
    assert r.returncode == 0, r.stderr
    assert out.read_bytes() == single.read_bytes()
    assert [p.name for p in tmp_path.iterdir() if "tmp" in p.name] == []


@pytest.mark.parametrize("over, needle", [
    ({"--station": "不存在"}, "the station word '不存在' matched no station"),
    ({"--item": "不存在"}, "the item word '不存在' matched no item"),
    ({"--start": window()[1], "--end": window()[0]}, "is after --end"),
    ({"--rate": "周值"}, "unknown sample rate"),
    ({"--library": "某库"}, "unknown library"),
    ({"--method": "不存在的方法"}, "no data"),
    ({"--db": "NOSUCHALIAS"}, "cannot connect to database 'NOSUCHALIAS'"),
    ({"--db": "sandbox:/nonexistent/x.sqlite"}, "no sample database"),
])
def test_fetch_user_errors(run_python, tmp_path, sample_db, over, needle):
    out = tmp_path / "x.parquet"
    r = kelvane(run_python, tmp_path, tmp_path, *fetch_args(sample_db, out, **over))
    assert needle in one_error_line(r)
    assert not out.exists()


def test_library_warnings_go_to_the_log_not_to_standard_error(run_python, tmp_path, sample_db):
    r = run_python("""
        import sys, warnings, kelvane.__main__ as m
        real = m.check_request_words
        def noisy(*args):
            warnings.warn("library noise", FutureWarning)
            return real(*args)
        m.check_request_words = noisy
        sys.exit(m.main(sys.argv[1:]))
    """, tmp_path, cwd=tmp_path, args=fetch_args(sample_db, tmp_path / "x.csv", **{"--rate": "周值"}))
    assert "unknown sample rate" in one_error_line(r)
    log = tmp_path / ".local" / "share" / "kelvane" / "logs" / "app.log"
    assert "library noise" in log.read_text()


def test_a_request_outside_the_sample_says_which_days_it_holds(run_python, tmp_path, sample_db):
    out = tmp_path / "x.csv"
    r = kelvane(run_python, tmp_path, tmp_path,
                *fetch_args(sample_db, out, **{"--start": "20100101", "--end": "20100105"}))
    line = one_error_line(r)
    found = re.search(r"no data for 水位 at 全部 from 20100101 to 20100105: the sample database "
                      r"holds 分钟值 rows from (\d{8}) to (\d{8}) only", line)
    assert found, line
    import sqlite3

    with sqlite3.connect(sample_db) as raw:
        info = dict(raw.execute("SELECT NAME, VALUE FROM QZ_SAMPLE_INFO"))
    last = pd.Timestamp(info["end"])
    assert found.group(2) == f"{last:%Y%m%d}"
    assert found.group(1) == f"{last - pd.Timedelta(days=4):%Y%m%d}"  # minute_days=5
    # daily values reach back further: the range held is the daily one
    r = kelvane(run_python, tmp_path, tmp_path,
                *fetch_args(sample_db, out, **{"--start": "20100101", "--end": "20100105",
                                               "--rate": "日均值"}))
    assert f"holds 日均值 rows from {last - pd.Timedelta(days=60):%Y%m%d} to" in one_error_line(r)
    assert not out.exists()


def test_fetch_unwritable_output_and_bad_arguments(run_python, tmp_path, sample_db):
    r = kelvane(run_python, tmp_path, tmp_path,
                *fetch_args(sample_db, tmp_path / "missing" / "x.parquet"))
    assert "does not exist" in one_error_line(r)
    r = kelvane(run_python, tmp_path, tmp_path, *fetch_args(sample_db, tmp_path / "x.txt"))
    assert "unknown output type" in one_error_line(r)
    r = kelvane(run_python, tmp_path, tmp_path, *fetch_args(sample_db, tmp_path / "x.csv",
                                                            **{"--start": "2020-01-01"}))
    assert r.returncode == 2 and "YYYYMMDD" in r.stderr and "Traceback" not in r.stderr


def test_plot_of_a_fetched_file(run_python, tmp_path, sample_db):
    data = tmp_path / "w.parquet"
    assert kelvane(run_python, tmp_path, tmp_path, *fetch_args(sample_db, data)).returncode == 0
    r = kelvane(run_python, tmp_path, tmp_path, "plot", str(data), "--db", f"sandbox:{sample_db}",
                "--groupby", "station", "--out", str(tmp_path / "figs"), "--show-mean")
    assert r.returncode == 0, r.stderr
    files = [Path(line) for line in r.stdout.splitlines()]
    assert files and all(f.suffix == ".png" and f.is_file() for f in files)
    assert all(f.parent == tmp_path / "figs" / "figures" for f in files)


def test_plot_and_refresh_errors(run_python, tmp_path, sample_db):
    r = kelvane(run_python, tmp_path, tmp_path, "plot", str(tmp_path / "none.parquet"))
    assert "no such file" in one_error_line(r)
    bad = tmp_path / "bad.parquet"
    pd.DataFrame({"a": [1]}).to_parquet(bad)
    r = kelvane(run_python, tmp_path, tmp_path, "plot", str(bad))
    assert "not a time-series table" in one_error_line(r)
    r = kelvane(run_python, tmp_path, tmp_path, "refresh-metastash", "--db", "NOSUCH")
    assert "cannot connect" in one_error_line(r)


SECRET = "S3cr3t-pw"


@pytest.mark.parametrize("content, needle", [
    (f"PASSWORD = {SECRET}\n[A]\nHOST = h\n".encode(), "default.conf, line 1: a line before"),
    (f"[A]\nHOST = h\nthis line holds {SECRET}\n".encode(), "default.conf, line 3: not a [section]"),
    (f"\ufeff[A]\nPASSWORD = {SECRET}\n".encode(), "byte-order mark"),
    (f"[A]\nHOST = 郯城\nPASSWORD = {SECRET}\n".encode("gbk"), "is not UTF-8 text"),
    (f"[A]\nPASSWORD = {SECRET}\n[A]\n".encode(), "section [A] appears twice"),
])
@pytest.mark.parametrize("where", ["working folder", "home"])
def test_an_unreadable_configuration_is_one_line_without_its_content(run_python, tmp_path, content,
                                                                     needle, where):
    conf = tmp_path / "default.conf" if where == "working folder" else tmp_path / ".kelv" / "default.conf"
    conf.parent.mkdir(exist_ok=True)
    conf.write_bytes(content)
    r = kelvane(run_python, tmp_path, tmp_path, "refresh-metastash", "--db", "A")
    line = one_error_line(r)
    assert line.startswith("kelvane: error: cannot read the database configuration: ")
    assert needle in line and SECRET not in r.stderr + r.stdout
    if where == "home" and "UTF-8" in needle:
        assert str(conf) in line


def test_plot_and_demo_argument_errors(run_python, tmp_path, sample_db):
    data = tmp_path / "w.parquet"
    assert kelvane(run_python, tmp_path, tmp_path, *fetch_args(sample_db, data)).returncode == 0
    for args, needle in [
        (("--format", "xyz"), "unknown figure format 'xyz'; known: "),
        (("--daily-median",), "--daily-median and --rainfall go with --groupby station"),
        (("--catalogue-filter", "200:3"), "--catalogue-filter needs --catalogue"),
        (("--start-time", "yesterday-ish"), "--start-time: not a time"),
        (("--start-time", "20240201", "--end-time", "20240101"), "is after --end-time"),
        (("--groupby", "station", "--rainfall", "none.csv"), "no such rainfall file"),
    ]:
        r = kelvane(run_python, tmp_path, tmp_path, "plot", str(data), *args)
        assert needle in one_error_line(r), args
    assert not (tmp_path / "figures").exists()
    r = kelvane(run_python, tmp_path, tmp_path, "plot", str(data), "--catalogue-filter", "200")
    assert r.returncode == 2 and "KM:MAG" in r.stderr and "Traceback" not in r.stderr
    taken = tmp_path / "taken"
    taken.write_text("a file")
    r = kelvane(run_python, tmp_path, tmp_path, "demo", "--out", str(taken))
    assert f"{taken} exists and is not a folder" in one_error_line(r)
    r = kelvane(run_python, tmp_path, tmp_path, "plot", str(data), "--out", str(taken))
    assert "exists and is not a folder" in one_error_line(r)
    assert taken.read_text() == "a file"


def test_the_readme_sequence_works_on_a_fresh_home(run_python, tmp_path, sample_db):
    """fetch, refresh-metastash, then plot without --db: the file names its
    database, whose cache plot reads."""
    home, work = tmp_path / "fresh-home", tmp_path / "w"
    home.mkdir()
    work.mkdir()
    r = kelvane(run_python, home, work, *fetch_args(sample_db, work / "water.parquet"))
    assert r.returncode == 0, r.stderr
    r = kelvane(run_python, home, work, "refresh-metastash", "--db", f"sandbox:{sample_db}")
    assert r.returncode == 0, r.stderr
    assert sorted(p.name for p in (home / ".kelv" / "metastash").iterdir()) == ["sandbox"]
    r = kelvane(run_python, home, work, "plot", "water.parquet", "--groupby", "station",
                "--show-mean")
    assert r.returncode == 0, r.stderr
    first = r.stdout.splitlines()
    assert first and all((work / line).is_file() for line in first)
    # again into the same folder: every figure is drawn again, and listed
    r = kelvane(run_python, home, work, "plot", "water.parquet", "--groupby", "station",
                "--show-mean")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == first
    # a table that names no database, without a cache at the root: what to do
    df = pd.read_parquet(work / "water.parquet")
    df.to_csv(work / "water.csv")
    r = kelvane(run_python, home, work, "plot", "water.csv")
    assert "kelvane refresh-metastash --db ALIAS" in one_error_line(r)


def test_plot_reports_an_unreadable_catalogue_and_still_draws(run_python, tmp_path, sample_db):
    data = tmp_path / "w.parquet"
    assert kelvane(run_python, tmp_path, tmp_path, *fetch_args(sample_db, data)).returncode == 0
    for catalogue, reason in ((data, "it is not utf-8 text"),
                              (tmp_path / "notes.txt", "no line in the catalogue format")):
        if catalogue.suffix == ".txt":
            catalogue.write_text("just some notes\nnothing else\n")
        r = kelvane(run_python, tmp_path, tmp_path, "plot", str(data), "--db",
                    f"sandbox:{sample_db}", "--catalogue", str(catalogue))
        line = one_error_line(r)
        assert f"cannot read catalogue {catalogue}: {reason}" in line
        assert line.endswith("the figures were drawn without earthquakes")
        assert r.stdout.splitlines() and all((tmp_path / f).is_file() for f in r.stdout.splitlines())


def test_plot_hands_its_options_to_the_plotter(tmp_path, monkeypatch, capsys):
    import logging

    import kelvane.__main__ as cli
    from kelvane import tsdraw

    idx = pd.date_range("2024-01-01", periods=48, freq="h", name="STARTDATE")
    data = tmp_path / "w.parquet"
    pd.DataFrame({"STATIONID": "37005", "POINTID": "1", "ITEMID": "4112",
                  "OBSVALUE": range(48)}, index=idx).to_parquet(data)
    rain = tmp_path / "rain.csv"
    pd.DataFrame({"OBSVALUE": [1.0, 0.0]},
                 index=pd.Index(["2024-01-01", "2024-01-02"], name="day")).to_csv(rain)
    catalogue = tmp_path / "kat.txt"
    sandbox.write_catalogue(str(catalogue), start="20231201", end="20240110", count=20)
    calls = []

    class Plotter:
        def __init__(self, conn=None, metadata_dir=None):
            calls.append(("init", conn, metadata_dir))

        def plot(self, ts, **kwargs):
            calls.append(("plot", len(ts), kwargs))
            logging.getLogger("plotting").info("Figure p_37005_1_v2.pdf has been saved to current folder.")
            return None, None

    monkeypatch.setattr(tsdraw, "TSPlotter", Plotter)
    monkeypatch.setattr(cli, "_configure_logging", lambda verbose: cli._Recorder())
    code = cli.main(["plot", str(data), "--groupby", "station", "--out", str(tmp_path / "o"),
                     "--metadata-dir", str(tmp_path / "cache"), "--prefix", "p_",
                     "--fig-label", "_v2", "--format", "pdf", "--show-std",
                     "--std-multiplier", "3", "--start-time", "20240101",
                     "--end-time", "2024-01-02 12:00", "--reindex", "--daily-median",
                     "--rainfall", str(rain), "--catalogue", str(catalogue),
                     "--catalogue-filter", "200:3", "--catalogue-filter", "500:5.5", "--no-key"])
    assert code == 0
    assert calls[0] == ("init", None, str(tmp_path / "cache"))
    _, rows, kwargs = calls[1]
    rainfall = kwargs.pop("rainfall")
    assert rows == 48
    assert kwargs == dict(groupby="station", prefix="p_", fig_label="_v2", show_mean=False,
                          show_std=True, std_multiplier=3.0, reindex=True, show_legend=False,
                          figure_format="pdf",
                          start_time=pd.Timestamp("2024-01-01"),
                          end_time=pd.Timestamp("2024-01-02 12:00"), daily_mean_values=True,
                          kat_dir=str(catalogue.resolve()),
                          kat_filters=[(200.0, 3.0), (500.0, 5.5)])
    assert list(rainfall["OBSVALUE"]) == [1.0, 0.0]
    assert list(rainfall.index) == [pd.Timestamp("2024-01-01"), pd.Timestamp("2024-01-02")]
    assert capsys.readouterr().out.splitlines() == [str(tmp_path / "o" / "figures" / "p_37005_1_v2.pdf")]

    # without the options: the plotter's own defaults, no catalogue
    calls.clear()
    assert cli.main(["plot", str(data), "--metadata-dir", str(tmp_path / "cache")]) == 0
    assert calls[1][2] == dict(groupby="item", prefix="", fig_label="", show_mean=False,
                               show_std=False, std_multiplier=2.0, reindex=False,
                               show_legend=True, figure_format="png", start_time=None,
                               end_time=None)


def test_plot_help_states_the_defaults(capsys):
    import kelvane.__main__ as cli

    with pytest.raises(SystemExit) as done:
        cli.build_parser().parse_args(["plot", "--help"])
    assert done.value.code == 0
    text = " ".join(capsys.readouterr().out.split())
    assert "file table to draw, as written by `kelvane fetch`" in text
    assert "(default: item)" in text
    for option in ("--catalogue-filter KM:MAG", "--std-multiplier K", "--start-time",
                   "--end-time", "--reindex", "--daily-median", "--rainfall FILE", "--fig-label",
                   "--no-key"):
        assert option in text


def test_refresh_metastash(run_python, tmp_path, sample_db):
    cache = tmp_path / "cache"
    r = kelvane(run_python, tmp_path, tmp_path, "refresh-metastash", "--db",
                f"sandbox:{sample_db}", "--metadata-dir", str(cache))
    assert r.returncode == 0, r.stderr
    keys = [line.split(":")[0] for line in r.stdout.splitlines()]
    assert keys == ["methods", "stations", "points", "items", "stationitems"]
    assert len(list(cache.rglob("*.parquet"))) == 5


def test_demo_end_to_end(run_python, tmp_path):
    out = tmp_path / "demo"
    r = run_python("import sys, kelvane.__main__ as m; sys.exit(m.main(sys.argv[1:]))",
                   tmp_path, cwd=tmp_path, args=("demo", "--out", str(out)), timeout=600)
    assert r.returncode == 0, r.stderr
    assert "kelvane demo finished" in r.stdout
    figures = sorted((out / "figures").glob("*.png"))
    assert any(f.name.startswith("water_") for f in figures)
    assert any(f.name.startswith("resistivity_") for f in figures)
    for name in ("water_level_minute.parquet", "resistivity_hourly.parquet"):
        table = pq.read_table(out / name)
        assert table.num_rows > 0
        assert table.schema.metadata[b"format_name"] == b"VELD"
    assert (out / "catalogue.txt").stat().st_size > 0
    # the demo's metadata cache is in its folder, nothing under the home
    assert sorted(p.name for p in (out / "metastash" / "sandbox").iterdir()) == [
        "items.parquet", "methods.parquet", "points.parquet", "stationitems.parquet",
        "stations.parquet"]
    assert not (tmp_path / ".kelv" / "metastash").exists()


def test_console_entry_point_is_declared(run_python, tmp_path):
    try:
        import tomllib
    except ImportError:  # Python 3.10
        tomllib = pytest.importorskip("tomli")

    root = Path(__file__).resolve().parent.parent
    if not (root / "pyproject.toml").is_file():
        pytest.skip("not run from a source checkout")
    scripts = tomllib.loads((root / "pyproject.toml").read_text())["project"]["scripts"]
    assert scripts == {"kelvane": "kelvane.__main__:main"}
    # the declared target, resolved as the console script resolves it, is the
    # command line: it answers --help with the kelvane usage and exit status 0
    module, _, function = scripts["kelvane"].partition(":")
    r = run_python(f"import sys, {module} as m; sys.exit(m.{function}(['--help']))", tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("usage: kelvane ") and "refresh-metastash" in r.stdout
    r = run_python("import runpy, sys; sys.argv = ['kelvane', 'demo', '--help']; "
                   "runpy.run_module('kelvane', run_name='__main__')", tmp_path)
    assert r.returncode == 0 and r.stdout.startswith("usage: kelvane demo"), r.stderr


# --- datasets -----------------------------------------------------------------------


def dataset_args(db, out, **over):
    args = fetch_args(db, out, **over)
    args[0] = "export-dataset"
    args[args.index("-o")] = "--out"
    return args


def listing(folder):
    return sorted(p.relative_to(folder).as_posix() for p in Path(folder).rglob("*")) if folder.exists() else []


def test_export_dataset_resumes_and_filter_dataset_cleans_it(run_python, tmp_path, sample_db):
    out = tmp_path / "ds"
    r = kelvane(run_python, tmp_path, tmp_path, *dataset_args(sample_db, out))
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""  # no terminal: no bar
    written = int(r.stdout.split()[0])
    files = [p for p in listing(out) if p.endswith(".parquet")]
    assert written == len(files) > 0 and all(p.startswith("station=") and "/period=" in p for p in files)
    again = kelvane(run_python, tmp_path, tmp_path, *dataset_args(sample_db, out))
    assert again.returncode == 0, again.stderr
    assert again.stdout.startswith("0 files, 0 rows") and f"holds {written} files" in again.stdout

    clean = tmp_path / "clean"
    r = kelvane(run_python, tmp_path, tmp_path, "filter-dataset", str(out), str(clean), "--window", "9",
                "--threshold", "4")
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith(f"{written} files,")
    assert [p for p in listing(clean) if p.endswith(".parquet")] == files
    manifest = json.loads((clean / "_manifest.json").read_text(encoding="utf-8"))
    assert manifest["filter"]["window_size"] == 9 and manifest["filter"]["threshold_factor"] == 4.0


def test_dataset_commands_report_one_line(run_python, tmp_path, sample_db):
    out = tmp_path / "ds"
    assert kelvane(run_python, tmp_path, tmp_path, *dataset_args(sample_db, out)).returncode == 0
    held = listing(out)
    a_file = tmp_path / "a_file"
    a_file.write_text("keep")
    start, end = window()
    cases = [
        (dataset_args(sample_db, a_file), "exists and is not a folder"),
        (dataset_args(sample_db, tmp_path / "new", **{"--start": end, "--end": start}), "is after --end"),
        (dataset_args(sample_db, out, **{"--method": "直流单装置地电阻率", "--rate": "小时值"}),
         "holds a dataset of another request"),
        (["filter-dataset", str(out), str(out)], "another folder than src"),
        (["filter-dataset", str(tmp_path / "none"), str(tmp_path / "new")], "no _manifest.json"),
        (["filter-dataset", str(out), str(a_file)], "exists and is not a folder"),
    ]
    for args, message in cases:
        line = one_error_line(kelvane(run_python, tmp_path, tmp_path, *args))
        assert message in line, line
    assert listing(out) == held and a_file.read_text() == "keep" and not (tmp_path / "new").exists()


def test_export_dataset_draws_a_bar_on_a_terminal_only(tmp_path, sample_db):
    import pty
    import subprocess

    def run(*extra):
        master, slave = pty.openpty()  # a terminal that reports no size
        args = dataset_args(sample_db, tmp_path / f"ds{len(extra)}", **{"--chunk-days": "1"})
        child = subprocess.Popen([sys.executable, "-m", "kelvane", *extra, *args], cwd=tmp_path,
                                 env=child_env(tmp_path), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=slave)
        os.close(slave)
        shown = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the child closed its end
                break
            if not chunk:
                break
            shown += chunk
        os.close(master)
        assert child.wait(timeout=120) == 0, shown
        return shown.decode()

    shown = run()
    assert "3/3" in shown and "chunk" in shown and "100%" in shown
    assert run("--quiet") == ""
