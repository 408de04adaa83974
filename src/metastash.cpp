// kelvane.metastash: local Parquet copies of the five dictionary tables of the
// precursor database, one folder per database alias, so that metadata lookups
// work without a connection.
#include "kelvane_bind.hpp"

#include "core/textops.hpp"

#include <utility>

namespace {

using kelvane::truthy;

// ---------------------------------------------------------------------------
// Python objects to core types and back

// Text or None; anything else is a TypeError naming the argument.
void check_optional_text(py::handle value, const char* what) {
    if (value.is_none() || PyUnicode_Check(value.ptr())) return;
    throw py::type_error(std::string(what) + " must be text or None, got " +
                         kelvane::type_name(value));
}

void check_table_name(py::handle value) { kelvane::require_text(value, "table_name"); }

py::module_ os_path() { return py::module_::import("os.path"); }
py::module_ pandas() { return py::module_::import("pandas"); }

// A bound class method whose first parameter receives the class.
template <typename F, typename... Extra>
void def_classmethod(py::object cls, const char* name, F&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<F>(f), py::name(name), py::scope(cls),
                        py::sibling(py::getattr(cls, name, py::none())), extra...);
    PyObject* method = PyClassMethod_New(fn.ptr());
    if (!method) throw py::error_already_set();
    cls.attr(name) = py::reinterpret_steal<py::object>(method);
}

// ---------------------------------------------------------------------------
// MetaStash as the analyst sees it. Every method reaches its siblings through
// the class, so a subclass or a replaced attribute is honoured.

py::object default_cache_dir() {
    auto p = os_path();
    return p.attr("join")(p.attr("expanduser")("~"), ".kelv", "metastash");
}

py::object safe_namespace(py::object /*cls*/, py::object ns) {
    check_optional_text(ns, "namespace");
    if (ns.is_none()) return py::none();
    std::string stripped = kelvane::utf8(ns.attr("strip")());
    std::string clean = kelvane::core::sanitize_namespace(stripped);
    if (clean.empty()) return py::none();
    return py::str(clean);
}

py::object infer_namespace(py::object cls, py::object conn) {
    if (conn.is_none()) return py::none();
    // A closed SQLAlchemy connection raises on `info`: that counts as absent,
    // so the cache of a connection that went away can still be found.
    py::object info = py::none();
    try {
        info = conn.attr("info");
    } catch (py::error_already_set& e) {
        if (!kelvane::is_ordinary(e)) throw;
    }
    if (PyDict_Check(info.ptr())) {
        py::object alias = info.attr("get")("kelvane_db_alias");
        if (truthy(alias)) return cls.attr("safe_namespace")(alias);
    }
    return cls.attr("safe_namespace")(py::getattr(conn, "_kelvane_db_alias", py::none()));
}

py::object resolve_cache_dir(py::object cls, py::object cache_dir, py::object ns) {
    check_optional_text(cache_dir, "cache_dir");
    check_optional_text(ns, "namespace");
    auto p = os_path();
    py::object root = truthy(cache_dir) ? cache_dir : cls.attr("default_cache_dir")();
    root = p.attr("abspath")(root);
    py::object clean = cls.attr("safe_namespace")(ns);
    if (truthy(clean)) return p.attr("join")(root, clean);
    return root;
}

py::object cache_path(py::object cls, py::object table_name, py::object cache_dir,
                      py::object ns) {
    check_table_name(table_name);
    check_optional_text(cache_dir, "cache_dir");
    check_optional_text(ns, "namespace");
    py::object specs = cls.attr("TABLE_SPECS");
    if (!specs.contains(table_name)) {
        PyErr_SetObject(PyExc_KeyError,
                        py::str("Unsupported metadata table: " + table_name.cast<std::string>()).ptr());
        throw py::error_already_set();
    }
    py::object folder = cls.attr("resolve_cache_dir")(cache_dir, ns);
    return os_path().attr("join")(folder, specs[table_name]["filename"]);
}

py::object ensure_cache_dir(py::object cls, py::object cache_dir, py::object ns) {
    py::object folder = cls.attr("resolve_cache_dir")(cache_dir, ns);
    py::module_::import("os").attr("makedirs")(folder, "exist_ok"_a = true);
    return folder;
}

py::object normalize_columns(py::object df) {
    return kelvane::upper_labels(df.attr("copy")());
}

