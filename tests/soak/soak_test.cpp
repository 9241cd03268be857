// Load and soak tests: hundreds of megabytes through the relay in each
// mode, checked end to end, with the peak memory of the process measured
// early and at the end. Bounded in size and time; they stop by themselves.
#include "support/session.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace serterm::testing {
namespace {

constexpr std::size_t MB = 1024 * 1024;
constexpr std::size_t CHUNK = 64 * 1024;
// Upper bound for one whole soak run on a loaded machine.
constexpr auto SOAK_LIMIT = std::chrono::seconds(240);

// A reproducible byte stream: xorshift64, with the escape character
// replaced (when `no_escape`) and CR and LF made frequent (when `crlf_rich`).
struct byte_stream {
  std::uint64_t state;
  bool no_escape = false;
  bool crlf_rich = false;
};

unsigned char
next_byte(byte_stream& s)
{
  s.state ^= s.state << 13;
  s.state ^= s.state >> 7;
  s.state ^= s.state << 17;
  auto byte = static_cast<unsigned char>(s.state >> 24);
  if (s.crlf_rich) {
    unsigned pick = static_cast<unsigned>(s.state >> 40) % 8;
    if (pick == 0) {
      byte = '\r';
    } else if (pick == 1) {
      byte = '\n';
    }
  }
  if (s.no_escape && byte == 0x1d) {
    byte = 0x1c;
  }
  return byte;
}

void
fill(byte_stream& s, std::string& chunk, std::size_t size)
{
  chunk.resize(size);
  for (char& c : chunk) {
    c = static_cast<char>(next_byte(s));
  }
}

// FNV-1a over a stream, fed piece by piece.
struct checksum {
  std::uint64_t hash = 1469598103934665603ULL;
  std::size_t size = 0;
};

void
add(checksum& sum, const char* data, std::size_t size)
{
  for (std::size_t i = 0; i < size; ++i) {
    sum.hash ^= static_cast<unsigned char>(data[i]);
    sum.hash *= 1099511628211ULL;
  }
  sum.size += size;
}

// Writes `total` bytes of `stream` to `fd`, waiting while it is full.
// Returns false if `deadline` passes first.
bool
write_stream(int fd, byte_stream stream, std::size_t total,
             steady::time_point deadline)
{
  std::string chunk;
  for (std::size_t done = 0; done < total; done += chunk.size()) {
    fill(stream, chunk, std::min(CHUNK, total - done));
    if (!write_all_bounded(fd, chunk, milliseconds(remaining_ms(deadline)))) {
      return false;
    }
  }
  return true;
}

// The checksum of `total` bytes of `stream`, as shown with CR -> CR LF
// mapping when `mapped` (the stream mapped as one, however the relay cuts
// it).
checksum
expected_sum(byte_stream stream, std::size_t total, bool mapped)
{
  checksum sum;
  std::string chunk;
  bool cr_open = false;
  for (std::size_t done = 0; done < total; done += chunk.size()) {
    fill(stream, chunk, std::min(CHUNK, total - done));
    std::string shown = mapped ? crlf_shown(chunk, &cr_open) : chunk;
    add(sum, shown.data(), shown.size());
  }
  add(sum, "\n", cr_open ? 1 : 0);
  return sum;
}

// Reads from `fd` until `total` bytes have come or `deadline` passes,
// handing each piece to `take`. Returns the number of bytes read.
template <typename Take>
std::size_t
read_stream(int fd, std::size_t total, steady::time_point deadline, Take take)
{
  std::string buffer(CHUNK, '\0');
  std::size_t done = 0;
  while (done < total && steady::now() < deadline) {
    ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n > 0) {
      take(buffer.data(), static_cast<std::size_t>(n));
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;
    }
    wait_fd(fd, POLLIN, 50);
  }
  return done;
}

// Peak resident memory of `pid` in kB (VmHWM), or -1.
long
peak_rss_kb(pid_t pid)
{
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  while (status >> word) {
    if (word == "VmHWM:") {
      long kb = -1;
      status >> kb;
      return kb;
    }
  }
  return -1;
}

