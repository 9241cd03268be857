// The relay loop between the keyboard, the serial line and the screen.
#include "relay/relay.hpp"

#include "common/common.hpp"
#include "common/io.hpp"
#include "escape/escape_prompt.hpp"
#include "relay/cr_map.hpp"
#include "relay/hexdump.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <sys/select.h>
#include <time.h>
#include <tuple>
#include <unistd.h>

namespace serterm {

namespace {

constexpr int KEYBOARD_FD = STDIN_FILENO;

// A line that has taken nothing for this long while bytes wait for it has
// stalled: typed bytes that do not fit are then dropped rather than waited
// for, and a held escape character takes effect.
constexpr std::int64_t STALL_US = 1000000;

// Bytes for the line that it has not taken yet, oldest at `start`.
struct line_queue {
  std::array<unsigned char, BUFFER_SIZE> bytes;
  std::size_t start = 0;
  std::size_t end = 0;
};

// Everything the relay owns while it runs.
struct relay {
  int line_fd;
  int modes;
  int flush_timeout_us;
  unsigned char escape_char;
  std::array<unsigned char, BUFFER_SIZE> relay_buffer{};
  std::array<unsigned char, MAPPED_SIZE> mapped{};
  std::array<char, HEXDUMP_SIZE> hex_text{};
  line_queue queue{};
  // When the line last took a byte, or bytes began to wait for it.
  std::int64_t last_taken_us = 0;
  bool stalled = false;
  std::size_t dropped = 0;
  cr_map_state receive_map{};
  cr_map_state echo_map{};
  bool hexdump_pending = false;
  // An escape character read behind bytes that still wait for the line: it
  // takes effect once they are out or the line stalls, as if read then, and
  // the keyboard is not read past it.
  bool escape_held = false;
  bool input_ended = false;
  relay_end end{};
};

// What one wait found ready.
struct ready_set {
  bool keyboard_readable = false;
  bool line_readable = false;
  bool idle = false; // a whole flush time-out passed with nothing ready
};

// Microseconds on the monotonic clock. Not std::chrono's clock: that one
// alone would bring in the whole C++ run-time library.
std::int64_t
monotonic_us()
{
  timespec t{};
  std::ignore = clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

std::size_t
waiting(const relay& r)
{
  return r.queue.end - r.queue.start;
}

relay_step
fail(relay& r, const char* what, int error)
{
  r.end.failure = what;
  r.end.error = error;
  return relay_step::failed;
}

bool
is_transient(int error)
{
  return error == EINTR || error == EAGAIN || error == EWOULDBLOCK;
}

// Shows `data` on the screen, the keyboard's own descriptor, through the CR
// mapping if `map_cr`; `state` is the mapping state of the stream `data`
// belongs to. A screen that cannot be written at all (standard input a pipe
// or read-only file) is ignored.
void
show(std::span<const unsigned char> data, bool map_cr, cr_map_state& state,
     std::span<unsigned char, MAPPED_SIZE> scratch)
{
  if (!map_cr) {
    state = {};
    std::ignore = write_all(KEYBOARD_FD, data);
    return;
  }
  std::size_t count = map_cr_to_crlf(data, scratch, state);
  std::ignore = write_all(KEYBOARD_FD, std::span(scratch).first(count));
}

// Queues `data` for the line behind what already waits and, in half-duplex
// mode, echoes it. What does not fit is dropped and counted: while the line
// moves, callers read no more than there is room for.
void
queue_for_line(relay& r, std::span<const unsigned char> data)
{
  line_queue& q = r.queue;
  if (q.start == q.end) {
    q.start = q.end = 0;
    r.last_taken_us = monotonic_us();
  } else if (q.end + data.size() > q.bytes.size()) {
    std::copy(q.bytes.begin() + static_cast<long>(q.start),
              q.bytes.begin() + static_cast<long>(q.end), q.bytes.begin());
    q.end -= q.start;
    q.start = 0;
  }
  auto taken = data.first(std::min(data.size(), q.bytes.size() - q.end));
  r.dropped += data.size() - taken.size();
  std::copy(taken.begin(), taken.end(),
            q.bytes.begin() + static_cast<long>(q.end));
  q.end += taken.size();
  if ((r.modes & MODE_HALF_DUPLEX) != 0) {
    show(taken, (r.modes & MODE_MAP_CR) != 0, r.echo_map, r.mapped);
  }
}

// Writes what the line takes now of the bytes that wait for it.
relay_step
drain_line(relay& r)
{
  line_queue& q = r.queue;
  ssize_t n = write_some(r.line_fd,
                         std::span(q.bytes).subspan(q.start, q.end - q.start));
  if (n < 0) {
    return fail(r, "line write failed", errno);
  }
  if (n > 0) {
    q.start += static_cast<std::size_t>(n);
    r.stalled = false;
    // A queue now empty is timed afresh when bytes next wait: a keystroke
    // that goes out at once reads the clock only once.
    if (q.start != q.end) {
      r.last_taken_us = monotonic_us();
    }
  }
  return relay_step::go_on;
}

// The escape character is taken now: the quick-key wait, then perhaps the
// prompt; the bytes it returns are queued behind those that wait.
relay_step
run_escape(relay& r)
{
  r.escape_held = false;
  r.relay_buffer[0] = r.escape_char;
  std::size_t count = 0;
  relay_step step = escape_prompt(r.relay_buffer, r.line_fd, r.modes,
                                  r.flush_timeout_us, count);
  if (step == relay_step::failed) {
    return fail(r, "keyboard read failed", errno);
  }
  // Time at the prompt is not time the line took nothing.
  r.last_taken_us = monotonic_us();
  queue_for_line(r, std::span(r.relay_buffer).first(count));
  return step;
}

// Takes a chunk of `count` typed bytes at the start of the relay buffer
// exactly as if they had been read one at a time: an escape character
// followed by a byte already read sends that byte as data (the quick key),
// and only one that ends the chunk is held, to take effect once the bytes
// before it are out.
void
handle_typed(relay& r, std::size_t count)
{
  auto keys = std::span(r.relay_buffer).first(count);
  std::size_t out = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] != r.escape_char) {
      keys[out++] = keys[i];
    } else if (i + 1 < keys.size()) {
      keys[out++] = keys[++i];
    } else {
      r.escape_held = true;
    }
  }
  queue_for_line(r, keys.first(out));
}

