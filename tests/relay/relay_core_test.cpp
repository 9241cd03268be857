// Table tests of the relay's rules, on a loop of the test's own: a clock the
// test sets, a keyboard and a line that hold what the test gives them, and
// outputs that take what the test allows.
#include "relay/relay_core.hpp"
#include "support/oracles.hpp"
#include "support/pty_kit.hpp"

#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

namespace serterm {
namespace {

constexpr std::size_t ALL = std::numeric_limits<std::size_t>::max();
constexpr output OUTPUT_LIST[] = {output::line, output::messages,
                                  output::screen, output::hexdump};
constexpr char ESC = '\x1d';
const std::string E(1, ESC);
// A cooked terminal's keys, as Linux sets them.
constexpr line_editing TERMINAL{
    .eof = 4, .erase = 0x7f, .kill = 0x15, .echo = true};

constexpr std::size_t
at(output out)
{
  return static_cast<std::size_t>(out);
}

// What each output got: the line, the screen, standard output (hexdump
// text) and standard error.
using outputs = std::array<std::string, OUTPUTS>;

struct loop {
  relay_core& core;
  std::int64_t now = 0;
  outputs got{};
  // What the user's terminal shows: all but the line, in the order written.
  std::string terminal{};
  // How many more bytes each output takes.
  std::array<std::size_t, OUTPUTS> takes{ALL, ALL, ALL, ALL};
  std::string keyboard{}; // typed and not read yet
  bool keyboard_ended = false;
  std::string line{}; // sent by the device and not read yet
  std::size_t driver = 0;
  // Bytes the line takes every 10 ms, once `takes` for it runs out.
  std::size_t line_pace = 0;
  bool done = false;
  relay_end end{};
};

loop
start(int modes = 0, int timeout_us = 100000, const line_driver& driver = {},
      unsigned char escape = ESC)
{
  return loop{.core = start_core(modes, timeout_us, escape, TERMINAL, driver)};
}

// Moves what one read of at most `room` bytes takes of `input` to `area`.
// Returns its size.
ssize_t
feed(std::string& input, std::size_t room, std::span<unsigned char> area)
{
  std::size_t n = std::min({room, input.size(), area.size()});
  std::copy_n(input.begin(), n, area.begin());
  input.erase(0, n);
  return static_cast<ssize_t>(n);
}

// Runs the loop until `ms` milliseconds: does everything the core asks for
// at the loop's time, then waits for the deadline the core sets, waking
// every 10 ms too while the line takes `line_pace` bytes each time. A core
// that never stops asking for more at one time fails the test, and so does
// a deadline not after the loop's time: the real loop would spin on it, or,
// waiting without a time-out, hang.
void
run_to(loop& l, std::int64_t ms)
{
  for (int round = 0, wakes = 0; !l.done; ++round) {
    if (round == 100000) {
      ADD_FAILURE() << "the core never stopped asking for more at " << l.now;
      return;
    }
    relay_plan plan = plan_pass(l.core, l.now);
    switch (plan.action) {
    case relay_action::done:
      l.done = true;
      l.end = relay_result(l.core);
      return;
    case relay_action::keyboard_cooked:
      keyboard_cooked(l.core,
                      static_cast<std::size_t>(
                          feed(l.keyboard, ALL, keys_ahead_area(l.core))),
                      l.now);
      continue;
    case relay_action::keyboard_raw:
      keyboard_raw_again(l.core, l.now);
      continue;
    case relay_action::modem_status:
      show_text(l.core, 0, l.now);
      continue;
    case relay_action::look_at_driver:
      driver_holds(l.core, l.driver, l.now);
      continue;
    case relay_action::none:
      break;
    }
    bool moved = false;
    for (output out : OUTPUT_LIST) {
      std::span<const unsigned char> data = to_write(l.core, out);
      if (!data.empty()) {
        std::size_t n = std::min(l.takes[at(out)], data.size());
        l.takes[at(out)] -= l.takes[at(out)] == ALL ? 0 : n;
        auto taken = data.first(n);
        l.got[at(out)].append(taken.begin(), taken.end());
        if (out != output::line) {
          l.terminal.append(taken.begin(), taken.end());
        }
        written(l.core, out, static_cast<ssize_t>(n), 0, l.now);
        moved = true;
      }
    }
    if (moved) {
      continue;
    }
    for (output out : OUTPUT_LIST) {
      if (plan.room[at(out)] && l.takes[at(out)] > 0) {
        room_again(l.core, out);
        moved = true;
      }
    }
    if (plan.keyboard > 0 && (!l.keyboard.empty() || l.keyboard_ended)) {
      keyboard_read(l.core,
                    feed(l.keyboard, plan.keyboard, keyboard_area(l.core)), 0,
                    l.now);
      moved = true;
    }
    if (plan.line && !l.line.empty()) {
      line_read(l.core, feed(l.line, BUFFER_SIZE, line_area(l.core)), 0, l.now);
      moved = true;
    }
    if (moved) {
      continue;
    }
    if (l.now >= ms * 1000) {
      return;
    }
    std::int64_t wake = plan.wake_us;
    if (++wakes > 100000 || (wake >= 0 && wake <= l.now)) {
      ADD_FAILURE() << "the core wakes again and again at " << wake;
      return;
    }
    std::int64_t tick =
        l.line_pace == 0 ? ms * 1000 : (l.now / 10000 + 1) * 10000;
    l.now = std::min(
        {wake < 0 ? ms * 1000 : std::max(wake, l.now + 1), tick, ms * 1000});
    if (l.now == tick && l.line_pace != 0) {
      l.takes[at(output::line)] += l.line_pace;
    }
    round = 0;
  }
}

// A script for a keyboard: at `at_ms`, `keys` typed (and the input ended).
struct typing {
  std::int64_t at_ms;
  std::string keys;
  bool end = false;
};

void
play(loop& l, const std::vector<typing>& script)
{
  for (const typing& step : script) {
    run_to(l, step.at_ms);
    l.keyboard_ended = step.end;
    l.keyboard.append(step.keys);
    run_to(l, step.at_ms);
  }
}

TEST(RelayCore, TypedKeysAndTheEscapeCharacter)
{
  // Keys typed at the given times, with a quick-key window of 100 ms
  // unless the row says; what the line gets and what standard error shows
  // by 5 s.
  const struct {
    std::vector<typing> script;
    std::string line;
    std::string err;
    bool done;
    int timeout_us = 100000;
  } rows[] = {
      // Escapes inside a chunk: the key after each is data.
      {{{0, "ab" + E + "cd" + E + E + "e"}}, "abcd" + E + "e", "", false},
      {{{0, "1" + E + E + "2" + E + E + E + "3" + E + E + E + E + "4"}},
       "1" + E + "2" + E + "3" + E + E + "4",
       "",
       false},
      // An escape ending a chunk: the next key within the window is data,
      // even the escape itself; after it, the prompt.
      {{{0, "ab" + E}, {100, "c"}}, "abc", "", false},
      {{{0, E}, {50, E}, {100, "z"}}, E + "z", "", false},
      {{{0, "ab" + E}, {101, "q\r"}}, "ab", "serterm> ", true},
      // End of input right after an escape: no prompt; before it ends,
      // every key is still sent.
      {{{0, "ab" + E + "c", true}}, "abc", "", true},
      {{{0, "ab" + E, true}}, "ab", "", true},
      {{{0, "a" + E + E + E, true}}, "a" + E, "", true},
      {{{0, E + "q\n", true}}, "q\n", "", true},
      // A window of no time: the prompt comes at once.
      {{{0, "ab" + E}}, "ab", "serterm> ", false, 0},
      {{{0, "ab" + E}}, "ab", "serterm> ", false, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::printable(row.script[0].keys));
    if (row.script.size() == 1) {
      EXPECT_EQ(row.line, testing::sent_quickly(row.script[0].keys));
    }
    loop l = start(0, row.timeout_us);
    play(l, row.script);
    run_to(l, 5000);
    EXPECT_EQ(l.got, (outputs{row.line, "", "", row.err}));
    EXPECT_EQ(l.done, row.done);
  }
}

TEST(RelayCore, KeysReadAfterTheWindowAreThePrompts)
{
  // The wait woke for keys after the quick-key window's deadline: read in
  // that pass, planned or not, they are the prompt's, not a quick key.
  loop l = start();
  play(l, {{0, "a" + E}});
  l.now = 300000;
  l.keyboard = "q\r";
  keyboard_read(l.core, feed(l.keyboard, ALL, keyboard_area(l.core)), 0, l.now);
  run_to(l, 1000);
  EXPECT_EQ(l.got, (outputs{"a", "", "", "serterm> q\n"}));
  EXPECT_TRUE(l.done);
}

TEST(RelayCore, AnyControlCharacterIsAnEscape)
{
  // Those that are also keys of the line or of the prompt's editing
  // included: twice quickly sends one, once opens the prompt.
  for (char escape : {'\0', '\x04', '\n', '\r', '\x15', '\x1f'}) {
    SCOPED_TRACE(static_cast<int>(escape));
    loop l = start(0, 100000, {}, static_cast<unsigned char>(escape));
    play(l, {{0, std::string{escape, escape, 'Z'}},
             {100, std::string(1, escape)},
             {300, "q\r"}});
    EXPECT_EQ(l.got, (outputs{std::string{escape, 'Z'}, "", "", "serterm> "}));
    EXPECT_TRUE(l.done);
  }
}

// A paste of `size` bytes without an escape character among them.
std::string
paste_of(std::size_t size)
{
  return testing::random_bytes(size, 9, ESC);
}

// Checks that the line got the start of `paste` and `unsent` counts the
// rest.
void
expect_prefix(const loop& l, const std::string& paste)
{
  const std::string& line = l.got[at(output::line)];
  EXPECT_EQ(testing::difference(line, paste.substr(0, line.size())), "");
  EXPECT_EQ(l.end.unsent, paste.size() - line.size());
}

TEST(RelayCore, KeysTypedBeforeThePromptShowsAreItsLine)
{
  // A stalled line holds up the escape typed at 200 ms for a second; the
  // keys typed at 700 ms are edited as the terminal would and are the
  // prompt's line. At 1500 ms the line takes everything again.
  const struct {
    std::string keys;
    std::string err;
    bool quits;
    std::string sent; // after the paste, once the line takes bytes
  } rows[] = {
      {"q\r", "serterm> q\n", true, ""},
      {"zz\x15q\r", "serterm> q\n", true, ""},
      // End of input: the message ends its own line, so a count after it
      // needs no line of its own.
      {"\x04", "serterm> \nserterm: EOF encountered\n", true, ""},
      {"x 41 42\x7f"
       "3\r",
       "serterm> x 41 43\n", false, "AC"},
      // End of input after text hands it over; erase cannot reach it.
      {"x 4\x04\x7f"
       "1\n",
       "serterm> x 41\n", false, "A"},
      // Keys after the command line go on to the line once it has run.
      {"x 41\rbc", "serterm> x 41\n", false, "Abc"},
      {"?\r", "serterm> ?\n" + std::string(testing::HELP_TEXT), false, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::printable(row.keys));
    loop l = start();
    l.takes[at(output::line)] = 0;
    std::string paste = paste_of(40000);
    play(l, {{0, paste}, {200, E}, {700, row.keys}});
    run_to(l, 1400);
    EXPECT_EQ(l.got[at(output::messages)], row.err);
    EXPECT_EQ(l.done, row.quits);
    l.takes[at(output::line)] = ALL;
    run_to(l, 2000);
    if (row.quits) {
      expect_prefix(l, paste);
      EXPECT_FALSE(l.end.line_open);
    } else {
      EXPECT_EQ(l.got[at(output::line)], paste + row.sent);
    }
  }
}

TEST(RelayCore, TheWayOutBehindAFullQueue)
{
  // A paste, an escape typed at 200 ms and q Enter at 700 ms, on a line
  // that takes `pace` bytes every 10 ms: the run quits by 5 s and the line
  // gets the start of the paste and never the q. Behind more than the
  // queue holds, the keys wait in the terminal and come in one late chunk:
  // the escape in it is held and the keys after it are the prompt's.
  const struct {
    std::size_t size;
    std::size_t pace;
    bool at_once; // everything typed at 0 ms
  } rows[] = {
      {256 * 1024, 200, false},
      {1100 * 1024, 2000, false},
      {1100 * 1024, 0, true},
      {1100 * 1024, 2000, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.size << " " << row.pace);
    loop l = start();
    l.takes[at(output::line)] = 0;
    l.line_pace = row.pace;
    std::string paste = paste_of(row.size);
    play(l, row.at_once
                ? std::vector<typing>{{0, paste + E + "q\r"}}
                : std::vector<typing>{{0, paste}, {200, E}, {700, "q\r"}});
    run_to(l, 5000);
    EXPECT_TRUE(l.done);
    EXPECT_EQ(l.got[at(output::messages)], "serterm> q\n");
    EXPECT_EQ(l.end.status, 0);
    expect_prefix(l, paste);
  }
}

TEST(RelayCore, AStallDropsOnlyWhatDoesNotFit)
{
  // The line takes nothing from the start: once it has taken nothing for a
  // second, what the queue cannot hold is dropped, one hole, counted. From
  // 3 s it takes everything, and every byte typed after that arrives.
  loop l = start();
  l.takes[at(output::line)] = 0;
  std::string paste = paste_of(1200 * 1024);
  std::string after = paste_of(20000);
  play(l, {{0, paste}});
  run_to(l, 999);
  EXPECT_EQ(l.keyboard.size(), paste.size() - 128 * BUFFER_SIZE)
      << "the queue holds 1 MiB until the line stalls";
  run_to(l, 1000);
  EXPECT_EQ(l.keyboard, "") << "stalled, the keys are read and dropped";
  l.takes[at(output::line)] = ALL;
  run_to(l, 3000);
  play(l, {{3000, after}, {3100, E}, {3300, "q\r"}});
  // The first 129 buffers of the paste, one hole, then every byte after.
  std::size_t kept = 129 * BUFFER_SIZE;
  EXPECT_EQ(testing::difference(l.got[at(output::line)],
                                paste.substr(0, kept) + after),
            "");
  EXPECT_EQ(l.end.unsent, paste.size() - kept);
}

TEST(RelayCore, OutputsOfOneTerminalKeepTheirOrder)
{
  // The screen takes nothing while the device sends; standard error, on
  // the same terminal, takes nothing until `err_from` ms. The escape at
  // 200 ms opens the prompt on a line of its own once standard error takes
  // bytes, or, if it took nothing for a second, without it; q quits.
  const struct {
    int modes;
    std::int64_t err_from;
    std::string err;
  } rows[] = {
      {0, 700, "\r\nserterm> "},
      {0, 10000, ""},
      // Half-duplex: the echo of 20 kB typed waits behind what the screen
      // has not taken; once the screen has stalled, the keys are read, and
      // their echo dropped.
      {MODE_HALF_DUPLEX, 700, "\r\nserterm> "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.modes);
    loop l = start(row.modes);
    l.takes[at(output::screen)] = 100;
    l.takes[at(output::messages)] = 0;
    l.line = std::string(40000, 'x');
    play(l, {{0, std::string(20000, 'k')}, {200, E}});
    run_to(l, row.err_from);
    l.takes[at(output::messages)] = ALL;
    play(l, {{row.err_from + 100, "q\r"}});
    run_to(l, row.err_from + 3000);
    EXPECT_EQ(l.got, (outputs{std::string(20000, 'k'), std::string(100, 'x'),
                              "", row.err}));
    EXPECT_TRUE(l.done);
    EXPECT_EQ(l.end.status, 0);
  }
}

TEST(RelayCore, IdleHexdumpLineBreakAtTheFlushTimeout)
{
  // Whatever else waits: here a paste on a stalled line.
  loop l = start(MODE_HEXDUMP);
  l.takes[at(output::line)] = 0;
  play(l, {{0, paste_of(20000)}});
  l.line = "AT";
  run_to(l, 10);
  EXPECT_EQ(l.got, (outputs{"", "", "41 54 ", ""}));
  run_to(l, 99);
  EXPECT_EQ(l.got, (outputs{"", "", "41 54 ", ""}));
  run_to(l, 100);
  EXPECT_EQ(l.got, (outputs{"", "", "41 54 ", "\r\n"}));
  // Not before its hex text is out.
  l.takes[at(output::hexdump)] = 3;
  l.line = "OK";
  run_to(l, 500);
  EXPECT_EQ(l.got, (outputs{"", "", "41 54 4f ", "\r\n"}));
  l.takes[at(output::hexdump)] = ALL;
  run_to(l, 501);
  EXPECT_EQ(l.got, (outputs{"", "", "41 54 4f 4b ", "\r\n\r\n"}));
  // Bytes received in the quick-key window: the prompt after it ends their
  // hex line, and no line break follows.
  l.takes[at(output::line)] = ALL;
  play(l, {{550, E}});
  run_to(l, 600);
  l.line = "AT";
  play(l, {{800, "\r"}});
  run_to(l, 1000);
  EXPECT_EQ(l.got[at(output::messages)], "\r\n\r\n\r\nserterm> ");
  // The echo waits for a line break standard error has not taken yet.
  loop e = start(MODE_HEXDUMP | MODE_HALF_DUPLEX);
  e.takes[at(output::messages)] = 0;
  e.line = "AT";
  play(e, {{150, "k"}});
  e.takes[at(output::messages)] = ALL;
  run_to(e, 300);
  EXPECT_EQ(e.terminal, "41 54 \r\nk");
}

// A serial driver at 9600 bps that sends in steps of 1280 bytes, one that
// does not say its step, and a pseudo-terminal.
constexpr line_driver STEPS{.bps = 9600, .step = 1280, .counts = true};
constexpr line_driver SERIAL{.bps = 9600, .counts = true};
// One that does not say its step either, and whose close waits 30 s.
constexpr line_driver QUIET{
    .bps = 9600, .counts = true, .closing_wait_cs = 3000};

// `n` looks at a driver holding `bytes`, then more.
std::vector<std::size_t>
looks(std::size_t n, std::size_t bytes, std::vector<std::size_t> then = {})
{
  std::vector<std::size_t> all(n, bytes);
  all.insert(all.end(), then.begin(), then.end());
  return all;
}

TEST(RelayCore, EndOfInput)
{
  // Typed bytes, then the input ends: the run waits while the line and
  // then its driver take bytes; what the driver holds at each look, every
  // 20 ms, and how the run ends. The line has stalled once the count has
  // not moved for a second, or, for a driver that moves in larger steps,
  // for two of its steps at the line's speed.
  const struct {
    std::size_t line_takes;
    line_driver driver;
    std::vector<std::size_t> driver_counts;
    int status;
    bool moves_later = false; // the line takes the rest at 500 ms
  } rows[] = {
      {ALL, {}, {0}, 0},
      {ALL, {}, {4000, 3000, 2000, 0}, 0},
      {ALL, {}, looks(52, 4000), 1},
      {2, {}, {}, 1},
      // Half a second without taking is no stall.
      {2, {}, {}, 0, true},
      // A step of 1280 bytes takes 1.33 s at 9600 bps: 2.67 s of standing
      // still is not yet a stall.
      {ALL, STEPS, looks(130, 20480, {19200, 0}), 0},
      {ALL, SERIAL, looks(130, 20480, {19200, 0}), 1},
      {ALL, STEPS, looks(136, 20480), 1},
      // The step shown by a drop between two looks in a row.
      {ALL, SERIAL, looks(2, 4000, looks(130, 2720, {0})), 0},
      // No step shown yet: as long as what it holds takes, at most its
      // closing wait.
      {ALL, QUIET, looks(250, 20480, {10240, 0}), 0},
      {ALL, QUIET, looks(1510, 20480), 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.driver_counts.size()
                                      << " looks, step " << row.driver.step);
    loop l = start(0, 100000, row.driver);
    l.takes[at(output::line)] = row.line_takes;
    l.driver = row.driver_counts.empty() ? 0 : row.driver_counts[0];
    play(l, {{0, "hello", true}});
    for (std::size_t look = 1; look < row.driver_counts.size() && !l.done;
         ++look) {
      l.driver = row.driver_counts[look];
      run_to(l, l.now / 1000 + 20);
    }
    if (row.moves_later) {
      run_to(l, 500);
      l.takes[at(output::line)] = ALL;
    }
    run_to(l, 10000);
    std::size_t sent =
        row.moves_later ? 5 : std::min<std::size_t>(5, row.line_takes);
    EXPECT_EQ(std::tuple(l.done, l.end.status, l.end.sent, l.end.unsent),
              std::tuple(true, row.status, sent, 5 - sent));
  }
}

// The outputs a row of the table below stops, as bits.
constexpr int LINE = 1 << at(output::line);
constexpr int SCREEN = 1 << at(output::screen);
constexpr int MESSAGES = 1 << at(output::messages);

TEST(RelayCore, WhatEachWaitingStateWaitsFor)
{
  // Each state as brought about, and what the next wait watches and when
  // it wakes at the latest: anything else would spin or hang. A row: at
  // `keys_ms`, `keys` typed (then the input ends if `ends`); the outputs
  // `stopped` take nothing, the device sends `sends`, the driver holds
  // `holds` (`then_holds` from `then_ms`); at `ms`, the wait reads the
  // keyboard for `keyboard` bytes, the line if `line`, watches for room on
  // exactly the outputs stopped, and wakes at `wake_us`.
  const std::string paste = paste_of(1100 * 1024);
  const struct {
    const char* name;
    std::int64_t keys_ms;
    std::string keys;
    std::int64_t ms;
    int stopped;
    std::size_t keyboard;
    bool line;
    std::int64_t wake_us;
    std::string sends = "";
    std::size_t holds = 0;
    bool ends = false;
    int modes = 0;
    line_driver driver = {};
    std::int64_t then_ms = -1;
    std::size_t then_holds = 0;
  } rows[] = {
      {"idle", 0, "", 200, 0, BUFFER_SIZE, true, -1},
      {"screen full, for a second at most", 0, "", 200, SCREEN, BUFFER_SIZE,
       false, 1000000, "x"},
      {"screen stalled", 0, "", 1200, SCREEN, BUFFER_SIZE, false, -1, "x"},
      {"queue for the line full", 100, paste, 200, LINE, 0, true, 1100000},
      {"line stalled", 0, "a", 1200, LINE, BUFFER_SIZE, true, -1},
      // A serial driver whose count moved in the second the queue waited:
      // the line moves, and is looked at again a second later.
      {"queue full, the driver's count moving", 0, paste, 1200, LINE, 0, true,
       2000000, "", 4000, false, 0, SERIAL, 900, 3000},
      {"queue full, the driver's count standing still", 0, paste, 1200, LINE,
       BUFFER_SIZE, true, -1, "", 4000, false, 0, SERIAL},
      {"escape in its quick-key window", 150, "a" + E, 200, 0, BUFFER_SIZE,
       true, 250001},
      {"escape held behind bytes", 150, "a" + E, 300, LINE, 0, true, 1150000},
      {"prompt shown", 0, E, 150, 0, BUFFER_SIZE, false, -1},
      {"prompt waiting for standard error", 0, E, 150, MESSAGES, BUFFER_SIZE,
       false, 1100001},
      {"half-duplex echo waiting behind the screen", 100, paste_of(40000), 200,
       SCREEN, 0, false, 1000000, "x", 0, false, MODE_HALF_DUPLEX},
      {"driver still sending at the end of input", 0, "", 190, 0, 0, true,
       200000, "", 100, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    loop l = start(row.modes, 100000, row.driver);
    std::array<bool, OUTPUTS> stopped{};
    for (output out : OUTPUT_LIST) {
      stopped[at(out)] = (row.stopped & 1 << at(out)) != 0;
      l.takes[at(out)] = stopped[at(out)] ? 0 : ALL;
    }
    l.line = row.sends;
    l.driver = row.holds;
    play(l, {{row.keys_ms, row.keys, row.ends}});
    if (row.then_ms >= 0) {
      run_to(l, row.then_ms);
      l.driver = row.then_holds;
    }
    run_to(l, row.ms);
    relay_plan plan = plan_pass(l.core, l.now);
    EXPECT_EQ(std::tuple(plan.action, plan.keyboard, plan.line, plan.room,
                         plan.wake_us),
              std::tuple(relay_action::none, row.keyboard, row.line, stopped,
                         row.wake_us));
  }
}

} // namespace
} // namespace serterm
