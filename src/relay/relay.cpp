// The relay loop between the keyboard, the serial line and the screen.
#include "relay/relay.hpp"

#include "common/common.hpp"
#include "common/io.hpp"
#include "escape/escape_prompt.hpp"
#include "relay/cr_map.hpp"
#include "relay/hexdump.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/select.h>
#include <tuple>
#include <unistd.h>

namespace serterm {

namespace {

constexpr int KEYBOARD_FD = STDIN_FILENO;

// Bytes for the line that it has not taken yet. While any wait, the
// keyboard is not read, so there is never more than one keyboard chunk.
struct line_output {
  std::array<unsigned char, BUFFER_SIZE> bytes;
  std::size_t start = 0;
  std::size_t end = 0;
};

bool
is_transient(int error)
{
  return error == EINTR || error == EAGAIN || error == EWOULDBLOCK;
}

// Writes to the screen, the keyboard's own descriptor. A screen that cannot
// be written at all (standard input a pipe or read-only file) is ignored.
void
write_screen(std::span<const unsigned char> data)
{
  std::ignore = write_all(KEYBOARD_FD, data);
}

// Shows `data` on the screen, through the CR mapping if `map_cr`; `state`
// is the mapping state of the stream `data` belongs to.
void
show(std::span<const unsigned char> data, bool map_cr, cr_map_state& state,
     std::span<unsigned char, MAPPED_SIZE> scratch)
{
  if (!map_cr) {
    state = {};
    write_screen(data);
    return;
  }
  std::size_t count = map_cr_to_crlf(data, scratch, state);
  write_screen(std::span<const unsigned char>(scratch).first(count));
}

// Writes what the line takes now of `pending`. Returns false after a hard
// write error, reported.
bool
flush_line(int line_fd, line_output& pending)
{
  std::span<const unsigned char> rest(pending.bytes.data() + pending.start,
                                      pending.end - pending.start);
  ssize_t n = write_some(line_fd, rest);
  if (n < 0) {
    std::fprintf(stderr, "%s: line write failed: %s\n", progname,
                 std::strerror(errno));
    return false;
  }
  pending.start += static_cast<std::size_t>(n);
  if (pending.start == pending.end) {
    pending.start = pending.end = 0;
  }
  return true;
}

// Queues `data` for the line and writes what the line takes at once.
bool
send_to_line(int line_fd, std::span<const unsigned char> data,
             line_output& pending)
{
  std::memcpy(pending.bytes.data(), data.data(), data.size());
  pending.start = 0;
  pending.end = data.size();
  return flush_line(line_fd, pending);
}

// Flushes the hexdump text, waiting while standard output would block.
// Returns false after a write error, reported: text that cannot be shown
// must not be lost silently.
bool
flush_hexdump()
{
  for (;;) {
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
      return true;
    }
    int error = errno;
    if (!is_transient(error)) {
      std::fprintf(stderr, "%s: hexdump write failed: %s\n", progname,
                   std::strerror(error));
      return false;
    }
    std::clearerr(stdout);
    if (!wait_ready(STDOUT_FILENO, true)) {
      return false;
    }
  }
}

timeval
make_timeout(int flush_timeout_us)
{
  // A negative value goes to select unchanged, which rejects it; a value of
  // a second or more is split so that select takes it.
  if (flush_timeout_us < 0) {
    return timeval{0, flush_timeout_us};
  }
  return timeval{flush_timeout_us / 1000000, flush_timeout_us % 1000000};
}

} // namespace

int
run_relay(int line_fd, int modes, int flush_timeout_us,
          unsigned char escape_char)
{
  std::array<unsigned char, BUFFER_SIZE> relay_buffer;
  std::array<unsigned char, MAPPED_SIZE> mapped;
  std::array<char, HEXDUMP_SIZE> hex_text;
  line_output pending;
  cr_map_state receive_map;
  cr_map_state echo_map;
  bool hexdump_pending = false;

  for (;;) {
    bool waiting_output = pending.end != 0;
    fd_set read_set;
    fd_set write_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    // While bytes wait for the line, the keyboard is left unread: the
    // user's terminal holds the rest of a paste.
    if (!waiting_output) {
      FD_SET(KEYBOARD_FD, &read_set);
    } else {
      FD_SET(line_fd, &write_set);
    }
    FD_SET(line_fd, &read_set);
    timeval timeout = make_timeout(flush_timeout_us);
    int n = select(line_fd + 1, &read_set,
                   waiting_output ? &write_set : nullptr, nullptr, &timeout);
    if (n < 0 && errno != EINTR) {
      std::fprintf(stderr, "%s: select failed\n", progname);
      return 1;
    }

    if (n > 0 && waiting_output && FD_ISSET(line_fd, &write_set) &&
        !flush_line(line_fd, pending)) {
      return 1;
    }

    if (n > 0 && !waiting_output && FD_ISSET(KEYBOARD_FD, &read_set)) {
      ssize_t got = read(KEYBOARD_FD, relay_buffer.data(), 1);
      if (got == 0) {
        return 0;
      }
      if (got < 0 && !is_transient(errno)) {
        std::fprintf(stderr, "%s: keyboard read failed: %s\n", progname,
                     std::strerror(errno));
        return 1;
      }
      if (got > 0) {
        int count = 1;
        if (relay_buffer[0] == escape_char) {
          count = escape_prompt(relay_buffer, line_fd, modes, flush_timeout_us);
          if (count == ESCAPE_QUIT) {
            return 0;
          }
          if (count < 0) {
            return 1;
          }
        }
        auto typed = std::span<const unsigned char>(relay_buffer)
                         .first(static_cast<std::size_t>(count));
        if (!typed.empty() && !send_to_line(line_fd, typed, pending)) {
          return 1;
        }
        if ((modes & MODE_HALF_DUPLEX) != 0 && !typed.empty()) {
          show(typed, (modes & MODE_MAP_CR) != 0, echo_map, mapped);
        }
      }
    }

    if (n > 0 && FD_ISSET(line_fd, &read_set)) {
      ssize_t got = read(line_fd, relay_buffer.data(), relay_buffer.size());
      if (got == 0) {
        std::fprintf(stderr, "%s: line closed\n", progname);
        return 1;
      }
      if (got < 0 && !is_transient(errno)) {
        std::fprintf(stderr, "%s: line read failed: %s\n", progname,
                     std::strerror(errno));
        return 1;
      }
      if (got > 0) {
        auto received = std::span<const unsigned char>(relay_buffer)
                            .first(static_cast<std::size_t>(got));
        if ((modes & MODE_HEXDUMP) != 0) {
          receive_map = {};
          std::size_t length = format_hexdump(received, hex_text);
          std::ignore = std::fwrite(hex_text.data(), 1, length, stdout);
          hexdump_pending = true;
        } else {
          show(received, (modes & MODE_MAP_CR) != 0, receive_map, mapped);
        }
      }
    }

    if (n == 0 && hexdump_pending) {
      std::fputs("\r\n", stderr);
      std::fflush(stderr);
      hexdump_pending = false;
    }
    if (!flush_hexdump()) {
      return 1;
    }
  }
}

} // namespace serterm
