// R mode, and the receive loop that the L-mode listener runs too.
#include "receive.hpp"

#include "datagram_line.hpp"
#include "echo.hpp"
#include "net.hpp"
#include "report.hpp"
#include "senders.hpp"
#include "stop.hpp"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
#include <fcntl.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

namespace {

// Receives per call. Offloaded, a slot takes the largest block of equal datagrams the
// kernel hands over as one; one packet each, it takes as much of a datagram as is shown,
// and the kernel says how long the datagram was: the slots stay close together, as
// compact in the caches as the datagrams themselves.
constexpr std::size_t SLOTS = 32;
constexpr std::size_t BLOCK_SLOT_SIZE = 1 << 16;

// Where a batch of receives lands, each with room for a block, or a whole datagram to echo,
// or what a line shows of one datagram.
struct ReceiveArea {
    ReceiveArea(Datagrams datagrams, std::size_t takeMost, Echo echo)
        : slotSize(datagrams == Datagrams::Offloaded || echo != Echo::None ? BLOCK_SLOT_SIZE : takeMost),
          flags(datagrams == Datagrams::Offloaded ? MSG_DONTWAIT : MSG_DONTWAIT | MSG_TRUNC),
          bytes(std::make_unique<char[]>(SLOTS * slotSize))  // touched now, not while a burst waits
    {
        for (std::size_t i = 0; i < SLOTS; ++i) {
            slots[i] = {slot(i), slotSize};
            messages[i].msg_hdr.msg_iov = &slots[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = controls[i].data();
            messages[i].msg_hdr.msg_name = &senders[i];
        }
    }
    ReceiveArea(const ReceiveArea &) = delete;  // it points into itself
    ReceiveArea &operator=(const ReceiveArea &) = delete;

    char *slot(std::size_t i) const { return bytes.get() + i * slotSize; }

    const std::size_t slotSize;
    const int flags;  // one packet each, a receive gives the datagram's whole length
    std::unique_ptr<char[]> bytes;
    std::array<iovec, SLOTS> slots{};
    std::array<mmsghdr, SLOTS> messages{};
    std::array<sockaddr_storage, SLOTS> senders{};  // counted for the report
    // For the size of the datagrams of a block, a datagram's TOS byte or traffic class, its
    // time of arrival and the address it was sent to.
    static constexpr std::size_t CONTROL_SIZE =
        2 * CMSG_SPACE(sizeof(int)) + CMSG_SPACE(sizeof(scm_timestamping)) + CMSG_SPACE(sizeof(in6_pktinfo));
    alignas(cmsghdr) std::array<std::array<char, CONTROL_SIZE>, SLOTS> controls{};
};

// Takes what is queued, up to a batch, without waiting: the count, or -1 and errno.
int receiveBatch(int sock, ReceiveArea &area)
{
    for (auto &message : area.messages) {
        message.msg_hdr.msg_controllen = area.controls[0].size();
        message.msg_hdr.msg_namelen = sizeof(sockaddr_storage);
    }
    return recvmmsg(sock, area.messages.data(), SLOTS, area.flags, nullptr);
}

// What the kernel tells of one receive of `length` bytes: the size of each datagram in it
// (a block of equal datagrams from one sender, the last one may be shorter, or a single
// datagram), its time of arrival, and where asked for, their TOS byte or traffic class and
// the address they were sent to.
struct Arrival {
    std::size_t each;
    std::int64_t nanoseconds = 0;  // of the kernel's clock of stamps; 0: none given
    int trafficClass = -1;
    SentTo to;
};
Arrival arrivalOf(msghdr message, std::size_t length)
{
    Arrival arrival{};
    arrival.each = length;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPING) {
            scm_timestamping stamps{};
            std::memcpy(&stamps, CMSG_DATA(c), sizeof stamps);
            arrival.nanoseconds = std::int64_t{stamps.ts[0].tv_sec} * 1'000'000'000 + stamps.ts[0].tv_nsec;
            continue;
        }
        if (c->cmsg_level == SOL_IP && c->cmsg_type == IP_PKTINFO) {
            arrival.to.family = AF_INET;
            std::memcpy(&arrival.to.ipv4, CMSG_DATA(c), sizeof arrival.to.ipv4);
            continue;
        }
        if (c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            arrival.to.family = AF_INET6;
            std::memcpy(&arrival.to.ipv6, CMSG_DATA(c), sizeof arrival.to.ipv6);
            continue;
        }
        int value = 0;
        std::memcpy(&value, CMSG_DATA(c), std::min(sizeof value, c->cmsg_len - CMSG_LEN(0)));
        if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO)
            arrival.each = static_cast<std::size_t>(value);
        else if (c->cmsg_level == SOL_IP && c->cmsg_type == IP_TOS)  // one byte
            arrival.trafficClass = static_cast<unsigned char>(value);
        else if (c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_TCLASS)
            arrival.trafficClass = value & 0xff;
    }
    return arrival;
}

