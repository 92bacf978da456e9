#include "graph/exchange.hpp"

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graph/graph.hpp"
#include "module/binder.hpp"
#include "module/convert.hpp"
#include "module/dict_walk.hpp"
#include "module/pickling.hpp"
#include "module/text.hpp"
#include "types/type_reader.hpp"
#include "types/type_table.hpp"

namespace veldrin {

namespace {

void put(PyObject* dict, const char* key, const Ref& value) {
    if (PyDict_SetItemString(dict, key, value.get()) < 0) throw_pending();
}

// The value of a str key, or null.
Ref get(PyObject* dict, const char* key) {
    Ref k = to_str(key);
    PyObject* value = PyDict_GetItemWithError(dict, k.get());
    if (!value && PyErr_Occurred()) throw_pending();
    return Ref::borrow(value);
}

// Re-raises a pending TypeError or ValueError with `prefix` before its
// message; any other exception passes unchanged.
[[noreturn]] void reraise_prefixed(const std::string& prefix) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
        throw_pending();
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref hold_type = Ref::steal_or_null(type), hold_value = Ref::steal_or_null(value),
        hold_traceback = Ref::steal_or_null(traceback);
    Ref message = Ref::steal(PyObject_Str(hold_value.get()));
    raise(hold_type.get(), prefix + ": " + text_value(message.get(), nullptr));
}

// The concrete type a type text reads as, or null.
TypeRef read_type_text(std::string_view text, SyntaxError& why) {
    try {
        return concrete_type("$" + std::string(text) + "$", why);
    } catch (PyErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_RecursionError)) throw;
        PyErr_Clear();
        why.code = SyntaxCode::TypeDeeperThanLimit;
        why.text = std::to_string(kMaxTypeDepth);
        return {};
    }
}

// Is `text` the text form of `t`?  Stops at the first difference, so a type
// whose shared subtrees would spell a huge text costs no more than `text`.
bool text_matches(const TypeRef& t, std::string_view text) {
    struct Item {
        const TypeNode* node;
        std::string_view piece;
    };
    std::size_t at = 0;
    std::vector<Item> pending{{t.node(), {}}};
    while (!pending.empty()) {
        Item item = pending.back();
        pending.pop_back();
        if (item.node && item.node->is_application) {
            pending.push_back({nullptr, ")"});
            pending.push_back({item.node->right, {}});
            pending.push_back({nullptr, " -> "});
            pending.push_back({item.node->left, {}});
            item.piece = "(";
        } else if (item.node) {
            item.piece = item.node->name;
        }
        if (text.substr(at, item.piece.size()) != item.piece) return false;
        at += item.piece.size();
    }
    return at == text.size();
}

// ---- writing node-link data ----------------------------------------------------

void put_type(PyObject* entry, const TypeRef& t) {
    std::string text = type_text(t);
    SyntaxError why{Grammar::TypeText};
    TypeRef back = read_type_text(text, why);
    put(entry, "type", to_str(text));
    if (!back || !(back == t)) put(entry, "type_parts", type_table(t, true));
}

Ref copied_properties(PyObject* properties) { return Ref::steal(PyDict_Copy(properties)); }

// "Graph.nodes["key"]", for messages (made only when one is raised).
std::string entry_name(const char* dict, PyObject* key) {
    return std::string("Graph.") + dict + "[" + escaped_quoted(text_arg(key, nullptr)) + "]";
}

// Checks an entry of the node (edge) dictionary: a str key holding a Node
// (Edge) object.
void check_entry(const char* dict, PyObject* key, PyObject* value, PyTypeObject* cls,
                 const char* expected) {
    if (!PyUnicode_Check(key)) {
        raise_wrong_type(std::string("a key of Graph.") + dict, "a str", key);
    }
    if (!is_instance(value, cls)) raise_wrong_type(entry_name(dict, key), expected, value);
}

