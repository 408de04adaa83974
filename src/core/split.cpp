// Packed observation strings and the table kernel; see split.hpp.
#include "core/split.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kelvane::core {
namespace {

// Decodes the UTF-8 character starting at p (p < end); returns its length,
// or 0 for an invalid or truncated sequence.
std::size_t decode_utf8(const unsigned char* p, const unsigned char* end, char32_t* cp) noexcept {
    const unsigned c = p[0];
    std::size_t len;
    char32_t v, min;
    if (c < 0x80) {
        *cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        len = 2, v = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, v = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, v = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (static_cast<std::size_t>(end - p) < len) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        v = (v << 6) | (p[i] & 0x3F);
    }
    if (v < min) return 0;
    *cp = v;
    return len;
}

}  // namespace

bool is_python_space(char32_t c) noexcept {
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
    if (c < 0x85) return false;
    switch (c) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

std::string_view strip_packed(std::string_view text) noexcept {
    auto* b = reinterpret_cast<const unsigned char*>(text.data());
    auto* e = b + text.size();
    char32_t cp = 0;
    while (b < e) {
        const std::size_t n = decode_utf8(b, e, &cp);
        if (n == 0 || !is_python_space(cp)) break;
        b += n;
    }
    while (e > b) {
        const unsigned char* q = e - 1;
        while (q > b && (*q & 0xC0) == 0x80 && e - q < 4) --q;
        const std::size_t n = decode_utf8(q, e, &cp);
        if (n != static_cast<std::size_t>(e - q) || !is_python_space(cp)) break;
        e = q;
    }
    return {reinterpret_cast<const char*>(b), static_cast<std::size_t>(e - b)};
}

std::size_t count_tokens(std::string_view stripped) noexcept {
    std::size_t blanks = 0;
    for (char c : stripped) blanks += (c == ' ');
    return blanks + 1;
}

namespace {

// Reads the token at p (ends at the next blank or at end) and moves p past
// its blank.
inline NumberToken next_token(const char*& p, const char* end) noexcept {
    NumberToken t;
    const char* stop = nullptr;
    if (!parse_simple_number(p, end, t, &stop)) {
        const void* blank = std::memchr(p, ' ', static_cast<std::size_t>(end - p));
        stop = blank ? static_cast<const char*>(blank) : end;
        t = parse_number(std::string_view(p, static_cast<std::size_t>(stop - p)));
    }
    p = stop < end ? stop + 1 : end;
    return t;
}

}  // namespace

NumericKind parse_packed(std::string_view text, std::vector<float>& values) {
    const std::string_view s = strip_packed(text);
    const std::size_t n = count_tokens(s);
    values.resize(n);
    NumericKind kind;
    const char* p = s.data();
    const char* end = p + s.size();
    for (std::size_t i = 0; i < n; ++i) {
        const NumberToken t = next_token(p, end);
        kind.add(t);
        values[i] = to_float32(t, NumericResult::floating);
    }
    if (kind.integers_need_exact_rounding()) {
        p = s.data();
        for (std::size_t i = 0; i < n; ++i) values[i] = to_float32(next_token(p, end), kind.result());
    }
    return kind;
}

SplitPlan plan_split(std::span<const DayRow> rows, std::int64_t step) {
    if (step <= 0) throw std::invalid_argument("the sample step must be positive");
    SplitPlan plan;
    plan.step = step;
    const std::size_t n = rows.size();
    plan.stripped.resize(n);
    plan.counts.resize(n);
    plan.timed.reserve(n);
    for (std::size_t r = 0; r < n; ++r) {
        const DayRow& row = rows[r];
        if (row.text == nullptr) {
            plan.counts[r] = 1;
        } else {
            plan.stripped[r] = strip_packed(std::string_view(row.text, row.size));
            plan.counts[r] = count_tokens(plan.stripped[r]);
            if (row.start != kNaT) {
                // Time of the last token, in 128 bits: a start far below zero
                // may reach back into range with a span beyond int64.
                const __int128 last = static_cast<__int128>(row.start) +
                                      static_cast<__int128>(plan.counts[r] - 1) * step;
                if (last > INT64_MAX || last <= kNaT)
                    throw std::overflow_error(
                        "the sample times of a row go beyond the range of the time column");
                plan.timed.push_back(r);
            }
        }
        plan.samples += plan.counts[r];
    }
    std::stable_sort(plan.timed.begin(), plan.timed.end(),
                     [&](std::size_t a, std::size_t b) { return rows[a].start < rows[b].start; });
    if (!plan.timed.empty()) {
        // t mod step in [0, step); adding step only to a negative remainder
        // cannot overflow, whatever the step.
        auto residue = [&](std::int64_t t) {
            const std::int64_t r = t % step;
            return r < 0 ? r + step : r;
        };
        const std::int64_t first = residue(rows[plan.timed.front()].start);
        for (std::size_t r : plan.timed) {
            if (residue(rows[r].start) != first) {
                plan.aligned = false;
                break;
            }
        }
    }
    return plan;
}

namespace {

// t + k * step where the result is known to lie in int64 (plan_split checked
// every row's last time) but k * step alone may not: two's-complement
// arithmetic in uint64 gives the exact result without signed overflow.
inline std::int64_t advance(std::int64_t t, std::uint64_t k, std::int64_t step) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(t) +
                                     k * static_cast<std::uint64_t>(step));
}

