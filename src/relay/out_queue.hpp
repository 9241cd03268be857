// A queue of bytes waiting for one descriptor, and the clock that tells when
// that descriptor has stalled. Pure: the time, in microseconds of a
// monotonic clock, is an argument.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace serterm {

// A descriptor that has taken nothing for this long while bytes wait for it
// has stalled, unless its queue says longer.
inline constexpr std::int64_t STALL_US = 1000000;

struct out_queue {
  // The bytes, oldest at `start`, in storage of any size that its owner
  // leaves uninitialised, so that pages never used cost no memory.
  std::span<unsigned char> bytes;
  std::size_t start = 0;
  std::size_t end = 0;
  // Bytes that found no room.
  std::size_t dropped = 0;
  // The last write left bytes waiting: the next waits for room.
  bool blocked = false;
  bool stalled = false;
  // Since when the descriptor has taken nothing while bytes wait: from the
  // first write that left them waiting, or the last that took any; -1 while
  // the clock does not run. It stalls `stall_us` later.
  std::int64_t since_us = -1;
  std::int64_t stall_us = STALL_US;
};

// Inline: the relay asks these of every queue on every pass.
[[nodiscard]] inline std::size_t
waiting(const out_queue& q)
{
  return q.end - q.start;
}

// The bytes that wait, oldest first.
[[nodiscard]] inline std::span<const unsigned char>
waiting_bytes(const out_queue& q)
{
  return std::span<const unsigned char>(q.bytes).subspan(q.start, waiting(q));
}

// How many more bytes the queue holds.
[[nodiscard]] inline std::size_t
room(const out_queue& q)
{
  return q.bytes.size() - waiting(q);
}

// Appends what fits of `data` and counts the rest as dropped. Returns the
// number of bytes appended.
std::size_t append(out_queue& q, std::span<const unsigned char> data);

// Records that a write of the waiting bytes took `count` of them at `now`:
// any taken end a stall, and fewer than all leave the queue blocked.
void took(out_queue& q, std::size_t count, std::int64_t now);

// Drops every waiting byte, counting them.
void drop_waiting(out_queue& q);

// When the queue stalls if the descriptor takes nothing before then, or -1.
[[nodiscard]] inline std::int64_t
stall_at(const out_queue& q)
{
  return q.since_us >= 0 && !q.stalled ? q.since_us + q.stall_us : -1;
}

// Marks the queue stalled if its time has come at `now`. Returns whether it
// stalled now.
bool check_stall(out_queue& q, std::int64_t now);

} // namespace serterm
