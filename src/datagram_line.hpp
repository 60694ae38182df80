// The datagram line: how a received datagram is printed.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

// The room a datagram line needs: "rcvd ", at most `taken` bytes, each shown as up to 4 on
// a terminal, a line end.
constexpr std::size_t lineRoom(std::size_t taken) { return 5 + 4 * taken + 1; }

// The datagram line of `length` bytes at `bytes` as three parts of one write, at `at`:
// "rcvd ", the bytes up to the first zero byte, a line end. The bytes are not copied, so
// they must stay in place until the parts are written. Returns the parts' end.
iovec *datagramLine(iovec *at, const char *bytes, std::size_t length);
constexpr std::size_t LINE_PARTS = 3;
// The length of the well-formed UTF-8 sequence at `bytes` (no overlong form, no surrogate,
// nothing above U+10FFFF) and its code point, or 0 where there is none.
std::size_t utf8Sequence(const unsigned char *bytes, std::size_t left, char32_t &point);
// What a terminal makes of the bytes from 128: characters of one byte each, or UTF-8.
enum class TerminalText { Bytes, Utf8 };
// The terminal's, as the user's locale says.
TerminalText terminalTextOfLocale();
// The same line as a terminal must show it, so that a peer can neither drive the terminal
// nor reorder what it shows: every control character but the tab and the line end (C0,
// DEL, C1) and the bidirectional overrides and isolates as \xHH a byte, and so every byte
// that is not UTF-8 where the terminal reads UTF-8; a backslash as \\. Needs room for
// 5 + 4 * length + 1 bytes.
char *terminalLine(char *at, const char *bytes, std::size_t length, TerminalText text);

// Standard output took everything written to it so far, or the failure to report.
struct Ending;
Ending flushOutput();
// Writes every byte of `count` parts to standard output, in as few calls as it takes them.
Ending writeParts(iovec *parts, std::size_t count);
// After a write that took `written` bytes of the parts: the first part not yet written
// whole, moved past what was, and how many are left from it.
std::size_t skipWritten(iovec *&parts, std::size_t count, std::size_t written);
// Before the first output of R and L mode: the receive loop holds the lines itself.
void unbufferStandardOutput();
