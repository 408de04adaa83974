import datetime as _datetime
import os
from typing import Any, Literal, TypeVar

import numpy
import numpy.typing as npt
import pandas

pd = pandas
np = numpy
datetime = _datetime.datetime

_Data = TypeVar("_Data", pandas.Series, pandas.DataFrame)

def _is_leap_year(year: int) -> bool: ...
def create_normalized_dates(df: pandas.DataFrame, reference_year: int = 2024) -> pandas.DataFrame: ...
def resample_timeseries_data(
    df: pandas.DataFrame,
    freq: Any,
    agg_method: Literal["mean", "sum", "median", "max", "min"] = "mean",
) -> pandas.DataFrame: ...
def fast_mad(x: npt.ArrayLike) -> Any: ...
def filter_with_fast_mad(df: _Data, window_size: int = 15, threshold_factor: float = 5.0) -> _Data: ...
def completeness(
    data: pandas.DataFrame | str | os.PathLike[str],
    freq: str = "D",
    client: Any = None,
) -> pandas.DataFrame: ...
