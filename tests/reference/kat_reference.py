"""Plain-Python catalogue reader: the line loop the native reader replaces.

Reads the file in text mode, skips blank lines, cuts the fixed character
columns of every other line and lets pandas build and index the table.
"""

import numpy as np
import pandas as pd

COLUMNS = {"date": (0, 14), "lat": (15, 21), "lon": (21, 27), "magnitude": (28, 32), "name": (39, None)}


def _number(line, start, end):
    try:
        return float(line[start:end].strip())
    except (ValueError, IndexError):
        return np.nan


def read_kat_reference(kat_dir, encoding=None):
    dates, lats, lons, magnitudes, names = [], [], [], [], []
    with open(kat_dir, encoding=encoding) as f:
        for line in f:
            if not line.strip():
                continue
            dates.append(line[COLUMNS["date"][0] : COLUMNS["date"][1]].strip())
            lats.append(_number(line, *COLUMNS["lat"]))
            lons.append(_number(line, *COLUMNS["lon"]))
            magnitudes.append(_number(line, *COLUMNS["magnitude"]))
            start = COLUMNS["name"][0]
            name = line[start:].strip() if len(line) > start else ""
            names.append(name if name else np.nan)
    df = pd.DataFrame({"ind": dates, "lon": lons, "lat": lats, "magnitude": magnitudes, "name": names})
    df["ind"] = pd.to_datetime(df["ind"], format="%Y%m%d%H%M%S", errors="coerce")
    return df.set_index("ind")
