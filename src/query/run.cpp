// The query run: walks the plan chain, oldest clause first, against the
// graph's two dictionaries, filling the row table.
//
// Columns are aligned by position only; there is no join.  Matching replaces
// a variable's column, merging appends what it finds, and the row clauses
// (where, with_, order_by, skip, limit) act on positions, on every column at
// once, so alignment is kept.
//
// Walks of the graph's dictionaries happen in place and detect a dictionary
// that changes under them (Python code can run inside a property
// comparison).  Edges are read from their objects without copying their
// records: an Edge's term and end nodes never change, and the walk holds a
// reference to the object and a snapshot of its property dictionary.  Longer
// paths index the edges by their end nodes' types once per clause and are
// walked by PathWalk (query/paths.hpp).  A match followed by where and skip
// clauses up to a limit runs those clauses with it and stops early (RowSink).
#include <algorithm>
#include <array>
#include <optional>
#include <type_traits>
#include <unordered_set>

#include "errors/model_error.hpp"
#include "graph/graph.hpp"
#include "module/convert.hpp"
#include "module/dict_walk.hpp"
#include "query/paths.hpp"
#include "query/query.hpp"
#include "query/values.hpp"

namespace veldrin {

namespace {

struct TypeHash {
    size_t operator()(const TypeRef& t) const { return static_cast<size_t>(type_hash(t.node())); }
};
struct TypeEq {
    bool operator()(const TypeRef& a, const TypeRef& b) const { return a == b; }
};

// Deletes `key` from `dict`: a key already gone is passed over, any other
// failure is raised.
void delete_key(PyObject* dict, PyObject* key) {
    if (PyDict_DelItem(dict, key) == 0) return;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_pending();
    PyErr_Clear();
}

// What a match hands its rows to when the clauses after it, up to a limit,
// are only where and skip: the rows, in order, go through those clauses one
// at a time (the stages), and the match stops once the limit is reached.
// Whether a row passes depends on its own position only, so the positions
// chosen are those the clauses would choose after the whole walk.
class RowSink {
public:
    struct Stage {
        const Condition* where;  // null: a skip
        unsigned long long skip;
        const std::vector<Ref>* values;  // the where's parameter values
    };

    void start(std::vector<Stage> stages, unsigned long long limit) {
        active_ = true;
        stages_ = std::move(stages);
        limit_ = limit;
    }
    bool active() const noexcept { return active_; }
    bool done() const noexcept { return active_ && selected_.size() >= limit_; }
    size_t position() const noexcept { return position_; }
    const std::vector<size_t>& selected() const noexcept { return selected_; }

    // The row at the next position; true once the limit is reached.
    bool take(const RowView& row) {
        size_t at = position_++;
        for (Stage& s : stages_) {
            if (s.where ? !s.where->holds(row, *s.values) : s.skip > 0) {
                if (!s.where) --s.skip;
                return false;
            }
        }
        selected_.push_back(at);
        return done();
    }

private:
    bool active_ = false;
    std::vector<Stage> stages_;
    unsigned long long limit_ = 0;
    size_t position_ = 0;
    std::vector<size_t> selected_;
};

// A row being made by a match: its columns read from their builders' newest
// cells, every other column from the table.
class OverlayRow final : public RowView {
public:
    OverlayRow(const RowTable& t, size_t row, const std::vector<const ColumnBuilder*>& over)
        : t_(t), row_(row), over_(over) {}
    const Cell* at(int column) const noexcept override {
        for (const ColumnBuilder* b : over_) {
            if (b->column() != column) continue;
            const Cell& c = b->last();
            return c.empty() ? nullptr : &c;
        }
        return t_.at(column, row_);
    }

private:
    const RowTable& t_;
    size_t row_;
    const std::vector<const ColumnBuilder*>& over_;
};

// Paths of each length, gathered by a walk over several lengths.
struct Buckets {
    std::vector<std::vector<Step>> by_length;
    explicit Buckets(size_t lengths) : by_length(lengths) {}
    auto collector(size_t shortest) {
        return [this, shortest](const Step* s, size_t n) {
            std::vector<Step>& b = by_length[n - shortest];
            b.insert(b.end(), s, s + n);
            return false;
        };
    }
    // Hands the paths to `row`, shortest first; true when it stopped.
    template <class Row>
    bool flush(size_t shortest, Row& row) {
        for (size_t k = 0; k < by_length.size(); ++k) {
            size_t n = shortest + k;
            for (size_t at = 0; at < by_length[k].size(); at += n) {
                if (row(by_length[k].data() + at, n)) return true;
            }
        }
        return false;
    }
};

class Runner {
public:
    Runner(QueryValue& q, RowTable& t) : q_(q), t_(t), symbols_(*q.symbols) {}

    // Runs the clauses in order, each with its parameter values.  A match
    // followed by where and skip clauses up to a limit runs those clauses
    // with it (see RowSink).
    void run(const std::vector<const Clause*>& clauses, const std::vector<ClauseValues>& values) {
        values_all_ = &values;
        for (size_t i = 0; i < clauses.size(); ++i) {
            values_ = &values[i];
            if (auto* m = std::get_if<MatchClause>(clauses[i])) {
                i += match(*m, clauses, i + 1);
            } else {
                std::visit(*this, *clauses[i]);
            }
        }
    }

