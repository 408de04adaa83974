// SQL text for the data and event-log reads: one SELECT per table, joined
// with UNION ALL.
#pragma once
#include "connect.hpp"
#include "core/sqltext.hpp"

#include <vector>

namespace kelvane::fetching {

// The values of one id column, as text; a missing column raises pandas'
// KeyError, a value that is not text a TypeError.
inline std::vector<std::string> id_column(py::object table, const char* column) {
    std::vector<std::string> ids;
    py::object values = table[py::str(column)].attr("tolist")();
    for (py::handle v : values) ids.push_back(require_text(v, std::string(column) + " values"));
    return ids;
}

using core::sql_quoted;

// " AND (STATIONID=12001 OR ...)": numeric ids bare, any other id quoted.
inline std::string station_fragment(py::object station_ids) {
    if (station_ids.is_none()) return {};
    std::string out = " AND (";
    bool first = true;
    for (const auto& id : id_column(station_ids, "stationid")) {
        if (!first) out += " OR ";
        first = false;
        out += "STATIONID=" + (core::is_ascii_digits(id) ? id : sql_quoted(id));
    }
    return out + ")";
}

inline std::string item_fragment(py::object item_ids) {
    if (item_ids.is_none()) return {};
    std::string out = " AND (";
    bool first = true;
    for (const auto& id : id_column(item_ids, "itemid")) {
        if (!first) out += " OR ";
        first = false;
        out += "ITEMID=" + sql_quoted(id);
    }
    return out + ")";
}

inline std::string point_fragment(py::object point_id) {
    if (!truthy(point_id)) return {};
    return " AND (POINTID=" + sql_quoted(to_text(point_id)) + ")";
}

// The day of a date argument as "%Y%m%d", as pandas.to_datetime reads it; a
// text that already is such a day (or "YYYY-MM-DD") is taken as it stands.
inline std::string day_text(py::object date) {
    if (PyUnicode_CheckExact(date.ptr())) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(date.ptr(), &size);
        if (data) {
            std::string day = core::compact_day({data, static_cast<std::size_t>(size)});
            if (!day.empty()) return day;
        } else {
            PyErr_Clear();  // no UTF-8 form: pandas says what is wrong with it
        }
    }
    auto pd = py::module_::import("pandas");
    return pd.attr("to_datetime")(date).attr("strftime")("%Y%m%d").cast<std::string>();
}

inline std::string select_range(const std::string& table, const std::string& start,
                                const std::string& end) {
    return "SELECT * FROM QZDATA." + table + " WHERE STARTDATE >= TO_DATE('" + start +
           "', 'yyyymmdd') AND STARTDATE < TO_DATE('" + end + "', 'yyyymmdd')+1";
}

// Joins one statement per table name; `tail` follows the date condition.
inline py::object union_all(py::object table_names, const std::string& start,
                            const std::string& end, const std::string& tail) {
    std::string sql;
    bool first = true;
    py::object names = table_names[py::str("table_name")].attr("tolist")();
    for (py::handle name : names) {
        if (!first) sql += " UNION ALL ";
        first = false;
        sql += select_range(to_text(name), start, end) + tail;
    }
    return py::str(sql);
}

inline bool no_tables(py::object table_names) {
    if (truthy(table_names.attr("empty"))) {
        logger().attr("error")("没有找到匹配的表名!");
        return true;
    }
    return false;
}

inline py::object build_data_query(py::object table_names, py::object start_date,
                                   py::object end_date, py::object station_ids,
                                   py::object item_ids, py::object point_id) {
    if (no_tables(table_names)) return py::none();
    std::string start = day_text(start_date), end = day_text(end_date);
    std::string station = station_fragment(station_ids);
    std::string point = point_fragment(point_id);
    std::string item = item_fragment(item_ids);
    return union_all(table_names, start, end, station + item + point);
}

inline py::object build_dialog_query(py::object table_names, py::object start_date,
                                     py::object end_date, py::object /*log_type*/,
                                     py::object station_ids, py::object item_ids) {
    if (no_tables(table_names)) return py::none();
    std::string start = day_text(start_date), end = day_text(end_date);
    std::string station = station_fragment(station_ids);
    std::string item = item_fragment(item_ids);
    return union_all(table_names, start, end, " AND EVTID IN (:evt_id)" + station + item);
}

struct QueryBuilder {};

inline void bind_query_builder(py::module_& m) {
    py::class_<QueryBuilder>(m, "QueryBuilder")
        .def_static("build_data_query", &build_data_query, "table_names"_a, "start_date"_a,
                    "end_date"_a, "station_ids"_a = py::none(), "item_ids"_a = py::none(),
                    "point_id"_a = "")
        .def_static("build_dialog_query", &build_dialog_query, "table_names"_a, "start_date"_a,
                    "end_date"_a, "log_type"_a, "station_ids"_a = py::none(),
                    "item_ids"_a = py::none());
}

}  // namespace kelvane::fetching
