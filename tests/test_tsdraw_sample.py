"""Both figure layouts drawn from the sample database and its earthquake
catalogue, inspected through the figures and axes they return."""

import logging
import os
import shutil
import subprocess
import warnings
import weakref

import matplotlib.dates as mdates
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from matplotlib.collections import PathCollection
from matplotlib.container import StemContainer

import drawn
from kelvane import KAT, fetching, sandbox
from kelvane.tsdraw import TSPlotter

START, END = "20240101", "20240131"
NEAR = [(300, 2.0), (600, 4.0)]


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    """Hourly sample series (water level at five wells, resistivity at
    泰安地电台, a magnetometer at 姑咱台), a catalogue of the same month and a
    crowded one."""
    folder = tmp_path_factory.mktemp("sample")
    db = sandbox.build(str(folder / "s.sqlite"), start=START, end=END, seed=3, extra_stations=3,
                       minute_days=0, second_days=0, raw_days=0, libraries=("DYU",),
                       rates=("60",))
    kat = sandbox.write_catalogue(str(folder / "kat.txt"), start=START, end=END, seed=5,
                                  count=60)
    crowded = sandbox.write_catalogue(str(folder / "crowded.txt"), start=START, end=END,
                                      seed=6, count=600)
    conn = sandbox.connect(db)
    series = {name: fetching.fetching_data(conn, START, END, method, "全部", "小时值", "预处理库")
              for name, method in (("water", "静水位"), ("resistivity", "直流单装置地电阻率"),
                                   ("magnetic", "磁通门磁力仪"))}
    yield {"conn": conn, "kat": str(kat), "crowded": str(crowded), "meta": str(folder / "meta"),
           **series}
    conn.close()


@pytest.fixture
def plotter(sample):
    return TSPlotter(sample["conn"], metadata_dir=sample["meta"])


@pytest.fixture
def saved(monkeypatch):
    """Figures are saved at a low resolution; records (file name, number of
    stacked subplots) of every figure saved."""
    original = TSPlotter._save_figure
    log = []

    def save(self, fig, filename, format="png", dpi=300):
        log.append((filename, len(stacked(fig))))
        return original(self, fig, filename, format, 30)

    monkeypatch.setattr(TSPlotter, "_save_figure", save)
    return log


def stacked(fig):
    """The stacked subplots of a figure, without the earthquake axes."""
    return [a for a in fig.axes if a.get_ylabel() != "震中距(km)"]


def twin_of(fig, ax):
    """The earthquake axis drawn over a subplot, or None."""
    for other in fig.axes:
        if other is not ax and other.get_ylabel() == "震中距(km)" and \
                other.get_position().bounds == ax.get_position().bounds:
            return other
    return None


def series_of(ts, station, point, item):
    s = ts[(ts["STATIONID"] == station) & (ts["POINTID"] == point) & (ts["ITEMID"] == item)]
    return s["OBSVALUE"]


def nearby_events(kat_path, stations, station, first, last, filters=NEAR):
    """The catalogue's earthquakes that a subplot of the station should show."""
    row = stations[stations["STATIONID"] == station].iloc[0]
    events = KAT.read_KAT(kat_path)
    events = events[(events.index >= first) & (events.index <= last)]
    marked = KAT.filtered_kats(events, station=(row["LATITUDE"], row["LONGITUDE"]),
                               filters=filters)
    return marked[marked["flag"] == 1]


def plotting_messages(caplog, level):
    return [r.getMessage() for r in caplog.records if r.name == "plotting" and r.levelno == level]


# --- one figure per item ------------------------------------------------------


