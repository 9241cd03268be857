// The guest side of the UART VM test: reads one command per line on the
// console, runs serterm on a pseudo-terminal it plays as the user's keyboard
// and screen, and answers each command with one line of words.
//
// A command is its name, its time limit in milliseconds, then its words;
// bytes go in hexadecimal. The answers:
//   spawn MS [noecho] [setsid] [input=N] ARGS  -> keyboard raw|ended|started
//     (serterm ARGS, the last its line; input= makes standard input a file
//     of N bytes of the paste, and then the answer comes at once: started)
//   waitraw MS                    -> keyboard raw|ended|timeout
//   type MS HEX, paste MS N       -> typed COUNT all|ended|blocked
//   queue MS LEAST                -> queue PEAK (what the driver held for
//     serterm's line at most, watched until it held LEAST or serterm ended)
//   expect MS HEX                 -> expect found|timeout SCREEN
//   screen MS                     -> screen SCREEN
//   wait MS                       -> end exit|signal|running CODE MS
//     restored|changed SCREEN (MS: after the last spawn, keys or start of a
//     shell command; restored: the keyboard has its settings from before)
//   run MS AS HEX                 -> ran STATUS OUTPUT (a shell command,
//     serterm's PID in $serterm; AS is root, or UID:GROUP for a user with
//     that one supplementary group)
//   serial MS PATH CS             -> serial OLD STEP (closing_wait set to
//     CS, or left with -1; STEP: the driver's xmit_fifo_size)
//   reader MS PATH RATE           -> reader started|failed (reads PATH at
//     RATE bytes a second, -1: all there is)
//   gotten MS MARK                -> gotten yes|no COUNT PARTS (what the
//     reader got before MARK, and where it parts from the paste, -1: never)
//   quit                          -> bye
#include "protocol.hpp"
#include "support/oracles.hpp"
#include "support/pty_kit.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <tuple>
#include <unistd.h>

namespace uart_vm {

namespace {

using namespace serterm::testing;

// serterm and its line: its screen is the keyboard pty's master. Its wait
// status is collected here once it has ended, and when. `mark` is when it
// was last started or typed into, or a shell command last started.
run child;
std::string line_path;
pty_pair keyboard;
termios keyboard_before{};
bool exited = false;
int status = 0;
steady::time_point mark;
steady::time_point ended_at;
pid_t reader = -1;
constexpr const char* READER_FILE = "/tmp/far";

void
reply(const std::string& text)
{
  std::ignore = write_all_bounded(STDOUT_FILENO, "@@ " + text + "\n");
}

std::string&
screen()
{
  return got(child, stream::screen);
}

long
ms_between(steady::time_point from, steady::time_point to)
{
  return static_cast<long>(
      std::chrono::duration_cast<milliseconds>(to - from).count());
}

// True once serterm has ended (or none runs).
bool
ended()
{
  if (!exited &&
      (child.pid <= 0 || waitpid(child.pid, &status, WNOHANG) == child.pid)) {
    exited = true;
    ended_at = steady::now();
  }
  return exited;
}

// Takes in the screen until `done` holds or `ms` pass. True if it holds.
template <typename Done>
bool
take_until(long ms, Done done)
{
  return eventually(
      [&] {
        take(child);
        return done();
      },
      milliseconds(ms));
}

void
wait_raw(long ms)
{
  termios t{};
  bool raw = take_until(ms, [&] {
    return ended() ||
           (tcgetattr(keyboard.master, &t) == 0 && (t.c_lflag & ICANON) == 0);
  });
  reply(std::string("keyboard ") + (!raw     ? "timeout"
                                    : exited ? "ended"
                                             : "raw"));
}

void
end_serterm()
{
  if (!ended()) {
    kill(child.pid, SIGKILL);
    waitpid(child.pid, nullptr, 0);
  }
  close_pty(keyboard);
  child = run{};
  exited = false;
}

// What the driver holds for serterm's line now, or -1. Asked through a
// copy of serterm's own descriptor, held only for that moment: opening the
// line would wait while serterm's close waits for the queue, and a close
// here that came last would wait instead of serterm's.
int
queued_for_line()
{
  struct stat line {};
  struct stat each {};
  int queued = -1;
  auto pidfd = static_cast<int>(ended() || stat(line_path.c_str(), &line) != 0
                                    ? -1
                                    : syscall(SYS_pidfd_open, child.pid, 0));
  for (int fd = STDERR_FILENO + 1; pidfd >= 0 && queued < 0 && fd < 16; ++fd) {
    auto copy = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0));
    if (fstat(copy, &each) == 0 && each.st_rdev == line.st_rdev) {
      std::ignore = ioctl(copy, TIOCOUTQ, &queued);
    }
    close(copy);
  }
  close(pidfd);
  return queued;
}

