// The count of distinct senders, in-process: exact while it can be, an estimate past that.
#include "../src/senders.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

namespace {

sockaddr_storage ipv4(std::uint32_t address, std::uint16_t port)
{
    sockaddr_storage sender{};
    auto &in = reinterpret_cast<sockaddr_in &>(sender);
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(address);
    in.sin_port = htons(port);
    return sender;
}

sockaddr_storage ipv6(std::uint64_t low, std::uint16_t port)
{
    sockaddr_storage sender{};
    auto &in6 = reinterpret_cast<sockaddr_in6 &>(sender);
    in6.sin6_family = AF_INET6;
    std::memcpy(reinterpret_cast<char *>(&in6.sin6_addr) + 8, &low, sizeof low);
    in6.sin6_port = htons(port);
    return sender;
}

TEST(Senders, ExactUpToItsLimitThenAnEstimateThatIsClose)
{
    const struct {
        std::uint64_t distinct;
        int repeats;  // each sender sends this often
        bool estimated;
    } cases[] = {
        {0, 1, false}, {1, 5, false}, {1000, 3, false}, {Senders::EXACT_MOST, 2, false},
        {Senders::EXACT_MOST + 1, 1, true}, {1'000'000, 1, true}, {3'000'000, 1, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.distinct);
        for (const bool v6 : {false, true}) {
            Senders senders;
            for (int r = 0; r < c.repeats; ++r)
                for (std::uint64_t i = 0; i < c.distinct; ++i)  // addresses and ports both vary
                    senders.add(v6 ? ipv6(i / 50000, static_cast<std::uint16_t>(i % 50000))
                                   : ipv4(0x7f000001 + static_cast<std::uint32_t>(i / 50000), static_cast<std::uint16_t>(i % 50000)));
            EXPECT_EQ(senders.estimated(), c.estimated);
            if (c.estimated)
                EXPECT_NEAR(static_cast<double>(senders.count()), static_cast<double>(c.distinct), 0.03 * static_cast<double>(c.distinct));
            else
                EXPECT_EQ(senders.count(), c.distinct);
        }
    }
}

TEST(Senders, TheSameAddressAtAnotherPortOrFamilyIsAnotherSender)
{
    Senders senders;
    senders.add(ipv4(0x7f000001, 9));
    senders.add(ipv4(0x7f000001, 10));
    senders.add(ipv4(0x7f000002, 9));
    senders.add(ipv6(0x7f000001, 9));
    senders.add(ipv4(0x7f000001, 9));
    EXPECT_EQ(senders.count(), 4u);
}

}  // namespace