// Size in MB from the environment (a longer soak by hand), else
// `fallback`.
std::size_t
size_mb(const char* name, std::size_t fallback)
{
  const char* text = std::getenv(name);
  return text != nullptr && std::atol(text) > 0
             ? static_cast<std::size_t>(std::atol(text))
             : fallback;
}

void
report(const char* what, std::size_t bytes, steady::duration took,
       long rss_early, long rss_end)
{
  double seconds = std::chrono::duration<double>(took).count();
  std::printf("[soak] %s: %zu bytes in %.2f s, %.1f MB/s; peak RSS %ld kB "
              "early, %ld kB at the end\n",
              what, bytes, seconds,
              static_cast<double>(bytes) / static_cast<double>(MB) / seconds,
              rss_early, rss_end);
  std::fflush(stdout);
}

// Reads `total` bytes of `fd` into `sum` on a thread of its own.
std::thread
hashing_reader(int fd, std::size_t total, steady::time_point deadline,
               checksum& sum)
{
  return std::thread([fd, total, deadline, &sum] {
    read_stream(fd, total, deadline,
                [&sum](const char* data, std::size_t n) { add(sum, data, n); });
  });
}

// Reads the screen (or standard output) until `total` bytes came, into
// `sum`, sampling the peak memory of `s` once `early` bytes are through.
long
read_sampling(session& s, int fd, std::size_t total, std::size_t early,
              steady::time_point deadline, checksum& sum)
{
  long rss_early = -1;
  read_stream(fd, total, deadline, [&](const char* data, std::size_t n) {
    add(sum, data, n);
    if (rss_early < 0 && sum.size >= early) {
      rss_early = peak_rss_kb(s.pid);
    }
  });
  return rss_early;
}

// Checks the peak memory: it must not grow with the amount relayed (a
// little slack for pages touched late, nothing in proportion to the data).
void
check_memory(const char* what, std::size_t bytes, steady::time_point start,
             long rss_early, const session& s)
{
  long rss_end = peak_rss_kb(s.pid);
  ASSERT_GT(rss_early, 0);
  EXPECT_LE(rss_end, rss_early + 256);
  report(what, bytes, steady::now() - start, rss_early, rss_end);
}

void
expect_same(const checksum& got, const checksum& expected, const char* what)
{
  EXPECT_EQ(got.size, expected.size) << what;
  EXPECT_EQ(got.hash, expected.hash) << what;
}

// The line sends `screen_total` bytes to the screen while, if
// `paste_total` is not 0, the keyboard pastes that many to the line. The
// test's threads take the line and the screen over from the session.
void
both_ways(std::size_t screen_total, std::size_t paste_total, const char* what)
{
  session s = start_session({"-115200"});
  auto deadline = steady::now() + SOAK_LIMIT;
  auto start = steady::now();
  byte_stream received{0x9e3779b97f4a7c15ULL};
  byte_stream pasted{0xd1b54a32d192ed03ULL, true};
  s.fds[0] = s.fds[1] = -1;
  std::atomic<bool> line_written{false};
  std::atomic<bool> paste_written{false};
  std::thread device([&] {
    line_written =
        write_stream(s.line.master, received, screen_total, deadline);
  });
  std::thread typist([&] {
    paste_written =
        write_stream(s.keyboard.master, pasted, paste_total, deadline);
  });
  checksum got_line;
  std::thread line_reader =
      hashing_reader(s.line.master, paste_total, deadline, got_line);
  checksum got_screen;
  long rss_early = read_sampling(s, s.keyboard.master, screen_total, 16 * MB,
                                 deadline, got_screen);
  device.join();
  typist.join();
  line_reader.join();
  EXPECT_TRUE(line_written);
  EXPECT_TRUE(paste_written);
  expect_same(got_screen, expected_sum(received, screen_total, false),
              "screen");
  expect_same(got_line, expected_sum(pasted, paste_total, false), "line");
  check_memory(what, got_screen.size + got_line.size, start, rss_early, s);
  s.fds = {s.line.master, s.keyboard.master, s.fds[2], s.fds[3]};
  quit(s, {});
}

