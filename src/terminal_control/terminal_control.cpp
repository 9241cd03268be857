// Line and keyboard terminal settings, the speed table and modem status.
#include "terminal_control/terminal_control.hpp"

#include "common/common.hpp"
#include "terminal_control/line_driver.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace serterm {

namespace {

termios saved_line_settings;
termios line_settings;
termios saved_keyboard_settings;
termios raw_keyboard_settings;

// What the signal handler may put back: the line's descriptor once its
// settings are saved, and whether the keyboard's are; the line's descriptor
// while it is in exclusive mode.
volatile std::sig_atomic_t saved_line_fd = -1;
volatile std::sig_atomic_t exclusive_line_fd = -1;
volatile std::sig_atomic_t keyboard_saved = 0;
// Set when the process goes on after a stop.
volatile std::sig_atomic_t continued = 0;
// The signals the handler takes, blocked while the keyboard's saved record
// is rewritten so that the handler never restores half of it.
sigset_t handled_signals;

// Every catchable signal whose default action ends the process; the
// real-time signals are added at run time, as their bounds are not
// constants. The last three only on Linux: elsewhere SIGSTKFLT may not
// exist and SIGIO and SIGPWR are ignored by default.
constexpr auto TERMINATING_SIGNALS = std::to_array<int>({
    SIGHUP,    SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
    SIGFPE,    SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
    SIGXCPU,   SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef __linux__
    SIGSTKFLT, SIGIO,   SIGPWR,
#endif
});

// The handler's own stack, so that it still runs after the main stack has
// overflowed. Fixed, as SIGSTKSZ need not be a constant.
constexpr std::size_t SIGNAL_STACK_SIZE = 65536;
alignas(16) std::array<unsigned char, SIGNAL_STACK_SIZE> signal_stack;

struct modem_word {
  int bit;
  const char* set;
  const char* clear;
};

constexpr std::array<modem_word, 7> MODEM_WORDS{{
    {TIOCM_LE, "ENABLE|", "enable|"},
    {TIOCM_DTR, "DTR|", "dtr|"},
    {TIOCM_RTS, "RTS|", "rts|"},
    {TIOCM_CTS, "CTS|", "cts|"},
    {TIOCM_CAR, "DCD|", "dcd|"},
    {TIOCM_RNG, "RI|", "ri|"},
    {TIOCM_DSR, "DSR", "dsr"},
}};

void
restore_on_signal(int sig)
{
  int saved_errno = errno;
  if (keyboard_saved != 0) {
    std::ignore = tcsetattr(STDIN_FILENO, TCSANOW, &saved_keyboard_settings);
  }
  if (saved_line_fd >= 0) {
    std::ignore = tcsetattr(saved_line_fd, TCSANOW, &saved_line_settings);
  }
  if (exclusive_line_fd >= 0) {
    std::ignore = ioctl(exclusive_line_fd, TIOCNXCL);
  }
  // SA_RESETHAND has restored the default action and SA_NODEFER leaves the
  // signal unblocked, so this ends the process with the same signal.
  std::ignore = std::raise(sig);
  errno = saved_errno;
}

// Whether the user is in group `gid`, as its effective group or one of
// its supplementary groups. With more groups than are looked at, the answer
// is true: a note that might be wrong is left out.
bool
in_group(gid_t gid)
{
  if (getegid() == gid) {
    return true;
  }
  std::array<gid_t, 1024> groups{};
  int count = getgroups(static_cast<int>(groups.size()), groups.data());
  if (count < 0) {
    return true;
  }
  auto member = std::span(groups).first(static_cast<std::size_t>(count));
  return std::find(member.begin(), member.end(), gid) != member.end();
}

// The name of the group of the device at `path` when the user is not in it
// and the group may read and write the device, so that joining it is what
// would let the user in; otherwise nullptr.
const char*
group_to_join(const char* path)
{
  struct stat device {};
  constexpr mode_t GROUP_READ_WRITE = S_IRGRP | S_IWGRP;
  if (stat(path, &device) != 0 || !S_ISCHR(device.st_mode) ||
      (device.st_mode & GROUP_READ_WRITE) != GROUP_READ_WRITE ||
      in_group(device.st_gid)) {
    return nullptr;
  }
  const group* entry = getgrgid(device.st_gid);
  return entry != nullptr ? entry->gr_name : nullptr;
}

// Writes "can't open <path>" (the line scripts match) and then
// "<progname>: <path>: <reason>", with the device's group when `group` is
// not null, and exits with status 1. Nothing has been changed yet.
[[noreturn]] void
refuse_line(const char* path, const char* reason, const char* group = nullptr)
{
  std::fprintf(stderr, "can't open %s\n%s: %s: %s", path, progname, path,
               reason);
  if (group != nullptr) {
    std::fprintf(stderr, " (the device belongs to group %s)", group);
  }
  std::fputs("\n", stderr);
  std::exit(1);
}

// Puts back the settings `setup_line` saved.
void
restore_line(int line_fd)
{
  if (saved_line_fd == line_fd) {
    std::ignore = tcsetattr(line_fd, TCSANOW, &saved_line_settings);
  }
}

// Marks that the process went on after a stop. Installed without
// SA_RESTART, so that a wait it interrupts returns and can notice.
void
note_continued(int)
{
  continued = 1;
}

} // namespace

