// serterm on the kernel's own serial drivers: guests under QEMU, booted side
// by side, one per driver (the 16550 UART, an FTDI USB adapter, a CDC-ACM
// device), each running its scenarios, the guest's agent playing the user
// and this program the device at the other end of the line.
#include "protocol.hpp"
#include "support/oracles.hpp"
#include "vm.hpp"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace uart_vm {

namespace {

using namespace serterm::testing;
using namespace std::string_literals;

enum which_vm { SERIAL_VM, FTDI_VM, ACM_VM, VM_COUNT };

// The CDC-ACM guest's gadget: an ACM function on the dummy controller, seen
// by the guest's own cdc_acm driver as /dev/ttyACM0 and, as /dev/ttyGS0, by
// a pair of cat that bridge it to ttyS1, whose far end the host plays.
constexpr const char* GADGET = "/sys/kernel/config/usb_gadget/g";
constexpr const char* BRIDGE_DOWN =
    "for p in $(cat /tmp/bridge 2>/dev/null); do kill $p; "
    "while kill -0 $p; do sleep 0.01; done; done 2>/dev/null; rm -f "
    "/tmp/bridge";
constexpr const char* BRIDGE_UP =
    "stty -F /dev/ttyGS0 raw -echo && stty -F /dev/ttyS1 raw -echo clocal && "
    "{ cat /dev/ttyGS0 >/dev/ttyS1 & echo $! >/tmp/bridge; "
    "cat /dev/ttyS1 >/dev/ttyGS0 & echo $! >>/tmp/bridge; } 2>/dev/null";

// One guest: how it boots, the line serterm opens there, and the shell
// script (if any) that waits until that line is there, first plugging the
// gadget in and bridging its far end to the host.
struct guest_kind {
  vm_profile profile;
  const char* line;
  std::string plugged;
};

const std::array<guest_kind, VM_COUNT> GUESTS{{
    {{"16550", {"-serial", "chardev:line", "-serial", "chardev:paced"}, ""},
     "/dev/ttyS1",
     ""},
    {{"ftdi",
      {"-device", "qemu-xhci,id=usb", "-device",
       "usb-serial,id=ftdi,chardev=line,bus=usb.0"},
      "xhci_pci,ftdi_sio"},
     "/dev/ttyUSB0",
     "until [ -e /dev/ttyUSB0 ]; do sleep 0.05; done"},
    {{"acm", {"-serial", "chardev:line"}, "dummy_hcd,cdc_acm,usb_f_acm"},
     "/dev/ttyACM0",
     "g="s + GADGET +
         "; [ -d $g ] || { mount -t configfs none /sys/kernel/config && "
         "mkdir $g $g/functions/acm.0 $g/configs/c.1 && cd $g && "
         "echo 0x1d6b >idVendor && echo 0x0104 >idProduct && "
         "ln -s $g/functions/acm.0 configs/c.1; } && "
         "{ [ -n \"$(cat $g/UDC)\" ] || echo dummy_udc.0 >$g/UDC; } && "
         "until [ -e /dev/ttyACM0 ]; do sleep 0.05; done && { " +
         BRIDGE_DOWN + "; " + BRIDGE_UP + "; }"},
}};

std::array<vm, VM_COUNT> guests;
std::array<std::string, VM_COUNT> boot_errors;
// The guest of the running scenario.
vm* guest = &guests[SERIAL_VM];
const guest_kind* kind = &GUESTS[SERIAL_VM];

// What the scenario's serterm should have written so far, to its screen
// and to the device, and all the device has received since it started:
// when serterm ends, both streams are checked whole.
struct scenario_streams {
  std::string screen_expected;
  std::string line_expected;
  std::string line_received;
};
scenario_streams streams;

// How long one step waits for the device or the host's view.
constexpr milliseconds STEP_WAIT{5000};
constexpr char ESCAPE = '\x1d';

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

// Takes in what the device has received so far.
void
take_line()
{
  std::ignore = drain(guest->line.master, streams.line_received);
}

// Takes in what the device receives until it has received `size` bytes in
// all, then for `settle` more.
void
receive(std::size_t size, milliseconds settle)
{
  std::ignore = read_until(guest->line.master, streams.line_received,
                           at_least(size), STEP_WAIT);
  read_for(guest->line.master, streams.line_received, settle);
}

// Sends the agent `command` with its time limit and `argument`, and returns
// its answer; the scenario fails when none comes. While waiting, `idle`
// runs, by default taking in what the device receives (a far end that stops
// reading would freeze a guest on QEMU's USB serial device).
std::string
ask(const std::string& command, const std::string& argument = "",
    milliseconds limit = WAIT_LIMIT,
    const std::function<void(const std::string&)>& on_note = {},
    const std::function<void()>& idle = take_line)
{
  if (guest->lost) {
    ADD_FAILURE() << "the guest's agent stopped answering earlier";
    return "";
  }
  std::string line =
      command + " " + std::to_string(limit.count()) + " " + argument;
  std::string answer =
      ask_agent(*guest, line, limit + milliseconds(10000), on_note, idle);
  if (answer.empty()) {
    guest->lost = true;
    ADD_FAILURE() << "no answer to \"" << line.substr(0, 60) << "\"; console:\n"
                  << console_tail(*guest);
  }
  return answer;
}

// Runs `script` in the guest's shell and returns its output; the scenario
// fails unless it exits 0 within `limit`.
std::string
shell(const std::string& script, milliseconds limit = STEP_WAIT)
{
  std::string answer = ask("run", to_hex(script), limit);
  std::string output = from_hex(answer.substr(answer.rfind(' ') + 1));
  EXPECT_EQ(answer.substr(0, 6), "ran 0 ")
      << script << ": " << printable(output);
  return output;
}

void
type_keys(const std::string& keys)
{
  EXPECT_EQ(ask("type", to_hex(keys)),
            "typed " + std::to_string(keys.size()) + " peak 0");
}

// Waits for `text` as the next thing serterm shows on its screen, after
// what the previous wait found. True if it came.
bool
expect_shown(const std::string& text)
{
  streams.screen_expected += text;
  std::string answer = ask("expect", to_hex(text), STEP_WAIT);
  EXPECT_EQ(answer, "found");
  return answer == "found";
}

// Starts serterm at `bps` on the guest's line, after the agent's `options`.
bool
start_serterm(int bps, const std::string& options = "")
{
  // Anything still arriving was sent before this serterm started.
  take_line();
  streams = {};
  std::string args = options + std::to_string(-bps) + " " + kind->line;
  std::string answer = ask("spawn", args);
  EXPECT_EQ(answer, "raw") << "serterm " << args;
  return answer == "raw";
}

// Opens the escape prompt, enters `command_line` and waits for `response`
// after it on the screen, then for the keyboard to be raw again. The prompt
// starts a line of its own.
void
escape_command(const std::string& command_line, const std::string& response)
{
  type_keys(std::string(1, ESCAPE));
  if (!expect_shown(line_left_open(streams.screen_expected) + "serterm> ")) {
    return;
  }
  type_keys(command_line + "\n");
  if (expect_shown(command_line + "\r\n" + response) && command_line != "q") {
    // Keys typed before that would be seen by the cooked keyboard.
    EXPECT_EQ(ask("waitraw"), "raw");
  }
}

// Waits for serterm to end, checks that it ended as `how` says ("exit 0",
// "signal 1") with the keyboard's settings from before it started, and
// returns its whole screen. `after` (if given) gets how many milliseconds
// after its start, the last keys or the start of the last shell command it
// ended; `idle` and `limit` are as for `ask`.
std::string
wait_end(const std::string& how, long* after = nullptr,
         const std::function<void()>& idle = take_line,
         milliseconds limit = WAIT_LIMIT)
{
  std::string answer = ask(
      "wait", "", limit,
      [&](const std::string& note) {
        std::ignore = after != nullptr &&
                      std::sscanf(note.c_str(), "ended %ld", after) == 1;
      },
      idle);
  std::size_t cut = answer.rfind(' ');
  EXPECT_EQ(answer.substr(0, cut), how + " restored");
  return from_hex(answer.substr(cut + 1));
}

// Quits serterm through its prompt and checks that it exits 0, then its
// whole screen and all the device received, allowing `settle` for bytes
// beyond those expected to arrive.
void
quit_serterm(milliseconds settle = milliseconds(20))
{
  escape_command("q", "");
  expect_whole("screen", wait_end("exit 0"), streams.screen_expected);
  receive(streams.line_expected.size(), settle);
  expect_whole("line", streams.line_received, streams.line_expected);
}

// Does `send` and checks that the device receives exactly `text` from it,
// allowing `settle` for bytes beyond it to arrive.
void
expect_received(const std::string& text, const std::function<void()>& send,
                milliseconds settle = milliseconds(0))
{
  take_line();
  std::size_t from = streams.line_received.size();
  streams.line_expected += text;
  send();
  receive(from + text.size(), settle);
  EXPECT_EQ(printable(streams.line_received.substr(from)), printable(text));
}

// Types `text` on serterm's keyboard and checks the device receives it.
void
expect_relayed_to_line(const std::string& text)
{
  expect_received(text, [&] { type_keys(text); });
}

// Sends `text` from the device and waits for it on serterm's screen.
void
expect_relayed_to_screen(const std::string& text)
{
  EXPECT_TRUE(write_all_bounded(guest->line.master, text, STEP_WAIT));
  expect_shown(text);
}

// The speed and control flags of `t`, for messages.
std::string
describe(const termios& t)
{
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), "speed code %u, control flags %#o",
                cfgetospeed(&t), t.c_cflag);
  return text.data();
}

