// Scoped holds on the two kinds of lock the modules use: a Python lock object (threading.Lock,
// held as in a `with` block) and the interpreter lock (released for a native section).
#pragma once

#include <type_traits>

#include "extkit/ref.hpp"

namespace extkit {

namespace detail {

// acquire/release of threading.Lock's own type, looked up once so that the common case costs
// two direct calls; other lock objects go through __enter__/__exit__.
struct ThreadLockMethods {
  PyTypeObject* type = nullptr;
  PyObject* acquire = nullptr;
  PyObject* release = nullptr;
  PyObject* locked = nullptr;
};

inline ThreadLockMethods& thread_lock_methods() {
  static ThreadLockMethods methods;
  if (methods.type == nullptr) {
    Ref thread = checked(PyImport_ImportModule("_thread"));
    Ref type = checked(PyObject_GetAttrString(thread.get(), "LockType"));
    Ref acquire = checked(PyObject_GetAttrString(type.get(), "acquire"));
    Ref release = checked(PyObject_GetAttrString(type.get(), "release"));
    Ref locked = checked(PyObject_GetAttrString(type.get(), "locked"));
    methods.acquire = acquire.release();
    methods.release = release.release();
    methods.locked = locked.release();
    methods.type = reinterpret_cast<PyTypeObject*>(type.release());
  }
  return methods;
}

inline Name enter_name{"__enter__"};
inline Name exit_name{"__exit__"};

}  // namespace detail

// Holds `lock` for the enclosing scope, like `with lock:`. Releasing happens in the destructor,
// also while an exception is propagating; that exception is kept, and an error raised by the
// release itself is reported as unraisable.
class LockHold {
 public:
  // The hold keeps its own reference: acquiring may wait with the interpreter lock released,
  // and the field that held the lock may be replaced meanwhile.
  explicit LockHold(PyObject* lock) : lock_(Py_NewRef(lock)) {
    Ref owned = Ref::steal(lock_);  // given up below once the lock is held
    detail::ThreadLockMethods& methods = detail::thread_lock_methods();
    fast_ = Py_IS_TYPE(lock, methods.type);
    if (!fast_) exit_ = detail::exit_name.get();  // created now so that the destructor cannot fail on it
    Ref result = fast_ ? checked(PyObject_Vectorcall(methods.acquire, &lock_, 1, nullptr))
                       : checked(PyObject_CallMethodNoArgs(lock, detail::enter_name.get()));
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
      PyObject* exit_args[] = {lock_, Py_None, Py_None, Py_None};
      result = PyObject_VectorcallMethod(exit_, exit_args, 4, nullptr);
    }
    if (result == nullptr) PyErr_WriteUnraisable(lock_);
    Py_XDECREF(result);
    Py_DECREF(lock_);
    PyErr_SetRaisedException(pending);
  }

 private:
  PyObject* lock_;
  PyObject* exit_ = nullptr;
  bool fast_ = false;
};

// True when `lock` is a threading.Lock that no thread holds. A critical section that runs no
// Python code and keeps the interpreter lock throughout may then skip taking it: no other thread
// can run, let alone see the lock, before the section ends. Any other lock object: false.
inline bool thread_lock_is_free(PyObject* lock) {
  detail::ThreadLockMethods& methods = detail::thread_lock_methods();
  if (!Py_IS_TYPE(lock, methods.type)) return false;
  Ref held = checked(PyObject_Vectorcall(methods.locked, &lock, 1, nullptr));
  return held.get() == Py_False;
}

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

}  // namespace extkit
