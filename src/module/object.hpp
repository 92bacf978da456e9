// Instances and classes.
//
// Every instance of the module's classes is an `Instance<Payload>`: the object
// header, a borrow flag, and a C++ payload constructed in place.  The borrow
// flag guards the payload against re-entrant use: reading operations hold a
// SharedBorrow, mutating operations an ExclusiveBorrow for the whole call.
// A conflict can only arise when Python code running inside a call (a
// property value's __eq__) calls back into the same object, and it fails at
// once instead of waiting.
//
// Payloads that hold Python objects provide `traverse(visit, arg)` and
// `clear()`, and their class is created with garbage-collection support, so
// a property dictionary that refers back to its node leaks nothing.
#pragma once

#include <cstdint>
#include <new>
#include <utility>

#include "module/py.hpp"

namespace veldrin {

struct BorrowFlag {
    // 0: free; > 0: number of shared borrows; -1: exclusively borrowed.
    std::int64_t state = 0;
};

struct ObjectHead {
    PyObject_HEAD BorrowFlag borrow;
};

template <class Payload>
struct Instance {
    PyObject_HEAD BorrowFlag borrow;
    Payload value;
};

template <class Payload>
inline Payload& payload(PyObject* self) noexcept {
    return reinterpret_cast<Instance<Payload>*>(self)->value;
}

inline BorrowFlag& borrow_flag(PyObject* self) noexcept {
    return reinterpret_cast<ObjectHead*>(self)->borrow;
}

class SharedBorrow {
public:
    explicit SharedBorrow(PyObject* self) : flag_(borrow_flag(self)) {
        if (flag_.state < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++flag_.state;
    }
    // Returns false instead of raising (rich comparison answers NotImplemented).
    static bool available(PyObject* self) noexcept { return borrow_flag(self).state >= 0; }
    ~SharedBorrow() { --flag_.state; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(PyObject* self) : flag_(borrow_flag(self)) {
        if (flag_.state != 0) raise(PyExc_RuntimeError, "Already borrowed");
        flag_.state = -1;
    }
    ~ExclusiveBorrow() { flag_.state = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

// A new instance of `type` holding `value`.  Nothing between the allocation
// and the construction of the payload can reach the interpreter, so the
// collector never sees a half-built object.
template <class Payload>
Ref new_instance(PyTypeObject* type, Payload&& value) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) throw_pending();
    auto* inst = reinterpret_cast<Instance<std::decay_t<Payload>>*>(self);
    inst->borrow = BorrowFlag{};
    new (&inst->value) std::decay_t<Payload>(std::forward<Payload>(value));
    return Ref::steal(self);
}

template <class Payload>
void instance_destroy(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    payload<Payload>(self).~Payload();
    type->tp_free(self);
    Py_DECREF(type);
}

// Objects that hold Python objects are released through the interpreter's
// trashcan, so a long chain of them (a pattern whose property value is a
// pattern, and so on) is freed without exhausting the C stack.
template <class Payload>
void instance_dealloc(PyObject* self) noexcept {
    if (!PyType_HasFeature(Py_TYPE(self), Py_TPFLAGS_HAVE_GC)) {
        instance_destroy<Payload>(self);
        return;
    }
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, instance_dealloc<Payload>) instance_destroy<Payload>(self);
    Py_TRASHCAN_END
}

template <class Payload>
int instance_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    return payload<Payload>(self).traverse(visit, arg);
}

template <class Payload>
int instance_clear(PyObject* self) noexcept {
    payload<Payload>(self).clear();
    return 0;
}

// The slots every class has, for a payload type.
template <class Payload>
constexpr PyType_Slot dealloc_slot() {
    return {Py_tp_dealloc, reinterpret_cast<void*>(&instance_dealloc<Payload>)};
}

// A method table entry for any of the calling conventions.
template <class F>
inline PyCFunction as_method(F f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Creates a class: "builtins.{name}", base object, not subclassable, no
// instance dict, no weak references, immutable.  `gc` adds collector support (the slots
// must then include traverse and clear).  Throws on failure.
PyTypeObject* create_class(const char* qualified_name, int basicsize, bool gc, PyType_Slot* slots,
                           unsigned long extra_flags = 0);

// Is `o` an instance of `type` (exact: the classes cannot be subclassed)?
inline bool is_instance(PyObject* o, PyTypeObject* type) noexcept { return Py_TYPE(o) == type; }

}  // namespace veldrin
