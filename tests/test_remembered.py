"""Remembered UIDs and hashes: whatever was asked for first, in whatever order,
a remembered value equals the one computed afresh from the text rules."""
import hashlib

import pytest
from veldrin import Application, Edge, Graph, Node, Term, Variable

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402


def sha(text):
    return hashlib.sha256(text.encode()).hexdigest()


def build(spec):
    """A fresh value (no node shared with any other) for a spec: a name, or a pair of specs."""
    return Variable(spec) if isinstance(spec, str) else Application(build(spec[0]), build(spec[1]))


names = st.sampled_from(["A", "B", "", "Ωμέγα", "(A -> B)"])
# A pool of types sharing their subtrees: each step applies two earlier entries.
programs = st.tuples(st.lists(names, min_size=1, max_size=4),
                     st.lists(st.tuples(st.integers(0, 99), st.integers(0, 99)), max_size=25))


def pool(program):
    leaves, steps = program
    entries = [(Variable(n), sha("var:" + n), n) for n in leaves]
    for i, j in steps:
        (l, lu, ls), (r, ru, rs) = entries[i % len(entries)], entries[j % len(entries)]
        entries.append((Application(l, r), sha(f"app:{lu}:{ru}"), (ls, rs)))
    return entries


@given(programs, st.randoms(use_true_random=False))
def test_remembered_type_values_equal_fresh_ones(program, rnd):
    entries = pool(program)
    for t, uid, spec in rnd.sample(entries, len(entries)):
        asks = [lambda: t.uid() == uid, lambda: hash(t) == hash(build(spec)),
                lambda: Node(t).uid() == sha("node:" + uid)]
        rnd.shuffle(asks)
        assert all(ask() and ask() for ask in asks)
    for (a, _, sa), (b, _, sb) in zip(rnd.sample(entries, len(entries)), entries):
        assert (a == b) is (sa == sb) and (a == build(sb)) is (sa == sb)
        if sa == sb:
            assert hash(a) == hash(b) and a.uid() == b.uid()


@given(programs, st.text(max_size=8), st.text(max_size=8), st.integers(0, 99))
def test_remembered_term_node_and_edge_uids(program, name, new_name, k):
    entries = pool(program)
    t, type_uid, spec = entries[k % len(entries)]
    term, start, end = Term(name, t), Node(t), Node(Variable("end"))
    edge = Edge(term, start, end)
    term_uid = sha(f"term:{name}:{type_uid}")
    for _ in range(2):
        assert term.uid() == term_uid and edge.uid() == sha("edge:" + term_uid)
        assert hash(term) == hash(Term(name, build(spec))) and term == Term(name, build(spec))
    term.name = new_name
    renamed = Term(new_name, build(spec))
    assert term.uid() == sha(f"term:{new_name}:{type_uid}") == renamed.uid() and hash(term) == hash(renamed)
    assert (term == Term(name, t)) is (name == new_name) and edge.uid() == sha("edge:" + term_uid)
    assert Edge(term, start, end).uid() == sha("edge:" + term.uid())


@given(programs, st.lists(st.integers(0, 99), min_size=1, max_size=30), st.booleans())
def test_return_distinct_keeps_first_row_of_each_uid(program, picks, asked):
    entries = pool(program)
    g = Graph()
    for i, k in enumerate(picks):  # equal types under several keys, built apart
        node = Node(build(entries[k % len(entries)][2]))
        g.nodes[f"k{i}"] = node
        if asked and i % 2:
            node.uid()
    q = g.query().match(node="n").match(node="m", type=build(entries[picks[0] % len(entries)][2]))
    seen, expected = set(), []
    for row in q.return_("n", "m"):
        key = tuple(sorted((name, v.uid()) for name, v in row.items()))
        if key not in seen:
            seen.add(key)
            expected.append(key)
    got = [tuple(sorted((name, v.uid()) for name, v in row.items())) for row in q.return_distinct("n", "m")]
    assert got == expected


def test_shared_subtrees_are_digested_once():
    t, twin, uid = Variable("A"), Variable("A"), sha("var:A")
    for _ in range(500):  # 2**500 leaves when walked as a tree
        t, twin, uid = Application(t, t), Application(twin, twin), sha(f"app:{uid}:{uid}")
    assert t.uid() == uid and twin.uid() == uid and t == twin and Node(t).uid() == sha("node:" + uid)
    assert Term("f", t).uid() == sha(f"term:f:{uid}")


@pytest.mark.parametrize("right", [False, True])
def test_deepest_chain_remembers_every_level(right):
    t, uids, b = Variable("A"), [sha("var:A")], sha("var:B")
    for _ in range(10000):
        t = Application(Variable("B"), t) if right else Application(t, Variable("B"))
        uids.append(sha(f"app:{b}:{uids[-1]}") if right else sha(f"app:{uids[-1]}:{b}"))
    assert Node(t).uid() == sha("node:" + uids[-1])  # the first call digests the whole chain
    for level in range(10000, 9980, -1):
        assert t.uid() == uids[level] and t.left.uid() == (b if right else uids[level - 1])
        t = t.right if right else t.left


