"""Pattern strings end to end: property maps, directions, longer paths, the
edge forms of match, create and merge, creating from pattern strings,
delete with and without detach, and set on edges."""
import pytest
from veldrin import Application, Edge, Graph, Node, PathPattern, Term, Variable

A, B, C, D = (Variable(x) for x in "ABCD")
PERSON, COMPANY = Variable("Person"), Variable("Company")


def add_node(g, t, **props):
    n = Node(t, props)
    g.nodes[n.uid()] = n
    return n


def add_edge(g, name, start, end, **props):
    e = Edge(Term(name, Application(start.type, end.type)), start, end, props)
    g.edges[e.uid()] = e
    return e


def label(v):
    return v.term.name if isinstance(v, Edge) else str(v.type)


def table(rows, *names):
    return [" ".join(label(r[n]) if n in r else "-" for n in names) for r in rows]


@pytest.fixture
def abc():
    """A -f-> B <-h- C, A -l-> A, B -k-> C, and an isolated D, in that order."""
    g = Graph()
    a, b, c = add_node(g, A, w=1), add_node(g, B), add_node(g, C)
    add_node(g, D)
    add_edge(g, "f", a, b, w=1)
    add_edge(g, "h", c, b, w=2)
    add_edge(g, "l", a, a)
    add_edge(g, "k", b, c, w=1)
    return g


@pytest.fixture
def people():
    g = Graph()
    add_node(g, PERSON, age=25.0, name="a)b]c}d", tags=[1, "x)]}"], z=None, **{"my key": "it's ]"})
    add_node(g, Variable("Robot"), age=25, name="R")
    add_node(g, COMPANY, age=30)
    return g


@pytest.mark.parametrize("pattern, expected", [
    ("(n:Person {age: 25})", ["Person"]), ("(n {age: 25})", ["Person", "Robot"]), ("(n:Person{age:25.0})", ["Person"]),
    ("(n:Person {age: 26})", []), ("(n {age: 30, name: null})", []), ("(n {z: null})", ["Person"]),
    ("(n {name: 'a)b]c}d'})", ["Person"]), ('(n {name: "a)b]c}d", age: 25})', ["Person"]),
    ("(n {tags: [1, 'x)]}']})", ["Person"]), ("(n {tags: [1]})", []), ("(n {'my key': 'it\\'s ]'})", ["Person"]),
    ("(n {\"my key\": \"it's ]\"})", ["Person"]), ("(n {})", ["Person", "Robot", "Company"]),
    ("(n {age: 25, age: 30})", ["Company"]), ("( n : * { age : 25 , name : 'R' } )", ["Robot"]),
])
def test_property_maps_filter_matches(people, pattern, expected):
    assert table(people.query().match(pattern).return_("n"), "n") == expected


def test_property_maps_on_edges(abc):
    assert table(abc.query().match("(x)-[e {w: 1}]->(y)").return_("x", "e", "y"), "x", "e", "y") == \
        ["A f B", "B k C"]
    assert table(abc.query().match("(x {w: 1})-[e {s: ']})>-['}]-(y)").return_("e"), "e") == []
    add_edge(abc, "q", abc.nodes[Node(D).uid()], abc.nodes[Node(A).uid()], s="]})>-[")
    assert table(abc.query().match("(x)-[e {s: ']})>-['}]-(y {w: 1})").return_("x", "e", "y"), "x", "e", "y") == \
        ["D q A"]


