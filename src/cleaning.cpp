// kelvane.cleaning: daily rows with packed observation strings become one
// timestamped float32 sample per row.
#include "kelvane_bind.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bigbuf.hpp"
#include "core/parallel.hpp"
#include "core/split.hpp"

namespace {

namespace core = kelvane::core;
using kelvane::big_array;
using kelvane::truthy;

// ---------------------------------------------------------------------------
// Python objects to core types and back

py::module_ self() { return kelvane::self_module("kelvane.cleaning"); }

// The column `name` of df; KeyError when it is missing, ValueError when the
// label is not unique (a sample could not be told which column it belongs to).
py::object unique_column(py::handle df, const char* name) {
    py::object columns = df.attr("columns");
    if (!columns.contains(name)) throw py::key_error(name);
    py::object loc = columns.attr("get_loc")(name);
    if (!PyLong_Check(loc.ptr()))
        throw py::value_error(std::string("the column label ") + name + " is not unique");
    return df.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), loc)];
}

bool isinstance_of(py::handle obj, py::handle module, const char* type_name) {
    return py::isinstance(obj, module.attr(type_name));
}

// The texts of OBSVALUE, read in place from the column's storage: pointers
// into str objects or Arrow buffers, kept alive by `owners`.
struct TextColumn {
    std::vector<core::DayRow> rows;
    std::vector<py::object> owners;
};

// Object arrays (object dtype, Python-backed str columns, categoricals):
// every str is text, anything else (None, NaN, NA, numbers, bytes) has none.
void read_object_texts(py::handle values, py::handle np, TextColumn& out) {
    py::array arr = np.attr("ascontiguousarray")(values, "dtype"_a = "object");
    out.owners.push_back(arr);
    const auto n = static_cast<std::size_t>(arr.size());
    auto* items = static_cast<PyObject* const*>(arr.data());
    out.rows.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        if (!PyUnicode_Check(item)) continue;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item, &size);
        if (text == nullptr) {
            // lone surrogates: their bytes are no blank and no digit
            PyErr_Clear();
            py::object bytes = py::reinterpret_steal<py::object>(
                PyUnicode_AsEncodedString(item, "utf-8", "surrogatepass"));
            if (!bytes) throw py::error_already_set();
            text = PyBytes_AS_STRING(bytes.ptr());
            size = PyBytes_GET_SIZE(bytes.ptr());
            out.owners.push_back(std::move(bytes));
        }
        out.rows[i].text = text;
        out.rows[i].size = static_cast<std::size_t>(size);
    }
}

// Address and size of a pyarrow Buffer (None gives a null pointer).
std::pair<const std::uint8_t*, std::size_t> arrow_buffer(py::handle buf) {
    if (buf.is_none()) return {nullptr, 0};
    const auto address = buf.attr("address").cast<std::uintptr_t>();
    const auto size = buf.attr("size").cast<std::size_t>();
    return {reinterpret_cast<const std::uint8_t*>(address), size};
}

template <typename Offset>
void read_arrow_chunk(py::handle chunk, const char* column, TextColumn& out) {
    py::list buffers = chunk.attr("buffers")();
    const auto [validity, validity_size] = arrow_buffer(buffers[0]);
    const auto [offsets_raw, offsets_size] = arrow_buffer(buffers[1]);
    const auto [data, data_size] = arrow_buffer(buffers[2]);
    const auto first = chunk.attr("offset").cast<std::size_t>();
    const auto n = py::len(chunk);
    if (n == 0) return;
    if (offsets_raw == nullptr || offsets_size < (first + n + 1) * sizeof(Offset) ||
        (validity != nullptr && validity_size * 8 < first + n))
        throw py::value_error(std::string(column) + ": malformed Arrow string buffers");
    const auto* offsets = reinterpret_cast<const Offset*>(offsets_raw);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t j = first + i;
        core::DayRow row;
        if (validity == nullptr || ((validity[j >> 3] >> (j & 7)) & 1)) {
            const Offset a = offsets[j], b = offsets[j + 1];
            if (a < 0 || b < a || static_cast<std::size_t>(b) > data_size)
                throw py::value_error(std::string(column) + ": malformed Arrow string buffers");
            // an empty text may come without a data buffer; any non-null pointer will do
            static const char kEmpty = '\0';
            row.text = data ? reinterpret_cast<const char*>(data) + a : &kEmpty;
            row.size = static_cast<std::size_t>(b - a);
        }
        out.rows.push_back(row);
    }
}