// Every row's tokens as float32, rows one after the other (a missing text
// gives its one NaN). Returns what to_numeric would have seen.
NumericKind parse_rows(const SplitPlan& plan, std::span<const DayRow> rows, float* values,
                       NumericResult rounding) {
    NumericKind kind;
    float* v = values;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (rows[r].text == nullptr) {
            kind.add_missing();
            *v++ = std::numeric_limits<float>::quiet_NaN();
            continue;
        }
        const char* p = plan.stripped[r].data();
        const char* end = p + plan.stripped[r].size();
        for (std::size_t k = 0, n = plan.counts[r]; k < n; ++k) {
            const NumberToken t = next_token(p, end);
            kind.add(t);
            *v++ = to_float32(t, rounding);
        }
    }
    return kind;
}

// Writes samples in time order from the parsed values.
class Writer {
public:
    Writer(const SplitPlan& plan, std::span<const DayRow> rows, const SplitTarget& out,
           const float* values)
        : plan_(plan), rows_(rows), out_(out), first_(rows.size()), next_k_(rows.size(), 0) {
        const float* v = values;
        for (std::size_t r = 0; r < rows.size(); ++r) {
            first_[r] = v;
            v += plan.counts[r];
        }
    }

    // The next `n` samples of row r, one after the other.
    void run(std::size_t r, std::size_t n) noexcept {
        const std::size_t k = next_k_[r];
        const std::int64_t t0 = time_of(r, k);
        const float* v = first_[r] + k;
        for (std::size_t j = 0; j < n; ++j) {
            out_.row[i_ + j] = static_cast<std::int64_t>(r);
            out_.time[i_ + j] = advance(t0, j, plan_.step);
            out_.value[i_ + j] = v[j];
        }
        i_ += n;
        next_k_[r] = k + n;
    }

    // `span` slots of the rows `active` (all covering these slots): at each
    // slot one sample of every row, in the order of `active`.
    void interleave(const std::vector<std::size_t>& active, std::size_t span) {
        const std::size_t m = active.size();
        lane_time_.resize(m);
        lane_value_.resize(m);
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t r = active[j];
            lane_time_[j] = time_of(r, next_k_[r]);
            lane_value_[j] = first_[r] + next_k_[r];
            next_k_[r] += span;
        }
        std::int64_t* row = out_.row + i_;
        std::int64_t* time = out_.time + i_;
        float* value = out_.value + i_;
        for (std::size_t s = 0; s < span; ++s) {
            for (std::size_t j = 0; j < m; ++j) {
                row[j] = static_cast<std::int64_t>(active[j]);
                time[j] = advance(lane_time_[j], s, plan_.step);
                value[j] = lane_value_[j][s];
            }
            row += m;
            time += m;
            value += m;
        }
        i_ += span * m;
    }

    // One sample of row r at time t.
    void one(std::size_t r, std::int64_t t) noexcept {
        out_.row[i_] = static_cast<std::int64_t>(r);
        out_.time[i_] = t;
        out_.value[i_] = first_[r][next_k_[r]++];
        ++i_;
    }

    std::size_t next_k(std::size_t r) const noexcept { return next_k_[r]; }
    std::int64_t time_of(std::size_t r, std::size_t k) const noexcept {
        return advance(rows_[r].start, k, plan_.step);
    }

