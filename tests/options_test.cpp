// The command line's numbers and options, read in-process: no binary, no socket.
#include "../src/net.hpp"
#include "../src/options.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>

namespace {

TEST(Options, RatesAndWaitsAreReadOrRefused)
{
    const struct {
        const char *text;
        std::optional<double> rate;
        std::optional<double> seconds;
        std::optional<std::int32_t> localPort = std::nullopt;
    } cases[] = {
        {"65535", 65535, 65535, 65535},
        {"65536", 65536, 65536, std::nullopt},
        {"40001", 40001, 40001, 40001},
        {"1", 1, 1, 1},
        {"1.5", 1.5, 1.5},
        {".5", std::nullopt, 0.5},  // below 1 bit/s
        {"10k", 1e4, std::nullopt},
        {"10K", 1e4, std::nullopt},
        {"2.5m", 2.5e6, std::nullopt},
        {"2.5M", 2.5e6, std::nullopt},
        {"100g", 1e11, std::nullopt},
        {"1000G", 1e12, std::nullopt},
        {"1001G", std::nullopt, std::nullopt},  // no pacing would result
        {"1e3", 1e3, 1e3},
        {"1e-15", std::nullopt, 1e-15},
        {"2e23", std::nullopt, std::nullopt},
        {"1e300", std::nullopt, std::nullopt},
        {"31536000", 31536000, 31536000},     // a year
        {"31536001", 31536001, std::nullopt}, // more than a year
        {"3e6", 3e6, 3e6},
        {"0", std::nullopt, std::nullopt},
        {"-1", std::nullopt, std::nullopt},
        {" 1", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {"1Mx", std::nullopt, std::nullopt},
        {"1x", std::nullopt, std::nullopt},
        {"2s", std::nullopt, std::nullopt},
        {"inf", std::nullopt, std::nullopt},
        {"nan", std::nullopt, std::nullopt},
        {"0x10", std::nullopt, std::nullopt},
        {"1e400", std::nullopt, std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(rateOf(c.text), c.rate);
        EXPECT_EQ(secondsOf(c.text), c.seconds);
        EXPECT_EQ(localPortOf(c.text), c.localPort);
    }
}

TEST(Options, DatagramLengthsAreReadOrRefused)
{
    const struct {
        const char *text;
        std::optional<std::int32_t> length;
    } cases[] = {
        {"1", 1},      {"1396", 1396},         {"8972", 8972},         {"65507", 65507},        {"065507", std::nullopt},
        {"65508", std::nullopt}, {"0", std::nullopt}, {"-1", std::nullopt}, {"1k", std::nullopt}, {"", std::nullopt},
        {" 9", std::nullopt},    {"9.5", std::nullopt}, {"99999999999", std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(lengthOf(c.text), c.length);
    }
}

TEST(Options, OptionsMayComeAnywhereAndDashDashEndsThem)
{
    const struct {
        std::vector<std::string> args;
        CommandLine::Asks asks;
        OperationMode mode;
        std::string fileName;
        std::int32_t sendSize;
        double idleSeconds;
        Datagrams datagrams = Datagrams::OnePacketEach;
        Family family = Family::Any;
        std::string service = "";  // the port as a name, for the front end to look up
    } cases[] = {
        {{"S", "f", "echo", "a"}, CommandLine::Asks::Transfer, OperationMode::Send, "f", 1396, 0, Datagrams::OnePacketEach,
         Family::Any, "echo"},
        {{"S", "f", " +12x", "a"}, CommandLine::Asks::Transfer, OperationMode::Send, "f", 1396, 0},  // atoi's 12
        {{"S", "f", "", "a"}, CommandLine::Asks::Transfer, OperationMode::Send, "f", 1396, 0},
        {{"L", "f", "9", "a", "-w", "1"}, CommandLine::Asks::Transfer, OperationMode::SendAndListen, "f", 1396, 1},
        {{"-w", "2", "R", "-", "9"}, CommandLine::Asks::Transfer, OperationMode::Receive, "-", 1396, 2},
        {{"S", "f", "9", "a", "-5"}, CommandLine::Asks::Transfer, OperationMode::Send, "f", -5, 0},
        {{"S", "f", "9", "a", "100", "x"}, CommandLine::Asks::Transfer, OperationMode::Send, "f", 1396, 0},  // size unread
        {{"--", "S", "-w", "9", "a"}, CommandLine::Asks::Transfer, OperationMode::Send, "-w", 1396, 0},
        {{"R", "f", "--dscp=ef", "9"}, CommandLine::Asks::Refusal, OperationMode::None, "", 1396, 0},
        {{"S", "f", "9", "-O"}, CommandLine::Asks::Transfer, OperationMode::Send, "f", 1396, 0, Datagrams::Offloaded},
        {{"--offload", "R", "-", "9"}, CommandLine::Asks::Transfer, OperationMode::Receive, "-", 1396, 0, Datagrams::Offloaded},
        // -4 and -6 are options but in the send size's place, where they were a size.
        {{"S", "f", "9", "a", "-4"}, CommandLine::Asks::Transfer, OperationMode::Send, "f", -4, 0},
        {{"S", "f", "9", "a", "1000", "-4"}, CommandLine::Asks::Transfer, OperationMode::Send, "f", 1000, 0,
         Datagrams::OnePacketEach, Family::IPv4},
        {{"-6", "R", "-", "9"}, CommandLine::Asks::Transfer, OperationMode::Receive, "-", 1396, 0, Datagrams::OnePacketEach,
         Family::IPv6},
        {{"R", "-", "9", "-p", "5000"}, CommandLine::Asks::Refusal, OperationMode::None, "", 1396, 0},
        {{"S", "f", "9", "-p", "0"}, CommandLine::Asks::Refusal, OperationMode::None, "", 1396, 0},
        {{"R", "f", "-h"}, CommandLine::Asks::Help, OperationMode::None, "", 1396, 0},
        {{"S", "f", "9", "a", "-l", "9000"}, CommandLine::Asks::Transfer, OperationMode::Send, "f", 9000, 0},  // the largest
        {{"--length=9000", "S", "f", "9", "a", "5"}, CommandLine::Asks::Transfer, OperationMode::Send, "f", 5, 0},
        {{"-l", "65508", "S", "f", "9"}, CommandLine::Asks::Refusal, OperationMode::None, "", 1396, 0},
        {{"R", "f"}, CommandLine::Asks::Usage, OperationMode::None, "", 1396, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<char *> argv = {const_cast<char *>("frandle")};
        std::vector<std::string> copies = c.args;
        for (auto &arg : copies)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const CommandLine line = readCommandLine(static_cast<int>(argv.size() - 1), argv.data());
        EXPECT_EQ(line.asks, c.asks) << line.refusal;
        EXPECT_EQ(line.mode, c.mode);
        EXPECT_EQ(line.fileName, c.fileName);
        EXPECT_EQ(line.sendSize, c.sendSize);
        EXPECT_EQ(line.options.idleSeconds, c.idleSeconds);
        EXPECT_EQ(line.options.datagrams, c.datagrams);
        EXPECT_EQ(line.options.family, c.family);
        EXPECT_EQ(line.service, c.service);
    }
}

// A port given by name is a UDP service of the system's list, where it has one.
TEST(Options, ServiceNamesAreUdpPorts)
{
    if (access("/etc/services", R_OK) != 0)
        GTEST_SKIP() << "no list of services on this system";
    EXPECT_EQ(udpServicePort("echo"), 7);
    EXPECT_EQ(udpServicePort("domain"), 53);
    EXPECT_EQ(udpServicePort("no-such-service"), std::nullopt);
}

}  // namespace

namespace {

// -i and -J ask for reports to be read, on a terminal or not, as -v does; -q still silences.
TEST(Options, IntervalAndJsonReportsAreAlwaysWrittenUnlessQuiet)
{
    const struct {
        std::vector<std::string> args;
        Reports when;
        ReportFormat format;
        double every;
    } cases[] = {
        {{"R", "-", "9"}, Reports::OnATerminal, ReportFormat::Text, 0},
        {{"-i", "0.5", "R", "-", "9"}, Reports::Always, ReportFormat::Text, 0.5},
        {{"-i", "0.001", "R", "-", "9"}, Reports::Always, ReportFormat::Text, 0.001},  // the shortest
        {{"R", "-", "9", "--json"}, Reports::Always, ReportFormat::Json, 0},
        {{"-q", "-J", "--interval", "2", "R", "-", "9"}, Reports::Never, ReportFormat::Json, 2},
        {{"-J", "-i", "1", "-q", "-v", "S", "f", "9"}, Reports::Always, ReportFormat::Json, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> copies = c.args;
        std::vector<char *> argv = {const_cast<char *>("frandle")};
        for (auto &arg : copies)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const CommandLine line = readCommandLine(static_cast<int>(argv.size() - 1), argv.data());
        EXPECT_EQ(line.options.reports.when, c.when);
        EXPECT_EQ(line.options.reports.format, c.format);
        EXPECT_EQ(line.options.reports.everySeconds, c.every);
    }
}

}  // namespace

// The header fields of S and L: numbers and DSCP names as a user writes them, nothing else.
TEST(Options, PathControlsReadAsWritten)
{
    const std::optional<int> none;
    const struct {
        const char *text;
        std::optional<int> tos, dscp, hops;  // the byte each option makes, or a refusal
    } cases[] = {
        {"0", 0, 0, none},          {"255", 255, none, 255},      {"256", none, none, none},
        {"63", 63, 252, 63},        {"0x3f", 0x3f, 252, none},    {"0X88", 0x88, none, none},
        {"ef", none, 184, none},    {"af41", none, 136, none},    {"cs7", none, 224, none},
        {"af44", none, none, none}, {"EF", none, none, none},     {"-1", none, none, none},
        {"", none, none, none},     {"0x", none, none, none},     {" 7", none, none, none},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(tosOf(c.text), c.tos) << c.text;
        EXPECT_EQ(dscpOf(c.text), c.dscp) << c.text;
        EXPECT_EQ(hopLimitOf(c.text), c.hops) << c.text;
    }
}
