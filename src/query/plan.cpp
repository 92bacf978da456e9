#include "query/plan.hpp"

#include <algorithm>

#include "module/kept.hpp"
#include "type_schema/schema.hpp"

namespace veldrin {

// ---- symbols ----------------------------------------------------------------

int Symbols::intern(std::string_view name) {
    auto [it, added] = numbers_.try_emplace(std::string(name), static_cast<int>(names_.size()));
    if (added) names_.emplace_back(name);
    return it->second;
}

int Symbols::find(std::string_view name) const {
    auto it = numbers_.find(std::string(name));
    return it == numbers_.end() ? -1 : it->second;
}

// ---- values -------------------------------------------------------------------

Ref interned(std::string_view text) {
    PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!s) throw_pending();
    PyUnicode_InternInPlace(&s);
    return Ref::steal(s);
}

namespace {

// Lists already copied: original -> copy, both held.
using ListCopies = std::unordered_map<PyObject*, std::pair<Ref, Ref>>;

// Each level starts as a shallow copy taken at once (no Python code runs
// while the slice is made), and only that copy, which nothing else sees, is
// changed: the collector may run finalizers between two allocations, and
// they cannot shorten the list being read.
Ref copy_list(PyObject* v, ListCopies& copies) {
    if (auto it = copies.find(v); it != copies.end()) return it->second.second;
    if (Py_EnterRecursiveCall(" while copying a list")) throw_pending();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    Ref copy = Ref::steal(PyList_GetSlice(v, 0, PyList_GET_SIZE(v)));
    copies.emplace(v, std::pair{Ref::borrow(v), copy});
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(copy.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(copy.get(), i);
        if (!PyList_CheckExact(item)) continue;
        Ref inner = copy_list(item, copies);
        if (PyList_SetItem(copy.get(), i, inner.release()) < 0) throw_pending();
    }
    return copy;
}

}  // namespace

Ref fresh_copy(PyObject* v) {
    if (!PyList_CheckExact(v)) return Ref::borrow(v);
    ListCopies copies;
    return copy_list(v, copies);
}

namespace {

// `a == b` for values of the exact built-in int, float and str types, which
// have no comparison of their own that Python code could see; -1 for any
// other pair.  Floats are compared as numbers, so NaN equals nothing.
int builtin_equal(PyObject* a, PyObject* b) {
    PyTypeObject* ta = Py_TYPE(a);
    PyTypeObject* tb = Py_TYPE(b);
    if (ta == &PyFloat_Type && tb == &PyFloat_Type) {
        return PyFloat_AS_DOUBLE(a) == PyFloat_AS_DOUBLE(b);
    }
    if (ta == &PyLong_Type && tb == &PyLong_Type) {
        if (a == b) return 1;
        int oa = 0, ob = 0;
        long x = PyLong_AsLongAndOverflow(a, &oa);
        long y = PyLong_AsLongAndOverflow(b, &ob);
        if (!oa && !ob) return x == y;  // both fit a long: no error is possible
    }
    bool numbers =
        (ta == &PyLong_Type || ta == &PyFloat_Type) && (tb == &PyLong_Type || tb == &PyFloat_Type);
    if (!numbers && !(ta == &PyUnicode_Type && tb == &PyUnicode_Type)) return -1;
    int r = PyObject_RichCompareBool(a, b, Py_EQ);
    if (r < 0) throw_pending();
    return r;
}

}  // namespace

bool PropertyTest::holds(PyObject* dict) const {
    for (const auto& [key, expected] : entries) {
        if (!key || !expected || !dict) return false;  // emptied by the collector
        PyObject* found = PyDict_GetItemWithError(dict, key.get());
        if (!found) {
            if (!PyErr_Occurred()) return false;
            // A key that is gone is missing; any other failure is reported.
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_pending();
            PyErr_Clear();
            return false;
        }
        int equal = builtin_equal(found, expected.get());
        if (equal < 0) {
            // `value == expected` and its truth value, always asked: an
            // object is not taken as equal to itself (NaN is equal to nothing).
            Ref actual = Ref::borrow(found);
            Ref hold_expected = expected;
            Ref hold_dict = Ref::borrow(dict);
            Ref outcome =
                Ref::steal(PyObject_RichCompare(actual.get(), hold_expected.get(), Py_EQ));
            equal = PyObject_IsTrue(outcome.get());
            if (equal < 0) throw_pending();
        }
        if (!equal) return false;
    }
    return true;
}

Ref PropertyTest::make_dict(bool fresh) const {
    Ref dict = Ref::steal(PyDict_New());
    for (const auto& [key, value] : entries) {
        if (!key || !value) continue;  // emptied by the collector
        Ref v = fresh ? fresh_copy(value.get()) : value;
        if (PyDict_SetItem(dict.get(), key.get(), v.get()) < 0) throw_pending();
    }
    return dict;
}

