"""TSPlotter: construction, series preparation, axis decorations, saving and
both layouts, inspected through the figures and axes they return."""

import logging
import os
import sys
import types
import warnings
from pathlib import Path

import matplotlib.dates as mdates
import matplotlib.figure
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from matplotlib.collections import LineCollection, PathCollection
from matplotlib.container import StemContainer

import drawn
from kelvane import KAT, drawkit, fetching, tsdraw
from kelvane.tsdraw import TSPlotter

STATIONS = pd.DataFrame({
    "STATIONID": ["37001", "37002", "37003"],
    "STATIONNAME": ["泰安", "郯城", "临沂"],
    "LONGITUDE": [117.1, 118.3, 118.4],
    "LATITUDE": [36.2, 34.6, 35.1],
})
POINTS = pd.DataFrame({"STATIONID": ["37001"], "POINTID": ["1"], "POINTNAME": ["井1"]})
ITEMS = pd.DataFrame({
    "ITEMID": ["4112", "3211", "3212", "3128", "999999", "3215", "3216", "A1", "B2"],
    "ITEMNAME": ["水位", "地电阻率NS", "地电阻率EW", "气压", "其他", "雨量", "雨量2",
                 "甲", "乙"],
    "UNIT": ["m", "10-10", "ms", "hPa", "", "mm", "mm", "10-9", None],
})


@pytest.fixture
def metadata(monkeypatch):
    """fetching.timeseries_info answering with generated dictionary tables;
    records its calls."""
    calls = []

    def fake(conn=None, cache_dir=None, refresh_cache=False):
        calls.append((conn, cache_dir, refresh_cache))
        return STATIONS.copy(), POINTS.copy(), ITEMS.copy()

    monkeypatch.setattr(fetching, "timeseries_info", fake, raising=False)
    return calls


@pytest.fixture
def plotter(metadata):
    return TSPlotter()


@pytest.fixture
def quick_save(monkeypatch):
    """Layout tests save at a low resolution; what was drawn is inspected on
    the returned axes. Records the file names saved."""
    original = TSPlotter._save_figure
    saved = []

    def save(self, fig, filename, format="png", dpi=300):
        saved.append(filename)
        return original(self, fig, filename, format, 30)

    monkeypatch.setattr(TSPlotter, "_save_figure", save)
    return saved


def series_table(pairs, items, start="2020-01-01", periods=48, freq="h", rate="60", seed=0):
    """Time-series table: one series per (station, point) pair and item."""
    rng = np.random.default_rng(seed)
    idx = pd.date_range(start, periods=periods, freq=freq, name="STARTDATE")
    parts = []
    for station, point in pairs:
        for item in items:
            values = (100 + np.cumsum(rng.normal(size=periods))).astype("float32")
            parts.append(pd.DataFrame({"STATIONID": station, "POINTID": point,
                                       "ITEMID": item, "SAMPLERATE": rate,
                                       "OBSVALUE": values}, index=idx))
    return pd.concat(parts)


def warnings_of(caplog, level=logging.WARNING):
    return [r.getMessage() for r in caplog.records if r.name == "plotting" and r.levelno == level]


def drawn_values(ax):
    """y values of the first data line of an axes."""
    return np.asarray(ax.get_lines()[0].get_ydata(), dtype=float)


# --- construction and style -------------------------------------------------


def test_default_construction(metadata):
    p = TSPlotter()
    assert metadata == [(None, None, False)]
    assert p.conn is None
    assert p.stations_table.equals(STATIONS)
    assert p.points_table.equals(POINTS)
    assert p.items_table.equals(ITEMS)
    assert p.stats_style == {
        "mean_color": "r", "std_color": "gray", "mean_linestyle": "--",
        "std_linestyle": ":", "mean_alpha": 0.7, "std_alpha": 0.5,
        "mean_linewidth": 1.0, "std_linewidth": 1.0}
    # in the order of the constructor's parameters
    assert list(p.stats_style) == ["mean_color", "std_color", "mean_linestyle", "std_linestyle",
                                   "mean_alpha", "std_alpha", "mean_linewidth", "std_linewidth"]
    assert TSPlotter.__doc__ == "时间序列绘图类，提供灵活的绘图功能"
    # an ordinary instance dict
    p.extra = 5
    assert p.__dict__["extra"] == 5
    assert set(vars(p)) == {"conn", "stations_table", "points_table", "items_table",
                            "stats_style", "extra"}


def test_construction_by_position_and_keyword(metadata):
    conn = object()
    p = TSPlotter(conn, "b", "k", "-", "-.", 0.1, 0.2, 2.0, 3.0, "/tmp/cache", True)
    assert metadata[-1] == (conn, "/tmp/cache", True)
    assert p.conn is conn
    assert list(p.stats_style.values()) == ["b", "k", "-", "-.", 0.1, 0.2, 2.0, 3.0]
    p = TSPlotter(metadata_dir="d", refresh_metadata=True, std_alpha=0.9)
    assert metadata[-1] == (None, "d", True)
    assert p.stats_style["std_alpha"] == 0.9
    with pytest.raises(TypeError):
        TSPlotter(None, "r", "gray", "--", ":", 0.7, 0.5, 1.0, 1.0, None, False, "extra")
    with pytest.raises(TypeError):
        TSPlotter(colour="r")


@pytest.mark.parametrize("answer, error, text", [
    ((1, 2), ValueError, "not enough values to unpack (expected 3, got 2)"),
    ((1, 2, 3, 4), ValueError, "too many values to unpack (expected 3)"),
    (None, TypeError, "cannot unpack non-iterable NoneType object"),
])
def test_metadata_answer_must_be_a_triple(monkeypatch, answer, error, text):
    monkeypatch.setattr(fetching, "timeseries_info", lambda *a, **k: answer, raising=False)
    with pytest.raises(error) as info:
        TSPlotter()
    assert str(info.value) == text


