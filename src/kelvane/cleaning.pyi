from logging import Logger
from types import ModuleType

import pandas

np: ModuleType
pd: ModuleType
logger: Logger

def split_lines(df: pandas.DataFrame, sample_by_seconds: float) -> pandas.DataFrame: ...
