// Bindings: variable name -> binding list of bound node and edge values.
// Lists are aligned by position only: row i is the i-th entry of every list
// that has one.  After filtering or reordering a list can have a hole at a
// position (an empty optional): the row simply lacks that variable there.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "graph/records.hpp"

namespace veldrin {

using BoundValue = std::variant<NodeRecord, EdgeRecord>;
using BindingList = std::vector<std::optional<BoundValue>>;
using Bindings = std::unordered_map<std::string, BindingList>;

// The value bound to `name` at `row`, or null when the row lacks it.
inline const BoundValue* bound_at(const Bindings& b, const std::string& name, size_t row) {
    auto it = b.find(name);
    if (it == b.end() || row >= it->second.size() || !it->second[row]) return nullptr;
    return &*it->second[row];
}

inline int traverse_bound(const BoundValue& v, visitproc visit, void* arg) noexcept {
    return std::visit([&](const auto& r) { return r.traverse(visit, arg); }, v);
}

// Do two bound values stand for the same node or edge (equal UIDs)?  A
// node's UID depends on its type alone and an edge's on its term alone, so
// they are compared structurally, without digests.
inline bool same_identity(const BoundValue& a, const BoundValue& b) {
    if (a.index() != b.index()) return false;
    if (auto* n = std::get_if<NodeRecord>(&a)) return n->type == std::get<NodeRecord>(b).type;
    return std::get<EdgeRecord>(a).term == std::get<EdgeRecord>(b).term;
}

// Number of positions: the longest list, 0 when nothing is bound.
inline size_t row_count(const Bindings& b) noexcept {
    size_t n = 0;
    for (const auto& [name, list] : b) n = list.size() > n ? list.size() : n;
    return n;
}

}  // namespace veldrin
