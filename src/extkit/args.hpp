// Argument binding for METH_FASTCALL | METH_KEYWORDS style calls (and for tp_new's tuple and
// dict). A Signature names the parameters of one callable; binding checks the counts and
// keywords and produces Args, a view of one argument per parameter (nullptr where the caller
// left it out, so the callee applies its default). Positional-only calls bind without copying.
//
// Messages, shared by every module:
//   "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"  (exactly / at least / at most)
//   "%s() got an unexpected keyword argument '%U'"
//   "%s() got multiple values for keyword argument '%U'"
//   "%.200s() keywords must be strings"
// A missing required argument is reported before any keyword error, in the arity form, with
// the position of the first missing parameter as the count given.
#pragma once

#include <array>
#include <initializer_list>

#include "extkit/convert.hpp"
#include "extkit/ref.hpp"

namespace extkit {

struct Param {
  const char* name;
  const char* default_text = nullptr;  // shown in __text_signature__; nullptr: required
  const char* annotation = nullptr;    // stored in __annotations__, e.g. "int"
};

class Signature {
 public:
  static constexpr int kMaxParams = 8;

  Signature() = default;
  Signature(const char* name, std::initializer_list<Param> params, const char* returns = nullptr)
      : name_(name), returns_(returns) {
    for (const Param& param : params) {
      if (count_ == kMaxParams) break;  // callables here take far fewer
      params_[count_++] = param;
    }
    while (required_ < count_ && params_[required_].default_text == nullptr) ++required_;
  }

  const char* name() const { return name_; }
  int count() const { return count_; }
  int required() const { return required_; }
  const Param& param(int index) const { return params_[index]; }
  const char* returns() const { return returns_; }

  // Index of the parameter called `key` (a str), or -1.
  int index_of(PyObject* key) const {
    for (int i = 0; i < count_; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, params_[i].name) == 0) return i;
    }
    return -1;
  }

 private:
  const char* name_ = "";
  const char* returns_ = nullptr;
  std::array<Param, kMaxParams> params_{};
  int count_ = 0;
  int required_ = 0;
};

// The bound arguments of one call: borrowed references, nullptr for an omitted parameter.
class Args {
 public:
  Args(PyObject* const* values, Py_ssize_t count) : values_(values), count_(count) {}
  PyObject* operator[](int index) const { return index < count_ ? values_[index] : nullptr; }
  bool has(int index) const { return (*this)[index] != nullptr; }
  // The argument, or `fallback` (borrowed) when it was omitted.
  PyObject* get_or(int index, PyObject* fallback) const {
    PyObject* value = (*this)[index];
    return value != nullptr ? value : fallback;
  }

 private:
  PyObject* const* values_;
  Py_ssize_t count_;
};

// The argument at `index` of a parameter annotated `int` (see annotated_int), or the int
// `fallback` when the caller left it out.
inline Ref int_argument(const Args& args, int index, const char* parameter, long fallback) {
  return args.has(index) ? annotated_int(args[index], parameter) : py_int(fallback);
}

using ArgBuffer = std::array<PyObject*, Signature::kMaxParams>;

[[noreturn]] inline void raise_arity(const char* name, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
  const bool exact = min == max;
  const Py_ssize_t expected = given < min ? min : max;
  const char* how = exact ? "exactly" : (given < min ? "at least" : "at most");
  raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, how,
               expected, expected == 1 ? "" : "s", given);
}
[[noreturn]] inline void raise_arity(const Signature& sig, Py_ssize_t given) {
  raise_arity(sig.name(), sig.required(), sig.count(), given);
}

namespace detail {

// Binds keywords delivered by `for_each_keyword(visit)`, which calls visit(key, value) for each.
template <class ForEachKeyword>
Args bind_with_keywords(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                        ForEachKeyword for_each_keyword, ArgBuffer& buffer) {
  if (nargs > sig.count()) raise_arity(sig, nargs);
  for (int i = 0; i < sig.count(); ++i) buffer[i] = i < nargs ? args[i] : nullptr;

  // The first keyword error is raised only after the required arguments are checked.
  enum class Problem { none, not_string, unexpected, duplicate } problem = Problem::none;
  PyObject* problem_key = nullptr;
  for_each_keyword([&](PyObject* key, PyObject* value) {
    if (problem != Problem::none) return;
    if (!PyUnicode_Check(key)) {
      problem = Problem::not_string;
      return;
    }
    const int index = sig.index_of(key);
    if (index < 0 || index < nargs) {
      problem = index < 0 ? Problem::unexpected : Problem::duplicate;
      problem_key = key;
      return;
    }
    buffer[index] = value;
  });

  for (int i = static_cast<int>(nargs); i < sig.required(); ++i) {
    if (buffer[i] == nullptr) raise_arity(sig, i);
  }
  switch (problem) {
    case Problem::none:
      break;
    case Problem::not_string:
      raise_format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name());
    case Problem::unexpected:
      raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name(), problem_key);
    case Problem::duplicate:
      raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name(),
                   problem_key);
  }
  return Args(buffer.data(), sig.count());
}

}  // namespace detail

// Vectorcall form: keyword values follow the positional ones in `args`.
inline Args bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 ArgBuffer& buffer) {
  if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
    if (nargs < sig.required() || nargs > sig.count()) raise_arity(sig, nargs);
    return Args(args, nargs);
  }
  auto for_each = [&](auto&& visit) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) visit(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
  };
  return detail::bind_with_keywords(sig, args, nargs, for_each, buffer);
}

// tp_new / tp_init form: a tuple and an optional dict.
inline Args bind(const Signature& sig, PyObject* args, PyObject* kwargs, ArgBuffer& buffer) {
  PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
    if (nargs < sig.required() || nargs > sig.count()) raise_arity(sig, nargs);
    return Args(positional, nargs);
  }
  auto for_each = [&](auto&& visit) {
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &key, &value)) visit(key, value);
  };
  return detail::bind_with_keywords(sig, positional, nargs, for_each, buffer);
}

}  // namespace extkit
