#include "module/convert.hpp"

#include <cstring>

namespace veldrin {

std::string type_name(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        PyObject* qualname = reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname;
        Py_ssize_t len = 0;
        const char* text = qualname ? PyUnicode_AsUTF8AndSize(qualname, &len) : nullptr;
        if (text) return std::string(text, len);
        PyErr_Clear();
    }
    const char* name = type->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

[[noreturn]] void raise_cast_error(PyObject* o, const char* expected, const char* arg) {
    std::string message;
    if (arg) message.append("argument '").append(arg).append("': ");
    message.append("'").append(type_name(o)).append("' object cannot be cast as '");
    message.append(expected).append("'");
    raise(PyExc_TypeError, message);
}

std::string_view text_arg(PyObject* o, const char* arg) {
    if (!PyUnicode_Check(o)) raise_cast_error(o, "str", arg);
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(o, &len);
    if (!text) throw_pending();  // a lone surrogate: UnicodeEncodeError, unchanged
    return std::string_view(text, static_cast<size_t>(len));
}

Borrowed dict_arg(PyObject* o, const char* arg) {
    if (!PyDict_Check(o)) raise_cast_error(o, "dict", arg);
    return o;
}

std::optional<std::string> optional_text(PyObject* o, const char* arg) {
    if (!o || o == Py_None) return std::nullopt;
    return text_value(o, arg);
}

void check_optional_dict(PyObject* o, const char* arg) {
    if (o && o != Py_None) dict_arg(o, arg);
}

bool bool_arg(PyObject* o, const char* arg) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    // numpy's boolean scalar ("numpy.bool_", "numpy.bool" from numpy 2 on).
    const char* name = Py_TYPE(o)->tp_name;
    if (std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0) {
        int truth = PyObject_IsTrue(o);
        if (truth < 0) throw_pending();
        return truth != 0;
    }
    raise_cast_error(o, "bool", arg);
}

[[noreturn]] void reraise_with_argument(const char* arg) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_pending();
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref inner = Ref::steal_or_null(value ? PyObject_Str(value) : nullptr);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    if (!inner) throw_pending();
    raise(PyExc_TypeError,
          std::string("argument '") + arg + "': " + std::string(text_arg(inner.get(), nullptr)));
}

unsigned long long count_arg(PyObject* o, const char* arg) {
    PyObject* index = PyNumber_Index(o);
    if (!index) reraise_with_argument(arg);
    unsigned long long value = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
    return value;
}

}  // namespace veldrin
