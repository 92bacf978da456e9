// TypeSchema.__reduce__ and its restore function: the kind "TypeSchema",
// with the schema text as its one field.
#pragma once

#include "module/pickling.hpp"

namespace veldrin {

PyObject* type_schema_reduce(PyObject* self, PyObject*) noexcept;
Ref restore_type_schema(const StateReader& state);

}  // namespace veldrin
