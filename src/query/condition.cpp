// Design: a condition is parsed once, when `where` is called, into an
// immutable tree owned by one plan node.  The parser is a recursive descent
// over code points; AND, OR and XOR chains become one n-ary node each, so only
// parentheses, NOT and list literals deepen the tree, and those are counted
// against kMaxNesting while parsing.  Every recursion below (parsing,
// evaluation, destruction) is therefore bounded.
//
// Everything the evaluation of a row needs is made while parsing: literals
// and IN lists are ready Python objects, property keys interned str objects,
// and variables column numbers of the row table.  A literal list is never
// handed to Python code: where an object's own `==` would see it, it gets a
// fresh copy, so no comparison can change the condition.
//
// A literal that names a parameter is kept as written and numbered by a slot;
// a run makes the values of all slots once, before the first row, and every
// row reads them.  A bound value is taken as a literal of its kind, so a
// bound list too is only ever shown to Python code as a fresh copy.
#include "query/condition.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "errors/model_error.hpp"
#include "module/text.hpp"
#include "patterns/literal.hpp"
#include "query/plan.hpp"
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
    TypeTest,
    Size
};

struct ConditionNode {
    ConditionOp op;
    std::vector<ConditionNode> args;
    Ref object;        // Literal: its value; In: the list (null when written with parameters)
    int column = -1;   // Variable, Property, TypeTest; Literal and In: the slot of a value
                       // written with parameters, or -1
    Ref key;           // Property: the interned key
    std::string text;  // TypeTest: the schema text
    // TypeTest: the schema read from `text`.
    std::optional<Schema> schema = {};

    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(object.get());
        Py_VISIT(key.get());
        for (const ConditionNode& a : args) {
            if (int r = a.traverse(visit, arg)) return r;
        }
        return 0;
    }
    void clear() noexcept {
        object.reset();
        key.reset();
        for (ConditionNode& a : args) a.clear();
    }
};

struct ConditionTree {
    ConditionNode root;
    std::vector<int> columns;
    std::vector<Literal> written;  // slot -> literal naming parameters
};

namespace {

using Op = ConditionOp;
using Node = ConditionNode;

class Parser {
public:
    Parser(std::string_view utf8, const std::function<int(std::string_view)>& column)
        : t_(decode_utf8(utf8)), column_(column) {}

    Node run(std::vector<int>& columns, std::vector<Literal>& written) {
        skip_space();
        if (!more()) fail(SyntaxError::kNoPosition, SyntaxCode::EmptyCondition);
        Node root = parse_or();
        skip_space();
        if (more()) unexpected();
        columns = std::move(columns_);
        written = std::move(written_);
        return root;
    }

private:
    std::u32string t_;
    const std::function<int(std::string_view)>& column_;
    size_t pos_ = 0;
    size_t depth_ = 0;  // open parentheses and NOTs
    std::vector<int> columns_;
    std::vector<Literal> written_;

    [[noreturn]] void fail(size_t at, SyntaxCode code, std::string text = {}) {
        throw ModelError::invalid_query(SyntaxError{Grammar::Condition, code, at, std::move(text)},
                                        "where");
    }
    [[noreturn]] void unexpected() {
        skip_space();
        if (!more()) fail(pos_, SyntaxCode::ConditionEndsEarly);
        size_t end = pos_ + 1;
        while (is_name_char(t_[pos_]) && end < t_.size() && is_name_char(t_[end])) ++end;
        fail(pos_, SyntaxCode::Unexpected,
             encode_utf8(std::u32string_view(t_).substr(pos_, end - pos_)));
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
        if (++depth_ > kMaxNesting) fail(at, SyntaxCode::NestedTooDeep);
    }

