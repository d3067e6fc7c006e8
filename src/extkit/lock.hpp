// Scoped holds on the locks the modules use: a Python lock object (threading.Lock, held as in a
// `with` block), any context manager a caller supplies (with_context), the interpreter lock
// (released for a native section), and locks private to one object (NativeLock / PrivateLock,
// at the end).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <type_traits>

#include "extkit/call.hpp"
#include "extkit/module.hpp"
#include "extkit/object.hpp"
#include "extkit/ref.hpp"

namespace extkit {

namespace detail {

// acquire/release of threading.Lock's own type, looked up once so that the common case costs
// two direct calls; other lock objects go through __enter__/__exit__.
struct ThreadLockMethods {
  PyTypeObject* type = nullptr;
  PyObject* acquire = nullptr;
  PyObject* release = nullptr;
};

inline ThreadLockMethods& thread_lock_methods() {
  static ThreadLockMethods methods;
  if (methods.type == nullptr) {
    Ref thread = import_module("_thread");
    Ref type = checked(PyObject_GetAttrString(thread.get(), "LockType"));
    Ref acquire = checked(PyObject_GetAttrString(type.get(), "acquire"));
    Ref release = checked(PyObject_GetAttrString(type.get(), "release"));
    methods.acquire = acquire.release();
    methods.release = release.release();
    methods.type = reinterpret_cast<PyTypeObject*>(type.release());
  }
  return methods;
}

inline Name enter_name{"__enter__"};
inline Name exit_name{"__exit__"};

// type(object).<name> bound to `object`, as the `with` statement looks up __enter__/__exit__;
// an empty Ref when the type has no such attribute.
inline Ref special_method(PyObject* object, Name& name) {
  PyObject* found = _PyType_Lookup(Py_TYPE(object), name.get());  // borrowed
  if (found == nullptr) return Ref();
  descrgetfunc get = Py_TYPE(found)->tp_descr_get;
  if (get == nullptr) return Ref::borrow(found);
  return checked(get(found, object, reinterpret_cast<PyObject*>(Py_TYPE(object))));
}

// The context-manager half of `with manager:`: __enter__ called, __exit__ bound for later.
inline Ref enter_context(PyObject* manager) {
  Ref enter = special_method(manager, enter_name);
  if (!enter) {
    check_pending();
    raise_format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                 Py_TYPE(manager)->tp_name);
  }
  Ref exit = special_method(manager, exit_name);
  if (!exit) {
    check_pending();
    raise_format(PyExc_TypeError,
                 "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                 Py_TYPE(manager)->tp_name);
  }
  Ref entered = checked(PyObject_CallNoArgs(enter.get()));
  return exit;
}

// exit(type, value, traceback) for the exception `raised` (null: none); the result, or null
// with the error set.
inline PyObject* call_exit(PyObject* exit, PyObject* raised) {
  if (raised == nullptr) {
    PyObject* args[] = {Py_None, Py_None, Py_None};
    return PyObject_Vectorcall(exit, args, 3, nullptr);
  }
  Ref traceback = Ref::steal(PyException_GetTraceback(raised));
  PyObject* args[] = {reinterpret_cast<PyObject*>(Py_TYPE(raised)), raised, traceback ? traceback.get() : Py_None};
  return PyObject_Vectorcall(exit, args, 3, nullptr);
}

}  // namespace detail

// Runs `body()` inside `with manager:` exactly as the statement does: __enter__ and __exit__
// looked up on the type, __exit__ given the exception in flight, a true result suppressing it.
// Returns true when the body completed, false when its exception was suppressed.
template <class Body>
bool with_context(PyObject* manager, Body&& body) {
  Ref held = Ref::borrow(manager);
  Ref exit = detail::enter_context(manager);
  try {
    body();
  } catch (...) {
    set_error_from_current_exception();
    PyObject* raised = PyErr_GetRaisedException();
    Ref result = Ref::steal(detail::call_exit(exit.get(), raised));
    int suppress = result ? PyObject_IsTrue(result.get()) : -1;
    if (suppress < 0) {
      _PyErr_ChainExceptions1(raised);  // the new error, with the body's as its context
      throw PythonError{};
    }
    if (suppress) {
      Py_DECREF(raised);
      return false;
    }
    PyErr_SetRaisedException(raised);
    throw PythonError{};
  }
  checked(detail::call_exit(exit.get(), nullptr));
  return true;
}

// Holds `lock` for the enclosing scope, for locks the module made itself (threading.Lock, or
// whatever the module's `threading.Lock` has been replaced with). Releasing happens in the
// destructor, also while an exception is propagating; that exception is kept (a destructor
// cannot suppress it: use with_context() for objects a caller supplies), and an error raised
// by the release itself is reported as unraisable.
class LockHold {
 public:
  // The hold keeps its own reference: acquiring may wait with the interpreter lock released,
  // and the field that held the lock may be replaced meanwhile.
  explicit LockHold(PyObject* lock) : lock_(Py_NewRef(lock)) {
    Ref owned = Ref::steal(lock_);  // given up below once the lock is held
    detail::ThreadLockMethods& methods = detail::thread_lock_methods();
    fast_ = Py_IS_TYPE(lock, methods.type);
    if (fast_) {
      Ref result = checked(PyObject_Vectorcall(methods.acquire, &lock_, 1, nullptr));
    } else {
      exit_ = detail::enter_context(lock).release();
    }
    (void)owned.release();
  }
  LockHold(const LockHold&) = delete;
  LockHold& operator=(const LockHold&) = delete;

