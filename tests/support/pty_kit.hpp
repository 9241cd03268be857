// The pty toolkit of the tests, the UART VM harness and the benchmark:
// pseudo-terminal pairs, programs started on given descriptors, reads and
// writes that are always bounded. It reports failures by its results and
// depends on nothing but the system.
#pragma once

#include <chrono>
#include <ctime>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <termios.h>
#include <vector>

namespace serterm::testing {

using std::chrono::milliseconds;
using steady = std::chrono::steady_clock;

// Generous bounds: the machine running the tests may be heavily loaded.
inline constexpr milliseconds WAIT_LIMIT{10000};

// A pseudo-terminal pair: the test plays the device or the user on the
// master, the program under test opens the slave by its path.
struct pty_pair {
  int master = -1;
  int slave = -1;
  std::string slave_path;
};

// Opens a pty pair, both ends close-on-exec, the master non-blocking, the
// slave with `settings` when given. Returns false, with errno set, on error.
[[nodiscard]] bool open_pty(pty_pair& pty, const termios* settings = nullptr);
void close_pty(pty_pair& pty);

// Sets O_NONBLOCK on `fd`. Returns false on error.
bool set_nonblocking(int fd);

// Milliseconds left until `end`, never negative.
int remaining_ms(steady::time_point end);

// Polls `done` every 2 ms until it holds or `limit` passes; returns its
// last result.
template <typename Done>
bool
eventually(Done done, milliseconds limit = WAIT_LIMIT)
{
  auto end = steady::now() + limit;
  while (!done()) {
    if (remaining_ms(end) == 0) {
      return done();
    }
    timespec pause{0, 2 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  return true;
}

// `data` for a message: CR and LF as \r and \n, every other byte outside
// printable ASCII as \xNN.
std::string printable(std::string_view data);

// Empty when `got` equals `want`; otherwise both sizes and where they first
// part, with a little of each from just before there.
std::string difference(std::string_view got, std::string_view want);

// Appends what `fd` has now to `into`. Returns false at end of input or on
// an error other than would-block.
bool drain(int fd, std::string& into);

// Waits up to `ms` for `fd` to have input (`events` POLLIN) or room
// (POLLOUT). True if it is ready.
bool wait_fd(int fd, short events, int ms);

// Appends what `fd` delivers to `into` until it holds `needle` (anywhere
// from `from` on) or `limit` passes. True if the needle came.
bool read_until(int fd, std::string& into, std::string_view needle,
                milliseconds limit = WAIT_LIMIT, std::size_t from = 0);

// Appends to `into` until it holds at least `size` bytes or `limit` passes.
bool read_at_least(int fd, std::string& into, std::size_t size,
                   milliseconds limit = WAIT_LIMIT);

// Appends to `into` everything `fd` delivers during `span`.
void read_for(int fd, std::string& into, milliseconds span);

// Writes all of `data` to `fd`, waiting while it is full, for at most
// `limit`. False if not all of it went.
bool write_all_bounded(int fd, std::string_view data,
                       milliseconds limit = WAIT_LIMIT);

// A program to start: its argument vector (argv[0] first), the file to run
// (empty: argv[0] searched in PATH), and what its descriptors 0, 1 and 2 are
// (-1: closed). Every other descriptor of the caller stays out of the child.
struct launch {
  std::vector<std::string> argv;
  std::string path;
  std::vector<std::string> env; // NAME=value words; empty: the caller's
  int in = -1;
  int out = -1;
  int err = -1;
  bool ignore_sigpipe = false;  // start with SIGPIPE ignored, as a parent may
  bool new_session = false;     // no controlling terminal inherited
  bool die_with_parent = false; // SIGKILL once the starting thread ends
  // Descriptors 3 up to this one (exclusive) are left open on /dev/null, as
  // a parent that leaks descriptors leaves them; 0 for none.
  int fill_descriptors_to = 0;
  int free_descriptor = -1; // one of those left closed
};

// How to start `binary`, a program of this build, with `argv0` as its
// argv[0]: directly, or through qemu-user when the build is for another
// architecture (the emulator then gets argv[0] with -0).
launch program_launch(const std::string& binary, const std::string& argv0);

// True when programs of this build run under an emulator.
bool emulated();

// Starts `what`. Returns the child's PID, or -1 with errno set.
pid_t start_process(const launch& what);

// Waits for `pid` to end, for at most `limit`; then it is killed with
// SIGKILL. Returns the wait status, or -1 if it had to be killed.
int wait_child(pid_t pid, milliseconds limit = WAIT_LIMIT);

} // namespace serterm::testing