@pytest.mark.parametrize("pattern, message", [
    ("(n {age: })", "Invalid pattern '(n {age: })': expected a value for key 'age' at position 9"),
    ("(n:Person {age 25})", "Invalid pattern '(n:Person {age 25})': expected ':' after key 'age' at position 15"),
    ("(n {age: 1,})", "Invalid pattern '(n {age: 1,})': expected a key at position 11"),
    ("(n {age: 1} x)", "Invalid pattern '(n {age: 1} x)': unexpected text after '}' at position 12"),
    ("(n {1: 1})", "Invalid pattern '(n {1: 1})': expected a key at position 4"),
    ("(n {age: [1, 2})", "Invalid pattern '(n {age: [1, 2})': expected ',' or ']' at position 14"),
    ("(n {s: '\\q'})", "Invalid pattern '(n {s: '\\q'})': invalid escape '\\q' at position 8"),
    ("(n {a: 1 b: 2})", "Invalid pattern '(n {a: 1 b: 2})': expected ',' or '}' at position 9"),
    ("(n {a: @})", "Invalid pattern '(n {a: @})': expected a value for key 'a' at position 7"),
    ("(a)-[e {w: 1 x}]->(b)", "Invalid pattern '-[e {w: 1 x}]->': expected ',' or '}' at position 10"),
    ("(a)-[e:T {w: }]->(b)", "Invalid pattern '-[e:T {w: }]->': expected a value for key 'w' at position 10"),
    ("(n {age: 'x})", "Invalid pattern '(n {age: 'x})': Unmatched parentheses in pattern"),
    ("(n {v: " + "[" * 150 + "]" * 150 + "})",
     "Invalid pattern '(n {v: " + "[" * 150 + "]" * 150 + "})': property map nested too deeply at position 106"),
])
def test_malformed_property_maps(people, pattern, message):
    for call in (PathPattern, people.query().match, people.query().create, people.query().merge):
        with pytest.raises(ValueError) as err:
            call(pattern)
        assert str(err.value) == message
    q = people.query().match(node="n")
    with pytest.raises(ValueError):
        q.create(pattern)
    assert q.return_count() == 3 and len(people.nodes) == 3


def test_created_lists_are_fresh():
    g = Graph()
    q = g.query().create("(a:A {t: [1, [2]], s: 'x'})-[r:R {t: [1, [2]]}]->(b:B {t: [1, [2]]})")
    first = q.return_("a", "r", "b")[0]
    ta, tr, tb = first["a"].properties["t"], first["r"].properties["t"], first["b"].properties["t"]
    assert ta == tr == tb == [1, [2]] and ta is not tb and ta is not tr and ta[1] is not tb[1]
    ta.append(9)
    ta[1].append(3)
    tr[1].append(4)
    assert tb == [1, [2]] and tr == [1, [2, 4]]
    second = q.return_("a", "r", "b")[0]
    assert second["a"].properties["t"] == [1, [2]] and second["r"].properties["t"] == [1, [2]]
    assert second["a"].properties["t"] is not ta and g.nodes[Node(A).uid()].properties == {"t": [1, [2]], "s": "x"}
    gm = Graph()
    m = gm.query().merge("(a:A {t: [[0]]})")
    made = m.return_("a")[0]["a"].properties["t"]
    made[0].append(1)
    gm.nodes.clear()
    again = m.return_("a")
    assert len(again) == 1 and again[0]["a"].properties["t"] == [[0]]
    assert gm.nodes[Node(A).uid()].properties["t"] == [[0]]


@pytest.mark.parametrize("pattern, expected", [
    ("(x)-[e]->(y)", ["A f B", "C h B", "A l A", "B k C"]),
    ("(x)<-[e]-(y)", ["B f A", "B h C", "A l A", "C k B"]),
    ("(x)-[e]-(y)", ["A f B", "B f A", "C h B", "B h C", "A l A", "B k C", "C k B"]),
    ("(x)<-[e:A -> B]-(y)", ["B f A"]), ("(x)-[e:A -> B]-(y)", ["A f B", "B f A"]),
    ("(x)-[e:(C -> B)]->(y)", ["C h B"]), ("(x)<-[e:$* -> C$]-(y)", ["C k B"]),
    ("(x:B)-[e]-(y)", ["B f A", "B h C", "B k C"]), ("(x:B) <- [e] - (y:C)", ["B h C"]),
    ("(x)-[e:A -> A]-(y:A)", ["A l A"]), ("(x:D)-[e]-(y)", []),
])
def test_directions(abc, pattern, expected):
    rows = abc.query().match(pattern).return_("x", "e", "y")
    assert table(rows, "x", "e", "y") == expected
    for r in rows:  # lists stay aligned: each row's nodes are its edge's ends
        ends = {r["e"].start.uid(), r["e"].end.uid()}
        assert {r["x"].uid(), r["y"].uid()} == ends


