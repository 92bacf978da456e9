#include "module/object.hpp"

namespace veldrin {

PyTypeObject* create_class(const char* qualified_name, int basicsize, bool gc, PyType_Slot* slots,
                           unsigned long extra_flags) {
    // Immutable like the built-in classes: class attributes can be neither
    // set nor deleted.
    unsigned long flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | extra_flags;
    if (gc) flags |= Py_TPFLAGS_HAVE_GC;
    PyType_Spec spec{qualified_name, basicsize, 0, static_cast<unsigned>(flags), slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (!type) throw_pending();
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace veldrin
