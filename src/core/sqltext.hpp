// Small text helpers for generated SQL.
#pragma once
#include <string>
#include <string_view>

namespace kelvane::core {

// A quoted SQL literal with every single quote doubled: O'Neil -> 'O''Neil'.
std::string sql_quoted(std::string_view text);

// True for a non-empty text of ASCII digits only.
bool is_ascii_digits(std::string_view text) noexcept;

}  // namespace kelvane::core
