// R mode: the header lines, one line per datagram, failures, and no line lost on a stop.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
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

// A peer's control bytes must not reach a terminal raw: they show as escapes there.
TEST(Receive, OnATerminalControlBytesShowAsEscapes)
{
    int terminal = -1;
    int tool = -1;
    ASSERT_EQ(openpty(&terminal, &tool, nullptr, nullptr, nullptr), 0);
    termios raw{};
    tcgetattr(tool, &raw);
    cfmakeraw(&raw);  // no translation of line ends on the way
    tcsetattr(tool, TCSANOW, &raw);
    const std::uint16_t port = freePort();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(tool, STDOUT_FILENO);
        close_range(3, ~0U, 0);
        execl(FRANDLE_BIN, FRANDLE_BIN, "R", "-", std::to_string(port).c_str(), nullptr);
        _exit(127);
    }
    close(tool);
    std::string shown;
    const auto readUntil = [&](const std::string &text) {
        char bytes[4096];
        pollfd ready{terminal, POLLIN, 0};
        while (shown.find(text) == std::string::npos && poll(&ready, 1, 2000) == 1) {
            const ssize_t got = read(terminal, bytes, sizeof bytes);
            if (got <= 0)
                break;
            shown.append(bytes, static_cast<std::size_t>(got));
        }
        return shown.find(text) != std::string::npos;
    };
    EXPECT_TRUE(readUntil(header(port)));
    Udp().sendTo(port, "\x1b[31mred\\x1b\a\tok\nnext\x7f\x80\xc3\xa9");
    const std::string line = "rcvd \\x1b[31mred\\\\x1b\\x07\tok\nnext\\x7f\x80\xc3\xa9\n";
    EXPECT_TRUE(readUntil(line)) << shown;
    EXPECT_EQ(shown, header(port) + line);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(terminal);
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

TEST(Receive, PrintsEachDatagramAsOneLineWhileRunning)
{
    const std::uint16_t port = freePort();
    Child receiver(frandle({"R", "unused", std::to_string(port)}));
    ASSERT_TRUE(receiver.waitForOut(header(port)));
    const Udp sender;
    std::string expected = header(port);
    for (const auto &c : arrivals()) {
        send(sender, port, c);
        expected += c.line;
        // Written out within a second while the receiver keeps running, even to a file.
        EXPECT_TRUE(receiver.waitForOut(expected, 1s)) << c.line;
    }
    EXPECT_TRUE(receiver.running());
    EXPECT_EQ(receiver.stop(SIGTERM), 128 + SIGTERM);
    EXPECT_EQ(receiver.out(), expected);
    EXPECT_EQ(receiver.err(), "");
}

TEST(Receive, APortInUseFailsAtTheBind)
{
    const Udp holder;
    const Outcome got = run({"R", "unused", std::to_string(holder.port())});
    EXPECT_EQ(got.out, header(holder.port(), -1));
    EXPECT_EQ(got.err, "bind: Address already in use\n");
    EXPECT_EQ(got.status, 1);
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
    for (const int sig : {0, SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        const std::uint16_t port = freePort();
        Child receiver(frandle({"R", "unused", std::to_string(port)}));
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

}  // namespace
