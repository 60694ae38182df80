// Argument handling that ends before anything is sent: usage, mode letters, bad numbers.
#include "harness.hpp"

#include <gtest/gtest.h>

namespace {

const std::string usage = "usage:frandle S|R|L fileName port [ipAddress] [send size]\n";
const std::string missing = "/nonexistent/frandle-input";
const std::string longName = "/nonexistent/" + std::string(5000, 'n');

struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
};

TEST(CommandLine, EndsEarlyWithTheRightWordsAndStatus)
{
    const Case cases[] = {
        {{}, usage, 255},
        {{"S"}, usage, 255},
        {{"S", missing}, usage, 255},
        // Only the first, upper-case letter selects a mode; nothing is opened otherwise.
        {{"s", missing, "9"}, "invalid mode of operation", 255},
        {{"X", missing, "9", "127.0.0.1", "10"}, "invalid mode of operation", 255},
        {{"", missing, "9"}, "invalid mode of operation", 255},
        {{"Send", missing, "9", "127.0.0.1"}, "Can't read " + missing + " in brasket\n", 255},
        {{"L", missing, "9", "127.0.0.1"}, "Can't read " + missing + " in brasket\n", 255},
        {{"Listen", longName, "9"}, "Can't read " + longName + " in brasket\n", 255},
        // A negative send size is refused before anything is opened, however it is written.
        {{"S", missing, "9", "127.0.0.1", "-1"}, usage, 255},
        {{"S", missing, "9", "127.0.0.1", "  -5x"}, usage, 255},
        {{"S", missing, "9", "127.0.0.1", "-99999999999999999999999"}, usage, 255},
    };
    for (const auto &c : cases) {
        const Outcome got = run(c.args);
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(got.out, c.out);
        EXPECT_EQ(got.err, "");
        EXPECT_EQ(got.status, c.status);
    }
}

}  // namespace
