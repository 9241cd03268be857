// The command-line option scan and the usage text.
#pragma once

#include "common/common.hpp"

#include <span>

namespace serterm {

// The values a run is started with.
struct options {
  int speed_bps = DEFAULT_SPEED_BPS;
  const char* device = DEFAULT_DEVICE;
  int modes = 0;
  int flush_timeout_us = DEFAULT_FLUSH_TIMEOUT_US;
  unsigned char escape_char = DEFAULT_ESCAPE_CHAR;
};

// Reads `text` the way atoi does (leading blanks, an optional sign, the
// digits up to the first non-digit; 0 if there are none), except that a
// value beyond the int range saturates at the nearest bound.
[[nodiscard]] int read_decimal(const char* text);

// Scans the words after the program name (`args` excludes argv[0]) into
// `out`, which holds the defaults on entry. Returns false if an option is
// malformed; `out` is then partly updated and must not be used.
[[nodiscard]] bool scan_options(std::span<char* const> args, options& out);

// Writes the usage text, with the built-in defaults, to standard error.
void print_usage();

} // namespace serterm
