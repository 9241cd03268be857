// The relay loop between the keyboard, the serial line and the screen.
#pragma once

#include "relay/relay_core.hpp"

namespace serterm {

// Relays bytes between the keyboard (standard input) and `line_fd` until the
// user quits, an input ends or an error occurs, by the rules of the relay's
// core: received bytes and the half-duplex echo go to the standard input
// descriptor, hexdump text to standard output, the prompt and its messages
// to standard error, none of them ever holding up another.
[[nodiscard]] relay_end run_relay(int line_fd, int modes, int flush_timeout_us,
                                  unsigned char escape_char);

// Writes CR LF to standard error if `report_relay_end` will write anything
// and the last byte shown left a line open.
void begin_relay_report(const relay_end& end);

// Writes what ended the relay to standard error, if anything failed, then
// the number of bytes not sent to the line, if any, then, if the port
// still holds bytes, that the close waits for them. A terminal that takes
// nothing for a second loses what it has not taken.
void report_relay_end(const relay_end& end);

} // namespace serterm
