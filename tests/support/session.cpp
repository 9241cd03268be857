// End-to-end sessions of serterm with whole-stream checks at their end.
#include "support/session.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <random>
#include <regex>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

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

[[maybe_unused]] const bool reaper_installed = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new reaper);
  return true;
}();

constexpr std::array<const char*, 4> STREAM_NAMES{"line", "screen", "stdout",
                                                  "stderr"};

std::size_t
index(stream which)
{
  return static_cast<std::size_t>(which);
}

void
check_stream(const session& s, stream which, const text& want)
{
  const std::string& got = s.got[index(which)];
  const char* name = STREAM_NAMES[index(which)];
  if (want.pattern) {
    EXPECT_TRUE(std::regex_match(got, std::regex(want.value)))
        << name << " does not match /" << printable(want.value)
        << "/: " << printable(got);
  } else {
    EXPECT_EQ(difference(got, want.value), "") << name;
  }
}

void
check_status(int status, const outcome& expected)
{
  if (expected.signal != 0) {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == expected.signal)
        << "wait status " << status << ", expected death by signal "
        << expected.signal;
  } else {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == expected.exit_code)
        << "wait status " << status << ", expected exit " << expected.exit_code;
  }
}

void
check_restored(const pty_pair& pty, const termios& before, const char* name)
{
  std::string why;
  EXPECT_TRUE(same_settings(settings_of(pty.slave), before, &why))
      << name << " not restored: " << why;
}

// With SERTERM_VALGRIND naming a directory, serterm runs under valgrind's
// memcheck, which writes one log per process there. valgrind hands its
// client the program name it was given, so serterm is named by its bare
// name and found through PATH: messages then show the argv[0] the tests
// expect. Other argv[0] values run without valgrind.
launch
serterm_launch(const std::string& argv0)
{
  launch what;
  const char* logs = std::getenv("SERTERM_VALGRIND");
  if (logs == nullptr || *logs == '\0' || argv0 != "serterm") {
    return program_launch(SERTERM_BINARY, argv0);
  }
  std::string binary = SERTERM_BINARY;
  const char* path = std::getenv("PATH");
  what.env.push_back("PATH=" + binary.substr(0, binary.rfind('/')) + ":" +
                     (path != nullptr ? path : "/usr/bin"));
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "PATH=", 5) != 0) {
      what.env.emplace_back(*e);
    }
  }
  what.path = "/usr/bin/valgrind";
  what.argv = {"valgrind",
               "--tool=memcheck",
               "--leak-check=full",
               "--errors-for-leak-kinds=definite,indirect,possible",
               "--track-fds=no",
               "--error-exitcode=99",
               std::string("--log-file=") + logs + "/memcheck.%p.log",
               argv0};
  return what;
}

// Opens a pty for the session, failing the test on error.
void
open_session_pty(pty_pair& pty, termios& before, const termios* settings)
{
  EXPECT_TRUE(open_pty(pty, settings)) << "openpty: " << std::strerror(errno);
  before = settings_of(pty.slave);
}

// Opens what the child gets as fd 0 (or -1) from the setup.
int
keyboard_for(const session& s, const session_setup& setup)
{
  if (setup.keyboard != OWN) {
    return setup.keyboard;
  }
  int flags = O_RDWR | O_NOCTTY | (setup.keyboard_nonblocking ? O_NONBLOCK : 0);
  return open(s.keyboard.slave_path.c_str(), flags | O_CLOEXEC);
}

void
wait_set_up(const session& s, const session_setup& setup)
{
  if (setup.keyboard == OWN) {
    EXPECT_TRUE(wait_raw(s.keyboard.slave)) << "keyboard never became raw";
  }
  if (setup.line_path == nullptr) {
    EXPECT_TRUE(eventually([&s] {
      termios t{};
      return tcgetattr(s.line.slave, &t) == 0 && (t.c_cflag & CLOCAL) != 0;
    })) << "line never set up";
  }
}

// Writes `data` to the stream's descriptor while taking in every stream.
void
write_taking(session& s, int fd, std::string_view data, milliseconds limit)
{
  auto end = steady::now() + limit;
  while (!data.empty() && remaining_ms(end) > 0) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      break;
    } else {
      take(s);
      wait_fd(fd, POLLOUT, 5);
    }
  }
  EXPECT_TRUE(data.empty()) << data.size() << " bytes could not be written";
}

} // namespace

