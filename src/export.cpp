// kelvane.export: the VELD format (an Arrow table whose schema metadata names
// the format and carries the caller's context as JSON texts) and its two
// writers, Parquet and Feather.
#include "kelvane_bind.hpp"

#include <string>

namespace {

py::module_ self() { return kelvane::self_module("kelvane.export"); }
py::object logger() { return self().attr("logger"); }

// ---------------------------------------------------------------------------
// Python objects to metadata bytes
// ---------------------------------------------------------------------------

// A schema-metadata key: text as UTF-8, bytes as they are.
py::bytes metadata_key(py::handle key) {
    if (PyBytes_Check(key.ptr())) return py::reinterpret_borrow<py::bytes>(key);
    if (PyUnicode_Check(key.ptr())) return py::bytes(key.cast<std::string>());
    throw py::type_error("metadata keys must be text, got " +
                         kelvane::type_name(key));
}

// The value's JSON text, as the standard encoder writes it with no options.
py::bytes json_bytes(py::module_& mod, py::handle value) {
    return py::bytes(mod.attr("json").attr("dumps")(value).cast<std::string>());
}

// str(exc) for the log line; an exception whose text cannot be formed is
// named by its type.
std::string describe(const py::error_already_set& e) {
    try {
        return kelvane::error_text(e);
    } catch (py::error_already_set&) {
        return py::str(e.type().attr("__name__")).cast<std::string>();
    }
}

// The conversion proper; raises on any failure. What is not a DataFrame is
// refused by pyarrow's conversion itself, whose error the log line quotes.
py::object convert(py::module_& mod, py::object df, py::object metadata) {
    py::object table = mod.attr("pa").attr("Table").attr("from_pandas")(df);

    // The conversion's own entries first, then the format, then the caller's
    // entries; a later entry of the same name replaces the value in place.
    py::dict merged;
    py::object existing = table.attr("schema").attr("metadata");
    if (!existing.is_none()) {
        for (auto item : py::reinterpret_borrow<py::dict>(existing)) {
            merged[metadata_key(item.first)] = item.second;
        }
    }
    merged[py::bytes("format_name")] = py::bytes("VELD");
    merged[py::bytes("format_version")] = py::bytes("1.0.0");
    if (!metadata.is_none() && kelvane::truthy(metadata)) {
        py::object items = metadata.attr("items")();
        for (py::handle pair : items) {
            py::tuple kv = py::reinterpret_borrow<py::tuple>(pair);
            py::bytes key = metadata_key(kv[0]);
            merged[key] = json_bytes(mod, kv[1]);
        }
    }
    return table.attr("replace_schema_metadata")(merged);
}

// ---------------------------------------------------------------------------
// The module's functions
// ---------------------------------------------------------------------------

py::object to_veld(py::object df, py::object metadata) {
    py::module_ mod = self();
    std::string reason;
    try {
        return convert(mod, df, metadata);
    } catch (py::error_already_set& e) {
        if (!kelvane::is_ordinary(e)) throw;
        reason = describe(e);
    } catch (py::builtin_exception& e) {
        reason = e.what();
    } catch (std::exception& e) {
        reason = e.what();
    }
    logger().attr("error")("转换 Arrow Table 失败: " + reason);
    return py::none();
}

// The VELD table of df, through the module's to_veld as it stands at call time.
py::object veld_table(py::object df, py::object metadata) {
    return self().attr("to_veld")(df, metadata);
}

py::object export_veld(py::object df, py::object file_path, py::object metadata) {
    py::object table = veld_table(df, metadata);
    if (table.is_none()) return py::none();
    py::object pq = self().attr("pq");
    kelvane::write_atomically(file_path,
                              [&](py::object path) { pq.attr("write_table")(table, path); });
    logger().attr("info")("数据已导出至 " + kelvane::to_text(file_path) + " (VELD 格式)");
    return py::none();
}

py::object export_to_feather(py::object df, py::object file_path, py::object metadata) {
    py::object table = veld_table(df, metadata);
    if (table.is_none()) return py::none();
    py::object feather = py::module_::import("pyarrow.feather");
    kelvane::write_atomically(file_path,
                              [&](py::object path) { feather.attr("write_feather")(table, path); });
    logger().attr("info")("数据已导出至 " + kelvane::to_text(file_path));
    return py::none();
}

// The package's file writer for its Python code (the command line): write is
// called with the path to write to (an open binary file for a device or FIFO),
// or with an open file when mode is given, and the file appears at target
// only once write has returned.
py::object write_atomically(py::object target, py::object write, py::object mode,
                            py::object encoding, py::object newline) {
    py::object result = py::none();
    if (mode.is_none()) {
        kelvane::write_atomically(target, [&](py::object path) { result = write(path); });
    } else {
        kelvane::write_file_atomically(target, kelvane::require_text(mode, "mode"), encoding, newline,
                                       [&](py::object file) { result = write(file); });
    }
    return result;
}

}  // namespace

KELVANE_MODULE(export, m) {
    m.doc() = "VELD export: Arrow tables with JSON context in the schema, as Parquet or Feather.";

    // Siblings and outside libraries, in load order.
    try {
        m.attr("logger") = py::module_::import("kelvane.logsetup").attr("fetching_logger");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        m.attr("logger") = py::module_::import("logging").attr("getLogger")("export");
    }
    m.attr("pd") = py::module_::import("pandas");
    m.attr("pa") = py::module_::import("pyarrow");
    m.attr("pq") = py::module_::import("pyarrow.parquet");
    m.attr("json") = py::module_::import("json");

    m.def("to_veld", &to_veld, "df"_a, "metadata"_a = py::none(),
          "将 DataFrame 转换为 VELD 格式的 Arrow Table。");
    m.def("export_veld", &export_veld, "df"_a, "file_path"_a, "metadata"_a = py::none(),
          "将 DataFrame 以 VELD 格式导出为 Parquet 文件。");
    m.def("export_to_feather", &export_to_feather, "df"_a, "file_path"_a,
          "metadata"_a = py::none(), "将 DataFrame 以 VELD 格式导出为 Feather 文件。");
    m.def("_write_atomically", &write_atomically, "target"_a, "write"_a, "mode"_a = py::none(),
          "encoding"_a = py::none(), "newline"_a = py::none(),
          "Call write(path) (or write(file) for a mode 'w', 'wt', 'wb') and let the\n"
          "result appear at target only when write returns: a temporary file beside\n"
          "the target is renamed over it; on an error the earlier file stays. A\n"
          "device or FIFO is written into, write() then getting an open binary file.\n"
          "Returns what write returns.");
}
