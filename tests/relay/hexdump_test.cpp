// Tests of the hexdump text.
#include "relay/hexdump.hpp"
#include "support/oracles.hpp"
#include "support/pty_kit.hpp"

#include <gtest/gtest.h>
#include <string>

namespace serterm {
namespace {

std::string
dump(std::string_view bytes)
{
  std::array<char, HEXDUMP_SIZE> out;
  std::size_t n = format_hexdump(testing::bytes_of(bytes), out);
  return std::string(out.data(), n);
}

TEST(FormatHexdump, TwoLowerCaseDigitsAndBlankPerByte)
{
  EXPECT_EQ(dump("\x41\x54"), "41 54 ");
  EXPECT_EQ(dump(std::string_view("\x00\x0a\x7f", 3)), "00 0a 7f ");
  EXPECT_EQ(dump("\x80\xab\xff"), "80 ab ff ");
  EXPECT_EQ(dump(""), "");
}

TEST(FormatHexdump, EveryByteValue)
{
  EXPECT_EQ(dump(testing::all_bytes()),
            testing::hex_text(testing::all_bytes()));
}

} // namespace
} // namespace serterm