    void operator()(const MatchClause& c) {
        const PatternForm& form = form_of(*c.form);
        if (auto* n = std::get_if<NodeForm>(&form)) return match_node(n->node);
        if (auto* e = std::get_if<EdgeForm>(&form)) return match_edge(*e);
        const PathForm& p = std::get<PathForm>(form);
        if (p.nodes.size() == 1 && p.edges.empty()) return match_node(p.nodes[0]);
        if (p.edges.empty() || p.nodes.size() != p.edges.size() + 1) return;
        if (p.edges.size() == 1 && !p.edges[0].hops) return match_single_edge(p);
        match_path(p);
    }

    void operator()(const WhereClause& c) {
        for (int column : c.condition.columns()) {
            if (!t_.is_bound(column)) throw ModelError::variable_not_found(name(column), "where");
        }
        std::vector<size_t> keep;
        size_t n = t_.row_count();
        for (size_t row = 0; row < n; ++row) {
            if (c.condition.holds(t_, row, values_->condition)) keep.push_back(row);
        }
        if (keep.size() != n) t_.take_positions(keep);
    }

    void operator()(const CreateClause& c) {
        const PatternForm& form = form_of(*c.form);
        if (auto* n = std::get_if<NodeForm>(&form)) {
            if (n->node.type) create_node(n->node, n->node.type, false);
        } else if (auto* e = std::get_if<EdgeForm>(&form)) {
            NodeRecord start = first_node(e->start, "create");
            NodeRecord end = first_node(e->end, "create");
            create_edge(e->edge, *e->edge.term, std::move(start), std::move(end), false);
        } else {
            create_path(std::get<PathForm>(form));
        }
    }

    void operator()(const MergeClause& c) {
        const PatternForm& form = form_of(*c.form);
        if (auto* n = std::get_if<NodeForm>(&form)) {
            merge_node(n->node, false);
        } else if (auto* e = std::get_if<EdgeForm>(&form)) {
            merge_edge_form(*e);
        } else {
            merge_path(std::get<PathForm>(form));
        }
    }

    void operator()(const SetClause& c) {
        if (!t_.is_bound(c.column) || !c.properties) return;
        Ref values = c.properties;
        const std::vector<Cell>& cells = t_.columns[static_cast<size_t>(c.column)].cells;
        auto update = [&](PyObject* dict) {
            Ref target = Ref::borrow(dict);
            if (!target) return;
            DictWalk walk(values.get());
            Ref key, value;
            while (walk.next(key, value)) {
                if (PyObject_SetItem(target.get(), key.get(), value.get()) < 0) throw_pending();
            }
        };
        for (size_t i = 0; i < cells.size(); ++i) {
            if (!cells[i].is_edge_list()) {
                update(cells[i].properties());
                continue;
            }
            // Each edge of a list; the list is held while Python code runs.
            Ref pairs = Ref::borrow(cells[i].list_object());
            for (Py_ssize_t k = 1; k < PyTuple_GET_SIZE(pairs.get()); k += 2) {
                update(PyTuple_GET_ITEM(pairs.get(), k));
            }
        }
    }

    void operator()(const DeleteClause& c) { delete_bound(c); }

    void operator()(const WithClause& c) {
        if (!c.columns.empty()) t_.keep_only(c.columns);
    }

    void operator()(const OrderByClause& c) {
        if (!t_.is_bound(c.column))
            throw ModelError::variable_not_found(name(c.column), "order_by");
        size_t n = t_.row_count();
        // A missing value and an explicit None are both null: they sort last
        // ascending and first descending, in their order.  A list of edges
        // has no properties: its row sorts as a value of the "other" kind, a
        // tuple (its own storage, see Cell).
        std::vector<PyObject*> keys(n, nullptr);
        std::vector<Ref> held;
        for (size_t row = 0; row < n && c.key; ++row) {
            const Cell* v = t_.at(c.column, row);
            if (v && v->is_edge_list()) {
                keys[row] = v->list_object();
                continue;
            }
            if (!v || !v->properties()) continue;
            PyObject* found = PyDict_GetItemWithError(v->properties(), c.key.get());
            if (!found && PyErr_Occurred()) throw_pending();
            if (!found || found == Py_None) continue;
            held.push_back(Ref::borrow(found));
            keys[row] = found;
        }
        std::vector<size_t> order(n);
        for (size_t i = 0; i < n; ++i) order[i] = i;
        bool ascending = c.ascending;
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            PyObject* ka = keys[a];
            PyObject* kb = keys[b];
            if (!ka || !kb) return ascending ? (ka && !kb) : (!ka && kb);
            int cmp = order_compare(ka, kb);
            return ascending ? cmp < 0 : cmp > 0;
        });
        t_.take_positions(order);
    }

    void operator()(const LimitClause& c) {
        size_t n = t_.row_count();
        if (c.count >= n) return;
        std::vector<size_t> keep(static_cast<size_t>(c.count));
        for (size_t i = 0; i < keep.size(); ++i) keep[i] = i;
        t_.take_positions(keep);
    }

