// Typed parameter lists. One declaration per callable names each parameter, its converter, its
// default (a native value, written once) and its annotation; binding checks the counts and
// keywords and returns the converted values, and the callable's __text_signature__ and
// __annotations__ are derived from the same declaration.
//
//   const Params counter_init{"__cinit__", param<Int64>("initial_value", 0)};
//   auto [initial] = counter_init.bind(args, kwargs);           // tp_new: tuple + dict
//
//   double score(PyObject* module, double value, bool flag) { ... }
//   add_function(module, def<score>("score", param<Double>("value").annotated("float"),
//                                   param<Truth>("flag", false)).returns("float").doc("..."));
//
// Converters are types with
//   using type = ...;                                   what the body receives
//   static type convert(PyObject* value, const char* parameter);
//   using default_type = ...;                           how a default is written
//   static type from_default(const default_type&);
//   static Ref python(const default_type&);             the default as shown in the signature
//   static constexpr const char* annotation;            nullptr: not annotated
// Values of PyObject* converters are borrowed from the caller for the duration of the call.
//
// Arguments are converted left to right, after every count and keyword check. Messages, shared
// by every module:
//   "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"  (exactly / at least / at most)
//   "%s() got an unexpected keyword argument '%U'"
//   "%s() got multiple values for keyword argument '%U'"
//   "%.200s() keywords must be strings"
// A missing required argument is reported before any keyword error, in the arity form, with
// the position of the first missing parameter as the count given. Binding allocates nothing: a
// complete positional call uses the caller's array, any other call a stack buffer sized by the
// declaration. Parameter names are interned when a callable is made (or at the first keyword
// call of a namespace-scope list) and keywords are matched by pointer before they are compared
// as strings.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "extkit/convert.hpp"
#include "extkit/ref.hpp"

namespace extkit {

[[noreturn]] inline void raise_arity(const char* name, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
  const bool exact = min == max;
  const Py_ssize_t expected = given < min ? min : max;
  const char* how = exact ? "exactly" : (given < min ? "at least" : "at most");
  raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, how,
               expected, expected == 1 ? "" : "s", given);
}

// The default of PyObject* parameters that default to None.
struct NoneDefault {};
inline constexpr NoneDefault none_default{};

// ---------------------------------------------------------------------------------------------
// Converters

namespace detail {

template <class T, auto Convert, auto ToPython>
struct NativeConverter {
  using type = T;
  using default_type = T;
  static constexpr const char* annotation = nullptr;
  static T convert(PyObject* value, const char*) { return Convert(value); }
  static T from_default(T value) { return value; }
  static Ref python(T value) { return ToPython(value); }
};

inline Ref py_signed(long long value) { return py_int(value); }
inline Ref py_unsigned(unsigned long long value) { return py_uint(value); }

// An exact instance of `Type`, or None: the argument itself, borrowed.
template <PyTypeObject* Type, const char* Annotation>
struct ExactOrNone {
  using type = PyObject*;
  using default_type = NoneDefault;
  static constexpr const char* annotation = Annotation;
  static PyObject* convert(PyObject* value, const char* parameter) {
    if (value != Py_None && !Py_IS_TYPE(value, Type)) raise_argument_type(parameter, Annotation, value);
    return value;
  }
  static PyObject* from_default(NoneDefault) { return Py_None; }
  static Ref python(NoneDefault) { return none(); }
};

inline constexpr char str_name[] = "str";
inline constexpr char list_name[] = "list";
inline constexpr char tuple_name[] = "tuple";
inline constexpr char dict_name[] = "dict";
inline constexpr char bytes_name[] = "bytes";
inline constexpr char int_name[] = "int";
inline constexpr char float_name[] = "float";
inline constexpr char bool_name[] = "bool";

// `Converter` with a parameter annotation (the conversion itself is unchanged).
template <class Converter, const char* Annotation>
struct Annotated : Converter {
  static constexpr const char* annotation = Annotation;
};

}  // namespace detail

