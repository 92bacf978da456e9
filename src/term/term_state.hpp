// Term.__reduce__ and its restore function: the kind "Term", with the fields
// name and type table.
#pragma once

#include "module/pickling.hpp"
#include "term/term.hpp"

namespace veldrin {

PyObject* term_reduce(PyObject* self, PyObject*) noexcept;
Ref restore_term(const StateReader& state);

// A term's fields are its name and its type table; reads them back from the
// fields at `first` and `first + 1`.
TermValue term_from_fields(const StateReader& state, Py_ssize_t first);

}  // namespace veldrin
