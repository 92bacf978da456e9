#include "term/term_state.hpp"

#include "types/type_table.hpp"

namespace veldrin {

TermValue term_from_fields(const StateReader& state, Py_ssize_t first) {
    std::string name = state.text(first, "term");
    TypeRef type = type_from_table(state.field(first + 1), state.where("term type"));
    return TermValue{std::move(name), std::move(type)};
}

PyObject* term_reduce(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] {
        TermValue t = term_from_object(self);
        return reduce_to("Term", {to_str(t.name()), type_table(t.type())});
    });
}

Ref restore_term(const StateReader& state) {
    state.expect(2);
    return term_to_object(term_from_fields(state, 0));
}

}  // namespace veldrin
