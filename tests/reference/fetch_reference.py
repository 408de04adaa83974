"""Plain-pandas reference of the observation fetch after the data statement
is built: read the rows, normalise them, choose the sample interval, inflate
compressed strings, expand the empty-day marker and split the day strings."""

import gzip

import pandas as pd

RATE_BY_CODE = {"02": 1, "01": 60, "60": 3600, "90": 86400}


def sample_interval(df, configured):
    if "SAMPLERATE" not in df.columns:
        return configured
    value = df["SAMPLERATE"].iloc[0]
    if pd.isna(value):
        return configured
    code = str(value).strip().split(".")[0].zfill(2)
    return RATE_BY_CODE.get(code, configured)


def reference_fetch(conn, sql, configured_rate, split, gzip_flag=False, my_split_lines=True):
    """`split(df, seconds)` is the splitting step (a reference or the native one)."""
    df = pd.read_sql(sql, con=conn)
    df.columns = df.columns.str.upper()
    if df.empty:
        return df
    for column in ("STATIONID", "ITEMID", "POINTID"):
        df[column] = df[column].astype(str)
    df = df.sort_values(by=["ITEMID", "STATIONID", "POINTID", "STARTDATE"])
    rate = sample_interval(df, configured_rate)
    count = 86400 // rate if rate > 0 else 0
    null_day = " ".join(["NULL"] * count)
    if gzip_flag and rate <= 60:
        df["OBSVALUE"] = [
            "" if value is None else gzip.decompress(value).decode("utf-8")
            for value in df["OBSVALUE"]
        ]
    df = df.replace("NULLALL", null_day, regex=True)
    if not df.empty and my_split_lines:
        df = split(df, rate)
    df.columns = df.columns.str.upper()
    if df.index.name:
        df.index.name = df.index.name.upper()
    return df