// Lines received and not yet written. They leave in writes of whole lines (so that the
// other thread's line never lands inside one of them): after each batch, while its bytes
// are still in the processor's caches, which is when a file takes them fastest, and
// within a batch when no more can be added. To a file or a pipe, a line is written from
// where the datagram landed, with no copy; to a terminal, it is escaped into memory of
// its own, touched once before the first datagram: on some machines a page's first touch
// costs several times what writing its bytes out does, which a burst cannot wait for.
class Lines {
public:
    // To a terminal: half a megabyte, or room for a few of the longest escaped lines where
    // -l makes them long.
    Lines(std::size_t takeMost, StatusLine &status)
        : status_(status), room_(lineRoom(takeMost)),
          size_(terminal_ ? std::max<std::size_t>(512 << 10, 8 * room_) : 0),
          escaped_(std::make_unique<char[]>(size_))
    {
    }
    Lines(const Lines &) = delete;
    Lines &operator=(const Lines &) = delete;

    // The datagram's bytes must stay in place until the lines are written.
    void add(const char *bytes, std::size_t length)
    {
        if (parts_.size() - count_ < LINE_PARTS || (terminal_ && escapedUsed_ + room_ > size_))
            writeAll();
        if (!terminal_) {
            count_ = static_cast<std::size_t>(datagramLine(parts_.data() + count_, bytes, length) - parts_.data());
            return;
        }
        char *at = escaped_.get() + escapedUsed_;
        const char *end = terminalLine(at, bytes, length, *terminal_);
        parts_[count_++] = {at, static_cast<std::size_t>(end - at)};
        escapedUsed_ = static_cast<std::size_t>(end - escaped_.get());
    }

    // After a failed write the lines are dropped: the run ends on the failure, which the
    // loop sees at the batch's own write.
    Ending writeAll()
    {
        if (terminal_ && count_ > 0)
            status_.clear();
        if (!failed_.failed() && count_ > 0)
            failed_ = writeParts(parts_.data(), count_);
        count_ = 0;
        escapedUsed_ = 0;
        return failed_;
    }

private:
    // A peer's bytes go to a file or a pipe as they came, but never raw to a terminal.
    StatusLine &status_;  // on the terminal the lines go to, where it is one
    const std::optional<TerminalText> terminal_ =
        isatty(STDOUT_FILENO) != 0 ? std::optional(terminalTextOfLocale()) : std::nullopt;
    std::array<iovec, IOV_MAX> parts_{};  // the most one write takes
    std::size_t count_ = 0;
    const std::size_t room_;  // for one escaped line
    const std::size_t size_;
    std::unique_ptr<char[]> escaped_;
    std::size_t escapedUsed_ = 0;
    Ending failed_;
};

}  // namespace

// What the receive loop works in.
struct ReceiveMemory::Parts {
    Parts(Datagrams datagrams, std::size_t takeMost, Echo echo, StatusLine &status)
        : takeMost(takeMost), area(datagrams, takeMost, echo), lines(takeMost, status)
    {
        received.takeMost = takeMost;
    }

    const std::size_t takeMost;  // of one datagram; the rest of it is cut
    ReceiveArea area;
    Lines lines;
    Received received;
    Senders senders;
    std::optional<Reflector> reflector;  // with -e, made once the socket is bound
};

ReceiveMemory::ReceiveMemory(Datagrams datagrams, std::size_t takeMost, Echo echo, StatusLine &status)
    : parts_(std::make_unique<Parts>(datagrams, takeMost, echo, status))
{
}

ReceiveMemory::~ReceiveMemory() = default;

