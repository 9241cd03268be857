// The guest side of the UART VM test: reads one command per line on the
// console, runs serterm on a pseudo-terminal it plays as the user's keyboard
// and screen, and answers each command with one line beginning "@@ ".
//
// Commands: spawn ARGS... (start serterm ARGS, answer once its keyboard is
// raw); waitraw [MS]; type HEX [MS] (keys); paste COUNT [MS] (the paste
// pattern, reporting the driver's transmit queue peak and a "note full"
// line when it fills); expect HEX [MS] (screen text since the last clear);
// screen (since the last clear); clear; wait [MS] (exit status and the
// whole screen since spawn, in hex); setline BPS BITS PARITY STOP; attrs
// (the line's settings); proc (the driver's counters); quit.
#include "protocol.hpp"
#include "support/pty_kit.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
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

constexpr const char* SERTERM_PATH = "/bin/serterm";
constexpr const char* LINE_PATH = "/dev/ttyS1";
// The driver's transmit buffer holds one page less one byte; this much
// queued means it is as good as full.
constexpr int FULL_QUEUE = 4000;

// The program under test and all it has written to its screen.
struct session {
  pid_t pid = -1;
  int master = -1;
  bool exited = false;
  int status = 0;
  std::string screen;
  std::size_t cleared = 0; // where the screen since the last "clear" starts
};

session child;
std::string console_pending;

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

void
reap_child()
{
  if (child.pid > 0 && !child.exited &&
      waitpid(child.pid, &child.status, WNOHANG) == child.pid) {
    child.exited = true;
  }
}

// Moves whatever the program wrote to its screen into `child.screen`,
// waiting up to `ms` for more, and notes the program's exit.
void
pump(int ms)
{
  reap_child();
  bool open = child.master >= 0 && drain(child.master, child.screen);
  if (open && wait_fd(child.master, POLLIN, ms)) {
    drain(child.master, child.screen);
  } else if (!open) {
    // No program, or every slave descriptor is closed: the master would
    // report that at once, again and again.
    poll(nullptr, 0, ms);
  }
  reap_child();
}

bool
keyboard_is_raw()
{
  termios t{};
  return tcgetattr(child.master, &t) == 0 && (t.c_lflag & ICANON) == 0;
}

// Pumps the screen, `step` ms at a time, until `done` holds or `ms` pass.
// True if it holds.
template <typename Done>
bool
pump_until(long ms, int step, Done done)
{
  auto end = steady::now() + milliseconds(ms);
  while (!done()) {
    if (remaining_ms(end) == 0) {
      return false;
    }
    pump(step);
  }
  return true;
}

// Waits up to `ms` for the program to put its keyboard in raw mode or to
// exit, and answers which.
void
wait_raw(long ms)
{
  if (!pump_until(ms, 5, [] { return child.exited || keyboard_is_raw(); })) {
    reply("error keyboard not raw within " + std::to_string(ms) + " ms");
  } else {
    reply(child.exited ? "exited " + std::to_string(child.status) : "raw");
  }
}

void
end_session()
{
  if (child.pid > 0 && !child.exited) {
    kill(child.pid, SIGKILL);
    waitpid(child.pid, &child.status, 0);
  }
  if (child.master >= 0) {
    close(child.master);
  }
  child = session{};
}

void
spawn(const words& args)
{
  end_session();
  std::vector<char*> argv{const_cast<char*>("serterm")};
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  winsize size{24, 80, 0, 0};
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, &size);
  if (pid < 0) {
    reply(error_text("forkpty"));
    return;
  }
  if (pid == 0) {
    execv(SERTERM_PATH, argv.data());
    _exit(127);
  }
  set_nonblocking(master);
  child.pid = pid;
  child.master = master;
  wait_raw(10000);
}

// Samples the serial driver's transmit queue on `line` into `peak`, and
// says so once when it first fills.
void
sample_queue(int line, int& peak)
{
  int queued = 0;
  if (line >= 0 && ioctl(line, TIOCOUTQ, &queued) == 0 && queued > peak) {
    if (queued >= FULL_QUEUE && peak < FULL_QUEUE) {
      reply("note full " + std::to_string(queued));
    }
    peak = queued;
  }
}

