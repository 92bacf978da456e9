import pytest
from veldrin import Application, TypeSchema, Variable

A, B, C, P = Variable("A"), Variable("B"), Variable("C"), Variable("Person")
AB = Application(A, B)
AB_C = Application(AB, C)
A_BC = Application(A, Application(B, C))
TYPES = [A, B, C, P, AB, AB_C, A_BC, Variable(""), Variable("*"), Variable("$")]


def check(schema, t, expected, captures=None):
    s = TypeSchema(schema)
    assert s.matches(t) is expected
    got = s.capture(t)
    assert type(got) is dict and got == ((captures or {}) if expected else {})
    for value in got.values():
        assert type(value) in (Variable, Application)


@pytest.mark.parametrize("schema, t, expected, captures", [
    # the worked examples
    ("$*$", A, True, None), ("$*$", AB_C, True, None), ("$*$", Variable(""), True, None),
    ("$Person$", P, True, None), ("$Person$", Application(P, P), False, None),
    ("$A -> B$", AB, True, None), ("A->B", AB, True, None),
    ("$A -> B -> C$", A_BC, True, None), ("$A -> B -> C$", AB_C, False, None),
    ("$* -> *$", AB_C, True, None), ("$* -> *$", A_BC, True, None), ("$* -> *$", A, False, None),
    ("$(x:*)$", A, True, {"x": A}), ("$(f:* -> B)$", AB, True, {"f": AB}),
    ("$(x:*) -> B$", AB, True, {"x": A}), ("$A -> (y:*)$", AB, True, {"y": B}),
    ("$(x:A -> (x:*))$", AB, True, {"x": AB}),
    # edge cases that keep their answer
    ("  $*$  ", AB, True, None), ("\t$*$\n", P, True, None),
    ("*", Variable("*"), True, None), ("*", A, False, None),
    ("$ Person $", P, False, None), ("$ Person $", Variable(" Person "), True, None),
    ("$(x:Person)$", Variable("Other"), False, None), ("$(x:Person)$", P, True, {"x": P}),
    ("$A -> B$", A, False, None), ("$A$", AB, False, None), ("Person", P, True, None),
    ("", Variable(""), True, None), ("", A, False, None), ("   ", Variable(""), True, None),
    ("$(x:*) -> $(y:*)$", AB, False, None), ("$(x:*) -> B$", Application(A, C), False, None),
    ("$$$", Variable("$"), True, None), ("$A:B$", Variable("$A:B$"), True, None),
    ("$(A$", Variable("$(A$"), True, None), ("$(A))$", Variable("$(A))$"), True, None),
    # groups only group when their parentheses match each other
    ("$(A -> B) -> C$", AB_C, True, None), ("$(A -> B) -> C$", A_BC, False, None),
    ("$(A)$", A, True, None), ("$( A )$", A, True, None), ("$(A)$", B, False, None),
    ("$(A -> B)$", AB, True, None), ("$((A -> B)) -> C$", AB_C, True, None),
    ("$(x:*) -> (y:*)$", AB, True, {"x": A, "y": B}), ("$(x:*) -> (y:*)$", A, False, None),
    ("(A) -> (B)", AB, True, None), ("$(A) -> (B)$", AB, True, None),
    ("$(f:(A -> B)) -> (r:C)$", AB_C, True, {"f": AB, "r": C}),
    ("$(x:(y:*))$", A, True, {"x": A, "y": A}), ("$((x:A))$", A, True, {"x": A}),
    ("$(x:(A -> B) -> *)$", AB_C, True, {"x": AB_C}), ("$(x Person)$", Variable("x Person"), True, None),
    ("$(x Person)$", P, False, None), ("$A -> (B -> C)$", A_BC, True, None),
    # trimming takes exactly the Unicode White_Space characters
    ("\u2003$*$\u3000", AB, True, None), ("\u00a0\u1680$A$\u2028\u2029", A, True, None),
    ("\x85$A$\u202f\u205f", A, True, None), ("\u2000\u200a$A -> B$\x0b\x0c", AB, True, None),
    ("\u00a0$A$", B, False, None), ("\u200b$A$", A, False, None), ("\u200b$A$", Variable("\u200b$A$"), True, None),
    ("$A$\x1c", A, False, None), ("\x1f$*$", Variable("\x1f$*$"), True, None), ("\u180e$A$", A, False, None),
    ("\ufeff$*$", AB, False, None),
    # a lone dollar matches nothing
    ("$", Variable("$"), False, None), (" $ ", Variable(""), False, None), ("\u3000$\n", A, False, None),
])
def test_schema_test(schema, t, expected, captures):
    check(schema, t, expected, captures)


