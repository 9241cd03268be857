// The guest side of the UART VM test: reads one command per line on the
// console, runs serterm on a pseudo-terminal it plays as the user's keyboard
// and screen, and answers each command with one line beginning "@@ ".
//
// Commands: spawn ARGS... (start serterm ARGS, answer once its keyboard is
// raw); waitraw [MS]; type HEX [MS] (keys); paste COUNT [MS] (the paste
// pattern, reporting the 16550's transmit queue peak and a "note full"
// line when it fills); expect HEX [MS] (screen text since the last clear);
// screen (since the last clear); clear; wait [MS] (exit status, whether the
// keyboard has its settings from before the spawn again, and the whole
// screen since spawn, in hex); run HEX [MS] (a shell command, with the
// program's PID in $serterm: its status and output); next [noecho]
// [setsid] (the next spawn's keyboard does not echo; it leads a session of
// its own, without a controlling terminal); quit.
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
#include <poll.h>
#include <sstream>
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
constexpr const char* UART_PATH = "/dev/ttyS1";
// The 16550's transmit buffer holds one page less one byte; this much
// queued means it is as good as full.
constexpr int FULL_QUEUE = 4000;

// The program under test, its keyboard, and all it has written to its
// screen.
struct session {
  pid_t pid = -1;
  pty_pair keyboard;
  termios keyboard_before{};
  bool screen_open = false; // until the master reports that every slave closed
  bool exited = false;
  int status = 0;
  std::string screen;
  std::size_t cleared = 0; // where the screen since the last "clear" starts
};

session child;
// For the next spawn only: whether its keyboard echoes what is typed while
// it is not raw (off, keys typed after the program gave the terminal back
// do not show on its screen), and whether it leads a session of its own,
// without a controlling terminal (the line it opens then becomes one).
bool keyboard_echo = true;
bool new_session = false;
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

// Waits up to `ms` for the screen, moves what it has, and notes the
// program's exit.
void
pump(int ms)
{
  if (child.screen_open) {
    wait_fd(child.keyboard.master, POLLIN, ms);
    child.screen_open = drain(child.keyboard.master, child.screen);
  } else {
    // No program, or every slave descriptor is closed: the master would
    // report that at once, again and again.
    poll(nullptr, 0, ms);
  }
  if (child.pid > 0 && !child.exited &&
      waitpid(child.pid, &child.status, WNOHANG) == child.pid) {
    child.exited = true;
  }
}

// Pumps until `done` holds or `ms` pass. True if it holds.
template <typename Done>
bool
pump_until(long ms, Done done)
{
  return eventually(
      [&] {
        pump(0);
        return done();
      },
      milliseconds(ms));
}

// A terminal's settings as text: the flag words, the speeds and the
// control characters, in hexadecimal.
std::string
settings_text(const termios& t)
{
  std::array<char, 128> text{};
  std::snprintf(text.data(), text.size(), "%x %x %x %x %x %x %x ", t.c_iflag,
                t.c_oflag, t.c_cflag, t.c_lflag, t.c_line, cfgetispeed(&t),
                cfgetospeed(&t));
  return text.data() + to_hex(std::string(t.c_cc, t.c_cc + NCCS));
}

bool
keyboard_is_raw()
{
  termios t{};
  return tcgetattr(child.keyboard.master, &t) == 0 && (t.c_lflag & ICANON) == 0;
}

