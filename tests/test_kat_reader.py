"""Earthquake catalogue reader: fixed character columns into a table."""

import locale
import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kelvane import KAT
from reference.kat_reference import read_kat_reference



def catalogue_line(time="", lat="", lon="", magnitude="", name=""):
    """One line with every field right-aligned in its columns."""
    return f"{time:>14} {lat:>6}{lon:>6} {magnitude:>4}{'':7}{name}"


WENCHUAN = catalogue_line("20080512142804", "31.00", "103.40", "8.0", "四川汶川")
assert WENCHUAN.index("四") == 39 and WENCHUAN[15:21] == " 31.00" and WENCHUAN[28:32] == " 8.0"


def write(path, text, encoding="utf-8"):
    path.write_bytes(text.encode(encoding))
    return path


def assert_same_as_reference(path, encoding=None):
    native = KAT.read_KAT(path, encoding=encoding)
    expected = read_kat_reference(path, encoding=encoding)
    pd.testing.assert_frame_equal(native, expected, check_exact=True)
    return native


# -- documented examples ------------------------------------------------------


def test_reads_the_documented_line(tmp_path):
    df = KAT.read_KAT(write(tmp_path / "kat.txt", WENCHUAN + "\n"))
    assert list(df.columns) == ["lon", "lat", "magnitude", "name"]
    assert df.index.name == "ind"
    assert df.index[0] == pd.Timestamp("2008-05-12 14:28:04")
    row = df.iloc[0]
    assert (row["lat"], row["lon"], row["magnitude"], row["name"]) == (31.0, 103.4, 8.0, "四川汶川")
    assert df["lat"].dtype == np.float64 and pd.api.types.is_string_dtype(df["name"])
    # keyword call, path-like object
    pd.testing.assert_frame_equal(KAT.read_KAT(kat_dir=str(tmp_path / "kat.txt")), df)


def test_blank_short_and_invalid_lines(tmp_path):
    text = "\n".join(
        [
            "",
            "   \t",
            WENCHUAN + "   ",
            "",
            "20100414074940",  # only an origin time
            catalogue_line("20081301000000", "30.5", "x", "4.1", "某地"),  # month 13
            catalogue_line("20090101000000", "-12.25", "99.5", "", "a longer place name  "),
            "\u3000",
            "",
        ]
    )
    df = assert_same_as_reference(write(tmp_path / "kat.txt", text))
    assert len(df) == 4
    only_time = df.iloc[1]
    assert df.index[1] == pd.Timestamp("2010-04-14 07:49:40")
    assert all(math.isnan(only_time[c]) for c in ("lon", "lat", "magnitude", "name"))
    assert pd.isna(df.index[2]) and df.iloc[2]["lat"] == 30.5 and math.isnan(df.iloc[2]["lon"])
    assert df["name"].tolist()[::2] == ["四川汶川", "某地"]
    assert df.iloc[3]["name"] == "a longer place name" and math.isnan(df.iloc[3]["magnitude"])


def test_empty_file(tmp_path):
    df = assert_same_as_reference(write(tmp_path / "kat.txt", ""))
    assert df.empty and list(df.columns) == ["lon", "lat", "magnitude", "name"]
    assert df.index.name == "ind" and isinstance(df.index, pd.DatetimeIndex)


def test_rows_keep_file_order(tmp_path):
    lines = [catalogue_line(t, "30", "100", "3.0", n) for t, n in
             [("20200101000000", "c"), ("20100101000000", "a"), ("20150101000000", "b")]]
    df = KAT.read_KAT(write(tmp_path / "kat.txt", "\n".join(lines)))
    assert df["name"].tolist() == ["c", "a", "b"]
    assert df.index.year.tolist() == [2020, 2010, 2015]


def test_line_ends_of_every_kind(tmp_path):
    lines = [catalogue_line("20080512142804", "31.00", "103.40", "8.0", f"名{i}  ") for i in range(4)]
    text = lines[0] + "\r\n" + lines[1] + "\r" + lines[2] + "\n\r\n" + lines[3] + "\r\n"
    df = assert_same_as_reference(write(tmp_path / "kat.txt", text))
    assert df["name"].tolist() == ["名0", "名1", "名2", "名3"]


