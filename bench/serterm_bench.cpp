// Relay benchmark: a terminal command and a minimal relay, each run between a
// pseudo-terminal "line" and a pseudo-terminal keyboard/screen, measured in
// alternating pairs so that a noisy machine hits both alike.
#include "figures.hpp"
#include "report.hpp"
#include "workloads.hpp"

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace bench {

namespace {

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
      "  --compare CMD       a second command (another build, say), measured\n"
      "                      in the same pairs against the same relay\n"
      "  --compare-hexdump CMD  that command in hexdump mode, for figure d\n"
      "  --pairs N           paired runs per figure (default 7)\n"
      "  --escape N          the command's escape byte, kept out of typed\n"
      "                      data (default 29, control-])\n"
      "  --flood-keys N      keystrokes per run of figure f (default 20)\n"
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
    } else if (word == "--compare" && has_value) {
      s.compare_command = argv[++i];
    } else if (word == "--compare-hexdump" && has_value) {
      s.compare_hexdump_command = argv[++i];
    } else if (word == "--pairs" && has_value) {
      s.pairs = std::max(1, std::atoi(argv[++i]));
    } else if (word == "--escape" && has_value) {
      s.escape_char = static_cast<unsigned char>(std::atoi(argv[++i]));
    } else if (word == "--flood-keys" && has_value) {
      s.flood_keys = std::max(1, std::atoi(argv[++i]));
    } else if (word == "--json" && has_value) {
      s.json_path = argv[++i];
    } else if (word == "--quick") {
      s.pairs = 1;
      s.throughput_bytes = 8 * MIB;
      s.paste_bytes = MIB / 4;
      s.hexdump_bytes = 4 * MIB;
      s.keystrokes = 200;
      s.idle_seconds = 1;
      s.flood_keys = 10;
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
  create_scratch_files();
  results compared;
  bool comparing = !s.compare_command.empty();
  results r = measure(s, comparing ? &compared : nullptr);
  remove_scratch_files();
  report(s, r);
  bool ok = r.all_verified && (s.hexdump_command.empty() || r.hex_text_ok);
  if (comparing) {
    settings other = s;
    other.command = s.compare_command;
    other.hexdump_command = s.compare_hexdump_command;
    other.json_path = s.json_path.empty() ? "" : s.json_path + ".compare";
    std::printf("\nthe command compared, in the same pairs:\n");
    report(other, compared);
    ok = ok && compared.all_verified &&
         (other.hexdump_command.empty() || compared.hex_text_ok);
  }
  return ok ? 0 : 1;
}

} // namespace bench

int
main(int argc, char** argv)
{
  return bench::run(argc, argv);
}
