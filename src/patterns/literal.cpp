#include "patterns/literal.hpp"

#include <tuple>

#include "errors/failure.hpp"
#include "module/text.hpp"
#include "type_schema/keyed_entries.hpp"

namespace veldrin {

bool word_at(std::u32string_view t, size_t pos, std::string_view word) noexcept {
    if (pos > t.size() || t.size() - pos < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i) {
        char32_t c = t[pos + i];
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        if (c != static_cast<char32_t>(word[i])) return false;
    }
    size_t end = pos + word.size();
    return end == t.size() || !is_name_char(t[end]);
}

namespace {

bool is_digit(char32_t c) noexcept { return c >= '0' && c <= '9'; }

int hex_value(char32_t c) noexcept {
    if (is_digit(c)) return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

class Reader {
public:
    Reader(std::u32string_view t, size_t& pos, SyntaxError& error, bool parameters)
        : t_(t), pos_(pos), error_(error), parameters_(parameters) {}

    bool literal(Literal& out, size_t depth) {
        if (pos_ >= t_.size()) return fail(pos_, SyntaxCode::ExpectedLiteral);
        char32_t c = t_[pos_];
        if (c == '\'' || c == '"') return string(out);
        if (c == '[') return list(out, depth);
        if (is_digit(c) || c == '-' || c == '.') return number(out);
        if (parameters_ && at_parameter(t_, pos_)) return parameter(out);
        for (auto [word, kind, flag] : {std::tuple{"null", LiteralKind::Null, false},
                                        std::tuple{"true", LiteralKind::Bool, true},
                                        std::tuple{"false", LiteralKind::Bool, false}}) {
            if (word_at(t_, pos_, word)) {
                out = Literal{kind, flag, 0.0, {}, {}};
                pos_ += std::string_view(word).size();
                return true;
            }
        }
        return fail(pos_, SyntaxCode::ExpectedLiteral);
    }

private:
    std::u32string_view t_;
    size_t& pos_;
    SyntaxError& error_;
    bool parameters_;

    bool fail(size_t at, SyntaxCode code, std::string text = {}) {
        pos_ = at;
        error_.code = code;
        error_.text = std::move(text);
        return false;
    }
    bool more() const noexcept { return pos_ < t_.size(); }
    void skip_space() noexcept {
        while (more() && is_white_space(t_[pos_])) ++pos_;
    }
    size_t digits(std::string& s) {
        size_t n = 0;
        for (; more() && is_digit(t_[pos_]); ++pos_, ++n) s += static_cast<char>(t_[pos_]);
        return n;
    }

    // -?(digits(.digits)?|.digits)([eE][+-]?digits)?, not run on into a name.
    bool number(Literal& out) {
        size_t start = pos_;
        std::string s;
        if (t_[pos_] == '-') s += static_cast<char>(t_[pos_++]);
        size_t whole = digits(s);
        bool is_float = false;
        if (more() && t_[pos_] == '.' && pos_ + 1 < t_.size() && is_digit(t_[pos_ + 1])) {
            s += static_cast<char>(t_[pos_++]);
            digits(s);
            is_float = true;
        } else if (whole == 0) {
            return fail(start, SyntaxCode::InvalidNumber);
        }
        if (more() && (t_[pos_] == 'e' || t_[pos_] == 'E')) {
            s += 'e';
            ++pos_;
            if (more() && (t_[pos_] == '+' || t_[pos_] == '-')) s += static_cast<char>(t_[pos_++]);
            if (digits(s) == 0) return fail(start, SyntaxCode::InvalidNumber);
            is_float = true;
        }
        if (more() && (is_name_char(t_[pos_]) || t_[pos_] == '.'))
            return fail(start, SyntaxCode::InvalidNumber);
        out = Literal{};
        if (is_float) {
            // The interpreter's own conversion: correctly rounded, infinite
            // past the range, independent of the C locale.
            out.kind = LiteralKind::Float;
            out.number = PyOS_string_to_double(s.c_str(), nullptr, nullptr);
            if (out.number == -1.0 && PyErr_Occurred()) throw_pending();
        } else {
            // The interpreter converts at most 4300 digits by default; a
            // longer literal is refused here, where its position is known.
            if (s.size() - (s[0] == '-') > kMaxIntDigits) {
                return fail(start, SyntaxCode::IntegerTooLong);
            }
            out.kind = LiteralKind::Int;
            out.text = std::move(s);
        }
        return true;
    }

    bool string(Literal& out) {
        size_t start = pos_;
        char32_t quote = t_[pos_++];
        std::string s;
        for (;;) {
            if (!more()) return fail(start, SyntaxCode::UnterminatedString);
            char32_t c = t_[pos_++];
            if (c == quote) break;
            if (c == '\\') {
                size_t esc = pos_ - 1;
                if (!more()) return fail(start, SyntaxCode::UnterminatedString);
                char32_t e = t_[pos_++];
                switch (e) {
                    case '\\':
                    case '\'':
                    case '"':
                        c = e;
                        break;
                    case 'n':
                        c = '\n';
                        break;
                    case 't':
                        c = '\t';
                        break;
                    case 'r':
                        c = '\r';
                        break;
                    case '0':
                        c = 0;
                        break;
                    case 'u':
                        if (!unicode_escape(c)) return fail(esc, SyntaxCode::InvalidUnicodeEscape);
                        break;
                    default: {
                        std::string escaped;
                        append_utf8(escaped, e);
                        return fail(esc, SyntaxCode::InvalidEscape, std::move(escaped));
                    }
                }
            }
            append_utf8(s, c);
        }
        out = Literal{LiteralKind::String, false, 0.0, std::move(s), {}};
        return true;
    }

    // After "\u": "{1 to 6 hex digits}" or exactly four hex digits; no surrogates.
    bool unicode_escape(char32_t& c) {
        bool braced = more() && t_[pos_] == '{';
        if (braced) ++pos_;
        size_t n = 0;
        c = 0;
        for (; more() && hex_value(t_[pos_]) >= 0 && n < (braced ? 6u : 4u); ++pos_, ++n) {
            c = c * 16 + static_cast<char32_t>(hex_value(t_[pos_]));
        }
        if (braced ? (n == 0 || !more() || t_[pos_++] != '}') : n != 4) return false;
        return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
    }

    // "$" and a name.
    bool parameter(Literal& out) {
        size_t start = ++pos_;
        while (more() && is_name_char(t_[pos_])) ++pos_;
        out = Literal{
            LiteralKind::Parameter, false, 0.0, encode_utf8(t_.substr(start, pos_ - start)), {}};
        return true;
    }

    bool list(Literal& out, size_t depth) {
        if (depth + 1 > kMaxNesting) return fail(pos_, SyntaxCode::NestedTooDeep);
        ++pos_;
        Literal result{LiteralKind::List, false, 0.0, {}, {}};
        skip_space();
        if (more() && t_[pos_] == ']') {
            ++pos_;
            out = std::move(result);
            return true;
        }
        for (;;) {
            skip_space();
            Literal item;
            if (!literal(item, depth + 1)) return false;
            result.items.push_back(std::move(item));
            skip_space();
            if (!more()) return fail(pos_, SyntaxCode::ExpectedListEnd);
            char32_t c = t_[pos_++];
            if (c == ']') break;
            if (c != ',') return fail(pos_ - 1, SyntaxCode::ExpectedListSeparator);
        }
        out = std::move(result);
        return true;
    }
};

}  // namespace

bool at_literal(std::u32string_view t, size_t pos, bool parameters) noexcept {
    if (pos >= t.size()) return false;
    char32_t c = t[pos];
    auto digit_at = [&](size_t i) { return i < t.size() && is_digit(t[i]); };
    if (is_digit(c) || c == '\'' || c == '"' || c == '[') return true;
    if (c == '$') return parameters && at_parameter(t, pos);
    if (c == '.') return digit_at(pos + 1);
    if (c == '-')
        return digit_at(pos + 1) || (pos + 1 < t.size() && t[pos + 1] == '.' && digit_at(pos + 2));
    return word_at(t, pos, "null") || word_at(t, pos, "true") || word_at(t, pos, "false");
}

bool read_literal(std::u32string_view text, size_t& pos, Literal& out, SyntaxError& error,
                  size_t depth, bool parameters) {
    return Reader(text, pos, error, parameters).literal(out, depth);
}

bool names_parameters(const Literal& lit) noexcept {
    if (lit.kind == LiteralKind::Parameter) return true;
    return std::any_of(lit.items.begin(), lit.items.end(),
                       [](const Literal& item) { return names_parameters(item); });
}

Ref literal_to_object(const Literal& lit) {
    switch (lit.kind) {
        case LiteralKind::Null:
            return Ref::borrow(Py_None);
        case LiteralKind::Bool:
            return to_bool(lit.flag);
        case LiteralKind::Int:
            return Ref::steal(PyLong_FromString(lit.text.c_str(), nullptr, 10));
        case LiteralKind::Float:
            return Ref::steal(PyFloat_FromDouble(lit.number));
        case LiteralKind::String:
            return to_str(lit.text);
        case LiteralKind::Parameter:
            panic("a parameter has no value of its own");
        case LiteralKind::List:
            break;
    }
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(lit.items.size())));
    for (size_t i = 0; i < lit.items.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        literal_to_object(lit.items[i]).release());
    }
    return list;
}

