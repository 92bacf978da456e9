"""The schema test against a reference: the rules of the schema language as
they were first implemented, reading the schema text afresh at every level.
The module reads a schema once into a tree; both must give the same answer
and the same captures, in the same order, for every text and type."""

import os
import re
import sys

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

from veldrin import Application, TypeSchema, Variable  # noqa: E402

EXAMPLES = settings.default.max_examples if os.environ.get("HYPOTHESIS_PROFILE") else 300
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + \
    "\u2028\u2029\u202f\u205f\u3000"
MAX_NESTING = 1000


def reference(schema, t, captures):
    s = schema.strip(WHITE_SPACE)
    if len(s) >= 2 and s[0] == s[-1] == "$":
        return _test(s[1:-1], True, t, captures, 0)
    return s != "$" and _test(s, False, t, captures, 0)


def _outer_parentheses_match(s):
    depth = 0
    for i, c in enumerate(s if len(s) >= 2 and s[0] == "(" and s[-1] == ")" else ""):
        depth += (c == "(") - (c == ")")
        if c == ")" and depth == 0:
            return i == len(s) - 1
    return False


def _top_level(s, token):
    depth = 0
    for i, c in enumerate(s):
        if c in "()":
            depth += 1 if c == "(" else -1
        elif depth == 0 and s.startswith(token, i):
            return i
    return -1


def _name_is(t, name):
    return isinstance(t, Variable) and t.name == name


def _test(body, wrapped, t, captures, nesting):
    if nesting > MAX_NESTING:
        return False
    sub = lambda text, typ: _test(text.strip(WHITE_SPACE), True, typ, captures, nesting + 1)  # noqa: E731
    if wrapped:
        if body == "*":
            return True
        arrow = "->" in body
        if not arrow and ":" not in body and "(" not in body:
            return _name_is(t, body)
        if _outer_parentheses_match(body):
            group = body[1:-1]
            colon = _top_level(group, ":")
            if colon < 0:
                return sub(group, t)
            if not sub(group[colon + 1:], t):
                return False
            captures[group[:colon].strip(WHITE_SPACE)] = t
            return True
        if not arrow:
            return _name_is(t, "$" + body + "$")
    elif "->" not in body:
        return _name_is(t, body)
    rest = body[1:-1] if _outer_parentheses_match(body) else body
    arrow = _top_level(rest, "->")
    if arrow < 0 or not isinstance(t, Application):
        return False
    return sub(rest[:arrow], t.left) and sub(rest[arrow + 2:], t.right)


def agree(text, t):
    captures = {}
    expected = reference(text, t, captures)
    s = TypeSchema(text)
    assert s.matches(t) is expected
    assert list(s.capture(t).items()) == (list(captures.items()) if expected else [])
    assert s.pattern == text
    return expected


NAMES = ["A", "B", "x"] * 4 + ["*", "$", "", "A:B", "(A", "$A$", " A", "A->B"]


def types_over(names):
    return st.recursive(st.sampled_from(names).map(Variable),
                        lambda inner: st.tuples(inner, inner).map(lambda p: Application(*p)), max_leaves=8)


@st.composite
def type_for(draw, text):
    """A type the schema accepts, or nearly: the reading of each piece is followed, with now and then a
    sloppy step (a deeper arrow, a trim too many, dollars dropped), so near misses are tried as well."""
    rate = draw(st.sampled_from([0, 0, 3]))
    sloppy = lambda: rate > 0 and draw(st.integers(0, rate)) == 0  # noqa: E731

    def piece(body, wrapped, depth):
        if depth > 20:
            return Variable(body)
        if wrapped:
            if body == "*":
                return draw(types_over(NAMES))
            if "->" not in body and ":" not in body and "(" not in body:
                return Variable(body.strip(WHITE_SPACE) if sloppy() else body)
            if _outer_parentheses_match(body):
                group = body[1:-1]
                return piece(group[_top_level(group, ":") + 1:].strip(WHITE_SPACE), True, depth + 1)
            if "->" not in body:
                return Variable(body if sloppy() else "$" + body + "$")
        elif "->" not in body:
            return Variable(body)
        rest = body[1:-1] if _outer_parentheses_match(body) else body
        arrow = _top_level(rest, "->")
        if arrow < 0 or sloppy():
            arrow = draw(st.sampled_from([m.start() for m in re.finditer("->", rest)] or [-1]))
        if arrow < 0:
            return Variable(rest)
        return Application(*(piece(side.strip(WHITE_SPACE), True, depth + 1)
                             for side in (rest[:arrow], rest[arrow + 2:])))

    s = text.strip(WHITE_SPACE)
    if len(s) >= 2 and s[0] == s[-1] == "$":
        return piece(s[1:-1].strip(WHITE_SPACE) if sloppy() else s[1:-1], True, 0)
    return piece(s, False, 0)


