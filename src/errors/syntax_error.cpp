#include "errors/syntax_error.hpp"

namespace veldrin {

namespace {

const char* nesting_noun(Grammar g) {
    return g == Grammar::Condition ? "condition" : "property map";
}

std::string problem(const SyntaxError& e) {
    const std::string& t = e.text;
    switch (e.code) {
        case SyntaxCode::ExpectedLiteral:
            return "expected a literal";
        case SyntaxCode::InvalidNumber:
            return "invalid number";
        case SyntaxCode::IntegerTooLong:
            return "integer literal too long";
        case SyntaxCode::UnterminatedString:
            return "unterminated string";
        case SyntaxCode::InvalidUnicodeEscape:
            return "invalid \\u escape";
        case SyntaxCode::InvalidEscape:
            return "invalid escape '\\" + t + "'";
        case SyntaxCode::NestedTooDeep:
            return std::string(nesting_noun(e.grammar)) + " nested too deeply";
        case SyntaxCode::ExpectedListEnd:
            return "expected ']'";
        case SyntaxCode::ExpectedListSeparator:
            return "expected ',' or ']'";
        case SyntaxCode::ExpectedMapStart:
            return "expected '{'";
        case SyntaxCode::ExpectedKey:
            return "expected a key";
        case SyntaxCode::MapEndsEarly:
            return "unexpected end of property map";
        case SyntaxCode::ExpectedColon:
            return "expected ':' after key '" + t + "'";
        case SyntaxCode::ExpectedValue:
            return "expected a value for key '" + t + "'";
        case SyntaxCode::ExpectedMapSeparator:
            return "expected ',' or '}'";
        case SyntaxCode::TextAfterMap:
            return "unexpected text after '}'";
        case SyntaxCode::EmptyPattern:
            return "Pattern cannot be empty";
        case SyntaxCode::UnclosedQuantifier:
            return "Unclosed '{' in pattern";
        case SyntaxCode::QuantifierWithoutEdge:
            return "Quantifier needs an edge before it";
        case SyntaxCode::QuantifierAfterNode:
            return "Quantifier must follow an edge, not a node pattern";
        case SyntaxCode::UnexpectedCharacter:
            return "Unexpected character '" + t + "' outside of node or edge pattern";
        case SyntaxCode::UnmatchedParentheses:
            return "Unmatched parentheses in pattern";
        case SyntaxCode::UnmatchedBrackets:
            return "Unmatched brackets in pattern";
        case SyntaxCode::EndsWithEdge:
            return "Pattern cannot end with an edge";
        case SyntaxCode::NodeWithoutParentheses:
            return "Node pattern must be enclosed in parentheses";
        case SyntaxCode::BothDirections:
            return "Cannot have both <- and -> in same edge";
        case SyntaxCode::EdgeWithoutBrackets:
            return "Edge pattern must contain brackets";
        case SyntaxCode::EdgeWithoutClosingBracket:
            return "Edge pattern must contain closing bracket";
        case SyntaxCode::MismatchedBrackets:
            return "Brackets are mismatched";
        case SyntaxCode::EdgesNotSeparated:
            return "Edge patterns must be separated by a node pattern";
        case SyntaxCode::MisplacedQuantifier:
            return "Quantifier must follow the edge's closing arrow";
        case SyntaxCode::TwoQuantifiers:
            return "Edge has more than one quantifier";
        case SyntaxCode::BoundNotANumber:
            return "Quantifier bound '" + t + "' is not a number";
        case SyntaxCode::NegativeBound:
            return "Quantifier bound '" + t + "' is negative";
        case SyntaxCode::BoundTooLarge:
            return "Quantifier bound '" + t + "' is too large";
        case SyntaxCode::QuantifierWithoutBounds:
            return "Quantifier {} has no bounds";
        case SyntaxCode::BoundsReversed:
            return "Quantifier lower bound " + t + " is above its upper bound " + e.other;
        case SyntaxCode::NoNode:
            return "Pattern must contain at least one node";
        case SyntaxCode::TooManyEdges:
            return "Invalid pattern: too many edges for the number of nodes";
        case SyntaxCode::EmptyCondition:
            return "empty condition";
        case SyntaxCode::ConditionEndsEarly:
            return "unexpected end of condition";
        case SyntaxCode::Unexpected:
            return "unexpected '" + t + "'";
        case SyntaxCode::ExpectedNullAfterIs:
            return "expected NULL after IS";
        case SyntaxCode::ExpectedNullAfterIsNot:
            return "expected NULL after IS NOT";
        case SyntaxCode::ExpectedListAfterIn:
            return "expected a list after IN";
        case SyntaxCode::ExpectedWithAfterStarts:
            return "expected WITH after STARTS";
        case SyntaxCode::ExpectedWithAfterEnds:
            return "expected WITH after ENDS";
        case SyntaxCode::ExpectedClosingParenthesis:
            return "expected ')'";
        case SyntaxCode::ExpectedPropertyKey:
            return "expected a property key after '.'";
        case SyntaxCode::UnterminatedName:
            return "unterminated name";
        case SyntaxCode::EmptyName:
            return "empty name";
        case SyntaxCode::UnterminatedDollar:
            return "unterminated '$' in type";
        case SyntaxCode::ExpectedType:
            return "expected a type after ':'";
        case SyntaxCode::UnclosedTypeGroup:
            return "expected ')' closing the type";
        case SyntaxCode::SchemaIsNoType:
            return "a schema is no concrete type";
        case SyntaxCode::MissingType:
            return "a type is missing";
        case SyntaxCode::TypeNestedTooDeep:
            return "the type is nested too deeply";
        case SyntaxCode::UnclosedParenthesis:
            return "a parenthesis is not closed";
        case SyntaxCode::UnexpectedInType:
            return "unexpected '" + t + "' in the type";
        case SyntaxCode::WildcardIsNoType:
            return "a wildcard is no concrete type";
        case SyntaxCode::CaptureIsNoType:
            return "a capture group is no concrete type";
        case SyntaxCode::TypeDeeperThanLimit:
            return "the type nests more than " + t + " levels deep";
    }
    return "malformed text";
}

}  // namespace

std::string SyntaxError::message() const {
    std::string m = problem(*this);
    if (position != kNoPosition) m += " at position " + std::to_string(position);
    return m;
}

}  // namespace veldrin
