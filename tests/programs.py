"""Random clause programs and what running them observably does.

A program is a small graph plus a chain of clause calls, made from a seed by
`random.Random`, so the same seed gives the same program on every interpreter.
`observe` runs a program twice (bindings carry over between runs) and records
everything a caller can see: the rows of every variable, the counts, distinct
rows, errors with their messages, and the graph's dictionaries afterwards.

`python tests/programs.py` records the observations of the build on the path
into tests/data/programs.json; tests/test_programs.py replays the programs and
compares, so a rewrite of the query run is held to what the run did before.
"""

import hashlib
import json
import os
import random
import re
import sys

from veldrin import Application, Edge, Graph, Node, Term, Variable

A, B, C = Variable("A"), Variable("B"), Variable("C")
TYPES = [A, B, C, Application(A, B), Application(B, C), Application(A, Application(A, B))]
TEXTS = ["A", "B", "C", "A -> B", "B -> C", "A -> A -> B"]
NAMES = ["ann", "bob", "cy", "dee"]
VARS = ["a", "b", "c", "e", "f", "n", "m"]
SCHEMAS = ["$*$", "$A$", "$B$", "$* -> *$", "$(x:*) -> B$", "$A -> *$", "C", "$nope$"]


def value(r):
    kind = r.randrange(6)
    if kind == 0:
        return r.randrange(-3, 40)
    if kind == 1:
        return r.choice([0.5, 25.0, 30.0, float("nan"), -1.5])
    if kind == 2:
        return r.choice(NAMES)
    if kind == 3:
        return r.choice([True, False])
    if kind == 4:
        return [r.randrange(3) for _ in range(r.randrange(3))]
    return r.randrange(20, 35)


def literal(v):
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, float) and v != v:
        return "0.0"
    if isinstance(v, str):
        return repr(v)
    if isinstance(v, list):
        return "[" + ", ".join(literal(x) for x in v) + "]"
    return repr(v)


def props(r, n):
    out = {}
    for _ in range(n):
        out[r.choice(["age", "name", "w", "tags"])] = value(r)
    return out


def make_graph(r):
    g = Graph()
    nodes = []
    for t in r.sample(TYPES, r.randrange(1, len(TYPES) + 1)):
        node = Node(t, props(r, r.randrange(4)))
        g.nodes[node.uid()] = node
        nodes.append(node)
    for i in range(r.randrange(8)):
        s, e = r.choice(nodes), r.choice(nodes)
        term = Term(r.choice(["f", "g", "h"]) + str(i % 4), r.choice(TYPES))
        edge = Edge(term, s, e, props(r, r.randrange(3)))
        g.edges[edge.uid()] = edge
    return g, nodes


def path_text(r):
    parts = []
    length = r.randrange(0, 3)
    names = r.sample(VARS, length * 2 + 1)
    for i in range(length + 1):
        inner = names[2 * i] if r.random() < 0.85 else ""
        if r.random() < 0.4:
            inner += ":" + r.choice(["A", "B", "C", "*", "A -> B", "$* -> *$"])
        if r.random() < 0.2:
            inner += " {age: %s}" % literal(r.randrange(20, 35))
        parts.append("(" + inner + ")")
        if i < length:
            e = names[2 * i + 1]
            if r.random() < 0.3:
                e += ":" + r.choice(["A -> B", "*", "B -> C", "(x:*) -> *"])
            if r.random() < 0.15:
                e += " {w: %s}" % literal(value(r))
            parts.append(r.choice(["-[%s]->", "<-[%s]-", "-[%s]-"]) % e)
    return "".join(parts)


def concrete_path_text(r):
    length = r.randrange(0, 3)
    out = []
    for i in range(length + 1):
        out.append("(%s:%s {age: %d})" % (r.choice(VARS), r.choice(TEXTS), r.randrange(20, 35)))
        if i < length:
            out.append(r.choice(["-[%s:%s]->", "<-[%s:%s]-"]) % (r.choice(["f0", "g1", "k"]), r.choice(TEXTS)))
    return "".join(out)


CONDITIONS = [
    "{v}.age > 25", "{v}.age >= {n} AND {v}.name <> 'bob'", "{v}.name STARTS WITH 'a' OR {v}.w < 1",
    "NOT {v}.age = {n}", "{v}.tags IN [[0], [1, 2], []]", "{v}.name IN ['ann', 'cy'] XOR {v}.age < 30",
    "{v}.age IS NULL", "{v}.w IS NOT NULL", "{v}:A", "{v}:(A -> B)", "{v}:$* -> *$", "{v} = {u}",
    "{v}.name CONTAINS 'e'", "{v}.name ENDS WITH 'y' OR {v}.age <= {n}", "{v}.age = 25.0",
]


