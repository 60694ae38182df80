// The slowest honest sender: one read and one send per datagram of 1396 bytes.
// Usage: plain_floor FILE PORT (to 127.0.0.1); prints the datagrams sent.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

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
    std::array<char, 1396> chunk;
    long sent = 0;
    for (ssize_t got; (got = read(file, chunk.data(), chunk.size())) > 0; ++sent)
        if (sendto(sock, chunk.data(), static_cast<std::size_t>(got), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0)
            return 1;
    printf("%ld\n", sent);
}
