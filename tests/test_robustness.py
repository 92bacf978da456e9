"""Inputs that once crashed or misled the module: long chains, small stacks,
values that are not equal to themselves, and oversized literals."""

import threading

import pytest

import veldrin as v

A = v.Variable("A")


def deep_type(levels):
    t = A
    for _ in range(levels):
        t = v.Application(t, A)
    return t


def run_on_small_stack(fn, size=256 * 1024):
    results, errors = [], []

    def target():
        try:
            results.append(fn())
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    old = threading.stack_size(size)
    try:
        thread = threading.Thread(target=target)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    assert not errors, errors
    return results[0]


def test_deepest_type_needs_little_stack():
    t = deep_type(10000)
    uid, text, same = run_on_small_stack(lambda: (t.uid(), str(t), t == deep_type(10000)))
    assert len(uid) == 64 and len(text) == 70001 and same


def test_deepest_schema_needs_little_stack():
    t = v.Application(A, A)
    text = "$" + "(x:" * 999 + "* -> A" + ")" * 999 + "$"  # the deepest nesting a schema may have
    schema, captured = run_on_small_stack(lambda: (v.TypeSchema(text), v.TypeSchema(text).capture(t)), 64 * 1024)
    assert schema.matches(t) and captured == {"x": t}


@pytest.mark.parametrize("make", [
    lambda inner: v.NodePattern(properties={"x": inner}),
    lambda inner: v.EdgePattern(properties={"x": inner}),
    lambda inner: v.Graph().query().match(node="n", properties={"x": inner}),
])
def test_long_chains_of_objects_are_freed(make):
    chain = None
    for _ in range(200_000):
        chain = make(chain)
    del chain  # freed without exhausting the C stack


def test_property_test_always_asks_eq():
    nan = float("nan")

    class NeverEqual:
        def __eq__(self, other):
            return False

    never = NeverEqual()
    g = v.Graph()
    node = v.Node(A, {"x": nan, "y": never})
    g.nodes[node.uid()] = node
    for key, value in (("x", nan), ("y", never)):
        assert g.query().match(node="n", properties={key: value}).return_("n") == []


@pytest.mark.parametrize("call, message", [
    (lambda q: q.create("(a:A é)"), "Invalid query: cannot create node 'a': unexpected 'é' in the type (create)"),
    (lambda q: q.where("n.age = 1" + "0" * 5000), "Invalid query: integer literal too long at position 8 (where)"),
    (lambda q: q.match("(n {a: 1" + "0" * 5000 + "})"), "integer literal too long at position 7"),
])
def test_bad_texts_are_refused_with_clear_messages(call, message):
    with pytest.raises(ValueError) as info:
        call(v.Graph().query())
    assert str(info.value).endswith(message)


def test_delete_passes_over_foreign_edge_values():
    g = v.Graph()
    node = v.Node(A)
    g.nodes[node.uid()] = node
    g.edges["junk"] = 1
    g.query().match(node="n").delete("n").execute()
    assert list(g.nodes) == [] and g.edges == {"junk": 1}
