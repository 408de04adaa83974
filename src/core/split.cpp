// Packed observation strings and the table kernel; see split.hpp.
#include "core/split.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "core/ntstore.hpp"
#include "core/parallel.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
    const char* p = stripped.data();
    std::size_t n = stripped.size();
#if defined(__SSE2__)
    // 16 bytes a step: per-byte counters (at most 255 steps before they are
    // summed) of the blanks found.
    const __m128i blank = _mm_set1_epi8(' ');
    while (n >= 16) {
        const std::size_t steps = std::min<std::size_t>(n / 16, 255);
        __m128i counts = _mm_setzero_si128();
        for (std::size_t i = 0; i < steps; ++i) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
            counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(v, blank));
        }
        const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
        blanks += static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
                  static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
        p += 16 * steps;
        n -= 16 * steps;
    }
#endif
    for (std::size_t i = 0; i < n; ++i) blanks += (p[i] == ' ');
    return blanks + 1;
}

namespace {

// Reads the token at p (ends at the next blank or at end) and moves p past
// its blank.
inline NumberToken next_token(const char*& p, const char* end, const NumberRules& rules) noexcept {
    NumberToken t;
    const char* stop = nullptr;
    if (!parse_simple_number(p, end, t, &stop, simple_digits(rules))) {
        const void* blank = std::memchr(p, ' ', static_cast<std::size_t>(end - p));
        stop = blank ? static_cast<const char*>(blank) : end;
        t = parse_number(std::string_view(p, static_cast<std::size_t>(stop - p)), rules);
    }
    p = stop < end ? stop + 1 : end;
    return t;
}

}  // namespace

NumericKind parse_packed(std::string_view text, std::vector<float>& values, const NumberRules& rules) {
    const std::string_view s = strip_packed(text);
    const std::size_t n = count_tokens(s);
    values.resize(n);
    NumericKind kind;
    const char* p = s.data();
    const char* end = p + s.size();
    for (std::size_t i = 0; i < n; ++i) {
        const NumberToken t = next_token(p, end, rules);
        kind.add(t);
        values[i] = to_float32(t, NumericResult::floating);
    }
    if (kind.integers_need_exact_rounding()) {
        p = s.data();
        for (std::size_t i = 0; i < n; ++i) values[i] = to_float32(next_token(p, end, rules), kind.result());
    }
    return kind;
}

