// End-to-end tests that reading the keyboard in chunks behaves exactly like
// reading it one byte per pass: escape characters anywhere in a chunk, at its
// end, doubled, across read boundaries and before end of input; and the way
// out behind a paste on a slow or stalled line.
#include "support/session.hpp"

#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <thread>
#include <unistd.h>

namespace serterm::testing {
namespace {

constexpr char ESC = '\x1d';
const std::string E(1, ESC);

TEST(KeyboardChunks, EscapeEndingAChunkWaitsForTheNextKey)
{
  session s = start_session({"-t", "3000000"});
  type(s, "ab" + E);
  // The bytes before the escape go out at once; the escape waits.
  await(s, stream::line, "ab");
  settle(s, milliseconds(200));
  EXPECT_EQ(got(s, stream::line), "ab");
  type(s, "c");
  await(s, stream::line, "c");
  quit(s, {.line = "abc"});
}

TEST(KeyboardChunks, EscapeEndingAChunkOpensThePromptAfterItsBytes)
{
  session s = start_session({"-h1", "-t", "1000"});
  type(s, "ab" + E);
  await(s, stream::err, "serterm> ");
  ASSERT_TRUE(wait_terminal(s.keyboard.slave, is_cooked));
  // The half-duplex echo of the bytes before the escape came before the
  // prompt made the keyboard cooked.
  await(s, stream::screen, "ab");
  // The prompt's line is read whole and is not data.
  type(s, "x 43\n");
  ASSERT_TRUE(wait_terminal(s.keyboard.slave, is_raw));
  type(s, "d");
  await(s, stream::line, "abCd");
  quit(s,
       {.line = "abCd", .screen = "abx 43\r\nCd", .err = "\r\nserterm> \r\n"});
}

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
  for (std::size_t at = 20000; at < 20010; ++at) {
    keys[at] = ESC;
  }
  keys.replace(30000, 4, E + "\r" + E + "\n");
  const std::string line = sent_quickly(keys);

