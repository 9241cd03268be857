// The relay loop between the keyboard, the serial line and the screen.
#pragma once

namespace serterm {

// Relays bytes between the keyboard (standard input) and `line_fd` until the
// user quits, an input ends or an error occurs; received bytes and the
// half-duplex echo go to the standard input descriptor, hexdump text to
// standard output. Returns the exit status: 0 after a quit or the end of
// keyboard input, 1 after a failure (already reported on standard error).
[[nodiscard]] int run_relay(int line_fd, int modes, int flush_timeout_us,
                            unsigned char escape_char);

} // namespace serterm