// The Arrow data of an Arrow-backed column, as one chunked array.
py::object arrow_chunks(py::handle series, py::handle pa) {
    py::object chunked = series.attr("array").attr("__arrow_array__")();
    if (!isinstance_of(chunked, pa, "ChunkedArray")) chunked = pa.attr("chunked_array")(py::make_tuple(chunked));
    return chunked;
}

// Arrow-backed text columns: the chunks' offsets and data buffers.
void read_arrow_texts(py::object chunked, py::handle pa, const char* column, TextColumn& out) {
    out.owners.push_back(chunked);
    py::object types = pa.attr("types");
    for (py::handle c : chunked.attr("chunks")) {
        py::object chunk = py::reinterpret_borrow<py::object>(c);
        if (truthy(types.attr("is_string")(chunk.attr("type")))) {
            read_arrow_chunk<std::int32_t>(chunk, column, out);
        } else {
            if (!truthy(types.attr("is_large_string")(chunk.attr("type"))))
                chunk = chunk.attr("cast")(pa.attr("large_string")());
            out.owners.push_back(chunk);
            read_arrow_chunk<std::int64_t>(chunk, column, out);
        }
    }
}

void read_arrow_texts(py::handle series, const char* column, TextColumn& out) {
    py::module_ pa = py::module_::import("pyarrow");
    read_arrow_texts(arrow_chunks(series, pa), pa, column, out);
}

// OBSVALUE as texts. A column without text values gets the error pandas'
// string accessor raises for it.
TextColumn read_texts(py::handle obs, py::handle np, py::handle pd) {
    py::object accessor = obs.attr("str");  // AttributeError for columns without text values
    TextColumn out;
    py::object dtype = obs.attr("dtype");
    if (isinstance_of(dtype, pd, "StringDtype")) {
        const auto storage = dtype.attr("storage").cast<std::string>();
        if (storage == "python") read_object_texts(obs.attr("to_numpy")("dtype"_a = "object"), np, out);
        else read_arrow_texts(obs, "OBSVALUE", out);
    } else if (isinstance_of(dtype, pd, "ArrowDtype")) {
        read_arrow_texts(obs, "OBSVALUE", out);
    } else {
        py::object values = obs.attr("to_numpy")("dtype"_a = "object");
        const auto inferred =
            pd.attr("api").attr("types").attr("infer_dtype")(values, "skipna"_a = true).cast<std::string>();
        if (inferred == "bytes")
            throw py::type_error("Cannot use .str.strip with values of inferred dtype 'bytes'.");
        read_object_texts(values, np, out);
    }
    return out;
}

// STARTDATE as int64 in its own unit, with what it takes to rebuild it.
struct TimeColumn {
    py::array_t<std::int64_t> values;
    std::string unit;     // "s", "ms", "us" or "ns"
    bool delta = false;   // timedelta64 instead of datetime64
    py::object tz;        // time zone of a tz-aware column, else None
};

std::int64_t units_per_second(const std::string& unit) {
    if (unit == "s") return 1;
    if (unit == "ms") return 1000;
    if (unit == "us") return 1000000;
    if (unit == "ns") return 1000000000;
    throw py::type_error("STARTDATE has the unsupported time unit '" + unit + "'");
}

