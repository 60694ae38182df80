// What the network answered the datagrams sent: the ICMP errors that come back to the
// sending socket, counted by kind and reporter in bounded memory, whoever sends them.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class RoundTrips;

enum class AnswerKind {
    PortUnreachable,
    HostUnreachable,
    NetworkUnreachable,
    Prohibited,
    FragmentationNeeded,  // ICMP's name
    PacketTooBig,         // ICMPv6's name for the same
    TimeExceeded,
    Other,
};
constexpr std::size_t ANSWER_KINDS = 8;

// The kind of an ICMP or ICMPv6 error as the kernel passes it on (origin, type, code).
AnswerKind answerKindOf(std::uint8_t origin, std::uint8_t type, std::uint8_t code);

// "port unreachable", "fragmentation needed", ...
const char *answerKindName(AnswerKind kind);
// The answers of one kind from one reporter.
struct AnswerTally {
    AnswerKind kind;
    std::uint32_t mtu;     // for fragmentation needed and packet too big, else 0
    std::string reporter;  // an address, or "other reporters"
    std::uint64_t times;
};
// One line of the report: "port unreachable from 10.9.0.2, 752 times".
std::string answerLine(const AnswerTally &tally);

// The answers of one run. Both threads of L mode read answers, so it takes a lock: they
// are read when a call is refused, the listener runs dry or the run ends, never once for
// each datagram that goes through unanswered.
class Answers {
public:
    // Reporters kept apart; answers from further ones are counted under "other reporters".
    static constexpr std::size_t REPORTERS_KEPT = 64;

    Answers() { kept_.reserve(REPORTERS_KEPT); }
    void add(AnswerKind kind, std::uint32_t mtu, const sockaddr_storage &reporter);
    std::uint64_t total() const;
    // This host's refusals of datagrams larger than the path MTU (with --df), which it
    // queues beside the answers, and the MTU the last one gave.
    void addRefusedTooBig(std::uint32_t mtu);
    std::uint64_t refusedTooBig() const;
    std::uint32_t pathMtu() const;
    // The report's tallies, in the order the kinds and reporters were first seen.
    std::vector<AnswerTally> tallies() const;

private:
    friend std::size_t readAnswers(int sock, Answers &answers, RoundTrips *roundTrips);
    struct Tally {
        AnswerKind kind;
        std::uint32_t mtu;  // for fragmentation needed and packet too big, else 0
        sockaddr_storage reporter;
        std::uint64_t times;
    };
    mutable std::mutex lock_;
    // Held by the thread reading the queue until it has counted all it took, so that the
    // other thread, refused by one of those answers, sees it counted when it reads next.
    std::mutex reading_;
    std::vector<Tally> kept_;
    std::array<std::uint64_t, ANSWER_KINDS> fromOthers_{};
    std::uint64_t total_ = 0;
    std::uint64_t refusedTooBig_ = 0;
    std::uint32_t pathMtu_ = 0;
};

// Asks the kernel to keep the network's answers to this socket's datagrams: of both
// families on an IPv6 socket, which sends IPv4 to a mapped address.
void askForAnswers(int sock);
// Reads every answer queued on the socket, without waiting; and in L, where the kernel
// queues them beside the answers, the times it sent datagrams at. Returns the entries read.
std::size_t readAnswers(int sock, Answers &answers, RoundTrips *roundTrips);
// Reads the answers that come within `seconds`.
void awaitAnswers(int sock, Answers &answers, double seconds);
// How long S waits for the answers to its last datagrams, when it reports them.
constexpr double LATE_ANSWERS_SECONDS = 0.25;
// A send or receive refused with this error only passed on an answer of the network: the
// answer is queued, and the call may be made again.
bool leftByAnAnswer(int error);