  session s = start_session({"-h1", "-r1", "-t", "1000000"});
  for (std::size_t at = 0; at < keys.size(); at += 16384) {
    type(s, std::string_view(keys).substr(at, 16384), milliseconds(60000));
  }
  await(s, stream::line, at_least(line.size()), milliseconds(60000));
  await(s, stream::screen, at_least(crlf_shown(line).size()));
  settle(s, milliseconds(100));
  quit(s, {.line = line,
           .screen = crlf_shown(line),
           .err = line_left_open(crlf_shown(line))});
}

// The device at the far end of the line, on a thread of its own: it reads
// `rate` bytes a second (0: none) until `stop`, then leaves what is left to
// the session's streams.
struct paced_device {
  session& s;
  int rate;
  std::string saw;
  std::atomic<bool> stop{false};
  std::thread thread{[this] {
    auto started = steady::now();
    while (!stop) {
      std::this_thread::sleep_for(milliseconds(10));
      auto due = static_cast<std::size_t>(rate * (steady::now() - started) /
                                          std::chrono::seconds(1));
      std::array<char, 4096> chunk;
      ssize_t n = due > saw.size()
                      ? read(s.line.master, chunk.data(),
                             std::min(chunk.size(), due - saw.size()))
                      : 0;
      saw.append(chunk.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
    }
  }};
  paced_device(session& run, int bytes_per_s) : s(run), rate(bytes_per_s)
  {
    s.fds[0] = -1;
  }
  ~paced_device()
  {
    stop = true;
    thread.join();
    got(s, stream::line) = saw;
    s.fds[0] = s.line.master;
    take(s);
  }
};

TEST(KeyboardChunks, StalledLineStillLetsTheUserOut)
{
  // The device never reads: what the line and the queue cannot hold stays
  // in the keyboard until the line has taken nothing for a second; then
  // what does not fit is dropped and the escape character gets through.
  for (std::size_t size : {24U * 1024, 120U * 1024}) {
    session s = start_session({"-t", "1000"});
    s.fds[0] = -1;
    std::string paste = random_bytes(size, 3, ESC);
    type(s, paste + E, milliseconds(30000));
    await(s, stream::err, "serterm> ");
    // Nothing is sent at the prompt: what the line got is final.
    s.fds[0] = s.line.master;
    take(s);
    std::string line = got(s, stream::line);
    EXPECT_EQ(difference(line, paste.substr(0, line.size())), "");
    type(s, "q\n");
    end_session(s, {.line = line,
                    .screen = "q\r\n",
                    .err = "serterm> serterm: bytes not sent to the line: " +
                           std::to_string(size - line.size()) + "\n"});
  }
}

TEST(KeyboardChunks, QuitBehindAPasteOnASlowOrStalledLine)
{
  // Control-] 0.2 s into a paste that is still going out, then q and Enter
  // typed before the prompt shows (or Enter at it): serterm quits within a
  // second of the escape, and counts exactly what the line never took.
  const struct {
    int rate;
    int q_after_ms;
    bool enter_at_prompt;
  } rows[] = {
      {4000, 500, false}, {0, 400, false}, {0, 400, false},
      {0, 400, false},    {0, 400, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.rate) + " bytes/s");
    session s = start_session({});
    std::string paste = random_bytes(40 * 1024, 17, ESC);
    std::optional<paced_device> device;
    device.emplace(s, row.rate);
    auto started = steady::now();
    type(s, paste);
    std::this_thread::sleep_until(started + milliseconds(200));
    type(s, E);
    std::this_thread::sleep_for(milliseconds(row.q_after_ms));
    type(s, row.enter_at_prompt ? "q" : "q\r");
    if (row.enter_at_prompt) {
      // Enter once the prompt shows with the q typed ahead of it.
      await(s, stream::err, "serterm> ");
      await(s, stream::screen, "q");
      ASSERT_TRUE(wait_terminal(s.keyboard.slave, is_cooked));
      type(s, "\r");
    }
    auto q_at = steady::now();
    EXPECT_TRUE(eventually([&s] { return has_ended(s.pid); }));
    EXPECT_LT(steady::now() - q_at, milliseconds(2000));
    device.reset();
    std::string line = got(s, stream::line);
    EXPECT_EQ(difference(line, paste.substr(0, line.size())), "");
    EXPECT_LT(line.size(), paste.size());
    end_session(s, {.line = line,
                    .screen = "q\r\n",
                    .err = "serterm> serterm: bytes not sent to the line: " +
                           std::to_string(paste.size() - line.size()) + "\n"});
  }
}

TEST(KeyboardChunks, StallThatEndsLosesOnlyWhatCameDuringIt)
{
  // The device stops reading for 1.5 s in the middle of a paste: what came
  // during the stall and did not fit is dropped, one hole, counted; once
  // the line takes a byte again, every byte typed after that arrives. The
  // keys after the stall are typed while serterm is stopped, so that they
  // are there in the very pass in which the line takes bytes again.
  std::string paste = random_bytes(256 * 1024, 21, ESC);
  const std::size_t before = 32 * 1024;
  const std::size_t during = 160 * 1024;
  session s = start_session({});
  type(s, paste.substr(0, before));
  await(s, stream::line, at_least(before));
  s.fds[0] = -1;
  auto stalled = steady::now();
  type(s, paste.substr(before, during), milliseconds(30000));
  settle(s, std::chrono::duration_cast<milliseconds>(
                milliseconds(1500) - (steady::now() - stalled)));
  stop(s);
  s.fds[0] = s.line.master;
  take(s);
  const std::size_t after = before + during;
  type(s, paste.substr(after, 8192));
  ASSERT_EQ(kill(s.pid, SIGCONT), 0);
  type(s, paste.substr(after + 8192));
  settle(s, milliseconds(500));
  std::string line = got(s, stream::line);
  // One hole from `from` to `to`, all of it among the bytes of the stall.
  std::size_t from = 0;
  while (from < line.size() && line[from] == paste[from]) {
    ++from;
  }
  std::size_t to = paste.size() - (line.size() - from);
  EXPECT_EQ(difference(line.substr(from), paste.substr(to)), "");
  EXPECT_GE(from, before);
  EXPECT_LE(to, after);
  EXPECT_GT(to, from) << "nothing was dropped: the queue never filled";
  open_prompt(s);
  type(s, "q\n");
  end_session(s, {.line = line,
                  .screen = "q\r\n",
                  .err = "serterm> serterm: bytes not sent to the line: " +
                         std::to_string(to - from) + "\n"});
}

TEST(KeyboardChunks, PromptOverWaitingBytesQueuesBehindThem)
{
  session s = start_session({"-t", "1000"});
  // Output on the line stopped: it takes nothing of what comes next.
  ASSERT_EQ(tcflow(s.line.slave, TCOOFF), 0);
  type(s, "ab" + E);
  // The escape waits behind "ab" until the line has stalled.
  settle(s, milliseconds(300));
  EXPECT_EQ(got(s, stream::err), "");
  await(s, stream::err, "serterm> ");
  type(s, "x 41 42\n");
  ASSERT_TRUE(wait_terminal(s.keyboard.slave, is_raw));
  EXPECT_EQ(got(s, stream::line), "");
  ASSERT_EQ(tcflow(s.line.slave, TCOON), 0);
  await(s, stream::line, "abAB");
  quit(s, {.line = "abAB", .screen = "x 41 42\r\n", .err = "serterm> "});
}

TEST(KeyboardChunks, EndOfInputWaitsForEveryByteBeforeIt)
{
  // 60 kB in a closed pipe, the line unread for half a second: less than a
  // stall, so all of it must still arrive, and the run exits 0.
  std::string paste = random_bytes(60 * 1024, 13, ESC);
  session s = start_session({}, {.keyboard_input = paste});
  s.fds[0] = -1;
  settle(s, milliseconds(500));
  s.fds[0] = s.line.master;
  end_session(s, {.line = paste});
  // Never read: once the line has taken nothing for a second, what it did
  // not take is counted and the run fails.
  s = start_session({}, {.keyboard_input = paste});
  s.fds[0] = -1;
  EXPECT_TRUE(eventually([&s] { return has_ended(s.pid); }));
  s.fds[0] = s.line.master;
  take(s);
  std::string line = got(s, stream::line);
  EXPECT_EQ(difference(line, paste.substr(0, line.size())), "");
  end_session(s, {.line = line,
                  .err = "serterm: bytes not sent to the line: " +
                         std::to_string(paste.size() - line.size()) + "\n",
                  .exit_code = 1});
}

TEST(KeyboardChunks, EscapeBeforeEndOfInput)
{
  const struct {
    std::string keys;
    std::string line;
  } rows[] = {
      {"ab" + E + "c", "abc"},    // quick key, then end of input
      {"ab" + E, "ab"},           // escape last: end of input, no prompt
      {"ab" + E + E, "ab" + E},   // doubled escape is data
      {"a" + E + E + E, "a" + E}, // a third escape meets end of input
      {E + "q\n", "q\n"},         // the quick key is data, not a command
      {"x" + E + E + E + "y", "x" + E + "y"},
      {"ab" + E + "cd" + E + E + "e", "abcd" + E + "e"}, // escapes inside
      {"1" + E + E + "2" + E + E + E + "3" + E + E + E + E + "4",
       "1" + E + "2" + E + "3" + E + E + "4"}, // runs of escapes pair up
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.line, sent_quickly(row.keys));
    session s = start_session({"-t", "2000000"}, {.keyboard_input = row.keys,
                                                  .wait_for_setup = false});
    end_session(s, {.line = row.line});
  }
}

} // namespace
} // namespace serterm::testing
