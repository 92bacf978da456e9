#include "types/types_py.hpp"

#include "module/convert.hpp"
#include "types/type_table.hpp"

namespace veldrin {

namespace {

using Self = Instance<TypePayload>;

const TypeRef& type_of(PyObject* self) { return payload<TypePayload>(self).type; }

// ---- Variable ---------------------------------------------------------------

const char* const variable_params[] = {"name"};
constexpr Signature variable_sig = make_signature("Variable.__new__()", variable_params, 1, 0b1);

Ref make_variable(PyTypeObject* cls, const BoundArgs& a) {
    return new_instance(cls, TypePayload{TypeRef::variable(text_arg(a[0], "name"))});
}
using VariableConstructor = Constructor<variable_sig, make_variable>;

PyObject* variable_get_name(PyObject* self, void*) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return to_str(type_of(self).name());
    });
}

int variable_set_name(PyObject* self, PyObject* value, void*) noexcept {
    return guard(-1, [&] {
        if (!value) refuse_delete();
        ExclusiveBorrow b(self);
        payload<TypePayload>(self).type = TypeRef::variable(text_arg(value, "name"));
        return 0;
    });
}

PyObject* variable_str(PyObject* self) noexcept { return variable_get_name(self, nullptr); }

PyObject* variable_repr(PyObject* self) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return to_str("Variable(\"" + type_of(self).name() + "\")");
    });
}

Py_hash_t variable_hash_slot(PyObject* self) noexcept {
    return guard<Py_hash_t>(-1, [&] {
        SharedBorrow b(self);
        return static_cast<Py_hash_t>(type_hash(type_of(self).node()));
    });
}

// ---- Application ------------------------------------------------------------

const char* const application_params[] = {"left", "right"};
constexpr Signature application_sig =
    make_signature("Application.__new__()", application_params, 2, 0b11);

Ref make_application(PyTypeObject* cls, const BoundArgs& a) {
    TypeRef left = type_from_object(a[0]);
    TypeRef right = type_from_object(a[1]);
    return new_instance(cls, TypePayload{TypeRef::application(left, right)});
}
using ApplicationConstructor = Constructor<application_sig, make_application>;

PyObject* application_get_left(PyObject* self, void*) noexcept {
    return guard_obj([&] { return type_to_object(type_of(self).left()); });
}

PyObject* application_get_right(PyObject* self, void*) noexcept {
    return guard_obj([&] { return type_to_object(type_of(self).right()); });
}

PyObject* application_str(PyObject* self) noexcept {
    return guard_obj([&] { return to_str(type_text(type_of(self))); });
}

PyObject* application_repr(PyObject* self) noexcept {
    return guard_obj([&] {
        const TypeRef& t = type_of(self);
        std::string s = "Application(";
        append_type_text(s, t.node()->left);
        s += ", ";
        append_type_text(s, t.node()->right);
        s += ")";
        return to_str(s);
    });
}

Py_hash_t application_hash_slot(PyObject* self) noexcept {
    return guard<Py_hash_t>(
        -1, [&] { return static_cast<Py_hash_t>(type_hash(type_of(self).node())); });
}

// ---- shared -----------------------------------------------------------------

PyObject* type_uid_method(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return uid_to_str(type_digest(type_of(self).node()));
    });
}

bool types_equal(PyObject* a, PyObject* b) { return type_of(a) == type_of(b); }

PyObject* type_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return value_richcompare(self, other, op, types_equal);
}

