"""Figure style, font dictionaries and the small table helpers of drawkit."""

import io
import logging
import os
import warnings
from datetime import timedelta

import matplotlib
import matplotlib.font_manager as font_manager
import numpy as np
import pandas as pd
import pytest

from kelvane import drawkit

WINDOWS_SERIF = ["STSong", "SimSun", "DengXian", "Times New Roman", "serif"]


def known_families():
    return {entry.name for entry in font_manager.fontManager.ttflist}


# --- style and fonts --------------------------------------------------------


def test_import_sets_the_publication_style():
    rc = matplotlib.rcParams
    assert rc["axes.unicode_minus"] is False
    assert rc["axes.spines.top"] is False and rc["axes.spines.right"] is False
    assert rc["svg.fonttype"] == "none"
    assert rc["xtick.direction"] == "out" and rc["ytick.direction"] == "out"
    assert rc["font.family"] == ["serif"]
    assert rc["font.size"] == 12
    assert rc["mathtext.fontset"] == "stix"
    assert rc["pdf.fonttype"] == 42
    assert rc["axes.xmargin"] == 0.01


DEBIAN_SERIF_CJK = "/usr/share/fonts/opentype/noto/NotoSerifCJK-Regular.ttc"


def face_family(font_path):
    """Family name of the face matplotlib draws from a found font (a file, or
    a collection's face on a matplotlib that reads them)."""
    from fontTools.ttLib import TTCollection, TTFont

    index = getattr(font_path, "face_index", 0)
    path = str(font_path)
    face = TTCollection(path, lazy=True).fonts[index] if path.endswith((".ttc", ".otc")) \
        else TTFont(path, lazy=True)
    return face["name"].getDebugName(1)


def test_serif_list_keeps_windows_fonts_first_then_an_installed_cjk_face():
    serif = matplotlib.rcParams["font.serif"]
    assert serif[:5] == WINDOWS_SERIF
    assert serif[5:] == [drawkit.cjk_serif_family]
    assert drawkit.cjk_serif_family in known_families()
    # the serif family draws from that very face, whatever the machine's
    # first face of a collection is (Japanese in Debian's Noto CJK files)
    found = font_manager.findfont(font_manager.FontProperties(family=["serif"]))
    assert face_family(found) == drawkit.cjk_serif_family


@pytest.mark.skipif(not os.path.exists(DEBIAN_SERIF_CJK),
                    reason="Debian's fonts-noto-cjk is not installed (scripts/setup-system.sh)")
def test_debian_noto_serif_sc_is_the_cjk_face_on_every_matplotlib():
    assert drawkit.cjk_serif_family == "Noto Serif CJK SC"
    assert drawkit.cjk_sans_family == "Noto Sans CJK SC"
    assert drawkit.font_suptitle["family"] in ("SimHei", "Noto Sans CJK SC")


# Hides every CJK font of the machine from matplotlib before drawkit is
# imported; a child interpreter, since the style is set once per process.
HIDE_MACHINE_CJK = """
    import json, logging, sys, warnings, io
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.font_manager as fm
    fm.fontManager.ttflist = [e for e in fm.fontManager.ttflist if "CJK" not in e.name]
    fm.findSystemFonts = lambda *a, **k: []
    import kelvane.logsetup
    records = []
    handler = logging.Handler()
    handler.emit = lambda r: records.append((r.levelname, r.getMessage()))
    logging.getLogger("plotting").addHandler(handler)
"""

REPORT_STYLE = """
    from kelvane import drawkit
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots()
    ax.set_title("泰安/1/水位", fontdict=drawkit.font_title)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fig.savefig(io.BytesIO(), format="png")
    found = fm.findfont(fm.FontProperties(family=["serif"]))
    print(json.dumps({"serif": matplotlib.rcParams["font.serif"],
                      "cjk": drawkit.cjk_serif_family, "title": drawkit.font_title["family"],
                      "found": [str(found), getattr(found, "face_index", 0)],
                      "missing": [str(w.message) for w in caught if "missing from font" in str(w.message)],
                      "records": records}))
"""


