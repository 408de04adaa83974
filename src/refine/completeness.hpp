// completeness: for every series (station, point, item) and period, the
// samples its sample interval asks for, those present, their ratio and the
// longest run of missing samples (core/completeness.hpp). Reads a fetched
// time-series table, or a dataset written by DataFetcher.export_dataset one
// file at a time (the point, time and value columns, in batches), on a few
// threads of this process or as tasks of a dask.distributed client.
#pragma once
#include "dataset_bind.hpp"

#include "core/completeness.hpp"
#include "core/dataset.hpp"
#include "core/sample.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace kelvane::refine_completeness {

namespace cc = core::completeness;
using Key = std::tuple<std::string, std::string, std::string>;  // station, point, item
using SeriesDays = std::map<Key, std::vector<cc::Day>>;

inline constexpr const char* kGapColumn = "longest_gap_seconds";
inline constexpr long kBatchRows = 1 << 20;
inline constexpr long kDayFields = 9;

inline py::module_ pandas() { return py::module_::import("pandas"); }
inline py::module_ numpy() { return py::module_::import("numpy"); }

// ---------------------------------------------------------------------------
// Python objects to core types and back

// The period alias checked: known to pandas and never shorter than a day.
inline py::object period_offset(const py::object& freq) {
    if (!py::isinstance<py::str>(freq)) {
        throw py::type_error("freq must be a pandas period alias such as \"D\", \"MS\" or \"YS\", "
                             "not " + kelvane::type_name(freq));
    }
    py::object pd = pandas();
    py::object offset;
    try {
        offset = pd.attr("tseries").attr("frequencies").attr("to_offset")(freq);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        throw py::value_error("unknown freq " + to_text(py::repr(freq)) +
                              ": use a pandas period alias such as \"D\", \"W\", \"MS\", \"QS\" "
                              "or \"YS\"");
    }
    if (py::isinstance(offset, pd.attr("offsets").attr("Tick"))) {
        const auto nanos = offset.attr("nanos").cast<long long>();
        if (nanos <= 0 || nanos % (cc::kSecondsPerDay * 1000000000LL) != 0) {
            throw py::value_error("freq " + to_text(py::repr(freq)) +
                                  " is shorter than a day or not whole days: completeness "
                                  "counts whole days");
        }
    }
    return offset;
}

// Ticks per second of a datetime64 array's unit.
inline std::int64_t ticks_per_second(const py::object& array) {
    py::object unit = numpy().attr("datetime_data")(array.attr("dtype"))[py::int_(0)];
    const std::string u = unit.cast<std::string>();
    if (u == "s") return 1;
    if (u == "ms") return 1000;
    if (u == "us") return 1000000;
    if (u == "ns") return 1000000000;
    throw py::value_error("STARTDATE has the time unit " + u + "; use s, ms, us or ns");
}

inline py::array_t<std::int64_t> as_int64(const py::object& array) {
    auto out = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(
        array.attr("view")("int64"));
    if (!out) throw py::error_already_set();
    return out;
}

// Feeds one block of rows; false when a series' time goes back.
inline bool scan_block(const py::array_t<std::int64_t>& times, const py::array& values,
                       const std::vector<std::int32_t>& series, std::int64_t first_row,
                       std::vector<cc::SeriesScan>& scans) {
    const auto n = static_cast<std::size_t>(times.size());
    std::size_t stopped = n;
    if (values.dtype().itemsize() == 4 && values.dtype().kind() == 'f') {
        auto v = py::array_t<float, py::array::c_style>::ensure(values);
        py::gil_scoped_release release;
        stopped = cc::scan_rows(times.data(), v.data(), series.data(), n, first_row, scans);
    } else {
        auto v = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(values);
        if (!v) throw py::error_already_set();
        py::gil_scoped_release release;
        stopped = cc::scan_rows(times.data(), v.data(), series.data(), n, first_row, scans);
    }
    return stopped == n;
}

