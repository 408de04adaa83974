// The observation fetch: from the user's words and a date range to the
// time-series table, in one read of the data tables.
#pragma once
#include "catalogues.hpp"
#include "classes.hpp"
#include "connect.hpp"
#include "dbread.hpp"
#include "metadata.hpp"
#include "core/textops.hpp"

#include <pybind11/numpy.h>

#include <datetime.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
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

// The cells of a one-dimensional numpy object array, read without a Python
// object per access; `set` is for arrays made here (a read-only view of a
// table's column is only read).
class ObjectCells {
public:
    explicit ObjectCells(py::array array) : array_(std::move(array)) {
        if (array_.ndim() != 1 || array_.dtype().kind() != 'O') throw py::type_error("an object array is needed");
        base_ = static_cast<char*>(const_cast<void*>(array_.data()));
        stride_ = array_.strides(0);
        size_ = static_cast<std::size_t>(array_.shape(0));
    }
    std::size_t size() const { return size_; }
    PyObject* get(std::size_t i) const { return *slot(i); }
    // Puts a new reference to `value` in cell i and releases the old one.
    void set(std::size_t i, py::handle value) {
        PyObject** at = slot(i);
        PyObject* old = *at;
        *at = py::reinterpret_borrow<py::object>(value).release().ptr();
        Py_XDECREF(old);
    }
    const py::array& array() const { return array_; }

private:
    PyObject** slot(std::size_t i) const {
        return reinterpret_cast<PyObject**>(base_ + static_cast<py::ssize_t>(i) * stride_);
    }
    py::array array_;
    char* base_ = nullptr;
    py::ssize_t stride_ = 0;
    std::size_t size_ = 0;
};

// A new object array of n cells, each None.
inline ObjectCells object_cells(std::size_t n) {
    return ObjectCells(py::module_::import("numpy").attr("empty")(n, "dtype"_a = "object"));
}

// The packed strings of compressed rows: None gives the empty text, anything
// else is gzip-decompressed and decoded as UTF-8 (invalid data raises).
inline ObjectCells decompress_packed(const py::handle& values) {
    py::object decompress = py::module_::import("gzip").attr("decompress");
    ObjectCells out = object_cells(static_cast<std::size_t>(py::len(values)));
    py::str empty("");
    std::size_t i = 0;
    for (py::handle value : values) {
        if (value.is_none()) {
            out.set(i++, empty);
            continue;
        }
        py::object raw = decompress(value);
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(raw.ptr(), &data, &size) != 0) throw py::error_already_set();
        out.set(i++, utf8_str({data, static_cast<std::size_t>(size)}));
    }
    return out;
}

// Positions of the str cells holding `marker`. Cells of other types (bytes,
// numbers, None) never match.
inline std::vector<std::size_t> marker_hits(const ObjectCells& cells, std::string_view marker) {
    const std::size_t n = cells.size();
    std::vector<std::string_view> views(n);
    std::vector<char> is_text(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* cell = cells.get(i);
        if (cell && PyUnicode_Check(cell)) {
            views[i] = utf8_view(cell);
            is_text[i] = 1;
        }
    }
    std::vector<std::size_t> hits;
    py::gil_scoped_release unlocked;  // the array keeps every text alive
    for (std::size_t i = 0; i < n; ++i)
        if (is_text[i] && core::find_literal(views[i], marker) != std::string_view::npos) hits.push_back(i);
    return hits;
}

// Replaces `marker` by `replacement` inside the str cells at `hits`, as a
// literal replacement would; cells that are exactly the marker share
// `shared`, a str holding the replacement.
inline void replace_at(ObjectCells& cells, const std::vector<std::size_t>& hits, std::string_view marker,
                       const std::string& replacement, const py::object& shared) {
    for (std::size_t i : hits) {
        const std::string_view text = utf8_view(cells.get(i));
        if (text == marker) cells.set(i, shared);
        else cells.set(i, utf8_str(core::replace_literal(text, marker, replacement)));
    }
}

