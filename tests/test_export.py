"""VELD tables and their Parquet and Feather files."""

import io
import json
import math
import os
import sys

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.feather as feather
import pyarrow.parquet as pq
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kelvane import export

FAILED = "转换 Arrow Table 失败: "


def series_table(rows=48, stations=("12001", "12002")):
    """A split time-series table as the fetcher returns it."""
    times = pd.date_range("2020-01-01", periods=rows, freq="h", name="STARTDATE")
    values = np.linspace(-3.25, 900.5, rows * len(stations)).astype("float32")
    values[5] = np.nan
    frame = pd.DataFrame(
        {
            "STATIONID": np.repeat(list(stations), rows),
            "POINTID": "1",
            "ITEMID": "4112",
            "SAMPLERATE": 60,
            "OBSVALUE": values,
        },
        index=times.append([times] * (len(stations) - 1)),
    )
    frame.index.name = "STARTDATE"
    return frame


def context():
    return {
        "station_info": [{"STATIONID": "12001", "STATIONNAME": "郯城", "LONGITUDE": 118.35}],
        "item_info": [{"ITEMID": "4112", "ITEMNAME": "静水位", "UNIT": None}],
        "sampling_rate": 60,
        "export_time": "2020-02-01T08:30:00.250000",
    }


def failures(caplog):
    return [r for r in caplog.records if r.getMessage().startswith(FAILED)]


def folder_names(path):
    return sorted(p.name for p in path.iterdir())


@pytest.fixture
def out(tmp_path):
    """An empty folder for the files of one test."""
    folder = tmp_path / "out"
    folder.mkdir()
    return folder


# --- the table and its schema metadata --------------------------------------


@pytest.mark.parametrize("metadata", [None, {}])
def test_without_caller_entries_the_format_follows_the_pandas_entry(metadata):
    df = series_table()
    table = export.to_veld(df, metadata)
    meta = table.schema.metadata
    assert list(meta) == [b"pandas", b"format_name", b"format_version"]
    assert meta[b"format_name"] == b"VELD" and meta[b"format_version"] == b"1.0.0"
    assert meta[b"pandas"] == pa.Table.from_pandas(df).schema.metadata[b"pandas"]
    assert table.column_names == ["STATIONID", "POINTID", "ITEMID", "SAMPLERATE", "OBSVALUE", "STARTDATE"]
    assert table.num_rows == len(df)
    assert table.schema.field("OBSVALUE").type == pa.float32()
    assert pa.types.is_timestamp(table.schema.field("STARTDATE").type)
    assert table.column("STARTDATE").to_pandas().tolist() == df.index.tolist()


def test_caller_entries_are_json_texts_in_insertion_order():
    table = export.to_veld(
        series_table(),
        metadata={
            "sampling_rate": 60,
            "label": "abc",
            "station": "郯城",
            "limits": [float("nan"), float("inf"), -float("inf")],
            "format_version": 2,
            "nested": {"b": 1, "a": [True, None]},
        },
    )
    meta = table.schema.metadata
    assert list(meta) == [
        b"pandas", b"format_name", b"format_version",
        b"sampling_rate", b"label", b"station", b"limits", b"nested",
    ]
    assert meta[b"sampling_rate"] == b"60"
    assert meta[b"label"] == b'"abc"'
    assert meta[b"station"] == b'"\\u90ef\\u57ce"'
    assert meta[b"limits"] == b"[NaN, Infinity, -Infinity]"
    assert meta[b"format_version"] == b"2"
    assert meta[b"format_name"] == b"VELD"
    assert meta[b"nested"] == b'{"b": 1, "a": [true, null]}'


def test_a_caller_entry_named_like_the_conversion_entry_replaces_it_in_place():
    table = export.to_veld(series_table(), {"pandas": "mine", "format_name": "X"})
    meta = table.schema.metadata
    assert list(meta) == [b"pandas", b"format_name", b"format_version"]
    assert meta[b"pandas"] == b'"mine"' and meta[b"format_name"] == b'"X"'


def test_an_unnamed_default_index_is_not_stored():
    df = pd.DataFrame({"OBSVALUE": np.arange(4, dtype="float32")})
    table = export.to_veld(df, {"n": 1})
    assert table.column_names == ["OBSVALUE"]
    assert json.loads(table.schema.metadata[b"pandas"])["columns"][0]["name"] == "OBSVALUE"


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=5), inner, max_size=3),
    max_leaves=8,
)


