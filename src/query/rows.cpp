#include "query/rows.hpp"

#include <algorithm>

#include "module/kept.hpp"

namespace veldrin {

// ---- cells ------------------------------------------------------------------------

namespace {
Ref dict_or_new(PyObject* d) { return d ? Ref::borrow(d) : Ref::steal(PyDict_New()); }
}  // namespace

NodeRecord Cell::node_record() const {
    return NodeRecord{node_type(), dict_or_new(properties_.get())};
}

EdgeRecord Cell::edge_record_copy() const {
    EdgeRecord e = edge_record();
    e.properties = dict_or_new(properties_.get());
    record_properties(e.start);
    record_properties(e.end);
    return e;
}

Ref Cell::to_object() const {
    if (is_node()) return node_to_object(node_record());
    if (!is_edge_list()) return edge_to_object(edge_record_copy());
    size_t n = list_size();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    for (size_t k = 0; k < n; ++k) {
        Ref item = list_item(k).to_object();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item.release());
    }
    return list;
}

bool Cell::same_identity(const Cell& other) const {
    if (kind_ != other.kind_ && (!is_node() || !other.is_node())) return false;
    if (empty() || other.empty()) return false;
    if (object_.get() == other.object_.get() && object_) return true;
    if (is_node()) return node_type() == other.node_type();
    if (is_edge()) return edge_record().term == other.edge_record().term;
    size_t n = list_size();
    if (other.list_size() != n) return false;
    for (size_t k = 0; k < n; ++k) {
        const EdgeRecord& a = payload<EdgeRecord>(PyTuple_GET_ITEM(object_.get(), 2 * k));
        const EdgeRecord& b = payload<EdgeRecord>(PyTuple_GET_ITEM(other.object_.get(), 2 * k));
        if (!(a.term == b.term)) return false;
    }
    return true;
}

bool Cell::holds_list(const std::pair<PyObject*, PyObject*>* items, size_t n) const noexcept {
    if (kind_ != Kind::EdgeList || !object_ || list_size() != n) return false;
    for (size_t k = 0; k < n; ++k) {
        if (PyTuple_GET_ITEM(object_.get(), 2 * k) != items[k].first ||
            PyTuple_GET_ITEM(object_.get(), 2 * k + 1) != items[k].second) {
            return false;
        }
    }
    return true;
}

// ---- column builders -------------------------------------------------------------

void ColumnBuilder::edges(const std::pair<PyObject*, PyObject*>* items, size_t n) {
    if (column_ < 0) return;
    if (const Cell* old = old_at(size()); old && old->holds_list(items, n)) return keep();
    Ref pairs = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(2 * n)));
    for (size_t k = 0; k < n; ++k) {
        PyTuple_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(2 * k), Py_NewRef(items[k].first));
        PyTuple_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(2 * k + 1),
                         Py_NewRef(items[k].second));
    }
    add(Cell::edge_list(std::move(pairs)));
}

// ---- the table --------------------------------------------------------------------

void RowTable::replace(int column, std::vector<Cell>&& cells) {
    size_t c = static_cast<size_t>(column);
    if (c >= columns.size()) columns.resize(c + 1);
    Column& col = columns[c];
    if (!col.bound) {
        col.bound = true;
        bound.push_back(static_cast<uint32_t>(c));
    }
    std::vector<Cell> old;
    old.swap(col.cells);
    col.cells.swap(cells);
    // `old` goes here, with the table whole.
}

void RowTable::append(int column, Cell cell) {
    size_t c = static_cast<size_t>(column);
    if (c >= columns.size() || !columns[c].bound) replace(column, {});
    columns[c].cells.push_back(std::move(cell));
}

void RowTable::keep_only(const std::vector<int>& keep) {
    std::vector<std::vector<Cell>> dropped;
    std::vector<uint32_t> still;
    for (uint32_t c : bound) {
        if (std::find(keep.begin(), keep.end(), static_cast<int>(c)) != keep.end()) {
            still.push_back(c);
            continue;
        }
        columns[c].bound = false;
        dropped.emplace_back().swap(columns[c].cells);
    }
    bound.swap(still);
}

void RowTable::take_positions(const std::vector<size_t>& positions) {
    std::vector<std::vector<Cell>> old(bound.size());
    for (size_t i = 0; i < bound.size(); ++i) {
        std::vector<Cell>& list = columns[bound[i]].cells;
        std::vector<Cell> out;
        out.reserve(positions.size());
        for (size_t p : positions) out.push_back(p < list.size() ? std::move(list[p]) : Cell());
        while (!out.empty() && out.back().empty()) out.pop_back();
        old[i].swap(list);
        list.swap(out);
    }
}

int RowTable::traverse(visitproc visit, void* arg) const noexcept {
    for (uint32_t c : bound) {
        for (const Cell& cell : columns[c].cells) {
            if (int r = cell.traverse(visit, arg)) return r;
        }
    }
    return 0;
}

void RowTable::clear() noexcept {
    for (Column& col : columns) {
        for (Cell& cell : col.cells) cell.clear();
    }
}

namespace {
constinit KeptClass row_table_type{[] {
    return create_class({.name = "veldrin.QueryRows",
                         .doc = "The bindings of a query, column by column.",
                         .instance = layout_of<RowTable>()});
}};
}  // namespace

Ref new_row_table() { return new_instance(row_table_type.get(), RowTable{}); }

Ref copy_row_table(const RowTable& table) {
    return new_instance(row_table_type.get(), RowTable(table));
}

}  // namespace veldrin
