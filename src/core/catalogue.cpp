#include "core/catalogue.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "core/parallel.hpp"

namespace kelvane::core {

namespace {

// Cut points of a line, in code points: the ends of the origin time, the
// bounds of latitude, longitude and magnitude, the start of the place name.
constexpr std::size_t kCuts[7] = {14, 15, 21, 27, 28, 32, 39};
enum Cut { kTimeEnd, kLatitudeBegin, kLongitudeBegin, kLongitudeEnd, kMagnitudeBegin, kMagnitudeEnd, kNameBegin };

template <class Unit>
constexpr bool kUtf8 = std::is_same_v<Unit, char8_t>;

template <class Unit>
inline std::uint32_t code(Unit u) noexcept {
    return static_cast<std::uint32_t>(u);
}

inline bool is_digit(std::uint32_t c) noexcept { return c - '0' < 10u; }

// ---------------------------------------------------------------------------
// UTF-8

// The well-formed UTF-8 sequence at p (p < e): its length and code point;
// length 0 when the bytes are ill-formed (the strict codec's rules: no
// overlong forms, no surrogates, nothing beyond U+10FFFF).
inline std::size_t utf8_decode(const char8_t* p, const char8_t* e, std::uint32_t& cp) noexcept {
    const std::uint32_t b0 = p[0];
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    const auto avail = static_cast<std::size_t>(e - p);
    auto continuation = [](std::uint32_t b) { return (b & 0xC0u) == 0x80u; };
    if (b0 < 0xC2) return 0;
    if (b0 < 0xE0) {
        if (avail < 2 || !continuation(p[1])) return 0;
        cp = ((b0 & 0x1Fu) << 6) | (p[1] & 0x3Fu);
        return 2;
    }
    if (b0 < 0xF0) {
        if (avail < 3) return 0;
        const std::uint32_t b1 = p[1], b2 = p[2];
        if (!continuation(b1) || !continuation(b2)) return 0;
        if ((b0 == 0xE0 && b1 < 0xA0) || (b0 == 0xED && b1 >= 0xA0)) return 0;
        cp = ((b0 & 0x0Fu) << 12) | ((b1 & 0x3Fu) << 6) | (b2 & 0x3Fu);
        return 3;
    }
    if (b0 < 0xF5) {
        if (avail < 4) return 0;
        const std::uint32_t b1 = p[1], b2 = p[2], b3 = p[3];
        if (!continuation(b1) || !continuation(b2) || !continuation(b3)) return 0;
        if ((b0 == 0xF0 && b1 < 0x90) || (b0 == 0xF4 && b1 >= 0x90)) return 0;
        cp = ((b0 & 0x07u) << 18) | ((b1 & 0x3Fu) << 12) | ((b2 & 0x3Fu) << 6) | (b3 & 0x3Fu);
        return 4;
    }
    return 0;
}

inline bool ascii_word(const char8_t* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return (w & 0x8080808080808080ull) == 0;
}

inline bool all_ascii(const char8_t* p, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        if (!ascii_word(p + i)) return false;
    unsigned tail = 0;
    for (; i < n; ++i) tail |= p[i];
    return tail < 0x80;
}

inline bool well_formed(const char8_t* p, const char8_t* e) noexcept {
    while (p < e) {
        if (e - p >= 8 && ascii_word(p)) {
            p += 8;
            continue;
        }
        std::uint32_t cp;
        const std::size_t n = utf8_decode(p, e, cp);
        if (n == 0) return false;
        p += n;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Stripping

// [begin, end) narrowed past leading and trailing whitespace; code units are
// code points.
template <class Unit>
TextSpan stripped(const Unit* text, std::size_t begin, std::size_t end) noexcept {
    while (begin < end && is_python_space(code(text[begin]))) ++begin;
    while (end > begin && is_python_space(code(text[end - 1]))) --end;
    return {begin, end};
}

// The same on well-formed UTF-8 whose bounds are code-point starts.
TextSpan stripped_utf8(const char8_t* text, std::size_t begin, std::size_t end) noexcept {
    while (begin < end) {
        std::uint32_t cp = text[begin];
        std::size_t n = 1;
        if (cp >= 0x80) n = utf8_decode(text + begin, text + end, cp);
        if (!is_python_space(cp)) break;
        begin += n;
    }
    while (end > begin) {
        std::size_t start = end - 1;
        while ((text[start] & 0xC0u) == 0x80u) --start;
        std::uint32_t cp = 0;
        utf8_decode(text + start, text + end, cp);
        if (!is_python_space(cp)) break;
        end = start;
    }
    return {begin, end};
}

// ---------------------------------------------------------------------------
// Numbers and times

// Characters that can occur in a number the interpreter's float() accepts
// from ASCII text: digits, sign, point, underscore, exponent and the letters
// of "inf", "infinity" and "nan".
inline bool may_be_in_number(std::uint32_t c) noexcept {
    if (is_digit(c)) return true;
    switch (c | 0x20u) {  // ASCII lower case
        case 'e': case 'i': case 'n': case 'f': case 't': case 'y': case 'a':
            return true;
        default:
            break;
    }
    return c == '+' || c == '-' || c == '.' || c == '_';
}

enum class NumberOutcome { value, not_a_number, deferred };

// Numbers of more than 15 digits, or fields that are no plain decimals: those
// that cannot be numbers give NaN, the others are left to the caller.
template <class Unit>
NumberOutcome read_number_slowly(const Unit* text, TextSpan span, double& out) noexcept {
    char buffer[40];
    if (span.size() >= sizeof buffer) return NumberOutcome::deferred;
    std::size_t n = 0;
    for (std::size_t i = span.begin; i < span.end; ++i) {
        const std::uint32_t c = code(text[i]);
        if (c >= 0x80) return NumberOutcome::deferred;  // e.g. non-ASCII digits
        if (!may_be_in_number(c)) return NumberOutcome::not_a_number;
        buffer[n++] = static_cast<char>(c);
    }
    const std::size_t i = buffer[0] == '+' || buffer[0] == '-' ? 1 : 0;
    std::size_t j = i, digits = 0;
    while (j < n && is_digit(static_cast<unsigned char>(buffer[j]))) ++j, ++digits;
    if (j < n && buffer[j] == '.') {
        ++j;
        while (j < n && is_digit(static_cast<unsigned char>(buffer[j]))) ++j, ++digits;
    }
    if (j != n || digits == 0) return NumberOutcome::deferred;
    double value = 0.0;
    auto [ptr, ec] = std::from_chars(buffer + i, buffer + n, value, std::chars_format::fixed);
    if (ec != std::errc() || ptr != buffer + n) return NumberOutcome::deferred;
    out = buffer[0] == '-' ? -value : value;
    return NumberOutcome::value;
}

// Exact powers of ten that doubles hold.
constexpr double kPowersOfTen[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                     1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

constexpr std::uint64_t kEachByte = 0x0101010101010101ull;

// The value of eight ASCII digits held in w, the first in the lowest byte.
inline std::uint64_t eight_digits(std::uint64_t w) noexcept {
    w = ((w & 0x0F0F0F0F0F0F0F0Full) * 2561) >> 8;
    w = ((w & 0x00FF00FF00FF00FFull) * 6553601) >> 16;
    return ((w & 0x0000FFFF0000FFFFull) * 42949672960001ull) >> 32;
}

// A plain decimal of n (1..8) bytes held in the low bytes of w, the first in
// the lowest: [sign] digits [. digits] with at least one digit. False for any
// other field, which the general path then reads.
inline bool plain_decimal_word(std::uint64_t w, std::size_t n, double& out) noexcept {
    const std::uint64_t first = w & 0xFF;
    const bool negative = first == '-';
    const std::size_t sign = negative || first == '+';
    w >>= 8 * sign;  // n - sign bytes left, the rest zero
    n -= sign;
    if (n == 0) return false;
    const std::uint64_t used = n == 8 ? ~0ull : (std::uint64_t{1} << (8 * n)) - 1;
    constexpr std::uint64_t kHigh = kEachByte * 0x80, kLow7 = kEachByte * 0x7F;
    // the high bit of each byte equal to '.' (exact per byte: no carries cross bytes)
    const std::uint64_t dots = w ^ (kEachByte * '.');
    const std::uint64_t dot_bytes = ~(((dots & kLow7) + kLow7) | dots) & kHigh & used;
    if ((dot_bytes & (dot_bytes - 1)) != 0) return false;
    // every other byte a digit: high nibble 3, low nibble at most 9
    const std::uint64_t high_nibble = (w & (kEachByte * 0xF0)) ^ (kEachByte * 0x30);
    const std::uint64_t low_nibble = ((w & (kEachByte * 0x0F)) + kEachByte * 0x06) & (kEachByte * 0x10);
    const std::uint64_t dot_mask = (dot_bytes >> 7) * 0xFF;
    if (((high_nibble | low_nibble) & used & ~dot_mask) != 0) return false;
    std::size_t digits = n, fraction = 0;
    if (dot_bytes != 0) {
        const auto at = static_cast<std::size_t>(__builtin_ctzll(dot_bytes)) / 8;
        const std::uint64_t below = at == 0 ? 0 : (std::uint64_t{1} << (8 * at)) - 1;
        w = (w & below) | ((w >> 8) & ~below);  // the point taken out
        --digits;
        fraction = digits - at;
        if (digits == 0) return false;
    }
    // left-pad to eight digits with '0's
    w = (w << (8 * (8 - digits))) | (kEachByte * '0' >> (8 * digits));
    const double value = static_cast<double>(eight_digits(w)) / kPowersOfTen[fraction];
    out = negative ? -value : value;
    return true;
}

// Reads a stripped field as float() would: plain decimals ([sign] digits
// [. digits] or [sign] . digits) here, fields that cannot be numbers as NaN,
// anything else left to the caller (out NaN). `readable`: the bytes from the
// field's start that may be read (single-byte units only).
template <class Unit>
inline NumberOutcome read_number(const Unit* text, TextSpan span, double& out, std::size_t readable = 0) noexcept {
    out = std::numeric_limits<double>::quiet_NaN();
    if (span.empty()) return NumberOutcome::not_a_number;
    if constexpr (sizeof(Unit) == 1) {
        if (span.size() <= 8 && readable >= 8) {
            std::uint64_t w;
            std::memcpy(&w, text + span.begin, sizeof w);
            if (span.size() < 8) w &= (std::uint64_t{1} << (8 * span.size())) - 1;
            if (plain_decimal_word(w, span.size(), out)) return NumberOutcome::value;
        }
    }
    const Unit* p = text + span.begin;
    const Unit* const e = text + span.end;
    const bool negative = code(*p) == '-';
    if (negative || code(*p) == '+') ++p;
    std::uint64_t digits = 0;
    std::size_t count = 0, fraction = 0;
    for (; p < e && is_digit(code(*p)); ++p, ++count) digits = digits * 10 + (code(*p) - '0');
    if (p < e && code(*p) == '.') {
        for (++p; p < e && is_digit(code(*p)); ++p, ++fraction) digits = digits * 10 + (code(*p) - '0');
    }
    count += fraction;
    if (p == e && count > 0 && count <= 15) {
        // The digits form an integer below 2^53 and the divisor a power of
        // ten that doubles hold exactly, so one division rounds correctly.
        const double value = static_cast<double>(digits) / kPowersOfTen[fraction];
        out = negative ? -value : value;
        return NumberOutcome::value;
    }
    return read_number_slowly(text, span, out);
}

inline bool is_leap(std::int64_t year) noexcept {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

inline unsigned days_in_month(std::int64_t year, unsigned month) noexcept {
    static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29u : kDays[month - 1];
}

// Seconds since the epoch of a field of exactly 14 ASCII digits that form a
// valid time with year 1 or later; kNoTime for anything else.
template <class Unit>
inline std::int64_t read_time(const Unit* text, TextSpan span) noexcept {
    if (span.size() != 14) return kNoTime;
    unsigned d[14];
    for (std::size_t k = 0; k < 14; ++k) {
        const std::uint32_t c = code(text[span.begin + k]) - '0';
        if (c > 9) return kNoTime;
        d[k] = c;
    }
    auto two = [&](std::size_t k) { return d[k] * 10 + d[k + 1]; };
    const std::int64_t year = two(0) * 100 + two(2);
    const unsigned month = two(4), day = two(6), hour = two(8), minute = two(10), second = two(12);
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
        minute > 59 || second > 59)
        return kNoTime;
    return days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

// ---------------------------------------------------------------------------
// Lines

template <class Unit>
inline bool is_line_end(Unit u) noexcept {
    return code(u) == '\n' || code(u) == '\r';
}

// Position of the first `c` in [from, to), or `to`.
template <class Unit>
inline std::size_t find_unit(const Unit* text, std::size_t from, std::size_t to, char c) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        const void* hit = std::memchr(text + from, c, to - from);
        return hit ? static_cast<std::size_t>(static_cast<const Unit*>(hit) - text) : to;
    } else {
        return static_cast<std::size_t>(std::find(text + from, text + to, static_cast<Unit>(c)) - text);
    }
}

template <class Unit>
inline std::size_t find_newline(const Unit* text, std::size_t from, std::size_t to) noexcept {
    return find_unit(text, from, to, '\n');
}

template <class Unit>
inline std::size_t find_carriage_return(const Unit* text, std::size_t from, std::size_t to) noexcept {
    return find_unit(text, from, to, '\r');
}

// Occurrences of `unit` in [p, e).
template <class Unit>
std::size_t count_units(const Unit* p, const Unit* e, Unit unit) noexcept {
    // blocks short enough for counters as wide as a unit, which vectorise well
    using Counter = std::conditional_t<sizeof(Unit) == 1, std::uint8_t,
                                       std::conditional_t<sizeof(Unit) == 2, std::uint16_t, std::uint32_t>>;
    constexpr std::size_t kBlock = sizeof(Unit) == 1 ? 255 : 4096;
    std::size_t total = 0;
    while (p < e) {
        const std::size_t n = std::min<std::size_t>(kBlock, static_cast<std::size_t>(e - p));
        Counter block = 0;
        for (std::size_t i = 0; i < n; ++i) block = static_cast<Counter>(block + (p[i] == unit));
        total += block;
        p += n;
    }
    return total;
}

// Lines that start in [begin, end) and whether it holds a '\r'; "\r\n" is one
// line end. The stretch does not end between '\r' and '\n'.
template <class Unit>
void count_lines(const Unit* text, CataloguePiece& piece) noexcept {
    const Unit* const b = text + piece.begin;
    const Unit* const e = text + piece.end;
    const std::size_t newlines = count_units(b, e, static_cast<Unit>('\n'));
    std::size_t returns = 0, pairs = 0;
    if (find_carriage_return(text, piece.begin, piece.end) < piece.end) {
        returns = count_units(b, e, static_cast<Unit>('\r'));
        for (const Unit* p = b; p + 1 < e; ++p) pairs += code(p[0]) == '\r' && code(p[1]) == '\n';
    }
    const bool open_end = piece.end > piece.begin && !is_line_end(text[piece.end - 1]);
    piece.lines = newlines + returns - pairs + (open_end ? 1 : 0);
    piece.carriage_returns = returns > 0;
}

// Bytes of UTF-8 a code unit can need at most.
template <class Unit>
constexpr std::size_t kUtf8PerUnit = kUtf8<Unit> ? 1 : sizeof(Unit) == 1 ? 2 : sizeof(Unit) == 2 ? 3 : 4;

// What one piece gave; rows and name bytes are written from the piece's own
// starts in the columns.
struct PieceOutcome {
    std::size_t rows = 0;
    std::size_t name_end = 0;  // one past its last name byte
    bool encodable = true;
    bool any_time = false;
    bool well_formed = true;
    std::vector<DeferredField> deferred_times, deferred_numbers;
};

template <class Unit>
class PieceParser {
public:
    PieceParser(const Unit* text, std::size_t length, const CatalogueOutput& out, std::size_t capacity,
                std::int64_t scale, std::size_t first_row, std::size_t first_name_byte)
        : text_(text), length_(length), out_(out), capacity_(capacity), scale_(scale), row_(first_row),
          data_(first_name_byte) {
        result_.name_end = first_name_byte;
    }

    PieceOutcome run(const CataloguePiece& piece) {
        const std::size_t first_row = row_;
        std::size_t pos = piece.begin;
        while (pos < piece.end) {
            std::size_t content_end = find_newline(text_, pos, piece.end);
            std::size_t next = content_end < piece.end ? content_end + 1 : piece.end;
            if (piece.carriage_returns) {
                // "\r\n" ends the line once; any other '\r' ends a line of its own
                const std::size_t cr = find_carriage_return(text_, pos, content_end);
                if (cr < content_end) {
                    if (cr + 1 != content_end) next = cr + 1;
                    content_end = cr;
                }
            }
            if (!line(pos, content_end)) {
                result_.well_formed = false;
                break;
            }
            pos = next;
        }
        result_.rows = row_ - first_row;
        result_.name_end = data_;
        return std::move(result_);
    }

private:
    // One line without its line end (a whitespace character that ends the
    // line, so no stripped field reaches it). False: ill-formed UTF-8.
    bool line(std::size_t begin, std::size_t end) {
        // skip a blank line
        std::size_t first = begin;
        while (first < end) {
            std::uint32_t cp = code(text_[first]);
            std::size_t n = 1;
            if constexpr (kUtf8<Unit>) {
                if (cp >= 0x80 && (n = utf8_decode(text_ + first, text_ + end, cp)) == 0) return false;
            }
            if (!is_python_space(cp)) break;
            first += n;
        }
        if (first == end) return true;

        const std::size_t size = end - begin;
        std::size_t cut[7];
        bool ascii_head = true;
        if constexpr (kUtf8<Unit>) ascii_head = all_ascii(text_ + begin, std::min(size, kCuts[kNameBegin]));
        if (ascii_head) {
            for (int k = 0; k < 7; ++k) cut[k] = begin + std::min(kCuts[k], size);
        } else if constexpr (kUtf8<Unit>) {
            std::size_t p = begin, chars = 0;
            for (int k = 0; k < 7; ++k) {
                for (; chars < kCuts[k] && p < end; ++chars) {
                    std::uint32_t cp;
                    const std::size_t n = utf8_decode(text_ + p, text_ + end, cp);
                    if (n == 0) return false;
                    p += n;
                }
                cut[k] = p;
            }
        }
        auto field = [&](std::size_t from, std::size_t to) {
            if constexpr (kUtf8<Unit>) {
                if (!ascii_head) return stripped_utf8(text_, from, to);
            }
            return stripped(text_, from, to);
        };

        const std::size_t row = row_++;
        const TextSpan time = field(begin, cut[kTimeEnd]);
        std::int64_t seconds = read_time(text_, time);
        if (seconds == kNoTime) {
            if (!time.empty()) result_.deferred_times.push_back({row, {}, time});
        } else if (__builtin_mul_overflow(seconds, scale_, &seconds)) {
            seconds = kNoTime;  // beyond the range of the unit
        } else {
            result_.any_time = true;
        }
        out_.times[row] = seconds;

        const TextSpan numbers[3] = {field(cut[kLongitudeBegin], cut[kLongitudeEnd]),
                                     field(cut[kLatitudeBegin], cut[kLongitudeBegin]),
                                     field(cut[kMagnitudeBegin], cut[kMagnitudeEnd])};
        for (std::size_t k = 0; k < 3; ++k) {
            double value;
            if (read_number(text_, numbers[k], value, length_ - numbers[k].begin) == NumberOutcome::deferred)
                result_.deferred_numbers.push_back({row, static_cast<CatalogueNumber>(k), numbers[k]});
            out_.numbers[k * capacity_ + row] = value;
        }

        if (!name(cut[kNameBegin], end)) return false;
        out_.name_offsets[row + 1] = static_cast<std::int64_t>(data_);
        return true;
    }

    // Appends the stripped place name in [begin, end) as UTF-8.
    bool name(std::size_t begin, std::size_t end) {
        if constexpr (kUtf8<Unit>) {
            if (!well_formed(text_ + begin, text_ + end)) return false;
            const TextSpan span = stripped_utf8(text_, begin, end);
            std::memcpy(out_.name_data + data_, text_ + span.begin, span.size());
            data_ += span.size();
        } else {
            const TextSpan span = stripped(text_, begin, end);
            std::uint8_t* d = out_.name_data + data_;
            for (std::size_t k = span.begin; k < span.end; ++k) {
                const std::uint32_t c = code(text_[k]);
                if (c < 0x80) {
                    *d++ = static_cast<std::uint8_t>(c);
                } else if (c < 0x800) {
                    *d++ = static_cast<std::uint8_t>(0xC0 | (c >> 6));
                    *d++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
                } else if (c < 0x10000) {
                    if (c >= 0xD800 && c <= 0xDFFF) result_.encodable = false;
                    *d++ = static_cast<std::uint8_t>(0xE0 | (c >> 12));
                    *d++ = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
                    *d++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
                } else {
                    *d++ = static_cast<std::uint8_t>(0xF0 | (c >> 18));
                    *d++ = static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F));
                    *d++ = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
                    *d++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
                }
            }
            data_ = static_cast<std::size_t>(d - out_.name_data);
        }
        return true;
    }

    const Unit* text_;
    std::size_t length_;
    const CatalogueOutput& out_;
    std::size_t capacity_;
    std::int64_t scale_;
    std::size_t row_;
    std::size_t data_;
    PieceOutcome result_;
};

// Runs work(k) for k in [0, n): the first half of the pieces here, the
// second on another thread when `parallel`.
template <class Work>
void for_pieces(std::size_t n, bool parallel, const Work& work) {
    const std::size_t half = n / 2;
    run_two(
        parallel && n > 1, [&] { for (std::size_t k = half; k < n; ++k) work(k); },
        [&] { for (std::size_t k = 0; k < half; ++k) work(k); });
}

}  // namespace

bool is_python_space_beyond_ascii(std::uint32_t c) noexcept {
    if (c < 0x85) return false;
    switch (c) {
        case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
        case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) noexcept {
    // Howard Hinnant's days_from_civil.
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

template <class Unit>
CataloguePlan plan_catalogue(const Unit* text, std::size_t length, std::size_t pieces, bool parallel) {
    CataloguePlan plan;
    plan.length = length;
    std::size_t begin = 0;
    for (std::size_t k = pieces; k > 1 && begin < length; --k) {
        // after the first '\n' from the share's end, or the first '\r' when
        // no '\n' follows (so that no piece ends between '\r' and '\n')
        const std::size_t aim = begin + (length - begin) / k;
        std::size_t cut = find_newline(text, aim, length);
        if (cut == length) cut = find_carriage_return(text, aim, length);
        if (cut == length) break;
        plan.pieces.push_back({begin, cut + 1});
        begin = cut + 1;
    }
    if (begin < length) plan.pieces.push_back({begin, length});
    for_pieces(plan.pieces.size(), parallel, [&](std::size_t k) { count_lines(text, plan.pieces[k]); });
    for (const CataloguePiece& piece : plan.pieces) {
        plan.lines += piece.lines;
        plan.name_bytes += (piece.end - piece.begin) * kUtf8PerUnit<Unit>;
    }
    return plan;
}

template <class Unit>
CatalogueResult parse_catalogue(const Unit* text, const CataloguePlan& plan,
                                const CatalogueOutput& out, std::int64_t time_scale, bool parallel) {
    const std::size_t n = plan.pieces.size();
    std::vector<std::size_t> first_row(n), first_byte(n);
    for (std::size_t k = 1; k < n; ++k) {
        first_row[k] = first_row[k - 1] + plan.pieces[k - 1].lines;
        first_byte[k] = first_byte[k - 1] + (plan.pieces[k - 1].end - plan.pieces[k - 1].begin) * kUtf8PerUnit<Unit>;
    }
    std::vector<PieceOutcome> outcomes(n);
    for_pieces(n, parallel, [&](std::size_t k) {
        outcomes[k] = PieceParser<Unit>(text, plan.length, out, plan.lines, time_scale, first_row[k], first_byte[k]).run(plan.pieces[k]);
    });

    // Close the gaps the pieces left (blank lines, unused name bytes).
    CatalogueResult result;
    out.name_offsets[0] = 0;
    for (std::size_t k = 0; k < n; ++k) {
        PieceOutcome& piece = outcomes[k];
        result.well_formed = result.well_formed && piece.well_formed;
        result.names_encodable = result.names_encodable && piece.encodable;
        result.any_time = result.any_time || piece.any_time;
        const std::size_t row = result.rows, from = first_row[k], rows = piece.rows;
        if (from != row) {
            std::memmove(out.times + row, out.times + from, rows * sizeof(std::int64_t));
            for (std::size_t c = 0; c < 3; ++c)
                std::memmove(out.numbers + c * plan.lines + row, out.numbers + c * plan.lines + from,
                             rows * sizeof(double));
            std::memmove(out.name_offsets + row + 1, out.name_offsets + from + 1, rows * sizeof(std::int64_t));
        }
        const std::size_t bytes = piece.name_end - first_byte[k];
        if (first_byte[k] != result.name_bytes) {
            std::memmove(out.name_data + result.name_bytes, out.name_data + first_byte[k], bytes);
            const auto shift = static_cast<std::int64_t>(first_byte[k] - result.name_bytes);
            for (std::size_t r = row + 1; r <= row + rows; ++r) out.name_offsets[r] -= shift;
        }
        auto gather = [&](const std::vector<DeferredField>& fields, std::vector<DeferredField>& all) {
            for (DeferredField field : fields) {
                field.row -= from - row;
                all.push_back(field);
            }
        };
        gather(piece.deferred_times, result.deferred_times);
        gather(piece.deferred_numbers, result.deferred_numbers);
        result.rows += rows;
        result.name_bytes += bytes;
    }
    if (result.rows > 0) std::memset(out.name_validity, 0, (result.rows + 7) / 8);
    for (std::size_t r = 0; r < result.rows; ++r) {
        if (out.name_offsets[r + 1] != out.name_offsets[r])
            out.name_validity[r / 8] = static_cast<std::uint8_t>(out.name_validity[r / 8] | (1u << (r % 8)));
        else
            ++result.name_nulls;
    }
    return result;
}

KELVANE_CATALOGUE_UNITS(KELVANE_CATALOGUE_INSTANCES)

}  // namespace kelvane::core
