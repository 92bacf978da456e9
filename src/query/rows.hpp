// The row table: the bindings a query run fills and keeps between runs.
//
// Variables are numbered once, when a clause naming them is queued (see
// Symbols in query/plan.hpp), and each number is a column of the table.  A
// column is a list of cells aligned by position only: row i is the i-th cell
// of every bound column that has one.  After filtering or reordering a column
// can have a hole at a position (an empty cell): the row simply lacks that
// variable there.  Trailing holes are never kept.
//
// A cell is a bound value, small and cheap to copy:
//   - a node: its type and the property dictionary it had when it was bound
//     (a snapshot of the record, sharing the dictionary object);
//   - an edge: the Edge object itself (its term and end nodes never change)
//     and the property dictionary it had when it was bound.
//
// The table is an internal Python object tracked by the collector, held by a
// query and shared with the query's copies until one of them runs (copy on
// write), so every Python value it holds is visited once, by the table.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/records.hpp"
#include "module/object.hpp"

namespace veldrin {

class Cell {
public:
    Cell() noexcept = default;
    static Cell node(TypeRef type, Ref properties) noexcept {
        Cell c;
        c.type_ = std::move(type);
        c.properties_ = std::move(properties);
        return c;
    }
    static Cell node(const NodeRecord& n) noexcept { return node(n.type, n.properties); }
    // `edge` is an Edge object; `properties` its dictionary at binding time.
    static Cell edge(Ref edge, Ref properties) noexcept {
        Cell c;
        c.edge_ = std::move(edge);
        c.properties_ = std::move(properties);
        return c;
    }

    bool empty() const noexcept { return !type_ && !edge_; }
    bool is_node() const noexcept { return static_cast<bool>(type_); }
    bool is_edge() const noexcept { return static_cast<bool>(edge_); }

    // Nodes only.
    const TypeRef& node_type() const noexcept { return type_; }
    // Edges only: the Edge object's record (its term, start and end).
    const EdgeRecord& edge_record() const noexcept { return payload<EdgeRecord>(edge_.get()); }
    PyObject* edge_object() const noexcept { return edge_.get(); }
    // The node's type, or the type of the edge's term.
    const TypeRef& type() const noexcept { return type_ ? type_ : edge_record().term.type; }
    // The dictionary snapshot; null only after the collector emptied the table.
    PyObject* properties() const noexcept { return properties_.get(); }

    // Copies of the bound value as records (a missing dictionary becomes a
    // new empty one), and a new Node or Edge object made from one.
    NodeRecord node_record() const;
    EdgeRecord edge_record_copy() const;
    Ref to_object() const;

    // Same node (structurally equal types, hence equal UIDs) or same edge
    // (equal terms)?
    bool same_identity(const Cell& other) const;

    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(edge_.get());
        Py_VISIT(properties_.get());
        return 0;
    }
    void clear() noexcept {
        properties_.reset();
        edge_.reset();
    }

private:
    TypeRef type_;
    Ref edge_;
    Ref properties_;
};

struct Column {
    bool bound = false;
    std::vector<Cell> cells;

    const Cell* at(size_t row) const noexcept {
        return row < cells.size() && !cells[row].empty() ? &cells[row] : nullptr;
    }
};

struct RowTable {
    std::vector<Column> columns;   // by variable number
    std::vector<uint32_t> bound;   // numbers of the bound columns, in binding order

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

PyTypeObject* row_table_class();

// A new, empty table object.
Ref new_row_table();
// A new table object holding a copy of `table`.
Ref copy_row_table(const RowTable& table);

}  // namespace veldrin
