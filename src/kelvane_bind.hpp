// Shared binding header: included first by every extension module source.
// Holds the aliases and the Python <-> C++ conversions that more than one
// module needs, so no module writes its own copy.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "core/atomic_file.hpp"
#include "core/bigbuf.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
            // Docstrings are written whole, signature line included where one
            // helps; pybind11's generated one (object -> object) does not.
            py::options options;
            options.disable_function_signatures();
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

// The major version of the pandas module `pd` (2 or 3). Where the two differ
// in a step this system follows, the result is what the installed one gives:
// pandas 2 parses text to datetime64[ns] (times beyond that range are NaT),
// reads numbers with its older parser, and takes an Arrow text array's
// semantics from its class instead of a dtype argument.
inline int pandas_major(py::handle pd) {
    const std::string version = py::str(pd.attr("__version__")).cast<std::string>();
    return std::stoi(version.substr(0, version.find('.')));
}

// A new uninitialised numpy array of n items of `dt` (no object dtype). Large
// result columns live in buffers of their own (on huge pages from 2 MiB),
// kept for the next call when the array is released.
inline py::array big_array(const py::dtype& dt, std::size_t n) {
    const auto itemsize = static_cast<std::size_t>(dt.itemsize());
    const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(n)};
    if (n == 0 || n * itemsize < core::kKeptFromBytes) return py::array(dt, shape, {});
    auto* buffer = new core::BigBuffer;
    try {
        *buffer = core::map_big_buffer(n * itemsize);
    } catch (const std::bad_alloc&) {
        delete buffer;
        throw;
    }
    py::capsule owner(buffer, [](void* p) {
        auto* b = static_cast<core::BigBuffer*>(p);
        core::release_big_buffer(*b);
        delete b;
    });
    const std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(itemsize)};
    return py::array(dt, shape, strides, buffer->data, owner);
}

template <typename T>
py::array_t<T> big_array(std::size_t n) {
    return py::reinterpret_borrow<py::array_t<T>>(big_array(py::dtype::of<T>(), n));
}

// A table's column labels and index name upper-cased in place, as tables
// leave the database boundary; returns the table.
inline py::object upper_columns(py::object df) {
    py::list upper;
    for (py::handle label : df.attr("columns")) upper.append(py::str(label).attr("upper")());
    df.attr("columns") = upper;
    return df;
}

inline void upper_index_name(const py::object& df) {
    py::object index = df.attr("index");
    py::object name = index.attr("name");
    if (truthy(name)) index.attr("name") = py::str(name).attr("upper")();
}

inline py::object upper_labels(py::object df) {
    upper_columns(df);
    upper_index_name(df);
    return df;
}

// The name of a value's type, as error messages quote it ("int", "DataFrame").
inline std::string type_name(py::handle value) {
    return py::str(py::type::of(value).attr("__name__")).cast<std::string>();
}