@settings(max_examples=150, deadline=None)
@given(st.dictionaries(st.text(min_size=1, max_size=8), json_values, max_size=6))
def test_metadata_matches_the_standard_encoder(metadata):
    df = pd.DataFrame({"OBSVALUE": np.array([1.0, 2.0], dtype="float32")})
    meta = export.to_veld(df, metadata).schema.metadata
    expected = {b"pandas": None, b"format_name": b"VELD", b"format_version": b"1.0.0"}
    for key, value in metadata.items():
        expected[key.encode()] = json.dumps(value).encode()
    assert list(meta) == list(expected)
    for key, value in expected.items():
        if value is not None:
            assert meta[key] == value


# --- conversion failures ----------------------------------------------------


class Unencodable:
    pass


@pytest.mark.parametrize(
    "metadata",
    [
        {"when": pd.Timestamp("2020-01-01")},
        {"ids": {"12001"}},
        {"rate": np.int64(60)},
        {"fine": 1, "bad": [Unencodable()]},
        {1: "a key that is not text"},
        ["not", "a", "mapping"],
    ],
)
def test_metadata_the_encoder_rejects_gives_one_logged_error_and_no_file(metadata, caplog, out):
    assert export.to_veld(series_table(), metadata) is None
    assert len(failures(caplog)) == 1
    caplog.clear()
    target = out / "out.parquet"
    assert export.export_veld(series_table(), target, metadata) is None
    assert export.export_to_feather(series_table(), out / "out.feather", metadata) is None
    assert len(failures(caplog)) == 2
    assert not any("数据已导出至" in r.getMessage() for r in caplog.records)
    assert folder_names(out) == []


@pytest.mark.parametrize(
    "df",
    [
        pd.DataFrame({"OBSVALUE": [1.5, "x", None]}),
        None,
        pd.Series([1.0, 2.0], name="OBSVALUE"),
        {"OBSVALUE": [1.0]},
    ],
    ids=["mixed-object-column", "none", "series", "dict"],
)
def test_input_that_is_no_convertible_dataframe_gives_one_logged_error(df, caplog, out):
    # the line quotes what pyarrow's conversion says about this input
    with pytest.raises(Exception) as refused:
        pa.Table.from_pandas(df)
    assert export.to_veld(df, {"sampling_rate": 60}) is None
    [record] = failures(caplog)
    assert record.levelname == "ERROR" and record.name == "fetching"
    assert record.getMessage() == FAILED + str(refused.value)
    assert export.export_veld(df, out / "a.parquet") is None
    assert export.export_to_feather(df, out / "a.feather") is None
    assert folder_names(out) == []


# --- the writers ------------------------------------------------------------


def test_writers_log_where_they_wrote(caplog, out):
    parquet_path, feather_path = out / "s.parquet", out / "s.feather"
    assert export.export_veld(series_table(), parquet_path) is None
    assert export.export_to_feather(series_table(), str(feather_path)) is None
    lines = [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "fetching"]
    assert lines == [
        ("INFO", f"数据已导出至 {parquet_path} (VELD 格式)"),
        ("INFO", f"数据已导出至 {feather_path}"),
    ]


@pytest.mark.parametrize("writer, read_table, read_frame", [
    (export.export_veld, pq.read_table, pd.read_parquet),
    (export.export_to_feather, feather.read_table, pd.read_feather),
])
def test_round_trip_keeps_times_values_and_metadata(writer, read_table, read_frame, out):
    df = series_table()
    meta = context()
    target = out / "series.veld"
    writer(df, target, metadata=meta)

    stored = read_table(target).schema.metadata
    assert stored == export.to_veld(df, meta).schema.metadata
    assert stored[b"format_name"] == b"VELD" and stored[b"format_version"] == b"1.0.0"
    for key, value in meta.items():
        assert json.loads(stored[key.encode()]) == value

    back = read_frame(target)
    assert back.index.name == "STARTDATE"
    assert pd.api.types.is_datetime64_any_dtype(back.index)
    assert back["OBSVALUE"].dtype == np.float32
    pd.testing.assert_frame_equal(back, df, check_index_type=False, check_dtype=False)
    np.testing.assert_array_equal(back["OBSVALUE"].to_numpy(), df["OBSVALUE"].to_numpy())
    assert (back.index == df.index).all()