int PropertyTest::traverse(visitproc visit, void* arg) const noexcept {
    for (const auto& [key, value] : entries) {
        Py_VISIT(key.get());
        Py_VISIT(value.get());
    }
    return 0;
}

void PropertyTest::clear() noexcept {
    for (auto& [key, value] : entries) {
        key.reset();
        value.reset();
    }
}

PropertyTest PropertyTest::with_values(PyObject* parameters, const char* context) const {
    PropertyTest t{entries, {}};
    for (const auto& [index, literal] : written) {
        t.entries[index].second = literal_value(literal, parameters, context);
    }
    return t;
}

PropertyTest compile_properties(const PropertyMap& m) {
    PropertyTest t;
    t.entries.reserve(m.size());
    for (const auto& [key, value] : m) {
        if (const Literal* literal = parameter_literal(value.get())) {
            t.written.emplace_back(t.entries.size(), *literal);
            t.entries.emplace_back(interned(key), Ref());
        } else {
            t.entries.emplace_back(interned(key), value);
        }
    }
    return t;
}

// ---- parameters -----------------------------------------------------------------

Ref literal_value(const Literal& lit, PyObject* parameters, const char* context) {
    if (lit.kind == LiteralKind::Parameter) {
        Ref name = to_str(lit.text);
        PyObject* value = parameters ? PyDict_GetItemWithError(parameters, name.get()) : nullptr;
        if (value) return Ref::borrow(value);
        if (PyErr_Occurred()) throw_pending();
        raise(PyExc_NameError, "Parameter '" + lit.text + "' not found (" + context + ")");
    }
    if (lit.kind != LiteralKind::List) return literal_to_object(lit);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(lit.items.size())));
    for (size_t i = 0; i < lit.items.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        literal_value(lit.items[i], parameters, context).release());
    }
    return list;
}

// ---- matchers -----------------------------------------------------------------

bool NodeMatcher::holds(const TypeRef& t, PyObject* props) const {
    if (type && !(type == t)) return false;
    if (schema && !schema->test(t, nullptr)) return false;
    return properties.empty() || properties.holds(props);
}

bool EdgeMatcher::holds(const EdgeRecord& e, PyObject* props) const {
    if (schema && !schema->test(e.term.type(), nullptr)) return false;
    if (term && !(*term == e.term)) return false;
    return properties.empty() || properties.holds(props);
}

namespace {

int column_of(const std::optional<std::string>& variable, Symbols& symbols) {
    return variable ? symbols.intern(*variable) : -1;
}

Direction direction_of(const std::string& word) {
    if (word == "backward") return Direction::Backward;
    if (word == "any") return Direction::Any;
    return Direction::Forward;
}

}  // namespace

NodeMatcher compile_node(const NodePatternValue& p, Symbols& symbols) {
    return NodeMatcher{column_of(p.variable, symbols), p.type, p.type_schema,
                       compile_properties(p.properties)};
}

EdgeMatcher compile_edge(const EdgePatternValue& p, Symbols& symbols) {
    return EdgeMatcher{column_of(p.variable, symbols),
                       p.term,
                       p.term_type_schema,
                       compile_properties(p.properties),
                       direction_of(p.direction),
                       p.hops};
}

PathForm compile_path(const PathPatternValue& p, Symbols& symbols) {
    // Columns are numbered in the order the run stores them: each node, then
    // the edge after it.
    PathForm f;
    for (size_t i = 0; i < p.nodes.size(); ++i) {
        f.nodes.push_back(compile_node(p.nodes[i], symbols));
        if (i < p.edges.size()) f.edges.push_back(compile_edge(p.edges[i], symbols));
    }
    for (size_t j = p.nodes.size(); j < p.edges.size(); ++j) {
        f.edges.push_back(compile_edge(p.edges[j], symbols));
    }
    return f;
}

// ---- a run's parameter values --------------------------------------------------

namespace {

bool form_names_parameters(const PatternForm& f) {
    if (auto* n = std::get_if<NodeForm>(&f)) return n->node.properties.names_parameters();
    if (auto* e = std::get_if<EdgeForm>(&f)) return e->edge.properties.names_parameters();
    const PathForm& p = std::get<PathForm>(f);
    auto named = [](const auto& m) { return m.properties.names_parameters(); };
    return std::any_of(p.nodes.begin(), p.nodes.end(), named) ||
           std::any_of(p.edges.begin(), p.edges.end(), named);
}

// The form with every written value made, in pattern order: each node, then
// the edge after it.
PatternForm form_with_values(const PatternForm& f, PyObject* parameters, const char* context) {
    PatternForm out = f;
    auto make = [&](auto& m) { m.properties = m.properties.with_values(parameters, context); };
    if (auto* n = std::get_if<NodeForm>(&out)) {
        make(n->node);
    } else if (auto* e = std::get_if<EdgeForm>(&out)) {
        make(e->edge);
    } else {
        PathForm& p = std::get<PathForm>(out);
        for (size_t i = 0; i < p.nodes.size() || i < p.edges.size(); ++i) {
            if (i < p.nodes.size()) make(p.nodes[i]);
            if (i < p.edges.size()) make(p.edges[i]);
        }
    }
    return out;
}

}  // namespace

