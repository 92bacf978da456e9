"""How each parser and walk scales: every case doubles its input five times
and prints the time ratio of each doubling (linear is 2, quadratic 4).  A
ratio of 3 or more is marked; the exit status is 1 when any case has one.

Each case runs in a fresh interpreter; the collector is off while timing, and
the time taken is processor time, so that other work on the machine does not
count.  The interpreters run with glibc's malloc keeping freed memory (large
blocks are otherwise handed back to the system and taken again as fresh
pages, a one-time step in cost, up to 3.6 times, when a structure first
outgrows 128 KiB); --system-malloc leaves the allocator as it is.

Run: python bench/scaling.py [--system-malloc] [case-name ...]
"""

import gc
import json
import os
import subprocess
import sys
import time

DOUBLINGS = 5
LIMIT = 3.0


def chain(n, link=" -> ", leaf="A"):
    return link.join([leaf] * (n + 1))


def balanced(depth, leaf="A"):
    """A type text (or, with a capture as leaf, a schema) of 2 ** depth leaves."""
    text = leaf
    for _ in range(depth):
        text = f"({text}) -> ({text})"
    return text


def balanced_type(v, depth):
    t = v.Variable("A")
    for _ in range(depth):
        t = v.Application(t, t)
    return t


def deep_type(v, n):
    t = v.Variable("A")
    for _ in range(n):
        t = v.Application(t, v.Variable("B"))
    return t


# name -> (first size, make(v, n) -> the call to time).  Inputs are built
# outside the timed call.
def cases():
    def pattern_path(v, n):
        text = "(a0)" + "".join(f"-[e{i}:knows]->(a{i + 1}:Person)" for i in range(n))
        return lambda: v.PathPattern.parse(text)

    def pattern_type(v, n):
        text = f"(n:{balanced(n)})"
        return lambda: v.PathPattern.parse(text)

    def property_map_text(v, n):
        text = "(n {" + ", ".join(f"k{i}: {i}" for i in range(n)) + ", k0: 'again'})"
        return lambda: v.PathPattern.parse(text)

    def property_map_dict(v, n):
        props = {f"k{i}": i for i in range(n)}
        return lambda: v.NodePattern(properties=props)

    def condition_wide(v, n):
        q, text = v.Graph().query(), " OR ".join(f"n.k{i} = {i}" for i in range(n))
        return lambda: q.where(text)

    def condition_type(v, n):
        q, text = v.Graph().query(), f"n:({balanced(n)})"
        return lambda: q.where(text)

    def literal_list(v, n):
        q, text = v.Graph().query(), "n.x IN [" + ", ".join(f"'s{i}'" for i in range(n)) + "]"
        return lambda: q.where(text)

    def literal_string(v, n):
        q, text = v.Graph().query(), "n.x = '" + "ab\\n" * n + "'"
        return lambda: q.where(text)

    def schema_wide(v, n):
        text, t = "$" + balanced(n, "(x:*)") + "$", balanced_type(v, n)
        return lambda: v.TypeSchema(text).capture(t)

    def schema_deep(v, n):
        # nesting and body grow together: rescanning at every level would be quadratic
        text = "$" + "(x:" * n + "A" * (100 * n) + ")" * n + "$"
        t = v.Variable("A" * (100 * n))
        return lambda: v.TypeSchema(text).capture(t)

    def schema_per_row(v, n):
        s, t = v.TypeSchema("$" + "(x:" * n + "A" * (100 * n) + ")" * n + "$"), v.Variable("A" * (100 * n))
        return lambda: [s.matches(t) for _ in range(100)]

    def concrete_type(v, n):
        q, text = v.Graph().query(), f"(a:{balanced(n)})"
        return lambda: q.create(text)

    def clause_chain(v, n):
        def run():
            q = v.Graph().query()
            for _ in range(n):
                q = q.limit(1)
        return run

    def type_wide(v, n):
        t, twin = balanced_type(v, n), balanced_type(v, n)
        return lambda: (str(t), t.uid(), hash(t), t == twin)

    def type_deep(v, n):
        t, twin = deep_type(v, n), deep_type(v, n)
        return lambda: (str(t), t.uid(), hash(t), t == twin, v.Term("t", t).uid())

    return {
        "pattern string: path parts": (200, pattern_path),
        "pattern string: type (levels +1)": (8, pattern_type),
        "property map: pattern string": (2000, property_map_text),
        "property map: dict": (2000, property_map_dict),
        "condition: OR terms": (500, condition_wide),
        "condition: type test (levels +1)": (8, condition_type),
        "literal: list items": (2000, literal_list),
        "literal: string escapes": (5000, literal_string),
        "schema: wide (levels +1)": (8, schema_wide),
        "schema: deep nesting": (31, schema_deep),
        "schema: test per row": (31, schema_per_row),
        "concrete type: create (levels +1)": (8, concrete_type),
        "clause chain: limit()": (250, clause_chain),
        "type walks: wide (levels +1)": (10, type_wide),
        "type walks: deep": (300, type_deep),
    }


def sizes(name, first):
    # "levels +1" cases double their input by adding one level
    step = (lambda k: first + k) if "levels +1" in name else (lambda k: first * 2 ** k)
    return [step(k) for k in range(DOUBLINGS + 1)]


def measure(call):
    """Best time of one call; short calls are repeated to last at least 50 ms."""
    best = float("inf")
    for _ in range(5):
        gc.collect()
        gc.disable()
        try:
            count, start = 0, time.process_time()
            while True:
                call()
                count += 1
                elapsed = time.process_time() - start
                if elapsed >= 0.05:
                    break
        finally:
            gc.enable()
        best = min(best, elapsed / count)
    return best


def run_case(name):
    import veldrin as v

    first, make = cases()[name]
    print(json.dumps([measure(make(v, n)) for n in sizes(name, first)]))


def main(names):
    env = dict(os.environ)
    if "--system-malloc" in names:
        names.remove("--system-malloc")
    else:
        env.update(MALLOC_MMAP_THRESHOLD_=str(1 << 30), MALLOC_TRIM_THRESHOLD_=str(1 << 30))
    names = names or list(cases())
    failed = False
    print(f"{'case':34} {'first n':>8}" + "".join(f"{'x' + str(2 ** k):>7}" for k in range(1, DOUBLINGS + 1))
          + f"{'last':>11}")
    for name in names:
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--case", name],
                             capture_output=True, text=True, check=True, env=env).stdout
        times = json.loads(out)
        ratios = [b / a for a, b in zip(times, times[1:])]
        over = [r >= LIMIT for r in ratios]
        failed |= any(over)
        print(f"{name:34} {cases()[name][0]:>8}"
              + "".join(f"{r:>6.2f}{'!' if o else ' '}" for r, o in zip(ratios, over))
              + f"{times[-1] * 1e3:>9.2f}ms")
    print(f"\nratio per doubling (linear 2, quadratic 4); '!' marks {LIMIT} or more")
    return 1 if failed else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--case"]:
        run_case(sys.argv[2])
    else:
        sys.exit(main(sys.argv[1:]))
