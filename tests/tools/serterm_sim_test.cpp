// End-to-end tests of serterm-sim: the real binary, talked to through the
// slave side of its pseudo-terminal, with every stream it writes checked.
#include "support/pty_kit.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <initializer_list>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace serterm::testing;
using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;
using ::testing::PrintToString;

// How long the pty is read at the end for anything the test has not seen:
// several of the simulator's 50 ms passes.
constexpr milliseconds SETTLE{200};

// A run of serterm-sim: its process, the read ends of the pipes on its
// standard output and error and what came on them, the slave path it
// printed, and the test's descriptor on the pty (-1: none open).
struct simulator {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
  std::string out_text;
  std::string err_text;
  std::string path;
  int fd = -1;
};

// How a run ends and what its streams hold whole: standard output matched
// by the regular expression `out` (by default the slave path line alone),
// standard error and what the pty delivers after the test's last read
// exactly, and the exit status `code`.
struct ending {
  std::string out = R"(/dev/pts/[0-9]+\n)";
  std::string err = "";
  std::string pty = "";
  int code = 0;
  bool stop = true; // end it with SIGTERM; false: it ends by itself
  milliseconds limit = WAIT_LIMIT;
};

// Starts serterm-sim with `args`, its standard output and error on pipes.
simulator
start_simulator(const std::vector<std::string>& args)
{
  simulator sim;
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0) << std::strerror(errno);
  EXPECT_EQ(pipe2(err, O_CLOEXEC), 0) << std::strerror(errno);
  launch what = program_launch(SERTERM_SIM_PATH, SERTERM_SIM_PATH);
  what.argv.insert(what.argv.end(), args.begin(), args.end());
  what.in = STDIN_FILENO;
  what.out = out[1];
  what.err = err[1];
  sim.pid = start_process(what);
  EXPECT_GT(sim.pid, 0) << std::strerror(errno);
  close(out[1]);
  close(err[1]);
  sim.out = out[0];
  sim.err = err[0];
  set_nonblocking(sim.out);
  set_nonblocking(sim.err);
  return sim;
}

// Opens `path` raw and non-blocking as the test's descriptor on the pty.
AssertionResult
open_slave(simulator& sim, const std::string& path)
{
  sim.fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (sim.fd < 0) {
    return AssertionFailure() << path << ": " << std::strerror(errno);
  }
  termios t{};
  tcgetattr(sim.fd, &t);
  cfmakeraw(&t);
  tcsetattr(sim.fd, TCSANOW, &t);
  return AssertionSuccess();
}

void
close_slave(simulator& sim)
{
  close(sim.fd);
  sim.fd = -1;
}

// Sends `command` on the pty and reads until `reply` has come or, with a
// `span`, all that comes during it. Succeeds if what came is exactly
// `reply`.
AssertionResult
replies(simulator& sim, std::string_view command, std::string_view reply,
        milliseconds span = milliseconds(0))
{
  if (!write_all_bounded(sim.fd, command)) {
    return AssertionFailure() << "could not send " << PrintToString(command);
  }
  std::string got;
  if (span > milliseconds(0)) {
    read_for(sim.fd, got, span);
  } else {
    read_until(sim.fd, got, reply);
  }
  if (got == reply) {
    return AssertionSuccess();
  }
  return AssertionFailure()
         << "after " << PrintToString(command) << " got " << PrintToString(got)
         << ", expected " << PrintToString(reply);
}

// One step of a conversation: what the test sends and the whole reply.
struct turn {
  std::string_view command;
  std::string_view reply;
};

// Holds the conversation `turns` on the pty, checking every reply whole.
void
converse(simulator& sim, std::initializer_list<turn> turns)
{
  for (const turn& t : turns) {
    EXPECT_TRUE(replies(sim, t.command, t.reply));
  }
}

// True if `pid` has ended; its status is left to be collected.
bool
has_ended(pid_t pid)
{
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info,
                WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid != 0;
}

// Ends the run as `expected` says (killing it after its limit), then checks
// the exit status, standard output, standard error and the rest of the pty
// whole. Closes every descriptor of `sim`; the texts stay.
void
finish(simulator& sim, const ending& expected)
{
  ASSERT_GT(sim.pid, 0) << "the simulator never started";
  std::string pty;
  if (sim.fd >= 0) {
    // The simulator's end takes what waits on the pty with it.
    read_for(sim.fd, pty, SETTLE);
    close_slave(sim);
  }
  if (expected.stop) {
    kill(sim.pid, SIGTERM);
  }
  int status = wait_child(sim.pid, expected.limit);
  sim.pid = -1;
  drain(sim.out, sim.out_text);
  drain(sim.err, sim.err_text);
  close(sim.out);
  close(sim.err);
  sim.out = sim.err = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == expected.code)
      << "wait status " << status << " (-1: killed after the limit), expected "
      << "exit " << expected.code;
  EXPECT_TRUE(std::regex_match(sim.out_text, std::regex(expected.out)))
      << "stdout " << PrintToString(sim.out_text) << " does not match "
      << PrintToString(expected.out);
  EXPECT_EQ(sim.err_text, expected.err) << "stderr";
  EXPECT_EQ(pty, expected.pty) << "what the pty delivered at the end";
}

