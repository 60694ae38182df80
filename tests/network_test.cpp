// Two hosts in network namespaces of the test's own, joined by a link whose MTU makes every
// full datagram travel in fragments, with socat as the peer at the far end.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

namespace {

bool sh(const std::string &command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

class TwoHosts {
public:
    const std::string a = "frandle-a-" + std::to_string(getpid());  // 192.0.2.1
    const std::string b = "frandle-b-" + std::to_string(getpid());  // 192.0.2.2

    TwoHosts()
    {
        ready_ = sh("ip netns add " + a) && sh("ip netns add " + b) &&
                 sh("ip link add va netns " + a + " address 02:00:00:00:00:01 type veth peer name vb netns " + b +
                    " address 02:00:00:00:00:02") &&
                 sh("ip -n " + a + " addr add 192.0.2.1/24 dev va") && sh("ip -n " + b + " addr add 192.0.2.2/24 dev vb") &&
                 sh("ip -n " + a + " link set va mtu 1280 up") && sh("ip -n " + b + " link set vb mtu 1280 up") &&
                 // Each knows the other's link address: no datagram waits on, or is lost to, a lookup.
                 sh("ip -n " + a + " neigh replace 192.0.2.2 lladdr 02:00:00:00:00:02 dev va nud permanent") &&
                 sh("ip -n " + b + " neigh replace 192.0.2.1 lladdr 02:00:00:00:00:01 dev vb nud permanent");
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
            const long fragmentsBefore = kernelCount("Ip", "FragCreates", hosts.a);
            Child send(TwoHosts::in(hosts.a, frandle({"S", file.path(), "5002", "192.0.2.2", c.sendSize})));
            EXPECT_EQ(send.wait(), 0);
            EXPECT_EQ(send.out(), "sending done " + std::to_string((text.size() + size - 1) / size) + "\n");
            EXPECT_EQ(kernelCount("Ip", "FragCreates", hosts.a) > fragmentsBefore, c.fragments);
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

// What a command printed.
std::string outputOf(const std::string &command)
{
    FILE *out = popen(command.c_str(), "r");
    std::string listing;
    for (char part[256]; out != nullptr && fgets(part, sizeof part, out) != nullptr;)
        listing += part;
    if (out != nullptr)
        pclose(out);
    return listing;
}

// The packets that the first rule's counter counted (the loss rule's, where it drops).
std::size_t droppedByRule(const std::string &ns)
{
    const std::string listing = outputOf("ip netns exec " + ns + " nft list chain ip loss incoming");
    const auto at = listing.find("counter packets ");
    return at == std::string::npos ? SIZE_MAX : std::stoul(listing.substr(at + 16));
}

// The number after `tag` in `text`, or SIZE_MAX.
std::size_t numberAfter(const std::string &text, const std::string &tag)
{
    const auto at = text.find(tag);
    return at == std::string::npos ? SIZE_MAX : std::stoul(text.substr(at + tag.size()));
}

void addRule(const std::string &ns, const std::string &rule)
{
    ASSERT_TRUE(sh("ip netns exec " + ns + " nft add table ip loss"));
    ASSERT_TRUE(sh("ip netns exec " + ns + " nft add chain ip loss incoming '{ type filter hook input priority 0; }'"));
    ASSERT_TRUE(sh("ip netns exec " + ns + " nft add rule ip loss incoming " + rule));
}

// Probes from S to R over the clean link, then through rules that drop datagrams at random
// or above a rate. Every hook sees each datagram alone (one packet each, or fragments the
// receiving host puts together before its rules): the probe's count of missing datagrams
// must be the rule's own count, and R's count plus the missing ones what was sent. Then a
// probe through socat as an echo peer to L.
TEST(Network, TheProbeTellsWhatThePathDropped)
{
    if (geteuid() != 0 || !sh("command -v ip") || !sh("command -v socat") || !sh("command -v nft"))
        GTEST_SKIP() << "needs root, ip, socat and nft to build two hosts and a lossy path";
    const TwoHosts hosts;
    ASSERT_TRUE(hosts.ready());
    const struct {
        std::string rule;  // on the receiving host, none for a clean path
        std::vector<std::string> options;  // of S; -l goes to both ends
        std::string size, sendSize;
        int mtu;
        std::size_t count, leastDropped, mostDropped;
    } cases[] = {
        {"", {}, "2M", "1396", 1280, 1503, 0, 0},
        {"udp dport 5003 numgen random mod 100 '<' 2 counter drop", {}, "2M", "1396", 1280, 1503, 8, 75},  // about 30
        {"udp dport 5003 numgen random mod 100 '<' 3 counter drop", {}, "2M", "1000", 1280, 2098, 20, 130},  // about 63
        {"udp dport 5003 limit rate over 2000/second burst 100 packets counter drop", {"-b", "100M"}, "2M", "1000", 1280,
         2098, 1000, 2000},
        // Large datagrams: whole on a jumbo link, in fragments on a plain one, or cut by the kernel with -O.
        {"", {"-b", "200M", "-l", "8972"}, "10M", "8972", 9000, 1169, 0, 0},
        {"", {"-b", "200M", "-l", "8972"}, "10M", "8972", 1500, 1169, 0, 0},
        {"", {"-b", "200M", "-O", "-l", "8972"}, "10M", "8972", 9000, 1169, 0, 0},
        // Chunks made as they go (no size: no file), for a size or for a time at a rate.
        {"udp dport 5003 numgen random mod 100 '<' 2 counter drop", {"--probe=2M"}, "", "1396", 1280, 1503, 8, 75},
        {"", {"--probe", "-t", "1", "-b", "2M"}, "", "1396", 1280, 180, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rule + " " + c.sendSize + " MTU " + std::to_string(c.mtu));
        std::string made;
        if (!c.size.empty()) {
            Child make({FRANDLE_PROBE_BIN, "make", c.size, c.sendSize});
            ASSERT_EQ(make.wait(), 0);
            made = make.out();
        }
        const TempFile file(made);
        sh("ip netns exec " + hosts.b + " nft delete table ip loss");
        if (!c.rule.empty())
            addRule(hosts.b, c.rule);
        const std::string mtu = " mtu " + std::to_string(c.mtu);
        ASSERT_TRUE(sh("ip -n " + hosts.a + " link set va" + mtu) && sh("ip -n " + hosts.b + " link set vb" + mtu));
        std::vector<std::string> receiving = {"-v", "R", "-", "5003"};
        if (std::stoul(c.sendSize) > 1399)
            receiving.insert(receiving.end(), {"-l", c.sendSize});
        Child receive(TwoHosts::in(hosts.b, frandle(receiving)));
        ASSERT_TRUE(receive.waitForOut("Receiving, port: 5003\n"));
        const long fragmentsBefore = kernelCount("Ip", "FragCreates", hosts.a);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"S", c.size.empty() ? "-" : file.path(), "5003", "192.0.2.2", c.sendSize});
        Child send(TwoHosts::in(hosts.a, frandle(args)));
        EXPECT_EQ(send.wait(), 0);
        EXPECT_EQ(send.out(), "sending done " + std::to_string(c.count) + "\n");
        EXPECT_EQ(kernelCount("Ip", "FragCreates", hosts.a) > fragmentsBefore, std::stoi(c.sendSize) + 28 > c.mtu);
        settle(receive);
        EXPECT_EQ(receive.stop(SIGTERM), 128 + SIGTERM);
        const Outcome verdict = check(receive.out());
        const std::size_t missing = numberAfter(verdict.out, "missing ");
        EXPECT_EQ(numberAfter(verdict.out, "expected "), c.count) << verdict.out;
        EXPECT_EQ(numberAfter(receive.err(), "received ") + missing, c.count) << receive.err() << verdict.out;
        EXPECT_GE(missing, c.leastDropped) << verdict.out;
        EXPECT_LE(missing, c.mostDropped) << verdict.out;
        EXPECT_EQ(verdict.status, c.rule.empty() ? 0 : 1) << verdict.out;
        // R's own verdict, as the chunks came, is the check's of its log.
        const std::string run = verdict.out.substr(0, verdict.out.find('\n'));
        EXPECT_NE(receive.err().find("probe " + run), std::string::npos) << receive.err() << verdict.out;
        if (!c.rule.empty()) {
            EXPECT_EQ(missing, droppedByRule(hosts.b)) << verdict.out;  // the kernel's own count
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

// What the network answered: a port behind a rejecting rule is named, with who answered;
// one behind a dropping rule gives no answer. Statuses stay as they were.
TEST(Network, TheReportTellsARejectingPortFromADroppingOne)
{
    if (geteuid() != 0 || !sh("command -v ip") || !sh("command -v nft"))
        GTEST_SKIP() << "needs root, ip and nft to build two hosts and a firewall";
    const TwoHosts hosts;
    ASSERT_TRUE(hosts.ready());
    // Every datagram answered, however soon after the last run: no rate limit for the test.
    ASSERT_TRUE(sh("ip netns exec " + hosts.b + " sysctl -qw net.ipv4.icmp_ratelimit=0"));
    ASSERT_TRUE(sh("ip netns exec " + hosts.b + " sysctl -qw net.ipv4.icmp_msgs_per_sec=10000000"));
    ASSERT_TRUE(sh("ip netns exec " + hosts.b + " sysctl -qw net.ipv4.icmp_msgs_burst=10000000"));
    addRule(hosts.b, "udp dport 5010 reject");
    ASSERT_TRUE(sh("ip netns exec " + hosts.b + " nft add rule ip loss incoming udp dport 5011 drop"));
    ASSERT_TRUE(sh("ip netns exec " + hosts.b + " nft add rule ip loss incoming udp dport 5012 reject with icmp type host-unreachable"));
    const TempFile file(textBytes(20 * 1000));
    // Every datagram answered while L's listener reads the same socket: both threads meet
    // the answers, and a send refused by one the other took is still made again.
    const TempFile large(textBytes(60'000'000));
    const std::string many = std::to_string((60'000'000 + 1395) / 1396);
    const std::string rejected = "the network answered: port unreachable from 192.0.2.2, ";
    const std::string unreachable = "the network answered: host unreachable from 192.0.2.2, ";
    const struct {
        std::vector<std::string> args;
        std::string sent;
        std::string answer;
    } cases[] = {
        {{"-v", "S", file.path(), "5010", "192.0.2.2", "1000"}, "20", rejected + "20 times\n"},
        {{"-v", "S", file.path(), "5011", "192.0.2.2", "1000"}, "20", "the network answered nothing\n"},
        {{"-v", "-w", "0.5", "L", file.path(), "5010", "192.0.2.2", "1000"}, "20", rejected + "20 times\n"},
        {{"-v", "-w", "0.5", "L", file.path(), "5011", "192.0.2.2", "1000"}, "20", "the network answered nothing\n"},
        {{"-v", "-O", "S", file.path(), "5010", "192.0.2.2", "1000"}, "20", rejected},  // a block at a time
        {{"-v", "-w", "0.5", "L", large.path(), "5010", "192.0.2.2"}, many, rejected},
        {{"-v", "-w", "0.5", "L", large.path(), "5012", "192.0.2.2"}, many, unreachable},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const long answeredBefore = kernelCount("Icmp", "OutDestUnreachs", hosts.b);
        Child run(TwoHosts::in(hosts.a, frandle(c.args)));
        EXPECT_EQ(run.wait(10s), 0) << run.err();
        EXPECT_NE(run.out().find("sending done " + c.sent + "\n"), std::string::npos) << run.out();
        EXPECT_NE(run.err().find(c.answer), std::string::npos) << run.err();
        // Every answer counted is one the far host's kernel says it sent, offloaded or not.
        const auto timesAfter = [&](const std::string &line) {
            const std::size_t times = numberAfter(run.err(), line);
            return times == SIZE_MAX ? 0 : static_cast<long>(times);
        };
        const long counted = timesAfter(rejected) + timesAfter(unreachable);
        EXPECT_EQ(counted, kernelCount("Icmp", "OutDestUnreachs", hosts.b) - answeredBefore) << run.err();
        EXPECT_EQ(run.err().find("recvfrom"), std::string::npos) << run.err();  // an answer is no failure
    }
}

// A socket in a host of the test: made by a thread that enters the host's network
// namespace, so that the socket stays there while the test goes on outside.
int socketIn(const std::string &ns, int type, int protocol)
{
    int sock = -1;
    std::thread([&] {
        const int host = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (host >= 0 && setns(host, CLONE_NEWNET) == 0)
            sock = socket(AF_INET, type, protocol);
        if (host >= 0)
            close(host);
    }).join();
    return sock;
}

void put16(unsigned char *at, unsigned value)
{
    at[0] = static_cast<unsigned char>(value >> 8);
    at[1] = static_cast<unsigned char>(value);
}

std::uint16_t internetChecksum(const unsigned char *bytes, std::size_t length)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < length; i += 2)
        sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    while (sum >> 16 != 0)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

// What a router or host says of a datagram, or what anyone may forge: ICMP `type` and
// `code` (with `mtu` for fragmentation needed), quoting the head of a datagram of `length`
// bytes from 192.0.2.1:`source` to 192.0.2.2:`port`, sent `count` times from the far host
// to the sender, 2 000 a second. The count that went out.
int answerDatagrams(const std::string &from, int type, int code, int mtu, int source, int port, int count,
                    int length = 1000)
{
    // The ICMP header, then the quoted IPv4 header (don't fragment) and UDP header.
    unsigned char packet[8 + 20 + 8] = {static_cast<unsigned char>(type), static_cast<unsigned char>(code), 0, 0, 0, 0, 0, 0,
                                        0x45, 0, 0, 0, 0, 0, 0x40, 0, 64, IPPROTO_UDP, 0, 0, 192, 0, 2, 1, 192, 0, 2, 2};
    put16(packet + 6, static_cast<unsigned>(mtu));
    put16(packet + 10, static_cast<unsigned>(length + 28));
    put16(packet + 28, static_cast<unsigned>(source));
    put16(packet + 30, static_cast<unsigned>(port));
    put16(packet + 32, static_cast<unsigned>(length + 8));
    put16(packet + 18, internetChecksum(packet + 8, 20));
    put16(packet + 2, internetChecksum(packet, sizeof packet));
    const int sock = socketIn(from, SOCK_RAW, IPPROTO_ICMP);
    sockaddr_in sender{};
    sender.sin_family = AF_INET;
    sender.sin_addr.s_addr = htonl(0xc0000201);  // 192.0.2.1
    int sent = 0;
    for (; sock >= 0 && sent < count; ++sent) {
        if (sendto(sock, packet, sizeof packet, 0, reinterpret_cast<sockaddr *>(&sender), sizeof sender) < 0)
            break;
        std::this_thread::sleep_for(500us);
    }
    if (sock >= 0)
        close(sock);
    return sent;
}

bool answerFragmentationNeeded(const std::string &from, int source, int port, int length, int mtu)
{
    return answerDatagrams(from, 3, 4, mtu, source, port, 1, length) == 1;
}

// The path's MTU falls below the datagrams mid-run, because the link's did or because the
// network said so: the sending goes on, in S and L mode, offloaded or not, every datagram
// arrives, and the report gives the MTU now known.
TEST(Network, ASmallerMtuMidRunEndsNoTransfer)
{
    if (geteuid() != 0 || !sh("command -v ip"))
        GTEST_SKIP() << "needs root and ip to build two hosts";
    enum class Change { OfTheLink, AnsweredFromTheFarHost };
    const std::string moved = "; the rest goes one packet a datagram; the route's MTU is now 900\n";
    const std::string fragmented = "the route's MTU changed while sending, from 1280 to 900\n";
    const std::string answered = "the network answered: fragmentation needed (MTU 900) from 192.0.2.2, 1 time\n";
    const struct {
        std::vector<std::string> options;
        Change change;
        std::vector<std::string> report;
    } cases[] = {
        {{"-O", "S"}, Change::OfTheLink, {moved}},
        {{"S"}, Change::OfTheLink, {fragmented}},
        {{"-O", "S"}, Change::AnsweredFromTheFarHost, {moved, answered}},
        {{"S"}, Change::AnsweredFromTheFarHost, {fragmented, answered}},
        {{"-O", "-w", "1", "L"}, Change::AnsweredFromTheFarHost, {moved, answered}},
        {{"-w", "1", "L"}, Change::AnsweredFromTheFarHost, {fragmented, answered}},
    };
    Child make({FRANDLE_PROBE_BIN, "make", "10M", "1000"});
    ASSERT_EQ(make.wait(), 0);
    const TempFile file(make.out());
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options) + (c.change == Change::OfTheLink ? " link" : " answer"));
        const TwoHosts hosts;
        ASSERT_TRUE(hosts.ready());
        Child receive(TwoHosts::in(hosts.b, frandle({"R", "-", "5012"})));
        ASSERT_TRUE(receive.waitForOut("Receiving, port: 5012\n"));
        std::vector<std::string> args = {"-v", "-b", "50M"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {file.path(), "5012", "192.0.2.2", "1000"});
        Child send(TwoHosts::in(hosts.a, frandle(args)));
        std::this_thread::sleep_for(500ms);  // of about 1.7 s
        if (c.change == Change::OfTheLink)
            ASSERT_TRUE(sh("ip -n " + hosts.a + " link set va mtu 900") && sh("ip -n " + hosts.b + " link set vb mtu 900"));
        else
            ASSERT_TRUE(answerFragmentationNeeded(hosts.b, c.options.back() == "L" ? 30000 : 40000, 5012, 1000, 900));
        EXPECT_EQ(send.wait(10s), 0);
        EXPECT_TRUE(send.out().ends_with("sending done 10486\n")) << send.out();  // L first names its socket
        for (const auto &line : c.report)
            EXPECT_NE(send.err().find(line), std::string::npos) << send.err();
        settle(receive);
        EXPECT_EQ(receive.stop(SIGTERM), 128 + SIGTERM);
        const Outcome verdict = check(receive.out());
        EXPECT_EQ(verdict.status, 0) << verdict.out;
        EXPECT_NE(verdict.out.find("expected 10486, intact 10486, missing 0"), std::string::npos) << verdict.out;
    }
}

// IPv6 between the two hosts, by address and by a name from the host's own hosts file, from
// a second local address with -s, offloaded or not, and to an echo peer: every probe
// datagram intact. A receiver bound to IPv6 takes IPv4 as well.
TEST(Network, IPv6AndNamesCarryTheSameDatagrams)
{
    if (geteuid() != 0 || !sh("command -v ip") || !sh("command -v socat"))
        GTEST_SKIP() << "needs root, ip and socat to build two hosts";
    const TwoHosts hosts;
    ASSERT_TRUE(hosts.ready());
    for (const auto &[ns, dev, addresses] :
         {std::tuple{hosts.a, "va", "fd00::1 fd00::11"}, {hosts.b, "vb", "fd00::2 fe80::2"}}) {
        std::istringstream each(addresses);
        for (std::string address; each >> address;)
            ASSERT_TRUE(sh("ip -n " + ns + " addr add " + address + "/64 dev " + dev + " nodad"));
    }
    // ip netns exec puts /etc/netns/<name>/hosts in place of /etc/hosts.
    const std::string hostsDir = "/etc/netns/" + hosts.a;
    ASSERT_TRUE(sh("mkdir -p " + hostsDir));
    std::ofstream(hostsDir + "/hosts") << "fd00::2 far\n";
    Child make({FRANDLE_PROBE_BIN, "make", "2M"});
    ASSERT_EQ(make.wait(), 0);
    const TempFile file(make.out());
    const struct {
        std::vector<std::string> receiver, sender;  // options, and the sender's address last
        std::string mtu = "1280";  // IPv6's least: a 1396-byte datagram goes in fragments
        std::string verdict = "expected 1503, intact 1503, missing 0";
    } cases[] = {
        {{"-6"}, {"fd00::2"}},
        {{"-6"}, {"fd00::2"}, "1500"},
        {{"-6"}, {"far"}},
        {{"-6", "-O"}, {"-O", "far"}, "1500"},
        {{"-6"}, {"-s", "fd00::11", "far"}},
        {{"-6"}, {"fe80::2%va"}},  // link-local, with the zone
        {{"-6", "-O"}, {"-O", "fd00::2"}},
        {{"-s", "fd00::2"}, {"-6", "far"}},
        // Without -4 or -6 a receiver takes both families; with one, that family alone.
        {{}, {"192.0.2.2"}},
        {{}, {"far"}},
        {{"-6"}, {"192.0.2.2"}, "1280", "verdict: no probe datagram found"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.receiver) + " " + testing::PrintToString(c.sender) + " " + c.mtu);
        ASSERT_TRUE(sh("ip -n " + hosts.a + " link set va mtu " + c.mtu) && sh("ip -n " + hosts.b + " link set vb mtu " + c.mtu));
        std::vector<std::string> receiver = c.receiver;
        receiver.insert(receiver.end(), {"-v", "R", "-", "5013"});
        Child receive(TwoHosts::in(hosts.b, frandle(receiver)));
        ASSERT_TRUE(receive.waitForOut("Receiving, port: 5013\n"));
        std::vector<std::string> sender(c.sender.begin(), c.sender.end() - 1);
        sender.insert(sender.end(), {"S", file.path(), "5013", c.sender.back()});
        Child send(TwoHosts::in(hosts.a, frandle(sender)));
        EXPECT_EQ(send.wait(), 0) << send.err();
        EXPECT_EQ(send.out(), "sending done 1503\n");
        settle(receive);
        EXPECT_EQ(receive.stop(SIGTERM), 128 + SIGTERM);
        const Outcome verdict = check(receive.out());
        EXPECT_NE(verdict.out.find(c.verdict), std::string::npos) << verdict.out;
    }
    Child make20({FRANDLE_PROBE_BIN, "make", "20000", "1000"});
    ASSERT_EQ(make20.wait(), 0);
    const TempFile echoed(make20.out());
    Child echo(TwoHosts::in(hosts.b, {"socat", "UDP6-RECVFROM:5014,fork", "EXEC:cat"}));  // a process a datagram
    ASSERT_TRUE(hosts.waitForUdpPort(hosts.b, 5014));
    Child listen(TwoHosts::in(hosts.a, frandle({"-w", "1", "L", echoed.path(), "5014", "far", "1000"})));
    EXPECT_EQ(listen.wait(10s), 0);
    const Outcome verdict = check(listen.out());
    EXPECT_NE(verdict.out.find("expected 20, intact 20, missing 0"), std::string::npos) << verdict.out;
    sh("rm -rf " + hostsDir);
}

