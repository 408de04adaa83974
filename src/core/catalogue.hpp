// Fixed-column earthquake catalogue lines.
//
// The input is the text of a catalogue file in one of two forms:
//   - UTF-8 bytes as they are in the file (Unit char8_t): positions are
//     counted in code points, and the bytes are checked to be well-formed
//     UTF-8 as the strict codec wants it;
//   - decoded text, one code unit per code point, 8, 16 or 32 bits wide
//     (Unit std::uint8_t, std::uint16_t, char32_t).
// Lines end at "\n", "\r\n" or "\r", as text-mode reading cuts them. Field
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
//
// Reading goes in two steps so that the caller owns the result columns:
// plan_catalogue() cuts the text into pieces at line starts and counts their
// lines, which bounds the rows; the caller sizes the columns from the plan;
// parse_catalogue() fills them, one thread per piece.
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace kelvane::core {

// A stripped field: code-unit positions [begin, end) in the whole text (byte
// positions for UTF-8).
struct TextSpan {
    std::size_t begin = 0;
    std::size_t end = 0;
    bool empty() const noexcept { return begin == end; }
    std::size_t size() const noexcept { return end - begin; }
};

enum class CatalogueNumber : std::uint8_t { longitude = 0, latitude = 1, magnitude = 2 };

// A field the parser did not settle.
struct DeferredField {
    std::size_t row;
    CatalogueNumber column;  // meaningful for numbers only
    TextSpan text;
};

// A row without a settled time; the same value as NaT.
inline constexpr std::int64_t kNoTime = std::numeric_limits<std::int64_t>::min();

// A stretch of the text that starts at a line start and ends after a line end
// (or at the end of the text).
struct CataloguePiece {
    std::size_t begin = 0, end = 0;  // code units
    std::size_t lines = 0;           // lines starting in it: a bound on its rows
    bool carriage_returns = false;   // holds a '\r'
};

struct CataloguePlan {
    std::vector<CataloguePiece> pieces;
    std::size_t length = 0;      // code units of the whole text
    std::size_t lines = 0;       // all lines: the rows the columns must hold
    std::size_t name_bytes = 0;  // a bound on the UTF-8 bytes of all place names
};

// The caller's columns, sized from the plan (rows = plan.lines).
struct CatalogueOutput {
    // Origin time: seconds since 1970-01-01 00:00:00 times `time_scale`;
    // kNoTime for an empty or deferred time, or one the scale would overflow.
    std::int64_t* times = nullptr;
    // 3 * rows values: the longitudes, then the latitudes, then the
    // magnitudes, each `rows` long. NaN: empty, not a number, or deferred.
    double* numbers = nullptr;
    // The place names in Arrow's large_string layout: name i is
    // name_data[name_offsets[i], name_offsets[i+1]), valid where bit i of
    // name_validity is set (least significant bit first). A line without a
    // name is a missing value. rows + 1 offsets, plan.name_bytes data bytes,
    // (rows + 7) / 8 validity bytes.
    std::int64_t* name_offsets = nullptr;
    std::uint8_t* name_data = nullptr;
    std::uint8_t* name_validity = nullptr;
};

struct CatalogueResult {
    std::size_t rows = 0;        // rows filled, in file order; the first `rows` of each column
    std::size_t name_bytes = 0;  // name data bytes used
    std::size_t name_nulls = 0;  // rows without a name
    // False when a name holds a lone surrogate (decoded text only): its bytes
    // are then the three-byte form that UTF-8 would give it, which strict
    // UTF-8 refuses.
    bool names_encodable = true;
    bool any_time = false;  // some settled time
    // False when UTF-8 input is not well-formed: nothing else is meaningful.
    bool well_formed = true;
    std::vector<DeferredField> deferred_times;
    std::vector<DeferredField> deferred_numbers;
};

// True for the code points str.isspace() accepts.
bool is_python_space_beyond_ascii(std::uint32_t code_point) noexcept;
inline bool is_python_space(std::uint32_t code_point) noexcept {
    // '\t' '\n' '\v' '\f' '\r', the four separators 0x1C..0x1F and ' '
    constexpr std::uint64_t kAsciiSpaces = 0x1F0003E00ull;
    if (code_point < 0x80) return code_point < 64 && ((kAsciiSpaces >> code_point) & 1u) != 0;
    return is_python_space_beyond_ascii(code_point);
}

// Days from 1970-01-01 to the given proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) noexcept;

// Cuts the text into at most `pieces` pieces of about equal size at line
// starts and counts their lines (the pieces at once on two threads when
// `parallel`).
template <class Unit>
CataloguePlan plan_catalogue(const Unit* text, std::size_t length, std::size_t pieces, bool parallel);

// Parses the text into the caller's columns, the pieces of the plan on two
// threads when `parallel`; the result does not depend on the pieces.
template <class Unit>
CatalogueResult parse_catalogue(const Unit* text, const CataloguePlan& plan,
                                const CatalogueOutput& out, std::int64_t time_scale, bool parallel);

// The code units the parser is built for, and its instances for one of them
// (declared here, defined in catalogue.cpp with `template`).
#define KELVANE_CATALOGUE_UNITS(X) X(char8_t) X(std::uint8_t) X(std::uint16_t) X(char32_t)
#define KELVANE_CATALOGUE_FUNCTIONS(how, Unit)                                                  \
    how CataloguePlan plan_catalogue<Unit>(const Unit*, std::size_t, std::size_t, bool);         \
    how CatalogueResult parse_catalogue<Unit>(const Unit*, const CataloguePlan&,                   \
                                              const CatalogueOutput&, std::int64_t, bool);
#define KELVANE_CATALOGUE_INSTANCES(Unit) KELVANE_CATALOGUE_FUNCTIONS(template, Unit)
#define KELVANE_CATALOGUE_EXTERN(Unit) KELVANE_CATALOGUE_FUNCTIONS(extern template, Unit)
KELVANE_CATALOGUE_UNITS(KELVANE_CATALOGUE_EXTERN)
#undef KELVANE_CATALOGUE_EXTERN

}  // namespace kelvane::core
