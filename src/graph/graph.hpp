// Graph: two Python dictionaries, node UID -> Node and edge UID -> Edge,
// handed out as they are; and the lookup of the nodes of one type.
#pragma once

#include <vector>

#include "graph/records.hpp"

namespace veldrin {

struct GraphPayload {
    Ref nodes;
    Ref edges;

    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(nodes.get());
        Py_VISIT(edges.get());
        return 0;
    }
    void clear() noexcept {
        nodes.reset();
        edges.reset();
    }
};

// The payload of a Graph, or of another object holding a graph's two
// dictionaries (a Query).  One emptied by the collector gets new empty
// dictionaries: they are never null.
template <class Payload>
Payload& with_dictionaries(PyObject* self) {
    Payload& p = payload<Payload>(self);
    dict_field(p.nodes);
    dict_field(p.edges);
    return p;
}

PyTypeObject* graph_class();

// The two dictionaries of a Graph object (never null).
GraphPayload graph_dictionaries(PyObject* graph);

// Copies of the nodes of `type`, in node-dictionary order.  Every entry is
// checked first: a key that is not a str or a value that is not a Node fails
// the whole lookup, whatever its type.
std::vector<NodeRecord> nodes_of_type(PyObject* nodes, const TypeRef& type);

// The one upward tie: Graph.query() makes a Query, whose class lives above
// the graph.  Defined with the Query class.
Ref new_query_for_graph(PyObject* graph);

}  // namespace veldrin
