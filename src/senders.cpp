// Counting distinct senders: a set of fixed size while it holds them all, and a
// HyperLogLog sketch of every sender, whose estimate is used past that.
#include "senders.hpp"

#include <netinet/in.h>

#include <bit>
#include <cmath>
#include <cstring>

namespace {

// A bijective mix of 64 bits: every bit of the key moves every bit of the result.
std::uint64_t mixed(std::uint64_t key)
{
    key ^= key >> 30;
    key *= 0xbf58476d1ce4e5b9ULL;
    key ^= key >> 27;
    key *= 0x94d049bb133111ebULL;
    return key ^ (key >> 31);
}

}  // namespace

Senders::Senders() : slots_(std::make_unique<std::uint64_t[]>(SLOTS)) {}  // zeroed, so touched now

void Senders::add(const sockaddr_storage &sender)
{
    if (sender.ss_family == AF_INET6) {
        const auto &ipv6 = reinterpret_cast<const sockaddr_in6 &>(sender);
        std::uint64_t halves[2];
        std::memcpy(halves, &ipv6.sin6_addr, sizeof halves);
        addKey(mixed(halves[0] ^ mixed(halves[1] ^ mixed(ipv6.sin6_port))));
        return;
    }
    const auto &ipv4 = reinterpret_cast<const sockaddr_in &>(sender);
    addKey(mixed(std::uint64_t{ipv4.sin_addr.s_addr} << 16 | ipv4.sin_port));
}

void Senders::addKey(std::uint64_t key)
{
    // The sketch: the most leading zeros seen in each of its registers.
    auto &highest = registers_[key >> (64 - REGISTER_BITS)];
    const auto zeros = static_cast<std::uint8_t>(std::countl_zero(key << REGISTER_BITS | 1ULL << (REGISTER_BITS - 1)) + 1);
    highest = std::max(highest, zeros);
    if (held_ > EXACT_MOST)
        return;
    const std::uint64_t stored = key == 0 ? 1 : key;
    for (std::size_t at = stored % SLOTS;; at = (at + 1) % SLOTS) {
        if (slots_[at] == stored)
            return;
        if (slots_[at] == 0) {
            slots_[at] = stored;
            ++held_;
            return;
        }
    }
}

std::uint64_t Senders::count() const
{
    if (!estimated())
        return held_;
    constexpr double m = std::size_t{1} << REGISTER_BITS;
    double sum = 0;
    for (const std::uint8_t highest : registers_)
        sum += std::ldexp(1.0, -highest);
    const double alpha = 0.7213 / (1 + 1.079 / m);
    return static_cast<std::uint64_t>(std::llround(alpha * m * m / sum));
}
