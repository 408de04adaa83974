"""The Hampel filter of kelvane.refine: documented behaviour, argument checks,
and the compiled rolling kernel against the plain-pandas reference."""

from decimal import Decimal
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kelvane import refine
from reference import refine_reference as ref


def assert_same_series(actual, expected):
    # exact values, NaN where NaN, same dtype, index and name
    pd.testing.assert_series_equal(actual, expected, check_exact=True, check_freq=True)


# --- documented behaviour ---------------------------------------------------


def test_spike_on_constant_series_becomes_the_local_median():
    values = np.full(40, 10.0)
    values[20] = 100.0
    out = refine.filter_with_fast_mad(pd.Series(values), 15)
    expected = np.full(40, 10.0)
    np.testing.assert_array_equal(out.to_numpy(), expected)


def test_values_equal_to_their_median_stay_even_at_threshold_zero():
    s = pd.Series([1.0, 1.0, 1.0, 5.0, 1.0, 1.0, 1.0, 2.0, 2.0, 2.0, 2.0])
    out = refine.filter_with_fast_mad(s, 3, 0.0)
    # only the samples away from their local median move
    moved = out != s
    assert moved.tolist() == [False, False, False, True] + [False] * 7
    assert out[3] == 1.0


def test_series_shorter_than_window_is_returned_unchanged():
    s = pd.Series([1.0, 50.0, np.nan, -3.0], index=list("abcd"), name="x")
    out = refine.filter_with_fast_mad(s, 15, 0.0)
    assert_same_series(out, s)
    assert out is not s


def test_missing_samples_stay_missing_and_infinities_are_replaced():
    values = np.arange(30, dtype=float)
    values[[5, 6, 7]] = np.nan
    values[15] = np.inf
    values[22] = -np.inf
    out = refine.filter_with_fast_mad(pd.Series(values), 5)
    assert np.isnan(out[[5, 6, 7]]).all()
    assert np.isfinite(out[[15, 22]]).all()
    # the windows around an infinity have no value, so the filled median of
    # the last complete window (ending two rows before) is used
    assert out[15] == 12.0 and out[22] == 19.0


def test_dataframe_input_keeps_other_columns_and_is_not_changed():
    idx = pd.date_range("2020-01-01", periods=30, freq="min", name="STARTDATE")
    values = np.linspace(0, 1, 30).astype("float32")
    values[12] = 40.0
    df = pd.DataFrame(
        {"STATIONID": "51001", "POINTID": "2", "OBSVALUE": values, "SAMPLERATE": 60}, index=idx
    )
    before = df.copy()
    out = refine.filter_with_fast_mad(df, window_size=7)
    pd.testing.assert_frame_equal(df, before)
    assert list(out.columns) == list(df.columns)
    pd.testing.assert_index_equal(out.index, df.index)
    pd.testing.assert_frame_equal(out.drop(columns="OBSVALUE"), df.drop(columns="OBSVALUE"))
    assert out["OBSVALUE"].dtype == np.float32
    assert out["OBSVALUE"].iloc[12] < 1.0
    pd.testing.assert_frame_equal(out, ref.filter_with_fast_mad(df, window_size=7))


def test_larger_threshold_replaces_fewer_samples():
    rng = np.random.default_rng(7)
    s = pd.Series(rng.standard_t(2, size=2000))
    counts = [int((refine.filter_with_fast_mad(s, 15, t) != s).sum()) for t in (1, 3, 5, 10)]
    assert counts == sorted(counts, reverse=True)
    assert counts[0] > counts[-1]


def test_float32_series_stays_float32_with_rounded_medians():
    # an even window gives medians halfway between two float32 values
    s = pd.Series(np.array([0.1, 0.2, 0.3, 0.4, 9.0, 0.6, 0.7, 0.8], dtype="float32"))
    out = refine.filter_with_fast_mad(s, 4, 1.0)
    assert out.dtype == np.float32
    assert_same_series(out, ref.filter_with_fast_mad(s, 4, 1.0))


def test_integer_boolean_and_nullable_inputs():
    ints = pd.Series([1, 2, 3, 100, 5, 6, 7, 8], name="n")
    out = refine.filter_with_fast_mad(ints, 3)
    assert out.dtype == np.float64 and out[3] == 5.0 and out.name == "n"
    assert refine.filter_with_fast_mad(pd.Series([True, False] * 5), 3).dtype == np.float64

    nullable = pd.Series([1.0, 2.0, None, 3.0, 2.0, 90.0, 2.0, 3.0, 1.0], dtype="Float64")
    out = refine.filter_with_fast_mad(nullable, 3)
    assert out.dtype == "Float64"
    assert out.isna().tolist() == nullable.isna().tolist()
    assert out[5] == 2.0
    masked_ints = pd.Series([1, 2, 3, 100, 5, 6, 7], dtype="Int64")
    assert refine.filter_with_fast_mad(masked_ints, 3).dtype == "Float64"

    half = pd.Series(np.array([1, 2, 3, 60, 5, 6], dtype="float16"))
    out = refine.filter_with_fast_mad(half, 3)
    assert out.dtype == np.float16 and out[3] == 5.0