@pytest.mark.parametrize("pattern, expected", [
    ("(x)-[e1]->(y)<-[e2]-(z)", ["A f B h C", "C h B f A"]),
    ("(x)-[e1]->(y)-[e2]->(z)", ["A f B k C", "C h B k C", "A l A f B", "B k C h B"]),
    ("(x)-[e1]-(y)-[e2]-(z)", ["A f B h C", "A f B k C", "B f A l A", "C h B f A", "C h B k C", "B h C k B",
                               "A l A f B", "B k C h B", "C k B f A", "C k B h C"]),
    ("(x:A)-[e1]->(y)-[e2:B -> C]->(z)", ["A f B k C"]), ("(x)-[e1]->(y:A)-[e2]->(z:B)", ["A l A f B"]),
    ("(x)<-[e1]-(y)<-[e2]-(z)", ["B f A l A", "B h C k B", "C k B f A", "C k B h C"]),
    ("(x)-[e1 {w: 1}]->(y)-[e2 {w: 2}]->(z)", ["B k C h B"]), ("(x)-[e1]->(y:D)-[e2]->(z)", []),
])
def test_two_edge_chains(abc, pattern, expected):
    rows = abc.query().match(pattern).return_("x", "e1", "y", "e2", "z")
    assert table(rows, "x", "e1", "y", "e2", "z") == expected
    for r in rows:
        assert r["e1"].uid() != r["e2"].uid()
        assert r["y"].uid() in {r["e1"].start.uid(), r["e1"].end.uid()} & {r["e2"].start.uid(), r["e2"].end.uid()}
    q = abc.query().match(pattern)
    assert q.return_count() == len(expected) and len(q.return_("x")) == len(expected)


def test_three_edge_chains_and_repeated_variables(abc):
    rows = abc.query().match("(x)-[e1]->(y)-[e2]->(z)-[e3]->(w)").return_("x", "e1", "y", "e2", "z", "e3", "w")
    assert table(rows, "x", "e1", "y", "e2", "z", "e3", "w") == ["A f B k C h B", "A l A f B k C"]
    # a variable used twice: the later store wins
    assert table(abc.query().match("(x:A)-[e]->(x)").return_("x", "e"), "x", "e") == ["B f", "A l"]
    assert table(abc.query().match("(x)-[e]->(y)-[e]->(z)").return_("x", "e", "z"), "x", "e", "z") == \
        ["A k C", "C k C", "A f B", "B h B"]
    assert table(abc.query().match("(x)-[e1]->(x)<-[e2]-(z)").return_("x", "e1"), "x", "e1") == ["B f", "B h"]


def test_chain_joins_by_node_uid():
    g = Graph()
    a, b, b2 = add_node(g, A), Node(B, {"copy": 1}), add_node(g, B)
    c = add_node(g, C)
    add_edge(g, "f", a, b)          # its end is another Node object of type B
    add_edge(g, "g", b2, c)
    e = Edge(Term("x", C), Node(Application(A, B)), c)
    g.edges[e.uid()] = e
    assert table(g.query().match("(p)-[e1]->(q)-[e2]->(r)").return_("p", "e1", "q", "e2", "r"),
                 "p", "e1", "q", "e2", "r") == ["A f B g C"]


def test_edge_form_of_match(abc):
    q = lambda **kw: table(abc.query().match(edge="e", **kw).return_("s", "e", "t"), "s", "e", "t")
    assert q(start="s", end="t") == ["A f B", "C h B", "A l A", "B k C"]
    assert q(term=Term("h", Application(C, B)), start="s") == ["C h -"]
    assert q(term=Term("h", Application(C, C))) == [] and q(term=Term("h", Application(C, B))) == ["- h -"]
    assert q(term_type_schema="$B -> *$", end="t") == ["- k C"]
    assert q(term_type_schema="$(x:*) -> A$", start="s", end="t") == ["A l A"]
    assert q(properties={"w": 1}, end="t") == ["- f B", "- k C"]
    assert q(properties={"w": 1}, term_type_schema="$B -> C$", start="s") == ["B k -"]
    assert q(properties={"w": 3}) == []


