// The relay loop between the keyboard, the serial line and the screen.
#pragma once

#include <cstddef>

namespace serterm {

// How a relay ended: the exit status (0 after a quit or the end of keyboard
// input with every byte sent, 1 otherwise), what failed (nullptr if
// nothing did) with its errno (0 for none) and whether it was the line's,
// how many bytes for the line were dropped or still waiting, and how many
// the port's driver still held and could not discard.
struct relay_end {
  int status = 0;
  const char* failure = nullptr;
  int error = 0;
  bool line_failed = false;
  std::size_t unsent = 0;
  std::size_t held_by_port = 0;
};

// Relays bytes between the keyboard (standard input) and `line_fd` until the
// user quits, an input ends or an error occurs; received bytes and the
// half-duplex echo go to the standard input descriptor, hexdump text to
// standard output, neither ever holding up the keyboard or the line when
// those descriptors are non-blocking. Typed bytes the line cannot take yet wait
// in a queue; once the line has taken nothing for a second, what does not fit
// is dropped, so that the escape character always gets through, and it takes
// effect a second after it was read at the latest. At the end of input the
// relay waits while the line, its driver's queue included, takes bytes.
[[nodiscard]] relay_end run_relay(int line_fd, int modes, int flush_timeout_us,
                                  unsigned char escape_char);

// Writes CR LF to standard error if `report_relay_end` will write anything
// and the last byte shown left a line open.
void begin_relay_report(const relay_end& end);

// Writes what ended the relay to standard error, if anything failed, then
// the number of bytes not sent to the line, if any, then, if the port
// still holds bytes, that the close waits for them.
void report_relay_end(const relay_end& end);

} // namespace serterm
