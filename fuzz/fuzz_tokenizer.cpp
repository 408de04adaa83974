// The packed-string tokenizer and number parser against naive models:
//   - parse_number() against a grammar check of its own: for pandas 3 with
//     strtod as the value (the plain decimal and exponent notation,
//     infinities), for pandas 2 with a plain re-reading of its older parser
//     (the text up to a NUL, 17 digits in a double, a wrapping exponent, no
//     overflow); integers longer than the digit limit are not numbers;
//   - parse_simple_number() against parse_number() on the same token;
//   - strip_packed() against a code-point-by-code-point strip of the
//     interpreter's white space, count_tokens() and parse_packed() against a
//     naive split at every blank;
//   - the table kernel (plan_split + fill_split, on one thread and on two)
//     against a stable sort of every (row, token) sample by time, and the
//     row layout it records, with the repeat kernels built on it, against
//     its row column.
//
// Input: byte 0 picks the mode (token, packed string, table), the pandas
// whose rules apply and the limit on integer digits; the rest is the token,
// the text, or the table rows (see table_case()).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/numparse.hpp"
#include "core/split.hpp"

namespace {

using kelvane::core::NumberDialect;
using kelvane::core::NumberRules;
using kelvane::core::NumberToken;
using kelvane::core::NumericResult;
using kelvane::core::TokenClass;

[[noreturn]] void fail(const char* what, std::string_view token, const std::string& detail) {
  std::string shown;
  for (char ch : token) {
    const auto c = static_cast<unsigned char>(ch);
    char buf[8];
    if (c >= 0x20 && c < 0x7f) shown += static_cast<char>(c);
    else {
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      shown += buf;
    }
  }
  std::fprintf(stderr, "wrong %s for \"%s\": %s\n", what, shown.c_str(), detail.c_str());
  std::abort();
}

bool same(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b && std::signbit(a) == std::signbit(b);
}

bool ascii_ws(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// What a token is by the number grammar: optional ASCII white space on both
// sides, a sign, digits with an optional point, an optional exponent; or a
// signed or unsigned "inf"/"infinity" in any case with nothing around.
struct Expect {
  TokenClass cls = TokenClass::missing;
  double value = std::numeric_limits<double>::quiet_NaN();
  bool plus = false;          // written with a leading '+'
  bool negative = false;      // integers: sign of a non-zero value
  bool fits = true;           // integers: magnitude below 2**64
  std::uint64_t magnitude = 0;
};

Expect model_pandas3(std::string_view t) {
  Expect e;
  std::string lower;
  for (char c : t) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  {
    std::string_view w = lower;
    std::string_view sign;
    if (!w.empty() && (w[0] == '+' || w[0] == '-')) {
      sign = w.substr(0, 1);
      w.remove_prefix(1);
    }
    if (w == "inf" || w == "infinity") {
      e.cls = TokenClass::real;
      e.value = sign == "-" ? -INFINITY : INFINITY;
      e.plus = sign == "+";
      return e;
    }
  }
  std::size_t b = 0, en = t.size();
  while (b < en && ascii_ws(t[b])) ++b;
  while (en > b && ascii_ws(t[en - 1])) --en;
  const std::string_view s = t.substr(b, en - b);
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    e.plus = s[i] == '+';
    e.negative = s[i] == '-';
    ++i;
  }
  // Not a number; the '+' is kept, since such tokens are read more loosely.
  const auto missing = [&e] {
    Expect m;
    m.plus = e.plus;
    return m;
  };
  const std::size_t int_begin = i;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
  const std::size_t int_digits = i - int_begin;
  bool point = false;
  std::size_t frac_digits = 0;
  if (i < s.size() && s[i] == '.') {
    point = true;
    ++i;
    const std::size_t f = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    frac_digits = i - f;
  }
  if (int_digits + frac_digits == 0) return missing();
  bool exponent = false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    exponent = true;
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const std::size_t x = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    if (i == x) return missing();
  }
  if (i != s.size()) return missing();
  const std::string text(s);
  e.value = std::strtod(text.c_str(), nullptr);
  if (!point && !exponent) {
    e.cls = TokenClass::integer;
    unsigned __int128 m = 0;
    for (std::size_t k = int_begin; k < int_begin + int_digits; ++k) {
      m = m * 10 + static_cast<unsigned>(s[k] - '0');
      if (m > std::numeric_limits<std::uint64_t>::max()) {
        e.fits = false;
        m = static_cast<unsigned __int128>(std::numeric_limits<std::uint64_t>::max()) + 1;
      }
    }
    e.magnitude = e.fits ? static_cast<std::uint64_t>(m) : 0;
    e.negative = e.negative && e.magnitude != 0;
    if (!e.fits) e.negative = s[0] == '-';
  } else {
    e.cls = TokenClass::real;
  }
  return e;
}

