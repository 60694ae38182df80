// Two hosts in network namespaces of the test's own, joined by a link whose MTU makes every
// full datagram travel in fragments, with socat as the peer at the far end.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

bool sh(const std::string &command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// The IPv4 fragments a host has made so far.
long fragmentsMadeIn(const std::string &ns)
{
    const std::string command = "ip netns exec " + ns +
                                " awk '/^Ip:/ { if (!f) { for (i = 1; i <= NF; i++) if ($i == \"FragCreates\") f = i } else print $f }'"
                                " /proc/net/snmp";
    FILE *out = popen(command.c_str(), "r");
    long count = -1;
    if (out != nullptr && fscanf(out, "%ld", &count) != 1)
        count = -1;
    if (out != nullptr)
        pclose(out);
    return count;
}

class TwoHosts {
public:
    const std::string a = "frandle-a-" + std::to_string(getpid());  // 192.0.2.1
    const std::string b = "frandle-b-" + std::to_string(getpid());  // 192.0.2.2

    TwoHosts()
    {
        ready_ = sh("ip netns add " + a) && sh("ip netns add " + b) &&
                 sh("ip link add va netns " + a + " type veth peer name vb netns " + b) &&
                 sh("ip -n " + a + " addr add 192.0.2.1/24 dev va") && sh("ip -n " + b + " addr add 192.0.2.2/24 dev vb") &&
                 sh("ip -n " + a + " link set va mtu 1280 up") && sh("ip -n " + b + " link set vb mtu 1280 up");
    }
    ~TwoHosts()
    {
        for (const auto &ns : {a, b}) {
            sh("ip netns pids " + ns + " | xargs -r kill -9");
            sh("ip netns del " + ns);
        }
    }
    bool ready() const { return ready_; }

    static std::vector<std::string> in(const std::string &ns, std::vector<std::string> argv)
    {
        argv.insert(argv.begin(), {"/usr/bin/env", "ip", "netns", "exec", ns});
        return argv;
    }

    bool waitForUdpPort(const std::string &ns, int port) const
    {
        for (int tries = 0; tries < 100; ++tries) {
            if (sh("ip netns exec " + ns + " ss -Huln 'sport = :" + std::to_string(port) + "' | grep -q ."))
                return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

private:
    bool ready_ = false;
};

TEST(Network, FragmentedDatagramsBetweenTwoHostsAndSocat)
{
    if (geteuid() != 0 || !sh("command -v ip") || !sh("command -v socat"))
        GTEST_SKIP() << "needs root, ip and socat to build two hosts in network namespaces";
    const TwoHosts hosts;
    ASSERT_TRUE(hosts.ready());

    // S mode to socat: the file arrives byte for byte.
    {
        const std::string bytes = testBytes(10000);
        const TempFile file(bytes);
        const TempFile received;
        Child socat(TwoHosts::in(hosts.b, {"socat", "-u", "UDP4-RECV:5000", "CREATE:" + received.path()}));
        ASSERT_TRUE(hosts.waitForUdpPort(hosts.b, 5000));
        Child send(TwoHosts::in(hosts.a, frandle({"S", file.path(), "5000", "192.0.2.2"})));
        EXPECT_EQ(send.wait(), 0);
        EXPECT_EQ(send.out(), "sending done 8\n");
        for (int tries = 0; tries < 100 && readFile(received.path()).size() < bytes.size(); ++tries)
            std::this_thread::sleep_for(20ms);
        EXPECT_TRUE(readFile(received.path()) == bytes);
    }
    // S mode to R mode. A datagram larger than the link takes fragments, which the kernel
    // will not cut from one large send: the sender falls back to a datagram a call, and
    // what arrives must not tell the two ways apart.
    {
        const std::string text = textBytes(200000);
        const TempFile file(text);
        const struct {
            std::string sendSize;
            bool fragments;
        } cases[] = {{"1396", true}, {"1253", true}, {"1252", false}, {"100", false}};
        for (const auto &c : cases) {
            SCOPED_TRACE("send size " + c.sendSize);
            const std::size_t size = std::stoul(c.sendSize);
            Child receive(TwoHosts::in(hosts.b, frandle({"R", "-", "5002"})));
            ASSERT_TRUE(receive.waitForOut("Receiving, port: 5002\n"));
            const long fragmentsBefore = fragmentsMadeIn(hosts.a);
            Child send(TwoHosts::in(hosts.a, frandle({"S", file.path(), "5002", "192.0.2.2", c.sendSize})));
            EXPECT_EQ(send.wait(), 0);
            EXPECT_EQ(send.out(), "sending done " + std::to_string((text.size() + size - 1) / size) + "\n");
            EXPECT_EQ(fragmentsMadeIn(hosts.a) > fragmentsBefore, c.fragments);
            const std::string lines = datagramLines(text, size);
            EXPECT_TRUE(receive.waitForOut(datagramLines(text.substr(text.size() / size * size), size), 5s));
            EXPECT_EQ(receive.stop(SIGTERM), 128 + SIGTERM);
            EXPECT_TRUE(receive.out() == "socket is 3\nReceiver:bind is 0, Receiving, port: 5002\n" + lines);
        }
    }
    // socat to R mode: two datagrams of the largest size taken, each one line.
    {
        const std::string text = textBytes(2 * 1399);
        const TempFile file(text);
        Child receive(TwoHosts::in(hosts.a, frandle({"R", "-", "5001"})));
        ASSERT_TRUE(receive.waitForOut("Receiving, port: 5001\n"));
        Child socat(TwoHosts::in(hosts.b, {"socat", "-u", "-b", "1399", "OPEN:" + file.path(),
                                           "UDP4-SENDTO:192.0.2.1:5001"}));
        EXPECT_EQ(socat.wait(), 0);
        const std::string lines = datagramLines(text, 1399);
        EXPECT_TRUE(receive.waitForOut(lines, 2s));
        EXPECT_EQ(receive.stop(SIGTERM), 128 + SIGTERM);
        EXPECT_EQ(receive.out(), "socket is 3\nReceiver:bind is 0, Receiving, port: 5001\n" + lines);
    }
    // L mode to socat as an echo peer: every chunk comes back and is printed.
    {
        const std::string text = textBytes(3000);
        const TempFile file(text);
        Child echo(TwoHosts::in(hosts.b, {"socat", "UDP4-RECVFROM:5007,fork", "EXEC:cat"}));
        ASSERT_TRUE(hosts.waitForUdpPort(hosts.b, 5007));
        Child listen(TwoHosts::in(hosts.a, frandle({"L", file.path(), "5007", "192.0.2.2"})));
        EXPECT_TRUE(listen.waitForOut("sending done 3\n"));
        for (std::size_t at = 0; at < text.size(); at += 1396)
            EXPECT_TRUE(listen.waitForOut(datagramLines(text.substr(at, 1396), 1396), 2s)) << "chunk at " << at;
        EXPECT_EQ(listen.stop(SIGTERM), 128 + SIGTERM);
    }
}

// Waits until a growing output has stayed the same for half a second (at most 10 s).
void settle(const Child &child)
{
    std::size_t last = std::string::npos;
    for (int stable = 0, tries = 0; stable < 5 && tries < 100; ++tries) {
        const std::size_t size = child.out().size();
        stable = size == last ? stable + 1 : 0;
        last = size;
        std::this_thread::sleep_for(100ms);
    }
}

Outcome check(const std::string &log)
{
    const TempFile file(log);
    Child child({FRANDLE_PROBE_BIN, "check", file.path()});
    const int status = child.wait();
    return {child.out(), child.err(), status};
}

// The packets that the loss rule's counter says it dropped.
std::size_t droppedByRule(const std::string &ns)
{
    FILE *out = popen(("ip netns exec " + ns + " nft list chain ip loss incoming").c_str(), "r");
    std::string listing;
    for (char part[256]; out != nullptr && fgets(part, sizeof part, out) != nullptr;)
        listing += part;
    if (out != nullptr)
        pclose(out);
    const auto at = listing.find("counter packets ");
    return at == std::string::npos ? SIZE_MAX : std::stoul(listing.substr(at + 16));
}

// A probe from S to R over the clean link, then through a rule that drops about 2 % of the
// datagrams at random; and a probe through socat as an echo peer to L. Full datagrams take
// fragments here, so each goes alone, arrives whole before the rule sees it, and is counted
// by the rule when it is dropped: the probe's count of missing datagrams must be that count.
TEST(Network, TheProbeTellsWhatThePathDropped)
{
    if (geteuid() != 0 || !sh("command -v ip") || !sh("command -v socat") || !sh("command -v nft"))
        GTEST_SKIP() << "needs root, ip, socat and nft to build two hosts and a lossy path";
    const TwoHosts hosts;
    ASSERT_TRUE(hosts.ready());
    Child make({FRANDLE_PROBE_BIN, "make", "2M"});
    ASSERT_EQ(make.wait(), 0);
    const TempFile file(make.out());
    const std::size_t count = 1503;

    for (const bool lossy : {false, true}) {
        SCOPED_TRACE(lossy ? "lossy" : "clean");
        if (lossy) {
            ASSERT_TRUE(sh("ip netns exec " + hosts.b + " nft add table ip loss"));
            ASSERT_TRUE(sh("ip netns exec " + hosts.b + " nft add chain ip loss incoming '{ type filter hook input priority 0; }'"));
            ASSERT_TRUE(sh("ip netns exec " + hosts.b + " nft add rule ip loss incoming udp dport 5003 numgen random mod 100 '<' 2 counter drop"));
        }
        Child receive(TwoHosts::in(hosts.b, frandle({"R", "-", "5003"})));
        ASSERT_TRUE(receive.waitForOut("Receiving, port: 5003\n"));
        Child send(TwoHosts::in(hosts.a, frandle({"S", file.path(), "5003", "192.0.2.2"})));
        EXPECT_EQ(send.wait(), 0);
        EXPECT_EQ(send.out(), "sending done " + std::to_string(count) + "\n");
        settle(receive);
        EXPECT_EQ(receive.stop(SIGTERM), 128 + SIGTERM);
        const Outcome verdict = check(receive.out());
        const auto at = verdict.out.find("missing ");
        ASSERT_NE(at, std::string::npos) << verdict.out;
        const std::size_t missing = std::stoul(verdict.out.substr(at + 8));
        EXPECT_EQ(verdict.out.find("expected " + std::to_string(count) + ","), verdict.out.find("expected "));
        if (lossy) {
            EXPECT_EQ(verdict.status, 1);
            EXPECT_GE(missing, 8u) << verdict.out;  // about 30: far outside what chance gives
            EXPECT_LE(missing, 75u) << verdict.out;
            EXPECT_EQ(missing, droppedByRule(hosts.b)) << verdict.out;  // the kernel's own count
        } else {
            EXPECT_EQ(verdict.status, 0) << verdict.out;
            EXPECT_EQ(missing, 0u);
        }
    }

    Child make20({FRANDLE_PROBE_BIN, "make", "20000", "1000"});
    ASSERT_EQ(make20.wait(), 0);
    const TempFile echoed(make20.out());
    Child echo(TwoHosts::in(hosts.b, {"socat", "UDP4-RECVFROM:5008,fork", "EXEC:cat"}));
    ASSERT_TRUE(hosts.waitForUdpPort(hosts.b, 5008));
    Child listen(TwoHosts::in(hosts.a, frandle({"L", echoed.path(), "5008", "192.0.2.2", "1000"})));
    EXPECT_TRUE(listen.waitForOut("sending done 20\n"));
    settle(listen);
    EXPECT_EQ(listen.stop(SIGTERM), 128 + SIGTERM);
    const Outcome verdict = check(listen.out());
    EXPECT_EQ(verdict.status, 0) << verdict.out;
    EXPECT_NE(verdict.out.find("expected 20, intact 20, missing 0"), std::string::npos) << verdict.out;
}

}  // namespace
