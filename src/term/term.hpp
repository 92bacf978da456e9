// Terms: named inhabitants of a type, applied to one another by calling.
#pragma once

#include <string>

#include "module/object.hpp"
#include "types/type_value.hpp"

namespace veldrin {

struct TermValue {
    std::string name;
    TypeRef type;
};

bool operator==(const TermValue& a, const TermValue& b);

// SHA-256 of "term:" + name + ":" + type UID.
Uid term_uid(const TermValue& t);
// "f:(A -> B)".
std::string term_text(const TermValue& t);
std::int64_t term_hash(const TermValue& t);

// Applies `f` to `x`: "(f x)" of the output type, or a TypeMismatch.
TermValue apply_term(const TermValue& f, const TermValue& x);

PyTypeObject* term_class();

// A copy of a Term object's value; anything else raises TypeError
// "'{type}' object cannot be cast as 'Term'", prefixed when `arg` is given.
TermValue term_from_object(PyObject* o, const char* arg = nullptr);
Ref term_to_object(TermValue t);

}  // namespace veldrin