// 10**k as the nearest double (the parser's table of powers).
double pow10(int k) { return std::strtod(("1e" + std::to_string(k)).c_str(), nullptr); }

// pandas 2, read the way its older parser reads a C string: up to the
// first NUL; white space, a sign, digits with a point, an exponent of at most
// 17 digits, white space; the value from the first 17 digits (leading zeros
// count) accumulated in a double, scaled by the table of powers of ten; an
// exponent that wraps like a 32-bit int; a range error for exponents above
// 308 and for infinite results.
Expect model_pandas2(std::string_view t) {
  Expect e;
  const std::size_t nul = t.find('\0');
  if (nul != std::string_view::npos) {
    for (std::size_t k = 0; k + 1 < t.size(); ++k)  // a lone surrogate: no UTF-8 form
      if (static_cast<unsigned char>(t[k]) == 0xED && static_cast<unsigned char>(t[k + 1]) >= 0xA0 &&
          static_cast<unsigned char>(t[k + 1]) <= 0xBF)
        return e;
  }
  const std::string c(t.substr(0, nul));
  std::string lower;
  for (char ch : c) lower += static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch + 32 : ch);
  if (lower == "inf" || lower == "+inf" || lower == "infinity" || lower == "+infinity" || lower == "-inf" ||
      lower == "-infinity") {
    e.cls = TokenClass::real;
    e.value = lower[0] == '-' ? -INFINITY : INFINITY;
    return e;
  }
  std::size_t i = 0;
  while (i < c.size() && ascii_ws(c[i])) ++i;
  bool negative = false;
  if (i < c.size() && (c[i] == '+' || c[i] == '-')) negative = c[i++] == '-';
  std::string digits;  // every digit of the mantissa, in order
  const std::size_t int_begin = i;
  while (i < c.size() && c[i] >= '0' && c[i] <= '9') digits += c[i++];
  const std::size_t int_digits = i - int_begin;
  bool real = false;
  if (i < c.size() && c[i] == '.') {
    real = true;
    ++i;
    while (i < c.size() && c[i] >= '0' && c[i] <= '9') {
      digits += c[i++];
    }
  }
  if (digits.empty()) return e;
  long long exponent_value = 0;  // as the 32-bit int holds it
  if (i < c.size() && (c[i] == 'e' || c[i] == 'E')) {
    real = true;
    ++i;
    bool eneg = false;
    if (i < c.size() && (c[i] == '+' || c[i] == '-')) eneg = c[i++] == '-';
    std::string ed;
    while (i < c.size() && c[i] >= '0' && c[i] <= '9' && ed.size() < 17) ed += c[i++];
    if (ed.empty()) return e;
    unsigned long long n = std::stoull(ed);  // 17 digits fit
    exponent_value = static_cast<long long>(n % (1ULL << 32));
    if (eneg) exponent_value = -exponent_value;
  }
  while (i < c.size() && ascii_ws(c[i])) ++i;
  if (i != c.size()) return e;
  // digits after the 17th: those of the whole part shift the exponent up,
  // those after the point are dropped (and no longer shift it down)
  const std::size_t used = std::min<std::size_t>(digits.size(), 17);
  const long long dropped_whole = int_digits > used ? static_cast<long long>(int_digits - used) : 0;
  const long long kept_decimals = static_cast<long long>(used) - static_cast<long long>(std::min(int_digits, used));
  const long long total = dropped_whole - kept_decimals + exponent_value;
  const auto wrapped = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long long>(total)));
  double number = 0;
  for (std::size_t k = 0; k < used; ++k) number = number * 10. + (digits[k] - '0');
  if (negative) number = -number;
  if (wrapped > 308) return e;
  if (wrapped > 0) {
    number *= pow10(wrapped);
  } else if (wrapped < -616) {
    number = 0.;
  } else if (wrapped < -308) {
    number /= pow10(-308 - wrapped);
    number /= pow10(308);
  } else {
    number /= pow10(-wrapped);
  }
  if (std::isinf(number)) return e;
  e.value = number;
  if (real) {
    e.cls = TokenClass::real;
    return e;
  }
  if (nul != std::string_view::npos) return Expect{};  // int() refuses the NUL
  e.cls = TokenClass::integer;
  unsigned __int128 m = 0;
  for (char d : digits) {
    m = m * 10 + static_cast<unsigned>(d - '0');
    if (m > std::numeric_limits<std::uint64_t>::max()) {
      e.fits = false;
      m = static_cast<unsigned __int128>(std::numeric_limits<std::uint64_t>::max()) + 1;
    }
  }
  e.magnitude = e.fits ? static_cast<std::uint64_t>(m) : 0;
  e.negative = negative && (e.magnitude != 0 || !e.fits);
  return e;
}

