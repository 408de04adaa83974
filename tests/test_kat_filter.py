"""Earthquake catalogue filter: distances, selection rules, marker sizes and
labels."""

import math

import numpy as np
import pandas as pd
import pytest
from geopy.distance import geodesic
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kelvane import KAT
from reference.kat_filter_reference import filtered_kats_reference

# geopy warns about latitudes beyond the poles before it rejects them
pytestmark = pytest.mark.filterwarnings("ignore:Latitude normalization:UserWarning")

# Along the equator the WGS-84 geodesic is an arc of the equatorial circle:
# 6378.137 km * pi / 180 per degree of longitude.
KM_PER_EQUATOR_DEGREE = 6378.137 * math.pi / 180


def catalogue(rows):
    """A table shaped as read_KAT returns it: rows of (time, lat, lon, magnitude, name)."""
    times, lats, lons, mags, names = zip(*rows) if rows else ((), (), (), (), ())
    df = pd.DataFrame(
        {"lon": list(lons), "lat": list(lats), "magnitude": list(mags), "name": list(names)},
        index=pd.DatetimeIndex(pd.to_datetime(list(times)), name="ind"),
    )
    return df


class TableDistance:
    """Stands in for geopy's geodesic: distances looked up by epicentre, any
    other epicentre raising as geopy does for bad coordinates."""

    table = {}

    def __init__(self, *points):
        if points:
            self.km = self.measure(*points)

    def measure(self, a, b):
        return self.table[(float(b[0]), float(b[1]))]


@pytest.fixture
def distances(monkeypatch):
    """Sets the distance of each epicentre (lat, lon) from the station."""

    def use(table):
        monkeypatch.setattr(TableDistance, "table", dict(table))
        monkeypatch.setattr(KAT, "geodesic", TableDistance)

    return use


def flagged(result):
    return dict(zip(result["name"], result["flag"]))


# -- rules ----------------------------------------------------------------------


def test_default_rule_boundaries(distances):
    distances({(1.0, 1.0): 250.0, (2.0, 2.0): 300.0, (3.0, 3.0): 250.0, (4.0, 4.0): 299.999})
    df = catalogue([
        ("2020-01-01", 1.0, 1.0, 3.0, "at 250 M3.0"),
        ("2020-01-02", 2.0, 2.0, 6.0, "at 300"),
        ("2020-01-03", 3.0, 3.0, 2.9, "M2.9"),
        ("2020-01-04", 4.0, 4.0, 3.0, "just inside"),
        ("2020-01-05", 1.0, 1.0, np.nan, "no magnitude"),
    ])
    result = KAT.filtered_kats(df)
    assert flagged(result) == {"at 250 M3.0": 1, "at 300": 0, "M2.9": 0, "just inside": 1, "no magnitude": 0}
    assert result["flag"].dtype.kind == "i"
    assert result["distance"].tolist() == [250.0, 300.0, 250.0, 299.999, 250.0]
    # the defaults can be moved
    result = KAT.filtered_kats(df, default_magnitude=2.9, default_distance=300.5)
    assert flagged(result)["M2.9"] == 1 and flagged(result)["at 300"] == 1


def test_several_rules_select_by_any(distances):
    table = {(1.0, 0.0): 280.0, (2.0, 0.0): 350.0, (3.0, 0.0): 450.0, (4.0, 0.0): 199.9,
             (5.0, 0.0): 200.0, (6.0, 0.0): 500.0}
    distances(table)
    df = catalogue([
        ("2020-01-01", 1.0, 0.0, 4.2, "4.2@280"),
        ("2020-01-01", 2.0, 0.0, 4.2, "4.2@350"),
        ("2020-01-01", 3.0, 0.0, 5.5, "5.5@450"),
        ("2020-01-01", 4.0, 0.0, 3.0, "3.0@199.9"),
        ("2020-01-01", 5.0, 0.0, 3.9, "3.9@200"),
        ("2020-01-01", 6.0, 0.0, 9.0, "9.0@500"),
    ])
    rules = [(200, 3.0), (300, 4.0), (500, 5.0)]
    expected = {"4.2@280": 1, "4.2@350": 0, "5.5@450": 1, "3.0@199.9": 1, "3.9@200": 0, "9.0@500": 0}
    assert flagged(KAT.filtered_kats(df, filters=rules)) == expected
    assert flagged(KAT.filtered_kats(df, filters=rules[::-1])) == expected
    # a bare pair is one rule
    bare = KAT.filtered_kats(df, (40.0, 116.0), (200, 3.0))
    assert bare["flag"].tolist() == KAT.filtered_kats(df, filters=[(200, 3.0)])["flag"].tolist()
    assert bare["flag"].tolist() == [0, 0, 0, 1, 0, 0]
    # no rule at all selects nothing
    assert KAT.filtered_kats(df, filters=[])["flag"].tolist() == [0] * 6