TimeColumn read_times(py::handle sd, py::handle np, py::handle pd, const char* step_unit) {
    TimeColumn out;
    out.tz = py::none();
    py::object dtype = sd.attr("dtype");
    py::object naive;
    if (isinstance_of(dtype, pd, "DatetimeTZDtype")) {
        out.unit = dtype.attr("unit").cast<std::string>();
        out.tz = dtype.attr("tz");
        naive = sd.attr("dt").attr("tz_convert")(py::none());
    } else if (isinstance_of(dtype, np, "dtype") &&
               (dtype.attr("kind").cast<std::string>() == "M" ||
                dtype.attr("kind").cast<std::string>() == "m")) {
        out.delta = dtype.attr("kind").cast<std::string>() == "m";
        out.unit = py::tuple(np.attr("datetime_data")(dtype))[0].cast<std::string>();
        naive = py::reinterpret_borrow<py::object>(sd);
    } else {
        // Date-times held as Python objects are converted; anything else gets
        // the error pandas gives when a time span is added to it.
        const auto inferred =
            pd.attr("api").attr("types").attr("infer_dtype")(sd, "skipna"_a = true).cast<std::string>();
        if (dtype.attr("kind").cast<std::string>() == "O" &&
            (inferred == "datetime" || inferred == "datetime64")) {
            return read_times(pd.attr("to_datetime")(sd), np, pd, step_unit);
        }
        py::object zeros = np.attr("zeros")(py::len(sd), "dtype"_a = "int64");
        sd.attr("__add__")(pd.attr("to_timedelta")(zeros, "unit"_a = step_unit));
        throw py::type_error("STARTDATE must hold date-times, not " + kelvane::to_text(dtype));
    }
    units_per_second(out.unit);
    py::object arr = naive.attr("to_numpy")().attr("view")("int64");
    out.values = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(arr);
    if (!out.values) throw py::error_already_set();
    return out;
}

// The sample times as the index of the result.
py::object time_index(py::array_t<std::int64_t>& times, const TimeColumn& tc, py::handle pd) {
    const std::string code = (tc.delta ? "m8[" : "M8[") + tc.unit + "]";
    py::object index = pd.attr("Index")(times.attr("view")(code), "name"_a = "STARTDATE", "copy"_a = false);
    if (!tc.tz.is_none()) index = index.attr("tz_localize")("UTC").attr("tz_convert")(tc.tz);
    return index;
}

// ---------------------------------------------------------------------------
// The other columns, repeated on every sample of their row

// Where the n samples of the result come from: `counts[r]` of them from
// input row r; stretch by stretch in `layout` when it is usable, and sample
// by sample in the row column, which is made from the layout on first need
// when the fill wrote none.
class SampleRows {
public:
    SampleRows(std::optional<py::array_t<std::int64_t>> rows, std::size_t n, const std::vector<std::size_t>& counts,
               const core::RowLayout& layout)
        : n(n), counts(counts), layout(layout), rows_(std::move(rows)) {}

    // With the GIL held.
    const py::array_t<std::int64_t>& column() {
        if (!rows_) {
            py::array_t<std::int64_t> made = big_array<std::int64_t>(n);
            core::expand_rows(layout, made.mutable_data());
            rows_ = std::move(made);
        }
        return *rows_;
    }
    const std::int64_t* rows() { return column().data(); }
    // The layout when it can be copied by, else null.
    const core::RowLayout* stretches() const { return layout.usable ? &layout : nullptr; }

    const std::size_t n;
    const std::vector<std::size_t>& counts;
    const core::RowLayout& layout;

private:
    std::optional<py::array_t<std::int64_t>> rows_;
};

template <typename T>
void gather_fixed(const T* src, T* dst, const std::int64_t* rows, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[rows[i]];
}

// One column's copy into its new buffers, set up with the GIL held; `copy`
// touches plain memory only and runs without the GIL, possibly on another
// thread; `finish` then builds the column from the buffers, with the GIL.
struct ColumnCopy {
    std::function<void()> copy;
    std::function<py::object()> finish;
    std::size_t bytes = 0;  // written by copy, to share the work out
};

