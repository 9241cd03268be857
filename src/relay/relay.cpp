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

// Writes the hexdump text of `received` to standard output, waiting while
// it would block. Returns false after a write error, reported: text that
// cannot be shown must not be lost silently. The text goes to the
// descriptor directly: after a would-block write the standard stream
// would drop what it had buffered.
bool
write_hexdump(std::span<const unsigned char> received,
              std::span<char, HEXDUMP_SIZE> text)
{
  std::size_t length = format_hexdump(received, text);
  std::span<const unsigned char> bytes(
      reinterpret_cast<const unsigned char*>(text.data()), length);
  if (write_all(STDOUT_FILENO, bytes)) {
    return true;
  }
  std::fprintf(stderr, "%s: hexdump write failed: %s\n", progname,
               std::strerror(errno));
  return false;
}

// What the keyboard path hands back to the loop.
enum class keys_result { relaying, quit, failed };

// Everything the relay owns while it runs.
struct relay {
  int line_fd;
  int modes;
  int flush_timeout_us;
  unsigned char escape_char;
  std::array<unsigned char, BUFFER_SIZE> relay_buffer{};
  std::array<unsigned char, MAPPED_SIZE> mapped{};
  std::array<char, HEXDUMP_SIZE> hex_text{};
  line_output pending{};
  cr_map_state receive_map{};
  cr_map_state echo_map{};
  bool hexdump_pending = false;
  // An escape character that was the last byte read while earlier bytes
  // still wait for the line: its prompt opens once they are out, as if it
  // had not been read yet.
  bool escape_held = false;
};

// What one wait found ready.
struct ready_set {
  int count = 0; // select's result: 0 after a time-out, -1 if interrupted
  bool line_writable = false;
  bool keyboard_readable = false;
  bool line_readable = false;
};

// Sends typed bytes to the line and, in half-duplex mode, echoes them.
keys_result
send_typed(relay& r, std::span<const unsigned char> typed)
{
  if (typed.empty()) {
    return keys_result::relaying;
  }
  if (!send_to_line(r.line_fd, typed, r.pending)) {
    return keys_result::failed;
  }
  if ((r.modes & MODE_HALF_DUPLEX) != 0) {
    show(typed, (r.modes & MODE_MAP_CR) != 0, r.echo_map, r.mapped);
  }
  return keys_result::relaying;
}

// The escape character was the last byte read and nothing waits for the
// line: the quick-key wait, then perhaps the prompt, and what it returns
// goes to the line.
keys_result
run_escape(relay& r)
{
  r.escape_held = false;
  r.relay_buffer[0] = r.escape_char;
  int count =
      escape_prompt(r.relay_buffer, r.line_fd, r.modes, r.flush_timeout_us);
  if (count == ESCAPE_QUIT) {
    return keys_result::quit;
  }
  if (count < 0) {
    return keys_result::failed;
  }
  return send_typed(r, std::span<const unsigned char>(r.relay_buffer)
                           .first(static_cast<std::size_t>(count)));
}

// Handles a chunk of `count` typed bytes at the start of the relay buffer
// exactly as if they had been read one at a time: each byte is compared with
// the escape character on its own, an escape character followed by a byte
// already read sends that byte as data (the quick key), and only an escape
// character that ends the chunk waits for a further key or opens the prompt,
// so the prompt never misses bytes read ahead of it.
keys_result
handle_typed(relay& r, std::size_t count)
{
  auto keys = std::span<unsigned char>(r.relay_buffer).first(count);
  std::size_t out = 0;
  bool escape_last = false;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] != r.escape_char) {
      keys[out++] = keys[i];
    } else if (i + 1 < keys.size()) {
      ++i;
      keys[out++] = keys[i];
    } else {
      escape_last = true;
    }
  }
  keys_result result = send_typed(r, keys.first(out));
  if (result != keys_result::relaying || !escape_last) {
    return result;
  }
  // One pass per byte would not read the escape character before the bytes
  // ahead of it were out.
  if (r.pending.end != 0) {
    r.escape_held = true;
    return keys_result::relaying;
  }
  return run_escape(r);
}