// The text of a str object, raising TypeError for anything else.
inline std::string require_text(py::handle value, std::string_view what) {
    if (!PyUnicode_Check(value.ptr())) {
        throw py::type_error(std::string(what) + " must be text, got " + type_name(value));
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

// The OSError subclass Python raises for this errno (FileNotFoundError,
// PermissionError, ...), naming the path.
[[noreturn]] inline void raise_file_error(const core::FileError& e) {
    py::module_ os = py::module_::import("os");
    py::object error = py::module_::import("builtins").attr("OSError")(
        e.code(), os.attr("strerror")(e.code()), os.attr("fsdecode")(py::bytes(e.path())));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

namespace atomic_detail {

inline std::string file_system_name(py::handle target) {
    py::module_ os = py::module_::import("os");
    return os.attr("fsencode")(os.attr("fspath")(target)).cast<std::string>();
}

inline py::object python_name(const std::string& path) {
    return py::module_::import("os").attr("fsdecode")(py::bytes(path));
}

// The file-system steps run without the interpreter lock (folder scans,
// fsync, opening a FIFO can take a while); their errors become OSError.
template <typename Step>
void without_gil(Step&& step) {
    try {
        py::gil_scoped_release release;
        step();
    } catch (const core::FileError& e) {
        raise_file_error(e);
    }
}

inline std::unique_ptr<core::AtomicFile> begin(py::handle target,
                                               std::string_view temporary_ending = {}) {
    std::string name = file_system_name(target);
    std::unique_ptr<core::AtomicFile> file;
    without_gil([&] { file = std::make_unique<core::AtomicFile>(name, temporary_ending); });
    return file;
}

// write(f) with a Python file object on the write's descriptor (a duplicate,
// so closing f leaves the writer's own), closed before the commit; on an
// error the file is dropped by its owner.
template <typename Write>
void through_stream(core::AtomicFile& file, const std::string& mode, py::object encoding,
                    py::object newline, Write&& write) {
    int fd = -1;
    without_gil([&] { fd = file.fd(); });
    py::object stream = py::module_::import("io").attr("open")(
        py::module_::import("os").attr("dup")(fd), mode, "encoding"_a = encoding,
        "newline"_a = newline);
    try {
        write(stream);
    } catch (...) {
        try {
            stream.attr("close")();
        } catch (py::error_already_set&) {
            // the write's own error is the one to report
        }
        throw;
    }
    stream.attr("close")();  // flushes; a full disk shows here
    without_gil([&] { file.commit(); });
}

}  // namespace atomic_detail

// Writes a file in one piece through core::AtomicFile (see there for what
// that guarantees). write(where) is called once: `where` is the str path of
// the temporary file, or, for a target that is written directly (a device,
// a FIFO), an open binary file on it, so that neither a writer's seek nor its
// clean-up after a failure (pyarrow removes the path it could not write)
// reaches the device. The write is committed once write() returns and dropped
// if it raises, the error propagating with the earlier file untouched. A
// target that is not a local path (a file object, a URI) goes to write() as
// it is. For writers that take a path or a file, as pyarrow and pandas do.
template <typename Write>
void write_atomically(py::object target, Write&& write) {
    if (!is_local_path(target)) {
        write(target);
        return;
    }
    std::unique_ptr<core::AtomicFile> file = atomic_detail::begin(target);
    if (file->direct()) {
        atomic_detail::through_stream(*file, "wb", py::none(), py::none(), write);
        return;
    }
    write(atomic_detail::python_name(file->path()));  // on an error, file's destructor drops it
    atomic_detail::without_gil([&] { file->commit(); });
}

// The same for writers that need a path whatever the target (a database
// file): a direct target is handed over as its own path.
template <typename Write>
void write_atomically_to_path(py::object target, Write&& write) {
    std::unique_ptr<core::AtomicFile> file = atomic_detail::begin(target);
    write(atomic_detail::python_name(file->path()));
    atomic_detail::without_gil([&] { file->commit(); });
}

// The same with an open file: write(f) gets a Python file object opened with
// `mode` ("w", "wt" or "wb"; encoding and newline as for open()). A file
// object given as target goes to write() as it is.
template <typename Write>
void write_file_atomically(py::object target, const std::string& mode, py::object encoding,
                           py::object newline, Write&& write) {
    if (mode != "w" && mode != "wt" && mode != "wb") {
        throw py::value_error("mode must be 'w', 'wt' or 'wb', not " +
                              py::repr(py::str(mode)).cast<std::string>());
    }
    if (!is_local_path(target)) {
        write(target);
        return;
    }
    std::unique_ptr<core::AtomicFile> file = atomic_detail::begin(target);
    atomic_detail::through_stream(*file, mode, encoding, newline, write);
}

// Bytes made in C++, written in one piece; the GIL is released throughout.
inline void write_bytes_atomically(py::object target, std::string_view data) {
    std::string name = atomic_detail::file_system_name(target);
    atomic_detail::without_gil([&] {
        core::AtomicFile file(name);
        file.write_all(data);
        file.commit();
    });
}

// A file written over several calls, such as a Parquet writer fed one row
// group at a time: the writer writes to path() (a temporary, or the target
// itself when it is written directly), and the whole file appears at the
// target on commit(). Dropped, the write is discarded.
class PendingFile {
public:
    explicit PendingFile(py::handle target, std::string_view temporary_ending = {})
        : file_(atomic_detail::begin(target, temporary_ending)) {}

    py::object path() const { return atomic_detail::python_name(file_->path()); }
    void commit() {
        atomic_detail::without_gil([&] { file_->commit(); });
    }

private:
    std::unique_ptr<core::AtomicFile> file_;
};

}  // namespace kelvane
