// Shared binding header: included first by every extension module source.
// Holds the aliases and the Python <-> C++ conversions that more than one
// module needs, so no module writes its own copy.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <string_view>

namespace py = pybind11;
using namespace pybind11::literals;

// Every module starts its init with
//     py::options options;
//     options.disable_function_signatures();
// so that __doc__ holds the documented text only (signatures are in the .pyi
// stubs).

namespace kelvane {

// A module's own namespace, looked up at call time so that attributes a test
// or a user replaced (the driver, create_engine, logger) are the ones used.
inline py::module_ self_module(const char* dotted_name) {
    return py::module_::import(dotted_name);
}

// One of the three package loggers ("plotting", "fetching", "cleaning").
inline py::object package_logger(const char* attribute) {
    return py::module_::import("kelvane.logsetup").attr(attribute);
}

// True when the pending Python error is an ordinary exception (a subclass of
// Exception); KeyboardInterrupt, SystemExit and friends are not.
inline bool is_ordinary(const py::error_already_set& e) {
    return e.matches(PyExc_Exception);
}

// Text of an exception value, as str(exc) gives it.
inline std::string error_text(const py::error_already_set& e) {
    return py::str(e.value()).cast<std::string>();
}

// Python truthiness, as `if value:` decides it.
inline bool truthy(py::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// str(value) as UTF-8.
inline std::string to_text(py::handle value) {
    return py::str(value).cast<std::string>();
}

// The text of a str object, raising TypeError for anything else.
inline std::string require_text(py::handle value, std::string_view what) {
    if (!PyUnicode_Check(value.ptr())) {
        throw py::type_error(std::string(what) + " must be text, got " +
                             py::str(py::type::of(value).attr("__name__")).cast<std::string>());
    }
    return value.cast<std::string>();
}

}  // namespace kelvane