  ~LockHold() {
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* result;
    if (fast_) {
      result = PyObject_Vectorcall(detail::thread_lock_methods().release, &lock_, 1, nullptr);
    } else {
      result = detail::call_exit(exit_, pending);
      Py_DECREF(exit_);
    }
    if (result == nullptr) PyErr_WriteUnraisable(lock_);
    Py_XDECREF(result);
    Py_DECREF(lock_);
    PyErr_SetRaisedException(pending);
  }

 private:
  PyObject* lock_;
  PyObject* exit_ = nullptr;  // bound __exit__ of other lock objects, owned
  bool fast_ = false;
};

// Releases the interpreter lock for the enclosing scope. Nothing inside may touch Python objects.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// Runs `body` without the interpreter lock, then raises any exception pending once the lock is
// back.
template <class Body>
auto without_gil(Body&& body) {
  if constexpr (std::is_void_v<decltype(body())>) {
    {
      GilRelease released;
      body();
    }
    check_pending();
  } else {
    decltype(body()) result;
    {
      GilRelease released;
      result = body();
    }
    check_pending();
    return result;
  }
}

// ---------------------------------------------------------------------------------------------
// Private locks: locks an object makes for itself and that no Python code can reach.
//
//   Ref made = private_lock_object(module);  // at construction: null unless threading.Lock is replaced
//   new (&self.lock) PrivateLock(std::move(made));
//   PrivateLock::Hold hold(self.lock, "Tree is being modified by this thread already (re-entrant call)");
//
// NativeLock is taken and released only with the interpreter lock held, which orders every
// access to its state, so taking a free one costs a compare and a store. A thread that finds it
// held by another (a holder that let the interpreter lock go inside, to run Python code or to
// wait) blocks with the interpreter lock released until the holder lets go, and, as a wait on
// threading.Lock does, lets a signal handler's exception (KeyboardInterrupt) end the wait. The
// thread that holds it taking it again gets RuntimeError instead of a deadlock.

#ifdef Py_GIL_DISABLED
#error "NativeLock relies on the interpreter lock"
#endif

class NativeLock {
 public:
  NativeLock() = default;
  NativeLock(const NativeLock&) = delete;
  NativeLock& operator=(const NativeLock&) = delete;

  // Takes the lock, or raises RuntimeError(reentry_message) when this thread holds it already.
  void acquire(const char* reentry_message) {
    const unsigned long self = PyThread_get_thread_ident();
    if (owner_ != 0) [[unlikely]] {
      if (owner_ == self) raise(PyExc_RuntimeError, reentry_message);
      wait_for_release();
    }
    owner_ = self;
  }

  void release() {
    owner_ = 0;
    if (waiters_ != 0) [[unlikely]] {
      std::lock_guard<std::mutex> guard(mutex_);
      released_.notify_one();
    }
  }

 private:
  // How long a waiter blocks before it looks for signals to handle.
  static constexpr std::chrono::milliseconds kSignalCheckInterval{20};

