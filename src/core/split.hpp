// Packed observation strings: one day of samples in one text, the values
// separated by single blanks, token k at the day's start plus k steps.
//
// Reading one packed string (as the cleaning step and the NULLALL expansion
// see it):
//   1. strip_packed(): remove leading and trailing white space, where white
//      space is what Python's str.strip() removes (ASCII blanks, \x1c-\x1f,
//      U+0085, U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F,
//      U+3000); the text is UTF-8;
//   2. cut at every single blank ' ': n blanks give n + 1 tokens, two adjacent
//      blanks give an empty token (a missing sample), an empty text gives one
//      empty token;
//   3. every token is read by parse_number() (numparse.hpp), by the rules
//      of the pandas in use.
//
// The table kernel (plan_split / fill_split) turns many such rows into one
// sample per token, sorted by time: ascending, ties in row order and then
// token order, samples without a time (the row's start is NaT, or the row has
// no text at all, which gives one NaN sample) last in row order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "core/numparse.hpp"

namespace kelvane::core {

// NaT of datetime64/timedelta64 columns.
inline constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();

// True for the characters Python's str.isspace() accepts.
bool is_python_space(char32_t c) noexcept;

// The text without leading and trailing white space (see above). Invalid
// UTF-8 is never white space; never reads outside the text.
std::string_view strip_packed(std::string_view text) noexcept;

// Number of tokens of an already stripped packed string (blanks + 1).
std::size_t count_tokens(std::string_view stripped) noexcept;

// Reads a packed string (stripped here) into float32 values, one per token,
// rounded as a column holding exactly these tokens would be. Returns what the
// column looked like to to_numeric, so that a caller combining several
// strings can tell whether integer rounding applies (NumericKind::merge).
NumericKind parse_packed(std::string_view text, std::vector<float>& values, const NumberRules& rules = {});

// One input row of the table kernel.
struct DayRow {
    const char* text = nullptr;  // UTF-8; nullptr: the row has no text (None/NaN)
    std::size_t size = 0;
    std::int64_t start = kNaT;  // time of token 0, in the time column's unit
};

// First pass: stripped spans, token counts, time order of the rows. Holds
// pointers into the rows' texts, which must stay valid until fill_split ends.
struct SplitPlan {
    std::int64_t step = 0;
    NumberRules rules;                       // how the tokens are read
    std::size_t samples = 0;                // rows of the result
    std::vector<std::string_view> stripped;  // per row; empty data() for no text
    std::vector<std::size_t> counts;         // samples per row
    std::vector<std::size_t> timed;          // rows with a start and a text, by (start, row)
    bool aligned = true;                     // all timed starts on one grid of `step`
};

// Throws std::invalid_argument for step <= 0 and std::overflow_error when a
// sample time leaves the int64 range.
SplitPlan plan_split(std::span<const DayRow> rows, std::int64_t step, const NumberRules& rules = {});

// Output columns, each plan.samples long.
struct SplitTarget {
    std::int64_t* row;   // input row of each sample; may be null, see fill_split
    std::int64_t* time;  // sample time (kNaT last)
    float* value;        // OBSVALUE
};

// Where the samples of the result came from, stretch by stretch: in a stretch
// of `span` slots, each slot holds one sample of each of `width` rows, in the
// same order every slot (width 1: a run of samples of one row). Sample
// first + s * width + j is of row lanes[lane + j]. The other columns of a
// result repeat their row's value on every sample, so they can be written a
// stretch at a time instead of a sample at a time.
struct RowStretch {
    std::size_t first = 0;  // output position of the stretch's first sample
    std::size_t span = 0;   // slots
    std::size_t lane = 0;   // its rows start at lanes[lane]
    std::size_t width = 0;  // rows per slot
};

struct RowLayout {
    std::vector<RowStretch> stretches;  // in output order, covering every sample
    std::vector<std::size_t> lanes;
    // False when the samples fell into too many short stretches for the
    // layout to pay (starts off a common grid); stretches are then dropped
    // and the row column is the one to use.
    bool usable = true;

    void give_up() {
        *this = RowLayout{};
        usable = false;
    }
};

// The row of every sample, from a usable layout.
void expand_rows(const RowLayout& layout, std::int64_t* rows) noexcept;

// Copies an item of `itemsize` bytes for every sample: dst item i is
// src item (row of sample i). The layout must be usable.
void repeat_items(const RowLayout& layout, const std::uint8_t* src, std::size_t itemsize, std::uint8_t* dst) noexcept;

// Texts repeated by row into Arrow-style buffers: `offsets` (samples + 1
// items, offsets[0] = 0) and `data`, the texts of the samples one after the
// other (a row without text, text == nullptr, gives the empty text). `data`
// needs room for every byte written. The layout must be usable.
void repeat_texts(const RowLayout& layout, std::span<const DayRow> texts, std::int64_t* offsets,
                  std::uint8_t* data) noexcept;

// Tables of this many samples and more may be filled by two threads.
inline constexpr std::size_t kParallelSamples = std::size_t{1} << 18;

// Second pass: writes every sample in time order. `rounding` chooses how
// integer tokens become float32; call first with NumericResult::floating,
// then, only if the returned kind says integers_need_exact_rounding(), again
// with kind.result() (rows and times come out the same).
//
// From `parallel_from` samples on, a table whose rows fall into an earlier and
// a later part that do not overlap in time is filled by two threads, one per
// part (same result).
//
// With `layout`, also records how the output rows came out (see RowLayout).
// When all starts are on one grid (plan.aligned), out.row may be null: the
// layout then says where every sample came from and is always usable.
// Throws std::invalid_argument for a null out.row otherwise.
NumericKind fill_split(const SplitPlan& plan, std::span<const DayRow> rows, const SplitTarget& out,
                       NumericResult rounding = NumericResult::floating,
                       std::size_t parallel_from = kParallelSamples, RowLayout* layout = nullptr);

}  // namespace kelvane::core