// Every test runs one simulator at a time in `sim_`; one still running when
// the test ends is stopped and checked for a plain ending, so no test can
// leave its streams unchecked.
class SimulatorTest : public ::testing::Test {
protected:
  // Starts the simulator with `args`, reads the slave path it prints and,
  // if `open_now`, opens it.
  void
  start(const std::vector<std::string>& args = {}, bool open_now = true)
  {
    sim_ = start_simulator(args);
    ASSERT_TRUE(read_until(sim_.out, sim_.out_text, "\n"))
        << "no slave path; stdout " << PrintToString(sim_.out_text);
    sim_.path = sim_.out_text.substr(0, sim_.out_text.find('\n'));
    if (open_now) {
      ASSERT_TRUE(open_slave(sim_, sim_.path));
    }
  }

  void
  TearDown() override
  {
    if (sim_.pid > 0) {
      finish(sim_, {});
    }
  }

  simulator sim_;
};

using SimulatorLifetime = SimulatorTest;
using SimulatorCommandLine = SimulatorTest;

TEST_F(SimulatorTest, AnswersCommandsWithEchoAndFramedResults)
{
  start();
  converse(sim_,
           {{"AT\r", "AT\r\r\nOK\r\n"},
            {"ati\r", "ati\r\r\nserterm-sim Hayes-style modem\r\n\r\nOK\r\n"},
            {"ATX\r", "ATX\r\r\nERROR\r\n"},
            {"hello\r", "hello\r\r\nERROR\r\n"},
            // An empty line gets no answer: only its echo comes before the
            // next one.
            {"\rAT\r", "\rAT\r\r\nOK\r\n"},
            // Backspace takes back the last character.
            {"ATX\bZ\r", "ATX\bZ\r\r\nOK\r\n"}});
}

TEST_F(SimulatorTest, EchoAndNumericAnswersSwitch)
{
  start();
  converse(sim_, {{"ATE0\r", "ATE0\r\r\nOK\r\n"},
                  {"AT\r", "\r\nOK\r\n"},
                  {"ATV0\r", "0\r"},
                  {"ATQ\r", "4\r"},
                  {"ATE1\r", "0\r"},
                  {"AT\r", "AT\r0\r"},
                  {"ATZ\r", "ATZ\r\r\nOK\r\n"}});
}

TEST_F(SimulatorTest, DialEntersDataModeThatEchoesEveryByte)
{
  start();
  EXPECT_TRUE(
      replies(sim_, "ATDT555-1234\r", "ATDT555-1234\r\r\nCONNECT 9600\r\n"));
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) {
    all_bytes += static_cast<char>(b);
  }
  EXPECT_TRUE(replies(sim_, all_bytes, all_bytes));
  // Commands are data now: echoed, not answered.
  EXPECT_TRUE(replies(sim_, "AT\r", "AT\r", milliseconds(1500)));
}

TEST_F(SimulatorTest, DialWithoutDigitsIsAnError)
{
  start();
  converse(sim_, {{"ATD\r", "ATD\r\r\nERROR\r\n"},
                  {"ATDX1\r", "ATDX1\r\r\nERROR\r\n"}});
}

TEST_F(SimulatorTest, GuardedPlusesReturnToCommandMode)
{
  start();
  EXPECT_TRUE(replies(sim_, "ATD1\r", "ATD1\r\r\nCONNECT 9600\r\n"));
  EXPECT_TRUE(replies(sim_, "data", "data"));
  std::this_thread::sleep_for(milliseconds(1500));
  converse(sim_, {{"+++", "+++\r\nOK\r\n"},
                  {"ATH\r", "ATH\r\r\nOK\r\n"},
                  {"AT\r", "AT\r\r\nOK\r\n"}});
}

TEST_F(SimulatorTest, PlusesWithoutGuardTimeStayData)
{
  start();
  EXPECT_TRUE(replies(sim_, "ATD1\r", "ATD1\r\r\nCONNECT 9600\r\n"));
  std::this_thread::sleep_for(milliseconds(1500));
  // Data right before the pluses: no guard time before them.
  EXPECT_TRUE(replies(sim_, "x+++", "x+++", milliseconds(2500)));
  // Data right after them (within the guard time) cancels too.
  std::this_thread::sleep_for(milliseconds(1500));
  EXPECT_TRUE(replies(sim_, "+++y", "+++y", milliseconds(2500)));
  EXPECT_TRUE(replies(sim_, "AT\r", "AT\r", milliseconds(1000)));
}

