"""The availability figure read back from its drawn artists (rows, labels,
colours, pages, station groups, legibility of a large network) and the
`kelvane availability` command run as a user runs it."""

import matplotlib
import matplotlib.dates
import numpy as np
import pandas as pd
import pytest
from matplotlib.collections import QuadMesh

import drawn
from kelvane import fetching, refine, sandbox
from kelvane.tsdraw import TSPlotter

START, END = "20240101", "20240131"


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sample")
    db = sandbox.build(str(folder / "s.sqlite"), start=START, end=END, seed=3, extra_stations=3,
                       minute_days=0, second_days=0, raw_days=0, libraries=("DYU",), rates=("60",))
    conn = sandbox.connect(db, alias="sandbox")
    df = fetching.fetching_data(conn, START, END, "全部", "全部", "小时值", "预处理库")
    yield {"conn": conn, "db": db, "meta": str(folder / "meta"), "df": df}
    conn.close()


@pytest.fixture
def plotter(sample):
    return TSPlotter(sample["conn"], metadata_dir=sample["meta"])


@pytest.fixture
def pages(monkeypatch):
    """The figures saved, in order, as (file name, figure); saved at a low
    resolution."""
    original = TSPlotter._save_figure
    log = []

    def save(self, fig, filename, format="png", dpi=300):
        log.append((f"{filename}.{format}", fig))
        return original(self, fig, filename, format, dpi=40)

    monkeypatch.setattr(TSPlotter, "_save_figure", save)
    return log


def mesh_of(fig):
    (ax,) = [a for a in fig.axes if a.get_label() != "<colorbar>"]
    (mesh,) = [c for c in ax.collections if isinstance(c, QuadMesh)]
    return ax, mesh


def expected_labels(plotter, table):
    stations = plotter.stations_table.set_index("STATIONID").iloc[:, 0]
    items = plotter.items_table.set_index("ITEMID").iloc[:, 0]
    keys = table[["STATIONID", "POINTID", "ITEMID"]].drop_duplicates().sort_values(
        ["STATIONID", "POINTID", "ITEMID"])
    return [f"{stations.get(s, s)}/{p}/{items.get(i, i)}" for s, p, i in keys.itertuples(index=False)]


def test_rows_labels_and_colours_read_back(sample, plotter, pages):
    table = refine.completeness(sample["df"], "D")
    fig, axes = plotter.plot_availability(table, rows_per_figure=200)
    assert [name for name, _ in pages] == ["availability_1.png"]
    ax, mesh = mesh_of(fig)
    labels = [t.get_text() for t in ax.get_yticklabels()]
    assert labels == expected_labels(plotter, table)
    assert all("/" in label and not label.startswith("/") for label in labels)
    # one cell per series and day, coloured by its completeness on one scale
    grid = table.pivot_table(index=["STATIONID", "POINTID", "ITEMID"], columns="period",
                             values="completeness")
    cells = np.asarray(mesh.get_array()).reshape(grid.shape)
    np.testing.assert_allclose(cells, grid.to_numpy())
    fig.canvas.draw()
    colours = mesh.get_facecolors()
    want = matplotlib.colormaps["viridis"](grid.to_numpy().ravel())
    np.testing.assert_allclose(colours, want, atol=1e-6)
    assert (grid.to_numpy() < 1).any() and (grid.to_numpy() == 1).any()
    # the colour bar shows the same mapping, 0 to 100 %
    (bar,) = [a for a in fig.axes if a.get_label() == "<colorbar>"]
    assert mesh.norm.vmin == 0 and mesh.norm.vmax == 1
    assert bar.get_ylabel() == "数据完整率"
    assert (__import__("pathlib").Path("figures") / "availability_1.png").is_file()


def network(stations=50, points=2, items=5, days=365, seed=1):
    rng = np.random.default_rng(seed)
    keys = pd.DataFrame([(f"{s:05d}", str(p), f"{4100 + i}") for s in range(stations)
                         for p in range(points) for i in range(items)],
                        columns=["STATIONID", "POINTID", "ITEMID"])
    periods = pd.DataFrame({"period": pd.date_range("2025-01-01", periods=days, freq="D")})
    table = keys.merge(periods, how="cross")
    table["expected"] = 1440
    table["present"] = rng.integers(0, 1441, len(table))
    table["completeness"] = table["present"] / table["expected"]
    table["longest_gap_seconds"] = 0
    return table