// Waits up to `ms` for the program to put its keyboard in raw mode or to
// exit, and answers which.
void
wait_raw(long ms)
{
  if (!pump_until(ms, [] { return child.exited || keyboard_is_raw(); })) {
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
  close_pty(child.keyboard);
  child = session{};
}

void
spawn(const words& args)
{
  end_session();
  termios& before = child.keyboard_before;
  if (!open_pty(child.keyboard) ||
      tcgetattr(child.keyboard.slave, &before) != 0) {
    reply(error_text("openpty"));
    return;
  }
  if (!keyboard_echo) {
    before.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(child.keyboard.slave, TCSANOW, &before);
  }
  launch serterm;
  serterm.path = SERTERM_PATH;
  serterm.argv = {"serterm"};
  serterm.argv.insert(serterm.argv.end(), args.begin(), args.end());
  serterm.in = serterm.out = serterm.err = child.keyboard.slave;
  serterm.new_session = new_session;
  keyboard_echo = true;
  new_session = false;
  child.pid = start_process(serterm);
  // The master reports the end once the program has closed the slave.
  close(child.keyboard.slave);
  child.keyboard.slave = -1;
  child.screen_open = true;
  if (child.pid < 0) {
    reply(error_text("fork"));
    return;
  }
  setenv("serterm", std::to_string(child.pid).c_str(), 1);
  wait_raw(10000);
}

// Samples the 16550's transmit queue on `uart` into `peak`, and says so
// once when it first fills.
void
sample_queue(int uart, int& peak)
{
  int queued = 0;
  if (uart >= 0 && ioctl(uart, TIOCOUTQ, &queued) == 0 && queued > peak) {
    if (queued >= FULL_QUEUE && peak < FULL_QUEUE) {
      reply("note full " + std::to_string(queued));
    }
    peak = queued;
  }
}

// Writes `keys` to the program's keyboard within `ms`. While the keyboard
// backs up, samples the 16550's transmit queue when `watch_uart`, and
// reports its peak.
void
type(const std::string& keys, long ms, bool watch_uart)
{
  if (child.pid < 0) {
    reply("error no session");
    return;
  }
  int uart = watch_uart
                 ? open(UART_PATH, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)
                 : -1;
  int peak = 0;
  std::size_t done = 0;
  auto end = steady::now() + milliseconds(ms);
  while (done < keys.size() && remaining_ms(end) > 0 && !child.exited) {
    std::size_t n = std::min<std::size_t>(4096, keys.size() - done);
    ssize_t written = write(child.keyboard.master, keys.data() + done, n);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
      break;
    }
    sample_queue(uart, peak);
    if (done < keys.size()) {
      wait_fd(child.keyboard.master, POLLOUT, 5);
    }
    pump(0);
  }
  if (uart >= 0) {
    close(uart);
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
  if (pump_until(ms, [&] {
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
  std::ignore = pump_until(ms, [] { return child.exited; });
  // The pty still holds what the program wrote last; it reports the end
  // once every slave descriptor is closed and all is read.
  read_for(child.keyboard.master, child.screen, milliseconds(1000));
  termios keyboard{};
  bool restored =
      tcgetattr(child.keyboard.master, &keyboard) == 0 &&
      settings_text(keyboard) == settings_text(child.keyboard_before);
  std::string rest =
      (restored ? " restored " : " changed ") + to_hex(child.screen);
  if (!child.exited) {
    reply("timeout" + rest);
  } else if (WIFEXITED(child.status)) {
    reply("exit " + std::to_string(WEXITSTATUS(child.status)) + rest);
  } else {
    reply("signal " + std::to_string(WTERMSIG(child.status)) + rest);
  }
}

// Runs `script` with the shell, standard output and error to a pipe, for
// at most `ms`, and answers "ran STATUS OUTPUT", the output in hex.
void
run_shell(const std::string& script, long ms)
{
  std::array<int, 2> out{};
  if (pipe2(out.data(), O_CLOEXEC) != 0) {
    reply(error_text("pipe"));
    return;
  }
  launch shell;
  shell.path = "/bin/sh";
  shell.argv = {"sh", "-c", script};
  shell.out = shell.err = out[1];
  pid_t pid = start_process(shell);
  close(out[1]);
  set_nonblocking(out[0]);
  std::string output;
  std::ignore = pump_until(ms, [&] { return !drain(out[0], output); });
  close(out[0]);
  int status = pid < 0 ? -1 : wait_child(pid, milliseconds(100));
  reply("ran " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
        " " + to_hex(output));
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
      std::istringstream split(line);
      for (std::string word; split >> word;) {
        command.push_back(word);
      }
      if (!command.empty()) {
        return true;
      }
      continue;
    }
    // The console stays blocking: made non-blocking, its poll sleeps out
    // the time-out though input has come. Raw, a read takes what is there.
    if (!wait_fd(STDIN_FILENO, POLLIN, 20)) {
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

constexpr std::array<command_entry, 10> COMMANDS{{
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
       type(paste_text(static_cast<std::size_t>(arg_long(args, 0, 0))),
            arg_long(args, 1, 60000), true);
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
    {"run",
     [](const words& args) {
       std::string script;
       if (hex_arg(args, script)) {
         run_shell(script, arg_long(args, 1, 10000));
       }
     }},
    {"next",
     [](const words& args) {
       auto has = [&](const char* word) {
         return std::find(args.begin(), args.end(), word) != args.end();
       };
       keyboard_echo = !has("noecho");
       new_session = has("setsid");
       reply("ok");
     }},
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
