// kelvane.KAT: reading an earthquake catalogue file and marking the
// earthquakes near a station.
#include "kelvane_bind.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <cmath>
#include <limits>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/catalogue.hpp"

namespace {

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

// The catalogue file's contents: UTF-8 bytes when the file's encoding is
// UTF-8 (decoded by the parser itself), else the text as text-mode reading
// decodes it.
struct CatalogueFile {
    bool utf8 = false;
    py::array_t<std::uint8_t> bytes;  // the first `size` hold the file
    std::size_t size = 0;
    py::str text;
};

// Reads the whole of a binary file object into a new array.
void read_all(py::handle binary, CatalogueFile& out) {
    std::size_t expected = 0;
    try {
        py::object stat = py::module_::import("os").attr("fstat")(binary.attr("fileno")());
        expected = stat.attr("st_size").cast<std::size_t>();
    } catch (py::error_already_set& e) {
        if (!kelvane::is_ordinary(e)) throw;  // not a plain file: the size is found by reading
    }
    std::size_t capacity = expected + 1;  // one more, so that the end is seen without growing
    out.bytes = kelvane::big_array<std::uint8_t>(capacity);
    py::object readinto = binary.attr("readinto");
    for (;;) {
        if (out.size == capacity) {
            capacity = capacity * 2 + 4096;
            py::array_t<std::uint8_t> larger = kelvane::big_array<std::uint8_t>(capacity);
            std::memcpy(larger.mutable_data(), out.bytes.data(), out.size);
            out.bytes = larger;
        }
        auto* free_part = reinterpret_cast<char*>(out.bytes.mutable_data()) + out.size;
        py::object view = py::reinterpret_steal<py::object>(
            PyMemoryView_FromMemory(free_part, static_cast<Py_ssize_t>(capacity - out.size), PyBUF_WRITE));
        if (!view) throw py::error_already_set();
        py::object got = readinto(view);
        view.attr("release")();
        if (got.is_none()) continue;  // no data yet on a non-blocking file
        const auto n = got.cast<std::size_t>();
        if (n == 0) break;
        out.size += n;
    }
}

// Opens the file in text mode as open() does, with the platform default
// encoding unless one is named, and reads it whole; the file is closed again
// on every path. The path must name a file: open() would take an integer for
// a file descriptor and close it after reading (standard input or output, say).
CatalogueFile read_catalogue_file(py::handle path, py::handle encoding) {
    if (!py::isinstance<py::str>(path) && !py::isinstance<py::bytes>(path) &&
        !py::isinstance(path, py::module_::import("os").attr("PathLike"))) {
        throw py::type_error("kat_dir must be a path (str, bytes or os.PathLike), not " +
                             py::str(py::type::handle_of(path).attr("__name__")).cast<std::string>());
    }
    py::object file = py::module_::import("builtins").attr("open")(path, "r", "encoding"_a = encoding);
    CatalogueFile out;
    try {
        py::object codec = py::module_::import("codecs").attr("lookup")(file.attr("encoding"));
        out.utf8 = kelvane::text_equals(codec.attr("name"), "utf-8");
        if (out.utf8) {
            read_all(file.attr("buffer"), out);
        } else {
            py::object text = file.attr("read")();
            if (!PyUnicode_Check(text.ptr())) throw py::type_error("the catalogue file did not give text");
            out.text = py::reinterpret_borrow<py::str>(text);
        }
    } catch (...) {
        try {
            file.attr("close")();
        } catch (py::error_already_set&) {
            // the reading error is the one the caller needs
        }
        throw;
    }
    file.attr("close")();
    return out;
}

// The parser's columns, as numpy arrays of the plan's size.
struct ParsedCatalogue {
    std::size_t capacity = 0;  // rows the arrays were made for
    py::array_t<std::int64_t> times;
    py::array_t<double> numbers;  // longitudes, latitudes, magnitudes, `capacity` each
    py::array_t<std::int64_t> name_offsets;
    py::array_t<std::uint8_t> name_data;
    py::array_t<std::uint8_t> name_validity;
    kelvane::core::CatalogueResult result;
};

// Text of this many code units or more is parsed in two pieces at once.
constexpr std::size_t kTwoPieces = std::size_t{1} << 20;

// Parses text of `length` units into new arrays, without the GIL; times in
// units of 1 / time_scale seconds.
template <class Unit>
ParsedCatalogue parse_units(const Unit* text, std::size_t length, std::int64_t time_scale) {
    namespace core = kelvane::core;
    const bool parallel = length >= kTwoPieces;
    core::CataloguePlan plan;
    {
        py::gil_scoped_release unlocked;
        plan = core::plan_catalogue(text, length, parallel ? 2 : 1, parallel);
    }
    ParsedCatalogue out;
    out.capacity = plan.lines;
    out.times = kelvane::big_array<std::int64_t>(plan.lines);
    out.numbers = kelvane::big_array<double>(3 * plan.lines);
    out.name_offsets = kelvane::big_array<std::int64_t>(plan.lines + 1);
    out.name_data = kelvane::big_array<std::uint8_t>(std::max<std::size_t>(plan.name_bytes, 1));
    out.name_validity = kelvane::big_array<std::uint8_t>((plan.lines + 7) / 8);
    const core::CatalogueOutput columns{out.times.mutable_data(), out.numbers.mutable_data(),
                                        out.name_offsets.mutable_data(), out.name_data.mutable_data(),
                                        out.name_validity.mutable_data()};
    {
        py::gil_scoped_release unlocked;
        out.result = core::parse_catalogue(text, plan, columns, time_scale, parallel);
    }
    return out;
}

// Parses a str straight from its storage.
ParsedCatalogue parse_text(const py::str& text, std::int64_t time_scale) {
    PyObject* o = text.ptr();
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(o) < 0) throw py::error_already_set();
#endif
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(o));
    const void* data = PyUnicode_DATA(o);
    switch (PyUnicode_KIND(o)) {
        case PyUnicode_1BYTE_KIND:
            return parse_units(static_cast<const std::uint8_t*>(data), length, time_scale);
        case PyUnicode_2BYTE_KIND:
            return parse_units(static_cast<const std::uint16_t*>(data), length, time_scale);
        default:
            return parse_units(static_cast<const char32_t*>(data), length, time_scale);
    }
}

