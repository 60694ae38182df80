// Round-trip times: the histogram's statistics, read from its buckets, and its display.
#include "delays.hpp"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace {

constexpr int BAR_WIDTH = 40;  // '#' in the largest row

// The values a bucket holds: the inverse of DelayHistogram::bucketOf.
constexpr DelayBucket bucketRange(std::size_t index)
{
    const auto at = static_cast<std::int64_t>(index);
    constexpr std::int64_t sub = DelayHistogram::SUB_BUCKETS;
    const std::int64_t shift = std::max(at / sub, std::int64_t{1}) - 1;
    const std::int64_t lowest = (at - shift * sub) << shift;
    return {lowest, lowest + (std::int64_t{1} << shift) - 1, 0};
}

constexpr std::int64_t middleOf(const DelayBucket &bucket)
{
    return bucket.lowest + (bucket.highest - bucket.lowest) / 2;
}

// The row of a bucket, by its middle, among `rows` rows growing from `low` by e^(span / rows).
std::size_t rowOf(const DelayBucket &bucket, double low, double span, std::size_t rows)
{
    const auto middle = static_cast<double>(middleOf(bucket));
    if (rows == 1 || middle <= low)
        return 0;
    const double at = std::floor(static_cast<double>(rows) * std::log(middle / low) / span);
    return std::min(static_cast<std::size_t>(at), rows - 1);  // the top bucket's middle may pass max
}

}  // namespace

// In place: a second histogram, even a passing one, is large for a thread's stack.
void DelayHistogram::clear()
{
    buckets_.fill(0);
    count_ = 0;
    min_ = std::numeric_limits<std::int64_t>::max();
    max_ = 0;
    sumLow_ = 0;
    sumHigh_ = 0;
}

double DelayHistogram::mean() const
{
    if (count_ == 0)
        return std::nan("");
    const long double sum = std::ldexp(static_cast<long double>(sumHigh_), 64) + static_cast<long double>(sumLow_);
    return static_cast<double>(sum / static_cast<long double>(count_));
}

std::optional<std::int64_t> DelayHistogram::percentile(double fraction) const
{
    static_assert(bucketOf(TOP_VALUE) == BUCKETS - 1 && bucketRange(BUCKETS - 1).highest == TOP_VALUE);
    if (count_ == 0)
        return std::nullopt;
    // Written so that a fraction out of 0..1, or NaN, still gives a rank in 1..count.
    const double wanted = std::ceil(fraction * static_cast<double>(count_));
    const std::uint64_t rank = wanted >= static_cast<double>(count_) ? count_
                               : wanted > 1                         ? static_cast<std::uint64_t>(wanted)
                                                                    : 1;
    // The ends are known exactly; a bucket's middle could only blur them.
    if (rank == 1)
        return min_;
    if (rank == count_)
        return max_;
    std::uint64_t seen = 0;
    for (std::size_t index = 0; index < BUCKETS; ++index) {
        seen += buckets_[index];
        if (seen >= rank)
            return std::clamp(middleOf(bucketRange(index)), min_, max_);
    }
    return max_;  // not reached: the buckets hold count_ samples
}

std::vector<DelayBucket> DelayHistogram::filledBuckets() const
{
    std::vector<DelayBucket> filled;
    for (std::size_t index = 0; index < BUCKETS; ++index) {
        if (buckets_[index] != 0) {
            DelayBucket bucket = bucketRange(index);
            bucket.count = buckets_[index];
            filled.push_back(bucket);
        }
    }
    return filled;
}

std::string histogramRows(const DelayHistogram &histogram, std::size_t rows)
{
    const std::vector<DelayBucket> buckets = histogram.filledBuckets();
    if (buckets.empty())
        return "";
    // Rows grow by a constant factor, so they start above 0; a sample of 0 goes in the first.
    const double low = static_cast<double>(std::max(histogram.min(), std::int64_t{1}));
    const double high = static_cast<double>(histogram.max());
    rows = buckets.size() == 1 || high <= low ? 1 : std::max(rows, std::size_t{1});
    const double span = std::log(high / low);

    std::vector<std::uint64_t> counts(rows);
    for (const DelayBucket &bucket : buckets)
        counts[rowOf(bucket, low, span, rows)] += bucket.count;
    const auto edgeInMs = [&](std::size_t row) {
        const double edge = row == 0      ? static_cast<double>(histogram.min())
                            : row == rows ? high
                                          : low * std::exp(span * static_cast<double>(row) / static_cast<double>(rows));
        return edge / 1e6;
    };
    const int width = std::max(6, std::snprintf(nullptr, 0, "%.3f", edgeInMs(rows)));  // one column for all rows
    const std::uint64_t largest = *std::max_element(counts.begin(), counts.end());
    const auto filled = [](std::uint64_t count) { return count != 0; };
    const auto first = static_cast<std::size_t>(std::find_if(counts.begin(), counts.end(), filled) - counts.begin());
    const auto last = static_cast<std::size_t>(counts.rend() - std::find_if(counts.rbegin(), counts.rend(), filled));

    std::string text;
    for (std::size_t row = first; row < last; ++row) {
        char line[128];
        std::snprintf(line, sizeof line, "%*.3f ms to %*.3f ms %9" PRIu64, width + 1, edgeInMs(row), width,
                      edgeInMs(row + 1), counts[row]);
        text += line;
        if (counts[row] != 0) {
            const double share = static_cast<double>(counts[row]) / static_cast<double>(largest);
            const auto bar = static_cast<std::size_t>(std::max(1L, std::lround(BAR_WIDTH * share)));
            text.append(" ").append(bar, '#');
        }
        text += '\n';
    }
    return text;
}
