// Quoting of SQL literals and the digits test, against a character-by-character
// model; the OR-chain flattening on any text: it leaves a text without a chain
// alone and leaves no chain behind.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/sqltext.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  std::string expected = "'";
  for (char c : text) {
    expected += c;
    if (c == '\'') expected += '\'';
  }
  expected += '\'';
  if (kelvane::core::sql_quoted(text) != expected) std::abort();

  bool digits = !text.empty();
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  if (kelvane::core::is_ascii_digits(text) != digits) std::abort();

  std::string flat = "untouched";
  if (kelvane::core::flatten_or_chains(text, flat)) {
    std::string again = "untouched";
    if (kelvane::core::flatten_or_chains(flat, again)) std::abort();
  } else if (flat != "untouched") {
    std::abort();
  }
  return 0;
}
