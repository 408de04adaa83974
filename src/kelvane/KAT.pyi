from os import PathLike
from typing import Any, Sequence

import pandas as pd

def read_KAT(kat_dir: str | PathLike[str], *, encoding: str | None = None) -> pd.DataFrame: ...
def filtered_kats(
    df: pd.DataFrame,
    station: tuple[float, float] = (40.47, 115.94),
    filters: Sequence[tuple[float, float]] | tuple[float, float] | None = None,
    default_magnitude: float = 3.0,
    default_distance: float = 300,
) -> pd.DataFrame: ...

pd: Any
np: Any
geodesic: Any
