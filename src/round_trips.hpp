// L's round trips: the send time of every datagram in flight, found again by its bytes when
// it comes back, and the times it took, in bounded memory.
#pragma once

#include "delays.hpp"

#include <sys/uio.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>

// The clock of the kernel's timestamps, in nanoseconds.
std::int64_t realtimeNanoseconds();

// A datagram's bytes as a 64-bit number, under a key of the run's own: never 0.
std::uint64_t bytesHash(const char *bytes, std::size_t length, std::uint64_t key);

// How the kernel numbers what it stamps: each datagram, or with -O each block it cuts.
enum class Stamps { EachDatagram, EachBlock };

// What came back over a while: the datagrams timed, those that could not be, and the times.
struct RoundTripFigures {
    std::uint64_t timed = 0;
    std::uint64_t ambiguous = 0;   // their bytes were sent more than once
    std::uint64_t unmatched = 0;   // damaged, foreign, or back after their send time was forgotten
    std::uint64_t duplicates = 0;  // back again after they were timed
    std::uint64_t byClock = 0;     // of those timed, from the clock after the send call: no stamp came
    DelayHistogram delays;
    std::uint64_t variationSum = 0;  // of the differences between consecutive round trips, in ns
    std::uint64_t variations = 0;    // how many differences
};

// Both of L's threads use it: the sender says what it sends, either one reads the kernel's
// stamps, the listener what comes back.
class RoundTrips {
public:
    // The send times held: of this many of the last datagrams (blocks with -O) at most.
    static constexpr std::size_t KEYS_KEPT = std::size_t{1} << 20;
    // Datagrams found by their bytes: as many, in buckets of a few; where a bucket is full
    // the oldest in it is forgotten.
    static constexpr std::size_t WAYS = 8;
    static constexpr std::size_t BUCKETS = KEYS_KEPT / WAYS;
    static constexpr std::size_t HASHED_AT_ONCE = 64;  // a call's worth

    RoundTrips();

    // Before the datagrams are handed over: their bytes, their place in the sending and the
    // key the kernel gives the first; the clock's time, until the kernel's stamp or the
    // time after the call replaces it.
    void sending(const iovec *datagrams, std::size_t count, std::uint64_t firstPosition, std::uint64_t firstKey,
                 Stamps stamps, std::int64_t nanoseconds);
    // The time after the call, for the keys it took, where no stamp came first.
    void sent(std::uint64_t firstKey, std::size_t keys, std::int64_t nanoseconds);
    // The kernel's transmit timestamp of the send it numbered `id`.
    void stamped(std::uint64_t id, std::int64_t nanoseconds);
    // The kernel numbers its sends from 0 again from now on (the sender asked it to, having
    // lost count): the next key, for the sender, and the key of the kernel's 0.
    std::uint64_t restartKeys();
    // A datagram come back, at the kernel's receive timestamp.
    void returned(const char *bytes, std::size_t length, std::int64_t nanoseconds);

    // The figures are the listener's own, which only it reads: no copy of their histograms,
    // which are large for a thread's stack.
    const RoundTripFigures &whole() const { return whole_; }
    const RoundTripFigures &takeInterval();  // since the last one, until the next is taken
    // EachBlock where some were timed from the send of their block (-O).
    Stamps sentAs() const;

private:
    struct Entry {
        std::uint64_t hash;  // 0: empty
        std::uint64_t key;
        std::uint64_t position;  // in the sending, with the two flags below
    };
    struct SendTime {
        std::uint64_t key;  // with STAMPED where the time is the kernel's
        std::int64_t nanoseconds;
    };
    static constexpr std::uint64_t STAMPED = std::uint64_t{1} << 63;
    static constexpr std::uint64_t RETURNED = std::uint64_t{1} << 63;
    static constexpr std::uint64_t AMBIGUOUS = std::uint64_t{1} << 62;
    static constexpr std::uint64_t FLAGS = RETURNED | AMBIGUOUS;

    bool held(std::uint64_t key) const;
    void add(std::uint64_t hash, std::uint64_t position, std::uint64_t key);
    void count(std::uint64_t RoundTripFigures::*which);
    void time(std::int64_t nanoseconds);

    // Zeroed memory the system gives as it is first touched: a short run uses little of it.
    struct Release {
        void operator()(void *memory) const { std::free(memory); }
    };
    template <typename T>
    using Zeroed = std::unique_ptr<T[], Release>;

    mutable std::mutex lock_;
    const std::uint64_t hashKey_;
    Zeroed<Entry> entries_;     // BUCKETS * WAYS
    Zeroed<SendTime> times_;    // KEYS_KEPT, by key
    std::uint64_t keysTaken_ = 0;          // the highest key given, plus one
    std::uint64_t kernelBase_ = 0;         // the key of the kernel's id 0
    std::int64_t lastRoundTrip_ = -1;
    Stamps sentAs_ = Stamps::EachDatagram;
    RoundTripFigures whole_;
    RoundTripFigures interval_;
    RoundTripFigures taken_;
};
