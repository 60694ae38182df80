// frandle-probe as a user runs it: its words and statuses, the files it makes, and what a
// forged log costs it. probe_lib_test.cpp covers the logic line by line.
#include "harness.hpp"

#include "../src/probe_lib.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const std::string usage =
    "usage: frandle-probe make SIZE [send size] | frandle-probe check [--json] [--run RUN] [LOG...]\n";

Outcome probe(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {FRANDLE_PROBE_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    Child child(argv);
    const int status = child.wait();
    return {child.out(), child.err(), status};
}

// A command line for sh, with frandle-probe as $0.
Outcome shell(const std::string &command, Millis limit = 10s)
{
    Child child({"/bin/sh", "-c", command, FRANDLE_PROBE_BIN});
    const int status = child.wait(limit);
    return {child.out(), child.err(), status};
}

std::string lines(const std::string &file, std::size_t chunk)
{
    std::string log = "socket is 3\n";
    for (std::size_t at = 0; at < file.size(); at += chunk)
        log += "rcvd " + file.substr(at, chunk) + "\n";
    return log;
}

TEST(Probe, EndsWithTheRightWordsAndStatus)
{
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {{"-V"}, 0, "frandle-probe 1.0\n", ""},
        {{"check", "--version"}, 0, "frandle-probe 1.0\n", ""},
        {{}, 2, "", "frandle-probe: make or check?\n" + usage},
        {{"make"}, 2, "", "frandle-probe: make needs SIZE, and takes a send size at most after it\n" + usage},
        {{"check", "/nonexistent/log", "--bogus"}, 2, "", "frandle-probe: unknown option --bogus\n" + usage},
        {{"check", "--run"}, 2, "", "frandle-probe: --run needs a value\n" + usage},
        {{"check", "--run", "5f3a9c0g"}, 2, "", "frandle-probe: not a run: '5f3a9c0g' (8 hex digits)\n" + usage},
        {{"make", "1k", "--json"}, 2, "", "frandle-probe: --json is for check\n" + usage},
        {{"--run", "5f3a9c01", "make", "1k"}, 2, "", "frandle-probe: --run is for check\n" + usage},
        {{"make", "1M", "70000"}, 2, "",
         "frandle-probe: a send size of '70000' is not from 51 (a chunk's header) to 65527 (the largest UDP payload)\n" + usage},
        {{"make", " -18446744073709551565"}, 2, "", "frandle-probe: not a size: ' -18446744073709551565'\n" + usage},
        {{"make", "18446744073709551615"}, 2, "",
         "frandle-probe: SIZE '18446744073709551615' makes more than 9999999999 chunks\n" + usage},
        {{"check", "/nonexistent/log"}, 2, "", "/nonexistent/log: No such file or directory\n"},
        {{"check", "--", "--json"}, 2, "", "--json: No such file or directory\n"},
        {{"check"}, 1, "foreign lines: 0\nverdict: no probe datagram found\n", ""},  // standard input: /dev/null
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Outcome got = probe(c.args);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.out, c.out);
        EXPECT_EQ(got.err, c.err);
    }
    const Outcome help = probe({"make", "1k", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with(usage + "Makes a probe file")) << help.out;
}

