#include "module/object.hpp"

namespace veldrin {

PyTypeObject* create_class(const char* qualified_name, int basicsize, bool gc, PyType_Slot* slots,
                           unsigned long extra_flags) {
    unsigned long flags = Py_TPFLAGS_DEFAULT | extra_flags;
    if (gc) flags |= Py_TPFLAGS_HAVE_GC;
    PyType_Spec spec{qualified_name, basicsize, 0, static_cast<unsigned>(flags), slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (!type) throw_pending();
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace veldrin
