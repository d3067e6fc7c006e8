// The red-black tree behind FastRedBlackTree: one node per distinct size, further blocks of a
// size chained behind its node. Plain C++: the only Python in here is the block reference each
// record holds, which this code never touches. Allocation, reference counting and locking are
// the caller's business.
//
// Removal repairs the colours only where the replacement position is occupied; an emptied
// position is left as it is. So removals keep the search order and the unique keys but may
// leave the tree deeper than a full red-black tree: every walk below is iterative (parent links
// instead of recursion), whatever the depth.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "native_util/branch.hpp"

namespace klavrix::blockfit {

enum Color : int32_t { kRed = 0, kBlack = 1 };

// One record: a tree node, or (links empty) a further block of a size already in the tree.
struct RBNode {
  RBNode* parent;
  RBNode* left;   // smaller sizes
  RBNode* right;  // larger sizes
  int32_t color;
  uint64_t size;
  PyObject* block;  // owned reference
  RBNode* next;     // same-size chain: newest first after the tree node
  uint64_t timestamp;
};

inline bool is_black(const RBNode* node) { return node == nullptr || node->color == kBlack; }

// The child of `node` on the left (true) or the right side.
inline RBNode*& child(RBNode* node, bool left) { return left ? node->left : node->right; }

// The child a search for `size` descends to. With random keys the direction is a coin toss:
// telling the compiler so lets it load both children and select one, instead of a branch that
// is mispredicted at every other level.
inline RBNode* child_towards(const RBNode* node, uint64_t size) {
  return NATIVE_UTIL_UNPREDICTABLE(size < node->size) ? node->left : node->right;
}

struct Tree {
  RBNode* root = nullptr;

  // Rotates `x` down to the left (true) or the right side: its child on the other side takes its
  // place, and that child's inner subtree moves under `x`.
  void rotate(RBNode* x, bool left) {
    RBNode* y = child(x, !left);
    RBNode* inner = child(y, left);
    child(x, !left) = inner;
    if (inner != nullptr) inner->parent = x;
    replace_child(x, y);
    child(y, left) = x;
    x->parent = y;
  }
  void rotate_left(RBNode* x) { rotate(x, true); }
  void rotate_right(RBNode* x) { rotate(x, false); }

  RBNode* find_node(uint64_t size) const {
    RBNode* node = root;
    while (node != nullptr && node->size != size) node = child_towards(node, size);
    return node;
  }

  // The node with the smallest size that is at least `size`, or null. Every node the walk
  // meets at or above `size` is smaller than the candidate before it (the walk went left of
  // that one), so it simply becomes the candidate.
  RBNode* find_best_fit_node(uint64_t size) const {
    RBNode* candidate = nullptr;
    for (RBNode* node = root; node != nullptr;) {
      const bool below = NATIVE_UTIL_UNPREDICTABLE(node->size < size);
      candidate = below ? candidate : node;
      node = below ? node->right : node->left;
    }
    return candidate;
  }

  static RBNode* minimum(RBNode* node) {
    while (node->left != nullptr) node = node->left;
    return node;
  }

  // Where `size` is in the tree: its node, or, when it is absent, the node a new one would hang
  // under (null in an empty tree). One walk serves both the lookup and the insert.
  struct Position {
    RBNode* node;
    RBNode* parent;
  };
  Position locate(uint64_t size) const {
    RBNode* parent = nullptr;
    RBNode* node = root;
    while (node != nullptr && node->size != size) {
      parent = node;
      node = child_towards(node, size);
    }
    return {node, parent};
  }

  // Links a fresh node (links empty) whose size is absent under `parent`, as located for that
  // size with no change to the tree since, and repairs colours.
  void insert_at(RBNode* z, RBNode* parent) {
    if (parent == nullptr) {
      z->color = kBlack;
      root = z;
      return;
    }
    z->parent = parent;
    (z->size < parent->size ? parent->left : parent->right) = z;
    fixup_insert(z);
  }

  // Links a fresh node whose size is not in the tree yet, and repairs colours.
  void insert_node(RBNode* z) { insert_at(z, locate(z->size).parent); }

  void fixup_insert(RBNode* z) {
    while (z->parent != nullptr && z->parent->color == kRed) {
      RBNode* grandparent = z->parent->parent;
      if (grandparent == nullptr) break;  // a red root: coloured black below
      const bool parent_is_left = z->parent == grandparent->left;
      RBNode* uncle = parent_is_left ? grandparent->right : grandparent->left;
      if (!is_black(uncle)) {
        z->parent->color = kBlack;
        uncle->color = kBlack;
        grandparent->color = kRed;
        z = grandparent;
        continue;
      }
      if (z == (parent_is_left ? z->parent->right : z->parent->left)) {
        z = z->parent;
        rotate(z, parent_is_left);
      }
      z->parent->color = kBlack;
      grandparent->color = kRed;
      rotate(grandparent, !parent_is_left);
    }
    root->color = kBlack;
  }