def test_metadata_errors_propagate(monkeypatch):
    def failing(*args, **kwargs):
        raise RuntimeError("未找到本地元数据缓存")

    monkeypatch.setattr(fetching, "timeseries_info", failing, raising=False)
    with pytest.raises(RuntimeError, match="未找到本地元数据缓存"):
        TSPlotter()


def test_set_stats_style(plotter, caplog):
    with caplog.at_level(logging.WARNING, logger="plotting"):
        result = plotter.set_stats_style(mean_color="b", foo=1, std_linewidth=[2])
    assert result is plotter
    assert warnings_of(caplog) == ["未知的统计线样式参数: foo"]
    assert plotter.stats_style["mean_color"] == "b"
    assert plotter.stats_style["std_linewidth"] == [2]
    assert len(plotter.stats_style) == 8
    assert plotter.set_stats_style().set_stats_style(std_color="k") is plotter
    with pytest.raises(TypeError):
        plotter.set_stats_style({"mean_color": "b"})


# --- series preparation -----------------------------------------------------


def values_table(values, freq="h"):
    idx = pd.date_range("2020-01-01", periods=len(values), freq=freq)
    return pd.DataFrame({"STATIONID": "37001", "OBSVALUE": np.array(values, dtype="float32")},
                        index=idx)


def test_process_data_centres_on_the_range_midpoint(plotter):
    df = values_table([10, 20, 40])
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # pandas 2 took the centring for chained assignment
        out, base = plotter._process_data(df)
    assert out["OBSVALUE"].tolist() == [-15, -5, 15]
    assert base == 25.0 and isinstance(float(base), float)
    assert df["OBSVALUE"].tolist() == [10, 20, 40]  # caller's table untouched
    out, base = plotter._process_data(df, set_zero=False)
    assert out["OBSVALUE"].tolist() == [10, 20, 40]
    assert base == 25.0
    assert out is not df


def test_process_data_on_an_empty_table(plotter):
    df = pd.DataFrame({"OBSVALUE": pd.Series([], dtype="float32")},
                      index=pd.DatetimeIndex([]))
    out, base = plotter._process_data(df, True, True, "D")
    assert base == 0 and type(base) is int
    assert out.empty and out is not df


def test_process_data_resampling(plotter):
    df = values_table([1, 2, 9] * 8 + [4] * 24)  # two days of hourly values
    out, base = plotter._process_data(df, set_zero=False, resample="D")
    assert out["OBSVALUE"].tolist() == [2.0, 4.0]
    assert base == 3.0
    out, _ = plotter._process_data(df, set_zero=False, resample="sum")
    assert out["OBSVALUE"].tolist() == [96.0, 96.0]
    out, _ = plotter._process_data(df, set_zero=False, resample="mean")
    assert len(out) == 48
    with pytest.raises(TypeError):
        plotter._process_data(pd.DataFrame({"OBSVALUE": [1.0, 2.0]}), resample="D")


def test_process_data_reindex_fills_gaps(plotter):
    df = values_table([1, 2, 3, 4, 5])
    df["SAMPLERATE"] = "60"
    gappy = df.drop(df.index[2])
    out, base = plotter._process_data(gappy, reindex=True)
    assert len(out) == 5
    assert np.isnan(out["OBSVALUE"].iloc[2])
    assert base == 3.0
    # daily medians are not put back on the hourly grid of the sample rate
    out, _ = plotter._process_data(pd.concat([df] * 1).iloc[[0, 4]], reindex=True, resample="D")
    assert len(out) == 1


def test_get_plot_type(plotter):
    assert plotter._get_plot_type(2, "line", ["bar", "scatter"]) == "line"
    assert plotter._get_plot_type(1, "line", ["bar", "scatter"]) == "scatter"
    assert plotter._get_plot_type(1, "line", ("bar", "scatter")) == "line"
    assert plotter._get_plot_type(0, "stem") == "stem"
    assert plotter._get_plot_type(index=0, plot_type="x", plot_types=[]) == "x"


# --- axis decorations -------------------------------------------------------


@pytest.mark.parametrize("unit, label", [
    ("ms", "$ 10^{-3} $角秒"), ("10-10", "应变/$ 10^{-10} $"), ("10-9", "应变/$ 10^{-9} $"),
    ("mm", "mm"), ("", ""), (None, ""),
])
def test_setup_axis_units(plotter, unit, label):
    fig, ax = plt.subplots()
    ax.set_xlabel("old")
    plotter._setup_axis(ax, "T", unit=unit)
    assert ax.get_title() == "T"
    assert ax.get_ylabel() == label
    assert ax.get_xlabel() == ""
    assert not ax.yaxis_inverted()


def test_setup_axis_ticks_inversion_and_fonts(plotter):
    fig, ax = plt.subplots()
    ax.plot([0, 1], [-2, 2])
    plotter._setup_axis(ax, "标题", "m", [-2, 0, 2], True, "时间")
    assert list(ax.get_yticks()) == [-2, 0, 2]
    assert ax.yaxis_inverted()
    assert ax.get_xlabel() == "时间"
    assert ax.title.get_fontsize() == 11
    assert ax.title.get_fontfamily() == [drawkit.font_title["family"]]


