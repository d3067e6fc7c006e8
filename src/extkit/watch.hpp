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
// counter, and a fact holds only while the epoch is the one it was confirmed at. Watching each
// dictionary before reading it means that code run by a lookup (a key's __eq__) that changes it
// also moves the epoch, and the fact is then not confirmed.
//
// An interpreter has eight dictionary watchers for the whole process (debuggers, profilers and
// other extensions use them too), so all of klavrix's modules share one: the first module that
// needs it registers it and leaves it, with its epoch, in the interpreter's state dict for the
// others. Where no watcher is left, nothing is ever confirmed and callers always take their full
// path. Used with the interpreter lock held.
#pragma once

#include <cstdint>
#include <new>

#include "extkit/error.hpp"

namespace extkit {

namespace detail {

struct SharedDictWatcher {
  int id;          // -1: no watcher was free
  uint64_t epoch;  // starts at 1
};

// Versioned: a later layout must not read an older module's record.
inline constexpr const char* kSharedDictWatcherKey = "klavrix.extkit.SharedDictWatcher.v1";

// This module's pointer to the shared record; in the module that registered the watcher it is
// also what the callback moves.
inline SharedDictWatcher* shared_dict_watcher = nullptr;

inline int on_watched_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  ++shared_dict_watcher->epoch;
  return 0;
}

// The record is never freed: watched dictionaries report their deallocation until the
// interpreter's last moment.
[[gnu::noinline]] inline SharedDictWatcher& find_or_register_dict_watcher() {
  PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed; null: none
  if (state != nullptr) {
    PyObject* capsule = PyDict_GetItemString(state, kSharedDictWatcherKey);  // borrowed, errors cleared
    if (capsule != nullptr && PyCapsule_IsValid(capsule, kSharedDictWatcherKey)) {
      shared_dict_watcher = static_cast<SharedDictWatcher*>(PyCapsule_GetPointer(capsule, kSharedDictWatcherKey));
      return *shared_dict_watcher;
    }
  }
  static SharedDictWatcher none_free{-1, 1};
  shared_dict_watcher = new (std::nothrow) SharedDictWatcher{-1, 1};
  if (shared_dict_watcher == nullptr) return *(shared_dict_watcher = &none_free);
  shared_dict_watcher->id = PyDict_AddWatcher(on_watched_dict_change);
  if (shared_dict_watcher->id < 0) PyErr_Clear();
  if (state != nullptr) {
    PyObject* capsule = PyCapsule_New(shared_dict_watcher, kSharedDictWatcherKey, nullptr);
    // Failing to share leaves this module with a watcher of its own.
    if (capsule == nullptr || PyDict_SetItemString(state, kSharedDictWatcherKey, capsule) < 0) PyErr_Clear();
    Py_XDECREF(capsule);
  }
  return *shared_dict_watcher;
}

inline SharedDictWatcher& dict_watcher() {
  if (shared_dict_watcher != nullptr) [[likely]] return *shared_dict_watcher;
  return find_or_register_dict_watcher();
}

}  // namespace detail

class WatchedFact {
 public:
  static uint64_t epoch() { return detail::dict_watcher().epoch; }

  // Watches `dict` for changes; false when that is not possible (no watcher available).
  static bool watch(PyObject* dict) {
    const int id = detail::dict_watcher().id;
    if (id < 0) return false;
    if (PyDict_Watch(id, dict) < 0) {
      PyErr_Clear();
      return false;
    }
    return true;
  }

  bool holds() const {
    return detail::shared_dict_watcher != nullptr && confirmed_ == detail::shared_dict_watcher->epoch;
  }

  // The fact, established from lookups that began at epoch `started`, holds from now on
  // unless a watched dictionary changed meanwhile.
  void confirm(uint64_t started) {
    if (started == detail::dict_watcher().epoch) confirmed_ = started;
  }

 private:
  uint64_t confirmed_ = 0;  // 0: never (the epoch starts at 1)
};

}  // namespace extkit
