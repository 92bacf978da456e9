import ctypes

import pytest
from veldrin import Application, Edge, Graph, Node, Query, Term, Variable

P, C = Variable("Person"), Variable("Company")
F = Term("f", Application(P, C))
SIG_MATCH = ("($self, pattern=None, *, node=None, edge=None, start=None, end=None, type=..., "
             "type_schema=None, term=None, term_type_schema=None, properties=None)")
SIG_CREATE = "($self, pattern=None, *, node=None, edge=None, type=..., term=None, start=None, end=None, properties=None)"
SIG_MERGE = ("($self, pattern=None, *, node=None, edge=None, type=..., type_schema=None, term=None, "
             "term_type_schema=None, start=None, end=None, properties=None)")


def people(*names):
    g = Graph()
    for i, name in enumerate(names):
        g.nodes[f"k{i}"] = Node(P, {"name": name})
    return g


def names(rows, var="n"):
    return [row[var].properties["name"] for row in rows]


def interpreter_overflow(value):
    """The message the interpreter itself gives when `value` is turned into an unsigned 64-bit integer."""
    convert = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    convert.argtypes, convert.restype = [ctypes.py_object], ctypes.c_ulonglong
    with pytest.raises(OverflowError) as info:
        convert(value)
    return str(info.value)


@pytest.mark.parametrize("obj, signature", [
    (Query, "(graph)"), (Graph.query, "($self)"),
    (Query.match, SIG_MATCH), (Query.create, SIG_CREATE), (Query.merge, SIG_MERGE),
    (Query.where, "($self, condition)"), (Query.set, "($self, variable, properties)"),
    (Query.delete, "($self, *variables, detach=False)"), (Query.with_, "($self, *variables)"),
    (Query.order_by, "($self, variable, key, ascending=True)"),
    (Query.limit, "($self, count)"), (Query.skip, "($self, count)"),
    (Query.return_, "($self, *variables)"), (Query.return_distinct, "($self, *variables)"),
    (Query.return_count, "($self)"), (Query.execute, "($self)"),
])
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature


def test_docstrings():
    assert Query.match.__doc__.splitlines()[0] == "Matches nodes, edges, or paths in the graph."
    assert Query.return_.__doc__.splitlines()[0] == "Returns the specified variables from the query results."
    assert Query.create.__doc__ is None and Query.merge.__doc__ is None
    assert Graph.query.__doc__.splitlines()[0] == "Creates a new query builder for this graph."


def test_construction_binds_the_graph_dictionaries():
    g = Graph()
    made = [Query(g), Query(graph=g), g.query()]
    assert all(type(q) is Query for q in made) and len({id(q) for q in made}) == 3
    assert [q.match(node="n").return_count() for q in made] == [0, 0, 0]
    g.nodes["k"] = Node(P)  # added after the queries were made
    assert [q.match(node="n").return_count() for q in made] == [1, 1, 1]
    with pytest.raises(TypeError):
        class Sub(Query):
            pass


Q = Graph().query()


