#pragma once
// The wall clock, read for signing times and temporary file names. A clock
// before 1970 is refused: neither can be made from it.

#include <time.h>

#include <cstdint>

#include "result.h"

/// The wall clock; fails with "read system clock: ..." or, before the Unix
/// epoch, "system clock before Unix epoch: ...".
Result<timespec> read_wall_clock();
/// Milliseconds since the Unix epoch from the wall clock, or the clock's fault.
Result<std::int64_t> current_time_ms();
/// The same for a given clock reading, so a clock before the epoch or past the
/// 64-bit range can be tried.
Result<std::int64_t> time_ms_from_clock(std::int64_t seconds, std::int64_t nanoseconds);
