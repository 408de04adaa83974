// The manifest of a partitioned dataset folder, shared by the modules that
// write datasets (kelvane.fetching exports them, kelvane.refine filters them).
//
// `<root>/_manifest.json` records the request the dataset answers and, per
// period, the span of days fetched and the files written for it. A file is
// complete once the manifest lists it: files are committed first, the
// manifest after them, and readers of the manifest never see the files of an
// unfinished period. Updates hold the folder's lock and re-read the manifest
// first, so that runs writing one dataset at once keep each other's entries.
#pragma once
#include "kelvane_bind.hpp"

#include "core/dataset.hpp"

#include <string>
#include <string_view>

namespace kelvane::dataset {

inline constexpr const char* kManifestName = "_manifest.json";
inline constexpr const char* kManifestFormat = "kelvane dataset";
inline constexpr long kManifestVersion = 1;
// Temporaries of dataset files end so that no "*.parquet" pattern lists them.
inline constexpr std::string_view kTemporaryEnding = ".partial";

inline py::module_ os_module() { return py::module_::import("os"); }
inline py::object path_join(const py::object& a, const py::object& b) {
    return os_module().attr("path").attr("join")(a, b);
}

// A folder argument as text (str or path object), TypeError otherwise.
inline py::str folder_argument(py::handle value, const char* what) {
    py::object os = os_module();
    py::object text;
    try {
        text = os.attr("fsdecode")(os.attr("fspath")(value));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        throw py::type_error(std::string(what) + " must be a folder path, got " +
                             kelvane::type_name(value));
    }
    if (py::len(text) == 0) throw py::value_error(std::string(what) + " must not be empty");
    return py::str(text);
}

inline bool is_folder(const py::object& path) {
    return truthy(os_module().attr("path").attr("isdir")(path));
}
inline bool exists(const py::object& path) {
    return truthy(os_module().attr("path").attr("lexists")(path));
}

[[noreturn]] inline void raise_os_error(PyObject* type, int code, const std::string& message,
                                        const py::object& path) {
    py::object error = py::reinterpret_borrow<py::object>(type)(code, message, path);
    PyErr_SetObject(type, error.ptr());
    throw py::error_already_set();
}

// The manifest of `root`, or None when there is none. A manifest that cannot
// be read as one is a ValueError naming the file.
inline py::object load_manifest(const py::object& root) {
    py::object path = path_join(root, py::str(kManifestName));
    if (!exists(path)) return py::none();
    py::object json = py::module_::import("json");
    py::object manifest;
    try {
        py::object file = py::module_::import("builtins").attr("open")(path, "r", "encoding"_a = "utf-8");
        try {
            manifest = json.attr("load")(file);
        } catch (...) {
            file.attr("close")();
            throw;
        }
        file.attr("close")();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;  // OSError stays itself
        throw py::value_error(to_text(path) + " is not a dataset manifest: " + error_text(e));
    }
    if (!PyDict_Check(manifest.ptr()) || !manifest.attr("get")("format").equal(py::str(kManifestFormat)) ||
        !PyDict_Check(manifest.attr("get")("periods").ptr())) {
        throw py::value_error(to_text(path) + " is not a kelvane dataset manifest");
    }
    py::object version = manifest.attr("get")("version");
    if (!version.equal(py::int_(kManifestVersion))) {
        throw py::value_error(to_text(path) + " is a dataset manifest of version " +
                              to_text(version) + ", this kelvane reads version " +
                              std::to_string(kManifestVersion));
    }
    return manifest;
}

inline void save_manifest(const py::object& root, const py::object& manifest) {
    py::object json = py::module_::import("json");
    std::string text = utf8(json.attr("dumps")(manifest, "ensure_ascii"_a = false, "indent"_a = 1));
    text += '\n';
    write_bytes_atomically(path_join(root, py::str(kManifestName)), text);
}

// A new manifest: format, version, then the caller's entries and no period.
inline py::dict new_manifest() {
    py::dict manifest;
    manifest["format"] = kManifestFormat;
    manifest["version"] = kManifestVersion;
    return manifest;
}

// The folder `root` checked as a dataset's place: absent (made later), or a
// folder that holds a manifest (returned) or nothing at all. Raises
// NotADirectoryError for anything else at that path, ValueError for a folder
// with other files.
inline py::object existing_manifest(const py::object& root, const char* what) {
    if (!exists(root)) return py::none();
    if (!is_folder(root)) {
        raise_os_error(PyExc_NotADirectoryError, ENOTDIR,
                       std::string(what) + " exists and is not a folder", root);
    }
    py::object manifest = load_manifest(root);
    if (manifest.is_none() && py::len(os_module().attr("listdir")(root)) > 0) {
        throw py::value_error(std::string(what) + " " + to_text(root) +
                              " holds files but no dataset manifest (" + kManifestName +
                              "): choose a new or empty folder");
    }
    return manifest;
}

// Every file the manifest lists, as (period label, entry) in label order.
inline py::list listed_files(const py::object& manifest) {
    py::list out;
    py::object periods = manifest["periods"];
    py::list labels = py::module_::import("builtins").attr("sorted")(periods);
    for (py::handle label : labels) {
        for (py::handle entry : periods[label]["files"]) out.append(py::make_tuple(label, entry));
    }
    return out;
}

// Files, rows and bytes the manifest lists.
inline py::dict manifest_totals(const py::object& manifest) {
    long long files = 0, rows = 0, bytes = 0;
    for (py::handle pair : listed_files(manifest)) {
        py::object entry = py::reinterpret_borrow<py::tuple>(pair)[1];
        ++files;
        rows += entry["rows"].cast<long long>();
        bytes += entry["bytes"].cast<long long>();
    }
    py::dict totals;
    totals["files"] = files;
    totals["rows"] = rows;
    totals["bytes"] = bytes;
    return totals;
}

// Writer options of dataset files: dictionary pages for the text columns (a
// few ids repeated), delta encoding for times and integers (regular steps);
// the writer's defaults otherwise. The text columns carry no min/max
// statistics: computing them over millions of id strings took half the time
// of writing a file, and a file holds one station and item anyway.
inline py::dict parquet_options(const py::object& schema) {
    py::object types = py::module_::import("pyarrow").attr("types");
    py::list dictionary;
    py::list statistics;
    py::dict encoding;
    for (py::handle field : schema) {
        py::object type = field.attr("type");
        py::object name = field.attr("name");
        if (truthy(types.attr("is_string")(type)) || truthy(types.attr("is_large_string")(type))) {
            dictionary.append(name);
            continue;
        }
        statistics.append(name);
        if (truthy(types.attr("is_integer")(type)) || truthy(types.attr("is_timestamp")(type)))
            encoding[name] = "DELTA_BINARY_PACKED";
    }
    py::dict options;
    options["use_dictionary"] = dictionary;
    options["write_statistics"] = statistics;
    options["column_encoding"] = encoding;
    return options;
}

// The lock of a dataset folder, taken without the interpreter lock.
inline std::unique_ptr<core::dataset::FolderLock> lock_folder(const py::object& root) {
    std::string name = atomic_detail::file_system_name(root);
    std::unique_ptr<core::dataset::FolderLock> lock;
    atomic_detail::without_gil([&] { lock = std::make_unique<core::dataset::FolderLock>(name); });
    return lock;
}

}  // namespace kelvane::dataset