// Reads the keyboard: while the line moves, no more than the queue has room
// for, so nothing typed is lost; once it has stalled, a whole buffer.
relay_step
read_keyboard(relay& r)
{
  std::size_t room = r.stalled ? BUFFER_SIZE : BUFFER_SIZE - waiting(r);
  ssize_t got = read(KEYBOARD_FD, r.relay_buffer.data(), room);
  if (got == 0) {
    r.input_ended = true;
  } else if (got > 0) {
    handle_typed(r, static_cast<std::size_t>(got));
  } else if (!is_transient(errno)) {
    return fail(r, "keyboard read failed", errno);
  }
  return relay_step::go_on;
}

// Once nothing waits for the line, or it has stalled, a held escape
// character takes effect and an ended input ends the relay: successfully
// only if every byte typed reached the line.
relay_step
settle_waiting(relay& r)
{
  if (waiting(r) != 0 && !r.stalled &&
      monotonic_us() - r.last_taken_us >= STALL_US) {
    r.stalled = true;
  }
  if (waiting(r) != 0 && !r.stalled) {
    return relay_step::go_on;
  }
  if (r.escape_held) {
    return run_escape(r);
  }
  if (r.input_ended) {
    return waiting(r) + r.dropped == 0 ? relay_step::quit : relay_step::failed;
  }
  return relay_step::go_on;
}

// Reads what the line has and shows it: as hexdump text in hexdump mode,
// written straight to standard output (after a would-block write the
// standard stream would drop what it had buffered), otherwise on the
// screen, through the CR mapping if that mode is on.
relay_step
read_line(relay& r)
{
  ssize_t got = read(r.line_fd, r.relay_buffer.data(), r.relay_buffer.size());
  if (got == 0) {
    return fail(r, "line closed", 0);
  }
  if (got < 0) {
    return is_transient(errno) ? relay_step::go_on
                               : fail(r, "line read failed", errno);
  }
  auto received =
      std::span(r.relay_buffer).first(static_cast<std::size_t>(got));
  if ((r.modes & MODE_HEXDUMP) == 0) {
    show(received, (r.modes & MODE_MAP_CR) != 0, r.receive_map, r.mapped);
    return relay_step::go_on;
  }
  r.receive_map = {};
  r.hexdump_pending = true;
  std::size_t length = format_hexdump(received, r.hex_text);
  std::span<const unsigned char> text(
      reinterpret_cast<const unsigned char*>(r.hex_text.data()), length);
  if (!write_all(STDOUT_FILENO, text)) {
    return fail(r, "hexdump write failed", errno);
  }
  return relay_step::go_on;
}

