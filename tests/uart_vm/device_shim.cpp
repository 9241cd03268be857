// Preloaded into QEMU: plays the device's modem lines on the host pty that
// stands for the guest's second UART, from state the test harness controls,
// and records the line settings QEMU applies to that pty. A pty has no
// modem lines, so without this the guest would see them all clear and its
// DTR/RTS changes would go nowhere. It also gives the sockets QEMU accepts
// the smallest send buffer.
#include "protocol.hpp"

#include <cstdarg>
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>

namespace {

uart_vm::device_state* shared = nullptr;
dev_t tty_device = 0;

__attribute__((constructor)) void
start_shim()
{
  const char* file = std::getenv(uart_vm::DEVICE_FILE_ENV);
  const char* tty = std::getenv(uart_vm::DEVICE_TTY_ENV);
  struct stat tty_stat {};
  if (file != nullptr && tty != nullptr && stat(tty, &tty_stat) == 0) {
    shared = uart_vm::map_device_state(file);
    tty_device = tty_stat.st_rdev;
  }
}

bool
is_device_tty(int fd)
{
  struct stat fd_stat {};
  return shared != nullptr && fstat(fd, &fd_stat) == 0 &&
         S_ISCHR(fd_stat.st_mode) && fd_stat.st_rdev == tty_device;
}

} // namespace

extern "C" int
ioctl(int fd, unsigned long request, ...) noexcept
{
  // The function this shim stands in front of, and so on below.
  static auto* real = reinterpret_cast<int (*)(int, unsigned long, ...)>(
      dlsym(RTLD_NEXT, "ioctl"));
  // Every request takes at most one argument, a pointer or an int, both
  // passed in a register: reading it as a pointer forwards either.
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  // QEMU reads the lines with TIOCMGET and sets the guest's with TIOCMSET.
  if ((request != TIOCMGET && request != TIOCMSET) || !is_device_tty(fd)) {
    return real(fd, request, arg);
  }
  int* bits = static_cast<int*>(arg);
  if (request == TIOCMGET) {
    *bits = static_cast<int>(shared->device_lines.load() |
                             shared->guest_lines.load());
    shared->get_count.fetch_add(1);
    return 0;
  }
  // Every change of the guest's lines is counted.
  auto lines = static_cast<std::uint32_t>(*bits) & uart_vm::GUEST_LINES;
  if (shared->guest_lines.exchange(lines) != lines) {
    shared->changes.fetch_add(1);
  }
  return 0;
}

extern "C" int
tcsetattr(int fd, int action, const termios* settings) noexcept
{
  static auto* real = reinterpret_cast<int (*)(int, int, const termios*)>(
      dlsym(RTLD_NEXT, "tcsetattr"));
  if (settings != nullptr && is_device_tty(fd)) {
    shared->line_cflag.store(settings->c_cflag);
    shared->line_speed.store(cfgetospeed(settings));
  }
  return real(fd, action, settings);
}

extern "C" int
accept4(int fd, sockaddr* address, socklen_t* length, int flags)
{
  static auto* real =
      reinterpret_cast<int (*)(int, sockaddr*, socklen_t*, int)>(
          dlsym(RTLD_NEXT, "accept4"));
  // The UART writes each byte on its own, and a socket's buffer is charged
  // far more than a byte for each: the smallest buffer holds a few, so the
  // UART on the paced line sends at the pace its far end reads. The only
  // other socket QEMU accepts is the monitor's, whose short answers fit.
  int accepted = real(fd, address, length, flags);
  int smallest = 1;
  setsockopt(accepted, SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
  return accepted;
}
