import copy
import os
import pickle
import subprocess
import sys

import pytest
import veldrin
from veldrin import (Application, Edge, EdgePattern, Graph, Node, NodePattern, PathPattern, Term, TypeSchema,
                     Variable)

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402
from models import graphs, summary  # noqa: E402

A, B, P = Variable("A"), Variable("B"), Variable("a -> (b) $:*")
F = Term("f", Application(A, Application(P, B)))
PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)


def sample_graph():
    g = Graph()
    a, b = Node(A, {"name": "a", "tags": [1, 2]}), Node(Application(P, B), {})
    g.nodes[a.uid()], g.nodes[b.uid()] = a, b
    e = Edge(F, a, b, {"w": 1.5})
    g.edges[e.uid()] = e
    return g


def samples():
    g = sample_graph()
    node, edge = list(g.nodes.values())[0], list(g.edges.values())[0]
    return [A, P, Application(Application(A, P), A), F, TypeSchema("$(x:*) -> B$"), node, edge, g,
            NodePattern(), NodePattern("n", A, "$*$", {"k": [1], "j": None}),
            EdgePattern(), EdgePattern("e", F, TypeSchema("$A$"), {"k": 2}, "backward"),
            PathPattern(), PathPattern("(n:Person {age: 3})<-[e:f]-(m)-[r]-()")]


def state(obj):
    """A value's contents as plain data: its reduce fields, followed through containers."""
    if type(obj).__name__ in veldrin.__all__:
        return (type(obj).__name__, state(obj.__reduce__()[1]))
    if isinstance(obj, dict):
        return [(k, state(v)) for k, v in obj.items()]
    if isinstance(obj, (tuple, list)):
        return [state(v) for v in obj]
    return obj


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_every_class_round_trips_at_every_protocol(protocol):
    objs = samples()
    back = pickle.loads(pickle.dumps(objs, protocol))
    assert [state(o) for o in back] == [state(o) for o in objs]
    assert [type(o) for o in back] == [type(o) for o in objs]
    assert [repr(o) for o in back] == [repr(o) for o in objs]


@pytest.mark.parametrize("a, b", [
    (NodePattern("n"), NodePattern("m")), (NodePattern(type=A), NodePattern(type=B)),
    (NodePattern(type_schema="$A$"), NodePattern(type_schema="$B$")),
    (NodePattern(properties={"k": 1}), NodePattern(properties={"k": 2})),
    (EdgePattern("e"), EdgePattern("d")), (EdgePattern(term=F), EdgePattern(term=Term("g", A))),
    (EdgePattern(term_type_schema="$A$"), EdgePattern()), (EdgePattern(properties={"k": 1}), EdgePattern()),
    (EdgePattern(direction="any"), EdgePattern()),
])
def test_every_pattern_field_travels(a, b):
    assert state(pickle.loads(pickle.dumps(a))) != state(pickle.loads(pickle.dumps(b)))


def test_fresh_interpreter_loads_every_protocol():
    objs = samples()
    blobs = [pickle.dumps(objs, p) for p in PROTOCOLS]
    script = ("import pickle, sys; from test_pickle import state; "
              "blobs = pickle.load(sys.stdin.buffer); "
              "pickle.dump([state(pickle.loads(b)) for b in blobs], sys.stdout.buffer)")
    path = os.pathsep.join([os.path.dirname(veldrin.__file__), os.path.dirname(__file__)])
    out = subprocess.run([sys.executable, "-c", script], input=pickle.dumps(blobs), capture_output=True,
                         check=True, env=dict(os.environ, PYTHONPATH=path)).stdout
    assert pickle.loads(out) == [state(objs)] * len(blobs)


@given(graphs(), st.sampled_from(PROTOCOLS))
def test_random_graphs_round_trip_with_their_sharing(g, protocol):
    assert summary(pickle.loads(pickle.dumps(g, protocol))) == summary(g)
    assert summary(copy.deepcopy(g)) == summary(g)


def test_sharing_and_cycles_survive_one_pickle():
    g = sample_graph()
    node, edge = list(g.nodes.values())[0], list(g.edges.values())[0]
    node.properties["graph"], node.properties["self"] = g, node
    for load in (lambda x: pickle.loads(pickle.dumps(x)), copy.deepcopy):
        g2, nodes2, node2, edge2 = load((g, g.nodes, node, edge))
        assert nodes2 is g2.nodes and g2.nodes[node.uid()] is node2
        assert node2.properties["graph"] is g2 and node2.properties["self"] is node2
        assert edge2.start.properties is node2.properties is g2.edges[edge.uid()].start.properties
        assert node2.properties["tags"] is not node.properties["tags"]


