// The fixed-column catalogue parser against a line-by-line model of the
// reading rules: lines cut at "\n", "\r\n" or "\r" (text-mode reading),
// blank lines skipped, fields sliced by code-point position and stripped of
// the interpreter's whitespace, numbers read the way Python's float() reads
// them, origin times the way pandas.to_datetime(format="%Y%m%d%H%M%S") reads
// fourteen digits, place names stripped and written as UTF-8.
//
// A field the parser leaves to the caller (deferred) must be reported with
// exactly the stripped field's position and leave its value slot empty; a
// field it settles must hold the model's value.
//
// Input layout: byte 0 picks the form of the text (bits 0-1: 8, 16 or 32-bit
// code units, or UTF-8 bytes), how many pieces it is cut into (bits 2-3: one
// to four), whether they are parsed on two threads (bit 4) and the time unit
// (bit 5: seconds, or nanoseconds, which some years overflow). Every
// following byte below 0x80 is that ASCII character, every byte from 0x80 on
// picks a character from a palette of non-ASCII code points with known
// properties (Unicode spaces, decimal digits of other scripts, digits that
// float() refuses, letters). In UTF-8 a lone surrogate is written in the
// three-byte form UTF-8 forbids: the parser must then report the text as
// ill-formed.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/catalogue.hpp"

