import os
import re

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

from veldrin import Application, EdgePattern, Graph, Node, NodePattern, PathPattern, TypeSchema, Variable  # noqa: E402

# 300 examples by default; a loaded profile (HYPOTHESIS_PROFILE) sets its own count.
EXAMPLES = settings.default.max_examples if os.environ.get("HYPOTHESIS_PROFILE") else 300

SYNTAX = list("()[]{}$:-<>*, '\"\\") + list("abnAB") + ["->", "\t", "\n", "\u3000", "é", "\u0301"]
syntax_text = st.lists(st.sampled_from(SYNTAX), max_size=40).map("".join)
any_text = st.one_of(st.text(), syntax_text)
names = st.sampled_from(["A", "B", "C", "Person"])
types = st.recursive(names.map(Variable), lambda inner: st.tuples(inner, inner).map(lambda p: Application(*p)),
                     max_leaves=12)
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2005\u200a\u2028\u2029\u202f\u205f\u3000"


@settings(max_examples=EXAMPLES, deadline=None)
@given(any_text, types)
def test_schema_test_always_answers(text, t):
    s = TypeSchema(text)
    matched, captured = s.matches(t), s.capture(t)
    assert matched is True or matched is False
    assert type(captured) is dict and (matched or captured == {})
    assert all(type(k) is str and type(v) in (Variable, Application) for k, v in captured.items())
    assert s.pattern == text


@settings(max_examples=EXAMPLES, deadline=None)
@given(any_text, types, st.text(alphabet=WHITE_SPACE), st.text(alphabet=WHITE_SPACE))
def test_surrounding_white_space_never_matters(text, t, before, after):
    assert TypeSchema(before + text + after).matches(t) is TypeSchema(text).matches(t)
    assert TypeSchema(before + text + after).capture(t) == TypeSchema(text).capture(t)


@settings(max_examples=EXAMPLES, deadline=None)
@given(types, types)
def test_text_form_as_schema_matches_exactly_that_type(t, other):
    # the fully parenthesised text of a type is a schema for that type alone
    assert TypeSchema("$*$").matches(t)
    assert TypeSchema(f"${t}$").matches(other) is (t == other)
    assert TypeSchema(str(t)).matches(other) is (t == other)
    assert TypeSchema(f"$(x:{t})$").capture(other) == ({"x": t} if t == other else {})


@settings(max_examples=EXAMPLES, deadline=None)
@given(any_text)
def test_parser_returns_a_path_or_raises_value_error(text):
    try:
        p = PathPattern.parse(text)
    except ValueError as e:
        assert type(e) is ValueError and re.fullmatch(r"Invalid pattern '.*': .+", str(e), re.S)
        return
    assert type(p) is PathPattern and 1 <= len(p.nodes) and len(p.edges) < len(p.nodes)
    assert all(e.direction in ("forward", "backward", "any") for e in p.edges)
    assert repr(p) == f"PathPattern({len(p.nodes)} nodes, {len(p.edges)} edges)"


def unquote(text):
    escapes = {"\\": "\\", '"': '"', "t": "\t", "r": "\r", "n": "\n", "0": "\0"}
    return re.sub(r'\\(u\{([0-9a-f]+)\}|.)', lambda m: chr(int(m[2], 16)) if m[2] else escapes[m[1]], text)


@settings(max_examples=EXAMPLES, deadline=None)
@given(st.text())
def test_variable_quoting_round_trips(variable):
    shown = repr(NodePattern(variable))
    assert shown.startswith('NodePattern(variable=Some("') and shown.endswith('"))')
    body = shown[len('NodePattern(variable=Some("'):-3]
    assert unquote(body) == variable and not re.search(r'(?<!\\)(\\\\)*"', body)
    assert all(c.isprintable() for c in body) and "\\u{0}" not in body
    assert repr(EdgePattern(variable, direction="x")) == f"EdgePattern(variable=Some(\"{body}\"), direction=x)"


class Seen(str):
    """A node value that logs its key when compared, or (identity-hashed) a key of its own."""
    __hash__ = object.__hash__

    def __new__(cls, key, log=None, value=None):
        self = super().__new__(cls, key)
        self.log, self.value = log, value
        return self

    def __eq__(self, other):
        if self.log is None:
            return self is other
        self.log.append(str(self))
        return other == self.value


@settings(max_examples=EXAMPLES, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["a", "b", "c", "é"]), st.integers(0, 2)), max_size=12), st.booleans())
def test_property_map_keys_keep_their_first_place_and_last_value(pairs, as_text):
    # a repeated key (in a pattern string, or two distinct str keys with one text) is one key
    expected, log = dict(pairs), []
    g = Graph()
    g.nodes["n"] = Node(Variable("A"), {k: Seen(k, log, v) for k, v in expected.items()})
    if as_text:
        q = g.query().match("(n {" + ", ".join(f"{k if k.isascii() else repr(k)}: {v}" for k, v in pairs) + "})")
    else:
        q = g.query().match(node="n", properties={Seen(k): v for k, v in pairs})
    assert q.return_count() == 1 and log == list(expected)
