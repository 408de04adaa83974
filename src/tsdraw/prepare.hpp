// Construction, the statistics-line style and the preparation of one series.
#pragma once
#include "tsdraw/common.hpp"

#include <vector>

namespace kelvane::tsdraw {

inline const char* const kStyleKeys[] = {"mean_color",     "std_color",     "mean_linestyle",
                                         "std_linestyle",  "mean_alpha",    "std_alpha",
                                         "mean_linewidth", "std_linewidth"};

// `a, b, c = value`, with the interpreter's own errors for anything that is
// not an iterable of exactly three.
inline std::vector<py::object> unpack_three(py::handle value) {
    PyObject* it = PyObject_GetIter(value.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            throw py::type_error("cannot unpack non-iterable " +
                                 kelvane::type_name(value) + " object");
        }
        throw py::error_already_set();
    }
    py::object iterator = py::reinterpret_steal<py::object>(it);
    std::vector<py::object> out;
    while (out.size() < 4) {
        PyObject* item = PyIter_Next(iterator.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw py::error_already_set();
            break;
        }
        out.push_back(py::reinterpret_steal<py::object>(item));
    }
    if (out.size() < 3)
        throw py::value_error("not enough values to unpack (expected 3, got " +
                              std::to_string(out.size()) + ")");
    if (out.size() > 3) throw py::value_error("too many values to unpack (expected 3)");
    return out;
}

inline void plotter_init(py::detail::value_and_holder& v_h, py::object conn,
                         py::object mean_color, py::object std_color, py::object mean_linestyle,
                         py::object std_linestyle, py::object mean_alpha, py::object std_alpha,
                         py::object mean_linewidth, py::object std_linewidth,
                         py::object metadata_dir, py::object refresh_metadata) {
    py::handle self(reinterpret_cast<PyObject*>(v_h.inst));
    self.attr("conn") = conn;
    py::object info = mod_attr("tsf").attr("timeseries_info")(
        conn, "cache_dir"_a = metadata_dir, "refresh_cache"_a = refresh_metadata);
    std::vector<py::object> tables = unpack_three(info);
    self.attr("stations_table") = tables[0];
    self.attr("points_table") = tables[1];
    self.attr("items_table") = tables[2];
    py::dict style;
    py::object values[] = {mean_color,     std_color,     mean_linestyle, std_linestyle,
                           mean_alpha,     std_alpha,     mean_linewidth, std_linewidth};
    for (std::size_t i = 0; i < 8; ++i) style[kStyleKeys[i]] = values[i];
    self.attr("stats_style") = style;
    // The C++ side holds no state; every attribute lives in the instance dict.
    v_h.value_ptr() = new TSPlotter();
}

inline py::object set_stats_style(py::object self, py::kwargs kwargs) {
    py::object style = self.attr("stats_style");
    for (auto item : kwargs) {
        if (contains(style, item.first)) {
            style[item.first] = item.second;
        } else {
            log_warning("未知的统计线样式参数: " + to_text(item.first));
        }
    }
    return self;
}

inline py::tuple process_data(py::object /*self*/, py::object ts_tmp, py::object set_zero,
                              py::object reindex, py::object resample) {
    py::object ts = ts_tmp.attr("copy")("deep"_a = false);
    if (truthy(resample)) {
        // Only the values are resampled: identifier columns have no daily
        // aggregate, and a sample-rate code no longer describes daily rows.
        if (equals(resample, "D")) {
            py::list cols;
            cols.append("OBSVALUE");
            ts = ts[cols].attr("resample")("D").attr("median")();
        } else if (equals(resample, "sum")) {
            py::list cols;
            cols.append("OBSVALUE");
            ts = ts[cols].attr("resample")("D").attr("sum")();
        }
    }
    py::object basevalue;
    const bool empty = is_empty(ts);
    if (empty) {
        basevalue = py::int_(0);
    } else {
        py::object values = ts["OBSVALUE"];
        basevalue = (values.attr("max")() + values.attr("min")()) / py::int_(2);
    }
    // A new table with the centred column (an item assignment made from here
    // looks like chained assignment to pandas 2, which warns about it).
    if (truthy(set_zero) && !empty)
        ts = ts.attr("assign")("OBSVALUE"_a = py::object(ts["OBSVALUE"]) - basevalue);
    if (truthy(reindex) && !empty) ts = mod_attr("reindex_df_by_interval")(ts);
    return py::make_tuple(ts, basevalue);
}

inline py::object get_plot_type(py::object /*self*/, py::object index, py::object plot_type,
                                py::object plot_types) {
    if (plot_types.is_none()) return plot_type;
    if (PyList_Check(plot_types.ptr())) {
        py::object n = py::int_(py::len(plot_types));
        PyObject* lt = PyObject_RichCompare(index.ptr(), n.ptr(), Py_LT);
        if (!lt) throw py::error_already_set();
        if (truthy(py::reinterpret_steal<py::object>(lt)))
            return plot_types.attr("__getitem__")(index);
    }
    return plot_type;
}

}  // namespace kelvane::tsdraw
