"""Quantified edges: the syntax, paths against a brute-force enumeration, the
list values they bind, early stop before a limit, and Ctrl-C during walks."""
import os
import signal
import time

import pytest
from veldrin import Application, Edge, EdgePattern, Graph, Node, PathPattern, Term, Variable

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

EXAMPLES = settings.default.max_examples if os.environ.get("HYPOTHESIS_PROFILE") else 300
TYPES = [Variable(x) for x in "ABCD"]


def build(n, ends, props=lambda k: {}):
    """Nodes of the first n types, and edge k from ends[k][0] to ends[k][1] named ek."""
    g = Graph()
    nodes = [Node(t) for t in TYPES[:n]]
    for node in nodes:
        g.nodes[node.uid()] = node
    for k, (s, e) in enumerate(ends):
        edge = Edge(Term(f"e{k}", Application(TYPES[s], TYPES[e])), nodes[s], nodes[e], props(k))
        g.edges[edge.uid()] = edge
    return g


@pytest.mark.parametrize("text, variable, direction, hops", [
    ("-[fs]->{1,3}", "fs", "forward", (1, 3)), ("-[fs:A -> B]->{2}", "fs", "forward", (2, 2)),
    ("<-[fs]-{1,}", "fs", "backward", (1, None)), ("-[fs]-{,4}", "fs", "any", (0, 4)),
    ("-[fs]->+", "fs", "forward", (1, None)), ("-[fs]->*", "fs", "forward", (0, None)),
    ("-[fs]-> { 2 , 5 }", "fs", "forward", (2, 5)), ("-[fs]->{,}", "fs", "forward", (0, None)),
    ("-[fs*1..3]->", "fs", "forward", (1, 3)), ("-[*]->", None, "forward", (1, None)),
    ("-[fs*2]->", "fs", "forward", (2, 2)), ("-[fs*..4]->", "fs", "forward", (1, 4)),
    ("-[fs*2..]->", "fs", "forward", (2, None)), ("-[fs*0..1]-", "fs", "any", (0, 1)),
    ("-[fs:Knows*1..3]->", "fs", "forward", (1, 3)), ("-[fs:(A -> B)*2]->", "fs", "forward", (2, 2)),
    ("<-[fs:$A$* {w: 1}]-", "fs", "backward", (1, None)), ("-[fs *1..3:A]->", "fs", "forward", (1, 3)),
    ("-[f:*]->", "f", "forward", None), ("-[f:A -> *]->", "f", "forward", None),
    ("-[f:(x:*)]->", "f", "forward", None), ("-[f:$*$]->", "f", "forward", None),
    ("-[f:* -> A]->", "f", "forward", None), ("-[f:$Knows*x$]->", "f", "forward", None),
])
def test_accepted_edge_forms(text, variable, direction, hops):
    (e,) = PathPattern.parse(f"(a){text}(b)").edges
    assert (e.variable, e.direction, e.hops) == (variable, direction, hops)
    assert repr(e) == repr(EdgePattern(variable, direction=direction))


@pytest.mark.parametrize("pattern, reference", [
    ("(a)-[f:*]->(b)", "(a)-[f]->(b)"), ("(a)-[f:A -> *]->(b)", "(a)-[f:$A -> *$]->(b)"),
    ("(a)-[f:(x:*)]->(b)", "(a)-[f]->(b)"), ("(a)-[f:$*$]->(b)", "(a)-[f]->(b)"),
])
def test_wildcards_stay_single_edges(pattern, reference):
    g = build(3, [(0, 1), (1, 2), (0, 0)])
    got = g.query().match(pattern).return_("a", "f", "b")
    assert got and all(isinstance(r["f"], Edge) for r in got)
    assert [r["f"].uid() for r in got] == [r["f"].uid() for r in g.query().match(reference).return_("f")]


