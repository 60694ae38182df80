// The reports' pieces in-process: JSON strings and lines, the interval grid, and interval
// lines that are the differences of the totals they are given.
#include "../src/report.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <map>

namespace {

using Json = nlohmann::json;  // a strict reader: what the tool writes must be JSON any program takes

TEST(Report, JsonStringsAreEscapedAndReadBack)
{
    using namespace std::string_literals;
    const struct {
        std::string text;
        std::string json;
        std::string readBack;  // what a JSON reader makes of it
    } cases[] = {
        {"", "\"\"", ""},
        {"port unreachable", "\"port unreachable\"", "port unreachable"},
        {"say \"no\" \\ here", "\"say \\\"no\\\" \\\\ here\"", "say \"no\" \\ here"},
        {"a\nb\tc\rd", "\"a\\nb\\tc\\rd\"", "a\nb\tc\rd"},
        {"\x01\x1f\x7f"s + "\0"s, "\"\\u0001\\u001f\\u007f\\u0000\"", "\x01\x1f\x7f"s + "\0"s},
        {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\"", "caf\xc3\xa9 \xe2\x82\xac"},  // UTF-8 as it is
        {"\xff\xc3(", "\"\\ufffd\\ufffd(\"", "\xef\xbf\xbd\xef\xbf\xbd("},   // not UTF-8
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\"", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // a surrogate
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(jsonString(c.text), c.json);
        EXPECT_EQ(Json::parse(jsonString(c.text)).get<std::string>(), c.readBack);
    }
}

TEST(Report, AJsonLineIsOneObjectWithEveryField)
{
    const std::string line = JsonLine("sent")
                                 .count("datagrams", std::int64_t{-1})
                                 .count("bytes", UINT64_MAX)
                                 .number("seconds", 1.5)
                                 .number("rate", NAN)
                                 .flag("estimated", true)
                                 .text("error", "a \"b\"")
                                 .json("list", "[1,2]")
                                 .line();
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    const Json read = Json::parse(line);
    // Each field's value and type, as JSON writes it: an integer is no fraction.
    for (const auto &[name, value] : std::map<std::string, Json>{{"report", "sent"}, {"datagrams", -1}, {"bytes", UINT64_MAX},
             {"seconds", 1.5}, {"rate", nullptr}, {"estimated", true}, {"error", "a \"b\""}, {"list", {1, 2}}})
        EXPECT_EQ(read.at(name).dump(), value.dump()) << name;
}

TEST(Report, IntervalsStayOnTheirGrid)
{
    const struct {
        double due, every, now, next;
    } cases[] = {
        {1, 1, 1, 2}, {1, 1, 1.2, 2}, {1, 1, 3.5, 4}, {1, 1, 4, 5}, {0.2, 0.2, 0.25, 0.4}, {10, 5, 9, 15},
    };
    for (const auto &c : cases)
        EXPECT_NEAR(nextOnGrid(c.due, c.every, c.now), c.next, 1e-9) << c.due << " " << c.now;
}

// Each line gives what changed from `before` to `now`, and the totals at `now`; a rate
// over no time at all is none, and an estimate that falls is no negative count.
TEST(Report, IntervalLinesAreTheDifferencesOfTheirTotals)
{
    const SentSoFar sentBefore{100, 140000, 2, {1, false}, 1.0}, sentNow{164, 229000, 5, {4, false}, 2.0};
    const Json sent = Json::parse(sentInterval(ReportFormat::Json, sentBefore, sentNow));
    const std::map<std::string, Json> sentFields = {
        {"report", "interval-sent"}, {"datagrams", 64}, {"bytes", 89000}, {"answers", 3},
        {"total_datagrams", 164},  {"total_bytes", 229000}, {"total_answers", 5},
        {"dropped_by_host_queue", 3}, {"total_dropped_by_host_queue", 4}, {"handed_to_kernel_bits_per_second", 712000.0},
    };
    for (const auto &[name, value] : sentFields)
        EXPECT_EQ(sent.at(name).dump(), value.dump()) << name;

    const struct {
        ReceivedSoFar before, now;
        std::map<std::string, Json> fields;
    } received[] = {
        {{10, 1000, 1, {3, false}, 0.5}, {30, 3500, 4, {7, false}, 1.5},
         {{"datagrams", 20}, {"bytes", 2500}, {"cut", 3}, {"dropped", 4}, {"dropped_estimated", false},
          {"total_datagrams", 30}, {"total_dropped", 7}, {"total_cut", 4}, {"bits_per_second", 20000.0}}},
        {{10, 1000, 0, {50, true}, 1}, {10, 1000, 0, {46, true}, 1},
         {{"datagrams", 0}, {"dropped", 0}, {"dropped_estimated", true}, {"total_dropped", 46},
          {"datagrams_per_second", nullptr}}},
    };
    for (const auto &c : received) {
        const Json line = Json::parse(receivedInterval(ReportFormat::Json, c.before, c.now));
        EXPECT_EQ(line.at("report"), "interval-received");
        for (const auto &[name, value] : c.fields)
            EXPECT_EQ(line.at(name).dump(), value.dump()) << name;
    }
    // The text says the same counts, and that an estimate is one.
    const std::string text = receivedInterval(ReportFormat::Text, received[1].before, received[1].now);
    EXPECT_NE(text.find("dropped by this socket about 0 (an estimate)"), std::string::npos) << text;
    EXPECT_NE(text.find("no time to measure a rate in"), std::string::npos) << text;
    EXPECT_NE(receivedInterval(ReportFormat::Text, {}, {1, 1, 0, {}, 1}).find("s: 1 datagram, 1 byte, 1.0 datagrams/s, "
              "0.000 Mbit/s, dropped by this socket 0, cut 0; in all: 1 datagram, 1 byte, "), std::string::npos);
}

}  // namespace
