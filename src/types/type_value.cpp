#include "types/type_value.hpp"

#include <algorithm>
#include <tuple>
#include <vector>

#include "module/py.hpp"

namespace veldrin {

TypeRef TypeRef::variable(std::string name) {
    auto* n = new TypeNode;
    n->name = std::move(name);
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
    // Freed chains are released iteratively, never by recursion.
    std::vector<TypeNode*> pending{p};
    while (!pending.empty()) {
        TypeNode* n = pending.back();
        pending.pop_back();
        for (TypeNode* child : {n->left, n->right}) {
            if (child && --child->refs == 0) pending.push_back(child);
        }
        delete n;
    }
}

// The walks below are iterative: a type may nest 10000 applications deep, and
// a thread's C stack may be small.

bool type_equal(const TypeNode* a, const TypeNode* b) {
    std::vector<std::pair<const TypeNode*, const TypeNode*>> pending;
    while (true) {
        if (a != b) {
            if (a->is_application != b->is_application) return false;
            if (!a->is_application) {
                if (a->name != b->name) return false;
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

Uid type_uid(const TypeRef& t) {
    // Post-order: an application's UID is made once both of its sides' are
    // on the value stack.
    std::vector<std::pair<const TypeNode*, bool>> pending{{t.node(), false}};
    std::vector<Uid> values;
    while (!pending.empty()) {
        auto [node, sides_done] = pending.back();
        pending.pop_back();
        if (!node->is_application) {
            values.push_back(sha256_uid("var:", node->name));
        } else if (!sides_done) {
            pending.emplace_back(node, true);
            pending.emplace_back(node->right, false);
            pending.emplace_back(node->left, false);
        } else {
            Uid right = values.back();
            values.pop_back();
            Uid left = values.back();
            values.pop_back();
            values.push_back(sha256_uid("app:", left.view(), ":", right.view()));
        }
    }
    return values.back();
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

std::int64_t variable_hash(std::string_view name) noexcept {
    SipHasher h;
    h.text(name);
    return h.finish();
}

std::int64_t application_hash(const TypeRef& t) {
    SipHasher h;
    hash_type_stream(h, t.node()->left);
    hash_type_stream(h, t.node()->right);
    return h.finish();
}

}  // namespace veldrin
