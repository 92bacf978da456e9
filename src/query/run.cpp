// The query run: walks the plan chain, oldest clause first, against the
// graph's two dictionaries, filling the row table.
//
// Columns are aligned by position only; there is no join.  Matching replaces
// a variable's column, merging appends what it finds, and the row clauses
// (where, with_, order_by, skip, limit) act on positions, on every column at
// once, so alignment is kept.
//
// Walks of the graph's dictionaries happen in place and detect a dictionary
// that changes under them (Python code can run inside a property
// comparison).  Edges are read from their objects without copying their
// records: an Edge's term and end nodes never change, and the walk holds a
// reference to the object and a snapshot of its property dictionary.  Longer
// paths index the edges by their end nodes' types once per clause: a node's
// UID depends on its type alone, so "the same node UID" is "structurally
// equal types", and no digest is computed to join edges.
#include <algorithm>
#include <array>
#include <optional>
#include <unordered_map>
#include <type_traits>
#include <unordered_set>

#include "errors/model_error.hpp"
#include "module/convert.hpp"
#include "module/dict_walk.hpp"
#include "query/query.hpp"
#include "query/values.hpp"

namespace veldrin {

namespace {

struct TypeHash {
    size_t operator()(const TypeRef& t) const { return static_cast<size_t>(type_hash(t.node())); }
};
struct TypeEq {
    bool operator()(const TypeRef& a, const TypeRef& b) const { return a == b; }
};

// A hash of a type's structure (equal for structurally equal types),
// remembered by the type's node.
size_t structural_hash(const TypeNode* t) { return static_cast<size_t>(type_hash(t)); }

// Dense numbers for the node identities a walk meets: structurally equal
// types (equal node UIDs) get one number.  A type node met again is read
// back from the node itself (its walk scratch, marked with this walk); a
// node met first is numbered by its structure, in an open-addressing table
// keyed by the remembered type hash.  Nothing runs Python code while a
// numbering is in use, so no other walk can reuse the scratch meanwhile.
class NodeNumbers {
public:
    explicit NodeNumbers(size_t expected) : mark_(++last_mark_) {
        size_t cap = 16;
        while (cap < expected * 2) cap *= 2;
        by_structure_.assign(cap, Slot{});
    }

    uint32_t number(const TypeRef& t) {
        const TypeNode* key = t.node();
        if (key->walk == mark_) return key->walk_number;
        size_t h = structural_hash(key);
        size_t mask = by_structure_.size() - 1;
        Slot* r = nullptr;
        for (size_t i = (h >> 32 ^ h) & mask;; i = (i + 1) & mask) {
            Slot& s = by_structure_[i];
            if (!s.node || (s.hash == h && type_equal(s.node, key))) {
                r = &s;
                break;
            }
        }
        if (!r->node) *r = Slot{key, h, count_++};
        uint32_t n = r->number;
        if (count_ * 2 > by_structure_.size()) grow();
        key->walk = mark_;
        key->walk_number = n;
        return n;
    }
    size_t size() const { return count_; }

private:
    struct Slot {
        const TypeNode* node = nullptr;
        size_t hash = 0;
        uint32_t number = 0;
    };
    static inline std::uint64_t last_mark_ = 0;
    std::uint64_t mark_;
    std::vector<Slot> by_structure_;
    uint32_t count_ = 0;

    void grow() {
        std::vector<Slot> table(by_structure_.size() * 2);
        size_t mask = table.size() - 1;
        for (const Slot& s : by_structure_) {
            if (!s.node) continue;
            size_t i = (s.hash >> 32 ^ s.hash) & mask;
            while (table[i].node) i = (i + 1) & mask;
            table[i] = s;
        }
        by_structure_.swap(table);
    }
};

// Edge numbers grouped by node number, in edge order (a counting sort).
struct Adjacency {
    std::vector<uint32_t> offsets;  // node number -> first item; one more at the end
    std::vector<uint32_t> items;

