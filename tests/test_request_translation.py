"""Library and sample-rate catalogues, and the SQL text of the query builder."""

import datetime as dt
import logging

import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kelvane import fetching
from kelvane.fetching import DatabaseType, QueryBuilder, SampleRateType

DATA_HEAD = (
    "SELECT * FROM QZDATA.{t} WHERE STARTDATE >= TO_DATE('{s}', 'yyyymmdd') "
    "AND STARTDATE < TO_DATE('{e}', 'yyyymmdd')+1"
)


def tables(*names):
    return pd.DataFrame({"table_name": list(names)})


# -- catalogues ---------------------------------------------------------------


def test_library_codes():
    assert DatabaseType.RAW == "原始库"
    assert DatabaseType.PREPROCESSED == "预处理库"
    assert DatabaseType.PRODUCT == "产品库"
    assert [DatabaseType.get_id(n) for n in ("原始库", "预处理库", "产品库")] == ["DYS", "DYU", "CP"]
    assert DatabaseType.get_id(db_type="预处理库") == "DYU"
    for other in ("PREPROCESSED", "DYU", "", None, 3):
        assert DatabaseType.get_id(other) is None


def test_rate_records_and_aliases():
    expected = {
        "秒钟值": {"id": "02", "rate": 1, "null_count": 86400},
        "分钟值": {"id": "01", "rate": 60, "null_count": 1440},
        "小时值": {"id": "60", "rate": 3600, "null_count": 24},
        "日均值": {"id": "90", "rate": 86400, "null_count": 1},
    }
    for name, record in expected.items():
        assert SampleRateType.get_config(name) == record
    aliases = {"秒值": "秒钟值", "分值": "分钟值", "整点值": "小时值", "日值": "日均值"}
    for alias, name in aliases.items():
        assert SampleRateType.get_config(rate_type=alias) == expected[name]
    assert (SampleRateType.SECOND, SampleRateType.MINUTE, SampleRateType.HOUR, SampleRateType.DAY) == (
        "秒钟值", "分钟值", "小时值", "日均值")
    for unknown in ("周值", "", None, "MINUTE"):
        assert SampleRateType.get_config(unknown) is None


def test_rate_record_is_fresh_each_call():
    record = SampleRateType.get_config("分钟值")
    record["rate"] = 1
    record["extra"] = True
    assert SampleRateType.get_config("分钟值") == {"id": "01", "rate": 60, "null_count": 1440}


def test_rate_by_id_converts_to_text_only():
    assert SampleRateType.get_rate_by_id("01") == 60
    assert SampleRateType.get_rate_by_id("02") == 1
    assert SampleRateType.get_rate_by_id(60) == 3600
    assert SampleRateType.get_rate_by_id(90) == 86400
    assert SampleRateType.get_rate_by_id("1") is None
    assert SampleRateType.get_rate_by_id(1) is None
    assert SampleRateType.get_rate_by_id(" 01") is None


def test_catalogue_argument_errors():
    with pytest.raises(TypeError):
        DatabaseType.get_id(["预处理库"])
    with pytest.raises(TypeError):
        SampleRateType.get_config({})
    with pytest.raises(TypeError):
        SampleRateType.get_config()
    with pytest.raises(TypeError):
        SampleRateType.get_rate_by_id("01", "02")


# -- data statements ----------------------------------------------------------


def test_worked_example():
    sql = QueryBuilder.build_data_query(
        tables("DYU_01_321"), "20200101", "2020-01-31",
        pd.DataFrame({"stationid": ["12001", "12002"]}), None, "1")
    assert sql == (
        DATA_HEAD.format(t="DYU_01_321", s="20200101", e="20200131")
        + " AND (STATIONID=12001 OR STATIONID=12002) AND (POINTID='1')"
    )


def test_union_of_three_tables_and_fragment_order():
    sql = QueryBuilder.build_data_query(
        table_names=tables("A", "B", "C"), start_date=pd.Timestamp("2020-01-05 13:00"),
        end_date="2020-02-01T23:59", station_ids=pd.DataFrame({"stationid": ["1"]}),
        item_ids=pd.DataFrame({"itemid": ["3211", "3212"]}), point_id=3)
    parts = sql.split(" UNION ALL ")
    assert len(parts) == 3
    tail = " AND (STATIONID=1) AND (ITEMID='3211' OR ITEMID='3212') AND (POINTID='3')"
    assert parts == [DATA_HEAD.format(t=t, s="20200105", e="20200201") + tail for t in "ABC"]


@pytest.mark.parametrize("point, fragment", [
    (0, ""), ("", ""), (None, ""), ("0", " AND (POINTID='0')"), ("2", " AND (POINTID='2')"),
])
def test_point_filter(point, fragment):
    sql = QueryBuilder.build_data_query(tables("T"), "20200101", "20200101", point_id=point)
    assert sql == DATA_HEAD.format(t="T", s="20200101", e="20200101") + fragment


