"""Plain-pandas reference of the post-processing functions of kelvane.refine.

Each function follows the documented steps literally, with pandas and NumPy
doing all the work (the Hampel filter's local scale is a rolling ``apply`` of
``fast_mad``, which is slow). The differential tests compare the compiled
module against these on generated inputs.
"""

from datetime import datetime

import numpy as np
import pandas as pd


def _is_leap_year(year):
    return (year % 4 == 0 and year % 100 != 0) or year % 400 == 0


def create_normalized_dates(df, reference_year=2024):
    if not isinstance(df.index, pd.DatetimeIndex):
        try:
            df.index = pd.to_datetime(df.index)
        except Exception:
            return df

    def normalize_date(date):
        if date.month == 2 and date.day == 29 and not _is_leap_year(reference_year):
            return datetime(reference_year, 2, 28)
        return datetime(reference_year, date.month, date.day)

    df["datetime_norm"] = df.index.map(normalize_date)
    return df


def resample_timeseries_data(df, freq, agg_method="mean"):
    for column in ["STARTDATE", "STATIONID", "POINTID", "ITEMID", "OBSVALUE"]:
        if column not in df.columns:
            raise ValueError(f"缺少必要的列: {column}")
    df = df.copy()
    df["STARTDATE"] = pd.to_datetime(df["STARTDATE"])
    df = df.set_index("STARTDATE")
    result = []
    for (station, point, item), group in df.groupby(["STATIONID", "POINTID", "ITEMID"]):
        resampler = group["OBSVALUE"].resample(freq)
        if agg_method == "mean":
            values = resampler.mean()
        elif agg_method == "sum":
            values = resampler.sum()
        elif agg_method == "median":
            values = resampler.median()
        elif agg_method == "max":
            values = resampler.max()
        elif agg_method == "min":
            values = resampler.min()
        else:
            raise ValueError("不支持的聚合方法，请选择'mean', 'sum', 'median', 'max', 'min'之一")
        frame = values.to_frame()
        frame["STATIONID"] = station
        frame["POINTID"] = point
        frame["ITEMID"] = item
        result.append(frame)
    out = pd.concat(result)
    out = out.reset_index()
    return out.sort_values(["STATIONID", "POINTID", "ITEMID"])


def fast_mad(x):
    median = np.median(x)
    return np.median(np.abs(x - median)) * 1.4826


def filter_with_fast_mad(df, window_size=15, threshold_factor=5.0):
    is_df = isinstance(df, pd.DataFrame)
    data = df["OBSVALUE"] if is_df else df
    rolling = data.rolling(window=window_size, center=True)
    local_median = rolling.median().ffill().bfill()
    deviation = np.abs(data - local_median)
    local_scale = rolling.apply(fast_mad, raw=True).ffill().bfill()
    threshold = threshold_factor * local_scale
    data_filtered = data.copy()
    mask = deviation > threshold
    # Replacement values take the series' own dtype (float32 stays float32).
    data_filtered[mask] = local_median[mask].astype(data.dtype)
    if is_df:
        out = df.copy()
        out["OBSVALUE"] = data_filtered
        return out
    return data_filtered
