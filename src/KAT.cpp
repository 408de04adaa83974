// kelvane.KAT: reading an earthquake catalogue file and marking the
// earthquakes near a station.
#include "kelvane_bind.hpp"

#include <pybind11/numpy.h>

#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/catalogue.hpp"

namespace {

using kelvane::core::CatalogueColumns;
using kelvane::core::Utf8Column;
using kelvane::core::kNoTime;

constexpr const char* kTimeFormat = "%Y%m%d%H%M%S";

py::module_ kat_module() { return kelvane::self_module("kelvane.KAT"); }

// ---------------------------------------------------------------------------
// Conversions between Python objects and the catalogue kernel

// A NumPy array that takes over a vector's storage.
template <class T>
py::array_t<T> to_array(std::vector<T>&& values) {
    auto* owner = new std::vector<T>(std::move(values));
    py::capsule release(owner, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return py::array_t<T>(static_cast<py::ssize_t>(owner->size()), owner->data(), release);
}

// The whole text of a file opened in text mode, closed again on every path.
// The path must name a file: open() would take an integer for a file
// descriptor and close it after reading (standard input or output, say).
py::str read_text(py::handle path, py::handle encoding) {
    if (!py::isinstance<py::str>(path) && !py::isinstance<py::bytes>(path) &&
        !py::isinstance(path, py::module_::import("os").attr("PathLike"))) {
        throw py::type_error("kat_dir must be a path (str, bytes or os.PathLike), not " +
                             py::str(py::type::handle_of(path).attr("__name__")).cast<std::string>());
    }
    py::object file = py::module_::import("builtins").attr("open")(path, "r", "encoding"_a = encoding);
    py::object text;
    try {
        text = file.attr("read")();
    } catch (py::error_already_set&) {
        try {
            file.attr("close")();
        } catch (py::error_already_set&) {
            // the reading error is the one the caller needs
        }
        throw;
    }
    file.attr("close")();
    if (!PyUnicode_Check(text.ptr())) throw py::type_error("the catalogue file did not give text");
    return py::reinterpret_borrow<py::str>(text);
}

struct ParsedText {
    CatalogueColumns columns;
    Utf8Column names;
};

template <class Unit>
ParsedText parse_units(const void* data, std::size_t length) {
    const auto* units = static_cast<const Unit*>(data);
    ParsedText out{kelvane::core::parse_catalogue(units, length), {}};
    out.names = kelvane::core::utf8_column(units, out.columns.name);
    return out;
}

// Parses a str with the kernel, without the GIL, straight from its storage;
// the place names come back as UTF-8 as well.
ParsedText parse_text(const py::str& text) {
    PyObject* o = text.ptr();
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(o) < 0) throw py::error_already_set();
#endif
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(o));
    const int kind = PyUnicode_KIND(o);
    const void* data = PyUnicode_DATA(o);
    py::gil_scoped_release unlocked;
    switch (kind) {
        case PyUnicode_1BYTE_KIND:
            return parse_units<std::uint8_t>(data, length);
        case PyUnicode_2BYTE_KIND:
            return parse_units<std::uint16_t>(data, length);
        default:
            return parse_units<char32_t>(data, length);
    }
}

