"""Variable-length paths: a type search with a limit, and a full enumeration.

1. A generated library of 500 types and 5,000 functions (each an edge from
   its argument type to its result type).  "Which chains of one to six
   functions take Str to Bool?", the first 10:
       match("(a:Str)-[fs]->{1,6}(b:Bool)").limit(10).return_("fs")
   beside a plain-Python breadth-first walk that finds the same first 10
   edge-distinct chains (shortest first, in edge order) over the same edges:
   once reading the edges from the graph as the query does, once over an
   adjacency list built beforehand.  Goal: under 20 ms, and at most half the
   time of the walk that reads the graph.
2. Every path of one to three edges over a 100,000-edge graph, counted and
   returned, with the cost per path.

Each case is the best of several runs, with the graph frozen out of the
collector's way; ratios are measured in one process.
Run: python bench/bench_paths_var.py
"""

import gc
import random
import time

import veldrin as v
from timing import best as _best


def best(fn, repeat=15):
    return _best(fn, repeat)


def library(types=500, functions=5000, seed=7):
    names = ["Str", "Int", "Bool", "Float", "List", "Bytes", "Char"] + [f"T{i}" for i in range(types - 7)]
    kinds = [v.Variable(n) for n in names]
    g = v.Graph()
    nodes = [v.Node(t) for t in kinds]
    for n in nodes:
        g.nodes[n.uid()] = n
    r = random.Random(seed)
    for i in range(functions):
        a, b = r.randrange(types), r.randrange(types)
        term = v.Term(f"f{i}", v.Application(kinds[a], kinds[b]))
        e = v.Edge(term, nodes[a], nodes[b])
        g.edges[e.uid()] = e
    return g, kinds


def bfs(edges, start, goal, first, most):
    """The first `first` edge-distinct chains from `start` to `goal`, shortest first;
    `edges` is a callable giving the out-edges of a type."""
    found = []
    frontier = [(start, ())]
    for _ in range(most):
        later = []
        for at, chain in frontier:
            for e, end in edges(at):
                if e in chain:
                    continue
                longer = chain + (e,)
                if end == goal:
                    found.append(longer)
                    if len(found) == first:
                        return found
                later.append((end, longer))
        frontier = later
    return found


def adjacency(g):
    out = {}
    for e in g.edges.values():
        out.setdefault(e.start.type, []).append((e, e.end.type))
    return out


def type_search():
    g, kinds = library()
    str_, bool_ = kinds[0], kinds[2]
    gc.collect()
    gc.freeze()
    query = lambda: g.query().match("(a:Str)-[fs]->{1,6}(b:Bool)").limit(10).return_("fs")
    built = adjacency(g)
    walking = lambda: bfs(lambda t: built.get(t, ()), str_, bool_, 10, 6)

    def reading():  # the walk reads the graph's edges, as the query does
        adj = adjacency(g)
        return bfs(lambda t: adj.get(t, ()), str_, bool_, 10, 6)

    ours = [[e.uid() for e in row["fs"]] for row in query()]
    theirs = [[e.uid() for e in chain] for chain in walking()]
    assert ours == theirs, (ours, theirs)
    lengths = [len(c) for c in ours]
    t_query, t_reading, t_walking = best(query), best(reading), best(walking)
    print(f"type search: 500 types, 5,000 functions, first 10 chains Str -> Bool (lengths {lengths})")
    print(f"  veldrin match(...).limit(10).return_('fs')   {t_query * 1e3:8.3f} ms   (goal < 20 ms)")
    print(f"  Python BFS reading the edges                {t_reading * 1e3:8.3f} ms   "
          f"ratio {t_query / t_reading:.2f} (goal <= 0.5)")
    print(f"  Python BFS over a prebuilt adjacency list   {t_walking * 1e3:8.3f} ms   "
          f"ratio {t_query / t_walking:.2f}")
    full = best(lambda: g.query().match("(a:Str)-[fs]->{1,6}(b:Bool)").return_count(), 1)
    print(f"  the same without a limit (all chains)        {full * 1e3:8.1f} ms")
    gc.unfreeze()


def enumeration(node_count=50_000, edge_count=100_000, seed=11):
    g = v.Graph()
    kinds = [v.Variable(f"N{i}") for i in range(node_count)]
    nodes = [v.Node(t) for t in kinds]
    for n in nodes:
        g.nodes[n.uid()] = n
    r = random.Random(seed)
    for i in range(edge_count):
        a, b = r.randrange(node_count), r.randrange(node_count)
        e = v.Edge(v.Term(f"f{i}", v.Application(kinds[a], kinds[b])), nodes[a], nodes[b])
        g.edges[e.uid()] = e
    gc.collect()
    gc.freeze()
    q = g.query().match("(a)-[fs]->{1,3}(b)")
    start = time.perf_counter()
    paths = q.return_count()
    first = time.perf_counter() - start
    again = best(q.return_count, 3)
    rows = best(lambda: g.query().match("(a)-[fs]->{1,3}(b)").return_("fs"), 1)
    print(f"enumeration: {edge_count:,} edges over {node_count:,} nodes, every path of 1 to 3 edges")
    print(f"  {paths:,} paths; return_count {first * 1e3:.0f} ms first run ({first / paths * 1e9:.0f} ns per path), "
          f"{again * 1e3:.0f} ms again ({again / paths * 1e9:.0f} ns per path)")
    print(f"  return_('fs') {rows * 1e3:.0f} ms ({rows / paths * 1e9:.0f} ns per path)")
    gc.unfreeze()


if __name__ == "__main__":
    type_search()
    enumeration()