@pytest.mark.parametrize("call, exc, message", [
    (lambda: Query(), TypeError, "Query.__new__() missing 1 required positional argument: 'graph'"),
    (lambda: Query(5), TypeError, "argument 'graph': 'int' object cannot be cast as 'Graph'"),
    (lambda: Query(Graph().nodes), TypeError, "argument 'graph': 'dict' object cannot be cast as 'Graph'"),
    (lambda: Query(Node(P)), TypeError, "argument 'graph': 'Node' object cannot be cast as 'Graph'"),
    (lambda: Graph().query(1), TypeError, "Graph.query() takes no arguments (1 given)"),
    (lambda: Q.where(5), TypeError, "argument 'condition': 'int' object cannot be cast as 'str'"),
    (lambda: Q.set(1, {}), TypeError, "argument 'variable': 'int' object cannot be cast as 'str'"),
    (lambda: Q.set("n", None), TypeError, "argument 'properties': 'NoneType' object cannot be cast as 'dict'"),
    (lambda: Q.set("n"), TypeError, "Query.set() missing 1 required positional argument: 'properties'"),
    (lambda: Q.delete("n", True), TypeError, "argument 'variables': 'bool' object cannot be cast as 'str'"),
    (lambda: Q.delete("n", 3, None), TypeError, "argument 'variables': 'int' object cannot be cast as 'str'"),
    (lambda: Q.delete("n", detach=1), TypeError, "argument 'detach': 'int' object cannot be cast as 'bool'"),
    (lambda: Q.delete("n", detach="yes"), TypeError, "argument 'detach': 'str' object cannot be cast as 'bool'"),
    (lambda: Q.delete(x=1), TypeError, "Query.delete() got an unexpected keyword argument 'x'"),
    (lambda: Q.with_(["n"]), TypeError, "argument 'variables': 'list' object cannot be cast as 'str'"),
    (lambda: Q.order_by(1, "k"), TypeError, "argument 'variable': 'int' object cannot be cast as 'str'"),
    (lambda: Q.order_by(1, 2, 3), TypeError, "argument 'variable': 'int' object cannot be cast as 'str'"),
    (lambda: Q.order_by("n", None), TypeError, "argument 'key': 'NoneType' object cannot be cast as 'str'"),
    (lambda: Q.order_by("n", "k", 1), TypeError, "argument 'ascending': 'int' object cannot be cast as 'bool'"),
    (lambda: Q.order_by("n", "k", ascending="no"), TypeError,
     "argument 'ascending': 'str' object cannot be cast as 'bool'"),
    (lambda: Q.limit(2.5), TypeError, "argument 'count': 'float' object cannot be interpreted as an integer"),
    (lambda: Q.skip("3"), TypeError, "argument 'count': 'str' object cannot be interpreted as an integer"),
    (lambda: Q.limit(), TypeError, "Query.limit() missing 1 required positional argument: 'count'"),
    (lambda: Q.return_(["n"]), TypeError, "argument 'variables': 'list' object cannot be cast as 'str'"),
    (lambda: Q.return_distinct("n", ("m",)), TypeError, "argument 'variables': 'tuple' object cannot be cast as 'str'"),
    (lambda: Q.return_count(1), TypeError, "Query.return_count() takes no arguments (1 given)"),
    (lambda: Q.execute(1), TypeError, "Query.execute() takes no arguments (1 given)"),
    (lambda: Q.match("(n)", "m"), TypeError, "Query.match() takes from 0 to 1 positional arguments but 2 were given"),
])
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and info.value.args == (message,)


class Idx:
    def __index__(self):
        return 2


@pytest.mark.parametrize("count, kept", [(0, 0), (True, 1), (Idx(), 2), (2**64 - 1, 3), (3, 3)])
def test_count_conversions(count, kept):
    q = people("a", "b", "c").query().match(node="n")
    assert names(q.limit(count).return_("n")) == ["a", "b", "c"][:kept]
    assert names(q.match(node="n").skip(count).return_("n")) == ["a", "b", "c"][kept:]


@pytest.mark.parametrize("count", [-1, -2**70, 2**64, 2**80])
@pytest.mark.parametrize("method", ["limit", "skip"])
def test_count_overflow_is_the_interpreters_and_queues_nothing(method, count):
    q = people("a", "b", "c").query().match(node="n")
    with pytest.raises(OverflowError) as info:
        getattr(q, method)(count)
    assert type(info.value) is OverflowError and info.value.args == (interpreter_overflow(count),)
    with pytest.raises(TypeError):
        getattr(q, method)(1.0)
    assert names(q.return_("n")) == ["a", "b", "c"]  # no cutting record was left behind


def test_count_conversion_runs_while_the_query_is_held():
    q = people("a", "b").query().match(node="n")

    class Back:
        def __index__(self):
            return q.return_count()
    with pytest.raises(RuntimeError) as info:
        q.limit(Back())
    assert info.value.args == ("Already borrowed",)
    other = q.match()
    assert names(other.limit(Back()).return_("n")) == ["a", "b"] and names(q.return_("n")) == ["a", "b"]


def test_str_and_dict_subclasses_are_accepted():
    class S(str):
        pass

    class D(dict):
        pass
    q = people("a", "b").query().match(node=S("n")).set(S("n"), D(age=3))
    rows = q.return_(S("n"))
    assert [r["n"].properties["age"] for r in rows] == [3, 3] and all(type(k) is str for r in rows for k in r)


def outcome(call):
    """What a call did: its error, or its rows; together with the graph it left."""
    g = Graph()
    a, b = Node(P, {"name": "a", "age": 1}), Node(C, {"name": "b", "age": 2})
    g.nodes[a.uid()], g.nodes[b.uid()] = a, b
    g.edges[Edge(F, a, b).uid()] = Edge(F, a, b)
    try:
        result = [[v.uid() for v in row.values()] for row in call(g.query())]
    except Exception as e:
        result = (type(e), e.args)
    return result, list(g.nodes), list(g.edges)


