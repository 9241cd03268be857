// End-to-end tests that reading the keyboard in chunks behaves exactly like
// reading it one byte per pass: escape characters anywhere in a chunk, at its
// end, doubled, across read boundaries and before end of input.
#include "support/session.hpp"

#include <gtest/gtest.h>
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
  quit(s, {.line = "abCd", .screen = "abx 43\r\nCd", .err = "serterm> "});
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
  quit(s, {.line = line, .screen = crlf_shown(line)});
}

TEST(KeyboardChunks, StalledLineStillLetsTheUserOut)
{
  // The device never reads: once the line has taken nothing for a second,
  // what does not fit is dropped and the escape character gets through.
  for (std::size_t size : {24U * 1024, 68U * 1024}) {
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
  // stall, so all of it must still arrive.
  std::string paste = random_bytes(60 * 1024, 13, ESC);
  session s = start_session({}, {.keyboard_input = paste});
  s.fds[0] = -1;
  settle(s, milliseconds(500));
  s.fds[0] = s.line.master;
  end_session(s, {.line = paste});
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
