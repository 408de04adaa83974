from collections.abc import Callable, Iterable
from logging import Logger
from os import PathLike
from types import ModuleType
from typing import Any

import pandas
import pyarrow

from kelvane.metastash import MetaStash as MetaStash

logger: Logger
pd: ModuleType
tse: ModuleType
oracledb: ModuleType | None
_ORACLE_THICK_MODE_READY: bool

def conn_to_Oracle(db: str) -> Any: ...

class DatabaseConnector:
    @staticmethod
    def connect_to_oracle(db: str) -> Any: ...
    @staticmethod
    def _init_oracle_thick_mode(config: Any, db: str) -> None: ...

class DatabaseType:
    RAW: str
    PREPROCESSED: str
    PRODUCT: str
    @staticmethod
    def get_id(db_type: Any) -> str | None: ...

class SampleRateType:
    SECOND: str
    MINUTE: str
    HOUR: str
    DAY: str
    @staticmethod
    def get_config(rate_type: Any) -> dict[str, Any] | None: ...
    @staticmethod
    def get_rate_by_id(rate_id: Any) -> int | None: ...

class QueryBuilder:
    @staticmethod
    def build_data_query(
        table_names: pandas.DataFrame,
        start_date: Any,
        end_date: Any,
        station_ids: pandas.DataFrame | None = None,
        item_ids: pandas.DataFrame | None = None,
        point_id: Any = "",
    ) -> str | None: ...
    @staticmethod
    def build_dialog_query(
        table_names: pandas.DataFrame,
        start_date: Any,
        end_date: Any,
        log_type: Any,
        station_ids: pandas.DataFrame | None = None,
        item_ids: pandas.DataFrame | None = None,
    ) -> str | None: ...

class MetadataFetcher:
    @staticmethod
    def get_timeseries_info(
        conn: Any = None, cache_dir: str | None = None, refresh_cache: bool = False
    ) -> tuple[pandas.DataFrame, pandas.DataFrame, pandas.DataFrame]: ...
    @staticmethod
    def get_method_ids(conn: Any, method_name: str = "全部", cache_dir: str | None = None) -> pandas.DataFrame: ...
    @staticmethod
    def get_station_ids(
        conn: Any, station_name: str = "全部", cache_dir: str | None = None
    ) -> pandas.DataFrame | None: ...
    @staticmethod
    def get_item_ids(
        conn: Any, item_name: str | list[str] = "全部", cache_dir: str | None = None
    ) -> pandas.DataFrame | None: ...
    @staticmethod
    def get_table_names(
        conn: Any, method_ids: pandas.DataFrame, base_type_id: str, sample_rate_id: str
    ) -> pandas.DataFrame | None: ...
    @staticmethod
    def _normalize_dataframe_columns(dataframes: Iterable[pandas.DataFrame]) -> None: ...

class DataFetcher:
    @staticmethod
    def fetch_data(
        conn: Any,
        start_date: Any,
        end_date: Any,
        method_name: str,
        station_name: str,
        data_type: str,
        base_type: str,
        item_name: str | list[str] = "全部",
        gzip_flag: bool = False,
        my_split_lines: bool = True,
        point_id: Any = "",
    ) -> pandas.DataFrame | None: ...
    @staticmethod
    def fetch_dialog(
        conn: Any,
        start_date: Any,
        end_date: Any,
        method_name: str = "全部",
        station_name: str = "全部",
        item_name: str | list[str] = "全部",
        log_type: str = "313",
    ) -> pandas.DataFrame | None: ...
    @staticmethod
    def to_veld(conn: Any, df: pandas.DataFrame | None, sampling_rate: Any) -> pyarrow.Table | None: ...
    @staticmethod
    def export_veld(
        conn: Any, df: pandas.DataFrame | None, file_path: str | PathLike[str], sampling_rate: Any
    ) -> None: ...
    @staticmethod
    def iter_fetch(
        conn: Any,
        start_date: Any,
        end_date: Any,
        method_name: str,
        station_name: str,
        data_type: str,
        base_type: str,
        item_name: str | list[str] = "全部",
        gzip_flag: bool = False,
        point_id: Any = "",
        chunk_days: int | None = None,
    ) -> _FetchChunks: ...
    @staticmethod
    def export_dataset(
        conn: Any,
        root: str | PathLike[str],
        start_date: Any,
        end_date: Any,
        method_name: str,
        station_name: str,
        data_type: str,
        base_type: str,
        item_name: str | list[str] = "全部",
        gzip_flag: bool = False,
        point_id: Any = "",
        chunk_days: int | None = None,
        *,
        progress: Callable[[int, int], object] | None = None,
    ) -> dict[str, Any] | None: ...

class _FetchChunks:
    def __iter__(self) -> _FetchChunks: ...
    def __next__(self) -> pandas.DataFrame: ...
    @property
    def spans(self) -> list[tuple[str, str]]: ...

def timeseries_info(
    conn: Any = None, cache_dir: str | None = None, refresh_cache: bool = False
) -> tuple[pandas.DataFrame, pandas.DataFrame, pandas.DataFrame]: ...
def refresh_metastash(
    conn: Any, cache_dir: str | None = None, tables: Iterable[str] | None = None
) -> dict[str, pandas.DataFrame]: ...
def load_Oracle_data_daily(
    conn: Any, period: float, is_preprocessed: str, item: str, datatype: str, gzip_flag: bool = False
) -> pandas.DataFrame | None: ...
def load_Oracle_data_resistivity_year(conn: Any, date_0: str = "20090101") -> pandas.DataFrame: ...
def load_Oracle_data_water_year(conn: Any) -> pandas.DataFrame: ...
def fetching_data(
    conn: Any,
    startdate: Any,
    enddate: Any,
    methodname: str,
    stationname: str,
    data_type: str,
    base_type: str,
    itemname: str | list[str] = "全部",
    gzip_flag: bool = False,
    my_split_lines: bool = True,
    pointid: Any = "",
) -> pandas.DataFrame | None: ...
def fetching_dialog(
    conn: Any,
    startdate: Any = ...,  # the day before the module was loaded
    enddate: Any = ...,  # the moment the module was loaded
    methodname: str = "全部",
    stationname: str = "全部",
    itemname: str | list[str] = "全部",
    log_type: str = "313",
) -> pandas.DataFrame | None: ...
