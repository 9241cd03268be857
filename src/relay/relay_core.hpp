// The relay's rules, all in one place: what typed keys mean (the escape
// character, its quick key, the keys for the prompt), one queue for each
// descriptor written with its stall clock, the prompt's steps, and every
// deadline. Pure: the loop makes the system calls, tells the core what they
// did and asks it what to do next; the time, in microseconds of a monotonic
// clock, is an argument.
#pragma once

#include "escape/escape_prompt.hpp"
#include "terminal_control/line_driver.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <sys/types.h>

namespace serterm {

// What the relay writes to: the line, the screen (the keyboard's terminal),
// standard output (hexdump text) and standard error (the prompt, its echo
// and every message).
enum class output { line, screen, hexdump, messages };
inline constexpr std::size_t OUTPUTS = 4;

// Something to do before the next wait: make the keyboard cooked once the
// keys it holds are read into `keys_ahead_area`, make it raw again, put the
// modem status in `text_area`, tell the line driver's queue, or end.
enum class relay_action {
  none,
  keyboard_cooked,
  keyboard_raw,
  modem_status,
  look_at_driver,
  done
};

// What a pass does: the action; or the writes the rules have made worth
// trying; or else a wait for the keyboard (then read for at most `keyboard`
// bytes), the line's input, room on the outputs marked, until `wake_us` at
// the latest (-1: no time-out).
struct relay_plan {
  relay_action action = relay_action::none;
  bool write = false;
  std::size_t keyboard = 0;
  bool line = false;
  std::array<bool, OUTPUTS> room{};
  std::int64_t wake_us = -1;
};

// How a relay ended: the exit status (0 after a quit or the end of keyboard
// input with every byte sent, 1 otherwise), what failed (nullptr if
// nothing did) with its errno (0 for none) and whether it was the line's,
// the bytes for the line dropped or still waiting, the bytes the line took,
// the bytes the port's driver still held and could not discard, and
// whether the last byte shown on the user's terminal left a line open.
struct relay_end {
  int status = 0;
  const char* failure = nullptr;
  int error = 0;
  bool line_failed = false;
  std::size_t unsent = 0;
  std::size_t sent = 0;
  std::size_t held_by_port = 0;
  bool line_open = false;
};

// The rules' state; there is one, process-wide.
struct relay_core;

// Starts the rules afresh and returns them. The line is judged stalled by
// what `driver` says of itself.
relay_core& start_core(int modes, int flush_timeout_us,
                       unsigned char escape_char, const line_editing& editing,
                       const line_driver& driver = {});

// Applies every rule due at `now` and says what to do next.
[[nodiscard]] relay_plan plan_pass(relay_core& core, std::int64_t now);

// The bytes worth writing to `out` now: empty while it has none, is waiting
// for room, or must not be written yet.
[[nodiscard]] std::span<const unsigned char> to_write(const relay_core& core,
                                                      output out);

// The write of `to_write(out)` returned `result` (errno `error`); or the
// wait found room on `out`.
void written(relay_core& core, output out, ssize_t result, int error,
             std::int64_t now);
void room_again(relay_core& core, output out);

// Where the keyboard and the line are read into; then the read's result.
[[nodiscard]] std::span<unsigned char> keyboard_area(relay_core& core);
void keyboard_read(relay_core& core, ssize_t result, int error,
                   std::int64_t now);
[[nodiscard]] std::span<unsigned char> line_area(relay_core& core);
void line_read(relay_core& core, ssize_t result, int error, std::int64_t now);

// The steps of the actions: the keys the keyboard held, read into
// `keys_ahead_area`, before it turned cooked; the keyboard raw again; the
// modem status text, put in `text_area`; what the line's driver holds
// (TIOCOUTQ).
[[nodiscard]] std::span<unsigned char> keys_ahead_area(relay_core& core);
void keyboard_cooked(relay_core& core, std::size_t keys, std::int64_t now);
void keyboard_raw_again(relay_core& core, std::int64_t now);
[[nodiscard]] std::span<char, COMMAND_TEXT_SIZE> text_area(relay_core& core);
void show_text(relay_core& core, std::size_t length, std::int64_t now);
void driver_holds(relay_core& core, std::size_t bytes, std::int64_t now);

// The process went on after a stop; the wait failed (`what` is the message).
void continued(relay_core& core, std::int64_t now);
void relay_failed(relay_core& core, const char* what, int error);

// How the relay ended, once the plan says done.
[[nodiscard]] relay_end relay_result(const relay_core& core);

} // namespace serterm