def test_add_statistics_lines(plotter):
    data = values_table([1, 2, 3, 4])
    fig, ax = plt.subplots()
    plotter._add_statistics(ax, data, show_std=True, multiplier=1.5)
    lines = ax.get_lines()
    assert [l.get_label() for l in lines] == ["+1.5σ", "-1.5σ"]
    std = data["OBSVALUE"].std()
    assert lines[0].get_ydata()[0] == pytest.approx(2.5 + 1.5 * std, rel=1e-6)
    assert lines[1].get_ydata()[0] == pytest.approx(2.5 - 1.5 * std, rel=1e-6)
    assert lines[0].get_color() == "gray" and lines[0].get_linestyle() == ":"
    assert lines[0].get_alpha() == 0.5

    plotter.set_stats_style(mean_color="b", mean_linewidth=2.5)
    fig, ax = plt.subplots()
    plotter._add_statistics(ax, data, True, True, 3)
    labels = [l.get_label() for l in ax.get_lines()]
    assert labels == ["Mean", "+3σ", "-3σ"]
    mean = ax.get_lines()[0]
    assert mean.get_ydata()[0] == 2.5
    assert (mean.get_color(), mean.get_linestyle(), mean.get_alpha(), mean.get_linewidth()) \
        == ("b", "--", 0.7, 2.5)
    assert [l.get_label() for l in ax.get_lines()][1:] == ["+3σ", "-3σ"]


def test_add_statistics_draws_nothing_without_values(plotter, monkeypatch):
    calls = []
    monkeypatch.setattr(tsdraw, "calculate_stats", lambda *a: calls.append(a))
    fig, ax = plt.subplots()
    plotter._add_statistics(ax, values_table([np.nan, np.nan]), True, True)
    plotter._add_statistics(ax, values_table([]), True, True)
    assert ax.get_lines() == [] and calls == []


def test_add_annotations(plotter):
    fig, ax = plt.subplots()
    t = pd.Timestamp("2020-01-02")
    plotter._add_annotations(ax, [{"text": "A", "x": t, "y": 3.0},
                                  {"text": "B", "x": t, "y": 1.0, "xytext": (0, -20),
                                   "props": {"color": "green", "fontsize": 7}}])
    a, b = [c for c in ax.get_children() if c.__class__.__name__ == "Annotation"]
    assert a.get_text() == "A" and a.xy == (t, 3.0)
    assert a.xyann == (10, 10) and a.anncoords == "offset points"
    assert a.arrowprops == {"arrowstyle": "->"}
    assert b.xyann == (0, -20) and b.get_color() == "green" and b.get_fontsize() == 7
    plotter._add_annotations(ax, None)
    plotter._add_annotations(ax, [])
    with pytest.raises(TypeError):
        plotter._add_annotations(ax, [{"text": "C", "x": t, "y": 1, "props": {"xytext": (1, 1)}}])
    with pytest.raises(KeyError):
        plotter._add_annotations(ax, [{"x": t, "y": 1}])


def quake_table(distances, times=None, columns=("distance", "magnitude", "size", "text")):
    times = times or pd.date_range("2020-01-01 06:00", periods=len(distances), freq="6h")
    df = pd.DataFrame({"distance": distances, "magnitude": [4.0] * len(distances),
                       "size": [10.0] * len(distances),
                       "text": [f"某地Ml4.0\n{d}km" for d in distances]},
                      index=pd.DatetimeIndex(times))
    return df[list(columns)]


@pytest.mark.parametrize("distances, limits", [([30.0, 120.0], (0, 170)),
                                               ([100.0, 400.0], (50, 450))])
def test_secondary_axis_limits_and_markers(plotter, distances, limits):
    fig, ax = plt.subplots()
    series = values_table(list(range(24)))
    series["OBSVALUE"].plot(ax=ax, x_compat=True)
    plotter._add_secondary_data(ax, quake_table(distances))
    twin = [a for a in fig.axes if a is not ax][0]
    assert twin.get_ylim() == pytest.approx(limits)
    assert twin.get_ylabel() == "震中距(km)"
    assert twin.spines["right"].get_visible()
    assert not ax.patch.get_visible()
    (markers,) = twin.collections
    offsets = markers.get_offsets()
    assert list(offsets[:, 1]) == distances
    # the markers sit at the earthquake times on the series' time axis
    lo, hi = ax.get_xlim()
    assert offsets[0, 0] == pytest.approx(plt.matplotlib.dates.date2num(
        pd.Timestamp("2020-01-01 06:00")))
    assert lo <= offsets[0, 0] <= hi
    labels = [t.get_text() for t in twin.texts]
    assert labels == [f"某地Ml4.0\n{d}km" for d in distances]
    assert all(t.get_fontsize() == 8 for t in twin.texts)


def test_secondary_data_missing_columns(plotter, caplog):
    fig, ax = plt.subplots()
    with caplog.at_level(logging.WARNING, logger="plotting"):
        plotter._add_secondary_data(ax, quake_table([30.0], columns=("distance", "magnitude")))
        plotter._add_secondary_data(ax, quake_table([]))
    assert warnings_of(caplog) == ["缺少必要列: size, text"]
    assert fig.axes == [ax]


# --- saving -----------------------------------------------------------------


def test_save_figure(plotter, caplog):
    fig, ax = plt.subplots()
    ax.plot([1, 2])
    with caplog.at_level(logging.INFO, logger="plotting"):
        plotter._save_figure(fig, "A_B", format="pdf", dpi=150)
    assert os.path.isfile("figures/A_B.pdf")
    assert not plt.fignum_exists(fig.number)
    assert "Figure A_B.pdf has been saved to current folder." in caplog.messages

    fig, ax = plt.subplots(figsize=(2, 1))
    plotter._save_figure(fig, "small", dpi=50)
    from PIL import Image
    with Image.open("figures/small.png") as im:
        assert im.info["dpi"] == pytest.approx((50, 50), abs=0.05)
    first = os.path.getsize("figures/small.png")
    fig, ax = plt.subplots(figsize=(4, 2))
    plotter._save_figure(fig, "small", dpi=50)
    assert os.path.getsize("figures/small.png") != first


