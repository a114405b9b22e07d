// The filter language of `ews ls --where`: a small expression language that the tool compiles to
// the library's restriction objects.
//
//   expr       := orExpr
//   orExpr     := andExpr { "or" andExpr }
//   andExpr    := unary { "and" unary }
//   unary      := "not" unary | "(" expr ")" | "exists" FIELD | predicate
//   predicate  := FIELD op VALUE | FIELD "contains" VALUE | FIELD "startswith" VALUE
//   op         := "=" | "==" | "!=" | "<>" | "<" | "<=" | ">" | ">="
//   VALUE      := 'text' | "text" (backslash escapes \\ \' \") | true | false | number
//               | date-time (2024-05-01 or 2024-05-01T10:00:00Z) | a bare word (taken as text)
//
// Keywords are case-insensitive. `&&`, `||` and `!` are accepted for and, or, not.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace ewscli {

// A filter that does not parse: the message names the position (1-based column) and what was
// expected there.
class FilterError : public std::runtime_error {
 public:
  FilterError(const std::string& message, std::size_t column)
      : std::runtime_error(message), column_(column) {}
  std::size_t Column() const { return column_; }

 private:
  std::size_t column_;
};

struct FilterValue {
  enum class Kind { Text, Boolean, Integer, Number, DateTime };
  Kind kind = Kind::Text;
  std::string text;  // the value as written (unquoted for texts)
  bool boolean = false;
  long long integer = 0;
  double number = 0;
};

struct FilterNode {
  enum class Kind { And, Or, Not, Compare, Contains, StartsWith, Exists };
  enum class Op { Eq, Ne, Lt, Le, Gt, Ge };
  Kind kind = Kind::Compare;
  Op op = Op::Eq;
  std::string field;                                  // Compare, Contains, StartsWith, Exists
  FilterValue value;                                  // Compare, Contains, StartsWith
  std::vector<std::unique_ptr<FilterNode>> children;  // And, Or (two or more), Not (one)
};
using FilterNodePtr = std::unique_ptr<FilterNode>;

// How deeply "not" and parentheses may nest.
constexpr int kMaxFilterDepth = 64;

// Parses a filter; raises FilterError on any syntax error or nesting deeper than
// kMaxFilterDepth.
FilterNodePtr ParseFilter(const std::string& text);

// The tree written back in a normal form (fully parenthesised), for messages and tests.
std::string FilterToString(const FilterNode& node);

}  // namespace ewscli