// The interval in seconds of a SAMPLERATE value (the database's rate code:
// 1 minute, 2 second, 60 hourly, 90 daily values), 0 when it names none.
inline std::int64_t rate_of_code(double value) {
    if (!(value == value) || value < 0 || value >= 100) return 0;
    const auto whole = static_cast<long>(value);
    std::string code = std::to_string(whole);
    if (code.size() < 2) code.insert(0, 2 - code.size(), '0');
    return core::sample::rate_interval(code);
}

// The SAMPLERATE column as numbers (NaN where it holds none).
inline py::array_t<double> rate_numbers(const py::object& column) {
    py::object numbers = pandas().attr("to_numeric")(column, "errors"_a = "coerce");
    auto out = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
        numbers.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = numpy().attr("nan")));
    if (!out) throw py::error_already_set();
    return out;
}

// Days that show no step take the rate recorded beside their sample.
inline void give_rate_hints(std::vector<cc::Day>& days, const double* rates, std::size_t n,
                            const std::int64_t* row_of = nullptr) {
    for (cc::Day& d : days) {
        if (d.interval > 0) continue;
        auto row = static_cast<std::size_t>(row_of ? row_of[d.row] : d.row);
        if (row < n) d.rate_hint = rate_of_code(rates[row]);
    }
}

inline py::array_t<std::int64_t> days_array(const std::vector<cc::Day>& days) {
    py::array_t<std::int64_t> out({static_cast<py::ssize_t>(days.size()), py::ssize_t{kDayFields}});
    std::int64_t* p = out.mutable_data();
    for (const cc::Day& d : days) {
        for (std::int64_t v : {d.day, d.interval, d.rate_hint, d.times, d.valid, d.first_valid,
                               d.last_valid, d.widest_step, d.row})
            *p++ = v;
    }
    return out;
}

inline void append_days(const py::handle& array, std::vector<cc::Day>& days) {
    auto a = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(array);
    if (!a || a.ndim() != 2 || a.shape(1) != kDayFields) throw py::value_error("malformed day records");
    const std::int64_t* p = a.data();
    for (py::ssize_t r = 0; r < a.shape(0); ++r, p += kDayFields) {
        cc::Day d;
        d.day = p[0], d.interval = p[1], d.rate_hint = p[2], d.times = p[3], d.valid = p[4];
        d.first_valid = p[5], d.last_valid = p[6], d.widest_step = p[7], d.row = p[8];
        days.push_back(d);
    }
}

// ---------------------------------------------------------------------------
// Periods and the result table

struct Periods {
    cc::Span span;
    py::object labels;  // DatetimeIndex, one label per period
};

// The periods of `freq` over days [first, last] (days since 1970-01-01) as
// pandas resample bins them; days not in `counted` (when given) do not count.
inline Periods periods_of(const py::object& freq, std::int64_t first, std::int64_t last,
                          const std::vector<bool>* counted = nullptr) {
    py::object pd = pandas();
    py::object np = numpy();
    const std::int64_t n = last - first + 1;
    py::object start = pd.attr("Timestamp")(first * cc::kSecondsPerDay, "unit"_a = "s");
    py::object days = pd.attr("date_range")("start"_a = start, "periods"_a = n, "freq"_a = "D");
    py::object numbers = pd.attr("Series")(np.attr("arange")(n), "index"_a = days);
    py::object firsts = numbers.attr("resample")(freq).attr("min")();
    auto starts = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
        firsts.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan")));
    if (!starts) throw py::error_already_set();
    Periods out;
    out.span.first_day = first;
    out.span.code.assign(static_cast<std::size_t>(n), -1);
    // every bin starts at a day of the range (the range has no hole)
    const auto bins = static_cast<std::size_t>(starts.size());
    std::vector<bool> used(bins, false);
    std::size_t b = 0;
    for (std::int64_t d = 0; d < n; ++d) {
        while (b + 1 < bins && starts.at(b + 1) <= static_cast<double>(d)) ++b;
        if (counted && !(*counted)[static_cast<std::size_t>(d)]) continue;
        used[b] = true;
        out.span.code[static_cast<std::size_t>(d)] = static_cast<std::int32_t>(b);
    }
    // bins holding no counted day are left out; codes renumbered
    std::vector<std::int32_t> renumber(bins, -1);
    py::list positions;
    for (std::size_t b = 0; b < bins; ++b) {
        if (!used[b]) continue;
        renumber[b] = static_cast<std::int32_t>(py::len(positions));
        positions.append(b);
    }
    for (auto& c : out.span.code) {
        if (c >= 0) c = renumber[static_cast<std::size_t>(c)];
    }
    out.span.periods = py::len(positions);
    out.labels = firsts.attr("index")[np.attr("asarray")(positions, "dtype"_a = "int64")].attr(
        "as_unit")("ns");
    return out;
}