@pytest.mark.parametrize("make", [
    lambda flag: lambda q: q.match("(a:Person)").delete("a", detach=flag).match(node="n").return_("n"),
    lambda flag: lambda q: q.match(node="n").order_by("n", "age", flag).return_("n"),
    lambda flag: lambda q: q.match(node="n").order_by("n", "age", ascending=flag).return_("n"),
])
def test_numpy_booleans_act_as_booleans(make):
    np = pytest.importorskip("numpy")
    assert outcome(make(True)) != outcome(make(False))  # the flag matters in these queries
    assert outcome(make(np.True_)) == outcome(make(True))
    assert outcome(make(np.False_)) == outcome(make(False))
    with pytest.raises(TypeError, match="^argument '(detach|ascending)': "):
        make(np.int64(1))(Graph().query())


@pytest.mark.parametrize("call, exc, message", [
    (lambda q: q.match(5, node=5), TypeError, "argument 'pattern': 'int' object cannot be cast as 'str'"),
    (lambda q: q.match("(n:Person)-[e:knows]->(m:Person)", node=5), TypeError,
     "argument 'node': 'int' object cannot be cast as 'str'"),
    (lambda q: q.match("(n", node=5), TypeError, "argument 'node': 'int' object cannot be cast as 'str'"),
    (lambda q: q.match(node="n", edge=5), TypeError, "argument 'edge': 'int' object cannot be cast as 'str'"),
    (lambda q: q.match("(n)", properties=5), TypeError, "argument 'properties': 'int' object cannot be cast as 'dict'"),
    (lambda q: q.match(node="n", type="Person", properties=[]), TypeError,
     "argument 'properties': 'list' object cannot be cast as 'dict'"),
    (lambda q: q.match(node="n", type="Person"), TypeError, "Expected Variable or Application"),
    (lambda q: q.match(node="n", properties={1: "x"}), TypeError, "'int' object cannot be cast as 'str'"),
    (lambda q: q.match(edge="e", term="f"), TypeError, "'str' object cannot be cast as 'Term'"),
    (lambda q: q.match("(n", node="x"), ValueError, "Invalid pattern '(n': Unmatched parentheses in pattern"),
    (lambda q: q.create(b"(n)"), TypeError, "argument 'pattern': 'bytes' object cannot be cast as 'str'"),
    (lambda q: q.create("(n"), ValueError, "Invalid pattern '(n': Unmatched parentheses in pattern"),
    (lambda q: q.create(node="p", type="Person"), TypeError, "Expected Variable or Application"),
    (lambda q: q.merge(5, node="n"), TypeError, "argument 'pattern': 'int' object cannot be cast as 'str'"),
    (lambda q: q.merge(node="n", type=F), TypeError, "Expected Variable or Application"),
    # create and merge: a bad term first, then a missing start, then a bad end
    *[(lambda q, m=m, kw=kw: getattr(q, m)(edge="e", **kw), exc, message)
      for m in ("create", "merge") for kw, exc, message in [
        (dict(term="f", start="a", end="b"), TypeError, "'str' object cannot be cast as 'Term'"),
        (dict(term=P), TypeError, "'Variable' object cannot be cast as 'Term'"),
        (dict(term=F), ValueError, "Invalid query: Variable name required"),
        (dict(term=F, start="a"), ValueError, "Invalid query: Variable name required"),
        (dict(term=F, start=None, end="b"), ValueError, "Invalid query: Variable name required"),
        (dict(term=F, end=1), ValueError, "Invalid query: Variable name required"),
        (dict(term=F, start=1, end="b"), ValueError, "Invalid query: Expected string variable name (variable extraction)"),
        (dict(term=F, start=Node(P), end=None), ValueError,
         "Invalid query: Expected string variable name (variable extraction)"),
        (dict(term=F, start="a", end=["b"]), ValueError,
         "Invalid query: Expected string variable name (variable extraction)"),
    ]],
])
def test_pattern_clause_errors_and_their_order(call, exc, message):
    g = people("a", "b")
    q = g.query().match(node="n")
    with pytest.raises(exc) as info:
        call(q)
    assert type(info.value) is exc and info.value.args == (message,)
    assert names(q.return_("n")) == ["a", "b"] and len(g.nodes) == 2 and not g.edges


