// Reads the rows of a member query on a thread of its own, ahead of the expansion that works
// through them: the row's texts, a person's field values and the entry ID of its ODN. The
// expansion's own thread then only takes what was read, and writes the log lines and records
// that must come from it in order. The reader never holds up the expansion: a row it has not
// reached yet is read by the expansion as before, and the reader goes on after it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mcl/query_row.h"
#include "platform/recordset/recordset.h"

namespace testqav {

class QueryRowPreparer {
 public:
  // The entry ID of an ODN, when the address book has an entry for it ("" when the entry
  // has no ID); nullopt when it has none or the look-up failed. Called on the reader's thread;
  // none: no IDs are looked up.
  using AddressIdOf = std::function<std::optional<std::string>(const std::string& odn)>;

  // Completes a person row's values on the reader's thread (reading nothing but them).
  using Complete = std::function<void(QueryRowValues& row)>;

  // Reads the `count` rows of `rows`, which must not change while this lives, and stays at
  // most `window` rows ahead of the caller.
  QueryRowPreparer(const Recordset& rows, const QueryRowColumns& columns, int32_t count,
                   AddressIdOf address_id_of, Complete complete = nullptr, size_t window = 1024);
  // Stops the reader and waits for it.
  ~QueryRowPreparer();
  QueryRowPreparer(const QueryRowPreparer&) = delete;
  QueryRowPreparer& operator=(const QueryRowPreparer&) = delete;

  // The row at `position`, when the reader got there first. Positions are asked for in
  // increasing order; asking for one releases every row before it.
  std::optional<QueryRowValues> Take(size_t position);

 private:
  struct Slot {
    size_t position = 0;
    QueryRowValues values;
  };
  void Read();

  const Recordset& rows_;
  const QueryRowColumns columns_;
  const size_t count_;
  const AddressIdOf address_id_of_;
  const Complete complete_;
  std::vector<Slot> slots_;                // a ring of `window` rows
  std::atomic<size_t> taken_{0};           // the position the caller asked for last
  std::atomic<size_t> read_{0};            // rows before this position are in their slots
  std::atomic<size_t> wake_at_{SIZE_MAX};  // the reader waits for taken_ to reach this
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::condition_variable wake_;
  std::thread reader_;
};

}  // namespace testqav
