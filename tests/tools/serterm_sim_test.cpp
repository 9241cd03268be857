// End-to-end tests of serterm-sim: the real binary, talked to through the
// slave side of its pseudo-terminal.
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

// Generous: the machine may be loaded; the tests assert results, not speed.
constexpr auto ANSWER_WAIT = 10s;

struct simulator {
  pid_t pid = -1;
  std::string path;
};

// Reads one line from `fd` within `limit`; returns it without the newline.
std::string
read_line(int fd, std::chrono::milliseconds limit)
{
  std::string line;
  auto deadline = clock_type::now() + limit;
  while (clock_type::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) {
      continue;
    }
    char c = 0;
    if (read(fd, &c, 1) != 1 || c == '\n') {
      break;
    }
    line += c;
  }
  return line;
}

// In a forked child: runs serterm-sim with `args`; never returns.
[[noreturn]] void
exec_simulator(std::vector<std::string>& args)
{
  std::vector<char*> argv;
  std::string program = SERTERM_SIM_PATH;
  argv.push_back(program.data());
  for (std::string& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

// Starts serterm-sim with `args` (and SIGHUP ignored if `ignore_hangup`)
// and reads the slave path it prints.
simulator
start_simulator(std::vector<std::string> args, bool ignore_hangup = false)
{
  int out[2];
  if (pipe(out) != 0) {
    return {};
  }
  pid_t pid = fork();
  if (pid == 0) {
    if (ignore_hangup) {
      signal(SIGHUP, SIG_IGN);
    }
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    exec_simulator(args);
  }
  close(out[1]);
  simulator sim{pid, read_line(out[0], ANSWER_WAIT)};
  close(out[0]);
  return sim;
}

// Waits up to `limit` for `pid` to end; returns its wait status, or -1.
int
wait_for_exit(pid_t pid, std::chrono::milliseconds limit)
{
  auto deadline = clock_type::now() + limit;
  while (clock_type::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return status;
    }
    std::this_thread::sleep_for(20ms);
  }
  return -1;
}

void
stop_simulator(simulator& sim)
{
  if (sim.pid <= 0) {
    return;
  }
  kill(sim.pid, SIGTERM);
  if (wait_for_exit(sim.pid, 10s) == -1) {
    kill(sim.pid, SIGKILL);
    waitpid(sim.pid, nullptr, 0);
  }
  sim.pid = -1;
}

int
open_raw(const std::string& path)
{
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd >= 0) {
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
  return fd;
}

void
send(int fd, std::string_view data)
{
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
    } else {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 50);
    }
  }
}

// Reads from `fd` until the bytes read end with `expected` or `limit`
// passes; returns everything read.
std::string
read_until(int fd, std::string_view expected, std::chrono::milliseconds limit)
{
  std::string got;
  auto deadline = clock_type::now() + limit;
  while (clock_type::now() < deadline &&
         !(got.size() >= expected.size() &&
           got.compare(got.size() - expected.size(), expected.size(),
                       expected) == 0)) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) {
      continue;
    }
    std::array<char, 4096> buffer;
    ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n > 0) {
      got.append(buffer.data(), static_cast<std::size_t>(n));
    }
  }
  return got;
}

// Everything that arrives on `fd` during `span`.
std::string
read_for(int fd, std::chrono::milliseconds span)
{
  return read_until(fd, std::string(1, '\0') + "never sent", span);
}

std::string
exchange(int fd, std::string_view command, std::string_view answer_end)
{
  send(fd, command);
  return read_until(fd, answer_end, ANSWER_WAIT);
}

class SimulatorTest : public ::testing::Test {
protected:
  void
  start(std::vector<std::string> args = {})
  {
    sim_ = start_simulator(std::move(args));
    ASSERT_GT(sim_.pid, 0);
    ASSERT_FALSE(sim_.path.empty());
    fd_ = open_raw(sim_.path);
    ASSERT_GE(fd_, 0) << sim_.path << ": " << std::strerror(errno);
  }

  void
  TearDown() override
  {
    if (fd_ >= 0) {
      close(fd_);
    }
    stop_simulator(sim_);
  }

  simulator sim_;
  int fd_ = -1;
};

TEST_F(SimulatorTest, AnswersCommandsWithEchoAndFramedResults)
{
  start();
  EXPECT_EQ(exchange(fd_, "AT\r", "OK\r\n"), "AT\r\r\nOK\r\n");
  EXPECT_EQ(exchange(fd_, "ati\r", "OK\r\n"),
            "ati\r\r\nserterm-sim Hayes-style modem\r\n\r\nOK\r\n");
  EXPECT_EQ(exchange(fd_, "ATX\r", "ERROR\r\n"), "ATX\r\r\nERROR\r\n");
  EXPECT_EQ(exchange(fd_, "hello\r", "ERROR\r\n"), "hello\r\r\nERROR\r\n");
  // An empty line gets no answer: only its echo comes before the next one.
  EXPECT_EQ(exchange(fd_, "\rAT\r", "OK\r\n"), "\rAT\r\r\nOK\r\n");
  // Backspace takes back the last character.
  EXPECT_EQ(exchange(fd_, "ATX\bZ\r", "OK\r\n"), "ATX\bZ\r\r\nOK\r\n");
}

