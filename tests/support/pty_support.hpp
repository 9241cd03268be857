// Test helpers: pseudo-terminal pairs, the serterm binary run on them, and
// reads and waits that are always bounded.
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

// Generous bounds: the machine running the tests may be heavily loaded.
inline constexpr milliseconds WAIT_LIMIT{10000};

// A pseudo-terminal pair; the test plays the device or the user on the
// master. Both descriptors are closed by close_pty().
struct pty_pair {
  int master = -1;
  int slave = -1;
  std::string slave_path;
};

// Opens a pty pair with the master non-blocking. Fails the test on error.
pty_pair open_pty();
void close_pty(pty_pair& pty);

// The settings of terminal `fd`, read with tcgetattr.
termios settings_of(int fd);

// True when every field of `a` and `b` is equal, control characters
// included; `why` gets the first difference.
bool same_settings(const termios& a, const termios& b, std::string* why);

// A running serterm: its PID and the read ends of its standard output and
// standard error (non-blocking pipes).
struct child {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

struct spawn_options {
  // Where the child's fd 0 comes from: a path opened read-write (normally a
  // keyboard pty slave); empty leaves fd 0 as `stdin_fd`.
  std::string keyboard_path;
  int stdin_fd = -1; // used when keyboard_path is empty; -1 closes fd 0
  bool keyboard_nonblocking = false; // leave fd 0 non-blocking, as a parent may
  bool stdout_pipe = true;
  int stdout_fd = -1; // used when !stdout_pipe; -1 closes fd 1
  std::string argv0 = "serterm";
  bool ignore_sigpipe = false; // start with SIGPIPE ignored, as a parent may
  // Above 2: the child starts with descriptors 3 to this number open on
  // /dev/null, except `free_descriptor`, as a parent holding many may leave.
  int fill_descriptors_to = 0;
  int free_descriptor = -1;
};

// Starts the serterm binary under test with `args` after argv[0].
child spawn_serterm(const std::vector<std::string>& args,
                    const spawn_options& how);

// Appends whatever `fd` has to `into` until it contains `needle` or
// `limit` passes. Returns true if the needle was seen.
bool read_until(int fd, std::string& into, std::string_view needle,
                milliseconds limit = WAIT_LIMIT);

// Appends to `into` until it holds at least `size` bytes or `limit` passes.
bool read_at_least(int fd, std::string& into, std::size_t size,
                   milliseconds limit = WAIT_LIMIT);

// Appends to `into` everything `fd` delivers during `span`.
void read_for(int fd, std::string& into, milliseconds span);

// Writes all of `data` to `fd` (waiting while it is full, bounded).
bool write_all_bounded(int fd, std::string_view data,
                       milliseconds limit = WAIT_LIMIT);

// Waits for `pid` to end; after `limit` it is killed with SIGKILL. Returns
// the wait status, or -1 if it had to be killed.
int wait_child(pid_t pid, milliseconds limit = WAIT_LIMIT);

// Waits for the child to end and closes its pipes, collecting what is left
// on them. Returns the wait status as wait_child does.
int finish(child& c, std::string* out, std::string* err,
           milliseconds limit = WAIT_LIMIT);

// Polls until `pred` holds or `limit` passes; returns the final result.
template <typename Pred>
bool
eventually(Pred pred, milliseconds limit = WAIT_LIMIT)
{
  auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) {
      return pred();
    }
    struct timespec pause {
      0, 5 * 1000 * 1000
    };
    nanosleep(&pause, nullptr);
  }
  return true;
}

// A serterm run on a fresh line pty and keyboard pty, with the settings
// both had before it started.
struct session {
  pty_pair line;
  pty_pair keyboard;
  termios line_before{};
  termios keyboard_before{};
  child proc;
};

// How a session starts besides its options.
struct session_setup {
  spawn_options how;             // keyboard_path is filled in
  const termios* line = nullptr; // settings the line has before the run
  bool wait_for_raw = true;      // wait until both terminals are set up
};

// Starts serterm with `options` followed by the line's path.
session start_session(const std::vector<std::string>& options,
                      session_setup setup = {});

// Ends the session's child (bounded) and checks that both terminals have
// exactly their settings from before. Returns the wait status.
int end_session(session& s, std::string* out = nullptr,
                std::string* err = nullptr);

// Waits until the terminal `fd` is in raw mode (ICANON and ECHO clear).
bool wait_raw(int fd, milliseconds limit = WAIT_LIMIT);

// Waits until the terminal `fd` is back in canonical mode.
bool wait_cooked(int fd, milliseconds limit = WAIT_LIMIT);

} // namespace serterm::testing
