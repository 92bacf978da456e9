import copy
import gc
import pickle
import sys
import tracemalloc

import pytest
import veldrin
from veldrin import (Application, Edge, EdgePattern, Graph, Node, NodePattern, PathPattern, Term, TypeSchema,
                     Variable)

P, C, T = Variable("Person"), Variable("Company"), Variable("Temp")
WORKS = Term("works", Application(P, C))
ROUNDS = 2000
SENTINEL = object()  # a property value held by records, bindings and rows


def small_graph():
    g = Graph()
    a = Node(P, {"name": "a", "age": 30, "tag": SENTINEL})
    b = Node(C, {"name": "b", "age": 5})
    g.nodes[a.uid()], g.nodes[b.uid()] = a, b
    g.edges[WORKS.uid()] = Edge(WORKS, a, b, {"since": 2020})
    return g


def every_clause(g):
    q = (g.query()
         .bind({"tag": SENTINEL, "min": 1, "names": ["a", [SENTINEL]], "b": "b"})
         .match(node="n", type=P, properties={"tag": SENTINEL})
         .match("(s:Person {tag: $tag})-[e]->(t:Company)")
         .where("n.age > $min AND s.name IN $names")
         .create("(made:Temp {v: [$min, $names], tag: $tag})")
         .create(node="tmp", type=T, properties={"v": [1, 2], "tag": SENTINEL})
         .merge("(old:Company {name: $b})")
         .merge(node="m", type=C, properties={"name": "b"})
         .merge(edge="k", start="s", end="t")
         .set("n", {"seen": SENTINEL, "count": 1})
         .delete("tmp")
         .with_("n", "m", "s", "e", "t", "k", "tmp")
         .order_by("n", "age", ascending=False)
         .skip(0)
         .limit(10))
    rows = q.return_("n", "m", "e", "k", "tmp")
    assert len(rows) == 1 and set(rows[0]) == {"n", "m", "e", "k", "tmp"}
    assert len(q.return_distinct("n", "s")) == 1
    assert q.return_count() == q.execute().return_count() == 2  # where keeps the first row, merge appends one


class Reenter:
    def __init__(self):
        self.query = None

    def __eq__(self, other):
        self.query.return_count()  # refused: the query is running
        return True
    __hash__ = None


def failing_calls(g):
    q = g.query().match(node="n")
    for call, exc in [
        (lambda: q.limit(-1), OverflowError), (lambda: q.skip(2.5), TypeError), (lambda: q.set("n", None), TypeError),
        (lambda: q.match("(n", node="x"), ValueError), (lambda: q.create(edge="e", term=WORKS, start=1), ValueError),
        (lambda: q.merge(edge="e", term=WORKS, start="a"), ValueError), (lambda: q.return_(["n"]), TypeError),
        (lambda: q.match(node="n", properties={1: SENTINEL}), TypeError), (lambda: q.where("n.age >"), ValueError),
        (lambda: q.bind([SENTINEL]), TypeError), (lambda: q.bind({"a": SENTINEL, 1: 1}), TypeError),
        (lambda: q.match("(n {a: $nope})").bind({"a": SENTINEL}).return_count(), NameError),
    ]:
        with pytest.raises(exc):
            call()
    bad = Graph()
    bad.nodes["junk"] = SENTINEL
    with pytest.raises(TypeError):
        bad.query().create(node="p", type=P, properties={"t": SENTINEL}).match(node="n").return_("n")
    value = Reenter()
    borrowed = Graph()
    borrowed.nodes["k"] = Node(P, {"x": value})
    value.query = borrowed.query().match(node="n", properties={"x": 1})
    with pytest.raises(RuntimeError):
        value.query.return_("n")
    value.query = None


def exchange(g):
    g.edges.update({e.uid(): e for e in g.edges.values()})  # node-link needs edges under their own UIDs
    g.edges.pop(WORKS.uid(), None)
    values = [g, *g.nodes.values(), *g.edges.values(), Application(P, C), WORKS, TypeSchema("$*$"),
              NodePattern("n", P, "$*$", {"tag": SENTINEL}), EdgePattern("e", WORKS, None, {"tag": SENTINEL}),
              PathPattern("(a:Person {t: [1]})-[e]->(b)")]
    assert len(pickle.loads(pickle.dumps(values, 5))) == len(copy.deepcopy(values)) == len(values)
    [copy.copy(v) for v in values]
    assert len(Graph.from_node_link(g.to_node_link()).edges) == 1 and g.to_dot()
    data = g.to_node_link()
    data["edges"][0]["source"] = SENTINEL
    for call in [lambda: veldrin._restore("Node", ("A", 5, 0), {"tag": SENTINEL}),
                 lambda: veldrin._restore("Edge", "f", ("A",), ("A",), {}, ("A",), {}, [SENTINEL]),
                 lambda: veldrin._restore("PathPattern", (("n", None, None, {"t": SENTINEL}),), ((None,),)),
                 lambda: Graph.from_node_link(data), lambda: pickle.dumps(g.query()),
                 lambda: copy.deepcopy(Node(P, {"bad": g.query()}))]:
        with pytest.raises((TypeError, ValueError)):
            call()


def fill_tuple_free_lists():
    """The interpreter keeps up to 2000 freed tuples of each small size for reuse; filled now, their
    slow filling by the rounds (pickle frees many 2-tuples) does not count as growth."""
    held = [tuple(range(n)) for n in range(1, 21) for _ in range(2100)]
    del held


def live_objects():
    gc.collect()
    return len(gc.get_objects())


@pytest.mark.parametrize("scenario", [every_clause, failing_calls, exchange])
def test_repeated_queries_do_not_grow_live_objects_or_memory(scenario):
    sentinel_refs = sys.getrefcount(SENTINEL)
    g = small_graph()
    for _ in range(50):
        scenario(g)
    objects = live_objects()
    refs = sys.getrefcount(SENTINEL)
    tracemalloc.start()
    try:
        for _ in range(50):
            scenario(g)
        gc.collect()
        fill_tuple_free_lists()
        traced = tracemalloc.get_traced_memory()[0]
        for _ in range(ROUNDS):
            scenario(g)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    assert live_objects() <= objects + 50
    assert grown < 32 * 1024, grown  # one leaked object() per round would take 64 KiB
    assert sys.getrefcount(SENTINEL) == refs
    del g
    gc.collect()
    assert sys.getrefcount(SENTINEL) == sentinel_refs
