// Terms: named inhabitants of a type, applied to one another by calling.
#pragma once

#include <string>

#include "module/object.hpp"
#include "types/type_value.hpp"

namespace veldrin {

// A term's name and type in one immutable node, shared by every copy of the
// value (edge records, bindings, patterns), with what is derived from it
// alone remembered as for type nodes (see type_value.hpp).
struct TermNode : Recycled<TermNode> {
    std::uint32_t refs = 1;
    mutable std::atomic<bool> hash_known{false};
    mutable std::atomic<bool> uid_known{false};
    mutable std::atomic<bool> edge_uid_known{false};
    mutable std::int64_t hash;
    std::string name;
    TypeRef type;
    mutable Digest uid;       // the term UID
    mutable Digest edge_uid;  // the UID of a graph edge of this term
};

// A term value: copying it copies one pointer.  Renaming a term makes a new
// value; the node itself never changes.  A default value is empty and only
// good for assigning to.
class TermValue {
public:
    TermValue() noexcept = default;
    TermValue(std::string name, TypeRef type);

    TermValue(const TermValue& o) noexcept : p_(o.p_) {
        if (p_) ++p_->refs;
    }
    TermValue(TermValue&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    TermValue& operator=(TermValue o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~TermValue() {
        if (p_ && --p_->refs == 0) delete p_;
    }

    const std::string& name() const noexcept { return p_->name; }
    const TypeRef& type() const noexcept { return p_->type; }
    const TermNode* node() const noexcept { return p_; }

private:
    TermNode* p_ = nullptr;
};

bool operator==(const TermValue& a, const TermValue& b);

// SHA-256 of "term:" + name + ":" + type UID, remembered.
const Digest& term_digest(const TermValue& t);
inline Uid term_uid(const TermValue& t) { return term_digest(t).uid(); }
// SHA-256 of "edge:" + term UID: the UID of a graph edge of this term,
// remembered.
const Digest& edge_digest(const TermValue& t);
// "f:(A -> B)".
std::string term_text(const TermValue& t);
// SipHash of the name and T(type), remembered (first_term_hash computes and
// remembers it).
std::int64_t first_term_hash(const TermNode* t);
inline std::int64_t term_hash(const TermValue& t) {
    const TermNode* n = t.node();
    return remembered(n->hash_known) ? n->hash : first_term_hash(n);
}

// Applies `f` to `x`: "(f x)" of the output type, or a TypeMismatch.
TermValue apply_term(const TermValue& f, const TermValue& x);

PyTypeObject* term_class();

// A copy of a Term object's value; anything else raises TypeError
// "'{type}' object cannot be cast as 'Term'", prefixed when `arg` is given.
TermValue term_from_object(PyObject* o, const char* arg = nullptr);
Ref term_to_object(TermValue t);

}  // namespace veldrin
