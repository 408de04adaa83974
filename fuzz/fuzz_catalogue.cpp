// The fixed-column catalogue parser against a line-by-line model of the
// reading rules: lines cut at '\n', blank lines skipped, fields sliced by
// code-point position and stripped of the interpreter's whitespace, numbers
// read the way Python's float() reads them, origin times the way
// pandas.to_datetime(format="%Y%m%d%H%M%S") reads fourteen digits.
//
// A field the parser leaves to the caller (deferred) must be reported with
// exactly the stripped field's position and leave its value slot empty; a
// field it settles must hold the model's value.
//
// Input layout: byte 0 picks the code-unit width (8, 16 or 32 bits); every
// following byte below 0x80 is that ASCII character, every byte from 0x80 on
// picks a character from a palette of non-ASCII code points with known
// properties (Unicode spaces, decimal digits of other scripts, digits that
// float() refuses, letters).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/catalogue.hpp"

namespace {

using kelvane::core::CatalogueColumns;
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

template <class Unit>
void check(const std::vector<CodePoint>& t) {
  std::vector<Unit> units;
  units.reserve(t.size());
  for (const auto& c : t) units.push_back(static_cast<Unit>(c.cp));
  const CatalogueColumns got = kelvane::core::parse_catalogue(units.data(), units.size());

  const std::size_t rows = got.rows();
  if (got.latitude.size() != rows || got.longitude.size() != rows ||
      got.magnitude.size() != rows || got.name.size() != rows)
    fail(rows, "column lengths", "columns of different lengths");

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
  std::size_t row = 0;
  std::size_t line_begin = 0;
  while (line_begin < t.size()) {
    std::size_t line_end = line_begin;  // one past the '\n', or the text end
    while (line_end < t.size() && t[line_end].cp != '\n') ++line_end;
    const std::size_t content_end = line_end;
    if (line_end < t.size()) ++line_end;  // the line keeps its line end
    bool blank = true;
    for (std::size_t i = line_begin; i < content_end; ++i) blank = blank && t[i].space;
    if (blank) {
      line_begin = line_end;
      continue;
    }
    if (row >= rows) fail(row, "row count", "parser gave fewer rows than non-blank lines");
    auto field = [&](std::size_t b, std::size_t e) {
      const std::size_t len = line_end - line_begin;
      b = std::min(b, len);
      e = std::min(e, len);
      return stripped(t, line_begin + b, line_begin + e);
    };

    // Origin time.
    const Span ts = field(0, 14);
    const Time want_t = model_time(t, ts);
    kelvane::core::TextSpan dspan;
    if (take_deferred(row, 3, dspan)) {
      if (dspan.begin != ts.b || dspan.end != ts.e)
        fail(row, "deferred time span", show(t, ts));
      if (got.seconds[row] != kNoTime) fail(row, "time", "deferred but also settled");
    } else if (ts.b == ts.e || (want_t.fourteen_digits && !want_t.valid)) {
      if (got.seconds[row] != kNoTime) fail(row, "time", "settled a time for " + show(t, ts));
    } else if (!want_t.fourteen_digits) {
      fail(row, "time", "settled a field that is not fourteen digits: " + show(t, ts));
    } else if (got.seconds[row] != want_t.seconds) {
      fail(row, "time", show(t, ts) + " gave " + std::to_string(got.seconds[row]) + ", want " +
                            std::to_string(want_t.seconds));
    }

    // Numbers.
    const struct {
      CatalogueNumber column;
      std::size_t b, e;
      const std::vector<double>* values;
      const char* what;
    } numbers[] = {
        {CatalogueNumber::latitude, 15, 21, &got.latitude, "latitude"},
        {CatalogueNumber::longitude, 21, 27, &got.longitude, "longitude"},
        {CatalogueNumber::magnitude, 28, 32, &got.magnitude, "magnitude"},
    };
    for (const auto& num : numbers) {
      const Span s = field(num.b, num.e);
      const double value = (*num.values)[row];
      if (take_deferred(row, int(num.column), dspan)) {
        if (dspan.begin != s.b || dspan.end != s.e)
          fail(row, num.what, "deferred span differs from " + show(t, s));
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
    // stripped.
    const Span ns = field(39, line_end - line_begin);
    const auto& name = got.name[row];
    if (ns.b == ns.e) {
      if (!name.empty()) fail(row, "name", "a name where the line has none");
    } else if (name.begin != ns.b || name.end != ns.e) {
      fail(row, "name span", show(t, ns));
    }
    ++row;
    line_begin = line_end;
  }
  if (row != rows) fail(row, "row count", "parser gave more rows than non-blank lines");
  if (!deferred.empty())
    fail(deferred.begin()->first.first, "deferred fields", "a field deferred for no row or column");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int width = data[0] % 3;  // 0: 8-bit, 1: 16-bit, 2: 32-bit units
  const std::size_t palette = width == 0 ? kBelow100 : width == 1 ? kBelow10000 : kAll;
  std::vector<CodePoint> t;
  t.reserve(size);
  for (std::size_t i = 1; i < size; ++i) {
    const std::uint8_t b = data[i];
    t.push_back(b < 0x80 ? props(b) : kPalette[(b - 0x80) % palette]);
  }
  if (width == 0) check<std::uint8_t>(t);
  else if (width == 1) check<std::uint16_t>(t);
  else check<char32_t>(t);
  return 0;
}
