// The query run: executes the queued clauses, in order, against the graph's
// two dictionaries, filling the bindings.
//
// Bindings are lists aligned by position only; there is no join.  Matching
// replaces a variable's list, merging appends what it finds, and the row
// clauses (where, with_, order_by, skip, limit) act on positions, on every
// list at once, so alignment is kept.
//
// Walks of the graph's dictionaries happen in place and detect a dictionary
// that changes under them (Python code can run inside a property
// comparison).  Longer paths index the edges by their end nodes' types once
// per clause: a node's UID depends on its type alone, so "the same node UID"
// is "structurally equal types", and no digest is computed to join edges.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "errors/model_error.hpp"
#include "module/convert.hpp"
#include "module/dict_walk.hpp"
#include "patterns/parser.hpp"
#include "query/query.hpp"
#include "query/values.hpp"
#include "type_schema/schema.hpp"

namespace veldrin {

namespace {

struct TypeHash {
    size_t operator()(const TypeRef& t) const { return static_cast<size_t>(type_hash(t.node())); }
};
struct TypeEq {
    bool operator()(const TypeRef& a, const TypeRef& b) const { return a == b; }
};

enum class Orientation { Forward, Backward };

// The orientations an edge pattern's direction allows, forward first.
std::vector<Orientation> orientations(const std::string& direction) {
    if (direction == "backward") return {Orientation::Backward};
    if (direction == "any") return {Orientation::Forward, Orientation::Backward};
    return {Orientation::Forward};
}

NodeRecord& from_node(EdgeRecord& e, Orientation o) {
    return o == Orientation::Forward ? e.start : e.end;
}
NodeRecord& to_node(EdgeRecord& e, Orientation o) {
    return o == Orientation::Forward ? e.end : e.start;
}
// Walked backward, an edge whose ends share a node meets the same nodes
// again: an undirected pattern takes such an edge once.
bool redundant(const EdgeRecord& e, Orientation o) {
    return o == Orientation::Backward && e.start.type == e.end.type;
}

void store(Bindings& b, const std::optional<std::string>& variable, BindingList list) {
    if (variable) b[*variable] = std::move(list);
}

void append(Bindings& b, const std::optional<std::string>& variable, BoundValue value) {
    if (variable) b[*variable].emplace_back(std::move(value));
}

bool edge_pattern_holds(const EdgePatternValue& p, EdgeRecord& e) {
    if (p.term_type_schema && !schema_test(*p.term_type_schema, e.term.type(), nullptr)) {
        return false;
    }
    if (p.term && !(*p.term == e.term)) return false;
    if (!p.properties.empty()) {
        Ref dict = Ref::borrow(record_properties(e));
        if (!properties_hold(p.properties, dict.get())) return false;
    }
    return true;
}

// A value for a created node or edge: lists from pattern strings become new
// lists at every creation, so no two creations share one.
Ref fresh_value(const Ref& v) {
    if (!PyList_CheckExact(v.get())) return v;
    Py_ssize_t n = PyList_GET_SIZE(v.get());
    Ref list = Ref::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = fresh_value(Ref::borrow(PyList_GET_ITEM(v.get(), i)));
        PyList_SET_ITEM(list.get(), i, item.release());
    }
    return list;
}

Ref new_properties(const PropertyMap& properties, bool fresh) {
    Ref dict = Ref::steal(PyDict_New());
    for (const auto& [key, value] : properties) {
        if (!value) continue;  // a pattern emptied by the collector
        Ref k = to_str(key);
        Ref v = fresh ? fresh_value(value) : value;
        if (PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) throw_pending();
    }
    return dict;
}

// The first node bound to `name`, or VariableNotFound.
NodeRecord first_node(const Bindings& b, const std::string& name, const char* context) {
    auto it = b.find(name);
    if (it != b.end()) {
        for (const auto& entry : it->second) {
            if (entry && std::holds_alternative<NodeRecord>(*entry)) {
                return std::get<NodeRecord>(*entry);
            }
        }
    }
    throw ModelError::variable_not_found(name, context);
}

class Runner {
public:
    explicit Runner(QueryValue& q) : q_(q), vars_(q.matched_vars) {}