ClauseValues clause_values(const Clause& clause, PyObject* parameters) {
    ClauseValues values;
    auto form = [&](const PatternForm& f, const char* context) {
        if (form_names_parameters(f)) values.form = form_with_values(f, parameters, context);
    };
    if (auto* m = std::get_if<MatchClause>(&clause)) {
        form(*m->form, "match");
    } else if (auto* c = std::get_if<CreateClause>(&clause)) {
        form(*c->form, "create");
    } else if (auto* g = std::get_if<MergeClause>(&clause)) {
        form(*g->form, "merge");
    } else if (auto* w = std::get_if<WhereClause>(&clause)) {
        values.condition = w->condition.values(parameters);
    }
    return values;
}

// ---- plan steps ---------------------------------------------------------------

namespace {

int traverse_form(const PatternForm& f, visitproc visit, void* arg) noexcept {
    if (auto* n = std::get_if<NodeForm>(&f)) return n->node.properties.traverse(visit, arg);
    if (auto* e = std::get_if<EdgeForm>(&f)) return e->edge.properties.traverse(visit, arg);
    const PathForm& p = std::get<PathForm>(f);
    for (const NodeMatcher& n : p.nodes) {
        if (int r = n.properties.traverse(visit, arg)) return r;
    }
    for (const EdgeMatcher& e : p.edges) {
        if (int r = e.properties.traverse(visit, arg)) return r;
    }
    return 0;
}

void clear_form(PatternForm& f) noexcept {
    if (auto* n = std::get_if<NodeForm>(&f)) return n->node.properties.clear();
    if (auto* e = std::get_if<EdgeForm>(&f)) return e->edge.properties.clear();
    PathForm& p = std::get<PathForm>(f);
    for (NodeMatcher& n : p.nodes) n.properties.clear();
    for (EdgeMatcher& e : p.edges) e.properties.clear();
}

struct ClauseTraverse {
    visitproc visit;
    void* arg;
    int operator()(const MatchClause& c) const { return traverse_form(*c.form, visit, arg); }
    int operator()(const CreateClause& c) const { return traverse_form(*c.form, visit, arg); }
    int operator()(const MergeClause& c) const { return traverse_form(*c.form, visit, arg); }
    int operator()(const WhereClause& c) const { return c.condition.traverse(visit, arg); }
    int operator()(const SetClause& c) const {
        Py_VISIT(c.properties.get());
        return 0;
    }
    int operator()(const OrderByClause& c) const {
        Py_VISIT(c.key.get());
        return 0;
    }
    template <class Other>
    int operator()(const Other&) const {
        return 0;
    }
};

struct ClauseClear {
    void operator()(MatchClause& c) const { clear_form(*c.form); }
    void operator()(CreateClause& c) const { clear_form(*c.form); }
    void operator()(MergeClause& c) const { clear_form(*c.form); }
    void operator()(WhereClause& c) const { c.condition.clear(); }
    void operator()(SetClause& c) const { c.properties.reset(); }
    void operator()(OrderByClause& c) const { c.key.reset(); }
    template <class Other>
    void operator()(Other&) const {}
};

}  // namespace

int PlanStep::traverse(visitproc visit, void* arg) const noexcept {
    Py_VISIT(older.get());
    return std::visit(ClauseTraverse{visit, arg}, clause);
}

void PlanStep::clear() noexcept {
    older.reset();
    std::visit(ClauseClear{}, clause);
}

namespace {
constinit KeptClass plan_step_type{[] {
    return create_class({.name = "veldrin.QueryPlanStep",
                         .doc = "One queued clause of a query, compiled.",
                         .instance = layout_of<PlanStep>()});
}};
}  // namespace

Ref link_step(Ref older, Clause clause) {
    return new_instance(plan_step_type.get(), PlanStep{std::move(older), std::move(clause)});
}

std::vector<const Clause*> clauses_of(PyObject* newest) {
    std::vector<const Clause*> out;
    for (PyObject* step = newest; step; step = payload<PlanStep>(step).older.get()) {
        out.push_back(&payload<PlanStep>(step).clause);
    }
    std::reverse(out.begin(), out.end());
    return out;
}

}  // namespace veldrin
