import datetime
from logging import Logger
from types import ModuleType
from typing import Any

import pandas

os: ModuleType
matplotlib: ModuleType
pd: ModuleType
logger: Logger

font_title: dict[str, Any]
font_xlabel: dict[str, Any]
font_unit: dict[str, Any]
font_suptitle: dict[str, Any]
legend_font: dict[str, Any]
cjk_serif_family: str | None
cjk_sans_family: str | None

def create_figures_folder() -> None: ...
def calculate_stats(
    df: pandas.DataFrame, column: str = "OBSVALUE", multiplier: float = 2.0
) -> dict[str, Any]: ...
def get_freq_str(timedelta: datetime.timedelta | pandas.Timedelta) -> str: ...
def reindex_df_by_interval(df: pandas.DataFrame) -> pandas.DataFrame: ...
