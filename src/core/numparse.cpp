// Token-to-number reading; see numparse.hpp for what is accepted.
#include "core/numparse.hpp"

#include <charconv>
#include <cstring>
#include <cmath>
#include <system_error>

namespace kelvane::core {
namespace {

constexpr double kPow10Table[] = {
    1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9,
    1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19,
    1e20, 1e21, 1e22, 1e23, 1e24, 1e25, 1e26, 1e27, 1e28, 1e29,
    1e30, 1e31, 1e32, 1e33, 1e34, 1e35, 1e36, 1e37, 1e38, 1e39,
    1e40, 1e41, 1e42, 1e43, 1e44, 1e45, 1e46, 1e47, 1e48, 1e49,
    1e50, 1e51, 1e52, 1e53, 1e54, 1e55, 1e56, 1e57, 1e58, 1e59,
    1e60, 1e61, 1e62, 1e63, 1e64, 1e65, 1e66, 1e67, 1e68, 1e69,
    1e70, 1e71, 1e72, 1e73, 1e74, 1e75, 1e76, 1e77, 1e78, 1e79,
    1e80, 1e81, 1e82, 1e83, 1e84, 1e85, 1e86, 1e87, 1e88, 1e89,
    1e90, 1e91, 1e92, 1e93, 1e94, 1e95, 1e96, 1e97, 1e98, 1e99,
    1e100, 1e101, 1e102, 1e103, 1e104, 1e105, 1e106, 1e107, 1e108, 1e109,
    1e110, 1e111, 1e112, 1e113, 1e114, 1e115, 1e116, 1e117, 1e118, 1e119,
    1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127, 1e128, 1e129,
    1e130, 1e131, 1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139,
    1e140, 1e141, 1e142, 1e143, 1e144, 1e145, 1e146, 1e147, 1e148, 1e149,
    1e150, 1e151, 1e152, 1e153, 1e154, 1e155, 1e156, 1e157, 1e158, 1e159,
    1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167, 1e168, 1e169,
    1e170, 1e171, 1e172, 1e173, 1e174, 1e175, 1e176, 1e177, 1e178, 1e179,
    1e180, 1e181, 1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189,
    1e190, 1e191, 1e192, 1e193, 1e194, 1e195, 1e196, 1e197, 1e198, 1e199,
    1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207, 1e208, 1e209,
    1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219,
    1e220, 1e221, 1e222, 1e223, 1e224, 1e225, 1e226, 1e227, 1e228, 1e229,
    1e230, 1e231, 1e232, 1e233, 1e234, 1e235, 1e236, 1e237, 1e238, 1e239,
    1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246, 1e247, 1e248, 1e249,
    1e250, 1e251, 1e252, 1e253, 1e254, 1e255, 1e256, 1e257, 1e258, 1e259,
    1e260, 1e261, 1e262, 1e263, 1e264, 1e265, 1e266, 1e267, 1e268, 1e269,
    1e270, 1e271, 1e272, 1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279,
    1e280, 1e281, 1e282, 1e283, 1e284, 1e285, 1e286, 1e287, 1e288, 1e289,
    1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298, 1e299,
    1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307, 1e308,
};

inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }
// The six ASCII blanks the parser skips around a number.
inline bool is_ascii_space(char c) noexcept {
    return c == ' ' || static_cast<unsigned char>(c - '\t') < 5;
}
inline char upper_ascii(char c) noexcept {
    return static_cast<unsigned char>(c - 'a') < 26 ? static_cast<char>(c & 0x5f) : c;
}

// Correctly rounded double of [p, end), which starts with an optional '-' and
// then a digit or ".digit". Sets *stop after the number read.
double read_rounded(const char* p, const char* end, const char** stop) noexcept {
    double v = 0;
    auto r = std::from_chars(p, end, v, std::chars_format::general);
    *stop = r.ptr;
    if (r.ec != std::errc::result_out_of_range) return v;
    // Out of range leaves v unset: decide between overflow and underflow from
    // the decimal magnitude of what was read (the two are ~600 decades apart).
    const char* q = p;
    const bool negative = *q == '-';
    if (negative) ++q;
    long long magnitude = 0;  // decimal exponent of the leading digit, roughly
    bool leading = true;
    long long int_digits = 0, zeros_after_point = 0;
    while (q < r.ptr && is_digit(*q)) {
        if (!(leading && *q == '0')) {
            leading = false;
            ++int_digits;
        }
        ++q;
    }
    if (q < r.ptr && *q == '.') {
        ++q;
        while (q < r.ptr && is_digit(*q) && leading && *q == '0') {
            ++zeros_after_point;
            ++q;
        }
        while (q < r.ptr && is_digit(*q)) ++q;
    }
    magnitude = int_digits > 0 ? int_digits : -zeros_after_point;
    if (q < r.ptr && (*q == 'e' || *q == 'E')) {
        ++q;
        bool eneg = false;
        if (q < r.ptr && (*q == '+' || *q == '-')) eneg = *q++ == '-';
        long long ev = 0;
        while (q < r.ptr && is_digit(*q)) {
            if (ev < 1000000000LL) ev = ev * 10 + (*q - '0');
            ++q;
        }
        magnitude += eneg ? -ev : ev;
    }
    const double big = magnitude > 0 ? HUGE_VAL : 0.0;
    return negative ? -big : big;
}

// strtol(p, &stop, 10) on a bounded range: leading blanks, a sign, digits,
// saturating at the long range (then *range_error is set). No digits: *stop
// is p itself.
long bounded_strtol(const char* p, const char* end, const char** stop, bool* range_error) noexcept {
    const char* q = p;
    while (q < end && is_ascii_space(*q)) ++q;
    bool negative = false;
    if (q < end && (*q == '+' || *q == '-')) negative = *q++ == '-';
    if (q >= end || !is_digit(*q)) {
        *stop = p;
        return 0;
    }
    constexpr long kMax = std::numeric_limits<long>::max();
    constexpr long kMin = std::numeric_limits<long>::min();
    long v = 0;
    bool overflow = false;
    while (q < end && is_digit(*q)) {
        const int d = *q - '0';
        if (!overflow) {
            if (negative) {
                if (v < (kMin + d) / 10) overflow = true;
                else v = v * 10 - d;
            } else {
                if (v > (kMax - d) / 10) overflow = true;
                else v = v * 10 + d;
            }
        }
        ++q;
    }
    *stop = q;
    if (overflow) {
        *range_error = true;
        return negative ? kMin : kMax;
    }
    return v;
}

// number * 10**exponent the way pandas' older parsers scale, for an exponent
// of at most 308: one multiplication or division by a power of the table,
// two divisions below 10**-308, zero below 10**-616.
double scaled(double number, long exponent) noexcept {
    if (exponent > 0) return number * kPow10Table[exponent];
    if (exponent >= -308) return number / kPow10Table[-exponent];
    if (exponent < -616) return 0.;
    return number / kPow10Table[-308 - exponent] / kPow10Table[308];
}

// pandas' older parser, which it still uses for numbers with a leading '+'.
// p points at the '+'. Returns false when [p, end) is not a number.
bool read_plus_signed(const char* p, const char* end, double* value, bool* maybe_int) noexcept {
    constexpr long kMaxDigits = 17;
    ++p;  // '+'
    long exponent = 0, num_digits = 0, num_decimals = 0;
    std::uint64_t mantissa = 0;
    bool saw_digit = false;
    while (p < end && *p == '0') {
        saw_digit = true;
        ++p;
    }
    while (p < end && is_digit(*p)) {
        if (num_digits < kMaxDigits) {
            mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
            ++num_digits;
        } else {
            ++exponent;
        }
        ++p;
    }
    if (p < end && *p == '.') {
        *maybe_int = false;
        ++p;
        if (num_digits == 0) {
            while (p < end && *p == '0') {
                saw_digit = true;
                ++p;
                ++num_decimals;
            }
        }
        while (num_digits < kMaxDigits && p < end && is_digit(*p)) {
            mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
            ++p;
            ++num_digits;
            ++num_decimals;
        }
        if (num_digits >= kMaxDigits)
            while (p < end && is_digit(*p)) ++p;
        exponent -= num_decimals;
    }
    if (num_digits == 0 && !saw_digit) return false;
    double number = static_cast<double>(mantissa);
    if (p < end && upper_ascii(*p) == 'E') {
        *maybe_int = false;
        ++p;
        const char* stop = nullptr;
        bool range_error = false;
        const long n = bounded_strtol(p, end, &stop, &range_error);
        if (range_error || __builtin_add_overflow(exponent, n, &exponent)) exponent = n;
        if (stop == p) --p;
        else p = stop;
    }
    number = exponent > 308 ? (number == 0 ? 0 : HUGE_VAL) : scaled(number, exponent);
    while (p < end && is_ascii_space(*p)) ++p;
    *value = number;
    return p == end;
}

// The whole token as double; false when it is not a number before the
// infinity spellings are tried.
bool read_double(const char* b, const char* end, double* value, bool* maybe_int) noexcept {
    *maybe_int = true;
    const char* p = b;
    while (p < end && is_ascii_space(*p)) ++p;
    const char* q = p;
    if (q < end && (*q == '-' || *q == '+')) ++q;
    const bool looks_numeric =
        (q < end && is_digit(*q)) || (q + 1 < end && *q == '.' && is_digit(q[1]));
    if (!looks_numeric) return false;
    if (*p == '+') return read_plus_signed(p, end, value, maybe_int);
    const char* stop = nullptr;
    *value = read_rounded(p, end, &stop);
    for (const char* c = p; c < stop; ++c) {
        if (*c == '.' || *c == 'e' || *c == 'E') {
            *maybe_int = false;
            break;
        }
    }
    while (stop < end && is_ascii_space(*stop)) ++stop;
    return stop == end;
}

// pandas 2's reader of a whole number, as its to_numeric calls it on the
// text up to `end` (the first NUL or the token's end): at most 17 digits,
// leading zeros included, accumulated in a double, later digits moving the
// exponent; an exponent of at most 17 digits, wrapping as a 32-bit int; a
// scaling by a power of ten. False when the text is not a number, including
// every result that overflows and every exponent above 308.
bool read_pandas2(const char* p, const char* end, double* value, bool* maybe_int) noexcept {
    constexpr int kMaxDigits = 17;
    *maybe_int = true;
    while (p < end && is_ascii_space(*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    double number = 0.;
    std::uint32_t exponent = 0;  // the parser's int, wrapping
    int num_digits = 0;
    std::uint32_t num_decimals = 0;
    for (; p < end && is_digit(*p); ++p) {
        if (num_digits < kMaxDigits) {
            number = number * 10. + (*p - '0');
            ++num_digits;
        } else {
            ++exponent;
        }
    }
    if (p < end && *p == '.') {
        *maybe_int = false;
        ++p;
        for (; num_digits < kMaxDigits && p < end && is_digit(*p); ++p) {
            number = number * 10. + (*p - '0');
            ++num_digits;
            ++num_decimals;
        }
        while (p < end && is_digit(*p)) ++p;
        exponent -= num_decimals;
    }
    if (num_digits == 0) return false;
    if (negative) number = -number;
    if (p < end && upper_ascii(*p) == 'E') {
        *maybe_int = false;
        ++p;
        bool exponent_negative = false;
        if (p < end && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
        std::uint32_t n = 0;
        int n_digits = 0;
        for (; n_digits < kMaxDigits && p < end && is_digit(*p); ++p, ++n_digits)
            n = n * 10 + static_cast<std::uint32_t>(*p - '0');
        if (n_digits == 0) return false;  // "1e", "1e+": the letter is left over
        exponent = exponent_negative ? exponent - n : exponent + n;
    }
    const auto e = static_cast<std::int32_t>(exponent);
    if (e > 308) return false;
    number = scaled(number, e);
    if (number == HUGE_VAL || number == -HUGE_VAL) return false;
    while (p < end && is_ascii_space(*p)) ++p;
    *value = number;
    return p == end;
}

bool equals_ignoring_case(const char* p, std::size_t n, const char* lower) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        char c = p[i];
        if (static_cast<unsigned char>(c - 'A') < 26) c = static_cast<char>(c | 0x20);
        if (c != lower[i]) return false;
    }
    return lower[n] == '\0';
}

// Signed or unsigned "inf" / "infinity", any case, nothing around it.
bool read_infinity(const char* b, const char* end, double* value) noexcept {
    const char* p = b;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const auto n = static_cast<std::size_t>(end - p);
    if ((n == 3 && equals_ignoring_case(p, 3, "inf")) || (n == 8 && equals_ignoring_case(p, 8, "infinity"))) {
        *value = negative ? -HUGE_VAL : HUGE_VAL;
        return true;
    }
    return false;
}

// The UTF-8 form of a lone surrogate (as the text column hands such text
// over): ED followed by A0 to BF.
bool holds_surrogate(const char* p, const char* end) noexcept {
    for (; p + 1 < end; ++p)
        if (static_cast<unsigned char>(p[0]) == 0xED && (static_cast<unsigned char>(p[1]) & 0xE0) == 0xA0)
            return true;
    return false;
}

// Blanks, an optional sign and digits, already checked: the exact integer,
// unless Python's int() refuses that many digits (then not a number).
void read_integer(const char* p, const char* end, std::size_t digit_limit, NumberToken& out) noexcept {
    while (p < end && is_ascii_space(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    const char* digits = p;
    std::uint64_t m = 0;
    bool in_range = true;
    for (; p < end && is_digit(*p); ++p) {
        const unsigned d = static_cast<unsigned>(*p - '0');
        if (in_range && (__builtin_mul_overflow(m, 10ULL, &m) || __builtin_add_overflow(m, d, &m)))
            in_range = false;
    }
    if (digit_limit != 0 && static_cast<std::size_t>(p - digits) > digit_limit) {
        out = NumberToken{};
        return;
    }
    out.cls = TokenClass::integer;
    out.in_range = in_range;
    out.magnitude = in_range ? m : 0;
    out.negative = negative && (m != 0 || !in_range);
}

}  // namespace

NumberToken parse_number(std::string_view token, const NumberRules& rules) noexcept {
    NumberToken out;
    const char* b = token.data();
    const char* end = b + token.size();
    if (token.empty()) return out;
    const bool pandas2 = rules.dialect == NumberDialect::pandas2;
    // pandas 2 reads the token as a C string, which ends at a NUL; the text
    // must first have a UTF-8 form at all
    const char* stop = end;
    if (pandas2) {
        if (const void* nul = std::memchr(b, '\0', token.size())) {
            if (holds_surrogate(b, end)) return out;
            stop = static_cast<const char*>(nul);
        }
    }
    double v = 0;
    bool maybe_int = true;
    if (!(pandas2 ? read_pandas2(b, stop, &v, &maybe_int) : read_double(b, stop, &v, &maybe_int))) {
        if (read_infinity(b, stop, &out.value)) out.cls = TokenClass::real;
        return out;
    }
    out.value = v;
    if (!maybe_int) {
        out.cls = TokenClass::real;
        return out;
    }
    // int() of the whole token, which refuses a NUL
    if (stop != end) return NumberToken{};
    read_integer(b, end, rules.int_max_str_digits, out);
    return out;
}

}  // namespace kelvane::core
