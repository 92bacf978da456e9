// Type schemas: a small pattern language over type values.  A schema text is
// read once into a tree when the schema is made, and types are tested
// against the tree.  Pure logic: no Python objects.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "type_schema/keyed_entries.hpp"
#include "types/type_value.hpp"

namespace veldrin {

// Capture name -> the type the group met.  A name captured again keeps its
// place and takes the later type.
class CaptureTable {
public:
    void insert(std::string name, TypeRef type) {
        entries_.emplace_back(std::move(name), std::move(type));
    }
    // Each name once.
    const KeyedEntries<TypeRef>& entries() {
        merge_repeated_keys(entries_);
        return entries_;
    }

private:
    KeyedEntries<TypeRef> entries_;
};

// A schema: its text exactly as given, and the tree read from it.  Copies
// share the immutable reading, so a copy costs one reference count.  Any text
// is a schema; a malformed one matches nothing (or, by the plain-name rule,
// the variable named by its whole text).
class Schema {
public:
    // Reads the text: linear in its length, however deeply it nests.
    explicit Schema(std::string text);

    const std::string& text() const noexcept;

    // Does `type` satisfy the schema?  Captures go into `captures` when it is
    // not null; on a failed test the caller discards the table.  Linear in
    // the size of the tree and needs no recursion.
    bool test(const TypeRef& type, CaptureTable* captures) const;

    struct Reading;

private:
    std::shared_ptr<const Reading> reading_;
};

}  // namespace veldrin