@pytest.mark.parametrize("call", [
    lambda q: q.match(), lambda q: q.match(properties={"age": 25}), lambda q: q.match(type=P),
    lambda q: q.match(type_schema="$*$", term=F, term_type_schema="$*$", start="a", end="b"),
    lambda q: q.create(), lambda q: q.create(type=P, properties={"x": 1}),
    lambda q: q.merge(), lambda q: q.merge(type=P, start="a", end="b"),
])
def test_clauses_without_node_edge_or_pattern_queue_nothing(call):
    g = people("a")
    g.nodes["junk"] = 5  # any node walk would fail on this value
    q = g.query()
    r = call(q)
    assert type(r) is Query and r is not q
    assert r.return_count() == 0 and q.return_count() == 0 and list(g.nodes) == ["k0", "junk"]


def test_match_form_choice():
    g = people("a", "b")
    g.nodes["c"] = Node(C, {"name": "c"})
    q = g.query()
    assert names(q.match("(n:Person)", node="x").return_("n", "x")) == ["a", "b"]
    assert q.return_("x") == []  # the node keyword is ignored next to a pattern
    assert names(q.match(node="n", edge="e").return_("n", "e")) == ["a", "b", "c"]
    assert q.return_("e") == []
    assert names(q.match(node="n", type=None).return_("n")) == ["a", "b", "c"]
    assert names(q.match(node="n", type=C, term=5, start=5).return_("n")) == ["c"]


@pytest.mark.parametrize("start, end, bound", [
    ("a", "b", {"e", "a", "b"}), ("a", None, {"e", "a"}), (None, "b", {"e", "b"}),
    (Node(P), Node(C), {"e"}), (1, ["b"], {"e"}), (None, None, {"e"}),
])
def test_match_optional_names(start, end, bound):
    g = Graph()
    a, b = Node(P, {"name": "a"}), Node(C, {"name": "b"})
    g.nodes[a.uid()], g.nodes[b.uid()] = a, b
    g.edges[Edge(F, a, b).uid()] = Edge(F, a, b)
    rows = g.query().match(edge="e", start=start, end=end).return_("e", "a", "b", "x")
    assert len(rows) == 1 and set(rows[0]) == bound
    expected = {"e": Edge(F, a, b).uid(), "a": a.uid(), "b": b.uid()}
    assert {k: v.uid() for k, v in rows[0].items()} == {k: expected[k] for k in bound}


def test_every_clause_returns_an_independent_copy_holding_the_record():
    g = people("a", "b", "c")
    q = g.query()
    r = q.match(node="n")
    assert type(r) is Query and r is not q
    assert names(q.return_("n")) == names(r.return_("n")) == ["a", "b", "c"]
    s = q.match(node="m", properties={"name": "b"})
    assert names(q.return_("m"), "m") == names(s.return_("m"), "m") == ["b"]
    assert r.return_("m") == []  # a record added to q later is not in r
    r.match(node="x", properties={"name": "c"})
    assert q.return_("x") == [] and names(r.return_("x"), "x") == ["c"]
    w = q.where("n.name <> 'a'")
    assert w is not q and names(w.return_("n")) == names(q.return_("n")) == ["b", "c"]


def test_limit_then_skip_on_the_same_query():
    q = people("a", "b", "c", "d", "e").query().match(node="n")
    lim = q.limit(3)
    sk = q.skip(2)
    assert lim is not sk and lim is not q
    assert names(lim.return_("n")) == ["a", "b", "c"]  # holds only the limit record
    assert names(q.return_("n")) == names(sk.return_("n")) == ["c"]  # limit 3, then skip 2


def test_bindings_of_a_run_stay_with_their_query_while_the_graph_is_shared():
    g = Graph()
    q = g.query().merge(node="n", type=P)
    early = q.match()  # copied before any run: no bindings
    assert q.return_count() == 1 and len(g.nodes) == 1  # created
    assert q.return_count() == 2
    assert early.return_count() == 1  # found the node q created, appended to its own empty list
    late = q.match()  # carries q's two entries
    assert late.return_count() == 3 and late.return_count() == 4
    assert q.return_count() == 3
    other = g.query()
    g.nodes["k"] = Node(C)
    assert other.match(node="m").return_count() == 2 and q.match(node="m").return_count() == 4
