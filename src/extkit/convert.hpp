// Conversions between Python values and native ones, with the messages every module shares.
//
// Native integer rule: an int (subclasses and bool included) converts directly; any other
// object goes through its type's __int__ slot (so a float truncates, Fraction and Decimal are
// accepted) whose result must be an int. CPython's own PyLong_As* functions only honour
// __index__, so the rule is implemented here. Range errors:
//   - 64-bit targets keep the interpreter's OverflowError for out-of-range values;
//   - narrower targets say "value too large to convert to <C type>";
//   - unsigned targets reject negatives with "can't convert negative value to <C type>".
#pragma once

#include <cstdint>
#include <limits>
#include <type_traits>

#include "extkit/ref.hpp"

namespace extkit {

inline const char* type_name(PyObject* object) { return _PyType_Name(Py_TYPE(object)); }

// ---------------------------------------------------------------------------------------------
// Native integer rule

// The int that `object` stands for: itself when it is an int, else the result of __int__.
inline Ref integer_of(PyObject* object) {
  if (PyLong_Check(object)) return Ref::borrow(object);
  PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
  if (number == nullptr || number->nb_int == nullptr) {
    raise(PyExc_TypeError, "an integer is required");
  }
  Ref result = checked(number->nb_int(object));
  if (!PyLong_CheckExact(result.get())) {
    if (!PyLong_Check(result.get())) {
      raise_format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                   Py_TYPE(result.get())->tp_name);
    }
    check(PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                           "__int__ returned non-int (type %.200s).  The ability to return an "
                           "instance of a strict subclass of int is deprecated, and may be "
                           "removed in a future version of Python.",
                           Py_TYPE(result.get())->tp_name));
  }
  return result;
}

namespace detail {

inline bool is_compact(PyObject* integer) {
  return PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(integer));
}
inline Py_ssize_t compact_value(PyObject* integer) {
  return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(integer));
}

// `integer` is an int. Signed targets narrower than 64 bits.
template <class T>
T narrow_signed(PyObject* integer, const char* c_type) {
  long long value;
  if (is_compact(integer)) {
    value = compact_value(integer);
  } else {
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow != 0) raise_format(PyExc_OverflowError, "value too large to convert to %s", c_type);
  }
  if (value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max()) {
    raise_format(PyExc_OverflowError, "value too large to convert to %s", c_type);
  }
  return static_cast<T>(value);
}

// `integer` is an int. Unsigned targets; 64-bit ones keep the interpreter's overflow message.
template <class T>
T narrow_unsigned(PyObject* integer, const char* c_type) {
  if (is_compact(integer)) {
    const Py_ssize_t value = compact_value(integer);
    if (value < 0) raise_format(PyExc_OverflowError, "can't convert negative value to %s", c_type);
    if (static_cast<unsigned long long>(value) > std::numeric_limits<T>::max()) {
      raise_format(PyExc_OverflowError, "value too large to convert to %s", c_type);
    }
    return static_cast<T>(value);
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
  if (value == -1 && PyErr_Occurred()) throw PythonError{};
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    raise_format(PyExc_OverflowError, "can't convert negative value to %s", c_type);
  }
  if (overflow == 0 && static_cast<unsigned long long>(value) <= std::numeric_limits<T>::max()) {
    return static_cast<T>(value);
  }
  if constexpr (sizeof(T) == sizeof(unsigned long)) {
    // The interpreter's own message for the C type of that width.
    const unsigned long wide = PyLong_AsUnsignedLong(integer);
    if (wide == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PythonError{};
    return static_cast<T>(wide);
  } else if constexpr (sizeof(T) == sizeof(unsigned long long)) {
    const unsigned long long wide = PyLong_AsUnsignedLongLong(integer);
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return static_cast<T>(wide);
  } else {
    raise_format(PyExc_OverflowError, "value too large to convert to %s", c_type);
  }
}

// The interpreter's own OverflowError, for the C type of 64 bits.
inline int64_t int64_of_int(PyObject* integer) {
  if (is_compact(integer)) return compact_value(integer);
  long long value;
  if constexpr (sizeof(long) == sizeof(int64_t)) {
    value = PyLong_AsLong(integer);
  } else {
    value = PyLong_AsLongLong(integer);
  }
  if (value == -1 && PyErr_Occurred()) throw PythonError{};
  return value;
}

// Applies `from_int` to the int that `object` stands for.
template <class Convert>
auto via_integer(PyObject* object, Convert from_int) {
  if (PyLong_Check(object)) return from_int(object);
  Ref integer = integer_of(object);
  return from_int(integer.get());
}

}  // namespace detail

