// Requests of any length: iter_fetch answers a request a span of days at a
// time (the lookups made once, one statement per span through the fetch
// path of fetch_data), and export_dataset writes it as a hive-partitioned
// dataset of VELD Parquet files with a manifest (dataset_bind.hpp), so that
// a run that stopped, or one with a later end date, writes only what is
// missing.
#pragma once
#include "data.hpp"
#include "dataset_bind.hpp"
#include "dialog.hpp"

#include "core/dataset.hpp"
#include "core/synth.hpp"

#include <pybind11/numpy.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace kelvane::fetching {

namespace dataset_detail {

namespace layout = core::dataset;
using kelvane::dataset::path_join;

// A date argument as days since 1970-01-01 (what pandas to_datetime reads).
inline std::int64_t day_argument(py::handle value, const char* what) {
    py::object pd = pandas();
    py::object ts;
    try {
        ts = pd.attr("Timestamp")(pd.attr("to_datetime")(value));
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        throw py::value_error(std::string(what) + " is not a date: " + to_text(py::repr(value)));
    }
    if (truthy(pd.attr("isna")(ts))) {
        throw py::value_error(std::string(what) + " is not a date: " + to_text(py::repr(value)));
    }
    return core::synth::days_from_civil(ts.attr("year").cast<int>(), ts.attr("month").cast<int>(),
                                        ts.attr("day").cast<int>());
}

// chunk_days: None (0 here: the default) or an integer of at least 1.
inline std::int64_t chunk_days_argument(py::handle value) {
    if (value.is_none()) return 0;
    if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
        throw py::type_error("chunk_days must be a whole number of days or None, got " +
                             kelvane::type_name(value));
    }
    py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!number) throw py::error_already_set();
    int overflow = 0;
    long long days = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (days == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow > 0) return std::numeric_limits<std::int64_t>::max();
    if (overflow < 0 || days < 1) {
        throw py::value_error("chunk_days must be at least 1, got " + to_text(value));
    }
    return days;
}

// The day range of a request: both dates read, the end not before the start.
inline std::pair<std::int64_t, std::int64_t> day_range(py::handle start_date, py::handle end_date) {
    const std::int64_t first = day_argument(start_date, "start_date");
    const std::int64_t last = day_argument(end_date, "end_date");
    if (last < first) {
        throw py::value_error("end_date " + core::synth::compact_date(last) + " is before start_date " +
                              core::synth::compact_date(first));
    }
    return {first, last};
}

inline std::int64_t chunk_days_for(std::int64_t requested, const ResolvedRequest& request) {
    return requested > 0 ? requested
                         : layout::default_chunk_days(request.config["rate"].cast<long long>());
}

}  // namespace dataset_detail

// ---------------------------------------------------------------------------
// DataFetcher.iter_fetch

// The iterator iter_fetch returns: one table per span of days that has rows;
// when no span has any, the request's empty table once.
class FetchChunks {
public:
    FetchChunks(py::object conn, std::optional<ResolvedRequest> request,
                std::vector<core::dataset::Span> spans, py::object gzip_flag, py::object point_id)
        : conn_(std::move(conn)),
          request_(std::move(request)),
          spans_(std::move(spans)),
          gzip_flag_(std::move(gzip_flag)),
          point_id_(std::move(point_id)) {}

    py::object next() {
        while (request_ && next_ < spans_.size()) {
            const core::dataset::Span span = spans_[next_++];
            py::object df = fetch_resolved(conn_, *request_, py::str(core::synth::compact_date(span.first)),
                                           py::str(core::synth::compact_date(span.last)), gzip_flag_,
                                           py::bool_(true), point_id_);
            if (df.is_none()) break;  // no statement (logged): nothing more to read
            if (!truthy(df.attr("empty"))) {
                answered_ = true;
                return df;
            }
            empty_ = df;
        }
        next_ = spans_.size();
        if (!answered_ && !empty_.is_none()) {
            answered_ = true;
            return std::exchange(empty_, py::none());
        }
        throw py::stop_iteration();
    }

