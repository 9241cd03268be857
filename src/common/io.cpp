// Complete and interruption-safe descriptor writes.
#include "common/io.hpp"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <tuple>
#include <unistd.h>

namespace serterm {

ssize_t
write_some(int fd, std::span<const unsigned char> data)
{
  for (;;) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n >= 0) {
      return n;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return 0;
    }
    if (errno != EINTR) {
      return -1;
    }
  }
}

bool
write_all(int fd, std::span<const unsigned char> data)
{
  while (!data.empty()) {
    ssize_t n = write_some(fd, data);
    if (n < 0) {
      return false;
    }
    if (n == 0 && !wait_ready(fd, true)) {
      return false;
    }
    data = data.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

bool
wait_ready(int fd, bool for_writing)
{
  pollfd p{fd, static_cast<short>(for_writing ? POLLOUT : POLLIN), 0};
  for (;;) {
    int n = poll(&p, 1, -1);
    if (n >= 0) {
      return true;
    }
    if (errno != EINTR) {
      return false;
    }
  }
}

timeval
flush_timeval(int flush_timeout_us)
{
  if (flush_timeout_us < 0) {
    return timeval{0, flush_timeout_us};
  }
  return timeval{flush_timeout_us / 1000000, flush_timeout_us % 1000000};
}

void
reserve_standard_descriptors()
{
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
      continue;
    }
    // The lower descriptors are open by now, so open() returns `fd`.
    int stand_in = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    if (stand_in >= 0 && stand_in != fd) {
      std::ignore = dup2(stand_in, fd);
      std::ignore = close(stand_in);
    }
  }
}

} // namespace serterm
