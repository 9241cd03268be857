// The end of a session: what the line's driver still holds, accounted for,
// and the messages that say how the relay ended.
#pragma once

#include "relay/relay_core.hpp"
#include "terminal_control/line_driver.hpp"

namespace serterm {

// Once the relay is over and unless the line failed: discards what the
// line's driver holds (counted as not sent), lets the last bytes leave the
// transmitter at the line's speed, and notes in `end` what the driver still
// holds, never more than it was given.
void settle_line_output(int line_fd, const line_driver& driver, relay_end& end);

// Writes CR LF to standard error if `report_relay_end` will write anything
// and the last byte shown left a line open.
void begin_relay_report(const relay_end& end);

// Writes what ended the relay to standard error, if anything failed, then
// the number of bytes not sent to the line, if any, then, if the port
// still holds bytes, that it waits for them. A terminal that takes nothing
// for a second loses what it has not taken.
void report_relay_end(const relay_end& end);

// If the port still holds bytes, waits while it sends them, for as long as
// its close would, and says whether it sent them all or the kernel dropped
// the rest. Returns the exit status: 0 once every byte has left the port,
// even after the line was judged stalled, 1 otherwise.
[[nodiscard]] int wait_for_port(int line_fd, const line_driver& driver,
                                const relay_end& end);

} // namespace serterm
