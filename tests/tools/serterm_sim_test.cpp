// End-to-end tests of serterm-sim: the real binary, talked to through the
// slave side of its pseudo-terminal, with every stream it writes (the pty,
// standard output and standard error) checked whole at the end of its run.
#include "support/session.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using namespace serterm::testing;

[[maybe_unused]] const bool failures_reported = [] {
  report_failure = [](const std::string& what) { ADD_FAILURE() << what; };
  return true;
}();

// Every test runs one simulator at a time in `sim_`, the test on its pty as
// the run's `line` stream, which must deliver exactly `expected_` in all.
// One still running when the test ends is stopped and checked for a plain
// ending, so no test can leave its streams unchecked.
class SimulatorTest : public ::testing::Test {
protected:
  // Starts the simulator with `args`, its standard output and error on
  // pipes.
  void
  launch_simulator(const std::vector<std::string>& args)
  {
    sim_ = run{};
    launch what = program_launch(SERTERM_SIM_PATH, SERTERM_SIM_PATH);
    what.argv.insert(what.argv.end(), args.begin(), args.end());
    what.in = STDIN_FILENO;
    what.out = what.err = PIPE;
    start_run(sim_, what);
  }

  // Starts it, reads the slave path it prints and, if `open_now`, opens it.
  void
  start(const std::vector<std::string>& args = {}, bool open_now = true)
  {
    launch_simulator(args);
    ASSERT_TRUE(await(sim_, stream::out, "\n"));
    path_ = got(sim_, stream::out).substr(0, sim_.seen[2] - 1);
    if (open_now) {
      open_pty_end(path_);
    }
  }

  // Opens `path` raw and non-blocking as the test's end of the pty.
  void
  open_pty_end(const std::string& path)
  {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    sim_.fds[0] = fd;
  }

  void
  close_pty_end()
  {
    close(std::exchange(sim_.fds[0], -1));
  }

  // Sends `command` on the pty, then waits (for up to 30 s: a reply may be
  // a long stream) for `reply` or, with a `span`, takes in all that comes
  // during it. The pty's whole stream is checked at the end, so each reply
  // must be exactly what came.
  void
  say(std::string_view command, std::string_view reply,
      milliseconds span = milliseconds(0))
  {
    put(sim_, sim_.fds[0], command);
    expected_ += reply;
    if (span > milliseconds(0)) {
      settle(sim_, span);
    } else {
      await(sim_, stream::line, reply, std::chrono::seconds(30));
    }
  }

  // Ends the run (with SIGTERM when `stop`) and checks it as `end` says,
  // the pty's stream being `expected_` and, where a slave path was
  // printed, standard output that line alone.
  void
  finish(outcome end = {}, bool stop = true, milliseconds limit = WAIT_LIMIT)
  {
    // The simulator's end takes what waits on the pty with it: first the
    // pty is read for anything the test has not seen, for several of the
    // simulator's 50 ms passes.
    settle(sim_, milliseconds(200));
    close_pty_end();
    if (stop) {
      kill(sim_.pid, SIGTERM);
    }
    end.line = expected_;
    if (!path_.empty()) {
      end.out = path_ + "\n";
    }
    end_run(sim_, end, limit);
  }

  void
  TearDown() override
  {
    if (sim_.pid > 0) {
      finish();
    }
  }

  run sim_;
  std::string path_;
  std::string expected_;
};

using SimulatorLifetime = SimulatorTest;
using SimulatorCommandLine = SimulatorTest;

// A guard time of a fifth of a second, so that the cases around it wait
// less; waits longer than it are safe, whatever the machine's load.
const std::vector<std::string> SHORT_GUARD{"--guard", "200"};
constexpr milliseconds PAST_GUARD{300};
constexpr milliseconds WELL_PAST_GUARD{500};

// One exchange on the pty: what `say` sends, the reply, and the span it
// takes in (0: until the reply came). Nothing sent and nothing replied
// lets `span` pass. With `hang_up`, the test first closes its end and opens
// it again, as a program reconnecting does.
struct exchange {
  std::string command;
  std::string reply;
  milliseconds span{0};
  bool hang_up = false;
};

