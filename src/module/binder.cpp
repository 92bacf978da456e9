#include "module/binder.hpp"

#include <string>

namespace veldrin {

namespace {

[[noreturn]] void binding_error(const Signature& sig, const std::string& rest) {
    raise(PyExc_TypeError, std::string(sig.callable) + " " + rest);
}

std::string quoted_list(const Signature& sig, const int* which, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        if (i > 0) s += (n == 2) ? " and " : (i == n - 1 ? ", and " : ", ");
        s += "'";
        s += sig.names[which[i]];
        s += "'";
    }
    return s;
}

[[noreturn]] void missing_error(const Signature& sig, const int* which, int n, bool keyword) {
    binding_error(sig, "missing " + std::to_string(n) + " required " +
                           (keyword ? "keyword" : "positional") + " argument" +
                           (n == 1 ? "" : "s") + ": " + quoted_list(sig, which, n));
}

void check_positional_count(const Signature& sig, Py_ssize_t nargs) {
    if (sig.varargs || nargs <= sig.n_positional) return;
    int min = 0;
    while (min < sig.n_positional && (sig.required >> min & 1u)) ++min;
    std::string given = std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given";
    if (min == sig.n_positional) {
        binding_error(sig, "takes " + std::to_string(sig.n_positional) +
                               " positional arguments but " + given);
    }
    binding_error(sig, "takes from " + std::to_string(min) + " to " +
                           std::to_string(sig.n_positional) + " positional arguments but " + given);
}

void take_positionals(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      BoundArgs& out) {
    Py_ssize_t n = nargs < sig.n_positional ? nargs : sig.n_positional;
    for (Py_ssize_t i = 0; i < n; ++i) out.value[i] = args[i];
    if (sig.varargs && nargs > sig.n_positional) {
        out.extra = args + sig.n_positional;
        out.n_extra = nargs - sig.n_positional;
    }
}

void take_keyword(const Signature& sig, PyObject* key, PyObject* value, BoundArgs& out) {
    for (int i = 0; i < sig.n_params; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) != 0) continue;
        if (out.value[i]) {
            binding_error(sig,
                          std::string("got multiple values for argument '") + sig.names[i] + "'");
        }
        out.value[i] = value;
        return;
    }
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &len);
    if (!text) throw_pending();
    binding_error(sig, "got an unexpected keyword argument '" + std::string(text, len) + "'");
}

void check_missing(const Signature& sig, const BoundArgs& out) {
    int which[kMaxParams];
    int n = 0;
    for (int i = 0; i < sig.n_positional; ++i) {
        if ((sig.required >> i & 1u) && !out.value[i]) which[n++] = i;
    }
    if (n) missing_error(sig, which, n, false);
    for (int i = sig.n_positional; i < sig.n_params; ++i) {
        if ((sig.required >> i & 1u) && !out.value[i]) which[n++] = i;
    }
    if (n) missing_error(sig, which, n, true);
}

}  // namespace

void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          BoundArgs& out) {
    nargs = PyVectorcall_NARGS(static_cast<size_t>(nargs));
    check_positional_count(sig, nargs);
    take_positionals(sig, args, nargs, out);
    if (kwnames) {
        Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nk; ++k) {
            take_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
        }
    }
    check_missing(sig, out);
}

void bind(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) {
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    check_positional_count(sig, nargs);
    if (nargs) take_positionals(sig, &PyTuple_GET_ITEM(args, 0), nargs, out);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) take_keyword(sig, key, value, out);
    }
    check_missing(sig, out);
}

}  // namespace veldrin
