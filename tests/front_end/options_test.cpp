// Tests of the option scan and the usage text.
#include "front_end/options.hpp"
#include "support/oracles.hpp"

#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <vector>

namespace serterm {
namespace {

// Words to scan, whether the scan accepts them, and, if it does, every
// value it must give (the defaults where a row names none).
struct scan_row {
  std::vector<const char*> words;
  bool ok;
  options want{};
};

void
expect_scans(std::initializer_list<scan_row> rows)
{
  for (const scan_row& row : rows) {
    std::string shown;
    std::vector<char*> args;
    for (const char* word : row.words) {
      shown += std::string(" '") + word + "'";
      args.push_back(const_cast<char*>(word));
    }
    SCOPED_TRACE(shown);
    options got;
    ASSERT_EQ(scan_options(args, got), row.ok);
    if (row.ok) {
      EXPECT_EQ(got.speed_bps, row.want.speed_bps);
      EXPECT_STREQ(got.device, row.want.device);
      EXPECT_EQ(got.modes, row.want.modes);
      EXPECT_EQ(got.flush_timeout_us, row.want.flush_timeout_us);
      EXPECT_EQ(got.escape_char, row.want.escape_char);
    }
  }
}

constexpr int HEX = MODE_HEXDUMP;
constexpr int HALF = MODE_HALF_DUPLEX;
constexpr int MAP = MODE_MAP_CR;

// clang-format off
TEST(ScanOptions, DefaultsWithNoWords)
{
  expect_scans({{{}, true, {.speed_bps = 9600, .device = "/dev/cuaa0", .modes = 0,
                            .flush_timeout_us = 100000, .escape_char = 0x1D}}});
}

TEST(ScanOptions, SpeedWordsReadWhole)
{
  expect_scans({{{"-115200", "/dev/ttyS1"}, true, {.speed_bps = 115200, .device = "/dev/ttyS1"}},
                {{"-96x"}, true, {.speed_bps = 96}},
                {{"-9600", "-19200"}, true, {.speed_bps = 19200}},
                {{"-5"}, true, {.speed_bps = 5}},
                {{"-0"}, true, {.speed_bps = 0}}});
}

TEST(ScanOptions, SpeedSaturatesInsteadOfOverflowing)
{
  expect_scans({{{"-99999999999"}, true, {.speed_bps = INT_MAX}},
                {{"-2147483648"}, true, {.speed_bps = INT_MAX}},
                {{"-2147483647"}, true, {.speed_bps = INT_MAX}},
                {{"-4294967296"}, true, {.speed_bps = INT_MAX}}});
}

TEST(ScanOptions, HexdumpDecidesByLowestBitOfThirdCharacter)
{
  expect_scans({{{"-d"}, true, {.modes = HEX}}, {{"-d", "-d"}, true},
                {{"-d1"}, true, {.modes = HEX}}, {{"-d1", "-d0"}, true},
                {{"-d1", "-d2"}, true}, {{"-d3"}, true, {.modes = HEX}},
                {{"-d1", "-dx"}, true}, {{"-dy"}, true, {.modes = HEX}},
                {{"-d%"}, true, {.modes = HEX}}});
}

TEST(ScanOptions, HalfDuplexAndMapCrAcceptOnlyOneOrZero)
{
  expect_scans({{{"-h"}, true, {.modes = HALF}}, {{"-h1", "-h0"}, true},
                {{"-h1xyz"}, true, {.modes = HALF}}, {{"-r"}, true, {.modes = MAP}},
                {{"-r", "-r"}, true}, {{"-r1", "-h1", "-d1"}, true, {.modes = MAP | HALF | HEX}},
                {{"-h2"}, false}, {{"-hx"}, false}, {{"-r2"}, false}});
}

TEST(ScanOptions, TimeoutConsumesTheNextWordWhateverItIs)
{
  expect_scans({{{"-t", "500"}, true, {.flush_timeout_us = 500}},
                {{"-t5", "500"}, true, {.flush_timeout_us = 500}},
                {{"-t", "0"}, true, {.flush_timeout_us = 0}},
                {{"-t", "-20"}, true, {.flush_timeout_us = -20}},
                {{"-t", "-d1"}, true, {.flush_timeout_us = 0}},
                {{"-t", "/dev/ttyS1"}, true, {.flush_timeout_us = 0}},
                {{"-t"}, false}, {{"-d", "-t"}, false}});
}

TEST(ScanOptions, TimeoutSaturatesAtIntBounds)
{
  expect_scans({{{"-t", "99999999999"}, true, {.flush_timeout_us = INT_MAX}},
                {{"-t", "-99999999999"}, true, {.flush_timeout_us = INT_MIN}},
                {{"-t", "2147483647"}, true, {.flush_timeout_us = INT_MAX}},
                {{"-t", "-2147483648"}, true, {.flush_timeout_us = INT_MIN}}});
}

TEST(ScanOptions, EscapeIsThirdCharacterMasked)
{
  expect_scans({{{"-e]"}, true, {.escape_char = 0x1D}}, {{"-ea"}, true, {.escape_char = 0x01}},
                {{"-eA"}, true, {.escape_char = 0x01}}, {{"-e@"}, true, {.escape_char = 0x00}},
                {{"-e\xff"}, true, {.escape_char = 0x1F}},
                {{"-e"}, false}, {{"-e", "]"}, false}});
}

TEST(ScanOptions, MalformedWords)
{
  expect_scans({{{"-x"}, false}, {{"-"}, false}, {{"--help"}, false},
                {{"-d1", "-q", "/dev/ttyS1"}, false}});
}

TEST(ScanOptions, ScanStopsAtFirstNonOptionWord)
{
  expect_scans({{{"/dev/ttyS1", "-h"}, true, {.device = "/dev/ttyS1"}},
                {{"-h", "/dev/ttyS1", "-x", "more"}, true, {.device = "/dev/ttyS1", .modes = HALF}},
                {{"", "-h"}, true, {.device = ""}}});
}

TEST(ReadDecimal, FollowsAtoiWithinRange)
{
  const std::pair<const char*, int> rows[] = {
      {"123", 123}, {"  -42xyz", -42}, {"+7", 7}, {"abc", 0}, {"", 0}, {"-", 0},
      {"2147483648", INT_MAX}, {"-2147483649", INT_MIN}, {"000000000000000000012", 12}};
  for (auto [text, value] : rows) {
    EXPECT_EQ(read_decimal(text), value) << text;
  }
}
// clang-format on

TEST(PrintUsage, TextIsExact)
{
  const char* saved = progname;
  progname = "./serterm";
  ::testing::internal::CaptureStderr();
  print_usage();
  std::string text = ::testing::internal::GetCapturedStderr();
  progname = saved;
  EXPECT_EQ(text, testing::usage_text("./serterm"));
}

} // namespace
} // namespace serterm
