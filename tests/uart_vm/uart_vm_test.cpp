// serterm on the kernel's own serial drivers: one guest per driver under
// QEMU (the 16550 UART, an FTDI USB adapter, a CDC-ACM device), each booted
// and driven by a process of its own, side by side. One table says which
// guests each scenario runs on; the guest's agent plays the user and this
// program the device at the other end of the line.
#include "protocol.hpp"
#include "support/oracles.hpp"
#include "vm.hpp"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fnmatch.h>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace uart_vm {

namespace {

using namespace serterm::testing;
using namespace std::string_literals;

enum : unsigned { UART = 1, FTDI = 2, ACM = 4, EVERY = UART | FTDI | ACM };

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

// One guest: its tests' suite, how it boots, the line serterm opens there,
// and the shell script (if any) that waits until that line is there, first
// plugging the gadget in and bridging its far end to the host. `far_line`
// is the line of the slow and stalled far ends: on the 16550 the second
// port, whose far end is the socket `paced`; on CDC-ACM the same line, whose
// far end is then the gadget's tty, read in the guest or not at all. Its
// driver's counts leave out `uncounted` bytes (the UART's FIFO) and, with
// `whole_buffers`, count whole transfer buffers, more than they hold.
struct guest_kind {
  const char* suite;
  unsigned id;
  vm_profile profile;
  const char* line;
  std::string plugged;
  const char* far_line;
  long uncounted;
  bool whole_buffers;
};

// clang-format off
const std::array<guest_kind, 3> GUESTS{{
    {"Uart16550", UART,
     {"16550", {"-serial", "chardev:line", "-serial", "chardev:paced"}, ""},
     "/dev/ttyS1", "", "/dev/ttyS2", 16, false},
    {"Ftdi", FTDI,
     {"ftdi", {"-device", "qemu-xhci,id=usb",
               "-device", "usb-serial,id=ftdi,chardev=line,bus=usb.0"},
      "xhci_pci,ftdi_sio"},
     "/dev/ttyUSB0", "until [ -e /dev/ttyUSB0 ]; do sleep 0.05; done", "", 0,
     false},
    {"CdcAcm", ACM,
     {"acm", {"-serial", "chardev:line"}, "dummy_hcd,cdc_acm,usb_f_acm"},
     "/dev/ttyACM0",
     "g="s + GADGET + "; [ -d $g ] || { mount -t configfs none "
     "/sys/kernel/config && mkdir $g $g/functions/acm.0 $g/configs/c.1 && "
     "cd $g && echo 0x1d6b >idVendor && echo 0x0104 >idProduct && "
     "ln -s $g/functions/acm.0 configs/c.1; } && "
     "{ [ -n \"$(cat $g/UDC)\" ] || echo dummy_udc.0 >$g/UDC; } && "
     "until [ -e /dev/ttyACM0 ]; do sleep 0.05; done && { " + BRIDGE_DOWN +
     "; " + BRIDGE_UP + "; }",
     "/dev/ttyACM0", 0, true},
}};
// clang-format on

// This process's guest.
vm guest;
const guest_kind* kind = nullptr;
std::string boot_error;

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
// What the guest writes to a line once serterm has let go of it: whatever
// serterm's run sent comes before it.
const std::string MARK = "\x01mark\x02";

long
ms_since(steady::time_point start)
{
  return static_cast<long>(
      std::chrono::duration_cast<milliseconds>(steady::now() - start).count());
}

// Takes in what the device has received so far.
void
take_line()
{
  std::ignore = drain(guest.line.master, streams.line_received);
}

// Sends the agent `command` with its time limit and `args`, and returns its
// answer's words; the scenario fails when none comes. While waiting, `idle`
// runs, by default taking in what the device receives (a far end that stops
// reading would freeze a guest on QEMU's USB serial device).
words
ask(const std::string& command, const std::string& args = "",
    milliseconds limit = WAIT_LIMIT,
    const std::function<void()>& idle = take_line)
{
  if (guest.lost) {
    ADD_FAILURE() << "the guest's agent stopped answering earlier";
    return {};
  }
  std::string line = command + " " + std::to_string(limit.count()) + " " + args;
  std::string answer =
      ask_agent(guest, line, limit + milliseconds(10000), idle);
  if (answer.empty()) {
    guest.lost = true;
    ADD_FAILURE() << "no answer to \"" << line.substr(0, 60) << "\"; console:\n"
                  << console_tail(guest);
  }
  return split(answer);
}

// Runs `script` in the guest's shell as `as` ("root", "UID:GROUP"), checks
// it exits `code`, and returns its output.
std::string
shell(const std::string& script, const std::function<void()>& idle = take_line,
      const std::string& as = "root", long code = 0)
{
  words w = ask("run", as + " " + to_hex(script), STEP_WAIT * 2, idle);
  std::string output = from_hex(word(w, 2));
  EXPECT_EQ(word(w, 1), std::to_string(code))
      << script << ": " << printable(output);
  return output;
}

void
type_keys(const std::string& keys)
{
  EXPECT_EQ(ask("type", to_hex(keys)),
            (words{"typed", std::to_string(keys.size()), "all"}));
}

// Waits for `text` as the next thing serterm shows on its screen, after
// what the previous wait found. True if it came.
bool
expect_shown(const std::string& text, milliseconds limit = STEP_WAIT)
{
  streams.screen_expected += text;
  words w = ask("expect", to_hex(text), limit);
  EXPECT_EQ(word(w, 1), "found")
      << printable(text) << " after " << printable(from_hex(word(w, 2)));
  return word(w, 1) == "found";
}

// Starts serterm at `bps` on `line`, after the agent's `options`.
bool
start_serterm(int bps, const std::string& options = "",
              const std::string& line = kind->line)
{
  // Anything still arriving was sent before this serterm started.
  take_line();
  streams = {};
  std::string args = options + std::to_string(-bps) + " " + line;
  words w = ask("spawn", args);
  EXPECT_EQ(w, (words{"keyboard", "raw"})) << "serterm " << args;
  return w == words{"keyboard", "raw"};
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
    EXPECT_EQ(ask("waitraw"), (words{"keyboard", "raw"}));
  }
}

