// The frame every Python-facing file stands on: one owned-reference handle,
// one borrowed-reference handle, and the slot boundary where failures stop.
//
// Code below a slot throws (errors/failure.hpp): a ModelError, or PyErrorSet
// when the interpreter already holds the exception.  Every slot and method
// that the interpreter calls runs its body through `guard`, which turns
// whatever was thrown into a pending Python exception and the slot's failure
// value.  So no function below a slot boundary ever returns NULL to mean
// failure, and no slot lets a C++ exception escape into the interpreter.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "errors/failure.hpp"

namespace veldrin {

// An owned reference.  Null means "nothing"; copying takes a new reference.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference; throws PyErrorSet when it is null (the C
    // API's failure result), so `Ref::steal(PyDict_New())` is a checked call.
    static Ref steal(PyObject* o) {
        if (!o) throw_pending();
        return Ref(o);
    }
    // Takes over a reference that may legitimately be null.
    static Ref steal_or_null(PyObject* o) noexcept { return Ref(o); }
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (a slot's return value).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // Drops the reference; the object may run arbitrary code on release, so
    // the field is emptied before the decrement (the tp_clear discipline).
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// A borrowed reference: the object stays alive for as long as whoever lent
// it holds it (the caller's argument, the container it was read from, a
// slot kept for the module's life); the handle never releases it.  In a
// signature it says what a bare PyObject* leaves to a comment.  Raw pointers
// and Ref (not a temporary one) turn into it, and it into a raw pointer.
class Borrowed {
public:
    constexpr Borrowed() noexcept = default;
    constexpr Borrowed(PyObject* o) noexcept : p_(o) {}
    Borrowed(const Ref& r) noexcept : p_(r.get()) {}
    Borrowed(Ref&&) = delete;  // the reference would be gone with the temporary
    constexpr PyObject* get() const noexcept { return p_; }
    constexpr operator PyObject*() const noexcept { return p_; }

private:
    PyObject* p_ = nullptr;
};

// Runs `body` at a slot boundary: returns its result, or `fail` with a Python
// exception pending when it threw.
template <class R, class F>
inline R guard(R fail, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return fail;
    }
}

// The common slot shapes.
template <class F>
inline PyObject* guard_obj(F&& body) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* { return body().release(); });
}

// New str from UTF-8 text; the text always comes from a str, so it is valid.
inline Ref to_str(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

inline Ref to_bool(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

}  // namespace veldrin
