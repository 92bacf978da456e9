// The Query class: clause methods that queue records and return a copy of
// the query, and the entry points that run the queue and shape its results.
#include <algorithm>
#include <bit>

#include "errors/model_error.hpp"
#include "module/binder.hpp"
#include "module/convert.hpp"
#include "patterns/parser.hpp"
#include "query/query.hpp"

namespace veldrin {

namespace {

int traverse_form(const PatternForm& f, visitproc visit, void* arg) noexcept {
    return std::visit([&](const auto& form) -> int { return form.pattern.traverse(visit, arg); },
                      f);
}

void clear_form(PatternForm& f) noexcept {
    std::visit([](auto& form) { form.pattern.clear(); }, f);
}

struct RecordTraverse {
    visitproc visit;
    void* arg;
    int operator()(const MatchClause& c) const { return traverse_form(c.form, visit, arg); }
    int operator()(const CreateClause& c) const { return traverse_form(c.form, visit, arg); }
    int operator()(const MergeClause& c) const { return traverse_form(c.form, visit, arg); }
    int operator()(const SetClause& c) const {
        Py_VISIT(c.properties.get());
        return 0;
    }
    template <class Other>
    int operator()(const Other&) const {
        return 0;
    }
};

struct RecordClear {
    void operator()(MatchClause& c) const { clear_form(c.form); }
    void operator()(CreateClause& c) const { clear_form(c.form); }
    void operator()(MergeClause& c) const { clear_form(c.form); }
    void operator()(SetClause& c) const { c.properties.reset(); }
    template <class Other>
    void operator()(Other&) const {}
};

}  // namespace

int QueryValue::traverse(visitproc visit, void* arg) const noexcept {
    Py_VISIT(nodes.get());
    Py_VISIT(edges.get());
    for (const Record& r : operations) {
        if (int ret = std::visit(RecordTraverse{visit, arg}, r)) return ret;
    }
    for (const auto& [name, list] : matched_vars) {
        for (const auto& entry : list) {
            if (!entry) continue;
            if (int ret = traverse_bound(*entry, visit, arg)) return ret;
        }
    }
    return 0;
}

void QueryValue::clear() noexcept {
    nodes.reset();
    edges.reset();
    for (Record& r : operations) std::visit(RecordClear{}, r);
    for (auto& [name, list] : matched_vars) {
        for (auto& entry : list) {
            if (entry) std::visit([](auto& record) { record.clear(); }, *entry);
        }
    }
}

namespace {

QueryValue& query_of(PyObject* self) {
    QueryValue& q = payload<QueryValue>(self);
    // A query emptied by the collector works on empty dictionaries.
    if (!q.nodes) q.nodes = Ref::steal(PyDict_New());
    if (!q.edges) q.edges = Ref::steal(PyDict_New());
    return q;
}

Ref new_query(QueryValue value) { return new_instance(query_class(), std::move(value)); }

// Appends the record and returns a new Query holding a copy of this one.
Ref queue(PyObject* self, std::optional<Record> record) {
    QueryValue& q = query_of(self);
    if (record) q.operations.push_back(std::move(*record));
    return new_query(q);
}

std::vector<std::string> names_of(const BoundArgs& a) {
    std::vector<std::string> names;
    names.reserve(static_cast<size_t>(a.n_extra));
    for (Py_ssize_t i = 0; i < a.n_extra; ++i) names.push_back(text_value(a.extra[i], "variables"));
    return names;
}

// match: a str gives the name, anything else no name.
std::optional<std::string> optional_name(PyObject* o) {
    if (!o || !PyUnicode_Check(o)) return std::nullopt;
    return text_value(o, nullptr);
}

// create and merge: the name is required.
std::string required_name(PyObject* o) {
    if (!o || o == Py_None) throw ModelError::invalid_query("Variable name required");
    if (!PyUnicode_Check(o)) {
        throw ModelError::invalid_query("Expected string variable name", "variable extraction");
    }
    return text_value(o, nullptr);
}

// A path that create or merge can make: every node part has a concrete type,
// every edge part a variable (the term's name) and a concrete type.
PathForm concrete_path(PathPatternValue path, const char* clause) {
    PathForm form;
    std::string why;
    auto refuse = [&](const std::string& what, const std::string& reason) {
        throw ModelError::invalid_query(
            "cannot " + std::string(clause) + " " + what + ": " + reason, clause);
    };
    for (size_t i = 0; i < path.nodes.size(); ++i) {
        const NodePatternValue& n = path.nodes[i];
        std::string what =
            n.variable ? "node '" + *n.variable + "'" : "node pattern " + std::to_string(i + 1);
        if (!n.type_schema) refuse(what, "it has no type");
        TypeRef t = concrete_type(*n.type_schema, why);
        if (!t) refuse(what, why);
        form.node_types.push_back(std::move(t));
    }
    for (size_t j = 0; j < path.edges.size(); ++j) {
        const EdgePatternValue& e = path.edges[j];
        std::string what =
            e.variable ? "edge '" + *e.variable + "'" : "edge pattern " + std::to_string(j + 1);
        if (!e.variable) refuse(what, "it has no variable to name its term");
        if (!e.term_type_schema) refuse(what, "its term has no type");
        TypeRef t = concrete_type(*e.term_type_schema, why);
        if (!t) refuse(what, why);
        form.edge_types.push_back(std::move(t));
    }
    form.pattern = std::move(path);
    return form;
}

// The three texts every pattern clause converts first, then `properties`,
// even when they will not be used.  `pattern`, `node` and `edge` are the
// first three parameters of match, create and merge.
struct PatternTexts {
    std::optional<std::string> pattern, node, edge;
};

PatternTexts convert_pattern_args(const BoundArgs& a, int properties) {
    PatternTexts t{optional_text(a[0], "pattern"), optional_text(a[1], "node"),
                   optional_text(a[2], "edge")};
    check_optional_dict(a[properties], "properties");
    return t;
}

// ---- constructor ------------------------------------------------------------

PyObject* query_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    return guard_obj([&] {
        static const char* const names[] = {"graph"};
        static const Signature sig{"Query.__new__()", names, 1, 1, 0b1};
        BoundArgs a;
        bind(sig, args, kwargs, a);
        instance_arg(a[0], graph_class(), "Graph", "graph");
        GraphPayload g = graph_dictionaries(a[0]);
        return new_instance(cls, QueryValue{g.nodes, g.edges, {}, {}});
    });
}

// ---- pattern clauses -------------------------------------------------------

enum MatchArg {
    kPattern,
    kNode,
    kEdge,
    kStart,
    kEnd,
    kType,
    kTypeSchema,
    kTerm,
    kTermSchema,
    kProps
};

PyObject* query_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return guard_obj([&] {
        static const char* const names[] = {
            "pattern",          "node",      "edge", "start", "end", "type", "type_schema", "term",
            "term_type_schema", "properties"};
        static const Signature sig{"Query.match()", names, 10, 1, 0};
        BoundArgs a;
        bind(sig, args, nargs, kwnames, a);
        ExclusiveBorrow b(self);
        auto [pattern, node, edge] = convert_pattern_args(a, kProps);
        std::optional<Record> record;
        if (pattern) {
            record = MatchClause{PathForm{parse_path_pattern(*pattern), {}, {}}};
        } else if (node) {
            record = MatchClause{
                NodeForm{build_node_pattern(a[kNode], a[kType], a[kTypeSchema], a[kProps])}};
        } else if (edge) {
            EdgePatternValue p =
                build_edge_pattern(a[kEdge], a[kTerm], a[kTermSchema], a[kProps], nullptr);
            record = MatchClause{
                EdgeForm{std::move(p), optional_name(a[kStart]), optional_name(a[kEnd])}};
        }
        return queue(self, std::move(record));
    });
}

