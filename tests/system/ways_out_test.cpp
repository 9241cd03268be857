// Every way a run of serterm can end, as one table: how it is brought
// about, the exit status or signal, every stream, and both terminals'
// settings after the run equal to those before it (where the terminal can
// still be read), the keyboard's file status flags too; every terminating
// signal as rows of the same table; and a line descriptor at or beyond select's
// reach.
#include "support/session.hpp"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

namespace serterm::testing {
namespace {

struct way_out : named_row {
  std::vector<std::string> options;
  session_setup setup;
  void (*act)(session&);
  outcome end;
};

// The device floods the line with x while nothing reads `unread` (the
// screen, or standard output in hexdump mode), so that the line and that
// stream fill; a key typed then still reaches the line, and serterm waits
// without using the processor.
void
flood_unread(session& s, stream unread)
{
  pace(s, unread, 0);
  s.flood = std::string(16384, 'x');
  settle(s, milliseconds(100));
  type(s, "A");
  // Only a bound for a loaded machine: behind a screen that takes nothing,
  // a key that waited for it would never come.
  EXPECT_TRUE(await(s, stream::line, "A", milliseconds(5000)));
  expect_idle(s);
}

// Then control-], and once the prompt shows, q and Enter end the run
// within 3 s; what the stream holds is then read.
void
quit_past_unread(session& s, stream unread)
{
  flood_unread(s, unread);
  open_prompt(s);
  type(s, "q\r");
  EXPECT_TRUE(take_until_ended(s, milliseconds(3000)));
  s.flood.clear();
  pace(s, unread, -1);
}

bool
only_x(std::string_view text)
{
  return text.find_first_not_of('x') == std::string_view::npos;
}

// The start of the hexdump text of x after x.
bool
only_hex_x(std::string_view text)
{
  return hex_text(std::string(text.size() / 3 + 1, 'x')).starts_with(text);
}

// The device sends a line's start and hangs up.
void
hang_up_after_partial(session& s)
{
  send(s, "partial");
  await(s, stream::screen, "partial");
  close_far_end(s, stream::line);
}

void
close_hexdump_reader(session& s)
{
  close_far_end(s, stream::out);
  send(s, "data");
}

// What the line's pty, its far end closed, may say to a read: the end of
// input or an error, as the kernel has it at that moment.
const std::string HUNG_UP =
    "serterm: line (closed|read failed: Input/output error)";
const std::string SELECT_FAILED = "serterm: select failed\n";
const std::string HEXDUMP_FAILED = "serterm: hexdump write failed: ";
const session_setup AT_ONCE{.wait_for_setup = false};

// clang-format off
const way_out WAYS_OUT[] = {
    {{"QuitAtPrompt"}, {}, {}, [](session& s) { open_prompt(s); type(s, "q\n"); },
     {.screen = "q\r\n", .err = "serterm> "}},
    // Received bytes cannot be shown on a keyboard pipe's read end: they are
    // dropped and the relay goes on, until the pipe's input ends.
    {{"EndOfKeyboardInput"}, {}, {.keyboard = PIPE},
     [](session& s) { send(s, "from the line"); settle(s, milliseconds(100));
                      type(s, "hello"); end_input(s); },
     {.line = "hello"}},
    {{"KeyboardHangup"}, {}, {}, [](session& s) { close_far_end(s, stream::screen); },
     {.keyboard_restored = false}},
    // ^D: VEOF on an empty line of the cooked terminal.
    {{"EndOfInputAtPrompt"}, {}, {}, [](session& s) { open_prompt(s); type(s, "\x04"); },
     {.err = "serterm> \nserterm: EOF encountered\n"}},
    // The message starts a line of its own, unless the screen's ended.
    {{"LineHangup"}, {}, {}, hang_up_after_partial,
     {.screen = "partial", .err = std::regex("\r\n" + HUNG_UP + "\n"), .exit_code = 1,
      .line_restored = false}},
    // With standard error on the user's terminal, a message written while
    // it was still raw would end in a bare line feed, and the CR LF before
    // it, once the terminal is cooked, would become CR CR LF.
    {{"LineHangupOnTheRestoredTerminal"}, {}, {.err_on_keyboard = true}, hang_up_after_partial,
     {.screen = std::regex("partial\r\n" + HUNG_UP + "\r\n"), .exit_code = 1, .line_restored = false}},
    {{"SelectFailedOnTheRestoredTerminal"}, {"-t", "-1"}, {.wait_for_setup = false, .err_on_keyboard = true},
     nullptr, {.screen = "serterm: select failed\r\n", .exit_code = 1}},
    {{"LineHangupAfterALineEnd"}, {}, {}, [](session& s) { send(s, "done\r\n"); await(s, stream::screen, "\n");
                                                         close_far_end(s, stream::line); },
     {.screen = "done\r\n", .err = std::regex(HUNG_UP + "\n"), .exit_code = 1, .line_restored = false}},
    // The screen, or standard output, takes nothing: the way out does not
    // need it, and neither do the keys.
    {{"QuitPastABlockedScreen"}, {}, {}, [](session& s) { quit_past_unread(s, stream::screen); },
     {.line = "A", .screen = only_x, .err = "\r\nserterm> "}},
    // Before the prompt, hex lines' idle breaks: one comes wherever the flood
    // paused for the flush time-out, as it may on a loaded machine before
    // standard output fills.
    {{"QuitPastUnreadHexdump"}, {"-d1"}, {}, [](session& s) { quit_past_unread(s, stream::out); },
     {.line = "A", .screen = "q\r\n", .out = only_hex_x, .err = std::regex("(\r\n)+serterm> ")}},
    {{"SigtermWithABlockedScreen"}, {}, {},
     [](session& s) { flood_unread(s, stream::screen); ASSERT_EQ(kill(s.pid, SIGTERM), 0);
                      s.flood.clear(); pace(s, stream::screen, -1); },
     {.line = "A", .screen = only_x, .signal = SIGTERM}},
    // Output to the line stopped and a typed byte waiting for it, the line
    // hangs up: the byte is counted as not sent, whether a read or the
    // write finds the line gone.
    {{"LineHangupWithBytesWaiting"}, {}, {},
     [](session& s) { ASSERT_EQ(tcflow(s.line.slave, TCOOFF), 0); type_and_await_read(s, "a");
                      close_far_end(s, stream::line); },
     {.err = std::regex("serterm: line (closed|(read|write) failed: Input/output error)\n"
                        "serterm: bytes not sent to the line: 1\n"),
      .exit_code = 1, .line_restored = false}},
    // A paste waits for a line that takes nothing, and the keyboard's input
    // ends: once the line has taken nothing for a second, what it did not
    // take is counted and the run fails.
    {{"EndOfInputOnAStalledLine"}, {}, {.keyboard = PIPE},
     [](session& s) { ASSERT_EQ(tcflow(s.line.slave, TCOOFF), 0);
                      type(s, random_bytes(60 * 1024, 13, '\x1d')); end_input(s); },
     {.err = "serterm: bytes not sent to the line: 61440\n", .exit_code = 1}},
    {{"KeyboardReadError"}, {}, {.keyboard_path = "/", .wait_for_setup = false}, nullptr,
     {.err = "serterm: keyboard read failed: Is a directory\n", .exit_code = 1}},
    // Without a stand-in on fd 0 the line would be opened there and taken
    // for the keyboard.
    {{"KeyboardClosed"}, {}, {.keyboard = -1, .wait_for_setup = false}, nullptr,
     {.err = "serterm: keyboard read failed: Bad file descriptor\n", .exit_code = 1}},
    {{"KeyboardDevNull"}, {}, {.keyboard_path = "/dev/null", .wait_for_setup = false}, nullptr, {}},
    // Every negative time-out ends the run at its first wait; those below
    // the int range saturate to its minimum (see the option scan's table).
    {{"SelectFailed"}, {"-t", "-5"}, AT_ONCE, nullptr, {.err = SELECT_FAILED, .exit_code = 1}},
    {{"TimeoutMinusOne"}, {"-t", "-1"}, AT_ONCE, nullptr, {.err = SELECT_FAILED, .exit_code = 1}},
    {{"TimeoutIntMin"}, {"-t", "-2147483648"}, AT_ONCE, nullptr, {.err = SELECT_FAILED, .exit_code = 1}},
    // A row without an action whose run must end by a signal is sent it.
    {{"SigtermAfterSpeedChange"}, {"-19200"}, {}, nullptr, {.signal = SIGTERM}},
    {{"SigtermAtPrompt"}, {}, {}, [](session& s) { open_prompt(s); ASSERT_EQ(kill(s.pid, SIGTERM), 0); },
     {.err = "serterm> ", .signal = SIGTERM}},
    {{"SigpipeFromHexdumpReader"}, {"-d1"}, {}, close_hexdump_reader, {.signal = SIGPIPE}},
    // Hexdump text that cannot be written is reported, never sent to the
    // line; the keyboard a pipe the test keeps open and never writes.
    {{"HexdumpStdoutClosed"}, {"-d1"}, {.keyboard = PIPE, .out = -1}, [](session& s) { send(s, "AT"); },
     {.err = HEXDUMP_FAILED + "Bad file descriptor\n", .exit_code = 1}},
    {{"HexdumpStdoutFull"}, {"-d1"}, {.keyboard = PIPE, .out_path = "/dev/full"},
     [](session& s) { send(s, "AT"); }, {.err = HEXDUMP_FAILED + "No space left on device\n", .exit_code = 1}},
    {{"HexdumpReaderGoneSigpipeIgnored"}, {"-d1"}, {.ignore_sigpipe = true}, close_hexdump_reader,
     {.err = HEXDUMP_FAILED + "Broken pipe\n", .exit_code = 1}},
    {{"StdoutClosedWithoutHexdump"}, {}, {.keyboard = PIPE, .out = -1, .wait_for_setup = false},
     [](session& s) { type(s, "ok"); end_input(s); }, {.line = "ok"}},
};
// clang-format on

class WaysOut : public ::testing::TestWithParam<way_out> {};

// Every catchable signal whose default action ends the process, the
// real-time ones included, as rows of their own.
std::vector<way_out>
signal_rows()
{
  std::vector<int> signals = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP,
                              SIGABRT, SIGBUS,  SIGFPE,    SIGUSR1, SIGSEGV,
                              SIGUSR2, SIGPIPE, SIGALRM,   SIGTERM, SIGSTKFLT,
                              SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,
                              SIGPWR,  SIGSYS};
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
    signals.push_back(sig);
  }
  std::vector<way_out> rows;
  for (int sig : signals) {
    const char* name = sigabbrev_np(sig);
    std::string row = name != nullptr ? name : "RT" + std::to_string(sig);
    std::transform(row.begin() + 1, row.end(), row.begin() + 1, ::tolower);
    rows.push_back({{"Sig" + row}, {}, {}, nullptr, {.signal = sig}});
  }
  return rows;
}

