// Round-trip times in bounded memory: a histogram of fixed size whose percentiles are
// within 1/128 of the true value, cheap enough to add a million samples a second.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

// One bucket of a histogram as the display reads it.
struct DelayBucket {
    std::int64_t lowest;   // ns
    std::int64_t highest;  // ns
    std::uint64_t count;
};

// Durations in nanoseconds in buckets of fixed size: exact below 128 ns, and above it each
// power of two cut into 128 buckets, so any value read back is within 1/128 of the true one.
class DelayHistogram {
public:
    static constexpr int SUB_BITS = 7;  // 128 buckets to each power of two
    static constexpr std::int64_t SUB_BUCKETS = std::int64_t{1} << SUB_BITS;
    static constexpr int TOP_BITS = 43;  // buckets up to 2^43 ns, some 2.4 hours
    static constexpr std::int64_t TOP_VALUE = (std::int64_t{1} << TOP_BITS) - 1;
    // 256 buckets of one value each, then 128 for each power of two from 2^8 to 2^42.
    static constexpr std::size_t BUCKETS = (TOP_BITS - SUB_BITS + 1) * SUB_BUCKETS;

    // Below 0 counts as 0; beyond TOP_VALUE counts in the top bucket, and max() stays exact.
    void add(std::int64_t nanoseconds)
    {
        const std::int64_t value = nanoseconds < 0 ? 0 : nanoseconds;
        ++buckets_[bucketOf(value)];
        ++count_;
        min_ = value < min_ ? value : min_;
        max_ = value > max_ ? value : max_;
        // The sum as two words: exact however many samples, at the cost of a carry.
        const auto addend = static_cast<std::uint64_t>(value);
        sumLow_ += addend;
        sumHigh_ += sumLow_ < addend ? 1 : 0;
    }
    // For the next interval.
    void clear();
    std::uint64_t count() const { return count_; }
    // Exact; 0 when empty.
    std::int64_t min() const { return count_ == 0 ? 0 : min_; }
    std::int64_t max() const { return max_; }
    // Exact to a double's precision; NaN when empty.
    double mean() const;
    // The value at or below which `fraction` (0..1) of the samples lie, by the nearest-rank
    // rule (rank = ceil(fraction * count), at least 1), as the middle of its bucket clamped
    // to [min, max]; the first and last rank are min and max exactly. Empty with no samples.
    std::optional<std::int64_t> percentile(double fraction) const;
    // The buckets that are not empty, lowest first.
    std::vector<DelayBucket> filledBuckets() const;

private:
    // Where a value goes: its leading bit picks the power of two, the next SUB_BITS bits
    // the bucket within it; values below 2^(SUB_BITS + 1) are their own index.
    static constexpr std::size_t bucketOf(std::int64_t value)
    {
        const auto bits = static_cast<std::uint64_t>(value < TOP_VALUE ? value : TOP_VALUE);
        const int shift = std::bit_width(bits | std::uint64_t{SUB_BUCKETS}) - (SUB_BITS + 1);
        return static_cast<std::size_t>(shift) * SUB_BUCKETS + (bits >> shift);
    }

    std::array<std::uint64_t, BUCKETS> buckets_{};
    std::uint64_t count_ = 0;
    std::int64_t min_ = std::numeric_limits<std::int64_t>::max();
    std::int64_t max_ = 0;
    std::uint64_t sumLow_ = 0;
    std::uint64_t sumHigh_ = 0;
};

// The histogram as at most `rows` text rows, each a range of times in milliseconds, the
// ranges growing by a constant factor from min to max (one row where all the samples are in
// one bucket), with its count and a bar of '#' scaled so that the largest row has 40:
//   "  0.041 ms to  0.052 ms       812 ########################################\n"
// A bucket counts in the row of its middle. Empty rows between filled ones are shown, so
// that gaps and two modes can be seen; those before the first or after the last are not.
std::string histogramRows(const DelayHistogram &histogram, std::size_t rows = 12);
