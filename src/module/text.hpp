// UTF-8 text helpers shared by the schema test, the pattern parser and the
// representations: whole code points, never bytes.
#pragma once

#include <string>
#include <string_view>

namespace veldrin {

// Decodes the code point starting at byte `i` (the text is valid UTF-8,
// since it always comes from a Python str) and advances `i` past it.
char32_t next_code_point(std::string_view s, size_t& i) noexcept;

// Appends the UTF-8 encoding of `c`.
void append_utf8(std::string& out, char32_t c);

// Whole texts as code points and back; malformed bytes decode to U+FFFD
// (text taken from a str is always well formed).
std::u32string decode_utf8(std::string_view s);
std::string encode_utf8(std::u32string_view s);

// Unicode White_Space.
bool is_white_space(char32_t c) noexcept;

inline bool contains(std::string_view s, std::string_view what) noexcept {
    return s.find(what) != std::string_view::npos;
}

// Removes White_Space characters from both ends.
std::string_view trim(std::string_view s) noexcept;

// The text between double quotes with backslash escapes: \\ \" \t \r \n \0,
// and \u{hex} for Grapheme_Extend and non-printable characters.
std::string escaped_quoted(std::string_view s);

}  // namespace veldrin
