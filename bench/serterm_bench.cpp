// Relay benchmark: a terminal command and a minimal relay, each run between a
// pseudo-terminal "line" and a pseudo-terminal keyboard/screen, measured in
// alternating pairs so that a noisy machine hits both alike.
#include "support/pty_kit.hpp"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <termios.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

namespace testing = serterm::testing;
using testing::milliseconds;

constexpr std::size_t MIB = 1024 * 1024;
constexpr double MB = 1e6;
// How long a transfer may make no progress at all before it counts as
// stalled, and how long a started command has to show it relays.
constexpr std::int64_t STALL_NS = 5'000'000'000;
constexpr milliseconds START_LIMIT{10000};

struct settings {
  std::string command;
  std::string hexdump_command;
  std::string relay_command;
  std::string json_path;
  unsigned char escape_char = 0x1D;
  int pairs = 7;
  std::size_t throughput_bytes = 64 * MIB;
  std::size_t paste_bytes = 1 * MIB;
  std::size_t hexdump_bytes = 16 * MIB;
  std::size_t hexcheck_bytes = 64 * 1024;
  int keystrokes = 2000;
  int idle_seconds = 5;
};

struct child {
  pid_t pid = -1;
  testing::pty_pair line;
  testing::pty_pair keyboard;
};

struct finished {
  double cpu_seconds = 0;
  long peak_rss_kb = 0;
};

