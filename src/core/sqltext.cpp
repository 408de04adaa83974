#include "core/sqltext.hpp"

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

}  // namespace kelvane::core
