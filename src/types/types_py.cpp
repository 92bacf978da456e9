#include "types/types_py.hpp"

#include "module/binder.hpp"
#include "module/convert.hpp"
#include "module/kept.hpp"
#include "types/type_table.hpp"

namespace veldrin {

namespace {

const TypeRef& type_of(PyObject* self) { return payload<TypePayload>(self).type; }

std::int64_t type_hash_of(PyObject* self) { return type_hash(type_of(self).node()); }

Ref type_uid_text(PyObject* self) { return uid_to_str(type_digest(type_of(self).node())); }

bool types_equal(PyObject* a, PyObject* b) { return type_of(a) == type_of(b); }

PyObject* type_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return value_richcompare(self, other, op, types_equal);
}

// ---- Variable ---------------------------------------------------------------

const char* const variable_params[] = {"name"};
constexpr Signature variable_sig = make_signature("Variable.__new__()", variable_params, 1, 0b1);

Ref make_variable(PyTypeObject* cls, const BoundArgs& a) {
    return new_instance(cls, TypePayload{TypeRef::variable(text_arg(a[0], "name"))});
}
using VariableConstructor = Constructor<variable_sig, make_variable>;

Ref variable_name(PyObject* self) { return to_str(type_of(self).name()); }

int variable_set_name(PyObject* self, PyObject* value, void*) noexcept {
    return guard(-1, [&] {
        if (!value) refuse_delete();
        ExclusiveBorrow b(self);
        payload<TypePayload>(self).type = TypeRef::variable(text_arg(value, "name"));
        return 0;
    });
}

Ref variable_repr(PyObject* self) { return to_str("Variable(\"" + type_of(self).name() + "\")"); }

PyMethodDef variable_methods[] = {
    {"uid", read_method<type_uid_text>, METH_NOARGS,
     "uid($self)\n--\n\nReturns a unique identifier for this variable.\n\n"
     "Returns:\n    str: A SHA256 hash based on the variable name."},
    {"__reduce__", type_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef variable_getset[] = {{"name", read_getter<variable_name>, variable_set_name,
                                  "The name of this type variable.", nullptr},
                                 {nullptr, nullptr, nullptr, nullptr, nullptr}};

const ClassSpec variable_spec{
    .name = "builtins.Variable",
    .doc =
        "Variable(name)\n--\n\n"
        "Represents an atomic type variable.\n\n"
        "A type variable is a named atomic type such as Person.",
    .instance = layout_of<TypePayload>(),
    .new_ = VariableConstructor::new_slot,
    .vectorcall = VariableConstructor::call,
    .repr = read_slot<variable_repr>,
    .str = read_slot<variable_name>,
    .hash = read_hash<type_hash_of>,
    .compare = type_richcompare,
    .methods = variable_methods,
    .getset = variable_getset,
};

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

Ref application_left(PyObject* self) { return type_to_object(type_of(self).left()); }
Ref application_right(PyObject* self) { return type_to_object(type_of(self).right()); }
Ref application_str(PyObject* self) { return to_str(type_text(type_of(self))); }

Ref application_repr(PyObject* self) {
    const TypeRef& t = type_of(self);
    std::string s = "Application(";
    append_type_text(s, t.node()->left);
    s += ", ";
    append_type_text(s, t.node()->right);
    s += ")";
    return to_str(s);
}

PyMethodDef application_methods[] = {
    {"uid", read_method<type_uid_text>, METH_NOARGS,
     "uid($self)\n--\n\nReturns a unique identifier for this application.\n\n"
     "Returns:\n    str: A SHA256 hash based on the left and right types."},
    {"__reduce__", type_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef application_getset[] = {{"left", read_getter<application_left>, nullptr,
                                     "Gets the left (input) type of this application.", nullptr},
                                    {"right", read_getter<application_right>, nullptr,
                                     "Gets the right (output) type of this application.", nullptr},
                                    {nullptr, nullptr, nullptr, nullptr, nullptr}};

const ClassSpec application_spec{
    .name = "builtins.Application",
    .doc =
        "Application(left, right)\n--\n\n"
        "Represents a function type (application type).\n\n"
        "An application left -> right is the type of functions from left to right.",
    .instance = layout_of<TypePayload>(),
    .new_ = ApplicationConstructor::new_slot,
    .vectorcall = ApplicationConstructor::call,
    .repr = read_slot<application_repr>,
    .str = read_slot<application_str>,
    .hash = read_hash<type_hash_of>,
    .compare = type_richcompare,
    .methods = application_methods,
    .getset = application_getset,
};

constinit KeptClass variable_type{[] { return create_class(variable_spec); }};
constinit KeptClass application_type{[] { return create_class(application_spec); }};

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

PyTypeObject* variable_class() { return variable_type.get(); }
PyTypeObject* application_class() { return application_type.get(); }

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