TEST_F(SimulatorTest, LoopbackEchoesEverything)
{
  start({"--loopback"});
  std::string data;
  for (int i = 0; i < 20000; ++i) {
    data += static_cast<char>((i * 7) & 0xFF);
  }
  // Written in pieces and read as it comes, so neither side stalls.
  for (std::size_t at = 0; at < data.size(); at += 1000) {
    std::string piece = data.substr(at, 1000);
    ASSERT_TRUE(replies(sim_, piece, piece)) << "at byte " << at;
  }
  EXPECT_TRUE(replies(sim_, "AT\r", "AT\r"));
}

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

TEST_F(SimulatorTest, StreamSendsExactlyThePattern)
{
  start({"--stream", "100000"});
  std::string want = expected_stream(100000, "\r\n");
  std::string got;
  read_at_least(sim_.fd, got, want.size(), std::chrono::seconds(30));
  read_for(sim_.fd, got, milliseconds(500));
  EXPECT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want);
  // Then it is the modem.
  EXPECT_TRUE(replies(sim_, "AT\r", "AT\r\r\nOK\r\n"));
}

TEST_F(SimulatorTest, CrOnlyEndsLinesWithALoneCr)
{
  start({"--stream", "130", "--cr-only"});
  EXPECT_TRUE(replies(sim_, "", expected_stream(130, "\r")));
  EXPECT_TRUE(replies(sim_, "AT\r", "AT\r\rOK\r"));
}

TEST_F(SimulatorTest, HangUpStartsAfreshAndRestartsTheStream)
{
  start({"--stream", "10"});
  EXPECT_TRUE(replies(sim_, "", "0123456789"));
  EXPECT_TRUE(replies(sim_, "ATE0\r", "ATE0\r\r\nOK\r\n"));
  close_slave(sim_);
  // The simulator notices a hang-up at its next look (every 50 ms); a
  // program reconnecting reopens later than that.
  std::this_thread::sleep_for(milliseconds(500));
  ASSERT_TRUE(open_slave(sim_, sim_.path));
  EXPECT_TRUE(replies(sim_, "", "0123456789"));
  EXPECT_TRUE(replies(sim_, "AT\r", "AT\r\r\nOK\r\n"));
}

TEST_F(SimulatorLifetime, ExitsAfterTheOtherSideClosedAndTheTimeout)
{
  start({"--timeout", "1"});
  EXPECT_TRUE(replies(sim_, "AT\r", "AT\r\r\nOK\r\n"));
  close_slave(sim_);
  finish(sim_, {.stop = false, .limit = std::chrono::seconds(15)});
}

TEST_F(SimulatorLifetime, LinkIsMadeAndRemovedOnSigterm)
{
  const char* tmp = std::getenv("TMPDIR");
  std::string dir =
      std::string(tmp != nullptr ? tmp : "/tmp") + "/serterm-sim-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  std::string link = dir + "/modem";
  start({"--link", link}, false);
  std::array<char, 256> target{};
  ssize_t n = readlink(link.c_str(), target.data(), target.size() - 1);
  EXPECT_EQ(std::string(target.data(), n > 0 ? static_cast<std::size_t>(n) : 0),
            sim_.path);
  EXPECT_TRUE(open_slave(sim_, link));
  EXPECT_TRUE(replies(sim_, "AT\r", "AT\r\r\nOK\r\n"));
  finish(sim_, {});
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
  EXPECT_TRUE(open_slave(sim_, sim_.path));
  EXPECT_TRUE(replies(sim_, "AT\r", "AT\r\r\nOK\r\n"));
}

TEST_F(SimulatorCommandLine, HelpAndBadWords)
{
  sim_ = start_simulator({"--help"});
  finish(sim_, {.out = R"(Usage: serterm-sim \[--link PATH\] [\s\S]*\n)"
                       R"(Options:\n[\s\S]*\n  --help +show this text)"
                       R"( and exit\n[\s\S]*\n)",
                .stop = false});
  for (const char* option : {"--loopback", "--stream N", "--cr-only",
                             "--link PATH", "--timeout S"}) {
    EXPECT_NE(sim_.out_text.find(option), std::string::npos) << option;
  }
  struct bad_words {
    std::vector<std::string> args;
    std::string message;
  };
  for (const bad_words& bad :
       {bad_words{{"--bogus"}, "unknown option: --bogus"},
        bad_words{{"--stream", "-5"},
                  "--stream: expects a whole number of 0 or more"},
        bad_words{{"--stream"}, "option needs a value: --stream"}}) {
    sim_ = start_simulator(bad.args);
    finish(sim_, {.out = "",
                  .err = "serterm-sim: " + bad.message +
                         "\nTry 'serterm-sim --help'.\n",
                  .code = 2,
                  .stop = false});
  }
}

} // namespace
