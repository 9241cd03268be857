// The host side of the UART VM test: boots guests under QEMU, talks to
// their agents over the console, and plays the device at the far end of a
// guest's serial line through a pseudo-terminal and the device shim.
#pragma once

#include "protocol.hpp"
#include "support/pty_kit.hpp"

#include <functional>
#include <string>
#include <vector>

namespace uart_vm {

using serterm::testing::milliseconds;
using serterm::testing::steady;

// What a boot needs, all paths on the host. `kernel` is the directory
// fetch_kernel.sh fills: `vmlinux` and the module tree `modules`; `scripts`
// the directory of this test's scripts.
struct vm_files {
  std::string qemu;
  std::string kernel;
  std::string agent;
  std::string serterm;
  std::string scripts;
  std::string shim;
};

// What sets one guest apart: QEMU's arguments for the device on the host
// pty `line` (the chardev "line") and, if it has one, on the socket
// `paced` (the chardev "paced"), and the kernel modules its init loads
// (names separated by commas), with those they depend on.
struct vm_profile {
  std::string name;
  std::vector<std::string> devices;
  std::string modules;
};

// A running guest. `qemu` is QEMU's run, whose standard input and output
// are the guest's console: its `out` stream holds all the console showed.
// `line.master` (non-blocking) is the host's end of the device on its
// chardev "line"; `device` the state shared with the shim inside QEMU.
// `paced` (non-blocking) is the host's end of the unix socket behind the
// chardev "paced": QEMU sends a UART's bytes into it one at a time, and the
// shim makes it hold only a few of them, so the pace at which the host reads
// them is the line's.
// `lost` is set once the agent failed to answer: later answers could
// belong to earlier commands.
struct vm {
  std::string name;
  serterm::testing::run qemu;
  serterm::testing::pty_pair line;
  int paced = -1;
  std::string work_dir;
  device_state* device = nullptr;
  std::string release;
  std::string accelerator;
  double boot_seconds = 0;
  bool lost = false;
};

// Starts QEMU on a guest from `files` as `profile` says and waits up to
// `limit` for its agent. Returns an empty string once it is ready, else
// what failed (with the console's and QEMU's last words); the guest is then
// already stopped.
[[nodiscard]] std::string boot_vm(vm& guest, const vm_files& files,
                                  const vm_profile& profile,
                                  milliseconds limit);

// Asks the agent to end, waits briefly for QEMU to power off, then kills it
// by its PID, and removes the work directory.
void stop_vm(vm& guest);

// Sends `command` (if any) to the agent and returns its next answer without
// the "@@ ", or "" if none came within `limit` or QEMU ended. `idle` runs
// about every 5 ms while waiting.
[[nodiscard]] std::string ask_agent(vm& guest, const std::string& command,
                                    milliseconds limit,
                                    const std::function<void()>& idle = {});

// True when QEMU's monitor carried out `command`: it answered, and with no
// error.
[[nodiscard]] bool monitor(vm& guest, const std::string& command);

// The last part of the console output, for failure messages.
[[nodiscard]] std::string console_tail(vm& guest);

} // namespace uart_vm
