import pytest
import veldrin
from veldrin import Application, Term, Variable

A, B = Variable("A"), Variable("B")
F, X = Term("f", Application(A, B)), Term("x", A)


class Widget:
    pass


@pytest.mark.parametrize("call, message", [
    (lambda: Variable(), "Variable.__new__() missing 1 required positional argument: 'name'"),
    (lambda: Application(A), "Application.__new__() missing 1 required positional argument: 'right'"),
    (lambda: Application(right=B), "Application.__new__() missing 1 required positional argument: 'left'"),
    (lambda: Application(), "Application.__new__() missing 2 required positional arguments: 'left' and 'right'"),
    (lambda: Term(), "Term.__new__() missing 2 required positional arguments: 'name' and 'type'"),
    (lambda: Term(type=A), "Term.__new__() missing 1 required positional argument: 'name'"),
    (lambda: F(), "Term.__call__() missing 1 required positional argument: 'other'"),
    (lambda: Variable("A", "B"), "Variable.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: Application(A, B, A), "Application.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: Term("t", A, A, A), "Term.__new__() takes 2 positional arguments but 4 were given"),
    (lambda: F(X, X), "Term.__call__() takes 1 positional arguments but 2 were given"),
    (lambda: Variable("A", name="B"), "Variable.__new__() got multiple values for argument 'name'"),
    (lambda: Application(A, B, left=A), "Application.__new__() got multiple values for argument 'left'"),
    (lambda: Term("t", A, type=A), "Term.__new__() got multiple values for argument 'type'"),
    (lambda: F(X, other=X), "Term.__call__() got multiple values for argument 'other'"),
    (lambda: Variable(nme="A"), "Variable.__new__() got an unexpected keyword argument 'nme'"),
    (lambda: Variable("A", Name="A"), "Variable.__new__() got an unexpected keyword argument 'Name'"),
    (lambda: Application(A, B, middle=A), "Application.__new__() got an unexpected keyword argument 'middle'"),
    (lambda: Term(**{"naïve": 1}), "Term.__new__() got an unexpected keyword argument 'naïve'"),
    (lambda: F(arg=X), "Term.__call__() got an unexpected keyword argument 'arg'"),
    # Conversions of bound values: str and class parameters carry the argument name, types do not.
    (lambda: Variable(3), "argument 'name': 'int' object cannot be cast as 'str'"),
    (lambda: Variable(name=None), "argument 'name': 'NoneType' object cannot be cast as 'str'"),
    (lambda: Variable(b"A"), "argument 'name': 'bytes' object cannot be cast as 'str'"),
    (lambda: Variable(A), "argument 'name': 'Variable' object cannot be cast as 'str'"),
    (lambda: Variable(Widget()), "argument 'name': 'Widget' object cannot be cast as 'str'"),
    (lambda: Term(1.5, A), "argument 'name': 'float' object cannot be cast as 'str'"),
    (lambda: Term(1, 2), "argument 'name': 'int' object cannot be cast as 'str'"),
    (lambda: F(3), "argument 'other': 'int' object cannot be cast as 'Term'"),
    (lambda: F(other=A), "argument 'other': 'Variable' object cannot be cast as 'Term'"),
    (lambda: X(None), "argument 'other': 'NoneType' object cannot be cast as 'Term'"),
    (lambda: Application(1, B), "Expected Variable or Application"),
    (lambda: Application(A, "B"), "Expected Variable or Application"),
    (lambda: Application(left=X, right=B), "Expected Variable or Application"),
    (lambda: Term("t", "A"), "Expected Variable or Application"),
    (lambda: Term(name="t", type=X), "Expected Variable or Application"),
])
def test_binding_and_conversion_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError and info.value.args == (message,)


@pytest.mark.parametrize("cls, args, message", [
    ("Edge", (), "Edge.__new__() missing 3 required positional arguments: 'term', 'start', and 'end'"),
    ("Graph", (1,), "Graph.__new__() takes 0 positional arguments but 1 was given"),
    ("Node", (A, None, 1), "Node.__new__() takes from 1 to 2 positional arguments but 3 were given"),
])
def test_wording_only_reachable_through_other_classes(cls, args, message):
    if not hasattr(veldrin, cls):
        pytest.skip(f"{cls} is not registered yet")
    with pytest.raises(TypeError) as info:
        getattr(veldrin, cls)(*args)
    assert info.value.args == (message,)


@pytest.mark.parametrize("obj", [Variable("A"), Term("t", A)])
def test_name_setter_conversion_errors_keep_old_name(obj):
    before = (obj.name, obj.uid(), hash(obj))
    with pytest.raises(TypeError) as info:
        obj.name = ["x"]
    assert info.value.args == ("argument 'name': 'list' object cannot be cast as 'str'",)
    with pytest.raises(UnicodeEncodeError) as info:
        obj.name = "\ud800"
    assert type(info.value) is UnicodeEncodeError and "argument" not in str(info.value)
    assert (obj.name, obj.uid(), hash(obj)) == before


@pytest.mark.parametrize("call", [lambda: Variable("\ud800"), lambda: Variable(name="a\udfffb"),
                                  lambda: Term("\ud800", A), lambda: Term("\ud800", 3)])
def test_lone_surrogate_raises_unicode_error_unchanged(call):
    with pytest.raises(UnicodeEncodeError) as info:
        call()
    assert type(info.value) is UnicodeEncodeError and "argument" not in str(info.value)


def test_keywords_and_str_subclasses_are_accepted():
    class S(str):
        pass

    assert Application(right=B, left=A) == Application(A, B)
    assert Term(type=A, name="t") == Term("t", A) and F(other=X) == F(X)
    v = Variable(S("Person"))
    assert type(v.name) is str and v.name == "Person"
