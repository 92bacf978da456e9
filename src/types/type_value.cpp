#include "types/type_value.hpp"

#include <algorithm>
#include <tuple>
#include <vector>

#include "errors/failure.hpp"

namespace veldrin {

TypeRef TypeRef::variable(std::string_view name) {
    auto* n = new TypeNode;
    n->name.assign(name);
    return TypeRef(n);
}

TypeRef TypeRef::application(const TypeRef& left, const TypeRef& right) {
    std::uint32_t depth = std::max(left.depth(), right.depth()) + 1;
    if (depth > kMaxTypeDepth) {
        raise(PyExc_RecursionError,
              "type nesting too deep: more than " + std::to_string(kMaxTypeDepth) + " levels");
    }
    auto* n = new TypeNode;
    n->is_application = true;
    n->depth = depth;
    n->left = left.p_;
    ++n->left->refs;
    n->right = right.p_;
    ++n->right->refs;
    return TypeRef(n);
}

void TypeRef::release(TypeNode* p) noexcept {
    if (!p || --p->refs) return;
    // Freed chains are released iteratively, never by recursion: the nodes
    // still to free are linked through their own released_next.
    TypeNode* pending = p;
    while (pending) {
        TypeNode* n = pending;
        pending = n->released_next;
        for (TypeNode* child : {n->left, n->right}) {
            if (child && --child->refs == 0) {
                child->released_next = pending;
                pending = child;
            }
        }
        delete n;
    }
}

// The walks below are iterative: a type may nest 10000 applications deep, and
// a thread's C stack may be small.

namespace {
// Equality decided by remembered values alone: 1 equal, 0 unequal, -1 open.
// UIDs are equal exactly for equal types; hashes differ only for unequal ones.
int remembered_equal(const TypeNode* a, const TypeNode* b) noexcept {
    if (remembered(a->uid_known) && remembered(b->uid_known)) return a->uid == b->uid;
    if (remembered(a->hash_known) && remembered(b->hash_known) && a->hash != b->hash) return 0;
    return -1;
}
}  // namespace

bool type_equal(const TypeNode* a, const TypeNode* b) {
    std::vector<std::pair<const TypeNode*, const TypeNode*>> pending;
    while (true) {
        if (a != b) {
            if (a->is_application != b->is_application) return false;
            if (!a->is_application) {
                if (a->name != b->name) return false;
            } else if (int known = remembered_equal(a, b); known >= 0) {
                if (!known) return false;
            } else {
                pending.emplace_back(a->right, b->right);
                a = a->left;
                b = b->left;
                continue;
            }
        }
        if (pending.empty()) return true;
        std::tie(a, b) = pending.back();
        pending.pop_back();
    }
}

void append_type_text(std::string& out, const TypeNode* t) {
    // Each entry is a node to write or, with a null node, a piece of text.
    struct Item {
        const TypeNode* node;
        const char* text;
    };
    std::vector<Item> pending{{t, nullptr}};
    while (!pending.empty()) {
        Item item = pending.back();
        pending.pop_back();
        if (!item.node) {
            out += item.text;
        } else if (!item.node->is_application) {
            out += item.node->name;
        } else {
            out += '(';
            pending.push_back({nullptr, ")"});
            pending.push_back({item.node->right, nullptr});
            pending.push_back({nullptr, " -> "});
            pending.push_back({item.node->left, nullptr});
        }
    }
}

std::string type_text(const TypeRef& t) {
    std::string out;
    append_type_text(out, t.node());
    return out;
}

const Digest& type_digest(const TypeNode* t) {
    if (remembered(t->uid_known)) return t->uid;
    // Post-order over the nodes not yet known: a node is made once both of
    // its sides are.  Every node of the type ends up remembering its UID, so
    // a subtree shared many times is digested once.
    std::vector<const TypeNode*> pending{t};
    while (!pending.empty()) {
        const TypeNode* node = pending.back();
        if (remembered(node->uid_known)) {
            pending.pop_back();
            continue;
        }
        if (!node->is_application) {
            node->uid = sha256_digest("var:", node->name);
        } else {
            bool left = remembered(node->left->uid_known);
            bool right = remembered(node->right->uid_known);
            if (!left || !right) {
                if (!right) pending.push_back(node->right);
                if (!left) pending.push_back(node->left);
                continue;
            }
            Uid left_uid = node->left->uid.uid(), right_uid = node->right->uid.uid();
            node->uid = sha256_digest("app:", left_uid.view(), ":", right_uid.view());
        }
        publish(node->uid_known);
        pending.pop_back();
    }
    return t->uid;
}

const Digest& node_digest(const TypeNode* t) {
    if (!remembered(t->node_uid_known)) {
        t->node_uid = sha256_digest("node:", type_digest(t).uid().view());
        publish(t->node_uid_known);
    }
    return t->node_uid;
}

void hash_type_stream(SipHasher& h, const TypeNode* t) {
    // A null node stands for the closing tag of an application.
    std::vector<const TypeNode*> pending{t};
    while (!pending.empty()) {
        const TypeNode* node = pending.back();
        pending.pop_back();
        if (!node) {
            h.tag(0);
        } else if (!node->is_application) {
            h.tag(0);
            h.text(node->name);
            h.tag(0);
        } else {
            h.tag(1);
            pending.push_back(nullptr);
            pending.push_back(node->right);
            pending.push_back(node->left);
        }
    }
}

std::int64_t first_type_hash(const TypeNode* t) {
    SipHasher h;
    if (t->is_application) {
        hash_type_stream(h, t->left);
        hash_type_stream(h, t->right);
    } else {
        h.text(t->name);
    }
    t->hash = h.finish();
    publish(t->hash_known);
    return t->hash;
}

}  // namespace veldrin
