"""Plain-pandas reference of the observation-string splitting.

The steps are the original pandas-2 ones, with the pieces pandas 3 changed
made explicit so that the result does not depend on the installed version:
text is handled as object dtype, the missing cells that `str.split(expand=True)`
pads with are dropped after `stack` (pandas 3 keeps them), the sort is stable
(ties keep row order, then token order), sample times keep the unit and time
zone of STARTDATE, and the caller's table is changed without `inplace=`.
"""

import pandas as pd

DAILY_LIMIT = 3600


def step_unit(sample_by_seconds):
    if sample_by_seconds == 1:
        return "seconds"
    if sample_by_seconds == 60:
        return "minutes"
    if sample_by_seconds == 3600:
        return "hours"
    return "minutes"


def _as_object(column):
    if isinstance(column.dtype, (pd.StringDtype, pd.ArrowDtype, pd.CategoricalDtype)):
        return column.astype(object)
    return column


def split_lines_reference(df, sample_by_seconds):
    unit = step_unit(sample_by_seconds)
    if sample_by_seconds > DAILY_LIMIT:
        return _daily_reference(df)

    text = _as_object(df["OBSVALUE"]).str.strip().str.split(" ", expand=True)
    stacked = text.stack()
    stacked = stacked[stacked.notna()]  # the padding of shorter rows
    tokens = stacked.reset_index(level=1)
    tokens = tokens.rename(columns={"level_1": "timespan", 0: "OBSVALUE"})
    out = df.drop("OBSVALUE", axis=1).join(tokens)

    start = out["STARTDATE"]
    span = pd.to_timedelta(out["timespan"], unit=unit)
    out["timespan"] = span.astype(f"timedelta64[{start.dt.unit}]")
    out["STARTDATE"] = start + out["timespan"]

    out = out.sort_values(by=["STARTDATE"], kind="stable", na_position="last")
    out = out.set_index("STARTDATE")
    out["OBSVALUE"] = pd.to_numeric(_as_object(out["OBSVALUE"]), errors="coerce")
    out["OBSVALUE"] = out["OBSVALUE"].astype("float32")
    return out.drop("timespan", axis=1)


def _daily_reference(df):
    """Sorted, indexed and converted on the caller's own table."""
    fresh = df.sort_values(by=["STARTDATE"], kind="stable", na_position="last")
    fresh = fresh.set_index("STARTDATE")
    fresh["OBSVALUE"] = pd.to_numeric(_as_object(fresh["OBSVALUE"]), errors="coerce").astype(
        "float32"
    )
    del df["STARTDATE"]
    df.index = fresh.index
    for position in range(fresh.shape[1]):
        # the column as a Series on the same index: its dtype is kept
        df.isetitem(position, fresh.iloc[:, position])
    return df
