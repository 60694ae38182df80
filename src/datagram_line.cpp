// The datagram line, raw for files and pipes, escaped for a terminal.
#include "datagram_line.hpp"

#include "ending.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <langinfo.h>
#include <unistd.h>

namespace {

// The line stops at the first zero byte.
std::size_t shownLength(const char *bytes, std::size_t length)
{
    const auto *zero = static_cast<const char *>(std::memchr(bytes, '\0', length));
    return zero == nullptr ? length : static_cast<std::size_t>(zero - bytes);
}

}  // namespace

iovec *datagramLine(iovec *at, const char *bytes, std::size_t length)
{
    static constexpr char lead[] = "rcvd ";
    static constexpr char end[] = "\n";
    at[0] = {const_cast<char *>(lead), 5};
    at[1] = {const_cast<char *>(bytes), shownLength(bytes, length)};
    at[2] = {const_cast<char *>(end), 1};
    return at + LINE_PARTS;
}

namespace {

char *escaped(char *at, unsigned char byte)
{
    constexpr const char *hex = "0123456789abcdef";
    at = std::copy_n("\\x", 2, at);
    *at++ = hex[byte >> 4];
    *at++ = hex[byte & 0xf];
    return at;
}

char *copied(char *at, unsigned char byte)
{
    *at = static_cast<char>(byte);
    return at + 1;
}

}  // namespace

std::size_t utf8Sequence(const unsigned char *bytes, std::size_t left, char32_t &point)
{
    const unsigned char lead = bytes[0];
    const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
    if (length == 0 || lead > 0xf4 || length > left)
        return 0;
    point = lead & (0x7f >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((bytes[i] & 0xc0) != 0x80)
            return 0;
        point = point << 6 | (bytes[i] & 0x3f);
    }
    constexpr char32_t fewest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < fewest[length] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff))
        return 0;
    return length;
}

namespace {

// Characters that a terminal takes as commands, or that reorder what it shows around them.
bool drivesTheTerminal(char32_t point)
{
    return (point >= 0x80 && point <= 0x9f) || (point >= 0x202a && point <= 0x202e) ||
           (point >= 0x2066 && point <= 0x2069);
}

}  // namespace

char *terminalLine(char *at, const char *bytes, std::size_t length, TerminalText text)
{
    const std::size_t shown = shownLength(bytes, length);
    const auto *from = reinterpret_cast<const unsigned char *>(bytes);
    at = std::copy_n("rcvd ", 5, at);
    for (std::size_t i = 0; i < shown;) {
        const unsigned char byte = from[i];
        if (byte == '\\') {
            at = std::copy_n("\\\\", 2, at);
            ++i;
        } else if ((byte < 0x20 && byte != '\t' && byte != '\n') || byte == 0x7f) {
            at = escaped(at, byte);
            ++i;
        } else if (byte < 0x80) {
            at = copied(at, byte);
            ++i;
        } else if (text == TerminalText::Bytes) {
            // One character a byte: 0x80 to 0x9f are the 8-bit control codes.
            at = byte <= 0x9f ? escaped(at, byte) : copied(at, byte);
            ++i;
        } else {
            char32_t point = 0;
            const std::size_t sequence = utf8Sequence(from + i, shown - i, point);
            if (sequence == 0) {
                at = escaped(at, byte);  // not UTF-8: byte by byte
                ++i;
            } else {
                for (const std::size_t end = i + sequence; i < end; ++i)
                    at = drivesTheTerminal(point) ? escaped(at, from[i]) : copied(at, from[i]);
            }
        }
    }
    *at++ = '\n';
    return at;
}

TerminalText terminalTextOfLocale()
{
    setlocale(LC_CTYPE, "");
    return std::string_view(nl_langinfo(CODESET)) == "UTF-8" ? TerminalText::Utf8 : TerminalText::Bytes;
}

std::size_t skipWritten(iovec *&parts, std::size_t count, std::size_t written)
{
    for (; count > 0 && written >= parts->iov_len; --count, ++parts)
        written -= parts->iov_len;
    if (count > 0) {
        parts->iov_base = static_cast<char *>(parts->iov_base) + written;
        parts->iov_len -= written;
    }
    return count;
}

Ending writeParts(iovec *parts, std::size_t count)
{
    // A pipe or a signal may cut a write short: the rest follows.
    while (count > 0) {
        const ssize_t wrote = writev(STDOUT_FILENO, parts, static_cast<int>(std::min<std::size_t>(count, IOV_MAX)));
        if (wrote < 0 && errno != EINTR)
            return failure("stdout");
        count = skipWritten(parts, count, wrote < 0 ? 0 : static_cast<std::size_t>(wrote));
    }
    return {};
}

Ending flushOutput()
{
    if (fflush(stdout) == EOF || ferror(stdout))
        return failure("stdout");
    return {};
}

void unbufferStandardOutput()
{
    // Lines wait in the receive loop's own memory and leave in large writes.
    setvbuf(stdout, nullptr, _IONBF, 0);
}
