import pytest
import veldrin
from veldrin import Application, Edge, Graph, Node, Query, Term, Variable

P, C, Z = Variable("Person"), Variable("Company"), Variable("Zone")
WORKS, KNOWS, HIRES = Term("works", Application(P, C)), Term("knows", Application(P, P)), Term("hires", Application(C, P))


def mixed():
    """Three nodes under plain keys, in the order a (Person), c (Company), b (Person)."""
    g = Graph()
    g.nodes["k0"] = Node(P, {"name": "a", "age": 25})
    g.nodes["k1"] = Node(C, {"name": "c"})
    g.nodes["k2"] = Node(P, {"name": "b", "age": 25.0, "x": 1})
    return g


def by_uid(*nodes, edges=()):
    g = Graph()
    for n in nodes:
        g.nodes[n.uid()] = n
    for e in edges:
        g.edges[e.uid()] = e
    return g


def names(rows, var="n"):
    return [row[var].properties["name"] if var in row else None for row in rows]


@pytest.mark.parametrize("build, expected", [
    (lambda q: q.match(node="n"), ["a", "c", "b"]),
    (lambda q: q.match(node="n", type=P), ["a", "b"]),
    (lambda q: q.match(node="n", type=C), ["c"]),
    (lambda q: q.match(node="n", type=Application(P, C)), []),
    (lambda q: q.match(node="n", type_schema="$Person$"), ["a", "b"]),
    (lambda q: q.match(node="n", type_schema="$*$", properties={"age": 25}), ["a", "b"]),
    (lambda q: q.match(node="n", properties={"x": 1, "name": "b"}), ["b"]),
    (lambda q: q.match("(n)"), ["a", "c", "b"]),
    (lambda q: q.match(node="n", type=C).match(node="n", type=P), ["a", "b"]),  # replaces, does not narrow
    (lambda q: q.match(node="n").match(node="n", type=Z), []),
])
def test_match_node_form(build, expected):
    q = build(mixed().query())
    assert names(q.return_("n")) == expected
    assert q.return_count() == len(expected)
    assert names(q.return_("n")) == expected  # a second run gives the same rows


def test_match_without_variable_binds_nothing_and_empty_graph_binds_empty_list():
    assert mixed().query().match("(:Person)").return_count() == 0
    q = Graph().query().match(node="n")
    assert q.return_count() == 0 and q.return_("n") == []
    g = Graph()
    q = g.query().match(node="n").merge(node="m", type=P)  # first run: n bound to an empty list
    assert [sorted(r) for r in q.return_("n", "m")] == [["m"]]
    assert q.return_count() == 2 and len(q.return_("n")) == 1


def test_node_walks_check_the_dictionary_entries():
    g = mixed()
    g.nodes["junk"] = "x"
    for q in (g.query().match(node="n"), g.query().match(node="n", type=Z), g.query().match("(n:Person)")):
        with pytest.raises(TypeError) as info:
            q.return_count()
        assert info.value.args == ("'str' object cannot be cast as 'Node'",)
    del g.nodes["junk"]
    g.nodes[7] = Node(Z, {"name": "z"})
    assert names(g.query().match(node="n").return_("n")) == ["a", "c", "b", "z"]  # the untyped walk reads values only
    with pytest.raises(TypeError) as info:
        g.query().match(node="n", type=C).return_count()
    assert info.value.args == ("'int' object cannot be cast as 'str'",)


def edge_graph():
    a, b, c = Node(P, {"name": "a"}), Node(C, {"name": "b"}), Node(P, {"name": "c"})
    g = Graph()
    g.nodes.update(k0=a, k1=b, k2=c)
    for e in (Edge(WORKS, a, b), Edge(KNOWS, a, c), Edge(HIRES, b, c)):
        g.edges[e.uid()] = e
    return g