namespace {

using Receiver = ReceiveMemory::Parts;
using ReceivedIntervals = Intervals<ReceivedSoFar>;

// What one run of the loop works with besides its memory.
struct Loop {
    int sock;
    Receiver &r;
    const Receiving &how;
    ReceivedIntervals intervals;
    Reflector *reflector;  // with -e
    double clockOffset;    // the stamps' clock less this one's, in seconds
    double intervalStart = 0;  // of the interval under way, in seconds from the first arrival
};

ReceivedSoFar receivedSoFar(const Receiver &r, Drops dropped, double seconds)
{
    return {r.received.datagrams, r.received.bytes, r.received.cut, dropped, seconds};
}

// With -i, after the interval of what was received: the round trips and the probe chunks
// of the same interval.
void reportOtherIntervals(Loop &loop, double end)
{
    const Receiving &how = loop.how;
    if (how.roundTrips != nullptr)
        reportRoundTripInterval(how.reports, how.roundTrips->takeInterval(), loop.intervalStart, end);
    if (how.probes != nullptr && how.probes->any())
        reportProbeInterval(how.reports, how.probes->takeInterval(), missingSoFar(how.probes->tally()),
                            how.probes->jitterOfShownRun(), loop.intervalStart, end);
    loop.intervalStart = end;
}

// With -i: the interval reports due by `now`, a moment of this clock. Each datagram counts
// in the interval its arrival falls in, so one ends at its end on the grid.
void reportIfDue(Loop &loop, double now)
{
    if (!loop.intervals.due(now))
        return;
    const Receiver &r = loop.r;
    const double end = loop.intervals.dueAt() - r.received.first;
    loop.intervals.report(receivedSoFar(r, dropsOf(droppedBy(loop.sock), loop.how.datagrams, r.received), end), now);
    reportOtherIntervals(loop, end);
}

// A datagram, or a block of them, that arrived at `at`: the first starts the clock of the
// report and its intervals, and one that arrived after an interval's end reports it first.
void arrived(Loop &loop, double at)
{
    Received &received = loop.r.received;
    if (received.first == 0) {
        received.first = at;
        loop.intervals.startAt(at);
    }
    reportIfDue(loop, at);
    received.last = at;
}

// Returns the payload bytes taken. With -e the batch goes back before its lines are written.
std::size_t takeBatch(Loop &loop, int count)
{
    Receiver &r = loop.r;
    std::size_t taken = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
        const std::size_t length = r.area.messages[i].msg_len;
        const Arrival arrival = arrivalOf(r.area.messages[i].msg_hdr, length);
        const double arrivedAt = arrival.nanoseconds != 0
                                     ? static_cast<double>(arrival.nanoseconds) / 1e9 - loop.clockOffset
                                     : secondsNow();
        arrived(loop, arrivedAt);
        const char *bytes = r.area.slot(i);
        std::uint64_t datagrams = length == 0 ? 1 : 0;  // an empty datagram prints nothing
        for (std::size_t at = 0; at < length; at += arrival.each) {
            const std::size_t size = std::min(arrival.each, length - at);
            r.lines.add(bytes + at, std::min(size, r.takeMost));
            ++datagrams;
            r.received.cut += size > r.takeMost ? 1 : 0;
            const std::int64_t stamp = arrival.nanoseconds != 0 ? arrival.nanoseconds : realtimeNanoseconds();
            if (loop.how.roundTrips != nullptr)
                loop.how.roundTrips->returned(bytes + at, std::min(size, r.area.slotSize), stamp);
            if (loop.how.probes != nullptr)
                loop.how.probes->arrived(bytes + at, std::min(size, r.area.slotSize), stamp);
        }
        if (length == 0 && loop.how.roundTrips != nullptr)
            loop.how.roundTrips->returned(bytes, 0, arrival.nanoseconds != 0 ? arrival.nanoseconds : realtimeNanoseconds());
        r.received.datagrams += datagrams;
        if (arrival.trafficClass >= 0)
            r.received.dscp[static_cast<std::size_t>(arrival.trafficClass) >> 2] += datagrams;
        r.senders.add(r.area.senders[i]);
        if (loop.reflector != nullptr)
            loop.reflector->add(r.area.senders[i], arrival.to, bytes, length, arrival.each, arrivedAt);
        taken += length;
    }
    if (loop.reflector != nullptr)
        loop.reflector->send();
    r.received.receives += static_cast<std::uint64_t>(count);
    r.received.bytes += taken;
    return taken;
}

// The share of a probe run intact so far, of the numbers up to the highest seen.
std::string probeStatus(const LiveProbes &probes)
{
    const auto run = probes.shownRun();
    const auto found = run ? probes.tally().runs.find(*run) : probes.tally().runs.end();
    if (found == probes.tally().runs.end())
        return "";
    const double intact = static_cast<double>(probe::figuresOf(found->second).intact);
    char text[48];
    snprintf(text, sizeof text, "; run %08x: %.1f %% so far", *run,
             100.0 * intact / (static_cast<double>(found->second.highest) + 1));
    return text;
}

