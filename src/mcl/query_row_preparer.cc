#include "mcl/query_row_preparer.h"

#include <algorithm>
#include <utility>

#include "platform/common/thread_priority.h"

namespace testqav {

QueryRowPreparer::QueryRowPreparer(const Recordset& rows, const QueryRowColumns& columns,
                                   int32_t count, AddressIdOf address_id_of, Complete complete,
                                   size_t window)
    : rows_(rows),
      columns_(columns),
      count_(count > 0 ? static_cast<size_t>(count) : 0),
      address_id_of_(std::move(address_id_of)),
      complete_(std::move(complete)),
      slots_(std::max<size_t>(window, 2)) {
  if (count_ > 0) reader_ = std::thread([this] { Read(); });
}

QueryRowPreparer::~QueryRowPreparer() {
  stop_.store(true);
  {
    std::lock_guard<std::mutex> lock(mu_);
    wake_.notify_one();
  }
  if (reader_.joinable()) reader_.join();
}

std::optional<QueryRowValues> QueryRowPreparer::Take(size_t position) {
  taken_.store(position);
  if (position >= wake_at_.load()) {
    std::lock_guard<std::mutex> lock(mu_);
    wake_.notify_one();
  }
  // The slot of a row that was read stays as it is until a later position is asked for.
  if (position >= read_.load(std::memory_order_acquire)) return std::nullopt;
  Slot& slot = slots_[position % slots_.size()];
  if (slot.position != position) return std::nullopt;  // passed over: the caller was ahead
  return std::move(slot.values);
}

void QueryRowPreparer::Read() {
  LowerCurrentThreadPriority();
  const size_t window = slots_.size();
  size_t next = 0;
  while (!stop_.load(std::memory_order_relaxed)) {
    // A row the caller has reached is read by the caller; go on after it.
    next = std::max(next, taken_.load());
    if (next >= count_) break;
    if (next >= taken_.load() + window - 1) {
      // A window ahead: wait until the caller has taken half of it.
      std::unique_lock<std::mutex> lock(mu_);
      wake_at_.store(next - window / 2);
      wake_.wait(lock, [&] { return stop_.load() || taken_.load() >= wake_at_.load(); });
      wake_at_.store(SIZE_MAX);
      continue;
    }
    const int32_t record = static_cast<int32_t>(next);
    QueryRowValues values = ReadQueryRow(
        columns_,
        [&](int32_t column) -> const Variant* {
          auto v = rows_.RecordValueView(record, column);
          return v.ok() ? *v : nullptr;
        },
        /*with_fields=*/true);
    if (address_id_of_ && values.person && !values.odn.empty()) {
      values.address_id = address_id_of_(values.odn);
    }
    if (complete_ && values.person) complete_(values);
    Slot& slot = slots_[next % window];
    slot.position = next;
    slot.values = std::move(values);
    read_.store(next + 1, std::memory_order_release);
    ++next;
  }
}

}  // namespace testqav