void check_key(const char* dict, PyObject* key, const Uid& uid, const char* what) {
    if (text_arg(key, nullptr) != uid.view()) {
        raise(PyExc_ValueError, entry_name(dict, key) + ": the key is not the UID of its " + what +
                                    ", which node-link data cannot keep");
    }
}

// The UID as a str: the key itself when it is a plain str (it then holds
// the UID's text).
Ref uid_text(const Ref& key, const Uid& uid) {
    return PyUnicode_CheckExact(key.get()) ? key : to_str(uid.view());
}

Ref node_link(PyObject* self) {
    GraphPayload g = graph_dictionaries(self);
    Ref nodes = Ref::steal(PyList_New(0)), edges = Ref::steal(PyList_New(0));
    std::unordered_set<std::string> node_uids;
    Ref key, value;
    DictWalk node_walk(g.nodes.get());
    while (node_walk.next(key, value)) {
        check_entry("nodes", key.get(), value.get(), node_class(), "a Node");
        NodeRecord n = node_from_object(value.get());
        Uid uid = node_uid(n);
        check_key("nodes", key.get(), uid, "node");
        node_uids.insert(uid.str());
        Ref entry = Ref::steal(PyDict_New());
        put(entry.get(), "id", uid_text(key, uid));
        put_type(entry.get(), n.type);
        put(entry.get(), "properties", copied_properties(n.properties.get()));
        if (PyList_Append(nodes.get(), entry.get()) < 0) throw_pending();
    }
    DictWalk edge_walk(g.edges.get());
    while (edge_walk.next(key, value)) {
        check_entry("edges", key.get(), value.get(), edge_class(), "an Edge");
        EdgeRecord e = edge_from_object(value.get());
        Uid uid = edge_uid(e);
        check_key("edges", key.get(), uid, "edge");
        Uid ends[2] = {node_uid(e.start), node_uid(e.end)};
        for (int i = 0; i < 2; ++i) {
            if (!node_uids.count(ends[i].str())) {
                raise(PyExc_ValueError, entry_name("edges", key.get()) + ": its " +
                                            (i == 0 ? "start" : "end") +
                                            " node is not in the graph");
            }
        }
        Ref entry = Ref::steal(PyDict_New());
        put(entry.get(), "source", to_str(ends[0].view()));
        put(entry.get(), "target", to_str(ends[1].view()));
        put(entry.get(), "key", uid_text(key, uid));
        put(entry.get(), "term", to_str(e.term.name()));
        put_type(entry.get(), e.term.type());
        put(entry.get(), "properties", copied_properties(e.properties.get()));
        if (PyList_Append(edges.get(), entry.get()) < 0) throw_pending();
    }
    Ref data = Ref::steal(PyDict_New());
    put(data.get(), "directed", to_bool(true));
    put(data.get(), "multigraph", to_bool(true));
    put(data.get(), "graph", Ref::steal(PyDict_New()));
    put(data.get(), "nodes", nodes);
    put(data.get(), "edges", edges);
    return data;
}

// ---- reading node-link data ----------------------------------------------------

// One entry of the data ("node-link nodes[3]") and its checked fields.
class Entry {
public:
    Entry(PyObject* list, const char* list_name, Py_ssize_t i)
        : name_("node-link " + std::string(list_name) + "[" + std::to_string(i) + "]"),
          dict_(Ref::borrow(PySequence_Fast_GET_ITEM(list, i))) {
        if (!PyDict_Check(dict_.get())) raise_wrong_type(name_, "a dict", dict_.get());
    }
    const std::string& name() const { return name_; }
    std::string field_name(const char* field) const { return name_ + ": field '" + field + "'"; }

