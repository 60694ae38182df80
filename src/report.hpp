// Reports on standard error: what was sent and received, when a run ends and with -i every
// so often while it goes on, as text or with -J as JSON Lines; and a status line redrawn
// while it goes on (on a terminal only). Never on standard output.
#pragma once

#include "answers.hpp"
#include "echo.hpp"
#include "live_probes.hpp"
#include "round_trips.hpp"
#include "types.hpp"

#include <array>
#include <cmath>
#include <ctime>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <mutex>
#include <vector>

double secondsNow();  // on a clock that only goes forward
timespec durationOf(double seconds);  // for the waits that take one, to the nanosecond
bool reporting(const Reporting &reports);
// After a report's line, the status line is drawn again, or left cleared.
enum class AfterLine { StatusCleared, StatusRedrawn };

// A run's standard error: its report lines, and the status line redrawn while it goes on
// (on a terminal only), cleared before any other line reaches the terminal. Both threads
// of L mode write through the one of the run, never one inside the other's line.
class StatusLine {
public:
    // A status line is drawn a few times a second at most, only on a terminal and never
    // among JSON lines: true when it is time to draw one.
    bool due(const Reporting &reports);
    void draw(const char *format, ...) __attribute__((format(printf, 2, 3)));
    void clear();  // before anything else reaches the terminal
    void write(const std::string &line, AfterLine after);

private:
    void clearHeld();

    std::mutex lock_;
    bool onScreen_ = false;
    std::array<char, 160> text_{};  // as last drawn
    double drawnAt_ = -1;
};

// A string as JSON holds it, quotes included: quotes, backslashes and control characters
// escaped, and each byte that is not part of well-formed UTF-8 as U+FFFD.
std::string jsonString(std::string_view text);

// One JSON object on one line, its fields in the order given, the first naming the report.
class JsonLine {
public:
    JsonLine() = default;  // an object inside another: no report named
    explicit JsonLine(std::string_view report);
    JsonLine &count(std::string_view name, std::uint64_t value);
    JsonLine &count(std::string_view name, std::int64_t value);
    JsonLine &number(std::string_view name, double value);  // null where it is not finite
    JsonLine &flag(std::string_view name, bool value);
    JsonLine &text(std::string_view name, std::string_view value);
    JsonLine &json(std::string_view name, std::string_view value);  // already JSON
    std::string object() const;
    std::string line() const;  // the object and a line end

private:
    JsonLine &field(std::string_view name, std::string_view value);
    std::string text_ = "{";
};

// Datagrams this host's own queue dropped after the kernel took them (it says so with
// ENOBUFS): exact one packet a datagram; offloaded, it counts the datagrams of the blocks
// it refused, and drops inside blocks it took go unseen, so the count is a least.
struct QueueDrops {
    std::uint64_t datagrams = 0;
    bool atLeast = false;
};
struct SentSoFar;
// The sending's report; `pathMtu`, where this host refused datagrams larger than the path
// (--df), is the MTU it gave.
void reportSending(const Reporting &reports, const SentSoFar &sent, std::uint32_t pathMtu);
// The kernel refused to cut a block after so many datagrams (for `error`): the rest goes
// one packet a datagram.
void reportMove(const Reporting &reports, std::int64_t datagramsBefore, int error, int routeMtu);
// --probe with -t: the time the probe's chunks took, where more than `asked` (the sender
// could not keep the rate; every chunk went all the same).
void reportProbeTime(const Reporting &reports, double asked, double took);
// The route's MTU, where it changed while sending: larger datagrams went as fragments.
void reportRouteMtu(const Reporting &reports, int before, int after);
// The network's answers, a line each, or that it answered nothing; and where the run only
// sends, the datagrams that arrived at its port meanwhile (refused, and counted).
void reportAnswers(const Reporting &reports, const Answers &answers,
                   std::optional<std::uint64_t> arrivedAtSendingPort = std::nullopt);