// No answer of the network, forged or real, of any kind or rate, ends a run or costs a
// datagram, and each one is counted; a datagram this host's queue drops is counted and
// never sent again; what arrives at the sending port hides no answer; a refusal of this
// host's own still ends the run. Each figure is held to a count the tool did not make.
TEST(Network, NoAnswerOrQueueEndsARun)
{
    if (geteuid() != 0 || !sh("command -v ip") || !sh("command -v nft") || !sh("command -v tc"))
        GTEST_SKIP() << "needs root, ip, nft and tc to build two hosts, a firewall and a queue";
    const TwoHosts hosts;
    ASSERT_TRUE(hosts.ready());
    for (const std::string limit : {"icmp_ratelimit=0", "icmp_msgs_per_sec=10000000", "icmp_msgs_burst=10000000"})
        ASSERT_TRUE(sh("ip netns exec " + hosts.b + " sysctl -qw net.ipv4." + limit));
    addRule(hosts.b, "udp dport 5020 counter drop");  // what arrives, and no answer to it
    ASSERT_TRUE(sh("ip netns exec " + hosts.b + " nft add rule ip loss incoming udp dport 5021 reject"));
    ASSERT_TRUE(sh("ip -n " + hosts.a + " route add prohibit 198.51.100.0/24"));
    Child make({FRANDLE_PROBE_BIN, "make", "5M", "1000"});
    ASSERT_EQ(make.wait(), 0);
    const TempFile file(make.out());
    const std::string all = "sending done 5243\n";
    enum class Peer { None, Forger, Queue, SenderToItsPort };
    const struct {
        std::vector<std::string> args;  // before the file
        Peer peer;
        std::string answer;  // of the line the truth's count follows
        int type = 0, code = 0, mtu = 0;  // forged
        std::string port = "5020", address = "192.0.2.2";
    } cases[] = {
        {{"S"}, Peer::Forger, "port unreachable from 192.0.2.2, ", 3, 3},
        {{"S"}, Peer::Forger, "host unreachable from 192.0.2.2, ", 3, 1},
        {{"S"}, Peer::Forger, "network unreachable from 192.0.2.2, ", 3, 0},
        {{"S"}, Peer::Forger, "administratively prohibited from 192.0.2.2, ", 3, 13},
        {{"S"}, Peer::Forger, "fragmentation needed (MTU 65535) from 192.0.2.2, ", 3, 4, 65535},
        {{"S"}, Peer::Forger, "time exceeded from 192.0.2.2, ", 11, 0},
        {{"S"}, Peer::Forger, "another error from 192.0.2.2, ", 12, 0},
        {{"-O", "S"}, Peer::Forger, "fragmentation needed (MTU 65535) from 192.0.2.2, ", 3, 4, 65535},
        {{"-O", "S"}, Peer::Forger, "port unreachable from 192.0.2.2, ", 3, 3},
        {{"-w", "0.5", "L"}, Peer::Forger, "port unreachable from 192.0.2.2, ", 3, 3},
        {{"-w", "0.5", "L"}, Peer::Forger, "fragmentation needed (MTU 65535) from 192.0.2.2, ", 3, 4, 65535},
        {{"-b", "1G", "S"}, Peer::Queue, "dropped by this host's queue: "},
        {{"S"}, Peer::SenderToItsPort, "port unreachable from 192.0.2.2, ", 0, 0, 0, "5021"},
        {{"S"}, Peer::None, "port unreachable from 192.0.2.2, ", 0, 0, 0, "5021", "::ffff:192.0.2.2"},
        {{"S"}, Peer::None, "sendto: Permission denied\n", 0, 0, 0, "5020", "198.51.100.1"},  // a prohibiting route
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args) + " " + c.answer);
        if (c.peer == Peer::Queue) {
            ASSERT_TRUE(sh("ip netns exec " + hosts.a + " tc qdisc add dev va root tbf rate 100mbit burst 32k limit 64k"));
        }
        const auto qdiscDrops = [&] { return numberAfter(outputOf("tc -n " + hosts.a + " -s qdisc show dev va"), "dropped "); };
        const std::size_t arrivedBefore = droppedByRule(hosts.b), queueDropsBefore = qdiscDrops();
        const long answeredBefore = kernelCount("Icmp", "OutDestUnreachs", hosts.b);
        std::vector<std::string> args = {"-v", "-b", "50M"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {file.path(), c.port, c.address, "1000"});
        Child run(TwoHosts::in(hosts.a, frandle(args)));
        const int sendingPort = c.args.back() == "L" ? 30000 : 40000;
        if (c.peer != Peer::None) {
            ASSERT_TRUE(hosts.waitForUdpPort(hosts.a, sendingPort));
        }
        int truth = 0;  // the count that the line of the report must give
        if (c.peer == Peer::Forger)
            truth = answerDatagrams(hosts.b, c.type, c.code, c.mtu, sendingPort, 5020, 500);
        if (c.peer == Peer::SenderToItsPort) {
            const int sock = socketIn(hosts.b, SOCK_DGRAM, 0);
            const sockaddr_in to{AF_INET, htons(40000), {htonl(0xc0000201)}, {}};
            for (int i = 0; i < 1000; ++i)
                sendto(sock, "x", 1, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
            close(sock);
        }
        const int status = run.wait(10s);
        const std::size_t queueDrops = qdiscDrops() - queueDropsBefore;
        if (c.peer == Peer::Queue) {
            sh("ip netns exec " + hosts.a + " tc qdisc del dev va root");
            truth = static_cast<int>(queueDrops);
            EXPECT_GT(truth, 0);
        }
        if (c.port == "5021")
            truth = static_cast<int>(kernelCount("Icmp", "OutDestUnreachs", hosts.b) - answeredBefore);
        if (c.address == "198.51.100.1") {
            EXPECT_EQ(status, 1);
            EXPECT_EQ(run.err(), c.answer);
            continue;
        }
        EXPECT_EQ(status, 0) << run.err();
        EXPECT_TRUE(run.out().ends_with(all)) << run.out();
        EXPECT_EQ(numberAfter(run.err(), c.answer), static_cast<std::size_t>(truth)) << run.err();
        EXPECT_EQ(run.err().find("refused to cut"), std::string::npos) << run.err();  // no move for an answer
        if (c.peer == Peer::SenderToItsPort) {
            EXPECT_NE(run.err().find("datagrams that arrived at the sending port: 1000\n"), std::string::npos);
        }
        if (c.port == "5020" && c.args.front() != "-O") {  // every datagram of the file, once, less the queue's
            EXPECT_EQ(droppedByRule(hosts.b) - arrivedBefore, 5243 - queueDrops);
        }
    }
}

