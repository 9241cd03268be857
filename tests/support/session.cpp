// End-to-end sessions of serterm with whole-stream checks at their end.
#include "support/session.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace serterm::testing {

namespace {

// The sessions started and not yet ended. A test that stops early (a failed
// ASSERT) leaves its serterm running: it is killed when the test ends.
std::vector<pid_t> running;

struct reaper : ::testing::EmptyTestEventListener {
  void
  OnTestEnd(const ::testing::TestInfo&) override
  {
    for (pid_t pid : running) {
      std::fprintf(stderr, "serterm %d was left running: killed\n", pid);
      std::ignore = wait_child(pid, milliseconds(0));
    }
    running.clear();
  }
};

[[maybe_unused]] const bool installed = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new reaper);
  report_failure = [](const std::string& what) { ADD_FAILURE() << what; };
  return true;
}();

// Fails the test unless pty `name`, when `restored` is expected and the pty
// is open, is back at the settings `before`.
void
check_restored(const pty_pair& pty, const termios& before, const char* name,
               bool restored)
{
  if (restored && pty.slave >= 0) {
    EXPECT_EQ(settings_difference(settings_of(pty.slave), before), "")
        << name << " not restored";
  }
}

// With SERTERM_VALGRIND naming a directory, serterm runs under valgrind's
// memcheck, which writes one log per process there. valgrind hands its
// client the program name it was given, so serterm is named by its bare
// name and found through PATH: messages then show the argv[0] the tests
// expect; env puts the build's directory first in PATH for it. Other argv[0]
// values run without valgrind.
launch
serterm_launch(const std::string& argv0)
{
  if (!under_valgrind() || argv0 != "serterm") {
    return program_launch(SERTERM_BINARY, argv0);
  }
  std::string binary = SERTERM_BINARY;
  const char* path = std::getenv("PATH");
  return {.argv = {"env",
                   "PATH=" + binary.substr(0, binary.rfind('/')) + ":" +
                       (path != nullptr ? path : "/usr/bin"),
                   "/usr/bin/valgrind", "--tool=memcheck", "--leak-check=full",
                   "--errors-for-leak-kinds=definite,indirect,possible",
                   "--track-fds=no", "--error-exitcode=99",
                   std::string("--log-file=") +
                       std::getenv("SERTERM_VALGRIND") + "/memcheck.%p.log",
                   argv0},
          .path = "/usr/bin/env"};
}

// Opens `path` for the child with `flags`, to be closed by the caller once
// it has started; -1 when there is no path.
int
open_for_child(const char* path, int flags)
{
  int fd = path == nullptr ? -1 : open(path, flags | O_NOCTTY | O_CLOEXEC);
  EXPECT_TRUE(path == nullptr || fd >= 0)
      << path << ": " << std::strerror(errno);
  return fd;
}

} // namespace

session
start_session(const std::vector<std::string>& options,
              const session_setup& setup)
{
  session s;
  EXPECT_TRUE(open_pty(s.line, setup.line)) << std::strerror(errno);
  s.line_before = settings_of(s.line.slave);
  bool own_keyboard = setup.keyboard == OWN && setup.keyboard_path == nullptr;
  if (own_keyboard) {
    EXPECT_TRUE(open_pty(s.keyboard)) << std::strerror(errno);
    s.keyboard_before = settings_of(s.keyboard.slave);
  }
  launch what = serterm_launch(setup.argv0);
  what.argv.insert(what.argv.end(), options.begin(), options.end());
  what.argv.push_back(setup.line_path == nullptr ? s.line.slave_path
                                                 : setup.line_path);
  // What the child gets as fd 0 and 1 when the session opens it.
  std::array<int, 2> for_child{
      open_for_child(own_keyboard ? s.keyboard.slave_path.c_str()
                                  : setup.keyboard_path,
                     !own_keyboard                ? O_RDONLY
                     : setup.keyboard_nonblocking ? O_RDWR | O_NONBLOCK
                                                  : O_RDWR),
      open_for_child(setup.out_path, O_WRONLY)};
  what.in = for_child[0] >= 0 ? for_child[0] : setup.keyboard;
  what.out = for_child[1] >= 0 ? for_child[1] : setup.out;
  what.err = setup.err_on_keyboard ? what.in : PIPE;
  what.ignore_sigpipe = setup.ignore_sigpipe;
  what.fill_descriptors_to = setup.fill_descriptors_to;
  what.free_descriptor = setup.free_descriptor;
  what.user = setup.user;
  start_run(s, what);
  running.push_back(s.pid);
  s.keyboard_shared = for_child[0];
  s.keyboard_flags = fcntl(for_child[0], F_GETFL);
  close(for_child[1]); // the child's own now; -1 if none was opened
  s.fds[0] = s.line.master;
  s.fds[1] = s.keyboard.master;
  // Until serterm has made the keyboard pty raw (when it has one) and set
  // up the line pty (when it has that).
  EXPECT_TRUE(!setup.wait_for_setup || eventually([&] {
    return (!own_keyboard || is_raw(settings_of(s.keyboard.slave))) &&
           (setup.line_path != nullptr ||
            (settings_of(s.line.slave).c_cflag & CLOCAL) != 0);
  })) << "the keyboard never became raw or the line never was set up";
  return s;
}