std::string error_path;

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
  timespec t{static_cast<time_t>(ns / 1'000'000'000),
             static_cast<long>(ns % 1'000'000'000)};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

[[noreturn]] void
fail(const char* what)
{
  std::fprintf(stderr, "serterm_bench: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
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
  std::string out;
  std::size_t at = 0;
  for (;;) {
    std::size_t hit = command.find("{line}", at);
    if (hit == std::string::npos) {
      return out + command.substr(at);
    }
    out += command.substr(at, hit - at) + path;
    at = hit + 6;
  }
}

// Reads and drops what `fd` has now.
void
discard(int fd)
{
  std::string dropped;
  std::ignore = testing::drain(fd, dropped);
}

// Types one byte on the keyboard until it shows on the line: the command
// has opened both terminals and relays. Returns false if it never does.
bool
wait_relaying(const child& c)
{
  auto end = testing::steady::now() + START_LIMIT;
  while (testing::remaining_ms(end) > 0) {
    unsigned char probe = 'K';
    if (write(c.keyboard.master, &probe, 1) != 1) {
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

void
show_child_errors()
{
  FILE* f = std::fopen(error_path.c_str(), "r");
  if (f == nullptr) {
    return;
  }
  char text[4096];
  std::size_t n = std::fread(text, 1, sizeof text - 1, f);
  text[n] = '\0';
  std::fclose(f);
  std::fprintf(stderr, "serterm_bench: the command's standard error:\n%s\n",
               text);
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

// A field of /proc/PID/status or /proc/PID/io, as a number; -1 if absent.
long long
proc_field(pid_t pid, const char* file, const char* field)
{
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), file);
  FILE* f = std::fopen(path, "r");
  if (f == nullptr) {
    return -1;
  }
  char text[256];
  long long value = -1;
  std::size_t length = std::strlen(field);
  while (std::fgets(text, sizeof text, f) != nullptr) {
    if (std::strncmp(text, field, length) == 0 && text[length] == ':') {
      value = std::atoll(text + length + 1);
      break;
    }
  }
  std::fclose(f);
  return value;
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
  result.peak_rss_kb = static_cast<long>(proc_field(c.pid, "status", "VmHWM"));
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

struct throughput_run {
  double mb_per_s = 0;
  double cpu_ms_per_mb = 0;
  bool verified = false;
  long peak_rss_kb = 0;
};

// a. Line -> screen.
throughput_run
run_throughput(const std::string& command,
               const std::vector<unsigned char>& data)
{
  child c = start(command, "/dev/null");
  transfer t = pump(c.line.master, c.keyboard.master, data);
  finished f = finish(c);
  double mb = static_cast<double>(data.size()) / MB;
  throughput_run r;
  r.verified = t.intact && t.received == data.size();
  r.mb_per_s = static_cast<double>(t.received) / MB / t.seconds;
  r.cpu_ms_per_mb = f.cpu_seconds * 1000 / mb;
  r.peak_rss_kb = f.peak_rss_kb;
  return r;
}

struct latency_run {
  double median_us = 0;
  double p99_us = 0;
  bool verified = false;
};

// Two runs of one side averaged; verified only if both were.
throughput_run
mean_of(const throughput_run& x, const throughput_run& y)
{
  return {(x.mb_per_s + y.mb_per_s) / 2,
          (x.cpu_ms_per_mb + y.cpu_ms_per_mb) / 2, x.verified && y.verified,
          std::max(x.peak_rss_kb, y.peak_rss_kb)};
}

latency_run
mean_of(const latency_run& x, const latency_run& y)
{
  return {(x.median_us + y.median_us) / 2, (x.p99_us + y.p99_us) / 2,
          x.verified && y.verified};
}

double
percentile(std::vector<double> values, double fraction)
{
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  auto at = static_cast<std::size_t>(fraction *
                                     static_cast<double>(values.size() - 1));
  return values[at];
}

double
median(const std::vector<double>& values)
{
  return percentile(values, 0.5);
}

// b. One byte typed -> seen on the line master, one at a time.
latency_run
run_latency(const std::string& command, int keystrokes,
            unsigned char escape_char)
{
  child c = start(command, "/dev/null");
  std::vector<double> times;
  bool verified = true;
  for (int i = 0; i < keystrokes && verified; ++i) {
    auto key = static_cast<unsigned char>('a' + i % 26);
    if (key == escape_char) {
      key = 'z';
    }
    std::int64_t sent = now_ns();
    if (write(c.keyboard.master, &key, 1) != 1) {
      verified = false;
      break;
    }
    unsigned char got = 0;
    if (!testing::wait_fd(c.line.master, POLLIN, 2000) ||
        read(c.line.master, &got, 1) != 1 || got != key) {
      verified = false;
      break;
    }
    times.push_back(static_cast<double>(now_ns() - sent) / 1e3);
  }
  finish(c);
  latency_run r;
  r.verified = verified && times.size() == static_cast<std::size_t>(keystrokes);
  r.median_us = median(times);
  r.p99_us = percentile(times, 0.99);
  return r;
}

struct paste_run {
  double mb_per_s = 0;
  long long lost = 0;
  bool intact = false;
};

// c. Keyboard -> line, the line master read as fast as possible.
paste_run
run_paste(const std::string& command, const std::vector<unsigned char>& data)
{
  child c = start(command, "/dev/null");
  transfer t = pump(c.keyboard.master, c.line.master, data, c.keyboard.master);
  finish(c);
  paste_run r;
  r.mb_per_s = static_cast<double>(t.received) / MB / t.seconds;
  r.lost =
      static_cast<long long>(data.size()) - static_cast<long long>(t.received);
  r.intact = t.intact;
  return r;
}

// Feeds `data` to the line of a running command that shows nothing on the
// screen, and waits until it has read all of it and stopped writing. Returns
// the seconds from the first byte to the last output, or -1 on a stall.
double
feed_line(const child& c, const std::vector<unsigned char>& data)
{
  long long read_before = proc_field(c.pid, "io", "rchar");
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
    long long read_now = proc_field(c.pid, "io", "rchar");
    long long written_now = proc_field(c.pid, "io", "wchar");
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

struct hexdump_run {
  double mb_per_s = 0;
  double cpu_ms_per_mb = 0;
};

// d. Hexdump mode, standard output to /dev/null.
hexdump_run
run_hexdump_rate(const std::string& command,
                 const std::vector<unsigned char>& data)
{
  child c = start(command, "/dev/null");
  double seconds = feed_line(c, data);
  finished f = finish(c);
  double mb = static_cast<double>(data.size()) / MB;
  hexdump_run r;
  r.mb_per_s = seconds > 0 ? mb / seconds : 0;
  r.cpu_ms_per_mb = f.cpu_seconds * 1000 / mb;
  return r;
}

// d. The hex text of a smaller run, compared with "xx " per byte.
bool
check_hexdump_text(const std::string& command, const std::string& out_path,
                   std::size_t size)
{
  std::vector<unsigned char> data = make_data(size, 7, -1);
  for (std::size_t i = 0; i < 256 && i < size; ++i) {
    data[i] = static_cast<unsigned char>(i);
  }
  child c = start(command, out_path.c_str());
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
  FILE* f = std::fopen(out_path.c_str(), "r");
  if (f == nullptr) {
    return false;
  }
  std::string actual(expected.size() + 1, '\0');
  std::size_t n = std::fread(actual.data(), 1, actual.size(), f);
  std::fclose(f);
  actual.resize(n);
  return actual == expected;
}

struct idle_run {
  double wakeups_per_s = 0;
  long peak_rss_kb = 0;
};

// e. Both commands idle side by side; their voluntary context switches over
// the same seconds.
std::pair<idle_run, idle_run>
run_idle(const std::string& first, const std::string& second, int seconds)
{
  child a = start(first, "/dev/null");
  child b = start(second, "/dev/null");
  sleep_ns(500'000'000);
  long long a0 = proc_field(a.pid, "status", "voluntary_ctxt_switches");
  long long b0 = proc_field(b.pid, "status", "voluntary_ctxt_switches");
  sleep_ns(std::int64_t{seconds} * 1'000'000'000);
  long long a1 = proc_field(a.pid, "status", "voluntary_ctxt_switches");
  long long b1 = proc_field(b.pid, "status", "voluntary_ctxt_switches");
  idle_run ra{static_cast<double>(a1 - a0) / seconds, finish(a).peak_rss_kb};
  idle_run rb{static_cast<double>(b1 - b0) / seconds, finish(b).peak_rss_kb};
  return {ra, rb};
}

// One figure of the table: each side's median over the pairs, and the
// median of the pair-by-pair ratios.
struct figure {
  const char* key;
  const char* label;
  std::vector<double> command;
  std::vector<double> relay;
  std::vector<double> ratios;
  const char* target;
  bool higher_is_better;
  double limit; // the target's bound on the ratio (or on the value)
  bool on_ratio;
};

std::string
format_value(const std::vector<double>& values, int decimals)
{
  if (values.empty()) {
    return "-";
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, median(values));
  return text;
}

bool
meets(const figure& f)
{
  const std::vector<double>& seen = f.on_ratio ? f.ratios : f.command;
  if (seen.empty()) {
    return false;
  }
  double value = median(seen);
  return f.higher_is_better ? value >= f.limit : value <= f.limit;
}

std::string
machine_text()
{
  utsname u{};
  uname(&u);
  std::string cpu = "unknown CPU";
  FILE* f = std::fopen("/proc/cpuinfo", "r");
  if (f != nullptr) {
    char text[256];
    while (std::fgets(text, sizeof text, f) != nullptr) {
      if (std::strncmp(text, "model name", 10) == 0) {
        const char* colon = std::strchr(text, ':');
        cpu = colon != nullptr ? colon + 2 : text;
        cpu.erase(cpu.find_last_not_of("\n ") + 1);
        break;
      }
    }
    std::fclose(f);
  }
  char text[512];
  std::snprintf(text, sizeof text, "%s, %ld cores, Linux %s %s", cpu.c_str(),
                sysconf(_SC_NPROCESSORS_ONLN), u.release, u.machine);
  return text;
}

std::string
date_text()
{
  std::time_t t = std::time(nullptr);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", std::gmtime(&t));
  return text;
}

std::string
json_string(const std::string& s)
{
  std::string out = "\"";
  for (char ch : s) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
    }
    out += ch;
  }
  return out + "\"";
}

std::string
json_values(const std::vector<double>& values)
{
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%.4g", i > 0 ? ", " : "", values[i]);
    out += text;
  }
  return out + "]";
}

// `command` for showing: its program's path resolved and made relative to
// the current directory when it lies below it.
std::string
display_command(const std::string& command)
{
  std::size_t space = command.find(' ');
  std::string program = command.substr(0, space);
  std::string rest = space == std::string::npos ? "" : command.substr(space);
  char resolved[PATH_MAX];
  char here[PATH_MAX];
  if (program.find('/') == std::string::npos ||
      realpath(program.c_str(), resolved) == nullptr ||
      getcwd(here, sizeof here) == nullptr) {
    return command;
  }
  program = resolved;
  std::string prefix = std::string(here) + "/";
  if (program.compare(0, prefix.size(), prefix) == 0) {
    program = program.substr(prefix.size());
  }
  return program + rest;
}

std::string
command_name(const std::string& command)
{
  std::string first = command.substr(0, command.find(' '));
  std::size_t slash = first.rfind('/');
  return slash == std::string::npos ? first : first.substr(slash + 1);
}

void
usage()
{
  std::fputs(
      "usage: serterm_bench [options] [COMMAND]\n"
      "  COMMAND             the terminal command to measure; {line} is\n"
      "                      replaced by the line's device path (default:\n"
      "                      the serterm built beside this program)\n"
      "  --hexdump CMD       the command in hexdump mode, for figure d\n"
      "                      (default for serterm: COMMAND with -d)\n"
      "  --relay CMD         the reference relay (default: minimal_relay)\n"
      "  --pairs N           paired runs per figure (default 7)\n"
      "  --escape N          the command's escape byte, kept out of typed\n"
      "                      data (default 29, control-])\n"
      "  --quick             small sizes and one pair, for a smoke check\n"
      "  --json FILE         also write the figures as JSON\n",
      stderr);
  std::exit(2);
}

std::string
program_directory()
{
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) {
    return ".";
  }
  std::string text(path, static_cast<std::size_t>(n));
  return text.substr(0, text.rfind('/'));
}

settings
parse_arguments(int argc, char** argv)
{
  settings s;
  std::string here = program_directory();
  bool hexdump_given = false;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    bool has_value = i + 1 < argc;
    if (word == "--hexdump" && has_value) {
      s.hexdump_command = argv[++i];
      hexdump_given = true;
    } else if (word == "--relay" && has_value) {
      s.relay_command = argv[++i];
    } else if (word == "--pairs" && has_value) {
      s.pairs = std::max(1, std::atoi(argv[++i]));
    } else if (word == "--escape" && has_value) {
      s.escape_char = static_cast<unsigned char>(std::atoi(argv[++i]));
    } else if (word == "--json" && has_value) {
      s.json_path = argv[++i];
    } else if (word == "--quick") {
      s.pairs = 1;
      s.throughput_bytes = 8 * MIB;
      s.paste_bytes = 256 * 1024;
      s.hexdump_bytes = 4 * MIB;
      s.keystrokes = 200;
      s.idle_seconds = 1;
    } else if (!word.empty() && word[0] != '-' && s.command.empty()) {
      s.command = word;
    } else {
      usage();
    }
  }
  if (s.command.empty()) {
    s.command = here + "/../serterm {line}";
    if (!hexdump_given) {
      s.hexdump_command = here + "/../serterm -d {line}";
    }
  }
  if (s.relay_command.empty()) {
    s.relay_command = here + "/minimal_relay {line}";
  }
  return s;
}

} // namespace

int
run(int argc, char** argv)
{
  settings s = parse_arguments(argc, argv);
  signal(SIGPIPE, SIG_IGN);
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
  std::string output_path = output_template;

  const std::string& a_cmd = s.command;
  const std::string& b_cmd = s.relay_command;
  std::string a_name = command_name(a_cmd);
  std::string b_name = command_name(b_cmd);
  std::vector<unsigned char> line_data =
      make_data(s.throughput_bytes, 1, s.escape_char);
  std::vector<unsigned char> paste_data =
      make_data(s.paste_bytes, 2, s.escape_char);
  std::vector<unsigned char> hex_data = make_data(s.hexdump_bytes, 3, -1);

  figure rate{"line_to_screen_mb_s",
              "a line->screen MB/s",
              {},
              {},
              {},
              ">= 0.95x",
              true,
              0.95,
              true};
  figure cpu{"line_to_screen_cpu_ms_per_mb",
             "a CPU ms per MB",
             {},
             {},
             {},
             "<= 1.10x",
             false,
             1.10,
             true};
  figure key{"keystroke_median_us",
             "b keystroke median us",
             {},
             {},
             {},
             "<= 1.05x",
             false,
             1.05,
             true};
  figure key99{"keystroke_p99_us",
               "b keystroke p99 us",
               {},
               {},
               {},
               "-",
               false,
               1e9,
               true};
  figure paste{"paste_mb_s", "c paste MB/s", {},  {},  {},
               ">= 0.50x",   true,           0.5, true};
  figure lost{"paste_bytes_lost",
              "c paste bytes lost",
              {},
              {},
              {},
              "0",
              false,
              0,
              false};
  figure hex{"hexdump_mb_s",
             "d hexdump MB/s (ratio: own plain a)",
             {},
             {},
             {},
             ">= 0.80x",
             true,
             0.8,
             true};
  figure hex_cpu{"hexdump_cpu_ms_per_mb",
                 "d hexdump CPU ms/MB (ratio: own a)",
                 {},
                 {},
                 {},
                 "-",
                 false,
                 0,
                 true};
  figure wake{"idle_wakeups_per_s",
              "e idle wake-ups/s",
              {},
              {},
              {},
              "0",
              false,
              0,
              false};
  figure rss{"peak_rss_mb", "e peak RSS MB", {},  {},   {},
             "<= 1.5",      false,           1.5, false};
  bool all_verified = true;
  long peak_a = 0;
  long peak_b = 0;

  for (int pair = 0; pair < s.pairs; ++pair) {
    // Alternate which side goes first, so drift in the machine's load does
    // not favour one side.
    bool a_first = pair % 2 == 0;
    std::fprintf(stderr, "pair %d/%d\n", pair + 1, s.pairs);

    // The short figures run A B B A (or B A A B) and average each side,
    // which also cancels a load that grows or fades during the pair.
    throughput_run ta;
    throughput_run tb;
    throughput_run t[4];
    for (int i = 0; i < 4; ++i) {
      bool a_turn = (i == 0 || i == 3) == a_first;
      t[i] = run_throughput(a_turn ? a_cmd : b_cmd, line_data);
    }
    const throughput_run& a1 = a_first ? t[0] : t[1];
    const throughput_run& a2 = a_first ? t[3] : t[2];
    const throughput_run& b1 = a_first ? t[1] : t[0];
    const throughput_run& b2 = a_first ? t[2] : t[3];
    ta = mean_of(a1, a2);
    tb = mean_of(b1, b2);
    all_verified = all_verified && ta.verified && tb.verified;
    rate.command.push_back(ta.mb_per_s);
    rate.relay.push_back(tb.mb_per_s);
    rate.ratios.push_back(ta.mb_per_s / tb.mb_per_s);
    cpu.command.push_back(ta.cpu_ms_per_mb);
    cpu.relay.push_back(tb.cpu_ms_per_mb);
    cpu.ratios.push_back(ta.cpu_ms_per_mb / tb.cpu_ms_per_mb);
    peak_a = std::max(peak_a, ta.peak_rss_kb);
    peak_b = std::max(peak_b, tb.peak_rss_kb);

    latency_run l[4];
    for (int i = 0; i < 4; ++i) {
      bool a_turn = (i == 0 || i == 3) == a_first;
      l[i] = run_latency(a_turn ? a_cmd : b_cmd, s.keystrokes, s.escape_char);
    }
    latency_run la = a_first ? mean_of(l[0], l[3]) : mean_of(l[1], l[2]);
    latency_run lb = a_first ? mean_of(l[1], l[2]) : mean_of(l[0], l[3]);
    all_verified = all_verified && la.verified && lb.verified;
    key.command.push_back(la.median_us);
    key.relay.push_back(lb.median_us);
    key.ratios.push_back(la.median_us / lb.median_us);
    key99.command.push_back(la.p99_us);
    key99.relay.push_back(lb.p99_us);
    key99.ratios.push_back(la.p99_us / lb.p99_us);

    paste_run pa;
    paste_run pb;
    if (a_first) {
      pa = run_paste(a_cmd, paste_data);
      pb = run_paste(b_cmd, paste_data);
    } else {
      pb = run_paste(b_cmd, paste_data);
      pa = run_paste(a_cmd, paste_data);
    }
    all_verified = all_verified && pa.intact && pb.intact;
    paste.command.push_back(pa.mb_per_s);
    paste.relay.push_back(pb.mb_per_s);
    paste.ratios.push_back(pa.mb_per_s / pb.mb_per_s);
    lost.command.push_back(static_cast<double>(pa.lost));
    lost.relay.push_back(static_cast<double>(pb.lost));

    if (!s.hexdump_command.empty()) {
      hexdump_run h = run_hexdump_rate(s.hexdump_command, hex_data);
      hex.command.push_back(h.mb_per_s);
      hex.ratios.push_back(h.mb_per_s / ta.mb_per_s);
      hex_cpu.command.push_back(h.cpu_ms_per_mb);
      hex_cpu.ratios.push_back(h.cpu_ms_per_mb / ta.cpu_ms_per_mb);
    }

    std::pair<idle_run, idle_run> idle =
        a_first ? run_idle(a_cmd, b_cmd, s.idle_seconds) : [&] {
          auto swapped = run_idle(b_cmd, a_cmd, s.idle_seconds);
          return std::pair{swapped.second, swapped.first};
        }();
    wake.command.push_back(idle.first.wakeups_per_s);
    wake.relay.push_back(idle.second.wakeups_per_s);
    peak_a = std::max(peak_a, idle.first.peak_rss_kb);
    peak_b = std::max(peak_b, idle.second.peak_rss_kb);
  }
  rss.command.push_back(static_cast<double>(peak_a) / 1024);
  rss.relay.push_back(static_cast<double>(peak_b) / 1024);

  bool hex_text_ok = false;
  if (!s.hexdump_command.empty()) {
    hex_text_ok =
        check_hexdump_text(s.hexdump_command, output_path, s.hexcheck_bytes);
  }
  unlink(output_path.c_str());
  unlink(error_path.c_str());

  const figure* figures[] = {&rate, &cpu, &key,     &key99, &paste,
                             &lost, &hex, &hex_cpu, &wake,  &rss};
  std::string machine = machine_text();
  std::string date = date_text();
  std::printf("serterm relay benchmark, %s\n", date.c_str());
  std::printf("machine: %s\n", machine.c_str());
  std::printf("A: %s\nB: %s\n", display_command(a_cmd).c_str(),
              display_command(b_cmd).c_str());
  if (!s.hexdump_command.empty()) {
    std::printf("A in hexdump mode: %s\n",
                display_command(s.hexdump_command).c_str());
  }
  std::printf("pairs: %d; a %zu MiB, c %zu KiB, d %zu MiB, b %d keys, e %d s;"
              " MB = 10^6 bytes\n\n",
              s.pairs, s.throughput_bytes / MIB, s.paste_bytes / 1024,
              s.hexdump_bytes / MIB, s.keystrokes, s.idle_seconds);
  std::printf("%-38s %12s %12s %8s %9s %4s\n", "figure", a_name.c_str(),
              b_name.c_str(), "ratio", "target", "met");
  for (const figure* f : figures) {
    int decimals = f == &lost ? 0 : f == &wake || f == &rss ? 2 : 1;
    std::string ratio = f->ratios.empty() ? "-" : format_value(f->ratios, 3);
    if (f->ratios.empty() == false) {
      ratio += "x";
    }
    bool measured = !(f->on_ratio ? f->ratios : f->command).empty();
    const char* met = f->target[0] == '-' || !measured ? ""
                      : meets(*f)                      ? "yes"
                                                       : "NO";
    std::printf("%-38s %12s %12s %8s %9s %4s\n", f->label,
                format_value(f->command, decimals).c_str(),
                format_value(f->relay, decimals).c_str(), ratio.c_str(),
                f->target, met);
  }
  std::printf("\ndata verified (a count+bytes, b each key, c bytes): %s\n",
              all_verified ? "yes" : "NO");
  if (!s.hexdump_command.empty()) {
    std::printf("d hex text checked on %zu KiB: %s\n", s.hexcheck_bytes / 1024,
                hex_text_ok ? "exact" : "WRONG");
  }

  if (!s.json_path.empty()) {
    FILE* j = std::fopen(s.json_path.c_str(), "w");
    if (j == nullptr) {
      fail("json file");
    }
    std::fprintf(j,
                 "{\n  \"date\": %s,\n  \"machine\": %s,\n  \"command\": %s,\n"
                 "  \"relay\": %s,\n  \"pairs\": %d,\n  \"verified\": %s,\n"
                 "  \"hex_text_exact\": %s,\n  \"figures\": {\n",
                 json_string(date).c_str(), json_string(machine).c_str(),
                 json_string(display_command(a_cmd)).c_str(),
                 json_string(display_command(b_cmd)).c_str(), s.pairs,
                 all_verified ? "true" : "false",
                 hex_text_ok ? "true" : "false");
    for (std::size_t i = 0; i < std::size(figures); ++i) {
      const figure* f = figures[i];
      std::fprintf(j,
                   "    \"%s\": {\"command\": %s, \"relay\": %s, \"ratios\": "
                   "%s, \"target\": %s}%s\n",
                   f->key, json_values(f->command).c_str(),
                   json_values(f->relay).c_str(),
                   json_values(f->ratios).c_str(),
                   json_string(f->target).c_str(),
                   i + 1 < std::size(figures) ? "," : "");
    }
    std::fputs("  }\n}\n", j);
    std::fclose(j);
  }
  return all_verified && (s.hexdump_command.empty() || hex_text_ok) ? 0 : 1;
}

} // namespace bench

int
main(int argc, char** argv)
{
  return bench::run(argc, argv);
}
