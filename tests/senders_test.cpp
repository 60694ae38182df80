// The count of distinct senders, in-process: exact while it can be, an estimate past that.
#include "../src/senders.hpp"

#include <arpa/inet.h>
#include <endian.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

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

sockaddr_storage ipv6(std::uint64_t low, std::uint16_t port, std::uint64_t high = 0, std::uint32_t zone = 0)
{
    sockaddr_storage sender{};
    auto &in6 = reinterpret_cast<sockaddr_in6 &>(sender);
    in6.sin6_family = AF_INET6;
    std::memcpy(&in6.sin6_addr, &high, sizeof high);
    std::memcpy(reinterpret_cast<char *>(&in6.sin6_addr) + 8, &low, sizeof low);
    in6.sin6_port = htons(port);
    in6.sin6_scope_id = zone;
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

// 1000 IPv6 senders whose halves and port an unkeyed 64-bit mix folds into one value.
std::vector<sockaddr_storage> foldedByAnUnkeyedMix()
{
    const auto mixed = [](std::uint64_t key) {
        key = (key ^ (key >> 30)) * 0xbf58476d1ce4e5b9ULL;
        key = (key ^ (key >> 27)) * 0x94d049bb133111ebULL;
        return key ^ (key >> 31);
    };
    std::vector<sockaddr_storage> senders;
    for (std::uint64_t low = 1; low <= 1000; ++low)
        senders.push_back(ipv6(low, 9, 0x2001db8ULL ^ mixed(low ^ mixed(htons(9)))));
    return senders;
}

TEST(Senders, EachAddressZoneAndPortIsASenderAndAnIPv4OneInEitherForm)
{
    const struct {
        const char *name;
        std::vector<sockaddr_storage> senders;
        std::uint64_t count;
    } cases[] = {
        {"another port or address", {ipv4(0x7f000001, 9), ipv4(0x7f000001, 10), ipv4(0x7f000002, 9), ipv4(0x7f000001, 9)}, 3},
        {"IPv4 and IPv4-mapped", {ipv4(0x7f000001, 9), ipv6(htobe64(0xffff7f000001), 9), ipv4(0x7f000001, 9)}, 1},
        {"IPv4 and an IPv6 of its bits", {ipv4(0x7f000001, 9), ipv6(htobe64(0x7f000001), 9), ipv6(0x7f000001, 9)}, 3},
        {"a link-local address on two links",
         {ipv6(htobe64(1), 9, htobe64(0xfe80ULL << 48), 2), ipv6(htobe64(1), 9, htobe64(0xfe80ULL << 48), 3)}, 2},
        {"crafted to collide", foldedByAnUnkeyedMix(), 1000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Senders senders;
        for (const auto &sender : c.senders)
            senders.add(sender);
        EXPECT_EQ(senders.count(), c.count);
    }
}

}  // namespace