@pytest.mark.parametrize("pattern, expected", [
    ("(n)-[e]->(m)", [("a", "works", "b"), ("a", "knows", "c"), ("b", "hires", "c")]),
    ("(n:Person)-[e]->(m:Person)", [("a", "knows", "c")]),
    ("(n:Person)-[e]->(m)", [("a", "works", "b"), ("a", "knows", "c")]),
    ("(n)-[e:Company -> Person]->(m)", [("b", "hires", "c")]),
    ("(n)-[e:$Person -> *$]->(m)", [("a", "works", "b"), ("a", "knows", "c")]),
    ("(n)-[e]->(m:Zone)", []),
    ("(n)-[]->(m)", [("a", None, "b"), ("a", None, "c"), ("b", None, "c")]),
    ("(m)-[e]->(n)", [("b", "works", "a"), ("c", "knows", "a"), ("c", "hires", "b")]),
    ("(n)-[e]->(n)", [("b", "works", None), ("c", "knows", None), ("c", "hires", None)]),  # later store wins
])
def test_match_single_edge_walk_aligns_lists(pattern, expected):
    rows = edge_graph().query().match(pattern).return_("n", "e", "m")
    got = [(r["n"].properties["name"], r["e"].term.name if "e" in r else None, names([r], "m")[0]) for r in rows]
    assert got == expected
    for r in rows:
        assert type(r["n"]) is Node and (not r.get("e") or type(r["e"]) is Edge)


def test_edge_walk_bindings_share_the_endpoint_dictionaries_and_check_values():
    g = edge_graph()
    g.query().match("(n)-[e:Person -> Person]->(m)").set("m", {"seen": True}).return_count()
    assert g.nodes["k2"].properties == {"name": "c", "seen": True}
    g.edges["junk"] = g.nodes["k0"]
    with pytest.raises(TypeError) as info:
        g.query().match("(n)-[e]->(m)").return_count()
    assert info.value.args == ("'Node' object cannot be cast as 'Edge'",)


def test_create_node_form_stores_under_uid_and_replaces_on_rerun():
    old = Node(C, {"name": "old"})
    g = by_uid(Node(P, {"name": "a"}), old)
    props = {"name": "acme", "tags": ["x"]}
    q = g.query().create(node="p", type=C, properties=props)
    props["name"] = "later"  # the record holds its own entries, not the caller's dictionary
    rows = q.return_("p")
    stored = g.nodes[old.uid()]
    assert list(g.nodes) == [Node(P).uid(), old.uid()] and stored is not old
    assert stored.properties == {"name": "acme", "tags": ["x"]} and type(stored) is Node
    assert len(rows) == 1 and rows[0]["p"] is not stored and rows[0]["p"].properties is stored.properties
    stored.properties["name"] = "changed"
    assert q.return_count() == 1
    again = g.nodes[old.uid()]
    assert again is not stored and again.properties is not stored.properties
    assert again.properties["name"] == "acme" and stored.properties["name"] == "changed"


def test_create_without_type_creates_nothing_and_keeps_the_binding():
    g = mixed()
    q = g.query().match(node="p", type=P).create(node="p").create(node="q", properties={"name": "z"})
    assert names(q.return_("p", "q"), "p") == ["a", "b"] and q.return_("q") == []
    assert list(g.nodes) == ["k0", "k1", "k2"]


