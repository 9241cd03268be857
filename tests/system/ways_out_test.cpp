// Every way a run of serterm can end, as one table: how it is brought
// about, the exit status or signal, every stream, and both terminals'
// settings after the run equal to those before it (where the terminal can
// still be read); then every terminating signal, and a line descriptor
// beyond select's reach.
#include "support/session.hpp"

#include <csignal>
#include <cstdio>
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

struct way_out {
  const char* name;
  std::vector<std::string> options;
  const char* line_path; // nullptr: a line pty
  keyboard_kind keyboard;
  bool wait_setup; // wait until the terminals are set up before acting
  void (*act)(session&, int& keys);
  outcome end;
};

void
quit_at_prompt(session& s, int&)
{
  open_prompt(s);
  type(s, "q\n");
}

void
end_input_at_prompt(session& s, int&)
{
  open_prompt(s);
  type(s, "\x04"); // VEOF on an empty line of the cooked terminal
}

void
end_keyboard_pipe(session& s, int& keys)
{
  ASSERT_TRUE(write_all_bounded(keys, "hello"));
  close(keys);
  keys = -1;
  await(s, stream::line, "hello");
}

void
hang_up_keyboard(session& s, int&)
{
  close(s.keyboard.master);
  s.keyboard.master = s.fds[1] = -1;
}

void
hang_up_line(session& s, int&)
{
  close(s.line.master);
  s.line.master = s.fds[0] = -1;
}

void
nothing(session&, int&)
{
}

// The line is /dev/full: it reads as endless NUL bytes, which go to the
// screen, and refuses every write. The screen, as many NULs as came before
// the typed byte failed, is checked here rather than kept.
void
type_into_full_line(session& s, int&)
{
  s.fds[1] = -1;
  type(s, "a");
  std::string screen;
  EXPECT_TRUE(eventually([&s, &screen] {
    read_for(s.keyboard.master, screen, milliseconds(5));
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(s.pid), &info,
                  WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == s.pid;
  }));
  EXPECT_EQ(screen.find_first_not_of('\0'), std::string::npos);
}

template <int SIG>
void
send_signal(session& s, int&)
{
  ASSERT_EQ(kill(s.pid, SIG), 0);
}

void
signal_at_prompt(session& s, int&)
{
  open_prompt(s);
  ASSERT_EQ(kill(s.pid, SIGTERM), 0);
}

void
close_hexdump_reader(session& s, int&)
{
  close(s.fds[2]);
  s.fds[2] = -1;
  send(s, "data");
}

using enum keyboard_kind;

const way_out WAYS_OUT[] = {
    {"QuitAtPrompt",
     {},
     nullptr,
     pty,
     true,
     quit_at_prompt,
     {.screen = "q\r\n", .err = "serterm> "}},
    {"EndOfKeyboardInput",
     {},
     nullptr,
     pipe,
     true,
     end_keyboard_pipe,
     {.line = "hello"}},
    {"KeyboardHangup",
     {},
     nullptr,
     pty,
     true,
     hang_up_keyboard,
     {.keyboard_restored = false}},
    {"EndOfInputAtPrompt",
     {},
     nullptr,
     pty,
     true,
     end_input_at_prompt,
     {.err = "serterm> \nserterm: EOF encountered\n"}},
    {"LineHangup",
     {},
     nullptr,
     pty,
     true,
     hang_up_line,
     {.err = "serterm: line closed\n", .exit_code = 1, .line_restored = false}},
    {"LineEndOfInput",
     {},
     "/dev/null",
     pty,
     false,
     nothing,
     {.err = "serterm: line closed\n", .exit_code = 1}},
    {"LineReadError",
     {},
     "/proc/self/mem",
     pty,
     false,
     nothing,
     {.err = "serterm: line read failed: Input/output error\n",
      .exit_code = 1}},
    {"LineWriteError",
     {},
     "/dev/full",
     pty,
     true,
     type_into_full_line,
     {.err = "serterm: line write failed: No space left on device\n"
             "serterm: bytes not sent to the line: 1\n",
      .exit_code = 1}},
    {"KeyboardReadError",
     {},
     nullptr,
     directory,
     false,
     nothing,
     {.err = "serterm: keyboard read failed: Is a directory\n",
      .exit_code = 1}},
    {"SelectFailed",
     {"-t", "-5"},
     nullptr,
     pty,
     false,
     nothing,
     {.err = "serterm: select failed\n", .exit_code = 1}},
    {"Sighup", {}, nullptr, pty, true, send_signal<SIGHUP>, {.signal = SIGHUP}},
    {"Sigint", {}, nullptr, pty, true, send_signal<SIGINT>, {.signal = SIGINT}},
    {"Sigquit",
     {},
     nullptr,
     pty,
     true,
     send_signal<SIGQUIT>,
     {.signal = SIGQUIT}},
    {"Sigterm",
     {"-19200"},
     nullptr,
     pty,
     true,
     send_signal<SIGTERM>,
     {.signal = SIGTERM}},
    {"SigtermAtPrompt",
     {},
     nullptr,
     pty,
     true,
     signal_at_prompt,
     {.err = "serterm> ", .signal = SIGTERM}},
    {"SigpipeFromHexdumpReader",
     {"-d1"},
     nullptr,
     pty,
     true,
     close_hexdump_reader,
     {.signal = SIGPIPE}},
};

