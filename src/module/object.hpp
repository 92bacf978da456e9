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
//
// Every class is described once, as data (ClassSpec: name, docstring,
// payload, slots, methods, getters and setters), and made from the
// description by create_class.
#pragma once

#include <concepts>
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
        if (flag_.state < 0) refuse();
        ++flag_.state;
    }
    // Returns false instead of raising (rich comparison answers NotImplemented).
    static bool available(PyObject* self) noexcept { return borrow_flag(self).state >= 0; }
    // Raises what asking for a borrow that is not available raises.
    [[noreturn]] static void refuse() { raise(PyExc_RuntimeError, "Already mutably borrowed"); }
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

// Payloads that hold Python objects: they take part in garbage collection.
template <class Payload>
concept HoldsObjects = requires(const Payload& p, Payload& q, visitproc visit, void* arg) {
    { p.traverse(visit, arg) } -> std::same_as<int>;
    q.clear();
};

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
    if constexpr (!HoldsObjects<Payload>) {
        instance_destroy<Payload>(self);
    } else {
        PyObject_GC_UnTrack(self);
        Py_TRASHCAN_BEGIN(self, instance_dealloc<Payload>) instance_destroy<Payload>(self);
        Py_TRASHCAN_END
    }
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

// What a class's instances are: their size and the slots that follow from
// the payload type alone.  `traverse` and `clear` are set exactly for
// payloads that hold Python objects.
struct InstanceLayout {
    int basicsize;
    destructor dealloc;
    traverseproc traverse;
    inquiry clear;
};

template <class Payload>
constexpr InstanceLayout layout_of() {
    if constexpr (HoldsObjects<Payload>) {
        return {sizeof(Instance<Payload>), instance_dealloc<Payload>, instance_traverse<Payload>,
                instance_clear<Payload>};
    } else {
        return {sizeof(Instance<Payload>), instance_dealloc<Payload>, nullptr, nullptr};
    }
}

// A class, described.  Unset slots are absent: the class inherits them from
// object.  The tables (`methods`, `getset`) end with a zeroed entry and live
// as long as the process.
struct ClassSpec {
    // "builtins.Variable" for the public classes, "veldrin.QueryRows" for
    // internal ones: the module the class reports, a dot, its name.
    const char* name;
    const char* doc;  // the text signature first, as the interpreter reads it; or null
    InstanceLayout instance;
    // The class's __new__.  A class without one cannot be instantiated from
    // Python: its instances are made inside the module only.
    newfunc new_ = nullptr;
    // The class's own call: binds straight from the caller's argument array
    // (see Constructor in types/types_py.hpp).
    vectorcallfunc vectorcall = nullptr;
    reprfunc repr = nullptr;
    reprfunc str = nullptr;
    hashfunc hash = nullptr;
    richcmpfunc compare = nullptr;
    ternaryfunc call = nullptr;
    PyMethodDef* methods = nullptr;
    PyGetSetDef* getset = nullptr;
};

// Creates the class a spec describes: base object, not subclassable, no
// instance dict, no weak references, immutable like the built-in classes
// (class attributes can be neither set nor deleted), with collector support
// when the payload holds Python objects.  Throws on failure.
Ref create_class(const ClassSpec& spec);

// A method table entry for any of the calling conventions.
template <class F>
inline PyCFunction as_method(F f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Slot bodies that only read the object: each runs `Read(self)` under a
// shared borrow, inside guard_obj (guard for a hash), as a getter, a method
// without arguments, a str or repr slot, or a hash slot.
template <Ref (*Read)(PyObject*)>
PyObject* read_getter(PyObject* self, void*) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return Read(self);
    });
}
template <Ref (*Read)(PyObject*)>
PyObject* read_method(PyObject* self, PyObject*) noexcept {
    return read_getter<Read>(self, nullptr);
}
template <Ref (*Read)(PyObject*)>
PyObject* read_slot(PyObject* self) noexcept {
    return read_getter<Read>(self, nullptr);
}
template <std::int64_t (*Hash)(PyObject*)>
Py_hash_t read_hash(PyObject* self) noexcept {
    return guard<Py_hash_t>(-1, [&] {
        SharedBorrow b(self);
        return static_cast<Py_hash_t>(Hash(self));
    });
}

// The dictionary a payload field holds.  Objects emptied by the collector
// stay usable: an emptied field gets a new empty dictionary, never null.
inline Borrowed dict_field(Ref& field) {
    if (!field) field = Ref::steal(PyDict_New());
    return field;
}

// Is `o` an instance of `type` (exact: the classes cannot be subclassed)?
inline bool is_instance(PyObject* o, PyTypeObject* type) noexcept { return Py_TYPE(o) == type; }

}  // namespace veldrin
