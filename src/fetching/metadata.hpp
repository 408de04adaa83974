// Metadata lookups: method, station and item words to database ids, and the
// data tables of a method. The name lookups answer from the local metadata
// cache when the database cannot.
#pragma once
#include "core/ids.hpp"
#include "classes.hpp"
#include "connect.hpp"
#include "dbread.hpp"
#include "core/sqltext.hpp"
#include "core/textops.hpp"

#include <pybind11/numpy.h>

#include <array>
#include <cstdint>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace kelvane::fetching {

inline py::object meta_stash() { return self().attr("MetaStash"); }

inline py::object cached_table(const char* key, const py::object& conn,
                               const py::object& cache_dir) {
    return meta_stash().attr("get_table")(key, "conn"_a = conn, "cache_dir"_a = cache_dir);
}

// The same table with lower-case column labels.
inline py::object lower_columns(py::object df) {
    py::list lower;
    for (py::handle label : df.attr("columns")) lower.append(py::str(label).attr("lower")());
    df.attr("columns") = lower;
    return df;
}

// A column as text, its missing values kept missing (pandas 2 writes them as
// the words "None" and "nan", which no lookup may match or cut).
inline py::object as_text(py::object column) {
    return column.attr("astype")(py::str("str")).attr("where")(column.attr("notna")());
}

// Rows of `table` whose `column`, as text, contains `pattern` (pandas pattern
// semantics; missing values do not match).
inline py::object rows_containing(py::object table, const char* column, py::object pattern) {
    py::object mask = as_text(table[py::str(column)]).attr("str").attr("contains")(pattern, "na"_a = false);
    return table[mask];
}

inline const char* domain_digit(const py::object& method_name) {
    if (text_equals(method_name, "形变")) return "2";
    if (text_equals(method_name, "电磁")) return "3";
    if (text_equals(method_name, "流体")) return "4";
    return nullptr;
}

inline bool is_all(const py::object& value) { return text_equals(value, "全部"); }

// The methods statement of a method word and its bind values (None: none).
inline std::pair<py::str, py::object> methods_statement(const py::object& method_name) {
    if (const char* digit = domain_digit(method_name)) {
        return {py::str("SELECT SUBSTR(ITEMID, 1, 3) AS methodid FROM QZDATA.QZ_DICT_STATIONITEMS "
                        "WHERE SUBSTR(ITEMID, 1, 1) = '" + std::string(digit) + "'"),
                py::none()};
    }
    if (is_all(method_name))
        return {py::str("SELECT SUBSTR(ITEMID, 1, 3) AS methodid FROM QZDATA.QZ_DICT_STATIONITEMS"), py::none()};
    py::dict params;
    params["methodname"] = method_name;
    return {py::str("SELECT METHODID AS methodid FROM QZDATA.QZ_DICT_METHODS "
                    "WHERE METHODNAME LIKE '%' || :methodname || '%'"),
            params};
}

// Rows kept by a row selection, as pandas labels them: a selection that keeps
// every row keeps the labels as they are, any other takes them by position.
inline py::object kept_labels(const py::object& labels, const std::vector<std::int64_t>& kept,
                              std::size_t rows) {
    if (kept.size() == rows) return labels;
    return labels.attr("take")(py::array_t<std::int64_t>(kept.size(), kept.data()));
}

// The method-id table of a database answer whose cells are all texts, as the
// pandas steps of get_method_ids make it of the table read_sql gives: the
// first of equal ids kept, "417" removed (nothing missing to drop), the
// kept rows' labels. None for any other answer, which takes those steps.
inline py::object method_ids_from_texts(const StatementRows& got) {
    if (py::len(got.names) != 1 || py::len(got.rows) == 0) return py::none();
    py::object label = py::str(got.names[0]).attr("lower")();
    std::vector<std::string_view> texts;
    if (!text_equals(label, "methodid") || !text_cells(got.rows, texts)) return py::none();
    py::object labels = pandas().attr("RangeIndex")(texts.size());

    std::vector<std::int64_t> first;  // positions of the first of equal ids
    std::unordered_set<std::string_view> seen;
    for (std::size_t i = 0; i < texts.size(); ++i)
        if (seen.insert(texts[i]).second) first.push_back(static_cast<std::int64_t>(i));
    labels = kept_labels(labels, first, texts.size());

    std::vector<std::int64_t> kept;  // positions among those
    py::list values;
    for (std::size_t j = 0; j < first.size(); ++j) {
        const auto row = static_cast<std::size_t>(first[j]);
        if (texts[row] == core::ids::kWeatherMethod) continue;
        kept.push_back(static_cast<std::int64_t>(j));
        values.append(got.rows[row][py::int_(0)]);
    }
    labels = kept_labels(labels, kept, first.size());
    py::dict columns;
    columns[label] = values;
    return pandas().attr("DataFrame")(columns, "index"_a = labels);
}

