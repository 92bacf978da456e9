#include "query/paths.hpp"

#include <algorithm>

namespace veldrin {

namespace {

uint64_t add(uint64_t a, uint64_t b) noexcept { return a > ~0ull - b ? ~0ull : a + b; }

}  // namespace

PathWalk::PathWalk(const PathForm& p, const EdgeIndex& ix, Interrupts& ticks)
    : p_(p), ix_(ix), ticks_(ticks), roles_(static_cast<uint32_t>(p.edges.size())) {
    const uint64_t edges = ix.all.size();
    need_after_.assign(roles_ + 1, 0);
    for (uint32_t r = 0; r < roles_; ++r) {
        const EdgeMatcher& m = p.edges[r];
        ways_.emplace_back(m.direction);
        lo_.push_back(m.hops ? m.hops->min : 1);
        hi_.push_back(m.hops ? std::min<uint64_t>(m.hops->max.value_or(edges), edges) : 1);
        bool plain = !m.schema && !m.term && m.properties.empty();
        edge_ok_.emplace_back(plain ? 0 : edges, -1);
    }
    for (uint32_t r = roles_; r-- > 0;) need_after_[r] = add(need_after_[r + 1], lo_[r]);
    for (const NodeMatcher& m : p.nodes) {
        bool plain = !m.type && !m.schema && m.properties.empty();
        node_ok_.emplace_back(plain ? 0 : m.properties.empty() ? ix.node_count : 2 * edges, -1);
    }
    uint64_t most = 0;
    for (uint64_t h : hi_) most = add(most, h);
    most_ = std::min<uint64_t>(most, edges);
    first_roles_ = 0;
    while (first_roles_ + 1 < roles_ && lo_[first_roles_] == 0) ++first_roles_;
    used_.assign(edges, 0);
}

void PathWalk::needs(const PathForm& p, bool& forward, bool& backward) {
    forward = backward = false;
    for (size_t r = 0; r < p.edges.size(); ++r) {
        const EdgeMatcher& m = p.edges[r];
        if (r == 0 && !(m.hops && m.hops->max.value_or(2) > 1)) continue;
        Ways w(m.direction);
        forward = forward || w.forward();
        backward = backward || w.backward();
    }
}

PathWalk::End PathWalk::walk(size_t depth, size_t shortest, size_t budget, PathSink emit) {
    for (const Frame& f : frames_) used_[f.edge] = 0;
    frames_.clear();
    path_.clear();
    depth_ = depth;
    shortest_ = shortest;
    budget_ = budget;
    work_ = 0;
    alive_ = false;
    if (starts_known_) {
        for (const Step& s : starts_) {
            if (!fits(s.role, 1, 1)) {
                alive_ = true;
                continue;
            }
            if (End e = start(s, emit); e != End::Done) return e;
        }
        return End::Done;
    }
    // The first steps, found as they are walked and kept for later walks.
    starts_.clear();
    bool all = true;
    const uint32_t n_edges = static_cast<uint32_t>(ix_.all.size());
    for (uint32_t r = first_roles_ + 1; r-- > 0;) {
        if (hi_[r] == 0) continue;  // a pattern edge of no hops is only passed
        if (!fits(r, 1, 1)) {
            alive_ = true;
            all = false;
            continue;
        }
        const Ways& w = ways_[r];
        std::vector<Step> few;
        if (r == 0 && few_starts(few)) {
            for (const Step& c : few) {
                ticks_.tick();
                if (!step_holds(0, c.edge, c.orientation())) continue;
                starts_.push_back(c);
                if (End e = start(starts_.back(), emit); e != End::Done) return e;
            }
            continue;
        }
        for (uint32_t i = 0; i < n_edges; ++i) {
            for (int way = 0; way < (w.both ? 2 : 1); ++way) {
                Orientation o = way ? Orientation::Backward : w.first;
                ticks_.tick();  // a scan of every edge, once: not counted as work
                if (!step_holds(r, i, o)) continue;
                bool from_end = o == Orientation::Backward;
                bool nodes = true;
                for (uint32_t n = 0; n <= r && nodes; ++n) nodes = node_holds(n, i, from_end);
                if (!nodes) continue;
                starts_.push_back(Step{i, r, from_end});
                if (End e = start(starts_.back(), emit); e != End::Done) return e;
            }
        }
    }
    starts_known_ = all;
    return End::Done;
}

// The first steps of role 0 without a scan of every edge, when that asks
// the same tests: the first node pattern tests types only and the first
// pattern edge no property (neither runs Python code, so testing nodes before
// edges changes nothing).  The node numbers it accepts give their edges from
// the adjacency lists, in edge order, forward before backward.  False (use
// the scan) when that would not be fewer than an eighth of the edges.
bool PathWalk::few_starts(std::vector<Step>& out) {
    const NodeMatcher& m = p_.nodes[0];
    const Ways& w = ways_[0];
    if (node_ok_[0].empty() || !m.properties.empty() || !p_.edges[0].properties.empty()) {
        return false;
    }
    if ((w.forward() && !ix_.by_start) || (w.backward() && !ix_.by_end)) return false;
    const size_t limit = ix_.all.size() / 8;
    for (uint32_t k = 0; k < ix_.node_count; ++k) {
        for (int way = 0; way < (w.both ? 2 : 1); ++way) {
            Orientation o = way ? Orientation::Backward : w.first;
            const Adjacency& from = o == Orientation::Forward ? *ix_.by_start : *ix_.by_end;
            const uint32_t *b = from.begin(k), *e = from.end(k);
            // One edge leaving node k this way stands for the node.
            if (b == e || !node_holds(0, *b, o == Orientation::Backward)) continue;
            for (; b != e; ++b) out.push_back(Step{*b, 0, o == Orientation::Backward});
            if (out.size() > limit) return false;
        }
    }
    std::sort(out.begin(), out.end(), [](const Step& a, const Step& b) {
        return a.edge != b.edge ? a.edge < b.edge : a.backward < b.backward;
    });
    return true;
}

// Can a path whose step `filled` is a hop number `hops` of role `r` still
// finish within the depth?
bool PathWalk::fits(uint32_t r, uint64_t hops, size_t filled) const noexcept {
    uint64_t need = add(lo_[r] > hops ? lo_[r] - hops : 0, need_after_[r + 1]);
    return filled <= depth_ && need <= depth_ - filled;
}

bool PathWalk::count() {
    ticks_.tick();
    return ++work_ <= budget_;
}

bool PathWalk::edge_test(uint32_t r, uint32_t i) {
    signed char& slot = edge_ok_[r][i];
    if (slot < 0) {
        const EdgeView& e = ix_.all[i];
        slot = p_.edges[r].holds(*e.rec, e.properties) ? 1 : 0;
    }
    return slot == 1;
}

bool PathWalk::node_test(uint32_t n, uint32_t i, bool at_end) {
    const NodeMatcher& m = p_.nodes[n];
    size_t at = m.properties.empty() ? (at_end ? ix_.end_of[i] : ix_.start_of[i]) : 2 * i + at_end;
    signed char& slot = node_ok_[n][at];
    if (slot < 0) {
        const NodeRecord& rec = at_end ? ix_.all[i].rec->end : ix_.all[i].rec->start;
        slot = m.holds(rec.type, rec.properties.get()) ? 1 : 0;
    }
    return slot == 1;
}

PathWalk::End PathWalk::start(const Step& s, PathSink& emit) {
    path_.push_back(s);
    bool pushed = false;
    if (!placed(1, emit, pushed)) return End::Stopped;
    if (!pushed) {
        path_.pop_back();
        return End::Done;
    }
    while (!frames_.empty()) {
        Frame& f = frames_.back();
        uint32_t i, role, hops;
        Orientation o;
        End found = next(f, i, o, role, hops);
        if (found == End::Aborted) return found;
        if (found == End::Done) {
            used_[f.edge] = 0;
            frames_.pop_back();
            path_.pop_back();
            continue;
        }
        path_.push_back(Step{i, role, o == Orientation::Backward});
        if (!placed(hops, emit, pushed)) return End::Stopped;
        if (!pushed) path_.pop_back();
    }
    return End::Done;
}

// After the newest step of the path, hop number `hops` of its role: emits
// the path when it is whole, and pushes a frame when it can go on.  False
// when `emit` stopped the walk.
bool PathWalk::placed(uint32_t hops, PathSink& emit, bool& pushed) {
    pushed = false;
    const Step s = path_.back();
    const uint32_t r = s.role;
    const bool at_end = !s.backward;  // forward, the walk stands on the edge's end
    uint32_t far = kNone;
    bool whole = false;
    if (hops >= lo_[r]) {
        for (uint32_t n = r + 1; n <= roles_; ++n) {
            if (!node_holds(n, s.edge, at_end)) break;
            if (n == roles_) {
                whole = true;
                break;
            }
            far = n;
            if (lo_[n] != 0) break;
        }
    }
    bool again = hops < hi_[r];
    size_t filled = path_.size();
    if (whole && filled >= shortest_ && emit(path_.data(), filled)) return false;
    if (!again && far == kNone) return true;
    if (filled >= depth_) {
        alive_ = true;
        return true;
    }
    uint32_t node = at_end ? ix_.end_of[s.edge] : ix_.start_of[s.edge];
    frames_.push_back(Frame{s.edge, r, hops, node, far != kNone ? int64_t{far} : int64_t{r},
                            again ? int64_t{r} : int64_t{r} + 1});
    used_[s.edge] = 1;
    pushed = true;
    return true;
}

// The next candidate step after frame `f`: Stopped (found), Done (none
// left) or Aborted (over budget).
PathWalk::End PathWalk::next(Frame& f, uint32_t& i, Orientation& o, uint32_t& role,
                             uint32_t& hops) {
    for (;;) {
        if (!f.started) {
            if (f.next < f.last) return End::Done;
            role = static_cast<uint32_t>(f.next);
            hops = role == f.role ? f.hops + 1 : 1;
            if (hops > hi_[role]) {  // a pattern edge of no hops is only passed
                --f.next;
                continue;
            }
            if (!fits(role, hops, path_.size() + 1)) {
                alive_ = true;
                --f.next;
                continue;
            }
            const Ways& w = ways_[role];
            f.fwd = f.fwd_end = f.bwd = f.bwd_end = nullptr;
            if (w.forward()) {
                f.fwd = ix_.by_start->begin(f.node);
                f.fwd_end = ix_.by_start->end(f.node);
            }
            if (w.backward()) {
                f.bwd = ix_.by_end->begin(f.node);
                f.bwd_end = ix_.by_end->end(f.node);
            }
            f.started = true;
        }
        role = static_cast<uint32_t>(f.next);
        hops = role == f.role ? f.hops + 1 : 1;
        bool has_f = f.fwd != f.fwd_end, has_b = f.bwd != f.bwd_end;
        if (!has_f && !has_b) {
            f.started = false;
            --f.next;
            continue;
        }
        if (has_f && (!has_b || *f.fwd <= *f.bwd)) {
            i = *f.fwd++;
            o = Orientation::Forward;
        } else {
            i = *f.bwd++;
            o = Orientation::Backward;
        }
        if (!count()) return End::Aborted;
        if (step_holds(role, i, o)) return End::Stopped;
    }
}

}  // namespace veldrin