@pytest.mark.parametrize("pattern, part, reason", [
    ("(a)-[fs]->{3,1}(b)", "-[fs]->{3,1}", "Quantifier lower bound 3 is above its upper bound 1"),
    ("(a)-[fs*3..1]->(b)", "-[fs*3..1]->", "Quantifier lower bound 3 is above its upper bound 1"),
    ("(a)-[fs]->{-1,2}(b)", "-[fs]->{-1,2}", "Quantifier bound '-1' is negative"),
    ("(a)-[fs*-2]->(b)", "-[fs*-2]->", "Quantifier bound '-2' is negative"),
    ("(a)-[fs]->{x}(b)", "-[fs]->{x}", "Quantifier bound 'x' is not a number"),
    ("(a)-[fs*1..x]->(b)", "-[fs*1..x]->", "Quantifier bound 'x' is not a number"),
    ("(a)-[fs:Knows*1.5]->(b)", "-[fs:Knows*1.5]->", "Quantifier bound '1.5' is not a number"),
    ("(a)-[fs]->{}(b)", "-[fs]->{}", "Quantifier {} has no bounds"),
    ("(a)-[fs]->{99999999999999999999}(b)", "-[fs]->{99999999999999999999}",
     "Quantifier bound '99999999999999999999' is too large"),
    ("(a)-[fs*2]->{2}(b)", "-[fs*2]->{2}", "Edge has more than one quantifier"),
    ("(a)-[fs]->+*(b)", "-[fs]->+*", "Edge has more than one quantifier"),
    ("(a)-[fs*:K*2]->(b)", "-[fs*:K*2]->", "Edge has more than one quantifier"),
    ("(a){2}-[e]->(b)", "(a){2}", "Quantifier must follow an edge, not a node pattern"),
    ("(a)-[e]->(b)+", "(b)+", "Quantifier must follow an edge, not a node pattern"),
    ("*(a)", "*", "Quantifier needs an edge before it"),
    ("{1,2}(a)-[e]->(b)", "{1,2}", "Quantifier needs an edge before it"),
    ("(a)-{2}[e]->(b)", "-{2}[e]->", "Quantifier must follow the edge's closing arrow"),
    ("(a)-[e]{2}->(b)", "-[e]{2}->", "Quantifier must follow the edge's closing arrow"),
    ("(a)-[e]->{1,2(b)", "(a)-[e]->{1,2(b)", "Unclosed '{' in pattern"),
])
def test_refused_quantifiers(pattern, part, reason):
    for call in (PathPattern.parse, Graph().query().match):
        with pytest.raises(ValueError) as err:
            call(pattern)
        assert str(err.value) == f"Invalid pattern '{part}': {reason}"


@pytest.mark.parametrize("clause", ["create", "merge"])
@pytest.mark.parametrize("pattern, what", [("(a:A)-[fs:A -> A]->{1,2}(b:A)", "edge 'fs'"),
                                           ("(a:A)-[*]->(b:B)", "edge pattern 1")])
def test_create_and_merge_refuse_quantified_edges(clause, pattern, what):
    with pytest.raises(ValueError) as err:
        getattr(Graph().query(), clause)(pattern)
    assert str(err.value) == (f"Invalid query: cannot {clause} {what}: a quantified edge stands for a path, "
                              f"not one edge to make ({clause})")


def test_star_on_an_edge_variable_is_a_quantifier_now():
    # `fs*1..3` used to name a variable and match single edges
    g = build(3, [(0, 1), (1, 2)])
    rows = g.query().match("(a:A)-[fs*1..3]->(b)").return_("fs", "fs*1..3")
    assert [[e.term.name for e in r["fs"]] for r in rows] == [["e0"], ["e0", "e1"]]


# ---- paths against a brute-force enumeration ------------------------------------------

edge_shape = st.tuples(st.sampled_from(["->", "<-", "-"]), st.integers(0, 3), st.integers(0, 2),
                      st.booleans(), st.booleans())  # direction, lo, hi - lo (2: none), w filter, star form


