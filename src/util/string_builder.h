// A growable list of texts that collects pieces cheaply and joins them once at the end.
// Texts go into a pre-allocated array of slots that grows by a fixed number of slots when
// full, so an append never copies the texts gathered so far into one long text.
//
// Unlike the rest of the program, this class reports misuse by throwing StringListError
// (number, source, description) to its caller.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace testqav {

class StringListError : public std::runtime_error {
 public:
  // The numbers are the object error base 0x80040000 plus 1000, 1002 and 1003, negative
  // as signed 32-bit values.
  static constexpr int32_t kGrowthRateNumber = static_cast<int32_t>(0x800403E8u);
  static constexpr int32_t kIndexNumber = static_cast<int32_t>(0x800403EAu);
  static constexpr int32_t kInitialCapacityNumber = static_cast<int32_t>(0x800403EBu);

  StringListError(int32_t number, std::string source, std::string description);

  int32_t number() const { return number_; }
  const std::string& source() const { return source_; }
  const std::string& description() const { return description_; }

 private:
  int32_t number_;
  std::string source_;
  std::string description_;
};

class StringBuilder {
 public:
  StringBuilder() = default;

  // Number of texts added.
  int32_t lCount() const { return count_; }
  // Number of slots allocated: 0 until the first Add.
  int32_t lCapacity() const { return capacity_; }
  // Slots added each time the array is full; 50 unless changed.
  int32_t lGrowthRate() const { return growth_rate_; }
  // Throws StringListError (kGrowthRateNumber) and keeps the old rate when lNewRate < 1.
  void lGrowthRate(int32_t lNewRate);

  // Appends a text. The first call allocates the initial capacity; a full array grows by
  // lGrowthRate slots. Throws std::overflow_error, changing nothing, when the count or the
  // grown capacity would pass the 32-bit limit (std::bad_alloc may pass through as well).
  void Add(std::string szString);
  // The text added at lIndex (0-based); throws StringListError (kIndexNumber) unless
  // 0 <= lIndex < lCount.
  std::string Item(int32_t lIndex) const;
  // Sets the number of slots the first Add allocates (50 unless changed). Ignored once the
  // array is allocated; before that, throws StringListError (kInitialCapacityNumber) when
  // lCapacity < 1.
  void SetInitialCapacity(int32_t lCapacity);
  // All texts added, in order, joined without separator; "" before the first Add.
  std::string GetContent() const;

 private:
  void Allocate();
  void Grow();

  std::vector<std::string> items_;  // capacity_ slots; those at and above count_ are empty
  int32_t count_ = 0;
  int32_t capacity_ = 0;
  int32_t growth_rate_ = 50;
  int32_t initial_capacity_ = 50;
  bool allocated_ = false;
};

}  // namespace testqav
