// R mode: the header lines, one line per datagram, failures, and no line lost on a stop.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {


std::string header(std::uint16_t port, int bound = 0)
{
    return "socket is 3\nReceiver:bind is " + std::to_string(bound) + ", Receiving, port: " +
           std::to_string(port) + "\n";
}

TEST(Receive, WritesTheHeaderLinesAndIgnoresLaterArguments)
{
    const std::uint16_t port = freePort();
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"R", "unused", std::to_string(port)}, header(port)},
        {{"Receive", "unused", std::to_string(port + 65536)}, header(port)},
        {{"R", "unused", "99999999999"}, header(65535)},  // past 32 bits: the largest int's low 16 bits
        {{"R", "unused", std::to_string(port), "1.2.3.4", "-7"}, header(port)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        Child receiver(frandle(c.args));
        EXPECT_TRUE(receiver.waitForOut(c.out, 2s)) << receiver.out();
        EXPECT_TRUE(receiver.running());
        EXPECT_EQ(receiver.stop(SIGTERM), 128 + SIGTERM);
        EXPECT_EQ(receiver.out(), c.out);
    }
}

// Port 0 lets the system pick one; the header shows which, and datagrams sent there print.
TEST(Receive, APortOfZeroShowsThePortTheSystemChose)
{
    Child receiver(frandle({"R", "unused", "0"}));
    ASSERT_TRUE(receiver.waitForOut("port: ", 2s));  // the line comes in one write
    const std::string out = receiver.out();
    const auto at = out.find("port: ");
    const int port = std::stoi(out.substr(at + 6));
    EXPECT_EQ(out, header(static_cast<std::uint16_t>(port)));
    EXPECT_NE(port, 0);
    Udp().sendTo(static_cast<std::uint16_t>(port), "found");
    EXPECT_TRUE(receiver.waitForOut("rcvd found\n", 1s));
    EXPECT_EQ(receiver.stop(SIGTERM), 128 + SIGTERM);
}

// A peer's control bytes must not reach a terminal raw: they show as escapes there, however
// many of the longest lines wait at once; a status line follows on standard error.
TEST(Receive, OnATerminalControlBytesShowAsEscapes)
{
    const std::uint16_t port = freePort();
    std::string worst;  // of 65507 bytes that are each escaped
    for (int i = 0; i < 65507; ++i)
        worst += "\\x9b";
    const struct {
        std::vector<std::string> options;
        std::string datagram, line;
        std::size_t queued;  // while the receiver is held still
    } cases[] = {
        {{}, "\x1b[31mred\\x1b\a\tok\nnext\x7f\x80\xc3\xa9", "rcvd \\x1b[31mred\\\\x1b\\x07\tok\nnext\\x7f\\x80\xc3\xa9\n", 1},
        {{"-l", "65507"}, std::string(65507, '\x9b'), "rcvd " + worst + "\n", largeTransfer(32 * 65507) / 65507},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        std::vector<std::string> args = {"R", "-", std::to_string(port)};
        args.insert(args.end(), c.options.begin(), c.options.end());
        OnTerminal receiver(frandle(args), {STDOUT_FILENO, STDERR_FILENO});
        EXPECT_NE(receiver.readUntil(header(port)).find(header(port)), std::string::npos);
        kill(receiver.pid(), SIGSTOP);
        const Udp sender;
        std::string expected = header(port);
        for (std::size_t i = 0; i < c.queued; ++i, expected += c.line)
            sender.sendTo(port, c.datagram);
        kill(receiver.pid(), SIGCONT);
        // The rate is of the arrivals, as the kernel stamped them while the receiver was held.
        const std::string status = "\rreceived " + std::to_string(c.queued) + " datagrams, ";
        const std::string shown = receiver.readUntil(" 0 dropped\033[K", 10s);
        EXPECT_TRUE(shown.compare(0, expected.size() + status.size(), expected + status) == 0) << "lost or garbled lines";
        EXPECT_NE(shown.find("/s, 0 dropped\033[K", expected.size()), std::string::npos);
        EXPECT_EQ(receiver.stop(SIGTERM), 128 + SIGTERM);
    }
}

