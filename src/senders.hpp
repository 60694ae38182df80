// The distinct senders of a run, address and port, in memory fixed before the first
// datagram (about 2 MB): exact up to EXACT_MOST of them, whoever they are, an estimate past
// that, so that no peer can make the count take memory or aim at its figure.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <memory>

class Senders {
public:
    static constexpr std::size_t EXACT_MOST = 65536;

    Senders();
    Senders(const Senders &) = delete;
    Senders &operator=(const Senders &) = delete;

    void add(const sockaddr_storage &sender);
    std::uint64_t count() const;
    bool estimated() const { return held_ > EXACT_MOST; }

private:
    // A sender as compared: its IPv6 address (an IPv4 one IPv4-mapped, so that both forms are
    // one sender), the zone of a link-local one, and the port; three words, no padding.
    struct Key {
        std::array<std::uint8_t, 16> address{};
        std::uint32_t zone = 0;
        std::uint32_t port = 0;
        bool operator==(const Key &) const = default;
    };

    static constexpr std::size_t SLOTS = 2 * EXACT_MOST;  // half full at most: short probes
    static constexpr int REGISTER_BITS = 14;

    static Key keyOf(const sockaddr_storage &sender);
    std::uint64_t hashOf(const Key &key) const;
    void addToSketch(std::uint64_t hash);
    void addToSet(const Key &key, std::uint64_t hash);

    std::array<std::uint64_t, 2> secret_{};   // the hash's key, random each run: no peer can aim at it
    std::unique_ptr<std::uint32_t[]> slots_;  // 1 + where the key is held, 0 for none
    std::unique_ptr<Key[]> keys_;             // the first EXACT_MOST + 1 senders, in order of arrival
    std::size_t held_ = 0;                    // EXACT_MOST + 1 once past it
    Key last_;                                // a flood comes from a few senders: most adds stop here
    std::array<std::uint8_t, std::size_t{1} << REGISTER_BITS> registers_{};  // for the estimate
};
