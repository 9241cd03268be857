// The pty toolkit of the tests, the UART VM harness and the benchmark:
// pseudo-terminal pairs, programs started on given descriptors, reads and
// writes that are always bounded, and runs of a program whose every output
// stream is taken in whole and checked at its end. It depends on nothing but
// the system; a test program routes its failures through `report_failure`.
#pragma once

#include <array>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <regex>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <termios.h>
#include <thread>
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
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

// `data` for a message: CR and LF as \r and \n, every other byte outside
// printable ASCII as \xNN.
std::string printable(std::string_view data);

// Empty when `got` equals `want`; otherwise both sizes and where they first
// part, with a little of each from just before there.
std::string difference(std::string_view got, std::string_view want);

// The bytes of `text`, as the program's byte interfaces take them.
inline std::span<const unsigned char>
bytes_of(std::string_view text)
{
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// A row of a test table. Its `name` names the test made of it (`by_name`,
// for INSTANTIATE_TEST_SUITE_P) and stands for the row in GoogleTest's
// messages (`PrintTo`, found for every row type derived from this one)
// instead of a dump of its bytes.
struct named_row {
  std::string name;
};
inline constexpr auto by_name = [](const auto& row) { return row.param.name; };
template <std::derived_from<named_row> Row>
void
PrintTo(const Row& row, std::ostream* os)
{
  *os << row.name;
}

// Appends what `fd` has now to `into`, at most `most` bytes. Returns false
// at end of input or on an error other than would-block.
bool drain(int fd, std::string& into, std::size_t most = SIZE_MAX);

// Waits up to `ms` for `fd` to have input (`events` POLLIN) or room
// (POLLOUT). True if it is ready.
bool wait_fd(int fd, short events, int ms);

// What a wait on a growing text looks for: made from a string, that string
// anywhere from the offset given; made by `at_least`, a size. `match` gives
// the offset just past what it found, or npos while there is nothing yet;
// `label` names it in messages.
struct wanted {
  wanted(const char* needle) : wanted(std::string_view(needle)) {}
  wanted(const std::string& needle) : wanted(std::string_view(needle)) {}
  wanted(std::string_view needle);
  std::function<std::size_t(std::string_view, std::size_t)> match;
  std::string label;
};
// At least `size` bytes in all.
wanted at_least(std::size_t size);

// Appends what `fd` delivers to `into` until `what` is there (looked for
// from `from` on) or `limit` passes. True if it came.
bool read_until(int fd, std::string& into, const wanted& what,
                milliseconds limit = WAIT_LIMIT, std::size_t from = 0);

// Appends to `into` everything `fd` delivers during `span`.
void read_for(int fd, std::string& into, milliseconds span);

// Writes all of `data` to `fd`, waiting while it is full, for at most
// `limit`, and calling `while_full` (when given) at each wait. False if not
// all of it went.
bool write_all_bounded(int fd, std::string_view data,
                       milliseconds limit = WAIT_LIMIT,
                       const std::function<void()>& while_full = {});

// For `launch::in`, `out` and `err` given to `start_run`: a pipe whose other
// end the run holds.
inline constexpr int PIPE = -2;

// A program to start: its argument vector (argv[0] first), the file to run
// (empty: argv[0] searched in PATH), and what its descriptors 0, 1 and 2 are
// (-1: closed). Every other descriptor of the caller stays out of the child.
struct launch {
  std::vector<std::string> argv;
  std::string path{};
  int in = -1;
  int out = -1;
  int err = -1;
  bool ignore_sigpipe = false;  // start with SIGPIPE ignored, as a parent may
  bool new_session = false;     // no controlling terminal inherited
  bool die_with_parent = false; // SIGKILL once the starting thread ends
  int user = -1;  // run as this user and group, without others; -1: as is
  int group = -1; // with `user`: this one supplementary group
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

// True once `pid`, a child, has ended; its status is left to be collected.
bool has_ended(pid_t pid);

// The processor time `pid` has used so far, in clock ticks (user and
// system), or -1 if it cannot be read.
long cpu_ticks(pid_t pid);

// The number after the word `key` in /proc/`pid`/`file`, or -1: the bytes
// its reads have returned so far ("io", "rchar:"), its peak memory in kB
// ("status", "VmHWM:").
long proc_value(pid_t pid, const std::string& file, const std::string& key);

// How a test program reports a failure of the run functions below (a
// GoogleTest program points it at ADD_FAILURE); by default, to stderr.
extern void (*report_failure)(const std::string& what);

// The streams of a run. For serterm: what the device received on the line,
// the screen (the keyboard pty's master), standard output and standard
// error; a program on a pty of its own has that pty as its `line`.
enum class stream { line, screen, out, err };

// A started program: the descriptors the test reads each stream from (-1:
// none), what came on each, how far `await` has matched into each, and the
// write end of its standard input when that is a pipe.
struct run {
  pid_t pid = -1;
  int keys = -1;
  std::array<int, 4> fds{-1, -1, -1, -1};
  std::array<std::string, 4> got;
  std::array<std::size_t, 4> seen{};
  // How fast the far end of each stream reads it, in bytes a second on the
  // clock since `pace` set it, or since it took the bytes before
  // `paced_from` at full speed: -1 all there is, 0 nothing.
  std::array<long, 4> rate{-1, -1, -1, -1};
  std::array<steady::time_point, 4> paced_since{};
  std::array<std::size_t, 4> paced_from{};
  // What the device keeps sending on the line stream's descriptor, over
  // and over, as fast as it takes it (empty: nothing), and how much of it
  // has gone; one flood a run.
  std::string flood;
  std::size_t flood_sent = 0;
};

// From now on the far end of `which` reads it at `bytes_per_s` (-1: all
// there is, 0: nothing), a positive rate only once it has taken the next
// `first` bytes as they come; `take` keeps to it.
void pace(run& r, stream which, long bytes_per_s, std::size_t first = 0);

// Starts `what` into `r`, a fresh run, making the pipes that `PIPE` asks for:
// the write end of standard input becomes `r.keys`, the read ends of standard
// output and error the `out` and `err` streams. False, reported, on failure.
bool start_run(run& r, launch what);

// What `which` has delivered so far.
std::string& got(run& r, stream which);

// Takes in what every stream has now, as fast as its pace allows, so that
// the program never blocks on a full pipe or pty while the test waits for
// one of them; and sends what the line takes of the flood.
void take(run& r);

// Takes in every stream until the run's program has ended (its status left
// to be collected) or `limit` passes. True if it ended.
bool take_until_ended(run& r, milliseconds limit = WAIT_LIMIT);

// Takes in every stream for `span`.
void settle(run& r, milliseconds span);

// Waits until `which` holds `what` after what earlier awaits on it matched,
// and consumes it. Reports a failure, showing the stream, on time-out.
bool await(run& r, stream which, const wanted& what,
           milliseconds limit = WAIT_LIMIT);

// Writes `data` to `fd`, taking in every stream while it is full. Reports a
// failure if not all of it goes within `limit`.
void put(run& r, int fd, std::string_view data,
         milliseconds limit = WAIT_LIMIT);

// An expected stream: exactly `value`; made from a function or a regular
// expression, any text that the function accepts or that the expression
// matches whole, followed by exactly `value` (empty until a caller adds to
// it).
struct stream_text {
  stream_text(const char* exact) : value(exact) {}
  stream_text(std::string exact) : value(std::move(exact)) {}
  stream_text(bool (*check)(std::string_view)) : fits(check) {}
  stream_text(std::regex whole) : pattern(std::move(whole)) {}
  std::string value;
  bool (*fits)(std::string_view) = nullptr;
  std::optional<std::regex> pattern;
};

// How a run is expected to end, and everything each stream got.
struct outcome {
  stream_text line = "";
  stream_text screen = "";
  stream_text out = "";
  stream_text err = "";
  int exit_code = 0; // the exit status expected, unless `signal` is set
  int signal = 0;    // the signal expected to end the run
  // For serterm: whether each terminal can still be read after the run,
  // and so must be back at its settings from before.
  bool line_restored = true;
  bool keyboard_restored = true;
};

// Waits for the run to end (killing it after `limit`), takes in the rest of
// every stream, and reports every way the end differs from `expected`: the
// status, each stream whole. Closes the pipes of the run; the texts stay.
void end_run(run& r, const outcome& expected, milliseconds limit = WAIT_LIMIT);

} // namespace serterm::testing