def test_copy_shares_and_deepcopy_copies():
    g = sample_graph()
    node, edge = list(g.nodes.values())[0], list(g.edges.values())[0]
    for obj, dicts in [(node, lambda n: [n.properties]),
                       (edge, lambda e: [e.properties, e.start.properties, e.end.properties])]:
        shallow, deep = copy.copy(obj), copy.deepcopy(obj)
        assert shallow is not obj and shallow.uid() == deep.uid() == obj.uid()
        assert all(a is b for a, b in zip(dicts(shallow), dicts(obj)))
        assert all(a == b and a is not b for a, b in zip(dicts(deep), dicts(obj)))
    shallow = copy.copy(g)
    assert shallow.nodes is not g.nodes and shallow.edges is not g.edges
    assert list(shallow.nodes.items()) == list(g.nodes.items()) and shallow.edges == g.edges
    shallow.nodes.clear()
    assert g.nodes
    pattern = NodePattern("n", properties={"k": [1]})
    assert copy.copy(pattern).__reduce__()[1][4]["k"] is pattern.__reduce__()[1][4]["k"]
    assert copy.deepcopy(pattern).__reduce__()[1][4]["k"] is not pattern.__reduce__()[1][4]["k"]


@pytest.mark.parametrize("action", [pickle.dumps, copy.copy, copy.deepcopy])
def test_query_refuses_with_the_reason(action):
    with pytest.raises(TypeError, match="bound to a live graph"):
        action(sample_graph().query().match(node="n"))


DEPTH = 10000


@pytest.mark.parametrize("fields, error", [
    (("type", ()), ValueError), (("type", ("A", 0)), ValueError), (("type", ("A", 0, 1)), ValueError),
    (("type", ("A", 1.5, 0)), TypeError), (("type", ("A", True, 0)), TypeError), (("type", ("A", -1, 0)), ValueError),
    (("type", ("A", 2**80, 0)), ValueError), (("type", "A"), TypeError),
    (("type", ("A",) + (0, 0) + tuple(x for i in range(DEPTH) for x in (i + 1, 0))), RecursionError),
    (("Node", ("A",), []), TypeError), (("Node", ("A",)), ValueError), (("Graph", {}, None), TypeError),
    (("Graph", {}, type("D", (dict,), {})()), TypeError), (("EdgePattern", None, None, ("A",), None, {}, "any"), TypeError),
    (("PathPattern", ((None,),), ()), ValueError), (("PathPattern", ([],), ()), TypeError),
    (("NodePattern", None, None, None, {1: 2}), TypeError), (("Nope",), ValueError), ((3,), TypeError), ((), TypeError),
])
def test_bad_states_raise_clear_errors(fields, error):
    with pytest.raises(error):
        veldrin._restore(*fields)


def test_a_type_at_the_depth_limit_round_trips():
    t = A
    for _ in range(DEPTH):
        t = Application(B, t)
    assert pickle.loads(pickle.dumps(t)) == t


ODD = st.sampled_from([None, 0, -1, 2**70, 1.5, "", "A", (), ("A",), ("A", 0, 0), [], {}, {"a": 1}, b"x", A, True])


def mutate(value, draw):
    if isinstance(value, tuple) and value and draw(st.booleans()):
        i = draw(st.integers(0, len(value) - 1))
        choice = draw(st.sampled_from(["into", "drop", "add"]))
        if choice == "drop":
            return value[:i] + value[i + 1:]
        if choice == "add":
            return value[:i] + (draw(ODD),) + value[i:]
        return value[:i] + (mutate(value[i], draw),) + value[i + 1:]
    return draw(ODD)


@given(st.sampled_from(samples()), st.data())
def test_mutated_states_restore_or_raise(obj, data):
    restore, fields = obj.__reduce__()
    fields = mutate(fields, data.draw)
    try:
        out = restore(*fields)
    except (TypeError, ValueError, RecursionError):
        return
    assert type(out).__name__ in veldrin.__all__
    repr(out), state(out)


def test_truncated_pickles_raise():
    blob = pickle.dumps(samples())
    for n in range(len(blob)):
        with pytest.raises(Exception):
            pickle.loads(blob[:n])
