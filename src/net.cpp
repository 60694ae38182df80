// Addresses, sockets and the file to send: the setup every mode makes before a transfer.
#include "net.hpp"

#include "datagram_line.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/net_tstamp.h>
#include <linux/sock_diag.h>
#include <netdb.h>
#include <netinet/udp.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

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

namespace {

int familyNumber(Family family)
{
    switch (family) {
    case Family::IPv4:
        return AF_INET;
    case Family::IPv6:
        return AF_INET6;
    case Family::Any:
        break;
    }
    return AF_UNSPEC;
}

// The first address the resolver gives for the text, in the family, at the port; or why
// not, as "frandle: <text>: <reason>".
Ending resolved(const std::string &text, std::int32_t port, int family, Address &address)
{
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo *found = nullptr;
    if (const int error = getaddrinfo(text.c_str(), nullptr, &hints, &found); error != 0) {
        const char *reason = error == EAI_SYSTEM ? strerror(errno) : gai_strerror(error);
        return failureSaid("frandle: " + text + ": " + reason);
    }
    address = {};
    std::memcpy(&address.storage, found->ai_addr, found->ai_addrlen);
    address.length = found->ai_addrlen;
    freeaddrinfo(found);
    const auto low16 = htons(static_cast<std::uint16_t>(port));
    if (address.family() == AF_INET6)
        reinterpret_cast<sockaddr_in6 &>(address.storage).sin6_port = low16;
    else
        reinterpret_cast<sockaddr_in &>(address.storage).sin_port = low16;
    return {};
}

}  // namespace

Ending destinationAddress(const std::string &text, std::int32_t port, Family family, Address &destination)
{
    in_addr ipv4{};
    if (!text.empty() && inet_aton(text.c_str(), &ipv4) == 0)
        return resolved(text, port, familyNumber(family), destination);
    destination = ipv4Address(text, port);
    return {};
}

namespace {

Address anyIPv6(std::int32_t port)
{
    Address any;
    auto &ipv6 = reinterpret_cast<sockaddr_in6 &>(any.storage);
    ipv6.sin6_family = AF_INET6;
    ipv6.sin6_addr = in6addr_any;
    ipv6.sin6_port = htons(static_cast<std::uint16_t>(port));
    any.length = sizeof ipv6;
    return any;
}

// Whether an IPv6 socket can be made: a system without IPv6 refuses the family itself, and
// only that refusal says so; any other failure is met again, and told, by the socket's own.
bool systemHasIPv6()
{
    const int probe = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return errno != EAFNOSUPPORT;
    close(probe);
    return true;
}

}  // namespace

Ending localAddress(const std::string &text, std::int32_t port, Family family, Address &local)
{
    if (!text.empty())
        return resolved(text, port, familyNumber(family), local);
    const bool ipv4 = family == Family::IPv4 || (family == Family::Any && !systemHasIPv6());
    local = ipv4 ? ipv4Address("0.0.0.0", port) : anyIPv6(port);
    return {};
}

Family familyOf(const Address &address) { return address.family() == AF_INET6 ? Family::IPv6 : Family::IPv4; }

std::optional<std::int32_t> udpServicePort(const std::string &name)
{
    const servent *service = getservbyname(name.c_str(), "udp");
    if (service == nullptr)
        return std::nullopt;
    return ntohs(static_cast<std::uint16_t>(service->s_port));
}

int makeSocket(int family)
{
    const int sock = socket(family, SOCK_DGRAM, 0);
    constexpr int off = 0;
    if (sock >= 0 && family == AF_INET6)  // bound to any address, it takes IPv4 as well
        setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    return sock;
}

void keepToIPv6(int sock)
{
    constexpr int on = 1;
    setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);  // cannot fail on an unbound IPv6 socket
}

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
    return local.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6 &>(local).sin6_port)
                                       : ntohs(reinterpret_cast<const sockaddr_in &>(local).sin_port);
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

std::uint64_t droppedBy(int sock)
{
    std::array<std::uint32_t, SK_MEMINFO_VARS> counts{};
    socklen_t size = sizeof counts;
    getsockopt(sock, SOL_SOCKET, SO_MEMINFO, counts.data(), &size);  // cannot fail on a socket
    return counts[SK_MEMINFO_DROPS];
}

