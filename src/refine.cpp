// kelvane.refine: post-processing of fetched series for the analyst's own
// use: per-series resampling, year-normalised dates and a Hampel spike filter
// whose rolling median and MAD run in the C++ core (core/hampel.hpp).
#include "kelvane_bind.hpp"

#include "core/hampel.hpp"
#include "refine/completeness.hpp"
#include "refine/dataset.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

namespace {

// ---------------------------------------------------------------------------
// Conversions from Python objects
// ---------------------------------------------------------------------------

py::module_ pandas() { return py::module_::import("pandas"); }
py::module_ numpy() { return py::module_::import("numpy"); }

using kelvane::type_name;

// A Python integer (or anything with __index__) as long long; *overflow is
// set to +1 or -1 when it does not fit. Raises TypeError otherwise.
long long integer_argument(py::handle value, const char* name, int* overflow) {
    if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
        throw py::type_error(std::string(name) + " 必须是整数，而不是 " + type_name(value));
    }
    py::object as_int = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!as_int) throw py::error_already_set();
    long long result = PyLong_AsLongLongAndOverflow(as_int.ptr(), overflow);
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

// window_size: an integer of at least 1, returned as a row count (a window
// longer than any series is kept as SIZE_MAX).
std::size_t window_argument(py::handle value) {
    int overflow = 0;
    long long w = integer_argument(value, "window_size", &overflow);
    if (overflow < 0 || (overflow == 0 && w < 1)) {
        throw py::value_error("window_size 必须是不小于 1 的整数，而不是 " +
                              kelvane::to_text(value));
    }
    if (overflow > 0) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(w);
}

