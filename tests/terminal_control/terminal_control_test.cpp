// Tests of the speed table, the modem-status words and the line set-up on a
// pseudo-terminal.
#include "common/common.hpp"
#include "support/session.hpp"
#include "terminal_control/terminal_control.hpp"

#include <gtest/gtest.h>
#include <string>
#include <sys/ioctl.h>

namespace serterm {
namespace {

TEST(SpeedCode, TableSpeedsAreSilent)
{
  const std::pair<int, speed_t> expected[] = {
      {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
      {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
  };
  for (auto [bps, code] : expected) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(speed_code(bps), code) << bps;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << bps;
  }
}

TEST(SpeedCode, OtherSpeedsFallBackTo9600WithMessage)
{
  for (int bps : {300, 600, 230400, 0, 5, -1, 2147483647}) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(speed_code(bps), B9600);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              std::to_string(bps) + " bps unavailable.  9600 bps selected.\n");
  }
}

TEST(FormatModemStatus, SevenWordsInOrderCasedByBit)
{
  std::array<char, MODEM_STATUS_TEXT_SIZE> text{};
  std::size_t n = format_modem_status(0, text);
  EXPECT_STREQ(text.data(), "enable|dtr|rts|cts|dcd|ri|dsr\n");
  EXPECT_EQ(n, std::string(text.data()).size());

  format_modem_status(TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR, text);
  EXPECT_STREQ(text.data(), "enable|DTR|RTS|CTS|dcd|ri|DSR\n");

  format_modem_status(TIOCM_LE | TIOCM_CAR | TIOCM_RNG, text);
  EXPECT_STREQ(text.data(), "ENABLE|dtr|rts|cts|DCD|RI|dsr\n");

  format_modem_status(~0, text);
  EXPECT_STREQ(text.data(), "ENABLE|DTR|RTS|CTS|DCD|RI|DSR\n");
}

TEST(SetupLine, RawEightBitsAtTheSpeedThenRestored)
{
  testing::pty_pair pty;
  ASSERT_TRUE(testing::open_pty(pty));
  termios before = testing::settings_of(pty.slave);
  before.c_cc[VMIN] = 3;
  before.c_cc[VTIME] = 0;
  ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);
  before = testing::settings_of(pty.slave);

  int fd = open_line(pty.slave_path.c_str());
  setup_line(fd, 115200);
  termios during = testing::settings_of(pty.slave);
  EXPECT_EQ(during.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
  EXPECT_EQ(during.c_oflag, 0U);
  EXPECT_EQ(during.c_cflag & ~static_cast<tcflag_t>(CBAUD | CBAUDEX),
            static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
  EXPECT_EQ(during.c_lflag, 0U);
  EXPECT_EQ(cfgetispeed(&during), B115200);
  EXPECT_EQ(cfgetospeed(&during), B115200);
  EXPECT_EQ(during.c_line, before.c_line);
  for (std::size_t i = 0; i < NCCS; ++i) {
    unsigned char want = i == VMIN ? 1 : 0;
    EXPECT_EQ(during.c_cc[i], want) << "c_cc[" << i << "]";
  }

  close_line(fd);
  std::string why;
  EXPECT_TRUE(
      testing::same_settings(testing::settings_of(pty.slave), before, &why))
      << why;
  testing::close_pty(pty);
}

TEST(ShowModemStatus, PseudoTerminalReportsWhyNot)
{
  testing::pty_pair pty;
  ASSERT_TRUE(testing::open_pty(pty));
  const char* saved = progname;
  progname = "st";
  ::testing::internal::CaptureStderr();
  show_modem_status(pty.slave);
  std::string text = ::testing::internal::GetCapturedStderr();
  progname = saved;
  EXPECT_EQ(text, "st: can't read modem status: Inappropriate ioctl for "
                  "device\n");
  testing::close_pty(pty);
}

} // namespace
} // namespace serterm
