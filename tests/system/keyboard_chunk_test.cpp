// End-to-end tests of typed keys read in chunks: a paste far larger than one
// read with escape characters anywhere, and the way out behind a paste, a
// flood or a screen nobody reads, as a real terminal shows it.
#include "support/session.hpp"

#include <csignal>
#include <gtest/gtest.h>
#include <random>
#include <regex>

namespace serterm::testing {
namespace {

constexpr char ESC = '\x1d';
const std::string E(1, ESC);

TEST(KeyboardChunks, AnyReadSplitGivesTheSameBytesAndEcho)
{
  // Escapes right at and around the places where reads of 4096 and 8192
  // bytes split a paste, doubled escapes, and CR/LF pairs for the echo's
  // mapping, in a paste far larger than one read.
  std::mt19937 random(5);
  std::string keys(96 * 1024, '\0');
  for (char& c : keys) {
    auto byte = static_cast<char>(random() % 96 + 32);
    c = random() % 16 == 0 ? '\r' : random() % 16 == 0 ? '\n' : byte;
  }
  for (std::size_t at : {4094U, 4095U, 4096U, 8190U, 8191U, 8192U, 8193U,
                         12287U, 16383U, 16384U, 65535U}) {
    keys[at] = ESC;
  }
  keys.replace(20000, 10, 10, ESC);
  keys.replace(30000, 4, E + "\r" + E + "\n");
  const std::string line = sent_quickly(keys);

  // A quick-key window that no run reaches the end of: however slowly the
  // pieces are typed, an escape that ends one read is the quick key's.
  session s = start_session({"-h1", "-r1", "-t", "2147483647"});
  type(s, keys, milliseconds(6 * 60000));
  await(s, stream::line, at_least(line.size()), milliseconds(60000));
  await(s, stream::screen, at_least(crlf_shown(line).size()));
  ASSERT_EQ(kill(s.pid, SIGTERM), 0);
  end_session(s, {.line = line, .screen = crlf_shown(line), .signal = SIGTERM});
}

// True if `echo` is `paste` with bytes left out (an echo that found no room
// is dropped) and then, if the terminal could show it yet, its own echo of
// q and Enter.
bool
echo_of(std::string_view echo, std::string_view paste)
{
  if (echo.ends_with("q\r\n")) {
    echo.remove_suffix(3);
  }
  std::size_t at = 0;
  for (char c : echo) {
    at = paste.find(c, at);
    if (at++ == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

// The way out behind a paste: its far ends, the keys typed after the escape
// (half a second after it was read, or once the prompt shows, or at once on
// a line that takes nothing), what the user's terminal shows from the prompt
// on, and how soon after the escape serterm ends.
struct way_out_case : named_row {
  std::vector<std::string> options;
  bool err_on_keyboard;
  long line_rate;   // bytes a second the device reads; 0: the line takes none
  long screen_rate; // bytes a second the screen is read; -1: all there is
  bool flood;       // the device sends all the time
  std::size_t paste;
  std::string keys;
  std::string err; // from the prompt on; N stands for the count
  milliseconds within;
};

// clang-format off
const way_out_case WAYS_OUT[] = {
    // The screen and standard error share a terminal that a flood fills:
    // the prompt and the count wait for it and arrive whole.
    {{"FloodedScreenReadSlowly"}, {}, true, 0, 50000, true, 40000, "q\r",
     "\r\nserterm> q\r\nserterm: bytes not sent to the line: N\r\n", milliseconds(3000)},
    // The echo of more than the screen's queue holds waits behind a screen
    // nobody reads; the keys, once it has taken nothing for a second, do
    // not. The keys typed at the prompt.
    {{"HalfDuplexBehindAScreenNeverRead"}, {"-h1"}, false, -1, 0, true, 40000, "q\r",
     "\r\nserterm> ", milliseconds(3000)},
    {{"PasteIntoASlowLine"}, {}, false, 20000, -1, false, 256 * 1024, "q\r",
     "serterm> q\nserterm: bytes not sent to the line: N\n", milliseconds(2500)},
    // Typed before the prompt shows, on a stalled line: edited as the
    // terminal would, end of input and the kill key included. No quick-key
    // window: the keys after the escape are the prompt's.
    {{"EndOfInputTypedAhead"}, {"-t", "1"}, false, 0, -1, false, 40000, "\x04",
     "serterm> \nserterm: EOF encountered\nserterm: bytes not sent to the line: N\n",
     milliseconds(3000)},
    {{"KillTypedAhead"}, {"-t", "1"}, false, 0, -1, false, 40000, "zz\x15q\r",
     "serterm> q\nserterm: bytes not sent to the line: N\n", milliseconds(3000)},
    // More than the queue holds: once the line has stalled, the rest is
    // dropped and counted.
    {{"FullQueueOnAStalledLine"}, {"-t", "1"}, false, 0, -1, false, 1100 * 1024, "q\r",
     "serterm> q\nserterm: bytes not sent to the line: N\n", milliseconds(3000)},
};
// clang-format on

class WayOut : public ::testing::TestWithParam<way_out_case> {};

TEST_P(WayOut, BehindAPaste)
{
  const way_out_case& row = GetParam();
  session s =
      start_session(row.options, {.err_on_keyboard = row.err_on_keyboard});
  pace(s, stream::line, row.line_rate);
  pace(s, stream::screen, row.screen_rate);
  // A device that reads nothing: the pty would otherwise take some 64 KiB.
  ASSERT_TRUE(row.line_rate != 0 || tcflow(s.line.slave, TCOOFF) == 0);
  // The device floods with a byte no paste holds.
  s.flood = row.flood ? std::string(4096, ESC) : "";
  std::string paste = random_bytes(row.paste, 17, ESC);
  bool stalled = row.line_rate == 0 && !row.flood;
  if (stalled) {
    // Nothing else to read: serterm's read count tells when it has read
    // the paste, then the escape.
    type_and_await_read(s, paste);
  } else {
    type(s, paste, milliseconds(30000));
  }
  auto escaped = steady::now();
  bool echoes = row.options == std::vector<std::string>{"-h1"};
  if (row.flood) {
    // The flood's reads hide the escape's: the prompt says it was read.
    type(s, E);
    await(s, row.err_on_keyboard ? stream::screen : stream::err, "serterm> ");
  } else {
    type_and_await_read(s, E);
    // On a line that takes something, the quick-key window over by the
    // time the keys come, however late serterm reads them.
    if (!stalled) {
      settle(s, milliseconds(500));
    }
  }
  type(s, row.keys);
  if (stalled) {
    // The escape read and held behind a line that takes nothing, the keys
    // after it left in the terminal: nothing to do but wait for the
    // deadline.
    expect_idle(s);
  }
  EXPECT_TRUE(take_until_ended(s));
  EXPECT_LT(steady::now() - escaped, row.within) << "the way out's bound";
  s.flood.clear();
  pace(s, stream::line, -1);
  pace(s, stream::screen, -1);
  take(s);
  // The line got the start of the paste, never the keys.
  std::string line = paste.substr(0, got(s, stream::line).size());
  std::string err = std::regex_replace(
      row.err, std::regex("N"), std::to_string(paste.size() - line.size()));
  // The screen shows the flood, then, on the same terminal, the prompt;
  // in half-duplex mode the echo of what was typed among the flood.
  std::string shown = got(s, stream::screen);
  std::erase(shown, ESC);
  EXPECT_TRUE(echoes ? echo_of(shown, paste)
                     : shown == (row.err_on_keyboard ? err : ""))
      << printable(shown.substr(0, 200));
  end_session(s, {.line = line,
                  .screen = got(s, stream::screen),
                  .err = row.err_on_keyboard ? "" : err});
}

INSTANTIATE_TEST_SUITE_P(KeyboardChunks, WayOut, ::testing::ValuesIn(WAYS_OUT),
                         by_name);

} // namespace
} // namespace serterm::testing
