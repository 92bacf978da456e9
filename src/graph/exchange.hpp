// A graph as data for other tools: node-link data, the layout graph
// libraries read and write (and JSON holds), and DOT text for Graphviz.
//
// Node-link data is a dict {"directed": True, "multigraph": True, "graph":
// {}, "nodes": [...], "edges": [...]}.  A node entry holds "id" (the node's
// UID), "type" (its type text) and "properties" (a copy of its dict); an
// edge entry "source" and "target" (the UIDs of its ends), "key" (its UID),
// "term" (the term's name), "type" (the term's type text) and "properties".
// A type text that the concrete-type reader cannot read back to the same
// type (a variable name holding "->", a parenthesis, white space, "$", ":"
// or nothing; nesting past the reader's parenthesis limit) is written with
// "type_parts" beside it: the type as a table (types/type_table.hpp), which
// is then what the type is read from.
//
// Type texts are read back with the concrete-type reader of pattern strings
// (patterns/parser.hpp, pure text to type), the one place the graph area
// reaches above itself besides Graph.query().
#pragma once

#include "module/py.hpp"

namespace veldrin {

PyObject* graph_to_node_link(PyObject* self, PyObject*) noexcept;
PyObject* graph_from_node_link(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept;
PyObject* graph_to_dot(PyObject* self, PyObject*) noexcept;

}  // namespace veldrin