    void operator()(const SkipClause& c) {
        size_t n = t_.row_count();
        if (c.count == 0 || n == 0) return;
        std::vector<size_t> keep;
        for (size_t i = c.count < n ? static_cast<size_t>(c.count) : n; i < n; ++i)
            keep.push_back(i);
        t_.take_positions(keep);
    }

private:
    QueryValue& q_;
    RowTable& t_;
    const Symbols& symbols_;
    const std::vector<ClauseValues>* values_all_ = nullptr;
    const ClauseValues* values_ = nullptr;  // the clause being run's
    Interrupts ticks_;

    // The clause's form, with its parameters' values when it names any.
    const PatternForm& form_of(const PatternForm& queued) const {
        return values_->form ? *values_->form : queued;
    }
    RowSink sink_;                                       // the match's row clauses, if any
    std::vector<const ColumnBuilder*> overlay_;          // the match's builders, one per column
    std::vector<std::pair<PyObject*, PyObject*>> hops_;  // a list of edges being bound

    // A match and the where, skip and limit clauses after it that it runs
    // (see RowSink).  Returns how many of those it ran.
    size_t match(const MatchClause& c, const std::vector<const Clause*>& clauses, size_t next) {
        const PatternForm& form = form_of(*c.form);
        size_t ran = plan_stop(form, clauses, next);
        if (!ran) ran = plan_filter(form, clauses, next);
        (*this)(c);
        if (sink_.active()) {
            // Rows past the match's own (other columns may be longer) go
            // through the clauses too, unless the limit was reached.
            for (size_t n = t_.row_count(); !sink_.done() && sink_.position() < n;) {
                sink_.take(TableRow(t_, sink_.position()));
            }
            t_.take_positions(sink_.selected());
        } else if (filter_.active) {
            finish_filter();
        }
        sink_ = RowSink();
        filter_ = Filter();
        overlay_.clear();
        return ran;
    }

    // The where clauses right after a match, tested on each row as the walk
    // makes it while the cells are fresh, when a row can be told without
    // running Python code or raising (Condition::decide): a row they refuse
    // is taken back at once.  From the first row that cannot be told so, the
    // rest wait for the walk to end and are tested in full, clause by
    // clause, in order, exactly as the where clauses would test them: the
    // earlier rows' tests ran no Python code and raised nothing, so what any
    // code sees happen, and in which order, is unchanged.  Only when the
    // match's columns are all the table will bind (so its rows are the rows)
    // and every column the conditions name is one of them.
    struct Filter {
        bool active = false;
        std::vector<std::pair<const Condition*, const std::vector<Ref>*>> wheres;
        std::vector<ColumnBuilder*> builders;
        size_t waiting = SIZE_MAX;  // the first row left to test in full
    };
    Filter filter_;

    size_t plan_filter(const PatternForm& form, const std::vector<const Clause*>& clauses,
                       size_t next) {
        std::vector<int> columns = match_columns(form);
        if (columns.empty()) return 0;
        auto ours = [&](int column) {
            return std::find(columns.begin(), columns.end(), column) != columns.end();
        };
        for (uint32_t bound : t_.bound) {
            if (!ours(static_cast<int>(bound))) return 0;
        }
        size_t k = next;
        for (; k < clauses.size(); ++k) {
            auto* w = std::get_if<WhereClause>(clauses[k]);
            if (!w) break;
            for (int column : w->condition.columns()) {
                if (!ours(column)) return 0;
            }
            filter_.wheres.emplace_back(&w->condition, &(*values_all_)[k].condition);
        }
        if (k == next) return 0;
        filter_.active = true;
        return k - next;
    }

    // The filter's answer for a node object about to be bound to `column`
    // (the only column its conditions name): nothing is kept, and a decision
    // runs no Python code of values.  The cell holds the dictionary: a lookup
    // may still compare a colliding key of another type.
    std::optional<bool> decides(int column, PyObject* object, PyObject* props) {
        struct Candidate final : RowView {
            int column;
            const Cell* cell;
            const Cell* at(int c) const noexcept override { return c == column ? cell : nullptr; }
        };
        Cell cell = Cell::node_object(Ref::borrow(object), Ref::borrow(props));
        Candidate row;
        row.column = column;
        row.cell = &cell;
        std::optional<bool> result = true;
        for (const auto& [where, values] : filter_.wheres) {
            result = where->decide(row, *values);
            if (!result || !*result) break;
        }
        return result;
    }

    // A row the match made: kept, taken back, or left to test later.
    void filter_row() {
        if (filter_.waiting != SIZE_MAX) return;
        size_t row = overlay_.empty() ? 0 : overlay_.front()->size() - 1;
        OverlayRow view(t_, row, overlay_);
        for (const auto& [where, values] : filter_.wheres) {
            std::optional<bool> holds = where->decide(view, *values);
            if (!holds) {
                filter_.waiting = row;
                return;
            }
            if (!*holds) {
                for (ColumnBuilder* b : filter_.builders) b->pop();
                return;
            }
        }
    }

    // The rows left to test, clause by clause, after the walk.
    void finish_filter() {
        size_t first = filter_.waiting;
        for (const auto& [where, values] : filter_.wheres) {
            size_t n = t_.row_count();
            if (first >= n) return;
            std::vector<size_t> keep;
            for (size_t row = 0; row < n; ++row) {
                if (row < first || where->holds(t_, row, *values)) keep.push_back(row);
            }
            if (keep.size() != n) t_.take_positions(keep);
        }
    }