def run_style(run_python, tmp_path, code):
    import json
    import textwrap

    r = run_python(textwrap.dedent(HIDE_MACHINE_CJK) + textwrap.dedent(code)
                   + textwrap.dedent(REPORT_STYLE), tmp_path)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout.splitlines()[-1])


def test_the_fonts_extra_gives_the_style_its_cjk_face(run_python, tmp_path):
    pytest.importorskip("noto_cjk", reason='the fonts extra (pip install "kelvane[fonts]")')
    import noto_cjk

    if not noto_cjk.get("sans", "", "", "otc").installed:
        pytest.skip('the fonts extra (pip install "kelvane[fonts]") is not installed')
    out = run_style(run_python, tmp_path, "")
    assert out["serif"] == WINDOWS_SERIF + ["Noto Sans CJK SC"]
    assert out["cjk"] == out["title"] == "Noto Sans CJK SC"
    assert out["missing"] == []
    assert out["records"] == []
    assert face_family(font_manager.FontPath(*out["found"]) if hasattr(font_manager, "FontPath")
                       else out["found"][0]) == "Noto Sans CJK SC"


def test_without_any_cjk_font_one_warning_says_how_to_get_one(run_python, tmp_path):
    out = run_style(run_python, tmp_path, """
        sys.modules["noto_cjk"] = None  # the fonts extra is not installed
    """)
    assert out["serif"] == WINDOWS_SERIF
    assert out["cjk"] is None and out["title"] == "STSong"
    assert out["missing"]  # what the warning is about
    warned = [m for level, m in out["records"] if level == "WARNING"]
    assert len(warned) == 1
    assert 'pip install "kelvane[fonts]"' in warned[0] and "fonts-noto-cjk" in warned[0]


def test_font_dictionaries():
    families = known_families()
    song = "STSong" if "STSong" in families else drawkit.cjk_serif_family
    hei = "SimHei" if "SimHei" in families else drawkit.cjk_sans_family
    assert list(drawkit.font_title.items()) == [
        ("family", song), ("color", "black"), ("weight", "normal"), ("size", 11)]
    assert list(drawkit.font_xlabel.items()) == [
        ("family", song), ("weight", "normal"), ("size", 11)]
    assert list(drawkit.font_unit.items()) == [
        ("family", song), ("weight", "normal"), ("size", 11)]
    assert list(drawkit.font_suptitle.items()) == [
        ("family", hei), ("color", "black"), ("weight", "normal"), ("size", 16)]
    assert list(drawkit.legend_font.items()) == [("family", song), ("size", 9)]


def test_chinese_text_renders_without_missing_glyphs(caplog):
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots()
    ax.plot([0, 1], [-1, 1])
    ax.set_title("泰安/1/水位/base=-0.5", fontdict=drawkit.font_title)
    ax.set_ylabel("$ 10^{-3} $角秒", fontdict=drawkit.font_unit)
    ax.set_xlabel("时间", fontdict=drawkit.font_xlabel)
    fig.text(0.5, 0.98, "地震前兆观测", fontdict=drawkit.font_suptitle)
    ax.text(0.5, 0, "震中距(km) 降雨量")
    with warnings.catch_warnings(record=True) as caught, caplog.at_level(logging.WARNING):
        warnings.simplefilter("always")
        fig.savefig(io.BytesIO(), format="png")
        fig.savefig(io.BytesIO(), format="pdf")
    plt.close(fig)
    glyphs = [str(w.message) for w in caught if "missing from font" in str(w.message)]
    assert glyphs == []
    assert not [r for r in caplog.records if "findfont" in r.getMessage()]


