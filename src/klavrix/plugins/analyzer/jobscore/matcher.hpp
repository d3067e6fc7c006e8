// Presence of many substrings in one text, found in a single pass.
//
// A SubstringMatcher is an Aho-Corasick automaton over ASCII patterns, built entirely at
// compile time (no load-time work, no allocation, read-only tables shared by every thread).
// scan() walks the text once, one table lookup per code unit, and marks every pattern that
// occurs in it; patterns are identified by their index in the list the matcher was built from,
// so one list can hold several tables (with repeats) and each entry keeps its own bit.
//
// Case: patterns are lower-case ASCII, and an upper-case ASCII letter in the text is read as
// its lower-case form. For an all-ASCII text that is exactly what str.lower does, so such a
// text may be scanned as it stands; any other text must be lower-cased first. Every code point
// outside ASCII breaks a match, which is right for a lower-cased text: no pattern holds one.
//
//   inline constexpr std::array<std::string_view, 3> kWords = {"for", "format", "or"};
//   inline constexpr auto kWordMatcher = make_substring_matcher<kWords>();
//   decltype(kWordMatcher)::Found found;
//   kWordMatcher.scan(text, length, found);      // text: uint8_t, uint16_t or uint32_t units
//   found.contains(1)                             // "format" occurs
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace klavrix::jobscore {

// A set of pattern indexes below Bits.
template <std::size_t Bits>
class PatternSet {
 public:
  static constexpr std::size_t kWords = (Bits + 63) / 64;

  // The indexes begin..end-1.
  static constexpr PatternSet range(std::size_t begin, std::size_t end) {
    PatternSet set;
    for (std::size_t i = begin; i < end; ++i) set.add(i);
    return set;
  }

  constexpr void add(std::size_t index) { words_[index / 64] |= uint64_t{1} << (index % 64); }
  constexpr bool contains(std::size_t index) const { return (words_[index / 64] >> (index % 64)) & 1; }
  constexpr int count() const {
    int total = 0;
    for (uint64_t word : words_) total += std::popcount(word);
    return total;
  }

  constexpr PatternSet& operator|=(const PatternSet& other) {
    for (std::size_t i = 0; i < kWords; ++i) words_[i] |= other.words_[i];
    return *this;
  }
  constexpr PatternSet operator|(const PatternSet& other) const { return PatternSet(*this) |= other; }
  constexpr PatternSet operator&(const PatternSet& other) const {
    PatternSet result;
    for (std::size_t i = 0; i < kWords; ++i) result.words_[i] = words_[i] & other.words_[i];
    return result;
  }
  constexpr bool operator==(const PatternSet&) const = default;

 private:
  std::array<uint64_t, kWords> words_{};
};

namespace detail {

constexpr bool is_upper_ascii(char c) { return c >= 'A' && c <= 'Z'; }

// Patterns must be non-empty ASCII without upper-case letters (the text side is lower-cased).
template <std::size_t N>
constexpr bool patterns_are_valid(const std::array<std::string_view, N>& patterns) {
  for (std::string_view pattern : patterns) {
    if (pattern.empty()) return false;
    for (char c : pattern) {
      if (static_cast<unsigned char>(c) >= 0x80 || is_upper_ascii(c)) return false;
    }
  }
  return true;
}

// 1 + the number of distinct characters in the patterns (class 0: every other code point).
template <std::size_t N>
constexpr std::size_t class_count(const std::array<std::string_view, N>& patterns) {
  std::array<bool, 128> seen{};
  std::size_t classes = 1;
  for (std::string_view pattern : patterns) {
    for (char c : pattern) {
      if (!seen[static_cast<unsigned char>(c)]) {
        seen[static_cast<unsigned char>(c)] = true;
        ++classes;
      }
    }
  }
  return classes;
}

// Number of nodes of the patterns' trie, the root included: the automaton's state count.
template <std::size_t N>
constexpr std::size_t trie_node_count(const std::array<std::string_view, N>& patterns) {
  // Each node is named by the (pattern, length) of the first pattern that reached it.
  std::size_t nodes = 1;
  for (std::size_t p = 0; p < N; ++p) {
    for (std::size_t length = 1; length <= patterns[p].size(); ++length) {
      const std::string_view prefix = patterns[p].substr(0, length);
      bool seen_before = false;
      for (std::size_t q = 0; q < p && !seen_before; ++q) seen_before = patterns[q].starts_with(prefix);
      if (!seen_before) ++nodes;
    }
  }
  return nodes;
}

}  // namespace detail

template <std::size_t PatternCount, std::size_t StateCount, std::size_t ClassCount>
class SubstringMatcher {
  // A state is named by the offset of its row in next_: the scan then adds and loads, with no
  // multiplication between one code unit and the next; rows are a power of two wide, so the
  // state's number (for its output) is the offset shifted.
  static constexpr std::size_t kRowWidth = std::bit_ceil(ClassCount);
  static constexpr int kRowShift = std::countr_zero(kRowWidth);
  static_assert(StateCount * kRowWidth <= 0x10000, "row offsets are 16 bits");
  static_assert(ClassCount <= 0x100, "character classes are numbered in 8 bits");

 public:
  using Found = PatternSet<PatternCount>;

  constexpr explicit SubstringMatcher(const std::array<std::string_view, PatternCount>& patterns) {
    // Character classes: one per pattern character; upper-case letters share their lower-case class.
    std::size_t classes = 1;
    for (std::string_view pattern : patterns) {
      for (char c : pattern) {
        uint8_t& cls = class_of_[static_cast<unsigned char>(c)];
        if (cls == 0) cls = static_cast<uint8_t>(classes++);
      }
    }
    for (char c = 'A'; c <= 'Z'; ++c) class_of_[static_cast<unsigned char>(c)] = class_of_[c - 'A' + 'a'];

    // The trie: next_ holds only child edges so far (0 = none; no edge leads back to the root).
    std::size_t states = 1;
    for (std::size_t p = 0; p < PatternCount; ++p) {
      std::size_t row = 0;
      for (char c : patterns[p]) {
        uint16_t& child = next_[row + class_of_[static_cast<unsigned char>(c)]];
        if (child == 0) child = static_cast<uint16_t>(states++ << kRowShift);
        row = child;
      }
      output_[row >> kRowShift].add(p);
    }

    // Breadth first: each state's failure state is shallower, hence complete, when the state
    // is reached; its missing edges are copied from there and its output gains the failure's.
    std::array<uint16_t, StateCount> queue{};    // rows
    std::array<uint16_t, StateCount> failure{};  // row of the failure state, by state
    std::size_t head = 0;
    std::size_t tail = 0;
    for (std::size_t cls = 1; cls < ClassCount; ++cls) {
      if (next_[cls] != 0) queue[tail++] = next_[cls];
    }
    while (head < tail) {
      const std::size_t row = queue[head++];
      const std::size_t fallback = failure[row >> kRowShift];
      for (std::size_t cls = 1; cls < ClassCount; ++cls) {
        uint16_t& edge = next_[row + cls];
        const uint16_t fallback_edge = next_[fallback + cls];
        if (edge == 0) {
          edge = fallback_edge;
        } else {
          failure[edge >> kRowShift] = fallback_edge;
          output_[edge >> kRowShift] |= output_[fallback_edge >> kRowShift];
          queue[tail++] = edge;
        }
      }
    }
  }

  // Adds to `found` every pattern that occurs in text[0, length).
  template <class Char>
  constexpr void scan(const Char* text, std::size_t length, Found& found) const {
    static_assert(sizeof(Char) <= 4 && Char(-1) > Char(0), "code units are unsigned");
    Found seen;  // apart from `found`, which the compiler must otherwise assume aliases the tables
    std::size_t row = 0;
    for (std::size_t i = 0; i < length; ++i) {
      const uint32_t unit = text[i];
      const std::size_t cls = unit < class_of_.size() ? class_of_[unit] : 0;
      row = next_[row + cls];
      seen |= output_[row >> kRowShift];
    }
    found |= seen;
  }

 private:
  std::array<uint8_t, 256> class_of_{};  // by code unit below 256; 0 for the rest
  std::array<uint16_t, StateCount * kRowWidth> next_{};
  std::array<Found, StateCount> output_{};
};

template <const auto& Patterns>
constexpr auto make_substring_matcher() {
  static_assert(detail::patterns_are_valid(Patterns), "patterns are non-empty lower-case ASCII");
  return SubstringMatcher<Patterns.size(), detail::trie_node_count(Patterns), detail::class_count(Patterns)>(
      Patterns);
}

}  // namespace klavrix::jobscore