  // Puts `v` (may be null) in `u`'s place under `u`'s parent.
  void transplant(RBNode* u, RBNode* v) { replace_child(u, v); }

  // Unlinks tree node `z`. Its record, block and chain are left to the caller.
  void delete_node(RBNode* z) {
    if (z->left == nullptr) {
      RBNode* x = z->right;
      transplant(z, x);
      if (z->color == kBlack && x != nullptr) fixup_delete(x);
    } else if (z->right == nullptr) {
      RBNode* x = z->left;
      transplant(z, x);
      if (z->color == kBlack) fixup_delete(x);
    } else {
      RBNode* y = minimum(z->right);
      const int32_t removed_color = y->color;
      RBNode* x = y->right;
      if (y->parent != z) {
        transplant(y, x);
        y->right = z->right;
        y->right->parent = y;
      } else if (x != nullptr) {
        x->parent = y;
      }
      transplant(z, y);
      y->left = z->left;
      y->left->parent = y;
      y->color = z->color;
      if (x != nullptr && removed_color == kBlack) fixup_delete(x);
    }
  }

  void fixup_delete(RBNode* x) {
    while (x != root && x->color == kBlack) {
      RBNode* parent = x->parent;
      const bool x_is_left = x == parent->left;
      auto sibling = [&] { return x_is_left ? parent->right : parent->left; };
      RBNode* w = sibling();
      if (w == nullptr) {
        x = parent;
        continue;
      }
      if (w->color == kRed) {
        w->color = kBlack;
        parent->color = kRed;
        rotate(parent, x_is_left);
        w = sibling();
        if (w == nullptr) {
          x = parent;
          continue;
        }
      }
      if (is_black(w->left) && is_black(w->right)) {
        w->color = kRed;
        x = parent;
        continue;
      }
      if (is_black(x_is_left ? w->right : w->left)) {
        (x_is_left ? w->left : w->right)->color = kBlack;  // the near child, red here
        w->color = kRed;
        rotate(w, !x_is_left);
        w = sibling();
        if (w == nullptr) {
          x = root;
          break;
        }
      }
      w->color = parent->color;
      parent->color = kBlack;
      if (RBNode* far = x_is_left ? w->right : w->left; far != nullptr) far->color = kBlack;
      rotate(parent, x_is_left);
      x = root;
    }
    x->color = kBlack;
  }

 private:
  void replace_child(RBNode* u, RBNode* v) {
    if (u->parent == nullptr) {
      root = v;
    } else if (u == u->parent->left) {
      u->parent->left = v;
    } else {
      u->parent->right = v;
    }
    if (v != nullptr) v->parent = u->parent;
  }
};

// Number of records at a tree node: the node and its chain.
inline uint64_t blocks_at(const RBNode* node) {
  uint64_t count = 0;
  for (; node != nullptr; node = node->next) ++count;
  return count;
}

// Visits the subtree under `top` in pre-order (node, left subtree, right subtree), calling
// visit(node, depth) with depth 1 at `top`. Climbs back through parent links, so it needs no
// stack; the tree must not change during the walk.
template <class Visit>
void walk_preorder(RBNode* top, Visit&& visit) {
  if (top == nullptr) return;
  RBNode* node = top;
  RBNode* came_from = top->parent;
  size_t depth = 1;
  for (;;) {
    RBNode* next;
    if (came_from == node->parent) {  // arrived from above
      visit(node, depth);
      next = node->left != nullptr ? node->left : node->right != nullptr ? node->right : node->parent;
    } else if (came_from == node->left && node->right != nullptr) {
      next = node->right;
    } else {
      next = node->parent;
    }
    if (next == node->parent) {
      if (node == top) return;
      --depth;
    } else {
      ++depth;
    }
    came_from = node;
    node = next;
  }
}

// 0 for none, else 1 + the larger height of the two subtrees; chains do not count.
inline size_t compute_height(RBNode* top) {
  size_t height = 0;
  walk_preorder(top, [&](RBNode*, size_t depth) { height = std::max(height, depth); });
  return height;
}

// Takes apart the detached subtree under `top` in post-order (left subtree, right subtree,
// then the node's chain records, then the node), handing every record to `dispose`, which
// must free it. Nothing else may reach these records any more.
template <class Dispose>
void free_subtree(RBNode* top, Dispose&& dispose) {
  if (top == nullptr) return;
  top->parent = nullptr;
  RBNode* node = top;
  while (node != nullptr) {
    if (node->left != nullptr) {
      node = node->left;
    } else if (node->right != nullptr) {
      node = node->right;
    } else {
      RBNode* parent = node->parent;
      if (parent != nullptr) (parent->left == node ? parent->left : parent->right) = nullptr;
      for (RBNode* record = node->next; record != nullptr;) {
        RBNode* following = record->next;
        dispose(record);
        record = following;
      }
      dispose(node);
      node = parent;
    }
  }
}

}  // namespace klavrix::blockfit
