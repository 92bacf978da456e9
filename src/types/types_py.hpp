// The Python classes Variable and Application, and the two conversions every
// other class uses wherever it accepts or returns a type.
#pragma once

#include "module/binder.hpp"
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

// Construction of a class from `Sig` and `Make` (which builds the instance
// from the bound arguments).  `new_slot` is the class's __new__; `call`, the
// class's own call (ClassSpec::vectorcall), binds the arguments straight
// from the caller's array, without the argument tuple and keyword dict of
// the ordinary class call.  The classes are immutable, so neither __new__ nor
// __init__ can be replaced behind it.

template <const Signature& Sig, Ref (*Make)(PyTypeObject*, const BoundArgs&)>
struct Constructor {
    static PyObject* new_slot(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
        return guard_obj([&] {
            BoundArgs a;
            bind(Sig, args, kwargs, a);
            return Make(cls, a);
        });
    }

    static PyObject* call(PyObject* callable, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) noexcept {
        auto* cls = reinterpret_cast<PyTypeObject*>(callable);
        return guard_obj([&] {
            BoundArgs a;
            Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
            if (!kwnames && nargs == Sig.n_params && nargs == Sig.n_positional) {
                // Every parameter given by position: nothing to check.
                for (Py_ssize_t i = 0; i < nargs; ++i) a.value[i] = args[i];
            } else {
                bind(Sig, args, nargs, kwnames, a);
            }
            return Make(cls, a);
        });
    }
};

}  // namespace veldrin
