// Small text helpers for generated SQL.
#pragma once
#include <string>
#include <string_view>

namespace kelvane::core {

// A quoted SQL literal with every single quote doubled: O'Neil -> 'O''Neil'.
std::string sql_quoted(std::string_view text);

// True for a non-empty text of ASCII digits only.
bool is_ascii_digits(std::string_view text) noexcept;

// The eight digits year, month, day of a text that is a calendar date
// written "YYYYMMDD" or "YYYY-MM-DD" with a year from 1900 to 2261, the
// digits the date-range condition of a statement takes; the empty text for
// anything else (which the caller leaves to a full date parser).
std::string compact_day(std::string_view text);

// Writes into `out` the statement `sql` with every parenthesised group that
// holds nothing but a chain of two or more equalities of one column with
// literals, "(C=v1 OR C=v2 OR ...)", written as the same condition
// "(C IN (v1,v2,...))", and returns true; returns false, leaving `out` alone,
// when there is no such group. SQLite parses a chain as a tree as deep as the
// chain is long and refuses trees deeper than its hard limit (1000); an IN
// list is flat. A literal is a quoted text or a number written with digits
// (a sign and a fraction allowed); the column a name, possibly qualified.
// Quoted texts, quoted names and comments are never read as groups.
bool flatten_or_chains(std::string_view sql, std::string& out);

}  // namespace kelvane::core
