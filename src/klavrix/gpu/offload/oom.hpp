// Recognising an out-of-memory failure from an exception's message and type name. The rules
// look for lower-case ASCII keywords in the lower-cased texts.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace klavrix::offload {

enum Keyword : int {
  kOutOfMemory,
  kOutOfMemoryError,
  kCuda,
  kMemory,
  kAllocat,
  kFailed,
  kInsufficient,
  kGpu,
  kKeywordCount,
};

inline constexpr const char* kKeywordText[kKeywordCount] = {
    "out of memory", "outofmemoryerror", "cuda", "memory", "allocat", "failed", "insufficient", "gpu",
};

// `in_message(keyword)` / `in_type(keyword)`: whether the lower-cased message / type name holds
// the keyword. The first rule that holds decides.
template <class InMessage, class InType>
bool is_oom_error(InMessage in_message, InType in_type) {
  return in_message(kOutOfMemory) || in_type(kOutOfMemoryError) ||
         (in_message(kCuda) && in_message(kMemory)) || (in_message(kAllocat) && in_message(kFailed)) ||
         (in_message(kMemory) && in_message(kInsufficient)) || (in_message(kGpu) && in_message(kMemory));
}

// Whether the code units of a text, with A-Z read as a-z, contain `keyword` (lower-case ASCII).
// For ASCII text that is exactly a search in str.lower(text), and str.lower() of any other text
// holds no A-Z; units outside ASCII never match a keyword's.
template <class Unit>
bool contains_folded(const Unit* units, std::size_t length, std::string_view keyword) {
  auto folded_equal = [](Unit c, char k) {
    return (c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) == static_cast<unsigned char>(k);
  };
  return std::search(units, units + length, keyword.begin(), keyword.end(), folded_equal) != units + length;
}

}  // namespace klavrix::offload
