// Any datagram, of any length a UDP datagram can have, must become exactly
// "rcvd " + its bytes up to the first zero byte + a line end, and nothing else; on a
// terminal the same line with no control character but tab and line end and no
// bidirectional override, which reads back as those bytes.
#include "../../src/datagram_line.hpp"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr std::size_t largestDatagram = 65507;

// The bytes a terminal line stands for: \\ is a backslash, \xHH a byte.
std::string readBack(const std::string &escaped)
{
    std::string decoded;
    for (std::size_t i = 5; i + 1 < escaped.size(); ++i) {
        if (escaped[i] != '\\') {
            decoded += escaped[i];
        } else if (escaped.at(i + 1) == '\\') {
            decoded += '\\';
            ++i;
        } else {
            decoded += static_cast<char>(std::stoi(escaped.substr(i + 2, 2), nullptr, 16));
            i += 3;
        }
    }
    return decoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > largestDatagram)
        return -1;
    const auto *bytes = reinterpret_cast<const char *>(data);
    // One part more than the line may take, which must stay as it was.
    iovec parts[LINE_PARTS + 1] = {};
    const iovec *end = datagramLine(parts, bytes, size);
    std::string written;
    for (const iovec *part = parts; part < end; ++part)
        written.append(static_cast<const char *>(part->iov_base), part->iov_len);

    const std::string text(bytes, size);
    const std::string expected = "rcvd " + text.substr(0, text.find('\0')) + "\n";
    if (end != parts + LINE_PARTS || written != expected || parts[LINE_PARTS].iov_base != nullptr)
        std::abort();

    for (const TerminalText terminal : {TerminalText::Bytes, TerminalText::Utf8}) {
        std::vector<char> shown(5 + 4 * size + 1);
        const std::string escaped(shown.data(), terminalLine(shown.data(), bytes, size, terminal));
        if (escaped.compare(0, 5, "rcvd ") != 0 || escaped.back() != '\n' || "rcvd " + readBack(escaped) + "\n" != expected)
            std::abort();
        for (std::size_t i = 5; i + 1 < escaped.size(); ++i) {
            const auto byte = static_cast<unsigned char>(escaped[i]);
            const bool c0 = (byte < 0x20 && byte != '\t' && byte != '\n') || byte == 0x7f;
            if (c0 || (terminal == TerminalText::Bytes && byte >= 0x80 && byte <= 0x9f))
                std::abort();
        }
        // A UTF-8 terminal sees neither a C1 character nor a bidirectional override.
        for (const char *raw : {"\xc2\x80", "\xc2\x9f", "\xe2\x80\xae", "\xe2\x81\xa7"})
            if (terminal == TerminalText::Utf8 && escaped.find(raw) != std::string::npos)
                std::abort();
    }
    return 0;
}
