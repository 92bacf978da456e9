"""Typed node lookup over a large graph, against a pure-Python loop.

Run: python bench/bench_lookup.py [node_count]
"""

import sys

import veldrin as v
from timing import best


def main(count=100_000):
    g = v.Graph()
    person = v.Variable("Person")
    for i in range(count):
        node = v.Node(v.Variable(f"T{i}"))
        g.nodes[node.uid()] = node
    target = v.Node(person, {"name": "Alice"})
    g.nodes[target.uid()] = target

    query = g.query().match(node="n", type=person)
    lookup = best(lambda: query.return_count())
    python_loop = best(lambda: [n for n in g.nodes.values() if n.type == person])
    print(f"{count} nodes: typed match {lookup * 1e3:.2f} ms, "
          f"pure-Python loop {python_loop * 1e3:.2f} ms")

    uids = best(lambda: [n.uid() for n in list(g.nodes.values())[:10_000]])
    print(f"10000 node UIDs: {uids * 1e3:.2f} ms ({uids / 10_000 * 1e9:.0f} ns each)")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000)