def test_create_edge_form(abc):
    t = Term("t", Application(A, B))
    q = abc.query().match(node="a").match("(b:B)").create(edge="e", term=t, start="a", end="b", properties={"p": [1]})
    rows = q.return_("e")
    assert table(rows, "e") == ["t"] and str(rows[0]["e"]) == "Edge(t: A -> B)"  # the first node bound to a
    stored = abc.edges[rows[0]["e"].uid()]
    assert stored.term == t and stored.properties == {"p": [1]} and stored.start.uid() == Node(A).uid()
    assert len(abc.edges) == 5
    q2 = abc.query().match("(a:C)").match("(b:D)").create(edge="e", term=t, start="a", end="b")
    assert str(q2.return_("e")[0]["e"]) == "Edge(t: C -> D)"
    assert len(abc.edges) == 5 and str(abc.edges[Edge(t, Node(A), Node(A)).uid()]) == "Edge(t: C -> D)"
    assert list(abc.edges).index(Edge(t, Node(A), Node(A)).uid()) == 4  # replaced in place


@pytest.mark.parametrize("build, error, message", [
    (lambda q: q.create(edge="e", start="a", end="b"), ValueError,
     "Invalid query: an edge needs a term to be created (create)"),
    (lambda q: q.create(edge="e", term=Term("t", A), start="a"), ValueError, "Invalid query: Variable name required"),
    (lambda q: q.create(edge="e", term=Term("t", A), start=Node(A), end="b"), ValueError,
     "Invalid query: Expected string variable name (variable extraction)"),
])
def test_create_edge_form_refused_when_queued(abc, build, error, message):
    q = abc.query().match(node="a")
    with pytest.raises(error) as err:
        build(q)
    assert str(err.value) == message
    assert q.return_count() == 4 and len(abc.edges) == 4


@pytest.mark.parametrize("setup, missing", [
    (lambda q: q, "a"), (lambda q: q.match("(b:B)"), "a"), (lambda q: q.match("(a:A)"), "b"),
    (lambda q: q.match("(a:Nothing)").match("(b:B)"), "a"), (lambda q: q.match(edge="a").match(node="b"), "a"),
    (lambda q: q.match(node="a").match(node="b").with_("b"), "a"),
])
def test_create_edge_form_unbound_at_run(abc, setup, missing):
    q = setup(abc.query()).create(edge="e2", term=Term("t", A), start="a", end="b")
    with pytest.raises(NameError) as err:
        q.return_("e2")
    assert str(err.value) == f"Variable '{missing}' not found (create)"
    assert len(abc.edges) == 4


def test_create_path_from_pattern_string():
    g = Graph()
    q = g.query().create("(a:Person {name: 'Ann'})-[knows:Person -> Person {since: 2020}]->(b:Company)")
    rows = q.return_("a", "knows", "b")
    assert table(rows, "a", "knows", "b") == ["Person knows Company"]
    e = rows[0]["knows"]
    assert e.term == Term("knows", Application(PERSON, PERSON)) and e.properties == {"since": 2020}
    assert e.start.uid() == Node(PERSON).uid() and e.end.uid() == Node(COMPANY).uid()
    assert list(g.nodes) == [Node(PERSON).uid(), Node(COMPANY).uid()] and list(g.edges) == [e.uid()]
    assert g.nodes[Node(PERSON).uid()].properties == {"name": "Ann"}
    q.return_count()
    assert len(g.nodes) == 2 and len(g.edges) == 1  # a second run replaces, it does not add
    g2 = Graph()
    made = g2.query().create("(x:(A -> B) -> C)<-[r:(A -> B) -> C]-(y:A -> B -> C)").return_("x", "r", "y")[0]
    assert made["x"].type == Application(Application(A, B), C) and made["y"].type == Application(A, Application(B, C))
    assert made["r"].start.uid() == made["y"].uid() and made["r"].end.uid() == made["x"].uid()
    assert made["r"].term == Term("r", Application(Application(A, B), C))
    g3 = Graph()
    g3.query().create("(:A)-[t:T]-(:B)").return_count()
    assert [str(v) for v in g3.edges.values()] == ["Edge(t: A -> B)"] and len(g3.nodes) == 2


