// Parser for the bytes the x command sends, written in hexadecimal.
#include "escape/hex_parser.hpp"

namespace serterm {

int
hex_digit_value(char c)
{
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

std::size_t
parse_hex_data(const char* text, std::span<unsigned char, BUFFER_SIZE> output)
{
  std::size_t count = 0;
  const char* p = text;
  while (*p != '\0' && count < output.size()) {
    while (*p != '\0' && hex_digit_value(*p) < 0) {
      ++p;
    }
    int high = hex_digit_value(*p);
    if (high < 0) {
      break; // only separators were left
    }
    ++p;
    int value = high;
    int low = hex_digit_value(*p);
    if (low >= 0) {
      value = value * 16 + low;
      ++p;
    }
    // A byte whose digits end the text still counts: a prompt line ended by
    // end of input instead of Enter has no newline after its last byte.
    output[count++] = static_cast<unsigned char>(value);
  }
  return count;
}

} // namespace serterm
