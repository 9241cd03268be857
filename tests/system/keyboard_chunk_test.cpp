// End-to-end tests that reading the keyboard in chunks behaves exactly like
// reading it one byte per pass: escape characters anywhere in a chunk, at its
// end, doubled, across read boundaries and before end of input.
#include "support/pty_support.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace serterm::testing {
namespace {

constexpr char ESC = '\x1d';

// What the line receives when `keys` are typed one at a time and every
// escape character is followed by its next key within the time-out: that
// next key, whatever it is, goes as data; a final escape sends nothing.
std::string
sent_one_at_a_time(std::string_view keys)
{
  std::string out;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] != ESC) {
      out += keys[i];
    } else if (i + 1 < keys.size()) {
      out += keys[++i];
    }
  }
  return out;
}

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

bool
exited_with(int status, int code)
{
  return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

// Runs serterm with its keyboard a pipe that holds `keys` and then ends.
// Returns the exit status; the line's bytes go to `line`, standard error to
// `err`.
int
run_on_closed_pipe(std::string_view keys, std::string& line, std::string& err)
{
  pty_pair pty = open_pty();
  int pipe_fds[2];
  EXPECT_EQ(pipe(pipe_fds), 0);
  EXPECT_TRUE(write_all_bounded(pipe_fds[1], keys));
  close(pipe_fds[1]);
  spawn_options how;
  how.stdin_fd = pipe_fds[0];
  child c = spawn_serterm({"-t", "2000000", pty.slave_path}, how);
  close(pipe_fds[0]);
  int status = finish(c, nullptr, &err);
  read_for(pty.master, line, milliseconds(50));
  close_pty(pty);
  return status;
}

int
quit(session& s, std::string& err)
{
  EXPECT_TRUE(write_all_bounded(s.keyboard.master, std::string(1, ESC)));
  EXPECT_TRUE(read_until(s.proc.err, err, "serterm> "));
  EXPECT_TRUE(wait_cooked(s.keyboard.slave));
  EXPECT_TRUE(write_all_bounded(s.keyboard.master, "q\n"));
  std::string rest;
  int status = end_session(s, nullptr, &rest);
  err += rest;
  return status;
}

TEST(KeyboardChunks, EscapeInsideAChunkSendsTheNextByte)
{
  // A prompt opened by mistake would hold the rest back.
  session s = start_session({"-t", "1000000"});
  const std::string keys = std::string("ab") + ESC + "cd" + ESC + ESC + "e";
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, keys));
  std::string line;
  ASSERT_TRUE(read_at_least(s.line.master, line, 6));
  read_for(s.line.master, line, milliseconds(100));
  EXPECT_EQ(line, std::string("abcd") + ESC + "e");
  std::string err;
  read_for(s.proc.err, err, milliseconds(50));
  EXPECT_EQ(err, "");
  EXPECT_TRUE(exited_with(quit(s, err), 0));
  EXPECT_EQ(err, "serterm> ");
}

TEST(KeyboardChunks, RunsOfEscapesPairUpInOrder)
{
  session s = start_session({"-t", "1000000"});
  // Two escapes send one; a third escape takes the key after it.
  const std::string keys = std::string("1") + ESC + ESC + "2" + ESC + ESC +
                           ESC + "3" + ESC + ESC + ESC + ESC + "4";
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, keys));
  std::string line;
  const std::string expected = sent_one_at_a_time(keys);
  ASSERT_EQ(expected,
            std::string("1") + ESC + "2" + ESC + "3" + ESC + ESC + "4");
  ASSERT_TRUE(read_at_least(s.line.master, line, expected.size()));
  read_for(s.line.master, line, milliseconds(100));
  EXPECT_EQ(line, expected);
  std::string err;
  EXPECT_TRUE(exited_with(quit(s, err), 0));
  EXPECT_EQ(err, "serterm> ");
}

TEST(KeyboardChunks, EscapeEndingAChunkWaitsForTheNextKey)
{
  session s = start_session({"-t", "3000000"});
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, std::string("ab") + ESC));
  std::string line;
  // The bytes before the escape go out at once; the escape waits.
  ASSERT_TRUE(read_at_least(s.line.master, line, 2));
  read_for(s.line.master, line, milliseconds(200));
  EXPECT_EQ(line, "ab");
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "c"));
  ASSERT_TRUE(read_at_least(s.line.master, line, 3));
  EXPECT_EQ(line, "abc");
  std::string err;
  read_for(s.proc.err, err, milliseconds(50));
  EXPECT_EQ(err, "");
  EXPECT_TRUE(exited_with(quit(s, err), 0));
  EXPECT_EQ(err, "serterm> ");
}

