// R with -e: every datagram received goes back, unchanged, to the address and port it came
// from, from the address it was sent to; one back for each that came, and never to an
// address that could send it back again.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>

// Why a datagram is not echoed.
enum class NotEchoed {
    FromOwnPort,      // itself, or another reflector on the same port: a loop
    FromServicePort,  // below 1024, where services answer what they receive: a loop
    FromPortZero,     // nothing can be sent there
    FromGroupAddress, // broadcast, multicast or unspecified: an amplifier, or nowhere
    OverTheRate,      // beyond -b
};
constexpr std::size_t NOT_ECHOED_KINDS = 5;

// Whether a datagram from `source` may go back, to a reflector on `ownPort`: nothing when
// it may, else why not. The rate is judged apart.
std::optional<NotEchoed> refusalOf(const sockaddr_storage &source, std::uint16_t ownPort);

// The address a datagram was sent to, as the kernel tells it (IP_PKTINFO or
// IPV6_PKTINFO), so that the answer leaves from it: a client that connected its socket
// takes nothing from any other address.
struct SentTo {
    int family = AF_UNSPEC;  // none told
    in_pktinfo ipv4{};
    in6_pktinfo ipv6{};
};

// What the reflector did, for the report.
struct Echoed {
    std::uint64_t datagrams = 0;
    std::array<std::uint64_t, NOT_ECHOED_KINDS> notEchoed{};
    // Sends this host refused, by their error: the first few kinds kept apart, the rest
    // together (error 0).
    static constexpr std::size_t ERRORS_KEPT = 8;
    struct Refusals {
        int error;
        std::uint64_t datagrams;
    };
    std::array<Refusals, ERRORS_KEPT + 1> refusedByHost{};
};

// Collects a batch of datagrams to echo and sends it in one call.
class Reflector {
public:
    static constexpr std::size_t BATCH = 32;  // as many as one receive takes

    Reflector(int sock, double bitsPerSecond);
    // A datagram received, or a block of datagrams of `each` bytes from one sender, which
    // must stay in place until send().
    void add(const sockaddr_storage &from, const SentTo &to, const char *bytes, std::size_t length,
             std::size_t each, double now);
    void send();
    const Echoed &echoed() const { return echoed_; }

private:
    void refusedByHost(int error, std::uint64_t datagrams);

    struct Control {
        alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(std::uint16_t))> bytes;
    };
    const int sock_;
    const std::uint16_t ownPort_;
    const double bitsPerSecond_;  // 0: no limit
    double allowance_ = 0;        // bits that may go now
    double allowedAt_ = 0;
    std::array<mmsghdr, BATCH> messages_{};
    std::array<iovec, BATCH> parts_{};
    std::array<sockaddr_storage, BATCH> to_{};
    std::array<Control, BATCH> controls_{};
    std::array<std::uint64_t, BATCH> datagrams_{};
    std::size_t count_ = 0;
    Echoed echoed_;
};
