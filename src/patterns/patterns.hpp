// Node, edge and path patterns: plain value holders that say which nodes and
// edges a query clause is about.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "graph/records.hpp"
#include "module/object.hpp"
#include "patterns/parser.hpp"
#include "term/term.hpp"
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
    std::optional<std::string> type_schema;
    PropertyMap properties;

    int traverse(visitproc visit, void* arg) const noexcept {
        return traverse_properties(properties, visit, arg);
    }
    void clear() noexcept { clear_properties(properties); }
};

struct EdgePatternValue {
    std::optional<std::string> variable;
    std::optional<TermValue> term;
    std::optional<std::string> term_type_schema;
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

// The constructors' rules, shared with the query builder.  Arguments are
// borrowed and may be null (absent).  Checks run in the documented order and
// the first failure throws.
NodePatternValue build_node_pattern(PyObject* variable, PyObject* type, PyObject* type_schema,
                                    PyObject* properties);
EdgePatternValue build_edge_pattern(PyObject* variable, PyObject* term, PyObject* term_type_schema,
                                    PyObject* properties, PyObject* direction);

// The node pattern test: exact type, schema, then each required property
// compared as `node_value == expected`.  Exceptions from the comparison or
// its truth test propagate (PyErrorSet).
bool node_pattern_test(const NodePatternValue& p, NodeRecord& node);
// Required properties of an edge pattern against an edge's dictionary.
bool properties_hold(const PropertyMap& required, PyObject* dict);

// Parses a pattern string (throws ModelError::invalid_pattern).
PathPatternValue parse_path_pattern(std::string_view text);

PyTypeObject* node_pattern_class();
PyTypeObject* edge_pattern_class();
PyTypeObject* path_pattern_class();

}  // namespace veldrin
