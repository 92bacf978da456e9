#include "graph/graph.hpp"

#include "errors/failure.hpp"
#include "graph/exchange.hpp"
#include "graph/graph_state.hpp"
#include "module/binder.hpp"
#include "module/convert.hpp"
#include "module/kept.hpp"

namespace veldrin {

namespace {

GraphPayload& graph_of(PyObject* self) { return with_dictionaries<GraphPayload>(self); }

constexpr Signature graph_sig = make_signature("Graph.__new__()");

Ref make_graph(PyTypeObject* cls, const BoundArgs&) {
    GraphPayload g{Ref::steal(PyDict_New()), Ref::steal(PyDict_New())};
    return new_instance(cls, std::move(g));
}

Ref graph_nodes(PyObject* self) { return graph_of(self).nodes; }
Ref graph_edges(PyObject* self) { return graph_of(self).edges; }

PyObject* graph_query(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] { return new_query_for_graph(self); });
}

Ref graph_repr(PyObject* self) {
    GraphPayload& g = graph_of(self);
    return to_str("Graph(" + std::to_string(PyDict_GET_SIZE(g.nodes.get())) + " nodes, " +
                  std::to_string(PyDict_GET_SIZE(g.edges.get())) + " edges)");
}

PyMethodDef graph_methods[] = {
    {"query", graph_query, METH_NOARGS,
     "query($self)\n--\n\nCreates a new query builder for this graph."},
    {"to_node_link", graph_to_node_link, METH_NOARGS,
     "to_node_link($self)\n--\n\nThe graph as node-link data: a dict "
     "that graph libraries read and JSON holds."},
    {"from_node_link", as_method(graph_from_node_link), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_node_link($type, data)\n--\n\nA new graph from node-link data "
     "(as to_node_link writes it)."},
    {"to_dot", graph_to_dot, METH_NOARGS,
     "to_dot($self)\n--\n\nThe graph as Graphviz DOT text: a directed "
     "multigraph with types and term names as labels."},
    {"__reduce__", graph_reduce, METH_NOARGS, nullptr},
    {"__copy__", graph_copy, METH_NOARGS,
     "__copy__($self, /)\n--\n\nA new graph whose dictionaries are new dicts holding the same "
     "objects."},
    {"__deepcopy__", graph_deepcopy, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nA deep copy of the graph, keeping what was shared "
     "shared."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef graph_getset[] = {
    {"nodes", read_getter<graph_nodes>, nullptr,
     "The node dictionary (node UID -> Node), the object itself.", nullptr},
    {"edges", read_getter<graph_edges>, nullptr,
     "The edge dictionary (edge UID -> Edge), the object itself.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

const ClassSpec graph_spec{
    .name = "builtins.Graph",
    .doc = "Graph()\n--\n\nRepresents a type theoretical theory model as a graph.",
    .instance = layout_of<GraphPayload>(),
    .new_ = Constructor<graph_sig, make_graph>::new_slot,
    .repr = read_slot<graph_repr>,
    .str = read_slot<graph_repr>,
    .methods = graph_methods,
    .getset = graph_getset,
};

constinit KeptClass graph_type{[] { return create_class(graph_spec); }};

}  // namespace

PyTypeObject* graph_class() { return graph_type.get(); }

GraphPayload graph_dictionaries(PyObject* graph) {
    SharedBorrow b(graph);
    return graph_of(graph);
}

std::vector<NodeRecord> nodes_of_type(PyObject* nodes, const TypeRef& type) {
    // Types are compared structurally: equal type UIDs and structurally equal
    // types are the same thing.  A function type's UID is taken (once: it is
    // remembered) so that it meets the nodes' remembered UIDs in one
    // comparison rather than a walk of both types.  No Python code runs
    // while an entry of this first pass is read (a signal handler only
    // between entries), so entries are read in place without taking
    // references.
    if (type.is_application()) type_digest(type.node());
    Ref dict = Ref::borrow(nodes);
    PyTypeObject* node_type = node_class();
    std::vector<Ref> keys;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    unsigned steps = 0;
    while (PyDict_Next(nodes, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) raise_cast_error(key, "str", nullptr);
        if (!is_instance(value, node_type)) raise_cast_error(value, "Node", nullptr);
        if (!SharedBorrow::available(value)) SharedBorrow::refuse();
        if (payload<NodeRecord>(value).type == type) keys.push_back(Ref::borrow(key));
        // Pending signals (Ctrl-C) are answered every few thousand entries,
        // between entries: nothing read in place is used after a handler.
        if ((++steps & 4095) == 0) {
            Py_ssize_t size = PyDict_GET_SIZE(nodes);
            if (PyErr_CheckSignals() < 0) throw_pending();
            if (PyDict_GET_SIZE(nodes) != size) panic("dictionary changed size during iteration");
        }
    }
    std::vector<NodeRecord> result;
    result.reserve(keys.size());
    for (const Ref& k : keys) {
        PyObject* found = PyDict_GetItemWithError(dict.get(), k.get());
        if (!found) {
            if (PyErr_Occurred()) throw_pending();
            continue;
        }
        Ref hold = Ref::borrow(found);
        result.push_back(node_from_object(hold.get()));
    }
    return result;
}

}  // namespace veldrin
