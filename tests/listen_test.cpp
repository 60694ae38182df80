// L mode: the file goes out from port 30000 while the listener prints what comes back.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <cstdlib>
#include <thread>

namespace {

const std::string listenPort = "30000";

TEST(Listen, SendingToItselfPrintsEveryChunkAndKeepsListening)
{
    const std::string text = textBytes(3000);
    const TempFile file(text);
    Child run(frandle({"L", file.path(), listenPort, "127.0.0.1", "1000"}));
    ASSERT_TRUE(run.waitForOut("sending done 3\n"));
    for (std::size_t at = 0; at < text.size(); at += 1000)
        EXPECT_TRUE(run.waitForOut(datagramLines(text.substr(at, 1000), 1000), 1s)) << "chunk at " << at;
    EXPECT_EQ(run.out().rfind("socket is 4\n", 0), 0u);

    const Udp peer;
    peer.sendTo(30000, "after the file");
    EXPECT_TRUE(run.waitForOut("rcvd after the file\n", 1s));
    EXPECT_TRUE(run.running());
    EXPECT_EQ(run.stop(SIGTERM), 128 + SIGTERM);
    EXPECT_EQ(run.out().size(), std::string("socket is 4\nsending done 3\n").size() + datagramLines(text, 1000).size() +
                                    std::string("rcvd after the file\n").size());
    EXPECT_EQ(run.err(), "");
}

TEST(Listen, ALargeFileSentToItselfIsPrintedWhole)
{
    const std::string text = textBytes(largeTransfer(4'000'000));
    const TempFile file(text);
    const std::size_t count = (text.size() + 1395) / 1396;
    Child run(frandle({"L", file.path(), listenPort, "127.0.0.1"}));
    EXPECT_TRUE(run.waitForOut(datagramLines(text.substr((count - 1) * 1396), 1396), 10s));
    EXPECT_EQ(run.stop(SIGTERM), 128 + SIGTERM);
    // The count may come anywhere between two lines: the listener prints while it is sent.
    std::string out = run.out();
    const std::string done = "sending done " + std::to_string(count) + "\n";
    const auto at = out.find(done);
    ASSERT_NE(at, std::string::npos);
    out.erase(at, done.size());
    EXPECT_TRUE(out == "socket is 4\n" + datagramLines(text, 1396)) << "lost or garbled lines";
}

// The file is a pipe that the test fills in two parts of a chunk each, so the transfer is
// surely still going on when the peer's datagram arrives.
TEST(Listen, PrintsArrivalsWhileTheFileIsStillGoingOut)
{
    const std::string fifo = "/tmp/frandle-test-fifo-" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    const Udp peer;
    Child run(frandle({"L", fifo, std::to_string(peer.port()), "127.0.0.1", "10"}));

    ASSERT_EQ(write(writer, "first part", 10), 10);
    const auto first = peer.receive(1, 2s);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].bytes, "first part");
    EXPECT_EQ(first[0].from, 30000);

    peer.sendTo(30000, "answer");
    EXPECT_TRUE(run.waitForOut("rcvd answer\n", 1s));
    EXPECT_EQ(run.out().find("sending done"), std::string::npos);

    ASSERT_EQ(write(writer, "secondpart", 10), 10);
    close(writer);
    EXPECT_TRUE(run.waitForOut("sending done 2\n"));
    EXPECT_EQ(peer.receive(1)[0].bytes, "secondpart");
    EXPECT_EQ(run.out(), "socket is 4\nrcvd answer\nsending done 2\n");
    unlink(fifo.c_str());
}

// With -w, the idle time counts from the end of the sending: not while the file goes out,
// and not from the start. Paced, the last of 10 datagrams is due after 0.9 s; reports
// every 0.1 s make the listener look at the time left soon after.
TEST(Listen, AnIdleEndCountsFromTheEndOfTheSending)
{
    const TempFile file(textBytes(10000));
    const auto start = std::chrono::steady_clock::now();
    Child run(frandle({"-w", "1", "-i", "0.1", "-b", "80k", "L", file.path(), "9", "127.0.0.1", "1000"}));
    EXPECT_EQ(run.wait(5s), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1850ms);
    EXPECT_EQ(run.out(), "socket is 4\nsending done 10\n");
}

