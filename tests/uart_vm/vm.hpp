// The host side of the UART VM test: boots the guest under QEMU, talks to
// its agent over the console, and plays the device at the far end of the
// guest's second UART through a pseudo-terminal and the device shim.
#pragma once

#include "device_state.hpp"
#include "support/pty_kit.hpp"

#include <functional>
#include <string>
#include <sys/types.h>
#include <termios.h>

namespace uart_vm {

using serterm::testing::milliseconds;

// What a boot needs, all paths on the host.
struct vm_files {
  std::string qemu;
  std::string kernel;
  std::string busybox;
  std::string agent;
  std::string serterm;
  std::string init_script;
  std::string shim;
};

// A running guest. `line.master` (non-blocking) is the host's end of the
// guest's ttyS1; `device` the state shared with the shim inside QEMU.
struct vm {
  pid_t qemu_pid = -1;
  int console_in = -1;
  int console_out = -1;
  serterm::testing::pty_pair line;
  std::string work_dir;
  device_state* device = nullptr;
  std::string console_pending;
  std::string console_log;
  std::string release;
  std::string accelerator;
  double boot_seconds = 0;
};

// Reads the whole file `path` into `contents`. False if it cannot.
[[nodiscard]] bool read_file(const std::string& path, std::string& contents);

// Boots a guest from `files` and waits up to `limit` for its agent.
// Returns an empty string on success, else what failed (QEMU's own
// messages included); the guest is then already stopped.
[[nodiscard]] std::string start_vm(vm& guest, const vm_files& files,
                                   milliseconds limit);

// Asks the agent to end, waits briefly for QEMU to power off, then kills it
// by its PID, and removes the work directory.
void stop_vm(vm& guest);

// Sends `command` to the agent and returns its answer without the "@@ "
// prefix, or "" if none came within `limit`. Interim answers ("note ...")
// go to `on_note`; `idle` runs about every 5 ms while waiting.
[[nodiscard]] std::string
ask_agent(vm& guest, const std::string& command, milliseconds limit,
          const std::function<void(const std::string&)>& on_note = {},
          const std::function<void()>& idle = {});

// The last part of the console output, for failure messages.
[[nodiscard]] std::string console_tail(const vm& guest);

// Sets the lines the device drives (TIOCM_CTS, TIOCM_CAR, TIOCM_RNG,
// TIOCM_DSR). QEMU reads them whenever the guest reads its UART's modem
// status register, and every 10 ms while modem status interrupts are on.
void set_device_lines(vm& guest, std::uint32_t lines);

// The line settings the guest's UART last put on the host pty, control
// flags and speed as QEMU asked for them: the pty itself keeps the speed
// and stop bits but forces 8 data bits and no parity.
[[nodiscard]] termios device_line_settings(const vm& guest);

// The host pty's own settings.
[[nodiscard]] termios host_pty_settings(const vm& guest);

} // namespace uart_vm
