"""What stubtest leaves unchecked in veldrin-stubs: whether a method takes *args where the stub
says so, which attributes are writable, and whether the values the module hands back fit the
annotated types.  A member added to the stubs needs its arguments in ARGS if it has required
parameters."""

import ast
import inspect
import types
import typing
from pathlib import Path

import pytest
import veldrin
from veldrin import (Application, Edge, EdgePattern, Graph, Node, NodePattern, PathPattern, Query,
                     Term, TypeSchema, Variable)

STUB = ast.parse((Path(__file__).resolve().parents[2] / "veldrin-stubs" / "__init__.pyi").read_text())
NAMESPACE = {**vars(veldrin), "Any": typing.Any, "Literal": typing.Literal}
for _alias in STUB.body:  # the private aliases, in order
    if isinstance(_alias, ast.AnnAssign) and _alias.value is not None:
        NAMESPACE[_alias.target.id] = eval(ast.unparse(_alias.value), NAMESPACE)

A, B = Variable("A"), Variable("B")
AB, f, x = Application(A, B), Term("f", Application(A, B)), Term("x", A)
G = Graph()
G.query().create("(a:A {k: 1})-[f:A -> B]->(b:B)").execute()
SAMPLES = {  # fresh instances, as clause methods also queue onto the query they are called on
    Variable: lambda: Variable("A"), Application: lambda: AB, Term: lambda: Term("f", AB),
    Node: lambda: Node(A, {"k": 1}), Edge: lambda: next(iter(G.edges.values())), Graph: lambda: G,
    TypeSchema: lambda: TypeSchema("$(x:*) -> B$"), NodePattern: lambda: NodePattern("n"),
    EdgePattern: lambda: EdgePattern("e", direction="any"),
    PathPattern: lambda: PathPattern.parse("(a)-[f]->(b)"), Query: lambda: G.query().match("(a)-[f]->(b)"),
}
ARGS = {  # "Class.member": positional arguments; the clauses queued here never run
    "Variable.__new__": ("A",), "Application.__new__": (A, B), "Term.__new__": ("f", AB),
    "Term.__call__": (x,), "Node.__new__": (A,), "Edge.__new__": (f, Node(A), Node(B)),
    "TypeSchema.__new__": ("$*$",), "TypeSchema.matches": (AB,), "TypeSchema.capture": (AB,),
    "PathPattern.parse": ("(a)",), "PathPattern.add_node": (NodePattern(),),
    "PathPattern.add_edge": (EdgePattern(),), "Query.__new__": (G,), "Query.match": ("(a)",),
    "Query.where": ("a.k = 1",), "Query.bind": ({"k": 1},), "Query.create": ("(c:C)",), "Query.merge": ("(c:C)",),
    "Query.set": ("a", {}), "Query.order_by": ("a", "k"), "Query.limit": (1,), "Query.skip": (0,),
    "Query.return_": ("a", "f"), "Query.return_distinct": ("a", "b"), "Query.with_": ("a",),
    "Graph.from_node_link": (G.to_node_link(),), "Graph.__deepcopy__": ({},),
    "Node.__deepcopy__": ({},), "Edge.__deepcopy__": ({},),
}
MEMBERS = [(getattr(veldrin, c.name), m) for c in STUB.body if isinstance(c, ast.ClassDef)
           for m in c.body if isinstance(m, ast.FunctionDef)]
P = inspect.Parameter


def fits(value, tp):
    """Whether a value is of the annotated type, generics and literals included."""
    origin, args = typing.get_origin(tp), typing.get_args(tp)
    if tp is typing.Any:
        return True
    if tp is None:
        return value is None
    if origin in (typing.Union, types.UnionType):
        return any(fits(value, a) for a in args)
    if origin is typing.Literal:
        return value in args
    if origin is list:
        return isinstance(value, list) and all(fits(v, args[0]) for v in value)
    if origin is dict:
        return isinstance(value, dict) and all(fits(k, args[0]) and fits(v, args[1])
                                               for k, v in value.items())
    if origin is tuple:
        return isinstance(value, tuple) and len(value) == len(args) and \
            all(fits(v, t) for v, t in zip(value, args))
    return isinstance(value, tp)


def shape(a: ast.arguments):
    """The (name, kind, has a default) triples of a stub function's parameters."""
    plain = [(p.arg, P.POSITIONAL_ONLY) for p in a.posonlyargs]
    plain += [(p.arg, P.POSITIONAL_OR_KEYWORD) for p in a.args]
    first_default = len(plain) - len(a.defaults)
    out = [(name, kind, i >= first_default) for i, (name, kind) in enumerate(plain)]
    out += [(a.vararg.arg, P.VAR_POSITIONAL, False)] if a.vararg else []
    out += [(p.arg, P.KEYWORD_ONLY, d is not None) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    return out + ([(a.kwarg.arg, P.VAR_KEYWORD, False)] if a.kwarg else [])


WRITABLE = {(c, m.name) for c, m in MEMBERS if f"{m.name}.setter" in map(ast.unparse, m.decorator_list)}


@pytest.mark.parametrize("cls, member", MEMBERS, ids=[f"{c.__name__}.{m.name}" for c, m in MEMBERS])
def test_stub_member(cls, member):
    decorators = {ast.unparse(d) for d in member.decorator_list}
    sample, name = SAMPLES[cls](), member.name
    if f"{name}.setter" in decorators:
        setattr(sample, name, getattr(sample, name))  # the module must agree it is writable
        return
    hint = eval(ast.unparse(member.returns), NAMESPACE)
    if "property" in decorators:
        value = getattr(sample, name)
        if (cls, name) not in WRITABLE:
            with pytest.raises(AttributeError, match="not writable"):
                setattr(sample, name, value)
    else:
        static = "staticmethod" in decorators
        bound = "classmethod" in decorators  # the runtime signature already lacks cls
        args = ARGS.get(f"{cls.__name__}.{name}", ())
        if name == "__new__":
            runtime, value = inspect.signature(cls), cls(*args)
        else:
            runtime, value = inspect.signature(getattr(cls, name)), getattr(sample, name)(*args)
        if name != "__call__":  # the interpreter gives __call__ no signature of its own
            params = list(runtime.parameters.values())[0 if static or bound or name == "__new__" else 1:]
            assert [(p.name, p.kind, p.default is not P.empty) for p in params] == \
                shape(member.args)[0 if static else 1:]
    assert fits(value, hint), f"{value!r} is not a {ast.unparse(member.returns)}"