// What to_numeric makes of a token under `rules`: an integer with more
// digits than the limit is no number (Python's int() refuses it).
Expect model_number(std::string_view t, const NumberRules& rules) {
  Expect e = rules.dialect == NumberDialect::pandas2 ? model_pandas2(t) : model_pandas3(t);
  if (e.cls == TokenClass::integer && rules.int_max_str_digits != 0) {
    std::size_t count = 0;
    for (char ch : t) count += ch >= '0' && ch <= '9';
    if (count > rules.int_max_str_digits) {
      Expect none;
      none.plus = e.plus;
      return none;
    }
  }
  return e;
}

void check_token(std::string_view t, const NumberRules& rules) {
  const NumberToken got = kelvane::core::parse_number(t, rules);
  const Expect want = model_number(t, rules);
  if (want.plus && rules.dialect == NumberDialect::pandas3) {
    // A leading '+' goes through an older, not correctly rounded parser that
    // is also looser about white space: only agreement on real numbers and a
    // close value is checked.
    if (want.cls != TokenClass::missing) {
      if (got.cls == TokenClass::missing) fail("class", t, "a '+' number read as missing");
      const double tol = std::fabs(want.value) * 1e-15;
      if (!(std::isinf(want.value) ? got.value == want.value
                                   : std::fabs(got.value - want.value) <= tol))
        fail("value", t, "'+' number too far from strtod");
    }
    return;
  }
  if (got.cls != want.cls)
    fail("class", t, "got " + std::to_string(int(got.cls)) + ", want " + std::to_string(int(want.cls)));
  if (want.cls == TokenClass::missing) {
    if (!std::isnan(got.value)) fail("value", t, "missing token with a value");
    return;
  }
  if (!same(got.value, want.value) && !(want.cls == TokenClass::integer && want.value == 0 && got.value == 0)) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "got %.17g, want %.17g", got.value, want.value);
    fail("value", t, buf);
  }
  if (want.cls == TokenClass::integer) {
    if (got.in_range != want.fits) fail("integer range", t, got.in_range ? "in range" : "out of range");
    if (want.fits && (got.magnitude != want.magnitude || got.negative != want.negative))
      fail("integer", t, "magnitude " + std::to_string(got.magnitude) + " negative " +
                             std::to_string(got.negative));
  }
}

// The fast path must agree with parse_number wherever it accepts a token.
void check_simple(std::string_view text, const NumberRules& rules) {
  const char* end = text.data() + text.size();
  for (const char* p = text.data(); p <= end; ++p) {
    if (p != text.data() && p[-1] != ' ') continue;  // token starts only
    NumberToken fast;
    const char* next = nullptr;
    if (!kelvane::core::parse_simple_number(p, end, fast, &next, kelvane::core::simple_digits(rules))) continue;
    if (next < p || next > end || (next != end && *next != ' '))
      fail("fast path end", std::string_view(p, static_cast<std::size_t>(end - p)), "not at a blank");
    const std::string_view tok(p, static_cast<std::size_t>(next - p));
    const NumberToken slow = kelvane::core::parse_number(tok, rules);
    if (fast.cls != slow.cls || !same(fast.value, slow.value) ||
        (fast.cls == TokenClass::integer &&
         (fast.magnitude != slow.magnitude || fast.negative != slow.negative || !fast.in_range)))
      fail("fast path", tok, "differs from parse_number");
  }
}

// --- white space and splitting ----------------------------------------------