@st.composite
def cases(draw):
    n = draw(st.integers(1, 4))
    ends = draw(st.lists(st.tuples(st.integers(0, n - 1), st.integers(0, n - 1)), max_size=5))
    ws = draw(st.lists(st.integers(0, 1), min_size=len(ends), max_size=len(ends)))
    shapes = draw(st.lists(edge_shape, min_size=1, max_size=2))
    fixed = draw(st.sampled_from([None, 0, 1]))  # one pattern edge plain, when there are two
    node_types = draw(st.lists(st.none() | st.integers(0, n - 1), min_size=len(shapes) + 1,
                               max_size=len(shapes) + 1))
    return n, ends, ws, shapes, fixed if len(shapes) == 2 else None, node_types


def pattern_of(shapes, fixed, node_types):
    text, bounds = "", []
    for j, t in enumerate(node_types):
        text += f"(n{j}" + (f":{TYPES[t]}" if t is not None else "") + ")"
        if j == len(shapes):
            break
        way, lo, extra, w, star = shapes[j]
        hi = None if extra == 2 else lo + extra
        body = f"r{j}" + (" {w: 1}" if w else "")
        if j == fixed:
            lo = hi = 1
            q = ""
        elif star and lo > 0:
            body = f"r{j}*{lo}.." + ("" if hi is None else str(hi)) + (" {w: 1}" if w else "")
            q = ""
        else:
            q = "{%d,%s}" % (lo, "" if hi is None else hi)
        text += {"->": f"-[{body}]->", "<-": f"<-[{body}]-", "-": f"-[{body}]-"}[way] + q
        bounds.append((way, lo, hi, w, j != fixed))
    return text, bounds


def brute(n, ends, ws, bounds, node_types):
    """Every path as (steps, node per pattern node, edges per pattern edge)."""
    holds = lambda j, at: node_types[j] is None or node_types[j] == at
    found = []

    def hops(way, w):
        for i, (s, e) in enumerate(ends):
            if w and ws[i] != 1:
                continue
            if way in ("->", "-"):
                yield i, 0, s, e
            if way == "<-" or (way == "-" and s != e):
                yield i, 1, e, s

    def go(r, at, used, steps, nodes, per_edge):
        if r == len(bounds):
            found.append((steps, nodes, per_edge))
            return
        way, lo, hi, w, _ = bounds[r]
        hi = len(ends) if hi is None else min(hi, len(ends))

        def extend(k, here, used, steps, taken):
            if k >= lo and holds(r + 1, here):
                go(r + 1, here, used, steps, nodes + [here], per_edge + [taken])
            if k < hi:
                for i, o, s, e in hops(way, w):
                    if s == here and i not in used:
                        extend(k + 1, e, used | {i}, steps + [(i, o)], taken + [i])

        extend(0, at, used, steps, [])

    for start in range(n):
        if holds(0, start):
            go(0, start, frozenset(), [], [start], [])
    return found


def flat(rows):
    """Rows as comparable values: each name with the UID of its value, or the UIDs of its list."""
    uid = lambda v: [x.uid() for x in v] if isinstance(v, list) else v.uid()
    return [sorted((k, uid(v)) for k, v in r.items()) for r in rows]


def observed(rows, bounds):
    out = []
    for r in rows:
        nodes = [TYPES.index(r[f"n{j}"].type) for j in range(len(bounds) + 1)]
        per_edge = [[e.term.name for e in (r[f"r{j}"] if b[4] else [r[f"r{j}"]])] for j, b in enumerate(bounds)]
        out.append((nodes, [[int(x[1:]) for x in names] for names in per_edge]))
    return out