    Adjacency(const std::vector<uint32_t>& node_of_edge, size_t n_nodes)
        : offsets(n_nodes + 1, 0), items(node_of_edge.size()) {
        for (uint32_t n : node_of_edge) ++offsets[n + 1];
        for (size_t i = 1; i < offsets.size(); ++i) offsets[i] += offsets[i - 1];
        std::vector<uint32_t> fill(offsets.begin(), offsets.end() - 1);
        for (size_t e = 0; e < node_of_edge.size(); ++e) {
            items[fill[node_of_edge[e]]++] = static_cast<uint32_t>(e);
        }
    }
    const uint32_t* begin(uint32_t n) const { return items.data() + offsets[n]; }
    const uint32_t* end(uint32_t n) const { return items.data() + offsets[n + 1]; }
};

enum class Orientation : unsigned char { Forward, Backward };

// An edge of the edge dictionary as a walk sees it.
struct EdgeView {
    Ref object;             // the Edge, held while Python code may run
    const EdgeRecord* rec;  // its record (term and ends never change)
    PyObject* properties;   // its dictionary when it was read
    Ref hold;               // that dictionary, when Python code may rebind the edge's

    const NodeRecord& from(Orientation o) const {
        return o == Orientation::Forward ? rec->start : rec->end;
    }
    const NodeRecord& to(Orientation o) const {
        return o == Orientation::Forward ? rec->end : rec->start;
    }
    Cell cell() const { return Cell::edge(object, Ref::borrow(properties)); }
};

// Walked backward, an edge whose ends share a node meets the same nodes
// again: an undirected pattern takes such an edge once.
bool redundant(const EdgeRecord& e, Orientation o) {
    return o == Orientation::Backward && e.start.type == e.end.type;
}

struct Ways {
    Orientation first;
    bool both;
    explicit Ways(Direction d)
        : first(d == Direction::Backward ? Orientation::Backward : Orientation::Forward),
          both(d == Direction::Any) {}
    bool forward() const { return first == Orientation::Forward; }
    bool backward() const { return both || first == Orientation::Backward; }
};

// Deletes `key` from `dict`: a key already gone is passed over, any other
// failure is raised.
void delete_key(PyObject* dict, PyObject* key) {
    if (PyDict_DelItem(dict, key) == 0) return;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_pending();
    PyErr_Clear();
}

class Runner {
public:
    Runner(QueryValue& q, RowTable& t) : q_(q), t_(t), symbols_(*q.symbols) {}

    // The parameter values of the clause visited next.
    void use(const ClauseValues& values) { values_ = &values; }

    void operator()(const MatchClause& c) {
        const PatternForm& form = form_of(c.form);
        if (auto* n = std::get_if<NodeForm>(&form)) return match_node(n->node);
        if (auto* e = std::get_if<EdgeForm>(&form)) return match_edge(*e);
        const PathForm& p = std::get<PathForm>(form);
        if (p.nodes.size() == 1 && p.edges.empty()) return match_node(p.nodes[0]);
        if (p.edges.empty() || p.nodes.size() != p.edges.size() + 1) return;
        if (p.edges.size() == 1) return match_single_edge(p);
        match_chain(p);
    }

    void operator()(const WhereClause& c) {
        for (int column : c.condition.columns()) {
            if (!t_.is_bound(column)) throw ModelError::variable_not_found(name(column), "where");
        }
        std::vector<size_t> keep;
        size_t n = t_.row_count();
        for (size_t row = 0; row < n; ++row) {
            if (c.condition.holds(t_, row, values_->condition)) keep.push_back(row);
        }
        if (keep.size() != n) t_.take_positions(keep);
    }

    void operator()(const CreateClause& c) {
        const PatternForm& form = form_of(c.form);
        if (auto* n = std::get_if<NodeForm>(&form)) {
            if (n->node.type) create_node(n->node, n->node.type, false);
        } else if (auto* e = std::get_if<EdgeForm>(&form)) {
            NodeRecord start = first_node(e->start, "create");
            NodeRecord end = first_node(e->end, "create");
            create_edge(e->edge, *e->edge.term, std::move(start), std::move(end), false);
        } else {
            create_path(std::get<PathForm>(form));
        }
    }

    void operator()(const MergeClause& c) {
        const PatternForm& form = form_of(c.form);
        if (auto* n = std::get_if<NodeForm>(&form)) {
            merge_node(n->node, false);
        } else if (auto* e = std::get_if<EdgeForm>(&form)) {
            merge_edge_form(*e);
        } else {
            merge_path(std::get<PathForm>(form));
        }
    }

