#include "term/term.hpp"

#include "errors/model_error.hpp"
#include "module/binder.hpp"
#include "module/convert.hpp"
#include "term/term_state.hpp"
#include "types/types_py.hpp"

namespace veldrin {

bool operator==(const TermValue& a, const TermValue& b) {
    return a.name == b.name && a.type == b.type;
}

Uid term_uid(const TermValue& t) {
    Uid type = type_uid(t.type);
    return sha256_uid("term:", t.name, ":", type.view());
}

std::string term_text(const TermValue& t) {
    std::string s = t.name + ":";
    append_type_text(s, t.type.node());
    return s;
}

std::int64_t term_hash(const TermValue& t) {
    SipHasher h;
    h.text(t.name);
    hash_type_stream(h, t.type.node());
    return h.finish();
}

TermValue apply_term(const TermValue& f, const TermValue& x) {
    if (f.type.is_variable()) {
        throw ModelError::type_mismatch("application type (A -> B)", type_text(f.type),
                                        "term application");
    }
    TypeRef input = f.type.left();
    if (!(input == x.type)) {
        throw ModelError::type_mismatch(type_text(input), type_text(x.type),
                                        "function application");
    }
    return TermValue{"(" + f.name + " " + x.name + ")", f.type.right()};
}

namespace {

TermValue& term_of(PyObject* self) { return payload<TermValue>(self); }

PyObject* term_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    return guard_obj([&] {
        static const char* const names[] = {"name", "type"};
        static const Signature sig{"Term.__new__()", names, 2, 2, 0b11};
        BoundArgs a;
        bind(sig, args, kwargs, a);
        std::string name = text_value(a[0], "name");
        TypeRef type = type_from_object(a[1]);
        return new_instance(cls, TermValue{std::move(name), std::move(type)});
    });
}

PyObject* term_get_name(PyObject* self, void*) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return to_str(term_of(self).name);
    });
}

int term_set_name(PyObject* self, PyObject* value, void*) noexcept {
    return guard(-1, [&] {
        if (!value) refuse_delete();
        ExclusiveBorrow b(self);
        term_of(self).name = text_value(value, "name");
        return 0;
    });
}

PyObject* term_get_type(PyObject* self, void*) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return type_to_object(term_of(self).type);
    });
}

PyObject* term_uid_method(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return to_str(term_uid(term_of(self)).view());
    });
}

PyObject* term_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard_obj([&] {
        static const char* const names[] = {"other"};
        static const Signature sig{"Term.__call__()", names, 1, 1, 0b1};
        BoundArgs a;
        bind(sig, args, kwargs, a);
        instance_arg(a[0], term_class(), "Term", "other");
        SharedBorrow f(self), x(a[0]);
        return term_to_object(apply_term(term_of(self), term_of(a[0])));
    });
}

PyObject* term_str(PyObject* self) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return to_str(term_text(term_of(self)));
    });
}

PyObject* term_repr(PyObject* self) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        const TermValue& t = term_of(self);
        std::string s = "Term(\"" + t.name + "\", ";
        append_type_text(s, t.type.node());
        s += ")";
        return to_str(s);
    });
}

Py_hash_t term_hash_slot(PyObject* self) noexcept {
    return guard<Py_hash_t>(-1, [&] {
        SharedBorrow b(self);
        return static_cast<Py_hash_t>(term_hash(term_of(self)));
    });
}

bool terms_equal(PyObject* a, PyObject* b) { return term_of(a) == term_of(b); }

PyObject* term_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return value_richcompare(self, other, op, terms_equal);
}

PyMethodDef term_methods[] = {
    {"uid", term_uid_method, METH_NOARGS,
     "uid($self)\n--\n\nReturns a unique identifier for this term.\n\n"
     "Returns:\n    str: A SHA256 hash based on the term's name and type."},
    {"__reduce__", term_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef term_getset[] = {
    {"name", term_get_name, term_set_name, "The name of this term.", nullptr},
    {"type", term_get_type, nullptr,
     "Gets the type of this term.\n\nReturns:\n    Variable | Application: a copy of the type.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyTypeObject* term_class() {
    static PyTypeObject* cls = nullptr;
    if (!cls) {
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>("Term(name, type)\n--\n\n"
                                          "Represents a typed term in the type theory.\n\n"
                                          "Calling a term of type A -> B on a term of type A "
                                          "yields a term of type B.")},
            {Py_tp_new, reinterpret_cast<void*>(term_new)},
            dealloc_slot<TermValue>(),
            {Py_tp_str, reinterpret_cast<void*>(term_str)},
            {Py_tp_repr, reinterpret_cast<void*>(term_repr)},
            {Py_tp_call, reinterpret_cast<void*>(term_call)},
            {Py_tp_hash, reinterpret_cast<void*>(term_hash_slot)},
            {Py_tp_richcompare, reinterpret_cast<void*>(term_richcompare)},
            {Py_tp_methods, term_methods},
            {Py_tp_getset, term_getset},
            {0, nullptr}};
        cls = create_class("builtins.Term", sizeof(Instance<TermValue>), false, slots);
    }
    return cls;
}

TermValue term_from_object(PyObject* o, const char* arg) {
    instance_arg(o, term_class(), "Term", arg);
    SharedBorrow b(o);
    return term_of(o);
}

Ref term_to_object(TermValue t) { return new_instance(term_class(), std::move(t)); }

}  // namespace veldrin
