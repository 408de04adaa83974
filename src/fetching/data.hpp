// The observation fetch: from the user's words and a date range to the
// time-series table, in one read of the data tables.
#pragma once
#include "catalogues.hpp"
#include "classes.hpp"
#include "connect.hpp"
#include "metadata.hpp"
#include "core/textops.hpp"

#include <optional>
#include <string_view>
#include <vector>

namespace kelvane::fetching {

// ---------------------------------------------------------------------------
// Python objects to core types and back

// UTF-8 view of a str object; the object must outlive the view.
inline std::string_view utf8_view(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) throw py::error_already_set();
    return {data, static_cast<std::size_t>(size)};
}

inline py::str utf8_str(std::string_view text) {
    PyObject* out = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    if (!out) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(out);
}

// The packed strings of compressed rows: None gives the empty text, anything
// else is gzip-decompressed and decoded as UTF-8 (invalid data raises).
inline py::list decompress_packed(const py::object& values) {
    py::object decompress = py::module_::import("gzip").attr("decompress");
    py::list out;
    py::str empty("");
    for (py::handle value : values) {
        if (value.is_none()) {
            out.append(empty);
            continue;
        }
        py::object raw = decompress(value);
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(raw.ptr(), &data, &size) != 0) throw py::error_already_set();
        out.append(utf8_str({data, static_cast<std::size_t>(size)}));
    }
    return out;
}

// Replaces `marker` by `replacement` inside every text cell of every text or
// object column of df, as a table-wide literal replacement would. Cells that
// are exactly the marker share one replacement object; columns without a hit
// are left as they are. Other cell types (bytes, numbers, None) are kept.
inline void replace_in_text_cells(py::object df, std::string_view marker,
                                  const std::string& replacement) {
    py::object api = pandas().attr("api").attr("types");
    py::object is_object = api.attr("is_object_dtype");
    py::object is_string = api.attr("is_string_dtype");
    py::object shared = utf8_str(replacement);
    py::object iloc = df.attr("iloc");
    const auto width = py::len(df.attr("columns"));
    for (std::size_t c = 0; c < width; ++c) {
        py::object column = iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()), c)];
        py::object dtype = column.attr("dtype");
        if (!truthy(is_object(dtype)) && !truthy(is_string(dtype))) continue;
        py::list cells = column.attr("tolist")();
        const auto n = static_cast<std::size_t>(py::len(cells));

        std::vector<std::string_view> views(n);
        std::vector<bool> is_text(n, false);
        for (std::size_t i = 0; i < n; ++i) {
            PyObject* cell = PyList_GET_ITEM(cells.ptr(), static_cast<Py_ssize_t>(i));
            if (PyUnicode_Check(cell)) {
                views[i] = utf8_view(cell);
                is_text[i] = true;
            }
        }
        std::vector<std::size_t> hits;
        {
            py::gil_scoped_release unlocked;  // the list keeps every text alive
            for (std::size_t i = 0; i < n; ++i)
                if (is_text[i] && core::find_literal(views[i], marker) != std::string_view::npos)
                    hits.push_back(i);
        }
        if (hits.empty()) continue;
        for (std::size_t i : hits) {
            py::object fresh = views[i] == marker
                                   ? shared
                                   : py::object(utf8_str(
                                         core::replace_literal(views[i], marker, replacement)));
            // PyList_SetItem steals the new reference and releases the old cell
            PyList_SetItem(cells.ptr(), static_cast<Py_ssize_t>(i), fresh.release().ptr());
        }
        py::object rebuilt = pandas().attr("Series")(cells, "index"_a = df.attr("index"),
                                                     "dtype"_a = dtype, "name"_a = column.attr("name"));
        df.attr("isetitem")(c, rebuilt);
    }
}

// Sample interval of the fetched rows: the rate code of the first row's
// SAMPLERATE when it is known, else the requested interval.
inline py::object sample_interval(const py::object& df, const py::object& configured) {
    if (!df.attr("columns").contains("SAMPLERATE")) return configured;
    py::object first = df[py::str("SAMPLERATE")].attr("iloc")[py::int_(0)];
    if (truthy(pandas().attr("isna")(first))) return configured;
    std::string stripped = py::str(first).attr("strip")().cast<std::string>();
    py::str code(core::rate_code(stripped));
    py::object rate = sample_rate_get_rate_by_id(code);
    if (rate.is_none()) {
        logger().attr("warning")(py::str("无法识别数据库中的采样率ID: ") + code +
                                 py::str(", 采用请求配置值"));
        return configured;
    }
    return rate;
}

inline void upper_index_name(const py::object& df) {
    py::object index = df.attr("index");
    py::object name = index.attr("name");
    if (truthy(name)) index.attr("name") = py::str(name).attr("upper")();
}

// ---------------------------------------------------------------------------
// DataFetcher.fetch_data