// Writes `keys` to the program's keyboard within `ms`. While the keyboard
// backs up, samples the transmit queue when `watch_line`, and reports its
// peak.
void
type(const std::string& keys, long ms, bool watch_line)
{
  if (child.master < 0) {
    reply("error no session");
    return;
  }
  int line = watch_line ? open(LINE_PATH, O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
  int peak = 0;
  std::size_t done = 0;
  auto end = steady::now() + milliseconds(ms);
  while (done < keys.size() && remaining_ms(end) > 0 && !child.exited) {
    std::size_t n = std::min<std::size_t>(4096, keys.size() - done);
    ssize_t written = write(child.master, keys.data() + done, n);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
      break;
    }
    sample_queue(line, peak);
    if (done < keys.size()) {
      wait_fd(child.master, POLLOUT, 5);
    }
    pump(0);
  }
  if (line >= 0) {
    close(line);
  }
  if (done < keys.size()) {
    reply("error typed " + std::to_string(done) + " of " +
          std::to_string(keys.size()) + ": " +
          (child.exited ? "program exited" : "keyboard blocked"));
    return;
  }
  reply("typed " + std::to_string(done) + " peak " + std::to_string(peak));
}

void
expect(const std::string& text, long ms)
{
  if (pump_until(ms, 5, [&] {
        return child.screen.find(text, child.cleared) != std::string::npos;
      })) {
    reply("found");
  } else {
    reply("timeout " + to_hex(child.screen.substr(child.cleared)));
  }
}

void
wait_exit(long ms)
{
  std::ignore = pump_until(ms, 10, [] { return child.exited; });
  // The pty still holds what the program wrote last; it reports the end
  // once every slave descriptor is closed and all is read.
  read_for(child.master, child.screen, milliseconds(1000));
  std::string screen = " " + to_hex(child.screen);
  if (!child.exited) {
    reply("timeout" + screen);
  } else if (WIFEXITED(child.status)) {
    reply("exit " + std::to_string(WEXITSTATUS(child.status)) + screen);
  } else {
    reply("signal " + std::to_string(WTERMSIG(child.status)) + screen);
  }
}

speed_t
speed_of(long bps)
{
  for (const speed_entry& entry : LINE_SPEEDS) {
    if (entry.bps == bps) {
      return entry.code;
    }
  }
  return B9600;
}

// Opens the serial line and reads its settings into `t`. Returns the
// descriptor, or -1 after replying with the error.
int
open_line_settings(termios& t)
{
  int fd = open(LINE_PATH, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0 || tcgetattr(fd, &t) != 0) {
    reply(error_text(LINE_PATH));
    if (fd >= 0) {
      close(fd);
    }
    return -1;
  }
  return fd;
}

// Sets the serial line's speed and framing the way a previous user might
// have left them: "setline BPS BITS PARITY STOP", parity n, e or o.
void
set_line(const words& args)
{
  if (args.size() != 4) {
    reply("error setline BPS BITS PARITY STOP");
    return;
  }
  termios t{};
  int fd = open_line_settings(t);
  if (fd < 0) {
    return;
  }
  static constexpr tcflag_t SIZES[] = {CS5, CS6, CS7, CS8};
  long bits = std::strtol(args[1].c_str(), nullptr, 10);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
  t.c_cflag |= SIZES[bits >= 5 && bits <= 8 ? bits - 5 : 3];
  if (args[2][0] == 'e') {
    t.c_cflag |= PARENB;
  } else if (args[2][0] == 'o') {
    t.c_cflag |= PARENB | PARODD;
  }
  if (args[3][0] == '2') {
    t.c_cflag |= CSTOPB;
  }
  cfsetspeed(&t, speed_of(std::strtol(args[0].c_str(), nullptr, 10)));
  int result = tcsetattr(fd, TCSANOW, &t);
  close(fd);
  reply(result == 0 ? "ok" : error_text("tcsetattr"));
}

// Answers the serial line's settings as the driver holds them:
// "@@ attrs IFLAG OFLAG CFLAG LFLAG ISPEED OSPEED CC" in hexadecimal.
void
line_attrs()
{
  termios t{};
  int fd = open_line_settings(t);
  if (fd < 0) {
    return;
  }
  close(fd);
  std::array<char, 128> text{};
  std::snprintf(text.data(), text.size(), "attrs %x %x %x %x %x %x ", t.c_iflag,
                t.c_oflag, t.c_cflag, t.c_lflag, cfgetispeed(&t),
                cfgetospeed(&t));
  reply(text.data() + to_hex(std::string(t.c_cc, t.c_cc + NCCS)));
}