// A conversation with the simulator started with `args`.
struct conversation : named_row {
  std::vector<std::string> args;
  std::vector<exchange> exchanges;
};

// Loopback data written in pieces and read as it comes, so neither side
// stalls; then a command is data too.
std::vector<exchange>
loopback_pieces()
{
  std::vector<exchange> pieces;
  for (unsigned seed = 0; seed < 20; ++seed) {
    std::string piece = random_bytes(1000, seed);
    pieces.push_back({piece, piece});
  }
  pieces.push_back({"AT\r", "AT\r"});
  return pieces;
}

// The pattern --stream sends: `n` bytes of lines ended by `line_end`.
std::string
expected_stream(std::size_t n, std::string_view line_end)
{
  std::string line =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  line += line_end;
  std::string out;
  while (out.size() < n) {
    out += line;
  }
  out.resize(n);
  return out;
}

// clang-format off
const conversation CONVERSATIONS[] = {
    // An empty line gets no answer: only its echo comes before the next
    // one. Backspace takes back the last character.
    {{"AnswersCommandsWithEchoAndFramedResults"}, {},
     {{"AT\r", "AT\r\r\nOK\r\n"}, {"ati\r", "ati\r\r\nserterm-sim Hayes-style modem\r\n\r\nOK\r\n"},
      {"ATX\r", "ATX\r\r\nERROR\r\n"}, {"hello\r", "hello\r\r\nERROR\r\n"},
      {"\rAT\r", "\rAT\r\r\nOK\r\n"}, {"ATX\bZ\r", "ATX\bZ\r\r\nOK\r\n"}}},
    {{"EchoAndNumericAnswersSwitch"}, {},
     {{"ATE0\r", "ATE0\r\r\nOK\r\n"}, {"AT\r", "\r\nOK\r\n"}, {"ATV0\r", "0\r"}, {"ATQ\r", "4\r"},
      {"ATE1\r", "0\r"}, {"AT\r", "AT\r0\r"}, {"ATZ\r", "ATZ\r\r\nOK\r\n"}}},
    // Commands are data once dialled: echoed, not answered.
    {{"DialEntersDataModeThatEchoesEveryByte"}, SHORT_GUARD,
     {{"ATDT555-1234\r", "ATDT555-1234\r\r\nCONNECT 9600\r\n"}, {all_bytes(), all_bytes()},
      {"AT\r", "AT\r", WELL_PAST_GUARD}}},
    {{"DialWithoutDigitsIsAnError"}, {},
     {{"ATD\r", "ATD\r\r\nERROR\r\n"}, {"ATDX1\r", "ATDX1\r\r\nERROR\r\n"}}},
    {{"GuardedPlusesReturnToCommandMode"}, SHORT_GUARD,
     {{"ATD1\r", "ATD1\r\r\nCONNECT 9600\r\n"}, {"data", "data"}, {"", "", PAST_GUARD},
      {"+++", "+++\r\nOK\r\n"}, {"ATH\r", "ATH\r\r\nOK\r\n"}, {"AT\r", "AT\r\r\nOK\r\n"}}},
    // Each write reaches the simulator in one read: its bytes come
    // together. Data right before the pluses leaves no guard time before
    // them; data right after them (within the guard time) cancels too.
    {{"PlusesWithoutGuardTimeStayData"}, SHORT_GUARD,
     {{"ATD1\r", "ATD1\r\r\nCONNECT 9600\r\n"}, {"", "", PAST_GUARD}, {"x+++", "x+++", WELL_PAST_GUARD},
      {"", "", PAST_GUARD}, {"+++y", "+++y", WELL_PAST_GUARD}, {"AT\r", "AT\r", WELL_PAST_GUARD}}},
    {{"LoopbackEchoesEverything"}, {"--loopback"}, loopback_pieces()},
    {{"CrOnlyEndsLinesWithALoneCr"}, {"--stream", "130", "--cr-only"},
     {{"", expected_stream(130, "\r")}, {"AT\r", "AT\r\rOK\r"}}},
    // After its stream it is the modem.
    {{"StreamSendsExactlyThePattern"}, {"--stream", "100000"},
     {{"", expected_stream(100000, "\r\n")}, {"AT\r", "AT\r\r\nOK\r\n"}}},
    // A hang-up ends the echo off and sends the stream again.
    {{"HangUpStartsAfreshAndRestartsTheStream"}, {"--stream", "10"},
     {{"", "0123456789"}, {"ATE0\r", "ATE0\r\r\nOK\r\n"},
      {"", "0123456789", milliseconds(0), true}, {"AT\r", "AT\r\r\nOK\r\n"}}},
};
// clang-format on

