// Node and Edge: a type (a term between two nodes) with a property
// dictionary that is shared, never copied, by every copy of the record.
#include "errors/model_error.hpp"
#include "graph/graph_state.hpp"
#include "graph/records.hpp"
#include "module/convert.hpp"
#include "types/types_py.hpp"

namespace veldrin {

Uid node_uid(const NodeRecord& n) { return node_digest(n.type.node()).uid(); }
Uid edge_uid(const EdgeRecord& e) { return edge_digest(e.term).uid(); }

namespace {
PyObject* ensure_dict(Ref& properties) {
    if (!properties) properties = Ref::steal(PyDict_New());
    return properties.get();
}

// A dict, or a new empty one for an absent or None argument.
Ref optional_properties(PyObject* properties) {
    if (!properties || properties == Py_None) return Ref::steal(PyDict_New());
    return Ref::borrow(properties);
}

}  // namespace

PyObject* record_properties(NodeRecord& n) { return ensure_dict(n.properties); }
PyObject* record_properties(EdgeRecord& e) { return ensure_dict(e.properties); }

NodeRecord make_node_record(PyObject* type, PyObject* properties) {
    TypeRef t = type_from_object(type);
    return NodeRecord{std::move(t), optional_properties(properties)};
}

namespace {

// ---- shared by both classes -----------------------------------------------

template <class Record>
PyObject* get_properties(PyObject* self, void*) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return Ref::borrow(record_properties(payload<Record>(self)));
    });
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

PyObject* node_get_type(PyObject* self, void*) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return type_to_object(node_of(self).type);
    });
}

PyObject* node_uid_method(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return uid_to_str(node_digest(node_of(self).type.node()));
    });
}

PyObject* node_repr(PyObject* self) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return to_str("Node(" + type_text(node_of(self).type) + ")");
    });
}

PyMethodDef node_methods[] = {
    {"uid", node_uid_method, METH_NOARGS,
     "uid($self)\n--\n\nReturns a unique identifier for this node.\n\n"
     "Returns:\n    str: A SHA256 hash based on the node's type."},
    {"__reduce__", node_reduce, METH_NOARGS, nullptr},
    {"__deepcopy__", node_deepcopy, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nA deep copy of the node, keeping what was "
     "shared shared."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef node_getset[] = {
    {"type", node_get_type, nullptr, "Gets the type of this node.", nullptr},
    {"properties", get_properties<NodeRecord>, set_properties<NodeRecord>,
     "The property dictionary of this node (shared, never copied).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

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

PyObject* edge_get_term(PyObject* self, void*) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return term_to_object(edge_of(self).term);
    });
}

PyObject* edge_get_start(PyObject* self, void*) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return node_to_object(edge_of(self).start);
    });
}

PyObject* edge_get_end(PyObject* self, void*) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return node_to_object(edge_of(self).end);
    });
}

PyObject* edge_uid_method(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return uid_to_str(edge_digest(edge_of(self).term));
    });
}

PyObject* edge_repr(PyObject* self) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        const EdgeRecord& e = edge_of(self);
        return to_str("Edge(" + e.term.name() + ": " + type_text(e.start.type) + " -> " +
                      type_text(e.end.type) + ")");
    });
}

PyMethodDef edge_methods[] = {
    {"uid", edge_uid_method, METH_NOARGS,
     "uid($self)\n--\n\nReturns a unique identifier for this edge.\n\n"
     "Returns:\n    str: A SHA256 hash based on the edge's term."},
    {"__reduce__", edge_reduce, METH_NOARGS, nullptr},
    {"__deepcopy__", edge_deepcopy, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nA deep copy of the edge, keeping what was "
     "shared shared."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef edge_getset[] = {
    {"term", edge_get_term, nullptr, "Gets the term of this edge.", nullptr},
    {"start", edge_get_start, nullptr, "Gets the starting node of this edge.", nullptr},
    {"end", edge_get_end, nullptr, "Gets the ending node of this edge.", nullptr},
    {"properties", get_properties<EdgeRecord>, set_properties<EdgeRecord>,
     "The property dictionary of this edge (shared, never copied).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyTypeObject* node_class() {
    static PyTypeObject* cls = nullptr;
    if (!cls) {
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>("Node(type, properties=None)\n--\n\n"
                                          "Represents a node in the graph (a type in the model).")},
            NodeConstructor::slot(),
            dealloc_slot<NodeRecord>(),
            {Py_tp_traverse, reinterpret_cast<void*>(instance_traverse<NodeRecord>)},
            {Py_tp_clear, reinterpret_cast<void*>(instance_clear<NodeRecord>)},
            {Py_tp_str, reinterpret_cast<void*>(node_repr)},
            {Py_tp_repr, reinterpret_cast<void*>(node_repr)},
            {Py_tp_methods, node_methods},
            {Py_tp_getset, node_getset},
            {0, nullptr}};
        cls = create_class("builtins.Node", sizeof(Instance<NodeRecord>), true, slots);
        NodeConstructor::install(cls);
    }
    return cls;
}

PyTypeObject* edge_class() {
    static PyTypeObject* cls = nullptr;
    if (!cls) {
        static PyType_Slot slots[] = {
            {Py_tp_doc,
             const_cast<char*>("Edge(term, start, end, properties=None)\n--\n\n"
                               "Represents an edge in the graph (a typed term in the model).")},
            EdgeConstructor::slot(),
            dealloc_slot<EdgeRecord>(),
            {Py_tp_traverse, reinterpret_cast<void*>(instance_traverse<EdgeRecord>)},
            {Py_tp_clear, reinterpret_cast<void*>(instance_clear<EdgeRecord>)},
            {Py_tp_str, reinterpret_cast<void*>(edge_repr)},
            {Py_tp_repr, reinterpret_cast<void*>(edge_repr)},
            {Py_tp_methods, edge_methods},
            {Py_tp_getset, edge_getset},
            {0, nullptr}};
        cls = create_class("builtins.Edge", sizeof(Instance<EdgeRecord>), true, slots);
        EdgeConstructor::install(cls);
    }
    return cls;
}

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
