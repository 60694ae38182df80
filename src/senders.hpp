// The distinct senders of a run, address and port, in memory fixed before the first
// datagram: exact up to EXACT_MOST of them, an estimate past that, so that no peer can make
// the count take memory.
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
    static constexpr std::size_t SLOTS = 2 * EXACT_MOST;  // half full at most: short probes
    static constexpr int REGISTER_BITS = 14;

    void addKey(std::uint64_t key);

    std::unique_ptr<std::uint64_t[]> slots_;  // a key's mix, 0 for none
    std::size_t held_ = 0;                    // EXACT_MOST + 1 once past it
    std::array<std::uint8_t, std::size_t{1} << REGISTER_BITS> registers_{};  // for the estimate
};