std::vector<std::pair<std::string, Literal>> parse_property_map(std::string_view utf8,
                                                                size_t position_base,
                                                                bool parameters) {
    const std::u32string t = decode_utf8(utf8);
    size_t pos = 0;
    auto fail = [&](size_t at, SyntaxCode code, std::string text = {}) {
        return SyntaxError{Grammar::PropertyMap, code, position_base + at, std::move(text)};
    };
    auto skip_space = [&] {
        while (pos < t.size() && is_white_space(t[pos])) ++pos;
    };
    auto read = [&](Literal& lit, size_t depth) {
        SyntaxError error{Grammar::PropertyMap};
        if (!read_literal(t, pos, lit, error, depth, parameters)) {
            error.position = position_base + pos;
            throw error;
        }
    };

    std::vector<std::pair<std::string, Literal>> entries;
    skip_space();
    if (pos >= t.size() || t[pos] != '{') throw fail(pos, SyntaxCode::ExpectedMapStart);
    ++pos;
    skip_space();
    bool closed = pos < t.size() && t[pos] == '}';
    if (closed) ++pos;
    while (!closed) {
        skip_space();
        std::string key;
        if (pos < t.size() && is_name_start(t[pos])) {
            size_t start = pos;
            while (pos < t.size() && is_name_char(t[pos])) ++pos;
            key = encode_utf8(t.substr(start, pos - start));
        } else if (pos < t.size() && (t[pos] == '\'' || t[pos] == '"')) {
            Literal quoted;
            read(quoted, 1);
            key = std::move(quoted.text);
        } else {
            throw fail(pos, pos < t.size() ? SyntaxCode::ExpectedKey : SyntaxCode::MapEndsEarly);
        }
        skip_space();
        if (pos >= t.size() || t[pos] != ':') throw fail(pos, SyntaxCode::ExpectedColon, key);
        ++pos;
        skip_space();
        if (!at_literal(t, pos, parameters)) {
            throw fail(pos, SyntaxCode::ExpectedValue, key);
        }
        Literal value;
        read(value, 1);
        entries.emplace_back(std::move(key), std::move(value));
        skip_space();
        if (pos < t.size() && t[pos] == ',') {
            ++pos;
        } else if (pos < t.size() && t[pos] == '}') {
            ++pos;
            closed = true;
        } else {
            throw fail(pos, SyntaxCode::ExpectedMapSeparator);
        }
    }
    skip_space();
    if (pos < t.size()) throw fail(pos, SyntaxCode::TextAfterMap);
    merge_repeated_keys(entries);
    return entries;
}

}  // namespace veldrin