int
open_line(const char* path)
{
  // Not yet the controlling terminal: a refused line must be left as it
  // was, and a session leader's exit would hang up a serial port it had
  // taken as its controlling terminal, under the program using it.
  int fd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    int error = errno;
    // A terminal in exclusive mode refuses every open but root's.
    refuse_line(path,
                error == EBUSY ? "in use by another program"
                               : std::strerror(error),
                error == EACCES ? group_to_join(path) : nullptr);
  }
  // select cannot watch a descriptor this high: FD_SET would write past
  // the fd_set. Nothing has been changed yet, so exiting here is safe.
  if (fd >= FD_SETSIZE) {
    int low = fcntl(fd, F_DUPFD, 3);
    std::ignore = close(fd);
    if (low < 0 || low >= FD_SETSIZE) {
      if (low >= 0) {
        std::ignore = close(low);
      }
      report("too many descriptors open to watch the line", 0);
      std::exit(1);
    }
    fd = low;
  }
  // Typed keys would go into a mistyped file, and a pipe or /dev/null has
  // no line settings to set or put back.
  if (isatty(fd) == 0) {
    refuse_line(path, "not a terminal");
  }
  // The lock belongs to the open file description: no lock file, nothing to
  // remove, gone on every way out. Programs that lock the same way are kept
  // out, and keep serterm out.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    refuse_line(path, errno == EWOULDBLOCK ? "in use by another program"
                                           : std::strerror(errno));
  }
  // The flock is per device node; exclusive mode holds for the terminal
  // itself, however it is reached, and keeps out programs that do not
  // lock.
  if (ioctl(fd, TIOCEXCL) == 0) {
    exclusive_line_fd = fd;
  }
  // Now, as an open without O_NOCTTY would have done: a session leader
  // without a controlling terminal takes the line as its own.
  std::ignore = ioctl(fd, TIOCSCTTY, 0);
  return fd;
}

speed_t
speed_code(int bps)
{
  for (const speed_entry& entry : SPEED_TABLE) {
    if (entry.bps == bps) {
      return entry.code;
    }
  }
  std::fprintf(stderr, "%d bps unavailable.  9600 bps selected.\n", bps);
  return B9600;
}

void
setup_line(int line_fd, int bps)
{
  speed_t code = speed_code(bps);
  if (tcgetattr(line_fd, &saved_line_settings) != 0) {
    return; // hung up already: nothing to set, nothing to put back
  }
  saved_line_fd = line_fd;
  line_settings = saved_line_settings;
  line_settings.c_iflag = IGNBRK | IGNPAR;
  line_settings.c_oflag = 0;
  line_settings.c_cflag = CS8 | CREAD | CLOCAL;
  line_settings.c_lflag = 0;
  // After the flag words, which would otherwise wipe the speed bits.
  std::ignore = cfsetispeed(&line_settings, code);
  std::ignore = cfsetospeed(&line_settings, code);
  std::memset(line_settings.c_cc, 0, sizeof line_settings.c_cc);
  // A saved VMIN above 1 would keep select from reporting bytes until that
  // many had queued.
  line_settings.c_cc[VMIN] = 1;
  line_settings.c_cc[VTIME] = 0;
  std::ignore = tcsetattr(line_fd, TCSANOW, &line_settings);
}

