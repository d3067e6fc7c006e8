// `try: ... except Exception as error: ...` in native code.
//
//   Ref count = except_exception([&] { return risky(); },                // try: count = risky()
//                                [&](PyObject* error) { return py_int(1); });  // except Exception: count = 1
//
// As the statement does, it lets a BaseException that is not an Exception (KeyboardInterrupt,
// SystemExit) pass, and while the handler runs the caught exception is the one being handled,
// so an exception raised by the handler gets it as __context__. A std::bad_alloc from native
// code counts as the MemoryError it stands for.
#pragma once

#include <new>

#include "extkit/ref.hpp"

namespace extkit {

// Makes `error` the exception being handled for the life of the scope, as an except block does.
class HandlingException {
 public:
  explicit HandlingException(PyObject* error) : previous_(Ref::steal(PyErr_GetHandledException())) {
    PyErr_SetHandledException(error);
  }
  ~HandlingException() { PyErr_SetHandledException(previous_.get()); }
  HandlingException(const HandlingException&) = delete;
  HandlingException& operator=(const HandlingException&) = delete;

 private:
  Ref previous_;
};

// The result of body(), or, when it raises an Exception, of handler(error) (`error` borrowed
// for the handler's duration).
template <class Body, class Handler>
auto except_exception(Body&& body, Handler&& handler) -> decltype(body()) {
  try {
    return body();
  } catch (const PythonError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
  Ref error = Ref::steal(PyErr_GetRaisedException());
  HandlingException handling(error.get());
  return handler(error.get());
}

}  // namespace extkit
