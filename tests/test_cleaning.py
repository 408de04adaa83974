"""kelvane.cleaning.split_lines against the plain-pandas reference, the
documented edge cases and the errors of bad input."""

import sys
import warnings

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kelvane import cleaning
from reference.split_reference import split_lines_reference

DAY = pd.Timestamp("2020-01-01")


def bounded(examples):
    return settings(max_examples=examples, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def frame(starts, texts, **extra):
    cols = dict(extra)
    cols["STARTDATE"] = pd.to_datetime(pd.Series(starts))
    cols["OBSVALUE"] = pd.Series(texts, dtype=object)
    return pd.DataFrame(cols)


def assert_same_table(got, want):
    pd.testing.assert_frame_equal(got, want, check_exact=True)
    g = got["OBSVALUE"].to_numpy()
    w = want["OBSVALUE"].to_numpy()
    # bit for bit: NaN where NaN, and the sign of zero
    np.testing.assert_array_equal(g.view(np.uint32), w.view(np.uint32))


def kernel_values(tokens):
    """float32 of each token, read through one row of a second-sampled table."""
    row = "0 " + " ".join(tokens) + " 0"
    out = cleaning.split_lines(frame([DAY], [row]), 1)
    return out["OBSVALUE"].to_numpy()[1:-1]


def pandas_values(tokens, extra=()):
    s = pd.Series(list(tokens) + list(extra), dtype=object)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # float64 beyond float32: inf
        out = pd.to_numeric(s, errors="coerce").astype("float32").to_numpy()
    return out[: len(tokens)]


# ---------------------------------------------------------------------------
# The documented behaviour


def test_worked_example_minute_row():
    out = cleaning.split_lines(frame([DAY], [" 1.5 NULL 2 "]), 60)
    assert list(out.index) == [DAY, DAY + pd.Timedelta(minutes=1), DAY + pd.Timedelta(minutes=2)]
    assert out.index.name == "STARTDATE"
    assert out["OBSVALUE"].dtype == np.float32
    np.testing.assert_array_equal(out["OBSVALUE"].to_numpy(), np.array([1.5, np.nan, 2.0], np.float32))


@pytest.mark.parametrize(
    "seconds, count, step",
    [(3600, 24, pd.Timedelta(hours=1)), (1, 86400, pd.Timedelta(seconds=1)),
     (600, 5, pd.Timedelta(minutes=1)), (60, 1440, pd.Timedelta(minutes=1)),
     (0, 3, pd.Timedelta(minutes=1)), (60.0, 3, pd.Timedelta(minutes=1))],
)
def test_sample_steps(seconds, count, step):
    text = " ".join(str(k) for k in range(count))
    out = cleaning.split_lines(frame([DAY], [text], STATIONID=["a"]), seconds)
    assert len(out) == count
    assert (out.index == DAY + step * np.arange(count)).all()
    np.testing.assert_array_equal(out["OBSVALUE"].to_numpy(), np.arange(count, dtype=np.float32))
    assert (out["STATIONID"] == "a").all()


def test_blanks_missing_texts_and_order():
    df = frame(
        [DAY + pd.Timedelta(days=1), DAY, DAY, DAY, pd.NaT, DAY],
        ["7 8", "1  2", None, "  \t ", "5 6", np.nan],
        POINTID=["p1", "p2", "p3", "p4", "p5", "p6"],
    )
    before = df.copy()
    out = cleaning.split_lines(df, 60)
    pd.testing.assert_frame_equal(df, before)  # the input is left alone
    m = pd.Timedelta(minutes=1)
    assert list(out.index[:6]) == [DAY, DAY, DAY + m, DAY + 2 * m, DAY + 1440 * m, DAY + 1441 * m]
    assert list(out["POINTID"]) == ["p2", "p4", "p2", "p2", "p1", "p1", "p3", "p5", "p5", "p6"]
    assert out.index[6:].isna().all()
    vals = out["OBSVALUE"].to_numpy()
    np.testing.assert_array_equal(vals, np.array([1, np.nan, np.nan, 2, 7, 8, np.nan, 5, 6, np.nan], np.float32))
    assert list(out.columns) == ["POINTID", "OBSVALUE"]


def test_daily_table_is_changed_in_place():
    df = frame([DAY + pd.Timedelta(days=1), DAY, pd.NaT], ["12.5", " 3 ", None], STATIONID=["a", "b", "c"])
    df = df[["STATIONID", "OBSVALUE", "STARTDATE"]]
    out = cleaning.split_lines(df, 86400)
    assert out is df
    assert list(df.columns) == ["STATIONID", "OBSVALUE"]
    assert df.index.name == "STARTDATE"
    assert list(df["STATIONID"]) == ["b", "a", "c"]
    assert df["OBSVALUE"].dtype == np.float32
    np.testing.assert_array_equal(df["OBSVALUE"].to_numpy(), np.array([3, 12.5, np.nan], np.float32))
    assert pd.isna(df.index[-1])


def test_daily_table_keeps_the_dtype_of_every_other_column():
    # as split tables do: object columns of text stay object (None stays
    # None), and every other storage keeps its dtype
    texts = ["1.5", "NULL", "2"]
    df = pd.DataFrame({
        "STATIONID": pd.Series(["a", None, "c"], dtype=object),
        "POINTID": pd.Series(["1", "2", None], dtype="str"),
        "ITEMID": pd.Series(["x", "y", "x"], dtype="category"),
        "N": pd.Series([1, None, 3], dtype="Int64"),
        "K": pd.Series([1, 2, 3], dtype="int16"),
        "STARTDATE": pd.to_datetime(pd.Series([DAY + pd.Timedelta(days=2), pd.NaT, DAY])),
        "OBSVALUE": pd.Series(texts, dtype=object),
    })
    before = df.dtypes.drop(["STARTDATE", "OBSVALUE"])
    want = split_lines_reference(df.copy(), 86400)
    out = cleaning.split_lines(df, 86400)
    assert out is df
    pd.testing.assert_series_equal(out.dtypes.drop("OBSVALUE"), before)
    assert out["STATIONID"].tolist() == ["c", "a", None]
    assert out["N"].tolist()[:2] == [3, 1] and pd.isna(out["N"].iloc[2])
    assert_same_table(out, want)


def test_duplicate_days_are_all_kept_in_row_order():
    df = frame([DAY, DAY], ["1 2", "3 4"], STATIONID=["first", "second"])
    out = cleaning.split_lines(df, 1)
    assert list(out["STATIONID"]) == ["first", "second", "first", "second"]
    np.testing.assert_array_equal(out["OBSVALUE"].to_numpy(), np.array([1, 3, 2, 4], np.float32))


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
@pytest.mark.parametrize("tz", [None, "Asia/Shanghai"])
def test_time_unit_and_zone_are_kept(unit, tz):
    starts = pd.Series(pd.to_datetime(["2020-03-01 16:00", "2020-03-01 00:00"])).dt.as_unit(unit)
    if tz:
        starts = starts.dt.tz_localize(tz)
    df = pd.DataFrame({"STARTDATE": starts, "OBSVALUE": ["1 2", "3"]})
    out = cleaning.split_lines(df, 3600)
    assert out.index.dtype == starts.dtype
    assert_same_table(out, split_lines_reference(df.copy(), 3600))


def test_object_column_of_datetimes_is_read_as_datetimes():
    import datetime as dt

    df = pd.DataFrame({"STARTDATE": pd.Series([dt.datetime(2020, 1, 2), dt.datetime(2020, 1, 1)], dtype=object),
                       "OBSVALUE": ["1 2", "3"]})
    out = cleaning.split_lines(df, 60)
    assert list(out.index) == [DAY, DAY + pd.Timedelta(days=1), DAY + pd.Timedelta(days=1, minutes=1)]


@pytest.mark.parametrize(
    "make",
    [
        lambda v: pd.Series(v, dtype=object),
        lambda v: pd.Series(v, dtype="str"),
        lambda v: pd.Series(v, dtype="string[python]"),
        lambda v: pd.Series(v, dtype="string[pyarrow]"),
        lambda v: pd.Series(v, dtype=pd.ArrowDtype(pa.string())),
        lambda v: pd.Series(v, dtype=pd.ArrowDtype(pa.large_string())),
        lambda v: pd.Series(v, dtype="category"),
        # several chunks, the first one a slice with an offset
        lambda v: pd.Series(pd.arrays.ArrowExtensionArray(
            pa.chunked_array([pa.array(["x"] + v[:2])[1:], pa.array(v[2:], pa.string())]))),
    ],
)
def test_text_storages(make):
    texts = ["1 2", None, " 3\u3000", "\xa04 NULL 5", "", "6"]
    df = pd.DataFrame({"STARTDATE": pd.date_range(DAY, periods=6, freq="D"), "OBSVALUE": make(texts)})
    got = cleaning.split_lines(df, 60)
    want = split_lines_reference(pd.DataFrame({"STARTDATE": df["STARTDATE"],
                                               "OBSVALUE": pd.Series(texts, dtype=object)}), 60)
    assert_same_table(got, want)


def test_values_that_are_not_text_are_missing_rows():
    # an object column mixing text with numbers, bytes and NA: only str is read
    texts = pd.Series(["1 2", 5, b"3 4", 1.5, pd.NA, "NULL 6"], dtype=object)
    df = pd.DataFrame({"STARTDATE": pd.date_range(DAY, periods=6, freq="D"), "OBSVALUE": texts})
    got = cleaning.split_lines(df, 60)
    assert_same_table(got, split_lines_reference(df.copy(), 60))
    assert got.index.isna().sum() == 4


# ---------------------------------------------------------------------------
# Bad input


def test_errors_of_bad_input():
    good = frame([DAY], ["1"])
    with pytest.raises(KeyError, match="OBSVALUE"):
        cleaning.split_lines(good.drop(columns="OBSVALUE"), 60)
    with pytest.raises(KeyError, match="STARTDATE"):
        cleaning.split_lines(good.drop(columns="STARTDATE"), 60)
    with pytest.raises(KeyError, match="STARTDATE"):
        cleaning.split_lines(good.drop(columns="STARTDATE"), 86400)
    for values in ([1.5], pd.Series([1], dtype=object), pd.Series([1], dtype=pd.ArrowDtype(pa.int64()))):
        with pytest.raises(AttributeError, match="Can only use .str accessor with string values"):
            cleaning.split_lines(good.assign(OBSVALUE=values), 60)
    with pytest.raises(TypeError, match="bytes"):
        cleaning.split_lines(good.assign(OBSVALUE=pd.Series([b"1"], dtype=object)), 60)
    with pytest.raises(TypeError):
        cleaning.split_lines(good.assign(STARTDATE="2020-01-01"), 60)
    with pytest.raises(TypeError):
        cleaning.split_lines(good.assign(STARTDATE=5), 60)
    with pytest.raises(TypeError):
        cleaning.split_lines(good, "60")
    with pytest.raises(TypeError, match="DataFrame"):
        cleaning.split_lines({"OBSVALUE": ["1"]}, 60)
    with pytest.raises(ValueError, match="timespan"):
        cleaning.split_lines(good.assign(timespan=1), 60)
    twice = pd.concat([good, good[["OBSVALUE"]]], axis=1)
    with pytest.raises(ValueError, match="not unique"):
        cleaning.split_lines(twice, 60)
    near_end = pd.DataFrame({"STARTDATE": [pd.Timestamp.max.floor("h")], "OBSVALUE": ["1 2 3"]})
    with pytest.raises(OverflowError):
        cleaning.split_lines(near_end, 3600)
    with pytest.raises(TypeError):
        cleaning.split_lines(good)


def test_keywords_and_logging(caplog):
    import logging

    with caplog.at_level(logging.DEBUG, logger="cleaning"):
        out = cleaning.split_lines(df=frame([DAY], ["1"]), sample_by_seconds=60)
    assert len(out) == 1
    assert "Splitting data..." in [r.getMessage() for r in caplog.records if r.name == "cleaning"]
    assert cleaning.np is np and cleaning.pd is pd


# ---------------------------------------------------------------------------
# Numbers: every token as pandas to_numeric + astype("float32") reads it

SPECIAL = [
    "inf", "-inf", "+inf", "INF", "Infinity", "-INFINITY", "+iNfInItY", "infinit", "nan", "NaN", "-nan",
    "NULL", "NULLALL", "", "1_000", "0x1A", "0b1", "\u0661\u0662", "\uff11", "1e", "1e+", "1e-", "1E5",
    "1e+05", ".", "-", "+", "e5", ".e5", "1.2.3", "1d5", "--1", "+-1", "-+1", "1.", ".5", "-.5", "+.5",
    "+1e\t5", "1e\t5", "\t1", "1\n", "\r\n1.5\x0b", "\x0c2", "\x1c3", "1\x00", "1.5\x00abc", "inf\x00",
    "1e400", "-1e400", "1e-400", "+1e400", "+1e-700", "5e-324", "2.4703282292062328e-324", "+0", "-0",
    "-0.0", "0e0", "00012", "+00012", "1e0000000000000000000000000005", "+1e99999999999999999999",
    "+1e-99999999999999999999", "3.4028235e38", "3.4028236e38", "-3.40282357e38", "1.4e-45", "7e-46",
    "0.00000000000000000000000000123", "+0.00000000000000000000000000123",
    "123456789012345678901234567890", "+123456789012345678901234567890", "9007199254740993",
    "+9007199254740993.5", "16777217", "0.1000000000000000055511151231257827021181583404541015625",
]

digits = st.text("0123456789", min_size=1, max_size=24)


@st.composite
def written_numbers(draw):
    sign = draw(st.sampled_from(["", "-", "+"]))
    whole = draw(st.one_of(st.just(""), digits))
    frac = draw(st.one_of(st.just(None), st.text("0123456789", max_size=24)))
    exp = draw(st.one_of(st.just(""), st.builds(lambda e, s, n: e + s + str(n), st.sampled_from("eE"),
                                                 st.sampled_from(["", "+", "-"]), st.integers(0, 400))))
    text = sign + whole + ("" if frac is None else "." + frac) + exp
    pad = st.sampled_from(["", "", "", "\t", "\n", "\r", "\x0b", "\x0c", "\xa0", "\x00"])
    return draw(pad) + text + draw(pad)


floats_written = st.floats(width=64).flatmap(
    lambda x: st.sampled_from([repr(x), "%.17g" % x, "%.9g" % x, "%.25e" % x, "+" + repr(x)]))


@st.composite
def float32_midpoints(draw):
    """Decimal texts at or next to the halfway point of two float32 values."""
    f = np.float32(draw(st.floats(width=32, allow_nan=False, allow_infinity=False)))
    up = np.nextafter(f, np.float32(np.inf))
    mid = (float(f) + float(up)) / 2
    return draw(st.sampled_from(["%.30g" % mid, "%.17g" % mid, "+%.30g" % mid, "%.9g" % mid]))


tokens = st.one_of(
    st.sampled_from(SPECIAL), written_numbers(), floats_written, float32_midpoints(),
    st.integers(-(2**70), 2**70).map(str),
    st.text(st.characters(blacklist_categories=["Cs"]), max_size=6),
)


@bounded(300)
@given(st.lists(tokens.map(lambda t: t.replace(" ", "")), min_size=1, max_size=60))
def test_tokens_read_as_to_numeric_floats(toks):
    # "x" keeps the column floating on both sides, whatever the tokens are
    got = kernel_values(list(toks) + ["x"])[:-1]
    want = pandas_values(toks, extra=["x"])
    np.testing.assert_array_equal(got.view(np.uint32), want.view(np.uint32), err_msg=repr(toks))


ints = st.one_of(
    st.integers(-(2**63), 2**64 - 1), st.integers(-(2**70), 2**70),
    st.integers(2**53 - 8, 2**53 + 8), st.integers(2**62, 2**64 + 8), st.integers(-(2**63) - 8, -(2**62)),
).flatmap(lambda n: st.sampled_from([str(n), "+" + str(n) if n >= 0 else str(n), "\t%d\n" % n, "00%d" % n if n >= 0 else str(n)]))


@bounded(250)
@given(st.lists(ints, min_size=1, max_size=40))
def test_integer_columns_round_as_integers(toks):
    # a table of integers only: to_numeric gives int64 or uint64, rounded to
    # float32 from the exact integer (or float64 when they do not fit one type)
    df = frame([DAY], [" ".join(["0"] + toks + ["0"])])
    got = cleaning.split_lines(df, 1)["OBSVALUE"].to_numpy()[1:-1]
    want = pandas_values(["0"] + toks + ["0"])[1:-1]
    np.testing.assert_array_equal(got.view(np.uint32), want.view(np.uint32), err_msg=repr(toks))


def test_integer_rounding_spans_the_whole_table():
    big = "9007199254740993"  # 2**53 + 1: its double is already rounded
    values = [big, "16777217", "-5"]
    df = frame([DAY, DAY + pd.Timedelta(days=1)], [" ".join(values), "2"])
    got = cleaning.split_lines(df, 60)["OBSVALUE"].to_numpy()
    want = pandas_values(values + ["2"])
    np.testing.assert_array_equal(got.view(np.uint32), want.view(np.uint32))
    # one NULL anywhere in the table makes every token a float64 first
    df2 = frame([DAY, DAY + pd.Timedelta(days=1)], [" ".join(values), "NULL"])
    got2 = cleaning.split_lines(df2, 60)["OBSVALUE"].to_numpy()
    np.testing.assert_array_equal(got2.view(np.uint32), pandas_values(values + ["NULL"]).view(np.uint32))


def test_negative_zero_among_integers_is_the_integer_zero():
    # to_numeric gives int64 for a column of integers, so "-0" is 0 and
    # float32 +0.0; in a floating column it stays -0.0
    for texts in (["1 -0 2", "-00 3"], ["-0"], ["1 -0 2", "2.5"], ["-0 NULL"]):
        df = frame([DAY + pd.Timedelta(days=i) for i in range(len(texts))], texts)
        got = cleaning.split_lines(df, 60)["OBSVALUE"].to_numpy()
        want = pandas_values(" ".join(texts).split(" "))
        np.testing.assert_array_equal(got.view(np.uint32), want.view(np.uint32), err_msg=repr(texts))
    assert np.signbit(cleaning.split_lines(frame([DAY], ["1 -0 2"]), 60)["OBSVALUE"].to_numpy()).sum() == 0


def test_integers_longer_than_the_digit_limit_are_not_numbers():
    # Python's int() refuses integer texts of more digits than its limit
    # (4300 by default), so to_numeric makes them NaN; longer reals are read
    ones, zeros = "1" * 4301, "0" * 4301
    tokens = [ones, "-" + ones, "+" + zeros, zeros, "0" * 4300 + "1", "1" * 4300, "\t" + "0" * 4300 + "\n",
              zeros + ".5", "0." + zeros + "1", ones + "e-5000", "7"]
    for extra in ([], ["x"]):  # an integer column, and a floating one
        got = kernel_values(tokens + extra)[: len(tokens)] if extra else \
            cleaning.split_lines(frame([DAY], [" ".join(tokens)]), 1)["OBSVALUE"].to_numpy()
        want = pandas_values(tokens, extra=extra)
        np.testing.assert_array_equal(got.view(np.uint32), want.view(np.uint32))
        assert np.isnan(got[:4]).all() and not np.isnan(got[-1])
    if hasattr(sys, "set_int_max_str_digits"):
        # the limit in force when split_lines is called
        default = sys.get_int_max_str_digits()
        try:
            for limit in (1000, 0):
                sys.set_int_max_str_digits(limit)
                tokens = ["0" * 1001, "1" * 999 + "2", "5"]
                got = kernel_values(tokens + ["x"])[:3]
                # (pandas 2 finds no number in 326 digits and more anyway)
                np.testing.assert_array_equal(got.view(np.uint32),
                                              pandas_values(tokens, extra=["x"]).view(np.uint32))
        finally:
            sys.set_int_max_str_digits(default)


def tokens_of_every_shape(rng, n):
    """Numbers written every way the two parsers of pandas tell apart: many
    digits, leading zeros, long and wrapping exponents, results near and
    beyond the double range, NUL bytes, white space, signs."""
    def digits(k):
        return "".join(rng.choice("0123456789") for _ in range(k))

    out = []
    while len(out) < n:
        whole = digits(rng.choice([0, 1, 2, 5, 15, 16, 17, 18, 19, 25, 310]))
        if rng.random() < 0.3:
            whole = "0" * rng.randint(1, 20) + whole
        frac = None if rng.random() < 0.4 else digits(rng.choice([0, 1, 3, 8, 15, 17, 18, 30]))
        text = rng.choice(["", "", "-", "+"]) + whole + ("" if frac is None else "." + frac)
        if rng.random() < 0.5:
            value = rng.choice([rng.randint(0, 400), rng.randint(0, 10**9), rng.randint(300, 330)])
            text += rng.choice("eE") + rng.choice(["", "+", "-"]) + "0" * rng.randint(0, 20) + str(value)
        if rng.random() < 0.1:
            k = rng.randint(0, len(text))
            text = text[:k] + "\x00" + text[k:]
        if rng.random() < 0.1:
            text = rng.choice("\t\n\x0b\x0c\r") + text + rng.choice(["", "\t", "\r"])
        out.append(text)
    return out


def test_tokens_of_every_shape_as_the_installed_pandas_reads_them():
    import random

    tokens = tokens_of_every_shape(random.Random(21), 6000)
    got = kernel_values(tokens + ["x"])[:-1]
    want = pandas_values(tokens, extra=["x"])
    bad = np.flatnonzero(got.view(np.uint32) != want.view(np.uint32))
    assert len(bad) == 0, [(tokens[i], got[i], want[i]) for i in bad[:5]]


def test_every_python_white_space_is_stripped_at_the_ends():
    # one row per code point c: c + "5" + c, including lone surrogates
    codes = np.arange(sys.maxunicode + 1)
    texts = [chr(c) + "5" + chr(c) for c in codes]
    # one day per row, in seconds: 1.1 million days pass the nanosecond range
    days = np.datetime64("2000-01-01", "s") + codes.astype("timedelta64[D]")
    df = pd.DataFrame({"STARTDATE": pd.Series(days, dtype="datetime64[s]"),
                       "OBSVALUE": pd.Series(texts, dtype=object)})
    got = cleaning.split_lines(df, 60)["OBSVALUE"].to_numpy()
    stripped = pd.Series([t.strip().split(" ")[0] for t in texts], dtype=object)
    want = pd.to_numeric(stripped, errors="coerce").astype("float32").to_numpy()
    np.testing.assert_array_equal(got.view(np.uint32), want.view(np.uint32))


# ---------------------------------------------------------------------------
# Whole tables against the reference

row_texts = st.one_of(
    st.none(), st.just(np.nan), st.just(""), st.just("  "),
    st.tuples(st.sampled_from(["", " ", "\t", "\u3000", " \n"]),
              st.lists(st.one_of(tokens, st.just("NULL"), st.just("")), max_size=12),
              st.sampled_from(["", " ", "\r\n", "\xa0"]))
    .map(lambda t: t[0] + " ".join(t[1]) + t[2]),
)
int_row_texts = st.lists(st.integers(-(2**64), 2**64).map(str), min_size=1, max_size=8).map(" ".join)

STORAGES = [object, "str", "string[python]", pd.ArrowDtype(pa.string())]
INTERVALS = [1, 60, 3600, 600, 86400, 7200, 30, 1.0, 3600.0, 0]


@st.composite
def tables(draw):
    n = draw(st.integers(1, 6))
    unit = draw(st.sampled_from(["s", "ms", "us", "ns"]))
    tz = draw(st.sampled_from([None, None, "UTC", "Asia/Shanghai"]))
    aligned = draw(st.booleans())
    starts = []
    for _ in range(n):
        if draw(st.integers(0, 9)) == 0:
            starts.append(pd.NaT)
            continue
        t = DAY + pd.Timedelta(days=draw(st.integers(0, 2)))
        if not aligned:
            t += pd.Timedelta(seconds=draw(st.integers(-90, 90)))
        starts.append(t)
    all_ints = draw(st.integers(0, 5)) == 0
    texts = draw(st.lists(int_row_texts if all_ints else row_texts, min_size=n, max_size=n))
    storage = draw(st.sampled_from(STORAGES))
    if storage is not object and any(isinstance(t, float) for t in texts):
        texts = [None if isinstance(t, float) else t for t in texts]
    sd = pd.Series(pd.to_datetime(pd.Series(starts))).dt.as_unit(unit)
    if tz:
        sd = sd.dt.tz_localize(tz)
    cols = {
        "STATIONID": pd.Series(draw(st.lists(st.sampled_from(["11001", "32005"]), min_size=n, max_size=n)),
                               dtype="str"),
        "STARTDATE": sd,
        "OBSVALUE": pd.Series(texts, dtype=storage),
        "POINTID": pd.Series(draw(st.lists(st.integers(1, 4), min_size=n, max_size=n))),
        "SAMPLERATE": pd.Series(draw(st.lists(st.sampled_from([1.0, 2.0, np.nan]), min_size=n, max_size=n))),
    }
    order = draw(st.permutations(list(cols)))
    df = pd.DataFrame({k: cols[k] for k in order})
    labels = draw(st.sampled_from(["range", "shuffled", "text"]))
    if labels == "shuffled":
        df.index = draw(st.permutations(range(n)))
    elif labels == "text":
        df.index = [f"r{i}" for i in range(n)]
    return df, draw(st.sampled_from(INTERVALS))


@bounded(300)
@given(tables())
def test_tables_match_the_reference(case):
    df, seconds = case
    mine, theirs = df.copy(), df.copy()
    got = cleaning.split_lines(mine, seconds)
    want = split_lines_reference(theirs, seconds)
    assert_same_table(got, want)
    if seconds > 3600:
        assert got is mine
    else:
        pd.testing.assert_frame_equal(mine, df)


def test_rows_written_in_one_format_with_odd_tokens_between():
    """Days mostly written in one fixed format ("12.3456"): every token is
    read exactly, also where one differs from its neighbours by a byte (a
    letter, another length, a sign, an exponent, white space) and near the
    end of the text."""
    import random

    rng = random.Random(31)
    odd = ["NULL", "", "1e5", "+1.25", "1.2x", "12.34567", "1.2345", "-0.0", "0.0", "9.", ".9", "12,345",
           "1.2.3", "\t1.25", "1.25\u3000", "1d25", "-", "inf", "123456789.5", "0.00000001", "00.0001"]
    texts = []
    for _ in range(150):
        whole, decimals = rng.randint(0, 6), rng.randint(0, 6)
        sign = rng.choice(["", "", "-"])
        width = max(whole + decimals + 1, 2)
        words = []
        for _ in range(rng.randint(1, 80)):
            if rng.random() < 0.08:
                words.append(rng.choice(odd))
                continue
            digits = "".join(rng.choice("0123456789") for _ in range(whole + decimals))
            word = sign + digits[:whole] + "." + digits[whole:]
            words.append(word if len(word) <= width + 1 else word[:width])
        texts.append(" ".join(words))
    starts = [DAY + pd.Timedelta(days=i % 3) for i in range(len(texts))]
    for storage in (object, "str"):
        df = frame(starts, texts)
        df["OBSVALUE"] = pd.Series(texts, dtype=storage)
        for seconds in (1, 60):
            assert_same_table(cleaning.split_lines(df.copy(), seconds), split_lines_reference(df.copy(), seconds))


def test_empty_table_gives_an_empty_split_table():
    df = pd.DataFrame({"STATIONID": pd.Series([], dtype="str"),
                       "STARTDATE": pd.Series([], dtype="datetime64[us]"),
                       "OBSVALUE": pd.Series([], dtype="str")})
    out = cleaning.split_lines(df, 60)
    assert list(out.columns) == ["STATIONID", "OBSVALUE"]
    assert out.index.dtype == "datetime64[us]" and out["OBSVALUE"].dtype == np.float32
    assert out["STATIONID"].dtype == df["STATIONID"].dtype and len(out) == 0


def test_many_rows_at_once_match_the_reference():
    """Thousands of generated rows in one table per interval: every row is a
    case of its own, and their samples interleave in time."""
    import random

    rng = random.Random(20200101)
    pool = SPECIAL + ["NULL"] * 20 + [f"{rng.uniform(-1e4, 1e4):.{rng.randint(0, 9)}f}" for _ in range(300)]
    pool += [str(rng.randint(-10**6, 10**6)) for _ in range(100)] + [repr(rng.random() * 10 ** rng.randint(-40, 40)) for _ in range(100)]
    blanks = ["", " ", "\t", "\u3000", "\xa0", "\r\n"]
    n = 4000
    texts = []
    for _ in range(n):
        k = rng.random()
        if k < 0.04:
            texts.append(None)
        elif k < 0.06:
            texts.append(rng.choice(["", "   ", "\t\n"]))
        else:
            row = " ".join(rng.choice(pool) for _ in range(rng.randint(1, 30)))
            texts.append(rng.choice(blanks) + row + rng.choice(blanks))
    starts = [DAY + pd.Timedelta(days=rng.randint(0, 20), seconds=rng.choice([0, 0, 0, rng.randint(0, 7200)]))
              if rng.random() > 0.03 else pd.NaT for _ in range(n)]
    for storage in (object, "str"):
        df = pd.DataFrame({"STATIONID": pd.Series([rng.choice(["a", "b", "c"]) for _ in range(n)], dtype="str"),
                           "STARTDATE": pd.to_datetime(pd.Series(starts)),
                           "OBSVALUE": pd.Series(texts, dtype=storage),
                           "POINTID": range(n)})
        for seconds in (1, 60, 3600, 600):
            assert_same_table(cleaning.split_lines(df, seconds), split_lines_reference(df.copy(), seconds))


def test_other_columns_of_every_kind_are_carried_through():
    """Every kind of column storage comes out repeated per sample with its
    own dtype: Arrow and Python text with gaps, long and non-ASCII texts,
    objects, categories, numbers, flags, date-times with and without zone,
    Arrow numbers; duplicate labels, the columns' name and attrs stay."""
    texts = ["1 2 3", None, " 4  5 ", "", "6 NULL 7 8"]
    n = len(texts)
    long = ["x" * 40, "\u5730\u9707\u524d\u5146", None, "", "ab"]
    cols = [
        ("STATIONID", pd.Series(long, dtype="str")),
        ("A", pd.Series(["a", None, "b", "c", "d"], dtype=pd.StringDtype("python", na_value=np.nan))),
        ("B", pd.Series(["a", None, "b", "c", "d"], dtype="string[pyarrow]")),
        ("C", pd.Series(["a", 1, None, 2.5, b"z"], dtype=object)),
        ("D", pd.Series(["p", "q", "p", None, "q"], dtype="category")),
        ("E", pd.Series(range(n), dtype="int16")),
        ("F", pd.Series([True, False, True, True, False])),
        ("G", pd.Series(pd.date_range("2021-01-01", periods=n, freq="D")).dt.as_unit("s")),
        ("H", pd.Series(pd.date_range("2021-01-01", periods=n, freq="h", tz="Asia/Shanghai"))),
        ("I", pd.Series([1, None, 3, 4, 5], dtype=pd.ArrowDtype(pa.int64()))),
        ("STARTDATE", pd.Series([DAY + pd.Timedelta(days=i % 2) for i in range(n)])),
        ("E", pd.Series(np.arange(n, dtype=np.float32))),
        ("OBSVALUE", pd.Series(texts, dtype="str")),
        ("J", pd.Series(np.arange(n) * 1j)),
    ]
    df = pd.concat([s.rename(name) for name, s in cols], axis=1)
    df.columns.name = "fields"
    df.attrs["source"] = "test"
    for seconds in (1, 60):
        got = cleaning.split_lines(df.copy(), seconds)
        want = split_lines_reference(df.copy(), seconds)
        assert_same_table(got, want)
        assert got.attrs == {"source": "test"}
        # Arrow-backed text ("str" is Arrow-backed on pandas 3 only) is gathered as large_string
        for name in ("STATIONID", "B"):
            if getattr(df[name].dtype, "storage", None) == "pyarrow":
                assert got[name].array._pa_array.type == pa.large_string()


def test_large_results_stay_intact_while_memory_is_reused():
    """Results of many megabytes live in buffers that are reused once a result
    is gone: results held meanwhile keep their values, later results built in
    reused memory are exact, and every column can be written to."""
    rng = np.random.default_rng(5)

    def day_table(points, offset):
        rows = []
        for p in range(points):
            words = np.char.mod("%.3f", rng.normal(offset + p, 1.0, 1440)).astype(object)
            words[rng.random(1440) < 0.02] = "NULL"
            rows.append(("%05d" % p, DAY + pd.Timedelta(days=p % 3), " ".join(words)))
        df = pd.DataFrame(rows, columns=["STATIONID", "STARTDATE", "OBSVALUE"])
        df["SAMPLERATE"] = 1.0
        df["POINTID"] = pd.Series([None if p % 7 == 0 else str(p % 4 + 1) for p in range(points)], dtype="str")
        return df.astype({"STATIONID": "str", "OBSVALUE": "str"})

    tables = [day_table(400, 10 * k) for k in range(3)]  # 576,000 samples each
    wants = [split_lines_reference(t.copy(), 60) for t in tables]
    held = cleaning.split_lines(tables[0], 60)
    first = cleaning.split_lines(tables[1], 60)
    del first  # its buffers go back for reuse
    second = cleaning.split_lines(tables[2], 60)
    assert_same_table(held, wants[0])
    assert_same_table(second, wants[2])
    again = cleaning.split_lines(tables[1], 60)
    assert_same_table(again, wants[1])
    assert_same_table(held, wants[0])

    again["OBSVALUE"] *= 2
    again.iloc[:1000, list(again.columns).index("SAMPLERATE")] = 7.0
    again.iloc[:1000, 0] = "x"
    np.testing.assert_array_equal(again["OBSVALUE"].to_numpy(), wants[1]["OBSVALUE"].to_numpy() * 2)
    assert (again["SAMPLERATE"].iloc[:1000] == 7.0).all() and (again["SAMPLERATE"].iloc[1000:] == 1.0).all()
    assert (again["STATIONID"].iloc[:1000] == "x").all()
    assert again["STATIONID"].iloc[1000:].equals(wants[1]["STATIONID"].iloc[1000:])
    assert_same_table(second, wants[2])
