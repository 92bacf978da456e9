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


def best(fn, repeat=5):
    return min(timeit.repeat(fn, repeat=repeat, number=1))


def chain(depth):
    t = v.Variable("A")
    for i in range(depth):
        t = v.Application(t, v.Variable(f"B{i}")) if i % 2 else v.Application(v.Variable(f"C{i}"), t)
    return t


def row(label, seconds, floor_label, floor, goal):
    ratio = f"{seconds / floor:6.2f}x" if floor else "      -"
    floor_text = f"{floor * 1e9:9.1f} ns" if floor else " " * 12
    print(f"{label:<34} {seconds * 1e9:11.1f} ns   {floor_label:<26} {floor_text}  {ratio}   {goal}")


def main(count=100_000):
    print(f"Python {sys.version.split()[0]}")
    print(f"{'operation':<34} {'time':>14}   {'floor':<26} {'':>12}  {'ratio':>7}   goal")
    names = {"sha256": hashlib.sha256, "block": b"x" * 64, "v": v, "pair": (1, 2)}
    digest = per_call("sha256(block).hexdigest()", names)

    names["t10"] = chain(10)
    names["t10"].uid()
    row("uid(), depth-10 type", per_call("t10.uid()", names),
        "SHA-256 of a 64-byte block", digest, "<= 200 ns")

    names["node"] = v.Node(chain(10))
    names["node"].uid()
    row("Node.uid()", per_call("node.uid()", names),
        "SHA-256 of a 64-byte block", digest, "<= 150 ns")

    names["ab"] = v.Application(v.Variable("A"), v.Variable("B"))
    hash(names["ab"])
    row("hash(Application(A, B))", per_call("hash(ab)", names),
        "hash((1, 2))", per_call("hash(pair)", names), "<= 1.3x")

    row('Variable("P")', per_call('v.Variable("P")', names),
        "object()", per_call("object()", names), "<= 1.6x")

    names["deep"] = v.Node(chain(1000))
    names["deep"].uid()
    row("Node.uid(), type depth 1000", per_call("deep.uid()", names),
        "", 0, "<= 1000 ns")

    g = v.Graph()
    for i in range(count):
        node = v.Node(v.Variable(f"T{i}"), {"i": i})
        g.nodes[node.uid()] = node
    query = g.query().match(node="n")
    query.return_distinct("n")  # the first call computes every node UID once
    gc.collect()
    gc.freeze()
    try:
        plain = best(lambda: query.return_("n"))
        distinct = best(lambda: query.return_distinct("n"))
    finally:
        gc.unfreeze()
    print(f"return_distinct, {count} nodes       {distinct * 1e3:11.2f} ms   "
          f"return_ of the same rows   {plain * 1e3:9.2f} ms  {distinct / plain:6.2f}x   <= 1.2x")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000)