// Waits for the keyboard or the line to be readable, or, while bytes wait
// for it, the line to be writable. Only an open hexdump line needs a
// time-out; otherwise the relay sleeps until there is something to do. A
// negative time-out still goes to select, which rejects it. Returns false
// after a failed wait, reported.
bool
wait_for_work(const relay& r, ready_set& ready)
{
  bool waiting_output = r.pending.end != 0;
  // Both descriptors are below FD_SETSIZE: the keyboard is 0 and open_line
  // keeps the line there.
  fd_set read_set;
  fd_set write_set;
  FD_ZERO(&read_set);
  FD_ZERO(&write_set);
  // While bytes wait for the line, the keyboard is left unread: the user's
  // terminal holds the rest of a paste.
  if (!waiting_output) {
    FD_SET(KEYBOARD_FD, &read_set);
  } else {
    FD_SET(r.line_fd, &write_set);
  }
  FD_SET(r.line_fd, &read_set);
  timeval timeout = flush_timeval(r.flush_timeout_us);
  bool timed = r.hexdump_pending || r.flush_timeout_us < 0;
  ready.count =
      select(r.line_fd + 1, &read_set, waiting_output ? &write_set : nullptr,
             nullptr, timed ? &timeout : nullptr);
  if (ready.count < 0 && errno != EINTR) {
    std::fprintf(stderr, "%s: select failed\n", progname);
    return false;
  }
  bool any = ready.count > 0;
  ready.line_writable =
      any && waiting_output && FD_ISSET(r.line_fd, &write_set);
  ready.keyboard_readable =
      any && !waiting_output && FD_ISSET(KEYBOARD_FD, &read_set);
  ready.line_readable = any && FD_ISSET(r.line_fd, &read_set);
  return true;
}

// Sends what the line takes of the waiting bytes; once they are all out, a
// held escape character goes on as if just read.
keys_result
send_line_output(relay& r)
{
  if (!flush_line(r.line_fd, r.pending)) {
    return keys_result::failed;
  }
  if (r.pending.end == 0 && r.escape_held) {
    return run_escape(r);
  }
  return keys_result::relaying;
}

// Reads what the keyboard has and hands it to the keyboard path.
keys_result
read_keyboard(relay& r)
{
  ssize_t got = read(KEYBOARD_FD, r.relay_buffer.data(), r.relay_buffer.size());
  if (got == 0) {
    return keys_result::quit;
  }
  if (got < 0) {
    if (is_transient(errno)) {
      return keys_result::relaying;
    }
    std::fprintf(stderr, "%s: keyboard read failed: %s\n", progname,
                 std::strerror(errno));
    return keys_result::failed;
  }
  return handle_typed(r, static_cast<std::size_t>(got));
}

// Reads what the line has and shows it: as hexdump text in hexdump mode,
// otherwise on the screen, through the CR mapping if that mode is on.
// Returns false when the relay must end, reported.
bool
read_line(relay& r)
{
  ssize_t got = read(r.line_fd, r.relay_buffer.data(), r.relay_buffer.size());
  if (got == 0) {
    std::fprintf(stderr, "%s: line closed\n", progname);
    return false;
  }
  if (got < 0) {
    if (is_transient(errno)) {
      return true;
    }
    std::fprintf(stderr, "%s: line read failed: %s\n", progname,
                 std::strerror(errno));
    return false;
  }
  auto received = std::span<const unsigned char>(r.relay_buffer)
                      .first(static_cast<std::size_t>(got));
  if ((r.modes & MODE_HEXDUMP) == 0) {
    show(received, (r.modes & MODE_MAP_CR) != 0, r.receive_map, r.mapped);
    return true;
  }
  r.receive_map = {};
  r.hexdump_pending = true;
  return write_hexdump(received, r.hex_text);
}

// After a quiet flush time-out, an open hexdump line is ended.
void
end_idle_hexdump_line(relay& r)
{
  if (r.hexdump_pending) {
    std::fputs("\r\n", stderr);
    std::fflush(stderr);
    r.hexdump_pending = false;
  }
}

// The exit status a keyboard result ends the relay with, or -1 to go on.
int
status_of(keys_result keys)
{
  switch (keys) {
  case keys_result::relaying:
    return -1;
  case keys_result::quit:
    return 0;
  case keys_result::failed:
    break;
  }
  return 1;
}

// One pass: what waits for the line, then the keyboard, then the line's
// input, then the idle line break. Returns the exit status that ends the
// relay, or -1 to go on.
int
run_pass(relay& r, const ready_set& ready)
{
  keys_result keys = keys_result::relaying;
  // The keyboard is watched only while nothing waits for the line.
  if (ready.line_writable) {
    keys = send_line_output(r);
  } else if (ready.keyboard_readable) {
    keys = read_keyboard(r);
  }
  if (keys != keys_result::relaying) {
    return status_of(keys);
  }
  if (ready.line_readable && !read_line(r)) {
    return 1;
  }
  if (ready.count == 0) {
    end_idle_hexdump_line(r);
  }
  return -1;
}

} // namespace

int
run_relay(int line_fd, int modes, int flush_timeout_us,
          unsigned char escape_char)
{
  relay r{.line_fd = line_fd,
          .modes = modes,
          .flush_timeout_us = flush_timeout_us,
          .escape_char = escape_char};
  for (;;) {
    ready_set ready;
    if (!wait_for_work(r, ready)) {
      return 1;
    }
    int status = run_pass(r, ready);
    if (status >= 0) {
      return status;
    }
  }
}

} // namespace serterm