def test_a_network_of_500_series_in_pages_grouped_by_station(plotter, pages):
    table = network(stations=50, points=2, items=5, days=30)   # 500 series, 10 per station
    plotter.plot_availability(table, rows_per_figure=64, figure_format="png")
    rows = []
    for k, (name, fig) in enumerate(pages, start=1):
        assert name == f"availability_{k}.png"
        ax, mesh = mesh_of(fig)
        labels = [t.get_text() for t in ax.get_yticklabels()]
        assert 0 < len(labels) <= 64
        # whole stations on every page
        stations = [label.split("/")[0] for label in labels]
        assert len(stations) % 10 == 0 and all(stations.count(s) == 10 for s in set(stations))
        # labels legible: no two row labels overlap
        renderer = drawn.renderer_of(fig)
        boxes = [t.get_window_extent(renderer) for t in ax.get_yticklabels()]
        assert all(a.y1 <= b.y0 + 0.5 or b.y1 <= a.y0 + 0.5
                   for a, b in zip(boxes, boxes[1:]))
        # station groups separated by a line
        assert len(ax.lines) == len(set(stations)) - 1
        rows += labels
    assert len(rows) == 500 and len(pages) == 9
    assert rows == expected_labels(plotter, table)


def test_a_station_longer_than_a_page_runs_over_pages(plotter, pages):
    table = network(stations=2, points=3, items=5, days=10)   # 15 series per station
    plotter.plot_availability(table, rows_per_figure=10, prefix="p_", fig_label="_x")
    sizes = [len(mesh_of(fig)[0].get_yticklabels()) for _, fig in pages]
    assert sizes == [10, 5, 10, 5]
    assert [name for name, _ in pages] == [f"p_availability_x_{k}.png" for k in range(1, 5)]


@pytest.mark.parametrize("freq, first, last", [
    ("D", "2024-01-01", "2024-05-01"),
    ("W", "2024-01-01", "2024-05-06"),       # weeks labelled by their Sunday
    ("MS", "2024-01-01", "2024-05-01"),
    ("ME", "2024-01-01", "2024-05-01"),      # months labelled by their last day
])
def test_cells_span_their_periods(plotter, pages, freq, first, last):
    times = pd.date_range("2024-01-01", "2024-04-30 23:00", freq="h")
    df = pd.DataFrame({"STATIONID": "37005", "POINTID": "1", "ITEMID": "4112",
                       "OBSVALUE": np.ones(len(times), dtype="float32")},
                      index=pd.DatetimeIndex(times, name="STARTDATE"))
    fig, _ = plotter.plot_availability(refine.completeness(df, freq))
    _, mesh = mesh_of(fig)
    edges = mesh.get_coordinates()[0, :, 0]
    assert matplotlib.dates.num2date(edges[0]).replace(tzinfo=None) == pd.Timestamp(first)
    assert matplotlib.dates.num2date(edges[-1]).replace(tzinfo=None) == pd.Timestamp(last)


@pytest.mark.parametrize("fmt", ["pdf", "svg"])
def test_vector_formats(plotter, fmt):
    from pathlib import Path

    plotter.plot_availability(network(stations=2, days=20), figure_format=fmt)
    assert Path(f"figures/availability_1.{fmt}").stat().st_size > 0


def test_bad_tables_draw_nothing(plotter, caplog):
    from pathlib import Path

    assert plotter.plot_availability(network(stations=1).iloc[:0]) == (None, None)
    with pytest.raises(ValueError, match="completeness"):
        plotter.plot_availability(network(stations=1).drop(columns="completeness"))
    with pytest.raises(ValueError, match="rows_per_figure"):
        plotter.plot_availability(network(stations=1), rows_per_figure=0)
    with pytest.raises(TypeError):
        plotter.plot_availability("table.csv")
    assert not Path("figures").exists() or not any(Path("figures").iterdir())


# --- the command line ---------------------------------------------------------------


def kelvane(run_python, home, cwd, *args):
    return run_python("import sys, kelvane.__main__ as m; sys.exit(m.main(sys.argv[1:]))",
                      home, cwd=cwd, args=[str(a) for a in args])


