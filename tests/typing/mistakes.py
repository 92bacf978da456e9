# Mistakes a checker must catch: each line that ends in an "E:" comment must draw exactly the
# mypy error written there (with --strict), and no other line may draw any.  Never run.
from veldrin import Application, Edge, EdgePattern, Graph, Node, Term, TypeSchema, Variable

A, B = Variable("A"), Variable("B")
f = Term("f", Application(A, B))
g = Graph()

g.query().mtach("(n)")  # E: "Query" has no attribute "mtach"; maybe "match"?  [attr-defined]
Node("Person")  # E: Argument 1 to "Node" has incompatible type "str"; expected "Variable | Application"  [arg-type]
f(A)  # E: Argument 1 to "__call__" of "Term" has incompatible type "Variable"; expected "Term"  [arg-type]
g.query().match("(n)", "n")  # E: Too many positional arguments for "match" of "Query"  [call-arg]
g.query().order_by("n", "age", descending=True)  # E: Unexpected keyword argument "descending" for "order_by" of "Query"; did you mean "ascending"?  [call-arg]
EdgePattern(direction="backwards")  # E: Argument "direction" to "EdgePattern" has incompatible type "Literal['backwards']"; expected "Literal['forward', 'backward', 'any']"  [arg-type]
for row in g.query().match("(n)").return_("n"):
    row.properties  # E: "dict[str, Node | Edge | list[Edge]]" has no attribute "properties"  [attr-defined]
count: str = g.query().return_count()  # E: Incompatible types in assignment (expression has type "int", variable has type "str")  [assignment]
TypeSchema("$(x:*)$").capture(A)["x"].left  # E: Item "Variable" of "Variable | Application" has no attribute "left"  [union-attr]
Edge(f, Node(A), Node(B)).term = f  # E: Property "term" defined in "Edge" is read-only  [misc]
