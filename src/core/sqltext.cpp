#include "core/sqltext.hpp"

#include <utility>
#include <vector>

namespace kelvane::core {

std::string sql_quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('\'');
    for (char c : text) {
        if (c == '\'') out.push_back('\'');
        out.push_back(c);
    }
    out.push_back('\'');
    return out;
}

bool is_ascii_digits(std::string_view text) noexcept {
    if (text.empty()) return false;
    for (unsigned char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

std::string compact_day(std::string_view text) {
    std::string digits;
    if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
        digits.append(text.substr(0, 4)).append(text.substr(5, 2)).append(text.substr(8, 2));
    } else if (text.size() == 8) {
        digits.assign(text);
    } else {
        return {};
    }
    if (!is_ascii_digits(digits)) return {};
    auto number = [&](std::size_t at, std::size_t width) {
        int v = 0;
        for (std::size_t i = at; i < at + width; ++i) v = v * 10 + (digits[i] - '0');
        return v;
    };
    const int year = number(0, 4), month = number(4, 2), day = number(6, 2);
    if (year < 1900 || year > 2261 || month < 1 || month > 12 || day < 1) return {};
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return {};
    return digits;
}

namespace {

constexpr std::size_t kNone = std::string_view::npos;

bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool starts_name(char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool in_name(char c) noexcept { return starts_name(c) || is_digit(c) || c == '$'; }

std::size_t skip_space(std::string_view s, std::size_t i) noexcept {
    while (i < s.size() && is_space(s[i])) ++i;
    return i;
}

// End of the quoted text or name opening at s[i] ('...', "..." or `...`, the
// quote doubled inside), or kNone when it is not closed.
std::size_t quoted_end(std::string_view s, std::size_t i) noexcept {
    const char quote = s[i];
    for (std::size_t j = i + 1; j < s.size(); ++j) {
        if (s[j] != quote) continue;
        if (j + 1 < s.size() && s[j + 1] == quote) {
            ++j;
            continue;
        }
        return j + 1;
    }
    return kNone;
}

// End of the text, name or comment opening at s[i], i itself when none
// opens there, kNone when it runs to the end of the statement.
std::size_t opaque_end(std::string_view s, std::size_t i) noexcept {
    const char c = s[i];
    if (c == '\'' || c == '"' || c == '`') return quoted_end(s, i);
    if (c == '[') {
        const std::size_t close = s.find(']', i + 1);
        return close == kNone ? kNone : close + 1;
    }
    if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
        const std::size_t eol = s.find('\n', i + 2);
        return eol == kNone ? kNone : eol + 1;
    }
    if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
        const std::size_t close = s.find("*/", i + 2);
        return close == kNone ? kNone : close + 2;
    }
    return i;
}

// End of the column name at s[i] (NAME or NAME.NAME...), or kNone.
std::size_t name_end(std::string_view s, std::size_t i) noexcept {
    if (i >= s.size() || !starts_name(s[i])) return kNone;
    std::size_t j = i;
    for (;;) {
        while (j < s.size() && in_name(s[j])) ++j;
        if (j + 1 < s.size() && s[j] == '.' && starts_name(s[j + 1])) {
            ++j;
            continue;
        }
        return j;
    }
}

// End of the literal at s[i]: a quoted text, or [+-]digits[.digits] not run
// on into a name or another number; kNone otherwise.
std::size_t literal_end(std::string_view s, std::size_t i) noexcept {
    if (i >= s.size()) return kNone;
    if (s[i] == '\'') return quoted_end(s, i);
    std::size_t j = i;
    if (s[j] == '-' || s[j] == '+') ++j;
    const std::size_t digits = j;
    while (j < s.size() && is_digit(s[j])) ++j;
    if (j == digits) return kNone;
    if (j < s.size() && s[j] == '.') {
        ++j;
        while (j < s.size() && is_digit(s[j])) ++j;
    }
    if (j < s.size() && (in_name(s[j]) || s[j] == '.' || s[j] == '\'')) return kNone;
    return j;
}

// The chain "C=v OR C=v ... )" from s[i] (just after an opening
// parenthesis): its column, its literals and the position after the closing
// parenthesis. False when the group is anything else.
bool read_chain(std::string_view s, std::size_t i, std::string_view& column,
                std::vector<std::string_view>& values, std::size_t& end) {
    values.clear();
    i = skip_space(s, i);
    for (;;) {
        const std::size_t after_name = name_end(s, i);
        if (after_name == kNone) return false;
        const std::string_view name = s.substr(i, after_name - i);
        if (values.empty()) {
            column = name;
        } else if (name != column) {
            return false;
        }
        i = skip_space(s, after_name);
        if (i >= s.size() || s[i] != '=') return false;
        i = skip_space(s, i + 1);
        const std::size_t after_value = literal_end(s, i);
        if (after_value == kNone) return false;
        values.push_back(s.substr(i, after_value - i));
        i = skip_space(s, after_value);
        if (i < s.size() && s[i] == ')') {
            end = i + 1;
            return values.size() >= 2;
        }
        if (i + 2 < s.size() && (s[i] == 'O' || s[i] == 'o') && (s[i + 1] == 'R' || s[i + 1] == 'r') &&
            is_space(s[i + 2])) {
            i = skip_space(s, i + 2);
            continue;
        }
        return false;
    }
}

}  // namespace

bool flatten_or_chains(std::string_view sql, std::string& out) {
    std::string result;
    std::size_t copied = 0;  // sql[0, copied) is in result already
    std::string_view column;
    std::vector<std::string_view> values;
    std::size_t i = 0;
    while (i < sql.size()) {
        const std::size_t skipped = opaque_end(sql, i);
        if (skipped == kNone) break;
        if (skipped != i) {
            i = skipped;
            continue;
        }
        std::size_t end = 0;
        if (sql[i] == '(' && read_chain(sql, i + 1, column, values, end)) {
            result.append(sql.substr(copied, i - copied));
            result += '(';
            result.append(column);
            result += " IN (";
            for (std::size_t k = 0; k < values.size(); ++k) {
                if (k) result += ',';
                result.append(values[k]);
            }
            result += "))";
            i = copied = end;
            continue;
        }
        ++i;
    }
    if (copied == 0) return false;
    result.append(sql.substr(copied));
    out = std::move(result);
    return true;
}

}  // namespace kelvane::core
