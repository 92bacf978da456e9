// The schema test.
//
// A schema is cut into smaller schema texts by the rules below, each of which
// becomes one node of a tree.  Sub-schemas are always taken as wrapped in
// dollar signs, so inside an arrow "*" is a wildcard and "(name:sub)" a
// capture group.  The tree is read once, when the schema is made; a test then
// walks tree and type side by side.
//
// Rules for a piece of text, the first that applies decides:
//   "$*$"                      any type
//   "$Name$" (no "->", ":", "(")  the variable Name, compared untrimmed
//   "$( ... )$"                 a group when the two parentheses match each
//                               other: with a ":" at the group's own top
//                               level it captures (name before the colon,
//                               sub-schema after it); without one it only
//                               groups, and its trimmed inside is read
//   anything with "->"         split at the first arrow outside parentheses
//                               (arrows associate to the right), after
//                               dropping the dollars and one pair of
//                               matching outer parentheses
//   anything else              a plain name: the variable named by the whole
//                               trimmed text, dollars and all
// Nesting is bounded (kMaxSchemaNesting): a schema that needs deeper nesting
// matches nothing.
//
// Reading in linear time.  The rules ask of a piece: does it contain "->",
// ":" or "("; do its outer parentheses match each other; where is the first
// ":" or "->" at its own top level.  One pass over the whole text answers
// these for every piece: it lists the special characters, the matching ")"
// and first top-level ":" of each "(", and for each "->" the parenthesis
// balance before it, so that the first top-level arrow of a piece is the
// first arrow at or after its start with the balance of its start.  Pieces
// are read in text order, so each question moves a cursor forward through
// one of these lists, and reading costs O(n) in all.
//
// A successful test visits every node (no rule tries alternatives), so a
// piece that fits no rule, or lies deeper than the bound, makes the whole
// schema match nothing, and reading stops there.
#include "type_schema/schema.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "module/text.hpp"

namespace veldrin {

struct Schema::Reading {
    struct Node {
        enum class Kind : unsigned char { Any, Name, DollarName, Capture, Arrow };
        Kind kind;
        // Name: the variable's name; DollarName: the name between its
        // dollars; Capture: the capture name.  A range of `text`.
        size_t begin = 0, size = 0;
        // Arrow: the index of the right side.  The left side of an arrow and
        // the sub-schema of a capture follow their node.
        size_t right = 0;
    };

    std::string text;
    bool matches_nothing = false;
    std::vector<Node> nodes;  // in pre-order; nodes[0] is the root
};

namespace {

using Node = Schema::Reading::Node;
using Kind = Node::Kind;

constexpr size_t kMaxSchemaNesting = 1000;

// The first index in [cursor, end) of sorted `v` whose key is at least `a`,
// kept in `cursor`.  Pieces are read in text order (a piece starts no earlier
// than the piece read before it), so the cursor only moves forward and passes
// each entry once; a query that goes back is answered by a binary search.
template <class V, class Key>
size_t seek(const V& v, size_t& cursor, size_t begin, size_t end, size_t a, Key key) {
    if (cursor > begin && key(v[cursor - 1]) >= a) {
        cursor = static_cast<size_t>(
            std::partition_point(v.begin() + static_cast<std::ptrdiff_t>(begin),
                                 v.begin() + static_cast<std::ptrdiff_t>(cursor),
                                 [&](const auto& x) { return key(x) < a; }) -
            v.begin());
    }
    while (cursor < end && key(v[cursor]) < a) ++cursor;
    return cursor;
}

// Where the special characters of a text are.  `Pos` is the smallest type
// that holds every position.
template <class Pos>
class TextIndex {
public:
    static constexpr size_t kNone = std::numeric_limits<size_t>::max();

