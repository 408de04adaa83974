#include "core/catalogue.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace kelvane::core {

namespace {

// Field layout: (start, end) code-point positions within a line.
constexpr std::size_t kTimeBegin = 0, kTimeEnd = 14;
constexpr std::size_t kNumberBounds[3][2] = {{15, 21}, {21, 27}, {28, 32}};
constexpr std::size_t kNameBegin = 39;

template <class Unit>
inline std::uint32_t code(Unit u) noexcept {
    return static_cast<std::uint32_t>(u);
}

// [begin, end) narrowed past leading and trailing whitespace.
template <class Unit>
TextSpan stripped(const Unit* text, std::size_t begin, std::size_t end) noexcept {
    while (begin < end && is_python_space(code(text[begin]))) ++begin;
    while (end > begin && is_python_space(code(text[end - 1]))) --end;
    return {begin, end};
}

// Characters that can occur in a number the interpreter's float() accepts
// from ASCII text: digits, sign, point, underscore, exponent and the letters
// of "inf", "infinity" and "nan".
inline bool may_be_in_number(std::uint32_t c) noexcept {
    if (c >= '0' && c <= '9') return true;
    switch (c | 0x20u) {  // ASCII lower case
        case 'e': case 'i': case 'n': case 'f': case 't': case 'y': case 'a':
            return true;
        default:
            break;
    }
    return c == '+' || c == '-' || c == '.' || c == '_';
}

enum class NumberOutcome { value, not_a_number, deferred };

// Reads a stripped field as float() would. Plain decimals
// ([sign] digits [. digits] or [sign] . digits) are read here; fields that
// cannot be numbers give NaN; anything else is left to the caller.
template <class Unit>
NumberOutcome read_number(const Unit* text, TextSpan span, double& out) noexcept {
    out = std::numeric_limits<double>::quiet_NaN();
    if (span.empty()) return NumberOutcome::not_a_number;
    char buffer[40];
    if (span.size() >= sizeof buffer) return NumberOutcome::deferred;
    std::size_t n = 0;
    for (std::size_t i = span.begin; i < span.end; ++i) {
        std::uint32_t c = code(text[i]);
        if (c >= 0x80) return NumberOutcome::deferred;  // e.g. non-ASCII digits
        if (!may_be_in_number(c)) return NumberOutcome::not_a_number;
        buffer[n++] = static_cast<char>(c);
    }
    std::size_t i = 0;
    bool negative = false;
    if (buffer[0] == '+' || buffer[0] == '-') {
        negative = buffer[0] == '-';
        i = 1;
    }
    std::size_t int_digits = 0, frac_digits = 0, j = i;
    while (j < n && buffer[j] >= '0' && buffer[j] <= '9') ++j, ++int_digits;
    if (j < n && buffer[j] == '.') {
        ++j;
        while (j < n && buffer[j] >= '0' && buffer[j] <= '9') ++j, ++frac_digits;
    }
    if (j != n || int_digits + frac_digits == 0) return NumberOutcome::deferred;
    double value = 0.0;
    if (int_digits + frac_digits <= 15) {
        // The digits form an integer below 2^53 and the divisor a power of
        // ten that doubles hold exactly, so one division rounds correctly.
        static constexpr double kPowers[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                               1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
        std::uint64_t digits = 0;
        for (std::size_t k = i; k < n; ++k)
            if (buffer[k] != '.') digits = digits * 10 + static_cast<std::uint64_t>(buffer[k] - '0');
        value = static_cast<double>(digits) / kPowers[frac_digits];
    } else {
        auto [ptr, ec] = std::from_chars(buffer + i, buffer + n, value, std::chars_format::fixed);
        if (ec != std::errc() || ptr != buffer + n) return NumberOutcome::deferred;
    }
    out = negative ? -value : value;
    return NumberOutcome::value;
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
std::int64_t read_time(const Unit* text, TextSpan span) noexcept {
    if (span.size() != 14) return kNoTime;
    unsigned d[14];
    for (std::size_t k = 0; k < 14; ++k) {
        std::uint32_t c = code(text[span.begin + k]);
        if (c < '0' || c > '9') return kNoTime;
        d[k] = c - '0';
    }
    auto two = [&](std::size_t k) { return d[k] * 10 + d[k + 1]; };
    std::int64_t year = two(0) * 100 + two(2);
    unsigned month = two(4), day = two(6), hour = two(8), minute = two(10), second = two(12);
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) ||
        hour > 23 || minute > 59 || second > 59)
        return kNoTime;
    return days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

}  // namespace

bool is_python_space(std::uint32_t c) noexcept {
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
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
CatalogueColumns parse_catalogue(const Unit* text, std::size_t length) {
    CatalogueColumns out;
    const std::size_t lines = length / 32 + 1;  // catalogue lines are longer than that
    out.seconds.reserve(lines);
    out.latitude.reserve(lines);
    out.longitude.reserve(lines);
    out.magnitude.reserve(lines);
    out.name.reserve(lines);
    std::vector<double>* numbers[3] = {&out.latitude, &out.longitude, &out.magnitude};
    std::size_t line_begin = 0;
    while (line_begin < length) {
        // one past the line end character
        auto stop = std::find(text + line_begin, text + length, static_cast<Unit>('\n'));
        std::size_t line_end = static_cast<std::size_t>(stop - text);
        if (line_end < length) ++line_end;
        const std::size_t begin = line_begin, size = line_end - line_begin;
        line_begin = line_end;

        TextSpan whole = stripped(text, begin, begin + size);
        if (whole.empty()) continue;
        const std::size_t row = out.rows();

        auto slice = [&](std::size_t from, std::size_t to) {
            from = from < size ? from : size;
            to = to < size ? to : size;
            return stripped(text, begin + from, begin + to);
        };

        TextSpan time = slice(kTimeBegin, kTimeEnd);
        std::int64_t seconds = read_time(text, time);
        if (seconds == kNoTime && !time.empty()) out.deferred_times.push_back({row, {}, time});
        out.seconds.push_back(seconds);

        for (std::size_t k = 0; k < 3; ++k) {
            TextSpan field = slice(kNumberBounds[k][0], kNumberBounds[k][1]);
            double value;
            if (read_number(text, field, value) == NumberOutcome::deferred)
                out.deferred_numbers.push_back({row, static_cast<CatalogueNumber>(k), field});
            numbers[k]->push_back(value);
        }

        out.name.push_back(size > kNameBegin ? slice(kNameBegin, size) : TextSpan{});
    }
    return out;
}

template <class Unit>
Utf8Column utf8_column(const Unit* text, const std::vector<TextSpan>& spans) {
    Utf8Column out;
    out.offsets.reserve(spans.size() + 1);
    out.validity.assign((spans.size() + 7) / 8, 0);
    out.offsets.push_back(0);
    std::size_t units = 0;
    for (const TextSpan& span : spans) units += span.size();
    out.data.reserve(units * (sizeof(Unit) == 1 ? 2 : 3));
    for (std::size_t i = 0; i < spans.size(); ++i) {
        const TextSpan& span = spans[i];
        if (span.empty()) {
            ++out.null_count;
        } else {
            out.validity[i / 8] = static_cast<std::uint8_t>(out.validity[i / 8] | (1u << (i % 8)));
        }
        for (std::size_t k = span.begin; k < span.end; ++k) {
            const std::uint32_t c = code(text[k]);
            auto put = [&](std::uint32_t byte) { out.data.push_back(static_cast<std::uint8_t>(byte)); };
            if (c < 0x80) {
                put(c);
            } else if (c < 0x800) {
                put(0xC0 | (c >> 6));
                put(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                if (c >= 0xD800 && c <= 0xDFFF) out.encodable = false;
                put(0xE0 | (c >> 12));
                put(0x80 | ((c >> 6) & 0x3F));
                put(0x80 | (c & 0x3F));
            } else {
                put(0xF0 | (c >> 18));
                put(0x80 | ((c >> 12) & 0x3F));
                put(0x80 | ((c >> 6) & 0x3F));
                put(0x80 | (c & 0x3F));
            }
        }
        out.offsets.push_back(static_cast<std::int64_t>(out.data.size()));
    }
    return out;
}

template Utf8Column utf8_column<std::uint8_t>(const std::uint8_t*, const std::vector<TextSpan>&);
template Utf8Column utf8_column<std::uint16_t>(const std::uint16_t*, const std::vector<TextSpan>&);
template Utf8Column utf8_column<char32_t>(const char32_t*, const std::vector<TextSpan>&);

template CatalogueColumns parse_catalogue<std::uint8_t>(const std::uint8_t*, std::size_t);
template CatalogueColumns parse_catalogue<std::uint16_t>(const std::uint16_t*, std::size_t);
template CatalogueColumns parse_catalogue<char32_t>(const char32_t*, std::size_t);

}  // namespace kelvane::core
