// Entry positions by the beginning of a normalised value. Name resolution asks for entries
// whose names begin with a text; without this every entry of the directory would be
// evaluated for each such question, and most of them find nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testqav {

class PrefixPostings {
 public:
  PrefixPostings() = default;
  // `pairs`: (normalised value, entry position) in any order, duplicates allowed.
  explicit PrefixPostings(std::vector<std::pair<std::string, uint32_t>> pairs);

  // Positions with a value that begins with `prefix`, ascending and each once.
  std::vector<uint32_t> Find(std::string_view prefix) const;

 private:
  struct Key {
    uint32_t offset;  // into text_
    uint32_t size;
    uint32_t position;
  };
  std::string_view KeyText(const Key& k) const {
    return std::string_view(text_).substr(k.offset, k.size);
  }
  std::string text_;       // the values, one after another
  std::vector<Key> keys_;  // sorted by value
};

}  // namespace testqav
