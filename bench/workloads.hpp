// The benchmark's workloads: a command started between a pseudo-terminal
// line and a pseudo-terminal keyboard/screen, and the five runs on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bench {

inline constexpr std::size_t MIB = 1024 * 1024;
inline constexpr double MB = 1e6;

// What to measure and how much: the commands ("{line}" stands for the
// line's device path), the sizes of the workloads and the pairs to run.
struct settings {
  std::string command;
  std::string hexdump_command;
  // A second command measured in the same pairs, against the same relay.
  std::string compare_command;
  std::string compare_hexdump_command;
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
  int flood_keys = 20;
};

// Prints `what` failed, with errno's text, and exits the benchmark with 1.
[[noreturn]] void fail(const char* what);

// Creates the temporary files the commands' standard error and the hex text
// of check_hexdump_text go to, or exits the benchmark. remove_scratch_files
// deletes them.
void create_scratch_files();
void remove_scratch_files();

// The data written in figures a, c, d and f: reproducible random bytes,
// those that are typed or shown free of the escape byte.
struct workload_data {
  std::vector<unsigned char> line;
  std::vector<unsigned char> paste;
  std::vector<unsigned char> hex;
  std::vector<unsigned char> flood;
};
workload_data make_workload_data(const settings& s);

struct throughput_run {
  double mb_per_s = 0;
  double cpu_ms_per_mb = 0;
  bool verified = false;
  long peak_rss_kb = 0;
};

// a. Writes `data` to the line while reading the screen as fast as possible;
// verified if every byte came, in order.
throughput_run run_throughput(const std::string& command,
                              const std::vector<unsigned char>& data);

struct latency_run {
  double median_us = 0;
  double p99_us = 0;
  bool verified = false;
};

// b. Types `keystrokes` single bytes (never `escape_char`), each once the one
// before reached the line; verified if each came as typed.
latency_run run_latency(const std::string& command, int keystrokes,
                        unsigned char escape_char);

struct paste_run {
  double mb_per_s = 0;
  long long lost = 0;
  bool intact = false;
};

// c. Types `data` as fast as the keyboard takes it while reading the line
// as fast as possible; intact if what came equals what was typed so far.
paste_run run_paste(const std::string& command,
                    const std::vector<unsigned char>& data);

struct hexdump_run {
  double mb_per_s = 0;
  double cpu_ms_per_mb = 0;
};

// d. Writes `data` to the line of `command` (in hexdump mode) with its
// standard output on /dev/null; the rate is 0 if it stalled.
hexdump_run run_hexdump_rate(const std::string& command,
                             const std::vector<unsigned char>& data);

// d. Writes `size` bytes, all 256 values first, to the line of `command`
// and returns whether its standard output is exactly "xx " per byte.
bool check_hexdump_text(const std::string& command, std::size_t size);

struct idle_run {
  double wakeups_per_s = 0;
  long peak_rss_kb = 0;
};

// e. Starts `first`, then `second`, and counts their voluntary context
// switches over the same `seconds` of doing nothing.
std::pair<idle_run, idle_run> run_idle(const std::string& first,
                                       const std::string& second, int seconds);

struct flood_run {
  double median_us = 0;
  double worst_us = 0;
  int lost = 0;
  bool verified = false;
};

// f. Writes `flood` (over and over) to the line as fast as it takes it,
// reads the screen at 50 kB/s, and types `keystrokes` single bytes (never
// `escape_char`), one every 200 ms, each timed until it reaches the line. A
// key not there within 5 s is lost and ends the run; each lost key counts as
// 5 s. Verified if every key came as typed and the screen showed the flood.
// With `flood` empty, the same keys on an idle line: what a keystroke costs
// at that spacing on this machine, a CPU woken from idle included.
flood_run run_flood_latency(const std::string& command,
                            const std::vector<unsigned char>& flood,
                            int keystrokes, unsigned char escape_char);

} // namespace bench
