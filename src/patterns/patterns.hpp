// Node, edge and path patterns: plain value holders that say which nodes and
// edges a query clause is about.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/object.hpp"
#include "patterns/literal.hpp"
#include "patterns/parser.hpp"
#include "term/term.hpp"
#include "type_schema/schema.hpp"
#include "types/type_value.hpp"

namespace veldrin {

// Required property values: key -> a reference to the value object.  Keys
// are unique; the map keeps the order it was filled in.
using PropertyMap = std::vector<std::pair<std::string, Ref>>;

int traverse_properties(const PropertyMap& m, visitproc visit, void* arg) noexcept;
void clear_properties(PropertyMap& m) noexcept;

struct NodePatternValue {
    std::optional<std::string> variable;
    TypeRef type;  // null: no exact type
    std::optional<Schema> type_schema;
    PropertyMap properties;

    int traverse(visitproc visit, void* arg) const noexcept {
        return traverse_properties(properties, visit, arg);
    }
    void clear() noexcept { clear_properties(properties); }
};

struct EdgePatternValue {
    std::optional<std::string> variable;
    std::optional<TermValue> term;
    std::optional<Schema> term_type_schema;
    PropertyMap properties;
    std::string direction = "forward";
    std::optional<Hops> hops;  // a quantified edge: a path of edges

    int traverse(visitproc visit, void* arg) const noexcept {
        return traverse_properties(properties, visit, arg);
    }
    void clear() noexcept { clear_properties(properties); }
};

struct PathPatternValue {
    std::vector<NodePatternValue> nodes;
    std::vector<EdgePatternValue> edges;

    int traverse(visitproc visit, void* arg) const noexcept;
    void clear() noexcept;
};

// The constructors' rules, shared with the query builder.  Arguments may be
// null (absent).  Checks run in the documented order and the first failure
// throws.
NodePatternValue build_node_pattern(Borrowed variable, Borrowed type, Borrowed type_schema,
                                    Borrowed properties);
EdgePatternValue build_edge_pattern(Borrowed variable, Borrowed term, Borrowed term_type_schema,
                                    Borrowed properties, Borrowed direction);

// Parses a pattern string (throws ModelError::invalid_pattern).  With
// `parameters` (pattern strings of query clauses), a property value may name
// query parameters; such a value is held, as written, by an internal object
// that `parameter_literal` reads back and that never leaves the module.
PathPatternValue parse_path_pattern(std::string_view text, bool parameters = false);
// The literal held by such an object, or null for any other object.
const Literal* parameter_literal(PyObject* value) noexcept;

PyTypeObject* node_pattern_class();
PyTypeObject* edge_pattern_class();
PyTypeObject* path_pattern_class();

}  // namespace veldrin
