// Where the keywords behind the text scores occur, for explaining a classification: the entries
// that score_indicators and score_framework_patterns count (found by the same automata over the
// same lower-cased text) and the offset of each one's first occurrence in that text, so that a
// caller can show the identifier a keyword was found in. An entry that counts only through the
// function name (the GPU-operation and embarrassingly-parallel tables) has no offset in the code.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

#include "klavrix/plugins/analyzer/jobscore/rules.hpp"

namespace klavrix::jobscore {

// Table names, in the order of kIndicatorRanges and kFrameworkRanges.
inline constexpr std::array<const char*, kIndicatorRanges.size()> kIndicatorTableNames = {
    "cpu", "memory", "parallel", "gpu_operation", "large_data", "embarrassing", "sequential"};
inline constexpr std::array<const char*, kFrameworkRanges.size()> kFrameworkTableNames = {"numpy", "pandas",
                                                                                          "sklearn"};

// Offset of the first occurrence of a lower-case ASCII keyword among the units, A-Z read as a-z;
// -1 if none.
template <class Unit>
std::ptrdiff_t first_occurrence(const Unit* units, std::size_t length, std::string_view keyword) {
  const Unit* end = units + length;
  const Unit* at = std::search(units, end, keyword.begin(), keyword.end(), [](Unit unit, char c) {
    return (unit >= 'A' && unit <= 'Z' ? unit - 'A' + 'a' : unit) == static_cast<unsigned char>(c);
  });
  return at == end ? -1 : at - units;
}

// visit(entry, offset) for each counted entry of one table, in table order: the entry's first
// offset in the text, or -1 for an entry that counts only through the function name.
template <class Unit, class Set, std::size_t N, class Visit>
void for_each_counted(const TableRange& range, const std::array<std::string_view, N>& entries, const Set& in_text,
                      const Set& in_name_only, const Unit* text, std::size_t length, Visit visit) {
  for (std::size_t i = range.begin; i < range.end; ++i) {
    if (in_text.contains(i)) {
      visit(entries[i], first_occurrence(text, length, entries[i]));
    } else if (in_name_only.contains(i)) {
      visit(entries[i], std::ptrdiff_t{-1});
    }
  }
}

}  // namespace klavrix::jobscore
