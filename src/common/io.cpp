// Descriptor writes and waits that retry interrupted calls, and the clock
// of the waits.
#include "common/io.hpp"

#include <cerrno>
#include <poll.h>
#include <time.h>
#include <tuple>
#include <unistd.h>

namespace serterm {

bool
is_transient(int error)
{
  return error == EINTR || error == EAGAIN || error == EWOULDBLOCK;
}

ssize_t
write_some(int fd, std::span<const unsigned char> data)
{
  for (;;) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n >= 0) {
      return n;
    }
    if (!is_transient(errno)) {
      return -1;
    }
    if (errno != EINTR) {
      return 0;
    }
  }
}

bool
write_patiently(int fd, std::span<const unsigned char> data,
                std::int64_t stall_us)
{
  std::int64_t since = monotonic_us();
  while (!data.empty()) {
    ssize_t n = write_some(fd, data);
    if (n < 0) {
      return false;
    }
    std::int64_t now = monotonic_us();
    if (n > 0) {
      since = now;
      data = data.subspan(static_cast<std::size_t>(n));
      continue;
    }
    if (now - since >= stall_us) {
      return false;
    }
    pollfd p{fd, POLLOUT, 0};
    std::ignore =
        poll(&p, 1, static_cast<int>((stall_us - (now - since)) / 1000 + 1));
  }
  return true;
}

std::int64_t
monotonic_us()
{
  timespec t{};
  std::ignore = clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

timeval
flush_timeval(int flush_timeout_us)
{
  if (flush_timeout_us < 0) {
    return timeval{0, flush_timeout_us};
  }
  return timeval{flush_timeout_us / 1000000, flush_timeout_us % 1000000};
}

} // namespace serterm
