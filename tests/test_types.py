import hashlib
import operator
import os
import subprocess
import sys

import pytest
from veldrin import Application, Term, Variable

A, B, C = Variable("A"), Variable("B"), Variable("C")
AB = Application(A, B)
NAMES = ["A", "", "Person", "a b", "(A -> B)", 'say "hi"', "back\\slash", "a\x00b", "\x00", "Ωμέγα",
         "日本語", "😀", "e\u0301", "line\nbreak", "ABCDEFG", "ABCDEFGH", "x" * 1000]


def sha(data):
    return hashlib.sha256(data if isinstance(data, bytes) else data.encode()).hexdigest()


@pytest.mark.parametrize("name", NAMES)
def test_variable_names_kept_byte_for_byte(name):
    v = Variable(name)
    assert v.name == name and str(v) == name and repr(v) == 'Variable("' + name + '")'
    assert v.uid() == sha(b"var:" + name.encode())
    assert v == Variable(name) and hash(v) == hash(Variable(name))


@pytest.mark.parametrize("t, text, rep", [
    (AB, "(A -> B)", "Application(A, B)"),
    (Application(AB, C), "((A -> B) -> C)", "Application((A -> B), C)"),
    (Application(A, Application(B, C)), "(A -> (B -> C))", "Application(A, (B -> C))"),
    (Application(AB, AB), "((A -> B) -> (A -> B))", "Application((A -> B), (A -> B))"),
    (Application(Variable('q"x'), Variable("")), '(q"x -> )', 'Application(q"x, )'),
])
def test_application_text_forms_and_uid(t, text, rep):
    assert str(t) == text and repr(t) == rep
    assert t.uid() == sha(f"app:{t.left.uid()}:{t.right.uid()}")


def test_uid_spelled_out_and_text_lookalike():
    ab = sha(f"app:{sha('var:A')}:{sha('var:B')}")
    assert AB.uid() == ab and Application(AB, C).uid() == sha(f"app:{ab}:{sha('var:C')}")
    lookalike = Variable("(A -> B)")
    assert str(lookalike) == str(AB) and lookalike != AB and lookalike.uid() != AB.uid()


@pytest.mark.parametrize("x, y, equal", [
    (Variable("A"), Variable("A"), True),
    (Variable("A"), Variable("B"), False),
    (Variable("a\x00b"), Variable("a\x00c"), False),
    (Variable("a"), Variable("a\x00"), False),
    (Variable("e\u0301"), Variable("\u00e9"), False),
    (Application(A, B), Application(Variable("A"), Variable("B")), True),
    (Application(A, B), Application(B, A), False),
    (Application(AB, C), Application(Application(Variable("A"), B), Variable("C")), True),
    (Application(AB, C), Application(A, Application(B, C)), False),
    (Application(A, A), Application(A, Variable("A")), True),
    (A, AB, False), (A, "A", False), (A, 3, False), (AB, "(A -> B)", False),
    (A, Term("A", A), False), (AB, None, False),
])
def test_equality(x, y, equal):
    assert (x == y) is equal and (y == x) is equal
    assert (x != y) is (not equal) and (y != x) is (not equal)
    if equal:
        assert hash(x) == hash(y) and x.uid() == y.uid()


class Eq:
    def __init__(self, result):
        self.result = result

    def __eq__(self, other):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize("x", [A, AB])
def test_comparison_protocol(x):
    assert x.__eq__("A") is NotImplemented and x.__eq__(Term("t", A)) is NotImplemented
    assert x.__eq__(x) is True
    assert all(getattr(x, op)(x) is NotImplemented for op in ("__lt__", "__le__", "__gt__", "__ge__"))
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        for other in (x, 1):
            with pytest.raises(TypeError):
                op(x, other)
    # != is the negated truth of == through the full protocol, reflected __eq__ included.
    assert (x != Eq(True)) is False and (x != Eq("yes")) is False and (x != Eq(0)) is True
    with pytest.raises(KeyError, match="boom"):
        x != Eq(KeyError("boom"))
    with pytest.raises(ZeroDivisionError, match="no truth"):
        x != Eq(BadBool())


