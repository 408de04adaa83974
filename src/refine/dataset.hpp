// filter_dataset: the Hampel filter over every series of a dataset written
// by DataFetcher.export_dataset, as tasks of a dask.distributed cluster. Each
// task holds one file and the halos of its series (core/hampel_blocks.hpp):
// a first round summarises every file, the client plans each series from the
// summaries, a second round filters and writes every file.
//
// The two task functions are functions of this module, which pickle by
// reference (module and name), so workers that can import kelvane run them.
#pragma once
#include "dataset_bind.hpp"

#include "core/dataset.hpp"
#include "core/hampel_blocks.hpp"

#include <pybind11/numpy.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace kelvane::refine_dataset {

namespace blocks = core::blocks;
using kelvane::dataset::path_join;

// ---------------------------------------------------------------------------
// Python objects to core types and back

inline py::module_ pyarrow() { return py::module_::import("pyarrow"); }

// The text columns of a file's schema: read as dictionaries, a few ids
// repeated, with no text made per row.
inline py::list text_columns(const py::object& schema) {
    py::object types = pyarrow().attr("types");
    py::list out;
    for (py::handle field : schema) {
        py::object type = field.attr("type");
        if (truthy(types.attr("is_string")(type)) || truthy(types.attr("is_large_string")(type)))
            out.append(field.attr("name"));
    }
    return out;
}

// The file's table (the text columns as dictionaries) and its schema.
inline std::pair<py::object, py::object> read_file(const py::object& path,
                                                   py::object columns = py::none()) {
    py::object file = py::module_::import("pyarrow.parquet").attr("ParquetFile")(
        path, "read_dictionary"_a = py::none());
    py::object schema = file.attr("schema_arrow");
    file.attr("close")();
    file = py::module_::import("pyarrow.parquet").attr("ParquetFile")(
        path, "read_dictionary"_a = text_columns(schema));
    py::object table = file.attr("read")("columns"_a = columns);
    file.attr("close")();
    return {table, schema};
}

// The rows of each point of a file's table, in file order.
struct PointRows {
    std::vector<std::string> points;
    core::dataset::Groups groups;   // groups.a: index into points
};

inline PointRows rows_by_point(const py::object& table) {
    py::object column = table.attr("column")("POINTID").attr("combine_chunks")();
    // read as a dictionary: its codes, when each text has one code and no
    // point is missing; the texts encoded here otherwise
    bool coded = truthy(pyarrow().attr("types").attr("is_dictionary")(column.attr("type")));
    if (coded) {
        py::object dictionary = column.attr("dictionary");
        coded = column.attr("null_count").cast<long long>() == 0 &&
                py::len(dictionary.attr("unique")()) == py::len(dictionary);
        if (!coded) column = column.attr("cast")(column.attr("type").attr("value_type"));
    }
    py::object encoded =
        coded ? column : column.attr("dictionary_encode")("null_encoding"_a = "encode");
    auto codes = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>::ensure(
        encoded.attr("indices").attr("to_numpy")("zero_copy_only"_a = false));
    if (!codes) throw py::error_already_set();
    PointRows out;
    for (py::handle point : encoded.attr("dictionary").attr("to_pylist")()) {
        out.points.push_back(point.is_none() ? std::string() : utf8(point));
    }
    const auto n = static_cast<std::size_t>(codes.shape(0));
    std::vector<std::int32_t> zeros(n, 0);
    const std::int32_t* a = codes.data();
    const std::size_t count = out.points.size();
    py::gil_scoped_release release;
    out.groups = core::dataset::group_rows(a, zeros.data(), n, count, 1);
    return out;
}

// OBSVALUE of a table as a contiguous array (missing values NaN); float32
// and float64 columns only.
inline py::array values_of(const py::object& table, const py::object& path) {
    py::object column = table.attr("column")("OBSVALUE").attr("combine_chunks")();
    py::object types = pyarrow().attr("types");
    if (!truthy(types.attr("is_float32")(column.attr("type"))) &&
        !truthy(types.attr("is_float64")(column.attr("type")))) {
        throw py::type_error("OBSVALUE of " + to_text(path) + " is " + to_text(column.attr("type")) +
                             ", not float or double");
    }
    return column.attr("to_numpy")("zero_copy_only"_a = false);
}

template <class T>
std::vector<T> gather(const T* values, const core::dataset::Groups& groups, std::size_t g) {
    std::vector<T> out;
    out.reserve(groups.starts[g + 1] - groups.starts[g]);
    for (std::size_t r = groups.starts[g]; r < groups.starts[g + 1]; ++r)
        out.push_back(values[groups.order[r]]);
    return out;
}