void refuseArrivals(int sock)
{
    sock_filter refuse{BPF_RET | BPF_K, 0, 0, 0};  // keep none of the datagram
    const sock_fprog program{1, &refuse};
    setsockopt(sock, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
}

Ending openToSend(const std::string &fileName, int &file)
{
    file = fileName == "-" ? STDIN_FILENO : open(fileName.c_str(), O_RDONLY);  // a file of that name is ./-
    if (file >= 0)
        return {};
    const Ending failed = failure("open", 255);  // before the output changes errno (a terminal check)
    printf("Can't read %s in brasket\n", fileName.c_str());
    fflush(stdout);  // first, where both streams go to one place
    return failed;
}

Ending openToSendTo(const std::string &fileName, const std::string &address, std::int32_t port, Family family,
                    int &file, Address &destination)
{
    if (const Ending opened = openToSend(fileName, file); opened.failed())
        return opened;
    return destinationAddress(address, port, family, destination);
}

Ending bindSendingSocket(int sock, const std::string &source, std::int32_t localPort, Family family,
                         std::int32_t fixedPort)
{
    const std::int32_t port = localPort != 0 ? localPort : fixedPort;
    Address local;
    if (const Ending found = localAddress(source, port, family, local); found.failed())
        return found;
    Ending bound = bindTo(sock, local);
    if (bound.failed() && bound.error == EADDRINUSE && localPort == 0)
        return failureSaid(std::string("bind: ") + strerror(EADDRINUSE) + " (local port " + std::to_string(port) +
                           "; choose another with -p)");
    return bound;
}

Ending makeAndShowSocket(int &sock, int family)
{
    sock = makeSocket(family);
    const Ending made = sock < 0 ? failure("socket") : Ending{};
    printf("socket is %d\n", sock);
    if (const Ending out = flushOutput(); out.failed())
        return out;
    return made;
}

void prepareReceiving(int sock, Datagrams datagrams)
{
    // Room to queue datagrams while lines are written: up to the system's limit for anyone.
    constexpr int wanted = 64 << 20;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    // Offloaded, a block of equal datagrams from one sender is queued and taken as one:
    // fewer, larger receives, and more datagrams in the same buffer. A kernel without it
    // hands them over one by one, which the loop takes alike.
    constexpr int on = 1;
    if (datagrams == Datagrams::Offloaded)
        setsockopt(sock, SOL_UDP, UDP_GRO, &on, sizeof on);
    // Times of arrival as the kernel took them, which a reader held up by its output does
    // not move; where it gives none, the loop reads the clock.
    constexpr int arrivals = SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE;
    setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPING, &arrivals, sizeof arrivals);
}

namespace {

// Only the stamp comes back, not a copy of the datagram; ids count from 0.
constexpr int SEND_AND_ARRIVAL_TIMES = SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_TX_SOFTWARE |
                                       SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_OPT_ID |
                                       SOF_TIMESTAMPING_OPT_TSONLY;

}  // namespace

void restartSendTimeIds(int sock)
{
    constexpr int unnumbered = SEND_AND_ARRIVAL_TIMES & ~SOF_TIMESTAMPING_OPT_ID;
    setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPING, &unnumbered, sizeof unnumbered);
    setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPING, &SEND_AND_ARRIVAL_TIMES, sizeof SEND_AND_ARRIVAL_TIMES);
}

void askForSendTimes(int sock)
{
    setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPING, &SEND_AND_ARRIVAL_TIMES, sizeof SEND_AND_ARRIVAL_TIMES);
    // Each stamp queued takes room in the receive buffer (about 830 bytes measured here),
    // which the system's limit for anyone holds a few thousand of: beyond it, where this
    // user may.
    constexpr int wanted = 64 << 20;
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) < 0 && errno == EPERM)
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
}

namespace {

Ending setOption(int sock, int level, int name, int value)
{
    if (setsockopt(sock, level, name, &value, sizeof value) < 0)
        return failure("setsockopt");
    return {};
}

// An option of the IPv6 header, on a socket that sends IPv6, and of the IPv4 header where
// it sends IPv4: a socket of that family, or one of IPv6 that sends to a mapped address.
Ending setForBothFamilies(int sock, const Address &destination, int name6, int value6, int name4, int value4)
{
    const auto &address = reinterpret_cast<const sockaddr_in6 &>(destination.storage).sin6_addr;
    const bool ipv6 = destination.family() == AF_INET6;
    if (const Ending set = ipv6 ? setOption(sock, SOL_IPV6, name6, value6) : Ending{}; set.failed())
        return set;
    const bool ipv4 = !ipv6 || IN6_IS_ADDR_V4MAPPED(&address);
    return ipv4 ? setOption(sock, SOL_IP, name4, value4) : Ending{};
}

}  // namespace

Ending applyPathControls(int sock, const Address &to, const PathControls &path)
{
    const int tos = path.trafficClass, hops = path.hopLimit;
    if (const Ending set = tos >= 0 ? setForBothFamilies(sock, to, IPV6_TCLASS, tos, IP_TOS, tos) : Ending{}; set.failed())
        return set;
    if (const Ending set = hops > 0 ? setForBothFamilies(sock, to, IPV6_UNICAST_HOPS, hops, IP_TTL, hops) : Ending{};
        set.failed())
        return set;
    if (path.fragments == Fragments::Allowed)
        return {};
    // Probe, not do: a forged "fragmentation needed" cannot lock the route to a smaller MTU
    // that would then refuse what the device itself takes.
    if (const Ending set = setForBothFamilies(sock, to, IPV6_DONTFRAG, 1, IP_MTU_DISCOVER, IP_PMTUDISC_PROBE); set.failed())
        return set;
    return setForBothFamilies(sock, to, IPV6_MTU_DISCOVER, IPV6_PMTUDISC_PROBE, IP_MTU_DISCOVER, IP_PMTUDISC_PROBE);
}

void askForSentToAddress(int sock, int family)
{
    constexpr int on = 1;
    if (family == AF_INET6)
        setsockopt(sock, SOL_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
    setsockopt(sock, SOL_IP, IP_PKTINFO, &on, sizeof on);  // and from IPv4 senders, to an IPv6 socket
}

void askForTrafficClass(int sock, int family)
{
    constexpr int on = 1;
    if (family == AF_INET6)
        setsockopt(sock, SOL_IPV6, IPV6_RECVTCLASS, &on, sizeof on);
    setsockopt(sock, SOL_IP, IP_RECVTOS, &on, sizeof on);  // and from IPv4 senders, to an IPv6 socket
}
