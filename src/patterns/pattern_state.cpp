#include "patterns/pattern_state.hpp"

#include <string>

#include "patterns/patterns.hpp"
#include "term/term_state.hpp"
#include "types/type_table.hpp"

namespace veldrin {

namespace {

Ref optional_text_field(const std::optional<std::string>& s) {
    return s ? to_str(*s) : Ref::borrow(Py_None);
}

Ref optional_schema_field(const std::optional<Schema>& s) {
    return s ? to_str(s->text()) : Ref::borrow(Py_None);
}

std::optional<Schema> optional_schema(std::optional<std::string> text) {
    if (!text) return std::nullopt;
    return Schema(std::move(*text));
}

Ref properties_field(const PropertyMap& map) {
    Ref dict = Ref::steal(PyDict_New());
    for (const auto& [key, value] : map) {
        if (!value) raise(PyExc_ValueError, "cannot pickle a pattern emptied by the collector");
        if (PyDict_SetItem(dict.get(), to_str(key).get(), value.get()) < 0) throw_pending();
    }
    return dict;
}

Ref node_fields(const NodePatternValue& p) {
    return tuple_of({optional_text_field(p.variable),
                     p.type ? type_table(p.type) : Ref::borrow(Py_None),
                     optional_schema_field(p.type_schema), properties_field(p.properties)});
}

Ref edge_fields(const EdgePatternValue& p) {
    return tuple_of({optional_text_field(p.variable),
                     p.term ? to_str(p.term->name()) : Ref::borrow(Py_None),
                     p.term ? type_table(p.term->type()) : Ref::borrow(Py_None),
                     optional_schema_field(p.term_type_schema), properties_field(p.properties),
                     to_str(p.direction)});
}

// Required properties: the constructors' rules (str keys, first-seen order).
PropertyMap properties_from(const StateReader& state, Py_ssize_t i) {
    return build_node_pattern(nullptr, nullptr, nullptr, state.dict(i, "properties")).properties;
}

NodePatternValue node_from(const StateReader& state) {
    state.expect(4);
    NodePatternValue p;
    p.variable = state.optional_text(0, "variable");
    if (state.field(1) != Py_None) p.type = type_from_table(state.field(1), state.where("type"));
    p.type_schema = optional_schema(state.optional_text(2, "type_schema"));
    p.properties = properties_from(state, 3);
    return p;
}

EdgePatternValue edge_from(const StateReader& state) {
    state.expect(6);
    EdgePatternValue p;
    p.variable = state.optional_text(0, "variable");
    if (state.field(1) != Py_None || state.field(2) != Py_None) p.term = term_from_fields(state, 1);
    p.term_type_schema = optional_schema(state.optional_text(3, "term_type_schema"));
    p.properties = properties_from(state, 4);
    p.direction = state.text(5, "direction");
    return p;
}

// The patterns of a path, each a tuple of fields.
template <class Value, class Read>
std::vector<Value> path_part(const StateReader& state, Py_ssize_t i, const char* name,
                             const char* part, Read read) {
    PyObject* tuple = state.tuple(i, name);
    std::vector<Value> values;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(tuple); ++k) {
        PyObject* fields = PyTuple_GET_ITEM(tuple, k);
        std::string kind = std::string(part) + " " + std::to_string(k) + " of a PathPattern";
        if (!PyTuple_Check(fields)) raise_wrong_type("cannot restore " + kind, "a tuple", fields);
        values.push_back(read(
            StateReader(std::move(kind), PySequence_Fast_ITEMS(fields), PyTuple_GET_SIZE(fields))));
    }
    return values;
}

template <class Value>
Ref path_fields(const std::vector<Value>& values, Ref (*fields)(const Value&)) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t k = 0; k < values.size(); ++k) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), fields(values[k]).release());
    }
    return tuple;
}

}  // namespace

PyObject* node_pattern_reduce(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] {
        Ref fields = node_fields(payload<NodePatternValue>(self));
        return reduce_to("NodePattern", fields.get());
    });
}

PyObject* edge_pattern_reduce(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] {
        Ref fields = edge_fields(payload<EdgePatternValue>(self));
        return reduce_to("EdgePattern", fields.get());
    });
}

PyObject* path_pattern_reduce(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        const PathPatternValue& p = payload<PathPatternValue>(self);
        return reduce_to("PathPattern",
                         {path_fields(p.nodes, node_fields), path_fields(p.edges, edge_fields)});
    });
}

Ref restore_node_pattern(const StateReader& state) {
    return new_instance(node_pattern_class(), node_from(state));
}

Ref restore_edge_pattern(const StateReader& state) {
    return new_instance(edge_pattern_class(), edge_from(state));
}

Ref restore_path_pattern(const StateReader& state) {
    state.expect(2);
    PathPatternValue p;
    p.nodes = path_part<NodePatternValue>(state, 0, "nodes", "node pattern", node_from);
    p.edges = path_part<EdgePatternValue>(state, 1, "edges", "edge pattern", edge_from);
    return new_instance(path_pattern_class(), std::move(p));
}

}  // namespace veldrin