void
close_line(int line_fd)
{
  restore_line(line_fd);
  saved_line_fd = -1;
  if (exclusive_line_fd == line_fd) {
    std::ignore = ioctl(line_fd, TIOCNXCL);
    exclusive_line_fd = -1;
  }
  if (line_output_queued(line_fd) != 0) {
    close_without_waiting(line_fd);
  } else {
    std::ignore = close(line_fd);
  }
}

void
keyboard_raw()
{
  sigset_t mask;
  std::ignore = sigprocmask(SIG_BLOCK, &handled_signals, &mask);
  bool saved = tcgetattr(STDIN_FILENO, &saved_keyboard_settings) == 0;
  if (saved) {
    keyboard_saved = 1;
  }
  std::ignore = sigprocmask(SIG_SETMASK, &mask, nullptr);
  if (!saved) {
    return; // not a terminal: the input is taken as it is
  }
  raw_keyboard_settings = saved_keyboard_settings;
  cfmakeraw(&raw_keyboard_settings);
  raw_keyboard_settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  std::ignore = tcsetattr(STDIN_FILENO, TCSANOW, &raw_keyboard_settings);
}

void
keyboard_restore()
{
  if (keyboard_saved != 0) {
    std::ignore = tcsetattr(STDIN_FILENO, TCSANOW, &saved_keyboard_settings);
  }
}

line_editing
keyboard_editing()
{
  line_editing editing;
  const termios& t = saved_keyboard_settings;
  if (keyboard_saved == 0) {
    return editing;
  }
  editing.echo = (t.c_lflag & ECHO) != 0;
  // A disabled key reads as _POSIX_VDISABLE, which is 0 on Linux too.
  if ((t.c_lflag & ICANON) != 0) {
    editing.eof = t.c_cc[VEOF] != _POSIX_VDISABLE ? t.c_cc[VEOF] : 0;
    editing.erase = t.c_cc[VERASE] != _POSIX_VDISABLE ? t.c_cc[VERASE] : 0;
    editing.kill = t.c_cc[VKILL] != _POSIX_VDISABLE ? t.c_cc[VKILL] : 0;
  }
  return editing;
}

std::size_t
format_modem_status(int bits, std::span<char, MODEM_STATUS_TEXT_SIZE> out)
{
  std::size_t length = 0;
  for (const modem_word& word : MODEM_WORDS) {
    const char* text = (bits & word.bit) != 0 ? word.set : word.clear;
    std::size_t n = std::strlen(text);
    std::memcpy(out.data() + length, text, n);
    length += n;
  }
  out[length++] = '\n';
  out[length] = '\0';
  return length;
}

std::size_t
modem_status_text(int line_fd, std::span<char> text)
{
  int bits = 0;
  int n = 0;
  if (ioctl(line_fd, TIOCMGET, &bits) != 0) {
    n = std::snprintf(text.data(), text.size(),
                      "%s: can't read modem status: %s\n", progname,
                      std::strerror(errno));
  } else {
    std::array<char, MODEM_STATUS_TEXT_SIZE> words{};
    std::ignore = format_modem_status(bits, words);
    n = std::snprintf(text.data(), text.size(), "%s", words.data());
  }
  return std::min(static_cast<std::size_t>(std::max(n, 0)),
                  text.empty() ? 0 : text.size() - 1);
}

void
install_signal_handlers()
{
  stack_t stack{};
  stack.ss_sp = signal_stack.data();
  stack.ss_size = signal_stack.size();
  std::ignore = sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_handler = restore_on_signal;
  action.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER | SA_ONSTACK);
  sigemptyset(&action.sa_mask);
  sigemptyset(&handled_signals);
  auto install = [&action](int sig) {
    struct sigaction old {};
    // A signal the parent chose to ignore (nohup) stays ignored.
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
      return;
    }
    if (sigaction(sig, &action, nullptr) == 0) {
      std::ignore = sigaddset(&handled_signals, sig);
    }
  };
  for (int sig : TERMINATING_SIGNALS) {
    install(sig);
  }
#ifdef SIGRTMIN
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
    install(sig);
  }
#endif
  struct sigaction on_continue {};
  on_continue.sa_handler = note_continued;
  sigemptyset(&on_continue.sa_mask);
  std::ignore = sigaction(SIGCONT, &on_continue, nullptr);
}

bool
was_continued()
{
  bool was = continued != 0;
  continued = 0;
  return was;
}

} // namespace serterm