void showReceiving(const Loop &loop)
{
    const Receiving &how = loop.how;
    const Receiver &r = loop.r;
    const bool sending = how.sendingDoneAt != nullptr && std::isinf(how.sendingDoneAt->load());
    if (sending || !how.reports.status->due(how.reports))  // L's sending shows its own
        return;
    const double seconds = r.received.last - r.received.first;
    const Drops dropped = dropsOf(droppedBy(loop.sock), how.datagrams, r.received);
    const std::string verdict = how.probes != nullptr ? probeStatus(*how.probes) : "";
    how.reports.status->draw("received %" PRIu64 " datagrams, %.0f/s, %s%" PRIu64 " dropped%s", r.received.datagrams,
               seconds > 0 ? static_cast<double>(r.received.datagrams) / seconds : 0.0,
               dropped.estimated ? "about " : "", dropped.datagrams, verdict.c_str());
}

// The least memory the kernel charges a socket for a datagram it queues, an empty one
// included: its own bookkeeping (measured here: 832 bytes for an empty one on loopback).
constexpr std::size_t LEAST_QUEUED_SIZE = 256;

// Takes what the socket held when the stop came: it refuses every later datagram, so the
// queue runs dry, and however fast a flood comes nothing that arrived after the stop is
// printed. Bounded all the same by the most datagrams its buffer could hold.
void takeQueued(Loop &loop)
{
    int buffer = 0;
    socklen_t size = sizeof buffer;
    getsockopt(loop.sock, SOL_SOCKET, SO_RCVBUF, &buffer, &size);
    const std::size_t most = static_cast<std::size_t>(buffer) / LEAST_QUEUED_SIZE + SLOTS;
    for (std::size_t taken = 0; taken < most;) {
        const int got = receiveBatch(loop.sock, loop.r.area);
        if (got <= 0)
            break;
        takeBatch(loop, got);
        taken += static_cast<std::size_t>(got);
        if (loop.r.lines.writeAll().failed())  // reported as the loop ends
            break;
    }
}

// Every ending of the loop writes out the lines held and reports what was received: with
// -i the last interval first, of the same counts. The time is the span of the arrivals.
Ending endReceiving(std::uint64_t droppedCount, Loop &loop, Ending ending)
{
    Receiver &r = loop.r;
    const Receiving &how = loop.how;
    const Ending written = r.lines.writeAll();
    r.received.senders = r.senders.count();
    r.received.sendersEstimated = r.senders.estimated();
    const Drops dropped = dropsOf(droppedCount, how.datagrams, r.received);
    const double span = r.received.last - r.received.first;
    const bool lastInterval = loop.intervals.on() && span > loop.intervalStart;
    loop.intervals.close(receivedSoFar(r, dropped, span));
    if (lastInterval)
        reportOtherIntervals(loop, span);
    reportReceiving(how.reports, r.received, dropped);
    if (how.probes != nullptr)
        reportProbes(how.reports, *how.probes);
    if (how.roundTrips != nullptr)
        reportRoundTrips(how.reports, how.roundTrips->whole(), how.roundTrips->sentAs());
    if (loop.reflector != nullptr)
        reportEchoed(how.reports, loop.reflector->echoed());
    return written.failed() && !ending.failed() ? written : ending;
}

// Seconds left before the idle end that -w asks for; without it, no end.
double idleLeft(const Receiver &r, double start, const Receiving &how)
{
    if (how.idleSeconds <= 0)
        return INFINITY;
    const double sendingDone = how.sendingDoneAt != nullptr ? how.sendingDoneAt->load() : start;
    if (std::isinf(sendingDone))
        return how.idleSeconds;  // not while sending: look again after this long
    return std::max({start, r.received.last, sendingDone}) + how.idleSeconds - secondsNow();
}

// Sleeps until a datagram arrives or a stop is asked, or for `seconds` at the most.
void awaitArrival(int sock, double seconds)
{
    pollfd ready[] = {{sock, POLLIN, 0}, {stopNotice(), POLLIN, 0}};
    constexpr double LONGEST_WAIT = 24 * 3600.0;  // the caller looks again
    const timespec wait = durationOf(std::min(seconds, LONGEST_WAIT));
    ppoll(ready, 2, &wait, nullptr);  // an interruption or a stop: the caller looks at stopAsked()
}

// Sleeps for a while, or until a stop is asked.
void pauseFor(int milliseconds)
{
    pollfd stop{stopNotice(), POLLIN, 0};
    poll(&stop, 1, milliseconds);
}

