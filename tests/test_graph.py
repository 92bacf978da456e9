import collections
import gc
import hashlib
import weakref

import pytest
from veldrin import Application, Edge, Graph, Node, NodePattern, Term, Variable

A, B, C = Variable("A"), Variable("B"), Variable("C")
AB = Application(A, B)
F = Term("f", AB)


def sha(text):
    return hashlib.sha256(text.encode()).hexdigest()


class Sentinel:
    pass


def test_node_shares_its_dictionary():
    d = {}
    n = Node(A, d)
    assert n.properties is d and n.properties is n.properties
    d["age"] = 30
    assert n.properties["age"] == 30
    a, b = Node(A), Node(A, None)
    assert a.properties == {} == b.properties and a.properties is not b.properties
    d2 = collections.OrderedDict(x=1)
    n.properties = d2
    assert n.properties is d2 and Node(A, d2).properties is d2


@pytest.mark.parametrize("cls, args", [(Node, (A,)), (Edge, (F, Node(A), Node(B)))])
def test_properties_setter_and_deleter(cls, args):
    obj = cls(*args)
    for bad, name in [(None, "NoneType"), ([("a", 1)], "list"), (1, "int")]:
        with pytest.raises(TypeError) as e:
            obj.properties = bad
        assert str(e.value) == f"argument 'properties': '{name}' object cannot be cast as 'dict'"
        if bad is not None:
            with pytest.raises(TypeError) as e:
                cls(*args, properties=bad)
            assert str(e.value) == f"argument 'properties': '{name}' object cannot be cast as 'dict'"
    with pytest.raises(AttributeError) as e:
        del obj.properties
    assert str(e.value) == "can't delete attribute"
    assert obj.properties == {}


def test_node_type_uid_and_text():
    v = Variable("Person")
    n = Node(v)
    v.name = "Other"
    assert n.type == Variable("Person") and n.type is not n.type and type(n.type) is Variable
    assert n.uid() == sha("node:" + Variable("Person").uid()) == Node(Variable("Person")).uid()
    assert Node(AB).uid() == sha("node:" + AB.uid()) and type(Node(AB).type) is Application
    assert str(n) == repr(n) == "Node(Person)" and str(Node(AB)) == repr(Node(AB)) == "Node((A -> B))"
    assert Node(A) != Node(A) and n == n and len({Node(A), Node(A)}) == 2
    assert Node(type=A, properties={"k": 1}).properties == {"k": 1}
    assert Node.__text_signature__ == "(type, properties=None)" and Node.uid.__text_signature__ == "($self)"


def test_edge_records_uid_and_text():
    a, b = Node(A, {"a": 1}), Node(B)
    t = Term("f", AB)
    e = Edge(t, a, b)
    assert e.start is not a and e.start.uid() == a.uid() and e.start.properties is a.properties
    assert e.end.properties is b.properties and e.start is not e.start
    a.properties = {}
    assert e.start.properties == {"a": 1} and e.start.properties is not a.properties
    assert e.term == t and e.term is not e.term and e.uid() == sha("edge:" + t.uid())
    t.name = "g"
    assert e.term.name == "f" and e.uid() == sha("edge:" + F.uid())
    assert Edge(F, b, a).uid() == e.uid() and Edge(F, a, b) != Edge(F, a, b)
    assert str(e) == repr(e) == "Edge(f: A -> B)"
    assert str(Edge(Term("h", C), Node(AB), Node(Application(AB, C)))) == "Edge(h: (A -> B) -> ((A -> B) -> C))"
    d = {}
    assert Edge(F, a, b, d).properties is d and Edge(term=F, start=a, end=b).properties == {}
    assert Edge.__text_signature__ == "(term, start, end, properties=None)"