    Node chain(Op op, Node (Parser::*next)(), std::string_view word) {
        Node first = (this->*next)();
        if (!keyword(word)) return first;
        Node n{op, {}, {}, -1, {}, {}};
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
        Node n{Op::Not, {}, {}, -1, {}, {}};
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
                fail(pos_, negated ? SyntaxCode::ExpectedNullAfterIsNot
                                   : SyntaxCode::ExpectedNullAfterIs);
            Node n{negated ? Op::IsNotNull : Op::IsNull, {}, {}, -1, {}, {}};
            n.args.push_back(std::move(left));
            return n;
        } else if (keyword("in")) {
            skip_space();
            if (!at('[') && !at_parameter(t_, pos_)) fail(pos_, SyntaxCode::ExpectedListAfterIn);
            Node n{Op::In, {}, {}, -1, {}, {}};
            n.args.push_back(std::move(left));
            read_literal_here(n);
            return n;
        } else if (keyword("starts")) {
            op = Op::StartsWith;
            if (!keyword("with")) fail(pos_, SyntaxCode::ExpectedWithAfterStarts);
        } else if (keyword("ends")) {
            op = Op::EndsWith;
            if (!keyword("with")) fail(pos_, SyntaxCode::ExpectedWithAfterEnds);
        } else if (keyword("contains")) {
            op = Op::Contains;
        } else {
            return left;
        }
        Node right = parse_operand();
        Node n{op, {}, {}, -1, {}, {}};
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
            if (!at(')')) fail(pos_, SyntaxCode::ExpectedClosingParenthesis);
            ++pos_;
            --depth_;
            return inner;
        }
        if (at_literal(t_, pos_, /*parameters=*/true)) {
            Node n{Op::Literal, {}, {}, -1, {}, {}};
            read_literal_here(n);
            return n;
        }
        if (function_call("size")) {
            // size(...): the length of a list or a str.
            enter(start);
            Node n{Op::Size, {}, {}, -1, {}, {}};
            n.args.push_back(parse_or());
            skip_space();
            if (!at(')')) fail(pos_, SyntaxCode::ExpectedClosingParenthesis);
            ++pos_;
            --depth_;
            return n;
        }
        if (!more() || !(is_name_start(t_[pos_]) || t_[pos_] == '`')) unexpected();
        // Operator words are no bare variable names (quote them: `in`).
        for (std::string_view word :
             {"and", "or", "xor", "not", "is", "in", "starts", "ends", "contains", "with"}) {
            if (word_at(t_, pos_, word)) unexpected();
        }
        Node n{Op::Variable, {}, {}, column_(read_name()), {}, {}};
        if (std::find(columns_.begin(), columns_.end(), n.column) == columns_.end()) {
            columns_.push_back(n.column);
        }
        if (symbol(U".")) {
            if (!more() || !(is_name_start(t_[pos_]) || t_[pos_] == '`')) {
                fail(pos_, SyntaxCode::ExpectedPropertyKey);
            }
            n.op = Op::Property;
            n.key = interned(read_name());
        } else if (symbol(U":")) {
            n.op = Op::TypeTest;
            n.text = read_type();
            n.schema.emplace(n.text);
        }
        return n;
    }

    // The function name `word` (any letter case) followed by '(', which are
    // consumed; a name without '(' stays a variable name.
    bool function_call(std::string_view word) {
        if (!word_at(t_, pos_, word)) return false;
        size_t after = pos_ + word.size();
        while (after < t_.size() && is_white_space(t_[after])) ++after;
        if (after >= t_.size() || t_[after] != '(') return false;
        pos_ = after + 1;
        return true;
    }

    // The literal's value, or its slot when it names a parameter.
    void read_literal_here(Node& n) {
        SyntaxError error{Grammar::Condition};
        Literal literal;
        if (!read_literal(t_, pos_, literal, error, depth_, /*parameters=*/true)) {
            fail(pos_, error.code, std::move(error.text));
        }
        if (!names_parameters(literal)) {
            n.object = literal_to_object(literal);
            return;
        }
        n.column = static_cast<int>(written_.size());
        written_.push_back(std::move(literal));
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
            if (!more()) fail(start, SyntaxCode::UnterminatedName);
            char32_t c = t_[pos_++];
            if (c == '`' && !symbol(U"`")) break;
            name += c;
        }
        if (name.empty()) fail(start, SyntaxCode::EmptyName);
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
            if (end == std::u32string::npos) fail(start, SyntaxCode::UnterminatedDollar);
            pos_ = end + 1;
            return encode_utf8(t.substr(start, pos_ - start));
        } else if (symbol(U"(")) {
            skip_group(start);
            text = trimmed(t.substr(start + 1, pos_ - start - 2));
        } else {
            skip_bare_name();
            if (pos_ == start) fail(start, SyntaxCode::ExpectedType);
            text = t.substr(start, pos_ - start);
        }
        if (arrow_follows()) {
            // A function type written out: the text runs on, whole.
            skip_arrow_type(start);
            text = trimmed(t.substr(start, pos_ - start));
        }
        std::string s = encode_utf8(text);
        return s.find('$') == std::string::npos ? "$" + s + "$" : s;
    }

    static std::u32string_view trimmed(std::u32string_view text) {
        while (!text.empty() && is_white_space(text.front())) text.remove_prefix(1);
        while (!text.empty() && is_white_space(text.back())) text.remove_suffix(1);
        return text;
    }

    static bool type_char(char32_t c) {
        return is_name_char(c) || (c > 0x7F && !is_white_space(c));
    }
    void skip_bare_name() {
        while (more() && type_char(t_[pos_])) ++pos_;
    }
    // Past the ')' matching the '(' just read.
    void skip_group(size_t start) {
        int open = 1;
        for (; more() && open > 0; ++pos_) open += t_[pos_] == '(' ? 1 : t_[pos_] == ')' ? -1 : 0;
        if (open > 0) fail(start, SyntaxCode::UnclosedTypeGroup);
    }
    bool arrow_follows() const {
        size_t i = pos_;
        while (i < t_.size() && is_white_space(t_[i])) ++i;
        return i + 1 < t_.size() && t_[i] == '-' && t_[i + 1] == '>';
    }
    // Up to the next AND, OR or XOR outside parentheses, the ')' closing an
    // outer group, or the end; white space before that is not part of it.
    void skip_arrow_type(size_t start) {
        long open = 0;
        for (; more(); ++pos_) {
            char32_t c = t_[pos_];
            if (c == '(') {
                ++open;
            } else if (c == ')') {
                if (open == 0) break;
                --open;
            } else if (open == 0 && (pos_ == start || !is_name_char(t_[pos_ - 1])) &&
                       (word_at(t_, pos_, "and") || word_at(t_, pos_, "or") ||
                        word_at(t_, pos_, "xor"))) {
                break;
            }
        }
        while (pos_ > start && is_white_space(t_[pos_ - 1])) --pos_;
    }
};