@pytest.mark.parametrize("pattern, message", [
    ("(a)", "cannot {0} node 'a': it has no type"), ("(:A)-[e:T]->()", "cannot {0} node pattern 2: it has no type"),
    ("(a:*)", "cannot {0} node 'a': a wildcard is no concrete type"),
    ("(a:(x:A))", "cannot {0} node 'a': a capture group is no concrete type"),
    ("(a:A -> )", "cannot {0} node 'a': a type is missing"),
    ("(a:A)-[:T]->(b:B)", "cannot {0} edge pattern 1: it has no variable to name its term"),
    ("(a:A)-[e]->(b:B)", "cannot {0} edge 'e': its term has no type"),
    ("(a:A)-[e:*]->(b:B)", "cannot {0} edge 'e': a wildcard is no concrete type"),
    ("(a:A)-[e:T]->(b:B)-[f]->(c:C)", "cannot {0} edge 'f': its term has no type"),
])
def test_create_and_merge_refuse_non_concrete_parts(pattern, message):
    for clause in ("create", "merge"):
        g = Graph()
        q = g.query()
        with pytest.raises(ValueError) as err:
            getattr(q, clause)(pattern)
        assert str(err.value) == f"Invalid query: {message.format(clause)} ({clause})"
        assert q.return_count() == 0 and len(g.nodes) == 0 and len(g.edges) == 0


def test_merge_pattern_string_finds_or_creates():
    g = Graph()
    old_a = add_node(g, A, x=1)
    other = add_node(g, C)
    q = g.query().merge("(a:A {x: 1})-[r:A -> B {y: [1]}]->(b:B)")
    rows = q.return_("a", "r", "b")
    assert table(rows, "a", "r", "b") == ["A r B"] and len(g.nodes) == 3 and len(g.edges) == 1
    assert g.nodes[old_a.uid()] is old_a  # found, not replaced
    edge, node_b = g.edges[rows[0]["r"].uid()], g.nodes[Node(B).uid()]
    rows = q.return_("a", "r", "b")  # the re-run finds every part
    assert len(rows) == 2 and table(rows, "a", "r", "b") == ["A r B", "A r B"]
    assert g.edges[rows[0]["r"].uid()] is edge and g.nodes[Node(B).uid()] is node_b and len(g.nodes) == 3
    # a property that differs makes the part new: the node of that type is replaced
    g.query().merge("(a:A {x: 2})-[r:A -> B {y: [1]}]->(b:B)").return_count()
    assert g.nodes[old_a.uid()].properties == {"x": 2} and g.edges[edge.uid()] is edge and len(g.edges) == 1
    g.query().merge("(a:A)-[r:A -> B {y: [2]}]->(b:B)").return_count()
    assert g.edges[edge.uid()] is not edge and g.edges[edge.uid()].properties == {"y": [2]}
    # a backward part searches and creates the edge from the right node to the left one
    g.query().merge("(c:C)<-[s:B -> C]-(b:B)").return_count()
    s = [v for v in g.edges.values() if v.term.name == "s"]
    assert len(s) == 1 and s[0].start.uid() == Node(B).uid() and s[0].end.uid() == other.uid()
    g.query().merge("(c:C)<-[s:B -> C]-(b:B)").return_count()
    assert len(g.edges) == 2


