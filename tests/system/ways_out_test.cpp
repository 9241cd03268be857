// Every way a run of serterm can end, as one table: how it is brought
// about, the exit status or signal, the exact standard error, and both
// terminals' settings after the run equal to those before it (where the
// terminal can still be read).
#include "support/pty_support.hpp"

#include <array>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace serterm::testing {
namespace {

// What stands in for the user's terminal on fd 0.
enum class keyboard_kind {
  pty,      // a keyboard pty slave, opened read-write
  pipe,     // the read end of a pipe the test writes
  directory // a directory opened read-only: every read fails
};

// One run in progress: the terminals, the child, and what it said so far.
struct run {
  pty_pair line;     // unused when the row names a line device path
  pty_pair keyboard; // unused unless the keyboard is a pty
  int keys = -1;     // the pipe's write end, for a pipe keyboard
  child proc;
  std::string err;
};

struct way_out {
  const char* name;
  std::vector<std::string> options;
  const char* line_path; // nullptr: a line pty
  keyboard_kind keyboard;
  bool wait_setup; // wait until the terminals are set up before acting
  void (*act)(run&);
  int exit_status; // expected exit status, or -1 when ended by a signal
  int signal;      // expected signal when exit_status is -1
  const char* err; // the whole standard error, exactly
  bool line_readable_after;
  bool keyboard_readable_after;
};

void
open_prompt(run& r)
{
  ASSERT_TRUE(write_all_bounded(r.keyboard.master, "\x1d"));
  ASSERT_TRUE(read_until(r.proc.err, r.err, "serterm> "));
  ASSERT_TRUE(wait_cooked(r.keyboard.slave));
}

void
quit_at_prompt(run& r)
{
  open_prompt(r);
  ASSERT_TRUE(write_all_bounded(r.keyboard.master, "q\n"));
}

void
end_input_at_prompt(run& r)
{
  open_prompt(r);
  // VEOF on an empty line of the cooked terminal is end of input.
  ASSERT_TRUE(write_all_bounded(r.keyboard.master, "\x04"));
}

void
end_keyboard_pipe(run& r)
{
  ASSERT_TRUE(write_all_bounded(r.keys, "hello"));
  close(r.keys);
  r.keys = -1;
  std::string got;
  EXPECT_TRUE(read_at_least(r.line.master, got, 5));
  EXPECT_EQ(got, "hello");
}

void
hang_up_keyboard(run& r)
{
  close(r.keyboard.master);
  r.keyboard.master = -1;
}

void
hang_up_line(run& r)
{
  close(r.line.master);
  r.line.master = -1;
}

void
nothing(run&)
{
}

// The line is /dev/full: it reads as endless NUL bytes, which the test
// keeps taking off the screen, and refuses every write.
void
type_into_full_line(run& r)
{
  ASSERT_TRUE(write_all_bounded(r.keyboard.master, "a"));
  ASSERT_TRUE(eventually([&r] {
    std::string screen;
    read_for(r.keyboard.master, screen, milliseconds(5));
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(r.proc.pid), &info,
                  WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == r.proc.pid;
  }));
}

template <int SIG>
void
send_signal(run& r)
{
  ASSERT_EQ(kill(r.proc.pid, SIG), 0);
}

void
signal_at_prompt(run& r)
{
  open_prompt(r);
  ASSERT_EQ(kill(r.proc.pid, SIGTERM), 0);
}

void
close_hexdump_reader(run& r)
{
  close(r.proc.out);
  r.proc.out = -1;
  ASSERT_TRUE(write_all_bounded(r.line.master, "data"));
}

const way_out WAYS_OUT[] = {
    {"QuitAtPrompt",
     {},
     nullptr,
     keyboard_kind::pty,
     true,
     quit_at_prompt,
     0,
     0,
     "serterm> ",
     true,
     true},
    {"EndOfKeyboardInput",
     {},
     nullptr,
     keyboard_kind::pipe,
     true,
     end_keyboard_pipe,
     0,
     0,
     "",
     true,
     false},
    {"KeyboardHangup",
     {},
     nullptr,
     keyboard_kind::pty,
     true,
     hang_up_keyboard,
     0,
     0,
     "",
     true,
     false},
    {"EndOfInputAtPrompt",
     {},
     nullptr,
     keyboard_kind::pty,
     true,
     end_input_at_prompt,
     0,
     0,
     "serterm> \nserterm: EOF encountered\n",
     true,
     true},
    {"LineHangup",
     {},
     nullptr,
     keyboard_kind::pty,
     true,
     hang_up_line,
     1,
     0,
     "serterm: line closed\n",
     false,
     true},
    {"LineEndOfInput",
     {},
     "/dev/null",
     keyboard_kind::pty,
     false,
     nothing,
     1,
     0,
     "serterm: line closed\n",
     false,
     true},
    {"LineReadError",
     {},
     "/proc/self/mem",
     keyboard_kind::pty,
     false,
     nothing,
     1,
     0,
     "serterm: line read failed: Input/output error\n",
     false,
     true},
    {"LineWriteError",
     {},
     "/dev/full",
     keyboard_kind::pty,
     true,
     type_into_full_line,
     1,
     0,
     "serterm: line write failed: No space left on device\n",
     false,
     true},
    {"KeyboardReadError",
     {},
     nullptr,
     keyboard_kind::directory,
     false,
     nothing,
     1,
     0,
     "serterm: keyboard read failed: Is a directory\n",
     true,
     false},
    {"SelectFailed",
     {"-t", "-5"},
     nullptr,
     keyboard_kind::pty,
     false,
     nothing,
     1,
     0,
     "serterm: select failed\n",
     true,
     true},
    {"Sighup",
     {},
     nullptr,
     keyboard_kind::pty,
     true,
     send_signal<SIGHUP>,
     -1,
     SIGHUP,
     "",
     true,
     true},
    {"Sigint",
     {},
     nullptr,
     keyboard_kind::pty,
     true,
     send_signal<SIGINT>,
     -1,
     SIGINT,
     "",
     true,
     true},
    {"Sigquit",
     {},
     nullptr,
     keyboard_kind::pty,
     true,
     send_signal<SIGQUIT>,
     -1,
     SIGQUIT,
     "",
     true,
     true},
    {"Sigterm",
     {"-19200"},
     nullptr,
     keyboard_kind::pty,
     true,
     send_signal<SIGTERM>,
     -1,
     SIGTERM,
     "",
     true,
     true},
    {"SigtermAtPrompt",
     {},
     nullptr,
     keyboard_kind::pty,
     true,
     signal_at_prompt,
     -1,
     SIGTERM,
     "serterm> ",
     true,
     true},
    {"SigpipeFromHexdumpReader",
     {"-d1"},
     nullptr,
     keyboard_kind::pty,
     true,
     close_hexdump_reader,
     -1,
     SIGPIPE,
     "",
     true,
     true},
};

// Names the row in test output instead of dumping its bytes.
void
PrintTo(const way_out& way, std::ostream* os)
{
  *os << way.name;
}

class WaysOut : public ::testing::TestWithParam<way_out> {};

TEST_P(WaysOut, EndsAsExpectedWithBothTerminalsRestored)
{
  const way_out& way = GetParam();
  run r;
  r.line = open_pty();
  termios line_before = settings_of(r.line.slave);
  spawn_options how;
  termios keyboard_before{};
  int keys[2] = {-1, -1};
  switch (way.keyboard) {
  case keyboard_kind::pty:
    r.keyboard = open_pty();
    keyboard_before = settings_of(r.keyboard.slave);
    how.keyboard_path = r.keyboard.slave_path;
    break;
  case keyboard_kind::pipe:
    ASSERT_EQ(pipe(keys), 0);
    how.stdin_fd = keys[0];
    r.keys = keys[1];
    break;
  case keyboard_kind::directory:
    how.stdin_fd = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(how.stdin_fd, 0);
    break;
  }
  std::vector<std::string> args = way.options;
  args.push_back(way.line_path != nullptr ? way.line_path : r.line.slave_path);
  r.proc = spawn_serterm(args, how);
  if (how.stdin_fd >= 0) {
    close(how.stdin_fd);
  }

  if (way.wait_setup) {
    if (way.keyboard == keyboard_kind::pty) {
      EXPECT_TRUE(wait_raw(r.keyboard.slave)) << "keyboard never became raw";
    }
    if (way.line_path == nullptr) {
      EXPECT_TRUE(eventually([&r] {
        termios t{};
        return tcgetattr(r.line.slave, &t) == 0 && (t.c_cflag & CLOCAL) != 0;
      })) << "line never set up";
    }
  }
  way.act(r);

  std::string rest;
  int status = finish(r.proc, nullptr, &rest);
  r.err += rest;
  if (way.exit_status >= 0) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == way.exit_status)
        << "wait status " << status;
  } else {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == way.signal)
        << "wait status " << status;
  }
  EXPECT_EQ(r.err, way.err);

  std::string why;
  if (way.line_path == nullptr && way.line_readable_after) {
    EXPECT_TRUE(same_settings(settings_of(r.line.slave), line_before, &why))
        << "line not restored: " << why;
  }
  if (way.keyboard == keyboard_kind::pty && way.keyboard_readable_after) {
    EXPECT_TRUE(
        same_settings(settings_of(r.keyboard.slave), keyboard_before, &why))
        << "keyboard not restored: " << why;
  }
  if (r.keys >= 0) {
    close(r.keys);
  }
  close_pty(r.line);
  close_pty(r.keyboard);
}