    // The columns a match binds.
    static std::vector<int> match_columns(const PatternForm& form) {
        std::vector<int> columns;
        if (auto* n = std::get_if<NodeForm>(&form)) {
            columns = {n->node.column};
        } else if (auto* e = std::get_if<EdgeForm>(&form)) {
            columns = {e->start, e->edge.column, e->end};
        } else {
            const PathForm& p = std::get<PathForm>(form);
            for (const NodeMatcher& m : p.nodes) columns.push_back(m.column);
            for (const EdgeMatcher& m : p.edges) columns.push_back(m.column);
        }
        columns.erase(std::remove(columns.begin(), columns.end(), -1), columns.end());
        return columns;
    }

    // Sets the sink up when the clauses from `next` on are where and skip
    // clauses up to a limit, the match binds a column, and each column a
    // where names will be bound when it runs (otherwise the where's own
    // refusal must come after the whole walk).  Returns the clause count.
    size_t plan_stop(const PatternForm& form, const std::vector<const Clause*>& clauses,
                     size_t next) {
        std::vector<int> columns = match_columns(form);
        if (columns.empty()) return 0;
        std::vector<RowSink::Stage> stages;
        for (size_t k = next; k < clauses.size(); ++k) {
            if (auto* w = std::get_if<WhereClause>(clauses[k])) {
                for (int column : w->condition.columns()) {
                    bool bound = t_.is_bound(column) ||
                                 std::find(columns.begin(), columns.end(), column) != columns.end();
                    if (!bound) return 0;
                }
                stages.push_back({&w->condition, 0, &(*values_all_)[k].condition});
            } else if (auto* s = std::get_if<SkipClause>(clauses[k])) {
                stages.push_back({nullptr, s->count, nullptr});
            } else if (auto* l = std::get_if<LimitClause>(clauses[k])) {
                sink_.start(std::move(stages), l->count);
                return k - next + 1;
            } else {
                return 0;
            }
        }
        return 0;
    }

    // The builders whose cells a match binds, the last one per column.
    void watch(const std::vector<ColumnBuilder*>& builders) {
        overlay_.clear();
        filter_.builders = builders;
        for (size_t i = builders.size(); i-- > 0;) {
            const ColumnBuilder* b = builders[i];
            bool seen = std::any_of(overlay_.begin(), overlay_.end(), [&](const ColumnBuilder* o) {
                return o->column() == b->column();
            });
            if (b->column() >= 0 && !seen) overlay_.push_back(b);
        }
    }
    void watch(std::vector<ColumnBuilder>& builders) {
        std::vector<ColumnBuilder*> all;
        for (ColumnBuilder& b : builders) all.push_back(&b);
        watch(all);
    }

    // A match made a row (every builder has its cell): true when the walk
    // stops here.
    bool produced() {
        if (filter_.active) filter_row();
        return sink_.active() && take_row();
    }
    bool take_row() { return sink_.take(OverlayRow(t_, sink_.position(), overlay_)); }

    PyObject* nodes() const { return q_.nodes.get(); }
    PyObject* edges() const { return q_.edges.get(); }
    const std::string& name(int column) const { return symbols_.name(column); }

    // Builders for the columns of one clause, in binding order; of several
    // for one column, the last (whose cells stay bound) takes over old cells.
    std::vector<ColumnBuilder> builders_for(const std::vector<int>& columns) const {
        std::vector<ColumnBuilder> out;
        out.reserve(columns.size());
        for (size_t i = 0; i < columns.size(); ++i) {
            bool last = std::find(columns.begin() + static_cast<long>(i) + 1, columns.end(),
                                  columns[i]) == columns.end();
            out.emplace_back(t_, columns[i], last);
        }
        return out;
    }
    template <size_t N>
    std::array<ColumnBuilder, N> builders(const std::array<int, N>& columns) const {
        std::vector<ColumnBuilder> v =
            builders_for(std::vector<int>(columns.begin(), columns.end()));
        return [&]<size_t... I>(std::index_sequence<I...>) {
            return std::array<ColumnBuilder, N>{std::move(v[I])...};
        }(std::make_index_sequence<N>{});
    }
    // Every builder finishes, then the columns are bound in order (a
    // variable named twice keeps the later cells).
    void bind_all(std::initializer_list<ColumnBuilder*> builders) {
        bind_all(std::vector<ColumnBuilder*>(builders));
    }
    void bind_all(const std::vector<ColumnBuilder*>& builders) {
        std::vector<std::vector<Cell>> cells;
        cells.reserve(builders.size());
        for (ColumnBuilder* b : builders) cells.push_back(b->finish(t_));
        for (size_t i = 0; i < builders.size(); ++i) {
            if (builders[i]->column() >= 0) t_.replace(builders[i]->column(), std::move(cells[i]));
        }
    }
    void bind_one(int column, Cell cell) {
        if (column < 0) return;
        std::vector<Cell> one;
        one.push_back(std::move(cell));
        t_.replace(column, std::move(one));
    }

    // The first node bound to `column`, or VariableNotFound.
    NodeRecord first_node(int column, const char* context) {
        if (t_.is_bound(column)) {
            for (const Cell& c : t_.columns[static_cast<size_t>(column)].cells) {
                if (c.is_node()) return c.node_record();
            }
        }
        throw ModelError::variable_not_found(name(column), context);
    }