// Decodes one UTF-8 code point at s[i]; returns its length, 0 when invalid.
std::size_t decode(std::string_view s, std::size_t i, char32_t& cp) {
  const auto u = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = u(i);
  std::size_t len;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if (c >= 0xc2 && c <= 0xdf) {
    len = 2;
    cp = c & 0x1f;
  } else if (c >= 0xe0 && c <= 0xef) {
    len = 3;
    cp = c & 0x0f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((u(i + k) & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (u(i + k) & 0x3f);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10ffff)) ||
      (cp >= 0xd800 && cp <= 0xdfff))
    return 0;
  return len;
}

bool python_space(char32_t c) {
  return (c >= 9 && c <= 13) || (c >= 0x1c && c <= 0x20) || c == 0x85 || c == 0xa0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 ||
         c == 0x202f || c == 0x205f || c == 0x3000;
}

std::string_view model_strip(std::string_view s) {
  // Code points from the front; from the back, the last complete code point
  // found by stepping over continuation bytes.
  std::size_t b = 0;
  while (b < s.size()) {
    char32_t cp;
    const std::size_t n = decode(s, b, cp);
    if (n == 0 || !python_space(cp)) break;
    b += n;
  }
  std::size_t e = s.size();
  while (e > b) {
    std::size_t start = e - 1;
    while (start > b && e - start < 4 && (static_cast<unsigned char>(s[start]) & 0xc0) == 0x80) --start;
    char32_t cp;
    const std::size_t n = decode(s, start, cp);
    if (n == 0 || start + n != e || !python_space(cp)) break;
    e = start;
  }
  return s.substr(b, e - b);
}

std::vector<std::string_view> model_split(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t b = 0;
  for (std::size_t i = 0; i <= s.size(); ++i) {
    if (i == s.size() || s[i] == ' ') {
      out.push_back(s.substr(b, i - b));
      b = i + 1;
    }
  }
  return out;
}

// float32 of every token of one column, the way to_numeric followed by
// astype("float32") rounds: an all-integer column within int64 (or within
// uint64, all non-negative) rounds each exact integer to float32 directly;
// any other column rounds the double.
std::vector<float> model_float32(const std::vector<std::string_view>& tokens, const NumberRules& rules) {
  std::vector<Expect> e;
  bool integers = !tokens.empty(), any_negative = false, any_above_int64 = false;
  for (auto t : tokens) {
    e.push_back(model_number(t, rules));
    const Expect& x = e.back();
    if (x.cls != TokenClass::integer || !x.fits ||
        (x.negative && x.magnitude > 9223372036854775808ULL)) {
      integers = false;
      continue;
    }
    any_negative = any_negative || x.negative;
    any_above_int64 = any_above_int64 || (!x.negative && x.magnitude > 9223372036854775807ULL);
  }
  if (any_negative && any_above_int64) integers = false;
  std::vector<float> out;
  for (const Expect& x : e) {
    if (integers) {
      out.push_back(x.negative ? static_cast<float>(static_cast<std::int64_t>(0ULL - x.magnitude))
                               : static_cast<float>(x.magnitude));
    } else {
      out.push_back(static_cast<float>(x.value));
    }
  }
  return out;
}

// pandas 3 reads numbers written with a '+' by its older parser, which the
// model only checks loosely.
bool has_plus_number(const std::vector<std::string_view>& tokens, const NumberRules& rules) {
  if (rules.dialect != NumberDialect::pandas3) return false;
  for (auto t : tokens) {
    const Expect x = model_number(t, rules);
    if (x.plus) return true;
  }
  return false;
}

// The same float32, the sign of zero included.
bool same_f(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b && std::signbit(a) == std::signbit(b);
}