TEST(KeyboardChunks, EscapeEndingAChunkOpensThePromptAfterItsBytes)
{
  session s = start_session({"-h1", "-t", "1000"});
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, std::string("ab") + ESC));
  std::string err;
  ASSERT_TRUE(read_until(s.proc.err, err, "serterm> "));
  ASSERT_TRUE(wait_cooked(s.keyboard.slave));
  std::string line;
  std::string screen;
  ASSERT_TRUE(read_at_least(s.line.master, line, 2));
  // The half-duplex echo of the bytes before the escape came before the
  // prompt made the keyboard cooked.
  ASSERT_TRUE(read_at_least(s.keyboard.master, screen, 2));
  EXPECT_EQ(line, "ab");
  EXPECT_EQ(screen, "ab");
  // The prompt's line is read whole and is not data.
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "x 43\n"));
  ASSERT_TRUE(wait_raw(s.keyboard.slave));
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "d"));
  ASSERT_TRUE(read_at_least(s.line.master, line, 4));
  read_for(s.line.master, line, milliseconds(100));
  EXPECT_EQ(line, "abCd");
  EXPECT_TRUE(exited_with(quit(s, err), 0));
  EXPECT_EQ(err, "serterm> serterm> ");
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
  keys[30000] = ESC;
  keys[30001] = '\r';
  keys[30002] = ESC;
  keys[30003] = '\n';
  const std::string expected_line = sent_one_at_a_time(keys);
  const std::string expected_screen = mapped_whole(expected_line);

  session s = start_session({"-h1", "-r1", "-t", "1000000"});
  std::string line;
  std::string screen;
  std::size_t sent = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((line.size() < expected_line.size() ||
          screen.size() < expected_screen.size()) &&
         std::chrono::steady_clock::now() < end) {
    if (sent < keys.size()) {
      ssize_t n = write(s.keyboard.master, keys.data() + sent,
                        std::min<std::size_t>(16384, keys.size() - sent));
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      }
    }
    read_for(s.line.master, line, milliseconds(1));
    read_for(s.keyboard.master, screen, milliseconds(1));
  }
  read_for(s.line.master, line, milliseconds(100));
  read_for(s.keyboard.master, screen, milliseconds(100));
  EXPECT_EQ(sent, keys.size());
  EXPECT_EQ(line.size(), expected_line.size());
  EXPECT_TRUE(line == expected_line);
  EXPECT_EQ(screen.size(), expected_screen.size());
  EXPECT_TRUE(screen == expected_screen);
  std::string err;
  EXPECT_TRUE(exited_with(quit(s, err), 0));
  EXPECT_EQ(err, "serterm> ");
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
  std::string err;
  read_for(s.proc.err, err, milliseconds(500));
  EXPECT_EQ(err, "");
  std::string line;
  EXPECT_TRUE(
      read_at_least(s.line.master, line, paste.size(), milliseconds(30000)));
  typist.join();
  EXPECT_TRUE(written);
  ASSERT_TRUE(read_until(s.proc.err, err, "serterm> "));
  ASSERT_TRUE(wait_cooked(s.keyboard.slave));
  read_for(s.line.master, line, milliseconds(50));
  EXPECT_EQ(line.size(), paste.size());
  EXPECT_TRUE(line == paste);
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "q\n"));
  std::string rest;
  EXPECT_TRUE(exited_with(end_session(s, nullptr, &rest), 0));
  EXPECT_EQ(err + rest, "serterm> ");
}

TEST(KeyboardChunks, EscapeWaitsWhileTheLineHoldsBytesTypedBeforeIt)
{
  session s = start_session({"-t", "1000"});
  // Output on the line stopped: it takes nothing of what comes next.
  ASSERT_EQ(tcflow(s.line.slave, TCOOFF), 0);
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, std::string("ab") + ESC));
  std::string err;
  std::string line;
  read_for(s.proc.err, err, milliseconds(300));
  read_for(s.line.master, line, milliseconds(1));
  EXPECT_EQ(err, "");
  EXPECT_EQ(line, "");
  ASSERT_EQ(tcflow(s.line.slave, TCOON), 0);
  ASSERT_TRUE(read_at_least(s.line.master, line, 2));
  ASSERT_TRUE(read_until(s.proc.err, err, "serterm> "));
  ASSERT_TRUE(wait_cooked(s.keyboard.slave));
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "x 43\n"));
  ASSERT_TRUE(read_at_least(s.line.master, line, 3));
  read_for(s.line.master, line, milliseconds(100));
  EXPECT_EQ(line, "abC");
  std::string rest;
  ASSERT_TRUE(wait_raw(s.keyboard.slave));
  EXPECT_TRUE(exited_with(quit(s, rest), 0));
  EXPECT_EQ(err + rest, "serterm> serterm> ");
}

TEST(KeyboardChunks, EscapeBeforeEndOfInput)
{
  struct case_row {
    std::string keys;
    std::string line;
  };
  const std::string e(1, ESC);
  const case_row rows[] = {
      {"ab" + e + "c", "abc"},    // quick key, then end of input
      {"ab" + e, "ab"},           // escape last: end of input, no prompt
      {"ab" + e + e, "ab" + e},   // doubled escape is data
      {"a" + e + e + e, "a" + e}, // a third escape meets end of input
      {e + "q\n", "q\n"},         // the quick key is data, not a command
      {"x" + e + e + e + "y", "x" + e + "y"},
  };
  for (const case_row& row : rows) {
    std::string line;
    std::string err;
    int status = run_on_closed_pipe(row.keys, line, err);
    EXPECT_TRUE(exited_with(status, 0)) << status;
    EXPECT_EQ(line, row.line);
    EXPECT_EQ(line, sent_one_at_a_time(row.keys));
    EXPECT_EQ(err, "");
  }
}

} // namespace
} // namespace serterm::testing
