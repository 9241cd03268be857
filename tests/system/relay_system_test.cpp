// End-to-end tests of the relay: the serterm binary between a line pty and a
// keyboard pty, checking bytes, texts, exit statuses and terminal settings.
#include "support/pty_support.hpp"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace serterm::testing {
namespace {

std::string
random_bytes(std::size_t size, unsigned seed, unsigned char avoid)
{
  std::mt19937 random(seed);
  std::string data(size, '\0');
  for (char& c : data) {
    unsigned char byte;
    do {
      byte = static_cast<unsigned char>(random());
    } while (byte == avoid);
    c = static_cast<char>(byte);
  }
  return data;
}

// Ends a session through the escape prompt's q command.
int
quit_session(session& s, std::string* out = nullptr, std::string* err = nullptr)
{
  EXPECT_TRUE(write_all_bounded(s.keyboard.master, "\x1d"));
  std::string prompt;
  EXPECT_TRUE(read_until(s.proc.err, prompt, "serterm> "));
  EXPECT_TRUE(wait_cooked(s.keyboard.slave));
  EXPECT_TRUE(write_all_bounded(s.keyboard.master, "q\n"));
  int status = end_session(s, out, err);
  if (err != nullptr) {
    *err = prompt + *err;
  }
  return status;
}

TEST(Relay, PlainModeBothWaysUnchanged)
{
  session s = start_session({"-115200"});
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "AT\r"));
  std::string line;
  ASSERT_TRUE(read_at_least(s.line.master, line, 3));
  EXPECT_EQ(line, "AT\r");

  ASSERT_TRUE(write_all_bounded(s.line.master, "\r\nOK\r\n\x80\xff"));
  std::string screen;
  ASSERT_TRUE(read_at_least(s.keyboard.master, screen, 8));
  read_for(s.keyboard.master, screen, milliseconds(100));
  EXPECT_EQ(screen, "\r\nOK\r\n\x80\xff"); // and no echo of AT

  std::string err;
  EXPECT_EQ(quit_session(s, nullptr, &err), 0);
  EXPECT_EQ(err, "serterm> ");
}

