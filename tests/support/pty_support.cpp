// Test helpers: pseudo-terminal pairs, the serterm binary run on them, and
// bounded reads and waits.
#include "support/pty_support.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace serterm::testing {

namespace {

constexpr const char* VALGRIND_BINARY = "/usr/bin/valgrind";

using clock = std::chrono::steady_clock;

int
remaining_ms(clock::time_point end)
{
  auto left =
      std::chrono::duration_cast<milliseconds>(end - clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void
set_nonblocking(int fd)
{
  int flags = fcntl(fd, F_GETFL);
  ASSERT_EQ(fcntl(fd, F_SETFL, flags | O_NONBLOCK), 0);
}

// Reads what `fd` has now into `into`; false at end of input or error.
bool
drain(int fd, std::string& into)
{
  char chunk[65536];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
      into.append(chunk, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      return true;
    }
    return false;
  }
}

// Waits up to `ms` for input on `fd`; false on end of input (hangup with
// nothing to read) or time-out.
bool
wait_input(int fd, int ms)
{
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0 && (p.revents & POLLIN) != 0;
}

} // namespace

pty_pair
open_pty()
{
  pty_pair pty;
  char name[256];
  if (openpty(&pty.master, &pty.slave, name, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty: " << std::strerror(errno);
    return pty;
  }
  pty.slave_path = name;
  set_nonblocking(pty.master);
  return pty;
}

void
close_pty(pty_pair& pty)
{
  if (pty.master >= 0) {
    close(pty.master);
  }
  if (pty.slave >= 0) {
    close(pty.slave);
  }
  pty.master = pty.slave = -1;
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
  auto differ = [why](const char* field, unsigned long x, unsigned long y) {
    if (why != nullptr) {
      *why = std::string(field) + ": " + std::to_string(x) + " vs " +
             std::to_string(y);
    }
    return false;
  };
  if (a.c_iflag != b.c_iflag) {
    return differ("c_iflag", a.c_iflag, b.c_iflag);
  }
  if (a.c_oflag != b.c_oflag) {
    return differ("c_oflag", a.c_oflag, b.c_oflag);
  }
  if (a.c_cflag != b.c_cflag) {
    return differ("c_cflag", a.c_cflag, b.c_cflag);
  }
  if (a.c_lflag != b.c_lflag) {
    return differ("c_lflag", a.c_lflag, b.c_lflag);
  }
  if (a.c_line != b.c_line) {
    return differ("c_line", a.c_line, b.c_line);
  }
  for (std::size_t i = 0; i < NCCS; ++i) {
    if (a.c_cc[i] != b.c_cc[i]) {
      return differ(("c_cc[" + std::to_string(i) + "]").c_str(), a.c_cc[i],
                    b.c_cc[i]);
    }
  }
  if (cfgetispeed(&a) != cfgetispeed(&b)) {
    return differ("ispeed", cfgetispeed(&a), cfgetispeed(&b));
  }
  if (cfgetospeed(&a) != cfgetospeed(&b)) {
    return differ("ospeed", cfgetospeed(&a), cfgetospeed(&b));
  }
  return true;
}

child
spawn_serterm(const std::vector<std::string>& args, const spawn_options& how)
{
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  if (how.stdout_pipe) {
    EXPECT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
  }
  EXPECT_EQ(pipe2(err_pipe, O_CLOEXEC), 0);

  // With SERTERM_VALGRIND naming a directory, the binary runs under
  // valgrind's memcheck, which writes one log per process there. valgrind
  // gives its client the program name it was handed, so the binary is
  // named by its bare name and found through PATH: messages then show the
  // argv[0] the tests expect. Other argv[0] values run without valgrind.
  std::vector<std::string> valgrind_words;
  std::vector<std::string> valgrind_env;
  const char* valgrind_logs = std::getenv("SERTERM_VALGRIND");
  if (valgrind_logs != nullptr && *valgrind_logs != '\0' &&
      how.argv0 == "serterm") {
    std::string binary = SERTERM_BINARY;
    const char* path = std::getenv("PATH");
    valgrind_env.push_back("PATH=" + binary.substr(0, binary.rfind('/')) + ":" +
                           (path != nullptr ? path : "/usr/bin"));
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "PATH=", 5) != 0) {
        valgrind_env.emplace_back(*e);
      }
    }
    valgrind_words = {"--tool=memcheck",
                      "--leak-check=full",
                      "--errors-for-leak-kinds=definite,indirect,possible",
                      "--track-fds=no",
                      "--error-exitcode=99",
                      "--log-file=" + std::string(valgrind_logs) +
                          "/memcheck.%p.log"};
  }
  std::vector<char*> argv;
  std::vector<char*> envp;
  if (!valgrind_words.empty()) {
    argv.push_back(const_cast<char*>("valgrind"));
    for (const std::string& word : valgrind_words) {
      argv.push_back(const_cast<char*>(word.c_str()));
    }
    for (const std::string& variable : valgrind_env) {
      envp.push_back(const_cast<char*>(variable.c_str()));
    }
    envp.push_back(nullptr);
  }
  argv.push_back(const_cast<char*>(how.argv0.c_str()));
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    int keyboard = how.stdin_fd;
    if (!how.keyboard_path.empty()) {
      keyboard =
          open(how.keyboard_path.c_str(),
               O_RDWR | O_NOCTTY | (how.keyboard_nonblocking ? O_NONBLOCK : 0));
    }
    int out = how.stdout_pipe ? out_pipe[1] : how.stdout_fd;
    int err = err_pipe[1];
    // Move everything out of 0-2 first so the dups cannot clobber it.
    keyboard = keyboard >= 0 ? fcntl(keyboard, F_DUPFD, 10) : -1;
    out = out >= 0 ? fcntl(out, F_DUPFD, 10) : -1;
    err = fcntl(err, F_DUPFD, 10);
    if (keyboard >= 0) {
      dup2(keyboard, 0);
    } else {
      close(0);
    }
    if (out >= 0) {
      dup2(out, 1);
    } else {
      close(1);
    }
    dup2(err, 2);
    // The pty fds the test holds must not leak into the child.
    for (int fd = 3; fd < 1024; ++fd) {
      close(fd);
    }
    if (how.fill_descriptors_to > 2) {
      rlimit files{};
      if (getrlimit(RLIMIT_NOFILE, &files) == 0 &&
          files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
      }
      int null = open("/dev/null", O_RDWR);
      for (int fd = 3; fd <= how.fill_descriptors_to; ++fd) {
        dup2(null, fd);
      }
      if (how.free_descriptor > 2) {
        close(how.free_descriptor);
      }
    }
    signal(SIGPIPE, how.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    if (!valgrind_words.empty()) {
      execve(VALGRIND_BINARY, argv.data(), envp.data());
    }
    execv(SERTERM_BINARY, argv.data());
    _exit(127);
  }
  EXPECT_GT(pid, 0);
  child c;
  c.pid = pid;
  if (how.stdout_pipe) {
    close(out_pipe[1]);
    c.out = out_pipe[0];
    set_nonblocking(c.out);
  }
  close(err_pipe[1]);
  c.err = err_pipe[0];
  set_nonblocking(c.err);
  return c;
}