// A numpy column of plain values (numbers, booleans, date-times) gathered by
// row; false when the dtype is not one of these.
bool gather_numpy(py::handle values, SampleRows& s, py::handle np, ColumnCopy& job) {
    py::array src = np.attr("ascontiguousarray")(values);
    const py::dtype dt = src.dtype();
    const char kind = dt.kind();
    if (std::string_view("biufmM").find(kind) == std::string_view::npos) return false;
    const auto itemsize = static_cast<std::size_t>(dt.itemsize());
    py::array out = big_array(dt, s.n);
    const void* from = src.data();
    void* to = out.mutable_data();
    job.bytes = s.n * itemsize;
    const core::RowLayout* layout = s.stretches();
    const std::int64_t* rows = layout ? nullptr : s.rows();
    const std::size_t n = s.n;
    job.copy = [from, to, itemsize, layout, rows, n] {
        if (layout != nullptr) {
            core::repeat_items(*layout, static_cast<const std::uint8_t*>(from), itemsize,
                               static_cast<std::uint8_t*>(to));
            return;
        }
        switch (itemsize) {
        case 1: gather_fixed(static_cast<const std::uint8_t*>(from), static_cast<std::uint8_t*>(to), rows, n); break;
        case 2: gather_fixed(static_cast<const std::uint16_t*>(from), static_cast<std::uint16_t*>(to), rows, n); break;
        case 4: gather_fixed(static_cast<const std::uint32_t*>(from), static_cast<std::uint32_t*>(to), rows, n); break;
        case 8: gather_fixed(static_cast<const std::uint64_t*>(from), static_cast<std::uint64_t*>(to), rows, n); break;
        default: {
            const auto* a = static_cast<const char*>(from);
            auto* b = static_cast<char*>(to);
            for (std::size_t i = 0; i < n; ++i)
                std::memcpy(b + i * itemsize, a + static_cast<std::size_t>(rows[i]) * itemsize, itemsize);
        }
        }
    };
    job.finish = [src, out] { return py::object(out); };
    return true;
}

// An object column gathered by row (new references to the same objects),
// as a Series of object dtype so that no text inference retypes it.
py::object gather_objects(py::handle values, SampleRows& s, py::handle np, py::handle pd) {
    py::array src = np.attr("ascontiguousarray")(values, "dtype"_a = "object");
    py::array out = np.attr("empty")(s.n, "dtype"_a = "object");
    auto* const* from = static_cast<PyObject* const*>(src.data());
    auto** to = static_cast<PyObject**>(out.mutable_data());
    const std::int64_t* rows = s.rows();
    for (std::size_t i = 0; i < s.n; ++i) {
        PyObject* item = from[rows[i]];
        Py_INCREF(item);
        PyObject* old = to[i];  // numpy fills new object arrays with None
        to[i] = item;
        Py_XDECREF(old);
    }
    return pd.attr("Series")(out, "dtype"_a = "object", "copy"_a = false);
}

