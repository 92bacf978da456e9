// Errors in the texts the module reads: pattern strings, property maps and
// the literals in them, `where` conditions, and type texts read as concrete
// types.
//
// A reader says what went wrong with a code, the place (counted in code
// points, for the texts whose messages give one) and the offending text (a
// character, a key, a quantifier bound); the problem text users see is made
// from these in one place, SyntaxError::message.  Callers decide on codes,
// never on message text, and put the error into the ModelError they raise.
#pragma once

#include <cstddef>
#include <string>

namespace veldrin {

// The language of the text being read.
enum class Grammar { Pattern, PropertyMap, Condition, TypeText };

enum class SyntaxCode {
    // Literals (in property maps and conditions).
    ExpectedLiteral,
    InvalidNumber,
    IntegerTooLong,
    UnterminatedString,
    InvalidUnicodeEscape,
    InvalidEscape,  // text: the character after the backslash
    NestedTooDeep,  // lists in a literal; in conditions parentheses and NOT too
    ExpectedListEnd,
    ExpectedListSeparator,
    // Property maps.
    ExpectedMapStart,
    ExpectedKey,
    MapEndsEarly,
    ExpectedColon,  // text: the key
    ExpectedValue,  // text: the key
    ExpectedMapSeparator,
    TextAfterMap,
    // Pattern strings.
    EmptyPattern,
    UnclosedQuantifier,
    QuantifierWithoutEdge,
    QuantifierAfterNode,
    UnexpectedCharacter,  // text: the character
    UnmatchedParentheses,
    UnmatchedBrackets,
    EndsWithEdge,
    NodeWithoutParentheses,
    BothDirections,
    EdgeWithoutBrackets,
    EdgeWithoutClosingBracket,
    MismatchedBrackets,
    EdgesNotSeparated,
    MisplacedQuantifier,
    TwoQuantifiers,
    BoundNotANumber,  // text: the bound
    NegativeBound,    // text: the bound
    BoundTooLarge,    // text: the bound
    QuantifierWithoutBounds,
    BoundsReversed,  // text: the lower bound, other: the upper bound
    NoNode,
    TooManyEdges,
    // Conditions.
    EmptyCondition,
    ConditionEndsEarly,
    Unexpected,  // text: the word or character
    ExpectedNullAfterIs,
    ExpectedNullAfterIsNot,
    ExpectedListAfterIn,
    ExpectedWithAfterStarts,
    ExpectedWithAfterEnds,
    ExpectedClosingParenthesis,
    ExpectedPropertyKey,
    UnterminatedName,
    EmptyName,
    UnterminatedDollar,
    ExpectedType,
    UnclosedTypeGroup,
    // Type texts read as concrete types.
    SchemaIsNoType,
    MissingType,
    TypeNestedTooDeep,
    UnclosedParenthesis,
    UnexpectedInType,  // text: the character
    WildcardIsNoType,
    CaptureIsNoType,
    TypeDeeperThanLimit,  // text: the limit
};

struct SyntaxError {
    static constexpr std::size_t kNoPosition = static_cast<std::size_t>(-1);

    Grammar grammar;
    SyntaxCode code = SyntaxCode::ExpectedLiteral;
    std::size_t position = kNoPosition;  // shown as " at position N" when set
    std::string text = {};
    std::string other = {};

    // The problem, as users read it: "expected ']' at position 7".
    std::string message() const;
};

}  // namespace veldrin
