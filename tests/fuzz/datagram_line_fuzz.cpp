// Any datagram, of any length a UDP datagram can have, must become exactly
// "rcvd " + its bytes up to the first zero byte + a line end, and nothing else.
#include "../../src/transfer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr std::size_t largestDatagram = 65507;

// Standard output goes to a file in memory, read back after every line.
const int captured = [] {
    const int fd = memfd_create("datagram-line", 0);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0)
        std::abort();
    return fd;
}();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > largestDatagram)
        return -1;
    if (ftruncate(captured, 0) < 0 || lseek(captured, 0, SEEK_SET) < 0)
        std::abort();

    const auto *bytes = reinterpret_cast<const char *>(data);
    printDatagram(bytes, size);
    std::fflush(stdout);

    const std::string text(bytes, size);
    const std::string expected = "rcvd " + text.substr(0, text.find('\0')) + "\n";
    std::string written(expected.size() + 1, '\0');
    const ssize_t got = pread(captured, written.data(), written.size(), 0);
    if (got != static_cast<ssize_t>(expected.size()) || written.compare(0, expected.size(), expected) != 0)
        std::abort();
    return 0;
}
