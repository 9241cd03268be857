// The benchmark's figures: the workloads run in alternating pairs, each
// side's values and the pair-by-pair ratios, and their medians.
#pragma once

#include "workloads.hpp"

#include <array>
#include <vector>

namespace bench {

// One figure of the table: each side's value per pair, the ratios of the
// pairs, and the target their median is judged by.
struct figure {
  const char* key;   // its name in the JSON
  const char* label; // its row in the table
  // As shown: ">= B" or "<= B" on the ratio when B ends in "x", on the value
  // otherwise; a bare B is an upper bound, "-" no target.
  const char* target;
  int decimals; // of the values shown
  std::vector<double> command{};
  std::vector<double> relay{};
  std::vector<double> ratios{};
};

// Everything one benchmark run found.
struct results {
  figure rate{"line_to_screen_mb_s", "a line->screen MB/s", ">= 0.95x", 1};
  figure cpu{"line_to_screen_cpu_ms_per_mb", "a CPU ms per MB", "<= 1.05x", 1};
  figure keystroke{"keystroke_median_us", "b keystroke median us", "<= 1.05x",
                   1};
  figure keystroke_p99{"keystroke_p99_us", "b keystroke p99 us", "-", 1};
  figure paste{"paste_mb_s", "c paste MB/s", ">= 0.90x", 1};
  figure lost{"paste_bytes_lost", "c paste bytes lost", "0", 0};
  figure hex{"hexdump_mb_s", "d hexdump MB/s (ratio: own plain a)", ">= 0.80x",
             1};
  figure hex_cpu{"hexdump_cpu_ms_per_mb", "d hexdump CPU ms/MB (ratio: own a)",
                 "-", 1};
  figure wake{"idle_wakeups_per_s", "e idle wake-ups/s", "0", 2};
  figure rss{"peak_rss_mb", "e peak RSS MB", "<= 1.5", 2};
  figure flood{"flood_keystroke_median_us", "f keystroke under flood median us",
               "<= 200", 1};
  figure flood_worst{"flood_keystroke_worst_us",
                     "f keystroke under flood worst us", "-", 1};
  figure flood_lost{"flood_keys_lost", "f keystroke under flood keys lost", "0",
                    0};
  figure flood_idle{"flood_keystroke_idle_median_us",
                    "f same keys, idle line, median us", "-", 1};
  // a count and bytes, b each key, c bytes, f each key and the screen
  bool all_verified = true;
  bool hex_text_ok = false;
  long peak_command_kb = 0;
  long peak_relay_kb = 0;
};

// The figures of `r` in the order of the table.
std::array<const figure*, 14> rows(const results& r);

// The value at `fraction` (0 to 1) of the sorted `values`; 0 if empty.
double percentile(std::vector<double> values, double fraction);
double median(const std::vector<double>& values);

// Runs every workload `s.pairs` times on both commands, then checks the hex
// text of `s.hexdump_command` (if there is one). With a command to compare,
// each pair runs it too, before or after the first by turns, into
// `compared`.
results measure(const settings& s, results* compared = nullptr);

} // namespace bench