def test_items_chunks_titles_ticks_and_statistics(sample, plotter, saved):
    ts = sample["water"]
    pairs = ts[["STATIONID", "POINTID"]].drop_duplicates().values.tolist()
    assert len(pairs) == 5
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fig, axes = plotter.plot_by_items(ts, number_of_subplots=2, show_mean=True,
                                          show_std=True, prefix="w_", fig_label="_a")
    assert [str(w.message) for w in caught if "missing from font" in str(w.message)] == []
    assert saved == [("w_4112_a_1", 2), ("w_4112_a_2", 2), ("w_4112_a_3", 1)]
    assert sorted(os.listdir("figures")) == ["w_4112_a_1.png", "w_4112_a_2.png",
                                             "w_4112_a_3.png"]
    assert plt.get_fignums() == []

    # the last figure: the fifth station point alone
    station, point = pairs[4]
    name = plotter.stations_table.set_index("STATIONID").loc[station, "STATIONNAME"]
    raw = series_of(ts, station, point, "4112")
    base = (raw.max() + raw.min()) / 2
    centred = raw - base
    (ax,) = axes
    assert ax.get_title() == f"{name}/{point}/静水位/base=" + str(round(base, 1))
    assert ax.get_ylabel() == "m"
    assert list(ax.get_yticks()) == pytest.approx([centred.min(), 0, centred.max()])
    data, mean, upper, lower = ax.get_lines()
    assert np.asarray(data.get_ydata(), dtype=float) == pytest.approx(
        centred.to_numpy(), nan_ok=True)
    k = 2.0
    assert mean.get_ydata()[0] == pytest.approx(centred.mean())
    assert upper.get_ydata()[0] == pytest.approx(centred.mean() + k * centred.std(), rel=1e-4)
    assert lower.get_ydata()[0] == pytest.approx(centred.mean() - k * centred.std(), rel=1e-4)
    assert [l.get_label() for l in (mean, upper, lower)] == ["Mean", "+2.0σ", "-2.0σ"]
    # the time axis spans the series
    lo, hi = ax.get_xlim()
    valid = raw.dropna().index
    assert lo <= mdates.date2num(valid.min()) and mdates.date2num(valid.max()) <= hi


def test_items_leaves_out_excluded_items_and_draws_units(sample, plotter, saved):
    fig, axes = plotter.plot(sample["magnetic"], groupby="item")
    # the instrument temperature 3128 is never drawn in this layout
    assert [name for name, _ in saved] == ["3121_1", "3122_1", "3123_1"]
    assert axes[0].get_title().startswith("姑咱台/1/垂直分量Z/base=")
    assert axes[0].get_ylabel() == "nT"


def test_items_earthquakes_on_a_second_axis(sample, plotter, saved):
    ts = sample["water"]
    fig, axes = plotter.plot_by_items(ts, kat_dir=sample["kat"], kat_filters=NEAR)
    assert saved == [("4112_1", 5)]
    with_events = 0
    for ax, (station, point) in zip(axes, ts[["STATIONID", "POINTID"]].drop_duplicates()
                                    .values.tolist()):
        raw = series_of(ts, station, point, "4112")
        events = nearby_events(sample["kat"], plotter.stations_table, station,
                               raw.index.min(), raw.index.max())
        twin = twin_of(fig, ax)
        if events.empty:
            assert twin is None
            continue
        with_events += 1
        (markers,) = twin.collections
        offsets = markers.get_offsets()
        assert len(offsets) == len(events)
        assert list(offsets[:, 0]) == pytest.approx(list(mdates.date2num(events.index)))
        assert list(offsets[:, 1]) == pytest.approx(events["distance"].tolist())
        assert twin.get_ylim() == pytest.approx(
            (max(0, events["distance"].min() - 50), events["distance"].max() + 50))
        assert twin.spines["right"].get_visible()
        assert sorted(t.get_text() for t in twin.texts) == sorted(events["text"])
    assert with_events >= 2


def test_crowded_earthquake_labels_keep_every_marker_and_break_no_rule(sample, plotter, saved,
                                                                      caplog):
    ts = sample["water"]
    filters = [(900, 2.0)]
    with caplog.at_level(logging.WARNING, logger="plotting"):
        fig, axes = plotter.plot_by_items(ts, kat_dir=sample["crowded"], kat_filters=filters,
                                          show_mean=True)
    assert drawn.label_faults(fig) == []
    hidden = 0
    for ax, (station, point) in zip(axes, ts[["STATIONID", "POINTID"]].drop_duplicates()
                                    .values.tolist()):
        raw = series_of(ts, station, point, "4112")
        events = nearby_events(sample["crowded"], plotter.stations_table, station,
                               raw.index.min(), raw.index.max(), filters)
        twin = twin_of(fig, ax)
        assert len(twin.collections[0].get_offsets()) == len(events)  # every event is marked
        assert len(drawn.labels(twin)) == len(events)  # and keeps its label, shown or not
        hidden += sum(not t.get_visible() for t in drawn.labels(twin))
    # a cloud of hundreds of events leaves no room for labels: they are left
    # out, and said so once for the figure
    assert hidden > 0
    assert plotting_messages(caplog, logging.WARNING) == [f"4112_1 中 {hidden} 个地震标注无处放置，未显示"]