// A file of `count` bytes of the paste pattern, open at its start, or -1.
int
input_file(std::size_t count)
{
  int fd = memfd_create("input", MFD_CLOEXEC);
  return fd >= 0 && write_all_bounded(fd, paste_text(count)) &&
                 lseek(fd, 0, SEEK_SET) == 0
             ? fd
             : -1;
}

void
spawn(const words& args, long ms)
{
  end_serterm();
  auto has = [&](const char* w) {
    return std::find(args.begin(), args.end(), w) != args.end();
  };
  if (!open_pty(keyboard) || tcgetattr(keyboard.slave, &keyboard_before) != 0) {
    reply("keyboard failed");
    return;
  }
  if (has("noecho")) {
    keyboard_before.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(keyboard.slave, TCSANOW, &keyboard_before);
  }
  launch serterm;
  serterm.path = "/bin/serterm";
  serterm.argv = {"serterm"};
  serterm.in = keyboard.slave;
  bool from_file = false;
  for (const std::string& arg : args) {
    if (arg.starts_with("input=")) {
      serterm.in = input_file(std::strtoul(arg.c_str() + 6, nullptr, 10));
      from_file = true;
    } else if (arg != "noecho" && arg != "setsid") {
      serterm.argv.push_back(arg);
    }
  }
  line_path = serterm.argv.back();
  serterm.out = serterm.err = keyboard.slave;
  serterm.new_session = has("setsid");
  child.pid = start_process(serterm);
  mark = steady::now();
  if (from_file) {
    close(serterm.in);
  }
  // The master reports the end once serterm has closed the slave.
  close(keyboard.slave);
  keyboard.slave = -1;
  child.fds[static_cast<std::size_t>(stream::screen)] = keyboard.master;
  setenv("serterm", std::to_string(child.pid).c_str(), 1);
  if (from_file && child.pid > 0) {
    reply("keyboard started");
  } else if (child.pid > 0) {
    wait_raw(ms);
  } else {
    reply("keyboard failed");
  }
}

// Writes `keys` to serterm's keyboard within `ms`, taking in its screen.
void
type(const std::string& keys, long ms)
{
  std::size_t done = 0;
  auto end = steady::now() + milliseconds(ms);
  while (done < keys.size() && remaining_ms(end) > 0 && !ended()) {
    std::size_t n = std::min<std::size_t>(4096, keys.size() - done);
    ssize_t written = write(keyboard.master, keys.data() + done, n);
    done += written > 0 ? static_cast<std::size_t>(written) : 0;
    if (written < 0 && errno != EAGAIN && errno != EINTR) {
      break;
    }
    wait_fd(keyboard.master, POLLOUT, 5);
    take(child);
  }
  mark = steady::now();
  reply("typed " + std::to_string(done) +
        (done == keys.size() ? " all"
         : exited            ? " ended"
                             : " blocked"));
}

