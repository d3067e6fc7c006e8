// Facts derived from dictionaries (a module's globals, another module's attributes, an
// instance's __dict__), kept until one of those dictionaries changes, so that a hot path can
// skip the lookups that established them.
//
//   WatchedFact builtin_found;                       // namespace scope, one per fact
//   if (!builtin_found.holds()) {
//     const uint64_t started = WatchedFact::epoch();
//     bool watched = WatchedFact::watch(globals);     // each dict watched before it is read
//     ... look into globals; watched = watched && WatchedFact::watch(other); look into other ...
//     if (the fact is true && watched) builtin_found.confirm(started);
//   }
//
// Every change of a watched dictionary (any key, clearing, deallocation) moves one epoch
// counter of this extension module, and a fact holds only while the epoch is the one it was
// confirmed at. Watching each dictionary before reading it means that code run by a lookup
// (a key's __eq__) that changes it also moves the epoch, and the fact is then not confirmed.
// Where the interpreter has no dictionary watcher left, nothing is ever confirmed and callers
// always take their full path. Used with the interpreter lock held.
#pragma once

#include <cstdint>

#include "extkit/error.hpp"

namespace extkit {

namespace detail {
inline uint64_t watched_dict_epoch = 1;
inline int dict_watcher = -2;  // -2: not registered yet; -1: unavailable

inline int on_watched_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  ++watched_dict_epoch;
  return 0;
}
}  // namespace detail

class WatchedFact {
 public:
  static uint64_t epoch() { return detail::watched_dict_epoch; }

  // Watches `dict` for changes; false when that is not possible (no watcher available).
  static bool watch(PyObject* dict) {
    if (detail::dict_watcher == -2) {
      detail::dict_watcher = PyDict_AddWatcher(detail::on_watched_dict_change);
      if (detail::dict_watcher < 0) PyErr_Clear();
    }
    if (detail::dict_watcher < 0) return false;
    if (PyDict_Watch(detail::dict_watcher, dict) < 0) {
      PyErr_Clear();
      return false;
    }
    return true;
  }

  bool holds() const { return confirmed_ == detail::watched_dict_epoch; }

  // The fact, established from lookups that began at epoch `started`, holds from now on
  // unless a watched dictionary changed meanwhile.
  void confirm(uint64_t started) {
    if (started == detail::watched_dict_epoch) confirmed_ = started;
  }

 private:
  uint64_t confirmed_ = 0;  // 0: never (the epoch starts at 1)
};

}  // namespace extkit
