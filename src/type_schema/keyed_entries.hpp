// An ordered map of text keys to values, as a list of entries plus an index:
// putting a key that is already present replaces its value at its first
// place.  Each put costs O(1) on average.  Used for capture tables and for
// the property maps of patterns.
#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace veldrin {

template <class Value>
class KeyedEntries {
public:
    using Entries = std::vector<std::pair<std::string, Value>>;

    void put(std::string key, Value value) {
        auto [it, fresh] = index_.try_emplace(key, entries_.size());
        if (fresh) {
            entries_.emplace_back(std::move(key), std::move(value));
        } else {
            entries_[it->second].second = std::move(value);
        }
    }
    const Entries& entries() const noexcept { return entries_; }
    Entries take() && { return std::move(entries_); }

private:
    Entries entries_;
    std::unordered_map<std::string, size_t> index_;
};

}  // namespace veldrin
