"""A user program touching every class, checked with `mypy --strict` against the installed
stubs; each `assert_type` pins the type a checker must infer.  It also runs as it is."""

from typing import Any, Literal, assert_type

from veldrin import (
    Application,
    Edge,
    EdgePattern,
    Graph,
    Node,
    NodePattern,
    PathPattern,
    Query,
    Term,
    TypeSchema,
    Variable,
)

Person, Company = Variable("Person"), Variable("Company")
Person.name = "Person"
works_at = Term("works_at", Application(Person, Company))
alice = Term("alice", Person)
employer = works_at(alice)
assert_type(employer, Term)
assert_type(employer.type, Variable | Application)
assert_type(works_at.uid(), str)
arrow = Application(left=Person, right=Application(Person, Company))
assert_type(arrow.right, Variable | Application)
assert_type(arrow.uid(), str)

schema = TypeSchema("$(x:*) -> (y:*)$")
assert_type(schema.matches(arrow), bool)
captured = schema.capture(type=arrow)
assert_type(captured, dict[str, Variable | Application])
assert_type(schema.pattern, str)

g = Graph()
ann = Node(Person, {"name": "Ann", "age": 34})
acme = Node(Company)
acme.properties = {"name": "Acme"}
job = Edge(works_at, ann, acme, properties={"since": 2020})
g.nodes[ann.uid()] = ann
g.nodes[acme.uid()] = acme
g.edges[job.uid()] = job
assert_type(g.nodes, dict[str, Node])
assert_type(job.start, Node)
assert_type(job.term.name, str)
age: Any = ann.properties["age"]

path = PathPattern.parse("(p:Person)-[w]->(c:Company)")
path = PathPattern().add_node(NodePattern("p", type=Person, type_schema=schema, properties={}))
path = path.add_edge(EdgePattern("w", works_at, "$*$", None, direction="any"))
assert_type(path.nodes[0].variable, str | None)
assert_type(path.edges[0].direction, Literal["forward", "backward", "any"])

q = Query(g).match("(p:Person)-[w]->(c:Company)").where("p.age > 30")
q = q.with_("p", "c").order_by("p", "age", ascending=False).skip(0).limit(10)
rows = q.return_("p", "c")
assert_type(rows, list[dict[str, Node | Edge | list[Edge]]])
for row in q.return_distinct("p"):
    person = row["p"]
    if isinstance(person, Node):
        print(person.type, person.properties.get("name"))
assert_type(q.return_count(), int)

g.query().create(node="d", type=Variable("Dog"), properties={"name": "Rex"}).execute()
g.query().merge(edge="owns", term=Term("owns", Application(Variable("Dog"), Person)),
                start="d", end="p").execute()
g.query().match(edge="w", term_type_schema="$Person -> Company$", start="p", end="c").set(
    "w", {"since": 2021}).execute()
done: Query = g.query().match(node="d", type=Variable("Dog")).delete("d", detach=True).execute()
print(len(g.nodes), "nodes,", len(g.edges), "edges", done)
