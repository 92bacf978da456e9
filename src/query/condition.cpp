// Design: a condition is parsed once, when `where` is called, into an
// immutable tree shared by every copy of the Condition.  The parser is a
// recursive descent over code points; AND, OR and XOR chains become one n-ary
// node each, so only parentheses, NOT and list literals deepen the tree, and
// those are counted against kMaxNesting while parsing.  Every recursion below
// (parsing, evaluation, destruction) is therefore bounded.  The tree holds no
// Python objects: literals stay Literal values and are turned into fresh
// objects at each evaluation.
#include "query/condition.hpp"

#include <algorithm>
#include <utility>

#include "errors/model_error.hpp"
#include "patterns/literal.hpp"
#include "query/values.hpp"
#include "type_schema/schema.hpp"

namespace veldrin {

// The tree (named outside the anonymous namespace: ConditionTree holds it).
enum class ConditionOp {
    Or,
    Xor,
    And,
    Not,
    Eq,
    Ne,
    Lt,
    Le,
    Gt,
    Ge,
    IsNull,
    IsNotNull,
    In,
    StartsWith,
    EndsWith,
    Contains,
    Literal,
    Variable,
    Property,
    TypeTest
};

struct ConditionNode {
    ConditionOp op;
    std::vector<ConditionNode> args;
    Literal literal;   // Literal; the list of In
    std::string name;  // Variable, Property, TypeTest
    std::string text;  // Property: the key; TypeTest: the schema text
};

struct ConditionTree {
    ConditionNode root;
    std::vector<std::string> variables;
};

namespace {

using Op = ConditionOp;
using Node = ConditionNode;

class Parser {
public:
    explicit Parser(std::string_view utf8) : t_(decode_utf8(utf8)) {}

    Node run(std::vector<std::string>& variables) {
        skip_space();
        if (!more()) throw ModelError::invalid_query("empty condition", "where");
        Node root = parse_or();
        skip_space();
        if (more()) unexpected();
        variables = std::move(vars_);
        return root;
    }

private:
    std::u32string t_;
    size_t pos_ = 0;
    size_t depth_ = 0;  // open parentheses and NOTs
    std::vector<std::string> vars_;

    [[noreturn]] void fail(size_t at, std::string_view problem) {
        throw ModelError::invalid_query(std::string(problem) + " at position " + std::to_string(at),
                                        "where");
    }
    [[noreturn]] void unexpected() {
        skip_space();
        if (!more()) fail(pos_, "unexpected end of condition");
        size_t end = pos_ + 1;
        while (is_name_char(t_[pos_]) && end < t_.size() && is_name_char(t_[end])) ++end;
        fail(pos_,
             "unexpected '" + encode_utf8(std::u32string_view(t_).substr(pos_, end - pos_)) + "'");
    }

    bool more() const noexcept { return pos_ < t_.size(); }
    bool at(char32_t c) const noexcept { return more() && t_[pos_] == c; }
    void skip_space() noexcept {
        while (more() && is_white_space(t_[pos_])) ++pos_;
    }
    bool keyword(std::string_view word) {
        skip_space();
        if (!word_at(t_, pos_, word)) return false;
        pos_ += word.size();
        return true;
    }
    bool symbol(std::u32string_view s) {
        if (t_.compare(pos_, s.size(), s) != 0) return false;
        pos_ += s.size();
        return true;
    }
    void enter(size_t at) {
        if (++depth_ > kMaxNesting) fail(at, "condition nested too deeply");
    }

    Node chain(Op op, Node (Parser::*next)(), std::string_view word) {
        Node first = (this->*next)();
        if (!keyword(word)) return first;
        Node n{op, {}, {}, {}, {}};
        n.args.push_back(std::move(first));
        do {
            n.args.push_back((this->*next)());
        } while (keyword(word));
        return n;
    }
    Node parse_or() { return chain(Op::Or, &Parser::parse_xor, "or"); }
    Node parse_xor() { return chain(Op::Xor, &Parser::parse_and, "xor"); }
    Node parse_and() { return chain(Op::And, &Parser::parse_not, "and"); }