inline py::object empty_result() {
    py::object pd = pandas();
    py::dict columns;
    for (const char* key : {"STATIONID", "POINTID", "ITEMID"})
        columns[key] = pd.attr("Series")(py::list(), "dtype"_a = "object");
    columns["period"] = pd.attr("Series")(py::list(), "dtype"_a = "datetime64[ns]");
    columns["expected"] = pd.attr("Series")(py::list(), "dtype"_a = "int64");
    columns["present"] = pd.attr("Series")(py::list(), "dtype"_a = "int64");
    columns["completeness"] = pd.attr("Series")(py::list(), "dtype"_a = "float64");
    columns[kGapColumn] = pd.attr("Series")(py::list(), "dtype"_a = "int64");
    return pd.attr("DataFrame")(columns);
}

// One row per series and period, series in key order.
inline py::object result_table(const SeriesDays& series, const Periods& periods) {
    if (series.empty() || periods.span.periods == 0) return empty_result();
    py::object pd = pandas();
    py::object np = numpy();
    const std::size_t per = periods.span.periods;
    const std::size_t rows = series.size() * per;
    py::array_t<std::int64_t> expected(static_cast<py::ssize_t>(rows));
    py::array_t<std::int64_t> present(static_cast<py::ssize_t>(rows));
    py::array_t<std::int64_t> gap(static_cast<py::ssize_t>(rows));
    py::array_t<double> ratio(static_cast<py::ssize_t>(rows));
    py::list stations, points, items;
    std::size_t r = 0;
    for (const auto& [key, days] : series) {
        std::vector<cc::Period> out;
        {
            py::gil_scoped_release release;
            out = cc::periods(days, periods.span);
        }
        for (const cc::Period& p : out) {
            expected.mutable_data()[r] = p.expected;
            present.mutable_data()[r] = p.present;
            gap.mutable_data()[r] = p.longest_gap;
            ratio.mutable_data()[r] = p.expected > 0 ? static_cast<double>(p.present) /
                                                           static_cast<double>(p.expected)
                                                     : std::numeric_limits<double>::quiet_NaN();
            ++r;
        }
        py::str s(std::get<0>(key)), p(std::get<1>(key)), i(std::get<2>(key));
        for (std::size_t k = 0; k < per; ++k) {
            stations.append(s);
            points.append(p);
            items.append(i);
        }
    }
    py::dict columns;
    columns["STATIONID"] = pd.attr("Series")(stations, "dtype"_a = "object");
    columns["POINTID"] = pd.attr("Series")(points, "dtype"_a = "object");
    columns["ITEMID"] = pd.attr("Series")(items, "dtype"_a = "object");
    columns["period"] = np.attr("tile")(periods.labels.attr("to_numpy")(), series.size());
    columns["expected"] = expected;
    columns["present"] = present;
    columns["completeness"] = ratio;
    columns[kGapColumn] = gap;
    return pd.attr("DataFrame")(columns);
}

// ---------------------------------------------------------------------------
// A time-series table