def one_error_line(result):
    assert result.returncode == 1
    lines = [line for line in result.stderr.splitlines() if line.strip()]
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("kelvane: error: ")
    return lines[0]


REQUEST = ["--start", START, "--end", END, "--method", "全部", "--station", "全部",
           "--rate", "小时值", "--library", "预处理库"]


def read_back(path):
    got = pd.read_csv(path, dtype={"STATIONID": str, "POINTID": str, "ITEMID": str},
                      parse_dates=["period"])
    return got


def test_command_on_a_file_a_dataset_and_a_request(run_python, tmp_path, sample):
    home = tmp_path / "h"
    home.mkdir()
    db = f"sandbox:{sample['db']}"
    want = refine.completeness(sample["df"], "W")

    r = kelvane(run_python, home, tmp_path, "availability", "--db", db, *REQUEST, "--freq", "W",
                "-o", tmp_path / "request.csv")
    assert r.returncode == 0, r.stderr
    pd.testing.assert_frame_equal(read_back(tmp_path / "request.csv"), want, check_dtype=False)

    r = kelvane(run_python, home, tmp_path, "fetch", "--db", db, *REQUEST, "-o", tmp_path / "t.parquet")
    assert r.returncode == 0, r.stderr
    r = kelvane(run_python, home, tmp_path, "availability", tmp_path / "t.parquet", "--freq", "W",
                "-o", tmp_path / "file.parquet")
    assert r.returncode == 0, r.stderr
    pd.testing.assert_frame_equal(pd.read_parquet(tmp_path / "file.parquet"), want, check_dtype=False)

    fetching.DataFetcher.export_dataset(sample["conn"], str(tmp_path / "ds"), START, END, "全部", "全部",
                                        "小时值", "预处理库")
    r = kelvane(run_python, home, tmp_path, "availability", tmp_path / "ds", "--freq", "W")
    assert r.returncode == 0, r.stderr
    from io import StringIO

    printed = pd.read_csv(StringIO(r.stdout), dtype={"STATIONID": str, "POINTID": str, "ITEMID": str},
                          parse_dates=["period"])
    pd.testing.assert_frame_equal(printed, want, check_dtype=False)


def test_command_draws_the_figure(run_python, tmp_path, sample):
    home = tmp_path / "h"
    home.mkdir()
    r = kelvane(run_python, home, tmp_path, "availability", "--db", f"sandbox:{sample['db']}", *REQUEST,
                "--figure", "-o", tmp_path / "a.csv")
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["figures/availability_1.png"]
    assert (tmp_path / "figures" / "availability_1.png").stat().st_size > 0


@pytest.fixture(scope="module")
def small_dataset(sample, tmp_path_factory):
    ds = tmp_path_factory.mktemp("small") / "ds"
    fetching.DataFetcher.export_dataset(sample["conn"], str(ds), START, "20240103", "全部", "全部",
                                        "小时值", "预处理库")
    return ds


@pytest.mark.parametrize("args, needle", [
    (["{ds}", "--freq", "X"], "unknown freq"),
    (["{ds}", "--freq", "h"], "shorter than a day"),
    (["{tmp}"], "not a dataset folder"),
    (["{tmp}/nothing"], "no such file or dataset folder"),
    (["{tmp}/notes.txt"], "neither a VELD file"),
    (["{ds}", "--start", START], "not both"),
    (["--db", "sandbox", "--start", START], "the request lacks"),
    (["{ds}", "-o", "{tmp}/out.xlsx"], "unknown output type"),
    (["{tmp}/bad.parquet"], "not a time-series table"),
])
def test_command_user_errors_write_nothing(run_python, tmp_path, sample, small_dataset, args, needle):
    home = tmp_path / "h"
    home.mkdir()
    ds = small_dataset
    (tmp_path / "notes.txt").write_text("x")
    pd.DataFrame({"a": [1]}).to_parquet(tmp_path / "bad.parquet")
    before = sorted(p.name for p in tmp_path.iterdir())
    filled = [a.format(ds=ds, tmp=tmp_path) for a in args]
    r = kelvane(run_python, home, tmp_path, "availability", *filled, "-o", tmp_path / "out.csv") \
        if "-o" not in args else kelvane(run_python, home, tmp_path, "availability", *filled)
    assert needle in one_error_line(r)
    assert sorted(p.name for p in tmp_path.iterdir()) == before