// A peer that sends back every datagram after `delay`, every tenth after ten times that, and
// every fiftieth twice; and first a few of its own that match nothing sent.
class DelayingPeer {
public:
    static constexpr int FOREIGN = 3;
    explicit DelayingPeer(Millis delay) : delay_(delay), thread_([this] { run(); }) {}
    ~DelayingPeer()
    {
        done_ = true;
        thread_.join();
    }
    std::uint16_t port() const { return socket_.port(); }

private:
    void run()
    {
        struct Held {
            std::chrono::steady_clock::time_point due;
            std::string bytes;
            std::uint16_t to;
        };
        std::vector<Held> held;
        for (int n = 0; !done_;) {
            for (const Datagram &d : socket_.receive(1, 1ms)) {
                if (n == 0)
                    for (int i = 0; i < FOREIGN; ++i)
                        socket_.sendTo(d.from, "foreign " + std::to_string(i));
                const auto due = std::chrono::steady_clock::now() + (++n % 10 == 0 ? 10 * delay_ : delay_);
                held.push_back({due, d.bytes, d.from});
                if (n % 50 == 0)
                    held.push_back({due, d.bytes, d.from});
            }
            const auto now = std::chrono::steady_clock::now();
            for (auto h = held.begin(); h != held.end();)
                h = h->due <= now ? (socket_.sendTo(h->to, h->bytes), held.erase(h)) : h + 1;
        }
    }

    const Millis delay_;
    const Udp socket_;
    std::atomic<bool> done_ = false;
    std::thread thread_;
};

// What comes back is matched to what was sent by its bytes and timed from the kernel's
// stamps: against a peer of known delays, percentiles near them, and every return that
// could not be timed counted by why; against R -e, every datagram timed, at most as many
// as it echoed.
TEST(Listen, RoundTripsAreTimedAndWhatCannotBeIsCounted)
{
    const std::string distinct = testBytes(200 * 1000, 7), same(50 * 1000, 's');
    const struct {
        const char *name;
        const std::string &file;
        std::vector<std::string> reflector;  // R -e's options; none: the delaying peer
        std::vector<std::uint64_t> counts;   // timed, ambiguous, unmatched, duplicates, by the clock
    } cases[] = {
        {"a delaying peer", distinct, {}, {200, 0, DelayingPeer::FOREIGN, 4, 0}},
        {"R -e", distinct, {"-e"}, {200, 0, 0, 0, 0}},
        {"R -e, the same bytes each time", same, {"-e"}, {0, 50, 0, 0, 0}},
        {"R -e beyond its rate", distinct, {"-e", "-b", "400k"}, {}},
    };
    constexpr Millis delay = 5ms;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const TempFile file(c.file);
        const std::uint16_t port = freePort();
        std::unique_ptr<DelayingPeer> peer;
        std::unique_ptr<Child> reflector;
        if (c.reflector.empty()) {
            peer = std::make_unique<DelayingPeer>(delay);
        } else {
            std::vector<std::string> args = {"-J", "-w", "1.5", "R", "-", std::to_string(port)};
            args.insert(args.end(), c.reflector.begin(), c.reflector.end());
            reflector = std::make_unique<Child>(frandle(args));
            ASSERT_TRUE(reflector->waitForOut("port: " + std::to_string(port)));
        }
        Child run(frandle({"-J", "-w", "0.5", "-b", c.reflector.empty() ? "2M" : "20M", "L", file.path(),
                           std::to_string(peer ? peer->port() : port), "127.0.0.1", "1000"}));
        EXPECT_EQ(run.wait(15s), 0);
        const Json trips = jsonReports(run.err())["round-trips"].at(0);
        const std::vector<std::uint64_t> counts = {trips.at("timed"), trips.at("ambiguous"), trips.at("unmatched"),
                                                   trips.at("duplicates"), trips.at("timed_by_clock")};
        if (peer) {  // 10 % take ten times as long: the median is of the short ones, p99 of the long
            const double short_ = std::chrono::duration<double>(delay).count(), long_ = 10 * short_;
            for (const auto &[name, least] : {std::pair("median", short_), {"p99", long_}})
                EXPECT_TRUE(trips.at(name) >= least && trips.at(name) < least + short_) << name << " " << trips;
            EXPECT_TRUE(trips.at("rtt_variation") > 0) << trips;
        }
        if (reflector) {
            EXPECT_EQ(reflector->wait(5s), 0);
            const Json echoed = jsonReports(reflector->err())["echoed"].at(0);
            EXPECT_EQ(echoed.at("datagrams").get<std::uint64_t>() + echoed.at("over_rate").get<std::uint64_t>(),
                      c.file.size() / 1000) << echoed;
            EXPECT_EQ(counts[0] + counts[1], echoed.at("datagrams")) << echoed;
            EXPECT_EQ(echoed.at("over_rate") > 0, c.counts.empty()) << echoed;
        }
        if (!c.counts.empty())
            EXPECT_EQ(counts, c.counts) << trips;
        else
            EXPECT_GT(counts[0], 0u);
    }
}