def test_merge_node_form():
    g = Graph()
    q = g.query().merge(node="n", type=P, properties={"age": 1})
    assert q.return_count() == 1 and len(g.nodes) == 1
    created = g.nodes[Node(P).uid()]
    assert created.properties == {"age": 1}
    rows = q.return_("n")
    assert len(rows) == 2 and [r["n"].properties is created.properties for r in rows] == [True, True]
    assert g.nodes[Node(P).uid()] is created  # found, not created again
    created.properties["age"] = 2  # no longer fits: the next run creates a replacement
    assert q.return_count() == 1
    replacement = g.nodes[Node(P).uid()]
    assert replacement is not created and replacement.properties == {"age": 1} and len(g.nodes) == 1
    assert g.query().merge(node="m", type_schema="$Company$").return_count() == 0 and len(g.nodes) == 1
    g2 = mixed()
    q2 = g2.query().merge(node="n", type_schema="$Person$").merge(node="m", properties={"x": 1})
    assert names(q2.return_("n")) == ["a"] and names(q2.return_("n", "m"), "m") == ["b", "b"]
    q3 = g2.query().match(node="n").merge(node="n", type=Z)  # creating replaces n's list
    rows = q3.return_("n")
    assert len(rows) == 1 and rows[0]["n"].uid() == Node(Z).uid() and len(g2.nodes) == 4


def test_merge_edge_form_finds_an_edge_between_the_first_start_and_end():
    a, b, c = Node(P, {"name": "a"}), Node(C, {"name": "b"}), Node(P, {"name": "c"})
    other = Term("employs", Application(P, C))
    g = by_uid(a, b, edges=[Edge(KNOWS, c, a), Edge(WORKS, a, b), Edge(other, a, b)])
    def base():
        return g.query().match(node="s", type=P).match(node="t", type=C)
    q = base().merge(edge="e", start="s", end="t")
    assert [r["e"].term.name for r in q.return_("e")] == ["works"]
    assert [r["e"].term.name for r in q.return_("e")] == ["works", "works"]  # appended again
    assert base().merge(edge="e", start="t", end="s").return_("e") == []  # no edge that way
    assert base().merge(edge="e", start="s", end="zz").return_("e") == []
    assert base().match(node="t", type=Z).merge(edge="e", start="s", end="t").return_("e") == []
    assert len(g.edges) == 3


def test_set_updates_shared_dictionaries_and_reads_its_dictionary_at_run_time():
    g = mixed()
    earlier = g.query().match(node="n", type=P).return_("n")
    values = {"age": 30}
    q = g.query().match(node="n", type=P).set("n", values).set("zz", {"age": 0})
    values["city"] = "x"
    assert q.return_count() == 2
    assert [r["n"].properties for r in earlier] == [{"name": "a", "age": 30, "city": "x"},
                                                     {"name": "b", "age": 30, "x": 1, "city": "x"}]
    assert g.nodes["k1"].properties == {"name": "c"}
    values["age"] = 31
    q.return_count()
    assert [g.nodes[k].properties["age"] for k in ("k0", "k2")] == [31, 31]


def test_delete_removes_keys_keeps_bindings_and_ignores_failures():
    a, b, z = Node(P, {"name": "a"}), Node(C, {"name": "c"}), Node(Z, {"name": "z"})
    g = by_uid(a, b)
    g.nodes["plain"] = z  # not under its UID: its deletion fails and is ignored
    q = g.query().match(node="n", type=P).match(node="m", type=P).match(node="w", type=Z)
    q = q.delete("x", "n", "m", "n", "w")
    assert names(q.return_("n")) == ["a"] and names(q.return_("w"), "w") == ["z"]
    assert list(g.nodes) == [b.uid(), "plain"]
    assert q.return_count() == 1 and q.return_("n") == []  # a later run matches nothing and deletes nothing
    ge = edge_graph()
    rows = ge.query().match("(n)-[e:Person -> Person]->(m)").delete("e").return_("e", "n")
    assert [r["e"].term.name for r in rows] == ["knows"] and len(ge.edges) == 2 and len(ge.nodes) == 3


