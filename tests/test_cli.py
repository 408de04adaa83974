"""The command line, run as a user runs it: `python -m kelvane ...` in a child
process against the sample database."""

import json
import sys
from pathlib import Path

import pandas as pd
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


@pytest.mark.parametrize("suffix", [".feather", ".csv"])
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
    else:
        got = pd.read_feather(other)
        assert b"station_info" in __import__("pyarrow").feather.read_table(other).schema.metadata
        assert len(got) == len(ref)


@pytest.mark.parametrize("over, needle", [
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


def test_console_entry_point_is_declared():
    try:
        import tomllib
    except ModuleNotFoundError:  # Python 3.10
        import tomli as tomllib

    root = Path(__file__).resolve().parent.parent
    if not (root / "pyproject.toml").is_file():
        pytest.skip("not run from a source checkout")
    scripts = tomllib.loads((root / "pyproject.toml").read_text())["project"]["scripts"]
    assert scripts == {"kelvane": "kelvane.__main__:main"}
    import kelvane.__main__ as cli

    assert callable(cli.main)
    assert sys.modules["kelvane.__main__"] is cli