def test_both_layouts_measured(sample, plotter, saved):
    """What the sample figures show: labels that break no rule, a key naming
    the statistics lines and earthquakes, date tick labels apart, one number
    of decimals on the value ticks of a figure."""
    days = pd.date_range(START, END, freq="D")
    rain = pd.DataFrame({"OBSVALUE": np.linspace(0, 30, len(days))}, index=days)
    figures = [plotter.plot(sample["water"], kat_dir=sample["kat"], kat_filters=NEAR,
                            show_mean=True, show_std=True)[0],
               plotter.plot(sample["resistivity"], groupby="station", rainfall=rain,
                            kat_dir=sample["kat"], kat_filters=NEAR, show_mean=True,
                            show_std=True)[0]]
    for fig in figures:
        assert drawn.label_faults(fig) == []
        assert drawn.overlapping_tick_labels(fig) == []
        renderer = drawn.renderer_of(fig)
        decimals = set()
        keyed = 0
        for ax, overlay in drawn.subplots(fig):
            if ax.get_title() == "降雨量":
                assert drawn.key_of(ax, overlay) is None
                continue
            entries = drawn.key_entries(ax, overlay)
            assert entries == ["Mean", "+2.0σ", "-2.0σ"] + (["地震"] if overlay else [])
            keyed += 1
            decimals |= {len(t.rpartition(".")[2]) if "." in t else 0
                         for t, _ in drawn.tick_label_boxes(ax, renderer, "y")}
        assert keyed >= 2 and len(decimals) == 1


def test_a_day_without_rows_breaks_the_line(sample, plotter, saved):
    ts = sample["resistivity"]
    ts = ts[(ts.index < pd.Timestamp("2024-01-10")) | (ts.index >= pd.Timestamp("2024-01-11"))]
    for layout in ("item", "station"):
        fig, axes = plotter.plot(ts, groupby=layout)
        x, y = axes[0].get_lines()[0].get_xydata().T  # x as matplotlib date numbers
        day = (mdates.date2num(pd.Timestamp("2024-01-09 23:00")),
               mdates.date2num(pd.Timestamp("2024-01-11 00:00")))
        inside = (x > day[0]) & (x < day[1])
        assert inside.sum() == 1 and np.isnan(y[inside]).all()


POPPLER = [shutil.which(tool) for tool in ("pdffonts", "pdftoppm", "pdftotext")]


@pytest.mark.skipif(not all(POPPLER), reason="poppler-utils (pdffonts, pdftoppm, pdftotext) is "
                                            "not installed; scripts/setup-system.sh installs it")
@pytest.mark.parametrize("layout", ["item", "station"])
def test_vector_figures_carry_the_chinese_text_with_its_font(sample, plotter, saved, layout,
                                                            tmp_path):
    from xml.etree import ElementTree

    from PIL import Image

    from kelvane import drawkit

    ts = sample["water"] if layout == "item" else sample["resistivity"]
    kwargs = dict(groupby=layout, kat_dir=sample["kat"], kat_filters=NEAR, show_mean=True)
    fig, axes = plotter.plot(ts, figure_format="pdf", **kwargs)
    title = axes[0].get_title()
    plotter.plot(ts, figure_format="svg", **kwargs)
    name = saved[0][0]
    pdf, svg = f"figures/{name}.pdf", f"figures/{name}.svg"

    fonts = subprocess.run(["pdffonts", pdf], capture_output=True, text=True, check=True).stdout
    rows = [line.split() for line in fonts.splitlines()[2:]]
    cjk = [row for row in rows if "CJK" in row[0]]
    assert cjk and all(row[-5] == "yes" for row in cjk)  # embedded, not referenced
    text = subprocess.run(["pdftotext", "-enc", "UTF-8", pdf, "-"], capture_output=True,
                          text=True, check=True).stdout
    assert title in text and "震中距(km)" in text  # real text, not outlines
    page = tmp_path / "page"
    subprocess.run(["pdftoppm", "-r", "40", "-png", "-singlefile", pdf, str(page)], check=True,
                   capture_output=True)
    with Image.open(f"{page}.png") as im:
        gray = np.asarray(im.convert("L"))
    assert (gray < 128).mean() > 0.005  # something was drawn

    texts = [el for el in ElementTree.parse(svg).iter() if el.tag.endswith("text")]
    titles = [el for el in texts if "".join(el.itertext()) == title]
    assert titles, "the title is not text in the SVG"
    assert drawkit.font_title["family"] in titles[0].get("style", "")