def test_a_failed_save_leaves_the_earlier_figure_and_no_temporary(plotter, monkeypatch):
    fig, ax = plt.subplots(figsize=(2, 1))
    plotter._save_figure(fig, "kept", dpi=50)
    earlier = Path("figures/kept.png").read_bytes()
    original = matplotlib.figure.Figure.savefig

    def half_then_fail(self, where, **kwargs):
        original(self, where, **kwargs)
        with open(where, "r+b") as f:
            f.truncate(100)
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", half_then_fail)
    fig, ax = plt.subplots(figsize=(4, 2))
    with pytest.raises(OSError):
        plotter._save_figure(fig, "kept", dpi=50)
    assert Path("figures/kept.png").read_bytes() == earlier
    assert sorted(os.listdir("figures")) == ["kept.png"]


def test_save_figure_into_a_missing_folder_raises_and_keeps_the_figure(plotter, caplog):
    fig, ax = plt.subplots()
    with caplog.at_level(logging.INFO, logger="plotting"):
        with pytest.raises(FileNotFoundError):
            plotter._save_figure(fig, "nosuch/x")
    assert plt.fignum_exists(fig.number)
    assert not any("has been saved" in m for m in caplog.messages)


# --- one figure per item ----------------------------------------------------


@pytest.fixture
def figure_log(monkeypatch, quick_save):
    """(file name, number of subplots) of every figure saved."""
    original = TSPlotter._save_figure
    log = []

    def save(self, fig, filename, format="png", dpi=300):
        log.append((filename, len([a for a in fig.axes if a.get_label() != "twin"])))
        return original(self, fig, filename, format, dpi)

    monkeypatch.setattr(TSPlotter, "_save_figure", save)
    return log


def primary_axes(fig):
    """The stacked subplots of a figure, without the earthquake twin axes."""
    return [a for a in fig.axes if a.get_subplotspec() is not None and a.get_ylabel() != "震中距(km)"]


def test_by_items_excluded_items_give_no_figure(monkeypatch, quick_save):
    # the excluded items are in the item table: only the exclusion keeps them out
    items = pd.concat([ITEMS, pd.DataFrame({"ITEMID": ["3129"], "ITEMNAME": ["气温"], "UNIT": ["C"]})],
                      ignore_index=True)
    monkeypatch.setattr(fetching, "timeseries_info",
                        lambda conn=None, cache_dir=None, refresh_cache=False:
                        (STATIONS.copy(), POINTS.copy(), items.copy()), raising=False)
    plotter = TSPlotter()
    ts = series_table([("37001", "1")], ["3128", "999999", "3129"])
    assert plotter.plot_by_items(ts) == (None, None)
    assert quick_save == [] and not os.path.exists("figures")
    ts = series_table([("37001", "1")], ["3128", "4112", "999999", "3129"])
    plotter.plot_by_items(ts)
    assert quick_save == ["4112_1"]


def test_by_items_chunks_station_points_into_figures(plotter, quick_save):
    ts = series_table([("37001", str(p)) for p in range(1, 10)], ["4112"])
    fig, axes = plotter.plot_by_items(ts, prefix="p_", fig_label="_v")
    assert quick_save == ["p_4112_v_1", "p_4112_v_2"]
    assert sorted(os.listdir("figures")) == ["p_4112_v_1.png", "p_4112_v_2.png"]
    assert len(axes) == 2 and len(primary_axes(fig)) == 2
    assert [a.get_title().split("/")[1] for a in axes] == ["8", "9"]
    assert fig.get_size_inches() == pytest.approx((10, 3.0))
    assert plt.get_fignums() == []

    fig, axes = plotter.plot_by_items(ts.iloc[:48], number_of_subplots=1, fig_height=2)
    assert isinstance(axes, np.ndarray) and axes.shape == (1,)
    assert axes[0].get_title().startswith("泰安/1/水位")
    assert fig.get_size_inches() == pytest.approx((10, 2))
    with pytest.raises(ValueError):
        plotter.plot_by_items(ts, number_of_subplots=0)


def test_by_items_subplot_count_per_figure(plotter, figure_log):
    ts = series_table([("37001", str(p)) for p in range(1, 10)], ["4112", "3211"])
    plotter.plot(ts)
    assert figure_log == [("4112_1", 7), ("4112_2", 2), ("3211_1", 7), ("3211_2", 2)]


def test_by_items_titles_ticks_and_centring(plotter):
    ts = series_table([("37001", "1"), ("37002", "2")], ["3211"])
    fig, axes = plotter.plot_by_items(ts)
    for ax, (station, name) in zip(axes, [("37001", "泰安"), ("37002", "郯城")]):
        raw = ts.loc[ts["STATIONID"] == station, "OBSVALUE"]
        base = (raw.max() + raw.min()) / 2
        assert ax.get_title() == f"{name}/{station[-1]}/地电阻率NS/base={str(round(base, 1))}"
        assert ax.get_ylabel() == "应变/$ 10^{-10} $"
        ticks = ax.get_yticks()
        assert ticks[1] == 0
        assert ticks[0] == pytest.approx(raw.min() - base) and ticks[2] == pytest.approx(raw.max() - base)
        assert drawn_values(ax) == pytest.approx((raw - base).to_numpy())
    fig, axes = plotter.plot_by_items(ts, set_zero=False)
    raw = ts.loc[ts["STATIONID"] == "37001", "OBSVALUE"]
    assert axes[0].get_title() == "泰安/1/地电阻率NS"
    assert axes[0].get_yticks()[1] == pytest.approx((raw.min() + raw.max()) / 2.0)
    assert drawn_values(axes[0]) == pytest.approx(raw.to_numpy())


def test_by_items_missing_metadata(plotter, caplog, quick_save):
    ts = pd.concat([series_table([("37001", "1")], ["7777"]),
                    series_table([("99001", "3")], ["4112"])])
    with caplog.at_level(logging.WARNING, logger="plotting"):
        fig, axes = plotter.plot_by_items(ts, kat_dir=None)
    assert warnings_of(caplog) == ["未找到测项信息: 7777"]
    assert quick_save == ["4112_1"]
    assert axes[0].get_title().startswith("99001/3/水位/base=")


