#include "util/string_builder.h"

#include <limits>
#include <utility>

namespace testqav {

StringListError::StringListError(int32_t number, std::string source, std::string description)
    : std::runtime_error(description),
      number_(number),
      source_(std::move(source)),
      description_(std::move(description)) {}

void StringBuilder::lGrowthRate(int32_t lNewRate) {
  if (lNewRate < 1) {
    throw StringListError(StringListError::kGrowthRateNumber, "GLStringList->Let_lGrowthRate",
                          "The Growth Rate must be greater than zero");
  }
  growth_rate_ = lNewRate;
}

void StringBuilder::SetInitialCapacity(int32_t lCapacity) {
  // Once the slots exist the first allocation is history; changing it would mean nothing.
  if (allocated_) return;
  if (lCapacity < 1) {
    throw StringListError(StringListError::kInitialCapacityNumber,
                          "GLArrayList->SetInitialCapacity",
                          "The Initial Capacity must greater than zero.");
  }
  initial_capacity_ = lCapacity;
}

void StringBuilder::Allocate() {
  // Resize before touching the counters so a failed allocation leaves the list as it was.
  items_.resize(static_cast<size_t>(initial_capacity_));
  capacity_ = initial_capacity_;
  allocated_ = true;
}

void StringBuilder::Grow() {
  if (capacity_ > std::numeric_limits<int32_t>::max() - growth_rate_) {
    throw std::overflow_error("Overflow");
  }
  const int32_t grown = capacity_ + growth_rate_;
  items_.resize(static_cast<size_t>(grown));
  capacity_ = grown;
}

void StringBuilder::Add(std::string szString) {
  if (count_ == std::numeric_limits<int32_t>::max()) throw std::overflow_error("Overflow");
  if (!allocated_) Allocate();
  if (count_ + 1 > capacity_) Grow();
  items_[static_cast<size_t>(count_)] = std::move(szString);
  ++count_;
}

std::string StringBuilder::Item(int32_t lIndex) const {
  if (lIndex < 0 || lIndex >= count_) {
    throw StringListError(StringListError::kIndexNumber, "GLStringList->Item",
                          "Index out of bounds");
  }
  return items_[static_cast<size_t>(lIndex)];
}

std::string StringBuilder::GetContent() const {
  // Slots above the count are empty, so joining only the used ones gives the same text;
  // sizing the result first keeps the join to a single allocation.
  size_t total = 0;
  for (int32_t i = 0; i < count_; ++i) total += items_[static_cast<size_t>(i)].size();
  std::string content;
  content.reserve(total);
  for (int32_t i = 0; i < count_; ++i) content += items_[static_cast<size_t>(i)];
  return content;
}

}  // namespace testqav