inline py::object table_completeness(const py::object& df, const py::object& freq) {
    py::object pd = pandas();
    py::object np = numpy();
    std::vector<std::string> missing;
    for (const char* c : {"STATIONID", "POINTID", "ITEMID", "OBSVALUE"}) {
        if (!truthy(df.attr("columns").attr("__contains__")(c))) missing.emplace_back(c);
    }
    py::object index = df.attr("index");
    py::object times_column;
    if (!index.attr("name").is_none() && text_equals(index.attr("name"), "STARTDATE")) {
        times_column = index;
    } else if (truthy(df.attr("columns").attr("__contains__")("STARTDATE"))) {
        times_column = df["STARTDATE"];
    } else {
        missing.insert(missing.begin(), "STARTDATE");
    }
    if (!missing.empty()) {
        std::string names;
        for (const auto& m : missing) names += (names.empty() ? "" : ", ") + m;
        throw py::value_error("completeness needs a time-series table with STARTDATE times and "
                              "STATIONID, POINTID, ITEMID and OBSVALUE columns; missing: " + names);
    }
    for (const char* c : {"STATIONID", "POINTID", "ITEMID", "OBSVALUE"}) {
        if (!py::isinstance(df[c], pd.attr("Series"))) {
            throw py::value_error(std::string("the table holds more than one ") + c + " column");
        }
    }
    if (py::len(df) == 0) return empty_result();

    py::object times;
    try {
        times = pd.attr("DatetimeIndex")(times_column);
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        throw py::value_error("STARTDATE does not hold times: " + error_text(e));
    }
    if (!times.attr("tz").is_none()) times = times.attr("tz_localize")(py::none());
    if (truthy(times.attr("hasnans"))) {
        throw py::value_error("STARTDATE holds missing times (NaT)");
    }
    py::object time_values = times.attr("to_numpy")();
    const std::int64_t tps = ticks_per_second(time_values);
    py::array_t<std::int64_t> t = as_int64(time_values);

    py::array values;
    py::object obs = df["OBSVALUE"];
    if (py::str(obs.attr("dtype")).cast<std::string>() == "float32") {
        values = obs.attr("to_numpy")();
    } else {
        try {
            values = obs.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan"));
        } catch (py::error_already_set& e) {
            if (!is_ordinary(e)) throw;
            throw py::value_error("OBSVALUE is not numeric: " + error_text(e));
        }
    }

    py::list keys;
    for (const char* c : {"STATIONID", "POINTID", "ITEMID"}) keys.append(c);
    py::object grouped = df.attr("groupby")(keys, "sort"_a = true, "dropna"_a = false,
                                              "observed"_a = true);
    auto codes = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(
        grouped.attr("ngroup")().attr("to_numpy")("dtype"_a = "int64"));
    py::object key_index = grouped.attr("size")().attr("index");
    const auto count = static_cast<std::size_t>(py::len(key_index));
    const auto n = static_cast<std::size_t>(t.size());
    std::vector<std::int32_t> series(n);
    for (std::size_t i = 0; i < n; ++i) series[i] = static_cast<std::int32_t>(codes.at(i));

    auto scan = [&](const py::array_t<std::int64_t>& tt, const py::array& vv,
                    const std::vector<std::int32_t>& ss) {
        std::vector<cc::SeriesScan> scans(count, cc::SeriesScan(tps));
        if (!scan_block(tt, vv, ss, 0, scans)) return std::vector<cc::SeriesScan>();
        for (auto& s : scans) s.finish();
        return scans;
    };
    std::vector<cc::SeriesScan> scans = scan(t, values, series);
    py::array_t<std::int64_t> order;
    bool reordered = false;
    if (scans.empty() && count > 0) {
        reordered = true;
        // rows out of time order within a series: read them sorted
        order = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(
            np.attr("lexsort")(py::make_tuple(t, codes)));
        py::array_t<std::int64_t> sorted_t = np.attr("take")(t, order);
        py::array sorted_v = np.attr("take")(values, order);
        std::vector<std::int32_t> sorted_s(n);
        for (std::size_t i = 0; i < n; ++i) sorted_s[i] = series[static_cast<std::size_t>(order.at(i))];
        scans = scan(sorted_t, sorted_v, sorted_s);
    }

    py::array_t<double> rates;
    const bool has_rates = truthy(df.attr("columns").attr("__contains__")("SAMPLERATE")) &&
                           py::isinstance(df["SAMPLERATE"], pd.attr("Series"));
    if (has_rates) rates = rate_numbers(df["SAMPLERATE"]);

    SeriesDays by_key;
    std::int64_t first = std::numeric_limits<std::int64_t>::max();
    std::int64_t last = std::numeric_limits<std::int64_t>::min();
    for (std::size_t g = 0; g < count; ++g) {
        py::tuple key = key_index[py::int_(g)];
        std::vector<cc::Day>& days = scans[g].days;
        if (has_rates) give_rate_hints(days, rates.data(), n, reordered ? order.data() : nullptr);
        if (!days.empty()) {
            first = std::min(first, days.front().day);
            last = std::max(last, days.back().day);
        }
        by_key[{to_text(key[0]), to_text(key[1]), to_text(key[2])}] = std::move(days);
    }
    if (first > last) return empty_result();
    return result_table(by_key, periods_of(freq, first, last));
}

