// A queue of bytes for one descriptor and its stall clock.
#include "relay/out_queue.hpp"

#include <algorithm>
#include <cstring>

namespace serterm {

std::size_t
append(out_queue& q, std::span<const unsigned char> data)
{
  // Moved to the front once no more than what has left the front: each byte
  // is moved at most once on average, and the pages in use stay within
  // twice what waits.
  std::size_t held = waiting(q);
  if (q.start != 0 &&
      (held <= q.start || q.end + data.size() > q.bytes.size())) {
    std::memmove(q.bytes.data(), q.bytes.data() + q.start, held);
    q.start = 0;
    q.end = held;
  }
  std::size_t fits = std::min(data.size(), q.bytes.size() - q.end);
  std::copy_n(data.begin(), fits, q.bytes.begin() + static_cast<long>(q.end));
  q.end += fits;
  q.dropped += data.size() - fits;
  return fits;
}

void
took(out_queue& q, std::size_t count, std::int64_t now)
{
  count = std::min(count, waiting(q));
  q.start += count;
  q.stalled = q.stalled && count == 0;
  q.blocked = q.start != q.end;
  if (!q.blocked) {
    q.start = q.end = 0;
    q.since_us = -1;
  } else if (count > 0 || q.since_us < 0) {
    q.since_us = now;
  }
}

void
drop_waiting(out_queue& q)
{
  q.dropped += waiting(q);
  q.start = q.end = 0;
  q.blocked = false;
  q.since_us = -1;
}

bool
check_stall(out_queue& q, std::int64_t now)
{
  std::int64_t at = stall_at(q);
  q.stalled = q.stalled || (at >= 0 && now >= at);
  return at >= 0 && q.stalled;
}

} // namespace serterm
