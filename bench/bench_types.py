"""Remembered type digests and cheap value objects, each beside an in-run floor.

Every row times one operation and a floor measured in the same process, and
prints the ratio; the goal column is what the row should stay within.
Run: python bench/bench_types.py [node_count]
"""

import gc
import hashlib
import sys
import timeit

import veldrin as v


def per_call(stmt, names):
    """Best time of one execution of `stmt`, in seconds, over runs of about 0.1 s."""
    timer = timeit.Timer(stmt, globals=names)
    number = max(1, timer.autorange()[0] // 2)
    return min(timer.repeat(repeat=7, number=number)) / number


def paired(stmt, floor_stmt, names, rounds=15):
    """Times of `stmt` and of its floor, taken in alternation so that both
    meet the same machine load: the best time of each and the median ratio of
    the pairs."""
    timers = [timeit.Timer(s, globals=names) for s in (stmt, floor_stmt)]
    numbers = [max(1, t.autorange()[0] // 4) for t in timers]
    pairs = [[t.timeit(n) / n for t, n in zip(timers, numbers)] for _ in range(rounds)]
    ratios = sorted(a / b for a, b in pairs)
    return min(a for a, _ in pairs), min(b for _, b in pairs), ratios[len(ratios) // 2]


def best(fn, repeat=5):
    return min(timeit.repeat(fn, repeat=repeat, number=1))


def chain(depth):
    t = v.Variable("A")
    for i in range(depth):
        t = v.Application(t, v.Variable(f"B{i}")) if i % 2 else v.Application(v.Variable(f"C{i}"), t)
    return t


def row(label, seconds, floor=0, ratio=None, floor_label="", goal=""):
    ratio_text = f"{ratio:6.2f}x" if ratio is not None else "      -"
    floor_text = f"{floor * 1e9:9.1f} ns" if floor else " " * 12
    print(f"{label:<34} {seconds * 1e9:11.1f} ns   {floor_label:<26} {floor_text}  {ratio_text}   {goal}")


def main(count=100_000):
    print(f"Python {sys.version.split()[0]}")
    print(f"{'operation':<34} {'time':>14}   {'floor':<26} {'':>12}  {'ratio':>7}   goal")
    names = {"sha256": hashlib.sha256, "block": b"x" * 64, "v": v, "pair": (1, 2),
             "t10": chain(10), "node": v.Node(chain(10)), "deep": v.Node(chain(1000)),
             "ab": v.Application(v.Variable("A"), v.Variable("B"))}
    for first_call in ("t10.uid()", "node.uid()", "deep.uid()", "hash(ab)"):
        eval(first_call, names)
    digest = "sha256(block).hexdigest()"
    for label, stmt, floor_label, floor_stmt, goal in [
            ("uid(), depth-10 type", "t10.uid()", "SHA-256 of a 64-byte block", digest, "<= 200 ns"),
            ("Node.uid()", "node.uid()", "SHA-256 of a 64-byte block", digest, "<= 150 ns"),
            ("hash(Application(A, B))", "hash(ab)", "hash((1, 2))", "hash(pair)", "<= 1.3x"),
            ('Variable("P")', 'v.Variable("P")', "object()", "object()", "<= 1.6x")]:
        row(label, *paired(stmt, floor_stmt, names), floor_label=floor_label, goal=goal)
    row("Node.uid(), type depth 1000", per_call("deep.uid()", names), goal="<= 1000 ns")

    g = v.Graph()
    for i in range(count):
        node = v.Node(v.Variable(f"T{i}"), {"i": i})
        g.nodes[node.uid()] = node
    query = g.query().match(node="n")
    query.return_distinct("n")  # the first call computes every identity hash once
    gc.collect()
    gc.freeze()
    try:
        pairs = [(best(lambda: query.return_distinct("n"), 1), best(lambda: query.return_("n"), 1))
                 for _ in range(7)]
    finally:
        gc.unfreeze()
    distinct, plain = min(d for d, _ in pairs), min(p for _, p in pairs)
    ratio = sorted(d / p for d, p in pairs)[len(pairs) // 2]
    print(f"return_distinct, {count} nodes       {distinct * 1e3:11.2f} ms   "
          f"return_ of the same rows   {plain * 1e3:9.2f} ms  {ratio:6.2f}x   <= 1.2x")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000)
