// Shared pieces of the plotter: access to the module's own namespace (read at
// call time, so a substituted logger or library is the one used) and small
// Python-semantics helpers.
#pragma once
#include "kelvane_bind.hpp"

#include <string>

namespace kelvane::tsdraw {

struct TSPlotter {};

// Attribute under which an earthquake label keeps its event's magnitude.
inline constexpr const char* kMagnitudeAttr = "earthquake_magnitude";
// Attribute under which a subplot keeps the axes of its earthquake overlay.
inline constexpr const char* kOverlayAttr = "earthquake_axes";

inline py::module_ mod() { return self_module("kelvane.tsdraw"); }
inline py::object mod_attr(const char* name) { return mod().attr(name); }
inline py::object logger() { return mod_attr("logger"); }

inline void log_warning(const std::string& text) { logger().attr("warning")(text); }
inline void log_error(const std::string& text) { logger().attr("error")(text); }
inline void log_info(const std::string& text) { logger().attr("info")(text); }

// Python equality `a == b`, as an `if` would read it.
inline bool equals(py::handle a, const char* text) {
    return truthy(py::reinterpret_steal<py::object>(
        [&] {
            PyObject* r = PyObject_RichCompare(a.ptr(), py::str(text).ptr(), Py_EQ);
            if (!r) throw py::error_already_set();
            return r;
        }()));
}

// `key in container`.
inline bool contains(py::handle container, py::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// `table.empty`.
inline bool is_empty(py::handle table) { return truthy(table.attr("empty")); }

// True when the table is empty or its OBSVALUE column holds only missing values.
inline bool nothing_to_draw(py::handle table) {
    return is_empty(table) || truthy(table["OBSVALUE"].attr("isnull")().attr("all")());
}

// A one-element object array holding `ax`, indexed like the arrays of axes
// that plt.subplots returns for several rows.
inline py::object as_axes_array(py::object ax) {
    py::object np = mod_attr("np");
    if (py::isinstance(ax, np.attr("ndarray"))) return ax;
    py::object arr = np.attr("empty")(1, "dtype"_a = "object");
    arr[py::int_(0)] = ax;
    return arr;
}

// Runs `body`; an ordinary Python exception (or an error raised by the
// binding layer) is logged at error level as `prefix` + its text.
template <typename F>
void guarded(const std::string& prefix, F&& body) {
    try {
        body();
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        log_error(prefix + error_text(e));
    } catch (py::builtin_exception& e) {
        log_error(prefix + e.what());
    }
}

// A cell of a metadata table that may be missing (None or NaN).
inline bool is_missing(py::handle value) {
    return value.is_none() || truthy(mod_attr("pd").attr("isna")(value));
}

}  // namespace kelvane::tsdraw