// L's kernel queues a stamp for every datagram it sends, and wakes a listener waiting on
// the socket for each one, at a cost to the sending as large as the send itself: while
// they come the listener gathers them every so often instead. What comes back meanwhile
// waits in the socket with its time of arrival already taken.
constexpr int STAMPS_PAUSE_MS = 1;

// After a failed receive the listener waits before it tries again, longer while failures
// repeat, so that one that persists neither fills standard error nor takes a whole core.
constexpr int FIRST_PAUSE_MS = 1;
constexpr int LONGEST_PAUSE_MS = 1024;

}  // namespace

Ending receiveUntilEnd(int sock, ReceiveMemory &memory, const Receiving &how)
{
    Receiver &r = memory.parts();
    const double start = secondsNow();
    if (how.echo != Echo::None)
        r.reflector.emplace(sock, how.echoBitsPerSecond);
    Loop loop{sock, r, how, ReceivedIntervals(how.reports, receivedInterval), r.reflector ? &*r.reflector : nullptr,
              static_cast<double>(realtimeNanoseconds()) / 1e9 - start};
    const auto end = [&](const Ending &ending) { return endReceiving(droppedBy(sock), loop, ending); };
    int pause = 0;
    for (;;) {
        if (stopAsked()) {
            const std::uint64_t dropped = droppedBy(sock);  // before the refused ones count among them
            refuseArrivals(sock);
            takeQueued(loop);
            return endReceiving(dropped, loop, stoppedBy(stopSignalCaught()));
        }
        const int got = receiveBatch(sock, r.area);
        if (got >= 0) {
            if (how.roundTrips != nullptr)  // the send times of what came back were stamped before it left
                readAnswers(sock, *how.answers, how.roundTrips);
            takeBatch(loop, got);
            if (const Ending written = r.lines.writeAll(); written.failed())
                return end(written);
            showReceiving(loop);
            pause = 0;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A queued answer or stamp would end every wait at once.
            const std::size_t queued = how.answers != nullptr ? readAnswers(sock, *how.answers, how.roundTrips) : 0;
            const double left = idleLeft(r, start, how);
            if (left <= 0)
                return end({});
            const double now = secondsNow();
            reportIfDue(loop, now);  // every datagram before its end has been read
            if (queued > 0 && how.roundTrips != nullptr)
                pauseFor(STAMPS_PAUSE_MS);
            else
                awaitArrival(sock, std::min(left, loop.intervals.secondsLeft(now)));
        } else if (errno == EINTR) {
            continue;
        } else if (how.answers != nullptr && leftByAnAnswer(errno)) {
            readAnswers(sock, *how.answers, how.roundTrips);  // this call took its pending error: no send will be refused by it
            continue;
        } else if (how.onFailure == ReceiveFailure::EndsTheRun) {
            return end(failure("recvfrom"));
        } else {
            tellFailure(failure("recvfrom"));
            pause = std::min(pause == 0 ? FIRST_PAUSE_MS : 2 * pause, LONGEST_PAUSE_MS);
            pauseFor(pause);
        }
    }
}

Ending receiveMode(const CommandLine &command)
{
    unbufferStandardOutput();
    const Options &options = command.options;
    Address local;
    if (const Ending found = localAddress(options.source, command.port, options.family, local); found.failed())
        return found;
    int sock = -1;
    if (const Ending made = makeAndShowSocket(sock, local.family()); made.failed())
        return made;
    if (options.family == Family::IPv6)  // -6: no IPv4, even on any address
        keepToIPv6(sock);
    StatusLine status;
    ReceiveMemory memory(options.datagrams, static_cast<std::size_t>(options.takeMost), options.echo, status);
    prepareReceiving(sock, options.datagrams);
    if (options.echo != Echo::None)
        askForSentToAddress(sock, local.family());
    if (reporting(options.reports))
        askForTrafficClass(sock, local.family());
    const Ending bound = bindTo(sock, local);
    printf("Receiver:bind is %d, Receiving, port: %d\n", bound.failed() ? -1 : 0,
           bound.failed() ? command.port & 0xFFFF : boundPort(sock));
    if (const Ending out = flushOutput(); out.failed())
        return out;
    if (bound.failed())
        return bound;
    if (const Ending caught = catchStopSignals(-1); caught.failed())
        return caught;
    Reporting reports = options.reports;
    reports.status = &status;
    Receiving how{options.idleSeconds, reports, ReceiveFailure::EndsTheRun, options.datagrams};
    how.echo = options.echo;
    how.echoBitsPerSecond = options.bitsPerSecond;
    const auto probes = std::make_unique<LiveProbes>(options.run);
    how.probes = probes.get();
    return receiveUntilEnd(sock, memory, how);
}
