// The benchmark's workloads: each starts a command between two pseudo-terminal
// pairs, runs one transfer or wait on it and ends it.
#include "workloads.hpp"

#include "figures.hpp"
#include "support/pty_kit.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace bench {

namespace {

namespace testing = serterm::testing;
using testing::milliseconds;

// How long a transfer may make no progress at all before it counts as
// stalled, and how long a started command has to show it relays.
constexpr std::int64_t STALL_NS = 5'000'000'000;
constexpr milliseconds START_LIMIT{10000};

// Figure f: the screen is read SCREEN_TICK_BYTES at a time every
// SCREEN_TICK_NS (50 kB/s), a key is typed every KEY_INTERVAL_NS, and one
// that has not reached the line after KEY_LIMIT_NS is lost.
constexpr std::int64_t SCREEN_TICK_NS = 10'000'000;
constexpr std::size_t SCREEN_TICK_BYTES = 500;
constexpr std::int64_t KEY_INTERVAL_NS = 200'000'000;
constexpr std::int64_t KEY_LIMIT_NS = 5'000'000'000;

struct child {
  pid_t pid = -1;
  testing::pty_pair line;
  testing::pty_pair keyboard;
};

struct finished {
  double cpu_seconds = 0;
  long peak_rss_kb = 0;
};

// The commands' standard error, shown when one does not start, and the
// standard output of check_hexdump_text.
std::string error_path;
std::string output_path;

std::int64_t
now_ns()
{
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

void
sleep_ns(std::int64_t ns)
{
  std::this_thread::sleep_for(std::chrono::nanoseconds{ns});
}

// A pty pair with a raw slave (so that nothing but the command under test
// changes bytes) and a non-blocking master for the benchmark's side. The
// benchmark keeps the slave open so that the master never sees a hang-up
// between the command's open and close.
testing::pty_pair
open_pair()
{
  testing::pty_pair p;
  termios t{};
  if (!testing::open_pty(p) || tcgetattr(p.slave, &t) != 0) {
    fail("open_pty");
  }
  cfmakeraw(&t);
  if (tcsetattr(p.slave, TCSANOW, &t) != 0) {
    fail("tcsetattr");
  }
  return p;
}

std::string
substitute_line(const std::string& command, const std::string& path)
{
  std::string out = command;
  for (std::size_t at = out.find("{line}"); at != std::string::npos;
       at = out.find("{line}", at + path.size())) {
    out.replace(at, 6, path);
  }
  return out;
}

// Reads and drops what `fd` has now. The one buffer is kept, so that the
// transfer loops do not allocate while they measure.
void
discard(int fd)
{
  static std::string dropped;
  dropped.clear();
  std::ignore = testing::drain(fd, dropped);
}

// Types one byte on the keyboard until it shows on the line: the command
// has opened both terminals and relays. Returns false if it never does.
bool
wait_relaying(const child& c)
{
  auto end = testing::steady::now() + START_LIMIT;
  while (testing::remaining_ms(end) > 0) {
    if (write(c.keyboard.master, "K", 1) != 1) {
      return false;
    }
    if (testing::wait_fd(c.line.master, POLLIN, 500)) {
      sleep_ns(50'000'000);
      discard(c.line.master);
      discard(c.keyboard.master);
      return true;
    }
  }
  return false;
}

// Reads up to `limit` bytes of the file at `path` into `text`. False if it
// cannot be opened.
bool
read_file(const std::string& path, std::size_t limit, std::string& text)
{
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) {
    return false;
  }
  text.resize(limit);
  text.resize(std::fread(text.data(), 1, limit, f));
  std::fclose(f);
  return true;
}

void
show_child_errors()
{
  std::string text;
  if (read_file(error_path, 4095, text)) {
    std::fprintf(stderr, "serterm_bench: the command's standard error:\n%s\n",
                 text.c_str());
  }
}

// Opens `path`, emptied, for a command's output. Exits the benchmark if it
// cannot.
int
open_output(const char* path)
{
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    fail(path);
  }
  return fd;
}

