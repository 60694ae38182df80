// The fastest plain reflector: one recvmmsg of up to 64 datagrams, then one sendmmsg of
// the same batch, each datagram back unchanged to the address and port it came from, and
// nothing else. Slots are 2048 bytes: the bench sends 1396.
// Usage: reflect_floor PORT; runs until killed (TERM).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

int main(int argc, char *argv[])
{
    if (argc != 2)
        return 2;
    constexpr std::size_t slots = 64;
    constexpr std::size_t slotSize = 2048;
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    // As large as the user may have: capped by net.core.rmem_max, as R's is.
    const int wanted = 64 << 20;
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&at), sizeof at) < 0 ||
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted) < 0)
        return 1;
    std::vector<char> bytes(slots * slotSize);
    std::vector<sockaddr_in> from(slots);
    std::vector<iovec> slot(slots);
    std::vector<mmsghdr> messages(slots);
    for (std::size_t i = 0; i < slots; ++i) {
        slot[i] = {bytes.data() + i * slotSize, slotSize};
        messages[i].msg_hdr.msg_name = &from[i];
        messages[i].msg_hdr.msg_namelen = sizeof from[i];
        messages[i].msg_hdr.msg_iov = &slot[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    for (;;) {
        const int got = recvmmsg(sock, messages.data(), slots, MSG_WAITFORONE, nullptr);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        // Each datagram goes back as long as it came, to where it came from (the name
        // recvmmsg filled in).
        for (int i = 0; i < got; ++i)
            slot[i].iov_len = messages[i].msg_len;
        for (int done = 0; done < got;) {
            const int n = sendmmsg(sock, messages.data() + done, static_cast<unsigned>(got - done), 0);
            if (n < 0 && errno == EINTR)
                continue;
            done += n < 0 ? 1 : n;  // one refused is left, the rest go on
        }
        for (int i = 0; i < got; ++i) {
            slot[i].iov_len = slotSize;
            messages[i].msg_hdr.msg_namelen = sizeof from[i];
        }
    }
}
