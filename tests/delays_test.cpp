// Round-trip times in-process: percentiles held to those of the sorted samples, and the rows.
#include "../src/delays.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <sstream>
#include <tuple>

namespace {

using Samples = std::vector<std::int64_t>;

// Runs of {first value, count, step}: a step of 0 repeats the value.
Samples samples(std::initializer_list<std::array<std::int64_t, 3>> runs)
{
    Samples made;
    for (const auto &[first, count, step] : runs)
        for (std::int64_t i = 0; i < count; ++i)
            made.push_back(first + i * step);
    return made;
}

// Within half a bucket, 1/256 of the value: tighter than promised, so half the buckets fail.
TEST(Delays, PercentilesAreThoseOfTheSortedSamplesWithinHalfABucket)
{
    DelayHistogram histogram;  // empty, then cleared between cases: clear() must forget all
    EXPECT_TRUE(!histogram.percentile(0) && std::isnan(histogram.mean()) && histogram.min() == 0 && histogram.max() == 0);
    for (const Samples &added : {samples({{1, 1 << 20, 1}}), samples({{50'000, 990, 0}, {5'000'000, 10, 0}}),
                                 samples({{777'777, 7, 0}}), samples({{-3, 131, 1}}),  // below 0 counts as 0
                                 samples({{1, 1, 0}, {(1 << 20) + (1 << 13) - 1, 3, 0}, {1 << 30, 1, 0}}),  // a bucket's top
                                 samples({{5'000'000'000, 1998, 0}, {INT64_MAX, 2, 0}})}) {  // beyond the top, a sum past 64 bits
        histogram.clear();
        std::for_each(added.begin(), added.end(), [&](std::int64_t sample) { histogram.add(sample); });
        Samples exact = added;
        std::replace_if(exact.begin(), exact.end(), [](std::int64_t sample) { return sample < 0; }, 0);
        std::sort(exact.begin(), exact.end());
        EXPECT_EQ(std::make_tuple(histogram.count(), histogram.min(), histogram.max()),
                  std::make_tuple(exact.size(), exact.front(), exact.back()));
        EXPECT_DOUBLE_EQ(histogram.mean(), static_cast<double>(std::accumulate(exact.begin(), exact.end(), 0.0L) / exact.size()));
        for (const double fraction : {0.0, 0.5, 0.9, 0.99, 0.999, 1.0}) {
            const auto rank = std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(fraction * exact.size())));
            const std::int64_t got = histogram.percentile(fraction).value(), want = exact[rank - 1];
            const bool exactly = fraction == 0 || fraction == 1 || exact.front() == exact.back();  // clamped to min and max
            EXPECT_TRUE(std::abs(got - want) <= want / 256.0 && (got == want || !exactly))
                << exact.size() << " samples, " << fraction << ": " << got << " for " << want;
        }
    }
}

// Each sample in the row of its bucket's middle; two modes are two groups of rows with empty ones between,
// and no empty row is shown before the first filled one or after the last (the last case: wide buckets
// whose middles fall a row in from min and max).
TEST(Delays, RowsShowEachModeAndTheGapBetween)
{
    const Samples twoModes = samples({{50'000, 990, 0}, {5'000'000, 10, 0}});
    const struct { Samples added; std::size_t rows; std::vector<unsigned long long> counts; } cases[] = {
        {twoModes, 12, {990, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10}}, {twoModes, 4, {990, 0, 0, 10}},
        {samples({{777'777, 7, 0}}), 12, {7}}, {samples({{1 << 30, 2, (1 << 25) - 1}}), 12, {1, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
    };
    for (const auto &c : cases) {
        DelayHistogram histogram;
        std::for_each(c.added.begin(), c.added.end(), [&](std::int64_t sample) { histogram.add(sample); });
        std::istringstream text(histogramRows(histogram, c.rows));
        std::vector<unsigned long long> counts;
        std::size_t widest = 0;
        for (std::string line; std::getline(text, line);) {
            const auto bar = static_cast<std::size_t>(std::count(line.begin(), line.end(), '#'));
            ASSERT_EQ(std::sscanf(line.c_str(), "%*f ms to %*f ms %llu", &counts.emplace_back()), 1) << line;
            EXPECT_EQ(counts.back() == 0, bar == 0) << line;
            widest = std::max(widest, bar);
        }
        EXPECT_EQ(std::tie(counts, widest), std::make_tuple(c.counts, std::size_t{40})) << c.rows << " rows";
    }
}

}  // namespace