TEST(Relay, SettingsDuringTheRun)
{
  session s = start_session({"-57600"});
  termios line = settings_of(s.line.slave);
  EXPECT_EQ(line.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
  EXPECT_EQ(line.c_oflag, 0U);
  EXPECT_EQ(line.c_lflag, 0U);
  EXPECT_EQ(line.c_cflag & ~static_cast<tcflag_t>(CBAUD | CBAUDEX),
            static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
  EXPECT_EQ(cfgetospeed(&line), B57600);
  EXPECT_EQ(cfgetispeed(&line), B57600);

  termios raw = s.keyboard_before;
  cfmakeraw(&raw);
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  std::string why;
  EXPECT_TRUE(same_settings(settings_of(s.keyboard.slave), raw, &why)) << why;
  EXPECT_EQ(quit_session(s), 0);
}

TEST(Relay, LineFoundWithVminAboveOneStillShowsEveryByte)
{
  pty_pair probe = open_pty();
  termios found = settings_of(probe.slave);
  close_pty(probe);
  found.c_cc[VMIN] = 3;
  found.c_cc[VTIME] = 0;
  session_setup setup;
  setup.line = &found;
  session s = start_session({}, setup);
  EXPECT_EQ(settings_of(s.line.slave).c_cc[VMIN], 1);
  EXPECT_EQ(settings_of(s.line.slave).c_cc[VTIME], 0);
  ASSERT_TRUE(write_all_bounded(s.line.master, "z"));
  std::string screen;
  EXPECT_TRUE(read_at_least(s.keyboard.master, screen, 1));
  EXPECT_EQ(screen, "z");
  EXPECT_EQ(quit_session(s), 0); // and VMIN 3 is back afterwards
}

TEST(Relay, UnavailableSpeedFallsBackTo9600)
{
  session s = start_session({"-300"});
  termios line = settings_of(s.line.slave);
  EXPECT_EQ(cfgetospeed(&line), B9600);
  std::string err;
  EXPECT_EQ(quit_session(s, nullptr, &err), 0);
  EXPECT_EQ(err, "300 bps unavailable.  9600 bps selected.\nserterm> ");

  s = start_session({"-99999999999"});
  err.clear();
  EXPECT_EQ(quit_session(s, nullptr, &err), 0);
  EXPECT_EQ(err, "2147483647 bps unavailable.  9600 bps selected.\nserterm> ");
}

TEST(Relay, StartFailuresChangeNothing)
{
  pty_pair keyboard = open_pty();
  termios before = settings_of(keyboard.slave);
  spawn_options how;
  how.keyboard_path = keyboard.slave_path;
  child c = spawn_serterm({"/nonexistent/tty"}, how);
  std::string err;
  int status = finish(c, nullptr, &err);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_EQ(err, "can't open /nonexistent/tty\n");

  how.argv0 = "./st";
  c = spawn_serterm({"-h2", "/dev/null"}, how);
  err.clear();
  status = finish(c, nullptr, &err);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_EQ(err.rfind("Usage: ./st [option...] modem\n", 0), 0U) << err;
  EXPECT_NE(err.find("\t./st -9600 -d0 -h0 -r0 -t 100000 -e']' /dev/cuaa0\n"),
            std::string::npos);

  c = spawn_serterm({""}, how);
  err.clear();
  status = finish(c, nullptr, &err);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_EQ(err, "can't open \n");

  std::string why;
  EXPECT_TRUE(same_settings(settings_of(keyboard.slave), before, &why)) << why;
  close_pty(keyboard);
}

TEST(Relay, HexdumpWithIdleLineBreak)
{
  // A two-second idle time leaves room to see the text before the break.
  session s = start_session({"-d1", "-t", "2000000"});
  ASSERT_TRUE(write_all_bounded(s.line.master, "AT\x80\xff"));
  std::string out;
  ASSERT_TRUE(read_until(s.proc.out, out, "41 54 80 ff "));
  EXPECT_EQ(out, "41 54 80 ff ");
  std::string err;
  read_for(s.proc.err, err, milliseconds(300));
  EXPECT_EQ(err, "");
  ASSERT_TRUE(read_until(s.proc.err, err, "\r\n"));
  EXPECT_EQ(err, "\r\n");
  std::string screen;
  read_for(s.keyboard.master, screen, milliseconds(50));
  EXPECT_EQ(screen, ""); // hex goes to standard output only
  EXPECT_EQ(quit_session(s), 0);
}

TEST(Relay, MapCrOnReceivedData)
{
  session s = start_session({"-r1"});
  ASSERT_TRUE(write_all_bounded(s.line.master, "a\rb\r\n"));
  std::string screen;
  ASSERT_TRUE(read_until(s.keyboard.master, screen, "b\r\n"));
  EXPECT_EQ(screen, "a\r\nb\r\n");

  // CR and LF in separate reads show as one CR LF.
  screen.clear();
  ASSERT_TRUE(write_all_bounded(s.line.master, "OK\r"));
  ASSERT_TRUE(read_until(s.keyboard.master, screen, "OK\r\n"));
  ASSERT_TRUE(write_all_bounded(s.line.master, "\nnext"));
  ASSERT_TRUE(read_until(s.keyboard.master, screen, "next"));
  EXPECT_EQ(screen, "OK\r\nnext");

  // A full chunk of CRs doubles, nothing dropped.
  screen.clear();
  ASSERT_TRUE(write_all_bounded(s.line.master, std::string(8192, '\r')));
  ASSERT_TRUE(read_at_least(s.keyboard.master, screen, 16384));
  read_for(s.keyboard.master, screen, milliseconds(100));
  std::string expected;
  for (int i = 0; i < 8192; ++i) {
    expected += "\r\n";
  }
  EXPECT_EQ(screen, expected);
  EXPECT_EQ(quit_session(s), 0);
}

TEST(Relay, HalfDuplexEchoesThroughMapping)
{
  session s = start_session({"-h1", "-r1"});
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "\r"));
  std::string line;
  std::string screen;
  ASSERT_TRUE(read_at_least(s.line.master, line, 1));
  ASSERT_TRUE(read_at_least(s.keyboard.master, screen, 2));
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "\n"));
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "x"));
  ASSERT_TRUE(read_at_least(s.line.master, line, 3));
  ASSERT_TRUE(read_until(s.keyboard.master, screen, "x"));
  EXPECT_EQ(line, "\r\nx");   // the line gets the bytes as typed
  EXPECT_EQ(screen, "\r\nx"); // the typed CR LF shows once

  EXPECT_EQ(quit_session(s), 0);

  s = start_session({"-h1"});
  ASSERT_TRUE(write_all_bounded(s.keyboard.master, "a\r"));
  screen.clear();
  ASSERT_TRUE(read_at_least(s.keyboard.master, screen, 2));
  EXPECT_EQ(screen, "a\r");
  EXPECT_EQ(quit_session(s), 0);
}

