// A type as a flat table, the form in which types leave the process (pickles,
// node-link data).
//
// A table is a sequence of entries: a str is a type variable, two ints i, j
// are the application of entry i to entry j, where both count entries from
// 0 and name entries before this one.  The type is the last entry.  Equal
// variables and shared subtrees are written once, so a table is never larger
// than the type's graph of shared nodes, and neither writing nor reading it
// recurses, at any nesting depth.
#pragma once

#include <string>

#include "module/pickling.hpp"
#include "types/type_value.hpp"

namespace veldrin {

// The table of `t`, as a tuple or as a list.
Ref type_table(const TypeRef& t, bool as_list = false);

// Reads a tuple or list back.  Failures name `context`: TypeError for an
// entry that is no str or int, ValueError for a bad index or an empty
// table; a table nesting deeper than kMaxTypeDepth raises RecursionError.
TypeRef type_from_table(PyObject* table, const std::string& context);

// Variable.__reduce__ and Application.__reduce__; the kind "type".
PyObject* type_reduce(PyObject* self, PyObject*) noexcept;
Ref restore_type(const StateReader& state);

}  // namespace veldrin
