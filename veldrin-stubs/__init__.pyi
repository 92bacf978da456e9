"""Types for veldrin: type variables and function types, typed terms, a typed graph, type
schemas, pattern strings and a fluent query builder."""

# One class per block, in the module's registration order.  Every class is final (none can be
# subclassed), every read-only attribute a property without a setter, and defaults are the
# module's own (`...` where its signature shows `...`).  A method added to the module needs
# its entry here, and its sample arguments in tests/typing/test_stubs.py when it has required
# parameters; `pip install ".[typing]"` then `python tests/typing/check_typing.py` runs
# stubtest and mypy against the installed module.

from typing import Any, Literal, TypeAlias, final

__all__ = [
    "Variable",
    "Application",
    "Term",
    "Node",
    "Edge",
    "Graph",
    "TypeSchema",
    "NodePattern",
    "EdgePattern",
    "PathPattern",
    "Query",
]

# Property dictionaries are shared, never copied; values may be any object.
_Properties: TypeAlias = dict[str, Any]
# Schema text such as "$(x:*) -> B$", or a TypeSchema whose text is used.
_Schema: TypeAlias = str | TypeSchema
_Direction: TypeAlias = Literal["forward", "backward", "any"]

# ---- types and terms ------------------------------------------------------------------

@final
class Variable:
    """An atomic type variable such as Person; compares and hashes by name."""

    def __new__(cls, name: str) -> Variable:
        """Makes the type variable with this name."""

    @property
    def name(self) -> str:
        """The name of this type variable."""

    @name.setter
    def name(self, value: str) -> None: ...
    def uid(self) -> str:
        """The SHA-256 hex digest identifying this variable by its name."""

@final
class Application:
    """The function type left -> right; compares and hashes by value."""

    def __new__(cls, left: Variable | Application, right: Variable | Application) -> Application:
        """Makes the type of functions from left to right."""

    @property
    def left(self) -> Variable | Application:
        """The input type."""

    @property
    def right(self) -> Variable | Application:
        """The output type."""

    def uid(self) -> str:
        """The SHA-256 hex digest identifying this type by its two sides."""

@final
class Term:
    """A named term of a type; calling a term of type A -> B on a term of type A yields a B."""

    def __new__(cls, name: str, type: Variable | Application) -> Term:
        """Makes the term with this name and type."""

    @property
    def name(self) -> str:
        """The name of this term."""

    @name.setter
    def name(self, value: str) -> None: ...
    @property
    def type(self) -> Variable | Application:
        """A copy of the type of this term."""

    def uid(self) -> str:
        """The SHA-256 hex digest identifying this term by its name and type."""

    def __call__(self, other: Term) -> Term:
        """Applies this term to other, raising TypeError when the types do not fit."""

# ---- the graph -------------------------------------------------------------------------

@final
class Node:
    """A graph node: a type with a property dictionary; compares by identity."""

    def __new__(cls, type: Variable | Application, properties: _Properties | None = None) -> Node:
        """Makes a node of this type, holding the given dictionary itself (or a new one)."""

    @property
    def type(self) -> Variable | Application:
        """The type of this node."""

    @property
    def properties(self) -> _Properties:
        """The property dictionary of this node, shared and never copied."""

    @properties.setter
    def properties(self, value: _Properties) -> None: ...
    def uid(self) -> str:
        """The SHA-256 hex digest identifying this node by its type alone."""

    def __deepcopy__(self, memo: dict[int, Any] | None, /) -> Node:
        """A copy with its property dictionaries copied deeply, keeping what was shared shared."""

@final
class Edge:
    """A graph edge: a term from a start node to an end node, with a property dictionary."""

    def __new__(
        cls, term: Term, start: Node, end: Node, properties: _Properties | None = None
    ) -> Edge:
        """Makes an edge for this term from the start node to the end node."""

    @property
    def term(self) -> Term:
        """The term of this edge."""

    @property
    def start(self) -> Node:
        """The node this edge leaves."""

    @property
    def end(self) -> Node:
        """The node this edge enters."""

    @property
    def properties(self) -> _Properties:
        """The property dictionary of this edge, shared and never copied."""

    @properties.setter
    def properties(self, value: _Properties) -> None: ...
    def uid(self) -> str:
        """The SHA-256 hex digest identifying this edge by its term alone."""

    def __deepcopy__(self, memo: dict[int, Any] | None, /) -> Edge:
        """A copy with its property dictionaries copied deeply, keeping what was shared shared."""

@final
class Graph:
    """A typed graph: nodes keyed by node UID, edges keyed by edge UID."""

    def __new__(cls) -> Graph:
        """Makes an empty graph."""

    @property
    def nodes(self) -> dict[str, Node]:
        """The node dictionary itself (node UID -> Node)."""

    @property
    def edges(self) -> dict[str, Edge]:
        """The edge dictionary itself (edge UID -> Edge)."""

    def query(self) -> Query:
        """Starts a query builder over this graph."""

    def to_node_link(self) -> dict[str, Any]:
        """Returns the graph as a plain node-link dict that graph libraries and JSON read."""

    @classmethod
    def from_node_link(cls, data: dict[str, Any]) -> Graph:
        """Rebuilds a graph from node-link data made by to_node_link."""

    def to_dot(self) -> str:
        """Returns Graphviz DOT text drawing the graph, every label escaped."""

    def __copy__(self) -> Graph:
        """A new graph whose two dictionaries are new dicts holding the same objects."""

    def __deepcopy__(self, memo: dict[int, Any] | None, /) -> Graph:
        """A graph copied through and through, keeping what was shared shared."""

# ---- schemas and patterns -----------------------------------------------------------------

