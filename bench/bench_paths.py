"""Cost of a two-edge path match as the edge dictionary grows.

The chain walk indexes edges by their end nodes once per clause, so its cost
follows the number of edges and matches, not the square of the edge count.
Run: python bench/bench_paths.py
"""

import time

import veldrin as v


def build(edge_count):
    g = v.Graph()
    nodes = []
    for i in range(edge_count + 1):
        node = v.Node(v.Variable(f"N{i}"))
        g.nodes[node.uid()] = node
        nodes.append(node)
    for i in range(edge_count):
        a, b = nodes[i], nodes[i + 1]
        term = v.Term(f"f{i}", v.Application(a.type, b.type))
        edge = v.Edge(term, a, b)
        g.edges[edge.uid()] = edge
    return g


def main():
    for edge_count in (1_000, 4_000, 16_000, 64_000):
        g = build(edge_count)
        query = g.query().match("(a)-[e1]->(b)-[e2]->(c)")
        start = time.perf_counter()
        rows = query.return_count()
        elapsed = time.perf_counter() - start
        print(f"{edge_count:>6} edges, {rows:>6} chains: {elapsed * 1e3:8.2f} ms "
              f"({elapsed / edge_count * 1e6:.2f} us per edge)")


if __name__ == "__main__":
    main()