@settings(max_examples=EXAMPLES, deadline=None)
@given(cases(), st.integers(0, 4), st.integers(0, 6))
def test_paths_match_brute_force(case, skip, limit):
    n, ends, ws, shapes, fixed, node_types = case
    text, bounds = pattern_of(shapes, fixed, node_types)
    g = build(n, ends, lambda k: {"w": ws[k]})
    names = [f"n{j}" for j in range(len(bounds) + 1)] + [f"r{j}" for j in range(len(bounds))]
    expected = brute(n, ends, ws, bounds, node_types)
    rows = g.query().match(text).return_(*names)
    got = observed(rows, bounds)
    lengths = [sum(len(x) for x in per_edge) for _, per_edge in got]
    assert lengths == sorted(lengths)  # shortest first
    assert sorted(got) == sorted((nodes, per_edge) for _, nodes, per_edge in expected)
    if sum(b[4] for b in bounds) == 1:  # one quantified edge: within a length, the chain walk's order
        expected.sort(key=lambda x: (len(x[0]), x[0], x[1][0]))
        assert got == [(nodes, per_edge) for _, nodes, per_edge in expected]
    for r in rows:  # distinct edges, nodes repeat freely
        uids = [e.uid() for j, b in enumerate(bounds) for e in (r[f"r{j}"] if b[4] else [r[f"r{j}"]])]
        assert len(uids) == len(set(uids))
    # a limit, with skip and where before it, gives what the full run gives
    full = g.query().match(text).where(f"size(r0) <> {skip % 3} OR n0:A").return_(*names)
    cut = g.query().match(text).where(f"size(r0) <> {skip % 3} OR n0:A").skip(skip).limit(limit)
    assert observed(cut.return_(*names), bounds) == observed(full[skip:skip + limit], bounds)
    # other columns longer than the match's rows take part in the where
    wider = lambda q: q.match(node="z").match(text).where("z:B OR size(r0) = 1")
    assert flat(wider(g.query()).limit(limit).return_("z", "r0")) == flat(wider(g.query()).return_("z", "r0")[:limit])


# ---- list values ------------------------------------------------------------------------

def line():
    """A -e0-> B -e1-> C -e2-> D, and a loop e3 on B."""
    return build(4, [(0, 1), (1, 2), (2, 3), (1, 1)], lambda k: {"w": k})


def test_list_values_through_the_row_clauses():
    g = line()
    q = lambda: g.query().match("(a:A)-[fs*]->(b)")  # clause methods extend the query they are called on
    names = lambda rows: [[e.term.name for e in r["fs"]] for r in rows]
    everything = names(q().return_("fs"))
    assert everything == [["e0"], ["e0", "e1"], ["e0", "e3"], ["e0", "e1", "e2"], ["e0", "e3", "e1"],
                          ["e0", "e3", "e1", "e2"]]
    assert q().return_count() == 6 and names(q().skip(2).limit(2).return_("fs")) == everything[2:4]
    assert names(q().with_("fs").return_("fs", "a")) == everything and q().with_("a").return_("fs") == []
    assert names(q().where("size(fs) = 3").return_("fs")) == everything[3:5]
    again = lambda: q().match("(c:A)-[gs*1..2]->(d)")  # aligned by position: the first three rows are equal
    assert again().where("fs = gs").return_count() == 3
    assert again().where("fs <> gs").return_count() == 0  # rows past gs's compare with null
    assert again().where("fs = a OR gs = [] OR a = fs").return_count() == 0
    both_ways = g.query().match("(a)-[fs*1]-(b)")  # each edge twice, the loop once
    assert len(both_ways.return_("fs")) == 7 and flat(both_ways.return_distinct("fs")) == \
        flat({"fs": [e]} for e in g.edges.values())
    assert names(g.query().match("(a)-[fs]->{0,0}(b)").return_("fs")) == [[]] * 4


@pytest.mark.parametrize("condition, expected", [
    ("size(fs) = 2", 2), ("SIZE ( fs ) >= 3", 3), ("size(a.name) = 3", 6), ("size(a.tags) = 2", 6),
    ("size(a) IS NULL", 6), ("size(fs.w) IS NULL", 6), ("fs:$*$ IS NULL", 6), ("size('abc') = 3", 6),
    ("size([1, [2]]) = 2", 6), ("size(5) IS NULL", 6), ("size(a.nope) IS NULL", 6),
])
def test_size_and_list_values_in_where(condition, expected):
    g = line()
    g.nodes[Node(TYPES[0]).uid()].properties.update(name="Ann", tags=[1, 2])
    assert g.query().match("(a:A)-[fs*]->(b)").where(condition).return_count() == expected


