// The row table: the bindings a query run fills and keeps between runs.
//
// Variables are numbered once, when a clause naming them is queued (see
// Symbols in query/plan.hpp), and each number is a column of the table.  A
// column is a list of cells aligned by position only: row i is the i-th cell
// of every bound column that has one.  After filtering or reordering a column
// can have a hole at a position (an empty cell): the row simply lacks that
// variable there.  Trailing holes are never kept.
//
// A cell is a bound value, small and cheap to copy, holding the property
// dictionary the node or edge had when it was bound (a snapshot of the
// record, sharing the dictionary object) and:
//   - for a node of the node dictionary, or one the run made: the Node object
//     (its type never changes);
//   - for a node known only by an edge's record: its type;
//   - for an edge: the Edge object (its term and end nodes never change);
//   - for a list of edges (what a quantified edge binds): a tuple of
//     (Edge object, dictionary at binding time) pairs, flattened, in walk
//     order; the cell itself has no dictionary.
//
// The table is an internal Python object tracked by the collector, held by a
// query and shared with the query's copies until one of them runs (copy on
// write), so every Python value it holds is visited once, by the table.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "graph/records.hpp"
#include "module/object.hpp"

namespace veldrin {

class Cell {
public:
    Cell() noexcept = default;
    Cell(const Cell&) = default;
    Cell& operator=(const Cell&) = default;
    Cell(Cell&& o) noexcept
        : kind_(std::exchange(o.kind_, Kind::Empty)),
          object_(std::move(o.object_)),
          type_(std::move(o.type_)),
          properties_(std::move(o.properties_)) {}
    Cell& operator=(Cell&& o) noexcept {
        Cell tmp(std::move(o));
        std::swap(kind_, tmp.kind_);
        std::swap(object_, tmp.object_);
        std::swap(type_, tmp.type_);
        std::swap(properties_, tmp.properties_);
        return *this;
    }
    // A node known by its record only (an edge's start or end).
    static Cell node(const NodeRecord& n) noexcept {
        Cell c;
        c.kind_ = Kind::NodeRecord;
        c.type_ = n.type;
        c.properties_ = n.properties;
        return c;
    }
    // A Node object (its type never changes) and its dictionary at binding
    // time.
    static Cell node_object(Ref node, Ref properties) noexcept {
        Cell c;
        c.kind_ = Kind::NodeObject;
        c.object_ = std::move(node);
        c.properties_ = std::move(properties);
        return c;
    }
    // An Edge object (its term and ends never change) and its dictionary at
    // binding time.
    static Cell edge(Ref edge, Ref properties) noexcept {
        Cell c;
        c.kind_ = Kind::Edge;
        c.object_ = std::move(edge);
        c.properties_ = std::move(properties);
        return c;
    }

    // A list of edges: `pairs` is a tuple (edge, dictionary, edge, ...).
    static Cell edge_list(Ref pairs) noexcept {
        Cell c;
        c.kind_ = Kind::EdgeList;
        c.object_ = std::move(pairs);
        return c;
    }

    bool empty() const noexcept { return kind_ == Kind::Empty; }
    bool is_node() const noexcept { return kind_ == Kind::NodeRecord || kind_ == Kind::NodeObject; }
    bool is_edge() const noexcept { return kind_ == Kind::Edge; }
    bool is_edge_list() const noexcept { return kind_ == Kind::EdgeList; }

    // Lists only: the number of edges, the k-th as an edge cell, and the
    // tuple holding them.
    size_t list_size() const noexcept {
        return static_cast<size_t>(PyTuple_GET_SIZE(object_.get())) / 2;
    }
    Cell list_item(size_t k) const noexcept {
        PyObject* pairs = object_.get();
        return edge(Ref::borrow(PyTuple_GET_ITEM(pairs, 2 * k)),
                    Ref::borrow(PyTuple_GET_ITEM(pairs, 2 * k + 1)));
    }
    PyObject* list_object() const noexcept { return object_.get(); }

