// The fastest plain receiver: many datagrams a call, their bytes written to standard output
// as they came, with no line around them. With -O, blocks of equal datagrams are taken as
// one (UDP_GRO), 32 blocks a call; without it, one packet a datagram, 64 a call.
// Usage: receive_floor [-O] PORT; runs until killed.
#include <arpa/inet.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char *argv[])
{
    const bool blocks = argc == 3 && std::strcmp(argv[1], "-O") == 0;
    if (argc != (blocks ? 3 : 2))
        return 2;
    // A block may be as large as a datagram can be; a single datagram here is at most the
    // 1396 bytes the bench sends, so small slots keep what a call touches compact.
    const std::size_t slots = blocks ? 32 : 64;
    const std::size_t slotSize = blocks ? std::size_t{1} << 16 : 2048;
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[argc - 1])));
    const int on = 1;
    const int wanted = 64 << 20;
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&at), sizeof at) < 0 ||
        (blocks && setsockopt(sock, SOL_UDP, UDP_GRO, &on, sizeof on) < 0) ||
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted) < 0)
        return 1;
    // Touched now, as R mode does, not while a burst waits.
    std::vector<char> bytes(slots * slotSize);
    std::vector<iovec> slot(slots);
    std::vector<mmsghdr> messages(slots);
    for (std::size_t i = 0; i < slots; ++i) {
        slot[i] = {bytes.data() + i * slotSize, slotSize};
        messages[i].msg_hdr.msg_iov = &slot[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    std::vector<iovec> out(slots);
    for (;;) {
        const int got = recvmmsg(sock, messages.data(), static_cast<unsigned>(slots), MSG_WAITFORONE, nullptr);
        if (got < 0)
            return 1;
        for (int i = 0; i < got; ++i)
            out[i] = {slot[i].iov_base, messages[i].msg_len};
        if (writev(STDOUT_FILENO, out.data(), got) < 0)
            return 1;
    }
}
