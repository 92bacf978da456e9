// Walks a Python dict in place, in insertion order, handing out new
// references, and turns a dict that changes under the walk into the
// internal-fault exception instead of undefined behaviour.
//
// Values are held by new references before any Python code can run, so a
// comparison that mutates the dict never leaves the walk holding a freed
// object.
#pragma once

#include "errors/model_error.hpp"
#include "module/py.hpp"

namespace veldrin {

class DictWalk {
public:
    explicit DictWalk(PyObject* dict) noexcept
        : dict_(dict), size_(PyDict_GET_SIZE(dict)), remaining_(size_) {}

    // The next entry, or false at the end.
    bool next(Ref& key, Ref& value) {
        PyObject* k;
        if (!step(&k, value)) return false;
        key = Ref::borrow(k);
        return true;
    }
    // The next value, or false at the end (the key is not held).
    bool next_value(Ref& value) {
        PyObject* k;
        return step(&k, value);
    }
    // The next value and its key, borrowed: valid until Python code runs.
    bool next_value(PyObject** key, Ref& value) { return step(key, value); }

private:
    bool step(PyObject** k, Ref& value) {
        if (PyDict_GET_SIZE(dict_) != size_) panic("dictionary changed size during iteration");
        PyObject* v;
        if (!PyDict_Next(dict_, &pos_, k, &v)) return false;
        if (remaining_ == 0) panic("dictionary keys changed during iteration");
        --remaining_;
        value = Ref::borrow(v);
        return true;
    }

    PyObject* dict_;
    Py_ssize_t pos_ = 0;
    Py_ssize_t size_;
    Py_ssize_t remaining_;
};

}  // namespace veldrin