def test_repeated_epicentres_measured_once(distances, monkeypatch):
    distances({(1.0, 1.0): 10.0, (2.0, 2.0): 20.0})
    calls = []
    measure = TableDistance.measure
    monkeypatch.setattr(TableDistance, "measure", lambda self, a, b: calls.append(b) or measure(self, a, b))
    df = catalogue([("2020-01-01", 1.0, 1.0, 3.0, "a"), ("2020-01-02", 2.0, 2.0, 3.0, "b"),
                    ("2020-01-03", 1.0, 1.0, 3.0, "c"), ("2020-01-04", 9.0, 9.0, 3.0, "d"),
                    ("2020-01-05", 9.0, 9.0, 3.0, "e")])
    result = KAT.filtered_kats(df)
    assert result["distance"].tolist() == [10.0, 20.0, 10.0, math.inf, math.inf]
    assert sorted(calls) == [(1.0, 1.0), (2.0, 2.0), (9.0, 9.0)]


def test_rules_that_are_not_pairs(distances):
    distances({(1.0, 1.0): 10.0})
    df = catalogue([("2020-01-01", 1.0, 1.0, 3.0, "a")])
    with pytest.raises(ValueError, match="too many values to unpack"):
        KAT.filtered_kats(df, filters=[(100, 3.0, 1)])
    with pytest.raises(ValueError, match="not enough values to unpack"):
        KAT.filtered_kats(df, filters=[(100,)])
    with pytest.raises(TypeError, match="cannot unpack non-iterable int"):
        KAT.filtered_kats(df, filters=[100])
    with pytest.raises(TypeError):
        KAT.filtered_kats(df, filters=[("near", 3.0)])


# -- sizes, labels, times -------------------------------------------------------------


def test_sizes_and_labels(distances):
    distances({(1.0, 1.0): 123.456, (2.0, 2.0): 50.04})
    df = catalogue([
        ("2020-01-01", 1.0, 1.0, 4.5, "某地"),
        ("2020-01-02", 2.0, 2.0, 4.0, "b"),
        ("2020-01-03", 2.0, 2.0, 6.0, "c"),
        ("2020-01-04", 2.0, 2.0, 2.0, np.nan),
        ("2020-01-05", 2.0, 2.0, np.nan, "d"),
        ("2020-01-06", 9.0, 9.0, 5.0, "far"),  # distance not computable
    ])
    result = KAT.filtered_kats(df)
    np.testing.assert_array_equal(result["size"].to_numpy(), [7.5, 5, 15, 5, np.nan, 10])
    text = result["text"].tolist()
    assert text[0] == "某地Ml4.5\n123.5km"
    assert text[1] == "bMl4.0\n50.0km"
    assert pd.isna(text[3])
    assert text[4] == "dMlnan\n50.0km"
    assert text[5] == "farMl5.0\ninfkm"
    assert result["distance"].iloc[5] == math.inf and result["flag"].iloc[5] == 0
    assert list(result.columns) == ["lon", "lat", "magnitude", "name", "distance", "flag", "size", "text"]


def test_catalogue_without_any_name(distances):
    distances({(1.0, 1.0): 10.0})
    df = catalogue([("2020-01-01", 1.0, 1.0, 4.0, np.nan), ("2020-01-02", 1.0, 1.0, 5.0, np.nan)])
    assert df["name"].dtype == np.float64
    result = KAT.filtered_kats(df)
    assert result["text"].isna().all() and len(result) == 2
    assert result["flag"].tolist() == [1, 1]


def test_only_times_after_1970_are_kept(distances):
    distances({(1.0, 1.0): 10.0})
    df = catalogue([
        ("1969-12-31 23:59:59", 1.0, 1.0, 4.0, "before"),
        ("1970-01-01 00:00:00", 1.0, 1.0, 4.0, "epoch"),
        ("1970-01-01 00:00:01", 1.0, 1.0, 4.0, "after"),
        (None, 1.0, 1.0, 4.0, "no time"),
        ("2008-05-12 14:28:04", 1.0, 1.0, 8.0, "later"),
    ])
    result = KAT.filtered_kats(df)
    assert result["name"].tolist() == ["after", "later"]
    assert result.index.name == "date"
    assert result.index.tolist() == [pd.Timestamp("1970-01-01 00:00:01"), pd.Timestamp("2008-05-12 14:28:04")]


def test_input_index_renamed_rows_copied(distances):
    distances({(1.0, 1.0): 10.0})
    df = catalogue([("2020-01-01", 1.0, 1.0, 4.0, "a"), ("1960-01-01", 1.0, 1.0, 4.0, "b")])
    before = df.copy()
    result = KAT.filtered_kats(df)
    assert df.index.name == "date"
    assert list(df.columns) == ["lon", "lat", "magnitude", "name"] and len(df) == 2
    pd.testing.assert_frame_equal(df, before, check_names=False)
    result.loc[result.index[0], "magnitude"] = 9.9
    assert df["magnitude"].iloc[0] == 4.0


