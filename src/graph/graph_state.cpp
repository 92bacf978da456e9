#include "graph/graph_state.hpp"

#include <array>
#include <string>

#include "graph/graph.hpp"
#include "term/term_state.hpp"
#include "types/type_table.hpp"

namespace veldrin {

namespace {

Ref properties_field(NodeRecord& n) { return Ref::borrow(record_properties(n)); }

NodeRecord node_from_fields(const StateReader& state, Py_ssize_t first, const std::string& end) {
    TypeRef type = type_from_table(state.field(first), state.where((end + "type").c_str()));
    PyObject* properties = state.dict(first + 1, (end + "properties").c_str());
    return NodeRecord{std::move(type), Ref::borrow(properties)};
}

// The dict slots of a payload, in a fixed order.
std::array<Ref*, 1> dict_slots(NodeRecord& n) { return {&n.properties}; }
std::array<Ref*, 3> dict_slots(EdgeRecord& e) {
    return {&e.properties, &e.start.properties, &e.end.properties};
}
std::array<Ref*, 2> dict_slots(GraphPayload& g) { return {&g.nodes, &g.edges}; }

// A copy of `original` (a copy of self's payload whose dicts are set) whose
// dicts are deep copies, made as the header describes.
template <class Payload>
Ref deep_copy_payload(PyObject* self, PyObject* memo_arg, PyTypeObject* cls, Payload original,
                      bool exact_dicts) {
    Ref memo = memo_or_new(memo_arg);
    Payload blank = original;
    for (Ref* slot : dict_slots(blank)) *slot = Ref::steal(PyDict_New());
    Ref copy = new_instance(cls, std::move(blank));
    MemoEntry entry(memo.get(), self, copy.get());
    auto from = dict_slots(original);
    std::array<Ref, std::tuple_size_v<decltype(from)>> copies;
    for (std::size_t i = 0; i < from.size(); ++i) {
        copies[i] = deep_copy(from[i]->get(), memo.get());
        PyObject* d = copies[i].get();
        if (exact_dicts ? !PyDict_CheckExact(d) : !PyDict_Check(d)) {
            raise_wrong_type("the deep copy of a dict", "a dict", d);
        }
    }
    {
        ExclusiveBorrow b(copy.get());
        auto to = dict_slots(payload<Payload>(copy.get()));
        for (std::size_t i = 0; i < to.size(); ++i) *to[i] = std::move(copies[i]);
    }
    entry.done();
    return copy;
}

}  // namespace

PyObject* node_reduce(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] {
        NodeRecord n = node_from_object(self);
        return reduce_to("Node", {type_table(n.type), properties_field(n)});
    });
}

PyObject* edge_reduce(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] {
        EdgeRecord e = edge_from_object(self);
        return reduce_to(
            "Edge", {to_str(e.term.name()), type_table(e.term.type()), type_table(e.start.type),
                     properties_field(e.start), type_table(e.end.type), properties_field(e.end),
                     Ref::borrow(record_properties(e))});
    });
}

PyObject* graph_reduce(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] {
        GraphPayload g = graph_dictionaries(self);
        return reduce_to("Graph", {g.nodes, g.edges});
    });
}

PyObject* graph_copy(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] {
        GraphPayload g = graph_dictionaries(self);
        GraphPayload copy{Ref::steal(PyDict_Copy(g.nodes.get())),
                          Ref::steal(PyDict_Copy(g.edges.get()))};
        return new_instance(graph_class(), std::move(copy));
    });
}

PyObject* node_deepcopy(PyObject* self, PyObject* memo) noexcept {
    return guard_obj(
        [&] { return deep_copy_payload(self, memo, node_class(), node_from_object(self), false); });
}

PyObject* edge_deepcopy(PyObject* self, PyObject* memo) noexcept {
    return guard_obj(
        [&] { return deep_copy_payload(self, memo, edge_class(), edge_from_object(self), false); });
}

PyObject* graph_deepcopy(PyObject* self, PyObject* memo) noexcept {
    return guard_obj([&] {
        return deep_copy_payload(self, memo, graph_class(), graph_dictionaries(self), true);
    });
}

Ref restore_node(const StateReader& state) {
    state.expect(2);
    return node_to_object(node_from_fields(state, 0, ""));
}

Ref restore_edge(const StateReader& state) {
    state.expect(7);
    TermValue term = term_from_fields(state, 0);
    NodeRecord start = node_from_fields(state, 2, "start ");
    NodeRecord end = node_from_fields(state, 4, "end ");
    Ref properties = Ref::borrow(state.dict(6, "properties"));
    return edge_to_object(
        EdgeRecord{std::move(term), std::move(start), std::move(end), std::move(properties)});
}

Ref restore_graph(const StateReader& state) {
    state.expect(2);
    GraphPayload g{Ref::borrow(state.dict(0, "nodes", true)),
                   Ref::borrow(state.dict(1, "edges", true))};
    return new_instance(graph_class(), std::move(g));
}

}  // namespace veldrin
