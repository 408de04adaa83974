#include "core/dataset.hpp"

#include "core/atomic_file.hpp"
#include "core/synth.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kelvane::core::dataset {

namespace {

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// First year of the decade holding `year` (2020 for 2020..2029).
int decade_of(int year) { return static_cast<int>(floor_div(year, 10) * 10); }

}  // namespace

Period period_for_interval(long long interval_seconds) noexcept {
    if (interval_seconds <= 1) return Period::Month;
    if (interval_seconds <= 60) return Period::Year;
    return Period::Decade;
}

std::string_view period_name(Period period) noexcept {
    switch (period) {
        case Period::Month:
            return "month";
        case Period::Year:
            return "year";
        case Period::Decade:
            break;
    }
    return "decade";
}

std::int64_t period_first_day(Period period, std::int64_t day) noexcept {
    int y, m, d;
    synth::civil_from_days(day, y, m, d);
    switch (period) {
        case Period::Month:
            return synth::days_from_civil(y, m, 1);
        case Period::Year:
            return synth::days_from_civil(y, 1, 1);
        case Period::Decade:
            break;
    }
    return synth::days_from_civil(decade_of(y), 1, 1);
}

std::int64_t period_next_first_day(Period period, std::int64_t day) noexcept {
    int y, m, d;
    synth::civil_from_days(day, y, m, d);
    switch (period) {
        case Period::Month:
            return m == 12 ? synth::days_from_civil(y + 1, 1, 1) : synth::days_from_civil(y, m + 1, 1);
        case Period::Year:
            return synth::days_from_civil(y + 1, 1, 1);
        case Period::Decade:
            break;
    }
    return synth::days_from_civil(decade_of(y) + 10, 1, 1);
}

std::string period_label(Period period, std::int64_t day) {
    int y, m, d;
    synth::civil_from_days(day, y, m, d);
    char buf[32];
    switch (period) {
        case Period::Month:
            std::snprintf(buf, sizeof buf, "%04d-%02d", y, m);
            break;
        case Period::Year:
            std::snprintf(buf, sizeof buf, "%04d", y);
            break;
        case Period::Decade:
            std::snprintf(buf, sizeof buf, "%04ds", decade_of(y));
            break;
    }
    return buf;
}

std::int64_t default_chunk_days(long long interval_seconds) noexcept {
    return std::max<long long>(1, interval_seconds);
}

std::vector<Span> day_spans(std::int64_t first, std::int64_t last, std::int64_t chunk_days) {
    std::vector<Span> out;
    if (chunk_days < 1) chunk_days = 1;
    for (std::int64_t day = first; day <= last;) {
        const std::int64_t end = last - day < chunk_days ? last : day + chunk_days - 1;
        out.push_back({day, end});
        day = end + 1;
    }
    return out;
}


std::string path_value(std::string_view value) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        const auto u = static_cast<unsigned char>(c);
        const bool plain = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') ||
                           (u >= '0' && u <= '9') || u == '-';
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 0xF];
        }
    }
    return out;
}

std::string partition_folder(std::string_view station, std::string_view item,
                             std::string_view label) {
    return "station=" + path_value(station) + "/item=" + path_value(item) + "/period=" +
           path_value(label);
}

std::string partition_file(std::string_view station, std::string_view item,
                           std::string_view label) {
    return path_value(label) + "_" + path_value(station) + "_" + path_value(item) + ".parquet";
}

Groups group_rows(const std::int32_t* a, const std::int32_t* b, std::size_t n, std::size_t a_count,
                  std::size_t b_count) {
    // a counting sort on the combined code keeps the row order within a group
    const std::size_t keys = a_count * b_count;
    std::vector<std::size_t> count(keys + 1, 0);
    auto key = [&](std::size_t i) {
        return static_cast<std::size_t>(a[i]) * b_count + static_cast<std::size_t>(b[i]);
    };
    for (std::size_t i = 0; i < n; ++i) ++count[key(i) + 1];
    Groups out;
    std::vector<std::size_t> next(keys, 0);
    std::size_t running = 0;
    for (std::size_t k = 0; k < keys; ++k) {
        next[k] = running;
        if (count[k + 1] > 0) {
            out.starts.push_back(running);
            out.a.push_back(static_cast<std::int32_t>(k / b_count));
            out.b.push_back(static_cast<std::int32_t>(k % b_count));
        }
        running += count[k + 1];
    }
    out.starts.push_back(running);
    out.order.resize(n);
    for (std::size_t i = 0; i < n; ++i) out.order[next[key(i)]++] = static_cast<std::int64_t>(i);
    return out;
}

FolderLock::FolderLock(const std::string& folder) {
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) throw FileError(errno, folder, std::string(std::strerror(errno)) + ": '" + folder + "'");
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        const int code = errno;
        ::close(fd_);
        fd_ = -1;
        throw FileError(code, folder, std::string(std::strerror(code)) + ": '" + folder + "'");
    }
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

}  // namespace kelvane::core::dataset