TEST_P(WaysOut, EndsAsExpectedWithBothTerminalsRestored)
{
  const way_out& way = GetParam();
  // The signals whose default action dumps core: under qemu-user such a
  // death also brings qemu's own "uncaught target signal" message on stderr.
  constexpr std::array core{SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                            SIGFPE,  SIGSEGV, SIGXCPU, SIGXFSZ, SIGSYS};
  if (emulated() && std::ranges::find(core, way.end.signal) != core.end()) {
    GTEST_SKIP() << "qemu-user writes its own message on this death";
  }
  if (under_valgrind() && (way.setup.keyboard == -1 || way.setup.out == -1)) {
    GTEST_SKIP() << "valgrind's own log would take the closed descriptor";
  }
  session s = start_session(way.options, way.setup);
  if (way.act != nullptr) {
    way.act(s);
  } else if (way.end.signal != 0 && kill(s.pid, way.end.signal) != 0) {
    // Under qemu-user the highest real-time signals have no host signal to
    // stand for them.
    EXPECT_TRUE(emulated() && errno == EINVAL) << std::strerror(errno);
    ASSERT_EQ(kill(s.pid, SIGTERM), 0);
    end_session(s, {.signal = SIGTERM});
    GTEST_SKIP() << "no host signal for this one under qemu-user";
  }
  end_session(s, way.end);
}