    // The spans still to read, as ("YYYYMMDD", "YYYYMMDD") pairs.
    py::list spans() const {
        py::list out;
        for (std::size_t i = next_; request_ && i < spans_.size(); ++i) {
            out.append(py::make_tuple(core::synth::compact_date(spans_[i].first),
                                      core::synth::compact_date(spans_[i].last)));
        }
        return out;
    }

private:
    py::object conn_;
    std::optional<ResolvedRequest> request_;
    std::vector<core::dataset::Span> spans_;
    py::object gzip_flag_, point_id_;
    std::size_t next_ = 0;
    bool answered_ = false;
    py::object empty_ = py::none();
};

inline FetchChunks iter_fetch(py::object conn, py::object start_date, py::object end_date,
                              py::object method_name, py::object station_name,
                              py::object data_type, py::object base_type, py::object item_name,
                              py::object gzip_flag, py::object point_id, py::object chunk_days) {
    using namespace dataset_detail;
    const std::int64_t requested = chunk_days_argument(chunk_days);
    const auto [first, last] = day_range(start_date, end_date);
    std::optional<ResolvedRequest> request =
        resolve_request(conn, method_name, station_name, data_type, base_type, item_name);
    std::vector<core::dataset::Span> spans;
    if (request) spans = layout::day_spans(first, last, chunk_days_for(requested, *request));
    return FetchChunks(conn, std::move(request), std::move(spans), gzip_flag, point_id);
}

// ---------------------------------------------------------------------------
// DataFetcher.export_dataset

namespace dataset_detail {

// The words of a request as the manifest records them; a dataset answers one
// request only.
inline py::dict request_record(const py::object& conn, const ResolvedRequest& request,
                               const py::object& method_name, const py::object& station_name,
                               const py::object& data_type, const py::object& base_type,
                               const py::object& item_name, const py::object& gzip_flag,
                               const py::object& point_id) {
    py::dict record;
    record["database"] = self().attr("MetaStash").attr("infer_namespace")(conn);
    record["method_name"] = py::str(method_name);
    record["station_name"] = py::str(station_name);
    record["item_name"] = py::str(item_name);
    record["point_id"] = py::str(point_id);
    record["sample_rate"] = request.config["id"];
    record["library"] = self().attr("DatabaseType").attr("get_id")(base_type);
    record["gzip_flag"] = py::bool_(truthy(gzip_flag));
    (void)data_type;
    return record;
}

// The same request, or a ValueError naming the first difference.
inline void require_same_request(const py::object& root, const py::object& manifest,
                                 const py::dict& record) {
    py::object held = manifest.attr("get")("request");
    if (manifest.contains("filter") || !PyDict_Check(held.ptr())) {
        throw py::value_error(to_text(root) +
                              " holds a filtered dataset; export into another folder");
    }
    for (auto item : record) {
        py::object theirs = held.attr("get")(item.first);
        if (!theirs.equal(item.second)) {
            throw py::value_error(to_text(root) + " holds a dataset of another request (" +
                                  to_text(item.first) + " " + to_text(py::repr(theirs)) +
                                  " there, " + to_text(py::repr(item.second)) +
                                  " here); export into another folder");
        }
    }
}

// What a period needs: the span to fetch (empty when the manifest already
// covers the request's days of it).
struct PeriodWork {
    std::string label;
    layout::Span span;
};

inline std::int64_t day_of_text(const std::string& text) {
    return core::synth::days_from_civil(std::stoi(text.substr(0, 4)), std::stoi(text.substr(4, 2)),
                                        std::stoi(text.substr(6, 2)));
}

// The periods of [first, last] that the manifest does not cover: each is
// fetched whole over the union of the days asked now and the days it held
// (a period whose span grows is rewritten whole).
inline std::vector<PeriodWork> missing_periods(const py::object& manifest, layout::Period period,
                                               std::int64_t first, std::int64_t last,
                                               std::size_t& complete) {
    std::vector<PeriodWork> out;
    complete = 0;
    for (std::int64_t day = layout::period_first_day(period, first); day <= last;
         day = layout::period_next_first_day(period, day)) {
        const std::int64_t from = std::max(first, day);
        const std::int64_t to = std::min(last, layout::period_next_first_day(period, day) - 1);
        const std::string label = layout::period_label(period, day);
        layout::Span need{from, to};
        py::object held = manifest["periods"].attr("get")(label);
        if (!held.is_none()) {
            const std::int64_t a = day_of_text(held["first_day"].cast<std::string>());
            const std::int64_t b = day_of_text(held["last_day"].cast<std::string>());
            if (a <= from && b >= to) {
                ++complete;
                continue;
            }
            need = {std::min(a, from), std::max(b, to)};
        }
        out.push_back({label, need});
    }
    return out;
}

// One dataset file being written: the pending file, its Parquet writer and
// what it received.
struct OpenFile {
    std::string station, item, relative;
    py::object target;
    std::unique_ptr<PendingFile> pending;
    py::object writer;
    py::object schema;
    long long rows = 0;
};

struct Exporter {
    py::object conn;
    py::object root;
    ResolvedRequest request;
    py::object gzip_flag, point_id;
    py::object progress;
    layout::Period period;
    py::tuple dictionaries;  // stations, points, items
    std::size_t chunks_done = 0, chunks_total = 0;
    long long files_written = 0, rows_written = 0, bytes_written = 0;

