// The guest side of the UART VM test: reads one command per line on the
// console, runs serterm on a pseudo-terminal it plays as the user's keyboard
// and screen, and answers each command with one line beginning "@@ ".
//
// A command is its name, then its time limit in milliseconds, then its
// arguments: spawn MS [noecho] [setsid] [input=COUNT] ARGS... (start serterm
// ARGS, the last its line, and answer once its keyboard is raw; with noecho
// the keyboard does not echo while serterm has not made it raw, with setsid
// serterm leads a session of its own, without a controlling terminal; with
// input= standard input is a file of COUNT bytes of the paste pattern, and
// the answer, with the line's transmit queue peak, comes once that is
// full); waitraw MS; type MS HEX (keys); paste MS COUNT (the paste pattern,
// reporting the line's transmit queue peak and a "note full" line when it
// fills); expect MS HEX (screen text, after what the previous expect
// found); screen (all of it); wait MS (a "note ended MS" line, how long
// after the last spawn, keys or start of a shell command serterm ended;
// then its exit status, whether the keyboard has its settings from before
// the spawn again, and the whole screen, in hex); run MS HEX (a shell
// command, with serterm's PID in $serterm: its status and output); quit.
#include "protocol.hpp"
#include "support/oracles.hpp"
#include "support/pty_kit.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace uart_vm {

