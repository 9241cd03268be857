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

// Writes what the line takes at once of `data` and queues the rest in
// `pending`, which must be empty. Returns false after a hard write error,
// reported.
bool
send_to_line(int line_fd, std::span<const unsigned char> data,
             line_output& pending)
{
  ssize_t n = write_some(line_fd, data);
  if (n < 0) {
    std::fprintf(stderr, "%s: line write failed: %s\n", progname,
                 std::strerror(errno));
    return false;
  }
  auto rest = data.subspan(static_cast<std::size_t>(n));
  std::memcpy(pending.bytes.data(), rest.data(), rest.size());
  pending.start = 0;
  pending.end = rest.size();
  return true;
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

// What the keyboard path hands back to the loop.
enum class keys_result { relaying, quit, failed };

// Everything the keyboard path needs from the loop.
struct keyboard_path {
  int line_fd;
  int& modes;
  int flush_timeout_us;
  unsigned char escape_char;
  std::span<unsigned char, BUFFER_SIZE> relay_buffer;
  std::span<unsigned char, MAPPED_SIZE> mapped;
  line_output& pending;
  cr_map_state& echo_map;
  // An escape character that was the last byte read while earlier bytes
  // still wait for the line: its prompt opens once they are out, as if it
  // had not been read yet.
  bool escape_held = false;
};

// Sends typed bytes to the line and, in half-duplex mode, echoes them.
keys_result
send_typed(keyboard_path& k, std::span<const unsigned char> typed)
{
  if (typed.empty()) {
    return keys_result::relaying;
  }
  if (!send_to_line(k.line_fd, typed, k.pending)) {
    return keys_result::failed;
  }
  if ((k.modes & MODE_HALF_DUPLEX) != 0) {
    show(typed, (k.modes & MODE_MAP_CR) != 0, k.echo_map, k.mapped);
  }
  return keys_result::relaying;
}

// The escape character was the last byte read and nothing waits for the
// line: the quick-key wait, then perhaps the prompt, and what it returns
// goes to the line.
keys_result
run_escape(keyboard_path& k)
{
  k.escape_held = false;
  k.relay_buffer[0] = k.escape_char;
  int count =
      escape_prompt(k.relay_buffer, k.line_fd, k.modes, k.flush_timeout_us);
  if (count == ESCAPE_QUIT) {
    return keys_result::quit;
  }
  if (count < 0) {
    return keys_result::failed;
  }
  return send_typed(k, std::span<const unsigned char>(k.relay_buffer)
                           .first(static_cast<std::size_t>(count)));
}

// Handles a chunk of `count` typed bytes at the start of the relay buffer
// exactly as if they had been read one at a time: each byte is compared with
// the escape character on its own, an escape character followed by a byte
// already read sends that byte as data (the quick key), and only an escape
// character that ends the chunk waits for a further key or opens the prompt,
// so the prompt never misses bytes read ahead of it.
keys_result
handle_typed(keyboard_path& k, std::size_t count)
{
  auto keys = k.relay_buffer.first(count);
  std::size_t out = 0;
  bool escape_last = false;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] != k.escape_char) {
      keys[out++] = keys[i];
    } else if (i + 1 < keys.size()) {
      ++i;
      keys[out++] = keys[i];
    } else {
      escape_last = true;
    }
  }
  keys_result result = send_typed(k, keys.first(out));
  if (result != keys_result::relaying || !escape_last) {
    return result;
  }
  // One pass per byte would not read the escape character before the bytes
  // ahead of it were out.
  if (k.pending.end != 0) {
    k.escape_held = true;
    return keys_result::relaying;
  }
  return run_escape(k);
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
  keyboard_path keyboard{line_fd,      modes,  flush_timeout_us, escape_char,
                         relay_buffer, mapped, pending,          echo_map};

  for (;;) {
    bool waiting_output = pending.end != 0;
    // Both descriptors are below FD_SETSIZE: the keyboard is 0 and
    // open_line keeps the line there.
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
    // Only an open hexdump line needs a time-out; otherwise the loop sleeps
    // until there is something to do. A negative time-out still goes to
    // select, which rejects it.
    timeval timeout = flush_timeval(flush_timeout_us);
    bool timed = hexdump_pending || flush_timeout_us < 0;
    int n =
        select(line_fd + 1, &read_set, waiting_output ? &write_set : nullptr,
               nullptr, timed ? &timeout : nullptr);
    if (n < 0 && errno != EINTR) {
      std::fprintf(stderr, "%s: select failed\n", progname);
      return 1;
    }

    keys_result keys = keys_result::relaying;
    if (n > 0 && waiting_output && FD_ISSET(line_fd, &write_set)) {
      if (!flush_line(line_fd, pending)) {
        return 1;
      }
      if (pending.end == 0 && keyboard.escape_held) {
        keys = run_escape(keyboard);
      }
    }

    if (n > 0 && !waiting_output && FD_ISSET(KEYBOARD_FD, &read_set)) {
      ssize_t got = read(KEYBOARD_FD, relay_buffer.data(), relay_buffer.size());
      if (got == 0) {
        return 0;
      }
      if (got < 0 && !is_transient(errno)) {
        std::fprintf(stderr, "%s: keyboard read failed: %s\n", progname,
                     std::strerror(errno));
        return 1;
      }
      if (got > 0) {
        keys = handle_typed(keyboard, static_cast<std::size_t>(got));
      }
    }
    if (keys == keys_result::quit) {
      return 0;
    }
    if (keys == keys_result::failed) {
      return 1;
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