// From every token with a shape on: read_shaped takes exactly the following
// tokens of that shape with a blank after them (stopping 8 bytes before the
// end at the latest), with the values parse_number gives them.
void check_shaped(std::string_view text, const std::vector<std::string_view>& tokens, const NumberRules& rules) {
  const char* end = text.data() + text.size();
  std::vector<float> got(tokens.size());
  for (std::size_t k = 0; k + 1 < tokens.size(); ++k) {
    const kelvane::core::TokenShape shape = kelvane::core::shape_of(tokens[k]);
    if (shape.length == 0) continue;
    const char* p = tokens[k + 1].data();
    const char* start = p;
    const std::size_t n = kelvane::core::read_shaped(p, end, shape, got.data(), 1, tokens.size() - k - 1);
    std::size_t bytes = 0;
    for (std::size_t j = 0; j < n; ++j) {
      const std::string_view t = tokens[k + 1 + j];
      const float want = static_cast<float>(kelvane::core::parse_number(t, rules).value);
      if (kelvane::core::shape_of(t).length != shape.length || t.data() + t.size() == end ||
          kelvane::core::parse_number(t, rules).cls != kelvane::core::TokenClass::real)
        fail("shaped run", t, "a token of another shape was taken");
      if (!same_f(got[j], want))
        fail("shaped value", t, "differs from parse_number");
      bytes += t.size() + 1;
    }
    if (p != start + bytes) fail("shaped run", text, "moved to another place than past its tokens");
    const std::size_t stop = k + 1 + n;
    if (stop < tokens.size() && end - tokens[stop].data() > 8) {
      const std::string_view t = tokens[stop];
      const kelvane::core::TokenShape next = kelvane::core::shape_of(t);
      const bool same = next.length == shape.length && next.point == shape.point &&
                        next.negative == shape.negative && t.data() + t.size() != end;
      if (same) fail("shaped run", t, "a token of the same shape was left");
    }
  }
}

void check_packed(std::string_view text, const NumberRules& rules) {
  const std::string_view stripped = kelvane::core::strip_packed(text);
  const std::string_view want = model_strip(text);
  if (stripped.data() != want.data() || stripped.size() != want.size())
    fail("strip", text, "span " + std::to_string(stripped.data() - text.data()) + "+" +
                            std::to_string(stripped.size()) + ", want " +
                            std::to_string(want.data() - text.data()) + "+" + std::to_string(want.size()));
  const auto tokens = model_split(want);
  if (kelvane::core::count_tokens(want) != tokens.size()) fail("token count", text, "");
  std::vector<float> values;
  kelvane::core::parse_packed(text, values, rules);
  if (values.size() != tokens.size())
    fail("parsed token count", text, std::to_string(values.size()) + " values for " +
                                        std::to_string(tokens.size()) + " tokens");
  if (has_plus_number(tokens, rules)) return;  // values of '+' numbers are checked loosely above
  const auto expect = model_float32(tokens, rules);
  for (std::size_t k = 0; k < tokens.size(); ++k)
    if (!same_f(values[k], expect[k])) {
      char buf[96];
      std::snprintf(buf, sizeof buf, "token %zu: got %.9g, want %.9g", k, values[k], expect[k]);
      fail("packed value", text, buf);
    }
  for (auto t : tokens) check_token(t, rules);
  check_simple(want, rules);
  check_shaped(want, tokens, rules);
}

// --- the table kernel --------------------------------------------------------

constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();

// The layout of a fill, when usable, names the row of every sample, and the
// repeat kernels built on it copy what a sample-by-sample copy would.
void check_layout(const kelvane::core::RowLayout& layout, std::span<const kelvane::core::DayRow> rows,
                  const std::vector<std::int64_t>& row) {
  if (!layout.usable) {
    if (!layout.stretches.empty()) fail("layout", "", "stretches kept in an unusable layout");
    return;
  }
  std::size_t next = 0;
  for (const auto& st : layout.stretches) {
    if (st.first != next || st.width == 0 || st.span == 0 || st.lane + st.width > layout.lanes.size())
      fail("layout", "", "stretch at " + std::to_string(st.first) + " does not follow on at " + std::to_string(next));
    for (std::size_t s = 0; s < st.span; ++s)
      for (std::size_t j = 0; j < st.width; ++j) {
        const std::size_t i = st.first + s * st.width + j;
        if (i >= row.size() || row[i] != static_cast<std::int64_t>(layout.lanes[st.lane + j]))
          fail("layout", "", "sample " + std::to_string(i) + " has another row in the layout");
      }
    next = st.first + st.span * st.width;
  }
  if (next != row.size()) fail("layout", "", "the stretches end before the last sample");

  // items of three bytes (no fixed-size path) and texts, against the rows
  std::vector<std::uint8_t> src(rows.size() * 3), got(row.size() * 3), want(row.size() * 3);
  for (std::size_t r = 0; r < rows.size(); ++r)
    for (std::size_t b = 0; b < 3; ++b) src[3 * r + b] = static_cast<std::uint8_t>(r * 7 + b);
  for (std::size_t i = 0; i < row.size(); ++i)
    std::memcpy(&want[3 * i], &src[3 * static_cast<std::size_t>(row[i])], 3);
  kelvane::core::repeat_items(layout, src.data(), 3, got.data());
  if (got != want) fail("layout", "", "repeat_items differs from a copy by row");

  std::string text_want;
  std::vector<std::int64_t> off_want{0};
  for (std::int64_t r : row) {
    const auto& t = rows[static_cast<std::size_t>(r)];
    if (t.text != nullptr) text_want.append(t.text, t.size);
    off_want.push_back(static_cast<std::int64_t>(text_want.size()));
  }
  std::vector<std::int64_t> off_got(row.size() + 1, -1);
  std::string text_got(text_want.size(), '\0');
  kelvane::core::repeat_texts(layout, rows, off_got.data(), reinterpret_cast<std::uint8_t*>(text_got.data()));
  if (off_got != off_want || text_got != text_want) fail("layout", "", "repeat_texts differs from a copy by row");
}