py::str substring(const py::str& text, kelvane::core::TextSpan span) {
    PyObject* s = PyUnicode_Substring(text.ptr(), static_cast<Py_ssize_t>(span.begin),
                                      static_cast<Py_ssize_t>(span.end));
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

// Numbers in forms the kernel leaves alone go through float(); a value error
// makes them NaN.
void settle_numbers(const py::str& text, CatalogueColumns& cols) {
    std::vector<double>* columns[3] = {&cols.latitude, &cols.longitude, &cols.magnitude};
    for (const auto& field : cols.deferred_numbers) {
        py::str piece = substring(text, field.text);
        double value = std::numeric_limits<double>::quiet_NaN();
        PyObject* number = PyFloat_FromString(piece.ptr());
        if (number) {
            value = PyFloat_AS_DOUBLE(number);
            Py_DECREF(number);
        } else if (PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
        } else {
            throw py::error_already_set();
        }
        (*columns[static_cast<int>(field.column)])[field.row] = value;
    }
}

// Origin times as datetime64 values in the resolution pandas gives a column
// of such texts: microseconds when any time is valid, seconds when none is;
// with pandas 2 always nanoseconds, a time outside their range being NaT.
// Times the kernel leaves alone are converted by pandas with the catalogue's
// format, invalid ones becoming NaT.
py::object origin_times(py::handle pd, const py::str& text, const CatalogueColumns& cols) {
    std::vector<std::int64_t> micros(cols.rows());
    bool any_valid = false;
    for (std::size_t i = 0; i < cols.rows(); ++i) {
        std::int64_t s = cols.seconds[i];
        micros[i] = s == kNoTime ? kNoTime : s * 1000000;
        any_valid = any_valid || s != kNoTime;
    }
    if (!cols.deferred_times.empty()) {
        py::list pieces;
        for (const auto& field : cols.deferred_times) pieces.append(substring(text, field.text));
        py::object parsed = pd.attr("to_datetime")(pd.attr("Series")(pieces), "format"_a = kTimeFormat,
                                                   "errors"_a = "coerce");
        auto values = parsed.attr("to_numpy")("dtype"_a = "datetime64[us]")
                          .attr("view")("int64")
                          .cast<py::array_t<std::int64_t, py::array::forcecast>>();
        auto v = values.unchecked<1>();
        if (static_cast<std::size_t>(v.shape(0)) != cols.deferred_times.size())
            throw std::runtime_error("time conversion gave a wrong number of values");
        for (std::size_t k = 0; k < cols.deferred_times.size(); ++k) {
            std::int64_t us = v(static_cast<py::ssize_t>(k));
            micros[cols.deferred_times[k].row] = us;
            any_valid = any_valid || us != kNoTime;
        }
    }
    if (kelvane::pandas_major(pd) < 3) {
        for (std::int64_t& t : micros) {
            std::int64_t nanos = 0;
            if (t != kNoTime) t = __builtin_mul_overflow(t, 1000, &nanos) ? kNoTime : nanos;
        }
        return to_array(std::move(micros)).attr("view")("datetime64[ns]");
    }
    return to_array(std::move(micros)).attr("view")(any_valid ? "datetime64[us]" : "datetime64[s]");
}

// The name column: text, or NaN for a line without a name, in the dtype
// pandas gives a list of such values. When no line has a name the column is
// all NaN floats. Arrow-backed text columns are built from the UTF-8 buffers
// without making a Python object per name.
py::object place_names(py::handle pd, py::handle np, const py::str& text, const CatalogueColumns& cols,
                       Utf8Column&& utf8) {
    const std::size_t n = cols.rows();
    if (utf8.null_count == n) return np.attr("full")(n, np.attr("nan"));
    py::list probe;
    probe.append("");
    py::object dtype = pd.attr("Series")(probe).attr("dtype");
    if (utf8.encodable && py::str(py::getattr(dtype, "storage", py::none())).equal(py::str("pyarrow"))) {
        py::module_ pa = py::module_::import("pyarrow");
        const std::size_t nulls = utf8.null_count;
        py::list buffers;
        buffers.append(nulls ? pa.attr("py_buffer")(to_array(std::move(utf8.validity))) : py::none());
        buffers.append(pa.attr("py_buffer")(to_array(std::move(utf8.offsets))));
        buffers.append(pa.attr("py_buffer")(to_array(std::move(utf8.data))));
        py::object array = pa.attr("Array").attr("from_buffers")(pa.attr("large_string")(), n, buffers,
                                                                 "null_count"_a = nulls);
        return pd.attr("array")(array, "dtype"_a = dtype);
    }
    py::list names(n);
    py::float_ nan(std::numeric_limits<double>::quiet_NaN());
    for (std::size_t i = 0; i < cols.rows(); ++i) {
        const auto& span = cols.name[i];
        PyObject* item = span.empty() ? nan.inc_ref().ptr() : substring(text, span).release().ptr();
        PyList_SET_ITEM(names.ptr(), static_cast<Py_ssize_t>(i), item);
    }
    return names;
}

struct PairHash {
    std::size_t operator()(const std::pair<std::uint64_t, std::uint64_t>& p) const noexcept {
        return std::hash<std::uint64_t>()(p.first * 0x9E3779B97F4A7C15ull ^ p.second);
    }
};

// The distance of each epicentre (lat, lon) from the station with one geopy
// geodesic calculator; infinity where the computation raises. Repeated
// epicentres (aftershock sequences share coordinates) are computed once.
py::array_t<double> epicentral_distances(py::handle df, py::handle station) {
    py::object calculator = kat_module().attr("geodesic")();
    py::object measure = calculator.attr("measure");
    py::list lats = df.attr("__getitem__")("lat").attr("tolist")();
    py::list lons = df.attr("__getitem__")("lon").attr("tolist")();
    const auto n = static_cast<std::size_t>(py::len(lats));
    if (static_cast<std::size_t>(py::len(lons)) != n)
        throw py::value_error("the lat and lon columns differ in length");
    std::vector<double> km(n);
    std::unordered_map<std::pair<std::uint64_t, std::uint64_t>, double, PairHash> known;
    for (std::size_t i = 0; i < n; ++i) {
        py::object lat = lats[i], lon = lons[i];
        const bool floats = PyFloat_CheckExact(lat.ptr()) && PyFloat_CheckExact(lon.ptr());
        std::pair<std::uint64_t, std::uint64_t> key{};
        if (floats) {
            key = {std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(lat.ptr())),
                   std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(lon.ptr()))};
            if (auto hit = known.find(key); hit != known.end()) {
                km[i] = hit->second;
                continue;
            }
        }
        try {
            py::object d = measure(station, py::make_tuple(lat, lon));
            km[i] = d.cast<double>();
        } catch (py::error_already_set& e) {
            if (!kelvane::is_ordinary(e)) throw;
            km[i] = std::numeric_limits<double>::infinity();
        } catch (py::cast_error&) {
            km[i] = std::numeric_limits<double>::infinity();
        }
        if (floats) known.emplace(key, km[i]);
    }
    return to_array(std::move(km));
}

