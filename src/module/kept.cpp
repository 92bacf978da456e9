#include "module/kept.hpp"

namespace veldrin {

namespace {
Kept* newest = nullptr;  // the filled slots, linked newest first
}  // namespace

PyObject* Kept::fill() {
    Ref made = make_();
    // Making it may have run Python code that asked for the same object.
    if (object_) return object_;
    object_ = made.release();
    next_ = newest;
    newest = this;
    return object_;
}

void release_kept() noexcept {
    while (newest) {
        Kept* k = newest;
        newest = k->next_;
        k->next_ = nullptr;
        Py_CLEAR(k->object_);
    }
}

}  // namespace veldrin