text
matching(std::string regex)
{
  text t(std::move(regex));
  t.pattern = true;
  return t;
}

session
start_session(const std::vector<std::string>& options,
              const session_setup& setup)
{
  session s;
  open_session_pty(s.line, s.line_before, setup.line);
  if (setup.keyboard == OWN) {
    open_session_pty(s.keyboard, s.keyboard_before, nullptr);
  }
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  EXPECT_EQ(pipe2(err_pipe, O_CLOEXEC), 0);
  if (setup.out == OWN) {
    EXPECT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
    if (setup.out_nonblocking) {
      EXPECT_GT(fcntl(out_pipe[1], F_SETPIPE_SZ, 4096), 0);
      EXPECT_TRUE(set_nonblocking(out_pipe[1]));
    }
  }
  launch what = serterm_launch(setup.argv0);
  what.argv.insert(what.argv.end(), options.begin(), options.end());
  what.argv.push_back(setup.line_path == nullptr ? s.line.slave_path
                                                 : setup.line_path);
  what.in = keyboard_for(s, setup);
  what.out = setup.out == OWN ? out_pipe[1] : setup.out;
  what.err = setup.err_on_keyboard ? what.in : err_pipe[1];
  what.ignore_sigpipe = setup.ignore_sigpipe;
  what.fill_descriptors_to = setup.fill_descriptors_to;
  what.free_descriptor = setup.free_descriptor;
  s.pid = start_process(what);
  EXPECT_GT(s.pid, 0) << std::strerror(errno);
  running.push_back(s.pid);
  for (int fd :
       {setup.keyboard == OWN ? what.in : -1, out_pipe[1], err_pipe[1]}) {
    if (fd >= 0) {
      close(fd);
    }
  }
  s.fds = {s.line.master, s.keyboard.master, out_pipe[0], err_pipe[0]};
  for (int fd : {out_pipe[0], err_pipe[0]}) {
    if (fd >= 0) {
      set_nonblocking(fd);
    }
  }
  if (setup.wait_for_setup) {
    wait_set_up(s, setup);
  }
  return s;
}

std::string&
got(session& s, stream which)
{
  return s.got[index(which)];
}

void
take(session& s)
{
  for (std::size_t i = 0; i < s.fds.size(); ++i) {
    if (s.fds[i] >= 0) {
      drain(s.fds[i], s.got[i]);
    }
  }
}

