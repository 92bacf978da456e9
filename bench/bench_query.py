"""The query run beside plain-Python floors doing the same object work.

100,000 nodes (one type each, so each has its own UID) on one path of 99,999
edges; every other edge's term has the type A -> B.  Each case and its floor are
timed alternately in the same process, with the graph frozen out of the
collector's way; the ratio is the median of the rounds' ratios.  With Kuzu installed
(a bench-only dependency: pip install kuzu), the same graph is loaded into it
from CSV and three cases are compared.

Run: python bench/bench_query.py [node_count]
"""

import csv
import gc
import os
import sys
import tempfile

import veldrin as v
from timing import best


def paired(fn, floor, rounds=11):
    """The case and its floor timed alternately: the best of each, and the median of the
    per-round ratios (a shared machine's load drifts; pairs taken together drift alike)."""
    ts, fs = [], []
    for _ in range(rounds):
        ts.append(best(fn, repeat=1))
        fs.append(best(floor, repeat=1))
    ratios = sorted(t / f for t, f in zip(ts, fs))
    return min(ts), min(fs), ratios[len(ratios) // 2]


def build(count):
    g = v.Graph()
    A, B = v.Variable("A"), v.Variable("B")
    ab, ba = v.Application(A, B), v.Application(B, A)
    nodes = []
    for i in range(count):
        node = v.Node(v.Variable(f"N{i}"), {"age": i % 50, "name": f"n{i}"})
        g.nodes[node.uid()] = node
        nodes.append(node)
    for i in range(count - 1):
        term = v.Term(f"f{i}", ab if i & 1 else ba)
        edge = v.Edge(term, nodes[i], nodes[i + 1], {"w": i})
        g.edges[edge.uid()] = edge
    return g


def chain_time(k):
    def make():
        q = GRAPH.query()
        for _ in range(k):
            q = q.limit(1)
        return q
    return best(make, repeat=3 if k > 10_000 else 25)


class _Step:
    __slots__ = ("older",)


class _Query:
    __slots__ = ("plan",)


def python_chain_time(k):
    """The floor of a clause chain: the same two objects per call, linked the same way."""
    def make():
        q = _Query()
        q.plan = None
        for _ in range(k):
            s = _Step()
            s.older = q.plan
            q.plan = s
            n = _Query()
            n.plan = s
            q = n
        return q
    return best(make, repeat=3 if k > 10_000 else 25)


def kuzu_cases(count):
    try:
        import kuzu
    except ImportError:
        print("kuzu is not installed: skipping the comparison (pip install kuzu)")
        return None
    tmp = tempfile.mkdtemp()
    with open(os.path.join(tmp, "n.csv"), "w", newline="") as f:
        w = csv.writer(f)
        for i in range(count):
            w.writerow([i, i % 50, f"n{i}"])
    with open(os.path.join(tmp, "e.csv"), "w", newline="") as f:
        w = csv.writer(f)
        for i in range(count - 1):
            w.writerow([i, i + 1, i, "A -> B" if i & 1 else "B -> A"])
    db = kuzu.Database(os.path.join(tmp, "db"))
    conn = kuzu.Connection(db)
    conn.execute("CREATE NODE TABLE T(id INT64, age INT64, name STRING, PRIMARY KEY (id))")
    conn.execute("CREATE REL TABLE R(FROM T TO T, w INT64, ttype STRING)")
    conn.execute(f"COPY T FROM '{tmp}/n.csv'")
    conn.execute(f"COPY R FROM '{tmp}/e.csv'")

    def run(query, fetch_all=False):
        result = conn.execute(query)
        return result.get_all() if fetch_all else result.get_next()

    return {
        "chain": best(lambda: run("MATCH (a)-[e:R]->(b)-[f:R]->(c) RETURN count(*)")),
        "edge filter": best(lambda: run("MATCH (a)-[e:R]->(b) WHERE e.ttype = 'A -> B' RETURN count(*)")),
        "rows": best(lambda: run("MATCH (n:T) RETURN n", fetch_all=True), repeat=3),
    }


def main(count=100_000):
    global GRAPH
    GRAPH = g = build(count)
    nodes = list(g.nodes.values())
    edges = list(g.edges.values())
    pairs = [(n, n.properties) for n in nodes]
    gc.collect()
    gc.freeze()
    q = g.query  # a fresh query per case: a clause method also queues on the query it is called on

    cases = [
        ('match(node="n").return_count()',
         q().match(node="n").return_count, lambda: sum(1 for _ in g.nodes.values()), 2.0),
        ('match(node="n").return_("n")',
         lambda: q().match(node="n").return_("n"), lambda: [{"n": x} for x in nodes], 1.5),
        ('match(node="n", properties={"age": 30}) count',
         q().match(node="n", properties={"age": 30}).return_count,
         lambda: [x for x, p in pairs if p["age"] == 30], 0.5),
        ('where("n.age = 30") after match all, count',
         q().match(node="n").where("n.age = 30").return_count,
         lambda: [x for x, p in pairs if p["age"] == 30], 1.0),
        ('match("(a)-[e:A -> B]->(b)") count',
         q().match("(a)-[e:A -> B]->(b)").return_count,
         lambda: [e for e in edges if e.properties["w"] & 1], 1.0),
    ]
    print(f"{count} nodes, {len(edges)} edges; Python {sys.version.split()[0]}")
    print(f"{'case':<48} {'veldrin':>10} {'floor':>10} {'ratio':>7} {'goal':>6}")
    for name, fn, floor, goal in cases:
        t, f, ratio = paired(fn, floor)
        print(f"{name:<48} {t * 1e3:8.2f}ms {f * 1e3:8.2f}ms {ratio:7.2f} {'<=' + str(goal):>6}")

    chain_query = q().match("(a)-[e]->(b)-[f]->(c)")
    chain = best(chain_query.return_count)
    name = 'match("(a)-[e]->(b)-[f]->(c)") count'
    print(f"{name:<48} {chain * 1e3:8.2f}ms {'':>10} {'':>7} {'<=25ms':>6}")

    t500, t2000 = chain_time(500), chain_time(2000)
    print(f"{'a chain of 500 / 2,000 clause calls':<48} {t500 * 1e3:8.2f}ms {t2000 * 1e3:8.2f}ms "
          f"{t2000 / t500:7.2f} {'<=4.5':>6}")
    p500, p2000 = python_chain_time(500), python_chain_time(2000)
    print(f"{'  floor: two linked Python objects per call':<48} {p500 * 1e3:8.2f}ms {p2000 * 1e3:8.2f}ms "
          f"{p2000 / p500:7.2f}")
    t100k = chain_time(100_000)
    print(f"{'a chain of 100,000 clause calls':<48} {t100k * 1e3:8.2f}ms {'':>10} {'':>7} {'<1s':>6}")

    kuzu = kuzu_cases(count)
    if kuzu:
        ours = {
            "chain": chain,
            "edge filter": best(q().match("(a)-[e:A -> B]->(b)").return_count),
            "rows": best(lambda: q().match(node="n").return_("n"), repeat=3),
        }
        print(f"\n{'against Kuzu ' + __import__('kuzu').__version__:<48} {'veldrin':>10} {'kuzu':>10} {'ratio':>7}")
        for name in ours:
            print(f"{name:<48} {ours[name] * 1e3:8.2f}ms {kuzu[name] * 1e3:8.2f}ms "
                  f"{ours[name] / kuzu[name]:7.2f}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000)
