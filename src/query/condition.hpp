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
//                         | IN list-literal
//                         | STARTS WITH operand | ENDS WITH operand
//                         | CONTAINS operand ]
//   operand    := ( condition ) | literal | name | name.key | name:type
//   name, key  := [A-Za-z_][A-Za-z0-9_]*  or  `any text` (`` for a backtick)
//   type       := *                       the wildcard
//               | bare name               a run of ASCII letters, digits, '_'
//                                         and non-ASCII non-space characters
//               | ( text )                balanced parentheses; the outer pair
//                                         delimits, the text inside is trimmed
//               | $ text $                up to the next '$', used unchanged
// No white space is allowed around the '.' and ':' of an operand.  A type
// text without '$' becomes the schema "$" + text + "$"; so `n:Person`,
// `f:(A -> B)` and `f:$(x:*) -> B$` are all type tests.  Literals are those
// of patterns/literal.hpp.
//
// Values: `name.key` is the property of the node or edge bound to name (null
// when the row lacks the variable or the property); `name` is the bound node
// or edge itself (two are equal when their UIDs are, a node never equals an
// edge, and a bound value compared with anything else is null); `name:type`
// is the schema test on the node's type or the edge term's type (null when
// unbound).  Comparisons follow query/values.hpp; STARTS WITH, ENDS WITH and
// CONTAINS take two str and are null otherwise; `x IN [..]` is true when an
// element equals x, else null when some comparison was null, else false.
// AND, OR, XOR and NOT use three-valued logic, and a row is kept only when
// the whole condition is true.  A value in a boolean place must be a bool or
// null, anything else is a TypeMismatch when evaluated.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "query/bindings.hpp"

namespace veldrin {

struct ConditionTree;

class Condition {
public:
    // Parses a condition.  A malformed one throws
    // ModelError::invalid_query("<problem> at position N", "where"), positions
    // counting characters from 0.  Parentheses, NOT and list literals together
    // nest at most kMaxNesting levels.
    static Condition parse(std::string_view utf8);

    // Every variable the condition mentions, in first-mention order, once each.
    const std::vector<std::string>& variables() const noexcept;

    // Does the condition hold on row `row`?  Needs the interpreter lock;
    // Python exceptions from comparisons propagate as PyErrorSet.
    bool holds(const Bindings& b, size_t row) const;

private:
    explicit Condition(std::shared_ptr<const ConditionTree> tree) : tree_(std::move(tree)) {}
    std::shared_ptr<const ConditionTree> tree_;  // immutable, shared by every copy
};

}  // namespace veldrin
