// The datagram line, raw for files and pipes, escaped for a terminal.
#include "line.hpp"

#include "ending.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// The line stops at the first zero byte.
std::size_t shownLength(const char *bytes, std::size_t length)
{
    const auto *zero = static_cast<const char *>(std::memchr(bytes, '\0', length));
    return zero == nullptr ? length : static_cast<std::size_t>(zero - bytes);
}

}  // namespace

char *datagramLine(char *at, const char *bytes, std::size_t length)
{
    const std::size_t shown = shownLength(bytes, length);
    std::memcpy(at, "rcvd ", 5);
    std::memcpy(at + 5, bytes, shown);
    at[5 + shown] = '\n';
    return at + 5 + shown + 1;
}

char *terminalLine(char *at, const char *bytes, std::size_t length)
{
    const std::size_t shown = shownLength(bytes, length);
    at = std::copy_n("rcvd ", 5, at);
    for (std::size_t i = 0; i < shown; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == '\\') {
            at = std::copy_n("\\\\", 2, at);
        } else if ((byte < 0x20 && byte != '\t' && byte != '\n') || byte == 0x7f) {
            constexpr const char *hex = "0123456789abcdef";
            at = std::copy_n("\\x", 2, at);
            *at++ = hex[byte >> 4];
            *at++ = hex[byte & 0xf];
        } else {
            *at++ = static_cast<char>(byte);
        }
    }
    *at++ = '\n';
    return at;
}

Ending flushOutput()
{
    if (fflush(stdout) == EOF || ferror(stdout))
        return failure("stdout");
    return {};
}