// With -w, R ends by itself once nothing has arrived for that long, every line written, with
// status 0; -v reports what came, from how many senders, and how many were cut.
TEST(Receive, AnIdleEndWritesEveryLineAndReports)
{
    const std::uint16_t port = freePort();
    Child receiver(frandle({"-v", "-w", "0.5", "R", "-", std::to_string(port)}));
    ASSERT_TRUE(receiver.waitForOut(header(port)));
    const Udp one;
    const Udp two;
    one.sendTo(port, "first");
    one.sendTo(port, "");  // counted, though it prints nothing
    two.sendTo(port, std::string(2000, 'x'));
    two.sendTo(port, std::string(1399, 'y'));  // the most a line takes: not cut
    std::this_thread::sleep_for(200ms);         // the report's time spans first to last
    one.sendTo(port, "third");
    EXPECT_EQ(receiver.wait(5s), 0);
    EXPECT_EQ(receiver.out(), header(port) + "rcvd first\nrcvd " + std::string(1399, 'x') + "\nrcvd " +
                                  std::string(1399, 'y') + "\nrcvd third\n");
    const std::string err = receiver.err();
    const std::string start = "received 5 datagrams, 3409 bytes, from 2 senders, in ";
    ASSERT_EQ(err.rfind(start, 0), 0u) << err;
    const double seconds = std::stod(err.substr(start.size()));
    EXPECT_GE(seconds, 0.19) << err;
    EXPECT_LE(seconds, 5.0) << err;  // within the test's own wait
    const std::string end = "; dropped by this socket, its buffer full: 0; cut to 1399 bytes: 1\ndscp cs0: 5\n";
    EXPECT_TRUE(err.size() > end.size() && err.compare(err.size() - end.size(), end.size(), end) == 0) << err;
}

// The sum of a count over the interval reports, as 64-bit integers.
std::uint64_t sumOf(const std::vector<Json> &intervals, const std::string &name)
{
    std::uint64_t sum = 0;
    for (const Json &interval : intervals)
        sum += interval.at(name).get<std::uint64_t>();
    return sum;
}

// Paced for about a second, with -i and -J at both ends: each line is a JSON object, the
// interval reports add up to the final one exactly, one cut datagram included, and the
// final one's time is the paced second's at least, and the test's own wait at most.
TEST(Receive, IntervalReportsAddUpToTheFinalOne)
{
    const std::string port = std::to_string(freePort());
    Child receiver(frandle({"-i", "0.7", "-J", "R", "-", port}));
    ASSERT_TRUE(receiver.waitForOut("Receiving, port: " + port + "\n"));
    const std::string text = textBytes(48000);
    const TempFile file(text);
    const auto start = std::chrono::steady_clock::now();
    Udp().sendTo(static_cast<std::uint16_t>(std::stoi(port)), std::string(1500, 'c'));
    const Outcome sent = run({"-i", "0.2", "--json", "-b", "400k", "S", file.path(), port, "127.0.0.1", "1000"});
    EXPECT_EQ(sent.out, "sending done 48\n");
    // Stopped soon after the last line is in, at about 1.2 s, mid-interval: the last report
    // closes it.
    EXPECT_TRUE(receiver.waitForOut(datagramLines(text.substr(47000), 1000), 2s));
    EXPECT_EQ(receiver.stop(SIGTERM), 128 + SIGTERM);
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;

    const struct {
        std::string err, interval, final;
        std::size_t leastIntervals;  // for the second or so the sending takes
        std::vector<std::pair<std::string, std::uint64_t>> counts;  // name, final count
    } ends[] = {
        {sent.err, "interval-sent", "sent", 4, {{"datagrams", 48}, {"bytes", 48000}, {"answers", 0}}},
        {receiver.err(), "interval-received", "received", 1, {{"datagrams", 49}, {"bytes", 49500}, {"cut", 1}, {"dropped", 0}}},
    };
    for (const auto &end : ends) {
        SCOPED_TRACE(end.err);
        auto reports = jsonReports(end.err);
        const std::vector<Json> &intervals = reports[end.interval];
        ASSERT_EQ(reports[end.final].size(), 1u);
        EXPECT_GE(intervals.size(), end.leastIntervals);
        const Json &last = reports[end.final][0];
        EXPECT_TRUE(last.at("seconds") >= 0.9 && last.at("seconds") <= waited.count()) << last;
        for (const auto &[name, count] : end.counts) {
            EXPECT_EQ(sumOf(intervals, name), count) << name;
            if (last.contains(name)) {  // the answers' count is in a report of its own
                EXPECT_EQ(last.at(name).get<std::uint64_t>(), count) << name;
            }
        }
        for (std::size_t i = 1; i < intervals.size(); ++i)  // each one from where the one before ended
            EXPECT_EQ(intervals[i].at("start"), intervals[i - 1].at("end"));
    }
}

