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

#if PYBIND11_VERSION_HEX < 0x03010000
#error "kelvane needs pybind11 3.1 (multi-phase module init with the module cache)"
#endif

namespace kelvane {

// Runs a module's init body as pybind11's own exec slot does (it calls the
// same pybind11::detail functions, so the build pins pybind11 to 3.1.x), but a Python
// exception raised on the way (an OSError from the log file, the ImportError
// of a missing library) leaves the import as itself, as it would from a
// Python module, instead of becoming ImportError("initialization failed").
inline int run_module_init(PyObject* module, void (*init)(py::module_&)) {
    try {
        py::detail::ensure_internals();
        auto m = py::reinterpret_borrow<py::module_>(module);
        // a module re-imported after leaving sys.modules is already set up
        if (!py::detail::get_cached_module(m.attr("__spec__").attr("name"))) {
            init(m);
            py::detail::cache_completed_module(m);
        }
        return 0;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        py::set_error(PyExc_ImportError, e.what());
    }
    return -1;
}

}  // namespace kelvane

// The module entry point: PYBIND11_MODULE(name, variable) with the exec slot
// above. PYBIND11_MODULE_PYINIT declares pybind11_exec_<name> and builds the
// module definition around it.
#define KELVANE_MODULE(name, variable)                                                   \
    PYBIND11_MODULE_PYINIT(name)                                                         \
    static void PYBIND11_CONCAT(kelvane_init_, name)(::pybind11::module_&);              \
    int PYBIND11_CONCAT(pybind11_exec_, name)(PyObject * module) {                       \
        return ::kelvane::run_module_init(module, &PYBIND11_CONCAT(kelvane_init_, name)); \
    }                                                                                    \
    void PYBIND11_CONCAT(kelvane_init_, name)(::pybind11::module_ & variable)

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

// The UTF-8 form of a str object. A text without one (a lone surrogate)
// raises the interpreter's UnicodeEncodeError.
inline std::string utf8(py::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw py::error_already_set();
    return std::string(data, static_cast<std::size_t>(size));
}

// str(value) as UTF-8.
inline std::string to_text(py::handle value) {
    return utf8(py::str(value));
}

// The text of a str object, raising TypeError for anything else.
inline std::string require_text(py::handle value, std::string_view what) {
    if (!PyUnicode_Check(value.ptr())) {
        throw py::type_error(std::string(what) + " must be text, got " +
                             py::str(py::type::of(value).attr("__name__")).cast<std::string>());
    }
    return utf8(value);
}

// True when value is a str equal to `utf8_text`; compared as code points, so
// any text (one with lone surrogates too) can be asked.
inline bool text_equals(py::handle value, const char* utf8_text) {
    if (!PyUnicode_Check(value.ptr())) return false;
    py::str other(utf8_text);
    return PyUnicode_Compare(value.ptr(), other.ptr()) == 0;
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
