// Tests of the option scan and the usage text.
#include "front_end/options.hpp"
#include "support/session.hpp"

#include <climits>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <vector>

namespace serterm {
namespace {

struct scan_result {
  bool ok;
  options opts;
};

scan_result
scan(std::initializer_list<const char*> words)
{
  std::vector<char*> args;
  for (const char* word : words) {
    args.push_back(const_cast<char*>(word));
  }
  options opts;
  bool ok = scan_options(args, opts);
  return {ok, opts};
}

TEST(ScanOptions, DefaultsWithNoWords)
{
  auto r = scan({});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.opts.speed_bps, 9600);
  EXPECT_STREQ(r.opts.device, "/dev/cuaa0");
  EXPECT_EQ(r.opts.modes, 0);
  EXPECT_EQ(r.opts.flush_timeout_us, 100000);
  EXPECT_EQ(r.opts.escape_char, 0x1D);
}

TEST(ScanOptions, SpeedWordsReadWhole)
{
  EXPECT_EQ(scan({"-115200", "/dev/ttyS1"}).opts.speed_bps, 115200);
  EXPECT_STREQ(scan({"-115200", "/dev/ttyS1"}).opts.device, "/dev/ttyS1");
  EXPECT_EQ(scan({"-96x"}).opts.speed_bps, 96);
  EXPECT_EQ(scan({"-9600", "-19200"}).opts.speed_bps, 19200);
  EXPECT_EQ(scan({"-5"}).opts.speed_bps, 5);
  EXPECT_EQ(scan({"-0"}).opts.speed_bps, 0);
  EXPECT_TRUE(scan({"-0"}).ok);
}

TEST(ScanOptions, SpeedSaturatesInsteadOfOverflowing)
{
  EXPECT_EQ(scan({"-99999999999"}).opts.speed_bps, INT_MAX);
  EXPECT_EQ(scan({"-2147483648"}).opts.speed_bps, INT_MAX);
  EXPECT_EQ(scan({"-2147483647"}).opts.speed_bps, INT_MAX);
}

TEST(ScanOptions, HexdumpDecidesByLowestBitOfThirdCharacter)
{
  EXPECT_EQ(scan({"-d"}).opts.modes, MODE_HEXDUMP);
  EXPECT_EQ(scan({"-d", "-d"}).opts.modes, 0);
  EXPECT_EQ(scan({"-d1"}).opts.modes, MODE_HEXDUMP);
  EXPECT_EQ(scan({"-d1", "-d0"}).opts.modes, 0);
  EXPECT_EQ(scan({"-d1", "-d2"}).opts.modes, 0);
  EXPECT_EQ(scan({"-d3"}).opts.modes, MODE_HEXDUMP);
  EXPECT_EQ(scan({"-d1", "-dx"}).opts.modes, 0);
  EXPECT_EQ(scan({"-dy"}).opts.modes, MODE_HEXDUMP);
  EXPECT_TRUE(scan({"-d%"}).ok);
}

TEST(ScanOptions, HalfDuplexAndMapCrAcceptOnlyOneOrZero)
{
  EXPECT_EQ(scan({"-h"}).opts.modes, MODE_HALF_DUPLEX);
  EXPECT_EQ(scan({"-h1", "-h0"}).opts.modes, 0);
  EXPECT_EQ(scan({"-h1xyz"}).opts.modes, MODE_HALF_DUPLEX);
  EXPECT_EQ(scan({"-r"}).opts.modes, MODE_MAP_CR);
  EXPECT_EQ(scan({"-r", "-r"}).opts.modes, 0);
  EXPECT_EQ(scan({"-r1", "-h1", "-d1"}).opts.modes,
            MODE_MAP_CR | MODE_HALF_DUPLEX | MODE_HEXDUMP);
  EXPECT_FALSE(scan({"-h2"}).ok);
  EXPECT_FALSE(scan({"-hx"}).ok);
  EXPECT_FALSE(scan({"-r2"}).ok);
}

TEST(ScanOptions, TimeoutConsumesTheNextWordWhateverItIs)
{
  EXPECT_EQ(scan({"-t", "500"}).opts.flush_timeout_us, 500);
  EXPECT_EQ(scan({"-t5", "500"}).opts.flush_timeout_us, 500);
  EXPECT_EQ(scan({"-t", "0"}).opts.flush_timeout_us, 0);
  EXPECT_EQ(scan({"-t", "-20"}).opts.flush_timeout_us, -20);

  auto r = scan({"-t", "-d1"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.opts.flush_timeout_us, 0);
  EXPECT_EQ(r.opts.modes, 0);

  r = scan({"-t", "/dev/ttyS1"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.opts.flush_timeout_us, 0);
  EXPECT_STREQ(r.opts.device, "/dev/cuaa0");

  EXPECT_FALSE(scan({"-t"}).ok);
  EXPECT_FALSE(scan({"-d", "-t"}).ok);
}

TEST(ScanOptions, TimeoutSaturatesAtIntBounds)
{
  EXPECT_EQ(scan({"-t", "99999999999"}).opts.flush_timeout_us, INT_MAX);
  EXPECT_EQ(scan({"-t", "-99999999999"}).opts.flush_timeout_us, INT_MIN);
  EXPECT_EQ(scan({"-t", "2147483647"}).opts.flush_timeout_us, INT_MAX);
  EXPECT_EQ(scan({"-t", "-2147483648"}).opts.flush_timeout_us, INT_MIN);
}

TEST(ScanOptions, EscapeIsThirdCharacterMasked)
{
  EXPECT_EQ(scan({"-e]"}).opts.escape_char, 0x1D);
  EXPECT_EQ(scan({"-ea"}).opts.escape_char, 0x01);
  EXPECT_EQ(scan({"-eA"}).opts.escape_char, 0x01);
  EXPECT_EQ(scan({"-e@"}).opts.escape_char, 0x00);
  EXPECT_EQ(scan({"-e\xff"}).opts.escape_char, 0x1F);
  EXPECT_FALSE(scan({"-e"}).ok);
  EXPECT_FALSE(scan({"-e", "]"}).ok);
}

TEST(ScanOptions, MalformedWords)
{
  EXPECT_FALSE(scan({"-x"}).ok);
  EXPECT_FALSE(scan({"-"}).ok);
  EXPECT_FALSE(scan({"--help"}).ok);
  EXPECT_FALSE(scan({"-d1", "-q", "/dev/ttyS1"}).ok);
}

TEST(ScanOptions, ScanStopsAtFirstNonOptionWord)
{
  auto r = scan({"/dev/ttyS1", "-h"});
  ASSERT_TRUE(r.ok);
  EXPECT_STREQ(r.opts.device, "/dev/ttyS1");
  EXPECT_EQ(r.opts.modes, 0);

  r = scan({"-h", "/dev/ttyS1", "-x", "more"});
  ASSERT_TRUE(r.ok);
  EXPECT_STREQ(r.opts.device, "/dev/ttyS1");

  r = scan({"", "-h"});
  ASSERT_TRUE(r.ok);
  EXPECT_STREQ(r.opts.device, "");
  EXPECT_EQ(r.opts.modes, 0);
}

TEST(ReadDecimal, FollowsAtoiWithinRange)
{
  EXPECT_EQ(read_decimal("123"), 123);
  EXPECT_EQ(read_decimal("  -42xyz"), -42);
  EXPECT_EQ(read_decimal("+7"), 7);
  EXPECT_EQ(read_decimal("abc"), 0);
  EXPECT_EQ(read_decimal(""), 0);
  EXPECT_EQ(read_decimal("-"), 0);
  EXPECT_EQ(read_decimal("2147483648"), INT_MAX);
  EXPECT_EQ(read_decimal("-2147483649"), INT_MIN);
  EXPECT_EQ(read_decimal("000000000000000000012"), 12);
}

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
