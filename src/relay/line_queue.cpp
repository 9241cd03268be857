// The queue of bytes for the line and its timing rules.
#include "relay/line_queue.hpp"

#include <algorithm>
#include <climits>

namespace serterm {

std::size_t
queue_waiting(const line_queue& q)
{
  return q.end - q.start;
}

std::span<const unsigned char>
queue_data(const line_queue& q)
{
  return std::span<const unsigned char>(q.bytes).subspan(q.start,
                                                         q.end - q.start);
}

std::size_t
queue_room(const line_queue& q)
{
  if (q.stalled) {
    return BUFFER_SIZE;
  }
  return std::min(BUFFER_SIZE, q.bytes.size() - queue_waiting(q));
}

std::size_t
queue_typed(line_queue& q, std::span<const unsigned char> data)
{
  if (q.start == q.end) {
    q.start = q.end = 0;
  } else if (q.end + data.size() > q.bytes.size() && q.start != 0) {
    std::copy(q.bytes.begin() + static_cast<long>(q.start),
              q.bytes.begin() + static_cast<long>(q.end), q.bytes.begin());
    q.end -= q.start;
    q.start = 0;
  }
  std::size_t taken = std::min(data.size(), q.bytes.size() - q.end);
  std::copy_n(data.begin(), taken, q.bytes.begin() + static_cast<long>(q.end));
  q.end += taken;
  q.dropped += data.size() - taken;
  return taken;
}

void
queue_sent(line_queue& q, std::size_t count, std::int64_t now)
{
  count = std::min(count, queue_waiting(q));
  q.start += count;
  q.before_escape -= std::min(q.before_escape, count);
  if (count > 0) {
    q.stalled = false;
  }
  if (q.start == q.end) {
    q.timed = false;
  } else if (count > 0 || !q.timed) {
    q.timed = true;
    q.last_taken_us = now;
  }
}

void
queue_resume(line_queue& q, std::int64_t now)
{
  q.last_taken_us = now;
}

void
hold_escape(line_queue& q, std::int64_t now, std::int64_t window_us)
{
  q.escape = escape_hold::window;
  q.escape_read_us = now;
  q.window_us = window_us;
  q.before_escape = queue_waiting(q);
}

void
advance_queue(line_queue& q, std::int64_t now)
{
  if (q.timed && !q.stalled && queue_waiting(q) != 0 &&
      now - q.last_taken_us >= STALL_US) {
    q.stalled = true;
  }
  if (q.escape == escape_hold::window && now - q.escape_read_us > q.window_us) {
    q.escape = escape_hold::held;
  }
}

bool
escape_due(const line_queue& q, std::int64_t now)
{
  return q.escape == escape_hold::held &&
         (q.before_escape == 0 || now - q.escape_read_us >= STALL_US);
}

input_end
end_of_input(line_queue& q, std::size_t driver, std::int64_t now)
{
  if (driver == 0) {
    q.timed = false;
    return q.dropped == 0 ? input_end::sent : input_end::unsent;
  }
  if (!q.timed || driver < q.driver_left) {
    q.timed = true;
    q.last_taken_us = now;
  }
  q.driver_left = driver;
  if (now - q.last_taken_us >= STALL_US) {
    q.stalled = true;
    return input_end::unsent;
  }
  return input_end::waiting;
}

int
next_deadline(const line_queue& q, bool input_ended, std::int64_t now)
{
  std::int64_t next = -1;
  auto consider = [&next](std::int64_t at) {
    next = next < 0 ? at : std::min(next, at);
  };
  if (q.escape == escape_hold::window) {
    consider(q.escape_read_us + q.window_us + 1);
  } else if (q.escape == escape_hold::held && q.before_escape != 0) {
    consider(q.escape_read_us + STALL_US);
  }
  if (q.timed && !q.stalled) {
    consider(q.last_taken_us + STALL_US);
  }
  if (input_ended && queue_waiting(q) == 0) {
    consider(now + DRIVER_POLL_US);
  }
  if (next < 0) {
    return -1;
  }
  return static_cast<int>(std::clamp<std::int64_t>(next - now, 0, INT_MAX));
}

} // namespace serterm