    Node parse_not() {
        skip_space();
        size_t start = pos_;
        if (!keyword("not")) return parse_predicate();
        enter(start);
        Node n{Op::Not, {}, {}, {}, {}};
        n.args.push_back(parse_not());
        --depth_;
        return n;
    }

    Node parse_predicate() {
        Node left = parse_operand();
        skip_space();
        Op op;
        if (symbol(U"<>") || symbol(U"!=")) {
            op = Op::Ne;
        } else if (symbol(U"<=")) {
            op = Op::Le;
        } else if (symbol(U">=")) {
            op = Op::Ge;
        } else if (symbol(U"<")) {
            op = Op::Lt;
        } else if (symbol(U">")) {
            op = Op::Gt;
        } else if (symbol(U"=")) {
            op = Op::Eq;
        } else if (keyword("is")) {
            bool negated = keyword("not");
            if (!keyword("null"))
                fail(pos_, negated ? "expected NULL after IS NOT" : "expected NULL after IS");
            return Node{negated ? Op::IsNotNull : Op::IsNull, {std::move(left)}, {}, {}, {}};
        } else if (keyword("in")) {
            skip_space();
            if (!at('[')) fail(pos_, "expected a list after IN");
            Node n{Op::In, {}, {}, {}, {}};
            n.args.push_back(std::move(left));
            read_literal_here(n.literal);
            return n;
        } else if (keyword("starts")) {
            op = Op::StartsWith;
            if (!keyword("with")) fail(pos_, "expected WITH after STARTS");
        } else if (keyword("ends")) {
            op = Op::EndsWith;
            if (!keyword("with")) fail(pos_, "expected WITH after ENDS");
        } else if (keyword("contains")) {
            op = Op::Contains;
        } else {
            return left;
        }
        Node right = parse_operand();
        Node n{op, {}, {}, {}, {}};
        n.args.push_back(std::move(left));
        n.args.push_back(std::move(right));
        return n;
    }

    Node parse_operand() {
        skip_space();
        size_t start = pos_;
        if (at('(')) {
            enter(start);
            ++pos_;
            Node inner = parse_or();
            skip_space();
            if (!at(')')) fail(pos_, "expected ')'");
            ++pos_;
            --depth_;
            return inner;
        }
        if (at_literal(t_, pos_)) {
            Node n{Op::Literal, {}, {}, {}, {}};
            read_literal_here(n.literal);
            return n;
        }
        if (!more() || !(is_name_start(t_[pos_]) || t_[pos_] == '`')) unexpected();
        // Operator words are no bare variable names (quote them: `in`).
        for (std::string_view word :
             {"and", "or", "xor", "not", "is", "in", "starts", "ends", "contains", "with"}) {
            if (word_at(t_, pos_, word)) unexpected();
        }
        Node n{Op::Variable, {}, {}, read_name(), {}};
        if (std::find(vars_.begin(), vars_.end(), n.name) == vars_.end()) vars_.push_back(n.name);
        if (symbol(U".")) {
            if (!more() || !(is_name_start(t_[pos_]) || t_[pos_] == '`')) {
                fail(pos_, "expected a property key after '.'");
            }
            n.op = Op::Property;
            n.text = read_name();
        } else if (symbol(U":")) {
            n.op = Op::TypeTest;
            n.text = read_type();
        }
        return n;
    }

    void read_literal_here(Literal& out) {
        std::string error;
        if (!read_literal(t_, pos_, out, error, depth_)) {
            fail(pos_, error == kTooDeep ? "condition " + error : error);
        }
    }