@pytest.mark.parametrize("call, message", [
    (lambda: Node("A"), "Expected Variable or Application"),
    (lambda: Node("A", [1]), "argument 'properties': 'list' object cannot be cast as 'dict'"),
    (lambda: Node(None, {}), "Expected Variable or Application"),
    (lambda: Node(), "Node.__new__() missing 1 required positional argument: 'type'"),
    (lambda: Edge(F, Node(A), "b"), "'str' object cannot be cast as 'Node'"),
    (lambda: Edge("f", Node(A), Node(B)), "'str' object cannot be cast as 'Term'"),
    (lambda: Edge("f", 1, 2, properties=3), "argument 'properties': 'int' object cannot be cast as 'dict'"),
    (lambda: Edge("f", 1, 2), "'str' object cannot be cast as 'Term'"),
    (lambda: Edge(F, 1, "b"), "'int' object cannot be cast as 'Node'"),
    (lambda: Edge(F, Node(A), 2.5), "'float' object cannot be cast as 'Node'"),
    (lambda: Edge(F, A, Node(B)), "'Variable' object cannot be cast as 'Node'"),
    (lambda: Graph(1), "Graph.__new__() takes 0 positional arguments but 1 was given"),
])
def test_constructor_checks_in_order(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_graph_dictionaries_and_text():
    g = Graph()
    assert str(g) == repr(g) == "Graph(0 nodes, 0 edges)" and g.nodes is g.nodes and g.edges is g.edges
    assert type(g.nodes) is dict and g.nodes == {} == g.edges and g.nodes is not g.edges
    q = g.query()
    n1, n2 = Node(A), Node(A)
    g.nodes[n1.uid()] = n1
    assert str(g) == "Graph(1 nodes, 0 edges)"
    g.nodes[n2.uid()] = n2
    assert len(g.nodes) == 1 and g.nodes[n1.uid()] is n2
    assert [r["n"].properties is n2.properties for r in q.match(node="n").return_("n")] == [True]
    g.edges["x"], g.nodes["junk"] = Edge(F, n1, n2), 5
    assert str(g) == "Graph(2 nodes, 1 edges)" and g != Graph() and g == g
    for name in ("nodes", "edges"):
        with pytest.raises(AttributeError):
            setattr(g, name, {})
    assert Graph.__text_signature__ == "()" and Graph.query.__text_signature__ == "($self)"


def typed(g, t):
    return g.query().match(node="n", type=t).return_("n")


def test_nodes_of_a_type_exactly_that_type_in_order():
    g = Graph()
    nodes = {"k1": Node(A), "k2": Node(B), "k3": Node(AB), "k4": Node(Variable("(A -> B)")),
             "k5": Node(Variable("A")), "k6": Node(Application(AB, C))}
    g.nodes.update(nodes)
    for t, keys in [(A, ["k1", "k5"]), (Variable("A"), ["k1", "k5"]), (Application(Variable("A"), B), ["k3"]),
                    (Variable("(A -> B)"), ["k4"]), (C, []), (Application(B, A), [])]:
        rows = typed(g, t)
        assert [list(r) for r in rows] == [["n"]] * len(keys)
        assert [r["n"].properties for r in rows] == [nodes[k].properties for k in keys]
        assert all(r["n"].properties is nodes[k].properties for r, k in zip(rows, keys))
    assert typed(Graph(), A) == []


@pytest.mark.parametrize("entries, message", [
    ([("a", Node(A)), ("b", Node(B)), ("c", 5)], "'int' object cannot be cast as 'Node'"),
    ([("c", "x"), ("a", Node(A))], "'str' object cannot be cast as 'Node'"),
    ([("a", Node(A)), (1, Node(B))], "'int' object cannot be cast as 'str'"),
    ([(("t",), Node(B)), ("c", 5)], "'tuple' object cannot be cast as 'str'"),
    ([("c", 5), (1, Node(B))], "'int' object cannot be cast as 'Node'"),
    ([("a", Node(A)), ("e", Edge(F, Node(A), Node(B)))], "'Edge' object cannot be cast as 'Node'"),
])
def test_nodes_of_a_type_checks_every_entry(entries, message):
    g = Graph()
    g.nodes.update(entries)
    for t in (A, C):
        with pytest.raises(TypeError) as e:
            typed(g, t)
        assert str(e.value) == message


class Mutator:
    """A property value whose comparison changes the graph's node dictionary once."""

    def __init__(self, nodes, remove=None):
        self.nodes, self.remove, self.done = nodes, remove, False

    def __eq__(self, other):
        if not self.done:
            self.done = True
            if self.remove is not None:
                del self.nodes[self.remove]
            self.nodes["added"] = Node(C)
        return True

    __hash__ = object.__hash__


@pytest.mark.parametrize("remove, message", [
    (None, "dictionary changed size during iteration"),
    ("first", "dictionary keys changed during iteration"),
])
def test_walk_guards_against_a_changing_dictionary(remove, message):
    g = Graph()
    g.nodes["first"], g.nodes["second"] = Node(A, {"k": 1}), Node(B, {"k": 1})
    with pytest.raises(BaseException) as e:
        g.query().match(node="n", properties={"k": Mutator(g.nodes, remove)}).return_("n")
    assert type(e.value).__name__ == "PanicException" and str(e.value) == message
    assert not isinstance(e.value, Exception) and e.value.args == (message,)


def edge_cycle(s):
    e = Edge(F, Node(A), Node(B), {"s": s})
    e.properties["self"] = e


def graph_cycle(s):
    g = Graph()
    g.nodes["n"] = Node(A, {"graph": g, "s": s, "q": g.query().match(node="n")})


def pattern_cycle(s):
    d = {"s": s}
    d["p"] = NodePattern("n", properties={"back": d})


def query_cycle(s):
    g = Graph()
    n = Node(A, {"s": s})
    g.nodes[n.uid()] = n
    q = g.query().match(node="n")
    q.set("n", {"q": q}).return_count()  # a queued dict and a bound node both lead back to q
    q.where("n.s IS NOT NULL").execute().limit(1)  # copies share the chain and the bindings
    q.bind({"q": q, "s": s}).match("(m {s: $s})").return_count()  # and the bound values


@pytest.mark.parametrize("build", [
    lambda s: (n := Node(A, {"s": s})).properties.__setitem__("self", n), edge_cycle, graph_cycle, pattern_cycle,
    query_cycle,
    lambda s: (a := Node(A, {"s": s})).properties.__setitem__("edge", Edge(F, a, Node(B))),
])
def test_cycles_are_collected(build):
    gc.collect()
    s = Sentinel()
    ref = weakref.ref(s)
    build(s)
    del s
    gc.collect()
    assert ref() is None