private:
    const SplitPlan& plan_;
    std::span<const DayRow> rows_;
    const SplitTarget& out_;
    std::vector<const float*> first_;
    std::vector<std::size_t> next_k_;
    std::vector<std::int64_t> lane_time_;
    std::vector<const float*> lane_value_;
    std::size_t i_ = 0;
};

// All starts on one grid: walk the grid slots; at each slot the rows that
// have a sample there come out in row order. Between two events (a row
// starting or ending) the same rows cover every slot, so the stretch is
// written in one go.
void merge_on_grid(const SplitPlan& plan, std::span<const DayRow> rows, Writer& w) {
    const std::vector<std::size_t>& timed = plan.timed;
    const std::size_t total = timed.size();
    const auto base = static_cast<std::uint64_t>(rows[timed.front()].start);
    const auto step = static_cast<std::uint64_t>(plan.step);
    std::vector<std::uint64_t> first_slot(total);
    for (std::size_t j = 0; j < total; ++j)
        first_slot[j] = (static_cast<std::uint64_t>(rows[timed[j]].start) - base) / step;

    std::vector<std::size_t> active;  // rows covering the current slot, by row index
    std::size_t pending = 0;
    std::uint64_t slot = 0;
    while (pending < total || !active.empty()) {
        if (active.empty()) slot = first_slot[pending];
        while (pending < total && first_slot[pending] == slot) {
            const std::size_t r = timed[pending++];
            active.insert(std::upper_bound(active.begin(), active.end(), r), r);
        }
        std::uint64_t span = std::numeric_limits<std::uint64_t>::max();
        for (std::size_t r : active) span = std::min<std::uint64_t>(span, plan.counts[r] - w.next_k(r));
        if (pending < total) span = std::min<std::uint64_t>(span, first_slot[pending] - slot);
        if (active.size() == 1) w.run(active.front(), static_cast<std::size_t>(span));
        else w.interleave(active, static_cast<std::size_t>(span));
        slot += span;
        std::erase_if(active, [&](std::size_t r) { return w.next_k(r) == plan.counts[r]; });
    }
}

// Starts off any common grid: a k-way merge on (time, row).
void merge_by_heap(const SplitPlan& plan, std::span<const DayRow> rows, Writer& w) {
    struct Item {
        std::int64_t t;
        std::size_t r;
    };
    auto later = [](const Item& a, const Item& b) { return a.t != b.t ? a.t > b.t : a.r > b.r; };
    std::vector<Item> heap;
    const std::vector<std::size_t>& timed = plan.timed;
    std::size_t pending = 0;
    while (pending < timed.size() || !heap.empty()) {
        if (pending < timed.size()) {
            const Item next{rows[timed[pending]].start, timed[pending]};
            if (heap.empty() || later(heap.front(), next)) {
                heap.push_back(next);
                std::push_heap(heap.begin(), heap.end(), later);
                ++pending;
                continue;
            }
        }
        std::pop_heap(heap.begin(), heap.end(), later);
        const Item top = heap.back();
        heap.pop_back();
        w.one(top.r, top.t);
        if (w.next_k(top.r) < plan.counts[top.r]) {
            heap.push_back({advance(top.t, 1, plan.step), top.r});
            std::push_heap(heap.begin(), heap.end(), later);
        }
    }
}

}  // namespace

NumericKind fill_split(const SplitPlan& plan, std::span<const DayRow> rows, const SplitTarget& out,
                       NumericResult rounding) {
    std::vector<float> values(plan.samples);
    const NumericKind kind = parse_rows(plan, rows, values.data(), rounding);
    Writer w(plan, rows, out, values.data());
    if (!plan.timed.empty()) {
        if (plan.aligned) merge_on_grid(plan, rows, w);
        else merge_by_heap(plan, rows, w);
    }
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (rows[r].text == nullptr) {
            w.one(r, kNaT);
        } else if (rows[r].start == kNaT) {
            for (std::size_t k = 0; k < plan.counts[r]; ++k) w.one(r, kNaT);
        }
    }
    return kind;
}

}  // namespace kelvane::core
