// What the network answered: the error queue of the sending socket, read and counted.
#include "answers.hpp"

#include "round_trips.hpp"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>

#include <poll.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <cstring>

AnswerKind answerKindOf(std::uint8_t origin, std::uint8_t type, std::uint8_t code)
{
    if (origin == SO_EE_ORIGIN_ICMP && type == ICMP_DEST_UNREACH) {
        switch (code) {
        case ICMP_PORT_UNREACH:
            return AnswerKind::PortUnreachable;
        case ICMP_NET_UNREACH:
        case ICMP_NET_UNKNOWN:
        case ICMP_NET_UNR_TOS:
            return AnswerKind::NetworkUnreachable;
        case ICMP_HOST_UNREACH:
        case ICMP_HOST_UNKNOWN:
        case ICMP_HOST_ISOLATED:
        case ICMP_HOST_UNR_TOS:
            return AnswerKind::HostUnreachable;
        case ICMP_NET_ANO:
        case ICMP_HOST_ANO:
        case ICMP_PKT_FILTERED:
        case ICMP_PREC_VIOLATION:
        case ICMP_PREC_CUTOFF:
            return AnswerKind::Prohibited;
        case ICMP_FRAG_NEEDED:
            return AnswerKind::FragmentationNeeded;
        default:
            return AnswerKind::Other;
        }
    }
    if (origin == SO_EE_ORIGIN_ICMP && type == ICMP_TIME_EXCEEDED)
        return AnswerKind::TimeExceeded;
    if (origin == SO_EE_ORIGIN_ICMP6 && type == ICMP6_DST_UNREACH) {
        switch (code) {
        case ICMP6_DST_UNREACH_NOPORT:
            return AnswerKind::PortUnreachable;
        case ICMP6_DST_UNREACH_NOROUTE:
            return AnswerKind::NetworkUnreachable;
        case ICMP6_DST_UNREACH_ADDR:
        case ICMP6_DST_UNREACH_BEYONDSCOPE:
            return AnswerKind::HostUnreachable;
        case ICMP6_DST_UNREACH_ADMIN:
        case 5:  // source address failed ingress/egress policy
        case 6:  // reject route to destination
            return AnswerKind::Prohibited;
        default:
            return AnswerKind::Other;
        }
    }
    if (origin == SO_EE_ORIGIN_ICMP6 && type == ICMP6_PACKET_TOO_BIG)
        return AnswerKind::PacketTooBig;
    if (origin == SO_EE_ORIGIN_ICMP6 && type == ICMP6_TIME_EXCEEDED)
        return AnswerKind::TimeExceeded;
    return AnswerKind::Other;
}

const char *answerKindName(AnswerKind kind)
{
    static constexpr const char *names[ANSWER_KINDS] = {
        "port unreachable",     "host unreachable", "network unreachable", "administratively prohibited",
        "fragmentation needed", "packet too big",   "time exceeded",       "another error",
    };
    return names[static_cast<std::size_t>(kind)];
}

std::string answerLine(const AnswerTally &tally)
{
    std::string line = answerKindName(tally.kind);
    if (tally.mtu > 0)  // none for the answers lumped together
        line += " (MTU " + std::to_string(tally.mtu) + ")";
    line += " from " + tally.reporter + ", " + std::to_string(tally.times) + (tally.times == 1 ? " time" : " times");
    return line;
}

namespace {

bool sameAddress(const sockaddr_storage &a, const sockaddr_storage &b)
{
    if (a.ss_family != b.ss_family)
        return false;
    if (a.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in &>(a).sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in &>(b).sin_addr.s_addr;
    if (a.ss_family == AF_INET6)
        return std::memcmp(&reinterpret_cast<const sockaddr_in6 &>(a).sin6_addr,
                           &reinterpret_cast<const sockaddr_in6 &>(b).sin6_addr, sizeof(in6_addr)) == 0;
    return true;  // no address given: one reporter, unknown
}

std::string addressText(const sockaddr_storage &address)
{
    char text[INET6_ADDRSTRLEN] = "an unknown reporter";
    const auto &ipv6 = reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr;
    if (address.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(address).sin_addr, text, sizeof text);
    else if (address.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&ipv6))  // to an IPv6 socket sending IPv4
        inet_ntop(AF_INET, ipv6.s6_addr + 12, text, sizeof text);
    else if (address.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &ipv6, text, sizeof text);
    return text;
}

}  // namespace

void Answers::add(AnswerKind kind, std::uint32_t mtu, const sockaddr_storage &reporter)
{
    const std::lock_guard hold(lock_);
    ++total_;
    const auto same = [&](const Tally &t) { return t.kind == kind && t.mtu == mtu && sameAddress(t.reporter, reporter); };
    if (const auto found = std::find_if(kept_.begin(), kept_.end(), same); found != kept_.end())
        ++found->times;
    else if (kept_.size() < REPORTERS_KEPT)
        kept_.push_back({kind, mtu, reporter, 1});
    else
        ++fromOthers_[static_cast<std::size_t>(kind)];
}

std::uint64_t Answers::total() const
{
    const std::lock_guard hold(lock_);
    return total_;
}

void Answers::addRefusedTooBig(std::uint32_t mtu)
{
    const std::lock_guard hold(lock_);
    ++refusedTooBig_;
    pathMtu_ = mtu;
}

std::uint64_t Answers::refusedTooBig() const
{
    const std::lock_guard hold(lock_);
    return refusedTooBig_;
}

std::uint32_t Answers::pathMtu() const
{
    const std::lock_guard hold(lock_);
    return pathMtu_;
}