    void operator()(const SetClause& c) {
        if (!t_.is_bound(c.column) || !c.properties) return;
        Ref values = c.properties;
        const std::vector<Cell>& cells = t_.columns[static_cast<size_t>(c.column)].cells;
        for (size_t i = 0; i < cells.size(); ++i) {
            Ref target = Ref::borrow(cells[i].properties());
            if (!target) continue;
            DictWalk walk(values.get());
            Ref key, value;
            while (walk.next(key, value)) {
                if (PyObject_SetItem(target.get(), key.get(), value.get()) < 0) throw_pending();
            }
        }
    }

    void operator()(const DeleteClause& c) { delete_bound(c); }

    void operator()(const WithClause& c) {
        if (!c.columns.empty()) t_.keep_only(c.columns);
    }

    void operator()(const OrderByClause& c) {
        if (!t_.is_bound(c.column))
            throw ModelError::variable_not_found(name(c.column), "order_by");
        size_t n = t_.row_count();
        // A missing value and an explicit None are both null: they sort last
        // ascending and first descending, in their order.
        std::vector<PyObject*> keys(n, nullptr);
        std::vector<Ref> held;
        for (size_t row = 0; row < n && c.key; ++row) {
            const Cell* v = t_.at(c.column, row);
            if (!v || !v->properties()) continue;
            PyObject* found = PyDict_GetItemWithError(v->properties(), c.key.get());
            if (!found && PyErr_Occurred()) throw_pending();
            if (!found || found == Py_None) continue;
            held.push_back(Ref::borrow(found));
            keys[row] = found;
        }
        std::vector<size_t> order(n);
        for (size_t i = 0; i < n; ++i) order[i] = i;
        bool ascending = c.ascending;
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            PyObject* ka = keys[a];
            PyObject* kb = keys[b];
            if (!ka || !kb) return ascending ? (ka && !kb) : (!ka && kb);
            int cmp = order_compare(ka, kb);
            return ascending ? cmp < 0 : cmp > 0;
        });
        t_.take_positions(order);
    }

    void operator()(const LimitClause& c) {
        size_t n = t_.row_count();
        if (c.count >= n) return;
        std::vector<size_t> keep(static_cast<size_t>(c.count));
        for (size_t i = 0; i < keep.size(); ++i) keep[i] = i;
        t_.take_positions(keep);
    }

    void operator()(const SkipClause& c) {
        size_t n = t_.row_count();
        if (c.count == 0 || n == 0) return;
        std::vector<size_t> keep;
        for (size_t i = c.count < n ? static_cast<size_t>(c.count) : n; i < n; ++i)
            keep.push_back(i);
        t_.take_positions(keep);
    }

private:
    QueryValue& q_;
    RowTable& t_;
    const Symbols& symbols_;
    const ClauseValues* values_ = nullptr;

    // The clause's form, with its parameters' values when it names any.
    const PatternForm& form_of(const PatternForm& queued) const {
        return values_->form ? *values_->form : queued;
    }

    PyObject* nodes() const { return q_.nodes.get(); }
    PyObject* edges() const { return q_.edges.get(); }
    const std::string& name(int column) const { return symbols_.name(column); }

    // Builders for the columns of one clause, in binding order; of several
    // for one column, the last (whose cells stay bound) takes over old cells.
    std::vector<ColumnBuilder> builders_for(const std::vector<int>& columns) const {
        std::vector<ColumnBuilder> out;
        out.reserve(columns.size());
        for (size_t i = 0; i < columns.size(); ++i) {
            bool last = std::find(columns.begin() + static_cast<long>(i) + 1, columns.end(),
                                  columns[i]) == columns.end();
            out.emplace_back(t_, columns[i], last);
        }
        return out;
    }
    template <size_t N>
    std::array<ColumnBuilder, N> builders(const std::array<int, N>& columns) const {
        std::vector<ColumnBuilder> v =
            builders_for(std::vector<int>(columns.begin(), columns.end()));
        return [&]<size_t... I>(std::index_sequence<I...>) {
            return std::array<ColumnBuilder, N>{std::move(v[I])...};
        }(std::make_index_sequence<N>{});
    }
    // Every builder finishes, then the columns are bound in order (a
    // variable named twice keeps the later cells).
    void bind_all(std::initializer_list<ColumnBuilder*> builders) {
        bind_all(std::vector<ColumnBuilder*>(builders));
    }
    void bind_all(const std::vector<ColumnBuilder*>& builders) {
        std::vector<std::vector<Cell>> cells;
        cells.reserve(builders.size());
        for (ColumnBuilder* b : builders) cells.push_back(b->finish(t_));
        for (size_t i = 0; i < builders.size(); ++i) {
            if (builders[i]->column() >= 0) t_.replace(builders[i]->column(), std::move(cells[i]));
        }
    }
    void bind_one(int column, Cell cell) {
        if (column < 0) return;
        std::vector<Cell> one;
        one.push_back(std::move(cell));
        t_.replace(column, std::move(one));
    }

