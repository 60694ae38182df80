// R with -e: the datagrams received go back where they came from, in batches.
#include "echo.hpp"

#include <arpa/inet.h>
#include <netinet/udp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Broadcast, multicast or unspecified: an answer to it would go to many, or nowhere.
bool groupAddress(const sockaddr_storage &source)
{
    if (source.ss_family == AF_INET) {
        const std::uint32_t address = ntohl(reinterpret_cast<const sockaddr_in &>(source).sin_addr.s_addr);
        return address == INADDR_ANY || address == INADDR_BROADCAST || IN_MULTICAST(address);
    }
    const in6_addr &address = reinterpret_cast<const sockaddr_in6 &>(source).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&address)) {  // an IPv4 sender, to a socket of both families
        sockaddr_storage ipv4{};
        auto &in = reinterpret_cast<sockaddr_in &>(ipv4);
        in.sin_family = AF_INET;
        std::memcpy(&in.sin_addr, address.s6_addr + 12, sizeof in.sin_addr);
        return groupAddress(ipv4);
    }
    return IN6_IS_ADDR_UNSPECIFIED(&address) || IN6_IS_ADDR_MULTICAST(&address);
}

std::uint16_t portOf(const sockaddr_storage &address)
{
    return ntohs(address.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in &>(address).sin_port
                                              : reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
}

std::uint16_t boundPortOf(int sock)
{
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(sock, reinterpret_cast<sockaddr *>(&local), &length);
    return portOf(local);
}

// Lowest port of those anyone may bind: below it live the services that answer what they
// receive.
constexpr std::uint16_t FIRST_UNPRIVILEGED_PORT = 1024;

// The answer leaves from the address the datagram was sent to; to a group address the
// kernel picks one of this host's own.
std::size_t setSource(cmsghdr *c, const SentTo &to)
{
    if (to.family == AF_INET) {
        in_pktinfo from{};
        from.ipi_spec_dst = to.ipv4.ipi_spec_dst;  // a local address, also for a broadcast
        c->cmsg_level = SOL_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof from);
        std::memcpy(CMSG_DATA(c), &from, sizeof from);
        return CMSG_SPACE(sizeof from);
    }
    in6_pktinfo from{};
    if (!IN6_IS_ADDR_MULTICAST(&to.ipv6.ipi6_addr))
        from.ipi6_addr = to.ipv6.ipi6_addr;
    from.ipi6_ifindex = to.ipv6.ipi6_ifindex;  // a link-local address is only of its link
    c->cmsg_level = SOL_IPV6;
    c->cmsg_type = IPV6_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof from);
    std::memcpy(CMSG_DATA(c), &from, sizeof from);
    return CMSG_SPACE(sizeof from);
}

// A coalesced block goes back as the same datagrams, cut by the kernel.
std::size_t setSegment(cmsghdr *c, std::size_t each)
{
    const auto size = static_cast<std::uint16_t>(each);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof size);
    std::memcpy(CMSG_DATA(c), &size, sizeof size);
    return CMSG_SPACE(sizeof size);
}

}  // namespace

std::optional<NotEchoed> refusalOf(const sockaddr_storage &source, std::uint16_t ownPort)
{
    const std::uint16_t port = portOf(source);
    if (port == 0)
        return NotEchoed::FromPortZero;
    if (port == ownPort)
        return NotEchoed::FromOwnPort;
    if (port < FIRST_UNPRIVILEGED_PORT)
        return NotEchoed::FromServicePort;
    if (groupAddress(source))
        return NotEchoed::FromGroupAddress;
    return std::nullopt;
}

Reflector::Reflector(int sock, double bitsPerSecond)
    : sock_(sock), ownPort_(boundPortOf(sock)), bitsPerSecond_(bitsPerSecond)
{
    for (std::size_t i = 0; i < BATCH; ++i) {
        messages_[i].msg_hdr.msg_iov = &parts_[i];
        messages_[i].msg_hdr.msg_iovlen = 1;
        messages_[i].msg_hdr.msg_name = &to_[i];
        messages_[i].msg_hdr.msg_control = controls_[i].bytes.data();
    }
}

void Reflector::add(const sockaddr_storage &from, const SentTo &to, const char *bytes, std::size_t length,
                    std::size_t each, double now)
{
    const std::uint64_t datagrams = length == 0 ? 1 : (length + each - 1) / each;
    if (const auto refused = refusalOf(from, ownPort_)) {
        echoed_.notEchoed[static_cast<std::size_t>(*refused)] += datagrams;
        return;
    }
    if (bitsPerSecond_ > 0) {
        // A burst of a millisecond's worth of the rate at most, and one datagram at least.
        const double burst = std::max(bitsPerSecond_ / 1000, 8.0 * static_cast<double>(each));
        allowance_ = std::min(burst, allowance_ + (now - allowedAt_) * bitsPerSecond_);
        allowedAt_ = now;
        const double bits = 8.0 * static_cast<double>(length);
        if (bits > allowance_) {
            echoed_.notEchoed[static_cast<std::size_t>(NotEchoed::OverTheRate)] += datagrams;
            return;
        }
        allowance_ -= bits;
    }
    msghdr &message = messages_[count_].msg_hdr;
    to_[count_] = from;
    message.msg_namelen = from.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    parts_[count_] = {const_cast<char *>(bytes), length};
    message.msg_controllen = controls_[count_].bytes.size();
    cmsghdr *c = CMSG_FIRSTHDR(&message);
    std::size_t used = 0;
    if (to.family != AF_UNSPEC) {
        used += setSource(c, to);
        c = CMSG_NXTHDR(&message, c);
    }
    if (each < length)
        used += setSegment(c, each);
    message.msg_controllen = used;
    if (used == 0)
        message.msg_control = nullptr;
    else
        message.msg_control = controls_[count_].bytes.data();
    datagrams_[count_++] = datagrams;
}

void Reflector::send()
{
    for (std::size_t done = 0; done < count_;) {
        const int sent = sendmmsg(sock_, messages_.data() + done, static_cast<unsigned>(count_ - done), 0);
        if (sent > 0) {
            for (std::size_t i = done; i < done + static_cast<std::size_t>(sent); ++i)
                echoed_.datagrams += datagrams_[i];
            done += static_cast<std::size_t>(sent);
        } else if (errno != EINTR) {  // this one is refused; a sender that went away never ends the run
            refusedByHost(errno, datagrams_[done++]);
        }
    }
    count_ = 0;
}

void Reflector::refusedByHost(int error, std::uint64_t datagrams)
{
    auto &kept = echoed_.refusedByHost;
    const auto same = std::find_if(kept.begin(), kept.begin() + Echoed::ERRORS_KEPT,
                                   [&](const Echoed::Refusals &r) { return r.error == error || r.datagrams == 0; });
    auto &counted = same != kept.begin() + Echoed::ERRORS_KEPT ? *same : kept[Echoed::ERRORS_KEPT];
    if (counted.datagrams == 0)
        counted.error = same != kept.begin() + Echoed::ERRORS_KEPT ? error : 0;
    counted.datagrams += datagrams;
}