    void operator()(const MatchClause& c) {
        if (auto* n = std::get_if<NodeForm>(&c.form)) return match_node(n->pattern);
        if (auto* e = std::get_if<EdgeForm>(&c.form)) return match_edge(*e);
        const PathPatternValue& p = std::get<PathForm>(c.form).pattern;
        if (p.nodes.size() == 1 && p.edges.empty()) return match_node(p.nodes[0]);
        if (p.edges.empty() || p.nodes.size() != p.edges.size() + 1) return;
        if (p.edges.size() == 1) return match_single_edge(p);
        match_chain(p);
    }

    void operator()(const WhereClause& c) {
        for (const std::string& name : c.condition.variables()) {
            if (!vars_.count(name)) throw ModelError::variable_not_found(name, "where");
        }
        std::vector<size_t> keep;
        size_t n = row_count(vars_);
        for (size_t row = 0; row < n; ++row) {
            if (c.condition.holds(vars_, row)) keep.push_back(row);
        }
        keep_positions(keep);
    }

    void operator()(const CreateClause& c) {
        if (auto* n = std::get_if<NodeForm>(&c.form)) {
            if (n->pattern.type) create_node(n->pattern, n->pattern.type, false);
        } else if (auto* e = std::get_if<EdgeForm>(&c.form)) {
            NodeRecord start = first_node(vars_, *e->start, "create");
            NodeRecord end = first_node(vars_, *e->end, "create");
            create_edge(e->pattern, *e->pattern.term, std::move(start), std::move(end), false);
        } else {
            create_path(std::get<PathForm>(c.form));
        }
    }

    void operator()(const MergeClause& c) {
        if (auto* n = std::get_if<NodeForm>(&c.form)) {
            merge_node(n->pattern, n->pattern.type, false);
        } else if (auto* e = std::get_if<EdgeForm>(&c.form)) {
            merge_edge_form(*e);
        } else {
            merge_path(std::get<PathForm>(c.form));
        }
    }

    void operator()(const SetClause& c) {
        auto it = vars_.find(c.variable);
        if (it == vars_.end() || !c.properties) return;
        BindingList list = it->second;
        Ref values = c.properties;
        for (auto& entry : list) {
            if (!entry) continue;
            Ref target = Ref::borrow(
                std::visit([](auto& record) { return record_properties(record); }, *entry));
            DictWalk walk(values.get());
            Ref key, value;
            while (walk.next(key, value)) {
                if (PyObject_SetItem(target.get(), key.get(), value.get()) < 0) throw_pending();
            }
        }
    }

    void operator()(const DeleteClause& c) { delete_bound(c); }

    void operator()(const WithClause& c) {
        if (c.variables.empty()) return;
        std::unordered_set<std::string> keep(c.variables.begin(), c.variables.end());
        for (auto it = vars_.begin(); it != vars_.end();) {
            it = keep.count(it->first) ? std::next(it) : vars_.erase(it);
        }
    }

    void operator()(const OrderByClause& c) {
        auto it = vars_.find(c.variable);
        if (it == vars_.end()) throw ModelError::variable_not_found(c.variable, "order_by");
        size_t n = row_count(vars_);
        std::vector<Ref> keys(n);
        Ref key = to_str(c.key);
        for (size_t row = 0; row < n; ++row) {
            const BoundValue* v = bound_at(vars_, c.variable, row);
            if (!v) continue;
            BoundValue copy = *v;
            PyObject* dict = std::visit([](auto& r) { return record_properties(r); }, copy);
            PyObject* found = PyDict_GetItemWithError(dict, key.get());
            if (!found && PyErr_Occurred()) throw_pending();
            keys[row] = Ref::borrow(found);
        }
        std::vector<size_t> order(n);
        for (size_t i = 0; i < n; ++i) order[i] = i;
        bool ascending = c.ascending;
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            const Ref& ka = keys[a];
            const Ref& kb = keys[b];
            // Missing values sort last ascending and first descending.
            if (!ka || !kb) return ascending ? (ka && !kb) : (!ka && kb);
            int cmp = order_compare(ka.get(), kb.get());
            return ascending ? cmp < 0 : cmp > 0;
        });
        keep_positions(order);
    }

    void operator()(const LimitClause& c) {
        size_t n = row_count(vars_);
        size_t count = c.count < n ? static_cast<size_t>(c.count) : n;
        std::vector<size_t> keep(count);
        for (size_t i = 0; i < count; ++i) keep[i] = i;
        keep_positions(keep);
    }

    void operator()(const SkipClause& c) {
        size_t n = row_count(vars_);
        std::vector<size_t> keep;
        for (size_t i = c.count < n ? static_cast<size_t>(c.count) : n; i < n; ++i) {
            keep.push_back(i);
        }
        keep_positions(keep);
    }

