// The guest side of the UART VM test: reads one command per line on the
// console, runs serterm on a pseudo-terminal it plays as the user's keyboard
// and screen, and answers each command with one line of words.
//
// A command is its name, its time limit in milliseconds, then its words;
// bytes go in hexadecimal. The commands and their answers:
//   spawn MS [noecho] [setsid] [input=N] ARGS  -> as until raw, or at once
//     (serterm ARGS, the last its line; input= makes standard input a file
//     of N bytes of the paste)
//   until MS raw|end|text HEX|queue N|unread N|mark HEX  -> state FOUND
//     KEYBOARD HOW CODE MS PEAK GOT SCREEN, once the keyboard is raw,
//     serterm has ended, the screen shows HEX after what the last text
//     found, the driver holds N bytes for serterm's line, the reader's line
//     holds N bytes it has not read, or the reader has got HEX (the reader
//     then closed). FOUND: yes|no; KEYBOARD: raw|cooked, or
//     once serterm has ended restored|changed (its settings from before);
//     HOW CODE: exit N|signal N|running -; MS: from the last spawn, keys or
//     start of a shell command to the end (-1); PEAK: the most the driver
//     held meanwhile (-1); GOT: for mark, all the reader got after any NULs
//     it began with; SCREEN: all of it
//   type MS HEX, paste MS N       -> typed COUNT all|ended|blocked
//   run MS AS HEX                 -> ran STATUS OUTPUT (a shell command,
//     serterm's PID in $serterm and its line in $line; AS is root, or
//     UID:GROUP for a user with that one supplementary group)
//   line MS PATH CS               -> line TERMIOS OLD (the line's settings,
//     its termios structure's bytes; closing_wait set to CS, or left with
//     -1, OLD what it was)
//   reader MS PATH RATE|closed    -> reader ok|failed (PATH, opened once,
//     read from now on at RATE bytes a second, -1: all there is)
//   quit                          -> bye
// Any other command gets no answer.
#include "protocol.hpp"
#include "support/oracles.hpp"
#include "support/pty_kit.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <tuple>
#include <unistd.h>
#include <utility>

