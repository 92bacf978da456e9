// The query: a graph's two dictionaries, the newest node of a clause plan,
// the row table its runs fill, the variable numbering it shares with its
// copies, and the values bound to its parameters.
#pragma once

#include <memory>

#include "query/plan.hpp"

namespace veldrin {

struct QueryValue {
    Ref nodes;
    Ref edges;
    Ref plan;   // newest plan node, or null when no clause was queued
    Ref table;  // row table object, shared with copies until a run writes it
    std::shared_ptr<Symbols> symbols;
    // Parameter name (exact str) -> bound value, or null before the first
    // bind.  Never changed once made: a bind makes a new dict, so copies
    // share it at no cost.
    Ref parameters;

    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(nodes.get());
        Py_VISIT(edges.get());
        Py_VISIT(plan.get());
        Py_VISIT(table.get());
        Py_VISIT(parameters.get());
        return 0;
    }
    void clear() noexcept {
        nodes.reset();
        edges.reset();
        plan.reset();
        table.reset();
        parameters.reset();
    }
};

PyTypeObject* query_class();

// The query's own row table, ready to be written: a table shared with a copy
// is copied first.
RowTable& writable_table(QueryValue& q);

// Runs every queued clause, in order, against the graph; stops at the first
// failure, leaving the effects of the clauses before it.
void run_query(QueryValue& q);

}  // namespace veldrin