    Ref required(const char* field) const {
        Ref value = get(dict_.get(), field);
        if (!value) raise(PyExc_ValueError, name_ + " has no field '" + field + "'");
        return value;
    }
    std::string text(const char* field) const {
        Ref value = required(field);
        if (!PyUnicode_Check(value.get()))
            raise_wrong_type(field_name(field), "a str", value.get());
        return text_value(value.get(), nullptr);
    }
    TypeRef type() const {
        std::string text = this->text("type");
        Ref parts = get(dict_.get(), "type_parts");
        if (parts && parts.get() != Py_None) {
            TypeRef t = type_from_table(parts.get(), field_name("type_parts"));
            if (!text_matches(t, text)) {
                raise(PyExc_ValueError,
                      field_name("type") + " is not the text of field 'type_parts'");
            }
            return t;
        }
        SyntaxError why{Grammar::TypeText};
        TypeRef t = read_type_text(text, why);
        if (!t) {
            raise(PyExc_ValueError, field_name("type") + " is no concrete type: " + why.message());
        }
        return t;
    }
    // A copy of the "properties" dict; absent or None: a new empty dict.
    Ref properties() const {
        Ref value = get(dict_.get(), "properties");
        if (!value || value.get() == Py_None) return Ref::steal(PyDict_New());
        if (!PyDict_Check(value.get())) {
            raise_wrong_type(field_name("properties"), "a dict", value.get());
        }
        return copied_properties(value.get());
    }

private:
    std::string name_;
    Ref dict_;
};

// A list or tuple in the data, as a tuple that Python code cannot change.
Ref entry_list(PyObject* data, const char* key) {
    Ref list = get(data, key);
    if (!list) return list;
    if (!PyList_Check(list.get()) && !PyTuple_Check(list.get())) {
        raise_wrong_type(std::string("node-link field '") + key + "'", "a list", list.get());
    }
    return Ref::steal(PySequence_Tuple(list.get()));
}

// Enters `uid` for entry `i`; ValueError naming the earlier entry on a repeat.
void enter_once(std::unordered_map<std::string, Py_ssize_t>& seen, const Uid& uid,
                const Entry& entry, const char* list_name, Py_ssize_t i, const char* what) {
    auto [it, added] = seen.emplace(uid.str(), i);
    if (!added) {
        raise(PyExc_ValueError, entry.name() + " repeats the " + what + " of " + list_name + "[" +
                                    std::to_string(it->second) + "]");
    }
}

Ref graph_from_data(PyObject* data) {
    if (!PyDict_Check(data)) raise_wrong_type("node-link data", "a dict", data);
    Ref nodes = entry_list(data, "nodes");
    if (!nodes) raise(PyExc_ValueError, "node-link data has no field 'nodes'");
    Ref edges = entry_list(data, "edges");
    Ref links = entry_list(data, "links");
    if (edges && links) raise(PyExc_ValueError, "node-link data has both 'edges' and 'links'");
    const char* edges_name = edges ? "edges" : "links";
    if (!edges) edges = links;
    if (!edges) raise(PyExc_ValueError, "node-link data has no field 'edges' (or 'links')");

    Ref node_dict = Ref::steal(PyDict_New()), edge_dict = Ref::steal(PyDict_New());
    Ref ids = Ref::steal(PyDict_New());  // entry id -> index into `records`
    std::vector<NodeRecord> records;
    std::unordered_map<std::string, Py_ssize_t> seen;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(nodes.get()); ++i) {
        Entry entry(nodes.get(), "nodes", i);
        Ref id = entry.required("id");
        NodeRecord n{entry.type(), entry.properties()};
        Uid uid = node_uid(n);
        enter_once(seen, uid, entry, "nodes", i, "type");
        int known = PyDict_Contains(ids.get(), id.get());
        if (known < 0) reraise_prefixed(entry.field_name("id"));
        if (known) raise(PyExc_ValueError, entry.field_name("id") + " repeats an earlier id");
        Ref index = Ref::steal(PyLong_FromSize_t(records.size()));
        if (PyDict_SetItem(ids.get(), id.get(), index.get()) < 0) throw_pending();
        records.push_back(n);
        if (PyDict_SetItem(node_dict.get(), to_str(uid.view()).get(), node_to_object(n).get()) <
            0) {
            throw_pending();
        }
    }
    seen.clear();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(edges.get()); ++i) {
        Entry entry(edges.get(), edges_name, i);
        const NodeRecord* ends[2];
        const char* end_fields[2] = {"source", "target"};
        for (int k = 0; k < 2; ++k) {
            Ref id = entry.required(end_fields[k]);
            PyObject* index = PyDict_GetItemWithError(ids.get(), id.get());
            if (!index) {
                if (PyErr_Occurred()) reraise_prefixed(entry.field_name(end_fields[k]));
                raise(PyExc_ValueError, entry.field_name(end_fields[k]) + " is the id of no node");
            }
            ends[k] = &records[PyLong_AsSize_t(index)];
        }
        TermValue term{entry.text("term"), entry.type()};
        EdgeRecord e{std::move(term), *ends[0], *ends[1], entry.properties()};
        Uid uid = edge_uid(e);
        enter_once(seen, uid, entry, edges_name, i, "term");
        if (PyDict_SetItem(edge_dict.get(), to_str(uid.view()).get(), edge_to_object(e).get()) <
            0) {
            throw_pending();
        }
    }
    return new_instance(graph_class(), GraphPayload{node_dict, edge_dict});
}

