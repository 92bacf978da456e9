// Walks a Python dict in place, in insertion order, handing out new
// references, and turns a dict that changes under the walk into the
// internal-fault exception instead of undefined behaviour.
//
// Values are held by new references before any Python code can run, so a
// comparison that mutates the dict never leaves the walk holding a freed
// object.
#pragma once

#include "errors/failure.hpp"
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

// Walks only the values of a dict, with the same guards.  A walk over
// entries reads every key object (for its hash); a walk that needs only the
// values goes through the dict's own value iterator, which leaves the keys
// alone: over a large dict, a cache miss fewer per entry.
class DictValueWalk {
public:
    explicit DictValueWalk(PyObject* dict) : dict_(dict), size_(PyDict_GET_SIZE(dict)) {
        // dict.values(d) itself: a subclass's own `values` is not called.
        Ref method =
            Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyDict_Type), "values"));
        Ref view = Ref::steal(PyObject_CallOneArg(method.get(), dict));
        iter_ = Ref::steal(PyObject_GetIter(view.get()));
    }

    // The next value, or false at the end.
    bool next(Ref& value) {
        if (PyDict_GET_SIZE(dict_) != size_) panic("dictionary changed size during iteration");
        PyObject* v = Py_TYPE(iter_.get())->tp_iternext(iter_.get());
        if (!v) {
            if (!PyErr_Occurred()) return false;
            // With the size unchanged, the iterator fails only on keys that
            // changed under it.
            if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) throw_pending();
            PyErr_Clear();
            panic("dictionary keys changed during iteration");
        }
        value = Ref::steal(v);
        return true;
    }

private:
    PyObject* dict_;
    Py_ssize_t size_;
    Ref iter_;
};

}  // namespace veldrin