double real_argument(py::handle value, const char* name) {
    if (!PyFloat_Check(value.ptr()) && !PyLong_Check(value.ptr()) &&
        !PyObject_HasAttrString(value.ptr(), "__float__")) {
        throw py::type_error(std::string(name) + " 必须是数值，而不是 " + type_name(value));
    }
    double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

// How a series' values reach the kernel and how the result is typed.
enum class ValuePath {
    Float32,       // numpy float32: filtered as float32
    Float64,       // numpy float64: filtered as float64
    CastBack,      // other numpy floats and numeric extension dtypes of float kind:
                   // filtered as float64, result cast back to the series' dtype
    ToFloat64,     // numpy integers and booleans: result float64
    ToNullable,    // extension integers and booleans: result nullable Float64
};

// An object series reaches pandas' rolling windows as float64, each value
// converted on its own, and the values themselves are then compared with
// their local medians: together these steps take missing values (None, NaN)
// and real numbers (int, bool, float, NumPy numbers, Fraction) and nothing
// else, not even a text that reads as a number.
void require_real_numbers(py::handle series) {
    py::object real = py::module_::import("numbers").attr("Real");
    py::object numpy_bool = numpy().attr("bool_");
    std::size_t position = 0;
    for (py::handle value : series.attr("to_numpy")()) {
        PyObject* p = value.ptr();
        const bool number = p == Py_None || PyFloat_Check(p) || PyLong_Check(p) ||
                            py::isinstance(value, real) || py::isinstance(value, numpy_bool);
        if (!number) {
            py::object label = series.attr("index")[py::int_(position)];
            py::str message = py::str("数据必须是数值类型，索引 {} 处的值 {!r} 是 {}")
                                  .format(label, value, type_name(value));
            PyErr_SetObject(PyExc_TypeError, message.ptr());
            throw py::error_already_set();
        }
        ++position;
    }
}

ValuePath value_path(py::handle series) {
    py::object dtype = series.attr("dtype");
    py::object np = numpy();
    const bool is_numpy = py::isinstance(dtype, np.attr("dtype"));
    std::string kind = py::str(dtype.attr("kind")).cast<std::string>();
    if (is_numpy && kind == "O") {
        require_real_numbers(series);
        return ValuePath::ToFloat64;
    }
    bool numeric = kind.size() == 1 && std::string("iufb").find(kind[0]) != std::string::npos;
    if (!is_numpy) {
        numeric = numeric && kelvane::truthy(
                                 pandas().attr("api").attr("types").attr("is_numeric_dtype")(dtype));
    }
    if (!numeric) {
        throw py::type_error("数据必须是数值类型，而不是 " + kelvane::to_text(dtype));
    }
    if (!is_numpy) return kind == "f" ? ValuePath::CastBack : ValuePath::ToNullable;
    if (kind != "f") return ValuePath::ToFloat64;
    const auto itemsize = dtype.attr("itemsize").cast<std::size_t>();
    if (itemsize == 4) return ValuePath::Float32;
    if (itemsize == 8) return ValuePath::Float64;
    if (itemsize < 8) return ValuePath::CastBack;
    // Wider floats would lose digits in the float64 windows.
    throw py::type_error("不支持的数据类型 " + kelvane::to_text(dtype) + "，请先转换为 float64");
}

// Filter one contiguous buffer of T; the GIL is released while the kernel runs.
template <class T>
py::array_t<T> filter_values(py::object values, std::size_t window, double factor) {
    auto in = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(values);
    if (!in) throw py::error_already_set();
    if (in.ndim() != 1) throw py::value_error("数据必须是一维的");
    const auto n = static_cast<std::size_t>(in.shape(0));
    py::array_t<T> out(static_cast<py::ssize_t>(n));
    const T* src = in.data();
    T* dst = out.mutable_data();
    {
        py::gil_scoped_release release;
        kelvane::core::hampel_filter(src, n, window, factor, dst);
    }
    return out;
}

// The filtered copy of one series: same index, name and attrs.
py::object filter_series(py::object data, std::size_t window, double factor) {
    py::object pd = pandas();
    py::object np = numpy();
    const ValuePath path = value_path(data);
    py::object values;
    switch (path) {
        case ValuePath::Float32:
            values = filter_values<float>(data.attr("to_numpy")(), window, factor);
            break;
        case ValuePath::Float64:
            values = filter_values<double>(data.attr("to_numpy")(), window, factor);
            break;
        default:
            values = filter_values<double>(
                data.attr("to_numpy")("dtype"_a = np.attr("float64"), "na_value"_a = np.attr("nan")),
                window, factor);
            break;
    }
    py::object result = pd.attr("Series")(values, "index"_a = data.attr("index"),
                                          "name"_a = data.attr("name"), "copy"_a = false);
    if (path == ValuePath::CastBack) {
        result = result.attr("astype")(data.attr("dtype"));
    } else if (path == ValuePath::ToNullable) {
        result = result.attr("astype")("Float64");
    }
    if (py::len(data.attr("attrs")) > 0) {
        result.attr("attrs") = py::module_::import("copy").attr("deepcopy")(data.attr("attrs"));
    }
    return result;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The normalised dates (microseconds, NaT kept) as the column pandas' Index.map
// makes of such dates: datetime64[us] on pandas 3. pandas 2 builds an index of
// the mapped datetimes, nanoseconds when every one fits their range and
// datetime objects otherwise, and gives a zone-aware index's zone and unit
// back to it (the dates read as wall times there) when each midnight exists.
py::object normalized_column(py::array_t<std::int64_t>& micros, py::handle index, py::handle pd) {
    py::object values = micros.attr("view")("datetime64[us]");
    if (kelvane::pandas_major(pd) >= 3) return values;
    const std::int64_t* us = micros.data();
    for (py::ssize_t i = 0; i < micros.size(); ++i) {
        std::int64_t ns = 0;
        if (us[i] != std::numeric_limits<std::int64_t>::min() && __builtin_mul_overflow(us[i], 1000, &ns))
            return values.attr("astype")("object");
    }
    py::object nanos = values.attr("astype")("datetime64[ns]");
    py::object dtype = index.attr("dtype");
    if (!py::isinstance(dtype, pd.attr("DatetimeTZDtype"))) return nanos;
    try {
        return pd.attr("DatetimeIndex")(nanos).attr("tz_localize")(dtype.attr("tz")).attr("as_unit")(dtype.attr("unit"));
    } catch (py::error_already_set& e) {
        if (!kelvane::is_ordinary(e)) throw;
        return nanos;  // a midnight that does not exist there, or occurs twice
    }
}

bool leap_year(long long year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// ---------------------------------------------------------------------------
// The module's functions
// ---------------------------------------------------------------------------

bool is_leap_year(py::object year) {
    auto divisible = [&](long divisor) {
        py::object rest = py::reinterpret_steal<py::object>(
            PyNumber_Remainder(year.ptr(), py::int_(divisor).ptr()));
        if (!rest) throw py::error_already_set();
        return rest.equal(py::int_(0));
    };
    return (divisible(4) && !divisible(100)) || divisible(400);
}

py::object create_normalized_dates(py::object df, py::object reference_year) {
    py::object pd = pandas();
    py::object np = numpy();
    if (!py::isinstance(df.attr("index"), pd.attr("DatetimeIndex"))) {
        try {
            df.attr("index") = pd.attr("to_datetime")(df.attr("index"));
        } catch (py::error_already_set& e) {
            if (!kelvane::is_ordinary(e)) throw;
            return df;   // an index that is not made of times: nothing to add
        }
    }
    int overflow = 0;
    const long long year = integer_argument(reference_year, "reference_year", &overflow);
    if (overflow != 0 || year < 1 || year > 9999) {
        throw py::value_error("year " + kelvane::to_text(reference_year) + " is out of range");
    }
    const bool leap = leap_year(year);

    py::object index = df.attr("index");
    if (py::len(index) == 0) {
        // mapping an empty index gives an empty index of its own dtype
        df.attr("__setitem__")("datetime_norm", index);
        return df;
    }
    auto as_float = [&](const char* field) {
        return py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
            np.attr("asarray")(index.attr(field), "dtype"_a = np.attr("float64")));
    };
    py::array_t<double> month, day;
    if (py::isinstance(index, pd.attr("DatetimeIndex"))) {
        month = as_float("month");
        day = as_float("day");
    } else {
        // pandas 2 converts texts with different UTC offsets to an index of
        // datetime objects, each with its own offset: read them one by one
        month = py::array_t<double>(static_cast<py::ssize_t>(py::len(index)));
        day = py::array_t<double>(static_cast<py::ssize_t>(py::len(index)));
        double* mo = month.mutable_data();
        double* da = day.mutable_data();
        for (py::handle stamp : index) {
            *mo++ = py::float_(stamp.attr("month")).cast<double>();
            *da++ = py::float_(stamp.attr("day")).cast<double>();
        }
    }
    if (!month || !day) throw py::error_already_set();
    const auto n = static_cast<std::size_t>(month.shape(0));
    py::array_t<std::int64_t> micros(static_cast<py::ssize_t>(n));
    {
        const double* mo = month.data();
        const double* da = day.data();
        std::int64_t* out = micros.mutable_data();
        py::gil_scoped_release release;
        constexpr std::int64_t kMicrosPerDay = 86'400'000'000LL;
        for (std::size_t i = 0; i < n; ++i) {
            if (std::isnan(mo[i]) || std::isnan(da[i])) {
                out[i] = std::numeric_limits<std::int64_t>::min();   // NaT stays NaT
                continue;
            }
            const auto m = static_cast<unsigned>(mo[i]);
            auto d = static_cast<unsigned>(da[i]);
            if (m == 2 && d == 29 && !leap) d = 28;
            out[i] = days_from_civil(year, m, d) * kMicrosPerDay;
        }
    }
    df.attr("__setitem__")("datetime_norm", normalized_column(micros, index, pd));
    return df;
}

py::object resample_timeseries_data(py::object df, py::object freq, py::object agg_method) {
    py::object pd = pandas();
    const char* required[] = {"STARTDATE", "STATIONID", "POINTID", "ITEMID", "OBSVALUE"};
    py::object columns = df.attr("columns");
    for (const char* name : required) {
        if (!columns.contains(name)) {
            throw py::value_error(std::string("缺少必要的列: ") + name);
        }
    }
    py::object copy = df.attr("copy")();
    copy.attr("__setitem__")("STARTDATE", pd.attr("to_datetime")(copy["STARTDATE"]));
    copy = copy.attr("set_index")("STARTDATE");

    const char* methods[] = {"mean", "sum", "median", "max", "min"};
    // The method is checked once there is a series to aggregate; with none,
    // an unknown method only leaves the values as they are (there are none).
    auto aggregate = [&](py::object series, bool has_series) -> py::object {
        py::object resampler = series.attr("resample")(freq);
        for (const char* method : methods) {
            if (agg_method.equal(py::str(method))) return resampler.attr(method)();
        }
        if (!has_series) return resampler.attr("asfreq")();
        throw py::value_error("不支持的聚合方法，请选择'mean', 'sum', 'median', 'max', 'min'之一");
    };

    py::list keys;
    for (const char* key : {"STATIONID", "POINTID", "ITEMID"}) keys.append(key);
    py::list parts;
    for (py::handle item : copy.attr("groupby")(keys)) {
        py::tuple pair = item.cast<py::tuple>();
        py::tuple key = pair[0].cast<py::tuple>();
        py::object frame = aggregate(pair[1]["OBSVALUE"], true).attr("to_frame")();
        for (std::size_t k = 0; k < 3; ++k) frame.attr("__setitem__")(keys[k], key[k]);
        parts.append(frame);
    }
    if (parts.empty()) {
        // No series at all (no rows, or no row with all three keys): an empty
        // table with the result's columns, typed as a resampled series would be.
        py::object none = copy.attr("iloc")[py::slice(0, 0, 1)];
        py::object frame = aggregate(none["OBSVALUE"], false).attr("to_frame")();
        for (std::size_t k = 0; k < 3; ++k) {
            frame.attr("__setitem__")(
                keys[k], none[keys[k]].attr("set_axis")(frame.attr("index")));
        }
        return frame.attr("reset_index")();
    }
    py::object result = pd.attr("concat")(parts).attr("reset_index")();
    return result.attr("sort_values")(keys);
}

py::object fast_mad(py::object x) {
    py::object np = numpy();
    py::object median = np.attr("median")(x);
    py::object centred = py::reinterpret_steal<py::object>(PyNumber_Subtract(x.ptr(), median.ptr()));
    if (!centred) throw py::error_already_set();
    return np.attr("median")(np.attr("abs")(centred)) * py::float_(kelvane::core::kMadScale);
}

py::object filter_with_fast_mad(py::object df, py::object window_size,
                                py::object threshold_factor) {
    py::object pd = pandas();
    const bool is_df = py::isinstance(df, pd.attr("DataFrame"));
    if (!is_df && !py::isinstance(df, pd.attr("Series"))) {
        throw py::type_error("df 必须是 pandas Series 或包含 OBSVALUE 列的 DataFrame，而不是 " +
                             type_name(df));
    }
    py::object data = is_df ? df["OBSVALUE"] : df;
    if (!py::isinstance(data, pd.attr("Series"))) {
        throw py::value_error("OBSVALUE 列不唯一");
    }
    const std::size_t window = window_argument(window_size);
    const double factor = real_argument(threshold_factor, "threshold_factor");
    py::object filtered = filter_series(data, window, factor);
    if (!is_df) return filtered;
    py::object out = df.attr("copy")();
    out.attr("__setitem__")("OBSVALUE", filtered);
    return out;
}

// Test hook: the rolling-window kernel and split of every later filter call
// ("automatic", "sorted", "portable", "avx2", "avx512"; "automatic", "never",
// "always"). False, changing nothing, when this processor lacks the kernel.
bool set_filter_kernel(const std::string& kernel, const std::string& split) {
    using kelvane::core::HampelKernel;
    using kelvane::core::HampelSplit;
    static const std::pair<const char*, HampelKernel> kKernels[] = {
        {"automatic", HampelKernel::Automatic}, {"sorted", HampelKernel::Sorted},
        {"portable", HampelKernel::Portable},   {"avx2", HampelKernel::Avx2},
        {"avx512", HampelKernel::Avx512}};
    static const std::pair<const char*, HampelSplit> kSplits[] = {
        {"automatic", HampelSplit::Automatic}, {"never", HampelSplit::Never},
        {"always", HampelSplit::Always}};
    auto find = [](const auto& table, const std::string& name, const char* what) {
        for (const auto& [key, value] : table) {
            if (name == key) return value;
        }
        throw py::value_error(std::string("unknown ") + what + " " + name);
    };
    return kelvane::core::set_hampel_kernel(find(kKernels, kernel, "kernel"),
                                            find(kSplits, split, "split"));
}

py::object filter_dataset(py::object src, py::object dst, py::object window_size,
                          py::object threshold_factor, py::object client) {
    return kelvane::refine_dataset::filter_dataset(src, dst, window_argument(window_size),
                                                   real_argument(threshold_factor, "threshold_factor"),
                                                   client);
}

}  // namespace

KELVANE_MODULE(refine, m) {
    m.doc() = "Post-processing of observation series: resampling, normalised dates, MAD filter.";

    // Outside libraries, in load order; the module loads no sibling.
    m.attr("pd") = py::module_::import("pandas");
    m.attr("np") = py::module_::import("numpy");
    m.attr("datetime") = py::module_::import("datetime").attr("datetime");

    m.def("_is_leap_year", &is_leap_year, "year"_a, "检查是否为闰年");
    m.def("create_normalized_dates", &create_normalized_dates, "df"_a,
          "reference_year"_a = 2024,
          "创建归一化日期列，将所有年份映射到参考年份，正确处理闰年问题。\n"
          "\n"
          "参数:\n"
          "    df: 包含时间序列索引的 DataFrame\n"
          "    reference_year: 映射到的参考年份（默认2024是闰年，可以容纳2月29日）\n"
          "\n"
          "返回:\n"
          "    DataFrame: 包含 'datetime_norm' 列的 DataFrame");
    m.def("resample_timeseries_data", &resample_timeseries_data, "df"_a, "freq"_a,
          "agg_method"_a = "mean",
          "对时间序列数据进行重采样\n"
          "\n"
          "参数:\n"
          "    df: 包含时间序列数据的DataFrame，必须包含STARTDATE和OBSVALUE列\n"
          "    freq: 重采样频率，如'D'表示日均值，'H'表示小时值等\n"
          "    agg_method: 聚合方法，可选'mean', 'sum', 'median', 'max', 'min'\n"
          "\n"
          "返回:\n"
          "    DataFrame: 重采样后的数据");
    m.def("fast_mad", &fast_mad, "x"_a,
          "计算中位数绝对偏差 (MAD) 乘以比例因子 1.4826。\n"
          "1.4826 是为了使 MAD 在正态分布下等价于标准差。");
    m.def("_set_filter_kernel", &set_filter_kernel, "kernel"_a = "automatic",
          "split"_a = "automatic");
    m.def("filter_with_fast_mad", &filter_with_fast_mad, "df"_a, "window_size"_a = 15,
          "threshold_factor"_a = 5.0,
          "基于滚动窗口 MAD 的异常值过滤（Hampel Filter）。\n"
          "\n"
          "参数:\n"
          "    df: 输入的 Series 或 单列 DataFrame (包含 OBSVALUE)\n"
          "    window_size: 滚动窗口大小\n"
          "    threshold_factor: 阈值因子，默认为 5.0，即 5 倍“标准差”\n"
          "\n"
          "返回:\n"
          "    DataFrame/Series: 过滤后的数据，异常值已被局部中位数替换");
    m.def("filter_dataset", &filter_dataset, "src"_a, "dst"_a, "window_size"_a = 15,
          "threshold_factor"_a = 5.0, "client"_a = py::none(),
          "在 Dask 集群上对数据集的每个序列（台站、测点、测项）做 Hampel 滤波。\n"
          "\n"
          "参数:\n"
          "    src: DataFetcher.export_dataset 写出的数据集目录\n"
          "    dst: 滤波结果的目录（同样的分区布局）\n"
          "    window_size: 滚动窗口大小\n"
          "    threshold_factor: 阈值因子\n"
          "    client: dask.distributed 的 Client；为 None 时用当前默认的 Client，\n"
          "        没有则启动一个本机的（线程）集群\n"
          "\n"
          "返回:\n"
          "    dict: 写出的文件数、行数与字节数 (files, rows, bytes)");
    kelvane::refine_dataset::bind(m);
    kelvane::refine_completeness::bind(m);
}
