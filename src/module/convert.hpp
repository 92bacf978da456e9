// Conversions of Python values to the module's parameter kinds, with the
// fixed wording of their errors.
//
// A conversion of a named argument that fails with TypeError reads
// "argument '{name}': {inner message}"; a conversion that fails with another
// exception type (a lone surrogate's UnicodeEncodeError, an OverflowError)
// passes through unchanged.  Passing a null `arg` name gives the bare message
// (conversions done inside an operation's body).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "module/object.hpp"
#include "module/py.hpp"

namespace veldrin {

// The qualified name of the object's class, as error messages show it.
std::string type_name(PyObject* o);

// TypeError "'{type}' object cannot be cast as '{expected}'", prefixed with
// the argument name when `arg` is not null.
[[noreturn]] void raise_cast_error(PyObject* o, const char* expected, const char* arg);

// The UTF-8 text of a str; the view lives as long as the str does.
std::string_view text_arg(PyObject* o, const char* arg);
inline std::string text_value(PyObject* o, const char* arg) {
    return std::string(text_arg(o, arg));
}

// `o` itself when it is a dict (or subclass), or the cast error.
Borrowed dict_arg(PyObject* o, const char* arg);

// Absent or None: nothing; otherwise as text_arg / dict_arg.
std::optional<std::string> optional_text(PyObject* o, const char* arg);
void check_optional_dict(PyObject* o, const char* arg);

// True or False (numpy booleans too) or the cast error.
bool bool_arg(PyObject* o, const char* arg);

// An integer from 0 to 2^64 - 1.  Not an integer: TypeError with the
// argument prefix; out of range: the interpreter's OverflowError unchanged.
unsigned long long count_arg(PyObject* o, const char* arg);

// An instance of one of the module's classes, or the cast error naming it.
inline PyObject* instance_arg(PyObject* o, PyTypeObject* type, const char* expected,
                              const char* arg) {
    if (!is_instance(o, type)) raise_cast_error(o, expected, arg);
    return o;
}

// Re-raises a pending TypeError as "argument '{arg}': {message}".
[[noreturn]] void reraise_with_argument(const char* arg);

}  // namespace veldrin