constexpr tcflag_t FRAMING = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;

// Checks that the host side comes to show `speed` and `framing` (the
// CSIZE, parity, stop-bit and RTS/CTS bits) as set by the guest's UART:
// QEMU's settings for the host pty must carry them all, and the pty itself
// the speed both ways and the stop bits, all it keeps.
void
expect_host_framing(speed_t speed, tcflag_t framing)
{
  termios device{};
  termios pty{};
  bool shown = eventually(
      [&] {
        device = device_line_settings(*guest);
        tcgetattr(guest->line.master, &pty);
        return cfgetospeed(&device) == speed &&
               (device.c_cflag & FRAMING) == framing &&
               cfgetospeed(&pty) == speed && cfgetispeed(&pty) == speed &&
               (pty.c_cflag & CSTOPB) == (framing & CSTOPB);
      },
      STEP_WAIT);
  EXPECT_TRUE(shown) << "QEMU applied " << describe(device)
                     << "; the host pty shows " << describe(pty);
}

// How previous users left the line, with stty, and the speed and framing
// the host then sees: each unlike serterm's 8N1 in its data bits, parity
// or stop bits.
struct line_use {
  const char* stty;
  speed_t speed;
  tcflag_t framing;
};

// clang-format off
constexpr std::array<line_use, 3> PREVIOUS_USES{{
    {"4800 cs7 parenb -parodd cstopb", B4800, CS7 | PARENB | CSTOPB},
    {"57600 cs6 parenb parodd -cstopb", B57600, CS6 | PARENB | PARODD},
    {"1200 cs8 -parenb cstopb", B1200, CS8 | CSTOPB},
}};
// clang-format on