TEST(Probe, MakesAFileThatChecksWholeAfterItsRoundTrip)
{
    const Outcome made = probe({"make", "4000", "200"});
    ASSERT_EQ(made.status, 0) << made.err;
    ASSERT_EQ(made.out.size(), 4000u);
    EXPECT_EQ(made.out.find_first_of(std::string("\n\0", 2)), std::string::npos);
    const std::string run = made.out.substr(5, 8);
    const TempFile log(lines(made.out, 200));
    const std::string figures = "run " + run + ": expected 20, intact 20, missing 0, duplicated 0, out of order 0, damaged 0\n";
    const std::string other = run == "00000000" ? "00000001" : "00000000";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
    } cases[] = {
        {{"check", log.path()}, 0, figures + "foreign lines: 0\nverdict: every datagram arrived intact, exactly once\n"},
        {{"check", log.path(), "--json", "--run", run}, 0,
         "{\"runs\":[{\"run\":\"" + run +
             "\",\"expected\":20,\"intact\":20,\"missing\":0,\"missing_ranges\":[],\"duplicated\":0,\"out_of_order\":0,"
             "\"damaged\":0,\"estimated\":false}],\"damaged_run_unknown\":0,\"foreign\":0,\"checked_run\":\"" + run +
             "\",\"complete\":true}\n"},
        {{"check", "--run", other, log.path()}, 1,
         figures + "foreign lines: 0\nverdict: no probe datagram of run " + other + " found\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Outcome got = probe(c.args);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.out, c.out);
        EXPECT_EQ(got.err, "");
    }

    const struct {
        std::string chunk;
        std::string err;
    } large[] = {
        {"65527", "frandle-probe: chunks of 65527 bytes: frandle S sends at most 65507 a datagram, even with -l, so "
                  "they would not arrive whole\n"},
        {"65507", "frandle-probe: chunks of 65507 bytes: frandle S sends at most 1396 a datagram without -l, so send "
                  "them with -l 65507, and receive them with it too\n"},
        {"1396", ""},
    };
    for (const auto &c : large) {
        const Outcome made = probe({"make", "2000", c.chunk});
        EXPECT_EQ(made.status, 0);
        EXPECT_EQ(made.out.size(), 2000u);
        EXPECT_EQ(made.err, c.err);
    }
    // Counted through a pipe: a gigabyte is not kept on disk.
    const Outcome gigabyte = shell("\"$0\" make 1G | wc -c", 120s);
    EXPECT_EQ(gigabyte.status, 0);
    EXPECT_EQ(gigabyte.out, "1073741824\n");
    EXPECT_EQ(gigabyte.err, "frandle-probe: 769157 chunks of 1396 bytes, but chunk 769155 has 1393 and the last 51, "
                            "so that each holds its 51-byte header\n");
}

// A line that says its run has `total` chunks, with a CRC that agrees.
std::string forged(std::uint32_t run, std::uint64_t seq, std::uint64_t total)
{
    char chunk[64];
    snprintf(chunk, sizeof chunk, "FRP1 %08x %010llu/%010llu 00051 00000000 ", run, static_cast<unsigned long long>(seq),
             static_cast<unsigned long long>(total));
    char crc[9];
    snprintf(crc, sizeof crc, "%08x", probe::chunkCrc(chunk, probe::HEADER));
    std::memcpy(chunk + 42, crc, 8);
    return "rcvd " + std::string(chunk, probe::HEADER) + "\n";
}

// The address space limit is the memory bound: what the process may map at all.
TEST(Probe, UNSANITIZED(AForgedLogCostsWhatItHoldsAndNeverAborts))
{
    const TempFile one(forged(0x5f3a9c01, 4, probe::LARGEST_COUNT));
    std::string many;
    for (std::uint32_t run = 0; run < 200; ++run)
        many += forged(run, run * 49999, 10000000);
    const TempFile twoHundred(many);
    const struct {
        std::string name;
        std::string command;
        int status;
        std::string err;
    } cases[] = {
        {"one line of the largest count, in 16 MB", "ulimit -v 16384; exec \"$0\" check " + one.path(), 1, ""},
        {"200 lines of runs of 10^7, in 64 MB", "ulimit -v 65536; exec \"$0\" check " + twoHundred.path(), 1, ""},
        // Every other chunk of two million arrived: a million gaps, of which a run keeps 65536.
        {"a million gaps, an estimate in 64 MB",
         "\"$0\" make 102000000 51 | fold -b -w 51 | sed -n 's/^/rcvd /p;n' | (ulimit -v 65536; exec \"$0\" check)", 1, ""},
        {"30 runs of as many ranges as are kept: more than 64 MB hold",
         "for i in $(seq 30); do \"$0\" make 6684672 51; done | fold -b -w 51 | sed -n 's/^/rcvd /p;n' |"
         "(ulimit -v 65536; exec \"$0\" check)", 2, "frandle-probe: out of memory\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome got = shell(c.command, 60s);
        EXPECT_EQ(got.status, c.status) << got.out;
        EXPECT_EQ(got.err, c.err);
        EXPECT_EQ(got.out.ends_with("verdict: not every datagram arrived intact, exactly once\n"), c.status == 1);
    }
}

}  // namespace