def test_docstrings():
    assert drawkit.create_figures_folder.__doc__ == "创建保存图像的文件夹"
    assert drawkit.calculate_stats.__doc__.startswith("计算统计信息，包括均值、标准差和上下限")
    assert "dict: 包含统计信息的字典" in drawkit.calculate_stats.__doc__
    assert drawkit.get_freq_str.__doc__.startswith("根据时间差异的大小返回合适的频率字符串。")
    assert "如果 SAMPLERATE 不存在，则回退到基于时间戳间隔计算。" in drawkit.reindex_df_by_interval.__doc__


# --- create_figures_folder --------------------------------------------------


def test_create_figures_folder_twice(caplog, tmp_path):
    with caplog.at_level(logging.INFO, logger="plotting"):
        drawkit.create_figures_folder()
        drawkit.create_figures_folder()
    messages = [r.getMessage() for r in caplog.records if r.name == "plotting"]
    cwd = os.getcwd()
    assert messages == [f"Current working directory: {cwd}", "Created figures folder",
                        f"Current working directory: {cwd}"]
    assert os.path.isdir("figures")


def test_create_figures_folder_leaves_a_file_of_that_name_alone():
    with open("figures", "w") as fh:
        fh.write("x")
    drawkit.create_figures_folder()
    assert os.path.isfile("figures")


# --- calculate_stats --------------------------------------------------------


def test_calculate_stats_values_and_key_order():
    stats = drawkit.calculate_stats(pd.DataFrame({"OBSVALUE": [1, 2, 3, 4]}))
    assert list(stats) == ["mean", "median", "std", "min", "max", "lower_limit", "upper_limit"]
    assert stats["mean"] == 2.5 and stats["median"] == 2.5
    assert stats["std"] == pytest.approx(1.2909944, rel=1e-6)
    assert (stats["min"], stats["max"]) == (1, 4)
    assert stats["lower_limit"] == pytest.approx(-0.0819889, rel=1e-5)
    assert stats["upper_limit"] == pytest.approx(5.0819889, rel=1e-6)


def test_calculate_stats_skips_missing_and_uses_column_and_multiplier():
    df = pd.DataFrame({"V": [1.0, np.nan, 3.0], "OBSVALUE": [0.0, 0.0, 0.0]})
    stats = drawkit.calculate_stats(df, "V", 3)
    assert stats["mean"] == 2.0
    std = pd.Series([1.0, 3.0]).std()
    assert stats["upper_limit"] == pytest.approx(2.0 + 3 * std)
    assert stats["lower_limit"] == pytest.approx(2.0 - 3 * std)
    stats = drawkit.calculate_stats(df=df, column="V", multiplier=0.5)
    assert stats["upper_limit"] == pytest.approx(2.0 + 0.5 * std)


def test_calculate_stats_missing_column():
    with pytest.raises(KeyError):
        drawkit.calculate_stats(pd.DataFrame({"A": [1]}))


# --- get_freq_str -----------------------------------------------------------


@pytest.mark.parametrize("seconds, expected", [
    (1, "1s"), (59.9, "59s"), (60, "1min"), (90, "1min"), (3599, "59min"),
    (3600, "1h"), (86399, "23h"), (86400, "1D"), (2 * 86400, "1D"), (0.5, "0s"),
])
def test_get_freq_str(seconds, expected):
    assert drawkit.get_freq_str(pd.Timedelta(seconds=seconds)) == expected
    assert drawkit.get_freq_str(timedelta(seconds=seconds)) == expected


def test_get_freq_str_needs_a_time_span():
    with pytest.raises(AttributeError):
        drawkit.get_freq_str(60)


# --- reindex_df_by_interval -------------------------------------------------


def minute_table(samplerate=1, drop=("2020-01-01 00:02",)):
    idx = pd.date_range("2020-01-01 00:00", periods=6, freq="min")
    df = pd.DataFrame({"STATIONID": "37001", "OBSVALUE": np.arange(6, dtype="float32")},
                      index=idx)
    if samplerate is not None:
        df.insert(1, "SAMPLERATE", samplerate)
    return df.drop(pd.DatetimeIndex(list(drop)))