// Arrow-backed text (ArrowStringArray) gathered by row into new large_string
// buffers, wrapped back into the column's own array type and dtype; false
// when the column is not held as large_string.
bool gather_arrow_text(py::handle series, SampleRows& s, py::handle np, ColumnCopy& job) {
    py::module_ pa = py::module_::import("pyarrow");
    py::object array = series.attr("array");
    py::object chunked = arrow_chunks(series, pa);
    py::object type = chunked.attr("type");
    if (!truthy(pa.attr("types").attr("is_large_string")(type))) return false;
    auto texts = std::make_shared<TextColumn>();
    read_arrow_texts(chunked, pa, "a text column", *texts);
    const std::size_t nrows = texts->rows.size();
    if (nrows != s.counts.size()) throw py::value_error("a column differs in length from STARTDATE");

    // Per input row: its text (null when missing) and its length.
    constexpr std::size_t kShort = 16;
    std::size_t total = 0, longest = 0, missing = 0;
    for (std::size_t r = 0; r < nrows; ++r) {
        const core::DayRow& row = texts->rows[r];
        if (row.text == nullptr) {
            missing += s.counts[r];
            continue;
        }
        total += row.size * s.counts[r];
        longest = std::max(longest, row.size);
    }

    py::array_t<std::int64_t> out_offsets = big_array<std::int64_t>(s.n + 1);
    py::array_t<std::uint8_t> out_data = big_array<std::uint8_t>(total + kShort);
    py::object out_validity = py::none();
    std::uint8_t* bits = nullptr;
    if (missing > 0) {
        py::array_t<std::uint8_t> v = np.attr("zeros")((s.n + 7) / 8, "dtype"_a = "uint8");
        bits = v.mutable_data();
        out_validity = pa.attr("py_buffer")(v);
    }
    std::int64_t* off = out_offsets.mutable_data();
    std::uint8_t* dst = out_data.mutable_data();
    const std::vector<core::DayRow>* texts_by_row = &texts->rows;
    job.bytes = (s.n + 1) * sizeof(std::int64_t) + total;
    const core::RowLayout* layout = s.stretches();
    const std::int64_t* rows = layout == nullptr || bits != nullptr ? s.rows() : nullptr;
    const std::size_t n = s.n;
    job.copy = [texts_by_row, off, dst, bits, longest, nrows, layout, rows, n] {
        const std::vector<core::DayRow>& from = *texts_by_row;
        auto mark_valid = [&] {
            if (bits != nullptr)
                for (std::size_t i = 0; i < n; ++i)
                    bits[i >> 3] |= static_cast<std::uint8_t>(
                        (from[static_cast<std::size_t>(rows[i])].text != nullptr) << (i & 7));
        };
        if (layout != nullptr) {
            core::repeat_texts(*layout, from, off, dst);
            mark_valid();
            return;
        }
        // Short texts go as one fixed-size copy from a padded per-row copy,
        // which the next text then overwrites from its own start.
        std::vector<std::array<std::uint8_t, kShort>> padded;
        if (longest <= kShort) {
            padded.assign(nrows, {});
            for (std::size_t r = 0; r < nrows; ++r)
                if (from[r].size > 0) std::memcpy(padded[r].data(), from[r].text, from[r].size);
        }
        std::int64_t pos = 0;
        off[0] = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const auto r = static_cast<std::size_t>(rows[i]);
            const std::size_t size = from[r].size;
            if (longest <= kShort) std::memcpy(dst + pos, padded[r].data(), kShort);
            else if (size > 0) std::memcpy(dst + pos, from[r].text, size);
            pos += static_cast<std::int64_t>(size);
            off[i + 1] = pos;
        }
        mark_valid();
    };
    const bool dtype_argument = kelvane::pandas_major(self().attr("pd")) >= 3;
    job.finish = [pa, array, series = py::reinterpret_borrow<py::object>(series), type, texts, out_validity,
                  out_offsets, out_data, missing, n, dtype_argument] {
        py::list out_buffers;
        out_buffers.append(out_validity);
        out_buffers.append(pa.attr("py_buffer")(out_offsets));
        out_buffers.append(pa.attr("py_buffer")(out_data));
        py::object gathered =
            pa.attr("Array").attr("from_buffers")(type, n, out_buffers, "null_count"_a = missing);
        py::list pieces;
        pieces.append(gathered);
        py::object chunks = pa.attr("chunked_array")(pieces);
        if (!dtype_argument) return py::type::of(array)(chunks);  // the class carries the semantics
        return py::type::of(array)(chunks, "dtype"_a = series.attr("dtype"));
    };
    return true;
}

// One other column of the result: built here, or set up as a copy job.
py::object gather_column(py::handle series, SampleRows& s, py::handle np, py::handle pd, ColumnCopy& job) {
    py::object dtype = series.attr("dtype");
    if (isinstance_of(dtype, np, "dtype")) {
        py::object values = series.attr("to_numpy")();
        if (dtype.attr("kind").cast<std::string>() == "O") return gather_objects(values, s, np, pd);
        if (gather_numpy(values, s, np, job)) return py::none();
    } else if (isinstance_of(dtype, pd, "StringDtype") && dtype.attr("storage").cast<std::string>() == "pyarrow") {
        if (gather_arrow_text(series, s, np, job)) return py::none();
    }
    return series.attr("array").attr("take")(s.column());
}

// Runs the copies without the GIL; from kParallelBytes written in all, on two
// threads, each taking the next copy not yet started.
constexpr std::size_t kParallelBytes = std::size_t{8} << 20;

void run_copies(std::vector<ColumnCopy*>& jobs) {
    std::size_t bytes = 0;
    for (const ColumnCopy* j : jobs) bytes += j->bytes;
    // largest first, so that the two threads end close together
    std::stable_sort(jobs.begin(), jobs.end(), [](const ColumnCopy* a, const ColumnCopy* b) { return a->bytes > b->bytes; });
    std::atomic<std::size_t> next{0};
    const std::function<void()> work = [&] {
        for (std::size_t i = next++; i < jobs.size(); i = next++) jobs[i]->copy();
    };
    py::gil_scoped_release unlocked;
    core::run_two(jobs.size() >= 2 && bytes >= kParallelBytes, work, work);
}

