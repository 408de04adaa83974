from collections.abc import Callable, Iterable
from datetime import date, datetime
from logging import Logger
from os import PathLike
from typing import Any

import sqlalchemy

logger: Logger
create_engine: Callable[..., sqlalchemy.engine.Engine]

_Path = str | PathLike[str]
_Day = str | date | datetime | None

def build(
    path: _Path,
    start: _Day = "20090101",
    end: _Day = None,
    seed: int = 0,
    *,
    stations: Iterable[str] | str | None = None,
    extra_stations: int = 0,
    minute_days: int = 31,
    second_days: int = 2,
    raw_days: int | None = 366,
    libraries: Iterable[str] = ("DYS", "DYU", "CP"),
    rates: Iterable[str] = ("02", "01", "60", "90"),
) -> str: ...
def default_path() -> str: ...
def connect(path: _Path | None = None, alias: str = "sandbox") -> sqlalchemy.engine.Connection: ...
def write_catalogue(
    path: _Path,
    start: _Day = "20090101",
    end: _Day = None,
    seed: int = 0,
    count: int = 400,
    *,
    stations: Iterable[str] | str | None = None,
    extra_stations: int = 0,
) -> str: ...
def _to_date(text: str | None, mask: str | None) -> float | None: ...
def _julian_to_datetime(raw: bytes) -> datetime: ...
