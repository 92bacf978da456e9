// Node and Edge: a type (a term between two nodes) with a property
// dictionary that is shared, never copied, by every copy of the record.
#include "graph/graph_state.hpp"
#include "graph/records.hpp"
#include "module/binder.hpp"
#include "module/convert.hpp"
#include "module/kept.hpp"
#include "types/types_py.hpp"

namespace veldrin {

Uid node_uid(const NodeRecord& n) { return node_digest(n.type.node()).uid(); }
Uid edge_uid(const EdgeRecord& e) { return edge_digest(e.term).uid(); }

namespace {

// A dict, or a new empty one for an absent or None argument.
Ref optional_properties(PyObject* properties) {
    if (!properties || properties == Py_None) return Ref::steal(PyDict_New());
    return Ref::borrow(properties);
}

}  // namespace

Borrowed record_properties(NodeRecord& n) { return dict_field(n.properties); }
Borrowed record_properties(EdgeRecord& e) { return dict_field(e.properties); }

NodeRecord make_node_record(PyObject* type, PyObject* properties) {
    TypeRef t = type_from_object(type);
    return NodeRecord{std::move(t), optional_properties(properties)};
}

namespace {

// ---- shared by both classes -----------------------------------------------

template <class Record>
Ref record_properties_of(PyObject* self) {
    return Ref::borrow(record_properties(payload<Record>(self)));
}

template <class Record>
int set_properties(PyObject* self, PyObject* value, void*) noexcept {
    return guard(-1, [&] {
        if (!value) refuse_delete();
        ExclusiveBorrow b(self);
        dict_arg(value, "properties");
        payload<Record>(self).properties = Ref::borrow(value);
        return 0;
    });
}

// ---- Node -------------------------------------------------------------------

NodeRecord& node_of(PyObject* self) { return payload<NodeRecord>(self); }

const char* const node_params[] = {"type", "properties"};
constexpr Signature node_sig = make_signature("Node.__new__()", node_params, 2, 0b01);

Ref make_node(PyTypeObject* cls, const BoundArgs& a) {
    check_optional_dict(a[1], "properties");
    return new_instance(cls, make_node_record(a[0], a[1]));
}
using NodeConstructor = Constructor<node_sig, make_node>;

Ref node_type(PyObject* self) { return type_to_object(node_of(self).type); }
Ref node_uid_text(PyObject* self) { return uid_to_str(node_digest(node_of(self).type.node())); }
Ref node_repr(PyObject* self) { return to_str("Node(" + type_text(node_of(self).type) + ")"); }

PyMethodDef node_methods[] = {
    {"uid", read_method<node_uid_text>, METH_NOARGS,
     "uid($self)\n--\n\nReturns a unique identifier for this node.\n\n"
     "Returns:\n    str: A SHA256 hash based on the node's type."},
    {"__reduce__", node_reduce, METH_NOARGS, nullptr},
    {"__deepcopy__", node_deepcopy, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nA deep copy of the node, keeping what was "
     "shared shared."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef node_getset[] = {
    {"type", read_getter<node_type>, nullptr, "Gets the type of this node.", nullptr},
    {"properties", read_getter<record_properties_of<NodeRecord>>, set_properties<NodeRecord>,
     "The property dictionary of this node (shared, never copied).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

const ClassSpec node_spec{
    .name = "builtins.Node",
    .doc =
        "Node(type, properties=None)\n--\n\n"
        "Represents a node in the graph (a type in the model).",
    .instance = layout_of<NodeRecord>(),
    .new_ = NodeConstructor::new_slot,
    .vectorcall = NodeConstructor::call,
    .repr = read_slot<node_repr>,
    .str = read_slot<node_repr>,
    .methods = node_methods,
    .getset = node_getset,
};

// ---- Edge -------------------------------------------------------------------

EdgeRecord& edge_of(PyObject* self) { return payload<EdgeRecord>(self); }

const char* const edge_params[] = {"term", "start", "end", "properties"};
constexpr Signature edge_sig = make_signature("Edge.__new__()", edge_params, 4, 0b0111);

Ref make_edge(PyTypeObject* cls, const BoundArgs& a) {
    check_optional_dict(a[3], "properties");
    TermValue term = term_from_object(a[0]);
    NodeRecord start = node_from_object(a[1]);
    NodeRecord end = node_from_object(a[2]);
    return new_instance(cls, EdgeRecord{std::move(term), std::move(start), std::move(end),
                                        optional_properties(a[3])});
}
using EdgeConstructor = Constructor<edge_sig, make_edge>;

Ref edge_term(PyObject* self) { return term_to_object(edge_of(self).term); }
Ref edge_start(PyObject* self) { return node_to_object(edge_of(self).start); }
Ref edge_end(PyObject* self) { return node_to_object(edge_of(self).end); }
Ref edge_uid_text(PyObject* self) { return uid_to_str(edge_digest(edge_of(self).term)); }

Ref edge_repr(PyObject* self) {
    const EdgeRecord& e = edge_of(self);
    return to_str("Edge(" + e.term.name() + ": " + type_text(e.start.type) + " -> " +
                  type_text(e.end.type) + ")");
}

PyMethodDef edge_methods[] = {
    {"uid", read_method<edge_uid_text>, METH_NOARGS,
     "uid($self)\n--\n\nReturns a unique identifier for this edge.\n\n"
     "Returns:\n    str: A SHA256 hash based on the edge's term."},
    {"__reduce__", edge_reduce, METH_NOARGS, nullptr},
    {"__deepcopy__", edge_deepcopy, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nA deep copy of the edge, keeping what was "
     "shared shared."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef edge_getset[] = {
    {"term", read_getter<edge_term>, nullptr, "Gets the term of this edge.", nullptr},
    {"start", read_getter<edge_start>, nullptr, "Gets the starting node of this edge.", nullptr},
    {"end", read_getter<edge_end>, nullptr, "Gets the ending node of this edge.", nullptr},
    {"properties", read_getter<record_properties_of<EdgeRecord>>, set_properties<EdgeRecord>,
     "The property dictionary of this edge (shared, never copied).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

const ClassSpec edge_spec{
    .name = "builtins.Edge",
    .doc =
        "Edge(term, start, end, properties=None)\n--\n\n"
        "Represents an edge in the graph (a typed term in the model).",
    .instance = layout_of<EdgeRecord>(),
    .new_ = EdgeConstructor::new_slot,
    .vectorcall = EdgeConstructor::call,
    .repr = read_slot<edge_repr>,
    .str = read_slot<edge_repr>,
    .methods = edge_methods,
    .getset = edge_getset,
};

constinit KeptClass node_type_object{[] { return create_class(node_spec); }};
constinit KeptClass edge_type_object{[] { return create_class(edge_spec); }};

}  // namespace

PyTypeObject* node_class() { return node_type_object.get(); }
PyTypeObject* edge_class() { return edge_type_object.get(); }

NodeRecord node_from_object(PyObject* o) {
    instance_arg(o, node_class(), "Node", nullptr);
    SharedBorrow b(o);
    NodeRecord& n = node_of(o);
    record_properties(n);
    return n;
}

EdgeRecord edge_from_object(PyObject* o) {
    instance_arg(o, edge_class(), "Edge", nullptr);
    SharedBorrow b(o);
    EdgeRecord& e = edge_of(o);
    record_properties(e);
    record_properties(e.start);
    record_properties(e.end);
    return e;
}

Ref node_to_object(NodeRecord n) { return new_instance(node_class(), std::move(n)); }
Ref edge_to_object(EdgeRecord e) { return new_instance(edge_class(), std::move(e)); }

}  // namespace veldrin