// Replaces `marker` by `replacement` inside every text cell of every text or
// object column of df but the one at position `skip`, as a table-wide
// literal replacement would. Object columns are read through their numpy
// array and copied only when a cell changes; text columns are searched and
// rewritten by pandas' own string methods. Columns without a hit are left
// as they are.
inline void replace_in_text_cells(py::object df, std::string_view marker,
                                  const std::string& replacement, py::ssize_t skip = -1) {
    py::object api = pandas().attr("api").attr("types");
    py::object is_object = api.attr("is_object_dtype");
    py::object is_string = api.attr("is_string_dtype");
    py::object shared = utf8_str(replacement);
    py::str marker_text = utf8_str(marker);
    py::ssize_t c = -1;
    for (py::handle item : df.attr("items")()) {  // (label, column) in column order
        if (++c == skip) continue;
        py::object column = py::reinterpret_borrow<py::tuple>(item)[1];
        py::object dtype = column.attr("dtype");
        if (truthy(is_object(dtype))) {
            ObjectCells cells(column.attr("to_numpy")());
            const std::vector<std::size_t> hits = marker_hits(cells, marker);
            if (hits.empty()) continue;
            ObjectCells fresh(cells.array().attr("copy")());
            replace_at(fresh, hits, marker, replacement, shared);
            df.attr("isetitem")(c, pandas().attr("Series")(fresh.array(), "index"_a = df.attr("index"),
                                                           "dtype"_a = dtype, "name"_a = column.attr("name")));
        } else if (truthy(is_string(dtype))) {
            py::object text = column.attr("str");
            if (!truthy(text.attr("contains")(marker_text, "regex"_a = false, "na"_a = false).attr("any")())) continue;
            df.attr("isetitem")(c, text.attr("replace")(marker_text, shared, "regex"_a = false));
        }
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

// ---------------------------------------------------------------------------
// Daily rows taken apart in C++: rows whose columns have the usual types are
// sorted and their packed strings expanded before pandas sees them, and the
// packed strings reach the split as the driver's own str objects (pandas
// would first copy them into a text column and the expansion copy them out
// again). The table is the one the pandas steps give.

namespace daily_detail {

// Positions of the columns the fetch works on among the statement's columns.
struct KeyColumns {
    py::ssize_t station = -1, point = -1, item = -1, start = -1, obs = -1;
};

// What the OBSVALUE cells of the rows hold: texts (str or None, one str at
// least), bytes (bytes or None, one bytes at least), only None, or anything else.
enum class Cells { none, text, bytes, other };

inline Cells merge(Cells seen, Cells cell) {
    if (cell == Cells::none) return seen;
    if (seen == Cells::none || seen == cell) return cell;
    return Cells::other;
}

inline Cells cell_kind(PyObject* cell) {
    if (cell == Py_None) return Cells::none;
    if (PyBytes_CheckExact(cell)) return Cells::bytes;
    if (!PyUnicode_CheckExact(cell)) return Cells::other;
    if (!PyUnicode_AsUTF8AndSize(cell, nullptr)) {  // a lone surrogate: no UTF-8 form
        PyErr_Clear();
        return Cells::other;
    }
    return Cells::text;
}

// The sort key of one row: the three ids as UTF-8 (whose byte order is the
// code-point order pandas sorts text by) and the start as a number that
// orders as the date-time does.
struct RowKey {
    std::string_view item, station, point;
    std::int64_t start = 0;
};

inline bool text_key(PyObject* cell, std::string_view& out) {
    if (!PyUnicode_CheckExact(cell)) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(cell, &size);
    if (!data) {
        PyErr_Clear();
        return false;
    }
    out = {data, static_cast<std::size_t>(size)};
    return true;
}

// A naive datetime.datetime; the number grows with the date-time.
inline bool time_key(PyObject* cell, std::int64_t& out) {
    if (!PyDateTime_CheckExact(cell) || PyDateTime_DATE_GET_TZINFO(cell) != Py_None) return false;
    std::int64_t k = PyDateTime_GET_YEAR(cell);
    k = k * 13 + PyDateTime_GET_MONTH(cell);
    k = k * 32 + PyDateTime_GET_DAY(cell);
    k = k * 24 + PyDateTime_DATE_GET_HOUR(cell);
    k = k * 60 + PyDateTime_DATE_GET_MINUTE(cell);
    k = k * 60 + PyDateTime_DATE_GET_SECOND(cell);
    out = k * 1000000 + PyDateTime_DATE_GET_MICROSECOND(cell);
    return true;
}

// The statement's rows when they can be taken apart here: tuples of the
// statement's width, text ids, naive date-times.
struct DirectRows {
    std::vector<py::tuple> rows;
    std::vector<RowKey> keys;
    Cells obs = Cells::none;
};

inline bool direct_rows(const py::list& fetched, std::size_t width, const KeyColumns& at, DirectRows& out) {
    const auto n = static_cast<std::size_t>(py::len(fetched));
    out.rows.reserve(n);
    out.keys.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* t = PySequence_Tuple(PyList_GET_ITEM(fetched.ptr(), static_cast<Py_ssize_t>(i)));
        if (!t) throw py::error_already_set();
        out.rows.push_back(py::reinterpret_steal<py::tuple>(t));
        if (static_cast<std::size_t>(PyTuple_GET_SIZE(t)) != width) return false;
        RowKey& k = out.keys[i];
        if (!text_key(PyTuple_GET_ITEM(t, at.item), k.item) ||
            !text_key(PyTuple_GET_ITEM(t, at.station), k.station) ||
            !text_key(PyTuple_GET_ITEM(t, at.point), k.point) ||
            !time_key(PyTuple_GET_ITEM(t, at.start), k.start))
            return false;
        out.obs = merge(out.obs, cell_kind(PyTuple_GET_ITEM(t, at.obs)));
    }
    return true;
}

// True when a str cell outside column `skip` holds `marker` (or has no UTF-8
// form: the table-wide replacement then tells what that gives).
inline bool marker_outside(const std::vector<py::tuple>& rows, py::ssize_t skip, std::string_view marker) {
    for (const py::tuple& row : rows) {
        for (py::ssize_t c = 0; c < PyTuple_GET_SIZE(row.ptr()); ++c) {
            PyObject* cell = PyTuple_GET_ITEM(row.ptr(), c);
            if (c == skip || !PyUnicode_Check(cell)) continue;
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(cell, &size);
            if (!data) {
                PyErr_Clear();
                return true;
            }
            if (core::find_literal({data, static_cast<std::size_t>(size)}, marker) != std::string_view::npos)
                return true;
        }
    }
    return false;
}

// Row order by ITEMID, STATIONID, POINTID, STARTDATE; rows with equal keys
// keep their order, as pandas' multi-column sort keeps them.
inline std::vector<std::int64_t> sort_order(const std::vector<RowKey>& keys) {
    std::vector<std::int64_t> order(keys.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::int64_t>(i);
    std::stable_sort(order.begin(), order.end(), [&keys](std::int64_t a, std::int64_t b) {
        const RowKey& x = keys[static_cast<std::size_t>(a)];
        const RowKey& y = keys[static_cast<std::size_t>(b)];
        if (int c = x.item.compare(y.item)) return c < 0;
        if (int c = x.station.compare(y.station)) return c < 0;
        if (int c = x.point.compare(y.point)) return c < 0;
        return x.start < y.start;
    });
    return order;
}

// The column pandas' read_sql makes of `cells`, labelled by `index`. Cells
// that are all str, bytes or None give the column pandas infers from their
// array, as read_sql does; others go through read_sql's own conversion
// (numbers with None, for one, become floats with NaN).
inline py::object read_column(const ObjectCells& cells, Cells kind, const py::object& index) {
    if (kind != Cells::other)
        return pandas().attr("Series")(cells.array(), "index"_a = index, "name"_a = "OBSVALUE");
    py::list rows;
    for (std::size_t i = 0; i < cells.size(); ++i) rows.append(py::make_tuple(py::handle(cells.get(i))));
    py::list names;
    names.append("OBSVALUE");
    py::object table = frame_from_rows(rows, names);
    table.attr("index") = index;
    return table.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), 0)];
}