    // ---- walks --------------------------------------------------------------

    // Visits the candidates of a node pattern in node-dictionary order until
    // `visit(object, type, properties)` returns true: the nodes of `type` when
    // one is given (a lookup that checks every entry; `object` is then null),
    // else every Node object, read while the dictionary is walked.  What a
    // visit gets is held for its duration (the dictionary only when the visit
    // `may_run_python`).  Returns whether a visit stopped the walk.
    template <class Visit>
    bool for_each_candidate(const TypeRef& type, bool may_run_python, Visit visit) {
        if (type) {
            for (NodeRecord& n : nodes_of_type(nodes(), type)) {
                ticks_.tick();
                if (visit(nullptr, n.type, n.properties.get())) return true;
            }
            return false;
        }
        Ref dict = q_.nodes;
        PyTypeObject* node_type = node_class();
        DictValueWalk walk(dict.get());
        Ref value;
        while (walk.next(value)) {
            ticks_.tick();
            PyObject* o = value.get();
            if (!is_instance(o, node_type)) raise_cast_error(o, "Node", nullptr);
            NodeRecord& rec = payload<NodeRecord>(o);
            PyObject* properties;
            {
                SharedBorrow reading(o);
                properties = record_properties(rec);
            }
            // Python code run by a visit could rebind the node's dictionary:
            // then the visit gets its own reference to it.
            Ref hold = may_run_python ? Ref::borrow(properties) : Ref();
            if (visit(o, rec.type, properties)) return true;
        }
        return false;
    }

    // Visits every edge in edge-dictionary order, until `visit(edge)` (or
    // `visit(edge, key)`, the key borrowed) returns true.  The edge's
    // dictionary is held when `hold_properties` says a visit may run Python
    // code or keep the view.  A value that is not an Edge fails the walk, or
    // is passed over when `skip_foreign` is set.
    template <class Visit>
    bool for_each_edge(bool hold_properties, Visit visit, bool skip_foreign = false) {
        // Only delete needs the keys: the other walks read values alone.
        constexpr bool with_keys = std::is_invocable_v<Visit, const EdgeView&, PyObject*>;
        Ref dict = q_.edges;
        PyTypeObject* edge_type = edge_class();
        std::conditional_t<with_keys, DictWalk, DictValueWalk> walk(dict.get());
        PyObject* key = nullptr;  // borrowed: a visit that keeps it takes a reference first
        Ref value;
        while (walk_next(walk, &key, value)) {
            ticks_.tick();
            if (!is_instance(value.get(), edge_type)) {
                if (skip_foreign) continue;
                raise_cast_error(value.get(), "Edge", nullptr);
            }
            EdgeView e{value, nullptr, nullptr, {}};
            {
                SharedBorrow reading(value.get());
                EdgeRecord& rec = payload<EdgeRecord>(value.get());
                e.properties = record_properties(rec);
                if (hold_properties) e.hold = Ref::borrow(e.properties);
                record_properties(rec.start);
                record_properties(rec.end);
                e.rec = &rec;
            }
            bool stop;
            if constexpr (with_keys) {
                stop = visit(e, key);
            } else {
                stop = visit(e);
            }
            if (stop) return true;
        }
        return false;
    }
    static bool walk_next(DictWalk& w, PyObject** key, Ref& value) {
        return w.next_value(key, value);
    }
    static bool walk_next(DictValueWalk& w, PyObject**, Ref& value) { return w.next(value); }

    // ---- matching -------------------------------------------------------------

    void match_node(const NodeMatcher& m) {
        ColumnBuilder out(t_, m.column);
        watch({&out});
        if (filter_.active) {
            // Each candidate is tested before it is bound: a refused one
            // costs no cell (see Filter).
            for_each_candidate(m.type, !m.properties.empty(),
                               [&](PyObject* object, const TypeRef& type, PyObject* props) {
                                   if (!m.holds(type, props)) return false;
                                   if (filter_.waiting == SIZE_MAX && object) {
                                       std::optional<bool> ok = decides(m.column, object, props);
                                       if (ok && !*ok) return false;
                                       if (!ok) filter_.waiting = out.size();
                                   }
                                   out.node(object, type, props);
                                   if (!object) filter_row();
                                   return false;
                               });
            bind_all({&out});
            return;
        }
        if (!sink_.done()) {
            for_each_candidate(m.type, !m.properties.empty() || sink_.active(),
                               [&](PyObject* object, const TypeRef& type, PyObject* props) {
                                   if (!m.holds(type, props)) return false;
                                   out.node(object, type, props);
                                   return produced();
                               });
        }
        bind_all({&out});
    }

    void match_edge(const EdgeForm& f) {
        auto [starts, found, ends] = builders<3>({f.start, f.edge.column, f.end});
        watch({&starts, &found, &ends});
        if (!sink_.done()) {
            for_each_edge(!f.edge.properties.empty() || sink_.active(), [&](const EdgeView& e) {
                if (!f.edge.holds(*e.rec, e.properties)) return false;
                starts.node(e.rec->start);
                ends.node(e.rec->end);
                found.edge(e.object.get(), e.properties);
                return produced();
            });
        }
        bind_all({&starts, &found, &ends});
    }