// The result table: the other columns in their order, each gathered by the
// sample's row, then OBSVALUE, indexed by the sample times.
py::object assemble_result(py::handle df, std::optional<py::array_t<std::int64_t>> rows,
                           py::array_t<std::int64_t>& sample_times,
                           const TimeColumn& times, py::array_t<float>& values, const core::SplitPlan& plan,
                           const core::RowLayout& layout, py::handle np, py::handle pd) {
    py::object columns = df.attr("columns");
    const auto sd_pos = columns.attr("get_loc")("STARTDATE").cast<py::ssize_t>();
    const auto obs_pos = columns.attr("get_loc")("OBSVALUE").cast<py::ssize_t>();
    const auto ncols = static_cast<py::ssize_t>(py::len(columns));
    SampleRows s(std::move(rows), plan.samples, plan.counts, layout);
    std::vector<py::object> parts;
    std::vector<ColumnCopy> jobs(static_cast<std::size_t>(ncols));
    std::vector<ColumnCopy*> pending;
    py::ssize_t i = -1;
    for (py::handle item : df.attr("items")()) {  // (label, column) in column order
        if (++i == sd_pos || i == obs_pos) continue;
        py::object series = py::reinterpret_borrow<py::tuple>(item)[1];
        ColumnCopy& job = jobs[parts.size()];
        parts.push_back(gather_column(series, s, np, pd, job));
        if (job.copy) pending.push_back(&job);
    }
    run_copies(pending);
    py::dict table;
    for (std::size_t k = 0; k < parts.size(); ++k)
        table[py::int_(k)] = jobs[k].finish ? jobs[k].finish() : parts[k];
    table[py::int_(parts.size())] = values;
    py::list dropped;
    dropped.append(sd_pos);
    dropped.append(obs_pos);
    py::object kept = columns.attr("delete")(dropped);
    // joined tables carry no name on their columns
    if (columns.attr("nlevels").cast<int>() == 1) kept = kept.attr("rename")(py::none());
    py::object result = pd.attr("DataFrame")(table, "copy"_a = false);
    result.attr("columns") = kept.attr("insert")(py::len(kept), "OBSVALUE");
    result.attr("index") = time_index(sample_times, times, pd);
    return result.attr("__finalize__")(df);
}

// ---------------------------------------------------------------------------
// The module's functions

// Daily values: sorted, indexed by STARTDATE and OBSVALUE made numeric, all
// on the caller's table.
py::object convert_daily(py::object df, py::handle pd) {
    py::list by;
    by.append("STARTDATE");
    py::object sorted = df.attr("sort_values")("by"_a = by, "kind"_a = "stable", "na_position"_a = "last");
    py::object fresh = sorted.attr("set_index")("STARTDATE");
    py::object obs = unique_column(fresh, "OBSVALUE");
    py::object dtype = obs.attr("dtype");
    if (isinstance_of(dtype, pd, "StringDtype") || isinstance_of(dtype, pd, "ArrowDtype"))
        obs = obs.attr("astype")("object");  // text read the way object columns of str are
    py::object numbers = pd.attr("to_numeric")(obs, "errors"_a = "coerce").attr("astype")("float32");
    const auto obs_pos = fresh.attr("columns").attr("get_loc")("OBSVALUE").cast<py::ssize_t>();

    // Same object, new contents, a column at a time. Each column goes in as
    // the Series it is (on the same index), so that no dtype is inferred
    // again: an object column of texts stays object.
    df.attr("__delitem__")("STARTDATE");
    df.attr("index") = fresh.attr("index");
    const auto ncols = py::len(fresh.attr("columns"));
    py::object iloc = fresh.attr("iloc");
    for (py::ssize_t i = 0; i < static_cast<py::ssize_t>(ncols); ++i) {
        py::object value = i == obs_pos ? numbers.attr("to_numpy")()
                                        : iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()),
                                                              py::int_(i))];
        df.attr("isetitem")(i, value);
    }
    return df;
}