// The method ids from the database: the finished table (true) when the
// answer could be taken apart here, else the table read_sql gives.
inline std::pair<py::object, bool> method_ids_from_database(const py::object& conn,
                                                            const py::object& method_name) {
    auto [sql, params] = methods_statement(method_name);
    if (!is_sqlalchemy_connection(conn)) return {lower_columns(read_sql(sql, conn, params)), false};
    StatementRows got = run_statement(conn, sql, params);
    py::object done = method_ids_from_texts(got);
    if (!done.is_none()) return {done, true};
    return {lower_columns(frame_from_rows(got.rows, got.names)), false};
}

inline py::object method_ids_from_cache(const py::object& conn, const py::object& method_name,
                                        const py::object& cache_dir) {
    py::object pairs = cached_table("stationitems", conn, cache_dir);
    py::object methods = cached_table("methods", conn, cache_dir);
    auto DataFrame = pandas().attr("DataFrame");
    auto prefix = [&](py::object rows) {
        py::object ids = as_text(rows[py::str("ITEMID")]);
        py::dict columns;
        columns["methodid"] = ids.attr("str").attr("slice")(0, 3);
        return DataFrame(columns);
    };
    if (const char* digit = domain_digit(method_name)) {
        py::object mask = as_text(pairs[py::str("ITEMID")]).attr("str").attr("startswith")(digit, "na"_a = false);
        return prefix(pairs[mask]);
    }
    if (is_all(method_name)) return prefix(pairs);
    py::object hits = rows_containing(methods, "METHODNAME", method_name);
    py::list keep;
    keep.append("METHODID");
    py::dict rename;
    rename["METHODID"] = "methodid";
    return hits[keep].attr("rename")("columns"_a = rename);
}

inline py::object get_method_ids(py::object conn, py::object method_name, py::object cache_dir) {
    py::object ids;
    try {
        auto [table, finished] = method_ids_from_database(conn, method_name);
        if (finished) return table;
        ids = table;
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        ids = method_ids_from_cache(conn, method_name, cache_dir);
    }
    ids = ids.attr("drop_duplicates")("subset"_a = "methodid", "keep"_a = "first");
    py::object as_text = ids[py::str("methodid")].attr("astype")(py::str("str"));
    ids = ids[as_text.attr("__ne__")(py::str(core::ids::kWeatherMethod))];
    ids = ids.attr("dropna")();
    ids.attr("__setitem__")("methodid", ids[py::str("methodid")].attr("astype")(py::str("str")));
    return ids;
}

// One id column as a one-column table with a lower-case label.
inline py::object id_column_of(py::object table, const char* column) {
    py::list keep;
    keep.append(column);
    return lower_columns(table[keep]);
}

inline py::object get_station_ids(py::object conn, py::object station_name, py::object cache_dir) {
    if (is_all(station_name)) return py::none();
    try {
        py::dict params;
        params["stationname"] = station_name;
        return lower_columns(read_sql(py::str("SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS "
                                              "WHERE STATIONNAME LIKE '%' || :stationname || '%'"),
                                      conn, params));
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
    }
    py::object stations = cached_table("stations", conn, cache_dir);
    return id_column_of(rows_containing(stations, "STATIONNAME", station_name), "STATIONID");
}

// The items-by-list statement: every name quoted, a quote inside a name doubled.
inline std::string items_in_list_sql(const py::list& names) {
    std::string sql = "SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMNAME IN (";
    bool first = true;
    for (py::handle name : names) {
        if (!first) sql += ",";
        first = false;
        sql += core::sql_quoted(require_text(name, "item names"));
    }
    return sql + ")";
}

inline py::object get_item_ids(py::object conn, py::object item_name, py::object cache_dir) {
    if (is_all(item_name)) return py::none();
    const bool is_text = PyUnicode_Check(item_name.ptr());
    const bool is_list = PyList_Check(item_name.ptr());
    if (!is_text && !is_list) {
        throw py::type_error("item_name must be text or a list of texts, got " +
                             kelvane::type_name(item_name));
    }
    try {
        if (is_text) {
            py::dict params;
            params["itemname"] = item_name;
            return lower_columns(read_sql(py::str("SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS "
                                                  "WHERE ITEMNAME LIKE '%' || :itemname || '%'"),
                                          conn, params));
        }
        return lower_columns(read_sql(py::str(items_in_list_sql(item_name)), conn));
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
    }
    py::object items = cached_table("items", conn, cache_dir);
    py::object hits = is_text
                          ? rows_containing(items, "ITEMNAME", item_name)
                          : items[items[py::str("ITEMNAME")].attr("isin")(item_name)];
    return id_column_of(hits, "ITEMID");
}

