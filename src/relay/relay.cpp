// The relay loop: the system calls that the relay's core asks for.
#include "relay/relay.hpp"

#include "common/common.hpp"
#include "common/io.hpp"
#include "terminal_control/terminal_control.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <tuple>
#include <unistd.h>

namespace serterm {

namespace {

constexpr int KEYBOARD_FD = STDIN_FILENO;

// Standard error first: the screen waits for what waits there.
constexpr std::array<output, OUTPUTS> WRITE_ORDER{
    output::line, output::messages, output::screen, output::hexdump};

int
fd_of(output out, int line_fd)
{
  switch (out) {
  case output::line:
    return line_fd;
  case output::screen:
    return KEYBOARD_FD;
  case output::hexdump:
    return STDOUT_FILENO;
  case output::messages:
    break;
  }
  return STDERR_FILENO;
}

// Writes what each output of `outs` takes now of what is worth writing to
// it.
void
write_outputs(relay_core& core, int line_fd, std::int64_t now,
              std::span<const output> outs = WRITE_ORDER)
{
  for (output out : outs) {
    std::span<const unsigned char> data = to_write(core, out);
    if (!data.empty()) {
      ssize_t n = write_some(fd_of(out, line_fd), data);
      written(core, out, n, n < 0 ? errno : 0, now);
    }
  }
}

// Reads the keys the keyboard holds, while it is still raw, then makes it
// cooked: the keys typed after the switch are the terminal's to edit and
// echo.
std::size_t
read_keys_ahead(std::span<unsigned char> area)
{
  int held = 0;
  ssize_t got = 0;
  if (ioctl(KEYBOARD_FD, FIONREAD, &held) == 0 && held > 0) {
    got = read(KEYBOARD_FD, area.data(),
               std::min(area.size(), static_cast<std::size_t>(held)));
  }
  keyboard_restore();
  return got > 0 ? static_cast<std::size_t>(got) : 0;
}

void
perform(relay_core& core, relay_action action, int line_fd, std::int64_t now)
{
  switch (action) {
  case relay_action::keyboard_cooked:
    keyboard_cooked(core, read_keys_ahead(keys_ahead_area(core)), now);
    break;
  case relay_action::keyboard_raw:
    keyboard_raw();
    keyboard_raw_again(core, now);
    break;
  case relay_action::modem_status:
    show_text(core, modem_status_text(line_fd, text_area(core)), now);
    break;
  case relay_action::look_at_driver:
    driver_holds(core, line_output_queued(line_fd), now);
    break;
  case relay_action::none:
  case relay_action::done:
    break;
  }
}

// What a wait found ready.
struct ready_set {
  bool keyboard = false;
  bool line = false;
  std::array<bool, OUTPUTS> room{};
};

// Waits as `plan` says, with `mask` as the signal mask (SIGCONT, blocked
// between waits, is let in only here, so that a stop ended just before the
// wait still ends it). Returns false when the wait was interrupted or
// failed. A negative flush time-out goes to the wait as it is: it is
// rejected.
bool
wait_for_work(relay_core& core, const relay_plan& plan, int line_fd,
              int flush_timeout_us, std::int64_t now, const sigset_t& mask,
              ready_set& ready)
{
  // Every descriptor is below FD_SETSIZE: open_line keeps the line there.
  fd_set read_set;
  fd_set write_set;
  FD_ZERO(&read_set);
  FD_ZERO(&write_set);
  if (plan.keyboard > 0) {
    FD_SET(KEYBOARD_FD, &read_set);
  }
  if (plan.line) {
    FD_SET(line_fd, &read_set);
  }
  for (output out : WRITE_ORDER) {
    if (plan.room[static_cast<std::size_t>(out)]) {
      FD_SET(fd_of(out, line_fd), &write_set);
    }
  }
  timeval timeout = flush_timeval(flush_timeout_us);
  bool timed = flush_timeout_us < 0 || plan.wake_us >= 0;
  if (flush_timeout_us >= 0 && plan.wake_us >= 0) {
    timeout = flush_timeval(static_cast<int>(
        std::clamp<std::int64_t>(plan.wake_us - now, 0, INT_MAX)));
  }
  timespec wait_time{timeout.tv_sec,
                     timeout.tv_usec < 0 ? -1L : timeout.tv_usec * 1000L};
  int count = pselect(line_fd + 1, &read_set, &write_set, nullptr,
                      timed ? &wait_time : nullptr, &mask);
  if (count < 0) {
    if (errno != EINTR) {
      relay_failed(core, "select failed", 0);
    }
    return false;
  }
  ready.keyboard = plan.keyboard > 0 && FD_ISSET(KEYBOARD_FD, &read_set);
  ready.line = plan.line && FD_ISSET(line_fd, &read_set);
  for (output out : WRITE_ORDER) {
    auto i = static_cast<std::size_t>(out);
    ready.room[i] = plan.room[i] && FD_ISSET(fd_of(out, line_fd), &write_set);
  }
  return true;
}

// Reads what the wait found ready and the plan still allows. The plan is
// made again when a rule may have changed since: a deadline has come, or
// the line has taken bytes (a stalled line's room).
void
read_inputs(relay_core& core, relay_plan plan, const ready_set& ready,
            int line_fd, std::int64_t now)
{
  if ((plan.wake_us >= 0 && now >= plan.wake_us) ||
      ready.room[static_cast<std::size_t>(output::line)]) {
    plan = plan_pass(core, now);
  }
  if (plan.action != relay_action::none) {
    return;
  }
  if (ready.keyboard && plan.keyboard > 0) {
    std::span<unsigned char> area = keyboard_area(core).first(plan.keyboard);
    ssize_t n = read(KEYBOARD_FD, area.data(), area.size());
    keyboard_read(core, n, n < 0 ? errno : 0, now);
  }
  if (ready.line && plan.line) {
    std::span<unsigned char> area = line_area(core);
    ssize_t n = read(line_fd, area.data(), area.size());
    line_read(core, n, n < 0 ? errno : 0, now);
  }
}

} // namespace

relay_end
run_relay(int line_fd, int modes, int flush_timeout_us,
          unsigned char escape_char, const line_driver& driver)
{
  relay_core& core = start_core(modes, flush_timeout_us, escape_char,
                                keyboard_editing(), driver);
  sigset_t continue_signal;
  sigset_t saved_mask;
  sigemptyset(&continue_signal);
  sigaddset(&continue_signal, SIGCONT);
  std::ignore = sigprocmask(SIG_BLOCK, &continue_signal, &saved_mask);
  sigset_t wait_mask = saved_mask;
  sigdelset(&wait_mask, SIGCONT);
  std::int64_t now = monotonic_us();
  for (;;) {
    if (was_continued()) {
      continued(core, now);
    }
    relay_plan plan = plan_pass(core, now);
    if (plan.action == relay_action::done) {
      break;
    }
    if (plan.action != relay_action::none) {
      perform(core, plan.action, line_fd, now);
      now = monotonic_us();
      continue;
    }
    // What the rules queued goes out before the wait: the plan may change.
    if (plan.write) {
      write_outputs(core, line_fd, now);
      continue;
    }
    ready_set ready;
    bool woke = wait_for_work(core, plan, line_fd, flush_timeout_us, now,
                              wait_mask, ready);
    now = monotonic_us();
    if (!woke) {
      continue;
    }
    for (output out : WRITE_ORDER) {
      if (ready.room[static_cast<std::size_t>(out)]) {
        room_again(core, out);
      }
    }
    // A stalled line takes bytes before the keyboard's room is reckoned;
    // the other outputs wait until the keys read have joined the line's,
    // and then take what the reads brought at once.
    if (ready.room[static_cast<std::size_t>(output::line)]) {
      write_outputs(core, line_fd, now, std::span(WRITE_ORDER).first(1));
    }
    read_inputs(core, plan, ready, line_fd, now);
    write_outputs(core, line_fd, now);
  }
  std::ignore = sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
  return relay_result(core);
}

} // namespace serterm