def test_list_in_a_boolean_place_and_order_by():
    g = line()
    with pytest.raises(TypeError, match=r"^Type mismatch: expected boolean, got list \(in where\)$"):
        g.query().match("(a:A)-[fs*]->(b)").where("fs").return_count()
    # a list has no properties: order_by sorts its rows as values of the "other" kind, before
    # nulls; here a node without the key is moved first, then sorted after the lists
    for t in TYPES[1:3]:
        g.nodes[Node(t).uid()].properties["w"] = 1
    q = g.query().match("(a:A)-[fs*1..2]->(b)").merge(node="fs", type=TYPES[3])
    moved = q.order_by("b", "w", ascending=False)
    assert [type(r["fs"]).__name__ for r in moved.return_("fs")] == ["Node", "list", "list", "list"]
    assert [type(r["fs"]).__name__ for r in moved.order_by("fs", "w").return_("fs")] == ["list"] * 3 + ["Node"]


def test_set_and_delete_reach_every_edge_of_a_list():
    g = line()
    g.query().match("(a:B)-[fs*2]->(b:C)").set("fs", {"seen": True}).return_count()
    assert [e.term.name for e in g.edges.values() if e.properties.get("seen")] == ["e1", "e3"]
    g.query().match("(a:B)-[fs*2]->(b:C)").delete("fs").return_count()
    assert [e.term.name for e in g.edges.values()] == ["e0", "e2"]


# ---- early stop ----------------------------------------------------------------------------

class Counted:
    """A property value that counts how often it is compared."""
    calls = 0

    def __init__(self, v):
        self.v = v

    def __eq__(self, other):
        Counted.calls += 1
        return self.v == other

    __hash__ = object.__hash__


def ring(n):
    """n nodes in a ring, each with edges to the next two; every edge and node has w: Counted(1)."""
    g = Graph()
    types = [Variable(f"T{i}") for i in range(n)]
    for t in types:
        node = Node(t, {"w": Counted(1)})
        g.nodes[node.uid()] = node
    for i in range(n):
        for step in (1, 2):
            s, e = Node(types[i], {"w": Counted(1)}), Node(types[(i + step) % n], {"w": Counted(1)})
            edge = Edge(Term(f"f{i}_{step}", Application(s.type, e.type)), s, e, {"w": Counted(1)})
            g.edges[edge.uid()] = edge
    return g


@pytest.mark.parametrize("build_query", [
    lambda q: q.match("(a {w: 1})-[fs {w: 1}]->{1,6}(b {w: 1})"),
    lambda q: q.match("(a {w: 1})-[fs {w: 1}]->{1,4}(b {w: 1})").where("size(fs) = 1").skip(2),
    lambda q: q.match("(a {w: 1})-[e1 {w: 1}]->(b)-[e2 {w: 1}]->(c {w: 1})"),
    lambda q: q.match("(a {w: 1})-[e {w: 1}]-(b)"),
    lambda q: q.match("(a {w: 1})"),
    lambda q: q.match(edge="e", properties={"w": 1}).skip(3),
])
def test_limit_stops_the_walk(build_query):
    g = ring(300)
    Counted.calls = 0
    full = build_query(g.query()).return_("a", "e", "e1", "fs")
    full_calls, Counted.calls = Counted.calls, 0
    first = build_query(g.query()).limit(5).return_("a", "e", "e1", "fs")
    assert len(first) == 5 and [sorted(r) for r in first] == [sorted(r) for r in full[:5]]
    assert Counted.calls * 20 < full_calls