def test_rows_are_cut_by_position():
    g = mixed()
    q = g.query().match(node="n").match(node="m", type=C)
    assert q.return_count() == 3
    assert names(q.return_("m"), "m") == ["c"]
    rows = q.return_("n", "m")
    assert [sorted(r) for r in rows] == [["m", "n"], ["n"], ["n"]] and names(rows) == ["a", "c", "b"]
    assert q.return_() == [] and q.return_("zz") == [] and names(q.return_("zz", "m"), "m") == ["c"]
    assert [list(r) for r in q.return_("n", "n")] == [["n"]] * 3
    first, second = q.return_("n"), q.return_("n")
    assert all(x["n"] is not y["n"] and x["n"].properties is y["n"].properties for x, y in zip(first, second))
    assert first[0]["n"] is not g.nodes["k0"] and first[0]["n"].properties is g.nodes["k0"].properties
    first[0]["n"].properties["age"] = 99
    assert g.nodes["k0"].properties["age"] == 99


def test_return_arguments_are_checked_before_the_run():
    g = Graph()
    q = g.query().create(node="p", type=C)
    for call in (lambda: q.return_(["p"]), lambda: q.return_distinct("p", 1)):
        with pytest.raises(TypeError):
            call()
    assert len(g.nodes) == 0


def test_execute_runs_the_queue_and_returns_a_copy_with_the_bindings():
    g = Graph()
    q = g.query().merge(node="n", type=P).create(node="c", type=C)
    e = q.execute()
    assert type(e) is Query and e is not q and len(g.nodes) == 2
    stored = g.nodes[Node(C).uid()]
    assert e.return_count() == 2 and e.return_count() == 3  # same queue, its own bindings
    assert g.nodes[Node(C).uid()] is not stored  # the create ran again
    assert q.return_count() == 2  # q kept its one entry from execute, plus this run
    assert q.execute().execute().return_count() == 5


class Boom:
    def __eq__(self, other):
        raise ZeroDivisionError("boom")
    __hash__ = None


def test_a_failing_clause_stops_the_run_and_earlier_effects_stay():
    g = Graph()
    g.nodes["k0"] = Node(P, {"name": "a"})
    g.nodes["junk"] = 5
    q = g.query().merge(node="n", properties={"name": "a"}).create(node="c", type=C).match(node="m")
    q = q.create(node="z", type=Z)
    for _ in range(2):
        with pytest.raises(TypeError) as info:
            q.return_("n")
        assert info.value.args == ("'int' object cannot be cast as 'Node'",)
    assert list(g.nodes) == ["k0", "junk", Node(C).uid()]  # the create before the failure ran, the one after did not
    del g.nodes["junk"]
    assert q.return_count() == 3  # n kept the entries its merge appended in the failed runs
    g.nodes["k9"] = Node(Z, {"name": Boom()})
    with pytest.raises(ZeroDivisionError, match="^boom$"):
        g.query().create(node="y", type=Variable("Y")).match(node="b", properties={"name": "b"}).return_count()
    assert Node(Variable("Y")).uid() in g.nodes


class Reentrant:
    """A property value whose comparison calls back into a query, the first time only."""

    def __init__(self, call, swallow):
        self.call, self.swallow, self.seen = call, swallow, []

    def __eq__(self, other):
        if not self.seen:
            self.seen.append(None)
            try:
                self.seen.append(self.call())
            except RuntimeError as e:
                self.seen.append(e.args)
                if not self.swallow:
                    raise
        return True
    __hash__ = None


@pytest.mark.parametrize("swallow", [True, False])
@pytest.mark.parametrize("method", [
    lambda q: q.return_("n"), lambda q: q.return_count(), lambda q: q.execute(),
    lambda q: q.where("n.k = 1"), lambda q: q.limit(1), lambda q: q.match(node="m"),
])
def test_calling_back_into_the_running_query_is_refused(method, swallow):
    g = Graph()
    holder = {}
    value = Reentrant(lambda: method(holder["q"]), swallow)
    g.nodes["k0"] = Node(P, {"k": value})
    q = holder["q"] = g.query().match(node="n", properties={"k": 1})
    if swallow:
        assert len(q.return_("n")) == 1
    else:
        with pytest.raises(RuntimeError) as info:
            q.return_("n")
        assert info.value.args == ("Already borrowed",)
    assert value.seen == [None, ("Already borrowed",)]
    assert q.return_count() == 1  # the borrow was released
    inner = Reentrant(lambda: g.query().match(node="x", type=P).return_count(), True)
    g.nodes["k0"].properties["k"] = inner
    assert q.return_count() == 1 and inner.seen == [None, 1]  # another query is free