TEST(Relay, EndOfKeyboardInputExitsQuietly)
{
  pty_pair line = open_pty();
  termios before = settings_of(line.slave);
  int keys[2];
  ASSERT_EQ(pipe(keys), 0);
  spawn_options how;
  how.stdin_fd = keys[0];
  child c = spawn_serterm({line.slave_path}, how);
  close(keys[0]);
  ASSERT_TRUE(write_all_bounded(keys[1], "hello"));
  close(keys[1]);
  std::string got;
  EXPECT_TRUE(read_at_least(line.master, got, 5));
  EXPECT_EQ(got, "hello");
  std::string err;
  int status = finish(c, nullptr, &err);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(err, "");
  std::string why;
  EXPECT_TRUE(same_settings(settings_of(line.slave), before, &why)) << why;
  close_pty(line);
}

TEST(Relay, LineHangupEndsWithMessageAndStatusOne)
{
  session s = start_session({});
  close(s.line.master);
  s.line.master = -1;
  std::string err;
  int status = finish(s.proc, nullptr, &err);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(err, "serterm: line closed\n");
  // A hung-up pty has no settings left to read; the keyboard must be back.
  std::string why;
  EXPECT_TRUE(
      same_settings(settings_of(s.keyboard.slave), s.keyboard_before, &why))
      << why;
  close_pty(s.line);
  close_pty(s.keyboard);
}

TEST(Relay, FullLineQueueLosesNothing)
{
  session s = start_session({"-115200"});
  std::string paste = random_bytes(64 * 1024, 7, 0x1d);
  bool written = false;
  std::thread typist([&] {
    written = write_all_bounded(s.keyboard.master, paste, milliseconds(30000));
  });
  // Leave the line unread long enough for its queue to fill.
  std::this_thread::sleep_for(milliseconds(500));
  std::string line;
  EXPECT_TRUE(
      read_at_least(s.line.master, line, paste.size(), milliseconds(30000)));
  typist.join();
  EXPECT_TRUE(written);
  read_for(s.line.master, line, milliseconds(100));
  EXPECT_EQ(line.size(), paste.size());
  EXPECT_TRUE(line == paste);
  EXPECT_EQ(quit_session(s), 0);
}

TEST(Relay, StallingEchoDeviceDoesNotDeadlock)
{
  session s = start_session({"-115200"});
  std::string paste = random_bytes(64 * 1024, 11, 0x1d);
  std::string device_saw;
  std::atomic<bool> stop{false};
  // The device echoes every byte and reads nothing more until its echo is
  // taken: if serterm stopped reading the line while its own writes wait,
  // both would block.
  std::thread device([&] {
    while (!stop && device_saw.size() < paste.size()) {
      std::string chunk;
      read_for(s.line.master, chunk, milliseconds(10));
      device_saw += chunk;
      if (!write_all_bounded(s.line.master, chunk, milliseconds(30000))) {
        return;
      }
    }
  });
  std::string screen;
  std::size_t sent = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (screen.size() < paste.size() &&
         std::chrono::steady_clock::now() < end) {
    if (sent < paste.size()) {
      ssize_t n = write(s.keyboard.master, paste.data() + sent,
                        std::min<std::size_t>(4096, paste.size() - sent));
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      }
    }
    read_for(s.keyboard.master, screen, milliseconds(5));
  }
  stop = true;
  device.join();
  EXPECT_EQ(device_saw.size(), paste.size());
  EXPECT_TRUE(device_saw == paste);
  EXPECT_EQ(screen.size(), paste.size());
  EXPECT_TRUE(screen == paste);
  EXPECT_EQ(quit_session(s), 0);
}

TEST(Relay, TerminationSignalsRestoreBothTerminals)
{
  for (int sig : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
    session s = start_session({"-19200"});
    ASSERT_EQ(kill(s.proc.pid, sig), 0);
    std::string err;
    int status = end_session(s, nullptr, &err);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig)
        << sig << " " << status;
    EXPECT_EQ(err, "");
  }
}

TEST(Relay, BrokenHexdumpPipeRestoresAndDiesBySigpipe)
{
  session s = start_session({"-d1"});
  close(s.proc.out);
  s.proc.out = -1;
  ASSERT_TRUE(write_all_bounded(s.line.master, "data"));
  std::string err;
  int status = end_session(s, nullptr, &err);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
  EXPECT_EQ(err, "");
}

TEST(Relay, NegativeTimeoutEndsAtSelectFailed)
{
  session_setup setup;
  setup.wait_for_raw = false;
  session s = start_session({"-t", "-5"}, setup);
  std::string err;
  int status = end_session(s, nullptr, &err);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(err, "serterm: select failed\n");
}

} // namespace
} // namespace serterm::testing