def clause(r, q, bound):
    kind = r.randrange(14) if bound else r.randrange(4)
    v = r.choice(bound) if bound and kind > 3 and r.random() < 0.9 else r.choice(VARS)
    if kind in (0, 1):
        text = path_text(r)
        bound.extend(re.findall(r"[([](\w+)", text))
        return q.match(text)
    if kind == 2:
        kw = {}
        if r.random() < 0.4:
            kw["type"] = r.choice(TYPES)
        if r.random() < 0.3:
            kw["type_schema"] = r.choice(SCHEMAS)
        if r.random() < 0.3:
            kw["properties"] = {"age": r.randrange(20, 35)}
        bound.append(v)
        return q.match(node=v, **kw)
    if kind == 3:
        kw = {}
        if r.random() < 0.3:
            kw["term_type_schema"] = r.choice(SCHEMAS)
        if r.random() < 0.5:
            kw["start"] = r.choice(VARS)
        if r.random() < 0.5:
            kw["end"] = r.choice(VARS)
        bound.extend([v, kw.get("start", v), kw.get("end", v)])
        return q.match(edge=v, **kw)
    if kind in (4, 5):
        return q.where(r.choice(CONDITIONS).format(v=v, u=r.choice(bound or VARS), n=r.randrange(20, 35)))
    if kind in (6, 7):
        bound.append(v)
    if kind == 6:
        if r.random() < 0.5:
            return q.create(node=v, type=r.choice(TYPES), properties=props(r, 2))
        text = concrete_path_text(r)
        bound.extend(re.findall(r"[([](\w+)", text))
        return q.create(text)
    if kind == 7:
        choice = r.randrange(3)
        if choice == 0:
            return q.merge(node=v, type=r.choice(TYPES), properties=props(r, r.randrange(2)))
        if choice == 1:
            text = concrete_path_text(r)
            bound.extend(re.findall(r"[([](\w+)", text))
            return q.merge(text)
        term = Term("m" + str(r.randrange(3)), r.choice(TYPES)) if r.random() < 0.6 else None
        return q.merge(edge=v, term=term, start=r.choice(VARS), end=r.choice(VARS))
    if kind == 8:
        return q.set(v, props(r, 2))
    if kind == 9:
        return q.delete(*r.sample(VARS, r.randrange(1, 3)), detach=r.random() < 0.6)
    if kind == 10:
        return q.with_(*r.sample(VARS, r.randrange(0, 4)))
    if kind == 11:
        return q.order_by(v, r.choice(["age", "name", "w", "tags"]), ascending=r.random() < 0.5)
    if kind == 12:
        return q.skip(r.randrange(3))
    return q.limit(r.randrange(5))


def show_value(x):
    if isinstance(x, float) and x != x:
        return "nan"
    if isinstance(x, list):
        return [show_value(i) for i in x]
    return x


def show_props(d):
    return sorted((k, show_value(v)) for k, v in d.items())


def show(obj):
    if isinstance(obj, Node):
        return ["node", obj.uid()[:12], show_props(obj.properties)]
    return ["edge", obj.uid()[:12], obj.start.uid()[:12], obj.end.uid()[:12], show_props(obj.properties)]


def attempt(fn):
    try:
        return fn()
    except Exception as exc:  # noqa: BLE001 -- the error is part of what is observed
        return ["error", type(exc).__name__, str(exc)]


def observe(seed):
    r = random.Random(seed)
    g, nodes = make_graph(r)
    q = g.query()
    built = []
    bound = []
    for _ in range(r.randrange(1, 7)):
        try:
            q = clause(r, q, bound)
            built.append("ok")
        except Exception as exc:  # noqa: BLE001
            built.append([type(exc).__name__, str(exc)])
    out = {"built": built, "runs": []}
    for _ in range(2):
        rows = attempt(lambda: [{k: show(v) for k, v in row.items()} for row in q.return_(*VARS)])
        distinct = attempt(lambda: [sorted(row) for row in q.return_distinct(*VARS)])
        count = attempt(q.return_count)
        graph = [[k, show(v)] for k, v in g.nodes.items()] + [[k, show(v)] for k, v in g.edges.items()]
        out["runs"].append({"rows": rows, "distinct": distinct, "count": count, "graph": graph})
    return json.loads(json.dumps(out))


def digest(observation):
    return hashlib.sha256(json.dumps(observation, sort_keys=True).encode()).hexdigest()[:16]


PROGRAMS = 600
DATA = os.path.join(os.path.dirname(__file__), "data", "programs.json")

if __name__ == "__main__":
    # python tests/programs.py [FULL.json]: records the digests, and the whole
    # observations into FULL.json when it is named (for comparing by eye).
    results = [observe(seed) for seed in range(PROGRAMS)]
    os.makedirs(os.path.dirname(DATA), exist_ok=True)
    with open(DATA, "w") as f:
        json.dump([digest(res) for res in results], f, indent=0)
    if len(sys.argv) > 1:
        with open(sys.argv[1], "w") as f:
            json.dump(results, f, indent=1)
    errors = sum(1 for res in results for run in res["runs"] if isinstance(run["count"], list))
    print(f"recorded {len(results)} programs ({errors} runs ending in an error) into {DATA}", file=sys.stderr)