// Starts `command` ("{line}" replaced by the line's slave path) in a session
// of its own, with the keyboard slave as fd 0 and standard output to
// `out_path`, and waits until it relays. Exits the benchmark if it does not.
child
start(const std::string& command, const char* out_path)
{
  child c;
  c.line = open_pair();
  c.keyboard = open_pair();
  std::string shell_command =
      "exec " + substitute_line(command, c.line.slave_path);
  testing::launch what;
  what.argv = {"sh", "-c", shell_command};
  what.path = "/bin/sh";
  what.in = c.keyboard.slave;
  what.out = open_output(out_path);
  what.err = open_output(error_path.c_str());
  what.new_session = true;
  c.pid = testing::start_process(what);
  if (c.pid < 0) {
    fail("fork");
  }
  close(what.out);
  close(what.err);
  if (!wait_relaying(c)) {
    std::fprintf(stderr, "serterm_bench: `%s` did not relay a keystroke\n",
                 shell_command.c_str());
    std::ignore = testing::wait_child(c.pid, milliseconds{0});
    show_child_errors();
    std::exit(1);
  }
  return c;
}

// CPU seconds, user and system, of all the children waited for so far.
double
children_cpu_seconds()
{
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) /
             1e6;
}

// Ends the command (SIGTERM, SIGKILL if it lingers) and reports its CPU time
// and peak resident size.
finished
finish(child& c)
{
  finished result;
  result.peak_rss_kb = testing::proc_value(c.pid, "status", "VmHWM:");
  // No other child is waited for meanwhile, so what the children's total
  // grows by is this command's own CPU time.
  double before = children_cpu_seconds();
  kill(c.pid, SIGTERM);
  std::ignore = testing::wait_child(c.pid, milliseconds{5000});
  result.cpu_seconds = children_cpu_seconds() - before;
  testing::close_pty(c.line);
  testing::close_pty(c.keyboard);
  return result;
}

// Reproducible random bytes, none equal to `avoid`.
std::vector<unsigned char>
make_data(std::size_t size, std::uint64_t seed, int avoid)
{
  std::vector<unsigned char> data(size);
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
  for (std::size_t i = 0; i < size; ++i) {
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    auto byte = static_cast<unsigned char>((x * 0x2545F4914F6CDD1DULL) >> 56);
    if (byte == avoid) {
      byte ^= 0x40;
    }
    data[i] = byte;
  }
  return data;
}

// The `index`th key typed in figures b and f: letters in turn, never
// `escape_char`.
unsigned char
typed_key(std::size_t index, unsigned char escape_char)
{
  auto key = static_cast<unsigned char>('a' + index % 26);
  return key == escape_char ? static_cast<unsigned char>('z') : key;
}

struct transfer {
  std::size_t received = 0;
  bool intact = true; // every byte received so far equals the data sent
  double seconds = 0; // first write to last byte received
};

// Writes `data` to `to_fd` while reading `from_fd` as fast as possible and
// comparing what arrives; ends when all has arrived, something else arrived,
// or nothing moved for STALL_NS. Whatever `discard_fd` delivers meanwhile
// (an echo on the screen) is read and dropped.
transfer
pump(int to_fd, int from_fd, const std::vector<unsigned char>& data,
     int discard_fd = -1)
{
  transfer t;
  std::vector<unsigned char> in(65536);
  std::size_t sent = 0;
  std::int64_t start = now_ns();
  std::int64_t last_progress = start;
  std::int64_t last_received = start;
  while (t.received < data.size() && t.intact) {
    pollfd p[3] = {{from_fd, POLLIN, 0},
                   {discard_fd, POLLIN, 0},
                   {sent < data.size() ? to_fd : -1, POLLOUT, 0}};
    int ready = poll(p, 3, 100);
    if (ready < 0 && errno != EINTR) {
      fail("poll");
    }
    std::int64_t now = now_ns();
    if ((p[1].revents & POLLIN) != 0) {
      discard(discard_fd);
    }
    if ((p[2].revents & POLLOUT) != 0) {
      std::size_t chunk = std::min<std::size_t>(65536, data.size() - sent);
      ssize_t n = write(to_fd, data.data() + sent, chunk);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        last_progress = now;
      }
    }
    if ((p[0].revents & POLLIN) != 0) {
      ssize_t n = read(from_fd, in.data(), in.size());
      if (n > 0) {
        auto got = static_cast<std::size_t>(n);
        if (t.received + got > data.size() ||
            std::memcmp(in.data(), data.data() + t.received, got) != 0) {
          t.intact = false;
        }
        t.received += got;
        last_progress = last_received = now_ns();
      }
    }
    if (now - last_progress > STALL_NS) {
      break;
    }
  }
  t.seconds = static_cast<double>(last_received - start) / 1e9;
  return t;
}