SplitPlan plan_split(std::span<const DayRow> rows, std::int64_t step, const NumberRules& rules) {
    if (step <= 0) throw std::invalid_argument("the sample step must be positive");
    SplitPlan plan;
    plan.step = step;
    plan.rules = rules;
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

// Writes samples in time order, reading each row's tokens as they are
// needed: every row is read once, front to back, straight into the output.
class Writer {
public:
    // Writes from output position `first` on; records the stretches it
    // writes to `layout` when given.
    Writer(const SplitPlan& plan, std::span<const DayRow> rows, const SplitTarget& out,
           NumericResult rounding, std::size_t first, RowLayout* layout)
        : plan_(plan), rows_(rows), out_(out), rounding_(rounding), layout_(layout),
          stretch_limit_(plan.samples / kSamplesPerStretch + 64), cursor_(rows.size()),
          end_(rows.size()), shape_(rows.size()), next_k_(rows.size(), 0), i_(first) {
        for (std::size_t r = 0; r < rows.size(); ++r) {
            cursor_[r] = plan.stripped[r].data();
            end_[r] = cursor_[r] + plan.stripped[r].size();
        }
    }

    // The next `n` samples of row r, one after the other.
    void run(std::size_t r, std::size_t n) {
        const std::size_t k = next_k_[r];
        const std::int64_t t0 = time_of(r, k);
        std::int64_t* time = out_.time + i_;
        if (out_.row != nullptr) std::fill_n(out_.row + i_, n, static_cast<std::int64_t>(r));
        for (std::size_t j = 0; j < n; ++j) time[j] = advance(t0, j, plan_.step);
        read(r, n, out_.value + i_, 1);
        note(&r, 1, n);
        i_ += n;
    }

    // `span` slots of the rows `active` (all covering these slots): at each
    // slot one sample of every row, in the order of `active`.
    void interleave(const std::vector<std::size_t>& active, std::size_t span) {
        const std::size_t m = active.size();
        lane_time_.resize(m);
        for (std::size_t j = 0; j < m; ++j) lane_time_[j] = time_of(active[j], next_k_[active[j]]);
        std::int64_t* time = out_.time + i_;
        for (std::size_t s = 0; s < span; ++s) {
            for (std::size_t j = 0; j < m; ++j) time[j] = advance(lane_time_[j], s, plan_.step);
            time += m;
        }
        if (out_.row != nullptr) {
            std::int64_t* row = out_.row + i_;
            for (std::size_t s = 0; s < span; ++s, row += m)
                for (std::size_t j = 0; j < m; ++j) row[j] = static_cast<std::int64_t>(active[j]);
        }
        for (std::size_t j = 0; j < m; ++j) read(active[j], span, out_.value + i_ + j, m);
        note(active.data(), m, span);
        i_ += span * m;
    }

    // One sample of row r at time t.
    void one(std::size_t r, std::int64_t t) {
        if (out_.row != nullptr) out_.row[i_] = static_cast<std::int64_t>(r);
        out_.time[i_] = t;
        read(r, 1, out_.value + i_, 1);
        note(&r, 1, 1);
        ++i_;
    }

    std::size_t next_k(std::size_t r) const noexcept { return next_k_[r]; }
    std::int64_t time_of(std::size_t r, std::size_t k) const noexcept {
        return advance(rows_[r].start, k, plan_.step);
    }
    const NumericKind& kind() const noexcept { return kind_; }

private:
    // Fewer samples than this per stretch on average, and the layout is
    // given up where a row column is written: copying by stretch would not
    // pay for recording them. (Without a row column the stretches are few
    // anyway: starts on one grid give about one per row start, row end and
    // row without a time.)
    static constexpr std::size_t kSamplesPerStretch = 16;

    // Records `span` slots of the rows lanes[0, width) from output position i_.
    void note(const std::size_t* lanes, std::size_t width, std::size_t span) {
        if (layout_ == nullptr || !layout_->usable) return;
        std::vector<RowStretch>& st = layout_->stretches;
        if (width == 1 && !st.empty()) {
            RowStretch& last = st.back();
            if (last.width == 1 && layout_->lanes[last.lane] == lanes[0] && last.first + last.span == i_) {
                last.span += span;  // the same row again, right after
                return;
            }
        }
        if (out_.row != nullptr && st.size() >= stretch_limit_) {
            layout_->give_up();
            return;
        }
        st.push_back({i_, span, layout_->lanes.size(), width});
        layout_->lanes.insert(layout_->lanes.end(), lanes, lanes + width);
    }

    // The next n tokens of row r as float32, to v[0], v[stride], ...; a row
    // without text gives its one NaN.
    void read(std::size_t r, std::size_t n, float* v, std::size_t stride) noexcept {
        next_k_[r] += n;
        if (rows_[r].text == nullptr) {
            kind_.add_missing();
            *v = std::numeric_limits<float>::quiet_NaN();
            return;
        }
        const char* p = cursor_[r];
        const char* end = end_[r];
        TokenShape shape = shape_[r];
        std::size_t j = 0;
        while (j < n) {
            if (shape.length != 0) {
                const std::size_t got = read_shaped(p, end, shape, v + j * stride, stride, n - j);
                if (got > 0) {
                    kind_.add_real();
                    j += got;
                    if (j == n) break;
                }
            }
            const char* start = p;
            const NumberToken t = next_token(p, end, plan_.rules);
            kind_.add(t);
            v[j * stride] = to_float32(t, rounding_);
            ++j;
            // a number of the usual form sets the shape for the tokens after
            // it (p is past the token's blank, or at the end of the text)
            const auto length = static_cast<std::size_t>((p < end ? p - 1 : p) - start);
            shape = t.cls == TokenClass::real ? shape_of(std::string_view(start, length)) : TokenShape{};
        }
        shape_[r] = shape;
        cursor_[r] = p;
    }

    const SplitPlan& plan_;
    std::span<const DayRow> rows_;
    const SplitTarget& out_;
    NumericResult rounding_;
    RowLayout* layout_;
    std::size_t stretch_limit_;
    NumericKind kind_;
    std::vector<const char*> cursor_;
    std::vector<const char*> end_;
    std::vector<TokenShape> shape_;  // of the row's last token read
    std::vector<std::size_t> next_k_;
    std::vector<std::int64_t> lane_time_;
    std::size_t i_;
};

// All starts on one grid: walk the grid slots; at each slot the rows that
// have a sample there come out in row order. Between two events (a row
// starting or ending) the same rows cover every slot, so the stretch is
// written in one go.
void merge_on_grid(const SplitPlan& plan, std::span<const DayRow> rows, std::span<const std::size_t> timed,
                   Writer& w) {
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
void merge_by_heap(const SplitPlan& plan, std::span<const DayRow> rows, std::span<const std::size_t> timed,
                   Writer& w) {
    struct Item {
        std::int64_t t;
        std::size_t r;
    };
    auto later = [](const Item& a, const Item& b) { return a.t != b.t ? a.t > b.t : a.r > b.r; };
    std::vector<Item> heap;
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

// The samples of the timed rows `timed` (a run of plan.timed), in time order.
void merge(const SplitPlan& plan, std::span<const DayRow> rows, std::span<const std::size_t> timed,
           Writer& w) {
    if (timed.empty()) return;
    if (plan.aligned) merge_on_grid(plan, rows, timed, w);
    else merge_by_heap(plan, rows, timed, w);
}

// A place to cut plan.timed in two, so that every sample before the cut is
// earlier than every sample after it: the two halves then fill disjoint
// ranges of the output on their own. Returns the cut nearest to half of the
// samples, or 0 when no cut leaves a quarter of them at least on each side.
std::size_t balanced_cut(const SplitPlan& plan, std::span<const DayRow> rows, std::size_t* before) {
    const std::vector<std::size_t>& timed = plan.timed;
    std::size_t total = 0;
    for (std::size_t r : timed) total += plan.counts[r];
    std::size_t best = 0, best_before = 0, prefix = 0;
    std::int64_t last = kNaT;  // latest sample time so far
    for (std::size_t j = 0; j < timed.size(); ++j) {
        const std::size_t r = timed[j];
        if (j > 0 && last < rows[r].start) {
            const auto gap = [&](std::size_t n) { return n > total / 2 ? n - total / 2 : total / 2 - n; };
            if (best == 0 || gap(prefix) < gap(best_before)) {
                best = j;
                best_before = prefix;
            }
        }
        last = std::max(last, advance(rows[r].start, plan.counts[r] - 1, plan.step));
        prefix += plan.counts[r];
    }
    if (best == 0 || best_before < total / 4 || total - best_before < total / 4) return 0;
    *before = best_before;
    return best;
}

}  // namespace

NumericKind fill_split(const SplitPlan& plan, std::span<const DayRow> rows, const SplitTarget& out,
                       NumericResult rounding, std::size_t parallel_from, RowLayout* layout) {
    if (out.row == nullptr && (layout == nullptr || !plan.aligned))
        throw std::invalid_argument("samples off one grid need a row column");
    const std::span<const std::size_t> timed(plan.timed);
    std::size_t cut = 0, before = 0;
    if (plan.samples >= parallel_from) cut = balanced_cut(plan, rows, &before);

    // The part before the cut (if any) on a second thread; the rest, and then
    // the samples without a time, which come last, on this one.
    RowLayout early, late;
    Writer w(plan, rows, out, rounding, before, layout ? &late : nullptr);
    NumericKind kind;
    run_two(
        cut > 0,
        [&] {
            if (cut == 0) return;
            Writer first(plan, rows, out, rounding, 0, layout ? &early : nullptr);
            merge(plan, rows, timed.first(cut), first);
            kind = first.kind();
        },
        [&] { merge(plan, rows, timed.subspan(cut), w); });
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (rows[r].text == nullptr) {
            w.one(r, kNaT);
        } else if (rows[r].start == kNaT) {
            for (std::size_t k = 0; k < plan.counts[r]; ++k) w.one(r, kNaT);
        }
    }
    kind.merge(w.kind());
    if (layout != nullptr) {
        *layout = std::move(early);
        if (layout->usable && late.usable) {
            const std::size_t shift = layout->lanes.size();
            for (RowStretch st : late.stretches) {
                st.lane += shift;
                layout->stretches.push_back(st);
            }
            layout->lanes.insert(layout->lanes.end(), late.lanes.begin(), late.lanes.end());
        } else {
            layout->give_up();
        }
    }
    return kind;
}

namespace {

// Fills dst[0, total) with copies of its first `block` bytes, already
// written there (total a multiple of block). Streams; the caller fences.
void repeat_block(std::uint8_t* dst, std::size_t block, std::size_t total) noexcept {
    if (block == 0) return;
    // Double up to a piece that stays in the first-level cache, then stream
    // that piece (a whole number of blocks) on and on.
    constexpr std::size_t kPiece = 8192;
    std::size_t done = block;
    while (done < total && done < kPiece) {
        const std::size_t n = std::min(done, total - done);
        std::memcpy(dst + done, dst, n);
        done += n;
    }
    const std::size_t piece = done;
    while (done < total) {
        const std::size_t n = std::min(piece, total - done);
        stream_copy(dst + done, dst, n);
        done += n;
    }
}

}  // namespace

void expand_rows(const RowLayout& layout, std::int64_t* rows) noexcept {
    for (const RowStretch& st : layout.stretches) {
        std::int64_t* out = rows + st.first;
        for (std::size_t j = 0; j < st.width; ++j) out[j] = static_cast<std::int64_t>(layout.lanes[st.lane + j]);
        repeat_block(reinterpret_cast<std::uint8_t*>(out), st.width * sizeof *out, st.span * st.width * sizeof *out);
    }
    stream_fence();
}

void repeat_items(const RowLayout& layout, const std::uint8_t* src, std::size_t itemsize,
                  std::uint8_t* dst) noexcept {
    for (const RowStretch& st : layout.stretches) {
        std::uint8_t* out = dst + st.first * itemsize;
        for (std::size_t j = 0; j < st.width; ++j)
            std::memcpy(out + j * itemsize, src + layout.lanes[st.lane + j] * itemsize, itemsize);
        repeat_block(out, st.width * itemsize, st.span * st.width * itemsize);
    }
    stream_fence();
}

void repeat_texts(const RowLayout& layout, std::span<const DayRow> texts, std::int64_t* offsets,
                  std::uint8_t* data) noexcept {
    std::int64_t pos = 0;
    offsets[0] = 0;
    for (const RowStretch& st : layout.stretches) {
        // one slot's texts, then the slot repeated; offsets of later slots
        // are those of the first moved on by whole slots
        std::uint8_t* out = data + pos;
        std::int64_t* off = offsets + st.first + 1;
        std::size_t block = 0;
        for (std::size_t j = 0; j < st.width; ++j) {
            const DayRow& t = texts[layout.lanes[st.lane + j]];
            if (t.text != nullptr && t.size > 0) std::memcpy(out + block, t.text, t.size);
            block += t.text != nullptr ? t.size : 0;
            off[j] = pos + static_cast<std::int64_t>(block);
        }
        repeat_block(out, block, block * st.span);
        const auto step = static_cast<std::int64_t>(block);
        for (std::size_t s = 1; s < st.span; ++s) {
            std::int64_t* slot = off + s * st.width;
            const std::int64_t moved = step * static_cast<std::int64_t>(s);
            for (std::size_t j = 0; j < st.width; ++j) stream_store(slot + j, off[j] + moved);
        }
        pos += static_cast<std::int64_t>(block * st.span);
    }
    stream_fence();
}

}  // namespace kelvane::core
