// TypeSchema: a schema text kept exactly as given, read once, tested against
// types.
#include "type_schema/type_schema.hpp"

#include "module/binder.hpp"
#include "module/convert.hpp"
#include "module/kept.hpp"
#include "type_schema/schema.hpp"
#include "type_schema/schema_state.hpp"
#include "types/types_py.hpp"

namespace veldrin {

namespace {

const Schema& schema_of(PyObject* self) { return payload<SchemaPayload>(self).schema; }
const std::string& pattern_of(PyObject* self) { return schema_of(self).text(); }

constexpr const char* kPattern[] = {"pattern"};
constexpr Signature new_sig = make_signature("TypeSchema.__new__()", kPattern, 1, 0b1);

Ref make_type_schema(PyTypeObject* cls, const BoundArgs& a) {
    return new_instance(cls, SchemaPayload{Schema(text_value(a[0], "pattern"))});
}

constexpr const char* kType[] = {"type"};
constexpr Signature matches_sig = make_signature("TypeSchema.matches()", kType, 1, 0b1);
constexpr Signature capture_sig = make_signature("TypeSchema.capture()", kType, 1, 0b1);

Ref type_schema_matches(PyObject* self, const BoundArgs& a) {
    TypeRef type = type_from_object(a[0]);
    return to_bool(schema_of(self).test(type, nullptr));
}

Ref type_schema_capture(PyObject* self, const BoundArgs& a) {
    TypeRef type = type_from_object(a[0]);
    CaptureTable captures;
    Ref result = Ref::steal(PyDict_New());
    if (!schema_of(self).test(type, &captures)) return result;
    for (const auto& [name, captured] : captures.entries()) {
        Ref key = to_str(name);
        Ref value = type_to_object(captured);
        if (PyDict_SetItem(result.get(), key.get(), value.get()) < 0) throw_pending();
    }
    return result;
}

Ref type_schema_pattern(PyObject* self) { return to_str(pattern_of(self)); }

Ref type_schema_repr(PyObject* self) { return to_str("TypeSchema(\"" + pattern_of(self) + "\")"); }

PyMethodDef type_schema_methods[] = {
    {"matches", as_method(bound_method<matches_sig, type_schema_matches>),
     METH_FASTCALL | METH_KEYWORDS,
     "matches($self, type)\n--\n\nTests whether a type satisfies this schema."},
    {"capture", as_method(bound_method<capture_sig, type_schema_capture>),
     METH_FASTCALL | METH_KEYWORDS,
     "capture($self, type)\n--\n\nTests a type and returns what the capture groups met, as a "
     "dict of names to types (empty when the test fails)."},
    {"__reduce__", type_schema_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef type_schema_getset[] = {{"pattern", read_getter<type_schema_pattern>, nullptr,
                                     "The schema text, exactly as given.", nullptr},
                                    {nullptr, nullptr, nullptr, nullptr, nullptr}};

const ClassSpec type_schema_spec{
    .name = "builtins.TypeSchema",
    .doc =
        "TypeSchema(pattern)\n--\n\n"
        "A pattern over types.\n\n"
        "\"$*$\" accepts every type, \"$Person$\" the variable Person, \"$A -> B$\" a "
        "function type, and \"$(name:sub)$\" captures what sub met under name.",
    .instance = layout_of<SchemaPayload>(),
    .new_ = Constructor<new_sig, make_type_schema>::new_slot,
    .repr = read_slot<type_schema_repr>,
    .str = read_slot<type_schema_repr>,
    .methods = type_schema_methods,
    .getset = type_schema_getset,
};

constinit KeptClass type_schema_type{[] { return create_class(type_schema_spec); }};

}  // namespace

PyTypeObject* type_schema_class() { return type_schema_type.get(); }

}  // namespace veldrin
