// Argument handling that ends before anything is sent: usage, mode letters, bad numbers.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <thread>

namespace {

const std::string usage = "usage:frandle S|R|L fileName port [ipAddress] [send size]\n";
const std::string missing = "/nonexistent/frandle-input";
const std::string longName = "/nonexistent/" + std::string(5000, 'n');

struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
    std::string err = "";
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
        {{"Send", missing, "9", "127.0.0.1"}, "Can't read " + missing + " in brasket\n", 255,
         "open: No such file or directory\n"},
        {{"L", missing, "9", "127.0.0.1"}, "Can't read " + missing + " in brasket\n", 255,
         "open: No such file or directory\n"},
        {{"Listen", longName, "9"}, "Can't read " + longName + " in brasket\n", 255, "open: File name too long\n"},
        // A negative send size is refused before anything is opened, however it is written.
        {{"S", missing, "9", "127.0.0.1", "-1"}, usage, 255},
        {{"S", missing, "9", "127.0.0.1", "  -5x"}, usage, 255},
        {{"S", missing, "9", "127.0.0.1", "-99999999999999999999999"}, usage, 255},
        // Options come before the mode letter; nothing after it is taken for one.
        {{"-V"}, "frandle 1.0\n", 0},
        {{"--version", "S", missing, "9"}, "frandle 1.0\n", 0},
        {{"-x", "S", missing, "9"}, usage, 255, "frandle: unknown option -x\n"},
        {{"--bogus", "S", missing, "9"}, usage, 255, "frandle: unknown option --bogus\n"},
        {{"-b"}, usage, 255, "frandle: -b needs a value\n"},
        {{"-b", "1M", "R", "-", "9"}, usage, 255, "frandle: -b/--bitrate is for S and L mode, and R with -e\n"},
        {{"-e", "L", missing, "9"}, usage, 255, "frandle: -e/--echo is for R mode\n"},
        // A probe's count must be known before its first chunk goes.
        {{"--probe", "-t", "5", "S", "-", "9"}, usage, 255,
         "frandle: --probe needs a SIZE (--probe=SIZE), or -t and -b: each chunk carries the run's count, known before "
         "the first is sent\n"},
        {{"--probe=1m", "-t", "5", "L", "-", "9"}, usage, 255, "frandle: --probe=SIZE and -t both say how much to send: give one\n"},
        {{"--probe=50", "S", "-", "9"}, usage, 255, "frandle: not a probe size (bytes, with k, m or g): 50\n"},
        {{"--probe", "R", "-", "9"}, usage, 255, "frandle: --probe is for S and L mode\n"},
        {{"-t", "1", "R", "-", "9"}, usage, 255, "frandle: -t/--time is for S and L mode\n"},
        {{"--run", "abc", "R", "-", "9"}, usage, 255, "frandle: not a run (eight hex digits): abc\n"},
        {{"--probe=1k", "S", "-", "9", "127.0.0.1", "60"}, "", 255,
         "frandle: a probe's chunks hold a header of 68 bytes: a send size of 60 is too small\n"},
        {{"--df", "R", missing, "9"}, usage, 255, "frandle: --df is for S and L mode\n"},
        {{"-b", "fast", "S", missing, "9"}, usage, 255, "frandle: not a rate: fast\n"},
        {{"--bitrate=0", "L", missing, "9"}, usage, 255, "frandle: not a rate: 0\n"},
        {{"-w", "-1", "R", "-", "9"}, usage, 255, "frandle: not a number of seconds: -1\n"},
        {{"-w", "2s", "R", "-", "9"}, usage, 255, "frandle: not a number of seconds: 2s\n"},
        {{"-l", "0", "R", "-", "9"}, usage, 255, "frandle: not a datagram length from 1 to 65507: 0\n"},
        {{"-i", "0.0009", "R", "-", "9"}, usage, 255, "frandle: not an interval from 0.001 s to a year: 0.0009\n"},
        {{"R", "-", "9", "--length", "65508"}, usage, 255, "frandle: not a datagram length from 1 to 65507: 65508\n"},
        {{"-v", "S", missing, "-q", "127.0.0.1"}, "Can't read " + missing + " in brasket\n", 255,
         "open: No such file or directory\n"},
        {{"S", missing, "9", "127.0.0.1", "3", "x"}, "Can't read " + missing + " in brasket\n", 255,
         "open: No such file or directory\n"},
        {{"-v", "S", missing, "9", "127.0.0.1", "3", "x"}, "Can't read " + missing + " in brasket\n", 255,
         "frandle: words not read: '3' 'x' (a send size is read only as the fifth argument and the last)\n"
         "open: No such file or directory\n"},
        {{"-J", "L", missing, "9", "a", "3", "x"}, "Can't read " + missing + " in brasket\n", 255,
         "{\"report\":\"unread-words\",\"words\":[\"3\",\"x\"]}\nopen: No such file or directory\n"},
    };
    for (const auto &c : cases) {
        const Outcome got = run(c.args);
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(got.out, c.out);
        EXPECT_EQ(got.err, c.err);
        EXPECT_EQ(got.status, c.status);
    }
}