// The line's settings as its driver holds them, after stty `change` (if
// given), read with "stty -g": the four flag words (the control word with
// the speed), then the control characters.
termios
line_settings(const std::string& change = "")
{
  std::string stty = "stty -F "s + kind->line;
  std::istringstream text(shell(
      (change.empty() ? "" : stty + " " + change + " && ") + stty + " -g"));
  termios t{};
  std::array<tcflag_t*, 4> flags{&t.c_iflag, &t.c_oflag, &t.c_cflag,
                                 &t.c_lflag};
  std::size_t i = 0;
  for (std::string word; std::getline(text, word, ':'); ++i) {
    unsigned long value = std::strtoul(word.c_str(), nullptr, 16);
    if (i < flags.size()) {
      *flags[i] = static_cast<tcflag_t>(value);
    } else if (i - flags.size() < NCCS) {
      t.c_cc[i - flags.size()] = static_cast<cc_t>(value);
    }
  }
  EXPECT_EQ(i, flags.size() + NCCS) << "words in stty -g";
  return t;
}

// Leaves the line as `use` says, checks that the host sees it so, and
// returns the driver's settings.
termios
leave_line_as(const line_use& use)
{
  termios settings = line_settings(use.stty);
  expect_host_framing(use.speed, use.framing);
  return settings;
}

// Runs serterm at `bps` on the line as `previous` left it, then quits it.
// During the run, after `message` on the screen, the driver holds raw 8N1
// at `speed` and the host sees that speed and 8N1; after it, the host sees
// the previous settings again. Returns the driver's settings from before
// the run.
termios
run_at_speed(const line_use& previous, int bps, speed_t speed,
             const std::string& message = "")
{
  termios before = leave_line_as(previous);
  if (!start_serterm(bps)) {
    return before;
  }
  if (!message.empty()) {
    expect_shown(message);
  }
  expect_host_framing(speed, CS8);
  EXPECT_EQ(raw_line_difference(line_settings(), before, speed), "");
  quit_serterm();
  expect_host_framing(previous.speed, previous.framing);
  return before;
}

// Waits until the line is there, plugged in again if a scenario pulled it
// out.
void
plug_in()
{
  if (!kind->plugged.empty()) {
    std::ignore = shell(kind->plugged, milliseconds(10000));
  }
}

// A scenario on guest `Which`: every helper above talks to its guest and
// line, which is there (plugged in again, if a scenario pulled it out)
// before the scenario starts.
template <which_vm Which> struct on_guest : testing::Test {
  void
  SetUp() override
  {
    guest = &guests[Which];
    kind = &GUESTS[Which];
    ASSERT_GE(guest->qemu.pid, 0)
        << "the " << kind->profile.name
        << " guest did not boot: " << boot_errors[Which];
    plug_in();
  }
};
using UartVm = on_guest<SERIAL_VM>;
using Ftdi = on_guest<FTDI_VM>;
using CdcAcm = on_guest<ACM_VM>;

// Each table speed reaches the driver and the host's end of the line; the
// previous settings come back at the end.
void
every_speed_reaches_the_driver()
{
  for (const test_speed& speed : TEST_SPEEDS) {
    if (speed.offered) {
      SCOPED_TRACE(std::to_string(speed.bps) + " bps");
      run_at_speed(PREVIOUS_USES[0], speed.bps, speed.code);
    }
  }
}

TEST_F(UartVm, EverySpeedOfTheTableReachesTheDriver)
{
  every_speed_reaches_the_driver();
}

TEST_F(UartVm, UnavailableSpeedGivesTheMessageAnd9600)
{
  for (int bps : {300, 230400}) {
    SCOPED_TRACE(std::to_string(bps) + " bps");
    // Written before the keyboard went raw: the pty maps its newline.
    run_at_speed(PREVIOUS_USES[0], bps, B9600,
                 std::to_string(bps) +
                     " bps unavailable.  9600 bps selected.\r\n");
  }
}

