#include "errors/failure.hpp"

#include <exception>
#include <new>

#include "errors/model_error.hpp"

namespace veldrin {

namespace {

// PanicException, made on first use in the interpreter that holds the module.
PyObject* panic_type = nullptr;

// PanicException, or null with an exception set.
PyObject* panic_exception_type() noexcept {
    if (!panic_type) {
        panic_type = PyErr_NewExceptionWithDoc(
            "veldrin.PanicException",
            "Raised when the module's native code hits an unrecoverable fault.\n\n"
            "It derives from BaseException, not Exception, so it usually propagates\n"
            "to the top of the program rather than being caught by `except Exception`.",
            PyExc_BaseException, nullptr);
    }
    return panic_type;
}

}  // namespace

void release_panic_exception() noexcept { Py_CLEAR(panic_type); }

[[noreturn]] void panic(std::string_view message) {
    PyObject* type = panic_exception_type();
    if (type) raise(type, message);
    throw_pending();
}

[[noreturn]] void raise(PyObject* type, std::string_view message) {
    PyObject* msg =
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (msg) {
        PyErr_SetObject(type, msg);
        Py_DECREF(msg);
    }
    throw_pending();
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "veldrin: failure reported without an exception");
        }
    } catch (const ModelError& e) {
        e.set_python_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyObject* type = panic_exception_type();
        if (type) PyErr_SetString(type, e.what());
    } catch (...) {
        PyObject* type = panic_exception_type();
        if (type) PyErr_SetString(type, "unknown native fault");
    }
}

}  // namespace veldrin
