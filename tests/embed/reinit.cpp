// An embedding program that initialises the interpreter, imports veldrin,
// uses every class a little and finalises, three times over in one process:
// the module must not keep anything of an interpreter that is gone.  While
// the first interpreter of a round is alive, a second one (made through the
// C API) must still be refused the import.  Exits non-zero on any failure.
//
// usage: reinit DIR   (DIR: the directory holding the built module)
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <string>

namespace {

// Every class, the module's helpers (pickling's _restore, deep copy, the
// Unicode category lookup of representations) and its internal-fault
// exception; each result is checked.
const char kUse[] = R"py(
import copy, pickle, veldrin as v
A, B = v.Variable("A"), v.Variable("B")
f = v.Term("f", v.Application(A, B))
x = v.Term("x", A)
assert str(f(x)) == "(f x):B" and repr(v.Application(A, B)) == "Application(A, B)"
g = v.Graph()
a, b = v.Node(A, {"age": 3}), v.Node(B)
g.nodes[a.uid()], g.nodes[b.uid()] = a, b
e = v.Edge(f, a, b)
g.edges[e.uid()] = e
assert v.TypeSchema("$A -> *$").matches(f.type)
assert repr(v.NodePattern("n\u0301")) == 'NodePattern(variable=Some("n\\u{301}"))'
assert v.EdgePattern("e").direction == "forward"
assert len(v.PathPattern("(n:A)-[e]->(m)").nodes) == 2
rows = (v.Query(g).match("(n:A {age: $age})-[e]->(m)").bind({"age": 3})
        .where("n.age > 2").return_("n", "m"))
assert [(r["n"].uid(), r["m"].uid()) for r in rows] == [(a.uid(), b.uid())], rows
assert g.query().match(node="n").return_count() == 2
h = pickle.loads(pickle.dumps(g))
assert len(h.nodes) == 2 and len(copy.deepcopy(g).edges) == 1

class Mutator:
    def __eq__(self, other):
        g.nodes["added"] = v.Node(A)
        return True
    __hash__ = object.__hash__
try:
    g.query().match(node="n", properties={"age": Mutator()}).return_("n")
    raise AssertionError("no fault")
except BaseException as exc:
    assert type(exc).__name__ == "PanicException", exc
)py";

const char kRefused[] = R"py(
try:
    import veldrin
    raise AssertionError("a second interpreter imported veldrin")
except ImportError as exc:
    assert "does not support sub-interpreters" in str(exc), exc
)py";

bool run(const char* code, const std::string& dir) {
    std::string prelude = "import sys\nsys.path.insert(0, " + std::string("r'") + dir + "')\n";
    return PyRun_SimpleString((prelude + code).c_str()) == 0;
}

bool round_trip(const std::string& dir) {
    Py_Initialize();
    bool ok = run(kUse, dir);
    PyThreadState* main_state = PyThreadState_Get();
    PyThreadState* second = Py_NewInterpreter();
    if (!second) {
        ok = false;
    } else {
        ok = run(kRefused, dir) && ok;
        Py_EndInterpreter(second);
    }
    PyThreadState_Swap(main_state);
    ok = run(kUse, dir) && ok;  // the first interpreter still works
    return Py_FinalizeEx() == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    for (int round = 1; round <= 3; ++round) {
        if (!round_trip(argv[1])) {
            std::fprintf(stderr, "reinit: round %d failed\n", round);
            return 1;
        }
    }
    std::puts("reinit: three rounds of initialise, import, use, finalise");
    return 0;
}
