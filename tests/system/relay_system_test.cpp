// End-to-end tests of the relay: the serterm binary between a line pty and a
// keyboard pty, checking every stream, exit statuses and terminal settings.
#include "support/session.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace serterm::testing {
namespace {

constexpr char ESC = '\x1d';

TEST(Relay, SettingsDuringTheRun)
{
  // The line found with VMIN 3: serterm makes it raw at the speed asked
  // for, VMIN 1 and VTIME 0 among its settings, so that a lone byte still
  // shows at once; the keyboard raw without echo; both put back at the end.
  // Speeds it does not offer fall back to 9600, those beyond the int range
  // too (they saturate to its maximum, see the option scan's table). Keys
  // and received bytes pass unchanged, and there is no echo.
  pty_pair probe;
  ASSERT_TRUE(open_pty(probe));
  termios found = settings_of(probe.slave);
  close_pty(probe);
  found.c_cc[VMIN] = 3;
  found.c_cc[VTIME] = 0;
  const struct {
    std::vector<std::string> options;
    speed_t speed;
    std::string err;
  } rows[] = {
      // clang-format off
      {{}, B9600, ""},
      {{"-57600"}, B57600, ""},
      {{"-115200"}, B115200, ""},
      {{"-300"}, B9600, "300 bps unavailable.  9600 bps selected.\n"},
      {{"-99999999999"}, B9600, "2147483647 bps unavailable.  9600 bps selected.\n"},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.speed);
    session s = start_session(row.options, {.line = &found});
    EXPECT_EQ(raw_line_difference(settings_of(s.line.slave), s.line_before,
                                  row.speed),
              "");
    termios raw = s.keyboard_before;
    cfmakeraw(&raw); // echo off among the rest
    EXPECT_EQ(settings_difference(settings_of(s.keyboard.slave), raw), "");
    type(s, "AT\r");
    send(s, "z");
    await(s, stream::screen, "z");
    // The prompt starts a line of its own after the screen's.
    quit(s, {.line = "AT\r", .screen = "z", .err = row.err + "\r\n"});
  }
}

// How a start failure's device is had: the path as given; a regular file
// (keys are typed at serterm) or a FIFO made for the row; a pty a first
// serterm relays on, one another process has locked, or one only its group
// may open, tried as a user outside that group.
enum class device { named, file, fifo, held, locked, group_only };

struct start_failure : named_row {
  device kind;
  std::string reason; // ends the second line; none: a usage error
  std::string path = "";
  const char* option = "-9600";
  const char* argv0 = "serterm";
};

// clang-format off
const start_failure START_FAILURES[] = {
    {{"Missing"}, device::named, "No such file or directory", "/nonexistent/tty", "-115200"},
    {{"EmptyWord"}, device::named, "No such file or directory", "", "-115200", "./st"},
    {{"Directory"}, device::named, "Is a directory", "/"},
    {{"LongName"}, device::named, "File name too long", std::string(5000, 'a')},
    {{"LongLastPart"}, device::named, "File name too long", "/tmp/" + std::string(300, 'n')},
    {{"DevNull"}, device::named, "not a terminal", "/dev/null"},
    {{"DevFull"}, device::named, "not a terminal", "/dev/full"},
    {{"ProcessMemory"}, device::named, "not a terminal", "/proc/self/mem"},
    {{"RegularFile"}, device::file, "not a terminal"},
    {{"Fifo"}, device::fifo, "not a terminal"},
    {{"HeldBySerterm"}, device::held, "in use by another program"},
    {{"LockedByAnother"}, device::locked, "in use by another program"},
    // argv[0] not "serterm", so not under valgrind, whose logs that user
    // could not write.
    {{"OutsideTheGroup"}, device::group_only,
     "Permission denied (the device belongs to group root)", "", "-9600", "./st"},
    {{"UsageError"}, device::named, "", "/dev/null", "-h2", "./st"},
};
// clang-format on

class StartFailures : public ::testing::TestWithParam<start_failure> {};