    py::object pa = py::module_::import("pyarrow");
    py::object pq = py::module_::import("pyarrow.parquet");

    // The VELD schema of a file: the table's columns with the metadata that
    // export_veld gives the file's rows.
    py::object file_schema(const py::object& df, std::int64_t row, const py::object& table,
                           long long interval) {
        py::dict record;
        py::object station_ids = py::make_tuple(df[py::str("STATIONID")].attr("iloc")[py::int_(row)]);
        py::object item_ids = py::make_tuple(df[py::str("ITEMID")].attr("iloc")[py::int_(row)]);
        record["station_info"] = dialog_detail::records_of(dictionaries[0], "STATIONID", py::list(station_ids));
        record["item_info"] = dialog_detail::records_of(dictionaries[2], "ITEMID", py::list(item_ids));
        record["sampling_rate"] = interval;
        record["export_time"] =
            py::module_::import("datetime").attr("datetime").attr("now")().attr("isoformat")();
        py::object sample = df.attr("iloc")[py::slice(row, row + 1, 1)];
        py::object veld = self().attr("tse").attr("to_veld")(sample, "metadata"_a = record);
        if (veld.is_none()) throw std::runtime_error("导出失败：无法生成 VELD Table");
        return table.attr("schema").attr("with_metadata")(veld.attr("schema").attr("metadata"));
    }

    OpenFile& open_file(std::map<std::pair<std::string, std::string>, OpenFile>& files,
                        const std::string& station, const std::string& item,
                        const std::string& label, const py::object& schema) {
        auto key = std::make_pair(station, item);
        auto found = files.find(key);
        if (found != files.end()) return found->second;
        OpenFile file;
        file.station = station;
        file.item = item;
        const std::string folder = layout::partition_folder(station, item, label);
        file.relative = folder + "/" + layout::partition_file(station, item, label);
        py::object folder_path = path_join(root, py::str(folder));
        kelvane::dataset::os_module().attr("makedirs")(folder_path, "exist_ok"_a = true);
        file.target = path_join(root, py::str(file.relative));
        file.pending = std::make_unique<PendingFile>(file.target, kelvane::dataset::kTemporaryEnding);
        file.schema = schema;
        file.writer = pq.attr("ParquetWriter")(file.pending->path(), schema,
                                               **kelvane::dataset::parquet_options(schema));
        return files.emplace(key, std::move(file)).first->second;
    }

    void step() {
        ++chunks_done;
        if (!progress.is_none()) progress(chunks_done, chunks_total);
    }

