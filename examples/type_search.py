"""Type-directed search: which chains of functions turn a Str into a Bool?

A small standard library is a graph whose nodes are types and whose edges are
functions, each from its argument type to its result type.  A quantified edge
finds every chain of one to four functions from Str to Bool, shortest first,
and each chain is applied to a term s : Str, so veldrin's own type checker
builds the composed term (and would refuse a chain that did not fit).

Run: python examples/type_search.py
"""

from veldrin import Application, Edge, Graph, Node, Term, Variable

Str, Int, Bool, Float, Char, List = (Variable(n) for n in ("Str", "Int", "Bool", "Float", "Char", "List"))

LIBRARY = [
    ("len", Str, Int), ("is_empty", Str, Bool), ("trim", Str, Str), ("parse_int", Str, Int),
    ("parse_float", Str, Float), ("words", Str, List), ("first_char", Str, Char),
    ("is_digit", Char, Bool), ("ord", Char, Int), ("chr", Int, Char), ("show_int", Int, Str),
    ("is_even", Int, Bool), ("is_positive", Int, Bool), ("negate", Int, Int), ("to_float", Int, Float),
    ("round", Float, Int), ("show_float", Float, Str), ("is_nan", Float, Bool), ("sqrt", Float, Float),
    ("length", List, Int), ("head", List, Str), ("join", List, Str), ("null", List, Bool),
    ("reverse", List, List), ("not", Bool, Bool), ("show_bool", Bool, Str), ("from_bool", Bool, Int),
    ("is_upper", Char, Bool), ("upper", Char, Char), ("digits", Int, List),
]


def library() -> Graph:
    g = Graph()
    nodes: dict[Variable, Node] = {}
    for t in (Str, Int, Bool, Float, Char, List):
        nodes[t] = Node(t)
        g.nodes[nodes[t].uid()] = nodes[t]
    for name, arg, result in LIBRARY:
        edge = Edge(Term(name, Application(arg, result)), nodes[arg], nodes[result])
        g.edges[edge.uid()] = edge
    return g


def main() -> None:
    g = library()
    chains = g.query().match("(a:Str)-[fs]->{1,4}(b:Bool)").return_("fs")
    print(f"{len(LIBRARY)} functions; {len(chains)} chains of at most four take Str to Bool:")
    for row in chains:
        chain = row["fs"]
        assert isinstance(chain, list)  # a quantified edge binds a list of edges
        term = Term("s", Str)
        for edge in chain:
            term = edge.term(term)  # the type checker confirms each step
        assert term.type == Bool
        print(f"  {len(chain)}  {term.name}")


if __name__ == "__main__":
    main()