# ---- Ctrl-C ---------------------------------------------------------------------------------

class Interrupting:
    """Raises SIGINT from its comparison once `after` comparisons have happened."""
    def __init__(self, after):
        self.after = after

    def __eq__(self, other):
        self.after -= 1
        if self.after == 0:
            signal.raise_signal(signal.SIGINT)
        return True

    __hash__ = object.__hash__


def dense(n, props=lambda: {}):
    g = Graph()
    nodes = [Node(Variable(f"T{i}")) for i in range(n)]
    for node in nodes:
        g.nodes[node.uid()] = node
    for i, s in enumerate(nodes):
        for j, e in enumerate(nodes):
            edge = Edge(Term(f"f{i}_{j}", Application(s.type, e.type)), s, e, props())
            g.edges[edge.uid()] = edge
    return g


def test_signal_from_a_comparison_interrupts_the_walk():
    marker = Interrupting(100)
    g = dense(12, lambda: {"w": marker})
    before = [(k, dict(v.properties)) for k, v in g.edges.items()]
    q = g.query().match("(a)-[fs {w: 1}]->{1,3}(b)").set("fs", {"touched": True})
    with pytest.raises(KeyboardInterrupt):
        q.return_count()
    assert [(k, dict(v.properties)) for k, v in g.edges.items()] == before  # nothing half-done
    assert g.query().match("(a)-[fs]->{1,1}(b)").return_count() == 144


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
def test_long_walk_without_python_code_answers_a_signal():
    g = dense(9)  # walks of up to 8 of its 81 edges: several seconds uninterrupted

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        started = time.perf_counter()
        with pytest.raises(KeyboardInterrupt):
            g.query().match("(a)-[fs*1..8]->(b:Nowhere)").return_count()
        assert time.perf_counter() - started < 2
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_node_numbering_grows_past_its_first_size():
    # 3,000 separate edges have twice as many node identities as edges, more than the
    # numbering is first sized for; a line of 3,000 walks one long path with a limit
    g = Graph()
    for i in range(3000):
        a, b = Node(Variable(f"N{i}")), Node(Variable(f"M{i}"))
        edge = Edge(Term(f"f{i}", Application(a.type, b.type)), a, b)
        g.edges[edge.uid()] = edge
    assert g.query().match("(a)-[fs*1..2]->(b)").return_count() == 3000
    assert g.query().match("(a)-[e1]->(b)-[e2]-(c)").return_count() == 0
    line = Graph()
    nodes = [Node(Variable(f"N{i}")) for i in range(3001)]
    for a, b in zip(nodes, nodes[1:]):
        edge = Edge(Term(f"f{a.type}", Application(a.type, b.type)), a, b)
        line.edges[edge.uid()] = edge
    assert line.query().match("(a:N7)-[fs*]->(b:N3000)").limit(1).return_count() == 1


@pytest.mark.parametrize("edge", ["-[fs]->{1,2}", "<-[fs]-{1,2}", "-[fs]-{1,2}", "-[fs:$T3 -> *$]-{1,3}"])
def test_selective_first_node_finds_the_same_starts(edge):
    # a first node pattern of types only takes its edges from the adjacency lists; with a
    # property test it scans every edge: the rows are the same
    import random
    r = random.Random(3)
    types = [Variable(f"T{i}") for i in range(40)]
    g = Graph()
    for t in types:
        node = Node(t, {"k": 1})
        g.nodes[node.uid()] = node
    for i in range(400):
        a, b = g.nodes[Node(r.choice(types[:20])).uid()], g.nodes[Node(r.choice(types[:20])).uid()]
        e = Edge(Term(f"f{i}", Application(a.type, b.type)), a, b)
        g.edges[e.uid()] = e
    fast = g.query().match(f"(a:T3){edge}(b)").return_("a", "fs", "b")
    assert fast and flat(fast) == flat(g.query().match(f"(a:T3 {{k: 1}}){edge}(b)").return_("a", "fs", "b"))
