// What the line's driver says of itself (its speed, the steps in which it
// sends, its closing wait) and what it still holds at the end of a session:
// counted, discarded, waited for.
#pragma once

#include <cstddef>

namespace serterm {

// What the line's driver says of itself: the speed the line runs at (0 if
// not known), the size of the steps in which it sends (the UART's FIFO, a
// USB transfer buffer; 0 if it does not say), whether it is a serial
// driver that counts what it holds (a pseudo-terminal is not), and how long
// its close waits for what it holds, in hundredths of a second (-1: for
// ever).
struct line_driver {
  int bps = 0;
  std::size_t step = 0;
  bool counts = false;
  int closing_wait_cs = 0;
};

[[nodiscard]] line_driver describe_line(int line_fd);

// The number of bytes the line's driver still holds to send (TIOCOUTQ); 0
// when it holds none or cannot say, as a pseudo-terminal does. Some drivers
// count whole buffers.
[[nodiscard]] std::size_t line_output_queued(int line_fd);

// Discards what the line's driver still holds to send, so that closing the
// line does not wait for it. Returns the number of bytes discarded; a
// driver that cannot discard still holds its bytes afterwards.
[[nodiscard]] std::size_t discard_line_output(int line_fd);

// Waits until the line's transmitter is empty (TIOCSERGETLSR), so that its
// last bytes leave at the line's speed, for at most twice the time the
// driver's step takes at that speed; not at all if the driver cannot tell.
void wait_transmitter_empty(int line_fd, const line_driver& driver);

// Watches the driver send what it still holds for as long as its close
// would wait. Returns what it still holds then.
[[nodiscard]] std::size_t watch_line_output(int line_fd,
                                            const line_driver& driver);

// Closes `fd` without letting the close wait for what its driver still
// holds: the driver drops it.
void close_without_waiting(int fd);

} // namespace serterm