// Native integers by the native integer rule (int, or __int__).
// A signed 32-bit (C int) argument: "value too large to convert to int".
struct Int32 : detail::NativeConverter<int, to_int, detail::py_signed> {};
struct UInt32 : detail::NativeConverter<uint32_t, to_uint32, detail::py_unsigned> {};
struct Int64 : detail::NativeConverter<int64_t, to_int64, detail::py_signed> {};
// Negative values: "can't convert negative value to uint64_t".
struct UInt64 : detail::NativeConverter<uint64_t, to_uint64, detail::py_unsigned> {};

// Whatever the interpreter's float conversion accepts.
struct Double : detail::NativeConverter<double, to_double, py_float> {};
// The truth value of any object.
struct Truth : detail::NativeConverter<bool, to_bool, py_bool> {};

// The same conversions for parameters annotated `float`, `bool` and `int` (Int<Int32>,
// Int<UInt64>, ...): the annotation shows in the signature only, the native rules still convert
// (a float parameter takes an int, an Int<> one a float's __int__). Contrast AnnotatedInt below,
// which applies the annotated-type rule.
using Float = detail::Annotated<Double, detail::float_name>;
using Bool = detail::Annotated<Truth, detail::bool_name>;
template <class NativeInt>
using Int = detail::Annotated<NativeInt, detail::int_name>;

// A parameter annotated `int`: an exact int as it is, another number through int(), anything
// else the annotated-type TypeError. The body receives the int object.
struct AnnotatedInt {
  using type = Ref;
  using default_type = long long;
  static constexpr const char* annotation = "int";
  static Ref convert(PyObject* value, const char* parameter) { return annotated_int(value, parameter); }
  static Ref from_default(long long value) { return py_int(value); }
  static Ref python(long long value) { return py_int(value); }
};

// Exactly that builtin type, or None (the annotated-type rule for str and the containers).
struct Str : detail::ExactOrNone<&PyUnicode_Type, detail::str_name> {};
struct ListOrNone : detail::ExactOrNone<&PyList_Type, detail::list_name> {};
struct TupleOrNone : detail::ExactOrNone<&PyTuple_Type, detail::tuple_name> {};
struct BytesOrNone : detail::ExactOrNone<&PyBytes_Type, detail::bytes_name> {};

// Any object, borrowed.
struct Object {
  using type = PyObject*;
  using default_type = NoneDefault;
  static constexpr const char* annotation = nullptr;
  static PyObject* convert(PyObject* value, const char*) { return value; }
  static PyObject* from_default(NoneDefault) { return Py_None; }
  static Ref python(NoneDefault) { return none(); }
};

// A native value together with the argument it was converted from (borrowed; null for a
// default), so that a body can keep an exact int it is given instead of making an equal one.
template <class Native>
struct WithArgument {
  struct type {
    typename Native::type value;
    PyObject* argument;
  };
  using default_type = typename Native::default_type;
  static constexpr const char* annotation = Native::annotation;
  static type convert(PyObject* value, const char* parameter) { return {Native::convert(value, parameter), value}; }
  static type from_default(default_type value) { return {Native::from_default(value), nullptr}; }
  static Ref python(default_type value) { return Native::python(value); }
};

// ---------------------------------------------------------------------------------------------
// Annotated ints narrowed to a native type

// A parameter annotated `int` whose body wants a native value: the annotated-int rule first (its
// TypeError for anything that is not a number), then `Native`'s range rule on the int.
template <class Native>
struct AnnotatedIntAs {
  using type = typename Native::type;
  using default_type = typename Native::default_type;
  static constexpr const char* annotation = "int";
  static type convert(PyObject* value, const char* parameter) {
    Ref integer = annotated_int(value, parameter);
    return Native::convert(integer.get(), parameter);
  }
  static type from_default(default_type value) { return Native::from_default(value); }
  static Ref python(default_type value) { return Native::python(value); }
};
using AnnotatedInt64 = AnnotatedIntAs<Int64>;

// ---------------------------------------------------------------------------------------------
// Parameters

template <class Converter>
struct TypedParam {
  using converter = Converter;
  const char* name;
  const char* annotation = Converter::annotation;
  std::optional<typename Converter::default_type> fallback;

  // The text stored in __annotations__ for this parameter (nullptr: none).
  constexpr TypedParam annotated(const char* text) const {
    TypedParam copy = *this;
    copy.annotation = text;
    return copy;
  }
};