// How serterm ended: "exit 0", "signal 15"; how many milliseconds after its
// start, the last keys or the start of the last shell command; its screen.
struct session_end {
  std::string how;
  long after_ms = -1;
  std::string screen;
};

// Waits for serterm to end and checks that the keyboard has its settings
// from before it started; `idle` and `limit` are as for `ask`.
session_end
wait_end(milliseconds limit = WAIT_LIMIT,
         const std::function<void()>& idle = take_line)
{
  words w = ask("wait", "", limit, idle);
  EXPECT_EQ(word(w, 4), "restored") << "the keyboard's settings";
  return {word(w, 1) + " " + word(w, 2), number(w, 3), from_hex(word(w, 5))};
}

// Once serterm has let go of the line, has the guest write MARK to it and
// takes in what the device receives up to there, which then holds all
// serterm sent.
void
receive_to_mark()
{
  take_line();
  std::size_t from = streams.line_received.size();
  std::ignore = shell("printf '\\001mark\\002' >"s + kind->line);
  EXPECT_TRUE(read_until(guest.line.master, streams.line_received, MARK,
                         STEP_WAIT, from))
      << "the guest's mark after serterm's run";
  std::size_t at = streams.line_received.find(MARK, from);
  streams.line_received.resize(std::min(at, streams.line_received.size()));
}

// Quits serterm through its prompt and checks that it exits 0, then its
// whole screen and all the device received. `after_end` runs between its
// end and the guest's mark.
void
quit_serterm(const std::function<void()>& after_end = {})
{
  escape_command("q", "");
  session_end end = wait_end();
  EXPECT_EQ(end.how, "exit 0");
  EXPECT_EQ(difference(end.screen, streams.screen_expected), "") << "screen";
  if (after_end) {
    after_end();
  }
  receive_to_mark();
  EXPECT_EQ(difference(streams.line_received, streams.line_expected), "")
      << "line";
}

// Does `send` and checks that the device receives `text` from it next.
void
expect_received(const std::string& text, const std::function<void()>& send)
{
  take_line();
  std::size_t from = streams.line_received.size();
  streams.line_expected += text;
  send();
  std::ignore = read_until(guest.line.master, streams.line_received,
                           at_least(from + text.size()), STEP_WAIT);
  EXPECT_EQ(printable(streams.line_received.substr(from)), printable(text));
}

void
expect_relayed_to_line(const std::string& text)
{
  expect_received(text, [&] { type_keys(text); });
}

void
expect_relayed_to_screen(const std::string& text)
{
  EXPECT_TRUE(write_all_bounded(guest.line.master, text, STEP_WAIT));
  expect_shown(text);
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
        device = device_line_settings(guest);
        tcgetattr(guest.line.master, &pty);
        return cfgetospeed(&device) == speed &&
               (device.c_cflag & FRAMING) == framing &&
               cfgetospeed(&pty) == speed && cfgetispeed(&pty) == speed &&
               (pty.c_cflag & CSTOPB) == (framing & CSTOPB);
      },
      STEP_WAIT);
  EXPECT_TRUE(shown) << "QEMU applied speed code " << cfgetospeed(&device)
                     << ", control flags " << device.c_cflag
                     << "; the host pty shows speed code " << cfgetospeed(&pty);
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

// The settings the driver holds for `line`, after stty `change` (if
// given), read with "stty -g": the four flag words (the control word with
// the speed), then the control characters.
termios
line_settings(const std::string& change = "",
              const std::string& line = kind->line)
{
  std::string stty = "stty -F " + line;
  words text =
      split(shell((change.empty() ? "" : stty + " " + change + " && ") + stty +
                  " -g | tr : ' '"));
  termios t{};
  std::array<tcflag_t*, 4> flags{&t.c_iflag, &t.c_oflag, &t.c_cflag,
                                 &t.c_lflag};
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned long value = std::strtoul(text[i].c_str(), nullptr, 16);
    if (i < flags.size()) {
      *flags[i] = static_cast<tcflag_t>(value);
    } else if (i - flags.size() < NCCS) {
      t.c_cc[i - flags.size()] = static_cast<cc_t>(value);
    }
  }
  EXPECT_EQ(text.size(), flags.size() + NCCS) << "words in stty -g";
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
  quit_serterm([&] { expect_host_framing(previous.speed, previous.framing); });
  return before;
}

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

void
unavailable_speed_gives_the_message_and_9600()
{
  for (int bps : {300, 230400}) {
    SCOPED_TRACE(std::to_string(bps) + " bps");
    // Written before the keyboard went raw: the pty maps its newline.
    run_at_speed(PREVIOUS_USES[0], bps, B9600,
                 std::to_string(bps) +
                     " bps unavailable.  9600 bps selected.\r\n");
  }
}

void
line_settings_are_restored_at_exit()
{
  for (const line_use& previous : PREVIOUS_USES) {
    SCOPED_TRACE(previous.stty);
    termios before = run_at_speed(previous, 115200, B115200);
    EXPECT_EQ(settings_difference(line_settings(), before), "");
  }
}

// The seven words serterm's v command prints for `device_lines` on a line
// whose driver never reports TIOCM_LE, with DTR and RTS up from the open.
std::string
modem_words(std::uint32_t device_lines)
{
  auto bit = [&](std::uint32_t b, const char* set, const char* clear) {
    return std::string((device_lines & b) != 0 ? set : clear);
  };
  return "enable|DTR|RTS|" + bit(TIOCM_CTS, "CTS|", "cts|") +
         bit(TIOCM_CAR, "DCD|", "dcd|") + bit(TIOCM_RNG, "RI|", "ri|") +
         bit(TIOCM_DSR, "DSR", "dsr");
}

