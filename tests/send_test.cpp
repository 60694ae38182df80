// S mode: what leaves, from where, in which pieces, and how each failure ends.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <signal.h>

namespace {

struct Case {
    std::size_t fileSize;
    std::vector<std::string> sizeArgs;  // what follows the address
    std::vector<std::size_t> datagrams;
    std::vector<std::string> options = {};
    std::string address = "127.0.0.1";
    int from = 40000;
};

TEST(Send, CutsTheFileIntoDatagramsOfTheSendSize)
{
    const Case cases[] = {
        {0, {}, {}},
        {1396, {}, {1396}},
        {1397, {}, {1396, 1}},
        {3000, {"5000"}, {1396, 1396, 208}},
        {3000, {"99999999999999999999999"}, {1396, 1396, 208}},  // too large to hold: the largest
        {300, {"100"}, {100, 100, 100}},
        {301, {" +100abc"}, {100, 100, 100, 1}},                 // read as atoi would
        {5, {"1"}, {1, 1, 1, 1, 1}},
        {10, {"0"}, {}},
        {10, {"many"}, {}},
        {3000, {"100", "extra"}, {1396, 1396, 208}},              // with a 7th argument the size is not read
        {300, {"100"}, {100, 100, 100}, {}, "127.1"},              // inet_addr's short form
        {300, {"100"}, {100, 100, 100}, {"-4"}, "localhost"},      // a name
        {300, {"100"}, {100, 100, 100}, {"-p", "40001", "-s", "127.0.0.1"}, "127.0.0.1", 40001},
        // -l sets the largest, up to the largest an IPv4 datagram holds.
        {140000, {"-l", "65507"}, {65507, 65507, 8986}},
        {3000, {"5000", "-l", "2000"}, {2000, 1000}},
        {3000, {"-l", "1000", "500"}, {500, 500, 500, 500, 500, 500}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.sizeArgs) + " file of " + std::to_string(c.fileSize));
        const std::string bytes = testBytes(c.fileSize, static_cast<unsigned>(c.fileSize));
        const TempFile file(bytes);
        const Udp receiver;
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"S", file.path(), std::to_string(receiver.port()), c.address});
        args.insert(args.end(), c.sizeArgs.begin(), c.sizeArgs.end());

        const Outcome got = run(args);
        EXPECT_EQ(got.out, "sending done " + std::to_string(c.datagrams.size()) + "\n");
        EXPECT_EQ(got.err, "");
        EXPECT_EQ(got.status, 0);

        const auto arrived = receiver.receive(c.datagrams.size());
        ASSERT_EQ(arrived.size(), c.datagrams.size());
        EXPECT_TRUE(receiver.receive(1, 50ms).empty());
        std::size_t at = 0;
        for (std::size_t i = 0; i < arrived.size(); ++i) {
            EXPECT_EQ(arrived[i].bytes, bytes.substr(at, c.datagrams[i])) << "datagram " << i;
            EXPECT_EQ(arrived[i].from, c.from);
            at += c.datagrams[i];
        }
    }
}

// The file is read in blocks of many chunks: a block's edges must never show in what is
// sent. A block holds 64 chunks, or as many as fit in 65507 bytes (46 of 1396), or with
// -l as many as fit in 64 of 1396 (9 of 8972, 1 of 65507).
TEST(Send, BlocksOfChunksLeaveAsTheSameDatagrams)
{
    const struct {
        std::size_t sendSize;
        std::size_t block;
        std::vector<std::string> options;
    } sizes[] = {{1, 64, {}}, {100, 6400, {}}, {1396, 46 * 1396, {}}, {8972, 9 * 8972, {"-l", "8972"}},
                 {65507, 65507, {"-l", "65507"}}, {8972, 7 * 8972, {"-O", "-l", "8972"}}};
    for (const auto &[sendSize, block, options] : sizes) {
        for (const std::size_t fileSize : {std::size_t{0}, std::size_t{1}, block, block + 1, 3 * block + sendSize / 2 + 1}) {
            SCOPED_TRACE("send size " + std::to_string(sendSize) + ", file of " + std::to_string(fileSize));
            const std::string bytes = testBytes(fileSize, static_cast<unsigned>(fileSize + sendSize));
            const TempFile file(bytes);
            const Udp receiver;
            const std::size_t count = (fileSize + sendSize - 1) / sendSize;

            std::vector<std::string> args = {"S", file.path(), std::to_string(receiver.port()), "127.0.0.1",
                                             std::to_string(sendSize)};
            args.insert(args.end(), options.begin(), options.end());
            const Outcome got = run(args);
            EXPECT_EQ(got.out, "sending done " + std::to_string(count) + "\n");
            EXPECT_EQ(got.status, 0);
            const auto arrived = receiver.receive(count);
            ASSERT_EQ(arrived.size(), count);
            EXPECT_TRUE(receiver.receive(1, 50ms).empty());
            for (std::size_t i = 0; i < count; ++i)
                ASSERT_EQ(arrived[i].bytes, bytes.substr(i * sendSize, sendSize)) << "datagram " << i;
        }
    }
}