class Conversation : public SimulatorTest,
                     public ::testing::WithParamInterface<conversation> {};

TEST_P(Conversation, RepliesExactly)
{
  start(GetParam().args);
  for (const exchange& said : GetParam().exchanges) {
    if (said.hang_up) {
      close_pty_end();
      // The simulator notices a hang-up at its next look (every 50 ms); a
      // program reconnecting reopens later than that.
      std::this_thread::sleep_for(milliseconds(500));
      open_pty_end(path_);
    }
    say(said.command, said.reply, said.span);
  }
}

INSTANTIATE_TEST_SUITE_P(SimulatorTest, Conversation,
                         ::testing::ValuesIn(CONVERSATIONS), by_name);

TEST_F(SimulatorLifetime, ExitsAfterTheOtherSideClosedAndTheTimeout)
{
  start({"--timeout", "1"});
  say("AT\r", "AT\r\r\nOK\r\n");
  close_pty_end();
  finish({}, false, std::chrono::seconds(15));
}

TEST_F(SimulatorLifetime, LinkIsMadeAndRemovedOnSigterm)
{
  std::string dir =
      std::filesystem::temp_directory_path() / "serterm-sim-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  std::string link = dir + "/modem";
  start({"--link", link}, false);
  std::error_code error;
  EXPECT_EQ(std::filesystem::read_symlink(link, error).string(), path_)
      << error.message();
  open_pty_end(link);
  say("AT\r", "AT\r\r\nOK\r\n");
  finish();
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind";
  unlink(link.c_str());
  rmdir(dir.c_str());
}

TEST_F(SimulatorLifetime, SignalIgnoredAtStartStaysIgnored)
{
  // The simulator inherits the disposition, as from nohup.
  auto old = signal(SIGHUP, SIG_IGN);
  start({}, false);
  signal(SIGHUP, old);
  kill(sim_.pid, SIGHUP);
  std::this_thread::sleep_for(milliseconds(1000));
  EXPECT_FALSE(has_ended(sim_.pid)) << "ended by an ignored SIGHUP";
  open_pty_end(path_);
  say("AT\r", "AT\r\r\nOK\r\n");
}

// The help text: the usage line, the options with --help among them (not
// last), each line ended.
bool
is_help(std::string_view out)
{
  static const std::regex help(
      "Usage: serterm-sim \\[--link PATH\\] [^]*\nOptions:\n[^]*"
      "\n  --help +show this text and exit\n[^]*\n");
  return std::regex_match(out.begin(), out.end(), help);
}

TEST_F(SimulatorCommandLine, HelpAndBadWords)
{
  launch_simulator({"--help"});
  finish({.out = is_help}, false);
  for (const char* option : {"--loopback", "--stream N", "--cr-only",
                             "--link PATH", "--timeout S", "--guard MS"}) {
    EXPECT_NE(got(sim_, stream::out).find(option), std::string::npos) << option;
  }
  // Words it refuses, and the message for each.
  const std::pair<std::vector<std::string>, std::string> bad_words[] = {
      {{"--bogus"}, "unknown option: --bogus"},
      {{"--stream", "-5"}, "--stream: expects a whole number of 0 or more"},
      {{"--stream"}, "option needs a value: --stream"},
      {{"--guard", "x"}, "--guard: expects a whole number of 0 or more"}};
  for (const auto& [args, message] : bad_words) {
    launch_simulator(args);
    finish({.err = "serterm-sim: " + message + "\nTry 'serterm-sim --help'.\n",
            .exit_code = 2},
           false);
  }
}

} // namespace