def test_by_items_plot_types_and_kwargs(plotter):
    ts = series_table([("37001", "1"), ("37001", "2"), ("37002", "1")], ["4112"])
    fig, axes = plotter.plot_by_items(ts, number_of_subplots=2, plot_types=["stem"],
                                      color="k")
    # the last figure: one subplot, drawn as stems (position 0 of its figure)
    assert len(axes) == 1
    assert any(isinstance(c, StemContainer) for c in axes[0].containers)
    fig, axes = plotter.plot_by_items(ts, number_of_subplots=3, plot_type="scatter",
                                      plot_types=["line", "stem"], marker="x")
    assert len(axes[0].get_lines()) == 1 and axes[0].get_lines()[0].get_marker() == "x"
    assert isinstance(axes[1].containers[0], StemContainer)
    assert isinstance(axes[2].collections[0], PathCollection)
    assert len(axes[2].collections[0].get_offsets()) == 48
    fig, axes = plotter.plot_by_items(ts, color="k", linewidth=3)
    assert axes[0].get_lines()[0].get_color() == "k"
    assert axes[0].get_lines()[0].get_linewidth() == 3


def test_by_items_empty_window_and_missing_groups(plotter, caplog, quick_save):
    ts = series_table([("37001", "1"), ("37002", "2")], ["4112"])
    with caplog.at_level(logging.WARNING, logger="plotting"):
        fig, axes = plotter.plot_by_items(ts, start_time="2021-01-01")
    assert warnings_of(caplog) == ["37001-1 数据为空!", "37002-2 数据为空!"]
    assert quick_save == ["4112_1"] and os.path.isfile("figures/4112_1.png")
    assert all(a.get_lines() == [] and a.get_title() == "" for a in axes)

    caplog.clear()
    nan_point = ts.copy()
    nan_point.loc[nan_point["STATIONID"] == "37002", "POINTID"] = np.nan
    with caplog.at_level(logging.WARNING, logger="plotting"):
        fig, axes = plotter.plot_by_items(nan_point, start_time="2020-01-01 12:00",
                                          end_time=pd.Timestamp("2020-01-01 18:00"))
    assert warnings_of(caplog) == ["未找到数据: 4112-37002-nan"]
    assert len(axes[0].get_lines()[0].get_xdata()) == 7  # both ends kept


def test_by_items_annotations_and_statistics(plotter):
    ts = series_table([("37001", "1"), ("37002", "2")], ["4112"])
    t = ts.index[5]
    notes = {"4112": {"37002_2": [{"text": "注", "x": t, "y": 0.0}]},
             "3211": {"37001_1": [{"text": "x", "x": t, "y": 0.0}]}}
    fig, axes = plotter.plot_by_items(ts, annotations=notes, show_mean=True, show_std=True,
                                      std_multiplier=3)
    texts = [[c.get_text() for c in a.texts] for a in axes]
    assert texts == [[], ["注"]]
    assert [l.get_label() for l in axes[0].get_lines()][1:] == ["Mean", "+3σ", "-3σ"]


def test_by_items_unreadable_catalogue_is_logged_once(plotter, caplog, quick_save):
    ts = series_table([("37001", "1"), ("37002", "2")], ["4112", "3211"])
    with caplog.at_level(logging.INFO, logger="plotting"):
        fig, axes = plotter.plot(ts, kat_dir="/no/such/catalogue.txt")
    errors = warnings_of(caplog, logging.ERROR)
    assert len(errors) == 1 and errors[0].startswith("读取地震目录出错: ")
    assert quick_save == ["4112_1", "3211_1"]
    assert len(fig.axes) == 2  # no earthquake axis


def test_many_figures_leave_none_open(plotter, quick_save):
    ts = series_table([("37001", str(p)) for p in range(30)], ["4112"], periods=4)
    fig, axes = plotter.plot_by_items(ts, number_of_subplots=1, fig_height=0.6)
    assert len(quick_save) == 30
    assert plt.get_fignums() == []


# --- one figure per station point -------------------------------------------


def test_plot_grouping_words(plotter, caplog, quick_save):
    ts = series_table([("37001", "1"), ("37002", "2")], ["4112", "3211"])
    fig_a, axes_a = plotter.plot(ts, groupby="Station", prefix="x_", fig_label="_v2")
    names = list(quick_save)
    titles = [a.get_title() for a in axes_a]
    fig_b, axes_b = plotter.plot(ts, groupby="station", prefix="x_", fig_label="_v2")
    assert quick_save[len(names):] == names == ["x_37001_1_v2", "x_37002_2_v2"]
    assert [a.get_title() for a in axes_b] == titles
    assert sorted(os.listdir("figures")) == ["x_37001_1_v2.png", "x_37002_2_v2.png"]
    with caplog.at_level(logging.ERROR, logger="plotting"):
        assert plotter.plot(ts, groupby="point") == (None, None)
        assert plotter.plot(ts, "POINT") == (None, None)
    assert warnings_of(caplog, logging.ERROR) == ["不支持的分组方式: point",
                                                 "不支持的分组方式: POINT"]
    assert len(quick_save) == 4