bool
read_until(int fd, std::string& into, std::string_view needle,
           milliseconds limit)
{
  auto end = clock::now() + limit;
  for (;;) {
    bool open = drain(fd, into);
    if (into.find(needle) != std::string::npos) {
      return true;
    }
    if (!open || remaining_ms(end) == 0) {
      return false;
    }
    wait_input(fd, std::min(remaining_ms(end), 50));
  }
}

bool
read_at_least(int fd, std::string& into, std::size_t size, milliseconds limit)
{
  auto end = clock::now() + limit;
  for (;;) {
    bool open = drain(fd, into);
    if (into.size() >= size) {
      return true;
    }
    if (!open || remaining_ms(end) == 0) {
      return false;
    }
    wait_input(fd, std::min(remaining_ms(end), 50));
  }
}

void
read_for(int fd, std::string& into, milliseconds span)
{
  auto end = clock::now() + span;
  while (drain(fd, into) && remaining_ms(end) > 0) {
    wait_input(fd, std::min(remaining_ms(end), 20));
  }
}

bool
write_all_bounded(int fd, std::string_view data, milliseconds limit)
{
  auto end = clock::now() + limit;
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    }
    if (remaining_ms(end) == 0) {
      return false;
    }
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, std::min(remaining_ms(end), 50));
  }
  return true;
}