    // The first node bound to `column`, or VariableNotFound.
    NodeRecord first_node(int column, const char* context) {
        if (t_.is_bound(column)) {
            for (const Cell& c : t_.columns[static_cast<size_t>(column)].cells) {
                if (c.is_node()) return c.node_record();
            }
        }
        throw ModelError::variable_not_found(name(column), context);
    }

    // ---- walks --------------------------------------------------------------

    // Visits the candidates of a node pattern in node-dictionary order until
    // `visit(object, type, properties)` returns true: the nodes of `type` when
    // one is given (a lookup that checks every entry; `object` is then null),
    // else every Node object, read while the dictionary is walked.  What a
    // visit gets is held for its duration (the dictionary only when the visit
    // `may_run_python`).  Returns whether a visit stopped the walk.
    template <class Visit>
    bool for_each_candidate(const TypeRef& type, bool may_run_python, Visit visit) {
        if (type) {
            for (NodeRecord& n : nodes_of_type(nodes(), type)) {
                if (visit(nullptr, n.type, n.properties.get())) return true;
            }
            return false;
        }
        Ref dict = q_.nodes;
        PyTypeObject* node_type = node_class();
        DictValueWalk walk(dict.get());
        Ref value;
        while (walk.next(value)) {
            PyObject* o = value.get();
            if (!is_instance(o, node_type)) raise_cast_error(o, "Node", nullptr);
            NodeRecord& rec = payload<NodeRecord>(o);
            PyObject* properties;
            {
                SharedBorrow reading(o);
                properties = record_properties(rec);
            }
            // Python code run by a visit could rebind the node's dictionary:
            // then the visit gets its own reference to it.
            Ref hold = may_run_python ? Ref::borrow(properties) : Ref();
            if (visit(o, rec.type, properties)) return true;
        }
        return false;
    }

    // Visits every edge in edge-dictionary order, until `visit(edge)` (or
    // `visit(edge, key)`, the key borrowed) returns true.  The edge's dictionary is held when
    // `hold_properties` says a visit may run Python code or keep the view.  A value that is not an
    // Edge fails the walk, or is passed over when `skip_foreign` is set.
    template <class Visit>
    bool for_each_edge(bool hold_properties, Visit visit, bool skip_foreign = false) {
        // Only delete needs the keys: the other walks read values alone.
        constexpr bool with_keys = std::is_invocable_v<Visit, const EdgeView&, PyObject*>;
        Ref dict = q_.edges;
        PyTypeObject* edge_type = edge_class();
        std::conditional_t<with_keys, DictWalk, DictValueWalk> walk(dict.get());
        PyObject* key = nullptr;  // borrowed: a visit that keeps it takes a reference first
        Ref value;
        while (with_keys ? walk_next(walk, &key, value) : walk_next(walk, nullptr, value)) {
            if (!is_instance(value.get(), edge_type)) {
                if (skip_foreign) continue;
                raise_cast_error(value.get(), "Edge", nullptr);
            }
            EdgeView e{value, nullptr, nullptr, {}};
            {
                SharedBorrow reading(value.get());
                EdgeRecord& rec = payload<EdgeRecord>(value.get());
                e.properties = record_properties(rec);
                if (hold_properties) e.hold = Ref::borrow(e.properties);
                record_properties(rec.start);
                record_properties(rec.end);
                e.rec = &rec;
            }
            bool stop;
            if constexpr (with_keys) {
                stop = visit(e, key);
            } else {
                stop = visit(e);
            }
            if (stop) return true;
        }
        return false;
    }
    static bool walk_next(DictWalk& w, PyObject** key, Ref& value) {
        return w.next_value(key, value);
    }
    static bool walk_next(DictValueWalk& w, PyObject**, Ref& value) { return w.next(value); }

