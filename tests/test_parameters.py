"""Query parameters: Query.bind and $name references in conditions and in the
property maps of pattern strings."""
import math

import pytest
from hypothesis import assume, given, settings, strategies as st
from veldrin import Application, Edge, Graph, Node, Term, Variable

P = Variable("Person")
KNOWS = Term("knows", Application(P, P))


def graph_of(*props):
    """One node N{i} per property dict, and an edge from N0 to N1 when there are two."""
    g = Graph()
    made = []
    for i, p in enumerate(props):
        n = Node(Variable(f"N{i}"), dict(p))
        g.nodes[n.uid()] = n
        made.append(n)
    if len(made) > 1:
        e = Edge(Term("e", Application(made[0].type, made[1].type)), made[0], made[1], {"w": 3})
        g.edges[e.uid()] = e
    return g


def found(rows, var="n"):
    return [str(r[var].type) for r in rows]


def render(x):
    """The literal text the condition and pattern languages read back as x."""
    if x is None:
        return "null"
    if isinstance(x, bool):
        return "true" if x else "false"
    if isinstance(x, int):
        return str(x)
    if isinstance(x, float):
        return repr(x) if math.isfinite(x) else ("1e999" if x > 0 else "-1e999")
    if isinstance(x, str):
        return "'" + x.replace("\\", "\\\\").replace("'", "\\'") + "'"
    return "[" + ", ".join(map(render, x)) + "]"


PEOPLE = [{"name": "Ann", "age": 30, "ok": True, "tags": ["a"]}, {"name": "Bob", "age": 25.0, "ok": False},
          {"name": "Cy", "age": None}]


@pytest.mark.parametrize("condition, value, kept", [
    ("n.age >= {}", 26, ["N0"]), ("{} > n.age", 28, ["N1"]), ("n.age = {}", 25, ["N1"]),
    ("n.age <> {}", 30.0, ["N1"]), ("n.name IN {}", ["Cy", "Ann"], ["N0", "N2"]),
    ("n.name IN [{}, 'Bob']", "Cy", ["N1", "N2"]), ("n.tags = [{}]", "a", ["N0"]), ("n.age IN {}", [], []),
    ("n.name STARTS WITH {}", "B", ["N1"]), ("n.name ENDS WITH {}", "y", ["N2"]), ("n.name CONTAINS {}", "n", ["N0"]),
    ("{}", True, ["N0", "N1", "N2"]), ("NOT {} AND n.ok", False, ["N0"]), ("{} OR n.ok", None, ["N0"]),
    ("{} IS NULL", None, ["N0", "N1", "N2"]), ("n.age = {}", None, []), ("n.age > 26 XOR {}", True, ["N1"]),
])
def test_every_condition_position(condition, value, kept):
    g = graph_of(*PEOPLE)
    assert found(g.query().match(node="n").where(condition.format("$p")).bind({"p": value}).return_("n")) == kept
    assert found(g.query().match(node="n").where(condition.format(render(value))).return_("n")) == kept


@pytest.mark.parametrize("clause, pattern, for_bob", [
    ("match", "(n {name: $v})", ["N1"]), ("match", "(n {name: $v})-[e {w: $w}]->(m)", []),
    ("match", "(n:$*$ {tags: [$v]})", []), ("merge", "(n:N0 {name: $v})", ["N0"]),
])
def test_pattern_maps_match_and_merge_with_parameters(clause, pattern, for_bob):
    g = graph_of({"name": "Ann", "tags": ["Ann"]}, {"name": "Bob"})
    q = getattr(g.query(), clause)(pattern)
    assert found(q.bind({"v": "Ann", "w": 3}).return_("n")) == ["N0"]
    assert found(q.bind({"v": "Bob"}).return_("n")) == for_bob
    assert found(q.bind({"w": 4}).return_("n")) == ([] if "$w" in pattern else for_bob)
    assert [n.properties["name"] for n in g.nodes.values()] == ["Bob" if clause == "merge" else "Ann", "Bob"]


@pytest.mark.parametrize("clause", ["create", "merge"])
def test_created_parts_store_the_bound_values(clause):
    g = Graph()
    tags, blob = ["x", ["y"]], {"k": 1}
    q = getattr(g.query(), clause)("(a:A {name: $name, tags: $tags, pair: [$name, 1]})-[f:A -> B {blob: $blob}]->(b:B)")
    q.bind({"name": "it's", "tags": tags, "blob": blob}).execute()
    a, = [n for n in g.nodes.values() if str(n.type) == "A"]
    f, = g.edges.values()
    assert a.properties == {"name": "it's", "tags": ["x", ["y"]], "pair": ["it's", 1]} and f.properties["blob"] is blob
    # A bound list becomes a fresh list per creation, as a literal list does; other objects are stored as they are.
    assert a.properties["tags"] is not tags and a.properties["tags"][1] is not tags[1]


def test_one_query_many_runs_and_copies():
    g = graph_of(*PEOPLE)
    q = g.query().match("(n {age: $age})").where("n.name <> $skip")
    runs = [found(q.bind({"age": age, "skip": "Bob"}).return_("n")) for age in (30, 25, None)]
    assert runs == [["N0"], [], ["N2"]]  # a property map compares with ==, so null matches None
    copy = q.bind({"skip": "nobody"})  # q itself now holds age None and skip 'nobody'; the copy the same
    copy.bind({"age": 25})
    assert found(copy.return_("n")) == ["N1"] and found(q.return_("n")) == ["N2"]
    later = q.bind({"age": 30}).limit(5).execute()  # clause copies and execute() carry the values
    assert found(later.return_("n")) == ["N0"]
    assert found(q.bind({"unused": object()}).return_("n")) == ["N0"]


