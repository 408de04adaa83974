// Fixed-column earthquake catalogue lines.
//
// The input is the decoded text of a catalogue file as text-mode reading
// gives it: a sequence of code points (one code unit per code point, 8, 16 or
// 32 bits wide) whose line ends are already single '\n' characters. Field
// positions are code-point positions within a line, end exclusive:
//
//   origin time  0..14   "YYYYmmddHHMMSS"
//   latitude    15..21
//   longitude   21..27
//   magnitude   28..32
//   place name  39..end of line
//
// Every field is stripped of the interpreter's whitespace characters (the
// set str.strip() removes) before it is read. Blank lines (empty or
// whitespace only) are skipped.
//
// The parser settles the common forms itself and hands back, by position, the
// fields whose reading it leaves to the caller: numbers written in forms other
// than plain decimals (exponents, underscores, inf/nan words, non-ASCII
// digits), and origin times that are not 14 ASCII digits forming a valid
// calendar time. Such fields are rare in real catalogues.
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace kelvane::core {

// A stripped field: code-unit positions [begin, end) in the whole text.
struct TextSpan {
    std::size_t begin = 0;
    std::size_t end = 0;
    bool empty() const noexcept { return begin == end; }
    std::size_t size() const noexcept { return end - begin; }
};

enum class CatalogueNumber : std::uint8_t { latitude = 0, longitude = 1, magnitude = 2 };

// A field the parser did not settle.
struct DeferredField {
    std::size_t row;
    CatalogueNumber column;  // meaningful for numbers only
    TextSpan text;
};

// Seconds since 1970-01-01 00:00:00 of a row without a settled time.
inline constexpr std::int64_t kNoTime = std::numeric_limits<std::int64_t>::min();

struct CatalogueColumns {
    std::vector<std::int64_t> seconds;  // kNoTime: empty or deferred time
    std::vector<double> latitude;       // NaN: empty, not a number, or deferred
    std::vector<double> longitude;
    std::vector<double> magnitude;
    std::vector<TextSpan> name;  // empty span: the line has no name
    std::vector<DeferredField> deferred_times;
    std::vector<DeferredField> deferred_numbers;
    std::size_t rows() const noexcept { return seconds.size(); }
};

// A text column in Arrow's large_string layout: value i is
// data[offsets[i], offsets[i+1]), valid where bit i of validity is set
// (least significant bit first). Empty spans are the missing values.
struct Utf8Column {
    std::vector<std::int64_t> offsets;
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> validity;
    std::size_t null_count = 0;
    bool encodable = true;  // false when a span holds a lone surrogate
};

// The spans of a text as UTF-8.
template <class Unit>
Utf8Column utf8_column(const Unit* text, const std::vector<TextSpan>& spans);

// True for the code points str.isspace() accepts.
bool is_python_space(std::uint32_t code_point) noexcept;

// Days from 1970-01-01 to the given proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) noexcept;

// Parses the whole text. Unit is std::uint8_t, std::uint16_t or char32_t.
template <class Unit>
CatalogueColumns parse_catalogue(const Unit* text, std::size_t length);

extern template CatalogueColumns parse_catalogue<std::uint8_t>(const std::uint8_t*, std::size_t);
extern template CatalogueColumns parse_catalogue<std::uint16_t>(const std::uint16_t*, std::size_t);
extern template CatalogueColumns parse_catalogue<char32_t>(const char32_t*, std::size_t);
extern template Utf8Column utf8_column<std::uint8_t>(const std::uint8_t*, const std::vector<TextSpan>&);
extern template Utf8Column utf8_column<std::uint16_t>(const std::uint16_t*, const std::vector<TextSpan>&);
extern template Utf8Column utf8_column<char32_t>(const char32_t*, const std::vector<TextSpan>&);

}  // namespace kelvane::core