void
wait_exit(long ms)
{
  std::ignore = take_until(ms, ended);
  // The pty still holds what serterm wrote last; it reports the end once
  // every slave descriptor is closed and all is read.
  read_for(keyboard.master, screen(), milliseconds(exited ? 1000 : 0));
  termios now{};
  bool restored = tcgetattr(keyboard.master, &now) == 0 &&
                  settings_difference(now, keyboard_before).empty();
  std::string how = !exited ? "running 0"
                    : WIFEXITED(status)
                        ? "exit " + std::to_string(WEXITSTATUS(status))
                        : "signal " + std::to_string(WTERMSIG(status));
  reply("end " + how + " " +
        std::to_string(exited ? ms_between(mark, ended_at) : -1) +
        (restored ? " restored " : " changed ") + to_hex(screen()));
}

// Runs `script` with the shell, as `as` says, for at most `ms`.
void
run_shell(const std::string& as, const std::string& script, long ms)
{
  mark = steady::now();
  run shell;
  launch sh;
  sh.path = "/bin/sh";
  sh.argv = {"sh", "-c", "exec 2>&1; " + script};
  sh.out = PIPE;
  if (as != "root") {
    sh.user = std::atoi(as.c_str());
    sh.group = std::atoi(as.c_str() + as.find(':') + 1);
  }
  bool started = start_run(shell, sh);
  bool done = started && eventually(
                             [&] {
                               take(shell);
                               return has_ended(shell.pid);
                             },
                             milliseconds(ms));
  int code = started ? wait_child(shell.pid, milliseconds(0)) : -1;
  take(shell);
  close(shell.fds[static_cast<std::size_t>(stream::out)]);
  reply("ran " +
        std::to_string(done && WIFEXITED(code) ? WEXITSTATUS(code) : -1) + " " +
        to_hex(got(shell, stream::out)));
}

// Sets the closing wait of the port at `path` to `cs` hundredths of a
// second (-1: leaves it); answers the one it had and the driver's step,
// -1 for both if it cannot.
void
set_closing_wait(const std::string& path, long cs)
{
  int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  serial_struct serial{};
  bool got = fd >= 0 && ioctl(fd, TIOCGSERIAL, &serial) == 0;
  std::string old = std::to_string(serial.closing_wait) + " " +
                    std::to_string(serial.xmit_fifo_size);
  serial.closing_wait = static_cast<unsigned short>(cs);
  bool set = got && (cs < 0 || ioctl(fd, TIOCSSERIAL, &serial) == 0);
  close(fd);
  reply("serial " + (set ? old : "-1 -1"));
}

