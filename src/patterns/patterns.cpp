// NodePattern, EdgePattern and PathPattern, the rules that build them, and
// the reading of pattern strings into them.  (Queries test nodes and edges
// against compiled patterns: query/plan.cpp.)
#include "patterns/patterns.hpp"

#include "module/binder.hpp"
#include "module/convert.hpp"
#include "module/dict_walk.hpp"
#include "module/kept.hpp"
#include "module/text.hpp"
#include "patterns/parser.hpp"
#include "patterns/pattern_state.hpp"
#include "type_schema/keyed_entries.hpp"
#include "type_schema/schema.hpp"
#include "type_schema/type_schema.hpp"
#include "types/types_py.hpp"

namespace veldrin {

int traverse_properties(const PropertyMap& m, visitproc visit, void* arg) noexcept {
    for (const auto& [key, value] : m) Py_VISIT(value.get());
    return 0;
}

void clear_properties(PropertyMap& m) noexcept {
    // Values are released one by one; the map stays valid meanwhile.
    for (auto& [key, value] : m) value.reset();
}

int PathPatternValue::traverse(visitproc visit, void* arg) const noexcept {
    for (const auto& n : nodes) {
        if (int r = n.traverse(visit, arg)) return r;
    }
    for (const auto& e : edges) {
        if (int r = e.traverse(visit, arg)) return r;
    }
    return 0;
}

void PathPatternValue::clear() noexcept {
    for (auto& n : nodes) n.clear();
    for (auto& e : edges) e.clear();
}

namespace {

// A str is a schema text, a TypeSchema contributes its schema, anything else
// is no schema.
std::optional<Schema> schema_arg(PyObject* o) {
    if (!o || o == Py_None) return std::nullopt;
    if (PyUnicode_Check(o)) return Schema(text_value(o, nullptr));
    if (is_instance(o, type_schema_class())) return payload<SchemaPayload>(o).schema;
    return std::nullopt;
}

PropertyMap property_map(PyObject* dict) {
    if (!dict || dict == Py_None) return {};
    Ref hold = Ref::borrow(dict);
    PropertyMap map;
    map.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict)));
    // The keys of a dict differ, but str subclass keys may share a text.
    bool subclass_keys = false;
    DictWalk walk(dict);
    Ref key, value;
    while (walk.next(key, value)) {
        subclass_keys |= !PyUnicode_CheckExact(key.get());
        map.emplace_back(text_value(key.get(), nullptr), value);
    }
    if (subclass_keys) merge_repeated_keys(map);
    return map;
}

}  // namespace

NodePatternValue build_node_pattern(Borrowed variable, Borrowed type, Borrowed type_schema,
                                    Borrowed properties) {
    NodePatternValue p;
    p.variable = optional_text(variable, "variable");
    check_optional_dict(properties, "properties");
    if (type && type != Py_None) p.type = type_from_object(type);
    p.type_schema = schema_arg(type_schema);
    p.properties = property_map(properties);
    return p;
}

EdgePatternValue build_edge_pattern(Borrowed variable, Borrowed term, Borrowed term_type_schema,
                                    Borrowed properties, Borrowed direction) {
    EdgePatternValue p;
    p.variable = optional_text(variable, "variable");
    check_optional_dict(properties, "properties");
    if (direction) p.direction = text_value(direction, "direction");
    if (term && term != Py_None) p.term = term_from_object(term);
    p.term_type_schema = schema_arg(term_type_schema);
    p.properties = property_map(properties);
    return p;
}

namespace {

// The class of the objects that hold a property value naming parameters;
// made when the first such value is parsed.
constinit KeptClass parameter_value_type{[] {
    return create_class({.name = "veldrin.PatternParameterValue",
                         .doc = nullptr,
                         .instance = layout_of<Literal>()});
}};

}  // namespace

const Literal* parameter_literal(PyObject* value) noexcept {
    PyTypeObject* cls = parameter_value_type.made();
    if (!value || !cls || !is_instance(value, cls)) return nullptr;
    return &payload<Literal>(value);
}

PathPatternValue parse_path_pattern(std::string_view text, bool parameters) {
    ParsedPath parsed = parse_pattern_text(text, parameters);
    auto convert = [](const ParsedPart& part) {
        PropertyMap map;
        for (const auto& [key, literal] : part.properties) {
            map.emplace_back(key, names_parameters(literal)
                                      ? new_instance(parameter_value_type.get(), Literal(literal))
                                      : literal_to_object(literal));
        }
        return map;
    };
    PathPatternValue path;
    for (const ParsedPart& n : parsed.nodes) {
        NodePatternValue p;
        p.variable = n.variable;
        if (n.schema) p.type_schema.emplace(*n.schema);
        p.properties = convert(n);
        path.nodes.push_back(std::move(p));
    }
    for (const ParsedPart& e : parsed.edges) {
        EdgePatternValue p;
        p.variable = e.variable;
        if (e.schema) p.term_type_schema.emplace(*e.schema);
        p.properties = convert(e);
        p.direction = e.direction;
        p.hops = e.hops;
        path.edges.push_back(std::move(p));
    }
    return path;
}

