// Module-level functions: the older calling style and three preset requests
// used in daily work.
#pragma once
#include "core/ids.hpp"
#include "classes.hpp"
#include "connect.hpp"
#include "metadata.hpp"

namespace kelvane::fetching {

// Today shifted by `days_back` days, as eight digits (year, month, day).
inline py::object day_stamp(py::object days_back) {
    auto dt = py::module_::import("datetime");
    py::object now = dt.attr("datetime").attr("now")();
    py::object shift = dt.attr("timedelta")("days"_a = days_back.attr("__neg__")());
    return now.attr("__add__")(shift).attr("strftime")("%Y%m%d");
}

inline py::object today_stamp() { return day_stamp(py::int_(0)); }

inline py::object timeseries_info(py::object conn, py::object cache_dir, py::object refresh_cache) {
    return self().attr("MetadataFetcher").attr("get_timeseries_info")(
        conn, "cache_dir"_a = cache_dir, "refresh_cache"_a = refresh_cache);
}

inline py::object refresh_metastash(py::object conn, py::object cache_dir, py::object tables) {
    return self().attr("MetaStash").attr("refresh_cache")("conn"_a = conn, "cache_dir"_a = cache_dir,
                                                          "tables"_a = tables);
}

inline py::object fetching_data(py::object conn, py::object startdate, py::object enddate,
                                py::object methodname, py::object stationname, py::object data_type,
                                py::object base_type, py::object itemname, py::object gzip_flag,
                                py::object my_split_lines, py::object pointid) {
    return self().attr("DataFetcher").attr("fetch_data")(
        conn, startdate, enddate, methodname, stationname, data_type, base_type,
        "item_name"_a = itemname, "gzip_flag"_a = gzip_flag, "my_split_lines"_a = my_split_lines,
        "point_id"_a = pointid);
}

inline py::object load_daily(py::object conn, py::object period, py::object is_preprocessed,
                             py::object item, py::object datatype, py::object gzip_flag) {
    py::object start = day_stamp(period);
    py::object end = today_stamp();
    return self().attr("fetching_data")(conn, start, end, item, "全部", datatype, is_preprocessed,
                                        "gzip_flag"_a = gzip_flag);
}

inline py::object load_resistivity_year(py::object conn, py::object date_0) {
    py::object df = self().attr("fetching_data")(conn, date_0, today_stamp(), "直流单装置地电阻率",
                                                 "全部", "小时值", "预处理库");
    if (!df.is_none() && truthy(df.attr("empty"))) return df;  // nothing to blank out
    py::list items;
    items.append(core::ids::kResistivityNS);
    items.append(core::ids::kResistivityEW);
    py::object station = df[py::str("STATIONID")].attr("__eq__")(py::str(core::ids::kFaultyResistivityStation));
    py::object item = df[py::str("ITEMID")].attr("isin")(items);
    py::object low = df[py::str("OBSVALUE")].attr("__lt__")(core::ids::kFaultyResistivityBelow);
    py::object bad = station.attr("__and__")(item).attr("__and__")(low);
    df.attr("loc").attr("__setitem__")(py::make_tuple(bad, "OBSVALUE"),
                                       py::module_::import("numpy").attr("nan"));
    return df;
}

inline py::object load_water_year(py::object conn) {
    py::object df = self().attr("fetching_data")(conn, "20090101", today_stamp(), "水位", "郯城",
                                                 "日均值", "预处理库");
    df = df.attr("replace")("37005h", "37005H", "regex"_a = true);
    df.attr("__setitem__")("OBSVALUE", df[py::str("OBSVALUE")].attr("astype")("float32"));
    py::object index = df.attr("index");
    py::object days = pandas().attr("date_range")(index.attr("min")(), index.attr("max")());
    return df.attr("reindex")(days).attr("bfill")();
}

inline void bind_convenience(py::module_& m) {
    m.def("timeseries_info", &timeseries_info, "conn"_a = py::none(), "cache_dir"_a = py::none(),
          "refresh_cache"_a = false, "获取时间序列信息");
    m.def("refresh_metastash", &refresh_metastash, "conn"_a, "cache_dir"_a = py::none(),
          "tables"_a = py::none(), "刷新本地元数据缓存。");
    m.def("load_Oracle_data_daily", &load_daily, "conn"_a, "period"_a, "is_preprocessed"_a,
          "item"_a, "datatype"_a, "gzip_flag"_a = false, "加载每日Oracle数据");
    m.def("load_Oracle_data_resistivity_year", &load_resistivity_year, "conn"_a,
          "date_0"_a = "20090101", "加载年度电阻率数据");
    m.def("load_Oracle_data_water_year", &load_water_year, "conn"_a, "加载年度水位数据");
    m.def("fetching_data", &fetching_data, "conn"_a, "startdate"_a, "enddate"_a, "methodname"_a,
          "stationname"_a, "data_type"_a, "base_type"_a, "itemname"_a = "全部",
          "gzip_flag"_a = false, "my_split_lines"_a = true, "pointid"_a = "",
          "获取数据的兼容接口");
}

}  // namespace kelvane::fetching
