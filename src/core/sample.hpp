// Content of the sample precursor database: the dictionary (methods, items,
// stations and their measuring points), the plan of the data and event-log
// tables, their rows, and a matching earthquake catalogue. Plain C++; the
// module kelvane.sandbox writes what this produces into SQLite.
#pragma once
#include "core/synth.hpp"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace kelvane::core::sample {

struct Method {
    std::string id;  // three characters, the first one the discipline digit
    std::string name;
};

struct Item {
    std::string id;  // the first three characters are the method id
    std::string name;
    std::string unit;
    synth::Kind kind;
};

struct Point {
    std::string id;
    std::string name;
    std::vector<std::string> items;
    bool seconds = false;  // also recorded once per second
};

struct Station {
    std::string id;
    std::string name;
    double longitude = 0;
    double latitude = 0;
    std::vector<Point> points;
};

const std::vector<Method>& methods();
const std::vector<Item>& items();
const Item* find_item(const std::string& id);
// The stations built in to the sample.
const std::vector<Station>& builtin_stations();
// `count` further observation wells (water level and water temperature,
// every rate) with generated ids, names and positions.
std::vector<Station> extra_stations(std::size_t count, std::uint64_t seed);

enum class RateColumn { None, Integer, Real };

struct Series {
    std::string station;
    std::string point;
    std::string item;
    synth::SeriesModel model;
    synth::SeriesKeys keys;
};

struct TablePlan {
    std::string name;      // e.g. QZ_321_DYU_60
    std::string library;   // DYS, DYU, CP
    std::string fragment;  // AVG, INS or another product code for CP tables
    std::string rate;      // 02, 01, 60, 90
    std::string method;
    int interval = 0;      // seconds per sample
    bool gzip = false;     // OBSVALUE holds gzip bytes
    RateColumn rate_column = RateColumn::None;
    bool rate_null = false;       // SAMPLERATE left NULL
    double rate_value = 0;        // value written to SAMPLERATE
    bool dev = false;             // a development table holding wrong data
    std::int64_t first_day = 0;   // days since 1970-01-01, inclusive
    std::int64_t last_day = 0;
    std::vector<Series> series;
};

struct LogTablePlan {
    std::string name;  // e.g. QZ_321_DLG
    std::string method;
    bool dev = false;
    std::int64_t first_day = 0;
    std::int64_t last_day = 0;
    std::vector<Series> series;
};

struct Options {
    std::int64_t start_day = 0;
    std::int64_t end_day = 0;
    std::uint64_t seed = 0;
    std::vector<Station> stations;
    int minute_days = 31;
    int second_days = 2;
    int raw_days = -1;  // hourly and daily raw (DYS) rows: the last raw_days days; -1 for the whole range
    std::set<std::string> libraries{"DYS", "DYU", "CP"};
    std::set<std::string> rates{"02", "01", "60", "90"};
};

// The code a rate is stored under in SAMPLERATE (1 for minute, 2 for second,
// 60 hourly, 90 daily) and the interval of a table-name rate code.
int rate_number(const std::string& rate);
int rate_interval(const std::string& rate);

std::vector<TablePlan> plan_data_tables(const Options& options);
std::vector<LogTablePlan> plan_log_tables(const Options& options);

struct DayRow {
    std::int64_t day = 0;  // days since 1970-01-01; STARTDATE is its midnight
    std::string text;      // packed string or NULLALL
    bool null_value = false;
};

// The rows of series `index` of a table, in day order. Besides the random
// NULLALL days, the first series of every table is NULLALL on the window's
// first day, and in compressed tables of more than one day the last series
// has a NULL value on the window's first day (its second day when it is also
// the first series).
std::vector<DayRow> series_rows(const TablePlan& table, std::size_t index);

struct LogRow {
    std::int64_t start = 0;  // unix seconds
    std::int64_t end = 0;
    std::string evtid;
    std::string description;
};

std::vector<LogRow> log_rows(const LogTablePlan& table, const Series& series, std::uint64_t seed);

// ---- earthquake catalogue ----------------------------------------------------------

struct Quake {
    std::int64_t time = 0;  // unix seconds
    double latitude = 0;
    double longitude = 0;
    double magnitude = 0;
    int depth_km = 0;
    std::string name;
};

// Events between the two days (inclusive), time-ordered: about three fifths
// within 400 km of the stations (each station also gets a few guaranteed
// events, some in the last month), the rest spread over China and its
// neighbours.
std::vector<Quake> catalogue(const std::vector<Station>& stations, std::int64_t first_day,
                             std::int64_t last_day, std::uint64_t seed, std::size_t count);

// One catalogue line (without line end): time in characters 0-13, latitude
// 15-20, longitude 21-26, magnitude 28-31, depth 32-38 (not read back), the
// place name from character 39.
std::string catalogue_line(const Quake& quake);

// Great-circle destination from a start point, a bearing and a distance.
void destination(double lat, double lon, double bearing_rad, double distance_km, double& out_lat,
                 double& out_lon) noexcept;

}  // namespace kelvane::core::sample