INSTANTIATE_TEST_SUITE_P(Table, WaysOut, ::testing::ValuesIn(WAYS_OUT),
                         by_name);
INSTANTIATE_TEST_SUITE_P(Signals, WaysOut, ::testing::ValuesIn(signal_rows()),
                         by_name);

// Descriptors 3 up to this one open at start put the line's own open
// beyond what select can watch.
constexpr int MANY_DESCRIPTORS = 1100;

// Each test needs the child to be able to raise its soft limit far enough
// for that.
class LineDescriptor : public ::testing::Test {
  void
  SetUp() override
  {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 ||
        (files.rlim_max != RLIM_INFINITY && files.rlim_max < 1200)) {
      GTEST_SKIP() << "the hard limit on open files is below 1200";
    }
  }
};

TEST_F(LineDescriptor, BeyondSelectIsRefusedBeforeAnySettingChanges)
{
  // The line would open as descriptor FD_SETSIZE itself, or far beyond.
  for (int first_free : {FD_SETSIZE, MANY_DESCRIPTORS}) {
    SCOPED_TRACE(first_free);
    session s = start_session(
        {}, {.fill_descriptors_to = first_free, .wait_for_setup = false});
    // Neither terminal may turn raw, not even for a moment.
    bool raw_seen = false;
    EXPECT_TRUE(eventually([&s, &raw_seen] {
      raw_seen = raw_seen || is_raw(settings_of(s.keyboard.slave)) ||
                 is_raw(settings_of(s.line.slave));
      return has_ended(s.pid);
    }));
    EXPECT_FALSE(raw_seen);
    end_session(
        s, {.err = "serterm: too many descriptors open to watch the line\n",
            .exit_code = 1});
  }
}

TEST_F(LineDescriptor, FreeOneBelowTheLimitRelays)
{
  session s = start_session(
      {}, {.fill_descriptors_to = MANY_DESCRIPTORS, .free_descriptor = 500});
  std::string fd_500 = "/proc/" + std::to_string(s.pid) + "/fd/500";
  std::error_code error;
  EXPECT_EQ(std::filesystem::read_symlink(fd_500, error).string(),
            s.line.slave_path)
      << error.message();
  type(s, "a");
  send(s, "b");
  await(s, stream::screen, "b");
  quit(s, {.line = "a", .screen = "b", .err = "\r\n"});
}

} // namespace
} // namespace serterm::testing
