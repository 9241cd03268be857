// Declarations every part of serterm shares: mode bits, sizes, defaults and
// the program name.
#pragma once

#include <cstddef>

namespace serterm {

// Bits of the `modes` set.
inline constexpr int MODE_HEXDUMP = 1;
inline constexpr int MODE_HALF_DUPLEX = 2;
inline constexpr int MODE_MAP_CR = 4;

// Size of every data buffer: the relay buffer, the prompt's line buffer.
inline constexpr std::size_t BUFFER_SIZE = 8192;

inline constexpr int DEFAULT_SPEED_BPS = 9600;
inline constexpr const char* DEFAULT_DEVICE = "/dev/cuaa0";
inline constexpr int DEFAULT_FLUSH_TIMEOUT_US = 100000;
// Control-], the control character of ']'.
inline constexpr unsigned char DEFAULT_ESCAPE_CHAR = 0x1D;

inline constexpr unsigned char CR = 0x0D;
inline constexpr unsigned char LF = 0x0A;

// The program's name as given in argv[0], unchanged; every message that
// names the program prints it.
extern const char* progname;

// Writes "<progname>: <what>: <strerror(error)>" and a newline to standard
// error, or "<progname>: <what>" when `error` is 0.
void report(const char* what, int error);

} // namespace serterm
