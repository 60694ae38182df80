// Counting distinct senders: a set of fixed size that holds each sender whole while it
// holds them all, and a HyperLogLog sketch of every sender, whose estimate is used past that.
// Both find a sender by a hash keyed at random each run, so that no peer can choose senders
// that fall on one slot or one register.
#include "senders.hpp"

#include <netinet/in.h>
#include <sys/random.h>

#include <bit>
#include <cmath>
#include <cstring>

Senders::Key Senders::keyOf(const sockaddr_storage &sender)
{
    Key key;
    if (sender.ss_family == AF_INET6) {
        const auto &ipv6 = reinterpret_cast<const sockaddr_in6 &>(sender);
        std::memcpy(key.address.data(), &ipv6.sin6_addr, key.address.size());
        key.zone = ipv6.sin6_scope_id;
        key.port = ipv6.sin6_port;
    } else {  // IPv4, as an IPv6 socket that takes it too sees it
        const auto &ipv4 = reinterpret_cast<const sockaddr_in &>(sender);
        key.address[10] = 0xff;
        key.address[11] = 0xff;
        std::memcpy(key.address.data() + 12, &ipv4.sin_addr, 4);
        key.port = ipv4.sin_port;
    }
    return key;
}

// Both tables zeroed, so touched now and not while a burst waits.
Senders::Senders() : slots_(std::make_unique<std::uint32_t[]>(SLOTS)), keys_(std::make_unique<Key[]>(EXACT_MOST + 1))
{
    // Up to 256 bytes from getrandom neither fail nor come short once the system's pool is
    // ready, which it waits for.
    [[maybe_unused]] const ssize_t got = getrandom(secret_.data(), sizeof secret_, 0);
}

// SipHash-1-3 of the key's 24 bytes (the rounds that hash tables use against floods): a
// function of the secret that a peer cannot aim at.
std::uint64_t Senders::hashOf(const Key &key) const
{
    static_assert(sizeof(Key) == 24, "three words, no padding");
    std::uint64_t words[3];
    std::memcpy(words, &key, sizeof words);
    std::uint64_t v0 = 0x736f6d6570736575ULL ^ secret_[0], v1 = 0x646f72616e646f6dULL ^ secret_[1],
                  v2 = 0x6c7967656e657261ULL ^ secret_[0], v3 = 0x7465646279746573ULL ^ secret_[1];
    const auto round = [&] {
        v0 += v1;
        v1 = std::rotl(v1, 13) ^ v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16) ^ v2;
        v0 += v3;
        v3 = std::rotl(v3, 21) ^ v0;
        v2 += v1;
        v1 = std::rotl(v1, 17) ^ v2;
        v2 = std::rotl(v2, 32);
    };
    for (const std::uint64_t word : {words[0], words[1], words[2], std::uint64_t{sizeof words} << 56}) {
        v3 ^= word;
        round();
        v0 ^= word;
    }
    v2 ^= 0xff;
    for (int i = 0; i < 3; ++i)
        round();
    return v0 ^ v1 ^ v2 ^ v3;
}

void Senders::add(const sockaddr_storage &sender)
{
    const Key key = keyOf(sender);
    if (held_ > 0 && key == last_)
        return;  // counted already, in the set and in the sketch
    last_ = key;
    const std::uint64_t hash = hashOf(key);
    addToSketch(hash);
    if (held_ <= EXACT_MOST)
        addToSet(key, hash);
}

void Senders::addToSketch(std::uint64_t hash)
{
    // The most leading zeros seen in each of its registers.
    auto &highest = registers_[hash >> (64 - REGISTER_BITS)];
    const auto zeros = static_cast<std::uint8_t>(std::countl_zero(hash << REGISTER_BITS | 1ULL << (REGISTER_BITS - 1)) + 1);
    highest = std::max(highest, zeros);
}

void Senders::addToSet(const Key &key, std::uint64_t hash)
{
    // Never full: it has room for twice the senders it takes.
    for (std::size_t at = hash % SLOTS;; at = (at + 1) % SLOTS) {
        if (slots_[at] == 0) {
            keys_[held_] = key;
            slots_[at] = static_cast<std::uint32_t>(++held_);
            return;
        }
        if (keys_[slots_[at] - 1] == key)
            return;
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
