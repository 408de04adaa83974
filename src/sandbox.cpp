// kelvane.sandbox: an embedded SQLite stand-in for the precursor database.
// build() writes a sample database laid out as schema QZDATA, connect() opens
// it so that the system's own statements run unchanged (TO_DATE, date + 1,
// ALL_TABLES, named binds, Oracle-like LIKE), write_catalogue() writes an
// earthquake catalogue with events around the sample stations.
#include "kelvane_bind.hpp"

#include <datetime.h>

#include "core/sample.hpp"
#include "core/sqltext.hpp"
#include "core/synth.hpp"

#include <cmath>
#include <set>
#include <string>
#include <vector>

namespace {

namespace synth = kelvane::core::synth;
namespace sample = kelvane::core::sample;
using kelvane::require_text;

py::module_ self() { return py::module_::import("kelvane.sandbox"); }

// Declared column type of the date columns; the converter registered under
// this name turns the stored Julian day back into a datetime.
constexpr const char* kDateType = "JULIANDAY";

[[noreturn]] void raise_value_error(const std::string& message) { throw py::value_error(message); }

// ---- conversions ----------------------------------------------------------------

// A date argument (anything pandas.Timestamp reads: "20090101", "2009-01-01",
// a date or datetime) as days since 1970-01-01; None gives today.
std::int64_t day_argument(py::handle value, const char* what) {
    py::object ts;
    if (value.is_none()) {
        ts = py::module_::import("datetime").attr("date").attr("today")();
    } else {
        ts = py::module_::import("pandas").attr("Timestamp")(value);
        if (py::module_::import("pandas").attr("isna")(ts).cast<bool>())
            raise_value_error(std::string(what) + " is not a date: " + kelvane::to_text(value));
    }
    int y = ts.attr("year").cast<int>(), m = ts.attr("month").cast<int>(), d = ts.attr("day").cast<int>();
    return synth::days_from_civil(y, m, d);
}

std::string day_text(std::int64_t day) { return synth::compact_date(day); }

// A Python int of any size, reduced modulo 2**64.
std::uint64_t seed_argument(py::handle value) {
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
        throw py::type_error("seed must be an int, got " + kelvane::type_name(value));
    unsigned long long s = PyLong_AsUnsignedLongLongMask(value.ptr());
    if (PyErr_Occurred()) throw py::error_already_set();
    return static_cast<std::uint64_t>(s);
}

// An iterable of texts (a lone text counts as one element).
std::vector<std::string> text_list(py::handle value, const char* what) {
    std::vector<std::string> out;
    if (PyUnicode_Check(value.ptr())) {
        out.push_back(kelvane::utf8(value));
        return out;
    }
    for (py::handle v : py::iter(value)) out.push_back(require_text(v, std::string(what) + " elements"));
    return out;
}

std::string path_argument(py::handle path) {
    py::object p = py::module_::import("os").attr("fspath")(path);
    std::string text = require_text(p, "path");
    return py::module_::import("os.path").attr("abspath")(text).cast<std::string>();
}

std::vector<sample::Station> station_selection(py::handle stations, int extra, std::uint64_t seed) {
    std::vector<sample::Station> out;
    const auto& all = sample::builtin_stations();
    if (stations.is_none()) {
        out = all;
    } else {
        for (const auto& id : text_list(stations, "stations")) {
            bool found = false;
            for (const auto& s : all)
                if (s.id == id) {
                    out.push_back(s);
                    found = true;
                }
            if (!found) {
                std::string known;
                for (const auto& s : all) known += (known.empty() ? "" : ", ") + s.id;
                raise_value_error("unknown sample station " + id + " (known: " + known + ")");
            }
        }
    }
    if (extra < 0 || extra > 5000) raise_value_error("extra_stations must be between 0 and 5000");
    for (auto& s : sample::extra_stations(static_cast<std::size_t>(extra), seed)) out.push_back(std::move(s));
    return out;
}

std::set<std::string> code_set(py::handle value, const std::set<std::string>& known, const char* what) {
    std::set<std::string> out;
    for (const auto& code : text_list(value, what)) {
        if (!known.count(code)) raise_value_error(std::string("unknown ") + what + " code " + code);
        out.insert(code);
    }
    return out;
}

py::object julian_object(std::int64_t unix_seconds) { return py::float_(synth::julian_day(unix_seconds)); }

// ---- writing the database ----------------------------------------------------------

struct Writer {
    py::object con;
    py::object gzip_compress;