void
settle(session& s, milliseconds span)
{
  auto end = steady::now() + span;
  do {
    take(s);
    timespec pause{0, 2 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  } while (remaining_ms(end) > 0);
  take(s);
}

bool
await(session& s, stream which, std::string_view needle, milliseconds limit)
{
  std::size_t i = index(which);
  std::size_t at = std::string::npos;
  bool found = eventually(
      [&] {
        take(s);
        at = s.got[i].find(needle, s.seen[i]);
        return at != std::string::npos;
      },
      limit);
  EXPECT_TRUE(found) << STREAM_NAMES[i] << " never showed \""
                     << printable(needle) << "\"; it holds \""
                     << printable(s.got[i]) << "\"";
  if (found) {
    s.seen[i] = at + needle.size();
  }
  return found;
}

bool
await_size(session& s, stream which, std::size_t size, milliseconds limit)
{
  std::size_t i = index(which);
  bool reached = eventually(
      [&] {
        take(s);
        return s.got[i].size() >= size;
      },
      limit);
  EXPECT_TRUE(reached) << STREAM_NAMES[i] << " got " << s.got[i].size()
                       << " bytes, not " << size;
  return reached;
}

void
type(session& s, std::string_view data, milliseconds limit)
{
  write_taking(s, s.keyboard.master, data, limit);
}

void
send(session& s, std::string_view data, milliseconds limit)
{
  write_taking(s, s.line.master, data, limit);
}

void
open_prompt(session& s, std::string_view escape)
{
  type(s, escape);
  await(s, stream::err, "serterm> ");
  EXPECT_TRUE(wait_cooked(s.keyboard.slave)) << "prompt not cooked";
}

void
command(session& s, std::string_view line)
{
  open_prompt(s);
  type(s, line);
  EXPECT_TRUE(wait_raw(s.keyboard.slave)) << "not raw after the prompt";
}

void
end_session(session& s, const outcome& expected, milliseconds limit)
{
  int status = -1;
  bool ended = eventually(
      [&] {
        take(s);
        return waitpid(s.pid, &status, WNOHANG) == s.pid;
      },
      limit);
  if (!ended) {
    status = wait_child(s.pid, milliseconds(0));
    ADD_FAILURE() << "serterm " << s.pid << " did not end in time: killed";
  }
  std::erase(running, s.pid);
  take(s);
  check_status(status, expected);
  check_stream(s, stream::line, expected.line);
  check_stream(s, stream::screen, expected.screen);
  check_stream(s, stream::out, expected.out);
  check_stream(s, stream::err, expected.err);
  if (s.line.slave >= 0 && expected.line_restored) {
    check_restored(s.line, s.line_before, "line");
  }
  if (s.keyboard.slave >= 0 && expected.keyboard_restored) {
    check_restored(s.keyboard, s.keyboard_before, "keyboard");
  }
  for (int fd : {s.fds[2], s.fds[3]}) {
    if (fd >= 0) {
      close(fd);
    }
  }
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

termios
settings_of(int fd)
{
  termios t{};
  EXPECT_EQ(tcgetattr(fd, &t), 0) << std::strerror(errno);
  return t;
}

bool
same_settings(const termios& a, const termios& b, std::string* why)
{
  auto differ = [why](const std::string& field, unsigned long x,
                      unsigned long y) {
    if (why != nullptr) {
      *why = field + ": " + std::to_string(x) + " vs " + std::to_string(y);
    }
    return false;
  };
  const std::tuple<const char*, tcflag_t, tcflag_t> flags[] = {
      {"c_iflag", a.c_iflag, b.c_iflag},
      {"c_oflag", a.c_oflag, b.c_oflag},
      {"c_cflag", a.c_cflag, b.c_cflag},
      {"c_lflag", a.c_lflag, b.c_lflag},
  };
  for (auto [name, x, y] : flags) {
    if (x != y) {
      return differ(name, x, y);
    }
  }
  if (a.c_line != b.c_line) {
    return differ("c_line", a.c_line, b.c_line);
  }
  for (std::size_t i = 0; i < NCCS; ++i) {
    if (a.c_cc[i] != b.c_cc[i]) {
      return differ("c_cc[" + std::to_string(i) + "]", a.c_cc[i], b.c_cc[i]);
    }
  }
  if (cfgetispeed(&a) != cfgetispeed(&b) ||
      cfgetospeed(&a) != cfgetospeed(&b)) {
    return differ("speed", cfgetospeed(&a), cfgetospeed(&b));
  }
  return true;
}

bool
wait_raw(int fd, milliseconds limit)
{
  return eventually(
      [fd] {
        termios t{};
        return tcgetattr(fd, &t) == 0 && (t.c_lflag & (ICANON | ECHO)) == 0;
      },
      limit);
}

bool
wait_cooked(int fd, milliseconds limit)
{
  return eventually(
      [fd] {
        termios t{};
        return tcgetattr(fd, &t) == 0 && (t.c_lflag & ICANON) != 0;
      },
      limit);
}

std::string
sent_quickly(std::string_view keys, char escape)
{
  std::string out;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] != escape) {
      out += keys[i];
    } else if (i + 1 < keys.size()) {
      out += keys[++i];
    }
  }
  return out;
}

std::string
usage_text(const std::string& name)
{
  return "Usage: " + name +
         " [option...] modem\n"
         "    options:\n"
         "\t-#: set serial speed [bps]\n"
         "\t-d[#]: toggle/set/reset hexdump display mode\n"
         "\t-h[#]: toggle/set/reset half-duplex mode\n"
         "\t-r[#]: toggle/set/reset map CR->CR/LF mode\n"
         "\t-t #: set display/keyboard flush timeout [us]\n"
         "\t-eX: set escape charactor to ctrl-X\n"
         "    default:\n"
         "\t" +
         name + " -9600 -d0 -h0 -r0 -t 100000 -e']' /dev/cuaa0\n";
}

std::string
random_bytes(std::size_t size, unsigned seed, int avoid)
{
  std::mt19937 random(seed);
  std::string data(size, '\0');
  for (char& c : data) {
    unsigned char byte = 0;
    do {
      byte = static_cast<unsigned char>(random());
    } while (byte == avoid);
    c = static_cast<char>(byte);
  }
  return data;
}

bool
under_valgrind()
{
  const char* logs = std::getenv("SERTERM_VALGRIND");
  return logs != nullptr && *logs != '\0';
}

} // namespace serterm::testing
