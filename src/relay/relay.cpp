// The relay loop between the keyboard, the serial line and the screen.
#include "relay/relay.hpp"

#include "common/common.hpp"
#include "common/io.hpp"
#include "escape/escape_prompt.hpp"
#include "relay/cr_map.hpp"
#include "relay/hexdump.hpp"
#include "relay/line_queue.hpp"
#include "terminal_control/terminal_control.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <sys/select.h>
#include <tuple>
#include <unistd.h>

namespace serterm {

namespace {

constexpr int KEYBOARD_FD = STDIN_FILENO;

// The relay's buffers. Process-wide, so that pages never used cost no
// memory: in a stack frame this large, stack probes would touch them all.
struct relay_areas {
  std::array<unsigned char, BUFFER_SIZE> relay_buffer;
  std::array<unsigned char, BUFFER_SIZE> received;
  std::array<unsigned char, MAPPED_SIZE> mapped;
  std::array<char, HEXDUMP_SIZE> hex_text;
  std::array<unsigned char, QUEUE_SIZE> queue;
  std::array<unsigned char, MAPPED_SIZE> echo;
  std::array<unsigned char, MAPPED_SIZE> echo_mapped;
};
relay_areas areas;

// Everything the relay owns while it runs.
struct relay {
  int line_fd;
  int modes;
  int flush_timeout_us;
  unsigned char escape_char;
  line_queue queue{.bytes = areas.queue};
  // Bytes an x command left at the start of the relay buffer that the
  // queue had no room for yet; the keyboard is not read until they are in.
  std::size_t prompt_bytes = 0;
  // The time of this pass, read once and only when a rule needs it.
  std::int64_t now_us = -1;
  // Received output the screen (or, in hexdump mode, standard output,
  // `out_fd`) has not taken yet, and the half-duplex echo behind it: the
  // line is not read again until both are out.
  std::span<const unsigned char> output{};
  int out_fd = KEYBOARD_FD;
  line_queue echo{.bytes = areas.echo};
  cr_map_state receive_map{};
  cr_map_state echo_map{};
  bool hexdump_pending = false;
  bool input_ended = false;
  relay_end end{};
};

// What one wait found ready.
struct ready_set {
  bool keyboard_readable = false;
  bool line_readable = false;
  bool output_writable = false;
  bool idle = false; // a whole flush time-out passed with nothing ready
};

std::int64_t
now(relay& r)
{
  r.now_us = r.now_us < 0 ? monotonic_us() : r.now_us;
  return r.now_us;
}

relay_step
fail(relay& r, const char* what, int error)
{
  r.end.failure = what;
  r.end.error = error;
  return relay_step::failed;
}

// The same, for a failure of the line itself.
relay_step
lose_line(relay& r, const char* what, int error)
{
  r.end.line_failed = true;
  return fail(r, what, error);
}

// True while output waits for the screen or standard output.
bool
output_waits(const relay& r)
{
  return !r.output.empty() || queue_waiting(r.echo) != 0;
}

// Writes what the screen or standard output takes now of the output that
// waits: received output, then the echo. What a screen that cannot be
// written at all (standard input a pipe or read-only file) refuses is
// dropped; hexdump text refused is a failure.
relay_step
write_output(relay& r)
{
  if (!r.output.empty()) {
    ssize_t n = write_some(r.out_fd, r.output);
    if (n < 0 && r.out_fd == STDOUT_FILENO) {
      return fail(r, "hexdump write failed", errno);
    }
    auto written = n < 0 ? r.output.size() : static_cast<std::size_t>(n);
    note_shown(r.output.first(n < 0 ? 0 : written));
    r.output = r.output.subspan(written);
  }
  std::size_t echo = queue_waiting(r.echo);
  if (r.output.empty() && echo != 0) {
    ssize_t n = write_some(KEYBOARD_FD, queue_data(r.echo));
    auto written = n < 0 ? echo : static_cast<std::size_t>(n);
    note_shown(queue_data(r.echo).first(n < 0 ? 0 : written));
    queue_sent(r.echo, written, written < echo ? now(r) : 0);
  }
  return relay_step::go_on;
}

// Starts received `data` on its way to the screen, through the CR mapping
// if that mode is on. `data` stays where it is until it is out.
relay_step
show(relay& r, std::span<const unsigned char> data)
{
  r.out_fd = KEYBOARD_FD;
  if ((r.modes & MODE_MAP_CR) != 0) {
    data = std::span(areas.mapped)
               .first(map_cr_to_crlf(data, areas.mapped, r.receive_map));
  } else {
    r.receive_map = {};
  }
  r.output = data;
  return write_output(r);
}

// How many typed bytes may be read now: no more than the queue for the
// line has room for and, in half-duplex mode, the echo's queue (the
// mapping may double them).
std::size_t
keyboard_room(const relay& r)
{
  if ((r.modes & MODE_HALF_DUPLEX) == 0) {
    return queue_room(r.queue);
  }
  return std::min(queue_room(r.queue),
                  queue_room(r.echo) / ((r.modes & MODE_MAP_CR) ? 2 : 1));
}

// Queues `data` for the line behind what already waits and, in half-duplex
// mode, its echo for the screen. Callers offer no more than
// `keyboard_room`, so only a stalled line drops bytes, and only a stalled
// screen drops echo.
void
queue_for_line(relay& r, std::span<const unsigned char> data)
{
  auto echo = data.first(queue_typed(r.queue, data));
  if ((r.modes & MODE_HALF_DUPLEX) == 0 || echo.empty()) {
    return;
  }
  if ((r.modes & MODE_MAP_CR) != 0) {
    echo = std::span(areas.echo_mapped)
               .first(map_cr_to_crlf(echo, areas.echo_mapped, r.echo_map));
  } else {
    r.echo_map = {};
  }
  std::ignore = queue_typed(r.echo, echo);
  std::ignore = write_output(r);
}

// Queues what there is room for of the bytes an x command left.
void
queue_prompt_bytes(relay& r)
{
  if (r.prompt_bytes == 0) {
    return;
  }
  auto bytes = std::span(areas.relay_buffer).first(r.prompt_bytes);
  std::size_t offered = std::min(bytes.size(), keyboard_room(r));
  queue_for_line(r, bytes.first(offered));
  std::copy(bytes.begin() + static_cast<long>(offered), bytes.end(),
            areas.relay_buffer.begin());
  r.prompt_bytes -= offered;
}

// Writes what the line takes now of the bytes that wait for it.
relay_step
drain_line(relay& r)
{
  ssize_t n = write_some(r.line_fd, queue_data(r.queue));
  if (n < 0) {
    return lose_line(r, "line write failed", errno);
  }
  auto sent = static_cast<std::size_t>(n);
  // A keystroke that goes out at once needs no clock.
  queue_sent(r.queue, sent, sent < queue_waiting(r.queue) ? now(r) : 0);
  return relay_step::go_on;
}

// The escape character takes effect: the prompt, whose bytes queue behind
// those that wait.
relay_step
run_escape(relay& r)
{
  r.queue.escape = escape_hold::none;
  relay_step step =
      escape_prompt(areas.relay_buffer, r.line_fd, r.modes, r.prompt_bytes);
  r.now_us = -1;
  queue_resume(r.queue, now(r));
  queue_resume(r.echo, now(r));
  queue_prompt_bytes(r);
  return step;
}

// Takes `count` typed bytes at the start of the relay buffer exactly as if
// they had been read one at a time: an escape character followed by a byte
// already read sends that byte as data (the quick key), and one that ends
// the chunk is held. With `quick`, the first byte is the quick key of an
// escape held from an earlier read.
void
handle_typed(relay& r, std::size_t count, bool quick)
{
  auto keys = std::span(areas.relay_buffer).first(count);
  std::size_t out = quick ? 1 : 0;
  bool held = false;
  for (std::size_t i = out; i < keys.size(); ++i) {
    if (keys[i] != r.escape_char) {
      keys[out++] = keys[i];
    } else if (i + 1 < keys.size()) {
      keys[out++] = keys[++i];
    } else {
      held = true;
    }
  }
  queue_for_line(r, keys.first(out));
  if (held) {
    hold_escape(r.queue, now(r), r.flush_timeout_us);
  }
}

// Reads the keyboard, no more than there is room for (a read of nothing
// would look like the end of input). Once a held escape's quick-key window
// has closed, keys are the prompt's: they stay in the terminal for it.
relay_step
read_keyboard(relay& r)
{
  line_queue& q = r.queue;
  if (q.escape == escape_hold::window) {
    advance_queue(q, now(r));
  }
  if (q.escape == escape_hold::held || keyboard_room(r) == 0) {
    return relay_step::go_on;
  }
  ssize_t got = read(KEYBOARD_FD, areas.relay_buffer.data(), keyboard_room(r));
  if (got == 0) {
    r.input_ended = true;
    q.escape = escape_hold::none;
  } else if (got > 0) {
    bool quick = q.escape == escape_hold::window;
    q.escape = escape_hold::none;
    handle_typed(r, static_cast<std::size_t>(got), quick);
  } else if (!is_transient(errno)) {
    return fail(r, "keyboard read failed", errno);
  }
  return relay_step::go_on;
}

// Applies the queue's rules for this pass: a held escape that is due opens
// the prompt; an ended input ends the relay once the line, its driver's
// queue included, has taken everything (successfully only if nothing was
// dropped), or once it has stalled.
relay_step
settle_waiting(relay& r)
{
  line_queue& q = r.queue;
  if (r.echo.timed) {
    advance_queue(r.echo, now(r));
  }
  if (q.timed || q.escape != escape_hold::none) {
    advance_queue(q, now(r));
    if (escape_due(q, now(r))) {
      return run_escape(r);
    }
  }
  if (!r.input_ended || queue_waiting(q) + r.prompt_bytes != 0) {
    return r.input_ended && q.stalled ? relay_step::failed : relay_step::go_on;
  }
  input_end end = end_of_input(q, line_output_queued(r.line_fd), now(r));
  return end == input_end::waiting ? relay_step::go_on
         : end == input_end::sent  ? relay_step::quit
                                   : relay_step::failed;
}

// Reads what the line has and starts it on its way: as hexdump text to
// standard output in hexdump mode, otherwise to the screen, through the CR
// mapping if that mode is on.
relay_step
read_line(relay& r)
{
  ssize_t got = read(r.line_fd, areas.received.data(), areas.received.size());
  if (got == 0) {
    return lose_line(r, "line closed", 0);
  }
  if (got < 0) {
    return is_transient(errno) ? relay_step::go_on
                               : lose_line(r, "line read failed", errno);
  }
  auto received =
      std::span(areas.received).first(static_cast<std::size_t>(got));
  if ((r.modes & MODE_HEXDUMP) == 0) {
    return show(r, received);
  }
  r.receive_map = {};
  r.hexdump_pending = true;
  std::size_t length = format_hexdump(received, areas.hex_text);
  r.out_fd = STDOUT_FILENO;
  r.output = std::span(
      reinterpret_cast<const unsigned char*>(areas.hex_text.data()), length);
  return write_output(r);
}

// Microseconds until a rule of the queue for the line or of the echo's may
// change, or -1 for never.
int
rules_wait_us(relay& r)
{
  const line_queue& q = r.queue;
  int line = q.timed || q.escape != escape_hold::none || r.input_ended
                 ? next_deadline(q, r.input_ended, now(r))
                 : -1;
  int echo = r.echo.timed ? next_deadline(r.echo, false, now(r)) : -1;
  return line < 0 || (echo >= 0 && echo < line) ? echo : line;
}

// Waits for the keyboard (when it is to be read) or the line to have input,
// the line to take the bytes that wait for it, or the screen (or standard
// output) to take what waits for it; the line's input is not looked at
// while output waits. Only an open hexdump line and the queues' rules need
// a time-out; otherwise the relay sleeps until there is something to do. A
// negative flush time-out still goes to select, which rejects it.
relay_step
wait_for_work(relay& r, ready_set& ready)
{
  const line_queue& q = r.queue;
  bool keys = !r.input_ended && r.prompt_bytes == 0 &&
              q.escape != escape_hold::held && keyboard_room(r) > 0;
  bool output = queue_waiting(r.queue) != 0;
  bool shown = !output_waits(r);
  int out_fd = r.output.empty() ? KEYBOARD_FD : r.out_fd;
  // Both descriptors are below FD_SETSIZE: the keyboard is 0 and open_line
  // keeps the line there.
  fd_set read_set;
  fd_set write_set;
  FD_ZERO(&read_set);
  FD_ZERO(&write_set);
  if (keys) {
    FD_SET(KEYBOARD_FD, &read_set);
  }
  if (shown) {
    FD_SET(r.line_fd, &read_set);
  } else {
    FD_SET(out_fd, &write_set);
  }
  if (output) {
    FD_SET(r.line_fd, &write_set);
  }
  timeval timeout = flush_timeval(r.flush_timeout_us);
  bool timed = r.hexdump_pending || r.flush_timeout_us < 0;
  bool idle_timer = timed;
  r.now_us = -1;
  int wait_us = r.flush_timeout_us < 0 ? -1 : rules_wait_us(r);
  if (wait_us >= 0 && (!timed || wait_us < r.flush_timeout_us)) {
    timeout = flush_timeval(wait_us);
    timed = true;
    idle_timer = false;
  }
  int count = select(r.line_fd + 1, &read_set, &write_set, nullptr,
                     timed ? &timeout : nullptr);
  r.now_us = -1;
  if (count < 0) {
    return errno == EINTR ? relay_step::go_on : fail(r, "select failed", 0);
  }
  ready.keyboard_readable = keys && FD_ISSET(KEYBOARD_FD, &read_set);
  ready.line_readable = shown && FD_ISSET(r.line_fd, &read_set);
  ready.output_writable = !shown && FD_ISSET(out_fd, &write_set);
  ready.idle = count == 0 && idle_timer;
  return relay_step::go_on;
}

// One pass: output that waits, the keyboard and what waits for the line,
// the queues' rules, the line's input, then the idle line break of the
// hexdump.
relay_step
run_pass(relay& r, const ready_set& ready)
{
  relay_step step = relay_step::go_on;
  if (ready.output_writable) {
    step = write_output(r);
  }
  // A stalled line is written to first, so that a stall that has ended
  // does not size the keyboard's read; otherwise the keys read join what
  // waits, for one write.
  if (step == relay_step::go_on && r.queue.stalled) {
    step = drain_line(r);
  }
  queue_prompt_bytes(r);
  if (step == relay_step::go_on && ready.keyboard_readable) {
    step = read_keyboard(r);
  }
  if (step == relay_step::go_on && queue_waiting(r.queue) != 0) {
    step = drain_line(r);
  }
  if (step == relay_step::go_on) {
    step = settle_waiting(r);
  }
  if (step == relay_step::go_on && ready.line_readable) {
    step = read_line(r);
  }
  // Not while hex text waits: it would come after its own line break.
  if (step == relay_step::go_on && ready.idle && r.hexdump_pending &&
      !output_waits(r)) {
    std::fputs("\r\n", stderr);
    note_shown(std::span(&LF, 1));
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
  r.end.unsent = queue_waiting(r.queue) + r.queue.dropped + r.prompt_bytes;
  return r.end;
}

void
begin_relay_report(const relay_end& end)
{
  if (end.failure != nullptr || end.unsent != 0 || end.held_by_port != 0) {
    start_own_line();
  }
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
  if (end.held_by_port != 0) {
    std::fprintf(stderr,
                 "%s: waiting for the port to send the %zu bytes it still "
                 "holds (control-C ends the wait)\n",
                 progname, end.held_by_port);
  }
}

} // namespace serterm
