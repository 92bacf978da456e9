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
    SyntaxError why{Grammar::TypeText};

    TypeRef fail(SyntaxCode code, std::string text = {}) {
        why.code = code;
        why.text = std::move(text);
        return {};
    }

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
        if (i >= s.size()) return fail(SyntaxCode::MissingType);
        if (s[i] == '(') {
            if (parens >= kMaxTypeParentheses) return fail(SyntaxCode::TypeNestedTooDeep);
            ++i;
            TypeRef inner = type(parens + 1);
            if (!inner) return {};
            skip_space();
            if (i >= s.size() || s[i] != ')') return fail(SyntaxCode::UnclosedParenthesis);
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
        if (name.empty()) return fail(SyntaxCode::UnexpectedInType, character_at(s, i));
        if (name == "*") return fail(SyntaxCode::WildcardIsNoType);
        if (name.find(':') != std::string_view::npos) return fail(SyntaxCode::CaptureIsNoType);
        return TypeRef::variable(std::string(name));
    }
};

}  // namespace

TypeRef concrete_type(std::string_view schema, SyntaxError& why) {
    bool plain = schema.size() >= 2 && schema.front() == '$' && schema.back() == '$' &&
                 schema.substr(1, schema.size() - 2).find('$') == std::string_view::npos;
    TypeReader r{plain ? trim(schema.substr(1, schema.size() - 2)) : std::string_view()};
    TypeRef t;
    if (!plain) {
        r.fail(SyntaxCode::SchemaIsNoType);
    } else if ((t = r.type(0))) {
        r.skip_space();
        if (r.i < r.s.size()) t = r.fail(SyntaxCode::UnexpectedInType, character_at(r.s, r.i));
    }
    why = std::move(r.why);
    return t;
}

}  // namespace veldrin
