// Pickling and copying of the three pattern classes.
//
// A NodePattern reduces to (variable, type table or None, schema text or
// None, required properties as a dict), an EdgePattern to (variable, term
// name or None, term type table or None, schema text or None, required
// properties, direction), a PathPattern to a tuple of node pattern fields and
// a tuple of edge pattern fields.  copy.copy makes a pattern holding the same
// property value objects; copy.deepcopy copies them.
#pragma once

#include "module/pickling.hpp"

namespace veldrin {

PyObject* node_pattern_reduce(PyObject* self, PyObject*) noexcept;
PyObject* edge_pattern_reduce(PyObject* self, PyObject*) noexcept;
PyObject* path_pattern_reduce(PyObject* self, PyObject*) noexcept;

Ref restore_node_pattern(const StateReader& state);
Ref restore_edge_pattern(const StateReader& state);
Ref restore_path_pattern(const StateReader& state);

}  // namespace veldrin
