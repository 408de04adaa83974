// The two figure layouts (one figure per item, one figure per station point)
// and the `plot` entry point that chooses between them.
#pragma once
#include "core/ids.hpp"
#include "tsdraw/common.hpp"
#include "tsdraw/decorate.hpp"
#include "tsdraw/finish.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace kelvane::tsdraw {

// `a <op> b` as a Python object (element-wise for pandas objects).
inline py::object rich(py::handle a, py::handle b, int op) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

inline bool is_key_error(const py::error_already_set& e) { return e.matches(PyExc_KeyError); }

// The earthquake catalogue of one drawing call, read once.
struct Catalogue {
    py::object kat_module = py::none();
    py::object events = py::none();
    bool available() const { return !events.is_none(); }
};

inline Catalogue read_catalogue(py::object kat_dir) {
    Catalogue cat;
    if (kat_dir.is_none()) return cat;
    guarded("读取地震目录出错: ", [&] {
        py::object kat = py::module_::import("kelvane.KAT");
        py::object events = kat.attr("read_KAT")(kat_dir);
        log_info("成功读取地震目录: " + to_text(kat_dir));
        cat.kat_module = kat;
        cat.events = events;
    });
    return cat;
}

struct StationInfo {
    py::object name;
    py::object location;  // (latitude, longitude), or (None, None)
    bool located = false;
};

// A missing name is shown as the identifier it belongs to.
inline py::object name_or_id(py::object name, py::handle id) {
    if (is_missing(name)) return py::str(id);
    return name;
}

inline StationInfo lookup_station(py::object self, py::handle station) {
    py::object table = self.attr("stations_table");
    py::object rows = table.attr("loc")[rich(table["STATIONID"], station, Py_EQ)];
    StationInfo info;
    if (is_empty(rows)) {
        info.name = py::str(station);
        info.location = py::make_tuple(py::none(), py::none());
        return info;
    }
    py::object iloc = rows.attr("iloc");
    info.name = name_or_id(iloc[py::make_tuple(0, 1)], station);
    py::object lat = iloc[py::make_tuple(0, 3)];
    py::object lon = iloc[py::make_tuple(0, 2)];
    info.location = py::make_tuple(lat, lon);
    info.located = !lat.is_none() && !lon.is_none();
    return info;
}

struct ItemInfo {
    py::object name;
    py::object unit;  // None when the item has no unit
};

inline std::optional<ItemInfo> lookup_item(py::object self, py::handle item) {
    py::object table = self.attr("items_table");
    py::object rows = table.attr("loc")[rich(table["ITEMID"], item, Py_EQ)];
    if (is_empty(rows)) return std::nullopt;
    py::object iloc = rows.attr("iloc");
    ItemInfo info;
    info.name = name_or_id(iloc[py::make_tuple(0, 1)], item);
    py::object unit = iloc[py::make_tuple(0, 2)];
    info.unit = is_missing(unit) ? py::none() : unit;
    return info;
}

// The optional time window of a call; the bounds are turned into Timestamps
// on first use and kept for the rest of the call.
struct TimeWindow {
    py::object start, end;
    bool converted = false;

    bool active() const { return !start.is_none() || !end.is_none(); }

    py::object apply(py::object ts) {
        if (!active()) return ts;
        if (!converted) {
            py::object Timestamp = mod_attr("pd").attr("Timestamp");
            if (!start.is_none()) start = Timestamp(start);
            if (!end.is_none()) end = Timestamp(end);
            converted = true;
        }
        return ts.attr("loc")[py::slice(start, end, py::none())];
    }
};

// Title of a subplot: name/point/item name, and the base value when the
// series was centred on it.
inline std::string subplot_title(py::handle station_name, py::handle point, py::handle item_name,
                                 bool set_zero, py::handle basevalue) {
    std::string title = to_text(station_name) + "/" + to_text(point) + "/" + to_text(item_name);
    if (set_zero) {
        auto builtins = py::module_::import("builtins");
        title += "/base=" + to_text(builtins.attr("round")(basevalue, 1));
    }
    return title;
}

// Half the span of value ticks [low, middle, high].
inline double half_span(const py::list& ticks) {
    return py::float_(ticks[2] - ticks[0]).cast<double>() / 2;
}

