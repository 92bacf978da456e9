// The index of a graph's edges and the walk of path patterns over it.
//
// A clause that walks paths reads every edge once into an EdgeIndex: the
// views in dictionary order, dense numbers for the end nodes (structurally
// equal types share one: a node's UID depends on its type alone) and
// counting-sorted adjacency lists.  PathWalk walks the paths of a pattern of
// plain and quantified edges over it (see the class).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "query/plan.hpp"
#include "types/type_value.hpp"

namespace veldrin {

// Counts the steps of the walks and answers pending signals (Ctrl-C) every
// few thousand: a handler's exception unwinds the run before anything is
// bound or changed.
class Interrupts {
public:
    void tick() {
        if ((++steps_ & 4095) == 0 && PyErr_CheckSignals() < 0) throw_pending();
    }

private:
    unsigned steps_ = 0;
};

// A hash of a type's structure (equal for structurally equal types),
// remembered by the type's node.
inline size_t structural_hash(const TypeNode* t) { return static_cast<size_t>(type_hash(t)); }

// Dense numbers for the node identities a walk meets: structurally equal
// types (equal node UIDs) get one number.  A type node met again is read
// back from the node itself (its walk scratch, marked with this numbering);
// a node met first is numbered by its structure, in an open-addressing table
// keyed by the remembered type hash.  Nothing runs Python code while a
// numbering is being made, so no other one can reuse the scratch meanwhile;
// the nodes stay alive in the records that hold them.
class NodeNumbers {
public:
    explicit NodeNumbers(size_t expected) : mark_(++last_mark_) {
        size_t cap = 16;
        while (cap < expected * 2) cap *= 2;
        by_structure_.assign(cap, Slot{});
    }

    uint32_t number(const TypeRef& t) {
        const TypeNode* key = t.node();
        if (key->walk == mark_) return key->walk_number;
        size_t h = structural_hash(key);
        size_t mask = by_structure_.size() - 1;
        Slot* r = nullptr;
        for (size_t i = (h >> 32 ^ h) & mask;; i = (i + 1) & mask) {
            Slot& s = by_structure_[i];
            if (!s.node || (s.hash == h && type_equal(s.node, key))) {
                r = &s;
                break;
            }
        }
        if (!r->node) *r = Slot{key, h, count_++};
        // The number is read before the table grows (growing moves the slots).
        uint32_t n = r->number;
        if (count_ * 2 > by_structure_.size()) grow();
        key->walk = mark_;
        key->walk_number = n;
        return n;
    }
    size_t size() const { return count_; }

private:
    struct Slot {
        const TypeNode* node = nullptr;
        size_t hash = 0;
        uint32_t number = 0;
    };
    static inline std::uint64_t last_mark_ = 0;
    std::uint64_t mark_;
    std::vector<Slot> by_structure_;
    uint32_t count_ = 0;

    void grow() {
        std::vector<Slot> table(by_structure_.size() * 2);
        size_t mask = table.size() - 1;
        for (const Slot& s : by_structure_) {
            if (!s.node) continue;
            size_t i = (s.hash >> 32 ^ s.hash) & mask;
            while (table[i].node) i = (i + 1) & mask;
            table[i] = s;
        }
        by_structure_.swap(table);
    }
};

// Edge numbers grouped by node number, in edge order (a counting sort).
struct Adjacency {
    std::vector<uint32_t> offsets;  // node number -> first item; one more at the end
    std::vector<uint32_t> items;

    Adjacency(const std::vector<uint32_t>& node_of_edge, size_t n_nodes)
        : offsets(n_nodes + 1, 0), items(node_of_edge.size()) {
        for (uint32_t n : node_of_edge) ++offsets[n + 1];
        for (size_t i = 1; i < offsets.size(); ++i) offsets[i] += offsets[i - 1];
        std::vector<uint32_t> fill(offsets.begin(), offsets.end() - 1);
        for (size_t e = 0; e < node_of_edge.size(); ++e) {
            items[fill[node_of_edge[e]]++] = static_cast<uint32_t>(e);
        }
    }
    const uint32_t* begin(uint32_t n) const { return items.data() + offsets[n]; }
    const uint32_t* end(uint32_t n) const { return items.data() + offsets[n + 1]; }
};

enum class Orientation : unsigned char { Forward, Backward };

// An edge of the edge dictionary as a walk sees it.
struct EdgeView {
    Ref object;             // the Edge, held while Python code may run
    const EdgeRecord* rec;  // its record (term and ends never change)
    PyObject* properties;   // its dictionary when it was read
    Ref hold;               // that dictionary, when Python code may rebind the edge's

    const NodeRecord& from(Orientation o) const {
        return o == Orientation::Forward ? rec->start : rec->end;
    }
    const NodeRecord& to(Orientation o) const {
        return o == Orientation::Forward ? rec->end : rec->start;
    }
    Cell cell() const { return Cell::edge(object, Ref::borrow(properties)); }
};

// Walked backward, an edge whose ends share a node meets the same nodes
// again: an undirected pattern takes such an edge once.
inline bool redundant(const EdgeRecord& e, Orientation o) {
    return o == Orientation::Backward && e.start.type == e.end.type;
}

struct Ways {
    Orientation first;
    bool both;
    explicit Ways(Direction d)
        : first(d == Direction::Backward ? Orientation::Backward : Orientation::Forward),
          both(d == Direction::Any) {}
    bool forward() const { return first == Orientation::Forward; }
    bool backward() const { return both || first == Orientation::Backward; }
};

// Every edge of the edge dictionary, in order, with the numbers of its end
// nodes and, where a walk needs them, the edges leaving each node forward
// (by start) and backward (by end).
struct EdgeIndex {
    std::vector<EdgeView> all;
    std::vector<uint32_t> start_of, end_of;
    size_t node_count = 0;
    std::optional<Adjacency> by_start, by_end;
};

// One edge of a walked path: its index, the pattern edge it stands for (its
// role) and its orientation.
struct Step {
    uint32_t edge;
    uint32_t role : 31;
    uint32_t backward : 1;