def test_by_stations_sorts_items_and_skips_excluded(plotter, quick_save):
    ts = pd.concat([series_table([("37001", "1")], ["B2", "A1", "3215"]),
                    series_table([("37002", "1")], ["3215", "3216"]),
                    series_table([("999999", "1"), ("37003", "1")], ["4112"])])
    ts.loc[ts["STATIONID"] == "37003", "STATIONID"] = np.nan
    fig, axes = plotter.plot_by_stations(ts)
    assert quick_save == ["37001_1"]
    assert [a.get_title().split("/")[2] for a in axes] == ["甲", "乙"]
    assert axes[0].get_ylabel() == "应变/$ 10^{-9} $"
    assert axes[1].get_ylabel() == ""  # an item without a unit gets no unit label

    rain = pd.DataFrame({"OBSVALUE": [0.0, 12.5]}, index=pd.date_range("2020-01-01", periods=2))
    quick_save.clear()
    fig, axes = plotter.plot_by_stations(ts, rainfall=rain)
    assert quick_save == ["37001_1", "37002_1"]
    assert len(axes) == 1 and axes[0].get_title() == "降雨量"


def test_by_stations_rainfall_bars(plotter):
    ts = series_table([("37001", "1")], ["4112", "3211"])
    rain = pd.DataFrame({"OBSVALUE": [3.0, 12.5]}, index=pd.date_range("2020-01-01", periods=2))
    fig, axes = plotter.plot_by_stations(ts, rainfall=rain, fig_height=2)
    assert len(axes) == 3 and fig.get_size_inches() == pytest.approx((10, 6))
    bars = axes[2].patches
    assert [b.get_height() for b in bars] == [3.0, 12.5]
    assert all(b.get_facecolor()[:3] == (0, 0, 1) and b.get_alpha() == 0.5 for b in bars)
    assert axes[2].get_title() == "降雨量" and axes[2].get_ylabel() == "mm"
    assert axes[2].yaxis_inverted() and not axes[0].yaxis_inverted()
    # the bars stand on the time axis of the series
    day0 = plt.matplotlib.dates.date2num(pd.Timestamp("2020-01-01"))
    assert bars[0].get_x() == pytest.approx(day0)
    lo, hi = axes[0].get_xlim()
    assert lo <= bars[1].get_x() <= hi

    fig, axes = plotter.plot_by_stations(ts, rainfall=rain.iloc[:0])
    assert len(axes) == 3 and len(axes[2].patches) == 0 and axes[2].get_title() == ""


def test_by_stations_daily_medians_and_styles(plotter):
    ts = series_table([("37001", "1")], ["4112", "3211", "3212"])
    fig, axes = plotter.plot_by_stations(ts, daily_mean_values=True, set_zero=False,
                                         plot_types=["scatter", "stem"], color="g")
    raw = ts.loc[ts["ITEMID"] == "3211", "OBSVALUE"]
    medians = raw.resample("D").median()
    # items sorted: 3211 (scatter), 3212 (stem), 4112 (line)
    offsets = axes[0].collections[0].get_offsets()
    assert list(offsets[:, 1]) == pytest.approx(medians.tolist())
    assert axes[0].collections[0].get_label() == axes[0].get_title() == "泰安/1/地电阻率NS"
    assert isinstance(axes[1].containers[0], StemContainer)
    line = axes[2].get_lines()[0]
    assert len(line.get_ydata()) == 2 and line.get_color() == "g"
    assert axes[1].get_ylabel() == "$ 10^{-3} $角秒"


def test_by_stations_annotations_and_missing_item(plotter, caplog, quick_save):
    ts = series_table([("37001", "1")], ["4112", "8888"])
    t = ts.index[3]
    notes = {"37001": {"4112_1": [{"text": "甲", "x": t, "y": 0.0}]},
             "4112": {"37001_1": [{"text": "乙", "x": t, "y": 0.0}]}}
    with caplog.at_level(logging.WARNING, logger="plotting"):
        fig, axes = plotter.plot_by_stations(ts, annotations=notes)
    assert warnings_of(caplog) == ["未找到测项信息: 8888"]
    assert [t.get_text() for t in axes[0].texts] == ["甲"]
    assert axes[1].get_lines() == [] and axes[1].get_title() == ""
    assert quick_save == ["37001_1"]

    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="plotting"):
        plotter.plot_by_stations(ts, end_time="2019-12-31")
    assert warnings_of(caplog) == ["37001-1-4112 数据为空!", "37001-1-8888 数据为空!"]


def test_chinese_figures_have_all_glyphs(plotter, caplog, quick_save):
    ts = series_table([("37001", "1")], ["3212", "4112"])
    rain = pd.DataFrame({"OBSVALUE": [3.0, 1.0]}, index=pd.date_range("2020-01-01", periods=2))
    with warnings.catch_warnings(record=True) as caught, caplog.at_level(logging.WARNING):
        warnings.simplefilter("always")
        plotter.plot(ts, groupby="station", rainfall=rain, show_mean=True, show_std=True,
                     xlabel="时间")
        plotter.plot(ts, show_mean=True)
    assert [str(w.message) for w in caught if "missing from font" in str(w.message)] == []
    assert not [r for r in caplog.records if "findfont" in r.getMessage()]


# --- what a finished figure shows, measured ---------------------------------

MONTH = pd.date_range("2020-01-01", periods=30 * 24, freq="h")