template <class T>
py::array_t<T> to_array(const std::vector<T>& values) {
    py::array_t<T> out(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

template <class T>
std::vector<T> from_array(py::handle values) {
    auto array = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(values);
    if (!array) throw py::error_already_set();
    return std::vector<T>(array.data(), array.data() + array.size());
}

inline py::object window_object(const std::optional<blocks::Window>& w) {
    if (!w) return py::none();
    return py::make_tuple(w->centre, w->median, w->scale);
}

inline std::optional<blocks::Window> window_from(py::handle value) {
    if (value.is_none()) return std::nullopt;
    py::tuple t = py::reinterpret_borrow<py::tuple>(value);
    return blocks::Window{t[0].cast<std::int64_t>(), t[1].cast<double>(), t[2].cast<double>()};
}

inline std::size_t window_of(py::handle value) {
    const auto w = value.cast<std::size_t>();
    if (w < 1) throw py::value_error("window_size must be at least 1");
    return w;
}

// ---------------------------------------------------------------------------
// The tasks

template <class T>
py::list summarize_points(const T* values, const PointRows& rows, std::size_t window) {
    py::list out;
    for (std::size_t g = 0; g + 1 < rows.groups.starts.size(); ++g) {
        std::vector<T> series = gather(values, rows.groups, g);
        blocks::BlockSummary<T> s;
        {
            py::gil_scoped_release release;
            s = blocks::summarize(series.data(), series.size(), window);
        }
        py::dict d;
        d["point"] = rows.points[static_cast<std::size_t>(rows.groups.a[g])];
        d["rows"] = s.rows;
        d["head"] = to_array(s.head);
        d["tail"] = to_array(s.tail);
        d["first"] = window_object(s.first);
        d["last"] = window_object(s.last);
        out.append(d);
    }
    return out;
}

// The summary of every point series of one file (first round).
inline py::dict scan_file(py::object path, py::object window_size) {
    const std::size_t window = window_of(window_size);
    py::list columns;
    columns.append("POINTID");
    columns.append("OBSVALUE");
    py::object table = read_file(path, columns).first;
    PointRows rows = rows_by_point(table);
    py::array values = values_of(table, path);
    py::dict out;
    out["dtype"] = py::str(values.dtype());
    if (values.dtype().itemsize() == 4) {
        auto v = values.cast<py::array_t<float>>();
        out["points"] = summarize_points(v.data(), rows, window);
    } else {
        auto v = values.cast<py::array_t<double>>();
        out["points"] = summarize_points(v.data(), rows, window);
    }
    return out;
}

template <class T>
py::array_t<T> filter_points(const T* values, std::size_t n, const PointRows& rows,
                             const py::dict& plans, std::size_t window, double factor) {
    py::array_t<T> out(static_cast<py::ssize_t>(n));
    T* result = out.mutable_data();
    for (std::size_t g = 0; g + 1 < rows.groups.starts.size(); ++g) {
        const std::string& point = rows.points[static_cast<std::size_t>(rows.groups.a[g])];
        py::tuple plan_object = plans[py::str(point)];
        blocks::BlockPlan<T> plan;
        plan.before = from_array<T>(plan_object[0]);
        plan.after = from_array<T>(plan_object[1]);
        plan.carry = window_from(plan_object[2]);
        std::vector<T> series = gather(values, rows.groups, g);
        std::vector<T> filtered(series.size());
        py::gil_scoped_release release;
        blocks::filter_block(series.data(), series.size(), plan, window, factor, filtered.data());
        for (std::size_t r = rows.groups.starts[g], i = 0; r < rows.groups.starts[g + 1]; ++r, ++i)
            result[rows.groups.order[r]] = filtered[i];
    }
    return out;
}

// Filters one file with the plans of its points and writes it to `target`
// (second round); returns (rows, bytes).
inline py::tuple filter_file(py::object source, py::object target, py::dict plans,
                             py::object window_size, py::object threshold_factor,
                             py::dict metadata) {
    const std::size_t window = window_of(window_size);
    const double factor = threshold_factor.cast<double>();
    auto [table, schema] = read_file(source);
    PointRows rows = rows_by_point(table);
    py::array values = values_of(table, source);
    const auto n = static_cast<std::size_t>(values.size());
    py::array filtered;
    if (values.dtype().itemsize() == 4) {
        auto v = values.cast<py::array_t<float>>();
        filtered = filter_points(v.data(), n, rows, plans, window, factor);
    } else {
        auto v = values.cast<py::array_t<double>>();
        filtered = filter_points(v.data(), n, rows, plans, window, factor);
    }
    py::object pa = pyarrow();
    table = table.attr("cast")(schema);   // the text columns as the file holds them
    const auto at = schema.attr("get_field_index")("OBSVALUE").cast<long>();
    py::object field = schema.attr("field")(at);
    table = table.attr("set_column")(
        at, field, pa.attr("array")(filtered, "type"_a = field.attr("type"), "from_pandas"_a = true));
    py::dict merged;
    py::object existing = schema.attr("metadata");
    if (!existing.is_none()) merged.attr("update")(existing);
    py::object json = py::module_::import("json");
    for (auto item : metadata) {
        merged[py::bytes(utf8(item.first))] = py::bytes(utf8(json.attr("dumps")(item.second)));
    }
    table = table.attr("replace_schema_metadata")(merged);

    py::object os = kelvane::dataset::os_module();
    os.attr("makedirs")(os.attr("path").attr("dirname")(target), "exist_ok"_a = true);
    PendingFile pending(target, kelvane::dataset::kTemporaryEnding);
    py::module_::import("pyarrow.parquet")
        .attr("write_table")(table, pending.path(),
                             **kelvane::dataset::parquet_options(table.attr("schema")));
    pending.commit();
    return py::make_tuple(n, os.attr("stat")(target).attr("st_size"));
}

// ---------------------------------------------------------------------------
// Planning on the client

// One series' blocks: (file index, point summary) in period order (the
// order in which the manifest lists the files).
using SeriesBlocks = std::vector<std::pair<std::size_t, py::dict>>;

template <class T>
void plan_series(const SeriesBlocks& series, std::size_t window, std::vector<py::dict>& plans) {
    std::vector<blocks::BlockSummary<T>> summaries;
    for (const auto& [file, d] : series) {
        blocks::BlockSummary<T> s;
        s.rows = py::cast<std::int64_t>(d["rows"]);
        s.head = from_array<T>(d["head"]);
        s.tail = from_array<T>(d["tail"]);
        s.first = window_from(d["first"]);
        s.last = window_from(d["last"]);
        summaries.push_back(std::move(s));
    }
    std::vector<blocks::BlockPlan<T>> planned;
    {
        py::gil_scoped_release release;
        planned = blocks::plan(summaries, window);
    }
    for (std::size_t k = 0; k < series.size(); ++k) {
        const auto& [file, d] = series[k];
        plans[file][d["point"]] = py::make_tuple(to_array(planned[k].before),
                                                 to_array(planned[k].after),
                                                 window_object(planned[k].carry));
    }
}

// What filter_dataset needs of the distributed engine, loaded when called.
inline py::module_ distributed() {
    try {
        return py::module_::import("distributed");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        py::object error = py::module_::import("builtins").attr("ImportError")(
            "filter_dataset runs on Dask: pip install \"kelvane[dask]\"");
        PyErr_SetObject(PyExc_ImportError, error.ptr());
        PyException_SetCause(error.ptr(), e.value().inc_ref().ptr());
        throw py::error_already_set();
    }
}

inline py::object filter_dataset(py::object src, py::object dst, std::size_t window, double factor,
                                 py::object client) {
    namespace ds = kelvane::dataset;
    py::str source = ds::folder_argument(src, "src");
    py::str target = ds::folder_argument(dst, "dst");
    if (!ds::is_folder(source)) {
        ds::raise_os_error(PyExc_FileNotFoundError, ENOENT, "src is not a dataset folder", source);
    }
    py::object manifest = ds::load_manifest(source);
    if (manifest.is_none()) {
        throw py::value_error("src " + to_text(source) + " holds no dataset manifest (" +
                              ds::kManifestName + ")");
    }
    py::object real = ds::os_module().attr("path").attr("realpath");
    if (real(source).equal(real(target))) {
        throw py::value_error("dst must be another folder than src");
    }
    py::object previous = ds::existing_manifest(target, "dst");
    if (!previous.is_none() && !previous.contains("filter")) {
        throw py::value_error("dst " + to_text(target) +
                              " holds an exported dataset; filter into another folder");
    }
    py::module_ dd = distributed();
    py::object owned = py::none();
    if (client.is_none()) {
        try {
            client = dd.attr("default_client")();
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;   // no client yet: a local one
            owned = client = dd.attr("Client")("processes"_a = false);
        }
    }
    struct Closer {
        py::object client;
        ~Closer() {
            if (client.is_none()) return;
            PyObject *type, *value, *trace;
            PyErr_Fetch(&type, &value, &trace);
            try {
                client.attr("close")();
            } catch (py::error_already_set&) {
            }
            PyErr_Restore(type, value, trace);
        }
    } closer{owned};

    py::list files = ds::listed_files(manifest);
    py::list sources, targets;
    for (py::handle pair : files) {
        py::object entry = py::reinterpret_borrow<py::tuple>(pair)[1];
        sources.append(path_join(source, entry["path"]));
        targets.append(path_join(target, entry["path"]));
    }

    py::dict filter_record;
    filter_record["function"] = "filter_with_fast_mad";
    filter_record["window_size"] = window;
    filter_record["threshold_factor"] = factor;
    py::dict file_metadata;
    file_metadata["filter"] = filter_record;

    // The destination lists nothing while its files are replaced.
    py::object folder_maker = ds::os_module().attr("makedirs");
    folder_maker(target, "exist_ok"_a = true);
    py::dict fresh = ds::new_manifest();
    for (const char* key : {"request", "period", "sampling_rate"}) fresh[key] = manifest[key];
    fresh["filter"] = filter_record;
    fresh["source"] = ds::os_module().attr("path").attr("abspath")(source);
    fresh["periods"] = py::dict();
    {
        auto lock = ds::lock_folder(target);
        ds::save_manifest(target, fresh);
    }

    py::module_ refine = py::module_::import("kelvane.refine");
    py::list summaries = client.attr("gather")(client.attr("map")(
        refine.attr("_scan_dataset_file"), sources, "window_size"_a = window, "pure"_a = false));

    // series (station, point, item) -> blocks in period order
    std::map<std::tuple<std::string, std::string, std::string>, SeriesBlocks> series;
    std::map<std::tuple<std::string, std::string, std::string>, std::string> dtypes;
    for (std::size_t f = 0; f < py::len(files); ++f) {
        py::object entry = py::reinterpret_borrow<py::tuple>(files[f])[1];
        py::dict summary = summaries[f];
        const std::string dtype = summary["dtype"].cast<std::string>();
        for (py::handle point : summary["points"]) {
            py::dict d = py::reinterpret_borrow<py::dict>(point);
            auto key = std::make_tuple(entry["station"].cast<std::string>(),
                                       d["point"].cast<std::string>(),
                                       entry["item"].cast<std::string>());
            auto [where, added] = dtypes.emplace(key, dtype);
            if (!added && where->second != dtype) {
                throw py::type_error("OBSVALUE of station " + std::get<0>(key) + " point " +
                                     std::get<1>(key) + " item " + std::get<2>(key) +
                                     " is " + where->second + " in one file and " + dtype +
                                     " in another");
            }
            series[key].emplace_back(f, d);
        }
    }
    std::vector<py::dict> plans(py::len(files));
    for (auto& [key, blocks_of] : series) {
        if (dtypes[key] == "float32") {
            plan_series<float>(blocks_of, window, plans);
        } else {
            plan_series<double>(blocks_of, window, plans);
        }
    }
    py::list plan_list;
    for (auto& p : plans) plan_list.append(p);
    py::list written = client.attr("gather")(client.attr("map")(
        refine.attr("_filter_dataset_file"), sources, targets, plan_list,
        "window_size"_a = window, "threshold_factor"_a = factor, "metadata"_a = file_metadata,
        "pure"_a = false));

    py::dict periods;
    long long rows = 0, bytes = 0;
    for (std::size_t f = 0; f < py::len(files); ++f) {
        py::tuple pair = files[f];
        py::object label = pair[0];
        py::dict entry = py::dict(pair[1]);
        py::tuple result = written[f];
        entry["bytes"] = result[1];
        rows += result[0].cast<long long>();
        bytes += result[1].cast<long long>();
        if (!periods.contains(label)) {
            py::dict held(manifest["periods"][label]);
            held["files"] = py::list();
            periods[label] = held;
        }
        periods[label]["files"].attr("append")(entry);
    }
    fresh["periods"] = periods;
    {
        auto lock = ds::lock_folder(target);
        ds::save_manifest(target, fresh);
        // files an earlier filter run wrote that this dataset does not hold
        if (!previous.is_none()) {
            py::set kept;
            for (py::handle p : targets) kept.add(p);
            for (py::handle pair : ds::listed_files(previous)) {
                py::object old = path_join(target, py::reinterpret_borrow<py::tuple>(pair)[1]["path"]);
                if (!kept.contains(old) && ds::exists(old)) ds::os_module().attr("unlink")(old);
            }
        }
    }
    py::dict summary;
    summary["files"] = py::len(files);
    summary["rows"] = rows;
    summary["bytes"] = bytes;
    return summary;
}

inline void bind(py::module_& m) {
    m.def("_scan_dataset_file", &scan_file, "path"_a, "window_size"_a,
          "First round of filter_dataset: the block summary of every point series of a file.");
    m.def("_filter_dataset_file", &filter_file, "source"_a, "target"_a, "plans"_a,
          "window_size"_a, "threshold_factor"_a, "metadata"_a,
          "Second round of filter_dataset: filters a file with its halos and writes it.");
}

}  // namespace kelvane::refine_dataset
