// Probe runs judged as their chunks arrive.
#include "live_probes.hpp"

#include <cmath>

std::optional<std::int64_t> OneWay::aboveLeast(double fraction) const
{
    const std::uint64_t below_ = below ? below->count() : 0, above_ = above ? above->count() : 0;
    const std::uint64_t count = below_ + above_;
    if (count == 0)
        return std::nullopt;
    const std::int64_t least = below_ > 0 ? -below->max() : above->min();
    const double wanted = std::ceil(fraction * static_cast<double>(count));
    const std::uint64_t rank = wanted < 1 ? 1 : wanted >= static_cast<double>(count) ? count : static_cast<std::uint64_t>(wanted);
    // In order: those below the first from the farthest, then those above it.
    const std::int64_t value =
        rank <= below_ ? -*below->percentile((static_cast<double>(below_ - rank) + 0.5) / static_cast<double>(below_))
                       : *above->percentile((static_cast<double>(rank - below_) - 0.5) / static_cast<double>(above_));
    return value - least;
}

void LiveProbes::arrived(const char *bytes, std::size_t length, std::int64_t nanoseconds)
{
    const probe::Arrived got = probe::takeDatagram({bytes, length}, tally_);
    switch (got.what) {
    case probe::Arrival::Foreign:
    case probe::Arrival::PastRuns:
        return;
    case probe::Arrival::Intact:
        ++interval_.intact;
        break;
    case probe::Arrival::OutOfOrder:
        ++interval_.intact;
        ++interval_.outOfOrder;
        break;
    case probe::Arrival::Duplicate:
        ++interval_.duplicated;
        break;
    case probe::Arrival::Damaged:
        ++interval_.damaged;
        break;
    }
    if (got.run)
        lastRun_ = got.run;
    if (!got.run || !got.sent)  // a run past those the tally keeps came as PastRuns
        return;
    OneWay &w = oneWay_[*got.run];
    const std::int64_t transit = nanoseconds - *got.sent;
    if (w.timed > 0) {
        const double d = std::fabs(static_cast<double>(transit - w.lastTransit));
        w.jitter += (d - w.jitter) / 16;
    } else {
        w.firstTransit = transit;
        if (spreads_ < SPREADS_KEPT || tally_.chosen == got.run) {
            ++spreads_;
            w.above = std::make_unique<DelayHistogram>();
            w.below = std::make_unique<DelayHistogram>();
        }
    }
    w.lastTransit = transit;
    ++w.timed;
    if (w.above) {
        const std::int64_t relative = transit - w.firstTransit;
        relative >= 0 ? w.above->add(relative) : w.below->add(-relative);
    }
}

const OneWay *LiveProbes::oneWayOf(std::uint32_t run) const
{
    const auto found = oneWay_.find(run);
    return found != oneWay_.end() ? &found->second : nullptr;
}

double LiveProbes::jitterOfShownRun() const
{
    const OneWay *w = shownRun() ? oneWayOf(*shownRun()) : nullptr;
    return w != nullptr && w->timed >= 2 ? w->jitter : NAN;
}

ProbeCounts LiveProbes::takeInterval()
{
    const ProbeCounts taken = interval_;
    interval_ = {};
    return taken;
}