// Feeds `data` to the line of a running command that shows nothing on the
// screen, and waits until it has read all of it and stopped writing. Returns
// the seconds from the first byte to the last output, or -1 on a stall.
double
feed_line(const child& c, const std::vector<unsigned char>& data)
{
  long long read_before = testing::proc_value(c.pid, "io", "rchar:");
  std::size_t sent = 0;
  std::int64_t start = now_ns();
  std::int64_t last_progress = start;
  while (sent < data.size()) {
    std::ignore = testing::wait_fd(c.line.master, POLLOUT, 100);
    std::size_t chunk = std::min<std::size_t>(65536, data.size() - sent);
    ssize_t n = write(c.line.master, data.data() + sent, chunk);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      last_progress = now_ns();
    } else if (now_ns() - last_progress > STALL_NS) {
      return -1;
    }
  }
  // The command's own read and write counters tell when it is done.
  long long written = -1;
  std::int64_t last_write = now_ns();
  for (;;) {
    long long read_now = testing::proc_value(c.pid, "io", "rchar:");
    long long written_now = testing::proc_value(c.pid, "io", "wchar:");
    std::int64_t now = now_ns();
    if (written_now != written) {
      written = written_now;
      last_write = now;
    } else if (read_now - read_before >= static_cast<long long>(data.size()) &&
               now - last_write > 2'000'000) {
      return static_cast<double>(last_write - start) / 1e9;
    }
    if (now - last_write > STALL_NS) {
      return -1;
    }
    sleep_ns(200'000);
  }
}

} // namespace