// What every statement of a request shares: the user's words resolved to the
// sample-rate record, the data tables and the station and item ids (None: no
// filter).
struct ResolvedRequest {
    py::object config;
    py::object table_names;
    py::object station_ids;
    py::object item_ids;
};

// The lookups of a request, in the order fetch_data makes them. Empty (after
// the log line) when the request cannot be served.
inline std::optional<ResolvedRequest> resolve_request(py::object conn, py::object method_name,
                                                      py::object station_name,
                                                      py::object data_type, py::object base_type,
                                                      py::object item_name) {
    py::module_ mod = self();
    py::object log = mod.attr("logger");
    py::object metadata = mod.attr("MetadataFetcher");
    log.attr("debug")("开始获取数据...");

    py::object method_ids = metadata.attr("get_method_ids")(conn, method_name);

    py::object config = mod.attr("SampleRateType").attr("get_config")(data_type);
    if (!truthy(config)) {
        log.attr("error")("未选择数据类型!");
        return std::nullopt;
    }
    py::object sample_rate_id = config["id"];
    py::object base_type_id = mod.attr("DatabaseType").attr("get_id")(base_type);
    if (!truthy(base_type_id)) {
        log.attr("error")("未选择数据库类型!");
        return std::nullopt;
    }

    py::object table_names =
        metadata.attr("get_table_names")(conn, method_ids, base_type_id, sample_rate_id);
    if (table_names.is_none() || truthy(table_names.attr("empty"))) {
        log.attr("debug")("未找到匹配的表名!");
        return std::nullopt;
    }
    py::object station_ids =
        is_all(station_name) ? py::none() : metadata.attr("get_station_ids")(conn, station_name);
    py::object item_ids =
        is_all(item_name) ? py::none() : metadata.attr("get_item_ids")(conn, item_name);
    return ResolvedRequest{config, table_names, station_ids, item_ids};
}

// One statement of a resolved request over [start_date, end_date] and the
// table made of its rows; None when no statement can be made. The sample
// interval used goes to *interval when given (0 for an empty result).
inline py::object fetch_resolved(const py::object& conn, const ResolvedRequest& request,
                                 py::object start_date, py::object end_date,
                                 py::object gzip_flag, py::object my_split_lines,
                                 py::object point_id, long long* interval_used = nullptr) {
    py::module_ mod = self();
    py::object log = mod.attr("logger");
    if (interval_used) *interval_used = 0;
    py::object sql = mod.attr("QueryBuilder").attr("build_data_query")(
        request.table_names, start_date, end_date, request.station_ids, request.item_ids,
        point_id);
    if (!truthy(sql)) {
        log.attr("error")("未生成SQL查询!");
        return py::none();
    }

    py::object df = read_sql(sql, conn);
    upper_columns(df);
    if (truthy(df.attr("empty"))) {
        log.attr("debug")("查询结果为空!");
        return df;
    }

    for (const char* key : {"STATIONID", "ITEMID", "POINTID"})
        df.attr("__setitem__")(key, df[py::str(key)].attr("astype")(py::str("str")));
    py::list order;
    for (const char* key : {"ITEMID", "STATIONID", "POINTID", "STARTDATE"}) order.append(key);
    df = df.attr("sort_values")("by"_a = order);

    py::object sampling_rate = sample_interval(df, request.config["rate"]);
    const long long interval = sampling_rate.cast<long long>();
    if (interval_used) *interval_used = interval;
    const std::string null_day = core::null_day_text(interval);

    if (truthy(gzip_flag) && interval <= 60)
        df.attr("__setitem__")("OBSVALUE", decompress_packed(df[py::str("OBSVALUE")].attr("tolist")()));

    replace_in_text_cells(df, "NULLALL", null_day);

    if (!truthy(df.attr("empty")) && truthy(my_split_lines))
        df = mod.attr("tsc").attr("split_lines")(df, sampling_rate);

    upper_columns(df);
    upper_index_name(df);
    log.attr("debug")("数据获取完成...");
    return df;
}

inline py::object fetch_data(py::object conn, py::object start_date, py::object end_date,
                             py::object method_name, py::object station_name, py::object data_type,
                             py::object base_type, py::object item_name, py::object gzip_flag,
                             py::object my_split_lines, py::object point_id) {
    std::optional<ResolvedRequest> request =
        resolve_request(conn, method_name, station_name, data_type, base_type, item_name);
    if (!request) return py::none();
    return fetch_resolved(conn, *request, start_date, end_date, gzip_flag, my_split_lines,
                          point_id);
}

inline void bind_data_fetcher(py::module_& m) {
    data_fetcher_class(m).def_static(
        "fetch_data", &fetch_data, "conn"_a, "start_date"_a, "end_date"_a, "method_name"_a,
        "station_name"_a, "data_type"_a, "base_type"_a, "item_name"_a = "全部",
        "gzip_flag"_a = false, "my_split_lines"_a = true, "point_id"_a = "",
        "获取时序数据");
}

}  // namespace kelvane::fetching
