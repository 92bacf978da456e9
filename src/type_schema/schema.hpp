// The schema test: a small pattern language over type values, read afresh
// from its text at every test (never compiled).  Pure logic: no Python
// objects.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "types/type_value.hpp"

namespace veldrin {

// Capture name -> the type the group met.  Inserting a name that is already
// present replaces its type (and keeps its place).
class CaptureTable {
public:
    void insert(std::string name, TypeRef type);
    const std::vector<std::pair<std::string, TypeRef>>& entries() const noexcept {
        return entries_;
    }

private:
    std::vector<std::pair<std::string, TypeRef>> entries_;
};

// Does `type` satisfy `schema`?  Captures go into `captures` when it is not
// null; on a failed test the caller discards the table.
bool schema_test(std::string_view schema, const TypeRef& type, CaptureTable* captures);

}  // namespace veldrin
