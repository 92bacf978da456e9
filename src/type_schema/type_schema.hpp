#pragma once

#include "module/object.hpp"
#include "type_schema/schema.hpp"

namespace veldrin {

struct SchemaPayload {
    Schema schema;  // its text is the pattern, exactly as given
};

PyTypeObject* type_schema_class();

}  // namespace veldrin
