#include "types/type_table.hpp"

#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "module/convert.hpp"
#include "types/types_py.hpp"

namespace veldrin {

Ref type_table(const TypeRef& t, bool as_list) {
    std::unordered_map<const TypeNode*, std::size_t> index;
    std::unordered_map<std::string_view, std::size_t> variables;
    std::vector<Ref> items;
    std::size_t entries = 0;
    // Post-order: an application is written once both of its sides are.
    std::vector<std::pair<const TypeNode*, bool>> pending{{t.node(), false}};
    while (!pending.empty()) {
        auto [node, sides_done] = pending.back();
        pending.pop_back();
        if (index.count(node)) continue;
        if (!node->is_application) {
            auto [it, added] = variables.emplace(node->name, entries);
            if (added) {
                items.push_back(to_str(node->name));
                ++entries;
            }
            index.emplace(node, it->second);
        } else if (!sides_done) {
            pending.emplace_back(node, true);
            pending.emplace_back(node->right, false);
            pending.emplace_back(node->left, false);
        } else {
            items.push_back(Ref::steal(PyLong_FromSize_t(index.at(node->left))));
            items.push_back(Ref::steal(PyLong_FromSize_t(index.at(node->right))));
            index.emplace(node, entries++);
        }
    }
    auto n = static_cast<Py_ssize_t>(items.size());
    Ref table = Ref::steal(as_list ? PyList_New(n) : PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = items[static_cast<std::size_t>(i)].release();
        if (as_list) {
            PyList_SET_ITEM(table.get(), i, item);
        } else {
            PyTuple_SET_ITEM(table.get(), i, item);
        }
    }
    return table;
}

TypeRef type_from_table(PyObject* table, const std::string& context) {
    if (!PyTuple_Check(table) && !PyList_Check(table)) {
        raise_wrong_type(context, "a tuple or list of str and int", table);
    }
    // Nothing below runs Python code, so the sequence cannot change under us.
    Py_ssize_t n = PySequence_Fast_GET_SIZE(table);
    PyObject** items = PySequence_Fast_ITEMS(table);
    if (n == 0) raise(PyExc_ValueError, context + ": the type table is empty");
    std::vector<TypeRef> entries;
    auto index = [&](Py_ssize_t at) -> std::size_t {
        PyObject* item = at < n ? items[at] : nullptr;
        std::string entry = "entry " + std::to_string(entries.size());
        if (!item || PyUnicode_Check(item)) {
            raise(PyExc_ValueError, context + ": " + entry + " is an application missing an index");
        }
        if (!PyLong_CheckExact(item))
            raise_wrong_type(context + ": " + entry, "a str or int", item);
        int overflow = 0;
        long long i = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow || i < 0 || static_cast<unsigned long long>(i) >= entries.size()) {
            raise(PyExc_ValueError,
                  context + ": " + entry + " refers to an entry that does not come before it");
        }
        return static_cast<std::size_t>(i);
    };
    for (Py_ssize_t at = 0; at < n;) {
        PyObject* item = items[at];
        if (PyUnicode_Check(item)) {
            entries.push_back(TypeRef::variable(text_value(item, nullptr)));
            ++at;
            continue;
        }
        std::size_t left = index(at), right = index(at + 1);
        entries.push_back(TypeRef::application(entries[left], entries[right]));
        at += 2;
    }
    return entries.back();
}

PyObject* type_reduce(PyObject* self, PyObject*) noexcept {
    return guard_obj([&] { return reduce_to("type", {type_table(type_from_object(self))}); });
}

Ref restore_type(const StateReader& state) {
    state.expect(1);
    return type_to_object(type_from_table(state.field(0), state.where("type")));
}

}  // namespace veldrin