// An operand's value: a Python object (None for null) or a bound node or
// edge.  `literal` marks an object the condition owns.
struct Value {
    Ref obj;
    const Cell* bound = nullptr;
    bool literal = false;
};

// A literal list, before Python code of another object sees it.
Ref exposed(PyObject* literal) { return fresh_copy(literal); }

class Evaluator {
public:
    // A `pure` evaluation runs no Python code of values and raises no error
    // of its own: where it would, it throws WouldRunPython instead.
    Evaluator(const RowView& row, const std::vector<Ref>& values, bool pure = false)
        : row_(row), values_(values), pure_(pure) {}

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
                if (Ref a, b; property_and_literal(n, a, b)) return compare(n.op, a.get(), b.get());
                return equal(value(n.args[0]), value(n.args[1]));
            case Op::Ne:
                if (Ref a, b; property_and_literal(n, a, b)) return compare(n.op, a.get(), b.get());
                return tri_not(equal(value(n.args[0]), value(n.args[1])));
            case Op::Lt:
            case Op::Le:
            case Op::Gt:
            case Op::Ge: {
                if (Ref x, y; property_and_literal(n, x, y)) return compare(n.op, x.get(), y.get());
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
            case Op::In:
                return member(value(n.args[0]), written(n, n.object).get());
            case Op::StartsWith:
            case Op::EndsWith:
            case Op::Contains:
                return text_test(n.op, value(n.args[0]), value(n.args[1]));
            case Op::Literal:
            case Op::Variable:
            case Op::Property:
            case Op::TypeTest:
            case Op::Size:
                break;
        }
        return truth(value(n));
    }