// Upper-cased names and the positions of the key columns; false when two
// names are equal or a key column is missing.
inline bool key_columns(const py::list& names, py::list& upper, KeyColumns& at) {
    std::vector<std::string> seen;
    for (py::handle name : names) {
        py::object u = py::str(name).attr("upper")();
        std::string text = to_text(u);
        if (std::find(seen.begin(), seen.end(), text) != seen.end()) return false;
        const auto pos = static_cast<py::ssize_t>(seen.size());
        if (text == "STATIONID") at.station = pos;
        else if (text == "POINTID") at.point = pos;
        else if (text == "ITEMID") at.item = pos;
        else if (text == "STARTDATE") at.start = pos;
        else if (text == "OBSVALUE") at.obs = pos;
        seen.push_back(std::move(text));
        upper.append(u);
    }
    return at.station >= 0 && at.point >= 0 && at.item >= 0 && at.start >= 0 && at.obs >= 0;
}

}  // namespace daily_detail

// The end of every daily table: split when asked, names upper-cased.
inline py::object finish_daily_table(py::object df, const py::object& sampling_rate, bool split) {
    if (!truthy(df.attr("empty")) && split) df = self().attr("tsc").attr("split_lines")(df, sampling_rate);
    upper_labels(df);
    return df;
}

// The daily rows as pandas read them, normalised, expanded and split.
inline py::object daily_table_from_frame(py::object df, const py::object& configured, bool gzip,
                                         bool split, long long& interval) {
    upper_columns(df);
    if (truthy(df.attr("empty"))) {
        logger().attr("debug")("查询结果为空!");
        return df;
    }
    for (const char* key : {"STATIONID", "ITEMID", "POINTID"})
        df.attr("__setitem__")(key, df[py::str(key)].attr("astype")(py::str("str")));
    py::list order;
    for (const char* key : {"ITEMID", "STATIONID", "POINTID", "STARTDATE"}) order.append(key);
    df = df.attr("sort_values")("by"_a = order);

    py::object sampling_rate = sample_interval(df, configured);
    interval = sampling_rate.cast<long long>();
    if (gzip && interval <= 60)
        df.attr("__setitem__")("OBSVALUE", decompress_packed(df[py::str("OBSVALUE")]).array());
    replace_in_text_cells(df, "NULLALL", core::null_day_text(interval));
    return finish_daily_table(df, sampling_rate, split);
}

