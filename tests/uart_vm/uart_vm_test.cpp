// serterm on the kernel's own serial drivers: one guest per driver under
// QEMU (the 16550 UART, an FTDI USB adapter, a CDC-ACM device), each booted
// and driven by a process of its own, side by side. The guest's agent plays
// the user and this program the device at the other end of the line.
//
// A scenario is a row of one table: its name, the guests it runs on and its
// steps, each a word and the rest of its text, which `run_step` carries out
// in order. After "each A,B,..." the steps that follow run once for every
// value, the '@' in a step replaced by it.
// The steps, for serterm on the guest's line unless a far end is set:
//   device LINES      the device drives the lines LINES names (CTS DCD RI DSR)
//   leave STTY        the previous user leaves the line so (the host sees it
//                     so, on the device's line); the driver's settings kept
//   host STTY         the host comes to see the speed and framing of STTY
//   start BPS [OPTS]  serterm at BPS, the agent's OPTS (noecho, setsid,
//                     input=N) first; its keyboard turns raw
//   from TEXT         the device sends TEXT; the screen shows it next
//   shows TEXT        the screen shows TEXT next
//   await TEXT        the screen comes to show TEXT (the end checks it all)
//   keys TEXT         TEXT typed (and it may never reach the line)
//   sent TEXT         the device receives TEXT next
//   to TEXT           TEXT typed and the device receives it next
//   esc COMMAND       COMMAND at the escape prompt: its echo, nothing more
//   v WORDS           the device drives the lines WORDS names in capitals;
//                     v at the prompt shows WORDS
//   raw BPS           the driver holds the kept settings made raw at BPS
//   restored          the driver holds the kept settings
//   dtr N STATE       the guest's DTR and RTS changed N times since the last
//                     dtr step and are both STATE ("up" or "down")
//   sh SCRIPT         SCRIPT in the guest's shell exits 0
//   quit [STEP]       q at the prompt, the end "exit 0 -", STEP, then the
//                     guest's mark: the line got all serterm should send
//   end HOW MS TEXT   serterm ends as HOW ("exit 1", "signal 2") within MS
//                     (MIN-MAX; "-": any) of the unplug, else of the last
//                     start, keys or shell command; the keyboard restored;
//                     its screen, counts as '#', is what it should show then
//                     one of the texts TEXT holds between '|'
//   unplug, replug    the device pulled out, and back as the same node
// and the named steps that are no sequence of those: hold and release (the
// device stops reading, then reads all), paste N, queue N (the driver holds
// N), unplug-pasting, second refused|opens (a dialout user through a second
// node), far RATE [FAST] (the slow or stalled far end, which takes its
// first FAST bytes as they come), serial [CS] (the closing wait), fill and
// read RATE|closed (the gadget's tty as that far end, filled, then read at
// RATE), delivered (the far end's bytes, and the counts against them).
#include "protocol.hpp"
#include "support/oracles.hpp"
#include "support/pty_kit.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <ranges>
#include <regex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <utility>
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
// The bridge's are the only cat processes that outlive a shell command.
constexpr const char* BRIDGE_DOWN =
    "killall -q cat; while pidof cat >/dev/null; do sleep 0.01; done";
constexpr const char* BRIDGE_UP =
    "stty -F /dev/ttyGS0 raw -echo && stty -F /dev/ttyS1 raw -echo clocal && "
    "{ cat /dev/ttyGS0 >/dev/ttyS1 & cat /dev/ttyS1 >/dev/ttyGS0 & } "
    "2>/dev/null";

// One guest: its tests' suite, QEMU's arguments for the device on
// the host pty `line` (the chardev "line") and, if it has one, on the socket
// `paced` (the chardev "paced"), the kernel modules its init loads (names
// separated by commas, with those they depend on), the line serterm opens
// there, and the shell script (if any) that waits until that line is there,
// first plugging the gadget in and bridging its far end to the host. `far_line`
// is the line of the slow and stalled far ends: on the 16550 the second
// port, whose far end is the socket `paced`; on CDC-ACM the same line, whose
// far end is then the gadget's tty, read in the guest or not at all. Its
// driver's counts leave out `uncounted` bytes (the UART's FIFO) and, with
// `whole_buffers`, count whole transfer buffers, more than they hold.
struct guest_kind {
  const char* suite;
  unsigned id;
  std::vector<std::string> devices;
  std::string modules;
  const char* line;
  std::string plugged;
  const char* far_line;
  long uncounted;
  bool whole_buffers;
};