// ---------------------------------------------------------------------------
// A dataset

// The day records of every point series of one dataset file:
// {point: int64 array (days x fields)}. Reads the point, time and value
// columns a batch at a time, and SAMPLERATE only for days that show no step.
inline py::dict file_days(py::object path) {
    py::object pq = py::module_::import("pyarrow.parquet");
    py::list dictionary_columns;
    dictionary_columns.append("POINTID");
    py::object file = pq.attr("ParquetFile")(path, "read_dictionary"_a = dictionary_columns);
    py::object names = file.attr("schema_arrow").attr("names");
    for (const char* c : {"STARTDATE", "POINTID", "OBSVALUE"}) {
        if (!truthy(names.attr("__contains__")(c))) {
            throw py::value_error(to_text(path) + " has no column " + c);
        }
    }
    py::list columns;
    for (const char* c : {"STARTDATE", "POINTID", "OBSVALUE"}) columns.append(c);
    std::vector<std::string> points;
    std::unordered_map<std::string, std::int32_t> point_index;
    std::vector<cc::SeriesScan> scans;
    std::int64_t tps = 0;
    std::int64_t row = 0;
    py::object types = py::module_::import("pyarrow").attr("types");
    for (py::handle batch : file.attr("iter_batches")("batch_size"_a = kBatchRows, "columns"_a = columns)) {
        py::object time_column = batch.attr("column")(0);
        if (!truthy(types.attr("is_timestamp")(time_column.attr("type")))) {
            throw py::value_error("STARTDATE of " + to_text(path) + " is " +
                                  to_text(time_column.attr("type")) + ", not a time");
        }
        if (time_column.attr("null_count").cast<long long>() > 0) {
            throw py::value_error("STARTDATE of " + to_text(path) + " holds missing times");
        }
        py::object time_values = time_column.attr("to_numpy")("zero_copy_only"_a = false);
        if (truthy(time_values.attr("dtype").attr("kind").attr("__eq__")("M")) == false) {
            throw py::value_error("STARTDATE of " + to_text(path) + " is not a time");
        }
        const std::int64_t unit = ticks_per_second(time_values);
        if (tps == 0) tps = unit;
        if (unit != tps) throw py::value_error("STARTDATE of " + to_text(path) + " changes unit");
        py::array_t<std::int64_t> t = as_int64(time_values);

        // point ids come as the file's dictionary, without hashing a row
        py::object encoded = batch.attr("column")(1);
        if (!truthy(types.attr("is_dictionary")(encoded.attr("type")))) {
            encoded = encoded.attr("dictionary_encode")("null_encoding"_a = "encode");
        } else if (encoded.attr("null_count").cast<long long>() > 0) {
            encoded = encoded.attr("dictionary_decode")().attr("dictionary_encode")(
                "null_encoding"_a = "encode");
        }
        auto codes = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>::ensure(
            encoded.attr("indices").attr("to_numpy")("zero_copy_only"_a = false));
        if (!codes) throw py::error_already_set();
        std::vector<std::int32_t> local;
        for (py::handle point : encoded.attr("dictionary").attr("to_pylist")()) {
            std::string name = point.is_none() ? std::string() : utf8(point);
            auto [where, added] = point_index.emplace(name, static_cast<std::int32_t>(points.size()));
            if (added) {
                points.push_back(name);
                scans.emplace_back(tps);
            }
            local.push_back(where->second);
        }
        const auto n = static_cast<std::size_t>(codes.size());
        std::vector<std::int32_t> series(n);
        for (std::size_t i = 0; i < n; ++i) series[i] = local[static_cast<std::size_t>(codes.data()[i])];

        py::object value_column = batch.attr("column")(2);
        if (!truthy(types.attr("is_floating")(value_column.attr("type")))) {
            throw py::type_error("OBSVALUE of " + to_text(path) + " is " +
                                 to_text(value_column.attr("type")) + ", not float or double");
        }
        py::array values = value_column.attr("to_numpy")("zero_copy_only"_a = false);
        if (!scan_block(t, values, series, row, scans)) {
            throw py::value_error(to_text(path) + " holds the samples of a point out of time order");
        }
        row += static_cast<std::int64_t>(n);
    }
    for (auto& s : scans) s.finish();

    bool stepless = false;
    for (const auto& s : scans) {
        for (const auto& d : s.days) stepless = stepless || d.interval == 0;
    }
    if (stepless && truthy(names.attr("__contains__")("SAMPLERATE"))) {
        py::list rate_column;
        rate_column.append("SAMPLERATE");
        py::object table = file.attr("read")("columns"_a = rate_column);
        py::array_t<double> rates =
            rate_numbers(table.attr("column")(0).attr("to_pandas")());
        for (auto& s : scans) give_rate_hints(s.days, rates.data(), static_cast<std::size_t>(rates.size()));
    }
    py::dict out;
    for (std::size_t p = 0; p < points.size(); ++p) out[py::str(points[p])] = days_array(scans[p].days);
    return out;
}