void
type(session& s, std::string_view data, milliseconds limit)
{
  put(s, s.keys >= 0 ? s.keys : s.keyboard.master, data, limit);
}

void
send(session& s, std::string_view data, milliseconds limit)
{
  put(s, s.line.master, data, limit);
}

void
end_input(session& s)
{
  close(std::exchange(s.keys, -1));
}

void
type_and_await_read(session& s, std::string_view keys)
{
  long before = proc_value(s.pid, "io", "rchar:");
  type(s, keys, milliseconds(30000));
  EXPECT_TRUE(eventually([&s, &keys, before] {
    take(s);
    return proc_value(s.pid, "io", "rchar:") >=
           before + static_cast<long>(keys.size());
  })) << "serterm never read the keys typed";
}

void
close_far_end(session& s, stream which)
{
  close(std::exchange(s.fds[static_cast<std::size_t>(which)], -1));
  s.line.master = which == stream::line ? -1 : s.line.master;
  s.keyboard.master = which == stream::screen ? -1 : s.keyboard.master;
}

void
open_prompt(session& s)
{
  type(s, "\x1d");
  await(s, stream::err, "serterm> ");
  EXPECT_TRUE(eventually([&s] {
    return (settings_of(s.keyboard.slave).c_lflag & ICANON) != 0;
  })) << "prompt not cooked";
}

void
commands(session& s, std::initializer_list<std::string_view> lines)
{
  for (std::string_view line : lines) {
    open_prompt(s);
    type(s, line);
    EXPECT_TRUE(eventually([&s] {
      return is_raw(settings_of(s.keyboard.slave));
    })) << "not raw after the prompt";
  }
}

void
end_session(session& s, const outcome& expected, milliseconds limit)
{
  std::erase(running, s.pid);
  end_run(s, expected, limit);
  check_restored(s.line, s.line_before, "line", expected.line_restored);
  check_restored(s.keyboard, s.keyboard_before, "keyboard",
                 expected.keyboard_restored);
  EXPECT_EQ(fcntl(s.keyboard_shared, F_GETFL), s.keyboard_flags)
      << "the keyboard's file status flags changed";
  close(s.keyboard_shared);
  close_pty(s.line);
  close_pty(s.keyboard);
  s = session{};
}

void
quit(session& s, outcome expected)
{
  open_prompt(s);
  type(s, "q\n");
  expected.screen.value += "q\r\n";
  expected.err.value += "serterm> ";
  end_session(s, expected);
}

void
expect_idle(session& s, milliseconds span)
{
  long before = cpu_ticks(s.pid);
  settle(s, span);
  EXPECT_GE(before, 0) << "no processor time for " << s.pid;
  // Under valgrind or an emulator the last of its own work may still be
  // charged: one tick then, where a polling serterm would take the whole
  // span.
  EXPECT_LE(cpu_ticks(s.pid) - before, under_valgrind() || emulated() ? 1 : 0)
      << "serterm used processor time (in clock ticks) while it had only "
         "to wait";
}

void
stop(session& s)
{
  ASSERT_EQ(kill(s.pid, SIGSTOP), 0);
  EXPECT_TRUE(eventually([&s] {
    int status = 0;
    return waitpid(s.pid, &status, WNOHANG | WUNTRACED) == s.pid &&
           WIFSTOPPED(status);
  }));
}

termios
settings_of(int fd)
{
  termios t{};
  EXPECT_EQ(tcgetattr(fd, &t), 0) << std::strerror(errno);
  return t;
}

bool
is_raw(const termios& t)
{
  return (t.c_lflag & (ICANON | ECHO)) == 0;
}

bool
under_valgrind()
{
  const char* logs = std::getenv("SERTERM_VALGRIND");
  return logs != nullptr && *logs != '\0';
}

} // namespace serterm::testing