    // ---- matching -------------------------------------------------------------

    void match_node(const NodeMatcher& m) {
        ColumnBuilder out(t_, m.column);
        for_each_candidate(m.type, !m.properties.empty(),
                           [&](PyObject* object, const TypeRef& type, PyObject* props) {
                               if (m.holds(type, props)) out.node(object, type, props);
                               return false;
                           });
        bind_all({&out});
    }

    void match_edge(const EdgeForm& f) {
        auto [starts, found, ends] = builders<3>({f.start, f.edge.column, f.end});
        for_each_edge(!f.edge.properties.empty(), [&](const EdgeView& e) {
            if (!f.edge.holds(*e.rec, e.properties)) return false;
            starts.node(e.rec->start);
            ends.node(e.rec->end);
            found.edge(e.object.get(), e.properties);
            return false;
        });
        bind_all({&starts, &found, &ends});
    }

    void match_single_edge(const PathForm& p) {
        const NodeMatcher& n0 = p.nodes[0];
        const NodeMatcher& n1 = p.nodes[1];
        const EdgeMatcher& e0 = p.edges[0];
        Ways ways(e0.direction);
        auto [a, b, c] = builders<3>({n0.column, e0.column, n1.column});
        auto take = [&](const EdgeView& e, Orientation o) {
            if (ways.both && redundant(*e.rec, o)) return;
            const NodeRecord& from = e.from(o);
            const NodeRecord& to = e.to(o);
            if (!n0.holds(from.type, from.properties.get())) return;
            if (!n1.holds(to.type, to.properties.get())) return;
            a.node(from);
            c.node(to);
            b.edge(e.object.get(), e.properties);
        };
        bool may_run_python =
            !e0.properties.empty() || !n0.properties.empty() || !n1.properties.empty();
        for_each_edge(may_run_python, [&](const EdgeView& e) {
            if (!e0.holds(*e.rec, e.properties)) return false;
            take(e, ways.first);
            if (ways.both) take(e, Orientation::Backward);
            return false;
        });
        bind_all({&a, &b, &c});
    }

    // The candidates for one edge of a chain, in edge-dictionary order and,
    // for one edge taken both ways, forward first: every edge for the first
    // edge of the chain, else the edges leaving the node reached, merged from
    // the two indexes.
    struct Level {
        bool first = true;  // the first edge of the chain: every edge
        size_t all = 0;
        bool all_backward_next = false;
        const uint32_t *fwd = nullptr, *fwd_end = nullptr;
        const uint32_t *bwd = nullptr, *bwd_end = nullptr;
    };

    static bool next_candidate(Level& l, const Ways& ways, size_t n_edges, uint32_t& index,
                               Orientation& o) {
        if (l.first) {
            // Every edge, each in its orientations.
            if (l.all >= n_edges) return false;
            index = static_cast<uint32_t>(l.all);
            if (ways.both && l.all_backward_next) {
                o = Orientation::Backward;
                l.all_backward_next = false;
                ++l.all;
            } else {
                o = ways.first;
                if (ways.both) {
                    l.all_backward_next = true;
                } else {
                    ++l.all;
                }
            }
            return true;
        }
        bool has_f = l.fwd != l.fwd_end;
        bool has_b = l.bwd != l.bwd_end;
        if (!has_f && !has_b) return false;
        if (has_f && (!has_b || *l.fwd <= *l.bwd)) {
            index = *l.fwd++;
            o = Orientation::Forward;
        } else {
            index = *l.bwd++;
            o = Orientation::Backward;
        }
        return true;
    }