    void exec(const std::string& sql) { con.attr("execute")(sql); }
    void insert(const std::string& table, std::size_t columns, const py::list& rows) {
        if (py::len(rows) == 0) return;
        std::string sql = "INSERT INTO " + table + " VALUES (";
        for (std::size_t i = 0; i < columns; ++i) sql += i ? ",?" : "?";
        con.attr("executemany")(sql + ")", rows);
    }
};

py::tuple row(std::initializer_list<py::object> values) {
    py::tuple t(values.size());
    std::size_t i = 0;
    for (const auto& v : values) t[i++] = v;
    return t;
}

void write_dictionary(Writer& w, const std::vector<sample::Station>& stations) {
    w.exec("CREATE TABLE QZ_DICT_METHODS (METHODID VARCHAR2(8) PRIMARY KEY, METHODNAME VARCHAR2(64))");
    w.exec("CREATE TABLE QZ_DICT_STATIONS (STATIONID VARCHAR2(16) PRIMARY KEY, STATIONNAME VARCHAR2(64), "
           "LONGITUDE FLOAT, LATITUDE FLOAT)");
    w.exec("CREATE TABLE QZ_DICT_STATIONPOINTS (STATIONID VARCHAR2(16), POINTID VARCHAR2(8), "
           "POINTNAME VARCHAR2(64), PRIMARY KEY (STATIONID, POINTID))");
    w.exec("CREATE TABLE QZ_DICT_ITEMS (ITEMID VARCHAR2(8) PRIMARY KEY, ITEMNAME VARCHAR2(64), UNIT VARCHAR2(16))");
    w.exec("CREATE TABLE QZ_DICT_STATIONITEMS (STATIONID VARCHAR2(16), ITEMID VARCHAR2(8), "
           "PRIMARY KEY (STATIONID, ITEMID))");
    py::list rows;
    for (const auto& m : sample::methods()) rows.append(row({py::str(m.id), py::str(m.name)}));
    w.insert("QZ_DICT_METHODS", 2, rows);
    rows = py::list();
    for (const auto& i : sample::items()) rows.append(row({py::str(i.id), py::str(i.name), py::str(i.unit)}));
    w.insert("QZ_DICT_ITEMS", 3, rows);
    py::list srows, prows, irows;
    for (const auto& s : stations) {
        srows.append(row({py::str(s.id), py::str(s.name), py::float_(s.longitude), py::float_(s.latitude)}));
        std::set<std::string> seen;
        for (const auto& p : s.points) {
            prows.append(row({py::str(s.id), py::str(p.id), py::str(p.name)}));
            for (const auto& item : p.items)
                if (seen.insert(item).second) irows.append(row({py::str(s.id), py::str(item)}));
        }
    }
    w.insert("QZ_DICT_STATIONS", 4, srows);
    w.insert("QZ_DICT_STATIONPOINTS", 3, prows);
    w.insert("QZ_DICT_STATIONITEMS", 2, irows);
}

void write_data_table(Writer& w, const sample::TablePlan& t) {
    const bool with_rate = t.rate_column != sample::RateColumn::None;
    std::string ddl = "CREATE TABLE " + t.name + " (STATIONID VARCHAR2(16) NOT NULL, POINTID VARCHAR2(8) NOT NULL, " +
                      "ITEMID VARCHAR2(8) NOT NULL, STARTDATE " + kDateType + " NOT NULL, ";
    if (t.rate_column == sample::RateColumn::Integer) ddl += "SAMPLERATE NUMBER(4), ";
    if (t.rate_column == sample::RateColumn::Real) ddl += "SAMPLERATE FLOAT, ";
    ddl += std::string("OBSVALUE ") + (t.gzip ? "BLOB" : "CLOB") + ")";
    w.exec(ddl);
    const std::size_t columns = with_rate ? 6 : 5;
    py::object rate = py::none();
    if (with_rate && !t.rate_null) {
        rate = t.rate_column == sample::RateColumn::Integer ? py::object(py::int_(static_cast<int>(t.rate_value)))
                                                            : py::object(py::float_(t.rate_value));
    }
    for (std::size_t index = 0; index < t.series.size(); ++index) {
        const auto& s = t.series[index];
        std::vector<sample::DayRow> rows;
        {
            py::gil_scoped_release release;
            rows = sample::series_rows(t, index);
        }
        py::list out;
        py::str station(s.station), point(s.point), item(s.item);
        for (auto& r : rows) {
            py::object value;
            if (r.null_value)
                value = py::none();
            else if (t.gzip)
                value = w.gzip_compress(py::bytes(r.text), "compresslevel"_a = 6, "mtime"_a = 0);
            else
                value = py::str(r.text);
            py::object start = julian_object(r.day * 86400);
            if (with_rate)
                out.append(row({station, point, item, start, rate, value}));
            else
                out.append(row({station, point, item, start, value}));
            std::string().swap(r.text);
        }
        w.insert(t.name, columns, out);
    }
    w.exec("CREATE INDEX IX_" + t.name + " ON " + t.name + " (STARTDATE)");
}

void write_log_table(Writer& w, const sample::LogTablePlan& t, std::uint64_t seed) {
    w.exec("CREATE TABLE " + t.name + " (STATIONID VARCHAR2(16) NOT NULL, POINTID VARCHAR2(8), ITEMID VARCHAR2(8), " +
           "STARTDATE " + kDateType + " NOT NULL, ENDDATE " + kDateType + ", EVTID VARCHAR2(8), EVTDESC VARCHAR2(200))");
    py::list out;
    for (const auto& s : t.series) {
        for (const auto& r : sample::log_rows(t, s, seed)) {
            out.append(row({py::str(s.station), py::str(s.point), py::str(s.item), julian_object(r.start),
                            julian_object(r.end), py::str(r.evtid), py::str(r.description)}));
        }
    }
    w.insert(t.name, 7, out);
    w.exec("CREATE INDEX IX_" + t.name + " ON " + t.name + " (STARTDATE)");
}

void write_info(Writer& w, const sample::Options& o, std::size_t extra) {
    w.exec("CREATE TABLE QZ_SAMPLE_INFO (NAME VARCHAR2(32) PRIMARY KEY, VALUE VARCHAR2(256))");
    py::list rows;
    auto add = [&](const char* k, const std::string& v) { rows.append(row({py::str(k), py::str(v)})); };
    add("generator", "kelvane.sandbox");
    add("start", day_text(o.start_day));
    add("end", day_text(o.end_day));
    add("seed", std::to_string(o.seed));
    add("minute_days", std::to_string(o.minute_days));
    add("second_days", std::to_string(o.second_days));
    add("extra_stations", std::to_string(extra));
    std::string libs, rates;
    for (const auto& l : o.libraries) libs += (libs.empty() ? "" : ",") + l;
    for (const auto& r : o.rates) rates += (rates.empty() ? "" : ",") + r;
    add("libraries", libs);
    add("rates", rates);
    w.insert("QZ_SAMPLE_INFO", 2, rows);
}

// ---- the module's functions ------------------------------------------------------------

py::str build(py::object path, py::object start, py::object end, py::object seed, py::object stations,
              int extra_stations, int minute_days, int second_days, py::object raw_days, py::object libraries,
              py::object rates) {
    const std::string target = path_argument(path);
    sample::Options o;
    o.start_day = day_argument(start, "start");
    o.end_day = day_argument(end, "end");
    if (o.end_day < o.start_day)
        raise_value_error("end " + day_text(o.end_day) + " is before start " + day_text(o.start_day));
    o.seed = seed_argument(seed);
    if (minute_days < 0 || second_days < 0) raise_value_error("minute_days and second_days must not be negative");
    o.minute_days = minute_days;
    o.second_days = second_days;
    if (!raw_days.is_none()) {
        o.raw_days = raw_days.cast<int>();
        if (o.raw_days < 0) raise_value_error("raw_days must not be negative");
    }
    o.stations = station_selection(stations, extra_stations, o.seed);
    o.libraries = code_set(libraries, {"DYS", "DYU", "CP"}, "library");
    o.rates = code_set(rates, {"02", "01", "60", "90"}, "rate");

    std::vector<sample::TablePlan> data_tables;
    std::vector<sample::LogTablePlan> log_tables;
    {
        py::gil_scoped_release release;
        data_tables = sample::plan_data_tables(o);
        log_tables = sample::plan_log_tables(o);
    }

    py::module_ os = py::module_::import("os");
    py::module_ os_path = py::module_::import("os.path");
    py::object folder = os_path.attr("dirname")(target);
    os.attr("makedirs")(folder, "exist_ok"_a = true);
    // Hundreds of thousands of row tuples, none of them cyclic: keep the
    // cycle collector out of the way while they are made.
    struct CollectorPause {
        py::object gc = py::module_::import("gc");
        bool was_enabled = gc.attr("isenabled")().cast<bool>();
        CollectorPause() { gc.attr("disable")(); }
        ~CollectorPause() {
            if (was_enabled) gc.attr("enable")();
        }
    } pause;
    // Nobody ever opens a half-written database: it appears under its name
    // once complete.
    kelvane::write_atomically_to_path(py::str(target), [&](py::object building) {
        Writer w{py::none(), py::module_::import("gzip").attr("compress")};
        try {
            w.con = py::module_::import("sqlite3").attr("connect")(building, "isolation_level"_a = py::none());
            w.exec("PRAGMA journal_mode=OFF");
            w.exec("PRAGMA synchronous=OFF");
            w.exec("BEGIN");
            write_dictionary(w, o.stations);
            for (const auto& t : data_tables) write_data_table(w, t);
            for (const auto& t : log_tables) write_log_table(w, t, o.seed);
            write_info(w, o, static_cast<std::size_t>(extra_stations));
            w.exec("COMMIT");
            w.con.attr("close")();
        } catch (...) {
            // Keep the original error; closing must not mask it.
            PyObject *type, *value, *trace;
            PyErr_Fetch(&type, &value, &trace);
            try {
                if (!w.con.is_none()) w.con.attr("close")();
            } catch (py::error_already_set&) {
            }
            PyErr_Restore(type, value, trace);
            throw;
        }
    });
    self().attr("logger").attr("info")("示例数据库已写入: " + target);
    return py::str(target);
}

py::str default_path() {
    py::object home = py::module_::import("os.path").attr("expanduser")("~");
    return py::module_::import("os.path").attr("join")(home, ".kelv", "sandbox", "sample.sqlite");
}

// TO_DATE(text, mask) as a Julian day, so that TO_DATE(...) + 1 is the next day.
py::object to_date(py::object text, py::object mask) {
    if (text.is_none() || mask.is_none()) return py::none();
    // A number is read through its text, as the database converts it.
    if (PyLong_Check(text.ptr())) text = py::str(text);
    if (!PyUnicode_Check(text.ptr()) || !PyUnicode_Check(mask.ptr()))
        throw py::type_error("TO_DATE expects a text and a format text");
    std::int64_t seconds = 0;
    std::string t = text.cast<std::string>(), m = mask.cast<std::string>();
    if (!synth::parse_masked_date(t, m, seconds))
        raise_value_error("TO_DATE: '" + t + "' does not match the format '" + m + "'");
    return py::float_(synth::julian_day(seconds));
}

// Converter of the JULIANDAY columns: the stored value as text, back to a datetime.
py::object julian_to_datetime(py::bytes raw) {
    std::string text = raw;
    char* endp = nullptr;
    double jd = std::strtod(text.c_str(), &endp);
    std::int64_t seconds = 0;
    if (endp == text.c_str() || !synth::unix_seconds_from_julian(jd, seconds))
        raise_value_error("not a Julian day: " + text);
    std::int64_t day = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    std::int64_t sod = seconds - day * 86400;
    int y, m, d;
    synth::civil_from_days(day, y, m, d);
    PyObject* dt = PyDateTime_FromDateAndTime(y, m, d, static_cast<int>(sod / 3600), static_cast<int>(sod / 60 % 60),
                                              static_cast<int>(sod % 60), 0);
    if (!dt) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(dt);
}

// Per-connection set-up: the data file as schema QZDATA (read-only), TO_DATE,
// case-sensitive LIKE as in Oracle and the ALL_TABLES catalogue view.
void prepare_connection(py::object dbapi_connection, const std::string& uri) {
    dbapi_connection.attr("execute")("ATTACH DATABASE ? AS QZDATA", py::make_tuple(uri));
    dbapi_connection.attr("create_function")("TO_DATE", 2, py::cpp_function(&to_date), "deterministic"_a = true);
    dbapi_connection.attr("execute")("PRAGMA case_sensitive_like=ON");
    dbapi_connection.attr("execute")(
        "CREATE TEMP VIEW ALL_TABLES AS SELECT 'QZDATA' AS OWNER, name AS TABLE_NAME "
        "FROM QZDATA.sqlite_master WHERE type = 'table' ORDER BY name");
}

// Statement hook of sample connections: long OR chains, such as the station
// condition of a word that matches thousands of stations, reach SQLite as the
// IN lists they mean, since SQLite refuses to parse them otherwise.
py::tuple flatten_statement(py::object /*conn*/, py::object /*cursor*/, py::object statement,
                            py::object parameters, py::object /*context*/, py::object /*executemany*/) {
    if (PyUnicode_Check(statement.ptr())) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(statement.ptr(), &size);
        std::string flat;
        if (!text) {
            PyErr_Clear();  // SQLite reports a text it cannot take itself
        } else if (kelvane::core::flatten_or_chains(std::string_view(text, static_cast<std::size_t>(size)), flat)) {
            statement = py::str(flat);
        }
    }
    return py::make_tuple(statement, parameters);
}

