// The fastest plain sender of one packet a datagram: reads 64 datagrams' worth at a time
// and hands them to the kernel already cut, 1396 bytes each, in one sendmmsg.
// Usage: sendmmsg_floor FILE PORT (to 127.0.0.1); prints the datagrams sent.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::size_t size = 1396;
constexpr std::size_t batch = 64;

}  // namespace

int main(int argc, char *argv[])
{
    if (argc != 3)
        return 2;
    const int file = open(argv[1], O_RDONLY);
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (file < 0 || sock < 0)
        return 1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    static std::array<char, batch * size> block;
    std::array<iovec, batch> parts{};
    std::array<mmsghdr, batch> messages{};
    // Unconnected, each message naming its destination, as the other floors send.
    for (std::size_t i = 0; i < batch; ++i) {
        messages[i].msg_hdr.msg_name = &to;
        messages[i].msg_hdr.msg_namelen = sizeof to;
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    long sent = 0;
    for (ssize_t got; (got = read(file, block.data(), block.size())) > 0;) {
        const auto length = static_cast<std::size_t>(got);
        unsigned count = 0;
        for (std::size_t at = 0; at < length; at += size, ++count)
            parts[count] = {block.data() + at, length - at < size ? length - at : size};
        // A full send buffer can take only part of a batch: the rest goes in the next call.
        for (unsigned done = 0; done < count;) {
            const int n = sendmmsg(sock, messages.data() + done, count - done, 0);
            if (n < 0)
                return 1;
            done += static_cast<unsigned>(n);
        }
        sent += count;
    }
    printf("%ld\n", sent);
}