// The parsed catalogue file and the text of a span of it.
class CatalogueText {
public:
    CatalogueText(CatalogueFile&& file, std::int64_t time_scale) : file_(std::move(file)) {
        if (file_.utf8) {
            parsed_ = parse_units(reinterpret_cast<const char8_t*>(file_.bytes.data()), file_.size, time_scale);
            if (!parsed_.result.well_formed) {
                // The strict codec raises the error text-mode reading gives.
                file_.text = py::reinterpret_steal<py::str>(
                    PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(file_.bytes.data()),
                                         static_cast<Py_ssize_t>(file_.size), "strict"));
                if (!file_.text) throw py::error_already_set();
                throw std::logic_error("the catalogue parser refused well-formed UTF-8");
            }
        } else {
            parsed_ = parse_text(file_.text, time_scale);
        }
    }

    ParsedCatalogue& parsed() { return parsed_; }

    py::str piece(kelvane::core::TextSpan span) const {
        PyObject* s = file_.utf8 ? PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(file_.bytes.data()) + span.begin,
                                                        static_cast<Py_ssize_t>(span.size()), "strict")
                                 : PyUnicode_Substring(file_.text.ptr(), static_cast<Py_ssize_t>(span.begin),
                                                       static_cast<Py_ssize_t>(span.end));
        if (!s) throw py::error_already_set();
        return py::reinterpret_steal<py::str>(s);
    }

private:
    CatalogueFile file_;
    ParsedCatalogue parsed_;
};

// Numbers in forms the parser leaves alone go through float(); a value error
// makes them NaN.
void settle_numbers(const CatalogueText& text, ParsedCatalogue& parsed) {
    double* numbers = parsed.numbers.mutable_data();
    for (const auto& field : parsed.result.deferred_numbers) {
        py::str piece = text.piece(field.text);
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
        numbers[static_cast<std::size_t>(field.column) * parsed.capacity + field.row] = value;
    }
}

// Origin times in the resolution pandas gives a column of such texts:
// microseconds when any time is valid, seconds when none is; with pandas 2
// always nanoseconds, a time outside their range being NaT. Times the parser
// leaves alone are converted by pandas with the catalogue's format, invalid
// ones becoming NaT.
py::object origin_times(py::handle pd, const CatalogueText& text, ParsedCatalogue& parsed, bool nanoseconds) {
    const auto& result = parsed.result;
    std::int64_t* times = parsed.times.mutable_data();
    bool any_valid = result.any_time;
    if (!result.deferred_times.empty()) {
        py::list pieces;
        for (const auto& field : result.deferred_times) pieces.append(text.piece(field.text));
        py::object converted = pd.attr("to_datetime")(pd.attr("Series")(pieces), "format"_a = kTimeFormat,
                                                      "errors"_a = "coerce");
        auto values = converted.attr("to_numpy")("dtype"_a = "datetime64[us]")
                          .attr("view")("int64")
                          .cast<py::array_t<std::int64_t, py::array::forcecast>>();
        auto v = values.unchecked<1>();
        if (static_cast<std::size_t>(v.shape(0)) != result.deferred_times.size())
            throw std::runtime_error("time conversion gave a wrong number of values");
        for (std::size_t k = 0; k < result.deferred_times.size(); ++k) {
            std::int64_t t = v(static_cast<py::ssize_t>(k));
            if (t != kNoTime && nanoseconds && __builtin_mul_overflow(t, 1000, &t)) t = kNoTime;
            times[result.deferred_times[k].row] = t;
            any_valid = any_valid || t != kNoTime;
        }
    }
    const char* unit = nanoseconds ? "datetime64[ns]" : any_valid ? "datetime64[us]" : "datetime64[s]";
    py::object values = parsed.times[py::slice(0, static_cast<py::ssize_t>(result.rows), 1)];
    return pd.attr("DatetimeIndex")(values.attr("view")(unit), "name"_a = "ind", "copy"_a = false);
}

