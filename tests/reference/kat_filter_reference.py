"""Plain-pandas catalogue filter: distance per row with geopy, then flags,
marker sizes and labels with column operations."""

import numpy as np
import pandas as pd
from geopy.distance import geodesic


def filtered_kats_reference(df, station=(40.47, 115.94), filters=None, default_magnitude=3.0,
                            default_distance=300, distance=geodesic):
    if filters is None:
        filters = [(default_distance, default_magnitude)]
    elif not isinstance(filters, list):
        filters = [filters]
    df.index.name = "date"
    out = df[df.index > "1970-01-01"].copy()
    distances = []
    for _, row in out.iterrows():
        try:
            distances.append(distance(station, (row["lat"], row["lon"])).km)
        except Exception:
            distances.append(np.inf)
    out["distance"] = np.array(distances, dtype=float)
    out["flag"] = 0
    for dist_limit, mag_limit in filters:
        out.loc[(out["distance"] < dist_limit) & (out["magnitude"] >= mag_limit), "flag"] = 1
    out["size"] = (out["magnitude"] - 3) * 5
    out.loc[out["size"] < 5, "size"] = 5
    name = out["name"].astype("str").where(out["name"].notna())
    out["text"] = (name + "Ml" + out["magnitude"].astype("str").fillna("nan") + "\n"
                   + out["distance"].round(1).astype("str") + "km")
    return out
