// The end of a session: the line driver's last bytes and the messages.
#include "relay/relay_end.hpp"

#include "common/common.hpp"
#include "common/io.hpp"
#include "relay/out_queue.hpp"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <tuple>
#include <unistd.h>

namespace serterm {

namespace {

// Appends a formatted message to a text of its own.
struct message_text {
  std::array<char, 512> text{};
  std::size_t used = 0;
};

__attribute__((format(printf, 2, 3))) void
add(message_text& m, const char* format, ...)
{
  std::va_list args;
  va_start(args, format);
  int n = std::vsnprintf(m.text.data() + m.used, m.text.size() - m.used, format,
                         args);
  va_end(args);
  m.used = std::min(m.text.size() - 1,
                    m.used + static_cast<std::size_t>(std::max(n, 0)));
}

// Writes `text` to standard error, waiting while the terminal takes it.
void
write_message(std::string_view text)
{
  std::ignore = write_patiently(
      STDERR_FILENO,
      {reinterpret_cast<const unsigned char*>(text.data()), text.size()},
      STALL_US);
}

} // namespace

void
settle_line_output(int line_fd, const line_driver& driver, relay_end& end)
{
  // A line that failed (a device unplugged) answers nothing more.
  if (end.line_failed) {
    return;
  }
  std::size_t discarded = discard_line_output(line_fd);
  end.unsent += discarded;
  wait_transmitter_empty(line_fd, driver);
  // Some drivers count whole buffers, more than they were given.
  end.held_by_port = std::min(line_output_queued(line_fd),
                              end.sent - std::min(end.sent, discarded));
}

void
begin_relay_report(const relay_end& end)
{
  if (end.line_open &&
      (end.failure != nullptr || end.unsent != 0 || end.held_by_port != 0)) {
    write_message("\r\n");
  }
}

void
report_relay_end(const relay_end& end)
{
  message_text m;
  if (end.failure != nullptr && end.error != 0) {
    add(m, "%s: %s: %s\n", progname, end.failure, std::strerror(end.error));
  } else if (end.failure != nullptr) {
    add(m, "%s: %s\n", progname, end.failure);
  }
  if (end.unsent != 0) {
    add(m, "%s: bytes not sent to the line: %zu\n", progname, end.unsent);
  }
  if (end.held_by_port != 0) {
    add(m,
        "%s: waiting for the port to send the %zu bytes it still holds "
        "(control-C ends the wait)\n",
        progname, end.held_by_port);
  }
  write_message(std::string_view(m.text.data(), m.used));
}

int
wait_for_port(int line_fd, const line_driver& driver, const relay_end& end)
{
  if (end.held_by_port == 0) {
    return end.status;
  }
  std::size_t left =
      std::min(watch_line_output(line_fd, driver), end.held_by_port);
  message_text m;
  if (left == 0) {
    add(m, "%s: the port has sent them\n", progname);
  } else {
    add(m, "%s: the kernel dropped the %zu bytes the port still held\n",
        progname, left);
  }
  write_message(std::string_view(m.text.data(), m.used));
  // Every byte then reached the port and left it, unless serterm itself
  // dropped some or the run failed.
  bool all_sent = left == 0 && end.unsent == 0 && end.failure == nullptr;
  return all_sent ? 0 : 1;
}

} // namespace serterm