// Answers the driver's line for the second port from /proc: its transmit
// and receive counts, error counts and modem lines.
void
driver_status()
{
  std::ifstream in("/proc/tty/driver/serial");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("1:", 0) == 0) {
      reply("proc " + line);
      return;
    }
  }
  reply(in.is_open() ? "error no port 1 in /proc/tty/driver/serial"
                     : error_text("/proc/tty/driver/serial"));
}

// Reads the next command line from the console into `command`, split into
// words; false at end of input.
bool
read_command(words& command)
{
  for (;;) {
    std::size_t end = console_pending.find_first_of("\r\n");
    if (end != std::string::npos) {
      std::string line = console_pending.substr(0, end);
      console_pending.erase(0, end + 1);
      command.clear();
      for (char* word = std::strtok(line.data(), " "); word != nullptr;
           word = std::strtok(nullptr, " ")) {
        command.emplace_back(word);
      }
      if (!command.empty()) {
        return true;
      }
      continue;
    }
    // The console stays blocking: made non-blocking, its poll sleeps out
    // the time-out though input has come. Raw, a read takes what is there.
    if (!wait_fd(STDIN_FILENO, POLLIN, 50)) {
      pump(0);
      continue;
    }
    std::array<char, 4096> chunk;
    ssize_t n = read(STDIN_FILENO, chunk.data(), chunk.size());
    if (n <= 0 && errno != EINTR) {
      return false;
    }
    console_pending.append(chunk.data(),
                           n > 0 ? static_cast<std::size_t>(n) : 0);
  }
}

// Argument `i` of `args` as a number, or `fallback` when it is missing.
long
arg_long(const words& args, std::size_t i, long fallback)
{
  return i < args.size() ? std::strtol(args[i].c_str(), nullptr, 10) : fallback;
}

// The bytes argument 0 of `args` stands for in hexadecimal, or false after
// answering an error.
bool
hex_arg(const words& args, std::string& bytes)
{
  bytes = args.empty() ? "" : from_hex(args[0]);
  if (args.empty() || 2 * bytes.size() != args[0].size()) {
    reply("error bad hex");
    return false;
  }
  return true;
}

struct command_entry {
  const char* name;
  void (*run)(const words& args);
};

constexpr std::array<command_entry, 11> COMMANDS{{
    {"spawn", spawn},
    {"waitraw", [](const words& args) { wait_raw(arg_long(args, 0, 10000)); }},
    {"type",
     [](const words& args) {
       std::string keys;
       if (hex_arg(args, keys)) {
         type(keys, arg_long(args, 1, 30000), false);
       }
     }},
    {"expect",
     [](const words& args) {
       std::string text;
       if (hex_arg(args, text)) {
         expect(text, arg_long(args, 1, 10000));
       }
     }},
    {"paste",
     [](const words& args) {
       std::string keys(static_cast<std::size_t>(arg_long(args, 0, 0)), '\0');
       for (std::size_t i = 0; i < keys.size(); ++i) {
         keys[i] = static_cast<char>(paste_byte(i));
       }
       type(keys, arg_long(args, 1, 60000), true);
     }},
    {"screen",
     [](const words&) {
       pump(0);
       reply("screen " + to_hex(child.screen.substr(child.cleared)));
     }},
    {"clear",
     [](const words&) {
       pump(0);
       child.cleared = child.screen.size();
       reply("ok");
     }},
    {"wait", [](const words& args) { wait_exit(arg_long(args, 0, 10000)); }},
    {"setline", set_line},
    {"attrs", [](const words&) { line_attrs(); }},
    {"proc", [](const words&) { driver_status(); }},
}};

void
run_command(const words& command)
{
  words args(command.begin() + 1, command.end());
  for (const command_entry& entry : COMMANDS) {
    if (command[0] == entry.name) {
      entry.run(args);
      return;
    }
  }
  reply("error unknown command " + command[0]);
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
  utsname name{};
  uname(&name);
  reply(std::string("ready ") + name.release);
  words command;
  while (read_command(command) && command != words{"quit"}) {
    run_command(command);
  }
  end_session();
  reply("bye");
  return 0;
}