def generated_catalogue(kind, seed=0):
    """A catalogue table as read_KAT gives it, of events around 泰安 (37001)
    during MONTH: twenty spread over the month, a cluster at one moment, or
    events at the limits of the axes (at the station, at the first and last
    hour, the farthest one)."""
    rng = np.random.default_rng(seed)
    lat0, lon0 = 36.2, 117.1
    if kind == "twenty":
        times = MONTH[0] + pd.to_timedelta(np.sort(rng.uniform(0, 29.9, 20)), unit="D")
        lat = lat0 + rng.uniform(-1.5, 1.5, 20)
        lon = lon0 + rng.uniform(-1.5, 1.5, 20)
    elif kind == "same time":
        moment = MONTH[0] + pd.Timedelta(days=14, hours=6)
        times = [moment] * 8 + list(MONTH[0] + pd.to_timedelta([3, 9, 20, 26], unit="D"))
        lat = np.r_[[lat0 + 0.5] * 3, lat0 + np.linspace(-1.4, 1.4, 5), lat0 + rng.uniform(-1, 1, 4)]
        lon = np.r_[[lon0] * 3, [lon0 + 0.3] * 5, lon0 + rng.uniform(-1, 1, 4)]
    else:  # the limits of the axes
        times = [MONTH[0], MONTH[0], MONTH[-1], MONTH[-1], MONTH[0] + pd.Timedelta(days=15),
                 MONTH[0] + pd.Timedelta(days=15, hours=2)]
        lat = [lat0, lat0 + 1.8, lat0, lat0 - 1.8, lat0, lat0 + 1.8]
        lon = [lon0, lon0, lon0 + 0.01, lon0, lon0 - 0.01, lon0 + 1.8]
    n = len(times)
    return pd.DataFrame({"lon": np.asarray(lon, float).round(2), "lat": np.asarray(lat, float).round(2),
                         "magnitude": rng.uniform(3.0, 5.8, n).round(1),
                         "name": [f"山东{'泰安平邑莒南长清'[k % 4 * 2:k % 4 * 2 + 2]}" for k in range(n)]},
                        index=pd.DatetimeIndex(times, name="ind"))


@pytest.fixture
def catalogue(monkeypatch):
    """Makes read_KAT answer with a generated catalogue; returns a setter."""
    def use(table):
        monkeypatch.setattr(KAT, "read_KAT", lambda *a, **k: table.copy())
        return "generated-catalogue"
    return use


def hidden_counts(caplog):
    """Number of hidden labels that each figure's warning reports."""
    import re

    return [int(re.search(r" (\d+) 个地震标注", m).group(1)) for m in warnings_of(caplog)
            if "地震标注" in m]


@pytest.mark.parametrize("kind", ["twenty", "same time", "limits"])
@pytest.mark.parametrize("layout", ["item", "station"])
def test_earthquake_labels_never_cover_labels_markers_edges_or_the_key(
        plotter, catalogue, quick_save, caplog, kind, layout):
    ts = series_table([("37001", "1"), ("37002", "2")], ["4112", "3211"], periods=len(MONTH))
    # one figure: two station points of an item, or two items and rainfall
    ts = ts[ts["ITEMID"] == "4112"] if layout == "item" else ts[ts["STATIONID"] == "37001"]
    rain = pd.DataFrame({"OBSVALUE": np.arange(30.0)}, index=pd.date_range("2020-01-01", periods=30))
    table = generated_catalogue(kind)
    with caplog.at_level(logging.WARNING, logger="plotting"):
        fig, axes = plotter.plot(ts, groupby=layout, kat_dir=catalogue(table),
                                 kat_filters=[(3000, 0.0)], show_mean=True, show_std=True,
                                 **({"rainfall": rain} if layout == "station" else {}))
    assert drawn.label_faults(fig) == []
    renderer = drawn.renderer_of(fig)
    hidden = 0
    with_quakes = [(ax, ov) for ax, ov in drawn.subplots(fig) if ov is not None]
    assert with_quakes
    for ax, overlay in with_quakes:
        marks = drawn.markers(overlay, renderer)
        labels = drawn.labels(overlay)
        assert len(labels) == len(marks)  # every event keeps its marker and its label
        shown = [t for t in labels if t.get_visible()]
        hidden += len(labels) - len(shown)
        assert len(shown) >= len(labels) // 2
        # a label moved off its marker is joined to that marker
        for t in shown:
            line = drawn.leader(t, renderer)
            own = min(marks, key=lambda m: np.hypot(m[0] - drawn.anchor(t, overlay)[0],
                                                    m[1] - drawn.anchor(t, overlay)[1]))
            box = drawn.text_box(t, renderer)
            if line is None:
                assert drawn.box_disc_distance(box, own) <= 5 * renderer.points_to_pixels(1.0)
            else:
                assert np.hypot(*(line[-1] - own[:2])) <= own[2] + 2 * renderer.points_to_pixels(1.0)
    # the labels left out are counted in one warning for the figure
    assert hidden_counts(caplog) == ([hidden] if hidden else [])


def test_a_label_covering_a_marker_is_a_fault(plotter, catalogue, quick_save):
    """The measure itself: a label moved onto another event's marker is seen."""
    ts = series_table([("37001", "1")], ["4112"], periods=len(MONTH))
    fig, axes = plotter.plot(ts, kat_dir=catalogue(generated_catalogue("twenty")),
                             kat_filters=[(3000, 0.0)])
    ((ax, overlay),) = drawn.subplots(fig)
    renderer = drawn.renderer_of(fig)
    marks = drawn.markers(overlay, renderer)
    label = [t for t in drawn.labels(overlay) if t.get_visible()][0]
    mine = drawn.anchor(label, overlay)
    x, y, _ = max(marks, key=lambda m: np.hypot(m[0] - mine[0], m[1] - mine[1]))
    label.set_ha("center")
    label.set_va("center")
    label.xyann = ((x - mine[0]) / renderer.points_to_pixels(1.0),
                   (y - mine[1]) / renderer.points_to_pixels(1.0))
    assert any("covers a marker" in f for f in drawn.label_faults(fig))


