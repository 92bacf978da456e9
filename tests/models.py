"""Random models for the property tests of pickling and the exchange formats."""

from hypothesis import strategies as st
from veldrin import Application, Edge, Graph, Node, Term, Variable

# Names the concrete-type reader cannot read back sit beside plain ones.
NAMES = st.one_of(st.sampled_from(["A", "B", "Person", "a b", "a->b", "(", "x)", "$", "*", "k:v", "", " A"]),
                  st.text(max_size=6))
TYPES = st.recursive(NAMES.map(Variable), lambda inner: st.tuples(inner, inner).map(lambda p: Application(*p)),
                     max_leaves=6)
VALUES = st.one_of(st.none(), st.booleans(), st.integers(), st.text(max_size=5), st.lists(st.integers(), max_size=3))
PROPERTIES = st.dictionaries(st.text(max_size=5), VALUES, max_size=3)


@st.composite
def graphs(draw, names=NAMES):
    """A graph whose edges run between its own nodes, sharing their property dicts."""
    types = st.recursive(names.map(Variable), lambda inner: st.tuples(inner, inner).map(lambda p: Application(*p)),
                         max_leaves=6)
    g = Graph()
    for t in draw(st.lists(types, max_size=6)):
        node = Node(t, draw(PROPERTIES))
        g.nodes[node.uid()] = node
    nodes = list(g.nodes.values())
    if nodes:
        ends = st.integers(0, len(nodes) - 1)
        for name, t, i, j in draw(st.lists(st.tuples(names, types, ends, ends), max_size=8)):
            edge = Edge(Term(name, t), nodes[i], nodes[j], draw(PROPERTIES))
            g.edges[edge.uid()] = edge
    return g


def summary(g):
    """Everything a graph holds, in dictionary order, with the sharing of property dicts."""
    return ([(k, n.type, n.properties) for k, n in g.nodes.items()],
            [(k, e.term, e.start.uid(), e.end.uid(), e.properties,
              e.start.properties is g.nodes[e.start.uid()].properties,
              e.end.properties is g.nodes[e.end.uid()].properties) for k, e in g.edges.items()])