namespace {

std::string variable_repr(const std::optional<std::string>& v) {
    return v ? "Some(" + escaped_quoted(*v) + ")" : "None";
}

// ---- NodePattern ------------------------------------------------------------

constexpr const char* kNodeParams[] = {"variable", "type", "type_schema", "properties"};
constexpr Signature node_sig = make_signature("NodePattern.__new__()", kNodeParams, 4, 0);

Ref make_node_pattern(PyTypeObject* cls, const BoundArgs& a) {
    return new_instance(cls, build_node_pattern(a[0], a[1], a[2], a[3]));
}

Ref optional_str(const std::optional<std::string>& v) {
    return v ? to_str(*v) : Ref::borrow(Py_None);
}

Ref node_pattern_variable(PyObject* self) {
    return optional_str(payload<NodePatternValue>(self).variable);
}

Ref node_pattern_repr(PyObject* self) {
    return to_str(
        "NodePattern(variable=" + variable_repr(payload<NodePatternValue>(self).variable) + ")");
}

PyMethodDef node_pattern_methods[] = {{"__reduce__", node_pattern_reduce, METH_NOARGS, nullptr},
                                      {nullptr, nullptr, 0, nullptr}};

PyGetSetDef node_pattern_getset[] = {
    {"variable", read_getter<node_pattern_variable>, nullptr,
     "The variable matching nodes are bound to, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---- EdgePattern ------------------------------------------------------------

constexpr const char* kEdgeParams[] = {"variable", "term", "term_type_schema", "properties",
                                       "direction"};
constexpr Signature edge_sig = make_signature("EdgePattern.__new__()", kEdgeParams, 5, 0);

Ref make_edge_pattern(PyTypeObject* cls, const BoundArgs& a) {
    return new_instance(cls, build_edge_pattern(a[0], a[1], a[2], a[3], a[4]));
}

Ref edge_pattern_variable(PyObject* self) {
    return optional_str(payload<EdgePatternValue>(self).variable);
}

Ref edge_pattern_direction(PyObject* self) {
    return to_str(payload<EdgePatternValue>(self).direction);
}

Ref edge_pattern_hops(PyObject* self) {
    const std::optional<Hops>& h = payload<EdgePatternValue>(self).hops;
    if (!h) return Ref::borrow(Py_None);
    Ref min = Ref::steal(PyLong_FromUnsignedLongLong(h->min));
    Ref max = h->max ? Ref::steal(PyLong_FromUnsignedLongLong(*h->max)) : Ref::borrow(Py_None);
    return Ref::steal(PyTuple_Pack(2, min.get(), max.get()));
}

Ref edge_pattern_repr(PyObject* self) {
    const EdgePatternValue& p = payload<EdgePatternValue>(self);
    return to_str("EdgePattern(variable=" + variable_repr(p.variable) +
                  ", direction=" + p.direction + ")");
}

PyMethodDef edge_pattern_methods[] = {{"__reduce__", edge_pattern_reduce, METH_NOARGS, nullptr},
                                      {nullptr, nullptr, 0, nullptr}};

PyGetSetDef edge_pattern_getset[] = {
    {"variable", read_getter<edge_pattern_variable>, nullptr,
     "The variable matching edges are bound to, or None.", nullptr},
    {"direction", read_getter<edge_pattern_direction>, nullptr,
     "The direction word: \"forward\", \"backward\" or \"any\".", nullptr},
    {"hops", read_getter<edge_pattern_hops>, nullptr,
     "For a quantified edge, its bounds (min, max), max None when unbounded; else None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---- PathPattern ------------------------------------------------------------

constexpr const char* kPattern[] = {"pattern"};

PathPatternValue& path_of(PyObject* self) { return payload<PathPatternValue>(self); }

constexpr Signature path_sig = make_signature("PathPattern.__new__()", kPattern, 1, 0);
constexpr Signature parse_sig = make_signature("PathPattern.parse()", kPattern, 1, 0b1);
constexpr Signature add_node_sig = make_signature("PathPattern.add_node()", kPattern, 1, 0b1);
constexpr Signature add_edge_sig = make_signature("PathPattern.add_edge()", kPattern, 1, 0b1);

Ref make_path_pattern(PyTypeObject* cls, const BoundArgs& a) {
    if (!a.given(0)) return new_instance(cls, PathPatternValue{});
    return new_instance(cls, parse_path_pattern(text_arg(a[0], "pattern")));
}

Ref path_pattern_parse(PyObject*, const BoundArgs& a) {
    return new_instance(path_pattern_class(), parse_path_pattern(text_arg(a[0], "pattern")));
}

template <class Value>
Ref list_of(const std::vector<Value>& values, PyTypeObject* cls) {
    Ref list = Ref::steal(PyList_New(0));
    for (const Value& v : values) {
        Ref item = new_instance(cls, Value(v));
        if (PyList_Append(list.get(), item.get()) < 0) throw_pending();
    }
    return list;
}

Ref path_pattern_nodes(PyObject* self) {
    return list_of(path_of(self).nodes, node_pattern_class());
}
Ref path_pattern_edges(PyObject* self) {
    return list_of(path_of(self).edges, edge_pattern_class());
}

template <class Value>
Ref path_pattern_add(PyObject* self, const BoundArgs& a, PyTypeObject* cls, const char* class_name,
                     std::vector<Value> PathPatternValue::*member) {
    instance_arg(a[0], cls, class_name, "pattern");
    Value copy = payload<Value>(a[0]);
    ExclusiveBorrow b(self);
    (path_of(self).*member).push_back(std::move(copy));
    return new_instance(path_pattern_class(), PathPatternValue(path_of(self)));
}

Ref path_pattern_add_node(PyObject* self, const BoundArgs& a) {
    return path_pattern_add(self, a, node_pattern_class(), "NodePattern", &PathPatternValue::nodes);
}

Ref path_pattern_add_edge(PyObject* self, const BoundArgs& a) {
    return path_pattern_add(self, a, edge_pattern_class(), "EdgePattern", &PathPatternValue::edges);
}

Ref path_pattern_repr(PyObject* self) {
    const PathPatternValue& p = path_of(self);
    return to_str("PathPattern(" + std::to_string(p.nodes.size()) + " nodes, " +
                  std::to_string(p.edges.size()) + " edges)");
}

PyMethodDef path_pattern_methods[] = {
    {"parse", as_method(bound_method<parse_sig, path_pattern_parse>),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "parse(pattern)\n--\n\nParses a pattern string such as \"(n:Person)-[e:knows]->(m)\"."},
    {"add_node", as_method(bound_method<add_node_sig, path_pattern_add_node>),
     METH_FASTCALL | METH_KEYWORDS,
     "add_node($self, pattern)\n--\n\nAppends a node pattern to this path and returns a copy of "
     "the path."},
    {"add_edge", as_method(bound_method<add_edge_sig, path_pattern_add_edge>),
     METH_FASTCALL | METH_KEYWORDS,
     "add_edge($self, pattern)\n--\n\nAppends an edge pattern to this path and returns a copy of "
     "the path."},
    {"__reduce__", path_pattern_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef path_pattern_getset[] = {{"nodes", read_getter<path_pattern_nodes>, nullptr,
                                      "Copies of the node patterns, in order.", nullptr},
                                     {"edges", read_getter<path_pattern_edges>, nullptr,
                                      "Copies of the edge patterns, in order.", nullptr},
                                     {nullptr, nullptr, nullptr, nullptr, nullptr}};

const ClassSpec node_pattern_spec{
    .name = "builtins.NodePattern",
    .doc =
        "NodePattern(variable=None, type=..., type_schema=None, properties=None)\n--\n\n"
        "A pattern for nodes: a variable, an exact type, a type schema and required "
        "property values.",
    .instance = layout_of<NodePatternValue>(),
    .new_ = Constructor<node_sig, make_node_pattern>::new_slot,
    .repr = read_slot<node_pattern_repr>,
    .methods = node_pattern_methods,
    .getset = node_pattern_getset,
};

const ClassSpec edge_pattern_spec{
    .name = "builtins.EdgePattern",
    .doc =
        "EdgePattern(variable=None, term=None, term_type_schema=None, properties=None, "
        "direction=...)\n--\n\n"
        "A pattern for edges: a variable, an exact term, a schema for the term's type, "
        "required property values and a direction.",
    .instance = layout_of<EdgePatternValue>(),
    .new_ = Constructor<edge_sig, make_edge_pattern>::new_slot,
    .repr = read_slot<edge_pattern_repr>,
    .methods = edge_pattern_methods,
    .getset = edge_pattern_getset,
};

const ClassSpec path_pattern_spec{
    .name = "builtins.PathPattern",
    .doc =
        "PathPattern(pattern=None)\n--\n\n"
        "A path of node patterns with edge patterns between them, usually parsed from a "
        "pattern string such as \"(n:Person)-[e:knows]->(m:Person)\".",
    .instance = layout_of<PathPatternValue>(),
    .new_ = Constructor<path_sig, make_path_pattern>::new_slot,
    .repr = read_slot<path_pattern_repr>,
    .methods = path_pattern_methods,
    .getset = path_pattern_getset,
};

constinit KeptClass node_pattern_type{[] { return create_class(node_pattern_spec); }};
constinit KeptClass edge_pattern_type{[] { return create_class(edge_pattern_spec); }};
constinit KeptClass path_pattern_type{[] { return create_class(path_pattern_spec); }};

}  // namespace

PyTypeObject* node_pattern_class() { return node_pattern_type.get(); }
PyTypeObject* edge_pattern_class() { return edge_pattern_type.get(); }
PyTypeObject* path_pattern_class() { return path_pattern_type.get(); }

}  // namespace veldrin