@final
class TypeSchema:
    """A pattern over types such as "$*$", "$A -> B$" or "$(x:*) -> B$"."""

    def __new__(cls, pattern: str) -> TypeSchema:
        """Makes the schema; malformed text matches nothing instead of raising."""

    @property
    def pattern(self) -> str:
        """The schema text, exactly as given."""

    def matches(self, type: Variable | Application) -> bool:
        """Tests whether the type satisfies this schema."""

    def capture(self, type: Variable | Application) -> dict[str, Variable | Application]:
        """Maps each capture group's name to the type it met, or is empty when the test fails."""

@final
class NodePattern:
    """A node pattern: a variable, an exact type, a type schema and required property values."""

    def __new__(
        cls,
        variable: str | None = None,
        type: Variable | Application = ...,
        type_schema: _Schema | None = None,
        properties: _Properties | None = None,
    ) -> NodePattern:
        """Makes a node pattern; every part left out accepts any node."""

    @property
    def variable(self) -> str | None:
        """The variable matching nodes are bound to, or None."""

@final
class EdgePattern:
    """An edge pattern: a variable, an exact term, a schema for its type, properties, a direction."""

    def __new__(
        cls,
        variable: str | None = None,
        term: Term | None = None,
        term_type_schema: _Schema | None = None,
        properties: _Properties | None = None,
        direction: _Direction = ...,
    ) -> EdgePattern:
        """Makes an edge pattern walked forward unless told otherwise."""

    @property
    def variable(self) -> str | None:
        """The variable matching edges are bound to, or None."""

    @property
    def direction(self) -> _Direction:
        """The way the edge is walked: "forward", "backward" or "any"."""

    @property
    def hops(self) -> tuple[int, int | None] | None:
        """A quantified edge's least and most hops (None: no upper bound); None for one edge."""

@final
class PathPattern:
    """Node patterns with edge patterns between them, as in "(n:Person)-[e:knows]->(m)"."""

    def __new__(cls, pattern: str | None = None) -> PathPattern:
        """Parses a pattern string, or makes an empty path without one."""

    @staticmethod
    def parse(pattern: str) -> PathPattern:
        """Parses a pattern string, raising ValueError naming the part that is malformed."""

    @property
    def nodes(self) -> list[NodePattern]:
        """Copies of the node patterns, in order."""

    @property
    def edges(self) -> list[EdgePattern]:
        """Copies of the edge patterns, in order."""

    def add_node(self, pattern: NodePattern) -> PathPattern:
        """Appends a copy of the node pattern and returns a copy of the path."""

    def add_edge(self, pattern: EdgePattern) -> PathPattern:
        """Appends a copy of the edge pattern and returns a copy of the path."""

# ---- queries ---------------------------------------------------------------------------------

@final
class Query:
    """A fluent query builder: clause methods return a copy with the clause queued."""

    def __new__(cls, graph: Graph) -> Query:
        """Starts an empty query over the graph."""

    def match(
        self,
        pattern: str | None = None,
        *,
        node: str | None = None,
        edge: str | None = None,
        start: str | None = None,
        end: str | None = None,
        type: Variable | Application = ...,
        type_schema: _Schema | None = None,
        term: Term | None = None,
        term_type_schema: _Schema | None = None,
        properties: _Properties | None = None,
    ) -> Query:
        """Binds the nodes, edges or paths that match a pattern string or the keyword parts."""

    def where(self, condition: str) -> Query:
        """Keeps the rows where the condition (such as "n.age > 30 AND n:Person") holds."""

    def bind(self, parameters: dict[str, Any]) -> Query:
        """Gives values to the $name placeholders of conditions and pattern property maps."""

    def create(
        self,
        pattern: str | None = None,
        *,
        node: str | None = None,
        edge: str | None = None,
        type: Variable | Application = ...,
        term: Term | None = None,
        start: str | None = None,
        end: str | None = None,
        properties: _Properties | None = None,
    ) -> Query:
        """Makes the nodes and edges a pattern string or the keyword parts describe."""

    def merge(
        self,
        pattern: str | None = None,
        *,
        node: str | None = None,
        edge: str | None = None,
        type: Variable | Application = ...,
        type_schema: _Schema | None = None,
        term: Term | None = None,
        term_type_schema: _Schema | None = None,
        start: str | None = None,
        end: str | None = None,
        properties: _Properties | None = None,
    ) -> Query:
        """Finds what a pattern describes and creates only the parts that are missing."""

    def set(self, variable: str, properties: _Properties) -> Query:
        """Updates the properties of the nodes and edges bound to the variable."""

    def delete(self, *variables: str, detach: bool = False) -> Query:
        """Removes the bound nodes and edges; detach=True also removes a node's edges."""

    def with_(self, *variables: str) -> Query:
        """Keeps only the named variables' bindings."""

    def order_by(self, variable: str, key: str, ascending: bool = True) -> Query:
        """Sorts the rows by the property key of the value bound to the variable."""

    def limit(self, count: int) -> Query:
        """Keeps at most the first count rows."""

    def skip(self, count: int) -> Query:
        """Drops the first count rows."""

    def return_(self, *variables: str) -> list[dict[str, Node | Edge | list[Edge]]]:
        """Runs the query and returns one dict per row, naming the requested variables."""

    def return_distinct(self, *variables: str) -> list[dict[str, Node | Edge | list[Edge]]]:
        """Runs the query like return_, without rows equal to an earlier one."""

    def return_count(self) -> int:
        """Runs the query and returns the number of result rows."""

    def execute(self) -> Query:
        """Runs the query and returns a copy of it holding the bindings."""
