// The event-log fetch, and the bridge from a fetched table to a VELD file
// that carries the station and item records of the ids it holds.
#pragma once
#include "classes.hpp"
#include "connect.hpp"
#include "metadata.hpp"

namespace kelvane::fetching {

namespace dialog_detail {

inline const char* const TABLE_SEARCH =
    "SELECT TABLE_NAME FROM ALL_TABLES WHERE TABLE_NAME LIKE '%' || :base_type_id || '%' "
    "AND TABLE_NAME LIKE '%' || :method_id || '%'";

// The lookups as the module holds them at call time.
inline py::object metadata_fetcher() { return self().attr("MetadataFetcher"); }

// The event-log tables of the given methods, without "_DEV_" tables; None
// when there is none.
inline py::object event_log_tables(const py::object& conn, const py::object& method_ids) {
    py::list found;
    py::str sql(TABLE_SEARCH);
    for (py::handle code : method_ids[py::str("methodid")].attr("tolist")()) {
        py::dict params;
        params["base_type_id"] = "DLG";
        params["method_id"] = code;
        found.append(lower_columns(read_sql(sql, conn, params)));
    }
    if (py::len(found) == 0) return py::none();
    py::object names = pandas().attr("concat")(found);
    py::object dev = names[py::str("table_name")].attr("str").attr("contains")(
        "_DEV_", "regex"_a = false);
    names = names[dev.attr("__invert__")()];
    if (truthy(names.attr("empty"))) return py::none();
    return names;
}

// The rows of a dictionary table whose `column` holds one of `ids`, as records.
inline py::object records_of(const py::object& dictionary, const char* column,
                             const py::object& ids) {
    py::object mask = dictionary[py::str(column)].attr("isin")(ids);
    return dictionary[mask].attr("to_dict")("orient"_a = "records");
}

}  // namespace dialog_detail

inline py::object fetch_dialog(py::object conn, py::object start_date, py::object end_date,
                               py::object method_name, py::object station_name,
                               py::object item_name, py::object log_type) {
    using dialog_detail::metadata_fetcher;
    py::object lookups = metadata_fetcher();
    py::object method_ids = lookups.attr("get_method_ids")(conn, method_name);
    py::object station_ids =
        is_all(station_name) ? py::none() : lookups.attr("get_station_ids")(conn, station_name);
    py::object item_ids =
        is_all(item_name) ? py::none() : lookups.attr("get_item_ids")(conn, item_name);

    py::object table_names = dialog_detail::event_log_tables(conn, method_ids);
    if (table_names.is_none()) {
        logger().attr("warning")("未找到匹配的表名!");
        return py::none();
    }
    py::object sql = self().attr("QueryBuilder").attr("build_dialog_query")(
        table_names, start_date, end_date, log_type, station_ids, item_ids);
    if (!truthy(sql)) {
        logger().attr("error")("未生成SQL查询!");
        return py::none();
    }
    py::dict params;
    params["evt_id"] = log_type;
    return lower_columns(read_sql(sql, conn, params));
}

inline py::object veld_table(py::object conn, py::object df, py::object sampling_rate) {
    using dialog_detail::metadata_fetcher;
    if (df.is_none() || truthy(df.attr("empty"))) return py::none();
    py::tuple info = py::tuple(metadata_fetcher().attr("get_timeseries_info")(conn));
    if (py::len(info) != 3) {
        throw py::value_error("get_timeseries_info must give stations, points and items");
    }
    py::object station_ids = df[py::str("STATIONID")].attr("unique")();
    py::object item_ids = df[py::str("ITEMID")].attr("unique")();

    py::dict record;
    record["station_info"] = dialog_detail::records_of(info[0], "STATIONID", station_ids);
    record["item_info"] = dialog_detail::records_of(info[2], "ITEMID", item_ids);
    record["sampling_rate"] = sampling_rate;
    record["export_time"] =
        py::module_::import("datetime").attr("datetime").attr("now")().attr("isoformat")();
    return self().attr("tse").attr("to_veld")(df, "metadata"_a = record);
}

inline py::object export_veld_file(py::object conn, py::object df, py::object file_path,
                                   py::object sampling_rate) {
    py::object table =
        self().attr("DataFetcher").attr("to_veld")(conn, df, sampling_rate);
    if (!truthy(table)) {
        logger().attr("error")("导出失败：无法生成 VELD Table");
        return py::none();
    }
    py::object pq = py::module_::import("pyarrow.parquet");
    write_atomically(file_path, [&](py::object path) { pq.attr("write_table")(table, path); });
    logger().attr("info")("数据已自动关联元数据并导出至: " + to_text(file_path));
    return py::none();
}

inline py::object fetching_dialog(py::object conn, py::object startdate, py::object enddate,
                                  py::object methodname, py::object stationname,
                                  py::object itemname, py::object log_type) {
    return self().attr("DataFetcher").attr("fetch_dialog")(conn, startdate, enddate, methodname,
                                                          stationname, itemname, log_type);
}

inline void bind_dialog(py::module_& m) {
    data_fetcher_class(m)
        .def_static("fetch_dialog", &fetch_dialog, "conn"_a, "start_date"_a, "end_date"_a,
                    "method_name"_a = "全部", "station_name"_a = "全部",
                    "item_name"_a = "全部", "log_type"_a = "313", "获取事件日志数据")
        .def_static("to_veld", &veld_table, "conn"_a, "df"_a, "sampling_rate"_a,
                    "关联台站与测项元数据，生成 VELD Table")
        .def_static("export_veld", &export_veld_file, "conn"_a, "df"_a, "file_path"_a,
                    "sampling_rate"_a, "关联元数据并导出为 VELD Parquet 文件");

    // The date defaults are fixed when the module loads: the day before and
    // the moment of loading.
    py::object datetime = py::module_::import("datetime");
    py::object loaded = datetime.attr("datetime").attr("now")();
    py::object day_before = loaded + datetime.attr("timedelta")("days"_a = -1);
    m.def("fetching_dialog", &fetching_dialog, "conn"_a, "startdate"_a = day_before,
          "enddate"_a = loaded, "methodname"_a = "全部", "stationname"_a = "全部",
          "itemname"_a = "全部", "log_type"_a = "313", "获取日志数据的兼容接口");
}

}  // namespace kelvane::fetching