void
fail(const char* what)
{
  std::fprintf(stderr, "serterm_bench: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

void
create_scratch_files()
{
  char error_template[] = "/tmp/serterm-bench-err-XXXXXX";
  char output_template[] = "/tmp/serterm-bench-out-XXXXXX";
  int error_fd = mkstemp(error_template);
  int output_fd = mkstemp(output_template);
  if (error_fd < 0 || output_fd < 0) {
    fail("mkstemp");
  }
  close(error_fd);
  close(output_fd);
  error_path = error_template;
  output_path = output_template;
}

void
remove_scratch_files()
{
  unlink(output_path.c_str());
  unlink(error_path.c_str());
}

workload_data
make_workload_data(const settings& s)
{
  return {make_data(s.throughput_bytes, 1, s.escape_char),
          make_data(s.paste_bytes, 2, s.escape_char),
          make_data(s.hexdump_bytes, 3, -1), make_data(MIB, 4, s.escape_char)};
}

// a. Line -> screen.
throughput_run
run_throughput(const std::string& command,
               const std::vector<unsigned char>& data)
{
  child c = start(command, "/dev/null");
  transfer t = pump(c.line.master, c.keyboard.master, data);
  finished f = finish(c);
  double mb = static_cast<double>(data.size()) / MB;
  return {.mb_per_s = static_cast<double>(t.received) / MB / t.seconds,
          .cpu_ms_per_mb = f.cpu_seconds * 1000 / mb,
          .verified = t.intact && t.received == data.size(),
          .peak_rss_kb = f.peak_rss_kb};
}

// b. One byte typed -> seen on the line master, one at a time.
latency_run
run_latency(const std::string& command, int keystrokes,
            unsigned char escape_char)
{
  child c = start(command, "/dev/null");
  std::vector<double> times;
  for (int i = 0; i < keystrokes; ++i) {
    unsigned char key = typed_key(static_cast<std::size_t>(i), escape_char);
    unsigned char got = 0;
    std::int64_t sent = now_ns();
    if (write(c.keyboard.master, &key, 1) != 1 ||
        !testing::wait_fd(c.line.master, POLLIN, 2000) ||
        read(c.line.master, &got, 1) != 1 || got != key) {
      break;
    }
    times.push_back(static_cast<double>(now_ns() - sent) / 1e3);
  }
  finish(c);
  return {.median_us = median(times),
          .p99_us = percentile(times, 0.99),
          .verified = times.size() == static_cast<std::size_t>(keystrokes)};
}

// c. Keyboard -> line, the line master read as fast as possible.
paste_run
run_paste(const std::string& command, const std::vector<unsigned char>& data)
{
  child c = start(command, "/dev/null");
  transfer t = pump(c.keyboard.master, c.line.master, data, c.keyboard.master);
  finish(c);
  return {.mb_per_s = static_cast<double>(t.received) / MB / t.seconds,
          .lost = static_cast<long long>(data.size()) -
                  static_cast<long long>(t.received),
          .intact = t.intact};
}

// d. Hexdump mode, standard output to /dev/null.
hexdump_run
run_hexdump_rate(const std::string& command,
                 const std::vector<unsigned char>& data)
{
  child c = start(command, "/dev/null");
  double seconds = feed_line(c, data);
  finished f = finish(c);
  double mb = static_cast<double>(data.size()) / MB;
  return {.mb_per_s = seconds > 0 ? mb / seconds : 0,
          .cpu_ms_per_mb = f.cpu_seconds * 1000 / mb};
}

// d. The hex text of a smaller run, compared with "xx " per byte.
bool
check_hexdump_text(const std::string& command, std::size_t size)
{
  std::vector<unsigned char> data = make_data(size, 7, -1);
  for (std::size_t i = 0; i < 256 && i < size; ++i) {
    data[i] = static_cast<unsigned char>(i);
  }
  child c = start(command, output_path.c_str());
  double seconds = feed_line(c, data);
  finish(c);
  if (seconds < 0) {
    return false;
  }
  std::string expected;
  for (unsigned char byte : data) {
    char text[4];
    std::snprintf(text, sizeof text, "%02x ", byte);
    expected += text;
  }
  std::string actual;
  return read_file(output_path, expected.size() + 1, actual) &&
         actual == expected;
}

// e. Both commands idle side by side; their voluntary context switches over
// the same seconds.
std::pair<idle_run, idle_run>
run_idle(const std::string& first, const std::string& second, int seconds)
{
  child a = start(first, "/dev/null");
  child b = start(second, "/dev/null");
  sleep_ns(500'000'000);
  long long a0 =
      testing::proc_value(a.pid, "status", "voluntary_ctxt_switches:");
  long long b0 =
      testing::proc_value(b.pid, "status", "voluntary_ctxt_switches:");
  sleep_ns(std::int64_t{seconds} * 1'000'000'000);
  long long a1 =
      testing::proc_value(a.pid, "status", "voluntary_ctxt_switches:");
  long long b1 =
      testing::proc_value(b.pid, "status", "voluntary_ctxt_switches:");
  idle_run ra{static_cast<double>(a1 - a0) / seconds, finish(a).peak_rss_kb};
  idle_run rb{static_cast<double>(b1 - b0) / seconds, finish(b).peak_rss_kb};
  return {ra, rb};
}

// f. Keystrokes while the line floods and the screen is read at a fixed
// rate. The key typed next, the screen's next read and the oldest key's
// limit are all due at fixed times, so the rates do not drift with the
// loop's own delays.
flood_run
run_flood_latency(const std::string& command,
                  const std::vector<unsigned char>& flood, int keystrokes,
                  unsigned char escape_char)
{
  child c = start(command, "/dev/null");
  auto count = static_cast<std::size_t>(keystrokes);
  std::vector<std::int64_t> typed_at;
  std::vector<double> times;
  typed_at.reserve(count);
  times.reserve(count);
  std::array<unsigned char, SCREEN_TICK_BYTES> screen{};
  std::array<unsigned char, 64> keys{};
  std::size_t sent = 0;
  std::size_t shown = 0;
  bool intact = true;
  std::int64_t begin = now_ns();
  std::int64_t next_read = begin + SCREEN_TICK_NS;
  std::int64_t next_key = begin + KEY_INTERVAL_NS;
  while (times.size() < count && intact) {
    std::int64_t now = now_ns();
    if (times.size() < typed_at.size() &&
        now - typed_at[times.size()] > KEY_LIMIT_NS) {
      break;
    }
    if (typed_at.size() < count && now >= next_key) {
      unsigned char key = typed_key(typed_at.size(), escape_char);
      std::int64_t at = now_ns();
      if (write(c.keyboard.master, &key, 1) != 1) {
        break;
      }
      typed_at.push_back(at);
      next_key += KEY_INTERVAL_NS;
    }
    if (now >= next_read) {
      ssize_t n = read(c.keyboard.master, screen.data(), screen.size());
      for (std::size_t i = 0; n > 0 && i < static_cast<std::size_t>(n); ++i) {
        intact = intact && screen[i] == flood[(shown + i) % flood.size()];
      }
      shown += n > 0 ? static_cast<std::size_t>(n) : 0;
      next_read += SCREEN_TICK_NS;
    }
    std::int64_t due = next_read;
    if (typed_at.size() < count) {
      due = std::min(due, next_key);
    }
    if (times.size() < typed_at.size()) {
      due = std::min(due, typed_at[times.size()] + KEY_LIMIT_NS + 1);
    }
    // Rounded up, so that the loop never wakes just before what is due.
    auto wait_ms = static_cast<int>(
        std::max<std::int64_t>(due - now_ns() + 999'999, 0) / 1'000'000);
    // Without a flood, only the keys are waited for.
    pollfd p{c.line.master,
             static_cast<short>(flood.empty() ? POLLIN : POLLIN | POLLOUT), 0};
    if (poll(&p, 1, wait_ms) < 0 && errno != EINTR) {
      fail("poll");
    }
    // The keys first, so that writing the flood does not delay their times.
    if ((p.revents & POLLIN) != 0) {
      std::int64_t at = now_ns();
      ssize_t n = read(c.line.master, keys.data(), keys.size());
      for (std::size_t i = 0; n > 0 && i < static_cast<std::size_t>(n); ++i) {
        std::size_t next = times.size();
        if (next == typed_at.size() ||
            keys[i] != typed_key(next, escape_char)) {
          intact = false;
          break;
        }
        times.push_back(static_cast<double>(at - typed_at[next]) / 1e3);
      }
    }
    if ((p.revents & POLLOUT) != 0) {
      std::size_t offset = sent % flood.size();
      std::size_t chunk = std::min<std::size_t>(65536, flood.size() - offset);
      ssize_t n = write(c.line.master, flood.data() + offset, chunk);
      sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
  }
  finish(c);
  auto lost = static_cast<int>(count - times.size());
  // A lost key counts as the whole limit, so that losses show in the median
  // and the worst too rather than leaving them to the keys that came.
  times.resize(count, static_cast<double>(KEY_LIMIT_NS) / 1e3);
  return {.median_us = median(times),
          .worst_us = percentile(times, 1.0),
          .lost = lost,
          .verified = intact && lost == 0 && (flood.empty() || shown > 0)};
}

} // namespace bench