enum CreateArg { cPattern, cNode, cEdge, cType, cTerm, cStart, cEnd, cProps };

PyObject* query_create(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return guard_obj([&] {
        static const char* const names[] = {"pattern", "node",  "edge", "type",
                                            "term",    "start", "end",  "properties"};
        static const Signature sig{"Query.create()", names, 8, 1, 0};
        BoundArgs a;
        bind(sig, args, nargs, kwnames, a);
        ExclusiveBorrow b(self);
        auto [pattern, node, edge] = convert_pattern_args(a, cProps);
        std::optional<Record> record;
        if (pattern) {
            record = CreateClause{concrete_path(parse_path_pattern(*pattern), "create")};
        } else if (node) {
            record =
                CreateClause{NodeForm{build_node_pattern(a[cNode], a[cType], nullptr, a[cProps])}};
        } else if (edge) {
            EdgePatternValue p =
                build_edge_pattern(a[cEdge], a[cTerm], nullptr, a[cProps], nullptr);
            std::string start = required_name(a[cStart]);
            std::string end = required_name(a[cEnd]);
            if (!p.term) {
                throw ModelError::invalid_query("an edge needs a term to be created", "create");
            }
            record = CreateClause{EdgeForm{std::move(p), std::move(start), std::move(end)}};
        }
        return queue(self, std::move(record));
    });
}