def test_failed_test_drops_earlier_captures_and_capture_makes_new_objects():
    s = TypeSchema("$(x:*) -> (y:B)$")
    assert s.capture(Application(A, C)) == {} and s.capture(AB) == {"x": A, "y": B}
    first, second = s.capture(AB)["x"], s.capture(AB)["x"]
    assert first == second and first is not second


def chain(depth):
    t = A
    for _ in range(depth):
        t = Application(A, t)
    return t


@pytest.mark.parametrize("schema, t, expected", [
    ("$" + "(" * 500 + "A" + ")" * 500 + "$", A, True),
    ("$" + "(" * 5000 + "A" + ")" * 5000 + "$", A, False),
    ("$" + "(x:" * 500 + "*" + ")" * 500 + "$", A, True),
    ("$" + "(x:" * 5000 + "*" + ")" * 5000 + "$", A, False),
    ("A -> " * 300 + "A", chain(300), True),
    ("A -> " * 3000 + "A", chain(3000), False),
    ("$A -> A -> A -> (x:*)$", chain(9999), True),
    ("$" + "(" * 100000 + "$", A, False), (")" * 100000, A, False), ("->" * 50000, chain(50), False),
    ("(" * 20000 + "->" + ")" * 20000, chain(10), False), ("$" + "(A -> " * 3000 + "A" + ")" * 3000 + "$", A, False),
])
def test_adversarial_depth_gives_an_answer(schema, t, expected):
    s = TypeSchema(schema)
    assert s.matches(t) is expected and type(s.capture(t)) is dict


def test_type_nesting_is_bounded():
    t = chain(10000)
    with pytest.raises(RecursionError):
        Application(A, t)


def test_attributes_text_forms_and_identity():
    s = TypeSchema(" $A -> B$ ")
    assert s.pattern == " $A -> B$ " and repr(s) == 'TypeSchema(" $A -> B$ ")' == str(s)
    assert repr(TypeSchema("$A$")) == str(TypeSchema("$A$")) == 'TypeSchema("$A$")'
    assert repr(TypeSchema('a"b\\')) == 'TypeSchema("a"b\\")'
    assert TypeSchema("$A$") != TypeSchema("$A$") and s == s and hash(s) == hash(s)
    assert TypeSchema(pattern="x").pattern == "x"
    assert TypeSchema.__text_signature__ == "(pattern)"
    assert TypeSchema.matches.__text_signature__ == TypeSchema.capture.__text_signature__ == "($self, type)"
    assert TypeSchema("$*$").matches(type=A) and TypeSchema("$(x:*)$").capture(type=A) == {"x": A}
    with pytest.raises(AttributeError):
        s.pattern = "x"


@pytest.mark.parametrize("call, message", [
    (lambda: TypeSchema(1), "argument 'pattern': 'int' object cannot be cast as 'str'"),
    (lambda: TypeSchema(None), "argument 'pattern': 'NoneType' object cannot be cast as 'str'"),
    (lambda: TypeSchema(pattern=b"$A$"), "argument 'pattern': 'bytes' object cannot be cast as 'str'"),
    (lambda: TypeSchema(), "TypeSchema.__new__() missing 1 required positional argument: 'pattern'"),
    (lambda: TypeSchema("$*$").matches("A"), "Expected Variable or Application"),
    (lambda: TypeSchema("$*$").matches(type=None), "Expected Variable or Application"),
    (lambda: TypeSchema("$*$").capture(TypeSchema("$A$")), "Expected Variable or Application"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message
