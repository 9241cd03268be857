// The command-line option scan and the usage text.
#include "front_end/options.hpp"

#include <climits>
#include <cstdio>

namespace serterm {

namespace {

bool
is_digit(char c)
{
  return c >= '0' && c <= '9';
}

// How a mode option reads its third character: -d by the character's
// lowest bit, never rejecting it; -h and -r only as "1" or "0".
enum class third_character { lowest_bit, one_or_zero };

// Applies a -d, -h or -r word's third character, read as `reading` says, to
// `bit` of `modes`: none toggles. Returns false if the character is refused.
bool
apply_mode_option(const char* word, int bit, third_character reading,
                  int& modes)
{
  char third = word[2];
  if (third == '\0') {
    modes ^= bit;
    return true;
  }
  bool set;
  if (reading == third_character::lowest_bit) {
    set = (static_cast<unsigned char>(third) & 1U) != 0;
  } else if (third == '1' || third == '0') {
    set = third == '1';
  } else {
    return false;
  }
  modes = set ? (modes | bit) : (modes & ~bit);
  return true;
}

} // namespace

int
read_decimal(const char* text)
{
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) {
    ++text;
  }
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') {
    ++text;
  }
  // Accumulate as a negative number so INT_MIN fits, then saturate.
  long long value = 0;
  for (; is_digit(*text); ++text) {
    value = value * 10 - (*text - '0');
    if (value < INT_MIN) {
      value = INT_MIN - 1LL;
    }
  }
  if (negative) {
    return value < INT_MIN ? INT_MIN : static_cast<int>(value);
  }
  return -value > INT_MAX ? INT_MAX : static_cast<int>(-value);
}

bool
scan_options(std::span<char* const> args, options& out)
{
  std::size_t i = 0;
  for (; i < args.size() && args[i][0] == '-'; ++i) {
    const char* word = args[i];
    char option = word[1];
    if (is_digit(option)) {
      // The speed is the negation of the whole word read as a number.
      int value = read_decimal(word);
      out.speed_bps = value == INT_MIN ? INT_MAX : -value;
      continue;
    }
    switch (option) {
    case 'd':
      apply_mode_option(word, MODE_HEXDUMP, third_character::lowest_bit,
                        out.modes);
      break;
    case 'h':
      if (!apply_mode_option(word, MODE_HALF_DUPLEX,
                             third_character::one_or_zero, out.modes)) {
        return false;
      }
      break;
    case 'r':
      if (!apply_mode_option(word, MODE_MAP_CR, third_character::one_or_zero,
                             out.modes)) {
        return false;
      }
      break;
    case 't':
      if (i + 1 >= args.size()) {
        return false;
      }
      out.flush_timeout_us = read_decimal(args[++i]);
      break;
    case 'e':
      if (word[2] == '\0') {
        return false;
      }
      out.escape_char = static_cast<unsigned char>(word[2]) & 0x1FU;
      break;
    default:
      return false;
    }
  }
  if (i < args.size()) {
    out.device = args[i];
  }
  return true;
}

void
print_usage()
{
  std::fprintf(stderr, "Usage: %s [option...] modem\n", progname);
  std::fputs("    options:\n"
             "\t-#: set serial speed [bps]\n"
             "\t-d[#]: toggle/set/reset hexdump display mode\n"
             "\t-h[#]: toggle/set/reset half-duplex mode\n"
             "\t-r[#]: toggle/set/reset map CR->CR/LF mode\n"
             "\t-t #: set display/keyboard flush timeout [us]\n"
             "\t-eX: set escape charactor to ctrl-X\n"
             "    default:\n",
             stderr);
  std::fprintf(stderr, "\t%s -%d -d0 -h0 -r0 ", progname, DEFAULT_SPEED_BPS);
  std::fprintf(stderr, "-t %d ", DEFAULT_FLUSH_TIMEOUT_US);
  std::fprintf(stderr, "-e'%c' %s\n", ']', DEFAULT_DEVICE);
}

} // namespace serterm
