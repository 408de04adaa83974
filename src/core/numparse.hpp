// Observation tokens as numbers, the way the database strings have always been
// read: a token is a number exactly when pandas `to_numeric(errors="coerce")`
// accepts it as text, its value is the double that call gives, and the column
// is rounded to float32 as `astype("float32")` rounds the array `to_numeric`
// returns (float64, or int64/uint64 when every token of the column is an
// integer). pandas 2 and pandas 3 read numbers differently, so the reading
// follows the installed one (NumberRules).
//
// pandas 3 (NumberDialect::pandas3), what reads as a number (bytes of one
// token, nothing trimmed beforehand):
//   - optional ASCII white space (' ', \t, \n, \v, \f, \r) on both sides;
//   - an optional sign, decimal digits with an optional decimal point
//     ("1.", ".5", "007"), an optional exponent ("1e5", "2E-3", "1e+05");
//   - "inf" or "infinity" in any case, optionally signed, with nothing around.
// Everything else is not a number: "nan", "NULL", the empty token, "1_000",
// "0x10", non-ASCII digits, a NUL byte anywhere, "1e", "1e 5", white space
// other than the ASCII six.
// Values: correctly rounded to the nearest double, overflow to +-inf and
// underflow to +-0; one quirk is kept: a number written with a leading '+'
// goes through pandas' older parser (at most 17 significant digits, then a
// scaling by a power of ten), which is not always correctly rounded and takes
// white space after the exponent letter ("+1e 5" is 1e5).
//
// pandas 2 (NumberDialect::pandas2) reads every number with that older
// parser, in its own variant:
//   - the token is read as a C string: a NUL byte ends it ("1.5\0abc" is
//     1.5); a token holding a lone surrogate is never a number;
//   - the first 17 digits, leading zeros included, are accumulated in a
//     double, later ones only shift the exponent ("0.000000000000000000123"
//     is 0); the exponent takes at most 17 digits and wraps as a 32-bit int;
//   - a result beyond the double range is not a number ("1e400"), and neither
//     is any exponent above 308 ("0e400");
//   - the same grammar otherwise, without white space after the exponent
//     letter.
//
// In both, an integer (sign and digits only) is also read by Python's int():
// it is not a number when it holds a NUL byte (pandas 2) or has more digits
// than the interpreter's limit on integer string conversion (4300 by default,
// sys.get_int_max_str_digits()).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

namespace kelvane::core {

// Which pandas' to_numeric the tokens are read as.
enum class NumberDialect : std::uint8_t { pandas3, pandas2 };

struct NumberRules {
    NumberDialect dialect = NumberDialect::pandas3;
    // Python's limit on the digits of an integer converted from text; 0: none.
    std::size_t int_max_str_digits = 4300;
};

enum class TokenClass : std::uint8_t {
    missing,  // not a number (NaN)
    real,     // decimal point, exponent or infinity
    integer,  // sign and digits only: to_numeric keeps these as integers
};

struct NumberToken {
    double value = std::numeric_limits<double>::quiet_NaN();
    TokenClass cls = TokenClass::missing;
    // Integers only: exact value as sign and magnitude. `negative` is false for
    // zero ("-0" is the integer 0); `in_range` is false when the magnitude
    // does not fit 64 bits.
    bool negative = false;
    bool in_range = true;
    std::uint64_t magnitude = 0;
};

// Result dtype of to_numeric over a whole column, and so the rounding path.
enum class NumericResult : std::uint8_t { floating, int64, uint64 };

// Accumulates what to_numeric sees over a column of tokens.
class NumericKind {
public:
    void add(const NumberToken& t) noexcept {
        switch (t.cls) {
        case TokenClass::missing:
        case TokenClass::real:
            floating_ = true;
            return;
        case TokenClass::integer:
            break;
        }
        seen_int_ = true;
        if (!t.in_range || (t.negative && t.magnitude > kInt64MinMagnitude)) {
            floating_ = true;  // outside [INT64_MIN, UINT64_MAX]
            return;
        }
        if (t.negative) signed_ = true;
        if (!t.negative && t.magnitude > kInt64Max) unsigned_ = true;
        if (!value_is_exact(t)) inexact_ = true;
    }
    void add_missing() noexcept { floating_ = true; }
    void add_real() noexcept { floating_ = true; }
    void merge(const NumericKind& o) noexcept {
        floating_ |= o.floating_;
        seen_int_ |= o.seen_int_;
        signed_ |= o.signed_;
        unsigned_ |= o.unsigned_;
        inexact_ |= o.inexact_;
    }