inline py::list value_ticks(py::object ts, bool set_zero) {
    py::object values = ts["OBSVALUE"];
    py::object lo = values.attr("min")();
    py::object hi = values.attr("max")();
    py::list ticks;
    ticks.append(lo);
    if (set_zero)
        ticks.append(0);
    else
        ticks.append((lo + hi) / py::float_(2.0));
    ticks.append(hi);
    return ticks;
}

// Earthquakes near the station during the series, on a second axis.
inline void overlay_earthquakes(py::object self, py::object ax, py::object ts,
                                const Catalogue& cat, const StationInfo& station,
                                py::object kat_filters) {
    if (!cat.available() || !station.located) return;
    guarded("处理地震数据时出错: ", [&] {
        py::object index = ts.attr("index");
        py::object first = index.attr("min")();
        py::object last = index.attr("max")();
        py::object when = cat.events.attr("index");
        py::object inside = rich(when, first, Py_GE) & rich(when, last, Py_LE);
        py::object rows = cat.events.attr("loc")[inside];
        if (is_empty(rows)) return;
        py::object filtered = cat.kat_module.attr("filtered_kats")(
            rows, "station"_a = station.location, "filters"_a = kat_filters);
        filtered = filtered.attr("loc")[rich(filtered["flag"], py::int_(1), Py_EQ)];
        if (is_empty(filtered)) return;
        self.attr("_add_secondary_data")(ax, filtered);
    });
}

// Distinct rows of the key columns, in table order, as Python tuples.
inline py::list distinct_keys(py::object ts, const char* a, const char* b, const char* c) {
    py::list cols;
    cols.append(a);
    cols.append(b);
    cols.append(c);
    py::object keys = ts[cols].attr("drop_duplicates")();
    return py::list(keys.attr("itertuples")("index"_a = false, "name"_a = py::none()));
}

struct Figure {
    py::object fig, axes;
};

inline Figure new_figure(std::size_t rows, py::object fig_height) {
    py::object plt = mod_attr("plt");
    py::object height = fig_height * py::int_(rows);
    py::tuple made = plt.attr("subplots")("nrows"_a = rows, "ncols"_a = 1,
                                          "figsize"_a = py::make_tuple(10, height),
                                          "sharex"_a = true);
    plt.attr("subplots_adjust")("hspace"_a = 0.5);
    return {made[0], as_axes_array(made[1])};
}

inline py::tuple figure_result(const std::optional<Figure>& last) {
    if (!last) return py::make_tuple(py::none(), py::none());
    return py::make_tuple(last->fig, last->axes);
}

// For the length of one drawing call: the objects that existed before it are
// set aside from garbage collection (after one full collection, which also
// reclaims the figure an earlier call returned), so that the collection after
// every saved figure only goes through what the call itself made. Nothing is
// set aside when the process has frozen objects of its own.
class CallCollection {
public:
    CallCollection() {
        py::module_ gc = py::module_::import("gc");
        gc.attr("collect")();
        if (gc.attr("get_freeze_count")().cast<long>() == 0) {
            gc.attr("freeze")();
            frozen_ = true;
        }
    }
    ~CallCollection() {
        if (!frozen_) return;
        // Keeps an error on its way out intact.
        py::error_scope pending;
        try {
            py::module_::import("gc").attr("unfreeze")();
        } catch (py::error_already_set&) {
        }
    }
    CallCollection(const CallCollection&) = delete;
    CallCollection& operator=(const CallCollection&) = delete;

private:
    bool frozen_ = false;
};

// ---------------------------------------------------------------------------