def test_empty_series_and_attrs_survive():
    empty = pd.Series([], dtype="float32", name="e")
    assert_same_series(refine.filter_with_fast_mad(empty), empty)
    s = pd.Series(np.arange(20.0))
    s.attrs["unit"] = "mm"
    out = refine.filter_with_fast_mad(s)
    assert out.attrs == {"unit": "mm"}


def test_strided_column_is_read_correctly():
    # a column of a frame built from a 2-D array may not be contiguous
    block = np.arange(60.0).reshape(20, 3)
    block[10, 1] = 900.0
    df = pd.DataFrame(block, columns=["A", "OBSVALUE", "B"])
    pd.testing.assert_frame_equal(
        refine.filter_with_fast_mad(df, 5), ref.filter_with_fast_mad(df, 5)
    )


# --- argument checks --------------------------------------------------------


@pytest.mark.parametrize("window", [0, -3, -(10**30)])
def test_window_below_one_is_a_value_error(window):
    with pytest.raises(ValueError, match="window_size"):
        refine.filter_with_fast_mad(pd.Series([1.0, 2.0]), window)


@pytest.mark.parametrize("window", [1.5, 15.0, "15", None, True])
def test_window_not_an_integer_is_a_type_error(window):
    with pytest.raises(TypeError, match="window_size"):
        refine.filter_with_fast_mad(pd.Series([1.0, 2.0]), window)


def test_window_as_numpy_integer_and_huge_window():
    s = pd.Series([1.0, 9.0, 1.0, 1.0])
    assert refine.filter_with_fast_mad(s, np.int64(3))[1] == 1.0
    assert_same_series(refine.filter_with_fast_mad(s, 10**40), s)


def test_object_series_of_numbers_is_filtered_as_float64():
    assert_same_series(
        refine.filter_with_fast_mad(pd.Series([1, 1, 50, 1], dtype=object), 3),
        pd.Series([1.0, 1.0, 1.0, 1.0]),
    )
    # every kind of number the pandas steps take, missing values included
    values = [1, 2.5, None, True, np.float32(3.0), np.int64(90), Fraction(7, 2), np.nan,
              2, np.bool_(False), 3, 2**70, 4.0, 3, 2]
    s = pd.Series(values, dtype=object, index=list("abcdefghijklmno"), name="v")
    as_float = pd.Series([np.nan if v is None else float(v) for v in values],
                         index=s.index, name="v")
    for window, threshold in [(3, 1.0), (5, 0.5), (15, 5.0)]:
        out = refine.filter_with_fast_mad(s, window, threshold)
        assert_same_series(out, ref.filter_with_fast_mad(as_float, window, threshold))
    frame = pd.DataFrame({"OBSVALUE": s, "STATIONID": "37005"})
    out = refine.filter_with_fast_mad(frame, 3, 1.0)
    assert out["OBSVALUE"].dtype == np.float64 and out["STATIONID"].tolist() == ["37005"] * 15
    assert frame["OBSVALUE"].dtype == object
    assert_same_series(refine.filter_with_fast_mad(pd.Series([None] * 4, dtype=object)),
                       pd.Series([np.nan] * 4))


@pytest.mark.parametrize(
    "series",
    [
        pd.Series(["a", "b", "c"]),
        pd.Series([1.0, "b", 3.0], dtype=object),
        pd.Series(["1", "2", "3"], dtype=object),
        pd.Series([1, Decimal(2), 3], dtype=object),
        pd.Series([1, pd.NA, 3], dtype=object),
        pd.Series([1, pd.NaT, 3], dtype=object),
        pd.Series([1, 2j, 3], dtype=object),
        pd.Series(pd.date_range("2020", periods=3)),
        pd.Series([1 + 2j, 3j, 1]),
        pd.Series(pd.Categorical([1, 2, 3])),
    ],
    ids=["str", "object", "numeric-texts", "decimal", "pd-NA", "NaT", "complex-object",
         "datetime", "complex", "category"],
)
def test_non_numeric_series_is_a_type_error(series):
    with pytest.raises(TypeError, match="数值"):
        refine.filter_with_fast_mad(series, 3)


