// Seeded synthetic observation series for the sample database and the
// benchmarks. Every value is a pure function of (series key, time): the same
// seed gives the same samples whatever date range or rate is generated, and
// days can be produced in any order or in parallel.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvane::core::synth {

// ---- counter-based random numbers -----------------------------------------

// splitmix64 finaliser: a bijective 64-bit mix.
std::uint64_t mix64(std::uint64_t x) noexcept;
// A key derived from a parent key and a label (a text or a number).
std::uint64_t derive(std::uint64_t key, std::string_view label) noexcept;
std::uint64_t derive(std::uint64_t key, std::uint64_t label) noexcept;
// Uniform in [0, 1) and approximately standard normal draws (bounded at
// +-3.46) for (key, counter).
double uniform(std::uint64_t key, std::uint64_t counter) noexcept;
double normal(std::uint64_t key, std::uint64_t counter) noexcept;

// ---- calendar ---------------------------------------------------------------

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t days_from_civil(int year, int month, int day) noexcept;
void civil_from_days(std::int64_t days, int& year, int& month, int& day) noexcept;
bool valid_date(int year, int month, int day) noexcept;
// "YYYYMMDD" of a day since 1970-01-01.
std::string compact_date(std::int64_t days);

// Julian day number of 1970-01-01 00:00:00.
inline constexpr double kUnixEpochJulianDay = 2440587.5;
inline double julian_day(std::int64_t unix_seconds) noexcept {
    return kUnixEpochJulianDay + static_cast<double>(unix_seconds) / 86400.0;
}
// Unix seconds of a Julian day, rounded to the nearest second (dates are kept
// to the second, as an Oracle DATE is). False when out of the years 1..9999.
bool unix_seconds_from_julian(double julian, std::int64_t& seconds) noexcept;

// Parses a date text with an Oracle-style format mask made of the fields
// yyyy, mm, dd, hh24 (or hh), mi, ss (any case) and literal separators, e.g.
// 'yyyymmdd' or 'yyyy-mm-dd hh24:mi:ss'. Returns false for a text that does
// not match the mask or names no valid date and time.
bool parse_masked_date(std::string_view text, std::string_view mask, std::int64_t& unix_seconds);

// ---- series models -----------------------------------------------------------

enum class Kind {
    WaterLevel,        // m, tides, barometric and seasonal cycle, slow drift
    WaterTemperature,  // degC, very smooth
    Resistivity,       // ohm m, seasonal cycle, rare bad readings
    SupplyCurrent,     // mA
    ElectricField,     // mV/km, daily cycle
    Geomagnetic,       // nT, daily variation
    Declination,       // arc minutes
    InstrumentTemp,    // degC, daily cycle
    Tilt,              // ms (milli arc seconds), tides and thermal cycle
    Strain,            // 1e-10, tides and strong drift
    Pressure,          // hPa
    AirTemperature,    // degC
    Rainfall,          // mm, non-negative bursts
};

struct SeriesModel {
    Kind kind = Kind::WaterLevel;
    double base = 0;              // level on 2009-01-01
    double drift_per_year = 0;
    double annual_amplitude = 0;  // seasonal cycle
    double annual_phase = 0;      // radians
    double daily_amplitude = 0;   // solar daily cycle
    double daily_phase = 0;
    double tide_amplitude = 0;    // scale of the tidal constituents
    double wander = 0;            // amplitude of the slow random wander
    double noise = 0;             // white noise per sample (sigma)
    double spike_rate = 0;        // probability per sample of a spike
    double spike_size = 0;
    double low_reading_rate = 0;  // probability per sample of a dropout reading in [0, 8)
    double null_rate = 0;         // probability per sample of a lone NULL
    double gap_rate = 0;          // probability per day of a gap of 1 to 6 hours
    double nullall_rate = 0;      // probability per day of a day without any valid sample
    double missing_rate = 0;      // probability per day of a day without a row
    int decimals = 3;
};

// A model of the given kind, with its level and amplitudes varied by key so
// that stations of the same kind differ.
SeriesModel model_for(Kind kind, std::uint64_t key);

// The keys of one series: `signal` fixes the underlying physical signal and
// the day states (shared by every library holding the series); `sample`
// fixes noise, spikes and lone NULLs (one per library).
struct SeriesKeys {
    std::uint64_t signal = 0;
    std::uint64_t sample = 0;
};

enum class DayState { Present, NullAll, Missing };

// Whether the day (days since 1970-01-01) has samples, is marked NULLALL or
// has no row at all.
DayState day_state(const SeriesModel& model, const SeriesKeys& keys, std::int64_t day) noexcept;

// Appends the packed string of one day: the samples at day start + k *
// interval_seconds, k = 0 .. 86400/interval - 1, separated by single blanks,
// NULL for a missing sample. An interval of 86400 gives the one daily mean.
// Nothing is appended for a day that is not Present. interval_seconds must
// divide 86400.
void append_day(std::string& out, const SeriesModel& model, const SeriesKeys& keys, std::int64_t day,
                int interval_seconds);

// The packed string of one day, or "NULLALL", or the empty text for a day
// without a row.
std::string day_text(const SeriesModel& model, const SeriesKeys& keys, std::int64_t day, int interval_seconds);

}  // namespace kelvane::core::synth
