#include "term/term.hpp"

#include "errors/model_error.hpp"
#include "module/binder.hpp"
#include "module/convert.hpp"
#include "module/kept.hpp"
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

Ref term_name(PyObject* self) { return to_str(term_of(self).name()); }

int term_set_name(PyObject* self, PyObject* value, void*) noexcept {
    return guard(-1, [&] {
        if (!value) refuse_delete();
        ExclusiveBorrow b(self);
        TermValue& t = term_of(self);
        t = TermValue{text_value(value, "name"), t.type()};
        return 0;
    });
}

Ref term_type(PyObject* self) { return type_to_object(term_of(self).type()); }
Ref term_uid_text(PyObject* self) { return uid_to_str(term_digest(term_of(self))); }

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

Ref term_str(PyObject* self) { return to_str(term_text(term_of(self))); }

Ref term_repr(PyObject* self) {
    const TermValue& t = term_of(self);
    std::string s = "Term(\"" + t.name() + "\", ";
    append_type_text(s, t.type().node());
    s += ")";
    return to_str(s);
}

std::int64_t term_hash_of(PyObject* self) { return term_hash(term_of(self)); }

bool terms_equal(PyObject* a, PyObject* b) { return term_of(a) == term_of(b); }

PyObject* term_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return value_richcompare(self, other, op, terms_equal);
}

PyMethodDef term_methods[] = {
    {"uid", read_method<term_uid_text>, METH_NOARGS,
     "uid($self)\n--\n\nReturns a unique identifier for this term.\n\n"
     "Returns:\n    str: A SHA256 hash based on the term's name and type."},
    {"__reduce__", term_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef term_getset[] = {
    {"name", read_getter<term_name>, term_set_name, "The name of this term.", nullptr},
    {"type", read_getter<term_type>, nullptr,
     "Gets the type of this term.\n\nReturns:\n    Variable | Application: a copy of the type.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

const ClassSpec term_spec{
    .name = "builtins.Term",
    .doc =
        "Term(name, type)\n--\n\n"
        "Represents a typed term in the type theory.\n\n"
        "Calling a term of type A -> B on a term of type A yields a term of type B.",
    .instance = layout_of<TermValue>(),
    .new_ = TermConstructor::new_slot,
    .vectorcall = TermConstructor::call,
    .repr = read_slot<term_repr>,
    .str = read_slot<term_str>,
    .hash = read_hash<term_hash_of>,
    .compare = term_richcompare,
    .call = term_call,
    .methods = term_methods,
    .getset = term_getset,
};

constinit KeptClass term_type_object{[] { return create_class(term_spec); }};

}  // namespace

PyTypeObject* term_class() { return term_type_object.get(); }

TermValue term_from_object(PyObject* o, const char* arg) {
    instance_arg(o, term_class(), "Term", arg);
    SharedBorrow b(o);
    return term_of(o);
}

Ref term_to_object(TermValue t) { return new_instance(term_class(), std::move(t)); }

}  // namespace veldrin
