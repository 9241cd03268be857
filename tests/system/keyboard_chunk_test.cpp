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

// A CR not followed by LF in the whole stream shows as CR LF.
std::string
mapped_whole(std::string_view text)
{
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) {
      out += '\n';
    }
  }
  return out;
}

// Types `keys` in one write, well within the escape time-out, and checks
// that the line gets them as if typed one at a time, and no prompt opens.
void
expect_sent_quickly(const std::string& keys, const std::string& expected)
{
  // A prompt opened by mistake would hold the rest back.
  session s = start_session({"-t", "1000000"});
  ASSERT_EQ(sent_quickly(keys), expected);
  type(s, keys);
  await(s, stream::line, expected);
  settle(s, milliseconds(100));
  quit(s, {.line = expected});
}

TEST(KeyboardChunks, EscapeInsideAChunkSendsTheNextByte)
{
  expect_sent_quickly("ab" + E + "cd" + E + E + "e", "abcd" + E + "e");
}

TEST(KeyboardChunks, RunsOfEscapesPairUpInOrder)
{
  // Two escapes send one; a third escape takes the key after it.
  expect_sent_quickly("1" + E + E + "2" + E + E + E + "3" + E + E + E + E + "4",
                      "1" + E + "2" + E + "3" + E + E + "4");
}

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
  await(s, stream::screen, at_least(mapped_whole(line).size()));
  settle(s, milliseconds(100));
  quit(s, {.line = line, .screen = mapped_whole(line)});
}

TEST(KeyboardChunks, EscapeAfterAStalledPasteWaitsUntilThePasteIsOut)
{
  session s = start_session({"-t", "1000"});
  std::mt19937 random(9);
  std::string paste(256 * 1024, '\0');
  for (char& c : paste) {
    c = static_cast<char>(random() % 26 + 'a');
  }
  bool written = false;
  std::thread typist([&] {
    written =
        write_all_bounded(s.keyboard.master, paste + ESC, milliseconds(30000));
  });
  // With the line unread its queue fills; the escape must not open the
  // prompt while the bytes typed before it are still waiting.
  s.fds[0] = -1;
  settle(s, milliseconds(500));
  EXPECT_EQ(got(s, stream::err), "");
  s.fds[0] = s.line.master;
  await(s, stream::line, at_least(paste.size()), milliseconds(30000));
  typist.join();
  EXPECT_TRUE(written);
  await(s, stream::err, "serterm> ");
  ASSERT_TRUE(wait_terminal(s.keyboard.slave, is_cooked));
  type(s, "q\n");
  end_session(s, {.line = paste, .screen = "q\r\n", .err = "serterm> "});
}

TEST(KeyboardChunks, EscapeWaitsWhileTheLineHoldsBytesTypedBeforeIt)
{
  session s = start_session({"-t", "1000"});
  // Output on the line stopped: it takes nothing of what comes next.
  ASSERT_EQ(tcflow(s.line.slave, TCOOFF), 0);
  type(s, "ab" + E);
  settle(s, milliseconds(300));
  EXPECT_EQ(got(s, stream::err), "");
  EXPECT_EQ(got(s, stream::line), "");
  ASSERT_EQ(tcflow(s.line.slave, TCOON), 0);
  await(s, stream::line, "ab");
  await(s, stream::err, "serterm> ");
  ASSERT_TRUE(wait_terminal(s.keyboard.slave, is_cooked));
  type(s, "x 43\n");
  await(s, stream::line, "C");
  ASSERT_TRUE(wait_terminal(s.keyboard.slave, is_raw));
  quit(s, {.line = "abC", .screen = "x 43\r\n", .err = "serterm> "});
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
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.line, sent_quickly(row.keys));
    int keys[2];
    ASSERT_EQ(pipe(keys), 0);
    ASSERT_TRUE(write_all_bounded(keys[1], row.keys));
    close(keys[1]);
    session s = start_session({"-t", "2000000"},
                              {.keyboard = keys[0], .wait_for_setup = false});
    close(keys[0]);
    end_session(s, {.line = row.line});
  }
}

} // namespace
} // namespace serterm::testing
