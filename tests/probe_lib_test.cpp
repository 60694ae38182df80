// frandle-probe's logic in-process: the CRC, sizes, how a file is cut, and the tally of
// crafted log lines.
#include "../src/probe_lib.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

namespace {

using namespace probe;

TEST(ProbeLogic, CrcMatchesKnownVectorsByTableAndInstruction)
{
    const struct {
        std::string bytes;
        std::uint32_t crc;
    } cases[] = {
        {"", 0},
        {"123456789", 0xE3069283},
        {std::string(32, '\0'), 0x8A9136AA},
        {std::string(32, '\xff'), 0x62A8AB43},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bytes.size());
        EXPECT_EQ(~crcByTable(~0U, c.bytes.data(), c.bytes.size()), c.crc);
#if defined(__x86_64__)
        if (hasCrcInstruction()) {
            EXPECT_EQ(~crcByInstruction(~0U, c.bytes.data(), c.bytes.size()), c.crc);
        }
#endif
    }
}

TEST(ProbeLogic, ReadsSizesAndRefusesEverythingElse)
{
    const struct {
        const char *text;
        std::optional<std::uint64_t> size;
    } cases[] = {
        {"0", 0}, {"0051", 51}, {"1k", 1024}, {"1K", 1024}, {"3m", 3 << 20}, {"1M", 1 << 20}, {"1g", 1 << 30},
        {"1G", 1 << 30}, {"18446744073709551615", UINT64_MAX}, {"17179869183G", 17179869183ULL << 30},
        {"18446744073709551616", {}}, {"99999999999999999999", {}}, {"17179869184G", {}}, {"18014398509481984k", {}},
        {"1T", {}}, {"1kk", {}}, {"1 k", {}}, {"k", {}}, {"", {}}, {" 1", {}}, {" -18446744073709551565", {}},
        {"-1", {}}, {"+1", {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sizeOf(c.text), c.size) << "'" << c.text << "'";
}

// Every SIZE is cut so that each chunk holds its header, or refused in the words typed.
TEST(ProbeLogic, CutsSizesIntoChunks)
{
    const std::string tooLarge = " is not from 51 (a chunk's header) to 65527 (the largest UDP payload)";
    const struct {
        const char *size;
        std::optional<std::string_view> chunk;
        std::variant<Layout, std::string> made;
    } cases[] = {
        {"4000", "200", Layout{20, 200, 200, 200}}, {"4001", "200", Layout{21, 200, 150, 51}},
        {"51", {}, Layout{1, 1396, 1396, 51}},      {"1400", {}, Layout{2, 1396, 1349, 51}},
        {"1447", {}, Layout{2, 1396, 1396, 51}},    {"1G", {}, Layout{769157, 1396, 1393, 51}},
        {"102", "51", Layout{2, 51, 51, 51}},       {"150", "101", Layout{2, 101, 99, 51}},
        {"102", "101", Layout{2, 101, 51, 51}},     {"1k", "65527", Layout{1, 65527, 65527, 1024}},
        {"509999999949", "51", Layout{LARGEST_COUNT, 51, 51, 51}},
        {"509999999950", "51", "SIZE '509999999950' makes more than 9999999999 chunks"},
        {"50", {}, "SIZE '50' is less than a chunk's 51-byte header"},
        {"101", "100", "SIZE '101' leaves a last chunk of 1 bytes, too small for its header even with bytes of the "
                       "one before; 100 would not"},
        {"1k", "50", "a send size of '50'" + tooLarge},
        {"1k", "65528", "a send size of '65528'" + tooLarge},
        {"1k", "64K", "a send size of '64K'" + tooLarge},
        {"1k", " 51", "not a send size: ' 51'"},
        {"1 k", {}, "not a size: '1 k'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.size) + " " + std::string(c.chunk.value_or("")));
        const auto got = layoutFor(c.size, c.chunk);
        EXPECT_EQ(got, c.made);
        if (const auto *layout = std::get_if<Layout>(&got); layout != nullptr && layout->count < 1000) {
            std::uint64_t bytes = 0;
            for (std::uint64_t seq = 0; seq < layout->count; ++seq)
                bytes += layout->lengthOf(seq);
            EXPECT_EQ(bytes, sizeOf(c.size));
        }
    }
}

TEST(ProbeLogic, WritesChunksByteForByte)
{
    const Layout layout{3, 60, 60, 60};
    std::string written(60, '\0');
    writeChunk(written.data(), 0x5f3a9c01, 1, layout);
    EXPECT_EQ(written, "FRP1 5f3a9c01 0000000001/0000000003 00060 2ec52378 abcdefghi");
    EXPECT_EQ(chunkCrc(written.data(), written.size()), 0x2ec52378u);
    std::string timed(80, '\0');
    writeTimedChunk(timed.data(), 0x5f3a9c01, 1, Layout{3, 80, 80, 80}, -1);
    stampChunk(timed.data(), timed.size(), 1767225600123456789);  // 2026-01-01, a stamp of what was built
    EXPECT_EQ(timed, "FRP2 5f3a9c01 0000000001/0000000003 00080 18867251f555cd15 001cc59a rstuvwxyzabc");
    EXPECT_EQ(chunkCrc(timed.data(), timed.size()), 0x001cc59au);
}

TEST(ProbeLogic, TakesARunOfEightHexDigits)
{
    const struct {
        const char *text;
        std::optional<std::uint32_t> run;
    } cases[] = {
        {"5f3a9c01", 0x5f3a9c01}, {"5F3A9C01", 0x5f3a9c01}, {"ffffffff", 0xffffffff}, {"5f3a9c0", {}},
        {"5f3a9c012", {}},        {"5f3a9c0g", {}},         {" 5f3a9c0", {}},         {"", {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(runNamed(c.text), c.run) << c.text;
}

TEST(ProbeLogic, KeepsNumbersAsRangesThatNeverTouch)
{
    const struct {
        std::vector<long> steps;  // a number to insert, or minus one more than a number to erase
        std::map<std::uint64_t, std::uint64_t> spans;
    } cases[] = {
        {{5, 7, 6}, {{5, 8}}},         {{7, 5, 6, 6}, {{5, 8}}},    {{1, 2, 3, 4, -3}, {{1, 2}, {3, 5}}},
        {{1, 2, 3, -2, -4}, {{2, 3}}}, {{1, 2, 3, -4, -10}, {{1, 3}}}, {{1, -2, 9}, {{9, 10}}},
    };
    for (const auto &c : cases) {
        Ranges ranges;
        for (const long step : c.steps)
            step >= 0 ? ranges.insert(static_cast<std::uint64_t>(step)) : ranges.erase(static_cast<std::uint64_t>(-step - 1));
        EXPECT_EQ(ranges.spans(), c.spans) << testing::PrintToString(c.steps);
    }
    Ranges some;
    for (const std::uint64_t n : {0, 1, 2, 5, 6, 9})
        some.insert(n);
    EXPECT_EQ(some.countBelow(6), 4u);
    EXPECT_EQ(some.countBelow(UINT64_MAX), 6u);
    EXPECT_TRUE(some.contains(2));
    EXPECT_FALSE(some.contains(3));
}

constexpr std::uint32_t RUN = 0x5f3a9c01, STRANGER = 0x00c0ffee;
using Lines = std::vector<std::string>;

// The CRC field made right for whatever the chunk now says.
std::string sealed(std::string chunk)
{
    char crc[9];
    snprintf(crc, sizeof crc, "%08x", chunkCrc(chunk.data(), chunk.size()));
    return chunk.replace(chunk.starts_with("FRP2") ? 59 : 42, 8, crc);
}

std::string chunk(std::uint32_t run, std::uint64_t seq, std::uint64_t total, std::size_t length = 80)
{
    char header[64];
    snprintf(header, sizeof header, "FRP1 %08x %010llu/%010llu %05zu 00000000 ", run,
             static_cast<unsigned long long>(seq), static_cast<unsigned long long>(total), length);
    return sealed(header + std::string(length - HEADER, 'q'));
}

constexpr std::int64_t SENT = 1767225600123456789;

std::string timed(std::uint32_t run, std::uint64_t seq, std::uint64_t total, std::int64_t sent = SENT)
{
    std::string chunk(80, '\0');
    writeTimedChunk(chunk.data(), run, seq, Layout{total, 80, 80, 80}, sent);
    return chunk;
}

std::string altered(std::string chunk, std::size_t at, char to)
{
    chunk[at] = to;
    return chunk;
}

std::string rcvd(const std::string &chunk) { return "rcvd " + chunk; }

Lines runOf(std::uint32_t run, std::uint64_t total, const std::vector<std::uint64_t> &seqs)
{
    Lines lines;
    for (const std::uint64_t seq : seqs)
        lines.push_back(rcvd(chunk(run, seq, total)));
    return lines;
}

Tally tallied(const Lines &lines, std::optional<std::uint32_t> chosen = {})
{
    Tally tally;
    tally.chosen = chosen;
    for (const auto &line : lines)
        take(line, tally);
    return tally;
}

template <typename Report>
std::string printed(Report report, const Tally &tally)
{
    char *bytes = nullptr;
    std::size_t size = 0;
    FILE *out = open_memstream(&bytes, &size);
    report(out, tally);
    fclose(out);
    std::string text(bytes, size);
    free(bytes);
    return text;
}

std::string figures(const char *run, std::string expected, int intact, std::string missing, int duplicated, int late,
                    int damaged)
{
    return std::string("run ") + run + ": expected " + expected + ", intact " + std::to_string(intact) + ", missing " +
           missing + ", duplicated " + std::to_string(duplicated) + ", out of order " + std::to_string(late) +
           ", damaged " + std::to_string(damaged) + "\n";
}

Lines operator+(Lines a, const Lines &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::string WHOLE = "foreign lines: 0\nverdict: every datagram arrived intact, exactly once\n";
const std::string BROKEN = "foreign lines: 0\nverdict: not every datagram arrived intact, exactly once\n";
const char *const R = "5f3a9c01";
const char *const S = "00c0ffee";

TEST(ProbeLogic, TalliesCraftedLines)
{
    const std::string one = chunk(RUN, 1, 3);
    Lines alternate, odd;  // a range each, two past the bound; then the numbers between
    for (std::uint64_t seq = 0; seq <= 2 * RANGES_KEPT + 2; seq += 2) {
        alternate.push_back(rcvd(chunk(RUN, seq, 2 * RANGES_KEPT + 4)));
        odd.push_back(rcvd(chunk(RUN, seq + 1, 2 * RANGES_KEPT + 4)));
    }
    const std::string estimate = "5f3a9c01 (an estimate: more than 65536 ranges)";
    const struct {
        std::string name;
        Lines lines;
        std::string report;
    } cases[] = {
        {"complete, among other lines", Lines{"socket is 3", "sending done 3"} + runOf(RUN, 3, {0, 1, 2}),
         figures(R, "3", 3, "0", 0, 0, 0) + WHOLE},
        {"a missing range and the last", runOf(RUN, 10, {0, 1, 2, 6, 7, 8}),
         figures(R, "10", 6, "4", 0, 0, 0) + "  missing: 3-5, 9\n" + BROKEN},
        {"more than five missing ranges", runOf(RUN, 13, {1, 3, 5, 7, 9, 11}),
         figures(R, "13", 6, "7", 0, 0, 0) + "  missing: 0, 2, 4, 6, 8, ...\n" + BROKEN},
        {"a duplicate and two swapped", runOf(RUN, 3, {0, 2, 1, 1}), figures(R, "3", 3, "0", 1, 1, 0) + BROKEN},
        {"the last first: each after it is late", runOf(RUN, 3, {2, 0, 1}), figures(R, "3", 3, "0", 0, 2, 0) + WHOLE},
        {"a filler byte altered: damaged, not also missing",
         runOf(RUN, 3, {0, 2}) + Lines{rcvd(altered(one, 60, 'x'))},
         figures(R, "3", 2, "0", 0, 0, 1) + BROKEN},
        {"the CRC covers the header", runOf(RUN, 3, {0}) + Lines{rcvd(altered(one, 23, '2'))},
         figures(R, "3", 1, "1", 0, 0, 1) + "  missing: 1\n" + BROKEN},
        {"a damaged copy, then an intact one",
         Lines{rcvd(altered(one, 60, 'x'))} + runOf(RUN, 3, {0, 1, 2}),
         figures(R, "3", 3, "0", 1, 0, 0) + BROKEN},
        {"an intact copy, then damaged ones",
         runOf(RUN, 3, {0, 1, 2}) + Lines{rcvd(altered(one, 60, 'x')), rcvd(altered(one, 61, 'x'))},
         figures(R, "3", 3, "0", 2, 0, 0) + BROKEN},
        {"a length field that is wrong, under a right CRC",
         runOf(RUN, 3, {0, 2}) + Lines{rcvd(sealed(altered(one, 40, '1')))},
         figures(R, "3", 2, "0", 0, 0, 1) + BROKEN},
        {"a second count for the run", runOf(RUN, 3, {0, 2}) + runOf(RUN, 4, {1}), figures(R, "3", 2, "0", 0, 0, 1) + BROKEN},
        {"cut short", runOf(RUN, 3, {0, 1}) + Lines{rcvd(chunk(RUN, 2, 3).substr(0, 70))},
         figures(R, "3", 2, "0", 0, 0, 1) + BROKEN},
        {"merged datagrams only: the count is unknown",
         {rcvd(chunk(RUN, 0, 4) + chunk(RUN, 1, 4)), rcvd(chunk(RUN, 2, 4) + chunk(RUN, 3, 4))},
         figures(R, "unknown", 0, "unknown", 0, 0, 2) + BROKEN},
        {"a damaged number past the count", runOf(RUN, 3, {0, 1}) + Lines{rcvd(altered(chunk(RUN, 5, 9), 60, 'x'))},
         figures(R, "3", 2, "1", 0, 0, 0) + "  missing: 2\ndamaged, run unknown: 1\n" + BROKEN},
        {"count 0", {rcvd(chunk(RUN, 0, 0))}, "damaged, run unknown: 1\nforeign lines: 0\nverdict: no probe datagram found\n"},
        {"number equal to the count", runOf(RUN, 2, {0, 1}) + runOf(RUN, 2, {2}),
         figures(R, "2", 2, "0", 0, 0, 0) + "damaged, run unknown: 1\n" + BROKEN},
        {"number past the count", runOf(RUN, 2, {0, 1, 3}), figures(R, "2", 2, "0", 0, 0, 0) + "damaged, run unknown: 1\n" + BROKEN},
        {"run in upper case", runOf(RUN, 1, {0}) + Lines{rcvd(sealed(altered(chunk(RUN, 0, 1), 7, 'F')))},
         figures(R, "1", 1, "0", 0, 0, 0) + "damaged, run unknown: 1\n" + BROKEN},
        {"shorter than a header", runOf(RUN, 1, {0}) + Lines{"rcvd FRP1 5f3a9c01 0000000000/00", rcvd(timed(RUN, 0, 1).substr(0, 67))},
         figures(R, "1", 1, "0", 0, 0, 0) + "damaged, run unknown: 2\n" + BROKEN},
        {"timed chunks intact", {rcvd(timed(RUN, 0, 2)), rcvd(timed(RUN, 1, 2, -1))}, figures(R, "2", 2, "0", 0, 0, 0) + WHOLE},
        {"a timed chunk damaged in its time", {rcvd(timed(RUN, 0, 2)), rcvd(altered(timed(RUN, 1, 2), 50, '0'))},
         figures(R, "2", 1, "0", 0, 0, 1) + BROKEN},
        {"a time that is not hex, under a right CRC", {rcvd(timed(RUN, 0, 2)), rcvd(sealed(altered(timed(RUN, 1, 2), 50, 'A')))},
         figures(R, "2", 1, "0", 0, 0, 1) + BROKEN},
        {"both kinds in one run and log", runOf(RUN, 3, {0, 2}) + Lines{rcvd(timed(RUN, 1, 3)), rcvd(timed(RUN, 1, 3))},
         figures(R, "3", 3, "0", 1, 1, 0) + BROKEN},
        {"a forged run of alternating numbers: an estimate, past the bound", alternate,
         figures(estimate.c_str(), "131076", 65538, "65538", 0, 0, 0) + BROKEN},
        {"an unkept number's copy counts again: never whole", alternate + odd + Lines{alternate.back()},
         figures(estimate.c_str(), "131076", 131077, "0", 0, 65538, 0) + BROKEN},
        {"foreign datagrams", runOf(RUN, 1, {0}) + Lines{"rcvd hello", "rcvd ", "rcvd FRP3 x"},
         figures(R, "1", 1, "0", 0, 0, 0) + "foreign lines: 3\nverdict: every datagram arrived intact, exactly once\n"},
        {"two runs", runOf(STRANGER, 2, {1}) + runOf(RUN, 1, {0}) + runOf(STRANGER, 2, {0}),
         figures(S, "2", 2, "0", 0, 1, 0) + figures(R, "1", 1, "0", 0, 0, 0) + WHOLE},
        {"a forged count: what arrived is kept, not what it claims", runOf(RUN, LARGEST_COUNT, {5, 7}),
         figures(R, "9999999999", 2, "9999999997", 0, 0, 0) + "  missing: 0-4, 6, 8-9999999998\n" + BROKEN},
        {"nothing", {}, "foreign lines: 0\nverdict: no probe datagram found\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Tally tally = tallied(c.lines);
        EXPECT_EQ(printed(reportText, tally), c.report);
        EXPECT_EQ(whole(tally), c.report.ends_with("verdict: every datagram arrived intact, exactly once\n"));
    }
    EXPECT_NE(printed(reportJson, tallied(alternate)).find(",\"missing\":65538,\"missing_ranges\":null,\"duplicated\":0,"
                                                          "\"out_of_order\":0,\"damaged\":0,\"estimated\":true}"),
              std::string::npos);
    // A line ends where the log says, even where its bytes go on in memory.
    const std::string full = rcvd(chunk(RUN, 0, 1));
    Tally cut;
    take(std::string_view(full).substr(0, 5 + HEADER - 1), cut);
    EXPECT_EQ(cut.damagedUnknown, 1u);
    EXPECT_TRUE(cut.runs.empty());
}

// Datagrams one after another into one tally, as a receiver takes them live.
TEST(ProbeLogic, SaysWhatEachDatagramWasAndWhenATimedOneWasSent)
{
    const struct {
        std::string datagram;
        Arrived arrived;
    } cases[] = {
        {"rcvd " + chunk(RUN, 0, 3), {Arrival::Foreign, {}, {}}},
        {timed(RUN, 2, 3), {Arrival::Intact, RUN, SENT}},
        {chunk(RUN, 1, 3), {Arrival::OutOfOrder, RUN, {}}},
        {timed(RUN, 1, 3, -1), {Arrival::Duplicate, RUN, -1}},
        {altered(timed(RUN, 0, 3), 50, '0'), {Arrival::Damaged, RUN, {}}},
        {timed(RUN, 0, 3), {Arrival::Duplicate, RUN, SENT}},
        {timed(STRANGER, 0, 1).substr(0, 60), {Arrival::Damaged, {}, {}}},
    };
    Tally tally;
    for (const auto &c : cases)
        EXPECT_EQ(takeDatagram(c.datagram, tally), c.arrived) << c.datagram;
}

TEST(ProbeLogic, DecidesOnTheChosenRunAlone)
{
    const auto stranger = runOf(STRANGER, 4, {0, 2}) + Lines{rcvd(altered(chunk(0x12345678, 0, 3), 60, 'x'))};
    const auto strangers = figures("00c0ffee", "4", 2, "2", 0, 0, 0) + "  missing: 1, 3\n";
    const struct {
        std::string name;
        Lines lines;
        std::string runs;
        std::string verdict;
    } cases[] = {
        {"whole beside a stranger's damage", stranger + runOf(RUN, 2, {0, 1}) + Lines{"rcvd FRP1 ?"},
         strangers + figures("12345678", "unknown", 0, "unknown", 0, 0, 1) + figures(R, "2", 2, "0", 0, 0, 0) +
             "damaged, run unknown: 1\n",
         "every datagram of run 5f3a9c01 arrived intact, exactly once"},
        {"missing one", stranger + runOf(RUN, 2, {1}),
         strangers + figures("12345678", "unknown", 0, "unknown", 0, 0, 1) + figures(R, "2", 1, "1", 0, 0, 0) + "  missing: 0\n",
         "not every datagram of run 5f3a9c01 arrived intact, exactly once"},
        {"absent", stranger, strangers + figures("12345678", "unknown", 0, "unknown", 0, 0, 1),
         "no probe datagram of run 5f3a9c01 found"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Tally tally = tallied(c.lines, RUN);
        EXPECT_EQ(printed(reportText, tally), c.runs + "foreign lines: 0\nverdict: " + c.verdict + "\n");
        EXPECT_EQ(whole(tally), c.verdict.starts_with("every"));
    }
}

TEST(ProbeLogic, ReportsJsonWithEveryMissingRangeAndUnknownCounts)
{
    const auto lines = runOf(RUN, 13, {1, 3, 5, 7, 9, 11}) + Lines{rcvd(chunk(STRANGER, 0, 2) + "merged")};
    EXPECT_EQ(printed(reportJson, tallied(lines)),
              "{\"runs\":[{\"run\":\"00c0ffee\",\"expected\":null,\"intact\":0,\"missing\":null,\"missing_ranges\":null,"
              "\"duplicated\":0,\"out_of_order\":0,\"damaged\":1,\"estimated\":false},{\"run\":\"5f3a9c01\",\"expected\":13,\"intact\":6,"
              "\"missing\":7,\"missing_ranges\":[[0,0],[2,2],[4,4],[6,6],[8,8],[10,10],[12,12]],\"duplicated\":0,"
              "\"out_of_order\":0,\"damaged\":0,\"estimated\":false}],\"damaged_run_unknown\":0,\"foreign\":0,\"complete\":false}\n");
    EXPECT_EQ(printed(reportJson, tallied(runOf(RUN, 2, {0, 1}), RUN)),
              "{\"runs\":[{\"run\":\"5f3a9c01\",\"expected\":2,\"intact\":2,\"missing\":0,\"missing_ranges\":[],"
              "\"duplicated\":0,\"out_of_order\":0,\"damaged\":0,\"estimated\":false}],\"damaged_run_unknown\":0,"
              "\"foreign\":0,\"checked_run\":\"5f3a9c01\",\"complete\":true}\n");
}

TEST(ProbeLogic, KeepsTheFirstRunsAndCountsTheLinesOfTheRest)
{
    Lines lines;
    for (std::uint32_t run = 1; run <= RUNS_KEPT + 500; ++run)
        lines.push_back(rcvd(altered(chunk(run, 0, 1), 60, 'x')));
    const Tally tally = tallied(lines, RUNS_KEPT + 400);
    EXPECT_EQ(tally.runs.size(), RUNS_KEPT + 1);
    EXPECT_TRUE(tally.runs.contains(RUNS_KEPT + 400));
    EXPECT_EQ(tally.linesPastRuns, 499u);
    const std::string text = printed(reportText, tallied(lines));
    EXPECT_NE(text.find("\nlines of runs past the first 1000: 500\nforeign lines: 0\n"), std::string::npos);
    EXPECT_NE(printed(reportJson, tallied(lines)).find(",\"lines_past_first_runs\":500,"), std::string::npos);
    EXPECT_FALSE(whole(tallied(runOf(RUN, 1, {0}) + lines)));
    // Runs whole but for one past the bound, which cannot be judged: no verdict of whole.
    Lines intact;
    for (std::uint32_t run = 1; run <= RUNS_KEPT + 1; ++run)
        intact.push_back(rcvd(chunk(run, 0, 1)));
    EXPECT_FALSE(whole(tallied(intact)));
    intact.pop_back();
    EXPECT_TRUE(whole(tallied(intact)));
}

// A log as a file: its lines, read in blocks.
Tally readFrom(const std::string &log)
{
    FILE *file = tmpfile();
    fwrite(log.data(), 1, log.size(), file);
    fflush(file);
    lseek(fileno(file), 0, SEEK_SET);
    Tally tally;
    EXPECT_TRUE(readLog(fileno(file), tally));
    fclose(file);
    return tally;
}

TEST(ProbeLogic, ReadsLinesAcrossBlocksAndJudgesLongOnesByTheirStart)
{
    const std::string good = rcvd(chunk(RUN, 0, 1)) + "\n";
    const std::string unended = good.substr(0, good.size() - 1);
    const std::string block = "rcvd " + std::string(LONGEST_LINE - 5, 'y');  // a datagram line's start in each block
    const struct {
        std::string name;
        std::string log;
        std::size_t runs;
        std::uint64_t foreign;
    } cases[] = {
        {"a last line without a line end", unended, 1, 0},
        {"a line across two blocks", std::string(LONGEST_LINE - 40, '\n') + good, 1, 0},
        {"a line of a block, a probe chunk at its end", std::string(LONGEST_LINE, 'x') + good, 0, 0},
        {"a datagram line of three blocks, then a probe line", block + block + good + unended, 1, 1},
        {"a line of two blocks and no line end, a probe chunk at its end", std::string(LONGEST_LINE + 7, 'y') + unended, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Tally tally = readFrom(c.log);
        EXPECT_EQ(tally.runs.size(), c.runs);
        EXPECT_EQ(tally.foreign, c.foreign);
        EXPECT_TRUE(c.runs == 0 || figuresOf(tally.runs.at(RUN)).intact == 1);
    }
}

}  // namespace
