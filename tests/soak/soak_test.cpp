// Load and soak tests: hundreds of megabytes through the relay in each
// mode, checked end to end, with the peak memory of the process measured
// early and at the end. Bounded in size and time; they stop by themselves.
#include "support/session.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <gtest/gtest.h>
#include <poll.h>
#include <regex>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace serterm::testing {
namespace {

constexpr std::size_t MB = 1024 * 1024;
constexpr std::size_t CHUNK = 64 * 1024;
// Upper bound for one whole soak run on a loaded machine.
constexpr auto SOAK_LIMIT = std::chrono::seconds(240);

// A reproducible byte stream: xorshift64, without the escape character, and
// with CR and LF frequent when `crlf_rich`.
struct byte_stream {
  std::uint64_t state;
  bool crlf_rich = false;
};

// The next `size` bytes of `s`.
std::string
next_chunk(byte_stream& s, std::size_t size)
{
  std::string chunk(size, '\0');
  for (char& c : chunk) {
    s.state ^= s.state << 13;
    s.state ^= s.state >> 7;
    s.state ^= s.state << 17;
    unsigned pick = static_cast<unsigned>(s.state >> 40) % 8;
    c = s.crlf_rich && pick < 2 ? "\r\n"[pick]
                                : static_cast<char>(s.state >> 24);
    c = c == '\x1d' ? '\x1c' : c;
  }
  return chunk;
}

// FNV-1a over a stream, fed piece by piece.
struct checksum {
  std::uint64_t hash = 1469598103934665603ULL;
  std::size_t size = 0;
};

void
add(checksum& sum, std::string_view data)
{
  for (char c : data) {
    sum.hash ^= static_cast<unsigned char>(c);
    sum.hash *= 1099511628211ULL;
  }
  sum.size += data.size();
}

// How a stream shows: as it is, through the CR -> CR LF mapping, or as
// hexdump text.
enum class shown_as { plain, mapped, hex };

// Writes `total` bytes of `stream` to `fd`, waiting while it is full.
// Returns false if `deadline` passes first.
bool
write_stream(int fd, byte_stream stream, std::size_t total,
             steady::time_point deadline)
{
  for (std::size_t done = 0; done < total; done += CHUNK) {
    std::string chunk = next_chunk(stream, std::min(CHUNK, total - done));
    if (!write_all_bounded(fd, chunk, milliseconds(remaining_ms(deadline)))) {
      return false;
    }
  }
  return true;
}

// The checksum of `total` bytes of `stream` shown `as` the oracles say, the
// stream mapped as one however the relay cuts it.
checksum
expected_sum(byte_stream stream, std::size_t total, shown_as as)
{
  checksum sum;
  bool cr_open = false;
  for (std::size_t done = 0; done < total; done += CHUNK) {
    std::string chunk = next_chunk(stream, std::min(CHUNK, total - done));
    add(sum, as == shown_as::hex      ? hex_text(chunk)
             : as == shown_as::mapped ? crlf_shown(chunk, &cr_open)
                                      : chunk);
  }
  add(sum, cr_open ? "\n" : "");
  return sum;
}

// Reads `fd` into `sum` until `total` bytes came or `deadline` passes.
// Returns the peak memory of `sampled` (when given) once the first few
// megabytes are through, or -1.
long
read_sum(int fd, std::size_t total, steady::time_point deadline, checksum& sum,
         pid_t sampled = -1)
{
  long rss_early = -1;
  std::string buffer(CHUNK, '\0');
  while (sum.size < total && remaining_ms(deadline) > 0) {
    ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n > 0) {
      add(sum, std::string_view(buffer).substr(0, std::size_t(n)));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;
    } else {
      wait_fd(fd, POLLIN, 50);
    }
    if (sampled > 0 && rss_early < 0 &&
        sum.size >= std::min(total / 4, 4 * MB)) {
      rss_early = proc_value(sampled, "status", "VmHWM:");
    }
  }
  return rss_early;
}

// Size in MB from the environment (a longer soak by hand), else
// `fallback`.
std::size_t
size_mb(const char* name, std::size_t fallback)
{
  const char* text = std::getenv(name);
  long mb = text != nullptr ? std::atol(text) : 0;
  return (mb > 0 ? static_cast<std::size_t>(mb) : fallback) * MB;
}