    void match_single_edge(const PathForm& p) {
        const NodeMatcher& n0 = p.nodes[0];
        const NodeMatcher& n1 = p.nodes[1];
        const EdgeMatcher& e0 = p.edges[0];
        Ways ways(e0.direction);
        auto [a, b, c] = builders<3>({n0.column, e0.column, n1.column});
        watch({&a, &b, &c});
        // One row for the edge walked in orientation `o`, if it matches;
        // true when the walk stops.
        auto take = [&](const EdgeView& e, Orientation o) {
            if (ways.both && redundant(*e.rec, o)) return false;
            const NodeRecord& from = e.from(o);
            const NodeRecord& to = e.to(o);
            if (!n0.holds(from.type, from.properties.get())) return false;
            if (!n1.holds(to.type, to.properties.get())) return false;
            a.node(from);
            c.node(to);
            b.edge(e.object.get(), e.properties);
            return produced();
        };
        bool may_run_python = sink_.active() || !e0.properties.empty() || !n0.properties.empty() ||
                              !n1.properties.empty();
        if (!sink_.done()) {
            for_each_edge(may_run_python, [&](const EdgeView& e) {
                if (!e0.holds(*e.rec, e.properties)) return false;
                return take(e, ways.first) || (ways.both && take(e, Orientation::Backward));
            });
        }
        bind_all({&a, &b, &c});
    }

    // Every edge with its end nodes numbered, and the adjacency lists a walk
    // of `p` needs.
    EdgeIndex index_edges(const PathForm& p) {
        EdgeIndex ix;
        for_each_edge(true, [&](const EdgeView& e) {
            ix.all.push_back(e);
            return false;
        });
        const size_t n_edges = ix.all.size();
        NodeNumbers numbers(std::min<size_t>(n_edges, 1024));  // grows as needed
        ix.start_of.resize(n_edges);
        ix.end_of.resize(n_edges);
        for (size_t i = 0; i < n_edges; ++i) {
            ix.start_of[i] = numbers.number(ix.all[i].rec->start.type);
            ix.end_of[i] = numbers.number(ix.all[i].rec->end.type);
        }
        ix.node_count = numbers.size();
        bool forward, backward;
        PathWalk::needs(p, forward, backward);
        if (forward) ix.by_start.emplace(ix.start_of, ix.node_count);
        if (backward) ix.by_end.emplace(ix.end_of, ix.node_count);
        return ix;
    }

    // Paths of two or more edges, or of quantified ones: shortest first.
    // Without a limit after the match, one walk finds them all and they are
    // sorted by length (a stable sort: within a length, the walk's order).
    // With one, the walk deepens a length at a time, or several when the
    // walks grow slowly, so it stops soon after the rows it needs.
    void match_path(const PathForm& p) {
        EdgeIndex ix = index_edges(p);
        PathWalk walk(p, ix, ticks_);
        const size_t roles = p.edges.size();
        std::vector<int> columns;
        for (size_t s = 0; s < roles; ++s) {
            columns.push_back(p.nodes[s].column);
            columns.push_back(p.edges[s].column);
        }
        columns.push_back(p.nodes[roles].column);
        std::vector<ColumnBuilder> out = builders_for(columns);
        watch(out);
        auto row = [&](const Step* s, size_t n) {
            ticks_.tick();
            path_row(p, ix, s, n, out);
            return produced();
        };
        if (walk.least() == 0 && !sink_.done()) zero_length_rows(p, out);
        size_t least = static_cast<size_t>(std::max<uint64_t>(walk.least(), 1));
        size_t most = static_cast<size_t>(walk.most());
        if (!sink_.done() && walk.least() <= most && least <= most) {
            if (!sink_.active() && least == most) {
                walk.walk(most, least, SIZE_MAX, row);
            } else if (!sink_.active()) {
                Buckets b(most - least + 1);
                auto gather = b.collector(least);
                walk.walk(most, least, SIZE_MAX, gather);
                b.flush(least, row);
            } else {
                deepen(walk, least, most, row);
            }
        }
        std::vector<ColumnBuilder*> all_out;
        for (ColumnBuilder& b : out) all_out.push_back(&b);
        bind_all(all_out);
    }

    // Walks deeper and deeper until the rows are found or no longer path
    // exists.  A walk one length deeper than the last emits its paths as it
    // finds them; while walks grow slowly (less than doubling their work),
    // the stride doubles and the paths are gathered per length first.  A
    // strided walk that outgrows twice the last one's work is given up and
    // the length after the last is walked alone, so a sudden growth costs at
    // most that much more.
    template <class Row>
    void deepen(PathWalk& walk, size_t least, size_t most, Row& row) {
        size_t done = least - 1, stride = 1, last_work = 0;
        for (;;) {
            size_t depth = std::min(done + stride, most);
            PathWalk::End end;
            if (depth == done + 1) {
                end = walk.walk(depth, depth, SIZE_MAX, row);
            } else {
                Buckets b(depth - done);
                auto gather = b.collector(done + 1);
                end = walk.walk(depth, done + 1, 2 * last_work + 4096, gather);
                if (end == PathWalk::End::Aborted) {
                    stride = 1;
                    continue;
                }
                if (b.flush(done + 1, row)) return;
            }
            if (end == PathWalk::End::Stopped || !walk.alive() || depth >= most) return;
            stride = walk.work() < 2 * last_work ? stride * 2 : 1;
            last_work = walk.work();
            done = depth;
        }
    }

