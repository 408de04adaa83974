// Text kernels of the metadata cache and the data fetch: cache namespaces,
// literal replacement and the text of a day without valid samples.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace kelvane::core {

// Every run of characters outside [0-9A-Za-z_.-] becomes one "_". Works on
// UTF-8: a multi-byte character is a run of bytes outside the set, so a run of
// such characters still gives a single "_". The caller strips white space.
std::string sanitize_namespace(std::string_view text);

// Position of the first occurrence of needle (non-empty) in text, or npos.
std::size_t find_literal(std::string_view text, std::string_view needle) noexcept;

// text with every non-overlapping occurrence of needle (non-empty), scanned
// from the left, replaced by replacement.
std::string replace_literal(std::string_view text, std::string_view needle,
                            std::string_view replacement);

// The word NULL repeated 86400 / interval times, separated by single blanks;
// the empty text for an interval of zero or less.
std::string null_day_text(long long interval_seconds);

// The code of a rate value as text: surrounding white space stripped, cut at
// the first ".", left-padded with "0" to two characters (a leading sign stays
// in front, as str.zfill does).
std::string rate_code(std::string_view text);

}  // namespace kelvane::core
