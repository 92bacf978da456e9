#include "module/text.hpp"

#include <cstdio>

#include "module/kept.hpp"
#include "module/py.hpp"

namespace veldrin {

char32_t next_code_point(std::string_view s, size_t& i) noexcept {
    auto b = static_cast<unsigned char>(s[i]);
    int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
    char32_t c = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
    ++i;
    for (int k = 0; k < extra && i < s.size(); ++k, ++i) {
        c = (c << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
    }
    return c;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::u32string decode_utf8(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        int extra = b < 0x80           ? 0
                    : (b >> 5) == 0x6  ? 1
                    : (b >> 4) == 0xE  ? 2
                    : (b >> 3) == 0x1E ? 3
                                       : -1;
        char32_t c = extra == 0 ? b : extra == 1 ? b & 0x1F : extra == 2 ? b & 0x0F : b & 0x07;
        bool ok = extra >= 0 && i + extra < s.size();
        for (int k = 1; ok && k <= extra; ++k) {
            auto n = static_cast<unsigned char>(s[i + k]);
            ok = (n & 0xC0) == 0x80;
            c = (c << 6) | (n & 0x3F);
        }
        if (!ok) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        out.push_back(c);
        i += extra + 1;
    }
    return out;
}

std::string encode_utf8(std::u32string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char32_t c : s) append_utf8(out, c);
    return out;
}

bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

namespace {
// Start of the code point that ends at byte `end` (exclusive).
size_t previous_start(std::string_view s, size_t end) noexcept {
    size_t i = end - 1;
    while (i > 0 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
    return i;
}

// Grapheme_Extend: the nonspacing and enclosing marks (categories Mn and
// Me) and the Other_Grapheme_Extend characters listed here.
bool is_other_grapheme_extend(char32_t c) noexcept {
    static const char32_t singles[] = {0x09BE,  0x09D7,  0x0B3E,  0x0B57,  0x0BBE,  0x0BD7, 0x0CC2,
                                       0x0D3E,  0x0D57,  0x0DCF,  0x0DDF,  0x1B35,  0x200C, 0x1133E,
                                       0x11357, 0x114B0, 0x114BD, 0x115AF, 0x11930, 0x1D165};
    for (char32_t s : singles) {
        if (c == s) return true;
    }
    return (c >= 0x0CD5 && c <= 0x0CD6) || (c >= 0x302E && c <= 0x302F) ||
           (c >= 0xFF9E && c <= 0xFF9F) || (c >= 0x1D16E && c <= 0x1D172) ||
           (c >= 0xE0020 && c <= 0xE007F);
}

bool is_grapheme_extend(char32_t c) {
    if (c < 0x300) return false;
    if (is_other_grapheme_extend(c)) return true;
    // The general category comes from the interpreter's Unicode database.
    static constinit Kept category{[] {
        Ref module = Ref::steal(PyImport_ImportModule("unicodedata"));
        return Ref::steal(PyObject_GetAttrString(module.get(), "category"));
    }};
    Ref ch = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
    Ref cat = Ref::steal(PyObject_CallOneArg(category.get(), ch.get()));
    const char* text = PyUnicode_AsUTF8(cat.get());
    if (!text) throw_pending();
    return text[0] == 'M' && (text[1] == 'n' || text[1] == 'e');
}

// Printable, as the interpreter's str.isprintable() has it: every character
// but those of the categories Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs (the plain
// space excepted).
bool is_printable(char32_t c) noexcept { return Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(c)); }
}  // namespace

std::string_view trim(std::string_view s) noexcept {
    size_t begin = 0;
    while (begin < s.size()) {
        size_t next = begin;
        if (!is_white_space(next_code_point(s, next))) break;
        begin = next;
    }
    size_t end = s.size();
    while (end > begin) {
        size_t start = previous_start(s, end);
        size_t probe = start;
        if (!is_white_space(next_code_point(s, probe))) break;
        end = start;
    }
    return s.substr(begin, end - begin);
}

std::string escaped_quoted(std::string_view s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        size_t start = i;
        char32_t c = next_code_point(s, i);
        switch (c) {
            case '\\':
                out += "\\\\";
                continue;
            case '"':
                out += "\\\"";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case 0:
                out += "\\0";
                continue;
            default:
                break;
        }
        if (is_grapheme_extend(c) || !is_printable(c)) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
            out += buf;
        } else {
            out.append(s.substr(start, i - start));
        }
    }
    out += "\"";
    return out;
}

}  // namespace veldrin