// With SIGPIPE ignored from the start, a hexdump reader that has quit is a
// write error like any other: reported, both terminals restored, status 1.
TEST(IgnoredSigpipe, HexdumpReaderGoneIsAWriteError)
{
  session_setup setup;
  setup.how.ignore_sigpipe = true;
  session s = start_session({"-d1"}, setup);
  close(s.proc.out);
  s.proc.out = -1;
  ASSERT_TRUE(write_all_bounded(s.line.master, "data"));
  std::string err;
  int status = end_session(s, nullptr, &err);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(err, "serterm: hexdump write failed: Broken pipe\n");
}

// Every catchable signal whose default action ends the process, sent while
// relaying: both terminals restored, death by that signal, nothing printed.
TEST(TerminatingSignals, EachRestoresBothTerminalsAndEndsTheRun)
{
  std::vector<int> signals = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP,
                              SIGABRT, SIGBUS,  SIGFPE,    SIGUSR1, SIGSEGV,
                              SIGUSR2, SIGPIPE, SIGALRM,   SIGTERM, SIGSTKFLT,
                              SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,
                              SIGPWR,  SIGSYS};
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
    signals.push_back(sig);
  }
  for (int sig : signals) {
    SCOPED_TRACE(std::string("signal ") + std::to_string(sig) + " (" +
                 strsignal(sig) + ")");
    session s = start_session({});
    ASSERT_EQ(kill(s.proc.pid, sig), 0);
    std::string out;
    std::string err;
    int status = end_session(s, &out, &err);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig)
        << "wait status " << status;
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
  }
}