// The fixed port is taken: the failure says which port and how to choose another, which
// then runs beside the first.
TEST(Listen, ASecondRunFailsAtTheBindButMayChooseAnotherPort)
{
    const TempFile file("payload");
    Child first(frandle({"L", file.path(), "9", "127.0.0.1"}));
    ASSERT_TRUE(first.waitForOut("sending done 1\n"));
    const Outcome second = run({"L", file.path(), "9", "127.0.0.1"});
    EXPECT_EQ(second.out, "socket is 4\n");
    EXPECT_EQ(second.err, "bind: Address already in use (local port 30000; choose another with -p)\n");
    EXPECT_EQ(second.status, 1);
    const Outcome beside = run({"-w", "0.2", "-q", "L", file.path(), "9", "127.0.0.1", "-p", "30001"});
    EXPECT_EQ(beside.out, "socket is 4\nsending done 1\n");
    EXPECT_EQ(beside.status, 0);
    EXPECT_TRUE(first.running());
}

TEST(Listen, UNSANITIZED(AListenerThatCannotStartEndsTheRun))
{
    // A thread stack larger than the address space allowed: the listener cannot start.
    const TempFile file("payload");
    Child run({"/bin/sh", "-c", "ulimit -v 65536 && ulimit -s 262144 && exec \"$0\" \"$@\"", FRANDLE_BIN, "L",
               file.path(), "9", "127.0.0.1"});
    EXPECT_EQ(run.wait(), 1);
    EXPECT_EQ(run.out(), "socket is 4\n");
    EXPECT_EQ(run.err(), "pthread_create: Resource temporarily unavailable\n");
}

TEST(Listen, AStopSignalLosesNoLine)
{
    const TempFile file("");
    Child run(frandle({"L", file.path(), "9", "127.0.0.1"}));
    ASSERT_TRUE(run.waitForOut("sending done 0\n"));
    kill(run.pid(), SIGSTOP);
    const Udp peer;
    std::string expected = "socket is 4\nsending done 0\n";
    for (int i = 0; i < 60; ++i) {
        peer.sendTo(30000, "echo " + std::to_string(i));
        expected += "rcvd echo " + std::to_string(i) + "\n";
    }
    kill(run.pid(), SIGTERM);
    kill(run.pid(), SIGCONT);
    EXPECT_EQ(run.wait(5s), 128 + SIGTERM);
    EXPECT_EQ(run.out(), expected);
    EXPECT_EQ(run.err(), "");
}

