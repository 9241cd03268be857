// Descriptor I/O that gives up on neither interrupted nor would-block
// calls, and the timing of the waits for it.
#pragma once

#include <cstdint>
#include <span>
#include <sys/time.h>
#include <sys/types.h>

namespace serterm {

// True for the errors after which a read or write is simply tried again
// later: an interrupted call, or a non-blocking descriptor with nothing to
// give or no room.
[[nodiscard]] bool is_transient(int error);

// Writes what `fd` takes now of `data` in one call, retrying EINTR. Returns
// the number of bytes written (0 when the descriptor would block), or -1
// with errno set on any other error.
[[nodiscard]] ssize_t write_some(int fd, std::span<const unsigned char> data);

// Writes all of `data` to `fd`, waiting for room while it takes bytes, and
// gives up once it has taken nothing for `stall_us`. Returns whether all of
// it went.
bool write_patiently(int fd, std::span<const unsigned char> data,
                     std::int64_t stall_us);

// Microseconds on the monotonic clock. Not std::chrono's clock: that one
// alone would bring in the whole C++ run-time library.
[[nodiscard]] std::int64_t monotonic_us();

// The select time-out for `flush_timeout_us` microseconds: a second or more
// is split into seconds, and a negative value is kept as it is, so that
// select rejects it.
[[nodiscard]] timeval flush_timeval(int flush_timeout_us);

} // namespace serterm
