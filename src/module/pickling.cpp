#include "module/pickling.hpp"

#include "module/convert.hpp"
#include "module/kept.hpp"
#include "module/text.hpp"

namespace veldrin {

void StateReader::expect(Py_ssize_t n) const {
    if (n_ != n) {
        raise(PyExc_ValueError, "cannot restore a " + kind_ + ": expected " + std::to_string(n) +
                                    " fields, got " + std::to_string(n_));
    }
}

std::string StateReader::where(const char* name) const {
    return "cannot restore a " + kind_ + ": field '" + name + "'";
}

std::string StateReader::text(Py_ssize_t i, const char* name) const {
    if (!PyUnicode_Check(fields_[i])) raise_wrong_type(where(name), "a str", fields_[i]);
    return text_value(fields_[i], nullptr);
}

std::optional<std::string> StateReader::optional_text(Py_ssize_t i, const char* name) const {
    if (fields_[i] == Py_None) return std::nullopt;
    return text(i, name);
}

Borrowed StateReader::dict(Py_ssize_t i, const char* name, bool exact) const {
    PyObject* o = fields_[i];
    if (exact ? !PyDict_CheckExact(o) : !PyDict_Check(o))
        raise_wrong_type(where(name), "a dict", o);
    return o;
}

Borrowed StateReader::tuple(Py_ssize_t i, const char* name) const {
    if (!PyTuple_Check(fields_[i])) raise_wrong_type(where(name), "a tuple", fields_[i]);
    return fields_[i];
}

void raise_wrong_type(const std::string& context, const char* expected, PyObject* o) {
    raise(PyExc_TypeError, context + " must be " + expected + ", not '" + type_name(o) + "'");
}

Ref tuple_of(std::initializer_list<Ref> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const Ref& item : items) PyTuple_SET_ITEM(tuple.get(), i++, Ref(item).release());
    return tuple;
}

Ref reduce_to(const char* kind, std::initializer_list<Ref> fields) {
    return reduce_to(kind, tuple_of(fields).get());
}

Ref reduce_to(const char* kind, PyObject* fields) {
    Ref head = Ref::steal(PyTuple_Pack(1, to_str(kind).get()));
    Ref args = Ref::steal(PySequence_Concat(head.get(), fields));
    return Ref::steal(PyTuple_Pack(2, restore_function().get(), args.get()));
}

namespace {

const RestoreEntry* restorers = nullptr;
std::size_t restorer_count = 0;

PyObject* restore(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return guard_obj([&] {
        if (nargs < 1) raise(PyExc_TypeError, "_restore() needs a kind");
        if (!PyUnicode_Check(args[0])) raise_wrong_type("_restore() kind", "a str", args[0]);
        std::string_view kind = text_arg(args[0], nullptr);
        for (std::size_t i = 0; i < restorer_count; ++i) {
            if (kind == restorers[i].kind) {
                return restorers[i].restore(StateReader(std::string(kind), args + 1, nargs - 1));
            }
        }
        raise(PyExc_ValueError, "cannot restore an object of unknown kind " + escaped_quoted(kind));
    });
}

PyMethodDef restore_def = {
    "_restore", as_method(restore), METH_FASTCALL,
    "_restore(kind, *fields)\n--\n\nRebuilds a pickled or copied object (used by pickle)."};

}  // namespace

void install_restorers(const RestoreEntry* entries, std::size_t n) noexcept {
    restorers = entries;
    restorer_count = n;
}

Borrowed restore_function() {
    static constinit Kept function{[] {
        Ref module_name = to_str("veldrin");
        return Ref::steal(PyCFunction_NewEx(&restore_def, nullptr, module_name.get()));
    }};
    return function.get();
}

Ref deep_copy(PyObject* o, PyObject* memo) {
    static constinit Kept deepcopy{[] {
        Ref copy_module = Ref::steal(PyImport_ImportModule("copy"));
        return Ref::steal(PyObject_GetAttrString(copy_module.get(), "deepcopy"));
    }};
    return Ref::steal(PyObject_CallFunctionObjArgs(deepcopy.get(), o, memo, nullptr));
}

MemoEntry::MemoEntry(PyObject* memo, PyObject* original, PyObject* copy)
    : memo_(Ref::borrow(memo)), key_(Ref::steal(PyLong_FromVoidPtr(original))) {
    if (PyObject_SetItem(memo, key_.get(), copy) < 0) throw_pending();
}

MemoEntry::~MemoEntry() {
    if (done_) return;
    // Unwinding: the half-made copy leaves the memo; the pending exception
    // (the reason for unwinding) stays as it is.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (PyObject_DelItem(memo_.get(), key_.get()) < 0) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

Ref memo_or_new(PyObject* memo) {
    if (memo == Py_None) return Ref::steal(PyDict_New());
    return Ref::borrow(memo);
}

}  // namespace veldrin
