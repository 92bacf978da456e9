// Pickling and copying of Node, Edge and Graph.
//
// A Node reduces to (type table, property dict), an Edge to its term's name
// and type table, the type tables and property dicts of its two ends and its
// own property dict, a Graph to its two dicts: the dicts themselves, so that
// pickle's memo keeps an edge's end and the graph's node sharing one dict.
// copy.copy therefore shares the dicts of a Node or Edge; a Graph copies its
// two dicts (new dicts holding the same objects).  __deepcopy__ makes the
// copy first and enters it in the memo before copying the dicts, so a dict
// that refers back to its owner refers to the copy.
#pragma once

#include "module/pickling.hpp"

namespace veldrin {

PyObject* node_reduce(PyObject* self, PyObject*) noexcept;
PyObject* edge_reduce(PyObject* self, PyObject*) noexcept;
PyObject* graph_reduce(PyObject* self, PyObject*) noexcept;
PyObject* graph_copy(PyObject* self, PyObject*) noexcept;
PyObject* node_deepcopy(PyObject* self, PyObject* memo) noexcept;
PyObject* edge_deepcopy(PyObject* self, PyObject* memo) noexcept;
PyObject* graph_deepcopy(PyObject* self, PyObject* memo) noexcept;

Ref restore_node(const StateReader& state);
Ref restore_edge(const StateReader& state);
Ref restore_graph(const StateReader& state);

}  // namespace veldrin