// A pipe gives what it holds at each read, yet every datagram but the last holds a whole
// chunk, cut where the file would have been: with and without offload.
TEST(Send, APipeGivesWholeChunks)
{
    const struct {
        std::string sendSize;
        std::vector<std::size_t> writes;  // each one read apart from the next
        std::string offload;
        std::string name = "";  // of the file on the command line: "-" reads standard input
    } cases[] = {
        {"1396", {3000, 1, 1396, 4096}, ""},
        {"1396", {3000, 1, 1396, 4096}, "", "-"},
        {"1396", {3000, 1, 1396, 4096}, "-O"},
        {"100", {250, 99, 1, 100}, ""},
        {"1", {3, 1}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("send size " + c.sendSize + " " + c.offload);
        const std::string fifo = "/tmp/frandle-test-fifo-" + std::to_string(getpid());
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        const int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
        const Udp receiver;
        std::vector<std::string> args = {"/bin/sh", "-c", "exec \"$0\" \"$@\" <" + fifo, FRANDLE_BIN, "S",
                                         c.name.empty() ? fifo : c.name, std::to_string(receiver.port()), "127.0.0.1",
                                         c.sendSize};
        if (!c.offload.empty())
            args.push_back(c.offload);
        Child send(args);
        std::string all;
        for (std::size_t i = 0; i < c.writes.size(); ++i) {
            const std::string part = testBytes(c.writes[i], static_cast<unsigned>(i + 1));
            ASSERT_EQ(write(writer, part.data(), part.size()), static_cast<ssize_t>(part.size()));
            all += part;
            std::this_thread::sleep_for(50ms);  // read before the next write comes
        }
        close(writer);
        EXPECT_EQ(send.wait(), 0);
        const std::size_t size = std::stoul(c.sendSize);
        const std::size_t count = (all.size() + size - 1) / size;
        EXPECT_EQ(send.out(), "sending done " + std::to_string(count) + "\n");
        const auto arrived = receiver.receive(count + 1, 200ms);
        ASSERT_EQ(arrived.size(), count);
        for (std::size_t i = 0; i < count; ++i)
            EXPECT_EQ(arrived[i].bytes, all.substr(i * size, size)) << "datagram " << i;
        unlink(fifo.c_str());
    }
}

// A file that reads but cannot be sent straight from (a /proc file) goes by read: the same
// datagrams, offloaded or not.
TEST(Send, AFileThatCannotBeSentFromGoesByRead)
{
    const std::string bytes = readFile("/proc/kallsyms");
    for (const std::vector<std::string> &options : {std::vector<std::string>{}, {"-O"}}) {
        SCOPED_TRACE(testing::PrintToString(options));
        const std::string port = std::to_string(freePort());
        Child receiver(frandle({"R", "-", port}));
        ASSERT_TRUE(receiver.waitForOut("Receiving, port: " + port + "\n"));
        std::vector<std::string> args = {"-b", "300M", "S", "/proc/kallsyms", port, "127.0.0.1"};
        args.insert(args.end(), options.begin(), options.end());
        const Outcome got = run(args);
        EXPECT_EQ(got.status, 0) << got.err;
        EXPECT_EQ(got.out, "sending done " + std::to_string((bytes.size() + 1395) / 1396) + "\n");
        EXPECT_TRUE(receiver.waitForOut(datagramLines(bytes.substr(bytes.size() / 1396 * 1396), 1396), 5s));
        EXPECT_EQ(receiver.stop(SIGTERM), 128 + SIGTERM);
        EXPECT_TRUE(receiver.out().find(datagramLines(bytes, 1396)) != std::string::npos) << "lost or changed lines";
    }
}

TEST(Send, UsesOnlyTheLow16BitsOfThePort)
{
    const TempFile file("wrapped");
    const Udp receiver;
    const Outcome got = run({"S", file.path(), std::to_string(receiver.port() + 65536 * 3), "127.0.0.1"});
    EXPECT_EQ(got.out, "sending done 1\n");
    const auto arrived = receiver.receive(1);
    ASSERT_EQ(arrived.size(), 1u);
    EXPECT_EQ(arrived[0].bytes, "wrapped");
}

TEST(Send, FailuresNameTheCallSendNothingAndEndWithStatus1)
{
    const TempFile file("payload");
    const Udp receiver;
    const std::string port = std::to_string(receiver.port());
    mkdir("/tmp/frandle-test-dir", 0700);
    struct FailCase {
        std::vector<std::string> args;
        bool holdSenderPort;
        std::string errStart;
    } cases[] = {
        {{"S", file.path(), port, "127.0.0.1"}, true, "bind: Address already in use (local port 40000; choose another with -p)\n"},
        {{"-p", "40000", "S", file.path(), port, "127.0.0.1"}, true, "bind: Address already in use\n"},
        // No address: the conversion gives the broadcast address, which may not be sent to.
        {{"S", file.path(), port}, false, "sendto: "},
        {{"S", file.path(), port, "255.255.255.255"}, false, "sendto: "},
        {{"S", file.path(), port, "no-such-host.invalid"}, false, "frandle: no-such-host.invalid: "},
        {{"-4", "S", file.path(), port, "::1"}, false, "frandle: ::1: "},
        {{"S", file.path(), "no-such-service", "127.0.0.1"}, false, "frandle: no-such-service: no such UDP service\n"},
        // A directory opens but cannot be read.
        {{"S", "/tmp/frandle-test-dir", port, "127.0.0.1"}, false, "read: Is a directory\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const auto holder = c.holdSenderPort ? std::make_unique<Udp>(40000) : nullptr;
        const Outcome got = run(c.args);
        EXPECT_EQ(got.out, "");
        EXPECT_EQ(got.err.rfind(c.errStart, 0), 0u) << got.err;
        EXPECT_EQ(got.status, 1);
    }
    rmdir("/tmp/frandle-test-dir");
    EXPECT_TRUE(receiver.receive(1, 100ms).empty());
}

// A regular file goes out many datagrams a call, one packet each; offloaded, in blocks that
// the kernel cuts, straight from the file. Paced, a burst is a millisecond's worth: at
// 16 Mbit/s one datagram a call. Counted by strace.
TEST(Send, AFileGoesOutManyDatagramsACall)
{
    if (std::system("command -v strace >/dev/null") != 0)
        GTEST_SKIP() << "needs strace to count the send calls";
    const struct {
        std::vector<std::string> options;
        std::map<std::string, int> least, most;  // calls of each kind
    } cases[] = {
        {{}, {{"sendmmsg", 2}}, {{"sendmmsg", 2}, {"sendmsg", 0}, {"sendfile", 0}, {"sendto", 0}}},  // 64 + 36
        {{"-O"}, {{"sendfile", 1}}, {{"sendmmsg", 0}, {"sendmsg", 4}, {"sendfile", 4}, {"sendto", 0}}},  // 3 blocks of 46
        {{"-b", "16M"}, {{"sendmmsg", 100}}, {{"sendmmsg", 100}}},  // a millisecond's burst: one datagram
    };
    const std::string bytes = testBytes(100 * 1396);
    const TempFile file(bytes);
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        const TempFile counts;
        const Udp receiver;
        // A leak check cannot run under a tracer: off, for a sanitized build.
        std::vector<std::string> args = {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-c", "-e",
                                         "trace=sendto,sendmsg,sendfile,sendmmsg", "-o", counts.path(), FRANDLE_BIN, "S",
                                         file.path(), std::to_string(receiver.port()), "127.0.0.1"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        Child send(args);
        EXPECT_EQ(send.wait(), 0);
        EXPECT_EQ(send.out(), "sending done 100\n");
        // Rows of "% time, seconds, usecs/call, calls, [errors,] syscall".
        std::map<std::string, int> calls;
        const std::string summary = readFile(counts.path());
        std::istringstream rows(summary);
        for (std::string row; std::getline(rows, row);) {
            std::istringstream fields(row);
            std::vector<std::string> field{std::istream_iterator<std::string>(fields), {}};
            if (field.size() >= 5 && std::isdigit(static_cast<unsigned char>(field[0][0])) != 0)
                calls[field.back()] = std::stoi(field[3]);
        }
        for (const auto &[call, least] : c.least)
            EXPECT_GE(calls[call], least) << call << "\n" << summary;
        for (const auto &[call, most] : c.most)
            EXPECT_LE(calls[call], most) << call << "\n" << summary;
        const auto arrived = receiver.receive(101);
        ASSERT_EQ(arrived.size(), 100u);
        EXPECT_EQ(arrived[99].bytes, bytes.substr(99 * 1396));
    }
}

TEST(Send, UNSANITIZED(ASmallStackIsEnough))
{
    const TempFile file("payload");
    const Udp receiver;
    const struct {
        std::string mode;
        std::string port;
        std::string out;
    } cases[] = {
        {"S", std::to_string(receiver.port()), "sending done 1\n"},
        {"L", std::to_string(receiver.port()), "socket is 4\nsending done 1\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode);
        Child run({"/bin/sh", "-c", "ulimit -s 64 && exec \"$0\" \"$@\"", FRANDLE_BIN, c.mode, file.path(), c.port,
                   "127.0.0.1"});
        EXPECT_TRUE(run.waitForOut(c.out));
        EXPECT_EQ(receiver.receive(1).size(), 1u);
        EXPECT_EQ(c.mode == "S" ? run.wait() : run.stop(SIGTERM), c.mode == "S" ? 0 : 128 + SIGTERM);
        EXPECT_EQ(run.out(), c.out);
    }
}

// A port where nothing listens answers each datagram on loopback; the report counts the
// answers by kind and reporter, in both regimes (offloaded, a block gets one answer), and
// the status stays 0. A port that takes them gives no answer.
TEST(Send, TheReportTellsWhatTheNetworkAnswered)
{
    const Udp listening;
    const std::string closedPort = "the network answered: port unreachable from 127.0.0.1, ";
    const struct {
        std::vector<std::string> options;
        std::string port;
        std::size_t bytes;
        std::size_t sendSize;
        std::string answer;
        long answers;  // as the kernel counts the ones it sent
    } cases[] = {
        {{}, std::to_string(freePort()), 10'000, 1000, closedPort + "10 times\n", 10},
        {{"-O"}, std::to_string(freePort()), 10'000, 1000, closedPort + "1 time\n", 1},
        {{}, std::to_string(listening.port()), 10'000, 1000, "the network answered nothing\n", 0},
        // More answers than the socket's queue of them holds: read as they come, not at the end.
        {{}, std::to_string(freePort()), 10'000, 10, closedPort + "1000 times\n", 1000},
        // Offloaded, every block after the first straight from the file: 1563 of 640 bytes.
        {{"-O"}, std::to_string(freePort()), 1'000'000, 10, closedPort + "1563 times\n", 1563},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options) + " " + c.port + " " + std::to_string(c.sendSize));
        const TempFile file(testBytes(c.bytes));
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-v", "S", file.path(), c.port, "127.0.0.1", std::to_string(c.sendSize)});
        const long answeredBefore = kernelCount("Icmp", "OutDestUnreachs");
        const Outcome got = run(args);
        EXPECT_EQ(got.status, 0);
        EXPECT_EQ(got.out, "sending done " + std::to_string((c.bytes + c.sendSize - 1) / c.sendSize) + "\n");
        EXPECT_NE(got.err.find(c.answer), std::string::npos) << got.err;
        // As many as this host's kernel says it sent.
        EXPECT_EQ(kernelCount("Icmp", "OutDestUnreachs") - answeredBefore, c.answers);
    }
}

// Paced, a send takes at least the time its bytes need at the rate (a loaded machine only
// makes it slower), with the same datagrams; -v reports what went out, and on a terminal a
// status line shows how far it is while it goes, four times a second, cleared before each
// report and drawn again after an interval report.
TEST(Send, APacedSendTakesItsTimeAndReportsIt)
{
    const std::string bytes = testBytes(50000);
    const TempFile file(bytes);
    const Udp receiver;
    const std::string port = std::to_string(receiver.port());
    const auto start = std::chrono::steady_clock::now();
    const Outcome got = run({"-v", "-b", "400k", "S", file.path(), port, "127.0.0.1", "1000"});
    EXPECT_GE(std::chrono::steady_clock::now() - start, 950ms);  // the last of 50 is due after 0.98 s
    EXPECT_EQ(got.out, "sending done 50\n");
    EXPECT_EQ(got.err.rfind("sent 50 datagrams, 50000 bytes, in ", 0), 0u) << got.err;
    EXPECT_EQ(got.status, 0);
    const auto arrived = receiver.receive(51);
    ASSERT_EQ(arrived.size(), 50u);
    for (std::size_t i = 0; i < arrived.size(); ++i)
        EXPECT_EQ(arrived[i].bytes, bytes.substr(i * 1000, 1000)) << "datagram " << i;
    // No wait after the last datagram: one of 1000 bytes at 1 kbit/s takes no 8 s.
    const TempFile one(bytes.substr(0, 1000));
    const Outcome single = run({"-v", "-b", "1k", "S", one.path(), port, "127.0.0.1", "1000"}, 3s);
    EXPECT_EQ(single.status, 0);
    EXPECT_EQ(single.err.rfind("sent 1 datagram, 1000 bytes, in 0.0", 0), 0u) << single.err;
    EXPECT_EQ(receiver.receive(1).size(), 1u);
    // -t: the file again from its start while the time lasts, one a tenth of a second here.
    const Outcome timed = run({"-t", "0.5", "-b", "80k", "S", one.path(), port, "127.0.0.1", "1000"}, 3s);
    const auto again = receiver.receive(100, 300ms);
    EXPECT_EQ(timed.out, "sending done " + std::to_string(again.size()) + "\n");
    EXPECT_TRUE(again.size() >= 5 && again.size() <= 6 && again.back().bytes == bytes.substr(0, 1000)) << again.size();

    const auto started = std::chrono::steady_clock::now();
    OnTerminal send(frandle({"-i", "0.4", "-b", "400k", "S", file.path(), port, "127.0.0.1", "1000"}), {STDERR_FILENO});
    const std::string shown = send.readUntil(" Mbit/s handed to the kernel\n", 5s);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    std::size_t draws = 0;  // at 0, 0.25, 0.5 and 0.75 s, and after the reports at 0.4 and 0.8 s
    for (auto at = shown.find("\rsending: "); at != std::string::npos; at = shown.find("\rsending: ", at + 1))
        ++draws;
    EXPECT_GE(draws, 5u) << shown;
    EXPECT_LE(draws, 2 + took.count() * (4 + 2.5)) << shown;
    EXPECT_EQ(shown.rfind("\rsending: 2% (1000 of 50000 bytes), ", 0), 0u) << shown;
    EXPECT_NE(shown.find(" s left\033[K"), std::string::npos) << shown;
    const auto interval = shown.find("\r\033[Ksent in 0.000-0.4");
    ASSERT_NE(interval, std::string::npos) << shown;
    EXPECT_EQ(shown.compare(shown.find('\n', interval), 11, "\n\rsending: "), 0) << shown;
    // The last interval, up to the end, then the report, with no status line between.
    EXPECT_NE(shown.find("in all: 50 datagrams, 50000 bytes, "), std::string::npos) << shown;
    EXPECT_NE(shown.find("answered 0 times\nsent 50 datagrams, 50000 bytes, in "), std::string::npos) << shown;
    EXPECT_EQ(send.stop(SIGTERM, 2s), 0);

    // -q: on a terminal too, nothing but the lines.
    OnTerminal quiet(frandle({"-q", "-b", "400k", "S", file.path(), port, "127.0.0.1", "1000"}), {STDOUT_FILENO, STDERR_FILENO});
    quiet.readUntil("sending done 50", 5s);
    const std::string all = quiet.readUntil("anything after it", 500ms);
    EXPECT_EQ(all, "sending done 50\n");
    EXPECT_EQ(quiet.stop(SIGTERM, 2s), 0);
}

}  // namespace