TEST_P(StartFailures, ChangeNothing)
{
  const start_failure& row = GetParam();
  device kind = row.kind;
  if (kind == device::group_only && getuid() != 0) {
    GTEST_SKIP() << "only root can start serterm as a user outside a group";
  }
  char dir[] = "/tmp/serterm-start-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string made = std::string(dir) + "/line";
  session first = kind == device::held ? start_session({"-115200"}) : session{};
  pty_pair taken;
  ASSERT_TRUE(open_pty(taken));
  ASSERT_TRUE(kind != device::file || std::ofstream(made) << "text");
  ASSERT_TRUE(kind != device::fifo || mkfifo(made.c_str(), 0600) == 0);
  ASSERT_TRUE(kind != device::locked ||
              flock(taken.slave, LOCK_EX | LOCK_NB) == 0);
  ASSERT_TRUE(kind != device::group_only || (fchown(taken.slave, 0, 0) == 0 &&
                                             fchmod(taken.slave, 0660) == 0));
  std::string path = kind == device::named                          ? row.path
                     : kind == device::file || kind == device::fifo ? made
                     : kind == device::held ? first.line.slave_path
                                            : taken.slave_path;
  int line = kind == device::held ? first.line.slave : taken.slave;
  termios before = settings_of(line);
  session s = start_session({row.option},
                            {.line_path = path.c_str(),
                             .argv0 = row.argv0,
                             .user = kind == device::group_only ? 65534 : -1,
                             .wait_for_setup = false});
  std::string typed = kind == device::file ? "typed" : "";
  type(s, typed); // the keyboard, never made raw, echoes them
  await(s, stream::screen, typed);
  end_session(s, {.screen = typed,
                  .err = row.reason.empty()
                             ? usage_text(row.argv0)
                             : "can't open " + path + "\n" + row.argv0 + ": " +
                                   path + ": " + row.reason + "\n",
                  .exit_code = 1});
  EXPECT_EQ(settings_difference(settings_of(line), before), "");
  std::string text;
  EXPECT_TRUE(kind != device::file || std::getline(std::ifstream(made), text));
  EXPECT_EQ(text, kind == device::file ? "text" : "");
  if (kind == device::held) {
    type(first, "a");
    send(first, "b");
    await(first, stream::screen, "b");
    // The line put back as found.
    quit(first, {.line = "a", .screen = "b", .err = "\r\n"});
  }
  std::filesystem::remove_all(dir);
  close_pty(taken);
}

INSTANTIATE_TEST_SUITE_P(Relay, StartFailures,
                         ::testing::ValuesIn(START_FAILURES), by_name);

TEST(Relay, MapCrOnReceivedData)
{
  session s = start_session({"-r1"});
  send(s, "a\rb\r\n");
  // CR and LF in separate reads show as one CR LF.
  send(s, "OK\r");
  await(s, stream::screen, "OK\r\n");
  send(s, "\nnext");
  await(s, stream::screen, "next");
  // A full chunk of CRs doubles, nothing dropped.
  send(s, std::string(8192, '\r'));
  std::string doubled = crlf_shown(std::string(8192, '\r'));
  await(s, stream::screen, doubled);
  quit(s, {.screen = "a\r\nb\r\nOK\r\nnext" + doubled});
}

TEST(Relay, HalfDuplexEchoesThroughMapping)
{
  session s = start_session({"-h1", "-r1"});
  type(s, "\r");
  await(s, stream::screen, "\r\n");
  type(s, "\nx");
  // The line gets the bytes as typed; the typed CR LF shows once.
  quit(s, {.line = "\r\nx", .screen = "\r\nx", .err = "\r\n"});

  s = start_session({"-h1"});
  type(s, "a\r");
  quit(s, {.line = "a\r", .screen = "a\r", .err = "\r\n"});
}

TEST(Relay, StoppedScreenHoldsUpNoKeyAndLosesNoData)
{
  // The device floods the line with a known pattern while the screen takes
  // nothing: each key typed reaches the line all the same, and once the
  // screen is read again it shows all the device sent, in order.
  session s = start_session({});
  s.flood = random_bytes(4093, 23, ESC);
  pace(s, stream::screen, 0);
  const std::string keys = "abcdefghij";
  for (char key : keys) {
    settle(s, milliseconds(20));
    type(s, std::string(1, key));
    // Only a bound for a loaded machine: a key that waited for the screen
    // would never come.
    ASSERT_TRUE(
        await(s, stream::line, std::string(1, key), milliseconds(5000)));
  }
  // What the device sent: the flood over and over, as far as it went.
  std::string sent;
  while (sent.size() < s.flood_sent) {
    sent += s.flood;
  }
  sent.resize(s.flood_sent);
  s.flood.clear();
  pace(s, stream::screen, -1);
  await(s, stream::screen, at_least(sent.size()));
  EXPECT_GT(sent.size(), 4093U) << "the flood never filled the screen";
  quit(s, {.line = keys, .screen = sent, .err = line_left_open(sent)});
}

TEST(Relay, StallingEchoDeviceDoesNotDeadlock)
{
  session s = start_session({"-115200"});
  std::string paste = random_bytes(64 * 1024, 11, ESC);
  std::string device_saw;
  // The device echoes every byte and reads nothing more until its echo is
  // taken: if serterm stopped reading the line while its own writes wait,
  // both would block. The device's thread has the line to itself.
  pace(s, stream::line, 0);
  std::thread device([&] {
    auto end = steady::now() + std::chrono::seconds(60);
    while (device_saw.size() < paste.size() && remaining_ms(end) > 0) {
      std::string chunk;
      read_for(s.line.master, chunk, milliseconds(10));
      device_saw += chunk;
      if (!write_all_bounded(s.line.master, chunk, milliseconds(30000))) {
        return;
      }
    }
  });
  for (std::size_t at = 0; at < paste.size(); at += 4096) {
    type(s, std::string_view(paste).substr(at, 4096), milliseconds(30000));
  }
  await(s, stream::screen, at_least(paste.size()), milliseconds(30000));
  device.join();
  pace(s, stream::line, -1);
  got(s, stream::line) = device_saw;
  quit(s, {.line = paste, .screen = paste, .err = line_left_open(paste)});
}

} // namespace
} // namespace serterm::testing
