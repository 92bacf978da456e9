// Reads a type written out as text back into a type value.
#pragma once

#include <string_view>

#include "errors/syntax_error.hpp"
#include "types/type_value.hpp"

namespace veldrin {

// Reads a pattern's schema text back as a concrete type: names, arrows
// associating to the right, parentheses ("Person", "A -> B",
// "(A -> B) -> C").  Returns a null TypeRef with `why` set when the text is
// no concrete type (a wildcard, a capture group, a schema of its own).
TypeRef concrete_type(std::string_view schema, SyntaxError& why);

}  // namespace veldrin
