// The availability figure: one row per series, one cell per period coloured
// by the completeness of the series in that period (refine.completeness),
// rows grouped by station and cut into pages of a fixed number of rows.
#pragma once
#include "tsdraw/common.hpp"
#include "tsdraw/layouts.hpp"

#include "core/figure.hpp"

#include <map>
#include <string>
#include <vector>

namespace kelvane::tsdraw {

inline constexpr const char* kAvailabilityColumns[] = {"STATIONID", "POINTID", "ITEMID", "period",
                                                        "completeness"};
inline constexpr double kRowInches = 0.17;
// Rows of 7-point labels stay sharp at this resolution, and a page of a
// thousand-series network saves in a fraction of a second.
inline constexpr int kAvailabilityDpi = 150;

// Offsets whose periods pandas resample labels by their last day.
inline bool labelled_by_end(const py::object& offset) {
    std::string name = to_text(offset.attr("rule_code"));
    name = name.substr(0, name.find('-'));
    for (const char* end : {"W", "ME", "M", "SME", "BME", "BM", "QE", "Q", "BQE", "BQ", "YE", "Y", "A",
                            "BYE", "BA"}) {
        if (name == end) return true;
    }
    return false;
}

// Edges of the period cells, from the period labels (ascending) with the
// spacing pandas infers from them: labels that are a period's last day
// (weeks, month, quarter and year ends) end their cell a day after them,
// other labels start theirs. Without an inferable spacing the labels start
// their cells, the last as wide as the smallest step (one day for a single
// label).
inline py::object period_edges(py::object labels) {
    py::object pd = mod_attr("pd");
    const auto n = py::len(labels);
    py::object last = labels[py::int_(-1)];
    py::object day = pd.attr("Timedelta")("1D");
    if (n >= 3) {
        py::object inferred = pd.attr("DatetimeIndex")(labels, "freq"_a = "infer").attr("freq");
        if (!inferred.is_none()) {
            if (labelled_by_end(inferred)) {
                py::object head = labels[py::int_(0)];
                py::object first = head - inferred;
                return pd.attr("DatetimeIndex")(py::make_tuple(first)).attr("append")(labels) + day;
            }
            return labels.attr("append")(pd.attr("DatetimeIndex")(py::make_tuple(last + inferred)));
        }
    }
    py::object step = n >= 2 ? labels.attr("to_series")().attr("diff")().attr("min")() : day;
    return labels.attr("append")(pd.attr("DatetimeIndex")(py::make_tuple(last + step)));
}

inline py::tuple plot_availability(py::object self, py::object table, py::object prefix,
                                   py::object fig_label, py::object rows_per_figure,
                                   py::object figure_format, py::object cmap) {
    py::object pd = mod_attr("pd");
    py::object np = mod_attr("np");
    py::object plt = mod_attr("plt");
    if (!py::isinstance(table, pd.attr("DataFrame"))) {
        throw py::type_error("table must be the DataFrame of refine.completeness");
    }
    std::string missing;
    for (const char* c : kAvailabilityColumns) {
        if (!truthy(table.attr("columns").attr("__contains__")(c)))
            missing += (missing.empty() ? "" : ", ") + std::string(c);
    }
    if (!missing.empty()) {
        throw py::value_error("table must be the result of refine.completeness; missing columns: " +
                              missing);
    }
    if (PyBool_Check(rows_per_figure.ptr()) || !PyIndex_Check(rows_per_figure.ptr()) ||
        rows_per_figure.cast<long long>() < 1) {
        throw py::value_error("rows_per_figure must be a whole number of at least 1");
    }
    const auto per_page = rows_per_figure.cast<std::size_t>();
    if (is_empty(table)) {
        log_warning("完整率表为空，未绘图");
        return py::make_tuple(py::none(), py::none());
    }

    // series x periods
    py::list keys;
    for (const char* c : {"STATIONID", "POINTID", "ITEMID"}) keys.append(c);
    py::list by = keys.attr("copy")();
    by.append("period");
    py::object grid = table.attr("assign")("period"_a = pd.attr("to_datetime")(table["period"]))
                          .attr("groupby")(by)["completeness"]
                          .attr("mean")()
                          .attr("unstack")("period");
    py::object labels = pd.attr("DatetimeIndex")(grid.attr("columns")).attr("sort_values")();
    grid = grid.attr("reindex")("columns"_a = labels);
    py::object values = grid.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan"));
    py::object dates = py::module_::import("matplotlib.dates");
    py::object x = dates.attr("date2num")(period_edges(labels).attr("to_pydatetime")());

    // row labels as the other figures name series, station groups in order
    std::vector<std::string> names;
    std::vector<std::size_t> group_sizes;
    std::map<std::string, std::string> station_names, item_names;
    std::string previous;
    bool first_row = true;
    for (py::handle key : grid.attr("index")) {
        py::object station = key[py::int_(0)], point = key[py::int_(1)], item = key[py::int_(2)];
        const std::string sid = to_text(station), iid = to_text(item);
        if (!station_names.count(sid)) station_names[sid] = to_text(lookup_station(self, station).name);
        if (!item_names.count(iid)) {
            std::optional<ItemInfo> info = lookup_item(self, item);
            item_names[iid] = info ? to_text(info->name) : iid;
        }
        names.push_back(station_names[sid] + "/" + to_text(point) + "/" + item_names[iid]);
        if (first_row || sid != previous) group_sizes.push_back(0);
        ++group_sizes.back();
        previous = sid;
        first_row = false;
    }
    std::vector<std::size_t> group_ends;
    for (std::size_t size : group_sizes) group_ends.push_back((group_ends.empty() ? 0 : group_ends.back()) + size);
    const std::vector<std::size_t> starts = figure::page_starts(group_sizes, per_page);

    py::object colors = py::module_::import("matplotlib.colors");
    py::object colormap = py::module_::import("matplotlib").attr("colormaps")[cmap]
                              .attr("with_extremes")("bad"_a = "#d9d9d9");
    py::object norm = colors.attr("Normalize")("vmin"_a = 0.0, "vmax"_a = 1.0);
    py::object percent = py::module_::import("matplotlib.ticker").attr("PercentFormatter")("xmax"_a = 1.0);
    CallCollection collection;
    std::optional<Figure> last;
    const std::size_t pages = starts.size();
    for (std::size_t page = 0; page < pages; ++page) {
        const std::size_t r0 = starts[page];
        const std::size_t r1 = page + 1 < pages ? starts[page + 1] : names.size();
        const std::size_t n = r1 - r0;
        py::tuple made = plt.attr("subplots")(
            "figsize"_a = py::make_tuple(12, 1.4 + kRowInches * static_cast<double>(n)));
        py::object fig = made[0], ax = made[1];
        py::object cells = np.attr("ma").attr("masked_invalid")(values[py::slice(r0, r1, 1)]);
        py::object mesh = ax.attr("pcolormesh")(x, np.attr("arange")(n + 1), cells, "cmap"_a = colormap,
                                                "norm"_a = norm, "shading"_a = "flat");
        ax.attr("set_ylim")(n, 0);
        ax.attr("set_yticks")(np.attr("arange")(n) + py::float_(0.5));
        py::list row_labels;
        for (std::size_t r = r0; r < r1; ++r) row_labels.append(names[r]);
        ax.attr("set_yticklabels")(row_labels, "fontsize"_a = 7);
        ax.attr("tick_params")("axis"_a = "y", "length"_a = 0);
        ax.attr("tick_params")("axis"_a = "x", "labelsize"_a = 8);
        for (std::size_t end : group_ends) {
            if (end > r0 && end < r1) {
                ax.attr("axhline")(static_cast<double>(end - r0), "color"_a = "white", "linewidth"_a = 1.5);
            }
        }
        ax.attr("xaxis_date")();
        py::object locator = dates.attr("AutoDateLocator")("minticks"_a = 3, "maxticks"_a = 10);
        ax.attr("xaxis").attr("set_major_locator")(locator);
        ax.attr("xaxis").attr("set_major_formatter")(dates.attr("ConciseDateFormatter")(locator));
        py::object bar = fig.attr("colorbar")(mesh, "ax"_a = ax, "pad"_a = 0.01,
                                              "fraction"_a = 0.03, "format"_a = percent);
        bar.attr("set_label")("数据完整率");
        std::string title = "数据完整率";
        if (pages > 1) title += " (" + std::to_string(page + 1) + "/" + std::to_string(pages) + ")";
        ax.attr("set_title")(title, "fontsize"_a = 10);
        std::string name = to_text(prefix) + "availability" + to_text(fig_label) + "_" +
                           std::to_string(page + 1);
        last = Figure{fig, as_axes_array(ax)};
        self.attr("_save_figure")(fig, name, figure_format, "dpi"_a = kAvailabilityDpi);
    }
    return figure_result(last);
}

}  // namespace kelvane::tsdraw