py::object connect(py::object path, py::object alias) {
    require_text(alias, "alias");
    std::string target;
    if (path.is_none()) {
        target = default_path().cast<std::string>();
        if (!py::module_::import("os.path").attr("isfile")(target).cast<bool>())
            self().attr("build")(target);
    } else {
        target = path_argument(path);
        if (!py::module_::import("os.path").attr("isfile")(target).cast<bool>()) {
            py::object err = py::module_::import("builtins")
                                 .attr("FileNotFoundError")(2, "No such sample database", target);
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.ptr())), err.ptr());
            throw py::error_already_set();
        }
    }
    py::module_ sqlite3 = py::module_::import("sqlite3");
    sqlite3.attr("register_converter")(kDateType, py::cpp_function(&julian_to_datetime));
    std::string uri = py::module_::import("pathlib").attr("Path")(target).attr("as_uri")().cast<std::string>() +
                      "?mode=ro";
    py::dict connect_args;
    connect_args["detect_types"] = sqlite3.attr("PARSE_DECLTYPES");
    connect_args["uri"] = true;
    py::object engine = self().attr("create_engine")("sqlite://", "connect_args"_a = connect_args);
    py::cpp_function on_connect([uri](py::object dbapi_connection, py::object /*record*/) {
        prepare_connection(dbapi_connection, uri);
    });
    py::object event = py::module_::import("sqlalchemy").attr("event");
    event.attr("listen")(engine, "connect", on_connect);
    event.attr("listen")(engine, "before_cursor_execute", py::cpp_function(&flatten_statement),
                         "retval"_a = true);
    py::object conn = engine.attr("connect")();
    conn.attr("info")["kelvane_db_alias"] = alias;
    // as conn_to_Oracle does: a closed connection's info is out of reach, the
    // attribute still names the metadata cache namespace
    conn.attr("_kelvane_db_alias") = alias;
    return conn;
}