    // Chains of k >= 2 distinct edges, consecutive edges meeting in one node.
    void match_chain(const PathForm& p) {
        const size_t k = p.edges.size();
        std::vector<EdgeView> all;
        for_each_edge(true, [&](const EdgeView& e) {
            all.push_back(e);
            return false;
        });
        const size_t n_edges = all.size();
        std::vector<Ways> ways;
        bool forward_later = false, backward_later = false;
        for (size_t j = 0; j < k; ++j) {
            ways.emplace_back(p.edges[j].direction);
            if (j == 0) continue;
            forward_later = forward_later || ways[j].forward();
            backward_later = backward_later || ways[j].backward();
        }
        // Edges leaving a node, walked forward (by start) or backward (by
        // end); only the indexes a later edge needs are built.
        NodeNumbers numbers(n_edges);
        std::vector<uint32_t> start_of(n_edges), end_of(n_edges);
        for (size_t i = 0; i < n_edges; ++i) {
            start_of[i] = numbers.number(all[i].rec->start.type);
            end_of[i] = numbers.number(all[i].rec->end.type);
        }
        std::optional<Adjacency> by_start, by_end;
        if (forward_later) by_start.emplace(start_of, numbers.size());
        if (backward_later) by_end.emplace(end_of, numbers.size());
        // The edges leaving the node reached by edge i taken in orientation o.
        auto level_after = [&](size_t j, uint32_t i, Orientation o) {
            uint32_t node = o == Orientation::Forward ? end_of[i] : start_of[i];
            Level l;
            l.first = false;
            if (ways[j].forward()) {
                l.fwd = by_start->begin(node);
                l.fwd_end = by_start->end(node);
            }
            if (ways[j].backward()) {
                l.bwd = by_end->begin(node);
                l.bwd_end = by_end->end(node);
            }
            return l;
        };

        // Backtracking meets the same edge at the same level again: its edge
        // test and the test of the node it reaches are remembered (-1: not
        // asked yet).
        std::vector<signed char> edge_ok(k * n_edges, -1), reach_ok(2 * k * n_edges, -1);
        auto remembered = [](signed char& slot, auto test) {
            if (slot < 0) slot = test() ? 1 : 0;
            return slot == 1;
        };

        // Builders in the order the columns are bound: each node, then the
        // edge after it.
        std::vector<int> columns;
        for (size_t s = 0; s < k; ++s) {
            columns.push_back(p.nodes[s].column);
            columns.push_back(p.edges[s].column);
        }
        columns.push_back(p.nodes[k].column);
        std::vector<ColumnBuilder> out = builders_for(columns);
        auto node_out = [&](size_t s) -> ColumnBuilder& { return out[2 * s]; };
        auto edge_out = [&](size_t s) -> ColumnBuilder& { return out[2 * s + 1]; };
        std::vector<char> used(n_edges, 0);
        std::vector<std::pair<uint32_t, Orientation>> chosen;
        std::vector<Level> levels(1);
        while (!levels.empty()) {
            size_t j = levels.size() - 1;
            uint32_t i;
            Orientation o;
            if (!next_candidate(levels.back(), ways[j], n_edges, i, o)) {
                levels.pop_back();
                if (!chosen.empty()) {
                    used[chosen.back().first] = 0;
                    chosen.pop_back();
                }
                continue;
            }
            const EdgeView& e = all[i];
            if (used[i] || (ways[j].both && redundant(*e.rec, o))) continue;
            if (!remembered(edge_ok[j * n_edges + i],
                            [&] { return p.edges[j].holds(*e.rec, e.properties); })) {
                continue;
            }
            if (j == 0) {
                const NodeRecord& from = e.from(o);
                if (!p.nodes[0].holds(from.type, from.properties.get())) continue;
            }
            size_t reach = (j * n_edges + i) * 2 + (o == Orientation::Backward);
            if (!remembered(reach_ok[reach], [&] {
                    const NodeRecord& to = e.to(o);
                    return p.nodes[j + 1].holds(to.type, to.properties.get());
                })) {
                continue;
            }
            if (j + 1 < k) {
                used[i] = 1;
                chosen.emplace_back(i, o);
                levels.push_back(level_after(j + 1, i, o));
                continue;
            }
            // A whole chain: the chosen edges plus this one.
            chosen.emplace_back(i, o);
            node_out(0).node(all[chosen[0].first].from(chosen[0].second));
            for (size_t s = 0; s < k; ++s) {
                const EdgeView& edge = all[chosen[s].first];
                edge_out(s).edge(edge.object.get(), edge.properties);
                node_out(s + 1).node(edge.to(chosen[s].second));
            }
            chosen.pop_back();
        }
        std::vector<ColumnBuilder*> all_out;
        for (ColumnBuilder& b : out) all_out.push_back(&b);
        bind_all(all_out);
    }

