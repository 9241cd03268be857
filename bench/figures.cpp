// The benchmark's figures: pairs of runs, their averages, ratios and medians.
#include "figures.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace bench {

namespace {

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

// The medians averaged, the worst of both runs, and the keys they lost
// together.
flood_run
mean_of(const flood_run& x, const flood_run& y)
{
  return {(x.median_us + y.median_us) / 2, std::max(x.worst_us, y.worst_us),
          x.lost + y.lost, x.verified && y.verified};
}

// Runs `one` four times, on the command and the relay A B B A (B A A B
// unless `a_first`), which also cancels a load that grows or fades during
// the pair. Returns each side's average, the command's first.
template <typename Run>
auto
run_abba(const settings& s, bool a_first, Run one)
{
  std::array<decltype(one(s.command)), 4> t;
  for (std::size_t i = 0; i < 4; ++i) {
    bool a_turn = (i == 0 || i == 3) == a_first;
    t[i] = one(a_turn ? s.command : s.relay_command);
  }
  auto outer = mean_of(t[0], t[3]);
  auto inner = mean_of(t[1], t[2]);
  return a_first ? std::pair{outer, inner} : std::pair{inner, outer};
}

// Adds one pair's values, the command's and the relay's, and their ratio.
void
add_pair(figure& f, double command, double relay)
{
  f.command.push_back(command);
  f.relay.push_back(relay);
  f.ratios.push_back(command / relay);
}

// a. Returns the command's averages, which figure d is compared with.
throughput_run
measure_throughput(const settings& s, const workload_data& data, bool a_first,
                   results& r)
{
  auto [a, b] = run_abba(s, a_first, [&](const std::string& command) {
    return run_throughput(command, data.line);
  });
  r.all_verified = r.all_verified && a.verified && b.verified;
  add_pair(r.rate, a.mb_per_s, b.mb_per_s);
  add_pair(r.cpu, a.cpu_ms_per_mb, b.cpu_ms_per_mb);
  r.peak_command_kb = std::max(r.peak_command_kb, a.peak_rss_kb);
  r.peak_relay_kb = std::max(r.peak_relay_kb, b.peak_rss_kb);
  return a;
}

void
measure_latency(const settings& s, bool a_first, results& r)
{
  auto [a, b] = run_abba(s, a_first, [&](const std::string& command) {
    return run_latency(command, s.keystrokes, s.escape_char);
  });
  r.all_verified = r.all_verified && a.verified && b.verified;
  add_pair(r.keystroke, a.median_us, b.median_us);
  add_pair(r.keystroke_p99, a.p99_us, b.p99_us);
}

void
measure_paste(const settings& s, const workload_data& data, bool a_first,
              results& r)
{
  paste_run a;
  paste_run b;
  if (a_first) {
    a = run_paste(s.command, data.paste);
    b = run_paste(s.relay_command, data.paste);
  } else {
    b = run_paste(s.relay_command, data.paste);
    a = run_paste(s.command, data.paste);
  }
  r.all_verified = r.all_verified && a.intact && b.intact;
  add_pair(r.paste, a.mb_per_s, b.mb_per_s);
  r.lost.command.push_back(static_cast<double>(a.lost));
  r.lost.relay.push_back(static_cast<double>(b.lost));
}

// d. The command alone; its ratios are to its own plain run `plain`.
void
measure_hexdump(const settings& s, const workload_data& data,
                const throughput_run& plain, results& r)
{
  hexdump_run h = run_hexdump_rate(s.hexdump_command, data.hex);
  r.hex.command.push_back(h.mb_per_s);
  r.hex.ratios.push_back(h.mb_per_s / plain.mb_per_s);
  r.hex_cpu.command.push_back(h.cpu_ms_per_mb);
  r.hex_cpu.ratios.push_back(h.cpu_ms_per_mb / plain.cpu_ms_per_mb);
}

void
measure_idle(const settings& s, bool a_first, results& r)
{
  std::pair<idle_run, idle_run> idle =
      a_first ? run_idle(s.command, s.relay_command, s.idle_seconds) : [&] {
        auto swapped = run_idle(s.relay_command, s.command, s.idle_seconds);
        return std::pair{swapped.second, swapped.first};
      }();
  r.wake.command.push_back(idle.first.wakeups_per_s);
  r.wake.relay.push_back(idle.second.wakeups_per_s);
  r.peak_command_kb = std::max(r.peak_command_kb, idle.first.peak_rss_kb);
  r.peak_relay_kb = std::max(r.peak_relay_kb, idle.second.peak_rss_kb);
}

void
measure_flood(const settings& s, const workload_data& data, bool a_first,
              results& r)
{
  auto [a, b] = run_abba(s, a_first, [&](const std::string& command) {
    return run_flood_latency(command, data.flood, s.flood_keys, s.escape_char);
  });
  r.all_verified = r.all_verified && a.verified && b.verified;
  add_pair(r.flood, a.median_us, b.median_us);
  add_pair(r.flood_worst, a.worst_us, b.worst_us);
  r.flood_lost.command.push_back(a.lost);
  r.flood_lost.relay.push_back(b.lost);
  auto [idle_a, idle_b] = run_abba(s, a_first, [&](const std::string& command) {
    return run_flood_latency(command, {}, s.flood_keys, s.escape_char);
  });
  r.all_verified = r.all_verified && idle_a.verified && idle_b.verified;
  add_pair(r.flood_idle, idle_a.median_us, idle_b.median_us);
}

void
measure_pair(const settings& s, const workload_data& data, int pair, results& r)
{
  // Alternate which side goes first, so drift in the machine's load does
  // not favour one side.
  bool a_first = pair % 2 == 0;
  std::fprintf(stderr, "pair %d/%d\n", pair + 1, s.pairs);
  throughput_run plain = measure_throughput(s, data, a_first, r);
  measure_latency(s, a_first, r);
  measure_paste(s, data, a_first, r);
  if (!s.hexdump_command.empty()) {
    measure_hexdump(s, data, plain, r);
  }
  measure_idle(s, a_first, r);
  measure_flood(s, data, a_first, r);
}

} // namespace

std::array<const figure*, 14>
rows(const results& r)
{
  return {&r.rate,  &r.cpu,         &r.keystroke,  &r.keystroke_p99, &r.paste,
          &r.lost,  &r.hex,         &r.hex_cpu,    &r.wake,          &r.rss,
          &r.flood, &r.flood_worst, &r.flood_lost, &r.flood_idle};
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

// The figures that are taken once the pairs are done.
void
finish(const settings& s, results& r)
{
  r.rss.command.push_back(static_cast<double>(r.peak_command_kb) / 1024);
  r.rss.relay.push_back(static_cast<double>(r.peak_relay_kb) / 1024);
  if (!s.hexdump_command.empty()) {
    r.hex_text_ok = check_hexdump_text(s.hexdump_command, s.hexcheck_bytes);
  }
}

results
measure(const settings& s, results* compared)
{
  workload_data data = make_workload_data(s);
  settings other = s;
  other.command = s.compare_command;
  other.hexdump_command = s.compare_hexdump_command;
  results r;
  for (int pair = 0; pair < s.pairs; ++pair) {
    bool first = compared == nullptr || pair % 2 == 0;
    if (first) {
      measure_pair(s, data, pair, r);
    }
    if (compared != nullptr) {
      measure_pair(other, data, pair, *compared);
    }
    if (!first) {
      measure_pair(s, data, pair, r);
    }
  }
  finish(s, r);
  if (compared != nullptr) {
    finish(other, *compared);
  }
  return r;
}

} // namespace bench