// The name column: text, or NaN for a line without a name, in the dtype
// pandas gives a list of such values. When no line has a name the column is
// all NaN floats. Arrow-backed text columns are built from the parser's
// UTF-8 buffers without making a Python object per name.
py::object place_names(py::handle pd, py::handle np, ParsedCatalogue& parsed) {
    const auto& result = parsed.result;
    const std::size_t n = result.rows;
    if (result.name_nulls == n) return np.attr("full")(n, np.attr("nan"));
    py::list probe;
    probe.append("");
    py::object dtype = pd.attr("Series")(probe).attr("dtype");
    auto prefix = [](const py::array& a, std::size_t count) {
        return a[py::slice(0, static_cast<py::ssize_t>(count), 1)];
    };
    if (result.names_encodable && py::str(py::getattr(dtype, "storage", py::none())).equal(py::str("pyarrow"))) {
        py::module_ pa = py::module_::import("pyarrow");
        py::list buffers;
        buffers.append(result.name_nulls ? pa.attr("py_buffer")(prefix(parsed.name_validity, (n + 7) / 8))
                                         : py::none());
        buffers.append(pa.attr("py_buffer")(prefix(parsed.name_offsets, n + 1)));
        // The name buffer was sized for the worst case (the whole text); the
        // table keeps only the bytes used, so that it does not hold the rest.
        py::array data = prefix(parsed.name_data, result.name_bytes);
        if (static_cast<std::size_t>(parsed.name_data.size()) > 2 * result.name_bytes + 4096)
            data = py::array_t<std::uint8_t>(static_cast<py::ssize_t>(result.name_bytes), parsed.name_data.data());
        buffers.append(pa.attr("py_buffer")(data));
        py::object array = pa.attr("Array").attr("from_buffers")(pa.attr("large_string")(), n, buffers,
                                                                 "null_count"_a = result.name_nulls);
        return pd.attr("array")(array, "dtype"_a = dtype);
    }
    // One str per name; a lone surrogate comes back from its three-byte form.
    const std::int64_t* offsets = parsed.name_offsets.data();
    const auto* data = reinterpret_cast<const char*>(parsed.name_data.data());
    py::list names(n);
    py::float_ nan(std::numeric_limits<double>::quiet_NaN());
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item;
        if (offsets[i + 1] == offsets[i]) {
            item = nan.inc_ref().ptr();
        } else {
            item = PyUnicode_DecodeUTF8(data + offsets[i], static_cast<Py_ssize_t>(offsets[i + 1] - offsets[i]),
                                        "surrogatepass");
            if (!item) throw py::error_already_set();
        }
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
                             kelvane::type_name(rule) + " object");
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
    const bool nanoseconds = kelvane::pandas_major(pd) < 3;

    CatalogueText text(read_catalogue_file(kat_dir, encoding), nanoseconds ? 1000000000 : 1000000);
    ParsedCatalogue& parsed = text.parsed();
    settle_numbers(text, parsed);
    py::object index = origin_times(pd, text, parsed, nanoseconds);

    // The three number columns as one block, a view of the parser's array.
    const auto rows = static_cast<py::ssize_t>(parsed.result.rows);
    py::object block = parsed.numbers.attr("reshape")(3, parsed.capacity)[py::make_tuple(
        py::slice(0, 3, 1), py::slice(0, rows, 1))];
    py::list labels;
    for (const char* label : {"lon", "lat", "magnitude"}) labels.append(label);
    py::object df = pd.attr("DataFrame")(block.attr("T"), "index"_a = index, "columns"_a = labels,
                                         "copy"_a = false);
    df.attr("__setitem__")("name", place_names(pd, np, parsed));
    return df;
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
