"""A small typed model of people, companies and the functions between them."""

import veldrin
from veldrin import Application, Edge, Graph, Node, PathPattern, Term, TypeSchema, Variable

# Types and terms ---------------------------------------------------------------
Person, Company = Variable("Person"), Variable("Company")
works_at = Term("works_at", Application(Person, Company))
alice = Term("alice", Person)

print("types:", Person, Company, Application(Person, Company))
print("term:", works_at, "uid", works_at.uid()[:16], "...")
print("applied:", works_at(alice), "of type", works_at(alice).type)
try:
    works_at(works_at)
except TypeError as error:
    print("type check:", error)

# Schemas ------------------------------------------------------------------------
employment = TypeSchema("$(from:*) -> (to:Company)$")
print(employment, "matches", Application(Person, Company), "->",
      employment.matches(Application(Person, Company)),
      employment.capture(Application(Person, Company)))

# A graph built from pattern strings ----------------------------------------------
g = Graph()
g.query().create(
    "(p:Person {name: 'Alice', age: 34})"
    "-[works_at:Person -> Company]->(c:Company {name: 'Acme', city: 'Lyon'})"
).execute()
# A node's identity is its type, so `create` would replace Alice's node; `merge`
# finds the existing Person and creates only what is missing.
g.query().merge("(d:Dog {name: 'Rex'})-[owned_by:Dog -> Person]->(p:Person)").execute()
print(g)

pattern = PathPattern.parse("(d:Dog)-[o]->(p:Person)-[w]->(c:Company)")
print(pattern, [str(n) for n in pattern.nodes])
for row in g.query().match("(d:Dog)-[o]->(p:Person)-[w]->(c:Company)").return_("d", "p", "c"):
    dog, company = row["d"], row["c"]
    assert isinstance(dog, Node) and isinstance(company, Node)  # rows hold nodes, edges or edge lists
    print("two-edge path:", dog.properties["name"], "->", company.properties["name"])

# Keyword clauses: merge, set, where, order_by, limit ----------------------------------
q = g.query().merge(node="b", type=Company, properties={"name": "Acme"})
print("merge found:", q.return_("b"))
g.query().create(node="x", type=Variable("Startup"), properties={"name": "Nimbus", "age": 2}).execute()
g.query().match(node="p", type=Person).set("p", {"role": "engineer"}).execute()

rows = (
    g.query()
    .match("(n)")
    .where("n.age IS NOT NULL AND n.age > 1")
    .order_by("n", "age", ascending=False)
    .limit(5)
    .return_("n")
)
for row in rows:
    node = row["n"]
    assert isinstance(node, Node)
    print("row:", node, node.properties)

# Delete a node together with the edges that touch it.
g.query().match(node="d", type=Variable("Dog")).delete("d", detach=True).execute()
print("after delete:", g, "module", veldrin.__name__)
