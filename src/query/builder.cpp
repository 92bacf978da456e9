// The Query class: clause methods that compile their clause into a plan node
// linked in front of the query's chain, and the entry points that run the
// chain and shape its results.
#include <algorithm>
#include <bit>

#include "errors/model_error.hpp"
#include "graph/graph.hpp"
#include "module/binder.hpp"
#include "module/convert.hpp"
#include "module/dict_walk.hpp"
#include "module/kept.hpp"
#include "query/query.hpp"
#include "types/type_reader.hpp"

namespace veldrin {

namespace {

// A query emptied by the collector works on empty dictionaries.
QueryValue& query_of(PyObject* self) { return with_dictionaries<QueryValue>(self); }

Ref new_query(const QueryValue& q) { return new_instance(query_class(), QueryValue(q)); }

// Links the clause in front of this query's chain and returns a new Query
// sharing the chain, the bindings and the variable numbering.
Ref queue(PyObject* self, std::optional<Clause> clause) {
    QueryValue& q = query_of(self);
    if (clause) q.plan = link_step(q.plan, std::move(*clause));
    return new_query(q);
}

std::vector<std::string> names_of(const BoundArgs& a) {
    std::vector<std::string> names;
    names.reserve(static_cast<size_t>(a.n_extra));
    for (Py_ssize_t i = 0; i < a.n_extra; ++i) names.push_back(text_value(a.extra[i], "variables"));
    return names;
}

std::vector<int> columns_of(const std::vector<std::string>& names, Symbols& symbols) {
    std::vector<int> columns;
    columns.reserve(names.size());
    for (const std::string& n : names) columns.push_back(symbols.intern(n));
    return columns;
}

// match: a str gives the name, anything else no name.
int optional_column(PyObject* o, Symbols& symbols) {
    if (!o || !PyUnicode_Check(o)) return -1;
    return symbols.intern(text_arg(o, nullptr));
}

// create and merge: the name is required.
int required_column(PyObject* o, Symbols& symbols) {
    if (!o || o == Py_None) throw ModelError::invalid_query("Variable name required");
    if (!PyUnicode_Check(o)) {
        throw ModelError::invalid_query("Expected string variable name", "variable extraction");
    }
    return symbols.intern(text_arg(o, nullptr));
}

// ---- pattern clauses ---------------------------------------------------------

enum class PatternClause { Match, Create, Merge };

// Where each parameter of match, create and merge stands in the method's
// signature (-1: the method has no such parameter).
struct PatternParams {
    int pattern, node, edge, start, end, type, type_schema, term, term_type_schema, properties;
};

// A path that create or merge can make: every node part has a concrete type,
// every edge part a variable (the term's name) and a concrete type.  Merge
// then looks for exactly those types and terms.
PathForm concrete_path(const PathPatternValue& path, PatternClause kind, Symbols& symbols) {
    const char* clause = kind == PatternClause::Create ? "create" : "merge";
    PathForm form = compile_path(path, symbols);
    SyntaxError why{Grammar::TypeText};
    auto refuse = [&](const std::string& what, const std::string& reason) {
        throw ModelError::invalid_query(
            "cannot " + std::string(clause) + " " + what + ": " + reason, clause);
    };
    for (size_t i = 0; i < path.nodes.size(); ++i) {
        const NodePatternValue& n = path.nodes[i];
        std::string what =
            n.variable ? "node '" + *n.variable + "'" : "node pattern " + std::to_string(i + 1);
        if (!n.type_schema) refuse(what, "it has no type");
        TypeRef t = concrete_type(n.type_schema->text(), why);
        if (!t) refuse(what, why.message());
        form.node_types.push_back(std::move(t));
    }
    for (size_t j = 0; j < path.edges.size(); ++j) {
        const EdgePatternValue& e = path.edges[j];
        std::string what =
            e.variable ? "edge '" + *e.variable + "'" : "edge pattern " + std::to_string(j + 1);
        if (e.hops) refuse(what, "a quantified edge stands for a path, not one edge to make");
        if (!e.variable) refuse(what, "it has no variable to name its term");
        if (!e.term_type_schema) refuse(what, "its term has no type");
        TypeRef t = concrete_type(e.term_type_schema->text(), why);
        if (!t) refuse(what, why.message());
        form.edge_types.push_back(std::move(t));
        form.term_names.push_back(*e.variable);
    }
    if (kind == PatternClause::Merge) {
        for (size_t i = 0; i < form.nodes.size(); ++i) {
            form.nodes[i].type = form.node_types[i];
            form.nodes[i].schema.reset();
        }
        for (size_t j = 0; j < form.edges.size(); ++j) {
            form.edges[j].term = TermValue{form.term_names[j], form.edge_types[j]};
            form.edges[j].schema.reset();
        }
    }
    return form;
}

PyObject* arg(const BoundArgs& a, int i) { return i < 0 ? nullptr : a[i]; }

// The one form selection of match, create and merge.  `pattern`, `node` and
// `edge` are converted first, then `properties`, even when they will not be
// used; then the first form given, in the method's order (match and create:
// pattern, node, edge; merge: node, edge, pattern), is built with its own
// checks.  No form given: nothing is queued.
std::optional<Clause> pattern_clause(PatternClause kind, const PatternParams& p, const BoundArgs& a,
                                     Symbols& symbols) {
    std::optional<std::string> pattern = optional_text(arg(a, p.pattern), "pattern");
    std::optional<std::string> node = optional_text(arg(a, p.node), "node");
    std::optional<std::string> edge = optional_text(arg(a, p.edge), "edge");
    check_optional_dict(arg(a, p.properties), "properties");

    auto path_form = [&]() -> PatternForm {
        PathPatternValue parsed = parse_path_pattern(*pattern, /*parameters=*/true);
        if (kind == PatternClause::Match) return compile_path(parsed, symbols);
        return concrete_path(parsed, kind, symbols);
    };
    auto node_form = [&]() -> PatternForm {
        NodePatternValue v = build_node_pattern(arg(a, p.node), arg(a, p.type),
                                                arg(a, p.type_schema), arg(a, p.properties));
        return NodeForm{compile_node(v, symbols)};
    };
    auto edge_form = [&]() -> PatternForm {
        EdgePatternValue v =
            build_edge_pattern(arg(a, p.edge), arg(a, p.term), arg(a, p.term_type_schema),
                               arg(a, p.properties), nullptr);
        EdgeForm f;
        if (kind == PatternClause::Match) {
            f.start = optional_column(arg(a, p.start), symbols);
            f.end = optional_column(arg(a, p.end), symbols);
        } else {
            f.start = required_column(arg(a, p.start), symbols);
            f.end = required_column(arg(a, p.end), symbols);
            if (kind == PatternClause::Create && !v.term) {
                throw ModelError::invalid_query("an edge needs a term to be created", "create");
            }
        }
        f.edge = compile_edge(v, symbols);
        return f;
    };

    std::optional<PatternForm> form;
    if (kind == PatternClause::Merge) {
        if (node) {
            form = node_form();
        } else if (edge) {
            form = edge_form();
        } else if (pattern) {
            form = path_form();
        }
    } else if (pattern) {
        form = path_form();
    } else if (node) {
        form = node_form();
    } else if (edge) {
        form = edge_form();
    }
    if (!form) return std::nullopt;
    switch (kind) {
        case PatternClause::Match:
            return MatchClause{std::make_unique<PatternForm>(std::move(*form))};
        case PatternClause::Create:
            return CreateClause{std::make_unique<PatternForm>(std::move(*form))};
        case PatternClause::Merge:
            break;
    }
    return MergeClause{std::make_unique<PatternForm>(std::move(*form))};
}

// Every method of Query holds the query exclusively for its whole call, once
// its arguments are bound.
template <Ref (*Body)(PyObject*, const BoundArgs&)>
Ref exclusively(PyObject* self, const BoundArgs& a) {
    ExclusiveBorrow b(self);
    return Body(self, a);
}

template <PatternClause kind, const PatternParams& p>
Ref pattern_method(PyObject* self, const BoundArgs& a) {
    return queue(self, pattern_clause(kind, p, a, *query_of(self).symbols));
}

constexpr const char* kMatchParams[] = {
    "pattern",          "node",      "edge", "start", "end", "type", "type_schema", "term",
    "term_type_schema", "properties"};
constexpr Signature match_sig = make_signature("Query.match()", kMatchParams, 1, 0);
constexpr PatternParams match_params{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};

constexpr const char* kCreateParams[] = {"pattern", "node",  "edge", "type",
                                         "term",    "start", "end",  "properties"};
constexpr Signature create_sig = make_signature("Query.create()", kCreateParams, 1, 0);
constexpr PatternParams create_params{0, 1, 2, 5, 6, 3, -1, 4, -1, 7};

constexpr const char* kMergeParams[] = {
    "pattern",          "node",  "edge", "type",      "type_schema", "term",
    "term_type_schema", "start", "end",  "properties"};
constexpr Signature merge_sig = make_signature("Query.merge()", kMergeParams, 1, 0);
constexpr PatternParams merge_params{0, 1, 2, 7, 8, 3, 4, 5, 6, 9};

// ---- constructor ------------------------------------------------------------

constexpr const char* kNewParams[] = {"graph"};
constexpr Signature new_sig = make_signature("Query.__new__()", kNewParams, 1, 0b1);

Ref make_query(PyTypeObject* cls, const BoundArgs& a) {
    instance_arg(a[0], graph_class(), "Graph", "graph");
    GraphPayload g = graph_dictionaries(a[0]);
    return new_instance(cls, QueryValue{g.nodes, g.edges, {}, {}, std::make_shared<Symbols>(), {}});
}

// ---- simple clauses ----------------------------------------------------------

constexpr const char* kWhereParams[] = {"condition"};
constexpr Signature where_sig = make_signature("Query.where()", kWhereParams, 1, 0b1);

Ref query_where(PyObject* self, const BoundArgs& a) {
    Symbols& symbols = *query_of(self).symbols;
    Condition condition = Condition::parse(text_arg(a[0], "condition"),
                                           [&](std::string_view n) { return symbols.intern(n); });
    return queue(self, WhereClause{std::move(condition)});
}

constexpr const char* kSetParams[] = {"variable", "properties"};
constexpr Signature set_sig = make_signature("Query.set()", kSetParams, 2, 0b11);

Ref query_set(PyObject* self, const BoundArgs& a) {
    std::string_view variable = text_arg(a[0], "variable");
    Ref properties = Ref::borrow(dict_arg(a[1], "properties"));
    int column = query_of(self).symbols->intern(variable);
    return queue(self, SetClause{column, std::move(properties)});
}

constexpr const char* kDeleteParams[] = {"detach"};
constexpr Signature delete_sig = make_signature("Query.delete()", kDeleteParams, 0, 0, "variables");

Ref query_delete(PyObject* self, const BoundArgs& a) {
    std::vector<std::string> variables = names_of(a);
    bool detach = a.given(0) ? bool_arg(a[0], "detach") : false;
    return queue(self, DeleteClause{columns_of(variables, *query_of(self).symbols), detach});
}

constexpr Signature with_sig = make_signature("Query.with_()", "variables");

Ref query_with(PyObject* self, const BoundArgs& a) {
    std::vector<std::string> variables = names_of(a);
    return queue(self, WithClause{columns_of(variables, *query_of(self).symbols)});
}

constexpr const char* kOrderByParams[] = {"variable", "key", "ascending"};
constexpr Signature order_by_sig = make_signature("Query.order_by()", kOrderByParams, 3, 0b011);

Ref query_order_by(PyObject* self, const BoundArgs& a) {
    std::string_view variable = text_arg(a[0], "variable");
    std::string_view key = text_arg(a[1], "key");
    bool ascending = a.given(2) ? bool_arg(a[2], "ascending") : true;
    int column = query_of(self).symbols->intern(variable);
    return queue(self, OrderByClause{column, interned(key), ascending});
}

// bind: the values of this query's parameters, those given added to or
// replacing the earlier ones.  Keys are kept as exact str objects (a
// subclass's own hash and == never run at lookup), in a new dict: the dict
// the copies made before share stays as it was.
constexpr const char* kBindParams[] = {"parameters"};
constexpr Signature bind_sig = make_signature("Query.bind()", kBindParams, 1, 0b1);

Ref query_bind(PyObject* self, const BoundArgs& a) {
    Ref given = Ref::borrow(dict_arg(a[0], "parameters"));
    QueryValue& q = query_of(self);
    Ref values = Ref::steal(q.parameters ? PyDict_Copy(q.parameters.get()) : PyDict_New());
    DictWalk walk(given.get());
    Ref key, value;
    while (walk.next(key, value)) {
        if (!PyUnicode_Check(key.get())) raise_cast_error(key.get(), "str", "parameters");
        Ref name = Ref::steal(PyUnicode_FromObject(key.get()));
        if (PyDict_SetItem(values.get(), name.get(), value.get()) < 0) throw_pending();
    }
    q.parameters = std::move(values);
    return queue(self, std::nullopt);
}

constexpr const char* kCountParams[] = {"count"};
constexpr Signature limit_sig = make_signature("Query.limit()", kCountParams, 1, 0b1);
constexpr Signature skip_sig = make_signature("Query.skip()", kCountParams, 1, 0b1);

template <class ClauseType>
Ref count_clause(PyObject* self, const BoundArgs& a) {
    return queue(self, ClauseType{count_arg(a[0], "count")});
}

// ---- entry points --------------------------------------------------------------

// Holds the cyclic garbage collector off for a scope that only makes new
// objects (and runs no Python code), restoring its state after.
class CollectorPause {
public:
    CollectorPause() noexcept : was_enabled_(PyGC_Disable()) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    int was_enabled_;
};

// An identity hash of a bound value: equal for the same node (structurally
// equal types), the same edge (equal terms) or lists of the same edges, read
// from what the types and terms remember.
size_t identity_hash(const Cell& c) {
    if (c.is_node()) return static_cast<size_t>(type_hash(c.node_type().node()));
    if (!c.is_edge_list()) return identity_hash(c.edge_record());
    size_t h = 0x51ed27;
    for (size_t k = 0; k < c.list_size(); ++k) {
        h = h * 1000003 +
            identity_hash(payload<EdgeRecord>(PyTuple_GET_ITEM(c.list_object(), 2 * k)));
    }
    return h;
}

// Which positions return_distinct keeps: none that binds none of the
// columns, and of the rest the first of every group binding each column to
// values of the same identity (equal UIDs).  Rows meet in an open-addressing
// table by the remembered hashes of their values' identities; all hashes are
// taken first and each table slot is fetched a few rows ahead, so that the
// cache misses of a large table overlap instead of adding up.
std::vector<bool> distinct_positions(const RowTable& t, const std::vector<int>& columns, size_t n) {
    std::vector<bool> keep(n, false);
    std::vector<size_t> hashes(n);
    for (size_t row = 0; row < n; ++row) {
        size_t hash = 0;
        for (int column : columns) {
            const Cell* v = t.at(column, row);
            keep[row] = keep[row] || v;
            size_t part = v ? identity_hash(*v) + v->is_edge() + 2 * v->is_edge_list() : 1;
            hash = hash * 1000003 + part;
        }
        hashes[row] = hash;
    }
    auto same_row = [&](size_t a, size_t b) {
        for (int column : columns) {
            const Cell *x = t.at(column, a), *y = t.at(column, b);
            if (!x != !y || (x && !x->same_identity(*y))) return false;
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
Ref rows(const RowTable& t, const std::vector<std::string>& names, const Symbols& symbols,
         bool distinct) {
    Ref result = Ref::steal(PyList_New(0));
    if (t.empty()) return result;
    // Each requested name once, in the order given, with its key and column.
    std::vector<std::pair<Ref, int>> wanted;
    for (const std::string& n : names) {
        int column = symbols.find(n);
        auto same = [&](const auto& w) { return w.second == column; };
        if (!t.is_bound(column) || std::any_of(wanted.begin(), wanted.end(), same)) continue;
        wanted.emplace_back(interned(n), column);
    }
    if (wanted.empty()) return result;
    // The rows are new objects that all survive the loop: the collector
    // waits until they are made instead of scanning them young, again and
    // again, while they are.
    CollectorPause pause;
    size_t n = t.row_count();
    std::vector<bool> keep;
    if (distinct) {
        std::vector<int> columns;
        for (const auto& w : wanted) columns.push_back(w.second);
        keep = distinct_positions(t, columns, n);
    }
    for (size_t row = 0; row < n; ++row) {
        if (distinct && !keep[row]) continue;
        Ref dict;
        for (const auto& [key, column] : wanted) {
            const Cell* v = t.at(column, row);
            if (!v) continue;
            if (!dict) dict = Ref::steal(PyDict_New());
            Ref object = v->to_object();
            if (PyDict_SetItem(dict.get(), key.get(), object.get()) < 0) throw_pending();
        }
        if (!dict) continue;
        if (PyList_Append(result.get(), dict.get()) < 0) throw_pending();
    }
    return result;
}

constexpr Signature return_sig = make_signature("Query.return_()", "variables");
constexpr Signature return_distinct_sig = make_signature("Query.return_distinct()", "variables");

template <bool distinct>
Ref return_rows(PyObject* self, const BoundArgs& a) {
    std::vector<std::string> names = names_of(a);
    QueryValue& q = query_of(self);
    run_query(q);
    Ref table = q.table;
    return rows(payload<RowTable>(table.get()), names, *q.symbols, distinct);
}

PyObject* query_return_count(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] {
        ExclusiveBorrow b(self);
        QueryValue& q = query_of(self);
        run_query(q);
        return Ref::steal(PyLong_FromSize_t(payload<RowTable>(q.table.get()).row_count()));
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

// A query holds its graph and runs against it: a copy or a pickle could
// only hold another graph, so both are refused.
PyObject* query_reduce(PyObject*, PyObject*) noexcept {
    return guard_obj([]() -> Ref {
        raise(PyExc_TypeError,
              "cannot pickle or copy a Query: it is bound to a live graph (pickle or copy the "
              "graph and make a new query from it)");
    });
}

#define QUERY_METHOD(name, sig, body, doc) \
    {name, as_method(bound_method<sig, exclusively<body>>), METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef query_methods[] = {
    QUERY_METHOD("match", match_sig, (pattern_method<PatternClause::Match, match_params>),
                 "match($self, pattern=None, *, node=None, edge=None, start=None, end=None, "
                 "type=..., type_schema=None, term=None, term_type_schema=None, "
                 "properties=None)\n--\n\nMatches nodes, edges, or paths in the graph."),
    QUERY_METHOD("where", where_sig, query_where,
                 "where($self, condition)\n--\n\nAdds a WHERE clause to filter results.\n\n"
                 "The condition compares properties (n.age > 30), tests types (n:Person), "
                 "and combines tests with AND, OR, XOR and NOT; a row stays when it holds."),
    QUERY_METHOD("create", create_sig, (pattern_method<PatternClause::Create, create_params>),
                 "create($self, pattern=None, *, node=None, edge=None, type=..., term=None, "
                 "start=None, end=None, properties=None)\n--\n\n"),
    QUERY_METHOD("merge", merge_sig, (pattern_method<PatternClause::Merge, merge_params>),
                 "merge($self, pattern=None, *, node=None, edge=None, type=..., "
                 "type_schema=None, term=None, term_type_schema=None, start=None, end=None, "
                 "properties=None)\n--\n\n"),
    QUERY_METHOD("set", set_sig, query_set,
                 "set($self, variable, properties)\n--\n\n"
                 "Updates the properties of the nodes and edges bound to a variable."),
    QUERY_METHOD("delete", delete_sig, query_delete,
                 "delete($self, *variables, detach=False)\n--\n\n"
                 "Deletes the bound nodes and edges from the graph; detach=True also deletes "
                 "the edges that touch a deleted node."),
    QUERY_METHOD("with_", with_sig, query_with,
                 "with_($self, *variables)\n--\n\nKeeps only the named variables' bindings."),
    QUERY_METHOD("order_by", order_by_sig, query_order_by,
                 "order_by($self, variable, key, ascending=True)\n--\n\n"
                 "Orders the rows by a property of the value bound to a variable."),
    QUERY_METHOD("bind", bind_sig, query_bind,
                 "bind($self, parameters)\n--\n\n"
                 "Binds values to the query's $name parameters, which conditions and the "
                 "property maps of pattern strings can name where a literal may stand."),
    QUERY_METHOD("limit", limit_sig, count_clause<LimitClause>,
                 "limit($self, count)\n--\n\nKeeps at most the first count rows."),
    QUERY_METHOD("skip", skip_sig, count_clause<SkipClause>,
                 "skip($self, count)\n--\n\nDrops the first count rows."),
    QUERY_METHOD("return_", return_sig, return_rows<false>,
                 "return_($self, *variables)\n--\n\n"
                 "Returns the specified variables from the query results."),
    QUERY_METHOD("return_distinct", return_distinct_sig, return_rows<true>,
                 "return_distinct($self, *variables)\n--\n\n"
                 "Returns the specified variables from the query results, without repeated "
                 "rows."),
    {"return_count", query_return_count, METH_NOARGS,
     "return_count($self)\n--\n\nRuns the query and returns the number of result rows."},
    {"execute", query_execute, METH_NOARGS,
     "execute($self)\n--\n\nRuns the query and returns a copy of it holding the bindings."},
    {"__reduce__", query_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

#undef QUERY_METHOD

const ClassSpec query_spec{
    .name = "builtins.Query",
    .doc = "Query(graph)\n--\n\nA fluent query builder bound to one graph.",
    .instance = layout_of<QueryValue>(),
    .new_ = Constructor<new_sig, make_query>::new_slot,
    .methods = query_methods,
};

constinit KeptClass query_type{[] { return create_class(query_spec); }};

}  // namespace

PyTypeObject* query_class() { return query_type.get(); }

Ref new_query_for_graph(PyObject* graph) {
    GraphPayload g = graph_dictionaries(graph);
    return new_query(QueryValue{g.nodes, g.edges, {}, {}, std::make_shared<Symbols>(), {}});
}

}  // namespace veldrin
