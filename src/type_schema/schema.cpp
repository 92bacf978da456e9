// The schema test.
//
// A schema is read afresh from its text at every test, by cutting it into
// smaller schema texts.  Sub-schemas are always wrapped in dollar signs
// before they are tested again, so inside an arrow "*" is a wildcard and
// "(name:sub)" a capture group.  Nothing is copied: a schema is a view into
// the caller's text plus a flag saying whether it stands between dollars
// that the test itself added ("$" + body + "$").
//
// Rules, the first that applies decides:
//   "$*$"                      any type
//   "$Name$" (no "->", ":", "(")  the variable Name, compared untrimmed
//   "$( ... )$"                 a group when the two parentheses match each
//                               other: with a ":" at the group's own top
//                               level it captures (name before the colon,
//                               sub-schema after it); without one it only
//                               groups, and its trimmed inside is tested
//   anything with "->"         split at the first arrow outside parentheses
//                               (arrows associate to the right), after
//                               dropping the dollars and one pair of
//                               matching outer parentheses
//   anything else              a plain name: the variable named by the whole
//                               trimmed text, dollars and all
// Nesting is bounded (kMaxSchemaNesting): a schema that needs deeper
// recursion matches nothing, so no text can exhaust the C stack.
#include "type_schema/schema.hpp"

#include "module/text.hpp"

namespace veldrin {

void CaptureTable::insert(std::string name, TypeRef type) {
    for (auto& [existing, value] : entries_) {
        if (existing == name) {
            value = std::move(type);
            return;
        }
    }
    entries_.emplace_back(std::move(name), std::move(type));
}

namespace {

constexpr int kMaxSchemaNesting = 1000;

// Does the "(" at s[0] match the ")" at s[size - 1]?
bool outer_parentheses_match(std::string_view s) {
    if (s.size() < 2 || s.front() != '(' || s.back() != ')') return false;
    long depth = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '(') ++depth;
        if (s[i] == ')' && --depth == 0) return i == s.size() - 1;
    }
    return false;
}

// Position of the first ":" outside parentheses, or npos.
size_t top_level_colon(std::string_view s) {
    long depth = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '(')
            ++depth;
        else if (s[i] == ')')
            --depth;
        else if (s[i] == ':' && depth == 0)
            return i;
    }
    return std::string_view::npos;
}

// Position of the first "->" at depth 0, or npos.
size_t top_level_arrow(std::string_view s) {
    long depth = 0;
    for (size_t i = 0; i + 1 < s.size(); ++i) {
        if (s[i] == '(')
            ++depth;
        else if (s[i] == ')')
            --depth;
        else if (s[i] == '-' && s[i + 1] == '>' && depth == 0)
            return i;
    }
    return std::string_view::npos;
}

bool plain_name(std::string_view text, const TypeRef& t, bool wrapped) {
    if (!t.is_variable()) return false;
    const std::string& name = t.name();
    if (!wrapped) return name == text;
    return name.size() == text.size() + 2 && name.front() == '$' && name.back() == '$' &&
           std::string_view(name).substr(1, text.size()) == text;
}

bool test(std::string_view body, bool wrapped, const TypeRef& t, CaptureTable* captures,
          int nesting);

// A sub-schema: always wrapped in dollars.
bool test_wrapped(std::string_view body, const TypeRef& t, CaptureTable* captures, int nesting) {
    return test(body, true, t, captures, nesting + 1);
}

bool test(std::string_view body, bool wrapped, const TypeRef& t, CaptureTable* captures,
          int nesting) {
    if (nesting > kMaxSchemaNesting) return false;
    if (wrapped) {
        if (body == "*") return true;
        bool has_arrow = contains(body, "->");
        if (!has_arrow && !contains(body, ":") && !contains(body, "(")) {
            return t.is_variable() && t.name() == body;
        }
        if (outer_parentheses_match(body)) {
            std::string_view group = body.substr(1, body.size() - 2);
            size_t colon = top_level_colon(group);
            if (colon == std::string_view::npos) {
                return test_wrapped(trim(group), t, captures, nesting);
            }
            std::string_view name = trim(group.substr(0, colon));
            std::string_view sub = trim(group.substr(colon + 1));
            if (!test_wrapped(sub, t, captures, nesting)) return false;
            if (captures) captures->insert(std::string(name), t);
            return true;
        }
        if (!has_arrow) return plain_name(body, t, wrapped);
    } else if (!contains(body, "->")) {
        return plain_name(body, t, wrapped);
    }
    // An arrow pattern.
    std::string_view rest = body;
    if (rest.empty()) return false;
    if (outer_parentheses_match(rest)) rest = rest.substr(1, rest.size() - 2);
    size_t arrow = top_level_arrow(rest);
    if (arrow == std::string_view::npos) return false;
    if (!t.is_application()) return false;
    std::string_view left = trim(rest.substr(0, arrow));
    std::string_view right = trim(rest.substr(arrow + 2));
    if (!test_wrapped(left, t.left(), captures, nesting)) return false;
    return test_wrapped(right, t.right(), captures, nesting);
}

}  // namespace

bool schema_test(std::string_view schema, const TypeRef& type, CaptureTable* captures) {
    std::string_view s = trim(schema);
    // Dollars at both ends make the rest of the text the body; a single "$"
    // has no body and matches nothing.
    if (s.size() >= 2 && s.front() == '$' && s.back() == '$') {
        return test(s.substr(1, s.size() - 2), true, type, captures, 0);
    }
    if (s == "$") return false;
    return test(s, false, type, captures, 0);
}

}  // namespace veldrin
