// The relay loop between the keyboard, the serial line and the screen.
#pragma once

#include "relay/relay_core.hpp"
#include "terminal_control/line_driver.hpp"

namespace serterm {

// Relays bytes between the keyboard (standard input) and `line_fd` until the
// user quits, an input ends or an error occurs, by the rules of the relay's
// core, which judges the line by what `driver` says of itself: received
// bytes and the half-duplex echo go to the standard input descriptor,
// hexdump text to standard output, the prompt and its messages to standard
// error, none of them ever holding up another.
[[nodiscard]] relay_end run_relay(int line_fd, int modes, int flush_timeout_us,
                                  unsigned char escape_char,
                                  const line_driver& driver);

} // namespace serterm