    // A plain name or a backtick-quoted one.
    std::string read_name() {
        size_t start = pos_;
        if (!symbol(U"`")) {
            while (more() && is_name_char(t_[pos_])) ++pos_;
            return encode_utf8(std::u32string_view(t_).substr(start, pos_ - start));
        }
        std::u32string name;
        for (;;) {
            if (!more()) fail(start, "unterminated name");
            char32_t c = t_[pos_++];
            if (c == '`' && !symbol(U"`")) break;
            name += c;
        }
        if (name.empty()) fail(start, "empty name");
        return encode_utf8(name);
    }

    // The schema text of a type test (see the header for the forms).
    std::string read_type() {
        size_t start = pos_;
        std::u32string_view t(t_);
        std::u32string_view text;
        if (symbol(U"*")) {
            text = U"*";
        } else if (symbol(U"$")) {
            size_t end = t_.find(U'$', pos_);
            if (end == std::u32string::npos) fail(start, "unterminated '$' in type");
            pos_ = end + 1;
            return encode_utf8(t.substr(start, pos_ - start));
        } else if (symbol(U"(")) {
            int open = 1;
            for (; more() && open > 0; ++pos_)
                open += t_[pos_] == '(' ? 1 : t_[pos_] == ')' ? -1 : 0;
            if (open > 0) fail(start, "expected ')' closing the type");
            text = t.substr(start + 1, pos_ - start - 2);
            while (!text.empty() && is_white_space(text.front())) text.remove_prefix(1);
            while (!text.empty() && is_white_space(text.back())) text.remove_suffix(1);
        } else {
            auto type_char = [](char32_t c) {
                return is_name_char(c) || (c > 0x7F && !is_white_space(c));
            };
            while (more() && type_char(t_[pos_])) ++pos_;
            if (pos_ == start) fail(start, "expected a type after ':'");
            text = t.substr(start, pos_ - start);
        }
        std::string s = encode_utf8(text);
        return s.find('$') == std::string::npos ? "$" + s + "$" : s;
    }
};

// An operand's value: a Python object (None for null) or a bound node or edge.
struct Value {
    Ref obj;
    const BoundValue* bound = nullptr;
};

class Evaluator {
public:
    Evaluator(const Bindings& b, size_t row) : b_(b), row_(row) {}

    Tri test(const Node& n) {
        switch (n.op) {
            case Op::And:
            case Op::Or: {
                // AND stops at the first false, OR at the first true.
                Tri stop = n.op == Op::And ? Tri::False : Tri::True;
                bool saw_null = false;
                for (const Node& a : n.args) {
                    Tri t = test(a);
                    if (t == stop) return stop;
                    saw_null = saw_null || t == Tri::Null;
                }
                return saw_null ? Tri::Null : tri_not(stop);
            }
            case Op::Xor: {
                bool odd = false;
                for (const Node& a : n.args) {
                    Tri t = test(a);
                    if (t == Tri::Null) return Tri::Null;
                    odd = odd != (t == Tri::True);
                }
                return tri(odd);
            }
            case Op::Not:
                return tri_not(test(n.args[0]));
            case Op::Eq:
                return equal(value(n.args[0]), value(n.args[1]));
            case Op::Ne:
                return tri_not(equal(value(n.args[0]), value(n.args[1])));
            case Op::Lt:
            case Op::Le:
            case Op::Gt:
            case Op::Ge: {
                Value a = value(n.args[0]), b = value(n.args[1]);
                if (a.bound || b.bound) return Tri::Null;
                CompareOp op = n.op == Op::Lt   ? CompareOp::Lt
                               : n.op == Op::Le ? CompareOp::Le
                               : n.op == Op::Gt ? CompareOp::Gt
                                                : CompareOp::Ge;
                return values_compare(a.obj.get(), b.obj.get(), op);
            }
            case Op::IsNull:
            case Op::IsNotNull: {
                Value v = value(n.args[0]);
                bool null = !v.bound && v.obj.get() == Py_None;
                return tri(null == (n.op == Op::IsNull));
            }
            case Op::In: {
                Value v = value(n.args[0]);
                bool saw_null = false;
                for (const Literal& item : n.literal.items) {
                    Tri t = equal(v, Value{literal_to_object(item)});
                    if (t == Tri::True) return Tri::True;
                    saw_null = saw_null || t == Tri::Null;
                }
                return saw_null ? Tri::Null : Tri::False;
            }
            case Op::StartsWith:
            case Op::EndsWith:
            case Op::Contains:
                return text_test(n.op, value(n.args[0]), value(n.args[1]));
            case Op::Literal:
            case Op::Variable:
            case Op::Property:
            case Op::TypeTest:
                break;
        }
        return truth(value(n));
    }

private:
    const Bindings& b_;
    size_t row_;