@pytest.mark.parametrize("mutate, message", [
    (lambda nodes: nodes.__setitem__("new", Node(Z)), "dictionary changed size during iteration"),
    (lambda nodes: nodes.pop("k1"), "dictionary changed size during iteration"),
    (lambda nodes: (nodes.pop("k0"), nodes.__setitem__("new", Node(Z))), "dictionary keys changed during iteration"),
])
def test_changing_the_node_dictionary_during_a_walk_panics(mutate, message):
    g = Graph()

    class Mutator:
        def __eq__(self, other):
            mutate(g.nodes)
            return True
        __hash__ = None
    g.nodes["k0"] = Node(P, {"k": Mutator()})
    g.nodes["k1"] = Node(C, {"k": 1})
    q = g.query().create(node="c", type=Variable("Y")).match(node="n", properties={"k": 1})
    with pytest.raises(BaseException) as info:
        q.return_("n")
    exc = type(info.value)
    assert exc.__name__ == "PanicException" and exc.__bases__ == (BaseException,)
    assert not issubclass(exc, Exception) and not hasattr(veldrin, "PanicException")
    assert info.value.args == (message,)
    assert Node(Variable("Y")).uid() in g.nodes  # the clause before the walk kept its effect
    g.nodes.clear()
    assert q.return_count() == 1  # the query is usable again


class Logged:
    """A property value of its own kind: where compares it with its own ==, which is logged."""
    log = []

    def __init__(self, v):
        self.v = v

    def __eq__(self, other):
        Logged.log.append(self.v)
        return self.v == other
    __hash__ = None


@pytest.mark.parametrize("junk", [False, True])
@pytest.mark.parametrize("condition, kept", [
    ("n.k = 1", [1, 1, 1]), ("n.k = 1 AND n.j IS NULL", [1, 1]), ("n.k", None),
])
def test_where_after_match_keeps_the_order_of_effects(junk, condition, kept):
    # Plain values first, then values compared by their own ==, then (maybe) a
    # value that is no Node: the walk's error comes before any condition's
    # effect or error, and every == runs once, in row order, after the walk.
    g = Graph()
    values = [1, 2, 1, Logged(1), Logged(3), 1]
    for i, v in enumerate(values):
        g.nodes[f"k{i}"] = Node(Variable(f"T{i}"), {"k": v, **({"j": 0} if i == 5 else {})})
    if junk:
        g.nodes["zz"] = "junk"
    q = g.query().match(node="n").where(condition)
    Logged.log.clear()
    if junk:
        with pytest.raises(TypeError, match="cannot be cast as 'Node'"):
            q.return_count()
        assert Logged.log == []
    elif kept is None:
        with pytest.raises(TypeError, match="expected boolean, got int"):
            q.return_count()
        assert Logged.log == []
    else:
        rows = q.return_("n")
        assert [r["n"].properties["k"] for r in rows if not isinstance(r["n"].properties["k"], Logged)] == kept
        assert Logged.log == [1, 3]


@pytest.mark.parametrize("enabled", [True, False])
def test_results_leave_the_collector_as_they_found_it(enabled):
    import gc
    g = Graph()
    for i in range(50):
        n = Node(Variable(f"T{i}"))
        g.nodes[n.uid()] = n
    was = gc.isenabled()
    try:
        (gc.enable if enabled else gc.disable)()
        assert len(g.query().match(node="n").return_("n")) == 50
        assert gc.isenabled() == enabled
    finally:
        (gc.enable if was else gc.disable)()
