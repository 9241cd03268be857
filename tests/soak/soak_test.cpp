// Load and soak tests: hundreds of megabytes through the relay in each
// mode, checked end to end, with the peak memory of the process measured
// early and at the end. Bounded in size and time; they stop by themselves.
#include "support/pty_support.hpp"

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

namespace serterm::testing {
namespace {

using steady = std::chrono::steady_clock;

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
  std::size_t done = 0;
  while (done < total) {
    fill(stream, chunk, std::min(CHUNK, total - done));
    std::string_view rest = chunk;
    while (!rest.empty()) {
      ssize_t n = write(fd, rest.data(), rest.size());
      if (n > 0) {
        rest.remove_prefix(static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return false;
      }
      if (steady::now() > deadline) {
        return false;
      }
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 50);
    }
    done += chunk.size();
  }
  return true;
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
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 50);
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

// Ends the session through the prompt's q and checks both terminals.
void
quit(session& s)
{
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "\x1d"));
  std::string err;
  ASSERT_TRUE(read_until(s.proc.err, err, "serterm> "));
  ASSERT_TRUE(wait_cooked(s.keyboard.slave));
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "q\n"));
  int status = end_session(s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
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

// The line sends `screen_total` bytes to the screen while, if
// `paste_total` is not 0, the keyboard pastes that many to the line.
void
both_ways(std::size_t screen_total, std::size_t paste_total, const char* what)
{
  session s = start_session({"-115200"});
  auto deadline = steady::now() + SOAK_LIMIT;
  auto start = steady::now();

  byte_stream received{0x9e3779b97f4a7c15ULL};
  byte_stream pasted{0xd1b54a32d192ed03ULL, true};
  checksum expect_screen;
  checksum expect_line;
  {
    byte_stream copy = received;
    std::string chunk;
    for (std::size_t done = 0; done < screen_total; done += chunk.size()) {
      fill(copy, chunk, std::min(CHUNK, screen_total - done));
      add(expect_screen, chunk.data(), chunk.size());
    }
    copy = pasted;
    for (std::size_t done = 0; done < paste_total; done += chunk.size()) {
      fill(copy, chunk, std::min(CHUNK, paste_total - done));
      add(expect_line, chunk.data(), chunk.size());
    }
  }

  std::atomic<bool> line_written{false};
  std::atomic<bool> paste_written{paste_total == 0};
  std::thread device([&] {
    line_written =
        write_stream(s.line.master, received, screen_total, deadline);
  });
  std::thread typist([&] {
    if (paste_total > 0) {
      paste_written =
          write_stream(s.keyboard.master, pasted, paste_total, deadline);
    }
  });
  checksum got_line;
  std::thread line_reader([&] {
    read_stream(
        s.line.master, paste_total, deadline,
        [&](const char* data, std::size_t n) { add(got_line, data, n); });
  });

  checksum got_screen;
  long rss_early = -1;
  read_stream(s.keyboard.master, screen_total, deadline,
              [&](const char* data, std::size_t n) {
                add(got_screen, data, n);
                if (rss_early < 0 && got_screen.size >= 16 * MB) {
                  rss_early = peak_rss_kb(s.proc.pid);
                }
              });
  device.join();
  typist.join();
  line_reader.join();
  auto took = steady::now() - start;
  long rss_end = peak_rss_kb(s.proc.pid);

  EXPECT_TRUE(line_written);
  EXPECT_TRUE(paste_written);
  EXPECT_EQ(got_screen.size, expect_screen.size);
  EXPECT_EQ(got_screen.hash, expect_screen.hash);
  EXPECT_EQ(got_line.size, expect_line.size);
  EXPECT_EQ(got_line.hash, expect_line.hash);
  ASSERT_GT(rss_early, 0);
  // The peak must not grow with the amount relayed: a little slack for
  // pages touched late, nothing in proportion to the data.
  EXPECT_LE(rss_end, rss_early + 256);
  report(what, got_screen.size + got_line.size, took, rss_early, rss_end);
  quit(s);
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

TEST(Soak, HexdumpParsedBack)
{
  std::size_t total = size_mb("SERTERM_HEX_MB", 16) * MB;
  // A one-second idle time keeps line breaks on stderr rare while the
  // text streams.
  session s = start_session({"-d1", "-t", "1000000"});
  auto deadline = steady::now() + SOAK_LIMIT;
  auto start = steady::now();
  byte_stream received{0x2545f4914f6cdd1dULL};
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
  read_stream(s.proc.out, 3 * total, deadline,
              [&](const char* data, std::size_t n) {
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
                  rss_early = peak_rss_kb(s.proc.pid);
                }
              });
  device.join();
  auto took = steady::now() - start;
  long rss_end = peak_rss_kb(s.proc.pid);
  EXPECT_TRUE(written);
  EXPECT_EQ(compared, total);
  EXPECT_EQ(mismatches, 0U);
  EXPECT_EQ(partial, "");
  ASSERT_GT(rss_early, 0);
  EXPECT_LE(rss_end, rss_early + 256);
  report("hexdump", compared, took, rss_early, rss_end);
  quit(s);
}

TEST(Soak, HalfDuplexEchoWithCrMapping)
{
  std::size_t total = size_mb("SERTERM_ECHO_MB", 32) * MB;
  session s = start_session({"-h1", "-r1"});
  auto deadline = steady::now() + SOAK_LIMIT;
  auto start = steady::now();
  byte_stream typed{0x94d049bb133111ebULL, true, true};

  // The model: the line gets the bytes as typed; the screen gets them with
  // an LF after every CR not followed by one (the typed stream is mapped
  // as one, however the relay cuts it).
  checksum expect_line;
  checksum expect_screen;
  {
    byte_stream copy = typed;
    std::string stream;
    fill(copy, stream, total);
    add(expect_line, stream.data(), stream.size());
    std::string mapped;
    for (std::size_t i = 0; i < stream.size(); ++i) {
      mapped += stream[i];
      if (stream[i] == '\r' &&
          (i + 1 == stream.size() || stream[i + 1] != '\n')) {
        mapped += '\n';
      }
    }
    add(expect_screen, mapped.data(), mapped.size());
  }

  std::atomic<bool> written{false};
  std::thread typist([&] {
    written = write_stream(s.keyboard.master, typed, total, deadline);
  });
  checksum got_line;
  std::thread line_reader([&] {
    read_stream(
        s.line.master, total, deadline,
        [&](const char* data, std::size_t n) { add(got_line, data, n); });
  });
  checksum got_screen;
  long rss_early = -1;
  read_stream(s.keyboard.master, expect_screen.size, deadline,
              [&](const char* data, std::size_t n) {
                add(got_screen, data, n);
                if (rss_early < 0 && got_screen.size >= 4 * MB) {
                  rss_early = peak_rss_kb(s.proc.pid);
                }
              });
  typist.join();
  line_reader.join();
  auto took = steady::now() - start;
  long rss_end = peak_rss_kb(s.proc.pid);
  EXPECT_TRUE(written);
  EXPECT_EQ(got_line.size, expect_line.size);
  EXPECT_EQ(got_line.hash, expect_line.hash);
  EXPECT_EQ(got_screen.size, expect_screen.size);
  EXPECT_EQ(got_screen.hash, expect_screen.hash);
  ASSERT_GT(rss_early, 0);
  EXPECT_LE(rss_end, rss_early + 256);
  report("half-duplex echo with CR mapping", got_line.size, took, rss_early,
         rss_end);
  quit(s);
}

} // namespace
} // namespace serterm::testing