// (dist_limit, mag_limit) of one rule, unpacked as `a, b = rule` would.
std::pair<py::object, py::object> unpack_rule(py::handle rule) {
    py::object it = py::reinterpret_steal<py::object>(PyObject_GetIter(rule.ptr()));
    if (!it) {
        PyErr_Clear();
        throw py::type_error("cannot unpack non-iterable " +
                             py::type::of(rule).attr("__name__").cast<std::string>() + " object");
    }
    std::vector<py::object> items;
    while (items.size() < 3) {
        PyObject* next = PyIter_Next(it.ptr());
        if (!next) {
            if (PyErr_Occurred()) throw py::error_already_set();
            break;
        }
        items.push_back(py::reinterpret_steal<py::object>(next));
    }
    if (items.size() > 2) throw py::value_error("too many values to unpack (expected 2)");
    if (items.size() < 2)
        throw py::value_error("not enough values to unpack (expected 2, got " +
                              std::to_string(items.size()) + ")");
    return {items[0], items[1]};
}

// ---------------------------------------------------------------------------
// The functions as the analyst calls them

py::object read_KAT(py::object kat_dir, py::object encoding) {
    py::module_ self = kat_module();
    py::object pd = self.attr("pd");
    py::object np = self.attr("np");

    py::str text = read_text(kat_dir, encoding);
    ParsedText parsed = parse_text(text);
    CatalogueColumns& cols = parsed.columns;
    settle_numbers(text, cols);

    py::object index = pd.attr("DatetimeIndex")(origin_times(pd, text, cols), "name"_a = "ind");
    py::object names = place_names(pd, np, text, cols, std::move(parsed.names));
    py::dict columns;
    columns["lon"] = to_array(std::move(cols.longitude));
    columns["lat"] = to_array(std::move(cols.latitude));
    columns["magnitude"] = to_array(std::move(cols.magnitude));
    columns["name"] = names;
    return pd.attr("DataFrame")(columns, "index"_a = index);
}

