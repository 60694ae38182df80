// Addresses and sockets.
#include "net.hpp"

#include <arpa/inet.h>
#include <unistd.h>

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

int routeMtu(const Address &destination)
{
    // Only a connected socket tells its route's MTU; this one sends nothing.
    const int probe = socket(destination.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int mtu = -1;
    socklen_t size = sizeof mtu;
    if (probe >= 0 && connect(probe, destination.raw(), destination.length) == 0) {
        if (destination.family() == AF_INET6)
            getsockopt(probe, SOL_IPV6, IPV6_MTU, &mtu, &size);
        else
            getsockopt(probe, SOL_IP, IP_MTU, &mtu, &size);
    }
    if (probe >= 0)
        close(probe);
    return mtu;
}
