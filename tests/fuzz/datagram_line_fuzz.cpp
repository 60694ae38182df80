// Any datagram, of any length a UDP datagram can have, must become exactly
// "rcvd " + its bytes up to the first zero byte + a line end, and nothing else.
#include "../../src/transfer.hpp"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr std::size_t largestDatagram = 65507;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > largestDatagram)
        return -1;
    const auto *bytes = reinterpret_cast<const char *>(data);
    // One byte more than the line may take, which must stay as it was.
    std::vector<char> written(5 + size + 2, '#');
    const char *end = datagramLine(written.data(), bytes, size);

    const std::string text(bytes, size);
    const std::string expected = "rcvd " + text.substr(0, text.find('\0')) + "\n";
    const auto length = static_cast<std::size_t>(end - written.data());
    if (length != expected.size() || expected.compare(0, length, written.data(), length) != 0 || written[length] != '#')
        std::abort();
    return 0;
}
