#include "core/completeness.hpp"

#include <algorithm>

namespace kelvane::core::completeness {

namespace {

std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Samples and missing runs of a day at a known interval.
struct Counted {
    std::int64_t expected = 0, present = 0;
    std::int64_t lead = 0, trail = 0, inner = 0;  // seconds
};

Counted count(const Day& d, std::int64_t interval) noexcept {
    Counted c;
    c.expected = slots(interval);
    c.present = std::min(d.valid, c.expected);
    if (c.present == 0) {
        c.lead = c.expected * interval;
        return c;
    }
    const std::int64_t first = std::min(c.expected - 1, d.first_valid / interval);
    const std::int64_t last = std::min(c.expected - 1, d.last_valid / interval);
    c.lead = first * interval;
    c.trail = (c.expected - 1 - last) * interval;
    const std::int64_t steps = (d.widest_step + interval / 2) / interval;
    c.inner = std::max<std::int64_t>(0, steps - 1) * interval;
    return c;
}

}  // namespace

std::int64_t slots(std::int64_t interval) noexcept {
    if (interval <= 0) return 1;
    return std::max<std::int64_t>(1, kSecondsPerDay / interval);
}

SeriesScan::SeriesScan(std::int64_t ticks_per_second) noexcept
    : ticks_per_second_(ticks_per_second > 0 ? ticks_per_second : 1),
      ticks_per_day_(kSecondsPerDay * (ticks_per_second > 0 ? ticks_per_second : 1)) {}

void SeriesScan::take(std::int64_t time, bool valid, std::int64_t row) noexcept {
    if (!open_ || time >= next_midnight_) {
        close_day();
        const std::int64_t day = floor_div(time, ticks_per_day_);
        open_ = true;
        current_ = Day{};
        current_.day = day;
        current_.row = row;
        midnight_ = day * ticks_per_day_;
        next_midnight_ = midnight_ + ticks_per_day_;
    } else {
        const std::int64_t step = time - last_time_;
        if (smallest_step_ == 0 || step < smallest_step_) smallest_step_ = step;
    }
    last_time_ = time;
    ++current_.times;
    if (valid) {
        // in ticks until the day closes
        if (current_.valid == 0) {
            current_.first_valid = time;
        } else {
            current_.widest_step = std::max(current_.widest_step, time - last_valid_time_);
        }
        current_.last_valid = time;
        last_valid_time_ = time;
        ++current_.valid;
    }
}

void SeriesScan::close_day() {
    if (!open_) return;
    if (current_.times >= 2) {
        current_.interval = std::max<std::int64_t>(1, smallest_step_ / ticks_per_second_);
    }
    if (current_.valid > 0) {
        current_.first_valid = (current_.first_valid - midnight_) / ticks_per_second_;
        current_.last_valid = (current_.last_valid - midnight_) / ticks_per_second_;
        current_.widest_step /= ticks_per_second_;
    }
    days.push_back(current_);
    open_ = false;
    smallest_step_ = 0;
}

void SeriesScan::finish() {
    if (pending_) take(pending_time_, pending_valid_, pending_row_);
    pending_ = false;
    close_day();
}

template <class T>
std::size_t scan_rows(const std::int64_t* times, const T* values, const std::int32_t* series,
                      std::size_t n, std::int64_t first_row, std::vector<SeriesScan>& scans) {
    for (std::size_t i = 0; i < n; ++i) {
        const T v = values[i];
        if (!scans[static_cast<std::size_t>(series[i])].add(times[i], v == v,
                                                           first_row + static_cast<std::int64_t>(i)))
            return i;
    }
    return n;
}

template std::size_t scan_rows<float>(const std::int64_t*, const float*, const std::int32_t*,
                                      std::size_t, std::int64_t, std::vector<SeriesScan>&);
template std::size_t scan_rows<double>(const std::int64_t*, const double*, const std::int32_t*,
                                       std::size_t, std::int64_t, std::vector<SeriesScan>&);

std::vector<Period> periods(const std::vector<Day>& days, const Span& span) {
    std::vector<Period> out(span.periods);
    const auto n = static_cast<std::int64_t>(span.code.size());

    // The interval of every recorded day: its own, else the rate given for
    // it, else that of the nearest day showing one (the earlier on a tie),
    // else one sample a day.
    const std::size_t none = days.size();
    std::vector<std::size_t> before(days.size(), none), after(days.size(), none);
    for (std::size_t k = 0, seen = none; k < days.size(); ++k) {
        before[k] = seen;
        if (days[k].interval > 0) seen = k;
    }
    for (std::size_t k = days.size(), seen = none; k-- > 0;) {
        after[k] = seen;
        if (days[k].interval > 0) seen = k;
    }
    std::vector<std::int64_t> interval(days.size(), kSecondsPerDay);
    for (std::size_t k = 0; k < days.size(); ++k) {
        const Day& d = days[k];
        if (d.interval > 0) {
            interval[k] = d.interval;
        } else if (d.rate_hint > 0) {
            interval[k] = d.rate_hint;
        } else if (before[k] != none &&
                   (after[k] == none || d.day - days[before[k]].day <= days[after[k]].day - d.day)) {
            interval[k] = days[before[k]].interval;
        } else if (after[k] != none) {
            interval[k] = days[after[k]].interval;
        }
    }

    // Days without a sample take the interval of the recorded day before
    // them, or before the first recorded day that of the first.
    std::size_t k = 0;
    while (k < days.size() && days[k].day < span.first_day) ++k;
    std::int64_t carried = kSecondsPerDay;
    if (k > 0) {
        carried = interval[k - 1];
    } else if (!days.empty()) {
        carried = interval[0];
    }
    std::int32_t period = -1;
    std::int64_t run = 0;
    for (std::int64_t d = 0; d < n; ++d) {
        const std::int64_t day = span.first_day + d;
        const bool recorded = k < days.size() && days[k].day == day;
        const std::int32_t code = span.code[static_cast<std::size_t>(d)];
        if (recorded) carried = interval[k];
        if (code < 0) {
            run = 0;
            period = -1;
            if (recorded) ++k;
            continue;
        }
        if (code != period) {
            run = 0;
            period = code;
        }
        Period& p = out[static_cast<std::size_t>(code)];
        if (recorded) {
            const Counted c = count(days[k], interval[k]);
            p.expected += c.expected;
            p.present += c.present;
            if (c.present == 0) {
                run += c.lead;
            } else {
                p.longest_gap = std::max({p.longest_gap, run + c.lead, c.inner});
                run = c.trail;
            }
            ++k;
        } else {
            const std::int64_t e = slots(carried);
            p.expected += e;
            run += e * carried;
        }
        p.longest_gap = std::max(p.longest_gap, run);
    }
    return out;
}

}  // namespace kelvane::core::completeness
