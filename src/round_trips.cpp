// L's round trips: send times held by key, datagrams found again by a hash of their bytes.
#include "round_trips.hpp"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>

std::int64_t realtimeNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

namespace {

// The high and low halves of the full product, folded: every bit of each input reaches
// many of the result.
__extension__ using Product = unsigned __int128;  // the processor gives both halves in one step
std::uint64_t fold(std::uint64_t a, std::uint64_t b)
{
    const Product product = static_cast<Product>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

constexpr std::uint64_t ODD[] = {0xa0761d6478bd642f, 0xe7037ed1a0b428db, 0x8ebc6af09c88c6e3, 0x589965cc75374cc3};

std::uint64_t word(const char *bytes)
{
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// A key no peer can guess, so that no peer can make two datagrams look alike.
std::uint64_t randomKey()
{
    std::uint64_t key = ODD[3];
    if (getrandom(&key, sizeof key, 0) != sizeof key)  // never short for 8 bytes
        key ^= static_cast<std::uint64_t>(realtimeNanoseconds());
    return key;
}

}  // namespace

std::uint64_t bytesHash(const char *bytes, std::size_t length, std::uint64_t key)
{
    std::uint64_t hash = key ^ fold(length ^ ODD[0], ODD[1]);
    std::size_t at = 0;
    for (; at + 16 <= length; at += 16)
        hash = fold(word(bytes + at) ^ ODD[1], word(bytes + at + 8) ^ hash);
    char tail[16] = {};
    std::memcpy(tail, bytes + at, length - at);
    hash = fold(word(tail) ^ ODD[2], word(tail + 8) ^ hash);
    hash = fold(hash ^ ODD[3], length ^ ODD[0]);
    return hash != 0 ? hash : 1;
}

RoundTrips::RoundTrips()
    : hashKey_(randomKey()),
      entries_(static_cast<Entry *>(std::calloc(BUCKETS * WAYS, sizeof(Entry)))),
      times_(static_cast<SendTime *>(std::calloc(KEYS_KEPT, sizeof(SendTime))))
{
    if (!entries_ || !times_)
        throw std::bad_alloc();
}

bool RoundTrips::held(std::uint64_t key) const
{
    return (times_[key % KEYS_KEPT].key & ~STAMPED) == key;
}

void RoundTrips::sending(const iovec *datagrams, std::size_t count, std::uint64_t firstPosition,
                         std::uint64_t firstKey, Stamps stamps, std::int64_t nanoseconds)
{
    // The hashes first, each bucket fetched meanwhile: the table is far larger than the
    // caches, and a bucket waited for one by one would cost more than the hash.
    std::array<std::uint64_t, HASHED_AT_ONCE> hashes;
    for (std::size_t from = 0; from < count; from += HASHED_AT_ONCE) {
        const std::size_t n = std::min(count - from, HASHED_AT_ONCE);
        for (std::size_t i = 0; i < n; ++i) {
            const iovec &d = datagrams[from + i];
            hashes[i] = bytesHash(static_cast<const char *>(d.iov_base), d.iov_len, hashKey_);
            __builtin_prefetch(entries_.get() + (hashes[i] % BUCKETS) * WAYS, 1);
        }
        const std::lock_guard hold(lock_);
        if (stamps == Stamps::EachBlock)
            sentAs_ = Stamps::EachBlock;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t key = stamps == Stamps::EachDatagram ? firstKey + from + i : firstKey;
            times_[key % KEYS_KEPT] = {key, nanoseconds};
            keysTaken_ = std::max(keysTaken_, key + 1);
            add(hashes[i], firstPosition + from + i, key);
        }
    }
}

// A datagram sent again (its send was refused) keeps its entry; the same bytes sent from
// another place make it ambiguous. Where the bucket is full, the oldest in it goes.
void RoundTrips::add(std::uint64_t hash, std::uint64_t position, std::uint64_t key)
{
    Entry *bucket = entries_.get() + (hash % BUCKETS) * WAYS;
    // An empty entry or a forgotten one is taken first, then the oldest.
    const auto age = [&](const Entry &e) { return e.hash == 0 || !held(e.key) ? 0 : e.key + 1; };
    Entry *taken = bucket;
    for (Entry *e = bucket; e < bucket + WAYS; ++e) {
        if (e->hash == hash && held(e->key)) {
            if ((e->position & ~FLAGS) != position)
                e->position |= AMBIGUOUS;
            e->key = key;
            return;
        }
        if (age(*e) < age(*taken))
            taken = e;
    }
    *taken = {hash, key, position};
}

void RoundTrips::sent(std::uint64_t firstKey, std::size_t keys, std::int64_t nanoseconds)
{
    const std::lock_guard hold(lock_);
    for (std::uint64_t key = firstKey; key < firstKey + keys; ++key)
        if (SendTime &time = times_[key % KEYS_KEPT]; time.key == key)  // held, and no stamp yet
            time.nanoseconds = nanoseconds;
}

void RoundTrips::stamped(std::uint64_t id, std::int64_t nanoseconds)
{
    const std::lock_guard hold(lock_);
    const std::uint64_t key = kernelBase_ + id;
    if (key < keysTaken_ && held(key))  // a stamp of the count before a restart goes nowhere
        times_[key % KEYS_KEPT] = {key | STAMPED, nanoseconds};
}

void RoundTrips::returned(const char *bytes, std::size_t length, std::int64_t nanoseconds)
{
    const std::uint64_t hash = bytesHash(bytes, length, hashKey_);
    const std::lock_guard hold(lock_);
    Entry *bucket = entries_.get() + (hash % BUCKETS) * WAYS;
    Entry *found = std::find_if(bucket, bucket + WAYS, [&](const Entry &e) { return e.hash == hash && held(e.key); });
    if (found == bucket + WAYS)
        return count(&RoundTripFigures::unmatched);
    if ((found->position & AMBIGUOUS) != 0)
        return count(&RoundTripFigures::ambiguous);
    if ((found->position & RETURNED) != 0)
        return count(&RoundTripFigures::duplicates);
    found->position |= RETURNED;
    const SendTime &sent = times_[found->key % KEYS_KEPT];
    if ((sent.key & STAMPED) == 0)
        count(&RoundTripFigures::byClock);
    // Both times are of one clock; only a step of it between them makes one negative.
    time(std::max<std::int64_t>(0, nanoseconds - sent.nanoseconds));
}

void RoundTrips::count(std::uint64_t RoundTripFigures::*which)
{
    ++(whole_.*which);
    ++(interval_.*which);
}

void RoundTrips::time(std::int64_t nanoseconds)
{
    count(&RoundTripFigures::timed);
    whole_.delays.add(nanoseconds);
    interval_.delays.add(nanoseconds);
    if (lastRoundTrip_ >= 0) {
        const auto difference = static_cast<std::uint64_t>(std::abs(nanoseconds - lastRoundTrip_));
        for (RoundTripFigures *figures : {&whole_, &interval_}) {
            figures->variationSum += difference;
            ++figures->variations;
        }
    }
    lastRoundTrip_ = nanoseconds;
}

std::uint64_t RoundTrips::restartKeys()
{
    const std::lock_guard hold(lock_);
    kernelBase_ = keysTaken_;
    return keysTaken_;
}

Stamps RoundTrips::sentAs() const
{
    const std::lock_guard hold(lock_);
    return sentAs_;
}

const RoundTripFigures &RoundTrips::takeInterval()
{
    taken_ = interval_;  // in place, never through a copy on the stack
    interval_.delays.clear();
    interval_.timed = interval_.ambiguous = interval_.unmatched = interval_.duplicates = interval_.byClock = 0;
    interval_.variationSum = interval_.variations = 0;
    return taken_;
}