PyMethodDef variable_methods[] = {
    {"uid", type_uid_method, METH_NOARGS,
     "uid($self)\n--\n\nReturns a unique identifier for this variable.\n\n"
     "Returns:\n    str: A SHA256 hash based on the variable name."},
    {"__reduce__", type_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef application_methods[] = {
    {"uid", type_uid_method, METH_NOARGS,
     "uid($self)\n--\n\nReturns a unique identifier for this application.\n\n"
     "Returns:\n    str: A SHA256 hash based on the left and right types."},
    {"__reduce__", type_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef variable_getset[] = {
    {"name", variable_get_name, variable_set_name, "The name of this type variable.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyGetSetDef application_getset[] = {{"left", application_get_left, nullptr,
                                     "Gets the left (input) type of this application.", nullptr},
                                    {"right", application_get_right, nullptr,
                                     "Gets the right (output) type of this application.", nullptr},
                                    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

[[noreturn]] void refuse_delete() { raise(PyExc_AttributeError, "can't delete attribute"); }

Ref uid_to_str(const Digest& digest) {
    Ref s = Ref::steal(PyUnicode_New(64, 127));
    digest.write_hex(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(s.get())));
    return s;
}

PyObject* value_richcompare(PyObject* self, PyObject* other, int op,
                            bool (*equal)(PyObject*, PyObject*)) noexcept {
    if (op == Py_EQ) {
        if (Py_TYPE(other) != Py_TYPE(self) || !SharedBorrow::available(self) ||
            !SharedBorrow::available(other)) {
            Py_RETURN_NOTIMPLEMENTED;
        }
        return guard_obj([&] {
            SharedBorrow a(self), b(other);
            return to_bool(equal(self, other));
        });
    }
    if (op == Py_NE) {
        if (!SharedBorrow::available(self)) Py_RETURN_NOTIMPLEMENTED;
        return guard_obj([&] {
            // `self == other` through the full protocol, self read throughout:
            // a reflected __eq__ (or the result's __bool__) cannot change it.
            SharedBorrow hold(self);
            Ref eq = Ref::steal(PyObject_RichCompare(self, other, Py_EQ));
            int truth = PyObject_IsTrue(eq.get());
            if (truth < 0) throw_pending();
            return to_bool(!truth);
        });
    }
    Py_RETURN_NOTIMPLEMENTED;
}

PyTypeObject* variable_class() {
    static PyTypeObject* cls = nullptr;
    if (!cls) {
        static PyType_Slot slots[] = {
            {Py_tp_doc,
             const_cast<char*>("Variable(name)\n--\n\n"
                               "Represents an atomic type variable.\n\n"
                               "A type variable is a named atomic type such as Person.")},
            VariableConstructor::slot(),
            dealloc_slot<TypePayload>(),
            {Py_tp_str, reinterpret_cast<void*>(variable_str)},
            {Py_tp_repr, reinterpret_cast<void*>(variable_repr)},
            {Py_tp_hash, reinterpret_cast<void*>(variable_hash_slot)},
            {Py_tp_richcompare, reinterpret_cast<void*>(type_richcompare)},
            {Py_tp_methods, variable_methods},
            {Py_tp_getset, variable_getset},
            {0, nullptr}};
        cls = create_class("builtins.Variable", sizeof(Self), false, slots);
        VariableConstructor::install(cls);
    }
    return cls;
}

PyTypeObject* application_class() {
    static PyTypeObject* cls = nullptr;
    if (!cls) {
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>("Application(left, right)\n--\n\n"
                                          "Represents a function type (application type).\n\n"
                                          "An application left -> right is the type of functions "
                                          "from left to right.")},
            ApplicationConstructor::slot(),
            dealloc_slot<TypePayload>(),
            {Py_tp_str, reinterpret_cast<void*>(application_str)},
            {Py_tp_repr, reinterpret_cast<void*>(application_repr)},
            {Py_tp_hash, reinterpret_cast<void*>(application_hash_slot)},
            {Py_tp_richcompare, reinterpret_cast<void*>(type_richcompare)},
            {Py_tp_methods, application_methods},
            {Py_tp_getset, application_getset},
            {0, nullptr}};
        cls = create_class("builtins.Application", sizeof(Self), false, slots);
        ApplicationConstructor::install(cls);
    }
    return cls;
}

TypeRef type_from_object(PyObject* o) {
    if (is_instance(o, variable_class()) || is_instance(o, application_class())) {
        SharedBorrow b(o);
        return type_of(o);
    }
    raise(PyExc_TypeError, "Expected Variable or Application");
}

Ref type_to_object(const TypeRef& t) {
    return new_instance(t.is_variable() ? variable_class() : application_class(), TypePayload{t});
}

}  // namespace veldrin