def test_the_error_names_the_first_value_that_is_no_number():
    s = pd.Series([1.0, 2.0, "x", "y"], index=[10, 20, 30, 40], dtype=object)
    with pytest.raises(TypeError, match=r"^数据必须是数值类型，索引 30 处的值 'x' 是 str$"):
        refine.filter_with_fast_mad(s, 3)


def test_other_bad_inputs():
    with pytest.raises(TypeError, match="threshold_factor"):
        refine.filter_with_fast_mad(pd.Series([1.0, 2.0, 3.0]), 3, "5")
    with pytest.raises(TypeError, match="Series"):
        refine.filter_with_fast_mad([1.0, 2.0, 3.0], 3)
    with pytest.raises(KeyError):
        refine.filter_with_fast_mad(pd.DataFrame({"VALUE": [1.0, 2.0]}))
    twice = pd.DataFrame([[1.0, 2.0]], columns=["OBSVALUE", "OBSVALUE"])
    with pytest.raises(ValueError, match="OBSVALUE"):
        refine.filter_with_fast_mad(twice)


def test_keywords_and_defaults():
    s = pd.Series(np.r_[np.zeros(20), 1.0, np.zeros(20)])
    assert refine.filter_with_fast_mad(df=s)[20] == 0.0
    assert_same_series(
        refine.filter_with_fast_mad(s, threshold_factor=5.0, window_size=15),
        refine.filter_with_fast_mad(s),
    )


# --- fast_mad ---------------------------------------------------------------


@given(
    st.lists(
        st.floats(-1e6, 1e6, allow_nan=False, width=64) | st.sampled_from([0.0, 1.0, np.nan]),
        min_size=1,
        max_size=40,
    ),
    st.sampled_from(["float64", "float32"]),
)
@settings(max_examples=200, deadline=None)
def test_fast_mad_matches_numpy(values, dtype):
    x = np.array(values, dtype=dtype)
    got, want = refine.fast_mad(x), ref.fast_mad(x)
    assert type(got) is type(want)
    np.testing.assert_equal(got, want)


def test_fast_mad_examples():
    assert refine.fast_mad(np.array([1.0, 2.0, 3.0, 4.0, 100.0])) == pytest.approx(1.4826)
    assert refine.fast_mad(np.full(7, 3.0)) == 0.0
    assert refine.fast_mad([1.0, 2.0, 4.0]) == pytest.approx(1.4826)


# --- the compiled kernel against the reference -------------------------------