def test_numbers_in_every_form_float_accepts(tmp_path):
    fields = ["1e1", "-1_0", "+.5", "5.", "inf", "-NaN", "1e999", "٣.٥", "１２", "1.2.3", "--1", "_1", "- 1"]
    lines = [catalogue_line("20000101000000", f, "0", "", "") for f in fields]
    df = assert_same_as_reference(write(tmp_path / "kat.txt", "\n".join(lines)))
    expected = []
    for f in fields:
        try:
            expected.append(float(f))
        except ValueError:
            expected.append(np.nan)
    np.testing.assert_array_equal(df["lat"].to_numpy(), np.array(expected))


def test_times_pandas_reads_its_own_way(tmp_path):
    # leap days, rolled-over leap seconds, short digit runs and year zero are
    # settled by pandas with the catalogue's format; so are the years beyond
    # pandas 2's nanosecond range (NaT there, dates on pandas 3)
    times = ["20000229000000", "19000229000000", "20080512142860", "2008512142804",
             "00000101000000", "00010101000000", "2008-05-12", "２００８０５１２１４２８０４",
             "15000101000000", "23000101000000", "16770921001244", "22620411234716"]
    lines = [catalogue_line(t, "1", "2", "3") for t in times]
    df = assert_same_as_reference(write(tmp_path / "kat.txt", "\n".join(lines)))
    assert df.index[0] == pd.Timestamp("2000-02-29") and pd.isna(df.index[1])
    assert df.index[2] == pd.Timestamp("2008-05-12 14:29:00")


def test_no_valid_time_at_all(tmp_path):
    lines = [catalogue_line(t, "1", "2", "3") for t in ["x", "20081301000000", "nope"]]
    df = assert_same_as_reference(write(tmp_path / "kat.txt", "\n".join(lines)))
    assert df.index.isna().all()


def test_names_follow_the_configured_text_storage(tmp_path):
    path = write(tmp_path / "kat.txt", WENCHUAN + "\n20100414074940\n" + catalogue_line("2010", name="é😀"))
    with pd.option_context("mode.string_storage", "python"):
        df = assert_same_as_reference(path)
        # the dtype pandas gives a list of texts: "str" held by Python on
        # pandas 3, object on pandas 2
        assert df["name"].dtype == pd.Series(["x"]).dtype
    assert df["name"].tolist()[::2] == ["四川汶川", "é😀"]


def test_names_that_cannot_be_text_fail_as_in_pandas(tmp_path):
    # a lone surrogate (only escape codecs make one) has no UTF-8 form: text
    # columns stored in Arrow refuse it, object columns keep it
    path = write(tmp_path / "kat.txt", catalogue_line("20080512142804", name="a\\ud800b"))
    try:
        expected = read_kat_reference(path, encoding="unicode_escape")
    except UnicodeEncodeError:
        with pytest.raises(UnicodeEncodeError):
            KAT.read_KAT(path, encoding="unicode_escape")
    else:
        native = KAT.read_KAT(path, encoding="unicode_escape")
        pd.testing.assert_frame_equal(native, expected, check_exact=True)
        assert native["name"].tolist() == ["a\ud800b"]


# -- file handling and encodings ----------------------------------------------


def test_missing_file_raises_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        KAT.read_KAT(tmp_path / "absent.txt")
    with pytest.raises(IsADirectoryError):
        KAT.read_KAT(tmp_path)


def test_a_file_descriptor_is_not_a_path(tmp_path):
    """An integer would make open() read that descriptor and close it: read_KAT(1)
    closed standard output."""
    import os

    write(tmp_path / "1", WENCHUAN)
    for fd in (0, 1, 2, True):
        with pytest.raises(TypeError, match="kat_dir must be a path"):
            KAT.read_KAT(fd)
        os.fstat(fd)  # still open
    for path in (str(tmp_path / "1"), bytes(tmp_path / "1"), tmp_path / "1"):
        assert KAT.read_KAT(path)["magnitude"].tolist() == [8.0]


