// Where the keywords behind the text scores occur, for explaining a classification.
//
// keyword_matches(code, function_name) reports, table by table, the entries that
// score_indicators and score_framework_patterns count for these arguments (the same automata
// over the same lower-cased text) and the offset of each one's first occurrence in
// code.lower(), so that a caller can show the identifier a keyword was found in. An entry that
// counts only through the function name (GPU-operation and embarrassingly-parallel tables) has
// the offset -1.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <string_view>

#include "extkit/extkit.hpp"
#include "klavrix/plugins/analyzer/jobscore/rules.hpp"

namespace klavrix::jobscore {

// Table names, in the order of kIndicatorRanges and kFrameworkRanges.
inline constexpr std::array<const char*, kIndicatorRanges.size()> kIndicatorTableNames = {
    "cpu", "memory", "parallel", "gpu_operation", "large_data", "embarrassing", "sequential"};
inline constexpr std::array<const char*, kFrameworkRanges.size()> kFrameworkTableNames = {"numpy", "pandas",
                                                                                          "sklearn"};

namespace explain_detail {

inline extkit::Name lower_name{"lower"};

// The code units of text.lower() as one UCS-4 copy. An all-ASCII text is copied as it stands:
// the automata and first_occurrence read A-Z as a-z, which is all str.lower changes there.
class LoweredUnits {
 public:
  explicit LoweredUnits(PyObject* text) {
    extkit::Ref lowered =
        PyUnicode_IS_ASCII(text) ? extkit::Ref::borrow(text) : extkit::call_method(text, lower_name);
    units_.reset(PyUnicode_AsUCS4Copy(lowered.get()));
    if (!units_) throw extkit::PythonError{};
    length_ = static_cast<std::size_t>(PyUnicode_GET_LENGTH(lowered.get()));
  }
  const Py_UCS4* data() const { return units_.get(); }
  std::size_t size() const { return length_; }

 private:
  std::unique_ptr<Py_UCS4, decltype(&PyMem_Free)> units_{nullptr, PyMem_Free};
  std::size_t length_ = 0;
};

// Offset of the first occurrence of a lower-case ASCII pattern, A-Z read as a-z; -1 if none.
inline Py_ssize_t first_occurrence(const LoweredUnits& text, std::string_view pattern) {
  const Py_UCS4* begin = text.data();
  const Py_UCS4* end = begin + text.size();
  const Py_UCS4* at = std::search(begin, end, pattern.begin(), pattern.end(), [](Py_UCS4 unit, char c) {
    const Py_UCS4 folded = unit >= 'A' && unit <= 'Z' ? unit + ('a' - 'A') : unit;
    return folded == static_cast<unsigned char>(c);
  });
  return at == end ? -1 : at - begin;
}

// result[name] = [(entry, offset), ...] for the counted entries of one table, in table order.
template <class Set, std::size_t N>
void add_table(PyObject* result, const char* name, const TableRange& range,
               const std::array<std::string_view, N>& entries, const Set& in_source, const Set& in_name_only,
               const LoweredUnits& text) {
  extkit::Ref list = extkit::checked(PyList_New(0));
  for (std::size_t i = range.begin; i < range.end; ++i) {
    Py_ssize_t offset = -1;
    if (in_source.contains(i)) {
      offset = first_occurrence(text, entries[i]);
    } else if (!in_name_only.contains(i)) {
      continue;
    }
    extkit::Ref keyword = extkit::checked(
        PyUnicode_FromStringAndSize(entries[i].data(), static_cast<Py_ssize_t>(entries[i].size())));
    extkit::Ref item = extkit::py_tuple(std::move(keyword), extkit::py_int(offset));
    if (PyList_Append(list.get(), item.get()) < 0) throw extkit::PythonError{};
  }
  if (PyDict_SetItemString(result, name, list.get()) < 0) throw extkit::PythonError{};
}

}  // namespace explain_detail

// {table name: [(entry, offset in code.lower() or -1), ...]} for the seven indicator tables and
// the three framework tables.
inline extkit::Ref keyword_matches(PyObject*, PyObject* code, PyObject* function_name) {
  using namespace explain_detail;
  if (code == Py_None) {
    extkit::raise(PyExc_TypeError, "descriptor 'lower' for 'str' objects doesn't apply to a 'NoneType' object");
  }
  const LoweredUnits text(code);
  IndicatorSet in_source;
  find_indicators(text.data(), text.size(), in_source);
  IndicatorSet in_name;
  if (function_name != Py_None) {
    const LoweredUnits name(function_name);
    find_indicators(name.data(), name.size(), in_name);
  }
  const IndicatorSet in_name_only = in_name & kSearchedInName;
  FrameworkSet frameworks;
  find_framework_keywords(text.data(), text.size(), frameworks);

  extkit::Ref result = extkit::checked(PyDict_New());
  for (std::size_t t = 0; t < kIndicatorRanges.size(); ++t) {
    add_table(result.get(), kIndicatorTableNames[t], kIndicatorRanges[t], kIndicatorEntries, in_source, in_name_only,
              text);
  }
  for (std::size_t f = 0; f < kFrameworkRanges.size(); ++f) {
    add_table(result.get(), kFrameworkTableNames[f], kFrameworkRanges[f], kFrameworkEntries, frameworks,
              FrameworkSet{}, text);
  }
  return result;
}

}  // namespace klavrix::jobscore