py::object save_table(py::object cls, py::object table_name, py::object df, py::object cache_dir,
                      py::object ns) {
    check_table_name(table_name);
    check_optional_text(cache_dir, "cache_dir");
    check_optional_text(ns, "namespace");
    cls.attr("ensure_cache_dir")(cache_dir, ns);
    py::object normalized = cls.attr("normalize_columns")(df);
    py::object path = cls.attr("cache_path")(table_name, cache_dir, ns);
    // a reader or an interrupted writer never sees half a file under the cache name
    kelvane::write_atomically(path, [&](py::object temporary) {
        normalized.attr("to_parquet")(temporary, "index"_a = false);
    });
    return path;
}

py::object load_table(py::object cls, py::object table_name, py::object cache_dir, py::object ns) {
    py::object path = cls.attr("cache_path")(table_name, cache_dir, ns);
    if (!truthy(os_path().attr("exists")(path))) {
        PyErr_SetObject(PyExc_FileNotFoundError, path.ptr());
        throw py::error_already_set();
    }
    return cls.attr("normalize_columns")(pandas().attr("read_parquet")(path));
}

py::object fetch_and_cache_table(py::object cls, py::object conn, py::object table_name,
                                 py::object cache_dir, py::object ns) {
    check_table_name(table_name);
    check_optional_text(cache_dir, "cache_dir");
    check_optional_text(ns, "namespace");
    py::object spec = cls.attr("TABLE_SPECS")[table_name];  // plain KeyError on the name
    py::object df = pandas().attr("read_sql")(spec["sql"], "con"_a = conn);
    py::object target = truthy(ns) ? ns : cls.attr("infer_namespace")(conn);
    cls.attr("save_table")(table_name, df, cache_dir, target);
    return cls.attr("normalize_columns")(df);
}

py::object refresh_cache(py::object cls, py::object conn, py::object cache_dir, py::object tables,
                         py::object ns) {
    check_optional_text(cache_dir, "cache_dir");
    check_optional_text(ns, "namespace");
    py::list names = truthy(tables) ? py::list(tables) : py::list(cls.attr("TABLE_SPECS"));
    for (py::handle name : names) check_table_name(name);
    py::object specs = cls.attr("TABLE_SPECS");
    for (py::handle name : names) {
        if (!specs.contains(name)) {
            PyErr_SetObject(PyExc_KeyError, name.ptr());
            throw py::error_already_set();
        }
    }
    py::object target = truthy(ns) ? ns : cls.attr("infer_namespace")(conn);
    py::dict result;
    for (py::handle name : names)
        result[name] = cls.attr("fetch_and_cache_table")(conn, name, cache_dir, target);
    return result;
}

py::object get_table(py::object cls, py::object table_name, py::object conn, py::object cache_dir,
                     py::object refresh, py::object ns) {
    check_table_name(table_name);
    check_optional_text(cache_dir, "cache_dir");
    check_optional_text(ns, "namespace");
    py::object target = truthy(ns) ? ns : cls.attr("infer_namespace")(conn);
    if (!conn.is_none()) {
        try {
            if (truthy(refresh))
                return cls.attr("fetch_and_cache_table")(conn, table_name, cache_dir, target);
            py::object path = cls.attr("cache_path")(table_name, cache_dir, target);
            if (!truthy(os_path().attr("exists")(path)))
                return cls.attr("fetch_and_cache_table")(conn, table_name, cache_dir, target);
        } catch (py::error_already_set& e) {
            if (!kelvane::is_ordinary(e)) throw;
            // the database could not answer: the cached file is the answer
        }
    }
    return cls.attr("load_table")(table_name, cache_dir, target);
}

py::object get_timeseries_info(py::object cls, py::object conn, py::object cache_dir,
                               py::object refresh, py::object ns) {
    check_optional_text(cache_dir, "cache_dir");
    check_optional_text(ns, "namespace");
    py::object target = truthy(ns) ? ns : cls.attr("infer_namespace")(conn);
    py::object get = cls.attr("get_table");
    py::object stations = get("stations", conn, cache_dir, refresh, target);
    py::object points = get("points", conn, cache_dir, refresh, target);
    py::object items = get("items", conn, cache_dir, refresh, target);
    return py::make_tuple(stations, points, items);
}

