// The pattern-string parser.
//
// A pattern string is scanned character by character (whole code points)
// into parts: node parts in parentheses and edge parts (dashes, arrow heads
// and one bracketed body) between them.  Two depth counters decide where a
// character goes: inside parentheses it belongs to the node, inside brackets
// to the edge (parentheses there included, so a term type such as
// "(A -> B) -> C" stays whole; they must balance within the brackets).  Inside a property map's
// braces a quoted string is read whole, so a ")", "]" or "}" in quotes closes nothing.
//
// Each part is then turned into a pattern: an inner text
// "variable:type {properties}", a type text wrapped in dollars to make a
// schema, and for edges a direction read from the dashes and arrow heads
// outside the brackets.
#include "patterns/parser.hpp"

#include "errors/model_error.hpp"
#include "module/text.hpp"

namespace veldrin {

namespace {

enum class PartKind { Node, Edge };

struct Part {
    PartKind kind;
    std::string text;
};

[[noreturn]] void fail(std::string_view pattern, std::string reason) {
    throw ModelError::invalid_pattern(std::string(pattern), std::move(reason));
}

// Reads the text of property maps: braces (nested ones counted) and quoted
// strings inside them, where a backslash escapes the next character.
class MapReader {
public:
    void open() { brace_ = 1; }
    // Is `c` part of a map (inside braces or quotes, the closing brace
    // included)?  Consumes it if so.
    bool consume(char32_t c) {
        if (quote_) {
            if (escaped_) {
                escaped_ = false;
            } else if (c == '\\') {
                escaped_ = true;
            } else if (c == quote_) {
                quote_ = 0;
            }
            return true;
        }
        if (brace_ == 0) return false;
        if (c == '\'' || c == '"') {
            quote_ = c;
        } else if (c == '{') {
            ++brace_;
        } else if (c == '}') {
            --brace_;
        }
        return true;
    }

private:
    long brace_ = 0;
    char32_t quote_ = 0;
    bool escaped_ = false;
};

// Splits the trimmed pattern into parts.
std::vector<Part> scan(std::string_view p) {
    std::vector<Part> parts;
    std::string node, edge;
    long paren = 0, bracket = 0;
    // Parentheses inside brackets stay edge text but must still balance
    // within their bracketed body.
    long edge_paren = 0;
    bool edge_paren_unmatched = false;
    MapReader map;
    auto flush_edge = [&] {
        std::string_view t = trim(edge);
        if (!t.empty()) parts.push_back({PartKind::Edge, std::string(t)});
        edge.clear();
    };
    for (size_t i = 0; i < p.size();) {
        size_t start = i;
        char32_t c = next_code_point(p, i);
        std::string_view ch = p.substr(start, i - start);
        std::string& current = paren > 0 ? node : edge;
        if (map.consume(c)) {
            current.append(ch);
            continue;
        }
        switch (c) {
            case '\t':
            case '\n':
            case '\r':
            case ' ':
                if (paren > 0)
                    node.append(ch);
                else if (bracket > 0)
                    edge.append(ch);
                continue;
            case '(':
                if (paren == 0 && bracket > 0) {
                    edge.append(ch);
                    ++edge_paren;
                } else if (paren == 0 && bracket == 0) {
                    flush_edge();
                    node = "(";
                    paren = 1;
                } else {
                    ++paren;
                    node.append(ch);
                }
                continue;
            case ')':
                if (paren == 0 && bracket > 0) {
                    edge.append(ch);
                    if (--edge_paren < 0) edge_paren_unmatched = true;
                    continue;
                }
                node.append(ch);
                --paren;
                if (paren == 0 && bracket == 0) {
                    parts.push_back({PartKind::Node, node});
                    node.clear();
                }
                continue;
            case '-':
            case '<':
            case '>':
                (paren != 0 ? node : edge).append(ch);
                continue;
            case '[':
            case ']':
                if (paren == 0) {
                    edge.append(ch);
                    bracket += c == '[' ? 1 : -1;
                    if (bracket == 0) {
                        edge_paren_unmatched |= edge_paren != 0;
                        edge_paren = 0;
                    }
                } else {
                    node.append(ch);
                }
                continue;
            case '{':
                if (paren > 0 || bracket > 0) {
                    current.append(ch);
                    map.open();
                    continue;
                }
                break;
            default:
                break;
        }
        if (paren >= 1) {
            node.append(ch);
        } else if (bracket >= 1) {
            edge.append(ch);
        } else {
            fail(p,
                 "Unexpected character '" + std::string(ch) + "' outside of node or edge pattern");
        }
    }
    if (paren != 0 || edge_paren != 0 || edge_paren_unmatched) {
        fail(p, "Unmatched parentheses in pattern");
    }
    if (bracket != 0) fail(p, "Unmatched brackets in pattern");
    if (!edge.empty()) fail(p, "Pattern cannot end with an edge");
    return parts;
}

// Reads "variable:type {properties}" into a part.
void read_inner(std::string_view part, std::string_view inner, ParsedPart& out, bool parameters) {
    size_t brace = inner.find('{');
    if (brace != std::string_view::npos) {
        std::string_view map = trim(inner.substr(brace));
        // Positions in a map's errors count characters of the whole part,
        // which the message quotes; `map` is a view into `part`.
        size_t base =
            decode_utf8(part.substr(0, static_cast<size_t>(map.data() - part.data()))).size();
        try {
            out.properties = parse_property_map(map, base, parameters);
        } catch (ModelError& e) {
            e.first = std::string(part);
            throw;
        }
        inner = trim(inner.substr(0, brace));
    }
    std::string_view variable = inner, type;
    size_t colon = inner.find(':');
    if (colon != std::string_view::npos) {
        variable = trim(inner.substr(0, colon));
        type = trim(inner.substr(colon + 1));
    }
    if (!variable.empty()) out.variable = std::string(variable);
    if (!type.empty()) {
        out.schema = contains(type, "$") ? std::string(type) : "$" + std::string(type) + "$";
    }
}

ParsedPart node_part(std::string_view text, bool parameters) {
    std::string_view t = trim(text);
    if (t.size() < 2 || t.front() != '(' || t.back() != ')') {
        fail(t, "Node pattern must be enclosed in parentheses");
    }
    ParsedPart out;
    read_inner(t, trim(t.substr(1, t.size() - 2)), out, parameters);
    return out;
}

// Number of bracketed bodies at the top level of an edge text, quoted
// strings in property maps skipped.
int bracketed_bodies(std::string_view e) {
    int bodies = 0;
    long depth = 0;
    MapReader map;
    for (size_t i = 0; i < e.size();) {
        char32_t c = next_code_point(e, i);
        if (map.consume(c)) continue;
        if (c == '{' && depth > 0) {
            map.open();
        } else if (c == '[') {
            if (depth++ == 0) ++bodies;
        } else if (c == ']') {
            --depth;
        }
    }
    return bodies;
}

ParsedPart edge_part(std::string_view text, bool parameters) {
    std::string_view e = trim(text);
    size_t open = e.find('[');
    size_t close = e.rfind(']');
    // The direction comes from the dashes and arrow heads outside the
    // brackets; the bracketed body (a term type may hold "->") never counts.
    std::string_view before = open == std::string_view::npos ? e : e.substr(0, open);
    std::string_view after =
        (open == std::string_view::npos || close == std::string_view::npos || close < open)
            ? std::string_view()
            : e.substr(close + 1);
    if (open != std::string_view::npos && (close == std::string_view::npos || close < open)) {
        before = e;  // no usable body: the whole text is outside
    }
    bool arrow = contains(before, "->") || contains(after, "->");
    ParsedPart out;
    if (!e.empty() && e.front() == '<' &&
        (arrow || contains(before, "-") || contains(after, "-"))) {
        if (arrow) fail(e, "Cannot have both <- and -> in same edge");
        out.direction = "backward";
    } else {
        out.direction = (arrow || (!e.empty() && e.back() == '>')) ? "forward" : "any";
    }
    if (open == std::string_view::npos) fail(e, "Edge pattern must contain brackets");
    if (close == std::string_view::npos) fail(e, "Edge pattern must contain closing bracket");
    if (close < open) fail(e, "Brackets are mismatched");
    if (bracketed_bodies(e) > 1) fail(e, "Edge patterns must be separated by a node pattern");
    read_inner(e, trim(e.substr(open + 1, close - open - 1)), out, parameters);
    return out;
}

}  // namespace

ParsedPath parse_pattern_text(std::string_view text, bool parameters) {
    std::string_view p = trim(text);
    if (p.empty()) fail("", "Pattern cannot be empty");
    ParsedPath path;
    for (const Part& part : scan(p)) {
        if (part.kind == PartKind::Node)
            path.nodes.push_back(node_part(part.text, parameters));
        else
            path.edges.push_back(edge_part(part.text, parameters));
    }
    if (path.nodes.empty()) fail(p, "Pattern must contain at least one node");
    if (path.edges.size() >= path.nodes.size()) {
        fail(p, "Invalid pattern: too many edges for the number of nodes");
    }
    return path;
}

}  // namespace veldrin

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
