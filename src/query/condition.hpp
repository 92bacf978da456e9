// Conditions of `where`: a small boolean language over the values bound in
// one row of the bindings.
//
//   condition  := or
//   or         := xor  { OR xor }            (keywords in any letter case)
//   xor        := and  { XOR and }
//   and        := not  { AND not }
//   not        := NOT not | predicate
//   predicate  := operand [ ( = | <> | != | < | <= | > | >= ) operand
//                         | IS [NOT] NULL
//                         | IN ( list-literal | parameter )
//                         | STARTS WITH operand | ENDS WITH operand
//                         | CONTAINS operand ]
//   operand    := ( condition ) | literal | parameter | name | name.key | name:type
//               | SIZE ( condition )     (the function name in any letter case)
//   parameter  := $name                   (a name of [A-Za-z_][A-Za-z0-9_]*)
//   name, key  := [A-Za-z_][A-Za-z0-9_]*  or  `any text` (`` for a backtick)
//   type       := *                       the wildcard
//               | bare name               a run of ASCII letters, digits, '_'
//                                         and non-ASCII non-space characters
//               | ( text )                balanced parentheses; the outer pair
//                                         delimits, the text inside is trimmed
//               | $ text $                up to the next '$', used unchanged
//               | type -> ...             a bare name or ( text ) followed by
//                                         an arrow: the type text runs on to
//                                         the next AND, OR or XOR outside
//                                         parentheses, the ')' closing an outer
//                                         group, or the end, and is taken
//                                         whole, as a pattern's type text is
// No white space is allowed around the '.' and ':' of an operand.  A type
// text without '$' becomes the schema "$" + text + "$"; so `n:Person`,
// `f:(A -> B)`, `f:A -> B -> C`, `f:(A -> B) -> C` and `f:$(x:*) -> B$` are
// all type tests.  Literals are those
// of patterns/literal.hpp, parameters included: `$name` stands alone or
// inside a list literal, and only a '$' in a type test is schema text.
//
// Values: `name.key` is the property of the node or edge bound to name (null
// when the row lacks the variable or the property, and for a list of edges);
// `name` is the bound node, edge or list of edges itself (two nodes or edges
// are equal when their UIDs are; two lists when they hold the same edges, by
// UID, in the same order; values of different kinds are never equal, and a
// bound value compared with anything else is null); `name:type` is the schema
// test on the node's type or the edge term's type (null when unbound or bound
// to a list).  `size(x)` is the number of edges of a bound list of edges, of
// elements of a list value, or of code points of a str, and null for
// anything else.  Comparisons follow query/values.hpp; STARTS WITH, ENDS WITH and
// CONTAINS take two str and are null otherwise; `x IN [..]` is true when an
// element equals x, else null when some comparison was null, else false.
// AND, OR, XOR and NOT use three-valued logic, and a row is kept only when
// the whole condition is true.  A parameter's value is the bound Python
// object, looked up when the query runs and taken like a literal of its
// kind; `x IN $p` with a value that is not a list is null.  A value in a boolean place must be a
// bool or null, anything else is a TypeMismatch when evaluated.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "query/rows.hpp"

namespace veldrin {

struct ConditionTree;

class Condition {
public:
    // Parses a condition, numbering each variable it names with `column`.
    // A malformed one throws ModelError::invalid_query("<problem> at position
    // N", "where"), positions counting characters from 0.  Parentheses, NOT
    // and list literals together nest at most kMaxNesting levels.
    static Condition parse(std::string_view utf8,
                           const std::function<int(std::string_view)>& column);

    Condition(Condition&&) noexcept;
    Condition& operator=(Condition&&) noexcept;
    ~Condition();

    // The columns of the variables the condition mentions, in first-mention
    // order, once each.
    const std::vector<int>& columns() const noexcept;

    // The values of the literals that name parameters, made from the bound
    // `parameters` (a dict of exact str names, or null); a name without a
    // value raises NameError "Parameter '{name}' not found (where)".  Empty
    // when the condition names no parameter.
    std::vector<Ref> values(PyObject* parameters) const;

    // Does the condition hold on the row, with the literals' `values`?
    // Needs the interpreter lock; Python exceptions from comparisons
    // propagate as PyErrorSet.
    bool holds(const RowView& row, const std::vector<Ref>& values) const;
    bool holds(const RowTable& table, size_t row, const std::vector<Ref>& values) const {
        return holds(TableRow(table, row), values);
    }
    // The same, when it can be told without running Python code of values
    // (another object's own `==`) and without raising a type mismatch;
    // nothing otherwise.  Reading a property may still compare a dictionary
    // key of another type with the same hash, as any dictionary lookup does.
    std::optional<bool> decide(const RowView& row, const std::vector<Ref>& values) const;

    int traverse(visitproc visit, void* arg) const noexcept;
    void clear() noexcept;

private:
    explicit Condition(std::unique_ptr<ConditionTree> tree);
    std::unique_ptr<ConditionTree> tree_;  // owned by one plan node, never shared
};

}  // namespace veldrin