// A required parameter.
template <class Converter>
constexpr TypedParam<Converter> param(const char* name) {
  return {name, Converter::annotation, std::nullopt};
}

// A parameter with a default, written as a native value.
template <class Converter, class Default>
constexpr TypedParam<Converter> param(const char* name, Default fallback) {
  return {name, Converter::annotation, typename Converter::default_type(fallback)};
}

// The untyped view of a parameter list, shared by binding, signatures and annotations.
struct ParamInfo {
  const char* name;
  const char* annotation;
  bool has_default;
  PyObject* interned;  // the name as an interned str (immortal), created on first need
};

class ParamList {
 public:
  ParamList(const ParamList&) = delete;
  ParamList& operator=(const ParamList&) = delete;
  virtual ~ParamList() = default;

  const char* name() const { return name_; }
  int count() const { return count_; }
  int required() const { return required_; }
  const ParamInfo& info(int index) const { return info_[index]; }

  // The default of parameter `index` as a Python object (for the text signature).
  virtual Ref default_object(int index) const = 0;

  // Interns the parameter names (the first keyword call does it otherwise).
  void intern() const {
    for (int i = 0; i < count_; ++i) {
      if (info_[i].interned == nullptr) {
        info_[i].interned = PyUnicode_InternFromString(info_[i].name);
        if (info_[i].interned == nullptr) throw PythonError{};
      }
    }
  }

  // Index of the parameter named `key` (a str), or -1: by identity first, then by value.
  int index_of(PyObject* key) const {
    intern();
    for (int i = 0; i < count_; ++i) {
      if (info_[i].interned == key) return i;
    }
    for (int i = 0; i < count_; ++i) {
      if (PyUnicode_Compare(key, info_[i].interned) == 0) return i;
    }
    return -1;
  }

  [[noreturn]] void raise_arity(Py_ssize_t given) const { extkit::raise_arity(name_, required_, count_, given); }

  // One argument per parameter, borrowed, nullptr where the caller left it out: `args` itself
  // for a complete positional call, else `buffer` (count() entries) filled in.
  PyObject* const* bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** buffer) const {
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
      if (nargs == count_) return args;
      if (nargs < required_ || nargs > count_) raise_arity(nargs);
      for (int i = 0; i < count_; ++i) buffer[i] = i < nargs ? args[i] : nullptr;
      return buffer;
    }
    return bind_keywords(args, nargs, buffer, [&](auto&& visit) {
      const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
      for (Py_ssize_t i = 0; i < n; ++i) visit(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
    });
  }

  // tp_new / tp_init form: a tuple and an optional dict.
  PyObject* const* bind(PyObject* args, PyObject* kwargs, PyObject** buffer) const {
    PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) return bind(positional, nargs, nullptr, buffer);
    return bind_keywords(positional, nargs, buffer, [&](auto&& visit) {
      Py_ssize_t position = 0;
      PyObject* key;
      PyObject* value;
      while (PyDict_Next(kwargs, &position, &key, &value)) visit(key, value);
    });
  }

  // How a callable's signature shows `self`.
  enum class Self { none, positional_only, ordinary };

  // "(a, b=1)"; "($self, /, a, b=1)" for a method of a native class, "(self, a, b=1)" for one of
  // a plain class.
  Ref text_signature(Self self) const {
    Ref text = py_str(self == Self::none ? "(" : self == Self::positional_only ? "($self, /" : "(self");
    for (int i = 0; i < count_; ++i) {
      const char* separator = (i == 0 && self == Self::none) ? "" : ", ";
      Ref piece;
      if (info_[i].has_default) {
        Ref shown = checked(PyObject_Repr(default_object(i).get()));
        piece = checked(PyUnicode_FromFormat("%s%s=%U", separator, info_[i].name, shown.get()));
      } else {
        piece = checked(PyUnicode_FromFormat("%s%s", separator, info_[i].name));
      }
      text = checked(PyUnicode_Concat(text.get(), piece.get()));
    }
    Ref close = py_str(")");
    return checked(PyUnicode_Concat(text.get(), close.get()));
  }

 protected:
  // `info` is filled in by the derived class, which then calls count_required().
  ParamList(const char* name, ParamInfo* info, int count) : name_(name), info_(info), count_(count) {}
  void count_required() {
    while (required_ < count_ && !info_[required_].has_default) ++required_;
  }

 private:
  // Binds keywords delivered by `for_each_keyword(visit)`, which calls visit(key, value) for
  // each. A missing required argument is reported before the first keyword problem.
  template <class ForEachKeyword>
  PyObject* const* bind_keywords(PyObject* const* args, Py_ssize_t nargs, PyObject** buffer,
                                 ForEachKeyword for_each_keyword) const {
    if (nargs > count_) raise_arity(nargs);
    for (int i = 0; i < count_; ++i) buffer[i] = i < nargs ? args[i] : nullptr;

    enum class Problem { none, not_string, unexpected, duplicate } problem = Problem::none;
    PyObject* problem_key = nullptr;
    for_each_keyword([&](PyObject* key, PyObject* value) {
      if (problem != Problem::none) return;
      if (!PyUnicode_Check(key)) {
        problem = Problem::not_string;
        return;
      }
      const int index = index_of(key);
      if (index < 0 || index < nargs) {
        problem = index < 0 ? Problem::unexpected : Problem::duplicate;
        problem_key = key;
        return;
      }
      buffer[index] = value;
    });

    for (int i = static_cast<int>(nargs); i < required_; ++i) {
      if (buffer[i] == nullptr) raise_arity(i);
    }
    switch (problem) {
      case Problem::none:
        break;
      case Problem::not_string:
        raise_format(PyExc_TypeError, "%.200s() keywords must be strings", name_);
      case Problem::unexpected:
        raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name_, problem_key);
      case Problem::duplicate:
        raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name_, problem_key);
    }
    return buffer;
  }

  const char* name_;
  ParamInfo* info_;
  int count_;
  int required_ = 0;
};