space = st.sampled_from(["", "", "", " ", " ", "  ", "\t", "\u3000", "\x85"])
capture_names = st.sampled_from(["x", "y", "x", "y", " x ", "", "a b", "x:y"])
TOKENS = ["(", ")", "->", "-", ">", ":", "$", "*", "A", "B", "x", " ", "\u3000", "\u200b", "$(", ")$", "(x:"]
noise = st.lists(st.sampled_from(TOKENS + ["$*$", "(x:*)", "A -> B"]), max_size=16).map("".join)


@st.composite
def schema_for(draw, t, budget=6):
    """Schema text written to accept `t`: wildcards, names, arrows, groups and captures."""
    how = draw(st.sampled_from([0, 1, 2, 3, 3, 4, 4, 4] if budget > 0 else [0, 1]))
    if how == 0:
        return "*"
    if how == 1:
        return t.name if isinstance(t, Variable) else "*"
    if how == 2:
        return "(" + draw(space) + draw(schema_for(t, budget - 1)) + draw(space) + ")"
    if how == 3:
        return f"({draw(capture_names)}:{draw(space)}{draw(schema_for(t, budget - 1))})"
    if not isinstance(t, Application):
        return "*"
    left = draw(schema_for(t.left, budget - 1))
    if draw(st.booleans()) or isinstance(t.left, Application):
        left = "(" + left + ")"
    return left + draw(space) + "->" + draw(space) + draw(schema_for(t.right, budget - 1))


@st.composite
def schema_and_type(draw):
    """A schema written for a type, perhaps spoilt by malformed pieces, and that type or another one."""
    t = draw(types_over(NAMES))
    text = draw(schema_for(t)) if draw(st.integers(0, 3)) else draw(noise)
    for _ in range(draw(st.sampled_from([0, 0, 0, 1, 2]))):
        at = draw(st.integers(0, len(text)))
        text = text[:at] + draw(st.sampled_from(TOKENS)) + text[at + draw(st.integers(0, 2)):]
    if draw(st.integers(0, 3)):
        text = "$" + draw(space) + text + draw(space) + "$"
    text = draw(space) + text + draw(space)
    return text, draw(st.sampled_from([st.just(t), types_over(NAMES), type_for(text), type_for(text)]).flatmap(lambda x: x))


@settings(max_examples=EXAMPLES, deadline=None)
@given(schema_and_type())
def test_schema_test_agrees_with_the_reference(case):
    agree(*case)


def chain(depth, left=False):
    t = Variable("A")
    for _ in range(depth):
        t = Application(t, Variable("A")) if left else Application(Variable("A"), t)
    return t


@pytest.mark.parametrize("shape", [  # k is about the nesting the schema needs
    lambda k: ("$" + "(x:" * k + "*" + ")" * k + "$", Variable("A")),
    lambda k: ("$" + "(" * k + "A" + ")" * k + "$", Variable("A")),
    lambda k: ("A -> " * k + "A", chain(k)),
    lambda k: ("$" + "A -> " * k + "(y:*)$", chain(k)),
    lambda k: ("$" + "(" * (k // 2) + "*" + " -> A)" * (k // 2) + " -> A$", chain(k // 2 + 1, left=True)),
    lambda k: ("$" + "(x:A -> " * (k // 2) + "*" + ")" * (k // 2) + "$", chain(k // 2)),
])
def test_nesting_bound_agrees_with_the_reference(shape):
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 10 * MAX_NESTING))
    try:
        answers = [agree(*shape(k)) for k in range(MAX_NESTING - 2, MAX_NESTING + 3)]
    finally:
        sys.setrecursionlimit(limit)
    assert answers == sorted(answers, reverse=True) and True in answers and False in answers