// One soak run of serterm with `options`: the device sends `line_total`
// bytes while the keyboard pastes `typed_total` bytes of another stream, at
// once. The line must get the paste; the screen, or in hexdump mode
// standard output, what the device sent shown `as` the mode shows it, or,
// with `as` mapped, the half-duplex echo of the paste (CR- and LF-rich) as
// the mapping shows it. Peak memory must not grow with the amount relayed:
// a little slack for pages touched late and, with a paste, the queue for
// the line, whose pages are touched as it fills (1 MiB and 8 KiB). The
// test's threads take the line, the keyboard and the output over from the
// session.
void
soak(const std::vector<std::string>& options, std::size_t line_total,
     std::size_t typed_total, shown_as as, const char* what)
{
  byte_stream received{0x9e3779b97f4a7c15ULL};
  byte_stream typed{0xd1b54a32d192ed03ULL, as == shown_as::mapped};
  // Summed before the run, so that the figures are the relay's own.
  checksum want = as == shown_as::mapped
                      ? expected_sum(typed, typed_total, as)
                      : expected_sum(received, line_total, as);
  session s = start_session(options);
  auto start = steady::now();
  auto deadline = start + SOAK_LIMIT;
  int shown = as == shown_as::hex ? s.fds[2] : s.keyboard.master;
  auto taken = s.fds;
  s.fds = {-1, -1, -1, taken[3]};
  auto sent = std::async(std::launch::async, write_stream, s.line.master,
                         received, line_total, deadline);
  auto pasted = std::async(std::launch::async, write_stream, s.keyboard.master,
                           typed, typed_total, deadline);
  checksum line;
  std::thread line_reader(
      [&] { read_sum(s.line.master, typed_total, deadline, line); });
  checksum screen;
  long rss_early = read_sum(shown, want.size, deadline, screen, s.pid);
  line_reader.join();
  EXPECT_TRUE(sent.get());
  EXPECT_TRUE(pasted.get());
  checksum typed_sum = expected_sum(typed, typed_total, shown_as::plain);
  EXPECT_EQ(std::tie(screen.size, screen.hash), std::tie(want.size, want.hash))
      << "screen or hexdump text";
  EXPECT_EQ(std::tie(line.size, line.hash),
            std::tie(typed_sum.size, typed_sum.hash))
      << "line";
  long rss_end = proc_value(s.pid, "status", "VmHWM:");
  ASSERT_GT(rss_early, 0);
  EXPECT_LE(rss_end, rss_early + 256 + (typed_total > 0 ? 1032 : 0));
  double seconds = std::chrono::duration<double>(steady::now() - start).count();
  std::size_t bytes = screen.size + line.size;
  std::printf("[soak] %s: %zu bytes in %.2f s, %.1f MB/s; peak RSS %ld kB "
              "early, %ld kB at the end\n",
              what, bytes, seconds, double(bytes) / double(MB) / seconds,
              rss_early, rss_end);
  std::fflush(stdout);
  s.fds = taken;
  // Each pause in a hexdump stream may have ended a hex line on stderr,
  // and the prompt starts a line of its own after the last bytes shown: a
  // few CR LF pairs, short enough for a regular expression.
  quit(s, {.err = std::regex("(\r\n)*")});
}

TEST(Soak, LineToScreenPlain)
{
  soak({"-115200"}, size_mb("SERTERM_SOAK_MB", 256), 0, shown_as::plain,
       "line to screen");
}

TEST(Soak, LineToScreenWhilePasting)
{
  soak({"-115200"}, size_mb("SERTERM_SOAK_MB", 256),
       size_mb("SERTERM_PASTE_MB", 16), shown_as::plain, "both ways at once");
}

TEST(Soak, HexdumpTextWhole)
{
  // A one-second idle time keeps line breaks on stderr rare while the
  // text streams.
  soak({"-d1", "-t", "1000000"}, size_mb("SERTERM_HEX_MB", 16), 0,
       shown_as::hex, "hexdump");
}

TEST(Soak, HalfDuplexEchoWithCrMapping)
{
  soak({"-h1", "-r1"}, 0, size_mb("SERTERM_ECHO_MB", 32), shown_as::mapped,
       "half-duplex echo with CR mapping");
}

} // namespace
} // namespace serterm::testing
