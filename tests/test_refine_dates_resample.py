"""Leap years, year-normalised dates and per-series resampling of
kelvane.refine, against the documented examples and the plain-pandas
reference."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kelvane import refine
from reference import refine_reference as ref


def test_module_loads_no_sibling_and_binds_its_libraries(run_python, tmp_path):
    done = run_python(
        """
        import sys
        import kelvane.refine as r
        import datetime, numpy, pandas
        assert r.pd is pandas and r.np is numpy and r.datetime is datetime.datetime
        print(sorted(m for m in sys.modules if m.startswith("kelvane.")))
        """,
        tmp_path,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "['kelvane.refine']"


@pytest.mark.parametrize(
    "year,leap", [(2024, True), (2023, False), (1900, False), (2000, True), (-4, True)]
)
def test_is_leap_year(year, leap):
    assert refine._is_leap_year(year) is leap
    assert refine._is_leap_year(year=np.int64(year)) is leap


# --- create_normalized_dates --------------------------------------------------


def test_normalized_dates_examples():
    idx = pd.DatetimeIndex(["2023-02-28", "2020-02-29", "2021-07-15 13:45"])
    df = pd.DataFrame({"v": [1, 2, 3]}, index=idx)
    out = refine.create_normalized_dates(df)
    assert out is df
    assert df["datetime_norm"].tolist() == [
        pd.Timestamp("2024-02-28"),
        pd.Timestamp("2024-02-29"),
        pd.Timestamp("2024-07-15"),
    ]
    # the dtype Index.map gives such dates with the installed pandas
    # (datetime64[us] on pandas 3, [ns] on pandas 2)
    assert df["datetime_norm"].dtype == ref.create_normalized_dates(df[["v"]].copy())["datetime_norm"].dtype
    refine.create_normalized_dates(df, reference_year=2023)
    assert df["datetime_norm"].iloc[1] == pd.Timestamp("2023-02-28")


@pytest.mark.filterwarnings("ignore:Could not infer format")
def test_text_index_is_converted_in_place_and_words_are_left_alone():
    df = pd.DataFrame({"v": [1.0, 2.0]}, index=["2019-03-01 08:00", "2019-12-31 23:59"])
    refine.create_normalized_dates(df)
    assert isinstance(df.index, pd.DatetimeIndex)
    assert df["datetime_norm"].tolist() == [pd.Timestamp("2024-03-01"), pd.Timestamp("2024-12-31")]

    words = pd.DataFrame({"v": [1.0, 2.0]}, index=["alpha", "beta"])
    before = words.copy()
    assert refine.create_normalized_dates(words) is words
    pd.testing.assert_frame_equal(words, before)


def test_missing_times_stay_missing_and_bad_years_are_reported():
    df = pd.DataFrame({"v": [1, 2]}, index=pd.DatetimeIndex(["2020-02-29 10:00", None]))
    refine.create_normalized_dates(df, 2021)
    assert df["datetime_norm"].iloc[0] == pd.Timestamp("2021-02-28")
    assert pd.isna(df["datetime_norm"].iloc[1])
    with pytest.raises(ValueError, match="out of range"):
        refine.create_normalized_dates(df, 0)
    with pytest.raises(TypeError, match="reference_year"):
        refine.create_normalized_dates(df, 2024.0)


def test_timezone_aware_index_uses_local_calendar_days():
    idx = pd.date_range("2020-12-31 23:30", periods=2, freq="h", tz="Asia/Shanghai")
    df = pd.DataFrame({"v": [1, 2]}, index=idx)
    expected = ref.create_normalized_dates(df.copy())["datetime_norm"]
    pd.testing.assert_series_equal(refine.create_normalized_dates(df)["datetime_norm"], expected)


INDEXES = {
    **{f"unit {u}": pd.DatetimeIndex(["2020-01-01 12:00", "2021-02-03", "2019-02-28"]).as_unit(u)
       for u in ("s", "ms", "us", "ns")},
    "zone": pd.date_range("2020-12-31 23:30", periods=2, freq="h", tz="Asia/Shanghai"),
    "zone in seconds": pd.date_range("2020-12-31 23:30", periods=2, freq="h", tz="UTC").as_unit("s"),
    "empty": pd.DatetimeIndex([], dtype="datetime64[ns]"),
    "empty with zone": pd.DatetimeIndex([], dtype="datetime64[s, UTC]"),
    "texts with one offset": pd.Index(["2020-01-01 00:00+08:00", "2020-02-29 13:00+08:00"]),
    "texts with two offsets": pd.Index(["2020-01-01 00:00+08:00", "2020-02-29 13:00+09:00"]),
    "texts of years beyond nanoseconds": pd.Index(["1500-01-01", "2020-02-29"]),
    "numbers": pd.Index([1, 2]),
}


@pytest.mark.filterwarnings("ignore:In a future version of pandas:FutureWarning")
@pytest.mark.filterwarnings("ignore:Could not infer format")
@pytest.mark.parametrize("year", [2024, 2023, 1, 9999])
@pytest.mark.parametrize("name", list(INDEXES))
def test_every_kind_of_index_as_index_map_gives(name, year):
    """Units, zones, empty indexes, texts that convert differently on pandas 2
    and 3, reference years outside pandas 2's nanosecond range: the column
    (values and dtype) and the converted index are those the documented
    steps give with the installed pandas."""
    df = pd.DataFrame({"v": np.arange(len(INDEXES[name]))}, index=INDEXES[name])
    expected = ref.create_normalized_dates(df.copy(), year)
    pd.testing.assert_frame_equal(refine.create_normalized_dates(df, year), expected)


def test_a_midnight_that_does_not_exist_in_the_zone_gives_wall_dates():
    # Sao Paulo skipped 2018-11-04 00:00; pandas 2 would localise the dates
    # back into the zone and fail there: they stay wall dates without a zone
    idx = pd.DatetimeIndex(["2019-11-04 12:00", "2019-01-01 08:00"]).tz_localize("America/Sao_Paulo")
    df = pd.DataFrame({"v": [1, 2]}, index=idx)
    refine.create_normalized_dates(df, 2018)
    assert df["datetime_norm"].tolist() == [pd.Timestamp("2018-11-04"), pd.Timestamp("2018-01-01")]
    assert df["datetime_norm"].dt.tz is None


@given(
    st.lists(
        st.datetimes(min_value=pd.Timestamp("1800-01-01"), max_value=pd.Timestamp("2200-12-31")),
        min_size=1,
        max_size=30,
    ),
    st.sampled_from([2024, 2023, 1900, 2000, 1, 9999]),
    st.booleans(),
)
@settings(max_examples=150, deadline=None)
def test_normalized_dates_match_reference(times, year, leap_days):
    if leap_days:
        times = times + [pd.Timestamp("2000-02-29 06:00"), pd.Timestamp("1904-02-29")]
    df = pd.DataFrame({"v": np.arange(len(times))}, index=pd.DatetimeIndex(times))
    expected = ref.create_normalized_dates(df.copy(), year)
    pd.testing.assert_frame_equal(refine.create_normalized_dates(df, year), expected)


# --- resample_timeseries_data -------------------------------------------------


def long_table(rows):
    return pd.DataFrame(rows, columns=["STARTDATE", "STATIONID", "POINTID", "ITEMID", "OBSVALUE"])


def test_missing_columns_are_named_in_order():
    df = long_table([["2020-01-01", "1", "2", "3", 1.0]])
    with pytest.raises(ValueError, match="^缺少必要的列: OBSVALUE$"):
        refine.resample_timeseries_data(df.drop(columns="OBSVALUE"), "D")
    with pytest.raises(ValueError, match="^缺少必要的列: POINTID$"):
        refine.resample_timeseries_data(df.drop(columns=["POINTID", "ITEMID"]), "D")
    fetched = df.set_index("STARTDATE")   # as the splitting leaves it
    with pytest.raises(ValueError, match="^缺少必要的列: STARTDATE$"):
        refine.resample_timeseries_data(fetched, "D")
    out = refine.resample_timeseries_data(fetched.reset_index(), "D")
    assert len(out) == 1


def test_two_items_come_back_as_daily_blocks():
    df = long_table(
        [
            ["2020-01-03 10:00", "51001", "1", "4112", 3.0],
            ["2020-01-01 01:00", "51001", "1", "4112", 1.0],
            ["2020-01-01 05:00", "51001", "1", "3211", 5.0],
            ["2020-01-02 02:00", "51001", "1", "3211", 7.0],
            ["2020-01-02 03:00", "51001", "1", "3211", 9.0],
        ]
    )
    df["EXTRA"] = "dropped"
    before = df.copy()
    out = refine.resample_timeseries_data(df, "D")
    pd.testing.assert_frame_equal(df, before)
    assert list(out.columns) == ["STARTDATE", "OBSVALUE", "STATIONID", "POINTID", "ITEMID"]
    assert out["ITEMID"].tolist() == ["3211", "3211", "4112", "4112", "4112"]
    assert out["STARTDATE"].dt.day.tolist() == [1, 2, 1, 2, 3]
    np.testing.assert_array_equal(out["OBSVALUE"], [5.0, 8.0, 1.0, np.nan, 3.0])
    summed = refine.resample_timeseries_data(df, "D", agg_method="sum")
    assert summed["OBSVALUE"].tolist() == [5.0, 16.0, 1.0, 0.0, 3.0]


def test_unsupported_method_and_empty_table():
    df = long_table([["2020-01-01", "1", "2", "3", 1.0]])
    message = "不支持的聚合方法，请选择'mean', 'sum', 'median', 'max', 'min'之一"
    with pytest.raises(ValueError, match=f"^{message}$"):
        refine.resample_timeseries_data(df, "D", "avg")

    # no series: the method is never applied, so any method gives the empty table
    empty = df.iloc[:0].astype({"OBSVALUE": "float32"})
    keyless = long_table([["2020-01-01", None, "2", "3", 1.0]]).astype({"OBSVALUE": "float32"})
    for table in (empty, keyless):
        for method in ("mean", "sum", "median", "max", "min", "avg", None):
            out = refine.resample_timeseries_data(table, "D", method)
            assert list(out.columns) == ["STARTDATE", "OBSVALUE", "STATIONID", "POINTID", "ITEMID"]
            assert len(out) == 0
            assert out["OBSVALUE"].dtype == np.float32
            assert pd.api.types.is_datetime64_dtype(out["STARTDATE"])
    with pytest.raises(ValueError, match="Invalid frequency"):
        refine.resample_timeseries_data(empty, "fortnightly", "avg")


def test_pandas_errors_pass_through():
    df = long_table([["not a date", "1", "2", "3", 1.0]])
    with pytest.raises(ValueError):
        refine.resample_timeseries_data(df, "D")
    df = long_table([["2020-01-01", "1", "2", "3", 1.0]])
    with pytest.raises(ValueError, match="Invalid frequency"):
        refine.resample_timeseries_data(df, "fortnightly")


@st.composite
def long_tables(draw):
    n = draw(st.integers(1, 60))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    start = pd.Timestamp("2021-02-27")
    minutes = rng.integers(0, 4 * 24 * 60, n)
    values = rng.normal(size=n).astype(draw(st.sampled_from(["float32", "float64"])))
    values[rng.random(n) < 0.1] = np.nan
    stations = rng.choice(["51001", "32002", None], n, p=[0.5, 0.45, 0.05])
    stations[0] = "51001"   # at least one series (no series at all is tested above)
    df = pd.DataFrame(
        {
            "STARTDATE": (start + pd.to_timedelta(minutes, unit="min")).astype(str),
            "STATIONID": stations,
            "POINTID": rng.choice(["1", "2"], n),
            "ITEMID": rng.choice(["4112", "3211"], n),
            "OBSVALUE": values,
        }
    )
    return df.sample(frac=1, random_state=seed % 1000)


@given(
    long_tables(),
    st.sampled_from(["D", "h", "6h", "30min"]),
    st.sampled_from(["mean", "sum", "median", "max", "min"]),
)
@settings(max_examples=120, deadline=None)
def test_resample_matches_reference(df, freq, method):
    expected = ref.resample_timeseries_data(df, freq, method)
    actual = refine.resample_timeseries_data(df, freq=freq, agg_method=method)
    pd.testing.assert_frame_equal(actual, expected, check_exact=True)
