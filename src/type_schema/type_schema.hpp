#pragma once

#include <string>

#include "module/object.hpp"

namespace veldrin {

struct SchemaPayload {
    std::string pattern;
};

PyTypeObject* type_schema_class();

}  // namespace veldrin
