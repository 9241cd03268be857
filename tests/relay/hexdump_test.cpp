// Tests of the hexdump text.
#include "relay/hexdump.hpp"

#include <gtest/gtest.h>
#include <string>

namespace serterm {
namespace {

std::string
dump(std::initializer_list<unsigned char> bytes)
{
  std::array<unsigned char, BUFFER_SIZE> in{};
  std::copy(bytes.begin(), bytes.end(), in.begin());
  std::array<char, HEXDUMP_SIZE> out;
  std::size_t n = format_hexdump(
      std::span<const unsigned char>(in).first(bytes.size()), out);
  return std::string(out.data(), n);
}

TEST(FormatHexdump, TwoLowerCaseDigitsAndBlankPerByte)
{
  EXPECT_EQ(dump({0x41, 0x54}), "41 54 ");
  EXPECT_EQ(dump({0x00, 0x0a, 0x7f}), "00 0a 7f ");
  EXPECT_EQ(dump({0x80, 0xab, 0xff}), "80 ab ff ");
  EXPECT_EQ(dump({}), "");
}

TEST(FormatHexdump, EveryByteValue)
{
  std::array<unsigned char, 256> in;
  for (std::size_t i = 0; i < in.size(); ++i) {
    in[i] = static_cast<unsigned char>(i);
  }
  std::array<char, HEXDUMP_SIZE> out;
  std::size_t n = format_hexdump(in, out);
  ASSERT_EQ(n, 3 * in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    char expected[4];
    std::snprintf(expected, sizeof expected, "%02x ", static_cast<unsigned>(i));
    ASSERT_EQ(std::string(out.data() + 3 * i, 3), expected) << i;
  }
}

} // namespace
} // namespace serterm