enum MergeArg {
    mPattern,
    mNode,
    mEdge,
    mType,
    mTypeSchema,
    mTerm,
    mTermSchema,
    mStart,
    mEnd,
    mProps
};

PyObject* query_merge(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return guard_obj([&] {
        static const char* const names[] = {
            "pattern",          "node",  "edge", "type",      "type_schema", "term",
            "term_type_schema", "start", "end",  "properties"};
        static const Signature sig{"Query.merge()", names, 10, 1, 0};
        BoundArgs a;
        bind(sig, args, nargs, kwnames, a);
        ExclusiveBorrow b(self);
        auto [pattern, node, edge] = convert_pattern_args(a, mProps);
        std::optional<Record> record;
        if (node) {
            record = MergeClause{
                NodeForm{build_node_pattern(a[mNode], a[mType], a[mTypeSchema], a[mProps])}};
        } else if (edge) {
            EdgePatternValue p =
                build_edge_pattern(a[mEdge], a[mTerm], a[mTermSchema], a[mProps], nullptr);
            std::string start = required_name(a[mStart]);
            std::string end = required_name(a[mEnd]);
            record = MergeClause{EdgeForm{std::move(p), std::move(start), std::move(end)}};
        } else if (pattern) {
            record = MergeClause{concrete_path(parse_path_pattern(*pattern), "merge")};
        }
        return queue(self, std::move(record));
    });
}

// ---- simple clauses ----------------------------------------------------------

PyObject* query_where(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return guard_obj([&] {
        static const char* const names[] = {"condition"};
        static const Signature sig{"Query.where()", names, 1, 1, 0b1};
        BoundArgs a;
        bind(sig, args, nargs, kwnames, a);
        ExclusiveBorrow b(self);
        return queue(self, WhereClause{Condition::parse(text_arg(a[0], "condition"))});
    });
}

PyObject* query_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
    return guard_obj([&] {
        static const char* const names[] = {"variable", "properties"};
        static const Signature sig{"Query.set()", names, 2, 2, 0b11};
        BoundArgs a;
        bind(sig, args, nargs, kwnames, a);
        ExclusiveBorrow b(self);
        std::string variable = text_value(a[0], "variable");
        Ref properties = Ref::borrow(dict_arg(a[1], "properties"));
        return queue(self, SetClause{std::move(variable), std::move(properties)});
    });
}

PyObject* query_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return guard_obj([&] {
        static const char* const names[] = {"detach"};
        static const Signature sig{"Query.delete()", names, 1, 0, 0, "variables"};
        BoundArgs a;
        bind(sig, args, nargs, kwnames, a);
        ExclusiveBorrow b(self);
        std::vector<std::string> variables = names_of(a);
        bool detach = a.given(0) ? bool_arg(a[0], "detach") : false;
        return queue(self, DeleteClause{std::move(variables), detach});
    });
}

PyObject* query_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    return guard_obj([&] {
        static const Signature sig{"Query.with_()", nullptr, 0, 0, 0, "variables"};
        BoundArgs a;
        bind(sig, args, nargs, kwnames, a);
        ExclusiveBorrow b(self);
        return queue(self, WithClause{names_of(a)});
    });
}

PyObject* query_order_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return guard_obj([&] {
        static const char* const names[] = {"variable", "key", "ascending"};
        static const Signature sig{"Query.order_by()", names, 3, 3, 0b011};
        BoundArgs a;
        bind(sig, args, nargs, kwnames, a);
        ExclusiveBorrow b(self);
        std::string variable = text_value(a[0], "variable");
        std::string key = text_value(a[1], "key");
        bool ascending = a.given(2) ? bool_arg(a[2], "ascending") : true;
        return queue(self, OrderByClause{std::move(variable), std::move(key), ascending});
    });
}

template <class Clause>
PyObject* count_clause(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       const char* callable) noexcept {
    return guard_obj([&] {
        static const char* const names[] = {"count"};
        const Signature sig{callable, names, 1, 1, 0b1};
        BoundArgs a;
        bind(sig, args, nargs, kwnames, a);
        ExclusiveBorrow b(self);
        return queue(self, Clause{count_arg(a[0], "count")});
    });
}

PyObject* query_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return count_clause<LimitClause>(self, args, nargs, kwnames, "Query.limit()");
}

PyObject* query_skip(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    return count_clause<SkipClause>(self, args, nargs, kwnames, "Query.skip()");
}

