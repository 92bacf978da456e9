#include "errors/syntax_error.hpp"

#include <iterator>

namespace veldrin {

namespace {

// The problem text of every code, in the order of the codes: "%t" stands for
// the offending text, "%o" for the other text, "%n" for what nests (the
// grammar being read).
struct Template {
    SyntaxCode code;
    const char* text;
};

constexpr Template kTemplates[] = {
    {SyntaxCode::ExpectedLiteral, "expected a literal"},
    {SyntaxCode::InvalidNumber, "invalid number"},
    {SyntaxCode::IntegerTooLong, "integer literal too long"},
    {SyntaxCode::UnterminatedString, "unterminated string"},
    {SyntaxCode::InvalidUnicodeEscape, "invalid \\u escape"},
    {SyntaxCode::InvalidEscape, "invalid escape '\\%t'"},
    {SyntaxCode::NestedTooDeep, "%n nested too deeply"},
    {SyntaxCode::ExpectedListEnd, "expected ']'"},
    {SyntaxCode::ExpectedListSeparator, "expected ',' or ']'"},
    {SyntaxCode::ExpectedMapStart, "expected '{'"},
    {SyntaxCode::ExpectedKey, "expected a key"},
    {SyntaxCode::MapEndsEarly, "unexpected end of property map"},
    {SyntaxCode::ExpectedColon, "expected ':' after key '%t'"},
    {SyntaxCode::ExpectedValue, "expected a value for key '%t'"},
    {SyntaxCode::ExpectedMapSeparator, "expected ',' or '}'"},
    {SyntaxCode::TextAfterMap, "unexpected text after '}'"},
    {SyntaxCode::EmptyPattern, "Pattern cannot be empty"},
    {SyntaxCode::UnclosedQuantifier, "Unclosed '{' in pattern"},
    {SyntaxCode::QuantifierWithoutEdge, "Quantifier needs an edge before it"},
    {SyntaxCode::QuantifierAfterNode, "Quantifier must follow an edge, not a node pattern"},
    {SyntaxCode::UnexpectedCharacter, "Unexpected character '%t' outside of node or edge pattern"},
    {SyntaxCode::UnmatchedParentheses, "Unmatched parentheses in pattern"},
    {SyntaxCode::UnmatchedBrackets, "Unmatched brackets in pattern"},
    {SyntaxCode::EndsWithEdge, "Pattern cannot end with an edge"},
    {SyntaxCode::NodeWithoutParentheses, "Node pattern must be enclosed in parentheses"},
    {SyntaxCode::BothDirections, "Cannot have both <- and -> in same edge"},
    {SyntaxCode::EdgeWithoutBrackets, "Edge pattern must contain brackets"},
    {SyntaxCode::EdgeWithoutClosingBracket, "Edge pattern must contain closing bracket"},
    {SyntaxCode::MismatchedBrackets, "Brackets are mismatched"},
    {SyntaxCode::EdgesNotSeparated, "Edge patterns must be separated by a node pattern"},
    {SyntaxCode::MisplacedQuantifier, "Quantifier must follow the edge's closing arrow"},
    {SyntaxCode::TwoQuantifiers, "Edge has more than one quantifier"},
    {SyntaxCode::BoundNotANumber, "Quantifier bound '%t' is not a number"},
    {SyntaxCode::NegativeBound, "Quantifier bound '%t' is negative"},
    {SyntaxCode::BoundTooLarge, "Quantifier bound '%t' is too large"},
    {SyntaxCode::QuantifierWithoutBounds, "Quantifier {} has no bounds"},
    {SyntaxCode::BoundsReversed, "Quantifier lower bound %t is above its upper bound %o"},
    {SyntaxCode::NoNode, "Pattern must contain at least one node"},
    {SyntaxCode::TooManyEdges, "Invalid pattern: too many edges for the number of nodes"},
    {SyntaxCode::EmptyCondition, "empty condition"},
    {SyntaxCode::ConditionEndsEarly, "unexpected end of condition"},
    {SyntaxCode::Unexpected, "unexpected '%t'"},
    {SyntaxCode::ExpectedNullAfterIs, "expected NULL after IS"},
    {SyntaxCode::ExpectedNullAfterIsNot, "expected NULL after IS NOT"},
    {SyntaxCode::ExpectedListAfterIn, "expected a list after IN"},
    {SyntaxCode::ExpectedWithAfterStarts, "expected WITH after STARTS"},
    {SyntaxCode::ExpectedWithAfterEnds, "expected WITH after ENDS"},
    {SyntaxCode::ExpectedClosingParenthesis, "expected ')'"},
    {SyntaxCode::ExpectedPropertyKey, "expected a property key after '.'"},
    {SyntaxCode::UnterminatedName, "unterminated name"},
    {SyntaxCode::EmptyName, "empty name"},
    {SyntaxCode::UnterminatedDollar, "unterminated '$' in type"},
    {SyntaxCode::ExpectedType, "expected a type after ':'"},
    {SyntaxCode::UnclosedTypeGroup, "expected ')' closing the type"},
    {SyntaxCode::SchemaIsNoType, "a schema is no concrete type"},
    {SyntaxCode::MissingType, "a type is missing"},
    {SyntaxCode::TypeNestedTooDeep, "the type is nested too deeply"},
    {SyntaxCode::UnclosedParenthesis, "a parenthesis is not closed"},
    {SyntaxCode::UnexpectedInType, "unexpected '%t' in the type"},
    {SyntaxCode::WildcardIsNoType, "a wildcard is no concrete type"},
    {SyntaxCode::CaptureIsNoType, "a capture group is no concrete type"},
    {SyntaxCode::TypeDeeperThanLimit, "the type nests more than %t levels deep"},
};

constexpr bool in_code_order() {
    for (std::size_t i = 0; i < std::size(kTemplates); ++i) {
        if (static_cast<std::size_t>(kTemplates[i].code) != i) return false;
    }
    return static_cast<std::size_t>(SyntaxCode::TypeDeeperThanLimit) + 1 == std::size(kTemplates);
}
static_assert(in_code_order(), "one template for every code, in the order of the codes");

}  // namespace

std::string SyntaxError::message() const {
    std::string m;
    for (const char* c = kTemplates[static_cast<std::size_t>(code)].text; *c; ++c) {
        if (*c != '%') {
            m += *c;
            continue;
        }
        switch (*++c) {
            case 't':
                m += text;
                break;
            case 'o':
                m += other;
                break;
            case 'n':
                m += grammar == Grammar::Condition ? "condition" : "property map";
                break;
        }
    }
    if (position != kNoPosition) m += " at position " + std::to_string(position);
    return m;
}

}  // namespace veldrin
