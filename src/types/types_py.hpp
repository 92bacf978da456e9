// The Python classes Variable and Application, and the two conversions every
// other class uses wherever it accepts or returns a type.
#pragma once

#include "module/object.hpp"
#include "types/type_value.hpp"

namespace veldrin {

// Both classes hold one type value; a Variable's is always a variable node.
struct TypePayload {
    TypeRef type;
};

PyTypeObject* variable_class();
PyTypeObject* application_class();

// A copy of the type held by a Variable or Application object; anything
// else raises TypeError "Expected Variable or Application" (no prefix).
TypeRef type_from_object(PyObject* o);
// A new Variable or Application object holding the type.
Ref type_to_object(const TypeRef& t);

// Value-class comparison shared by Variable, Application and Term: `==`
// answers NotImplemented for another class or a refused borrow, `!=` negates
// the full `==` protocol, ordering answers NotImplemented.
PyObject* value_richcompare(PyObject* self, PyObject* other, int op,
                            bool (*equal)(PyObject*, PyObject*)) noexcept;

// "can't delete attribute", for the setters that refuse deletion.
[[noreturn]] void refuse_delete();

// The UID of a digest as a new str.
Ref uid_to_str(const Digest& digest);

}  // namespace veldrin