private:
    const RowView& row_;
    const std::vector<Ref>& values_;
    bool pure_;

    // A literal's value: made for this run when it names parameters.
    const Ref& written(const Node& n, const Ref& ready) const {
        return n.column >= 0 ? values_[static_cast<size_t>(n.column)] : ready;
    }

    Value value(const Node& n) {
        switch (n.op) {
            case Op::Literal: {
                const Ref& v = written(n, n.object);
                return Value{v ? v : Ref::borrow(Py_None), nullptr, true};
            }
            case Op::Size:
                return size_of(value(n.args[0]));
            case Op::Variable:
            case Op::Property:
            case Op::TypeTest:
                break;
            default: {
                Tri t = test(n);
                return Value{t == Tri::Null ? Ref::borrow(Py_None) : to_bool(t == Tri::True)};
            }
        }
        const Cell* v = row_.at(n.column);
        if (!v) return Value{Ref::borrow(Py_None)};
        if (n.op == Op::Variable) return Value{Ref(), v};
        if (n.op == Op::TypeTest) {
            // A list of edges has no one type: the test is null.
            if (v->is_edge_list()) return Value{Ref::borrow(Py_None)};
            return Value{to_bool(n.schema->test(v->type(), nullptr))};
        }
        // The cell keeps the dictionary alive while the lookup may run Python
        // code (key comparisons): nothing changes the table during a where.
        // A table emptied by the collector has no properties.
        PyObject* props = v->properties();
        if (!props || !n.key) return Value{Ref::borrow(Py_None)};
        PyObject* item = PyDict_GetItemWithError(props, n.key.get());
        if (!item && PyErr_Occurred()) throw_pending();
        return Value{Ref::borrow(item ? item : Py_None)};
    }

    // The commonest comparison, a property with a literal that is no list:
    // both read straight, in the order written, without building values.
    bool property_and_literal(const Node& n, Ref& a, Ref& b) {
        const Node& x = n.args[0];
        const Node& y = n.args[1];
        bool forward = x.op == Op::Property && y.op == Op::Literal;
        if (!forward && !(x.op == Op::Literal && y.op == Op::Property)) return false;
        const Node& literal = forward ? y : x;
        const Ref& lit = written(literal, literal.object);
        if (!lit || PyList_Check(lit.get())) return false;
        Ref item = property(forward ? x : y);
        a = forward ? std::move(item) : lit;
        b = forward ? lit : std::move(item);
        return true;
    }
    // A property's value (None when missing), held.
    Ref property(const Node& n) {
        const Cell* v = row_.at(n.column);
        PyObject* props = v ? v->properties() : nullptr;
        if (!props || !n.key) return Ref::borrow(Py_None);
        PyObject* item = PyDict_GetItemWithError(props, n.key.get());
        if (!item && PyErr_Occurred()) throw_pending();
        return Ref::borrow(item ? item : Py_None);
    }
    Tri compare(Op op, PyObject* a, PyObject* b) {
        switch (op) {
            case Op::Eq:
                return values_equal(a, b, pure_);
            case Op::Ne:
                return tri_not(values_equal(a, b, pure_));
            case Op::Lt:
                return values_compare(a, b, CompareOp::Lt);
            case Op::Le:
                return values_compare(a, b, CompareOp::Le);
            case Op::Gt:
                return values_compare(a, b, CompareOp::Gt);
            default:
                return values_compare(a, b, CompareOp::Ge);
        }
    }

    // Python's own == runs only for objects of other kinds: a literal list
    // it would see is a fresh copy.
    Tri objects_equal(PyObject* a, bool a_literal, PyObject* b, bool b_literal) {
        if (pure_) return values_equal(a, b, true);
        if (a_literal && PyList_Check(a) && may_run_python(b)) {
            return values_equal(exposed(a).get(), b);
        }
        if (b_literal && PyList_Check(b) && may_run_python(a)) {
            return values_equal(a, exposed(b).get());
        }
        return values_equal(a, b);
    }

    Tri equal(const Value& a, const Value& b) {
        if (!a.bound && !b.bound)
            return objects_equal(a.obj.get(), a.literal, b.obj.get(), b.literal);
        if (!a.bound || !b.bound) return Tri::Null;
        return tri(a.bound->same_identity(*b.bound));
    }

    // A value that is no list (a parameter's, or none after the collector
    // emptied the condition) gives null.
    Tri member(const Value& v, PyObject* list) {
        if (!list || !PyList_Check(list)) return Tri::Null;
        if (v.bound) return PyList_GET_SIZE(list) ? Tri::Null : Tri::False;
        bool saw_null = false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
            Tri t = objects_equal(v.obj.get(), v.literal, item.get(), true);
            if (t == Tri::True) return Tri::True;
            saw_null = saw_null || t == Tri::Null;
        }
        return saw_null ? Tri::Null : Tri::False;
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

    // The number of edges of a bound list, or of elements of a list, or of
    // code points of a str; null for anything else.
    static Value size_of(const Value& v) {
        Py_ssize_t n = -1;
        if (v.bound) {
            if (v.bound->is_edge_list()) n = static_cast<Py_ssize_t>(v.bound->list_size());
        } else if (PyUnicode_Check(v.obj.get())) {
            n = PyUnicode_GET_LENGTH(v.obj.get());
        } else if (PyList_Check(v.obj.get())) {
            n = PyList_GET_SIZE(v.obj.get());
        }
        if (n < 0) return Value{Ref::borrow(Py_None)};
        return Value{Ref::steal(PyLong_FromSsize_t(n))};
    }

    Tri truth(const Value& v) {
        if (pure_ && (v.bound || (v.obj.get() != Py_None && !PyBool_Check(v.obj.get())))) {
            throw WouldRunPython{};  // the error is raised where the row is tested in full
        }
        if (v.bound) {
            const char* kind = v.bound->is_node() ? "Node" : v.bound->is_edge() ? "Edge" : "list";
            throw ModelError::type_mismatch("boolean", kind, "where");
        }
        PyObject* o = v.obj.get();
        if (o == Py_None) return Tri::Null;
        if (PyBool_Check(o)) return tri(o == Py_True);
        throw ModelError::type_mismatch("boolean", Py_TYPE(o)->tp_name, "where");
    }
};

}  // namespace

