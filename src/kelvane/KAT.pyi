from os import PathLike
from typing import Any, Sequence

from types import ModuleType

import pandas

def read_KAT(kat_dir: str | PathLike[str], *, encoding: str | None = None) -> pandas.DataFrame: ...
def filtered_kats(
    df: pandas.DataFrame,
    station: tuple[float, float] = (40.47, 115.94),
    filters: Sequence[tuple[float, float]] | tuple[float, float] | None = None,
    default_magnitude: float = 3.0,
    default_distance: float = 300,
) -> pandas.DataFrame: ...

pd: ModuleType
np: ModuleType
geodesic: Any