    // ---- creating and merging ---------------------------------------------------

    NodeRecord create_node(const NodeMatcher& m, const TypeRef& type, bool fresh) {
        NodeRecord node{type, m.properties.make_dict(fresh)};
        Ref uid = to_str(node_uid(node).view());
        Ref object = node_to_object(node);
        if (PyDict_SetItem(nodes(), uid.get(), object.get()) < 0) throw_pending();
        bind_one(m.column, Cell::node_object(std::move(object), node.properties));
        return node;
    }

    void create_edge(const EdgeMatcher& m, const TermValue& term, NodeRecord start, NodeRecord end,
                     bool fresh) {
        Ref properties = m.properties.make_dict(fresh);
        EdgeRecord edge{term, std::move(start), std::move(end), properties};
        Ref uid = to_str(edge_uid(edge).view());
        Ref object = edge_to_object(std::move(edge));
        if (PyDict_SetItem(edges(), uid.get(), object.get()) < 0) throw_pending();
        bind_one(m.column, Cell::edge(std::move(object), std::move(properties)));
    }

    void create_path(const PathForm& f) {
        std::vector<NodeRecord> made;
        for (size_t i = 0; i < f.nodes.size(); ++i) {
            made.push_back(create_node(f.nodes[i], f.node_types[i], true));
        }
        for (size_t j = 0; j < f.edges.size() && j + 1 < made.size(); ++j) {
            const EdgeMatcher& e = f.edges[j];
            bool backward = e.direction == Direction::Backward;
            create_edge(e, TermValue{f.term_names[j], f.edge_types[j]}, made[backward ? j + 1 : j],
                        made[backward ? j : j + 1], true);
        }
    }

    // Finds the first node the matcher accepts (appending it to the
    // variable's column) or creates one when a type is known.  Returns the
    // node found or made, if any.
    std::optional<NodeRecord> merge_node(const NodeMatcher& m, bool fresh) {
        std::optional<NodeRecord> found;
        Ref found_object;
        for_each_candidate(m.type, !m.properties.empty(),
                           [&](PyObject* object, const TypeRef& type, PyObject* props) {
                               if (!m.holds(type, props)) return false;
                               found = NodeRecord{type, Ref::borrow(props)};
                               found_object = Ref::borrow(object);
                               return true;
                           });
        if (found) {
            if (m.column >= 0) {
                t_.append(m.column, found_object
                                        ? Cell::node_object(found_object, found->properties)
                                        : Cell::node(*found));
            }
            return found;
        }
        if (m.type) return create_node(m, m.type, fresh);
        return std::nullopt;
    }

    // Finds an edge from a node of `start`'s type to one of `end`'s that the
    // matcher accepts (its term included), else creates one when the matcher
    // has a term.
    void merge_edge(const EdgeMatcher& m, const NodeRecord& start, const NodeRecord& end,
                    bool fresh) {
        bool found = for_each_edge(!m.properties.empty(), [&](const EdgeView& e) {
            if (!(e.rec->start.type == start.type) || !(e.rec->end.type == end.type)) return false;
            if (!m.holds(*e.rec, e.properties)) return false;
            if (m.column >= 0) t_.append(m.column, e.cell());
            return true;
        });
        if (!found && m.term) create_edge(m, *m.term, start, end, fresh);
    }

    void merge_edge_form(const EdgeForm& f) {
        const Cell* s = t_.at(f.start, 0);
        const Cell* t = t_.at(f.end, 0);
        if (!s || !t || !s->is_node() || !t->is_node()) return;
        NodeRecord start = s->node_record();
        NodeRecord end = t->node_record();
        merge_edge(f.edge, start, end, false);
    }

    void merge_path(const PathForm& f) {
        std::vector<NodeRecord> resolved;
        for (const NodeMatcher& n : f.nodes) resolved.push_back(*merge_node(n, true));
        for (size_t j = 0; j < f.edges.size() && j + 1 < resolved.size(); ++j) {
            const EdgeMatcher& e = f.edges[j];
            bool backward = e.direction == Direction::Backward;
            merge_edge(e, resolved[backward ? j + 1 : j], resolved[backward ? j : j + 1], true);
        }
    }