// Descriptors 3 to this number open at start put the line's own open above
// what select can watch.
constexpr int MANY_DESCRIPTORS = 1100;

// True when the child may raise its soft limit far enough for that.
bool
room_for_many_descriptors()
{
  rlimit files{};
  return getrlimit(RLIMIT_NOFILE, &files) == 0 &&
         (files.rlim_max == RLIM_INFINITY || files.rlim_max >= 1200);
}

TEST(LineDescriptor, BeyondSelectIsRefusedBeforeAnySettingChanges)
{
  if (!room_for_many_descriptors()) {
    GTEST_SKIP() << "the hard limit on open files is below 1200";
  }
  session_setup setup;
  setup.how.fill_descriptors_to = MANY_DESCRIPTORS;
  setup.wait_for_raw = false;
  session s = start_session({}, setup);
  // Watch both terminals until the child has ended: neither may turn raw,
  // not even for a moment.
  bool raw_seen = false;
  EXPECT_TRUE(eventually([&s, &raw_seen] {
    for (int fd : {s.keyboard.slave, s.line.slave}) {
      termios t{};
      if (tcgetattr(fd, &t) == 0 && (t.c_lflag & ICANON) == 0) {
        raw_seen = true;
      }
    }
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(s.proc.pid), &info,
                  WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == s.proc.pid;
  }));
  EXPECT_FALSE(raw_seen);
  std::string out;
  std::string err;
  int status = end_session(s, &out, &err);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1)
      << "wait status " << status;
  EXPECT_EQ(err, "serterm: too many descriptors open to watch the line\n");
  EXPECT_EQ(out, "");
}

TEST(LineDescriptor, FreeOneBelowTheLimitRelays)
{
  if (!room_for_many_descriptors()) {
    GTEST_SKIP() << "the hard limit on open files is below 1200";
  }
  session_setup setup;
  setup.how.fill_descriptors_to = MANY_DESCRIPTORS;
  setup.how.free_descriptor = 500;
  session s = start_session({}, setup);
  std::array<char, 256> target{};
  std::string fd_link = "/proc/" + std::to_string(s.proc.pid) + "/fd/500";
  ssize_t length = readlink(fd_link.c_str(), target.data(), target.size());
  ASSERT_GT(length, 0);
  EXPECT_EQ(std::string(target.data(), static_cast<std::size_t>(length)),
            s.line.slave_path);

  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "a"));
  std::string line;
  EXPECT_TRUE(read_at_least(s.line.master, line, 1));
  EXPECT_EQ(line, "a");
  ASSERT_TRUE(write_all_bounded(s.line.master, "b"));
  std::string screen;
  EXPECT_TRUE(read_at_least(s.keyboard.master, screen, 1));
  EXPECT_EQ(screen, "b");

  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "\x1d"));
  std::string err;
  ASSERT_TRUE(read_until(s.proc.err, err, "serterm> "));
  ASSERT_TRUE(wait_cooked(s.keyboard.slave));
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "q\n"));
  std::string rest;
  int status = end_session(s, nullptr, &rest);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "wait status " << status;
  EXPECT_EQ(err + rest, "serterm> ");
}

INSTANTIATE_TEST_SUITE_P(Table, WaysOut, ::testing::ValuesIn(WAYS_OUT),
                         [](const ::testing::TestParamInfo<way_out>& row) {
                           return std::string(row.param.name);
                         });

} // namespace
} // namespace serterm::testing