inline py::object dataset_completeness(const py::str& root, const py::object& manifest,
                                       const py::object& freq, const py::object& client) {
    namespace ds = kelvane::dataset;
    // the days the manifest's periods were fetched over
    std::vector<std::pair<std::int64_t, std::int64_t>> spans;
    py::object to_datetime = pandas().attr("to_datetime");
    for (auto item : py::dict(manifest["periods"])) {
        py::object held = py::reinterpret_borrow<py::object>(item.second);
        auto day_of = [&](const char* field) {
            py::object when = to_datetime(held[field], "format"_a = "%Y%m%d");
            return when.attr("value").cast<std::int64_t>() / (cc::kSecondsPerDay * 1000000000LL);
        };
        spans.emplace_back(day_of("first_day"), day_of("last_day"));
    }
    py::list files = ds::listed_files(manifest);
    py::list paths;
    for (py::handle pair : files) {
        paths.append(ds::path_join(root, py::reinterpret_borrow<py::tuple>(pair)[1]["path"]));
    }
    py::list results;
    py::object task = py::module_::import("kelvane.refine").attr("_completeness_dataset_file");
    if (client.is_none()) {
        // a file per thread: reading and counting run without the
        // interpreter lock
        py::object cpus = kelvane::dataset::os_module().attr("cpu_count")();
        const std::size_t workers = std::max<std::size_t>(
            1, std::min<std::size_t>(py::len(paths), cpus.is_none() ? 1 : cpus.cast<std::size_t>()));
        if (workers == 1) {
            for (py::handle p : paths) results.append(file_days(py::reinterpret_borrow<py::object>(p)));
        } else {
            py::object pool = py::module_::import("concurrent.futures")
                                  .attr("ThreadPoolExecutor")("max_workers"_a = workers);
            struct Shutdown {
                py::object pool;
                ~Shutdown() {
                    py::error_scope pending;
                    try {
                        pool.attr("shutdown")("cancel_futures"_a = true);
                    } catch (py::error_already_set&) {
                    }
                }
            } shutdown{pool};
            results = py::list(pool.attr("map")(task, paths));
        }
    } else {
        results = client.attr("gather")(client.attr("map")(task, paths, "pure"_a = false));
    }
    SeriesDays by_key;
    for (std::size_t f = 0; f < py::len(files); ++f) {
        py::object entry = py::reinterpret_borrow<py::tuple>(files[f])[1];
        const std::string station = to_text(entry["station"]);
        const std::string item = to_text(entry["item"]);
        for (auto point : py::dict(results[f])) {
            append_days(point.second, by_key[{station, to_text(point.first), item}]);
        }
    }
    for (auto& [key, days] : by_key) {
        std::stable_sort(days.begin(), days.end(),
                         [](const cc::Day& a, const cc::Day& b) { return a.day < b.day; });
    }
    if (spans.empty()) return empty_result();
    std::int64_t first = spans.front().first, last = spans.front().second;
    for (const auto& [a, b] : spans) first = std::min(first, a), last = std::max(last, b);
    std::vector<bool> counted(static_cast<std::size_t>(last - first + 1), false);
    for (const auto& [a, b] : spans) {
        for (std::int64_t d = a; d <= b; ++d) counted[static_cast<std::size_t>(d - first)] = true;
    }
    return result_table(by_key, periods_of(freq, first, last, &counted));
}