    explicit TextIndex(std::string_view t) : t_(t) {
        std::vector<Pos> unclosed;           // indexes into opens_
        std::vector<std::int64_t> balances;  // before each arrow
        std::int64_t balance = 0;
        for (size_t i = 0; i < t.size(); ++i) {
            char c = t[i];
            if (c == '(') {
                unclosed.push_back(static_cast<Pos>(opens_.size()));
                opens_.push_back({static_cast<Pos>(i), kNonePos, kNonePos});
                ++balance;
            } else if (c == ')') {
                closes_.push_back(static_cast<Pos>(i));
                if (!unclosed.empty()) {
                    opens_[unclosed.back()].close = static_cast<Pos>(i);
                    unclosed.pop_back();
                }
                --balance;
            } else if (c == ':') {
                colons_.push_back(static_cast<Pos>(i));
                if (!unclosed.empty() && opens_[unclosed.back()].colon == kNonePos) {
                    opens_[unclosed.back()].colon = static_cast<Pos>(i);
                }
            } else if (c == '-' && i + 1 < t.size() && t[i + 1] == '>') {
                arrows_.push_back(static_cast<Pos>(i));
                balances.push_back(balance);
            }
        }
        // Arrows grouped by the balance before them (a counting sort), each
        // group in text order.
        if (arrows_.empty()) return;
        low_ = *std::min_element(balances.begin(), balances.end());
        size_t groups =
            static_cast<size_t>(*std::max_element(balances.begin(), balances.end()) - low_ + 1);
        group_begin_.assign(groups + 1, 0);
        for (std::int64_t b : balances) ++group_begin_[static_cast<size_t>(b - low_) + 1];
        for (size_t g = 0; g < groups; ++g) group_begin_[g + 1] += group_begin_[g];
        level_cursor_.assign(group_begin_.begin(), group_begin_.end() - 1);
        std::vector<size_t> fill(level_cursor_);
        by_level_.resize(arrows_.size());
        for (size_t k = 0; k < arrows_.size(); ++k) {
            by_level_[fill[static_cast<size_t>(balances[k] - low_)]++] = arrows_[k];
        }
    }

    size_t arrows() const noexcept { return arrows_.size(); }
    size_t colons() const noexcept { return colons_.size(); }

    // Does [a, b) hold a whole "->", a ":", a "("?
    bool has_arrow(size_t a, size_t b) const {
        size_t k = seek(arrows_, arrow_cursor_, 0, arrows_.size(), a, position);
        return k < arrows_.size() && arrows_[k] + size_t{2} <= b;
    }
    bool has_colon(size_t a, size_t b) const {
        size_t k = seek(colons_, colon_cursor_, 0, colons_.size(), a, position);
        return k < colons_.size() && colons_[k] < b;
    }
    bool has_open(size_t a, size_t b) const {
        size_t k = first_open(a);
        return k < opens_.size() && opens_[k].at < b;
    }

    // Is [a, b) "(...)" with the two outer parentheses matching each other?
    bool outer_parentheses_match(size_t a, size_t b) const {
        if (b - a < 2 || t_[a] != '(' || t_[b - 1] != ')') return false;
        return opens_[first_open(a)].close == b - 1;
    }

    // The first ":" directly inside the "(" at a (which has its match).
    size_t top_level_colon(size_t a) const {
        Pos colon = opens_[first_open(a)].colon;
        return colon == kNonePos ? kNone : colon;
    }

    // The first "->" of [a, b) outside parentheses opened within [a, b),
    // counting from a depth of zero at a: the first arrow at or after a with
    // the parenthesis balance of a.
    size_t top_level_arrow(size_t a, size_t b) const {
        std::int64_t balance =
            static_cast<std::int64_t>(first_open(a)) -
            static_cast<std::int64_t>(seek(closes_, close_cursor_, 0, closes_.size(), a, position));
        if (arrows_.empty() || balance < low_ ||
            static_cast<size_t>(balance - low_) + 1 >= group_begin_.size()) {
            return kNone;
        }
        size_t g = static_cast<size_t>(balance - low_);
        size_t end = group_begin_[g + 1];
        size_t k = seek(by_level_, level_cursor_[g], group_begin_[g], end, a, position);
        return k < end && by_level_[k] + size_t{2} <= b ? by_level_[k] : kNone;
    }

private:
    static constexpr Pos kNonePos = std::numeric_limits<Pos>::max();
    struct Open {
        Pos at, close, colon;
    };
    static size_t position(Pos p) { return p; }

    size_t first_open(size_t a) const {
        return seek(opens_, open_cursor_, 0, opens_.size(), a,
                    [](const Open& o) { return size_t{o.at}; });
    }