// ---- entry points --------------------------------------------------------------

Ref bound_object(const BoundValue& v) {
    return std::visit(
        [](const auto& record) -> Ref {
            using R = std::decay_t<decltype(record)>;
            if constexpr (std::is_same_v<R, NodeRecord>)
                return node_to_object(record);
            else
                return edge_to_object(record);
        },
        v);
}

// Which positions return_distinct keeps: none that binds none of the names,
// and of the rest the first of every group binding each name to values of
// the same identity (equal UIDs).  Rows meet in an open-addressing table by
// the remembered hashes of their values' identities; all hashes are taken
// first and each table slot is fetched a few rows ahead, so that the cache
// misses of a large table overlap instead of adding up.
std::vector<bool> distinct_positions(const Bindings& vars, const std::vector<std::string>& unique,
                                     size_t n) {
    std::vector<const BindingList*> lists;
    for (const std::string& name : unique) {
        auto it = vars.find(name);
        lists.push_back(it == vars.end() ? nullptr : &it->second);
    }
    auto at = [&](size_t k, size_t row) -> const BoundValue* {
        const BindingList* list = lists[k];
        return list && row < list->size() && (*list)[row] ? &*(*list)[row] : nullptr;
    };
    std::vector<bool> keep(n, false);
    std::vector<size_t> hashes(n);
    for (size_t row = 0; row < n; ++row) {
        size_t hash = 0;
        for (size_t k = 0; k < lists.size(); ++k) {
            const BoundValue* v = at(k, row);
            keep[row] = keep[row] || v;
            size_t part = v ? std::visit([](const auto& r) { return identity_hash(r); }, *v) : 1;
            hash = hash * 1000003 + part + (v ? v->index() : 0);
        }
        hashes[row] = hash;
    }
    auto same_row = [&](size_t a, size_t b) {
        for (size_t k = 0; k < lists.size(); ++k) {
            const BoundValue *x = at(k, a), *y = at(k, b);
            if (!x != !y || (x && !same_identity(*x, *y))) return false;
        }
        return true;
    };
    const size_t mask = std::bit_ceil(2 * n + 2) - 1;
    std::vector<std::pair<size_t, size_t>> table(mask + 1);  // (hash, position + 1)
    constexpr size_t ahead = 16;
    for (size_t row = 0; row < n; ++row) {
        if (row + ahead < n) __builtin_prefetch(&table[hashes[row + ahead] & mask]);
        if (!keep[row]) continue;
        for (size_t i = hashes[row] & mask;; i = (i + 1) & mask) {
            auto [hash, slot] = table[i];
            if (!slot) {
                table[i] = {hashes[row], row + 1};
                break;
            }
            if (hash == hashes[row] && same_row(slot - 1, row)) {
                keep[row] = false;
                break;
            }
        }
    }
    return keep;
}

// One dict per position with the requested names bound there; empty rows
// are dropped, and with `distinct` so is every row equal to an earlier one
// (same names, values with the same UIDs).
Ref rows(const Bindings& vars, const std::vector<std::string>& names, bool distinct) {
    Ref result = Ref::steal(PyList_New(0));
    if (vars.empty()) return result;
    std::vector<std::string> unique;
    for (const std::string& n : names) {
        if (std::find(unique.begin(), unique.end(), n) == unique.end()) unique.push_back(n);
    }
    size_t n = row_count(vars);
    std::vector<bool> keep;
    if (distinct) keep = distinct_positions(vars, unique, n);
    for (size_t row = 0; row < n; ++row) {
        if (distinct && !keep[row]) continue;
        Ref dict = Ref::steal(PyDict_New());
        for (const std::string& name : names) {
            const BoundValue* v = bound_at(vars, name, row);
            if (!v) continue;
            Ref key = to_str(name);
            Ref object = bound_object(*v);
            if (PyDict_SetItem(dict.get(), key.get(), object.get()) < 0) throw_pending();
        }
        if (PyDict_GET_SIZE(dict.get()) == 0) continue;
        if (PyList_Append(result.get(), dict.get()) < 0) throw_pending();
    }
    return result;
}

PyObject* return_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      const char* callable, bool distinct) noexcept {
    return guard_obj([&] {
        const Signature sig{callable, nullptr, 0, 0, 0, "variables"};
        BoundArgs a;
        bind(sig, args, nargs, kwnames, a);
        ExclusiveBorrow b(self);
        std::vector<std::string> names = names_of(a);
        QueryValue& q = query_of(self);
        run_query(q);
        return rows(q.matched_vars, names, distinct);
    });
}