def test_empty_id_tables_give_empty_condition():
    empty_st = pd.DataFrame({"stationid": pd.Series([], dtype=object)})
    empty_it = pd.DataFrame({"itemid": pd.Series([], dtype=object)})
    sql = QueryBuilder.build_data_query(tables("T"), "20200101", "20200102", empty_st, empty_it)
    assert sql.endswith("+1 AND () AND ()")


def test_ids_are_quoted_safely():
    sql = QueryBuilder.build_data_query(
        tables("T"), "20200101", "20200102",
        pd.DataFrame({"stationid": ["12001", "1 OR 1=1", "A'B"]}),
        pd.DataFrame({"itemid": ["32'11"]}), "1') OR ('1'='1")
    assert " AND (STATIONID=12001 OR STATIONID='1 OR 1=1' OR STATIONID='A''B')" in sql
    assert " AND (ITEMID='32''11')" in sql
    assert sql.endswith(" AND (POINTID='1'') OR (''1''=''1')")


def test_string_dtype_id_columns():
    st = pd.DataFrame({"stationid": pd.array(["12001"], dtype="str")})
    sql = QueryBuilder.build_data_query(tables("T"), "20200101", "20200101", st)
    assert sql.endswith(" AND (STATIONID=12001)")


def test_empty_table_names_log_and_none(caplog):
    with caplog.at_level(logging.ERROR, logger="fetching"):
        assert QueryBuilder.build_data_query(tables(), "20200101", "20200102") is None
        assert QueryBuilder.build_dialog_query(tables(), "20200101", "20200102", "1") is None
    assert [r.getMessage() for r in caplog.records] == ["没有找到匹配的表名!"] * 2
    assert all(r.name == "fetching" and r.levelname == "ERROR" for r in caplog.records)


def test_builder_errors_reach_the_caller():
    with pytest.raises(KeyError):
        QueryBuilder.build_data_query(pd.DataFrame({"name": ["T"]}), "20200101", "20200102")
    with pytest.raises((ValueError, pd.errors.ParserError)):
        QueryBuilder.build_data_query(tables("T"), "not a date", "20200102")
    with pytest.raises(KeyError):
        QueryBuilder.build_data_query(tables("T"), "20200101", "20200102",
                                      pd.DataFrame({"id": ["1"]}))
    with pytest.raises(TypeError):
        QueryBuilder.build_data_query(tables("T"), "20200101", "20200102",
                                      pd.DataFrame({"stationid": [12001]}))
    with pytest.raises(TypeError):
        QueryBuilder.build_data_query(tables("T"), "20200101")
    with pytest.raises(TypeError):
        QueryBuilder.build_data_query(tables("T"), "20200101", "20200102", bogus=1)


# -- event-log statements -----------------------------------------------------


def test_dialog_query_binds_event_code_per_branch():
    sql = QueryBuilder.build_dialog_query(
        tables("DLG_A", "DLG_B"), "20200101", "20200110", "ignored",
        pd.DataFrame({"stationid": ["370082"]}), pd.DataFrame({"itemid": ["3211"]}))
    branches = sql.split(" UNION ALL ")
    assert len(branches) == 2
    for table, branch in zip(("DLG_A", "DLG_B"), branches):
        assert branch == (DATA_HEAD.format(t=table, s="20200101", e="20200110")
                          + " AND EVTID IN (:evt_id) AND (STATIONID=370082) AND (ITEMID='3211')")
    assert sql.count(":evt_id") == 2


def test_dialog_query_requires_log_type():
    with pytest.raises(TypeError):
        QueryBuilder.build_dialog_query(tables("T"), "20200101", "20200102")
    sql = QueryBuilder.build_dialog_query(tables("T"), "20200101", "20200102", log_type=7)
    assert "POINTID" not in sql and "STATIONID" not in sql


def test_module_state_defaults():
    assert fetching._ORACLE_THICK_MODE_READY in (False, True)
    assert fetching.logger is logging.getLogger("fetching")


@settings(max_examples=300, deadline=None)
@given(st.one_of(
    st.dates(dt.date(1850, 1, 1), dt.date(2300, 12, 31)).flatmap(
        lambda d: st.sampled_from([d.strftime("%Y%m%d"), d.isoformat(), d.strftime("%Y/%m/%d")])),
    st.from_regex(r"\A[0-9]{8}\Z"), st.from_regex(r"\A[0-9]{4}-[0-9]{2}-[0-9]{2}\Z")))
def test_date_texts_enter_as_the_day_pandas_reads(text):
    try:
        want = pd.to_datetime(text).strftime("%Y%m%d")
    except Exception as error:  # pandas cannot read or write it: nor can the builder
        with pytest.raises(type(error)):
            QueryBuilder.build_data_query(tables("A"), text, text)
        return
    assert QueryBuilder.build_data_query(tables("A"), text, text) == DATA_HEAD.format(t="A", s=want, e=want)
