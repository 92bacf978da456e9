// Type values: immutable trees of type variables and function types whose
// nodes are shared by reference.  Copying a type copies one pointer; nothing
// here knows about Python objects.
//
// Nodes carry a plain (non-atomic) reference count: they are only touched
// with the interpreter lock held.  Releasing a long chain is iterative, and
// nesting is bounded (kMaxTypeDepth); the walks below (text form, UID, hash
// stream, equality) are iterative too, so even the deepest type needs little
// C stack.
//
// A node never changes, so what is derived from it alone -- its UID, the UID
// of a graph node of this type, its Python hash -- is remembered in the node
// the first time it is asked for.  A remembered value is written once and
// only then published by raising its flag (release order); readers check the
// flag first (acquire order), so no reader ever sees a half-written value.
// Every writer holds the interpreter lock; a free-threaded build would claim
// a flag with a compare-exchange before writing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "types/hashing.hpp"

namespace veldrin {

constexpr std::uint32_t kMaxTypeDepth = 10000;

class TypeRef;

// A value remembered once computed: see the header comment.
inline bool remembered(const std::atomic<bool>& flag) noexcept {
    return flag.load(std::memory_order_acquire);
}
inline void publish(std::atomic<bool>& flag) noexcept {
    flag.store(true, std::memory_order_release);
}

// Type and term nodes are made and freed at a high rate (every Variable,
// every term application), so the memory of freed nodes is kept for reuse,
// up to kKeep nodes of each kind.  Only touched with the interpreter lock
// held, like the nodes' reference counts.  Not under AddressSanitizer, which
// must see every node freed to find a use after free.
template <class Node>
struct Recycled {
#if defined(__SANITIZE_ADDRESS__)
    static constexpr int kKeep = 0;
#else
    static constexpr int kKeep = 1024;
#endif
    static void* operator new(std::size_t size) {
        if (size == sizeof(Node) && spare_) {
            Spare* s = spare_;
            spare_ = s->next;
            --spares_;
            return s;
        }
        return ::operator new(size);
    }
    static void operator delete(void* p, std::size_t size) noexcept {
        if (size == sizeof(Node) && spares_ < kKeep) {
            spare_ = new (p) Spare{spare_};
            ++spares_;
            return;
        }
        ::operator delete(p);
    }

private:
    struct Spare {
        Spare* next;
    };
    static inline Spare* spare_ = nullptr;
    static inline int spares_ = 0;
};

struct TypeNode : Recycled<TypeNode> {
    // What creating a node writes comes first; the two digests, written
    // only when asked for, last.
    std::uint32_t refs = 1;
    std::uint32_t depth = 0;  // applications nested below and at this node
    bool is_application = false;
    mutable std::atomic<bool> hash_known{false};
    mutable std::atomic<bool> uid_known{false};
    mutable std::atomic<bool> node_uid_known{false};
    // Scratch for one walk over many types at a time (see query/run.cpp):
    // the number a walk gave this node, valid while `walk` is that walk's
    // mark.  Only ever used under the interpreter lock, with no Python code
    // running between the writes and the reads.
    mutable std::uint32_t walk_number = 0;
    mutable std::uint64_t walk = 0;
    mutable std::int64_t hash;  // of the Variable or Application holding this node
    std::string name;           // variables only
    TypeNode* left = nullptr;   // applications only
    TypeNode* right = nullptr;
    TypeNode* released_next = nullptr;  // links the nodes being freed together
    mutable Digest uid;                 // the type UID
    mutable Digest node_uid;            // the UID of a graph node of this type
};

class TypeRef {
public:
    TypeRef() noexcept = default;
    static TypeRef variable(std::string_view name);
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

// Structural equality; identical shared nodes are equal at once, and so are
// nodes with equal remembered UIDs (unequal remembered UIDs or hashes decide
// at once the other way).  Needs no memory for types that nest only to the
// left.
bool type_equal(const TypeNode* a, const TypeNode* b);
inline bool operator==(const TypeRef& a, const TypeRef& b) {
    return type_equal(a.node(), b.node());
}

// "Person", "(A -> B)", "((A -> B) -> C)".
std::string type_text(const TypeRef& t);
void append_type_text(std::string& out, const TypeNode* t);

// SHA-256 of "var:" + name, or of "app:" + left UID + ":" + right UID.
// Remembered in every node of the type on the first call; the digest is a
// reference into the node, valid while the node lives.
const Digest& type_digest(const TypeNode* t);
inline Uid type_uid(const TypeRef& t) { return type_digest(t.node()).uid(); }
// SHA-256 of "node:" + type UID: the UID of a graph node of this type,
// remembered in the type's root node.
const Digest& node_digest(const TypeNode* t);

// The hash stream T: a variable is tag 0, its name, tag 0; an application is
// tag 1, T(left), T(right), tag 0.
void hash_type_stream(SipHasher& h, const TypeNode* t);

// The Python hash of the Variable or Application holding the node: SipHash
// of the name for a variable, of T(left) + T(right) for an application.
// Remembered in the node (first_type_hash computes and remembers it).
std::int64_t first_type_hash(const TypeNode* t);
inline std::int64_t type_hash(const TypeNode* t) {
    return remembered(t->hash_known) ? t->hash : first_type_hash(t);
}

}  // namespace veldrin