    std::string_view t_;
    std::vector<Open> opens_;
    std::vector<Pos> closes_, colons_, arrows_;
    std::int64_t low_ = 0;             // the lowest balance before an arrow
    std::vector<size_t> group_begin_;  // balance low_ + g: by_level_[group_begin_[g], [g + 1])
    std::vector<Pos> by_level_;
    mutable size_t open_cursor_ = 0, close_cursor_ = 0, colon_cursor_ = 0, arrow_cursor_ = 0;
    mutable std::vector<size_t> level_cursor_;
};

// Reads a text into nodes, iteratively.  Returns false when the schema
// matches nothing.
template <class Pos>
class Reader {
public:
    Reader(std::string_view t, std::vector<Node>& nodes) : t_(t), index_(t), nodes_(nodes) {}

    bool read() {
        // Every node but the root stands for an arrow's side or a capture's
        // sub-schema.
        nodes_.reserve(2 * index_.arrows() + index_.colons() + 1);
        auto [a, b] = trimmed(0, t_.size());
        // Dollars at both ends make the rest of the text the body; a single
        // "$" has no body and matches nothing.
        if (b - a >= 2 && t_[a] == '$' && t_[b - 1] == '$') {
            pending_.push_back({a + 1, b - 1, 0, true, kNoPatch});
        } else if (b - a == 1 && t_[a] == '$') {
            return false;
        } else {
            pending_.push_back({a, b, 0, false, kNoPatch});
        }
        while (!pending_.empty()) {
            Task task = pending_.back();
            pending_.pop_back();
            if (task.patch != kNoPatch) {
                nodes_[task.patch].right = nodes_.size();
            } else if (!piece(task.a, task.b, task.wrapped, task.nesting)) {
                return false;
            }
        }
        return true;
    }

private:
    static constexpr size_t kNoPatch = std::numeric_limits<size_t>::max();
    static constexpr size_t kNone = TextIndex<Pos>::kNone;

    // Read the piece [a, b), or set the right-side index of node `patch`.
    struct Task {
        size_t a, b, nesting;
        bool wrapped;
        size_t patch;
    };

    std::pair<size_t, size_t> trimmed(size_t a, size_t b) const {
        std::string_view s = trim(t_.substr(a, b - a));
        size_t begin = static_cast<size_t>(s.data() - t_.data());
        return {begin, begin + s.size()};
    }

    void sub(std::pair<size_t, size_t> range, size_t nesting) {
        pending_.push_back({range.first, range.second, nesting + 1, true, kNoPatch});
    }

    size_t emit(Kind kind, size_t a = 0, size_t b = 0) {
        nodes_.push_back({kind, a, b - a, 0});
        return nodes_.size() - 1;
    }

    bool piece(size_t a, size_t b, bool wrapped, size_t nesting) {
        if (nesting > kMaxSchemaNesting) return false;
        if (wrapped) {
            if (b - a == 1 && t_[a] == '*') {
                emit(Kind::Any);
                return true;
            }
            bool has_arrow = index_.has_arrow(a, b);
            if (!has_arrow && !index_.has_colon(a, b) && !index_.has_open(a, b)) {
                emit(Kind::Name, a, b);
                return true;
            }
            if (index_.outer_parentheses_match(a, b)) {
                size_t colon = index_.top_level_colon(a);
                if (colon == kNone) {
                    sub(trimmed(a + 1, b - 1), nesting);
                } else {
                    auto [name_begin, name_end] = trimmed(a + 1, colon);
                    emit(Kind::Capture, name_begin, name_end);
                    sub(trimmed(colon + 1, b - 1), nesting);
                }
                return true;
            }
            if (!has_arrow) {
                emit(Kind::DollarName, a, b);
                return true;
            }
        } else if (!index_.has_arrow(a, b)) {
            emit(Kind::Name, a, b);
            return true;
        }
        // An arrow pattern.
        if (index_.outer_parentheses_match(a, b)) {
            ++a;
            --b;
        }
        size_t arrow = index_.top_level_arrow(a, b);
        if (arrow == kNone) return false;
        size_t self = emit(Kind::Arrow);
        sub(trimmed(arrow + 2, b), nesting);  // read last
        pending_.push_back({0, 0, 0, true, self});
        sub(trimmed(a, arrow), nesting);  // read first, right after its node
        return true;
    }

