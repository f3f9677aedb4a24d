// Reads the wall clock once per use; a clock before 1970 is a fault, not a
// negative time, so nothing signed or named from it can be wrong silently.

#include "fileio/clock.h"

#include <cerrno>
#include <limits>
#include <string_view>

#include "io_error.h"

namespace {

constexpr std::string_view kBeforeEpoch =
    "system clock before Unix epoch: second time provided was later than self";

}  // namespace

Result<timespec> read_wall_clock() {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) {
    return fail("read system clock: " + format_io_error(errno));
  }
  if (now.tv_sec < 0) return fail(std::string(kBeforeEpoch));
  return now;
}

Result<std::int64_t> time_ms_from_clock(std::int64_t seconds, std::int64_t nanoseconds) {
  if (seconds < 0) return fail(std::string(kBeforeEpoch));
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t millis = nanoseconds / 1'000'000;
  if (seconds > (kMax - millis) / 1000) return fail("current time does not fit i64 ms");
  return seconds * 1000 + millis;
}

Result<std::int64_t> current_time_ms() {
  auto now = read_wall_clock();
  if (!now) return fail(now.error());
  return time_ms_from_clock(now->tv_sec, now->tv_nsec);
}
