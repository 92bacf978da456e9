// Pickling and copying, the parts every class shares.
//
// The classes report the qualified names "builtins.X", under which pickle
// cannot find them, so each reduces to `(veldrin._restore, (kind, *fields))`:
// one private module function that rebuilds any of them from a kind name and
// plain fields (str, int, tuple, dict, None).  Fields that are the objects'
// own dictionaries are handed to pickle as they are, so its memo keeps every
// dictionary shared that was shared before.
//
// Restoring checks every field first and builds the object last: a bad
// pickle raises TypeError (a field of the wrong type) or ValueError (a wrong
// shape) naming the kind and the field, and leaves nothing half-built.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "module/py.hpp"

namespace veldrin {

// The fields of one object on their way back, with the checked readers.
class StateReader {
public:
    StateReader(std::string kind, PyObject* const* fields, Py_ssize_t n)
        : kind_(std::move(kind)), fields_(fields), n_(n) {}

    // ValueError unless there are exactly `n` fields.
    void expect(Py_ssize_t n) const;
    Borrowed field(Py_ssize_t i) const noexcept { return fields_[i]; }
    // "cannot restore a {kind}: field '{name}'", the prefix of every message
    // about that field.
    std::string where(const char* name) const;

    std::string text(Py_ssize_t i, const char* name) const;
    // None or a str.
    std::optional<std::string> optional_text(Py_ssize_t i, const char* name) const;
    // A dict (subclasses too); `exact` refuses subclasses.
    Borrowed dict(Py_ssize_t i, const char* name, bool exact = false) const;
    Borrowed tuple(Py_ssize_t i, const char* name) const;

private:
    std::string kind_;
    PyObject* const* fields_;
    Py_ssize_t n_;
};

// TypeError "{context} must be {expected}, not '{type of o}'".
[[noreturn]] void raise_wrong_type(const std::string& context, const char* expected, PyObject* o);

// A tuple of the items.
Ref tuple_of(std::initializer_list<Ref> items);

// `(veldrin._restore, (kind, *fields))`, with the fields listed or in a tuple.
Ref reduce_to(const char* kind, std::initializer_list<Ref> fields);
Ref reduce_to(const char* kind, PyObject* fields);

// The restore functions, one per kind, installed once by the module's entry
// point (which alone knows every class).
using Restorer = Ref (*)(const StateReader&);
struct RestoreEntry {
    const char* kind;
    Restorer restore;
};
void install_restorers(const RestoreEntry* entries, std::size_t n) noexcept;
// The module function `_restore(kind, *fields)`.
Borrowed restore_function();

// copy.deepcopy(o, memo).
Ref deep_copy(PyObject* o, PyObject* memo);

// Records `memo[id(original)] = copy` for a __deepcopy__ that builds its copy
// before copying the copy's contents (so a cycle back to the original finds
// the copy), and takes the entry out again unless the copy was completed.
class MemoEntry {
public:
    MemoEntry(PyObject* memo, PyObject* original, PyObject* copy);
    ~MemoEntry();
    void done() noexcept { done_ = true; }
    MemoEntry(const MemoEntry&) = delete;
    MemoEntry& operator=(const MemoEntry&) = delete;

private:
    Ref memo_, key_;
    bool done_ = false;
};

// A __deepcopy__ may be called with a memo of None.
Ref memo_or_new(PyObject* memo);

}  // namespace veldrin