def test_gbk_catalogue(tmp_path):
    text = WENCHUAN + "\n" + catalogue_line("20130420080246", "30.30", "103.00", "7.0", "四川芦山县") + "\n"
    path = write(tmp_path / "kat.txt", text, encoding="gbk")
    df = assert_same_as_reference(path, encoding="gbk")
    assert df["name"].tolist() == ["四川汶川", "四川芦山县"]
    assert df["magnitude"].tolist() == [8.0, 7.0]
    if locale.getpreferredencoding(False).lower().replace("-", "") != "utf8":
        pytest.skip("the platform default encoding is not UTF-8")
    with pytest.raises(UnicodeDecodeError):
        KAT.read_KAT(path)
    with pytest.raises(LookupError):
        KAT.read_KAT(path, encoding="no-such-codec")


def test_encoding_is_keyword_only(tmp_path):
    path = write(tmp_path / "kat.txt", WENCHUAN)
    with pytest.raises(TypeError):
        KAT.read_KAT(path, "utf-8")


# -- generated files against the plain reader ---------------------------------

TEXT = st.characters(exclude_categories=("Cs",))
NUMBER_TEXT = st.one_of(
    st.floats(-999, 999, allow_nan=False).map(lambda v: f"{v:.2f}"),
    st.integers(-99, 999).map(str),
    st.text(st.sampled_from("0123456789.+-_eE naifINF"), max_size=6),
    st.text(TEXT, max_size=6),
)
TIME_TEXT = st.one_of(
    st.datetimes(min_value=pd.Timestamp("1000-01-01").to_pydatetime()).map(lambda t: t.strftime("%Y%m%d%H%M%S")),
    st.tuples(st.integers(0, 2100), st.integers(0, 13), st.integers(0, 32), st.integers(0, 24),
              st.integers(0, 60), st.integers(0, 61)).map(lambda t: "%04d%02d%02d%02d%02d%02d" % t),
    st.text(st.sampled_from("0123456789"), min_size=12, max_size=14),
    st.text(st.sampled_from("0123456789 -:"), max_size=14),
    st.text(TEXT, max_size=14),
)
LINE = st.builds(
    catalogue_line,
    TIME_TEXT,
    NUMBER_TEXT,
    NUMBER_TEXT,
    NUMBER_TEXT.map(lambda s: s[:4]),
    st.text(TEXT, max_size=30),
)
BLANK = st.sampled_from(["", " ", "\t ", "\u3000", "\x0c"])
LINE_END = st.sampled_from(["\n", "\r\n", "\r"])


@st.composite
def catalogue_texts(draw):
    parts = []
    for _ in range(draw(st.integers(0, 12))):
        line = draw(st.one_of(LINE, LINE.flatmap(lambda s: st.integers(0, len(s)).map(lambda k: s[:k])), BLANK))
        line += draw(st.sampled_from(["", "  ", "\t"]))
        parts.append(line + draw(LINE_END))
    text = "".join(parts)
    if parts and draw(st.booleans()):
        text = text.rstrip("\r\n")  # no line end after the last line
    return text


@settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=catalogue_texts())
def test_generated_files_match_reference(tmp_path, text):
    assert_same_as_reference(write(tmp_path / "kat.txt", text))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(lines=st.lists(LINE, max_size=8), encoding=st.sampled_from(["gbk", "utf-16", "latin-1"]))
def test_generated_files_in_other_encodings(tmp_path, lines, encoding):
    text = "\n".join(lines)
    try:
        data = text.encode(encoding)
    except UnicodeEncodeError:
        data = text.encode(encoding, errors="replace")
    path = tmp_path / "kat.txt"
    path.write_bytes(data)
    assert_same_as_reference(path, encoding=encoding)
