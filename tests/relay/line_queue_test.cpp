// Table tests of the queue for the line and its timing rules, on a clock the
// test sets, in milliseconds.
#include "relay/line_queue.hpp"

#include <gtest/gtest.h>
#include <vector>

namespace serterm {
namespace {

constexpr std::int64_t
ms(std::int64_t value)
{
  return value * 1000;
}

// A queue on storage of its own with `waiting` bytes in it.
struct test_queue {
  std::array<unsigned char, QUEUE_SIZE> storage{};
  line_queue q{.bytes = storage};
  explicit test_queue(std::size_t waiting)
  {
    std::vector<unsigned char> bytes(waiting, 'a');
    std::ignore = queue_typed(q, bytes);
  }
};

TEST(LineQueue, RoomAndDrops)
{
  const struct {
    std::size_t waiting;
    bool stalled;
    std::size_t room;
    std::size_t offered;
    std::size_t dropped;
  } rows[] = {
      {0, false, BUFFER_SIZE, BUFFER_SIZE, 0},
      {QUEUE_SIZE - 100, false, 100, 100, 0},
      {QUEUE_SIZE, false, 0, 0, 0},
      // Stalled, a whole buffer is read and what does not fit dropped.
      {QUEUE_SIZE - 100, true, BUFFER_SIZE, BUFFER_SIZE, BUFFER_SIZE - 100},
      {QUEUE_SIZE, true, BUFFER_SIZE, 10, 10},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.waiting);
    test_queue t(row.waiting);
    t.q.stalled = row.stalled;
    EXPECT_EQ(queue_room(t.q), row.room);
    std::vector<unsigned char> more(row.offered, 'b');
    EXPECT_EQ(queue_typed(t.q, more), row.offered - row.dropped);
    EXPECT_EQ(t.q.dropped, row.dropped);
    EXPECT_EQ(queue_waiting(t.q), row.waiting + row.offered - row.dropped);
  }
}

TEST(LineQueue, StallStartsAndEnds)
{
  // Bytes wait from a write at 0 ms that took `first` of 100; a second
  // write at `again` ms takes `second`; the stall is judged at `at` ms.
  const struct {
    std::size_t first;
    std::int64_t again;
    std::size_t second;
    std::int64_t at;
    bool stalled;
  } rows[] = {
      {0, 500, 0, 999, false}, // a second without taking: not yet
      {0, 500, 0, 1000, true},
      {0, 500, 10, 1499, false}, // took at 500 ms: a second from then
      {0, 500, 10, 1500, true},
      {0, 500, 100, 5000, false}, // nothing left to wait: never stalled
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.first << " " << row.at);
    test_queue t(100);
    queue_sent(t.q, row.first, ms(0));
    queue_sent(t.q, row.second, ms(row.again));
    advance_queue(t.q, ms(row.at));
    EXPECT_EQ(t.q.stalled, row.stalled);
    EXPECT_EQ(next_deadline(t.q, false, ms(row.at)),
              t.q.stalled || queue_waiting(t.q) == 0
                  ? -1
                  : ms(row.second > 0 ? row.again : 0) + STALL_US - ms(row.at));
  }
  // A stall ends with the first byte the line takes, before the next read
  // is sized, and the queue again takes no more than it has room for.
  test_queue t(QUEUE_SIZE);
  queue_sent(t.q, 0, ms(0));
  advance_queue(t.q, ms(1000));
  EXPECT_EQ(queue_room(t.q), BUFFER_SIZE);
  queue_sent(t.q, 1, ms(1500));
  EXPECT_FALSE(t.q.stalled);
  EXPECT_EQ(queue_room(t.q), 1U);
}

TEST(LineQueue, QuickKeyWindowAndHeldEscape)
{
  // An escape read at 0 ms with `before` bytes waiting ahead of it, the
  // window `window` ms; the line takes `sent` of them at `sent_at`; at `at`
  // ms the escape is in its window, held or due.
  const struct {
    std::size_t before;
    std::int64_t window;
    std::size_t sent;
    std::int64_t sent_at;
    std::int64_t at;
    escape_hold state;
    bool due;
  } rows[] = {
      {0, 100, 0, 0, 100, escape_hold::window, false},  // a key now is data
      {0, 100, 0, 0, 101, escape_hold::held, true},     // now it is not
      {50, 100, 0, 0, 500, escape_hold::held, false},   // behind bytes
      {50, 100, 50, 300, 500, escape_hold::held, true}, // once they are out
      {50, 100, 49, 300, 999, escape_hold::held, false},
      {50, 100, 0, 0, 1000, escape_hold::held, true},    // a second at most
      {0, 3000, 0, 0, 2000, escape_hold::window, false}, // a long window
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.before << " " << row.at);
    test_queue t(row.before);
    hold_escape(t.q, ms(0), ms(row.window));
    queue_sent(t.q, row.sent, ms(row.sent_at));
    advance_queue(t.q, ms(row.at));
    EXPECT_EQ(t.q.escape, row.state);
    EXPECT_EQ(escape_due(t.q, ms(row.at)), row.due);
  }
  // Bytes typed after the escape (its quick key) do not hold it up.
  test_queue t(10);
  hold_escape(t.q, ms(0), ms(100));
  std::vector<unsigned char> later(20, 'k');
  std::ignore = queue_typed(t.q, later);
  queue_sent(t.q, 10, ms(50));
  advance_queue(t.q, ms(200));
  EXPECT_TRUE(escape_due(t.q, ms(200)));
  // The wait wakes when the window closes, then when the escape falls due.
  test_queue behind(10);
  hold_escape(behind.q, ms(0), ms(100));
  EXPECT_EQ(next_deadline(behind.q, false, ms(0)), ms(100) + 1);
  advance_queue(behind.q, ms(101));
  EXPECT_EQ(next_deadline(behind.q, false, ms(101)), ms(1000 - 101));
  // A deadline already past wakes the wait at once.
  EXPECT_EQ(next_deadline(behind.q, false, ms(5000)), 0);
}

TEST(LineQueue, EndOfInput)
{
  // What the driver holds at each look, every 20 ms from 0 ms, once the
  // queue is empty; and how the run stands after the last look.
  const struct {
    std::vector<std::size_t> driver;
    std::size_t dropped;
    input_end result;
  } rows[] = {
      {{0}, 0, input_end::sent},
      {{0}, 3, input_end::unsent},
      {{4000, 3000, 2000, 0}, 0, input_end::sent}, // a moving line
      {{4000, 3000}, 0, input_end::waiting},
      // Stalled: 51 looks, the last a second after the first.
      {std::vector<std::size_t>(51, 4000), 0, input_end::unsent},
      {std::vector<std::size_t>(50, 4000), 0, input_end::waiting},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.driver.size());
    test_queue t(0);
    t.q.dropped = row.dropped;
    input_end result = input_end::waiting;
    std::int64_t at = 0;
    for (std::size_t held : row.driver) {
      result = end_of_input(t.q, held, at);
      at += DRIVER_POLL_US;
    }
    EXPECT_EQ(result, row.result);
  }
  // While the driver is looked at, the wait wakes for the next look.
  test_queue t(0);
  EXPECT_EQ(next_deadline(t.q, true, ms(7)), DRIVER_POLL_US);
}

} // namespace
} // namespace serterm