    // Fetches the period's span a chunk at a time, each chunk's rows appended
    // to the file of their station and item; commits the files and lists
    // them in the manifest.
    void write_period(const PeriodWork& work, std::int64_t chunk_days) {
        std::map<std::pair<std::string, std::string>, OpenFile> files;
        for (const layout::Span& span : layout::day_spans(work.span.first, work.span.last, chunk_days)) {
            long long interval = 0;
            py::object daily = fetch_resolved(conn, request, py::str(core::synth::compact_date(span.first)),
                                              py::str(core::synth::compact_date(span.last)), gzip_flag,
                                              py::bool_(false), point_id, &interval);
            if (!daily.is_none() && !truthy(daily.attr("empty"))) append(files, work.label, daily, interval);
            logger().attr("debug")("已读取 " + core::synth::compact_date(span.first) + " 至 " +
                                   core::synth::compact_date(span.last));
            step();
        }
        py::list entries;
        std::set<std::string> written;
        for (auto& [key, file] : files) {
            file.writer.attr("close")();
            file.pending->commit();
            const long long size =
                kelvane::dataset::os_module().attr("stat")(file.target).attr("st_size").cast<long long>();
            py::dict entry;
            entry["path"] = file.relative;
            entry["station"] = file.station;
            entry["item"] = file.item;
            entry["rows"] = file.rows;
            entry["bytes"] = size;
            entries.append(entry);
            written.insert(file.relative);
            ++files_written;
            rows_written += file.rows;
            bytes_written += size;
        }
        py::dict period_entry;
        period_entry["first_day"] = core::synth::compact_date(work.span.first);
        period_entry["last_day"] = core::synth::compact_date(work.span.last);
        period_entry["files"] = entries;

        auto lock = kelvane::dataset::lock_folder(root);
        py::object manifest = kelvane::dataset::load_manifest(root);
        py::object before = manifest["periods"].attr("get")(work.label);
        manifest["periods"][py::str(work.label)] = period_entry;
        kelvane::dataset::save_manifest(root, manifest);
        // files of the period that its new span no longer holds
        if (!before.is_none()) {
            for (py::handle old : before["files"]) {
                std::string relative = old["path"].cast<std::string>();
                if (written.count(relative)) continue;
                py::object path = path_join(root, py::str(relative));
                if (exists(path)) kelvane::dataset::os_module().attr("unlink")(path);
            }
        }
    }

    static bool exists(const py::object& path) { return kelvane::dataset::exists(path); }

    // The daily rows of a chunk, a station and item at a time: split into
    // samples as fetch_data splits them (the samples of one series keep
    // their order; only the series are no longer interleaved) and appended
    // to that station's and item's file.
    void append(std::map<std::pair<std::string, std::string>, OpenFile>& files,
                const std::string& label, const py::object& daily, long long interval) {
        py::list keys;
        keys.append("STATIONID");
        keys.append("ITEMID");
        if (truthy(daily[keys].attr("isna")().attr("any")("axis"_a = py::none()))) {
            throw py::value_error("rows without a station or item id cannot be placed in a dataset");
        }
        py::object split = self().attr("tsc").attr("split_lines");
        for (py::handle pair : daily.attr("groupby")(keys, "sort"_a = false)) {
            py::tuple key = py::reinterpret_borrow<py::tuple>(pair)[0];
            const std::string station = utf8(key[0]);
            const std::string item = utf8(key[1]);
            py::object df = split(py::reinterpret_borrow<py::tuple>(pair)[1], py::int_(interval));
            upper_labels(df);
            // one thread: a pool per call costs more than the few columns gain
            py::object part = pa.attr("Table").attr("from_pandas")(df, "nthreads"_a = 1);
            auto found = files.find({station, item});
            OpenFile& file = found != files.end()
                                 ? found->second
                                 : open_file(files, station, item, label, file_schema(df, 0, part, interval));
            if (!truthy(part.attr("schema").attr("equals")(file.schema, "check_metadata"_a = false))) {
                try {
                    part = part.attr("cast")(file.schema);
                } catch (py::error_already_set& e) {
                    if (!is_ordinary(e)) throw;
                    throw py::value_error("the rows of station " + station + ", item " + item +
                                          " changed column types within period " + label + ": " +
                                          error_text(e));
                }
            }
            file.writer.attr("write_table")(part.attr("replace_schema_metadata")(file.schema.attr("metadata")));
            file.rows += py::len(df);
        }
    }
};

}  // namespace dataset_detail