// The same table from rows of the usual types, taken apart here; None when
// the rows are of another kind.
inline py::object direct_daily_table(const StatementRows& got, const py::object& configured, bool gzip,
                                     bool split, long long& interval) {
    using namespace daily_detail;
    py::list names;
    KeyColumns at;
    if (py::len(got.rows) == 0 || !key_columns(got.names, names, at)) return py::none();
    DirectRows fetched;
    if (!direct_rows(got.rows, py::len(names), at, fetched)) return py::none();

    // Rows in sorted order, their packed strings aside (None in the table for now).
    const std::vector<std::int64_t> order = sort_order(fetched.keys);
    bool moved = false;
    py::list sorted_rows;
    ObjectCells cells = object_cells(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        const py::tuple& row = fetched.rows[static_cast<std::size_t>(order[i])];
        moved = moved || order[i] != static_cast<std::int64_t>(i);
        cells.set(i, row[static_cast<std::size_t>(at.obs)]);
        py::tuple placed(py::len(row));
        for (std::size_t c = 0; c < py::len(row); ++c)
            placed[c] = static_cast<py::ssize_t>(c) == at.obs ? py::object(py::none()) : py::object(row[c]);
        sorted_rows.append(placed);
    }
    py::object df = frame_from_rows(sorted_rows, names);
    if (moved) df.attr("index") = df.attr("index").attr("take")(py::array_t<std::int64_t>(order.size(), order.data()));

    py::object sampling_rate = sample_interval(df, configured);
    interval = sampling_rate.cast<long long>();
    Cells kind = fetched.obs;
    if (gzip && interval <= 60) {
        const bool raw = kind == Cells::bytes || kind == Cells::none;
        cells = decompress_packed(raw ? py::object(cells.array()) : read_column(cells, kind, df.attr("index")));
        kind = Cells::text;
    }
    const std::string null_day = core::null_day_text(interval);
    if (kind == Cells::text) {
        replace_at(cells, marker_hits(cells, "NULLALL"), "NULLALL", null_day, utf8_str(null_day));
        py::object column = split ? pandas().attr("Series")(cells.array(), "index"_a = df.attr("index"),
                                                            "dtype"_a = "object")
                                  : read_column(cells, kind, df.attr("index"));
        df.attr("isetitem")(at.obs, column);
        if (marker_outside(fetched.rows, at.obs, "NULLALL")) replace_in_text_cells(df, "NULLALL", null_day, at.obs);
    } else {
        df.attr("isetitem")(at.obs, read_column(cells, kind, df.attr("index")));
        replace_in_text_cells(df, "NULLALL", null_day);
    }
    return finish_daily_table(df, sampling_rate, split);
}

// One data statement read and turned into the time-series table: the rows
// sorted by item, station, point and start, the sample interval taken from
// SAMPLERATE (else `configured`), compressed strings inflated when
// `gzip_flag` holds for second and minute data, the marker of a day without
// valid samples expanded, and the days split into samples when
// `my_split_lines` holds. A statement without rows gives the empty table.
// The sample interval used goes to *interval_used when given (0 for an
// empty result).
inline py::object read_data_statement(const py::object& conn, const py::object& sql,
                                      const py::object& configured, bool gzip_flag, bool my_split_lines,
                                      long long* interval_used = nullptr) {
    long long interval = 0;
    py::object df;
    if (!is_sqlalchemy_connection(conn)) {
        df = daily_table_from_frame(read_sql(sql, conn), configured, gzip_flag, my_split_lines, interval);
    } else {
        StatementRows got = run_statement(conn, sql);
        df = direct_daily_table(got, configured, gzip_flag, my_split_lines, interval);
        if (df.is_none())
            df = daily_table_from_frame(frame_from_rows(got.rows, got.names), configured, gzip_flag,
                                        my_split_lines, interval);
    }
    if (interval_used) *interval_used = interval;
    return df;
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

    py::object df = read_data_statement(conn, sql, request.config["rate"], truthy(gzip_flag),
                                        truthy(my_split_lines), interval_used);
    if (truthy(df.attr("empty"))) return df;
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