// Datagrams sent while the receiver is held still overflow its socket: the report counts
// them, exactly when they come one packet each, and every one not dropped is printed.
// Coalesced, the socket counts blocks, and the report gives an estimate that says so.
TEST(Receive, TheReportCountsWhatTheSocketDropped)
{
    const struct {
        std::string options;
        std::size_t block;  // datagrams the sender hands over in one send
        std::string count;  // how the report gives the count
    } cases[] = {{"", 1, ""}, {"", 46, ""}, {"-O", 46, "about "}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options);
        const std::uint16_t port = freePort();
        Child receiver(frandle({"-v", "R", "-", std::to_string(port), c.options}));
        ASSERT_TRUE(receiver.waitForOut(header(port)));
        const Udp sender;
        sender.sendTo(port, std::string(1000, 'd'));  // read before the hold, the rest after it
        ASSERT_TRUE(receiver.waitForOut(header(port) + "rcvd "));
        kill(receiver.pid(), SIGSTOP);
        const long kernelBefore = kernelCount("Udp", "RcvbufErrors");
        const std::size_t sent = std::min<std::size_t>(2 * largeTransfer(SIZE_MAX) / 1000 + 2000, 100000) / 46 * 46 + 1;
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 1; i < sent; i += c.block)
            c.block == 1 ? sender.sendTo(port, std::string(1000, 'd')) : sender.sendCut(port, std::string(1000 * c.block, 'd'), 1000);
        const std::chrono::duration<double> sending = std::chrono::steady_clock::now() - start;
        std::this_thread::sleep_for(500ms);  // a reader held up must not stretch the time of arrivals
        kill(receiver.pid(), SIGCONT);
        const std::string line = "rcvd " + std::string(1000, 'd') + "\n";
        std::size_t printed = 0;
        for (int tries = 0; tries < 100; ++tries) {  // until the count stays put
            std::this_thread::sleep_for(50ms);
            const std::size_t now = receiver.out().size();
            if (now == printed && now > 0)
                break;
            printed = now;
        }
        EXPECT_EQ(receiver.stop(SIGTERM), 128 + SIGTERM);
        const std::string err = receiver.err();
        const std::string tag = "dropped by this socket, its buffer full: " + c.count;
        const auto at = err.find(tag);
        ASSERT_NE(at, std::string::npos) << err;
        const std::size_t dropped = std::stoul(err.substr(at + tag.size()));
        const std::size_t lines = (receiver.out().size() - header(port).size()) / line.size();
        EXPECT_GT(dropped, 0u);
        if (c.count.empty()) {
            EXPECT_EQ(lines + dropped, sent) << err;
            EXPECT_EQ(static_cast<long>(dropped), kernelCount("Udp", "RcvbufErrors") - kernelBefore) << err;  // the kernel's own
        } else {
            // Blocks of 46 throughout: the estimate is close.
            EXPECT_NEAR(static_cast<double>(lines + dropped), static_cast<double>(sent), 0.05 * static_cast<double>(sent)) << err;
        }
        EXPECT_EQ(err.find("(an estimate") != std::string::npos, !c.count.empty()) << err;
        EXPECT_EQ(err.rfind("received " + std::to_string(lines) + " datagrams, " + std::to_string(lines * 1000) + " bytes, ", 0), 0u) << err;
        EXPECT_NE(err.find(", from 1 sender, "), std::string::npos) << err;
        const auto in = err.find(", in ");
        ASSERT_NE(in, std::string::npos) << err;
        EXPECT_LT(std::stod(err.substr(in + 5)), sending.count() + 0.25) << err;
    }
}

struct Arrival {
    std::string datagram;
    std::string line;
    std::size_t cutInto = 0;  // sent as one block that the kernel cuts into datagrams of this size
};

