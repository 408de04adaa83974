import datetime as _datetime
from os import PathLike
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
def filter_dataset(
    src: str | PathLike[str],
    dst: str | PathLike[str],
    window_size: int = 15,
    threshold_factor: float = 5.0,
    client: Any = None,
) -> dict[str, int]: ...
def completeness(
    data: pandas.DataFrame | str | PathLike[str],
    freq: str = "D",
    client: Any = None,
) -> pandas.DataFrame: ...
