// Literals: the small value language shared by `where` conditions and by the
// property maps of pattern strings.
//
//   integers   42, -3, 123456789012345678901234567890   (any size)
//   floats     1.5, -2.0e3, .5, 1e-9
//   strings    'text' or "text", with the escapes \\ \' \" \n \t \r \0,
//              \u{1F600} (1 to 6 hex digits) and \u00e9 (exactly 4)
//   keywords   true, false, null                          (any letter case)
//   lists      [lit, lit, ...], nested at most kMaxNesting levels
//   parameters $name, where the reader is asked to accept them: a query
//              parameter, alone or inside a list, whose value comes later
//
// A literal is a plain C++ value; Python objects are made from it on demand,
// new ones at every call.  The reader works on code points, so every position
// counts characters from 0.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors/syntax_error.hpp"
#include "module/py.hpp"

namespace veldrin {

// Bound on nesting (lists, and in conditions parentheses and NOT as well).
constexpr size_t kMaxNesting = 100;

// Longest integer literal, in digits.
constexpr size_t kMaxIntDigits = 4300;

enum class LiteralKind { Null, Bool, Int, Float, String, List, Parameter };

struct Literal {
    LiteralKind kind = LiteralKind::Null;
    bool flag = false;           // Bool
    double number = 0.0;         // Float
    std::string text;            // Int: an optional '-' and decimal digits; String: UTF-8;
                                 // Parameter: the name
    std::vector<Literal> items;  // List
};

// Names are [A-Za-z_][A-Za-z0-9_]*.
inline bool is_name_start(char32_t c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
inline bool is_name_char(char32_t c) noexcept { return is_name_start(c) || (c >= '0' && c <= '9'); }
// Is a parameter reference, '$' and a name, at `pos`?
inline bool at_parameter(std::u32string_view text, size_t pos) noexcept {
    return pos + 1 < text.size() && text[pos] == '$' && is_name_start(text[pos + 1]);
}
// Is the lower-case `word` at `pos`, in any letter case, as a whole word
// (not followed by a name character)?
bool word_at(std::u32string_view text, size_t pos, std::string_view word) noexcept;

// Does a literal start exactly at `pos`?  (A digit, '.' or '-' followed by a
// digit, a quote, '[', or one of the three keywords as a whole word; with
// `parameters`, also '$' followed by a name.)
bool at_literal(std::u32string_view text, size_t pos, bool parameters = false) noexcept;

// Reads one literal starting exactly at `pos` (no white space is skipped
// before it; inside lists white space is free).  On success stores it in
// `out`, moves `pos` just past it and returns true.  On failure returns false
// with `pos` at the offending character (the opening quote of an
// unterminated string, the end of the text when it ends too early) and the
// code and offending text in `error` (whose grammar, the text the literal is
// part of, the caller has set), without a position; a list nested past
// kMaxNesting is SyntaxCode::NestedTooDeep.  `depth` is the number of
// nesting levels already open around the literal.  With `parameters`,
// `$name` is read as a parameter; otherwise a '$' is no literal.
bool read_literal(std::u32string_view text, size_t& pos, Literal& out, SyntaxError& error,
                  size_t depth = 0, bool parameters = false);

// Does the literal name a parameter, itself or in a list?
bool names_parameters(const Literal& lit) noexcept;

// A new Python object for a literal that names no parameter: None, bool,
// int, float, str, or a new list of new objects.
Ref literal_to_object(const Literal& lit);

// Reads a whole property map "{key: literal, ...}": keys are names or quoted
// strings, `{}` is allowed, white space is free, and of two equal keys the
// later value wins (at the earlier key's place).  A malformed map throws a
// SyntaxError of Grammar::PropertyMap whose position counts characters from
// the map's first one, plus `position_base` (the map's place in a larger
// text).  With `parameters`, a
// value may be or hold a parameter (`{name: $name}`).
std::vector<std::pair<std::string, Literal>> parse_property_map(std::string_view utf8,
                                                                size_t position_base = 0,
                                                                bool parameters = false);

}  // namespace veldrin