void send(const Udp &sender, std::uint16_t port, const Arrival &arrival)
{
    if (arrival.cutInto > 0)
        sender.sendCut(port, arrival.datagram, arrival.cutInto);
    else
        sender.sendTo(port, arrival.datagram);
}

std::vector<Arrival> arrivals()
{
    using namespace std::string_literals;
    return {
        {"hello", "rcvd hello\n"},
        {"", ""},  // empty: no line
        {std::string(1000, 'a'), "rcvd " + std::string(1000, 'a') + "\n"},
        {"xyz", "rcvd xyz\n"},  // nothing of the longer one before it
        {std::string(1399, 'b'), "rcvd " + std::string(1399, 'b') + "\n"},
        {std::string(1399, 'c') + "cut", "rcvd " + std::string(1399, 'c') + "\n"},
        {"ab\0cd"s, "rcvd ab\n"},
        {"one\ntwo\n", "rcvd one\ntwo\n\n"},
        // Blocks of equal datagrams, which a receiver may be handed whole: still a line each.
        {std::string(300, 'd'), "rcvd " + std::string(100, 'd') + "\n" + "rcvd " + std::string(100, 'd') + "\n" +
                                    "rcvd " + std::string(100, 'd') + "\n", 100},
        {std::string(250, 'e'), "rcvd " + std::string(100, 'e') + "\nrcvd " + std::string(100, 'e') + "\nrcvd " +
                                    std::string(50, 'e') + "\n", 100},
        {std::string(4000, 'f'), "rcvd " + std::string(1399, 'f') + "\nrcvd " + std::string(1399, 'f') + "\n", 2000},
        {"g\0h\0ij"s, "rcvd g\nrcvd h\nrcvd ij\n", 2},
        {std::string(46 * 1396, 'k'), datagramLines(std::string(46 * 1396, 'k'), 1396), 1396},
    };
}

// -l takes more of a datagram, up to the largest, or less.
std::vector<Arrival> arrivalsTaking(std::size_t most)
{
    const std::string largest = textBytes(65507);
    const std::size_t jumbo = std::min<std::size_t>(most, 8972);
    return {
        {largest, "rcvd " + largest.substr(0, most) + "\n"},
        {std::string(std::min<std::size_t>(most + 1, 65507), 'l'), "rcvd " + std::string(most, 'l') + "\n"},
        {std::string(3 * 8972, 'j'), datagramLines(std::string(3 * jumbo, 'j'), jumbo), 8972},
    };
}

TEST(Receive, PrintsEachDatagramAsOneLineWhileRunning)
{
    const struct {
        std::vector<std::string> options;
        std::vector<Arrival> arrivals;
        std::size_t most;  // bytes taken of a datagram
    } cases[] = {{{}, arrivals(), 1399}, {{"-l", "65507"}, arrivalsTaking(65507), 65507}, {{"--length", "100"}, arrivalsTaking(100), 100}};
    for (const auto &[options, arrivals, most] : cases) {
        SCOPED_TRACE(testing::PrintToString(options));
        std::size_t cut = 0;  // datagrams longer than that
        for (const auto &a : arrivals) {
            const std::size_t each = a.cutInto > 0 ? a.cutInto : std::max<std::size_t>(a.datagram.size(), 1);
            for (std::size_t at = 0; at < a.datagram.size(); at += each)
                cut += std::min(each, a.datagram.size() - at) > most ? 1 : 0;
        }
        const std::uint16_t port = freePort();
        std::vector<std::string> args = {"-v", "R", "unused", std::to_string(port)};
        args.insert(args.end(), options.begin(), options.end());
        Child receiver(frandle(args));
        ASSERT_TRUE(receiver.waitForOut(header(port)));
        const Udp sender;
        std::string expected = header(port);
        for (const auto &c : arrivals) {
            send(sender, port, c);
            expected += c.line;
            // Written out within a second while the receiver keeps running, even to a file.
            EXPECT_TRUE(receiver.waitForOut(expected, 1s)) << c.line.substr(0, 100);
        }
        EXPECT_TRUE(receiver.running());
        EXPECT_EQ(receiver.stop(SIGTERM), 128 + SIGTERM);
        EXPECT_TRUE(receiver.out() == expected);
        const std::string counted = "; cut to " + std::to_string(most) + " bytes: " + std::to_string(cut) + "\n";
        EXPECT_NE(receiver.err().find(counted), std::string::npos) << receiver.err() << counted;
    }
}