def test_merge_edge_form(abc):
    base = lambda: abc.query().match("(x:A)").match("(y:B)")
    u = Term("u", Application(A, B))
    found = base().merge(edge="e", term_type_schema="$A -> B$", start="x", end="y")
    assert table(found.return_("e"), "e") == ["f"] and len(abc.edges) == 4
    assert table(base().merge(edge="e", properties={"w": 1}, start="x", end="y").return_("e"), "e") == ["f"]
    assert base().merge(edge="e", properties={"w": 2}, start="x", end="y").return_("e") == []
    assert base().merge(edge="e", term_type_schema="$C$", start="x", end="y").return_("e") == []
    assert len(abc.edges) == 4  # without a term nothing is created
    m = base().merge(edge="e", term=u, start="x", end="y", properties={"k": [1]})
    assert table(m.return_("e"), "e") == ["u"] and len(abc.edges) == 5
    made = abc.edges[Edge(u, Node(A), Node(B)).uid()]
    assert made.properties == {"k": [1]} and made.start.uid() == Node(A).uid() and made.end.uid() == Node(B).uid()
    assert table(m.return_("e"), "e") == ["u", "u"] and abc.edges[made.uid()] is made and len(abc.edges) == 5
    # the term is part of the search: another term between the same nodes is created beside f
    v = Term("v", Application(A, B))
    assert table(base().merge(edge="e", term=v, start="x", end="y").return_("e"), "e") == ["v"]
    assert len(abc.edges) == 6
    # an unbound start makes the clause do nothing
    assert abc.query().merge(edge="e", term=v, start="x", end="y").return_("e") == [] and len(abc.edges) == 6


def test_delete_with_and_without_detach(abc):
    a, b, d = (abc.nodes[Node(t).uid()] for t in (A, B, D))
    refused = abc.query().match("(d:D)").match("(b:B)").delete("d", "b")
    with pytest.raises(ValueError) as err:
        refused.return_count()
    msg = str(err.value)
    assert msg.startswith(f"Invalid query: cannot delete node {b.uid()}")
    assert msg.endswith("pass detach=True to delete its edges too (delete)")
    assert len(abc.nodes) == 4 and len(abc.edges) == 4  # d was checked, not deleted
    # deleting a node together with every edge touching it needs no detach
    with pytest.raises(ValueError, match=r"^Invalid query: cannot delete node "):
        abc.query().match("(x:C)-[e]->(y)").delete("e", "x").return_count()
    assert len(abc.edges) == 4
    abc.query().match("(a)-[e:A -> A]-(y)").match("(d:D)").delete("e", "d").return_count()
    assert [v.term.name for v in abc.edges.values()] == ["f", "h", "k"] and d.uid() not in abc.nodes
    # detach removes every edge whose start or end is a deleted node, and nothing else
    q = abc.query().match("(n:B)").delete("n", detach=True)
    assert table(q.return_("n"), "n") == ["B"]
    assert list(abc.edges) == [] and list(abc.nodes) == [a.uid(), Node(C).uid()]
    assert q.return_count() == 0  # nothing left to match, nothing to refuse


def test_detach_leaves_unrelated_edges():
    g = Graph()
    a, b, c = add_node(g, A), add_node(g, B), add_node(g, C)
    add_edge(g, "f", a, b)
    add_edge(g, "g", b, c)
    add_edge(g, "h", c, c)
    g.query().match("(x:A)").delete("x", detach=True).return_count()
    assert [v.term.name for v in g.edges.values()] == ["g", "h"] and list(g.nodes) == [b.uid(), c.uid()]
    g.query().match("(x:C)").delete("x", detach=True).return_count()
    assert list(g.edges) == [] and list(g.nodes) == [b.uid()]


def test_set_on_edges(abc):
    q = abc.query().match("(x)-[e {w: 1}]->(y)").set("e", {"w": 5, "seen": True})
    rows = q.return_("e")
    assert [r["e"].properties for r in rows] == [{"w": 5, "seen": True}, {"w": 5, "seen": True}]
    assert [v.properties for v in abc.edges.values()] == [{"w": 5, "seen": True}, {"w": 2}, {}, {"w": 5, "seen": True}]
    assert q.return_("e") == []  # the pattern no longer matches
    abc.query().match(edge="e", term_type_schema="$A -> A$").match("(n:B)").set("e", {"z": 0}).set("n", {"z": 1}) \
        .return_count()
    assert abc.edges[Edge(Term("l", Application(A, A)), Node(A), Node(A)).uid()].properties == {"z": 0}
    assert abc.nodes[Node(B).uid()].properties == {"z": 1}
