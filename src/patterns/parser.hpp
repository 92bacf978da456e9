// The pattern-string parser: text in, parsed parts out, or an
// InvalidPattern error.  Pure logic: no Python objects.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "patterns/literal.hpp"

namespace veldrin {

// The bounds of a quantified edge: paths of `min` to `max` edges (no `max`:
// unbounded).
struct Hops {
    unsigned long long min = 1;
    std::optional<unsigned long long> max;
};

struct ParsedPart {
    std::optional<std::string> variable;
    std::optional<std::string> schema;  // "$" + type text + "$" unless it holds a "$"
    std::vector<std::pair<std::string, Literal>> properties;
    std::string direction;     // edges only: "forward", "backward" or "any"
    std::optional<Hops> hops;  // edges only: set when the edge is quantified
};

struct ParsedPath {
    std::vector<ParsedPart> nodes;
    std::vector<ParsedPart> edges;
};

// Throws ModelError::invalid_pattern.  With `parameters`, property values may
// name query parameters (`{name: $name}`).
ParsedPath parse_pattern_text(std::string_view text, bool parameters = false);

}  // namespace veldrin
