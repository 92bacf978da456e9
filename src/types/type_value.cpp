#include "types/type_value.hpp"

#include <algorithm>
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

bool type_equal(const TypeNode* a, const TypeNode* b) noexcept {
    while (true) {
        if (a == b) return true;
        if (a->is_application != b->is_application) return false;
        if (!a->is_application) return a->name == b->name;
        if (!type_equal(a->left, b->left)) return false;
        a = a->right;
        b = b->right;
    }
}

void append_type_text(std::string& out, const TypeNode* t) {
    if (!t->is_application) {
        out += t->name;
        return;
    }
    out += '(';
    append_type_text(out, t->left);
    out += " -> ";
    append_type_text(out, t->right);
    out += ')';
}

std::string type_text(const TypeRef& t) {
    std::string out;
    append_type_text(out, t.node());
    return out;
}

namespace {
Uid node_uid(const TypeNode* t) {
    if (!t->is_application) return sha256_uid("var:", t->name);
    Uid left = node_uid(t->left);
    Uid right = node_uid(t->right);
    return sha256_uid("app:", left.view(), ":", right.view());
}
}  // namespace

Uid type_uid(const TypeRef& t) { return node_uid(t.node()); }

void hash_type_stream(SipHasher& h, const TypeNode* t) noexcept {
    if (!t->is_application) {
        h.tag(0);
        h.text(t->name);
        h.tag(0);
        return;
    }
    h.tag(1);
    hash_type_stream(h, t->left);
    hash_type_stream(h, t->right);
    h.tag(0);
}

std::int64_t variable_hash(std::string_view name) noexcept {
    SipHasher h;
    h.text(name);
    return h.finish();
}

std::int64_t application_hash(const TypeRef& t) noexcept {
    SipHasher h;
    hash_type_stream(h, t.node()->left);
    hash_type_stream(h, t.node()->right);
    return h.finish();
}

}  // namespace veldrin
