// The bytes typed for the line that it has not taken yet, and the timing
// rules around them: room, stalls, the escape character held behind them
// and the quick key after it. Pure: every rule takes the time, in
// microseconds of a monotonic clock, as an argument.
#pragma once

#include "common/common.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace serterm {

// As much as a terminal's input buffer holds: an escape typed after a paste
// of this size is still read at once.
inline constexpr std::size_t QUEUE_SIZE = 8 * BUFFER_SIZE;

// A line that has taken nothing for this long while bytes wait has stalled;
// an escape character held behind bytes that still wait takes effect this
// long after it was read.
inline constexpr std::int64_t STALL_US = 1000000;

// How often the driver's own queue is looked at once input has ended.
inline constexpr std::int64_t DRIVER_POLL_US = 20000;

// Where an escape character read at the end of a chunk stands: in its
// quick-key window (the next key is data), held for the prompt, or none.
enum class escape_hold { none, window, held };

struct line_queue {
  // The bytes, oldest at `start`, in storage of any size. Left
  // uninitialised by its owner, so that pages never used cost no memory.
  std::span<unsigned char> bytes;
  std::size_t start = 0;
  std::size_t end = 0;
  std::size_t dropped = 0;
  bool stalled = false;
  // Whether `last_taken_us` runs: while bytes wait, from the first write
  // that left them waiting, or the last one that took any.
  bool timed = false;
  std::int64_t last_taken_us = 0;
  escape_hold escape = escape_hold::none;
  std::int64_t escape_read_us = 0;
  std::int64_t window_us = 0;
  // Bytes queued before the held escape character, still to go out.
  std::size_t before_escape = 0;
  // What the line's driver held when last looked at, once input has ended.
  std::size_t driver_left = 0;
};

[[nodiscard]] std::size_t queue_waiting(const line_queue& q);

// The bytes that wait, oldest first.
[[nodiscard]] std::span<const unsigned char> queue_data(const line_queue& q);

// How many typed bytes may be read for the queue now: what it has free,
// or, once the line has stalled, a whole buffer, what does not fit being
// dropped.
[[nodiscard]] std::size_t queue_room(const line_queue& q);

// Appends what fits of `data` and counts the rest as dropped. Returns the
// number of bytes appended.
std::size_t queue_typed(line_queue& q, std::span<const unsigned char> data);

// Records that the line took `count` of the waiting bytes at `now` (read
// only when bytes still wait afterwards): any bytes taken end a stall.
void queue_sent(line_queue& q, std::size_t count, std::int64_t now);

// Restarts the stall clock at `now`: time spent at the prompt is not time
// the line took nothing.
void queue_resume(line_queue& q, std::int64_t now);

// An escape character was read at `now` as the last typed byte: a key read
// within `window_us` after it is data; otherwise the escape is held for the
// prompt.
void hold_escape(line_queue& q, std::int64_t now, std::int64_t window_us);

// Advances the rules to `now`: a line that has taken nothing for STALL_US
// while bytes wait has stalled, and a quick-key window that has passed
// closes.
void advance_queue(line_queue& q, std::int64_t now);

// True when the held escape character takes effect at `now`: its window has
// closed, and the bytes typed before it have gone or it was read STALL_US
// ago.
[[nodiscard]] bool escape_due(const line_queue& q, std::int64_t now);

// How an ended input stands: the line still taking bytes, everything sent,
// or bytes dropped or left with a line that took nothing for STALL_US.
enum class input_end { waiting, sent, unsent };

// With the keyboard's input ended and nothing left in the queue: `driver`
// is what the line's driver still holds for it at `now`.
[[nodiscard]] input_end end_of_input(line_queue& q, std::size_t driver,
                                     std::int64_t now);

// Microseconds from `now` until a rule may change (the window closing, the
// escape falling due, a stall, the driver's next look), at most INT_MAX;
// -1 for never. `input_ended`: the driver's queue is being waited for.
[[nodiscard]] int next_deadline(const line_queue& q, bool input_ended,
                                std::int64_t now);

} // namespace serterm
