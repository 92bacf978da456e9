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
//
// An edge may carry one quantifier, making it a path of edges.  After the
// closing arrow: "{m,n}", "{n}", "{m,}", "{,n}", "+" (one or more) and "*"
// (zero or more); the scanner cuts these out of the edge text and the edge
// part reads them.  Inside the brackets, a star ending the variable
// ("fs*1..3", "*", "fs*2", "fs*..4", "fs*2..") or attached to the end of the
// type text ("fs:Knows*1..3", "fs:(A -> B)*2"), with a missing lower bound 1
// and a missing upper bound unbounded.  A star that stands alone, after
// white space, a colon or an opening dollar is a schema wildcard as before.
#include "patterns/parser.hpp"

#include "errors/model_error.hpp"
#include "module/text.hpp"

namespace veldrin {

namespace {

enum class PartKind { Node, Edge };

struct Part {
    PartKind kind;
    std::string text;
    // Edges: the quantifiers after the bracketed body, as byte ranges of
    // `text`, and whether one of them is out of place (before the body's
    // closing bracket, or followed by more of the edge).
    std::vector<std::pair<size_t, size_t>> quantifiers = {};
    bool misplaced = false;
};

// Invalid pattern: the message quotes `pattern` (the whole pattern or the
// part at fault) and gives the problem.
[[noreturn]] void fail(std::string_view pattern, SyntaxCode code, std::string text = {},
                       std::string other = {}) {
    throw ModelError::invalid_pattern(std::string(pattern),
                                      SyntaxError{Grammar::Pattern, code, SyntaxError::kNoPosition,
                                                  std::move(text), std::move(other)});
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
    // The edge being read: its quantifiers, whether its body was closed, and
    // whether a quantifier came too early or was followed by more text.
    std::vector<std::pair<size_t, size_t>> quantifiers;
    bool body_closed = false, misplaced = false;
    auto flush_edge = [&] {
        // Edge text never starts or ends with white space outside brackets.
        if (!trim(edge).empty()) {
            parts.push_back({PartKind::Edge, edge, std::move(quantifiers), misplaced});
        }
        edge.clear();
        quantifiers.clear();
        body_closed = misplaced = false;
    };
    // Text added to the edge outside its brackets after a quantifier.
    auto edge_text = [&](std::string_view ch) {
        if (bracket == 0 && !quantifiers.empty()) misplaced = true;
        edge.append(ch);
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
                if (paren != 0)
                    node.append(ch);
                else
                    edge_text(ch);
                continue;
            case '[':
            case ']':
                if (paren == 0) {
                    edge_text(ch);
                    bracket += c == '[' ? 1 : -1;
                    if (bracket == 0) {
                        edge_paren_unmatched |= edge_paren != 0;
                        edge_paren = 0;
                        body_closed = true;
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
                [[fallthrough]];
            case '+':
            case '*':
                if (paren == 0 && bracket == 0) {
                    // A quantifier: "{...}" up to the next '}', or the one sign.
                    size_t end = i;
                    if (c == '{') {
                        end = p.find('}', i);
                        if (end == std::string_view::npos) fail(p, SyntaxCode::UnclosedQuantifier);
                        ++end;
                    }
                    std::string_view q = p.substr(start, end - start);
                    if (edge.empty()) {
                        if (parts.empty()) fail(q, SyntaxCode::QuantifierWithoutEdge);
                        fail(parts.back().text + std::string(q), SyntaxCode::QuantifierAfterNode);
                    }
                    if (!body_closed) misplaced = true;
                    quantifiers.emplace_back(edge.size(), edge.size() + q.size());
                    edge.append(q);
                    i = end;
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
            fail(p, SyntaxCode::UnexpectedCharacter, std::string(ch));
        }
    }
    if (paren != 0 || edge_paren != 0 || edge_paren_unmatched) {
        fail(p, SyntaxCode::UnmatchedParentheses);
    }
    if (bracket != 0) fail(p, SyntaxCode::UnmatchedBrackets);
    if (!edge.empty()) fail(p, SyntaxCode::EndsWithEdge);
    return parts;
}

[[noreturn]] void bad_bound(std::string_view part, std::string_view text, SyntaxCode code) {
    fail(part, code, std::string(text));
}

// One bound of a quantifier: digits, or nothing (no value).
std::optional<unsigned long long> bound(std::string_view part, std::string_view text) {
    text = trim(text);
    if (text.empty()) return std::nullopt;
    size_t digits = text.front() == '-' ? 1 : 0;
    bool numeric = digits < text.size();
    for (size_t k = digits; k < text.size(); ++k)
        numeric = numeric && text[k] >= '0' && text[k] <= '9';
    if (!numeric) bad_bound(part, text, SyntaxCode::BoundNotANumber);
    if (digits) bad_bound(part, text, SyntaxCode::NegativeBound);
    unsigned long long v = 0;
    for (char d : text) {
        auto digit = static_cast<unsigned long long>(d - '0');
        if (v > (~0ull - digit) / 10) bad_bound(part, text, SyntaxCode::BoundTooLarge);
        v = v * 10 + digit;
    }
    return v;
}

// The bounds of a quantifier: `text` is "{...}", "+" or "*" after the edge
// (`after_arrow`), or what follows the star inside the brackets.
Hops read_hops(std::string_view part, std::string_view text, bool after_arrow) {
    Hops h;
    if (after_arrow && (text == "+" || text == "*")) {
        h.min = text == "+" ? 1 : 0;
        return h;
    }
    if (after_arrow) text = text.substr(1, text.size() - 2);  // inside the braces
    std::string_view range = after_arrow ? "," : "..";
    size_t cut = text.find(range);
    if (cut == std::string_view::npos) {
        std::optional<unsigned long long> n = bound(part, text);
        if (!n && after_arrow) fail(part, SyntaxCode::QuantifierWithoutBounds);
        if (n) h.min = *n;  // the classic star alone: one or more
        h.max = n;
        return h;
    }
    std::optional<unsigned long long> lo = bound(part, text.substr(0, cut));
    h.max = bound(part, text.substr(cut + range.size()));
    h.min = lo ? *lo : after_arrow ? 0 : 1;
    if (h.max && h.min > *h.max) {
        fail(part, SyntaxCode::BoundsReversed, std::to_string(h.min), std::to_string(*h.max));
    }
    return h;
}

// The code point before byte `i` of `s`.
char32_t code_point_before(std::string_view s, size_t i) {
    size_t k = i;
    while (k > 0 && (static_cast<unsigned char>(s[k - 1]) & 0xC0) == 0x80) --k;
    if (k > 0) --k;
    return next_code_point(s, k);
}

// Cuts a classic star quantifier out of an edge's variable or type text,
// adding what follows each star to `stars`.  In the variable, any star
// starts one.  In the type text, the last star does when it is attached to
// a name, a ')' or a closing '$', and nothing after it is schema syntax.
void take_stars(std::string_view& variable, std::string_view& type,
                std::vector<std::string_view>& stars) {
    if (size_t star = variable.find('*'); star != std::string_view::npos) {
        stars.push_back(variable.substr(star + 1));
        variable = trim(variable.substr(0, star));
    }
    size_t star = type.rfind('*');
    if (star == std::string_view::npos || star == 0) return;
    std::string_view after = type.substr(star + 1);
    if (after.find_first_of("()$:>") != std::string_view::npos) return;
    char32_t before = code_point_before(type, star);
    size_t dollars = 0;
    for (size_t k = 0; k < star; ++k) dollars += type[k] == '$';
    bool attached =
        before == ')' ||
        (before == '$' ? dollars % 2 == 0
                       : !is_white_space(before) && std::u32string_view(U":(-<*").find(before) ==
                                                        std::u32string_view::npos);
    if (!attached) return;
    stars.push_back(after);
    type = trim(type.substr(0, star));
}

// Reads "variable:type {properties}" into a part.  With `stars`, the part is
// an edge's, and classic star quantifiers are cut out (see take_stars).
void read_inner(std::string_view part, std::string_view inner, ParsedPart& out, bool parameters,
                std::vector<std::string_view>* stars = nullptr) {
    size_t brace = inner.find('{');
    if (brace != std::string_view::npos) {
        std::string_view map = trim(inner.substr(brace));
        // Positions in a map's errors count characters of the whole part,
        // which the message quotes; `map` is a view into `part`.
        size_t base =
            decode_utf8(part.substr(0, static_cast<size_t>(map.data() - part.data()))).size();
        try {
            out.properties = parse_property_map(map, base, parameters);
        } catch (const SyntaxError& e) {
            throw ModelError::invalid_pattern(std::string(part), e);
        }
        inner = trim(inner.substr(0, brace));
    }
    std::string_view variable = inner, type;
    size_t colon = inner.find(':');
    if (colon != std::string_view::npos) {
        variable = trim(inner.substr(0, colon));
        type = trim(inner.substr(colon + 1));
    }
    if (stars) take_stars(variable, type, *stars);
    if (!variable.empty()) out.variable = std::string(variable);
    if (!type.empty()) {
        out.schema = contains(type, "$") ? std::string(type) : "$" + std::string(type) + "$";
    }
}

ParsedPart node_part(std::string_view text, bool parameters) {
    std::string_view t = trim(text);
    if (t.size() < 2 || t.front() != '(' || t.back() != ')') {
        fail(t, SyntaxCode::NodeWithoutParentheses);
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

ParsedPart edge_part(const Part& part, bool parameters) {
    // The edge's text without its quantifiers decides the direction and the
    // body; messages quote the whole text.
    std::string_view whole = part.text;
    std::string core;
    size_t from = 0;
    for (auto [begin, end] : part.quantifiers) {
        core.append(whole.substr(from, begin - from));
        from = end;
    }
    core.append(whole.substr(from));
    std::string_view e = core;
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
        if (arrow) fail(whole, SyntaxCode::BothDirections);
        out.direction = "backward";
    } else {
        out.direction = (arrow || (!e.empty() && e.back() == '>')) ? "forward" : "any";
    }
    if (open == std::string_view::npos) fail(whole, SyntaxCode::EdgeWithoutBrackets);
    if (close == std::string_view::npos) fail(whole, SyntaxCode::EdgeWithoutClosingBracket);
    if (close < open) fail(whole, SyntaxCode::MismatchedBrackets);
    if (bracketed_bodies(e) > 1) fail(whole, SyntaxCode::EdgesNotSeparated);
    if (part.misplaced) fail(whole, SyntaxCode::MisplacedQuantifier);
    // The body is read in place in the whole text, so that positions in its
    // errors count from the start of what the message quotes.
    size_t body_open = whole.find('[');
    size_t body_close = body_open + (close - open);
    std::vector<std::string_view> stars;
    read_inner(whole, trim(whole.substr(body_open + 1, body_close - body_open - 1)), out,
               parameters, &stars);
    if (stars.size() + part.quantifiers.size() > 1) fail(whole, SyntaxCode::TwoQuantifiers);
    if (!stars.empty()) out.hops = read_hops(whole, stars[0], false);
    if (!part.quantifiers.empty()) {
        auto [begin, end] = part.quantifiers[0];
        out.hops = read_hops(whole, whole.substr(begin, end - begin), true);
    }
    return out;
}

}  // namespace

ParsedPath parse_pattern_text(std::string_view text, bool parameters) {
    std::string_view p = trim(text);
    if (p.empty()) fail("", SyntaxCode::EmptyPattern);
    ParsedPath path;
    for (const Part& part : scan(p)) {
        if (part.kind == PartKind::Node)
            path.nodes.push_back(node_part(part.text, parameters));
        else
            path.edges.push_back(edge_part(part, parameters));
    }
    if (path.nodes.empty()) fail(p, SyntaxCode::NoNode);
    if (path.edges.size() >= path.nodes.size()) {
        fail(p, SyntaxCode::TooManyEdges);
    }
    return path;
}

}  // namespace veldrin
