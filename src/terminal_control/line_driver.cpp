// What the line's driver says of itself and holds at the end of a session.
#include "terminal_control/line_driver.hpp"

#include "common/io.hpp"
#include "terminal_control/terminal_control.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <time.h>
#include <tuple>
#include <unistd.h>

namespace serterm {

namespace {

// Only interrupts the wait it arrives in.
void
interrupt(int)
{
}

void
pause_us(std::int64_t us)
{
  timespec pause{static_cast<time_t>(us / 1000000),
                 static_cast<long>(us % 1000000) * 1000};
  std::ignore = nanosleep(&pause, nullptr);
}

} // namespace

line_driver
describe_line(int line_fd)
{
  line_driver driver;
  termios settings{};
  speed_t code =
      tcgetattr(line_fd, &settings) == 0 ? cfgetospeed(&settings) : B0;
  for (const speed_entry& entry : SPEED_TABLE) {
    driver.bps = entry.code == code ? entry.bps : driver.bps;
  }
  // Without word from the driver, the close waits the terminal layer's own
  // default, 30 seconds.
  driver.closing_wait_cs = 3000;
  serial_struct serial{};
  if (ioctl(line_fd, TIOCGSERIAL, &serial) == 0) {
    driver.counts = true;
    driver.step = serial.xmit_fifo_size > 0
                      ? static_cast<std::size_t>(serial.xmit_fifo_size)
                      : 0;
    driver.closing_wait_cs = serial.closing_wait == ASYNC_CLOSING_WAIT_NONE ? 0
                             : serial.closing_wait == ASYNC_CLOSING_WAIT_INF
                                 ? -1
                                 : serial.closing_wait;
  }
  return driver;
}

std::size_t
discard_line_output(int line_fd)
{
  if (line_output_queued(line_fd) == 0) {
    return 0;
  }
  // On the 16550 the count stands still while output is suspended; on USB
  // drivers TCOOFF only sets a flag and what is in flight keeps leaving.
  // So the count is read just before the flush, and what it shows after
  // (in flight, or held by a driver that cannot discard) is not counted.
  bool suspended = tcflow(line_fd, TCOOFF) == 0;
  std::size_t queued = line_output_queued(line_fd);
  bool flushed = tcflush(line_fd, TCOFLUSH) == 0;
  std::size_t left = line_output_queued(line_fd);
  // Output left suspended would stay so for the next program while anyone
  // holds the line open; a line that fails here has hung up.
  while (suspended && tcflow(line_fd, TCOON) != 0 && errno == EINTR) {
  }
  return flushed ? queued - std::min(queued, left) : 0;
}

void
wait_transmitter_empty(int line_fd, const line_driver& driver)
{
  if (driver.bps <= 0) {
    return;
  }
  // Ten bits a byte (start, eight data bits, stop), twice over; a FIFO of
  // 16 bytes when the driver does not say.
  std::int64_t step =
      driver.step > 0 ? static_cast<std::int64_t>(driver.step) : 16;
  std::int64_t limit = 2 * step * 10 * 1000000 / driver.bps;
  std::int64_t start = monotonic_us();
  unsigned int status = 0;
  while (ioctl(line_fd, TIOCSERGETLSR, &status) == 0 &&
         (status & TIOCSER_TEMT) == 0 && monotonic_us() - start < limit) {
    pause_us(std::min<std::int64_t>(limit / 8 + 1, 5000));
  }
}

std::size_t
watch_line_output(int line_fd, const line_driver& driver)
{
  std::int64_t limit =
      static_cast<std::int64_t>(driver.closing_wait_cs) * 10000;
  std::int64_t start = monotonic_us();
  std::size_t held = line_output_queued(line_fd);
  while (held != 0 && (limit < 0 || monotonic_us() - start < limit)) {
    pause_us(50000);
    held = line_output_queued(line_fd);
  }
  return held;
}

std::size_t
line_output_queued(int line_fd)
{
  int queued = 0;
  return ioctl(line_fd, TIOCOUTQ, &queued) == 0 && queued > 0
             ? static_cast<std::size_t>(queued)
             : 0;
}

// A timer's signal, repeated until the close returns, cuts its wait
// short.
void
close_without_waiting(int fd)
{
  struct sigaction quick {};
  struct sigaction before {};
  quick.sa_handler = interrupt;
  sigemptyset(&quick.sa_mask);
  std::ignore = sigaction(SIGALRM, &quick, &before);
  itimerval every{{0, 10000}, {0, 10000}};
  std::ignore = setitimer(ITIMER_REAL, &every, nullptr);
  std::ignore = close(fd);
  itimerval off{};
  std::ignore = setitimer(ITIMER_REAL, &off, nullptr);
  std::ignore = sigaction(SIGALRM, &before, nullptr);
}

} // namespace serterm
