// The device's side of the guest's second UART, shared between the test
// harness and the shim preloaded into QEMU: the modem lines the host sets,
// the lines the guest drives, and the line settings the guest's UART asked
// QEMU for.
#pragma once

#include <atomic>
#include <cstdint>
#include <sys/ioctl.h>

namespace uart_vm {

// Lines the device drives (what the guest's UART reads in its status
// register) and lines the guest drives (its control register).
inline constexpr std::uint32_t DEVICE_LINES =
    TIOCM_CTS | TIOCM_CAR | TIOCM_RNG | TIOCM_DSR;
inline constexpr std::uint32_t GUEST_LINES = TIOCM_DTR | TIOCM_RTS;

inline constexpr std::size_t LINES_LOG_SIZE = 4096;

// One file mapped by both processes. The harness writes `device_lines`;
// the shim answers QEMU's TIOCMGET with them plus the guest's lines, and
// appends the guest's lines after every TIOCMSET to `lines_log`. A
// pseudo-terminal forces 8 data bits and no parity, so the shim also keeps the
// control flags and speed of QEMU's last tcsetattr.
struct device_state {
  std::atomic<std::uint32_t> device_lines;
  std::atomic<std::uint32_t> guest_lines;
  std::atomic<std::uint32_t> get_count;
  std::atomic<std::uint32_t> set_count;
  std::atomic<std::uint32_t> lines_log[LINES_LOG_SIZE];
  std::atomic<std::uint32_t> line_cflag;
  std::atomic<std::uint32_t> line_speed;
};

static_assert(std::atomic<std::uint32_t>::is_always_lock_free,
              "the record is shared between processes");

// Environment variables through which the harness tells the shim the
// shared file, the host tty whose calls it answers and the paced line's
// socket.
inline constexpr const char* DEVICE_FILE_ENV = "SERTERM_VM_DEVICE_FILE";
inline constexpr const char* DEVICE_TTY_ENV = "SERTERM_VM_DEVICE_TTY";
inline constexpr const char* PACED_SOCKET_ENV = "SERTERM_VM_PACED_SOCKET";

} // namespace uart_vm