// ---- DOT ------------------------------------------------------------------------

// A DOT string that shows `text` as written: quotes and backslashes are
// escaped (so no "\N" or "\l" escape is read), "&" is written as an entity
// (so no "&amp;" in the text is read as one), a newline becomes a line break
// and NUL, which DOT text cannot hold, the symbol for it (U+2400).  Braces,
// angle brackets and bars need nothing inside quotes.
void append_dot_string(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '&':
                out += "&amp;";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\0':
                out += "\u2400";
                break;
            default:
                out += c;
        }
    }
    out += '"';
}

void append_vertex(std::string& out, std::unordered_set<std::string>& drawn, const NodeRecord& n) {
    Uid uid = node_uid(n);
    if (!drawn.insert(uid.str()).second) return;
    out += "  ";
    append_dot_string(out, uid.view());
    out += " [id=";
    append_dot_string(out, uid.view());
    out += ", label=";
    append_dot_string(out, type_text(n.type));
    out += "];\n";
}

std::string dot_text(PyObject* self) {
    GraphPayload g = graph_dictionaries(self);
    std::string out = "digraph {\n";
    std::unordered_set<std::string> drawn;
    Ref key, value;
    DictWalk node_walk(g.nodes.get());
    while (node_walk.next(key, value)) {
        if (!is_instance(value.get(), node_class())) {
            raise_wrong_type("a value of Graph.nodes", "a Node", value.get());
        }
        append_vertex(out, drawn, node_from_object(value.get()));
    }
    DictWalk edge_walk(g.edges.get());
    while (edge_walk.next(key, value)) {
        if (!is_instance(value.get(), edge_class())) {
            raise_wrong_type("a value of Graph.edges", "an Edge", value.get());
        }
        EdgeRecord e = edge_from_object(value.get());
        // An end that is not in the node dictionary is drawn from the edge.
        append_vertex(out, drawn, e.start);
        append_vertex(out, drawn, e.end);
        out += "  ";
        append_dot_string(out, node_uid(e.start).view());
        out += " -> ";
        append_dot_string(out, node_uid(e.end).view());
        out += " [id=";
        append_dot_string(out, edge_uid(e).view());
        out += ", label=";
        append_dot_string(out, e.term.name());
        out += "];\n";
    }
    out += "}\n";
    return out;
}

}  // namespace

PyObject* graph_to_node_link(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] { return node_link(self); });
}

PyObject* graph_from_node_link(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    return guard_obj([&] {
        static constexpr const char* names[] = {"data"};
        static constexpr Signature sig = make_signature("Graph.from_node_link()", names, 1, 0b1);
        BoundArgs a;
        bind(sig, args, nargs, kwnames, a);
        return graph_from_data(a[0]);
    });
}

PyObject* graph_to_dot(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] { return to_str(dot_text(self)); });
}

}  // namespace veldrin