    // One row of a path: each node pattern bound where the walk stood after
    // the edges before it, each plain edge to its edge, each quantified one
    // to the list of its hops.
    void path_row(const PathForm& p, const EdgeIndex& ix, const Step* s, size_t n,
                  std::vector<ColumnBuilder>& out) {
        const NodeRecord& start = ix.all[s[0].edge].from(s[0].orientation());
        out[0].node(start);
        size_t t = 0;
        for (uint32_t r = 0; r < p.edges.size(); ++r) {
            size_t first = t;
            while (t < n && s[t].role == r) ++t;
            if (p.edges[r].hops) {
                hops_.clear();
                for (size_t k = first; k < t; ++k) {
                    const EdgeView& e = ix.all[s[k].edge];
                    hops_.emplace_back(e.object.get(), e.properties);
                }
                out[2 * r + 1].edges(hops_.data(), hops_.size());
            } else {
                const EdgeView& e = ix.all[s[first].edge];
                out[2 * r + 1].edge(e.object.get(), e.properties);
            }
            out[2 * r + 2].node(t == 0 ? start : ix.all[s[t - 1].edge].to(s[t - 1].orientation()));
        }
    }

    // Paths of no edge, when every edge may take no hop: each node of the
    // node dictionary that every node pattern accepts, all bound to it, with
    // empty lists.
    void zero_length_rows(const PathForm& p, std::vector<ColumnBuilder>& out) {
        TypeRef type;
        bool may_run_python = sink_.active();
        for (const NodeMatcher& m : p.nodes) {
            if (m.type) type = m.type;
            may_run_python = may_run_python || !m.properties.empty();
        }
        for_each_candidate(type, may_run_python,
                           [&](PyObject* object, const TypeRef& t, PyObject* props) {
                               for (const NodeMatcher& m : p.nodes) {
                                   if (!m.holds(t, props)) return false;
                               }
                               for (size_t r = 0; r < p.edges.size(); ++r) {
                                   out[2 * r].node(object, t, props);
                                   out[2 * r + 1].edges(nullptr, 0);
                               }
                               out[2 * p.edges.size()].node(object, t, props);
                               return produced();
                           });
    }

    // ---- creating and merging ---------------------------------------------------

    NodeRecord create_node(const NodeMatcher& m, const TypeRef& type, bool fresh) {
        NodeRecord node{type, m.properties.make_dict(fresh)};
        Ref uid = to_str(node_uid(node).view());
        Ref object = node_to_object(node);
        if (PyDict_SetItem(nodes(), uid.get(), object.get()) < 0) throw_pending();
        bind_one(m.column, Cell::node_object(std::move(object), node.properties));
        return node;
    }

    void create_edge(const EdgeMatcher& m, const TermValue& term, NodeRecord start, NodeRecord end,
                     bool fresh) {
        Ref properties = m.properties.make_dict(fresh);
        EdgeRecord edge{term, std::move(start), std::move(end), properties};
        Ref uid = to_str(edge_uid(edge).view());
        Ref object = edge_to_object(std::move(edge));
        if (PyDict_SetItem(edges(), uid.get(), object.get()) < 0) throw_pending();
        bind_one(m.column, Cell::edge(std::move(object), std::move(properties)));
    }

    void create_path(const PathForm& f) {
        std::vector<NodeRecord> made;
        for (size_t i = 0; i < f.nodes.size(); ++i) {
            made.push_back(create_node(f.nodes[i], f.node_types[i], true));
        }
        for (size_t j = 0; j < f.edges.size() && j + 1 < made.size(); ++j) {
            const EdgeMatcher& e = f.edges[j];
            bool backward = e.direction == Direction::Backward;
            create_edge(e, TermValue{f.term_names[j], f.edge_types[j]}, made[backward ? j + 1 : j],
                        made[backward ? j : j + 1], true);
        }
    }

    // Finds the first node the matcher accepts (appending it to the
    // variable's column) or creates one when a type is known.  Returns the
    // node found or made, if any.
    std::optional<NodeRecord> merge_node(const NodeMatcher& m, bool fresh) {
        std::optional<NodeRecord> found;
        Ref found_object;
        for_each_candidate(m.type, !m.properties.empty(),
                           [&](PyObject* object, const TypeRef& type, PyObject* props) {
                               if (!m.holds(type, props)) return false;
                               found = NodeRecord{type, Ref::borrow(props)};
                               found_object = Ref::borrow(object);
                               return true;
                           });
        if (found) {
            if (m.column >= 0) {
                t_.append(m.column, found_object
                                        ? Cell::node_object(found_object, found->properties)
                                        : Cell::node(*found));
            }
            return found;
        }
        if (m.type) return create_node(m, m.type, fresh);
        return std::nullopt;
    }

    // Finds an edge from a node of `start`'s type to one of `end`'s that the
    // matcher accepts (its term included), else creates one when the matcher
    // has a term.
    void merge_edge(const EdgeMatcher& m, const NodeRecord& start, const NodeRecord& end,
                    bool fresh) {
        bool found = for_each_edge(!m.properties.empty(), [&](const EdgeView& e) {
            if (!(e.rec->start.type == start.type) || !(e.rec->end.type == end.type)) return false;
            if (!m.holds(*e.rec, e.properties)) return false;
            if (m.column >= 0) t_.append(m.column, e.cell());
            return true;
        });
        if (!found && m.term) create_edge(m, *m.term, start, end, fresh);
    }