    Orientation orientation() const {
        return backward ? Orientation::Backward : Orientation::Forward;
    }
};

// Receives each path a walk finds (its steps and their count); returns true
// to stop the walk.  A view of a callable that outlives the walk.
class PathSink {
public:
    template <class F>
    PathSink(F& f)  // implicit: any callable converts, as to a function reference
        : self_(&f), call_([](void* s, const Step* steps, size_t n) {
              return static_cast<bool>((*static_cast<F*>(s))(steps, n));
          }) {}
    bool operator()(const Step* steps, size_t n) const { return call_(self_, steps, n); }

private:
    void* self_;
    bool (*call_)(void*, const Step*, size_t);
};

// The paths of a pattern whose edges may be quantified, each edge standing
// for 1 (a plain edge) or lo..hi hops.
//
// The walk is a depth-first search of edges: the first step from every edge
// of the dictionary, later ones from the node reached.  A step is one edge
// in one role.  After a hop of pattern edge j the next step is another hop of
// j (when it has hops left) or, when j has its least hops and the node
// pattern after it holds at the node reached, a step for j + 1 (or further,
// while the pattern edges in between may take no hop and the node patterns
// hold there too).  Later roles are tried first, then the same one; within a
// role, the edges in dictionary order, forward before backward.  So paths of
// one length come in the order of the fixed-length walk, and a pattern of
// plain edges is walked exactly as a chain.  Edges are distinct within a path.
//
// A walk is bounded by a depth: a step after which the path could not finish
// within it is not taken.  Such a cut, or a walk reaching the depth with a way
// on, means a longer path may exist (`alive`); otherwise none does, since every
// prefix of a path is a walk.  Edge and node tests are remembered for the
// whole run, so walking again deeper asks no property value twice.
class PathWalk {
public:
    enum class End { Done, Stopped, Aborted };

    PathWalk(const PathForm& p, const EdgeIndex& ix, Interrupts& ticks);

    // Which adjacency lists a walk of `p` needs: steps after the first.
    static void needs(const PathForm& p, bool& forward, bool& backward);

    // The fewest and the most edges a path can have.
    uint64_t least() const noexcept { return need_after_[0]; }
    uint64_t most() const noexcept { return most_; }
    // After a walk: the candidate edges it looked at after the first step,
    // and whether a path longer than its depth may exist.
    size_t work() const noexcept { return work_; }
    bool alive() const noexcept { return alive_; }

    // Walks the paths of at most `depth` edges, handing each of at least
    // `shortest` to `emit`, which returns true to stop the walk.  Gives up
    // after `budget` candidate edges.
    End walk(size_t depth, size_t shortest, size_t budget, PathSink emit);

private:
    static constexpr uint32_t kNone = ~0u;

    // A step on the path and the candidates for the one after it: roles
    // `next` down to `last`, the current one's edges merged from the two
    // adjacency lists of the node reached.
    struct Frame {
        uint32_t edge, role, hops, node;
        int64_t next, last;
        bool started = false;
        const uint32_t *fwd = nullptr, *fwd_end = nullptr, *bwd = nullptr, *bwd_end = nullptr;
    };

    const PathForm& p_;
    const EdgeIndex& ix_;
    Interrupts& ticks_;
    uint32_t roles_;
    std::vector<Ways> ways_;
    std::vector<uint64_t> lo_, hi_;
    std::vector<uint64_t> need_after_;  // least hops of the pattern edges from r on
    uint64_t most_ = 0;
    uint32_t first_roles_ = 0;  // the first step may stand for roles 0..this
    // Remembered tests (-1: not asked): per role and edge; per node pattern
    // and node number (no property test) or edge end.  Empty: always true.
    std::vector<std::vector<signed char>> edge_ok_, node_ok_;
    std::vector<char> used_;
    std::vector<Frame> frames_;
    std::vector<Step> path_;
    std::vector<Step> starts_;
    bool starts_known_ = false;
    size_t depth_ = 0, shortest_ = 0, budget_ = 0, work_ = 0;
    bool alive_ = false;

    bool fits(uint32_t r, uint64_t hops, size_t filled) const noexcept;
    bool count();
    // Edge `i` walked in orientation `o` for role `r`: not on the path yet,
    // not a loop taken twice, passing the pattern edge's test.
    bool step_holds(uint32_t r, uint32_t i, Orientation o) {
        if (used_[i] || (ways_[r].both && redundant(*ix_.all[i].rec, o))) return false;
        return edge_ok_[r].empty() || edge_test(r, i);
    }
    // Node pattern `n` at edge `i`'s end (`at_end`) or start.
    bool node_holds(uint32_t n, uint32_t i, bool at_end) {
        return node_ok_[n].empty() || node_test(n, i, at_end);
    }
    // The remembered tests, asked on first use.
    bool edge_test(uint32_t r, uint32_t i);
    bool node_test(uint32_t n, uint32_t i, bool at_end);
    bool few_starts(std::vector<Step>& out);
    End start(const Step& s, PathSink& emit);
    bool placed(uint32_t hops, PathSink& emit, bool& pushed);
    End next(Frame& f, uint32_t& i, Orientation& o, uint32_t& role, uint32_t& hops);
};

}  // namespace veldrin