// How to_numeric reads a token with the pandas and the interpreter in use.
core::NumberRules number_rules(py::handle pd) {
    core::NumberRules rules;
    rules.dialect = kelvane::pandas_major(pd) >= 3 ? core::NumberDialect::pandas3 : core::NumberDialect::pandas2;
    // interpreters from before the limit on integer string conversion have none
    py::object limit = py::getattr(py::module_::import("sys"), "get_int_max_str_digits", py::none());
    rules.int_max_str_digits = limit.is_none() ? 0 : limit().cast<std::size_t>();
    return rules;
}

py::object split_lines(py::object df, py::object sample_by_seconds) {
    py::module_ m = self();
    py::object np = m.attr("np"), pd = m.attr("pd");
    m.attr("logger").attr("debug")("Splitting data...");
    if (!py::isinstance(df, pd.attr("DataFrame")))
        throw py::type_error("df must be a pandas DataFrame, not " +
                             kelvane::type_name(df));

    const char* step_unit = "minutes";
    std::int64_t step_seconds = 60;
    if (sample_by_seconds.equal(py::int_(1))) {
        step_unit = "seconds";
        step_seconds = 1;
    } else if (sample_by_seconds.equal(py::int_(60))) {
        step_unit = "minutes";
        step_seconds = 60;
    } else if (sample_by_seconds.equal(py::int_(3600))) {
        step_unit = "hours";
        step_seconds = 3600;
    }
    if (!(sample_by_seconds <= py::int_(3600))) return convert_daily(df, pd);

    TextColumn texts = read_texts(unique_column(df, "OBSVALUE"), np, pd);
    if (df.attr("columns").contains("timespan"))
        throw py::value_error("columns overlap but no suffix specified: ['timespan']");
    TimeColumn times = read_times(unique_column(df, "STARTDATE"), np, pd, step_unit);
    if (static_cast<std::size_t>(times.values.size()) != texts.rows.size())
        throw py::value_error("STARTDATE and OBSVALUE differ in length");
    {
        const std::int64_t* t = times.values.data();
        for (std::size_t i = 0; i < texts.rows.size(); ++i) texts.rows[i].start = t[i];
    }
    const std::int64_t step = step_seconds * units_per_second(times.unit);

    const core::NumberRules rules = number_rules(pd);
    core::SplitPlan plan;
    {
        py::gil_scoped_release unlocked;
        plan = core::plan_split(texts.rows, step, rules);
    }
    // Starts on one grid: the layout of the fill tells every sample's row,
    // and a row column is only made if a column needs one.
    std::optional<py::array_t<std::int64_t>> rows;
    if (!plan.aligned) rows = big_array<std::int64_t>(plan.samples);
    py::array_t<std::int64_t> sample_times = big_array<std::int64_t>(plan.samples);
    py::array_t<float> values = big_array<float>(plan.samples);
    const core::SplitTarget target{rows ? rows->mutable_data() : nullptr, sample_times.mutable_data(),
                                   values.mutable_data()};
    core::RowLayout layout;
    {
        py::gil_scoped_release unlocked;
        const core::NumericKind kind =
            core::fill_split(plan, texts.rows, target, core::NumericResult::floating, core::kParallelSamples, &layout);
        if (kind.integers_need_exact_rounding())
            core::fill_split(plan, texts.rows, target, kind.result(), core::kParallelSamples, &layout);
    }

    return assemble_result(df, std::move(rows), sample_times, times, values, plan, layout, np, pd);
}

}  // namespace

KELVANE_MODULE(cleaning, m) {
    m.doc() = "Splitting of packed daily observation strings into timestamped samples.";
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("logger") = py::module_::import("kelvane.logsetup").attr("cleaning_logger");

    m.def("split_lines", &split_lines, "df"_a, "sample_by_seconds"_a,
          "将每日观测记录中以空格分隔的观测值字符串拆分为逐个采样点的记录。\n\n"
          "df: 含 STARTDATE 与 OBSVALUE 列的每日数据表；\n"
          "sample_by_seconds: 采样间隔(秒)，大于 3600 时不拆分，仅原地排序、设索引并转换数值。\n"
          "返回以 STARTDATE 为索引、OBSVALUE 为 float32 的数据表。");
}