inline py::object export_dataset(py::object conn, py::object root, py::object start_date,
                                 py::object end_date, py::object method_name,
                                 py::object station_name, py::object data_type,
                                 py::object base_type, py::object item_name, py::object gzip_flag,
                                 py::object point_id, py::object chunk_days, py::object progress) {
    using namespace dataset_detail;
    namespace ds = kelvane::dataset;
    // Every argument is checked before anything is read or written.
    py::str folder = ds::folder_argument(root, "root");
    const std::int64_t requested = chunk_days_argument(chunk_days);
    const auto [first, last] = day_range(start_date, end_date);
    if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
        throw py::type_error("progress must be callable or None");
    }
    py::object manifest = ds::existing_manifest(folder, "root");

    std::optional<ResolvedRequest> request =
        resolve_request(conn, method_name, station_name, data_type, base_type, item_name);
    if (!request) return py::none();
    py::dict record = request_record(conn, *request, method_name, station_name, data_type,
                                     base_type, item_name, gzip_flag, point_id);
    const long long configured = request->config["rate"].cast<long long>();
    const layout::Period period = layout::period_for_interval(configured);
    if (!manifest.is_none()) require_same_request(folder, manifest, record);

    Exporter exporter{conn, folder, *request, gzip_flag, point_id, progress, period,
                      py::tuple(self().attr("MetadataFetcher").attr("get_timeseries_info")(conn))};
    if (py::len(exporter.dictionaries) != 3) {
        throw py::value_error("get_timeseries_info must give stations, points and items");
    }
    if (manifest.is_none()) {
        ds::os_module().attr("makedirs")(folder, "exist_ok"_a = true);
        auto lock = ds::lock_folder(folder);
        manifest = ds::load_manifest(folder);  // another run may have begun it meanwhile
        if (manifest.is_none()) {
            manifest = ds::new_manifest();
            manifest["request"] = record;
            manifest["period"] = py::str(std::string(layout::period_name(period)));
            manifest["sampling_rate"] = configured;
            manifest["periods"] = py::dict();
            ds::save_manifest(folder, manifest);
        } else {
            require_same_request(folder, manifest, record);
        }
    }

    std::size_t complete = 0;
    const std::int64_t days_per_chunk = chunk_days_for(requested, *request);
    std::vector<PeriodWork> work = missing_periods(manifest, period, first, last, complete);
    for (const PeriodWork& w : work) {
        exporter.chunks_total += layout::day_spans(w.span.first, w.span.last, days_per_chunk).size();
    }
    if (exporter.chunks_total == 0 && !progress.is_none()) progress(0, 0);
    for (const PeriodWork& w : work) exporter.write_period(w, days_per_chunk);

    py::dict summary;
    summary["files"] = exporter.files_written;
    summary["rows"] = exporter.rows_written;
    summary["bytes"] = exporter.bytes_written;
    summary["periods_written"] = work.size();
    summary["periods_complete"] = complete;
    summary["dataset"] = ds::manifest_totals(ds::load_manifest(folder));
    logger().attr("info")("数据集已写入: " + to_text(folder));
    return summary;
}

inline void bind_dataset(py::module_& m) {
    py::class_<FetchChunks>(m, "_FetchChunks", "按日期区间逐段返回的时序数据表")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &FetchChunks::next)
        .def_property_readonly("spans", &FetchChunks::spans);
    data_fetcher_class(m)
        .def_static("iter_fetch", &iter_fetch, "conn"_a, "start_date"_a, "end_date"_a,
                    "method_name"_a, "station_name"_a, "data_type"_a, "base_type"_a,
                    "item_name"_a = "全部", "gzip_flag"_a = false, "point_id"_a = "",
                    "chunk_days"_a = py::none(), "按日期区间逐段获取时序数据")
        .def_static("export_dataset", &export_dataset, "conn"_a, "root"_a, "start_date"_a,
                    "end_date"_a, "method_name"_a, "station_name"_a, "data_type"_a,
                    "base_type"_a, "item_name"_a = "全部", "gzip_flag"_a = false,
                    "point_id"_a = "", "chunk_days"_a = py::none(), py::kw_only(),
                    "progress"_a = py::none(), "将时序数据导出为分区的 VELD Parquet 数据集");
}

}  // namespace kelvane::fetching
