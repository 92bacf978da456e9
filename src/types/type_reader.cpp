// The concrete-type reader: a type written out as text ("A -> B",
// "(A -> B) -> C") read back into a type value.  Iterative apart from
// parentheses, which are bounded (kMaxTypeParentheses).
#include "types/type_reader.hpp"

#include <vector>

#include "module/text.hpp"

namespace veldrin {

namespace {

constexpr int kMaxTypeParentheses = 200;

// The whole character starting at byte `i`.
std::string character_at(std::string_view s, size_t i) {
    size_t end = i;
    next_code_point(s, end);
    return std::string(s.substr(i, end - i));
}

struct TypeReader {
    std::string_view s;
    size_t i = 0;
    std::string why;

    void skip_space() {
        while (i < s.size()) {
            size_t next = i;
            if (!is_white_space(next_code_point(s, next))) break;
            i = next;
        }
    }
    bool at_arrow() const { return s.substr(i, 2) == "->"; }

    // type := atom { "->" atom }, folded to the right.
    TypeRef type(int parens) {
        std::vector<TypeRef> atoms;
        while (true) {
            TypeRef a = atom(parens);
            if (!a) return {};
            atoms.push_back(std::move(a));
            skip_space();
            if (!at_arrow()) break;
            i += 2;
        }
        TypeRef t = atoms.back();
        for (size_t k = atoms.size() - 1; k-- > 0;) t = TypeRef::application(atoms[k], t);
        return t;
    }

    TypeRef atom(int parens) {
        skip_space();
        if (i >= s.size()) {
            why = "a type is missing";
            return {};
        }
        if (s[i] == '(') {
            if (parens >= kMaxTypeParentheses) {
                why = "the type is nested too deeply";
                return {};
            }
            ++i;
            TypeRef inner = type(parens + 1);
            if (!inner) return {};
            skip_space();
            if (i >= s.size() || s[i] != ')') {
                why = "a parenthesis is not closed";
                return {};
            }
            ++i;
            return inner;
        }
        size_t start = i;
        while (i < s.size() && !at_arrow() && s[i] != '(' && s[i] != ')') {
            size_t next = i;
            if (is_white_space(next_code_point(s, next))) break;
            i = next;
        }
        std::string_view name = s.substr(start, i - start);
        if (name.empty()) {
            why = "unexpected '" + character_at(s, i) + "' in the type";
            return {};
        }
        if (name == "*") {
            why = "a wildcard is no concrete type";
            return {};
        }
        if (name.find(':') != std::string_view::npos) {
            why = "a capture group is no concrete type";
            return {};
        }
        return TypeRef::variable(std::string(name));
    }
};

}  // namespace

TypeRef concrete_type(std::string_view schema, std::string& why) {
    if (schema.size() < 2 || schema.front() != '$' || schema.back() != '$' ||
        schema.substr(1, schema.size() - 2).find('$') != std::string_view::npos) {
        why = "a schema is no concrete type";
        return {};
    }
    TypeReader r{trim(schema.substr(1, schema.size() - 2)), 0, {}};
    TypeRef t = r.type(0);
    if (t) {
        r.skip_space();
        if (r.i < r.s.size()) {
            r.why = "unexpected '" + character_at(r.s, r.i) + "' in the type";
            t = {};
        }
    }
    why = r.why;
    return t;
}

}  // namespace veldrin