TEST_F(SimulatorTest, EchoAndNumericAnswersSwitch)
{
  start();
  EXPECT_EQ(exchange(fd_, "ATE0\r", "OK\r\n"), "ATE0\r\r\nOK\r\n");
  EXPECT_EQ(exchange(fd_, "AT\r", "OK\r\n"), "\r\nOK\r\n");
  EXPECT_EQ(exchange(fd_, "ATV0\r", "0\r"), "0\r");
  EXPECT_EQ(exchange(fd_, "ATQ\r", "4\r"), "4\r");
  EXPECT_EQ(exchange(fd_, "ATE1\r", "0\r"), "0\r");
  EXPECT_EQ(exchange(fd_, "AT\r", "0\r"), "AT\r0\r");
  EXPECT_EQ(exchange(fd_, "ATZ\r", "OK\r\n"), "ATZ\r\r\nOK\r\n");
}

TEST_F(SimulatorTest, DialEntersDataModeThatEchoesEveryByte)
{
  start();
  EXPECT_EQ(exchange(fd_, "ATDT555-1234\r", "CONNECT 9600\r\n"),
            "ATDT555-1234\r\r\nCONNECT 9600\r\n");
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) {
    all_bytes += static_cast<char>(b);
  }
  EXPECT_EQ(exchange(fd_, all_bytes, all_bytes.substr(200)), all_bytes);
  // Commands are data now: echoed, not answered.
  send(fd_, "AT\r");
  EXPECT_EQ(read_for(fd_, 1500ms), "AT\r");
}

TEST_F(SimulatorTest, DialWithoutDigitsIsAnError)
{
  start();
  EXPECT_EQ(exchange(fd_, "ATD\r", "ERROR\r\n"), "ATD\r\r\nERROR\r\n");
  EXPECT_EQ(exchange(fd_, "ATDX1\r", "ERROR\r\n"), "ATDX1\r\r\nERROR\r\n");
}

TEST_F(SimulatorTest, GuardedPlusesReturnToCommandMode)
{
  start();
  exchange(fd_, "ATD1\r", "CONNECT 9600\r\n");
  exchange(fd_, "data", "data");
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(exchange(fd_, "+++", "\r\nOK\r\n"), "+++\r\nOK\r\n");
  EXPECT_EQ(exchange(fd_, "ATH\r", "OK\r\n"), "ATH\r\r\nOK\r\n");
  EXPECT_EQ(exchange(fd_, "AT\r", "OK\r\n"), "AT\r\r\nOK\r\n");
}

TEST_F(SimulatorTest, PlusesWithoutGuardTimeStayData)
{
  start();
  exchange(fd_, "ATD1\r", "CONNECT 9600\r\n");
  std::this_thread::sleep_for(1500ms);
  // Data right before the pluses: no guard time before them.
  send(fd_, "x+++");
  EXPECT_EQ(read_for(fd_, 2500ms), "x+++");
  // Data right after them (within the guard time) cancels too.
  std::this_thread::sleep_for(1500ms);
  send(fd_, "+++y");
  EXPECT_EQ(read_for(fd_, 2500ms), "+++y");
  send(fd_, "AT\r");
  EXPECT_EQ(read_for(fd_, 1000ms), "AT\r");
}

TEST_F(SimulatorTest, LoopbackEchoesEverything)
{
  start({"--loopback"});
  std::string data;
  for (int i = 0; i < 20000; ++i) {
    data += static_cast<char>((i * 7) & 0xFF);
  }
  // Written in pieces and read as it comes, so neither side stalls.
  std::string got;
  for (std::size_t at = 0; at < data.size(); at += 1000) {
    std::string piece = data.substr(at, 1000);
    send(fd_, piece);
    got += read_until(fd_, piece, ANSWER_WAIT);
  }
  EXPECT_EQ(got, data);
  EXPECT_EQ(exchange(fd_, "AT\r", "AT\r"), "AT\r");
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
  std::string got = read_until(fd_, want.substr(want.size() - 100), 30s);
  got += read_for(fd_, 500ms);
  EXPECT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want);
  // Then it is the modem.
  EXPECT_EQ(exchange(fd_, "AT\r", "OK\r\n"), "AT\r\r\nOK\r\n");
}

TEST_F(SimulatorTest, CrOnlyEndsLinesWithALoneCr)
{
  start({"--stream", "130", "--cr-only"});
  std::string want = expected_stream(130, "\r");
  EXPECT_EQ(read_until(fd_, want, ANSWER_WAIT), want);
  EXPECT_EQ(exchange(fd_, "AT\r", "\rOK\r"), "AT\r\rOK\r");
}