    Value value(const Node& n) {
        switch (n.op) {
            case Op::Literal:
                return Value{literal_to_object(n.literal)};
            case Op::Variable:
            case Op::Property:
            case Op::TypeTest:
                break;
            default: {
                Tri t = test(n);
                return Value{t == Tri::Null ? Ref::borrow(Py_None) : to_bool(t == Tri::True)};
            }
        }
        const BoundValue* v = bound_at(b_, n.name, row_);
        if (!v) return Value{Ref::borrow(Py_None)};
        if (n.op == Op::Variable) return Value{Ref(), v};
        if (n.op == Op::TypeTest) {
            const TypeRef& type = std::holds_alternative<NodeRecord>(*v)
                                      ? std::get<NodeRecord>(*v).type
                                      : std::get<EdgeRecord>(*v).term.type();
            return Value{to_bool(schema_test(n.text, type, nullptr))};
        }
        // A reference of our own keeps the dictionary alive while the lookup
        // may run Python code (key comparisons).  A record emptied by the
        // collector has no properties.
        Ref props = std::visit([](const auto& r) { return r.properties; }, *v);
        if (!props) return Value{Ref::borrow(Py_None)};
        Ref key = to_str(n.text);
        PyObject* item = PyDict_GetItemWithError(props.get(), key.get());
        if (!item && PyErr_Occurred()) throw_pending();
        return Value{Ref::borrow(item ? item : Py_None)};
    }

    static Tri equal(const Value& a, const Value& b) {
        if (!a.bound && !b.bound) return values_equal(a.obj.get(), b.obj.get());
        if (!a.bound || !b.bound) return Tri::Null;
        return tri(same_identity(*a.bound, *b.bound));
    }

    static Tri text_test(Op op, const Value& a, const Value& b) {
        PyObject* s = a.obj.get();
        PyObject* part = b.obj.get();
        if (a.bound || b.bound || !PyUnicode_Check(s) || !PyUnicode_Check(part)) return Tri::Null;
        Py_ssize_t r = op == Op::Contains ? PyUnicode_Contains(s, part)
                                          : PyUnicode_Tailmatch(s, part, 0, PY_SSIZE_T_MAX,
                                                                op == Op::EndsWith ? 1 : -1);
        if (r < 0) throw_pending();
        return tri(r != 0);
    }

    static Tri truth(const Value& v) {
        if (v.bound) {
            throw ModelError::type_mismatch(
                "boolean", std::holds_alternative<NodeRecord>(*v.bound) ? "Node" : "Edge", "where");
        }
        PyObject* o = v.obj.get();
        if (o == Py_None) return Tri::Null;
        if (PyBool_Check(o)) return tri(o == Py_True);
        throw ModelError::type_mismatch("boolean", Py_TYPE(o)->tp_name, "where");
    }
};

}  // namespace

Condition Condition::parse(std::string_view utf8) {
    auto tree = std::make_shared<ConditionTree>();
    tree->root = Parser(utf8).run(tree->variables);
    return Condition(std::move(tree));
}

const std::vector<std::string>& Condition::variables() const noexcept { return tree_->variables; }

bool Condition::holds(const Bindings& b, size_t row) const {
    return Evaluator(b, row).test(tree_->root) == Tri::True;
}

}  // namespace veldrin
