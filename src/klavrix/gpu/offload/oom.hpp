// Recognising an out-of-memory failure from an exception's message and type name. The rules
// look for lower-case ASCII keywords in the lower-cased texts; how the texts are searched is the
// caller's choice (a folded search over ASCII bytes, or a search in str.lower()'s result).
#pragma once

#include <algorithm>
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

// Whether `text`, lower-cased in ASCII, contains `keyword` (lower-case ASCII). For ASCII text
// this is exactly a search in str.lower(text); bytes outside ASCII never match a keyword byte.
inline bool contains_folded(std::string_view text, std::string_view keyword) {
  auto folded_equal = [](char c, char k) {
    return (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) == k;
  };
  return std::search(text.begin(), text.end(), keyword.begin(), keyword.end(), folded_equal) != text.end();
}

}  // namespace klavrix::offload