namespace {

using kelvane::core::CatalogueNumber;
using kelvane::core::kNoTime;

struct CodePoint {
  std::uint32_t cp;
  bool space;
  int digit;  // decimal digit value (Unicode category Nd), or -1
};

// Non-ASCII code points, grouped by the smallest code unit that holds them.
constexpr CodePoint kPalette[] = {
    // below 0x100
    {0x85, true, -1},    // NEXT LINE: a space to str.strip()
    {0xa0, true, -1},    // NO-BREAK SPACE
    {0xe9, false, -1},   // e acute
    {0xb2, false, -1},   // SUPERSCRIPT TWO: a digit, but not a decimal one
    {0xbd, false, -1},   // VULGAR FRACTION ONE HALF
    {0xff, false, -1},
    // below 0x10000
    {0x0663, false, 3},  // ARABIC-INDIC DIGIT THREE
    {0x0660, false, 0},  // ARABIC-INDIC DIGIT ZERO
    {0xff11, false, 1},  // FULLWIDTH DIGIT ONE
    {0xff19, false, 9},  // FULLWIDTH DIGIT NINE
    {0x3000, true, -1},  // IDEOGRAPHIC SPACE
    {0x2028, true, -1},  // LINE SEPARATOR (not a line end for file reading)
    {0x1680, true, -1},  // OGHAM SPACE MARK
    {0x200b, false, -1}, // ZERO WIDTH SPACE: not a space to Python
    {0xfeff, false, -1}, // BYTE ORDER MARK
    {0x4e2d, false, -1}, // a CJK ideograph
    {0xd800, false, -1}, // a lone surrogate code point
    {0x2212, false, -1}, // MINUS SIGN: float() refuses it
    // 0x10000 and above
    {0x1d7ce, false, 0}, // MATHEMATICAL BOLD DIGIT ZERO
    {0x1d7d7, false, 9}, // MATHEMATICAL BOLD DIGIT NINE
    {0x1f4a5, false, -1},
};
constexpr std::size_t kBelow100 = 6, kBelow10000 = 18, kAll = sizeof(kPalette) / sizeof(kPalette[0]);

bool ascii_space(std::uint32_t c) { return (c >= 9 && c <= 13) || (c >= 28 && c <= 32); }

struct Text {
  std::vector<CodePoint> cps;
};

CodePoint props(std::uint32_t c) {
  if (c < 0x80) return {c, ascii_space(c), (c >= '0' && c <= '9') ? int(c - '0') : -1};
  for (const auto& p : kPalette)
    if (p.cp == c) return p;
  return {c, false, -1};
}

[[noreturn]] void fail(std::size_t row, const char* what, const std::string& detail) {
  std::fprintf(stderr, "row %zu: wrong %s: %s\n", row, what, detail.c_str());
  std::abort();
}

// A field: code-point positions [b, e) in the whole text after stripping.
struct Span {
  std::size_t b, e;
};

Span stripped(const std::vector<CodePoint>& t, std::size_t b, std::size_t e) {
  while (b < e && t[b].space) ++b;
  while (e > b && t[e - 1].space) --e;
  return {b, e};
}

// Python's float() of a field: non-ASCII decimal digits become ASCII digits
// and Unicode spaces blanks, then the ASCII grammar applies (sign, digits
// with single underscores between them, a point, an exponent; or inf,
// infinity, nan in any case). ok = false: float() raises.
struct Parsed {
  bool ok;
  double value;
};

Parsed python_float(const std::vector<CodePoint>& t, Span s) {
  std::string a;
  for (std::size_t i = s.b; i < s.e; ++i) {
    const CodePoint& c = t[i];
    if (c.cp < 0x80) a += static_cast<char>(c.cp);
    else if (c.digit >= 0) a += static_cast<char>('0' + c.digit);
    else if (c.space) a += ' ';
    else return {false, 0};
  }
  // The field was stripped already; float() strips the same set again.
  std::size_t b = 0, e = a.size();
  while (b < e && ascii_space(static_cast<unsigned char>(a[b]))) ++b;
  while (e > b && ascii_space(static_cast<unsigned char>(a[e - 1]))) --e;
  const std::string f = a.substr(b, e - b);
  if (f.empty()) return {false, 0};
  std::size_t i = 0;
  std::string clean;
  if (f[i] == '+' || f[i] == '-') clean += f[i++];
  std::string rest = f.substr(i);
  std::string lower;
  for (char c : rest) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  if (lower == "inf" || lower == "infinity" || lower == "nan") {
    clean += lower;
    return {true, std::strtod(clean.c_str(), nullptr)};
  }
  // digits (_ digits)*  between every pair of digits at most one underscore
  auto digits = [&](std::size_t& k) {
    const std::size_t start = k;
    while (k < f.size()) {
      if (f[k] >= '0' && f[k] <= '9') {
        clean += f[k++];
      } else if (f[k] == '_' && k > start && k + 1 < f.size() && f[k - 1] >= '0' &&
                 f[k - 1] <= '9' && f[k + 1] >= '0' && f[k + 1] <= '9') {
        ++k;
      } else {
        break;
      }
    }
    return k > start;
  };
  const bool int_part = digits(i);
  bool frac_part = false;
  if (i < f.size() && f[i] == '.') {
    clean += f[i++];
    frac_part = digits(i);
  }
  if (!int_part && !frac_part) return {false, 0};
  if (i < f.size() && (f[i] == 'e' || f[i] == 'E')) {
    clean += f[i++];
    if (i < f.size() && (f[i] == '+' || f[i] == '-')) clean += f[i++];
    if (!digits(i)) return {false, 0};
  }
  if (i != f.size()) return {false, 0};
  return {true, std::strtod(clean.c_str(), nullptr)};
}

bool same(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b && std::signbit(a) == std::signbit(b);
}

std::string show(const std::vector<CodePoint>& t, Span s) {
  std::string out = "\"";
  for (std::size_t i = s.b; i < s.e; ++i) {
    char buf[16];
    if (t[i].cp >= 0x20 && t[i].cp < 0x7f) out += static_cast<char>(t[i].cp);
    else {
      std::snprintf(buf, sizeof buf, "\\u{%x}", t[i].cp);
      out += buf;
    }
  }
  return out + "\"";
}

// Days from 1970-01-01 by counting: the model's own arithmetic.
std::int64_t days_since_epoch(std::int64_t y, int m, int d) {
  static const int cum[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  auto leap = [](std::int64_t yy) { return (yy % 4 == 0 && yy % 100 != 0) || yy % 400 == 0; };
  auto before = [](std::int64_t yy) {  // leap days in years 1 .. yy-1
    const std::int64_t p = yy - 1;
    return p / 4 - p / 100 + p / 400;
  };
  const std::int64_t days_to_year = 365 * (y - 1) + before(y);  // from 0001-01-01
  const std::int64_t epoch = 365 * 1969 + before(1970);
  return days_to_year - epoch + cum[m - 1] + (m > 2 && leap(y) ? 1 : 0) + (d - 1);
}

// pandas' reading of "%Y%m%d%H%M%S" for fourteen ASCII digits: the fields
// must form a valid date and time; seconds 60 and 61 are accepted and carry
// into the next minute. valid = false: NaT.
struct Time {
  bool fourteen_digits;
  bool valid;
  std::int64_t seconds;
};

Time model_time(const std::vector<CodePoint>& t, Span s) {
  if (s.e - s.b != 14) return {false, false, 0};
  int v[14];
  for (std::size_t i = 0; i < 14; ++i) {
    const std::uint32_t c = t[s.b + i].cp;
    if (c < '0' || c > '9') return {false, false, 0};
    v[i] = int(c - '0');
  }
  const int y = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
  const int mo = v[4] * 10 + v[5], d = v[6] * 10 + v[7], h = v[8] * 10 + v[9],
            mi = v[10] * 10 + v[11], se = v[12] * 10 + v[13];
  static const int mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (y < 1 || mo < 1 || mo > 12) return {true, false, 0};
  const int dim = mdays[mo - 1] + (mo == 2 && leap ? 1 : 0);
  if (d < 1 || d > dim || h > 23 || mi > 59 || se > 61) return {true, false, 0};
  return {true, true, days_since_epoch(y, mo, d) * 86400 + h * 3600 + mi * 60 + se};
}

void append_utf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool is_surrogate(std::uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

struct Options {
  std::size_t pieces;
  bool parallel;
  std::int64_t scale;
};

template <class Unit>
void check(const std::vector<CodePoint>& t, const Options& opt) {
  constexpr bool utf8 = std::is_same_v<Unit, char8_t>;
  // The units, and where each code point starts in them.
  std::vector<Unit> units;
  std::vector<std::size_t> at;
  bool surrogate = false;
  for (const auto& c : t) {
    at.push_back(units.size());
    surrogate = surrogate || is_surrogate(c.cp);
    if constexpr (utf8) {
      std::string bytes;
      append_utf8(bytes, c.cp);
      for (char b : bytes) units.push_back(static_cast<Unit>(static_cast<unsigned char>(b)));
    } else {
      units.push_back(static_cast<Unit>(c.cp));
    }
  }
  at.push_back(units.size());

  const auto plan = kelvane::core::plan_catalogue(units.data(), units.size(), opt.pieces, opt.parallel);
  if (plan.length != units.size()) fail(0, "plan", "length");
  const std::size_t capacity = plan.lines;
  std::vector<std::int64_t> times(capacity, 12345), offsets(capacity + 1, -7);
  std::vector<double> numbers(3 * capacity, 12345.0);
  std::vector<std::uint8_t> name_data(plan.name_bytes), validity((capacity + 7) / 8, 0xAA);
  const kelvane::core::CatalogueOutput out{times.data(), numbers.data(), offsets.data(), name_data.data(),
                                           validity.data()};
  const auto got = kelvane::core::parse_catalogue(units.data(), plan, out, opt.scale, opt.parallel);
  if (utf8 && surrogate) {
    if (got.well_formed) fail(0, "well-formedness", "ill-formed UTF-8 taken as well-formed");
    return;
  }
  if (!got.well_formed) fail(0, "well-formedness", "well-formed text refused");
  const std::size_t rows = got.rows;
  if (rows > capacity || got.name_bytes > plan.name_bytes) fail(rows, "row count", "beyond the plan");
  if (offsets[0] != 0) fail(0, "name offsets", "first offset not 0");

  // Deferred fields by (row, column); column 3 stands for the time.
  std::map<std::pair<std::size_t, int>, kelvane::core::TextSpan> deferred;
  for (const auto& d : got.deferred_times)
    if (!deferred.emplace(std::make_pair(d.row, 3), d.text).second)
      fail(d.row, "deferred fields", "time deferred twice");
  for (const auto& d : got.deferred_numbers)
    if (!deferred.emplace(std::make_pair(d.row, int(d.column)), d.text).second)
      fail(d.row, "deferred fields", "number deferred twice");
  auto take_deferred = [&](std::size_t r, int column, kelvane::core::TextSpan& span) {
    auto it = deferred.find({r, column});
    if (it == deferred.end()) return false;
    span = it->second;
    deferred.erase(it);
    return true;
  };
  auto same_span = [&](kelvane::core::TextSpan got_span, Span want) {
    return got_span.begin == at[want.b] && got_span.end == at[want.e];
  };
  std::size_t row = 0, nulls = 0;
  bool any_time = false, encodable = true;
  std::size_t line_begin = 0;
  while (line_begin < t.size()) {
    // The line as text-mode reading gives it: its content, then one '\n'
    // for any of the three line ends.
    std::size_t content_end = line_begin;
    while (content_end < t.size() && t[content_end].cp != '\n' && t[content_end].cp != '\r') ++content_end;
    std::size_t next = content_end;
    if (next < t.size()) next += t[next].cp == '\r' && next + 1 < t.size() && t[next + 1].cp == '\n' ? 2 : 1;
    const std::size_t length = content_end - line_begin + (content_end < t.size() ? 1 : 0);
    bool blank = true;
    for (std::size_t i = line_begin; i < content_end; ++i) blank = blank && t[i].space;
    if (blank) {
      line_begin = next;
      continue;
    }
    if (row >= rows) fail(row, "row count", "parser gave fewer rows than non-blank lines");
    // Stripping never reaches the line end, a space: the content suffices.
    auto field = [&](std::size_t b, std::size_t e) {
      b = std::min(b, length);
      e = std::min(e, length);
      return stripped(t, std::min(line_begin + b, content_end), std::min(line_begin + e, content_end));
    };

    // Origin time.
    const Span ts = field(0, 14);
    const Time want_t = model_time(t, ts);
    const std::int64_t got_time = times[row];
    kelvane::core::TextSpan dspan;
    std::int64_t scaled = 0;
    if (take_deferred(row, 3, dspan)) {
      if (!same_span(dspan, ts)) fail(row, "deferred time span", show(t, ts));
      if (got_time != kNoTime) fail(row, "time", "deferred but also settled");
    } else if (ts.b == ts.e || (want_t.fourteen_digits && !want_t.valid)) {
      if (got_time != kNoTime) fail(row, "time", "settled a time for " + show(t, ts));
    } else if (!want_t.fourteen_digits) {
      fail(row, "time", "settled a field that is not fourteen digits: " + show(t, ts));
    } else if (__builtin_mul_overflow(want_t.seconds, opt.scale, &scaled)) {
      if (got_time != kNoTime) fail(row, "time", show(t, ts) + " beyond the unit's range but settled");
    } else if (got_time != scaled) {
      fail(row, "time", show(t, ts) + " gave " + std::to_string(got_time) + ", want " + std::to_string(scaled));
    } else {
      any_time = true;
    }

    // Numbers.
    const struct {
      CatalogueNumber column;
      std::size_t b, e;
      const char* what;
    } fields[] = {
        {CatalogueNumber::latitude, 15, 21, "latitude"},
        {CatalogueNumber::longitude, 21, 27, "longitude"},
        {CatalogueNumber::magnitude, 28, 32, "magnitude"},
    };
    for (const auto& num : fields) {
      const Span s = field(num.b, num.e);
      const double value = numbers[static_cast<std::size_t>(num.column) * capacity + row];
      if (take_deferred(row, int(num.column), dspan)) {
        if (!same_span(dspan, s)) fail(row, num.what, "deferred span differs from " + show(t, s));
        if (!std::isnan(value)) fail(row, num.what, "deferred but also settled");
        continue;
      }
      const Parsed p = python_float(t, s);
      const double want = p.ok ? p.value : std::nan("");
      if (!same(value, want)) {
        char buf[96];
        std::snprintf(buf, sizeof buf, " gave %.17g, want %.17g", value, want);
        fail(row, num.what, show(t, s) + buf);
      }
    }

    // Name: from position 39 to the end of the line, line end included,
    // stripped, as UTF-8; a missing value when empty.
    const Span ns = field(39, length);
    std::string want_name;
    for (std::size_t i = ns.b; i < ns.e; ++i) {
      append_utf8(want_name, t[i].cp);
      encodable = encodable && !is_surrogate(t[i].cp);
    }
    const std::int64_t from = offsets[row], to = offsets[row + 1];
    if (from < 0 || to < from || static_cast<std::size_t>(to) > got.name_bytes)
      fail(row, "name offsets", std::to_string(from) + ".." + std::to_string(to));
    const std::string got_name(reinterpret_cast<const char*>(name_data.data()) + from, static_cast<std::size_t>(to - from));
    if (got_name != want_name) fail(row, "name", show(t, ns));
    const bool valid = (validity[row / 8] >> (row % 8)) & 1u;
    if (valid != !want_name.empty()) fail(row, "name validity", show(t, ns));
    nulls += want_name.empty();
    ++row;
    line_begin = next;
  }
  if (row != rows) fail(row, "row count", "parser gave more rows than non-blank lines");
  if (!deferred.empty())
    fail(deferred.begin()->first.first, "deferred fields", "a field deferred for no row or column");
  if (static_cast<std::size_t>(offsets[rows]) != got.name_bytes) fail(rows, "name bytes", "last offset");
  if (got.name_nulls != nulls) fail(rows, "name nulls", std::to_string(got.name_nulls));
  if (got.names_encodable != encodable) fail(rows, "names encodable", "flag differs");
  if (got.any_time != any_time) fail(rows, "any time", "flag differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int form = data[0] & 3;  // 0: 8-bit, 1: 16-bit, 2: 32-bit units, 3: UTF-8 bytes
  const Options opt{static_cast<std::size_t>((data[0] >> 2) & 3) + 1, (data[0] & 0x10) != 0,
                    (data[0] & 0x20) != 0 ? std::int64_t{1000000000} : std::int64_t{1}};
  const std::size_t palette = form == 0 ? kBelow100 : form == 1 ? kBelow10000 : kAll;
  std::vector<CodePoint> t;
  t.reserve(size);
  for (std::size_t i = 1; i < size; ++i) {
    const std::uint8_t b = data[i];
    t.push_back(b < 0x80 ? props(b) : kPalette[(b - 0x80) % palette]);
  }
  if (form == 0) check<std::uint8_t>(t, opt);
  else if (form == 1) check<std::uint16_t>(t, opt);
  else if (form == 2) check<char32_t>(t, opt);
  else check<char8_t>(t, opt);
  return 0;
}
