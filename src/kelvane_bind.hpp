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

// The major version of the pandas module `pd` (2 or 3). Where the two differ
// in a step this system follows, the result is what the installed one gives:
// pandas 2 parses text to datetime64[ns] (times beyond that range are NaT),
// reads numbers with its older parser, and takes an Arrow text array's
// semantics from its class instead of a dtype argument.
inline int pandas_major(py::handle pd) {
    const std::string version = py::str(pd.attr("__version__")).cast<std::string>();
    return std::stoi(version.substr(0, version.find('.')));
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

namespace kelvane {

// A local file target: text, bytes or a path object that is not a URI. File
// objects and URIs (s3://...) are handed to a writer unchanged.
inline bool is_local_path(py::handle target) {
    if (!PyUnicode_Check(target.ptr()) && !PyBytes_Check(target.ptr()) &&
        !py::hasattr(target, "__fspath__")) {
        return false;
    }
    py::object os = py::module_::import("os");
    py::object text = os.attr("fsdecode")(os.attr("fspath")(target));
    return text.attr("find")("://").cast<long>() < 0;
}

// Writes a file in one piece: write(path) is called with a fresh temporary
// path beside `target`, and the result is moved over `target` once the write
// has returned. On any failure the temporary file is removed, whatever stood
// at `target` is left as it was, and the error propagates. A target that is
// not a local path goes to write() as it is.
template <typename Write>
void write_in_place(py::object target, Write&& write) {
    if (!is_local_path(target)) {
        write(target);
        return;
    }
    py::module_ os = py::module_::import("os");
    py::object os_path = os.attr("path");
    // Through a symbolic link to the file it names, as a direct write would.
    py::object final_path =
        os_path.attr("realpath")(os.attr("fsdecode")(os.attr("fspath")(target)));
    py::object folder = os_path.attr("dirname")(final_path);
    std::string name = os_path.attr("basename")(final_path).cast<std::string>();
    std::string token = py::module_::import("secrets").attr("token_hex")(8).cast<std::string>();
    py::object temporary = os_path.attr("join")(folder, py::str("." + name + "." + token + ".tmp"));
    try {
        write(temporary);
        if (truthy(os_path.attr("isfile")(final_path))) {
            // keep the permissions of the file being replaced
            py::object mode = py::module_::import("stat").attr("S_IMODE")(
                os.attr("stat")(final_path).attr("st_mode"));
            os.attr("chmod")(temporary, mode);
        }
        os.attr("replace")(temporary, final_path);
    } catch (...) {
        try {
            if (truthy(os_path.attr("lexists")(temporary))) os.attr("remove")(temporary);
        } catch (py::error_already_set&) {
            // the write's own error is the one the caller needs to see
        }
        throw;
    }
}

}  // namespace kelvane
