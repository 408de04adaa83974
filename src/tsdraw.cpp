// kelvane.tsdraw: the time-series plotter TSPlotter. The plotter's steps live
// in src/tsdraw/: series preparation, axis decoration and saving, layouts.
#include "kelvane_bind.hpp"

#include "tsdraw/availability.hpp"
#include "tsdraw/common.hpp"
#include "tsdraw/decorate.hpp"
#include "tsdraw/finish.hpp"
#include "tsdraw/layouts.hpp"
#include "tsdraw/prepare.hpp"

KELVANE_MODULE(tsdraw, m) {
    using namespace kelvane::tsdraw;
    m.doc() = "Time-series plotting of precursor observations.";

    // Libraries and siblings, in load order.
    m.attr("plt") = py::module_::import("matplotlib.pyplot");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("np") = py::module_::import("numpy");
    m.attr("tsf") = py::module_::import("kelvane.fetching");
    m.attr("logger") = py::module_::import("kelvane.logsetup").attr("plotting_logger");
    py::module_ drawkit = py::module_::import("kelvane.drawkit");
    for (const char* name : {"calculate_stats", "create_figures_folder", "font_title", "font_unit",
                             "font_xlabel", "reindex_df_by_interval"})
        m.attr(name) = drawkit.attr(name);

    py::class_<TSPlotter> cls(m, "TSPlotter", py::dynamic_attr(),
                              "时间序列绘图类，提供灵活的绘图功能");
    cls.def("__init__", &plotter_init, py::detail::is_new_style_constructor(),
            "conn"_a = py::none(), "mean_color"_a = "r", "std_color"_a = "gray",
            "mean_linestyle"_a = "--", "std_linestyle"_a = ":", "mean_alpha"_a = 0.7,
            "std_alpha"_a = 0.5, "mean_linewidth"_a = 1.0, "std_linewidth"_a = 1.0,
            "metadata_dir"_a = py::none(), "refresh_metadata"_a = false);
    cls.def("set_stats_style", &set_stats_style);
    cls.def("_process_data", &process_data, "ts_tmp"_a, "set_zero"_a = true, "reindex"_a = false,
            "resample"_a = py::none());
    cls.def("_get_plot_type", &get_plot_type, "index"_a, "plot_type"_a,
            "plot_types"_a = py::none());
    cls.def("_setup_axis", &setup_axis, "ax"_a, "title"_a, "unit"_a = py::none(),
            "y_ticks"_a = py::none(), "invert_y"_a = false, "xlabel"_a = "");
    cls.def("_add_statistics", &add_statistics, "ax"_a, "data"_a, "show_mean"_a = false,
            "show_std"_a = false, "multiplier"_a = 2.0);
    cls.def("_add_annotations", &add_annotations, "ax"_a, "annotations"_a = py::none());
    cls.def("_add_secondary_data", &add_secondary_data, "ax"_a, "secondary_data"_a,
            "color"_a = "red", "marker"_a = "o", "label"_a = "地震", "alpha"_a = 0.7,
            "size_multiplier"_a = 5);
    cls.def("_save_figure", &save_figure, "fig"_a, "filename"_a, "format"_a = "png",
            "dpi"_a = 300);
    cls.def("plot_by_items", &plot_by_items, "ts"_a, "prefix"_a = "", "set_zero"_a = true,
            "fig_label"_a = "", "number_of_subplots"_a = 7, "invert_y"_a = false,
            "reindex"_a = false, "fig_height"_a = 1.5, "plot_type"_a = "line",
            "plot_types"_a = py::none(), "show_mean"_a = false, "show_std"_a = false,
            "std_multiplier"_a = 2.0, "annotations"_a = py::none(), "figure_format"_a = "png",
            "kat_dir"_a = py::none(), "kat_filters"_a = py::none(), "start_time"_a = py::none(),
            "end_time"_a = py::none(), "xlabel"_a = "", "show_legend"_a = true);
    cls.def("plot_by_stations", &plot_by_stations, "ts"_a, "prefix"_a = "", "set_zero"_a = true,
            "fig_label"_a = "", "daily_mean_values"_a = false, "invert_y"_a = false,
            "figure_format"_a = "png", "reindex"_a = false, "fig_height"_a = 1.5,
            "rainfall"_a = py::none(), "plot_type"_a = "line", "plot_types"_a = py::none(),
            "show_mean"_a = false, "show_std"_a = false, "std_multiplier"_a = 2.0,
            "annotations"_a = py::none(), "kat_dir"_a = py::none(), "kat_filters"_a = py::none(),
            "start_time"_a = py::none(), "end_time"_a = py::none(), "xlabel"_a = "",
            "show_legend"_a = true);
    cls.def("plot_availability", &plot_availability, "table"_a, "prefix"_a = "",
            "fig_label"_a = "", "rows_per_figure"_a = 60, "figure_format"_a = "png",
            "cmap"_a = "viridis",
            "绘制数据完整率图：每条序列一行，每个时段按完整率着色（refine.completeness 的结果表），"
            "按台站分组，每幅图 rows_per_figure 行");
    cls.def("plot", &plot, "ts"_a, "groupby"_a = "item", "prefix"_a = "", "fig_label"_a = "",
            "xlabel"_a = "");
}