TEST_F(SimulatorTest, HangUpStartsAfreshAndRestartsTheStream)
{
  start({"--stream", "10"});
  EXPECT_EQ(read_until(fd_, "0123456789", ANSWER_WAIT), "0123456789");
  exchange(fd_, "ATE0\r", "OK\r\n");
  close(fd_);
  // The simulator notices a hang-up at its next look (every 50 ms); a
  // program reconnecting reopens later than that.
  std::this_thread::sleep_for(500ms);
  fd_ = open_raw(sim_.path);
  ASSERT_GE(fd_, 0);
  EXPECT_EQ(read_until(fd_, "0123456789", ANSWER_WAIT), "0123456789");
  EXPECT_EQ(exchange(fd_, "AT\r", "OK\r\n"), "AT\r\r\nOK\r\n");
}

TEST(SimulatorLifetime, ExitsAfterTheOtherSideClosedAndTheTimeout)
{
  simulator sim = start_simulator({"--timeout", "1"});
  ASSERT_GT(sim.pid, 0);
  int fd = open_raw(sim.path);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(exchange(fd, "AT\r", "OK\r\n"), "AT\r\r\nOK\r\n");
  close(fd);
  int status = wait_for_exit(sim.pid, 15s);
  if (status == -1) {
    stop_simulator(sim);
  }
  ASSERT_NE(status, -1) << "still running 15 s after the close";
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SimulatorLifetime, LinkIsMadeAndRemovedOnSigterm)
{
  const char* tmp = std::getenv("TMPDIR");
  std::string dir =
      std::string(tmp != nullptr ? tmp : "/tmp") + "/serterm-sim-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  std::string link = dir + "/modem";
  simulator sim = start_simulator({"--link", link});
  ASSERT_GT(sim.pid, 0);
  std::array<char, 256> target{};
  ssize_t n = readlink(link.c_str(), target.data(), target.size() - 1);
  EXPECT_EQ(std::string(target.data(), n > 0 ? static_cast<std::size_t>(n) : 0),
            sim.path);
  int fd = open_raw(link);
  EXPECT_GE(fd, 0);
  if (fd >= 0) {
    EXPECT_EQ(exchange(fd, "AT\r", "OK\r\n"), "AT\r\r\nOK\r\n");
    close(fd);
  }
  kill(sim.pid, SIGTERM);
  int status = wait_for_exit(sim.pid, 10s);
  if (status == -1) {
    stop_simulator(sim);
  }
  EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind";
  unlink(link.c_str());
  rmdir(dir.c_str());
}

TEST(SimulatorLifetime, SignalIgnoredAtStartStaysIgnored)
{
  simulator sim = start_simulator({}, true);
  ASSERT_GT(sim.pid, 0);
  kill(sim.pid, SIGHUP);
  int status = wait_for_exit(sim.pid, 1000ms);
  EXPECT_EQ(status, -1) << "ended by an ignored SIGHUP";
  if (status == -1) {
    int fd = open_raw(sim.path);
    EXPECT_GE(fd, 0);
    if (fd >= 0) {
      EXPECT_EQ(exchange(fd, "AT\r", "OK\r\n"), "AT\r\r\nOK\r\n");
      close(fd);
    }
  }
  stop_simulator(sim);
}

int
run_for_status(std::vector<std::string> args, std::string& output)
{
  int out[2];
  if (pipe(out) != 0) {
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(out[1], STDERR_FILENO);
    close(out[0]);
    close(out[1]);
    exec_simulator(args);
  }
  close(out[1]);
  output.clear();
  auto deadline = clock_type::now() + ANSWER_WAIT;
  std::array<char, 4096> buffer;
  while (clock_type::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) {
      continue;
    }
    ssize_t got = read(out[0], buffer.data(), buffer.size());
    if (got <= 0) {
      break;
    }
    output.append(buffer.data(), static_cast<std::size_t>(got));
  }
  close(out[0]);
  int status = wait_for_exit(pid, ANSWER_WAIT);
  if (status == -1) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SimulatorCommandLine, HelpAndBadWords)
{
  std::string output;
  EXPECT_EQ(run_for_status({"--help"}, output), 0);
  EXPECT_EQ(output.rfind("Usage: serterm-sim", 0), 0U) << output;
  for (const char* option : {"--loopback", "--stream N", "--cr-only",
                             "--link PATH", "--timeout S"}) {
    EXPECT_NE(output.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(run_for_status({"--bogus"}, output), 2);
  EXPECT_NE(output.find("unknown option: --bogus"), std::string::npos);
  EXPECT_EQ(run_for_status({"--stream", "-5"}, output), 2);
  EXPECT_EQ(run_for_status({"--stream"}, output), 2);
}

} // namespace
