// Round trips and the reflector's refusals in-process: what is timed, from which send time,
// and what is not, and why.
#include "../src/echo.hpp"
#include "../src/live_probes.hpp"
#include "../src/report.hpp"
#include "../src/round_trips.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// One step of a run: datagrams handed over, the time after the call, a kernel stamp, a
// datagram that comes back, or a restart of the kernel's numbering.
struct Step {
    enum { Sending, Sent, Stamped, Returned, Restart } what;
    std::vector<std::string> texts;  // Sending: the datagrams; Returned: the one
    std::uint64_t number = 0;        // Sending: the first key; Sent: the key; Stamped: the kernel's id
    std::int64_t at = 0;             // ns
    std::uint64_t position = 0;      // Sending: of the first in the sending
    Stamps stamps = Stamps::EachDatagram;
};

TEST(RoundTrips, EachReturnIsTimedFromItsBestSendTimeOrCountedWhyNot)
{
    const auto send = [](std::vector<std::string> texts, std::uint64_t key, std::int64_t at, std::uint64_t position,
                         Stamps stamps = Stamps::EachDatagram) {
        return Step{Step::Sending, std::move(texts), key, at, position, stamps};
    };
    const auto back = [](std::string text, std::int64_t at) { return Step{Step::Returned, {std::move(text)}, 0, at}; };
    const auto stamp = [](std::uint64_t id, std::int64_t at) { return Step{Step::Stamped, {}, id, at}; };
    const auto after = [](std::uint64_t key, std::int64_t at) { return Step{Step::Sent, {}, key, at}; };
    const struct {
        const char *name;
        std::vector<Step> steps;
        std::vector<std::uint64_t> counts;  // timed, ambiguous, unmatched, duplicates, timed by the clock
        std::int64_t median;                // ns
    } cases[] = {
        {"a stamp over the clock", {send({"a", "b"}, 0, 100, 0), after(0, 900), stamp(0, 150), back("a", 1150)}, {1, 0, 0, 0, 0}, 1000},
        {"the clock after the call", {send({"a"}, 0, 100, 0), after(0, 900), back("a", 1900)}, {1, 0, 0, 0, 1}, 1000},
        {"a stamp does not give way", {send({"a"}, 0, 100, 0), stamp(0, 200), after(0, 900), back("a", 1200)}, {1, 0, 0, 0, 0}, 1000},
        {"foreign, and a duplicate", {send({"a"}, 0, 0, 0), back("x", 10), back("a", 1000), back("a", 2000)}, {1, 0, 1, 1, 1}, 1000},
        {"sent again from its place", {send({"a"}, 0, 0, 7), send({"a"}, 0, 500, 7), back("a", 1500)}, {1, 0, 0, 0, 1}, 1000},
        {"the same bytes from two places", {send({"a", "a"}, 0, 0, 0), back("a", 10), back("a", 20)}, {0, 2, 0, 0, 0}, 0},
        {"a block shares one stamp", {send({"a", "b"}, 0, 0, 0, Stamps::EachBlock), stamp(0, 500), back("b", 1500)}, {1, 0, 0, 0, 0}, 1000},
        {"a restart numbers stamps anew",
         {send({"a"}, 0, 0, 0), after(0, 10), Step{Step::Restart, {}}, send({"b"}, 1, 100, 1), stamp(0, 500), back("a", 1010), back("b", 1500)},
         {2, 0, 0, 0, 1}, 1000},
        {"an empty datagram", {send({""}, 0, 0, 0), back("", 1000)}, {1, 0, 0, 0, 1}, 1000},
        {"the same words in another order",
         {send({"AAAAAAAABBBBBBBB", "BBBBBBBBAAAAAAAA"}, 0, 0, 0), back("BBBBBBBBAAAAAAAA", 1000)}, {1, 0, 0, 0, 1}, 1000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto trips = std::make_unique<RoundTrips>();
        for (const Step &s : c.steps) {
            std::vector<iovec> datagrams;
            for (const std::string &t : s.texts)
                datagrams.push_back({const_cast<char *>(t.data()), t.size()});
            if (s.what == Step::Sending)
                trips->sending(datagrams.data(), datagrams.size(), s.position, s.number, s.stamps, s.at);
            else if (s.what == Step::Sent)
                trips->sent(s.number, 1, s.at);
            else if (s.what == Step::Stamped)
                trips->stamped(s.number, s.at);
            else if (s.what == Step::Restart)
                EXPECT_EQ(trips->restartKeys(), 1u);
            else
                trips->returned(s.texts[0].data(), s.texts[0].size(), s.at);
        }
        const RoundTripFigures &got = trips->whole();
        EXPECT_EQ(std::vector({got.timed, got.ambiguous, got.unmatched, got.duplicates, got.byClock}), c.counts);
        EXPECT_EQ(got.delays.percentile(0.5).value_or(0), c.median);
        EXPECT_EQ(got.variations, got.timed > 0 ? got.timed - 1 : 0);  // between consecutive ones
    }
}

// A send time is held for the last KEYS_KEPT keys at most: one that came back after a
// later key took its place is unmatched, never timed from the later one's time.
TEST(RoundTrips, SendTimesPastTheBoundAreForgotten)
{
    const auto trips = std::make_unique<RoundTrips>();
    std::string first = "first", later = "later";
    const iovec sent[] = {{first.data(), first.size()}, {later.data(), later.size()}};
    trips->sending(&sent[0], 1, 0, 0, Stamps::EachDatagram, 0);
    trips->sending(&sent[1], 1, 1, RoundTrips::KEYS_KEPT, Stamps::EachDatagram, 100);
    trips->returned(first.data(), first.size(), 500);
    trips->returned(later.data(), later.size(), 500);
    EXPECT_EQ(std::vector({trips->whole().unmatched, trips->whole().timed}), std::vector<std::uint64_t>({1, 1}));
}

// An address and port as a socket gives a sender's: sin_port and sin6_port lie at one place.
sockaddr_storage from(const char *address, std::uint16_t port)
{
    sockaddr_storage storage{};
    auto &v4 = reinterpret_cast<sockaddr_in &>(storage);
    const bool ipv4 = inet_pton(AF_INET, address, &v4.sin_addr) == 1;
    EXPECT_TRUE(ipv4 || inet_pton(AF_INET6, address, &reinterpret_cast<sockaddr_in6 &>(storage).sin6_addr) == 1);
    v4.sin_family = ipv4 ? AF_INET : AF_INET6;
    v4.sin_port = htons(port);
    return storage;
}

// Nothing goes back where it could come back from again, or to many at once.
TEST(Echo, RefusesWhatCouldLoopOrAmplify)
{
    const std::optional<NotEchoed> echoed;
    const struct {
        const char *address;
        std::uint16_t port;
        std::optional<NotEchoed> want;
    } cases[] = {
        {"127.0.0.1", 30000, echoed}, {"::1", 1024, echoed}, {"::ffff:10.0.0.1", 40000, echoed},
        // another reflector on the same port, or itself
        {"10.0.0.1", 7777, NotEchoed::FromOwnPort}, {"::ffff:127.0.0.1", 7777, NotEchoed::FromOwnPort},
        {"10.0.0.1", 7, NotEchoed::FromServicePort}, {"fe80::1", 1023, NotEchoed::FromServicePort},
        {"10.0.0.1", 0, NotEchoed::FromPortZero}, {"255.255.255.255", 5000, NotEchoed::FromGroupAddress},
        {"224.0.0.1", 5000, NotEchoed::FromGroupAddress}, {"0.0.0.0", 5000, NotEchoed::FromGroupAddress},
        {"::ffff:239.1.1.1", 5000, NotEchoed::FromGroupAddress}, {"ff02::1", 5000, NotEchoed::FromGroupAddress},
        {"::", 5000, NotEchoed::FromGroupAddress},
    };
    for (const auto &c : cases)
        EXPECT_EQ(refusalOf(from(c.address, c.port), 7777), c.want) << c.address << " port " << c.port;
}

// A run's timed chunks, arriving with the transits given (arrival less send time, in ns):
// RFC 3550's jitter over consecutive ones, and the delays above the least, whichever of
// the two clocks is ahead.
TEST(Probes, JitterAndDelaysAboveTheLeastOfTimedChunks)
{
    const struct {
        std::vector<std::int64_t> transits;
        double jitter;
        std::int64_t median, most;
    } cases[] = {
        {{100, 300, 200, 200}, 16.845703125, 100, 200},  // 200/16, then +(100-J)/16, then -J/16
        {{500, 300, 400}, 12.5 + (100 - 12.5) / 16, 100, 200},  // below the first: the least is 300
        {{7}, 0, 0, 0},
    };
    const auto layout = probe::layoutOf(100 * 1000, 1000, probe::TIMED_HEADER).value();
    for (const auto &c : cases) {
        LiveProbes probes(std::nullopt);
        std::vector<char> chunk(1000);
        for (std::size_t i = 0; i < c.transits.size(); ++i) {
            const std::int64_t sent = 1'000'000'000'000 + static_cast<std::int64_t>(i) * 1'000'000;
            probe::writeTimedChunk(chunk.data(), 0xabcdef01, i, layout, sent);
            probes.arrived(chunk.data(), chunk.size(), sent + c.transits[i]);
        }
        const OneWay *w = probes.oneWayOf(0xabcdef01);
        ASSERT_NE(w, nullptr);
        EXPECT_DOUBLE_EQ(w->jitter, c.jitter);
        EXPECT_EQ(w->aboveLeast(0.5), c.median);
        EXPECT_EQ(w->aboveLeast(1), c.most);
        EXPECT_EQ(probes.takeInterval().intact, c.transits.size());
    }
}

// A million forged chunks of as many runs take the memory of the first 1000 alone.
TEST(Probes, ForgedRunsStayWithinTheBounds)
{
    const auto layout = probe::layoutOf(1000, 1000, probe::TIMED_HEADER).value();
    LiveProbes probes(std::uint32_t{999'999});  // --run: kept, whenever it comes
    std::vector<char> chunk(1000);
    for (std::uint32_t run = 0; run < 1'000'000; ++run) {
        probe::writeTimedChunk(chunk.data(), run, 0, layout, run);
        probes.arrived(chunk.data(), chunk.size(), 0);
    }
    EXPECT_EQ(probes.tally().runs.size(), probe::RUNS_KEPT + 1);
    EXPECT_EQ(probes.tally().linesPastRuns, 1'000'000 - probe::RUNS_KEPT - 1);
    EXPECT_NE(probes.oneWayOf(999'999), nullptr);
    EXPECT_EQ(probes.oneWayOf(5'000), nullptr);
}

TEST(Report, RoundTripsAndEchoesInOneLineEach)
{
    RoundTripFigures figures;
    figures.timed = 3;
    figures.ambiguous = 1;
    figures.unmatched = 2;
    for (const std::int64_t ns : {31'000, 41'000, 2'000'000})
        figures.delays.add(ns);
    figures.variationSum = 10'000 + 1'959'000;
    figures.variations = 2;
    EXPECT_EQ(roundTripsText(figures), "3 timed (1 ambiguous, 2 unmatched, 0 duplicates), min 0.031, median 0.041, p90 2.000, "
                                       "p99 2.000, p99.9 2.000, max 2.000, mean 0.691, variation 0.985 ms");
    RoundTripFigures none;
    none.unmatched = 5;
    EXPECT_EQ(roundTripsText(none), "0 timed (0 ambiguous, 5 unmatched, 0 duplicates)");
    Echoed echoed;
    echoed.datagrams = 1;
    echoed.notEchoed[static_cast<std::size_t>(NotEchoed::OverTheRate)] = 4;
    echoed.refusedByHost[0] = {ENOBUFS, 2};
    EXPECT_EQ(echoedText(echoed), "echoed 1 datagram; not echoed: 4 beyond the rate of -b; refused by this host: 2 (" +
                                      std::string(strerror(ENOBUFS)) + ")");
}

}  // namespace