class Renames:
    """Renames the compared object from its reflected __eq__ or from the result's __bool__."""
    def __init__(self, late):
        self.late = late

    def __eq__(self, other):
        rename = lambda: setattr(other, "name", "Z") or True
        return type("Later", (), {"__bool__": lambda _: rename()})() if self.late else rename()


@pytest.mark.parametrize("late", [False, True])
@pytest.mark.parametrize("make", [lambda: Variable("A"), lambda: Term("A", B)])
def test_not_equal_holds_its_borrow(make, late):
    x = make()
    with pytest.raises(RuntimeError) as info:
        x != Renames(late)
    assert info.value.args == ("Already borrowed",) and x.name == "A"
    assert bool(x == Renames(late)) and x.name == "Z"  # == holds no borrow over the reflection


def test_name_setter_and_deleter():
    v = Variable("A")
    h = hash(v)
    v.name = "Z"
    assert v.name == "Z" and v == Variable("Z") and v != A and v.uid() == sha("var:Z")
    assert hash(v) == hash(Variable("Z")) != h
    with pytest.raises(AttributeError) as info:
        del v.name
    assert info.value.args == ("can't delete attribute",) and v.name == "Z"


def test_components_are_copies():
    a, b = Variable("A"), Variable("B")
    f = Application(a, b)
    a.name = "Z"
    assert str(f) == "(A -> B)" and f.left.name == "A"
    left = f.left
    left.name = "Q"
    assert f.left.name == "A" and str(f) == "(A -> B)"
    assert f.left is not f.left and f.left == f.left
    assert type(f.left) is Variable and type(Application(f, a).left) is Application
    assert Application(f, a).left == f and Application(f, a).left is not f
    table = {Variable("A"): 1, Application(A, B): 2}
    assert table[Variable("A")] == 1 and table[Application(Variable("A"), B)] == 2


def test_hash_does_not_depend_on_hash_seed():
    script = ("import veldrin as v; A, B = v.Variable('A'), v.Variable('Ωμέγα');"
              "print([hash(x) for x in (A, B, v.Application(v.Application(A, B), A), v.Term('f', B))])")
    expected = str([hash(x) for x in (A, Variable("Ωμέγα"), Application(Application(A, Variable("Ωμέγα")), A),
                                      Term("f", Variable("Ωμέγα")))])
    for seed in ("0", "12345"):
        env = dict(os.environ, PYTHONHASHSEED=seed, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
        assert out.stdout.strip() == expected


def test_hashes_match_siphash13(siphash):
    assert siphash(Variable("A")) == [hash(Variable("A"))]  # hash(b"A\xff") under a zero key
    deep = A
    for i in range(40):
        deep = Application(deep, Variable(str(i))) if i % 2 else Application(Variable(str(i)), deep)
    values = [Variable(n) for n in NAMES] + [AB, Application(AB, C), Application(A, Application(B, C)),
                                             Application(AB, AB), Application(Variable(""), Variable("Ωμέγα")), deep]
    assert siphash(*values) == [hash(v) for v in values]


def build_chain(levels, leaf="A", right=False):
    t, other = Variable(leaf), Variable("B")
    for _ in range(levels):
        t = Application(other, t) if right else Application(t, other)
    return t


@pytest.mark.parametrize("right", [False, True])
def test_deep_nesting(right):
    n = 10000
    t = build_chain(n, right=right)
    twin, differs = build_chain(n, right=right), build_chain(n, leaf="Z", right=right)
    expected = "(B -> " * n + "A" + ")" * n if right else "(" * n + "A" + " -> B)" * n
    assert str(t) == expected and str(Term("t", t)) == "t:" + expected
    uid, uid_b = sha("var:A"), sha("var:B")
    for _ in range(n):
        uid = sha(f"app:{uid_b}:{uid}") if right else sha(f"app:{uid}:{uid_b}")
    assert t.uid() == uid
    assert t == twin and t != differs and differs != twin and hash(t) == hash(twin)
    with pytest.raises(RecursionError):
        Application(B, t) if right else Application(t, B)
    assert str(t) == expected
