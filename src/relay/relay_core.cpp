// The relay's rules.
#include "relay/relay_core.hpp"

#include "common/io.hpp"
#include "relay/cr_map.hpp"
#include "relay/hexdump.hpp"
#include "relay/out_queue.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <tuple>
#include <utility>

namespace serterm {

namespace {

// Typed bytes wait for the line up to this many; x data may take the
// buffer beyond, so that a command's bytes always fit.
constexpr std::size_t KEYBOARD_QUEUE_SIZE = 128 * BUFFER_SIZE;
// A received chunk, mapped, and as much half-duplex echo behind it.
constexpr std::size_t SCREEN_QUEUE_SIZE = 2 * MAPPED_SIZE;
constexpr std::size_t MESSAGES_SIZE = 2 * BUFFER_SIZE;
// The rest of a chunk after an escape, and the keys the terminal holds.
constexpr std::size_t AHEAD_SIZE = 2 * BUFFER_SIZE;
// How often the line driver's queue is looked at once input has ended.
constexpr std::int64_t DRIVER_POLL_US = 20000;

// The storage of the queues and buffers. Never zeroed, so that pages never
// used cost no memory.
struct core_areas {
  std::array<unsigned char, KEYBOARD_QUEUE_SIZE + BUFFER_SIZE> line;
  std::array<unsigned char, SCREEN_QUEUE_SIZE> screen;
  std::array<unsigned char, HEXDUMP_SIZE> hexdump;
  std::array<unsigned char, MESSAGES_SIZE> messages;
  std::array<unsigned char, BUFFER_SIZE> read;
  std::array<unsigned char, MAPPED_SIZE> mapped;
  std::array<unsigned char, AHEAD_SIZE> ahead;
  std::array<unsigned char, BUFFER_SIZE> command_bytes;
  std::array<char, COMMAND_TEXT_SIZE> text;
};
core_areas areas;

// Relaying; the prompt's steps: the line before it being shown, the
// command line being read on the cooked keyboard, its output being shown
// before the keyboard is raw again; the end, once standard error has taken
// what waits for it.
enum class phase { relaying, opening, prompt, closing, ending };

// An escape character read last in its chunk: in its quick-key window (the
// next key is data), or held for the prompt.
enum class escape_hold { none, window, held };

// What the next look at the line driver's count is for while bytes wait for
// the line: none, the count the wait starts from, or whether it has moved.
enum class driver_look { none, baseline, progress };

} // namespace

// Its fields by size, largest first, so that the record packs tightly.
struct relay_core {
  // Where the escape character stands and the bytes for the line ahead of
  // it; the bytes the keyboard was last offered; keys for the prompt, at
  // the start of the `ahead` area.
  std::int64_t escape_read_us = 0;
  std::size_t before_escape = 0;
  std::size_t offered = 0;
  std::size_t ahead = 0;
  std::int64_t hex_read_us = 0;
  // The driver's count when the wait for the line began, and the largest
  // drop in it between two looks in a row.
  std::size_t driver_baseline = 0;
  std::size_t driver_step = 0;
  // Once input has ended and the queue is empty: when the driver is looked
  // at next, since when its count has not moved, when it was last looked
  // at and what it was.
  std::int64_t driver_look_us = 0;
  std::int64_t driver_since_us = -1;
  std::int64_t driver_looked_us = -1;
  std::size_t driver_left = 0;
  std::size_t sent = 0;
  line_driver driver{};
  relay_end end{};
  std::array<out_queue, OUTPUTS> out{};
  command_line line;
  int modes = 0;
  int flush_timeout_us = 0;
  phase step = phase::relaying;
  escape_hold escape = escape_hold::none;
  driver_look look = driver_look::none;
  unsigned char escape_char = 0;
  // The keyboard has not been read for want of room since its last read,
  // or its last read was late and took all it was offered: the keys it
  // holds were typed at no time that can be known.
  bool held_back = false;
  bool backlog = false;
  bool modem_status = false;
  // The run ends once the keyboard is raw again.
  bool ending = false;
  cr_map_state receive_map{};
  cr_map_state echo_map{};
  bool hexdump_pending = false;
  bool input_ended = false;
  // The line was last read straight into the screen's queue.
  bool line_into_screen = false;
  // The last byte written to the user's terminal was not a line feed.
  bool line_open = false;
  line_editing editing{};
};

namespace {

relay_core the_core;

out_queue&
queue(relay_core& c, output out)
{
  return c.out[static_cast<std::size_t>(out)];
}

const out_queue&
queue(const relay_core& c, output out)
{
  return c.out[static_cast<std::size_t>(out)];
}

std::span<const unsigned char>
bytes_of(std::string_view text)
{
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// Whether `out` is held back: the screen and standard output while the
// prompt is up and while a message waits (they share the user's terminal,
// where the message must land in order), everything but standard error at
// the end.
bool
frozen(const relay_core& c, output out)
{
  switch (out) {
  case output::line:
    return c.step == phase::ending;
  case output::messages:
    return false;
  default:
    return c.step != phase::relaying ||
           waiting(queue(c, output::messages)) != 0;
  }
}

// Whether what is shown next on the user's terminal starts on a line left
// open: what waits on standard error comes first, the screen being frozen.
bool
line_left_open(const relay_core& c)
{
  const out_queue& m = queue(c, output::messages);
  return waiting(m) != 0 ? waiting_bytes(m).back() != LF : c.line_open;
}

void
show(relay_core& c, std::string_view text)
{
  std::ignore = append(queue(c, output::messages), bytes_of(text));
}

// Starts what comes next on a line of its own; an open hex line is ended
// by it, so no idle line break follows.
void
start_own_line(relay_core& c)
{
  if (line_left_open(c)) {
    show(c, "\r\n");
    c.hexdump_pending = false;
  }
}

// Shows `before`, then "<progname>: <what>" and a newline (the keyboard is
// cooked).
void
show_message(relay_core& c, std::string_view before, std::string_view what)
{
  show(c, before);
  show(c, progname);
  show(c, ": ");
  show(c, what);
  show(c, "\n");
}

// The relay ends with `status` once standard error has taken what waits,
// and, if the keyboard is cooked, once it is raw again.
void
finish(relay_core& c, int status)
{
  c.end.status = status;
  c.ending = true;
  c.step = c.step == phase::prompt || c.step == phase::closing ? phase::closing
                                                               : phase::ending;
}

void
fail(relay_core& c, const char* what, int error, bool line_failed = false)
{
  c.end.failure = what;
  c.end.error = error;
  c.end.line_failed = line_failed;
  finish(c, 1);
}

// Queues `data` for the line and, in half-duplex mode, its echo for the
// screen, through the CR mapping if that mode is on.
void
queue_for_line(relay_core& c, std::span<const unsigned char> data)
{
  auto sent = data.first(append(queue(c, output::line), data));
  if ((c.modes & MODE_HALF_DUPLEX) == 0 || sent.empty()) {
    return;
  }
  if ((c.modes & MODE_MAP_CR) != 0) {
    sent = std::span(areas.mapped)
               .first(map_cr_to_crlf(sent, areas.mapped, c.echo_map));
  } else {
    c.echo_map = {};
  }
  std::ignore = append(queue(c, output::screen), sent);
}

void
keep_for_prompt(relay_core& c, std::span<const unsigned char> keys)
{
  std::size_t n = std::min(keys.size(), AHEAD_SIZE - c.ahead);
  std::copy_n(keys.begin(), n,
              areas.ahead.begin() + static_cast<long>(c.ahead));
  c.ahead += n;
}

// Takes typed `keys` as if read one at a time: an escape character followed
// by a key sends that key as data (the quick key), one that ends the chunk
// opens its quick-key window. In a `late` chunk, whose keys carry no typing
// time, an escape is held and the keys after it are the prompt's.
void
take_keys(relay_core& c, std::span<unsigned char> keys, bool late,
          std::int64_t now)
{
  std::size_t out = 0;
  std::size_t i = 0;
  if (c.escape == escape_hold::window) {
    if (late) {
      c.escape = escape_hold::held;
      keep_for_prompt(c, keys);
      return;
    }
    c.escape = escape_hold::none;
    keys[out++] = keys[i++];
  }
  while (i < keys.size()) {
    auto rest = keys.subspan(i);
    const void* at = std::memchr(rest.data(), c.escape_char, rest.size());
    std::size_t run =
        at == nullptr
            ? rest.size()
            : static_cast<std::size_t>(static_cast<const unsigned char*>(at) -
                                       rest.data());
    std::memmove(keys.data() + out, rest.data(), run);
    out += run;
    i += run;
    if (i == keys.size()) {
      break;
    }
    if (i + 1 < keys.size() && !late) {
      keys[out++] = keys[i + 1];
      i += 2;
      continue;
    }
    c.escape = late ? escape_hold::held : escape_hold::window;
    c.escape_read_us = now;
    keep_for_prompt(c, keys.subspan(i + 1));
    break;
  }
  queue_for_line(c, keys.first(out));
  if (c.escape != escape_hold::none) {
    c.before_escape = waiting(queue(c, output::line));
  }
}

// How many typed bytes may be read now: what the queue for the line has
// room for (once the line has stalled, a whole buffer, what does not fit
// being dropped) and, in half-duplex mode, the screen's queue for their
// echo, which the mapping may double, unless the screen has stalled.
std::size_t
keyboard_room(const relay_core& c)
{
  const out_queue& line = queue(c, output::line);
  std::size_t held = waiting(line);
  std::size_t fits = line.stalled ? BUFFER_SIZE
                     : held >= KEYBOARD_QUEUE_SIZE
                         ? 0
                         : std::min(BUFFER_SIZE, KEYBOARD_QUEUE_SIZE - held);
  const out_queue& screen = queue(c, output::screen);
  if ((c.modes & MODE_HALF_DUPLEX) != 0 && !screen.stalled) {
    fits = std::min(fits, room(screen) / ((c.modes & MODE_MAP_CR) ? 2 : 1));
  }
  return fits;
}

// Keys typed after a command line, with it (no typing time), go on as the
// queue for the line has room for them, ahead of the keyboard.
void
take_keys_ahead(relay_core& c, std::int64_t now)
{
  std::size_t n = std::min(c.ahead, keyboard_room(c));
  if (n == 0 || c.escape != escape_hold::none) {
    return;
  }
  std::copy_n(areas.ahead.begin(), n, areas.read.begin());
  std::memmove(areas.ahead.data(), areas.ahead.data() + n, c.ahead - n);
  c.ahead -= n;
  std::size_t later = c.ahead;
  take_keys(c, std::span(areas.read).first(n), true, now);
  // An escape among them kept the keys after it, which come before the
  // rest.
  std::rotate(areas.ahead.begin(),
              areas.ahead.begin() + static_cast<long>(later),
              areas.ahead.begin() + static_cast<long>(c.ahead));
}

// A quick-key window that is over at `now` closes: the escape is held.
void
close_window(relay_core& c, std::int64_t now)
{
  if (c.escape == escape_hold::window &&
      now - c.escape_read_us > c.flush_timeout_us) {
    c.escape = escape_hold::held;
  }
}

// The escape character takes effect: the prompt will show on a line of
// its own once what waits for standard error is out.
void
open_prompt(relay_core& c)
{
  c.escape = escape_hold::none;
  c.step = phase::opening;
  start_own_line(c);
}

// The command line has ended as `state` says: it runs, or the run ends.
void
end_command_line(relay_core& c, line_state state)
{
  if (state == line_state::open) {
    return;
  }
  c.step = phase::closing;
  if (state == line_state::end_of_input && c.line.length == 0) {
    show_message(c, "\n", "EOF encountered");
    finish(c, 0);
    return;
  }
  if (c.line.cut) {
    // Run cut, a hex pair could lose its second digit and send a wrong
    // byte.
    show_message(c, "", "command line too long");
    return;
  }
  command_result result =
      run_command(c.line.text.data(), areas.command_bytes, c.modes, areas.text);
  show(c, std::string_view(areas.text.data(), result.text));
  queue_for_line(c, std::span(areas.command_bytes).first(result.bytes));
  if (result.effect == command_effect::quit) {
    finish(c, 0);
  } else if (result.effect == command_effect::modem_status) {
    c.step = phase::prompt;
    c.modem_status = true;
  }
}

// Shows the prompt and, if the keyboard echoes, the command line so far.
void
show_prompt(relay_core& c)
{
  show(c, progname);
  show(c, "> ");
  if (c.editing.echo) {
    show(c, std::string_view(c.line.text.data(), c.line.length));
  }
}

// The rules of the time: stalls, the quick-key window, the held escape,
// the idle hexdump line break, a stalled line at the end of input.
void
advance(relay_core& c, std::int64_t now)
{
  for (std::size_t i = 0; i < OUTPUTS; ++i) {
    auto out = static_cast<output>(i);
    out_queue& q = c.out[i];
    if (!q.blocked && q.since_us < 0) {
      continue; // nothing waits for room: the common case
    }
    if (frozen(c, out)) {
      q.since_us = -1;
    } else if (q.blocked && q.since_us < 0) {
      q.since_us = now;
      c.look = out == output::line && c.driver.counts ? driver_look::baseline
                                                      : c.look;
    } else if (out == output::line && c.driver.counts) {
      // A serial driver sends from what it holds: the line has stalled
      // only if the driver's count has not moved either.
      std::int64_t at = stall_at(q);
      c.look = at >= 0 && now >= at && c.look == driver_look::none
                   ? driver_look::progress
                   : c.look;
    } else if (check_stall(q, now) && out == output::messages) {
      // A terminal that takes nothing loses its messages.
      drop_waiting(q);
    }
  }
  close_window(c, now);
  if (c.step != phase::relaying) {
    return;
  }
  if (c.escape == escape_hold::held &&
      (c.before_escape == 0 || now - c.escape_read_us >= STALL_US)) {
    open_prompt(c);
    return;
  }
  // Only once the hex text is out: it would come after its own line break.
  if (c.hexdump_pending && waiting(queue(c, output::hexdump)) == 0 &&
      now - c.hex_read_us >= c.flush_timeout_us) {
    show(c, "\r\n");
    c.hexdump_pending = false;
  }
  if (c.input_ended && queue(c, output::line).stalled) {
    finish(c, 1);
  }
  take_keys_ahead(c, now);
}

// How long the line may take nothing before it has stalled, while its
// driver holds `held`: a second, or, for a driver that sends in larger
// steps, two of its steps at the line's speed (ten bits a byte). A driver
// that counts what it holds but has not shown its step may send all it
// holds in one: until a drop in its count shows the step, it gets twice the
// time that takes, at most its closing wait.
std::int64_t
line_stall_us(const relay_core& c, std::size_t held)
{
  auto step = static_cast<std::int64_t>(std::max(c.driver.step, c.driver_step));
  if (c.driver.bps <= 0) {
    return STALL_US;
  }
  auto time = [&c](std::int64_t bytes) {
    return 2 * bytes * 10 * 1000000 / c.driver.bps;
  };
  if (step > 0 || !c.driver.counts) {
    return std::max(STALL_US, time(step));
  }
  std::int64_t closing = c.driver.closing_wait_cs < 0
                             ? INT64_MAX
                             : std::int64_t{c.driver.closing_wait_cs} * 10000;
  return std::clamp(time(static_cast<std::int64_t>(held)), STALL_US,
                    std::max(STALL_US, closing));
}

std::int64_t
earliest(std::int64_t a, std::int64_t b)
{
  return a < 0 || (b >= 0 && b < a) ? b : a;
}

// The next time a rule may change.
std::int64_t
next_deadline(const relay_core& c)
{
  std::int64_t next = -1;
  for (const out_queue& q : c.out) {
    next = earliest(next, stall_at(q));
  }
  if (c.step != phase::relaying) {
    return next;
  }
  if (c.escape == escape_hold::window) {
    next = earliest(next, c.escape_read_us + c.flush_timeout_us + 1);
  } else if (c.escape == escape_hold::held) {
    next = earliest(next, c.escape_read_us + STALL_US);
  }
  if (c.hexdump_pending && waiting(queue(c, output::hexdump)) == 0) {
    next = earliest(next, c.hex_read_us + c.flush_timeout_us);
  }
  if (c.input_ended && waiting(queue(c, output::line)) == 0) {
    next = earliest(next, c.driver_look_us);
  }
  return next;
}

relay_action
next_action(const relay_core& c, std::int64_t now)
{
  bool told = waiting(queue(c, output::messages)) == 0;
  if (c.step == phase::ending) {
    return told ? relay_action::done : relay_action::none;
  }
  if (c.look != driver_look::none) {
    return relay_action::look_at_driver;
  }
  switch (c.step) {
  case phase::opening:
    return told ? relay_action::keyboard_cooked : relay_action::none;
  case phase::closing:
    return told ? relay_action::keyboard_raw : relay_action::none;
  case phase::prompt:
    return c.modem_status ? relay_action::modem_status : relay_action::none;
  case phase::relaying:
  case phase::ending:
    break;
  }
  return c.input_ended && waiting(queue(c, output::line)) == 0 &&
                 now >= c.driver_look_us
             ? relay_action::look_at_driver
             : relay_action::none;
}

} // namespace

relay_core&
start_core(int modes, int flush_timeout_us, unsigned char escape_char,
           const line_editing& editing, const line_driver& driver)
{
  relay_core& c = the_core;
  c = relay_core{};
  c.modes = modes;
  c.flush_timeout_us = flush_timeout_us;
  c.escape_char = escape_char;
  c.editing = editing;
  c.driver = driver;
  queue(c, output::line).stall_us = line_stall_us(c, 0);
  queue(c, output::line).bytes = areas.line;
  queue(c, output::screen).bytes = areas.screen;
  queue(c, output::hexdump).bytes = areas.hexdump;
  queue(c, output::messages).bytes = areas.messages;
  return c;
}

relay_plan
plan_pass(relay_core& c, std::int64_t now)
{
  advance(c, now);
  relay_plan plan;
  plan.action = next_action(c, now);
  if (plan.action != relay_action::none) {
    return plan;
  }
  if (c.step == phase::prompt) {
    plan.keyboard = BUFFER_SIZE;
  } else if (c.step == phase::relaying && !c.input_ended &&
             c.escape != escape_hold::held && c.ahead == 0) {
    plan.keyboard = keyboard_room(c);
    c.held_back = c.held_back || plan.keyboard == 0;
    c.offered = plan.keyboard;
  }
  output shown =
      (c.modes & MODE_HEXDUMP) != 0 ? output::hexdump : output::screen;
  plan.line = c.step == phase::relaying && waiting(queue(c, shown)) == 0;
  for (std::size_t i = 0; i < OUTPUTS; ++i) {
    const out_queue& q = c.out[i];
    bool open = q.end != q.start && !frozen(c, static_cast<output>(i));
    plan.room[i] = open && q.blocked;
    plan.write = plan.write || (open && !q.blocked);
  }
  plan.wake_us = next_deadline(c);
  return plan;
}

std::span<const unsigned char>
to_write(const relay_core& c, output out)
{
  const out_queue& q = queue(c, out);
  return q.end == q.start || q.blocked || frozen(c, out)
             ? std::span<const unsigned char>{}
             : waiting_bytes(q);
}

void
written(relay_core& c, output out, ssize_t result, int error, std::int64_t now)
{
  out_queue& q = queue(c, out);
  if (result < 0) {
    if (out == output::line) {
      fail(c, "line write failed", error, true);
    } else if (out == output::hexdump) {
      fail(c, "hexdump write failed", error);
    } else {
      // A screen or standard error that cannot be written at all (a
      // keyboard that is a pipe or a file open only for reading).
      drop_waiting(q);
    }
    return;
  }
  auto taken = waiting_bytes(q).first(
      std::min(static_cast<std::size_t>(result), waiting(q)));
  if (out == output::line) {
    c.before_escape -= std::min(c.before_escape, taken.size());
    c.sent += taken.size();
  } else if (!taken.empty()) {
    c.line_open = taken.back() != LF;
  }
  std::int64_t since = q.since_us;
  took(q, taken.size(), now);
  // The wait for the line starts again: from what the driver holds now.
  if (out == output::line && c.driver.counts && q.since_us != since &&
      q.since_us >= 0) {
    c.look = driver_look::baseline;
  }
  if (out == output::messages && q.stalled) {
    drop_waiting(q);
  }
}

void
room_again(relay_core& c, output out)
{
  queue(c, out).blocked = false;
}

std::span<unsigned char>
keyboard_area(relay_core&)
{
  return areas.read;
}

std::span<unsigned char>
line_area(relay_core& c)
{
  // Shown as they come, received bytes need no copy: they are read
  // straight into the screen's queue while it is empty.
  out_queue& screen = queue(c, output::screen);
  c.line_into_screen =
      (c.modes & (MODE_HEXDUMP | MODE_MAP_CR)) == 0 && waiting(screen) == 0;
  if (!c.line_into_screen) {
    return areas.read;
  }
  screen.start = screen.end = 0;
  return std::span(areas.screen).first(BUFFER_SIZE);
}

void
keyboard_read(relay_core& c, ssize_t result, int error, std::int64_t now)
{
  if (result < 0 && is_transient(error)) {
    return;
  }
  if (c.step == phase::prompt) {
    line_state state = line_state::end_of_input;
    if (result > 0) {
      auto keys = std::span(areas.read).first(static_cast<std::size_t>(result));
      std::size_t used = add_keys(c.line, keys, line_editing{}, state);
      keep_for_prompt(c, keys.subspan(used));
      // The terminal echoed the Enter.
      c.line_open = c.line_open && state != line_state::complete;
    }
    end_command_line(c, state);
    return;
  }
  if (result < 0) {
    fail(c, "keyboard read failed", error);
  } else if (result == 0) {
    c.input_ended = true;
    c.escape = escape_hold::none;
  } else {
    // Keys read once the quick-key window is over are the prompt's, even
    // when the read was planned before it closed.
    close_window(c, now);
    if (c.escape == escape_hold::held) {
      keep_for_prompt(
          c, std::span(areas.read).first(static_cast<std::size_t>(result)));
      return;
    }
    bool late = c.held_back || c.backlog;
    c.backlog = late && static_cast<std::size_t>(result) == c.offered;
    c.held_back = false;
    take_keys(c, std::span(areas.read).first(static_cast<std::size_t>(result)),
              late, now);
  }
}

void
line_read(relay_core& c, ssize_t result, int error, std::int64_t now)
{
  if (result == 0) {
    fail(c, "line closed", 0, true);
    return;
  }
  if (result < 0) {
    if (!is_transient(error)) {
      fail(c, "line read failed", error, true);
    }
    return;
  }
  if (c.line_into_screen) {
    c.receive_map = {};
    queue(c, output::screen).end = static_cast<std::size_t>(result);
    return;
  }
  auto received = std::span(areas.read).first(static_cast<std::size_t>(result));
  if ((c.modes & MODE_HEXDUMP) != 0) {
    c.receive_map = {};
    c.hexdump_pending = true;
    c.hex_read_us = now;
    auto text =
        std::span(reinterpret_cast<char*>(areas.hexdump.data()), HEXDUMP_SIZE);
    // The line is read only while the hex text's queue is empty.
    out_queue& q = queue(c, output::hexdump);
    q.start = 0;
    q.end = format_hexdump(received, text.first<HEXDUMP_SIZE>());
    return;
  }
  if ((c.modes & MODE_MAP_CR) != 0) {
    received =
        std::span(areas.mapped)
            .first(map_cr_to_crlf(received, areas.mapped, c.receive_map));
  } else {
    c.receive_map = {};
  }
  std::ignore = append(queue(c, output::screen), received);
}

std::span<unsigned char>
keys_ahead_area(relay_core& c)
{
  return std::span(areas.ahead).subspan(c.ahead);
}

void
keyboard_cooked(relay_core& c, std::size_t keys, std::int64_t)
{
  c.ahead += std::min(keys, AHEAD_SIZE - c.ahead);
  c.line.length = c.line.pushed = 0;
  c.line.cut = false;
  line_state state = line_state::open;
  std::size_t used =
      add_keys(c.line, std::span(areas.ahead).first(c.ahead), c.editing, state);
  std::memmove(areas.ahead.data(), areas.ahead.data() + used, c.ahead - used);
  c.ahead -= used;
  c.step = phase::prompt;
  show_prompt(c);
  end_command_line(c, state);
}

void
keyboard_raw_again(relay_core& c, std::int64_t)
{
  c.step = c.ending ? phase::ending : phase::relaying;
}

std::span<char, COMMAND_TEXT_SIZE>
text_area(relay_core&)
{
  return areas.text;
}

void
show_text(relay_core& c, std::size_t length, std::int64_t)
{
  show(c, std::string_view(areas.text.data(),
                           std::min(length, COMMAND_TEXT_SIZE)));
  c.modem_status = false;
  c.step = phase::closing;
}

void
driver_holds(relay_core& c, std::size_t bytes, std::int64_t now)
{
  out_queue& line = queue(c, output::line);
  driver_look look = std::exchange(c.look, driver_look::none);
  if (look == driver_look::baseline) {
    c.driver_baseline = bytes;
    line.stall_us = line_stall_us(c, bytes);
    return;
  }
  if (look == driver_look::progress) {
    line.since_us = bytes < c.driver_baseline ? now : line.since_us;
    line.stalled = bytes >= c.driver_baseline && waiting(line) != 0;
    c.driver_baseline = bytes;
    return;
  }
  // Input has ended and the queue is empty: the driver is watched until
  // it has sent everything, or its count has stood still too long.
  c.driver_look_us = now + DRIVER_POLL_US;
  if (bytes == 0) {
    finish(c, line.dropped == 0 ? 0 : 1);
    return;
  }
  if (c.driver_since_us < 0 || bytes < c.driver_left) {
    // A drop between two looks in a row shows the driver's step.
    if (c.driver_since_us >= 0 &&
        now - c.driver_looked_us <= 2 * DRIVER_POLL_US) {
      c.driver_step = std::max(c.driver_step, c.driver_left - bytes);
    }
    c.driver_since_us = now;
  }
  c.driver_left = bytes;
  c.driver_looked_us = now;
  if (now - c.driver_since_us >= line_stall_us(c, bytes)) {
    finish(c, 1);
  }
}

void
continued(relay_core& c, std::int64_t)
{
  // The shell had the screen meanwhile: the prompt shows again.
  if (c.step == phase::prompt) {
    c.line_open = false;
    show_prompt(c);
  }
}

void
relay_failed(relay_core& c, const char* what, int error)
{
  fail(c, what, error);
}

relay_end
relay_result(const relay_core& c)
{
  relay_end end = c.end;
  const out_queue& line = queue(c, output::line);
  end.unsent = waiting(line) + line.dropped;
  end.sent = c.sent;
  end.line_open = c.line_open;
  return end;
}

} // namespace serterm
