// Calendar arithmetic shared by everything that turns a date into a count of days: the host
// clock, the record sets' dates, the mailbox store's times and the directory's generalized
// times.
#pragma once

#include <cstdint>

namespace testqav {

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar (negative
// before it); month 1 to 12.
constexpr int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

static_assert(DaysFromCivil(1970, 1, 1) == 0);
static_assert(DaysFromCivil(2000, 3, 1) == 11017);

}  // namespace testqav
