// Layout of a partitioned observation dataset: one file per station, item and
// calendar period, under hive-style folders
//
//     station=<id>/item=<id>/period=<label>/<label>_<station>_<item>.parquet
//
// where the period is chosen from the sample interval so that a file of one
// series holds between about half a million and a few million samples where
// the rate allows it (second values: a month, 2.6 M samples per series;
// minute values: a year, 0.53 M; hourly and daily values, which never fill
// such a file, a decade). Also the spans of days a request is read in, and a
// lock that serialises the updates of a dataset's manifest. Plain POSIX.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::core::dataset {

enum class Period { Month, Year, Decade };

Period period_for_interval(long long interval_seconds) noexcept;

// "month", "year" or "decade".
std::string_view period_name(Period period) noexcept;

// First day of the period holding `day` and first day of the next period
// (days since 1970-01-01).
std::int64_t period_first_day(Period period, std::int64_t day) noexcept;
std::int64_t period_next_first_day(Period period, std::int64_t day) noexcept;

// The period's label: "2026-01" (month), "2026" (year), "2020s" (decade).
// Labels of one kind sort as their periods do.
std::string period_label(Period period, std::int64_t day);

// Days per chunk when the caller names none: one chunk holds at most 86,400
// samples per series (a day of second values, 60 days of minute values, 3,600
// days of hourly values), that is as many days as the interval has seconds.
std::int64_t default_chunk_days(long long interval_seconds) noexcept;

// Inclusive span of days.
struct Span {
    std::int64_t first = 0;
    std::int64_t last = 0;
};

// [first, last] cut into consecutive spans of `chunk_days` days (chunk_days
// >= 1; the last span may be shorter).
std::vector<Span> day_spans(std::int64_t first, std::int64_t last, std::int64_t chunk_days);

// A value as it may stand in a path: bytes other than ASCII letters, digits
// and '-' written as %XX (upper-case hex), as hive-partitioned readers decode
// them, so that no id can add a folder level or hide a file.
std::string path_value(std::string_view value);

// "station=<s>/item=<i>/period=<label>" and "<label>_<s>_<i>.parquet", values
// written by path_value. The file name starts with the label, never with a
// '.' or '_' that readers skip.
std::string partition_folder(std::string_view station, std::string_view item,
                             std::string_view label);
std::string partition_file(std::string_view station, std::string_view item,
                           std::string_view label);

// Rows grouped by a pair of small integer codes (dictionary indices), keeping
// their order within each group: `order` lists the rows group after group,
// groups ordered by (a, b); group g holds order[starts[g] .. starts[g+1]).
struct Groups {
    std::vector<std::int64_t> order;
    std::vector<std::size_t> starts;  // one more than there are groups
    std::vector<std::int32_t> a, b;   // the codes of each group
};
Groups group_rows(const std::int32_t* a, const std::int32_t* b, std::size_t n, std::size_t a_count,
                  std::size_t b_count);

// An exclusive lock on a folder, held while the object lives (flock on the
// folder; waits for another holder). Throws FileError when the folder cannot
// be opened or locked.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace kelvane::core::dataset