TEST(Soak, LineToScreenPlain)
{
  both_ways(size_mb("SERTERM_SOAK_MB", 256) * MB, 0, "line to screen");
}

TEST(Soak, LineToScreenWhilePasting)
{
  both_ways(size_mb("SERTERM_SOAK_MB", 256) * MB,
            size_mb("SERTERM_PASTE_MB", 16) * MB, "both ways at once");
}

// True when `text` is nothing but CR LF pairs.
bool
only_line_breaks(std::string_view text)
{
  for (std::size_t at = 0; at < text.size(); at += 2) {
    if (text.substr(at, 2) != "\r\n") {
      return false;
    }
  }
  return true;
}

TEST(Soak, HexdumpParsedBack)
{
  std::size_t total = size_mb("SERTERM_HEX_MB", 16) * MB;
  // A one-second idle time keeps line breaks on stderr rare while the
  // text streams.
  session s = start_session({"-d1", "-t", "1000000"});
  auto deadline = steady::now() + SOAK_LIMIT;
  auto start = steady::now();
  byte_stream received{0x2545f4914f6cdd1dULL};
  int out = std::exchange(s.fds[2], -1);
  std::atomic<bool> written{false};
  std::thread device([&] {
    written = write_stream(s.line.master, received, total, deadline);
  });

  byte_stream model = received;
  std::size_t compared = 0;
  std::size_t mismatches = 0;
  std::string partial;
  long rss_early = -1;
  auto hex = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  read_stream(out, 3 * total, deadline, [&](const char* data, std::size_t n) {
    partial.append(data, n);
    std::size_t at = 0;
    for (; at + 3 <= partial.size(); at += 3) {
      int value = hex(partial[at]) * 16 + hex(partial[at + 1]);
      if (partial[at + 2] != ' ' || value != next_byte(model)) {
        ++mismatches;
      }
      ++compared;
    }
    partial.erase(0, at);
    if (rss_early < 0 && compared >= 4 * MB) {
      rss_early = peak_rss_kb(s.pid);
    }
  });
  device.join();
  EXPECT_TRUE(written);
  EXPECT_EQ(compared, total);
  EXPECT_EQ(mismatches, 0U);
  EXPECT_EQ(partial, "");
  check_memory("hexdump", compared, start, rss_early, s);
  s.fds[2] = out;
  // Each pause in the stream may have ended a hex line on stderr.
  quit(s, {.err = only_line_breaks});
}

TEST(Soak, HalfDuplexEchoWithCrMapping)
{
  std::size_t total = size_mb("SERTERM_ECHO_MB", 32) * MB;
  session s = start_session({"-h1", "-r1"});
  auto deadline = steady::now() + SOAK_LIMIT;
  auto start = steady::now();
  byte_stream typed{0x94d049bb133111ebULL, true, true};
  // The line gets the bytes as typed; the screen gets them mapped.
  checksum expect_screen = expected_sum(typed, total, true);
  s.fds[0] = s.fds[1] = -1;
  std::atomic<bool> written{false};
  std::thread typist([&] {
    written = write_stream(s.keyboard.master, typed, total, deadline);
  });
  checksum got_line;
  std::thread line_reader =
      hashing_reader(s.line.master, total, deadline, got_line);
  checksum got_screen;
  long rss_early = read_sampling(s, s.keyboard.master, expect_screen.size,
                                 4 * MB, deadline, got_screen);
  typist.join();
  line_reader.join();
  EXPECT_TRUE(written);
  expect_same(got_line, expected_sum(typed, total, false), "line");
  expect_same(got_screen, expect_screen, "screen");
  check_memory("half-duplex echo with CR mapping", got_line.size, start,
               rss_early, s);
  s.fds = {s.line.master, s.keyboard.master, s.fds[2], s.fds[3]};
  quit(s, {});
}

} // namespace
} // namespace serterm::testing
