// A bound loopback socket that is never read: every sender measured meets the same full
// queue. With -O it takes blocks of datagrams whole, as R mode does with -O, so that
// cutting them up for a receiver that cannot is not charged to a sender of blocks; without
// it, it takes one packet a datagram as R mode does by default.
// Usage: sink [-O] PORT; runs until killed.
#include <arpa/inet.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

int main(int argc, char *argv[])
{
    const bool blocks = argc == 3 && std::strcmp(argv[1], "-O") == 0;
    if (argc != (blocks ? 3 : 2))
        return 2;
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[argc - 1])));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    if (sock < 0 || (blocks && setsockopt(sock, SOL_UDP, UDP_GRO, &on, sizeof on) < 0) ||
        bind(sock, reinterpret_cast<sockaddr *>(&at), sizeof at) < 0)
        return 1;
    pause();
}