    void merge_edge_form(const EdgeForm& f) {
        const Cell* s = t_.at(f.start, 0);
        const Cell* t = t_.at(f.end, 0);
        if (!s || !t || !s->is_node() || !t->is_node()) return;
        NodeRecord start = s->node_record();
        NodeRecord end = t->node_record();
        merge_edge(f.edge, start, end, false);
    }

    void merge_path(const PathForm& f) {
        std::vector<NodeRecord> resolved;
        for (const NodeMatcher& n : f.nodes) resolved.push_back(*merge_node(n, true));
        for (size_t j = 0; j < f.edges.size() && j + 1 < resolved.size(); ++j) {
            const EdgeMatcher& e = f.edges[j];
            bool backward = e.direction == Direction::Backward;
            merge_edge(e, resolved[backward ? j + 1 : j], resolved[backward ? j : j + 1], true);
        }
    }

    // ---- deleting ---------------------------------------------------------------

    struct TermHash {
        size_t operator()(const TermValue* t) const { return static_cast<size_t>(term_hash(*t)); }
    };
    struct TermEq {
        bool operator()(const TermValue* a, const TermValue* b) const { return *a == *b; }
    };

    void delete_bound(const DeleteClause& c) {
        std::vector<NodeRecord> doomed_nodes;
        std::vector<Cell> doomed_edges;
        for (int column : c.columns) {
            if (!t_.is_bound(column)) continue;
            for (const Cell& cell : t_.columns[static_cast<size_t>(column)].cells) {
                if (cell.is_node()) {
                    doomed_nodes.push_back(cell.node_record());
                } else if (cell.is_edge()) {
                    doomed_edges.push_back(cell);
                } else if (cell.is_edge_list()) {
                    for (size_t k = 0; k < cell.list_size(); ++k)
                        doomed_edges.push_back(cell.list_item(k));
                }
            }
        }
        std::vector<Ref> detached;
        if (!doomed_nodes.empty()) detached = touching_edges(doomed_nodes, doomed_edges, c.detach);
        // A key already gone (deleted through an earlier name or run) is
        // passed over; any other failure of a deletion is raised.
        for (const Ref& key : detached) delete_key(edges(), key.get());
        for (const NodeRecord& n : doomed_nodes) {
            Ref uid = to_str(node_uid(n).view());
            delete_key(nodes(), uid.get());
        }
        for (const Cell& e : doomed_edges) {
            Ref uid = to_str(edge_uid(e.edge_record()).view());
            delete_key(edges(), uid.get());
        }
    }

    // Keys of the edges that touch a doomed node and are not doomed
    // themselves.  Without `detach` the first one refuses the whole clause,
    // before anything is deleted.
    std::vector<Ref> touching_edges(const std::vector<NodeRecord>& doomed_nodes,
                                    const std::vector<Cell>& doomed_edges, bool detach) {
        std::unordered_set<TypeRef, TypeHash, TypeEq> node_types;
        for (const NodeRecord& n : doomed_nodes) node_types.insert(n.type);
        std::unordered_set<const TermValue*, TermHash, TermEq> doomed_terms;
        for (const Cell& e : doomed_edges) doomed_terms.insert(&e.edge_record().term);
        std::vector<Ref> keys;
        for_each_edge(
            false,
            [&](const EdgeView& e, PyObject* key) {
                bool at_start = node_types.count(e.rec->start.type) > 0;
                if (!at_start && !node_types.count(e.rec->end.type)) return false;
                if (doomed_terms.count(&e.rec->term)) return false;
                if (!detach) {
                    const NodeRecord& n = at_start ? e.rec->start : e.rec->end;
                    throw ModelError::invalid_query(
                        "cannot delete node " + std::string(node_uid(n).view()) + " of type " +
                            type_text(n.type) + ": edge '" + e.rec->term.name() +
                            "' still touches it; pass detach=True to delete its edges too",
                        "delete");
                }
                keys.push_back(Ref::borrow(key));
                return false;
            },
            /*skip_foreign=*/true);  // delete never fails on what it cannot delete
        return keys;
    }
};

}  // namespace

RowTable& writable_table(QueryValue& q) {
    if (!q.table) {
        q.table = new_row_table();
    } else if (Py_REFCNT(q.table.get()) > 1) {
        q.table = copy_row_table(payload<RowTable>(q.table.get()));
    }
    return payload<RowTable>(q.table.get());
}

void run_query(QueryValue& q) {
    // The chain and the table are held for the whole run; clauses are read in
    // place, oldest first.  Every parameter reference is looked up before the
    // first clause runs, so a missing value changes nothing.
    Ref plan = q.plan;
    std::vector<const Clause*> clauses = clauses_of(plan.get());
    std::vector<ClauseValues> values;
    values.reserve(clauses.size());
    for (const Clause* clause : clauses) {
        values.push_back(clause_values(*clause, q.parameters.get()));
    }
    RowTable& table = writable_table(q);
    Ref hold = q.table;
    Runner runner(q, table);
    runner.run(clauses, values);
}

}  // namespace veldrin
