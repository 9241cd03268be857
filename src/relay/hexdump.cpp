// Hexdump text for received bytes.
#include "relay/hexdump.hpp"

#include <algorithm>
#include <cassert>

namespace serterm {

std::size_t
format_hexdump(std::span<const unsigned char> input,
               std::span<char, HEXDUMP_SIZE> output)
{
  constexpr const char* digits = "0123456789abcdef";
  // A longer input is a caller's fault: loud where assertions are live,
  // and cut rather than let it run past `output` where they are not.
  assert(input.size() <= BUFFER_SIZE);
  input = input.first(std::min(input.size(), BUFFER_SIZE));
  std::size_t out = 0;
  for (unsigned char byte : input) {
    output[out++] = digits[byte >> 4U];
    output[out++] = digits[byte & 0x0FU];
    output[out++] = ' ';
  }
  return out;
}

} // namespace serterm
