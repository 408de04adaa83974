from collections.abc import Iterable
from typing import Any, ClassVar

import pandas

class MetaStash:
    TABLE_SPECS: ClassVar[dict[str, dict[str, str]]]
    @classmethod
    def default_cache_dir(cls) -> str: ...
    @classmethod
    def safe_namespace(cls, namespace: str | None = None) -> str | None: ...
    @classmethod
    def infer_namespace(cls, conn: Any = None) -> str | None: ...
    @classmethod
    def resolve_cache_dir(cls, cache_dir: str | None = None, namespace: str | None = None) -> str: ...
    @classmethod
    def cache_path(cls, table_name: str, cache_dir: str | None = None, namespace: str | None = None) -> str: ...
    @classmethod
    def ensure_cache_dir(cls, cache_dir: str | None = None, namespace: str | None = None) -> str: ...
    @staticmethod
    def normalize_columns(df: pandas.DataFrame) -> pandas.DataFrame: ...
    @classmethod
    def save_table(
        cls, table_name: str, df: pandas.DataFrame, cache_dir: str | None = None, namespace: str | None = None
    ) -> str: ...
    @classmethod
    def load_table(cls, table_name: str, cache_dir: str | None = None, namespace: str | None = None) -> pandas.DataFrame: ...
    @classmethod
    def fetch_and_cache_table(
        cls, conn: Any, table_name: str, cache_dir: str | None = None, namespace: str | None = None
    ) -> pandas.DataFrame: ...
    @classmethod
    def refresh_cache(
        cls, conn: Any, cache_dir: str | None = None, tables: Iterable[str] | None = None, namespace: str | None = None
    ) -> dict[str, pandas.DataFrame]: ...
    @classmethod
    def get_table(
        cls,
        table_name: str,
        conn: Any = None,
        cache_dir: str | None = None,
        refresh: bool = False,
        namespace: str | None = None,
    ) -> pandas.DataFrame: ...
    @classmethod
    def get_timeseries_info(
        cls, conn: Any = None, cache_dir: str | None = None, refresh: bool = False, namespace: str | None = None
    ) -> tuple[pandas.DataFrame, pandas.DataFrame, pandas.DataFrame]: ...