    // Nodes only.
    const TypeRef& node_type() const noexcept {
        return kind_ == Kind::NodeObject ? payload<NodeRecord>(object_.get()).type : type_;
    }
    // Edges only: the Edge object's record (its term, start and end).
    const EdgeRecord& edge_record() const noexcept { return payload<EdgeRecord>(object_.get()); }
    // The node's type, or the type of the edge's term.
    const TypeRef& type() const noexcept {
        return kind_ == Kind::Edge ? edge_record().term.type() : node_type();
    }
    // The dictionary snapshot; null only after the collector emptied the table.
    PyObject* properties() const noexcept { return properties_.get(); }

    // Copies of the bound value as records (a missing dictionary becomes a
    // new empty one), and a new Node or Edge object made from one (for a
    // list, a new list of new Edge objects).
    NodeRecord node_record() const;
    EdgeRecord edge_record_copy() const;
    Ref to_object() const;

    // Same node (structurally equal types, hence equal UIDs), same edge
    // (equal terms), or lists of the same edges in the same order?
    bool same_identity(const Cell& other) const;

    // Is this the node object `object` (or the node of type node `type`),
    // or the edge object `object`, with the dictionary `properties`?
    bool holds_node(PyObject* object, const TypeNode* type, PyObject* properties) const noexcept {
        return properties_.get() == properties &&
               (object ? kind_ == Kind::NodeObject && object_.get() == object
                       : kind_ == Kind::NodeRecord && type_.node() == type);
    }
    bool holds_edge(PyObject* object, PyObject* properties) const noexcept {
        return kind_ == Kind::Edge && object_.get() == object && properties_.get() == properties;
    }
    // Is this the list of the `n` edges (object, dictionary) at `items`?
    bool holds_list(const std::pair<PyObject*, PyObject*>* items, size_t n) const noexcept;

    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(object_.get());
        Py_VISIT(properties_.get());
        return 0;
    }
    void clear() noexcept {
        // The kind stays: an emptied cell still reads as what it was, with
        // no object (its type is then unknown, so it reads as empty).
        properties_.reset();
        if (object_) kind_ = Kind::Empty;
        object_.reset();
    }

private:
    enum class Kind : unsigned char { Empty, NodeRecord, NodeObject, Edge, EdgeList };
    Kind kind_ = Kind::Empty;
    Ref object_;
    TypeRef type_;
    Ref properties_;
};

struct Column {
    bool bound = false;
    std::vector<Cell> cells;

    const Cell* at(size_t row) const noexcept {
        return row < cells.size() && !cells[row].empty() ? &cells[row] : nullptr;
    }
};

// One row of bindings, as a condition reads it.
class RowView {
public:
    // The value bound to `column` in this row, or null.
    virtual const Cell* at(int column) const noexcept = 0;

protected:
    ~RowView() = default;
};

struct RowTable;

// Row `row` of a table.
class TableRow final : public RowView {
public:
    TableRow(const RowTable& t, size_t row) noexcept : t_(t), row_(row) {}
    const Cell* at(int column) const noexcept override;

private:
    const RowTable& t_;
    size_t row_;
};

struct RowTable {
    std::vector<Column> columns;  // by variable number
    std::vector<uint32_t> bound;  // numbers of the bound columns, in binding order

    bool is_bound(int column) const noexcept {
        return column >= 0 && static_cast<size_t>(column) < columns.size() &&
               columns[static_cast<size_t>(column)].bound;
    }
    const Cell* at(int column, size_t row) const noexcept {
        return is_bound(column) ? columns[static_cast<size_t>(column)].at(row) : nullptr;
    }
    // The longest bound column: the number of rows.
    size_t row_count() const noexcept {
        size_t n = 0;
        for (uint32_t c : bound) n = columns[c].cells.size() > n ? columns[c].cells.size() : n;
        return n;
    }
    bool empty() const noexcept { return bound.empty(); }

    // Binds `column` to `cells`, replacing what it held.  The old cells are
    // released only after the table is whole again: releasing them can run
    // Python code, and with it the collector, which reads the table.
    void replace(int column, std::vector<Cell>&& cells);
    // Appends one cell to `column`, binding it (empty) first if needed.
    void append(int column, Cell cell);
    // Unbinds every column not in `keep`.
    void keep_only(const std::vector<int>& keep);
    // Every bound column takes its cells at `positions`, in that order (a
    // column too short for a position gets a hole); trailing holes go.  No
    // position may be given twice.
    void take_positions(const std::vector<size_t>& positions);

