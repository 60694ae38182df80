// The fastest plain receiver: blocks of equal datagrams taken as one (UDP_GRO), many a call,
// their bytes written to standard output as they came, with no line around them.
// Usage: receive_floor PORT; runs until killed, and then writes out what it took.
#include <arpa/inet.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

constexpr std::size_t slots = 32;
constexpr std::size_t slotSize = 1 << 16;

}  // namespace

int main(int argc, char *argv[])
{
    if (argc != 2)
        return 2;
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    const int on = 1;
    const int wanted = 64 << 20;
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&at), sizeof at) < 0 ||
        setsockopt(sock, SOL_UDP, UDP_GRO, &on, sizeof on) < 0 ||
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted) < 0)
        return 1;
    std::vector<char> bytes(slots * slotSize);
    std::array<iovec, slots> slot{};
    std::array<mmsghdr, slots> messages{};
    for (std::size_t i = 0; i < slots; ++i) {
        slot[i] = {bytes.data() + i * slotSize, slotSize};
        messages[i].msg_hdr.msg_iov = &slot[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    std::array<iovec, slots> out{};
    for (;;) {
        const int got = recvmmsg(sock, messages.data(), slots, MSG_WAITFORONE, nullptr);
        if (got < 0)
            return 1;
        for (int i = 0; i < got; ++i)
            out[i] = {slot[i].iov_base, messages[i].msg_len};
        if (writev(STDOUT_FILENO, out.data(), got) < 0)
            return 1;
    }
}