private:
    QueryValue& q_;
    Bindings& vars_;

    PyObject* nodes() const { return q_.nodes.get(); }
    PyObject* edges() const { return q_.edges.get(); }

    // Every list takes the entries at `positions`, in that order; a list too
    // short for a position gets a hole there, and trailing holes are dropped.
    void keep_positions(const std::vector<size_t>& positions) {
        for (auto& [name, list] : vars_) {
            BindingList out;
            out.reserve(positions.size());
            for (size_t p : positions) {
                out.push_back(p < list.size() ? std::move(list[p]) : std::nullopt);
            }
            while (!out.empty() && !out.back()) out.pop_back();
            list = std::move(out);
        }
    }

    // ---- matching -------------------------------------------------------

    // Visits the candidates of a node pattern in node-dictionary order until
    // `visit` returns true: the nodes of `type` when one is given (a lookup
    // that checks every entry), else every node, read while the dictionary
    // is walked.  Returns whether a visit stopped the walk.
    template <class Visit>
    bool for_each_candidate(const TypeRef& type, Visit visit) {
        if (type) {
            for (NodeRecord& n : nodes_of_type(nodes(), type)) {
                if (visit(n)) return true;
            }
            return false;
        }
        Ref dict = q_.nodes;
        DictWalk walk(dict.get());
        Ref key, value;
        while (walk.next(key, value)) {
            NodeRecord n = node_from_object(value.get());
            if (visit(n)) return true;
        }
        return false;
    }

    // Visits every edge in edge-dictionary order, read while the dictionary
    // is walked, until `visit(edge, key)` returns true.  A value that is not
    // an Edge fails the walk, or is passed over when `skip_foreign` is set.
    template <class Visit>
    bool for_each_edge(Visit visit, bool skip_foreign = false) {
        Ref dict = q_.edges;
        DictWalk walk(dict.get());
        Ref key, value;
        while (walk.next(key, value)) {
            if (skip_foreign && !is_instance(value.get(), edge_class())) continue;
            EdgeRecord e = edge_from_object(value.get());
            if (visit(e, key)) return true;
        }
        return false;
    }

    BindingList nodes_matching(const NodePatternValue& p) {
        BindingList out;
        for_each_candidate(p.type, [&](NodeRecord& n) {
            if (node_pattern_test(p, n)) out.emplace_back(std::move(n));
            return false;
        });
        return out;
    }

    void match_node(const NodePatternValue& p) {
        BindingList found = nodes_matching(p);
        store(vars_, p.variable, std::move(found));
    }

    void match_edge(const EdgeForm& f) {
        BindingList starts, found, ends;
        for_each_edge([&](EdgeRecord& e, const Ref&) {
            if (!edge_pattern_holds(f.pattern, e)) return false;
            starts.emplace_back(e.start);
            ends.emplace_back(e.end);
            found.emplace_back(std::move(e));
            return false;
        });
        store(vars_, f.start, std::move(starts));
        store(vars_, f.pattern.variable, std::move(found));
        store(vars_, f.end, std::move(ends));
    }

    void match_single_edge(const PathPatternValue& p) {
        const NodePatternValue& n0 = p.nodes[0];
        const NodePatternValue& n1 = p.nodes[1];
        const EdgePatternValue& e0 = p.edges[0];
        std::vector<Orientation> ways = orientations(e0.direction);
        BindingList a, b, c;
        for_each_edge([&](EdgeRecord& e, const Ref&) {
            if (!edge_pattern_holds(e0, e)) return false;
            for (Orientation o : ways) {
                if (ways.size() > 1 && redundant(e, o)) continue;
                if (!node_pattern_test(n0, from_node(e, o))) continue;
                if (!node_pattern_test(n1, to_node(e, o))) continue;
                a.emplace_back(from_node(e, o));
                c.emplace_back(to_node(e, o));
                b.emplace_back(e);
            }
            return false;
        });
        store(vars_, n0.variable, std::move(a));
        store(vars_, e0.variable, std::move(b));
        store(vars_, n1.variable, std::move(c));
    }

    // Chains of k >= 2 distinct edges, consecutive edges meeting in one node.
    void match_chain(const PathPatternValue& p) {
        const size_t k = p.edges.size();
        std::vector<EdgeRecord> all;
        for_each_edge([&](EdgeRecord& e, const Ref&) {
            all.push_back(std::move(e));
            return false;
        });
        using Step = std::pair<size_t, Orientation>;
        struct Level {
            std::vector<Step> candidates;
            size_t next = 0;
        };
        std::vector<std::vector<Orientation>> ways(k);
        bool forward_later = false, backward_later = false;
        for (size_t j = 0; j < k; ++j) {
            ways[j] = orientations(p.edges[j].direction);
            for (Orientation o : ways[j]) {
                if (j == 0) continue;
                (o == Orientation::Forward ? forward_later : backward_later) = true;
            }
        }
        // Edges leaving a node of a type, walked forward (by start) or
        // backward (by end); only the indexes a later edge needs are built.
        std::unordered_map<TypeRef, std::vector<size_t>, TypeHash, TypeEq> by_start, by_end;
        if (forward_later) by_start.reserve(all.size());
        if (backward_later) by_end.reserve(all.size());
        for (size_t i = 0; i < all.size(); ++i) {
            if (forward_later) by_start[all[i].start.type].push_back(i);
            if (backward_later) by_end[all[i].end.type].push_back(i);
        }

        // Candidates for edge j leaving a node of type `from` (any type for j = 0).
        auto candidates = [&](size_t j, const TypeRef* from) {
            std::vector<Step> out;
            for (Orientation o : ways[j]) {
                if (!from) {
                    for (size_t i = 0; i < all.size(); ++i) out.emplace_back(i, o);
                    continue;
                }
                auto& index = o == Orientation::Forward ? by_start : by_end;
                auto it = index.find(*from);
                if (it == index.end()) continue;
                for (size_t i : it->second) out.emplace_back(i, o);
            }
            std::stable_sort(out.begin(), out.end(),
                             [](const Step& x, const Step& y) { return x.first < y.first; });
            return out;
        };

        // Backtracking meets the same edge at the same level again: its edge
        // test and the test of the node it reaches are remembered (-1: not
        // asked yet).
        const size_t n_edges = all.size();
        std::vector<signed char> edge_ok(k * n_edges, -1), reach_ok(2 * k * n_edges, -1);
        auto remembered = [](signed char& slot, auto test) {
            if (slot < 0) slot = test() ? 1 : 0;
            return slot == 1;
        };

        std::vector<BindingList> node_lists(k + 1), edge_lists(k);
        std::vector<char> used(all.size(), 0);
        std::vector<Step> chosen;
        std::vector<Level> levels;
        levels.push_back({candidates(0, nullptr), 0});
        while (!levels.empty()) {
            size_t j = levels.size() - 1;
            Level& level = levels.back();
            if (level.next == level.candidates.size()) {
                levels.pop_back();
                if (!chosen.empty()) {
                    used[chosen.back().first] = 0;
                    chosen.pop_back();
                }
                continue;
            }
            auto [i, o] = level.candidates[level.next++];
            EdgeRecord& e = all[i];
            if (used[i] || (ways[j].size() > 1 && redundant(e, o))) continue;
            if (!remembered(edge_ok[j * n_edges + i],
                            [&] { return edge_pattern_holds(p.edges[j], e); })) {
                continue;
            }
            if (j == 0 && !node_pattern_test(p.nodes[0], from_node(e, o))) continue;
            size_t reach = (j * n_edges + i) * 2 + (o == Orientation::Backward);
            if (!remembered(reach_ok[reach],
                            [&] { return node_pattern_test(p.nodes[j + 1], to_node(e, o)); })) {
                continue;
            }
            if (j + 1 < k) {
                used[i] = 1;
                chosen.emplace_back(i, o);
                TypeRef reached = to_node(e, o).type;
                levels.push_back({candidates(j + 1, &reached), 0});
                continue;
            }
            // A whole chain: the chosen edges plus this one.
            chosen.emplace_back(i, o);
            node_lists[0].emplace_back(from_node(all[chosen[0].first], chosen[0].second));
            for (size_t s = 0; s < k; ++s) {
                EdgeRecord& edge = all[chosen[s].first];
                edge_lists[s].emplace_back(edge);
                node_lists[s + 1].emplace_back(to_node(edge, chosen[s].second));
            }
            chosen.pop_back();
        }
        for (size_t s = 0; s < k; ++s) {
            store(vars_, p.nodes[s].variable, std::move(node_lists[s]));
            store(vars_, p.edges[s].variable, std::move(edge_lists[s]));
        }
        store(vars_, p.nodes[k].variable, std::move(node_lists[k]));
    }

    // ---- creating and merging ------------------------------------------

    NodeRecord create_node(const NodePatternValue& p, const TypeRef& type, bool fresh) {
        NodeRecord node{type, new_properties(p.properties, fresh)};
        Ref uid = to_str(node_uid(node).view());
        Ref object = node_to_object(node);
        if (PyDict_SetItem(nodes(), uid.get(), object.get()) < 0) throw_pending();
        store(vars_, p.variable, BindingList{BoundValue{node}});
        return node;
    }

    void create_edge(const EdgePatternValue& p, const TermValue& term, NodeRecord start,
                     NodeRecord end, bool fresh) {
        EdgeRecord edge{term, std::move(start), std::move(end),
                        new_properties(p.properties, fresh)};
        Ref uid = to_str(edge_uid(edge).view());
        Ref object = edge_to_object(edge);
        if (PyDict_SetItem(edges(), uid.get(), object.get()) < 0) throw_pending();
        store(vars_, p.variable, BindingList{BoundValue{std::move(edge)}});
    }

    void create_path(const PathForm& f) {
        const PathPatternValue& p = f.pattern;
        std::vector<NodeRecord> made;
        for (size_t i = 0; i < p.nodes.size(); ++i) {
            made.push_back(create_node(p.nodes[i], f.node_types[i], true));
        }
        for (size_t j = 0; j < p.edges.size() && j + 1 < made.size(); ++j) {
            const EdgePatternValue& e = p.edges[j];
            bool backward = e.direction == "backward";
            create_edge(e, TermValue{*e.variable, f.edge_types[j]}, made[backward ? j + 1 : j],
                        made[backward ? j : j + 1], true);
        }
    }

    // Finds the first node the pattern accepts (appending it to the
    // variable's list) or creates one when a type is known.  Returns the
    // node found or made, if any.
    std::optional<NodeRecord> merge_node(const NodePatternValue& p, const TypeRef& type,
                                         bool fresh) {
        std::optional<NodeRecord> found;
        for_each_candidate(type, [&](NodeRecord& n) {
            if (!node_pattern_test(p, n)) return false;
            found = n;
            return true;
        });
        if (found) {
            append(vars_, p.variable, BoundValue{*found});
            return found;
        }
        if (type) return create_node(p, type, fresh);
        return std::nullopt;
    }

    // Finds an edge from a node of `start`'s type to one of `end`'s that the
    // pattern accepts (its term included), else creates one when the pattern
    // has a term.
    void merge_edge(const EdgePatternValue& p, const NodeRecord& start, const NodeRecord& end,
                    bool fresh) {
        bool found = for_each_edge([&](EdgeRecord& e, const Ref&) {
            if (!(e.start.type == start.type) || !(e.end.type == end.type)) return false;
            if (!edge_pattern_holds(p, e)) return false;
            append(vars_, p.variable, BoundValue{std::move(e)});
            return true;
        });
        if (!found && p.term) create_edge(p, *p.term, start, end, fresh);
    }

    void merge_edge_form(const EdgeForm& f) {
        const BoundValue* s = bound_at(vars_, *f.start, 0);
        const BoundValue* t = bound_at(vars_, *f.end, 0);
        if (!s || !t || !std::holds_alternative<NodeRecord>(*s) ||
            !std::holds_alternative<NodeRecord>(*t)) {
            return;
        }
        NodeRecord start = std::get<NodeRecord>(*s);
        NodeRecord end = std::get<NodeRecord>(*t);
        merge_edge(f.pattern, start, end, false);
    }

    void merge_path(const PathForm& f) {
        const PathPatternValue& p = f.pattern;
        std::vector<NodeRecord> resolved;
        for (size_t i = 0; i < p.nodes.size(); ++i) {
            NodePatternValue node = p.nodes[i];
            node.type = f.node_types[i];
            node.type_schema.reset();
            resolved.push_back(*merge_node(node, node.type, true));
        }
        for (size_t j = 0; j < p.edges.size() && j + 1 < resolved.size(); ++j) {
            const EdgePatternValue& e = p.edges[j];
            EdgePatternValue search = e;
            search.term_type_schema.reset();
            search.term = TermValue{*e.variable, f.edge_types[j]};
            bool backward = e.direction == "backward";
            merge_edge(search, resolved[backward ? j + 1 : j], resolved[backward ? j : j + 1],
                       true);
        }
    }

    // ---- deleting ---------------------------------------------------------

    void delete_bound(const DeleteClause& c) {
        std::vector<NodeRecord> doomed_nodes;
        std::vector<EdgeRecord> doomed_edges;
        for (const std::string& name : c.variables) {
            auto it = vars_.find(name);
            if (it == vars_.end()) continue;
            for (const auto& entry : it->second) {
                if (!entry) continue;
                if (auto* n = std::get_if<NodeRecord>(&*entry))
                    doomed_nodes.push_back(*n);
                else
                    doomed_edges.push_back(std::get<EdgeRecord>(*entry));
            }
        }
        std::vector<Ref> detached;
        if (!doomed_nodes.empty()) detached = touching_edges(doomed_nodes, doomed_edges, c.detach);
        for (const Ref& key : detached) {
            if (PyDict_DelItem(edges(), key.get()) < 0) PyErr_Clear();
        }
        // A deletion that fails (the key is already gone) is ignored.
        for (const NodeRecord& n : doomed_nodes) {
            Ref uid = to_str(node_uid(n).view());
            if (PyDict_DelItem(nodes(), uid.get()) < 0) PyErr_Clear();
        }
        for (const EdgeRecord& e : doomed_edges) {
            Ref uid = to_str(edge_uid(e).view());
            if (PyDict_DelItem(edges(), uid.get()) < 0) PyErr_Clear();
        }
    }

    // Keys of the edges that touch a doomed node and are not doomed
    // themselves.  Without `detach` the first one refuses the whole clause,
    // before anything is deleted.
    std::vector<Ref> touching_edges(const std::vector<NodeRecord>& doomed_nodes,
                                    const std::vector<EdgeRecord>& doomed_edges, bool detach) {
        std::unordered_set<TypeRef, TypeHash, TypeEq> node_types;
        for (const NodeRecord& n : doomed_nodes) node_types.insert(n.type);
        std::vector<Ref> keys;
        for_each_edge(
            [&](EdgeRecord& e, const Ref& key) {
                bool at_start = node_types.count(e.start.type) > 0;
                if (!at_start && !node_types.count(e.end.type)) return false;
                bool doomed = std::any_of(doomed_edges.begin(), doomed_edges.end(),
                                          [&](const EdgeRecord& d) { return d.term == e.term; });
                if (doomed) return false;
                if (!detach) {
                    const NodeRecord& n = at_start ? e.start : e.end;
                    throw ModelError::invalid_query(
                        "cannot delete node " + std::string(node_uid(n).view()) + " of type " +
                            type_text(n.type) + ": edge '" + e.term.name() +
                            "' still touches it; pass detach=True to delete its edges too",
                        "delete");
                }
                keys.push_back(key);
                return false;
            },
            /*skip_foreign=*/true);  // delete never fails on what it cannot delete
        return keys;
    }
};

}  // namespace

void run_query(QueryValue& q) {
    // The run reads a copy of the queue: the queue itself never changes.
    std::vector<Record> operations = q.operations;
    Runner runner(q);
    for (const Record& record : operations) std::visit(runner, record);
}

}  // namespace veldrin