PyObject* query_return(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return return_rows(self, args, nargs, kwnames, "Query.return_()", false);
}

PyObject* query_return_distinct(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return return_rows(self, args, nargs, kwnames, "Query.return_distinct()", true);
}

PyObject* query_return_count(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] {
        ExclusiveBorrow b(self);
        QueryValue& q = query_of(self);
        run_query(q);
        return Ref::steal(PyLong_FromSize_t(row_count(q.matched_vars)));
    });
}

PyObject* query_execute(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] {
        ExclusiveBorrow b(self);
        QueryValue& q = query_of(self);
        run_query(q);
        return new_query(q);
    });
}

#define QUERY_METHOD(name, fn, doc) {name, as_method(fn), METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef query_methods[] = {
    QUERY_METHOD("match", query_match,
                 "match($self, pattern=None, *, node=None, edge=None, start=None, end=None, "
                 "type=..., type_schema=None, term=None, term_type_schema=None, "
                 "properties=None)\n--\n\nMatches nodes, edges, or paths in the graph."),
    QUERY_METHOD("where", query_where,
                 "where($self, condition)\n--\n\nAdds a WHERE clause to filter results.\n\n"
                 "The condition compares properties (n.age > 30), tests types (n:Person), "
                 "and combines tests with AND, OR, XOR and NOT; a row stays when it holds."),
    QUERY_METHOD("create", query_create,
                 "create($self, pattern=None, *, node=None, edge=None, type=..., term=None, "
                 "start=None, end=None, properties=None)\n--\n\n"),
    QUERY_METHOD("merge", query_merge,
                 "merge($self, pattern=None, *, node=None, edge=None, type=..., "
                 "type_schema=None, term=None, term_type_schema=None, start=None, end=None, "
                 "properties=None)\n--\n\n"),
    QUERY_METHOD("set", query_set,
                 "set($self, variable, properties)\n--\n\n"
                 "Updates the properties of the nodes and edges bound to a variable."),
    QUERY_METHOD("delete", query_delete,
                 "delete($self, *variables, detach=False)\n--\n\n"
                 "Deletes the bound nodes and edges from the graph; detach=True also deletes "
                 "the edges that touch a deleted node."),
    QUERY_METHOD("with_", query_with,
                 "with_($self, *variables)\n--\n\nKeeps only the named variables' bindings."),
    QUERY_METHOD("order_by", query_order_by,
                 "order_by($self, variable, key, ascending=True)\n--\n\n"
                 "Orders the rows by a property of the value bound to a variable."),
    QUERY_METHOD("limit", query_limit,
                 "limit($self, count)\n--\n\nKeeps at most the first count rows."),
    QUERY_METHOD("skip", query_skip, "skip($self, count)\n--\n\nDrops the first count rows."),
    QUERY_METHOD("return_", query_return,
                 "return_($self, *variables)\n--\n\n"
                 "Returns the specified variables from the query results."),
    QUERY_METHOD("return_distinct", query_return_distinct,
                 "return_distinct($self, *variables)\n--\n\n"
                 "Returns the specified variables from the query results, without repeated "
                 "rows."),
    {"return_count", query_return_count, METH_NOARGS,
     "return_count($self)\n--\n\nRuns the query and returns the number of result rows."},
    {"execute", query_execute, METH_NOARGS,
     "execute($self)\n--\n\nRuns the query and returns a copy of it holding the bindings."},
    {nullptr, nullptr, 0, nullptr}};

#undef QUERY_METHOD

}  // namespace

PyTypeObject* query_class() {
    static PyTypeObject* cls = nullptr;
    if (!cls) {
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>("Query(graph)\n--\n\n"
                                          "A fluent query builder bound to one graph.")},
            {Py_tp_new, reinterpret_cast<void*>(query_new)},
            dealloc_slot<QueryValue>(),
            {Py_tp_traverse, reinterpret_cast<void*>(instance_traverse<QueryValue>)},
            {Py_tp_clear, reinterpret_cast<void*>(instance_clear<QueryValue>)},
            {Py_tp_methods, query_methods},
            {0, nullptr}};
        cls = create_class("builtins.Query", sizeof(Instance<QueryValue>), true, slots);
    }
    return cls;
}

Ref new_query_for_graph(PyObject* graph) {
    GraphPayload g = graph_dictionaries(graph);
    return new_query(QueryValue{g.nodes, g.edges, {}, {}});
}

}  // namespace veldrin
