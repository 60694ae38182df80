// frandle-probe's logic, apart from its command line: the chunk format, the CRC, sizes,
// and the tally of a receiver's log with its reports.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace probe {

// A chunk: "FRP1 RRRRRRRR SSSSSSSSSS/TTTTTTTTTT LLLLL CCCCCCCC " and filler up to its length:
// the run (hex), its number and the run's count (decimal, from 0), its length, and the
// CRC-32C of every byte of the chunk but the eight of the CRC itself (hex).
constexpr std::size_t HEADER = 51;
// A timed chunk, made as it is sent, holds its send time before the CRC, which covers it:
// "FRP2 RRRRRRRR SSSSSSSSSS/TTTTTTTTTT LLLLL NNNNNNNNNNNNNNNN CCCCCCCC ", N the nanoseconds
// since the Unix epoch (CLOCK_REALTIME) as 64-bit two's complement in hex.
constexpr std::size_t TIMED_HEADER = 68;
constexpr std::size_t DEFAULT_CHUNK = 1396;   // what frandle S sends without options
constexpr std::size_t LARGEST_CHUNK = 65527;  // the largest UDP payload over IPv6 (65507 over IPv4)
constexpr std::size_t LARGEST_SENT = 65507;   // what frandle S sends at most, with -l
constexpr std::uint64_t LARGEST_COUNT = 9999999999;
constexpr std::size_t LONGEST_LINE = 1 << 20;  // of a longer log line, only this much is read
constexpr std::size_t RUNS_KEPT = 1000;        // lines of further runs are only counted
constexpr std::size_t RANGES_KEPT = 65536;     // a run's ranges; numbers past them are only counted

std::uint32_t crcByTable(std::uint32_t crc, const char *bytes, std::size_t length);
#if defined(__x86_64__)
bool hasCrcInstruction();
std::uint32_t crcByInstruction(std::uint32_t crc, const char *bytes, std::size_t length);
#endif
// The CRC a chunk of either kind carries: over all its bytes but the CRC's own eight, where
// its magic puts them. The chunk holds at least its kind's header.
std::uint32_t chunkCrc(const char *chunk, std::size_t length);

// A decimal number with an optional k, m or g (either case: powers of 1024) and nothing
// else; nothing for any other text or a value past 64 bits.
std::optional<std::uint64_t> sizeOf(std::string_view text);

// How SIZE bytes are cut: chunks of the send size, the last one shorter; where that one
// would not hold a header (HEADER, or TIMED_HEADER for timed chunks), the one before it
// gives it the bytes it lacks.
struct Layout {
    std::uint64_t count;
    std::size_t chunk;
    std::size_t beforeLast;
    std::size_t last;
    std::size_t lengthOf(std::uint64_t seq) const;
    bool operator==(const Layout &) const = default;
};
std::uint64_t chunksIn(std::uint64_t size, std::size_t chunk);
// Nothing when the bytes cannot be cut so; chunk and size are at least `header`.
std::optional<Layout> layoutOf(std::uint64_t size, std::size_t chunk, std::size_t header = HEADER);
// The layout of make SIZE [send size], the words as typed, or why it cannot be made.
std::variant<Layout, std::string> layoutFor(std::string_view sizeText, std::optional<std::string_view> chunkText,
                                            std::size_t header = HEADER);
// Writes chunk `seq` of the layout at `at`, which holds lengthOf(seq) bytes.
void writeChunk(char *at, std::uint32_t run, std::uint64_t seq, const Layout &layout);
// The same for a timed chunk, of a layout made for TIMED_HEADER.
void writeTimedChunk(char *at, std::uint32_t run, std::uint64_t seq, const Layout &layout, std::int64_t sentNanoseconds);
// Rewrites a timed chunk's send time and CRC alone, so that a sender may build its chunks
// ahead and stamp each just before it goes.
void stampChunk(char *chunk, std::size_t length, std::int64_t sentNanoseconds);

// A run as --run takes it: eight hex digits, either case.
std::optional<std::uint32_t> runNamed(std::string_view text);
std::string quoted(std::string_view text);  // a word as the user typed it, in quotes

// Numbers as sorted, disjoint ranges [first, end) that never touch: memory grows with the
// gaps between what arrived, not with the numbers. Insert and erase add at most `room`
// ranges, and are false, changing nothing, where they would need more.
class Ranges {
public:
    bool contains(std::uint64_t n) const;
    bool insert(std::uint64_t n, std::size_t room = SIZE_MAX);
    bool erase(std::uint64_t n, std::size_t room = SIZE_MAX);
    std::uint64_t countBelow(std::uint64_t limit) const;
    bool empty() const { return spans_.empty(); }
    std::size_t size() const { return spans_.size(); }
    const std::map<std::uint64_t, std::uint64_t> &spans() const { return spans_; }

private:
    std::map<std::uint64_t, std::uint64_t> spans_;  // first -> end
};

struct Run {
    std::uint64_t count = 0;  // from the first intact line; 0 while there is none
    Ranges intact;            // numbers with an intact copy
    Ranges damaged;           // numbers read from damaged lines only
    std::uint64_t duplicated = 0, outOfOrder = 0, highest = 0;
    // Past RANGES_KEPT ranges, intact and damaged together, new numbers are counted but not
    // kept, so a later copy of one counts again instead of as a duplicate: an estimate.
    std::uint64_t unkeptIntact = 0, unkeptDamaged = 0;
    bool estimated = false;
};

// What a report says of a run, worked out once. For a run whose count is known and that is
// not an estimate, expected = intact + missing + damaged.
struct Figures {
    bool known, estimated;
    std::uint64_t expected, intact, missing, duplicated, outOfOrder, damaged;
    std::uint64_t beyond;  // damaged numbers past the count: no datagram of this run
};
Figures figuresOf(const Run &run);

struct Tally {
    std::optional<std::uint32_t> chosen;  // --run: this run decides, and is always kept
    std::map<std::uint32_t, Run> runs;
    std::uint64_t foreign = 0;
    std::uint64_t damagedUnknown = 0;  // probe lines too damaged to tell their run or number
    std::uint64_t linesPastRuns = 0;   // lines of runs found after the first RUNS_KEPT
};

// What one datagram was, for a live tally's own figures and one-way delays.
enum class Arrival {
    Foreign,     // not a probe chunk
    Intact,      // the first copy of its number, in order
    OutOfOrder,  // the first intact copy of its number, after a higher one
    Duplicate,   // a copy of a number seen before, intact or damaged
    Damaged,     // the first copy of its number, damaged; its run too where it can be read
    PastRuns,    // a chunk of a run past the first RUNS_KEPT: counted, not judged
};
struct Arrived {
    Arrival what;
    std::optional<std::uint32_t> run;
    std::optional<std::int64_t> sent;  // of an intact timed chunk: nanoseconds since the epoch
    bool operator==(const Arrived &) const = default;
};
// Tallies one datagram: a few comparisons and a CRC, and no allocation but for a new run
// or a new range.
Arrived takeDatagram(std::string_view datagram, Tally &tally);
// Tallies one log line; only "rcvd " lines are datagrams.
void take(std::string_view line, Tally &tally);
// Reads a log to its end, line by line; false if it cannot be read.
bool readLog(int log, Tally &tally);
bool whole(const Tally &tally);
void reportText(std::FILE *out, const Tally &tally);
void reportJson(std::FILE *out, const Tally &tally);
// One run's object of the JSON report, as check --json gives it.
std::string runJson(std::uint32_t id, const Run &run);

}  // namespace probe
