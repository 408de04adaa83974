// kelvane.cleaning: daily rows with packed observation strings become one
// timestamped float32 sample per row.
#include "kelvane_bind.hpp"

#include <pybind11/numpy.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/split.hpp"

namespace {

namespace core = kelvane::core;
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
void read_arrow_chunk(py::handle chunk, TextColumn& out) {
    py::list buffers = chunk.attr("buffers")();
    const auto [validity, validity_size] = arrow_buffer(buffers[0]);
    const auto [offsets_raw, offsets_size] = arrow_buffer(buffers[1]);
    const auto [data, data_size] = arrow_buffer(buffers[2]);
    const auto first = chunk.attr("offset").cast<std::size_t>();
    const auto n = py::len(chunk);
    if (n == 0) return;
    if (offsets_raw == nullptr || offsets_size < (first + n + 1) * sizeof(Offset) ||
        (validity != nullptr && validity_size * 8 < first + n))
        throw py::value_error("OBSVALUE: malformed Arrow string buffers");
    const auto* offsets = reinterpret_cast<const Offset*>(offsets_raw);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t j = first + i;
        core::DayRow row;
        if (validity == nullptr || ((validity[j >> 3] >> (j & 7)) & 1)) {
            const Offset a = offsets[j], b = offsets[j + 1];
            if (a < 0 || b < a || static_cast<std::size_t>(b) > data_size)
                throw py::value_error("OBSVALUE: malformed Arrow string buffers");
            // an empty text may come without a data buffer; any non-null pointer will do
            static const char kEmpty = '\0';
            row.text = data ? reinterpret_cast<const char*>(data) + a : &kEmpty;
            row.size = static_cast<std::size_t>(b - a);
        }
        out.rows.push_back(row);
    }
}

// Arrow-backed text columns: the chunks' offsets and data buffers.
void read_arrow_texts(py::handle series, TextColumn& out) {
    py::module_ pa = py::module_::import("pyarrow");
    py::object chunked = series.attr("array").attr("__arrow_array__")();
    if (!isinstance_of(chunked, pa, "ChunkedArray")) chunked = pa.attr("chunked_array")(py::make_tuple(chunked));
    out.owners.push_back(chunked);
    py::object types = pa.attr("types");
    for (py::handle c : chunked.attr("chunks")) {
        py::object chunk = py::reinterpret_borrow<py::object>(c);
        if (truthy(types.attr("is_string")(chunk.attr("type")))) {
            read_arrow_chunk<std::int32_t>(chunk, out);
        } else {
            if (!truthy(types.attr("is_large_string")(chunk.attr("type"))))
                chunk = chunk.attr("cast")(pa.attr("large_string")());
            out.owners.push_back(chunk);
            read_arrow_chunk<std::int64_t>(chunk, out);
        }
    }
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
        else read_arrow_texts(obs, out);
    } else if (isinstance_of(dtype, pd, "ArrowDtype")) {
        read_arrow_texts(obs, out);
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

    // Same object, new contents (a column at a time keeps every dtype).
    df.attr("__delitem__")("STARTDATE");
    df.attr("index") = fresh.attr("index");
    const auto ncols = py::len(fresh.attr("columns"));
    py::object iloc = fresh.attr("iloc");
    for (py::ssize_t i = 0; i < static_cast<py::ssize_t>(ncols); ++i) {
        py::object value = i == obs_pos ? numbers.attr("to_numpy")()
                                        : iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()),
                                                              py::int_(i))]
                                              .attr("array");
        df.attr("isetitem")(i, value);
    }
    return df;
}

py::object split_lines(py::object df, py::object sample_by_seconds) {
    py::module_ m = self();
    py::object np = m.attr("np"), pd = m.attr("pd");
    m.attr("logger").attr("debug")("Splitting data...");
    if (!py::isinstance(df, pd.attr("DataFrame")))
        throw py::type_error("df must be a pandas DataFrame, not " +
                             py::str(py::type::of(df).attr("__name__")).cast<std::string>());

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

    core::SplitPlan plan;
    {
        py::gil_scoped_release unlocked;
        plan = core::plan_split(texts.rows, step);
    }
    const auto n = static_cast<py::ssize_t>(plan.samples);
    py::array_t<std::int64_t> rows(n), sample_times(n);
    py::array_t<float> values(n);
    const core::SplitTarget target{rows.mutable_data(), sample_times.mutable_data(), values.mutable_data()};
    {
        py::gil_scoped_release unlocked;
        const core::NumericKind kind = core::fill_split(plan, texts.rows, target);
        if (kind.integers_need_exact_rounding()) core::fill_split(plan, texts.rows, target, kind.result());
    }

    py::list drop;
    drop.append("STARTDATE");
    drop.append("OBSVALUE");
    py::object result = df.attr("drop")("columns"_a = drop).attr("take")(rows);
    result.attr("index") = time_index(sample_times, times, pd);
    result.attr("__setitem__")("OBSVALUE", values);
    return result;
}

}  // namespace

PYBIND11_MODULE(cleaning, m) {
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