namespace {

using namespace serterm::testing;
using words = std::vector<std::string>;

// The 16550's transmit buffer holds one page less one byte; this much
// queued means it is as good as full.
constexpr int FULL_QUEUE = 4000;

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
// What the last wait that failed reported.
std::string failure;

void
reply(const std::string& text)
{
  std::ignore = write_all_bounded(STDOUT_FILENO, "@@ " + text + "\n");
}

std::string
error_text(const std::string& what)
{
  return "error " + what + ": " + std::strerror(errno);
}

std::string&
screen()
{
  return got(child, stream::screen);
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

// Waits up to `ms` for serterm to put its keyboard in raw mode or to end,
// and answers which.
void
wait_raw(long ms)
{
  termios t{};
  bool raw = take_until(ms, [&] {
    return ended() ||
           (tcgetattr(keyboard.master, &t) == 0 && (t.c_lflag & ICANON) == 0);
  });
  reply(!raw     ? "error keyboard not raw within " + std::to_string(ms) + " ms"
        : exited ? "exited " + std::to_string(status)
                 : "raw");
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

// Raises `peak` to the driver's queue now, with a "note full" line when it
// first reaches FULL_QUEUE. True once it has, or serterm has ended.
bool
queue_full(int& peak)
{
  int queued = queued_for_line();
  if (queued >= FULL_QUEUE && peak < FULL_QUEUE) {
    reply("note full " + std::to_string(queued));
  }
  peak = std::max(peak, queued);
  return peak >= FULL_QUEUE || ended();
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
  auto option = [&](const char* word) {
    return std::find(args.begin(), args.end(), word) != args.end();
  };
  auto input =
      std::find_if(args.begin(), args.end(), [](const std::string& arg) {
        return arg.starts_with("input=");
      });
  if (!open_pty(keyboard) || tcgetattr(keyboard.slave, &keyboard_before) != 0) {
    reply(error_text("openpty"));
    return;
  }
  if (option("noecho")) {
    keyboard_before.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(keyboard.slave, TCSANOW, &keyboard_before);
  }
  launch serterm;
  serterm.path = "/bin/serterm";
  serterm.argv = {"serterm"};
  std::copy_if(args.begin(), args.end(), std::back_inserter(serterm.argv),
               [](const std::string& arg) {
                 return arg != "noecho" && arg != "setsid" &&
                        !arg.starts_with("input=");
               });
  line_path = serterm.argv.back();
  serterm.out = serterm.err = keyboard.slave;
  serterm.in = input == args.end()
                   ? keyboard.slave
                   : input_file(std::strtoul(input->c_str() + 6, nullptr, 10));
  serterm.new_session = option("setsid");
  child.pid = start_process(serterm);
  mark = steady::now();
  if (serterm.in != keyboard.slave) {
    close(serterm.in);
  }
  // The master reports the end once serterm has closed the slave.
  close(keyboard.slave);
  keyboard.slave = -1;
  child.fds[static_cast<std::size_t>(stream::screen)] = keyboard.master;
  if (child.pid < 0) {
    reply(error_text("fork"));
    return;
  }
  setenv("serterm", std::to_string(child.pid).c_str(), 1);
  if (input == args.end()) {
    wait_raw(ms);
    return;
  }
  int peak = 0;
  std::ignore = take_until(ms, [&] { return queue_full(peak); });
  reply("started peak " + std::to_string(peak));
}

// Writes `keys` to serterm's keyboard within `ms`, taking in its screen.
// When `watch_line`, samples the line's transmit queue while the keyboard
// backs up and then for up to a second more until it is full, and reports
// its peak.
void
type(const std::string& keys, long ms, bool watch_line)
{
  int peak = 0;
  std::size_t done = 0;
  auto end = steady::now() + milliseconds(ms);
  while (done < keys.size() && remaining_ms(end) > 0 && !ended()) {
    std::size_t n = std::min<std::size_t>(4096, keys.size() - done);
    ssize_t written = write(keyboard.master, keys.data() + done, n);
    done += written > 0 ? static_cast<std::size_t>(written) : 0;
    if (written < 0 && errno != EAGAIN && errno != EINTR) {
      break;
    }
    if (watch_line) {
      std::ignore = queue_full(peak);
    }
    wait_fd(keyboard.master, POLLOUT, 5);
    take(child);
  }
  mark = steady::now();
  if (watch_line) {
    std::ignore = take_until(1000, [&] { return queue_full(peak); });
  }
  reply(done == keys.size()
            ? "typed " + std::to_string(done) + " peak " + std::to_string(peak)
            : "error typed " + std::to_string(done) + " of " +
                  std::to_string(keys.size()) + ": " +
                  (exited ? "program exited" : "keyboard blocked"));
}

void
wait_exit(long ms)
{
  std::ignore = take_until(ms, ended);
  if (exited) {
    reply(
        "note ended " +
        std::to_string(
            std::chrono::duration_cast<milliseconds>(ended_at - mark).count()));
  }
  // The pty still holds what serterm wrote last; it reports the end once
  // every slave descriptor is closed and all is read.
  read_for(keyboard.master, screen(), milliseconds(1000));
  termios now{};
  bool restored = tcgetattr(keyboard.master, &now) == 0 &&
                  settings_difference(now, keyboard_before).empty();
  std::string rest = (restored ? " restored " : " changed ") + to_hex(screen());
  if (!exited) {
    reply("timeout" + rest);
  } else if (WIFEXITED(status)) {
    reply("exit " + std::to_string(WEXITSTATUS(status)) + rest);
  } else {
    reply("signal " + std::to_string(WTERMSIG(status)) + rest);
  }
}

// Runs `script` with the shell for at most `ms`, and answers "ran STATUS
// OUTPUT", the output (standard output and error) in hex.
void
run_shell(const std::string& script, long ms)
{
  mark = steady::now();
  run shell;
  launch sh;
  sh.path = "/bin/sh";
  sh.argv = {"sh", "-c", "exec 2>&1; " + script};
  sh.out = PIPE;
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

// Reads the next command line from the console into `command`, split into
// words; false at end of input. Meanwhile takes in serterm's screen.
bool
read_command(words& command)
{
  static std::string pending;
  for (;;) {
    std::size_t end = pending.find_first_of("\r\n");
    if (end != std::string::npos) {
      std::istringstream split(pending.substr(0, end));
      pending.erase(0, end + 1);
      command.assign(std::istream_iterator<std::string>(split), {});
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
run_command(const words& command)
{
  const std::string& name = command[0];
  long ms =
      command.size() > 1 ? std::strtol(command[1].c_str(), nullptr, 10) : 0;
  words args(command.begin() + std::min<long>(2, std::ssize(command)),
             command.end());
  std::string arg = args.empty() ? "" : args[0];
  if (name == "spawn") {
    spawn(args, ms);
  } else if (name == "waitraw") {
    wait_raw(ms);
  } else if (name == "type") {
    type(from_hex(arg), ms, false);
  } else if (name == "paste") {
    type(paste_text(std::strtoul(arg.c_str(), nullptr, 10)), ms, true);
  } else if (name == "expect") {
    bool found = await(child, stream::screen, from_hex(arg), milliseconds(ms));
    reply(found ? "found" : "timeout " + failure);
  } else if (name == "screen") {
    take(child);
    reply("screen " + to_hex(screen()));
  } else if (name == "wait") {
    wait_exit(ms);
  } else if (name == "run") {
    run_shell(from_hex(arg), ms);
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
  serterm::testing::report_failure = [](const std::string& what) {
    failure = what;
  };
  utsname name{};
  uname(&name);
  reply(std::string("ready ") + name.release);
  words command;
  while (read_command(command) && command[0] != "quit") {
    run_command(command);
  }
  end_serterm();
  reply("bye");
  return 0;
}
