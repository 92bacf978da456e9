// Query plans: each clause compiled once, when its method is called, into an
// immutable plan node; a query is the newest node of a chain.
//
// Design.  A clause method used to copy the whole queue into the copy it
// returned, and the run copied it again; now a method links one new node in
// front of the shared tail (O(1)), and the query it was called on and the
// copy it returns both point at that node.  Records added later to one of
// them are new nodes in front of its own head, never seen by the other.
//
// Everything a run would otherwise redo per row is done when the node is
// made: property keys become interned str objects (their hash is then read,
// never recomputed), literals of `where` become ready Python objects, the
// direction word becomes an enum, and variable names become column numbers
// of the row table (query/rows.hpp).  Numbers come from a Symbols table that
// a query shares with every copy made from it: names are only ever added, so
// a number never changes meaning, and a number that one copy never binds is
// simply an unbound column for it.
//
// A plan node is an internal Python object tracked by the collector: the
// chain is shared by many queries, and each Python value in it is visited
// exactly once, by the node that holds it.  Long chains are freed through the
// interpreter's trashcan, without deep C recursion.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "patterns/patterns.hpp"
#include "query/condition.hpp"

namespace veldrin {

// Variable name <-> column number, shared by a query and its copies.
class Symbols {
public:
    // The number of `name`, made on first use.
    int intern(std::string_view name);
    // The number of `name`, or -1 when no clause ever named it.
    int find(std::string_view name) const;
    const std::string& name(int column) const { return names_[static_cast<size_t>(column)]; }

private:
    std::vector<std::string> names_;
    std::unordered_map<std::string, int> numbers_;
};

enum class Direction { Forward, Backward, Any };

// Required property values: interned key -> expected value.  A value written
// with parameters (a pattern string's `{name: $name}`) is kept as its
// literal, its entry's value null, until a run makes it (`with_values`).
struct PropertyTest {
    std::vector<std::pair<Ref, Ref>> entries;
    std::vector<std::pair<size_t, Literal>> written;  // entry index -> literal

    bool empty() const noexcept { return entries.empty(); }
    bool names_parameters() const noexcept { return !written.empty(); }
    // A copy whose written values are made from the bound `parameters`.
    PropertyTest with_values(PyObject* parameters, const char* context) const;
    // Does `dict` hold every entry?  Each value is compared as
    // `value == expected` and its truth taken; values of the exact built-in
    // int, float and str types are compared directly (they have no
    // comparison of their own to call).  A lookup that raises KeyError counts
    // as missing; other exceptions propagate (PyErrorSet).
    bool holds(PyObject* dict) const;
    // A new dictionary of the entries; with `fresh`, lists are copied so no
    // two creations share one.
    Ref make_dict(bool fresh) const;

    int traverse(visitproc visit, void* arg) const noexcept;
    void clear() noexcept;
};

struct NodeMatcher {
    int column = -1;  // the variable's column, or -1
    TypeRef type;     // exact type, or null
    std::optional<Schema> schema;
    PropertyTest properties;

    bool holds(const TypeRef& type, PyObject* properties) const;
};

struct EdgeMatcher {
    int column = -1;
    std::optional<TermValue> term;
    std::optional<Schema> schema;  // tested against the term's type
    PropertyTest properties;
    Direction direction = Direction::Forward;
    std::optional<Hops> hops;  // quantified: a path of edges, each passing this test

    bool holds(const EdgeRecord& edge, PyObject* properties) const;
};

// The three forms of a pattern clause.
struct NodeForm {
    NodeMatcher node;
};
struct EdgeForm {
    EdgeMatcher edge;
    int start = -1;  // columns of the start and end names, or -1
    int end = -1;
};
struct PathForm {
    std::vector<NodeMatcher> nodes;
    std::vector<EdgeMatcher> edges;
    // For create and merge: the concrete type of every node part and of
    // every edge part's term, and the term names (the edge variables).
    std::vector<TypeRef> node_types;
    std::vector<TypeRef> edge_types;
    std::vector<std::string> term_names;
};
using PatternForm = std::variant<NodeForm, EdgeForm, PathForm>;

struct MatchClause {
    std::unique_ptr<PatternForm> form;  // out of line: the clause variant stays small
};
struct WhereClause {
    Condition condition;
};
struct CreateClause {
    std::unique_ptr<PatternForm> form;  // out of line: the clause variant stays small
};
struct SetClause {
    int column;
    Ref properties;  // the caller's dictionary itself, read at run time
};
struct DeleteClause {
    std::vector<int> columns;
    bool detach = false;
};
struct MergeClause {
    std::unique_ptr<PatternForm> form;  // out of line: the clause variant stays small
};
struct WithClause {
    std::vector<int> columns;  // empty: keep everything
};
struct OrderByClause {
    int column;
    Ref key;  // interned
    bool ascending = true;
};
struct LimitClause {
    unsigned long long count;
};
struct SkipClause {
    unsigned long long count;
};

using Clause = std::variant<MatchClause, WhereClause, CreateClause, SetClause, DeleteClause,
                            MergeClause, WithClause, OrderByClause, LimitClause, SkipClause>;

// What a clause's parameter references stand for in one run: the clause's
// form with its values made (match, create, merge), or the values of the
// condition's literals that name parameters (where).  Empty for a clause
// that names no parameter.
struct ClauseValues {
    std::optional<PatternForm> form;
    std::vector<Ref> condition;
};

// Looks up every parameter the clause names in `parameters` (a dict of exact
// str names, or null when nothing was bound).  A name without a value raises
// NameError "Parameter '{name}' not found ({clause})".
ClauseValues clause_values(const Clause& clause, PyObject* parameters);

// The value of a literal that names parameters: a parameter is its bound
// value itself, a list a new list; a name without a value raises NameError
// "Parameter '{name}' not found ({context})".
Ref literal_value(const Literal& lit, PyObject* parameters, const char* context);

// One plan node: a clause and the older part of the chain.
struct PlanStep {
    Ref older;  // the previous plan node, or null for the first clause
    Clause clause;

    int traverse(visitproc visit, void* arg) const noexcept;
    void clear() noexcept;
};

// A new plan node holding `clause` in front of `older` (null: none).
Ref link_step(Ref older, Clause clause);
// The clauses of the chain ending at `newest`, oldest first (borrowed from
// the nodes, which the caller keeps alive).
std::vector<const Clause*> clauses_of(PyObject* newest);

// Compilation of pattern values into matchers, naming columns in `symbols`.
NodeMatcher compile_node(const NodePatternValue& p, Symbols& symbols);
EdgeMatcher compile_edge(const EdgePatternValue& p, Symbols& symbols);
PathForm compile_path(const PathPatternValue& p, Symbols& symbols);
PropertyTest compile_properties(const PropertyMap& m);

// An interned str: equal keys are then one object, hashed once.
Ref interned(std::string_view text);
// A list (exactly a list) is copied, nested lists too; anything else is
// returned as it is.  A list met twice (shared or holding itself) is copied
// once, so the copy has the same shape; lists nested past the interpreter's
// recursion limit raise RecursionError.
Ref fresh_copy(PyObject* value);

}  // namespace veldrin