// Sets the lines the device drives and checks that v shows them, read from
// the device.
void
expect_modem_status(std::uint32_t device_lines)
{
  SCOPED_TRACE(modem_words(device_lines));
  guest.device->device_lines = device_lines;
  std::uint32_t reads = guest.device->get_count.load();
  escape_command("v", modem_words(device_lines) + "\r\n");
  EXPECT_NE(guest.device->get_count.load(), reads)
      << "the status did not come from the device's lines";
}

void
modem_status_shows_the_device_lines()
{
  guest.device->device_lines = 0;
  ASSERT_TRUE(start_serterm(9600));
  for (int lines : {0, TIOCM_CTS, TIOCM_CAR, TIOCM_RNG, TIOCM_DSR,
                    static_cast<int>(DEVICE_LINES), TIOCM_CTS | TIOCM_DSR,
                    TIOCM_CAR | TIOCM_RNG, 0}) {
    expect_modem_status(static_cast<std::uint32_t>(lines));
  }
  quit_serterm();
}

// The lines of an ACM function: CTS always, DCD and DSR while the gadget's
// tty is open (the bridge), DTR and RTS from the open.
void
modem_status_shows_the_gadgets_lines()
{
  ASSERT_TRUE(start_serterm(115200));
  escape_command("v", "enable|DTR|RTS|CTS|DCD|ri|DSR\r\n");
  std::ignore = shell(BRIDGE_DOWN);
  escape_command("v", "enable|DTR|RTS|CTS|dcd|ri|dsr\r\n");
  std::ignore = shell(BRIDGE_UP);
  escape_command("v", "enable|DTR|RTS|CTS|DCD|ri|DSR\r\n");
  quit_serterm();
}

