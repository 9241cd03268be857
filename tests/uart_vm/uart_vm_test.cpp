// serterm on a real UART driver: one guest boot under QEMU runs every
// scenario, the guest's agent playing the user and this program the device
// at the other end of the guest's /dev/ttyS1.
#include "protocol.hpp"
#include "vm.hpp"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace uart_vm {

namespace {

using namespace serterm::testing;

vm guest;
// The run's figures, printed as they come and written to
// uart_vm_summary.txt at the end, where scripts/test shows them.
std::string summary;
// Set once the agent failed to answer: later answers could belong to
// earlier commands, so every later scenario fails at once.
bool guest_lost = false;

// What the scenario's serterm should have written so far, to its screen
// and to the device, and all the device has received since it started:
// when serterm ends, both streams are checked whole.
struct scenario_streams {
  std::string screen_expected;
  std::string line_expected;
  std::string line_received;
};
scenario_streams streams;

constexpr const char* LINE = "/dev/ttyS1";
// How long one step waits for the screen, the device or the host's view.
constexpr milliseconds STEP_WAIT{5000};
constexpr char ESCAPE = '\x1d';

__attribute__((format(printf, 1, 2))) void
report(const char* format, ...)
{
  std::array<char, 1024> text;
  va_list args;
  va_start(args, format);
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  std::printf("uart_vm: %s\n", text.data());
  summary += std::string("uart_vm: ") + text.data() + "\n";
}

long
ms_since(steady::time_point start)
{
  return static_cast<long>(
      std::chrono::duration_cast<milliseconds>(steady::now() - start).count());
}

// Checks that the whole stream `got` is `want`, showing where they part.
void
expect_whole(const char* what, const std::string& got, const std::string& want)
{
  EXPECT_EQ(difference(got, want), "") << what;
}

std::string
ask(const std::string& command, milliseconds limit = milliseconds(20000),
    const std::function<void(const std::string&)>& on_note = {},
    const std::function<void()>& idle = {})
{
  if (guest_lost) {
    ADD_FAILURE() << "the guest's agent stopped answering earlier";
    return "";
  }
  std::string answer = ask_agent(guest, command, limit, on_note, idle);
  if (answer.empty()) {
    guest_lost = true;
    ADD_FAILURE() << "no answer to \"" << command.substr(0, 60) << "\" within "
                  << limit.count() << " ms; console:\n"
                  << console_tail(guest);
  }
  return answer;
}

void
type_keys(const std::string& keys)
{
  EXPECT_EQ(ask("type " + to_hex(keys)),
            "typed " + std::to_string(keys.size()) + " peak 0");
}

// Waits until serterm's screen, since the last "clear", holds `text`.
bool
expect_screen(const std::string& text, milliseconds limit = STEP_WAIT)
{
  std::string answer =
      ask("expect " + to_hex(text) + " " + std::to_string(limit.count()),
          limit + milliseconds(10000));
  if (answer == "found") {
    return true;
  }
  ADD_FAILURE() << "screen lacks \"" << printable(text) << "\"; it shows \""
                << printable(from_hex(answer.substr(answer.find(' ') + 1)))
                << "\"";
  return false;
}

// Waits for `text` on serterm's screen as the next thing serterm shows.
bool
expect_shown(const std::string& text)
{
  streams.screen_expected += text;
  return expect_screen(text);
}

bool
start_serterm(const std::string& args)
{
  // Anything still arriving was sent before this serterm started.
  std::ignore = drain(guest.line.master, streams.line_received);
  streams = {};
  std::string answer = ask("spawn " + args);
  EXPECT_EQ(answer, "raw") << "serterm " << args;
  return answer == "raw";
}

// Opens the escape prompt, enters `command_line` and waits for `response`
// after it on the screen, then for the keyboard to be raw again.
void
escape_command(const std::string& command_line, const std::string& response)
{
  EXPECT_EQ(ask("clear"), "ok");
  type_keys(std::string(1, ESCAPE));
  if (!expect_screen("serterm> ")) {
    return;
  }
  type_keys(command_line + "\n");
  if (expect_shown("serterm> " + command_line + "\r\n" + response) &&
      command_line != "q") {
    // Keys typed before that would be seen by the cooked keyboard.
    EXPECT_EQ(ask("waitraw"), "raw");
  }
}

// Quits serterm through its prompt and checks that it exits 0, then its
// whole screen and all the device received, allowing `settle` for bytes
// beyond those expected to arrive.
void
quit_serterm(milliseconds settle = milliseconds(20))
{
  escape_command("q", "");
  std::string answer = ask("wait 10000");
  std::size_t cut = answer.rfind(' ');
  EXPECT_EQ(answer.substr(0, cut), "exit 0");
  expect_whole("screen", from_hex(answer.substr(cut + 1)),
               streams.screen_expected);
  std::ignore = read_until(guest.line.master, streams.line_received,
                           at_least(streams.line_expected.size()), STEP_WAIT);
  read_for(guest.line.master, streams.line_received, settle);
  expect_whole("line", streams.line_received, streams.line_expected);
}

std::string
describe(const termios& t)
{
  std::ostringstream out;
  speed_t speed = cfgetospeed(&t);
  out << "speed code " << speed;
  for (const speed_entry& entry : LINE_SPEEDS) {
    if (entry.code == speed) {
      out << " (" << entry.bps << " bps)";
    }
  }
  out << ", " << 5 + ((t.c_cflag & CSIZE) >> 4) << " bits";
  out << ((t.c_cflag & PARENB) == 0   ? ", no parity"
          : (t.c_cflag & PARODD) != 0 ? ", odd parity"
                                      : ", even parity");
  out << ((t.c_cflag & CSTOPB) != 0 ? ", 2 stop bits" : ", 1 stop bit");
  out << ((t.c_cflag & CRTSCTS) != 0 ? ", RTS/CTS" : "");
  return out.str();
}

constexpr tcflag_t FRAMING = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;

// What the host sees of the guest's line settings, for messages.
std::string
host_view()
{
  return "QEMU applied " + describe(device_line_settings(guest)) +
         "; the host pty shows " + describe(host_pty_settings(guest));
}

// Waits until the host side shows `speed` and `framing` (the CSIZE,
// parity, stop-bit and RTS/CTS bits) as set by the guest's UART: QEMU's
// settings for the host pty must carry them all, and the pty itself the
// speed both ways and the stop bits, all it keeps.
bool
wait_host_framing(speed_t speed, tcflag_t framing)
{
  return eventually(
      [&] {
        termios device = device_line_settings(guest);
        termios pty = host_pty_settings(guest);
        return cfgetospeed(&device) == speed &&
               (device.c_cflag & FRAMING) == framing &&
               cfgetospeed(&pty) == speed && cfgetispeed(&pty) == speed &&
               (pty.c_cflag & CSTOPB) == (framing & CSTOPB);
      },
      STEP_WAIT);
}

// The framing a previous user left on the line: 4800 bps, 7 bits, even
// parity, 2 stop bits; unlike serterm's in every respect but speed.
constexpr tcflag_t PREVIOUS_FRAMING = CS7 | PARENB | CSTOPB;

void
set_previous_framing()
{
  EXPECT_EQ(ask("setline 4800 7 e 2"), "ok");
  EXPECT_TRUE(wait_host_framing(B4800, PREVIOUS_FRAMING)) << host_view();
}

// The driver's settings of the line, from the agent's "attrs" answer.
struct line_attrs {
  tcflag_t iflag = 0;
  tcflag_t oflag = 0;
  tcflag_t cflag = 0;
  tcflag_t lflag = 0;
  speed_t ispeed = 0;
  speed_t ospeed = 0;
  std::string cc;
};

line_attrs
parse_attrs(const std::string& answer)
{
  line_attrs attrs;
  std::array<char, 2 * NCCS + 1> cc{};
  int fields =
      std::sscanf(answer.c_str(), "attrs %x %x %x %x %x %x %64s", &attrs.iflag,
                  &attrs.oflag, &attrs.cflag, &attrs.lflag, &attrs.ispeed,
                  &attrs.ospeed, cc.data());
  EXPECT_EQ(fields, 7) << answer;
  attrs.cc = from_hex(cc.data());
  return attrs;
}

// How much the device has received so far, all that has arrived included.
std::size_t
received_so_far()
{
  std::ignore = drain(guest.line.master, streams.line_received);
  return streams.line_received.size();
}

// Reads what the guest sends until `count` bytes have come after the first
// `from` or `limit` has passed; returns those after `from`.
std::string
receive_on_host(std::size_t from, std::size_t count,
                milliseconds limit = STEP_WAIT)
{
  std::ignore = read_until(guest.line.master, streams.line_received,
                           at_least(from + count), limit);
  return streams.line_received.substr(from);
}

// serterm's speed table: the line speeds but the two at the ends, which it
// does not offer.
constexpr auto SPEED_TABLE = std::span(LINE_SPEEDS).subspan<1, 8>();
static_assert(SPEED_TABLE.front().bps == 1200 &&
              SPEED_TABLE.back().bps == 115200);

TEST(UartVm, EverySpeedOfTheTableReachesTheDriver)
{
  for (const speed_entry& speed : SPEED_TABLE) {
    SCOPED_TRACE(std::to_string(speed.bps) + " bps");
    set_previous_framing();
    if (!start_serterm(std::to_string(-speed.bps) + " " + LINE)) {
      continue;
    }
    EXPECT_TRUE(wait_host_framing(speed.code, CS8)) << host_view();

    // The driver's own record: exactly the raw 8N1 settings asked for.
    line_attrs attrs = parse_attrs(ask("attrs"));
    EXPECT_EQ(attrs.iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(attrs.oflag, 0U);
    EXPECT_EQ(attrs.cflag & ~static_cast<tcflag_t>(CBAUD),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(attrs.lflag, 0U);
    EXPECT_EQ(attrs.ispeed, speed.code);
    EXPECT_EQ(attrs.ospeed, speed.code);
    std::string cc(NCCS, '\0');
    cc[VMIN] = 1;
    EXPECT_EQ(to_hex(attrs.cc), to_hex(cc));
    quit_serterm();
    EXPECT_TRUE(wait_host_framing(B4800, PREVIOUS_FRAMING)) << host_view();
  }
}

TEST(UartVm, UnavailableSpeedGivesTheMessageAnd9600)
{
  for (int bps : {300, 230400}) {
    SCOPED_TRACE(std::to_string(bps) + " bps");
    set_previous_framing();
    if (!start_serterm(std::to_string(-bps) + " " + LINE)) {
      continue;
    }
    // Written before the keyboard went raw: the pty maps its newline.
    EXPECT_TRUE(expect_shown(std::to_string(bps) +
                             " bps unavailable.  9600 bps selected.\r\n"));
    EXPECT_TRUE(wait_host_framing(B9600, CS8)) << host_view();
    quit_serterm();
  }
}

TEST(UartVm, LineSettingsAreRestoredAtExit)
{
  struct previous {
    const char* setline;
    speed_t speed;
    tcflag_t framing;
  };
  for (const previous& before :
       {previous{"setline 4800 7 e 2", B4800, CS7 | PARENB | CSTOPB},
        previous{"setline 57600 6 o 1", B57600, CS6 | PARENB | PARODD},
        previous{"setline 1200 8 n 2", B1200, CS8 | CSTOPB}}) {
    SCOPED_TRACE(before.setline);
    EXPECT_EQ(ask(before.setline), "ok");
    EXPECT_TRUE(wait_host_framing(before.speed, before.framing)) << host_view();
    std::string attrs_before = ask("attrs");
    if (!start_serterm(std::string("-115200 ") + LINE)) {
      continue;
    }
    EXPECT_TRUE(wait_host_framing(B115200, CS8)) << host_view();
    quit_serterm();
    EXPECT_TRUE(wait_host_framing(before.speed, before.framing)) << host_view();
    EXPECT_EQ(ask("attrs"), attrs_before);
  }
}

// The seven words serterm's v command prints for `device_lines` on a line
// the 8250 driver holds open: it never reports TIOCM_LE, and DTR and RTS
// are up from the open.
std::string
modem_words(std::uint32_t device_lines)
{
  auto word = [&](std::uint32_t bit, const char* set, const char* clear) {
    return std::string((device_lines & bit) != 0 ? set : clear);
  };
  return "enable|DTR|RTS|" + word(TIOCM_CTS, "CTS|", "cts|") +
         word(TIOCM_CAR, "DCD|", "dcd|") + word(TIOCM_RNG, "RI|", "ri|") +
         word(TIOCM_DSR, "DSR", "dsr");
}

void
expect_modem_status(std::uint32_t device_lines)
{
  SCOPED_TRACE(modem_words(device_lines));
  set_device_lines(guest, device_lines);
  std::uint32_t reads = guest.device->get_count.load();
  escape_command("v", modem_words(device_lines) + "\r\n");
  EXPECT_NE(guest.device->get_count.load(), reads)
      << "the status did not come from the device's lines";
}

TEST(UartVm, ModemStatusShowsTheDeviceLines)
{
  set_device_lines(guest, 0);
  if (!start_serterm(std::string("-9600 ") + LINE)) {
    return;
  }
  for (int lines : {0, TIOCM_CTS, TIOCM_CAR, TIOCM_RNG, TIOCM_DSR,
                    static_cast<int>(DEVICE_LINES), TIOCM_CTS | TIOCM_DSR,
                    TIOCM_CAR | TIOCM_RNG, 0}) {
    expect_modem_status(static_cast<std::uint32_t>(lines));
  }
  quit_serterm();
}

// Sends `text` from the device and waits for it on serterm's screen.
void
expect_relayed_to_screen(const std::string& text)
{
  EXPECT_EQ(ask("clear"), "ok");
  EXPECT_TRUE(write_all_bounded(guest.line.master, text, STEP_WAIT));
  EXPECT_TRUE(expect_shown(text));
}

// Types `text` on serterm's keyboard and checks the device receives it.
void
expect_relayed_to_line(const std::string& text)
{
  std::size_t from = received_so_far();
  streams.line_expected += text;
  type_keys(text);
  EXPECT_EQ(printable(receive_on_host(from, text.size())), printable(text));
}

TEST(UartVm, RelayingGoesOnAfterCarrierDrops)
{
  constexpr std::uint32_t WITH_CARRIER = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
  constexpr std::uint32_t WITHOUT_CARRIER = TIOCM_CTS | TIOCM_DSR;
  set_device_lines(guest, WITH_CARRIER);
  if (!start_serterm(std::string("-115200 ") + LINE)) {
    return;
  }
  expect_relayed_to_screen("CONNECT 115200\r\n");
  expect_relayed_to_line("ATI\r");
  for (int drop = 0; drop < 2; ++drop) {
    SCOPED_TRACE("carrier drop " + std::to_string(drop + 1));
    expect_modem_status(WITHOUT_CARRIER);
    expect_relayed_to_screen("NO CARRIER\r\n");
    expect_relayed_to_line("still typing\r");
    expect_modem_status(WITH_CARRIER);
    expect_relayed_to_screen("CONNECT\r\n");
  }
  quit_serterm();
}

// The guest's DTR/RTS states from the shim's log entries `first` up to
// `last`, each change once, starting from `initial`.
std::vector<std::uint32_t>
guest_line_changes(std::uint32_t initial, std::uint32_t first,
                   std::uint32_t last)
{
  std::vector<std::uint32_t> states{initial};
  for (std::uint32_t i = first; i < last && i < LINES_LOG_SIZE; ++i) {
    std::uint32_t lines = guest.device->lines_log[i].load();
    if (lines != states.back()) {
      states.push_back(lines);
    }
  }
  return states;
}

TEST(UartVm, DtrAndRtsAreLeftToTheDriver)
{
  constexpr std::uint32_t BOTH = TIOCM_DTR | TIOCM_RTS;
  // The previous user's settings keep HUPCL: closing them drops the lines.
  set_previous_framing();
  EXPECT_EQ(guest.device->guest_lines.load(), 0U);
  std::uint32_t before_open = guest.device->set_count.load();
  if (!start_serterm(std::string("-19200 ") + LINE)) {
    return;
  }
  // A whole session: modem status, both directions, carrier changes,
  // bytes sent from the prompt, modes toggled.
  expect_modem_status(TIOCM_CTS | TIOCM_DSR | TIOCM_CAR);
  expect_relayed_to_screen("RING\r\n");
  expect_relayed_to_line("ATA\r");
  expect_modem_status(TIOCM_CTS | TIOCM_DSR);
  std::size_t from = received_so_far();
  streams.line_expected += "ATH\r";
  escape_command("x 41 54 48 0d", "");
  EXPECT_EQ(printable(receive_on_host(from, 4)), "ATH\\r");
  escape_command("h", "");
  escape_command("h", "");
  std::uint32_t before_quit = guest.device->set_count.load();
  EXPECT_EQ(guest_line_changes(0, before_open, before_quit),
            (std::vector<std::uint32_t>{0, BOTH}))
      << "the kernel raises DTR and RTS on open; nothing else may change them";

  quit_serterm();
  // The restored settings have HUPCL, so the kernel drops both lines when
  // serterm closes the line: the only change after the open's.
  std::ignore = eventually([] { return guest.device->guest_lines.load() == 0; },
                           STEP_WAIT);
  EXPECT_EQ(
      guest_line_changes(BOTH, before_quit, guest.device->set_count.load()),
      (std::vector<std::uint32_t>{BOTH, 0}));
  set_device_lines(guest, 0);
}

std::string
with_escape_doubled(const std::string& keys)
{
  std::string doubled;
  for (char c : keys) {
    doubled.push_back(c);
    if (c == ESCAPE) {
      doubled.push_back(c);
    }
  }
  return doubled;
}

TEST(UartVm, AllByteValuesCrossBothWays)
{
  // CTS stays clear throughout: any hardware flow control would hold the
  // guest's transmitter.
  set_device_lines(guest, 0);
  std::string bytes;
  for (int value = 0; value < 256; ++value) {
    bytes.push_back(static_cast<char>(value));
  }
  for (int bps : {115200, 1200}) {
    SCOPED_TRACE(std::to_string(bps) + " bps");
    if (!start_serterm(std::to_string(-bps) + " " + LINE)) {
      continue;
    }
    // Device to screen: exactly the 256 bytes, nothing added.
    EXPECT_TRUE(write_all_bounded(guest.line.master, bytes, STEP_WAIT));
    EXPECT_TRUE(expect_shown(bytes));
    std::string screen = ask("screen");
    EXPECT_EQ(screen, "screen " + to_hex(bytes));

    // Keyboard to device: the escape character typed twice quickly goes
    // out once.
    std::size_t from = received_so_far();
    streams.line_expected += bytes;
    type_keys(with_escape_doubled(bytes));
    std::ignore = receive_on_host(from, bytes.size());
    // Anything beyond the 256 bytes would come right behind them.
    read_for(guest.line.master, streams.line_received, milliseconds(200));
    EXPECT_EQ(to_hex(streams.line_received.substr(from)), to_hex(bytes));
    quit_serterm();
  }
}

// The device's side of a paste: it reads nothing until the agent reports
// the driver's transmit buffer full (or 20 s have passed), then 256 bytes
// every 10 ms, as a slow line would take them.
struct slow_reader {
  steady::time_point started = steady::now();
  bool full = false;
  long full_ms = -1;
  steady::time_point next_read = started;
};

void
read_slowly(slow_reader& reader)
{
  auto now = steady::now();
  if ((reader.full || now - reader.started > milliseconds(20000)) &&
      now >= reader.next_read) {
    reader.next_read = now + milliseconds(10);
    std::array<char, 256> chunk;
    ssize_t n = read(guest.line.master, chunk.data(), chunk.size());
    if (n > 0) {
      streams.line_received.append(chunk.data(), static_cast<std::size_t>(n));
    }
  }
}

// Has the agent paste `size` bytes while `reader` reads them; returns the
// agent's answer.
std::string
paste_slowly(std::size_t size, slow_reader& reader)
{
  return ask(
      "paste " + std::to_string(size) + " 90000", milliseconds(100000),
      [&](const std::string& note) {
        reader.full = note.rfind("full ", 0) == 0;
        reader.full_ms = ms_since(reader.started);
      },
      [&] { read_slowly(reader); });
}

// Reads on at the slow reader's pace until `size` bytes have come; 5 s
// without a byte means nothing more is coming.
void
read_rest_slowly(std::size_t size, slow_reader& reader)
{
  auto idle_since = steady::now();
  while (streams.line_received.size() < size &&
         steady::now() - idle_since < milliseconds(5000)) {
    std::size_t before = streams.line_received.size();
    read_slowly(reader);
    if (streams.line_received.size() != before) {
      idle_since = steady::now();
    }
    usleep(1000);
  }
}

TEST(UartVm, PasteLargerThanTheTransmitBufferArrivesWhole)
{
  // Larger than all the buffers between serterm and the device together:
  // the guest pty, serterm's pending output, the driver's 4 KB transmit
  // buffer, the UART's FIFO and the host pty.
  constexpr std::size_t PASTE = 64 * 1024;
  set_device_lines(guest, 0);
  if (!start_serterm(std::string("-115200 ") + LINE)) {
    return;
  }
  for (std::size_t i = 0; i < PASTE; ++i) {
    streams.line_expected.push_back(static_cast<char>(paste_byte(i)));
  }
  slow_reader reader;
  std::string answer = paste_slowly(PASTE, reader);
  long typed_ms = ms_since(reader.started);
  read_rest_slowly(PASTE, reader);
  std::size_t count = 0;
  int peak = 0;
  EXPECT_EQ(std::sscanf(answer.c_str(), "typed %zu peak %d", &count, &peak), 2)
      << answer;
  EXPECT_EQ(count, PASTE);
  EXPECT_TRUE(reader.full) << "the driver's transmit queue peaked at " << peak;
  report("paste of %zu bytes: transmit buffer full after %.1f s, typed in "
         "%.1f s, all received after %.1f s; transmit queue peak %d bytes",
         PASTE, static_cast<double>(reader.full_ms) / 1000.0,
         static_cast<double>(typed_ms) / 1000.0,
         static_cast<double>(ms_since(reader.started)) / 1000.0, peak);

  const std::string& received = streams.line_received;
  EXPECT_EQ(received.size(), PASTE);
  expect_whole("line", received, streams.line_expected);
  quit_serterm();
}

TEST(UartVm, QuitThroughTheEscapePromptExitsZero)
{
  if (!start_serterm(std::string("-38400 ") + LINE)) {
    return;
  }
  expect_relayed_to_screen("OK\r\n");
  quit_serterm(milliseconds(200));
  // Nothing typed at the prompt went to the line.
  EXPECT_EQ(printable(streams.line_received), "");
}

// Runs last: after all the traffic above, the driver's own counters.
TEST(UartVm, DriverCountedNoLineErrors)
{
  std::string answer = ask("proc");
  report("driver: %s", answer.c_str());
  EXPECT_EQ(answer.rfind("proc 1: uart:16550A ", 0), 0U) << answer;
  for (const char* counter : {" fe:", " pe:", " oe:", " brk:"}) {
    EXPECT_EQ(answer.find(counter), std::string::npos) << answer;
  }
}

// Adds each scenario's result to the summary.
struct summary_listener : testing::EmptyTestEventListener {
  void
  OnTestEnd(const testing::TestInfo& info) override
  {
    const testing::TestResult* result = info.result();
    report("%-50s %s (%.1f s)", info.name(),
           result->Passed() ? "passed" : "FAILED",
           static_cast<double>(result->elapsed_time()) / 1000.0);
  }
};

// The last line `command` prints through the shell, or "" if it fails.
std::string
last_line_of(const std::string& command)
{
  FILE* out = popen(command.c_str(), "r");
  if (out == nullptr) {
    return "";
  }
  std::array<char, 4096> text{};
  std::string line;
  while (std::fgets(text.data(), static_cast<int>(text.size()), out) !=
         nullptr) {
    line = text.data();
  }
  if (pclose(out) != 0) {
    return "";
  }
  while (!line.empty() && line.back() == '\n') {
    line.pop_back();
  }
  return line;
}

// Fills `files` from the options `--init`, `--agent`, `--serterm` and
// `--shim`; returns the value of `--kernel-script`.
std::string
read_options(int argc, char** argv, vm_files& files)
{
  std::string kernel_script;
  const std::array<std::pair<std::string_view, std::string*>, 5> OPTIONS{{
      {"--kernel-script", &kernel_script},
      {"--init", &files.init_script},
      {"--agent", &files.agent},
      {"--serterm", &files.serterm},
      {"--shim", &files.shim},
  }};
  for (int i = 1; i + 1 < argc; i += 2) {
    for (const auto& [name, value] : OPTIONS) {
      if (name == argv[i]) {
        *value = argv[i + 1];
      }
    }
  }
  return kernel_script;
}

// Finds QEMU, busybox and the kernel for `files`. Returns 0, or the exit
// status when one is missing: 77 (skipped) outside CI for the packages.
int
find_programs(vm_files& files, const std::string& kernel_script)
{
  const char* ci = std::getenv("CI");
  bool in_ci = ci != nullptr && *ci != '\0' && std::strcmp(ci, "false") != 0;
  files.qemu = last_line_of("command -v qemu-system-x86_64");
  files.busybox = "/bin/busybox";
  if (files.qemu.empty() || access(files.busybox.c_str(), X_OK) != 0) {
    std::fprintf(stderr,
                 "uart_vm: %s: qemu-system-x86_64 or /bin/busybox is missing "
                 "(packages qemu-system-x86 and busybox-static, which "
                 "scripts/test installs)\n",
                 in_ci ? "FAILED" : "SKIPPED");
    return in_ci ? 1 : 77;
  }
  // The fetch script prints the image's path last.
  const char* kernel = std::getenv("SERTERM_VM_KERNEL");
  files.kernel = kernel != nullptr ? kernel : last_line_of(kernel_script);
  if (files.kernel.empty()) {
    std::fprintf(stderr, "uart_vm: FAILED: no kernel image: %s failed\n",
                 kernel_script.c_str());
    return 1;
  }
  return 0;
}

// Ends a run that outlasts every bounded wait added up, which only a
// wedged guest can cause; QEMU goes with the harness.
void
end_overdue_run(int)
{
  static constexpr char MESSAGE[] =
      "\nuart_vm: FAILED: the run took longer than 240 s\n";
  std::ignore = write(STDERR_FILENO, MESSAGE, sizeof MESSAGE - 1);
  _exit(1);
}

// Boots the guest from `files`, within a bound on the whole run. False,
// after saying why, if it does not boot.
bool
boot_guest(const vm_files& files)
{
  std::signal(SIGALRM, end_overdue_run);
  alarm(240);
  std::string error = start_vm(guest, files, milliseconds(90000));
  if (!error.empty()) {
    std::fprintf(stderr, "uart_vm: FAILED: cannot boot the guest: %s\n",
                 error.c_str());
    return false;
  }
  report("kernel %s, %s, booted in %.1f s", guest.release.c_str(),
         guest.accelerator.c_str(), guest.boot_seconds);
  return true;
}

void
write_summary()
{
  FILE* file = std::fopen("uart_vm_summary.txt", "w");
  if (file != nullptr) {
    std::fputs(summary.c_str(), file);
    std::fclose(file);
  }
}

} // namespace

} // namespace uart_vm

int
main(int argc, char** argv)
{
  using namespace uart_vm;
  testing::InitGoogleTest(&argc, argv);
  auto started = steady::now();
  std::remove("uart_vm_summary.txt");
  vm_files files;
  std::string kernel_script = read_options(argc, argv, files);
  if (int status = find_programs(files, kernel_script); status != 0) {
    return status;
  }
  if (!boot_guest(files)) {
    return 1;
  }
  testing::UnitTest::GetInstance()->listeners().Append(new summary_listener);
  int result = RUN_ALL_TESTS();
  stop_vm(guest);
  report("whole run %.1f s, %s",
         static_cast<double>(ms_since(started)) / 1000.0,
         result == 0 ? "passed" : "FAILED");
  write_summary();
  return result;
}
