// The datagram line: how a received datagram is printed.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::int32_t RECV_MAX = 1399;  // most bytes taken from one received datagram

// A datagram line: "rcvd ", at most RECV_MAX bytes, each shown as up to 4 on a terminal,
// a line end.
constexpr std::size_t LINE_MAX_BYTES = 5 + 4 * RECV_MAX + 1;

// Writes the datagram line of `length` bytes at `at`, which has room for 5 + length + 1
// bytes, and returns its end.
char *datagramLine(char *at, const char *bytes, std::size_t length);
// The same line as a terminal must show it: every control byte but the tab and the line
// end as \xHH, and a backslash as \\, so that a peer cannot drive the terminal. Needs room
// for 5 + 4 * length + 1 bytes.
char *terminalLine(char *at, const char *bytes, std::size_t length);

// Standard output took everything written to it so far, or the failure to report.
struct Ending;
Ending flushOutput();
