// The guest side of the UART VM test: reads one command per line on the
// console, runs serterm on a pseudo-terminal it plays as the user's keyboard
// and screen, and answers each command with one line beginning "@@ ".
//
// Commands: spawn ARGS... (start serterm ARGS, answer once its keyboard is
// raw); waitraw [MS]; type HEX [MS] (keys); paste COUNT [MS] (the paste
// pattern, reporting the driver's transmit queue peak and a "note full"
// line when it fills); expect HEX [MS] (screen text since the last clear);
// screen; clear; wait [MS] (exit status); kill; setline BPS BITS PARITY
// STOP; attrs (the line's settings); proc (the driver's counters); quit.
#include "paste_pattern.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace uart_vm {

namespace {

constexpr const char* SERTERM_PATH = "/bin/serterm";
constexpr const char* LINE_PATH = "/dev/ttyS1";
constexpr std::size_t MAX_ARGS = 16;
// The driver's transmit buffer holds one page less one byte; this much
// queued means it is as good as full.
constexpr int FULL_QUEUE = 4000;

// The program under test and what it has written to its screen.
struct session {
  pid_t pid = -1;
  int master = -1;
  bool exited = false;
  int status = 0;
};

session child;
std::array<unsigned char, 1 << 20> screen;
std::size_t screen_length = 0;
std::array<char, 1 << 16> command;
std::array<unsigned char, 1 << 15> bytes;

long
now_ms()
{
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

void
write_console(const char* data, std::size_t length)
{
  while (length > 0) {
    ssize_t n = write(STDOUT_FILENO, data, length);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
}

__attribute__((format(printf, 1, 2))) void
reply(const char* format, ...)
{
  std::array<char, 4096> text;
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text.data() + 3, text.size() - 4, format, args);
  va_end(args);
  if (n < 0) {
    return;
  }
  std::size_t length =
      std::min(static_cast<std::size_t>(n) + 3, text.size() - 2);
  std::memcpy(text.data(), "@@ ", 3);
  text[length] = '\n';
  write_console(text.data(), length + 1);
}

// Answers "@@ `word` <hex of `data`>".
void
reply_hex(const char* word, const unsigned char* data, std::size_t length)
{
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::array<char, 1024> text;
  std::size_t used = static_cast<std::size_t>(
      std::snprintf(text.data(), text.size(), "@@ %s ", word));
  for (std::size_t i = 0; i < length; ++i) {
    if (used + 2 > text.size()) {
      write_console(text.data(), used);
      used = 0;
    }
    text[used++] = DIGITS[data[i] >> 4];
    text[used++] = DIGITS[data[i] & 15];
  }
  write_console(text.data(), used);
  write_console("\n", 1);
}

// Decodes `hex` into `bytes`. Returns the count, or -1 if malformed.
long
decode_hex(const char* hex)
{
  std::size_t length = std::strlen(hex);
  if (length % 2 != 0 || length / 2 > bytes.size()) {
    return -1;
  }
  for (std::size_t i = 0; i < length / 2; ++i) {
    char pair[3] = {hex[2 * i], hex[2 * i + 1], '\0'};
    char* end = nullptr;
    unsigned long value = std::strtoul(pair, &end, 16);
    if (end != pair + 2) {
      return -1;
    }
    bytes[i] = static_cast<unsigned char>(value);
  }
  return static_cast<long>(length / 2);
}

void
reap_child()
{
  if (child.pid > 0 && !child.exited &&
      waitpid(child.pid, &child.status, WNOHANG) == child.pid) {
    child.exited = true;
  }
}

// Moves whatever the program wrote to its screen into `screen`, waiting up
// to `timeout_ms` for the first of it, and notes the program's exit.
void
pump(int timeout_ms)
{
  reap_child();
  if (child.master < 0) {
    if (timeout_ms > 0) {
      poll(nullptr, 0, timeout_ms);
    }
    return;
  }
  pollfd p{child.master, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) {
    reap_child();
    return;
  }
  for (;;) {
    if (screen_length == screen.size()) {
      // A runaway screen: keep the newer half so the program never blocks.
      std::size_t half = screen.size() / 2;
      std::memmove(screen.data(), screen.data() + half, half);
      screen_length = half;
    }
    ssize_t n = read(child.master, screen.data() + screen_length,
                     screen.size() - screen_length);
    if (n <= 0) {
      if (n < 0 && errno == EIO) {
        // Every slave descriptor is closed: nothing more will come.
        poll(nullptr, 0, timeout_ms);
      }
      break;
    }
    screen_length += static_cast<std::size_t>(n);
  }
  reap_child();
}

bool
keyboard_is_raw()
{
  termios t{};
  return tcgetattr(child.master, &t) == 0 && (t.c_lflag & ICANON) == 0;
}

// Waits up to `timeout_ms` for the program to put its keyboard in raw mode
// or to exit, and answers which.
void
wait_raw(long timeout_ms)
{
  long deadline = now_ms() + timeout_ms;
  while (now_ms() < deadline) {
    if (child.exited) {
      reply("exited %d", child.status);
      return;
    }
    if (keyboard_is_raw()) {
      reply("raw");
      return;
    }
    pump(5);
  }
  reply("error keyboard not raw within %ld ms", timeout_ms);
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
spawn(char** args, std::size_t count)
{
  end_session();
  screen_length = 0;
  std::array<char*, MAX_ARGS + 2> argv{};
  argv[0] = const_cast<char*>("serterm");
  for (std::size_t i = 0; i < count && i < MAX_ARGS; ++i) {
    argv[i + 1] = args[i];
  }
  winsize size{24, 80, 0, 0};
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, &size);
  if (pid < 0) {
    reply("error forkpty: %s", std::strerror(errno));
    return;
  }
  if (pid == 0) {
    execv(SERTERM_PATH, argv.data());
    _exit(127);
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  child.pid = pid;
  child.master = master;
  wait_raw(10000);
}

// Writes `length` bytes to the program's keyboard, from `data` or, when it
// is null, the paste pattern. While the keyboard backs up, samples the
// serial driver's transmit queue and reports its peak.
void
type(const unsigned char* data, std::size_t length, long timeout_ms)
{
  if (child.master < 0) {
    reply("error no session");
    return;
  }
  int line = -1;
  if (data == nullptr) {
    line = open(LINE_PATH, O_RDWR | O_NOCTTY | O_NONBLOCK);
  }
  std::array<unsigned char, 4096> chunk;
  int peak = 0;
  bool told_full = false;
  std::size_t done = 0;
  long deadline = now_ms() + timeout_ms;
  while (done < length && now_ms() < deadline && !child.exited) {
    std::size_t n = std::min(chunk.size(), length - done);
    for (std::size_t i = 0; i < n; ++i) {
      chunk[i] = data != nullptr ? data[done + i] : paste_byte(done + i);
    }
    ssize_t written = write(child.master, chunk.data(), n);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
      break;
    }
    int queued = 0;
    if (line >= 0 && ioctl(line, TIOCOUTQ, &queued) == 0 && queued > peak) {
      peak = queued;
      if (peak >= FULL_QUEUE && !told_full) {
        reply("note full %d", peak);
        told_full = true;
      }
    }
    pollfd p{child.master, POLLOUT, 0};
    if (done < length) {
      poll(&p, 1, 5);
    }
    pump(0);
  }
  if (line >= 0) {
    close(line);
  }
  if (done < length) {
    reply("error typed %zu of %zu: %s", done, length,
          child.exited ? "program exited" : "keyboard blocked");
    return;
  }
  reply("typed %zu peak %d", done, peak);
}

void
expect(const unsigned char* text, std::size_t length, long timeout_ms)
{
  long deadline = now_ms() + timeout_ms;
  for (;;) {
    if (screen_length >= length &&
        memmem(screen.data(), screen_length, text, length) != nullptr) {
      reply("found");
      return;
    }
    if (now_ms() >= deadline) {
      reply_hex("timeout", screen.data(), screen_length);
      return;
    }
    pump(5);
  }
}

void
wait_exit(long timeout_ms)
{
  long deadline = now_ms() + timeout_ms;
  while (!child.exited && now_ms() < deadline) {
    pump(10);
  }
  if (!child.exited) {
    reply("timeout");
    return;
  }
  pump(0);
  if (WIFEXITED(child.status)) {
    reply("exit %d", WEXITSTATUS(child.status));
  } else {
    reply("signal %d", WTERMSIG(child.status));
  }
}

speed_t
speed_of(long bps)
{
  switch (bps) {
  case 1200:
    return B1200;
  case 2400:
    return B2400;
  case 4800:
    return B4800;
  case 19200:
    return B19200;
  case 38400:
    return B38400;
  case 57600:
    return B57600;
  case 115200:
    return B115200;
  default:
    return B9600;
  }
}

// Opens the serial line and reads its settings into `t`. Returns the
// descriptor, or -1 after replying with the error.
int
open_line_settings(termios& t)
{
  int fd = open(LINE_PATH, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0 || tcgetattr(fd, &t) != 0) {
    reply("error %s: %s", LINE_PATH, std::strerror(errno));
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
set_line(char** args, std::size_t count)
{
  if (count != 4) {
    reply("error setline BPS BITS PARITY STOP");
    return;
  }
  termios t{};
  int fd = open_line_settings(t);
  if (fd < 0) {
    return;
  }
  static constexpr tcflag_t SIZES[] = {CS5, CS6, CS7, CS8};
  long bits = std::strtol(args[1], nullptr, 10);
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
  cfsetspeed(&t, speed_of(std::strtol(args[0], nullptr, 10)));
  int result = tcsetattr(fd, TCSANOW, &t);
  close(fd);
  if (result != 0) {
    reply("error tcsetattr: %s", std::strerror(errno));
    return;
  }
  reply("ok");
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
  std::array<char, 2 * NCCS + 1> cc{};
  for (std::size_t i = 0; i < NCCS; ++i) {
    std::snprintf(&cc[2 * i], 3, "%02x", t.c_cc[i]);
  }
  reply("attrs %x %x %x %x %x %x %s", t.c_iflag, t.c_oflag, t.c_cflag,
        t.c_lflag, cfgetispeed(&t), cfgetospeed(&t), cc.data());
}

// Answers the driver's line for the second port from /proc: its transmit
// and receive counts, error counts and modem lines.
void
driver_status()
{
  FILE* f = std::fopen("/proc/tty/driver/serial", "r");
  if (f == nullptr) {
    reply("error /proc/tty/driver/serial: %s", std::strerror(errno));
    return;
  }
  std::array<char, 512> text{};
  while (std::fgets(text.data(), static_cast<int>(text.size()), f) != nullptr) {
    if (std::strncmp(text.data(), "1:", 2) == 0) {
      text[std::strcspn(text.data(), "\n")] = '\0';
      std::fclose(f);
      reply("proc %s", text.data());
      return;
    }
  }
  std::fclose(f);
  reply("error no port 1 in /proc/tty/driver/serial");
}

// Reads one command line from the console into `command`; false at end of
// input.
bool
read_command()
{
  std::size_t length = 0;
  for (;;) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) {
      pump(0);
      continue;
    }
    char c = 0;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    if (c == '\n' || c == '\r') {
      if (length == 0) {
        continue;
      }
      command[length] = '\0';
      return true;
    }
    if (length + 1 < command.size()) {
      command[length++] = c;
    }
  }
}

void
run_command()
{
  std::array<char*, MAX_ARGS + 2> words{};
  std::size_t count = 0;
  for (char* word = std::strtok(command.data(), " ");
       word != nullptr && count < words.size();
       word = std::strtok(nullptr, " ")) {
    words[count++] = word;
  }
  if (count == 0) {
    return;
  }
  const char* name = words[0];
  char** args = words.data() + 1;
  std::size_t nargs = count - 1;
  auto arg_long = [&](std::size_t i, long fallback) {
    return i < nargs ? std::strtol(args[i], nullptr, 10) : fallback;
  };

  if (std::strcmp(name, "spawn") == 0) {
    spawn(args, nargs);
  } else if (std::strcmp(name, "waitraw") == 0) {
    wait_raw(arg_long(0, 10000));
  } else if (std::strcmp(name, "type") == 0 ||
             std::strcmp(name, "expect") == 0) {
    long length = nargs > 0 ? decode_hex(args[0]) : -1;
    if (length < 0) {
      reply("error bad hex");
    } else if (name[0] == 't') {
      type(bytes.data(), static_cast<std::size_t>(length), arg_long(1, 30000));
    } else {
      expect(bytes.data(), static_cast<std::size_t>(length),
             arg_long(1, 10000));
    }
  } else if (std::strcmp(name, "paste") == 0) {
    type(nullptr, static_cast<std::size_t>(arg_long(0, 0)), arg_long(1, 60000));
  } else if (std::strcmp(name, "screen") == 0) {
    pump(0);
    reply_hex("screen", screen.data(), screen_length);
  } else if (std::strcmp(name, "clear") == 0) {
    pump(0);
    screen_length = 0;
    reply("ok");
  } else if (std::strcmp(name, "wait") == 0) {
    wait_exit(arg_long(0, 10000));
  } else if (std::strcmp(name, "kill") == 0) {
    end_session();
    reply("ok");
  } else if (std::strcmp(name, "setline") == 0) {
    set_line(args, nargs);
  } else if (std::strcmp(name, "attrs") == 0) {
    line_attrs();
  } else if (std::strcmp(name, "proc") == 0) {
    driver_status();
  } else {
    reply("error unknown command %s", name);
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
  utsname name{};
  uname(&name);
  reply("ready %s", name.release);
  while (read_command()) {
    if (std::strcmp(command.data(), "quit") == 0) {
      break;
    }
    run_command();
  }
  end_session();
  reply("bye");
  return 0;
}
