// A str as str.lower() gives it, for keyword searches that fold the ASCII letters themselves.
//
//   LowerCasedText lowered(code);    // a str; None raises the TypeError of str.lower(None)
//   lowered.visit([&](auto* units, std::size_t length) { ... });   // 1-, 2- or 4-byte code units
//
// An all-ASCII str (the usual case) is read where it stands, since str.lower changes only A-Z
// there; any other str is lowered by str.lower itself (one new str), so special casings such as
// 'İ' -> 'i̇' and the Kelvin sign -> 'k' come out exactly as in Python, and no A-Z is left in it.
#pragma once

#include <cstddef>

#include "extkit/call.hpp"
#include "extkit/ref.hpp"

namespace extkit {

class LowerCasedText {
 public:
  explicit LowerCasedText(PyObject* text) : text_(text) {
    if (text == Py_None) {
      raise(PyExc_TypeError, "descriptor 'lower' for 'str' objects doesn't apply to a 'NoneType' object");
    }
    if (!PyUnicode_IS_ASCII(text)) {
      lowered_ = call_method(text, "lower"_name);
      text_ = lowered_.get();
    }
  }
  LowerCasedText(const LowerCasedText&) = delete;
  LowerCasedText& operator=(const LowerCasedText&) = delete;

  // visit(units, length) over the code units, whatever their width.
  template <class Visit>
  void visit(Visit&& visit) const {
    const std::size_t length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text_));
    switch (PyUnicode_KIND(text_)) {
      case PyUnicode_1BYTE_KIND:
        visit(PyUnicode_1BYTE_DATA(text_), length);
        break;
      case PyUnicode_2BYTE_KIND:
        visit(PyUnicode_2BYTE_DATA(text_), length);
        break;
      default:
        visit(PyUnicode_4BYTE_DATA(text_), length);
        break;
    }
  }

 private:
  PyObject* text_;  // borrowed from the caller, or lowered_
  Ref lowered_;
};

}  // namespace extkit
