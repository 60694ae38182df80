// R and L's listener: the probe runs whose chunks arrive, judged as they come as
// frandle-probe check judges a log of them, and for chunks that carry their send time the
// one-way delay variation: in bounded memory, whoever sends them.
#pragma once

#include "delays.hpp"
#include "probe_lib.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <cmath>
#include <optional>

// The one-way delays of a run's timed chunks. The two ends' clocks are not one: a delay is
// known only above the least one seen, and that is what is kept.
struct OneWay {
    // RFC 3550's interarrival jitter, in ns: J += (|D| - J) / 16 over consecutive arrivals.
    double jitter = 0;
    std::int64_t lastTransit = 0;  // arrival less send time of the last one, in ns
    std::uint64_t timed = 0;
    // Transits relative to the first one: those at or above it, and how far below those below.
    std::unique_ptr<DelayHistogram> above, below;
    // The percentile `fraction` of the delays, less the least of them: nothing before any.
    std::optional<std::int64_t> aboveLeast(double fraction) const;
    std::int64_t firstTransit = 0;
};

// What arrived of each kind, over a while.
struct ProbeCounts {
    std::uint64_t intact = 0, duplicated = 0, outOfOrder = 0, damaged = 0;
};

class LiveProbes {
public:
    // Delay spreads are kept for this many runs, the first to come or --run's: each takes
    // two histograms.
    static constexpr std::size_t SPREADS_KEPT = 16;

    explicit LiveProbes(std::optional<std::uint32_t> chosen) { tally_.chosen = chosen; }
    // A datagram, at `nanoseconds` by the clock of the send times (the kernel's stamp).
    void arrived(const char *bytes, std::size_t length, std::int64_t nanoseconds);
    bool any() const { return !tally_.runs.empty() || tally_.damagedUnknown > 0; }
    const probe::Tally &tally() const { return tally_; }
    const OneWay *oneWayOf(std::uint32_t run) const;
    ProbeCounts takeInterval();  // since the last one
    // The run the status line shows: --run's, or the last one a chunk came from.
    std::optional<std::uint32_t> shownRun() const { return tally_.chosen ? tally_.chosen : lastRun_; }
    double jitterOfShownRun() const;  // ns; NaN where it has no two timed chunks

private:
    probe::Tally tally_;
    std::map<std::uint32_t, OneWay> oneWay_;  // of the runs the tally keeps
    std::size_t spreads_ = 0;
    ProbeCounts interval_;
    std::optional<std::uint32_t> lastRun_;
};