py::dict table_specs() {
    const char* rows[][3] = {
        {"methods", "methods.parquet", "SELECT METHODID, METHODNAME FROM QZDATA.QZ_DICT_METHODS"},
        {"stations", "stations.parquet",
         "SELECT STATIONID, STATIONNAME, LONGITUDE, LATITUDE FROM QZDATA.QZ_DICT_STATIONS"},
        {"points", "points.parquet",
         "SELECT STATIONID, POINTID, POINTNAME FROM QZDATA.QZ_DICT_STATIONPOINTS"},
        {"items", "items.parquet", "SELECT ITEMID, ITEMNAME, UNIT FROM QZDATA.QZ_DICT_ITEMS"},
        {"stationitems", "stationitems.parquet",
         "SELECT STATIONID, ITEMID FROM QZDATA.QZ_DICT_STATIONITEMS"},
    };
    py::dict specs;
    for (auto& row : rows) {
        py::dict spec;
        spec["filename"] = row[1];
        spec["sql"] = row[2];
        specs[row[0]] = spec;
    }
    return specs;
}

struct MetaStash {};

}  // namespace

KELVANE_MODULE(metastash, m) {
    m.doc() = "Local cache of the precursor database's dictionary tables.";
    py::object cls = py::class_<MetaStash>(m, "MetaStash", "时间序列元数据的本地缓存仓库。");
    cls.attr("TABLE_SPECS") = table_specs();

    def_classmethod(cls, "default_cache_dir",
                    [](py::object) { return default_cache_dir(); }, "cls"_a,
                    "默认缓存根目录 ~/.kelv/metastash。");
    def_classmethod(cls, "safe_namespace", &safe_namespace, "cls"_a, "namespace"_a = py::none(),
                    "将命名空间清理为安全的目录名，空结果为 None。");
    def_classmethod(cls, "infer_namespace", &infer_namespace, "cls"_a, "conn"_a = py::none(),
                    "从数据库连接推断缓存命名空间。");
    def_classmethod(cls, "resolve_cache_dir", &resolve_cache_dir, "cls"_a,
                    "cache_dir"_a = py::none(), "namespace"_a = py::none(),
                    "解析缓存目录的绝对路径（不创建目录）。");
    def_classmethod(cls, "cache_path", &cache_path, "cls"_a, "table_name"_a,
                    "cache_dir"_a = py::none(), "namespace"_a = py::none(),
                    "元数据表缓存文件的完整路径。");
    def_classmethod(cls, "ensure_cache_dir", &ensure_cache_dir, "cls"_a,
                    "cache_dir"_a = py::none(), "namespace"_a = py::none(),
                    "解析并创建缓存目录。");
    py::setattr(cls, "normalize_columns",
                py::reinterpret_steal<py::object>(PyStaticMethod_New(
                    py::cpp_function(&normalize_columns, py::name("normalize_columns"), "df"_a,
                                     "返回列名大写的副本。")
                        .ptr())));
    def_classmethod(cls, "save_table", &save_table, "cls"_a, "table_name"_a, "df"_a,
                    "cache_dir"_a = py::none(), "namespace"_a = py::none(),
                    "将元数据表写入本地缓存。");
    def_classmethod(cls, "load_table", &load_table, "cls"_a, "table_name"_a,
                    "cache_dir"_a = py::none(), "namespace"_a = py::none(),
                    "读取本地缓存的元数据表。");
    def_classmethod(cls, "fetch_and_cache_table", &fetch_and_cache_table, "cls"_a, "conn"_a,
                    "table_name"_a, "cache_dir"_a = py::none(), "namespace"_a = py::none(),
                    "从数据库读取元数据表并写入缓存。");
    def_classmethod(cls, "refresh_cache", &refresh_cache, "cls"_a, "conn"_a,
                    "cache_dir"_a = py::none(), "tables"_a = py::none(),
                    "namespace"_a = py::none(), "从数据库刷新元数据缓存。");
    def_classmethod(cls, "get_table", &get_table, "cls"_a, "table_name"_a, "conn"_a = py::none(),
                    "cache_dir"_a = py::none(), "refresh"_a = false, "namespace"_a = py::none(),
                    "获取元数据表：优先本地缓存，缺失或要求刷新时查询数据库。");
    def_classmethod(cls, "get_timeseries_info", &get_timeseries_info, "cls"_a,
                    "conn"_a = py::none(), "cache_dir"_a = py::none(), "refresh"_a = false,
                    "namespace"_a = py::none(), "获取站点、测点和测项元数据。");
}
