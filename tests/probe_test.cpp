// frandle-probe: the files it makes, and its verdict on logs built from them.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

Outcome probe(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {FRANDLE_PROBE_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    Child child(argv);
    const int status = child.wait();
    return {child.out(), child.err(), status};
}

std::vector<std::string> chunksOf(const std::string &file, std::size_t size)
{
    std::vector<std::string> chunks;
    for (std::size_t at = 0; at < file.size(); at += size)
        chunks.push_back(file.substr(at, size));
    return chunks;
}

TEST(Probe, MakesChunksOfTheSendSizeThatPrintAsOneLineEach)
{
    const struct {
        std::vector<std::string> args;
        int status;
        std::size_t size;
        std::size_t chunk;
    } cases[] = {
        {{"make", "4000", "200"}, 0, 4000, 200},
        {{"make", "1k"}, 0, 1024, 1396},
        {{"make", "1M"}, 0, 1 << 20, 1396},
        {{"make", "102", "51"}, 0, 102, 51},  // the smallest send size
        {{"make", "4000", "50"}, 2, 0, 0},    // too small for the header
        {{"make", "1400"}, 2, 0, 0},          // a last chunk too small for it
        {{"make", "many"}, 2, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Outcome got = probe(c.args);
        EXPECT_EQ(got.status, c.status) << got.err;
        ASSERT_EQ(got.out.size(), c.size);
        if (c.size == 0) {
            EXPECT_NE(got.err.find("usage: frandle-probe"), std::string::npos);
            continue;
        }
        EXPECT_EQ(got.out.find_first_of(std::string("\n\0", 2)), std::string::npos);
        for (const auto &chunk : chunksOf(got.out, c.chunk))
            EXPECT_EQ(chunk.rfind("FRP1 ", 0), 0u);
    }
}

std::string lines(const std::vector<std::string> &chunks)
{
    std::string log = "socket is 3\n";
    for (const auto &chunk : chunks)
        log += "rcvd " + chunk.substr(0, 1399) + "\n";  // as R prints them
    return log;
}

TEST(Probe, TellsWhatArrivedOfEachRun)
{
    const auto one = chunksOf(probe({"make", "4000", "200"}).out, 200);
    const auto two = chunksOf(probe({"make", "600", "200"}).out, 200);
    const auto large = chunksOf(probe({"make", "4400", "2000"}).out, 2000);  // the last one 400
    const auto runOf = [](const std::vector<std::string> &chunks) { return chunks[0].substr(5, 8); };
    const auto figures = [](const std::string &run, int expected, int intact, int missing, int duplicated, int late,
                            int damaged) {
        return "run " + run + ": expected " + std::to_string(expected) + ", intact " + std::to_string(intact) +
               ", missing " + std::to_string(missing) + ", duplicated " + std::to_string(duplicated) +
               ", out of order " + std::to_string(late) + ", damaged " + std::to_string(damaged) + "\n";
    };
    const std::string whole = "verdict: every datagram arrived intact, exactly once\n";
    const std::string broken = "verdict: not every datagram arrived intact, exactly once\n";
    const std::string noForeign = "foreign lines: 0\n";

    auto withoutRange = one;
    withoutRange.erase(withoutRange.begin() + 5, withoutRange.begin() + 8);
    withoutRange.pop_back();
    auto duplicate = one;
    duplicate.insert(duplicate.begin() + 4, one[3]);
    auto swapped = one;
    std::swap(swapped[4], swapped[5]);
    auto altered = one;
    altered[6][100] = altered[6][100] == 'x' ? 'y' : 'x';
    const std::string mixed = [&] {
        std::vector<std::string> both = one;
        both.insert(both.begin() + 2, two.begin(), two.end());
        return lines(both);
    }();
    const struct {
        std::string name;
        std::string log;
        std::string report;
        int status;
    } cases[] = {
        {"complete", lines(one), figures(runOf(one), 20, 20, 0, 0, 0, 0) + noForeign + whole, 0},
        {"a missing range and the last", lines(withoutRange),
         figures(runOf(one), 20, 16, 4, 0, 0, 0) + "  missing: 5-7, 19\n" + noForeign + broken, 1},
        {"a duplicate", lines(duplicate), figures(runOf(one), 20, 20, 0, 1, 0, 0) + noForeign + broken, 1},
        {"two swapped", lines(swapped), figures(runOf(one), 20, 20, 0, 0, 1, 0) + noForeign + whole, 0},
        {"lines cut to 1399 bytes", lines(large),
         figures(runOf(large), 3, 1, 2, 0, 0, 2) + "  missing: 0-1\n" + noForeign + broken, 1},
        {"a byte altered", lines(altered),
         figures(runOf(one), 20, 19, 1, 0, 0, 1) + "  missing: 6\n" + noForeign + broken, 1},
        {"foreign lines", lines(one) + "rcvd hello\nsending done 20\n",
         figures(runOf(one), 20, 20, 0, 0, 0, 0) + "foreign lines: 1\n" + whole, 0},
        {"two runs mixed", mixed,
         (runOf(one) < runOf(two) ? figures(runOf(one), 20, 20, 0, 0, 0, 0) + figures(runOf(two), 3, 3, 0, 0, 0, 0)
                                  : figures(runOf(two), 3, 3, 0, 0, 0, 0) + figures(runOf(one), 20, 20, 0, 0, 0, 0)) +
             noForeign + whole,
         0},
        {"an empty log", "", "foreign lines: 0\nverdict: no probe datagram found\n", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const TempFile log(c.log);
        const Outcome got = probe({"check", log.path()});
        EXPECT_EQ(got.out, c.report);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.err, "");
    }
    const TempFile log(lines(withoutRange));
    EXPECT_EQ(probe({"check", "--json", log.path()}).out,
              "{\"runs\":[{\"run\":\"" + runOf(one) +
                  "\",\"expected\":20,\"intact\":16,\"missing\":4,\"missing_ranges\":[[5,7],[19,19]],\"duplicated\":0,"
                  "\"out_of_order\":0,\"damaged\":0}],\"damaged_run_unknown\":0,\"foreign\":0,\"complete\":false}\n");
    EXPECT_EQ(probe({"check", "/nonexistent/log"}).status, 2);
}

}  // namespace