// A stop signal ends the run at once, whatever it waits for: L for its turn at a slow rate
// or for input that does not come (the sending ends silently), R under a flood of tiny
// datagrams that outpaces it (it writes what it held at the signal, not what comes after),
// and a second signal while standard output takes nothing.
TEST(Listen, EveryStopIsPrompt)
{
    const TempFile file(textBytes(100000));
    const std::string fifo = "/tmp/frandle-test-fifo-" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int held = open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // neither written nor read
    const std::string peer = std::to_string(freePort()), port = std::to_string(freePort());
    const auto redirected = [&](const std::string &redirection, std::vector<std::string> args) {
        args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + redirection, FRANDLE_BIN});
        return args;
    };
    const struct {
        std::vector<std::string> argv;
        std::size_t flood;  // bytes of each datagram of a flood meanwhile (64 a send), or none
        int signals;
    } cases[] = {
        {frandle({"-b", "1k", "L", file.path(), peer, "127.0.0.1", "1000"}), SIZE_MAX, 1},
        {redirected("<" + fifo, {"L", "-", peer, "127.0.0.1"}), SIZE_MAX, 1},
        {frandle({"R", "-", port}), 1, 1},
#ifndef __SANITIZE_THREAD__  // whose runtime holds back a signal raised in its handler
        {redirected(">" + fifo, {"R", "-", port}), 1000, 2},
#endif
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.argv));
        Child run(c.argv);
        std::this_thread::sleep_for(300ms);
        std::atomic<bool> flooding = c.flood != SIZE_MAX;
        std::thread flood([&] {
            const Udp sender;
            while (flooding)
                sender.sendCut(static_cast<std::uint16_t>(std::stoi(port)), std::string(64 * c.flood, 'x'), c.flood);
        });
        std::this_thread::sleep_for(300ms);
        for (int i = 0; i < c.signals; ++i) {
            kill(run.pid(), SIGTERM);
            std::this_thread::sleep_for(100ms);  // taken apart: a signal pending takes no second one
        }
        EXPECT_EQ(run.wait(1s), 128 + SIGTERM);  // the waits and the flood last far longer
        flooding = false;
        flood.join();
    }
    close(held);
    unlink(fifo.c_str());
}

// A send that fails while datagrams flood in: the listener stops, writes every line it
// received and reports them, and the run ends with the send's failure. In a network
// namespace of the test's own, where an nft rule starts refusing the sends mid-run.
TEST(Listen, ASendFailureEndsTheRunInOrder)
{
    if (geteuid() != 0 || std::system("command -v nft >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root and nft for a host of its own that refuses the sends";
    const std::string ns = "frandle-l-" + std::to_string(getpid());
    const auto in = [&](const std::string &command) { return std::system(("ip netns exec " + ns + " " + command + " >/dev/null 2>&1").c_str()); };
    ASSERT_EQ(std::system(("ip netns add " + ns).c_str()), 0);
    EXPECT_EQ(in("ip link set lo up"), 0);
    const TempFile file(textBytes(20'000'000));
    {
        Child listen({"/usr/bin/env", "ip", "netns", "exec", ns, FRANDLE_BIN, "-v", "-b", "100M", "L", file.path(), "9", "127.0.0.1"});
        EXPECT_TRUE(listen.waitForOut("socket is 4\n"));
        Child flood({"/usr/bin/env", "ip", "netns", "exec", ns, "/bin/sh", "-c",
                     "for i in $(seq 100); do \"$0\" S \"$1\" 30000 127.0.0.1 || exit; done", FRANDLE_BIN, file.path()});
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(in("nft add table inet refuse"), 0);
        EXPECT_EQ(in("nft add chain inet refuse out '{ type filter hook output priority 0; }'"), 0);
        EXPECT_EQ(in("nft add rule inet refuse out udp sport 30000 drop"), 0);
        EXPECT_EQ(listen.wait(20s), 1);
        flood.stop(SIGKILL);
        const std::string err = listen.err();
        EXPECT_NE(err.find("sendto: Operation not permitted\n"), std::string::npos) << err;
        std::size_t reported = 0;
        const auto at = err.find("received ");
        ASSERT_NE(at, std::string::npos) << err;
        reported = std::stoul(err.substr(at + 9));
        const std::string out = listen.out();
        std::size_t lines = 0;
        for (std::size_t line = out.find("rcvd "); line != std::string::npos; line = out.find("\nrcvd ", line + 1))
            ++lines;
        EXPECT_GT(reported, 0u);
        EXPECT_EQ(lines, reported);  // every datagram received was written
        EXPECT_EQ(out.find("sending done"), std::string::npos);
    }
    std::system(("ip netns pids " + ns + " | xargs -r kill -9; ip netns del " + ns).c_str());
}

}  // namespace
