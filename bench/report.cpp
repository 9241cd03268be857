// The benchmark's report: the table on standard output and the JSON file.
#include "report.hpp"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/utsname.h>
#include <unistd.h>

namespace bench {

namespace {

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

// The values `f`'s target bounds: the ratios if it ends in "x".
const std::vector<double>&
judged_values(const figure& f)
{
  return std::strchr(f.target, 'x') != nullptr ? f.ratios : f.command;
}

bool
meets(const figure& f)
{
  const std::vector<double>& seen = judged_values(f);
  if (seen.empty()) {
    return false;
  }
  double value = median(seen);
  double bound = std::strtod(f.target + std::strspn(f.target, "<>= "), nullptr);
  return f.target[0] == '>' ? value >= bound : value <= bound;
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
print_heading(const settings& s, const std::string& date,
              const std::string& machine)
{
  std::printf("serterm relay benchmark, %s\n", date.c_str());
  std::printf("machine: %s\n", machine.c_str());
  std::printf("A: %s\nB: %s\n", display_command(s.command).c_str(),
              display_command(s.relay_command).c_str());
  if (!s.hexdump_command.empty()) {
    std::printf("A in hexdump mode: %s\n",
                display_command(s.hexdump_command).c_str());
  }
  std::printf("pairs: %d; a %zu MiB, c %zu KiB, d %zu MiB, b %d keys, e %d s,"
              " f %d keys; MB = 10^6 bytes\n\n",
              s.pairs, s.throughput_bytes / MIB, s.paste_bytes / 1024,
              s.hexdump_bytes / MIB, s.keystrokes, s.idle_seconds,
              s.flood_keys);
  std::printf("%-38s %12s %12s %8s %9s %4s\n", "figure",
              command_name(s.command).c_str(),
              command_name(s.relay_command).c_str(), "ratio", "target", "met");
}

void
print_row(const figure& f)
{
  std::string ratio = f.ratios.empty() ? "-" : format_value(f.ratios, 3) + "x";
  bool measured = !judged_values(f).empty();
  const char* met = f.target[0] == '-' || !measured ? ""
                    : meets(f)                      ? "yes"
                                                    : "NO";
  std::printf("%-38s %12s %12s %8s %9s %4s\n", f.label,
              format_value(f.command, f.decimals).c_str(),
              format_value(f.relay, f.decimals).c_str(), ratio.c_str(),
              f.target, met);
}

// "CPU model, N cores, Linux release machine" of the machine running this.
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

void
print_table(const settings& s, const results& r, const std::string& date,
            const std::string& machine)
{
  print_heading(s, date, machine);
  for (const figure* f : rows(r)) {
    print_row(*f);
  }
  std::printf("\ndata verified (a count+bytes, b each key, c bytes,"
              " f each key+screen): %s\n",
              r.all_verified ? "yes" : "NO");
  if (!s.hexdump_command.empty()) {
    std::printf("d hex text checked on %zu KiB: %s\n", s.hexcheck_bytes / 1024,
                r.hex_text_ok ? "exact" : "WRONG");
  }
}

// Writes what the table shows, with each pair's values, to `s.json_path`.
void
write_json(const settings& s, const results& r, const std::string& date,
           const std::string& machine)
{
  FILE* j = std::fopen(s.json_path.c_str(), "w");
  if (j == nullptr) {
    fail("json file");
  }
  std::fprintf(j,
               "{\n  \"date\": %s,\n  \"machine\": %s,\n  \"command\": %s,\n"
               "  \"relay\": %s,\n  \"pairs\": %d,\n  \"verified\": %s,\n"
               "  \"hex_text_exact\": %s,\n  \"figures\": {\n",
               json_string(date).c_str(), json_string(machine).c_str(),
               json_string(display_command(s.command)).c_str(),
               json_string(display_command(s.relay_command)).c_str(), s.pairs,
               r.all_verified ? "true" : "false",
               r.hex_text_ok ? "true" : "false");
  auto figures = rows(r);
  for (std::size_t i = 0; i < figures.size(); ++i) {
    const figure* f = figures[i];
    std::fprintf(j,
                 "    \"%s\": {\"command\": %s, \"relay\": %s, \"ratios\": "
                 "%s, \"target\": %s}%s\n",
                 f->key, json_values(f->command).c_str(),
                 json_values(f->relay).c_str(), json_values(f->ratios).c_str(),
                 json_string(f->target).c_str(),
                 i + 1 < figures.size() ? "," : "");
  }
  std::fputs("  }\n}\n", j);
  std::fclose(j);
}

} // namespace

void
report(const settings& s, const results& r)
{
  std::string machine = machine_text();
  std::string date = date_text();
  print_table(s, r, date, machine);
  if (!s.json_path.empty()) {
    write_json(s, r, date, machine);
  }
}

} // namespace bench
