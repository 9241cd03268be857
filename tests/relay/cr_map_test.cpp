// Tests of the CR -> CR LF mapping, including its split-stream property.
#include "relay/cr_map.hpp"
#include "support/oracles.hpp"
#include "support/pty_kit.hpp"

#include <gtest/gtest.h>
#include <random>
#include <string>

namespace serterm {
namespace {

// `in` mapped, as a piece of the stream `state` follows, or else whole.
std::string
map(const std::string& in, cr_map_state* state = nullptr)
{
  std::array<unsigned char, MAPPED_SIZE> out;
  cr_map_state whole;
  std::size_t n =
      map_cr_to_crlf(testing::bytes_of(in), out, state ? *state : whole);
  return std::string(reinterpret_cast<const char*>(out.data()), n);
}

TEST(MapCrToCrlf, LoneCrGetsLf)
{
  // clang-format off
  const std::pair<const char*, const char*> rows[] = {
      {"OK\r\n", "OK\r\n"}, {"a\rb", "a\r\nb"}, {"a\r", "a\r\n"}, {"\r\r", "\r\n\r\n"},
      {"\n\r\n", "\n\r\n"}, {"no cr", "no cr"}, {"", ""}};
  // clang-format on
  for (auto [in, out] : rows) {
    EXPECT_EQ(map(in), out);
  }
}

TEST(MapCrToCrlf, FullChunkOfCrsIsNeverCut)
{
  const std::string crs(BUFFER_SIZE, '\r');
  EXPECT_EQ(testing::difference(map(crs), testing::crlf_shown(crs)), "");
}

TEST(MapCrToCrlf, CrLfSplitAcrossChunksShowsOnce)
{
  cr_map_state state;
  EXPECT_EQ(map("OK\r", &state), "OK\r\n");
  EXPECT_EQ(map("\nnext", &state), "next");
  // Only the one LF right after the split is taken as already shown.
  EXPECT_EQ(map("\r", &state), "\r\n");
  EXPECT_EQ(map("\n\n", &state), "\n");
}

TEST(MapCrToCrlf, AnySplitEqualsMappingWhole)
{
  std::mt19937 random(12345);
  const char alphabet[] = {'\r', '\n', 'a', '\r', '\n'};
  for (int round = 0; round < 500; ++round) {
    std::string stream;
    std::size_t length = random() % 200;
    for (std::size_t i = 0; i < length; ++i) {
      stream += alphabet[random() % sizeof alphabet];
    }
    // Whole and in pieces, as the streaming oracle shows it.
    std::string whole = testing::crlf_shown(stream);
    ASSERT_EQ(map(stream), whole) << "round " << round;
    cr_map_state state;
    std::string pieces;
    for (std::size_t at = 0; at < stream.size();) {
      std::size_t size = 1 + random() % 8;
      pieces += map(stream.substr(at, size), &state);
      at += size;
    }
    ASSERT_EQ(pieces, whole) << "round " << round;
  }
}

} // namespace
} // namespace serterm
