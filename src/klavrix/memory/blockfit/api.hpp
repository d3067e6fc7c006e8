// Internal entry points of klavrix.memory.blockfit.FastRedBlackTree for other native code.
//
// The table is published on the class as a capsule:
//   PyObject* capsule = PyObject_GetAttrString(FastRedBlackTree, "__native_api__");
//   auto* api = static_cast<const FastRedBlackTreeApi*>(PyCapsule_GetPointer(capsule, kFastRedBlackTreeApiName));
// Every entry takes the tree first, and every entry needs the interpreter lock: the tree's
// readers search holding it, and the garbage collector walks the nodes holding it, so nodes
// are only ever relinked or freed with the interpreter lock held. The caller keeps a reference
// to the tree for the duration of the call. Entries that relink nodes (rotations, fix-ups,
// transplant, _delete_node) also need that no writer of the tree runs meanwhile; the tree's
// own writers serialise on a lock private to the tree, so a native caller relinks only a tree
// that no other code is using. Entries marked "GIL" also create or release Python objects
// and report an error by returning null or -1 with the Python error set.
#pragma once

#include <cstdint>

#include "klavrix/memory/blockfit/rbtree.hpp"

namespace klavrix::blockfit {

inline constexpr const char* kFastRedBlackTreeApiName = "klavrix.memory.blockfit.FastRedBlackTree.__native_api__";

struct FastRedBlackTreeApi {
  void (*_recursive_free)(PyObject* tree, RBNode* node);                     // GIL: frees a detached subtree
  RBNode* (*_allocate_node)(PyObject* tree, uint64_t size, PyObject* block);  // GIL: a red, unlinked record
  bool (*_should_sample)(PyObject* tree);                                     // sample_rate == 1
  int (*_record_sample)(PyObject* tree);                                      // GIL
  void (*_rotate_left)(PyObject* tree, RBNode* x);
  void (*_rotate_right)(PyObject* tree, RBNode* x);
  void (*_fixup_insert)(PyObject* tree, RBNode* z);
  RBNode* (*_find_node)(PyObject* tree, uint64_t size);
  RBNode* (*_find_best_fit_node)(PyObject* tree, uint64_t size);
  RBNode* (*_minimum)(PyObject* tree, RBNode* node);
  void (*_transplant)(PyObject* tree, RBNode* u, RBNode* v);
  void (*_delete_node)(PyObject* tree, RBNode* z);  // GIL: unlinks z, releases its block, frees it
  void (*_fixup_delete)(PyObject* tree, RBNode* x);
  uint64_t (*_compute_height)(PyObject* tree, RBNode* node);
  PyObject* (*_collect_distribution)(PyObject* tree);                      // GIL: new dict
  int (*_collect_dist_recursive)(PyObject* tree, RBNode* node, PyObject* dist);  // GIL; pre-order
};

}  // namespace klavrix::blockfit
