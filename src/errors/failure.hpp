// How failures travel below a slot boundary: the ground every other file
// stands on, so it includes nothing of the module's own.
//
// Inside the module, code that fails throws.  A failure is either a ModelError
// (model_error.hpp) or PyErrorSet, which says "the interpreter already holds
// the exception; just unwind".  The slot boundary (`guard` in module/py.hpp)
// turns whatever was thrown into a pending Python exception through
// set_error_from_current_exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

namespace veldrin {

// Thrown when a Python exception is already pending.
struct PyErrorSet {};

// Throws PyErrorSet; call right after a C API function reported failure.
[[noreturn]] inline void throw_pending() { throw PyErrorSet{}; }

// Sets a Python exception of the given type and unwinds.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// Raises PanicException, the internal-fault exception (a BaseException
// subclass, never published as a module attribute), with the fault's message
// and unwinds.
[[noreturn]] void panic(std::string_view message);

// Drops the module's reference to PanicException; the next fault makes the
// class again.  Called when the module is freed (the interpreter goes away).
void release_panic_exception() noexcept;

// Turns the exception being handled (in a catch block) into the pending
// Python exception: PyErrorSet leaves the pending one, a ModelError raises
// its kind's exception, bad_alloc MemoryError, and any other fault
// PanicException.
void set_error_from_current_exception() noexcept;

}  // namespace veldrin
