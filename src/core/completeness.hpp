// Completeness of observation series: how many of the samples a series
// should hold in each period it holds, and the longest run it lacks.
//
// A series is read one sample at a time in ascending time (any tick unit),
// a day at a time. A day's sample interval is the smallest step between its
// distinct sample times; a day with a single sample time shows no step and
// takes the interval the caller gives it (a rate recorded beside the sample)
// or else that of the nearest day of the series that shows one, else one
// sample a day. A day of interval dt should hold 86400 / dt samples, one per
// slot of dt seconds from midnight; a sample is present when its value is
// not NaN. Days the series has no sample on count as wholly missing, at the
// interval of the day before them (or, before its first day, of its first).
// Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvane::core::completeness {

inline constexpr std::int64_t kSecondsPerDay = 86400;

// One day of one series as its samples show it.
struct Day {
    std::int64_t day = 0;        // days since 1970-01-01
    std::int64_t interval = 0;   // seconds; 0 when the day has one sample time
    std::int64_t rate_hint = 0;  // seconds from elsewhere for such a day; 0 for none
    std::int64_t times = 0;      // distinct sample times
    std::int64_t valid = 0;      // distinct times with a value
    std::int64_t first_valid = 0, last_valid = 0;  // seconds from midnight
    std::int64_t widest_step = 0;                  // seconds between consecutive valid times
    std::int64_t row = 0;                          // row of the day's first sample
};

// The day's slots (86400 / interval, at least 1).
std::int64_t slots(std::int64_t interval) noexcept;

// Accumulates the days of one series from its samples.
class SeriesScan {
public:
    explicit SeriesScan(std::int64_t ticks_per_second) noexcept;
    // One sample; equal times count once (present when any of them has a
    // value). False, taking nothing, for a time before the last one.
    bool add(std::int64_t time, bool valid, std::int64_t row) noexcept {
        if (pending_) {
            if (time == pending_time_) {
                pending_valid_ = pending_valid_ || valid;
                return true;
            }
            if (time < pending_time_) return false;
            take(pending_time_, pending_valid_, pending_row_);
        }
        pending_ = true;
        pending_time_ = time;
        pending_valid_ = valid;
        pending_row_ = row;
        return true;
    }
    // Closes the last day; the days are in `days` afterwards.
    void finish();
    std::vector<Day> days;

private:
    void take(std::int64_t time, bool valid, std::int64_t row) noexcept;
    void close_day();

    std::int64_t ticks_per_second_, ticks_per_day_;
    bool pending_ = false, pending_valid_ = false;
    std::int64_t pending_time_ = 0, pending_row_ = 0;
    bool open_ = false;
    Day current_;
    std::int64_t midnight_ = 0, next_midnight_ = 0, last_time_ = 0, last_valid_time_ = 0, smallest_step_ = 0;
};

// Feeds rows to the scans of their series (series[i] indexes `scans`); NaN
// values are missing. Returns the first row whose time goes back in its
// series, or n when every series is in ascending time.
template <class T>
std::size_t scan_rows(const std::int64_t* times, const T* values, const std::int32_t* series,
                      std::size_t n, std::int64_t first_row, std::vector<SeriesScan>& scans);

// The periods of a span of days: code[d] is the period of day first_day + d,
// or -1 for a day that does not count (outside what was asked for).
struct Span {
    std::int64_t first_day = 0;
    std::vector<std::int32_t> code;
    std::size_t periods = 0;
};

struct Period {
    std::int64_t expected = 0;
    std::int64_t present = 0;
    std::int64_t longest_gap = 0;  // seconds
};

// Every period of the span for one series, from its days in ascending order
// (one record per day). Days outside the span are left out; a run of missing
// samples is cut at the period's bounds and at days that do not count.
std::vector<Period> periods(const std::vector<Day>& days, const Span& span);

}  // namespace kelvane::core::completeness