int
wait_child(pid_t pid, milliseconds limit)
{
  auto end = clock::now() + limit;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      return status;
    }
    if (done < 0 || remaining_ms(end) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "child " << pid << " did not end in time: killed";
      return -1;
    }
    struct timespec pause {
      0, 2 * 1000 * 1000
    };
    nanosleep(&pause, nullptr);
  }
}

int
finish(child& c, std::string* out, std::string* err, milliseconds limit)
{
  std::string ignored;
  std::string& out_text = out != nullptr ? *out : ignored;
  std::string& err_text = err != nullptr ? *err : ignored;
  auto end = clock::now() + limit;
  int status = -1;
  // Keep the pipes drained while waiting, so a child with much to say
  // never blocks on a full pipe.
  for (;;) {
    if (c.out >= 0) {
      drain(c.out, out_text);
    }
    drain(c.err, err_text);
    pid_t done = waitpid(c.pid, &status, WNOHANG);
    if (done == c.pid) {
      break;
    }
    if (done < 0 || remaining_ms(end) == 0) {
      kill(c.pid, SIGKILL);
      waitpid(c.pid, &status, 0);
      ADD_FAILURE() << "child " << c.pid << " did not end in time: killed";
      status = -1;
      break;
    }
    wait_input(c.err, std::min(remaining_ms(end), 5));
  }
  if (c.out >= 0) {
    drain(c.out, out_text);
    close(c.out);
  }
  drain(c.err, err_text);
  close(c.err);
  c = child{};
  return status;
}

session
start_session(const std::vector<std::string>& options, session_setup setup)
{
  session s;
  s.line = open_pty();
  s.keyboard = open_pty();
  if (setup.line != nullptr) {
    EXPECT_EQ(tcsetattr(s.line.slave, TCSANOW, setup.line), 0);
  }
  s.line_before = settings_of(s.line.slave);
  s.keyboard_before = settings_of(s.keyboard.slave);
  std::vector<std::string> args = options;
  args.push_back(s.line.slave_path);
  spawn_options how = setup.how;
  how.keyboard_path = s.keyboard.slave_path;
  s.proc = spawn_serterm(args, how);
  if (!setup.wait_for_raw) {
    return s;
  }
  EXPECT_TRUE(wait_raw(s.keyboard.slave)) << "keyboard never became raw";
  EXPECT_TRUE(eventually([&s] {
    termios t{};
    return tcgetattr(s.line.slave, &t) == 0 && (t.c_cflag & CLOCAL) != 0;
  })) << "line never set up";
  return s;
}

int
end_session(session& s, std::string* out, std::string* err)
{
  int status = finish(s.proc, out, err);
  std::string why;
  EXPECT_TRUE(
      same_settings(settings_of(s.keyboard.slave), s.keyboard_before, &why))
      << "keyboard not restored: " << why;
  EXPECT_TRUE(same_settings(settings_of(s.line.slave), s.line_before, &why))
      << "line not restored: " << why;
  close_pty(s.line);
  close_pty(s.keyboard);
  return status;
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

} // namespace serterm::testing
