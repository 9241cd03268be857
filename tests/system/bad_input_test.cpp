// End-to-end tests of bad or unusual input: device paths that are not
// terminals, standard descriptors that are pipes, /dev/null, closed or
// full, numbers at and beyond the int range, every byte value, and
// over-long prompt lines. Each has one clear outcome.
#include "support/pty_support.hpp"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace serterm::testing {
namespace {

bool
exited_with(int status, int code)
{
  return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

bool
killed_by(int status, int sig)
{
  return WIFSIGNALED(status) && WTERMSIG(status) == sig;
}

bool
under_valgrind()
{
  const char* logs = std::getenv("SERTERM_VALGRIND");
  return logs != nullptr && *logs != '\0';
}

// Runs serterm on `device` with a keyboard pty and checks that it fails to
// open it: the exact message, status 1, the keyboard untouched.
void
expect_open_fails(const std::string& device)
{
  pty_pair keyboard = open_pty();
  termios before = settings_of(keyboard.slave);
  spawn_options how;
  how.keyboard_path = keyboard.slave_path;
  child c = spawn_serterm({device}, how);
  std::string err;
  int status = finish(c, nullptr, &err);
  EXPECT_TRUE(exited_with(status, 1)) << status;
  EXPECT_EQ(err, "can't open " + device + "\n");
  std::string why;
  EXPECT_TRUE(same_settings(settings_of(keyboard.slave), before, &why)) << why;
  close_pty(keyboard);
}

TEST(BadInput, DevicePathsThatCannotBeOpened)
{
  expect_open_fails("/");
  expect_open_fails(std::string(5000, 'a'));
  expect_open_fails("/tmp/" + std::string(300, 'n'));
}

TEST(BadInput, FifoWithoutWriterIsALoopback)
{
  // Opened read-write, a FIFO needs no writer: what is typed goes into it
  // and comes straight back as if the device echoed it.
  char dir[] = "/tmp/serterm-fifo-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string fifo = std::string(dir) + "/line";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  pty_pair keyboard = open_pty();
  termios before = settings_of(keyboard.slave);
  spawn_options how;
  how.keyboard_path = keyboard.slave_path;
  child c = spawn_serterm({fifo}, how);
  ASSERT_TRUE(wait_raw(keyboard.slave));
  ASSERT_TRUE(write_all_bounded(keyboard.master, "abc"));
  std::string screen;
  EXPECT_TRUE(read_until(keyboard.master, screen, "abc"));
  EXPECT_EQ(screen, "abc");
  ASSERT_TRUE(write_all_bounded(keyboard.master, "\x1d"));
  std::string err;
  ASSERT_TRUE(read_until(c.err, err, "serterm> "));
  ASSERT_TRUE(write_all_bounded(keyboard.master, "q\n"));
  std::string rest;
  EXPECT_TRUE(exited_with(finish(c, nullptr, &rest), 0));
  EXPECT_EQ(err + rest, "serterm> ");
  std::string why;
  EXPECT_TRUE(same_settings(settings_of(keyboard.slave), before, &why)) << why;
  close_pty(keyboard);
  unlink(fifo.c_str());
  rmdir(dir);
}

TEST(BadInput, StdinPipeIgnoresTheScreenAndRelays)
{
  pty_pair line = open_pty();
  termios before = settings_of(line.slave);
  int keys[2];
  ASSERT_EQ(pipe(keys), 0);
  spawn_options how;
  how.stdin_fd = keys[0];
  child c = spawn_serterm({line.slave_path}, how);
  close(keys[0]);
  ASSERT_TRUE(eventually([&line] {
    termios t{};
    return tcgetattr(line.slave, &t) == 0 && (t.c_cflag & CLOCAL) != 0;
  }));
  // Received bytes cannot be shown on a pipe's read end: they are dropped
  // and the relay goes on.
  ASSERT_TRUE(write_all_bounded(line.master, "from the line"));
  std::this_thread::sleep_for(milliseconds(100));
  ASSERT_TRUE(write_all_bounded(keys[1], "typed"));
  std::string got;
  EXPECT_TRUE(read_at_least(line.master, got, 5));
  EXPECT_EQ(got, "typed");
  close(keys[1]);
  std::string err;
  EXPECT_TRUE(exited_with(finish(c, nullptr, &err), 0));
  EXPECT_EQ(err, "");
  std::string why;
  EXPECT_TRUE(same_settings(settings_of(line.slave), before, &why)) << why;
  close_pty(line);
}

// Runs serterm on a line pty with fd 0 and fd 1 as given (-1: closed) and
// `act` in between; returns the status, with stderr and what reached the
// line.
template <typename Act>
int
run_with_descriptors(const std::vector<std::string>& options, int stdin_fd,
                     bool stdout_pipe, int stdout_fd, Act act, std::string& err,
                     std::string& line_got)
{
  pty_pair line = open_pty();
  termios before = settings_of(line.slave);
  spawn_options how;
  how.stdin_fd = stdin_fd;
  how.stdout_pipe = stdout_pipe;
  how.stdout_fd = stdout_fd;
  std::vector<std::string> args = options;
  args.push_back(line.slave_path);
  child c = spawn_serterm(args, how);
  act(line, c);
  int status = finish(c, nullptr, &err);
  read_for(line.master, line_got, milliseconds(50));
  std::string why;
  EXPECT_TRUE(same_settings(settings_of(line.slave), before, &why))
      << "line not restored: " << why;
  close_pty(line);
  return status;
}

TEST(BadInput, StdinDevNullEndsQuietly)
{
  int null = open("/dev/null", O_RDONLY);
  std::string err;
  std::string got;
  int status = run_with_descriptors(
      {}, null, true, -1, [](pty_pair&, child&) {}, err, got);
  close(null);
  EXPECT_TRUE(exited_with(status, 0)) << status;
  EXPECT_EQ(err, "");
  EXPECT_EQ(got, "");
}

TEST(BadInput, StdinClosedIsAKeyboardReadError)
{
  if (under_valgrind()) {
    GTEST_SKIP() << "valgrind's own log would take the closed descriptor";
  }
  // Without a stand-in on fd 0 the line would be opened there and taken
  // for the keyboard.
  std::string err;
  std::string got;
  int status = run_with_descriptors(
      {}, -1, true, -1, [](pty_pair&, child&) {}, err, got);
  EXPECT_TRUE(exited_with(status, 1)) << status;
  EXPECT_EQ(err, "serterm: keyboard read failed: Bad file descriptor\n");
  EXPECT_EQ(got, "");
}

// The keyboard for these is a pipe the test keeps open and never writes.
TEST(BadInput, StdoutClosedInHexdumpModeIsReportedNotSentToTheLine)
{
  if (under_valgrind()) {
    GTEST_SKIP() << "valgrind's own log would take the closed descriptor";
  }
  int keys[2];
  ASSERT_EQ(pipe(keys), 0);
  std::string err;
  std::string got;
  int status = run_with_descriptors(
      {"-d1"}, keys[0], false, -1,
      [](pty_pair& line, child&) {
        EXPECT_TRUE(eventually([&line] {
          termios t{};
          return tcgetattr(line.slave, &t) == 0 && (t.c_cflag & CLOCAL) != 0;
        }));
        EXPECT_TRUE(write_all_bounded(line.master, "AT"));
      },
      err, got);
  close(keys[0]);
  close(keys[1]);
  EXPECT_TRUE(exited_with(status, 1)) << status;
  EXPECT_EQ(err, "serterm: hexdump write failed: Bad file descriptor\n");
  EXPECT_EQ(got, ""); // never the hex text "41 54 "
}

TEST(BadInput, StdoutClosedWithoutHexdumpRelaysAsUsual)
{
  if (under_valgrind()) {
    GTEST_SKIP() << "valgrind's own log would take the closed descriptor";
  }
  int keys[2];
  ASSERT_EQ(pipe(keys), 0);
  std::string err;
  std::string got;
  int status = run_with_descriptors(
      {}, keys[0], false, -1,
      [&keys](pty_pair&, child&) {
        EXPECT_TRUE(write_all_bounded(keys[1], "ok"));
        close(keys[1]);
      },
      err, got);
  close(keys[0]);
  EXPECT_TRUE(exited_with(status, 0)) << status;
  EXPECT_EQ(err, "");
  EXPECT_EQ(got, "ok");
}

TEST(BadInput, StdoutFullInHexdumpModeIsReported)
{
  int keys[2];
  ASSERT_EQ(pipe(keys), 0);
  int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  std::string err;
  std::string got;
  int status = run_with_descriptors(
      {"-d1"}, keys[0], false, full,
      [](pty_pair& line, child&) {
        EXPECT_TRUE(eventually([&line] {
          termios t{};
          return tcgetattr(line.slave, &t) == 0 && (t.c_cflag & CLOCAL) != 0;
        }));
        EXPECT_TRUE(write_all_bounded(line.master, "AT"));
      },
      err, got);
  close(full);
  close(keys[0]);
  close(keys[1]);
  EXPECT_TRUE(exited_with(status, 1)) << status;
  EXPECT_EQ(err, "serterm: hexdump write failed: No space left on device\n");
}

TEST(BadInput, TimeoutsAtAndBeyondTheIntRange)
{
  // Huge timeouts still relay; every negative one ends at the first wait.
  for (const char* big : {"2147483647", "99999999999", "1000000"}) {
    SCOPED_TRACE(big);
    session s = start_session({"-t", big});
    ASSERT_TRUE(write_all_bounded(s.line.master, "in"));
    std::string screen;
    EXPECT_TRUE(read_until(s.keyboard.master, screen, "in"));
    ASSERT_TRUE(write_all_bounded(s.keyboard.master, "out"));
    std::string line;
    EXPECT_TRUE(read_until(s.line.master, line, "out"));
    ASSERT_EQ(kill(s.proc.pid, SIGTERM), 0);
    std::string err;
    EXPECT_TRUE(killed_by(end_session(s, nullptr, &err), SIGTERM));
    EXPECT_EQ(err, "");
  }
  for (const char* negative : {"-1", "-2147483648", "-99999999999"}) {
    SCOPED_TRACE(negative);
    session_setup setup;
    setup.wait_for_raw = false;
    session s = start_session({"-t", negative}, setup);
    std::string err;
    EXPECT_TRUE(exited_with(end_session(s, nullptr, &err), 1));
    EXPECT_EQ(err, "serterm: select failed\n");
  }
}

TEST(BadInput, SpeedsAtAndBeyondTheIntRange)
{
  for (const char* speed : {"-2147483647", "-2147483648", "-4294967296"}) {
    SCOPED_TRACE(speed);
    session s = start_session({speed});
    ASSERT_EQ(kill(s.proc.pid, SIGTERM), 0);
    std::string err;
    EXPECT_TRUE(killed_by(end_session(s, nullptr, &err), SIGTERM));
    EXPECT_EQ(err, "2147483647 bps unavailable.  9600 bps selected.\n");
  }
}

TEST(BadInput, EveryByteAsTheEscapeCharacter)
{
  // A NUL cannot be part of an argument; -e with nothing after it is a
  // usage error (see the option tests). Under valgrind a sample is run.
  int step = under_valgrind() ? 17 : 1;
  for (int byte = 1; byte < 256; byte += step) {
    SCOPED_TRACE(byte);
    std::string option = "-e";
    option += static_cast<char>(byte);
    char escape = static_cast<char>(byte & 0x1F);
    session s = start_session({option});
    // Two quick escapes send one; a second key after a single escape would
    // be sent in its place, so the Z shows the first one was taken.
    std::string typed = {escape, escape, 'Z'};
    ASSERT_TRUE(write_all_bounded(s.keyboard.master, typed));
    std::string line;
    EXPECT_TRUE(read_until(s.line.master, line, "Z"));
    read_for(s.line.master, line, milliseconds(20));
    EXPECT_EQ(line, std::string({escape, 'Z'}));
    ASSERT_EQ(kill(s.proc.pid, SIGTERM), 0);
    EXPECT_TRUE(killed_by(end_session(s), SIGTERM));
  }
}

TEST(BadInput, EveryByteValueTypedAndReceived)
{
  std::string all;
  for (int byte = 0; byte < 256; ++byte) {
    all += static_cast<char>(byte);
  }
  session s = start_session({});
  // The escape character itself goes to the line as two quick escapes.
  std::string typed;
  for (char c : all) {
    typed += c;
    if (c == '\x1d') {
      typed += c;
    }
  }
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, typed));
  std::string line;
  EXPECT_TRUE(read_at_least(s.line.master, line, 256));
  read_for(s.line.master, line, milliseconds(50));
  EXPECT_TRUE(line == all) << line.size();