// clang-format off
const std::array<guest_kind, 3> GUESTS{{
    {"Uart16550", UART, {"-serial", "chardev:line", "-serial", "chardev:paced"},
     "", "/dev/ttyS1", "", "/dev/ttyS2", 16, false},
    {"Ftdi", FTDI, {"-device", "qemu-xhci,id=usb",
      "-device", "usb-serial,id=ftdi,chardev=line,bus=usb.0"},
     "xhci_pci,ftdi_sio", "/dev/ttyUSB0",
     "until [ -e /dev/ttyUSB0 ]; do sleep 0.05; done", "", 0, false},
    {"CdcAcm", ACM, {"-serial", "chardev:line"},
     "dummy_hcd,cdc_acm,usb_f_acm", "/dev/ttyACM0",
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

// What a boot needs, all paths on the host, as run_guests.sh gives them:
// the guest's work directory (its own, removed by the script), the kernel
// (`vmlinux` of fetch_kernel.sh's directory), QEMU, the initial RAM file
// system and the device shim.
struct {
  std::string work_dir, kernel, qemu, initramfs, shim;
} files;

// This process's guest, running. `qemu` is QEMU's run, whose standard input
// and output are the guest's console: its `out` stream holds all the
// console showed, its `line` stream what the device received and its
// `screen` stream what the paced line's far end read. `line.master`
// (non-blocking) is the host's end of the device on its chardev "line";
// `device` the state shared with the shim inside QEMU. The run's screen
// descriptor (non-blocking) is the host's end of the unix socket behind the
// chardev "paced": QEMU sends a UART's bytes into it one at a time, and the
// shim makes it hold only a few of them, so the pace at which the host
// reads them is the line's. `lost` is set once the agent failed to answer:
// later answers could belong to earlier commands.
struct {
  run qemu;
  pty_pair line;
  device_state* device = nullptr;
  bool lost = false;
} guest;
const guest_kind* kind = nullptr;
std::string boot_error;
// Where QEMU's run keeps the console's output, what the device received
// and what the paced line's far end read.
constexpr auto OUT = static_cast<std::size_t>(stream::out);
constexpr auto LINE = static_cast<std::size_t>(stream::line);
constexpr auto FAR_END = static_cast<std::size_t>(stream::screen);

// A socket connected to the unix socket at `path`, or -1.
int
connect_unix(const std::string& path)
{
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{AF_UNIX, {}};
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  if (fd >= 0 &&
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(std::exchange(fd, -1));
  }
  return fd;
}

// True when QEMU's monitor carried out `command`: it greets with its
// prompt, shows it again after each command's answer, and begins errors
// with "Error".
bool
monitor(const std::string& command)
{
  constexpr std::string_view PROMPT = "(qemu) ";
  int fd = connect_unix(files.work_dir + "/monitor");
  std::string got;
  bool greeted = fd >= 0 && set_nonblocking(fd) && read_until(fd, got, PROMPT);
  std::size_t from = got.size();
  bool answered = greeted && write_all_bounded(fd, command + "\n") &&
                  read_until(fd, got, PROMPT, WAIT_LIMIT, from);
  close(fd);
  return answered && got.find("Error", from) == std::string::npos;
}

// What a row has done so far. Of its serterm: the line it opens (`far`: the
// one of the slow or stalled far end), what its screen should show and the
// line should receive, the bytes typed that may never reach the line, when
// the device was unplugged, the step its end is timed from, and the counts
// of its last messages (-1: none). From the start on, the paced socket's
// far end takes `fast` bytes as they come, then `rate` a second (-1: all
// there is). The driver's settings `leave` kept, its closing wait before the
// row (if the row set it); the input's size; the shim's count of the
// guest's line changes at the last dtr step.
struct row_state {
  std::string line, screen, sent, timed_from, closing_wait;
  bool far = false;
  long unreceived = 0, unsent = -1, held = -1, dropped = -1, rate = -1;
  steady::time_point unplugged;
  std::size_t fast = 0, size = 0;
  termios kept{};
  std::uint32_t dtr_changes = UINT32_MAX;
};
row_state row;

// How long one step waits for the device or the host's view.
constexpr milliseconds STEP_WAIT{5000};
constexpr char ESCAPE = '\x1d';
// What the guest writes to a line once serterm has let go of it: whatever
// serterm's run sent comes before it.
const std::string MARK = "\x01mark\x02";
const std::string PUT_MARK = "printf '\\001mark\\002' >";

// Where `got` first parts from the paste pattern, or -1 if it is a prefix
// of it.
long
parts_from_paste(const std::string& got)
{
  std::string want = paste_text(got.size());
  auto at = std::mismatch(got.begin(), got.end(), want.begin()).first;
  return at == got.end() ? -1 : at - got.begin();
}

// Sends the agent `command` (none: only waits) with its time limit and
// `args`, and returns the words of its next answer (after the "@@ "); the
// scenario fails when none comes within the limit and 10 s more, or QEMU
// ends first. While waiting, about every 5 ms, QEMU's run is taken in,
// the device's line with it (a far end that stops reading would freeze a
// guest on QEMU's USB serial device), then `idle` runs. The until
// command's answer has the agent's state once what it waits for came or
// its limit passed: words 1 found, 2 the keyboard, 3 and 4 how serterm
// ended, 5 when, 6 the most the driver held, 7 what the reader got, 8 the
// screen.
words
ask(
    const std::string& command, const std::string& args = "",
    milliseconds limit = WAIT_LIMIT, const std::function<void()>& idle = [] {})
{
  std::string line = command + " " + std::to_string(limit.count()) + " " + args;
  auto end = steady::now() + limit + milliseconds(10000);
  std::string& console = got(guest.qemu, stream::out);
  std::size_t& seen = guest.qemu.seen[OUT];
  words answer;
  for (bool waiting = !guest.lost &&
                      (command.empty() ||
                       write_all_bounded(guest.qemu.keys, line + "\n", limit));
       waiting;
       wait_fd(guest.qemu.fds[OUT], POLLIN, std::min(remaining_ms(end), 5))) {
    // What QEMU wrote before it ended is all there once it has.
    waiting = !has_ended(guest.qemu.pid) && remaining_ms(end) > 0;
    take(guest.qemu);
    idle();
    std::size_t at = console.find("@@ ", seen);
    std::size_t line_end = console.find('\n', std::min(at, console.size()));
    if (line_end != std::string::npos) {
      seen = line_end + 1;
      answer = split(console.substr(at + 3, line_end - at - 3));
      break;
    }
  }
  std::string tail =
      guest.lost
          ? "(lost earlier)"
          : console.substr(std::max<std::size_t>(console.size(), 4000) - 4000);
  EXPECT_FALSE(answer.empty())
      << (command.empty() ? "the agent did not greet"
                          : "no answer to \"" + line.substr(0, 60) + "\"")
      << "; console:\n"
      << tail << "\n--- QEMU:\n"
      << got(guest.qemu, stream::err);
  guest.lost = answer.empty();
  return answer;
}

// Runs `script` in the guest's shell as `as` ("root", "UID:GROUP"), checks
// it exits `code`, and returns its output.
std::string
shell(const std::string& script, const std::string& as = "root", long code = 0)
{
  words w = ask("run", as + " " + to_hex(script), STEP_WAIT * 2);
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

// Waits for `text` as the next thing serterm shows, after what the previous
// wait found (with `whole`, as part of all the screen should show). True if
// it came.
bool
shows(const std::string& text, bool whole = true,
      milliseconds limit = STEP_WAIT)
{
  row.screen += whole ? text : "";
  words w = ask("until", "text " + to_hex(text), limit);
  EXPECT_EQ(word(w, 1), "yes")
      << printable(text) << " after " << printable(from_hex(word(w, 8)));
  return word(w, 1) == "yes";
}

// The device receives `text` next: all it received is what it should have.
void
sent(const std::string& text, milliseconds limit = STEP_WAIT)
{
  row.sent += text;
  std::string& received = guest.qemu.got[LINE];
  std::ignore =
      read_until(guest.line.master, received, at_least(row.sent.size()), limit);
  EXPECT_EQ(difference(received, row.sent), "") << "the line";
}

// Opens the escape prompt, enters `command_line` and waits for `response`
// after it on the screen, then for the keyboard to be raw again (keys typed
// before that would be seen by the cooked keyboard). The prompt starts a
// line of its own.
void
escape_command(const std::string& command_line, const std::string& response)
{
  type_keys(std::string(1, ESCAPE));
  if (shows(line_left_open(row.screen) + "serterm> ")) {
    type_keys(command_line + "\n");
    if (shows(command_line + "\r\n" + response) && command_line != "q") {
      EXPECT_EQ(word(ask("until", "raw", STEP_WAIT), 2), "raw")
          << "the keyboard";
    }
  }
}

// The lines the device drives that `names` names in capitals.
std::uint32_t
lines_of(const std::string& names)
{
  auto has = [&](const char* name, int line) {
    return names.find(name) == std::string::npos ? 0 : line;
  };
  return static_cast<std::uint32_t>(
      has("CTS", TIOCM_CTS) | has("DCD", TIOCM_CAR) | has("RI", TIOCM_RNG) |
      has("DSR", TIOCM_DSR));
}

// The settings the driver holds for the row's line, as the agent reads
// them.
termios
line_settings()
{
  std::string bytes = from_hex(word(ask("line", row.line + " -1"), 1));
  termios t{};
  EXPECT_EQ(bytes.size(), sizeof t) << "the line's settings";
  std::memcpy(&t, bytes.data(), std::min(bytes.size(), sizeof t));
  return t;
}

speed_t
speed_code(const std::string& bps)
{
  auto known =
      std::ranges::find(TEST_SPEEDS, std::atoi(bps.c_str()), &test_speed::bps);
  EXPECT_NE(known, TEST_SPEEDS.end()) << bps << " bps";
  return known == TEST_SPEEDS.end() ? B0 : known->code;
}

// Checks that the host side comes to show the speed and framing (the CSIZE,
// parity, stop-bit and RTS/CTS bits) that the words of `stty` set: QEMU's
// settings for the host pty must carry them all, and the pty itself the
// speed both ways and the stop bits, all it keeps.
void
expect_host(const std::string& stty)
{
  const std::map<std::string, tcflag_t> FLAGS{
      {"cs5", CS5},       {"cs6", CS6},       {"cs7", CS7},      {"cs8", CS8},
      {"parenb", PARENB}, {"parodd", PARODD}, {"cstopb", CSTOPB}};
  words w = split(stty);
  speed_t speed = speed_code(word(w, 0));
  tcflag_t framing = 0;
  for (const std::string& flag : w) {
    framing |= FLAGS.contains(flag) ? FLAGS.at(flag) : 0;
  }
  termios pty{};
  bool shown = eventually(
      [&] {
        tcgetattr(guest.line.master, &pty);
        constexpr tcflag_t FRAMING = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
        return guest.device->line_speed.load() == speed &&
               (guest.device->line_cflag.load() & FRAMING) == framing &&
               cfgetospeed(&pty) == speed && cfgetispeed(&pty) == speed &&
               (pty.c_cflag & CSTOPB) == (framing & CSTOPB);
      },
      STEP_WAIT);
  EXPECT_TRUE(shown) << "QEMU applied speed code "
                     << guest.device->line_speed.load() << ", control flags "
                     << guest.device->line_cflag.load()
                     << "; the host pty shows speed code " << cfgetospeed(&pty);
}

// The end step: `arg` is "HOW MS TEXT", as the table of steps says.
void
expect_end(const std::string& arg)
{
  std::istringstream in(arg);
  std::string how, code, within, text;
  in >> how >> code >> within;
  std::getline(in.ignore(1), text, '\0');
  std::size_t dash = within.find('-');
  long high = within == "-" ? LONG_MAX : std::stol(within.substr(dash + 1));
  long low = dash == 0 || dash == std::string::npos ? 0 : std::stol(within);
  words e = ask("until", "end",
                high == LONG_MAX ? WAIT_LIMIT : milliseconds(high) + STEP_WAIT);
  EXPECT_EQ(word(e, 2), "restored") << "the keyboard's settings";
  EXPECT_EQ(word(e, 3) + " " + word(e, 4), how + " " + code);
  bool unplugged = row.unplugged != steady::time_point{};
  long ms = unplugged ? (steady::now() - row.unplugged) / milliseconds(1)
                      : number(e, 5);
  EXPECT_TRUE(ms >= low && ms <= high)
      << ms << " ms from " << (unplugged ? "the unplug" : row.timed_from)
      << " to the end";
  // The counts of serterm's last messages, each masked as '#'.
  std::string masked = from_hex(word(e, 8));
  auto count = [&](const std::string& before) {
    std::regex counted(before + "([0-9]+)");
    std::smatch m;
    long n = std::regex_search(masked, m, counted) ? std::stol(m.str(1)) : -1;
    masked = std::regex_replace(masked, counted, before + "#",
                                std::regex_constants::format_first_only);
    return n;
  };
  row.unsent = count("bytes not sent to the line: ");
  row.held = count("waiting for the port to send the ");
  row.dropped = masked.find("the port has sent them") == std::string::npos
                    ? count("the kernel dropped the ")
                    : 0;
  bool known = false;
  std::istringstream texts(text + "|");
  for (std::string one; std::getline(texts, one, '|');) {
    known = known || masked == row.screen + one;
  }
  EXPECT_TRUE(known) << printable(masked) << "\nis not "
                     << printable(row.screen) << " then one of "
                     << printable(text);
  // Bytes counted not sent were typed and never reached the device.
  EXPECT_TRUE(row.far || row.unsent <= row.unreceived)
      << row.unsent << " counted not sent, " << row.unreceived
      << " typed that the device may not have received";
}

// Takes the device out from under the guest: QEMU's USB serial device
// unplugged, or the gadget unbound from its controller.
void
unplug()
{
  row.unplugged = steady::now();
  if (kind->id == FTDI) {
    EXPECT_TRUE(monitor("device_del ftdi"));
  } else {
    std::ignore = shell("echo >"s + GADGET + "/UDC");
  }
}

// Carries out one step; false when the row cannot go on.
bool
run_step(const std::string& step)
{
  SCOPED_TRACE(printable(step));
  std::string op = step.substr(0, step.find(' '));
  std::string arg = step.substr(std::min(op.size() + 1, step.size()));
  // What the agent times serterm's end from.
  bool timed = op == "start" || op == "keys" || op == "to" || op == "sh" ||
               op == "paste";
  row.timed_from = timed ? "\"" + printable(step) + "\"" : row.timed_from;
  if (op == "start") {
    // serterm at BPS with the agent's options. Anything still arriving was
    // sent before this serterm started.
    take(guest.qemu);
    row.screen = row.sent = guest.qemu.got[LINE] = "";
    row.unreceived = 0;
    row.unplugged = {};
    pace(guest.qemu, stream::screen, row.rate, row.fast);
    std::string bps = word(split(arg), 0);
    std::size_t input = arg.find("input=");
    row.size =
        input == std::string::npos ? 0 : std::stoul(arg.substr(input + 6));
    words w =
        ask("spawn", arg.substr(bps.size()) + " -" + bps + " " + row.line);
    // With input from a file, the agent answers at once.
    bool started = input == std::string::npos
                       ? word(w, 1) == "yes" && word(w, 2) == "raw"
                       : word(w, 3) == "running";
    EXPECT_TRUE(started) << "serterm " << arg << ": "
                         << printable(from_hex(word(w, 8)));
    return started;
  }
  if (op == "device") {
    guest.device->device_lines = lines_of(arg);
  } else if (op == "leave") {
    std::ignore = shell("stty -F " + row.line + " " + arg);
    row.kept = line_settings();
    std::ignore = row.far || run_step("host " + arg);
  } else if (op == "host") {
    expect_host(arg);
  } else if (op == "from") {
    EXPECT_TRUE(write_all_bounded(guest.line.master, arg, STEP_WAIT));
    std::ignore = shows(arg);
  } else if (op == "shows" || op == "await") {
    std::ignore =
        shows(arg, op == "shows", STEP_WAIT * (op == "shows" ? 1 : 4));
  } else if (op == "keys" || op == "to") {
    type_keys(arg);
    row.unreceived += op == "keys" ? std::ssize(arg) : 0;
    std::ignore = op == "to" && run_step("sent " + arg);
  } else if (op == "sent") {
    sent(arg);
  } else if (op == "esc") {
    escape_command(arg, "");
  } else if (op == "v") {
    // The gadget's lines are its own; the device's come through the shim.
    std::ignore = kind->id == ACM || run_step("device " + arg);
    std::uint32_t reads = guest.device->get_count.load();
    escape_command("v", arg + "\r\n");
    EXPECT_TRUE(kind->id == ACM || guest.device->get_count.load() != reads)
        << "the status did not come from the device's lines";
  } else if (op == "raw") {
    EXPECT_EQ(raw_line_difference(line_settings(), row.kept, speed_code(arg)),
              "");
    expect_host(arg + " cs8");
  } else if (op == "restored") {
    EXPECT_EQ(settings_difference(line_settings(), row.kept), "")
        << "the line's settings after the run";
  } else if (op == "dtr") {
    words w = split(arg);
    std::uint32_t lines = word(w, 1) == "up" ? TIOCM_DTR | TIOCM_RTS : 0;
    EXPECT_TRUE(eventually(
        [&] { return guest.device->guest_lines.load() == lines; }, STEP_WAIT))
        << "the guest's DTR and RTS " << guest.device->guest_lines.load();
    std::uint32_t changes = guest.device->changes.load();
    EXPECT_EQ(changes - std::min(row.dtr_changes, changes),
              static_cast<std::uint32_t>(number(w, 0)))
        << "the kernel raises DTR and RTS on open and drops them on close; "
           "nothing else may change them";
    row.dtr_changes = changes;
  } else if (op == "sh") {
    std::ignore = shell(arg);
  } else if (op == "quit") {
    escape_command("q", "");
    expect_end("exit 0 -");
    std::ignore = arg.empty() || run_step(arg);
    // Once serterm has let go of the line, all it sent comes before the
    // guest's mark, and nothing else.
    std::ignore = shell(PUT_MARK + row.line);
    sent(MARK);
  } else if (op == "end") {
    expect_end(arg);
  } else if (op == "unplug") {
    unplug();
  } else if (op == "replug") {
    // QEMU lets the device go a little after it answers, and keeps its
    // chardev until then. Back as the same node: serterm has let go of the
    // dead one, whose holder would keep its number.
    EXPECT_TRUE(kind->id != FTDI || eventually([] {
                  return monitor("device_add " + kind->devices.back());
                }));
    std::ignore = shell(kind->plugged);
  } else if (op == "hold") {
    pace(guest.qemu, stream::line, 0);
  } else if (op == "release") {
    pace(guest.qemu, stream::line, -1);
    sent("", WAIT_LIMIT * 3);
  } else if (op == "paste") {
    row.size = std::stoul(arg);
    row.sent += row.far ? "" : paste_text(row.size);
    EXPECT_EQ(ask("paste", arg), (words{"typed", arg, "all"}));
  } else if (op == "queue") {
    EXPECT_GE(number(ask("until", "queue " + arg, WAIT_LIMIT * 2), 6),
              std::stol(arg))
        << "the most the driver held";
  } else if (op == "unplug-pasting") {
    // Pastes until the device has received 16 KB, then unplugs it. What
    // came before the unplug came whole and in order; the bytes typed but
    // never received may be counted not sent.
    std::size_t from = row.sent.size();
    std::string& received = guest.qemu.got[LINE];
    words answer = ask("paste", "4194304", WAIT_LIMIT * 2, [&] {
      if (row.unplugged == steady::time_point{} &&
          received.size() >= from + 16384) {
        unplug();
      }
    });
    EXPECT_EQ(word(answer, 2), "ended")
        << "the paste did not end with serterm: " << word(answer, 1);
    take(guest.qemu);
    std::string pasted = received.substr(std::min(from, received.size()));
    EXPECT_EQ(parts_from_paste(pasted), -1) << "where the line parts";
    row.unreceived += std::max(0L, number(answer, 1) - std::ssize(pasted));
  } else if (op == "second") {
    // A user in the dialout group who is not root (root is exempt from
    // exclusive mode) runs serterm on a second node for the line, which
    // that group may use: while the first serterm runs, in vain and
    // touching nothing; once it has let go, with success.
    bool refused = arg == "refused";
    if (refused) {
      std::ignore =
          shell("n=/tmp/second; rm -f $n && mknod $n c "
                "$((0x$(stat -c %t $line))) $((0x$(stat -c %T $line))) && "
                "chgrp 20 $n && chmod 660 $n");
      row.kept = line_settings();
    }
    EXPECT_EQ(printable(shell("id -u; PATH=/bin serterm -9600 /tmp/second "
                              "</dev/null",
                              "1000:20", refused ? 1 : 0)),
              printable(refused ? "1000\ncan't open /tmp/second\nserterm: "
                                  "/tmp/second: in use by another program\n"
                                : "1000\n"));
    // The refused open left the line's settings as they were.
    std::ignore = !refused || run_step("restored");
  } else if (op == "far") {
    // The far end: on the 16550 the paced socket, read here; on CDC-ACM the
    // gadget's tty, the bridge down, opened by no one until a later step.
    // The line's settings are kept, and its closing wait read.
    words w = split(arg);
    row.far = true;
    row.line = kind->far_line;
    row.rate = number(w, 0);
    row.fast = static_cast<std::size_t>(number(w, 1));
    if (kind->id == ACM) {
      std::ignore = shell(BRIDGE_DOWN);
      std::ignore = run_step("read closed");
    }
    // What a row before left on the paced line goes.
    take(guest.qemu);
    guest.qemu.got[FAR_END].clear();
    row.kept = line_settings();
    std::ignore = run_step("serial");
  } else if (op == "serial") {
    words w = ask("line", row.line + " " + (arg.empty() ? "-1" : arg));
    row.closing_wait = arg.empty() ? "" : word(w, 2);
    EXPECT_GE(number(w, 2), 0) << "the port's closing wait (TIOCGSERIAL)";
  } else if (op == "fill") {
    // Opened, the gadget's tty takes in what comes, as fast as its worker
    // runs, until it is throttled: filled by NULs until it is (n_tty
    // throttles once fewer than 128 of its 4096 bytes are free), it takes at
    // most its queued requests more.
    std::ignore = run_step("read 0");
    std::ignore = shell("head -c 4096 /dev/zero >" + row.line);
    EXPECT_EQ(word(ask("until", "unread 4000", STEP_WAIT), 1), "yes")
        << "the gadget's tty";
  } else if (op == "read") {
    EXPECT_EQ(ask("reader", "/dev/ttyGS0 " + arg), (words{"reader", "ok"}));
  } else if (op == "delivered") {
    // Once serterm has ended, the far end takes all there is until the
    // guest's mark, and must have got a prefix of the input; the port gets
    // its closing wait back, and the line its settings. Unless uncounted,
    // the bytes counted not sent, held or dropped by the port are the rest
    // of the input: less what the driver counts nowhere, more what a driver
    // that counts whole buffers counted beyond the bytes, never more than
    // serterm wrote.
    pace(guest.qemu, stream::screen, -1);
    std::ignore = kind->id != ACM || run_step("read -1");
    std::ignore = shell(PUT_MARK + row.line);
    // On CDC-ACM the agent reads the far end, and answers with all it got;
    // nothing comes on the paced socket then.
    std::string& far_got = guest.qemu.got[FAR_END];
    if (kind->id == ACM) {
      far_got = from_hex(
          word(ask("until", "mark " + to_hex(MARK), WAIT_LIMIT * 3), 7));
    }
    EXPECT_TRUE(read_until(guest.qemu.fds[FAR_END], far_got, MARK, STEP_WAIT))
        << "the guest's mark after serterm's run";
    std::string before = far_got.substr(0, far_got.find(MARK));
    EXPECT_EQ(parts_from_paste(before), -1)
        << "where the far end's bytes part from the input";
    if (!row.closing_wait.empty()) {
      std::ignore = ask("line", row.line + " " + row.closing_wait);
    }
    std::ignore = run_step("restored");
    auto size = static_cast<long>(row.size);
    long rest = size - std::min(size, std::ssize(before));
    long unsent = std::max(row.unsent, 0L);
    long count =
        unsent + (row.dropped >= 0 ? row.dropped : std::max(row.held, 0L));
    if (arg != "uncounted") {
      EXPECT_LE(rest, count + (count > 0 ? kind->uncounted : 0))
          << "bytes that never arrived, against the " << count << " counted";
      EXPECT_LE(count, kind->whole_buffers ? size : rest)
          << "bytes counted, against the " << rest << " that never arrived";
      EXPECT_LE(row.held, size - unsent)
          << "bytes the port held, against those serterm wrote";
      EXPECT_LE(row.dropped, row.held) << "bytes dropped, against those held";
    }
  } else {
    ADD_FAILURE() << "no step " << op;
  }
  return !guest.lost;
}

// `steps` once for each of `values`, the '@' in a step replaced by the
// value (no step has more than one).
std::vector<std::string>
each(const words& values, const std::vector<std::string>& steps)
{
  std::vector<std::string> all;
  for (const std::string& value : values) {
    for (std::string step : steps) {
      std::size_t at = step.find('@');
      all.push_back(at == std::string::npos ? step
                                            : step.replace(at, 1, value));
    }
  }
  return all;
}

// The speeds serterm offers.
auto offered =
    TEST_SPEEDS | std::views::filter(&test_speed::offered) |
    std::views::transform([](auto s) { return std::to_string(s.bps); });
const words OFFERED(offered.begin(), offered.end());

// The scenarios, in the order they run on each guest named.
struct scenario {
  const char* name;
  unsigned guests;
  std::vector<std::string> steps;
};

// How previous users left the line: each unlike serterm's 8N1 in its data
// bits, parity or stop bits.
const std::string USE = "4800 cs7 parenb -parodd cstopb";
const words USES{USE, "57600 cs6 parenb parodd -cstopb",
                 "1200 cs8 -parenb cstopb"};
// Modem lines as v shows them: none of the device's, CTS and DSR, all but RI.
const std::string NONE = "v enable|DTR|RTS|cts|dcd|ri|dsr";
const std::string READY = "v enable|DTR|RTS|CTS|dcd|ri|DSR";
const std::string CARRIER = "v enable|DTR|RTS|CTS|DCD|ri|DSR";
// Every byte value; typed, the escape character twice (quickly, it goes
// out once): in the bytes, its value is at its own index.
const std::string BYTES = all_bytes();
const std::string KEYS =
    std::string(BYTES).insert(std::size_t{ESCAPE}, 1, ESCAPE);
// While waiting at the prompt, serterm uses no CPU: its user and system
// ticks stay as they are for a second.
const std::string IDLE =
    "sh s=/proc/$serterm/stat; a=$(cut -d' ' -f14,15 $s); sleep 1; "
    "b=$(cut -d' ' -f14,15 $s); [ -n \"$a\" ] && [ \"$a\" = \"$b\" ] || "
    "{ echo $a, then $b; exit 1; }";
const std::string GONE = "sh while [ -e $line ]; do sleep 0.02; done";
const std::string UNSENT = "serterm: bytes not sent to the line: #\r\n";
const std::string HELD = "serterm: waiting for the port to send the # bytes "
                         "it still holds (control-C ends the wait)\r\n";
const std::string CLOSED = "serterm: line closed\r\n";
const std::string FAILED = "serterm: line write failed: ";

// clang-format off
const std::vector<scenario> SCENARIOS{
    {"EverySpeedOfTheTableReachesTheDriver", UART | FTDI, each(OFFERED,
     {"leave " + USE, "start @", "raw @", "quit host " + USE})},
    // The message comes before the keyboard is raw: the pty maps its newline.
    {"UnavailableSpeedGivesTheMessageAnd9600", UART, each({"300", "230400"},
     {"leave " + USE, "start @", "shows @ bps unavailable.  9600 bps "
      "selected.\r\n", "raw 9600", "quit host " + USE})},
    {"LineSettingsAreRestoredAtExit", UART, each(USES, {"leave @",
     "start 115200", "raw 115200", "quit host @", "restored"})},
    {"ModemStatusShowsTheDeviceLines", UART | FTDI, {"device", "start 9600",
     NONE, "v enable|DTR|RTS|CTS|dcd|ri|dsr", "v enable|DTR|RTS|cts|DCD|ri|dsr",
     "v enable|DTR|RTS|cts|dcd|RI|dsr", "v enable|DTR|RTS|cts|dcd|ri|DSR",
     "v enable|DTR|RTS|CTS|DCD|RI|DSR", READY,
     "v enable|DTR|RTS|cts|DCD|RI|dsr", NONE, "quit"}},
    // The lines of an ACM function: CTS always, DCD and DSR while the
    // gadget's tty is open (the bridge), DTR and RTS from the open.
    {"ModemStatusShowsTheGadgetsLines", ACM, {"start 115200", CARRIER,
     "sh "s + BRIDGE_DOWN, "v enable|DTR|RTS|CTS|dcd|ri|dsr",
     "sh "s + BRIDGE_UP, CARRIER, "quit"}},
    {"RelayingGoesOnAfterCarrierDrops", UART, {"device CTS DSR DCD",
     "start 115200", "from CONNECT 115200\r\n", "to ATI\r", READY,
     "from NO CARRIER\r\n", "to still typing\r", CARRIER, "from CONNECT\r\n",
     READY, "from NO CARRIER\r\n", "to still typing\r", CARRIER,
     "from CONNECT\r\n", "quit"}},
    // A whole session (modem status, both directions, carrier changes,
    // bytes sent from the prompt, modes toggled) leaves DTR and RTS as the
    // open raised them. The restored settings have HUPCL, so the close
    // drops both (the guest's mark opens the line again only after that).
    {"DtrAndRtsAreLeftToTheDriver", UART, {"leave " + USE, "dtr 0 down",
     "start 19200", CARRIER, "from RING\r\n", "to ATA\r", READY,
     "esc x 41 54 48 0d", "sent ATH\r", "esc h", "esc h", "dtr 1 up",
     "quit dtr 1 down", "device"}},
    // CTS stays clear: hardware flow control would hold the transmitter.
    {"AllByteValuesCrossBothWays", EVERY, each({"115200", "1200"}, {"device",
     "start @", "from " + BYTES, "keys " + KEYS, "sent " + BYTES, "quit"})},
    // Nothing typed at the prompt goes to the line.
    {"QuitThroughTheEscapePromptExitsZero", EVERY, {"start 38400",
     "from OK\r\n", "quit"}},
    // A paste larger than every buffer between serterm and the device: the
    // guest pty, serterm's queue, the driver's 4 KB transmit buffer, the
    // UART's FIFO and the host pty. The device takes nothing until the
    // driver's buffer is full, then everything.
    {"PasteLargerThanTheTransmitBufferArrivesWhole", UART, {"device",
     "start 115200", "hold", "paste 65536", "queue 4000", "release", "quit"}},
    {"SecondOpenThroughAnotherNodeIsRefused", EVERY, {"start 115200",
     "from first\r\n", "second refused", "from still here\r\n",
     "to and here\r", "quit", "second opens"}},
    // The end of a session on a slow or stalled line: serterm ends at once,
    // counting every byte. Control-], a pause longer than the quick key's
    // window, then q Enter, while a paste goes out at line rate.
    {"QuitWhileAPasteGoesOutAtTheLinesRate", UART, {"far 120", "start 1200",
     "paste 12288", "queue 4000", "keys \x1d", "sh sleep 0.5", "keys q\r",
     "end exit 0 5000 serterm> q\r\n" + UNSENT, "delivered"}},
    // The driver takes bytes again only once it holds fewer than 256:
    // seconds at this speed in which serterm's own queue does not move.
    {"EndOfInputOnALineMovingAtItsRate", UART, {"far 960",
     "start 9600 input=8192", "queue 4000", "end exit 0 30000", "delivered"}},
    // The last bytes leave the UART at 1200 bps once the driver's queue is
    // empty: the saved 9600 must not come back before they are out. The far
    // end takes the last 256 bytes at line rate.
    {"EndOfInputAt1200OnAPortLeftAt9600", UART, {"far 120 12032", "leave 9600",
     "start 1200 input=12288", "end exit 0 30000", "delivered"}},
    {"EndOfInputOnAStalledLine", UART, {"far 0", "start 1200 input=12288",
     "queue 4000", "end exit 1 8000 " + UNSENT, "delivered"}},
    // Killed by a signal, serterm does not wait and its close drops the
    // driver's queue: nothing to count.
    {"SigtermWhileAPasteWaitsOnAStalledLine", UART, {"far 0", "start 1200",
     "paste 12288", "queue 4000", "sh kill -TERM $serterm",
     "end signal 15 3000", "delivered uncounted"}},
    // The driver sends whole transfer buffers of 10 kB: seconds between
    // steps. The gadget takes in the first two at once, so the file holds
    // more, for the driver to hold some at the end of input.
    {"EndOfInputOnAGadgetReadAt2kBps", ACM, {"far 0", "fill",
     "start 9600 input=40960", "queue 4000", "read 2000", "end exit 0 60000",
     "delivered"}},
    {"StalledPortDroppedAfterAClosingWaitOf2500ms", ACM, {"far 0",
     "serial 250", "start 115200 input=20480", "queue 4000",
     "end exit 1 2500-15000 " + HELD + "serterm: the kernel dropped the # "
     "bytes the port still held\r\n", "delivered"}},
    {"ControlCEndsTheWaitForAStalledPort", ACM, {"far 0",
     "start 115200 input=20480", "queue 4000", "await ends the wait)\r\n",
     "sh kill -INT $serterm", "end signal 2 5000 " + HELD, "delivered"}},
    // The device pulled out from under serterm. The hang-up comes within
    // about 40 ms of the unplug; the bound is the agent's answer's too.
    {"UnpluggedMidRelay", FTDI | ACM, {"start 115200", "from hello\r\n",
     "to abc", "unplug", "end exit 1 5000 " + CLOSED, "replug"}},
    {"UnpluggedAtThePromptThenQ", FTDI, {"start 115200", "from hello\r\n",
     "to abc", "keys \x1d", "shows serterm> ", "unplug", GONE, IDLE,
     "keys q\n", "end exit 0 - q\r\n", "replug"}},
    {"UnpluggedAtThePromptThenV", FTDI | ACM, {"start 115200",
     "from hello\r\n", "to abc", "keys \x1d", "shows serterm> ", "unplug",
     GONE, IDLE, "keys v\n", "end exit 1 - v\r\nserterm: can't read modem "
     "status: Input/output error\r\n" + CLOSED, "replug"}},
    // The key and the hang-up are both there when serterm goes on: it reads
    // the key, then the line's end, before it writes anything.
    {"UnpluggedWhileStoppedThenAKey", FTDI, {"start 115200", "from hello\r\n",
     "to abc", "sh kill -STOP $serterm", "unplug", GONE, "keys k",
     "sh kill -CONT $serterm", "end exit 1 - " + CLOSED + UNSENT, "replug"}},
    // Which of the line's failures serterm meets first depends on when the
    // unplug comes. Keys typed after serterm gave the keyboard back are no
    // part of its screen.
    {"UnpluggedDuringAPaste", FTDI, {"start 115200 noecho", "from hello\r\n",
     "to abc", "unplug-pasting", "end exit 1 5000 " + CLOSED + "|" + CLOSED +
     UNSENT + "|" + FAILED + "Input/output error\r\n|" + FAILED +
     "Input/output error\r\n" + UNSENT + "|" + FAILED + "No such device\r\n|" +
     FAILED + "No such device\r\n" + UNSENT, "replug"}},
    // The hangup's SIGHUP ends it, silently, with the keyboard put back.
    {"UnpluggedAsControllingTerminal", FTDI, {"start 115200 setsid",
     "from hello\r\n", "to abc", "unplug", "end signal 1 5000", "replug"}},
    {"DriverCountedNoLineErrors", UART, {"sh p=$(grep '^1:' /proc/tty/driver/"
     "serial); echo \"$p\"; case \"$p\" in *' fe:'* | *' pe:'* | *' oe:'* | "
     "*' brk:'*) exit 1 ;; '1: uart:16550A '*) ;; *) exit 1 ;; esac"}},
    // Any warning, bug or oops in the guest's kernel log fails; the error
    // lines of an unplug are expected.
    {"KernelLogHasNoFaults", EVERY, {"sh dmesg >/tmp/log && [ -s /tmp/log ] "
     "&& ! grep -qE 'WARNING:|BUG:|Oops' /tmp/log || { cat /tmp/log; exit 1; }"}},
};
// clang-format on

// A scenario on this process's guest, whose line is there (plugged in
// again, if a scenario pulled it out) before it starts.
struct on_guest : testing::Test {
  explicit on_guest(const scenario& s) : row_steps(s.steps) {}
  void
  TestBody() override
  {
    ASSERT_EQ(boot_error, "") << "the guest did not boot";
    row = row_state{};
    row.line = kind->line;
    // A row that failed may have left either far end stopped or slow.
    pace(guest.qemu, stream::line, -1);
    pace(guest.qemu, stream::screen, -1);
    std::ignore = shell(kind->plugged);
    std::ignore = std::all_of(row_steps.begin(), row_steps.end(), run_step);
  }
  const std::vector<std::string>& row_steps;
};

// Makes the line's pty and, in the guest's work directory, the state shared
// with the shim, starts QEMU on them, waits for its agent to greet and
// connects the paced line's socket. Returns what failed, or "".
std::string
boot()
{
  const std::string& dir = files.work_dir;
  // The slave stays open, so that the master never reads end of file while
  // QEMU has not opened the slave yet, or between its opens.
  termios raw{};
  if (!open_pty(guest.line) || tcgetattr(guest.line.slave, &raw) != 0 ||
      (cfmakeraw(&raw), tcsetattr(guest.line.slave, TCSANOW, &raw)) != 0) {
    return "openpty: "s + std::strerror(errno);
  }
  guest.device = map_device_state((dir + "/device").c_str());
  if (guest.device == nullptr) {
    return dir + "/device: " + std::strerror(errno);
  }
  // QEMU emulates the machine (TCG), as the bounds of the scenarios expect:
  // /dev/kvm alone does not tell hardware virtualisation, on some hosts it
  // is a software hypervisor under which a stock kernel crawls.
  // The device shim goes into QEMU alone, through env. What init is to load
  // comes to it in its environment, from the kernel command line's load=.
  // clang-format off
  launch qemu;
  qemu.argv = {
      "env", "LD_PRELOAD=" + files.shim,
      std::string(DEVICE_FILE_ENV) + "=" + dir + "/device",
      std::string(DEVICE_TTY_ENV) + "=" + guest.line.slave_path,
      files.qemu, "-accel", "tcg", "-M", "pc", "-m", "256", "-smp", "1",
      "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
      "-kernel", files.kernel, "-initrd", files.initramfs,
      "-append", "console=ttyS0,115200 quiet loglevel=1 panic=-1 load=" +
                     kind->modules,
      "-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console",
      "-chardev", "serial,id=line,path=" + guest.line.slave_path,
      "-chardev", "socket,id=paced,server=on,wait=off,path=" + dir + "/paced",
      "-monitor", "unix:" + dir + "/monitor,server=on,wait=off"};
  // clang-format on
  qemu.argv.insert(qemu.argv.end(), kind->devices.begin(), kind->devices.end());
  qemu.in = qemu.out = qemu.err = PIPE;
  // QEMU must not outlive the harness, however the harness ends.
  qemu.die_with_parent = true;
  if (!start_run(guest.qemu, qemu)) {
    return "QEMU: "s + std::strerror(errno);
  }
  if (ask("", "", milliseconds(80000)) != words{"ready"}) {
    return "the guest's agent did not start";
  }
  int& paced = guest.qemu.fds[FAR_END];
  paced = connect_unix(dir + "/paced");
  guest.qemu.fds[LINE] = guest.line.master;
  return paced >= 0 && set_nonblocking(paced)
             ? ""
             : "the paced line's socket: "s + std::strerror(errno);
}

// The guest, booted once some scenario of its runs (QEMU started, its agent
// ready, the paced line's socket connected; else `boot_error` says what
// failed), and stopped after them: the agent asked to end, QEMU given a
// moment to power off, then killed by its PID.
struct booted : testing::Environment {
  void
  SetUp() override
  {
    boot_error = boot();
  }
  // What QEMU holds goes with the harness's exit.
  void
  TearDown() override
  {
    if (guest.qemu.pid > 0) {
      std::ignore = guest.lost || !ask("quit", "", milliseconds(3000)).empty();
      std::ignore = wait_child(guest.qemu.pid, milliseconds(3000));
    }
  }
};

} // namespace

} // namespace uart_vm

// Runs guest GUEST's scenarios (tests/uart_vm/run_guests.sh runs every
// guest so, side by side).
int
main(int argc, char** argv)
{
  using namespace uart_vm;
  testing::InitGoogleTest(&argc, argv);
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s GUEST DIR KERNEL QEMU INITRAMFS SHIM\n",
                 argv[0]);
    return 2;
  }
  kind = &GUESTS.at(std::stoul(argv[1]));
  // QEMU may end at any time: writing to its console then fails instead of
  // ending the harness.
  std::signal(SIGPIPE, SIG_IGN);
  for (const scenario& s : SCENARIOS) {
    if ((s.guests & kind->id) != 0) {
      testing::RegisterTest(kind->suite, s.name, nullptr, nullptr, __FILE__,
                            __LINE__,
                            [&s]() -> on_guest* { return new on_guest(s); });
    }
  }
  files = {argv[2], argv[3], argv[4], argv[5], argv[6]};
  testing::AddGlobalTestEnvironment(new booted);
  return RUN_ALL_TESTS();
}
