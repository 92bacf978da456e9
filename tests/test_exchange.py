import copy
import inspect
import json
import shutil
import subprocess
import xml.etree.ElementTree as ET

import pytest
from veldrin import Application, Edge, Graph, Node, Term, Variable

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402
from models import graphs, summary  # noqa: E402

try:
    import networkx as nx
except ImportError:  # the NetworkX test skips itself
    nx = None
# NetworkX reads the edge list from "edges" by default from 3.6 on; 3.4 and 3.5 (the last for
# CPython 3.10) must be told.
EDGES = {} if nx is None or inspect.signature(nx.node_link_graph).parameters["edges"].default == "edges" \
    else {"edges": "edges"}

A, B = Variable("A"), Variable("B")


def small_graph():
    g = Graph()
    a, b = Node(A, {"name": "a"}), Node(Application(A, B), {"n": 1})
    g.nodes[a.uid()], g.nodes[b.uid()] = a, b
    for term, start, end in [(Term("f", Application(A, B)), a, b), (Term("g", B), a, b), (Term("h", A), b, a)]:
        e = Edge(term, start, end, {"w": term.name})
        g.edges[e.uid()] = e
    return g


@given(graphs())
def test_node_link_round_trips_through_json(g):
    data = g.to_node_link()
    back = Graph.from_node_link(json.loads(json.dumps(data)))
    assert summary(back) == summary(g)
    renamed = dict(data)
    renamed["links"] = renamed.pop("edges")
    assert summary(Graph.from_node_link(renamed)) == summary(g)


@pytest.mark.skipif(nx is None, reason="NetworkX is not installed")
@given(graphs())
def test_networkx_reads_the_same_graph(g):
    G = nx.node_link_graph(g.to_node_link(), directed=True, multigraph=True, **EDGES)
    assert (G.number_of_nodes(), G.number_of_edges()) == (len(g.nodes), len(g.edges))
    for uid, node in g.nodes.items():
        assert G.nodes[uid]["type"] == str(node.type) and G.nodes[uid]["properties"] == node.properties
    for uid, edge in g.edges.items():
        attrs = G.edges[edge.start.uid(), edge.end.uid(), uid]
        assert (attrs["term"], attrs["type"], attrs["properties"]) == (edge.term.name, str(edge.term.type),
                                                                       edge.properties)
    arcs = {(e.start.uid(), e.end.uid()) for e in g.edges.values()}
    assert all(G.has_edge(s, t) == ((s, t) in arcs) for s in g.nodes for t in g.nodes)


@pytest.mark.parametrize("name, parts", [("Person", False), ("a b", True), ("a->b", True), ("", True), ("$", True)])
def test_type_parts_only_where_the_text_does_not_read_back(name, parts):
    g = Graph()
    n = Node(Application(Variable(name), A))
    g.nodes[n.uid()] = n
    assert ("type_parts" in g.to_node_link()["nodes"][0]) == parts


def deep_text(n):
    return " -> ".join(["A"] * (n + 1))


def setter(path, value):
    def change(data):
        target = data
        for key in path[:-1]:
            target = target[key]
        if value is KeyError:
            del target[path[-1]]
        else:
            target[path[-1]] = value(data) if callable(value) else value
    return change


