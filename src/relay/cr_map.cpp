// The CR -> CR LF display mapping.
#include "relay/cr_map.hpp"

#include <algorithm>
#include <cassert>

namespace serterm {

std::size_t
map_cr_to_crlf(std::span<const unsigned char> input,
               std::span<unsigned char, MAPPED_SIZE> output,
               cr_map_state& state)
{
  // A longer input is a caller's fault: loud where assertions are live,
  // and cut rather than let it run past `output` where they are not.
  assert(input.size() <= BUFFER_SIZE);
  input = input.first(std::min(input.size(), BUFFER_SIZE));
  std::size_t i = 0;
  // The LF that the previous chunk's final CR was given is already shown.
  if (state.lf_added && !input.empty() && input[0] == LF) {
    i = 1;
  }
  if (!input.empty()) {
    state.lf_added = false;
  }
  std::size_t out = 0;
  for (; i < input.size(); ++i) {
    output[out++] = input[i];
    if (input[i] != CR) {
      continue;
    }
    if (i + 1 < input.size()) {
      if (input[i + 1] != LF) {
        output[out++] = LF;
      }
    } else {
      output[out++] = LF;
      state.lf_added = true;
    }
  }
  return out;
}

} // namespace serterm
