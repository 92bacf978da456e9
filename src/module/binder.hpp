// The one argument binder: matches a call's positional and keyword arguments
// to a signature and produces the binding errors every class shares.
//
// Binding allocates nothing on the success path: the result is an array of
// borrowed references (null for an absent argument) and, for a `*name`
// parameter, a view of the surplus positional arguments.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/py.hpp"

namespace veldrin {

constexpr int kMaxParams = 12;

// Made by make_signature, which counts the names.
struct Signature {
    const char* callable;           // "Variable.__new__()"
    const char* const* names;       // every named parameter, in order
    int n_params;                   // number of entries in `names`
    int n_positional;               // the first n_positional may come by position
    std::uint32_t required;         // bit i set: parameter i is required
    const char* varargs = nullptr;  // name of a `*name` parameter, if any
};

// The signature of `callable` with the parameters `names` (an array that
// lives as long as the signature), the first `n_positional` of which may
// come by position.  Declared constexpr, a signature whose positional count
// or required bits reach past its names does not compile.
template <std::size_t N>
constexpr Signature make_signature(const char* callable, const char* const (&names)[N],
                                   int n_positional, std::uint32_t required,
                                   const char* varargs = nullptr) {
    static_assert(N <= kMaxParams, "more parameters than the binder holds");
    if (n_positional < 0 || static_cast<std::size_t>(n_positional) > N || (required >> N) != 0) {
        throw "a signature's positional count and required bits must fit its names";
    }
    return {callable, names, static_cast<int>(N), n_positional, required, varargs};
}
// A signature without named parameters: only `*varargs`, or nothing at all.
constexpr Signature make_signature(const char* callable, const char* varargs = nullptr) {
    return {callable, nullptr, 0, 0, 0, varargs};
}

struct BoundArgs {
    PyObject* value[kMaxParams] = {};
    PyObject* const* extra = nullptr;  // surplus positionals collected by `*name`
    Py_ssize_t n_extra = 0;

    PyObject* operator[](int i) const noexcept { return value[i]; }
    // Absent or None: an explicit None means the same as an omitted argument.
    bool given(int i) const noexcept { return value[i] && value[i] != Py_None; }
};

// Vectorcall convention (METH_FASTCALL | METH_KEYWORDS).
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          BoundArgs& out);
// Tuple-and-dict convention (__new__, __call__).
void bind(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out);

// A METH_FASTCALL | METH_KEYWORDS method: binds the call's arguments with
// `Sig` and runs `Body(self, bound)` at the slot boundary.
template <const Signature& Sig, Ref (*Body)(PyObject*, const BoundArgs&)>
PyObject* bound_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return guard_obj([&] {
        BoundArgs a;
        bind(Sig, args, nargs, kwnames, a);
        return Body(self, a);
    });
}

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