    NumericResult result() const noexcept {
        if (floating_ || !seen_int_ || (signed_ && unsigned_)) return NumericResult::floating;
        return unsigned_ ? NumericResult::uint64 : NumericResult::int64;
    }
    // True when an integer result rounds differently from the float one:
    // some integer's double is not the integer itself (beyond 2**53, "-0",
    // digits pandas 2 dropped).
    bool integers_need_exact_rounding() const noexcept {
        return result() != NumericResult::floating && inexact_;
    }

private:
    static constexpr std::uint64_t kInt64Max = 9223372036854775807ULL;
    static constexpr std::uint64_t kInt64MinMagnitude = 9223372036854775808ULL;
    static constexpr std::uint64_t kExactInDouble = 9007199254740992ULL;  // 2**53
    bool floating_ = false;
    bool seen_int_ = false;
    bool signed_ = false;
    bool unsigned_ = false;
    bool inexact_ = false;

    // The token's double equals its exact integer, sign of zero included.
    static bool value_is_exact(const NumberToken& t) noexcept {
        if (t.magnitude > kExactInDouble) return false;
        const double exact = static_cast<double>(t.magnitude);
        return t.value == (t.negative ? -exact : exact) && std::signbit(t.value) == t.negative;
    }
};

// Parses one token by `rules` (see the top of this file). Never throws; any
// byte sequence is accepted as input.
NumberToken parse_number(std::string_view token, const NumberRules& rules = {}) noexcept;

// The float32 a token becomes when the column's to_numeric result is `kind`.
inline float to_float32(const NumberToken& t, NumericResult kind) noexcept {
    if (t.cls == TokenClass::integer && t.in_range) {
        if (kind == NumericResult::int64) {
            const std::int64_t v = t.negative ? static_cast<std::int64_t>(0ULL - t.magnitude)
                                              : static_cast<std::int64_t>(t.magnitude);
            return static_cast<float>(v);
        }
        if (kind == NumericResult::uint64) return static_cast<float>(t.magnitude);
    }
    return static_cast<float>(t.value);
}

// Powers of ten that are exact in double: dividing an integer below 2**53
// by one of them gives the correctly rounded quotient.
inline constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Digits up to which the fast reader below gives what parse_number gives:
// pandas 3 reads every such token exactly; pandas 2 drops digits after the
// 17th and rounds on the way from 2**53 on, so only 15 digits are safe there;
// and never more than an integer may have.
inline int simple_digits(const NumberRules& rules) noexcept {
    std::size_t n = rules.dialect == NumberDialect::pandas2 ? 15 : 19;
    if (rules.int_max_str_digits != 0 && rules.int_max_str_digits < n) n = rules.int_max_str_digits;
    return static_cast<int>(n);
}

// Fast reading of the common token shape straight out of a packed string:
// [-]digits[.digits] ending at a blank or at `end`, at most `max_digits`
// digits (simple_digits(), 19 at most), exact in double. On success stores
// the token, sets *next to the blank (or end) and returns true; otherwise
// returns false and the caller parses the token with parse_number.
inline bool parse_simple_number(const char* p, const char* end, NumberToken& out, const char** next,
                                int max_digits = 19) noexcept {
    const char* q = p;
    bool negative = false;
    if (q != end && *q == '-') {
        negative = true;
        ++q;
    }
    std::uint64_t m = 0;
    int digits = 0;
    while (q != end && static_cast<unsigned char>(*q - '0') < 10) {
        m = m * 10 + static_cast<unsigned>(*q - '0');
        ++q;
        ++digits;
        if (digits > max_digits) return false;
    }
    int decimals = -1;
    if (q != end && *q == '.') {
        ++q;
        decimals = 0;
        while (q != end && static_cast<unsigned char>(*q - '0') < 10) {
            m = m * 10 + static_cast<unsigned>(*q - '0');
            ++q;
            ++digits;
            ++decimals;
            if (digits > max_digits) return false;
        }
    }
    if (digits == 0 || (q != end && *q != ' ')) return false;
    double v;
    if (decimals < 0) {
        v = static_cast<double>(m);  // correctly rounded for any 64-bit value
        out.cls = TokenClass::integer;
        out.negative = negative && m != 0;
        out.in_range = true;
        out.magnitude = m;
    } else {
        if (m > (1ULL << 53)) return false;  // decimals <= 19 < 23 here
        v = static_cast<double>(m) / kExactPow10[decimals];
        out.cls = TokenClass::real;
    }
    out.value = negative ? -v : v;
    *next = q;
    return true;
}

// Runs of tokens of one shape. A day of one instrument is mostly written in
// one fixed format ("12.3456" ...), so once a token of the form
// [-]digits.digits of at most 8 bytes has been read, the next ones are
// checked against its shape (sign, length, place of the point) a word at a
// time and converted without a byte-by-byte scan.
struct TokenShape {
    std::uint8_t length = 0;  // bytes of the token; 0: no shape to follow
    std::uint8_t point = 0;   // place of '.' after the sign
    bool negative = false;
};

// The shape of `token` when it has the form [-]digits.digits (digits on at
// least one side of the point) in at most 8 bytes; else a shape of length 0.
inline TokenShape shape_of(std::string_view token) noexcept {
    TokenShape s;
    if (token.size() < 2 || token.size() > 8) return s;
    const std::size_t sign = token[0] == '-' ? 1 : 0;
    std::size_t point = token.size();
    for (std::size_t i = sign; i < token.size(); ++i) {
        const char c = token[i];
        if (c == '.' && point == token.size()) point = i;
        else if (static_cast<unsigned char>(c - '0') >= 10) return s;
    }
    if (point == token.size() || token.size() - sign < 2) return s;
    s.length = static_cast<std::uint8_t>(token.size());
    s.point = static_cast<std::uint8_t>(point - sign);
    s.negative = sign == 1;
    return s;
}

// Reads tokens of shape `shape` (length > 0) from p on, each followed by a
// blank, at most n of them, as float32 to v[0], v[stride], ...; stops at the
// first token of another shape or 8 bytes before `end`. Returns how many were
// read and moves p past their blanks. The values are those parse_number
// gives (real tokens: the double, correctly rounded, then float32).
inline std::size_t read_shaped(const char*& p, const char* end, TokenShape shape, float* v,
                               std::size_t stride, std::size_t n) noexcept {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const std::size_t length = shape.length;
    const unsigned sign = shape.negative ? 1 : 0;
    const unsigned digits = static_cast<unsigned>(length) - sign - 1;  // 1 to 7
    const unsigned point = shape.point;
    const std::uint64_t below = (std::uint64_t{1} << (8 * point)) - 1;  // bytes before the point
    // the digits moved to the top of the word, '0' bytes below them
    const unsigned pad = 8 * (8 - digits);
    const std::uint64_t zeros = 0x3030303030303030ULL >> (8 * digits);
    const double scale = kExactPow10[digits - point];
    std::size_t j = 0;
    while (j < n && end - p > 8) {
        std::uint64_t x;
        std::memcpy(&x, p, 8);
        if (p[length] != ' ') break;
        if (sign) {
            if ((x & 0xFF) != '-') break;
            x >>= 8;
        }
        if (((x >> (8 * point)) & 0xFF) != '.') break;
        std::uint64_t w = (x & below) | ((x >> 8) & ~below);
        w = (w << pad) | zeros;
        // eight ASCII digits?
        if ((((w & 0xF0F0F0F0F0F0F0F0ULL) | (((w + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) >> 4))) !=
            0x3333333333333333ULL)
            break;
        // their value, first digit most significant
        w -= 0x3030303030303030ULL;
        w = w * 10 + (w >> 8);
        w = (((w & 0x000000FF000000FFULL) * 0x000F424000000064ULL) +
             (((w >> 16) & 0x000000FF000000FFULL) * 0x0000271000000001ULL)) >> 32;
        const double d = static_cast<double>(w) / scale;  // exact quotient of exact values
        v[j * stride] = static_cast<float>(sign ? -d : d);
        p += length + 1;
        ++j;
    }
    return j;
#else
    (void)p, (void)end, (void)shape, (void)v, (void)stride, (void)n;
    return 0;
#endif
}

}  // namespace kelvane::core
