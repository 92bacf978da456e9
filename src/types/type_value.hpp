// Type values: immutable trees of type variables and function types whose
// nodes are shared by reference.  Copying a type copies one pointer; nothing
// here knows about Python objects.
//
// Nodes carry a plain (non-atomic) reference count: they are only touched
// with the interpreter lock held.  Releasing a long chain is iterative, and
// nesting is bounded (kMaxTypeDepth) so that the recursive walks below (text
// form, UID, equality, the schema test) can never exhaust the C stack.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "types/hashing.hpp"

namespace veldrin {

constexpr std::uint32_t kMaxTypeDepth = 10000;

class TypeRef;

struct TypeNode {
    std::uint32_t refs = 1;
    std::uint32_t depth = 0;  // applications nested below and at this node
    bool is_application = false;
    std::string name;          // variables only
    TypeNode* left = nullptr;  // applications only
    TypeNode* right = nullptr;
};

class TypeRef {
public:
    TypeRef() noexcept = default;
    static TypeRef variable(std::string name);
    // Throws RecursionError (a Python exception) past kMaxTypeDepth.
    static TypeRef application(const TypeRef& left, const TypeRef& right);

    TypeRef(const TypeRef& o) noexcept : p_(o.p_) {
        if (p_) ++p_->refs;
    }
    TypeRef(TypeRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    TypeRef& operator=(TypeRef o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~TypeRef() { release(p_); }

    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is_application() const noexcept { return p_->is_application; }
    bool is_variable() const noexcept { return !p_->is_application; }
    const std::string& name() const noexcept { return p_->name; }
    TypeRef left() const noexcept { return share(p_->left); }
    TypeRef right() const noexcept { return share(p_->right); }
    const TypeNode* node() const noexcept { return p_; }
    std::uint32_t depth() const noexcept { return p_->depth; }

private:
    explicit TypeRef(TypeNode* p) noexcept : p_(p) {}
    static TypeRef share(TypeNode* p) noexcept {
        ++p->refs;
        return TypeRef(p);
    }
    static void release(TypeNode* p) noexcept;
    TypeNode* p_ = nullptr;
};

// Structural equality; identical shared nodes are equal at once.  Needs no
// memory for types that nest only to the left.
bool type_equal(const TypeNode* a, const TypeNode* b);
inline bool operator==(const TypeRef& a, const TypeRef& b) {
    return type_equal(a.node(), b.node());
}

// "Person", "(A -> B)", "((A -> B) -> C)".
std::string type_text(const TypeRef& t);
void append_type_text(std::string& out, const TypeNode* t);

// SHA-256 of "var:" + name, or of "app:" + left UID + ":" + right UID.
Uid type_uid(const TypeRef& t);

// The hash stream T: a variable is tag 0, its name, tag 0; an application is
// tag 1, T(left), T(right), tag 0.
void hash_type_stream(SipHasher& h, const TypeNode* t);

// Python hashes of the two classes.
std::int64_t variable_hash(std::string_view name) noexcept;
std::int64_t application_hash(const TypeRef& t);

}  // namespace veldrin
