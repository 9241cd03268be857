// The CR -> CR LF display mapping, pure and safe across split reads.
#pragma once

#include "common/common.hpp"

#include <cstddef>
#include <span>

namespace serterm {

// The mapping may double its input.
inline constexpr std::size_t MAPPED_SIZE = 2 * BUFFER_SIZE;

// What one stream remembers between chunks: whether its last chunk ended in
// a CR that was given an LF, so an LF opening the next chunk is not shown
// again.
struct cr_map_state {
  bool lf_added = false;
};

// Copies `input` (at most BUFFER_SIZE bytes) to `output`, adding an LF after
// every CR that is not followed by one. Returns the number of bytes written.
// The result is the same however a stream is split into chunks, as long as
// its chunks go through the same `state`.
[[nodiscard]] std::size_t
map_cr_to_crlf(std::span<const unsigned char> input,
               std::span<unsigned char, MAPPED_SIZE> output,
               cr_map_state& state);

} // namespace serterm