  // Returns, with the interpreter lock held, once the lock is free.
  [[gnu::noinline]] void wait_for_release() {
    struct Waiting {
      int& waiters;
      explicit Waiting(int& count) : waiters(++count) {}
      ~Waiting() { --waiters; }
    } waiting(waiters_);
    while (owner_ != 0) {
      // mutex_ is taken before the interpreter lock goes, so that a release made in between
      // finds this thread waiting.
      std::unique_lock<std::mutex> guard(mutex_);
      PyThreadState* state = PyEval_SaveThread();
      released_.wait_for(guard, kSignalCheckInterval);
      guard.unlock();
      PyEval_RestoreThread(state);
      if (owner_ != 0 && PyErr_CheckSignals() < 0) throw PythonError{};
    }
  }

  unsigned long owner_ = 0;  // thread ident of the holder, 0 when free; read and written under the interpreter lock
  int waiters_ = 0;          // threads in wait_for_release(); likewise
  std::mutex mutex_;         // pairs with released_ for waiting without the interpreter lock
  std::condition_variable released_;
};

// ---------------------------------------------------------------------------------------------
// Locks made by a module's `threading.Lock`, looked up through its `threading` global at the
// moment of the call, so that a replaced one is honoured.

// threading.Lock as `module` sees it now.
inline Ref threading_lock_factory(PyObject* module) {
  return attribute(module_global(module, "threading"_name).get(), "Lock"_name);
}

// threading.Lock()
inline Ref new_threading_lock(PyObject* module) { return call(threading_lock_factory(module).get()); }
inline Ref new_threading_lock() { return new_threading_lock(ModuleFrame::module()); }

namespace detail {
// threading.Lock is _thread.allocate_lock (3.12) or the lock class itself (3.13).
inline bool is_standard_lock_factory(PyObject* factory) {
  static PyObject* allocate_lock = nullptr;
  if (allocate_lock == nullptr) {
    allocate_lock = attribute(import_module("_thread").get(), "allocate_lock"_name).release();
  }
  return factory == allocate_lock || factory == reinterpret_cast<PyObject*>(thread_lock_methods().type);
}
}  // namespace detail

// What an object's private lock is made of: an empty Ref while `module`'s threading.Lock is the
// standard factory (nobody else could see the lock it makes, so a NativeLock serves), otherwise
// the lock object the replaced factory returns, which its maker can reach and which is
// therefore used as it is.
inline Ref private_lock_object(PyObject* module) {
  Ref factory = threading_lock_factory(module);
  if (detail::is_standard_lock_factory(factory.get())) return Ref();
  return call(factory.get());
}

// A lock private to one object: a NativeLock, or the lock object a replaced threading.Lock
// made, held like a `with` block holds it (LockHold). Either way, the thread that holds it
// taking it again gets RuntimeError.
class PrivateLock {
 public:
  explicit PrivateLock(Ref object) : object_(object.release()) {}
  PrivateLock(const PrivateLock&) = delete;
  PrivateLock& operator=(const PrivateLock&) = delete;
  ~PrivateLock() { Py_XDECREF(object_); }

  // The Python lock object, or null for a native lock (for tp_traverse).
  PyObject* object() const { return object_; }

  class Hold {
   public:
    Hold(PrivateLock& lock, const char* reentry_message) : lock_(lock) {
      if (lock.object_ == nullptr) {
        lock.native_.acquire(reentry_message);
        return;
      }
      const unsigned long self = PyThread_get_thread_ident();
      if (lock.object_owner_.load(std::memory_order_relaxed) == self) raise(PyExc_RuntimeError, reentry_message);
      object_hold_.emplace(lock.object_);
      lock.object_owner_.store(self, std::memory_order_relaxed);
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold() {
      if (!object_hold_) {
        lock_.native_.release();
        return;
      }
      lock_.object_owner_.store(0, std::memory_order_relaxed);
      object_hold_.reset();
    }

   private:
    PrivateLock& lock_;
    std::optional<LockHold> object_hold_;
  };

 private:
  NativeLock native_;
  PyObject* object_;  // owned; null: native_ is the lock
  std::atomic<unsigned long> object_owner_{0};
};

}  // namespace extkit
