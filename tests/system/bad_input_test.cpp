// End-to-end tests of bad or unusual input: a slow standard output (a
// keyboard pipe, and standard descriptors closed, /dev/null or full, end
// the run: they are ways out), numbers at and beyond the int range, every
// byte value, and over-long prompt lines. Each has one clear outcome.
#include "support/session.hpp"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace serterm::testing {
namespace {

TEST(BadInput, HexdumpToASlowNonBlockingPipeArrivesWhole)
{
  // Standard output a small non-blocking pipe that nobody reads for a while:
  // serterm waits for it without spinning, and the hex text of every byte
  // value, then random ones, arrives whole and in order.
  int out[2] = {-1, -1};
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  EXPECT_GT(fcntl(out[1], F_SETPIPE_SZ, 4096), 0);
  EXPECT_TRUE(set_nonblocking(out[1]) && set_nonblocking(out[0]));
  session s = start_session({"-d1", "-t", "5000000"}, {.out = out[1]});
  close(out[1]);
  // Little enough for the line to hold whatever serterm has read of it: its
  // hex text is still six times the pipe.
  std::string data = all_bytes() + random_bytes(8 * 1024 - 256, 3);
  send(s, data);
  settle(s, milliseconds(100));
  expect_idle(s);
  s.fds[2] = out[0];
  await(s, stream::out, at_least(3 * data.size()));
  ASSERT_EQ(kill(s.pid, SIGTERM), 0);
  end_session(s, {.out = hex_text(data), .signal = SIGTERM});
}

TEST(BadInput, TimeoutsAtAndBeyondTheIntRange)
{
  // Huge timeouts still relay (negative ones are ways out). Beyond the int
  // range the option scan saturates to its maximum (see its table), the
  // same time-out as the first.
  for (const char* big : {"2147483647", "1000000"}) {
    SCOPED_TRACE(big);
    session s = start_session({"-t", big});
    send(s, "in");
    await(s, stream::screen, "in");
    type(s, "out");
    await(s, stream::line, "out");
    ASSERT_EQ(kill(s.pid, SIGTERM), 0);
    end_session(s, {.line = "out", .screen = "in", .signal = SIGTERM});
  }
}

TEST(BadInput, EveryByteValueTypedAndReceived)
{
  const std::string all = all_bytes();
  session s = start_session({});
  // The escape character itself goes to the line as two quick escapes.
  type(s, std::string(all).insert(0x1d, 1, '\x1d'));
  await(s, stream::line, at_least(256));
  send(s, all);
  await(s, stream::screen, at_least(256));
  settle(s, milliseconds(50));
  ASSERT_EQ(kill(s.pid, SIGTERM), 0);
  end_session(s, {.line = all, .screen = all, .signal = SIGTERM});
}

TEST(BadInput, PromptLineAtTheBufferBoundary)
{
  // 8191 characters, newline included, fit the prompt's buffer whole. Two
  // characters more and the line is refused whole: run cut, its last pair
  // would lose a digit and send a wrong byte.
  for (std::size_t blanks : {8187U, 8189U}) {
    SCOPED_TRACE(blanks);
    session s = start_session({"-t", "1"}, {.keyboard = PIPE});
    type(s, "a\x1d");
    await(s, stream::err, "serterm> ");
    type(s, std::string("x").append(blanks, ' ').append("41\nz"));
    end_input(s);
    bool fits = blanks == 8187U;
    end_session(s, {.line = fits ? "aAz" : "az",
                    .err = fits ? "serterm> "
                                : "serterm> serterm: command line too long\n"});
  }
}

} // namespace
} // namespace serterm::testing