def test_duckdb_reads_the_parquet_columns_and_values(out):
    duckdb = pytest.importorskip("duckdb")
    df = series_table(rows=30)
    target = out / "series.parquet"
    export.export_veld(df, target, context())
    con = duckdb.connect()
    rel = con.execute(f"SELECT * FROM read_parquet('{target.as_posix()}')")
    names = [d[0] for d in rel.description]
    rows = rel.fetchall()
    assert names == ["STATIONID", "POINTID", "ITEMID", "SAMPLERATE", "OBSVALUE", "STARTDATE"]
    assert len(rows) == len(df)
    expected = df.reset_index()
    for row, (_, want) in zip(rows, expected[names].iterrows()):
        assert row[:4] == (want.STATIONID, want.POINTID, want.ITEMID, want.SAMPLERATE)
        if math.isnan(want.OBSVALUE):
            assert row[4] is None or math.isnan(row[4])
        else:
            assert row[4] == float(want.OBSVALUE)
        assert pd.Timestamp(row[5]) == want.STARTDATE
    kv = dict(con.execute(
        f"SELECT decode(key), decode(value) FROM parquet_kv_metadata('{target.as_posix()}')"
    ).fetchall())
    assert kv["format_name"] == "VELD" and kv["sampling_rate"] == "60"


def test_writing_to_a_file_object_goes_straight_to_the_writer():
    sink = io.BytesIO()
    export.export_veld(series_table(), sink, {"sampling_rate": 60})
    sink.seek(0)
    assert pq.read_table(sink).schema.metadata[b"sampling_rate"] == b"60"


# --- failed writes leave nothing behind -------------------------------------


class HalfWrite(Exception):
    pass


def writes_half_then_fails(table, where, *args, **kwargs):
    with open(where, "wb") as f:
        f.write(b"PAR1 truncated")
    raise HalfWrite("disk full")


@pytest.mark.parametrize("writer, patch", [
    (export.export_veld, lambda mp: mp.setattr(export.pq, "write_table", writes_half_then_fails)),
    (export.export_to_feather, lambda mp: mp.setattr(feather, "write_feather", writes_half_then_fails)),
])
def test_a_write_that_fails_part_way_keeps_the_earlier_file(writer, patch, out, monkeypatch, caplog):
    target = out / "series.veld"
    writer(series_table(rows=5), target, {"version": 1})
    before = target.read_bytes()

    patch(monkeypatch)
    with pytest.raises(HalfWrite, match="disk full"):
        writer(series_table(rows=7), target, {"version": 2})
    assert target.read_bytes() == before
    assert folder_names(out) == ["series.veld"]

    (out / "series.veld").unlink()
    with pytest.raises(HalfWrite):
        writer(series_table(rows=7), target)
    assert folder_names(out) == []
    assert sum("数据已导出至" in r.getMessage() for r in caplog.records) == 1


@pytest.mark.parametrize("writer", [export.export_veld, export.export_to_feather])
def test_an_unwritable_target_raises_the_writers_error(writer, out, caplog):
    with pytest.raises(OSError):
        writer(series_table(), out / "missing" / "out.parquet")
    occupied = out / "occupied"
    occupied.mkdir()
    with pytest.raises(OSError):
        writer(series_table(), occupied)
    assert folder_names(out) == ["occupied"] and folder_names(occupied) == []
    assert not any("数据已导出至" in r.getMessage() for r in caplog.records)


def test_without_the_feather_module_its_import_error_reaches_the_caller(out, monkeypatch, caplog):
    monkeypatch.setitem(sys.modules, "pyarrow.feather", None)
    with pytest.raises(ImportError):
        export.export_to_feather(series_table(), out / "x.feather")
    assert folder_names(out) == [] and caplog.records == []


@pytest.mark.skipif(os.name != "posix", reason="file modes and links")
def test_replacing_a_file_keeps_its_mode_and_writes_through_links(out):
    real = out / "real.parquet"
    export.export_veld(series_table(rows=3), real)
    real.chmod(0o640)
    link = out / "link.parquet"
    link.symlink_to(real)
    export.export_veld(series_table(rows=9), link, {"n": 9})
    assert link.is_symlink()
    assert real.stat().st_mode & 0o777 == 0o640
    assert pq.read_table(real).num_rows == 18
    assert folder_names(out) == ["link.parquet", "real.parquet"]


# --- module loading ---------------------------------------------------------


def output_of(run_python, code, home):
    done = run_python(code, home)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


def test_module_loads_its_libraries_and_the_fetching_logger(run_python, tmp_path):
    out = output_of(run_python, """
        import sys
        from kelvane import export
        print(export.logger.name, export.pq.__name__, 'pyarrow.feather' in sys.modules)
    """, tmp_path)
    assert out == ["fetching", "pyarrow.parquet", "False"]


def test_without_the_logging_module_the_export_logger_is_used(run_python, tmp_path):
    out = output_of(run_python, """
        import sys
        sys.modules['kelvane.logsetup'] = None
        from kelvane import export
        print(export.logger.name, export.to_veld(None))
    """, tmp_path)
    assert out == ["export", "None"]