@st.composite
def series_cases(draw):
    n = draw(st.integers(0, 70))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    shape = draw(st.sampled_from(["noise", "ties", "steps", "huge"]))
    if shape == "noise":
        values = rng.normal(0, 1, n)
    elif shape == "ties":
        values = rng.integers(-3, 4, n).astype(float)   # many equal values, MAD often 0
    elif shape == "steps":
        values = np.repeat(rng.normal(0, 5, n // 8 + 1), 8)[:n]   # constant stretches
    else:
        values = rng.choice([1e308, -1e308, 1.7e308, 0.0, 1e-300], n)   # overflowing means
    if n:
        spikes = rng.random(n) < draw(st.sampled_from([0.0, 0.05, 0.2]))
        values[spikes] += rng.choice([-1, 1], spikes.sum()) * 1e3
        for _ in range(draw(st.integers(0, 3))):   # runs of missing samples
            start = int(rng.integers(0, n))
            values[start : start + int(rng.integers(1, 6))] = np.nan
        for _ in range(draw(st.integers(0, 2))):
            values[int(rng.integers(0, n))] = rng.choice([np.inf, -np.inf])
    dtype = draw(st.sampled_from(["float64", "float32"]))
    index = draw(
        st.sampled_from(
            [
                pd.RangeIndex(n),
                pd.date_range("2021-03-01", periods=n, freq="min", name="STARTDATE"),
                pd.Index(rng.permutation(n) * 3),   # the index plays no part in the windows
            ]
        )
    )
    with np.errstate(over="ignore", invalid="ignore"):
        return pd.Series(values.astype(dtype), index=index, name=draw(st.sampled_from([None, "OBSVALUE"])))


thresholds = st.sampled_from([0.0, 0.5, 1.0, 2.5, 5.0, 12.0]) | st.floats(0, 20)


@given(series_cases(), st.integers(1, 31), thresholds)
@settings(max_examples=500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
def test_filter_matches_reference(series, window, threshold):
    expected = ref.filter_with_fast_mad(series, window, threshold)
    actual = refine.filter_with_fast_mad(series, window, threshold)
    assert_same_series(actual, expected)


@given(series_cases(), st.integers(1, 12), thresholds)
@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
def test_dataframe_filter_matches_reference(series, window, threshold):
    df = pd.DataFrame({"STATIONID": "x", "OBSVALUE": series, "N": np.arange(len(series))})
    pd.testing.assert_frame_equal(
        refine.filter_with_fast_mad(df, window, threshold),
        ref.filter_with_fast_mad(df, window, threshold),
        check_exact=True,
    )


@pytest.mark.parametrize("window,seed", [(2049, 1), (2300, 2), (2600, 3)])
def test_large_windows_match_reference(window, seed):
    # windows this long use the ranked kernel instead of the flat sorted buffer
    rng = np.random.default_rng(seed)
    n = window + 1500
    values = np.round(rng.normal(size=n), 1)
    values[rng.random(n) < 0.02] = 30.0
    values[800:1800] = 0.5
    values[int(rng.integers(0, n))] = np.nan
    s = pd.Series(values)
    for threshold in (0.0, 3.0):
        assert_same_series(
            refine.filter_with_fast_mad(s, window, threshold),
            ref.filter_with_fast_mad(s, window, threshold),
        )


# --- every kernel of the rolling windows -------------------------------------

KERNELS = ["sorted", "portable", "avx2", "avx512"]


@pytest.fixture
def kernel_switch():
    """Sets the filter's kernel and split; restores the automatic choice after."""

    def use(kernel, split="never"):
        if not refine._set_filter_kernel(kernel, split):
            pytest.skip(f"this processor cannot run the {kernel} kernel")

    yield use
    refine._set_filter_kernel("automatic", "automatic")


def awkward_series(n, seed, dtype):
    """Noise with ties, constant stretches, spikes, NaN runs and infinities."""
    rng = np.random.default_rng(seed)
    values = np.round(rng.normal(0, 1, n), 1)
    values[n // 3 : n // 3 + 40] = 2.5
    values[rng.random(n) < 0.03] += 40.0
    for start in rng.integers(0, n, 6):
        values[start : start + rng.integers(1, 30)] = np.nan
    values[rng.integers(0, n, 3)] = np.inf
    values[rng.integers(0, n, 2)] = -np.inf
    return pd.Series(values.astype(dtype))


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("split", ["never", "always"])
@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_each_kernel_matches_reference(kernel_switch, kernel, split, dtype):
    kernel_switch(kernel, split)
    for seed, window in enumerate([1, 2, 3, 4, 7, 15, 16, 61, 64, 130]):
        s = awkward_series(900, seed, dtype)
        for threshold in (0.0, 3.0):
            assert_same_series(
                refine.filter_with_fast_mad(s, window, threshold),
                ref.filter_with_fast_mad(s, window, threshold),
            )


@pytest.mark.parametrize("kernel", KERNELS)
def test_each_kernel_on_short_and_gappy_series(kernel_switch, kernel):
    # series hardly longer than the window, all missing, or complete windows
    # only in some of the stretches the kernel cuts the series into
    kernel_switch(kernel, "always")
    cases = [
        pd.Series([1.0, 5.0, 1.0, 1.0]),
        pd.Series(np.full(50, np.nan)),
        pd.Series(np.r_[np.full(300, np.nan), [1.0, 9.0, 1.0, 1.0, 1.0, 2.0], np.full(300, np.nan)]),
        pd.Series(np.r_[[3.0, 1.0, 40.0, 1.0, 2.0, 1.0, 1.0], np.full(500, np.inf)]),
    ]
    for s in cases:
        for window in (3, 4, 5):
            assert_same_series(
                refine.filter_with_fast_mad(s, window, 1.0), ref.filter_with_fast_mad(s, window, 1.0)
            )


def test_kernels_agree_on_a_long_series(kernel_switch):
    # long enough for the automatic choice to cut it in two halves; the
    # reference would take minutes, so the kernels are held to each other (the
    # sorted kernel is held to the reference above)
    s = awkward_series(400_000, 99, "float32")
    for window in (15, 16, 61):
        expected = None
        for kernel in ["sorted", "automatic", *KERNELS[1:]]:
            for split in ("never", "always"):
                if not refine._set_filter_kernel(kernel, split):
                    continue
                got = refine.filter_with_fast_mad(s, window)
                if expected is None:
                    expected = got
                else:
                    assert_same_series(got, expected)
        assert ((expected != s) & s.notna()).sum() > 100   # spikes were replaced


def test_unknown_kernel_name():
    with pytest.raises(ValueError, match="kernel"):
        refine._set_filter_kernel("gpu")
    with pytest.raises(ValueError, match="split"):
        refine._set_filter_kernel("sorted", "sometimes")
