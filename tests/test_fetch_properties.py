"""Generated daily rows through the whole fetch, against the plain-pandas
reference: sorting, the interval taken from SAMPLERATE, gzip inflation, the
empty-day expansion inside any text cell, and the split."""

import logging
import tempfile
from pathlib import Path

import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import qzdb
from kelvane.fetching import DataFetcher
from reference.fetch_reference import reference_fetch
from reference.split_reference import split_lines_reference

DICTIONARY = {
    "QZ_DICT_METHODS": ("METHODID TEXT, METHODNAME TEXT", [("412", "水位")]),
    "QZ_DICT_STATIONITEMS": ("STATIONID TEXT, ITEMID TEXT", [("37005", "4121")]),
}

token = st.sampled_from(["NULLALL", "NULL", "1.5", "-2e3", "", "xNULLALLy", "NULLALLNULLALL", "nan", "水"])
packed = st.lists(token, max_size=6).map(" ".join)
rate = st.sampled_from([None, 1.0, 2, 60, 90.0, 0, -1, 1.5, " 60 ", "abc", "01", "9"])
# a missing point id sends the rows through pandas' own typing; a marker in a
# station id is expanded as in any other text cell
row = st.tuples(
    st.sampled_from(["37005", "12001", "NULLALL9"]),
    st.sampled_from(["1", "2", None]),
    st.sampled_from(["4121", "4122"]),
    st.integers(0, 3),
    st.one_of(st.none(), packed),
)


@st.composite
def databases(draw):
    compressed = draw(st.booleans())
    with_rate = draw(st.booleans())
    tables = {}
    for name in draw(st.sampled_from([["QZ_412_DYU_01"], ["QZ_412_DYU_01", "QZ_412_DYU_01B"]])):
        rows = []
        for station, point, item, offset, obs in draw(st.lists(row, min_size=1, max_size=6)):
            day = qzdb.day("20200101") + pd.Timedelta(days=offset).to_pytimedelta()
            if obs is None and not compressed:
                obs = "NULLALL"
            rows.append((station, point, item, day, obs, draw(rate)))
        tables[name] = (with_rate, compressed, rows)
    return compressed, tables


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(databases(), st.booleans())
def test_fetch_matches_reference(case, split):
    compressed, tables = case
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "gen.db"
        qzdb.create(path, DICTIONARY, tables)
        conn = qzdb.connect(path)
        try:
            logging.getLogger("fetching").disabled = True
            sql = " UNION ALL ".join(
                f"SELECT * FROM QZDATA.{name} WHERE STARTDATE >= TO_DATE('20200101', 'yyyymmdd') "
                f"AND STARTDATE < TO_DATE('20200104', 'yyyymmdd')+1"
                for name in tables
            )
            try:
                want = reference_fetch(conn, sql, 60, split=split_lines_reference, gzip_flag=compressed,
                                       my_split_lines=split)
            except Exception as error:  # packed bytes that are not inflated cannot be split
                want = error
            run = lambda: DataFetcher.fetch_data(conn, "20200101", "20200104", "水位", "全部", "分钟值",  # noqa: E731
                                                 "预处理库", gzip_flag=compressed, my_split_lines=split)
            if isinstance(want, Exception):
                with pytest.raises(type(want)):
                    run()
                return
            got = run()
        finally:
            logging.getLogger("fetching").disabled = False
            conn.close()
    pd.testing.assert_frame_equal(got, want)
