// The query: a clause queue bound to a graph's two dictionaries, and the
// bindings its runs fill.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "graph/graph.hpp"
#include "patterns/patterns.hpp"
#include "query/bindings.hpp"
#include "query/condition.hpp"

namespace veldrin {

// What a pattern clause carries: one node pattern, one edge pattern with
// its start and end names, or a whole path.
struct NodeForm {
    NodePatternValue pattern;
};
struct EdgeForm {
    EdgePatternValue pattern;
    std::optional<std::string> start;
    std::optional<std::string> end;
};
struct PathForm {
    PathPatternValue pattern;
    // For create and merge: the concrete type of every node part, and of
    // every edge part's term, read when the clause was queued.
    std::vector<TypeRef> node_types;
    std::vector<TypeRef> edge_types;
};
using PatternForm = std::variant<NodeForm, EdgeForm, PathForm>;

struct MatchClause {
    PatternForm form;
};
struct WhereClause {
    Condition condition;
};
struct CreateClause {
    PatternForm form;
};
struct SetClause {
    std::string variable;
    Ref properties;  // the caller's dictionary itself, read at run time
};
struct DeleteClause {
    std::vector<std::string> variables;
    bool detach = false;
};
struct MergeClause {
    PatternForm form;
};
struct WithClause {
    std::vector<std::string> variables;
};
struct OrderByClause {
    std::string variable;
    std::string key;
    bool ascending = true;
};
struct LimitClause {
    unsigned long long count;
};
struct SkipClause {
    unsigned long long count;
};

using Record = std::variant<MatchClause, WhereClause, CreateClause, SetClause, DeleteClause,
                            MergeClause, WithClause, OrderByClause, LimitClause, SkipClause>;

struct QueryValue {
    Ref nodes;
    Ref edges;
    std::vector<Record> operations;
    Bindings matched_vars;

    int traverse(visitproc visit, void* arg) const noexcept;
    void clear() noexcept;
};

PyTypeObject* query_class();

// Runs every queued clause, in order, against the graph; stops at the first
// failure, leaving the effects of the clauses before it.
void run_query(QueryValue& q);

}  // namespace veldrin
