// What the tests expect of serterm, each written once: its texts, the
// speeds they use, terminal settings, and oracles that restate its rules by
// another method than the program's own code, so that one misreading cannot
// pass both.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <termios.h>

namespace serterm::testing {

// What the prompt's ? command prints.
inline constexpr const char* HELP_TEXT =
    "q: quit\n"
    "v: show modem status\n"
    "d: toggle hexdump mode\n"
    "h: toggle half-duplex mode\n"
    "r: toggle map CR->CR/LF mode\n"
    "x [string]: send hex data, 'x 41 54 5a 0d 0a' is equivalent to "
    "'ATZ\\r\\n'\n";

// The usage text serterm prints when started as `name`.
std::string usage_text(const std::string& name);

// A speed the tests use: bits per second, its termios code, and whether
// serterm offers it (any other falls back to 9600 with a message).
struct test_speed {
  int bps;
  speed_t code;
  bool offered;
};

// clang-format off
inline constexpr std::array<test_speed, 11> TEST_SPEEDS{{
    {300, B300, false}, {600, B600, false}, {1200, B1200, true},
    {2400, B2400, true}, {4800, B4800, true}, {9600, B9600, true},
    {19200, B19200, true}, {38400, B38400, true}, {57600, B57600, true},
    {115200, B115200, true}, {230400, B230400, false},
}};
// clang-format on

// What the line receives when `keys` are typed faster than the escape
// time-out: an escape character (control-]) sends the key after it as data,
// whatever it is, and a last one sends nothing.
std::string sent_quickly(std::string_view keys);

// What the screen shows of `piece` with CR -> CR LF mapping on: a CR that no
// LF follows in the stream gets one. With `cr_open`, `piece` is part of a
// longer stream: a CR that ends it stays undecided in `*cr_open` (which the
// next piece reads) rather than shown with its LF; without, `piece` is the
// whole stream.
std::string crlf_shown(std::string_view piece, bool* cr_open = nullptr);

// The hexdump text of `data`: each byte as snprintf's "%02x " writes it.
std::string hex_text(std::string_view data);

// Empty when `got` and `want` are equal terminal settings (every flag word,
// the line discipline, every control character, both speeds); otherwise the
// first field that differs, with both values.
std::string settings_difference(const termios& got, const termios& want);

// Like `settings_difference`, against the serial line's settings during a
// run, set from `before`: raw 8N1 at `speed`, receiver on, modem lines
// ignored, breaks and parity errors ignored, VMIN 1 and every other control
// character 0.
std::string raw_line_difference(const termios& got, const termios& before,
                                speed_t speed);

// What serterm writes on standard error before its prompt or an ending
// message once `screen` has been shown: CR LF, unless it ended a line.
std::string line_left_open(std::string_view screen);

// Every byte value once, in order.
std::string all_bytes();

// `size` reproducible random bytes from `seed`, none equal to `avoid`.
std::string random_bytes(std::size_t size, unsigned seed, int avoid = -1);

} // namespace serterm::testing
