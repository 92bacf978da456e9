// Node and edge records: the data a Node or Edge object holds, copied by
// reference (type, term and property dictionary are shared, never
// duplicated).
#pragma once

#include "module/object.hpp"
#include "term/term.hpp"
#include "types/type_value.hpp"

namespace veldrin {

struct NodeRecord {
    TypeRef type;
    Ref properties;  // a dict, shared with every copy of the record

    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(properties.get());
        return 0;
    }
    void clear() noexcept { properties.reset(); }
};

struct EdgeRecord {
    TermValue term;
    NodeRecord start;
    NodeRecord end;
    Ref properties;

    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(properties.get());
        if (int r = start.traverse(visit, arg)) return r;
        return end.traverse(visit, arg);
    }
    void clear() noexcept {
        properties.reset();
        start.clear();
        end.clear();
    }
};

// SHA-256 of "node:" + type UID / "edge:" + term UID, remembered by the
// type (term) node after the first call.
Uid node_uid(const NodeRecord& n);
Uid edge_uid(const EdgeRecord& e);
// A hash of what the record's UID is made from (its type or term): equal
// UIDs hash alike.  Remembered by the type (term) node, and cheaper than the
// UID the first time.
inline std::size_t identity_hash(const NodeRecord& n) {
    return static_cast<std::size_t>(type_hash(n.type.node()));
}
inline std::size_t identity_hash(const EdgeRecord& e) {
    return static_cast<std::size_t>(term_hash(e.term));
}

// The property dictionary of a record; a record emptied by the collector
// gets a fresh empty dictionary rather than handing out null.
Borrowed record_properties(NodeRecord& n);
Borrowed record_properties(EdgeRecord& e);

PyTypeObject* node_class();
PyTypeObject* edge_class();

// A copy of a Node (Edge) object's record; anything else raises TypeError
// "'{type}' object cannot be cast as 'Node'" ('Edge'), without prefix.
NodeRecord node_from_object(PyObject* o);
EdgeRecord edge_from_object(PyObject* o);
// A new Node (Edge) object holding the record.
Ref node_to_object(NodeRecord n);
Ref edge_to_object(EdgeRecord e);

// Node construction from a Python type object and an optional dict (null or
// None: a new empty dict).
NodeRecord make_node_record(PyObject* type, PyObject* properties);

}  // namespace veldrin