@pytest.mark.parametrize("change, error, message", [
    (lambda d: d.clear(), ValueError, "node-link data has no field 'nodes'"),
    (setter(["links"], []), ValueError, "both 'edges' and 'links'"),
    (setter(["edges"], KeyError), ValueError, "no field 'edges' (or 'links')"),
    (setter(["nodes"], "x"), TypeError, "node-link field 'nodes' must be a list, not 'str'"),
    (setter(["nodes", 1], 5), TypeError, "node-link nodes[1] must be a dict, not 'int'"),
    (setter(["nodes", 0, "type"], KeyError), ValueError, "node-link nodes[0] has no field 'type'"),
    (setter(["nodes", 0, "type"], 3), TypeError, "node-link nodes[0]: field 'type' must be a str, not 'int'"),
    (setter(["nodes", 0, "type"], "A ->"), ValueError, "node-link nodes[0]: field 'type' is no concrete type"),
    (setter(["nodes", 0, "type"], deep_text(10001)), ValueError, "nodes[0]: field 'type' is no concrete type: the"),
    (setter(["nodes", 1, "type"], "A"), ValueError, "node-link nodes[1] repeats the type of nodes[0]"),
    (setter(["nodes", 1, "id"], lambda d: d["nodes"][0]["id"]), ValueError, "nodes[1]: field 'id' repeats"),
    (setter(["nodes", 0, "id"], []), TypeError, "node-link nodes[0]: field 'id': unhashable"),
    (setter(["nodes", 0, "properties"], []), TypeError, "nodes[0]: field 'properties' must be a dict"),
    (setter(["nodes", 0, "type_parts"], ["A", 7, 0]), ValueError, "nodes[0]: field 'type_parts': entry 1"),
    (setter(["nodes", 0, "type_parts"], ["B"]), ValueError, "nodes[0]: field 'type' is not the text of"),
    (setter(["edges", 2, "source"], "nope"), ValueError, "node-link edges[2]: field 'source' is the id of no node"),
    (setter(["edges", 0, "target"], {}), TypeError, "node-link edges[0]: field 'target': unhashable"),
    (setter(["edges", 1, "term"], "f"), ValueError, "node-link edges[1] repeats the term of edges[0]"),
    (setter(["edges", 0, "term"], KeyError), ValueError, "node-link edges[0] has no field 'term'"),
])
def test_bad_node_link_data_names_entry_and_field(change, error, message):
    data = copy.deepcopy(small_graph().to_node_link())
    data["edges"][1]["type"] = data["edges"][0]["type"]
    change(data)
    with pytest.raises(error) as info:
        Graph.from_node_link(data)
    assert message in str(info.value)


def test_deep_types_travel_by_parts():
    t = A
    for _ in range(10000):
        t = Application(B, t)
    g = Graph()
    g.nodes[Node(t).uid()] = Node(t)
    assert list(Graph.from_node_link(g.to_node_link()).nodes.values())[0].type == t


@pytest.mark.parametrize("change, error, message", [
    (lambda g: g.nodes.__setitem__("x", Node(A)), ValueError, 'Graph.nodes["x"]: the key is not the UID of its node'),
    (lambda g: g.nodes.__setitem__(1, Node(A)), TypeError, "a key of Graph.nodes must be a str, not 'int'"),
    (lambda g: g.nodes.__setitem__("x", 1), TypeError, 'Graph.nodes["x"] must be a Node, not \'int\''),
    (lambda g: g.edges.__setitem__("x", 1), TypeError, 'Graph.edges["x"] must be an Edge'),
    (lambda g: g.nodes.pop(Node(A).uid()), ValueError, "its start node is not in the graph"),
])
def test_graphs_node_link_cannot_hold_are_refused(change, error, message):
    g = small_graph()
    change(g)
    with pytest.raises(error) as info:
        g.to_node_link()
    assert message in str(info.value)


HOSTILE = st.one_of(st.text(st.characters(blacklist_categories=("Cs", "Cc")), max_size=8),
                    st.lists(st.sampled_from(['"', "\\", "\n", "\r", "\t", "\0", "&", "&amp;", "&#38;", "\\N", "\\l",
                                              "<b>", "</", "{", "}", "|", ";", "]", " ", "  ", "x"]),
                             max_size=6).map("".join))


def svg_lines(group):
    lines = [t.text or "" for t in group.iter("{http://www.w3.org/2000/svg}text")]
    return [line.replace("\xa0", " ") for line in lines]


def label_lines(label):
    return [line.replace("\xa0", " ") for line in label.replace("\0", "\u2400").split("\n") if line]


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz dot is not installed")
@settings(max_examples=40, deadline=None)
@given(graphs(names=HOSTILE))
def test_graphviz_renders_every_label_as_written(g):
    svg = subprocess.run(["dot", "-Tsvg"], input=g.to_dot().encode(), capture_output=True, check=True).stdout
    groups = {}
    for group in ET.fromstring(svg).iter("{http://www.w3.org/2000/svg}g"):
        title = group.find("{http://www.w3.org/2000/svg}title")
        key = group.get("id") if group.get("class") == "edge" else title.text if title is not None else None
        groups[key] = svg_lines(group)
    assert sum(1 for k in groups if k in g.edges) == len(g.edges)
    for uid, node in g.nodes.items():
        assert groups[uid] == label_lines(str(node.type))
    for uid, edge in g.edges.items():
        assert groups[uid] == label_lines(edge.term.name)