// Names the row in test output instead of dumping its bytes.
void
PrintTo(const way_out& way, std::ostream* os)
{
  *os << way.name;
}

// Whether the default action of `sig` dumps core. Under qemu-user such a
// death also brings qemu's own "uncaught target signal" message on stderr.
bool
dumps_core(int sig)
{
  for (int core : {SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV,
                   SIGXCPU, SIGXFSZ, SIGSYS}) {
    if (sig == core) {
      return true;
    }
  }
  return false;
}

class WaysOut : public ::testing::TestWithParam<way_out> {};

TEST_P(WaysOut, EndsAsExpectedWithBothTerminalsRestored)
{
  const way_out& way = GetParam();
  if (emulated() && dumps_core(way.end.signal)) {
    GTEST_SKIP() << "qemu-user writes its own message on this death";
  }
  int keys[2] = {-1, -1};
  session_setup setup{.line_path = way.line_path,
                      .wait_for_setup = way.wait_setup};
  if (way.keyboard == pipe) {
    ASSERT_EQ(::pipe(keys), 0);
    setup.keyboard = keys[0];
  } else if (way.keyboard == directory) {
    setup.keyboard = keys[0] = open("/", O_RDONLY | O_DIRECTORY);
  }
  session s = start_session(way.options, setup);
  if (keys[0] >= 0) {
    close(keys[0]);
  }
  way.act(s, keys[1]);
  end_session(s, way.end);
  if (keys[1] >= 0) {
    close(keys[1]);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, WaysOut, ::testing::ValuesIn(WAYS_OUT),
                         [](const ::testing::TestParamInfo<way_out>& row) {
                           return std::string(row.param.name);
                         });

// With SIGPIPE ignored from the start, a hexdump reader that has quit is a
// write error like any other: reported, both terminals restored, status 1.
TEST(IgnoredSigpipe, HexdumpReaderGoneIsAWriteError)
{
  session s = start_session({"-d1"}, {.ignore_sigpipe = true});
  int unused = -1;
  close_hexdump_reader(s, unused);
  end_session(s, {.err = "serterm: hexdump write failed: Broken pipe\n",
                  .exit_code = 1});
}

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
  std::string left_out;
  for (int sig : signals) {
    SCOPED_TRACE(std::string("signal ") + std::to_string(sig) + " (" +
                 strsignal(sig) + ")");
    // Under qemu-user, a death that dumps core brings qemu's own message,
    // and the highest real-time signals have no host signal to stand for
    // them: those are left to the native run.
    if (emulated() && dumps_core(sig)) {
      left_out += " " + std::to_string(sig);
      continue;
    }
    session s = start_session({});
    if (kill(s.pid, sig) != 0) {
      EXPECT_TRUE(emulated() && errno == EINVAL) << std::strerror(errno);
      left_out += " " + std::to_string(sig);
      ASSERT_EQ(kill(s.pid, SIGTERM), 0);
      end_session(s, {.signal = SIGTERM});
      continue;
    }
    end_session(s, {.signal = sig});
  }
  if (!left_out.empty()) {
    std::printf("left out under qemu-user: signals%s\n", left_out.c_str());
  }
}

// Descriptors 3 up to this one open at start put the line's own open
// beyond what select can watch.
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
  session s = start_session(
      {}, {.fill_descriptors_to = MANY_DESCRIPTORS, .wait_for_setup = false});
  // Neither terminal may turn raw, not even for a moment.
  bool raw_seen = false;
  EXPECT_TRUE(eventually([&s, &raw_seen] {
    for (int fd : {s.keyboard.slave, s.line.slave}) {
      raw_seen = raw_seen || wait_raw(fd, milliseconds(0));
    }
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(s.pid), &info,
                  WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == s.pid;
  }));
  EXPECT_FALSE(raw_seen);
  end_session(s,
              {.err = "serterm: too many descriptors open to watch the line\n",
               .exit_code = 1});
}

TEST(LineDescriptor, FreeOneBelowTheLimitRelays)
{
  if (!room_for_many_descriptors()) {
    GTEST_SKIP() << "the hard limit on open files is below 1200";
  }
  session s = start_session(
      {}, {.fill_descriptors_to = MANY_DESCRIPTORS, .free_descriptor = 500});
  std::array<char, 256> target{};
  std::string fd_link = "/proc/" + std::to_string(s.pid) + "/fd/500";
  ssize_t length = readlink(fd_link.c_str(), target.data(), target.size());
  ASSERT_GT(length, 0);
  EXPECT_EQ(std::string(target.data(), static_cast<std::size_t>(length)),
            s.line.slave_path);
  type(s, "a");
  await(s, stream::line, "a");
  send(s, "b");
  await(s, stream::screen, "b");
  quit(s, {.line = "a", .screen = "b"});
}

} // namespace
} // namespace serterm::testing