// The reader: takes what `fd` has, at most `rate` bytes a second (-1: all
// there is), into READER_FILE, until it is killed.
[[noreturn]] void
read_paced(int fd, long rate)
{
  close_range(3, static_cast<unsigned>(fd) - 1, 0);
  close_range(static_cast<unsigned>(fd) + 1, ~0U, 0);
  int out = open(READER_FILE, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  long total = 0;
  auto start = steady::now();
  std::array<char, 4096> chunk;
  for (;;) {
    long most =
        rate < 0
            ? 4096
            : std::min(4096L,
                       rate * ms_between(start, steady::now()) / 1000 - total);
    ssize_t n = most > 0 && wait_fd(fd, POLLIN, 10)
                    ? read(fd, chunk.data(), static_cast<std::size_t>(most))
                    : 0;
    if (n > 0 &&
        !write_all_bounded(out, {chunk.data(), static_cast<std::size_t>(n)})) {
      _exit(1);
    }
    total += std::max<ssize_t>(n, 0);
    if (most <= 0) {
      timespec pause{0, 10 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
  }
}

void
start_reader(const std::string& path, long rate)
{
  int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  termios t{};
  bool raw = fd >= 0 && tcgetattr(fd, &t) == 0;
  cfmakeraw(&t);
  raw = raw && tcsetattr(fd, TCSANOW, &t) == 0;
  reader = raw ? fork() : -1;
  if (reader == 0) {
    read_paced(fd, rate);
  }
  close(fd);
  reply(reader > 0 ? "reader started" : "reader failed");
}

void
stop_reader()
{
  if (reader > 0) {
    kill(reader, SIGKILL);
    waitpid(reader, nullptr, 0);
    reader = -1;
  }
}

std::string
reader_got()
{
  std::string got;
  int fd = open(READER_FILE, O_RDONLY | O_CLOEXEC);
  while (fd >= 0 && drain(fd, got)) {
  }
  close(fd);
  return got;
}

void
gotten(const std::string& mark_text, long ms)
{
  std::string got;
  bool found = eventually(
      [&] { return (got = reader_got()).find(mark_text) != std::string::npos; },
      milliseconds(ms));
  stop_reader();
  got = got.substr(0, got.find(mark_text));
  reply(std::string("gotten ") + (found ? "yes " : "no ") +
        std::to_string(got.size()) + " " +
        std::to_string(parts_from_paste(got)));
}

// Reads the next command line from the console into `command`, split into
// words; false at end of input. Meanwhile takes in serterm's screen.
bool
read_command(words& command)
{
  static std::string pending;
  for (;;) {
    std::size_t end = pending.find_first_of("\r\n");
    if (end != std::string::npos) {
      command = split(pending.substr(0, end));
      pending.erase(0, end + 1);
      if (!command.empty()) {
        return true;
      }
      continue;
    }
    // The console stays blocking: made non-blocking, its poll sleeps out
    // the time-out though input has come. Raw, a read takes what is there.
    if (!wait_fd(STDIN_FILENO, POLLIN, 20)) {
      take(child);
      continue;
    }
    std::array<char, 4096> chunk;
    ssize_t n = read(STDIN_FILENO, chunk.data(), chunk.size());
    if (n <= 0 && errno != EINTR) {
      return false;
    }
    pending.append(chunk.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
  }
}

void
run_command(const words& c)
{
  const std::string& name = c[0];
  long ms = number(c, 1);
  if (name == "spawn") {
    spawn(words(c.begin() + std::min<long>(2, std::ssize(c)), c.end()), ms);
  } else if (name == "waitraw") {
    wait_raw(ms);
  } else if (name == "type") {
    type(from_hex(word(c, 2)), ms);
  } else if (name == "paste") {
    type(paste_text(static_cast<std::size_t>(number(c, 2))), ms);
  } else if (name == "queue") {
    int peak = -1;
    std::ignore = take_until(ms, [&] {
      peak = std::max(peak, queued_for_line());
      return peak >= number(c, 2) || ended();
    });
    reply("queue " + std::to_string(peak));
  } else if (name == "expect") {
    bool found =
        await(child, stream::screen, from_hex(word(c, 2)), milliseconds(ms));
    reply(std::string("expect ") + (found ? "found " : "timeout ") +
          to_hex(screen()));
  } else if (name == "screen") {
    take(child);
    reply("screen " + to_hex(screen()));
  } else if (name == "wait") {
    wait_exit(ms);
  } else if (name == "run") {
    run_shell(word(c, 2), from_hex(word(c, 3)), ms);
  } else if (name == "serial") {
    set_closing_wait(word(c, 2), number(c, 3));
  } else if (name == "reader") {
    start_reader(word(c, 2), number(c, 3));
  } else if (name == "gotten") {
    gotten(from_hex(word(c, 2)), ms);
  } else {
    reply("error unknown command " + name);
  }
}

} // namespace

} // namespace uart_vm

int
main()
{
  using namespace uart_vm;
  // The console carries commands and answers only: no echo, no line
  // editing, no CR/LF translation.
  termios console{};
  if (tcgetattr(STDIN_FILENO, &console) == 0) {
    cfmakeraw(&console);
    tcsetattr(STDIN_FILENO, TCSANOW, &console);
  }
  signal(SIGPIPE, SIG_IGN);
  // Failures are in the answers.
  serterm::testing::report_failure = [](const std::string&) {};
  utsname name{};
  uname(&name);
  reply(std::string("ready ") + name.release);
  words command;
  while (read_command(command) && command[0] != "quit") {
    run_command(command);
  }
  end_serterm();
  stop_reader();
  reply("bye");
  return 0;
}