TEST(Receive, APortInUseFailsAtTheBind)
{
    const Udp holder;
    const Outcome got = run({"R", "unused", std::to_string(holder.port())});
    EXPECT_EQ(got.out, header(holder.port(), -1));
    EXPECT_EQ(got.err, "bind: Address already in use\n");
    EXPECT_EQ(got.status, 1);
}

// R -e answers from the address a datagram was sent to, of either family: a client that
// connected its socket takes nothing from any other. One it must not answer, from a port
// below 1024, goes unanswered and counted.
TEST(Receive, AReflectorAnswersFromTheAddressItWasSentTo)
{
    const std::uint16_t port = freePort();
    Child reflector(frandle({"-J", "R", "-", std::to_string(port), "-e"}));
    ASSERT_TRUE(reflector.waitForOut("port: " + std::to_string(port)));
    const struct {
        int family;
        const char *to;
        std::uint16_t from;  // 0: any
        bool answered;
    } cases[] = {{AF_INET, "127.0.0.2", 0, true}, {AF_INET6, "::1", 0, true}, {AF_INET6, "::ffff:127.0.0.3", 0, true},
                 {AF_INET, "127.0.0.1", 1000, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.to);
        const int sock = socket(c.family, SOCK_DGRAM, 0);
        sockaddr_storage at{};
        auto &v4 = reinterpret_cast<sockaddr_in &>(at);
        auto &v6 = reinterpret_cast<sockaddr_in6 &>(at);
        v4.sin_family = static_cast<sa_family_t>(c.family);  // and v6's, at the same place
        v4.sin_port = htons(c.from);  // and v6's
        ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
        ASSERT_EQ(inet_pton(c.family, c.to, c.family == AF_INET ? static_cast<void *>(&v4.sin_addr) : &v6.sin6_addr), 1);
        v4.sin_port = htons(port);
        ASSERT_EQ(connect(sock, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
        ASSERT_EQ(::send(sock, "ping", 4, 0), 4);
        const timeval wait{0, 300'000};
        setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char back[8];
        EXPECT_EQ(recv(sock, back, sizeof back, 0), c.answered ? 4 : -1);
        close(sock);
    }
    EXPECT_EQ(reflector.stop(SIGTERM), 128 + SIGTERM);
    const Json echoed = jsonReports(reflector.err())["echoed"].at(0);
    EXPECT_EQ(echoed.at("datagrams"), 3) << echoed;
    EXPECT_EQ(echoed.at("from_service_port"), 1) << echoed;
}

// R's own verdict on the probe chunks it takes is the check's of its log, whatever a peer
// did to them: repeated, damaged, out of order or left out.
TEST(Receive, ItsProbeVerdictIsTheCheckOfItsLog)
{
    const std::uint16_t port = freePort();
    Child receiver(frandle({"-v", "R", "-", std::to_string(port)}));
    ASSERT_TRUE(receiver.waitForOut(header(port)));
    Child make({FRANDLE_PROBE_BIN, "make", "20000", "1000"});
    ASSERT_EQ(make.wait(), 0);
    const std::string probe = make.out();
    const auto chunk = [&](std::size_t n) { return probe.substr(n * 1000, 1000); };
    std::string damaged = chunk(5);
    damaged[900] ^= 1;
    const Udp sender;
    for (const std::string &d : {chunk(0), chunk(1), chunk(1), damaged, chunk(3), chunk(2), chunk(4), chunk(19), chunk(5)})
        sender.sendTo(port, d);
    sender.sendTo(port, "a stranger's datagram");
    EXPECT_TRUE(receiver.waitForOut("rcvd a stranger's datagram\n"));
    EXPECT_EQ(receiver.stop(SIGTERM), 128 + SIGTERM);
    const TempFile log(receiver.out());
    Child check({FRANDLE_PROBE_BIN, "check", log.path()});
    EXPECT_EQ(check.wait(), 1);
    const std::string run = check.out().substr(0, check.out().find('\n') + 1);
    EXPECT_NE(run.find("intact 7, missing 13, duplicated 2, out of order 2, damaged 0"), std::string::npos) << run;
    EXPECT_NE(receiver.err().find("\nprobe " + run), std::string::npos) << receiver.err() << run;
}

TEST(Receive, ShowsWhatSendModeSent)
{
    const std::string text = textBytes(3000);
    const TempFile file(text);
    const std::uint16_t port = freePort();
    Child receiver(frandle({"R", "unused", std::to_string(port)}));
    ASSERT_TRUE(receiver.waitForOut(header(port)));
    EXPECT_EQ(run({"S", file.path(), std::to_string(port), "127.0.0.1", "1000"}).out, "sending done 3\n");
    const std::string expected = header(port) + datagramLines(text, 1000);
    EXPECT_TRUE(receiver.waitForOut(expected, 1s));
    EXPECT_EQ(receiver.stop(SIGINT), 128 + SIGINT);
    EXPECT_EQ(receiver.out(), expected);
}

// As fast as the sender can go: every datagram becomes its line, whole and in order.
TEST(Receive, AWholeLargeTransferArrivesLineForLine)
{
    const std::string text = textBytes(largeTransfer(10'000'000));
    const TempFile file(text);
    const std::size_t count = (text.size() + 1395) / 1396;
    const std::uint16_t port = freePort();
    Child receiver(frandle({"R", "unused", std::to_string(port)}));
    ASSERT_TRUE(receiver.waitForOut(header(port)));
    EXPECT_EQ(run({"S", file.path(), std::to_string(port), "127.0.0.1"}).out,
              "sending done " + std::to_string(count) + "\n");
    EXPECT_TRUE(receiver.waitForOut(datagramLines(text.substr((count - 1) * 1396), 1396), 10s));
    EXPECT_EQ(receiver.stop(SIGTERM), 128 + SIGTERM);
    EXPECT_TRUE(receiver.out() == header(port) + datagramLines(text, 1396)) << "lost or garbled lines";
}

// Datagrams that queue up while the receiver is held still are taken many at a time. Each
// must print as if it had come alone, whether the receiver then goes on (0) or is stopped by
// a signal, which must not end the process before every one of them is in the file.
TEST(Receive, QueuedDatagramsPrintAsIfTheyCameOneByOne)
{
    const struct {
        int sig;
        std::string options;  // coalesced or not, the same lines
    } cases[] = {{0, ""}, {0, "-O"}, {SIGTERM, ""}, {SIGINT, "-O"}, {SIGHUP, ""}};
    for (const auto &[sig, options] : cases) {
        SCOPED_TRACE(std::to_string(sig) + " " + options);
        const std::uint16_t port = freePort();
        Child receiver(frandle({"R", "unused", std::to_string(port), options}));
        ASSERT_TRUE(receiver.waitForOut(header(port)));
        kill(receiver.pid(), SIGSTOP);
        const Udp senders[2];  // taking turns, with datagrams of every size
        std::string expected = header(port);
        for (int round = 0; round < 20; ++round) {  // more than one receive call takes
            for (const auto &c : arrivals()) {
                send(senders[expected.size() % 2], port, c);
                expected += c.line;
            }
        }
        if (sig != 0)
            kill(receiver.pid(), sig);
        kill(receiver.pid(), SIGCONT);
        if (sig == 0) {
            EXPECT_TRUE(receiver.waitForOut(expected, 2s));
            EXPECT_TRUE(receiver.running());
            EXPECT_EQ(receiver.stop(SIGTERM), 128 + SIGTERM);
        } else {
            EXPECT_EQ(receiver.wait(5s), 128 + sig);
        }
        EXPECT_EQ(receiver.out(), expected);
    }
}

// A stop signal that whoever started the receiver ignores (as nohup does for SIGHUP) stays
// ignored: the run goes on and prints what comes after it.
TEST(Receive, ASignalIgnoredByTheStarterStaysIgnored)
{
    const std::uint16_t port = freePort();
    Child receiver({"/bin/sh", "-c", "trap '' HUP; exec \"$0\" R - " + std::to_string(port), FRANDLE_BIN});
    ASSERT_TRUE(receiver.waitForOut(header(port)));
    kill(receiver.pid(), SIGHUP);
    Udp().sendTo(port, "after");
    EXPECT_TRUE(receiver.waitForOut(header(port) + "rcvd after\n", 2s));
    EXPECT_EQ(receiver.stop(SIGTERM), 128 + SIGTERM);
}

}  // namespace
