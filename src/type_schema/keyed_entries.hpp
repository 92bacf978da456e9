// Entries keyed by text, in the order they came: of several entries with the
// same key, the first keeps its place and takes the last one's value.  Used
// for capture tables and for the property maps of patterns.
//
// Repeated keys are merged by sorting, O(n log n) for n entries whatever the
// keys are (a hash table would be linear on average but quadratic on keys
// chosen to collide).  The sort compares the first eight bytes of two keys as
// one number before it looks at the keys themselves.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace veldrin {

template <class Value>
using KeyedEntries = std::vector<std::pair<std::string, Value>>;

template <class Value>
void merge_repeated_keys(KeyedEntries<Value>& entries) {
    size_t n = entries.size();
    if (n < 2) return;
    struct Item {
        std::uint64_t prefix;  // the key's first bytes, big-endian, zero-padded
        size_t index;
    };
    std::vector<Item> order(n);
    for (size_t i = 0; i < n; ++i) {
        const std::string& key = entries[i].first;
        std::uint64_t prefix = 0;
        for (size_t b = 0; b < 8; ++b) {
            prefix = prefix << 8 | (b < key.size() ? static_cast<unsigned char>(key[b]) : 0u);
        }
        order[i] = {prefix, i};
    }
    // Equal keys end up side by side, in the order they came.
    std::sort(order.begin(), order.end(), [&](const Item& x, const Item& y) {
        if (x.prefix != y.prefix) return x.prefix < y.prefix;
        int c = entries[x.index].first.compare(entries[y.index].first);
        return c != 0 ? c < 0 : x.index < y.index;
    });
    std::vector<bool> merged(n, false);
    bool any = false;
    for (size_t i = 0; i < n;) {
        size_t j = i + 1;
        while (j < n && order[j].prefix == order[i].prefix &&
               entries[order[j].index].first == entries[order[i].index].first) {
            merged[order[j++].index] = true;
        }
        if (j - i > 1) {
            entries[order[i].index].second = std::move(entries[order[j - 1].index].second);
            any = true;
        }
        i = j;
    }
    if (!any) return;
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!merged[i]) {
            if (kept != i) entries[kept] = std::move(entries[i]);
            ++kept;
        }
    }
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(kept), entries.end());
}

}  // namespace veldrin
