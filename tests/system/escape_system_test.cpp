// End-to-end tests of the escape character, the command prompt and its
// commands, on a line pty and a keyboard pty.
#include "support/pty_support.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace serterm::testing {
namespace {

constexpr std::string_view ESC = "\x1d";

std::size_t
count_prompts(const std::string& err)
{
  std::size_t count = 0;
  for (std::size_t at = 0;
       (at = err.find("serterm> ", at)) != std::string::npos; at += 9) {
    ++count;
  }
  return count;
}

// Types the escape character and waits for a new prompt and cooked mode.
void
open_prompt(session& s, std::string& err, std::string_view escape = ESC)
{
  std::size_t prompts = count_prompts(err);
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, escape));
  ASSERT_TRUE(eventually([&] {
    read_for(s.proc.err, err, milliseconds(1));
    return count_prompts(err) > prompts;
  })) << err;
  ASSERT_TRUE(wait_cooked(s.keyboard.slave));
}

// Runs one prompt command and waits until the keyboard is raw again. The
// cooked terminal's echo of the command is read off the screen, unless the
// caller reads the screen itself (`read_echo` false).
void
command(session& s, std::string& err, std::string_view line,
        bool read_echo = true)
{
  open_prompt(s, err);
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, line));
  if (read_echo) {
    std::string shown;
    std::string echo = std::string(line.substr(0, line.size() - 1)) + "\r\n";
    ASSERT_TRUE(read_until(s.keyboard.master, shown, echo));
    EXPECT_EQ(shown, echo);
  }
  ASSERT_TRUE(wait_raw(s.keyboard.slave));
}

int
quit(session& s, std::string& err)
{
  open_prompt(s, err);
  EXPECT_TRUE(write_all_bounded(s.keyboard.master, "q\n"));
  std::string rest;
  int status = end_session(s, nullptr, &rest);
  err += rest;
  return status;
}

bool
exited_with(int status, int code)
{
  return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

TEST(Escape, QuickKeyIsSentWithoutPrompt)
{
  session s = start_session({"-t", "500000"});
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "\x1d"
                                                   "a"));
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "\x1d\x1d"));
  std::string line;
  ASSERT_TRUE(read_at_least(s.line.master, line, 2));
  read_for(s.line.master, line, milliseconds(100));
  EXPECT_EQ(line, "a\x1d");
  std::string err;
  read_for(s.proc.err, err, milliseconds(50));
  EXPECT_EQ(err, "");
  EXPECT_TRUE(exited_with(quit(s, err), 0));
  EXPECT_EQ(err, "serterm> ");
}

TEST(Escape, PromptIsCookedAndQuitRestoresBoth)
{
  session s = start_session({});
  std::string err;
  open_prompt(s, err);
  std::string why;
  EXPECT_TRUE(
      same_settings(settings_of(s.keyboard.slave), s.keyboard_before, &why))
      << why;
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "q\n"));
  std::string rest;
  EXPECT_TRUE(exited_with(end_session(s, nullptr, &rest), 0));
  EXPECT_EQ(err + rest, "serterm> ");
}

TEST(Escape, HelpAndModemStatusTexts)
{
  session s = start_session({});
  std::string err;
  command(s, err, "?\n");
  command(s, err, "v\n");
  EXPECT_TRUE(exited_with(quit(s, err), 0));
  EXPECT_EQ(err, "serterm> q: quit\n"
                 "v: show modem status\n"
                 "d: toggle hexdump mode\n"
                 "h: toggle half-duplex mode\n"
                 "r: toggle map CR->CR/LF mode\n"
                 "x [string]: send hex data, 'x 41 54 5a 0d 0a' is "
                 "equivalent to 'ATZ\\r\\n'\n"
                 "serterm> serterm: can't read modem status: Inappropriate "
                 "ioctl for device\n"
                 "serterm> ");
}

TEST(Escape, ModeTogglesTakeEffectAndToggleBack)
{
  session s = start_session({});
  std::string err;
  command(s, err, "d\n");
  ASSERT_TRUE(write_all_bounded(s.line.master, "AT"));
  std::string out;
  ASSERT_TRUE(read_until(s.proc.out, out, "41 54 "));
  command(s, err, "d\n");
  ASSERT_TRUE(write_all_bounded(s.line.master, "AT"));
  std::string screen;
  ASSERT_TRUE(read_until(s.keyboard.master, screen, "AT"));

  command(s, err, "h\n");
  command(s, err, "r\n");
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "k\r"));
  ASSERT_TRUE(write_all_bounded(s.line.master, "\r"));
  ASSERT_TRUE(read_at_least(s.keyboard.master, screen, 7));
  read_for(s.keyboard.master, screen, milliseconds(100));
  EXPECT_EQ(screen, "ATk\r\n\r\n");
  std::string line;
  ASSERT_TRUE(read_at_least(s.line.master, line, 2));
  EXPECT_EQ(line, "k\r");

  command(s, err, "h\n");
  command(s, err, "r\n");
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "m"));
  ASSERT_TRUE(write_all_bounded(s.line.master, "\r"));
  screen.clear();
  ASSERT_TRUE(read_at_least(s.keyboard.master, screen, 1));
  read_for(s.keyboard.master, screen, milliseconds(100));
  EXPECT_EQ(screen, "\r");
  EXPECT_TRUE(exited_with(quit(s, err), 0));
  std::string rest;
  read_for(s.proc.out, rest, milliseconds(1));
}