    std::string_view t_;
    TextIndex<Pos> index_;
    std::vector<Node>& nodes_;
    std::vector<Task> pending_;
};

template <class Pos>
bool read_schema(std::string_view text, std::vector<Node>& nodes) {
    return Reader<Pos>(text, nodes).read();
}

}  // namespace

Schema::Schema(std::string text) {
    auto reading = std::make_shared<Reading>();
    reading->text = std::move(text);
    std::string_view t = reading->text;
    bool readable = t.size() < std::numeric_limits<std::uint32_t>::max()
                        ? read_schema<std::uint32_t>(t, reading->nodes)
                        : read_schema<std::uint64_t>(t, reading->nodes);
    if (!readable) {
        reading->matches_nothing = true;
        reading->nodes.clear();
        reading->nodes.shrink_to_fit();
    }
    reading_ = std::move(reading);
}

const std::string& Schema::text() const noexcept { return reading_->text; }

namespace {

// Does a wildcard or a name accept `t`?
bool leaf_holds(const Node& n, std::string_view name, const TypeNode* t) {
    switch (n.kind) {
        case Kind::Any:
            return true;
        case Kind::Name:
            return !t->is_application && t->name == name;
        case Kind::DollarName: {
            if (t->is_application) return false;
            const std::string& actual = t->name;
            return actual.size() == name.size() + 2 && actual.front() == '$' &&
                   actual.back() == '$' && actual.compare(1, name.size(), name) == 0;
        }
        default:
            return false;
    }
}

}  // namespace

bool Schema::test(const TypeRef& type, CaptureTable* captures) const {
    const Reading& r = *reading_;
    if (r.matches_nothing) return false;
    std::string_view text = r.text;
    auto name_of = [&](const Node& n) { return text.substr(n.begin, n.size); };
    if (r.nodes.size() == 1) return leaf_holds(r.nodes[0], name_of(r.nodes[0]), type.node());
    if (!captures) {
        // Without captures nothing is kept: the type is read through its
        // nodes, which the caller's reference keeps alive, and the pending
        // steps live on the stack until they outgrow it.
        struct Step {
            size_t node;
            const TypeNode* type;
        };
        constexpr size_t kOnStack = 32;
        Step local[kOnStack];
        std::vector<Step> spilled;
        size_t top = 0;
        auto push = [&](Step s) {
            if (top < kOnStack) {
                local[top++] = s;
            } else {
                spilled.push_back(s);
            }
        };
        push({0, type.node()});
        while (top > 0) {
            Step step;
            if (!spilled.empty()) {
                step = spilled.back();
                spilled.pop_back();
            } else {
                step = local[--top];
            }
            const Node& n = r.nodes[step.node];
            if (n.kind == Kind::Capture) {
                push({step.node + 1, step.type});
            } else if (n.kind == Kind::Arrow) {
                if (!step.type->is_application) return false;
                push({n.right, step.type->right});
                push({step.node + 1, step.type->left});
            } else if (!leaf_holds(n, name_of(n), step.type)) {
                return false;
            }
        }
        return true;
    }
    // Each step tests a node against a type or, for a capture whose
    // sub-schema held, records what it met.
    struct Step {
        size_t node;
        TypeRef type;
        bool record;
    };
    std::vector<Step> pending{{0, type, false}};
    while (!pending.empty()) {
        Step step = std::move(pending.back());
        pending.pop_back();
        const Node& n = r.nodes[step.node];
        if (step.record) {
            captures->insert(std::string(name_of(n)), std::move(step.type));
        } else if (n.kind == Kind::Capture) {
            if (captures) pending.push_back({step.node, step.type, true});
            pending.push_back({step.node + 1, std::move(step.type), false});
        } else if (n.kind == Kind::Arrow) {
            if (!step.type.is_application()) return false;
            pending.push_back({n.right, step.type.right(), false});
            pending.push_back({step.node + 1, step.type.left(), false});
        } else if (!leaf_holds(n, name_of(n), step.type.node())) {
            return false;
        }
    }
    return true;
}

}  // namespace veldrin
