// Python objects the module makes once and keeps for its life in the
// interpreter that imported it: its classes, the `_restore` function,
// functions of other modules it calls.
//
// Each lives in a static Kept slot and is made on first use.  When the module
// is freed (its interpreter is finalised), release_kept drops every one of
// them, so that an interpreter initialised later in the same process makes
// its own instead of using the objects of one that is gone.
#pragma once

#include "module/py.hpp"

namespace veldrin {

class Kept {
public:
    using Make = Ref (*)();
    constexpr explicit Kept(Make make) noexcept : make_(make) {}
    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;

    // The object, made by `make` on first use (throwing as it throws).
    Borrowed get() { return object_ ? object_ : fill(); }
    // The object if it was made, else null.
    Borrowed made() const noexcept { return object_; }

private:
    PyObject* fill();
    friend void release_kept() noexcept;

    Make make_;
    PyObject* object_ = nullptr;
    Kept* next_ = nullptr;  // the slot filled before this one
};

// A kept class.
class KeptClass : public Kept {
public:
    using Kept::Kept;
    PyTypeObject* get() { return reinterpret_cast<PyTypeObject*>(Kept::get().get()); }
    PyTypeObject* made() const noexcept {
        return reinterpret_cast<PyTypeObject*>(Kept::made().get());
    }
};

// Drops every kept object, newest first; the slots are empty afterwards.
void release_kept() noexcept;

}  // namespace veldrin