def test_items_missing_metadata_and_empty_windows(sample, plotter, saved, caplog):
    ts = sample["water"]
    plotter.stations_table = plotter.stations_table[plotter.stations_table["STATIONID"] != "37005"]
    with caplog.at_level(logging.WARNING, logger="plotting"):
        fig, axes = plotter.plot_by_items(ts, kat_dir=sample["kat"], kat_filters=[(3000, 0.0)])
    (ax,) = [a for a in axes if a.get_title().startswith("37005/")]
    assert twin_of(fig, ax) is None  # a station without a location gets no earthquakes
    assert all(twin_of(fig, a) is not None for a in axes if a is not ax)

    caplog.clear()
    plotter.items_table = plotter.items_table[plotter.items_table["ITEMID"] != "4112"]
    with caplog.at_level(logging.WARNING, logger="plotting"):
        assert plotter.plot_by_items(ts) == (None, None)
    assert plotting_messages(caplog, logging.WARNING) == ["未找到测项信息: 4112"]
    assert len(saved) == 1

    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="plotting"):
        fig, axes = plotter.plot_by_items(sample["magnetic"], start_time="2024-03-01")
    warned = plotting_messages(caplog, logging.WARNING)
    assert warned == ["51004-1 数据为空!"] * 3
    assert [name for name, _ in saved[1:]] == ["3121_1", "3122_1", "3123_1"]
    assert axes[0].get_lines() == [] and axes[0].get_title() == ""


@pytest.mark.parametrize("where", ["directory", "undecodable"])
def test_unreadable_catalogue_still_gives_every_figure(sample, plotter, saved, caplog, tmp_path,
                                                        where):
    if where == "directory":
        kat = tmp_path
    else:
        kat = tmp_path / "kat.txt"
        kat.write_bytes(b"20240105  36.19117.12  4.2  10   \xff\xfe\n")
    with caplog.at_level(logging.INFO, logger="plotting"):
        fig, axes = plotter.plot(sample["resistivity"], groupby="station", kat_dir=str(kat))
    errors = plotting_messages(caplog, logging.ERROR)
    assert len(errors) == 1 and errors[0].startswith("读取地震目录出错: ")
    assert not any(m.startswith("成功读取地震目录") for m in plotting_messages(caplog, logging.INFO))
    assert saved == [("370082_1", 2)]
    assert all(twin_of(fig, a) is None for a in axes)


# --- one figure per station point ---------------------------------------------


def test_stations_excluded_currents_rainfall_and_earthquakes(sample, plotter, saved):
    ts = sample["resistivity"]
    days = pd.date_range(START, END, freq="D")
    rain = pd.DataFrame({"OBSVALUE": np.linspace(0, 30, len(days))}, index=days)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fig, axes = plotter.plot(ts, groupby="station", rainfall=rain, show_mean=True,
                                 kat_dir=sample["kat"], kat_filters=NEAR, fig_height=2)
    assert [str(w.message) for w in caught if "missing from font" in str(w.message)] == []
    # the supply currents 3215 and 3216 are left out; rainfall below
    assert saved == [("370082_1", 3)]
    assert len(axes) == 3 and fig.get_size_inches() == pytest.approx((10, 6))
    titles = [a.get_title() for a in axes]
    assert titles[0].startswith("泰安地电台/1/NS向地电阻率/base=")
    assert titles[1].startswith("泰安地电台/1/EW向地电阻率/base=")
    assert titles[2] == "降雨量"
    assert [a.get_ylabel() for a in axes] == ["Ω·m", "Ω·m", "mm"]
    assert [p.get_height() for p in axes[2].patches] == pytest.approx(rain["OBSVALUE"].tolist())
    assert axes[2].yaxis_inverted()
    raw = series_of(ts, "370082", "1", "3212")
    assert axes[1].get_lines()[0].get_label() == titles[1]
    assert axes[1].get_lines()[1].get_ydata()[0] == pytest.approx((raw - (raw.max() + raw.min()) / 2).mean())
    events = nearby_events(sample["kat"], plotter.stations_table, "370082", raw.index.min(),
                           raw.index.max())
    assert not events.empty
    for ax in axes[:2]:
        twin = twin_of(fig, ax)
        assert len(twin.collections[0].get_offsets()) == len(events)
    assert twin_of(fig, axes[2]) is None


