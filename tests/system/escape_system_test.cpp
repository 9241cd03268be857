// End-to-end tests of the escape character, the command prompt and its
// commands, on a line pty and a keyboard pty.
#include "support/session.hpp"

#include <csignal>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace serterm::testing {
namespace {

TEST(Escape, PromptIsCookedAndQuitRestoresBoth)
{
  session s = start_session({});
  open_prompt(s);
  EXPECT_EQ(
      settings_difference(settings_of(s.keyboard.slave), s.keyboard_before),
      "");
  // Stopped at the prompt and continued (control-Z, then fg): the shell had
  // the screen meanwhile, so the prompt is shown again.
  stop(s);
  ASSERT_EQ(kill(s.pid, SIGCONT), 0);
  await(s, stream::err, "serterm> ");
  type(s, "q\n");
  end_session(s, {.screen = "q\r\n", .err = "serterm> serterm> "});
}

TEST(Escape, KeyReadLateAfterItsWindowIsThePrompts)
{
  // serterm stopped once it has read the escape (its echo of a shows it
  // read the chunk), and q Enter typed when the quick-key window is over:
  // read in the same pass as the time-out, they are the prompt's keys. The
  // window is a second long, so that the stop comes within it even on a
  // loaded machine; the wait past it is spent stopped.
  session s = start_session({"-h1", "-t", "1000000"});
  type(s, "a\x1d");
  await(s, stream::screen, "a");
  stop(s);
  std::this_thread::sleep_for(milliseconds(1200));
  type(s, "q\r");
  ASSERT_EQ(kill(s.pid, SIGCONT), 0);
  end_session(s, {.line = "a", .screen = "a", .err = "\r\nserterm> q\n"});
}

TEST(Escape, CommandTextsAndLinesThatReturnToRelaying)
{
  // Unknown and upper-case lines do nothing, and neither does an empty
  // one, which the line's bytes sent meanwhile wait for; the relay goes on.
  session s = start_session({});
  commands(s, {"?\n", "v\n", "Q\n", "xyz\n"});
  const std::string echoed = "?\r\nv\r\nQ\r\nxyz\r\n";
  open_prompt(s);
  send(s, "late");
  settle(s, milliseconds(200));
  EXPECT_EQ(got(s, stream::screen), echoed);
  type(s, "\n");
  await(s, stream::screen, "late");
  type(s, "b");
  // The cooked terminal echoed the Enter before the relay went on.
  quit(s, {.line = "b",
           .screen = echoed + "\r\nlate",
           .err = "serterm> " + std::string(HELP_TEXT) +
                  "serterm> serterm: can't read modem status: Inappropriate "
                  "ioctl for device\nserterm> serterm> serterm> \r\n"});
}

TEST(Escape, ModeTogglesTakeEffectAndToggleBack)
{
  session s = start_session({});
  commands(s, {"d\n"});
  send(s, "AT");
  await(s, stream::out, "41 54 ");
  await(s, stream::err, "\r\n"); // the hex line ends after the idle time
  commands(s, {"d\n"});
  send(s, "AT");
  await(s, stream::screen, "AT");

  commands(s, {"h\n", "r\n"});
  type(s, "k\r");
  send(s, "\r");
  await(s, stream::screen, "k\r\n\r\n");

  commands(s, {"h\n", "r\n"});
  type(s, "m");
  send(s, "\r");
  await(s, stream::screen, "\r");
  settle(s, milliseconds(100));
  quit(s, {.line = "k\rm",
           .screen = "d\r\nd\r\nATh\r\nr\r\nk\r\n\r\nh\r\nr\r\n\r",
           .out = "41 54 ",
           // The hex text and "AT" leave a line open, the idle line break
           // and an echoed CR LF end it.
           .err = "serterm> \r\nserterm> \r\nserterm> serterm> serterm> "
                  "serterm> \r\n"});
}

TEST(Escape, HexDataIsSentAndEchoed)
{
  session s = start_session({"-h1", "-r1"});
  commands(s, {"x 41 54 5a 0d 0a\n", "x 0d 41\n", "x 40 0a 10 a0 04\n"});
  // Each command's cooked echo, then its bytes' half-duplex echo.
  quit(s, {.line = "ATZ\r\n\rA\x40\x0a\x10\xa0\x04",
           .screen = "x 41 54 5a 0d 0a\r\nATZ\r\nx 0d 41\r\n\r\nA"
                     "x 40 0a 10 a0 04\r\n\x40\n\x10\xa0\x04",
           .err = "serterm> serterm> \r\nserterm> \r\n"});
}

TEST(Escape, NonBlockingKeyboardPromptWaitsForItsLine)
{
  // Standard input left non-blocking, as a parent may leave it: serterm
  // waits for a stopped screen and for the prompt's line without spinning,
  // and a read that finds no key yet is not the end of input.
  session s = start_session({}, {.keyboard_nonblocking = true});
  ASSERT_EQ(tcflow(s.keyboard.slave, TCOOFF), 0);
  send(s, "late");
  settle(s, milliseconds(100));
  expect_idle(s);
  ASSERT_EQ(tcflow(s.keyboard.slave, TCOON), 0);
  await(s, stream::screen, "late");
  // A prompt that took no key for the end of input would end the run with
  // a message and a failing status.
  open_prompt(s);
  expect_idle(s);
  type(s, "x 41\n");
  EXPECT_TRUE(
      eventually([&s] { return is_raw(settings_of(s.keyboard.slave)); }));
  quit(s, {.line = "A", .screen = "latex 41\r\n", .err = "\r\nserterm> "});
}

} // namespace
} // namespace serterm::testing
