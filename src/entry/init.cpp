// The module's entry point: creates the module and registers the classes in
// their fixed order, and lets go of everything the module kept when the
// module is freed.  This is the one file that sits above every area.
#include <atomic>

#include "graph/graph.hpp"
#include "graph/graph_state.hpp"
#include "module/kept.hpp"
#include "module/pickling.hpp"
#include "module/py.hpp"
#include "patterns/pattern_state.hpp"
#include "patterns/patterns.hpp"
#include "query/query.hpp"
#include "term/term.hpp"
#include "term/term_state.hpp"
#include "type_schema/schema_state.hpp"
#include "type_schema/type_schema.hpp"
#include "types/type_table.hpp"
#include "types/types_py.hpp"

namespace veldrin {
namespace {

const char kModuleDoc[] =
    "A Python module for type theoretical graph modeling.\n"
    "\n"
    "This module exposes the core classes to Python, including the type system,\n"
    "graph components and query mechanisms.\n"
    "\n"
    "Classes Exposed\n"
    "---------------\n"
    "- Variable: Type variables\n"
    "- Application: Application types (A -> B)\n"
    "- Term: Typed terms\n"
    "- Node: Graph nodes with types\n"
    "- Edge: Graph edges with terms\n"
    "- Graph: The main graph structure\n"
    "- TypeSchema: Type pattern matching\n"
    "- NodePattern, EdgePattern, PathPattern: Query patterns\n"
    "- Query: The query builder\n";

struct ClassEntry {
    const char* name;
    PyTypeObject* (*get)();
};

const ClassEntry kClasses[] = {
    {"Variable", variable_class},
    {"Application", application_class},
    {"Term", term_class},
    {"Node", node_class},
    {"Edge", edge_class},
    {"Graph", graph_class},
    {"TypeSchema", type_schema_class},
    {"NodePattern", node_pattern_class},
    {"EdgePattern", edge_pattern_class},
    {"PathPattern", path_pattern_class},
    {"Query", query_class},
};

// The kinds of pickled objects; `_restore(kind, *fields)` dispatches on them.
const RestoreEntry kRestorers[] = {
    {"type", restore_type},
    {"Term", restore_term},
    {"TypeSchema", restore_type_schema},
    {"Node", restore_node},
    {"Edge", restore_edge},
    {"Graph", restore_graph},
    {"NodePattern", restore_node_pattern},
    {"EdgePattern", restore_edge_pattern},
    {"PathPattern", restore_path_pattern},
};

// The interpreter that imported the module; -1 while no module exists.
std::atomic<std::int64_t> owner_interpreter{-1};
// The module, borrowed: the interpreter holds it (by its definition) until
// it is finalised, and module_free forgets it then.
PyObject* the_module = nullptr;

// The module goes with its interpreter: what it kept goes too, so that an
// interpreter initialised later in this process (an embedding program that
// finalises and initialises again) imports it afresh.
void module_free(void*) {
    release_kept();
    release_panic_exception();
    the_module = nullptr;
    owner_interpreter = -1;
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "veldrin",
                          kModuleDoc,
                          0,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          module_free};

Ref create_module() {
    Ref module = Ref::steal(PyModule_Create(&module_def));
    Ref all = Ref::steal(PyList_New(0));
    for (const ClassEntry& entry : kClasses) {
        PyObject* cls = reinterpret_cast<PyObject*>(entry.get());
        Ref name = Ref::steal(PyUnicode_FromString(entry.name));
        if (PyList_Append(all.get(), name.get()) < 0) throw_pending();
        if (PyModule_AddObjectRef(module.get(), entry.name, cls) < 0) throw_pending();
    }
    if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) throw_pending();
    install_restorers(kRestorers, sizeof kRestorers / sizeof kRestorers[0]);
    if (PyModule_AddObjectRef(module.get(), "_restore", restore_function()) < 0) throw_pending();
    return module;
}

}  // namespace
}  // namespace veldrin

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_veldrin(void) {
    using namespace veldrin;
    return guard_obj([&] {
        PyInterpreterState* interp = PyInterpreterState_Get();
        std::int64_t id = PyInterpreterState_GetID(interp);
        if (id < 0) throw_pending();
        std::int64_t expected = -1;
        if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
            raise(PyExc_ImportError,
                  "veldrin does not support sub-interpreters: it is already loaded in another "
                  "interpreter of this process");
        }
        if (the_module) return Ref::borrow(the_module);
        Ref module = create_module();
        the_module = module.get();
        return module;
    });
}