def test_the_key_names_statistics_lines_and_earthquakes(plotter, catalogue, quick_save):
    ts = series_table([("37001", "1"), ("37002", "2")], ["4112"], periods=len(MONTH))
    table = generated_catalogue("twenty")
    fig, axes = plotter.plot(ts, kat_dir=catalogue(table), kat_filters=[(3000, 0.0)],
                             show_mean=True, show_std=True, std_multiplier=3)
    renderer = drawn.renderer_of(fig)
    for ax, overlay in drawn.subplots(fig):
        entries = drawn.key_entries(ax, overlay)
        expected = ["Mean", "+3σ", "-3σ"] + (["地震"] if overlay is not None else [])
        assert entries == expected
        key = drawn.key_of(ax, overlay).get_window_extent(renderer)
        area = ax.get_window_extent(renderer)
        assert area.x0 <= key.x0 and key.x1 <= area.x1 and area.y0 <= key.y0 and key.y1 <= area.y1
        if overlay is not None:  # drawn above the markers
            assert drawn.key_of(ax, overlay).axes is overlay
    # the key, like the lines, takes the statistics style
    mean_handle = drawn.key_of(*drawn.subplots(fig)[0]).legend_handles[0]
    assert mean_handle.get_color() == "r" and mean_handle.get_linestyle() == "--"

    fig, axes = plotter.plot(ts, kat_dir=catalogue(table), kat_filters=[(3000, 0.0)],
                             show_mean=True, show_legend=False)
    assert all(drawn.key_of(ax, ov) is None for ax, ov in drawn.subplots(fig))
    fig, axes = plotter.plot(ts, groupby="station")  # nothing to name
    assert all(drawn.key_of(ax, ov) is None for ax, ov in drawn.subplots(fig))


def test_the_key_goes_where_it_covers_no_marker(plotter, catalogue, quick_save):
    # every event far away and early: the markers fill the upper left
    ts = series_table([("37001", "1")], ["4112"], periods=len(MONTH))
    t0 = MONTH[0]
    table = pd.DataFrame({"lon": [117.1] * 6, "lat": [38.0, 38.2, 38.4, 38.1, 38.3, 36.2],
                          "magnitude": [4.0] * 6, "name": ["甲"] * 6},
                         index=pd.DatetimeIndex([t0 + pd.Timedelta(hours=h)
                                                 for h in (5, 30, 60, 90, 120, 150)], name="ind"))
    fig, axes = plotter.plot(ts, kat_dir=catalogue(table), kat_filters=[(3000, 0.0)],
                             show_mean=True)
    ((ax, overlay),) = drawn.subplots(fig)
    renderer = drawn.renderer_of(fig)
    key = drawn.key_of(ax, overlay).get_window_extent(renderer)
    assert all(drawn.box_disc_distance(key, m) >= 0 for m in drawn.markers(overlay, renderer))


def gappy_table(freq, drop):
    """One series of 200 samples with the samples at the positions `drop` left out."""
    ts = series_table([("37001", "1")], ["4112"], periods=200, freq=freq)
    return ts.drop(ts.index[list(drop)])


@pytest.mark.parametrize("layout", ["item", "station"])
def test_gaps_longer_than_five_intervals_break_the_line(plotter, quick_save, layout):
    # missing rows: 10 intervals (a break), 5 intervals (bridged); NaN values:
    # a run of them breaks the line as before
    ts = gappy_table("h", [*range(50, 59), *range(120, 124)])
    ts.iloc[150:153, ts.columns.get_loc("OBSVALUE")] = np.nan
    fig, axes = plotter.plot(ts, groupby=layout)
    x, y = axes[0].get_lines()[0].get_xydata().T  # x as matplotlib date numbers
    assert len(y) == len(ts) + 1
    (inserted,) = np.flatnonzero(np.isnan(y) & ~np.isin(x, mdates.date2num(ts.index)))
    hours = lambda v: v * 24  # noqa: E731
    before, after = hours(x[inserted - 1]), hours(x[inserted + 1])
    assert after - before == pytest.approx(10) and before < hours(x[inserted]) < after
    # the series itself is drawn unchanged around the break
    valid = ~np.isnan(y)
    assert np.count_nonzero(valid) == ts["OBSVALUE"].notna().sum()


@pytest.mark.parametrize("start, periods, freq", [
    ("2026-11-09", 31 * 1440, "min"),  # a month across a month's end
    ("2025-06-01", 366 * 24, "h"),     # a year across a year's end
    ("2026-12-30 12:00", 72, "h"),     # three days across a year's end
])
@pytest.mark.parametrize("layout", ["item", "station"])
def test_date_tick_labels_never_overlap(plotter, quick_save, start, periods, freq, layout):
    ts = series_table([("37001", "1"), ("37002", "2")], ["4112"], start=start, periods=periods,
                      freq=freq)
    fig, axes = plotter.plot(ts, groupby=layout)
    assert drawn.overlapping_tick_labels(fig) == []
    renderer = drawn.renderer_of(fig)
    bottom = drawn.subplots(fig)[-1][0]
    ticks = drawn.tick_label_boxes(bottom, renderer)
    assert len(ticks) >= 3
    assert all(t.get_rotation() == 0 for t in bottom.get_xticklabels())


def test_value_tick_labels_share_their_decimals_within_a_figure(plotter, quick_save):
    idx = pd.date_range("2020-01-01", periods=48, freq="h")
    wave = np.sin(np.linspace(0, 6, 48))
    ts = pd.concat([pd.DataFrame({"STATIONID": s, "POINTID": "1", "ITEMID": "4112",
                                  "SAMPLERATE": "60", "OBSVALUE": (10 + k * wave).astype("float32")},
                                 index=idx)
                    for s, k in (("37001", 0.1834), ("37002", 0.02035), ("37003", 152.3))])
    fig, axes = plotter.plot(ts)
    renderer = drawn.renderer_of(fig)
    labels = [[t for t, _ in drawn.tick_label_boxes(ax, renderer, "y")] for ax in axes]
    # three decimals show the smallest range with two significant digits
    decimals = {len(t.split(".")[1]) for row in labels for t in row}
    assert decimals == {3}
    for ax, row in zip(axes, labels):
        ticks = ax.get_yticks()
        assert ticks[1] == 0 and ticks[0] == pytest.approx(-ticks[2], rel=1e-3)  # still symmetric
        assert [float(t) for t in row] == pytest.approx(list(ticks), abs=0.0005)
