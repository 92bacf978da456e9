#include "module/object.hpp"

namespace veldrin {

Ref create_class(const ClassSpec& spec) {
    PyType_Slot slots[16];
    int n = 0;
    auto add = [&](int slot, auto* function) {
        if (function) slots[n++] = {slot, reinterpret_cast<void*>(function)};
    };
    if (spec.doc) slots[n++] = {Py_tp_doc, const_cast<char*>(spec.doc)};
    add(Py_tp_new, spec.new_);
    add(Py_tp_dealloc, spec.instance.dealloc);
    add(Py_tp_traverse, spec.instance.traverse);
    add(Py_tp_clear, spec.instance.clear);
    add(Py_tp_str, spec.str);
    add(Py_tp_repr, spec.repr);
    add(Py_tp_hash, spec.hash);
    add(Py_tp_richcompare, spec.compare);
    add(Py_tp_call, spec.call);
    if (spec.methods) slots[n++] = {Py_tp_methods, spec.methods};
    if (spec.getset) slots[n++] = {Py_tp_getset, spec.getset};
    slots[n] = {0, nullptr};

    unsigned long flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    if (spec.instance.traverse) flags |= Py_TPFLAGS_HAVE_GC;
    if (!spec.new_) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PyType_Spec type_spec{spec.name, spec.instance.basicsize, 0, static_cast<unsigned>(flags),
                          slots};
    Ref type = Ref::steal(PyType_FromSpec(&type_spec));
    if (spec.vectorcall)
        reinterpret_cast<PyTypeObject*>(type.get())->tp_vectorcall = spec.vectorcall;
    return type;
}

}  // namespace veldrin
