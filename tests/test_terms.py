import hashlib
import operator

import pytest
from veldrin import Application, Term, Variable

A, B, C = Variable("A"), Variable("B"), Variable("C")
AB, BC = Application(A, B), Application(B, C)
F, X = Term("f", AB), Term("x", A)


def test_application():
    f, x = Term("f", AB), Term("x", A)
    r = f(x)
    assert r.name == "(f x)" and r.type == B and type(r.type) is Variable
    assert str(r) == "(f x):B" and repr(r) == 'Term("(f x)", B)'
    assert f(other=x) == r and f(x) is not r and f(x).type is not f(x).type and hash(f(x)) == hash(r)
    assert (f.name, str(f.type), x.name, str(x.type)) == ("f", "(A -> B)", "x", "A")
    assert Term("h", Application(A, BC))(Term("a", A))(Term("b", B)) == Term("((h a) b)", C)
    assert Term("g", BC)(f(x)) == Term("(g (f x))", C)
    f.name, x.name = "g", "y"
    assert f(x).name == "(g y)"


@pytest.mark.parametrize("fn, arg, name, type_text", [
    (Term("h", Application(A, BC)), Term("a", A), "(h a)", "(B -> C)"),
    (Term("g", Application(AB, C)), F, "(g f)", "C"),
    (Term("k", Application(AB, AB)), Term("f", Application(Variable("A"), Variable("B"))), "(k f)", "(A -> B)"),
    (Term("", Application(Variable(""), A)), Term("", Variable("")), "( )", "A"),
    (Term('q"', AB), Term("x\x00y", Variable("A")), '(q" x\x00y)', "B"),
])
def test_application_names_and_types(fn, arg, name, type_text):
    r = fn(arg)
    assert r.name == name and str(r.type) == type_text
    assert str(r) == f"{name}:{type_text}" and repr(r) == f'Term("{name}", {type_text})'


@pytest.mark.parametrize("fn, arg, message", [
    (F, F, "Type mismatch: expected A, got (A -> B) (in function application)"),
    (X, X, "Type mismatch: expected application type (A -> B), got A (in term application)"),
    (F, Term("y", B), "Type mismatch: expected A, got B (in function application)"),
    (Term("g", Application(AB, C)), X, "Type mismatch: expected (A -> B), got A (in function application)"),
    (Term("g", Application(AB, C)), Term("f", Application(B, A)),
     "Type mismatch: expected (A -> B), got (B -> A) (in function application)"),
    (Term("c", Variable("A -> B")), X,
     "Type mismatch: expected application type (A -> B), got A -> B (in term application)"),
    (Term("p", Variable("Person")), F,
     "Type mismatch: expected application type (A -> B), got Person (in term application)"),
    (Term("f", Application(Variable("a"), B)), X, "Type mismatch: expected a, got A (in function application)"),
    # The argument's class is checked before any type.
    (X, 3, "argument 'other': 'int' object cannot be cast as 'Term'"),
    (F, A, "argument 'other': 'Variable' object cannot be cast as 'Term'"),
])
def test_application_errors(fn, arg, message):
    with pytest.raises(TypeError) as info:
        fn(arg)
    assert type(info.value) is TypeError and info.value.args == (message,)
    assert info.value.__cause__ is None


@pytest.mark.parametrize("x, y, equal", [
    (Term("t", A), Term("t", Variable("A")), True),
    (Term("t", A), Term("u", A), False),
    (Term("t", A), Term("t", B), False),
    (Term("t", AB), Term("t", Application(Variable("A"), Variable("B"))), True),
    (Term("t", AB), Term("t", Application(B, A)), False),
    (Term("(f x)", B), F(X), True),
    (Term("t\x00", A), Term("t", A), False),
    (Term("t", A), A, False), (Term("A", A), A, False), (Term("t", A), "t:A", False),
])
def test_equality(x, y, equal):
    assert (x == y) is equal and (y == x) is equal
    assert (x != y) is (not equal) and (y != x) is (not equal)
    if equal:
        assert hash(x) == hash(y) and x.uid() == y.uid()


def test_comparison_protocol():
    t = Term("t", A)
    assert t.__eq__(A) is NotImplemented and t.__lt__(t) is NotImplemented
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError):
            op(t, Term("u", A))
    assert len({Term("t", A), Term("t", Variable("A")), Term("u", A)}) == 2


@pytest.mark.parametrize("term", [F, Term("", A), Term("Ωμέγα\x00😀", Application(AB, C)),
                                  Term("t", Variable("")), Term(":", Variable(":"))])
def test_uid_and_text(term):
    expected = b"term:" + term.name.encode() + b":" + term.type.uid().encode()
    assert term.uid() == hashlib.sha256(expected).hexdigest()
    assert str(term) == term.name + ":" + str(term.type)
    assert repr(term) == f'Term("{term.name}", {term.type})'


def test_text_of_nested_function_type():
    assert str(Term("f", Application(AB, C))) == "f:((A -> B) -> C)"
    assert repr(Term("f", Application(AB, C))) == 'Term("f", ((A -> B) -> C))'


def test_name_setter_deleter_and_type_copy():
    a = Variable("A")
    t = Term("t", a)
    a.name = "Z"
    ty = t.type
    ty.name = "Q"
    assert t.type == A
    uid, h = t.uid(), hash(t)
    t.name = "u"
    assert t.name == "u" and t == Term("u", A) and t.uid() == Term("u", A).uid() != uid
    assert hash(t) == hash(Term("u", A)) != h and t.type == A
    with pytest.raises(AttributeError) as info:
        del t.name
    assert info.value.args == ("can't delete attribute",) and t.name == "u"


def test_hash_matches_siphash13(siphash):
    terms = [F, Term("", A), Term("x", Application(AB, BC)), Term("a\x00b", Variable("日本")), F(X)]
    assert siphash(*terms) == [hash(t) for t in terms]