std::vector<AnswerTally> Answers::tallies() const
{
    const std::lock_guard hold(lock_);
    std::vector<AnswerTally> tallies;
    for (const Tally &t : kept_)
        tallies.push_back({t.kind, t.mtu, addressText(t.reporter), t.times});
    for (std::size_t kind = 0; kind < ANSWER_KINDS; ++kind)
        if (fromOthers_[kind] > 0)
            tallies.push_back({static_cast<AnswerKind>(kind), 0, "other reporters", fromOthers_[kind]});
    return tallies;
}

void askForAnswers(int sock)
{
    constexpr int on = 1;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(sock, reinterpret_cast<sockaddr *>(&local), &length);
    if (local.ss_family == AF_INET6)
        setsockopt(sock, SOL_IPV6, IPV6_RECVERR, &on, sizeof on);
    setsockopt(sock, SOL_IP, IP_RECVERR, &on, sizeof on);
}

namespace {

// Error queue entries read per call: a stamp comes for every datagram L sends.
constexpr std::size_t QUEUE_BATCH = 32;

// One entry of the error queue: an answer of the network, this host's refusal of a datagram
// larger than the path, or the time a datagram was sent.
void takeQueueEntry(msghdr &message, Answers &answers, RoundTrips *roundTrips)
{
    std::int64_t stamp = 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPING) {
            scm_timestamping stamps{};
            std::memcpy(&stamps, CMSG_DATA(c), sizeof stamps);
            stamp = std::int64_t{stamps.ts[0].tv_sec} * 1'000'000'000 + stamps.ts[0].tv_nsec;
            continue;
        }
        const bool error = (c->cmsg_level == SOL_IP && c->cmsg_type == IP_RECVERR) ||
                           (c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_RECVERR);
        if (!error || c->cmsg_len < CMSG_LEN(sizeof(sock_extended_err)))
            continue;
        sock_extended_err about{};
        std::memcpy(&about, CMSG_DATA(c), sizeof about);
        if (about.ee_origin == SO_EE_ORIGIN_TIMESTAMPING) {  // its stamp came before it
            if (roundTrips != nullptr && about.ee_info == SCM_TSTAMP_SND && stamp != 0)
                roundTrips->stamped(about.ee_data, stamp);
            continue;
        }
        sockaddr_storage reporter{};
        const std::size_t offered = c->cmsg_len - CMSG_LEN(sizeof about);
        std::memcpy(&reporter, CMSG_DATA(c) + sizeof about, std::min(offered, sizeof(sockaddr_in6)));
        if (about.ee_origin == SO_EE_ORIGIN_LOCAL && about.ee_errno == EMSGSIZE)
            answers.addRefusedTooBig(about.ee_info);  // a datagram larger than the path, with --df
        if (about.ee_origin != SO_EE_ORIGIN_ICMP && about.ee_origin != SO_EE_ORIGIN_ICMP6)
            continue;  // this host's own refusals reach the caller as failed calls
        const AnswerKind kind = answerKindOf(about.ee_origin, about.ee_type, about.ee_code);
        const bool hasMtu = kind == AnswerKind::FragmentationNeeded || kind == AnswerKind::PacketTooBig;
        answers.add(kind, hasMtu ? about.ee_info : 0, reporter);
    }
}

}  // namespace

std::size_t readAnswers(int sock, Answers &answers, RoundTrips *roundTrips)
{
    // The datagram that was answered comes back too; only its start is needed, if that.
    constexpr std::size_t CONTROL_SIZE =
        CMSG_SPACE(sizeof(sock_extended_err) + sizeof(sockaddr_in6)) + CMSG_SPACE(sizeof(scm_timestamping));
    struct Entry {
        char quoted[64];
        alignas(cmsghdr) char control[CONTROL_SIZE];
        iovec data;
    };
    std::array<Entry, QUEUE_BATCH> entries;
    std::array<mmsghdr, QUEUE_BATCH> messages{};
    const std::lock_guard hold(answers.reading_);
    std::size_t read = 0;
    for (;;) {
        for (std::size_t i = 0; i < QUEUE_BATCH; ++i) {
            entries[i].data = {entries[i].quoted, sizeof entries[i].quoted};
            messages[i].msg_hdr = {};
            messages[i].msg_hdr.msg_iov = &entries[i].data;
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = entries[i].control;
            messages[i].msg_hdr.msg_controllen = sizeof entries[i].control;
        }
        const int got = recvmmsg(sock, messages.data(), QUEUE_BATCH, MSG_ERRQUEUE | MSG_DONTWAIT, nullptr);
        if (got <= 0)
            break;  // none left (EAGAIN), or nothing that can be read
        for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i)
            takeQueueEntry(messages[i].msg_hdr, answers, roundTrips);
        read += static_cast<std::size_t>(got);
        if (static_cast<std::size_t>(got) < QUEUE_BATCH)
            break;
    }
    return read;
}

void awaitAnswers(int sock, Answers &answers, double seconds)
{
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        pollfd queued{sock, 0, 0};  // an answer queued shows as POLLERR, which is never masked
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now);
        if (poll(&queued, 1, static_cast<int>(left.count())) <= 0)
            continue;
        readAnswers(sock, answers, nullptr);
        // An answer the full queue had no room for still leaves its error pending, which
        // shows as POLLERR until taken; reading the queue takes the others.
        int pending = 0;
        socklen_t size = sizeof pending;
        getsockopt(sock, SOL_SOCKET, SO_ERROR, &pending, &size);
    }
}

bool leftByAnAnswer(int error)
{
    // The errors the kernel makes of ICMP and ICMPv6 answers.
    switch (error) {
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENONET:
    case ENOPROTOOPT:
    case EOPNOTSUPP:
    case EMSGSIZE:
    case EPROTO:
    case EACCES:
        return true;
    default:
        return false;
    }
}
