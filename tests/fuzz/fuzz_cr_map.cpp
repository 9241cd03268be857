// Fuzz target for the CR -> CR LF mapping: bounded growth, the same result
// however the stream is split, and that result the one the tests' oracle
// gives: every CR shown with an LF, nothing but LFs after CRs added.
#include "relay/cr_map.hpp"
#include "support/oracles.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

using serterm::BUFFER_SIZE;
using serterm::MAPPED_SIZE;

std::string
map_piece(const std::string& piece, serterm::cr_map_state& state)
{
  // Exactly MAPPED_SIZE bytes on the heap, so a write past it is caught.
  auto output = std::make_unique<unsigned char[]>(MAPPED_SIZE);
  std::span<const unsigned char> input(
      reinterpret_cast<const unsigned char*>(piece.data()), piece.size());
  std::size_t n = serterm::map_cr_to_crlf(
      input, std::span<unsigned char, MAPPED_SIZE>(output.get(), MAPPED_SIZE),
      state);
  if (n > 2 * piece.size()) {
    std::abort();
  }
  return std::string(reinterpret_cast<const char*>(output.get()), n);
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  // The first byte seeds the split points; the rest is the stream, at most
  // one buffer so that it can also be mapped whole in one call.
  if (size == 0) {
    return 0;
  }
  unsigned seed = data[0];
  std::string stream(reinterpret_cast<const char*>(data + 1),
                     std::min(size - 1, BUFFER_SIZE));

  serterm::cr_map_state whole_state;
  std::string whole = map_piece(stream, whole_state);

  // Piece lengths from a small generator seeded by the first byte, with
  // empty pieces and single bytes common.
  serterm::cr_map_state piece_state;
  std::string pieces;
  std::size_t at = 0;
  unsigned random = seed * 2654435761U + 1U;
  while (at < stream.size()) {
    random = random * 1103515245U + 12345U;
    std::size_t length =
        (random >> 16) % 7 == 0 ? (random >> 8) % 300 : (random >> 16) % 4;
    length = std::min(length, stream.size() - at);
    pieces += map_piece(stream.substr(at, length), piece_state);
    at += length;
  }
  if (pieces != whole || whole != serterm::testing::crlf_shown(stream)) {
    std::abort();
  }
  return 0;
}