py::object filtered_kats(py::object df, py::object station, py::object filters,
                         py::object default_magnitude, py::object default_distance) {
    if (filters.is_none()) {
        py::list rules;
        rules.append(py::make_tuple(default_distance, default_magnitude));
        filters = rules;
    } else if (!py::isinstance<py::list>(filters)) {
        py::list rules;
        rules.append(filters);
        filters = rules;
    }

    df.attr("index").attr("name") = "date";
    py::object later = df.attr("index").attr("__gt__")("1970-01-01");
    py::object out = df.attr("__getitem__")(later).attr("copy")();
    auto column = [&](const char* name) { return out.attr("__getitem__")(name); };
    auto set_column = [&](const char* name, py::handle value) { out.attr("__setitem__")(name, value); };

    set_column("distance", epicentral_distances(out, station));

    set_column("flag", py::int_(0));
    py::object loc = out.attr("loc");
    for (py::handle rule : filters) {
        auto [dist_limit, mag_limit] = unpack_rule(rule);
        py::object chosen = column("distance").attr("__lt__")(dist_limit).attr("__and__")(
            column("magnitude").attr("__ge__")(mag_limit));
        loc.attr("__setitem__")(py::make_tuple(chosen, "flag"), 1);
    }

    set_column("size", column("magnitude").attr("__sub__")(3).attr("__mul__")(5));
    loc.attr("__setitem__")(py::make_tuple(column("size").attr("__lt__")(5), "size"), 5);

    // Names as text with missing names kept missing, so that a catalogue
    // whose name column holds no text at all still gets its (missing) labels.
    py::object name = column("name");
    py::object name_text = name.attr("astype")("str").attr("where")(name.attr("notna")());
    // A missing magnitude is written "nan", as str() writes it.
    py::object magnitude_text = column("magnitude").attr("astype")("str").attr("fillna")("nan");
    py::object distance_text = column("distance").attr("round")(1).attr("astype")("str");
    py::object text = name_text.attr("__add__")("Ml")
                          .attr("__add__")(magnitude_text)
                          .attr("__add__")("\n")
                          .attr("__add__")(distance_text)
                          .attr("__add__")("km");
    set_column("text", text);
    return out;
}

}  // namespace

KELVANE_MODULE(KAT, m) {
    m.doc() = "Reading and filtering earthquake catalogue files.";

    // Outside libraries, in load order; read back from the module at call time.
    m.attr("pd") = py::module_::import("pandas");
    m.attr("np") = py::module_::import("numpy");
    m.attr("geodesic") = py::module_::import("geopy.distance").attr("geodesic");

    m.def("read_KAT", &read_KAT, "kat_dir"_a, py::kw_only(), "encoding"_a = py::none(),
          "Parse earthquake text file and return as a pandas DataFrame.\n"
          "\n"
          "Parameters:\n"
          "kat_dir (str): Path to the KAT file\n"
          "\n"
          "Returns:\n"
          "pandas.DataFrame: DataFrame with datetime index and columns: lon, lat, magnitude, name\n");

    m.def("filtered_kats", &filtered_kats, "df"_a, "station"_a = py::make_tuple(40.47, 115.94),
          "filters"_a = py::none(), "default_magnitude"_a = 3.0, "default_distance"_a = 300,
          "筛选地震数据，支持多条件筛选\n"
          "\n"
          "参数:\n"
          "df: 地震数据DataFrame\n"
          "station: 台站位置(纬度,经度)\n"
          "filters: 地震筛选条件列表，格式为[(距离1, 震级1), (距离2, 震级2), ...], \n"
          "例如：[(200, 3.0), (300, 4.0), (500, 5.0)]表示\n"
          "200公里以内的3级以上，300公里以内的4级以上，500公里以内的5级以上\n"
          "default_magnitude: 默认最小震级，当filters为None时使用\n"
          "default_distance: 默认筛选距离，当filters为None时使用\n"
          "\n"
          "返回:\n"
          "DataFrame: 筛选后的地震数据\n");
}
