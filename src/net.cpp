// Addresses and sockets.
#include "net.hpp"

#include <arpa/inet.h>

Address ipv4Address(const std::string &text, std::int32_t port)
{
    Address address;
    auto &ipv4 = reinterpret_cast<sockaddr_in &>(address.storage);
    ipv4.sin_family = AF_INET;
    ipv4.sin_port = htons(static_cast<std::uint16_t>(port));  // only the low 16 bits count
    ipv4.sin_addr.s_addr = inet_addr(text.c_str());
    address.length = sizeof ipv4;
    return address;
}

Address anyLocalAddress(std::int32_t port) { return ipv4Address("0.0.0.0", port); }

int makeSocket() { return socket(AF_INET, SOCK_DGRAM, 0); }

Ending bindTo(int sock, const Address &local)
{
    if (bind(sock, local.raw(), local.length) < 0)
        return failure("bind");
    return {};
}

int boundPort(int sock)
{
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    getsockname(sock, reinterpret_cast<sockaddr *>(&local), &size);  // cannot fail on a bound socket
    return ntohs(reinterpret_cast<const sockaddr_in &>(local).sin_port);
}