@pytest.mark.parametrize("rate", [1, 1.0, "1", " 01 ", "01.0"])
def test_reindex_by_rate_code_puts_minutes_on_a_grid(rate):
    df = minute_table(rate)
    out = drawkit.reindex_df_by_interval(df)
    assert list(out.index) == list(pd.date_range("2020-01-01", periods=6, freq="min"))
    gap = out.loc["2020-01-01 00:02"]
    assert gap.isna().all()
    assert out["OBSVALUE"].iloc[3] == 3.0
    assert df.shape == (5, 3)  # the caller's table is not changed


@pytest.mark.parametrize("rate, freq", [("02", "s"), ("60", "h"), ("90", "D")])
def test_reindex_rate_codes(rate, freq):
    idx = pd.date_range("2020-01-01", periods=3, freq=freq)
    df = pd.DataFrame({"SAMPLERATE": rate, "OBSVALUE": [1.0, 2.0, 3.0]}, index=idx).iloc[[0, 2]]
    out = drawkit.reindex_df_by_interval(df)
    assert list(out.index) == list(idx)


@pytest.mark.parametrize("rate", ["03", None, "missing-column"])
def test_reindex_falls_back_to_the_most_frequent_spacing(rate, caplog):
    idx = pd.DatetimeIndex(["2020-01-01 00:00", "2020-01-01 00:10", "2020-01-01 00:20",
                            "2020-01-01 00:40", "2020-01-01 00:45"])
    df = pd.DataFrame({"OBSVALUE": [1.0, 2, 3, 4, 5]}, index=idx)
    if rate != "missing-column":
        df["SAMPLERATE"] = rate
    with caplog.at_level(logging.DEBUG, logger="plotting"):
        out = drawkit.reindex_df_by_interval(df)
    assert "SAMPLERATE 列缺失或 ID 未识别，回退到动态计算频率" in caplog.messages
    # 10 minutes is the most frequent spacing; 00:45 is not on that grid
    assert list(out.index) == list(pd.date_range("2020-01-01 00:00", "2020-01-01 00:40",
                                                 freq="10min"))
    assert out["OBSVALUE"].tolist()[:3] == [1.0, 2.0, 3.0]
    assert np.isnan(out["OBSVALUE"].iloc[3])


def test_reindex_daily_grid_follows_the_first_time_of_day():
    idx = pd.DatetimeIndex(["2020-01-01 08:00", "2020-01-02 08:00", "2020-01-03 09:00",
                            "2020-01-05 08:00"])
    df = pd.DataFrame({"SAMPLERATE": "90", "OBSVALUE": [1.0, 2, 3, 5]}, index=idx)
    out = drawkit.reindex_df_by_interval(df)
    assert list(out.index) == list(pd.date_range("2020-01-01 08:00", periods=5, freq="D"))
    assert np.isnan(out["OBSVALUE"].iloc[2])  # 09:00 row dropped, 08:00 missing
    assert out["OBSVALUE"].iloc[4] == 5.0


def test_reindex_single_row_without_samplerate():
    df = pd.DataFrame({"OBSVALUE": [7.0]}, index=pd.DatetimeIndex(["2020-01-01 03:00"]))
    out = drawkit.reindex_df_by_interval(df)
    assert out.index.tolist() == df.index.tolist()
    assert out["OBSVALUE"].tolist() == [7.0]


def test_reindex_errors():
    dup = pd.DataFrame({"SAMPLERATE": 1, "OBSVALUE": [1.0, 2.0]},
                       index=pd.DatetimeIndex(["2020-01-01", "2020-01-01"]))
    with pytest.raises(ValueError):
        drawkit.reindex_df_by_interval(dup)
    with pytest.raises((ValueError, IndexError)):
        drawkit.reindex_df_by_interval(
            pd.DataFrame({"OBSVALUE": []}, index=pd.DatetimeIndex([])))
    with pytest.raises(Exception):
        drawkit.reindex_df_by_interval(pd.DataFrame({"OBSVALUE": [1.0, 2.0]}))
