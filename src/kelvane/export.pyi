from collections.abc import Mapping
from logging import Logger
from os import PathLike
from typing import Any

import pandas
import pyarrow

logger: Logger

def to_veld(df: pandas.DataFrame, metadata: Mapping[str, Any] | None = None) -> pyarrow.Table | None: ...
def export_veld(
    df: pandas.DataFrame, file_path: str | PathLike[str], metadata: Mapping[str, Any] | None = None
) -> None: ...
def export_to_feather(
    df: pandas.DataFrame, file_path: str | PathLike[str], metadata: Mapping[str, Any] | None = None
) -> None: ...
