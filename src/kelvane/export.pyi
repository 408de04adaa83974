from collections.abc import Callable, Mapping
from logging import Logger
from os import PathLike
from typing import IO, Any, TypeVar

import pandas
import pyarrow

logger: Logger

_T = TypeVar("_T")

def to_veld(df: pandas.DataFrame, metadata: Mapping[str, Any] | None = None) -> pyarrow.Table | None: ...
def export_veld(
    df: pandas.DataFrame, file_path: str | PathLike[str], metadata: Mapping[str, Any] | None = None
) -> None: ...
def export_to_feather(
    df: pandas.DataFrame, file_path: str | PathLike[str], metadata: Mapping[str, Any] | None = None
) -> None: ...
def _write_atomically(
    target: str | bytes | PathLike[str] | IO[Any],
    write: Callable[[Any], _T],
    mode: str | None = None,
    encoding: str | None = None,
    newline: str | None = None,
) -> _T: ...