TEST(Escape, HexDataIsSentAndEchoed)
{
  session s = start_session({"-h1", "-r1"});
  std::string err;
  command(s, err, "x 41 54 5a 0d 0a\n", false);
  command(s, err, "x 0d 41\n", false);
  std::string line;
  ASSERT_TRUE(read_at_least(s.line.master, line, 7));
  EXPECT_EQ(line, "ATZ\r\n\rA");
  // Each command's cooked echo, then its bytes' half-duplex echo.
  const std::string expected = "x 41 54 5a 0d 0a\r\nATZ\r\nx 0d 41\r\n\r\nA";
  std::string screen;
  ASSERT_TRUE(read_at_least(s.keyboard.master, screen, expected.size()));
  read_for(s.keyboard.master, screen, milliseconds(100));
  EXPECT_EQ(screen, expected);
  EXPECT_TRUE(exited_with(quit(s, err), 0));
}

TEST(Escape, EmptyAndUnknownLinesReturnToRelaying)
{
  session s = start_session({});
  std::string err;
  command(s, err, "\n");
  command(s, err, "Q\n");
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "b"));
  std::string line;
  ASSERT_TRUE(read_at_least(s.line.master, line, 1));
  read_for(s.line.master, line, milliseconds(100));
  EXPECT_EQ(line, "b");
  EXPECT_TRUE(exited_with(quit(s, err), 0));
  EXPECT_EQ(err, "serterm> serterm> serterm> ");
}

TEST(Escape, LineBytesDuringPromptShownAfterIt)
{
  session s = start_session({});
  std::string err;
  open_prompt(s, err);
  ASSERT_TRUE(write_all_bounded(s.line.master, "late"));
  std::string screen;
  read_for(s.keyboard.master, screen, milliseconds(200));
  EXPECT_EQ(screen, "");
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "\n"));
  ASSERT_TRUE(read_until(s.keyboard.master, screen, "late"));
  // The cooked terminal echoed the Enter before the relay went on.
  EXPECT_EQ(screen, "\r\nlate");
  EXPECT_TRUE(exited_with(quit(s, err), 0));
}

TEST(Escape, NulAsEscapeCharacter)
{
  session s = start_session({"-e@"});
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, ESC));
  std::string line;
  ASSERT_TRUE(read_at_least(s.line.master, line, 1));
  EXPECT_EQ(line, ESC); // control-] is plain data now
  std::string err;
  open_prompt(s, err, std::string_view("\0", 1));
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "q\n"));
  EXPECT_TRUE(exited_with(end_session(s, nullptr, nullptr), 0));
}

TEST(Escape, NonBlockingKeyboardPromptWaitsForItsLine)
{
  session_setup setup;
  setup.how.keyboard_nonblocking = true;
  session s = start_session({}, setup);
  std::string err;
  open_prompt(s, err);
  std::this_thread::sleep_for(milliseconds(300));
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "q\n"));
  std::string rest;
  EXPECT_TRUE(exited_with(end_session(s, nullptr, &rest), 0));
  EXPECT_EQ(err + rest, "serterm> ");
}

TEST(Escape, EscapeAsLastByteOfInputEndsQuietly)
{
  pty_pair line = open_pty();
  int keys[2];
  ASSERT_EQ(pipe(keys), 0);
  ASSERT_TRUE(write_all_bounded(keys[1], "ab\x1d"));
  close(keys[1]);
  spawn_options how;
  how.stdin_fd = keys[0];
  child c = spawn_serterm({line.slave_path}, how);
  close(keys[0]);
  std::string got;
  std::string err;
  int status = finish(c, nullptr, &err);
  read_for(line.master, got, milliseconds(50));
  EXPECT_TRUE(exited_with(status, 0)) << status;
  EXPECT_EQ(got, "ab");
  EXPECT_EQ(err, "");
  close_pty(line);
}

} // namespace
} // namespace serterm::testing