// The table-name table of database answers whose cells are all texts under
// one label, as the pandas steps of get_table_names make it of the tables
// read_sql gives: the answers one after the other, numbered anew, without
// the names holding "_DEV_". None for any other answers.
inline py::object table_names_from_texts(const std::vector<StatementRows>& answers) {
    if (answers.empty()) return py::none();
    py::object label = answers.front().names;
    std::vector<std::string_view> texts, part;
    std::vector<py::object> cells;
    for (const StatementRows& got : answers) {
        if (!got.names.equal(label) || py::len(got.names) != 1 || !text_cells(got.rows, part))
            return py::none();
        texts.insert(texts.end(), part.begin(), part.end());
        for (py::handle row : got.rows) cells.push_back(row[py::int_(0)]);
    }
    py::object lower = py::str(py::list(label)[0]).attr("lower")();
    if (texts.empty() || !text_equals(lower, "table_name")) return py::none();
    std::vector<std::int64_t> kept;
    py::list values;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (core::find_literal(texts[i], "_DEV_") != std::string_view::npos) continue;
        kept.push_back(static_cast<std::int64_t>(i));
        values.append(cells[i]);
    }
    py::object labels = kept_labels(pandas().attr("RangeIndex")(texts.size()), kept, texts.size());
    py::dict columns;
    columns[lower] = values;
    return pandas().attr("DataFrame")(columns, "index"_a = labels);
}

inline py::object get_table_names(py::object conn, py::object method_ids, py::object base_type_id,
                                  py::object sample_rate_id) {
    const std::string base_sql =
        "SELECT TABLE_NAME FROM ALL_TABLES WHERE TABLE_NAME LIKE '%' || :base_type_id || '%' "
        "AND TABLE_NAME LIKE '%' || :sample_rate_id || '%' "
        "AND TABLE_NAME LIKE '%' || :methodid || '%'";
    const bool product = text_equals(base_type_id, "CP");
    const bool direct = is_sqlalchemy_connection(conn);
    std::vector<StatementRows> answers;
    py::list parts;
    for (py::handle method_id : method_ids[py::str("methodid")]) {
        py::dict params;
        params["base_type_id"] = base_type_id;
        params["sample_rate_id"] = sample_rate_id;
        params["methodid"] = method_id;
        std::string sql = base_sql;
        if (product) {
            const std::array<const char*, 2> keywords{"AVG", "INS"};
            std::string conditions;
            for (std::size_t i = 0; i < keywords.size(); ++i) {
                std::string name = "kw" + std::to_string(i + 1);
                params[py::str(name)] = keywords[i];
                if (i) conditions += " OR ";
                conditions += "TABLE_NAME LIKE '%' || :" + name + " || '%'";
            }
            sql += " AND (" + conditions + ")";
        }
        if (direct) answers.push_back(run_statement(conn, py::str(sql), params));
        else parts.append(read_sql(py::str(sql), conn, params));
    }
    if (direct) {
        py::object done = table_names_from_texts(answers);
        if (!done.is_none()) return done;
        for (const StatementRows& got : answers) parts.append(frame_from_rows(got.rows, got.names));
    }
    if (py::len(parts) == 0) return py::none();
    py::object names = lower_columns(pandas().attr("concat")(parts, "ignore_index"_a = true));
    py::object dev = names[py::str("table_name")].attr("astype")(py::str("str")).attr("str").attr(
        "contains")("_DEV_", "regex"_a = false, "na"_a = false);
    return names[dev.attr("__invert__")()];
}

inline py::object get_timeseries_info(py::object conn, py::object cache_dir, py::object refresh) {
    py::object stash = meta_stash();
    try {
        return stash.attr("get_timeseries_info")("conn"_a = conn, "cache_dir"_a = cache_dir,
                                                 "refresh"_a = refresh);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_FileNotFoundError)) throw;
        py::object folder =
            stash.attr("resolve_cache_dir")(cache_dir, stash.attr("infer_namespace")(conn));
        std::string message = "未找到本地元数据缓存，请先联网执行 refresh_metastash()。缓存目录: " +
                              to_text(folder);
        py::raise_from(e, PyExc_RuntimeError, message.c_str());
        throw py::error_already_set();
    }
}

inline void normalize_dataframe_columns(py::iterable dataframes) {
    for (py::handle df : dataframes) {
        upper_labels(py::reinterpret_borrow<py::object>(df));
    }
}

inline void bind_metadata_fetcher(py::module_& m) {
    py::class_<MetadataFetcher>(m, "MetadataFetcher", "元数据获取类")
        .def_static("get_timeseries_info", &get_timeseries_info, "conn"_a = py::none(),
                    "cache_dir"_a = py::none(), "refresh_cache"_a = false, "获取时间序列元数据信息")
        .def_static("get_method_ids", &get_method_ids, "conn"_a, "method_name"_a = "全部",
                    "cache_dir"_a = py::none(),
                    "获取方法ID列表，数据库不可用时回退到本地缓存。")
        .def_static("get_station_ids", &get_station_ids, "conn"_a, "station_name"_a = "全部",
                    "cache_dir"_a = py::none(),
                    "获取站点ID列表，数据库不可用时回退到本地缓存。")
        .def_static("get_item_ids", &get_item_ids, "conn"_a, "item_name"_a = "全部",
                    "cache_dir"_a = py::none(),
                    "获取监测项ID列表，数据库不可用时回退到本地缓存。")
        .def_static("get_table_names", &get_table_names, "conn"_a, "method_ids"_a,
                    "base_type_id"_a, "sample_rate_id"_a, "获取表名列表")
        .def_static("_normalize_dataframe_columns", &normalize_dataframe_columns, "dataframes"_a,
                    "将DataFrame的列名标准化为大写");
}

}  // namespace kelvane::fetching