  ASSERT_TRUE(write_all_bounded(s.line.master, all));
  std::string screen;
  EXPECT_TRUE(read_at_least(s.keyboard.master, screen, 256));
  read_for(s.keyboard.master, screen, milliseconds(50));
  EXPECT_TRUE(screen == all) << screen.size();
  ASSERT_EQ(kill(s.proc.pid, SIGTERM), 0);
  EXPECT_TRUE(killed_by(end_session(s), SIGTERM));

  s = start_session({"-d1", "-t", "5000000"});
  ASSERT_TRUE(write_all_bounded(s.line.master, all));
  std::string expected;
  const char* digits = "0123456789abcdef";
  for (int byte = 0; byte < 256; ++byte) {
    expected += {digits[byte >> 4], digits[byte & 15], ' '};
  }
  std::string out;
  EXPECT_TRUE(read_at_least(s.proc.out, out, expected.size()));
  EXPECT_EQ(out, expected);
  ASSERT_EQ(kill(s.proc.pid, SIGTERM), 0);
  EXPECT_TRUE(killed_by(end_session(s), SIGTERM));
}

TEST(BadInput, PromptLineAtTheBufferBoundary)
{
  // 8191 characters, newline included, fit the prompt's buffer whole. Two
  // characters more and the line is refused whole: run cut, its last pair
  // would lose a digit and send a wrong byte.
  for (std::size_t blanks : {8187U, 8189U}) {
    SCOPED_TRACE(blanks);
    pty_pair line = open_pty();
    int keys[2];
    ASSERT_EQ(pipe(keys), 0);
    spawn_options how;
    how.stdin_fd = keys[0];
    child c = spawn_serterm({"-t", "1", line.slave_path}, how);
    close(keys[0]);
    ASSERT_TRUE(write_all_bounded(keys[1], "a\x1d"));
    std::string got;
    ASSERT_TRUE(read_until(line.master, got, "a"));
    std::this_thread::sleep_for(milliseconds(300));
    std::string command = std::string("x").append(blanks, ' ').append("41\n");
    ASSERT_TRUE(write_all_bounded(keys[1], command + "z"));
    close(keys[1]);
    std::string err;
    EXPECT_TRUE(exited_with(finish(c, nullptr, &err), 0));
    read_for(line.master, got, milliseconds(50));
    EXPECT_EQ(got, blanks == 8187U ? "aAz" : "az");
    EXPECT_EQ(err, blanks == 8187U
                       ? "serterm> "
                       : "serterm> serterm: command line too long\n");
    close_pty(line);
  }
}

} // namespace
} // namespace serterm::testing
