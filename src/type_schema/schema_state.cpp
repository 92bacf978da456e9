#include "type_schema/schema_state.hpp"

#include "module/object.hpp"
#include "type_schema/type_schema.hpp"

namespace veldrin {

PyObject* type_schema_reduce(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] {
        return reduce_to("TypeSchema", {to_str(payload<SchemaPayload>(self).schema.text())});
    });
}

Ref restore_type_schema(const StateReader& state) {
    state.expect(1);
    return new_instance(type_schema_class(), SchemaPayload{Schema(state.text(0, "pattern"))});
}

}  // namespace veldrin