@pytest.mark.parametrize("build, context", [
    (lambda q: q.create("(x:X)").match(node="n").where("n.age > $min OR n.name = $nobody"), "where"),
    (lambda q: q.create("(x:X)").match("(n {name: $nobody})"), "match"),
    (lambda q: q.create("(x:X)").create("(y:Y {v: 1})-[t:Y -> Z {w: [$w, $nobody]}]->(z:Z)"), "create"),
    (lambda q: q.create("(x:X)").merge("(y:N0 {name: $nobody})"), "merge"),
])
def test_missing_parameter_fails_before_anything_runs(build, context):
    g = graph_of(*PEOPLE)
    before = [(k, dict(n.properties)) for k, n in g.nodes.items()], len(g.edges)
    q = build(g.query()).bind({"min": 1, "w": 2})
    with pytest.raises(NameError) as err:
        q.execute()
    assert err.value.args == (f"Parameter 'nobody' not found ({context})",)
    assert ([(k, dict(n.properties)) for k, n in g.nodes.items()], len(g.edges)) == before
    assert len(q.bind({"nobody": "Cy"}).return_("x")) == 1  # the same query runs once the value is bound


@pytest.mark.parametrize("parameters, message", [
    ([("a", 1)], "'list' object cannot be cast as 'dict'"), (None, "'NoneType' object cannot be cast as 'dict'"),
    ({"a": 1, 2: 3}, "'int' object cannot be cast as 'str'"), ({b"a": 1}, "'bytes' object cannot be cast as 'str'"),
])
def test_bind_refuses_what_is_no_dict_of_names(parameters, message):
    q = graph_of(*PEOPLE).query().match(node="n").where("n.age = $a")
    with pytest.raises(TypeError) as err:
        q.bind(parameters)
    assert err.value.args == (f"argument 'parameters': {message}",)
    with pytest.raises(NameError):  # nothing of a refused dict was recorded
        q.return_count()


@pytest.mark.parametrize("text", [
    "$", "$1", "n.v = $", "n.v = $ x", "n.v IN $", "n.v IN 3", "n.v = $x.y", "$x:A",
])
def test_dollar_outside_a_parameter_stays_an_error(text):
    with pytest.raises(ValueError):
        Graph().query().where(text)


def test_dollar_keeps_its_schema_meaning():
    g = Graph()
    a, b = Node(P, {"name": "$x"}), Node(Variable("Q"))
    g.nodes[a.uid()], g.nodes[b.uid()] = a, b
    g.edges["k"] = Edge(KNOWS, a, a)
    q = g.query().match("(n:$Person$ {name: $x})-[f:$* -> Person$]->(m)").where("f:$* -> Person$ AND n:$Person$")
    assert len(q.bind({"x": "$x"}).return_("n")) == 1 and q.bind({"x": "x"}).return_count() == 0


HOSTILE = ["x' OR true OR 'y", "x' OR n.admin = true OR n.name = 'y", "\\", "\\'", "'", '"', "AND", "n.name",
           "$other", "$x", "\0", "a\0b", "\ud800", "\udfff\ud800", "} OR {", ")]", "é\u2028\n", "x" * 100_000]


@pytest.mark.parametrize("value", HOSTILE)
def test_hostile_values_match_literally(value):
    g = graph_of(*({"name": v, "admin": False} for v in HOSTILE + ["x", "y", ""]))
    want = [f"N{HOSTILE.index(value)}"]
    def q():
        return g.query().bind({"v": value, "other": "x", "x": "y"})
    assert found(q().match(node="n").where("n.name = $v").return_("n")) == want
    assert found(q().match("(n {name: $v})").return_("n")) == want
    assert found(q().match(node="n").where("n.name IN [$v]").return_("n")) == want
    q().create("(c:Made {name: $v})").execute()
    assert next(n for n in g.nodes.values() if str(n.type) == "Made").properties["name"] == value


scalars = st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=6)
literals = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3), max_leaves=6)


@settings(max_examples=400, deadline=None)
@given(x=literals, others=st.lists(literals, max_size=4),
       op=st.sampled_from(["=", "<>", "<", ">=", "STARTS WITH", "CONTAINS", "IN"]), left=st.booleans())
def test_a_bound_value_acts_as_its_literal(x, others, op, left):
    assume(op != "IN" or isinstance(x, list))
    g = graph_of(*({"k": v} for v in [x] + others), {})

    def form(v):
        return f"{v} {op} n.k" if left and op != "IN" else f"n.k {op} {v}"
    assert (found(g.query().bind({"v": x}).match(node="n").where(form("$v")).return_("n"))
            == found(g.query().match(node="n").where(form(render(x))).return_("n")))
    assert (found(g.query().bind({"v": x}).match("(n {k: $v})").return_("n"))
            == found(g.query().match(f"(n {{k: {render(x)}}})").return_("n")))
    made = Graph()
    made.query().bind({"v": x}).create("(a:A {k: $v})").create(f"(b:B {{k: {render(x)}}})").execute()
    a, b = (n.properties["k"] for n in made.nodes.values())
    assert repr(a) == repr(b) and (a is not x or not isinstance(x, list))