// What S and L set in every datagram's header (--dscp, --tos, --ttl, --hop-limit, --df),
// held to the far host's own counters, and the DSCP its receiver reports; with --df a
// datagram larger than the link is refused and counted, never cut into fragments; and S
// told by -w to wait hears out a host that is not on the link.
TEST(Network, PathControlsMarkEveryDatagram)
{
    if (geteuid() != 0 || !sh("command -v ip") || !sh("command -v nft"))
        GTEST_SKIP() << "needs root, ip and nft to build two hosts and count what arrives";
    const TwoHosts hosts;
    ASSERT_TRUE(hosts.ready());
    ASSERT_TRUE(sh("ip -n " + hosts.a + " addr add fd00::1/64 dev va nodad") &&
                sh("ip -n " + hosts.b + " addr add fd00::2/64 dev vb nodad"));
    const std::string nft = "ip netns exec " + hosts.b + " nft ";
    ASSERT_TRUE(sh(nft + "add table inet marks") &&
                sh(nft + "add chain inet marks in '{ type filter hook input priority 0; }'"));
    const std::vector<std::string> rules = {
        "udp dport 5030 ip dscp ef", "udp dport 5031 ip ttl 7", "udp dport 5032 ip6 hoplimit 7",
        "udp dport 5033 ip frag-off \\& 0x4000 != 0", "udp dport 5034 ip dscp af41", "udp dport 5035",
    };
    for (const std::string &rule : rules)
        ASSERT_TRUE(sh(nft + "add rule inet marks in " + rule + " counter drop")) << rule;
    const auto counted = [&](std::size_t rule) {  // by the rule's own counter, in the order added
        const std::string listing = outputOf(nft + "list chain inet marks in");
        std::size_t at = 0;
        for (std::size_t i = 0; i <= rule && at != std::string::npos; ++i)
            at = listing.find("counter packets ", at + 1);
        return at == std::string::npos ? SIZE_MAX : std::stoul(listing.substr(at + 16));
    };
    const TempFile file(textBytes(200 * 1000));  // 200 datagrams of 1000 bytes
    const struct {
        std::vector<std::string> args;
        std::string address;
        std::size_t rule;
    } cases[] = {
        {{"--dscp", "ef", "S"}, "192.0.2.2", 0},
        {{"--ttl", "7", "-w", "0.3", "L"}, "192.0.2.2", 1},
        {{"--hop-limit", "7", "S"}, "fd00::2", 2},
        {{"--df", "S"}, "192.0.2.2", 3},
        {{"--tos", "0x88", "S"}, "::ffff:192.0.2.2", 4},  // IPv4 from an IPv6 socket
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {file.path(), std::to_string(5030 + c.rule), c.address, "1000"});
        Child run(TwoHosts::in(hosts.a, frandle(args)));
        EXPECT_EQ(run.wait(), 0) << run.err();
        EXPECT_EQ(counted(c.rule), 200u);
    }
    // The receiver sees the marks; datagrams larger than the link go nowhere with --df.
    Child receive(TwoHosts::in(hosts.b, frandle({"-v", "R", "-", "5036"})));
    ASSERT_TRUE(receive.waitForOut("Receiving, port: 5036\n"));
    Child marked(TwoHosts::in(hosts.a, frandle({"--dscp", "cs3", "S", file.path(), "5036", "192.0.2.2", "1000"})));
    EXPECT_EQ(marked.wait(), 0);
    const long fragmentsBefore = kernelCount("Ip", "FragCreates", hosts.a);
    Child large(TwoHosts::in(hosts.a, frandle({"-v", "--df", "-l", "1300", "S", file.path(), "5035", "192.0.2.2"})));
    EXPECT_EQ(large.wait(), 0);
    EXPECT_EQ(numberAfter(large.err(), "refused as larger than the path MTU (1280): "), 154 - counted(5));
    EXPECT_EQ(counted(5), 1u);  // the last of 154 datagrams, of 1100 bytes
    EXPECT_EQ(kernelCount("Ip", "FragCreates", hosts.a), fragmentsBefore);
    settle(receive);
    EXPECT_EQ(receive.stop(SIGTERM), 128 + SIGTERM);
    EXPECT_NE(receive.err().find("dscp cs3: 200\n"), std::string::npos) << receive.err();
    // A host missing from the link is answered for by this one, after its neighbour lookup,
    // over its own loopback.
    ASSERT_TRUE(sh("ip -n " + hosts.a + " link set lo up"));
    const long answeredBefore = kernelCount("Icmp", "OutDestUnreachs", hosts.a);
    Child absent(TwoHosts::in(hosts.a, frandle({"-v", "-w", "5", "S", file.path(), "5036", "192.0.2.99"})));
    EXPECT_EQ(absent.wait(10s), 0);
    const long answered = kernelCount("Icmp", "OutDestUnreachs", hosts.a) - answeredBefore;
    EXPECT_GT(answered, 0);
    EXPECT_EQ(numberAfter(absent.err(), "host unreachable from 192.0.2.1, "), static_cast<std::size_t>(answered))
        << absent.err();
}

}  // namespace