TEST(CommandLine, HelpShowsTheUsageLineTheModesTheOptionsAndTheManual)
{
    for (const std::string option : {"-h", "--help"}) {
        const Outcome got = run({option, "S"});
        EXPECT_EQ(got.out.rfind(usage, 0), 0u);
        for (const std::string word : {"\n  S  ", "\n  R  ", "\n  L  ", "--bitrate", "--wait", "--verbose", "--quiet",
                                       "--version", "--offload", "--source", "--local-port", "-6", "--length",
                                       "--interval", "--json", "man frandle"})
            EXPECT_NE(got.out.find(word), std::string::npos) << word;
        EXPECT_EQ(got.status, 0);
    }
}

// Standard output that cannot be written, or descriptors closed at the start: the failure
// is reported and ends the run, and the socket never takes a standard descriptor's number.
TEST(CommandLine, OutputThatCannotBeWrittenEndsTheRun)
{
    const TempFile file("payload");
    const TempFile capped;
    const std::uint16_t port = freePort();
    const std::string p = std::to_string(port);
    const std::string run = " \"$0\" \"$@\"";
    const std::string header = "socket is 3\nReceiver:bind is 0, Receiving, port: " + p + "\n";
    const struct {
        std::string shell;  // runs the tool with the arguments
        std::vector<std::string> args;
        std::string out;
        std::string err;
        int status;
    } cases[] = {
        {"exec" + run + " >/dev/full", {"S", file.path(), "9", "127.0.0.1"}, "", "stdout: No space left on device\n", 1},
        {"exec" + run + " >/dev/full", {"R", "-", p}, "", "stdout: No space left on device\n", 1},
        {"exec" + run + " >/dev/full", {"L", file.path(), "9", "127.0.0.1"}, "", "stdout: No space left on device\n", 1},
        {"exec" + run + " >&-", {"R", "-", p}, "", "stdout: Bad file descriptor\n", 1},
        // Neither stream reaches the test: the failure, told nowhere, still ends the run with 1.
        {"exec" + run + " >/dev/full 2>&-", {"R", "-", p}, "", "", 1},
        {"trap '' XFSZ; ulimit -f 1; exec" + run + " >" + capped.path(), {"R", "-", p}, "", "stdout: File too large\n", 1},
        // A pipe whose reader is gone; exec, so that the tool is the child the test ends.
        {"trap '' PIPE; exec" + run + " > >(true)", {"R", "-", p}, "", "stdout: Broken pipe\n", 1},
        {"exec" + run + " > >(true)", {"R", "-", p}, "", "", 128 + SIGPIPE},
        {"exec" + run + " <&- 2>&-", {"R", "-", p}, header + datagramLines(std::string(3 * 1000, 'x'), 1000), "", 128 + SIGTERM},
        // No room for the stop signal's pipe, or for the receive memory. The leak checker
        // of a sanitized build needs descriptors of its own at the end.
        {"ulimit -n 4; ASAN_OPTIONS=detect_leaks=0 exec" + run, {"R", "-", p}, header, "pipe: Too many open files\n", 1},
#ifndef FRANDLE_SANITIZED
        {"ulimit -v 7000; exec" + run, {"R", "-", p}, "socket is 3\n", "frandle: out of memory\n", 1},
#endif
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shell + " " + c.args[0]);
        std::vector<std::string> argv = {"/bin/bash", "-c", c.shell, FRANDLE_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Child child(argv);
        std::this_thread::sleep_for(300ms);  // bound, or already ended
        const Udp sender;
        for (int i = 0; i < 3; ++i)
            sender.sendTo(port, std::string(1000, 'x'));
        for (int tries = 0; tries < 100 && child.running(); ++tries)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(child.running(), c.status == 128 + SIGTERM);  // a failure ends the run by itself
        EXPECT_EQ(child.stop(SIGTERM), c.status);
        EXPECT_EQ(child.out(), c.out);
        EXPECT_EQ(child.err(), c.err);
    }
}

}  // namespace
