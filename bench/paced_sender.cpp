// A steady stream of 1396-byte datagrams, each its number ("%012d ") and the alphabet over
// and over, as the lines of bench/run.sh's files are, sent to
// 127.0.0.1 at a set rate in groups of 46 that the kernel cuts (as S mode sends), each
// group when it is due. Usage: paced_sender PORT RATE SECONDS; prints the datagrams sent.
#include <arpa/inet.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <time.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int size = 1396;
constexpr int group = 46;

std::int64_t nanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc != 4)
        return 2;
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0 || setsockopt(sock, SOL_UDP, UDP_SEGMENT, &size, sizeof size) < 0)
        return 1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const double rate = std::atof(argv[2]);
    const auto groups = static_cast<std::int64_t>(rate * std::atof(argv[3]) / group);

    static std::array<char, group * size> block;
    for (int d = 0; d < group; ++d)
        for (int j = 13; j < size; ++j)
            block[d * size + j] = static_cast<char>('a' + (j - 13) % 26);
    const std::int64_t start = nanoseconds();
    std::int64_t sent = 0;
    for (std::int64_t k = 0; k < groups; ++k) {
        const auto due = start + static_cast<std::int64_t>(1e9 * static_cast<double>(k * group) / rate);
        while (nanoseconds() < due) {
        }
        for (int i = 0; i < group; ++i) {
            char number[24];
            std::snprintf(number, sizeof number, "%012lld ", static_cast<long long>(sent + i));
            std::memcpy(block.data() + i * size, number, 13);
        }
        if (sendto(sock, block.data(), block.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0)
            return 1;
        sent += group;
    }
    std::printf("%lld\n", static_cast<long long>(sent));
}
