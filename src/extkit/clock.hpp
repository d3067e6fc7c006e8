// Functions of a standard module that a module calls through its own global for that module
// (`time.perf_counter_ns()` through the global `time`), so that callers and tests may replace
// the module or the function. While the function found there is still the builtin captured at
// load, the same result can be computed natively; anything else found there is called.
//
//   StandardFunction perf_counter_ns{"time", "perf_counter_ns"};
//   perf_counter_ns.capture(time_module);                          // at load
//   if (Ref replaced = perf_counter_ns.replacement(module)) return to_uint64(call(replaced.get()).get());
//   return perf_counter_now_ns();
//
// The native clocks read what the builtins of the same names read, converted the same way.
#pragma once

#include <cstdint>
#include <utility>

#include "extkit/object.hpp"
#include "extkit/ref.hpp"
#include "extkit/watch.hpp"

namespace extkit {

class StandardFunction {
 public:
  constexpr StandardFunction(const char* global, const char* attribute) : global_(global), attribute_(attribute) {}
  StandardFunction(const StandardFunction&) = delete;
  StandardFunction& operator=(const StandardFunction&) = delete;

  // At load, with the standard module just imported: keeps its function `attribute` when that is
  // a builtin of that module (one replaced before the load is always called).
  void capture(PyObject* standard_module) {
    Ref function = checked(PyObject_GetAttr(standard_module, attribute_.get()));
    const bool builtin = PyCFunction_Check(function.get()) && PyCFunction_GET_SELF(function.get()) == standard_module;
    Py_XSETREF(builtin_, builtin ? function.release() : nullptr);
  }

  // `<global>.<attribute>` looked up now through `module`'s globals, as a call would find it:
  // an empty Ref when it is the captured builtin, else the object found (to be called). The
  // lookup's own errors (NameError, AttributeError) propagate. While neither dictionary involved
  // has changed since the builtin was last found there, the answer comes without lookups.
  Ref replacement(PyObject* module) {
    if (builtin_found_.holds()) [[likely]] return Ref();
    return look_up(module);
  }

 private:
  [[gnu::noinline]] Ref look_up(PyObject* module) {
    const uint64_t started = WatchedFact::epoch();
    bool watched = WatchedFact::watch(PyModule_GetDict(module));
    Ref owner = module_global(module, global_);
    if (PyModule_CheckExact(owner.get())) {
      // A module's attributes are its dict's entries (a missing one may still come from its
      // __getattr__: the general lookup below).
      PyObject* attributes = PyModule_GetDict(owner.get());
      watched = watched && WatchedFact::watch(attributes);
      PyObject* found = PyDict_GetItemWithError(attributes, attribute_.get());  // borrowed
      if (found == builtin_ && found != nullptr) {
        if (watched) builtin_found_.confirm(started);
        return Ref();
      }
      if (found != nullptr) return Ref::borrow(found);
      check_pending();
    }
    Ref found = checked(PyObject_GetAttr(owner.get(), attribute_.get()));
    return found.get() == builtin_ ? Ref() : std::move(found);
  }

  Name global_;
  Name attribute_;
  PyObject* builtin_ = nullptr;  // owned; null: nothing captured, always call
  WatchedFact builtin_found_;    // the lookup found builtin_ through two plain dicts
};

// time.time()'s conversion of nanoseconds to seconds: whole seconds divided as integers, so
// that they stay exact, anything else as a double division.
inline double seconds_from_nanoseconds(int64_t ns) {
  constexpr int64_t kPerSecond = 1000000000;
  if (ns % kPerSecond == 0) return static_cast<double>(ns / kPerSecond);
  return static_cast<double>(ns) / 1e9;
}

// time.perf_counter_ns(), in nanoseconds.
inline int64_t perf_counter_now_ns() {
#if PY_VERSION_HEX >= 0x030D0000
  PyTime_t now;
  if (PyTime_PerfCounter(&now) < 0) throw PythonError{};
#else
  _PyTime_t now;
  if (_PyTime_GetPerfCounterWithInfo(&now, nullptr) < 0) throw PythonError{};
#endif
  return now;
}

// time.time(), in seconds.
inline double wall_clock_now_seconds() {
#if PY_VERSION_HEX >= 0x030D0000
  PyTime_t now;
  if (PyTime_Time(&now) < 0) throw PythonError{};
#else
  _PyTime_t now;
  if (_PyTime_GetSystemClockWithInfo(&now, nullptr) < 0) throw PythonError{};
#endif
  return seconds_from_nanoseconds(now);
}

}  // namespace extkit