TEST_F(UartVm, LineSettingsAreRestoredAtExit)
{
  for (const line_use& previous : PREVIOUS_USES) {
    SCOPED_TRACE(previous.stty);
    termios before = run_at_speed(previous, 115200, B115200);
    EXPECT_EQ(settings_difference(line_settings(), before), "");
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

// Sets the lines the device drives and checks that v shows them, read from
// the device.
void
expect_modem_status(std::uint32_t device_lines)
{
  SCOPED_TRACE(modem_words(device_lines));
  guest->device->device_lines = device_lines;
  std::uint32_t reads = guest->device->get_count.load();
  escape_command("v", modem_words(device_lines) + "\r\n");
  EXPECT_NE(guest->device->get_count.load(), reads)
      << "the status did not come from the device's lines";
}

void
modem_status_shows_the_device_lines()
{
  guest->device->device_lines = 0;
  if (!start_serterm(9600)) {
    return;
  }
  for (int lines : {0, TIOCM_CTS, TIOCM_CAR, TIOCM_RNG, TIOCM_DSR,
                    static_cast<int>(DEVICE_LINES), TIOCM_CTS | TIOCM_DSR,
                    TIOCM_CAR | TIOCM_RNG, 0}) {
    expect_modem_status(static_cast<std::uint32_t>(lines));
  }
  quit_serterm();
}

TEST_F(UartVm, ModemStatusShowsTheDeviceLines)
{
  modem_status_shows_the_device_lines();
}

TEST_F(UartVm, RelayingGoesOnAfterCarrierDrops)
{
  constexpr std::uint32_t WITH_CARRIER = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
  constexpr std::uint32_t WITHOUT_CARRIER = TIOCM_CTS | TIOCM_DSR;
  guest->device->device_lines = WITH_CARRIER;
  if (!start_serterm(115200)) {
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
    std::uint32_t lines = guest->device->lines_log[i].load();
    if (lines != states.back()) {
      states.push_back(lines);
    }
  }
  return states;
}

TEST_F(UartVm, DtrAndRtsAreLeftToTheDriver)
{
  constexpr std::uint32_t BOTH = TIOCM_DTR | TIOCM_RTS;
  // The previous user's settings keep HUPCL: closing them drops the lines.
  std::ignore = leave_line_as(PREVIOUS_USES[0]);
  EXPECT_EQ(guest->device->guest_lines.load(), 0U);
  std::uint32_t before_open = guest->device->set_count.load();
  if (!start_serterm(19200)) {
    return;
  }
  // A whole session: modem status, both directions, carrier changes,
  // bytes sent from the prompt, modes toggled.
  expect_modem_status(TIOCM_CTS | TIOCM_DSR | TIOCM_CAR);
  expect_relayed_to_screen("RING\r\n");
  expect_relayed_to_line("ATA\r");
  expect_modem_status(TIOCM_CTS | TIOCM_DSR);
  expect_received("ATH\r", [] { escape_command("x 41 54 48 0d", ""); });
  escape_command("h", "");
  escape_command("h", "");
  std::uint32_t before_quit = guest->device->set_count.load();
  EXPECT_EQ(guest_line_changes(0, before_open, before_quit),
            (std::vector<std::uint32_t>{0, BOTH}))
      << "the kernel raises DTR and RTS on open; nothing else may change them";

  quit_serterm();
  // The restored settings have HUPCL, so the kernel drops both lines when
  // serterm closes the line: the only change after the open's.
  std::ignore = eventually(
      [] { return guest->device->guest_lines.load() == 0; }, STEP_WAIT);
  EXPECT_EQ(
      guest_line_changes(BOTH, before_quit, guest->device->set_count.load()),
      (std::vector<std::uint32_t>{BOTH, 0}));
  guest->device->device_lines = 0;
}

// All 256 byte values cross both ways, at the fastest and a slow speed.
void
all_byte_values_cross_both_ways()
{
  // CTS stays clear throughout: any hardware flow control would hold the
  // guest's transmitter.
  guest->device->device_lines = 0;
  const std::string bytes = all_bytes();
  // The escape character typed twice quickly goes out once: in `bytes`,
  // the escape character's value is at its own index.
  std::string keys = bytes;
  keys.insert(static_cast<std::size_t>(ESCAPE), 1, ESCAPE);
  for (int bps : {115200, 1200}) {
    SCOPED_TRACE(std::to_string(bps) + " bps");
    if (!start_serterm(bps)) {
      continue;
    }
    // Device to screen: exactly the 256 bytes, nothing added.
    EXPECT_TRUE(write_all_bounded(guest->line.master, bytes, STEP_WAIT));
    expect_shown(bytes);
    EXPECT_EQ(ask("screen"), "screen " + to_hex(bytes));
    // Anything beyond the 256 bytes would come right behind them.
    expect_received(
        bytes, [&] { type_keys(keys); }, milliseconds(200));
    quit_serterm();
  }
}

TEST_F(UartVm, AllByteValuesCrossBothWays)
{
  all_byte_values_cross_both_ways();
}

// The 16550 guest's second line. Its far end is the socket `paced`, which
// takes bytes only as fast as the host reads them.
constexpr const char* PACED_LINE = "/dev/ttyS2";

// Takes in what the far end `fd` has, no more than `rate` bytes a second
// since `start` in all: the pace of a line of that speed.
void
read_paced(int fd, std::string& into, std::size_t rate,
           steady::time_point start)
{
  std::size_t due = rate * static_cast<std::size_t>(ms_since(start)) / 1000;
  std::array<char, 4096> chunk;
  for (ssize_t n = 1; n > 0 && into.size() < due;) {
    n = read(fd, chunk.data(), std::min(chunk.size(), due - into.size()));
    into.append(chunk.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
  }
}

TEST_F(UartVm, PasteLargerThanTheTransmitBufferArrivesWhole)
{
  // Larger than all the buffers between serterm and the device together:
  // the guest pty, serterm's pending output, the driver's 4 KB transmit
  // buffer, the UART's FIFO and the host pty.
  constexpr std::size_t PASTE = 64 * 1024;
  guest->device->device_lines = 0;
  if (!start_serterm(115200)) {
    return;
  }
  streams.line_expected = paste_text(PASTE);
  // The device reads 25,600 bytes a second, as a slow line would take
  // them: slower than the paste comes, so every buffer before it fills, the
  // driver's transmit buffer too, yet never a second without taking any,
  // which serterm would take for a stalled line.
  auto started = steady::now();
  long full_ms = -1;
  auto read_slowly = [&] {
    read_paced(guest->line.master, streams.line_received, 25600, started);
  };
  std::string answer = ask(
      "paste", std::to_string(PASTE), milliseconds(90000),
      [&](const std::string& note) {
        full_ms = note.starts_with("full ") ? ms_since(started) : full_ms;
      },
      read_slowly);
  long typed_ms = ms_since(started);
  // The rest, at the slow reader's pace.
  std::ignore = eventually(
      [&] {
        read_slowly();
        return streams.line_received.size() >= PASTE;
      },
      milliseconds(30000));
  std::size_t count = 0;
  int peak = 0;
  EXPECT_EQ(std::sscanf(answer.c_str(), "typed %zu peak %d", &count, &peak), 2)
      << answer;
  EXPECT_EQ(count, PASTE);
  EXPECT_GE(full_ms, 0) << "the driver's transmit queue peaked at " << peak;
  std::printf("uart_vm: paste of %zu bytes: transmit buffer full after "
              "%.1f s, typed in %.1f s, all received after %.1f s; transmit "
              "queue peak %d bytes\n",
              PASTE, static_cast<double>(full_ms) / 1000.0,
              static_cast<double>(typed_ms) / 1000.0,
              static_cast<double>(ms_since(started)) / 1000.0, peak);
  EXPECT_EQ(streams.line_received.size(), PASTE);
  expect_whole("line", streams.line_received, streams.line_expected);
  quit_serterm();
}

TEST_F(UartVm, QuitThroughTheEscapePromptExitsZero)
{
  if (!start_serterm(38400)) {
    return;
  }
  expect_relayed_to_screen("OK\r\n");
  quit_serterm(milliseconds(200));
  // Nothing typed at the prompt went to the line.
  EXPECT_EQ(printable(streams.line_received), "");
}

// How a session on a slow or stalled line ends: the user quits at the
// prompt, standard input (a file) ends, SIGTERM comes, or input ends and
// control-C (SIGINT) ends the wait for the port that follows.
enum class ending { quit, end_of_input, sigterm, interrupted_wait };

// One such session: serterm at `bps`, the far end reading `rate` bytes a
// second (0: never), `size` bytes pasted or, when input ends, in the file
// that is standard input; how it must end, within how many milliseconds of
// the q, the start or the signal; its whole screen, a regular expression
// whose groups, if any, are counts of bytes not sent or still held.
struct slow_line_case {
  const char* what;
  int bps;
  std::size_t rate;
  std::size_t size;
  ending how;
  const char* end;
  long within_ms;
  const char* screen;
};

// Runs `c` and checks how serterm ends, its screen, that the far end got a
// prefix of the input, and that the bytes counted not sent (or still held
// by the port) are the rest. On the 16550, once serterm discards, the rest
// may exceed the count by what the UART's FIFO held when the port closed:
// no count includes it, and the kernel clears it then. On CDC-ACM the count
// may exceed the rest: the driver counts whole transfer buffers.
void
end_on_a_slow_line(const slow_line_case& c)
{
  SCOPED_TRACE(c.what);
  constexpr std::size_t UART_FIFO = 16;
  // On the CDC-ACM guest nothing reads the gadget while the bridge is down.
  bool acm = guest == &guests[ACM_VM];
  int far_end = acm ? guest->line.master : guest->paced;
  std::ignore = acm ? shell(BRIDGE_DOWN) : "";
  std::string received;
  std::ignore = drain(far_end, received);
  received.clear();
  auto started = steady::now();
  auto reads = [&] { read_paced(far_end, received, c.rate, started); };
  auto say = [&](const std::string& command, const std::string& argument) {
    return ask(command, argument, WAIT_LIMIT, {}, reads);
  };
  bool from_file =
      c.how == ending::end_of_input || c.how == ending::interrupted_wait;
  std::string answer =
      say("spawn", (from_file ? "input=" + std::to_string(c.size) + " " : ""s) +
                       std::to_string(-c.bps) + " " +
                       (acm ? kind->line : PACED_LINE));
  if (!from_file && answer == "raw") {
    answer = say("paste", std::to_string(c.size));
  }
  // The input comes faster than the line takes it: the driver's queue fills.
  int peak = 0;
  EXPECT_EQ(std::sscanf(answer.c_str(),
                        from_file ? "started peak %d" : "typed %*u peak %d",
                        &peak),
            1)
      << answer;
  EXPECT_GE(peak, 4000) << answer;
  if (c.how == ending::quit) {
    // Control-], a pause longer than the quick key's window, then q Enter,
    // all while the paste goes out, and before the prompt shows.
    std::ignore = say("type", to_hex(std::string(1, ESCAPE)));
    std::ignore = say("run", to_hex("sleep 0.5"));
    std::ignore = say("type", to_hex("q\r"));
  } else if (c.how == ending::interrupted_wait) {
    EXPECT_EQ(say("expect", to_hex("(control-C ends the wait)\r\n")), "found");
  }
  if (c.how == ending::sigterm || c.how == ending::interrupted_wait) {
    std::ignore = shell(
        "kill -"s + (c.how == ending::sigterm ? "TERM" : "INT") + " $serterm");
  }
  long after = -1;
  std::string screen =
      wait_end(c.end, &after, reads, milliseconds(c.within_ms) + STEP_WAIT);
  EXPECT_LE(after, c.within_ms) << "ms to serterm's end";
  // What had left the port still comes, from the socket and the UART.
  for (std::size_t before = SIZE_MAX; before != received.size();) {
    before = received.size();
    read_for(far_end, received, milliseconds(300));
  }
  expect_whole("line", received, paste_text(c.size).substr(0, received.size()));
  std::smatch unsent;
  EXPECT_TRUE(std::regex_match(screen, unsent, std::regex(c.screen)))
      << printable(screen);
  std::size_t counted = 0;
  for (std::size_t i = 1; i < unsent.size(); ++i) {
    counted += unsent[i].matched ? std::stoul(unsent[i]) : 0;
  }
  std::size_t rest = c.size - std::min(c.size, received.size());
  if (acm) {
    EXPECT_GE(counted, rest);
  } else if (c.how != ending::sigterm) {
    EXPECT_LE(counted, rest);
    EXPECT_LE(rest, counted + (counted > 0 ? UART_FIFO : 0)) << counted;
  }
  std::printf("uart_vm: %s at %d bps, the far end reading %zu bytes/s: "
              "ended %.1f s after the %s; driver's queue peak %d; the far "
              "end received %zu of %zu bytes, %zu counted not sent or held\n",
              c.what, c.bps, c.rate, static_cast<double>(after) / 1000.0,
              c.how == ending::quit           ? "q"
              : c.how == ending::end_of_input ? "start"
                                              : "signal",
              peak, received.size(), c.size, counted);
}

// The 16550 guest's second line. Moving, the end of input comes with more
// than the driver's queue still waiting.
// clang-format off
constexpr std::array<slow_line_case, 4> SLOW_LINE_CASES{{
    {"12 kB pasted, then control-] q Enter", 1200, 120, 12288, ending::quit,
     "exit 0", 2000,
     "serterm> q\r\nserterm: bytes not sent to the line: ([0-9]+)\r\n"},
    {"end of input, the line moving", 9600, 960, 8192, ending::end_of_input,
     "exit 0", 12000, ""},
    {"end of input, the line stalled", 1200, 0, 12288, ending::end_of_input,
     "exit 1", 3000, "serterm: bytes not sent to the line: ([0-9]+)\r\n"},
    {"12 kB pasted, then SIGTERM, the line stalled", 1200, 0, 12288,
     ending::sigterm, "signal 15", 1000, ""},
}};
// clang-format on

TEST_F(UartVm, SlowOrStalledLineEndsAtOnceCountingEveryByte)
{
  for (const slow_line_case& c : SLOW_LINE_CASES) {
    end_on_a_slow_line(c);
  }
}

// Fails the scenario on any warning, bug or oops in the guest's kernel log
// so far; the error lines of an unplug are expected.
void
expect_a_clean_kernel_log()
{
  std::istringstream log(shell("dmesg"));
  int lines = 0;
  for (std::string line; std::getline(log, line); ++lines) {
    for (const char* fault : {"WARNING:", "BUG:", "Oops"}) {
      EXPECT_EQ(line.find(fault), std::string::npos) << line;
    }
  }
  EXPECT_GT(lines, 0);
}

// Runs last on its guest: after all the traffic above, the driver's own
// counters and the kernel's log.
TEST_F(UartVm, DriverCountedNoLineErrorsAndTheKernelNoFaults)
{
  std::string port = shell("grep '^1:' /proc/tty/driver/serial");
  EXPECT_EQ(port.rfind("1: uart:16550A ", 0), 0U) << port;
  for (const char* counter : {" fe:", " pe:", " oe:", " brk:"}) {
    EXPECT_EQ(port.find(counter), std::string::npos) << port;
  }
  expect_a_clean_kernel_log();
}

TEST_F(Ftdi, AllByteValuesCrossBothWays) { all_byte_values_cross_both_ways(); }

TEST_F(Ftdi, EverySpeedOfTheTableReachesTheHost)
{
  every_speed_reaches_the_driver();
}

TEST_F(Ftdi, ModemStatusShowsTheDeviceLines)
{
  modem_status_shows_the_device_lines();
}

// True when QEMU's monitor carried out `command`.
bool
monitor_did(const std::string& command)
{
  std::string answer = monitor(*guest, command);
  return !answer.empty() && answer.find("Error") == std::string::npos;
}

// Takes the device out from under the guest: QEMU's USB serial device
// unplugged, or the gadget unbound from its controller.
void
unplug()
{
  if (guest == &guests[FTDI_VM]) {
    EXPECT_TRUE(monitor_did("device_del ftdi"));
  } else {
    std::ignore = shell("echo >"s + GADGET + "/UDC");
  }
}

// When the device goes away, and what the user does then.
// (`controlling`: mid-relay, on a line that is serterm's controlling
// terminal.)
// clang-format off
enum class moment {
  relaying, prompt_then_q, prompt_then_v, stopped, pasting, controlling
};
// clang-format on

// One unplug: when, and how serterm must end ("exit 1", "signal 1") and,
// after what it showed before, the rest of its screen (a regular
// expression).
struct unplug_case {
  moment when;
  const char* end;
  const char* screen;
};

// Pastes until the device has received 16 KB, then unplugs it. Returns the
// time of the unplug; `lost` gets how many bytes were typed but never
// received.
steady::time_point
unplug_during_a_paste(std::size_t& lost)
{
  take_line();
  std::size_t from = streams.line_received.size();
  steady::time_point unplugged{};
  std::string answer = ask("paste", "4194304", milliseconds(20000), {}, [&] {
    take_line();
    if (unplugged == steady::time_point{} &&
        streams.line_received.size() >= from + 16384) {
      unplugged = steady::now();
      unplug();
    }
  });
  std::size_t typed = 0;
  EXPECT_EQ(std::sscanf(answer.c_str(), "error typed %zu of", &typed), 1)
      << "the paste did not end with serterm: " << answer;
  // What came before the unplug came whole and in order.
  take_line();
  std::string pasted = streams.line_received.substr(from);
  expect_whole("line", pasted, paste_text(pasted.size()));
  lost = typed - std::min(typed, pasted.size());
  return unplugged;
}

// Unplugs the device as `c` says while serterm relays on it, and checks how
// serterm ends (its status, its whole screen, the keyboard's settings) and
// that the device comes back as the same node.
void
unplug_while_running(const unplug_case& c)
{
  // Keys typed after serterm gave the keyboard back are no part of its
  // screen.
  bool pasting = c.when == moment::pasting;
  bool controlling = c.when == moment::controlling;
  if (!start_serterm(115200, (pasting ? "noecho "s : ""s) +
                                 (controlling ? "setsid " : ""))) {
    return;
  }
  expect_relayed_to_screen("hello\r\n");
  expect_relayed_to_line("abc");
  const std::string gone =
      "while [ -e "s + kind->line + " ]; do sleep 0.02; done";
  auto unplugged = steady::now();
  std::size_t lost = 0;
  if (pasting) {
    unplugged = unplug_during_a_paste(lost);
  } else if (c.when == moment::relaying || controlling) {
    unplug();
  } else if (c.when == moment::stopped) {
    std::ignore = shell("kill -STOP $serterm");
    unplug();
    std::ignore = shell(gone);
    type_keys("k");
    std::ignore = shell("kill -CONT $serterm");
  } else {
    type_keys(std::string(1, ESCAPE));
    expect_shown("serterm> ");
    unplug();
    std::ignore = shell(gone);
    // Waiting at the prompt for the user, serterm uses no CPU: its user and
    // system ticks stay as they are for a second.
    EXPECT_EQ(shell("s=/proc/$serterm/stat; a=$(cut -d' ' -f14,15 $s); "
                    "sleep 1; b=$(cut -d' ' -f14,15 $s); "
                    "[ -n \"$a\" ] && [ \"$a\" = \"$b\" ] || echo $a, then $b"),
              "");
    type_keys(c.when == moment::prompt_then_q ? "q\n" : "v\n");
  }
  std::string screen = wait_end(c.end);
  long ended_ms = ms_since(unplugged);
  EXPECT_TRUE(std::regex_match(screen, std::regex("hello\r\n"s + c.screen)))
      << printable(screen);
  // Bytes reported unsent were typed and never reached the device.
  std::smatch unsent;
  if (std::regex_search(screen, unsent, std::regex("line: ([0-9]+)"))) {
    EXPECT_LE(std::stoul(unsent[1]), pasting ? lost : 1) << printable(screen);
  }
  if (c.when == moment::relaying || pasting || controlling) {
    EXPECT_LT(ended_ms, 2000) << "ms from the unplug to serterm's end";
  }
  // QEMU lets the device go a little after it answers, and keeps
  // its chardev until then.
  EXPECT_TRUE(guest != &guests[FTDI_VM] || eventually([] {
                return monitor_did(
                    "device_add usb-serial,id=ftdi,chardev=line,bus=usb.0");
              }));
  // Back as the same node: serterm has let go of the dead one,
  // whose holder would keep its number.
  plug_in();
}

const unplug_case MID_RELAY{moment::relaying, "exit 1",
                            "serterm: line closed\r\n"};
const unplug_case PROMPT_THEN_Q{moment::prompt_then_q, "exit 0",
                                "serterm> q\r\n"};
const unplug_case PROMPT_THEN_V{
    moment::prompt_then_v, "exit 1",
    "serterm> v\r\nserterm: can't read modem status: Input/output "
    "error\r\nserterm: line closed\r\n"};
// The key and the hang-up wait side by side when serterm goes on: the key
// is read, then the line's end, before anything is written.
const unplug_case STOPPED{moment::stopped, "exit 1",
                          "serterm: line closed\r\n"
                          "serterm: bytes not sent to the line: 1\r\n"};
const unplug_case PASTING{
    moment::pasting, "exit 1",
    "serterm: (line closed|line write failed: [^\r\n]+)\r\n"
    "(serterm: bytes not sent to the line: [0-9]+\r\n)?"};
// The hangup's SIGHUP ends it, silently, with the keyboard put back.
const unplug_case CONTROLLING{moment::controlling, "signal 1", ""};

TEST_F(Ftdi, UnpluggedMidRelay) { unplug_while_running(MID_RELAY); }
TEST_F(Ftdi, UnpluggedAtThePromptThenQ) { unplug_while_running(PROMPT_THEN_Q); }
TEST_F(Ftdi, UnpluggedAtThePromptThenV) { unplug_while_running(PROMPT_THEN_V); }
TEST_F(Ftdi, UnpluggedWhileStoppedThenAKey) { unplug_while_running(STOPPED); }
TEST_F(Ftdi, UnpluggedDuringAPaste) { unplug_while_running(PASTING); }
TEST_F(Ftdi, UnpluggedAsControllingTerminal)
{
  unplug_while_running(CONTROLLING);
}

TEST_F(Ftdi, KernelLogHasNoFaults) { expect_a_clean_kernel_log(); }

TEST_F(CdcAcm, AllByteValuesCrossBothWays)
{
  all_byte_values_cross_both_ways();
}

// The lines of an ACM function: CTS always, DCD and DSR while the gadget's
// tty is open (the bridge), DTR and RTS from the open.
TEST_F(CdcAcm, ModemStatusShowsTheGadgetsLines)
{
  if (!start_serterm(115200)) {
    return;
  }
  escape_command("v", "enable|DTR|RTS|CTS|DCD|ri|DSR\r\n");
  std::ignore = shell(BRIDGE_DOWN);
  escape_command("v", "enable|DTR|RTS|CTS|dcd|ri|dsr\r\n");
  std::ignore = shell(BRIDGE_UP);
  escape_command("v", "enable|DTR|RTS|CTS|DCD|ri|DSR\r\n");
  quit_serterm();
}

TEST_F(CdcAcm, UnpluggedMidRelay) { unplug_while_running(MID_RELAY); }
TEST_F(CdcAcm, UnpluggedAtThePromptThenV)
{
  unplug_while_running(PROMPT_THEN_V);
}

// The driver cannot discard what it holds: serterm says so, and waits for
// the port until control-C.
TEST_F(CdcAcm, StalledPortAtEndOfInputWaitsUntilControlC)
{
  end_on_a_slow_line(
      {"end of input, the port stalled", 115200, 0, 20480,
       ending::interrupted_wait, "signal 2", 1000,
       "(?:serterm: bytes not sent to the line: ([0-9]+)\r\n)?serterm: "
       "waiting for the port to send the ([1-9][0-9]*) bytes it still holds "
       "\\(control-C ends the wait\\)\r\n"});
}

TEST_F(CdcAcm, KernelLogHasNoFaults) { expect_a_clean_kernel_log(); }

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

// Finds QEMU, busybox and the kernel for `files`. Returns 0, or the exit
// status when one is missing: 77 (skipped) outside CI for the packages.
int
find_programs(vm_files& files)
{
  const char* ci = std::getenv("CI");
  bool in_ci = ci != nullptr && *ci != '\0' && std::strcmp(ci, "false") != 0;
  files.qemu = last_line_of("command -v qemu-system-x86_64");
  if (files.qemu.empty() || access("/bin/busybox", X_OK) != 0) {
    std::fprintf(stderr,
                 "uart_vm: %s: qemu-system-x86_64 or /bin/busybox is missing "
                 "(packages qemu-system-x86 and busybox-static, which "
                 "scripts/test installs)\n",
                 in_ci ? "FAILED" : "SKIPPED");
    return in_ci ? 1 : 77;
  }
  // The fetch script prints the kernel's directory last.
  const char* kernel = std::getenv("SERTERM_VM_KERNEL");
  std::string script = files.scripts + "/fetch_kernel.sh";
  files.kernel = kernel != nullptr ? kernel : last_line_of(script);
  if (files.kernel.empty()) {
    std::fprintf(stderr, "uart_vm: FAILED: no kernel: %s failed\n",
                 script.c_str());
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

// Boots every guest from `files`, side by side, within a bound on the
// whole run. A guest that does not boot fails its own scenarios.
void
boot_guests(const vm_files& files)
{
  std::signal(SIGALRM, end_overdue_run);
  alarm(240);
  // QEMU may end at any time: writing to its console then fails instead of
  // ending the harness.
  std::signal(SIGPIPE, SIG_IGN);
  for (std::size_t i = 0; i < guests.size(); ++i) {
    boot_errors[i] = launch_vm(guests[i], files, GUESTS[i].profile);
  }
  for (std::size_t i = 0; i < guests.size(); ++i) {
    if (boot_errors[i].empty()) {
      boot_errors[i] = await_vm(guests[i], milliseconds(90000));
    }
    if (boot_errors[i].empty()) {
      std::printf("uart_vm: kernel %s, %s; %s guest booted in %.1f s\n",
                  guests[i].release.c_str(), guests[i].accelerator.c_str(),
                  guests[i].name.c_str(), guests[i].boot_seconds);
    }
  }
}

} // namespace

} // namespace uart_vm

int
main(int argc, char** argv)
{
  using namespace uart_vm;
  testing::InitGoogleTest(&argc, argv);
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s SCRIPTS AGENT SERTERM SHIM\n", argv[0]);
    return 2;
  }
  vm_files files{"", "", argv[2], argv[3], argv[1], argv[4]};
  if (int status = find_programs(files); status != 0) {
    return status;
  }
  boot_guests(files);
  int result = RUN_ALL_TESTS();
  for (vm& each : guests) {
    stop_vm(each);
  }
  return result;
}