struct Received {
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;
    std::uint64_t cut = 0;  // longer than takeMost
    std::size_t takeMost = RECV_MAX;  // bytes taken of one datagram at most
    std::uint64_t senders = 0;
    bool sendersEstimated = false;  // past the count kept exactly
    std::uint64_t receives = 0;  // datagrams, or blocks of them where coalesced
    double first = 0;
    double last = 0;
    std::array<std::uint64_t, 64> dscp{};  // datagrams by the DSCP they carried, where it is asked for
};
// Datagrams dropped by the receiving socket. It counts what it queues: a datagram, or with
// coalescing a block of them, whose size is then estimated from the blocks received.
struct Drops {
    std::uint64_t datagrams = 0;
    bool estimated = false;
};
Drops dropsOf(std::uint64_t counted, Datagrams datagrams, const Received &received);
void reportReceiving(const Reporting &reports, const Received &received, Drops dropped);
// L's round trips, after the receive report: a line of their figures, and on a terminal or
// with -v the histogram of their times.
void reportRoundTrips(const Reporting &reports, const RoundTripFigures &figures, Stamps sentAs);
// Those that came back from `start` to `end` seconds after the first arrival, with -i.
void reportRoundTripInterval(const Reporting &reports, const RoundTripFigures &figures, double start, double end);
// "12 timed (0 ambiguous, 1 unmatched, 0 duplicates), min 0.031, median ... ms"
std::string roundTripsText(const RoundTripFigures &figures);
// The probe runs whose chunks arrived, a line each as frandle-probe check gives it, with
// the one-way delay variation of timed chunks; with --run, that run's alone.
void reportProbes(const Reporting &reports, const LiveProbes &probes);
// `jitter`: of the run the status line shows, in ns, as it stands at the interval's end;
// NaN where its chunks carry no send time.
void reportProbeInterval(const Reporting &reports, const ProbeCounts &counts, std::uint64_t missingSoFar, double jitter,
                         double start, double end);
// "run 5f3a9c01: expected 752, intact 751, ...; jitter 0.012 ms, ..."
std::string probeRunText(std::uint32_t run, const probe::Figures &figures, const OneWay *oneWay);
// The gaps behind the highest number seen of each run kept (--run's alone with it).
std::uint64_t missingSoFar(const probe::Tally &tally);
// R with -e: how many went back, and which did not and why.
void reportEchoed(const Reporting &reports, const Echoed &echoed);
std::string echoedText(const Echoed &echoed);
// A DSCP value as commonly written: "ef", "af11", "cs1", or its number where it has no name.
std::string dscpName(std::size_t value);

// What one direction had done by a moment: the interval reports are the differences, so
// that they add up to the final report's counts exactly.
struct SentSoFar {
    std::int64_t datagrams = 0;
    std::uint64_t bytes = 0;
    std::uint64_t answers = 0;  // of the network, to what was sent
    QueueDrops queueDrops;
    double seconds = 0;         // since the sending started
    std::uint64_t refusedTooBig = 0;  // by this host, as larger than the path MTU (--df)
};
struct ReceivedSoFar {
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;
    std::uint64_t cut = 0;
    Drops dropped;
    double seconds = 0;  // since the receiving started
};
// The interval from `before` to `now`, and the totals at `now`, as a line of the format.
std::string sentInterval(ReportFormat format, const SentSoFar &before, const SentSoFar &now);
std::string receivedInterval(ReportFormat format, const ReceivedSoFar &before, const ReceivedSoFar &now);
void reportInterval(const Reporting &reports, const std::string &line);

// -i: the next report is due on the grid of `every` seconds from the start, after `now`:
// a late look skips the reports it missed and adds no drift.
double nextOnGrid(double due, double every, double now);

// The interval reports of one direction, every -i seconds from the start; without -i none
// is ever due, and the caller need not read the clock to know it.
template <typename SoFar>
class Intervals {
public:
    using Format = std::string (*)(ReportFormat, const SoFar &, const SoFar &);
    Intervals(const Reporting &reports, double start, Format format) : Intervals(reports, format) { startAt(start); }
    // Started later, by startAt(): none is due before.
    Intervals(const Reporting &reports, Format format)
        : reports_(reports), format_(format), every_(reports.everySeconds)
    {
    }
    void startAt(double start) { next_ = on() ? start + every_ : INFINITY; }
    bool on() const { return every_ > 0; }
    bool due(double now) const { return now >= next_; }
    double dueAt() const { return next_; }  // the end of the interval under way
    double secondsLeft(double now) const { return next_ - now; }  // infinite without -i, or before the start
    // What was done since the last report, at `now` (a moment of the clock); the next is
    // due after it.
    void report(const SoFar &done, double now)
    {
        write(done);
        next_ = nextOnGrid(next_, every_, now);
    }
    // The last one, up to the final report, so that they add up to its counts exactly.
    void close(const SoFar &done)
    {
        if (on() && done.seconds > last_.seconds)
            write(done);
    }

private:
    void write(const SoFar &done)
    {
        reportInterval(reports_, format_(reports_.format, last_, done));
        last_ = done;
    }

    Reporting reports_;
    Format format_;
    double every_;
    double next_ = INFINITY;
    SoFar last_{};
};