def test_stations_keep_the_instrument_temperature_and_follow_style_lists(sample, plotter, saved,
                                                                         caplog):
    ts = sample["magnetic"]
    fig, axes = plotter.plot_by_stations(ts, plot_types=["scatter", "stem"], daily_mean_values=True,
                                         set_zero=False)
    assert saved == [("51004_1", 4)]
    assert [a.get_title().split("/")[2] for a in axes] == ["地磁偏角D", "水平分量H", "垂直分量Z",
                                                           "磁通门仪器温度"]
    assert [a.get_ylabel() for a in axes] == ["′", "nT", "nT", "℃"]
    assert isinstance(axes[0].collections[0], PathCollection)
    assert isinstance(axes[1].containers[0], StemContainer)
    daily = series_of(ts, "51004", "1", "3128").resample("D").median()
    assert np.asarray(axes[3].get_lines()[0].get_ydata(), dtype=float) == pytest.approx(
        daily.to_numpy(), nan_ok=True)
    assert axes[3].get_yticks()[1] == pytest.approx((daily.min() + daily.max()) / 2)

    plotter.items_table = plotter.items_table[plotter.items_table["ITEMID"] != "3122"]
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="plotting"):
        fig, axes = plotter.plot_by_stations(ts, end_time="2023-12-31")
    assert plotting_messages(caplog, logging.WARNING) == [
        f"51004-1-{item} 数据为空!" for item in ("3121", "3122", "3123", "3128")]
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="plotting"):
        fig, axes = plotter.plot_by_stations(ts)
    assert plotting_messages(caplog, logging.WARNING) == ["未找到测项信息: 3122"]
    assert axes[1].get_title() == "" and axes[1].get_lines() == []
    assert len(axes) == 4 and [n for n, _ in saved[1:]] == ["51004_1", "51004_1"]


def test_stations_of_every_well_one_file_each(sample, plotter, saved):
    ts = pd.concat([sample["water"], sample["magnetic"]])
    fig, axes = plotter.plot(ts, groupby="STATION", prefix="s_")
    wells = ts[["STATIONID", "POINTID"]].drop_duplicates().values.tolist()
    assert [name for name, _ in saved] == [f"s_{s}_{p}" for s, p in wells]
    assert sorted(os.listdir("figures")) == sorted(f"s_{s}_{p}.png" for s, p in wells)
    assert plotter.plot(ts, groupby="items") == (None, None)
    assert len(saved) == len(wells)


# --- long runs ----------------------------------------------------------------


def test_two_hundred_figures_leave_none_open_and_none_kept(sample, plotter, monkeypatch):
    """Closed figures are reclaimed as the run goes: when the caller lets the
    results go, at most the figure being saved and the one before it exist."""
    original = TSPlotter._save_figure
    figures = []
    alive_at_save = []

    def alive():
        return sum(ref() is not None for ref in figures)

    def save(self, fig, filename, format="png", dpi=300):
        figures.append(weakref.ref(fig))
        alive_at_save.append(alive())
        return original(self, fig, filename, format, 10)

    monkeypatch.setattr(TSPlotter, "_save_figure", save)
    ts = sample["water"]
    ts = ts[ts.index < pd.Timestamp("2024-01-03")]
    alive_after_call = []
    for n in range(20):
        plotter.plot_by_items(ts, number_of_subplots=1, fig_height=0.8, fig_label=str(n % 2))
        alive_after_call.append(alive())
        plotter.plot_by_stations(ts, fig_height=0.8)
        alive_after_call.append(alive())
        assert plt.get_fignums() == []
    assert len(figures) == 200
    assert max(alive_at_save) <= 2
    assert max(alive_after_call) <= 1
    assert len(os.listdir("figures")) == 15