namespace uart_vm {

namespace {

using namespace serterm::testing;

// serterm and its line: its screen is the keyboard pty's master. Its wait
// status is collected here once it has ended, and when. `mark` is when it
// was last started or typed into, or a shell command last started. The
// reader's line is the `line` stream of `far`, read at its pace whenever
// the agent waits.
run child;
run far;
std::string line_path;
pty_pair keyboard;
termios keyboard_before{};
bool exited = false;
int status = 0;
steady::time_point mark;
steady::time_point ended_at;
constexpr auto LINE = static_cast<std::size_t>(stream::line);
constexpr auto SCREEN = static_cast<std::size_t>(stream::screen);

void
reply(const std::string& text)
{
  std::ignore = write_all_bounded(STDOUT_FILENO, "@@ " + text + "\n");
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

// Takes in serterm's screen and the reader's line, at its pace.
void
take_both()
{
  take(child);
  take(far);
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

// The until command: waits for `what` (with `arg`) for `ms`, and answers.
void
until(const std::string& what, const std::string& arg, long ms)
{
  std::string text = from_hex(arg);
  std::string& screen = child.got[SCREEN];
  std::string& got = what == "mark" ? far.got.at(LINE) : child.got.at(SCREEN);
  std::size_t from = what == "text" ? child.seen[SCREEN] : 0;
  int peak = -1;
  termios now{};
  auto came = [&] {
    take_both();
    bool raw =
        tcgetattr(keyboard.master, &now) == 0 && (now.c_lflag & ICANON) == 0;
    peak = what == "queue" ? std::max(peak, queued_for_line()) : peak;
    int unread = -1;
    std::ignore = what == "unread" && ioctl(far.fds[LINE], FIONREAD, &unread);
    return what == "raw"      ? ended() || raw
           : what == "end"    ? ended()
           : what == "queue"  ? ended() || peak >= std::atol(arg.c_str())
           : what == "unread" ? unread >= std::atol(arg.c_str())
                              : got.find(text, from) != std::string::npos;
  };
  bool found = eventually(came, milliseconds(ms));
  // The pty still holds what serterm wrote last; it reports the end once
  // every slave descriptor is closed and all is read.
  read_for(keyboard.master, screen,
           milliseconds(what == "end" && exited ? 1000 : 0));
  std::size_t at = std::min(got.find(text, from), got.size());
  if (what == "text" && found) {
    child.seen[SCREEN] = at + text.size();
  }
  bool same = tcgetattr(keyboard.master, &now) == 0 &&
              settings_difference(now, keyboard_before).empty();
  std::string shown = exited ? same ? "restored" : "changed"
                      : (now.c_lflag & ICANON) == 0 ? "raw"
                                                    : "cooked";
  std::string how = !exited ? "running -"
                    : WIFEXITED(status)
                        ? "exit " + std::to_string(WEXITSTATUS(status))
                        : "signal " + std::to_string(WTERMSIG(status));
  long ms_to_end = exited ? (ended_at - mark) / milliseconds(1) : -1;
  std::string reader =
      what == "mark"
          ? got.substr(std::min(got.find_first_not_of('\0'), got.size()))
          : "";
  reply("state " + std::string(found ? "yes " : "no ") + shown + " " + how +
        " " + std::to_string(ms_to_end) + " " + std::to_string(peak) + " " +
        to_hex(reader) + " " + to_hex(screen));
  if (what == "mark") {
    close(far.fds[LINE]);
    far = run{};
  }
}

void
spawn(const words& args, long ms)
{
  std::ignore = ended() || wait_child(child.pid, milliseconds(0)) != 0;
  close_pty(keyboard);
  child = run{};
  exited = false;
  launch serterm;
  serterm.path = "/bin/serterm";
  serterm.argv = {"serterm"};
  bool opened =
      open_pty(keyboard) && tcgetattr(keyboard.slave, &keyboard_before) == 0;
  serterm.in = serterm.out = serterm.err = keyboard.slave;
  for (const std::string& arg : args) {
    if (arg.starts_with("input=")) {
      // A file of that many bytes of the paste, open at its start.
      serterm.in = memfd_create("input", MFD_CLOEXEC);
      std::ignore =
          write_all_bounded(serterm.in, paste_text(std::stoul(arg.substr(6))));
      lseek(serterm.in, 0, SEEK_SET);
    } else if (arg == "noecho") {
      keyboard_before.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      tcsetattr(keyboard.slave, TCSANOW, &keyboard_before);
    } else if (arg == "setsid") {
      serterm.new_session = true;
    } else {
      serterm.argv.push_back(arg);
    }
  }
  line_path = serterm.argv.back();
  child.pid = opened ? start_process(serterm) : -1;
  mark = steady::now();
  bool from_file = serterm.in != keyboard.slave;
  if (from_file) {
    close(serterm.in);
  }
  // The master reports the end once serterm has closed the slave.
  close(std::exchange(keyboard.slave, -1));
  child.fds[SCREEN] = keyboard.master;
  setenv("serterm", std::to_string(child.pid).c_str(), 1);
  setenv("line", line_path.c_str(), 1);
  until(from_file ? "end" : "raw", "", from_file ? 0 : ms);
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
    take_both();
  }
  mark = steady::now();
  reply("typed " + std::to_string(done) +
        (done == keys.size() ? " all"
         : exited            ? " ended"
                             : " blocked"));
}

// Runs `script` with the shell, as `as` says, for at most `ms`.
void
run_shell(const std::string& as, const std::string& script, long ms)
{
  mark = steady::now();
  run shell;
  launch sh;
  sh.argv = {"/bin/sh", "-c", "exec 2>&1; " + script};
  sh.out = PIPE;
  // "root" leaves both as they are.
  std::ignore = std::sscanf(as.c_str(), "%d:%d", &sh.user, &sh.group);
  auto over = [&] {
    take_both();
    take(shell);
    return has_ended(shell.pid);
  };
  bool done = start_run(shell, sh) && eventually(over, milliseconds(ms));
  int code = shell.pid > 0 ? wait_child(shell.pid, milliseconds(0)) : -1;
  take(shell);
  close(shell.fds[static_cast<std::size_t>(stream::out)]);
  reply("ran " +
        std::to_string(done && WIFEXITED(code) ? WEXITSTATUS(code) : -1) + " " +
        to_hex(got(shell, stream::out)));
}

// Reads the next command line from the console into `command`, split into
// words; false at end of input. Meanwhile takes in serterm's screen and the
// reader's line.
bool
read_command(words& command)
{
  static std::string pending;
  std::size_t end = 0;
  while ((end = pending.find_first_of("\r\n")) == std::string::npos) {
    // The console stays blocking: made non-blocking, its poll sleeps out
    // the time-out though input has come. Raw, a read takes what is there.
    if (!wait_fd(STDIN_FILENO, POLLIN, 20)) {
      take_both();
      continue;
    }
    std::array<char, 4096> chunk;
    ssize_t n = read(STDIN_FILENO, chunk.data(), chunk.size());
    if (n == 0 || (n < 0 && errno != EINTR)) {
      return false;
    }
    pending.append(chunk.data(), static_cast<std::size_t>(std::max(n, 0L)));
  }
  command = split(pending.substr(0, end));
  pending.erase(0, end + 1);
  return !command.empty() || read_command(command);
}

void
run_command(const words& c)
{
  const std::string& name = c[0];
  long ms = number(c, 1);
  std::string path = word(c, 2);
  if (name == "spawn") {
    spawn(words(c.begin() + std::min<long>(2, std::ssize(c)), c.end()), ms);
  } else if (name == "until") {
    until(word(c, 2), word(c, 3), ms);
  } else if (name == "type" || name == "paste") {
    type(name == "type" ? from_hex(word(c, 2))
                        : paste_text(static_cast<std::size_t>(number(c, 2))),
         ms);
  } else if (name == "run") {
    run_shell(word(c, 2), from_hex(word(c, 3)), ms);
  } else if (name == "line") {
    // The closing wait in hundredths of a second, set unless -1; the answer
    // has the one before, -1 if it cannot.
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    termios t{};
    std::string settings =
        tcgetattr(fd, &t) == 0
            ? to_hex(std::string(reinterpret_cast<char*>(&t), sizeof t))
            : "-";
    serial_struct serial{};
    bool got = ioctl(fd, TIOCGSERIAL, &serial) == 0;
    std::string old = std::to_string(serial.closing_wait);
    serial.closing_wait = static_cast<unsigned short>(number(c, 3));
    bool set =
        got && (number(c, 3) < 0 || ioctl(fd, TIOCSSERIAL, &serial) == 0);
    reply("line " + settings + " " + (set ? old : "-1"));
    close(fd);
  } else if (name == "reader") {
    // Opened once: the line's tty drops what it holds at its last close.
    if (word(c, 3) == "closed") {
      close(far.fds[LINE]);
      far = run{};
    } else if (far.fds[LINE] < 0) {
      far.fds[LINE] =
          open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
      termios t{};
      if (tcgetattr(far.fds[LINE], &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(far.fds[LINE], TCSANOW, &t);
      }
    }
    pace(far, stream::line, number(c, 3));
    reply(word(c, 3) == "closed" || far.fds[LINE] >= 0 ? "reader ok"
                                                       : "reader failed");
  }
}

} // namespace

} // namespace uart_vm

int
main()
{
  using namespace uart_vm;
  // init made the console raw: it carries commands and answers only.
  signal(SIGPIPE, SIG_IGN);
  // Failures are in the answers.
  serterm::testing::report_failure = [](const std::string&) {};
  reply("ready");
  words command;
  while (read_command(command) && command[0] != "quit") {
    run_command(command);
  }
  // init powers the guest off next, serterm and the reader with it.
  reply("bye");
  return 0;
}
