from collections.abc import Iterable, Mapping, Sequence
from logging import Logger
from os import PathLike
from types import ModuleType
from typing import Any

import pandas

from kelvane.drawkit import calculate_stats as calculate_stats
from kelvane.drawkit import create_figures_folder as create_figures_folder
from kelvane.drawkit import reindex_df_by_interval as reindex_df_by_interval

plt: ModuleType
pd: ModuleType
np: ModuleType
tsf: ModuleType
logger: Logger
font_title: dict[str, Any]
font_unit: dict[str, Any]
font_xlabel: dict[str, Any]

_Filters = Sequence[tuple[float, float]] | tuple[float, float] | None
_Time = str | pandas.Timestamp | None
# (figure, axes) of the last figure drawn, (None, None) when none was
_Drawn = tuple[Any, Any]

class TSPlotter:
    conn: Any
    stats_style: dict[str, Any]
    def __init__(
        self,
        conn: Any = None,
        mean_color: str = "r",
        std_color: str = "gray",
        mean_linestyle: str = "--",
        std_linestyle: str = ":",
        mean_alpha: float = 0.7,
        std_alpha: float = 0.5,
        mean_linewidth: float = 1.0,
        std_linewidth: float = 1.0,
        metadata_dir: str | PathLike[str] | None = None,
        refresh_metadata: bool = False,
    ) -> None: ...
    def set_stats_style(self, **kwargs: Any) -> TSPlotter: ...
    def _process_data(
        self, ts_tmp: pandas.DataFrame, set_zero: bool = True, reindex: bool = False, resample: Any = None
    ) -> tuple[pandas.DataFrame, Any]: ...
    def _get_plot_type(self, index: int, plot_type: str, plot_types: Sequence[str] | None = None) -> str: ...
    def _setup_axis(
        self,
        ax: Any,
        title: str,
        unit: str | None = None,
        y_ticks: Any = None,
        invert_y: bool = False,
        xlabel: str = "",
    ) -> None: ...
    def _add_statistics(
        self, ax: Any, data: Any, show_mean: bool = False, show_std: bool = False, multiplier: float = 2.0
    ) -> None: ...
    def _add_annotations(self, ax: Any, annotations: Iterable[Mapping[str, Any]] | None = None) -> None: ...
    def _add_secondary_data(
        self,
        ax: Any,
        secondary_data: pandas.DataFrame,
        color: str = "red",
        marker: str = "o",
        label: str = "地震",
        alpha: float = 0.7,
        size_multiplier: float = 5,
    ) -> None: ...
    def _save_figure(self, fig: Any, filename: str, format: str = "png", dpi: int = 300) -> None: ...
    def plot_by_items(
        self,
        ts: pandas.DataFrame,
        prefix: str = "",
        set_zero: bool = True,
        fig_label: str = "",
        number_of_subplots: int = 7,
        invert_y: bool = False,
        reindex: bool = False,
        fig_height: float = 1.5,
        plot_type: str = "line",
        plot_types: Sequence[str] | None = None,
        show_mean: bool = False,
        show_std: bool = False,
        std_multiplier: float = 2.0,
        annotations: Iterable[Mapping[str, Any]] | None = None,
        figure_format: str = "png",
        kat_dir: str | PathLike[str] | None = None,
        kat_filters: _Filters = None,
        start_time: _Time = None,
        end_time: _Time = None,
        xlabel: str = "",
        show_legend: bool = True,
    ) -> _Drawn: ...
    def plot_by_stations(
        self,
        ts: pandas.DataFrame,
        prefix: str = "",
        set_zero: bool = True,
        fig_label: str = "",
        daily_mean_values: bool = False,
        invert_y: bool = False,
        figure_format: str = "png",
        reindex: bool = False,
        fig_height: float = 1.5,
        rainfall: pandas.DataFrame | None = None,
        plot_type: str = "line",
        plot_types: Sequence[str] | None = None,
        show_mean: bool = False,
        show_std: bool = False,
        std_multiplier: float = 2.0,
        annotations: Iterable[Mapping[str, Any]] | None = None,
        kat_dir: str | PathLike[str] | None = None,
        kat_filters: _Filters = None,
        start_time: _Time = None,
        end_time: _Time = None,
        xlabel: str = "",
        show_legend: bool = True,
    ) -> _Drawn: ...
    def plot_availability(
        self,
        table: pandas.DataFrame,
        prefix: str = "",
        fig_label: str = "",
        rows_per_figure: int = 60,
        figure_format: str = "png",
        cmap: str = "viridis",
    ) -> _Drawn: ...
    def plot(
        self, ts: pandas.DataFrame, groupby: str = "item", prefix: str = "", fig_label: str = "", xlabel: str = "", **kwargs: Any
    ) -> _Drawn: ...
