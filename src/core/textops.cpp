#include "core/textops.hpp"

#include <algorithm>
#include <cstring>

namespace kelvane::core {

namespace {
bool namespace_char(unsigned char c) noexcept {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           c == '_' || c == '.' || c == '-';
}
bool ascii_space(unsigned char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
}  // namespace

std::string sanitize_namespace(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool in_run = false;
    for (unsigned char c : text) {
        if (namespace_char(c)) {
            out.push_back(static_cast<char>(c));
            in_run = false;
        } else if (!in_run) {
            out.push_back('_');
            in_run = true;
        }
    }
    return out;
}

std::size_t find_literal(std::string_view text, std::string_view needle) noexcept {
    if (needle.empty() || needle.size() > text.size()) return std::string_view::npos;
    const char first = needle.front();
    const char* base = text.data();
    const char* end = base + (text.size() - needle.size()) + 1;
    const char* p = base;
    while (p < end) {
        const void* hit = std::memchr(p, first, static_cast<std::size_t>(end - p));
        if (!hit) break;
        p = static_cast<const char*>(hit);
        if (std::memcmp(p, needle.data(), needle.size()) == 0)
            return static_cast<std::size_t>(p - base);
        ++p;
    }
    return std::string_view::npos;
}

std::string replace_literal(std::string_view text, std::string_view needle,
                            std::string_view replacement) {
    std::string out;
    if (needle.empty()) return std::string(text);
    std::size_t pos = 0;
    for (;;) {
        std::size_t hit = find_literal(text.substr(pos), needle);
        if (hit == std::string_view::npos) break;
        if (out.empty()) out.reserve(text.size() + replacement.size());
        out.append(text.substr(pos, hit));
        out.append(replacement);
        pos += hit + needle.size();
    }
    out.append(text.substr(pos));
    return out;
}

std::string null_day_text(long long interval_seconds) {
    if (interval_seconds <= 0) return {};
    const long long count = 86400 / interval_seconds;
    if (count <= 0) return {};
    std::string out;
    out.reserve(static_cast<std::size_t>(count) * 5);
    for (long long i = 0; i < count; ++i) {
        if (i) out.push_back(' ');
        out.append("NULL");
    }
    return out;
}

std::string rate_code(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && ascii_space(static_cast<unsigned char>(text[b]))) ++b;
    while (e > b && ascii_space(static_cast<unsigned char>(text[e - 1]))) --e;
    std::string_view t = text.substr(b, e - b);
    t = t.substr(0, std::min(t.find('.'), t.size()));
    std::string code(t);
    if (code.size() >= 2) return code;
    const std::size_t pad = 2 - code.size();
    const bool sign = !code.empty() && (code[0] == '-' || code[0] == '+');
    code.insert(sign ? 1 : 0, pad, '0');
    return code;
}

}  // namespace kelvane::core