def test_empty_catalogue(tmp_path):
    (tmp_path / "kat.txt").write_text("")
    result = KAT.filtered_kats(KAT.read_KAT(tmp_path / "kat.txt"))
    assert result.empty and result.index.name == "date"
    assert list(result.columns) == ["lon", "lat", "magnitude", "name", "distance", "flag", "size", "text"]


# -- real geodesic distances ------------------------------------------------------


def test_geodesic_distances_on_the_equator():
    near = 300 / KM_PER_EQUATOR_DEGREE
    df = catalogue([
        ("2020-01-01", 0.0, 1.0, 3.0, "one degree"),
        ("2020-01-02", 0.0, near * 0.999, 3.0, "inside"),
        ("2020-01-03", 0.0, -near * 1.001, 3.0, "outside"),
        ("2020-01-04", np.nan, 10.0, 6.0, "no latitude"),
        ("2020-01-05", 95.0, 10.0, 6.0, "latitude beyond the pole"),
    ])
    result = KAT.filtered_kats(df, station=(0.0, 0.0))
    d = result["distance"].tolist()
    assert d[0] == pytest.approx(KM_PER_EQUATOR_DEGREE, rel=1e-12)
    assert d[1] == pytest.approx(299.7, rel=1e-12) and d[2] == pytest.approx(300.3, rel=1e-12)
    assert d[3:] == [math.inf, math.inf]
    assert result["flag"].tolist() == [1, 1, 0, 0, 0]
    assert result["text"].iloc[0] == "one degreeMl3.0\n111.3km"
    assert result["text"].iloc[3] == "no latitudeMl6.0\ninfkm"


NAME = st.one_of(st.none(), st.text(max_size=5))


@st.composite
def catalogue_tables(draw):
    n = draw(st.integers(0, 8))
    rows = []
    for _ in range(n):
        time = draw(st.one_of(st.none(), st.datetimes(min_value=pd.Timestamp("1960-01-01").to_pydatetime(),
                                                      max_value=pd.Timestamp("2030-01-01").to_pydatetime())))
        lat = draw(st.one_of(st.floats(-89, 89), st.just(np.nan), st.floats(89, 95), st.sampled_from([30.0, -0.0])))
        lon = draw(st.one_of(st.floats(-180, 180), st.just(np.nan), st.sampled_from([100.0, 0.0])))
        mag = draw(st.one_of(st.floats(0, 9).map(lambda v: round(v, 1)), st.just(np.nan)))
        name = draw(NAME)
        rows.append((time, lat, lon, mag, np.nan if name is None else name))
    return catalogue(rows)


RULES = st.one_of(
    st.none(),
    st.tuples(st.integers(0, 3000), st.floats(0, 9)),
    st.lists(st.tuples(st.integers(0, 3000), st.floats(0, 9)), max_size=3),
)


@settings(max_examples=120, deadline=None)
@given(df=catalogue_tables(), filters=RULES,
       station=st.tuples(st.floats(-60, 60), st.floats(-180, 180)))
def test_generated_tables_match_reference(df, filters, station):
    native_input, reference_input = df.copy(), df.copy()
    native = KAT.filtered_kats(native_input, station, filters)
    expected = filtered_kats_reference(reference_input, station, filters)
    pd.testing.assert_frame_equal(native, expected, check_exact=True)
    assert native_input.index.name == "date"
    for (lat, lon), km in zip(native[["lat", "lon"]].itertuples(index=False), native["distance"]):
        try:
            assert km == geodesic(station, (lat, lon)).km
        except ValueError:
            assert km == math.inf


# -- module ---------------------------------------------------------------------


def test_loads_no_sibling_module(run_python, tmp_path):
    done = run_python(
        """
        import sys
        import kelvane.KAT as K
        assert K.geodesic.__module__ == "geopy.distance", K.geodesic
        assert K.pd.__name__ == "pandas" and K.np.__name__ == "numpy"
        print(sorted(m for m in sys.modules if m.startswith("kelvane.")))
        """,
        tmp_path,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "['kelvane.KAT']"


def test_documented_help_texts():
    def words(doc):
        return [line.strip() for line in doc.splitlines() if line.strip()]

    assert words(KAT.read_KAT.__doc__) == [
        "Parse earthquake text file and return as a pandas DataFrame.", "Parameters:",
        "kat_dir (str): Path to the KAT file", "Returns:",
        "pandas.DataFrame: DataFrame with datetime index and columns: lon, lat, magnitude, name",
    ]
    filter_doc = words(KAT.filtered_kats.__doc__)
    assert filter_doc[0] == "筛选地震数据，支持多条件筛选" and filter_doc[-1] == "DataFrame: 筛选后的地震数据"
    assert "200公里以内的3级以上，300公里以内的4级以上，500公里以内的5级以上" in filter_doc