// ---------------------------------------------------------------------------

inline py::object completeness(py::object data, py::object freq, py::object client) {
    period_offset(freq);  // checked before anything is read
    py::object pd = pandas();
    if (py::isinstance(data, pd.attr("DataFrame"))) return table_completeness(data, freq);
    py::object os = kelvane::dataset::os_module();
    if (!py::isinstance<py::str>(data) && !py::hasattr(data, "__fspath__")) {
        throw py::type_error("data must be a time-series table (DataFrame) or the folder of a "
                             "dataset, not " + kelvane::type_name(data));
    }
    py::str root = kelvane::dataset::folder_argument(data, "data");
    if (!kelvane::dataset::is_folder(root)) {
        if (!kelvane::dataset::exists(root)) {
            kelvane::dataset::raise_os_error(PyExc_FileNotFoundError, ENOENT,
                                             "no such dataset folder", root);
        }
        throw py::value_error(to_text(root) + " is not a dataset folder; read a VELD file with "
                              "pandas.read_parquet and pass the table");
    }
    py::object manifest = kelvane::dataset::load_manifest(root);
    if (manifest.is_none()) {
        throw py::value_error(to_text(root) + " holds no dataset manifest (" +
                              kelvane::dataset::kManifestName + ")");
    }
    return dataset_completeness(root, manifest, freq, client);
}

inline void bind(py::module_& m) {
    m.def("completeness", &completeness, "data"_a, "freq"_a = "D", "client"_a = py::none(),
          "Completeness of every series (STATIONID, POINTID, ITEMID) per period of freq (a "
          "pandas alias of whole days or longer: \"D\", \"W\", \"MS\", \"QS\", \"YS\"...): "
          "expected (the samples the series' sample interval asks for, day by day), present "
          "(samples with a value), completeness (present / expected) and longest_gap_seconds "
          "(the longest run of missing samples inside the period, in seconds). data is a "
          "time-series table (STARTDATE times) or the folder of a dataset written by "
          "DataFetcher.export_dataset, read one file at a time; with a dask.distributed client "
          "the files are read as its tasks.");
    m.def("_completeness_dataset_file", &file_days, "path"_a,
          "The day records of every point series of one dataset file (a task of completeness).");
}

}  // namespace kelvane::refine_completeness