    // ---- deleting ---------------------------------------------------------------

    struct TermHash {
        size_t operator()(const TermValue* t) const { return static_cast<size_t>(term_hash(*t)); }
    };
    struct TermEq {
        bool operator()(const TermValue* a, const TermValue* b) const { return *a == *b; }
    };

    void delete_bound(const DeleteClause& c) {
        std::vector<NodeRecord> doomed_nodes;
        std::vector<Cell> doomed_edges;
        for (int column : c.columns) {
            if (!t_.is_bound(column)) continue;
            for (const Cell& cell : t_.columns[static_cast<size_t>(column)].cells) {
                if (cell.is_node()) {
                    doomed_nodes.push_back(cell.node_record());
                } else if (cell.is_edge()) {
                    doomed_edges.push_back(cell);
                }
            }
        }
        std::vector<Ref> detached;
        if (!doomed_nodes.empty()) detached = touching_edges(doomed_nodes, doomed_edges, c.detach);
        // A key already gone (deleted through an earlier name or run) is
        // passed over; any other failure of a deletion is raised.
        for (const Ref& key : detached) delete_key(edges(), key.get());
        for (const NodeRecord& n : doomed_nodes) {
            Ref uid = to_str(node_uid(n).view());
            delete_key(nodes(), uid.get());
        }
        for (const Cell& e : doomed_edges) {
            Ref uid = to_str(edge_uid(e.edge_record()).view());
            delete_key(edges(), uid.get());
        }
    }

    // Keys of the edges that touch a doomed node and are not doomed
    // themselves.  Without `detach` the first one refuses the whole clause,
    // before anything is deleted.
    std::vector<Ref> touching_edges(const std::vector<NodeRecord>& doomed_nodes,
                                    const std::vector<Cell>& doomed_edges, bool detach) {
        std::unordered_set<TypeRef, TypeHash, TypeEq> node_types;
        for (const NodeRecord& n : doomed_nodes) node_types.insert(n.type);
        std::unordered_set<const TermValue*, TermHash, TermEq> doomed_terms;
        for (const Cell& e : doomed_edges) doomed_terms.insert(&e.edge_record().term);
        std::vector<Ref> keys;
        for_each_edge(
            false,
            [&](const EdgeView& e, PyObject* key) {
                bool at_start = node_types.count(e.rec->start.type) > 0;
                if (!at_start && !node_types.count(e.rec->end.type)) return false;
                if (doomed_terms.count(&e.rec->term)) return false;
                if (!detach) {
                    const NodeRecord& n = at_start ? e.rec->start : e.rec->end;
                    throw ModelError::invalid_query(
                        "cannot delete node " + std::string(node_uid(n).view()) + " of type " +
                            type_text(n.type) + ": edge '" + e.rec->term.name() +
                            "' still touches it; pass detach=True to delete its edges too",
                        "delete");
                }
                keys.push_back(Ref::borrow(key));
                return false;
            },
            /*skip_foreign=*/true);  // delete never fails on what it cannot delete
        return keys;
    }
};

}  // namespace

RowTable& writable_table(QueryValue& q) {
    if (!q.table) {
        q.table = new_row_table();
    } else if (Py_REFCNT(q.table.get()) > 1) {
        q.table = copy_row_table(payload<RowTable>(q.table.get()));
    }
    return payload<RowTable>(q.table.get());
}

void run_query(QueryValue& q) {
    // The chain and the table are held for the whole run; clauses are read in
    // place, oldest first.  Every parameter reference is looked up before the
    // first clause runs, so a missing value changes nothing.
    Ref plan = q.plan;
    std::vector<const Clause*> clauses = clauses_of(plan.get());
    std::vector<ClauseValues> values;
    values.reserve(clauses.size());
    for (const Clause* clause : clauses) {
        values.push_back(clause_values(*clause, q.parameters.get()));
    }
    RowTable& table = writable_table(q);
    Ref hold = q.table;
    Runner runner(q, table);
    for (size_t i = 0; i < clauses.size(); ++i) {
        runner.use(values[i]);
        std::visit(runner, *clauses[i]);
    }
}

}  // namespace veldrin
