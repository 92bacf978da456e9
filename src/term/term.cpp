#include "term/term.hpp"

#include "errors/model_error.hpp"
#include "module/convert.hpp"
#include "term/term_state.hpp"
#include "types/types_py.hpp"

namespace veldrin {

TermValue::TermValue(std::string name, TypeRef type) : p_(new TermNode) {
    p_->name = std::move(name);
    p_->type = std::move(type);
}

bool operator==(const TermValue& a, const TermValue& b) {
    const TermNode *x = a.node(), *y = b.node();
    if (x == y) return true;
    // Remembered UIDs are equal exactly for equal terms; hashes differ only
    // for unequal ones.
    if (remembered(x->uid_known) && remembered(y->uid_known)) return x->uid == y->uid;
    if (remembered(x->hash_known) && remembered(y->hash_known) && x->hash != y->hash) return false;
    return x->name == y->name && x->type == y->type;
}

const Digest& term_digest(const TermValue& t) {
    const TermNode* n = t.node();
    if (!remembered(n->uid_known)) {
        n->uid = sha256_digest("term:", n->name, ":", type_uid(n->type).view());
        publish(n->uid_known);
    }
    return n->uid;
}

const Digest& edge_digest(const TermValue& t) {
    const TermNode* n = t.node();
    if (!remembered(n->edge_uid_known)) {
        n->edge_uid = sha256_digest("edge:", term_uid(t).view());
        publish(n->edge_uid_known);
    }
    return n->edge_uid;
}

std::string term_text(const TermValue& t) {
    std::string s = t.name() + ":";
    append_type_text(s, t.type().node());
    return s;
}

std::int64_t first_term_hash(const TermNode* n) {
    SipHasher h;
    h.text(n->name);
    hash_type_stream(h, n->type.node());
    n->hash = h.finish();
    publish(n->hash_known);
    return n->hash;
}

TermValue apply_term(const TermValue& f, const TermValue& x) {
    const TypeRef& type = f.type();
    if (type.is_variable()) {
        throw ModelError::type_mismatch("application type (A -> B)", type_text(type),
                                        "term application");
    }
    if (!type_equal(type.node()->left, x.type().node())) {
        throw ModelError::type_mismatch(type_text(type.left()), type_text(x.type()),
                                        "function application");
    }
    std::string name;
    name.reserve(f.name().size() + x.name().size() + 3);
    name.append("(").append(f.name()).append(" ").append(x.name()).append(")");
    return TermValue{std::move(name), type.right()};
}

namespace {

TermValue& term_of(PyObject* self) { return payload<TermValue>(self); }

const char* const term_params[] = {"name", "type"};
constexpr Signature term_sig = make_signature("Term.__new__()", term_params, 2, 0b11);

Ref make_term(PyTypeObject* cls, const BoundArgs& a) {
    std::string name = text_value(a[0], "name");
    TypeRef type = type_from_object(a[1]);
    return new_instance(cls, TermValue{std::move(name), std::move(type)});
}
using TermConstructor = Constructor<term_sig, make_term>;

PyObject* term_get_name(PyObject* self, void*) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return to_str(term_of(self).name());
    });
}

int term_set_name(PyObject* self, PyObject* value, void*) noexcept {
    return guard(-1, [&] {
        if (!value) refuse_delete();
        ExclusiveBorrow b(self);
        TermValue& t = term_of(self);
        t = TermValue{text_value(value, "name"), t.type()};
        return 0;
    });
}

PyObject* term_get_type(PyObject* self, void*) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return type_to_object(term_of(self).type());
    });
}

PyObject* term_uid_method(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] {
        SharedBorrow b(self);
        return uid_to_str(term_digest(term_of(self)));
    });
}

PyObject* term_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard_obj([&] {
        static constexpr const char* names[] = {"other"};
        static constexpr Signature sig = make_signature("Term.__call__()", names, 1, 0b1);
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
        std::string s = "Term(\"" + t.name() + "\", ";
        append_type_text(s, t.type().node());
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
            TermConstructor::slot(),
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
        TermConstructor::install(cls);
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