// A typed parameter list: bind() returns a std::tuple of the converted arguments.
template <class... Converters>
class Params final : public ParamList {
 public:
  static constexpr int kCount = static_cast<int>(sizeof...(Converters));
  using Values = std::tuple<typename Converters::type...>;

  explicit Params(const char* name, TypedParam<Converters>... params)
      : ParamList(name, info_storage_.data(), kCount),
        params_(params...),
        info_storage_{ParamInfo{params.name, params.annotation, params.fallback.has_value(), nullptr}...} {
    count_required();
  }

  Values bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
    PyObject* buffer[kCount > 0 ? kCount : 1];
    return convert_all(ParamList::bind(args, nargs, kwnames, buffer), std::index_sequence_for<Converters...>{});
  }

  Values bind(PyObject* args, PyObject* kwargs) const {
    PyObject* buffer[kCount > 0 ? kCount : 1];
    return convert_all(ParamList::bind(args, kwargs, buffer), std::index_sequence_for<Converters...>{});
  }

  // A complete positional call (one argument per parameter, none missing), converted in order.
  Values convert_positional(PyObject* const* args) const {
    return convert_all(args, std::index_sequence_for<Converters...>{});
  }

  Ref default_object(int index) const override { return default_at(index, std::index_sequence_for<Converters...>{}); }

 private:
  template <std::size_t I>
  auto convert_one(PyObject* argument) const {
    using Converter = std::tuple_element_t<I, std::tuple<Converters...>>;
    const auto& declared = std::get<I>(params_);
    if (argument == nullptr) return Converter::from_default(*declared.fallback);
    return Converter::convert(argument, declared.name);
  }

  template <std::size_t... I>
  Values convert_all(PyObject* const* slots, std::index_sequence<I...>) const {
    return Values{convert_one<I>(slots[I])...};  // a braced list: converted left to right
  }

  template <std::size_t... I>
  Ref default_at(int index, std::index_sequence<I...>) const {
    Ref result;
    ((static_cast<int>(I) == index ? (void)(result = std::tuple_element_t<I, std::tuple<Converters...>>::python(
                                                *std::get<I>(params_).fallback))
                                   : (void)0),
     ...);
    return result;
  }

  std::tuple<TypedParam<Converters>...> params_;
  std::array<ParamInfo, sizeof...(Converters)> info_storage_;
};

template <class... Converters>
Params(const char*, TypedParam<Converters>...) -> Params<Converters...>;

}  // namespace extkit
