// The network's answers and the drop count, in-process: what the report says of them.
#include "../src/answers.hpp"
#include "../src/report.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/errqueue.h>

namespace {

TEST(Answers, EachIcmpErrorHasItsKind)
{
    constexpr std::uint8_t V4 = SO_EE_ORIGIN_ICMP, V6 = SO_EE_ORIGIN_ICMP6;
    const struct {
        std::uint8_t origin, type, code;
        AnswerKind kind;
    } cases[] = {
        {V4, 3, 3, AnswerKind::PortUnreachable},      {V4, 3, 0, AnswerKind::NetworkUnreachable},
        {V4, 3, 1, AnswerKind::HostUnreachable},      {V4, 3, 13, AnswerKind::Prohibited},
        {V4, 3, 10, AnswerKind::Prohibited},          {V4, 3, 4, AnswerKind::FragmentationNeeded},
        {V4, 11, 0, AnswerKind::TimeExceeded},        {V4, 3, 2, AnswerKind::Other},  // protocol unreachable
        {V4, 12, 0, AnswerKind::Other},               {V6, 1, 4, AnswerKind::PortUnreachable},
        {V6, 1, 0, AnswerKind::NetworkUnreachable},   {V6, 1, 3, AnswerKind::HostUnreachable},
        {V6, 1, 1, AnswerKind::Prohibited},           {V6, 1, 6, AnswerKind::Prohibited},
        {V6, 2, 0, AnswerKind::PacketTooBig},  {V6, 3, 0, AnswerKind::TimeExceeded},
        {V6, 3, 3, AnswerKind::TimeExceeded},         {V4, 1, 3, AnswerKind::Other},  // ICMPv6 numbers, ICMP origin
        {SO_EE_ORIGIN_LOCAL, 3, 3, AnswerKind::Other},  {V6, 1, 2, AnswerKind::HostUnreachable},  // beyond scope
    };
    for (const auto &c : cases)
        EXPECT_EQ(answerKindOf(c.origin, c.type, c.code), c.kind)
            << int(c.origin) << " " << int(c.type) << " " << int(c.code);
}

sockaddr_storage ipv4(std::uint32_t address)
{
    sockaddr_storage reporter{};
    auto &in = reinterpret_cast<sockaddr_in &>(reporter);
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(address);
    return reporter;
}

std::vector<std::string> linesOf(const Answers &answers)
{
    std::vector<std::string> lines;
    for (const AnswerTally &tally : answers.tallies())
        lines.push_back(answerLine(tally));
    return lines;
}

TEST(Answers, CountedByKindMtuAndReporterInBoundedMemory)
{
    Answers answers;
    EXPECT_TRUE(answers.tallies().empty());
    const sockaddr_storage far = ipv4(0x0a090002), near = ipv4(0x0a090001);
    for (int i = 0; i < 752; ++i)
        answers.add(AnswerKind::PortUnreachable, 0, far);
    answers.add(AnswerKind::FragmentationNeeded, 1000, near);
    answers.add(AnswerKind::FragmentationNeeded, 1280, near);
    answers.add(AnswerKind::PortUnreachable, 0, near);
    sockaddr_storage ipv6{};
    ipv6.ss_family = AF_INET6;
    inet_pton(AF_INET6, "2001:db8::1", &reinterpret_cast<sockaddr_in6 &>(ipv6).sin6_addr);
    answers.add(AnswerKind::PacketTooBig, 1280, ipv6);
    const std::vector<std::string> first = {
        "port unreachable from 10.9.0.2, 752 times",
        "fragmentation needed (MTU 1000) from 10.9.0.1, 1 time",
        "fragmentation needed (MTU 1280) from 10.9.0.1, 1 time",
        "port unreachable from 10.9.0.1, 1 time",
        "packet too big (MTU 1280) from 2001:db8::1, 1 time",
    };
    EXPECT_EQ(linesOf(answers), first);
    // A flood of forged reporters: the first ones kept apart, the rest counted together.
    for (std::uint32_t i = 0; i < 100000; ++i)
        answers.add(AnswerKind::TimeExceeded, 0, ipv4(0xc0000000 + i));
    const auto lines = linesOf(answers);
    ASSERT_EQ(lines.size(), Answers::REPORTERS_KEPT + 1);
    EXPECT_EQ(lines[5], "time exceeded from 192.0.0.0, 1 time");
    EXPECT_EQ(lines.back(), "time exceeded from other reporters, " + std::to_string(100000 - (Answers::REPORTERS_KEPT - 5)) + " times");
    EXPECT_EQ(answers.total(), 756u + 100000u);
}

TEST(Answers, OnlyTheErrorsThatAnswersLeaveAreRetried)
{
    for (const int error : {ECONNREFUSED, EHOSTUNREACH, ENETUNREACH, EMSGSIZE, EACCES, EPROTO})
        EXPECT_TRUE(leftByAnAnswer(error)) << error;
    for (const int error : {EBADF, ENOBUFS, EINVAL, EAGAIN, EFAULT, ENOTSOCK})
        EXPECT_FALSE(leftByAnAnswer(error)) << error;
}

// One packet a datagram, the socket's count is exact; coalesced, it counts blocks, which
// are estimated at the size of those received.
TEST(Drops, ExactOrAnEstimateThatSaysSo)
{
    const struct {
        std::uint64_t counted;
        Datagrams datagrams;
        std::uint64_t received, receives;
        std::uint64_t dropped;
        bool estimated;
    } cases[] = {
        {35, Datagrams::OnePacketEach, 5902, 5902, 35, false},
        {35, Datagrams::Offloaded, 5902, 128, 1614, true},  // 46.1 a block
        {0, Datagrams::Offloaded, 5902, 128, 0, false},
        {7, Datagrams::Offloaded, 0, 0, 7, true},  // none received: a block of one at least
    };
    for (const auto &c : cases) {
        Received received;
        received.datagrams = c.received;
        received.receives = c.receives;
        const Drops drops = dropsOf(c.counted, c.datagrams, received);
        EXPECT_EQ(drops.datagrams, c.dropped) << c.counted;
        EXPECT_EQ(drops.estimated, c.estimated) << c.counted;
    }
}

}  // namespace