void
relaying_goes_on_after_carrier_drops()
{
  constexpr std::uint32_t WITH_CARRIER = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
  guest.device->device_lines = WITH_CARRIER;
  ASSERT_TRUE(start_serterm(115200));
  expect_relayed_to_screen("CONNECT 115200\r\n");
  expect_relayed_to_line("ATI\r");
  for (int drop = 0; drop < 2; ++drop) {
    SCOPED_TRACE("carrier drop " + std::to_string(drop + 1));
    expect_modem_status(TIOCM_CTS | TIOCM_DSR);
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

void
dtr_and_rts_are_left_to_the_driver()
{
  constexpr std::uint32_t BOTH = TIOCM_DTR | TIOCM_RTS;
  // The previous user's settings keep HUPCL: closing them drops the lines.
  std::ignore = leave_line_as(PREVIOUS_USES[0]);
  EXPECT_EQ(guest.device->guest_lines.load(), 0U);
  std::uint32_t before_open = guest.device->set_count.load();
  ASSERT_TRUE(start_serterm(19200));
  // A whole session: modem status, both directions, carrier changes,
  // bytes sent from the prompt, modes toggled.
  expect_modem_status(TIOCM_CTS | TIOCM_DSR | TIOCM_CAR);
  expect_relayed_to_screen("RING\r\n");
  expect_relayed_to_line("ATA\r");
  expect_modem_status(TIOCM_CTS | TIOCM_DSR);
  expect_received("ATH\r", [] { escape_command("x 41 54 48 0d", ""); });
  escape_command("h", "");
  escape_command("h", "");
  std::uint32_t before_quit = guest.device->set_count.load();
  EXPECT_EQ(guest_line_changes(0, before_open, before_quit),
            (std::vector<std::uint32_t>{0, BOTH}))
      << "the kernel raises DTR and RTS on open; nothing else may change them";
  // The restored settings have HUPCL, so the kernel drops both lines when
  // serterm closes the line: the only change after the open's (the guest's
  // mark opens the line again only after this).
  quit_serterm([&] {
    std::ignore = eventually(
        [] { return guest.device->guest_lines.load() == 0; }, STEP_WAIT);
    EXPECT_EQ(
        guest_line_changes(BOTH, before_quit, guest.device->set_count.load()),
        (std::vector<std::uint32_t>{BOTH, 0}));
  });
  guest.device->device_lines = 0;
}

// All 256 byte values cross both ways, at the fastest and a slow speed.
void
all_byte_values_cross_both_ways()
{
  // CTS stays clear throughout: any hardware flow control would hold the
  // guest's transmitter.
  guest.device->device_lines = 0;
  const std::string bytes = all_bytes();
  // The escape character typed twice quickly goes out once: in `bytes`,
  // the escape character's value is at its own index.
  std::string keys = bytes;
  keys.insert(static_cast<std::size_t>(ESCAPE), 1, ESCAPE);
  for (int bps : {115200, 1200}) {
    SCOPED_TRACE(std::to_string(bps) + " bps");
    ASSERT_TRUE(start_serterm(bps));
    // Device to screen: exactly the 256 bytes, nothing added.
    EXPECT_TRUE(write_all_bounded(guest.line.master, bytes, STEP_WAIT));
    expect_shown(bytes);
    EXPECT_EQ(ask("screen"), (words{"screen", to_hex(bytes)}));
    expect_received(bytes, [&] { type_keys(keys); });
    quit_serterm();
  }
}

void
quit_through_the_escape_prompt_exits_zero()
{
  ASSERT_TRUE(start_serterm(38400));
  expect_relayed_to_screen("OK\r\n");
  // Nothing typed at the prompt goes to the line.
  quit_serterm();
}

// A paste larger than every buffer between serterm and the device: the
// guest pty, serterm's queue, the driver's 4 KB transmit buffer, the UART's
// FIFO and the host pty. The device takes nothing until the driver's
// buffer is full, then everything.
void
paste_larger_than_the_transmit_buffer_arrives_whole()
{
  constexpr std::size_t PASTE = 64 * 1024;
  guest.device->device_lines = 0;
  ASSERT_TRUE(start_serterm(115200));
  streams.line_expected = paste_text(PASTE);
  auto started = steady::now();
  auto nothing = [] {};
  EXPECT_EQ(ask("paste", std::to_string(PASTE), WAIT_LIMIT, nothing),
            (words{"typed", std::to_string(PASTE), "all"}));
  long peak = number(ask("queue", "4000", WAIT_LIMIT * 2, nothing), 1);
  EXPECT_GE(peak, 4000) << "the most the driver held for the line";
  long full_ms = ms_since(started);
  EXPECT_TRUE(read_until(guest.line.master, streams.line_received,
                         at_least(PASTE), WAIT_LIMIT * 3))
      << "bytes of the paste the device received once it read again";
  std::printf("uart_vm: paste of %zu bytes, the device not reading: driver "
              "held %ld bytes after %.1f s; all received %.1f s later\n",
              PASTE, peak, static_cast<double>(full_ms) / 1000,
              static_cast<double>(ms_since(started) - full_ms) / 1000);
  quit_serterm();
}

// A second node for the line, which the dialout group may use, and a
// user in that group who is not root (root is exempt from exclusive mode)
// run serterm on it.
constexpr const char* SECOND_NODE = "/tmp/second";
constexpr const char* DIALOUT_USER = "1000:20";

void
second_open_through_another_node_is_refused()
{
  std::string line = kind->line;
  std::ignore = shell("n="s + SECOND_NODE + "; rm -f $n && mknod $n c " +
                      "$((0x$(stat -c %t " + line + "))) $((0x$(stat -c %T " +
                      line + "))) && chgrp 20 $n && chmod 660 $n");
  std::string second =
      "id -u; PATH=/bin serterm -9600 "s + SECOND_NODE + " </dev/null";
  ASSERT_TRUE(start_serterm(115200));
  expect_relayed_to_screen("first\r\n");
  termios during = line_settings();
  EXPECT_EQ(printable(shell(second, take_line, DIALOUT_USER, 1)),
            printable("1000\ncan't open "s + SECOND_NODE + "\nserterm: " +
                      SECOND_NODE + ": in use by another program\n"));
  EXPECT_EQ(settings_difference(line_settings(), during), "")
      << "the line's settings after the refused open";
  expect_relayed_to_screen("still here\r\n");
  expect_relayed_to_line("and here\r");
  quit_serterm();
  // Once the first has let go, the same user opens the line there.
  EXPECT_EQ(printable(shell(second, take_line, DIALOUT_USER, 0)), "1000\\n");
}

// How a session on a slow or stalled line ends: the user quits at the
// prompt, standard input (a file) ends, SIGTERM comes, or input ends and
// control-C (SIGINT) ends the wait for the port that follows.
enum class ending { quit, end_of_input, sigterm, interrupted_wait };

// One such session on the guest's `far_line`: serterm at `bps` on a port
// left at stty speed `left_at` (or as it is); the far end takes `fast`
// bytes at once, then reads `rate` bytes a second (0: never); `size` bytes
// pasted or, when input ends, in the file that is standard input; the
// driver's queue made to hold `full` bytes before anything else is done;
// the port's closing wait for the run in hundredths of a second (or as it
// is); how serterm must end, within how many milliseconds of the q, the
// start or the signal, and no sooner than `after_ms`; its whole screen,
// with '#' for each count; whether the counts account for every byte.
struct ending_case {
  const char* what;
  unsigned guests;
  int bps;
  const char* left_at;
  std::size_t fast;
  long rate;
  std::size_t size;
  ending how;
  long full;
  int closing_wait_cs;
  const char* end;
  long after_ms;
  long within_ms;
  const char* screen;
  bool counted;
};

#define HELD                                                                   \
  "serterm: waiting for the port to send the # bytes it still holds "          \
  "(control-C ends the wait)\r\n"
constexpr const char* HELD_THEN_DROPPED =
    HELD "serterm: the kernel dropped the # bytes the port still held\r\n";

// clang-format off
const std::array<ending_case, 8> ENDING_CASES{{
    {"12 kB pasted, the far end at line rate, then control-] q Enter",
     UART, 1200, "", 0, 120, 12288, ending::quit, 4000, 0, "exit 0", 0, 5000,
     "serterm> q\r\nserterm: bytes not sent to the line: #\r\n", true},
    // The driver takes bytes again only once it holds fewer than 256: seconds
    // at this speed in which serterm's own queue does not move.
    {"end of input, the line moving at line rate", UART, 9600, "", 0, 960,
     8192, ending::end_of_input, 4000, 0, "exit 0", 0, 30000, "", true},
    // The last bytes leave the UART at 1200 bps once the driver's queue is
    // empty: the saved 9600 must not come back before they are out.
    {"end of input at 1200 bps on a port left at 9600, the last 256 bytes "
     "at line rate", UART, 1200, "9600", 12288 - 256, 120, 12288,
     ending::end_of_input, 0, 0, "exit 0", 0, 30000, "", true},
    {"end of input, the line stalled", UART, 1200, "", 0, 0, 12288,
     ending::end_of_input, 4000, 0, "exit 1", 0, 8000,
     "serterm: bytes not sent to the line: #\r\n", true},
    {"12 kB pasted, then SIGTERM, the line stalled", UART, 1200, "", 0, 0,
     12288, ending::sigterm, 4000, 0, "signal 15", 0, 3000, "", false},
    // The driver sends whole transfer buffers of 10 kB: seconds between
    // steps. The gadget takes in the first two at once, so the file holds
    // more, for the driver to hold some at the end of input.
    {"end of input, the gadget read at 2 kB/s", ACM, 9600, "", 0, 2000,
     40960, ending::end_of_input, 4000, 0, "exit 0", 0, 60000, "", true},
    {"end of input, the port stalled, its closing wait 2.5 s", ACM, 115200,
     "", 0, 0, 20480, ending::end_of_input, 4000, 250, "exit 1", 2500, 15000,
     HELD_THEN_DROPPED, true},
    {"end of input, the port stalled, then control-C in the wait", ACM,
     115200, "", 0, 0, 20480, ending::interrupted_wait, 4000, 0, "signal 2",
     0, 5000, HELD, true},
}};
// clang-format on

// What serterm's last messages counted (-1: no such message), and its
// screen with each count as '#'.
struct counts {
  long unsent = -1;
  long held = -1;
  long dropped = -1;
  std::string screen;
};

counts
read_counts(const std::string& screen)
{
  counts c{-1, -1, -1, screen};
  std::array<std::pair<const char*, long*>, 3> before{{
      {"bytes not sent to the line: ", &c.unsent},
      {"waiting for the port to send the ", &c.held},
      {"the kernel dropped the ", &c.dropped},
  }};
  c.dropped =
      screen.find("the port has sent them") == std::string::npos ? -1 : 0;
  for (auto [text, count] : before) {
    std::size_t at = c.screen.find(text);
    at = at == std::string::npos ? at : at + std::strlen(text);
    std::size_t end = c.screen.find_first_not_of("0123456789", at);
    if (at != std::string::npos && end != at) {
      *count = std::stol(c.screen.substr(at, end - at));
      c.screen.replace(at, end - at, "#");
    }
  }
  return c;
}

// How fast the far end on the paced socket reads: `free` bytes at once,
// then `rate` a second (-1: all there is) from `since`.
struct far_pace {
  std::size_t free;
  long rate;
  steady::time_point since;
};

void
read_paced(std::string& into, far_pace& pace)
{
  // Taking bytes as they come for a while: the socket holds only a few.
  for (auto end = steady::now() + milliseconds(5);
       into.size() < pace.free && remaining_ms(end) > 0;
       wait_fd(guest.paced, POLLIN, 1)) {
    std::ignore = drain(guest.paced, into, pace.free - into.size());
    pace.since = steady::now();
  }
  if (into.size() < pace.free) {
    return;
  }
  long due = pace.rate < 0 ? LONG_MAX
                           : static_cast<long>(pace.free) +
                                 pace.rate * ms_since(pace.since) / 1000;
  auto have = static_cast<long>(into.size());
  std::ignore = due > have &&
                drain(guest.paced, into, static_cast<std::size_t>(due - have));
}

// The rows whose moving line serterm took for a stalled one, the known
// limit on a driver that does not say in what steps it sends.
std::string misjudged;

// Runs `c` and checks how serterm ends, its screen and the line's
// settings after it, that the far end got a prefix of the input, and that
// the bytes counted not sent, held or dropped by the port are the rest:
// less what the driver counts nowhere, more what a driver that counts whole
// buffers counted beyond the bytes, never more than serterm wrote.
void
end_a_session(const ending_case& c)
{
  SCOPED_TRACE(c.what);
  const std::string line = kind->far_line;
  // The gadget's tty is read in the guest; the paced socket here.
  bool in_guest = kind->id == ACM;
  std::string received;
  far_pace pace{c.fast, c.rate, {}};
  auto reads = [&] {
    if (!in_guest) {
      read_paced(received, pace);
    }
  };
  auto say = [&](const std::string& command, const std::string& args,
                 milliseconds limit = WAIT_LIMIT) {
    return ask(command, args, limit, reads);
  };
  auto start_reader = [&](long rate) {
    EXPECT_EQ(say("reader", "/dev/ttyGS0 " + std::to_string(rate)),
              (words{"reader", "started"}));
  };
  if (in_guest) {
    std::ignore = shell(BRIDGE_DOWN);
  }
  if (in_guest && c.rate != 0) {
    start_reader(c.rate);
  }
  std::ignore = in_guest || drain(guest.paced, received);
  received.clear();
  termios before = line_settings(c.left_at, line);
  long cs = c.closing_wait_cs > 0 ? c.closing_wait_cs : -1;
  words serial = say("serial", line + " " + std::to_string(cs));
  long step = number(serial, 2);
  EXPECT_GE(number(serial, 1), 0) << "the port's closing wait (TIOCGSERIAL)";
  bool from_file = c.how != ending::quit && c.how != ending::sigterm;
  std::string size = std::to_string(c.size);
  pace.since = steady::now();
  EXPECT_EQ(say("spawn", (from_file ? "input=" + size + " " : ""s) +
                             std::to_string(-c.bps) + " " + line),
            (words{"keyboard", from_file ? "started" : "raw"}));
  if (!from_file) {
    EXPECT_EQ(say("paste", size), (words{"typed", size, "all"}));
  }
  long peak = -1;
  if (c.full > 0) {
    peak = number(say("queue", std::to_string(c.full), WAIT_LIMIT * 2), 1);
    EXPECT_GE(peak, c.full) << "the most the driver held for the line";
  }
  if (c.how == ending::quit) {
    // Control-], a pause longer than the quick key's window, then q Enter,
    // all while the paste goes out.
    std::ignore = say("type", to_hex(std::string(1, ESCAPE)));
    std::ignore = say("run", "root " + to_hex("sleep 0.5"));
    std::ignore = say("type", to_hex("q\r"));
  } else if (c.how == ending::interrupted_wait) {
    EXPECT_EQ(
        word(say("expect", to_hex("ends the wait)\r\n"), WAIT_LIMIT * 2), 1),
        "found");
  }
  if (c.how == ending::sigterm || c.how == ending::interrupted_wait) {
    std::ignore = shell(
        "kill -"s + (c.how == ending::sigterm ? "TERM" : "INT") + " $serterm",
        reads);
  }
  session_end end = wait_end(milliseconds(c.within_ms) + STEP_WAIT, reads);
  const char* from = c.how == ending::quit           ? "q"
                     : c.how == ending::end_of_input ? "start"
                                                     : "kill";
  EXPECT_LE(end.after_ms, c.within_ms)
      << "ms from the " << from << " to the end";
  EXPECT_GE(end.after_ms, c.after_ms)
      << "ms from the " << from << " to the end";
  // Whatever left the port comes before the guest's mark.
  if (in_guest && c.rate == 0) {
    start_reader(-1);
  }
  pace = {0, -1, {}};
  std::ignore = shell("printf '\\001mark\\002' >" + line, reads);
  std::size_t arrived = 0;
  long parts = -1;
  if (in_guest) {
    words w = say("gotten", to_hex(MARK), WAIT_LIMIT * 3);
    EXPECT_EQ(word(w, 1), "yes") << "the guest's mark after serterm's run";
    arrived = static_cast<std::size_t>(number(w, 2));
    parts = number(w, 3);
  } else {
    EXPECT_TRUE(read_until(guest.paced, received, MARK, STEP_WAIT))
        << "the guest's mark after serterm's run";
    arrived = std::min(received.find(MARK), received.size());
    parts = parts_from_paste(received.substr(0, arrived));
  }
  EXPECT_EQ(parts, -1) << "where the far end's bytes part from the input";
  if (cs > 0) {
    std::ignore = say("serial", line + " " + word(serial, 1));
  }
  EXPECT_EQ(settings_difference(line_settings("", line), before), "")
      << "the line's settings after the run";
  counts n = read_counts(end.screen);
  // serterm learns a driver's step from TIOCGSERIAL or from a drop in its
  // count within a second; a driver that reports none, and whose one step
  // left takes longer, is judged stalled, though it then sends every byte.
  if (step == 0 && end.how == "exit 1" && c.end == "exit 0"s &&
      n.screen == HELD "serterm: the port has sent them\r\n" &&
      arrived == c.size) {
    misjudged += " (" + std::string(c.what) + ")";
  } else {
    EXPECT_EQ(end.how, c.end);
    EXPECT_EQ(printable(n.screen), printable(c.screen));
  }
  long rest = static_cast<long>(c.size - std::min(c.size, arrived));
  long unsent = std::max(n.unsent, 0L);
  long counted = unsent + (n.dropped >= 0 ? n.dropped : std::max(n.held, 0L));
  if (c.counted) {
    EXPECT_LE(rest, counted + (counted > 0 ? kind->uncounted : 0))
        << "bytes that never arrived, against the " << counted << " counted";
    EXPECT_LE(counted, kind->whole_buffers ? static_cast<long>(c.size) : rest)
        << "bytes counted, against the " << rest << " that never arrived";
    EXPECT_LE(n.held, static_cast<long>(c.size) - unsent)
        << "bytes the port held, against those serterm wrote";
    EXPECT_LE(n.dropped, n.held) << "bytes dropped, against those held";
  }
  std::printf("uart_vm: %s, at %d bps: ended %.1f s after the %s, %s; the "
              "driver's step %ld, the most it held %ld; the far end got %zu of "
              "%zu bytes; counted: not sent %ld, held %ld, dropped %ld\n",
              c.what, c.bps, static_cast<double>(end.after_ms) / 1000.0, from,
              end.how.c_str(), step, peak, arrived, c.size, n.unsent, n.held,
              n.dropped);
}

void
slow_or_stalled_line_ends_at_once_counting_every_byte()
{
  misjudged.clear();
  for (const ending_case& c : ENDING_CASES) {
    if ((c.guests & kind->id) != 0) {
      end_a_session(c);
    }
  }
  if (!misjudged.empty()) {
    GTEST_SKIP() << "every other check held, but the driver reports no step "
                    "(xmit_fifo_size 0) and serterm judged the moving line "
                    "stalled, exit 1 after \"the port has sent them\":"
                 << misjudged;
  }
}

// When the device goes away, and what the user does then (`controlling`:
// mid-relay, on a line that is serterm's controlling terminal).
// clang-format off
enum class moment {
  relaying, prompt_then_q, prompt_then_v, stopped, pasting, controlling
};
// clang-format on

// One unplug: when, how serterm must end ("exit 1", "signal 1") and the
// rest of its screen after what it showed before: one of `screens`, and
// then the count of bytes not sent when `count` says it follows (1), may
// follow (2) or not (0).
struct unplug_case {
  moment when;
  const char* end;
  std::vector<std::string> screens;
  int count;
};

constexpr const char* UNSENT = "serterm: bytes not sent to the line: #\r\n";

const unplug_case MID_RELAY{
    moment::relaying, "exit 1", {"serterm: line closed\r\n"}, 0};
const unplug_case PROMPT_THEN_Q{
    moment::prompt_then_q, "exit 0", {"serterm> q\r\n"}, 0};
const unplug_case PROMPT_THEN_V{
    moment::prompt_then_v,
    "exit 1",
    {"serterm> v\r\nserterm: can't read modem status: Input/output "
     "error\r\nserterm: line closed\r\n"},
    0};
// The key and the hang-up are both there when serterm goes on: it reads
// the key, then the line's end, before it writes anything.
const unplug_case STOPPED{
    moment::stopped, "exit 1", {"serterm: line closed\r\n"}, 1};
// Which of the line's failures serterm meets first depends on when the
// unplug comes.
const unplug_case PASTING{moment::pasting,
                          "exit 1",
                          {"serterm: line closed\r\n",
                           "serterm: line write failed: Input/output error\r\n",
                           "serterm: line write failed: No such device\r\n"},
                          2};
// The hangup's SIGHUP ends it, silently, with the keyboard put back.
const unplug_case CONTROLLING{moment::controlling, "signal 1", {""}, 0};

// True when QEMU's monitor carried out `command`.
bool
monitor_did(const std::string& command)
{
  std::string answer = monitor(guest, command);
  return !answer.empty() && answer.find("Error") == std::string::npos;
}

// Takes the device out from under the guest: QEMU's USB serial device
// unplugged, or the gadget unbound from its controller.
void
unplug()
{
  if (kind->id == FTDI) {
    EXPECT_TRUE(monitor_did("device_del ftdi"));
  } else {
    std::ignore = shell("echo >"s + GADGET + "/UDC");
  }
}

// Pastes until the device has received 16 KB, then unplugs it. Returns
// how many bytes were typed but never received.
std::size_t
unplug_during_a_paste(steady::time_point& unplugged)
{
  take_line();
  std::size_t from = streams.line_received.size();
  unplugged = {};
  words answer = ask("paste", "4194304", WAIT_LIMIT * 2, [&] {
    take_line();
    if (unplugged == steady::time_point{} &&
        streams.line_received.size() >= from + 16384) {
      unplugged = steady::now();
      unplug();
    }
  });
  EXPECT_EQ(word(answer, 2), "ended")
      << "the paste did not end with serterm: " << word(answer, 1);
  // What came before the unplug came whole and in order.
  take_line();
  std::string pasted = streams.line_received.substr(from);
  EXPECT_EQ(parts_from_paste(pasted), -1) << "where the line parts";
  auto typed = static_cast<std::size_t>(number(answer, 1));
  return typed - std::min(typed, pasted.size());
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
  bool at_once =
      pasting || c.when == moment::relaying || c.when == moment::controlling;
  ASSERT_TRUE(start_serterm(
      115200, (pasting ? "noecho "s : ""s) +
                  (c.when == moment::controlling ? "setsid " : "")));
  expect_relayed_to_screen("hello\r\n");
  expect_relayed_to_line("abc");
  const std::string gone =
      "while [ -e "s + kind->line + " ]; do sleep 0.02; done";
  std::size_t lost = 0;
  auto unplugged = steady::now();
  if (pasting) {
    lost = unplug_during_a_paste(unplugged);
  } else if (at_once) {
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
  session_end end = wait_end();
  long ended_ms = ms_since(unplugged);
  EXPECT_EQ(end.how, c.end);
  counts n = read_counts(end.screen);
  bool known = false;
  for (const std::string& rest : c.screens) {
    for (int with = 0; with < 2; ++with) {
      known = known ||
              (n.screen == "hello\r\n" + rest + (with == 1 ? UNSENT : "") &&
               (with == 1 ? c.count != 0 : c.count != 1));
    }
  }
  EXPECT_TRUE(known) << printable(end.screen);
  // Bytes counted not sent were typed and never reached the device.
  EXPECT_LE(n.unsent, static_cast<long>(pasting ? lost : 1));
  if (at_once) {
    // The hang-up comes within about 40 ms of the unplug; the bound is the
    // agent's answer's too.
    EXPECT_LT(ended_ms, 5000) << "ms from the unplug to the agent's report "
                                 "of serterm's end";
  }
  // QEMU lets the device go a little after it answers, and keeps its
  // chardev until then.
  EXPECT_TRUE(kind->id != FTDI || eventually([] {
                return monitor_did(
                    "device_add usb-serial,id=ftdi,chardev=line,bus=usb.0");
              }));
  // Back as the same node: serterm has let go of the dead one, whose holder
  // would keep its number.
  std::ignore = shell(kind->plugged);
}

void
driver_counted_no_line_errors()
{
  std::string port = shell("grep '^1:' /proc/tty/driver/serial");
  EXPECT_EQ(port.rfind("1: uart:16550A ", 0), 0U) << port;
  for (const char* counter : {" fe:", " pe:", " oe:", " brk:"}) {
    EXPECT_EQ(port.find(counter), std::string::npos) << port;
  }
}

// Fails on any warning, bug or oops in the guest's kernel log so far; the
// error lines of an unplug are expected.
void
kernel_log_has_no_faults()
{
  std::string log = shell("dmesg");
  for (const char* fault : {"WARNING:", "BUG:", "Oops"}) {
    EXPECT_EQ(log.find(fault), std::string::npos) << log;
  }
  EXPECT_NE(log, "");
}

// The scenarios, in the order they run on each guest named.
struct scenario {
  const char* name;
  unsigned guests;
  void (*run)();
};

// clang-format off
const auto SCENARIOS = std::to_array<scenario>({
    {"EverySpeedOfTheTableReachesTheDriver", UART | FTDI, every_speed_reaches_the_driver},
    {"UnavailableSpeedGivesTheMessageAnd9600", UART, unavailable_speed_gives_the_message_and_9600},
    {"LineSettingsAreRestoredAtExit", UART, line_settings_are_restored_at_exit},
    {"ModemStatusShowsTheDeviceLines", UART | FTDI, modem_status_shows_the_device_lines},
    {"ModemStatusShowsTheGadgetsLines", ACM, modem_status_shows_the_gadgets_lines},
    {"RelayingGoesOnAfterCarrierDrops", UART, relaying_goes_on_after_carrier_drops},
    {"DtrAndRtsAreLeftToTheDriver", UART, dtr_and_rts_are_left_to_the_driver},
    {"AllByteValuesCrossBothWays", EVERY, all_byte_values_cross_both_ways},
    {"PasteLargerThanTheTransmitBufferArrivesWhole", UART, paste_larger_than_the_transmit_buffer_arrives_whole},
    {"QuitThroughTheEscapePromptExitsZero", EVERY, quit_through_the_escape_prompt_exits_zero},
    {"SecondOpenThroughAnotherNodeIsRefused", EVERY, second_open_through_another_node_is_refused},
    {"SlowOrStalledLineEndsAtOnceCountingEveryByte", UART | ACM, slow_or_stalled_line_ends_at_once_counting_every_byte},
    {"UnpluggedMidRelay", FTDI | ACM, [] { unplug_while_running(MID_RELAY); }},
    {"UnpluggedAtThePromptThenQ", FTDI, [] { unplug_while_running(PROMPT_THEN_Q); }},
    {"UnpluggedAtThePromptThenV", FTDI | ACM, [] { unplug_while_running(PROMPT_THEN_V); }},
    {"UnpluggedWhileStoppedThenAKey", FTDI, [] { unplug_while_running(STOPPED); }},
    {"UnpluggedDuringAPaste", FTDI, [] { unplug_while_running(PASTING); }},
    {"UnpluggedAsControllingTerminal", FTDI, [] { unplug_while_running(CONTROLLING); }},
    {"DriverCountedNoLineErrors", UART, driver_counted_no_line_errors},
    {"KernelLogHasNoFaults", EVERY, kernel_log_has_no_faults},
});
// clang-format on

// A scenario on this process's guest, whose line is there (plugged in
// again, if a scenario pulled it out) before it starts.
struct on_guest : testing::Test {
  explicit on_guest(void (*run)()) : body(run) {}
  void
  SetUp() override
  {
    ASSERT_GE(guest.qemu.pid, 0) << "the " << kind->profile.name
                                 << " guest did not boot: " << boot_error;
    if (!kind->plugged.empty()) {
      std::ignore = shell(kind->plugged);
    }
  }
  void
  TestBody() override
  {
    body();
  }
  void (*body)();
};

// The last line `command` prints through the shell, or "" if it fails.
std::string
last_line_of(const std::string& command)
{
  FILE* out = popen(command.c_str(), "r");
  std::array<char, 4096> text{};
  std::string line;
  while (out != nullptr && std::fgets(text.data(), 4096, out) != nullptr) {
    line = text.data();
  }
  bool done = out != nullptr && pclose(out) == 0;
  return done ? line.substr(0, line.find('\n')) : "";
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

// True when --gtest_filter selects the test `name`: a pattern before any
// '-' matches it and none after.
bool
selected(const std::string& name)
{
  std::string filter = GTEST_FLAG_GET(filter);
  auto matches = [&](const std::string& patterns) {
    std::istringstream each(patterns);
    bool found = false;
    for (std::string pattern; std::getline(each, pattern, ':');) {
      found = found || fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
    }
    return found;
  };
  std::size_t minus = std::min(filter.find('-'), filter.size());
  return (minus == 0 || matches(filter.substr(0, minus))) &&
         !matches(filter.substr(std::min(minus + 1, filter.size())));
}

// Boots guest `which` from `files` and runs its scenarios. Returns the
// status of the run.
int
run_guest(std::size_t which, const vm_files& files)
{
  kind = &GUESTS[which];
  bool any = false;
  for (const scenario& s : SCENARIOS) {
    if ((s.guests & kind->id) != 0 && selected(kind->suite + "."s + s.name)) {
      any = true;
      testing::RegisterTest(
          kind->suite, s.name, nullptr, nullptr, __FILE__, __LINE__,
          [&s]() -> on_guest* { return new on_guest(s.run); });
    }
  }
  if (!any) {
    return 0;
  }
  // QEMU may end at any time: writing to its console then fails instead of
  // ending the harness.
  std::signal(SIGPIPE, SIG_IGN);
  boot_error = launch_vm(guest, files, kind->profile);
  if (boot_error.empty()) {
    boot_error = await_vm(guest, milliseconds(90000));
  }
  if (boot_error.empty()) {
    std::printf("uart_vm: kernel %s, %s; %s guest booted in %.1f s\n",
                guest.release.c_str(), guest.accelerator.c_str(),
                guest.name.c_str(), guest.boot_seconds);
  }
  int result = RUN_ALL_TESTS();
  stop_vm(guest);
  return result;
}

// Each guest's process, and the file that holds what it printed.
std::array<pid_t, GUESTS.size()> runs{};
std::array<int, GUESTS.size()> outputs{};

// Copies what each guest's process printed to standard output, in the
// order of the guests. Async-signal-safe.
void
show_outputs()
{
  std::array<char, 4096> chunk;
  for (int fd : outputs) {
    for (ssize_t n = pread(fd, chunk.data(), chunk.size(), 0), at = 0; n > 0;
         at += n, n = pread(fd, chunk.data(), chunk.size(), at)) {
      std::ignore =
          write(STDOUT_FILENO, chunk.data(), static_cast<std::size_t>(n));
    }
  }
}

// Ends a run that outlasts every bounded wait added up, which only a
// wedged guest can cause; each QEMU goes with its process.
void
end_overdue_run(int)
{
  for (pid_t pid : runs) {
    kill(pid, SIGKILL);
  }
  show_outputs();
  static constexpr char MESSAGE[] =
      "\nuart_vm: FAILED: the run took longer than 270 s\n";
  std::ignore = write(STDOUT_FILENO, MESSAGE, sizeof MESSAGE - 1);
  _exit(1);
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
  std::fflush(nullptr);
  std::signal(SIGALRM, end_overdue_run);
  alarm(270);
  for (std::size_t i = 0; i < GUESTS.size(); ++i) {
    char path[] = "/tmp/serterm-uart-vm-out.XXXXXX";
    outputs[i] = mkstemp(path);
    unlink(path);
    runs[i] = fork();
    if (runs[i] == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      dup2(outputs[i], STDOUT_FILENO);
      dup2(outputs[i], STDERR_FILENO);
      int result = run_guest(i, files);
      std::fflush(nullptr);
      _exit(result);
    }
  }
  int result = 0;
  for (pid_t pid : runs) {
    int status = 0;
    waitpid(pid, &status, 0);
    result = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? result : 1;
  }
  alarm(0);
  show_outputs();
  return result;
}