void table_case(FuzzedDataProvider& in, const NumberRules& rules) {
  static constexpr std::int64_t kSteps[] = {1, 60, 3600, 1'000'000'000, 60'000'000'000,
                                            3'600'000'000'000, 0, -60, std::numeric_limits<std::int64_t>::max()};
  const std::int64_t step = kSteps[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kSteps) - 1)];
  const std::size_t n_rows = in.ConsumeIntegralInRange<std::size_t>(0, 12);
  std::vector<std::string> texts(n_rows);
  std::vector<kelvane::core::DayRow> rows(n_rows);
  for (std::size_t r = 0; r < n_rows; ++r) {
    const std::uint8_t kind = in.ConsumeIntegral<std::uint8_t>();
    std::int64_t start;
    switch (kind % 8) {
      case 0: start = kNaT; break;
      case 1: start = std::numeric_limits<std::int64_t>::max() - in.ConsumeIntegralInRange<std::int64_t>(0, 1'000'000); break;
      case 2: start = kNaT + 1 + in.ConsumeIntegralInRange<std::int64_t>(0, 1000); break;
      default: start = in.ConsumeIntegralInRange<std::int64_t>(-5, 5) * 86400;  // a few days
    }
    texts[r] = in.ConsumeRandomLengthString(200);
    rows[r].start = start;
    if (kind & 0x80) {
      rows[r].text = nullptr;  // None: one NaN sample without a time
    } else {
      rows[r].text = texts[r].data();
      rows[r].size = texts[r].size();
    }
  }

  // Model: every (row, token) sample with its time; rows without text give
  // one sample without a time; timed samples by (time, row, token), then the
  // untimed ones in row order.
  struct Sample {
    std::int64_t row;
    std::int64_t time;
    std::size_t token;
    bool timed;
  };
  std::vector<Sample> want;
  std::vector<std::string_view> all_tokens;
  std::vector<std::vector<std::string_view>> row_tokens(n_rows);
  bool overflow = false;
  for (std::size_t r = 0; r < n_rows; ++r) {
    if (rows[r].text == nullptr) {
      want.push_back({std::int64_t(r), kNaT, 0, false});
      all_tokens.push_back(std::string_view());  // a NaN: the column is floating
      row_tokens[r].push_back(std::string_view());
      continue;
    }
    row_tokens[r] = model_split(model_strip(std::string_view(rows[r].text, rows[r].size)));
    for (std::size_t k = 0; k < row_tokens[r].size(); ++k) {
      all_tokens.push_back(row_tokens[r][k]);
      if (rows[r].start == kNaT) {
        want.push_back({std::int64_t(r), kNaT, k, false});
        continue;
      }
      const __int128 t = static_cast<__int128>(rows[r].start) + static_cast<__int128>(k) * step;
      if (t > std::numeric_limits<std::int64_t>::max() || t <= kNaT) overflow = true;
      want.push_back({std::int64_t(r), static_cast<std::int64_t>(t), k, true});
    }
  }
  const std::span<const kelvane::core::DayRow> span(rows);
  if (step <= 0) {
    try {
      kelvane::core::plan_split(span, step, rules);
    } catch (const std::invalid_argument&) {
      return;
    }
    fail("step check", "", "a step <= 0 was accepted");
  }
  kelvane::core::SplitPlan plan;
  try {
    plan = kelvane::core::plan_split(span, step, rules);
  } catch (const std::overflow_error&) {
    if (!overflow) fail("overflow check", "", "overflow reported for times in range");
    return;
  }
  if (overflow) fail("overflow check", "", "sample times beyond int64 accepted");
  std::stable_sort(want.begin(), want.end(), [](const Sample& a, const Sample& b) {
    if (a.timed != b.timed) return a.timed;
    if (!a.timed) return false;  // untimed: row order (stable)
    return a.time < b.time;
  });
  if (plan.samples != want.size())
    fail("sample count", "", std::to_string(plan.samples) + ", want " + std::to_string(want.size()));
  std::vector<std::int64_t> row(plan.samples), time(plan.samples);
  std::vector<float> value(plan.samples);
  const kelvane::core::SplitTarget target{row.data(), time.data(), value.data()};
  // Every other table is filled by two threads wherever it can be cut in time.
  const std::size_t parallel_from = n_rows % 2 ? 0 : kelvane::core::kParallelSamples;
  kelvane::core::RowLayout layout;
  auto kind = kelvane::core::fill_split(plan, span, target, kelvane::core::NumericResult::floating,
                                        parallel_from, &layout);
  if (kind.integers_need_exact_rounding())
    kelvane::core::fill_split(plan, span, target, kind.result(), parallel_from);
  check_layout(layout, span, row);
  // Without a row column (starts on one grid only): the same times and
  // values, and a layout that gives the same rows.
  {
    std::vector<std::int64_t> time2(plan.samples), rows2(plan.samples);
    std::vector<float> value2(plan.samples);
    const kelvane::core::SplitTarget bare{nullptr, time2.data(), value2.data()};
    kelvane::core::RowLayout layout2;
    try {
      auto kind2 = kelvane::core::fill_split(plan, span, bare, kelvane::core::NumericResult::floating,
                                             parallel_from, &layout2);
      if (kind2.integers_need_exact_rounding())
        kelvane::core::fill_split(plan, span, bare, kind2.result(), parallel_from, &layout2);
      if (!plan.aligned) fail("bare fill", "", "accepted starts off one grid without a row column");
      if (!layout2.usable) fail("bare fill", "", "layout given up without a row column");
      kelvane::core::expand_rows(layout2, rows2.data());
      const auto same_bits = [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; };
      if (rows2 != row || time2 != time || !std::equal(value2.begin(), value2.end(), value.begin(), same_bits))
        fail("bare fill", "", "differs from the fill with a row column");
    } catch (const std::invalid_argument&) {
      if (plan.aligned) fail("bare fill", "", "refused starts on one grid");
    }
  }

  const bool loose = has_plus_number(all_tokens, rules);
  const auto column = model_float32(all_tokens, rules);
  // Index of each row's first token in the column.
  std::vector<std::size_t> first(n_rows + 1, 0);
  for (std::size_t r = 0; r < n_rows; ++r) first[r + 1] = first[r] + row_tokens[r].size();
  for (std::size_t i = 0; i < want.size(); ++i) {
    const Sample& s = want[i];
    if (row[i] != s.row || time[i] != (s.timed ? s.time : kNaT)) {
      fail("sample order", "", "sample " + std::to_string(i) + ": row " + std::to_string(row[i]) +
                                   " time " + std::to_string(time[i]) + ", want row " +
                                   std::to_string(s.row) + " time " + std::to_string(s.time));
    }
    const float expect = column[first[static_cast<std::size_t>(s.row)] + s.token];
    if (!loose && !same_f(value[i], expect)) {
      char buf[96];
      std::snprintf(buf, sizeof buf, "sample %zu: got %.9g, want %.9g", i, value[i], expect);
      fail("sample value", row_tokens[static_cast<std::size_t>(s.row)][s.token], buf);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0] % 3;
  // the pandas whose rules apply, and the interpreter's limit on integer
  // digits: the default, none, and small ones that short tokens can pass
  NumberRules rules;
  rules.dialect = (data[0] / 3) % 2 ? NumberDialect::pandas2 : NumberDialect::pandas3;
  static constexpr std::size_t kLimits[] = {4300, 0, 20, 3};
  rules.int_max_str_digits = kLimits[(data[0] / 6) % 4];
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  if (mode == 0) {
    check_token(rest, rules);
  } else if (mode == 1) {
    check_packed(rest, rules);
  } else {
    FuzzedDataProvider in(data + 1, size - 1);
    table_case(in, rules);
  }
  return 0;
}