py::str write_catalogue(py::object path, py::object start, py::object end, py::object seed, std::size_t count,
                        py::object stations, int extra_stations) {
    const std::string target = path_argument(path);
    std::int64_t first = day_argument(start, "start"), last = day_argument(end, "end");
    if (last < first) raise_value_error("end " + day_text(last) + " is before start " + day_text(first));
    if (count > 10'000'000) raise_value_error("count must be at most 10000000");
    std::uint64_t s = seed_argument(seed);
    auto chosen = station_selection(stations, extra_stations, s);
    std::string text;
    {
        py::gil_scoped_release release;
        for (const auto& q : sample::catalogue(chosen, first, last, s, count)) {
            text += sample::catalogue_line(q);
            text += '\n';
        }
    }
    kelvane::write_bytes_atomically(py::str(target), text);  // UTF-8, "\n" line ends
    self().attr("logger").attr("info")("地震目录已写入: " + target);
    return py::str(target);
}

}  // namespace

KELVANE_MODULE(sandbox, m) {
    m.doc() = "Embedded sample precursor database (SQLite laid out as schema QZDATA) and a matching earthquake "
              "catalogue, for trying the library and for tests and benchmarks without the Oracle database.";
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw py::error_already_set();

    py::module_ logsetup = py::module_::import("kelvane.logsetup");
    m.attr("logger") = logsetup.attr("fetching_logger");
    m.attr("create_engine") = py::module_::import("sqlalchemy").attr("create_engine");

    m.def("build", &build, "path"_a, "start"_a = "20090101", "end"_a = py::none(), "seed"_a = 0, py::kw_only(),
          "stations"_a = py::none(), "extra_stations"_a = 0, "minute_days"_a = 31, "second_days"_a = 2,
          "raw_days"_a = 366, "libraries"_a = py::make_tuple("DYS", "DYU", "CP"), "rates"_a = py::make_tuple("02", "01", "60", "90"),
          "Write a sample database file at path and return its absolute path.\n\n"
          "Daily and hourly rows cover start..end (end None: today); minute rows the\n"
          "last minute_days days and second rows the last second_days days; raw (DYS)\n"
          "hourly and daily rows the last raw_days days (None: start..end). stations\n"
          "limits the built-in stations (ids), extra_stations adds generated wells;\n"
          "libraries and rates limit the table codes. The same arguments always give\n"
          "the same content.");
    m.def("default_path", &default_path, "The file connect() opens when no path is given (~/.kelv/sandbox/sample.sqlite).");
    m.def("connect", &connect, "path"_a = py::none(), "alias"_a = "sandbox",
          "Open a sample database and return a SQLAlchemy connection whose\n"
          "info['kelvane_db_alias'] is alias. Without a path the default file is used,\n"
          "built first if it does not exist.");
    m.def("write_catalogue", &write_catalogue, "path"_a, "start"_a = "20090101", "end"_a = py::none(), "seed"_a = 0,
          "count"_a = 400, py::kw_only(), "stations"_a = py::none(), "extra_stations"_a = 0,
          "Write an earthquake catalogue in the fixed-column text format with events\n"
          "around the sample stations, time-ordered; return its absolute path.");
    m.def("_to_date", &to_date, "text"_a, "mask"_a, "TO_DATE as registered on sample connections (a Julian day).");
    m.def("_julian_to_datetime", &julian_to_datetime, "raw"_a, "The converter of JULIANDAY columns.");
}