inline py::tuple plot_by_items(py::object self, py::object ts, py::object prefix,
                               py::object set_zero_obj, py::object fig_label,
                               py::object number_of_subplots, py::object invert_y,
                               py::object reindex, py::object fig_height, py::object plot_type,
                               py::object plot_types, py::object show_mean, py::object show_std,
                               py::object std_multiplier, py::object annotations,
                               py::object figure_format, py::object kat_dir,
                               py::object kat_filters, py::object start_time,
                               py::object end_time, py::object xlabel, py::object show_legend,
                               py::kwargs kwargs) {
    const Py_ssize_t per_figure = PyNumber_AsSsize_t(number_of_subplots.ptr(), PyExc_OverflowError);
    if (per_figure == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (per_figure < 1) throw py::value_error("number_of_subplots must be at least 1");
    const bool set_zero = truthy(set_zero_obj);

    py::list items = py::list(ts["ITEMID"].attr("unique")());
    for (const char* skip : {core::ids::kFluxgateTemperature, core::ids::kFluxgateState,
                             core::ids::kPlaceholder}) {
        if (contains(items, py::str(skip))) items.attr("remove")(skip);
    }

    Catalogue cat = read_catalogue(kat_dir);
    py::list by = py::list();
    by.append("ITEMID");
    by.append("STATIONID");
    by.append("POINTID");
    py::object grouped = ts.attr("groupby")(by);

    // Station points of every item, in table order.
    py::dict points_of;
    for (py::handle key : distinct_keys(ts, "ITEMID", "STATIONID", "POINTID")) {
        py::object item = key[py::int_(0)];
        if (!contains(points_of, item)) points_of[item] = py::list();
        py::list(points_of[item]).append(py::make_tuple(key[py::int_(1)], key[py::int_(2)]));
    }

    py::dict line_kwargs = kwargs.attr("copy")();
    if (!line_kwargs.contains("x_compat")) line_kwargs["x_compat"] = true;
    TimeWindow window{start_time, end_time};
    CallCollection collection;
    py::dict stations_seen;
    std::vector<StationInfo> station_cache;
    std::optional<Figure> last;

    for (py::handle item : items) {
        std::optional<ItemInfo> info = lookup_item(self, item);
        if (!info) {
            log_warning("未找到测项信息: " + to_text(item));
            continue;
        }
        py::list pairs = points_of.contains(item) ? py::list(points_of[item]) : py::list();
        const Py_ssize_t total = static_cast<Py_ssize_t>(py::len(pairs));
        int number = 0;
        for (Py_ssize_t begin = 0; begin < total; begin += per_figure) {
            ++number;
            const Py_ssize_t n = std::min(per_figure, total - begin);
            Figure figure = new_figure(static_cast<std::size_t>(n), fig_height);
            std::vector<Subplot> drawn;
            for (Py_ssize_t index = 0; index < n; ++index) {
                py::object pair = pairs[static_cast<std::size_t>(begin + index)];
                py::object station = pair[py::int_(0)];
                py::object point = pair[py::int_(1)];
                py::object ax = figure.axes[py::int_(index)];
                drawn.push_back({ax, std::nullopt});
                py::object group;
                try {
                    group = grouped.attr("get_group")(py::make_tuple(item, station, point));
                } catch (py::error_already_set& e) {
                    if (!is_key_error(e)) throw;
                    log_warning("未找到数据: " + to_text(item) + "-" + to_text(station) + "-" +
                                to_text(point));
                    continue;
                }
                py::tuple prepared = self.attr("_process_data")(group, set_zero_obj, reindex);
                py::object series = window.apply(prepared[0]);
                py::object basevalue = prepared[1];
                if (nothing_to_draw(series)) {
                    log_warning(to_text(station) + "-" + to_text(point) + " 数据为空!");
                    continue;
                }
                if (!contains(stations_seen, station)) {
                    stations_seen[station] = py::int_(station_cache.size());
                    station_cache.push_back(lookup_station(self, station));
                }
                const StationInfo& where =
                    station_cache[stations_seen[station].cast<std::size_t>()];
                std::string title =
                    subplot_title(where.name, point, info->name, set_zero, basevalue);

                py::object style = self.attr("_get_plot_type")(py::int_(index), plot_type,
                                                               plot_types);
                py::object values = series["OBSVALUE"];
                if (equals(style, "stem")) {
                    ax.attr("stem")(series.attr("index"), values, "linefmt"_a = "b-",
                                    "markerfmt"_a = " ", "basefmt"_a = " ");
                } else if (equals(style, "scatter")) {
                    ax.attr("scatter")(series.attr("index"), values, **kwargs);
                } else {
                    broken_at_gaps(values).attr("plot")("ax"_a = ax, "label"_a = title,
                                                        **line_kwargs);
                }
                py::list ticks = value_ticks(series, set_zero);
                drawn.back().tick_half_range = half_span(ticks);
                self.attr("_setup_axis")(ax, title, info->unit, ticks, invert_y, xlabel);
                self.attr("_add_statistics")(ax, series, show_mean, show_std, std_multiplier);
                if (truthy(annotations) && contains(annotations, item)) {
                    py::object for_item = annotations[item];
                    py::str key(to_text(station) + "_" + to_text(point));
                    if (contains(for_item, key))
                        self.attr("_add_annotations")(ax, for_item[key]);
                }
                overlay_earthquakes(self, ax, series, cat, where, kat_filters);
            }
            std::string name = to_text(prefix) + to_text(item) + to_text(fig_label) + "_" +
                               std::to_string(number);
            finish_figure(figure.fig, drawn, truthy(show_legend), name);
            // The previous figure is let go before this one is saved, so that
            // the collection after the save can reclaim it.
            last = figure;
            self.attr("_save_figure")(figure.fig, name, figure_format);
        }
    }
    return figure_result(last);
}

// Bars of daily rainfall on the shared time axis, hanging from the top.
inline void draw_rainfall(py::object self, py::object ax, py::object rainfall) {
    py::object pd = mod_attr("pd");
    py::object index = rainfall.attr("index");
    double width_days = 0.8;
    if (py::isinstance(index, pd.attr("DatetimeIndex")) && py::len(index) > 1) {
        py::object spacing = index.attr("to_series")().attr("diff")().attr("median")();
        if (!is_missing(spacing)) {
            double days = py::float_(spacing / pd.attr("Timedelta")("days"_a = 1)).cast<double>();
            if (std::isfinite(days) && days > 0) width_days = 0.8 * days;
        }
    }
    // Each bar covers its own day, from the day's start.
    ax.attr("bar")(index, rainfall["OBSVALUE"], "width"_a = width_days, "align"_a = "edge",
                   "color"_a = "blue",
                   "alpha"_a = 0.5, "label"_a = "降雨量");
    self.attr("_setup_axis")(ax, "降雨量", "mm", py::none(), true);
}

inline py::tuple plot_by_stations(py::object self, py::object ts, py::object prefix,
                                  py::object set_zero_obj, py::object fig_label,
                                  py::object daily_mean_values, py::object invert_y,
                                  py::object figure_format, py::object reindex,
                                  py::object fig_height, py::object rainfall,
                                  py::object plot_type, py::object plot_types,
                                  py::object show_mean, py::object show_std,
                                  py::object std_multiplier, py::object annotations,
                                  py::object kat_dir, py::object kat_filters,
                                  py::object start_time, py::object end_time, py::object xlabel,
                                  py::object show_legend, py::kwargs kwargs) {
    const bool set_zero = truthy(set_zero_obj);
    auto builtins = py::module_::import("builtins");

    // station -> point -> items, in order of first appearance; missing
    // stations and points have no group and are left out.
    py::list stations;
    py::dict points_of;  // station -> list of points
    py::dict items_of;   // (station, point) -> list of items
    for (py::handle key : distinct_keys(ts, "STATIONID", "POINTID", "ITEMID")) {
        py::object station = key[py::int_(0)];
        py::object point = key[py::int_(1)];
        py::object item = key[py::int_(2)];
        if (is_missing(station) || equals(station, core::ids::kPlaceholder) || is_missing(point)) continue;
        if (!contains(points_of, station)) {
            stations.append(station);
            points_of[station] = py::list();
        }
        py::tuple sp = py::make_tuple(station, point);
        if (!contains(items_of, sp)) {
            py::list(points_of[station]).append(point);
            items_of[sp] = py::list();
        }
        if (is_missing(item) || equals(item, core::ids::kSupplyCurrentNS) ||
            equals(item, core::ids::kSupplyCurrentEW)) continue;
        py::list(items_of[sp]).append(item);
    }

    Catalogue cat = read_catalogue(kat_dir);
    py::list by;
    by.append("STATIONID");
    by.append("POINTID");
    by.append("ITEMID");
    py::object grouped = ts.attr("groupby")(by);

    py::object resample = truthy(daily_mean_values) ? py::object(py::str("D")) : py::none();
    const bool with_rain = !rainfall.is_none();
    TimeWindow window{start_time, end_time};
    CallCollection collection;
    std::optional<Figure> last;

    for (py::handle station : stations) {
        StationInfo where = lookup_station(self, station);
        for (py::handle point : points_of[station]) {
            py::list items = builtins.attr("sorted")(items_of[py::make_tuple(station, point)]);
            const std::size_t n_items = py::len(items);
            const std::size_t rows = n_items + (with_rain ? 1 : 0);
            if (rows == 0) continue;
            Figure figure = new_figure(rows, fig_height);
            std::vector<Subplot> drawn;
            for (std::size_t index = 0; index < rows; ++index)
                drawn.push_back({figure.axes[py::int_(index)], std::nullopt});
            const std::string sp_text = to_text(station) + "-" + to_text(point);
            for (std::size_t index = 0; index < n_items; ++index) {
                py::object item = items[index];
                py::object ax = figure.axes[py::int_(index)];
                py::object group;
                try {
                    group = grouped.attr("get_group")(py::make_tuple(station, point, item));
                } catch (py::error_already_set& e) {
                    if (!is_key_error(e)) throw;
                    log_warning("未找到数据: " + sp_text + "-" + to_text(item));
                    continue;
                }
                py::tuple prepared =
                    self.attr("_process_data")(group, set_zero_obj, reindex, resample);
                py::object series = window.apply(prepared[0]);
                py::object basevalue = prepared[1];
                if (nothing_to_draw(series)) {
                    log_warning(sp_text + "-" + to_text(item) + " 数据为空!");
                    continue;
                }
                std::optional<ItemInfo> info = lookup_item(self, item);
                if (!info) {
                    log_warning("未找到测项信息: " + to_text(item));
                    continue;
                }
                std::string title =
                    subplot_title(where.name, point, info->name, set_zero, basevalue);
                py::object style = self.attr("_get_plot_type")(py::int_(index), plot_type,
                                                               plot_types);
                py::object times = series.attr("index");
                py::object values = series["OBSVALUE"];
                if (equals(style, "stem")) {
                    ax.attr("stem")(times, values, "linefmt"_a = "b-", "markerfmt"_a = " ",
                                    "basefmt"_a = " ");
                } else if (equals(style, "scatter")) {
                    ax.attr("scatter")(times, values, "label"_a = title, **kwargs);
                } else {
                    py::object line = broken_at_gaps(values);
                    ax.attr("plot")(line.attr("index"), line, "label"_a = title, **kwargs);
                }
                py::list ticks = value_ticks(series, set_zero);
                drawn[index].tick_half_range = half_span(ticks);
                self.attr("_setup_axis")(ax, title, info->unit, ticks, invert_y, xlabel);
                self.attr("_add_statistics")(ax, series, show_mean, show_std, std_multiplier);
                if (truthy(annotations) && contains(annotations, station)) {
                    py::object for_station = annotations[station];
                    py::str key(to_text(item) + "_" + to_text(point));
                    if (contains(for_station, key))
                        self.attr("_add_annotations")(ax, for_station[key]);
                }
                overlay_earthquakes(self, ax, series, cat, where, kat_filters);
            }
            if (with_rain && !is_empty(rainfall))
                draw_rainfall(self, figure.axes[py::int_(n_items)], rainfall);
            std::string name =
                to_text(prefix) + to_text(station) + "_" + to_text(point) + to_text(fig_label);
            finish_figure(figure.fig, drawn, truthy(show_legend), name);
            // The previous figure is let go before this one is saved, so that
            // the collection after the save can reclaim it.
            last = figure;
            self.attr("_save_figure")(figure.fig, name, figure_format);
        }
    }
    return figure_result(last);
}

inline py::object plot(py::object self, py::object ts, py::object groupby, py::object prefix,
                       py::object fig_label, py::object xlabel, py::kwargs kwargs) {
    py::object lower = groupby.attr("lower")();
    if (equals(lower, "item"))
        return self.attr("plot_by_items")(ts, "prefix"_a = prefix, "fig_label"_a = fig_label,
                                          "xlabel"_a = xlabel, **kwargs);
    if (equals(lower, "station"))
        return self.attr("plot_by_stations")(ts, "prefix"_a = prefix, "fig_label"_a = fig_label,
                                             "xlabel"_a = xlabel, **kwargs);
    log_error("不支持的分组方式: " + to_text(groupby));
    return py::make_tuple(py::none(), py::none());
}

}  // namespace kelvane::tsdraw