    int traverse(visitproc visit, void* arg) const noexcept;
    void clear() noexcept;
};

inline const Cell* TableRow::at(int column) const noexcept { return t_.at(column, row_); }

// Builds the new cells of one column during a match.  A cell that equals
// the one the column held at the same position (the same object, or the same
// type node, with the same dictionary) is taken over from the old column when
// the builder finishes instead of being made again, so a rerun over an
// unchanged graph leaves reference counts alone.  The builders of one clause
// all finish before any column is replaced, and only one of them may take
// over from a given column (`reuse`).
class ColumnBuilder {
public:
    ColumnBuilder(const RowTable& t, int column, bool reuse = true)
        : old_(reuse && t.is_bound(column) ? &t.columns[static_cast<size_t>(column)].cells
                                           : nullptr),
          column_(column) {}

    // A node object, or (object null) a node known by its record.
    void node(PyObject* object, const TypeRef& type, PyObject* properties) {
        if (column_ < 0) return;
        if (const Cell* old = old_at(size());
            old && old->holds_node(object, type.node(), properties)) {
            return keep();
        }
        add(object ? Cell::node_object(Ref::borrow(object), Ref::borrow(properties))
                   : Cell::node(NodeRecord{type, Ref::borrow(properties)}));
    }
    void node(const NodeRecord& n) { node(nullptr, n.type, n.properties.get()); }
    void edge(PyObject* object, PyObject* properties) {
        if (column_ < 0) return;
        if (const Cell* old = old_at(size()); old && old->holds_edge(object, properties)) {
            return keep();
        }
        add(Cell::edge(Ref::borrow(object), Ref::borrow(properties)));
    }
    // A list of the `n` edges (object, dictionary) at `items`.
    void edges(const std::pair<PyObject*, PyObject*>* items, size_t n);
    size_t size() const noexcept { return same_ ? same_count_ : cells_.size(); }
    int column() const noexcept { return column_; }
    // Takes back the newest row's cell (there is one).
    void pop() {
        if (column_ < 0) return;
        if (same_) {
            --same_count_;
            return;
        }
        if (!kept_.empty() && kept_.back() == cells_.size() - 1) kept_.pop_back();
        cells_.pop_back();
    }
    // The cell of the newest row (there is one): made, or kept from the old
    // column.
    const Cell& last() const noexcept {
        size_t p = size() - 1;
        if (same_ || (!kept_.empty() && kept_.back() == p)) return (*old_)[p];
        return cells_[p];
    }

    // The cells, the kept ones taken from the old column of `table` (the
    // same table, now writable).
    std::vector<Cell> finish(RowTable& table) {
        if (same_ && same_count_ == 0) return {};
        if (same_) {
            // Every cell was kept: the old column, cut to length, is the new one.
            std::vector<Cell> out;
            out.swap(table.columns[static_cast<size_t>(column_)].cells);
            out.resize(same_count_);
            return out;
        }
        if (!kept_.empty()) {
            std::vector<Cell>& old = table.columns[static_cast<size_t>(column_)].cells;
            for (size_t p : kept_) cells_[p] = std::move(old[p]);
            kept_.clear();
        }
        return std::move(cells_);
    }

private:
    const std::vector<Cell>* old_;
    int column_;
    // While every cell so far equals the old one at its position, only the
    // count is kept (`same_`); the first difference makes the list.
    bool same_ = true;
    size_t same_count_ = 0;
    std::vector<Cell> cells_;
    std::vector<size_t> kept_;

    const Cell* old_at(size_t position) const noexcept {
        return old_ && position < old_->size() ? &(*old_)[position] : nullptr;
    }
    void keep() {
        if (same_) {
            ++same_count_;
            return;
        }
        kept_.push_back(cells_.size());
        cells_.emplace_back();
    }
    void add(Cell&& c) {
        if (same_) {
            same_ = false;
            cells_.resize(same_count_);
            for (size_t p = 0; p < same_count_; ++p) kept_.push_back(p);
        }
        cells_.push_back(std::move(c));
    }
};

// A new, empty table object.
Ref new_row_table();
// A new table object holding a copy of `table`.
Ref copy_row_table(const RowTable& table);

}  // namespace veldrin