inline int64_t to_int64(PyObject* object) {
  return detail::via_integer(object, detail::int64_of_int);
}
inline uint64_t to_uint64(PyObject* object) {
  return detail::via_integer(object, [](PyObject* n) { return detail::narrow_unsigned<uint64_t>(n, "uint64_t"); });
}
// A C `int` field or argument.
inline int to_int(PyObject* object) {
  return detail::via_integer(object, [](PyObject* n) { return detail::narrow_signed<int>(n, "int"); });
}
inline int32_t to_int32(PyObject* object) {
  return detail::via_integer(object, [](PyObject* n) { return detail::narrow_signed<int32_t>(n, "int32_t"); });
}
inline uint32_t to_uint32(PyObject* object) {
  return detail::via_integer(object, [](PyObject* n) { return detail::narrow_unsigned<uint32_t>(n, "uint32_t"); });
}

// ---------------------------------------------------------------------------------------------
// Floats and truth values

// Whatever the interpreter's float conversion accepts (__float__, then __index__).
inline double to_double(PyObject* object) {
  if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
  // An exact int converts as int.__float__ would, without the temporary float object.
  const double value = PyLong_CheckExact(object) ? PyLong_AsDouble(object) : PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
  return value;
}

inline bool to_bool(PyObject* object) { return check(PyObject_IsTrue(object)) != 0; }

// ---------------------------------------------------------------------------------------------
// Annotated-type rule

[[noreturn]] inline void raise_argument_type(const char* parameter, const char* expected, PyObject* given) {
  raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               parameter, expected, type_name(given));
}

// A parameter annotated `int`: an exact int as it is, any other number through int().
inline Ref annotated_int(PyObject* object, const char* parameter) {
  if (PyLong_CheckExact(object)) return Ref::borrow(object);
  if (!PyNumber_Check(object)) raise_argument_type(parameter, "int", object);
  return checked(PyNumber_Long(object));
}

// len(None), as the interpreter reports it: for container arguments that may be None but whose
// length is taken.
[[noreturn]] inline void raise_none_has_no_len() {
  raise(PyExc_TypeError, "object of type 'NoneType' has no len()");
}

// ---------------------------------------------------------------------------------------------
// Results of Python calls made by native code

// The TypeError for a value of the wrong type where `expected` was declared.
[[noreturn]] inline void raise_expected(const char* expected, PyObject* given) {
  raise_format(PyExc_TypeError, "Expected %s, got %.200s", expected, type_name(given));
}

// A result declared `int`: None and an exact int pass, another number goes through int().
inline Ref coerce_int_result(Ref result) {
  PyObject* value = result.get();
  if (value == Py_None || PyLong_CheckExact(value)) return result;
  if (!PyNumber_Check(value)) raise_expected("int", value);
  return checked(PyNumber_Long(value));
}

// A result declared as a builtin type (dict, list, ...): that exact type or None.
inline Ref check_result_type(Ref result, PyTypeObject* type) {
  PyObject* value = result.get();
  if (value != Py_None && !Py_IS_TYPE(value, type)) raise_expected(type->tp_name, value);
  return result;
}

// ---------------------------------------------------------------------------------------------
// Native values to Python

inline Ref py_int(long long value) { return checked(PyLong_FromLongLong(value)); }
inline Ref py_uint(unsigned long long value) { return checked(PyLong_FromUnsignedLongLong(value)); }
inline Ref py_float(double value) { return checked(PyFloat_FromDouble(value)); }
inline Ref py_bool(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref py_str(const char* utf8) { return checked(PyUnicode_FromString(utf8)); }

// f"{value:.{decimals}f}" (the interpreter's own repr-exact formatting), followed by `suffix`.
inline Ref py_fixed(double value, int decimals, const char* suffix = "") {
  char* digits = PyOS_double_to_string(value, 'f', decimals, 0, nullptr);
  if (digits == nullptr) throw PythonError{};
  PyObject* text = PyUnicode_FromFormat("%s%s", digits, suffix);
  PyMem_Free(digits);
  return checked(text);
}

// Overloads by native type, for properties, results and constants.
inline Ref to_python(int value) { return py_int(value); }
inline Ref to_python(long value) { return py_int(value); }
inline Ref to_python(unsigned int value) { return py_uint(value); }
inline Ref to_python(unsigned long value) { return py_uint(value); }
inline Ref to_python(long long value) { return py_int(value); }
inline Ref to_python(unsigned long long value) { return py_uint(value); }
inline Ref to_python(double value) { return py_float(value); }
inline Ref to_python(bool value) { return py_bool(value); }

// ---------------------------------------------------------------------------------------------
// Two's-complement arithmetic where the system wraps (no signed overflow)

inline int64_t wrapping_add(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
inline int64_t wrapping_sub(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

}  // namespace extkit
