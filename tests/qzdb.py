"""A small hand-made QZDATA database for targeted fetch cases.

SQLite laid out like the precursor schema: the data file attached as QZDATA,
ALL_TABLES as a view of its tables, STARTDATE stored as a Julian day that a
converter turns back into a datetime, TO_DATE(text, 'yyyymmdd') giving a
Julian day so that TO_DATE(...)+1 is the next day.
"""

import datetime as dt
import gzip
import sqlite3

import sqlalchemy as sa

_JD_TYPE = "QZJDAY"
_UNIX_EPOCH_JD = 2440587.5


def _to_jd(moment):
    return (moment - dt.datetime(1970, 1, 1)).total_seconds() / 86400.0 + _UNIX_EPOCH_JD


def _from_jd(raw):
    seconds = round((float(raw) - _UNIX_EPOCH_JD) * 86400.0)
    return dt.datetime(1970, 1, 1) + dt.timedelta(seconds=seconds)


sqlite3.register_converter(_JD_TYPE, _from_jd)


def _to_date(text, fmt):
    if fmt.lower() != "yyyymmdd":
        raise ValueError(f"unsupported date format {fmt}")
    return _to_jd(dt.datetime.strptime(str(text), "%Y%m%d"))


def day(text):
    return dt.datetime.strptime(text, "%Y%m%d")


def packed(values):
    return " ".join("NULL" if v is None else repr(float(v)) for v in values)


def create(path, dictionary, tables):
    """dictionary: {table: (columns sql, rows)}; tables: {name: (with_rate,
    compressed, rows)} where a row is (station, point, item, startdate, obs,
    samplerate)."""
    raw = sqlite3.connect(path)
    for table, (columns, rows) in dictionary.items():
        raw.execute(f"CREATE TABLE {table} ({columns})")
        if rows:
            marks = ",".join("?" * len(rows[0]))
            raw.executemany(f"INSERT INTO {table} VALUES ({marks})", rows)
    for name, (with_rate, compressed, rows) in tables.items():
        obs_type = "BLOB" if compressed else "TEXT"
        columns = f"STATIONID TEXT, POINTID TEXT, ITEMID TEXT, STARTDATE {_JD_TYPE}, OBSVALUE {obs_type}"
        if with_rate:
            columns += ", SAMPLERATE REAL"
        raw.execute(f"CREATE TABLE {name} ({columns})")
        for station, point, item, start, obs, rate in rows:
            if compressed and obs is not None:
                obs = gzip.compress(obs.encode("utf-8"))
            values = [station, point, item, _to_jd(start), obs] + ([rate] if with_rate else [])
            marks = ",".join("?" * len(values))
            raw.execute(f"INSERT INTO {name} VALUES ({marks})", values)
    raw.commit()
    raw.close()


def connect(path, alias="qz test"):
    def creator():
        raw = sqlite3.connect(":memory:", detect_types=sqlite3.PARSE_DECLTYPES)
        raw.execute("ATTACH DATABASE ? AS QZDATA", (str(path),))
        raw.create_function("TO_DATE", 2, _to_date, deterministic=True)
        raw.execute(
            "CREATE TEMP VIEW ALL_TABLES AS SELECT name AS TABLE_NAME "
            "FROM QZDATA.sqlite_master WHERE type = 'table'"
        )
        return raw

    engine = sa.create_engine("sqlite://", creator=creator, poolclass=sa.pool.StaticPool)
    conn = engine.connect()
    conn.info["kelvane_db_alias"] = alias
    conn._kelvane_db_alias = alias
    return conn
