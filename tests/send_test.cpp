// S mode: what leaves, from where, in which pieces, and how each failure ends.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>

namespace {

struct Case {
    std::size_t fileSize;
    std::vector<std::string> sizeArgs;  // what follows the address
    std::vector<std::size_t> datagrams;
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
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.sizeArgs) + " file of " + std::to_string(c.fileSize));
        const std::string bytes = testBytes(c.fileSize, static_cast<unsigned>(c.fileSize));
        const TempFile file(bytes);
        const Udp receiver;
        std::vector<std::string> args = {"S", file.path(), std::to_string(receiver.port()), "127.0.0.1"};
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
            EXPECT_EQ(arrived[i].from, 40000);
            at += c.datagrams[i];
        }
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
        {{"S", file.path(), port, "127.0.0.1"}, true, "bind: Address already in use\n"},
        // No address: the conversion gives the broadcast address, which may not be sent to.
        {{"S", file.path(), port}, false, "sendto: "},
        {{"S", file.path(), port, "not an address"}, false, "sendto: "},
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

}  // namespace