Condition::Condition(std::unique_ptr<ConditionTree> tree) : tree_(std::move(tree)) {}
Condition::Condition(Condition&&) noexcept = default;
Condition& Condition::operator=(Condition&&) noexcept = default;
Condition::~Condition() = default;

Condition Condition::parse(std::string_view utf8,
                           const std::function<int(std::string_view)>& column) {
    auto tree = std::make_unique<ConditionTree>();
    tree->root = Parser(utf8, column).run(tree->columns, tree->written);
    return Condition(std::move(tree));
}

const std::vector<int>& Condition::columns() const noexcept { return tree_->columns; }

std::vector<Ref> Condition::values(PyObject* parameters) const {
    std::vector<Ref> out;
    out.reserve(tree_->written.size());
    for (const Literal& literal : tree_->written) {
        out.push_back(literal_value(literal, parameters, "where"));
    }
    return out;
}

bool Condition::holds(const RowView& row, const std::vector<Ref>& values) const {
    return Evaluator(row, values).test(tree_->root) == Tri::True;
}

std::optional<bool> Condition::decide(const RowView& row, const std::vector<Ref>& values) const {
    try {
        return Evaluator(row, values, true).test(tree_->root) == Tri::True;
    } catch (const WouldRunPython&) {
        return std::nullopt;
    }
}

int Condition::traverse(visitproc visit, void* arg) const noexcept {
    return tree_->root.traverse(visit, arg);
}

void Condition::clear() noexcept { tree_->root.clear(); }

}  // namespace veldrin