// Waits for the keyboard (when it is to be read) or the line to have input,
// or the line to take the bytes that wait for it. Only an open hexdump line
// and bytes that may stall need a time-out; otherwise the relay sleeps until
// there is something to do. A negative flush time-out still goes to select,
// which rejects it.
relay_step
wait_for_work(relay& r, ready_set& ready)
{
  bool keys = !r.escape_held && !r.input_ended &&
              (r.stalled || waiting(r) < BUFFER_SIZE);
  bool output = waiting(r) != 0;
  // Both descriptors are below FD_SETSIZE: the keyboard is 0 and open_line
  // keeps the line there.
  fd_set read_set;
  fd_set write_set;
  FD_ZERO(&read_set);
  FD_ZERO(&write_set);
  if (keys) {
    FD_SET(KEYBOARD_FD, &read_set);
  }
  FD_SET(r.line_fd, &read_set);
  if (output) {
    FD_SET(r.line_fd, &write_set);
  }
  timeval timeout = flush_timeval(r.flush_timeout_us);
  bool timed = r.hexdump_pending || r.flush_timeout_us < 0;
  bool idle_timer = timed;
  if (output && !r.stalled && r.flush_timeout_us >= 0) {
    auto stall_us = static_cast<int>(
        std::max<std::int64_t>(r.last_taken_us + STALL_US - monotonic_us(), 0));
    if (!timed || stall_us < r.flush_timeout_us) {
      timeout = flush_timeval(stall_us);
      timed = true;
      idle_timer = false;
    }
  }
  int count = select(r.line_fd + 1, &read_set, output ? &write_set : nullptr,
                     nullptr, timed ? &timeout : nullptr);
  if (count < 0) {
    return errno == EINTR ? relay_step::go_on : fail(r, "select failed", 0);
  }
  ready.keyboard_readable = keys && FD_ISSET(KEYBOARD_FD, &read_set);
  ready.line_readable = FD_ISSET(r.line_fd, &read_set);
  ready.idle = count == 0 && idle_timer;
  return relay_step::go_on;
}

// One pass: the keyboard, what waits for the line, a held escape or ended
// input, the line's input, then the idle line break of the hexdump.
relay_step
run_pass(relay& r, const ready_set& ready)
{
  relay_step step = relay_step::go_on;
  if (ready.keyboard_readable) {
    step = read_keyboard(r);
  }
  if (step == relay_step::go_on && waiting(r) != 0) {
    step = drain_line(r);
  }
  if (step == relay_step::go_on) {
    step = settle_waiting(r);
  }
  if (step == relay_step::go_on && ready.line_readable) {
    step = read_line(r);
  }
  if (step == relay_step::go_on && ready.idle && r.hexdump_pending) {
    std::fputs("\r\n", stderr);
    r.hexdump_pending = false;
  }
  return step;
}

} // namespace

relay_end
run_relay(int line_fd, int modes, int flush_timeout_us,
          unsigned char escape_char)
{
  relay r{.line_fd = line_fd,
          .modes = modes,
          .flush_timeout_us = flush_timeout_us,
          .escape_char = escape_char};
  relay_step step = relay_step::go_on;
  while (step == relay_step::go_on) {
    ready_set ready;
    step = wait_for_work(r, ready);
    if (step == relay_step::go_on) {
      step = run_pass(r, ready);
    }
  }
  r.end.status = step == relay_step::quit ? 0 : 1;
  r.end.unsent = waiting(r) + r.dropped;
  return r.end;
}

void
report_relay_end(const relay_end& end)
{
  if (end.failure != nullptr) {
    report(end.failure, end.error);
  }
  if (end.unsent != 0) {
    std::fprintf(stderr, "%s: bytes not sent to the line: %zu\n", progname,
                 end.unsent);
  }
}

} // namespace serterm
